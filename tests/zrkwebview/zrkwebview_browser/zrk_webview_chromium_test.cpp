// The engine webview on the real Chromium, with a window of its own and a delegate that serves
// the pages itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include "support/chromium_suite.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"

using namespace std::chrono_literals;

namespace {

using pel::chromium::pumpFor;
using pel::chromium::pumpUntil;

class TestWindow : public zrk::Window {
 public:
  zrk::FloatSize innerSize() override { return inner; }
  zrk::FloatPoint innerPosition() override { return {}; }
  double deviceScaleFactor() override { return scale; }
  zrk::FloatSize inner{900, 600};
  double scale = 1.0;
};

class TestApp : public zrk::WindowDelegate {
 public:
  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return "pelmora"; }
  std::vector<std::string> webResourceDomains() const override { return {".pelmora"}; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>&) override {}
};

// Serves the pages by path from the request queues, and records what reaches it.
class PageDelegate : public zrk::Webview2Delegate {
 public:
  using Webview2Delegate::Webview2Delegate;
  bool handleRequest(http::HttpRequest* request, http::HttpResponseConnection* connection) override {
    std::string uri = request->uri();
    std::string path = uri.substr(0, uri.find('?'));
    size_t p = path.find("://");
    if (p != std::string::npos) path = path.substr(path.find('/', p + 3));
    std::string body;
    {
      std::lock_guard lock(mutex);
      auto it = pages.find(path);
      if (it == pages.end()) return false;
      body = it->second;
    }
    connection->setStatus(200, "OK");
    connection->addHeader("Content-Type", "text/html; charset=utf-8");
    connection->write(body.data(), body.size());
    connection->finish();
    return true;
  }
  void onTitleChanged(const std::string& title) override {
    std::lock_guard lock(mutex);
    titles.push_back(title);
  }
  void onNavigationCompleted(zrk::Webview*) override { ++completed; }
  void onWebMessage(const std::string& message) override { messages.push_back(message); }
  void injectScripts() override {}

  std::mutex mutex;
  std::map<std::string, std::string> pages;
  std::vector<std::string> titles;
  std::vector<std::string> messages;
  std::atomic<int> completed{0};
};

class ZrkWebviewChromiumTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pel::chromium::Suite::begin("zrkwebview"); }
  static void TearDownTestSuite() { pel::chromium::Suite::end(); }
  void SetUp() override {
    window = std::make_shared<TestWindow>();
    window->setDelegate(&app);
    webview = zrk::ZrkWebview::make("main_webview", window.get());
    delegate = std::make_shared<PageDelegate>(window, webview);
    webview->setDelegate(delegate);
  }
  bool create() {
    bool done = false, ok = false;
    webview->create({}, [&](zrk::Webview*, bool r) { done = true, ok = r; });
    return pumpUntil([&] { return done; }) && ok;
  }
  bool load(const std::string& url) {
    int before = delegate->completed;
    webview->navigate(url);
    return pumpUntil([&] { return delegate->completed > before; });
  }
  void TearDown() override {
    if (webview) webview->close();
    pumpFor(50ms);
  }

  TestApp app;
  std::shared_ptr<TestWindow> window;
  std::shared_ptr<zrk::ZrkWebview> webview;
  std::shared_ptr<PageDelegate> delegate;
};

TEST_F(ZrkWebviewChromiumTest, APageLoadsItsTitleArrivesAndTheDpiIsFollowed) {
  delegate->pages["/main.w"] = "<!doctype html><title>Main page</title><p>main</p>";
  ASSERT_TRUE(create());
  // Document scripts run in the order added, before the page's own.
  webview->addScriptOnDocumentCreated("window.__order = ['a'];", nullptr);
  webview->addScriptOnDocumentCreated("window.__order.push('b');", nullptr);
  delegate->pages["/main.w"] += "<script>window.__order.push('page')</script>";
  ASSERT_TRUE(load("https://.pelmora/main.w"));
  EXPECT_EQ(webview->evaluateScriptSync("window.__order"), "[\"a\",\"b\",\"page\"]");
  ASSERT_TRUE(pumpUntil([&] {
    std::lock_guard lock(delegate->mutex);
    return !delegate->titles.empty() && delegate->titles.back() == "Main page";
  }));
  EXPECT_EQ(webview->evaluateScriptSync("[innerWidth, devicePixelRatio]"), "[900,1]");
  // The monitor goes from 96 to 144 DPI.
  window->scale = 1.5;
  Vesk::TNotificationCenter::defaultCenter()->postNotification(zrk::kWindowResizedNotification,
                                                               static_cast<zrk::Window*>(window.get()));
  EXPECT_EQ(webview->evaluateScriptSync("[innerWidth, devicePixelRatio]"), "[600,1.5]");
}

TEST_F(ZrkWebviewChromiumTest, AFailedDocumentShowsTheErrorPageAndAHostileUrlRunsNothing) {
  ASSERT_TRUE(create());
  const std::string hostile = "https://.pelmora/x'\"><img src=x onerror=\"chrome.webview.postMessage('pwned')\">";
  webview->navigate(hostile);
  ASSERT_TRUE(pumpUntil([&] { return webview->evaluateScriptSync("document.body && document.body.innerText || ''").find("Erro occurred") != std::string::npos; }));
  pumpFor(300ms);
  EXPECT_TRUE(delegate->messages.empty());
  EXPECT_EQ(webview->evaluateScriptSync("document.images.length"), "0");
  // Only the error page's own load is reported, not the failed one.
  EXPECT_EQ(delegate->completed, 1);
}

TEST_F(ZrkWebviewChromiumTest, LinksToOtherHostsOrFilesLeaveThePage) {
  delegate->pages["/links.w"] =
      "<!doctype html><title>links</title><a id=o href='https://elsewhere.example/'>o</a>"
      "<a id=f href='file:///etc/hostname'>f</a><script>window.marker = 7</script>";
  ASSERT_TRUE(create());
  ASSERT_TRUE(load("https://.pelmora/links.w"));
  for (const char* click : {"document.getElementById('o').click()", "document.getElementById('f').click()"}) {
    SCOPED_TRACE(click);
    webview->evaluateScriptSync(click);
    pumpFor(500ms);
    EXPECT_EQ(webview->evaluateScriptSync("[location.href, window.marker]"), "[\"https://.pelmora/links.w\",7]");
  }
}

}  // namespace
