// Internal to key generation: the part of GenerateKeyPair that follows the
// drawing of the two seed texts. Tests reach it to try seeds that no clock
// reading gives; the program itself only calls GenerateKeyPair.
#pragma once

#include "primes/KeyPair.h"

#include <string>
#include <string_view>

namespace PrimeGeneration::detail {

// Fills `pair` from the primes that follow the seed texts (q searched on while
// it equals p) and hands back the decimal texts of d and n.
void GenerateKeyPairFromSeeds(KeyPair& pair, std::string_view seedP, std::string_view seedQ,
                              std::string& decryptText, std::string& modulusText);

} // namespace PrimeGeneration::detail
