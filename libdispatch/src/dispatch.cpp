// The dispatch queues.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <shared_mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "desk/detail/queue.h"
#include "desk/message.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/utf.h"

using dispatch::_dispatch_queue_t;
using dispatch::dispatch_item;

namespace {

using ItemPtr = std::shared_ptr<dispatch_item>;

struct QueueRecord {
  std::mutex mutex;
  std::deque<ItemPtr> heldBack;
  std::shared_ptr<_dispatch_queue_t> identity;
  std::thread thread;  // named queues only
};

struct InFlight {
  ItemPtr item;
  uint32_t threadId;
};

struct State {
  std::atomic<desk::UINT> wmDispatch{0};  // 0 until dispatch_init
  std::atomic<uint32_t> mainThreadId{0};
  std::atomic<_dispatch_queue_t*> mainHandle{nullptr};
  std::atomic<desk::HHOOK> hook{nullptr};
  std::shared_ptr<QueueRecord> mainRecord = std::make_shared<QueueRecord>();
  std::mutex initMutex;

  // One creation at a time: the lookup, the thread start and the insertion.
  std::mutex createMutex;
  // The queue table. Taken before a record's mutex, never held while work runs or a thread is
  // waited for; lookups share it.
  std::shared_mutex tableMutex;
  std::map<std::string, std::shared_ptr<QueueRecord>> table;
  std::unordered_map<const _dispatch_queue_t*, std::shared_ptr<QueueRecord>> byHandle;
  // Identities of queues that are gone. Never freed, so no later queue gets their address.
  std::vector<std::shared_ptr<_dispatch_queue_t>> graveyard;

  // Items posted and not yet taken, by id (the id travels in the message), spread over shards so
  // that threads posting and taking different items rarely meet on one lock.
  static constexpr size_t kShards = 16;
  struct Shard {
    std::mutex mutex;
    std::unordered_map<uint64_t, InFlight> items;
  };
  Shard inFlight[kShards];
  // Threads whose queue has ended, or (the main thread) has been shut down: they take no more
  // items. A post holds it shared from its check until its item is in its shard.
  std::shared_mutex closedMutex;
  std::unordered_set<uint32_t> closedThreads;
  std::atomic<uint64_t> nextItemId{1};

  Shard& shardOf(uint64_t id) { return inFlight[id % kShards]; }
};

// Never destroyed: queue threads may still run while static objects are destroyed.
State& state() {
  static State* s = new State;
  return *s;
}

void checkInitialised() {
  if (state().wmDispatch.load(std::memory_order_acquire) == 0)
    throw std::runtime_error("dispatch library not initialized");
}

unsigned long ul(uint32_t v) { return static_cast<unsigned long>(v); }
unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

// What the exception being handled says. The object library throws text pointers.
std::string describeCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (const char* text) {
    return text ? text : "(null)";
  } catch (const char16_t* text) {
    return text ? Vesk::utf::toUtf8(text) : "(null)";
  } catch (...) {
    return "unknown exception";
  }
}

// Runs an item's work and then its completion, catching whatever either throws.
void runItem(const ItemPtr& item) {
  try {
    if (item->work) item->work();
  } catch (...) {
    std::string what = describeCurrentException();
    DISPATCH_LOG(DISPATCH_LOG_ERROR, ">>> work failed in thread: %lu: %s",
                 ul(desk::GetCurrentThreadId()), what.c_str());
  }
  try {
    if (item->completion) item->completion();
  } catch (...) {
    std::string what = describeCurrentException();
    DISPATCH_LOG(DISPATCH_LOG_ERROR, ">>> completion failed in thread: %lu: %s",
                 ul(desk::GetCurrentThreadId()), what.c_str());
  }
}

// An item that will never run: its work is destroyed and whoever waits for it is told.
void dropItem(const ItemPtr& item) {
  try {
    if (item->dropped) item->dropped();
  } catch (...) {
    std::string what = describeCurrentException();
    DISPATCH_LOG(DISPATCH_LOG_ERROR, ">>> dropping an item failed: %s", what.c_str());
  }
}

// Takes the item with that id out of the in-flight list; null when it has already been taken.
ItemPtr takeInFlight(uint64_t id) {
  State::Shard& shard = state().shardOf(id);
  std::lock_guard<std::mutex> guard(shard.mutex);
  auto it = shard.items.find(id);
  if (it == shard.items.end()) return nullptr;
  ItemPtr item = std::move(it->second.item);
  shard.items.erase(it);
  return item;
}

