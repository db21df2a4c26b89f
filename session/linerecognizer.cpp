// A line message under (d, n), k the binary length of n, is recognised by
// what the encoder leaves in it (see messageassembler.h for how cuts are
// chosen):
//   - its first byte codes a pattern that is not all zeros (the encoder drops
//     the leading zeros of the ciphertext digits before padding to bytes);
//   - cut from its end into k-digit blocks (the first block holds what is
//     left, from its first one digit on), every block value c is below n and
//     decrypts to m = c^d mod n below 2^(k-1);
//   - the decrypted digits are `pad` zeros, "111", then whole bytes, so pad is
//     b(k-1) - 3 less a multiple of 8 for b blocks, and pad <= k-2.
// A k-digit block of random bits passes both block tests with odds exactly
// 1/2 (c < n with odds n/2^k, then m < 2^(k-1) with odds 2^(k-1)/n), and a
// random first block shows a marker after `pad` zeros with odds 2^-(pad+3).
#include "session/linerecognizer.h"

#include "cipher/bytecode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <optional>
#include <unordered_set>

namespace words = GInt::words;
namespace mont = GInt::montgomery;

namespace {

words::Words WordsOf(GInt::Num number)
{
    std::string binary;
    GInt::NumToBinary(number, binary);
    return words::FromBits(binary);
}

} // namespace

LineRecognizer::LineRecognizer(GInt::Num exponent, GInt::Num modulus)
    : exponent_(WordsOf(exponent)), modulus_(WordsOf(modulus)), k_(words::BitLength(modulus_))
{
    if (modulus_.front() & 1)
        odd_.emplace(modulus_);
    // Under a genuine key, 2 decrypts to a number as good as random. Under a
    // key whose exponent is small modulo the order of the group (a stranger
    // may send a modulus with many small factors and exponent n-2), every
    // short block v decrypts to about v^s for a small s, zeros in front of
    // it: such starts then show nothing. A genuine key shows ClearFrontBits
    // zeros here with odds 2^-24.
    const words::Words two{2};
    if (words::Compare(two, modulus_) < 0) {
        const Block block = decrypt(two);
        startsShow_ = k_ - 1 < ClearFrontBits + words::BitLength(block.plain);
    }
}

void LineRecognizer::setBytes(std::string_view bytes, std::uint64_t base)
{
    if (base > base_) {
        runs_.clear();
        const std::uint64_t firstBit = 8 * base;
        std::erase_if(whole_, [&](const auto& entry) { return entry.first < firstBit + k_; });
        std::erase_if(fronts_, [&](const auto& entry) { return entry.first.first < firstBit; });
    }
    bytes_ = bytes;
    base_ = base;
}

int LineRecognizer::patternAt(std::uint64_t byte) const
{
    return RSA::PatternOfByte[static_cast<uint8_t>(bytes_[byte - base_])];
}

bool LineRecognizer::bitAt(std::uint64_t bit) const
{
    return (patternAt(bit / 8) >> (7 - bit % 8)) & 1;
}

// The number the stream digits [first, last) write, most significant first.
words::Words LineRecognizer::bitsBetween(std::uint64_t first, std::uint64_t last) const
{
    const std::uint64_t count = last - first;
    words::Words value((count + words::kWordBits - 1) / words::kWordBits + 1, 0);
    for (std::uint64_t t = 0; t < count; ++t)
        if (bitAt(last - 1 - t))
            value[t / words::kWordBits] |= words::Word{1} << (t % words::kWordBits);
    words::Trim(value);
    return value;
}

LineRecognizer::Block LineRecognizer::decrypt(const words::Words& cipher)
{
    Block block;
    if (words::Compare(cipher, modulus_) >= 0)
        return block;
    if (powerMods_ >= powerLimit_) {
        starved_ = true;
        block.starved = true;
        return block;
    }
    ++powerMods_;
    if (odd_) {
        block.plain = odd_->Power(cipher, exponent_);
    } else {
        block.plain = mont::PowerEvenModulus(cipher, exponent_, modulus_);
    }
    block.valid = words::BitLength(block.plain) < k_;
    for (const words::Word word : block.plain)
        block.fingerprint = block.fingerprint * 0x9e3779b97f4a7c15ull + std::hash<words::Word>{}(word);
    return block;
}

const LineRecognizer::Block& LineRecognizer::wholeBlock(std::uint64_t endBit)
{
    const auto known = whole_.find(endBit);
    if (known != whole_.end())
        return known->second;
    Block block = decrypt(bitsBetween(endBit - k_, endBit));
    if (block.starved)
        return starvedBlock_;
    return whole_.emplace(endBit, std::move(block)).first->second;
}

