// The framework timers, the hand-off to the UI thread and the debouncer, in virtual time. The
// test's main thread is the UI thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "desk/message.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/debouncer.h"
#include "zrkwebview/browser/src/timers.h"

namespace {

uint64_t now() { return desk::test::clock()->now(); }

// Runs `work` on a thread of its own and waits for it.
template <typename F>
void onOtherThread(F work) {
  std::thread t(work);
  t.join();
}

class TimersTest : public ::testing::Test {
 protected:
  void SetUp() override { desk::test::reset(); }
};

TEST_F(TimersTest, IdsOneShotsAndIntervals) {
  uint32_t innerId = 0;
  uint64_t firedAt = 0;
  const uint32_t first = zrk::setTimeout(100, [&] {
    firedAt = now();
    // The one-shot's own id is free again while its callback runs.
    innerId = zrk::setTimeout(50, [] {});
  });
  EXPECT_EQ(first, 6000u);
  const uint32_t second = zrk::setTimeout(1000, [] {});
  EXPECT_GE(second, 6000u);
  EXPECT_LE(second, 6999u);
  EXPECT_NE(second, first);

  desk::test::advance(99);
  EXPECT_EQ(firedAt, 0u);
  desk::test::advance(1);
  EXPECT_EQ(firedAt, 100u);
  EXPECT_EQ(innerId, 6000u);

  // An interval that clears itself in its third call.
  int calls = 0;
  uint32_t interval = 0;
  interval = zrk::setInterval(50, [&] {
    if (++calls == 3) zrk::clearTimer(interval);
  });
  ASSERT_NE(interval, 0u);
  desk::test::advance(500);
  EXPECT_EQ(calls, 3);

  // setTimer chooses by its flag; clearTimer of an unknown id does nothing.
  int repeated = 0;
  uint32_t viaSetTimer = zrk::setTimer(10, [&] { ++repeated; }, true);
  zrk::clearTimer(5999);
  zrk::clearTimer(viaSetTimer == 6500 ? 6501 : 6500);
  desk::test::advance(30);
  EXPECT_EQ(repeated, 3);
  zrk::clearTimer(viaSetTimer);
  zrk::clearTimer(second);
  desk::test::advance(100);
  EXPECT_EQ(repeated, 3);
}

TEST_F(TimersTest, AThousandLiveTimersIsTheLimit) {
  std::set<uint32_t> ids;
  for (int i = 0; i < 1000; ++i) {
    uint32_t id = zrk::setTimeout(100000, [] {});
    ASSERT_NE(id, 0u) << i;
    ASSERT_TRUE(ids.insert(id).second) << "duplicate " << id;
  }
  EXPECT_EQ(*ids.begin(), 6000u);
  EXPECT_EQ(*ids.rbegin(), 6999u);
  EXPECT_EQ(zrk::setTimeout(10, [] {}), 0u);  // at once, not an endless search
  zrk::clearTimer(6123);
  EXPECT_EQ(zrk::setTimeout(10, [] {}), 6123u);
  for (uint32_t id : ids) zrk::clearTimer(id);
}

TEST_F(TimersTest, AThrowingCallbackIsLoggedAndTheOthersRun) {
  bool later = false;
  zrk::setTimeout(10, [] { throw std::runtime_error("boom"); });
  zrk::setTimeout(15, [] { throw 42; });
  zrk::setTimeout(20, [&] { later = true; });
  desk::test::advance(30);
  EXPECT_TRUE(later);
}

TEST_F(TimersTest, OtherThreadsWithoutAMainQueueGetZero) {
  // Before the dispatch library starts there is no way to the UI thread.
  ASSERT_EQ(dispatch_get_main_queue(), nullptr);
  uint32_t id = 1;
  onOtherThread([&] { id = zrk::setTimeout(10, [] {}); });
  EXPECT_EQ(id, 0u);
  EXPECT_TRUE(zrk::isMainThread());
  bool other = true;
  onOtherThread([&] { other = zrk::isMainThread(); });
  EXPECT_FALSE(other);
}

// From here on the dispatch library runs on the main thread.
TEST_F(TimersTest, OtherThreadsHopToTheUiThread) {
  dispatch_init();
  ASSERT_EQ(desk::uiThreadId(), desk::GetCurrentThreadId());
  std::atomic<bool> done{false};
  std::atomic<uint32_t> id{0};
  desk::DWORD ranOn = 0;
  std::thread t([&] {
    id = zrk::setTimeout(100, [&] { ranOn = desk::GetCurrentThreadId(); });
    done = true;
  });
  ASSERT_TRUE(desk::test::pumpUntil([&] { return done.load(); }));
  t.join();
  ASSERT_EQ(id.load(), 6000u);
  desk::test::advance(100);
  EXPECT_EQ(ranOn, desk::GetCurrentThreadId());

  // A clear from another thread also reaches the timer.
  bool fired = false;
  uint32_t pending = zrk::setTimeout(50, [&] { fired = true; });
  done = false;
  std::thread c([&] {
    zrk::clearTimer(pending);
    done = true;
  });
  ASSERT_TRUE(desk::test::pumpUntil([&] { return done.load(); }));
  c.join();
  desk::test::advance(100);
  EXPECT_FALSE(fired);
}

// ---- performSelector ----

class TestApp : public zrk::App {
 public:
  void setMain(std::shared_ptr<zrk::Window> window) { setMainWindow(std::move(window)); }
};

class LayerWindow : public zrk::Window {
 public:
  explicit LayerWindow(desk::HWND hwnd) { nativeHandle_ = hwnd; }
};

desk::LRESULT selectorProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                           desk::LPARAM lParam) {
  if (message == zrk::wmPerformSelector()) return zrk::runPerformSelector(wParam, lParam);
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

desk::HWND makeSelectorWindow() {
  desk::WNDCLASSEX wc;
  wc.lpfnWndProc = selectorProc;
  wc.lpszClassName = u"SelectorTestWindow";
  desk::RegisterClassEx(&wc);  // a second registration fails harmlessly
  return desk::CreateWindowEx(0, u"SelectorTestWindow", u"main", desk::WS_OVERLAPPEDWINDOW, 0, 0,
                              100, 100, nullptr, nullptr, nullptr, nullptr);
}

std::shared_ptr<TestApp> testApp() {
  static const bool factorySet = [] {
    zrk::App::setFactory([] { return std::make_shared<TestApp>(); });
    return true;
  }();
  (void)factorySet;
  auto app = std::dynamic_pointer_cast<TestApp>(zrk::App::instance());
  EXPECT_NE(app, nullptr);
  return app;
}

TEST_F(TimersTest, PerformSelector) {
  auto app = testApp();
  ASSERT_NE(app, nullptr);
  std::vector<std::pair<desk::WPARAM, desk::DWORD>> calls;
  auto fn = std::make_shared<zrk::Selector>(
      [&](desk::WPARAM arg) { calls.emplace_back(arg, desk::GetCurrentThreadId()); });
  const desk::DWORD ui = desk::GetCurrentThreadId();

  // No main window: nothing runs, now or later.
  app->setMain(nullptr);
  zrk::performSelector(fn, true, 1);
  zrk::performSelector(fn, false, 2);
  desk::test::pump();
  EXPECT_TRUE(calls.empty());

  // A main window whose handle is not (or no longer) a window: nothing either.
  app->setMain(std::make_shared<LayerWindow>(nullptr));
  zrk::performSelector(fn, true, 3);
  EXPECT_TRUE(calls.empty());

  app->setMain(std::make_shared<LayerWindow>(makeSelectorWindow()));
  zrk::performSelector(fn, true, 4);
  ASSERT_EQ(calls.size(), 1u);  // has run on return
  EXPECT_EQ(calls[0], (std::pair<desk::WPARAM, desk::DWORD>{4, ui}));

  {
    // Posting keeps the function alive until it runs.
    auto temporary = std::make_shared<zrk::Selector>(
        [&](desk::WPARAM arg) { calls.emplace_back(arg, desk::GetCurrentThreadId()); });
    zrk::performSelector(std::move(temporary), false, 5);
  }
  EXPECT_EQ(calls.size(), 1u);  // not yet
  desk::test::pump();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].first, 5u);

  // From a queue thread, waiting: run on the UI thread before the call returns.
  std::atomic<bool> done{false};
  size_t seenOnReturn = 0;
  dispatch_async(dispatch_create_queue("perform-selector-test"), [&] {
    zrk::performSelector(fn, true, 6);
    seenOnReturn = calls.size();
    done = true;
  });
  ASSERT_TRUE(desk::test::pumpUntil([&] { return done.load(); }));
  EXPECT_EQ(seenOnReturn, 3u);
  EXPECT_EQ(calls[2], (std::pair<desk::WPARAM, desk::DWORD>{6, ui}));

  // What the function throws stays inside the hand-off.
  zrk::performSelector(std::make_shared<zrk::Selector>([](desk::WPARAM) { throw 1; }), true, 7);
  app->setMain(nullptr);
}

