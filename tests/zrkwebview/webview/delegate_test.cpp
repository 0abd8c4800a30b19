// The webview delegate: the page scripts it adds, its listener scripts and the events it
// delivers (run in Node together with the real bootstrap and bridge), its notifications and its
// request routing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "page_harness.h"
#include "scripts/page_scripts.h"
#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "vesk/tnotification.h"
#include "vesk/tstring.h"
#include "zrkwebview/browser/src/http-plugins/ipc/ipc-plugin.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview-delegate.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;
using pel::test::PageRun;
using pel::test::TestApp;

// A plugin with a page script, and one without.
class ScriptedPlugin : public zrk::plugin::Plugin {
 public:
  explicit ScriptedPlugin(std::string script) : script_(std::move(script)) {}
  std::string initScript() override { return script_; }
  std::shared_ptr<Vesk::TObject> invoke(const std::string&, zrk::Webview*,
                                        http::HttpResponseConnection*, http::HttpRequest*,
                                        const json&) override {
    return nullptr;
  }

 private:
  std::string script_;
};

void registerTestPlugins() {
  static const bool done = [] {
    auto a = std::make_shared<ScriptedPlugin>("window.__pluginA = 1;");
    a->setName("aaa-scripted");
    zrk::plugin::PluginRegistry::add(a);
    auto b = std::make_shared<ScriptedPlugin>("");
    b->setName("bbb-silent");
    zrk::plugin::PluginRegistry::add(b);
    return true;
  }();
  (void)done;
}

struct View {
  std::shared_ptr<FakeWebview> webview;
  std::shared_ptr<zrk::WebviewDelegate> delegate;
};

// A webview in `window` with its delegate, added to the window's list as the window code does.
View addView(const std::shared_ptr<zrk::Window>& window, const std::string& label) {
  View view;
  view.webview = std::make_shared<FakeWebview>(label, window.get());
  view.delegate = std::make_shared<zrk::Webview2Delegate>(window, view.webview);
  view.webview->setDelegate(view.delegate);
  window->addWebview(view.webview, true);
  return view;
}

std::string bootstrapFor(const std::string& scheme, const std::string& domain) {
  std::string text = zrk::buildBootstrapScript();
  for (size_t at; (at = text.find("{URI_SCHEME}")) != std::string::npos;) text.replace(at, 12, scheme);
  for (size_t at; (at = text.find("{URI_DOMAIN}")) != std::string::npos;) text.replace(at, 12, domain);
  return text;
}

std::string fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [from, to] : values) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

const char kDispatchFunction[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "Object.defineProperty(window, '__internal_listeners_function_id__', { value: function(eventData, ids){ const listeners = "
    "(window['__internal_listeners_object_id'] && window['__internal_listeners_object_id'][eventData.event]) || []; for(const id of ids "
    "){ const listener = listeners[id]; if( listener ){ eventData.id = id; if( typeof "
    "listener.handler==='function' ){ listener.handler(eventData); } else { try{ throw new "
    "Error(\"handler is not a function\"); }catch(err){ console.warn(err.stack); "
    "console.warn(eventData); } } } } } }); })();";

const char kWebviewsScript[] =
    ";(function(){ window.__zrk_internals__.metadata.webviews.splice(0, "
    "window.__zrk_internals__.metadata.webviews.length); const webviews = "
    "JSON.parse('{webviews}'); for(const v of webviews ){ "
    "window.__zrk_internals__.metadata.webviews.push(v); } })();";

const char kWindowsScript[] =
    ";(function(){ window.__zrk_internals__.metadata.windows.splice(0, "
    "window.__zrk_internals__.metadata.windows.length); const windows = JSON.parse('{windows}'); "
    "for(const w of windows ){ window.__zrk_internals__.metadata.windows.push(w); } })();";

// What the page knows of itself after the scripts ran.
const char kMetadataProbe[] =
    "({ windows: __zrk_internals__.metadata.windows, webviews: __zrk_internals__.metadata.webviews,"
    " currentWindow: __zrk_internals__.metadata.currentWindow.label,"
    " currentWebview: __zrk_internals__.metadata.currentWebview.label,"
    " dispatch: typeof __internal_listeners_function_id__, pluginA: globalThis.__pluginA,"
    " fileScript: globalThis.__fromFile, extra: globalThis.__extra,"
    " enumerable: Object.keys(globalThis).includes('__internal_listeners_function_id__') })";

class DelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerTestPlugins();
    zrk::plugin::registerIpcPlugin();
    window = app.addWindow("main");
    app.addWindow("other");
  }

  TestApp app;
  std::shared_ptr<zrk::Window> window;
};

