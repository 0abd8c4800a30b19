#include <cairo.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "zrkmenu/common.h"

namespace zrkmenu {
namespace {

using desk::gfx::alphaOf;
using desk::gfx::Bitmap;
using desk::gfx::blueOf;
using desk::gfx::greenOf;
using desk::gfx::redOf;
using testing::MenuTest;
using testing::row;
using testing::separator;

class MenuDrawing : public MenuTest {};

TEST_F(MenuDrawing, MeasureTableAtTwoDpis) {
  useFixedText();
  auto sub = std::make_shared<ZrkMenu>(true);
  struct Case {
    const char* name;
    int dpi;
    std::function<void(ZrkMenu&)> fill;
    int width, height;
    bool check, icon;
  };
  // Fixed metrics: at 10 px a character is 5 wide, at 15 px 8 wide.
  const Case cases[] = {
      {"plain", 96, [](ZrkMenu& m) { m.appendItem(row("a", "abcd")); }, 40 + 20, 40, false, false},
      {"plain", 144, [](ZrkMenu& m) { m.appendItem(row("a", "abcd")); }, 60 + 32, 60, false, false},
      {"separator", 96,
       [](ZrkMenu& m) {
         m.appendItem(row("a", "ab"));
         m.appendItem(separator());
       },
       50, 60, false, false},
      {"separator", 144, [](ZrkMenu& m) { m.appendItem(separator()); }, 60, 30, false, false},
      {"check column", 96,
       [](ZrkMenu& m) {
         m.appendItem(row("a", "abcd"));
         m.appendItem(row("b", "ab"))->checkMark = 2;
       },
       40 + 37 + 20, 80, true, false},
      {"check and icon", 96,
       [](ZrkMenu& m) {
         m.appendItem(row("a", "abcd"))->checkMark = 1;
         m.appendItem(row("b", "ab"))->altIconText = "x";
       },
       40 + 37 + 42 + 20, 80, true, true},
      {"submenu", 96,
       [sub](ZrkMenu& m) {
         m.appendItem(row("a", "abcd"));
         m.appendItem(row("b", "abcd"))->submenu = sub;
       },
       40 + 37 + 20, 80, false, false},
      {"accelerator", 96,
       [](ZrkMenu& m) {
         auto item = m.appendItem(row("a", "abcd"));
         item->accelerator = std::make_shared<desk::ACCEL>(
             desk::ACCEL{desk::FVIRTKEY | desk::FCONTROL, 'S', 0});
       },
       // "Ctrl+S" is measured with the row's font, then the gap.
       40 + 20 + 30 + 5, 40, false, false},
      {"not utf-8", 96, [](ZrkMenu& m) { m.appendItem(row("a", "ab\xff")); }, 40, 40, false,
       false},
      {"empty", 96, [](ZrkMenu&) {}, 0, 0, false, false},
  };
  for (const Case& c : cases) {
    ZrkMenu menu;
    menu.setDpi(c.dpi);
    c.fill(menu);
    menu.measure();
    EXPECT_EQ(menu.width, c.width) << c.name << " at " << c.dpi;
    EXPECT_EQ(menu.height, c.height) << c.name << " at " << c.dpi;
    EXPECT_EQ(menu.hasCheckColumn, c.check) << c.name;
    EXPECT_EQ(menu.hasIconColumn, c.icon) << c.name;
  }
}

TEST_F(MenuDrawing, MeasuringIsRedoneOnlyAfterAChange) {
  useFixedText();
  ZrkMenu menu;
  menu.appendItem(row("a", "abcd"));
  EXPECT_TRUE(menu.needsMeasure());
  menu.measure();
  EXPECT_FALSE(menu.needsMeasure());
  menu.items[0]->text = "abcdef";
  EXPECT_TRUE(menu.needsMeasure());
  menu.measure();
  menu.setItemHeight(50);
  EXPECT_TRUE(menu.needsMeasure());
  menu.measure();
  menu.setTextColor(0xff0000ff);  // colours do not change the layout
  EXPECT_FALSE(menu.needsMeasure());
}

// The blur of one channel line by the plain weighted sum.
std::vector<int> referenceLine(const std::vector<int>& v, int r) {
  const int n = static_cast<int>(v.size());
  const uint64_t mul = stackBlurMultiplier(r);
  const unsigned shg = stackBlurShift(r);
  std::vector<int> out(n);
  for (int x = 0; x < n; ++x) {
    uint64_t sum = 0;
    for (int i = -r; i <= r; ++i) sum += uint64_t(r + 1 - std::abs(i)) * v[std::clamp(x + i, 0, n - 1)];
    out[x] = static_cast<int>((sum * mul) >> shg);
  }
  return out;
}

TEST_F(MenuDrawing, StackBlurMatchesThePlainSum) {
  EXPECT_EQ(stackBlurMultiplier(2), 456);
  EXPECT_EQ(stackBlurShift(2), 12);
  EXPECT_EQ(stackBlurMultiplier(254), 259);
  EXPECT_EQ(stackBlurShift(254), 24);
  EXPECT_EQ(stackBlurMultiplier(4), 328);
  EXPECT_EQ(stackBlurShift(4), 13);
  EXPECT_EQ(stackBlurMultiplier(22), 496);
  EXPECT_EQ(stackBlurShift(22), 18);
  EXPECT_EQ(stackBlurMultiplier(0), 456) << "radii below 3 blur as 2";
  EXPECT_EQ(stackBlurMultiplier(999), 259);

  std::mt19937 rng(7);
  struct Size {
    int w, h, stride, r, effective;
  };
  for (Size s : {Size{7, 5, 28, 2, 2}, Size{3, 9, 16, 3, 3}, Size{1, 1, 4, 0, 2},
                 Size{5, 4, 24, 6, 6}}) {
    std::vector<uint8_t> px(static_cast<size_t>(s.stride) * s.h, 0xEE);
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w * 4; ++x) px[y * s.stride + x] = static_cast<uint8_t>(rng());
    std::vector<uint8_t> expected = px;
    for (int c = 0; c < 4; ++c) {
      std::vector<std::vector<int>> mid(s.h);
      for (int y = 0; y < s.h; ++y) {
        std::vector<int> line(s.w);
        for (int x = 0; x < s.w; ++x) line[x] = px[y * s.stride + x * 4 + c];
        mid[y] = referenceLine(line, s.effective);
      }
      for (int x = 0; x < s.w; ++x) {
        std::vector<int> col(s.h);
        for (int y = 0; y < s.h; ++y) col[y] = mid[y][x];
        auto out = referenceLine(col, s.effective);
        for (int y = 0; y < s.h; ++y) expected[y * s.stride + x * 4 + c] = static_cast<uint8_t>(out[y]);
      }
    }
    stackBlur(px.data(), s.w, s.h, s.stride, s.r);
    EXPECT_EQ(px, expected) << s.w << "x" << s.h << " radius " << s.r;
  }
  // A flat image stays flat (the tables keep full values full).
  std::vector<uint8_t> flat(10 * 10 * 4, 255);
  stackBlur(flat.data(), 10, 10, 40, 5);
  EXPECT_EQ(*std::min_element(flat.begin(), flat.end()), 255);
}

TEST_F(MenuDrawing, ShadowLiesFourRightAndSixDown) {
  auto bitmap = Bitmap::make(120, 100);
  ASSERT_TRUE(bitmap);
  {
    desk::gfx::Graphics g(*bitmap);
    drawShadow(g, {20, 20, 40, 30}, 0, 2, 3, 4, 1.0, std::nullopt, 0xff000000u);
  }
  // Where the alpha crosses half along the middle row and column.
  auto crossing = [&](bool horizontal, int fixed, int from, int to) {
    for (int i = from; i != to; i += (to > from ? 1 : -1)) {
      const int a = alphaOf(horizontal ? bitmap->pixel(i, fixed) : bitmap->pixel(fixed, i));
      if (a >= 128) return i;
    }
    return -1;
  };
  const int left = crossing(true, 41, 0, 120), right = crossing(true, 41, 119, 0);
  const int top = crossing(false, 44, 0, 100), bottom = crossing(false, 44, 99, 0);
  EXPECT_NEAR(left, 24, 1);
  EXPECT_NEAR(right, 63, 1);
  EXPECT_NEAR(top, 26, 1);
  EXPECT_NEAR(bottom, 55, 1);
  EXPECT_EQ(alphaOf(bitmap->pixel(44, 41)), 255u);
  EXPECT_EQ(alphaOf(bitmap->pixel(5, 5)), 0u);
}

struct Probe {
  Bitmap frame;
  int s;
};

class MenuFrames : public MenuTest {
 protected:
  void SetUp() override {
    MenuTest::SetUp();
    sub_ = std::make_shared<ZrkMenu>(true);
    sub_->appendItem(row("inner"));
    menu_.setHighlightColor(0xff00ff00);    // opaque green
    menu_.setSeparatorColor(0xff0000ff);    // opaque red
    menu_.setDisabledTextColor(0xffff0000);  // opaque blue
    menu_.setBorderColor(0xff000000);
    menu_.appendItem(row("open", "Open"));               // 0..40, highlighted
    menu_.appendItem(separator());                       // 40..60
    menu_.appendItem(row("check", "Checked"))->checkMark = 1;  // 60..100
    menu_.appendItem(row("sub", "More"))->submenu = sub_;      // 100..140
    menu_.appendItem(row("off", "Disabled"))->disabled = true;  // 140..180
    menu_.measure();
    menu_.hoverIndex = 0;
  }
  Bitmap render(int h) {
    const int s = shadowSize();
    auto frame = Bitmap::make(menu_.width + 2 * s, menu_.height + 2 * s);
    EXPECT_TRUE(frame);
    menu_.buildShadow();
    menu_.render(*frame, h, false);
    return std::move(*frame);
  }
  // Whether some pixel in the box (content coordinates) satisfies `pred`.
  bool any(const Bitmap& f, int x, int y, int w, int h, std::function<bool(uint32_t)> pred) {
    const int s = shadowSize();
    for (int yy = y; yy < y + h; ++yy)
      for (int xx = x; xx < x + w; ++xx)
        if (pred(f.pixel(xx + s, yy + s))) return true;
    return false;
  }
  ZrkMenu menu_;
  std::shared_ptr<ZrkMenu> sub_;
};

TEST_F(MenuFrames, PixelProbes) {
  const Bitmap f = render(menu_.height);
  f.writePng("zrkmenu_frame.png");
  const int s = 14, w = menu_.width;
  auto at = [&](int x, int y) { return f.pixel(x + s, y + s); };
  EXPECT_EQ(at(w - 3, 70), 0xffffffffu) << "background";
  EXPECT_EQ(at(w - 3, 20), 0xff00ff00u) << "highlight";
  const uint32_t sep = at(w / 2, 49);
  EXPECT_GT(int(redOf(sep)), int(blueOf(sep)) + 60) << "separator line";
  EXPECT_EQ(at(w / 2, 44), 0xffffffffu);
  // Check mark: icon 32, box of 10 at (20 + 11, 60 + 15).
  EXPECT_TRUE(any(f, 31, 75, 11, 11, [](uint32_t p) { return redOf(p) < 128; })) << "check";
  EXPECT_FALSE(any(f, 1, 62, 15, 36, [](uint32_t p) { return redOf(p) < 200; }));
  // Chevron: 6 by 12 at (width - 20 - 6, 100 + 14).
  EXPECT_TRUE(any(f, w - 26, 114, 7, 13, [](uint32_t p) { return redOf(p) < 128; })) << "chevron";
  // Label of the check row starts after the check column (20 + 37).
  EXPECT_FALSE(any(f, 44, 62, 12, 36, [](uint32_t p) { return redOf(p) < 128; }));
  EXPECT_TRUE(any(f, 57, 62, 10, 36, [](uint32_t p) { return redOf(p) < 128; })) << "label";
  // The disabled row is blue.
  EXPECT_TRUE(any(f, 57, 142, w - 60, 36, [](uint32_t p) {
    return blueOf(p) > 200 && redOf(p) < 100;
  })) << "disabled colour";
  // Border: the edge of the body is darker than the background inside.
  const uint32_t edge = at(0, 120);
  EXPECT_LT(redOf(edge), 200u) << "border";
  // Shadow: below the body, in the margin, some alpha; far corner clear.
  EXPECT_GT(alphaOf(at(w / 2, menu_.height + 4)), 0u);
  EXPECT_EQ(alphaOf(f.pixel(0, 0)), 0u);
}

TEST_F(MenuFrames, AnimationFramesAndTransparentBordersDrawNoBorder) {
  const Bitmap animated = render(menu_.height + 2 * shadowSize());
  EXPECT_EQ(animated.pixel(14, 14 + 120), 0xffffffffu) << "no border in an animation frame";
  menu_.setBorderColor(0x00000000);
  const Bitmap clear = render(menu_.height);
  EXPECT_EQ(clear.pixel(14, 14 + 120), 0xffffffffu) << "alpha 0 draws no border";
}

TEST_F(MenuFrames, RowOwnColoursAndRadioDot) {
  menu_.hoverIndex = -1;
  menu_.items[0]->color = 0xffff0000;  // blue text of its own
  menu_.items[2]->checkMark = 2;
  menu_.items[4]->color = 0xff0000ff;  // disabled wins over the row's colour
  const Bitmap f = render(menu_.height);
  EXPECT_TRUE(any(f, 57, 2, 30, 36, [](uint32_t p) { return blueOf(p) > 200 && redOf(p) < 100; }));
  EXPECT_FALSE(any(f, 57, 142, 60, 36, [](uint32_t p) { return redOf(p) > 200 && blueOf(p) < 100; }));
  // The dot: 5 px at (20 + 13, 60 + 17).
  EXPECT_TRUE(any(f, 34, 78, 3, 3, [](uint32_t p) { return redOf(p) < 100; })) << "dot";
}

TEST_F(MenuFrames, IconsComeFromTheirFiles) {
  auto icon = Bitmap::make(16, 16, 0xff0000ffu);  // blue
  ASSERT_TRUE(icon);
  ASSERT_TRUE(icon->writePng("zrkmenu_icon.png"));
  menu_.hoverIndex = -1;
  menu_.items[0]->iconPath = "zrkmenu_icon.png";
  menu_.items[2]->iconPath = "missing-icon.png";
  menu_.measure();
  const Bitmap f = render(menu_.height);
  ASSERT_TRUE(menu_.items[0]->icon);
  EXPECT_EQ(menu_.items[0]->icon->width(), 16);
  ASSERT_TRUE(menu_.items[2]->icon) << "a missing file leaves an empty image";
  EXPECT_TRUE(menu_.items[2]->icon->empty());
  // The icon column starts after the check column: 20 + 37, the icon centred in 32.
  EXPECT_EQ(f.pixel(14 + 57 + 16, 14 + 20), 0xff0000ffu);
}


// The shadow drawn the straightforward way: the shape in its colour on a premultiplied 32-bit
// surface, every channel blurred, composited with the opacity.
void referenceShadow(cairo_surface_t* target, const desk::gfx::RectF& rect, int radius, int ox,
                     int oy, int blur, double opacity, desk::gfx::Argb color) {
  const int tw = static_cast<int>(rect.width) + 2 * blur;
  const int th = static_cast<int>(rect.height) + 2 * blur;
  cairo_surface_t* temp = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, tw, th);
  {
    desk::gfx::Graphics tg(temp);
    tg.setAntiAlias(true);
    desk::gfx::Path p;
    addRoundedRect(p, {double(blur + ox), double(blur + oy), rect.width, rect.height}, radius);
    tg.fillPath(p, color);
  }
  stackBlur(cairo_image_surface_get_data(temp), tw, th, cairo_image_surface_get_stride(temp), blur);
  cairo_surface_mark_dirty(temp);
  {
    desk::gfx::Graphics g(target);
    g.drawSurface(temp, rect.x + ox - blur, rect.y + oy - blur, opacity);
  }
  cairo_surface_destroy(temp);
}

