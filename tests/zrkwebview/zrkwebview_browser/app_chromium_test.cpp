// The application's windows on the real Chromium: the application object, its window factory and
// the engine webview maker, the pages out of the bundle the build packs, the built-in plugins and
// a probe plugin that says on which queue it answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "desk/test.h"
#include "desk/window.h"
#include "src/resource-bundle.h"
#include "support/chromium_suite.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using pel::chromium::pumpFor;
using pel::chromium::pumpUntil;

// Answers "where" with whether it runs on the plugin request queue; "slow" waits until the test
// lets it go.
class ProbePlugin : public zrk::plugin::Plugin {
 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview*,
                                        http::HttpResponseConnection*, http::HttpRequest*,
                                        const json& payload) override {
    dispatch_queue_t queue = dispatch_get_queue("plugin-requests-1");
    const bool onQueue = queue != nullptr && queue->threadId == desk::GetCurrentThreadId();
    if (command == "slow") {
      std::unique_lock<std::mutex> lock(mutex);
      ++slowStarted;
      cv.notify_all();
      cv.wait(lock, [&] { return released; });
    }
    json answer = {{"onPluginQueue", onQueue}, {"from", payload.value("from", "")}};
    return std::make_shared<http::HttpMimeResponse>(answer.dump(), "application/json");
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    cv.notify_all();
  }

  std::mutex mutex;
  std::condition_variable cv;
  int slowStarted = 0;
  bool released = false;
};

// The worker names the host in full: its own base is its script's URL.
const std::string kWorkerScript =
    std::string("fetch('https://") + zrk::kAppDomain + "/plugin?name=probe&event=where', {method: 'POST',"
    "  headers: {'Content-Type': 'application/json'}, body: JSON.stringify({from: 'worker'})})"
    "  .then(r => r.json()).then(j => postMessage(j), e => postMessage({error: String(e), at: String(self.location)}));";

class AppChromiumTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pel::chromium::Suite::begin("zrkapp");
    installSignatureVerifier();
    bundleLoaded = loadResourceBundle(PEL_BUNDLE_FILE, "morapel");
    // A worker script of the tests' own, served out of the same store.
    BundleStore::put("tests/worker.js", kWorkerScript);
    pel::chromium::startApp();
    probe = std::make_shared<ProbePlugin>();
    probe->setName("probe");
    zrk::plugin::PluginRegistry::add(probe);
  }
  static void TearDownTestSuite() {
    probe->release();
    pel::chromium::endApp();
    pel::chromium::Suite::end();
  }
  void TearDown() override {
    if (window && desk::IsWindow(window->nativeHandle())) window->destroy();
    pumpFor(50ms);
  }

  // A window of the application showing the bundle's main.w; its main webview once the page's
  // own script has run.
  std::shared_ptr<zrk::ZrkWebview> openMain(const std::string& label) {
    window = zrk::createWindow(zrk::App::instance().get(), label,
                               std::string("https://") + zrk::kAppDomain + "/main.w", {});
    if (!window) return nullptr;
    std::shared_ptr<zrk::ZrkWebview> webview;
    pumpUntil([&] {
      webview = std::dynamic_pointer_cast<zrk::ZrkWebview>(window->findWebview("main_webview"));
      return webview && webview->evaluateScriptSync("document.body && document.body.dataset.state") ==
                            "\"ready\"";
    });
    return webview;
  }
  // Pumps until the page's `expression` is no longer null or undefined; its JSON.
  static std::string awaitValue(zrk::ZrkWebview& webview, const std::string& expression) {
    std::string value;
    pumpUntil([&] {
      value = webview.evaluateScriptSync("(" + expression + ") ?? null");
      return value != "null" && !value.empty();
    }, 20s);
    return value;
  }

  static bool bundleLoaded;
  static std::shared_ptr<ProbePlugin> probe;
  std::shared_ptr<zrk::Window> window;
};
bool AppChromiumTest::bundleLoaded = false;
std::shared_ptr<ProbePlugin> AppChromiumTest::probe;

std::string windowText(desk::HWND hwnd) {
  char16_t buffer[256] = {};
  const int n = desk::GetWindowText(hwnd, buffer, 256);
  return zrk::toUtf8(Vesk::WString(buffer, static_cast<size_t>(n)));
}

// The page out of the built bundle, with the bridge injected before its own script (the page shows
// its window through it), and its title on the window.
TEST_F(AppChromiumTest, MainPageOfTheBundleAppearsWithItsTitle) {
  ASSERT_TRUE(bundleLoaded);
  auto webview = openMain("mainwindow");
  ASSERT_TRUE(webview);
  EXPECT_EQ(webview->evaluateScriptSync("document.title"), "\"Pelmora\"");
  // The window starts hidden; the page shows it through the window plugin once its script ran.
  EXPECT_TRUE(desk::IsWindowVisible(window->nativeHandle()));
  ASSERT_TRUE(pumpUntil([&] { return windowText(window->nativeHandle()) == "Pelmora"; }, 10s))
      << windowText(window->nativeHandle());
}

