#include "desk/gdi.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "desk/detail/codec.h"
#include "desk/gfx/graphics.h"
#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {

namespace {

using test::DrawOp;

struct Object {
  enum Type { Brush, Pen, Font, Region, Bitmap };
  explicit Object(Type t = Brush) : type(t) {}
  Type type;
  bool stock = false;
  COLORREF color = 0;
  bool hollow = false;  // the null brush or pen
  int penStyle = PS_SOLID;
  int penWidth = 1;
  LOGFONTW font;
  RECT region{};
  int ellipseWidth = 0, ellipseHeight = 0;
  std::shared_ptr<gfx::Bitmap> bitmap;
  int selections = 0;  // DCs it is selected into
};

struct Dc {
  HWND hwnd = nullptr;
  bool memory = false;
  bool screen = false;
  uintptr_t brush = 0, pen = 0, font = 0, bitmap = 0;
  COLORREF textColor = RGB(0, 0, 0);
  COLORREF bkColor = RGB(255, 255, 255);
  int bkMode = OPAQUE;
  std::vector<DrawOp> ops;
};

LOGFONTW defaultFont() {
  LOGFONTW f;
  f.lfHeight = -12;
  f.lfWeight = FW_NORMAL;
  f.lfCharSet = DEFAULT_CHARSET;
  const char16_t name[] = u"DejaVu Sans";
  std::memcpy(f.lfFaceName, name, sizeof name);
  return f;
}

// Stock handles: small numbers that never name a made object.
constexpr uintptr_t kStockBase = 0x10;
uintptr_t stockHandle(int which) { return kStockBase + static_cast<uintptr_t>(which); }

class Gdi {
 public:
  static Gdi& instance() {
    static Gdi* g = new Gdi();
    return *g;
  }

  std::mutex mutex;
  std::unordered_map<uintptr_t, Object> objects;
  std::unordered_map<uintptr_t, Dc> dcs;
  std::map<HWND, gfx::Bitmap> windowBitmaps;
  std::map<HWND, std::vector<DrawOp>> windowOps;
  std::map<HWND, uintptr_t> windowRegions;
  std::map<HWND, SIZE> clientSizes;  // set by tests
  uintptr_t next = 0x10000;

  Gdi() {
    auto brush = [&](int which, COLORREF c, bool hollow = false) {
      Object o(Object::Brush);
      o.stock = true;
      o.color = c;
      o.hollow = hollow;
      objects[stockHandle(which)] = o;
    };
    brush(WHITE_BRUSH, RGB(255, 255, 255));
    brush(LTGRAY_BRUSH, RGB(192, 192, 192));
    brush(GRAY_BRUSH, RGB(128, 128, 128));
    brush(DKGRAY_BRUSH, RGB(64, 64, 64));
    brush(BLACK_BRUSH, RGB(0, 0, 0));
    brush(NULL_BRUSH, 0, true);
    brush(DC_BRUSH, RGB(255, 255, 255));
    auto pen = [&](int which, COLORREF c, bool hollow = false) {
      Object o(Object::Pen);
      o.stock = true;
      o.color = c;
      o.hollow = hollow;
      o.penStyle = hollow ? PS_NULL : PS_SOLID;
      objects[stockHandle(which)] = o;
    };
    pen(WHITE_PEN, RGB(255, 255, 255));
    pen(BLACK_PEN, RGB(0, 0, 0));
    pen(NULL_PEN, 0, true);
    pen(DC_PEN, RGB(0, 0, 0));
    for (int which : {SYSTEM_FONT, DEFAULT_GUI_FONT}) {
      Object o(Object::Font);
      o.stock = true;
      o.font = defaultFont();
      objects[stockHandle(which)] = o;
    }
    // The 1x1 bitmap a new memory DC starts with.
    Object b(Object::Bitmap);
    b.stock = true;
    b.bitmap = std::make_shared<gfx::Bitmap>(*gfx::Bitmap::make(1, 1));
    objects[kStockBitmap] = b;
  }

