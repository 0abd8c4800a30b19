// The application's window list, page-event delivery and the process-wide configuration.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/fake_webview.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/shared-data-store.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/window.h"

namespace {

using WindowPtr = std::shared_ptr<zrk::Window>;

WindowPtr makeWindow(const std::string& label) {
  auto w = std::make_shared<zrk::Window>();
  w->setLabel(label);
  return w;
}

std::vector<zrk::Window*> contents(zrk::App& app) {
  std::vector<zrk::Window*> out;
  app.forEachWindow([&](const WindowPtr& w) { out.push_back(w.get()); });
  return out;
}

// Records what the application asks the page to deliver.
class RecordingDelegate : public zrk::WebviewDelegate {
 public:
  struct Call {
    std::string event, payload, ids;
  };
  using zrk::WebviewDelegate::WebviewDelegate;
  void emit(const std::string& event, const std::string& payload,
            const std::string& ids) override {
    calls.push_back({event, payload, ids});
  }
  std::vector<Call> calls;
};

TEST(AppWindowList, OperationsTable) {
  // Each step works on the windows w[0..4]; "expect" is the list afterwards, by index.
  struct Step {
    const char* what;
    std::function<void(zrk::App&, std::vector<WindowPtr>&)> run;
    std::vector<int> expect;
  };
  std::vector<WindowPtr> w = {makeWindow("a"), makeWindow("b"), makeWindow("a"), makeWindow("c"),
                              makeWindow("d")};
  const std::vector<Step> steps = {
      {"add all", [](auto& app, auto& w) { for (auto& x : w) app.addWindow(x, true); },
       {0, 1, 2, 3, 4}},
      {"unique add of a present window", [](auto& app, auto& w) { app.addWindow(w[3], true); },
       {0, 1, 2, 3, 4}},
      {"non-unique add", [](auto& app, auto& w) { app.addWindow(w[3], false); },
       {0, 1, 2, 3, 4, 3}},
      {"remove the first of a doubled window", [](auto& app, auto& w) { app.removeWindow(w[3]); },
       {0, 1, 2, 4, 3}},
      {"remove the last", [](auto& app, auto& w) { app.removeWindow(w[3]); }, {0, 1, 2, 4}},
      {"remove at an odd position", [](auto& app, auto& w) { app.removeWindow(w[1]); },
       {0, 2, 4}},
      {"remove null and absent", [](auto& app, auto& w) {
         app.removeWindow(nullptr);
         app.removeWindow(w[1]);
       }, {0, 2, 4}},
      {"remove by a shared label takes the first", [](auto& app, auto&) {
         app.removeWindowByLabel("a");
       }, {2, 4}},
      {"remove by an unknown label", [](auto& app, auto&) { app.removeWindowByLabel("zz"); },
       {2, 4}},
      {"remove all", [](auto& app, auto&) { app.removeAllWindows(); }, {}},
  };
  zrk::App app;
  for (const auto& step : steps) {
    step.run(app, w);
    std::vector<zrk::Window*> expected;
    for (int i : step.expect) expected.push_back(w[i].get());
    EXPECT_EQ(contents(app), expected) << step.what;
    EXPECT_EQ(app.windowCount(), expected.size()) << step.what;
    for (int i = 0; i < 5; ++i) {
      bool in = std::find(step.expect.begin(), step.expect.end(), i) != step.expect.end();
      EXPECT_EQ(app.containsWindow(w[i]), in) << step.what << " window " << i;
    }
  }
}

TEST(AppWindowList, FindByLabelAndWebview) {
  zrk::App app;
  auto first = makeWindow("same");
  auto second = makeWindow("same");
  app.addWindow(first, true);
  app.addWindow(second, true);
  EXPECT_EQ(app.findWindow("same"), first);
  EXPECT_EQ(app.findWindow("SAME"), nullptr);
  auto view = std::make_shared<pel::test::FakeWebview>("v", second.get());
  second->addWebview(view, true);
  EXPECT_EQ(app.findWebview("same", "v"), nullptr);  // the first "same" has no webview "v"
  first->addWebview(view, true);
  EXPECT_EQ(app.findWebview("same", "v"), view);
  EXPECT_EQ(app.findWebview("none", "v"), nullptr);
  app.clearWindows();
  EXPECT_EQ(app.windowCount(), 0u);
  EXPECT_EQ(app.mainWindow(), nullptr);
}

TEST(AppWindowList, VisitorThatRemovesWindowsStillSeesTheCopy) {
  zrk::App app;
  std::vector<WindowPtr> w = {makeWindow("a"), makeWindow("b"), makeWindow("c")};
  for (auto& x : w) app.addWindow(x, true);
  std::weak_ptr<zrk::Window> weakB = w[1];
  zrk::Window* bAddress = w[1].get();
  w[1].reset();
  std::vector<std::string> seen;
  app.forEachWindow([&](const WindowPtr& x) {
    seen.push_back(x->label());
    app.removeWindowByLabel("b");  // the copy keeps b alive until the visit ends
    app.removeWindow(x);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(app.windowCount(), 0u);
  EXPECT_TRUE(weakB.expired());
  (void)bAddress;
  app.forEachWindow({});  // an empty visitor does nothing
}

TEST(AppEmit, ListenersReachTheWebviewsTheyBelongTo) {
  auto& events = zrk::EventDispatcher::instance();
  zrk::App app;
  auto winA = makeWindow("A");
  auto winB = makeWindow("B");
  app.addWindow(winA, true);
  app.addWindow(winB, true);
  struct View {
    WindowPtr window;
    std::shared_ptr<pel::test::FakeWebview> webview;
    std::shared_ptr<RecordingDelegate> delegate;
  };
  auto makeView = [](const WindowPtr& window, const std::string& label, bool withDelegate) {
    View v{window, std::make_shared<pel::test::FakeWebview>(label, window.get()), nullptr};
    if (withDelegate) {
      v.delegate = std::make_shared<RecordingDelegate>(window, v.webview);
      v.webview->setDelegate(v.delegate);
    }
    window->addWebview(v.webview, false);
    return v;
  };
  View a1 = makeView(winA, "a1", true);
  View a2 = makeView(winA, "a2", true);
  View b1 = makeView(winB, "b1", true);
  View bare = makeView(winB, "bare", false);  // no delegate: skipped

  const std::string ev = "app-emit-test";
  struct Listener {
    const char* kind;
    const char* label;
    std::vector<const View*> reaches;
  };
  const std::vector<Listener> table = {
      {"Window", "A", {&a1, &a2}},
      {"Webview", "b1", {&b1}},
      {"AnyLabel", "a2", {&a2}},
      {"AnyLabel", "B", {&b1}},
      {"", "x", {&a1, &a2, &b1}},
      {"Other", "A", {}},
      {"Any", "zz", {&a1, &a2, &b1}},
      {"App", "zz", {&a1, &a2, &b1}},
      {"Window", "", {&a1, &a2, &b1}},
      {"Webview", "A", {}},
  };
  std::vector<uint64_t> ids;
  for (const auto& l : table) ids.push_back(events.listen(1, ev, l.kind, l.label));
  uint64_t otherEvent = events.listen(1, "another-event", "Any", "");

  app.emit(ev, "{\"k\":[1, 2]}", "", "");
  for (const View* v : {&a1, &a2, &b1}) {
    nlohmann::json expected = nlohmann::json::array();
    for (size_t i = 0; i < table.size(); ++i) {
      const auto& r = table[i].reaches;
      if (std::find(r.begin(), r.end(), v) != r.end()) expected.push_back(ids[i]);
    }
    ASSERT_EQ(v->delegate->calls.size(), 1u) << v->webview->label();
    EXPECT_EQ(v->delegate->calls[0].event, ev);
    EXPECT_EQ(v->delegate->calls[0].payload, "{\"k\":[1, 2]}");  // unchanged
    EXPECT_EQ(v->delegate->calls[0].ids, expected.dump()) << v->webview->label();
  }

  // An event nobody listens to reaches no window.
  app.emit("nobody-listens", "1", "", "");
  for (const View* v : {&a1, &a2, &b1}) EXPECT_EQ(v->delegate->calls.size(), 1u);

  for (uint64_t id : ids) events.unlisten(id);
  events.unlisten(otherEvent);
}

// Every window's first webview bears the same label: an event a webview raises for its own page
// reaches that page alone, with the same selection as `emit`.
TEST(AppEmit, AnEventForOneWebviewSkipsItsNamesakesInOtherWindows) {
  auto& events = zrk::EventDispatcher::instance();
  zrk::App app;
  auto winA = makeWindow("A");
  auto winB = makeWindow("B");
  app.addWindow(winA, true);
  app.addWindow(winB, true);
  auto page = [](const WindowPtr& window) {
    auto webview = std::make_shared<pel::test::FakeWebview>("main_webview", window.get());
    auto delegate = std::make_shared<RecordingDelegate>(window, webview);
    webview->setDelegate(delegate);
    window->addWebview(webview, false);
    return std::make_pair(webview, delegate);
  };
  auto [viewA, pageA] = page(winA);
  auto [viewB, pageB] = page(winB);
  const std::string ev = "app-emit-one-webview";
  const uint64_t inA = events.listen(1, ev, "Webview", "main_webview");
  const uint64_t inB = events.listen(2, ev, "Webview", "main_webview");
  const uint64_t elsewhere = events.listen(3, ev, "Webview", "other");

  app.emitToWebview(viewA, ev, "{}", "main_webview", "Webview");
  ASSERT_EQ(pageA->calls.size(), 1u);
  // Both namesakes' ids are selected; A's page keeps the one it holds.
  EXPECT_EQ(pageA->calls[0].ids, nlohmann::json::array({inA, inB}).dump());
  EXPECT_TRUE(pageB->calls.empty());

  // The same event through `emit` reaches both windows' pages: the road the drop must not take.
  app.emit(ev, "{}", "main_webview", "Webview");
  EXPECT_EQ(pageA->calls.size(), 2u);
  EXPECT_EQ(pageB->calls.size(), 1u);

  // No webview: nothing.
  app.emitToWebview(nullptr, ev, "{}", "", "");
  EXPECT_EQ(pageA->calls.size(), 2u);
  EXPECT_EQ(pageB->calls.size(), 1u);

  for (uint64_t id : {inA, inB, elsewhere}) events.unlisten(id);
}

TEST(AppObject, FixedAnswers) {
  zrk::App app;
  EXPECT_EQ(app.uriScheme(), "https");
  EXPECT_EQ(app.uriDomain().size(), 5u);
  EXPECT_EQ(app.dataPath(), "");
  EXPECT_EQ(app.assetPath(), "");
  EXPECT_EQ(zrk::App::instance(), zrk::App::instance());
  ASSERT_FALSE(app.arguments().empty());
  // onWindowClosed of a window that is not the main window does nothing.
  auto w = makeWindow("x");
  app.onWindowClosed(w.get());
  app.onWindowClosed(nullptr);
}

TEST(Configuration, AddOnceListsAndScripts) {
  zrk::addWebResourceDomain("a");
  zrk::addWebResourceDomain("a");
  zrk::addWebResourceDomain("A");
  EXPECT_EQ(zrk::webResourceDomains(), (std::vector<std::string>{"a", "A"}));
  zrk::addDocumentScript("s1");
  zrk::addDocumentScript("s1");
  zrk::addDocumentScript("S1");
  EXPECT_EQ(zrk::documentScripts(), (std::vector<std::string>{"s1", "S1"}));
  EXPECT_EQ(zrk::documentScript(), "");
  zrk::appendDocumentScript("x");
  zrk::appendDocumentScript("y");
  EXPECT_EQ(zrk::documentScript(), "; x; y");
  // The application answers the window with the same lists.
  zrk::App app;
  EXPECT_EQ(app.webResourceDomains(), zrk::webResourceDomains());
  EXPECT_EQ(app.documentScript(), "; x; y");

  EXPECT_EQ(zrk::workerCount(), 0);
  zrk::setWorkerCount(5);
  EXPECT_EQ(zrk::workerCount(), 5);
  zrk::setBrowserArguments("--flag");
  EXPECT_EQ(zrk::browserArguments(), "--flag");

  auto cors = zrk::corsHeaders();
  ASSERT_EQ(cors.size(), 5u);
  EXPECT_EQ(cors[0], (std::pair<std::string, std::string>{"Access-Control-Allow-Origin", " *"}));
  EXPECT_EQ(cors[4].second, " true");
  zrk::setCorsHeaders({{"X", " y"}});
  EXPECT_EQ(zrk::corsHeaders().size(), 1u);

  zrk::DialogAttributes none = zrk::dialogAttributes();
  EXPECT_EQ(none.fontSize, 0);
  EXPECT_TRUE(none.fontFace.empty());
  EXPECT_FALSE(none.textColor || none.backgroundColor || none.borderColor ||
               none.controlBackgroundColor || none.controlTextColor || none.controlBorderColor ||
               none.animationDuration);
  EXPECT_EQ(zrk::animationDuration(), 200u);
  zrk::DialogAttributes set;
  set.fontSize = 12;
  set.animationDuration = 300;
  zrk::setDialogAttributes(set);
  EXPECT_EQ(zrk::dialogAttributes().fontSize, 12);
  EXPECT_EQ(zrk::dialogAttributes().animationDuration, 300u);
  EXPECT_EQ(zrk::animationDuration(), 300u);

  EXPECT_EQ(zrk::kInternalListenersFunctionId, "__internal_listeners_function_id__");
  EXPECT_EQ(zrk::kInternalListenersObjectId, "__internal_listeners_object_id");
  EXPECT_EQ(zrk::kMiddlewareHeaderPrefix, "--ZRK-Middleware-");
  EXPECT_EQ(zrk::kRemoteStatusHeader, "zrk-remote-status");
}

TEST(Configuration, SharedDataStore) {
  zrk::SharedDataStore::clear();
  const std::string bytes("a\0b", 3);
  std::string once = zrk::SharedDataStore::write(bytes.data(), bytes.size(), true);
  std::string twice = zrk::SharedDataStore::write("xyz", 3, false);
  std::string empty = zrk::SharedDataStore::write(nullptr, 0, false);
  std::string out = "untouched";
  EXPECT_FALSE(zrk::SharedDataStore::read("", out));
  EXPECT_EQ(out, "untouched");

  std::vector<std::tuple<std::string, size_t, bool>> listed;
  zrk::SharedDataStore::list(
      [&](const std::string& uid, size_t size, bool o) { listed.emplace_back(uid, size, o); });
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));

  EXPECT_TRUE(zrk::SharedDataStore::read(once, out));
  EXPECT_EQ(out, bytes);
  EXPECT_FALSE(zrk::SharedDataStore::read(once, out));  // read once, then gone
  EXPECT_TRUE(zrk::SharedDataStore::read(twice, out));
  EXPECT_TRUE(zrk::SharedDataStore::read(twice, out));
  EXPECT_EQ(out, "xyz");
  EXPECT_TRUE(zrk::SharedDataStore::read(empty, out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(zrk::SharedDataStore::remove(twice));
  EXPECT_FALSE(zrk::SharedDataStore::remove(twice));
  zrk::SharedDataStore::clear();
  size_t left = 0;
  zrk::SharedDataStore::list([&](const std::string&, size_t, bool) { ++left; });
  EXPECT_EQ(left, 0u);
}

// A handler the start-up code registers before the built-in ones.
class EarlierHandler : public Vesk::TObject {};

TEST(Configuration, RegisterBuiltinPluginsTwice) {
  auto& list = http::handlerList();
  if (!list) list = std::make_shared<http::HandlerArray>();
  std::shared_ptr<Vesk::TObject> earlier = std::make_shared<EarlierHandler>();
  list->push_back(earlier);
  const size_t before = list->size();

  zrk::registerBuiltinPlugins();
  ASSERT_EQ(list->size(), before + 3);
  EXPECT_EQ((*list)[before - 1], earlier);  // still consulted first
  std::vector<std::string> paths;
  for (size_t i = before; i < list->size(); ++i) {
    auto* handler = dynamic_cast<http::HttpHandlerProtocol*>((*list)[i].get());
    ASSERT_NE(handler, nullptr);
    paths.emplace_back(handler->path() ? handler->path() : "(null)");
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/asset", "/localfile", "/plugin"}));
  const auto afterFirst = *list;
  std::set<std::string> plugins;
  zrk::plugin::PluginRegistry::forEach([&](const auto& p) { plugins.insert(p->name()); });

  zrk::registerBuiltinPlugins();
  EXPECT_EQ(*list, afterFirst);  // nothing new
  std::set<std::string> again;
  zrk::plugin::PluginRegistry::forEach([&](const auto& p) { again.insert(p->name()); });
  EXPECT_EQ(again, plugins);

  // The handlers are those of "/asset", "/localfile" and "/plugin", in that order, and the
  // registry holds exactly the plugins this build registers.
  const auto names = zrk::builtinRegistrations();
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
            (std::vector<std::string>{"/asset", "/localfile", "/plugin"}));
  EXPECT_EQ(plugins, std::set<std::string>(names.begin() + 3, names.end()));
  EXPECT_EQ(plugins, (std::set<std::string>{"__zrk_channel__", "app", "clipboard", "defaults", "dialog",
                                            "dropzone", "event", "fetch", "fs", "image",
                                            "logging", "menu", "notification", "path", "printer",
                                            "resource", "sharedmem", "system", "tray", "webview",
                                            "window"}));
}

}  // namespace
