// One scenario: the UI thread shuts the library down while queue threads are busy and other
// threads wait on queues.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "desk/message.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"

namespace {

using namespace std::chrono_literals;

std::mutex g_mutex;
std::vector<std::string> g_events;

void note(const std::string& event) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_events.push_back(event);
}

bool noted(const std::string& event) {
  std::lock_guard<std::mutex> guard(g_mutex);
  for (const std::string& e : g_events)
    if (e == event) return true;
  return false;
}

// Runs `work` and notes how a dispatch_sync inside it ended.
void noteSync(const std::string& name, dispatch_queue_t q) {
  try {
    dispatch_sync(q, [name] { note(name + " ran"); });
    note(name + " returned");
  } catch (const std::runtime_error& e) {
    note(name + " failed: " + e.what());
  }
}

TEST(Shutdown, StopsEveryQueueWithoutHangingAnyoneWaitingOnIt) {
  dispatch_init();
  dispatch_queue_t main = dispatch_get_main_queue();
  dispatch_queue_t a = dispatch_create_queue("a");
  dispatch_queue_t b = dispatch_create_queue("b");
  uint32_t aThread = a->threadId;
  uint32_t bThread = b->threadId;

  // Work on "a" that is still running when shutdown begins, and then dispatches: a sync to the
  // main queue (which no longer runs) and an async to another queue (whose table is being
  // emptied). Neither may deadlock the shutdown.
  dispatch_async(a, [] {
    while (dispatch_get_queue("a") != nullptr) std::this_thread::sleep_for(1ms);
    noteSync("a->main", dispatch_get_main_queue());
    dispatch_async(dispatch_get_queue("b"), [] { note("never"); });
  });
  // Queued behind it, before the stop: runs. Once the stop has reached the queue, it posts one
  // more item behind the stop: dropped.
  dispatch_async(a, [aThread] {
    note("a second ran");
    desk::MSG m;
    while (!desk::PeekMessage(&m, nullptr, desk::WM_QUIT, desk::WM_QUIT, desk::PM_NOREMOVE))
      std::this_thread::sleep_for(1ms);
    auto late = std::make_shared<dispatch::dispatch_item>();
    late->work = [] { note("late ran"); };
    late->dropped = [] { note("late dropped"); };
    post_task(aThread, late);
  });
  // Threads that wait meanwhile: one on the main queue, which the UI thread no longer pumps, and
  // one on "b", whose item is queued before the stop.
  std::thread onMain([main] { noteSync("waiter->main", main); });
  // "b" is kept busy until the waiter's item stands in its queue, so that item is surely queued
  // before the stop.
  std::promise<void> waiterQueued;
  dispatch_async(b, [&] {
    const desk::UINT wm = desk::RegisterWindowMessage("s_wm_dispatch");
    desk::MSG m;
    while (!desk::PeekMessage(&m, nullptr, wm, wm, desk::PM_NOREMOVE)) std::this_thread::sleep_for(1ms);
    waiterQueued.set_value();
  });
  std::thread onB([b] { noteSync("waiter->b", b); });
  // Main-queue work posted and never pumped.
  dispatch_async(main, [] { note("main async ran"); });

  waiterQueued.get_future().wait();
  dispatch_shutdown();
  onMain.join();
  onB.join();

  EXPECT_TRUE(noted("a->main failed: dispatch_sync: the work was dropped before it ran"));
  EXPECT_TRUE(noted("a second ran"));
  EXPECT_TRUE(noted("late dropped"));
  EXPECT_TRUE(noted("waiter->main failed: dispatch_sync: the work was dropped before it ran"));
  EXPECT_TRUE(noted("waiter->b ran"));
  EXPECT_TRUE(noted("waiter->b returned"));
  for (const char* never : {"never", "late ran", "main async ran", "a->main ran", "waiter->main ran"})
    EXPECT_FALSE(noted(never)) << never;

  // Every queue thread has ended and the table is empty.
  EXPECT_EQ(nullptr, dispatch_get_queue("a"));
  EXPECT_EQ(nullptr, dispatch_get_queue("b"));
  for (uint32_t t : {aThread, bThread}) EXPECT_FALSE(desk::PostThreadMessage(t, desk::WM_USER, 0, 0));

  // The library stays initialised: the main queue is closed for good, new queues still work.
  // Work that arrives after the run is dropped without a warning; a thread that never had a
  // queue is still reported.
  std::vector<std::string> warnings;
  dispatch_set_log_handler([&](const std::string&, int, const char*, int level, const std::string& message) {
    if (level <= DISPATCH_LOG_WARN) warnings.push_back(message);
  });
  EXPECT_EQ(main, dispatch_get_main_queue());
  bool ran = false;
  dispatch_async(main, [&] { ran = true; });
  std::thread([main] { dispatch_async(main, [] { note("main async from a thread ran"); }); }).join();
  desk::MSG m;
  while (desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_REMOVE)) {
  }
  EXPECT_FALSE(ran);
  EXPECT_FALSE(noted("main async from a thread ran"));
  EXPECT_TRUE(warnings.empty()) << warnings.front();
  auto stray = std::make_shared<dispatch::dispatch_item>();
  stray->dropped = [] { note("stray dropped"); };
  post_task(0x7fffff00u, stray);
  EXPECT_TRUE(noted("stray dropped"));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("invalid thread id"), std::string::npos) << warnings[0];
  dispatch_set_log_handler(nullptr);
  dispatch_sync(main, [&] { ran = true; });  // on the UI thread itself: inline as ever
  EXPECT_TRUE(ran);

  dispatch_queue_t c = dispatch_create_queue("a");
  ASSERT_NE(nullptr, c);
  EXPECT_NE(a, c);
  int value = 0;
  dispatch_sync(c, [&] { value = 1; });
  EXPECT_EQ(1, value);
  dispatch_shutdown();
  EXPECT_EQ(nullptr, dispatch_get_queue("a"));
}

}  // namespace
