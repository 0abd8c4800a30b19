#include <cairo.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "desk/gdi.h"
#include "desk/layered.h"
#include "desk/gfx/bitmap.h"
#include "desk/gfx/graphics.h"
#include "desk/gfx/text.h"
#include "desk/test_services.h"

namespace {

// Before anything reads fonts: only DejaVu, and a font cache of our own.
const bool kFontsPinned = [] {
  setenv("FONTCONFIG_FILE", PEL_TEST_SOURCE_DIR "/fonts.conf", 1);
  return true;
}();

}  // namespace

namespace desk {
namespace {

using gfx::argb;
using gfx::Bitmap;

class GfxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kFontsPinned);
    objectsBefore_ = test::gdiObjectCount();
  }
  void TearDown() override {
    gfx::setTextMeasurer(nullptr);
    EXPECT_EQ(test::gdiObjectCount(), objectsBefore_) << "objects leaked";
    EXPECT_EQ(test::openDcCount(), 0u);
  }
  size_t objectsBefore_ = 0;
};

TEST_F(GfxTest, BitmapSizesAreCheckedBeforeUse) {
  EXPECT_FALSE(Bitmap::make(0, 10));
  EXPECT_FALSE(Bitmap::make(10, -1));
  EXPECT_FALSE(Bitmap::make(gfx::kMaxSide + 1, 1));
  EXPECT_FALSE(Bitmap::make(20000, 20000));  // 4e8 pixels: over the limit, no overflow
  EXPECT_FALSE(gfx::validSize(int64_t{1} << 32, int64_t{1} << 32));
  ASSERT_TRUE(Bitmap::make(3, 2, argb(255, 1, 2, 3)));
  uint32_t data[2] = {0xFF000000u, 0x80400000u};
  EXPECT_FALSE(Bitmap::fromPremultiplied(reinterpret_cast<uint8_t*>(data), 2, 1, 7));  // stride < 8
  auto b = Bitmap::fromPremultiplied(reinterpret_cast<uint8_t*>(data), 2, 1, 8);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->pixel(1, 0), argb(128, 128, 0, 0));
  EXPECT_EQ(b->pixel(5, 5), 0u);  // out of range reads give 0
}

TEST_F(GfxTest, PremultiplyingRoundTripsExactly) {
  for (unsigned a : {1u, 128u, 255u}) {
    for (unsigned p = 0; p <= a; ++p) {
      const uint32_t premultiplied = (a << 24) | (p << 16) | (p << 8) | p;
      ASSERT_EQ(gfx::premultiply(gfx::unpremultiply(premultiplied)), premultiplied) << a << " " << p;
    }
  }
  for (unsigned c = 0; c <= 255; ++c) {
    ASSERT_EQ(gfx::unpremultiply(gfx::premultiply(argb(255, c, c, c))), argb(255, c, c, c));
  }
  EXPECT_EQ(gfx::premultiply(argb(128, 255, 0, 100)), 0x80800032u);
  EXPECT_EQ(gfx::premultiply(argb(0, 255, 255, 255)), 0u);
  // Through a Cairo surface and back.
  auto b = Bitmap::make(4, 1);
  b->setPixel(0, 0, argb(255, 10, 20, 30));
  b->setPixel(1, 0, argb(128, 0, 255, 128));
  b->setPixel(2, 0, argb(1, 255, 255, 255));
  cairo_surface_t* s = b->toSurface();
  auto back = Bitmap::fromSurface(s);
  cairo_surface_destroy(s);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixel(0, 0), argb(255, 10, 20, 30));
  EXPECT_EQ(back->pixel(1, 0), argb(128, 0, 255, 128));
  EXPECT_EQ(back->pixel(2, 0), argb(1, 255, 255, 255));
  EXPECT_EQ(back->pixel(3, 0), 0u);
}

TEST_F(GfxTest, RoundedRectangleWithABorder) {
  auto b = Bitmap::make(40, 30);
  {
    gfx::Graphics g(*b);
    gfx::Path path;
    path.addRoundedRect({0.5, 0.5, 39, 29}, 6);
    g.fillPath(path, argb(255, 0, 0, 255));
    g.strokePath(path, gfx::Pen{argb(255, 255, 0, 0), 1.0, false});
  }
  EXPECT_EQ(b->pixel(20, 15), argb(255, 0, 0, 255));  // centre
  EXPECT_EQ(gfx::alphaOf(b->pixel(0, 0)), 0u);        // outside the corner's arc
  EXPECT_EQ(gfx::alphaOf(b->pixel(39, 29)), 0u);
  EXPECT_EQ(b->pixel(20, 0), argb(255, 255, 0, 0));   // the border, whole pixels along the edges
  EXPECT_EQ(b->pixel(0, 15), argb(255, 255, 0, 0));
  EXPECT_EQ(b->pixel(39, 15), argb(255, 255, 0, 0));
  EXPECT_EQ(b->pixel(20, 1), argb(255, 0, 0, 255));   // inside the border: the fill
  const unsigned cornerAlpha = gfx::alphaOf(b->pixel(1, 1));  // the arc: partly covered
  EXPECT_GT(cornerAlpha, 0u);
  EXPECT_LT(cornerAlpha, 255u);
}