TEST_F(DelegateTest, InjectsTheStepsInOrderAndUpdatesSiblings) {
  const std::string file = std::filesystem::temp_directory_path() /
                           ("pelmora-docscript-" + std::to_string(::getpid()) + ".js");
  std::ofstream(file) << "globalThis.__fromFile = 'file';";
  app.scriptFiles = {"/nonexistent/script.js", file};
  app.extraScript = "globalThis.__extra = 'extra';";

  View first = addView(window, "main_webview");
  first.delegate->injectScripts();

  const std::vector<std::string> expected = {
      zrk::plugin::windowIpcScript(),
      bootstrapFor("https", "zrk.test"),
      "",  // the dialog overrides, checked below
      zrk::buildBridgeScript(),
      "globalThis.__fromFile = 'file';",
      "globalThis.__extra = 'extra';",
      kDispatchFunction,
      "window.__pluginA = 1;",
      "",  // the current view, checked in Node
      fill(kWebviewsScript, {{"{webviews}", R"([{\"label\":\"main_webview\",\"windowLabel\":\"main\"}])"}}),
      fill(kWindowsScript, {{"{windows}", R"([{\"label\":\"main\"},{\"label\":\"other\"}])"}}),
  };
  const auto added = first.webview->documentScripts();
  ASSERT_EQ(added.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    if (!expected[i].empty()) {
      EXPECT_EQ(added[i], expected[i]) << "step " << i;
    }
  }
  EXPECT_NE(added[2].find("window.alert = function"), std::string::npos);
  EXPECT_NE(added[8].find("new window.__zrk__.window.Window('main', {skip: true})"), std::string::npos);
  EXPECT_EQ(first.webview->devToolsCalls(), std::vector<bool>{false});
  EXPECT_TRUE(first.webview->scripts().empty());  // no sibling yet

  // A second webview in the same window: the first page hears of it at once.
  View second = addView(window, "second");
  second.delegate->injectScripts();
  std::filesystem::remove(file);
  const std::string both =
      R"([{\"label\":\"main_webview\",\"windowLabel\":\"main\"},{\"label\":\"second\",\"windowLabel\":\"main\"}])";
  const std::string updated = fill(kWebviewsScript, {{"{webviews}", both}});
  EXPECT_EQ(first.webview->scripts(), std::vector<std::string>{updated});
  EXPECT_TRUE(second.webview->scripts().empty());
  ASSERT_EQ(second.webview->documentScripts().size(), expected.size());
  EXPECT_EQ(second.webview->documentScripts()[9], updated);

  // The same scripts in Node, with the real bootstrap and bridge.
  PageRun firstPage{first.webview->documentScripts(), json::object(), kMetadataProbe};
  PageRun firstPageUpdated = firstPage;
  firstPageUpdated.scripts.push_back(updated);
  PageRun secondPage{second.webview->documentScripts(), json::object(), kMetadataProbe};
  const auto results = pel::test::runPages({firstPage, firstPageUpdated, secondPage});
  ASSERT_EQ(results.size(), 3u);
  const json windows = json::parse(R"([{"label":"main"},{"label":"other"}])");
  const json one = json::parse(R"([{"label":"main_webview","windowLabel":"main"}])");
  const json two = json::parse(
      R"([{"label":"main_webview","windowLabel":"main"},{"label":"second","windowLabel":"main"}])");
  const json probes[] = {
      {{"windows", windows}, {"webviews", one}, {"currentWindow", "main"}, {"currentWebview", "main_webview"}},
      {{"windows", windows}, {"webviews", two}, {"currentWindow", "main"}, {"currentWebview", "main_webview"}},
      {{"windows", windows}, {"webviews", two}, {"currentWindow", "main"}, {"currentWebview", "second"}},
  };
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(results[i]["errors"], json::array());
    const json& probe = results[i]["probe"];
    for (const auto& [key, value] : probes[i].items()) EXPECT_EQ(probe[key], value) << key;
    EXPECT_EQ(probe["dispatch"], "function");
    EXPECT_EQ(probe["pluginA"], 1);
    EXPECT_EQ(probe["fileScript"], "file");
    EXPECT_EQ(probe["extra"], "extra");
    EXPECT_EQ(probe["enumerable"], false);
  }
  // The current view's listener for closed webviews went to the event plugin.
  bool listened = false;
  for (const auto& request : results[0]["requests"]) {
    if (request[0] == "event" && request[1] == "listen" &&
        request[2]["event"] == "zrk://webview-closed" &&
        request[2]["target"] == json{{"kind", "Webview"}, {"label", "main_webview"}}) {
      listened = true;
    }
  }
  EXPECT_TRUE(listened) << results[0]["requests"].dump();
}

