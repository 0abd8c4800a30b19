// Small helpers of the crypto tests: hexadecimal text to bytes and back, buffers from text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vesk/tdata.h"

namespace cryptotest {

inline std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

inline std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  return hex;
}

inline std::shared_ptr<Vesk::TData> data(const std::string& bytes) {
  return std::make_shared<Vesk::TData>(bytes.data(), bytes.size());
}

inline std::shared_ptr<Vesk::TData> hexData(const std::string& hex) { return data(fromHex(hex)); }

inline std::string str(const std::shared_ptr<Vesk::TData>& d) {
  if (!d || d->length() == 0) return std::string();
  return std::string(reinterpret_cast<const char*>(d->bytes()), d->length());
}

inline std::string hexOf(const std::shared_ptr<Vesk::TData>& d) { return toHex(str(d)); }

// Deterministic filler bytes, different for each seed.
inline std::string pattern(size_t count, unsigned seed = 1) {
  std::string bytes(count, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

}  // namespace cryptotest
