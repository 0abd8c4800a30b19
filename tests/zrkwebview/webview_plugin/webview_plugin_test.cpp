// The webview plugin over the application's real windows, with engine webviews on the fake
// engine: the order of the label checks, "create" and its options, bounds and colour in both
// directions (also before a webview's engine view exists), closing, and a pending request that
// "cancel_requests" reaches. The test's main thread is the UI thread.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/message.h"
#include "desk/test.h"
#include "desk/web/fake_engine.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/http-plugins/webview/webview-plugin.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct Answer {
  int status = -1;  // -1: the plugin had no such command
  std::string message;
  std::string body;
  std::string type;
};

Answer answerOf(const std::shared_ptr<Vesk::TObject>& object) {
  Answer a;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(object);
  if (!response) return a;
  a.status = response->status();
  a.message = response->statusMessage();
  for (std::string piece; !(piece = response->read(4096)).empty();) a.body += piece;
  for (const auto& [name, value] : response->headers()) {
    if (name == "Content-Type") a.type = value;
  }
  return a;
}

Answer call(const std::string& command, const json& body) {
  zrk::plugin::WebviewPlugin plugin;
  return answerOf(plugin.invoke(command, nullptr, nullptr, nullptr, body));
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
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

// A plugin whose one command waits until the test lets it go, then says whether its request was
// cancelled meanwhile.
class GatePlugin : public zrk::plugin::Plugin {
 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string&, zrk::Webview*,
                                        http::HttpResponseConnection*, http::HttpRequest* request,
                                        const json&) override {
    std::unique_lock<std::mutex> lock(mutex);
    ++waiting;
    cv.notify_all();
    cv.wait(lock, [&] { return open; });
    const bool cancelled = request != nullptr && request->isCancelled();
    return std::make_shared<http::HttpMimeResponse>(cancelled ? "cancelled" : "not cancelled",
                                                    "text/plain");
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    cv.notify_all();
  }
  int waitingNow() {
    std::lock_guard<std::mutex> lock(mutex);
    return waiting;
  }

  std::mutex mutex;
  std::condition_variable cv;
  int waiting = 0;
  bool open = false;
};

class WebviewPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch_init();
    desk::test::reset();
    engine = desk::web::FakeEngine::create();
    zrk::setWebEngine(engine);
    made.clear();
    zrk::setWebviewMaker([this](const std::string& label, zrk::Window* w,
                                const zrk::WebviewOptions& options,
                                zrk::Webview::CreateCompletion completion) {
      made.push_back(options);
      return zrk::createWebview(label, w, options, std::move(completion));
    });
    zrk::WindowOptions options;
    options.x = 0;
    options.y = 0;
    options.width = 800;
    options.height = 600;
    window = zrk::createWindow(zrk::App::instance().get(), "main", "", options);
    ASSERT_TRUE(window);
    ASSERT_TRUE(ready("main", "main_webview"));
  }
  void TearDown() override {
    auto app = zrk::App::instance();
    app->forEachWindow([](const std::shared_ptr<zrk::Window>& w) {
      if (desk::IsWindow(w->nativeHandle())) desk::DestroyWindow(w->nativeHandle());
    });
    app->clearWindows();
    window.reset();
    pumpUntil([] { return false; }, 30ms);
    zrk::setWebviewMaker(nullptr);
    zrk::setWebEngine(nullptr);
  }

  static std::shared_ptr<zrk::ZrkWebview> find(const std::string& windowLabel,
                                               const std::string& label) {
    auto w = zrk::App::instance()->findWindow(windowLabel);
    return w ? std::dynamic_pointer_cast<zrk::ZrkWebview>(w->findWebview(label)) : nullptr;
  }
  // The webview once its engine view exists.
  std::shared_ptr<zrk::ZrkWebview> ready(const std::string& windowLabel, const std::string& label) {
    std::shared_ptr<zrk::ZrkWebview> webview;
    pumpUntil([&] {
      webview = find(windowLabel, label);
      return webview && webview->engineView() != nullptr;
    });
    return webview && webview->engineView() ? webview : nullptr;
  }
  std::shared_ptr<desk::web::FakeWebview> fakeOf(const zrk::ZrkWebview& webview) {
    auto view = webview.engineView();
    for (auto& f : engine->webviews()) {
      if (f == view) return f;
    }
    return nullptr;
  }
  static json target(const std::string& label = "main_webview") {
    return {{"windowLabel", "main"}, {"label", label}};
  }
  static json with(json body, const json& more) {
    body.update(more);
    return body;
  }

  std::shared_ptr<desk::web::FakeEngine> engine;
  std::shared_ptr<zrk::Window> window;
  std::vector<zrk::WebviewOptions> made;
};

