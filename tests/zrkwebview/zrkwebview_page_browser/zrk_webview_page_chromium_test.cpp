// The engine webview's page-facing parts in the real Chromium: alert, confirm and prompt answered
// through the dialog script, the page's mouse reports reaching the window, files dropped on a
// page's zone, and the page printed to PDF.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "desk/dialog.h"
#include "desk/dragdrop.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/window.h"
#include "support/chromium_suite.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/dialogs/modal-dialogs.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int kIdOk = 1, kIdCancel = 2;

using pel::chromium::pumpFor;
using pel::chromium::pumpUntil;

class RecordingApp : public zrk::App {
 public:
  void emit(const std::string& event, const std::string& payload, const std::string& label,
            const std::string& kind) override {
    emitted.push_back(event + " " + label + " " + kind + " " + payload);
    servedBy.push_back(nullptr);
  }
  void emitToWebview(const std::shared_ptr<zrk::Webview>& webview, const std::string& event,
                     const std::string& payload, const std::string& label,
                     const std::string& kind) override {
    emitted.push_back(event + " " + label + " " + kind + " " + payload);
    servedBy.push_back(webview.get());
  }
  std::vector<std::string> emitted;
  // The one webview each event was meant for (null: every matching one).
  std::vector<const zrk::Webview*> servedBy;
};
RecordingApp& app() { return static_cast<RecordingApp&>(*zrk::App::instance()); }

class TestWindow : public zrk::Window {
 public:
  zrk::FloatSize innerSize() override { return {800, 600}; }
  zrk::FloatPoint innerPosition() override { return {}; }
  double deviceScaleFactor() override { return scale; }
  void setNative(desk::HWND h) { nativeHandle_ = h; }
  double scale = 1.0;
};

class Domains : public zrk::WindowDelegate {
 public:
  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return "pelmora"; }
  std::vector<std::string> webResourceDomains() const override { return {".pelmora"}; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>&) override {}
};

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
  void onNavigationCompleted(zrk::Webview*) override { ++completed; }
  void onWebMessage(const std::string& message) override { messages.push_back(message); }
  void injectScripts() override {}
  std::mutex mutex;
  std::map<std::string, std::string> pages;
  std::vector<std::string> messages;
  std::atomic<int> completed{0};
};

std::vector<std::pair<desk::UINT, desk::LPARAM>>& posted() {
  static std::vector<std::pair<desk::UINT, desk::LPARAM>> list;
  return list;
}
desk::LRESULT topProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
  if (m >= desk::WM_MOUSEMOVE && m <= desk::WM_RBUTTONUP) posted().emplace_back(m, l);
  return desk::DefWindowProc(h, m, w, l);
}

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

class ZrkWebviewPageChromiumTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    zrk::App::setFactory([] { return std::make_shared<RecordingApp>(); });
    pel::chromium::Suite::begin("zrkpage");
    folder = pel::chromium::Suite::folder();
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = topProc;
    wc.lpszClassName = u"ZrkPageChromiumTop";
    desk::RegisterClassEx(&wc);
  }
  static void TearDownTestSuite() { pel::chromium::Suite::end(); }
  void SetUp() override {
    top = desk::CreateWindowEx(0, u"ZrkPageChromiumTop", u"top", desk::WS_POPUP | desk::WS_VISIBLE, 0, 0, 800, 600,
                               nullptr, nullptr, nullptr, nullptr);
    window = std::make_shared<TestWindow>();
    window->setDelegate(&domains);
    window->setNative(top);
    webview = zrk::ZrkWebview::make("page", window.get());
    delegate = std::make_shared<PageDelegate>(window, webview);
    webview->setDelegate(delegate);
    bool done = false, ok = false;
    webview->create({}, [&](zrk::Webview*, bool r) { done = true, ok = r; });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    ASSERT_TRUE(ok);
    posted().clear();
    app().emitted.clear();
    app().servedBy.clear();
  }
  void TearDown() override {
    desk::test::setDialogScript(nullptr);
    if (webview) webview->close();
    pumpFor(50ms);
    window->setNative(nullptr);
    desk::DestroyWindow(top);
  }
  bool load(const std::string& path, const std::string& html) {
    {
      std::lock_guard lock(delegate->mutex);
      delegate->pages[path] = html;
    }
    int before = delegate->completed;
    webview->navigate("https://.pelmora" + path);
    return pumpUntil([&] { return delegate->completed > before; });
  }
  // Runs a script whose dialog the dialog script answers, and gives its result.
  std::string evaluateWithDialog(const std::string& script) {
    std::string result;
    bool done = false;
    webview->evaluateScript(script, [&](const zrk::EvalCallbackContext& c) { result = c.result, done = true; }, false);
    EXPECT_TRUE(pumpUntil([&] { return done; }));
    return result;
  }

  static inline std::string folder;
  Domains domains;
  desk::HWND top = nullptr;
  std::shared_ptr<TestWindow> window;
  std::shared_ptr<zrk::ZrkWebview> webview;
  std::shared_ptr<PageDelegate> delegate;
};

