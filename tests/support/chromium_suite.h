// What every test suite on the real Chromium starts from and leaves behind: the UI thread and the
// dispatch library, a data folder of the suite's own (XDG_DATA_HOME, where the browser keeps its
// profile) and Chromium as the engine; for suites of the application's windows, the bundle's
// handler, the built-in plugins and the engine webview maker on top. The test body runs on the UI
// thread and pumps its messages while it waits.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "desk/message.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"
#include "src/bundle-handler.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

namespace pel::chromium {

using namespace std::chrono_literals;

// Runs the UI thread's messages until `done` holds; false when the time ran out first.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Pumps for a while with nothing to wait for: lets anything that would wrongly arrive arrive.
inline void pumpFor(std::chrono::milliseconds span) {
  pumpUntil([] { return false; }, span);
}

// The process-wide state of one suite; begin() from SetUpTestSuite, end() from TearDownTestSuite.
class Suite {
 public:
  // The calling thread becomes the UI thread; the data folder is a new "<name>-XXXXXX" under
  // $TMPDIR (folder() is empty when it could not be made).
  static void begin(const std::string& name) {
    desk::setUiThreadId(desk::GetCurrentThreadId());
    dispatch_init();
    const char* tmp = getenv("TMPDIR");
    std::string& path = folderSlot();
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    if (!mkdtemp(path.data())) path.clear();
    setenv("XDG_DATA_HOME", path.c_str(), 1);
    zrk::setWebEngine(nullptr);
  }
  // Ends the browser and removes the data folder.
  static void end() {
    if (auto env = zrk::currentWebEnvironment()) env->close();
    zrk::setWebEngine(nullptr);
    std::error_code ec;
    if (!folder().empty()) std::filesystem::remove_all(folder(), ec);
  }
  static const std::string& folder() { return folderSlot(); }

 private:
  static std::string& folderSlot() {
    static std::string path;
    return path;
  }
};

// The application's side, after begin(): pages out of the bundle store, the built-in plugins
// behind "/plugin", and windows whose webviews are engine webviews.
inline void startApp() {
  http::registerBundleHandler();
  zrk::registerBuiltinPlugins();
  zrk::installZrkWebviewMaker();
}

// Before end(): the application's windows go, and what their closing posted is served.
inline void endApp() {
  zrk::App::instance()->clearWindows();
  pumpFor(100ms);
}

}  // namespace pel::chromium
