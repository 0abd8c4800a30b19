// The request road and the page side in the real Chromium: a page served from the leading-dot
// host calls the other host with fetch() and reports back through the page-message shim.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"

using namespace deskweb_test;
using nlohmann::json;

namespace {

// The page of the fetch table. Each case records what the page saw; the whole table comes back
// as one page message.
const char kFetchPage[] = R"HTML(<!doctype html><html><head><title>start</title></head><body><script>
const order = (window.__order || []).concat(['page']).join(',');
const shimFirst = typeof chrome.webview.postMessage === 'function';
function fnv(bytes) {
  let h = 0x811c9dc5;
  for (const b of bytes) { h ^= b; h = Math.imul(h, 0x01000193) >>> 0; }
  return h.toString(16);
}
function pattern(n, seed) {
  const a = new Uint8Array(n);
  for (let i = 0; i < n; i++) a[i] = (i * seed + (i >> 8)) & 255;
  return a;
}
const base = 'https://pelmora';
const cases = [
  ['get', () => fetch(base + '/echo?x=1&y=%C3%A9')],
  ['json', () => fetch(base + '/echo', { method: 'POST', headers: { 'Content-Type': 'application/json' },
                                        body: JSON.stringify({ a: 1, b: 'caf\u00e9' }) })],
  ['binary', () => fetch(base + '/echo', { method: 'POST', body: pattern(70000, 7) })],
  ['blob', () => fetch(base + '/echo', { method: 'POST', body: new Blob([pattern(1000, 3), 'tail']) })],
  ['headers', () => fetch(base + '/echo', { headers: { 'zrk-one': '1', 'zrk-two': 'two words' } })],
  ['status420', () => fetch(base + '/status420')],
  ['big', () => fetch(base + '/big')],
  ['failed', () => fetch(base + '/fail')],
  ['dropped', () => fetch(base + '/drop')],
  ['unsafe', () => fetch(base + '/unsafe')],
];
(async () => {
  const out = { order, shimFirst };
  for (const [name, f] of cases) {
    try {
      const r = await f();
      const buf = new Uint8Array(await r.arrayBuffer());
      out[name] = { status: r.status, statusText: r.statusText, xse: r.headers.get('x-status-error'),
                    type: r.headers.get('content-type'), length: buf.length, digest: fnv(buf),
                    text: buf.length < 4096 ? new TextDecoder().decode(buf) : '' };
    } catch (e) {
      out[name] = { error: String(e) };
    }
  }
  chrome.webview.addEventListener('message', (e) => chrome.webview.postMessage({ pong: e.data }));
  chrome.webview.postMessage(out);
  document.title = 'done';
})();
</script></body></html>)HTML";

class ChromiumEngineTest : public ::testing::Test {
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
  }

  // Echoes what arrived: method, URL, the zrk- headers, content type, body length and digest.
  static void addEcho(Host& host) {
    host.route("/echo", [&host](const Request& req, std::shared_ptr<Deferral> d) {
      json headers = json::object();
      std::string type;
      for (auto& [n, v] : req.headers) {
        std::string lower = n;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (lower.rfind("zrk-", 0) == 0) headers[lower] = v;
        if (lower == "content-type") type = v;
      }
      json echo = {{"method", req.method}, {"url", req.url}, {"headers", headers}, {"type", type},
                   {"length", req.body.size()}, {"digest", fnv(req.body)},
                   {"text", req.body.size() < 200 ? req.body : std::string()}};
      Response r;
      r.headers = {{"Content-Type", "application/json"}};
      r.body = echo.dump(-1, ' ', false, json::error_handler_t::replace);
      host.replyThreads.push_back(std::this_thread::get_id());
      d->complete(r);
    });
  }

  static TestLoop* loop;
  static Browser* browser;
};
TestLoop* ChromiumEngineTest::loop = nullptr;
Browser* ChromiumEngineTest::browser = nullptr;

