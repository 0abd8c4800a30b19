// Web Workers' requests and cancellable navigation starts in the real Chromium.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"

using namespace deskweb_test;
using nlohmann::json;

namespace {

class WorkerNavigationTest : public ::testing::Test {
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
  static void script(Host& host, const std::string& path, const std::string& js) {
    host.route(path, [js](const Request&, std::shared_ptr<Deferral> d) {
      Response r;
      r.headers = {{"Content-Type", "text/javascript"}};
      r.body = js;
      d->complete(r);
    });
  }
  // Answers with the query and the thread, so the page can tell its calls apart.
  static void addWho(Host& host) {
    host.route("/who", [&host](const Request& req, std::shared_ptr<Deferral> d) {
      Response r;
      r.headers = {{"Content-Type", "text/plain"}};
      r.body = "answered " + req.url.substr(req.url.find('?') + 1);
      host.replyThreads.push_back(std::this_thread::get_id());
      d->complete(r);
    });
  }

  static TestLoop* loop;
  static Browser* browser;
};
TestLoop* WorkerNavigationTest::loop = nullptr;
Browser* WorkerNavigationTest::browser = nullptr;

// A page whose dedicated worker starts a worker of its own; each calls the other host, and a
// shared worker tries too. The whole outcome comes back as one page message.
TEST_F(WorkerNavigationTest, DedicatedAndNestedWorkersAreServedByTheirPagesWebview) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  addWho(host);
  script(host, "/worker.js", R"JS(
    (async () => {
      const out = {};
      try { out.own = await (await fetch('https://pelmora/who?worker')).text(); } catch (e) { out.own = String(e); }
      const nested = new Worker('https://.pelmora/nested.js');
      nested.onmessage = (e) => { out.nested = e.data; postMessage(out); };
      nested.onerror = () => { out.nested = 'script not loaded'; postMessage(out); };
    })();)JS");
  script(host, "/nested.js", R"JS(
    fetch('https://pelmora/who?nested').then(r => r.text()).then(t => postMessage(t), e => postMessage(String(e)));)JS");
  script(host, "/shared.js", R"JS(
    onconnect = (c) => { const port = c.ports[0];
      fetch('https://pelmora/who?shared').then(r => r.text()).then(t => port.postMessage(t), e => port.postMessage('failed')); };)JS");
  host.page("/w.w", R"HTML(<!doctype html><script>
    const w = new Worker('https://.pelmora/worker.js');
    w.onmessage = (e) => {
      const out = e.data;
      const s = new SharedWorker('https://.pelmora/shared.js');
      s.port.onmessage = (m) => { out.shared = m.data; chrome.webview.postMessage(out); };
    };
    w.onerror = () => chrome.webview.postMessage({ error: 'worker not loaded' });
  </script>)HTML");
  host.webview->navigate("https://.pelmora/w.w");
  json out = json::parse(host.waitMessage(), nullptr, false);
  EXPECT_EQ(out.value("own", ""), "answered worker") << out;
  EXPECT_EQ(out.value("nested", ""), "answered nested") << out;
  // A shared worker belongs to no single page: its requests are not the webviews' to answer.
  EXPECT_EQ(out.value("shared", ""), "failed") << out;
  std::vector<std::string> urls;
  for (auto& r : host.requests) urls.push_back(r.url);
  for (const char* url : {"https://.pelmora/worker.js", "https://.pelmora/nested.js", "https://pelmora/who?worker",
                          "https://pelmora/who?nested"}) {
    EXPECT_EQ(std::count(urls.begin(), urls.end(), url), 1) << url;
  }
  // Every answer came from the host's own worker thread, as with the page's requests.
  for (auto& t : host.replyThreads) EXPECT_EQ(t, host.worker.id());
}

// A starting top-frame navigation is the owner's to stop; a stopped one leaves the page as it was.
TEST_F(WorkerNavigationTest, TheOwnerCanStopANavigationAndThePageStays) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  host.page("/nav.w", R"HTML(<!doctype html><title>nav</title><a id=o href="https://elsewhere.example/x">o</a>
    <script>window.marker = 1;</script>)HTML");
  host.page("/next.w", "<!doctype html><title>next</title>");
  host.webview->navigate("https://.pelmora/nav.w");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));
  ASSERT_EQ(host.started.size(), 1u);
  EXPECT_TRUE(host.started[0].cancellable);
  EXPECT_EQ(host.started[0].navigationId, host.completed[0].navigationId);

  struct Case {
    const char* name;
    std::function<void()> start;
    const char* url;
  };
  std::vector<Case> cases = {
      {"owner navigates away", [&] { host.webview->navigate("https://elsewhere.example/y"); },
       "https://elsewhere.example/y"},
      {"page link", [&] { host.evaluate("document.getElementById('o').click()"); }, "https://elsewhere.example/x"},
      {"page script", [&] { host.evaluate("location.href = 'https://other.example/'"); }, "https://other.example/"},
  };
  // The owner's rule: only the program's hosts.
  host.stopWhen = [](const NavigationStarting& n) { return n.url.find("pelmora") == std::string::npos; };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    host.started.clear();
    host.completed.clear();
    c.start();
    ASSERT_TRUE(loop->runUntil([&] { return !host.started.empty(); }));
    EXPECT_EQ(host.started[0].url, c.url);
    EXPECT_TRUE(host.started[0].cancel);
    // Settle: nothing commits, the page and its state are still there.
    loop->runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(host.evaluate("[location.href, window.marker, document.title]"), "[\"https://.pelmora/nav.w\",1,\"nav\"]");
    EXPECT_TRUE(host.completed.empty());
  }
  // Allowed, the same road loads the page.
  host.started.clear();
  host.completed.clear();
  host.evaluate("location.href = 'https://.pelmora/next.w'");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));
  EXPECT_TRUE(host.completed.back().success);
  EXPECT_EQ(host.evaluate("document.title"), "\"next\"");
}