  static constexpr uintptr_t kStockBitmap = kStockBase + 0x40;

  uintptr_t add(Object o) {
    const uintptr_t h = next;
    next += 4;
    objects[h] = std::move(o);
    return h;
  }

  Object* object(uintptr_t h) {
    auto it = objects.find(h);
    return it == objects.end() ? nullptr : &it->second;
  }
  Dc* dc(HDC h) {
    auto it = dcs.find(reinterpret_cast<uintptr_t>(h));
    return it == dcs.end() ? nullptr : &it->second;
  }

  HDC newDc(Dc d) {
    const uintptr_t h = next;
    next += 4;
    d.brush = stockHandle(WHITE_BRUSH);
    d.pen = stockHandle(BLACK_PEN);
    d.font = stockHandle(SYSTEM_FONT);
    if (d.memory) d.bitmap = kStockBitmap;
    for (uintptr_t o : {d.brush, d.pen, d.font, d.bitmap}) {
      if (Object* obj = object(o)) ++obj->selections;
    }
    dcs[h] = std::move(d);
    return reinterpret_cast<HDC>(h);
  }

  void releaseDc(uintptr_t h) {
    auto it = dcs.find(h);
    if (it == dcs.end()) return;
    for (uintptr_t o : {it->second.brush, it->second.pen, it->second.font, it->second.bitmap}) {
      if (Object* obj = object(o)) --obj->selections;
    }
    if (it->second.hwnd) {
      auto& log = windowOps[it->second.hwnd];
      log.insert(log.end(), it->second.ops.begin(), it->second.ops.end());
    }
    dcs.erase(it);
  }

  // The bitmap a DC draws into (null: record only).
  gfx::Bitmap* target(Dc& d) {
    if (d.memory) {
      Object* b = object(d.bitmap);
      return b && b->bitmap ? b->bitmap.get() : nullptr;
    }
    if (d.screen || d.hwnd == nullptr) return nullptr;
    auto size = clientSize(d.hwnd);
    if (!size || !gfx::validSize(size->cx, size->cy)) return nullptr;
    gfx::Bitmap& b = windowBitmaps[d.hwnd];
    if (b.width() != size->cx || b.height() != size->cy) b = *gfx::Bitmap::make(size->cx, size->cy);
    return &b;
  }

  std::optional<SIZE> clientSize(HWND hwnd) {
    auto it = clientSizes.find(hwnd);
    if (it != clientSizes.end()) return it->second;
#if __has_include("desk/window.h")
    RECT r;
    if (IsWindow(hwnd) && GetClientRect(hwnd, &r)) return SIZE{r.right - r.left, r.bottom - r.top};
#endif
    return std::nullopt;
  }