TEST_F(ChromiumEngineTest, APageFetchesTheOtherHostThroughTheEngine) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr) << resultName(host.createResult);
  addEcho(host);
  host.route("/status420", [](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.status = 420;
    r.reason = "plugin invoke failed";
    r.headers = {{"x-status-error", "plugin invoke failed"}, {"Content-Type", "text/plain; charset=utf-8"}};
    r.body = "no such plugin";
    d->complete(r);
  });
  const std::string big = pattern(5 << 20, 13);
  host.route("/big", [&big](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.headers = {{"Content-Type", "application/octet-stream"}};
    r.body = big;
    d->complete(r);
  });
  host.route("/fail", [](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.status = 0;
    r.reason = "request is cancelled";
    d->complete(r);
  });
  host.route("/drop", [](const Request&, std::shared_ptr<Deferral>) {});
  // A reply whose phrase and header would break HTTP still arrives, made valid.
  host.route("/unsafe", [](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.status = 400;
    r.reason = "bad\r\nInjected: 1";
    r.headers = {{"x-status-error", "line\r\nInjected: 1"}, {"bad name", "x"}};
    r.body = "unsafe";
    d->complete(r);
  });
  host.page("/test.w", kFetchPage);

  // Document scripts run in the order added, before the page's own scripts.
  std::vector<std::string> ids;
  for (const char* name : {"a", "b", "c"}) {
    host.webview->addScriptOnDocumentCreated(
        std::string("(window.__order = window.__order || []).push('") + name + "');",
        [&](Result r, const std::string& id) {
          EXPECT_EQ(r, Result::ok);
          ids.push_back(id);
        });
  }
  ASSERT_TRUE(loop->runUntil([&] { return ids.size() == 3; }));
  EXPECT_EQ(host.webview->removeScriptOnDocumentCreated(ids[1]), Result::ok);

  ASSERT_EQ(host.webview->navigate("https://.pelmora/test.w"), Result::ok);
  std::string text = host.waitMessage();
  ASSERT_FALSE(text.empty()) << "the page never reported";
  json out = json::parse(text);

  EXPECT_EQ(out["order"], "a,c,page");
  EXPECT_EQ(out["shimFirst"], true);

  json get = json::parse(out["get"]["text"].get<std::string>());
  EXPECT_EQ(out["get"]["status"], 200);
  EXPECT_EQ(get["method"], "GET");
  EXPECT_EQ(get["url"], "https://pelmora/echo?x=1&y=%C3%A9");
  EXPECT_EQ(get["length"], 0);

  json posted = json::parse(out["json"]["text"].get<std::string>());
  EXPECT_EQ(posted["method"], "POST");
  EXPECT_EQ(posted["type"], "application/json");
  EXPECT_EQ(posted["text"], "{\"a\":1,\"b\":\"caf\xc3\xa9\"}");

  struct BodyCase {
    const char* name;
    std::string sent;
  };
  for (const BodyCase& c : {BodyCase{"binary", pattern(70000, 7)},
                            BodyCase{"blob", pattern(1000, 3) + "tail"}}) {
    ASSERT_TRUE(out[c.name].contains("text")) << c.name << ": " << out[c.name].dump();
    json echo = json::parse(out[c.name]["text"].get<std::string>());
    EXPECT_EQ(echo["length"], c.sent.size()) << c.name;
    EXPECT_EQ(echo["digest"], fnv(c.sent)) << c.name;
  }

  json headers = json::parse(out["headers"]["text"].get<std::string>());
  EXPECT_EQ(headers["headers"], (json{{"zrk-one", "1"}, {"zrk-two", "two words"}}));

  EXPECT_EQ(out["status420"]["status"], 420);
  EXPECT_EQ(out["status420"]["statusText"], "plugin invoke failed");
  EXPECT_EQ(out["status420"]["xse"], "plugin invoke failed");
  EXPECT_EQ(out["status420"]["text"], "no such plugin");

  EXPECT_EQ(out["big"]["status"], 200);
  EXPECT_EQ(out["big"]["length"], big.size());
  EXPECT_EQ(out["big"]["digest"], fnv(big));

  EXPECT_TRUE(out["failed"].contains("error")) << out["failed"].dump();
  EXPECT_TRUE(out["dropped"].contains("error")) << out["dropped"].dump();
  EXPECT_EQ(out["unsafe"]["status"], 400) << out["unsafe"].dump();
  EXPECT_EQ(out["unsafe"]["statusText"], "badInjected: 1");
  EXPECT_EQ(out["unsafe"]["xse"], "lineInjected: 1");

  // Replies were made on the host's worker thread, never on the owner's.
  ASSERT_FALSE(host.replyThreads.empty());
  for (auto id : host.replyThreads) EXPECT_EQ(id, host.worker.id());

  // Navigation and title events, in order, through the owner's loop.
  ASSERT_TRUE(loop->runUntil([&] { return !host.titles.empty() && host.titles.back() == "done"; }));
  ASSERT_FALSE(host.started.empty());
  EXPECT_EQ(host.started.back().url, "https://.pelmora/test.w");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));
  EXPECT_TRUE(host.completed.back().success);
  EXPECT_EQ(host.completed.back().url, "https://.pelmora/test.w");
  EXPECT_EQ(host.webview->source(), "https://.pelmora/test.w");
  EXPECT_EQ(host.webview->documentTitle(), "done");

  // Messages to the page reach its listener as the value or the string.
  ASSERT_EQ(host.webview->postWebMessageAsJson("{\"ping\":[1,\"x\"]}"), Result::ok);
  EXPECT_EQ(json::parse(host.waitMessage(1)), (json{{"pong", {{"ping", {1, "x"}}}}}));
  ASSERT_EQ(host.webview->postWebMessageAsString("hi \"there\""), Result::ok);
  EXPECT_EQ(json::parse(host.waitMessage(2)), (json{{"pong", "hi \"there\""}}));
  EXPECT_EQ(host.webview->postWebMessageAsJson("{not json"), Result::invalidArgument);
}

