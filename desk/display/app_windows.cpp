#include "desk/display/app_windows.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "desk/detail/codec.h"
#include "desk/log.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/web/chromium_engine.h"
#include "desk/thread.h"
#include "desk/window.h"

// Xlib's macros come last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace desk::display {

namespace {

using Clock = std::chrono::steady_clock;

// How long after the program placed a window what the X server shows is taken as the browser
// still following, not as the user's doing.
constexpr auto kSettle = std::chrono::milliseconds(800);
// How long a new browser window is looked for before its webview is handed over without it.
constexpr auto kFindFor = std::chrono::seconds(10);
// How long the marker is looked for before the browser's one unclaimed window is taken.
constexpr auto kMarkerFor = std::chrono::seconds(2);
constexpr auto kTick = std::chrono::milliseconds(50);
// How often the pointer is read while a window is dragged by its page.
constexpr auto kDragTick = std::chrono::milliseconds(15);
// How long a press may wait for the window to take the mouse before the drag is given up.
constexpr auto kCaptureFor = std::chrono::milliseconds(1000);

struct Entry {
  std::shared_ptr<web::AppWindow> window;
  std::function<void()> ready;  // until the X window is found
  Clock::time_point openedAt;
  XWindowId xid = 0;
  HWND hwnd = nullptr;
  bool primary = true;  // a second webview of one window is kept minimised
  // What the browser window was last told, or last seen to be.
  bool placed = false;
  web::Rect rect;
  web::WindowState state = web::WindowState::normal;
  Clock::time_point placedAt;
  std::string title;
  bool haveProperties = false;
  bool frameless = false;
  bool above = false;
  XWindowId ownerXid = 0;  // the browser window of the window's owner, set as transient-for
  // A left press the page forwarded: the real pointer is followed until the button is released.
  bool following = false;
  Clock::time_point pressedAt;
  int pointerX = 0;
  int pointerY = 0;
};

web::Rect toRect(const RECT& r) { return {r.left, r.top, r.right - r.left, r.bottom - r.top}; }

web::WindowState stateFromX(const std::vector<std::string>& states) {
  auto has = [&](const char* name) { return std::find(states.begin(), states.end(), name) != states.end(); };
  if (has("_NET_WM_STATE_HIDDEN")) return web::WindowState::minimized;
  if (has("_NET_WM_STATE_FULLSCREEN")) return web::WindowState::fullscreen;
  if (has("_NET_WM_STATE_MAXIMIZED_VERT") && has("_NET_WM_STATE_MAXIMIZED_HORZ")) return web::WindowState::maximized;
  return web::WindowState::normal;
}

// The entry being handed to its owner on this thread: the windows made meanwhile host it.
thread_local std::shared_ptr<Entry> handing;

// Where the pointer is on the root window and whether its left button is down.
bool queryPointer(X11Connection& x, int& px, int& py, bool& leftDown) {
  if (x.lost()) return false;
  Window root = 0, child = 0;
  int wx = 0, wy = 0;
  unsigned mask = 0;
  if (!XQueryPointer(x.display(), x.root(), &root, &child, &px, &py, &wx, &wy, &mask)) return false;
  leftDown = (mask & Button1Mask) != 0;
  return true;
}

// The window the X server (or its window manager) has made active; 0 for none.
XWindowId activeXWindow(X11Connection& x, bool managed) {
  if (x.lost()) return 0;
  Display* d = x.display();
  if (!managed) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    return focus == PointerRoot ? 0 : focus;
  }
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  XWindowId active = 0;
  if (XGetWindowProperty(d, x.root(), XInternAtom(d, "_NET_ACTIVE_WINDOW", False), 0, 1, False, XA_WINDOW, &type,
                         &format, &count, &after, &data) == Success &&
      data && count == 1 && format == 32) {
    active = *reinterpret_cast<unsigned long*>(data);
  }
  if (data) XFree(data);
  return active;
}

// Activation the display reports is handed to the window's own thread with this message: the
// observer acts on it there, where activating cannot wait for another thread.
UINT displayActivationMessage() {
  static const UINT message = RegisterWindowMessage(u"PelmoraDisplayActivation");
  return message;
}

}  // namespace

