// Text: fonts, measurement behind an interface (Pango for the program, fixed metrics for tests that
// check layout arithmetic), and drawing with Pango.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "desk/gfx/bitmap.h"

typedef struct _cairo cairo_t;

namespace desk::gfx {

struct Font {
  std::string family = "DejaVu Sans";  // fontconfig falls back to sans-serif for unknown names
  double pixelSize = 12;               // the em height in pixels
  bool bold = false;
  bool italic = false;
};

struct TextSize {
  double width = 0;
  double height = 0;
};

struct FontMetrics {
  double ascent = 0;
  double descent = 0;
  double height = 0;        // one line
  double averageWidth = 0;  // of a Latin letter
};

// Measures text laid out without wrapping; "\n" starts a new line. Text is UTF-16; lone
// surrogates measure (and draw) as U+FFFD.
class TextMeasurer {
 public:
  virtual ~TextMeasurer() = default;
  virtual TextSize measure(const Font& font, std::u16string_view text) = 0;
  virtual FontMetrics metrics(const Font& font) = 0;
};

// Pango with fontconfig, through a PangoCairo context on an image surface.
std::shared_ptr<TextMeasurer> makePangoMeasurer();

// Whole-pixel metrics for tests. With h = ceil(pixel size): a Latin (any non-CJK) character is
// ceil(h/2) wide, a CJK character h, a space ceil(h/4); a line is h high (ascent h - ceil(h/5),
// descent ceil(h/5)). A line's width is the sum of its characters'.
class FixedTextMeasurer final : public TextMeasurer {
 public:
  TextSize measure(const Font& font, std::u16string_view text) override;
  FontMetrics metrics(const Font& font) override;
  static int lineHeight(const Font& font);
  static int advance(const Font& font, char32_t c);
};

// The measurer in use (Pango unless a test installs another); null puts Pango back.
std::shared_ptr<TextMeasurer> textMeasurer();
void setTextMeasurer(std::shared_ptr<TextMeasurer> measurer);

// Draws text for drawText. The program draws with Pango; a test may install a painter whose
// output it can predict exactly.
class TextPainter {
 public:
  virtual ~TextPainter() = default;
  virtual void draw(cairo_t* cr, const Font& font, std::u16string_view text, double x, double y,
                    Argb color) = 0;
};
// Paints every character other than white space as a filled box of its FixedTextMeasurer advance
// and line height, lines one line height apart: with the fixed metrics installed, the ink of a
// text is exactly where its measured lines lie.
std::shared_ptr<TextPainter> makeBoxTextPainter();
// The painter in use (null: Pango); null puts Pango back.
void setTextPainter(std::shared_ptr<TextPainter> painter);

// Draws text with its layout box's top-left corner at (x, y), in `color`.
void drawText(cairo_t* cr, const Font& font, std::u16string_view text, double x, double y,
              Argb color);

// UTF-16 to UTF-8 for drawing: lone surrogates and NUL become U+FFFD.
std::string drawableUtf8(std::u16string_view text);

}  // namespace desk::gfx
