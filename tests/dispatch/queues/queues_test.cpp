// The test's main thread is the UI thread: it calls dispatch_init and pumps its own queue where a
// test needs main-queue work to run.
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
#include "desk/nested_loop.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"

namespace {

struct LogLine {
  int level;
  std::string message;
};

class Queues : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch_init();
    dispatch_set_log_level(DISPATCH_LOG_DEBUG);
    dispatch_set_log_handler([this](const std::string&, int, const char*, int level,
                                    const std::string& message) {
      std::lock_guard<std::mutex> guard(logMutex_);
      log_.push_back({level, message});
    });
  }
  void TearDown() override {
    dispatch_set_log_handler(nullptr);
    dispatch_set_log_level(DISPATCH_LOG_WARN);
    desk::test::setMessageQuota(desk::test::kDefaultMessageQuota);
  }

  // Lines logged so far that contain `text`.
  std::vector<LogLine> logged(const std::string& text) {
    std::lock_guard<std::mutex> guard(logMutex_);
    std::vector<LogLine> out;
    for (const LogLine& l : log_)
      if (l.message.find(text) != std::string::npos) out.push_back(l);
    return out;
  }

  // Pumps the UI thread's queue until `done` holds.
  template <typename Pred>
  static void pumpUntil(Pred done) {
    desk::MSG m;
    while (!done()) {
      if (desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_REMOVE)) {
        desk::TranslateMessage(&m);
        desk::DispatchMessage(&m);
      } else {
        desk::MsgWaitForMultipleObjects(0, nullptr, 0, 5, desk::QS_ALLINPUT);
      }
    }
  }

  static uint32_t threadOf(dispatch_queue_t q) { return q->threadId; }

  std::mutex logMutex_;
  std::vector<LogLine> log_;
};

TEST_F(Queues, InitRecordsTheUiThreadOnce) {
  dispatch_queue_t main = dispatch_get_main_queue();
  ASSERT_NE(nullptr, main);
  EXPECT_EQ(desk::GetCurrentThreadId(), threadOf(main));
  EXPECT_EQ(desk::GetCurrentThreadId(), desk::uiThreadId());
  std::thread([] { dispatch_init(); }).join();  // a second call changes nothing
  EXPECT_EQ(main, dispatch_get_main_queue());
  EXPECT_EQ(desk::GetCurrentThreadId(), desk::uiThreadId());
}

TEST_F(Queues, CreatingANameTwiceGivesOneQueue) {
  dispatch_queue_t a = dispatch_create_queue("create-twice");
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(a, dispatch_create_queue("create-twice"));
  EXPECT_EQ(a, dispatch_get_queue("create-twice"));
  EXPECT_NE(desk::GetCurrentThreadId(), threadOf(a));
  EXPECT_EQ(nullptr, dispatch_create_queue(nullptr));
  EXPECT_EQ(nullptr, dispatch_create_queue(""));
  EXPECT_EQ(nullptr, dispatch_get_queue(nullptr));
  EXPECT_EQ(nullptr, dispatch_get_queue("never-made"));
  EXPECT_EQ(0u, dispatch_queue_pending_count(a));
  EXPECT_EQ(0u, dispatch_queue_pending_count(nullptr));
  dispatch_release_queue(a);
}

TEST_F(Queues, ItemsRunOneAtATimeInPostingOrderOnTheQueueThread) {
  dispatch_queue_t q = dispatch_create_queue("fifo");
  constexpr int kItems = 200;
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlap{false};
  std::atomic<bool> wrongThread{false};
  std::promise<void> done;
  for (int i = 0; i < kItems; ++i) {
    dispatch_async(q, [&, i] {
      if (++running != 1) overlap = true;
      if (desk::GetCurrentThreadId() != threadOf(q)) wrongThread = true;
      order.push_back(i);
      --running;
      if (i == kItems - 1) done.set_value();
    });
  }
  done.get_future().wait();
  ASSERT_EQ(static_cast<size_t>(kItems), order.size());
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(i, order[i]);
  EXPECT_FALSE(overlap);
  EXPECT_FALSE(wrongThread);
  dispatch_release_queue(q);
}

