// The session protocol without widgets: key messages, line messages, and the
// refusal of what a peer must not send.
#include "bignum/GInt.h"
#include "primes/PrimeGeneration.h"
#include "session/chatsession.h"
#include "tests/support/propertyseed.h"
#include "tests/support/recordingview.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Records what the session sends; `open` false is a connection that has ended.
class RecordingOutlet : public ChatOutlet {
public:
    struct Message {
        bool serverRole;
        std::string bytes;
    };
    std::vector<Message> messages;
    bool open = true;
    bool failing = false;

    bool sendMessage(bool serverRole, std::string_view message) override
    {
        if (failing)
            throw std::runtime_error("List index out of bounds (0)");
        if (!open)
            return false;
        messages.push_back({serverRole, std::string(message)});
        return true;
    }
    std::size_t queuedBytes(bool) const override { return 0; }
};

std::string decimal(GInt::Num n)
{
    std::string text;
    GInt::NumToDecimal(text, n);
    return text;
}

std::string utf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// 2^1024 and 2^1024 - 1.
const std::string TwoTo1024 =
    "179769313486231590772930519078902473361797697894230657273430081157732675805500963132708477322407536021120113"
    "879871393357658789768814416622492847430639474124377767893424865485276302219601246094119453082952085005768838"
    "150682342462881473913110540827237163350510684586298239947245938479716304835356329624224137216";
const std::string TwoTo1024Less1 =
    "179769313486231590772930519078902473361797697894230657273430081157732675805500963132708477322407536021120113"
    "879871393357658789768814416622492847430639474124377767893424865485276302219601246094119453082952085005768838"
    "150682342462881473913110540827237163350510684586298239947245938479716304835356329624224137215";

class Session : public testing::Test {
protected:
    void SetUp() override
    {
        // Each generation reads a different fixed time, so keys differ and repeat run to run.
        PrimeGeneration::SetClockSource([this] {
            ++clockTicks;
            return PrimeGeneration::TimeOfDay{13, clockTicks % 60, (clockTicks * 7) % 60, (clockTicks * 37) % 1000};
        });
    }
    void TearDown() override { PrimeGeneration::SetClockSource(nullptr); }

    // Both key messages cross: `server` accepted, `client` connected.
    void exchange()
    {
        const std::string serverMessage = server.generateOwnKey(true);
        server.awaitPeerKey(true);
        const std::string clientMessage = client.generateOwnKey(false);
        client.awaitPeerKey(false);
        server.receiveText(clientMessage);
        client.receiveText(serverMessage);
    }

    // Received bytes wait until nothing more has come for a moment.
    void settle()
    {
        now += MessageAssembler::SettleTime;
        server.timePassed();
        client.timePassed();
    }

    int clockTicks = 0;
    MessageAssembler::TimePoint now{};
    RecordingView serverView, clientView;
    RecordingOutlet serverOutlet, clientOutlet;
    ChatSession server{serverView, serverOutlet, [this] { return now; }};
    ChatSession client{clientView, clientOutlet, [this] { return now; }};
};

} // namespace

TEST_F(Session, KeyMessagesAreDecryptExponentSeparatorModulus)
{
    const std::string serverMessage = server.generateOwnKey(true);
    EXPECT_EQ(serverMessage, decimal(server.serverKey().DecryptExponent) + "//" + decimal(server.serverKey().Modulus));
    const std::string clientMessage = client.generateOwnKey(false);
    EXPECT_EQ(clientMessage, decimal(client.clientKey().DecryptExponent) + "::" + decimal(client.clientKey().Modulus));
    EXPECT_TRUE(QRegularExpression("^[1-9][0-9]*::[1-9][0-9]*$").match(QString::fromStdString(clientMessage)).hasMatch());
    EXPECT_FALSE(server.awaitingKey());
}