struct AppWindows::State final : WindowObserver {
  std::shared_ptr<X11Connection> x;
  mutable std::mutex mutex;
  std::vector<std::shared_ptr<Entry>> entries;
  std::condition_variable wake;
  bool stopping = false;
  bool observing = false;
  std::thread watcher;
  XWindowId lastActive = 0;            // the display's active window when last looked at
  Clock::time_point activatedAt;       // the program's last activation of one of these windows

  std::shared_ptr<Entry> byHwnd(HWND hwnd) const {
    for (auto& e : entries) {
      if (e->hwnd == hwnd && e->primary) return e;
    }
    return nullptr;
  }
  std::shared_ptr<Entry> byWindow(const web::AppWindow* window) const {
    for (auto& e : entries) {
      if (e->window.get() == window) return e;
    }
    return nullptr;
  }

  void onWindowEvent(const WindowEvent& event) override {
    switch (event.kind) {
      case WindowEvent::Kind::Created: {
        std::shared_ptr<Entry> entry = handing;
        if (!entry || entry->hwnd) return;
        HWND root = GetAncestor(event.hwnd, GA_ROOT);
        if (!root) root = event.hwnd;
        {
          std::lock_guard lock(mutex);
          if (byHwnd(root)) {
            entry->primary = false;
            logFormat(2, "display backend: a window hosts several webviews; only its first one is shown");
          }
          entry->hwnd = root;
        }
        if (auto snapshot = windowSnapshot(root)) apply(entry, *snapshot);
        return;
      }
      case WindowEvent::Kind::Changed: {
        if (!event.state) return;
        std::shared_ptr<Entry> entry;
        {
          std::lock_guard lock(mutex);
          entry = byHwnd(event.hwnd);
        }
        if (entry) apply(entry, *event.state);
        return;
      }
      case WindowEvent::Kind::Message: {
        if (event.message == displayActivationMessage() && event.message != 0) {
          // What the user activated on the display, now on the window's thread. Seen from
          // another thread (one delivering for several), it goes round once more.
          if (event.threadId != GetCurrentThreadId()) {
            PostMessage(event.hwnd, event.message, event.wParam, 0);
          } else if (event.wParam) {
            if (GetForegroundWindow() != event.hwnd) SetForegroundWindow(event.hwnd);
          } else if (GetForegroundWindow() == event.hwnd) {
            desk::test::takeForegroundElsewhere();
          }
          return;
        }
        if (event.message == WM_LBUTTONDOWN && !event.sent) return pressed(event.hwnd);
        if (event.message == WM_LBUTTONUP && !event.sent) return released(event.hwnd);
        if (event.message != WM_ACTIVATE || LOWORD(event.wParam) == WA_INACTIVE) return;
        std::shared_ptr<Entry> entry;
        {
          std::lock_guard lock(mutex);
          entry = byHwnd(event.hwnd);
          if (entry) activatedAt = Clock::now();
        }
        if (entry) entry->window->activate();
        return;
      }
      case WindowEvent::Kind::Destroyed: {
        std::lock_guard lock(mutex);
        for (auto& e : entries) {
          if (e->hwnd == event.hwnd) e->hwnd = nullptr;
        }
        return;
      }
      default:
        return;
    }
  }

  // A left press reached a shown window (the page forwards its presses). The browser holds the
  // pointer while the button is down, so the window's procedure sees no moves of its own: from
  // here until the release, the real pointer is read and its moves come in as the window's mouse
  // moves while the window holds the mouse (as a title-bar drag does). The cursor is the
  // pointer's before the procedure reads it.
  void pressed(HWND hwnd) {
    std::shared_ptr<Entry> entry;
    {
      std::lock_guard lock(mutex);
      entry = byHwnd(hwnd);
    }
    int px = 0, py = 0;
    bool down = false;
    if (!entry || !queryPointer(*x, px, py, down)) return;
    SetCursorPos(px, py);
    {
      std::lock_guard lock(mutex);
      entry->following = true;
      entry->pressedAt = Clock::now();
      entry->pointerX = px;
      entry->pointerY = py;
    }
    wake.notify_all();
  }

  void released(HWND hwnd) {
    std::lock_guard lock(mutex);
    if (auto entry = byHwnd(hwnd)) entry->following = false;
  }

