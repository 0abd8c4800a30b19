// From main.w in the real Chromium: "set_size" then "outer_size" on the page's own window, beside
// two calls of a no-op plugin command on the same road (a fetch of "/plugin" from the page, the
// plugin request queue, the registry, the reply). The two sides alternate in rounds inside one
// page script, so both meet the same load.
//
//   build/bin/window_plugin_bench [pairs per round] [rounds] [same]
// "same" asks for the size the window already has, to tell the call's cost from the resize's.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/message.h"
#include "desk/thread.h"
#include "desk/types.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "src/bundle-handler.h"
#include "src/resource-bundle.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// Serves the UI thread's queue without sleeping between messages, so a call that crosses to the
// UI thread is answered as soon as it is posted.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    desk::MsgWaitForMultipleObjects(0, nullptr, 0, 20, desk::QS_ALLINPUT);
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
  }
  return true;
}

// The least a plugin command can be: an empty JSON answer.
class NoopPlugin : public zrk::plugin::Plugin {
 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string&, zrk::Webview*,
                                        http::HttpResponseConnection*, http::HttpRequest*,
                                        const json&) override {
    return std::make_shared<http::HttpMimeResponse>("{}", "application/json");
  }
};

std::string benchScript(const std::string& label, int pairs, int rounds, bool sameSize) {
  return R"JS(
window.__bench = null;
(async () => {
  const call = (name, event, body) => fetch('/plugin?name=' + name + '&event=' + event, {
      method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)})
    .then(r => { if (!r.ok) throw new Error(name + ' ' + event + ': ' + r.status); return r.text(); });
  const label = )JS" + json(label).dump() + R"JS(;
  const window2 = async (i) => {
    await call('window', 'set_size', {label, value: {Physical: {width: 800 + (i & )JS" + std::string(sameSize ? "0" : "1") + R"JS(), height: 600}}});
    await call('window', 'outer_size', {label});
  };
  const noop2 = async () => { await call('noop', 'a', {label}); await call('noop', 'b', {label}); };
  try {
    for (let i = 0; i < 20; ++i) { await window2(i); await noop2(); }  // warm-up
    const ours = [], peer = [];
    for (let r = 0; r < )JS" + std::to_string(rounds) + R"JS(; ++r) {
      let t = performance.now();
      for (let i = 0; i < )JS" + std::to_string(pairs) + R"JS(; ++i) await window2(i);
      ours.push((performance.now() - t) / )JS" + std::to_string(pairs) + R"JS();
      t = performance.now();
      for (let i = 0; i < )JS" + std::to_string(pairs) + R"JS(; ++i) await noop2();
      peer.push((performance.now() - t) / )JS" + std::to_string(pairs) + R"JS();
    }
    window.__bench = {ours, peer};
  } catch (e) { window.__bench = {error: String(e)}; }
})();
0)JS";
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int pairs = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 7;
  const bool sameSize = argc > 3 && std::string(argv[3]) == "same";
  desk::setUiThreadId(desk::GetCurrentThreadId());
  dispatch_init();
  const char* tmp = getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/window-plugin-bench-XXXXXX";
  if (!mkdtemp(folder.data())) return 1;
  setenv("XDG_DATA_HOME", folder.c_str(), 1);
  installSignatureVerifier();
  if (!loadResourceBundle(PEL_BUNDLE_FILE, "morapel")) return fprintf(stderr, "no bundle\n"), 1;
  http::registerBundleHandler();
  zrk::registerBuiltinPlugins();
  auto noop = std::make_shared<NoopPlugin>();
  noop->setName("noop");
  zrk::plugin::PluginRegistry::add(noop);
  zrk::setWebEngine(nullptr);
  zrk::installZrkWebviewMaker();

  const std::string label = "bench";
  auto window = zrk::createWindow(zrk::App::instance().get(), label,
                                  std::string("https://") + zrk::kAppDomain + "/main.w", {});
  if (!window) return fprintf(stderr, "no window\n"), 1;
  std::shared_ptr<zrk::ZrkWebview> webview;
  if (!pumpUntil([&] {
        webview = std::dynamic_pointer_cast<zrk::ZrkWebview>(window->findWebview("main_webview"));
        return webview && webview->evaluateScriptSync("document.body && document.body.dataset.state") ==
                              "\"ready\"";
      }, 60s))
    return fprintf(stderr, "main.w did not load\n"), 1;

  webview->evaluateScriptSync(benchScript(label, pairs, rounds, sameSize));
  std::string value = "null";
  auto lastLook = std::chrono::steady_clock::now();
  pumpUntil([&] {
    if (std::chrono::steady_clock::now() - lastLook < 250ms) return false;
    lastLook = std::chrono::steady_clock::now();
    value = webview->evaluateScriptSync("JSON.stringify(window.__bench)");
    return value != "null" && value != "\"null\"" && !value.empty();
  }, 300s);
  int rc = 0;
  try {
    json outer = json::parse(value);
    json result = outer.is_string() ? json::parse(outer.get<std::string>()) : outer;
    if (result.contains("error")) {
      fprintf(stderr, "%s\n", result["error"].dump().c_str());
      rc = 1;
    } else {
      const auto ours = result["ours"].get<std::vector<double>>();
      const auto peer = result["peer"].get<std::vector<double>>();
      for (size_t i = 0; i < ours.size(); ++i)
        printf("round %zu: set_size + outer_size %.3f ms, two no-op calls %.3f ms\n", i + 1, ours[i], peer[i]);
      const double o = median(ours), p = median(peer);
      printf("median of %d rounds of %d pairs: set_size + outer_size %.3f ms, two no-op calls %.3f ms\n",
             rounds, pairs, o, p);
      printf("ratio: %.2fx (target <= 1.3x)\n", o / std::max(p, 1e-9));
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "no result (%s): %s\n", e.what(), value.c_str());
    rc = 1;
  }
  zrk::App::instance()->clearWindows();
  pumpUntil([] { return false; }, 100ms);
  if (auto env = zrk::currentWebEnvironment()) env->close();
  zrk::setWebEngine(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return rc;
}