TEST_F(ChromiumEngineTest, ScriptResultsComeBackAsJson) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  host.page("/blank.w", "<!doctype html><title>t</title><p>x</p>");
  host.webview->navigate("https://.pelmora/blank.w");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));

  struct Case {
    const char* script;
    const char* json;
  };
  for (const Case& c : std::vector<Case>{
           {"1+1", "2"},
           {"'a\"b'", "\"a\\\"b\""},
           {"({a: [1, null, true]})", "{\"a\":[1,null,true]}"},
           {"undefined", "null"},
           {"NaN", "null"},
           {"throw new Error('boom')", "null"},
           {"document.title", "\"t\""},
       }) {
    Result r = Result::failed;
    EXPECT_EQ(host.evaluate(c.script, &r), c.json) << c.script;
    EXPECT_EQ(r, Result::ok) << c.script;
  }
  // A string posted by the page arrives as that string; an object as its JSON.
  host.evaluate("chrome.webview.postMessage('plain \\u00e9'); chrome.webview.postMessage({k: [1]})");
  ASSERT_TRUE(loop->runUntil([&] { return host.messages.size() >= 2; }));
  EXPECT_TRUE(host.messages[0].isString);
  EXPECT_EQ(host.messages[0].text, "plain \xc3\xa9");
  EXPECT_FALSE(host.messages[1].isString);
  EXPECT_EQ(host.messages[1].json, "{\"k\":[1]}");
}

TEST_F(ChromiumEngineTest, AFailedNavigationIsReportedAsSuch) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  host.route("/gone.w", [](const Request&, std::shared_ptr<Deferral> d) { d->fail(); });
  host.webview->navigate("https://.pelmora/gone.w");
  // A new target's own blank load may report first: wait for the completion of this URL.
  auto gone = [&] {
    for (const auto& c : host.completed) {
      if (c.url == "https://.pelmora/gone.w") return true;
    }
    return false;
  };
  ASSERT_TRUE(loop->runUntil(gone));
  while (host.completed.back().url != "https://.pelmora/gone.w") host.completed.pop_back();
  EXPECT_FALSE(host.completed.back().success);
  EXPECT_EQ(host.completed.back().url, "https://.pelmora/gone.w");
  EXPECT_FALSE(host.completed.back().errorText.empty());
  // The error page can be replaced by the owner's own.
  host.completed.clear();
  host.webview->navigateToString("<title>own error</title><p>Refresh</p>");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));
  EXPECT_TRUE(host.completed.back().success);
  EXPECT_EQ(host.evaluate("document.title"), "\"own error\"");
}

TEST_F(ChromiumEngineTest, ClosingAWebviewFailsItsPausedRequests) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  std::mutex m;
  std::shared_ptr<Deferral> slow;
  host.route("/slow", [&](const Request&, std::shared_ptr<Deferral> d) {
    std::lock_guard lock(m);
    slow = std::move(d);
  });
  host.page("/slow.w", "<!doctype html><script>fetch('https://pelmora/slow')</script>");
  bool lateScript = false;
  Result lateResult = Result::ok;
  host.webview->navigate("https://.pelmora/slow.w");
  ASSERT_TRUE(loop->runUntil([&] {
    std::lock_guard lock(m);
    return slow != nullptr;
  }));
  // A script whose answer cannot come any more must still be answered.
  host.webview->executeScript("new Promise(() => {})", [&](Result r, const std::string&) {
    lateScript = true;
    lateResult = r;
  });
  EXPECT_EQ(host.webview->close(), Result::ok);
  std::lock_guard lock(m);
  EXPECT_TRUE(slow->done());
  EXPECT_EQ(slow->complete(Response{}), Result::closed);
  loop->runUntil([&] { return lateScript; });
  EXPECT_TRUE(lateScript);
  EXPECT_TRUE(lateResult == Result::closed || lateResult == Result::ok) << resultName(lateResult);
  EXPECT_EQ(host.webview->navigate("https://.pelmora/x"), Result::closed);

  // The browser goes on serving other webviews.
  Host next(*loop, *browser->env);
  ASSERT_NE(next.webview, nullptr);
  EXPECT_EQ(next.evaluate("6*7"), "42");
}