// ---- the debouncer ----

TEST_F(TimersTest, DebouncerRunsOnceAfterTheLastTrigger) {
  std::vector<std::pair<int, uint64_t>> runs;
  zrk::Debouncer d(400);
  d.trigger([&] { runs.emplace_back(1, now()); });
  desk::test::advance(100);
  d.trigger([&] { runs.emplace_back(2, now()); });
  desk::test::advance(100);
  d.trigger([&] { runs.emplace_back(3, now()); });
  EXPECT_TRUE(d.isPending());
  desk::test::advance(399);
  EXPECT_TRUE(runs.empty());
  desk::test::advance(1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::pair<int, uint64_t>{3, 600}));
  EXPECT_FALSE(d.isPending());
  desk::test::advance(1000);
  EXPECT_EQ(runs.size(), 1u);

  // The stored action serves a trigger without one.
  int stored = 0;
  zrk::Debouncer withAction(50, [&] { ++stored; });
  withAction.trigger();
  desk::test::advance(50);
  EXPECT_EQ(stored, 1);
  // Nothing to run: nothing happens, and a pending timer keeps running.
  zrk::Debouncer empty(50);
  empty.trigger();
  EXPECT_FALSE(empty.isPending());
  int kept = 0;
  empty.trigger([&] { ++kept; });
  empty.trigger();
  desk::test::advance(50);
  EXPECT_EQ(kept, 1);
}

