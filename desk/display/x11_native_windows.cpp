#include "desk/display/x11_native_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "desk/detail/codec.h"
#include "desk/dialog.h"
#include "desk/display/native_message_box.h"
#include "desk/gfx/bitmap.h"
#include "desk/keys.h"
#include "desk/log.h"
#include "desk/message.h"

namespace desk::display {

// ---- what is shown, and how input comes back -----------------------------------------------------

namespace native {

namespace {
// The class of the dialogs the layer draws: template dialogs, message boxes among them. The
// system dialogs' stand-ins are not shown: on a screen the real choosers answer those, and an
// empty box of the same title beside the chooser would only be in the person's way.
bool dialogClass(const std::u16string& name) { return name == u"#32770"; }
}  // namespace

bool drawnByLayer(const WindowSnapshot& w) {
  if (!w.visible || w.iconic || w.messageOnly || w.parent != nullptr || (w.style & WS_CHILD)) return false;
  if (w.exStyle & WS_EX_LAYERED) return w.layeredFrame && w.layeredFrame->width > 0 && w.layeredFrame->height > 0;
  return dialogClass(w.className);
}

bool overrideRedirect(const WindowSnapshot& w) {
  return (w.style & WS_POPUP) && (w.style & WS_CAPTION) != WS_CAPTION;
}

XRect placement(const WindowSnapshot& w) {
  if (w.exStyle & WS_EX_LAYERED) {
    const int width = w.layeredFrame ? w.layeredFrame->width : w.window.right - w.window.left;
    const int height = w.layeredFrame ? w.layeredFrame->height : w.window.bottom - w.window.top;
    return XRect{w.window.left, w.window.top, width, height};
  }
  return XRect{w.client.left, w.client.top, w.client.right - w.client.left, w.client.bottom - w.client.top};
}

int virtualKeyOf(unsigned long keysym) {
  if (keysym >= XK_a && keysym <= XK_z) return static_cast<int>('A' + (keysym - XK_a));
  if (keysym >= XK_A && keysym <= XK_Z) return static_cast<int>(keysym);
  if (keysym >= XK_0 && keysym <= XK_9) return static_cast<int>(keysym);
  if (keysym >= XK_F1 && keysym <= XK_F24) return VK_F1 + static_cast<int>(keysym - XK_F1);
  if (keysym >= XK_KP_0 && keysym <= XK_KP_9) return 0x60 + static_cast<int>(keysym - XK_KP_0);
  switch (keysym) {
    case XK_BackSpace: return VK_BACK;
    case XK_Tab:
    case XK_ISO_Left_Tab: return VK_TAB;
    case XK_Return:
    case XK_KP_Enter: return VK_RETURN;
    case XK_Escape: return VK_ESCAPE;
    case XK_space: return VK_SPACE;
    case XK_Shift_L: case XK_Shift_R: return VK_SHIFT;
    case XK_Control_L: case XK_Control_R: return VK_CONTROL;
    case XK_Alt_L: case XK_Alt_R: case XK_Meta_L: case XK_Meta_R: return VK_MENU;
    case XK_Super_L: return VK_LWIN;
    case XK_Super_R: return VK_RWIN;
    case XK_Left: case XK_KP_Left: return VK_LEFT;
    case XK_Up: case XK_KP_Up: return VK_UP;
    case XK_Right: case XK_KP_Right: return VK_RIGHT;
    case XK_Down: case XK_KP_Down: return VK_DOWN;
    case XK_Prior: case XK_KP_Prior: return VK_PRIOR;
    case XK_Next: case XK_KP_Next: return VK_NEXT;
    case XK_Home: case XK_KP_Home: return VK_HOME;
    case XK_End: case XK_KP_End: return VK_END;
    case XK_Insert: case XK_KP_Insert: return VK_INSERT;
    case XK_Delete: case XK_KP_Delete: return VK_DELETE;
    default: return 0;
  }
}

char16_t typedCharacter(int virtualKey, unsigned long keysym, bool control) {
  if (control) return 0;
  // TranslateMessage makes these from the virtual key.
  if ((virtualKey >= 'A' && virtualKey <= 'Z') || (virtualKey >= '0' && virtualKey <= '9') || virtualKey == VK_SPACE ||
      virtualKey == VK_RETURN || virtualKey == VK_BACK || virtualKey == VK_TAB || virtualKey == VK_ESCAPE) {
    return 0;
  }
  // Latin-1 keysyms are their code points; Unicode keysyms carry theirs below 0x01000000.
  if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return static_cast<char16_t>(keysym);
  if (keysym >= 0x01000100 && keysym <= 0x0100FFFF) {
    const unsigned long code = keysym - 0x01000000;
    if (code >= 0xD800 && code <= 0xDFFF) return 0;
    return static_cast<char16_t>(code);
  }
  return 0;
}

bool pointerInput(PointerKind kind, unsigned button, POINT origin, int x, int y, InputEvent& out) {
  out = InputEvent{};
  out.pt = POINT{origin.x + x, origin.y + y};
  if (kind == PointerKind::Motion || kind == PointerKind::Enter) {
    out.kind = InputEvent::Kind::MouseMove;
    return true;
  }
  const bool down = kind == PointerKind::Press;
  switch (button) {
    case 1: out.button = 0; break;
    case 2: out.button = 2; break;
    case 3: out.button = 1; break;
    case 4:
    case 5:
      // The wheel turns once per press; its release means nothing.
      if (!down) return false;
      out.kind = InputEvent::Kind::Wheel;
      out.wheelDelta = button == 4 ? 120 : -120;
      return true;
    default: return false;
  }
  out.kind = InputEvent::Kind::MouseButton;
  out.down = down;
  return true;
}

}  // namespace native

// ---- the driver ----------------------------------------------------------------------------------

namespace {

constexpr long kEventMask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            KeyReleaseMask | EnterWindowMask | LeaveWindowMask | StructureNotifyMask;

struct Shown {
  HWND hwnd = nullptr;
  Window xid = 0;
  XRect rect;
  bool overrideRedirect = false;
  bool layered = false;  // shows its layered frame, not its painted bitmaps
  bool grabs = false;  // a menu: keyboard and pointer follow it while it is up
  bool mapped = false;
  bool flushPending = false;
  bool wantsFocus = false;  // activated before it was mapped
  std::u16string title;
  HWND owner = nullptr;
  std::shared_ptr<const LayeredFrame> frame;  // the layered frame shown last
  BYTE alpha = 255;
  // What the window shows: premultiplied ARGB, top-down (repainted from here on Expose).
  int width = 0;
  int height = 0;
  std::vector<uint32_t> content;
};

}  // namespace

namespace {

// The layer may still be delivering an event to an observer it has just removed; the driver
// therefore observes through this one object, which lives as long as the process and forgets
// the driver under a lock that every delivery holds.
class Forwarder final : public WindowObserver {
 public:
  static Forwarder& instance() {
    static Forwarder* forwarder = [] {
      auto* f = new Forwarder();
      addWindowObserver(f);
      return f;
    }();
    return *forwarder;
  }
  void attach(X11NativeWindows::Impl* impl) {
    std::lock_guard lock(mutex_);
    impl_ = impl;
  }
  void detach(X11NativeWindows::Impl* impl) {
    std::lock_guard lock(mutex_);
    if (impl_ == impl) impl_ = nullptr;
  }
  void onWindowEvent(const WindowEvent& event) override;

