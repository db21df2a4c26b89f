#include "cipher/RSA.h"
#include "tests/support/propertyseed.h"

#include <gtest/gtest.h>

#include <bitset>
#include <set>
#include <vector>

namespace {

std::string Pattern(unsigned value)
{
    return std::bitset<8>(value).to_string();
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string text;
    for (const int v : values)
        text += static_cast<char>(v);
    return text;
}

TEST(ByteCode, KeepsExactlyTheListedValues)
{
    const std::vector<std::pair<int, int>> fixedRuns = {
        {3, 3},     {29, 30},   {33, 34},   {37, 38},   {41, 60},   {93, 93},   {96, 102},
        {106, 121}, {127, 128}, {131, 145}, {148, 148}, {151, 152}, {155, 162}, {171, 181},
        {191, 191}, {201, 210}, {217, 217}, {221, 238}, {241, 245}};
    std::set<int> fixed;
    for (const auto& [first, last] : fixedRuns)
        for (int v = first; v <= last; ++v)
            fixed.insert(v);
    ASSERT_EQ(fixed.size(), 125u);

    std::set<int> images;
    for (unsigned v = 0; v < 256; ++v) {
        const int image = RSA::BitsToByte(Pattern(v));
        images.insert(image);
        EXPECT_EQ(image == static_cast<int>(v), fixed.count(static_cast<int>(v)) == 1) << "v = " << v;
    }
    EXPECT_EQ(images.size(), 256u) << "the substitution is not a permutation";
}

TEST(ByteCode, MovesValuesAsListed)
{
    const std::vector<std::pair<int, std::vector<int>>> runs = {
        {0, {1, 2, 4}},
        {4, {5, 6, 9, 8, 7, 10, 11, 13, 14, 12, 15, 16, 18, 20, 17, 21, 19, 25, 24, 22, 23, 26, 28, 31, 27}},
        {31, {32, 0}},
        {35, {36, 35}},
        {39, {40, 39}},
        {91, {95, 94}},
        {94, {91, 92}},
        {103, {105, 103, 104}},
        {122, {125, 124, 123, 126, 122}},
        {129, {130, 129}},
        {146, {150, 149}},
        {149, {147, 146}},
        {153, {154, 153}},
        {163, {170, 165, 166, 167, 168, 169, 163, 164}},
        {211, {220, 211, 219, 212, 218, 213}},
        {218, {214, 216, 215}},
        {239, {240, 239}},
        {246, {255, 254, 246, 253, 247, 252, 248, 251, 249, 250}}};
    for (const auto& [first, images] : runs)
        for (size_t i = 0; i < images.size(); ++i)
            EXPECT_EQ(RSA::BitsToByte(Pattern(first + static_cast<int>(i))), images[i]) << "v = " << first + i;
    for (int v = 61; v <= 90; ++v)
        EXPECT_EQ(RSA::BitsToByte(Pattern(v)), 151 - v) << "v = " << v;
    for (int v = 182; v <= 194; ++v) {
        if (v != 191) {
            EXPECT_EQ(RSA::BitsToByte(Pattern(v)), 382 - v) << "v = " << v;
        }
    }
    for (int v = 195; v <= 200; ++v)
        EXPECT_EQ(RSA::BitsToByte(Pattern(v)), v - 13) << "v = " << v;
}

TEST(ByteCode, Examples)
{
    EXPECT_EQ(RSA::BitsToByte("00100000"), 0);
    EXPECT_EQ(RSA::BitsToByte("00000000"), 1);
    EXPECT_EQ(RSA::BitsToByte("00011111"), 32);
    EXPECT_EQ(RSA::BitsToByte("01010110"), 65);
    EXPECT_EQ(RSA::BitsToByte("01100001"), 97);
    // Any character but '0' is a one digit.
    EXPECT_EQ(RSA::BitsToByte("0x1a000b"), RSA::BitsToByte("01110001"));
}

TEST(ByteCode, TableHoldsThePatternOfEachByte)
{
    RSA::BitTable table;
    RSA::BuildBitTable(table);
    for (unsigned b = 0; b < 256; ++b) {
        ASSERT_EQ(table[b].size(), 8u);
        EXPECT_EQ(table[b].find_first_not_of("01"), std::string::npos);
        EXPECT_EQ(RSA::BitsToByte(table[b]), b);
    }
}

TEST(BitString, Examples)
{
    EXPECT_EQ(RSA::TextToBits(""), "");
    EXPECT_EQ(RSA::TextToBits("Hi"), "0100111101100111");
    EXPECT_EQ(RSA::TextToBits(Bytes({0})), "00100000");
    EXPECT_EQ(RSA::TextToBits(Bytes({255})), "11110110");
    EXPECT_EQ(RSA::TextToBits(Bytes({1, 0, 1})), "000000000010000000000000");
    EXPECT_EQ(RSA::BitsToText(""), "");
    EXPECT_EQ(RSA::BitsToText("1"), Bytes({2}));
    EXPECT_EQ(RSA::BitsToText("100000000"), Bytes({2, 1}));
    EXPECT_EQ(RSA::BitsToText("0100111101100111"), "Hi");
    // Byte 0 is an ordinary byte and counts in the length.
    EXPECT_EQ(RSA::BitsToText(RSA::TextToBits(Bytes({0, 'a', 0, 0}))), Bytes({0, 'a', 0, 0}));
}

TEST(BitString, RandomRoundTrips)
{
    std::mt19937_64 random(PropertySeed("BitString.RandomRoundTrips"));
    for (int trial = 0; trial < 500; ++trial) {
        std::string text(random() % 300, '\0');
        for (char& c : text)
            c = static_cast<char>(random() & 0xff);
        const std::string bits = RSA::TextToBits(text);
        ASSERT_EQ(bits.size(), 8 * text.size());
        ASSERT_EQ(RSA::BitsToText(bits), text);

        std::string raw(random() % 100, '0');
        for (char& c : raw)
            c = (random() & 1) ? '1' : '0';
        const std::string again = RSA::TextToBits(RSA::BitsToText(raw));
        ASSERT_EQ(again.size(), (raw.size() + 7) / 8 * 8);
        ASSERT_EQ(again, std::string(again.size() - raw.size(), '0') + raw);
    }
}

} // namespace
