#include "desk/display/backend.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "desk/display/x11_connection.h"
#include "desk/display/x11_native_windows.h"
#include "desk/log.h"
#include "desk/test.h"

namespace desk::display {

namespace {
std::atomic<Backend> active{Backend::Headless};
std::mutex startMutex;
std::shared_ptr<X11Connection> connection;
std::unique_ptr<X11NativeWindows> nativeWindows;  // the windows the layer draws, on screen
}  // namespace

BackendChoice chooseBackend(const char* display, const char* forceHeadless) {
  BackendChoice choice;
  if (forceHeadless != nullptr && *forceHeadless != '\0' && std::strcmp(forceHeadless, "0") != 0) {
    choice.reason = "PELMORA_HEADLESS is set";
    return choice;
  }
  if (display == nullptr || *display == '\0') {
    choice.reason = "no DISPLAY";
    return choice;
  }
  choice.backend = Backend::X11;
  choice.display = display;
  choice.reason = std::string("DISPLAY is ") + display;
  return choice;
}

BackendChoice chooseBackendFromEnvironment() {
  return chooseBackend(std::getenv("DISPLAY"), std::getenv("PELMORA_HEADLESS"));
}

Backend activeBackend() { return active.load(); }

const char* backendName(Backend backend) {
  return backend == Backend::X11 ? "X11" : "headless";
}

std::vector<desk::test::MonitorSpec> monitorSpecs(const std::vector<XMonitor>& monitors) {
  std::vector<desk::test::MonitorSpec> specs;
  for (const XMonitor& m : monitors) {
    desk::test::MonitorSpec spec;
    spec.name.assign(m.name.begin(), m.name.end());
    spec.rect = RECT{m.rect.x, m.rect.y, m.rect.x + m.rect.width, m.rect.y + m.rect.height};
    spec.work = RECT{m.work.x, m.work.y, m.work.x + m.work.width, m.work.y + m.work.height};
    spec.dpi = m.dpi;
    spec.primary = m.primary;
    // The primary monitor comes first, as the model's enumeration expects.
    if (spec.primary) specs.insert(specs.begin(), spec);
    else specs.push_back(spec);
  }
  return specs;
}

void applyMonitors(const std::vector<XMonitor>& monitors) {
  auto specs = monitorSpecs(monitors);
  if (!specs.empty()) desk::test::setMonitors(specs);
}

bool startBackend(const BackendChoice& choice, std::string& error) {
  std::lock_guard lock(startMutex);
  if (choice.backend == Backend::Headless) return true;
  auto made = X11Connection::open(choice.display, error);
  if (!made) {
    logFormat(2, "display backend: %s; staying headless", error.c_str());
    return false;
  }
  connection = std::move(made);
  active = Backend::X11;
  applyMonitors(connection->monitors());
  std::string nativeError;
  nativeWindows = X11NativeWindows::start(choice.display, nativeError);
  if (!nativeWindows) logFormat(2, "display backend: dialogs and menus stay off screen: %s", nativeError.c_str());
  logFormat(3, "display backend: X11 on %s", choice.display.c_str());
  return true;
}

void stopBackend() {
  std::shared_ptr<X11Connection> ending;
  std::unique_ptr<X11NativeWindows> endingNative;
  {
    std::lock_guard lock(startMutex);
    endingNative = std::move(nativeWindows);
    ending = std::move(connection);
    active = Backend::Headless;
  }
  endingNative.reset();
  ending.reset();
}

std::shared_ptr<X11Connection> activeConnection() {
  std::lock_guard lock(startMutex);
  return connection;
}

}  // namespace desk::display
