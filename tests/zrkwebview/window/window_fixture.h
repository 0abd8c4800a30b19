// The fixtures of the native-window tests: a webview maker whose fake creations complete when the
// test says so, a window list, and a window with its main webview whose delivered page events
// can be read back. The test's main thread is the UI thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/attributes.h"
#include "desk/registry.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/window/test_app.h"

namespace pel::test {

using nlohmann::json;

// Makes fake webviews; their creation completes when the test says so, as an engine's would
// later on the UI thread.
class TestMaker {
 public:
  TestMaker() {
    zrk::setWebviewMaker([this](const std::string& label, zrk::Window* window,
                                const zrk::WebviewOptions& options,
                                zrk::Webview::CreateCompletion completion) {
      auto webview = std::make_shared<FakeWebview>(label, window);
      if (options.resizingMask) webview->setResizingMask(*options.resizingMask);
      std::lock_guard<std::mutex> lock(mutex_);
      made_.push_back(webview);
      pending_.push_back({webview, std::move(completion)});
      return webview;
    });
  }
  ~TestMaker() { zrk::setWebviewMaker(nullptr); }

  // Completes every creation still pending with that outcome.
  void completeAll(bool succeeded = true) {
    std::vector<Pending> pending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending.swap(pending_);
    }
    for (auto& p : pending) p.completion(p.webview.get(), succeeded);
  }
  std::vector<std::shared_ptr<FakeWebview>> made() {
    std::lock_guard<std::mutex> lock(mutex_);
    return made_;
  }

 private:
  struct Pending {
    std::shared_ptr<FakeWebview> webview;
    zrk::Webview::CreateCompletion completion;
  };
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeWebview>> made_;
  std::vector<Pending> pending_;
};

std::string dword(uint32_t value) {
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}


class WinWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool dispatchStarted = [] {
      dispatch_init();
      return true;
    }();
    (void)dispatchStarted;
    desk::test::reset();
    desk::useMemoryRegistry();
    desk::test::clearRegistryRefusals();
    desk::test::failDwm(desk::S_OK);
  }
  void TearDown() override {
    for (const auto& window : app.windows()) {
      if (desk::IsWindow(window->nativeHandle())) desk::DestroyWindow(window->nativeHandle());
    }
    desk::test::pump();
  }

  std::shared_ptr<zrk::WinWindow> make(const std::string& label, zrk::WindowOptions options = {},
                                       const std::string& url = "https://zrk.test/page.w") {
    return std::dynamic_pointer_cast<zrk::WinWindow>(zrk::createWindow(&app, label, url, options));
  }

  RecordingApp app;
  TestMaker maker;
};

// A window and its main webview, with the page events it announces recorded as delivered.
struct Page {
  std::shared_ptr<zrk::WinWindow> window;
  std::shared_ptr<FakeWebview> view;
  desk::HWND hwnd = nullptr;
  std::vector<uint64_t> listeners;

  // The page listens for `event` on its window.
  void listen(const std::string& event) {
    const uint64_t id = zrk::EventDispatcher::instance().listen(77, event, "Window", window->label());
    window->addEventListener(id, event);
    listeners.push_back(id);
  }
  // The events delivered since the last call, as {"event", "payload"}; other scripts in `scripts`.
  std::vector<json> events(std::vector<std::string>* scripts = nullptr) {
    std::vector<json> found;
    const std::string open = "){ window['_77'](";
    for (const auto& s : view->scripts()) {
      const size_t at = s.find(open);
      const size_t end = s.rfind("); } })();");
      if (at == std::string::npos || end == std::string::npos) {
        if (scripts != nullptr) scripts->push_back(s);
        continue;
      }
      json delivered = json::parse(s.substr(at + open.size(), end - at - open.size()));
      found.push_back({{"event", delivered["event"]},
                       {"payload", delivered.contains("payload") ? delivered["payload"] : json()}});
    }
    view->clearRecords();
    return found;
  }
  ~Page() {
    for (uint64_t id : listeners) zrk::EventDispatcher::instance().unlisten(id);
  }
};

class WindowProcedureTest : public WinWindowTest {
 protected:
  Page open(const std::string& label, bool titleBar, int x = 100, int y = 100, int w = 800,
            int h = 600) {
    zrk::WindowOptions options;
    options.hiddenTitle = !titleBar;
    options.x = x;
    options.y = y;
    options.width = w;
    options.height = h;
    Page page;
    page.window = make(label, options);
    page.hwnd = page.window->nativeHandle();
    page.view = std::dynamic_pointer_cast<FakeWebview>(page.window->findWebview("main_webview"));
    page.view->clearRecords();
    return page;
  }
};

// Records the thread each change of one window is made on: the layer tells its observers on the
// thread that made the change.
class ChangeThreads : public desk::WindowObserver {
 public:
  explicit ChangeThreads(desk::HWND hwnd) : hwnd_(hwnd) { desk::addWindowObserver(this); }
  ~ChangeThreads() override { desk::removeWindowObserver(this); }
  void onWindowEvent(const desk::WindowEvent& event) override {
    if (event.hwnd != hwnd_ || event.kind != desk::WindowEvent::Kind::Changed) return;
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.insert(desk::GetCurrentThreadId());
  }
  std::set<desk::DWORD> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  desk::HWND hwnd_;
  std::mutex mutex_;
  std::set<desk::DWORD> threads_;
};

}  // namespace pel::test