// The largest difference of any byte of two premultiplied surfaces of one size.
int largestDifference(cairo_surface_t* a, cairo_surface_t* b) {
  cairo_surface_flush(a);
  cairo_surface_flush(b);
  const int w = cairo_image_surface_get_width(a), h = cairo_image_surface_get_height(a);
  int worst = 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* ra = cairo_image_surface_get_data(a) + y * cairo_image_surface_get_stride(a);
    const uint8_t* rb = cairo_image_surface_get_data(b) + y * cairo_image_surface_get_stride(b);
    for (int i = 0; i < w * 4; ++i) worst = std::max(worst, std::abs(int(ra[i]) - int(rb[i])));
  }
  return worst;
}

TEST_F(MenuDrawing, ShadowLooksAsTheFullColourBlurDoes) {
  struct Case {
    const char* name;
    int w, h;  // of the target
    desk::gfx::RectF rect;
    int radius, ox, oy, blur;
    double opacity;
    desk::gfx::Argb color;
  };
  const Case cases[] = {
      // A menu's own: the frame of a 50-row menu cut to the work area (shadow size 14).
      {"menu", 330, 1044, {28, 28, 274, 988}, 5, 2, 3, 42, 1.0, 0x281e1e1eu},
      {"default colour, small", 120, 100, {20, 20, 40, 30}, 0, 2, 3, 4, 1.0, 0x64000000u},
      {"coloured, translucent", 160, 120, {30, 25, 90, 60}, 12, 2, 3, 9, 1.0, 0x80ff8040u},
      {"opaque, half opacity", 160, 120, {30, 25, 90, 60}, 8, -3, 4, 7, 0.5, 0xff2080c0u},
      {"blur wider than the shape", 100, 100, {45, 45, 6, 5}, 2, 0, 0, 30, 1.0, 0xc0000000u},
      {"radius below 3 blurs as 2", 40, 40, {10, 10, 20, 20}, 0, 1, 1, 1, 1.0, 0xff000000u},
      {"shape cut by the target", 60, 50, {-10, 30, 80, 40}, 6, 2, 3, 10, 1.0, 0x99336699u},
  };
  for (const Case& c : cases) {
    cairo_surface_t* expected = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, c.w, c.h);
    cairo_surface_t* actual = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, c.w, c.h);
    referenceShadow(expected, c.rect, c.radius, c.ox, c.oy, c.blur, c.opacity, c.color);
    {
      desk::gfx::Graphics g(actual);
      drawShadow(g, c.rect, c.radius, c.ox, c.oy, c.blur, c.opacity, std::nullopt, c.color);
    }
    EXPECT_LE(largestDifference(expected, actual), 2) << c.name;
    cairo_surface_destroy(expected);
    cairo_surface_destroy(actual);
  }
}

