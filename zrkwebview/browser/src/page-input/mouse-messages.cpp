#include "zrkwebview/browser/src/page-input/mouse-messages.h"

#include <cmath>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "vesk/log.h"

namespace zrk {

namespace {

int32_t toCoordinate(const nlohmann::json& v) {
  if (!v.is_number()) return 0;
  const double d = v.get<double>();
  if (std::isnan(d)) return 0;
  const double t = std::trunc(d);
  if (t < -32768) return -32768;
  if (t > 32767) return 32767;
  return static_cast<int32_t>(t);
}

}  // namespace

desk::LPARAM packPoint(double x, double y) {
  auto clamp16 = [](double d) -> uint32_t {
    if (std::isnan(d)) return 0;
    const double t = std::trunc(d);
    const int32_t v = t < -32768 ? -32768 : t > 32767 ? 32767 : static_cast<int32_t>(t);
    return static_cast<uint32_t>(v) & 0xFFFFu;
  };
  const uint32_t packed = clamp16(x) | (clamp16(y) << 16);
  return static_cast<desk::LPARAM>(static_cast<int32_t>(packed));
}

std::optional<PageMouseMessage> readPageMouseMessage(const std::string& text) {
  nlohmann::json m = nlohmann::json::parse(text, nullptr, false);
  if (m.is_discarded() || !m.is_object() || !m.contains("type") || !m.contains("x") ||
      !m.contains("y"))
    return std::nullopt;
  const std::string type = m["type"].is_string() ? m["type"].get<std::string>() : std::string();
  const int32_t x = toCoordinate(m["x"]);
  const int32_t y = toCoordinate(m["y"]);
  if (type.find("down") != std::string::npos || type.find("up") != std::string::npos)
    ZRK_LOG_DEBUG("message from front: %s (%d, %d)", type.c_str(), x, y);
  PageMouseMessage out;
  if (type == "mouse-ldown") {
    out.message = desk::WM_LBUTTONDOWN;
  } else if (type == "mouse-lup") {
    out.message = desk::WM_LBUTTONUP;
  } else if (type == "mouse-move") {
    out.message = desk::WM_MOUSEMOVE;
  } else if (type == "mouse-rdown") {
    out.message = desk::WM_RBUTTONDOWN;
  } else if (type == "mouse-rup") {
    out.message = desk::WM_RBUTTONUP;
  }
  out.lParam = packPoint(x, y);
  return out;
}

}  // namespace zrk
