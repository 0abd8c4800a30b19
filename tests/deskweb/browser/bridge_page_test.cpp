// The page scripts in the real Chromium, on the engine's test host: the custom title bar, the
// context-menu control and Web Workers. The host answers the bridge's commands with stub replies
// and records them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"
#include "scripts/page_scripts.h"

using namespace deskweb_test;
using nlohmann::json;

namespace {

// The commands that reached "/plugin", in arrival order, and the stub state they read.
struct PluginStub {
  std::mutex mutex;
  std::vector<json> calls;  // {command, payload}
  std::atomic<bool> maximized{false};

  std::vector<std::string> commands() {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (auto& c : calls) out.push_back(c["command"].get<std::string>());
    return out;
  }
  size_t count(const std::string& command) {
    auto all = commands();
    return static_cast<size_t>(std::count(all.begin(), all.end(), command));
  }
};

std::string queryValue(const std::string& url, const std::string& key) {
  size_t q = url.find('?');
  if (q == std::string::npos) return {};
  std::string query = url.substr(q + 1);
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    if (pair.rfind(key + "=", 0) == 0) return pair.substr(key.size() + 1);
    start = end + 1;
  }
  return {};
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = 0; (p = text.find(from, p)) != std::string::npos; p += to.size()) text.replace(p, from.size(), to);
  return text;
}

class BridgePageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    loop = new TestLoop();
    browser = new Browser();
    browser->start(*loop);
  }
  static void TearDownTestSuite() {
    if (browser->env) browser->env->close();
    delete browser;
    delete loop;
  }
  void SetUp() override {
    ASSERT_NE(browser->env, nullptr) << "the browser must be there: " << browser->error;
    host = std::make_unique<Host>(*loop, *browser->env);
    ASSERT_NE(host->webview, nullptr);
    PluginStub* stub = &this->stub;
    host->route("/plugin", [stub](const Request& request, std::shared_ptr<Deferral> d) {
      const std::string command = "plugin:" + queryValue(request.url, "name") + "|" + queryValue(request.url, "event");
      json payload = json::parse(request.body, nullptr, false);
      if (payload.is_discarded()) payload = nullptr;
      json answer = true;
      if (command == "plugin:window|is_maximized") answer = stub->maximized.load();
      if (command == "plugin:echo|ping") answer = {{"pong", payload}};
      {
        std::lock_guard lock(stub->mutex);
        stub->calls.push_back({{"command", command}, {"payload", payload}});
      }
      Response r;
      r.headers = {{"Content-Type", "application/json"}, {"Access-Control-Allow-Origin", "*"}};
      r.body = answer.dump();
      d->complete(r);
    });
    // What the webview host injects, in its order: the bootstrap, the current window's record
    // (the native current-view script), the bridge module.
    std::string bootstrap = replaceAll(replaceAll(zrk::buildBootstrapScript(), "{URI_SCHEME}", "https"),
                                       "{URI_DOMAIN}", kHost);
    int added = 0;
    for (const std::string& script :
         {bootstrap, std::string("window.__zrk_internals__.metadata.currentWindow = { label: 'main' };"),
          zrk::buildBridgeScript()}) {
      host->webview->addScriptOnDocumentCreated(script, [&](Result r, const std::string&) {
        EXPECT_EQ(r, Result::ok);
        ++added;
      });
    }
    ASSERT_TRUE(loop->runUntil([&] { return added == 3; }));
  }
  void TearDown() override { host.reset(); }

  void open(const std::string& path, const std::string& html) {
    host->page(path, html);
    size_t before = host->completed.size();
    ASSERT_EQ(host->webview->navigate(std::string("https://.pelmora") + path), Result::ok);
    ASSERT_TRUE(loop->runUntil([&] { return host->completed.size() > before; }));
    ASSERT_TRUE(host->completed.back().success);
  }

  json eval(const std::string& script) { return json::parse(host->evaluate(script), nullptr, false); }

  // Polls a page expression until it is true (bounded).
  bool waitTrue(const std::string& expression) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (host->evaluate("!!(" + expression + ")") == "true") return true;
      loop->runUntil([] { return false; }, std::chrono::milliseconds(20));
    }
    return false;
  }

  bool waitCount(const std::string& command, size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (stub.count(command) >= n) return true;
      loop->runUntil([] { return false; }, std::chrono::milliseconds(20));
    }
    return false;
  }

  static TestLoop* loop;
  static Browser* browser;
  std::unique_ptr<Host> host;
  PluginStub stub;
};
TestLoop* BridgePageTest::loop = nullptr;
Browser* BridgePageTest::browser = nullptr;