TEST_F(GfxTest, OpacityRotationAndImages) {
  auto src = Bitmap::make(2, 2, argb(255, 0, 200, 0));
  auto b = Bitmap::make(10, 10);
  {
    gfx::Graphics g(*b);
    g.drawImage(*src, {0, 0, 10, 10}, 0.5, true);
  }
  EXPECT_EQ(gfx::alphaOf(b->pixel(5, 5)), 128u);
  EXPECT_NEAR(gfx::greenOf(b->pixel(5, 5)), 200u, 1u);  // 200 at alpha 128 keeps 7 bits
  auto c = Bitmap::make(20, 20);
  {
    gfx::Graphics g(*c);
    g.clear(argb(255, 255, 255, 255));
    g.save();
    g.translate(10, 10);
    g.rotate(90);  // a bar along +x turns to +y
    g.fillRectangle({0, -1, 8, 2}, argb(255, 0, 0, 0));
    g.restore();
  }
  EXPECT_EQ(c->pixel(10, 15), argb(255, 0, 0, 0));
  EXPECT_EQ(c->pixel(15, 10), argb(255, 255, 255, 255));
}

TEST_F(GfxTest, TextStaysInsideItsMeasuredBox) {
  struct Case {
    const char* label;
    std::u16string text;
    gfx::Font font;
  };
  gfx::Font bold;
  bold.pixelSize = 15;
  bold.bold = true;
  const std::vector<Case> cases = {
      {"Latin", u"Hello, World", gfx::Font{}},
      {"bold, descenders", u"Quickly jumping", bold},
      {"two lines", u"top\nbottom gy", gfx::Font{}},
      {"lone surrogates", std::u16string(u"A") + char16_t(0xD800) + u"B" + char16_t(0xDC00), gfx::Font{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto b = Bitmap::make(260, 90);
    gfx::TextSize size;
    {
      gfx::Graphics g(*b);
      size = g.measureString(c.text, c.font);
      g.drawString(c.text, c.font, {10, 10}, argb(255, 0, 0, 0));
    }
    ASSERT_GT(size.width, 0);
    ASSERT_GT(size.height, 0);
    int inked = 0;
    for (int y = 0; y < b->height(); ++y) {
      for (int x = 0; x < b->width(); ++x) {
        if (gfx::alphaOf(b->pixel(x, y)) == 0) continue;
        ++inked;
        EXPECT_TRUE(x >= 10 && x < 10 + size.width && y >= 10 && y < 10 + size.height)
            << "ink at " << x << "," << y;
      }
    }
    EXPECT_GT(inked, 20);
  }
  // A lone surrogate measures as the replacement character, not as nothing.
  auto m = gfx::textMeasurer();
  EXPECT_EQ(m->measure(gfx::Font{}, std::u16string(u"A") + char16_t(0xD800)).width,
            m->measure(gfx::Font{}, u"A\uFFFD").width);
}

TEST_F(GfxTest, FixedMetrics) {
  gfx::FixedTextMeasurer m;
  gfx::Font f;
  f.pixelSize = 12;
  EXPECT_EQ(m.measure(f, u"Ab").width, 12);
  EXPECT_EQ(m.measure(f, u" ").width, 3);
  EXPECT_EQ(m.measure(f, u"\u6F22\u5B57").width, 24);
  const char16_t beyond[] = {0xD842, 0xDFB7, 0};
  EXPECT_EQ(m.measure(f, beyond).width, 12);  // a CJK character beyond the BMP
  const gfx::TextSize lines = m.measure(f, u"a\nbcd");
  EXPECT_EQ(lines.width, 18);
  EXPECT_EQ(lines.height, 24);
  f.pixelSize = 11.2;  // h = 12
  EXPECT_EQ(m.measure(f, u"x y").width, 15);
  f.pixelSize = 13;  // Latin 7, space 4
  EXPECT_EQ(m.measure(f, u"x y").width, 18);
}

HFONT fontOf(int height) {
  LOGFONTW lf;
  lf.lfHeight = -height;
  return CreateFontIndirectW(&lf);
}

TEST_F(GfxTest, DrawTextMeasuresAndBreaksLines) {
  gfx::setTextMeasurer(std::make_shared<gfx::FixedTextMeasurer>());
  HDC dc = CreateCompatibleDC(nullptr);
  HFONT font = fontOf(12);  // Latin 6, space 3, line 12
  HGDIOBJ oldFont = SelectObject(dc, font);
  struct Case {
    const char* label;
    std::u16string text;
    int width;  // of the rectangle given
    UINT format;
    int right;  // expected, from left 0
    int bottom;
  };
  const UINT wrap = DT_CALCRECT | DT_WORDBREAK;
  const std::vector<Case> cases = {
      {"fits exactly", u"aaa bbb ccc", 60, wrap, 60, 12},
      {"one short: breaks", u"aaa bbb ccc", 59, wrap, 39, 24},
      {"narrow: a word a line", u"aaa bbb ccc", 20, wrap, 18, 36},
      {"a word wider than the box stands alone", u"abcdefghij k", 30, wrap, 60, 24},
      {"blanks at the break are not counted", u"aaa     bbb", 30, wrap, 18, 24},
      {"newlines", u"ab\r\ncd\nefgh", 200, wrap, 24, 36},
      {"single line: a line end counts as a blank", u"ab\ncd", 200, DT_CALCRECT | DT_SINGLELINE, 27, 12},
      {"prefix", u"&File", 200, DT_CALCRECT | DT_SINGLELINE, 24, 12},
      {"no prefix", u"&File", 200, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX, 30, 12},
      {"doubled ampersand", u"a&&b", 200, DT_CALCRECT | DT_SINGLELINE, 18, 12},
      {"empty text is one line", u"", 200, DT_CALCRECT, 0, 12},
      {"CJK", u"\u6F22\u5B57 ab", 200, wrap, 39, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RECT r{0, 0, c.width, 0};
    const int height = DrawTextW(dc, c.text.c_str(), -1, &r, c.format);
    EXPECT_EQ(r.right, c.right);
    EXPECT_EQ(r.bottom, c.bottom);
    EXPECT_EQ(height, c.bottom);
  }
  // An explicit count stops early (embedded NUL included).
  RECT r{0, 0, 100, 0};
  EXPECT_EQ(DrawTextW(dc, u"ab\0cd", 5, &r, DT_CALCRECT | DT_SINGLELINE), 12);
  EXPECT_EQ(r.right, 30);
  SIZE size;
  ASSERT_TRUE(GetTextExtentPoint32W(dc, u"abc", 3, &size));
  EXPECT_EQ(size.cx, 18);
  EXPECT_EQ(size.cy, 12);
  ASSERT_TRUE(GetTextExtentPoint32W(dc, nullptr, 0, &size));
  EXPECT_EQ(size.cx, 0);
  EXPECT_EQ(size.cy, 12);
  EXPECT_FALSE(GetTextExtentPoint32W(dc, u"abc", -1, &size));
  TEXTMETRICW tm;
  ASSERT_TRUE(GetTextMetricsW(dc, &tm));
  EXPECT_EQ(tm.tmHeight, 12);
  EXPECT_EQ(tm.tmAscent + tm.tmDescent, 12);
  EXPECT_EQ(tm.tmAveCharWidth, 6);
  EXPECT_EQ(tm.tmWeight, FW_NORMAL);
  // The font reads back as it was made; a selected font cannot be deleted.
  LOGFONTW back;
  EXPECT_EQ(GetObjectW(font, sizeof back, &back), static_cast<int>(sizeof back));
  EXPECT_EQ(back.lfHeight, -12);
  EXPECT_FALSE(DeleteObject(font));
  EXPECT_EQ(SelectObject(dc, oldFont), reinterpret_cast<HGDIOBJ>(font));
  EXPECT_TRUE(DeleteObject(font));
  EXPECT_FALSE(DeleteObject(font));
  EXPECT_FALSE(DeleteObject(GetStockObject(WHITE_BRUSH)));
  EXPECT_TRUE(DeleteDC(dc));
}

TEST_F(GfxTest, WindowDcsDrawIntoTheWindowsBitmapAndRecord) {
  HWND hwnd = reinterpret_cast<HWND>(0x7700);
  test::setWindowClientSize(hwnd, 50, 40);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(ps.rcPaint, (RECT{0, 0, 50, 40}));
  HBRUSH fill = CreateSolidBrush(RGB(0, 128, 0));
  const RECT all{0, 0, 50, 40};
  EXPECT_TRUE(FillRect(dc, &all, fill));
  // Rectangle: the DC's brush inside, a 1-px pen around.
  HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 0, 0));
  HBRUSH inside = CreateSolidBrush(RGB(0, 0, 255));
  HGDIOBJ oldPen = SelectObject(dc, pen);
  HGDIOBJ oldBrush = SelectObject(dc, inside);
  EXPECT_TRUE(Rectangle(dc, 10, 10, 20, 20));
  const RECT focus{30, 5, 40, 15};
  EXPECT_TRUE(DrawFocusRect(dc, &focus));
  // A system colour brush.
  const RECT corner{45, 35, 50, 40};
  EXPECT_TRUE(FillRect(dc, &corner, reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_HIGHLIGHT + 1))));
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  EXPECT_EQ(test::dcOps(dc).size(), 4u);
  EXPECT_TRUE(EndPaint(hwnd, &ps));

  auto b = test::windowBitmap(hwnd);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->pixel(2, 2), argb(255, 0, 128, 0));
  EXPECT_EQ(b->pixel(10, 10), argb(255, 255, 0, 0));  // the border's pixels
  EXPECT_EQ(b->pixel(19, 15), argb(255, 255, 0, 0));
  EXPECT_EQ(b->pixel(15, 15), argb(255, 0, 0, 255));  // inside
  EXPECT_EQ(b->pixel(20, 15), argb(255, 0, 128, 0));  // right is exclusive
  EXPECT_EQ(b->pixel(30, 5), argb(255, 255, 127, 255));  // inverted green
  EXPECT_EQ(b->pixel(31, 5), argb(255, 0, 128, 0));
  EXPECT_EQ(b->pixel(47, 37), argb(255, 0, 120, 215));
  const auto ops = test::drawOps(hwnd);
  ASSERT_EQ(ops.size(), 4u);
  EXPECT_EQ(ops[1].kind, "Rectangle");
  EXPECT_EQ(ops[1].rect, (RECT{10, 10, 20, 20}));
  EXPECT_EQ(ops[1].color, RGB(0, 0, 255));
  EXPECT_EQ(ops[1].border, RGB(255, 0, 0));
  EXPECT_EQ(ops[1].penWidth, 1);

  // The focus frame inverts: drawn again, it is gone.
  HDC again = GetDC(hwnd);
  DrawFocusRect(again, &focus);
  ReleaseDC(hwnd, again);
  EXPECT_EQ(test::windowBitmap(hwnd)->pixel(30, 5), argb(255, 0, 128, 0));

  EXPECT_TRUE(DeleteObject(fill));
  EXPECT_TRUE(DeleteObject(pen));
  EXPECT_TRUE(DeleteObject(inside));
  test::forgetWindowDrawing(hwnd);
}

