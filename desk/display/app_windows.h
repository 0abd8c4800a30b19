// The display backend's side of webview windows: each top-level window that hosts a webview is
// shown as that webview's browser app window on the X server.
//
// What the program does to the window (bounds, show state, text, frame, "topmost", activation)
// is seen through the window observer and applied to the browser window; what the user does to
// the browser window (moves, sizes, minimises, maximises it) is read back from the X server and
// reaches the window as the messages a window gets when a user does it (a system command for
// the show state, a position change for the bounds), so its window procedure runs as usual.
#pragma once

#include <memory>
#include <string>

#include "desk/display/x11_connection.h"
#include "desk/types.h"
#include "desk/web/app_window.h"

namespace desk::display {

class AppWindows : public web::AppWindowHost, public std::enable_shared_from_this<AppWindows> {
 public:
  // Starts watching the window model and the X server; `stop` (or the destructor) ends both.
  static std::shared_ptr<AppWindows> start(std::shared_ptr<X11Connection> connection);
  ~AppWindows() override;
  void stop();

  void opened(std::shared_ptr<web::AppWindow> window, std::function<void()> ready) override;
  void handOver(const std::shared_ptr<web::AppWindow>& window, const std::function<void()>& deliver) override;
  void closeRequested(const std::shared_ptr<web::AppWindow>& window) override;
  void closed(const std::shared_ptr<web::AppWindow>& window) override;

  // The X window that shows the desk window `hwnd` (0 when none does).
  XWindowId xWindowOf(HWND hwnd) const;
  // The desk window a browser window shows (null when none).
  HWND hostOf(const std::string& targetId) const;

  struct State;

 private:
  AppWindows() = default;
  std::unique_ptr<State> state_;
};

}  // namespace desk::display