TEST_F(ZrkWebviewPageChromiumTest, AlertConfirmAndPromptAreAnsweredByTheProgramsDialogs) {
  ASSERT_TRUE(load("/dialogs.w", "<!doctype html><title>d</title><p>dialogs</p>"));
  std::vector<std::u16string> captions, messages;
  int button = kIdOk;
  std::u16string typed = u"typed";
  desk::test::setDialogScript([&](desk::HWND d) {
    char16_t buffer[512] = {};
    desk::GetWindowText(d, buffer, 512);
    captions.push_back(buffer);
    desk::GetDlgItemTextW(d, zrk::kMessageId, buffer, 512);
    messages.push_back(buffer);
    if (desk::GetDlgItem(d, zrk::kAlternateId) && button == kIdOk) {
      desk::SetDlgItemTextW(d, zrk::kAlternateId, typed.c_str());
    }
    desk::PostMessage(d, desk::WM_COMMAND, static_cast<desk::WPARAM>(button), 0);
  });
  EXPECT_EQ(evaluateWithDialog("confirm('[TITLE=Delete][OK=Yes][CANCEL=No]:Sure?')"), "true");
  ASSERT_EQ(captions.size(), 1u);
  EXPECT_EQ(captions[0], u"Delete");
  EXPECT_EQ(messages[0], u"Sure?");
  EXPECT_EQ(evaluateWithDialog("prompt('Name?', 'Ann')"), "\"typed\"");
  button = kIdCancel;
  EXPECT_EQ(evaluateWithDialog("confirm('again?')"), "false");
  EXPECT_EQ(evaluateWithDialog("prompt('Name?', 'Ann')"), "null");
  // An alert resumes the page, however long its text.
  button = kIdOk;
  EXPECT_EQ(evaluateWithDialog("alert('x'.repeat(1 << 20)); 'resumed'"), "\"resumed\"");
  EXPECT_EQ(messages.back(), std::u16string(511, u'x'));  // as much as the reading buffer holds
}

TEST_F(ZrkWebviewPageChromiumTest, ClosingWithADialogOpenLetsThePageGo) {
  ASSERT_TRUE(load("/dialog.w", "<!doctype html><title>d</title>"));
  std::vector<desk::HWND> open;
  desk::test::setDialogScript([&](desk::HWND d) { open.push_back(d); });
  std::string result = "pending";
  bool done = false;
  webview->evaluateScript("confirm('stay?')", [&](const zrk::EvalCallbackContext& c) { result = c.result, done = true; },
                          false);
  ASSERT_TRUE(pumpUntil([&] { return !open.empty(); }));
  EXPECT_FALSE(desk::IsWindowEnabled(top));
  webview->close();
  ASSERT_TRUE(pumpUntil([&] { return done; }));
  EXPECT_FALSE(desk::IsWindow(open[0]));
  EXPECT_TRUE(desk::IsWindowEnabled(top));
}

TEST_F(ZrkWebviewPageChromiumTest, APageWithoutTitleBarDragsItsWindowThroughMouseReports) {
  ASSERT_TRUE(load("/mouse.w",
                   "<!doctype html><title>m</title><body style='margin:0'>"
                   "<div id=bar style='height:30px' onmousedown=\"chrome.webview.postMessage({type:'mouse-ldown',"
                   "x:event.clientX,y:event.clientY})\"></div><script>chrome.webview.postMessage('hello')</script>"));
  webview->evaluateScriptSync(
      "document.getElementById('bar').dispatchEvent(new MouseEvent('mousedown', {clientX: 40, clientY: 12}))");
  ASSERT_TRUE(pumpUntil([&] { return !posted().empty(); }, 10s));
  EXPECT_EQ(posted()[0].first, desk::WM_LBUTTONDOWN);
  EXPECT_EQ(posted()[0].second, 12 * 65536 + 40);
  EXPECT_EQ(delegate->messages, std::vector<std::string>{"hello"});
}