 private:
  std::mutex mutex_;
  X11NativeWindows::Impl* impl_ = nullptr;
};

}  // namespace

struct X11NativeWindows::Impl {
  std::shared_ptr<X11Connection> connection;
  Display* display = nullptr;
  std::shared_ptr<DialogMessageBoxes> boxes = std::make_shared<DialogMessageBoxes>();
  UINT flushMessage = 0;
  Atom netWmName = 0, utf8String = 0;
  Atom wmProtocols = 0, wmDelete = 0, netWmPid = 0, windowType = 0, typeDialog = 0, typeMenu = 0;

  mutable std::mutex mutex;
  std::map<HWND, Shown> shown;
  std::map<Window, HWND> byWindow;

  std::thread events;
  int wakeFd = -1;
  cairo_device_t* device = nullptr;  // Cairo's state for the display, released before it closes
  std::atomic<bool> stopping{false};
  std::atomic<bool> gone{false};

  bool usable() const { return !gone.load() && !connection->lost(); }

  void wake() {
    const uint64_t one = 1;
    if (wakeFd >= 0) (void)!::write(wakeFd, &one, sizeof one);
  }

  void handle(const WindowEvent& event) {
    if (!usable()) return;
    switch (event.kind) {
      case WindowEvent::Kind::Created:
      case WindowEvent::Kind::Changed:
        if (event.state) follow(*event.state);
        break;
      case WindowEvent::Kind::Destroyed: forget(event.hwnd); break;
      case WindowEvent::Kind::Message:
        if (event.message == WM_PAINT) painted(event.hwnd);
        else if (event.message == WM_ACTIVATE && LOWORD(event.wParam) != WA_INACTIVE) activated(event.hwnd);
        else if (event.message == flushMessage && flushMessage != 0) flush(event.hwnd);
        break;
      default: break;
    }
  }

