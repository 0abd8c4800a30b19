#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "desk/clock.h"
#include "desk/message.h"
#include "desk/thread.h"

using namespace desk;

namespace {

class VirtualTime : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<VirtualClock>(1000);
    setClock(clock_);
  }
  void TearDown() override { setClock(nullptr); }

  // Waits (in real time) until `n` waits are registered with the virtual clock.
  void awaitWaiters(size_t n) {
    while (clock_->waiters() != n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::shared_ptr<VirtualClock> clock_;
};

// A thread that waits on its own queue with a time limit and reports how the wait ended.
struct TimedWaiter {
  explicit TimedWaiter(DWORD ms) {
    thread = std::thread([this, ms] {
      MSG m;
      PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE);
      id.store(GetCurrentThreadId());
      result.store(MsgWaitForMultipleObjects(0, nullptr, 0, ms, QS_ALLINPUT));
      done.store(true);
    });
  }
  ~TimedWaiter() {
    if (thread.joinable()) thread.join();
  }
  std::thread thread;
  std::atomic<DWORD> id{0};
  std::atomic<DWORD> result{WAIT_FAILED};
  std::atomic<bool> done{false};
};

TEST_F(VirtualTime, TickCountAndMessageTimesFollowTheClock) {
  EXPECT_EQ(1000u, GetTickCount());
  clock_->advance(250);
  EXPECT_EQ(1250u, GetTickCount64());
  MSG m;
  PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE);
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
  clock_->advance(5);
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(1250u, m.time);
}

TEST_F(VirtualTime, ATimedWaitEndsExactlyWhenTheClockReachesItsDeadline) {
  TimedWaiter waiter(500);
  awaitWaiters(1);
  clock_->advance(499);
  // One millisecond short: the waiter looks at the new time and goes back to waiting.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(waiter.done.load());
  clock_->advance(1);
  waiter.thread.join();
  EXPECT_EQ(WAIT_TIMEOUT, waiter.result.load());
  EXPECT_EQ(0u, clock_->waiters());
}

TEST_F(VirtualTime, InputEndsATimedWaitWithoutTheClockMoving) {
  TimedWaiter waiter(INFINITE);
  awaitWaiters(1);
  ASSERT_TRUE(PostThreadMessage(waiter.id.load(), WM_USER, 0, 0));
  waiter.thread.join();
  EXPECT_EQ(WAIT_OBJECT_0, waiter.result.load());
  EXPECT_EQ(1000u, GetTickCount());
}

TEST(RealTime, WaitsOnInputAndRefusesUnknownHandles) {
  setClock(nullptr);
  MSG m;
  PeekMessage(&m, nullptr, 0, 0, PM_REMOVE);
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, 0, 0, QS_ALLINPUT));
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, 0, 5, QS_ALLINPUT));
  PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0);
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, 0, 1000, QS_ALLINPUT));
  // Input already looked at is not new.
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, 0, 0, QS_ALLINPUT));
  PeekMessage(&m, nullptr, 0, 0, PM_REMOVE);

  // Handles must be events.
  HANDLE h = nullptr;
  EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, &h, 0, 0, QS_ALLINPUT));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace
