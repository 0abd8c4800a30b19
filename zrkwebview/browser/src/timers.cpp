#include "zrkwebview/browser/src/timers.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <list>
#include <map>

#include "desk/gdi.h"
#include "desk/message.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/app.h"

namespace zrk {

namespace {

constexpr uint32_t kFirstTimerId = 6000;
constexpr uint32_t kTimerIdCount = 1000;
const char16_t kTimerClassName[] = u"__TimerWindow";

struct TimerEntry {
  bool repeat = false;
  uint32_t id = 0;
  TimerCallback callback;
};

// Touched only on the UI thread.
struct TimerState {
  desk::HWND window = nullptr;
  std::list<uint32_t> idsInUse;
  std::map<desk::HWND, std::map<uint32_t, TimerEntry>> timers;
};

TimerState& timerState() {
  static TimerState state;
  return state;
}

bool idInUse(const TimerState& s, uint32_t id) {
  return std::find(s.idsInUse.begin(), s.idsInUse.end(), id) != s.idsInUse.end();
}

void forgetId(TimerState& s, uint32_t id) {
  auto it = std::find(s.idsInUse.begin(), s.idsInUse.end(), id);
  if (it != s.idsInUse.end()) s.idsInUse.erase(it);
}

void runCallback(const TimerCallback& callback, uint32_t id) {
  try {
    callback();
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("timer %u: the callback failed: %s", id, e.what());
  } catch (...) {
    ZRK_LOG_ERROR("timer %u: the callback failed: %s", id, "unknown exception");
  }
}

void onTimer(desk::HWND window, uint32_t id) {
  TimerState& s = timerState();
  auto outer = s.timers.find(window);
  if (outer == s.timers.end()) return;
  auto inner = outer->second.find(id);
  if (inner == outer->second.end()) return;  // stopped while its WM_TIMER was queued
  const bool repeat = inner->second.repeat;
  TimerCallback callback = inner->second.callback;
  if (!repeat) {
    desk::KillTimer(window, id);
    outer->second.erase(inner);
    forgetId(s, id);
  }
  runCallback(callback, id);
}

desk::LRESULT timerWindowProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam) {
  if (message == desk::WM_TIMER) {
    onTimer(hwnd, static_cast<uint32_t>(wParam));
    return 0;
  }
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

desk::HWND createTimerWindow() {
  desk::WNDCLASSEX existing;
  if (!desk::GetClassInfoEx(nullptr, kTimerClassName, &existing)) {
    desk::WNDCLASSEX wc;
    wc.style = desk::CS_VREDRAW | desk::CS_HREDRAW;
    wc.lpfnWndProc = timerWindowProc;
    wc.hbrBackground = reinterpret_cast<desk::HBRUSH>(desk::GetStockObject(desk::BLACK_BRUSH));
    wc.lpszMenuName = u"__Timer";
    wc.lpszClassName = kTimerClassName;
    if (!desk::RegisterClassEx(&wc)) {
      desk::WNDCLASS plain;
      plain.style = wc.style;
      plain.lpfnWndProc = wc.lpfnWndProc;
      plain.hbrBackground = wc.hbrBackground;
      plain.lpszMenuName = wc.lpszMenuName;
      plain.lpszClassName = wc.lpszClassName;
      if (!desk::RegisterClass(&plain)) return nullptr;
    }
  }
  desk::HWND hwnd = desk::CreateWindowEx(0, kTimerClassName, u"", 0, desk::CW_USEDEFAULT, 0,
                                         desk::CW_USEDEFAULT, 0, nullptr, nullptr, nullptr,
                                         nullptr);
  if (hwnd) desk::UpdateWindow(hwnd);
  return hwnd;
}

// The timer window of the calling (UI) thread, made when there is none. A window that has gone
// (its thread ended, or another thread became the UI thread) is replaced, and its timers with it.
desk::HWND ensureTimerWindow() {
  TimerState& s = timerState();
  if (s.window && desk::IsWindow(s.window) &&
      desk::GetWindowThreadProcessId(s.window, nullptr) == desk::GetCurrentThreadId())
    return s.window;
  if (s.window) {
    auto old = s.timers.find(s.window);
    if (old != s.timers.end()) {
      for (const auto& [id, entry] : old->second) forgetId(s, id);
      s.timers.erase(old);
    }
    s.window = nullptr;
  }
  s.window = createTimerWindow();
  return s.window;
}

uint32_t chooseId(const TimerState& s) {
  if (s.idsInUse.size() >= kTimerIdCount) return 0;
  uint32_t id = kFirstTimerId;
  // Random picks first; a long run of taken ids ends in a scan, which always finds a free one.
  for (int tries = 0; idInUse(s, id); ++tries) {
    if (tries >= 64) {
      for (id = kFirstTimerId; idInUse(s, id); ++id) {
      }
      break;
    }
    id = static_cast<uint32_t>(std::rand()) % kTimerIdCount + kFirstTimerId;
  }
  return id;
}

uint32_t addTimer(desk::HWND window, uint32_t ms, TimerCallback callback, bool repeat) {
  if (!desk::IsWindow(window)) return 0;
  TimerState& s = timerState();
  const uint32_t id = chooseId(s);
  if (id == 0) {
    ZRK_LOG_ERROR("%s", "no timer started: all 1000 timer ids are in use");
    return 0;
  }
  s.idsInUse.push_back(id);
  s.timers[window][id] = TimerEntry{repeat, id, std::move(callback)};
  desk::SetTimer(window, id, ms, nullptr);
  return id;
}

void removeTimer(desk::HWND window, uint32_t id) {
  TimerState& s = timerState();
  if (window) desk::KillTimer(window, id);
  auto outer = s.timers.find(window);
  if (outer == s.timers.end()) return;
  auto inner = outer->second.find(id);
  if (inner == outer->second.end()) return;
  TimerCallback released = std::move(inner->second.callback);
  outer->second.erase(inner);
  forgetId(s, id);
}

// Runs `work` on the UI thread and waits for it: at once on the UI thread, otherwise through the
// main dispatch queue. False when the UI thread cannot be reached.
bool onUiThread(const char* what, const std::function<void()>& work) {
  if (isMainThread()) {
    work();
    return true;
  }
  dispatch_queue_t main = dispatch_get_main_queue();
  if (main == nullptr) {
    ZRK_LOG_ERROR("%s from another thread without a main dispatch queue: ignored", what);
    return false;
  }
  bool ran = false;
  try {
    dispatch_sync(main, [&] {
      work();
      ran = true;
    });
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("%s could not reach the UI thread: %s", what, e.what());
    return false;
  } catch (...) {
    ZRK_LOG_ERROR("%s could not reach the UI thread: %s", what, "unknown exception");
    return false;
  }
  if (!ran) ZRK_LOG_ERROR("%s could not reach the UI thread: %s", what, "the work was dropped");
  return ran;
}

uint32_t startTimer(uint32_t ms, TimerCallback callback, bool repeat) {
  uint32_t id = 0;
  onUiThread(repeat ? "setInterval" : "setTimeout", [&] {
    desk::HWND window = ensureTimerWindow();
    if (window) id = addTimer(window, ms, std::move(callback), repeat);
  });
  return id;
}

struct Handoff {
  std::shared_ptr<Selector> function;
  bool owned = false;  // posted: the receiver deletes it
};

desk::UINT registered(const char* name) { return desk::RegisterWindowMessage(name); }
desk::UINT registered(const char16_t* name) { return desk::RegisterWindowMessage(name); }

}  // namespace

uint32_t setTimeout(uint32_t ms, TimerCallback callback) {
  return startTimer(ms, std::move(callback), false);
}

uint32_t setInterval(uint32_t ms, TimerCallback callback) {
  return startTimer(ms, std::move(callback), true);
}

uint32_t setTimer(uint32_t ms, TimerCallback callback, bool repeat) {
  return repeat ? setInterval(ms, std::move(callback)) : setTimeout(ms, std::move(callback));
}

void clearTimer(uint32_t id) {
  onUiThread("clearTimer", [&] { removeTimer(timerState().window, id); });
}

bool isMainThread() { return desk::GetCurrentThreadId() == desk::uiThreadId(); }

void performSelector(std::shared_ptr<Selector> function, bool wait, desk::WPARAM argument) {
  auto window = App::instance()->mainWindow();
  if (!window) return;
  desk::HWND hwnd = window->nativeHandle();
  if (!desk::IsWindow(hwnd)) return;
  if (wait) {
    Handoff handoff{std::move(function), false};
    desk::SendMessage(hwnd, wmPerformSelector(), argument, reinterpret_cast<desk::LPARAM>(&handoff));
    return;
  }
  auto* handoff = new Handoff{std::move(function), true};
  if (!desk::PostMessage(hwnd, wmPerformSelector(), argument,
                         reinterpret_cast<desk::LPARAM>(handoff))) {
    ZRK_LOG_ERROR("%s", "performSelector: the hand-off could not be posted");
    delete handoff;
  }
}

desk::LRESULT runPerformSelector(desk::WPARAM wParam, desk::LPARAM lParam) {
  if (lParam == 0) return 0;
  auto* handoff = reinterpret_cast<Handoff*>(lParam);
  std::shared_ptr<Selector> function = handoff->function;
  if (handoff->owned) delete handoff;
  if (function && *function) {
    try {
      (*function)(wParam);
    } catch (const std::exception& e) {
      ZRK_LOG_ERROR("performSelector: the call failed: %s", e.what());
    } catch (...) {
      ZRK_LOG_ERROR("performSelector: the call failed: %s", "unknown exception");
    }
  }
  return 0;
}

desk::UINT wmAlertAlternate() {
  static const desk::UINT n = registered("uWM_ALERT_ALTERNATE");
  return n;
}
desk::UINT wmBroadcastChannel() {
  static const desk::UINT n = registered("uWM_BROADCAST_CHANNEL");
  return n;
}
desk::UINT wmBroadcastCommand() {
  static const desk::UINT n = registered("uWM_BROADCAST_COMMAND");
  return n;
}
desk::UINT wmAddDialog() {
  static const desk::UINT n = registered(u"uWM_ADD_DIALOG");
  return n;
}
desk::UINT wmRemoveDialog() {
  static const desk::UINT n = registered(u"uWM_REMOVE_DIALOG");
  return n;
}
desk::UINT wmPerformSelector() {
  static const desk::UINT n = registered(u"wWM_PERFORMSELECTOR");
  return n;
}
desk::UINT wmTray() {
  static const desk::UINT n = registered(u"uWM_TRAY");
  return n;
}

namespace {
// Registered at load, before main.
[[maybe_unused]] const bool messagesRegistered = [] {
  wmAlertAlternate();
  wmBroadcastChannel();
  wmBroadcastCommand();
  wmAddDialog();
  wmRemoveDialog();
  wmPerformSelector();
  wmTray();
  return true;
}();
}  // namespace

}  // namespace zrk
