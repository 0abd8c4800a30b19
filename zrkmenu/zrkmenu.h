// The program's owner-drawn popup menus: a menu is a list of rows with a style, shown in a
// layered, topmost window that is never activated, with a rounded body and a soft drop shadow,
// driven by the mouse and the keyboard through low-level hooks, with nested submenus and
// scrolling when it is taller than the work area. It knows nothing of pages or plugins.
//
// Colours are 32-bit values with red in the lowest byte, then green, then blue, and alpha in the
// highest byte (0xAABBGGRR: opaque black is 0xff000000).
//
// Everything but startup(), makeRandomId() and the two shadow settings runs on the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desk/gfx/bitmap.h"
#include "desk/gfx/graphics.h"
#include "desk/keys.h"
#include "desk/types.h"
#include "desk/window.h"

namespace desk {
class NestedLoop;
}

namespace zrkmenu {

using Color = uint32_t;
using desk::HWND;
using desk::HINSTANCE;
using desk::LPARAM;
using desk::LRESULT;
using desk::RECT;
using desk::UINT;
using desk::WPARAM;

class ZrkMenu;

// Placement and mode flags of trackPopup.
constexpr int TPM_RIGHTALIGN = 0x8;
constexpr int TPM_BOTTOMALIGN = 0x20;
constexpr int TPM_RETURNCMD = 0x100;

// Private messages of the menu windows.
constexpr UINT MENU_MSG_CHOSEN = 0x700;         // lParam: the NUL-terminated UTF-8 id
constexpr UINT MENU_MSG_CLOSE_SUBMENU = 0x701;  // close the submenu open from this menu
constexpr UINT MENU_MSG_DISMISS = 0x702;        // end the tracking without a choice
// Timers of a menu window.
constexpr desk::UINT_PTR SUBMENU_TIMER = 1;
constexpr desk::UINT_PTR ANIMATION_TIMER = 0x1001;
constexpr UINT SUBMENU_DELAY_MS = 300;
constexpr UINT ANIMATION_TICK_MS = 20;

// "no colour of its own" for ZrkMenuItem::color.
constexpr Color kNoColor = 0x01010101;

extern const char16_t kMenuClassName[];  // u"ZRK$$$MenuClass"

// One row of a menu. Copied into a menu by value; `submenu`, `icon`, `altIcon` and `accelerator`
// are shared with the source.
struct ZrkMenuItem {
  std::string text;
  bool separator = false;
  bool disabled = false;
  int32_t checkMark = 0;  // 0 none, 1 a check mark, 2 a round dot
  std::string id;
  std::string iconPath;     // loaded into `icon` when the row is first painted
  std::string altIconText;  // only tested for emptiness (it makes the icon column appear)
  std::shared_ptr<ZrkMenu> submenu;
  std::shared_ptr<desk::gfx::Bitmap> icon;
  std::shared_ptr<void> altIcon;  // only tested for emptiness
  std::shared_ptr<desk::ACCEL> accelerator;
  std::string acceleratorText;  // cache of the shortcut's text
  Color color = kNoColor;
  std::string command;  // free text for the caller; never read by the library

  // `acceleratorText`, computed and stored first when it is empty.
  const std::string& cachedAcceleratorText();
};

// The process-wide shadow of every menu frame.
int32_t shadowSize();
void setShadowSize(int32_t size);  // negative values become 0
Color shadowColor();
void setShadowColor(Color color);

// `count` characters from "0-9A-Za-z_=$@", uniformly; safe from any thread.
std::string makeRandomId(int count = 12);

// Warms the font machinery once; callable from any thread.
void startup();

// "Ctrl+", "Alt+", "Shift+" and the key's name; empty without an accelerator.
std::string acceleratorText(const desk::ACCEL* accelerator);
// UTF-8 to UTF-16; text that is not valid UTF-8 gives an empty string.
std::u16string utf8ToWide(const std::string& text);

// Library colour (0xAABBGGRR) to the drawing layer's 0xAARRGGBB.
constexpr desk::gfx::Argb toArgb(Color c) {
  return (c & 0xFF00FF00u) | ((c & 0xFFu) << 16) | ((c >> 16) & 0xFFu);
}

// Drawing helpers.
void addRoundedRect(desk::gfx::Path& path, const desk::gfx::RectF& rect, double radius);
void drawCheckMark(desk::gfx::Graphics& g, double x, double y, double w, double h,
                   desk::gfx::Argb color);
void drawChevron(desk::gfx::Graphics& g, double x, double y, double w, double h,
                 desk::gfx::Argb color, double angleDegrees);
// `color` and `shadow` in the drawing layer's order; no shadow colour means 0x64000000.
void drawShadow(desk::gfx::Graphics& g, const desk::gfx::RectF& rect, int radius, int offsetX,
                int offsetY, int blur, double opacity, std::optional<desk::gfx::Argb> fill,
                std::optional<desk::gfx::Argb> shadow);
// The two-pass stack blur over premultiplied 32-bit pixels; radius clamped to 2..254.
void stackBlur(uint8_t* pixels, int width, int height, int stride, int radius);
// The multiplier and shift of the blur for a (clamped) radius.
uint16_t stackBlurMultiplier(int radius);
uint8_t stackBlurShift(int radius);
void drawBitmapWithOpacity(desk::gfx::Graphics& g, const desk::gfx::Bitmap& bitmap, double x,
                           double y, double opacity);
// Shadows are shared by menus of the same frame size, shadow size, colour and corner radius (the
// last few made are kept); this drops the kept ones.
void clearShadowCache();

// The work area of the monitor nearest to the point.
RECT workAreaAt(int x, int y);

// Tracking state of the process.
void removeHooks();
HWND deepestOpenMenu(HWND start);
LRESULT mouseHookProc(int code, WPARAM wParam, LPARAM lParam);
LRESULT keyboardHookProc(int code, WPARAM wParam, LPARAM lParam);
// Whether a tracking's hooks are installed.
bool hooksInstalled();
void collectAccelerators(ZrkMenu* menu, std::map<unsigned, std::string>& map,
                         std::vector<desk::ACCEL>& list, unsigned& counter);

class ZrkMenu {
 public:
  explicit ZrkMenu(bool isSubmenu = false, const std::string& id = "");
  ~ZrkMenu();
  ZrkMenu(const ZrkMenu&) = delete;
  ZrkMenu& operator=(const ZrkMenu&) = delete;

