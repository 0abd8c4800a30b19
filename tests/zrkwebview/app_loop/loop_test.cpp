// The application's message loop on a test thread that the dispatch library records as the UI
// thread, in virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "desk/dialog_message.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/timers.h"

namespace {

// A thread that starts the dispatch library (becoming the UI thread) and then runs jobs. Between
// jobs it waits in the layer, so the test clock sees it idle.
class UiThread {
 public:
  UiThread() {
    wake_ = desk::CreateEvent(nullptr, FALSE_, FALSE_, nullptr);
    thread_ = std::thread([this] {
      dispatch_init();
      for (;;) {
        desk::DWORD r = desk::MsgWaitForMultipleObjects(1, &wake_, 0, desk::INFINITE,
                                                        desk::QS_ALLINPUT);
        if (r != desk::WAIT_OBJECT_0) {
          desk::MSG msg;
          while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) desk::DispatchMessage(&msg);
          continue;
        }
        std::function<void()> job;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stop_) break;
          job = std::move(job_);
          job_ = nullptr;
        }
        if (!job) continue;
        job();
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
        cv_.notify_all();
      }
      dispatch_shutdown();
    });
  }
  ~UiThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    desk::SetEvent(wake_);
    thread_.join();
    desk::CloseHandle(wake_);
  }
  // Starts `job` on the UI thread; `wait` returns once it has finished (false after `guard` of
  // real time).
  void start(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    target_ = finished_ + 1;
    desk::SetEvent(wake_);
  }
  bool finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_ >= target_;
  }
  bool wait(std::chrono::milliseconds guard = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, guard, [&] { return finished_ >= target_; });
  }
  void run(std::function<void()> job) {
    start(std::move(job));
    ASSERT_TRUE(wait());
  }

 private:
  static constexpr desk::BOOL FALSE_ = 0;
  desk::HANDLE wake_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::function<void()> job_;
  bool stop_ = false;
  unsigned finished_ = 0;
  unsigned target_ = 0;
};

UiThread* ui = nullptr;

class AppLoopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desk::test::reset();
    ui = new UiThread();
    // Wait until it is recorded as the UI thread.
    ui->run([] {});
  }
  static void TearDownTestSuite() {
    delete ui;
    ui = nullptr;
  }
};

bool waitFor(const std::function<bool()>& done) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

