// The message assembler on what a hostile peer controls: its key message (any
// digits, any separator), the bytes after it and how they are cut into reads
// and spaced in time, with keys of every size the session accepts (up to 309
// digits, 1,024 binary digits). Nothing may crash, leak or trip a sanitizer; a
// key the assembler takes must be one the session takes too, the bytes held
// never pass their cap, and the modular powers spent stay within the budget
// for the key taken.
#include "session/messageassembler.h"
#include "session/peerkey.h"
#include "session/powerbudget.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "assembler_fuzz: %s\n", what);
    std::abort();
}

// Up to `most` decimal digits, one per input byte.
std::string Digits(FuzzedDataProvider& in, std::size_t most)
{
    std::string digits;
    for (std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, most); n > 0 && in.remaining_bytes() > 0; --n)
        digits += static_cast<char>('0' + in.ConsumeIntegral<uint8_t>() % 10);
    return digits;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    MessageAssembler assembler;
    assembler.restart();
    assembler.expectKey("//");
    MessageAssembler::TimePoint now{};
    std::string key = Digits(in, 309);
    key += in.ConsumeBool() ? "//" : in.ConsumeBytesAsString(2);
    key += Digits(in, 309);
    std::string stream = key + in.ConsumeRandomLengthString(48 * 1024);
    const std::size_t total = stream.size();
    std::size_t keyBits = 0;
    while (!stream.empty()) {
        const std::size_t read = std::min(stream.size(), in.ConsumeIntegralInRange<std::size_t>(1, 4096));
        assembler.append(stream.substr(0, read), now);
        stream.erase(0, read);
        now += std::chrono::milliseconds(in.ConsumeIntegralInRange<int>(0, 150));
        if (const auto deadline = assembler.deadline(); deadline && *deadline <= now)
            assembler.timePassed(now);
        if (assembler.buffered() > MessageAssembler::MaxHeldBytes + 4096 + 2 * 309 + 2)
            Fail("more bytes held than the cap");
        for (const MessageAssembler::Message& message : assembler.takeMessages()) {
            if (message.kind != MessageAssembler::Message::Kind::Key)
                continue;
            try {
                keyBits = GInt::BinaryLength(ParsePeerKey(message.text, "//").modulus.get());
            } catch (const ESessionError&) {
                Fail("a key the session refuses was taken");
            }
        }
    }
    assembler.finish(now);
    // The key cutter may have read under keys a few digits shorter than the
    // one taken (at most 8 digits, 27 binary digits), so their blocks count.
    if (keyBits > 40) {
        const std::uint64_t allowance =
            keyBits - 27 <= PowerBudget::SmallKeyBits ? PowerBudget::SmallKeyAllowance : PowerBudget::LargeKeyAllowance;
        if (assembler.powerMods() > allowance + PowerBudget::perBlock(keyBits - 27) * 8 * total / (keyBits - 27))
            Fail("more modular powers spent than the budget allows");
    }
    (void)assembler.takeMessages();
    if (assembler.buffered() != 0)
        Fail("bytes left after the connection ended");
    return 0;
}