// From now on the thread takes no items; those still in flight to it are dropped.
void closeThread(uint32_t threadId) {
  State& s = state();
  std::vector<ItemPtr> orphans;
  {
    std::lock_guard<std::shared_mutex> closing(s.closedMutex);
    s.closedThreads.insert(threadId);
    for (State::Shard& shard : s.inFlight) {
      std::lock_guard<std::mutex> guard(shard.mutex);
      for (auto it = shard.items.begin(); it != shard.items.end();) {
        if (it->second.threadId == threadId) {
          orphans.push_back(std::move(it->second.item));
          it = shard.items.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  for (const ItemPtr& item : orphans) dropItem(item);
}

void logPostFailure(uint32_t threadId, desk::DWORD code) {
  if (code == desk::ERROR_INVALID_THREAD_ID) {
    DISPATCH_LOG(DISPATCH_LOG_WARN, ">>> invalid thread id: %lu", ul(threadId));
  } else if (code == desk::ERROR_NOT_ENOUGH_QUOTA) {
    DISPATCH_LOG(DISPATCH_LOG_WARN, ">>> not enough quota: %lu", ul(threadId));
  } else {
    DISPATCH_LOG(DISPATCH_LOG_WARN, ">>> unknown error posting message to thread:%lu (%lu)",
                 ul(threadId), ul(code));
  }
}

std::shared_ptr<QueueRecord> findRecord(dispatch_queue_t queue) {
  if (!queue) return nullptr;
  State& s = state();
  if (queue == s.mainHandle.load()) return s.mainRecord;
  std::shared_lock<std::shared_mutex> guard(s.tableMutex);
  auto it = s.byHandle.find(queue);
  return it == s.byHandle.end() ? nullptr : it->second;
}

void runDispatchMessage(const desk::MSG& msg, uint64_t count) {
  uint32_t self = desk::GetCurrentThreadId();
  DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> dispatch message (%llu) received in thread: %lu", ull(count),
               ul(self));
  if (msg.lParam == 0) {
    DISPATCH_LOG(DISPATCH_LOG_WARN, ">>> invalid message in thread: %lu", ul(self));
  } else {
    auto id = static_cast<uint64_t>(msg.lParam);
    if (ItemPtr item = takeInFlight(id)) {
      runItem(item);
    } else {
      DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> item 0x%llx already handled in thread: %lu", ull(id),
                   ul(self));
    }
  }
  DISPATCH_LOG(DISPATCH_LOG_TRACE, ">>> dispatch message (%llu) processed in thread: %lu",
               ull(count), ul(self));
}

// A named queue's thread: blocks for messages, runs dispatch items in the order they came and
// hands every other message to its window, until WM_QUIT.
void queueLoop(std::promise<uint32_t> started) {
  desk::MSG msg;
  desk::PeekMessage(&msg, nullptr, desk::WM_USER, desk::WM_USER + 1, desk::PM_NOREMOVE);
  uint32_t self = desk::GetCurrentThreadId();
  started.set_value(self);
  DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> dispatch thread (%lu) created", ul(self));
  const desk::UINT wm = state().wmDispatch.load();
  uint64_t count = 0;
  for (;;) {
    desk::BOOL got = desk::GetMessage(&msg, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) continue;
    if (msg.message == wm) {
      runDispatchMessage(msg, count++);
      continue;
    }
    desk::TranslateMessage(&msg);
    desk::DispatchMessage(&msg);
  }
  closeThread(self);
  DISPATCH_LOG(DISPATCH_LOG_TRACE, ">>> dispatch thread (%lu) exit", ul(self));
}

// Ends a named queue's thread after the items already posted to it, and waits for it to end.
void stopRecord(QueueRecord& record) {
  uint32_t threadId = record.identity->threadId;
  // A full queue drains as the thread runs: keep trying to get the quit in behind it.
  while (!desk::PostThreadMessage(threadId, desk::WM_QUIT, 0, 0) &&
         desk::GetLastError() == desk::ERROR_NOT_ENOUGH_QUOTA) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!record.thread.joinable()) return;
  if (record.thread.get_id() == std::this_thread::get_id()) {
    record.thread.detach();  // a queue released from its own work ends after that work
  } else {
    record.thread.join();
  }
}

// The caller of dispatch_sync waits on `event` through the platform layer, so messages sent to
// its thread meanwhile (a window's procedure called from another thread) are still served.
struct SyncWait {
  std::mutex mutex;
  std::shared_ptr<desk::detail::Event> event = desk::detail::makeEvent(true, false);
  bool finished = false;
  bool dropped = false;
  std::exception_ptr error;
};

}  // namespace

