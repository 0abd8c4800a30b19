// The scripts a window runs in its pages: channel messages, the window list, the page attributes
// and the clean-up when a window closes. Their text is checked here and their effect in Node,
// after the real scripts every document starts with.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/window.h"
#include "zrkwebview/webview/page_harness.h"
#include "zrkwebview/window/test_app.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;
using pel::test::PageRun;
using pel::test::RecordingApp;

// A window whose state the test chooses.
class StateWindow : public zrk::Window {
 public:
  bool isMaximized() override { return maximized; }
  bool isMinimized() override { return minimized; }
  bool isMaximizable() override { return maximizable; }
  bool isMinimizable() override { return minimizable; }
  bool isClosable() override { return closable; }
  void setOptions(const zrk::WindowOptions& options) {
    options_ = options;
    parentLabel_ = options.parent;
  }

  bool maximized = false;
  bool minimized = false;
  bool maximizable = true;
  bool minimizable = true;
  bool closable = true;
};

// A page's root element, its events and a marker that hostile text would call.
const char kDomStub[] =
    "globalThis.__attrs = {}; globalThis.__events = []; globalThis.__hacked = false;"
    "globalThis.alert = () => { globalThis.__hacked = true; };"
    "globalThis.hacked = () => { globalThis.__hacked = true; };"
    "globalThis.document = { documentElement: {"
    "  setAttribute(k, v) { __attrs[k] = String(v); }, removeAttribute(k) { delete __attrs[k]; } },"
    "  addEventListener() {} };"
    "globalThis.Event = class { constructor(type) { this.type = type; } };"
    "globalThis.dispatchEvent = (e) => { __events.push(e.type); return true; };";

