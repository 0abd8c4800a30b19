// Small pieces every command of the file-system plugin uses: typed payload getters, the request
// body reader, reply makers, path checks and the errno-to-exception mapping.
//
// The payload getters and readRequestBody stand in for the shared ones that other plugins will
// bring; when those land, these forward to them.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin::fs {

using json = nlohmann::json;

// The member of an object payload, or null when the payload is not an object or lacks the key.
inline const json* member(const json& payload, const char* key) {
  if (!payload.is_object()) return nullptr;
  auto it = payload.find(key);
  return it == payload.end() ? nullptr : &*it;
}

// payload["options"] when that is an object, else an empty object.
inline const json& optionsOf(const json& payload) {
  static const json empty = json::object();
  const json* options = member(payload, "options");
  return options != nullptr && options->is_object() ? *options : empty;
}

inline std::string stringOr(const json& payload, const char* key, std::string fallback = {}) {
  const json* value = member(payload, key);
  return value != nullptr && value->is_string() ? value->get<std::string>() : fallback;
}

inline bool boolOr(const json& payload, const char* key, bool fallback) {
  const json* value = member(payload, key);
  return value != nullptr && value->is_boolean() ? value->get<bool>() : fallback;
}

// A JSON number of any kind as T, a fraction dropped. Anything that is not a number, and numbers
// that are not finite or do not fit T (a negative one for an unsigned T), give the fallback.
template <typename T>
std::optional<T> numberOf(const json& payload, const char* key) {
  static_assert(std::is_integral_v<T>);
  const json* value = member(payload, key);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  using Limits = std::numeric_limits<T>;
  if (value->is_number_unsigned()) {
    const uint64_t v = value->get<uint64_t>();
    if (v > static_cast<uint64_t>(Limits::max())) return std::nullopt;
    return static_cast<T>(v);
  }
  if (value->is_number_integer()) {
    const int64_t v = value->get<int64_t>();
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
  const double d = std::trunc(value->get<double>());
  if (!std::isfinite(d)) return std::nullopt;
  // The bounds as doubles: max() + 1 is a power of two and exact.
  const double upper = std::ldexp(1.0, Limits::digits);
  const double lower = Limits::is_signed ? -upper : 0.0;
  if (d < lower || d >= upper) return std::nullopt;
  return static_cast<T>(d);
}

template <typename T>
T numberOr(const json& payload, const char* key, T fallback) {
  return numberOf<T>(payload, key).value_or(fallback);
}

// The whole request body, read in pieces until a read gives nothing (a short piece is not the
// end: a body may arrive in pieces of any size).
std::string readRequestBody(http::HttpRequest* request);

// Replies.
inline std::shared_ptr<http::HttpResponse> jsonReply(std::string text) {
  return std::make_shared<http::HttpMimeResponse>(std::move(text), "application/json");
}
inline std::shared_ptr<http::HttpResponse> textReply(std::string text) {
  return std::make_shared<http::HttpMimeResponse>(std::move(text), "text/plain");
}
inline std::shared_ptr<http::HttpResponse> bytesReply(std::string bytes) {
  return std::make_shared<http::HttpMimeResponse>(std::move(bytes), "application/octet-stream");
}
// A failure with its text taken literally.
inline std::shared_ptr<http::HttpResponse> failure(const std::string& text) {
  return std::make_shared<http::HttpStatusResponse>(400, text);
}

// JSON text of a value, with bytes that are not UTF-8 written as U+FFFD.
inline std::string dumpJson(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A path a page gave. A path holding a NUL byte would be cut short by every system call, so it
// is refused (std::invalid_argument) rather than used.
const std::string& checkedPath(const std::string& path);

// Throws the utility library's exception that matches the error number, with the path as its
// message ("File not found", "Access to file denied", "Directory not empty", ...).
[[noreturn]] void throwFileError(const std::string& path, int error);

// "name (message)", the text of a utility library exception caught by a command.
std::string libraryErrorText(const std::exception& e);

// The system's text for an error number.
std::string systemErrorText(int error);

}  // namespace zrk::plugin::fs
