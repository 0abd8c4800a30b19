// What the window-facing plugins share: the reply kinds, compact JSON that never throws on text,
// typed reads of a request body with numbers that clamp instead of overflowing, and the lookup of
// the window a command acts on.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk {
class Window;
}

namespace zrk::plugin::replies {

using Reply = std::shared_ptr<http::HttpResponse>;

// Compact JSON (no white space, members in ascending key order, non-ASCII written as UTF-8);
// invalid UTF-8 in a text is replaced by U+FFFD instead of raising.
inline std::string compactJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A query's result as "application/json".
inline Reply json(const nlohmann::json& value) {
  return std::make_shared<http::HttpMimeResponse>(compactJson(value), "application/json");
}
// The four bytes "true" as "application/json": the answer of every action.
inline Reply yes() { return std::make_shared<http::HttpMimeResponse>("true", "application/json"); }
// A text as it stands, "text/plain".
inline Reply text(std::string body) {
  return std::make_shared<http::HttpMimeResponse>(std::move(body), "text/plain");
}
// Status 200 with the message "OK" and no body.
inline Reply ok() { return std::make_shared<http::HttpStatusResponse>(200, std::string("OK")); }
// A failure whose message is taken as it stands (page data in it is never a format).
inline Reply error(int status, const std::string& message) {
  return std::make_shared<http::HttpStatusResponse>(status, message);
}
// 400 Missing parameter: "key".
inline Reply missingParameter(const std::string& key) {
  return error(400, "Missing parameter: \"" + key + "\"");
}

// A double as a 32-bit float, the nearest one; values beyond the float range become the largest
// finite float of that sign, NaN stays NaN (the window layer turns it into 0).
inline float toFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::max();
  if (value < -kMax) return std::numeric_limits<float>::lowest();
  return static_cast<float>(value);
}

// A double truncated toward zero and clamped to the 32-bit signed range; NaN gives 0.
inline int32_t clampToInt32(double value) {
  if (std::isnan(value)) return 0;
  const double t = std::trunc(value);
  if (t >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (t <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(t);
}

// The largest distance in pixels a window command passes on: far beyond any screen, and small
// enough that the window layer's sums of a position and a size never overflow 32 bits.
inline constexpr double kMaxCoordinate = 16777216.0;

// A pixel number limited to +-kMaxCoordinate; NaN gives 0.
inline double clampCoordinate(double value) {
  if (std::isnan(value)) return 0.0;
  if (value > kMaxCoordinate) return kMaxCoordinate;
  if (value < -kMaxCoordinate) return -kMaxCoordinate;
  return value;
}

// The member as a pixel number (a float, limited as clampCoordinate does) when it is a JSON
// number (integer or floating point), else empty. Text such as "400" is not a number.
inline std::optional<float> floatOf(const nlohmann::json& value, const char* key) {
  const nlohmann::json* m = payload::member(value, key);
  if (m == nullptr || !m->is_number()) return std::nullopt;
  return toFloat(clampCoordinate(m->get<double>()));
}

// The member as a whole 32-bit number (fraction cut off, clamped) when it is a JSON number.
inline std::optional<int32_t> int32Of(const nlohmann::json& value, const char* key) {
  const nlohmann::json* m = payload::member(value, key);
  if (m == nullptr || !m->is_number()) return std::nullopt;
  if (m->is_number_unsigned()) {
    const uint64_t v = m->get<uint64_t>();
    return v > 2147483647u ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(v);
  }
  if (m->is_number_integer()) {
    const int64_t v = m->get<int64_t>();
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
  }
  return clampToInt32(m->get<double>());
}

inline std::optional<std::string> stringOf(const nlohmann::json& value, const char* key) {
  const nlohmann::json* m = payload::member(value, key);
  if (m == nullptr || !m->is_string()) return std::nullopt;
  return m->get<std::string>();
}

inline std::optional<bool> boolOf(const nlohmann::json& value, const char* key) {
  const nlohmann::json* m = payload::member(value, key);
  if (m == nullptr || !m->is_boolean()) return std::nullopt;
  return m->get<bool>();
}

// The empty-label messages of the window lookup.
inline constexpr char kEmptyLabelClose[] = "Close window, but the label was empty.";
inline constexpr char kEmptyLabelDestroy[] = "Destroy window, but the label was empty.";
inline constexpr char kEmptyLabel[] = "Set window title, but the label was empty.";

// The window a command acts on, or the reply that ends the command.
struct WindowLookup {
  std::shared_ptr<Window> window;
  Reply failure;
};

// The body's string "label" (empty for anything else); an empty one answers 400 with
// `emptyMessage`, one that names no window 400 "Could not find window with label: " + label.
WindowLookup lookupWindow(const nlohmann::json& body, const char* emptyMessage = kEmptyLabel);

}  // namespace zrk::plugin::replies