  gfx::Font fontOf(const Dc& d) {
    const Object* o = object(d.font);
    const LOGFONTW f = o ? o->font : defaultFont();
    gfx::Font font;
    std::u16string face(f.lfFaceName, std::find(f.lfFaceName, f.lfFaceName + 32, u'\0'));
    font.family = face.empty() ? std::string("DejaVu Sans") : detail::utf16ToUtf8(face);
    font.pixelSize = f.lfHeight == 0 ? 12 : std::abs(static_cast<double>(f.lfHeight));
    font.bold = f.lfWeight >= FW_SEMIBOLD;
    font.italic = f.lfItalic != 0;
    return font;
  }
};

gfx::Argb toArgb(COLORREF c) { return gfx::argb(255, GetRValue(c), GetGValue(c), GetBValue(c)); }

HGDIOBJ asObject(uintptr_t h) { return reinterpret_cast<HGDIOBJ>(h); }
uintptr_t id(const void* h) { return reinterpret_cast<uintptr_t>(h); }

std::optional<COLORREF> brushColor(Gdi& g, HBRUSH brush) {
  const uintptr_t h = id(brush);
  if (h >= 1 && h <= 31) return GetSysColor(static_cast<int>(h) - 1);
  const Object* o = g.object(h);
  if (o == nullptr || o->type != Object::Brush || o->hollow) return std::nullopt;
  return o->color;
}

gfx::RectF rectF(const RECT& r) {
  return {double(r.left), double(r.top), double(r.right - r.left), double(r.bottom - r.top)};
}

// Removes "&" prefixes: "&&" stays one "&".
std::u16string stripPrefixes(std::u16string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'&') {
      if (i + 1 < text.size() && text[i + 1] == u'&') {
        out.push_back(u'&');
        ++i;
      }
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

// Breaks text into lines as DrawText does.
std::vector<std::u16string> layoutLines(gfx::TextMeasurer& m, const gfx::Font& font,
                                        std::u16string_view text, UINT format, double width) {
  std::vector<std::u16string> paragraphs;
  if (format & DT_SINGLELINE) {
    std::u16string one;
    for (char16_t c : text) one.push_back(c == u'\r' || c == u'\n' ? u' ' : c);
    paragraphs.push_back(one);
  } else {
    std::u16string current;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
      if (text[i] == u'\n' || text[i] == u'\r') {
        paragraphs.push_back(current);
        current.clear();
      } else {
        current.push_back(text[i]);
      }
    }
    paragraphs.push_back(current);
  }
  if (!(format & DT_WORDBREAK) || (format & DT_SINGLELINE)) return paragraphs;
  std::vector<std::u16string> lines;
  for (const std::u16string& p : paragraphs) {
    // Words with the blanks that follow them.
    std::vector<std::u16string> words;
    size_t i = 0;
    while (i < p.size()) {
      size_t j = i;
      while (j < p.size() && p[j] != u' ') ++j;
      while (j < p.size() && p[j] == u' ') ++j;
      words.push_back(p.substr(i, j - i));
      i = j;
    }
    if (words.empty()) {
      lines.emplace_back();
      continue;
    }
    std::u16string line;
    for (const std::u16string& w : words) {
      std::u16string candidate = line + w;
      std::u16string trimmed = candidate;
      while (!trimmed.empty() && trimmed.back() == u' ') trimmed.pop_back();
      if (!line.empty() && m.measure(font, trimmed).width > width) {
        while (!line.empty() && line.back() == u' ') line.pop_back();
        lines.push_back(line);
        line = w;
      } else {
        line = candidate;
      }
    }
    while (!line.empty() && line.back() == u' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

DWORD GetSysColor(int index) {
  switch (index) {
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_WINDOWTEXT: return RGB(0, 0, 0);
    case COLOR_HIGHLIGHT: return RGB(0, 120, 215);
    case COLOR_HIGHLIGHTTEXT: return RGB(255, 255, 255);
    case COLOR_BTNFACE: return RGB(240, 240, 240);
    case COLOR_GRAYTEXT: return RGB(109, 109, 109);
    case COLOR_BTNTEXT: return RGB(0, 0, 0);
    default: return RGB(0, 0, 0);
  }
}

BOOL SystemParametersInfoW(UINT action, UINT size, void* data, UINT) {
  constexpr UINT kFull = sizeof(NONCLIENTMETRICSW);
  constexpr UINT kOld = kFull - sizeof(int);
  if (action != SPI_GETNONCLIENTMETRICS || data == nullptr || (size != kFull && size != kOld)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto* in = static_cast<NONCLIENTMETRICSW*>(data);
  if (in->cbSize != size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  NONCLIENTMETRICSW m;
  m.cbSize = size;
  m.iBorderWidth = 1;
  m.iScrollWidth = 17;
  m.iScrollHeight = 17;
  m.iCaptionWidth = 36;
  m.iCaptionHeight = 22;
  m.iSmCaptionWidth = 22;
  m.iSmCaptionHeight = 22;
  m.iMenuWidth = 19;
  m.iMenuHeight = 19;
  m.lfCaptionFont = m.lfSmCaptionFont = m.lfMenuFont = m.lfStatusFont = m.lfMessageFont =
      defaultFont();
  m.iPaddedBorderWidth = 4;
  std::memcpy(data, &m, size);
  return 1;
}

HDC GetDC(HWND hwnd) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc d;
  d.hwnd = hwnd;
  d.screen = hwnd == nullptr;
  return g.newDc(std::move(d));
}

int ReleaseDC(HWND, HDC dc) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr || d->memory) return 0;
  g.releaseDc(id(dc));
  return 1;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint) {
  if (paint == nullptr || hwnd == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HDC dc = GetDC(hwnd);
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  *paint = PAINTSTRUCT{};
  paint->hdc = dc;
  if (auto size = g.clientSize(hwnd)) paint->rcPaint = RECT{0, 0, size->cx, size->cy};
  return dc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
  if (paint == nullptr) return 0;
  return ReleaseDC(hwnd, paint->hdc);
}

HDC CreateCompatibleDC(HDC) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc d;
  d.memory = true;
  return g.newDc(std::move(d));
}

BOOL DeleteDC(HDC dc) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr || !d->memory) return 0;
  g.releaseDc(id(dc));
  return 1;
}

HBRUSH CreateSolidBrush(COLORREF color) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Object o(Object::Brush);
  o.color = color & 0xFFFFFF;
  return reinterpret_cast<HBRUSH>(g.add(o));
}