  // ---- rows ----
  std::shared_ptr<ZrkMenuItem> appendItem(const ZrkMenuItem& item);
  std::shared_ptr<ZrkMenuItem> prependItem(const ZrkMenuItem& item);
  // An index past the end stores nothing and gives an empty pointer.
  std::shared_ptr<ZrkMenuItem> insertItem(uint64_t index, const ZrkMenuItem& item);
  void removeItem(const std::string& id);
  void removeItemAt(int32_t index);
  std::shared_ptr<ZrkMenuItem> findItem(const std::string& id, bool recursive);
  void setCommandHandler(std::function<void(const std::string&)> handler);
  void markAsSubmenu();

  // ---- tracking ----
  // Shows the menu at the screen point and tracks it. With TPM_RETURNCMD: returns the chosen id,
  // or "" when dismissed; otherwise returns "" at once and reports later (reportCommand).
  std::string trackPopup(std::string& result, int x, int y, HWND owner, int flags,
                         int animationMs);
  // The handler (once), else WM_COMMAND to `commandWindow` with lParam the UTF-8 id.
  void reportCommand(const std::string& id);
  void finish(bool accept);
  // The row index of the last choice (-1 when nothing was chosen): the row of `result` in the
  // menu that held it (lastChosenMenu()).
  int lastChosenRow() const { return chosenRow_; }
  ZrkMenu* lastChosenMenu() const { return chosenMenu_; }
  std::shared_ptr<ZrkMenuItem> lastChosenItem() const { return chosenItem_; }

  // ---- showing ----
  void showAt(int x, int y, HWND owner, int flags, const int* anchorX, int itemHeight);
  void createWindow();
  void place(int& x, int& y, const int* anchorX, int itemHeight);
  void hide();
  // Renders a full frame (cx by cy) and pushes it as the window's layered frame.
  void present(int cx, int cy);
  void prepareAnimationFrame();
  void presentAnimationFrame(int cx, int cy);
  void releaseAnimationFrame();
  bool hasAnimationFrame() const { return animationFrame_.has_value(); }

  // ---- drawing ----
  void measure();
  // Draws the body in content coordinates for a visible height h (0: the window's).
  void paint(desk::gfx::Graphics& g, int h);
  // A frame: the shadow (unless noShadow) and the body moved by the shadow size.
  void render(desk::gfx::Bitmap& frame, int h, bool noShadow);
  // The same frame (cx by cy, with the shadow) as premultiplied pixels, top-down: what a layered
  // window shows.
  std::vector<uint32_t> renderPremultiplied(int cx, int cy, int h);
  // The same, drawn into `out` (resized to cx * cy; its memory is reused). False when no frame
  // could be drawn.
  bool renderPremultipliedInto(std::vector<uint32_t>& out, int cx, int cy, int h);
  void buildShadow();
  // Whether the rows or style changed since the last measuring (a showing then measures again).
  bool needsMeasure() const;

  desk::gfx::Font textFont();
  desk::gfx::Font acceleratorFont();

  // ---- geometry (content coordinates) ----
  int rowHeight(int index) const;
  RECT itemRect(int index);
  RECT upArrowRect() const;
  RECT downArrowRect();
  int visibleHeight();
  int hitTest(int px, int py, bool includeDisabled);
  bool scrollUp();
  bool scrollDown();