const LineRecognizer::Block& LineRecognizer::frontBlock(std::uint64_t firstBit, std::uint64_t endBit)
{
    const auto key = std::make_pair(firstBit, endBit);
    const auto known = fronts_.find(key);
    if (known != fronts_.end())
        return known->second;
    Block block = decrypt(bitsBetween(firstBit, endBit));
    if (block.starved)
        return starvedBlock_;
    return fronts_.emplace(key, std::move(block)).first->second;
}

// Digit `position` of the piece's decrypted digits, counted from the first
// digit of its first block.
bool LineRecognizer::plainBit(const Piece& piece, const Block& front, int position)
{
    const std::size_t plainBits = k_ - 1;
    const std::size_t index = static_cast<std::size_t>(position) / plainBits;
    if (index >= static_cast<std::size_t>(piece.blocks))
        return false;
    const words::Words& plain =
        index == 0 ? front.plain : wholeBlock(8 * piece.end - (piece.blocks - 1 - index) * k_).plain;
    const std::size_t bit = plainBits - 1 - static_cast<std::size_t>(position) % plainBits;
    return bit < words::kWordBits * plain.size() && words::BitAt(plain, bit);
}

std::optional<LineRecognizer::Piece> LineRecognizer::pieceAt(std::uint64_t begin, std::uint64_t end)
{
    if (begin < base_ || end <= begin || end > base_ + bytes_.size() || end - begin > MaxPiece)
        return std::nullopt;
    const int pattern = patternAt(begin);
    if (pattern == 0)
        return std::nullopt;
    const std::uint64_t firstBit = 8 * begin + std::countl_zero(static_cast<uint8_t>(pattern));
    const std::uint64_t length = 8 * end - firstBit;
    Piece piece{begin, end, static_cast<int>((length + k_ - 1) / k_), 0, 0, 0};
    piece.frontBits = startsShow_ ? static_cast<int>(length - (piece.blocks - 1) * k_) : 0;
    // From the end: a wrong cut usually fails at its last block or the one before.
    const Run& run = runTo(end, piece.blocks - 1);
    if (static_cast<int>(run.distinctUpTo.size()) < piece.blocks - 1)
        return std::nullopt;
    piece.distinct = (piece.blocks > 1 ? run.distinctUpTo[piece.blocks - 2] : 0) + 1;
    const std::uint64_t frontEnd = 8 * end - (piece.blocks - 1) * k_;
    const Block& front = length % k_ == 0 ? wholeBlock(frontEnd) : frontBlock(firstBit, frontEnd);
    const std::size_t significant = words::BitLength(front.plain);
    if (!front.valid || significant == 0)
        return std::nullopt;
    piece.pad = static_cast<int>(k_ - 1 - significant);
    const std::int64_t afterMarker =
        static_cast<std::int64_t>(piece.blocks) * static_cast<std::int64_t>(k_ - 1) - piece.pad - 3;
    if (afterMarker < 0 || afterMarker % 8 != 0)
        return std::nullopt;
    if (!plainBit(piece, front, piece.pad + 1) || !plainBit(piece, front, piece.pad + 2))
        return std::nullopt;
    return piece;
}

// The well-formed whole blocks before `end`, looked at up to `blocks` of them
// (fewer where one fails or the bytes held begin).
const LineRecognizer::Run& LineRecognizer::runTo(std::uint64_t end, int blocks)
{
    Run& run = runs_[end];
    while (!run.broken && static_cast<int>(run.distinctUpTo.size()) < blocks) {
        const std::uint64_t t = run.distinctUpTo.size();
        if (8 * end < 8 * base_ + (t + 1) * k_) {
            run.broken = true;
            break;
        }
        const Block& block = wholeBlock(8 * end - t * k_);
        if (block.starved)
            break;
        if (!block.valid) {
            run.broken = true;
            break;
        }
        const bool fresh = run.seen.insert(block.fingerprint).second;
        run.distinctUpTo.push_back((t == 0 ? 0 : run.distinctUpTo.back()) + (fresh ? 1 : 0));
    }
    return run;
}

int LineRecognizer::runBefore(std::uint64_t end, std::uint64_t from)
{
    const std::uint64_t room = 8 * end >= 8 * from ? (8 * end - 8 * from) / k_ : 0;
    const Run& run = runTo(end, static_cast<int>(std::min<std::uint64_t>(room, MaxPiece)));
    return static_cast<int>(std::min<std::uint64_t>(run.distinctUpTo.size(), room));
}

int LineRecognizer::distinctInRun(std::uint64_t end, int blocks)
{
    const Run& run = runTo(end, blocks);
    const int known = std::min(blocks, static_cast<int>(run.distinctUpTo.size()));
    return known > 0 ? run.distinctUpTo[static_cast<std::size_t>(known - 1)] : 0;
}

