#include <cairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "desk/gfx/image_file.h"
#include "desk/gfx/text.h"
#include "desk/log.h"
#include "zrkmenu/zrkmenu.h"

namespace zrkmenu {

using desk::gfx::Argb;
using desk::gfx::Bitmap;
using desk::gfx::Graphics;
using desk::gfx::Path;
using desk::gfx::PointF;
using desk::gfx::RectF;

namespace {

// UTF-16 to UTF-8 for font family names.
std::string narrow(const std::u16string& s) { return desk::gfx::drawableUtf8(s); }

// The published multiplier and shift of the stack blur for radii 0..254: the shift is the
// smallest that puts 2^shift / (radius + 1)^2 above 256, the multiplier that quotient rounded up.
struct BlurTables {
  std::array<uint16_t, 255> mul{};
  std::array<uint8_t, 255> shg{};
  BlurTables() {
    for (int r = 0; r < 255; ++r) {
      const uint64_t div = static_cast<uint64_t>(r + 1) * static_cast<uint64_t>(r + 1);
      int s = 0;
      while ((uint64_t{1} << s) <= 256 * div) ++s;
      shg[r] = static_cast<uint8_t>(s);
      mul[r] = static_cast<uint16_t>(((uint64_t{1} << s) + div - 1) / div);
    }
  }
};
const BlurTables& blurTables() {
  static const BlurTables tables;
  return tables;
}
int clampRadius(int radius) { return radius < 3 ? 2 : (radius > 254 ? 254 : radius); }

// One line of one channel: `n` values `step` bytes apart from `src` into `dst`.
void blurLine(const uint8_t* src, uint8_t* dst, int n, int step, int r, uint64_t mul,
              unsigned shg) {
  auto v = [&](int i) -> uint32_t {
    i = i < 0 ? 0 : (i >= n ? n - 1 : i);
    return src[static_cast<ptrdiff_t>(i) * step];
  };
  uint64_t sum = 0, out = 0, in = 0;
  for (int i = -r; i <= r; ++i) sum += static_cast<uint64_t>(r + 1 - std::abs(i)) * v(i);
  for (int i = -r; i <= 0; ++i) out += v(i);
  for (int i = 1; i <= r + 1; ++i) in += v(i);
  for (int x = 0; x < n; ++x) {
    dst[static_cast<ptrdiff_t>(x) * step] = static_cast<uint8_t>((sum * mul) >> shg);
    sum = sum - out + in;
    out = out - v(x - r) + v(x + 1);
    in = in - v(x + 1) + v(x + r + 2);
  }
}

}  // namespace

uint16_t stackBlurMultiplier(int radius) { return blurTables().mul[clampRadius(radius)]; }
uint8_t stackBlurShift(int radius) { return blurTables().shg[clampRadius(radius)]; }

void stackBlur(uint8_t* pixels, int width, int height, int stride, int radius) {
  if (!pixels || width <= 0 || height <= 0 || stride < width * 4) return;
  const int r = clampRadius(radius);
  const uint64_t mul = blurTables().mul[r];
  const unsigned shg = blurTables().shg[r];
  std::vector<uint8_t> buffer(static_cast<size_t>(stride) * static_cast<size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = pixels + static_cast<size_t>(y) * stride;
    uint8_t* dst = buffer.data() + static_cast<size_t>(y) * stride;
    for (int c = 0; c < 4; ++c) blurLine(row + c, dst + c, width, 4, r, mul, shg);
  }
  for (int x = 0; x < width; ++x) {
    for (int c = 0; c < 4; ++c) {
      blurLine(buffer.data() + x * 4 + c, pixels + x * 4 + c, height, stride, r, mul, shg);
    }
  }
}

namespace {

// One 8-bit plane blurred in place with exactly the arithmetic stackBlur gives each channel.
// A row equal to the one above it is blurred once; the vertical pass walks whole rows with a
// running sum per column, so it reads memory in order.
void blurPlane(uint8_t* plane, int width, int height, int stride, int radius) {
  if (!plane || width <= 0 || height <= 0 || stride < width) return;
  const int r = clampRadius(radius);
  const uint64_t mul = blurTables().mul[r];
  const unsigned shg = blurTables().shg[r];
  const size_t w = static_cast<size_t>(width);
  std::vector<uint8_t> rows(w * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = plane + static_cast<size_t>(y) * stride;
    uint8_t* dst = rows.data() + static_cast<size_t>(y) * w;
    if (y > 0 && std::memcmp(src, src - stride, w) == 0) {
      std::memcpy(dst, dst - w, w);
    } else {
      blurLine(src, dst, width, 1, r, mul, shg);
    }
  }
  auto row = [&](int i) {
    i = i < 0 ? 0 : (i >= height ? height - 1 : i);
    return rows.data() + static_cast<size_t>(i) * w;
  };
  // Sums stay below 255 * 255^2, well inside 32 bits.
  std::vector<uint32_t> sum(w, 0), out(w, 0), in(w, 0);
  for (int i = -r; i <= r; ++i) {
    const uint8_t* v = row(i);
    const uint32_t k = static_cast<uint32_t>(r + 1 - std::abs(i));
    for (size_t x = 0; x < w; ++x) sum[x] += k * v[x];
  }
  for (int i = -r; i <= 0; ++i) {
    const uint8_t* v = row(i);
    for (size_t x = 0; x < w; ++x) out[x] += v[x];
  }
  for (int i = 1; i <= r + 1; ++i) {
    const uint8_t* v = row(i);
    for (size_t x = 0; x < w; ++x) in[x] += v[x];
  }
  for (int y = 0; y < height; ++y) {
    uint8_t* d = plane + static_cast<size_t>(y) * stride;
    const uint8_t* leaving = row(y - r);
    const uint8_t* middle = row(y + 1);
    const uint8_t* entering = row(y + r + 2);
    for (size_t x = 0; x < w; ++x) {
      d[x] = static_cast<uint8_t>((uint64_t{sum[x]} * mul) >> shg);
      sum[x] = sum[x] - out[x] + in[x];
      out[x] = out[x] - leaving[x] + middle[x];
      in[x] = in[x] - middle[x] + entering[x];
    }
  }
}

}  // namespace

void addRoundedRect(Path& path, const RectF& rect, double r) {
  const double d = std::min({2 * r, rect.width, rect.height});
  const double right = rect.x + rect.width, bottom = rect.y + rect.height;
  const double x = rect.x, y = rect.y;
  path.arc({x, y, d, d}, 180, 90);
  path.lineTo(x + r, y);
  path.lineTo(right - r, y);
  path.arc({right - d, y, d, d}, 270, 90);
  path.lineTo(right, y + r);
  path.lineTo(right, bottom - r);
  path.arc({right - d, bottom - d, d, d}, 0, 90);
  path.lineTo(right - r, bottom);
  path.lineTo(x + r, bottom);
  path.arc({x, bottom - d, d, d}, 90, 90);
  path.lineTo(x, bottom - r);
  path.lineTo(x, y + r);
  path.close();
}

void drawCheckMark(Graphics& g, double x, double y, double w, double h, Argb color) {
  desk::gfx::Pen pen{color, 2.0, true};
  g.drawLines(pen, {{x, y + h / 3}, {x + w / 3, y + 2 * h / 3}, {x + w, y}});
}

void drawChevron(Graphics& g, double x, double y, double w, double h, Argb color, double angle) {
  g.save();
  if (angle != 0) {
    g.translate(x + w / 2, y + h / 2);
    g.rotate(angle);
    g.translate(-(x + w / 2), -(y + h / 2));
  }
  desk::gfx::Pen pen{color, 2.0, true};
  g.drawLines(pen, {{x, y}, {x + w, y + h / 2}, {x, y + h}});
  g.restore();
}

void drawBitmapWithOpacity(Graphics& g, const Bitmap& bitmap, double x, double y,
                           double opacity) {
  if (bitmap.empty()) return;
  g.drawImage(bitmap, {x, y, static_cast<double>(bitmap.width()),
                       static_cast<double>(bitmap.height())},
              opacity, false);
}

void drawShadow(Graphics& g, const RectF& rect, int radius, int offsetX, int offsetY, int blur,
                double opacity, std::optional<Argb> fill, std::optional<Argb> shadow) {
  (void)fill;  // the body is drawn over the shadow by its owner
  const Argb color = shadow ? *shadow : 0x64000000u;
  const int64_t tw = static_cast<int64_t>(rect.width) + 2 * int64_t{blur};
  const int64_t th = static_cast<int64_t>(rect.height) + 2 * int64_t{blur};
  if (!desk::gfx::validSize(tw, th)) return;
  // The shadow is one colour: only its coverage is rasterised and blurred (one byte a pixel),
  // then the colour is painted through it.
  cairo_surface_t* mask =
      cairo_image_surface_create(CAIRO_FORMAT_A8, static_cast<int>(tw), static_cast<int>(th));
  if (cairo_surface_status(mask) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(mask);
    return;
  }
  {
    Graphics tg(mask);
    tg.setAntiAlias(true);
    Path p;
    addRoundedRect(p, {double(blur + offsetX), double(blur + offsetY), rect.width, rect.height},
                   radius);
    tg.fillPath(p, color);
  }
  blurPlane(cairo_image_surface_get_data(mask), static_cast<int>(tw), static_cast<int>(th),
            cairo_image_surface_get_stride(mask), blur);
  cairo_surface_mark_dirty(mask);
  cairo_t* cr = g.cairo();
  cairo_save(cr);
  cairo_set_source_rgba(cr, desk::gfx::redOf(color) / 255.0, desk::gfx::greenOf(color) / 255.0,
                        desk::gfx::blueOf(color) / 255.0, std::clamp(opacity, 0.0, 1.0));
  cairo_mask_surface(cr, mask, rect.x + offsetX - blur, rect.y + offsetY - blur);
  cairo_restore(cr);
  cairo_surface_destroy(mask);
}

// ---- fonts and measuring ---------------------------------------------------------------------

desk::gfx::Font ZrkMenu::textFont() {
  if (fontsDirty_) {
    textFont_.family = narrow(fontName_);
    textFont_.pixelSize = static_cast<float>(scaledFontSize());
    textFont_.bold = fontBold_;
    textFont_.italic = fontItalic_;
    acceleratorFont_ = textFont_;
    acceleratorFont_.pixelSize = static_cast<float>(scaledFontSize() * 0.75);
    fontsDirty_ = false;
  }
  return textFont_;
}

desk::gfx::Font ZrkMenu::acceleratorFont() {
  textFont();
  return acceleratorFont_;
}

int ZrkMenu::rowHeight(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= items.size()) return 0;
  return items[index]->separator ? scaledSeparatorHeight() : scaledItemHeight();
}