TEST_F(DelegateTest, DialogOverridesPutTheirOptionsAheadOfTheMessage) {
  View view = addView(window, "main_webview");
  view.delegate->injectScripts();
  PageRun page;
  page.scripts = {
      "globalThis.calls = []; window.alert = (m) => { calls.push(['alert', m]); };"
      " window.confirm = (m) => { calls.push(['confirm', m]); return true; };"
      " window.prompt = (m, d) => { calls.push(['prompt', m, d]); return 'typed'; };",
      view.webview->documentScripts().at(2),
      "alert('plain'); alert('m', 'T', 'Close', 'Alt', true, 'cmd'); alert('m', '', 0, '', 1, '');"
      " globalThis.confirmed = confirm('q', 'T', 'Yes', 'No'); confirm('q');"
      " globalThis.prompted = prompt('p', 'T', 'default', 'Go', 'Stop'); prompt('p', undefined, 'd');",
  };
  page.probe = "({ calls, confirmed, prompted })";
  const auto results = pel::test::runPages({page});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["errors"], json::array());
  EXPECT_EQ(results[0]["probe"], json::parse(R"({
      "calls": [["alert", "plain"],
                ["alert", "[TITLE=T][CLOSE=Close][ALTER=Alt][ALTER_ONCE=\"1\"][ALTER_CMD=\"cmd\"]:m"],
                ["alert", "m"],
                ["confirm", "[TITLE=T][OK=Yes][CANCEL=No]:q"], ["confirm", "q"],
                ["prompt", "[TITLE=T][OK=Go][CANCEL=Stop]:p", "default"], ["prompt", "p", "d"]],
      "confirmed": true, "prompted": "typed"})"));
}

// A step that fails is logged; the steps after it still run.
class ThrowingApp : public TestApp {
 public:
  std::string uriScheme() const override { throw "no scheme"; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>&) override {
    throw std::runtime_error("no windows");
  }
};

TEST_F(DelegateTest, AFailedStepDoesNotStopTheLaterOnes) {
  pel::test::LogCapture log(1);
  ThrowingApp throwing;
  auto broken = std::make_shared<zrk::Window>();
  broken->setLabel("broken");
  broken->setDelegate(&throwing);
  View view = addView(broken, "v");
  view.delegate->injectScripts();
  auto added = view.webview->documentScripts();
  // No bootstrap, no metadata scripts: ipc, dialogs, bridge, dispatch, plugin, current view.
  ASSERT_EQ(added.size(), 6u);
  EXPECT_EQ(added[0], zrk::plugin::windowIpcScript());
  EXPECT_EQ(added[2], zrk::buildBridgeScript());
  EXPECT_EQ(added[3], kDispatchFunction);
  EXPECT_TRUE(log.contains("script injection, bootstrap: unknown exception"));
  EXPECT_TRUE(log.contains("script injection, metadata: no windows"));

  // A window without application: the same steps run.
  auto orphan = std::make_shared<zrk::Window>();
  View lone = addView(orphan, "lone");
  lone.delegate->injectScripts();
  EXPECT_EQ(lone.webview->documentScripts().size(), 6u);

  // Webview or window gone: nothing at all.
  auto gone = std::make_shared<zrk::WebviewDelegate>(std::weak_ptr<zrk::Window>(), view.webview);
  gone->injectScripts();
  EXPECT_EQ(view.webview->documentScripts().size(), 6u);
}

