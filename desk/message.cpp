#include "desk/message.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "desk/clock.h"
#include "desk/detail/queue.h"
#include "desk/detail/window_table.h"
#include "desk/test.h"
#include "desk/thread.h"

namespace desk {
namespace {

struct HookEntry {
  uint64_t id;
  HOOKPROC proc;
};

struct ThreadQueue {
  explicit ThreadQueue(DWORD id) : threadId(id) {}

  const DWORD threadId;
  std::mutex mutex;
  std::condition_variable cv;  // only the owning thread waits on it
  std::deque<MSG> posted;
  bool quitPending = false;
  int quitCode = 0;
  bool newInput = false;  // set by every post or wake, cleared when the thread looks at its queue
  bool closed = false;    // the thread has ended
  std::vector<HookEntry> hooks;  // in installation order; the last one is called first
};

struct Registry {
  // Read on every post; written when a thread makes or ends its queue and for hooks.
  std::shared_mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
  std::unordered_map<uint64_t, DWORD> hookThreads;  // hook id -> thread
  uint64_t nextHookId = 1;
  std::atomic<size_t> quota{test::kDefaultMessageQuota};
};

// Never destroyed: threads may still end (and unregister) while static objects are destroyed.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

std::shared_ptr<ThreadQueue> findQueue(DWORD threadId) {
  Registry& r = registry();
  std::shared_lock<std::shared_mutex> guard(r.mutex);
  auto it = r.queues.find(threadId);
  return it == r.queues.end() ? nullptr : it->second;
}

// The calling thread's queue, made on first use and closed when the thread ends.
struct ThreadSlot {
  std::shared_ptr<ThreadQueue> queue;

  ~ThreadSlot() {
    if (!queue) return;
    Registry& r = registry();
    std::vector<HookEntry> hooks;
    {
      std::lock_guard<std::mutex> qguard(queue->mutex);
      queue->closed = true;
      queue->posted.clear();
      hooks.swap(queue->hooks);
    }
    std::lock_guard<std::shared_mutex> guard(r.mutex);
    r.queues.erase(queue->threadId);
    for (const HookEntry& h : hooks) r.hookThreads.erase(h.id);
  }
};

thread_local ThreadSlot t_slot;

ThreadQueue& ownQueue() {
  if (!t_slot.queue) {
    DWORD id = GetCurrentThreadId();
    auto q = std::make_shared<ThreadQueue>(id);
    Registry& r = registry();
    {
      std::lock_guard<std::shared_mutex> guard(r.mutex);
      r.queues[id] = q;
    }
    t_slot.queue = std::move(q);
  }
  return *t_slot.queue;
}

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(-1);

// A filter window must name a window (null and -1 are not windows but filters).
bool validFilterWindow(HWND hwnd) {
  if (hwnd == nullptr || hwnd == kThreadMessagesOnly) return true;
  detail::WindowTable* table = detail::windowTable();
  return table && table->windowThread(hwnd) != 0;
}

bool matches(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
  if (hwnd == kThreadMessagesOnly) {
    if (m.hwnd != nullptr) return false;
  } else if (hwnd != nullptr && m.hwnd != hwnd) {
    return false;
  }
  return (lo == 0 && hi == 0) || (lo <= m.message && m.message <= hi);
}

// Takes the first matching message, under the queue's mutex.
bool takeLocked(ThreadQueue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove) {
  q.newInput = false;
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!matches(*it, hwnd, lo, hi)) continue;
    *out = *it;
    if (remove) q.posted.erase(it);
    return true;
  }
  if (q.quitPending && ((lo == 0 && hi == 0) || (lo <= WM_QUIT && WM_QUIT <= hi))) {
    *out = MSG{};
    out->message = WM_QUIT;
    out->wParam = static_cast<WPARAM>(q.quitCode);
    out->time = GetTickCount();
    if (remove) q.quitPending = false;
    return true;
  }
  return false;
}

HOOKPROC hookProcLocked(const ThreadQueue& q, size_t index) { return q.hooks[index].proc; }

// The hook to call first, read under the queue's lock together with the message.
HOOKPROC firstHookLocked(const ThreadQueue& q) {
  return q.hooks.empty() ? nullptr : hookProcLocked(q, q.hooks.size() - 1);
}

// Runs the thread's get-message hooks on a message just retrieved, with no lock held.
void callHooks(HOOKPROC first, MSG* msg, UINT removeFlag) {
  if (first) first(HC_ACTION, removeFlag, reinterpret_cast<LPARAM>(msg));
}

BOOL postTo(DWORD threadId, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return 0;
  }
  MSG m;
  m.hwnd = hwnd;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = GetTickCount();
  {
    std::lock_guard<std::mutex> guard(q->mutex);
    if (q->closed) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return 0;
    }
    if (q->posted.size() >= registry().quota.load()) {
      SetLastError(ERROR_NOT_ENOUGH_QUOTA);
      return 0;
    }
    q->posted.push_back(m);
    q->newInput = true;
  }
  q->cv.notify_one();
  return 1;
}

// Equal names map to equal numbers; the wide form is stored as UTF-8 (a lone surrogate keeps its
// own three-byte form, so distinct wide names stay distinct).
std::string narrowName(const char16_t* name) {
  std::string out;
  for (const char16_t* p = name; *p; ++p) {
    uint32_t c = *p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
      ++p;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

UINT registerName(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, UINT> names;
  std::lock_guard<std::mutex> guard(mutex);
  auto it = names.find(name);
  if (it != names.end()) return it->second;
  UINT next = kFirstRegisteredMessage + static_cast<UINT>(names.size());
  if (next > kLastRegisteredMessage) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  names.emplace(name, next);
  return next;
}

}  // namespace

UINT RegisterWindowMessage(const char* name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return registerName(name);
}

UINT RegisterWindowMessage(const char16_t* name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return registerName(narrowName(name));
}

BOOL PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  return postTo(threadId, nullptr, message, wParam, lParam);
}

BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (hwnd == nullptr) {
    ownQueue();
    return postTo(GetCurrentThreadId(), nullptr, message, wParam, lParam);
  }
  detail::WindowTable* table = detail::windowTable();
  DWORD owner = table ? table->windowThread(hwnd) : 0;
  if (owner == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return postTo(owner, hwnd, message, wParam, lParam);
}

void PostQuitMessage(int exitCode) {
  ThreadQueue& q = ownQueue();
  std::lock_guard<std::mutex> guard(q.mutex);
  q.quitPending = true;
  q.quitCode = exitCode;
  q.newInput = true;
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!validFilterWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  ThreadQueue& q = ownQueue();
  bool remove = (removeFlags & PM_REMOVE) != 0;
  HOOKPROC first;
  {
    std::lock_guard<std::mutex> guard(q.mutex);
    if (!takeLocked(q, msg, hwnd, filterMin, filterMax, remove)) return 0;
    first = firstHookLocked(q);
  }
  callHooks(first, msg, remove ? PM_REMOVE : PM_NOREMOVE);
  return 1;
}

BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!validFilterWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  ThreadQueue& q = ownQueue();
  HOOKPROC first;
  {
    std::unique_lock<std::mutex> lock(q.mutex);
    while (!takeLocked(q, msg, hwnd, filterMin, filterMax, true)) q.cv.wait(lock);
    first = firstHookLocked(q);
  }
  callHooks(first, msg, PM_REMOVE);
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL WaitMessage() {
  ThreadQueue& q = ownQueue();
  std::unique_lock<std::mutex> lock(q.mutex);
  q.cv.wait(lock, [&q] { return q.newInput; });
  return 1;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
  (void)handles;
  (void)waitAll;
  (void)wakeMask;
  if (count != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  ThreadQueue& q = ownQueue();
  std::shared_ptr<Clock> clock = currentClock();
  uint64_t deadline = milliseconds == INFINITE ? Clock::kNever : clock->now() + milliseconds;
  std::unique_lock<std::mutex> lock(q.mutex);
  bool input = clock->waitUntil(lock, q.cv, deadline, [&q] { return q.newInput; });
  return input ? WAIT_OBJECT_0 + count : WAIT_TIMEOUT;
}

BOOL TranslateMessage(const MSG* msg) {
  (void)msg;
  return 0;
}

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (msg->hwnd == nullptr) return 0;
  detail::WindowTable* table = detail::windowTable();
  if (!table || table->windowThread(msg->hwnd) == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return table->dispatch(*msg);
}

HHOOK SetWindowsHookEx(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId) {
  (void)module;
  if (idHook != WH_GETMESSAGE) {
    SetLastError(ERROR_INVALID_HOOK_FILTER);
    return nullptr;
  }
  if (!proc || threadId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (threadId == GetCurrentThreadId()) ownQueue();
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Registry& r = registry();
  uint64_t id;
  {
    std::lock_guard<std::shared_mutex> guard(r.mutex);
    id = r.nextHookId++;
    r.hookThreads[id] = threadId;
  }
  {
    std::lock_guard<std::mutex> guard(q->mutex);
    if (!q->closed) {
      q->hooks.push_back(HookEntry{id, proc});
      return reinterpret_cast<HHOOK>(static_cast<uintptr_t>(id));
    }
  }
  std::lock_guard<std::shared_mutex> guard(r.mutex);
  r.hookThreads.erase(id);
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
  if (!t_slot.queue) return 0;
  ThreadQueue& q = *t_slot.queue;
  auto id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hook));
  HOOKPROC next = nullptr;
  {
    std::lock_guard<std::mutex> guard(q.mutex);
    for (size_t i = q.hooks.size(); i-- > 0;) {
      if (q.hooks[i].id != id) continue;
      if (i > 0) next = hookProcLocked(q, i - 1);
      break;
    }
  }
  return next ? next(code, wParam, lParam) : 0;
}

BOOL UnhookWindowsHookEx(HHOOK hook) {
  auto id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hook));
  Registry& r = registry();
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::shared_mutex> guard(r.mutex);
    auto it = r.hookThreads.find(id);
    if (it != r.hookThreads.end()) {
      auto qit = r.queues.find(it->second);
      if (qit != r.queues.end()) q = qit->second;
      r.hookThreads.erase(it);
    }
  }
  if (q) {
    std::lock_guard<std::mutex> guard(q->mutex);
    for (auto it = q->hooks.begin(); it != q->hooks.end(); ++it) {
      if (it->id == id) {
        q->hooks.erase(it);
        return 1;
      }
    }
  }
  SetLastError(ERROR_INVALID_HOOK_HANDLE);
  return 0;
}

namespace test {

void setMessageQuota(size_t quota) { registry().quota.store(quota); }

size_t messageQuota() { return registry().quota.load(); }

}  // namespace test

namespace detail {

namespace {
std::atomic<WindowTable*> g_windowTable{nullptr};
}  // namespace

void setWindowTable(WindowTable* table) { g_windowTable.store(table); }

WindowTable* windowTable() { return g_windowTable.load(); }

bool wakeThread(DWORD threadId) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) return false;
  {
    std::lock_guard<std::mutex> guard(q->mutex);
    if (q->closed) return false;
    q->newInput = true;
  }
  q->cv.notify_one();
  return true;
}

}  // namespace detail
}  // namespace desk
