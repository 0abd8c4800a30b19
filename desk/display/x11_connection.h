// One connection to an X server and the window-manager conversations the display backend needs:
// finding a browser's window, its title, frame, keep-above state and icon (EWMH and Motif
// properties), interactive moves, monitors from RandR and work areas. X11 types stay in the
// source: windows are plain ids here.
//
// Every call is safe from any thread (the connection is locked around each one). An X error on
// one request (a window that went away meanwhile) fails that call, never the process; a server
// that goes away marks the connection lost and every later call fails quickly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _XDisplay;

namespace desk::display {

using XWindowId = unsigned long;

struct XRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const XRect&) const = default;
};

struct XMonitor {
  std::string name;
  XRect rect;  // on the root window
  XRect work;  // the work area inside it
  int widthMm = 0;
  int heightMm = 0;
  unsigned dpi = 96;
  bool primary = false;
};

class X11Connection {
 public:
  // Null, with `error` saying why, when the server cannot be reached.
  static std::shared_ptr<X11Connection> open(const std::string& displayName, std::string& error);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // The server went away (the connection is then useless).
  bool lost() const;
  // Runs once, on the thread that noticed, when the server goes away.
  void setLostHandler(std::function<void()> handler);
  _XDisplay* display() const { return display_; }
  XWindowId root() const;

  // Whether an EWMH window manager runs (_NET_SUPPORTING_WM_CHECK names a live window).
  bool hasWindowManager();

  // Top-level client windows (those with WM_STATE, or the root's children when no window
  // manager reparents them) whose _NET_WM_PID is `pid` and whose title contains `marker`; 0
  // when there is none.
  XWindowId findWindow(int pid, const std::string& marker);
  // The client windows of `pid` (any title).
  std::vector<XWindowId> windowsOfProcess(int pid);

  // _NET_WM_NAME (UTF-8) and WM_NAME.
  bool setTitle(XWindowId window, const std::string& utf8);
  std::string title(XWindowId window);
  // _MOTIF_WM_HINTS: decorations off (frameless) or back to the window manager's choice.
  bool setFrameless(XWindowId window, bool frameless);
  bool frameless(XWindowId window);
  // _NET_WM_STATE_ABOVE: asked of the window manager for a mapped window; with no window manager
  // (or before mapping) the state property is written directly.
  bool setKeepAbove(XWindowId window, bool above);
  bool keepAbove(XWindowId window);
  // _NET_WM_ICON: width, height, then width*height ARGB pixels (non-premultiplied).
  bool setIcon(XWindowId window, int width, int height, const std::vector<uint32_t>& argb);
  std::vector<uint32_t> icon(XWindowId window);
  // Asks the window manager to start an interactive move, as a title bar pressed at the root
  // point (x, y) with `button` (1 left) would. False without a window manager.
  bool startMove(XWindowId window, int x, int y, int button);
  // Asks the window manager to close the window as its close button would (WM_DELETE_WINDOW).
  bool requestClose(XWindowId window);
  // The window's rectangle on the root (its client area, without the manager's frame).
  bool geometry(XWindowId window, XRect& rect);
  bool moveResize(XWindowId window, const XRect& rect);
  bool mapped(XWindowId window);
  // The names in the window's _NET_WM_STATE ("_NET_WM_STATE_HIDDEN", ...).
  std::vector<std::string> states(XWindowId window);

  // Monitors from RandR (one covering the screen when RandR has none); the work area from
  // _NET_WORKAREA clipped to each monitor, else the monitor's rectangle.
  std::vector<XMonitor> monitors();

  // Waits until the server has handled everything sent so far.
  void sync();

  struct State;  // the source's own


 private:
  explicit X11Connection(_XDisplay* display);
  unsigned long atom(const char* name);
  bool clientMessage(XWindowId window, const char* type, const long (&data)[5]);
  bool supportingWmCheck();

  _XDisplay* display_ = nullptr;
  std::unique_ptr<State> state_;
};

// The connection the running display backend uses (null when headless).
std::shared_ptr<X11Connection> activeConnection();

}  // namespace desk::display