std::string ZrkMenu::layoutSignature() const {
  std::string sig;
  auto add = [&sig](const void* p, size_t n) { sig.append(static_cast<const char*>(p), n); };
  auto addInt = [&add](int64_t v) { add(&v, sizeof v); };
  auto addStr = [&add, &addInt](const std::string& s) {
    addInt(static_cast<int64_t>(s.size()));
    add(s.data(), s.size());
  };
  for (int64_t v : {int64_t{dpi_}, int64_t{fontSize_}, int64_t{fontBold_}, int64_t{fontItalic_},
                    int64_t{borderRadius_}, int64_t{itemHeight_}, int64_t{separatorHeight_},
                    int64_t{iconSize_}, int64_t{padding_}, int64_t{componentsGap_}})
    addInt(v);
  addInt(static_cast<int64_t>(fontName_.size()));
  add(fontName_.data(), fontName_.size() * sizeof(char16_t));
  addInt(static_cast<int64_t>(items.size()));
  for (const auto& item : items) {
    addStr(item->text);
    addInt(item->separator);
    addInt(item->checkMark != 0);
    addInt(!item->iconPath.empty() || item->icon || !item->altIconText.empty() ||
           item->altIcon);
    addInt(item->submenu != nullptr);
    addInt(item->accelerator ? (item->accelerator->fVirt << 16 | item->accelerator->key) : -1);
  }
  return sig;
}

