#include "desk/gfx/text.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "desk/detail/codec.h"

namespace desk::gfx {

namespace {

bool isCjk(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
         (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

PangoFontDescription* describe(const Font& font) {
  PangoFontDescription* d = pango_font_description_new();
  pango_font_description_set_family(d, font.family.empty() ? "Sans" : font.family.c_str());
  const double size = font.pixelSize > 0 && font.pixelSize < 10000 ? font.pixelSize : 12;
  pango_font_description_set_absolute_size(d, size * PANGO_SCALE);
  pango_font_description_set_weight(d, font.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(d, font.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  return d;
}

// Same hinting and antialiasing everywhere, so measurement and drawing agree.
void setFontOptions(PangoContext* context) {
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  pango_cairo_context_set_font_options(context, options);
  cairo_font_options_destroy(options);
}

PangoLayout* makeLayout(cairo_t* cr, const Font& font, std::u16string_view text) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  setFontOptions(pango_layout_get_context(layout));
  pango_layout_context_changed(layout);
  PangoFontDescription* d = describe(font);
  pango_layout_set_font_description(layout, d);
  pango_font_description_free(d);
  const std::string utf8 = drawableUtf8(text);
  pango_layout_set_text(layout, utf8.data(), static_cast<int>(utf8.size()));
  return layout;
}

class PangoMeasurer final : public TextMeasurer {
 public:
  PangoMeasurer() {
    surface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cr_ = cairo_create(surface_);
  }
  ~PangoMeasurer() override {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
  }

  TextSize measure(const Font& font, std::u16string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    PangoLayout* layout = makeLayout(cr_, font, text);
    PangoRectangle ink, logical;
    pango_layout_get_pixel_extents(layout, &ink, &logical);
    g_object_unref(layout);
    // The logical box, grown where a glyph's ink reaches past it (an overhanging last glyph), so
    // that text drawn in a measured box is never cut off.
    double right = logical.x + logical.width, bottom = logical.y + logical.height;
    if (ink.width > 0 && ink.height > 0) {
      right = std::max<double>(right, ink.x + ink.width);
      bottom = std::max<double>(bottom, ink.y + ink.height);
    }
    return TextSize{right, bottom};
  }

  FontMetrics metrics(const Font& font) override {
    std::lock_guard<std::mutex> lock(mutex_);
    PangoLayout* layout = makeLayout(cr_, font, u"x");
    PangoContext* context = pango_layout_get_context(layout);
    PangoFontDescription* d = describe(font);
    PangoFontMetrics* m = pango_context_get_metrics(context, d, nullptr);
    FontMetrics out;
    out.ascent = std::ceil(pango_font_metrics_get_ascent(m) / double(PANGO_SCALE));
    out.descent = std::ceil(pango_font_metrics_get_descent(m) / double(PANGO_SCALE));
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    out.height = logical.height;
    out.averageWidth = std::ceil(pango_font_metrics_get_approximate_char_width(m) / double(PANGO_SCALE));
    pango_font_metrics_unref(m);
    pango_font_description_free(d);
    g_object_unref(layout);
    return out;
  }

 private:
  std::mutex mutex_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
};

std::mutex& slotMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<TextMeasurer>& slot() {
  static std::shared_ptr<TextMeasurer> s;
  return s;
}

}  // namespace

std::string drawableUtf8(std::u16string_view text) {
  std::u16string clean(text);
  for (char16_t& c : clean) {
    if (c == 0) c = 0xFFFD;
  }
  return detail::utf16ToUtf8(clean);
}

std::shared_ptr<TextMeasurer> makePangoMeasurer() { return std::make_shared<PangoMeasurer>(); }

int FixedTextMeasurer::lineHeight(const Font& font) {
  const double size = font.pixelSize > 0 && font.pixelSize < 10000 ? font.pixelSize : 12;
  return static_cast<int>(std::ceil(size));
}

int FixedTextMeasurer::advance(const Font& font, char32_t c) {
  const int h = lineHeight(font);
  if (c == U' ') return (h + 3) / 4;
  if (isCjk(c)) return h;
  return (h + 1) / 2;
}

TextSize FixedTextMeasurer::measure(const Font& font, std::u16string_view text) {
  const std::u32string chars = detail::utf16ToUtf32(text);
  int widest = 0, line = 0, lines = 1;
  for (char32_t c : chars) {
    if (c == U'\n') {
      widest = std::max(widest, line);
      line = 0;
      ++lines;
      continue;
    }
    line += advance(font, c);
  }
  widest = std::max(widest, line);
  return TextSize{static_cast<double>(widest), static_cast<double>(lines * lineHeight(font))};
}

FontMetrics FixedTextMeasurer::metrics(const Font& font) {
  const int h = lineHeight(font);
  const int descent = (h + 4) / 5;
  return FontMetrics{static_cast<double>(h - descent), static_cast<double>(descent),
                     static_cast<double>(h), static_cast<double>((h + 1) / 2)};
}

std::shared_ptr<TextMeasurer> textMeasurer() {
  std::lock_guard<std::mutex> lock(slotMutex());
  if (!slot()) slot() = makePangoMeasurer();
  return slot();
}

void setTextMeasurer(std::shared_ptr<TextMeasurer> measurer) {
  std::lock_guard<std::mutex> lock(slotMutex());
  slot() = std::move(measurer);
}

namespace {

class BoxTextPainter final : public TextPainter {
 public:
  void draw(cairo_t* cr, const Font& font, std::u16string_view text, double x, double y,
            Argb color) override {
    cairo_save(cr);
    cairo_set_source_rgba(cr, redOf(color) / 255.0, greenOf(color) / 255.0,
                          blueOf(color) / 255.0, alphaOf(color) / 255.0);
    const int h = FixedTextMeasurer::lineHeight(font);
    double cx = x, cy = y;
    for (char32_t c : detail::utf16ToUtf32(text)) {
      if (c == U'\n') {
        cx = x;
        cy += h;
        continue;
      }
      const int w = FixedTextMeasurer::advance(font, c);
      if (c != U' ' && c != U'\t' && c != U'\r') {
        cairo_rectangle(cr, cx, cy, w, h);
        cairo_fill(cr);
      }
      cx += w;
    }
    cairo_restore(cr);
  }
};

std::mutex& painterMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<TextPainter>& painterSlot() {
  static std::shared_ptr<TextPainter> s;
  return s;
}

}  // namespace

std::shared_ptr<TextPainter> makeBoxTextPainter() { return std::make_shared<BoxTextPainter>(); }

void setTextPainter(std::shared_ptr<TextPainter> painter) {
  std::lock_guard<std::mutex> lock(painterMutex());
  painterSlot() = std::move(painter);
}

void drawText(cairo_t* cr, const Font& font, std::u16string_view text, double x, double y,
              Argb color) {
  std::shared_ptr<TextPainter> painter;
  {
    std::lock_guard<std::mutex> lock(painterMutex());
    painter = painterSlot();
  }
  if (painter) {
    painter->draw(cr, font, text, x, y, color);
    return;
  }
  cairo_save(cr);
  cairo_set_source_rgba(cr, redOf(color) / 255.0, greenOf(color) / 255.0, blueOf(color) / 255.0,
                        alphaOf(color) / 255.0);
  PangoLayout* layout = makeLayout(cr, font, text);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  cairo_restore(cr);
}

}  // namespace desk::gfx
