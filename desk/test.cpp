#include "desk/test.h"

#include "desk/system_dialogs.h"

#include "desk/dialog.h"
#include "desk/dialog_message.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "desk/detail/queue.h"
#include "desk/detail/windows.h"
#include "desk/message.h"
#include "desk/thread.h"

namespace desk::test {
namespace {

class Recorder final : public WindowObserver {
 public:
  void onWindowEvent(const WindowEvent& e) override {
    std::lock_guard<std::mutex> guard(mutex);
    switch (e.kind) {
      case WindowEvent::Kind::Message:
        spy.push_back(SpyRecord{e.hwnd, e.message, e.wParam, e.lParam, e.sent, e.threadId});
        break;
      case WindowEvent::Kind::Created:
      case WindowEvent::Kind::Changed:
        if (e.state) {
          states[e.hwnd] = e.state;
          destroyed.erase(e.hwnd);
        }
        break;
      case WindowEvent::Kind::Destroyed:
        if (e.state) states[e.hwnd] = e.state;
        destroyed[e.hwnd] = true;
        break;
      case WindowEvent::Kind::ZOrder: order = e.zOrder; break;
      case WindowEvent::Kind::Input: break;
    }
  }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex);
    spy.clear();
    states.clear();
    destroyed.clear();
    order.clear();
  }
  std::mutex mutex;
  std::vector<SpyRecord> spy;
  std::map<HWND, std::shared_ptr<const WindowSnapshot>> states;
  std::map<HWND, bool> destroyed;
  std::vector<HWND> order;
};

struct Controller {
  std::mutex mutex;
  std::shared_ptr<VirtualClock> clock;
  std::function<void(const std::string&)> failure;
  Recorder recorder;
  bool observing = false;
};

Controller& controller() {
  static Controller* c = new Controller;
  return *c;
}

uint64_t realMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void fail(const std::string& what) {
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> guard(controller().mutex);
    handler = controller().failure;
  }
  std::string report = what + "\n" + threadReport();
  if (handler) {
    handler(report);
  } else {
    std::fprintf(stderr, "desk::test: %s\n", report.c_str());
  }
}

