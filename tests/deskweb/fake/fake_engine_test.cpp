// Contract tests of the fake engine: what the webview host may rely on from any engine, checked
// on the in-process one.
#include <gtest/gtest.h>

#include <thread>

#include "deskweb/test_loop.h"
#include "desk/web/fake_engine.h"

using namespace desk::web;
using deskweb_test::TestLoop;
using State = FakeRequestRecord::State;

namespace {

class FakeEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = FakeEngine::create();
    EnvironmentOptions options;
    options.userDataFolder = "/tmp/x/WebData";
    options.browserArguments = "--disable-web-security --lang=de";
    engine->createEnvironment(options, loop.executor(),
                              [this](Result r, std::shared_ptr<Environment> e, const std::string&) {
                                ASSERT_EQ(r, Result::ok);
                                env = e;
                              });
    ASSERT_TRUE(loop.runUntil([&] { return env != nullptr; }));
    env->createWebview([this](Result r, std::shared_ptr<Webview> w) {
      ASSERT_EQ(r, Result::ok);
      webview = w;
    });
    ASSERT_TRUE(loop.runUntil([&] { return webview != nullptr; }));
    fake = engine->webviews().at(0);
    ASSERT_EQ(webview->addRequestFilter("pelmora"), Result::ok);
    ASSERT_EQ(webview->addRequestFilter(".pelmora"), Result::ok);
  }

  // Sets a resource handler that keeps every deferral it is given.
  void keepDeferrals() {
    WebviewEvents events;
    events.resourceRequested = [this](ResourceRequestedEvent& e) {
      Request r;
      ASSERT_TRUE(e.getRequest(r));
      seen.push_back(r);
      deferrals.push_back(e.getDeferral());
    };
    webview->setEvents(events);
  }

  static Request get(const std::string& url) { return Request{"GET", url, {}, {}}; }

  TestLoop loop;
  std::shared_ptr<FakeEngine> engine;
  std::shared_ptr<Environment> env;
  std::shared_ptr<Webview> webview;
  std::shared_ptr<FakeWebview> fake;
  std::vector<Request> seen;
  std::vector<std::shared_ptr<Deferral>> deferrals;
};

TEST_F(FakeEngineTest, CompletionsAndEventsRunOnlyThroughTheExecutorInOrder) {
  EXPECT_EQ(engine->environments().at(0).browserArguments, "--disable-web-security --lang=de");
  std::vector<std::string> log;
  WebviewEvents events;
  events.navigationStarting = [&](const NavigationStarting& n) { log.push_back("start " + n.url); };
  events.navigationCompleted = [&](const NavigationCompleted& n) {
    log.push_back(std::string(n.success ? "done " : "failed ") + n.url + " " + n.errorText);
  };
  events.titleChanged = [&](const std::string& t) { log.push_back("title " + t); };
  events.webMessageReceived = [&](const WebMessage& m) {
    log.push_back("message " + m.json + (m.isString ? " string " + m.text : ""));
  };
  webview->setEvents(events);

  fake->raiseNavigationStarting("https://.pelmora/a.w");
  fake->raiseTitleChanged("A");
  fake->raiseWebMessageString("he said \"hi\"\n");
  fake->raiseWebMessageJson("{\"k\":1}");
  fake->raiseNavigationCompleted(false, "https://.pelmora/b.w", "net::ERR_FAILED");
  webview->executeScript("1+1", [&](Result r, const std::string& json) {
    log.push_back("script " + std::string(resultName(r)) + " " + json);
  });
  EXPECT_TRUE(log.empty()) << "nothing may run before the owner's loop runs it";

  loop.drain();
  EXPECT_EQ(log, (std::vector<std::string>{
                     "start https://.pelmora/a.w", "title A",
                     "message \"he said \\\"hi\\\"\\n\" string he said \"hi\"\n",
                     "message {\"k\":1}", "failed https://.pelmora/b.w net::ERR_FAILED",
                     "script ok null"}));
  EXPECT_EQ(webview->documentTitle(), "A");
  EXPECT_EQ(webview->source(), "https://.pelmora/b.w");
}

