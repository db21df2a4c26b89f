// The peer's key message: its decryption exponent and modulus in decimal,
// around the separator of the peer's role.
#pragma once

#include "bignum/GInt.h"
#include "session/wireformat.h"

#include <cstddef>
#include <stdexcept>
#include <string_view>

// A message from the peer that the session refuses.
class ESessionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PeerKey {
    static constexpr std::size_t MaxModulusBits = WireFormat::MaxModulusBits;

    GInt::OwnedNum exponent;
    GInt::OwnedNum modulus;
};

// The numbers of "d<separator>n", cut at the first separator. Both must be
// plain decimal, the modulus 2 to MaxModulusBits binary digits long and the exponent
// between 1 and the modulus; anything else raises ESessionError saying why.
PeerKey ParsePeerKey(std::string_view text, std::string_view separator);
