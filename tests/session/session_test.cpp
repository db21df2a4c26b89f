// The session protocol without widgets, driven as the connection owner drives
// it: connection events, the bytes of each read, the wake-ups the session asks
// for (on a fake clock) and the Enter key. What one side's outlet sent is what
// the other side reads.
#include "bignum/GInt.h"
#include "primes/PrimeGeneration.h"
#include "session/chatsession.h"
#include "session/wireformat.h"
#include "tests/support/fixedclock.h"
#include "tests/support/propertyseed.h"
#include "tests/support/recordingview.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

// The listening side's port has one home; the command line's default must be it.

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

std::string utf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

const std::string TwoTo1024Less1 =
    "179769313486231590772930519078902473361797697894230657273430081157732675805500963132708477322407536021120113"
    "879871393357658789768814416622492847430639474124377767893424865485276302219601246094119453082952085005768838"
    "150682342462881473913110540827237163350510684586298239947245938479716304835356329624224137215";
const std::string TwoTo1024 = "179769313486231590772930519078902473361797697894230657273430081157732675805500963132"
                              "708477322407536021120113879871393357658789768814416622492847430639474124377767893424"
                              "865485276302219601246094119453082952085005768838150682342462881473913110540827237163"
                              "350510684586298239947245938479716304835356329624224137216";

// One program: what it shows, what it sent, and its session on the shared fake clock.
struct Side {
    explicit Side(const MessageAssembler::TimePoint& now) : session(view, outlet, [&now] { return now; }) {}
    RecordingView view;
    RecordingOutlet outlet;
    ChatSession session;

    const std::string& lastSent() const { return outlet.messages.back().bytes; }
};

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

    // `bytes` come in one read, after a pause longer than any the session
    // waits for; then time passes as the session asks, until it waits for
    // nothing. Returns the errors raised, as the front end would show them.
    std::vector<std::string> read(Side& to, const std::string& bytes)
    {
        now += MessageAssembler::GiveUpTime;
        std::vector<std::string> errors;
        const auto caught = [&errors](const auto& step) {
            try {
                step();
            } catch (const ESessionError& error) {
                errors.emplace_back(error.what());
            }
        };
        caught([&] { to.session.dataArrived(bytes); });
        // Each wake-up takes in what waits or moves a deadline on; a few
        // dozen are plenty for any one read.
        for (int wakeUps = 0; to.view.wakeUp; ++wakeUps) {
            if (wakeUps == 100) {
                ADD_FAILURE() << "the session keeps asking for wake-ups";
                break;
            }
            now += *to.view.wakeUp;
            caught([&] { to.session.timePassed(); });
        }
        return errors;
    }

    // Both key messages cross: `server` accepted, `client` connected.
    void exchange()
    {
        server.session.connectionAccepted("10.0.0.7");
        client.session.connectionMade("peer.example");
        EXPECT_EQ(read(server, client.lastSent()), std::vector<std::string>{});
        EXPECT_EQ(read(client, server.lastSent()), std::vector<std::string>{});
    }

    // The user of `from` types `line` and presses Enter; `to` reads what was sent.
    void type(Side& from, Side& to, const QString& line)
    {
        const std::size_t sentBefore = from.outlet.messages.size();
        from.view.input = line;
        from.session.enterPressed();
        ASSERT_EQ(from.outlet.messages.size(), sentBefore + 1);
        EXPECT_TRUE(from.view.input.isEmpty());
        EXPECT_EQ(from.view.sent.last(), line);
        EXPECT_EQ(read(to, from.lastSent()), std::vector<std::string>{});
    }

    int clockTicks = 0;
    MessageAssembler::TimePoint now{};
    Side server{now}, client{now};
};

} // namespace

