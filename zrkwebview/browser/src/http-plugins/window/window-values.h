// The forms in which sizes and positions travel between pages and the window-facing plugins.
//
// Requests wrap a size or a position under the name of its unit:
//   SizeValue      {"Physical": {"width", "height"}} or {"Logical": {"width", "height"}}
//   PositionValue  {"Physical": {"x", "y"}}          or {"Logical": {"x", "y"}}
// "Physical" decides when both are there. Logical numbers are multiplied by the window's scale
// factor (in double precision, back to the nearest float); the window layer truncates to pixels.
// Replies: a size object {"height", "width"}, a position object {"x", "y"} and a rectangle
// {"origin": position, "size": size}, every number a JSON double (768 is written 768.0).
#pragma once

#include <optional>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/window/plugin-replies.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window-options.h"

namespace zrk::plugin {

enum class Unit { Physical, Logical };

// A logical number in physical pixels at that scale factor.
inline float scaled(float logical, double scaleFactor) {
  return replies::toFloat(replies::clampCoordinate(static_cast<double>(logical) * scaleFactor));
}

// The reading SizeValue::from and PositionValue::from share: the deciding member ("Physical",
// else "Logical") of an object, which must hold both numbers `first` and `second`.
template <typename Value>
std::optional<Value> unitPair(const nlohmann::json& value, const char* first, const char* second) {
  if (!value.is_object()) return std::nullopt;
  Unit unit = Unit::Physical;
  const nlohmann::json* member = payload::member(value, "Physical");
  if (member == nullptr) {
    unit = Unit::Logical;
    member = payload::member(value, "Logical");
  }
  if (member == nullptr) return std::nullopt;
  const auto a = replies::floatOf(*member, first);
  const auto b = replies::floatOf(*member, second);
  if (!a || !b) return std::nullopt;
  return Value{unit, *a, *b};
}

struct SizeValue {
  Unit unit = Unit::Physical;
  float width = 0;
  float height = 0;

  // The size in physical pixels.
  FloatSize physical(double scaleFactor) const {
    if (unit == Unit::Physical) return {width, height};
    return {scaled(width, scaleFactor), scaled(height, scaleFactor)};
  }

  // Empty unless `value` is an object whose deciding member ("Physical", else "Logical") is an
  // object holding both numbers. A "Physical" member that lacks one is no size, whatever stands
  // under "Logical".
  static std::optional<SizeValue> from(const nlohmann::json& value) {
    return unitPair<SizeValue>(value, "width", "height");
  }
};

struct PositionValue {
  Unit unit = Unit::Physical;
  float x = 0;
  float y = 0;

  FloatPoint physical(double scaleFactor) const {
    if (unit == Unit::Physical) return {x, y};
    return {scaled(x, scaleFactor), scaled(y, scaleFactor)};
  }

  // As SizeValue::from, with "x" and "y".
  static std::optional<PositionValue> from(const nlohmann::json& value) {
    return unitPair<PositionValue>(value, "x", "y");
  }

  // The lenient reading: missing or non-numeric numbers count as 0, and a value with neither
  // member is the origin in physical pixels.
  static PositionValue lenient(const nlohmann::json& value) {
    PositionValue result;
    const nlohmann::json* member = payload::member(value, "Physical");
    if (member == nullptr) {
      member = payload::member(value, "Logical");
      if (member != nullptr) result.unit = Unit::Logical;
    }
    if (member != nullptr) {
      result.x = replies::floatOf(*member, "x").value_or(0.0f);
      result.y = replies::floatOf(*member, "y").value_or(0.0f);
    }
    return result;
  }
};

inline nlohmann::json sizeToJson(FloatSize size) {
  return nlohmann::json{{"width", static_cast<double>(size.width)},
                        {"height", static_cast<double>(size.height)}};
}

inline nlohmann::json positionToJson(FloatPoint point) {
  return nlohmann::json{{"x", static_cast<double>(point.x)}, {"y", static_cast<double>(point.y)}};
}

inline nlohmann::json rectToJson(const FloatRect& rect) {
  return nlohmann::json{{"origin", positionToJson({rect.x, rect.y})},
                        {"size", sizeToJson({rect.width, rect.height})}};
}

}  // namespace zrk::plugin
