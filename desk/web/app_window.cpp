#include "desk/web/app_window.h"

#include <mutex>

namespace desk::web {

namespace {
std::mutex hostMutex;
std::shared_ptr<AppWindowHost> currentHost;
}  // namespace

const char* windowStateName(WindowState state) {
  switch (state) {
    case WindowState::minimized: return "minimized";
    case WindowState::maximized: return "maximized";
    case WindowState::fullscreen: return "fullscreen";
    case WindowState::normal: break;
  }
  return "normal";
}

void setAppWindowHost(std::shared_ptr<AppWindowHost> host) {
  std::lock_guard lock(hostMutex);
  currentHost = std::move(host);
}

std::shared_ptr<AppWindowHost> appWindowHost() {
  std::lock_guard lock(hostMutex);
  return currentHost;
}

}  // namespace desk::web