TEST_F(Session, PeerValuesLandInTheOtherRolesPair)
{
    exchange();
    EXPECT_FALSE(server.awaitingKey());
    EXPECT_FALSE(client.awaitingKey());
    EXPECT_TRUE(server.serverRole());
    EXPECT_FALSE(client.serverRole());
    EXPECT_EQ(decimal(server.clientKey().Modulus), decimal(client.clientKey().Modulus));
    EXPECT_EQ(decimal(server.clientKey().DecryptExponent), decimal(client.clientKey().DecryptExponent));
    EXPECT_EQ(decimal(client.serverKey().Modulus), decimal(server.serverKey().Modulus));
    EXPECT_EQ(decimal(client.serverKey().DecryptExponent), decimal(server.serverKey().DecryptExponent));
    EXPECT_TRUE(serverView.incoming.isEmpty());
    EXPECT_TRUE(clientView.incoming.isEmpty());
    // Each view heard the exchange start and finish, once each.
    EXPECT_EQ(serverView.keyExchange, QList<bool>({false, true}));
    EXPECT_EQ(clientView.keyExchange, QList<bool>({false, true}));
}

TEST_F(Session, RandomLinesTravelBothWays)
{
    exchange();
    const uint64_t seed = PropertySeed("RandomLinesTravelBothWays");
    std::mt19937 random(static_cast<unsigned>(seed));
    const std::u32string alphabet = U"abcXYZ019 !?.,:;/\\'\"\t\u00e9\u00fc\u00df\u20ac\u4e2d\u6587\U0001F600\u0001";
    for (int round = 0; round < 40; ++round) {
        std::u32string text;
        const int length = std::uniform_int_distribution<int>(0, round < 20 ? 12 : 200)(random);
        for (int i = 0; i < length; ++i)
            text += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
        const QString line = QString::fromStdU32String(text);
        ChatSession& from = round % 2 ? server : client;
        ChatSession& to = round % 2 ? client : server;
        RecordingView& toView = round % 2 ? clientView : serverView;
        to.receiveText(from.encryptOwnLine(utf8(line)));
        ASSERT_FALSE(toView.incoming.isEmpty());
        ASSERT_EQ(toView.incoming.last(), line) << "seed " << seed << " round " << round;
    }
}

TEST_F(Session, EmptyLineArrivesAsEmptyLine)
{
    exchange();
    client.receiveText(server.encryptOwnLine(""));
    EXPECT_EQ(clientView.incoming, QStringList({""}));
}

TEST_F(Session, NewConnectionReplacesThePeerValues)
{
    exchange();
    const std::string oldModulus = decimal(client.serverKey().Modulus);
    exchange();
    EXPECT_NE(decimal(client.serverKey().Modulus), oldModulus);
    client.receiveText(server.encryptOwnLine("new"));
    EXPECT_EQ(clientView.incoming.last(), "new");
}

TEST_F(Session, EnterBeforeAnyConnectionSendsNothingAndKeepsTheLine)
{
    clientView.input = "typed";
    client.enterPressed();
    EXPECT_EQ(clientView.input, "typed");
    EXPECT_TRUE(clientView.sent.isEmpty());
    EXPECT_THROW((void)client.encryptOwnLine("typed"), ESessionError);
}

TEST_F(Session, EnterDuringTheKeyExchangeSendsNothing)
{
    (void)server.generateOwnKey(true);
    server.awaitPeerKey(true);
    serverView.input = "too early";
    server.enterPressed();
    EXPECT_EQ(serverView.input, "too early");
    EXPECT_TRUE(serverView.sent.isEmpty());
}

