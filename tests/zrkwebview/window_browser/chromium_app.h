// What the Chromium tests of the application's windows share: the application object with its
// window factory, the engine webview maker, the built bundle, the built-in plugins, and pages of the
// tests' own served out of the same store. The test body runs on the UI thread and pumps its
// messages while it waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/test.h"
#include "desk/window.h"
#include "src/resource-bundle.h"
#include "support/chromium_suite.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

namespace pel::browser {

using namespace std::chrono_literals;
using nlohmann::json;

using pel::chromium::pumpFor;
using pel::chromium::pumpUntil;

// An empty page of the tests: the bridge is all it has.
inline const char* kBlankPage = "tests/blank.html";

inline std::string appUrl(const std::string& path) {
  return std::string("https://") + zrk::kAppDomain + "/" + path;
}

class ChromiumApp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pel::chromium::Suite::begin("zrkwin");
    installSignatureVerifier();
    bundleLoaded() = loadResourceBundle(PEL_BUNDLE_FILE, "morapel");
    BundleStore::put(kBlankPage,
                     "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>blank</title></head>"
                     "<body data-state=\"ready\"></body></html>");
    pel::chromium::startApp();
  }
  static void TearDownTestSuite() {
    pel::chromium::endApp();
    pel::chromium::Suite::end();
  }
  void TearDown() override {
    for (const auto& label : opened_) {
      if (auto window = zrk::App::instance()->findWindow(label)) {
        if (desk::IsWindow(window->nativeHandle())) window->destroy();
      }
    }
    pumpFor(50ms);
  }

  // The main webview of a window, once its page has run and the bridge is there.
  static std::shared_ptr<zrk::ZrkWebview> pageOf(const std::string& label,
                                                 std::chrono::milliseconds limit = 60s) {
    std::shared_ptr<zrk::ZrkWebview> webview;
    pumpUntil([&] {
      auto window = zrk::App::instance()->findWindow(label);
      if (!window) return false;
      webview = std::dynamic_pointer_cast<zrk::ZrkWebview>(window->findWebview("main_webview"));
      return webview &&
             webview->evaluateScriptSync("document.body && document.body.dataset.state === 'ready' &&"
                                         " typeof window.__zrk__ === 'object'") == "true";
    }, limit);
    return webview;
  }

  // A window of the application showing the page at `path`; its webview once the page is ready.
  std::shared_ptr<zrk::ZrkWebview> open(const std::string& label, const std::string& path = kBlankPage,
                                        zrk::WindowOptions options = {}) {
    opened_.push_back(label);
    auto window = zrk::createWindow(zrk::App::instance().get(), label, appUrl(path), options);
    if (!window) return nullptr;
    return pageOf(label);
  }
  // Windows a test made through a page, to be destroyed after it.
  void forget(const std::string& label) { opened_.push_back(label); }

  // Runs `script` in the page and pumps until the expression's value is neither null nor undefined;
  // its JSON ("" when the time ran out).
  static std::string awaitValue(zrk::ZrkWebview& webview, const std::string& expression,
                                std::chrono::milliseconds limit = 30s) {
    std::string value;
    const bool got = pumpUntil([&] {
      value = webview.evaluateScriptSync("(" + expression + ") ?? null");
      return value != "null" && !value.empty();
    }, limit);
    return got ? value : std::string();
  }
  // Starts a page promise and waits for it: {"ok": value} or {"error": text}. A refusal's text
  // reaches the page as the bytes of the reply's body.
  static json settle(zrk::ZrkWebview& webview, const std::string& promise,
                     std::chrono::milliseconds limit = 30s) {
    static int next = 0;
    const std::string slot = "window.__settled" + std::to_string(++next);
    webview.evaluateScriptSync(
        slot + " = undefined; Promise.resolve().then(() => (" + promise + ")).then(v => " + slot +
        " = {ok: v === undefined ? null : v}, e => " + slot +
        " = {error: e instanceof ArrayBuffer ? new TextDecoder().decode(e)"
        " : String(e && e.message !== undefined ? e.message : e)}); 0");
    const std::string value = awaitValue(webview, slot, limit);
    return value.empty() ? json{{"error", "never settled"}} : json::parse(value);
  }

  static bool& bundleLoaded() {
    static bool loaded = false;
    return loaded;
  }

  std::vector<std::string> opened_;
};

}  // namespace pel::browser
