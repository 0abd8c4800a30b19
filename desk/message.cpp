#include "desk/message.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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
namespace detail {
class Event {
 public:
  Event(bool manual, bool initial) : manual_(manual), signalled_(initial) {}
  std::mutex mutex;
  bool manual_;
  bool signalled_;
  std::vector<void*> waiters;  // ThreadQueue*, each registered while its thread waits
};
}  // namespace detail

namespace {

int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct HookEntry {
  uint64_t id;
  HOOKPROC proc;
};

struct ThreadQueue;

struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::function<LRESULT()> call;
  std::shared_ptr<ThreadQueue> sender;
  std::atomic<bool> claimed{false};  // the receiver started it, or the sender gave up on it
  // Guarded by the sender's queue mutex.
  bool done = false;
  bool failed = false;
  DWORD error = 0;
  LRESULT result = 0;
};

struct TimerEntry {
  HWND hwnd;
  UINT_PTR id;
  UINT interval;
  uint64_t due;
  TIMERPROC proc;
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
  std::deque<std::shared_ptr<SentMessage>> inbox;  // sends waiting to be served
  std::vector<TimerEntry> timers;
  std::vector<HWND> dirty;  // windows awaiting WM_PAINT, in invalidation order
  UINT_PTR nextThreadTimerId = 1;
  std::atomic<int> waiting{0};       // > 0 while the thread waits inside the layer
  std::atomic<int64_t> lastLook{0};  // real time (ms) the thread last looked at its queue
  std::atomic<int> serving{0};       // sends the thread is serving
};

struct Registry {
  // Read on every post; written when a thread makes or ends its queue and for hooks.
  std::shared_mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
  std::unordered_map<uint64_t, DWORD> hookThreads;  // hook id -> thread
  uint64_t nextHookId = 1;
  std::atomic<size_t> quota{test::kDefaultMessageQuota};
  std::atomic<uint64_t> hungLimit{5000};
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

void completeSent(const std::shared_ptr<SentMessage>& item, LRESULT result, bool failed,
                  DWORD error) {
  std::shared_ptr<ThreadQueue> sender = item->sender;
  if (!sender) return;
  {
    std::lock_guard<std::mutex> guard(sender->mutex);
    item->result = result;
    item->failed = failed;
    item->error = error;
    item->done = true;
  }
  sender->cv.notify_all();
}

// The calling thread's queue, made on first use and closed when the thread ends.
struct ThreadSlot {
  std::shared_ptr<ThreadQueue> queue;