bool ZrkMenu::needsMeasure() const {
  return measuredSignature_.empty() || measuredSignature_ != layoutSignature();
}

void ZrkMenu::measure() {
  hasCheckColumn = false;
  hasIconColumn = false;
  for (const auto& item : items) {
    if (item->checkMark != 0) hasCheckColumn = true;
    if (!item->iconPath.empty() || item->icon || !item->altIconText.empty() || item->altIcon)
      hasIconColumn = true;
  }
  const int pad = scaledPadding(), gap = scaledComponentsGap(), icon = scaledIconSize();
  const desk::gfx::Font font = textFont();
  auto measurer = desk::gfx::textMeasurer();
  int maxWidth = 0;
  int total = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const auto& item = items[i];
    int base = 2 * pad;
    if (hasCheckColumn) base += icon + gap;
    if (hasIconColumn) base += icon + 2 * gap;
    if (item->submenu) base += icon + gap;
    const std::u16string label = utf8ToWide(item->text);
    const double labelWidth = label.empty() ? 0 : measurer->measure(font, label).width;
    int rowWidth = static_cast<int>(static_cast<float>(base) + static_cast<float>(labelWidth));
    const std::string accel = acceleratorText(item->accelerator.get());
    if (!accel.empty()) {
      const double w = measurer->measure(font, utf8ToWide(accel)).width;
      rowWidth = static_cast<int>(static_cast<float>(rowWidth) + static_cast<float>(w)) + gap;
    }
    maxWidth = std::max(maxWidth, rowWidth);
    total += rowHeight(static_cast<int>(i));
  }
  width = measuredWidth_ = maxWidth;
  height = measuredHeight_ = total;
  measuredSignature_ = layoutSignature();
}