void dispatch_init() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.initMutex);
  if (s.wmDispatch.load() != 0) return;
  desk::UINT wm = desk::RegisterWindowMessage("s_wm_dispatch");
  DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> wm_dispatch = %lu", ul(wm));
  // The UI thread is the thread that initialises the library; everything that asks "am I on
  // the UI thread" reads the same recorded id.
  uint32_t mainThread = desk::GetCurrentThreadId();
  desk::setUiThreadId(mainThread);
  DISPATCH_LOG(DISPATCH_LOG_TRACE, ">>> main thread ID: %lu", ul(mainThread));
  s.mainThreadId.store(mainThread);
  s.mainRecord->identity = std::make_shared<_dispatch_queue_t>(_dispatch_queue_t{mainThread});
  s.mainHandle.store(s.mainRecord->identity.get());
  desk::MSG msg;
  desk::PeekMessage(&msg, nullptr, desk::WM_USER, desk::WM_USER + 1, desk::PM_NOREMOVE);
  s.hook.store(desk::SetWindowsHookEx(desk::WH_GETMESSAGE, MessageProc, nullptr, mainThread));
  s.wmDispatch.store(wm, std::memory_order_release);
}

dispatch_queue_t dispatch_create_queue(const char* name) {
  checkInitialised();
  if (!name || !*name) return nullptr;
  State& s = state();
  std::lock_guard<std::mutex> creating(s.createMutex);
  {
    std::lock_guard<std::shared_mutex> guard(s.tableMutex);
    auto it = s.table.find(name);
    if (it != s.table.end()) return it->second->identity.get();
  }
  std::promise<uint32_t> started;
  std::future<uint32_t> threadId = started.get_future();
  auto record = std::make_shared<QueueRecord>();
  record->thread = std::thread(queueLoop, std::move(started));
  record->identity = std::make_shared<_dispatch_queue_t>(_dispatch_queue_t{threadId.get()});
  DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> dispatch thread (%lu) started",
               ul(record->identity->threadId));
  std::lock_guard<std::shared_mutex> guard(s.tableMutex);
  s.table[name] = record;
  s.byHandle[record->identity.get()] = record;
  return record->identity.get();
}

dispatch_queue_t dispatch_get_main_queue() { return state().mainHandle.load(); }

dispatch_queue_t dispatch_get_queue(const char* name) {
  if (!name) return nullptr;
  State& s = state();
  std::shared_lock<std::shared_mutex> guard(s.tableMutex);
  auto it = s.table.find(name);
  return it == s.table.end() ? nullptr : it->second->identity.get();
}

void post_task(uint32_t threadId, std::shared_ptr<dispatch_item> item) {
  if (!item) return;
  State& s = state();
  uint64_t id = s.nextItemId.fetch_add(1);
  {
    std::shared_lock<std::shared_mutex> open(s.closedMutex);
    if (s.closedThreads.count(threadId) == 0) {
      State::Shard& shard = s.shardOf(id);
      std::lock_guard<std::mutex> guard(shard.mutex);
      shard.items.emplace(id, InFlight{item, threadId});
    } else {
      id = 0;
    }
  }
  if (id == 0) {
    // The queue has ended (its loop returned, or shutdown closed the main queue): work that
    // arrives after the run is dropped as a matter of course, not a fault to warn about.
    DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> queue of thread %lu has ended: item dropped", ul(threadId));
    dropItem(item);
    return;
  }
  DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> post task 0x%llx on thread: %lu", ull(id), ul(threadId));
  if (desk::PostThreadMessage(threadId, state().wmDispatch.load(), 0,
                              static_cast<desk::LPARAM>(id))) {
    return;
  }
  desk::DWORD code = desk::GetLastError();
  if (code == desk::ERROR_INVALID_THREAD_ID && threadId == s.mainThreadId.load()) {
    // The UI thread's message queue is gone: the run has ended and the thread with it. The main
    // queue is closed from now on, so later posts drop their work at once.
    DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> the UI thread (%lu) has ended: main queue closed", ul(threadId));
    closeThread(threadId);
  } else {
    logPostFailure(threadId, code);
  }
  // Unless the thread's end has dropped it already, the item is ours to drop.
  if (ItemPtr mine = takeInFlight(id)) dropItem(mine);
}

desk::LRESULT MessageProc(int code, desk::WPARAM wParam, desk::LPARAM lParam) {
  State& s = state();
  auto* msg = reinterpret_cast<desk::MSG*>(lParam);
  uint32_t self = desk::GetCurrentThreadId();
  desk::UINT wm = s.wmDispatch.load();
  if (code < 0 || !msg || self != s.mainThreadId.load() || wm == 0 || msg->message != wm)
    return desk::CallNextHookEx(s.hook.load(), code, wParam, lParam);
  if (msg->lParam == 0) {
    DISPATCH_LOG(DISPATCH_LOG_WARN, ">>> invalid message on main thread: %lu", ul(self));
  } else {
    auto id = static_cast<uint64_t>(msg->lParam);
    if (ItemPtr item = takeInFlight(id)) {
      DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>> handle item 0x%llx  on main thread: %lu", ull(id),
                   ul(self));
      runItem(item);
    } else {
      DISPATCH_LOG(DISPATCH_LOG_DEBUG, ">>>! item 0x%llx already handled on main thread: %lu",
                   ull(id), ul(self));
    }
  }
  DISPATCH_LOG(DISPATCH_LOG_TRACE, ">>> processed message on main thread: %lu", ul(self));
  return 0;
}

