#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "desk/message.h"
#include "desk/nested_loop.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"

using namespace desk;

namespace {

constexpr UINT kAsk = WM_USER + 1;       // answers lParam + 1, from the window's thread
constexpr UINT kAskBack = WM_USER + 2;   // sends kAsk to the window in wParam and adds 100
constexpr UINT kDestroy = WM_USER + 3;   // destroys the window in wParam

std::atomic<DWORD> g_lastThread{0};

LRESULT CALLBACK_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kAsk:
      g_lastThread = GetCurrentThreadId();
      return lParam + 1;
    case kAskBack:
      return SendMessage(reinterpret_cast<HWND>(wParam), kAsk, 0, lParam) + 100;
    case kDestroy: return DestroyWindow(reinterpret_cast<HWND>(wParam));
    default: return DefWindowProc(hwnd, message, wParam, lParam);
  }
}

HWND makeWindow() {
  return CreateWindowEx(0, u"SendTest", u"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                        nullptr);
}

// A thread that owns one window and runs a loop the test picks.
class WindowThread {
 public:
  enum class Loop { Get, Nested, Menu, None };
  explicit WindowThread(Loop loop) : loop_(loop) {
    thread_ = std::thread([this] { run(); });
    hwnd_ = ready_.get_future().get();
  }
  ~WindowThread() { stop(); }
  void stop() {
    if (!thread_.joinable()) return;
    release_.set_value();
    quit_ = true;
    if (NestedLoop* loop = nested_.load()) loop->end(0);
    PostThreadMessage(id_.load(), WM_QUIT, 0, 0);
    thread_.join();
  }
  HWND hwnd() const { return hwnd_; }
  DWORD id() const { return id_; }
  std::atomic<bool> inLoop{false};

 private:
  void run() {
    id_ = GetCurrentThreadId();
    HWND h = makeWindow();
    std::shared_future<void> released = release_.get_future().share();
    ready_.set_value(h);
    MSG m;
    switch (loop_) {
      case Loop::Get:
        inLoop = true;
        while (GetMessage(&m, nullptr, 0, 0) > 0) DispatchMessage(&m);
        break;
      case Loop::Nested: {
        NestedLoop loop;
        nested_ = &loop;
        inLoop = true;
        if (!quit_) loop.run();
        nested_ = nullptr;
        break;
      }
      case Loop::Menu: {
        HMENU menu = CreatePopupMenu();
        AppendMenu(menu, MF_STRING, 5, u"five");
        inLoop = true;
        TrackPopupMenuEx(menu, TPM_RETURNCMD, 0, 0, h, nullptr);
        break;
      }
      case Loop::None:
        inLoop = true;
        released.wait();  // never looks at its queue
        break;
    }
  }
  Loop loop_;
  std::thread thread_;
  std::promise<HWND> ready_;
  std::promise<void> release_;
  HWND hwnd_ = nullptr;
  std::atomic<DWORD> id_{0};
  std::atomic<bool> quit_{false};
  std::atomic<NestedLoop*> nested_{nullptr};
};

class Send : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSEX wc;
    wc.lpfnWndProc = CALLBACK_proc;
    wc.lpszClassName = u"SendTest";
    RegisterClassEx(&wc);
  }
  void SetUp() override { test::reset(); }
  void TearDown() override { test::reset(); }
};

TEST_F(Send, CrossThreadSendRunsOnTheOwnerInEveryKindOfLoop) {
  for (auto loop : {WindowThread::Loop::Get, WindowThread::Loop::Nested}) {
    WindowThread t(loop);
    EXPECT_EQ(8, SendMessage(t.hwnd(), kAsk, 0, 7));
    EXPECT_EQ(t.id(), g_lastThread.load());
  }
}

TEST_F(Send, ASendReachesAThreadInsideAPopupMenu) {
  std::atomic<bool> answered{false};
  // The chooser keeps the menu up until the send has been answered.
  test::setPopupMenuChooser([&](HMENU, HWND, POINT) -> UINT_PTR {
    test::pumpUntil([&] { return answered.load(); });
    return 5;
  });
  WindowThread t(WindowThread::Loop::Menu);
  EXPECT_EQ(3, SendMessage(t.hwnd(), kAsk, 0, 2));
  EXPECT_EQ(t.id(), g_lastThread.load());
  answered = true;
}

