// The engine webview against the fake engine: the creation roads, the set-up, the placement
// rules, thread hops, and the events it answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "desk/clock.h"
#include "desk/message.h"
#include "desk/web/fake_engine.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/request-dispatch.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"

using namespace std::chrono_literals;
using desk::web::FakeCall;
using desk::web::FakeEngine;
using desk::web::FakeWebview;
namespace web = desk::web;

namespace {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}
void pump() { pumpUntil([] { return false; }, 30ms); }

// A window with a settable inner area, scale and theme.
class TestWindow : public zrk::Window {
 public:
  zrk::FloatSize innerSize() override { return inner; }
  zrk::FloatPoint innerPosition() override { return origin; }
  double deviceScaleFactor() override { return scale; }
  int theme() override { return themeValue; }
  void setNative(desk::HWND h) { nativeHandle_ = h; }
  zrk::FloatSize inner{1000, 800};
  zrk::FloatPoint origin{0, 0};
  double scale = 1.0;
  int themeValue = 0;
};

class TestApp : public zrk::WindowDelegate {
 public:
  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return "zrk.test"; }
  std::vector<std::string> webResourceDomains() const override { return {".zrk.test"}; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>&) override {}
};

// Records what the webview hands its delegate.
class RecordingDelegate : public zrk::Webview2Delegate {
 public:
  using Webview2Delegate::Webview2Delegate;
  void onNavigationStarting(zrk::Webview*) override { log.push_back("starting"); }
  void onNavigationCompleted(zrk::Webview*) override { log.push_back("completed"); }
  void onTitleChanged(const std::string& title) override { log.push_back("title " + title); }
  void onWebMessage(const std::string& message) override { log.push_back("message " + message); }
  void injectScripts() override {
    if (auto w = webview()) w->addScriptOnDocumentCreated("/* injected */", nullptr);
  }
  std::vector<std::string> log;
};

class ZrkWebviewFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch_init();
    engine = FakeEngine::create();
    zrk::setWebEngine(engine);
    window = newWindow();
  }
  void TearDown() override {
    zrk::zrkWebviewHooks() = {};
    pump();
    zrk::setWebEngine(nullptr);
  }
  std::shared_ptr<TestWindow> newWindow() {
    auto w = std::make_shared<TestWindow>();
    w->setDelegate(&app);
    return w;
  }

  struct Made {
    std::shared_ptr<zrk::ZrkWebview> webview;
    int calls = 0;
    bool ok = false;
    zrk::Webview* reported = nullptr;
  };
  // Makes a webview the way the window code does (without waiting for it).
  std::shared_ptr<Made> start(const std::shared_ptr<TestWindow>& w, zrk::WebviewOptions options = {},
                              const std::string& label = "main_webview") {
    auto made = std::make_shared<Made>();
    auto webview = zrk::ZrkWebview::make(label, w.get());
    delegate = std::make_shared<RecordingDelegate>(w, webview);
    webview->setDelegate(delegate);
    webview->create(options, [made](zrk::Webview* v, bool ok) {
      ++made->calls;
      made->ok = ok;
      made->reported = v;
    });
    made->webview = webview;
    return made;
  }
  std::shared_ptr<Made> ready(const std::shared_ptr<TestWindow>& w, zrk::WebviewOptions options = {},
                              const std::string& label = "main_webview") {
    auto made = start(w, options, label);
    EXPECT_TRUE(pumpUntil([&] { return made->calls > 0; }));
    EXPECT_TRUE(made->ok);
    return made;
  }
  std::shared_ptr<FakeWebview> fakeOf(const zrk::ZrkWebview& webview) {
    auto view = webview.engineView();
    for (auto& f : engine->webviews()) {
      if (f == view) return f;
    }
    return nullptr;
  }
  void resize(TestWindow& w, zrk::FloatSize inner) {
    w.inner = inner;
    Vesk::TNotificationCenter::defaultCenter()->postNotification(zrk::kWindowResizedNotification,
                                                                 static_cast<zrk::Window*>(&w));
  }

  TestApp app;
  std::shared_ptr<FakeEngine> engine;
  std::shared_ptr<TestWindow> window;
  std::shared_ptr<RecordingDelegate> delegate;
};