TEST_F(GfxTest, WindowTextIsDrawnInsideItsRectangle) {
  HWND hwnd = reinterpret_cast<HWND>(0x7704);
  test::setWindowClientSize(hwnd, 120, 40);
  HDC dc = GetDC(hwnd);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  HFONT font = fontOf(14);
  HGDIOBJ old = SelectObject(dc, font);
  RECT box{5, 5, 115, 35};
  RECT measured = box;
  DrawTextW(dc, u"Save changes?", -1, &measured, DT_CALCRECT | DT_WORDBREAK);
  EXPECT_GT(measured.right, measured.left);
  DrawTextW(dc, u"Save changes?", -1, &box, DT_WORDBREAK);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  DeleteObject(font);
  auto b = test::windowBitmap(hwnd);
  int inked = 0;
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 120; ++x) {
      if (gfx::alphaOf(b->pixel(x, y)) == 0) continue;
      ++inked;
      EXPECT_TRUE(x >= measured.left && x < measured.right && y >= measured.top && y < measured.bottom)
          << x << "," << y;
    }
  }
  EXPECT_GT(inked, 30);
  test::forgetWindowDrawing(hwnd);
}

TEST_F(GfxTest, RegionsBelongToTheirWindow) {
  HWND hwnd = reinterpret_cast<HWND>(0x7708);
  const size_t before = test::gdiObjectCount();
  HRGN first = CreateRoundRectRgn(2, 2, 98, 48, 8, 8);
  ASSERT_EQ(SetWindowRgn(hwnd, first, 1), 1);
  EXPECT_FALSE(DeleteObject(first));  // the window owns it
  auto region = test::windowRegion(hwnd);
  ASSERT_TRUE(region);
  EXPECT_EQ(region->rect, (RECT{2, 2, 98, 48}));
  EXPECT_EQ(region->ellipseWidth, 8);
  HRGN second = CreateRoundRectRgn(0, 0, 10, 10, 4, 4);
  ASSERT_EQ(SetWindowRgn(hwnd, second, 1), 1);
  EXPECT_EQ(test::gdiObjectCount(), before + 1);  // the first went with the replacement
  ASSERT_EQ(SetWindowRgn(hwnd, nullptr, 1), 1);
  EXPECT_FALSE(test::windowRegion(hwnd));
  EXPECT_EQ(test::gdiObjectCount(), before);
}