void dispatch_async(dispatch_queue_t queue, std::function<void()> work) {
  checkInitialised();
  std::shared_ptr<QueueRecord> record = findRecord(queue);
  if (!record) return;
  auto item = std::make_shared<dispatch_item>();
  item->work = std::move(work);
  // Once an item has run, the oldest held-back item of its queue (if any) goes out.
  std::weak_ptr<QueueRecord> weak = record;
  item->completion = [weak] {
    std::shared_ptr<QueueRecord> owner = weak.lock();
    if (!owner) return;
    std::lock_guard<std::mutex> guard(owner->mutex);
    if (owner->heldBack.empty()) return;
    post_task(owner->identity->threadId, owner->heldBack.front());
    owner->heldBack.pop_front();
  };
  std::lock_guard<std::mutex> guard(record->mutex);
  if (record->heldBack.empty()) {
    post_task(record->identity->threadId, std::move(item));
    return;
  }
  record->heldBack.push_back(std::move(item));
  post_task(record->identity->threadId, record->heldBack.front());
  record->heldBack.pop_front();
}

void dispatch_sync(dispatch_queue_t queue, std::function<void()> work) {
  checkInitialised();
  std::shared_ptr<QueueRecord> record = findRecord(queue);
  if (!record) return;
  uint32_t target = record->identity->threadId;
  if (desk::GetCurrentThreadId() == target) {
    work();
    return;
  }
  auto wait = std::make_shared<SyncWait>();
  auto item = std::make_shared<dispatch_item>();
  item->work = [wait, work = std::move(work)] {
    try {
      work();
    } catch (...) {
      wait->error = std::current_exception();
      throw;  // logged at the queue's boundary, then handed to the caller
    }
  };
  // The lambdas share the wait state, so it outlives the notification even when the caller has
  // already woken and gone.
  item->completion = [wait] {
    {
      std::lock_guard<std::mutex> guard(wait->mutex);
      wait->finished = true;
    }
    desk::detail::setEvent(wait->event);
  };
  item->dropped = [wait] {
    {
      std::lock_guard<std::mutex> guard(wait->mutex);
      wait->finished = true;
      wait->dropped = true;
    }
    desk::detail::setEvent(wait->event);
  };
  post_task(target, std::move(item));
  std::exception_ptr error;
  bool dropped;
  desk::detail::waitServingSends(wait->event);
  {
    std::lock_guard<std::mutex> lock(wait->mutex);
    // Take the exception out, so the queue thread, which may still hold the wait state, keeps no
    // share of it while the caller handles it.
    error = std::move(wait->error);
    dropped = wait->dropped;
  }
  if (dropped) throw std::runtime_error("dispatch_sync: the work was dropped before it ran");
  if (error) std::rethrow_exception(error);
}

void dispatch_shutdown() {
  State& s = state();
  if (s.wmDispatch.load() == 0) return;
  // Main-queue work can no longer run: fail it now, so queue threads waiting on it can finish.
  closeThread(s.mainThreadId.load());
  std::map<std::string, std::shared_ptr<QueueRecord>> records;
  {
    std::lock_guard<std::mutex> creating(s.createMutex);
    std::lock_guard<std::shared_mutex> guard(s.tableMutex);
    records.swap(s.table);
    s.byHandle.clear();
    for (auto& [name, record] : records) s.graveyard.push_back(record->identity);
  }
  // No lock is held from here: work still running may dispatch while its thread is stopped.
  for (auto& [name, record] : records) stopRecord(*record);
  if (desk::HHOOK hook = s.hook.exchange(nullptr)) desk::UnhookWindowsHookEx(hook);
}

void dispatch_release_queue(dispatch_queue_t queue) {
  if (!queue) return;
  State& s = state();
  std::shared_ptr<QueueRecord> record;
  {
    std::lock_guard<std::shared_mutex> guard(s.tableMutex);
    auto it = s.byHandle.find(queue);
    if (it == s.byHandle.end()) return;
    record = it->second;
    s.byHandle.erase(it);
    for (auto t = s.table.begin(); t != s.table.end(); ++t) {
      if (t->second == record) {
        s.table.erase(t);
        break;
      }
    }
    s.graveyard.push_back(record->identity);
  }
  stopRecord(*record);
}

uint32_t dispatch_queue_pending_count(dispatch_queue_t queue) {
  std::shared_ptr<QueueRecord> record = findRecord(queue);
  if (!record) return 0;
  std::lock_guard<std::mutex> guard(record->mutex);
  return static_cast<uint32_t>(record->heldBack.size());
}