  ~ThreadSlot() {
    if (!queue) return;
    // Windows go with their thread, before its queue closes.
    if (detail::WindowTable* table = detail::windowTable()) table->threadEnded(queue->threadId);
    Registry& r = registry();
    std::vector<HookEntry> hooks;
    std::deque<std::shared_ptr<SentMessage>> unserved;
    {
      std::lock_guard<std::mutex> qguard(queue->mutex);
      queue->closed = true;
      queue->posted.clear();
      queue->timers.clear();
      queue->dirty.clear();
      hooks.swap(queue->hooks);
      unserved.swap(queue->inbox);
    }
    for (auto& item : unserved) {
      if (!item->claimed.exchange(true)) completeSent(item, 0, true, ERROR_INVALID_WINDOW_HANDLE);
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
    q->lastLook.store(steadyMs());
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

bool inRange(UINT message, UINT lo, UINT hi) {
  return (lo == 0 && hi == 0) || (lo <= message && message <= hi);
}

bool windowMatches(HWND messageWindow, HWND filter) {
  if (filter == kThreadMessagesOnly) return messageWindow == nullptr;
  return filter == nullptr || messageWindow == filter;
}

bool matches(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
  return windowMatches(m.hwnd, hwnd) && inRange(m.message, lo, hi);
}

// Takes the first matching posted message (or the quit), under the queue's mutex.
bool takeLocked(ThreadQueue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove) {
  q.newInput = false;
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!matches(*it, hwnd, lo, hi)) continue;
    *out = *it;
    if (remove) q.posted.erase(it);
    return true;
  }
  if (q.quitPending && inRange(WM_QUIT, lo, hi)) {
    *out = MSG{};
    out->message = WM_QUIT;
    out->wParam = static_cast<WPARAM>(q.quitCode);
    out->time = GetTickCount();
    if (remove) q.quitPending = false;
    return true;
  }
  return false;
}

// A WM_PAINT for the first invalidated window that matches; it stays until the window is
// validated.
bool paintLocked(ThreadQueue& q, MSG* out, HWND hwnd, UINT lo, UINT hi) {
  if (q.dirty.empty() || !inRange(WM_PAINT, lo, hi)) return false;
  for (HWND w : q.dirty) {
    if (!windowMatches(w, hwnd)) continue;
    *out = MSG{};
    out->hwnd = w;
    out->message = WM_PAINT;
    out->time = GetTickCount();
    return true;
  }
  return false;
}

// The earliest due timer that matches, as WM_TIMER; a removed one is due again an interval later.
bool timerLocked(ThreadQueue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove,
                 uint64_t now) {
  if (q.timers.empty() || !inRange(WM_TIMER, lo, hi)) return false;
  TimerEntry* best = nullptr;
  for (TimerEntry& t : q.timers) {
    if (t.due > now || !windowMatches(t.hwnd, hwnd)) continue;
    if (!best || t.due < best->due) best = &t;
  }
  if (!best) return false;
  *out = MSG{};
  out->hwnd = best->hwnd;
  out->message = WM_TIMER;
  out->wParam = best->id;
  out->lParam = reinterpret_cast<LPARAM>(best->proc);
  out->time = static_cast<DWORD>(now);
  if (remove) best->due = now + best->interval;
  return true;
}

uint64_t nextDueLocked(const ThreadQueue& q, HWND hwnd) {
  uint64_t next = Clock::kNever;
  for (const TimerEntry& t : q.timers) {
    if (windowMatches(t.hwnd, hwnd)) next = std::min(next, t.due);
  }
  return next;
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

// Serves one send on the receiving thread.
void runSent(ThreadQueue& q, const std::shared_ptr<SentMessage>& item) {
  if (item->claimed.exchange(true)) return;  // the sender gave up on it
  q.lastLook.store(steadyMs());
  LRESULT result = 0;
  bool failed = false;
  DWORD error = 0;
  q.serving.fetch_add(1);
  try {
    if (item->call) {
      result = item->call();
    } else {
      detail::WindowTable* table = detail::windowTable();
      if (table && table->windowThread(item->hwnd) == q.threadId) {
        MSG m;
        m.hwnd = item->hwnd;
        m.message = item->message;
        m.wParam = item->wParam;
        m.lParam = item->lParam;
        m.time = GetTickCount();
        result = table->deliverSent(m);
      } else {
        failed = true;
        error = ERROR_INVALID_WINDOW_HANDLE;
      }
    }
  } catch (...) {
    std::fprintf(stderr, "desk: a sent message's handler threw on thread %lu\n",
                 static_cast<unsigned long>(q.threadId));
    failed = true;
    error = ERROR_INVALID_PARAMETER;
  }
  q.serving.fetch_sub(1);
  completeSent(item, result, failed, error);
}

// Serves every send waiting for the thread.
void serveSends(ThreadQueue& q) {
  for (;;) {
    std::shared_ptr<SentMessage> item;
    {
      std::lock_guard<std::mutex> guard(q.mutex);
      if (q.inbox.empty()) return;
      item = std::move(q.inbox.front());
      q.inbox.pop_front();
    }
    runSent(q, item);
  }
}

// The heart of GetMessage and PeekMessage: sends first, then posted messages (and input), then
// paints, then due timers.
bool retrieve(ThreadQueue& q, MSG* msg, HWND hwnd, UINT lo, UINT hi, bool remove, bool block) {
  std::shared_ptr<Clock> clock = currentClock();
  for (;;) {
    serveSends(q);
    std::unique_lock<std::mutex> lock(q.mutex);
    if (!q.inbox.empty()) continue;
    q.lastLook.store(steadyMs());
    HOOKPROC first = nullptr;
    bool got = takeLocked(q, msg, hwnd, lo, hi, remove) || paintLocked(q, msg, hwnd, lo, hi) ||
               timerLocked(q, msg, hwnd, lo, hi, remove, clock->now());
    if (got) {
      first = firstHookLocked(q);
      lock.unlock();
      callHooks(first, msg, remove ? PM_REMOVE : PM_NOREMOVE);
      return true;
    }
    if (!block) return false;
    uint64_t deadline = nextDueLocked(q, hwnd);
    q.waiting.fetch_add(1);
    clock->waitUntil(lock, q.cv, deadline, [&q] { return q.newInput || !q.inbox.empty(); });
    q.waiting.fetch_sub(1);
  }
}

BOOL postTo(DWORD threadId, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
           bool front = false) {
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
    if (front) {
      q->posted.push_front(m);
    } else {
      q->posted.push_back(m);
    }
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

// ---- events ----------------------------------------------------------------------------------

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<detail::Event>> events;
  uintptr_t next = 0x1000;
};

HandleTable& handles() {
  static HandleTable* t = new HandleTable;
  return *t;
}

std::shared_ptr<detail::Event> findEvent(HANDLE h) {
  HandleTable& t = handles();
  std::lock_guard<std::mutex> guard(t.mutex);
  auto it = t.events.find(reinterpret_cast<uintptr_t>(h));
  return it == t.events.end() ? nullptr : it->second;
}

// Takes the event if it is signalled (an auto-reset event is consumed).
bool tryTake(detail::Event& e) {
  std::lock_guard<std::mutex> guard(e.mutex);
  if (!e.signalled_) return false;
  if (!e.manual_) e.signalled_ = false;
  return true;
}

bool isSignalled(detail::Event& e) {
  std::lock_guard<std::mutex> guard(e.mutex);
  return e.signalled_;
}

void addWaiter(detail::Event& e, ThreadQueue* q) {
  std::lock_guard<std::mutex> guard(e.mutex);
  e.waiters.push_back(q);
}

void removeWaiter(detail::Event& e, ThreadQueue* q) {
  std::lock_guard<std::mutex> guard(e.mutex);
  auto it = std::find(e.waiters.begin(), e.waiters.end(), q);
  if (it != e.waiters.end()) e.waiters.erase(it);
}

constexpr DWORD kWaitInput = 0xFFFF0000;

// Waits for the events (one or all) or, with `input`, new input; serves sends meanwhile when
// `serve`. Returns the index of the event, kWaitInput, or WAIT_TIMEOUT.
DWORD waitOn(const std::vector<std::shared_ptr<detail::Event>>& events, bool all, bool input,
             bool serve, uint64_t timeoutMs) {
  ThreadQueue& q = ownQueue();
  std::shared_ptr<Clock> clock = currentClock();
  uint64_t deadline = timeoutMs == UINT64_MAX ? Clock::kNever : clock->now() + timeoutMs;
  for (auto& e : events) addWaiter(*e, &q);
  DWORD outcome = WAIT_TIMEOUT;
  auto check = [&]() -> bool {
    if (all) {
      for (auto& e : events)
        if (!isSignalled(*e)) return false;
      for (auto& e : events) tryTake(*e);
      outcome = WAIT_OBJECT_0;
      return true;
    }
    for (size_t i = 0; i < events.size(); ++i) {
      if (tryTake(*events[i])) {
        outcome = WAIT_OBJECT_0 + static_cast<DWORD>(i);
        return true;
      }
    }
    return false;
  };
  q.waiting.fetch_add(serve ? 1 : 0);
  for (;;) {
    if (serve) serveSends(q);
    std::unique_lock<std::mutex> lock(q.mutex);
    if (serve && !q.inbox.empty()) continue;
    if (check()) break;
    if (input) {
      uint64_t now = clock->now();
      bool dueTimer = nextDueLocked(q, nullptr) <= now;
      if (q.newInput || !q.dirty.empty() || dueTimer) {
        q.newInput = false;
        outcome = kWaitInput;
        break;
      }
    }
    if (clock->now() >= deadline) {
      outcome = WAIT_TIMEOUT;
      break;
    }
    uint64_t until = deadline;
    if (input) until = std::min(until, nextDueLocked(q, nullptr));
    clock->waitUntil(lock, q.cv, until, [&] {
      for (auto& e : events)
        if (isSignalled(*e)) return true;
      return (input && q.newInput) || (serve && !q.inbox.empty());
    });
  }
  q.waiting.fetch_sub(serve ? 1 : 0);
  for (auto& e : events) removeWaiter(*e, &q);
  return outcome;
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
  if (hwnd == HWND_BROADCAST) {
    if (table) {
      for (HWND target : table->broadcastTargets()) {
        DWORD owner = table->windowThread(target);
        if (owner) postTo(owner, target, message, wParam, lParam);
      }
    }
    return 1;
  }
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
  return retrieve(q, msg, hwnd, filterMin, filterMax, remove, false) ? 1 : 0;
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
  retrieve(q, msg, hwnd, filterMin, filterMax, true, true);
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL WaitMessage() {
  waitOn({}, false, true, true, UINT64_MAX);
  return 1;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<detail::Event>> events;
  for (DWORD i = 0; i < count; ++i) {
    auto e = findEvent(handles[i]);
    if (!e) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    events.push_back(std::move(e));
  }
  bool input = wakeMask != 0;
  DWORD r = waitOn(events, waitAll != 0, input, true,
                   milliseconds == INFINITE ? UINT64_MAX : milliseconds);
  if (r == kWaitInput) return WAIT_OBJECT_0 + count;
  return r;
}

HANDLE CreateEvent(void* attributes, BOOL manualReset, BOOL initialState, const char16_t* name) {
  (void)attributes;
  if (name && *name) {  // named events are shared memory, not this
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HandleTable& t = handles();
  std::lock_guard<std::mutex> guard(t.mutex);
  uintptr_t id = (t.next += 4);
  t.events[id] = std::make_shared<detail::Event>(manualReset != 0, initialState != 0);
  return reinterpret_cast<HANDLE>(id);
}

namespace {
void signalWaiters(detail::Event& e) {
  std::vector<void*> waiters;
  {
    std::lock_guard<std::mutex> guard(e.mutex);
    e.signalled_ = true;
    waiters = e.waiters;
  }
  for (void* w : waiters) {
    auto* q = static_cast<ThreadQueue*>(w);
    std::lock_guard<std::mutex> guard(q->mutex);
    q->cv.notify_all();
  }
}
}  // namespace

BOOL SetEvent(HANDLE event) {
  auto e = findEvent(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  signalWaiters(*e);
  return 1;
}

BOOL ResetEvent(HANDLE event) {
  auto e = findEvent(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(e->mutex);
  e->signalled_ = false;
  return 1;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(-1); }

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD access, BOOL inherit, DWORD options) {
  (void)access;
  (void)inherit;
  (void)options;
  if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() || !target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  HandleTable& t = handles();
  std::lock_guard<std::mutex> guard(t.mutex);
  auto it = t.events.find(reinterpret_cast<uintptr_t>(source));
  if (it == t.events.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  uintptr_t id = (t.next += 4);
  t.events[id] = it->second;
  *target = reinterpret_cast<HANDLE>(id);
  return 1;
}

BOOL CloseHandle(HANDLE handle) {
  HandleTable& t = handles();
  std::lock_guard<std::mutex> guard(t.mutex);
  if (t.events.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto e = findEvent(handle);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return waitOn({e}, false, false, false, milliseconds == INFINITE ? UINT64_MAX : milliseconds);
}

BOOL TranslateMessage(const MSG* msg) {
  if (!msg || (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN)) return 0;
  int vk = static_cast<int>(msg->wParam);
  bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  char16_t c = 0;
  if (vk >= 'A' && vk <= 'Z') {
    c = static_cast<char16_t>(shift ? vk : vk - 'A' + 'a');
  } else if (vk >= '0' && vk <= '9') {
    c = static_cast<char16_t>(vk);
  } else if (vk == VK_SPACE || vk == VK_RETURN || vk == VK_BACK || vk == VK_TAB ||
             vk == VK_ESCAPE) {
    c = static_cast<char16_t>(vk);
  }
  if (c == 0) return 0;
  // The character is the next message the thread retrieves.
  UINT charMessage = msg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR;
  ownQueue();
  return postTo(GetCurrentThreadId(), msg->hwnd, charMessage, c, msg->lParam, true);
}

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    // Only a live timer of this thread with that very procedure is called.
    ThreadQueue& q = ownQueue();
    TIMERPROC proc = nullptr;
    {
      std::lock_guard<std::mutex> guard(q.mutex);
      for (const TimerEntry& t : q.timers) {
        if (t.hwnd == msg->hwnd && t.id == msg->wParam &&
            reinterpret_cast<LPARAM>(t.proc) == msg->lParam) {
          proc = t.proc;
        }
      }
    }
    if (proc) proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
    return 0;
  }
  if (msg->hwnd == nullptr) return 0;
  detail::WindowTable* table = detail::windowTable();
  if (!table || table->windowThread(msg->hwnd) == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LRESULT r = table->dispatch(*msg);
  if (msg->message == WM_PAINT) detail::validate(GetCurrentThreadId(), msg->hwnd);
  return r;
}

HHOOK SetWindowsHookEx(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId) {
  (void)module;
  if (idHook == WH_MOUSE_LL || idHook == WH_KEYBOARD_LL) {
    return detail::setLowLevelHook(idHook, proc);
  }
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
  if (detail::isLowLevelHook(hook)) return detail::callNextLowLevelHook(hook, code, wParam, lParam);
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
  if (detail::isLowLevelHook(hook)) return detail::removeLowLevelHook(hook);
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

// ---- low-level hooks ---------------------------------------------------------------------------

namespace {
struct LowLevelHook {
  uintptr_t id;
  int kind;
  HOOKPROC proc;
};
constexpr uintptr_t kLowLevelBase = 0x40000000;
std::mutex g_llMutex;
std::vector<LowLevelHook> g_llHooks;  // in installation order; the last one is called first
uintptr_t g_llNext = kLowLevelBase;
}  // namespace

namespace detail {
HHOOK setLowLevelHook(int kind, HOOKPROC proc) {
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(g_llMutex);
  uintptr_t id = ++g_llNext;
  g_llHooks.push_back(LowLevelHook{id, kind, proc});
  return reinterpret_cast<HHOOK>(id);
}

bool isLowLevelHook(HHOOK hook) {
  auto id = reinterpret_cast<uintptr_t>(hook);
  return id > kLowLevelBase && id < kLowLevelBase + 0x10000000;
}

BOOL removeLowLevelHook(HHOOK hook) {
  auto id = reinterpret_cast<uintptr_t>(hook);
  std::lock_guard<std::mutex> guard(g_llMutex);
  for (auto it = g_llHooks.begin(); it != g_llHooks.end(); ++it) {
    if (it->id == id) {
      g_llHooks.erase(it);
      return 1;
    }
  }
  SetLastError(ERROR_INVALID_HOOK_HANDLE);
  return 0;
}

LRESULT callNextLowLevelHook(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
  auto id = reinterpret_cast<uintptr_t>(hook);
  HOOKPROC next = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_llMutex);
    int kind = 0;
    size_t i = g_llHooks.size();
    for (; i-- > 0;) {
      if (g_llHooks[i].id == id) {
        kind = g_llHooks[i].kind;
        break;
      }
    }
    if (i != static_cast<size_t>(-1)) {
      for (size_t j = i; j-- > 0;) {
        if (g_llHooks[j].kind == kind) {
          next = g_llHooks[j].proc;
          break;
        }
      }
    }
  }
  return next ? next(code, wParam, lParam) : 0;
}

bool callLowLevelHooks(int kind, WPARAM message, LPARAM data) {
  HOOKPROC first = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_llMutex);
    for (size_t i = g_llHooks.size(); i-- > 0;) {
      if (g_llHooks[i].kind == kind) {
        first = g_llHooks[i].proc;
        break;
      }
    }
  }
  return first && first(HC_ACTION, message, data) != 0;
}
}  // namespace detail

// ---- key state -------------------------------------------------------------------------------

namespace {
std::atomic<uint8_t> g_keys[256];  // bit 0x80 down, bit 0x01 toggled, bit 0x02 pressed since read
}

SHORT GetKeyState(int vk) {
  if (vk < 0 || vk > 255) return 0;
  uint8_t k = g_keys[vk].load();
  return static_cast<SHORT>(((k & 0x80) ? 0x8000 : 0) | (k & 0x01));
}

SHORT GetAsyncKeyState(int vk) {
  if (vk < 0 || vk > 255) return 0;
  uint8_t k = g_keys[vk].fetch_and(static_cast<uint8_t>(~0x02));
  return static_cast<SHORT>(((k & 0x80) ? 0x8000 : 0) | ((k & 0x02) ? 1 : 0));
}

namespace detail {
void setKeyDown(int vk, bool down) {
  if (vk < 0 || vk > 255) return;
  uint8_t k = g_keys[vk].load();
  if (down && !(k & 0x80)) k ^= 0x01;
  k = static_cast<uint8_t>(down ? (k | 0x82) : (k & ~0x80));
  g_keys[vk].store(k);
  // The generic modifier keys follow their left and right forms.
  if (vk == VK_LSHIFT || vk == VK_RSHIFT) setKeyDown(VK_SHIFT, down);
  if (vk == VK_LCONTROL || vk == VK_RCONTROL) setKeyDown(VK_CONTROL, down);
  if (vk == VK_LMENU || vk == VK_RMENU) setKeyDown(VK_MENU, down);
}
void resetKeys() {
  for (auto& k : g_keys) k.store(0);
}
}  // namespace detail

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
  q->cv.notify_all();
  return true;
}

void ensureQueue() { ownQueue(); }

LRESULT sendToThread(DWORD threadId, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                     std::function<LRESULT()> call, const SendOptions& options, bool* ok) {
  if (ok) *ok = false;
  ThreadQueue& own = ownQueue();
  if (threadId == own.threadId) {
    if (ok) *ok = true;
    if (call) return call();
    WindowTable* table = windowTable();
    MSG m;
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    return table ? table->dispatch(m) : 0;
  }
  std::shared_ptr<ThreadQueue> target = findQueue(threadId);
  DWORD goneError = hwnd ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_THREAD_ID;
  if (!target) {
    SetLastError(goneError);
    return 0;
  }
  if (options.abortIfHung && threadHung(threadId)) {
    SetLastError(ERROR_TIMEOUT);
    return 0;
  }
  auto item = std::make_shared<SentMessage>();
  item->hwnd = hwnd;
  item->message = message;
  item->wParam = wParam;
  item->lParam = lParam;
  item->call = std::move(call);
  item->sender = t_slot.queue;
  {
    std::lock_guard<std::mutex> guard(target->mutex);
    if (target->closed) {
      SetLastError(goneError);
      return 0;
    }
    target->inbox.push_back(item);
  }
  target->cv.notify_all();

  std::shared_ptr<Clock> clock = currentClock();
  uint64_t deadline =
      options.timeoutMs == UINT64_MAX ? Clock::kNever : clock->now() + options.timeoutMs;
  own.waiting.fetch_add(1);
  std::unique_lock<std::mutex> lock(own.mutex);
  DWORD giveUp = 0;
  while (!item->done) {
    if (!own.inbox.empty()) {
      std::shared_ptr<SentMessage> incoming = std::move(own.inbox.front());
      own.inbox.pop_front();
      lock.unlock();
      runSent(own, incoming);
      lock.lock();
      continue;
    }
    own.lastLook.store(steadyMs());
    if (!giveUp && clock->now() >= deadline) giveUp = ERROR_TIMEOUT;
    if (!giveUp && target->waiting.load() == 0 && target->serving.load() == 0 &&
        steadyMs() - target->lastLook.load() >= static_cast<int64_t>(registry().hungLimit.load())) {
      std::fprintf(stderr, "desk: thread %lu has not retrieved messages for %llu ms: send %#x given up\n",
                   static_cast<unsigned long>(threadId),
                   static_cast<unsigned long long>(registry().hungLimit.load()), message);
      giveUp = ERROR_TIMEOUT;
    }
    // A send the target has started cannot be abandoned: its arguments may live on our stack.
    if (giveUp && !item->claimed.exchange(true)) break;
    if (giveUp) giveUp = 0;
    own.cv.wait_for(lock, std::chrono::milliseconds(50));
  }
  own.waiting.fetch_sub(1);
  if (!item->done) {
    SetLastError(giveUp);
    return 0;
  }
  if (item->failed) {
    SetLastError(item->error);
    return 0;
  }
  if (ok) *ok = true;
  return item->result;
}

bool threadHung(DWORD threadId) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) return false;
  return q->waiting.load() == 0 && q->serving.load() == 0 &&
         steadyMs() - q->lastLook.load() >= static_cast<int64_t>(registry().hungLimit.load());
}

bool inSendMessage() { return t_slot.queue && t_slot.queue->serving.load() > 0; }

UINT_PTR setTimer(DWORD threadId, HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  if (threadId == GetCurrentThreadId()) ownQueue();
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  uint64_t due = GetTickCount64() + elapse;
  UINT_PTR result;
  {
    std::lock_guard<std::mutex> guard(q->mutex);
    if (q->closed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (!hwnd) {
      // A thread timer: a new id, unless `id` names one of this thread's already.
      bool known = false;
      for (const TimerEntry& t : q->timers) known = known || (!t.hwnd && t.id == id && id != 0);
      if (!known) id = q->nextThreadTimerId++;
      result = id;
    } else {
      result = id == 0 ? 1 : id;  // success is non-zero
    }
    bool replaced = false;
    for (TimerEntry& t : q->timers) {
      if (t.hwnd == hwnd && t.id == id) {
        t.interval = elapse;
        t.due = due;
        t.proc = proc;
        replaced = true;
      }
    }
    if (!replaced) q->timers.push_back(TimerEntry{hwnd, id, elapse, due, proc});
    q->newInput = true;
  }
  q->cv.notify_all();
  return result;
}

bool killTimer(DWORD threadId, HWND hwnd, UINT_PTR id) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) return false;
  std::lock_guard<std::mutex> guard(q->mutex);
  auto it = std::find_if(q->timers.begin(), q->timers.end(),
                         [&](const TimerEntry& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == q->timers.end()) return false;
  q->timers.erase(it);
  // A WM_TIMER already taken from the queue stays taken; none comes after this.
  return true;
}

std::vector<TimerInfo> timers() {
  std::vector<std::shared_ptr<ThreadQueue>> all;
  {
    Registry& r = registry();
    std::shared_lock<std::shared_mutex> guard(r.mutex);
    for (auto& [id, q] : r.queues) all.push_back(q);
  }
  std::vector<TimerInfo> out;
  for (auto& q : all) {
    std::lock_guard<std::mutex> guard(q->mutex);
    for (const TimerEntry& t : q->timers)
      out.push_back(TimerInfo{q->threadId, t.hwnd, t.id, t.interval, t.due, t.proc != nullptr});
  }
  return out;
}

void invalidate(DWORD threadId, HWND hwnd) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) return;
  {
    std::lock_guard<std::mutex> guard(q->mutex);
    if (std::find(q->dirty.begin(), q->dirty.end(), hwnd) != q->dirty.end()) return;
    q->dirty.push_back(hwnd);
    q->newInput = true;
  }
  q->cv.notify_all();
}