class WindowBridgeTest : public ::testing::Test {
 protected:
  std::shared_ptr<StateWindow> addWindow(const std::string& label, const std::string& parent = "") {
    auto window = std::make_shared<StateWindow>();
    window->setLabel(label);
    window->setDelegate(&app);
    zrk::WindowOptions options;
    options.parent = parent;
    window->setOptions(options);
    app.addWindow(window, false);
    return window;
  }
  static std::shared_ptr<FakeWebview> addWebview(const std::shared_ptr<zrk::Window>& window,
                                                 const std::string& label) {
    auto webview = std::make_shared<FakeWebview>(label, window.get());
    window->addWebview(webview, true);
    return webview;
  }
  // The scripts every document of that webview starts with (then forgotten by the fake).
  static std::vector<std::string> injected(const std::shared_ptr<zrk::Window>& window,
                                           const std::shared_ptr<FakeWebview>& webview) {
    auto delegate = std::make_shared<zrk::Webview2Delegate>(window, webview);
    webview->setDelegate(delegate);
    delegate->injectScripts();
    auto scripts = webview->documentScripts();
    webview->clearRecords();
    return scripts;
  }
  static json runPage(std::vector<std::string> scripts, const std::string& probe) {
    PageRun page;
    page.scripts = std::move(scripts);
    page.probe = probe;
    const auto results = pel::test::runPages({page});
    if (results.size() != 1) return json();
    return results[0];
  }
  static std::vector<std::string> concat(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  RecordingApp app;
};

TEST_F(WindowBridgeTest, ChannelMessagesReachOnlyTheirCallback) {
  auto window = addWindow("main");
  auto webview = addWebview(window, "main_webview");
  const auto prelude = injected(window, webview);

  window->sendChannelMessage("__channel__:42", R"({"text":"it's \"quoted\" \\ done"})", 3, "");
  // A callback the page no longer has; a channel id trying to leave its literal.
  window->sendChannelMessage("__channel__:77", "{}", 1, "");
  window->sendChannelMessageJson("__channel__:42'];hacked();//", json{{"x", 1}}, 2, "");
  // Text that is not UTF-8 is replaced, not thrown.
  EXPECT_NO_THROW(window->sendChannelMessageJson("__channel__:42", json("bad \xff"), 4, ""));
  // Another webview's label reaches nothing here.
  window->sendChannelMessage("__channel__:42", "{}", 5, "elsewhere");
  const auto scripts = webview->scripts();
  ASSERT_EQ(scripts.size(), 4u);
  EXPECT_EQ(webview->flags(), std::vector<bool>(4, false));

  const json result = runPage(
      concat(prelude, concat({"globalThis.seen = []; window._42 = (m) => seen.push(m);"
                              "globalThis.hacked = () => seen.push('HACKED');"},
                             scripts)),
      "seen");
  ASSERT_TRUE(result.is_object()) << "is node installed?";
  EXPECT_EQ(result["errors"], json::array());
  EXPECT_EQ(result["probe"],
            json::parse(R"([{"message": {"text": "it's \"quoted\" \\ done"}, "id": 3},
                            {"message": "bad \ufffd", "id": 4}])"));
}

TEST_F(WindowBridgeTest, WindowListNamesEveryWindowWithItsParent) {
  auto main = addWindow("main");
  auto child = addWindow("child", "main");
  auto mainView = addWebview(main, "main_webview");
  auto childView = addWebview(child, "main_webview");
  const auto prelude = injected(main, mainView);
  childView->clearRecords();

  child->initPageMetadata();
  child->initPageMetadata();
  // Listed once however often it runs; the script goes to every webview of every window.
  EXPECT_EQ(app.listed(child), 1u);
  ASSERT_EQ(mainView->documentScripts().size(), 2u);
  ASSERT_EQ(childView->documentScripts().size(), 2u);
  EXPECT_EQ(mainView->documentScripts()[1], childView->documentScripts()[1]);

  const json result =
      runPage(concat(prelude, {kDomStub, mainView->documentScripts()[1]}),
              "({ windows: __zrk_internals__.metadata.windows, attrs: __attrs, events: __events })");
  ASSERT_TRUE(result.is_object()) << "is node installed?";
  EXPECT_EQ(result["errors"], json::array());
  EXPECT_EQ(result["probe"]["windows"],
            json::parse(R"([{"label": "main"}, {"label": "child", "parent": "main"}])"));
  EXPECT_EQ(result["probe"]["attrs"]["platform"], "windows");
  EXPECT_EQ(result["probe"]["events"], json::array({"_$updatePageAttribute_ready"}));
}

TEST_F(WindowBridgeTest, PageAttributesOfTheSecondWebview) {
  auto window = addWindow("main");
  zrk::WindowOptions options;
  options.hiddenTitle = true;
  options.titleBarRect = zrk::FloatRect{0, 0, 812.7f, 40};
  window->setOptions(options);
  window->maximized = true;
  window->closable = false;
  auto first = addWebview(window, "first");
  auto second = addWebview(window, "second");
  const auto prelude = injected(window, first);
  window->initPageMetadata();
  const std::string listScript = first->documentScripts().back();
  first->clearRecords();
  second->clearRecords();

  window->updatePageAttributes("second");
  window->updatePageAttributes("none such");
  EXPECT_TRUE(first->scripts().empty());
  const auto scripts = second->scripts();
  ASSERT_EQ(scripts.size(), 2u);
  EXPECT_EQ(scripts[0], "_$updatePageAttribute('tbrect', '[0, 0, 812, 40]')");

  const json result = runPage(concat(prelude, concat({kDomStub, listScript}, scripts)),
                              "({ attrs: __attrs, events: __events })");
  ASSERT_TRUE(result.is_object()) << "is node installed?";
  EXPECT_EQ(result["errors"], json::array());
  EXPECT_EQ(result["probe"]["attrs"], json::parse(R"({"platform": "windows",
      "tbrect": "[0, 0, 812, 40]", "vlabel": "second", "vid": "1", "state": "maximized",
      "closable": "0"})"));
  EXPECT_EQ(result["probe"]["events"].back(), "zrk-page-updated");
}

// Which pieces the attribute script carries for each state, and the title-bar rectangle's
// numbers (clamped to int32 before truncation).
TEST_F(WindowBridgeTest, AttributeScriptPieces) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct Case {
    const char* name;
    bool maximized, minimized, maximizable, minimizable, closable, hiddenTitle;
    std::optional<zrk::FloatRect> rect;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {"plain", false, false, true, true, true, false, std::nullopt, {},
       {"'state'", "'maximizable'", "'minimizable'", "'closable'", "tbrect"}},
      {"minimized", false, true, true, true, true, false, std::nullopt,
       {"_$updatePageAttribute('state', 'minimized');"}, {"'maximized'"}},
      {"maximized wins", true, true, true, true, true, false, std::nullopt,
       {"_$updatePageAttribute('state', 'maximized');"}, {"'minimized'"}},
      {"no buttons", false, false, false, false, true, false, std::nullopt,
       {"_$updatePageAttribute('maximizable', '0');", "_$updatePageAttribute('minimizable', '0');"},
       {"'closable'"}},
      {"title bar: no tbrect", false, false, true, true, true, false,
       zrk::FloatRect{0, 0, 100, 40}, {}, {"tbrect"}},
      {"no rectangle: no tbrect", false, false, true, true, true, true, std::nullopt, {},
       {"tbrect"}},
      {"clamped", false, false, true, true, true, true,
       zrk::FloatRect{3e9f, -3e9f, std::nanf(""), inf},
       {"_$updatePageAttribute('tbrect', '[2147483647, -2147483648, 0, 2147483647]')"}, {}},
      {"toward zero", false, false, true, true, true, true,
       zrk::FloatRect{-0.9f, 1.9f, -812.7f, 40.0f},
       {"_$updatePageAttribute('tbrect', '[0, 1, -812, 40]')"}, {}},
  };
  for (const auto& c : cases) {
    auto window = std::make_shared<StateWindow>();
    window->maximized = c.maximized;
    window->minimized = c.minimized;
    window->maximizable = c.maximizable;
    window->minimizable = c.minimizable;
    window->closable = c.closable;
    zrk::WindowOptions options;
    options.hiddenTitle = c.hiddenTitle;
    options.titleBarRect = c.rect;
    window->setOptions(options);
    auto webview = addWebview(window, "v");
    window->updatePageAttributes("v");
    std::string all;
    for (const auto& s : webview->scripts()) all += s + "\n";
    EXPECT_NE(all.find("_$updatePageAttribute('vlabel','v');_$updatePageAttribute('vid','0');"),
              std::string::npos)
        << c.name;
    for (const auto& p : c.present) EXPECT_NE(all.find(p), std::string::npos) << c.name << ": " << p;
    for (const auto& a : c.absent) EXPECT_EQ(all.find(a), std::string::npos) << c.name << ": " << a;
  }
}

// Pages choose window and webview labels: whatever they hold arrives as text and runs nothing.
TEST_F(WindowBridgeTest, HostileLabelsArriveIntact) {
  const std::vector<std::string> labels = {"a'b\\c", "');alert(1);('", "\"]}'); hacked(); //",
                                           "line\nbreak\u2028sep", "</script>{windows}"};
  auto host = addWindow("host");
  auto hostView = addWebview(host, "main_webview");
  const auto prelude = injected(host, hostView);
  for (const auto& label : labels) {
    auto window = addWindow(label);
    auto webview = addWebview(window, label);
    window->initPageMetadata();
    window->updatePageAttributes(label);
    const auto scripts = webview->scripts();
    ASSERT_EQ(scripts.size(), 1u);
    const json result =
        runPage(concat(prelude, {kDomStub, hostView->documentScripts().back(), scripts[0]}),
                "({ windows: __zrk_internals__.metadata.windows.map((w) => w.label),"
                " vlabel: __attrs.vlabel, hacked: __hacked })");
    ASSERT_TRUE(result.is_object()) << "is node installed?";
    EXPECT_EQ(result["errors"], json::array()) << label;
    EXPECT_EQ(result["probe"]["windows"].back(), label);
    EXPECT_EQ(result["probe"]["vlabel"], label);
    EXPECT_EQ(result["probe"]["hacked"], false) << label;
  }
}

TEST_F(WindowBridgeTest, ClosingOneWindowTellsTheOthersAndTheLastQuits) {
  const std::string closedLabel = "');alert(1);('";
  auto keep = addWindow("keep");
  auto closing = addWindow(closedLabel);
  auto keepView = addWebview(keep, "kv");
  auto closingView = addWebview(closing, "cv");
  const auto prelude = injected(keep, keepView);

  auto& dispatcher = zrk::EventDispatcher::instance();
  const uint64_t keepListener = dispatcher.listen(9, "zrk://destroyed", "Window", "keep");
  keep->addEventListener(keepListener, "zrk://destroyed");
  const uint64_t closedWindowListener = dispatcher.listen(10, "zrk://resize", "Window", closedLabel);
  closing->addEventListener(closedWindowListener, "zrk://resize");
  const uint64_t closedViewListener = dispatcher.listen(11, "zrk://focus", "Webview", "cv");

  keep->initPageMetadata();
  const std::string listScript = keepView->documentScripts().back();
  keepView->clearRecords();

  closing->onClosed();
  EXPECT_EQ(closingView->closeCount(), 1);
  EXPECT_EQ(keepView->closeCount(), 0);
  EXPECT_EQ(app.windows(), std::vector<std::shared_ptr<zrk::Window>>{keep});
  EXPECT_EQ(dispatcher.find(closedWindowListener), nullptr);
  EXPECT_EQ(dispatcher.find(closedViewListener), nullptr);
  EXPECT_NE(dispatcher.find(keepListener), nullptr);
  EXPECT_TRUE(app.quits().empty());
  EXPECT_TRUE(closingView->scripts().empty());
  const auto scripts = keepView->scripts();
  ASSERT_EQ(scripts.size(), 2u);

  const json result = runPage(
      concat(prelude, concat({kDomStub, listScript, "globalThis.got = []; window._9 = (e) => got.push(e);"},
                             scripts)),
      "({ windows: __zrk_internals__.metadata.windows.map((w) => w.label), got, hacked: __hacked })");
  ASSERT_TRUE(result.is_object()) << "is node installed?";
  EXPECT_EQ(result["errors"], json::array());
  EXPECT_EQ(result["probe"]["windows"], json::array({"keep"}));
  ASSERT_EQ(result["probe"]["got"].size(), 1u);
  EXPECT_EQ(result["probe"]["got"][0]["event"], "zrk://destroyed");
  EXPECT_EQ(result["probe"]["got"][0]["payload"], json({{"label", closedLabel}}));
  EXPECT_EQ(result["probe"]["hacked"], false);

  keep->onClosed();
  EXPECT_EQ(app.quits(), std::vector<uint32_t>{0});
  EXPECT_EQ(dispatcher.find(keepListener), nullptr);
}

TEST_F(WindowBridgeTest, EmitReachesTheWindowsListenersInTheNamedWebview) {
  auto window = addWindow("main");
  auto a = addWebview(window, "a");
  auto b = addWebview(window, "b");
  auto& dispatcher = zrk::EventDispatcher::instance();
  const uint64_t id = dispatcher.listen(5, "zrk://move", "Window", "main");
  window->addEventListener(id, "zrk://move");
  window->emit("zrk://move", json{{"x", 1}}, "b");
  EXPECT_TRUE(a->scripts().empty());
  EXPECT_EQ(b->scripts().size(), 1u);
  window->emit("zrk://move", json{{"x", 2}}, "");
  EXPECT_EQ(a->scripts().size(), 1u);
  EXPECT_EQ(b->scripts().size(), 2u);
  window->emit("zrk://other", json{{"x", 3}}, "");
  EXPECT_EQ(a->scripts().size(), 1u);
  dispatcher.unlisten(id);
}

}  // namespace