// ---- painting --------------------------------------------------------------------------------

void ZrkMenu::paint(Graphics& g, int h) {
  const int radius = scaledBorderRadius();
  if (h == 0) {
    RECT wr;
    if (!hwnd || !desk::GetWindowRect(hwnd, &wr)) return;
    const int wh = wr.bottom - wr.top;
    if (wh < radius) return;
    h = std::min(height, wh);
  }
  g.setAntiAlias(true);
  const int pad = scaledPadding(), gap = scaledComponentsGap(), icon = scaledIconSize();
  const int rowH = scaledItemHeight(), sepH = scaledSeparatorHeight();
  const int s = shadowSize();
  Path background;
  addRoundedRect(background, {0, 0, double(width), double(h)}, radius);
  g.fillPath(background, toArgb(backgroundColor_));
  g.save();
  g.setClip(background);

  const desk::gfx::Font font = textFont();
  const desk::gfx::Font accelFont = acceleratorFont();
  auto measurer = desk::gfx::textMeasurer();
  int y = firstVisible > 0 ? arrowHeight : 0;
  bool drawDownArrow = scrolling;
  const int n = static_cast<int>(items.size());
  for (int i = std::max(firstVisible, 0); i < n && y <= h; ++i) {
    if (done) break;
    ZrkMenuItem& item = *items[i];
    int x = pad;
    const int itemH = item.separator ? sepH : rowH;
    if (scrolling && y + itemH > h - arrowHeight) {
      if (i != n - 1) break;
      drawDownArrow = false;
    }
    if (item.separator) {
      desk::gfx::Pen pen{toArgb(separatorColor_), 1.0, false};
      const double ly = y + sepH / 2;
      g.drawLine(pen, {double(gap), ly}, {double(width - gap), ly});
      y += sepH;
      continue;
    }
    if (i == hoverIndex) g.fillRectangle({0, double(y), double(width), double(rowH)},
                                         toArgb(highlightColor_));
    Color color;
    if (item.disabled) {
      color = disabledTextColor_;
    } else if (item.color != kNoColor) {
      color = item.color;
    } else {
      color = i == hoverIndex ? highlightTextColor_ : textColor_;
    }
    const Argb brush = toArgb(color);
    if (hasCheckColumn) {
      if (item.checkMark == 1) {
        const int c = icon / 3;
        drawCheckMark(g, x + (icon - c) / 2, y + (rowH - c) / 2, c, c, brush);
      } else if (item.checkMark == 2) {
        const int d = scaledFontSize() / 2;
        g.fillEllipse({double(x + (icon - d) / 2), double(y + (rowH - d) / 2), double(d),
                       double(d)},
                      brush);
      }
      x += icon + gap;
    }
    if (hasIconColumn) {
      if (!item.icon && !item.iconPath.empty()) {
        std::string why;
        auto decoded = desk::gfx::decodeImageFile(item.iconPath, 0, 0, &why);
        if (decoded) {
          item.icon = std::make_shared<Bitmap>(std::move(*decoded));
        } else {
          // An image without pixels: drawn as nothing and not loaded again.
          desk::logFormat(2, "menu icon %s: %s", item.iconPath.c_str(), why.c_str());
          item.icon = std::make_shared<Bitmap>();
        }
      }
      if (item.icon && !item.icon->empty()) {
        const int w = std::min(item.icon->width(), icon);
        const int ih = std::min(item.icon->height(), icon);
        g.drawImage(*item.icon, {double(x + (icon - w) / 2), double(y + (rowH - ih) / 2),
                                 double(w), double(ih)});
      }
      x += icon + 2 * gap;
    }
    const std::u16string label = utf8ToWide(item.text);
    if (!label.empty()) {
      const desk::gfx::TextSize size = measurer->measure(font, label);
      g.drawString(label, font, {double(x), y + (rowH - size.height) * 0.5}, brush);
    }
    if (item.submenu) drawChevron(g, width - pad - 6, y + (rowH - 12) / 2, 6, 12, brush, 0);
    if (item.accelerator) {
      const std::u16string text = utf8ToWide(item.cachedAcceleratorText());
      if (!text.empty()) {
        const desk::gfx::TextSize size = measurer->measure(accelFont, text);
        const Color faded = (color & 0x00FFFFFFu) |
                            (static_cast<Color>(static_cast<int>((color >> 24) * 0.7)) << 24);
        g.drawString(text, accelFont, {width - pad - size.width, y + (rowH - size.height) * 0.5},
                     toArgb(faded));
      }
    }
    y += rowH;
  }

  // Hover fill of an arrow band: the cursor in content coordinates.
  auto cursorIn = [&](int top, int bottom) {
    desk::POINT p;
    if (!hwnd || !desk::GetCursorPos(&p) || !desk::ScreenToClient(hwnd, &p)) return false;
    p.x -= s;
    p.y -= s;
    return p.x >= 0 && p.x < width && p.y >= top && p.y < bottom;
  };
  if (scrolling && firstVisible > 0) {
    if (cursorIn(0, arrowHeight))
      g.fillRectangle({0, 0, double(width), double(arrowHeight)}, 0x64000000u);
    drawChevron(g, width / 2 - 3, (arrowHeight - 12) / 2, 6, 12, toArgb(textColor_), -90);
  }
  if (drawDownArrow) {
    const int top = h - arrowHeight;
    if (cursorIn(top, h))
      g.fillRectangle({0, double(top), double(width), double(arrowHeight)}, 0x64000000u);
    drawChevron(g, width / 2 - 3, top + (arrowHeight - 12) / 2, 6, 12, toArgb(textColor_), 90);
  }
  g.restore();  // the clip
  if (h == height && (borderColor_ >> 24) != 0) {
    g.strokePath(background, desk::gfx::Pen{toArgb(borderColor_), 1.0, false});
  }
}