HPEN CreatePen(int style, int width, COLORREF color) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Object o(Object::Pen);
  o.color = color & 0xFFFFFF;
  o.penStyle = style;
  o.penWidth = std::max(1, width);
  o.hollow = style == PS_NULL;
  return reinterpret_cast<HPEN>(g.add(o));
}

HFONT CreateFontIndirectW(const LOGFONTW* font) {
  if (font == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Object o(Object::Font);
  o.font = *font;
  o.font.lfFaceName[31] = 0;
  return reinterpret_cast<HFONT>(g.add(o));
}

HBITMAP CreateCompatibleBitmap(HDC, int width, int height) {
  auto b = gfx::Bitmap::make(width, height);
  if (!b) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return createBitmapHandle(*b);
}

HBITMAP createBitmapHandle(const gfx::Bitmap& bitmap) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Object o(Object::Bitmap);
  o.bitmap = std::make_shared<gfx::Bitmap>(bitmap);
  return reinterpret_cast<HBITMAP>(g.add(o));
}

const gfx::Bitmap* bitmapOf(HBITMAP bitmap) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  const Object* o = g.object(id(bitmap));
  return o && o->type == Object::Bitmap ? o->bitmap.get() : nullptr;
}

HGDIOBJ GetStockObject(int which) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  return g.object(stockHandle(which)) && which >= 0 && which < 0x40 ? asObject(stockHandle(which))
                                                                    : nullptr;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  Object* o = g.object(id(object));
  if (d == nullptr || o == nullptr || o->type == Object::Region ||
      (o->type == Object::Bitmap && !d->memory)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  uintptr_t* slot = nullptr;
  switch (o->type) {
    case Object::Brush: slot = &d->brush; break;
    case Object::Pen: slot = &d->pen; break;
    case Object::Font: slot = &d->font; break;
    case Object::Bitmap: slot = &d->bitmap; break;
    case Object::Region: return nullptr;
  }
  const uintptr_t previous = *slot;
  if (Object* p = g.object(previous)) --p->selections;
  *slot = id(object);
  ++o->selections;
  return asObject(previous);
}

BOOL DeleteObject(HGDIOBJ object) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Object* o = g.object(id(object));
  if (o == nullptr || o->stock || o->selections > 0) return 0;
  for (const auto& [hwnd, region] : g.windowRegions) {
    if (region == id(object)) return 0;  // the window owns it
  }
  g.objects.erase(id(object));
  return 1;
}

