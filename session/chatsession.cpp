// The chat over one connection (the messages are described in wireformat.h).
// A received line that is not valid UTF-8 is shown byte by byte as Latin-1.
#include "session/chatsession.h"

#include "bignum/GInt.h"
#include "cipher/RSA.h"

#include <QByteArray>
#include <QStringDecoder>

#include <algorithm>
#include <chrono>
#include <optional>

namespace {

// A received line as text: UTF-8 when it is valid UTF-8, else one character
// per byte, so that a peer writing in a single-byte code page stays readable.
QString displayText(std::string_view bytes)
{
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(view);
    if (utf8.hasError())
        text = QString::fromLatin1(view);
    return text;
}

[[noreturn]] void refuseLongLine()
{
    throw ESessionError("The line is too long to send: a peer takes in at most "
                        + std::to_string(ChatSession::MaxLineMessage) + " bytes of encrypted line");
}

} // namespace

ChatSession::ChatSession(ChatView& view, ChatOutlet& outlet, Clock clock)
    : view_(view), outlet_(outlet), clock_(std::move(clock))
{
}

void ChatSession::connectionAccepted(const QString& peerAddress)
{
    const bool stillConnected = outlet_.sendMessage(true, generateOwnKey(true));
    awaitPeerKey(true);
    // A peer that left while the key was made has been closed by the send,
    // and the front end has moved on; the status is no longer this connection's.
    if (stillConnected)
        view_.setStatus(QStringLiteral("Connected to: ") + peerAddress);
}

void ChatSession::connectionMade(const QString& peerHostName)
{
    if (outlet_.sendMessage(false, generateOwnKey(false)))
        view_.setStatus(QStringLiteral("Connected to: ") + peerHostName);
    awaitPeerKey(false);
}

void ChatSession::dataArrived(std::string_view text)
{
    assembler_.append(text, clock_());
    takeAssembled();
}

void ChatSession::timePassed()
{
    assembler_.timePassed(clock_());
    takeAssembled();
}

void ChatSession::connectionClosed()
{
    assembler_.finish(clock_());
    takeAssembled();
}

void ChatSession::takeAssembled()
{
    std::optional<ESessionError> refusal;
    for (MessageAssembler::Message& message : assembler_.takeMessages()) {
        try {
            switch (message.kind) {
            case MessageAssembler::Message::Kind::Key:
                takePeerKey(std::move(message.key));
                break;
            case MessageAssembler::Message::Kind::Line:
                view_.appendIncoming(displayText(message.text));
                break;
            case MessageAssembler::Message::Kind::Error:
                throw ESessionError(message.text);
            }
        } catch (const ESessionError& error) {
            if (!refusal)
                refusal = error;
        }
    }
    const std::optional<MessageAssembler::TimePoint> deadline = assembler_.deadline();
    if (deadline)
        view_.wakeSessionIn(std::max(std::chrono::milliseconds(1),
                                     std::chrono::ceil<std::chrono::milliseconds>(*deadline - clock_())));
    else
        view_.wakeSessionIn(std::nullopt);
    if (refusal)
        throw *refusal;
}

void ChatSession::enterPressed()
{
    if (awaitingKey())
        return;
    const PrimeGeneration::KeyPair& own = ownKey();
    // No connection has stood in this role yet: there is no key to send with.
    if (!own.EncryptExponent || !own.Modulus)
        return;
    const QString line = view_.inputText();
    const QByteArray bytes = line.toUtf8();
    // Every block of k-1 bits becomes k bits, so the message is at least as
    // long as the line less one block: a line that long is refused before
    // the time is spent encrypting it.
    const std::size_t blockBytes = GInt::BinaryLength(own.Modulus) / 8 + 1;
    if (static_cast<std::size_t>(bytes.size()) > MaxLineMessage + blockBytes)
        refuseLongLine();
    const std::string message = encryptOwnLine(std::string_view(bytes.constData(), bytes.size()));
    if (message.size() > MaxLineMessage)
        refuseLongLine();
    if (outlet_.queuedBytes(serverRole_) + message.size() > MaxQueuedBytes)
        throw ESessionError("The peer is not taking data: the line was not sent");
    // The connection of this role has ended: the line stays in the input.
    if (!outlet_.sendMessage(serverRole_, message))
        return;
    view_.clearInput();
    view_.appendSent(line);
}

std::string ChatSession::generateOwnKey(bool serverRole)
{
    std::string decryptText, modulusText;
    PrimeGeneration::GenerateKeyPair(serverRole ? serverKey_ : clientKey_, decryptText, modulusText);
    return decryptText + std::string(WireFormat::KeySeparator(serverRole)) + modulusText;
}

void ChatSession::awaitPeerKey(bool serverRole)
{
    serverRole_ = serverRole;
    assembler_.restart();
    assembler_.expectKey(WireFormat::KeySeparator(!serverRole));
    view_.wakeSessionIn(std::nullopt);
    view_.keyExchangeChanged(false);
}

std::string ChatSession::encryptOwnLine(std::string_view line) const
{
    const PrimeGeneration::KeyPair& own = ownKey();
    if (!own.EncryptExponent || !own.Modulus)
        throw ESessionError("No key has been made for this connection yet");
    return RSA::EncryptLine(line, own.EncryptExponent, own.Modulus);
}

// The peer's numbers replace those of the previous connection.
void ChatSession::takePeerKey(PeerKey key)
{
    PrimeGeneration::KeyPair& peer = peerKey();
    peer.ReplaceDecryptExponent(key.exponent.release());
    peer.ReplaceModulus(key.modulus.release());
    view_.keyExchangeChanged(true);
}
