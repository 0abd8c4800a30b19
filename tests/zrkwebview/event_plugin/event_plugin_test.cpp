// The event plugin on the process's real event dispatcher and application object: listener ids,
// the checks of each command, the window lists, delivery by target, and hostile event names run
// in Node after the real document scripts.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/http-plugins/event/event-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/window.h"
#include "zrkwebview/webview/page_harness.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;

struct Answer {
  int status = -1;
  std::string message;
  std::string body;
};

class EventPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = zrk::App::instance();
    main = addWindow("main");
    mainView = addWebview(main, "main_webview");
    w1 = addWebview(main, "w1");
    other = addWindow("other");
    o1 = addWebview(other, "o1");
  }
  void TearDown() override {
    for (uint64_t id : made) zrk::EventDispatcher::instance().unlisten(id);
    app->clearWindows();
  }

  std::shared_ptr<zrk::Window> addWindow(const std::string& label) {
    auto window = std::make_shared<zrk::Window>();
    window->setLabel(label);
    window->setDelegate(app.get());
    app->addWindow(window, false);
    return window;
  }
  static std::shared_ptr<FakeWebview> addWebview(const std::shared_ptr<zrk::Window>& window,
                                                 const std::string& label) {
    auto webview = std::make_shared<FakeWebview>(label, window.get());
    webview->setDelegate(std::make_shared<zrk::Webview2Delegate>(window, webview));
    window->addWebview(webview, true);
    return webview;
  }

  Answer call(const std::string& command, const json& body, zrk::Webview* from = nullptr) {
    zrk::plugin::EventPlugin plugin;
    auto response = std::dynamic_pointer_cast<http::HttpResponse>(
        plugin.invoke(command, from, nullptr, nullptr, body));
    Answer a;
    if (!response) return a;
    a.status = response->status();
    a.message = response->statusMessage();
    for (std::string piece; !(piece = response->read(4096)).empty();) a.body += piece;
    return a;
  }
  // Listens from the main page; the new id.
  uint64_t listen(const std::string& event, const json& target, const json& handler = 7) {
    const Answer a = call("listen", {{"event", event}, {"target", target}, {"handler", handler}},
                          mainView.get());
    EXPECT_EQ(a.status, 200) << a.message;
    const uint64_t id = std::stoull(a.body);
    made.push_back(id);
    return id;
  }
  void clearScripts() {
    for (auto* v : {mainView.get(), w1.get(), o1.get()}) v->clearRecords();
  }
  // The listener ids each webview was asked to deliver, by webview label.
  std::map<std::string, std::set<uint64_t>> delivered() {
    std::map<std::string, std::set<uint64_t>> result;
    for (auto* v : {mainView.get(), w1.get(), o1.get()}) {
      for (const auto& script : v->scripts()) {
        const size_t at = script.rfind("JSON.parse('");
        if (at == std::string::npos) continue;
        const size_t from = at + 12;
        const json ids = json::parse(script.substr(from, script.find("')", from) - from));
        for (const auto& id : ids) result[v->label()].insert(id.get<uint64_t>());
      }
    }
    return result;
  }
  static std::vector<uint64_t> listIds(const std::shared_ptr<zrk::Window>& w, const std::string& e) {
    std::vector<uint64_t> ids;
    for (const auto& entry : w->eventListeners(e)) ids.push_back(entry.id);
    return ids;
  }

  std::shared_ptr<zrk::App> app;
  std::shared_ptr<zrk::Window> main, other;
  std::shared_ptr<FakeWebview> mainView, w1, o1;
  std::vector<uint64_t> made;
};

// Runs first in its process: ids start at 1 and a freed one is handed out again.
TEST_F(EventPluginTest, IdsStartAtOneAndAreReused) {
  EXPECT_EQ(listen("ping", {{"kind", "Any"}}), 1u);
  EXPECT_EQ(call("unlisten", {{"event", "ping"}, {"eventId", 1}}, mainView.get()).body, "1");
  EXPECT_EQ(listen("ping", {{"kind", "Any"}}), 1u);
}