TEST_F(Session, ConnectionEventsSendTheKeyMessageInTheirRoleAndShowThePeer)
{
    server.session.connectionAccepted("10.0.0.7");
    client.session.connectionMade("peer.example");
    ASSERT_EQ(server.outlet.messages.size(), 1u);
    ASSERT_EQ(client.outlet.messages.size(), 1u);
    EXPECT_TRUE(server.outlet.messages[0].serverRole);
    EXPECT_FALSE(client.outlet.messages[0].serverRole);
    const PrimeGeneration::KeyPair& serverKey = server.session.serverKey();
    const PrimeGeneration::KeyPair& clientKey = client.session.clientKey();
    EXPECT_EQ(server.lastSent(), Decimal(serverKey.DecryptExponent) + "//" + Decimal(serverKey.Modulus));
    EXPECT_EQ(client.lastSent(), Decimal(clientKey.DecryptExponent) + "::" + Decimal(clientKey.Modulus));
    EXPECT_TRUE(QRegularExpression("^[1-9][0-9]*::[1-9][0-9]*$").match(QString::fromStdString(client.lastSent())).hasMatch());
    EXPECT_EQ(server.view.statusText, "Connected to: 10.0.0.7");
    EXPECT_EQ(client.view.statusText, "Connected to: peer.example");
    EXPECT_TRUE(server.session.awaitingKey() && client.session.awaitingKey());

    // A key message that ends where the read does may go on in the next
    // read: it is taken once the connection has been quiet for a moment.
    client.session.dataArrived(server.lastSent());
    EXPECT_TRUE(client.session.awaitingKey());
    ASSERT_EQ(client.view.wakeUp, MessageAssembler::SettleTime);
    now += *client.view.wakeUp;
    client.session.timePassed();
    EXPECT_FALSE(client.session.awaitingKey());
    EXPECT_EQ(client.view.wakeUp, std::nullopt);
}

TEST_F(Session, PeerValuesLandInTheOtherRolesPair)
{
    exchange();
    EXPECT_FALSE(server.session.awaitingKey() || client.session.awaitingKey());
    EXPECT_TRUE(server.session.serverRole());
    EXPECT_FALSE(client.session.serverRole());
    EXPECT_EQ(Decimal(server.session.clientKey().Modulus), Decimal(client.session.clientKey().Modulus));
    EXPECT_EQ(Decimal(server.session.clientKey().DecryptExponent), Decimal(client.session.clientKey().DecryptExponent));
    EXPECT_EQ(Decimal(client.session.serverKey().Modulus), Decimal(server.session.serverKey().Modulus));
    EXPECT_EQ(Decimal(client.session.serverKey().DecryptExponent), Decimal(server.session.serverKey().DecryptExponent));
    EXPECT_TRUE(server.view.incoming.isEmpty() && client.view.incoming.isEmpty());
    // Each view heard the exchange start and finish, once each.
    EXPECT_EQ(server.view.keyExchange, QList<bool>({false, true}));
    EXPECT_EQ(client.view.keyExchange, QList<bool>({false, true}));
}

TEST_F(Session, KeyAndFirstLineInOneReadAreBothTaken)
{
    server.session.connectionAccepted("10.0.0.7");
    client.session.connectionMade("peer.example");
    EXPECT_EQ(read(server, client.lastSent()), std::vector<std::string>{});
    const std::string serverKeyMessage = server.lastSent();
    server.view.input = "right behind the key";
    server.session.enterPressed();
    ASSERT_EQ(server.outlet.messages.size(), 2u);
    EXPECT_EQ(read(client, serverKeyMessage + server.lastSent()), std::vector<std::string>{});
    EXPECT_FALSE(client.session.awaitingKey());
    EXPECT_EQ(client.view.incoming, QStringList({"right behind the key"}));
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
        Side& from = round % 2 ? server : client;
        Side& to = round % 2 ? client : server;
        const auto shownBefore = to.view.incoming.size();
        type(from, to, line);
        const QStringList shown = to.view.incoming.mid(shownBefore);
        ASSERT_TRUE(shown.size() == 1 && shown[0] == line)
            << "seed " << seed << " round " << round << ": sent '" << line.toStdString() << "', shown '"
            << shown.join("' '").toStdString() << "'";
    }
}

TEST_F(Session, EmptyLineArrivesAsEmptyLine)
{
    exchange();
    type(server, client, "");
    EXPECT_EQ(client.view.incoming, QStringList({""}));
}

