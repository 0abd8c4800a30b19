#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "desk/detail/window_table.h"
#include "desk/message.h"
#include "desk/nested_loop.h"
#include "desk/test.h"
#include "desk/thread.h"

using namespace desk;

namespace {

// Takes every message left in the calling thread's queue, so each test starts empty.
void drain() {
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

class Messages : public ::testing::Test {
 protected:
  void SetUp() override { drain(); }
  void TearDown() override {
    drain();
    test::setMessageQuota(test::kDefaultMessageQuota);
  }
};

// A thread with a queue that stays alive until told to end; its id is known once it is ready.
class QueueThread {
 public:
  QueueThread() {
    thread_ = std::thread([this] {
      MSG m;
      PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE);
      ready_.set_value(GetCurrentThreadId());
      while (GetMessage(&m, nullptr, 0, 0) > 0) received_.push_back(m.message);
    });
    id_ = ready_.get_future().get();
  }
  ~QueueThread() { stop(); }
  void stop() {
    if (!thread_.joinable()) return;
    PostThreadMessage(id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  DWORD id() const { return id_; }
  const std::vector<UINT>& received() const { return received_; }

 private:
  std::promise<DWORD> ready_;
  std::thread thread_;
  DWORD id_ = 0;
  std::vector<UINT> received_;
};

TEST(Registered, EqualNamesGiveEqualNumbersInTheRegisteredRange) {
  UINT a = RegisterWindowMessage("desk-test-a");
  UINT b = RegisterWindowMessage("desk-test-b");
  EXPECT_GE(a, kFirstRegisteredMessage);
  EXPECT_LE(a, kLastRegisteredMessage);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, RegisterWindowMessage("desk-test-a"));
  EXPECT_EQ(a, RegisterWindowMessage(u"desk-test-a"));
  // Registration from another thread sees the same table.
  UINT fromThread = 0;
  std::thread([&] { fromThread = RegisterWindowMessage("desk-test-b"); }).join();
  EXPECT_EQ(b, fromThread);
  // Non-ASCII wide names match their UTF-8 form; lone surrogates stay distinct names.
  EXPECT_EQ(RegisterWindowMessage(u"caf\u00e9 \U0001F600"), RegisterWindowMessage("caf\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_NE(RegisterWindowMessage(u"x\xD800"), RegisterWindowMessage(u"x\xDC00"));
}

TEST(Registered, EmptyNamesAreRefused) {
  for (UINT got : {RegisterWindowMessage(static_cast<const char*>(nullptr)), RegisterWindowMessage(""),
                   RegisterWindowMessage(u"")}) {
    EXPECT_EQ(0u, got);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  }
}

TEST(Threads, IdsAreDistinctStableAndLastErrorIsPerThread) {
  DWORD mine = GetCurrentThreadId();
  EXPECT_NE(0u, mine);
  EXPECT_EQ(mine, GetCurrentThreadId());
  // The process's initial thread is the UI thread until someone records another.
  EXPECT_EQ(mine, uiThreadId());

  SetLastError(1234);
  std::set<DWORD> ids{mine};
  for (int i = 0; i < 4; ++i) {
    std::thread([&] {
      ids.insert(GetCurrentThreadId());
      EXPECT_EQ(ERROR_SUCCESS, GetLastError());
      SetLastError(99);
    }).join();
  }
  EXPECT_EQ(5u, ids.size());  // ids are never reused, even after their thread ended
  EXPECT_EQ(1234u, GetLastError());
}

TEST_F(Messages, PostedMessagesComeOutInOrderAndPeekCanLeaveThem) {
  DWORD self = GetCurrentThreadId();
  ASSERT_TRUE(PostThreadMessage(self, WM_USER + 1, 10, 20));
  ASSERT_TRUE(PostMessage(nullptr, WM_USER + 2, 11, 21));  // no window: to this thread
  ASSERT_TRUE(PostThreadMessage(self, WM_APP, 12, 22));

  MSG m;
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(WM_USER + 1, m.message);
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(WM_USER + 1, m.message);  // still there

  // A range takes the first message inside it, wherever it stands.
  ASSERT_TRUE(PeekMessage(&m, nullptr, WM_USER + 2, WM_APP, PM_REMOVE));
  EXPECT_EQ(WM_USER + 2, m.message);
  EXPECT_EQ(11u, m.wParam);
  EXPECT_EQ(21, m.lParam);
  EXPECT_EQ(nullptr, m.hwnd);
  EXPECT_FALSE(PeekMessage(&m, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));

  ASSERT_EQ(1, GetMessage(&m, reinterpret_cast<HWND>(-1), 0, 0));
  EXPECT_EQ(WM_USER + 1, m.message);
  ASSERT_EQ(1, GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ(WM_APP, m.message);
  EXPECT_EQ(12u, m.wParam);
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(Messages, QuitComesOutLastAndOnlyOnce) {
  PostQuitMessage(7);
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0));
  MSG m;
  // A filter that leaves WM_QUIT out does not see it.
  EXPECT_FALSE(PeekMessage(&m, nullptr, WM_USER + 1, WM_APP, PM_REMOVE));
  ASSERT_EQ(1, GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ(WM_USER, m.message);
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(WM_QUIT, m.message);
  EXPECT_EQ(0, GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ(WM_QUIT, m.message);
  EXPECT_EQ(7u, m.wParam);
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(Messages, GetMessageBlocksUntilAnotherThreadPosts) {
  DWORD self = GetCurrentThreadId();
  MSG m;
  PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE);  // make sure the queue exists
  std::thread poster([self] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostThreadMessage(self, WM_USER + 5, 1, 2);
  });
  ASSERT_EQ(1, GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ(WM_USER + 5, m.message);
  poster.join();
}

TEST_F(Messages, PostsToMissingThreadsAndFullQueuesFailWithTheirCodes) {
  // A thread that never made a queue, one that has ended, and an id never given out.
  std::promise<DWORD> started;
  std::promise<void> release;
  std::thread idle([&, wait = release.get_future()]() mutable {
    started.set_value(GetCurrentThreadId());
    wait.wait();
  });
  DWORD withoutQueue = started.get_future().get();
  DWORD ended;
  {
    QueueThread t;
    ended = t.id();
  }
  for (DWORD id : {withoutQueue, ended, 0xFFFFFF0u}) {
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 0)) << id;
    EXPECT_EQ(ERROR_INVALID_THREAD_ID, GetLastError()) << id;
  }
  release.set_value();
  idle.join();

  test::setMessageQuota(3);
  DWORD self = GetCurrentThreadId();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(PostThreadMessage(self, WM_USER, i, 0));
  EXPECT_FALSE(PostThreadMessage(self, WM_USER, 3, 0));
  EXPECT_EQ(ERROR_NOT_ENOUGH_QUOTA, GetLastError());
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_TRUE(PostThreadMessage(self, WM_USER, 4, 0));  // room again
}

TEST_F(Messages, AThreadsQueueEndsWithIt) {
  QueueThread t;
  ASSERT_TRUE(PostThreadMessage(t.id(), WM_USER + 3, 0, 0));
  t.stop();
  EXPECT_EQ(std::vector<UINT>{WM_USER + 3}, t.received());
  EXPECT_FALSE(PostThreadMessage(t.id(), WM_USER, 0, 0));
  EXPECT_EQ(ERROR_INVALID_THREAD_ID, GetLastError());
}

// ---- hooks ----------------------------------------------------------------------------------

struct HookCall {
  char hook;
  UINT message;
  WPARAM removed;
};
std::vector<HookCall> g_calls;
HHOOK g_first = nullptr;
HHOOK g_second = nullptr;

LRESULT firstHook(int code, WPARAM wParam, LPARAM lParam) {
  g_calls.push_back({'1', reinterpret_cast<MSG*>(lParam)->message, wParam});
  return CallNextHookEx(g_first, code, wParam, lParam);
}

LRESULT secondHook(int code, WPARAM wParam, LPARAM lParam) {
  g_calls.push_back({'2', reinterpret_cast<MSG*>(lParam)->message, wParam});
  return CallNextHookEx(g_second, code, wParam, lParam);
}

TEST_F(Messages, HooksSeeEveryRetrievalLastInstalledFirst) {
  g_calls.clear();
  DWORD self = GetCurrentThreadId();
  g_first = SetWindowsHookEx(WH_GETMESSAGE, firstHook, nullptr, self);
  g_second = SetWindowsHookEx(WH_GETMESSAGE, secondHook, nullptr, self);
  ASSERT_NE(nullptr, g_first);
  ASSERT_NE(nullptr, g_second);

  PostThreadMessage(self, WM_USER, 0, 0);
  PostThreadMessage(self, WM_USER + 1, 0, 0);
  MSG m;
  PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE);
  PeekMessage(&m, nullptr, 0, 0, PM_REMOVE);
  GetMessage(&m, nullptr, 0, 0);
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));  // nothing retrieved: no call

  ASSERT_EQ(6u, g_calls.size());
  const HookCall expected[] = {{'2', WM_USER, PM_NOREMOVE}, {'1', WM_USER, PM_NOREMOVE},
                               {'2', WM_USER, PM_REMOVE},   {'1', WM_USER, PM_REMOVE},
                               {'2', WM_USER + 1, PM_REMOVE}, {'1', WM_USER + 1, PM_REMOVE}};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(expected[i].hook, g_calls[i].hook) << i;
    EXPECT_EQ(expected[i].message, g_calls[i].message) << i;
    EXPECT_EQ(expected[i].removed, g_calls[i].removed) << i;
  }

