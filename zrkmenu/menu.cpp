#include <atomic>
#include <chrono>
#include <mutex>
#include <random>

#include "desk/gfx/text.h"
#include "desk/log.h"
#include "zrkmenu/zrkmenu.h"

namespace zrkmenu {

namespace {
std::atomic<int32_t> g_shadowSize{14};
std::atomic<Color> g_shadowColor{0x281e1e1e};
}  // namespace

int32_t shadowSize() { return g_shadowSize.load(); }
void setShadowSize(int32_t size) { g_shadowSize.store(size < 0 ? 0 : size); }
Color shadowColor() { return g_shadowColor.load(); }
void setShadowColor(Color color) { g_shadowColor.store(color); }

std::string makeRandomId(int count) {
  static const char kAlphabet[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_=$@";
  // One engine per process, seeded from the clock once; drawing from it is locked, so any
  // thread may make ids.
  static std::mt19937 engine(static_cast<uint32_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  static std::mutex engineMutex;
  std::uniform_int_distribution<int> pick(0, 65);
  std::string out;
  out.reserve(count > 0 ? count : 0);
  std::lock_guard<std::mutex> guard(engineMutex);
  for (int i = 0; i < count; ++i) out.push_back(kAlphabet[pick(engine)]);
  return out;
}

void startup() {
  static std::mutex startupMutex;
  static bool started = false;
  std::lock_guard<std::mutex> guard(startupMutex);
  if (started) return;
  started = true;
  // The first layout loads the font map and the fallback chain; doing it here keeps that cost
  // off the first menu.
  desk::gfx::Font font;
  font.family = "Segoe UI";
  font.pixelSize = 16;
  desk::gfx::textMeasurer()->measure(font, u"Menu");
}

const std::string& ZrkMenuItem::cachedAcceleratorText() {
  if (acceleratorText.empty()) acceleratorText = zrkmenu::acceleratorText(accelerator.get());
  return acceleratorText;
}

std::string acceleratorText(const desk::ACCEL* a) {
  if (!a) return {};
  std::string text;
  if (a->fVirt & desk::FCONTROL) text += "Ctrl+";
  if (a->fVirt & desk::FALT) text += "Alt+";
  if (a->fVirt & desk::FSHIFT) text += "Shift+";
  char name[64] = {};
  const desk::UINT scan = desk::MapVirtualKey(a->key, desk::MAPVK_VK_TO_VSC);
  if (desk::GetKeyNameTextA(static_cast<desk::LONG_PTR>(scan) << 16, name, sizeof name) > 0)
    text += name;
  return text;
}

std::u16string utf8ToWide(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  const size_t n = s.size();
  auto cont = [&](size_t k) { return k < n && (static_cast<uint8_t>(s[k]) & 0xC0) == 0x80; };
  while (i < n) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    char32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(i + 1)) return {};
      cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (!cont(i + 1) || !cont(i + 2)) return {};
      cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return {};
      cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
           (s[i + 3] & 0x3F);
      if (cp < 0x10000 || cp > 0x10FFFF) return {};
      len = 4;
    } else {
      return {};
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

// ---- construction and rows -------------------------------------------------------------------

ZrkMenu::ZrkMenu(bool submenu, const std::string& menuId)
    : id(menuId.empty() ? makeRandomId(12) : menuId), isSubmenu(submenu) {
  originOffset = isSubmenu ? 0 : padding_;
}

std::shared_ptr<ZrkMenuItem> ZrkMenu::appendItem(const ZrkMenuItem& item) {
  auto stored = std::make_shared<ZrkMenuItem>(item);
  items.push_back(stored);
  return stored;
}

std::shared_ptr<ZrkMenuItem> ZrkMenu::prependItem(const ZrkMenuItem& item) {
  auto stored = std::make_shared<ZrkMenuItem>(item);
  items.insert(items.begin(), stored);
  return stored;
}

std::shared_ptr<ZrkMenuItem> ZrkMenu::insertItem(uint64_t index, const ZrkMenuItem& item) {
  if (index > items.size()) return {};
  auto stored = std::make_shared<ZrkMenuItem>(item);
  items.insert(items.begin() + static_cast<std::ptrdiff_t>(index), stored);
  return stored;
}

void ZrkMenu::removeItem(const std::string& itemId) {
  for (auto it = items.begin(); it != items.end(); ++it) {
    if ((*it)->id == itemId) {
      items.erase(it);
      return;
    }
  }
}

void ZrkMenu::removeItemAt(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= items.size()) return;
  items.erase(items.begin() + index);
}

std::shared_ptr<ZrkMenuItem> ZrkMenu::findItem(const std::string& itemId, bool recursive) {
  if (itemId.empty()) return {};
  for (auto& item : items) {
    if (item->id == itemId) return item;
    if (recursive && item->submenu && item->submenu.get() != this) {
      if (auto found = item->submenu->findItem(itemId, true)) return found;
    }
  }
  return {};
}

void ZrkMenu::setCommandHandler(std::function<void(const std::string&)> handler) {
  commandHandler = std::move(handler);
}

void ZrkMenu::markAsSubmenu() {
  isSubmenu = true;
  originOffset = 0;
}

// ---- style -----------------------------------------------------------------------------------

void ZrkMenu::setFontName(const std::u16string& name) {
  fontName_ = name;
  dropFonts();
}
void ZrkMenu::setFontSize(int32_t v) {
  fontSize_ = v < 8 ? 8 : v;
  dropFonts();
}
void ZrkMenu::setFontBold(bool v) {
  fontBold_ = v;
  dropFonts();
}
void ZrkMenu::setFontItalic(bool v) {
  fontItalic_ = v;
  dropFonts();
}
void ZrkMenu::setTextColor(Color c) { textColor_ = c; }
void ZrkMenu::setDisabledTextColor(Color c) { disabledTextColor_ = c; }
void ZrkMenu::setHighlightColor(Color c) { highlightColor_ = c; }
void ZrkMenu::setHighlightTextColor(Color c) { highlightTextColor_ = c; }
void ZrkMenu::setSeparatorColor(Color c) { separatorColor_ = c; }
void ZrkMenu::setBackgroundColor(Color c) { backgroundColor_ = c; }
void ZrkMenu::setBorderColor(Color c) { borderColor_ = c; }
void ZrkMenu::setBorderRadius(int32_t v) { borderRadius_ = v < 0 ? 0 : v; }
void ZrkMenu::setItemHeight(int32_t v) { itemHeight_ = v < 30 ? 30 : v; }
void ZrkMenu::setSeparatorHeight(int32_t v) { separatorHeight_ = v < 10 ? 10 : v; }
void ZrkMenu::setIconSize(int32_t v) { iconSize_ = v < 0 ? 0 : v; }
void ZrkMenu::setPadding(int32_t v) { padding_ = v < 0 ? 0 : (v > 100 ? 100 : v); }
void ZrkMenu::setComponentsGap(int32_t v) { componentsGap_ = v < 0 ? 0 : v; }

namespace {
int scale(int dpi, int32_t v) {
  return static_cast<int>(static_cast<float>(dpi) / 96.0f * static_cast<float>(v));
}
}  // namespace

int ZrkMenu::scaledComponentsGap(bool s) const { return s ? scale(dpi_, componentsGap_) : componentsGap_; }
int ZrkMenu::scaledBorderRadius(bool s) const { return s ? scale(dpi_, borderRadius_) : borderRadius_; }
int ZrkMenu::scaledFontSize(bool s) const { return s ? scale(dpi_, fontSize_) : fontSize_; }
int ZrkMenu::scaledIconSize(bool s) const { return s ? scale(dpi_, iconSize_) : iconSize_; }
int ZrkMenu::scaledItemHeight(bool s) const { return s ? scale(dpi_, itemHeight_) : itemHeight_; }
int ZrkMenu::scaledPadding(bool s) const { return s ? scale(dpi_, padding_) : padding_; }
int ZrkMenu::scaledSeparatorHeight(bool s) const {
  return s ? scale(dpi_, separatorHeight_) : separatorHeight_;
}

void ZrkMenu::setDpi(int value) {
  if (value != dpi_) {
    dpi_ = value;
    dropFonts();
  }
}

}  // namespace zrkmenu
