#include <functional>

#include "zrkmenu/common.h"

namespace zrkmenu {
namespace {

using desk::POINT;
using desk::RECT;
using testing::MenuTest;
using testing::row;

class MenuShowing : public MenuTest {
 protected:
  void SetUp() override {
    MenuTest::SetUp();
    useFixedText();
    // The primary monitor, and a second one left of it at 144 DPI.
    desk::test::setMonitors({
        {u"one", {0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 96, true},
        {u"two", {-1280, 0, 0, 1024}, {-1280, 0, 0, 984}, 144, false},
    });
  }
  // A menu of `rows` rows "abcd" (60 by 40 each at 96 DPI).
  std::unique_ptr<ZrkMenu> menu(int rows, bool submenu = false) {
    auto m = std::make_unique<ZrkMenu>(submenu);
    for (int i = 0; i < rows; ++i) m->appendItem(row("r" + std::to_string(i), "abcd"));
    return m;
  }
  RECT windowRect(HWND h) {
    RECT r;
    desk::GetWindowRect(h, &r);
    return r;
  }
};

TEST_F(MenuShowing, PlacementTable) {
  struct Case {
    const char* name;
    int rows;
    int x, y, flags;
    int wantX, wantY;  // the window's top-left
    int wantEffective;
    bool scrolls;
  };
  const int R = TPM_RIGHTALIGN, B = TPM_BOTTOMALIGN;
  const Case cases[] = {
      {"defaults", 3, 500, 400, 0, 494, 394, 0, false},
      {"right and bottom, fitting", 3, 500, 400, R | B, 500 - 7 - 60 - 6, 400 - 120 - 7 - 6, R | B,
       false},
      {"right-aligned at the left edge", 3, 30, 400, R, 24, 394, 0, false},
      {"bottom-aligned at the top", 3, 500, 50, B, 494, -6, 0, false},
      {"near the bottom", 3, 500, 1000, 0, 494, 1000 - 120 - 6, B, false},
      {"near the right edge", 3, 1900, 400, 0, 1900 - 60 - 14 - 6, 394, 0, false},
      {"taller than the work area", 40, 500, 400, 0, 494, -6, 0, true},
      {"second monitor", 3, -600, 300, 0, -606, 294, 0, false},
  };
  for (const Case& c : cases) {
    auto m = menu(c.rows);
    m->animationMs = 0;
    m->showAt(c.x, c.y, nullptr, c.flags, nullptr, 0);
    EXPECT_EQ(m->x, c.wantX) << c.name;
    EXPECT_EQ(m->y, c.wantY) << c.name;
    EXPECT_EQ(m->effectiveFlags, c.wantEffective) << c.name;
    EXPECT_EQ(m->scrolling, c.scrolls) << c.name;
    const RECT r = windowRect(m->hwnd);
    EXPECT_EQ(r.left, c.wantX) << c.name;
    EXPECT_EQ(r.top, c.wantY) << c.name;
    if (c.scrolls) {
      EXPECT_EQ(m->height, 1040 - 24) << c.name;
    }
  }
}

TEST_F(MenuShowing, TrackingTakesTheMonitorsDpi) {
  auto m = menu(2);
  std::string out;
  m->trackPopup(out, -600, 300, nullptr, 0, 0);
  EXPECT_EQ(m->dpi(), 144);
  EXPECT_EQ(m->height, 2 * 60);
  EXPECT_EQ(m->width, 60 + 32);
  m->hide();
  m->trackPopup(out, 600, 300, nullptr, 0, 0);
  EXPECT_EQ(m->dpi(), 96);
  EXPECT_EQ(m->height, 2 * 40) << "measured again for the new DPI";
  m->hide();
}

TEST_F(MenuShowing, SubmenusOpenBesideTheirRow) {
  // Parent body at x = 1800, 120 wide: the submenu does not fit to the right.
  auto sub = menu(3, true);
  sub->measure();
  int x = 1800 + 120, y = 500;
  const int anchor = 1800;
  sub->flags = 0;
  sub->place(x, y, &anchor, 40);
  EXPECT_EQ(x, 1800 - 60) << "left of the parent";
  EXPECT_EQ(y, 500);

  // Near the bottom: it ends at the bottom of its row.
  sub = menu(3, true);
  sub->measure();
  x = 600;
  y = 1000;
  sub->place(x, y, &anchor, 40);
  EXPECT_EQ(x, 600);
  EXPECT_EQ(y, 1000 + 40 - 120);
  EXPECT_TRUE(sub->effectiveFlags & TPM_BOTTOMALIGN);
}

TEST_F(MenuShowing, ScrollingMenuGetsItsFullHeightBackAtTheNextShowing) {
  auto m = menu(40);
  m->animationMs = 0;
  m->showAt(500, 400, nullptr, 0, nullptr, 0);
  EXPECT_TRUE(m->scrolling);
  EXPECT_EQ(m->height, 1016);
  m->hide();
  m->showAt(500, 400, nullptr, 0, nullptr, 0);
  EXPECT_TRUE(m->scrolling);
  EXPECT_EQ(m->height, 1016);
  m->hide();
  m->items.resize(3);
  m->showAt(500, 400, nullptr, 0, nullptr, 0);
  EXPECT_FALSE(m->scrolling);
  EXPECT_EQ(m->height, 120) << "a changed menu is measured again";
}

// Showing again reuses the last measuring and the frame buffer: every pushed frame must still be
// what a new menu of the same rows pushes, and a frame already pushed must not change afterwards.
TEST_F(MenuShowing, ShowingAgainPushesWhatANewMenuPushes) {
  auto frameOf = [](ZrkMenu& m) {
    auto snap = desk::test::snapshot(m.hwnd);
    return snap && snap->layeredFrame ? snap->layeredFrame : nullptr;
  };
  auto m = menu(40);
  m->animationMs = 0;
  struct Step {
    const char* name;
    int rows;  // the menu's rows for this showing
  };
  const Step steps[] = {{"first, scrolling", 40}, {"unchanged", 40}, {"fewer rows", 3},
                        {"unchanged again", 3},   {"scrolling again", 40}};
  std::shared_ptr<const desk::LayeredFrame> earlier;
  std::vector<uint32_t> earlierPixels;
  for (const Step& step : steps) {
    if (static_cast<int>(m->items.size()) != step.rows) {
      m->items.clear();
      for (int i = 0; i < step.rows; ++i) m->appendItem(row("r" + std::to_string(i), "abcd"));
    }
    m->showAt(500, 400, nullptr, 0, nullptr, 0);
    auto pushed = frameOf(*m);
    ASSERT_TRUE(pushed) << step.name;
    auto fresh = menu(step.rows);
    fresh->animationMs = 0;
    fresh->showAt(500, 400, nullptr, 0, nullptr, 0);
    auto expected = frameOf(*fresh);
    ASSERT_TRUE(expected) << step.name;
    EXPECT_EQ(m->height, fresh->height) << step.name;
    EXPECT_EQ(pushed->width, expected->width) << step.name;
    EXPECT_EQ(pushed->height, expected->height) << step.name;
    EXPECT_TRUE(pushed->pixels == expected->pixels) << step.name;
    if (earlier) {
      EXPECT_TRUE(earlier->pixels == earlierPixels) << step.name << ": an earlier frame changed";
    }
    earlier = pushed;
    earlierPixels = pushed->pixels;
    fresh->hide();
    m->hide();
  }
}

TEST_F(MenuShowing, OpeningAnimationInVirtualTime) {
  auto m = menu(3);
  m->animationMs = 100;
  m->showAt(500, 400, nullptr, 0, nullptr, 0);
  HWND h = m->hwnd;
  auto snap = desk::test::snapshot(h);
  ASSERT_TRUE(snap);
  EXPECT_TRUE(snap->visible);
  EXPECT_EQ(snap->window.bottom - snap->window.top, 1);
  EXPECT_EQ(snap->exStyle & (desk::WS_EX_LAYERED | desk::WS_EX_TOPMOST),
            desk::WS_EX_LAYERED | desk::WS_EX_TOPMOST);
  EXPECT_TRUE(m->hasAnimationFrame());
  int ticks = 0;
  int lastHeight = 1;
  for (int i = 0; i < 10 && m->hasAnimationFrame(); ++i) {
    desk::test::advance(20);
    ++ticks;
    snap = desk::test::snapshot(h);
    const int hgt = snap->window.bottom - snap->window.top;
    EXPECT_GE(hgt, lastHeight);
    lastHeight = hgt;
    if (m->hasAnimationFrame()) {
      ASSERT_TRUE(snap->layeredFrame);
      EXPECT_EQ(snap->layeredFrame->height, hgt) << "the top rows of the kept frame";
    }
  }
  EXPECT_EQ(ticks, 5);
  snap = desk::test::snapshot(h);
  EXPECT_TRUE(snap->timers.empty());
  ASSERT_TRUE(snap->layeredFrame);
  EXPECT_EQ(snap->layeredFrame->width, 60 + 28);
  EXPECT_EQ(snap->layeredFrame->height, 120 + 28);
  EXPECT_EQ(snap->window.bottom - snap->window.top, 120 + 28);
}

TEST_F(MenuShowing, BottomAlignedAnimationGrowsUpwards) {
  auto m = menu(3);
  m->animationMs = 100;
  m->showAt(500, 1000, nullptr, 0, nullptr, 0);
  ASSERT_TRUE(m->effectiveFlags & TPM_BOTTOMALIGN);
  desk::test::advance(40);
  const RECT mid = windowRect(m->hwnd);
  EXPECT_EQ(mid.bottom, m->y + 120) << "the bottom edge stays";
  EXPECT_LT(mid.bottom - mid.top, 120);
  desk::test::advance(100);
}

TEST_F(MenuShowing, WithoutAnimationTheFullFrameShowsAtOnce) {
  auto m = menu(3);
  m->animationMs = 0;
  m->showAt(500, 400, nullptr, 0, nullptr, 0);
  auto snap = desk::test::snapshot(m->hwnd);
  ASSERT_TRUE(snap && snap->layeredFrame);
  EXPECT_EQ(snap->layeredFrame->height, 148);
  EXPECT_EQ(snap->layeredFrame->position.x, 494);
  EXPECT_TRUE(snap->timers.empty());
}

TEST_F(MenuShowing, HideReachesEverySubmenu) {
  auto m = menu(2);
  auto shown = std::make_shared<ZrkMenu>(true);
  shown->appendItem(row("x"));
  auto neverShown = std::make_shared<ZrkMenu>(true);
  neverShown->appendItem(row("y"));
  m->items[0]->submenu = shown;
  m->items[1]->submenu = neverShown;
  m->animationMs = 0;
  m->showAt(500, 400, nullptr, 0, nullptr, 0);
  shown->animationMs = 0;
  const int anchor = m->x;
  shown->showAt(m->x + m->width, m->y, m->hwnd, 0, &anchor, 40);
  m->openSubmenu = shown.get();
  ASSERT_TRUE(desk::IsWindowVisible(shown->hwnd));
  EXPECT_EQ(desk::GetParent(shown->hwnd), m->hwnd) << "owned by the parent menu";
  shown->hoverIndex = 0;
  m->hide();
  EXPECT_FALSE(desk::IsWindowVisible(m->hwnd));
  EXPECT_FALSE(desk::IsWindowVisible(shown->hwnd));
  EXPECT_EQ(shown->hoverIndex, -1);
  EXPECT_EQ(m->openSubmenu, nullptr);
  neverShown->hide();  // no window: only the highlight is cleared
  EXPECT_EQ(neverShown->hwnd, nullptr);
}

TEST_F(MenuShowing, OversizedFramesAreRefused) {
  auto m = menu(1);
  m->setPadding(100);
  m->setIconSize(40000);
  m->items[0]->checkMark = 1;
  m->animationMs = 0;
  EXPECT_THROW(m->showAt(500, 400, nullptr, 0, nullptr, 0), std::length_error);
  EXPECT_FALSE(m->shadowBitmap) << "no shadow was made for it";
  EXPECT_FALSE(desk::IsWindowVisible(m->hwnd));
  std::string out = "x", reported = "none";
  m->setCommandHandler([&reported](const std::string& id) { reported = "handler:" + id; });
  EXPECT_EQ(m->trackPopup(out, 500, 400, nullptr, 0, 0), "");
  EXPECT_EQ(reported, "handler:") << "reported as a dismissal";
  EXPECT_FALSE(hooksInstalled());
}

}  // namespace
}  // namespace zrkmenu