  // One read of the pointer for a window that follows it.
  void follow(const std::shared_ptr<Entry>& e, Clock::time_point now) {
    HWND hwnd;
    {
      std::lock_guard lock(mutex);
      if (!e->following) return;
      hwnd = e->primary ? e->hwnd : nullptr;
    }
    int px = 0, py = 0;
    bool down = false;
    bool read = hwnd && queryPointer(*x, px, py, down);
    bool captured = read && GetCapture() == hwnd;
    bool moved = false;
    {
      std::lock_guard lock(mutex);
      if (!read || !down || (!captured && now - e->pressedAt > kCaptureFor)) {
        e->following = false;
        return;
      }
      moved = captured && (px != e->pointerX || py != e->pointerY);
      if (moved) {
        e->pointerX = px;
        e->pointerY = py;
      }
    }
    if (!moved) return;
    SetCursorPos(px, py);
    POINT client{px, py};
    ScreenToClient(hwnd, &client);
    PostMessage(hwnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(client.x, client.y));
  }

  // The window the display made active: when it changed to one of these windows (or away from
  // them to a window of another program), the desk windows follow, as a click would activate
  // them. The program's own activation is given time to arrive before the display is believed.
  void followActivation(Clock::time_point now) {
    if (x->lost()) return;
    bool managed = x->hasWindowManager();
    XWindowId active = activeXWindow(*x, managed);
    HWND target = nullptr, current = GetForegroundWindow();
    bool ours = false;
    int browserPid = 0;
    {
      std::lock_guard lock(mutex);
      if (active == lastActive) return;
      if (now - activatedAt < kSettle) return;  // seen again on the next look
      lastActive = active;
      for (auto& e : entries) {
        if (!e->xid || !e->window) continue;
        browserPid = e->window->browserProcessId();
        if (e->xid == active) {
          ours = true;
          if (e->primary) target = e->hwnd;
        }
      }
    }
    if (target) {
      if (target != current) PostMessage(target, displayActivationMessage(), 1, 0);
      return;
    }
    if (ours || !current || !active) return;
    // Another program's window took the activation; the browser's and this process's own windows
    // (dialogs, menus) do not count.
    for (int pid : {browserPid, static_cast<int>(::getpid())}) {
      if (!pid) continue;
      auto mine = x->windowsOfProcess(pid);
      if (std::find(mine.begin(), mine.end(), active) != mine.end()) return;
    }
    bool shown;
    {
      std::lock_guard lock(mutex);
      shown = byHwnd(current) != nullptr;
    }
    if (shown) PostMessage(current, displayActivationMessage(), 0, 0);
  }

  // A window owned by another shown window stays with it on the display (transient-for): the
  // window manager keeps it above its owner and may place it over it.
  void followOwner(const std::shared_ptr<Entry>& e, HWND hwnd, XWindowId xid) {
    HWND owner = GetWindow(hwnd, GW_OWNER);
    XWindowId ownerXid = 0;
    {
      std::lock_guard lock(mutex);
      if (owner) {
        if (auto o = byHwnd(GetAncestor(owner, GA_ROOT)); o && o != e) ownerXid = o->xid;
      }
      if (ownerXid == e->ownerXid) return;
      e->ownerXid = ownerXid;
    }
    if (x->lost()) return;
    Display* d = x->display();
    if (ownerXid) XSetTransientForHint(d, xid, ownerXid);
    else XDeleteProperty(d, xid, XA_WM_TRANSIENT_FOR);
    XFlush(d);
  }