// Every road ends in exactly one completion on the UI thread.
TEST_F(ZrkWebviewFakeTest, CreationRoadsEachCompleteOnce) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool ok;
  };
  const Case cases[] = {
      {"ready", [] {}, true},
      {"the browser refuses to start", [&] { engine->failNext(FakeCall::createEnvironment); }, false},
      {"the page cannot be made", [&] { engine->failNext(FakeCall::createWebview); }, false},
      {"the settings are refused", [&] { engine->failNext(FakeCall::setSettings); }, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    zrk::setWebEngine(engine);  // a fresh start each time
    c.arrange();
    auto made = start(window);
    EXPECT_EQ(made->calls, 0) << "the completion never runs inside create";
    pumpUntil([&] { return made->calls > 0; });
    pump();
    EXPECT_EQ(made->calls, 1);
    EXPECT_EQ(made->ok, c.ok);
    EXPECT_EQ(made->reported, made->webview.get());
  }
  // A failed start is not kept: the next creation starts the browser again and succeeds.
  size_t before = engine->environments().size();
  engine->failNext(FakeCall::createEnvironment);
  zrk::setWebEngine(engine);
  auto failed = start(window);
  pumpUntil([&] { return failed->calls > 0; });
  EXPECT_FALSE(failed->ok);
  auto next = ready(window);
  EXPECT_EQ(engine->environments().size(), before + 1);  // the fake lists the browsers that started
}

TEST_F(ZrkWebviewFakeTest, EarlyCreationsShareOneBrowserAndLateOnesReuseIt) {
  auto first = start(window, {}, "a");
  auto second = start(window, {}, "b");
  ASSERT_TRUE(pumpUntil([&] { return first->calls && second->calls; }));
  EXPECT_TRUE(first->ok && second->ok);
  EXPECT_EQ(engine->environments().size(), 1u);
  auto options = engine->environments()[0];
  EXPECT_EQ(options.userDataFolder.substr(options.userDataFolder.size() - 8), "/WebData");
  EXPECT_EQ(options.browserArguments.rfind(std::string(zrk::kBaseBrowserArguments) + " ", 0), 0u);
  auto third = ready(window, {}, "c");
  EXPECT_EQ(engine->environments().size(), 1u);
  EXPECT_EQ(engine->webviews().size(), 3u);
}

TEST_F(ZrkWebviewFakeTest, AGoneWindowOrADroppedWebviewStillGetsItsOneCompletion) {
  // The window goes before create runs.
  {
    auto w = newWindow();
    auto webview = zrk::ZrkWebview::make("x", w.get());
    w.reset();
    int calls = 0;
    bool ok = true;
    EXPECT_FALSE(webview->create({}, [&](zrk::Webview* v, bool r) { ++calls, ok = r, (void)v; }));
    pump();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(ok);
  }
  // The webview is let go while its page is being made: (null, false), and its page is closed.
  {
    auto made = start(window);
    std::weak_ptr<zrk::ZrkWebview> weak = made->webview;
    made->webview.reset();
    delegate.reset();
    ASSERT_TRUE(pumpUntil([&] { return made->calls > 0; }));
    pump();
    EXPECT_EQ(made->calls, 1);
    EXPECT_FALSE(made->ok);
    EXPECT_EQ(made->reported, nullptr);
    EXPECT_TRUE(weak.expired());
    for (auto& f : engine->webviews()) EXPECT_TRUE(f->closed());
  }
}

