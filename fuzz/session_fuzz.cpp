// The session's handling of received bytes, as the connection owner hands
// them over, without a window or a connection: a fresh ChatSession per input
// makes its key in the role the input picks, awaits the peer's and is then fed
// the reads the input holds. Each read comes after a pause, and time then
// passes on a fake clock as the session asks until it waits for nothing.
//
// Hostile mode: up to eight reads of any bytes, some longer than the session
// takes in. Errors are ESessionError only; any other exception, and every
// sanitizer report, is a finding. A read that leaves the key awaited was
// refused and shows nothing; a taken key is a modulus of 2 to 1024 binary
// digits with an exponent from 1 to below it; a read after the key shows
// lines or is refused, never neither, and never reopens the key exchange.
//
// Genuine mode: a peer with a real key (GMP finds the primes) sends its key
// message with the separator of its role and then lines of any bytes, one
// read each. Every line shows without an error; a line of text (UTF-8 with no
// control byte but tab and carriage return) shows exactly as sent. A binary
// line may show as several: where a block of it decrypts to zeros and the
// marker, no receiver can tell a second message from the rest of the first.
//
// Reads are shortened, as decrypt_fuzz does, when decrypting them under the
// peer's key would take more than a fixed amount of arithmetic; reads above
// the session's limit are handed over whole.
#include "session/chatsession.h"
#include "session/chatview.h"
#include "session/wireformat.h"
#include "bignum/GInt.h"
#include "cipher/RSA.h"
#include "primes/PrimeGeneration.h"
#include "tests/support/recordingview.h"
#include "tests/support/gmpcheck.h"

#include <QCoreApplication>
#include <QStringDecoder>
#include <QStringList>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using GmpCheck::Mpz;

constexpr double WorkBudget = 7.0e6;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "session_fuzz: %s\n", what.c_str());
    std::abort();
}

// How the window shows received bytes: UTF-8 when valid, else one character per byte.
QString Shown(const std::string& bytes)
{
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(view);
    return utf8.hasError() ? QString::fromLatin1(view) : text;
}

// Text as people type it: UTF-8 with no control byte but tab and carriage return.
bool IsText(const std::string& line)
{
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t' && byte != '\r') || byte == 0x7f)
            return false;
    }
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    (void)utf8.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
    return !utf8.hasError();
}

struct Session {
    RecordingView view;
    // Nothing is sent: the input is only ever received.
    struct : ChatOutlet {
        bool sendMessage(bool, std::string_view) override { return false; }
        std::size_t queuedBytes(bool) const override { return 0; }
    } outlet;
    MessageAssembler::TimePoint now{};
    ChatSession session{view, outlet, [this] { return now; }};

    explicit Session(bool serverRole)
    {
        if (serverRole)
            session.connectionAccepted(QStringLiteral("10.0.0.7"));
        else
            session.connectionMade(QStringLiteral("peer.example"));
    }

    const PrimeGeneration::KeyPair& peerKey() const
    {
        return session.serverRole() ? session.clientKey() : session.serverKey();
    }

    // The message, shortened if decrypting it would exceed the budget.
    std::string Bounded(std::string message) const
    {
        const PrimeGeneration::KeyPair& peer = peerKey();
        if (session.awaitingKey() || !peer.Modulus || !peer.DecryptExponent
            || message.size() > ChatSession::MaxLineMessage)
            return message;
        const Mpz modulus = GmpCheck::ValueOf(peer.Modulus);
        const Mpz exponent = GmpCheck::ValueOf(peer.DecryptExponent);
        const double bits = static_cast<double>(mpz_sizeinbase(modulus.v, 2));
        const double nodes = static_cast<double>(mpz_sizeinbase(modulus.v, 10)) / 4.0 + 1.0;
        const double perBlock = (static_cast<double>(mpz_sizeinbase(exponent.v, 2)) + 1.0) * nodes * nodes;
        const double maxBytes = std::max(1.0, WorkBudget / perBlock) * (bits + 1.0) / 8.0;
        if (static_cast<double>(message.size()) > maxBytes)
            message.resize(static_cast<size_t>(maxBytes));
        return message;
    }

    // One read after a pause, then time as the session asks; the errors raised.
    int Read(const std::string& bytes)
    {
        int errors = 0;
        const auto caught = [&errors](const auto& step) {
            try {
                step();
            } catch (const ESessionError& e) {
                if (std::string(e.what()).empty())
                    Fail("a refusal without a message");
                ++errors;
            } catch (const std::exception& e) {
                Fail(std::string("unexpected exception: ") + e.what());
            }
        };
        now += MessageAssembler::GiveUpTime;
        caught([&] { session.dataArrived(bytes); });
        for (int wakeUps = 0; view.wakeUp; ++wakeUps) {
            if (wakeUps == 1000)
                Fail("the session keeps asking for wake-ups");
            now += *view.wakeUp;
            caught([&] { session.timePassed(); });
        }
        return errors;
    }

