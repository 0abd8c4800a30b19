// The clipboard change listener on a plugin request queue, as in the program: the window lives on
// the queue's thread, whose loop hands it WM_CLIPBOARDUPDATE between tasks. The test's main thread
// stands in for the UI thread and for the other programs that change the clipboard.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/clipboard.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-monitor.h"
#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;

struct Emitted {
  std::string event;
  std::string payload;
  std::string label;
  std::string kind;
};

// Records every page event instead of delivering it.
class RecordingApp : public zrk::App {
 public:
  void emit(const std::string& event, const std::string& payload, const std::string& label,
            const std::string& kind) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({event, payload, label, kind});
  }
  std::vector<Emitted> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Emitted> out;
    out.swap(events_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<Emitted> events_;
};

std::shared_ptr<RecordingApp> app() {
  static const bool factorySet = [] {
    zrk::App::setFactory([] { return std::make_shared<RecordingApp>(); });
    return true;
  }();
  (void)factorySet;
  return std::dynamic_pointer_cast<RecordingApp>(zrk::App::instance());
}

class ClipboardListenerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dispatch_init();
    queue_ = dispatch_create_queue("plugin-requests-1");
  }
  static void TearDownTestSuite() {
    onQueue([] { zrk::plugin::stopClipboardMonitor(); });
    dispatch_shutdown();
  }
  void SetUp() override {
    ASSERT_NE(queue_, nullptr);
    ASSERT_NE(app(), nullptr);
    onQueue([] { zrk::plugin::stopClipboardMonitor(); });
    desk::test::resetClipboard();
    app()->take();
  }

  static void onQueue(const std::function<void()>& work) { dispatch_sync(queue_, work); }

  // Runs a clipboard command on the plugin request queue.
  static std::string command(const std::string& name, bool onPluginThread = true) {
    std::string text;
    auto run = [&] {
      static zrk::plugin::ClipboardPlugin plugin;
      static auto webview = std::make_shared<pel::test::FakeWebview>();
      pel::test::FakeRequest request("POST", "https://pelma/plugin?name=clipboard");
      auto result = plugin.invoke(name, webview.get(), nullptr, &request, json::object());
      if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
        text = mime->body();
      } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
        text = std::to_string(status->status()) + " " + status->statusMessage();
      }
    };
    if (onPluginThread) {
      onQueue(run);
    } else {
      run();
    }
    return text;
  }

  // The events of the changes made so far: the queue has handled every message posted before.
  static std::vector<Emitted> events() {
    onQueue([] {});
    return app()->take();
  }

  static dispatch_queue_t queue_;
};
dispatch_queue_t ClipboardListenerTest::queue_ = nullptr;

TEST_F(ClipboardListenerTest, EachChangeSendsItsKindOnce) {
  EXPECT_EQ(command("is-listening"), "false");
  EXPECT_EQ(command("start-listening"), "true");
  EXPECT_EQ(command("start-listening"), "true");
  EXPECT_EQ(command("is-listening"), "true");
  EXPECT_EQ(desk::test::clipboardListenerCount(), 1u);  // one window, once registered

  const desk::UINT html = desk::RegisterClipboardFormatW(u"HTML Format");
  const std::string text = std::string("t") + '\0';
  struct Case {
    const char* name;
    std::vector<desk::test::ForeignFormat> formats;
    bool heldOpen;
    int kind;
  } cases[] = {
      {"text and HTML", {{html, "<b>t</b>", {}}, {desk::CF_UNICODETEXT, std::string("t\0\0\0", 4), {}}}, false, 1},
      {"ANSI text only", {{desk::CF_TEXT, text, {}}}, false, 1},
      {"HTML only", {{html, "<b>t</b>", {}}}, false, 2},
      {"an image", {{desk::CF_DIB, std::string(44, '\0'), {}}, {html, "x", {}}}, false, 4},
      {"files", {{desk::CF_HDROP, std::string(20, '\0'), {}}}, false, 5},
      {"files and HTML", {{html, "x", {}}, {desk::CF_HDROP, std::string(20, '\0'), {}}}, false, 5},
      {"a private format", {{desk::RegisterClipboardFormatW(u"Private"), "p", {}}}, false, 6},
      {"emptied", {}, false, 6},
      {"held open by its writer", {{desk::CF_TEXT, text, {}}}, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desk::test::holdClipboardOpen(c.heldOpen);
    desk::test::placeForeign(c.formats);
    const auto got = events();
    desk::test::holdClipboardOpen(false);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].event, "zrk://clipboard-changed");
    EXPECT_EQ(got[0].payload, (json{{"type", c.kind}}.dump()));
    // Every listener in every page: no target.
    EXPECT_EQ(got[0].label, "");
    EXPECT_EQ(got[0].kind, "");
  }

  // The plugin's own writes count; opening and closing without a change does not.
  EXPECT_EQ(command("stop-listening", false).substr(0, 3), "200");  // from another thread
  EXPECT_EQ(command("start-listening"), "true");
  command("set_text");
  EXPECT_EQ(events().size(), 1u);
  onQueue([] {
    ASSERT_TRUE(desk::OpenClipboard(nullptr));
    desk::CloseClipboard();
  });
  EXPECT_TRUE(events().empty());
}

TEST_F(ClipboardListenerTest, StopFromAnyThreadEndsEventsAndRestartWorks) {
  ASSERT_EQ(command("start-listening"), "true");
  const desk::HWND first = zrk::plugin::ClipboardMonitor::instance().window;
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(desk::IsWindow(first));

  // Stopped from a thread that is not the window's: the window goes on its own thread.
  std::thread([] { zrk::plugin::stopClipboardMonitor(); }).join();
  EXPECT_FALSE(desk::IsWindow(first));
  EXPECT_EQ(command("is-listening"), "false");
  EXPECT_EQ(desk::test::clipboardListenerCount(), 0u);
  desk::test::placeForeign({{desk::CF_TEXT, std::string("x") + '\0', {}}});
  EXPECT_TRUE(events().empty());

  // Stopping again is harmless; starting again works although the class exists.
  EXPECT_EQ(command("stop-listening"), "200 OK");
  EXPECT_EQ(command("start-listening"), "true");
  const desk::HWND second = zrk::plugin::ClipboardMonitor::instance().window;
  EXPECT_NE(second, first);
  desk::test::emptyForeign();
  const auto got = events();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, "{\"type\":6}");

  // A change posted just before a stop on the window's own thread says nothing after it.
  onQueue([] {
    desk::test::placeForeign({{desk::CF_TEXT, std::string("y") + '\0', {}}});
    zrk::plugin::stopClipboardMonitor();
  });
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(desk::IsWindow(second));
}

}  // namespace