TEST_F(WebviewPluginTest, RegistrationAndIdentity) {
  zrk::plugin::registerWebviewPlugin();
  auto first = zrk::plugin::PluginRegistry::find("webview");
  zrk::plugin::registerWebviewPlugin();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(zrk::plugin::PluginRegistry::find("webview"), first);
  EXPECT_STREQ(first->className(), "WebviewPlugin");
  EXPECT_TRUE(first->isKindOfClass(&zrk::plugin::Plugin::classDescriptor));
  EXPECT_EQ(first->description(), "webview plugin");
  EXPECT_EQ(first->version(), "1.0");
}

// The window label, then the webview label, then the command: a command that does not exist is
// still answered with the first label error.
TEST_F(WebviewPluginTest, LabelErrorsComeBeforeTheCommandLookup) {
  const std::string parent = "Parent window not specified.";
  const std::string noWindow = "Window not found.";
  const std::string empty = "the given label of webview was empty.";
  const std::string notFound = "the given label of webview was not found.";
  struct Case {
    const char* command;
    json body;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {"create", json::object(), 400, parent},
      {"get_size", {{"windowLabel", 5}, {"label", "main_webview"}}, 400, parent},
      {"no_such", json::array({"main"}), 400, parent},
      {"no_such", {{"windowLabel", ""}}, 400, parent},
      {"create", {{"windowLabel", "Main"}}, 400, noWindow},
      {"no_such", {{"windowLabel", "nowhere"}, {"label", "x"}}, 400, noWindow},
      {"no_such", {{"windowLabel", "main"}}, 400, empty},
      {"get_size", {{"windowLabel", "main"}, {"label", 7}}, 400, empty},
      {"get_size", {{"windowLabel", "main"}, {"label", "MAIN_WEBVIEW"}}, 400, notFound},
      {"close", {{"windowLabel", "main"}, {"label", "%s%n"}}, 400, notFound},
      {"no_such", target(), -1, ""},
      {"Get_size", target(), -1, ""},
  };
  for (const Case& c : cases) {
    const Answer a = call(c.command, c.body);
    EXPECT_EQ(a.status, c.status) << c.command << " " << c.body.dump();
    EXPECT_EQ(a.message, c.message) << c.command << " " << c.body.dump();
  }
}

TEST_F(WebviewPluginTest, CreateFillsTheOptionsAndTheWebviewLoadsItsUrl) {
  const Answer a = call("create", {{"windowLabel", "main"},
                                   {"label", "side"},
                                   {"options", {{"x", 10.7},
                                                {"y", -3.9},
                                                {"width", "50%"},
                                                {"height", true},
                                                {"transparent", "yes"},
                                                {"dragDropEnabled", false},
                                                {"userAgent", "ua"},
                                                {"url", "https://pelma/side.html"},
                                                {"resizingMask", 2.5},
                                                {"skip", true}}}});
  EXPECT_EQ(a.status, 200) << a.message;
  EXPECT_EQ(a.body, "\"side\"");
  EXPECT_EQ(a.type, "application/json");
  ASSERT_EQ(made.size(), 2u);
  const zrk::WebviewOptions& o = made.back();
  EXPECT_EQ(o.x, 10);
  EXPECT_EQ(o.y, -3);
  EXPECT_FALSE(o.width.has_value());
  EXPECT_EQ(o.widthText, "50%");
  EXPECT_FALSE(o.height.has_value());
  EXPECT_EQ(o.heightText, "");
  EXPECT_FALSE(o.transparent);
  EXPECT_FALSE(o.dragDropEnabled);
  EXPECT_EQ(o.userAgent, "ua");
  EXPECT_EQ(o.resizingMask, 2);
  auto side = ready("main", "side");
  ASSERT_TRUE(side);
  auto fake = fakeOf(*side);
  ASSERT_TRUE(fake);
  EXPECT_TRUE(pumpUntil([&] {
    auto n = fake->navigations();
    return !n.empty() && n.back() == "https://pelma/side.html";
  }, 5s));

  // Without options: the defaults; without a label: the generated label is the answer, and it
  // finds the webview.
  const Answer b = call("create", {{"windowLabel", "main"}, {"options", "none"}});
  ASSERT_EQ(b.status, 200) << b.message;
  const std::string label = json::parse(b.body).get<std::string>();
  EXPECT_EQ(label.rfind("webview_", 0), 0u) << label;
  EXPECT_NE(find("main", label), nullptr);
  const zrk::WebviewOptions& d = made.back();
  EXPECT_FALSE(d.x || d.y || d.width || d.height);
  EXPECT_FALSE(d.transparent);
  EXPECT_TRUE(d.dragDropEnabled);
  EXPECT_EQ(d.resizingMask, 18);
  EXPECT_EQ(d.url, "");
  EXPECT_EQ(call("get_size", target(label)).status, 200);
}

