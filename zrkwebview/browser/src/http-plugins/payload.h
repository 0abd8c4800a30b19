// Typed reads of a command's JSON payload and the reader of a page request's raw body, shared by
// the plugins. A key whose value has another JSON type than the one asked for counts as missing.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http/http-message.h"

namespace zrk::plugin::payload {

// The member of an object, or null when `value` is not an object or lacks the key.
inline const nlohmann::json* member(const nlohmann::json& value, const char* key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

inline std::string stringOr(const nlohmann::json& value, const char* key,
                            std::string fallback = {}) {
  const nlohmann::json* m = member(value, key);
  return m != nullptr && m->is_string() ? m->get<std::string>() : fallback;
}

inline bool boolOr(const nlohmann::json& value, const char* key, bool fallback) {
  const nlohmann::json* m = member(value, key);
  return m != nullptr && m->is_boolean() ? m->get<bool>() : fallback;
}

// A JSON number as T, a fraction cut off. Empty for a value that is not a number, not finite, or
// out of T's range (a negative one for an unsigned T).
template <typename T>
std::optional<T> integerOf(const nlohmann::json& number) {
  static_assert(std::is_integral_v<T>);
  using Limits = std::numeric_limits<T>;
  if (number.is_number_unsigned()) {
    const uint64_t v = number.get<uint64_t>();
    if (v > static_cast<uint64_t>(Limits::max())) return std::nullopt;
    return static_cast<T>(v);
  }
  if (number.is_number_integer()) {
    const int64_t v = number.get<int64_t>();
    if constexpr (std::is_unsigned_v<T>) {
      if (v < 0 || static_cast<uint64_t>(v) > static_cast<uint64_t>(Limits::max())) {
        return std::nullopt;
      }
    } else {
      if (v < static_cast<int64_t>(Limits::min()) || v > static_cast<int64_t>(Limits::max())) {
        return std::nullopt;
      }
    }
    return static_cast<T>(v);
  }
  if (!number.is_number_float()) return std::nullopt;
  const double d = std::trunc(number.get<double>());
  if (!std::isfinite(d)) return std::nullopt;
  // max() + 1 is a power of two, exact as a double.
  const double upper = std::ldexp(1.0, Limits::digits);
  const double lower = Limits::is_signed ? -upper : 0.0;
  if (d < lower || d >= upper) return std::nullopt;
  return static_cast<T>(d);
}

// The page request's body to its end: pieces of at most `piece` bytes are read until one comes
// back empty (a short piece is not the end; a slow body arrives in pieces of any size).
inline std::string readRequestBody(http::HttpRequest* request, size_t piece = 8096) {
  std::string body;
  if (request == nullptr) return body;
  for (;;) {
    std::string part = request->read(piece);
    if (part.empty()) break;
    body += part;
  }
  return body;
}

}  // namespace zrk::plugin::payload