  // A window changed: show, move, retitle, hide or repaint its X11 window.
  void follow(const WindowSnapshot& s) {
    std::lock_guard lock(mutex);
    // Checked again under the mutex: no Xlib call may follow the server's loss.
    if (!usable()) return;
    auto it = shown.find(s.hwnd);
    if (!native::drawnByLayer(s)) {
      if (it != shown.end() && it->second.mapped) {
        XUnmapWindow(display, it->second.xid);
        it->second.mapped = false;
        it->second.frame.reset();
        if (it->second.grabs) regrab();
        XFlush(display);
        wake();
      }
      return;
    }
    if (it == shown.end()) it = create(s);
    Shown& w = it->second;
    bool repaint = false;
    const XRect rect = native::placement(s);
    if (!(rect == w.rect)) {
      repaint = true;
      w.rect = rect;
      XMoveResizeWindow(display, w.xid, rect.x, rect.y, static_cast<unsigned>(std::max(rect.width, 1)),
                        static_cast<unsigned>(std::max(rect.height, 1)));
      if (!w.overrideRedirect) setSizeHints(w, s);
    }
    if (s.text != w.title) {
      w.title = s.text;
      setTitle(w.xid, s.text);
    }
    if (s.owner != w.owner) {
      w.owner = s.owner;
      auto owner = shown.find(s.owner);
      if (owner != shown.end()) XSetTransientForHint(display, w.xid, owner->second.xid);
    }
    if ((s.exStyle & WS_EX_LAYERED) && (s.layeredFrame != w.frame || s.layeredAlpha != w.alpha)) {
      w.frame = s.layeredFrame;
      w.alpha = s.layeredAlpha;
      w.width = w.frame->width;
      w.height = w.frame->height;
      w.content = w.frame->pixels;
      repaint = true;
    }
    if (!w.mapped) {
      repaint = true;
      XMapRaised(display, w.xid);
      w.mapped = true;
      if (w.grabs) grab(w);
      // The window the layer made foreground gets the keyboard (a window manager may do it
      // again; without one nothing else would).
      if (!w.overrideRedirect && (w.wantsFocus || GetForegroundWindow() == s.hwnd)) {
        XSetInputFocus(display, w.xid, RevertToParent, CurrentTime);
      }
      w.wantsFocus = false;
    }
    if (repaint) draw(w);
    XFlush(display);
    // Replies read meanwhile may have brought events in: the event thread looks.
    wake();
  }

