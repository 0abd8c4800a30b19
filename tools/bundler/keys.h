// The bundle's key material: the 32-byte payload key and the RSA pair that signs the payload.
//
// The key generator keeps three files in a key folder of the build tree (never in the sources):
//   payload.key      32 raw bytes
//   signing-key.pem  the RSA private key (PKCS #8, "PRIVATE KEY")
//   verify-key.pem   the RSA public key (X.509 SubjectPublicKeyInfo, "PUBLIC KEY")
// and renders the C++ header through which the program gets the payload key and the public key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace pelbundle {

inline constexpr unsigned kMinRsaBits = 2048;

struct KeySet {
  std::string payloadKey;     // 32 bytes
  std::string signingKeyPem;  // private key, PEM
  std::string verifyKeyPem;   // public key, PEM
};

// Makes a fresh key set: a random payload key and an RSA pair of `rsaBits` bits (at least
// kMinRsaBits).
KeySet generateKeySet(unsigned rsaBits = kMinRsaBits);

// Checks a key set: the payload key's length, both keys readable, the pair matching, the modulus
// at least kMinRsaBits. Throws std::runtime_error naming what is wrong.
void checkKeySet(const KeySet& keys);

// The key set of `dir`: the one stored there when all three files exist (checked), a new one
// written there when none does. A partial or damaged set is an error: it is never replaced
// silently. `generated` tells which happened.
KeySet ensureKeySet(const std::filesystem::path& dir, bool* generated = nullptr,
                    unsigned rsaBits = kMinRsaBits);
KeySet readKeySet(const std::filesystem::path& dir);

// The generated header: the payload key as eight 32-bit words (little-endian order) and the public
// key PEM as a masked table of 16-bit values.
std::string renderKeysHeader(const KeySet& keys);

// PEM armour of DER bytes with 64-character lines, and the reverse (only the block of `label`;
// throws std::runtime_error when it is missing or not Base64).
std::string pemEncode(std::string_view der, std::string_view label);
std::string pemDecode(std::string_view pem, std::string_view label);

// Whole-file helpers. writeFileAtomically writes a temporary file beside the target and renames
// it; writeFileIfChanged leaves an equal file alone (its time stamp included) and answers whether
// it wrote.
std::string readWholeFile(const std::filesystem::path& path);
void writeFileAtomically(const std::filesystem::path& path, std::string_view content);
bool writeFileIfChanged(const std::filesystem::path& path, std::string_view content);

}  // namespace pelbundle