TEST_F(ChromiumEngineTest, EmulationFollowsBoundsScaleAndZoom) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  host.page("/m.w", "<!doctype html><p>m</p>");
  host.webview->navigate("https://.pelmora/m.w");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));
  EXPECT_EQ(host.webview->setBounds({0, 0, 900, 600}), Result::ok);
  EXPECT_EQ(host.webview->setDeviceScaleFactor(1.5), Result::ok);
  EXPECT_EQ(host.evaluate("[innerWidth, innerHeight, devicePixelRatio]"), "[600,400,1.5]");
  EXPECT_EQ(host.webview->setZoomFactor(2.0), Result::ok);
  EXPECT_EQ(host.evaluate("[innerWidth, innerHeight, devicePixelRatio]"), "[300,200,3]");
  EXPECT_EQ(host.webview->setBackgroundColor({128, 0, 0, 0}), Result::invalidArgument);
  EXPECT_EQ(host.webview->setBackgroundColor({0, 0, 0, 0}), Result::ok);
  EXPECT_EQ(host.webview->backgroundColor(), (Color{0, 0, 0, 0}));
}

// A browser of its own, killed under a paused request.
TEST(ChromiumEngineDeath, AKilledBrowserFailsWhatIsPendingAndIsReported) {
  TestLoop loop;
  Browser browser;
  ASSERT_TRUE(browser.start(loop)) << browser.error;
  std::string exited;
  browser.env->setBrowserExitedHandler([&](const std::string& why) { exited = why; });
  Host host(loop, *browser.env);
  ASSERT_NE(host.webview, nullptr);
  std::mutex m;
  std::shared_ptr<Deferral> slow;
  host.route("/slow", [&](const Request&, std::shared_ptr<Deferral> d) {
    std::lock_guard lock(m);
    slow = std::move(d);
  });
  host.page("/slow.w", "<!doctype html><script>fetch('https://pelmora/slow')</script>");
  host.webview->navigate("https://.pelmora/slow.w");
  ASSERT_TRUE(loop.runUntil([&] {
    std::lock_guard lock(m);
    return slow != nullptr;
  }));

  ASSERT_GT(browser.pid(), 0);
  ASSERT_EQ(::kill(browser.pid(), SIGKILL), 0);
  ASSERT_TRUE(loop.runUntil([&] { return !exited.empty() && !host.failures.empty(); }));
  EXPECT_FALSE(browser.env->browserAlive());
  {
    std::lock_guard lock(m);
    EXPECT_TRUE(slow->done());
    EXPECT_EQ(slow->complete(Response{}), Result::browserGone);
  }
  EXPECT_EQ(host.evaluate("1"), "<refused browserGone>");
  Result created = Result::ok;
  bool done = false;
  browser.env->createWebview([&](Result r, std::shared_ptr<Webview>) { created = r, done = true; });
  loop.runUntil([&] { return done; });
  EXPECT_EQ(created, Result::browserGone);
}

// A missing browser is an error the owner sees, never a hang.
TEST(ChromiumEngineStart, AMissingBrowserFailsWithAReason) {
  TestLoop loop;
  TempFolder folder;
  EnvironmentOptions options;
  options.userDataFolder = folder.path() + "/WebData";
  options.browserPath = folder.path() + "/no-such-browser";
  bool done = false;
  std::string error;
  Result result = Result::ok;
  ChromiumEngine::create()->createEnvironment(
      options, loop.executor(), [&](Result r, std::shared_ptr<Environment> e, const std::string& why) {
        done = true;
        result = r;
        error = why;
        EXPECT_EQ(e, nullptr);
      });
  ASSERT_TRUE(loop.runUntil([&] { return done; }));
  EXPECT_EQ(result, Result::failed);
  EXPECT_NE(error.find("no-such-browser"), std::string::npos) << error;
}

}  // namespace