int GetObjectW(HGDIOBJ object, int size, void* out) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  const Object* o = g.object(id(object));
  if (o == nullptr) return 0;
  if (o->type == Object::Font) {
    if (out == nullptr) return sizeof(LOGFONTW);
    const int n = std::min<int>(size, sizeof(LOGFONTW));
    if (n <= 0) return 0;
    std::memcpy(out, &o->font, static_cast<size_t>(n));
    return n;
  }
  if (o->type == Object::Bitmap) {
    if (out == nullptr) return sizeof(BITMAP);
    if (size < static_cast<int>(sizeof(BITMAP))) return 0;
    BITMAP b;
    b.bmWidth = o->bitmap->width();
    b.bmHeight = o->bitmap->height();
    b.bmWidthBytes = o->bitmap->width() * 4;
    std::memcpy(out, &b, sizeof b);
    return sizeof(BITMAP);
  }
  return 0;
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr) return CLR_INVALID;
  const COLORREF previous = d->textColor;
  d->textColor = color & 0xFFFFFF;
  return previous;
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr) return CLR_INVALID;
  const COLORREF previous = d->bkColor;
  d->bkColor = color & 0xFFFFFF;
  return previous;
}

int SetBkMode(HDC dc, int mode) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
  const int previous = d->bkMode;
  d->bkMode = mode;
  return previous;
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr || rect == nullptr) return 0;
  const auto color = brushColor(g, brush);
  if (!color) return 0;
  d->ops.push_back(DrawOp{"FillRect", *rect, *color, 0, 0, {}, 0});
  if (gfx::Bitmap* target = g.target(*d)) {
    gfx::Graphics gr(*target);
    gr.setAntiAlias(false);
    gr.fillRectangle(rectF(*rect), toArgb(*color));
  }
  return 1;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr) return 0;
  const Object* brush = g.object(d->brush);
  const Object* pen = g.object(d->pen);
  const bool fill = brush && !brush->hollow;
  const bool outline = pen && !pen->hollow;
  const RECT r{left, top, right, bottom};
  d->ops.push_back(DrawOp{"Rectangle", r, fill ? brush->color : CLR_INVALID,
                          outline ? pen->color : CLR_INVALID, outline ? pen->penWidth : 0, {}, 0});
  if (gfx::Bitmap* target = g.target(*d)) {
    gfx::Graphics gr(*target);
    gr.setAntiAlias(false);
    if (fill) gr.fillRectangle(rectF(r), toArgb(brush->color));
    if (outline) {
      // The pen's middle runs along the rectangle's outermost pixels (inside the rectangle for
      // an inside-frame pen).
      const double w = pen->penWidth;
      const double inset = pen->penStyle == PS_INSIDEFRAME ? w / 2 : 0.5;
      gfx::Path p;
      p.addRect({left + inset, top + inset, right - left - 2 * inset, bottom - top - 2 * inset});
      gr.strokePath(p, gfx::Pen{toArgb(pen->color), w, false});
    }
  }
  return 1;
}

BOOL DrawFocusRect(HDC dc, const RECT* rect) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr || rect == nullptr) return 0;
  d->ops.push_back(DrawOp{"DrawFocusRect", *rect, 0, 0, 1, {}, 0});
  gfx::Bitmap* target = g.target(*d);
  if (target == nullptr) return 1;
  // Every other pixel of the frame, inverted.
  auto invert = [target](int x, int y) {
    const gfx::Argb p = target->pixel(x, y);
    target->setPixel(x, y, (p & 0xFF000000u) | (~p & 0x00FFFFFFu));
  };
  const RECT& r = *rect;
  for (int x = r.left; x < r.right; ++x) {
    if ((x - r.left) % 2 == 0) {
      invert(x, r.top);
      if (r.bottom - 1 > r.top) invert(x, r.bottom - 1);
    }
  }
  for (int y = r.top + 1; y < r.bottom - 1; ++y) {
    if ((y - r.top) % 2 == 0) {
      invert(r.left, y);
      if (r.right - 1 > r.left) invert(r.right - 1, y);
    }
  }
  return 1;
}

