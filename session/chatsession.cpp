// Wire format. One TCP connection carries, with no header, length field or
// terminator, and each written with one send:
//
//   client key message   d + "::" + n   (client to server)
//   server key message   d + "//" + n   (server to client)
//   line message         the EncryptLine ciphertext of one typed line
//
// d and n are the sender's decryption exponent and modulus in decimal. Each
// side sends its key message first, as soon as the connection stands, and
// line messages after it. The receiver takes the text of each read event as
// exactly one message. Lines are sent as UTF-8; a received line that is not
// valid UTF-8 is shown byte by byte as Latin-1.
#include "session/chatsession.h"

#include "bignum/GInt.h"
#include "cipher/RSA.h"

#include <QByteArray>
#include <QStringDecoder>

#include <algorithm>

namespace {

constexpr std::string_view ClientSeparator = "::";
constexpr std::string_view ServerSeparator = "//";
// 2^1024 - 1 has 309 decimal digits.
constexpr std::size_t MaxKeyDigits = 309;

bool isDecimal(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view withoutLeadingZeros(std::string_view text)
{
    const auto first = text.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

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

[[noreturn]] void refuseKey(const std::string& reason)
{
    throw ESessionError("The peer's key message is malformed: " + reason);
}

[[noreturn]] void refuseLongLine()
{
    throw ESessionError("The line is too long to send: a peer takes in at most "
                        + std::to_string(ChatSession::MaxLineMessage) + " bytes of encrypted line");
}

} // namespace

ChatSession::ChatSession(ChatView& view, ChatOutlet& outlet) : view_(view), outlet_(outlet)
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
    receiveText(text);
}

void ChatSession::enterPressed()
{
    if (awaitingKey_)
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

void ChatSession::receiveText(std::string_view text)
{
    if (text.empty())
        return;
    if (awaitingKey_)
        takePeerKey(text);
    else
        showLine(text);
}

std::string ChatSession::generateOwnKey(bool serverRole)
{
    std::string decryptText, modulusText;
    PrimeGeneration::GenerateKeyPair(serverRole ? serverKey_ : clientKey_, decryptText, modulusText);
    return decryptText + std::string(serverRole ? ServerSeparator : ClientSeparator) + modulusText;
}

void ChatSession::awaitPeerKey(bool serverRole)
{
    awaitingKey_ = true;
    serverRole_ = serverRole;
    view_.keyExchangeChanged(false);
}

std::string ChatSession::encryptOwnLine(std::string_view line) const
{
    const PrimeGeneration::KeyPair& own = ownKey();
    if (!own.EncryptExponent || !own.Modulus)
        throw ESessionError("No key has been made for this connection yet");
    return RSA::EncryptLine(line, own.EncryptExponent, own.Modulus);
}

// Takes the peer's "d<sep>n" apart at the first separator of the peer's role.
// Both numbers must be plain decimal, the modulus 2 to 1024 binary digits long
// and the exponent between 1 and the modulus; anything else is refused and the
// key is still awaited.
void ChatSession::takePeerKey(std::string_view text)
{
    const std::string_view separator = serverRole_ ? ClientSeparator : ServerSeparator;
    const auto at = text.find(separator);
    if (at == std::string_view::npos)
        refuseKey("the separator " + std::string(separator) + " is missing");
    const std::string_view exponentText = text.substr(0, at);
    const std::string_view modulusText = text.substr(at + separator.size());
    if (!isDecimal(exponentText) || !isDecimal(modulusText))
        refuseKey("a number is not a plain decimal number");

    const std::string_view modulusDigits = withoutLeadingZeros(modulusText);
    const std::string_view exponentDigits = withoutLeadingZeros(exponentText);
    if (modulusDigits.size() > MaxKeyDigits)
        refuseKey("the modulus is longer than 1024 binary digits");
    if (exponentDigits.empty())
        refuseKey("the exponent is zero");
    if (exponentDigits.size() > MaxKeyDigits)
        refuseKey("the exponent is not below the modulus");

    GInt::OwnedNum modulus, exponent;
    GInt::DecimalToNum(modulusDigits.empty() ? std::string_view("0") : modulusDigits, modulus.out());
    GInt::DecimalToNum(exponentDigits, exponent.out());
    const std::size_t modulusBits = GInt::BinaryLength(modulus.get());
    if (modulusBits < 2)
        refuseKey("the modulus is below 2");
    if (modulusBits > MaxModulusBits)
        refuseKey("the modulus is longer than 1024 binary digits");
    if (GInt::CompareAbs(exponent.get(), modulus.get()) != GInt::crLess)
        refuseKey("the exponent is not below the modulus");

    PrimeGeneration::KeyPair& peer = peerKey();
    peer.ReplaceDecryptExponent(exponent.release());
    peer.ReplaceModulus(modulus.release());
    awaitingKey_ = false;
    view_.keyExchangeChanged(true);
}

void ChatSession::showLine(std::string_view chunk)
{
    if (chunk.size() > MaxLineMessage)
        throw ESessionError("The received line is too long: " + std::to_string(chunk.size())
                            + " bytes, at most " + std::to_string(MaxLineMessage) + " are taken in");
    const PrimeGeneration::KeyPair& peer = peerKey();
    if (!peer.DecryptExponent || !peer.Modulus)
        throw ESessionError("A line arrived before the peer's key");
    std::string line;
    try {
        line = RSA::DecryptLine(chunk, peer.DecryptExponent, peer.Modulus);
    } catch (const RSA::ECipherError& error) {
        // The cipher's message already says what went wrong with the line.
        throw ESessionError(error.what());
    }
    view_.appendIncoming(displayText(line));
}