TEST_F(FakeEngineTest, RequestsPassOnlyTheFilteredHostsWithEveryPartIntact) {
  keepDeferrals();
  const std::string binary("a\0b\xff\x00z", 6);
  Request post{"POST", "https://pelmora/plugin?x=1", {{"zrk-a", "1"}, {"Content-Type", "x/y"}, {"zrk-a", "2"}},
               binary};
  EXPECT_NE(fake->raiseRequest(post), nullptr);
  EXPECT_NE(fake->raiseRequest(Request{"PROPFIND", "https://.PELMORA:8443/a.w#f", {}, {}}), nullptr);
  // Hosts no filter names: not raised at all.
  EXPECT_EQ(fake->raiseRequest(get("https://pelmora.evil/x")), nullptr);
  EXPECT_EQ(fake->raiseRequest(get("https://x.pelmora/x")), nullptr);
  EXPECT_EQ(fake->raiseRequest(get("data:text/plain,pelmora")), nullptr);
  loop.drain();

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].url, post.url);
  EXPECT_EQ(seen[0].headers, post.headers);
  EXPECT_EQ(seen[0].body, binary);
  EXPECT_EQ(seen[1].method, "PROPFIND");
}

TEST_F(FakeEngineTest, RepliesFromAnyThreadAreRecordedSanitisedWithTheirThread) {
  keepDeferrals();
  auto record = fake->raiseRequest(get("https://pelmora/a"));
  loop.drain();
  ASSERT_EQ(deferrals.size(), 1u);

  std::thread::id worker;
  Result result = Result::failed;
  std::thread t([&] {
    worker = std::this_thread::get_id();
    Response r;
    r.status = 420;
    r.reason = "plugin invoke\r\nfailed\xc3\xa9";
    r.headers = {{"x-status-error", "bad\nvalue"}, {"bad name", "dropped"}, {"zrk-a", "1"}, {"zrk-a", "2"}};
    r.body = std::string("\0\1\2", 3);
    result = deferrals[0]->complete(r);
  });
  t.join();
  EXPECT_EQ(result, Result::ok);
  EXPECT_EQ(record->state(), State::answered);
  EXPECT_EQ(record->thread(), worker);
  Response sent = record->response();
  EXPECT_EQ(sent.status, 420);
  EXPECT_EQ(sent.reason, "plugin invokefailed");
  EXPECT_EQ(sent.headers, (Headers{{"x-status-error", "badvalue"}, {"zrk-a", "1"}, {"zrk-a", "2"}}));
  EXPECT_EQ(sent.body, std::string("\0\1\2", 3));
  // Once answered, a deferral stays answered.
  EXPECT_EQ(deferrals[0]->complete(Response{}), Result::failed);
  EXPECT_EQ(deferrals[0]->fail(), Result::failed);
  EXPECT_TRUE(deferrals[0]->done());
}

TEST_F(FakeEngineTest, NoRequestStaysPausedWhateverTheOwnerDoes) {
  // No handler at all, a handler that never takes the deferral, a deferral released unanswered,
  // status 0, and an explicit fail: each ends its request.
  auto noHandler = fake->raiseRequest(get("https://pelmora/0"));
  loop.drain();
  EXPECT_EQ(noHandler->state(), State::dropped);

  WebviewEvents ignoring;
  ignoring.resourceRequested = [](ResourceRequestedEvent&) {};
  webview->setEvents(ignoring);
  auto ignored = fake->raiseRequest(get("https://pelmora/1"));
  loop.drain();
  EXPECT_EQ(ignored->state(), State::dropped);

  keepDeferrals();
  auto released = fake->raiseRequest(get("https://pelmora/2"));
  auto zero = fake->raiseRequest(get("https://pelmora/3"));
  auto failed = fake->raiseRequest(get("https://pelmora/4"));
  loop.drain();
  ASSERT_EQ(deferrals.size(), 3u);
  std::thread([d = std::move(deferrals[0])]() mutable { d.reset(); }).join();
  Response r;
  r.status = 0;
  EXPECT_EQ(deferrals[1]->complete(r), Result::ok);
  EXPECT_EQ(deferrals[2]->fail(), Result::ok);
  EXPECT_EQ(released->state(), State::dropped);
  EXPECT_NE(released->thread(), std::this_thread::get_id());
  EXPECT_EQ(zero->state(), State::failed);
  EXPECT_EQ(failed->state(), State::failed);
  EXPECT_EQ(fake->pendingRequests(), 0u);
}