bool validate(DWORD threadId, HWND hwnd) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) return false;
  std::lock_guard<std::mutex> guard(q->mutex);
  auto it = std::remove(q->dirty.begin(), q->dirty.end(), hwnd);
  bool was = it != q->dirty.end();
  q->dirty.erase(it, q->dirty.end());
  return was;
}

void purgeWindow(DWORD threadId, HWND hwnd) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) return;
  std::lock_guard<std::mutex> guard(q->mutex);
  q->posted.erase(std::remove_if(q->posted.begin(), q->posted.end(),
                                 [hwnd](const MSG& m) { return m.hwnd == hwnd; }),
                  q->posted.end());
  q->timers.erase(std::remove_if(q->timers.begin(), q->timers.end(),
                                 [hwnd](const TimerEntry& t) { return t.hwnd == hwnd; }),
                  q->timers.end());
  q->dirty.erase(std::remove(q->dirty.begin(), q->dirty.end(), hwnd), q->dirty.end());
}

bool postInput(DWORD threadId, const MSG& msg) {
  return postTo(threadId, msg.hwnd, msg.message, msg.wParam, msg.lParam) != 0;
}

std::shared_ptr<Event> makeEvent(bool manualReset, bool initialState) {
  return std::make_shared<Event>(manualReset, initialState);
}