  std::map<HWND, Shown>::iterator create(const WindowSnapshot& s) {
    Shown w;
    w.hwnd = s.hwnd;
    w.overrideRedirect = native::overrideRedirect(s);
    w.layered = (s.exStyle & WS_EX_LAYERED) != 0;
    w.grabs = w.overrideRedirect && (s.exStyle & WS_EX_NOACTIVATE);
    w.rect = native::placement(s);
    XSetWindowAttributes a{};
    a.override_redirect = w.overrideRedirect ? True : False;
    a.background_pixel = WhitePixel(display, DefaultScreen(display));
    a.event_mask = kEventMask;
    a.bit_gravity = NorthWestGravity;
    w.xid = XCreateWindow(display, DefaultRootWindow(display), w.rect.x, w.rect.y,
                          static_cast<unsigned>(std::max(w.rect.width, 1)),
                          static_cast<unsigned>(std::max(w.rect.height, 1)), 0, CopyFromParent, InputOutput,
                          CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask | CWBitGravity, &a);
    const long pid = static_cast<long>(::getpid());
    XChangeProperty(display, w.xid, netWmPid, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    Atom type = w.overrideRedirect ? typeMenu : typeDialog;
    XChangeProperty(display, w.xid, windowType, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&type), 1);
    XClassHint hint;
    char name[] = "pelmora", cls[] = "Pelmora";
    hint.res_name = name;
    hint.res_class = cls;
    XSetClassHint(display, w.xid, &hint);
    XSetWMProtocols(display, w.xid, &wmDelete, 1);
    if (!w.overrideRedirect) setSizeHints(w, s);
    w.title = s.text;
    setTitle(w.xid, s.text);
    w.owner = s.owner;
    auto owner = shown.find(s.owner);
    if (owner != shown.end()) XSetTransientForHint(display, w.xid, owner->second.xid);
    byWindow[w.xid] = s.hwnd;
    return shown.emplace(s.hwnd, std::move(w)).first;
  }