// What the browser already refuses from a page of the program's host, and the one road it does
// not refuse well (file:, which would put a blank page in place of the app's).
TEST_F(WorkerNavigationTest, PageNavigationsToLocalAndInlineSchemesLeaveThePage) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  host.page("/nav.w", R"HTML(<!doctype html><title>nav</title><a id=f href="file:///etc/hostname">f</a>
    <script>window.marker = 1;</script>)HTML");
  host.webview->navigate("https://.pelmora/nav.w");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));
  struct Case {
    const char* script;
    bool reported;  // stopped by the engine and reported to the owner
  };
  const Case cases[] = {
      {"document.getElementById('f').click()", true},
      {"location.href = 'file:///etc/hostname'", true},
      {"window.open('file:///etc/hostname', '_top')", true},
      {"location.href = 'data:text/html,<title>d</title>'", false},  // refused by the browser
      {"location.href = 'javascript:void(window.ran = 1)'", false},   // runs in the page itself
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.script);
    host.started.clear();
    host.completed.clear();
    host.evaluate(c.script);
    loop->runUntil([] { return false; }, std::chrono::milliseconds(400));
    EXPECT_EQ(host.evaluate("[location.href, window.marker]"), "[\"https://.pelmora/nav.w\",1]");
    EXPECT_TRUE(host.completed.empty());
    if (c.reported) {
      ASSERT_EQ(host.started.size(), 1u);
      EXPECT_EQ(host.started[0].url.rfind("file:", 0), 0u);
      EXPECT_TRUE(host.started[0].cancel);
      EXPECT_FALSE(host.started[0].cancellable);
    } else {
      EXPECT_TRUE(host.started.empty());
    }
  }
}

// Script dialogs wait for the owner's answer; one nobody answers gets the engine's own.
TEST_F(WorkerNavigationTest, ScriptDialogsAreAnsweredThroughTheirDeferral) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  host.page("/d.w", "<!doctype html><title>d</title>");
  host.webview->navigate("https://.pelmora/d.w");
  ASSERT_TRUE(loop->runUntil([&] { return !host.completed.empty(); }));
  std::vector<ScriptDialogOpening> dialogs;
  std::shared_ptr<ScriptDialogDeferral> held;
  host.onDialog = [&](ScriptDialogOpening& d) {
    dialogs.push_back(d);
    dialogs.back().deferral.reset();  // the record must not keep the dialog open
    if (d.kind == ScriptDialogKind::prompt) {
      // Answered later, from another thread.
      auto deferral = d.getDeferral();
      host.worker.post([deferral] { deferral->accept("typed \"text\""); });
    } else if (d.kind == ScriptDialogKind::confirm && d.message == "keep?") {
      held = d.getDeferral();
    }
  };
  host.evaluate("setTimeout(() => { window.answers = [confirm('drop?'), prompt('name?', 'x'), alert('hi')]; }, 0)");
  ASSERT_TRUE(loop->runUntil([&] { return host.evaluate("JSON.stringify(window.answers || null)") != "\"null\""; }));
  // The confirm nobody took is declined, the prompt gets the answer, the alert goes on.
  EXPECT_EQ(host.evaluate("window.answers"), "[false,\"typed \\\"text\\\"\",null]");
  ASSERT_EQ(dialogs.size(), 3u);
  EXPECT_EQ(dialogs[1].message, "name?");
  EXPECT_EQ(dialogs[1].defaultText, "x");
  EXPECT_EQ(dialogs[1].url, "https://.pelmora/d.w");

  // A held deferral keeps the page waiting until it is answered.
  host.evaluate("setTimeout(() => { window.kept = confirm('keep?'); }, 0)");
  ASSERT_TRUE(loop->runUntil([&] { return held != nullptr; }));
  EXPECT_EQ(held->accept(), Result::ok);
  EXPECT_EQ(held->accept(), Result::failed);
  EXPECT_TRUE(loop->runUntil([&] { return host.evaluate("window.kept") == "true"; }));
}

}  // namespace