const char kTitlebarPage[] = R"HTML(<!doctype html><html><head><title>Start</title></head><body>
<p id="content">content</p><script>
window.__ready = [];
window.addEventListener('titlebar-ready', (e) => __ready.push('window'));
document.addEventListener('titlebar-ready', (e) => __ready.push('document'));
window.__docMouseUp = [];
document.addEventListener('mouseup', (e) => __docMouseUp.push(e.button));
</script></body></html>)HTML";

// What the native window sets after a load, then its event.
std::string pageUpdate(const std::string& tbrect, const std::string& vid = "0") {
  return "(() => { const h = document.documentElement; h.setAttribute('platform', 'windows');"
         " h.setAttribute('tbrect', " + json(tbrect).dump() + "); h.setAttribute('vid', " + json(vid).dump() + ");"
         " window.dispatchEvent(new Event('zrk-page-updated')); return true; })()";
}

const char kBarState[] = R"JS((() => {
  const bar = document.querySelector('.__zrk_titlebar');
  const style = document.querySelector('head style');
  return {
    bars: document.querySelectorAll('.__zrk_titlebar').length,
    styles: document.querySelectorAll('style').length,
    first: !!bar && document.body.firstElementChild === bar,
    classes: bar ? bar.className : null,
    children: bar ? [...bar.children].map((c) => c.className) : [],
    buttons: bar ? [...bar.querySelectorAll('.sys-buttons > div')].map((b) =>
      [b.className, b.getAttribute('title'), b.children.length, b.firstElementChild.tagName, b.firstElementChild.className]) : [],
    title: bar ? bar.querySelector('.sys-title').innerText : null,
    height: bar ? getComputedStyle(bar).height : null,
    buttonWidth: bar ? getComputedStyle(bar.querySelector('.sysbtn')).width : null,
    ascii: !!style && /^[\x00-\x7f]*$/.test(style.textContent),
    ready: window.__ready,
    setters: ['setSysCloseTitle', 'setSysMaximizeTitle', 'setSysMinimizeTitle', 'setSysRestoreTitle'].map((k) => typeof __zrk__[k]),
    setup: __zrk__.isTitlebarSetup,
  };
})())JS";

std::string maximizeTitle() { return "document.querySelector('.sysbtn.sys-maximize').getAttribute('title')"; }

TEST_F(BridgePageTest, TheTitleBarIsBuiltOnceFromTheWindowsAttributes) {
  open("/bar.w", kTitlebarPage);
  json before = eval(kBarState);
  EXPECT_EQ(before["bars"], 0);
  EXPECT_EQ(before["setup"], true);
  EXPECT_EQ(before["setters"], json({"function", "function", "function", "function"}));

  ASSERT_EQ(eval(pageUpdate("[0, 0, 0, 40]")), true);
  json bar = eval(kBarState);
  EXPECT_EQ(bar["bars"], 1);
  EXPECT_EQ(bar["styles"], 1);
  EXPECT_EQ(bar["first"], true);
  EXPECT_EQ(bar["classes"], "__zrk_titlebar __zrk_titlebar_extra");
  EXPECT_EQ(bar["children"], json({"sys-icon", "sys-title", "sys-buttons"}));
  EXPECT_EQ(bar["buttons"], json({{"sysbtn sys-minimize", "Minimize", 1, "SPAN", "sysbtn-icon sys-minimize"},
                                  {"sysbtn sys-maximize", "Maximize", 1, "SPAN", "sysbtn-icon sys-maximize"},
                                  {"sysbtn sys-close", "Close", 1, "SPAN", "sysbtn-icon sys-close"}}));
  EXPECT_EQ(bar["title"], "Start");
  EXPECT_EQ(bar["height"], "40px");
  EXPECT_EQ(bar["buttonWidth"], "40px");
  EXPECT_EQ(bar["ascii"], true);
  EXPECT_EQ(bar["ready"], json({"window", "document"}));

  // Every later event (one comes after each navigation, pages may send their own) adds nothing.
  eval(pageUpdate("[0, 0, 0, 60]"));
  eval("window.dispatchEvent(new Event('zrk-page-updated'))");
  json again = eval(kBarState);
  EXPECT_EQ(again["bars"], 1);
  EXPECT_EQ(again["styles"], 1);
  EXPECT_EQ(again["height"], "40px");
  EXPECT_EQ(again["ready"], json({"window", "document"}));

  // The maximize button's tooltip and icon follow `state`; overrides apply from the next change.
  const std::string icon = "getComputedStyle(document.querySelector('.sysbtn-icon.sys-maximize')).webkitMaskImage";
  EXPECT_NE(host->evaluate(icon).find("0 0 16 16"), std::string::npos) << host->evaluate(icon);
  eval("document.documentElement.setAttribute('state', 'maximized')");
  EXPECT_TRUE(waitTrue(maximizeTitle() + " === 'Restore'"));
  EXPECT_NE(host->evaluate(icon).find("0 0 20 20"), std::string::npos) << host->evaluate(icon);
  // The maximized bar's padding stays inside its width: the page gets no horizontal scroll.
  EXPECT_EQ(eval("document.documentElement.scrollWidth <= innerWidth"), true);
  EXPECT_EQ(eval("getComputedStyle(document.querySelector('.__zrk_titlebar')).paddingLeft"), "10px");
  eval("document.documentElement.setAttribute('state', 'minimized')");
  eval("document.documentElement.removeAttribute('state')");
  EXPECT_TRUE(waitTrue(maximizeTitle() + " === 'Maximize'"));
  eval("document.documentElement.setAttribute('state', 'minimized')");
  eval("__zrk__.setSysRestoreTitle('Back'); __zrk__.setSysMaximizeTitle('')");
  loop->runUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(host->evaluate(maximizeTitle()), "\"Maximize\"") << "minimized leaves the tooltip";
  eval("document.documentElement.setAttribute('state', 'maximized')");
  EXPECT_TRUE(waitTrue(maximizeTitle() + " === 'Back'"));
  eval("document.documentElement.removeAttribute('state')");
  EXPECT_TRUE(waitTrue(maximizeTitle() + " === ''"));
  eval("__zrk__.setSysMaximizeTitle(null); document.documentElement.setAttribute('state', 'maximized');"
       "document.documentElement.removeAttribute('state')");
  EXPECT_TRUE(waitTrue(maximizeTitle() + " === 'Maximize'"));

  // Capability attributes hide their button only.
  const std::string displays = "[...document.querySelectorAll('.sysbtn')].map((b) => getComputedStyle(b).display)";
  EXPECT_EQ(eval(displays), json({"flex", "flex", "flex"}));
  eval("document.documentElement.setAttribute('minimizable', '0'); document.documentElement.setAttribute('closable', '1')");
  EXPECT_EQ(eval(displays), json({"none", "flex", "flex"}));
  eval("document.documentElement.setAttribute('maximizable', '0'); document.documentElement.setAttribute('closable', '0')");
  EXPECT_EQ(eval(displays), json({"none", "none", "none"}));

  // The title follows document.title.
  eval("document.title = 'Changed'");
  EXPECT_TRUE(waitTrue("document.querySelector('.sys-title').innerText === 'Changed'"));
}

TEST_F(BridgePageTest, TitleBarButtonsAndDoubleClicksSendTheWindowCommands) {
  open("/bar.w", kTitlebarPage);
  eval(pageUpdate("[0, 0, 0, 32]"));
  eval("document.querySelector('.sysbtn.sys-close').click()");
  ASSERT_TRUE(waitCount("plugin:window|close", 1));
  eval("document.querySelector('.sysbtn.sys-minimize').click()");
  ASSERT_TRUE(waitCount("plugin:window|minimize", 1));
  eval("document.querySelector('.sysbtn.sys-maximize').click()");
  ASSERT_TRUE(waitCount("plugin:window|maximize", 1));
  stub.maximized = true;
  eval("document.querySelector('.sysbtn.sys-maximize').click()");
  ASSERT_TRUE(waitCount("plugin:window|unmaximize", 1));
  EXPECT_EQ(stub.count("plugin:window|is_maximized"), 2u);
  {
    std::lock_guard lock(stub.mutex);
    for (auto& c : stub.calls) {
      if (c["command"].get<std::string>().rfind("plugin:window|", 0) == 0) {
        EXPECT_EQ(c["payload"]["label"], "main") << c.dump();
      }
    }
  }

  // A double click toggles, on a button too, except on an excluded target.
  const std::string dblclick = "(s) => document.querySelector(s).dispatchEvent(new MouseEvent('dblclick', { bubbles: true }))";
  eval("(" + dblclick + ")('.sys-title')");
  ASSERT_TRUE(waitCount("plugin:window|toggle_maximize", 1));
  eval("(" + dblclick + ")('.sysbtn.sys-close')");
  ASSERT_TRUE(waitCount("plugin:window|toggle_maximize", 2));
  eval("__zrk__.nativeContextMenuExcludes = ['*sys-buttons']; (" + dblclick + ")('.sysbtn.sys-close');"
       "document.querySelector('.sysbtn.sys-minimize').click()");
  ASSERT_TRUE(waitCount("plugin:window|minimize", 2));
  loop->runUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(stub.count("plugin:window|toggle_maximize"), 2u);

  // The bar keeps its context menu to itself; a right release on the buttons stays in the group.
  EXPECT_EQ(eval("document.querySelector('.sys-title').dispatchEvent(new MouseEvent('contextmenu', "
                 "{ bubbles: true, cancelable: true }))"),
            false);
  eval("for (const b of [2, 0]) document.querySelector('.sysbtn.sys-close').dispatchEvent("
       "new MouseEvent('mouseup', { bubbles: true, cancelable: true, button: b }))");
  EXPECT_EQ(eval("__docMouseUp"), json({0}));
}