TEST_F(ZrkWebviewPageChromiumTest, FilesDroppedOnAZoneReachThePageAsADropzoneEvent) {
  const fs::path png = fs::path(folder) / "pic.png", txt = fs::path(folder) / "note.txt";
  std::ofstream(png) << "png";
  std::ofstream(txt) << "txt";
  ASSERT_TRUE(load("/drop.w",
                   "<!doctype html><title>z</title><body style='margin:0'>"
                   "<div id=drop title=\"a'b\" style='position:absolute;left:100px;top:100px;width:100px;height:50px'>"
                   "</div>"));
  // The zone as the dropzone plugin hands it over, the selector holding quotes.
  webview->runCommand("add_dropzone",
                      nlohmann::json{{"id", "z1"}, {"selector", "div[title=\"a'b\"]"}, {"filter", {{"exts", {"png"}}}}});
  window->scale = 1.5;  // page pixels are physical pixels / 1.5
  EXPECT_EQ(desk::test::dragFiles({png.string()}, desk::POINT{225, 180}, false).hoverEffect, desk::DROPEFFECT_COPY);
  EXPECT_EQ(desk::test::dragFiles({png.string()}, desk::POINT{30, 30}, false).hoverEffect, desk::DROPEFFECT_NONE);
  EXPECT_EQ(desk::test::dragFiles({txt.string()}, desk::POINT{225, 180}, true).effect, desk::DROPEFFECT_NONE);
  EXPECT_TRUE(app().emitted.empty());
  EXPECT_EQ(desk::test::dragFiles({png.string()}, desk::POINT{225, 180}, true).effect, desk::DROPEFFECT_COPY);
  ASSERT_EQ(app().emitted.size(), 1u);
  EXPECT_EQ(app().emitted[0], "zrk://dropzone page Webview {\"paths\":[\"" + png.string() +
                                  "\"],\"targets\":[\"z1\"],\"x\":150,\"y\":120}");
  webview->runCommand("remove_dropzone", nlohmann::json{{"id", "z1"}});
  EXPECT_EQ(desk::test::dragFiles({png.string()}, desk::POINT{225, 180}, true).effect, desk::DROPEFFECT_NONE);
  EXPECT_EQ(app().emitted.size(), 1u);
}

TEST_F(ZrkWebviewPageChromiumTest, ThePagePrintsToAPdfOfItsPaperSize) {
  if (run("command -v pdfinfo").empty()) GTEST_FAIL() << "pdfinfo (poppler-utils) is missing";
  std::string pages;
  for (int i = 0; i < 3; ++i) pages += "<div style='page-break-after:always'>page " + std::to_string(i) + "</div>";
  ASSERT_TRUE(load("/print.w", "<!doctype html><title>p</title>" + pages));
  struct Case {
    const char* name;
    nlohmann::json options;
    const char* size;
  } cases[] = {
      {"portrait", {{"paperWidth", 210}, {"paperHeight", 297}}, "210x297"},
      {"landscape", {{"paperWidth", 210}, {"paperHeight", 297}, {"orientation", 1}}, "297x210"},
  };
  uint32_t handler = 40;
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pdf = folder + "/" + c.name + ".pdf";
    nlohmann::json o = c.options;
    o["pdfFile"] = pdf;
    o["handler"] = ++handler;
    webview->print(o);
    ASSERT_TRUE(pumpUntil([&] { return fs::exists(pdf); }));
    const std::string info = run("pdfinfo '" + pdf + "'");
    int count = 0;
    size_t pagesAt = info.find("Pages:");
    ASSERT_NE(pagesAt, std::string::npos) << info;
    sscanf(info.c_str() + pagesAt, "Pages: %d", &count);
    EXPECT_EQ(count, 3) << info;
    // The page size in whole millimetres (the browser rounds to its own units).
    double w = 0, h = 0;
    size_t at = info.find("Page size:");
    ASSERT_NE(at, std::string::npos) << info;
    sscanf(info.c_str() + at, "Page size: %lf x %lf", &w, &h);
    const std::string mm = std::to_string(std::lround(w / 72 * 25.4)) + "x" + std::to_string(std::lround(h / 72 * 25.4));
    EXPECT_EQ(mm, c.size) << info;
    // No temporary file is left beside it.
    int files = 0;
    for (auto& e : fs::directory_iterator(folder)) files += e.path().string().find(pdf) == 0;
    EXPECT_EQ(files, 1);
  }
}

}  // namespace