TEST_F(Send, ASendAnsweredByASendBackIsServedWhileBlocked) {
  HWND mine = makeWindow();
  WindowThread t(WindowThread::Loop::Get);
  EXPECT_EQ(111, SendMessage(t.hwnd(), kAskBack, reinterpret_cast<WPARAM>(mine), 10));
  EXPECT_EQ(GetCurrentThreadId(), g_lastThread.load());
}

TEST_F(Send, ASendToAThreadThatEndsOrAWindowThatGoesReturnsZero) {
  // The thread ends while the send waits.
  {
    WindowThread t(WindowThread::Loop::None);
    std::promise<std::pair<LRESULT, DWORD>> outcome;
    std::thread sender([&] {
      LRESULT r = SendMessage(t.hwnd(), kAsk, 0, 1);
      outcome.set_value({r, GetLastError()});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the send queue up
    t.stop();
    auto [r, error] = outcome.get_future().get();
    sender.join();
    EXPECT_EQ(0, r);
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, error);
  }
  // The window is destroyed while the send waits for its thread.
  {
    std::promise<HWND> made;
    std::promise<void> go;
    std::thread owner([&] {
      HWND h = makeWindow();
      made.set_value(h);
      go.get_future().wait();
      DestroyWindow(h);
      MSG m;
      while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);  // serves the send
    });
    HWND h = made.get_future().get();
    std::promise<std::pair<LRESULT, DWORD>> outcome;
    std::thread sender([&] {
      LRESULT r = SendMessage(h, kAsk, 0, 1);
      outcome.set_value({r, GetLastError()});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the send queue up
    go.set_value();
    auto [r, error] = outcome.get_future().get();
    sender.join();
    owner.join();
    EXPECT_EQ(0, r);
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, error);
  }
}

TEST_F(Send, ASendToAThreadThatDoesNotPumpGivesUpAfterTheHungLimit) {
  test::setHungLimit(100);
  WindowThread t(WindowThread::Loop::None);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  SetLastError(0);
  EXPECT_EQ(0, SendMessage(t.hwnd(), kAsk, 0, 1));
  EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
  // A broadcast skips it and still reaches the others.
  HWND mine = makeWindow();
  test::clearSpy();
  EXPECT_EQ(1, SendMessage(HWND_BROADCAST, kAsk, 0, 1));
  EXPECT_EQ(std::vector<UINT>{kAsk}, test::spyMessages(mine, {kAsk}));
  EXPECT_TRUE(test::spyMessages(t.hwnd(), {kAsk}).empty());
}

TEST_F(Send, SendMessageTimeoutEndsOnTheClock) {
  WindowThread t(WindowThread::Loop::None);
  std::promise<std::pair<LRESULT, DWORD>> outcome;
  std::atomic<bool> sending{false};
  std::thread sender([&] {
    DWORD_PTR result = 99;
    sending = true;
    LRESULT r = SendMessageTimeout(t.hwnd(), kAsk, 0, 1, SMTO_NORMAL, 1000, &result);
    outcome.set_value({r, GetLastError()});
  });
  while (!sending) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  test::clock()->advance(999);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  auto f = outcome.get_future();
  EXPECT_EQ(std::future_status::timeout, f.wait_for(std::chrono::milliseconds(0)));
  // (Moved on until the send gives up, however late it started its wait.)
  while (f.wait_for(std::chrono::milliseconds(10)) == std::future_status::timeout)
    test::clock()->advance(1);
  auto [r, error] = f.get();
  sender.join();
  EXPECT_EQ(0, r);
  EXPECT_EQ(ERROR_TIMEOUT, error);
}

TEST_F(Send, UiBroadcastReturnsWhilePluginThreadWaitsInDispatchSync) {
  dispatch_init();
  dispatch_queue_t plugin = dispatch_create_queue("plugin-requests-1");
  HWND pluginWindow = nullptr;
  dispatch_sync(plugin, [&] { pluginWindow = makeWindow(); });
  ASSERT_TRUE(IsWindow(pluginWindow));
  std::atomic<bool> waiting{false};
  std::atomic<bool> ran{false};
  dispatch_async(plugin, [&] {
    waiting = true;
    dispatch_sync(dispatch_get_main_queue(), [&] { ran = true; });
  });
  while (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // into dispatch_sync's wait
  test::clearSpy();
  EXPECT_EQ(1, SendMessage(HWND_BROADCAST, kAsk, 0, 1));
  EXPECT_EQ(std::vector<UINT>{kAsk}, test::spyMessages(pluginWindow, {kAsk}));
  EXPECT_EQ(std::vector<UINT>{kAsk}, test::spyMessages(nullptr, {kAsk}));
  ASSERT_TRUE(test::pumpUntil([&] { return ran.load(); }));
  dispatch_sync(plugin, [&] { DestroyWindow(pluginWindow); });
  dispatch_release_queue(plugin);
  dispatch_shutdown();
}

TEST_F(Send, ProceduresMayPumpAndDestroyInsideASend) {
  HWND a = makeWindow();
  HWND b = makeWindow();
  EXPECT_TRUE(SendMessage(a, kDestroy, reinterpret_cast<WPARAM>(b), 0));
  EXPECT_FALSE(IsWindow(b));
  // Messages posted to a destroyed window are dropped.
  PostMessage(a, WM_USER + 9, 0, 0);
  DestroyWindow(a);
  test::clearSpy();
  EXPECT_EQ(0, test::pump());
}

TEST_F(Send, WaitsOnEventsAndInputServeSendsAndTimeOutOnTheClock) {
  HANDLE manual = CreateEvent(nullptr, 1, 0, nullptr);
  HANDLE autoReset = CreateEvent(nullptr, 0, 1, nullptr);
  HANDLE both[] = {manual, autoReset};
  // The signalled auto-reset event lets one wait through, then is clear again.
  EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(2, both, 0, 0, 0));
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(2, both, 0, 0, 0));
  // Input ends the wait with WAIT_OBJECT_0 + count.
  PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0);
  EXPECT_EQ(WAIT_OBJECT_0 + 2, MsgWaitForMultipleObjects(2, both, 0, INFINITE, QS_ALLINPUT));
  test::pump();
  // An event set by another thread; a send to a window of ours is served meanwhile.
  HWND mine = makeWindow();
  std::thread other([&] {
    EXPECT_EQ(6, SendMessage(mine, kAsk, 0, 5));
    SetEvent(manual);
  });
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(2, both, 0, INFINITE, 0));
  other.join();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));  // manual: stays set
  ResetEvent(manual);
  // A timed wait ends only when the clock is moved past it.
  std::atomic<DWORD> result{0xDEAD};
  std::thread waiter([&] { result = WaitForSingleObject(manual, 100); });
  while (test::clock()->waiters() == 0) std::this_thread::yield();
  test::clock()->advance(99);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(0xDEADu, result.load());
  test::clock()->advance(1);
  waiter.join();
  EXPECT_EQ(WAIT_TIMEOUT, result.load());
  // A duplicate keeps the event alive after the first handle is closed.
  HANDLE dup = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), manual, GetCurrentProcess(), &dup, 0, 0,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(SetEvent(dup));
  EXPECT_TRUE(CloseHandle(dup));
  EXPECT_TRUE(CloseHandle(autoReset));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(manual, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(Send, DispatchSyncFromTheUiThreadServesSendsToIt) {
  dispatch_init();
  HWND mine = makeWindow();
  dispatch_queue_t worker = dispatch_create_queue("desk-send-worker");
  LRESULT answer = 0;
  dispatch_sync(worker, [&] { answer = SendMessage(mine, kAsk, 0, 41); });
  EXPECT_EQ(42, answer);
  EXPECT_EQ(GetCurrentThreadId(), g_lastThread.load());
  dispatch_release_queue(worker);
  dispatch_shutdown();
}

}  // namespace