void ZrkMenu::render(Bitmap& frame, int h, bool noShadow) {
  Graphics g(frame);
  g.clear(0x00ffffff);
  if (!noShadow && shadowBitmap && !shadowBitmap->empty()) {
    drawBitmapWithOpacity(g, *shadowBitmap, 0, 0, 1.0);
  }
  const int s = shadowSize();
  g.save();
  g.translate(s, s);
  paint(g, h);
  g.restore();
}

std::vector<uint32_t> ZrkMenu::renderPremultiplied(int cx, int cy, int h) {
  std::vector<uint32_t> out;
  if (!renderPremultipliedInto(out, cx, cy, h)) out.clear();
  return out;
}

bool ZrkMenu::renderPremultipliedInto(std::vector<uint32_t>& out, int cx, int cy, int h) {
  if (!desk::gfx::validSize(cx, cy)) return false;
  // The frame is drawn in place in the returned pixels (an ARGB32 row is 4 * width bytes). It
  // starts as a copy of the shadow when the sizes agree, else transparent with the shadow over it.
  cairo_surface_t* shadow = shadowSurface_.get();
  const bool copyShadow = shadow && cairo_image_surface_get_width(shadow) == cx &&
                          cairo_image_surface_get_height(shadow) == cy &&
                          cairo_image_surface_get_stride(shadow) == cx * 4;
  if (copyShadow) {
    cairo_surface_flush(shadow);
    const auto* data = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(shadow));
    out.assign(data, data + static_cast<size_t>(cx) * cy);
  } else {
    out.assign(static_cast<size_t>(cx) * cy, 0u);
  }
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      reinterpret_cast<unsigned char*>(out.data()), CAIRO_FORMAT_ARGB32, cx, cy, cx * 4);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return false;
  }
  {
    Graphics g(surface);
    if (shadow && !copyShadow) g.drawSurface(shadow, 0, 0, 1.0);
    const int s = shadowSize();
    g.save();
    g.translate(s, s);
    paint(g, h);
    g.restore();
  }
  cairo_surface_finish(surface);
  cairo_surface_destroy(surface);
  return true;
}