// The monitor goes from 96 to 144 DPI under the window: the page follows with the new device
// pixel ratio and a CSS width that still fills the webview.
TEST_F(AppChromiumTest, APageFollowsTheMonitorsDpi) {
  auto webview = openMain("dpi");
  ASSERT_TRUE(webview);
  EXPECT_EQ(webview->evaluateScriptSync("devicePixelRatio"), "1");
  desk::test::setMonitorDpi(desk::test::monitors()[0], 144);
  std::string ratio;
  EXPECT_TRUE(pumpUntil([&] {
    ratio = webview->evaluateScriptSync("devicePixelRatio");
    return ratio == "1.5";
  }, 10s)) << ratio;
  const double cssWidth = std::stod(webview->evaluateScriptSync("innerWidth"));
  EXPECT_NEAR(cssWidth, webview->size().width / 1.5, 1.0);
  desk::test::setMonitorDpi(desk::test::monitors()[0], 96);
  pumpUntil([&] { return webview->evaluateScriptSync("devicePixelRatio") == "1"; }, 10s);
}


// Channel data reaches the page function once and is not kept afterwards.
TEST_F(AppChromiumTest, ChannelDataIsHandedOverOnce) {
  auto webview = openMain("channel");
  ASSERT_TRUE(webview);
  webview->evaluateScriptSync("window.got = []; window._4242 = r => window.got.push(r); 0");
  webview->sendChannelData(4242, json{{"photos", {1, 2, 3}}, {"title", "x'\"</script>"}});
  const std::string got = awaitValue(*webview, "window.got.length ? window.got : null");
  pumpFor(300ms);  // a second delivery would have arrived by now
  EXPECT_EQ(json::parse(webview->evaluateScriptSync("window.got")),
            json::parse(R"([{"photos": [1, 2, 3], "title": "x'\"</script>"}])"))
      << got;
  json out;
  for (uint32_t id = 0; id < 64; ++id) EXPECT_FALSE(webview->takeChannelData(id, out, false)) << id;
}

// A plugin call from the page and one from a dedicated worker whose script the bundle serves are
// both answered on the plugin request queue.
TEST_F(AppChromiumTest, PluginCallsFromThePageAndAWorkerAreAnsweredOnThePluginQueue) {
  auto webview = openMain("plugins");
  ASSERT_TRUE(webview);
  webview->evaluateScriptSync(
      "fetch('/plugin?name=probe&event=where', {method: 'POST', headers: {'Content-Type': "
      "'application/json'}, body: JSON.stringify({from: 'page'})}).then(r => r.json())"
      "  .then(j => window.fromPage = j, e => window.fromPage = {error: String(e)});"
      "const w = new Worker('/tests/worker.js');"
      "w.onmessage = m => window.fromWorker = m.data;"
      "w.onerror = e => window.fromWorker = {error: 'worker failed'}; 0");
  EXPECT_EQ(json::parse(awaitValue(*webview, "window.fromPage")),
            json({{"onPluginQueue", true}, {"from", "page"}}));
  EXPECT_EQ(json::parse(awaitValue(*webview, "window.fromWorker")),
            json({{"onPluginQueue", true}, {"from", "worker"}}));
}

// Closing the window while a plugin call hangs on the request queue: the window goes at once,
// and the late answer, once the plugin lets go, reaches nothing and holds nothing.
TEST_F(AppChromiumTest, ClosingWithASlowRequestPending) {
  auto webview = openMain("slow");
  ASSERT_TRUE(webview);
  std::weak_ptr<zrk::ZrkWebview> weak = webview;
  webview->evaluateScriptSync(
      "fetch('/plugin?name=probe&event=slow', {method: 'POST', headers: {'Content-Type': "
      "'application/json'}, body: '{}'}).then(r => window.slowStatus = r.status); 0");
  // The request reaches the plugin through the UI thread: pump while waiting for it.
  ASSERT_TRUE(pumpUntil([&] {
    std::lock_guard<std::mutex> lock(probe->mutex);
    return probe->slowStarted > 0;
  }, 20s));
  webview.reset();
  const desk::HWND hwnd = window->nativeHandle();
  window->destroy();
  EXPECT_FALSE(desk::IsWindow(hwnd));
  EXPECT_EQ(zrk::App::instance()->findWindow("slow"), nullptr);
  window.reset();
  probe->release();
  EXPECT_TRUE(pumpUntil([&] { return weak.expired(); }, 10s));
  pumpFor(200ms);
}

}  // namespace