TEST_F(EventPluginTest, CommandChecks) {
  EXPECT_EQ(call("Listen", {{"event", "a"}, {"target", "x"}, {"handler", 1}}).status, -1);
  EXPECT_EQ(call("emit ", {{"event", "a"}}).status, -1);

  struct Case {
    const char* command;
    json body;
    int status;
    std::string body_or_message;
  };
  const Case cases[] = {
      {"listen", {{"target", "x"}, {"handler", 1}}, 400, "Missing parameter"},
      {"listen", {{"event", ""}, {"target", "x"}, {"handler", 1}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"target", json::object()}, {"handler", 1}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"target", json::array()}, {"handler", 1}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"handler", 1}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"target", "x"}, {"handler", 0}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"target", "x"}, {"handler", -5}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"target", "x"}, {"handler", 0.5}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"target", "x"}, {"handler", 1e30}}, 400, "Missing parameter"},
      {"listen", {{"event", "a"}, {"target", "x"}, {"handler", "5"}}, 400, "Missing parameter"},
      {"unlisten", {{"event", "a"}}, 200, "0"},
      {"unlisten", {{"event", "a"}, {"eventId", 0}}, 200, "0"},
      {"unlisten", {{"eventId", 3}}, 200, "0"},
      {"unlisten", {{"event", "a"}, {"eventId", 9999}}, 200, "1"},
      {"emit", {{"event", ""}}, 400, "missing event."},
      {"emit", {{"payload", 1}}, 400, "missing event."},
      {"emit_to", {{"event", 5}, {"target", {{"kind", "Any"}}}}, 400, "missing event."},
      {"emit", {{"event", "nobody listens"}}, 200, "1"},
  };
  for (const auto& c : cases) {
    const Answer a = call(c.command, c.body, mainView.get());
    EXPECT_EQ(a.status, c.status) << c.command << " " << c.body.dump();
    EXPECT_EQ(a.status == 200 ? a.body : a.message, c.body_or_message) << c.body.dump();
  }

  // Any text, number or boolean is a target (empty kind and label: no window list); 12.7 is the
  // page function window['_12'].
  for (const json& target : {json("main"), json(""), json(0), json(false)}) {
    mainView->clearRecords();
    const uint64_t id = listen("loose", target, 12.7);
    ASSERT_EQ(mainView->scripts().size(), 1u);
    EXPECT_NE(mainView->scripts()[0].find("window['_12']"), std::string::npos);
    EXPECT_EQ(zrk::EventDispatcher::instance().find(id)->callbackId, 12u);
    EXPECT_TRUE(listIds(main, "loose").empty());
  }
  // Without a calling webview the dispatcher still records; no page table is written.
  clearScripts();
  const Answer bare = call("listen", {{"event", "bare"}, {"target", {{"kind", "Any"}}}, {"handler", 3}});
  ASSERT_EQ(bare.status, 200);
  made.push_back(std::stoull(bare.body));
  EXPECT_TRUE(mainView->scripts().empty());
  EXPECT_EQ(listIds(other, "bare").size(), 1u);
}

TEST_F(EventPluginTest, WindowListsAndUnlistenEverywhere) {
  const uint64_t own = listen("zrk://resize", {{"kind", "Window"}, {"label", "main"}});
  const uint64_t stray = listen("zrk://resize", {{"kind", "Window"}, {"label", "nope"}});
  const uint64_t any = listen("zrk://resize", {{"kind", "Any"}});
  const uint64_t view = listen("zrk://resize", {{"kind", "Webview"}, {"label", "w1"}});
  EXPECT_EQ(listIds(main, "zrk://resize"), (std::vector<uint64_t>{own, stray, any}));
  EXPECT_EQ(listIds(other, "zrk://resize"), (std::vector<uint64_t>{stray, any}));
  (void)view;

  // A window's native event reaches the listeners in its list, in its own pages only.
  clearScripts();
  other->emit("zrk://resize", json{{"width", 1.0}}, "");
  EXPECT_TRUE(mainView->scripts().empty());
  EXPECT_EQ(o1->scripts().size(), 2u);

  // "unlisten" clears every list, also of a "Window" listener whose label named no window, so
  // the id handed out again does not inherit the old entries.
  EXPECT_EQ(call("unlisten", {{"event", "zrk://resize"}, {"eventId", stray}}, mainView.get()).body, "1");
  EXPECT_EQ(listIds(main, "zrk://resize"), (std::vector<uint64_t>{own, any}));
  EXPECT_EQ(listIds(other, "zrk://resize"), (std::vector<uint64_t>{any}));
  // Freed ids come back oldest first: listen until the stray one is handed out again.
  uint64_t reused = 0;
  for (int i = 0; i < 64 && reused != stray; ++i) reused = listen("zrk://resize", "quiet");
  ASSERT_EQ(reused, stray);
  clearScripts();
  other->emit("zrk://resize", json{{"width", 2.0}}, "");
  ASSERT_EQ(o1->scripts().size(), 1u);
  EXPECT_EQ(o1->scripts()[0].find("\"id\":" + std::to_string(reused)), std::string::npos);
  // The page-side entry goes too.
  mainView->clearRecords();
  call("unlisten", {{"event", "zrk://resize"}, {"eventId", own}}, mainView.get());
  ASSERT_EQ(mainView->scripts().size(), 1u);
  EXPECT_NE(mainView->scripts()[0].find("delete"), std::string::npos);
  EXPECT_TRUE(listIds(main, "zrk://resize") == std::vector<uint64_t>{any});
}

// A page's listener names the webview whose page holds it, so removals for one webview leave
// its namesakes' listeners alone; a listener made without a page names none.
TEST_F(EventPluginTest, AListenerNamesThePageThatHoldsIt) {
  const uint64_t fromPage = listen("zrk://dropzone", {{"kind", "Webview"}, {"label", "main_webview"}});
  const Answer bare = call("listen", {{"event", "zrk://dropzone"}, {"target", "x"}, {"handler", 9}});
  ASSERT_EQ(bare.status, 200);
  const uint64_t pageless = std::stoull(bare.body);
  made.push_back(pageless);
  auto& events = zrk::EventDispatcher::instance();
  EXPECT_EQ(events.find(fromPage)->owner.lock(), mainView);
  EXPECT_EQ(events.find(pageless)->owner.lock(), nullptr);
}