TEST_F(Session, NewConnectionReplacesThePeerValues)
{
    exchange();
    const std::string oldModulus = Decimal(client.session.serverKey().Modulus);
    exchange();
    EXPECT_NE(Decimal(client.session.serverKey().Modulus), oldModulus);
    type(server, client, "new");
    EXPECT_EQ(client.view.incoming, QStringList({"new"}));
}

TEST_F(Session, EnterBeforeAnyConnectionSendsNothingAndKeepsTheLine)
{
    client.view.input = "typed";
    client.session.enterPressed();
    EXPECT_EQ(client.view.input, "typed");
    EXPECT_TRUE(client.view.sent.isEmpty());
    EXPECT_TRUE(client.outlet.messages.empty());
    EXPECT_THROW((void)client.session.encryptOwnLine("typed"), ESessionError);
}

TEST_F(Session, EnterDuringTheKeyExchangeSendsNothing)
{
    server.session.connectionAccepted("10.0.0.7");
    server.view.input = "too early";
    server.session.enterPressed();
    EXPECT_EQ(server.view.input, "too early");
    EXPECT_TRUE(server.view.sent.isEmpty());
    EXPECT_EQ(server.outlet.messages.size(), 1u);
}

TEST_F(Session, EnterAfterTheConnectionEndedKeepsTheLine)
{
    exchange();
    client.outlet.open = false;
    client.view.input = "nobody hears";
    client.session.enterPressed();
    EXPECT_EQ(client.view.input, "nobody hears");
    EXPECT_TRUE(client.view.sent.isEmpty());

    // An error of the connection escapes and the line stays, too.
    server.outlet.failing = true;
    server.view.input = "nobody hears";
    EXPECT_THROW(server.session.enterPressed(), std::runtime_error);
    EXPECT_EQ(server.view.input, "nobody hears");
    EXPECT_TRUE(server.view.sent.isEmpty());
}

TEST_F(Session, MalformedKeyMessagesAreRefusedAndTheKeyIsStillAwaited)
{
    server.session.connectionAccepted("10.0.0.7");
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
        EXPECT_EQ(read(server, message), std::vector<std::string>{"The peer's key message is malformed: " + reason})
            << message;
        EXPECT_TRUE(server.session.awaitingKey()) << message;
        EXPECT_EQ(server.session.clientKey().Modulus, nullptr) << message;
        EXPECT_EQ(server.session.clientKey().DecryptExponent, nullptr) << message;
    }
    EXPECT_TRUE(server.view.incoming.isEmpty());
    // A refused key message never reports the exchange as finished.
    EXPECT_EQ(server.view.keyExchange, QList<bool>({false}));
    // The genuine key still comes through afterwards.
    client.session.connectionMade("peer.example");
    EXPECT_EQ(read(server, client.lastSent()), std::vector<std::string>{});
    EXPECT_FALSE(server.session.awaitingKey());
}

TEST_F(Session, KeyMessagesAtTheLimitsAreTaken)
{
    server.session.connectionAccepted("10.0.0.7");
    EXPECT_EQ(read(server, "1::2"), std::vector<std::string>{});
    EXPECT_FALSE(server.session.awaitingKey());
    EXPECT_EQ(Decimal(server.session.clientKey().Modulus), "2");

    server.session.connectionAccepted("10.0.0.7");
    EXPECT_EQ(read(server, "0003::" + TwoTo1024Less1), std::vector<std::string>{});
    EXPECT_FALSE(server.session.awaitingKey());
    EXPECT_EQ(Decimal(server.session.clientKey().DecryptExponent), "3");
    EXPECT_EQ(Decimal(server.session.clientKey().Modulus), TwoTo1024Less1);

    // Each role reads only the other role's separator.
    client.session.connectionMade("peer.example");
    EXPECT_EQ(read(client, "3::77").size(), 1u);
    EXPECT_TRUE(client.session.awaitingKey());
    EXPECT_EQ(read(client, "3//77"), std::vector<std::string>{});
    EXPECT_FALSE(client.session.awaitingKey());
    EXPECT_EQ(Decimal(client.session.serverKey().Modulus), "77");
}