TEST_F(Session, ConnectionEventsSendTheKeyMessageInTheirRoleAndShowThePeer)
{
    server.connectionAccepted("10.0.0.7");
    client.connectionMade("peer.example");
    ASSERT_EQ(serverOutlet.messages.size(), 1u);
    ASSERT_EQ(clientOutlet.messages.size(), 1u);
    EXPECT_TRUE(serverOutlet.messages[0].serverRole);
    EXPECT_FALSE(clientOutlet.messages[0].serverRole);
    EXPECT_EQ(serverOutlet.messages[0].bytes,
              decimal(server.serverKey().DecryptExponent) + "//" + decimal(server.serverKey().Modulus));
    EXPECT_EQ(serverView.statusText, "Connected to: 10.0.0.7");
    EXPECT_EQ(clientView.statusText, "Connected to: peer.example");
    EXPECT_TRUE(server.awaitingKey() && client.awaitingKey());

    server.dataArrived(clientOutlet.messages[0].bytes);
    client.dataArrived(serverOutlet.messages[0].bytes);
    EXPECT_TRUE(server.awaitingKey());
    ASSERT_EQ(clientView.wakeUp, MessageAssembler::SettleTime);
    settle();
    EXPECT_FALSE(server.awaitingKey() || client.awaitingKey());
    serverView.input = "hello";
    server.enterPressed();
    EXPECT_EQ(serverView.input, "");
    EXPECT_EQ(serverView.sent, QStringList({"hello"}));
    ASSERT_EQ(serverOutlet.messages.size(), 2u);
    EXPECT_TRUE(serverOutlet.messages[1].serverRole);
    client.dataArrived(serverOutlet.messages[1].bytes);
    settle();
    EXPECT_EQ(clientView.incoming, QStringList({"hello"}));
    EXPECT_EQ(clientView.wakeUp, std::nullopt);
}

TEST_F(Session, EnterAfterTheConnectionEndedKeepsTheLine)
{
    exchange();
    clientOutlet.open = false;
    clientView.input = "nobody hears";
    client.enterPressed();
    EXPECT_EQ(clientView.input, "nobody hears");
    EXPECT_TRUE(clientView.sent.isEmpty());

    // An error of the connection escapes and the line stays, too.
    serverOutlet.failing = true;
    serverView.input = "nobody hears";
    EXPECT_THROW(server.enterPressed(), std::runtime_error);
    EXPECT_EQ(serverView.input, "nobody hears");
    EXPECT_TRUE(serverView.sent.isEmpty());
}

TEST_F(Session, MalformedKeyMessagesAreRefusedAndTheKeyIsStillAwaited)
{
    (void)server.generateOwnKey(true);
    server.awaitPeerKey(true);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"12345", "the separator :: is missing"},
        {"12//34", "the separator :: is missing"},
        {"::77", "a number is not a plain decimal number"},
        {"5::", "a number is not a plain decimal number"},
        {"a5::77", "a number is not a plain decimal number"},
        {"5::7x7", "a number is not a plain decimal number"},
        {"-5::77", "a number is not a plain decimal number"},
        {"+5::77", "a number is not a plain decimal number"},
        {" 5::77", "a number is not a plain decimal number"},
        {"5:: 77", "a number is not a plain decimal number"},
        {"5::77::9", "a number is not a plain decimal number"},
        {std::string("5\0::77", 6), "a number is not a plain decimal number"},
        {"0::77", "the exponent is zero"},
        {"000::77", "the exponent is zero"},
        {"1::1", "the modulus is below 2"},
        {"1::0", "the modulus is below 2"},
        {"77::77", "the exponent is not below the modulus"},
        {"78::77", "the exponent is not below the modulus"},
        {"5::" + TwoTo1024, "the modulus is longer than 1024 binary digits"},
        {"5::1" + std::string(309, '0'), "the modulus is longer than 1024 binary digits"},
        {std::string(400, '9') + "::77", "the exponent is not below the modulus"},
    };
    for (const auto& [message, reason] : cases) {
        try {
            server.receiveText(message);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const ESessionError& error) {
            EXPECT_EQ(std::string(error.what()), "The peer's key message is malformed: " + reason) << message;
        }
        EXPECT_TRUE(server.awaitingKey()) << message;
        EXPECT_EQ(server.clientKey().Modulus, nullptr) << message;
        EXPECT_EQ(server.clientKey().DecryptExponent, nullptr) << message;
    }
    EXPECT_TRUE(serverView.incoming.isEmpty());
    // A refused key message never reports the exchange as finished.
    EXPECT_EQ(serverView.keyExchange, QList<bool>({false}));
}