TEST_F(DelegateTest, DispatchFunctionAndListenersInNode) {
  View view = addView(window, "main_webview");
  view.delegate->injectScripts();
  auto& d = *view.delegate;
  const std::string target = R"({"kind":"Any","label":""})";
  d.listen(target, "evt", "7", "window['_42']");
  d.listen(target, "evt", "7", "window['_43']");  // the same id again replaces the record
  d.listen(target, "evt", "8", "window['_42']");
  d.listen(target, "evt", "10", "window['_99']");  // no such page function
  d.emit("evt", R"({"n":1})", "[9, 8, 7]");
  d.unlisten("evt", "8");
  d.unlisten("evt", "12345");    // never added
  d.unlisten("nothing", "7");    // no entry for the event
  d.emit("evt", R"({"n":2})", "[8, 7]");
  d.emit("evt", R"({"n":3})", "[10]");

  PageRun page;
  page.scripts = view.webview->documentScripts();
  page.scripts.push_back(
      "globalThis.got = []; const copy = (e) => JSON.parse(JSON.stringify(e));"
      " window._42 = (e) => got.push(['42', copy(e)]); window._43 = (e) => got.push(['43', copy(e)]);");
  for (const auto& s : view.webview->scripts()) page.scripts.push_back(s);
  page.probe = "({ got, target: __internal_listeners_object_id.evt[7].target })";
  const auto results = pel::test::runPages({page});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["errors"], json::array());
  const json expected = json::parse(R"([
      ["42", {"event":"evt","payload":{"n":1},"id":8}],
      ["43", {"event":"evt","payload":{"n":1},"id":7}],
      ["43", {"event":"evt","payload":{"n":2},"id":7}]])");
  EXPECT_EQ(results[0]["probe"]["got"], expected);
  EXPECT_EQ(results[0]["probe"]["target"], json::parse(target));
  bool warned = false;
  for (const auto& line : results[0]["warn"]) {
    warned = warned || line.get<std::string>().find("handler is not a function") != std::string::npos;
  }
  EXPECT_TRUE(warned) << results[0]["warn"].dump();
}

TEST_F(DelegateTest, RefusesListenerIdsHandlersAndIdListsThatAreNotWhatTheyClaim) {
  pel::test::LogCapture log(1);
  View view = addView(window, "main_webview");
  auto& d = *view.delegate;
  const std::string target = R"({"kind":"Any"})";
  for (const char* id : {"", "7x", "-1", "7; alert(1)", " 7", "1e3", "123456789012345678901"}) {
    d.listen(target, "evt", id, "window['_1']");
    d.unlisten("evt", id);
  }
  for (const char* handler : {"alert(1)", "window['_1'] || alert(1)", "window['_']", "window['_x']",
                              "window[\"_1\"]", "window['_1']; x()"}) {
    d.listen(target, "evt", "1", handler);
  }
  for (const char* ids : {"", "7", "[1,'a']", "[1,\"a\"]", "[1,{}]", "{}", "[1]]", "[1];alert(1)"}) {
    d.emit("evt", "{}", ids);
  }
  EXPECT_TRUE(view.webview->scripts().empty()) << view.webview->scripts().front();
  EXPECT_TRUE(log.contains("listen refused: the listener id 7x is not a decimal number"));
  EXPECT_TRUE(log.contains("listen refused: alert(1) is not a page callback"));
  EXPECT_TRUE(log.contains("unlisten refused: the listener id -1 is not a decimal number"));
  EXPECT_TRUE(log.contains("emit of evt refused: the listener ids are not an array of numbers"));

  d.listen(target, "evt", "18446744073709551615", "window['_12']");
  d.emit("evt", "{}", "[]");
  EXPECT_EQ(view.webview->scripts().size(), 2u);
}