std::vector<LineRecognizer::Piece> LineRecognizer::piecesEndingAt(std::uint64_t end, std::uint64_t from, int window,
                                                               Starts starts,
                                                               const std::function<bool(const Piece&)>& enough)
{
    std::vector<Piece> found;
    from = std::max(from, base_);
    if (end <= from)
        return found;
    const int run = runBefore(end, from);
    // A piece of b blocks holds b-1 whole blocks, all within the run.
    const std::uint64_t reach = (static_cast<std::uint64_t>(run) + 1) * k_;
    std::uint64_t first = 8 * end > reach + 8 * from ? (8 * end - reach) / 8 : from;
    first = std::max(first, from);
    if (end - first > MaxPiece)
        first = end - MaxPiece;
    // One pass for each kind of start, the cheapest first. On the run, the
    // shortest piece first: one clear enough for `enough` there may be two
    // messages read together, the second of whole blocks from a byte edge.
    // Elsewhere, from where the run breaks off on, where a message's start
    // lies unless the run went on past it by chance.
    for (const Starts pass : {Starts::OnRun, Starts::Likely, Starts::All}) {
        if (pass > starts)
            break;
        const bool shortestFirst = pass == Starts::OnRun;
        for (std::uint64_t i = 0; i < end - first; ++i) {
            const std::uint64_t begin = shortestFirst ? end - 1 - i : first + i;
            const int pattern = patternAt(begin);
            if (pattern == 0)
                continue;
            const std::uint64_t length = 8 * end - 8 * begin - std::countl_zero(static_cast<uint8_t>(pattern));
            const int blocks = static_cast<int>((length + k_ - 1) / k_);
            // A message behind one that fills whole blocks keeps the blocks
            // of what follows aligned, so the run goes on past its start.
            const bool aligned = onWholeBlock(begin, end);
            if (blocks > run + 1 || (blocks < run + 1 - window && !aligned && begin != from))
                continue;
            // A first block that decrypts to 1 (the first marker digit alone)
            // encrypts to 1: a one-digit front, whatever the key.
            const std::uint64_t dropped = static_cast<std::uint64_t>(blocks) * k_ - length;
            const bool likely = dropped < MaxDroppedZeros || dropped == k_ - 1;
            const Starts kind = aligned || begin == from ? Starts::OnRun : likely ? Starts::Likely : Starts::All;
            if (kind != pass)
                continue;
            if (const std::optional<Piece> piece = pieceAt(begin, end)) {
                found.push_back(*piece);
                if (enough && enough(*piece))
                    return found;
            }
        }
    }
    return found;
}

bool LineRecognizer::onWholeBlock(std::uint64_t begin, std::uint64_t end) const
{
    const auto zeros = static_cast<std::uint64_t>(std::countl_zero(static_cast<uint8_t>(patternAt(begin))));
    return 8 * (end - begin) % k_ <= zeros;
}

std::string LineRecognizer::line(const Piece& piece)
{
    return *decode(piece, false);
}

std::optional<std::string> LineRecognizer::textLine(const Piece& piece)
{
    return decode(piece, true);
}

// The piece's line; with `textOnly`, nothing as soon as a byte shows it is not
// text (one typedAscii() rules out, or one UTF-8 never uses), which for a
// wrong cut is within its first few bytes.
std::optional<std::string> LineRecognizer::decode(const Piece& piece, bool textOnly)
{
    std::string text;
    text.reserve((piece.blocks * (k_ - 1) - piece.pad - 3) / 8);
    const std::uint64_t firstBit = 8 * piece.begin + std::countl_zero(static_cast<uint8_t>(patternAt(piece.begin)));
    std::size_t position = 0;  // in the decrypted digits
    const std::size_t skip = static_cast<std::size_t>(piece.pad) + RSA::MarkerDigits;
    unsigned pattern = 0;
    for (int index = 0; index < piece.blocks; ++index) {
        const std::uint64_t endBit = 8 * piece.end - (piece.blocks - 1 - index) * k_;
        const bool partial = index == 0 && (endBit - firstBit) % k_ != 0;
        const words::Words& plain = (partial ? frontBlock(firstBit, endBit) : wholeBlock(endBit)).plain;
        for (std::size_t bit = k_ - 1; bit-- > 0; ++position) {
            if (position < skip)
                continue;
            const bool one = bit < words::kWordBits * plain.size() && ((plain[bit / 64] >> (bit % 64)) & 1);
            pattern = (pattern << 1 | (one ? 1u : 0u)) & 0xff;
            if ((position - skip) % 8 == 7) {
                const uint8_t byte = RSA::ByteOfPattern[pattern];
                if (textOnly && ((byte < 0x80 && !typedAscii(byte)) || byte == 0xc0 || byte == 0xc1 || byte >= 0xf5))
                    return std::nullopt;
                text += static_cast<char>(byte);
            }
        }
    }
    return text;
}