TEST_F(MenuFrames, MenusOfOneLookShareTheirShadow) {
  clearShadowCache();
  auto same = [&] {
    ZrkMenu other;
    for (const auto& item : menu_.items) other.appendItem(*item);
    other.measure();
    other.buildShadow();
    return other.shadowBitmap;
  };
  menu_.buildShadow();
  const auto first = menu_.shadowBitmap;
  ASSERT_TRUE(first);
  EXPECT_EQ(same(), first) << "a menu of the same size and look";

  // Whatever decides the shadow's pixels gives a shadow of its own, drawn anew.
  const Bitmap before = *first;
  setShadowColor(0x80ff0000);
  const auto recoloured = same();
  EXPECT_NE(recoloured, first);
  EXPECT_NE(recoloured->pixels(), before.pixels());
  setShadowColor(0x281e1e1e);

  // Dropping the kept shadows makes a new one with the same pixels.
  clearShadowCache();
  const auto rebuilt = same();
  EXPECT_NE(rebuilt, first);
  EXPECT_EQ(rebuilt->pixels(), before.pixels());

  menu_.setBorderRadius(30);
  menu_.measure();
  menu_.buildShadow();
  EXPECT_NE(menu_.shadowBitmap, first) << "another corner radius";
  ASSERT_EQ(menu_.shadowBitmap->height(), before.height());
  EXPECT_NE(menu_.shadowBitmap->pixels(), before.pixels());

  menu_.appendItem(row("more"));
  menu_.measure();
  menu_.buildShadow();
  EXPECT_EQ(menu_.shadowBitmap->height(), before.height() + 40) << "another size";
}