TEST_F(GfxTest, NonClientMetrics) {
  NONCLIENTMETRICSW m;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0));
  EXPECT_EQ(m.lfMessageFont.lfHeight, -12);
  EXPECT_EQ(std::u16string(m.lfMessageFont.lfFaceName), u"DejaVu Sans");
  EXPECT_EQ(m.iPaddedBorderWidth, 4);
  NONCLIENTMETRICSW old;
  old.cbSize = sizeof old - sizeof(int);
  old.iPaddedBorderWidth = 77;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, old.cbSize, &old, 0));
  EXPECT_EQ(old.iPaddedBorderWidth, 77);  // not written: the older record has no such field
  EXPECT_FALSE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, 12, &m, 0));
  EXPECT_EQ(MulDiv(9, 96, 72), 12);
  EXPECT_EQ(MulDiv(-9, 96, 72), -12);
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
}

TEST_F(GfxTest, LayeredFramesComeFromTheMemoryDcsBitmap) {
  std::vector<std::pair<HWND, detail::Frame>> pushed;
  detail::setFrameSink([&](HWND hwnd, const detail::Frame& frame) {
    pushed.emplace_back(hwnd, frame);
    return true;
  });
  HWND hwnd = reinterpret_cast<HWND>(0x7710);
  HDC dc = CreateCompatibleDC(nullptr);
  EXPECT_FALSE(UpdateLayeredWindow(hwnd, nullptr, nullptr, nullptr, dc, nullptr, 0, nullptr, ULW_ALPHA));
  HBITMAP bitmap = CreateCompatibleBitmap(dc, 8, 4);
  HGDIOBJ old = SelectObject(dc, bitmap);
  HBRUSH brush = CreateSolidBrush(RGB(255, 0, 0));
  const RECT left{0, 0, 4, 4};
  FillRect(dc, &left, brush);
  const POINT at{100, 50};
  const SIZE size{6, 4};
  const POINT from{2, 0};
  BLENDFUNCTION blend;
  blend.SourceConstantAlpha = 200;
  ASSERT_TRUE(UpdateLayeredWindow(hwnd, nullptr, &at, &size, dc, &from, 0, &blend, ULW_ALPHA));
  ASSERT_EQ(pushed.size(), 1u);
  const detail::Frame& f = pushed[0].second;
  EXPECT_EQ(f.width, 6);
  EXPECT_EQ(f.height, 4);
  EXPECT_EQ(f.position.x, 100);
  EXPECT_EQ(f.alpha, 200);
  EXPECT_EQ(f.pixels[0], 0xFFFF0000u);  // red, opaque
  EXPECT_EQ(f.pixels[2], 0u);           // transparent where nothing was drawn
  const SIZE tooBig{7, 4};
  EXPECT_FALSE(UpdateLayeredWindow(hwnd, nullptr, &at, &tooBig, dc, &from, 0, &blend, ULW_ALPHA));
  EXPECT_EQ(pushed.size(), 1u);
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteObject(brush);
  DeleteDC(dc);
  detail::setFrameSink(nullptr);
}

TEST_F(GfxTest, PngOut) {
  auto b = Bitmap::make(3, 3, argb(255, 10, 20, 30));
  b->setPixel(0, 0, argb(0, 0, 0, 0));
  const std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                           "/desk-gfx-" + std::to_string(getpid()) + ".png";
  ASSERT_TRUE(b->writePng(path));
  cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
  auto back = Bitmap::fromSurface(s);
  cairo_surface_destroy(s);
  std::remove(path.c_str());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixel(1, 1), argb(255, 10, 20, 30));
  EXPECT_EQ(back->pixel(0, 0), 0u);
  EXPECT_FALSE(Bitmap().writePng(path));
}

}  // namespace
}  // namespace desk