  // _NET_WM_NAME in UTF-8, and WM_NAME for older window managers.
  void setTitle(Window xid, const std::u16string& text) {
    const std::string utf8 = detail::utf16ToUtf8(text);
    XChangeProperty(display, xid, netWmName, utf8String, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
    XChangeProperty(display, xid, XA_WM_NAME, utf8String, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
  }

  // The window manager keeps the window where the layer put it, and at its size unless it has a
  // sizing frame.
  void setSizeHints(const Shown& w, const WindowSnapshot& s) {
    XSizeHints* hints = XAllocSizeHints();
    if (!hints) return;
    hints->flags = USPosition | PPosition | USSize | PSize;
    hints->x = w.rect.x;
    hints->y = w.rect.y;
    hints->width = std::max(w.rect.width, 1);
    hints->height = std::max(w.rect.height, 1);
    if (!(s.style & WS_THICKFRAME)) {
      hints->flags |= PMinSize | PMaxSize;
      hints->min_width = hints->max_width = hints->width;
      hints->min_height = hints->max_height = hints->height;
    }
    XSetWMNormalHints(display, w.xid, hints);
    XFree(hints);
  }

  // A menu takes the keyboard and the pointer, so keys reach it and a click elsewhere (reported
  // to it, outside its bounds) dismisses it. The grab ends by itself when the window is unmapped.
  void grab(const Shown& w) {
    XGrabKeyboard(display, w.xid, True, GrabModeAsync, GrabModeAsync, CurrentTime);
    XGrabPointer(display, w.xid, True, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                 GrabModeAsync, None, None, CurrentTime);
  }

  // After a submenu closes, the menu still up takes the grab back.
  void regrab() {
    for (auto& [hwnd, w] : shown) {
      if (w.grabs && w.mapped) {
        grab(w);
        break;
      }
    }
  }

  void forget(HWND hwnd) {
    std::lock_guard lock(mutex);
    auto it = shown.find(hwnd);
    if (it == shown.end()) return;
    if (!usable()) {
      byWindow.erase(it->second.xid);
      shown.erase(it);
      return;
    }
    const bool grabbed = it->second.grabs && it->second.mapped;
    byWindow.erase(it->second.xid);
    XDestroyWindow(display, it->second.xid);
    shown.erase(it);
    if (grabbed) regrab();
    XFlush(display);
    wake();
  }

  // The layer activated the window: the keyboard goes to its X11 window.
  void activated(HWND hwnd) {
    std::lock_guard lock(mutex);
    auto it = shown.find(hwnd);
    if (it == shown.end() || it->second.overrideRedirect || !usable()) return;
    if (!it->second.mapped) {
      it->second.wantsFocus = true;
      return;
    }
    XSetInputFocus(display, it->second.xid, RevertToParent, CurrentTime);
    XFlush(display);
  }

  // A window of a shown tree is about to paint: once it has, the tree is composed again. The
  // flush message queued now is taken after the paint returns.
  void painted(HWND hwnd) {
    HWND root = GetAncestor(hwnd, GA_ROOT);
    if (root == nullptr) root = hwnd;
    {
      std::lock_guard lock(mutex);
      auto it = shown.find(root);
      if (it == shown.end() || it->second.layered || it->second.flushPending) return;
      it->second.flushPending = true;
    }
    PostMessage(root, flushMessage, 0, 0);
  }

  void flush(HWND hwnd) {
    {
      std::lock_guard lock(mutex);
      auto it = shown.find(hwnd);
      if (it == shown.end()) return;
      it->second.flushPending = false;
    }
    std::optional<gfx::Bitmap> image = paintedClientArea(hwnd);
    if (!image) return;
    std::lock_guard lock(mutex);
    auto it = shown.find(hwnd);
    if (it == shown.end() || !usable()) return;
    it->second.width = image->width();
    it->second.height = image->height();
    it->second.content = image->premultipliedPixels();
    draw(it->second);
    wake();
  }

  // Paints what the window shows over white (there is nothing to blend with on a plain X server).
  void draw(const Shown& w) {
    if (!w.mapped || w.content.empty() || !usable()) return;
    Visual* visual = DefaultVisual(display, DefaultScreen(display));
    cairo_surface_t* target = cairo_xlib_surface_create(display, w.xid, visual, std::max(w.rect.width, 1),
                                                        std::max(w.rect.height, 1));
    cairo_surface_t* image = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(w.content.data())), CAIRO_FORMAT_ARGB32, w.width,
        w.height, w.width * 4);
    if (!device) device = cairo_device_reference(cairo_surface_get_device(target));
    cairo_t* cr = cairo_create(target);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_surface(cr, image, 0, 0);
    if (w.alpha == 255) cairo_paint(cr);
    else cairo_paint_with_alpha(cr, w.alpha / 255.0);
    cairo_destroy(cr);
    cairo_surface_flush(target);
    cairo_surface_destroy(image);
    cairo_surface_destroy(target);
    XFlush(display);
  }

  // ---- the event thread ----

  void run() {
    const int xfd = ConnectionNumber(display);
    while (!stopping.load()) {
      pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents & POLLIN) {
        uint64_t n;
        (void)!::read(wakeFd, &n, sizeof n);
      }
      if (stopping.load()) break;
      // A closed socket is seen here, without Xlib, so no call of ours meets the dead server.
      if ((fds[0].revents & (POLLHUP | POLLERR)) || serverClosed(xfd)) {
        screenGone();
        break;
      }
      // Only one thread is ever inside Xlib on this display: a server lost while one thread
      // waits for a reply another thread reads would leave the first waiting for ever. The
      // window calls hold the same mutex. (No XLockDisplay: an I/O error inside it leaves the
      // display locked for good.)
      std::vector<XEvent> batch;
      {
        std::lock_guard lock(mutex);
        while (!connection->lost() && XPending(display) > 0) {
          XEvent e;
          XNextEvent(display, &e);
          batch.push_back(e);
        }
      }
      if (connection->lost()) {
        screenGone();
        break;
      }
      for (size_t i = 0; i < batch.size(); ++i) {
        // Of a run of pointer motions over one window only the last one counts.
        const XEvent& e = batch[i];
        if (e.type == MotionNotify && i + 1 < batch.size() && batch[i + 1].type == MotionNotify &&
            batch[i + 1].xany.window == e.xany.window) {
          continue;
        }
        dispatch(batch[i]);
      }
    }
  }