TEST_F(FakeEngineTest, ClosingEndsPausedRequestsAndStopsEvents) {
  keepDeferrals();
  auto pending = fake->raiseRequest(get("https://pelmora/slow"));
  loop.drain();
  int titles = 0;
  WebviewEvents events;
  events.titleChanged = [&](const std::string&) { ++titles; };
  events.resourceRequested = [&](ResourceRequestedEvent&) { ADD_FAILURE() << "event after close"; };
  webview->setEvents(events);
  fake->raiseTitleChanged("queued before close");
  auto queued = fake->raiseRequest(get("https://pelmora/queued"));

  EXPECT_EQ(webview->close(), Result::ok);
  EXPECT_EQ(webview->close(), Result::ok);
  loop.drain();
  EXPECT_EQ(titles, 0);
  EXPECT_EQ(pending->state(), State::lost);
  EXPECT_EQ(queued->state(), State::lost);
  EXPECT_EQ(deferrals[0]->complete(Response{}), Result::closed);
  EXPECT_EQ(webview->navigate("https://pelmora/"), Result::closed);
  EXPECT_EQ(fake->raiseRequest(get("https://pelmora/late")), nullptr);
}

TEST_F(FakeEngineTest, ADeadBrowserFailsWhatIsPausedAndReportsIt) {
  keepDeferrals();
  auto pending = fake->raiseRequest(get("https://pelmora/slow"));
  loop.drain();
  std::string failure, exited;
  WebviewEvents events;
  events.processFailed = [&](const std::string& why) { failure = why; };
  webview->setEvents(events);
  env->setBrowserExitedHandler([&](const std::string& why) { exited = why; });

  engine->killBrowser();
  loop.drain();
  EXPECT_EQ(pending->state(), State::lost);
  EXPECT_FALSE(failure.empty());
  EXPECT_FALSE(exited.empty());
  EXPECT_FALSE(env->browserAlive());
  Result created = Result::ok;
  env->createWebview([&](Result r, std::shared_ptr<Webview>) { created = r; });
  loop.drain();
  EXPECT_EQ(created, Result::browserGone);
}

TEST_F(FakeEngineTest, TheEngineCanDropADeferralOnItsSide) {
  keepDeferrals();
  auto a = fake->raiseRequest(get("https://pelmora/a"));
  auto b = fake->raiseRequest(get("https://pelmora/b"));
  loop.drain();
  fake->dropDeferral(a);
  EXPECT_EQ(deferrals[0]->complete(Response{}), Result::closed);
  EXPECT_EQ(deferrals[1]->complete(Response{}), Result::ok);
  EXPECT_EQ(a->state(), State::lost);
  EXPECT_EQ(b->state(), State::answered);
}