desk::LRESULT plainProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                        desk::LPARAM lParam) {
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

desk::HWND makeWindow(const char16_t* title) {
  desk::WNDCLASSEX wc;
  wc.lpfnWndProc = plainProc;
  wc.lpszClassName = u"LoopTestWindow";
  desk::RegisterClassEx(&wc);
  return desk::CreateWindowEx(0, u"LoopTestWindow", title, desk::WS_OVERLAPPEDWINDOW, 0, 0, 100,
                              100, nullptr, nullptr, nullptr, nullptr);
}

TEST_F(AppLoopTest, ADialogAnnouncedTwiceIsOfferedTwiceUntilBothRemovals) {
  constexpr desk::UINT kProbe = desk::WM_USER + 77;
  std::vector<int> offersPerProbe;
  int offers = 0;
  std::vector<desk::HWND> offeredDialogs;
  int exitCode = -1;
  ui->run([&] {
    desk::HWND first = makeWindow(u"first");
    desk::HWND second = makeWindow(u"second");
    desk::HWND dialog = makeWindow(u"dialog");
    desk::HWND notAWindow = reinterpret_cast<desk::HWND>(0x7FFF0001);
    auto probe = [&] { desk::PostMessage(first, kProbe, 0, 0); };
    desk::PostMessage(first, zrk::wmAddDialog(), 0, reinterpret_cast<desk::LPARAM>(dialog));
    desk::PostMessage(second, zrk::wmAddDialog(), 0, reinterpret_cast<desk::LPARAM>(dialog));
    desk::PostMessage(first, zrk::wmAddDialog(), 0, reinterpret_cast<desk::LPARAM>(notAWindow));
    probe();
    desk::PostMessage(first, zrk::wmRemoveDialog(), 0, reinterpret_cast<desk::LPARAM>(dialog));
    probe();
    desk::PostMessage(second, zrk::wmRemoveDialog(), 0, reinterpret_cast<desk::LPARAM>(dialog));
    probe();
    desk::PostMessage(second, zrk::wmRemoveDialog(), 0, reinterpret_cast<desk::LPARAM>(dialog));
    probe();
    desk::PostQuitMessage(3);  // comes out once the posts above are handled
    exitCode = zrk::runMessageLoop([&](desk::HWND dlg, desk::MSG* msg) -> desk::BOOL {
      if (msg->message == kProbe) {
        ++offers;
        offeredDialogs.push_back(dlg);
      }
      return 0;  // not taken: dispatched as usual
    });
    desk::DestroyWindow(first);
    desk::DestroyWindow(second);
    desk::DestroyWindow(dialog);
  });
  EXPECT_EQ(exitCode, 3);
  // Probe 1: listed twice; probe 2: once; probes 3 and 4: not at all.
  EXPECT_EQ(offers, 3);
  ASSERT_EQ(offeredDialogs.size(), 3u);
  EXPECT_EQ(offeredDialogs[0], offeredDialogs[1]);
  EXPECT_EQ(offeredDialogs[1], offeredDialogs[2]);
}

TEST_F(AppLoopTest, ATakenMessageIsNotDispatchedAgain) {
  int dispatched = 0;
  int taken = 0;
  ui->run([&] {
    desk::HWND dialog = makeWindow(u"dialog");
    desk::HWND other = makeWindow(u"other");
    desk::PostMessage(other, zrk::wmAddDialog(), 0, reinterpret_cast<desk::LPARAM>(dialog));
    // The layer's IsDialogMessage takes what is meant for the dialog, and only that.
    desk::PostMessage(dialog, desk::WM_USER + 5, 0, 0);
    desk::PostMessage(other, desk::WM_USER + 5, 0, 0);
    desk::PostQuitMessage(0);
    zrk::runMessageLoop([&](desk::HWND dlg, desk::MSG* msg) -> desk::BOOL {
      desk::BOOL took = desk::IsDialogMessage(dlg, msg);
      if (msg->message == desk::WM_USER + 5) (took ? taken : dispatched)++;
      return took;
    });
    desk::DestroyWindow(dialog);
    desk::DestroyWindow(other);
  });
  EXPECT_EQ(taken, 1);
  EXPECT_EQ(dispatched, 1);
}

// quit(delay) ends the loop after max(delay, 1000) ms of virtual time, not earlier, whether it is
// called on the UI thread or on a queue thread.
TEST_F(AppLoopTest, QuitEndsTheLoopAfterItsDelay) {
  const struct {
    uint32_t delay;
    uint64_t expected;
    bool fromQueue;
  } cases[] = {
      {0, 1000, false}, {999, 1000, false}, {5000, 5000, false},
      {0, 1000, true},  {999, 1000, true},  {5000, 5000, true},
  };
  auto app = zrk::App::instance();
  for (const auto& c : cases) {
    std::atomic<uint32_t> timerId{0};
    std::atomic<bool> called{false};
    std::atomic<uint64_t> started{0};
    std::atomic<uint64_t> ended{0};
    ui->start([&] {
      started = desk::test::clock()->now();
      if (!c.fromQueue) {
        timerId = app->quit(c.delay);
        called = true;
      } else {
        dispatch_async(dispatch_create_queue("loop-test-queue"), [&] {
          timerId = app->quit(c.delay);
          called = true;
        });
      }
      zrk::runMessageLoop();
      ended = desk::test::clock()->now();
    });
    ASSERT_TRUE(waitFor([&] { return called.load(); })) << c.delay;
    EXPECT_GE(timerId.load(), 6000u);
    EXPECT_LE(timerId.load(), 6999u);
    desk::test::advance(c.expected - 1);
    EXPECT_FALSE(ui->finished()) << c.delay << (c.fromQueue ? " from a queue" : "");
    desk::test::advance(1);
    ASSERT_TRUE(ui->wait()) << c.delay;
    EXPECT_EQ(ended.load() - started.load(), c.expected)
        << c.delay << (c.fromQueue ? " from a queue" : "");
  }
}

}  // namespace