int DrawTextW(HDC dc, const char16_t* text, int count, RECT* rect, UINT format) {
  if (text == nullptr || rect == nullptr) return 0;
  const std::u16string_view all =
      count < 0 ? std::u16string_view(text) : std::u16string_view(text, static_cast<size_t>(count));
  Gdi& g = Gdi::instance();
  std::unique_lock<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr) return 0;
  const gfx::Font font = g.fontOf(*d);
  const std::u16string shown = (format & DT_NOPREFIX) ? std::u16string(all) : stripPrefixes(all);
  auto measurer = gfx::textMeasurer();
  const double lineHeight = std::ceil(measurer->measure(font, u"").height > 0
                                          ? measurer->measure(font, u"").height
                                          : measurer->metrics(font).height);
  const std::vector<std::u16string> lines =
      layoutLines(*measurer, font, shown, format, rect->right - rect->left);
  std::vector<double> widths;
  double widest = 0;
  for (const std::u16string& line : lines) {
    widths.push_back(std::ceil(measurer->measure(font, line).width));
    widest = std::max(widest, widths.back());
  }
  const int height = static_cast<int>(lineHeight * static_cast<double>(lines.size()));
  d->ops.push_back(DrawOp{(format & DT_CALCRECT) ? "DrawText(calc)" : "DrawText", *rect,
                          d->textColor, 0, 0, std::u16string(all), format});
  if (format & DT_CALCRECT) {
    rect->right = rect->left + static_cast<LONG>(widest);
    rect->bottom = rect->top + height;
    return height;
  }
  double y = rect->top;
  if (format & DT_SINGLELINE) {
    if (format & DT_VCENTER) y = rect->top + std::floor((rect->bottom - rect->top - height) / 2.0);
    if (format & DT_BOTTOM) y = rect->bottom - height;
  }
  gfx::Bitmap* target = g.target(*d);
  if (target != nullptr) {
    gfx::Graphics gr(*target);
    if (!(format & DT_NOCLIP)) {
      gfx::Path clip;
      clip.addRect(rectF(*rect));
      gr.setClip(clip);
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      double x = rect->left;
      if (format & DT_CENTER) x = rect->left + std::floor((rect->right - rect->left - widths[i]) / 2);
      if (format & DT_RIGHT) x = rect->right - widths[i];
      if (d->bkMode == OPAQUE) {
        gr.fillRectangle({x, y, widths[i], lineHeight}, toArgb(d->bkColor));
      }
      gr.drawString(lines[i], font, {x, y}, toArgb(d->textColor));
      y += lineHeight;
    }
  }
  return height;
}

BOOL GetTextExtentPoint32W(HDC dc, const char16_t* text, int count, SIZE* size) {
  if (size == nullptr || count < 0 || (text == nullptr && count > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Gdi& g = Gdi::instance();
  std::unique_lock<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  const gfx::Font font = g.fontOf(*d);
  lock.unlock();
  auto measurer = gfx::textMeasurer();
  const std::u16string_view s(text ? text : u"", static_cast<size_t>(count));
  const gfx::TextSize t = measurer->measure(font, s);
  size->cx = static_cast<LONG>(std::ceil(t.width));
  size->cy = static_cast<LONG>(std::ceil(t.height > 0 ? t.height : measurer->metrics(font).height));
  return 1;
}

BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* metrics) {
  if (metrics == nullptr) return 0;
  Gdi& g = Gdi::instance();
  std::unique_lock<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr) return 0;
  const gfx::Font font = g.fontOf(*d);
  const Object* o = g.object(d->font);
  const LONG weight = o && o->font.lfWeight ? o->font.lfWeight : FW_NORMAL;
  lock.unlock();
  const gfx::FontMetrics m = gfx::textMeasurer()->metrics(font);
  *metrics = TEXTMETRICW{};
  metrics->tmAscent = static_cast<LONG>(m.ascent);
  metrics->tmDescent = static_cast<LONG>(m.descent);
  metrics->tmHeight = metrics->tmAscent + metrics->tmDescent;
  metrics->tmExternalLeading = std::max<LONG>(0, static_cast<LONG>(m.height) - metrics->tmHeight);
  metrics->tmAveCharWidth = static_cast<LONG>(m.averageWidth);
  metrics->tmMaxCharWidth = static_cast<LONG>(std::ceil(font.pixelSize));
  metrics->tmWeight = weight;
  metrics->tmItalic = font.italic ? 1 : 0;
  return 1;
}