TEST_F(FakeEngineTest, AnySingleCallCanBeMadeToFailOnce) {
  struct Case {
    FakeCall call;
    std::function<Result()> run;
  };
  std::vector<Case> cases = {
      {FakeCall::setBounds, [&] { return webview->setBounds({0, 0, 800, 600}); }},
      {FakeCall::setDeviceScaleFactor, [&] { return webview->setDeviceScaleFactor(1.5); }},
      {FakeCall::setZoomFactor, [&] { return webview->setZoomFactor(1.25); }},
      {FakeCall::setBackgroundColor, [&] { return webview->setBackgroundColor({0, 0, 0, 0}); }},
      {FakeCall::setVisible, [&] { return webview->setVisible(false); }},
      {FakeCall::setSettings, [&] { return webview->setSettings(Settings{}); }},
      {FakeCall::addRequestFilter, [&] { return webview->addRequestFilter("other"); }},
      {FakeCall::navigate, [&] { return webview->navigate("https://.pelmora/main.w"); }},
      {FakeCall::navigateToString, [&] { return webview->navigateToString("<p>x</p>"); }},
      {FakeCall::postWebMessage, [&] { return webview->postWebMessageAsJson("{}"); }},
      {FakeCall::addScript, [&] { return webview->addScriptOnDocumentCreated("1", nullptr); }},
      {FakeCall::executeScript, [&] { return webview->executeScript("1", nullptr); }},
  };
  for (auto& c : cases) {
    engine->failNext(c.call);
    EXPECT_EQ(c.run(), Result::failed) << static_cast<int>(c.call);
    EXPECT_EQ(c.run(), Result::ok) << static_cast<int>(c.call);
  }
  loop.drain();

  // Asynchronous calls report the failure through their completion.
  engine->failNext(FakeCall::createWebview);
  Result created = Result::ok;
  env->createWebview([&](Result r, std::shared_ptr<Webview> w) {
    created = r;
    EXPECT_EQ(w, nullptr);
  });
  engine->failNext(FakeCall::executeScript);
  Result evaluated = Result::ok;
  std::string json;
  webview->executeScript("1", [&](Result r, const std::string& j) { evaluated = r, json = j; });
  loop.drain();
  EXPECT_EQ(created, Result::failed);
  EXPECT_EQ(evaluated, Result::failed);
  EXPECT_EQ(json, "null");

  // The request-side calls.
  std::vector<std::pair<bool, bool>> got;
  WebviewEvents events;
  events.resourceRequested = [&](ResourceRequestedEvent& e) {
    Request r;
    got.emplace_back(e.getRequest(r), e.getDeferral() != nullptr);
  };
  webview->setEvents(events);
  engine->failNext(FakeCall::getRequest);
  auto r1 = fake->raiseRequest(get("https://pelmora/1"));
  engine->failNext(FakeCall::getDeferral);
  auto r2 = fake->raiseRequest(get("https://pelmora/2"));
  loop.drain();
  EXPECT_EQ(got, (std::vector<std::pair<bool, bool>>{{false, true}, {true, false}}));
  EXPECT_EQ(r1->state(), State::dropped);
  EXPECT_EQ(r2->state(), State::dropped);

  keepDeferrals();
  auto r3 = fake->raiseRequest(get("https://pelmora/3"));
  loop.drain();
  engine->failNext(FakeCall::complete);
  EXPECT_EQ(deferrals.at(0)->complete(Response{}), Result::failed);
  EXPECT_EQ(r3->state(), State::failed) << "a failing reply must not leave the request paused";

  engine->failNext(FakeCall::close);
  EXPECT_EQ(webview->close(), Result::failed);
  EXPECT_FALSE(webview->closed());
}

TEST_F(FakeEngineTest, ControllerStateIsCheckedAndStored) {
  EXPECT_EQ(webview->setBackgroundColor({128, 1, 2, 3}), Result::invalidArgument);
  EXPECT_EQ(webview->setBackgroundColor({0, 0, 0, 0}), Result::ok);
  EXPECT_EQ(webview->backgroundColor(), (Color{0, 0, 0, 0}));
  EXPECT_EQ(webview->setZoomFactor(0), Result::invalidArgument);
  EXPECT_EQ(webview->setDeviceScaleFactor(-1), Result::invalidArgument);
  EXPECT_EQ(webview->setBounds({0, 0, -5, 10}), Result::invalidArgument);
  EXPECT_EQ(webview->setBounds({10, 20, 300, 200}), Result::ok);
  EXPECT_EQ(webview->bounds(), (Rect{10, 20, 300, 200}));
  Settings s;
  s.defaultScriptDialogsEnabled = false;
  s.devToolsEnabled = false;
  EXPECT_EQ(webview->setSettings(s), Result::ok);
  EXPECT_EQ(webview->settings(), s);
}

