#include "zrkwebview/browser/src/http-plugins/menu/menu-config.h"

#include <cmath>
#include <cstdint>
#include <mutex>

#include "vesk/utf.h"
#include "zrkmenu/zrkmenu.h"

namespace zrk::plugin {

namespace {

std::mutex& configMutex() {
  static std::mutex m;
  return m;
}
nlohmann::json& configSlot() {
  static nlohmann::json config;
  return config;
}

// A JSON number's low 32 bits: integers keep them, floating-point values are truncated toward
// zero first (values beyond 64 bits keep the low bits of their saturated conversion).
bool toUint32(const nlohmann::json& v, uint32_t& out) {
  if (v.is_number_unsigned()) {
    out = static_cast<uint32_t>(v.get<uint64_t>());
  } else if (v.is_number_integer()) {
    out = static_cast<uint32_t>(static_cast<uint64_t>(v.get<int64_t>()));
  } else if (v.is_number_float()) {
    const double d = std::trunc(v.get<double>());
    if (!std::isfinite(d)) return false;
    int64_t i;
    if (d >= 9.2233720368547758e18) {
      i = INT64_MAX;
    } else if (d <= -9.2233720368547758e18) {
      i = INT64_MIN;
    } else {
      i = static_cast<int64_t>(d);
    }
    out = static_cast<uint32_t>(static_cast<uint64_t>(i));
  } else {
    return false;
  }
  return true;
}

uint32_t swapRedBlue(uint32_t c) {
  return (c & 0xFF00FF00u) | ((c & 0xFFu) << 16) | ((c >> 16) & 0xFFu);
}

}  // namespace

void setMenuConfig(const nlohmann::json& config) {
  nlohmann::json copy = config;
  std::lock_guard<std::mutex> guard(configMutex());
  configSlot().swap(copy);
}

nlohmann::json menuConfig() {
  std::lock_guard<std::mutex> guard(configMutex());
  return configSlot();
}

void readMenuStyle(zrkmenu::ZrkMenu* menu) {
  if (!menu) return;
  const nlohmann::json config = menuConfig();
  if (config.empty() || !config.is_object()) return;
  auto number = [&config](const char* key, auto&& apply) {
    auto it = config.find(key);
    uint32_t v;
    if (it != config.end() && toUint32(*it, v)) apply(v);
  };
  auto boolean = [&config](const char* key, auto&& apply) {
    auto it = config.find(key);
    if (it != config.end() && it->is_boolean()) apply(it->template get<bool>());
  };
  auto i32 = [](uint32_t v) { return static_cast<int32_t>(v); };
  number("borderRadius", [&](uint32_t v) { menu->setBorderRadius(i32(v)); });
  number("itemHeight", [&](uint32_t v) { menu->setItemHeight(i32(v)); });
  number("separatorHeight", [&](uint32_t v) { menu->setSeparatorHeight(i32(v)); });
  number("iconSize", [&](uint32_t v) { menu->setIconSize(i32(v)); });
  number("padding", [&](uint32_t v) { menu->setPadding(i32(v)); });
  number("componentsGap", [&](uint32_t v) { menu->setComponentsGap(i32(v)); });
  number("fontSize", [&](uint32_t v) { menu->setFontSize(i32(v)); });
  boolean("fontBold", [&](bool v) { menu->setFontBold(v); });
  boolean("fontItalic", [&](bool v) { menu->setFontItalic(v); });
  number("textColor", [&](uint32_t v) { menu->setTextColor(swapRedBlue(v)); });
  number("disabledTextColor", [&](uint32_t v) { menu->setDisabledTextColor(swapRedBlue(v)); });
  number("highlightColor", [&](uint32_t v) { menu->setHighlightColor(swapRedBlue(v)); });
  number("highlightTextColor", [&](uint32_t v) { menu->setHighlightTextColor(swapRedBlue(v)); });
  number("separatorColor", [&](uint32_t v) { menu->setSeparatorColor(swapRedBlue(v)); });
  number("backgroundColor", [&](uint32_t v) { menu->setBackgroundColor(swapRedBlue(v)); });
  number("borderColor", [&](uint32_t v) { menu->setBorderColor(swapRedBlue(v)); });
  auto font = config.find("fontName");
  if (font != config.end() && font->is_string()) {
    const std::string name = font->get<std::string>();
    if (!name.empty()) {
      const Vesk::WString wide = Vesk::utf::fromUtf8(name);
      menu->setFontName(std::u16string(wide.begin(), wide.end()));
    }
  }
  number("shadowSize", [&](uint32_t v) { zrkmenu::setShadowSize(i32(v)); });
  number("shadowColor", [&](uint32_t v) { zrkmenu::setShadowColor(v); });
}

}  // namespace zrk::plugin