namespace {

// Shadows depend only on the frame's size, the shadow size (which follows the DPI), the colour
// and the corner radius: menus of one look share them. The few last made are kept, read-only.
struct CachedShadow {
  std::string key;
  std::shared_ptr<Bitmap> bitmap;
  std::shared_ptr<cairo_surface_t> surface;
};
constexpr size_t kShadowCacheEntries = 4;
constexpr uint64_t kShadowCacheBytes = uint64_t{32} << 20;
std::mutex g_shadowCacheMutex;
std::vector<CachedShadow> g_shadowCache;  // most recent last

// The straight pixels of a premultiplied surface; a shadow repeats its pixels along rows, so
// each conversion is remembered for the next pixel.
std::optional<Bitmap> straightCopy(cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  const int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  auto bitmap = Bitmap::make(w, h);
  if (!bitmap || !data) return std::nullopt;
  Argb* out = bitmap->pixels().data();
  uint32_t lastIn = 0;
  Argb lastOut = 0;
  for (int y = 0; y < h; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < w; ++x) {
      const uint32_t p = row[x];
      if (p != lastIn) {
        lastIn = p;
        lastOut = desk::gfx::unpremultiply(p);
      }
      *out++ = lastOut;
    }
  }
  return bitmap;
}

}  // namespace

void clearShadowCache() {
  std::lock_guard<std::mutex> lock(g_shadowCacheMutex);
  g_shadowCache.clear();
}

void ZrkMenu::buildShadow() {
  const int s = shadowSize();
  const Color color = shadowColor();
  const int64_t w = int64_t{width} + 2 * int64_t{s}, h = int64_t{height} + 2 * int64_t{s};
  shadowBitmap.reset();
  shadowSurface_.reset();
  if (!desk::gfx::validSize(w, h)) return;
  char sig[64];
  std::snprintf(sig, sizeof sig, "%d:%d:%d:%u:%d", width, height, s, color, borderRadius_);
  {
    std::lock_guard<std::mutex> lock(g_shadowCacheMutex);
    for (auto it = g_shadowCache.begin(); it != g_shadowCache.end(); ++it) {
      if (it->key != sig) continue;
      shadowBitmap = it->bitmap;
      shadowSurface_ = it->surface;
      std::rotate(it, it + 1, g_shadowCache.end());
      shadowSignature_ = sig;
      return;
    }
  }
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w), static_cast<int>(h));
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return;
  }
  std::printf("shadow color: 0x%08x\n", color);
  {
    Graphics g(surface);
    drawShadow(g, {double(2 * s), double(2 * s), double(width - 2 * s), double(height - 2 * s)},
               static_cast<int>(borderRadius_ * 0.5), 2, 3, static_cast<int>(2 * s * 1.5), 1.0,
               std::nullopt, toArgb(color));
  }
  auto bitmap = straightCopy(surface);
  if (!bitmap) {
    cairo_surface_destroy(surface);
    return;
  }
  shadowSurface_.reset(surface, &cairo_surface_destroy);
  shadowBitmap = std::make_shared<Bitmap>(std::move(*bitmap));
  shadowSignature_ = sig;
  const uint64_t bytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 8;
  if (bytes > kShadowCacheBytes / kShadowCacheEntries) return;
  std::lock_guard<std::mutex> lock(g_shadowCacheMutex);
  if (g_shadowCache.size() >= kShadowCacheEntries) g_shadowCache.erase(g_shadowCache.begin());
  g_shadowCache.push_back({sig, shadowBitmap, shadowSurface_});
}

}  // namespace zrkmenu