  // Brings the browser window to what the desk window now is.
  void apply(const std::shared_ptr<Entry>& entry, const WindowSnapshot& s) {
    web::Rect rect = toRect(s.window);
    web::WindowState state = !s.visible || s.iconic ? web::WindowState::minimized
                             : s.zoomed             ? web::WindowState::maximized
                                                    : web::WindowState::normal;
    std::string title = detail::utf16ToUtf8(s.text);
    // No frame: no caption, or a client area that covers the whole window (a window without title
    // bar draws its own).
    bool frameless = (s.style & WS_CAPTION) != WS_CAPTION ||
                     (s.client.left == s.window.left && s.client.top == s.window.top &&
                      s.client.right == s.window.right && s.client.bottom == s.window.bottom &&
                      s.window.right > s.window.left);
    bool above = (s.exStyle & WS_EX_TOPMOST) != 0;
    bool place = false, setTitle = false, setFrame = false, setAbove = false;
    XWindowId xid;
    {
      std::lock_guard lock(mutex);
      if (!entry->primary) state = web::WindowState::minimized;
      if (!entry->placed || state != entry->state || (state == web::WindowState::normal && rect != entry->rect)) {
        place = true;
        entry->placed = true;
        entry->state = state;
        if (state == web::WindowState::normal) entry->rect = rect;
        entry->placedAt = Clock::now();
      }
      setTitle = title != entry->title;
      entry->title = title;
      setFrame = !entry->haveProperties || frameless != entry->frameless;
      setAbove = !entry->haveProperties || above != entry->above;
      entry->frameless = frameless;
      entry->above = above;
      xid = entry->xid;
      if (xid) entry->haveProperties = true;
    }
    if (place) entry->window->place(rect, state);
    if (!xid) return;
    if (setTitle) x->setTitle(xid, title);
    if (setFrame) x->setFrameless(xid, frameless);
    if (setAbove) x->setKeepAbove(xid, above);
  }

  void watch() {
    std::unique_lock lock(mutex);
    Clock::time_point lastLook;
    while (!stopping) {
      bool dragging = std::any_of(entries.begin(), entries.end(), [](auto& e) { return e->following; });
      wake.wait_for(lock, dragging ? kDragTick : kTick);
      if (stopping) break;
      auto now = Clock::now();
      std::vector<std::shared_ptr<Entry>> all = entries;
      lock.unlock();
      for (auto& e : all) follow(e, now);
      if (now - lastLook >= kTick) {
        lastLook = now;
        for (auto& e : all) look(e, now);
        followActivation(now);
      }
      lock.lock();
    }
  }

  // The one shown window of the browser that no entry has (0 when there are none or several):
  // the page may have replaced the marker with its own title before it was seen.
  XWindowId unclaimed(int pid, const std::string& title = std::string()) {
    std::vector<XWindowId> free;
    for (XWindowId w : x->windowsOfProcess(pid)) {
      if (!x->mapped(w)) continue;
      if (!title.empty() && x->title(w) != title) continue;
      std::lock_guard lock(mutex);
      bool claimed = std::any_of(entries.begin(), entries.end(), [&](auto& e) { return e->xid == w; });
      if (!claimed) free.push_back(w);
    }
    return free.size() == 1 ? free.front() : 0;
  }

  // One look at one browser window on the X server.
  void look(const std::shared_ptr<Entry>& e, Clock::time_point now) {
    if (x->lost()) return;
    std::function<void()> ready;
    XWindowId xid;
    {
      std::lock_guard lock(mutex);
      xid = e->xid;
    }
    if (!xid) {
      int pid = e->window->browserProcessId();
      xid = x->findWindow(pid, e->window->marker());
      // The browser's launch window may load its launch page over the marker: still showing
      // that page, it is the first webview's.
      if (!xid) xid = unclaimed(pid, web::kAppLaunchPage);
      if (!xid && now - e->openedAt > kMarkerFor) xid = unclaimed(pid);
      std::lock_guard lock(mutex);
      if (xid) e->xid = xid;
      if (xid || now - e->openedAt > kFindFor) {
        ready = std::move(e->ready);
        e->ready = nullptr;
      }
      if (!xid && ready) {
        logFormat(2, "display backend: the browser window %s was not found on the display",
                  e->window->targetId().c_str());
      }
    }
    if (ready) {
      ready();
      return;
    }
    if (!xid) return;

    HWND hwnd;
    std::string title;
    bool propertiesDue;
    {
      std::lock_guard lock(mutex);
      hwnd = e->primary ? e->hwnd : nullptr;
      title = e->title;
      propertiesDue = e->hwnd && !e->haveProperties;
    }
    if (!hwnd) return;
    if (propertiesDue) {
      // The window was bound before it was found: its properties go now.
      if (auto snapshot = windowSnapshot(hwnd)) {
        {
          std::lock_guard lock(mutex);
          e->title.clear();
        }
        apply(e, *snapshot);
      }
      return;
    }
    // The browser writes the page's title on its window: the window's own text wins.
    if (!title.empty() && x->title(xid) != title) x->setTitle(xid, title);
    followOwner(e, hwnd, xid);

    XRect g;
    if (!x->geometry(xid, g)) return;
    web::WindowState seen = stateFromX(x->states(xid));
    web::Rect rect{g.x, g.y, g.width, g.height};
    WPARAM command = 0;
    bool move = false;
    {
      std::lock_guard lock(mutex);
      if (now - e->placedAt < kSettle || !e->placed) return;
      if (seen != e->state && seen != web::WindowState::fullscreen) {
        command = seen == web::WindowState::minimized   ? SC_MINIMIZE
                  : seen == web::WindowState::maximized ? SC_MAXIMIZE
                                                        : SC_RESTORE;
        e->state = seen;
      } else if (seen == web::WindowState::normal && rect != e->rect && rect.width > 0 && rect.height > 0) {
        e->rect = rect;
        move = true;
      }
    }
    // What the user did reaches the window as it would from its own frame.
    if (command) PostMessage(hwnd, WM_SYSCOMMAND, command, 0);
    if (move) SetWindowPos(hwnd, nullptr, rect.x, rect.y, rect.width, rect.height, SWP_NOZORDER | SWP_NOACTIVATE);
  }
};

