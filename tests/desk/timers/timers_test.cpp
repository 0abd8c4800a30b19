#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "desk/clock.h"
#include "desk/message.h"
#include "desk/nested_loop.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"

using namespace desk;

namespace {

std::mutex g_mutex;
std::vector<std::pair<UINT_PTR, DWORD>> g_ticks;  // timer id, tick count
std::atomic<int> g_killAfter{0};                  // kill timer 1 on this tick
std::atomic<int> g_resetAfter{0};                 // reset timer 1 to 50 ms on this tick

void record(HWND hwnd, UINT_PTR id) {
  size_t n;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_ticks.emplace_back(id, GetTickCount());
    n = g_ticks.size();
  }
  if (g_killAfter.load() == static_cast<int>(n)) KillTimer(hwnd, id);
  if (g_resetAfter.load() == static_cast<int>(n)) SetTimer(hwnd, id, 50, nullptr);
}

LRESULT CALLBACK_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) {
    record(hwnd, wParam);
    return 0;
  }
  return DefWindowProc(hwnd, message, wParam, lParam);
}

void CALLBACK_timerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD time) {
  EXPECT_EQ(WM_TIMER, message);
  EXPECT_EQ(GetTickCount(), time);
  record(hwnd, id + 1000);
}

std::vector<DWORD> times() {
  std::lock_guard<std::mutex> guard(g_mutex);
  std::vector<DWORD> out;
  for (auto& [id, t] : g_ticks) out.push_back(t);
  return out;
}

std::vector<DWORD> every(DWORD step, DWORD until, DWORD from = 0) {
  std::vector<DWORD> out;
  for (DWORD t = from + step; t <= until; t += step) out.push_back(t);
  return out;
}

class Timers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSEX wc;
    wc.lpfnWndProc = CALLBACK_proc;
    wc.lpszClassName = u"TimerTest";
    RegisterClassEx(&wc);
  }
  void SetUp() override {
    test::reset();
    std::lock_guard<std::mutex> guard(g_mutex);
    g_ticks.clear();
    g_killAfter = 0;
    g_resetAfter = 0;
    hwnd = CreateWindowEx(0, u"TimerTest", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                          nullptr, nullptr);
  }
  void TearDown() override { test::reset(); }
  HWND hwnd = nullptr;
};

TEST_F(Timers, TenMillisecondTimerGivesTwentyTicksAtExactTimes) {
  ASSERT_EQ(1u, SetTimer(hwnd, 1, 10, nullptr));
  test::advance(200);
  EXPECT_EQ(every(10, 200), times());
  EXPECT_EQ(200u, GetTickCount());
}

TEST_F(Timers, NothingFiresWithoutAdvancing) {
  SetTimer(hwnd, 1, 10, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // real time does not count
  test::pump();
  EXPECT_TRUE(times().empty());
  test::advance(9);
  EXPECT_TRUE(times().empty());
  test::advance(1);
  EXPECT_EQ(std::vector<DWORD>{10}, times());
}

TEST_F(Timers, TimerProcsAndThreadTimers) {
  SetTimer(hwnd, 2, 30, CALLBACK_timerProc);
  UINT_PTR a = SetTimer(nullptr, 0, 25, CALLBACK_timerProc);
  UINT_PTR b = SetTimer(nullptr, 0, 25, CALLBACK_timerProc);
  EXPECT_NE(0u, a);
  EXPECT_NE(a, b);
  test::advance(60);
  std::vector<std::pair<UINT_PTR, DWORD>> expected = {
      {a + 1000, 25}, {b + 1000, 25}, {1002, 30}, {a + 1000, 50}, {b + 1000, 50}, {1002, 60}};
  std::lock_guard<std::mutex> guard(g_mutex);
  EXPECT_EQ(expected, g_ticks);
}

TEST_F(Timers, KillOrResetInsideTheCallback) {
  SetTimer(hwnd, 1, 10, nullptr);
  g_killAfter = 3;
  test::advance(200);
  EXPECT_EQ(every(10, 30), times());
  EXPECT_FALSE(KillTimer(hwnd, 1));  // already gone
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_ticks.clear();
  }
  g_killAfter = 0;
  SetTimer(hwnd, 1, 10, nullptr);  // from 200
  g_resetAfter = 2;
  test::advance(200);
  EXPECT_EQ((std::vector<DWORD>{210, 220, 270, 320, 370}), times());
}

TEST_F(Timers, OnePendingPerTimerAndPaintsComeBeforeTimers) {
  SetTimer(hwnd, 1, 10, nullptr);
  test::clock()->advance(100);  // many intervals pass without anyone looking
  InvalidateRect(hwnd, nullptr, 1);
  PostMessage(hwnd, WM_USER, 0, 0);
  test::clearSpy();
  test::pump();
  EXPECT_EQ((std::vector<UINT>{WM_USER, WM_PAINT, WM_TIMER}), test::spyMessages(hwnd));
  auto snap = test::snapshot(hwnd);
  ASSERT_EQ(1u, snap->timers.size());
  EXPECT_EQ(110u, snap->timers[0].due);
  EXPECT_EQ(10u, snap->timers[0].interval);
}

TEST_F(Timers, TimersFireInsideANestedLoopOnAnotherThread) {
  std::promise<HWND> made;
  NestedLoop* loopPtr = nullptr;
  std::atomic<bool> looping{false};
  std::thread other([&] {
    HWND h = CreateWindowEx(0, u"TimerTest", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                            nullptr, nullptr);
    SetTimer(h, 7, 20, nullptr);
    NestedLoop loop;
    loopPtr = &loop;
    made.set_value(h);
    looping = true;
    loop.run();
  });
  made.get_future().get();
  while (!looping) std::this_thread::yield();
  test::advance(100);
  loopPtr->end(0);
  other.join();
  EXPECT_EQ(every(20, 100), times());
}

TEST_F(Timers, WaitsSleepUntilTheNextTimerOnTheClock) {
  SetTimer(hwnd, 1, 50, nullptr);
  std::atomic<DWORD> woke{0};
  // GetMessage on this thread would block; run it elsewhere with its own window.
  std::thread other([&] {
    HWND h = CreateWindowEx(0, u"TimerTest", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                            nullptr, nullptr);
    SetTimer(h, 3, 40, nullptr);
    MSG m;
    GetMessage(&m, nullptr, 0, 0);
    woke = GetTickCount();
    DispatchMessage(&m);
  });
  while (test::clock()->waiters() == 0) std::this_thread::yield();
  test::clock()->advance(39);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(0u, woke.load());
  test::clock()->advance(1);
  other.join();
  EXPECT_EQ(40u, woke.load());
}

}  // namespace
