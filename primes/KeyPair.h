// RSA key pairs made from two clock-seeded random decimal seeds.
#pragma once

#include "bignum/GInt.h"

#include <string>

namespace PrimeGeneration {

// The key material of one role; owns its three numbers.
struct KeyPair {
    GInt::Num Modulus = nullptr, EncryptExponent = nullptr, DecryptExponent = nullptr;

    KeyPair() = default;
    KeyPair(const KeyPair&) = delete;
    KeyPair& operator=(const KeyPair&) = delete;
    ~KeyPair();

    // Releases the held modulus and stores n (taking ownership).
    void ReplaceModulus(GInt::Num n);
    // Releases the held encryption exponent and stores n (taking ownership).
    void ReplaceEncryptExponent(GInt::Num n);
    // Releases the held decryption exponent and stores n (taking ownership).
    void ReplaceDecryptExponent(GInt::Num n);
};

// Appends one seed text of one to three random pieces to `text`.
void RandomDigitString(std::string& text);
// Seeds the generator from the clock, fills `pair` with a fresh key made of two
// different primes and hands back the decimal texts of d and n.
void GenerateKeyPair(KeyPair& pair, std::string& decryptText, std::string& modulusText);

} // namespace PrimeGeneration