TEST_F(ZrkWebviewFakeTest, SetUpRunsInOrderWithFiltersScriptsAndABackgroundPerTheme) {
  struct Case {
    int theme;
    std::optional<uint32_t> color;
    web::Color expected;
  };
  const Case cases[] = {
      {0, std::nullopt, {255, 255, 255, 255}},
      {1, std::nullopt, {0, 0, 0, 0}},
      {1, 0xFF0000FFu, {255, 255, 0, 0}},  // 0xAABBGGRR: opaque red
      {0, 0x00000000u, {0, 0, 0, 0}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.theme);
    window->themeValue = c.theme;
    window->scale = 1.5;
    zrk::WebviewOptions options;
    options.backgroundColor = c.color;
    auto made = ready(window, options);
    auto fake = fakeOf(*made->webview);
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(fake->backgroundColor(), c.expected);
    EXPECT_EQ(fake->requestFilters(), (std::vector<std::string>{"zrk.test", ".zrk.test"}));
    EXPECT_EQ(fake->documentScripts().size(), 1u);
    EXPECT_EQ(fake->deviceScaleFactor(), 1.5);
    web::Settings s = fake->settings();
    EXPECT_TRUE(s.devToolsEnabled);
    EXPECT_FALSE(s.zoomControlEnabled || s.statusBarEnabled || s.defaultScriptDialogsEnabled ||
                 s.builtInErrorPageEnabled || s.browserAcceleratorKeysEnabled || s.externalDropAllowed);
    std::vector<std::string> order;
    for (auto& [call, thread] : fake->calls()) {
      order.push_back(call);
      EXPECT_EQ(thread, std::this_thread::get_id()) << call;
    }
    EXPECT_EQ(order, (std::vector<std::string>{"setSettings", "setEvents", "addRequestFilter", "addRequestFilter",
                                               "addScript", "setZoomFactor", "setVisible", "setBackgroundColor",
                                               "setDeviceScaleFactor", "setBounds"}));
  }
}