// Bounds inside the window: "Logical" before "Physical", no scaling, a number that is not one
// counts as 0, and negative coordinates come back signed.
TEST_F(WebviewPluginTest, PositionAndSizeRoundTrip) {
  desk::test::setMonitors({{u"one", {0, 0, 3840, 2160}, {0, 0, 3840, 2100}, 144, true}});
  auto webview = find("main", "main_webview");
  auto fake = fakeOf(*webview);
  ASSERT_TRUE(fake);
  struct Case {
    const char* command;
    json value;
    int status;
    std::string message;
    desk::web::Rect after;  // x and y, or width and height
  };
  const Case cases[] = {
      {"set_position", {{"Logical", {{"x", 10}, {"y", 20}}}, {"Physical", {{"x", 1}, {"y", 2}}}},
       200, "OK", {10, 20, 0, 0}},
      {"set_position", {{"Physical", {{"x", "10"}, {"y", 7.9}}}}, 200, "OK", {0, 7, 0, 0}},
      {"set_position", {{"Logical", {{"x", -10}, {"y", 5}}}}, 200, "OK", {-10, 5, 0, 0}},
      {"set_position", json::object(), 400, "Invalid position type", {-10, 5, 0, 0}},
      {"set_position", "Logical", 400, "Invalid position type", {-10, 5, 0, 0}},
      {"set_size", {{"Physical", {{"width", 400}, {"height", 300}}}}, 200, "OK", {0, 0, 400, 300}},
      {"set_size", {{"Logical", {{"width", 50.9}}}}, 200, "OK", {0, 0, 50, 0}},
      {"set_size", {{"Other", 1}}, 400, "Invalid position type", {0, 0, 50, 0}},
  };
  for (const Case& c : cases) {
    const Answer a = call(c.command, with(target(), {{"value", c.value}}));
    EXPECT_EQ(a.status, c.status) << c.command << " " << c.value.dump();
    EXPECT_EQ(a.message, c.message) << c.command << " " << c.value.dump();
    const desk::web::Rect b = fake->bounds();
    if (std::string(c.command) == "set_position") {
      EXPECT_EQ(b.x, c.after.x) << c.value.dump();
      EXPECT_EQ(b.y, c.after.y) << c.value.dump();
    } else {
      EXPECT_EQ(b.width, c.after.width) << c.value.dump();
      EXPECT_EQ(b.height, c.after.height) << c.value.dump();
    }
  }
  EXPECT_EQ(call("set_position", target()).message, "Invalid position");
  EXPECT_EQ(call("set_size", target()).message, "Invalid size");

  call("set_position", with(target(), {{"value", {{"Physical", {{"x", -10}, {"y", 5}}}}}}));
  call("set_size", with(target(), {{"value", {{"Physical", {{"width", 400}, {"height", 300}}}}}}));
  const Answer p = call("get_position", target());
  EXPECT_EQ(p.body, R"({"x":-10,"y":5})");
  EXPECT_EQ(p.type, "application/json");
  EXPECT_EQ(call("get_size", target()).body, R"({"height":300,"width":400})");
}

TEST_F(WebviewPluginTest, BackgroundColourIgnoresAlphaAndAcceptsSignedNumbers) {
  auto webview = find("main", "main_webview");
  auto fake = fakeOf(*webview);
  ASSERT_TRUE(fake);
  struct Case {
    json argb;
    const char* read;
  };
  const Case cases[] = {
      {-16777216, "4278190080"},       // signed opaque black
      {4278190080u, "4278190080"},      // the same bits unsigned
      {0x00123456, "4279383126"},      // alpha 0 still shows opaque
      {-1.9, "4294967295"},            // -1: white
      {"red", "4278190080"},           // not a number: 0
      {json(), "4278190080"},
      {0x1FF00FF00LL, "4278255360"},   // only the low 32 bits
  };
  for (const Case& c : cases) {
    json body = target();
    if (!c.argb.is_null()) body["argb"] = c.argb;
    const Answer set = call("set_background_color", body);
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.message, "OK");
    EXPECT_EQ(set.body, "");
    EXPECT_EQ(fake->backgroundColor().a, 255) << c.argb.dump();
    const Answer got = call("get_background_color", target());
    EXPECT_EQ(got.body, c.read) << c.argb.dump();
  }
}

