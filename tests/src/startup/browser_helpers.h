// What the Chromium tests of the program share: the main window's page, reached from a thread
// beside the UI thread.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "desk/web/engine.h"
#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"

namespace pel::test {

using namespace std::chrono_literals;

// The engine view of a window (the main window's unless named), once there is one.
inline std::shared_ptr<desk::web::Webview> engineView(const std::string& label = "mainwindow") {
  auto window = zrk::App::instance()->findWindow(label);
  if (!window) return nullptr;
  auto webview = std::dynamic_pointer_cast<zrk::ZrkWebview>(window->webviewAt(0));
  return webview ? webview->engineView() : nullptr;
}

// Runs a script in the page of a window (the main window's unless named), on the UI thread; its
// value as JSON, "" on failure.
inline std::string evaluate(const std::string& script, const std::string& label = "mainwindow") {
  auto done = std::make_shared<std::promise<std::string>>();
  auto result = done->get_future();
  dispatch_async(dispatch_get_main_queue(), [script, label, done] {
    auto view = engineView(label);
    if (!view) return done->set_value("");
    view->executeScript(script, [done](desk::web::Result r, const std::string& value) {
      done->set_value(r == desk::web::Result::ok ? value : "");
    });
  });
  if (result.wait_for(20s) != std::future_status::ready) return "";
  return result.get();
}

inline std::string capture() {
  auto done = std::make_shared<std::promise<std::string>>();
  auto result = done->get_future();
  dispatch_async(dispatch_get_main_queue(), [done] {
    auto view = engineView();
    if (!view) return done->set_value("");
    view->capturePng([done](desk::web::Result r, const std::string& png) {
      done->set_value(r == desk::web::Result::ok ? png : "");
    });
  });
  if (result.wait_for(30s) != std::future_status::ready) return "";
  return result.get();
}

// Polls the page (the main window's unless named) until `script` gives one of the values (JSON
// texts); the last value seen.
inline std::string waitForValue(const std::string& script, std::initializer_list<const char*> values,
                                std::chrono::seconds limit = std::chrono::seconds(120),
                                const std::string& label = "mainwindow") {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string value;
  while (std::chrono::steady_clock::now() < deadline) {
    if (dispatch_get_main_queue() && engineView(label)) {
      value = evaluate(script, label);
      for (const char* v : values) {
        if (value == v) return value;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return value;
}

}  // namespace pel::test