    // Hands one read over and checks what became of it.
    void Receive(const std::string& message, const std::string* expectedLine = nullptr)
    {
        const bool awaiting = session.awaitingKey();
        const qsizetype shown = view.incoming.size();
        const int errors = Read(message);
        if (!view.sent.isEmpty() || !view.statusText.isEmpty())
            Fail("received bytes touched the sent pane or the status");
        if (message.empty()) {
            if (errors || session.awaitingKey() != awaiting || view.incoming.size() != shown)
                Fail("an empty read had an effect");
            return;
        }
        if (awaiting && session.awaitingKey()) {
            if (errors == 0 || view.incoming.size() != shown)
                Fail("a read left the key awaited without refusing it, or showed a line");
            return;
        }
        if (awaiting)
            CheckPeerKey();
        else if (session.awaitingKey())
            Fail("a line message reopened the key exchange");
        if (!awaiting && errors == 0 && view.incoming.size() == shown)
            Fail("a read was neither shown nor refused");
        if (expectedLine && (errors || view.incoming.size() == shown))
            Fail("a genuine line of " + std::to_string(expectedLine->size()) + " bytes was refused");
        if (expectedLine && IsText(*expectedLine)
            && (view.incoming.size() != shown + 1 || view.incoming.last() != Shown(*expectedLine)))
            Fail("a genuine text line of " + std::to_string(expectedLine->size()) + " bytes did not arrive intact");
    }

    void CheckPeerKey() const
    {
        const PrimeGeneration::KeyPair& peer = peerKey();
        if (!peer.Modulus || !peer.DecryptExponent)
            Fail("a taken key is missing a number");
        for (GInt::Num n : {peer.Modulus, peer.DecryptExponent})
            if (const std::string defect = GmpCheck::ChainDefect(n); !defect.empty())
                Fail("a taken key number: " + defect);
        const Mpz modulus = GmpCheck::ValueOf(peer.Modulus);
        const Mpz exponent = GmpCheck::ValueOf(peer.DecryptExponent);
        if (mpz_cmp_ui(modulus.v, 2) < 0 || mpz_sizeinbase(modulus.v, 2) > ChatSession::MaxModulusBits)
            Fail("a taken modulus is out of range: " + modulus.text());
        if (mpz_sgn(exponent.v) <= 0 || mpz_cmp(exponent.v, modulus.v) >= 0)
            Fail("a taken exponent is out of range: " + exponent.text());
    }
};

void HostileMode(FuzzedDataProvider& in, bool serverRole)
{
    auto s = std::make_unique<Session>(serverRole);
    for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i)
        s->Receive(s->Bounded(in.ConsumeRandomLengthString(ChatSession::MaxLineMessage + 2048)));
}

void GenuineMode(FuzzedDataProvider& in, bool serverRole)
{
    const unsigned long pStart = in.ConsumeIntegralInRange<uint64_t>(2, 1ull << 40);
    const unsigned long qStart = in.ConsumeIntegralInRange<uint64_t>(2, 1ull << 40);
    const unsigned long eStart = in.ConsumeIntegralInRange<uint64_t>(3, 1ull << 30);
    const GmpCheck::TextbookKey key = GmpCheck::MakeTextbookKey(pStart, qStart, eStart);
    const Mpz& n = key.n;
    const Mpz& e = key.e;
    const Mpz& d = key.d;
    if (mpz_cmp(d.v, n.v) >= 0 || mpz_sgn(d.v) == 0)
        return; // cannot happen for d < phi < n; keeps the premise explicit

    auto s = std::make_unique<Session>(serverRole);
    // The peer speaks the other role.
    s->Receive(d.text() + std::string(WireFormat::KeySeparator(!serverRole)) + n.text());
    if (s->session.awaitingKey())
        Fail("a genuine key message was refused: d=" + d.text() + " n=" + n.text());

    const GInt::OwnedNum ge = GmpCheck::MakeNum(e);
    const GInt::OwnedNum gn = GmpCheck::MakeNum(n);
    while (in.remaining_bytes() > 0) {
        const std::string line = in.ConsumeRandomLengthString(200);
        const std::string chunk = RSA::EncryptLine(line, ge.get(), gn.get());
        s->Receive(chunk, &line);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    // The session's own key is made from the clock: a fixed time keeps runs repeatable.
    PrimeGeneration::SetClockSource([] { return PrimeGeneration::TimeOfDay{13, 5, 7, 11}; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint8_t mode = in.ConsumeIntegral<uint8_t>();
    if (mode & 2)
        GenuineMode(in, mode & 1);
    else
        HostileMode(in, mode & 1);
    return 0;
}