TEST_F(Queues, SyncRunsInlineOnItsOwnQueueAndWaitsFromOthers) {
  dispatch_queue_t q = dispatch_create_queue("sync");
  std::vector<std::string> steps;
  // From the UI thread: returns only after the work ran on the queue thread.
  dispatch_sync(q, [&] {
    steps.push_back("outer");
    // From the queue's own thread: inline, before dispatch_sync returns.
    dispatch_sync(q, [&] { steps.push_back("inner"); });
    steps.push_back("after inner");
    EXPECT_EQ(threadOf(q), desk::GetCurrentThreadId());
  });
  steps.push_back("returned");
  EXPECT_EQ((std::vector<std::string>{"outer", "inner", "after inner", "returned"}), steps);

  // To the main queue from the UI thread: inline, nothing posted.
  bool ran = false;
  dispatch_sync(dispatch_get_main_queue(), [&] { ran = true; });
  EXPECT_TRUE(ran);
  desk::MSG m;
  EXPECT_FALSE(desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_NOREMOVE));
  dispatch_release_queue(q);
}

TEST_F(Queues, SyncToTheMainQueueFromAQueueWaitsForTheUiThread) {
  dispatch_queue_t q = dispatch_create_queue("to-main");
  std::atomic<bool> mainRan{false};
  std::atomic<bool> returnedAfter{false};
  std::atomic<bool> finished{false};
  uint32_t ranOn = 0;
  dispatch_async(q, [&] {
    dispatch_sync(dispatch_get_main_queue(), [&] {
      ranOn = desk::GetCurrentThreadId();
      mainRan = true;
    });
    returnedAfter = mainRan.load();
    finished = true;
  });
  pumpUntil([&] { return finished.load(); });
  EXPECT_TRUE(returnedAfter);
  EXPECT_EQ(desk::GetCurrentThreadId(), ranOn);
  dispatch_release_queue(q);
}

TEST_F(Queues, MainQueueWorkRunsInsideNestedLoops) {
  // The UI thread sits in a modal loop (a message box's, say); work queued to the main queue from
  // another thread runs inside it, and may itself open another modal loop that runs more work.
  desk::NestedLoop outer;
  std::vector<std::string> steps;
  std::thread other([&] {
    dispatch_async(dispatch_get_main_queue(), [&] {
      steps.push_back("first on " + std::to_string(desk::GetCurrentThreadId()));
      desk::NestedLoop inner;
      std::thread waiter([&] {
        dispatch_sync(dispatch_get_main_queue(), [&] { steps.push_back("second"); });
        inner.end(1);
      });
      steps.push_back("inner loop ended " + std::to_string(inner.run()));
      waiter.join();
      outer.end(7);
    });
  });
  EXPECT_EQ(7, outer.run());
  other.join();
  std::string ui = std::to_string(desk::GetCurrentThreadId());
  EXPECT_EQ((std::vector<std::string>{"first on " + ui, "second", "inner loop ended 1"}), steps);
}

TEST_F(Queues, AMessageSeenByPeekAndThenRemovedRunsItsItemOnce) {
  dispatch_queue_t main = dispatch_get_main_queue();
  int a = 0;
  int b = 0;
  dispatch_async(main, [&] { ++a; });
  desk::MSG m;
  ASSERT_TRUE(desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_NOREMOVE));
  EXPECT_EQ(1, a);  // the first sight runs it
  // A new item, made after the first one was freed, must not be taken for the old message.
  dispatch_async(main, [&] { ++b; });
  ASSERT_TRUE(desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_REMOVE));
  EXPECT_EQ(1, a);
  EXPECT_EQ(0, b);
  auto handled = logged("already handled on main thread");
  ASSERT_EQ(1u, handled.size());
  EXPECT_EQ(DISPATCH_LOG_DEBUG, handled[0].level);
  EXPECT_EQ(0u, handled[0].message.find(">>>! item 0x"));
  ASSERT_TRUE(desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_REMOVE));
  EXPECT_EQ(1, b);
  EXPECT_FALSE(desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_REMOVE));
}

TEST_F(Queues, NullAndStaleHandlesDoNothingAndSayNothing) {
  dispatch_queue_t old = dispatch_create_queue("stale");
  uint32_t oldThread = threadOf(old);
  dispatch_release_queue(old);
  EXPECT_EQ(nullptr, dispatch_get_queue("stale"));
  // Its thread has ended.
  EXPECT_FALSE(desk::PostThreadMessage(oldThread, desk::WM_USER, 0, 0));
  // A queue made afterwards never gets the old handle.
  dispatch_queue_t fresh = dispatch_create_queue("stale");
  EXPECT_NE(old, fresh);

  size_t before = logged("").size();
  bool ran = false;
  dispatch_async(nullptr, [&] { ran = true; });
  dispatch_sync(nullptr, [&] { ran = true; });
  dispatch_async(old, [&] { ran = true; });
  dispatch_sync(old, [&] { ran = true; });
  dispatch_release_queue(old);
  dispatch_release_queue(nullptr);
  EXPECT_EQ(before, logged("").size());  // nothing posted, nothing reported
  dispatch_sync(fresh, [] {});  // anything sent to the old handle would have run by now
  EXPECT_FALSE(ran);
  dispatch_release_queue(fresh);
}

