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

}  // namespace
}  // namespace zrkmenu