TEST_F(Session, BytesBeforeAnyConnectionAreNeitherShownNorTakenAsTheNextKey)
{
    EXPECT_EQ(read(client, "something"), std::vector<std::string>{});
    EXPECT_TRUE(client.view.incoming.isEmpty());
    EXPECT_FALSE(client.session.awaitingKey());
    exchange();
    type(server, client, "fresh start");
    EXPECT_EQ(client.view.incoming, QStringList({"fresh start"}));
}

TEST_F(Session, OverlongLineMessagesAreNotTaken)
{
    exchange();
    // A line whose message is beyond the limit is refused where it is typed...
    const QString tooLong(static_cast<qsizetype>(ChatSession::MaxLineMessage + 1), u'q');
    server.view.input = tooLong;
    EXPECT_THROW(server.session.enterPressed(), ESessionError);
    EXPECT_EQ(server.view.input, tooLong);
    EXPECT_EQ(server.outlet.messages.size(), 1u);
    // ...and never shown where it arrives, also from a peer that sends it anyway.
    const std::string message = server.session.encryptOwnLine(utf8(tooLong));
    ASSERT_GT(message.size(), ChatSession::MaxLineMessage);
    EXPECT_EQ(read(client, message).size(), 1u);
    EXPECT_TRUE(client.view.incoming.isEmpty());

    const QString longLine(6000, u'q');
    type(server, client, longLine);
    EXPECT_EQ(client.view.incoming, QStringList({longLine}));
}

TEST_F(Session, BytesThatReadAsNoLineAreOneClearError)
{
    exchange();
    // Byte 1 codes as eight zero digits: every block is zero, no marker anywhere.
    EXPECT_EQ(read(client, std::string(8, '\x01')),
              std::vector<std::string>{"The received data cannot be decrypted: 8 bytes that read as no line were dropped"});
    EXPECT_TRUE(client.view.incoming.isEmpty());
    EXPECT_FALSE(client.session.awaitingKey());
}

TEST_F(Session, ArbitraryReadsEitherShowLinesOrAreRefused)
{
    exchange();
    const uint64_t seed = PropertySeed("ArbitraryReadsEitherShowLinesOrAreRefused");
    std::mt19937 random(static_cast<unsigned>(seed));
    for (int round = 0; round < 150; ++round) {
        std::string chunk(std::uniform_int_distribution<std::size_t>(1, 120)(random), '\0');
        for (char& byte : chunk)
            byte = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
        const auto before = client.view.incoming.size();
        const std::vector<std::string> errors = read(client, chunk);
        // Nothing goes silently: what reads as no line is one error.
        ASSERT_LE(errors.size(), 1u) << "seed " << seed << " round " << round;
        ASSERT_TRUE(client.view.incoming.size() > before || errors.size() == 1)
            << "seed " << seed << " round " << round;
        ASSERT_EQ(client.view.wakeUp, std::nullopt) << "seed " << seed << " round " << round;
    }
    // The session still reads genuine lines afterwards.
    type(server, client, "still here");
    EXPECT_EQ(client.view.incoming.last(), "still here");
}

TEST_F(Session, LinesThatAreNotUtf8AreShownByteByByte)
{
    exchange();
    const auto arrives = [this](const std::string& bytes) {
        EXPECT_EQ(read(client, server.session.encryptOwnLine(bytes)), std::vector<std::string>{});
        return client.view.incoming.isEmpty() ? QString() : client.view.incoming.takeLast();
    };
    EXPECT_EQ(arrives("caf\xe9 \xfc"), QString::fromUtf8("caf\u00e9 \u00fc"));
    EXPECT_EQ(arrives("caf\xc3\xa9"), QString::fromUtf8("caf\u00e9"));
    // A multi-byte sequence cut short at the end of the line is not UTF-8 either.
    EXPECT_EQ(arrives("ab\xe2\x82"), QString::fromLatin1("ab\xe2\x82"));
}