TEST_F(Queues, ABoundaryCatchesWhatWorkThrowsAndSyncHandsItToTheCaller) {
  dispatch_queue_t q = dispatch_create_queue("throws");
  // Async: logged, and the queue goes on.
  dispatch_async(q, [] { throw std::runtime_error("std failure"); });
  dispatch_async(q, [] { throw static_cast<const char16_t*>(u"wide text \u00e9"); });
  dispatch_async(q, [] { throw 42; });
  bool after = false;
  dispatch_sync(q, [&] { after = true; });
  EXPECT_TRUE(after);
  auto failures = logged("work failed");
  ASSERT_EQ(3u, failures.size());
  EXPECT_EQ(DISPATCH_LOG_ERROR, failures[0].level);
  EXPECT_NE(std::string::npos, failures[0].message.find("std failure"));
  EXPECT_NE(std::string::npos, failures[1].message.find("wide text \xC3\xA9"));
  EXPECT_NE(std::string::npos, failures[2].message.find("unknown exception"));

  // Sync from another thread: the caller gets the very exception.
  try {
    dispatch_sync(q, [] { throw std::out_of_range("range"); });
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("range", e.what());
  }
  // Main-queue work that throws does not unwind into the message loop.
  bool next = false;
  dispatch_async(dispatch_get_main_queue(), [] { throw "narrow text"; });
  dispatch_async(dispatch_get_main_queue(), [&] { next = true; });
  pumpUntil([&] { return next; });
  EXPECT_EQ(1u, logged("narrow text").size());
  dispatch_release_queue(q);
}

TEST_F(Queues, DroppedItemsAreReportedAndNeverHangASyncCaller) {
  // A thread that does not exist.
  bool dropped = false;
  bool ran = false;
  auto item = std::make_shared<dispatch::dispatch_item>();
  item->work = [&] { ran = true; };
  item->dropped = [&] { dropped = true; };
  post_task(0xFFFFFF0u, item);
  EXPECT_TRUE(dropped);
  EXPECT_FALSE(ran);
  auto invalid = logged(">>> invalid thread id: " + std::to_string(0xFFFFFF0u));
  ASSERT_EQ(1u, invalid.size());
  EXPECT_EQ(DISPATCH_LOG_WARN, invalid[0].level);

  // The UI thread's queue is full: a sync caller on another thread fails instead of waiting.
  desk::test::setMessageQuota(4);
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(desk::PostThreadMessage(desk::GetCurrentThreadId(), desk::WM_NULL, 0, 0));
  bool mainRan = false;
  std::string error;
  std::thread([&] {
    try {
      dispatch_sync(dispatch_get_main_queue(), [&] { mainRan = true; });
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
  }).join();
  EXPECT_FALSE(mainRan);
  EXPECT_EQ("dispatch_sync: the work was dropped before it ran", error);
  EXPECT_EQ(1u, logged(">>> not enough quota: " + std::to_string(desk::GetCurrentThreadId())).size());
  desk::MSG m;
  while (desk::PeekMessage(&m, nullptr, 0, 0, desk::PM_REMOVE)) {
  }
  EXPECT_FALSE(mainRan);
}

TEST_F(Queues, ReleasingAQueueLetsItsQueuedWorkFinishFirst) {
  dispatch_queue_t q = dispatch_create_queue("release");
  std::atomic<int> runs{0};
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  dispatch_async(q, [open] { open.wait(); });
  for (int i = 0; i < 5; ++i) dispatch_async(q, [&] { ++runs; });
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    gate.set_value();
  });
  dispatch_release_queue(q);  // returns once the thread has ended
  opener.join();
  EXPECT_EQ(5, runs.load());

  // A queue may release itself from its own work.
  dispatch_queue_t self = dispatch_create_queue("release-self");
  std::promise<void> released;
  dispatch_async(self, [&] {
    dispatch_release_queue(self);
    released.set_value();
  });
  released.get_future().wait();
  EXPECT_EQ(nullptr, dispatch_get_queue("release-self"));
}

}  // namespace