// The view's bounds after the window's inner area changes, as (x, y, width, height).
TEST_F(ZrkWebviewFakeTest, AutoResizingFollowsTheWindowByTheMask) {
  struct Case {
    const char* name;
    zrk::FloatPoint origin;
    zrk::WebviewOptions options;
    web::Rect atCreation;
    web::Rect afterResize;  // to 1200 x 900 (ratios: 2000 x 1600)
    zrk::FloatSize to{1200, 900};
  };
  auto opts = [](std::optional<int> mask, int x, int y, int w, int h) {
    zrk::WebviewOptions o;
    o.resizingMask = mask;
    o.x = x, o.y = y, o.width = w, o.height = h;
    return o;
  };
  const Case cases[] = {
      {"default", {0, 0}, {}, {0, 0, 1000, 800}, {0, 0, 1200, 900}},
      {"inset", {3, 2}, {}, {3, 2, 1000, 800}, {3, 2, 1200, 900}},
      {"mask 0 keeps its place", {0, 0}, opts(0, 10, 10, 100, 100), {10, 10, 100, 100}, {10, 10, 100, 100}},
      {"margins kept", {0, 0}, opts(18, 10, 20, 900, 700), {10, 20, 900, 700}, {10, 20, 1100, 800}},
      {"ratios", {0, 0}, opts(1 | 4 | 8 | 32, 100, 100, 100, 100), {100, 100, 100, 100}, {200, 200, 100, 100},
       {2000, 1600}},
      {"left and right ratios", {0, 0}, opts(1 | 2 | 4, 100, 0, 100, 800), {100, 0, 100, 800}, {200, 0, 200, 800},
       {2000, 1600}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto w = newWindow();
    w->origin = c.origin;
    auto made = ready(w, c.options);
    auto fake = fakeOf(*made->webview);
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(fake->bounds(), c.atCreation);
    resize(*w, c.to);
    EXPECT_EQ(fake->bounds(), c.afterResize);
    // The page follows the window's scale on every resize.
    w->scale = 2.0;
    resize(*w, c.to);
    EXPECT_EQ(fake->deviceScaleFactor(), 2.0);
  }
}

TEST_F(ZrkWebviewFakeTest, DestroyingAWebviewKeepsItsSiblingsFollowingTheWindow) {
  auto a = ready(window, {}, "a");
  auto b = ready(window, {}, "b");
  auto fakeB = fakeOf(*b->webview);
  a->webview.reset();
  delegate.reset();
  pump();
  resize(*window, {640, 480});
  EXPECT_EQ(fakeB->bounds(), (web::Rect{0, 0, 640, 480}));
}

// Calls from a queue thread hop to the UI thread; the engine sees every call there.
TEST_F(ZrkWebviewFakeTest, GeometryColourAndZoomRoundTripFromAnotherThread) {
  auto made = ready(window, [] {
    zrk::WebviewOptions o;
    o.resizingMask = 0;
    o.x = 0, o.y = 0, o.width = 300, o.height = 200;
    return o;
  }());
  auto fake = fakeOf(*made->webview);
  auto& webview = *made->webview;
  struct Seen {
    zrk::FloatPoint position;
    zrk::FloatSize size;
    uint32_t color = 0;
    double zoomBefore = 0, zoomAfter = 0;
    bool done = false;
  };
  Seen seen;
  std::thread queue([&] {
    webview.setPosition({10.7f, 20.2f});
    seen.position = webview.position();
    webview.setSize({640, 480});
    seen.size = webview.size();
    webview.setBackgroundColor(0x336699);
    seen.color = webview.backgroundColor();
    seen.zoomBefore = webview.setZoomFactor(2.0);
    seen.zoomAfter = webview.setZoomFactor(1.0);
    webview.setDevToolsEnabled(false);
    webview.navigate("https://zrk.test/next.w");
    seen.done = true;
  });
  ASSERT_TRUE(pumpUntil([&] { return seen.done; }));
  queue.join();
  pump();
  EXPECT_EQ(seen.position.x, 10);
  EXPECT_EQ(seen.position.y, 20);
  EXPECT_EQ(seen.size.width, 640);
  EXPECT_EQ(seen.size.height, 480);
  EXPECT_EQ(fake->bounds(), (web::Rect{10, 20, 640, 480}));
  EXPECT_EQ(seen.color, 0xFF336699u);
  EXPECT_EQ(seen.zoomBefore, 1.0);
  EXPECT_EQ(seen.zoomAfter, 2.0);
  EXPECT_FALSE(fake->settings().devToolsEnabled);
  EXPECT_EQ(fake->navigations(), std::vector<std::string>{"https://zrk.test/next.w"});
  for (auto& [call, thread] : fake->calls()) EXPECT_EQ(thread, std::this_thread::get_id()) << call;
}

TEST_F(ZrkWebviewFakeTest, BeforeCreationTheWebviewAnswersNeutrally) {
  auto webview = zrk::ZrkWebview::make("early", window.get());
  int called = 0;
  std::string result = "unset";
  EXPECT_EQ(webview->evaluateScript("1", [&](const zrk::EvalCallbackContext& c) { ++called, result = c.result; }, true),
            -3);
  EXPECT_EQ(called, 1);
  EXPECT_EQ(result, "");
  std::string id = "unset";
  EXPECT_FALSE(webview->addScriptOnDocumentCreated("x", [&](const std::string& i) { id = i; }));
  EXPECT_EQ(id, "");
  EXPECT_EQ(webview->size().width, 1000);
  EXPECT_EQ(webview->position().x, 0);
  EXPECT_EQ(webview->setZoomFactor(3.0), 1.0);
  EXPECT_EQ(webview->backgroundColor(), 0xFFFFFFu);
  EXPECT_EQ(webview->browserWindowHandle(), nullptr);
  EXPECT_EQ(webview->evaluateScriptSync("1+1"), "");
}

TEST_F(ZrkWebviewFakeTest, EvaluateScriptSyncAnswersAndTimesOutOnTheClock) {
  auto made = ready(window);
  auto fake = fakeOf(*made->webview);
  fake->setScriptRunner([](const std::string& s) { return s == "1+1" ? "2" : "\"text\""; });
  EXPECT_EQ(made->webview->evaluateScriptSync("1+1"), "2");
  EXPECT_EQ(made->webview->evaluateScriptSync("'text'"), "\"text\"");

  // The answer does not come: the wait ends after 3000 ms of the platform clock.
  auto clock = std::make_shared<desk::VirtualClock>();
  desk::setClock(clock);
  fake->holdScriptResults(true);
  std::thread advancer([&] {
    while (clock->waiters() == 0) std::this_thread::sleep_for(1ms);
    clock->advance(2999);
    std::this_thread::sleep_for(20ms);
    clock->advance(1);
  });
  std::string late = "unset";
  late = made->webview->evaluateScriptSync("1+1");
  advancer.join();
  desk::setClock(nullptr);
  EXPECT_EQ(late, "");
  // The late answer arrives after the caller left: it touches nothing of the caller's.
  fake->holdScriptResults(false);
  pump();
  EXPECT_EQ(late, "");
}

// Once the UI thread's queue has shut down, an evaluation asked from another thread cannot run:
// -1 and exactly one (empty) completion, never an exception. Shutdown is for the whole process,
// so it happens in a child.
TEST_F(ZrkWebviewFakeTest, EvaluateScriptWhoseTaskCannotRunAnswersMinusOneAndCallsBackOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto made = ready(window);
  EXPECT_EXIT(
      {
        dispatch_shutdown();
        int result = 0;
        int calls = 0;
        bool succeeded = true;
        bool threw = false;
        std::thread other([&] {
          try {
            result = made->webview->evaluateScript("1+1", [&](const zrk::EvalCallbackContext& c) {
              ++calls;
              succeeded = c.succeeded;
            }, false);
          } catch (...) {
            threw = true;
          }
        });
        other.join();
        std::_Exit(!threw && result == -1 && calls == 1 && !succeeded ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ZrkWebviewFakeTest, CloseFromAQueueThreadHopsAndTellsTheWindowOnce) {
  auto made = ready(window);
  auto fake = fakeOf(*made->webview);
  int closedNotes = 0;
  std::string closedLabel;
  auto handler = std::make_shared<Vesk::TNotificationCenter::Handler>([&](const std::shared_ptr<Vesk::TNotification>& n) {
    ++closedNotes;
    if (auto info = n->userInfo()) {
      if (auto label = std::dynamic_pointer_cast<Vesk::TString>(info->objectForKey("webview_id"))) {
        closedLabel = label->utf8String();
      }
    }
  });
  Vesk::TNotificationCenter::defaultCenter()->addObserver(zrk::kWebviewClosedNotification, handler,
                                                          static_cast<zrk::Window*>(window.get()));
  std::thread([&] { made->webview->close(); }).join();
  EXPECT_FALSE(fake->closed()) << "the close waits for the UI thread";
  pump();
  made->webview->close();
  pump();
  Vesk::TNotificationCenter::defaultCenter()->removeObserver(zrk::kWebviewClosedNotification, handler,
                                                             static_cast<zrk::Window*>(window.get()));
  EXPECT_TRUE(fake->closed());
  EXPECT_EQ(closedNotes, 1);
  EXPECT_EQ(closedLabel, "main_webview");
  EXPECT_TRUE(made->webview->requestDispatch()->closing());
  for (auto& [call, thread] : fake->calls()) EXPECT_EQ(thread, std::this_thread::get_id()) << call;
}

TEST_F(ZrkWebviewFakeTest, NavigationsAwayAreStoppedAndFailuresShowTheEscapedErrorPage) {
  auto made = ready(window);
  auto fake = fakeOf(*made->webview);
  using Nav = desk::web::FakeNavigationRecord::State;
  struct Case {
    const char* url;
    bool cancellable;
    Nav expected;
  };
  const Case cases[] = {
      {"https://zrk.test/main.w", true, Nav::allowed},
      {"https://.zrk.test/viewer.w", true, Nav::allowed},
      {"https://ZRK.test:443/x", true, Nav::allowed},
      {"about:blank", false, Nav::allowed},
      {"https://evil.example/", true, Nav::cancelled},
      {"https://zrk.test.evil.example/", true, Nav::cancelled},
      {"file:///etc/passwd", true, Nav::cancelled},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.url);
    delegate->log.clear();
    auto record = fake->raiseNavigationStarting(c.url, c.cancellable);
    pump();
    EXPECT_EQ(record->state, c.expected);
    EXPECT_EQ(delegate->log, c.expected == Nav::allowed ? std::vector<std::string>{"starting"}
                                                        : std::vector<std::string>{});
  }
  // A failed load: no completion for the delegate, the error page instead, the URL inert.
  delegate->log.clear();
  const std::string hostile = "https://zrk.test/x'\"><script>alert(1)</script>";
  fake->raiseNavigationCompleted(false, hostile, "net::ERR_FAILED");
  pump();
  EXPECT_TRUE(delegate->log.empty());
  ASSERT_EQ(fake->navigations().size(), 1u);
  const std::string page = fake->navigations()[0];
  EXPECT_NE(page.find("Erro occurred"), std::string::npos);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(page.find("x'"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;"), std::string::npos);
  fake->raiseNavigationCompleted(true, "https://zrk.test/main.w");
  fake->raiseTitleChanged("Main");
  fake->raiseWebMessageString("plain");
  fake->raiseWebMessageJson("{\"a\":1}");
  pump();
  EXPECT_EQ(delegate->log, (std::vector<std::string>{"completed", "title Main", "message plain", "message {\"a\":1}"}));
  // Without its window the failed load gets no error page.
  window.reset();
  fake->raiseNavigationCompleted(false, "https://zrk.test/y", "net::ERR_FAILED");
  pump();
  EXPECT_EQ(fake->navigations().size(), 1u);
}

TEST_F(ZrkWebviewFakeTest, ErrorPageTakesTheWindowsMessageWithTheUrl) {
  window->setErrorPage("<p>failed: %URL%</p>");
  auto made = ready(window);
  auto fake = fakeOf(*made->webview);
  fake->raiseNavigationCompleted(false, "https://zrk.test/a&b", "x");
  pump();
  ASSERT_EQ(fake->navigations().size(), 1u);
  EXPECT_NE(fake->navigations()[0].find("<p>failed: https://zrk.test/a&amp;b</p>"), std::string::npos);
}

TEST_F(ZrkWebviewFakeTest, ContextMenusKeepOnlyTheEditingItems) {
  auto made = ready(window);
  auto fake = fakeOf(*made->webview);
  const std::vector<web::ContextMenuItem> offered = {{"back", "Back"}, {"cut", "Cut"}, {"Copy", "Copy"},
                                                     {"copy", "Copy"}, {"paste", "Paste"}, {"inspectElement", "I"},
                                                     {"selectAll", "Select all"}, {"cutx", "?"}};
  struct Case {
    web::ContextMenuTargetKind kind;
    bool editable;
    bool shown;
  };
  const Case cases[] = {
      {web::ContextMenuTargetKind::page, false, false},
      {web::ContextMenuTargetKind::image, false, false},
      {web::ContextMenuTargetKind::selectedText, false, true},
      {web::ContextMenuTargetKind::page, true, true},
  };
  for (auto& c : cases) {
    auto record = fake->raiseContextMenu({offered, c.kind, c.editable});
    pump();
    ASSERT_TRUE(record->done);
    EXPECT_EQ(record->shown, c.shown);
    std::vector<std::string> names;
    for (auto& i : record->items) names.push_back(i.name);
    EXPECT_EQ(names, (std::vector<std::string>{"cut", "copy", "paste", "selectAll"}));
  }
}

TEST_F(ZrkWebviewFakeTest, ScriptDialogsAreHandedOverAfterTheEvent) {
  auto made = ready(window);
  auto fake = fakeOf(*made->webview);
  using D = desk::web::FakeDialogRecord::State;
  // The program's own dialogs: headless and unanswered, each is cancelled (an alert is never
  // accepted), from a later turn.
  auto alert = fake->raiseScriptDialog(web::ScriptDialogKind::alert, "hi");
  auto confirm = fake->raiseScriptDialog(web::ScriptDialogKind::confirm, "sure?");
  EXPECT_EQ(alert->state(), D::pending);
  EXPECT_TRUE(pumpUntil([&] { return alert->state() != D::pending && confirm->state() != D::pending; }));
  EXPECT_EQ(alert->state(), D::dismissed);
  EXPECT_EQ(confirm->state(), D::dismissed);
  // A presenter put in its place gets the dialog, the owner window and the deferral.
  std::vector<std::string> shown;
  zrk::zrkWebviewHooks().scriptDialog = [&](const std::shared_ptr<zrk::ZrkWebview>& w, desk::HWND owner,
                                            const web::ScriptDialogOpening& d,
                                            std::shared_ptr<web::ScriptDialogDeferral> deferral) {
    EXPECT_EQ(w, made->webview);
    EXPECT_EQ(owner, w->browserWindowHandle());
    shown.push_back(d.message);
    deferral->accept("answer");
  };
  auto prompt = fake->raiseScriptDialog(web::ScriptDialogKind::prompt, "name?", "x");
  pump();
  EXPECT_EQ(shown, std::vector<std::string>{"name?"});
  EXPECT_EQ(prompt->state(), D::accepted);
  EXPECT_EQ(prompt->text(), "answer");
}

TEST_F(ZrkWebviewFakeTest, EachWebviewHasItsOwnContentWindowThatGoesWithIt) {
  desk::WNDCLASSEX wc;
  wc.lpfnWndProc = desk::DefWindowProc;
  wc.lpszClassName = u"ZrkWebviewTestTop";
  desk::RegisterClassEx(&wc);
  desk::HWND top = desk::CreateWindowEx(0, u"ZrkWebviewTestTop", u"", 0, 0, 0, 800, 600, nullptr, nullptr, nullptr,
                                        nullptr);
  ASSERT_NE(top, nullptr);
  window->setNative(top);
  auto a = ready(window, {}, "a");
  auto b = ready(window, {}, "b");
  desk::HWND ha = a->webview->browserWindowHandle(), hb = b->webview->browserWindowHandle();
  ASSERT_NE(ha, nullptr);
  ASSERT_NE(hb, nullptr);
  EXPECT_NE(ha, hb);
  char16_t name[64] = {};
  desk::GetClassName(ha, name, 64);
  EXPECT_EQ(std::u16string(name), std::u16string(zrk::kBrowserContentClass));
  EXPECT_EQ(a->webview->findBrowserContentWindow(), ha);
  a->webview->close();
  pump();
  EXPECT_FALSE(desk::IsWindow(ha));
  EXPECT_TRUE(desk::IsWindow(hb));
  b->webview->close();
  pump();
  window->setNative(nullptr);
  desk::DestroyWindow(top);
}

TEST_F(ZrkWebviewFakeTest, PrintAndCommandsAreHandedToTheirHooks) {
  auto made = ready(window);
  std::vector<std::string> seen;
  zrk::zrkWebviewHooks().print = [&](zrk::ZrkWebview&, const nlohmann::json& o) {
    seen.push_back("print " + o.dump());
    EXPECT_TRUE(zrk::isMainThread());
  };
  zrk::zrkWebviewHooks().dropZoneCommand = [&](zrk::ZrkWebview&, const std::string& c,
                                               const std::optional<nlohmann::json>&) { seen.push_back(c); };
  std::thread([&] { made->webview->print({{"copies", 2}}); }).join();
  EXPECT_TRUE(seen.empty()) << "printing waits for the UI thread";
  pump();
  made->webview->runCommand("add_dropzone", nlohmann::json::object());
  made->webview->runCommand("open_devtools", std::nullopt);
  EXPECT_EQ(seen, (std::vector<std::string>{"print {\"copies\":2}", "add_dropzone"}));
}

}  // namespace