  // ---- window procedure ----
  static LRESULT staticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT wndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // ---- style ----
  const std::u16string& fontName() const { return fontName_; }
  void setFontName(const std::u16string& name);
  int32_t fontSize() const { return fontSize_; }
  void setFontSize(int32_t v);
  bool fontBold() const { return fontBold_; }
  void setFontBold(bool v);
  bool fontItalic() const { return fontItalic_; }
  void setFontItalic(bool v);
  Color textColor() const { return textColor_; }
  void setTextColor(Color c);
  Color disabledTextColor() const { return disabledTextColor_; }
  void setDisabledTextColor(Color c);
  Color highlightColor() const { return highlightColor_; }
  void setHighlightColor(Color c);
  Color highlightTextColor() const { return highlightTextColor_; }
  void setHighlightTextColor(Color c);
  Color separatorColor() const { return separatorColor_; }
  void setSeparatorColor(Color c);
  Color backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(Color c);
  Color borderColor() const { return borderColor_; }
  void setBorderColor(Color c);
  int32_t borderRadius() const { return borderRadius_; }
  void setBorderRadius(int32_t v);
  int32_t itemHeight() const { return itemHeight_; }
  void setItemHeight(int32_t v);
  int32_t separatorHeight() const { return separatorHeight_; }
  void setSeparatorHeight(int32_t v);
  int32_t iconSize() const { return iconSize_; }
  void setIconSize(int32_t v);
  int32_t padding() const { return padding_; }
  void setPadding(int32_t v);
  int32_t componentsGap() const { return componentsGap_; }
  void setComponentsGap(int32_t v);

  // Scaled by dpi / 96 (unscaled: the stored value).
  int scaledComponentsGap(bool scaled = true) const;
  int scaledBorderRadius(bool scaled = true) const;
  int scaledFontSize(bool scaled = true) const;
  int scaledIconSize(bool scaled = true) const;
  int scaledItemHeight(bool scaled = true) const;
  int scaledPadding(bool scaled = true) const;
  int scaledSeparatorHeight(bool scaled = true) const;
  void setDpi(int dpi);
  int dpi() const { return dpi_; }

  // ---- state ----
  std::string id;
  std::function<void(const std::string&)> commandHandler;
  HWND hwnd = nullptr;
  HINSTANCE instance = nullptr;
  HWND parentWindow = nullptr;
  HWND commandWindow = nullptr;
  std::vector<std::shared_ptr<ZrkMenuItem>> items;
  int32_t hoverIndex = -1;
  ZrkMenu* openSubmenu = nullptr;
  int32_t x = 0, y = 0;
  int32_t width = 0, height = 0;
  int32_t flags = 0;
  int32_t effectiveFlags = 0;
  std::shared_ptr<desk::gfx::Bitmap> shadowBitmap;
  struct Animation {
    uint32_t start = 0;
    desk::POINT from, to;
    int32_t finalWidth = 0, finalHeight = 0;
    int32_t duration = 0;
  } animation;
  bool isSubmenu = false;
  bool scrolling = false;
  bool pressedOnArrow = false;
  int32_t firstVisible = 0;
  int32_t arrowHeight = 24;
  bool hasCheckColumn = true, hasIconColumn = true;
  int32_t originOffset = 20;
  int32_t animationMs = 200;
  bool done = false;
  std::string result;
  std::map<unsigned, std::string> acceleratorCommands;

 private:
  friend void collectAccelerators(ZrkMenu*, std::map<unsigned, std::string>&,
                                  std::vector<desk::ACCEL>&, unsigned&);
  void dropFonts() { fontsDirty_ = true; }
  std::string layoutSignature() const;
  void setDone();
  void endTracking();
  void openSubmenuFromTimer();
  void animationTick();
  void moveUp();
  void moveDown();
  void onLeftButtonUp(int px, int py);
  void choose(const std::string& id, int row);
  bool frameFits() const;

  std::u16string fontName_ = u"Segoe UI";
  int32_t fontSize_ = 10;
  bool fontBold_ = false, fontItalic_ = false;
  Color textColor_ = 0xff000000, disabledTextColor_ = 0xffc8c8c8, highlightColor_ = 0x3cb4b4b4,
        highlightTextColor_ = 0xff000000, separatorColor_ = 0xffdcdcdc,
        backgroundColor_ = 0xffffffff, borderColor_ = 0x78000000;
  int32_t borderRadius_ = 10, itemHeight_ = 40, separatorHeight_ = 20, iconSize_ = 32,
          padding_ = 20, componentsGap_ = 5;
  int32_t dpi_ = 96;
  bool fontsDirty_ = true;
  desk::gfx::Font textFont_, acceleratorFont_;
  std::string measuredSignature_;  // of the last measuring; empty before the first
  int measuredWidth_ = 0, measuredHeight_ = 0;  // its size, before placement cuts the height
  desk::LayeredFrame presented_;  // the frame buffer reused by every full frame pushed
  std::string shadowSignature_;
  struct KeptFrame {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // premultiplied, top-down
  };
  std::optional<KeptFrame> animationFrame_;
  std::shared_ptr<cairo_surface_t> shadowSurface_;  // the shadow, premultiplied, for compositing
  desk::NestedLoop* modalLoop_ = nullptr;  // while this menu's own modal loop runs
  int chosenRow_ = -1;
  ZrkMenu* chosenMenu_ = nullptr;
  std::shared_ptr<ZrkMenuItem> chosenItem_;
};

}  // namespace zrkmenu
