#include "desk/display/x11_connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <map>
#include <mutex>
#include <vector>

namespace desk::display {

namespace {

// The error of the last request a call trapped on this thread (0 for none). Xlib reports errors
// to one process-wide handler; each call looks only at what its own sync brought in.
thread_local int trappedError = 0;

int onXError(Display*, XErrorEvent* event) {
  trappedError = event->error_code;
  return 0;
}

int onIOError(Display*) { return 0; }

std::once_flag xInit;

constexpr long kNetWmStateRemove = 0;
constexpr long kNetWmStateAdd = 1;
constexpr long kMoveResizeMove = 8;
constexpr unsigned long kMotifHintsDecorations = 1UL << 1;

}  // namespace

struct X11Connection::State {
  std::atomic<bool> lost{false};
  std::mutex mutex;
  std::function<void()> lostHandler;
  std::map<std::string, Atom> atoms;
  // One call at a time talks to the server. Not XLockDisplay: a server lost inside such a region
  // leaves Xlib's user lock taken, and every later call, XCloseDisplay among them, waits for ever.
  std::mutex calls;
};

namespace {

// Serialises one call on the connection and traps its errors.
class Locked {
 public:
  Locked(X11Connection::State& state, Display* display)
      : guard_(state.calls), state_(state), display_(display) {
    trappedError = 0;
  }
  // The server went away while this call waited for its turn: Xlib must not be called again on
  // the display (a call after the loss can wait for ever inside Xlib).
  bool dead() const { return state_.lost.load(); }
  // Syncs and tells whether every request since the lock was taken succeeded.
  bool ok() {
    XSync(display_, False);
    return trappedError == 0;
  }

 private:
  std::lock_guard<std::mutex> guard_;
  X11Connection::State& state_;
  Display* display_;
};

// Whether the server has closed the socket: a peek at it, without Xlib.
bool socketClosed(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Displays whose server went away: kept, never closed (see the destructor).
std::mutex abandonedMutex;
std::vector<Display*>* abandoned = new std::vector<Display*>();

}  // namespace

namespace {
void onIOErrorExit(Display*, void* data) {
  auto* state = static_cast<X11Connection::State*>(data);
  if (state->lost.exchange(true)) return;
  std::function<void()> handler;
  {
    std::lock_guard lock(state->mutex);
    handler = state->lostHandler;
  }
  if (handler) handler();
}
}  // namespace

std::shared_ptr<X11Connection> X11Connection::open(const std::string& displayName, std::string& error) {
  std::call_once(xInit, [] {
    XInitThreads();
    XSetErrorHandler(onXError);
    XSetIOErrorHandler(onIOError);
  });
  Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (display == nullptr) {
    error = "cannot open the X display \"" + displayName + "\"";
    return nullptr;
  }
  return std::shared_ptr<X11Connection>(new X11Connection(display));
}

X11Connection::X11Connection(Display* display) : display_(display), state_(std::make_unique<State>()) {
  XSetIOErrorExitHandler(display_, onIOErrorExit, state_.get());
}

X11Connection::~X11Connection() {
  // Closing a connection whose server went away runs Xlib's and the extensions' close-down on a
  // connection in an error state: it can wait for ever on a lock the failed call left behind, and
  // libXext frees the records of a query the loss cut short a second time. Such a display only
  // gives its socket back; its memory stays, once per lost server.
  if (lost() || socketClosed(ConnectionNumber(display_))) {
    state_->lost = true;
    ::close(ConnectionNumber(display_));
    std::lock_guard lock(abandonedMutex);
    abandoned->push_back(display_);
    return;
  }
  XCloseDisplay(display_);
}

bool X11Connection::lost() const { return state_->lost.load(); }

void X11Connection::setLostHandler(std::function<void()> handler) {
  std::lock_guard lock(state_->mutex);
  state_->lostHandler = std::move(handler);
}

XWindowId X11Connection::root() const { return DefaultRootWindow(display_); }

unsigned long X11Connection::atom(const char* name) {
  {
    std::lock_guard lock(state_->mutex);
    auto it = state_->atoms.find(name);
    if (it != state_->atoms.end()) return it->second;
  }
  Atom a = XInternAtom(display_, name, False);
  std::lock_guard lock(state_->mutex);
  state_->atoms[name] = a;
  return a;
}

void X11Connection::sync() {
  if (lost()) return;
  Locked lock(*state_, display_);
  if (lock.dead()) return;
  XSync(display_, False);
}

namespace {
// Reads a property as 32-bit items (longs on the client side) or bytes.
bool readProperty(Display* d, Window w, Atom property, Atom type, std::vector<unsigned long>* items,
                  std::string* bytes) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, w, property, 0, 1L << 24, False, type, &actualType, &format, &count,
                         &after, &data) != Success) {
    return false;
  }
  bool found = actualType != None && data != nullptr;
  if (found && items != nullptr && format == 32) {
    auto* longs = reinterpret_cast<unsigned long*>(data);
    items->assign(longs, longs + count);
  } else if (found && bytes != nullptr && format == 8) {
    bytes->assign(reinterpret_cast<char*>(data), count);
  } else {
    found = false;
  }
  if (data != nullptr) XFree(data);
  return found;
}
}  // namespace