TEST_F(FakeEngineTest, DocumentScriptsKeepTheirOrderAndIds) {
  std::vector<std::string> ids;
  for (const char* s : {"a()", "b()", "c()"}) {
    webview->addScriptOnDocumentCreated(s, [&](Result r, const std::string& id) {
      EXPECT_EQ(r, Result::ok);
      ids.push_back(id);
    });
  }
  loop.drain();
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(webview->removeScriptOnDocumentCreated(ids[1]), Result::ok);
  EXPECT_EQ(webview->removeScriptOnDocumentCreated(ids[1]), Result::invalidArgument);
  auto scripts = fake->documentScripts();
  ASSERT_EQ(scripts.size(), 2u);
  EXPECT_EQ(scripts[0], (std::pair<std::string, std::string>{ids[0], "a()"}));
  EXPECT_EQ(scripts[1], (std::pair<std::string, std::string>{ids[2], "c()"}));

  fake->setScriptRunner([](const std::string& s) { return s == "1+1" ? "2" : "\"x\""; });
  std::vector<std::string> results;
  webview->executeScript("1+1", [&](Result, const std::string& j) { results.push_back(j); });
  webview->executeScript("'x'", [&](Result, const std::string& j) { results.push_back(j); });
  loop.drain();
  EXPECT_EQ(results, (std::vector<std::string>{"2", "\"x\""}));
}

// --- helpers shared by the engines ---

TEST(SanitizeResponse, ReasonsAndHeadersBecomeValidHttp) {
  struct Case {
    int status;
    std::string reason;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{
           {200, "OK", "OK"},
           {420, "plugin invoke failed", "plugin invoke failed"},
           {404, "", "Not Found"},
           {420, "", "Status"},
           {500, "\r\n", "Internal Server Error"},
           {400, "bad\r\nSet-Cookie: x=1", "badSet-Cookie: x=1"},
           {400, "caf\xc3\xa9 \x7f\x01", "caf"},
           {0, "request is cancelled", "request is cancelled"},
       }) {
    Response r;
    r.status = c.status;
    r.reason = c.reason;
    sanitizeResponse(r);
    EXPECT_EQ(r.reason, c.expected) << c.status << " " << c.reason;
  }
  Response r;
  r.headers = {{"Content-Type", "text/plain"}, {"", "x"}, {"a:b", "x"}, {"x\r\ny", "x"},
               {"zrk-tab", "a\tb\r\nc\x80"}, {"X-Ok", ""}};
  sanitizeResponse(r);
  EXPECT_EQ(r.headers, (Headers{{"Content-Type", "text/plain"}, {"zrk-tab", "a\tbc"}, {"X-Ok", ""}}));
}

TEST(SplitArguments, BlanksSeparateAndQuotesGroup) {
  EXPECT_EQ(splitArguments(""), std::vector<std::string>{});
  EXPECT_EQ(splitArguments("  --a   --b=1 "), (std::vector<std::string>{"--a", "--b=1"}));
  EXPECT_EQ(splitArguments("--x=\"MAP * ~NOTFOUND\" \"\" y"),
            (std::vector<std::string>{"--x=MAP * ~NOTFOUND", "", "y"}));
}

}  // namespace