TEST_F(Session, KeyMessagesAtTheLimitsAreTaken)
{
    (void)server.generateOwnKey(true);
    server.awaitPeerKey(true);
    server.receiveText("1::2");
    EXPECT_FALSE(server.awaitingKey());
    EXPECT_EQ(decimal(server.clientKey().Modulus), "2");

    server.awaitPeerKey(true);
    server.receiveText("0003::" + TwoTo1024Less1);
    EXPECT_FALSE(server.awaitingKey());
    EXPECT_EQ(decimal(server.clientKey().DecryptExponent), "3");
    EXPECT_EQ(decimal(server.clientKey().Modulus), TwoTo1024Less1);

    client.awaitPeerKey(false);
    EXPECT_THROW(client.receiveText("3::77"), ESessionError);
    client.receiveText("3//77");
    EXPECT_FALSE(client.awaitingKey());
    EXPECT_EQ(decimal(client.serverKey().Modulus), "77");
}

TEST_F(Session, LineBeforeAnyKeyIsRefused)
{
    try {
        client.receiveText("something");
        FAIL() << "no error";
    } catch (const ESessionError& error) {
        EXPECT_STREQ(error.what(), "A line arrived before the peer's key");
    }
    EXPECT_TRUE(clientView.incoming.isEmpty());
}

TEST_F(Session, OverlongLineMessageIsRefusedBeforeDecrypting)
{
    exchange();
    try {
        client.receiveText(std::string(ChatSession::MaxLineMessage + 1, 'x'));
        FAIL() << "no error";
    } catch (const ESessionError& error) {
        EXPECT_STREQ(error.what(), "The received line is too long: 16385 bytes, at most 16384 are taken in");
    }
    EXPECT_TRUE(clientView.incoming.isEmpty());

    const std::string longLine(6000, 'q');
    const std::string chunk = server.encryptOwnLine(longLine);
    ASSERT_LE(chunk.size(), ChatSession::MaxLineMessage);
    client.receiveText(chunk);
    EXPECT_EQ(clientView.incoming.last(), QString::fromStdString(longLine));
}

TEST_F(Session, ChunkWithoutMarkerIsAClearError)
{
    exchange();
    // Byte 1 codes as eight zero digits: every block is zero, no marker anywhere.
    try {
        client.receiveText(std::string(8, '\x01'));
        FAIL() << "no error";
    } catch (const ESessionError& error) {
        // Said once, not twice.
        EXPECT_STREQ(error.what(), "The received line cannot be decrypted");
    }
    EXPECT_TRUE(clientView.incoming.isEmpty());
    EXPECT_FALSE(client.awaitingKey());
}

TEST_F(Session, ArbitraryChunksEitherShowALineOrAreRefused)
{
    exchange();
    const uint64_t seed = PropertySeed("ArbitraryChunksEitherShowALineOrAreRefused");
    std::mt19937 random(static_cast<unsigned>(seed));
    int shown = 0, refused = 0;
    for (int round = 0; round < 150; ++round) {
        std::string chunk(std::uniform_int_distribution<std::size_t>(1, 120)(random), '\0');
        for (char& byte : chunk)
            byte = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
        const auto before = clientView.incoming.size();
        try {
            client.receiveText(chunk);
            ASSERT_EQ(clientView.incoming.size(), before + 1) << "seed " << seed << " round " << round;
            ++shown;
        } catch (const ESessionError&) {
            ASSERT_EQ(clientView.incoming.size(), before) << "seed " << seed << " round " << round;
            ++refused;
        }
    }
    EXPECT_EQ(shown + refused, 150);
    // The session still reads genuine lines afterwards.
    client.receiveText(server.encryptOwnLine("still here"));
    EXPECT_EQ(clientView.incoming.last(), "still here");
}

TEST_F(Session, LinesThatAreNotUtf8AreShownByteByByte)
{
    exchange();
    client.receiveText(server.encryptOwnLine("caf\xe9 \xfc"));
    ASSERT_EQ(clientView.incoming.size(), 1);
    EXPECT_EQ(clientView.incoming.last(), QString::fromUtf8("caf\u00e9 \u00fc"));
    client.receiveText(server.encryptOwnLine("caf\xc3\xa9"));
    EXPECT_EQ(clientView.incoming.last(), QString::fromUtf8("caf\u00e9"));
    // A multi-byte sequence cut short at the end of the line is not UTF-8 either.
    client.receiveText(server.encryptOwnLine("ab\xe2\x82"));
    EXPECT_EQ(clientView.incoming.last(), QString::fromLatin1("ab\xe2\x82"));
}