bool X11Connection::supportingWmCheck() {
  std::vector<unsigned long> check;
  if (!readProperty(display_, root(), atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, &check, nullptr) ||
      check.empty()) {
    return false;
  }
  std::vector<unsigned long> self;
  return readProperty(display_, check[0], atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, &self, nullptr) &&
         !self.empty() && self[0] == check[0];
}

bool X11Connection::hasWindowManager() {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  bool found = supportingWmCheck();
  return lock.ok() && found;
}

namespace {
void collectClients(Display* d, Window w, Atom wmState, int depth, std::vector<Window>& out) {
  Window rootReturn = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(d, w, &rootReturn, &parent, &children, &count)) return;
  for (unsigned int i = 0; i < count; ++i) {
    Window child = children[i];
    std::vector<unsigned long> state;
    Atom type = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    bool client = XGetWindowProperty(d, child, wmState, 0, 0, False, AnyPropertyType, &type, &format, &n,
                                     &after, &data) == Success &&
                  type != None;
    if (data != nullptr) XFree(data);
    if (client || depth == 0) out.push_back(child);
    // A window manager reparents clients into frames: look one or two levels down.
    if (!client && depth < 2) collectClients(d, child, wmState, depth + 1, out);
  }
  if (children != nullptr) XFree(children);
}
}  // namespace

std::vector<XWindowId> X11Connection::windowsOfProcess(int pid) {
  std::vector<XWindowId> found;
  if (lost()) return found;
  Locked lock(*state_, display_);
  if (lock.dead()) return found;
  std::vector<Window> all;
  collectClients(display_, root(), atom("WM_STATE"), 0, all);
  Atom pidAtom = atom("_NET_WM_PID");
  for (Window w : all) {
    std::vector<unsigned long> value;
    if (readProperty(display_, w, pidAtom, XA_CARDINAL, &value, nullptr) && !value.empty() &&
        static_cast<int>(value[0]) == pid &&
        std::find(found.begin(), found.end(), w) == found.end()) {
      found.push_back(w);
    }
  }
  return found;
}

XWindowId X11Connection::findWindow(int pid, const std::string& marker) {
  for (XWindowId w : windowsOfProcess(pid)) {
    if (title(w).find(marker) != std::string::npos) return w;
  }
  return 0;
}

bool X11Connection::setTitle(XWindowId window, const std::string& utf8) {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
  int length = static_cast<int>(utf8.size());
  XChangeProperty(display_, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, PropModeReplace, bytes,
                  length);
  XChangeProperty(display_, window, XA_WM_NAME, atom("UTF8_STRING"), 8, PropModeReplace, bytes, length);
  return lock.ok();
}

std::string X11Connection::title(XWindowId window) {
  if (lost()) return {};
  Locked lock(*state_, display_);
  if (lock.dead()) return {};
  std::string text;
  if (!readProperty(display_, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), nullptr, &text)) {
    readProperty(display_, window, XA_WM_NAME, AnyPropertyType, nullptr, &text);
  }
  return lock.ok() ? text : std::string();
}

bool X11Connection::setFrameless(XWindowId window, bool frameless) {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  // flags, functions, decorations, input mode, status
  long hints[5] = {static_cast<long>(kMotifHintsDecorations), 0, frameless ? 0 : 1, 0, 0};
  Atom motif = atom("_MOTIF_WM_HINTS");
  XChangeProperty(display_, window, motif, motif, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(hints), 5);
  return lock.ok();
}

