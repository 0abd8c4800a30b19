// The test controller: puts the platform layer into the states tests need, drives it (the
// virtual clock, pumping, input) and reads back what happened (window snapshots and a message
// spy, both fed by the window observer). Product code never uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desk/clock.h"
#include "desk/tray.h"
#include "desk/types.h"
#include "desk/window.h"

namespace desk::gfx {
class Bitmap;
}

namespace desk::test {

// The most posted messages one thread's queue holds; a post beyond it fails with
// ERROR_NOT_ENOUGH_QUOTA. 10000 unless a test sets another.
constexpr size_t kDefaultMessageQuota = 10000;
void setMessageQuota(size_t quota);
size_t messageQuota();

// Back to a known state: the calling thread's windows are destroyed (with their messages), any
// other thread's are forgotten, and so are the calling thread's thread timers; one 1920x1080 monitor at 96 DPI (work area 1920x1040), system
// DPI 96, per-monitor calls present; a new virtual clock at 0; cursor at 0,0; no capture,
// foreground, keys down, low-level hooks' effects or popup-menu chooser; spy and snapshots
// emptied; quota and hung limit at their defaults; no dialog script (desk/dialog.h); the system
// dialogs at their defaults (desk/system_dialogs.h); no notification-area icons or failures.
void reset();
std::shared_ptr<VirtualClock> clock();

// ---- monitors and DPI ----
struct MonitorSpec {
  std::u16string name;
  RECT rect;
  RECT work;
  UINT dpi = 96;
  bool primary = false;
};
// Replaces the monitors (in EnumDisplayMonitors order); their handles are new. Windows whose
// monitor now has another DPI get WM_DPICHANGED.
std::vector<HMONITOR> setMonitors(const std::vector<MonitorSpec>& monitors);
std::vector<HMONITOR> monitors();
// Changes a monitor's DPI: each top-level window on it gets WM_DPICHANGED with the suggested
// rectangle (same top-left, size scaled by the DPI ratio), on its own thread.
void setMonitorDpi(HMONITOR monitor, UINT dpi);
void setSystemDpi(UINT dpi);
// Switches GetDpiForMonitor/GetDpiForWindow "absent" (callers fall back to the system DPI).
void setPerMonitorDpiAvailable(bool available);

// ---- time and pumping ----
// Moves the virtual clock forward by `ms`, stopping at each timer due on the way, in order: the
// calling thread's queue is pumped at each stop and other threads are given (up to the guard,
// in real time) the chance to take their due timers.
void advance(uint64_t ms);
// Handles everything ready on the calling thread now (sends, posts, paints, due timers);
// returns how many messages were dispatched.
int pump();
// Pumps the calling thread until `done` holds. After `guardMs` of real time it gives up:
// false, and the failure handler gets every thread's state.
bool pumpUntil(const std::function<bool()>& done, uint64_t guardMs = 5000);
// Every thread's queue state, one line each.
std::string threadReport();
// Called with the report when a guard runs out; the default writes it to stderr.
void setFailureHandler(std::function<void(const std::string&)> handler);
// The time a thread may go without retrieving messages before sends and broadcasts skip it
// (5000 ms by default).
void setHungLimit(uint64_t ms);

// ---- input (through the one injection entry) ----
bool mouseMove(POINT pt);
bool mouseButton(POINT pt, int button, bool down);
bool click(POINT pt, int button = 0);
// A non-client mouse message at `pt` with the given hit-test code, as if the window said so.
bool ncMouse(POINT pt, int button, bool down, LRESULT hit);
bool key(int vk, bool down);
bool keyPress(int vk);
bool typeText(const std::u16string& text);
// Broadcasts WM_SETTINGCHANGE with the area name as lParam (the theme change is
// "ImmersiveColorSet").
void settingChange(const char16_t* area = u"ImmersiveColorSet");
// Another application takes the foreground: the foreground window is deactivated.
void takeForegroundElsewhere();
// Decides what TrackPopupMenuEx chooses: the command, or 0 to dismiss. Runs on the menu's
// thread inside its loop (it may pump). Without one, menus are dismissed.
void setPopupMenuChooser(std::function<UINT_PTR(HMENU menu, HWND owner, POINT pt)> chooser);

// ---- read-back ----
struct TimerState {
  UINT_PTR id = 0;
  UINT interval = 0;
  uint64_t due = 0;
  bool hasProc = false;
};
struct Snapshot : WindowSnapshot {
  bool destroyed = false;
  int zIndex = -1;  // position in the top-level z-order, front first; -1 for others
  std::vector<TimerState> timers;
};
// The last recorded state of a window (also after it was destroyed); nullopt for a window never
// seen since reset().
std::optional<Snapshot> snapshot(HWND hwnd);
std::vector<HWND> zOrder();

struct SpyRecord {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  bool sent = false;
  DWORD threadId = 0;
};
// Every message a window procedure received since reset() or clearSpy(), in order; with a
// window, only that window's; `only`, when not empty, keeps just those message numbers.
std::vector<SpyRecord> spy(HWND hwnd = nullptr);
std::vector<UINT> spyMessages(HWND hwnd = nullptr, const std::vector<UINT>& only = {});
void clearSpy();

// ---- the notification area (desk/tray.h) ----
struct NotifyIcon {
  HWND hwnd = nullptr;
  UINT id = 0;
  UINT flags = 0;  // uFlags of the last add or modify
  UINT callbackMessage = 0;
  HICON icon = nullptr;                       // the handle last given
  std::shared_ptr<const gfx::Bitmap> image;   // a copy of its pixels then (null: none)
  std::u16string tip;
  bool showTip = false;  // the last add or modify carried NIF_SHOWTIP
  DWORD state = 0;       // NIS_* bits
  UINT version = 0;
};
// The records, in the order the icons were added.
std::vector<NotifyIcon> notifyIcons();
std::optional<NotifyIcon> notifyIcon(HWND hwnd, UINT id);
// Shell_NotifyIconW with this message fails with the error (ERROR_SUCCESS: it works again).
void failNotifyIcon(DWORD message, DWORD error);
void failNotifyIconGetRect(bool fail);
// Puts the cursor at `pt` and posts the icon's callback message as the shell does: for version 4
// wParam is the point and lParam the event (low word) and the id (high word); before it wParam is
// the id and lParam the event. False for an icon without a record or a callback message.
bool trayCallback(HWND hwnd, UINT id, UINT event, POINT pt);
// Drops every record and failure (reset() does this too).
void resetNotifyIcons();

}  // namespace desk::test
