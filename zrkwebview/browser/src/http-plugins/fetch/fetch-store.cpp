// The result store of "request" and its purge thread.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "desk/clock.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/http-plugins/fetch/fetch-plugin.h"

namespace zrk::plugin {

namespace {

struct Store {
  std::mutex mutex;  // a leaf lock: nothing is called while it is held
  std::unordered_map<std::string, std::shared_ptr<GetItem>> items{8};

  std::atomic<bool> running{false};
  std::atomic<uint64_t> passes{0};
  std::mutex threadMutex;  // guards `thread`; held while starting or joining it
  std::thread thread;
  std::mutex waitMutex;  // guards `stop`; the purge thread sleeps on `wake` under it
  std::condition_variable wake;
  bool stop = false;
};

// Made once and never destroyed: the purge thread may still use it while the process exits.
Store& store() {
  static Store* instance = new Store;
  return *instance;
}

uint64_t nowMillis() { return desk::currentClock()->now(); }

bool hasEntryWithLifetime() {
  Store& s = store();
  std::lock_guard guard(s.mutex);
  for (const auto& [uid, item] : s.items) {
    if (item->timeoutMs != 0) return true;
  }
  return false;
}

// One pass: drops the entries untouched for longer than their lifetime. False when no entry
// with a lifetime was seen.
bool purgePass() {
  Store& s = store();
  std::vector<std::shared_ptr<GetItem>> expired;
  bool withLifetime = false;
  {
    std::lock_guard guard(s.mutex);
    for (const auto& [uid, item] : s.items) {
      if (item->timeoutMs == 0) continue;
      withLifetime = true;
      const uint64_t now = nowMillis();
      if (now > item->timestampMs && now - item->timestampMs > item->timeoutMs) {
        expired.push_back(item);
      }
    }
  }
  for (const auto& item : expired) {
    ZRK_LOG_INFO("### purge item: %s", item->uid.c_str());
    FetchItemStore::remove(item->uid);
  }
  s.passes.fetch_add(1);
  return withLifetime;
}

bool stopRequested() {
  Store& s = store();
  std::lock_guard guard(s.waitMutex);
  return s.stop;
}

void purgeThreadMain() {
  Store& s = store();
  try {
    ZRK_LOG_INFO("## start purge thread...");
    for (;;) {
      bool keepGoing = FetchItemStore::count() != 0 && purgePass() && FetchItemStore::count() != 0;
      if (keepGoing) {
        std::shared_ptr<desk::Clock> clock = desk::currentClock();
        std::unique_lock lock(s.waitMutex);
        clock->waitUntil(lock, s.wake, clock->now() + 5000, [&s] { return s.stop; });
        if (s.stop) break;
        lock.unlock();
        continue;
      }
      // Decided to end. An entry that came in after the last look would wait for the next
      // "request": look once more after clearing the flag and take it up again if so.
      s.running.store(false);
      if (stopRequested() || !hasEntryWithLifetime()) break;
      bool expected = false;
      if (!s.running.compare_exchange_strong(expected, true)) break;  // a new thread takes over
    }
  } catch (...) {
  }
  s.running.store(false);
  ZRK_LOG_INFO("### purge thread stopped");
}

}  // namespace

void FetchItemStore::insert(const std::shared_ptr<GetItem>& item) {
  Store& s = store();
  std::lock_guard guard(s.mutex);
  s.items[item->uid] = item;
  item->timestampMs = nowMillis();
}

std::shared_ptr<GetItem> FetchItemStore::find(const std::string& uid) {
  Store& s = store();
  std::lock_guard guard(s.mutex);
  auto it = s.items.find(uid);
  if (it == s.items.end()) return nullptr;
  it->second->timestampMs = nowMillis();
  return it->second;
}

void FetchItemStore::remove(const std::string& uid) {
  std::shared_ptr<GetItem> removed;  // released after the lock: it may hold a network exchange
  Store& s = store();
  std::lock_guard guard(s.mutex);
  auto it = s.items.find(uid);
  if (it == s.items.end()) return;
  removed = std::move(it->second);
  s.items.erase(it);
}

size_t FetchItemStore::count() {
  Store& s = store();
  std::lock_guard guard(s.mutex);
  return s.items.size();
}

void startPurgeThread() {
  Store& s = store();
  std::lock_guard guard(s.threadMutex);
  bool expected = false;
  if (!s.running.compare_exchange_strong(expected, true)) return;
  // A thread that ended (or is ending: it gave up the flag) is joined before the next starts.
  if (s.thread.joinable()) s.thread.join();
  {
    std::lock_guard waitGuard(s.waitMutex);
    s.stop = false;
  }
  try {
    s.thread = std::thread(purgeThreadMain);
  } catch (...) {
    s.running.store(false);
    throw;
  }
}

void stopPurgeThread() {
  Store& s = store();
  std::lock_guard guard(s.threadMutex);
  {
    std::lock_guard waitGuard(s.waitMutex);
    s.stop = true;
  }
  s.wake.notify_all();
  if (s.thread.joinable()) s.thread.join();
  std::lock_guard waitGuard(s.waitMutex);
  s.stop = false;
}

bool purgeThreadRunning() { return store().running.load(); }

uint64_t purgePassCount() { return store().passes.load(); }

}  // namespace zrk::plugin