HRGN CreateRoundRectRgn(int left, int top, int right, int bottom, int ellipseWidth,
                        int ellipseHeight) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Object o(Object::Region);
  o.region = RECT{std::min(left, right), std::min(top, bottom), std::max(left, right),
                  std::max(top, bottom)};
  o.ellipseWidth = std::max(0, ellipseWidth);
  o.ellipseHeight = std::max(0, ellipseHeight);
  return reinterpret_cast<HRGN>(g.add(o));
}

int SetWindowRgn(HWND hwnd, HRGN region, BOOL) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  if (hwnd == nullptr) return 0;
  if (region != nullptr) {
    const Object* o = g.object(id(region));
    if (o == nullptr || o->type != Object::Region) return 0;
  }
  auto it = g.windowRegions.find(hwnd);
  if (it != g.windowRegions.end()) {
    if (it->second != id(region)) g.objects.erase(it->second);
    g.windowRegions.erase(it);
  }
  if (region != nullptr) g.windowRegions[hwnd] = id(region);
  return 1;
}

namespace detail {

const gfx::Bitmap* selectedBitmap(HDC dc) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  if (d == nullptr || !d->memory) return nullptr;
  if (d->bitmap == Gdi::kStockBitmap) return nullptr;
  const Object* o = g.object(d->bitmap);
  return o && o->bitmap ? o->bitmap.get() : nullptr;
}

}  // namespace detail

namespace test {

void setWindowClientSize(HWND hwnd, int width, int height) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  g.clientSizes[hwnd] = SIZE{width, height};
}

std::optional<gfx::Bitmap> windowBitmap(HWND hwnd) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  auto it = g.windowBitmaps.find(hwnd);
  if (it == g.windowBitmaps.end()) return std::nullopt;
  return it->second;
}

std::vector<DrawOp> drawOps(HWND hwnd) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  auto it = g.windowOps.find(hwnd);
  return it == g.windowOps.end() ? std::vector<DrawOp>() : it->second;
}

std::vector<DrawOp> dcOps(HDC dc) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  Dc* d = g.dc(dc);
  return d ? d->ops : std::vector<DrawOp>();
}

std::optional<WindowRegion> windowRegion(HWND hwnd) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  auto it = g.windowRegions.find(hwnd);
  if (it == g.windowRegions.end()) return std::nullopt;
  const Object* o = g.object(it->second);
  if (o == nullptr) return std::nullopt;
  return WindowRegion{o->region, o->ellipseWidth, o->ellipseHeight};
}

size_t gdiObjectCount() {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  size_t n = 0;
  for (const auto& [h, o] : g.objects) n += o.stock ? 0 : 1;
  return n;
}

size_t openDcCount() {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  return g.dcs.size();
}

void forgetWindowDrawing(HWND hwnd) {
  Gdi& g = Gdi::instance();
  std::lock_guard<std::mutex> lock(g.mutex);
  g.windowBitmaps.erase(hwnd);
  g.windowOps.erase(hwnd);
  g.clientSizes.erase(hwnd);
  auto it = g.windowRegions.find(hwnd);
  if (it != g.windowRegions.end()) {
    g.objects.erase(it->second);
    g.windowRegions.erase(it);
  }
}

}  // namespace test

}  // namespace desk