TEST_F(DelegateTest, HostileTextArrivesIntactAndRunsNothing) {
  const std::vector<std::string> hostile = {
      "quote's",
      "double\"quote",
      "back\\slash\\",
      "line\nbreak\r\nend",
      "sep\u2028and\u2029",
      "</script><script>globalThis.pwned=1</script>",
      "'+(globalThis.pwned=1)+'",
      "');globalThis.pwned=1;//",
      "\\');globalThis.pwned=1;//",
  };
  std::vector<PageRun> pages;
  for (const auto& text : hostile) {
    TestApp hostileApp;
    auto w = hostileApp.addWindow(text);
    View view = addView(w, text + "|view");
    view.delegate->injectScripts();
    auto& d = *view.delegate;
    d.listen(json{{"label", text}}.dump(), text, "7", "window['_42']");
    d.emit(text, json{{"text", text}}.dump(), "[7]");
    d.unlisten(text, "7");
    d.emit(text, json{{"text", "after unlisten"}}.dump(), "[7]");
    PageRun page;
    page.scripts = view.webview->documentScripts();
    page.scripts.push_back("globalThis.got = []; window._42 = (e) => got.push(e);");
    for (const auto& s : view.webview->scripts()) page.scripts.push_back(s);
    page.probe =
        "({ got, pwned: typeof globalThis.pwned, win: __zrk_internals__.metadata.currentWindow.label,"
        " view: __zrk_internals__.metadata.currentWebview.label, windows: __zrk_internals__.metadata.windows,"
        " webviews: __zrk_internals__.metadata.webviews })";
    pages.push_back(std::move(page));
  }
  const auto results = pel::test::runPages(pages);
  ASSERT_EQ(results.size(), hostile.size());
  for (size_t i = 0; i < hostile.size(); ++i) {
    const std::string& text = hostile[i];
    SCOPED_TRACE(text);
    EXPECT_EQ(results[i]["errors"], json::array());
    const json& probe = results[i]["probe"];
    EXPECT_EQ(probe["pwned"], "undefined");
    EXPECT_EQ(probe["got"], json::array({{{"event", text}, {"payload", {{"text", text}}}, {"id", 7}}}));
    EXPECT_EQ(probe["win"], text);
    EXPECT_EQ(probe["view"], text + "|view");
    EXPECT_EQ(probe["windows"], json::array({{{"label", text}}}));
    EXPECT_EQ(probe["webviews"], json::array({{{"label", text + "|view"}, {"windowLabel", text}}}));
  }
}

TEST_F(DelegateTest, ChannelScriptsCallThePageCallbackOnceWithTheFetchedValue) {
  View view = addView(window, "main_webview");
  view.delegate->injectScripts();
  const json value = {{"v", json::array({1, "two", nullptr})}, {"s", "it's\n"}};
  view.webview->sendChannelData(42, value);
  view.webview->sendChannelMessage(7, "ordered", 12);
  const auto scripts = view.webview->scripts();
  ASSERT_EQ(scripts.size(), 2u);

  PageRun page;
  page.scripts = view.webview->documentScripts();
  page.scripts.push_back(
      "globalThis.got = []; window._42 = (v) => got.push(['42', v]); window._7 = (v) => got.push(['7', v]);");
  page.scripts.insert(page.scripts.end(), scripts.begin(), scripts.end());
  // The page fetches what was parked, as the channel plugin answers.
  for (const auto& s : scripts) {
    const size_t at = s.find("'zrk-channel-id': '") + 19;
    const std::string id = s.substr(at, s.find('\'', at) - at);
    json parked;
    ASSERT_TRUE(view.webview->takeChannelData(static_cast<uint32_t>(std::stoul(id)), parked, true));
    page.channel[id] = parked;
  }
  page.probe = "got";
  const auto results = pel::test::runPages({page});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["errors"], json::array());
  EXPECT_EQ(results[0]["probe"],
            json::array({json::array({"42", value}),
                         json::array({"7", {{"message", "ordered"}, {"id", 12}}})}));
  size_t fetches = 0;
  for (const auto& request : results[0]["requests"]) {
    if (request[0] == "__zrk_channel__" && request[1] == "fetch") ++fetches;
  }
  EXPECT_EQ(fetches, 2u);
}