bool X11Connection::frameless(XWindowId window) {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  std::vector<unsigned long> hints;
  Atom motif = atom("_MOTIF_WM_HINTS");
  bool found = readProperty(display_, window, motif, motif, &hints, nullptr);
  return lock.ok() && found && hints.size() >= 3 && (hints[0] & kMotifHintsDecorations) != 0 && hints[2] == 0;
}

bool X11Connection::clientMessage(XWindowId window, const char* type, const long (&data)[5]) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = atom(type);
  event.xclient.format = 32;
  for (int i = 0; i < 5; ++i) event.xclient.data.l[i] = data[i];
  return XSendEvent(display_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event) != 0;
}

bool X11Connection::mapped(XWindowId window) {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  XWindowAttributes attributes{};
  bool got = XGetWindowAttributes(display_, window, &attributes) != 0;
  return lock.ok() && got && attributes.map_state != IsUnmapped;
}

std::vector<std::string> X11Connection::states(XWindowId window) {
  std::vector<std::string> names;
  if (lost()) return names;
  Locked lock(*state_, display_);
  if (lock.dead()) return names;
  std::vector<unsigned long> atoms;
  readProperty(display_, window, atom("_NET_WM_STATE"), XA_ATOM, &atoms, nullptr);
  for (unsigned long a : atoms) {
    if (char* name = XGetAtomName(display_, a)) {
      names.emplace_back(name);
      XFree(name);
    }
  }
  if (!lock.ok()) names.clear();
  return names;
}

bool X11Connection::setKeepAbove(XWindowId window, bool above) {
  if (lost()) return false;
  bool managed = hasWindowManager() && mapped(window);
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  Atom stateAtom = atom("_NET_WM_STATE"), aboveAtom = atom("_NET_WM_STATE_ABOVE");
  if (managed) {
    const long data[5] = {above ? kNetWmStateAdd : kNetWmStateRemove, static_cast<long>(aboveAtom), 0, 1, 0};
    clientMessage(window, "_NET_WM_STATE", data);
    return lock.ok();
  }
  // Nobody manages the window (yet): the state property is ours to write, and a window manager
  // reads it when the window is mapped.
  std::vector<unsigned long> states;
  readProperty(display_, window, stateAtom, XA_ATOM, &states, nullptr);
  states.erase(std::remove(states.begin(), states.end(), aboveAtom), states.end());
  if (above) states.push_back(aboveAtom);
  std::vector<long> items(states.begin(), states.end());
  XChangeProperty(display_, window, stateAtom, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(items.data()), static_cast<int>(items.size()));
  return lock.ok();
}

bool X11Connection::keepAbove(XWindowId window) {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  std::vector<unsigned long> states;
  readProperty(display_, window, atom("_NET_WM_STATE"), XA_ATOM, &states, nullptr);
  Atom aboveAtom = atom("_NET_WM_STATE_ABOVE");
  return lock.ok() && std::find(states.begin(), states.end(), aboveAtom) != states.end();
}

bool X11Connection::setIcon(XWindowId window, int width, int height, const std::vector<uint32_t>& argb) {
  if (lost() || width <= 0 || height <= 0 || argb.size() != static_cast<size_t>(width) * height) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  // Format-32 property data travels as longs on the client side.
  std::vector<long> items;
  items.reserve(argb.size() + 2);
  items.push_back(width);
  items.push_back(height);
  for (uint32_t p : argb) items.push_back(static_cast<long>(p));
  XChangeProperty(display_, window, atom("_NET_WM_ICON"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(items.data()), static_cast<int>(items.size()));
  return lock.ok();
}

std::vector<uint32_t> X11Connection::icon(XWindowId window) {
  std::vector<uint32_t> out;
  if (lost()) return out;
  Locked lock(*state_, display_);
  if (lock.dead()) return out;
  std::vector<unsigned long> items;
  readProperty(display_, window, atom("_NET_WM_ICON"), XA_CARDINAL, &items, nullptr);
  if (!lock.ok()) return out;
  for (unsigned long v : items) out.push_back(static_cast<uint32_t>(v));
  return out;
}

bool X11Connection::startMove(XWindowId window, int x, int y, int button) {
  if (lost() || !hasWindowManager()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  // The pointer grab the page's press left behind must go, or the manager cannot take it.
  XUngrabPointer(display_, CurrentTime);
  const long data[5] = {x, y, kMoveResizeMove, button, 1};
  clientMessage(window, "_NET_WM_MOVERESIZE", data);
  return lock.ok();
}

bool X11Connection::requestClose(XWindowId window) {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = atom("WM_PROTOCOLS");
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(atom("WM_DELETE_WINDOW"));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &event);
  return lock.ok();
}

bool X11Connection::geometry(XWindowId window, XRect& rect) {
  if (lost()) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(display_, window, &attributes)) return false;
  int x = 0, y = 0;
  Window child = 0;
  XTranslateCoordinates(display_, window, root(), 0, 0, &x, &y, &child);
  if (!lock.ok()) return false;
  rect = {x, y, attributes.width, attributes.height};
  return true;
}

