#include "session/peerkey.h"

#include <algorithm>
#include <string>

namespace {

using WireFormat::MaxKeyDigits;

bool isDecimal(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view withoutLeadingZeros(std::string_view text)
{
    const auto first = text.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

[[noreturn]] void refuseKey(const std::string& reason)
{
    throw ESessionError("The peer's key message is malformed: " + reason);
}

[[noreturn]] void refuseModulusLength()
{
    refuseKey("the modulus is longer than " + std::to_string(WireFormat::MaxModulusBits) + " binary digits");
}

} // namespace

PeerKey ParsePeerKey(std::string_view text, std::string_view separator)
{
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
        refuseModulusLength();
    if (exponentDigits.empty())
        refuseKey("the exponent is zero");
    if (exponentDigits.size() > MaxKeyDigits)
        refuseKey("the exponent is not below the modulus");

    PeerKey key;
    GInt::DecimalToNum(modulusDigits.empty() ? std::string_view("0") : modulusDigits, key.modulus.out());
    GInt::DecimalToNum(exponentDigits, key.exponent.out());
    const std::size_t modulusBits = GInt::BinaryLength(key.modulus.get());
    if (modulusBits < 2)
        refuseKey("the modulus is below 2");
    if (modulusBits > PeerKey::MaxModulusBits)
        refuseModulusLength();
    if (GInt::CompareAbs(key.exponent.get(), key.modulus.get()) != GInt::crLess)
        refuseKey("the exponent is not below the modulus");
    return key;
}