TEST_F(BridgePageTest, NoTitleBarWithoutAUsableHeightOrOutsideTheFirstWebview) {
  open("/bar.w", kTitlebarPage);
  const std::string counts = "[document.querySelectorAll('.__zrk_titlebar').length, document.querySelectorAll('style').length]";
  for (const auto& [tbrect, vid] : std::vector<std::pair<std::string, std::string>>{
           {"[0, 0, 0, 40]", "1"}, {"[0, 0, 0, 40]", ""}, {"[0, 0, 0, -1]", "0"}, {"[0, 0, 0]", "0"},
           {"[0, 0, 0, \"40px; } body { display: none\"]", "0"}, {"not json", "0"}, {"{\"3\": 40}", "0"},
           {"[0, 0, 0, null]", "0"}}) {
    eval(pageUpdate(tbrect, vid));
    EXPECT_EQ(eval(counts), json({0, 0})) << tbrect << " vid " << vid;
  }
  EXPECT_EQ(eval("document.body.style.display"), "");
  // A later usable rectangle still gets its bar; a height of 0 is usable.
  eval(pageUpdate("[10, 0, 300, 0]"));
  EXPECT_EQ(eval(counts), json({1, 1}));
  EXPECT_EQ(eval("getComputedStyle(document.querySelector('.__zrk_titlebar')).height"), "0px");
}