// Lets other threads take the timers that are due and handle them, waiting in real time up to
// the guard; threads that stopped retrieving messages are left alone.
void letOthersCatchUp() {
  DWORD self = GetCurrentThreadId();
  uint64_t start = realMs();
  std::vector<DWORD> threads;
  uint64_t now = GetTickCount64();
  for (const detail::TimerInfo& t : detail::timers())
    if (t.threadId != self && t.due <= now) threads.push_back(t.threadId);
  for (;;) {
    bool pending = false;
    for (DWORD thread : threads) {
      if (detail::threadHung(thread) || detail::threadIdle(thread)) continue;
      pending = true;
    }
    if (!pending) return;
    if (realMs() - start > 5000) {
      fail("advance: another thread did not handle its due timers");
      return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void refreshAllDpi() {
  std::vector<HWND> all = desk::zOrder();
  for (HWND h : all)
    detail::runOnOwner(h, [h]() -> LRESULT {
      detail::refreshDpiAfterMove(h);
      return 0;
    }, nullptr);
}

}  // namespace

void reset() {
  Controller& c = controller();
  {
    std::lock_guard<std::mutex> guard(c.mutex);
    if (!c.observing) {
      addWindowObserver(&c.recorder);
      c.observing = true;
    }
  }
  // The calling thread's windows go the ordinary way, owners and parents first.
  DWORD self = GetCurrentThreadId();
  for (int round = 0; round < 4; ++round) {
    std::vector<HWND> mine;
    {
      detail::Globals& g = detail::globals();
      std::lock_guard<std::mutex> guard(g.m);
      for (auto& [id, w] : g.windows)
        if (w->thread == self && !w->parent) mine.push_back(w->hwnd);
    }
    if (mine.empty()) break;
    for (HWND h : mine) DestroyWindow(h);
  }
  detail::resetWindows();
  setDialogScript(nullptr);
  resetSystemDialogs();
  for (const detail::TimerInfo& t : detail::timers())
    if (t.threadId == self && !t.hwnd) detail::killTimer(self, nullptr, t.id);
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>(0);
  setClock(clock);
  {
    std::lock_guard<std::mutex> guard(c.mutex);
    c.clock = clock;
  }
  detail::setMenuChooser(nullptr);
  detail::resetKeys();
  detail::setHungLimitMs(5000);
  setMessageQuota(kDefaultMessageQuota);
  resetNotifyIcons();
  c.recorder.clear();
}

std::shared_ptr<VirtualClock> clock() {
  std::lock_guard<std::mutex> guard(controller().mutex);
  return controller().clock;
}

std::vector<HMONITOR> setMonitors(const std::vector<MonitorSpec>& list) {
  std::vector<HMONITOR> out;
  {
    detail::Globals& g = detail::globals();
    std::lock_guard<std::mutex> guard(g.m);
    g.monitors.clear();
    bool anyPrimary = false;
    for (const MonitorSpec& s : list) anyPrimary = anyPrimary || s.primary;
    for (size_t i = 0; i < list.size(); ++i) {
      detail::Monitor m;
      m.id = g.nextMonitor++;
      m.name = list[i].name.empty()
                   ? u"\\\\.\\DISPLAY" + std::u16string(1, static_cast<char16_t>(u'1' + i))
                   : list[i].name;
      m.rect = list[i].rect;
      m.work = list[i].work;
      if (m.work == RECT{}) m.work = m.rect;
      m.dpi = list[i].dpi;
      m.primary = list[i].primary || (!anyPrimary && i == 0);
      g.monitors.push_back(m);
      out.push_back(detail::monitorHandle(g.monitors.back()));
    }
  }
  refreshAllDpi();
  return out;
}

std::vector<HMONITOR> monitors() {
  detail::Globals& g = detail::globals();
  std::lock_guard<std::mutex> guard(g.m);
  std::vector<HMONITOR> out;
  for (const detail::Monitor& m : g.monitors) out.push_back(detail::monitorHandle(m));
  return out;
}

void setMonitorDpi(HMONITOR monitor, UINT dpi) {
  {
    detail::Globals& g = detail::globals();
    std::lock_guard<std::mutex> guard(g.m);
    for (detail::Monitor& m : g.monitors)
      if (detail::monitorHandle(m) == monitor) m.dpi = dpi;
  }
  refreshAllDpi();
}

void setSystemDpi(UINT dpi) {
  detail::Globals& g = detail::globals();
  std::lock_guard<std::mutex> guard(g.m);
  g.systemDpi = dpi;
}

void setPerMonitorDpiAvailable(bool available) {
  detail::Globals& g = detail::globals();
  std::lock_guard<std::mutex> guard(g.m);
  g.perMonitorOff = !available;
}

int pump() {
  int handled = 0;
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(m.wParam));
      break;
    }
    // Dialogs made by the dialog manager get their keyboard interface, as in the program's loop.
    bool taken = false;
    for (HWND dialog : detail::threadDialogs()) {
      if (IsDialogMessage(dialog, &m)) {
        taken = true;
        break;
      }
    }
    if (!taken) {
      TranslateMessage(&m);
      DispatchMessage(&m);
    }
    ++handled;
  }
  return handled;
}

void advance(uint64_t ms) {
  std::shared_ptr<VirtualClock> vc = clock();
  if (!vc) {
    fail("advance: no virtual clock (call reset first)");
    return;
  }
  uint64_t target = vc->now() + ms;
  for (;;) {
    pump();
    letOthersCatchUp();
    pump();
    uint64_t next = Clock::kNever;
    for (const detail::TimerInfo& t : detail::timers()) next = std::min(next, t.due);
    uint64_t now = vc->now();
    if (next <= now) next = now;  // due now: pumped above unless another thread holds it
    if (next > target || next == now) {
      if (now >= target) break;
      if (next == now) {
        // A due timer that nobody took (its thread is busy or hung): move on regardless.
        bool own = false;
        for (const detail::TimerInfo& t : detail::timers())
          own = own || (t.due <= now && t.threadId == GetCurrentThreadId());
        if (own) continue;
        uint64_t later = Clock::kNever;
        for (const detail::TimerInfo& t : detail::timers())
          if (t.due > now) later = std::min(later, t.due);
        vc->advance(std::min(later, target) - now);
        continue;
      }
      vc->advance(target - now);
      continue;
    }
    vc->advance(next - now);
  }
  pump();
}

