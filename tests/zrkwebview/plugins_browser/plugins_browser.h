// Shared by the plugin tests in the real Chromium: the application's window factory and engine
// webview maker, the built-in plugins behind the page transport, and test pages served out of the
// bundle store. Pages talk to the plugins only through what every document gets injected (the
// command transport of __zrk_internals__ and the __zrk__ namespaces).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/window.h"
#include "src/resource-bundle.h"
#include "support/chromium_suite.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

namespace plugins_browser {

using namespace std::chrono_literals;
using nlohmann::json;

using pel::chromium::pumpFor;
using pel::chromium::pumpUntil;

class PluginsBrowserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pel::chromium::Suite::begin("zrkplugins");
    pel::chromium::startApp();
  }
  static void TearDownTestSuite() {
    pel::chromium::endApp();
    pel::chromium::Suite::end();
  }
  void TearDown() override {
    for (auto& window : windows_) {
      if (window && desk::IsWindow(window->nativeHandle())) window->destroy();
    }
    windows_.clear();
    pumpFor(50ms);
  }

  static const std::string& folder() { return pel::chromium::Suite::folder(); }

  // A window of the application (`label`, shown at `x`,`y` in 400x300) whose main webview shows
  // `html` (served as tests/<label>.w); its webview once the page's own script has run.
  std::shared_ptr<zrk::ZrkWebview> open(const std::string& label, const std::string& html, int x = 0,
                                        int y = 0) {
    BundleStore::put("tests/" + label + ".w", html);
    zrk::WindowOptions options;
    options.x = x;
    options.y = y;
    options.width = 400;
    options.height = 300;
    auto window = zrk::createWindow(zrk::App::instance().get(), label,
                                    std::string("https://") + zrk::kAppDomain + "/tests/" + label + ".w",
                                    options);
    if (!window) return nullptr;
    windows_.push_back(window);
    std::shared_ptr<zrk::ZrkWebview> webview;
    pumpUntil([&] {
      webview = std::dynamic_pointer_cast<zrk::ZrkWebview>(window->findWebview("main_webview"));
      return webview && webview->evaluateScriptSync("window.pageReady === true && !!window.__zrk__") == "true";
    });
    if (webview && webview->evaluateScriptSync("window.pageReady === true") != "true") return nullptr;
    desk::ShowWindow(window->nativeHandle(), desk::SW_SHOW);
    return webview;
  }
  std::shared_ptr<zrk::Window> window(size_t index) { return windows_.at(index); }

  // Starts `expression` (a promise or a value) in the page; its outcome lands in
  // window.__results[key] as {ok, value} or {ok: false, error}.
  static void start(zrk::ZrkWebview& webview, const std::string& key, const std::string& expression) {
    webview.evaluateScriptSync(
        "window.__results = window.__results || {}; delete window.__results[" + json(key).dump() + "];"
        "Promise.resolve().then(() => (" + expression + ")).then("
        "  v => window.__results[" + json(key).dump() + "] = {ok: true, value: v === undefined ? null : v},"
        "  e => window.__results[" + json(key).dump() + "] = {ok: false, error: String(e && e.message || e)}); 0");
  }
  // The outcome of start(`key`), pumping until it is there; null when it never came.
  static json result(zrk::ZrkWebview& webview, const std::string& key, std::chrono::milliseconds limit = 30s) {
    std::string text;
    const std::string read = "JSON.stringify((window.__results || {})[" + json(key).dump() + "] ?? null)";
    pumpUntil([&] {
      text = webview.evaluateScriptSync(read);
      return !text.empty() && text != "\"null\"" && text != "null";
    }, limit);
    try {
      const json outer = json::parse(text);
      return outer.is_string() ? json::parse(outer.get<std::string>()) : outer;
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  // start() and result() in one: the value, with a failure recorded when the promise rejected.
  static json await(zrk::ZrkWebview& webview, const std::string& expression,
                    std::chrono::milliseconds limit = 30s) {
    static int counter = 0;
    const std::string key = "k" + std::to_string(++counter);
    start(webview, key, expression);
    const json outcome = result(webview, key, limit);
    EXPECT_TRUE(outcome.is_object() && outcome.value("ok", false)) << expression << " -> " << outcome.dump();
    return outcome.is_object() ? outcome.value("value", json()) : json();
  }
  // A page value read as JSON (the page keeps JSON-compatible values there).
  static json read(zrk::ZrkWebview& webview, const std::string& expression) {
    const std::string text = webview.evaluateScriptSync("JSON.stringify((" + expression + ") ?? null)");
    try {
      const json outer = json::parse(text);
      return outer.is_string() ? json::parse(outer.get<std::string>()) : outer;
    } catch (const std::exception&) {
      return nullptr;
    }
  }

 private:
  std::vector<std::shared_ptr<zrk::Window>> windows_;
};

// The page every test starts from: an empty body, ready once its script ran.
inline std::string page(const std::string& body = "", const std::string& script = "") {
  return "<!doctype html><title>t</title><body style='margin:0'>" + body + "<script>" + script +
         "\nwindow.pageReady = true;</script></body>";
}

}  // namespace plugins_browser
