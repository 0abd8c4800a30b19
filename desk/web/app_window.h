// Webviews in windows of their own: when the program runs on a display, the browser is started
// with windows (no --headless) and every webview is one app window of it (no tab strip, no
// address bar), all in one browser process. The engine knows nothing of the display: a host set
// at start-up (the display backend) is told of every such window and moves, sizes and titles it.
// Without a host the engine runs headless, as it always did.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "desk/web/engine.h"

namespace desk::web {

enum class WindowState { normal, minimized, maximized, fullscreen };

const char* windowStateName(WindowState state);

// One webview's browser window. Thread-safe; every call returns at once (the browser answers
// later, or not at all once it is gone).
class AppWindow {
 public:
  virtual ~AppWindow() = default;
  virtual int browserProcessId() const = 0;
  virtual const std::string& targetId() const = 0;
  // The text the window's title held while it was set up (it finds the window on the display).
  virtual const std::string& marker() const = 0;
  // Puts the window at `bounds` (screen pixels) in `state`; the bounds are used when the state
  // is normal.
  virtual void place(const Rect& bounds, WindowState state) = 0;
  // Brings the window to the front with the keyboard focus.
  virtual void activate() = 0;
};

// The display side. `opened` may run on any engine thread; `handOver` runs on the owner's thread.
class AppWindowHost {
 public:
  virtual ~AppWindowHost() = default;
  // A window was opened and shows the marker as its title. The host finds it on the display and
  // then calls `ready` (once, from any thread; also when it gave up). The webview reaches its
  // owner only after that.
  virtual void opened(std::shared_ptr<AppWindow> window, std::function<void()> ready) = 0;
  // Runs `deliver`, which hands the window's webview to its owner: the windows the owner makes
  // meanwhile host it.
  virtual void handOver(const std::shared_ptr<AppWindow>& window, const std::function<void()>& deliver) = 0;
  // The page asked to leave while the user closed its window (the window stays until the owner
  // decides).
  virtual void closeRequested(const std::shared_ptr<AppWindow>& window) = 0;
  // The window is gone (its webview was closed, or the browser ended).
  virtual void closed(const std::shared_ptr<AppWindow>& window) = 0;
};

// Set before environments are created; null goes back to headless. Environments keep the host
// they started with.
void setAppWindowHost(std::shared_ptr<AppWindowHost> host);
std::shared_ptr<AppWindowHost> appWindowHost();

}  // namespace desk::web
