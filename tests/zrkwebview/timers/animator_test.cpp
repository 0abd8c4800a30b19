// The window animator on layer windows, frame by frame in virtual time.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "desk/message.h"
#include "desk/test.h"
#include "desk/window.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/window-animator.h"

namespace {

desk::LRESULT plainProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                        desk::LPARAM lParam) {
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

bool sameRect(const desk::RECT& a, const desk::RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string show(const desk::RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
         "," + std::to_string(r.bottom);
}

class AnimatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desk::test::reset();
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = plainProc;
    wc.lpszClassName = u"AnimatorTestWindow";
    desk::RegisterClassEx(&wc);
    hwnd = desk::CreateWindowEx(0, u"AnimatorTestWindow", u"w", desk::WS_OVERLAPPEDWINDOW, 100,
                                100, 400, 300, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    desk::test::clearSpy();
  }
  desk::RECT rect() {
    desk::RECT r;
    desk::GetWindowRect(hwnd, &r);
    return r;
  }
  std::vector<desk::WPARAM> finished() {
    std::vector<desk::WPARAM> kinds;
    for (const auto& rec : desk::test::spy(hwnd)) {
      if (rec.message == zrk::kWmAnimationFinished) kinds.push_back(rec.wParam);
    }
    return kinds;
  }
  desk::HWND hwnd = nullptr;
};

TEST(WindowAnimatorEase, Curves) {
  const struct {
    int easing;
    double t;
    double expected;
  } cases[] = {
      {1, 0.5, 0.875},    {1, 0.0, 0.0},       {1, 1.0, 1.0},   {2, 0.5, 0.5},
      {2, 0.25, 0.0625},  {2, 0.75, 0.9375},   {3, 0.5, 0.765625}, {3, 0.2, 0.3025},
      {3, 0.0, 0.0},      {3, 1.0, 1.0},       {4, 0.5, 1.015625}, {4, 0.0, 0.0},
      {4, 1.0, 1.0},      {0, 0.3, 0.3},       {99, 0.3, 0.3},  {-1, 0.7, 0.7},
  };
  zrk::WindowAnimator animator;
  EXPECT_EQ(animator.easing(), 1);
  for (const auto& c : cases) {
    animator.setEasing(c.easing);
    EXPECT_NEAR(animator.ease(c.t), c.expected, 1e-12) << c.easing << " at " << c.t;
  }
}

TEST_F(AnimatorTest, TwoHundredMillisecondsIsTwentyFramesThenTheTarget) {
  struct Case {
    const char* what;
    std::function<bool(zrk::WindowAnimator&)> start;
    desk::RECT target;
    desk::WPARAM kind;
  };
  const Case cases[] = {
      {"move and resize", [&](auto& a) { return a.start(hwnd, 500, 600, 800, 500, 200, false); },
       {500, 600, 1300, 1100}, 3},
      {"resize from the top-left",
       [&](auto& a) { return a.resize(hwnd, 600, 500, 200, true); }, {100, 100, 700, 600}, 1},
  };
  for (const auto& c : cases) {
    desk::SetWindowPos(hwnd, nullptr, 100, 100, 400, 300, desk::SWP_NOZORDER);
    desk::test::clearSpy();
    zrk::WindowAnimator animator;
    ASSERT_TRUE(c.start(animator)) << c.what;
    EXPECT_TRUE(animator.isRunning());
    desk::test::advance(10);
    EXPECT_TRUE(sameRect(rect(), {100, 100, 500, 400})) << c.what << ": the first frame is the start";
    for (int tick = 2; tick <= 20; ++tick) desk::test::advance(10);
    EXPECT_FALSE(sameRect(rect(), c.target)) << c.what;
    EXPECT_TRUE(finished().empty()) << c.what;
    desk::test::advance(10);  // the 21st tick
    EXPECT_TRUE(sameRect(rect(), c.target)) << c.what << ": " << show(rect());
    EXPECT_EQ(finished(), std::vector<desk::WPARAM>{c.kind}) << c.what;
    EXPECT_FALSE(animator.isRunning());
    EXPECT_EQ(animator.kind(), 0);
    desk::test::advance(100);
    EXPECT_EQ(finished().size(), 1u) << c.what;
  }
}

TEST_F(AnimatorTest, ZeroDurationTakesTwoTicks) {
  for (int duration : {0, -50, 15}) {
    desk::SetWindowPos(hwnd, nullptr, 100, 100, 400, 300, desk::SWP_NOZORDER);
    desk::test::clearSpy();
    zrk::WindowAnimator animator;
    ASSERT_TRUE(animator.moveTo(hwnd, 10, 20, duration));
    desk::test::advance(10);
    EXPECT_TRUE(sameRect(rect(), {100, 100, 500, 400})) << duration;
    EXPECT_TRUE(finished().empty());
    desk::test::advance(10);
    EXPECT_TRUE(sameRect(rect(), {10, 20, 410, 320})) << duration << ": " << show(rect());
    EXPECT_EQ(finished(), std::vector<desk::WPARAM>{2});
  }
}

TEST_F(AnimatorTest, CentredResizeAndNullWindow) {
  zrk::WindowAnimator animator;
  EXPECT_FALSE(animator.start(nullptr, 1, 2, 3, 4, 100, false));
  EXPECT_FALSE(animator.isRunning());
  ASSERT_TRUE(animator.resizeCentered(hwnd, 200, 100, 0));
  desk::test::advance(20);
  EXPECT_TRUE(sameRect(rect(), {200, 200, 400, 300})) << show(rect());
  EXPECT_EQ(finished(), std::vector<desk::WPARAM>{1});
}

TEST_F(AnimatorTest, ASecondStartReplacesTheFirst) {
  zrk::WindowAnimator animator;
  ASSERT_TRUE(animator.start(hwnd, 900, 900, 400, 300, 200, false));
  for (int i = 0; i < 5; ++i) desk::test::advance(10);
  desk::RECT midway = rect();
  EXPECT_FALSE(sameRect(midway, {100, 100, 500, 400}));
  ASSERT_TRUE(animator.moveTo(hwnd, 0, 0, 50));
  desk::test::advance(10);
  EXPECT_TRUE(sameRect(rect(), midway)) << "starts from where the first left off";
  desk::test::advance(300);
  EXPECT_TRUE(sameRect(rect(), {0, 0, midway.right - midway.left, midway.bottom - midway.top}));
  EXPECT_EQ(finished(), std::vector<desk::WPARAM>{2});  // none for the first
}

TEST_F(AnimatorTest, NoTickReachesACancelledAnimator) {
  auto animator = std::make_unique<zrk::WindowAnimator>();
  ASSERT_TRUE(animator->moveTo(hwnd, 0, 0, 100));
  desk::test::advance(10);
  const desk::RECT before = rect();
  // Let the next tick fall due without handling it: its WM_TIMER is waiting in the queue.
  desk::test::clock()->advance(10);
  desk::MSG msg;
  ASSERT_TRUE(desk::PeekMessage(&msg, hwnd, desk::WM_TIMER, desk::WM_TIMER, desk::PM_NOREMOVE));
  animator->cancel();
  animator.reset();
  desk::test::pump();
  desk::test::advance(200);
  EXPECT_TRUE(sameRect(rect(), before));
  EXPECT_TRUE(finished().empty());

  // The destructor stops a running animation too.
  auto running = std::make_unique<zrk::WindowAnimator>();
  ASSERT_TRUE(running->bounceUp(hwnd, 100));
  EXPECT_EQ(running->easing(), 3);
  running.reset();
  desk::test::advance(200);
  EXPECT_TRUE(sameRect(rect(), before));
}

TEST_F(AnimatorTest, CentreOnTheMonitorWorkArea) {
  zrk::WindowAnimator animator;
  ASSERT_TRUE(animator.centerOnMonitor(hwnd, 0));
  desk::test::advance(20);
  // 1920x1040 work area, 400x300 window.
  EXPECT_TRUE(sameRect(rect(), {760, 370, 1160, 670})) << show(rect());
}

}  // namespace
