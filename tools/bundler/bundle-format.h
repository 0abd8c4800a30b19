// The layout of "resource.dat", shared by the bundler that writes it and the program that reads it.
//
//   offset 0       5   "RES!" and a zero byte
//   offset 5       1   format version (written as 1, not read)
//   offset 6       2   reserved (written as 0, not read)
//   offset 8      16   IV: first counter block of AES-256-CTR
//   offset 24      2   u16 S: signature length
//   offset 26      S   RSASSA-PKCS1-v1_5/SHA-1 signature over MD5(decrypted payload)
//   offset 26+S    4   u32 P: encrypted payload length (below 2^31)
//   offset 30+S    4   u32 N: entry count
//   offset 34+S        N entry records: u32 inflated size, i16 name length L (1..32767), L bytes
//                      of the name, encrypted on its own from the IV
//   then           P   the payload: one gzip member of every entry's content in table order,
//                      encrypted from the IV
//
// All integers are little-endian. Header-only, no dependencies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelbundle {

inline constexpr char kMagic[5] = {'R', 'E', 'S', '!', '\0'};
inline constexpr size_t kMagicLength = 5;
inline constexpr uint8_t kFormatVersion = 1;
inline constexpr size_t kKeyLength = 32;  // AES-256
inline constexpr size_t kIvLength = 16;
inline constexpr size_t kDigestLength = 16;  // MD5
// Fixed header bytes before the signature: magic, version, reserved, IV, signature length.
inline constexpr size_t kHeaderPrefixLength = 26;
inline constexpr int32_t kMaxNameLength = 32767;
inline constexpr uint32_t kMaxPayloadLength = 0x7FFFFFFFu;

// The public key text is compiled into the program as a table of 16-bit values, one per
// character: the character XOR this mask. The seed is chosen by the key generator.
constexpr uint16_t verifyKeyMask(uint16_t seed, size_t index) {
  return static_cast<uint16_t>(seed + static_cast<uint16_t>(index * 0x9E37u) +
                               static_cast<uint16_t>((index * index) * 0x2F1Bu));
}

inline void appendLe16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

inline void appendLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline uint16_t readLe16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t readLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace pelbundle