bool pumpUntil(const std::function<bool()>& done, uint64_t guardMs) {
  uint64_t start = realMs();
  for (;;) {
    pump();
    if (done()) return true;
    if (realMs() - start > guardMs) {
      fail("pumpUntil: the condition did not come true within the guard");
      return false;
    }
    // Wait briefly for new input (real time: the virtual clock does not move here).
    MsgWaitForMultipleObjects(0, nullptr, 0, 0, QS_ALLINPUT);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

std::string threadReport() { return detail::describeThreads(); }

void setFailureHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> guard(controller().mutex);
  controller().failure = std::move(handler);
}

void setHungLimit(uint64_t ms) { detail::setHungLimitMs(ms); }

bool mouseMove(POINT pt) {
  InputEvent e;
  e.kind = InputEvent::Kind::MouseMove;
  e.pt = pt;
  return injectInput(e);
}

bool mouseButton(POINT pt, int button, bool down) {
  InputEvent e;
  e.kind = InputEvent::Kind::MouseButton;
  e.pt = pt;
  e.button = button;
  e.down = down;
  return injectInput(e);
}

bool click(POINT pt, int button) {
  bool a = mouseButton(pt, button, true);
  bool b = mouseButton(pt, button, false);
  return a && b;
}

bool ncMouse(POINT pt, int button, bool down, LRESULT hit) {
  InputEvent e;
  e.kind = InputEvent::Kind::MouseButton;
  e.pt = pt;
  e.button = button;
  e.down = down;
  e.forceNonClient = true;
  e.hitTest = hit;
  return injectInput(e);
}

bool key(int vk, bool down) {
  InputEvent e;
  e.kind = InputEvent::Kind::Key;
  e.vk = vk;
  e.down = down;
  return injectInput(e);
}

bool keyPress(int vk) {
  bool a = key(vk, true);
  bool b = key(vk, false);
  return a && b;
}

bool typeText(const std::u16string& text) {
  bool all = true;
  for (char16_t ch : text) {
    InputEvent e;
    e.kind = InputEvent::Kind::Char;
    e.ch = ch;
    all = injectInput(e) && all;
  }
  return all;
}

void settingChange(const char16_t* area) {
  SendMessageTimeout(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(area),
                     SMTO_ABORTIFHUNG, 5000, nullptr);
}

void takeForegroundElsewhere() {
  HWND fg;
  {
    detail::Globals& g = detail::globals();
    std::lock_guard<std::mutex> guard(g.m);
    fg = g.foreground;
    g.foreground = nullptr;
  }
  if (!fg) return;
  detail::runOnOwner(fg, [fg]() -> LRESULT {
    HWND focus;
    {
      detail::Globals& g = detail::globals();
      std::lock_guard<std::mutex> guard(g.m);
      detail::ThreadInput& in = g.input[GetCurrentThreadId()];
      if (in.active == fg) in.active = nullptr;
      focus = in.focus;
      in.focus = nullptr;
    }
    SendMessage(fg, WM_NCACTIVATE, 0, 0);
    SendMessage(fg, WM_ACTIVATE, WA_INACTIVE, 0);
    SendMessage(fg, WM_ACTIVATEAPP, 0, 0);
    if (focus) SendMessage(focus, WM_KILLFOCUS, 0, 0);
    return 0;
  }, nullptr);
}

void setPopupMenuChooser(std::function<UINT_PTR(HMENU, HWND, POINT)> chooser) {
  detail::setMenuChooser(std::move(chooser));
}

std::optional<Snapshot> snapshot(HWND hwnd) {
  Recorder& r = controller().recorder;
  Snapshot out;
  {
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.states.find(hwnd);
    if (it == r.states.end()) return std::nullopt;
    static_cast<WindowSnapshot&>(out) = *it->second;
    out.destroyed = r.destroyed.count(hwnd) != 0;
    auto z = std::find(r.order.begin(), r.order.end(), hwnd);
    out.zIndex = z == r.order.end() ? -1 : static_cast<int>(z - r.order.begin());
  }
  for (const detail::TimerInfo& t : detail::timers())
    if (t.hwnd == hwnd && hwnd) out.timers.push_back(TimerState{t.id, t.interval, t.due, t.hasProc});
  return out;
}

std::vector<HWND> zOrder() { return desk::zOrder(); }

std::vector<SpyRecord> spy(HWND hwnd) {
  Recorder& r = controller().recorder;
  std::lock_guard<std::mutex> guard(r.mutex);
  if (!hwnd) return r.spy;
  std::vector<SpyRecord> out;
  for (const SpyRecord& s : r.spy)
    if (s.hwnd == hwnd) out.push_back(s);
  return out;
}

std::vector<UINT> spyMessages(HWND hwnd, const std::vector<UINT>& only) {
  std::vector<UINT> out;
  for (const SpyRecord& s : spy(hwnd)) {
    if (!only.empty() && std::find(only.begin(), only.end(), s.message) == only.end()) continue;
    out.push_back(s.message);
  }
  return out;
}

void clearSpy() {
  Recorder& r = controller().recorder;
  std::lock_guard<std::mutex> guard(r.mutex);
  r.spy.clear();
}

}  // namespace desk::test
