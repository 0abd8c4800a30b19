// Dispatch queues: named serial queues, each served by a thread of its own, and the main queue,
// served by the UI thread inside whatever message loop it is running (the application's, a
// message box's, a modal dialog's, a popup menu's). Work travels as thread messages carrying the
// registered message "s_wm_dispatch"; on the UI thread a get-message hook runs it as soon as the
// message is retrieved, so it runs in nested loops too.
//
// Every boundary catches what the work throws and logs it; a dispatch_sync made from another
// thread rethrows it to its caller. Work that can no longer run (the target thread is gone, its
// queue is full, shutdown has begun) is dropped: a dispatch_sync waiting on it then throws
// std::runtime_error instead of waiting for ever.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desk/types.h"

namespace dispatch {

// The identity of one queue: the thread that serves it. Identities are never freed, so a handle
// kept after its queue has gone never names a later queue.
struct _dispatch_queue_t {
  uint32_t threadId;
};

struct dispatch_item {
  std::function<void()> work;
  // Runs right after work, on the same thread.
  std::function<void()> completion;
  // Runs instead of both when the item is dropped without running.
  std::function<void()> dropped;
};

}  // namespace dispatch

using dispatch_queue_t = dispatch::_dispatch_queue_t*;

// Records the calling thread as the UI thread, makes the main queue and hooks the UI thread's
// message retrieval. A second call does nothing.
void dispatch_init();

// The queue of that name, started on first use (on the UI thread). Null for a null or empty name.
dispatch_queue_t dispatch_create_queue(const char* name);
dispatch_queue_t dispatch_get_main_queue();
dispatch_queue_t dispatch_get_queue(const char* name);

// Queues work; a null or unknown handle drops it silently.
void dispatch_async(dispatch_queue_t queue, std::function<void()> work);
// Runs work on the queue's thread and returns when it has run: at once, inline, when called on
// that thread; otherwise it waits without a time limit. A null or unknown handle drops the work
// and returns at once.
void dispatch_sync(dispatch_queue_t queue, std::function<void()> work);

// On the UI thread after its message loop has ended: closes the main queue, stops every named
// queue (work queued before the stop still runs) and removes the hook.
void dispatch_shutdown();
void dispatch_release_queue(dispatch_queue_t queue);
uint32_t dispatch_queue_pending_count(dispatch_queue_t queue);

// Posts an item to a thread; on failure the item is dropped and the failure logged.
void post_task(uint32_t threadId, std::shared_ptr<dispatch::dispatch_item> item);
// The get-message hook of the UI thread.
desk::LRESULT MessageProc(int code, desk::WPARAM wParam, desk::LPARAM lParam);

// ---- once --------------------------------------------------------------------------------------

// A token for work done once per process. A static token needs no run-time construction.
struct dispatch_once_t {
  std::atomic<bool> done{false};
  std::mutex lock;
  bool running = false;                // guarded by lock
  std::atomic<uint32_t> generation{0};  // moves on when a run ends; waiters wait on it

  constexpr dispatch_once_t() = default;
};

// Runs fn once per token, however many threads ask; callers that arrive meanwhile wait for it.
// When fn throws, the waiters wake, the token is left unused so the next caller runs fn again, and
// the exception reaches the caller that ran it.
void dispatch_once(dispatch_once_t* token, std::function<void()> fn);

// ---- logger ------------------------------------------------------------------------------------

enum {
  DISPATCH_LOG_ERROR = 0,
  DISPATCH_LOG_WARN = 1,
  DISPATCH_LOG_INFO = 2,
  DISPATCH_LOG_TRACE = 3,
  DISPATCH_LOG_DEBUG = 4,
};

using dispatch_log_handler_t = std::function<void(const std::string& file, int line,
                                                  const char* function, int level,
                                                  const std::string& message)>;

// Writes "[LEVEL] file:line (function) - message" to the standard error stream, or hands it to
// the installed handler; messages above the threshold (WARN at first) are dropped unformatted.
void dispatch_log(const std::string& file, int line, const char* function, int level,
                  const char* format, ...) __attribute__((format(printf, 5, 6)));
std::string dispatch_short_path(const std::string& path, unsigned count);
void dispatch_set_log_level(int level);
// Whether a message of that level would get through (a cheap test done before building it).
bool dispatch_log_enabled(int level);
void dispatch_set_log_handler(dispatch_log_handler_t handler);
void dispatch_split_path(std::vector<std::string>& out, const std::string& path);

#define DISPATCH_LOG(level, ...)                                                           \
  do {                                                                                     \
    if (::dispatch_log_enabled(level))                                                     \
      ::dispatch_log(::dispatch_short_path(__FILE__, 3), __LINE__, __func__, (level),      \
                     __VA_ARGS__);                                                         \
  } while (0)
