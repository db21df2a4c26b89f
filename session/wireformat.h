// What two copies of the program say to each other over one TCP connection.
//
// The listening side takes connections on TCP port `Port`. The connection
// carries, with no header, length field or terminator, each written with one
// send:
//
//   client key message   d + "::" + n   (client to server)
//   server key message   d + "//" + n   (server to client)
//   line message         the ciphertext of one typed line (cipher/bytecode.h)
//
// d and n are the sender's decryption exponent and modulus, in decimal with no
// sign. Each side sends its key message first, as soon as the connection
// stands, and line messages after it. Lines are sent as UTF-8. The network may
// split and join the messages: the receiver cuts the stream back into them
// (messageassembler.h).
#pragma once

#include <cstddef>
#include <string_view>

namespace WireFormat {

// The TCP port the listening side opens when nothing else is asked for.
inline constexpr int Port = 1024;

// Between the two numbers of the key message a client sends.
inline constexpr std::string_view ClientKeySeparator = "::";
// Between the two numbers of the key message a server sends.
inline constexpr std::string_view ServerKeySeparator = "//";

// The separator of the key message the given role sends.
constexpr std::string_view KeySeparator(bool serverRole)
{
    return serverRole ? ServerKeySeparator : ClientKeySeparator;
}

// Largest modulus taken from a peer, in binary digits.
inline constexpr std::size_t MaxModulusBits = 1024;
// Most decimal digits of a key number: 2^1024 - 1 has 309.
inline constexpr std::size_t MaxKeyDigits = 309;
// Most bytes of a key message: two numbers of MaxKeyDigits and a separator.
inline constexpr std::size_t MaxKeyMessageBytes = 2 * MaxKeyDigits + ClientKeySeparator.size();

// Longest line message taken in (16 KiB). A typed line is far shorter, and
// decrypting a stranger's huge chunk would freeze the window.
inline constexpr std::size_t MaxLineMessageBytes = 16384;

static_assert(ClientKeySeparator.size() == ServerKeySeparator.size());

} // namespace WireFormat
