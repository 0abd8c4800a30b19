// Number and byte readers of the image and menu commands: a JSON number of any kind converted to
// a 32-bit value the way a cast converts it (a fraction cut off, the low 32 bits kept, so -1 read
// as unsigned is 0xFFFFFFFF), and byte arrays whose elements keep their low 8 bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace zrk::plugin::numbers {

// The number's whole part as a 64-bit value; empty for anything that is not a number. Floats
// outside the 64-bit range or not finite give 0.
inline std::optional<int64_t> wholeOf(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return static_cast<int64_t>(value.get<uint64_t>());
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    const double d = std::trunc(value.get<double>());
    if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18) return int64_t{0};
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

inline std::optional<uint32_t> uint32Of(const nlohmann::json& value) {
  std::optional<int64_t> whole = wholeOf(value);
  if (!whole) return std::nullopt;
  return static_cast<uint32_t>(static_cast<uint64_t>(*whole));
}

inline std::optional<int32_t> int32Of(const nlohmann::json& value) {
  std::optional<uint32_t> bits = uint32Of(value);
  if (!bits) return std::nullopt;
  return static_cast<int32_t>(*bits);
}

// The member `key` of an object payload read as above, or the fallback.
inline uint32_t uint32Or(const nlohmann::json& payload, const char* key, uint32_t fallback) {
  if (!payload.is_object()) return fallback;
  auto it = payload.find(key);
  if (it == payload.end()) return fallback;
  return uint32Of(*it).value_or(fallback);
}

inline int32_t int32Or(const nlohmann::json& payload, const char* key, int32_t fallback) {
  if (!payload.is_object()) return fallback;
  auto it = payload.find(key);
  if (it == payload.end()) return fallback;
  return int32Of(*it).value_or(fallback);
}

// One byte per element: a number's low 8 bits (a float truncated first), a boolean 1 or 0. Any
// other element throws the JSON library's type error 302 ("type must be number, but is ...").
inline std::vector<uint8_t> bytesOf(const nlohmann::json& array) {
  std::vector<uint8_t> bytes;
  bytes.reserve(array.size());
  for (const nlohmann::json& element : array) {
    std::optional<int64_t> whole = wholeOf(element);
    if (!whole && element.is_boolean()) whole = element.get<bool>() ? 1 : 0;
    const int64_t v = whole ? *whole : element.get<int64_t>();  // the type error
    bytes.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) & 0xFFu));
  }
  return bytes;
}

}  // namespace zrk::plugin::numbers