TEST_F(MenuFrames, PushedFramesAreTheRenderedFrame) {
  // The frame pushed to the window and the kept animation frame are drawn over a copy of the
  // shadow: both equal the frame rendered into a bitmap.
  menu_.hoverIndex = -1;
  menu_.animationMs = 0;
  menu_.showAt(300, 200, nullptr, 0, nullptr, 0);
  const int s = shadowSize();
  auto frame = Bitmap::make(menu_.width + 2 * s, menu_.height + 2 * s);
  ASSERT_TRUE(frame);
  menu_.render(*frame, menu_.height, false);
  auto snap = desk::test::snapshot(menu_.hwnd);
  ASSERT_TRUE(snap && snap->layeredFrame);
  EXPECT_EQ(snap->layeredFrame->pixels, frame->premultipliedPixels());

  auto animated = Bitmap::make(menu_.width + 2 * s, menu_.height + 2 * s);
  menu_.render(*animated, menu_.height + 2 * s, false);
  EXPECT_EQ(menu_.renderPremultiplied(frame->width(), frame->height(), menu_.height + 2 * s),
            animated->premultipliedPixels());
  // A size other than the shadow's: the shadow is composited, cut to the frame.
  auto smaller = Bitmap::make(frame->width() - 5, frame->height() - 7);
  menu_.render(*smaller, menu_.height, false);
  EXPECT_EQ(menu_.renderPremultiplied(smaller->width(), smaller->height(), menu_.height),
            smaller->premultipliedPixels());
  menu_.hide();
}

}  // namespace
}  // namespace zrkmenu