std::shared_ptr<AppWindows> AppWindows::start(std::shared_ptr<X11Connection> connection) {
  std::shared_ptr<AppWindows> self(new AppWindows());
  self->state_ = std::make_unique<State>();
  State* s = self->state_.get();
  s->x = std::move(connection);
  addWindowObserver(s);
  s->observing = true;
  s->watcher = std::thread([s] { s->watch(); });
  return self;
}

AppWindows::~AppWindows() { stop(); }

void AppWindows::stop() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (state_->watcher.joinable()) state_->watcher.join();
  if (state_->observing) removeWindowObserver(state_.get());
  state_->observing = false;
  std::vector<std::function<void()>> pending;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& e : state_->entries) {
      if (e->ready) pending.push_back(std::move(e->ready));
    }
    state_->entries.clear();
  }
  // Nothing waits for a window that will not be looked for any more.
  for (auto& ready : pending) ready();
}

void AppWindows::opened(std::shared_ptr<web::AppWindow> window, std::function<void()> ready) {
  auto entry = std::make_shared<Entry>();
  entry->window = std::move(window);
  entry->ready = std::move(ready);
  entry->openedAt = Clock::now();
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->stopping) {
      state_->entries.push_back(entry);
      entry.reset();
    }
  }
  if (entry) return entry->ready();
  state_->wake.notify_all();
}

void AppWindows::handOver(const std::shared_ptr<web::AppWindow>& window, const std::function<void()>& deliver) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(state_->mutex);
    entry = state_->byWindow(window.get());
  }
  std::shared_ptr<Entry> outer = std::exchange(handing, entry);
  deliver();
  handing = std::move(outer);
  if (!entry) return;
  std::lock_guard lock(state_->mutex);
  if (!entry->hwnd) {
    logFormat(2, "display backend: the webview of browser window %s has no window of its own",
              window->targetId().c_str());
  }
}

void AppWindows::closeRequested(const std::shared_ptr<web::AppWindow>& window) {
  HWND hwnd = nullptr;
  {
    std::lock_guard lock(state_->mutex);
    if (auto e = state_->byWindow(window.get())) hwnd = e->hwnd;
  }
  // The window's own close handling decides, as for its frame's close button.
  if (hwnd) PostMessage(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
}

void AppWindows::closed(const std::shared_ptr<web::AppWindow>& window) {
  std::function<void()> ready;
  {
    std::lock_guard lock(state_->mutex);
    auto& v = state_->entries;
    for (auto& e : v) {
      if (e->window == window && e->ready) ready = std::move(e->ready);
    }
    v.erase(std::remove_if(v.begin(), v.end(), [&](auto& e) { return e->window == window; }), v.end());
  }
  // A window gone before it was found still hands its webview over (as closed).
  if (ready) ready();
}

XWindowId AppWindows::xWindowOf(HWND hwnd) const {
  std::lock_guard lock(state_->mutex);
  auto e = state_->byHwnd(hwnd);
  return e ? e->xid : 0;
}

HWND AppWindows::hostOf(const std::string& targetId) const {
  std::lock_guard lock(state_->mutex);
  for (auto& e : state_->entries) {
    if (e->window->targetId() == targetId) return e->hwnd;
  }
  return nullptr;
}

}  // namespace desk::display