TEST_F(BridgePageTest, ABarBuiltBeforeTheBodyExistsIsAttachedOnceTheDocumentIsInteractive) {
  open("/early.w", std::string(R"HTML(<!doctype html><html><head><title>Early</title><script>
window.__ready = [];
window.addEventListener('titlebar-ready', () => __ready.push(['window', !!document.body]));
document.addEventListener('titlebar-ready', () => __ready.push(['document', document.readyState]));
)HTML") + pageUpdate("[0, 0, 0, 30]") + R"HTML(;
window.__bodyAtEvent = !!document.body;
</script></head><body><p>content</p></body></html>)HTML");
  EXPECT_EQ(eval("__bodyAtEvent"), false);
  EXPECT_EQ(eval("__ready"), json::array({json::array({"window", true}), json::array({"document", "interactive"})}));
  EXPECT_EQ(eval("document.body.firstElementChild.className"), "__zrk_titlebar __zrk_titlebar_extra");
  EXPECT_EQ(eval("document.querySelector('.sys-title').innerText"), "Early");
}

TEST_F(BridgePageTest, TheContextMenuFollowsThePagesSettings) {
  open("/menu.w", R"HTML(<!doctype html><html class="rootcls"><head><title>m</title></head><body class="bodycls">
<div id="zone" class="zone" data-keep><span id="inner" class="leaf">x</span></div>
<div id="own" class="__zrk_titlebar"><i class="child">c</i></div><p class="plain">p</p>
<script>window.__seen = 0; document.addEventListener('contextmenu', () => { window.__seen++; });</script>
</body></html>)HTML");
  struct Case {
    const char* disabled;  // page expression
    const char* excludes;  // page expression
    const char* target;    // selector
    bool opens;
  };
  const Case cases[] = {
      {"undefined", "undefined", ".plain", true},
      {"undefined", "undefined", "#own", false},
      {"undefined", "undefined", ".child", true},
      {"undefined", "'__zrk_titlebar'", "#own", true},
      {"true", "undefined", ".plain", false},
      {"true", "[]", ".plain", false},
      {"1", "null", "#zone", false},
      {"true", "'zone'", "#zone", true},
      {"true", "['zone']", "#zone", true},
      {"true", "'Zone'", "#zone", false},
      {"true", "'zone'", "#inner", false},
      {"true", "'*zone'", "#inner", true},
      {"true", "['plain', '*zone']", "#inner", true},
      {"true", "'#zone'", "#zone", true},
      {"true", "'#zone'", "#inner", false},
      {"true", "'*#zone'", "#inner", true},
      {"true", "'$data-keep'", "#zone", true},
      {"true", "'$DATA-KEEP'", "#zone", true},
      {"true", "'$data-keep'", "#inner", false},
      {"true", "'*$data-keep'", "#inner", true},
      {"true", "'*bodycls'", "#inner", true},
      {"true", "'*rootcls'", "#inner", false},
      {"true", "'*rootcls'", "html", true},
      {"true", "'*zone'", "html", false},
      {"true", "'*'", ".plain", false},
      {"true", "'$'", ".plain", false},
      {"true", "'#'", ".child", true},
      {"true", "'#'", "#zone", false},
      {"0", "'zone'", ".plain", true},
  };
  for (const Case& c : cases) {
    const std::string script = std::string("(() => { __zrk__.isNativeContextMenuDisabled = ") + c.disabled +
                               "; __zrk__.nativeContextMenuExcludes = " + c.excludes + "; const seen = __seen;" +
                               " const opens = document.querySelector('" + c.target +
                               "').dispatchEvent(new MouseEvent('contextmenu', { bubbles: true, cancelable: true }));" +
                               " return [opens, __seen - seen]; })()";
    EXPECT_EQ(eval(script), json({c.opens, c.opens ? 1 : 0}))
        << c.disabled << " / " << c.excludes << " / " << c.target;
  }
}

// The worker's script: answers every message with what its environment holds and a command's reply.
const char kWorkerScript[] = R"JS(self.onmessage = async (e) => {
  let reply;
  try { reply = await __zrk_internals__.invoke('plugin:echo|ping', { from: e.data }); } catch (err) { reply = 'failed: ' + err; }
  postMessage({ got: e.data, invoke: typeof __zrk_internals__.invoke, path: __zrk_internals__.plugins ? __zrk_internals__.plugins.path : null,
                local: typeof self.fetchWorkerScript, reply });
};
)JS";

TEST_F(BridgePageTest, WorkersGetTheEnvironmentAndReachTheHost) {
  auto script = [](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.headers = {{"Content-Type", "application/javascript"}};
    r.body = kWorkerScript;
    d->complete(r);
  };
  host->route("/sub/w.js", script);
  host->route("/abs.js", script);
  open("/sub/page.w", std::string(R"HTML(<!doctype html><html><head><title>w</title></head><body><script>
const text = )HTML") + json(kWorkerScript).dump() + R"HTML(;
window.__zrk_internals__.plugins.path = { sep: '\\', delimiter: ':' };
window.results = {};
window.natives = {};
function start(name, arg) {
  const w = new Worker(arg);
  natives[name] = w instanceof NativeWorker;
  w.onmessage = (e) => { results[name] = e.data; };
  w.postMessage(name);
}
start('relative', 'w.js');
start('absolute', 'https://.pelmora/abs.js');
start('blobUrl', URL.createObjectURL(new Blob([text], { type: 'application/javascript' })));
start('blob', new Blob([text], { type: 'application/javascript' }));
start('url', new URL('w.js', location.href));
</script></body></html>)HTML");
  ASSERT_TRUE(waitTrue("Object.keys(results).length === 5")) << host->evaluate("results");
  json results = eval("results");
  json natives = eval("natives");
  for (const char* name : {"relative", "absolute", "blobUrl", "blob", "url"}) {
    const json& r = results[name];
    EXPECT_EQ(r["got"], name) << "the message posted before the script ran arrives: " << r.dump();
    EXPECT_EQ(r["invoke"], "function") << name;
    EXPECT_EQ(r["local"], "function") << name;
    EXPECT_EQ(r["path"], (json{{"sep", "\\"}, {"delimiter", ":"}})) << name;
    EXPECT_EQ(r["reply"], (json{{"pong", {{"from", name}}}})) << name;
    EXPECT_EQ(natives[name], true) << name;
  }
  // The relative name was fetched beside the page, not at the root.
  bool rootFetched = false;
  for (const Request& r : host->requests) rootFetched = rootFetched || r.url == "https://.pelmora/w.js";
  EXPECT_FALSE(rootFetched);
}

}  // namespace