namespace {

// The owner's decision on a starting navigation, a trimmed menu and a dialog answered late are
// all recorded as the owner left them; a dialog nobody answers gets the engine's own answer.
TEST_F(FakeEngineTest, NavigationMenuAndDialogEventsRecordTheOwnersDecision) {
  WebviewEvents events;
  events.navigationStarting = [](NavigationStarting& n) { n.cancel = n.url.find("evil") != std::string::npos; };
  events.contextMenuRequested = [](ContextMenuRequested& m) {
    std::erase_if(m.items, [](const ContextMenuItem& i) { return i.name != "copy"; });
    m.handled = !m.isEditable;
  };
  std::shared_ptr<ScriptDialogDeferral> held;
  events.scriptDialogOpening = [&](ScriptDialogOpening& d) {
    if (d.kind == ScriptDialogKind::prompt) held = d.getDeferral();
  };
  webview->setEvents(events);
  using Nav = FakeNavigationRecord::State;
  auto away = fake->raiseNavigationStarting("https://evil.example/");
  auto home = fake->raiseNavigationStarting("https://.pelmora/a.w");
  auto forced = fake->raiseNavigationStarting("data:text/html,evil", false);
  auto menu = fake->raiseContextMenu({{{"copy", "Copy"}, {"back", "Back"}}, ContextMenuTargetKind::page, true});
  auto plain = fake->raiseContextMenu({{{"copy", "Copy"}}, ContextMenuTargetKind::page, false});
  auto prompt = fake->raiseScriptDialog(ScriptDialogKind::prompt, "name?", "x");
  auto confirm = fake->raiseScriptDialog(ScriptDialogKind::confirm, "sure?");
  EXPECT_EQ(away->state, Nav::pending);
  loop.drain();
  EXPECT_EQ(away->state, Nav::cancelled);
  EXPECT_EQ(home->state, Nav::allowed);
  EXPECT_EQ(forced->state, Nav::allowed);  // not cancellable: the handler's wish is not followed
  EXPECT_TRUE(menu->done);
  EXPECT_TRUE(menu->shown);
  ASSERT_EQ(menu->items.size(), 1u);
  EXPECT_EQ(menu->items[0].name, "copy");
  EXPECT_FALSE(plain->shown);
  EXPECT_EQ(confirm->state(), FakeDialogRecord::State::defaulted);
  EXPECT_FALSE(confirm->defaultAccepted());
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(prompt->state(), FakeDialogRecord::State::pending);
  std::thread([&] { EXPECT_EQ(held->accept("me"), Result::ok); }).join();
  EXPECT_EQ(prompt->state(), FakeDialogRecord::State::accepted);
  EXPECT_EQ(prompt->text(), "me");
  EXPECT_NE(prompt->thread(), std::this_thread::get_id());
  EXPECT_EQ(held->dismiss(), Result::failed);
  // Closing ends a dialog still open; its late answer is told so.
  auto late = fake->raiseScriptDialog(ScriptDialogKind::alert, "bye");
  std::shared_ptr<ScriptDialogDeferral> lateDeferral;
  events.scriptDialogOpening = [&](ScriptDialogOpening& d) { lateDeferral = d.getDeferral(); };
  webview->setEvents(events);
  loop.drain();
  ASSERT_NE(lateDeferral, nullptr);
  webview->close();
  EXPECT_EQ(late->state(), FakeDialogRecord::State::lost);
  EXPECT_EQ(lateDeferral->accept(), Result::closed);
}

// Every call on the webview is recorded with its thread, so the host's thread hops can be checked.
TEST_F(FakeEngineTest, CallsAreRecordedWithTheirThread) {
  std::thread([&] { webview->setZoomFactor(2.0); }).join();
  webview->navigate("https://.pelmora/a.w");
  auto calls = fake->calls();
  ASSERT_GE(calls.size(), 2u);
  auto zoom = calls[calls.size() - 2], nav = calls.back();
  EXPECT_EQ(zoom.first, "setZoomFactor");
  EXPECT_NE(zoom.second, std::this_thread::get_id());
  EXPECT_EQ(nav.first, "navigate");
  EXPECT_EQ(nav.second, std::this_thread::get_id());
}

}  // namespace