TEST_F(TimersTest, DebouncerDelayZeroDestructionAndCopies) {
  int runs = 0;
  zrk::Debouncer off(0, [&] { ++runs; });
  off.trigger();
  off.trigger([&] { ++runs; });
  EXPECT_FALSE(off.isPending());
  desk::test::advance(1000);
  EXPECT_EQ(runs, 0);

  // Destroyed while pending: the timer goes with it.
  auto doomed = std::make_unique<zrk::Debouncer>(100);
  doomed->trigger([&] { ++runs; });
  doomed.reset();
  desk::test::advance(200);
  EXPECT_EQ(runs, 0);

  // A copy takes the delay and the action, never the pending timer.
  zrk::Debouncer original(100, [&] { ++runs; });
  original.trigger();
  zrk::Debouncer copy(original);
  EXPECT_FALSE(copy.isPending());
  EXPECT_EQ(copy.delay(), 100);
  zrk::Debouncer assigned;
  assigned = original;
  EXPECT_FALSE(assigned.isPending());
  original.cancel();
  desk::test::advance(200);
  EXPECT_EQ(runs, 0);
  copy.trigger();
  desk::test::advance(100);
  EXPECT_EQ(runs, 1);
}

// Last: after the dispatch library has shut down, other threads get 0 again.
TEST_F(TimersTest, ZAfterShutdownOtherThreadsGetZero) {
  dispatch_shutdown();
  uint32_t id = 1;
  onOtherThread([&] { id = zrk::setTimeout(10, [] {}); });
  EXPECT_EQ(id, 0u);
}

}  // namespace
