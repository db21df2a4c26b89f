// The line-message format, shared by the line cipher and by the receiver that
// finds where messages end in a stream:
//
//   plain digits   zeros, then the marker "111", then 8 digits per byte of the
//                  line (each byte through the byte code below), padded in
//                  front with zeros to a whole number of (k-1)-digit blocks,
//                  k being the binary length of the modulus;
//   cipher digits  each block m becomes m^e mod n written with exactly k
//                  digits; the leading zeros of the joined digits are dropped
//                  and the rest goes into bytes through the byte code, padded
//                  in front with zeros to a multiple of 8.
//
// Byte code: byte b is written as the eight-digit pattern whose binary value v
// satisfies Substitution[v] = b, a fixed permutation of 0..255 that moves 131
// values and keeps the other 125. Both peers must use exactly this permutation:
// it decides the bytes on the wire.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

namespace RSA {

// Digits of the marker "111" in front of a line's digits.
inline constexpr unsigned MarkerDigits = 3;

namespace detail {

constexpr std::array<std::uint8_t, 256> MakeSubstitution()
{
    std::array<std::uint8_t, 256> sigma{};
    for (int v = 0; v < 256; ++v)
        sigma[v] = static_cast<std::uint8_t>(v);
    // Stores images for the run of values starting at `first`.
    auto run = [&sigma](int first, std::initializer_list<int> images) {
        for (const int image : images)
            sigma[first++] = static_cast<std::uint8_t>(image);
    };
    run(0, {1, 2, 4});
    run(4, {5, 6, 9, 8, 7, 10, 11, 13, 14, 12, 15, 16, 18, 20, 17, 21, 19, 25, 24, 22, 23, 26, 28,
            31, 27});
    run(31, {32, 0});
    run(35, {36, 35});
    run(39, {40, 39});
    for (int v = 61; v <= 90; ++v)
        sigma[v] = static_cast<std::uint8_t>(151 - v);
    run(91, {95, 94});
    run(94, {91, 92});
    run(103, {105, 103, 104});
    run(122, {125, 124, 123, 126, 122});
    run(129, {130, 129});
    run(146, {150, 149});
    run(149, {147, 146});
    run(153, {154, 153});
    run(163, {170, 165, 166, 167, 168, 169, 163, 164});
    for (int v = 182; v <= 194; ++v)
        if (v != 191)
            sigma[v] = static_cast<std::uint8_t>(382 - v);
    for (int v = 195; v <= 200; ++v)
        sigma[v] = static_cast<std::uint8_t>(v - 13);
    run(211, {220, 211, 219, 212, 218, 213});
    run(218, {214, 216, 215});
    run(239, {240, 239});
    run(246, {255, 254, 246, 253, 247, 252, 248, 251, 249, 250});
    return sigma;
}


constexpr bool IsPermutation(const std::array<std::uint8_t, 256>& sigma)
{
    std::array<bool, 256> seen{};
    for (const std::uint8_t image : sigma) {
        if (seen[image])
            return false;
        seen[image] = true;
    }
    return true;
}

constexpr std::array<std::uint8_t, 256> Invert(const std::array<std::uint8_t, 256>& sigma)
{
    std::array<std::uint8_t, 256> inverse{};
    for (unsigned v = 0; v < 256; ++v)
        inverse[sigma[v]] = static_cast<std::uint8_t>(v);
    return inverse;
}

} // namespace detail

// The byte each pattern value codes.
inline constexpr std::array<std::uint8_t, 256> ByteOfPattern = detail::MakeSubstitution();
static_assert(detail::IsPermutation(ByteOfPattern), "the byte code must be a permutation");
// The pattern value that codes each byte.
inline constexpr std::array<std::uint8_t, 256> PatternOfByte = detail::Invert(ByteOfPattern);

} // namespace RSA