void setEvent(const std::shared_ptr<Event>& event) { signalWaiters(*event); }

void resetEvent(const std::shared_ptr<Event>& event) {
  std::lock_guard<std::mutex> guard(event->mutex);
  event->signalled_ = false;
}

bool waitServingSends(const std::shared_ptr<Event>& event, uint64_t timeoutMs) {
  return waitOn({event}, false, false, true, timeoutMs) == WAIT_OBJECT_0;
}

std::vector<DWORD> queueThreads() {
  Registry& r = registry();
  std::shared_lock<std::shared_mutex> guard(r.mutex);
  std::vector<DWORD> out;
  for (auto& [id, q] : r.queues) out.push_back(id);
  std::sort(out.begin(), out.end());
  return out;
}

bool threadIdle(DWORD threadId) {
  std::shared_ptr<ThreadQueue> q = findQueue(threadId);
  if (!q) return true;
  uint64_t now = GetTickCount64();
  std::lock_guard<std::mutex> guard(q->mutex);
  if (q->waiting.load() == 0) return false;
  if (!q->inbox.empty() || !q->posted.empty() || !q->dirty.empty() || q->newInput) return false;
  return nextDueLocked(*q, nullptr) > now;
}

std::string describeThreads() {
  std::vector<std::shared_ptr<ThreadQueue>> all;
  {
    Registry& r = registry();
    std::shared_lock<std::shared_mutex> guard(r.mutex);
    for (auto& [id, q] : r.queues) all.push_back(q);
  }
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a->threadId < b->threadId; });
  std::string out;
  int64_t now = steadyMs();
  for (auto& q : all) {
    std::lock_guard<std::mutex> guard(q->mutex);
    char line[256];
    std::snprintf(line, sizeof line,
                  "thread %lu: %s, %zu posted, %zu sends waiting, serving %d, %zu timers, %zu "
                  "paints, last looked %lld ms ago%s\n",
                  static_cast<unsigned long>(q->threadId),
                  q->waiting.load() > 0 ? "waiting in the layer" : "running", q->posted.size(),
                  q->inbox.size(), q->serving.load(), q->timers.size(), q->dirty.size(),
                  static_cast<long long>(now - q->lastLook.load()),
                  q->threadId == uiThreadId() ? " (UI thread)" : "");
    out += line;
  }
  return out;
}

void setHungLimitMs(uint64_t ms) { registry().hungLimit.store(ms); }
uint64_t hungLimitMs() { return registry().hungLimit.load(); }

}  // namespace detail
}  // namespace desk
