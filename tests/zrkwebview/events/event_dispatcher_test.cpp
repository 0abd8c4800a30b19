#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "support/node_runner.h"
#include "zrkwebview/browser/src/event-dispatcher.h"

namespace {

using nlohmann::json;
using zrk::EventDispatcher;
using zrk::EventItem;

std::vector<uint64_t> visit(EventDispatcher& d, const std::string& event, const std::string& label,
                            const std::string& kind) {
  std::vector<uint64_t> ids;
  d.forEachListener(event, label, kind,
                    [&](const std::shared_ptr<EventItem>& item) { ids.push_back(item->id); });
  return ids;
}

TEST(EventDispatcherTest, IdsStartAtOneAndAreReused) {
  EventDispatcher d;
  EXPECT_EQ(d.listen(10, "zrk://resize", "Window", "main"), 1u);
  EXPECT_EQ(d.listen(11, "zrk://resize", "Window", "main"), 2u);
  d.unlisten(1);
  d.unlisten(77);  // unknown: nothing given back
  EXPECT_EQ(d.listen(12, "zrk://move", "", ""), 1u);
  EXPECT_EQ(d.listen(13, "zrk://move", "", ""), 3u);
  ASSERT_NE(d.find(3), nullptr);
  EXPECT_EQ(d.find(3)->callbackId, 13u);
  EXPECT_EQ(d.find(77), nullptr);
  EXPECT_EQ(&EventDispatcher::instance(), &EventDispatcher::instance());
}

TEST(EventDispatcherTest, ListenerMatching) {
  struct Case {
    const char* listenerKind;
    const char* listenerLabel;
    const char* event;  // asked
    const char* label;  // asked
    const char* kind;   // asked
    bool visited;
  };
  const Case cases[] = {
      // Exact target, and mismatches of label and kind.
      {"Window", "main", "zrk://resize", "main", "Window", true},
      {"Window", "main", "zrk://resize", "other", "Window", false},
      {"Window", "main", "zrk://resize", "main", "Webview", false},
      {"Window", "main", "zrk://move", "main", "Window", false},
      // An empty label or kind on either side passes.
      {"", "", "zrk://resize", "other", "Webview", true},
      {"Window", "main", "zrk://resize", "", "", true},
      {"Window", "", "zrk://resize", "main", "Window", true},
      // "Any" and "AnyLabel" asked by the emitter are wildcards ...
      {"Window", "main", "zrk://resize", "main", "Any", true},
      {"Webview", "main", "zrk://resize", "main", "AnyLabel", true},
      {"Webview", "main", "zrk://resize", "other", "Any", false},
      // ... but not when no event is named and a label is.
      {"Window", "main", "", "main", "Any", false},
      {"Any", "main", "", "main", "Any", true},
      {"", "main", "", "main", "Any", true},
      {"Window", "main", "", "", "Any", true},
      {"Window", "main", "", "main", "Window", true},
      // A listener's own "Any" is just a kind.
      {"Any", "main", "zrk://resize", "main", "Window", false},
  };
  for (const auto& c : cases) {
    EventDispatcher d;
    uint64_t id = d.listen(1, "zrk://resize", c.listenerKind, c.listenerLabel);
    auto ids = visit(d, c.event, c.label, c.kind);
    EXPECT_EQ(!ids.empty() && ids[0] == id, c.visited)
        << c.listenerKind << "/" << c.listenerLabel << " asked " << c.event << " " << c.label << " "
        << c.kind;
  }
}

TEST(EventDispatcherTest, VisitOrderAndRemoval) {
  EventDispatcher d;
  uint64_t b1 = d.listen(1, "b", "", "");
  uint64_t a1 = d.listen(2, "a", "", "");
  uint64_t b2 = d.listen(3, "b", "", "");
  EXPECT_EQ(visit(d, "b", "", ""), (std::vector<uint64_t>{b1, b2}));
  EXPECT_EQ(visit(d, "", "", ""), (std::vector<uint64_t>{a1, b1, b2}));  // events in byte order
  d.unlisten(b1);
  d.unlisten(b2);
  EXPECT_TRUE(visit(d, "b", "", "").empty());

  uint64_t drop1 = d.listen(4, "zrk://dropzone", "Webview", "viewer");
  uint64_t keep = d.listen(5, "zrk://dropzone", "Webview", "editor");
  uint64_t drop2 = d.listen(6, "zrk://dropzone", "", "");
  d.removeListeners("zrk://dropzone", "Webview", "viewer");
  EXPECT_EQ(d.find(drop1), nullptr);
  EXPECT_EQ(d.find(drop2), nullptr);  // empty kind and label match every target
  EXPECT_NE(d.find(keep), nullptr);
}

// Two windows' webviews bear one label: a page's new document takes away its own drop listeners
// and those of no live page, never its namesake's.
TEST(EventDispatcherTest, RemovalForOneWebviewKeepsItsNamesakesListeners) {
  EventDispatcher d;
  auto mine = std::make_shared<pel::test::FakeWebview>("main_webview");
  auto namesake = std::make_shared<pel::test::FakeWebview>("main_webview");
  auto gone = std::make_shared<pel::test::FakeWebview>("main_webview");
  const uint64_t own = d.listen(1, "zrk://dropzone", "Webview", "main_webview", mine);
  const uint64_t other = d.listen(2, "zrk://dropzone", "Webview", "main_webview", namesake);
  const uint64_t orphan = d.listen(3, "zrk://dropzone", "Webview", "main_webview", gone);
  const uint64_t pageless = d.listen(4, "zrk://dropzone", "Webview", "main_webview");
  gone.reset();
  d.removeListeners("zrk://dropzone", "Webview", "main_webview", mine.get());
  EXPECT_EQ(d.find(own), nullptr);
  EXPECT_EQ(d.find(orphan), nullptr);
  EXPECT_EQ(d.find(pageless), nullptr);
  ASSERT_NE(d.find(other), nullptr);
  EXPECT_EQ(d.find(other)->owner.lock(), namesake);
}

TEST(EventDispatcherTest, DeliveryScriptText) {
  EventItem item;
  item.id = 3;
  item.callbackId = 42;
  item.event = "zrk://resize";
  EXPECT_EQ(EventDispatcher::buildDeliveryScript(item, json{{"w", 1}}),
            ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
            "if( window['_42'] ){ window['_42']({\"event\":\"zrk://resize\",\"id\":3,"
            "\"payload\":{\"w\":1}}); } })();");

  struct Case {
    json payload;
    bool hasPayload;
  } cases[] = {{json(nullptr), false}, {json::object(), false}, {json::array(), false},
               {json(false), true},   {json(0), true},         {json("{payload}"), true}};
  for (const auto& c : cases) {
    std::string script = EventDispatcher::buildDeliveryScript(item, c.payload);
    EXPECT_EQ(script.find("\"payload\"") != std::string::npos, c.hasPayload) << script;
  }
  // A "{payload}" inside the inserted JSON is left alone.
  EXPECT_NE(EventDispatcher::buildDeliveryScript(item, json("{payload}")).find("\"{payload}\""),
            std::string::npos);
}

TEST(EventDispatcherTest, DispatchRunsTheScriptOnlyForLiveListeners) {
  EventDispatcher d;
  pel::test::FakeWebview webview;
  uint64_t id = d.listen(42, "zrk://resize", "Window", "main");
  d.dispatchToPage(&webview, id, json{{"w", 1}});
  d.unlisten(id);
  d.dispatchToPage(&webview, id, json{{"w", 2}});
  auto scripts = webview.scripts();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_NE(scripts[0].find("{\"w\":1}"), std::string::npos);
  EXPECT_EQ(webview.flags(), std::vector<bool>{true});

  // Text that is not UTF-8 is replaced, not thrown.
  uint64_t again = d.listen(42, "zrk://x", "", "");
  EXPECT_NO_THROW(d.dispatchToPage(&webview, again, json("bad \xff byte")));
  EXPECT_EQ(webview.scripts().size(), 2u);
}

// Runs the delivery scripts in Node and returns what the page callback received, one JSON text
// a line.
std::vector<std::string> runInNode(const std::vector<std::string>& scripts) {
  const std::string all = pel::test::runNodeScript(
      "const vm = require('node:vm');\n"
      "const scripts = " + json(scripts).dump() + ";\n"
      "for (const s of scripts) {\n"
      "  const seen = [];\n"
      "  const ctx = vm.createContext({});\n"
      "  ctx.window = ctx;\n"
      "  ctx._42 = (o) => seen.push(o);\n"
      "  ctx.hacked = () => seen.push('HACKED');\n"
      "  try { vm.runInContext(s, ctx); } catch (e) { seen.push('THREW ' + e.message); }\n"
      "  console.log(JSON.stringify(seen));\n"
      "}\n");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(all.substr(start, nl - start));
  return lines;
}

TEST(EventDispatcherTest, DeliveryScriptCallsThePageCallbackInNode) {
  const char* hostile[] = {
      "zrk://resize",
      "'); hacked(); ('",
      "\"]); hacked(); //",
      "</script><script>hacked()</script>",
      "line\nbreak\u2028sep",
      "{payload}",
  };
  std::vector<std::string> scripts;
  for (const char* name : hostile) {
    EventItem item;
    item.id = 3;
    item.callbackId = 42;
    item.event = name;
    scripts.push_back(EventDispatcher::buildDeliveryScript(item, json{{"w", 1}, {"label", name}}));
  }
  auto lines = runInNode(scripts);
  ASSERT_EQ(lines.size(), std::size(hostile)) << "is node installed?";
  for (size_t i = 0; i < lines.size(); ++i) {
    json seen = json::parse(lines[i]);
    ASSERT_EQ(seen.size(), 1u) << lines[i];
    EXPECT_EQ(seen[0]["event"], hostile[i]);
    EXPECT_EQ(seen[0]["id"], 3);
    EXPECT_EQ(seen[0]["payload"]["label"], hostile[i]);
    EXPECT_EQ(seen[0]["payload"]["w"], 1);
  }
}

}  // namespace