// A webview whose engine view is still being made: nothing is coloured or moved, the colour reads
// as 16777215 and the position as (0, 0); once it exists, commands reach it.
TEST_F(WebviewPluginTest, AWebviewWithoutItsEngineViewYet) {
  ASSERT_EQ(call("create", {{"windowLabel", "main"}, {"label", "young"}}).status, 200);
  auto young = find("main", "young");
  ASSERT_TRUE(young);
  ASSERT_EQ(young->engineView(), nullptr);
  EXPECT_EQ(call("set_background_color", with(target("young"), {{"argb", 0xFF0000FF}})).status, 200);
  EXPECT_EQ(call("get_background_color", target("young")).body, "16777215");
  EXPECT_EQ(call("set_position", with(target("young"), {{"value", {{"Physical", {{"x", 3}}}}}})).status, 200);
  EXPECT_EQ(call("get_position", target("young")).body, R"({"x":0,"y":0})");
  EXPECT_EQ(call("is_devtools_enabled", target("young")).body, "false");
  ASSERT_TRUE(ready("main", "young"));
  young->setDevToolsEnabled(true);
  EXPECT_EQ(call("is_devtools_enabled", target("young")).body, "true");
  EXPECT_EQ(call("set_background_color", with(target("young"), {{"argb", 0xFF0000FF}})).status, 200);
  EXPECT_EQ(call("get_background_color", target("young")).body, "4278190335");
}

TEST_F(WebviewPluginTest, DevtoolsAndClose) {
  ASSERT_EQ(call("create", {{"windowLabel", "main"}, {"label", "side"}}).status, 200);
  auto side = ready("main", "side");
  ASSERT_TRUE(side);
  auto fake = fakeOf(*side);
  side->setDevToolsEnabled(true);
  const struct {
    const char* command;
    const char* body;
  } answers[] = {{"is_devtools_enabled", "true"}, {"show_devtools", "true"},
                 {"close_devtools", "true"},      {"is_devtools_visible", "false"},
                 {"cancel_requests", "false"}};
  for (const auto& c : answers) {
    const Answer a = call(c.command, target("side"));
    EXPECT_EQ(a.status, 200) << c.command;
    EXPECT_EQ(a.body, c.body) << c.command;
    EXPECT_EQ(a.type, "application/json") << c.command;
  }
  side->setDevToolsEnabled(false);
  EXPECT_EQ(call("is_devtools_enabled", target("side")).body, "false");

  // "close" from a request thread: the engine view is closed on the UI thread, and once the
  // answer is there the label no longer resolves.
  Answer closed;
  bool done = false;
  std::thread request([&] {
    closed = call("close", target("side"));
    done = true;
  });
  EXPECT_TRUE(pumpUntil([&] { return done; }));
  request.join();
  EXPECT_EQ(closed.body, "true");
  EXPECT_TRUE(fake->closed());
  EXPECT_EQ(find("main", "side"), nullptr);
  EXPECT_EQ(call("close", target("side")).message, "the given label of webview was not found.");
  EXPECT_NE(find("main", "main_webview"), nullptr);
}

// A request held by its handler is flagged by "cancel_requests" with its path; the handler sees
// the flag when it goes on. Strings only count: other elements and a "urls" that is not an array
// cancel nothing.
TEST_F(WebviewPluginTest, CancelRequestsReachesAPendingRequest) {
  static const bool registered = [] {
    http::registerPluginHandler();
    return true;
  }();
  (void)registered;
  auto gate = std::make_shared<GatePlugin>();
  gate->setName("gate");
  zrk::plugin::PluginRegistry::add(gate);
  auto fake = fakeOf(*find("main", "main_webview"));
  ASSERT_TRUE(fake);
  const std::string url = "https://pelma/plugin?name=gate&event=wait";
  auto record = fake->raiseRequest(
      {"POST", url, {{"Content-Type", "application/json"}}, "{}"});
  ASSERT_TRUE(pumpUntil([&] { return gate->waitingNow() == 1; }));
  EXPECT_EQ(call("cancel_requests", with(target(), {{"urls", "/plugin"}})).body, "false");
  EXPECT_EQ(call("cancel_requests", with(target(), {{"urls", {3, "/elsewhere", nullptr}}})).body,
            "false");
  EXPECT_EQ(call("cancel_requests", with(target(), {{"urls", {7, "/plugin"}}})).body, "false");
  gate->release();
  ASSERT_TRUE(pumpUntil([&] {
    return record->state() != desk::web::FakeRequestRecord::State::pending;
  }));
  EXPECT_EQ(record->response().body, "cancelled");
}

}  // namespace