  EXPECT_TRUE(UnhookWindowsHookEx(g_second));
  EXPECT_FALSE(UnhookWindowsHookEx(g_second));
  EXPECT_EQ(ERROR_INVALID_HOOK_HANDLE, GetLastError());
  g_calls.clear();
  PostThreadMessage(self, WM_USER, 0, 0);
  GetMessage(&m, nullptr, 0, 0);
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ('1', g_calls[0].hook);
  EXPECT_TRUE(UnhookWindowsHookEx(g_first));
}

TEST_F(Messages, HookInstallationRefusesWhatItCannotServe) {
  struct Case {
    int id;
    HOOKPROC proc;
    DWORD thread;
    DWORD error;
  };
  DWORD self = GetCurrentThreadId();
  const Case cases[] = {{2 /* keyboard */, firstHook, self, ERROR_INVALID_HOOK_FILTER},
                        {WH_GETMESSAGE, nullptr, self, ERROR_INVALID_PARAMETER},
                        {WH_GETMESSAGE, firstHook, 0, ERROR_INVALID_PARAMETER},
                        {WH_GETMESSAGE, firstHook, 0xFFFFFF0u, ERROR_INVALID_PARAMETER}};
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(nullptr, SetWindowsHookEx(c.id, c.proc, nullptr, c.thread));
    EXPECT_EQ(c.error, GetLastError());
  }
}

