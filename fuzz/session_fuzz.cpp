// The session's handling of received text, as a read event hands it over,
// without a window or a connection: a fresh ChatSession per input awaits the
// peer's key in the role the input picks and is then fed the messages the
// input holds.
//
// Hostile mode: up to eight messages of any bytes, some longer than the
// session takes in. Each message is either taken or refused with
// ESessionError; any other exception, and every sanitizer report, is a
// finding. A refused key leaves the key awaited and the panes untouched; a
// taken key is a modulus of 2 to 1024 binary digits with an exponent from 1 to
// below it; a line message shows exactly one line or is refused.
//
// Genuine mode: a peer with a real key (GMP finds the primes) sends its key
// message with the separator of its role and then lines of any bytes; every
// line must show exactly as sent.
//
// Line messages are shortened, as decrypt_fuzz does, when decrypting them
// under the peer's key would take more than a fixed amount of arithmetic;
// messages above the session's limit are handed over whole, as it refuses
// them before any arithmetic.
#include "session/chatsession.h"
#include "session/chatview.h"
#include "bignum/GInt.h"
#include "cipher/RSA.h"
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

struct Session {
    RecordingView view;
    // Nothing is sent: the input is only ever received.
    struct : ChatOutlet {
        bool sendMessage(bool, std::string_view) override { return false; }
        std::size_t queuedBytes(bool) const override { return 0; }
    } outlet;
    ChatSession session{view, outlet};

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

    // Hands one message over and checks what became of it.
    void Receive(const std::string& message, const std::string* expectedLine = nullptr)
    {
        const bool awaiting = session.awaitingKey();
        const qsizetype shown = view.incoming.size();
        bool refused = false;
        try {
            session.receiveText(message);
        } catch (const ESessionError& e) {
            if (std::string(e.what()).empty())
                Fail("a refusal without a message");
            refused = true;
        } catch (const std::exception& e) {
            Fail(std::string("unexpected exception: ") + e.what());
        }
        if (!view.sent.isEmpty() || !view.statusText.isEmpty())
            Fail("received text touched the sent pane or the status");
        if (message.empty()) {
            if (refused || session.awaitingKey() != awaiting || view.incoming.size() != shown)
                Fail("an empty message had an effect");
            return;
        }
        if (awaiting) {
            if (view.incoming.size() != shown)
                Fail("a key message showed a line");
            if (refused != session.awaitingKey())
                Fail(refused ? "a refused key message ended the key exchange" : "a taken key left the key awaited");
            if (!refused)
                CheckPeerKey();
        } else {
            if (session.awaitingKey())
                Fail("a line message reopened the key exchange");
            if (view.incoming.size() != shown + (refused ? 0 : 1))
                Fail("a line message did not show exactly one line");
            if (expectedLine && (refused || view.incoming.last() != Shown(*expectedLine)))
                Fail("a genuine line of " + std::to_string(expectedLine->size()) + " bytes did not arrive intact");
        }
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
    auto s = std::make_unique<Session>();
    s->session.awaitPeerKey(serverRole);
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

    auto s = std::make_unique<Session>();
    s->session.awaitPeerKey(serverRole);
    // The peer speaks the other role: a client sends "::", a server "//".
    s->Receive(d.text() + (serverRole ? "::" : "//") + n.text());
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