bool X11Connection::moveResize(XWindowId window, const XRect& rect) {
  if (lost() || rect.width <= 0 || rect.height <= 0) return false;
  Locked lock(*state_, display_);
  if (lock.dead()) return false;
  XMoveResizeWindow(display_, window, rect.x, rect.y, static_cast<unsigned>(rect.width),
                    static_cast<unsigned>(rect.height));
  return lock.ok();
}

namespace {
XRect intersect(const XRect& a, const XRect& b) {
  int left = std::max(a.x, b.x), top = std::max(a.y, b.y);
  int right = std::min(a.x + a.width, b.x + b.width), bottom = std::min(a.y + a.height, b.y + b.height);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

unsigned dpiFrom(int pixels, int mm) {
  if (mm <= 0 || pixels <= 0) return 96;
  unsigned dpi = static_cast<unsigned>(std::lround(pixels * 25.4 / mm));
  return dpi < 48 || dpi > 960 ? 96 : dpi;
}
}  // namespace

std::vector<XMonitor> X11Connection::monitors() {
  std::vector<XMonitor> out;
  if (lost()) return out;
  Locked lock(*state_, display_);
  if (lock.dead()) return out;
  int screen = DefaultScreen(display_);
  int eventBase = 0, errorBase = 0;
  if (XRRQueryExtension(display_, &eventBase, &errorBase)) {
    int count = 0;
    XRRMonitorInfo* infos = XRRGetMonitors(display_, root(), True, &count);
    for (int i = 0; infos != nullptr && i < count; ++i) {
      XMonitor m;
      char* name = infos[i].name != None ? XGetAtomName(display_, infos[i].name) : nullptr;
      if (name != nullptr) {
        m.name = name;
        XFree(name);
      }
      m.rect = {infos[i].x, infos[i].y, infos[i].width, infos[i].height};
      m.widthMm = infos[i].mwidth;
      m.heightMm = infos[i].mheight;
      m.dpi = dpiFrom(m.rect.width, m.widthMm);
      m.primary = infos[i].primary != 0;
      out.push_back(m);
    }
    if (infos != nullptr) XRRFreeMonitors(infos);
  }
  if (out.empty()) {
    XMonitor m;
    m.name = "screen";
    m.rect = {0, 0, DisplayWidth(display_, screen), DisplayHeight(display_, screen)};
    m.widthMm = DisplayWidthMM(display_, screen);
    m.heightMm = DisplayHeightMM(display_, screen);
    m.dpi = dpiFrom(m.rect.width, m.widthMm);
    out.push_back(m);
  }
  if (std::none_of(out.begin(), out.end(), [](const XMonitor& m) { return m.primary; })) out[0].primary = true;
  // _NET_WORKAREA: x, y, width, height per desktop; the current desktop's applies.
  std::vector<unsigned long> area, current;
  bool haveArea = supportingWmCheck() &&
                  readProperty(display_, root(), atom("_NET_WORKAREA"), XA_CARDINAL, &area, nullptr) &&
                  area.size() >= 4;
  size_t desktop = 0;
  if (haveArea && readProperty(display_, root(), atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL, &current, nullptr) &&
      !current.empty() && (current[0] + 1) * 4 <= area.size()) {
    desktop = current[0];
  }
  for (auto& m : out) {
    m.work = m.rect;
    if (!haveArea) continue;
    XRect work{static_cast<int>(area[desktop * 4]), static_cast<int>(area[desktop * 4 + 1]),
               static_cast<int>(area[desktop * 4 + 2]), static_cast<int>(area[desktop * 4 + 3])};
    XRect clipped = intersect(work, m.rect);
    if (clipped.width > 0) m.work = clipped;
  }
  if (!lock.ok()) trappedError = 0;  // a failed query leaves the fallback in place
  return out;
}

}  // namespace desk::display
