#include "tests/support/chaincheck.h"

namespace ChainCheck {

namespace {
// Longest chain a check walks before calling it a cycle.
constexpr std::size_t MaxNodes = 1u << 20;
} // namespace

std::string ChainDefect(GInt::Num n)
{
    if (!n)
        return "no number";
    if (n->Lower)
        return "the bottom node has a lower neighbour";
    std::size_t count = 0;
    for (const GInt::TDigitNode* node = n; node; node = node->Higher) {
        if (++count > MaxNodes)
            return "the chain does not end";
        if (node->Digit < 0 || node->Digit > 9999)
            return "digit " + std::to_string(node->Digit) + " out of range";
        if (node->Higher && node->Higher->Lower != node)
            return "a higher node does not link back";
        if (!node->Higher && node != n && node->Digit == 0)
            return "zero top node (not in normal form)";
    }
    if (n->Sign > 1)
        return "sign flag " + std::to_string(n->Sign);
    return {};
}

Snapshot::Snapshot(GInt::Num n) : sign(n->Sign)
{
    for (const GInt::TDigitNode* node = n; node && nodes.size() <= MaxNodes; node = node->Higher) {
        nodes.push_back(node);
        digits.push_back(node->Digit);
    }
}

} // namespace ChainCheck