TEST_F(EventPluginTest, DeliveryByTarget) {
  const uint64_t a = listen("news", {{"kind", "Any"}});
  const uint64_t b = listen("news", {{"kind", "Window"}, {"label", "main"}});
  const uint64_t c = listen("news", {{"kind", "Window"}, {"label", "other"}});
  const uint64_t d = listen("news", {{"kind", "Webview"}, {"label", "w1"}});
  const uint64_t e = listen("news", {{"kind", "AnyLabel"}, {"label", "main"}});
  const uint64_t f = listen("news", {{"kind", "AnyLabel"}, {"label", "o1"}});
  using Seen = std::map<std::string, std::set<uint64_t>>;
  struct Case {
    const char* command;
    json target;
    Seen expected;
  };
  const Seen everyone = {{"main_webview", {a, b, e}}, {"w1", {a, b, d, e}}, {"o1", {a, c, f}}};
  const Case cases[] = {
      {"emit", nullptr, everyone},
      {"emit_to", "main", everyone},  // a target that is no object is no target
      {"emit_to", {{"kind", "AnyLabel"}, {"label", "main"}},
       {{"main_webview", {a, b, e}}, {"w1", {a, b, e}}, {"o1", {a}}}},
      {"emit_to", {{"kind", "Webview"}, {"label", "w1"}}, {{"w1", {d}}}},
      {"emit_to", {{"kind", "Window"}, {"label", "main"}}, {{"main_webview", {b}}, {"w1", {b}}}},
      {"emit_to", {{"kind", "Any"}}, everyone},
      {"emit_to", {{"kind", "AnyLabel"}, {"label", "o1"}}, {{"main_webview", {a}}, {"w1", {a}}, {"o1", {a, f}}}},
      {"emit_to", {{"kind", "Webview"}, {"label", "nowhere"}}, {}},
  };
  for (const auto& k : cases) {
    clearScripts();
    json body = {{"event", "news"}, {"payload", {{"n", 1}}}};
    if (!k.target.is_null()) body["target"] = k.target;
    EXPECT_EQ(call(k.command, body).body, "1");
    EXPECT_EQ(delivered(), k.expected) << k.command << " " << k.target.dump();
  }

  // The payload travels as JSON: none is null, {} an empty object.
  clearScripts();
  call("emit", {{"event", "news"}});
  EXPECT_NE(o1->scripts().at(0).find("JSON.parse('null')"), std::string::npos);
  clearScripts();
  call("emit", {{"event", "news"}, {"payload", json::object()}});
  EXPECT_NE(o1->scripts().at(0).find("JSON.parse('{}')"), std::string::npos);
}

// A page listens for an event whose name carries quotes and markup, another page emits it: the
// listener gets the name and payload as text, and no script of either page runs anything else.
TEST_F(EventPluginTest, HostileEventNamesOnlyDeliver) {
  const std::vector<std::string> names = {"a'b\\c", "');hacked();('", "\"]});hacked();//",
                                          "</script><script>hacked()</script>",
                                          "line\nbreak\u2028sep"};
  // The scripts every document of the main page starts with.
  mainView->setDelegate(std::make_shared<zrk::Webview2Delegate>(main, mainView));
  mainView->delegate()->injectScripts();
  const auto prelude = mainView->documentScripts();
  ASSERT_FALSE(prelude.empty());
  for (const auto& name : names) {
    clearScripts();
    listen(name, {{"kind", "Any"}}, 12);
    call("emit", {{"event", name}, {"payload", {{"name", name}}}}, o1.get());
    std::vector<std::string> scripts = prelude;
    scripts.push_back(
        "globalThis.__got = []; globalThis.__hacked = false;"
        "globalThis.hacked = () => { globalThis.__hacked = true; };"
        "globalThis._12 = (e) => { globalThis.__got.push(e); };");
    for (const auto& s : mainView->scripts()) scripts.push_back(s);
    pel::test::PageRun page;
    page.scripts = scripts;
    page.probe = "({ got: __got, hacked: __hacked })";
    const auto results = pel::test::runPages({page});
    ASSERT_EQ(results.size(), 1u) << "is node installed?";
    const json& r = results[0];
    EXPECT_EQ(r["errors"], json::array()) << name;
    EXPECT_EQ(r["probe"]["hacked"], false) << name;
    ASSERT_EQ(r["probe"]["got"].size(), 1u) << r.dump();
    EXPECT_EQ(r["probe"]["got"][0]["event"], name);
    EXPECT_EQ(r["probe"]["got"][0]["payload"]["name"], name);
    call("unlisten", {{"event", name}, {"eventId", made.back()}}, mainView.get());
  }
}

}  // namespace