  static bool serverClosed(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }

  void screenGone() {
    if (gone.exchange(true)) return;
    logFormat(2, "display backend: the X server went away; message boxes on it are closed");
    boxes->closeAll();
  }

  void dispatch(XEvent& e) {
    HWND hwnd = nullptr;
    POINT origin;
    {
      std::lock_guard lock(mutex);
      auto found = byWindow.find(e.xany.window);
      if (found == byWindow.end()) return;
      hwnd = found->second;
      auto it = shown.find(hwnd);
      if (it == shown.end()) return;
      origin = POINT{it->second.rect.x, it->second.rect.y};
      if (e.type == Expose) {
        if (e.xexpose.count == 0) draw(it->second);
        return;
      }
    }
    if (e.type == ConfigureNotify) {
      moved(hwnd);
      return;
    }
    InputEvent input;
    switch (e.type) {
      case ButtonPress:
      case ButtonRelease:
        if (native::pointerInput(e.type == ButtonPress ? native::PointerKind::Press : native::PointerKind::Release,
                                 e.xbutton.button, origin, e.xbutton.x, e.xbutton.y, input)) {
          injectInput(input);
        }
        break;
      case MotionNotify:
        native::pointerInput(native::PointerKind::Motion, 0, origin, e.xmotion.x, e.xmotion.y, input);
        injectInput(input);
        break;
      case EnterNotify:
        native::pointerInput(native::PointerKind::Enter, 0, origin, e.xcrossing.x, e.xcrossing.y, input);
        injectInput(input);
        break;
      case KeyPress:
      case KeyRelease: key(e.xkey, e.type == KeyPress); break;
      case ClientMessage:
        // The window manager's close button: the window's own close handling decides.
        if (static_cast<Atom>(e.xclient.message_type) == wmProtocols &&
            static_cast<Atom>(e.xclient.data.l[0]) == wmDelete) {
          PostMessage(hwnd, WM_CLOSE, 0, 0);
        }
        break;
      default: break;
    }
  }

