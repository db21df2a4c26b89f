// Checks of a number's digit chain, shared by the arithmetic tests, the GMP
// cross-checks and the fuzz targets.
#pragma once

#include "bignum/GInt.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ChainCheck {

// What is wrong with the chain n designates (missing node, broken links, a
// digit outside 0..9999, a zero top node, a sign flag other than 0 or 1, no
// end), or "" when it is sound.
std::string ChainDefect(GInt::Num n);

// Everything an operation must leave alone in an operand: the nodes, their
// digits and the sign flag of the bottom node.
struct Snapshot {
    Snapshot() = default;
    explicit Snapshot(GInt::Num n);
    bool operator==(const Snapshot&) const = default;

    std::vector<const GInt::TDigitNode*> nodes;
    std::vector<int32_t> digits;
    uint8_t sign = 0;
};

} // namespace ChainCheck
