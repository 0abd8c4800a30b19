// Internal hooks between the parts of the layer that share the thread queues.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "desk/types.h"

namespace desk {
using TIMERPROC = void (*)(HWND hwnd, UINT message, UINT_PTR id, DWORD time);
}

namespace desk::detail {

// Marks the thread's queue as having new input and wakes its waits, without posting anything.
// False when the thread has no queue.
bool wakeThread(DWORD threadId);

// Makes the calling thread's queue if it has none.
void ensureQueue();

// Runs `call` on thread `threadId` as a sent message and returns its result: directly when that
// is the calling thread, otherwise the caller blocks and meanwhile serves sends made to its own
// thread. `ok` (when given) says whether the call ran; it fails (0, ERROR_INVALID_WINDOW_HANDLE
// or ERROR_INVALID_THREAD_ID) when the thread ends first, and (0, ERROR_TIMEOUT) when the target
// stops retrieving messages for the hung limit, or `timeoutMs` of clock time pass first.
// A message send (call empty) is delivered to the window's procedure, if the window still exists.
struct SendOptions {
  uint64_t timeoutMs = UINT64_MAX;  // clock time; UINT64_MAX waits without a limit
  bool abortIfHung = false;         // give up at once on a thread that is hung already
};
LRESULT sendToThread(DWORD threadId, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                     std::function<LRESULT()> call, const SendOptions& options, bool* ok);

// Whether the thread has not looked at its queue for the hung limit while not waiting in the
// layer (a thread that waits in GetMessage, a send or a served wait is never hung).
bool threadHung(DWORD threadId);
// The number of sends the calling thread is serving right now.
bool inSendMessage();

// Timers, kept by the thread that owns them.
UINT_PTR setTimer(DWORD threadId, HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
bool killTimer(DWORD threadId, HWND hwnd, UINT_PTR id);
struct TimerInfo {
  DWORD threadId = 0;
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  UINT interval = 0;
  uint64_t due = 0;
  bool hasProc = false;
};
std::vector<TimerInfo> timers();  // every thread's

// Windows awaiting WM_PAINT.
void invalidate(DWORD threadId, HWND hwnd);
bool validate(DWORD threadId, HWND hwnd);  // whether it was invalid
// Drops what the thread's queue still holds for a destroyed window: posted messages, timers and
// pending paints.
void purgeWindow(DWORD threadId, HWND hwnd);

// Puts an input message at the back of the thread's posted messages (input and posts share one
// order in this layer).
bool postInput(DWORD threadId, const MSG& msg);

// Signals that threads wait on while they keep serving sends (dispatch_sync waits on one).
class Event;
std::shared_ptr<Event> makeEvent(bool manualReset, bool initialState);
void setEvent(const std::shared_ptr<Event>& event);
void resetEvent(const std::shared_ptr<Event>& event);
// Waits for the event and serves sends made to the calling thread meanwhile. False on timeout
// (clock time).
bool waitServingSends(const std::shared_ptr<Event>& event, uint64_t timeoutMs = UINT64_MAX);

// Every thread with a queue and what it is doing, for test failure reports.
std::string describeThreads();
std::vector<DWORD> queueThreads();
// Whether the thread has nothing ready to retrieve right now (no sends, posts, paints or due
// timers) and is waiting in the layer.
bool threadIdle(DWORD threadId);

// Low-level mouse and keyboard hooks: process-wide, called on the thread that injects input,
// the hook installed last first. True when one swallowed the input.
HHOOK setLowLevelHook(int kind, HOOKPROC proc);
bool isLowLevelHook(HHOOK hook);
BOOL removeLowLevelHook(HHOOK hook);
LRESULT callNextLowLevelHook(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);
bool callLowLevelHooks(int kind, WPARAM message, LPARAM data);

// The key state GetKeyState reads, set by injected input.
void setKeyDown(int vk, bool down);
void resetKeys();

void setHungLimitMs(uint64_t ms);
uint64_t hungLimitMs();

}  // namespace desk::detail