TEST_F(DelegateTest, NotificationsCarryTheWindowAndOneKey) {
  View view = addView(window, "main_webview");
  auto* center = Vesk::TNotificationCenter::defaultCenter();
  std::vector<std::pair<std::string, std::string>> seen;  // name, "key=value"
  auto record = [&](const char* name) {
    return std::make_shared<Vesk::TNotificationCenter::Handler>(
        [&seen, name](const std::shared_ptr<Vesk::TNotification>& n) {
          std::string entry;
          for (auto& [key, value] : *n->userInfo()) {
            entry += key.utf8String() + "=" +
                     std::dynamic_pointer_cast<Vesk::TString>(value)->utf8String() + ";";
          }
          seen.emplace_back(name, entry);
        });
  };
  center->addObserver("webview_title_changed", record("title"), window.get());
  center->addObserver("webview_loaded", record("loaded"), window.get());

  view.delegate->onTitleChanged("New title");
  view.delegate->onNavigationCompleted(view.webview.get());
  view.delegate->onNavigationStarting(view.webview.get());
  zrk::WebviewDelegate plain(window, view.webview);
  plain.onTitleChanged("ignored");
  plain.onNavigationCompleted(view.webview.get());
  {
    auto gone = std::make_shared<zrk::Window>();
    zrk::Webview2Delegate orphan(gone, view.webview);
    gone.reset();
    orphan.onTitleChanged("window gone");
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"title", "title=New title;"}, {"loaded", "label=main_webview;"}};
  EXPECT_EQ(seen, expected);
  center->removeObserver("webview_title_changed", window.get());
  center->removeObserver("webview_loaded", window.get());
}

class EchoHandler : public http::HttpHandler {
  VESK_DECLARE_CLASS(EchoHandler, http::HttpHandler, "test")

 public:
  const char* path() override { return "/echo"; }
  bool handleGet(http::HttpRequest* request, http::HttpResponseConnection* connection) override {
    seenWebview = webview();
    http::HttpMimeResponse response(request->uri(), "text/plain");
    http::sendResponse(connection, request, &response);
    return true;
  }
  zrk::Webview* seenWebview = nullptr;
};

TEST_F(DelegateTest, HandleRequestRoutesThroughTheHandlerList) {
  auto echo = std::make_shared<EchoHandler>();
  static http::HandlerWrapper wrapper(echo, false);
  View view = addView(window, "main_webview");

  pel::test::FakeRequest request("GET", "https://zrk.test/echo?x=1");
  pel::test::RecordingConnection connection;
  EXPECT_TRUE(view.delegate->handleRequest(&request, &connection));
  EXPECT_EQ(echo->seenWebview, view.webview.get());
  EXPECT_EQ(connection.status, 200);
  EXPECT_EQ(connection.body, "https://zrk.test/echo?x=1");
  EXPECT_EQ(connection.finishCount, 1);
  EXPECT_EQ(connection.headers.front(), (std::pair<std::string, std::string>{"Access-Control-Allow-Origin", "*"}));

  // A plugin call from a page of the application's second host name passes the origin check.
  pel::test::FakeRequest plugin("POST", "https://zrk.test/plugin?name=nothing&event=x");
  plugin.withHeader("Origin", "https://.zrk.test");
  pel::test::RecordingConnection pluginConnection;
  EXPECT_TRUE(view.delegate->handleRequest(&plugin, &pluginConnection));
  EXPECT_NE(pluginConnection.status, 403);

  // Window gone, or no application: nothing is written.
  auto lonely = std::make_shared<zrk::Window>();
  View orphan = addView(lonely, "orphan");
  pel::test::RecordingConnection untouched;
  EXPECT_FALSE(orphan.delegate->handleRequest(&request, &untouched));
  lonely.reset();
  EXPECT_FALSE(orphan.delegate->handleRequest(&request, &untouched));
  EXPECT_TRUE(untouched.calls.empty());
}

}  // namespace