  // The window manager (or the person through it) moved the X11 window: the desk window follows,
  // so its client area is where the screen shows it. Our own moves find it already there.
  void moved(HWND hwnd) {
    POINT client{0, 0};
    {
      std::lock_guard lock(mutex);
      auto it = shown.find(hwnd);
      if (it == shown.end() || it->second.overrideRedirect || !usable()) return;
      int x = 0, y = 0;
      Window child = 0;
      if (!XTranslateCoordinates(display, it->second.xid, DefaultRootWindow(display), 0, 0, &x, &y, &child)) return;
      if (x == it->second.rect.x && y == it->second.rect.y) return;
      it->second.rect.x = x;
      it->second.rect.y = y;
      client = POINT{x, y};
    }
    RECT frame;
    POINT origin{0, 0};
    if (!GetWindowRect(hwnd, &frame) || !ClientToScreen(hwnd, &origin)) return;
    SetWindowPos(hwnd, nullptr, client.x - (origin.x - frame.left), client.y - (origin.y - frame.top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void key(XKeyEvent& e, bool down) {
    // The key is named without modifiers; the character it types with them.
    const KeySym plain = XLookupKeysym(&e, 0);
    char buffer[16];
    KeySym typed = NoSymbol;
    XLookupString(&e, buffer, sizeof buffer, &typed, nullptr);
    const int vk = native::virtualKeyOf(plain);
    if (vk != 0) {
      InputEvent input;
      input.kind = InputEvent::Kind::Key;
      input.vk = vk;
      input.down = down;
      injectInput(input);
    }
    if (!down) return;
    const char16_t ch = native::typedCharacter(vk, typed, (e.state & ControlMask) != 0);
    if (ch != 0) {
      InputEvent input;
      input.kind = InputEvent::Kind::Char;
      input.ch = ch;
      injectInput(input);
    }
  }

  ~Impl() {
    Forwarder::instance().detach(this);
    stopping = true;
    wake();
    if (events.joinable()) events.join();
    if (wakeFd >= 0) ::close(wakeFd);
    if (usable()) {
      std::lock_guard lock(mutex);
      for (auto& [hwnd, w] : shown) XDestroyWindow(display, w.xid);
      XSync(display, False);
    }
    shown.clear();
    byWindow.clear();
    if (device) {
      // On a server that went away, finishing would free what closing the display frees again.
      if (usable()) cairo_device_finish(device);
      cairo_device_destroy(device);
    }
  }
};

void Forwarder::onWindowEvent(const WindowEvent& event) {
  std::lock_guard lock(mutex_);
  if (impl_) impl_->handle(event);
}

std::unique_ptr<X11NativeWindows> X11NativeWindows::start(const std::string& displayName, std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->connection = X11Connection::open(displayName, error);
  if (!impl->connection) return nullptr;
  impl->display = impl->connection->display();
  impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->wakeFd < 0) {
    error = "cannot make the event thread's wake-up";
    return nullptr;
  }
  Display* d = impl->display;
  impl->netWmName = XInternAtom(d, "_NET_WM_NAME", False);
  impl->utf8String = XInternAtom(d, "UTF8_STRING", False);
  impl->wmProtocols = XInternAtom(d, "WM_PROTOCOLS", False);
  impl->wmDelete = XInternAtom(d, "WM_DELETE_WINDOW", False);
  impl->netWmPid = XInternAtom(d, "_NET_WM_PID", False);
  impl->windowType = XInternAtom(d, "_NET_WM_WINDOW_TYPE", False);
  impl->typeDialog = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DIALOG", False);
  impl->typeMenu = XInternAtom(d, "_NET_WM_WINDOW_TYPE_POPUP_MENU", False);
  impl->flushMessage = RegisterWindowMessage(u"deskNativeWindowPainted");
  // Cairo asks the server about its extensions once per display, on the first surface: asked
  // now, while the server is surely there, a server lost later cannot cut the questions short.
  if (cairo_surface_t* probe = cairo_xlib_surface_create(d, DefaultRootWindow(d), DefaultVisual(d, DefaultScreen(d)), 1, 1)) {
    if (cairo_surface_status(probe) == CAIRO_STATUS_SUCCESS) {
      impl->device = cairo_device_reference(cairo_surface_get_device(probe));
    }
    cairo_surface_destroy(probe);
  }
  Impl* raw = impl.get();
  impl->connection->setLostHandler([raw] { raw->screenGone(); });
  impl->events = std::thread([raw] { raw->run(); });
  // On screen, a message box and a dialog wait for the person in front of it.
  setMessageBoxAnswerer(impl->boxes);
  setDialogAnswerer(DialogAnswerer::Person);
  Forwarder::instance().attach(raw);
  // Windows already up are shown now.
  for (HWND hwnd : desk::zOrder()) {
    if (auto s = windowSnapshot(hwnd)) raw->follow(*s);
  }
  return std::unique_ptr<X11NativeWindows>(new X11NativeWindows(std::move(impl)));
}

X11NativeWindows::X11NativeWindows(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11NativeWindows::~X11NativeWindows() {
  setMessageBoxAnswerer(nullptr);
  setDialogAnswerer(DialogAnswerer::Nobody);
  impl_.reset();
}

XWindowId X11NativeWindows::windowOf(HWND hwnd) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->shown.find(hwnd);
  return it != impl_->shown.end() && it->second.mapped ? it->second.xid : 0;
}

bool X11NativeWindows::lost() const { return !impl_->usable(); }

}  // namespace desk::display
