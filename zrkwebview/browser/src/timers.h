// The framework's general-purpose timers, the hand-off of a call to the UI thread, and the window
// messages the framework's parts exchange.
//
// Timers live on one hidden window, "__TimerWindow", that belongs to the UI thread: every WM_TIMER
// and every callback runs there. A timer call made on another thread is carried out on the UI
// thread (through the main dispatch queue) and waits for it; with no main queue (before the
// dispatch library starts, after it has shut down) it does nothing and returns 0.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "desk/types.h"

namespace zrk {

using TimerCallback = std::function<void()>;

// Timer ids lie in [6000, 6999]; a live id is unique in the process; 0 means failure (no timer
// window, all 1000 ids in use, or no way to reach the UI thread). A callback that throws is
// logged; the loop goes on.
uint32_t setTimeout(uint32_t ms, TimerCallback callback);
uint32_t setInterval(uint32_t ms, TimerCallback callback);
uint32_t setTimer(uint32_t ms, TimerCallback callback, bool repeat);
// Stops the timer and forgets it; an unknown id does nothing. A WM_TIMER already queued for it is
// taken back, so its callback does not run again.
void clearTimer(uint32_t id);

// Whether the calling thread is the UI thread.
bool isMainThread();

// Has the UI thread call `function` with `argument`, through the main window: `wait` sends (the
// call has run on return), otherwise posts (the call runs later from the loop; the function is
// kept alive until then). Without a live main window nothing happens.
using Selector = std::function<void(desk::WPARAM)>;
void performSelector(std::shared_ptr<Selector> function, bool wait, desk::WPARAM argument);
// The receiving end, for the main window's procedure: runs the hand-off carried by a
// "wWM_PERFORMSELECTOR" message (its wParam and lParam) and returns 0. What the function throws
// is logged.
desk::LRESULT runPerformSelector(desk::WPARAM wParam, desk::LPARAM lParam);

// Registered message numbers (registered once per process, at load).
desk::UINT wmAlertAlternate();     // "uWM_ALERT_ALTERNATE"
desk::UINT wmBroadcastChannel();   // "uWM_BROADCAST_CHANNEL"
desk::UINT wmBroadcastCommand();   // "uWM_BROADCAST_COMMAND"
desk::UINT wmAddDialog();          // "uWM_ADD_DIALOG"
desk::UINT wmRemoveDialog();       // "uWM_REMOVE_DIALOG"
desk::UINT wmPerformSelector();    // "wWM_PERFORMSELECTOR"
desk::UINT wmTray();               // "uWM_TRAY"

// Fixed private messages of the framework windows.
inline constexpr desk::UINT kWmCreateFirstWebview = 0x0400 + 101;
inline constexpr desk::UINT kWmRunOnWindowThread = 0x8100;
inline constexpr desk::UINT kWmAnimationFinished = 0x700;

}  // namespace zrk