// A hook that pumps the queue from inside itself, as a main-queue item that opens a message box
// does: the layer must hold no lock while the hook runs and must call it again, nested.
int g_depth = 0;
int g_maxDepth = 0;
std::vector<WPARAM> g_seen;
HHOOK g_reentrant = nullptr;

LRESULT reentrantHook(int code, WPARAM wParam, LPARAM lParam) {
  MSG* msg = reinterpret_cast<MSG*>(lParam);
  if (msg->message == WM_USER + 9 && wParam == PM_REMOVE) {
    g_seen.push_back(msg->wParam);
    ++g_depth;
    g_maxDepth = std::max(g_maxDepth, g_depth);
    if (msg->wParam < 3) {
      // Pump, nested, until the next level has been seen by this very hook.
      size_t before = g_seen.size();
      PostThreadMessage(GetCurrentThreadId(), WM_USER + 9, msg->wParam + 1, 0);
      MSG inner;
      while (g_seen.size() == before && GetMessage(&inner, nullptr, 0, 0) > 0) {
      }
    }
    --g_depth;
  }
  return CallNextHookEx(g_reentrant, code, wParam, lParam);
}

TEST_F(Messages, HooksMayPumpTheQueueFromInside) {
  g_seen.clear();
  g_reentrant = SetWindowsHookEx(WH_GETMESSAGE, reentrantHook, nullptr, GetCurrentThreadId());
  PostThreadMessage(GetCurrentThreadId(), WM_USER + 9, 0, 0);
  MSG m;
  ASSERT_EQ(1, GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ((std::vector<WPARAM>{0, 1, 2, 3}), g_seen);
  EXPECT_EQ(4, g_maxDepth);
  UnhookWindowsHookEx(g_reentrant);
}

TEST_F(Messages, HooksOfAnEndedThreadAreGone) {
  HHOOK hook = nullptr;
  {
    QueueThread t;
    hook = SetWindowsHookEx(WH_GETMESSAGE, firstHook, nullptr, t.id());  // another thread's
    ASSERT_NE(nullptr, hook);
  }
  EXPECT_FALSE(UnhookWindowsHookEx(hook));
  EXPECT_EQ(ERROR_INVALID_HOOK_HANDLE, GetLastError());
}

// ---- windows ---------------------------------------------------------------------------------

// Stands in for the window table the windows will bring: one window on a given thread.
class OneWindow : public detail::WindowTable {
 public:
  explicit OneWindow(DWORD thread) : thread_(thread) {}
  HWND hwnd() const { return reinterpret_cast<HWND>(0x1234); }
  DWORD windowThread(HWND h) override { return h == hwnd() ? thread_ : 0; }
  LRESULT dispatch(const MSG& msg) override {
    received.push_back(msg.message);
    ++count;
    return 42;
  }
  std::vector<UINT> received;  // read once the window's thread is done with it
  std::atomic<int> count{0};

 private:
  DWORD thread_;
};

TEST_F(Messages, DispatchGoesToTheWindowAndThreadMessagesGoNowhere) {
  MSG threadMsg;
  threadMsg.message = WM_USER;
  EXPECT_EQ(0, DispatchMessage(&threadMsg));  // no windows at all yet
  EXPECT_FALSE(TranslateMessage(&threadMsg));

  OneWindow table(GetCurrentThreadId());
  detail::setWindowTable(&table);
  ASSERT_TRUE(PostMessage(table.hwnd(), WM_USER + 4, 0, 0));
  PostThreadMessage(GetCurrentThreadId(), WM_USER + 5, 0, 0);
  MSG m;
  // A window filter takes that window's messages only.
  ASSERT_TRUE(PeekMessage(&m, table.hwnd(), 0, 0, PM_REMOVE));
  EXPECT_EQ(table.hwnd(), m.hwnd);
  EXPECT_EQ(42, DispatchMessage(&m));
  EXPECT_FALSE(PeekMessage(&m, table.hwnd(), 0, 0, PM_REMOVE));
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(0, DispatchMessage(&m));
  EXPECT_EQ(std::vector<UINT>{WM_USER + 4}, table.received);

  HWND unknown = reinterpret_cast<HWND>(0x999);
  EXPECT_FALSE(PostMessage(unknown, WM_USER, 0, 0));
  EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
  EXPECT_EQ(-1, GetMessage(&m, unknown, 0, 0));
  m.hwnd = unknown;
  EXPECT_EQ(0, DispatchMessage(&m));
  EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
  detail::setWindowTable(nullptr);
}

// ---- nested loops ----------------------------------------------------------------------------

TEST_F(Messages, NestedLoopRunsUntilEndedFromAnotherThread) {
  NestedLoop loop;
  std::atomic<int> handled{0};
  OneWindow table(GetCurrentThreadId());
  detail::setWindowTable(&table);
  std::thread other([&] {
    PostMessage(table.hwnd(), WM_USER + 6, 0, 0);
    // Wait until the loop has handled the message, so the end comes while it is waiting.
    while (table.count.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    loop.end(5);
    loop.end(6);  // only the first end counts
  });
  EXPECT_EQ(5, loop.run());
  other.join();
  EXPECT_EQ(std::vector<UINT>{WM_USER + 6}, table.received);
  EXPECT_FALSE(loop.quitReceived());
  detail::setWindowTable(nullptr);
}

TEST_F(Messages, NestedLoopEndedBeforeRunReturnsAtOnce) {
  NestedLoop loop;
  loop.end(3);
  EXPECT_EQ(3, loop.run());
}

TEST_F(Messages, NestedLoopPassesAQuitOnToTheEnclosingLoop) {
  NestedLoop loop;
  PostQuitMessage(9);
  EXPECT_EQ(-1, loop.run(-1));
  EXPECT_TRUE(loop.quitReceived());
  MSG m;
  EXPECT_EQ(0, GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ(9u, m.wParam);
}

}  // namespace
