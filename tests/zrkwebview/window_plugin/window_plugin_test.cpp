// The window plugin over the application's real windows on the headless platform layer: the
// error order every command shares, "create" options, queries and actions, geometry in both
// units, animation on the virtual clock and the two-step close. The test's main thread is the UI
// thread; one test calls from a request thread as the "/plugin" queue does.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/attributes.h"
#include "desk/icons.h"
#include "desk/message.h"
#include "desk/registry.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http-plugins/window/window-native.h"
#include "zrkwebview/browser/src/http-plugins/window/window-plugin.h"
#include "zrkwebview/browser/src/http-plugins/window/window-values.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview2/window.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;

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

Answer call(const std::string& command, const json& body, zrk::Webview* webview = nullptr) {
  zrk::plugin::WindowPlugin plugin;
  return answerOf(plugin.invoke(command, webview, nullptr, nullptr, body));
}

desk::RECT rectOf(const std::shared_ptr<zrk::Window>& window) {
  desk::RECT r{};
  desk::GetWindowRect(window->nativeHandle(), &r);
  return r;
}

class WindowPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool started = [] {
      dispatch_init();
      return true;
    }();
    (void)started;
    desk::test::reset();
    zrk::setWebviewMaker([](const std::string& label, zrk::Window* window,
                            const zrk::WebviewOptions&, zrk::Webview::CreateCompletion) {
      return std::make_shared<FakeWebview>(label, window);
    });
  }
  void TearDown() override {
    auto app = zrk::App::instance();
    app->forEachWindow([](const std::shared_ptr<zrk::Window>& w) {
      if (desk::IsWindow(w->nativeHandle())) desk::DestroyWindow(w->nativeHandle());
    });
    app->clearWindows();
    desk::test::pump();
    zrk::setWebviewMaker(nullptr);
  }

  static void monitorAt(desk::UINT dpi) {
    desk::test::setMonitors({{u"one", {0, 0, 3840, 2160}, {0, 0, 3840, 2100}, dpi, true}});
  }

  // A window made through the plugin; its label.
  static std::shared_ptr<zrk::Window> open(const std::string& label, json options = json::object()) {
    options.emplace("x", 100);
    options.emplace("y", 100);
    options.emplace("width", 800);
    options.emplace("height", 600);
    const Answer a = call("create", {{"label", label}, {"options", options}});
    EXPECT_EQ(a.status, 200) << a.message;
    return zrk::App::instance()->findWindow(json::parse(a.body).get<std::string>());
  }
};

TEST_F(WindowPluginTest, RegistrationAndCommandNames) {
  zrk::plugin::registerWindowPlugin();
  auto first = zrk::plugin::PluginRegistry::find("window");
  zrk::plugin::registerWindowPlugin();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(zrk::plugin::PluginRegistry::find("window"), first);
  EXPECT_STREQ(first->className(), "WindowPlugin");
  EXPECT_TRUE(first->isKindOfClass(&zrk::plugin::Plugin::classDescriptor));
  EXPECT_EQ(first->description(), "window plugin");
  EXPECT_EQ(first->version(), "1.0");

  open("main");
  for (const char* name : {"Create", "create ", "is_Visible", "", "set_icon_x"}) {
    EXPECT_EQ(call(name, {{"label", "main"}}).status, -1) << name;
  }
}

TEST_F(WindowPluginTest, ErrorOrder) {
  open("main");
  const std::string hostile = "no %s%n\r\nwindow \xc3\xbc \"'";
  const std::string notFound = "Could not find window with label: ";
  const std::string sizeMsg = "Failed to set window size. No Physical or Logical size was provided.";
  struct Case {
    const char* command;
    json body;
    int status;
    std::string message;
  };
  const Case cases[] = {
      // The label first: missing, empty, of another type, or a body that is no object.
      {"is_visible", json::object(), 400, "Set window title, but the label was empty."},
      {"is_visible", json::array({"main"}), 400, "Set window title, but the label was empty."},
      {"is_visible", {{"label", 3}}, 400, "Set window title, but the label was empty."},
      {"set_size", {{"label", ""}}, 400, "Set window title, but the label was empty."},
      {"close", json::object(), 400, "Close window, but the label was empty."},
      {"destroy", {{"label", ""}}, 400, "Destroy window, but the label was empty."},
      {"is_valid", {{"label", false}}, 400, "Destroy window, but the label was empty."},
      // Then the window, before any parameter; page text stands in the message as sent.
      {"hide", {{"label", hostile}}, 400, notFound + hostile},
      {"set_title", {{"label", "nope"}}, 400, notFound + "nope"},
      {"move", {{"label", "nope"}}, 400, notFound + "nope"},
      {"is_excluded_from_taskbar", {{"label", "nope"}}, 400, notFound + "nope"},
      {"is_visible", {{"label", "MAIN"}}, 400, notFound + "MAIN"},
      // Then the parameters, a wrong JSON type counting as missing.
      {"set_title", {{"label", "main"}}, 400, "Missing parameter: \"title\""},
      {"set_title", {{"label", "main"}, {"title", 5}}, 400, "Missing parameter: \"title\""},
      {"set_size", {{"label", "main"}}, 400, sizeMsg},
      {"set_size", {{"label", "main"}, {"value", {{"Physical", {{"width", "400"}, {"height", 300}}}}}},
       400, sizeMsg},
      {"set_size",
       {{"label", "main"},
        {"value", {{"Physical", {{"width", 400}}}, {"Logical", {{"width", 1}, {"height", 1}}}}}},
       400, sizeMsg},
      {"set_size", {{"label", "main"}, {"value", {{"physical", {{"width", 1}, {"height", 1}}}}}},
       400, sizeMsg},
      {"set_min_size", {{"label", "main"}, {"value", json::object()}}, 400,
       "Failed to set window min size. No Physical or Logical size was provided."},
      {"set_max_size", {{"label", "main"}, {"value", 5}}, 400,
       "Failed to set window max size. No Physical or Logical size was provided."},
      {"set_position", {{"label", "main"}, {"value", {{"Logical", {{"x", 1}}}}}}, 400,
       "Failed to set window position. No Physical or Logical position was provided."},
      {"set_cursor_position", {{"label", "main"}}, 400,
       "Failed to set cursor position. No Physical or Logical position was provided."},
      {"move", {{"label", "main"}}, 400, "pos is required"},
      {"move", {{"label", "main"}, {"pos", nullptr}}, 400, "size is required"},
      // A throwing operation.
      {"is_excluded_from_taskbar", {{"label", "main"}}, 500, "Internal error: not implemented"},
  };
  const desk::RECT before = rectOf(zrk::App::instance()->findWindow("main"));
  for (const auto& c : cases) {
    const Answer a = call(c.command, c.body);
    EXPECT_EQ(a.status, c.status) << c.command << " " << c.body.dump();
    EXPECT_EQ(a.message, c.message) << c.command << " " << c.body.dump();
    // The page reads the message exactly from the body.
    EXPECT_EQ(a.body, c.message) << c.command;
  }
  const desk::RECT after = rectOf(zrk::App::instance()->findWindow("main"));
  EXPECT_EQ(after.right - after.left, before.right - before.left);
  EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);

  // "find" and "is_valid" answer a label that names no window.
  for (const json& body : {json::object(), json{{"label", 3}}, json{{"label", "nope"}}}) {
    const Answer a = call("find", body);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "");
    EXPECT_EQ(a.type, "text/plain");
  }
  EXPECT_EQ(call("find", {{"label", "main"}}).body, "main");
  EXPECT_EQ(call("is_valid", {{"label", "nope"}}).body, "false");
  EXPECT_EQ(call("is_valid", {{"label", "main"}}).body, "true");
}

TEST_F(WindowPluginTest, CreateOptions) {
  const Answer made = call("create", {{"label", "tools"}, {"options", {{"width", 800.9}, {"height", 600}}}});
  EXPECT_EQ(made.body, "\"tools\"");
  EXPECT_EQ(made.type, "application/json");
  auto tools = zrk::App::instance()->findWindow("tools");
  ASSERT_NE(tools, nullptr);
  EXPECT_EQ(rectOf(tools).right - rectOf(tools).left, 800);
  EXPECT_EQ(rectOf(tools).bottom - rectOf(tools).top, 600);
  EXPECT_EQ(call("title", {{"label", "tools"}, {"from_option", true}}).body, "");
  char16_t caption[64] = {};
  desk::GetWindowText(tools->nativeHandle(), caption, 64);
  EXPECT_EQ(std::u16string(caption), u"ZRKUI Window");

  // A label in use, and a label of another type: generated labels; the first window stays.
  for (const json& label : {json("tools"), json(7)}) {
    const Answer again = call("create", {{"label", label}});
    const std::string generated = json::parse(again.body).get<std::string>();
    EXPECT_EQ(generated.rfind("window_", 0), 0u) << generated;
    EXPECT_NE(zrk::App::instance()->findWindow(generated), nullptr);
  }
  EXPECT_EQ(zrk::App::instance()->findWindow("tools"), tools);

  // Wrong JSON types keep the defaults; a three-number title-bar rectangle is no rectangle.
  auto loose = open("loose", {{"resizable", "no"},
                              {"visible", 0},
                              {"titleBarRect", {{"x", 1}, {"y", 2}, {"width", 3}}}});
  EXPECT_EQ(call("is_resizable", {{"label", "loose"}}).body, "true");
  EXPECT_EQ(call("is_visible", {{"label", "loose"}}).body, "true");
  EXPECT_EQ(call("titlebar_rect", {{"label", "loose"}}).body,
            R"({"origin":{"x":0.0,"y":0.0},"size":{"height":40.0,"width":0.0}})");
  open("rect", {{"titleBarRect", {{"x", 1}, {"y", 2.5}, {"width", 300}, {"height", 32}}},
                {"hiddenTitle", true},
                {"visible", false},
                {"title", "Rect"}});
  EXPECT_EQ(call("titlebar_rect", {{"label", "rect"}}).body,
            R"({"origin":{"x":1.0,"y":2.5},"size":{"height":32.0,"width":300.0}})");
  EXPECT_EQ(call("has_title_bar", {{"label", "rect"}}).body, "false");
  EXPECT_EQ(call("is_visible", {{"label", "rect"}}).body, "false");
  EXPECT_EQ(call("title", {{"label", "rect"}, {"from_option", true}}).body, "Rect");

  // Parents: one that names no window is none; a real one is answered by "parent_window".
  open("orphan", {{"visible", false}});
  EXPECT_EQ(call("create", {{"label", "child"}, {"parent", "tools"}}).status, 200);
  EXPECT_EQ(call("create", {{"label", "lost"}, {"parent", "nope"}}).status, 200);
  EXPECT_EQ(call("parent_window", {{"label", "child"}}).body, "tools");
  EXPECT_EQ(call("owner_window", {{"label", "child"}}).body, "tools");
  EXPECT_EQ(call("parent_window", {{"label", "lost"}}).body, "");
  EXPECT_EQ(call("owner_window", {{"label", "orphan"}}).body, "");

  // Numbers beyond 32 bits are clamped, never undefined.
  EXPECT_EQ(call("create", {{"label", "huge"}, {"options", {{"x", 1e300}, {"width", -1e19}}}}).status,
            200);
}

TEST_F(WindowPluginTest, ActionsQueriesAndTitle) {
  auto w = open("main", {{"visible", false}});
  const json main = {{"label", "main"}};
  EXPECT_EQ(call("is_visible", main).body, "false");
  for (int i = 0; i < 2; ++i) {
    const Answer shown = call("show", main);
    EXPECT_EQ(shown.body, "true");
    EXPECT_EQ(shown.type, "application/json");
  }
  EXPECT_EQ(call("is_visible", main).body, "true");
  call("hide", main);
  EXPECT_EQ(call("is_visible", main).body, "false");
  call("show", main);

  call("toggle_maximize", main);
  EXPECT_EQ(call("is_maximized", main).body, "true");
  call("toggle_maximize", main);
  EXPECT_EQ(call("is_maximized", main).body, "false");
  call("minimize", main);
  EXPECT_EQ(call("is_minimized", main).body, "true");
  call("unminimize", main);
  EXPECT_EQ(call("is_minimized", main).body, "false");

  open("fixed", {{"maximizable", false}, {"minimizable", false}});
  EXPECT_EQ(call("maximize", {{"label", "fixed"}}).body, "true");
  EXPECT_EQ(call("is_maximized", {{"label", "fixed"}}).body, "false");
  EXPECT_EQ(call("minimize", {{"label", "fixed"}}).body, "true");
  EXPECT_EQ(call("is_minimized", {{"label", "fixed"}}).body, "false");

  // Focus runs on the UI thread; "set_focus" gives it, "is_focused" sees it.
  call("set_focus", main);
  EXPECT_EQ(call("is_focused", main).body, "true");
  EXPECT_EQ(call("is_focused", {{"label", "fixed"}}).body, "false");
  call("activate", {{"label", "fixed"}});
  EXPECT_EQ(call("is_activated", {{"label", "fixed"}}).body, "true");

  // Titles: current and creation title; the empty text is a title.
  EXPECT_EQ(call("title", main).body, "");
  EXPECT_EQ(call("set_title", {{"label", "main"}, {"title", "abc \xe2\x82\xac"}}).body, "true");
  const Answer title = call("title", main);
  EXPECT_EQ(title.body, "abc \xe2\x82\xac");
  EXPECT_EQ(title.type, "text/plain");
  EXPECT_EQ(call("title", {{"label", "main"}, {"from_option", "yes"}}).body, "abc \xe2\x82\xac");
  call("set_title", {{"label", "main"}, {"title", ""}});
  char16_t caption[16] = {u'x'};
  EXPECT_EQ(desk::GetWindowText(w->nativeHandle(), caption, 16), 0);

  // "center" answers a bodiless 200 "OK"; "show_modal" answers at once.
  const Answer centred = call("center", {{"label", "main"}, {"to_screen", nullptr}});
  EXPECT_EQ(centred.status, 200);
  EXPECT_EQ(centred.message, "OK");
  EXPECT_EQ(centred.body, "");
  EXPECT_EQ(call("show_modal", {{"label", "fixed"}}).body, "true");
  EXPECT_EQ(call("is_content_edited", main).body, "false");
  EXPECT_EQ(call("is_fullscreen", main).body, "false");
}

TEST_F(WindowPluginTest, GeometryInBothUnits) {
  monitorAt(168);  // scale factor 1.75
  auto w = open("main");
  EXPECT_EQ(call("scale_factor", {{"label", "main"}}).body, "1.75");
  EXPECT_EQ(call("device_scale_factor", {{"label", "main"}}).body, "1.75");
  EXPECT_EQ(call("outer_size", {{"label", "main"}}).body, R"({"height":600.0,"width":800.0})");
  EXPECT_EQ(call("outer_position", {{"label", "main"}}).body, R"({"x":100.0,"y":100.0})");
  EXPECT_EQ(call("inner_position", {{"label", "main"}}).body, R"({"x":0.0,"y":0.0})");

  struct Case {
    const char* note;
    json value;
    int width, height;
  };
  const Case sizes[] = {
      {"logical, rounded to the float and truncated", {{"Logical", {{"width", 333}, {"height", 100}}}}, 582, 175},
      {"physical as it stands", {{"Physical", {{"width", 400}, {"height", 300}}}}, 400, 300},
      {"physical decides over logical",
       {{"Physical", {{"width", 410}, {"height", 310}}}, {"Logical", {{"width", 1}, {"height", 1}}}},
       410, 310},
      {"fractions truncate", {{"Physical", {{"width", 401.99}, {"height", 299.5}}}}, 401, 299},
  };
  for (const auto& c : sizes) {
    EXPECT_EQ(call("set_size", {{"label", "main"}, {"value", c.value}, {"animated", "yes"}}).body,
              "true");
    const desk::RECT r = rectOf(w);
    EXPECT_EQ(r.right - r.left, c.width) << c.note;
    EXPECT_EQ(r.bottom - r.top, c.height) << c.note;
    EXPECT_EQ(r.left, 100) << c.note;  // the top-left corner stays
  }

  call("set_position", {{"label", "main"}, {"value", {{"Logical", {{"x", -100}, {"y", 40}}}}}});
  EXPECT_EQ(rectOf(w).left, -175);
  EXPECT_EQ(rectOf(w).top, 70);

  // "move": the size follows the type of "pos" unless it has its own; only "Logical" converts.
  struct Move {
    json pos, size;
    desk::RECT expected;
  };
  const Move moves[] = {
      {{{"type", "Logical"}, {"x", 10}, {"y", 20}}, {{"width", 100}, {"height", 50}}, {17, 35, 192, 122}},
      {{{"type", "Logical"}, {"x", 10}, {"y", 20}},
       {{"type", "Physical"}, {"width", 200}, {"height", 50}},
       {17, 35, 217, 85}},
      {{{"type", "logical"}, {"x", 10}, {"y", 20}}, {{"width", 200}, {"height", 50}}, {10, 20, 210, 70}},
      {nullptr, {{"type", "Logical"}, {"width", 100}, {"height", 50}}, {0, 0, 175, 87}},
  };
  for (const auto& m : moves) {
    EXPECT_EQ(call("move", {{"label", "main"}, {"pos", m.pos}, {"size", m.size}}).body, "true");
    const desk::RECT r = rectOf(w);
    EXPECT_EQ((std::vector<int>{r.left, r.top, r.right, r.bottom}),
              (std::vector<int>{m.expected.left, m.expected.top, m.expected.right, m.expected.bottom}))
        << m.pos.dump() << " " << m.size.dump();
  }
}

TEST_F(WindowPluginTest, LimitsScaleLikeTheSizeAndTheCursorIsLenient) {
  monitorAt(192);  // 2.0
  auto w = std::dynamic_pointer_cast<zrk::WinWindow>(open("main"));
  ASSERT_NE(w, nullptr);
  call("set_min_size", {{"label", "main"}, {"value", {{"Logical", {{"width", 400}, {"height", 300}}}}}});
  EXPECT_EQ(w->minSize().width, 800.0f);
  EXPECT_EQ(w->minSize().height, 600.0f);
  call("set_max_size", {{"label", "main"}, {"value", {{"Physical", {{"width", 0}, {"height", 900}}}}}});
  EXPECT_EQ(w->maxSize().width, 0.0f);
  EXPECT_EQ(w->maxSize().height, 900.0f);
  // The window keeps to the limits when it is sized.
  call("set_size", {{"label", "main"}, {"value", {{"Physical", {{"width", 100}, {"height", 2000}}}}}});
  EXPECT_EQ(rectOf(w).right - rectOf(w).left, 800);
  EXPECT_EQ(rectOf(w).bottom - rectOf(w).top, 900);

  monitorAt(120);  // 1.25; the window follows its monitor
  desk::test::pump();
  EXPECT_EQ(call("scale_factor", {{"label", "main"}}).body, "1.25");
  desk::POINT origin{0, 0};
  desk::ClientToScreen(w->nativeHandle(), &origin);
  struct Cursor {
    json value;
    int dx, dy;
  };
  const Cursor cursors[] = {
      {{{"Logical", {{"x", 10}}}}, 12, 0},
      {json::object(), 0, 0},
      {nullptr, 0, 0},
      {{{"Physical", {{"x", 5}, {"y", "7"}}}}, 5, 0},
  };
  for (const auto& c : cursors) {
    EXPECT_EQ(call("set_cursor_position", {{"label", "main"}, {"value", c.value}}).body, "true");
    desk::test::pump();  // the cursor moves later, on the UI thread's queue
    desk::POINT at{};
    desk::GetCursorPos(&at);
    EXPECT_EQ(at.x - origin.x, c.dx) << c.value.dump();
    EXPECT_EQ(at.y - origin.y, c.dy) << c.value.dump();
  }
}

TEST_F(WindowPluginTest, AnimatedSizeAndMove) {
  auto w = open("main");
  const json grow = {{"label", "main"},
                     {"value", {{"Physical", {{"width", 1200}, {"height", 1000}}}}},
                     {"animated", true}};
  EXPECT_EQ(call("set_size", grow).body, "true");
  EXPECT_EQ(rectOf(w).right - rectOf(w).left, 800);  // answered before the first tick
  desk::test::advance(200);
  EXPECT_NE(rectOf(w).right - rectOf(w).left, 1200);  // 20 eased ticks come short
  desk::test::advance(10);
  EXPECT_EQ(rectOf(w).right - rectOf(w).left, 1200);  // the 21st is exact
  EXPECT_EQ(rectOf(w).bottom - rectOf(w).top, 1000);

  // A second animation starts where the first stopped.
  call("set_size", {{"label", "main"},
                    {"value", {{"Physical", {{"width", 400}, {"height", 400}}}}},
                    {"animated", true}});
  desk::test::advance(50);
  const desk::RECT halfway = rectOf(w);
  call("set_size", grow);
  desk::test::advance(10);  // the new one's first tick leaves the window where it is
  EXPECT_EQ(rectOf(w).right - rectOf(w).left, halfway.right - halfway.left);
  desk::test::advance(200);
  EXPECT_EQ(rectOf(w).right - rectOf(w).left, 1200);

  // "set_position" during an animated move jumps; the animation still ends on its target.
  call("move", {{"label", "main"},
                {"pos", {{"x", 300}, {"y", 300}}},
                {"size", {{"width", 500}, {"height", 400}}},
                {"animated", true}});
  desk::test::advance(50);
  call("set_position", {{"label", "main"}, {"value", {{"Physical", {{"x", 0}, {"y", 0}}}}}});
  EXPECT_EQ(rectOf(w).left, 0);
  desk::test::advance(10);
  EXPECT_GT(rectOf(w).left, 0);
  desk::test::advance(200);
  const desk::RECT end = rectOf(w);
  EXPECT_EQ((std::vector<int>{end.left, end.top, end.right, end.bottom}),
            (std::vector<int>{300, 300, 800, 700}));
}

TEST_F(WindowPluginTest, CloseAsksListeningPagesAndDestroyDoesNot) {
  auto asked = open("asked");
  auto page = std::dynamic_pointer_cast<FakeWebview>(asked->findWebview(zrk::kMainWebviewLabel));
  ASSERT_NE(page, nullptr);
  auto& dispatcher = zrk::EventDispatcher::instance();
  const uint64_t id = dispatcher.listen(42, "zrk://will-close", "Window", "asked");
  asked->addEventListener(id, "zrk://will-close");
  page->clearRecords();
  EXPECT_EQ(call("close", {{"label", "asked"}}).body, "true");
  desk::test::advance(200);
  EXPECT_TRUE(desk::IsWindow(asked->nativeHandle()));
  ASSERT_EQ(page->scripts().size(), 1u);
  EXPECT_NE(page->scripts()[0].find("zrk://will-close"), std::string::npos);
  EXPECT_EQ(call("destroy", {{"label", "asked"}}).body, "true");
  EXPECT_FALSE(desk::IsWindow(asked->nativeHandle()));
  EXPECT_EQ(call("is_valid", {{"label", "asked"}}).body, "false");
  EXPECT_EQ(dispatcher.find(id), nullptr);  // the destroyed window took its listener along

  auto later = open("later");
  EXPECT_EQ(call("close", {{"label", "later"}}).body, "true");
  desk::test::advance(99);
  EXPECT_EQ(call("is_valid", {{"label", "later"}}).body, "true");
  desk::test::advance(1);
  EXPECT_EQ(call("is_valid", {{"label", "later"}}).body, "false");

  auto twice = open("twice");
  call("close", {{"label", "twice"}});
  call("close", {{"label", "twice"}});
  EXPECT_FALSE(desk::IsWindow(twice->nativeHandle()));
}

TEST_F(WindowPluginTest, CommandsFromTheRequestThread) {
  monitorAt(144);
  std::atomic<bool> done{false};
  std::vector<Answer> answers;
  std::thread request([&] {
    answers.push_back(call("create", {{"label", "far"}, {"options", {{"width", 500}, {"height", 400}}}}));
    answers.push_back(call("set_size", {{"label", "far"},
                                        {"value", {{"Logical", {{"width", 400}, {"height", 300}}}}}}));
    answers.push_back(call("outer_size", {{"label", "far"}}));
    answers.push_back(call("set_focus", {{"label", "far"}}));
    answers.push_back(call("is_focused", {{"label", "far"}}));
    answers.push_back(call("set_title", {{"label", "far"}, {"title", "from afar"}}));
    answers.push_back(call("destroy", {{"label", "far"}}));
    answers.push_back(call("is_valid", {{"label", "far"}}));
    done = true;
  });
  EXPECT_TRUE(desk::test::pumpUntil([&] { return done.load(); }));
  request.join();
  ASSERT_EQ(answers.size(), 8u);
  EXPECT_EQ(answers[0].body, "\"far\"");
  EXPECT_EQ(answers[1].body, "true");
  EXPECT_EQ(answers[2].body, R"({"height":450.0,"width":600.0})");
  EXPECT_EQ(answers[4].body, "true");
  EXPECT_EQ(answers[5].body, "true");
  EXPECT_EQ(answers[6].body, "true");
  EXPECT_EQ(answers[7].body, "false");
}

desk::DWORD styleOf(const std::shared_ptr<zrk::Window>& window, int index = desk::GWL_STYLE) {
  return static_cast<desk::DWORD>(desk::GetWindowLongPtr(window->nativeHandle(), index));
}

bool closeItemGreyed(const std::shared_ptr<zrk::Window>& window) {
  desk::HMENU menu = desk::GetSystemMenu(window->nativeHandle(), 0);
  return menu != nullptr &&
         (desk::GetMenuState(menu, static_cast<desk::UINT>(desk::SC_CLOSE), desk::MF_BYCOMMAND) &
          desk::MF_GRAYED) != 0;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST_F(WindowPluginTest, BooleanSettersChangeTheWindowAndReadBack) {
  auto w = open("main");
  const std::string label = "main";
  // Each setter, and what the window shows for each value.
  struct Case {
    const char* command;
    const char* key;
    std::function<bool()> state;  // the flag as the window has it now
  };
  const Case cases[] = {
      {"set_minimizable", "minimizable",
       [&] { return (styleOf(w) & desk::WS_MINIMIZEBOX) != 0 && call("is_minimizable", {{"label", label}}).body == "true"; }},
      {"set_maximizable", "maximizable",
       [&] { return (styleOf(w) & desk::WS_MAXIMIZEBOX) != 0 && call("is_maximizable", {{"label", label}}).body == "true"; }},
      {"set_resizable", "resizable",
       [&] { return (styleOf(w) & desk::WS_THICKFRAME) != 0 && call("is_resizable", {{"label", label}}).body == "true"; }},
      // Closable greys only the close item: the system menu stays.
      {"set_closable", "closable",
       [&] {
         EXPECT_NE(styleOf(w) & desk::WS_SYSMENU, 0u);
         return !closeItemGreyed(w) && call("is_closable", {{"label", label}}).body == "true";
       }},
      {"set_visible", "visible", [&] { return call("is_visible", {{"label", label}}).body == "true"; }},
      {"set_always_on_top", "alwaysOnTop",
       [&] { return (styleOf(w, desk::GWL_EXSTYLE) & desk::WS_EX_TOPMOST) != 0; }},
      {"set_content_protected", "contentProtected",
       [&] {
         desk::DWORD affinity = 0xFF;
         desk::GetWindowDisplayAffinity(w->nativeHandle(), &affinity);
         EXPECT_TRUE(affinity == desk::WDA_NONE || affinity == desk::WDA_EXCLUDEFROMCAPTURE);
         return affinity == desk::WDA_EXCLUDEFROMCAPTURE;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    for (bool value : {false, true, false, true}) {
      const Answer a = call(c.command, {{"label", label}, {c.key, value}});
      EXPECT_EQ(a.status, 200);
      EXPECT_EQ(a.body, "true");
      EXPECT_EQ(a.type, "application/json");
      EXPECT_EQ(c.state(), value);
    }
    // A key that is no JSON boolean is missing, and the window is left as it was (true).
    for (const json& wrong : {json(0), json("false"), json(nullptr), json::object()}) {
      const Answer a = call(c.command, {{"label", label}, {c.key, wrong}});
      EXPECT_EQ(a.status, 400);
      EXPECT_EQ(a.message, std::string("Missing parameter: \"") + c.key + "\"");
      EXPECT_TRUE(c.state());
    }
    // The label is checked before the key.
    EXPECT_EQ(call(c.command, {{"label", ""}}).message, "Set window title, but the label was empty.");
    EXPECT_EQ(call(c.command, {{"label", "nowhere"}}).message,
              "Could not find window with label: nowhere");
  }

  // The bottom of the z-order, and back to the top.
  auto other = open("other");
  call("set_always_on_top", {{"label", label}, {"alwaysOnTop", false}});
  call("set_always_at_bottom", {{"label", label}, {"alwaysAtBottom", true}});
  auto order = desk::test::zOrder();
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.back(), w->nativeHandle());
  call("set_always_at_bottom", {{"label", label}, {"alwaysAtBottom", false}});
  EXPECT_EQ(desk::test::zOrder().front(), w->nativeHandle());

  // Nothing to record for edits here, and the taskbar cannot be left on this platform.
  EXPECT_EQ(call("set_content_edited", {{"label", label}, {"edited", true}}).body, "true");
  EXPECT_EQ(call("is_content_edited", {{"label", label}}).body, "false");
  const Answer excluded = call("exclude_from_taskbar", {{"label", label}, {"exclude", true}});
  EXPECT_EQ(excluded.status, 500);
  EXPECT_EQ(excluded.message, "Internal error: not implemented");
  EXPECT_EQ(call("exclude_from_taskbar", {{"label", label}}).message,
            "Missing parameter: \"exclude\"");
}

TEST_F(WindowPluginTest, EnabledDefaultsToTrue) {
  auto w = open("main");
  struct Case {
    json body;
    bool enabled;
  };
  const Case cases[] = {
      {{{"label", "main"}, {"enabled", false}}, false},
      {{{"label", "main"}}, true},
      {{{"label", "main"}, {"enabled", false}}, false},
      {{{"label", "main"}, {"enabled", "false"}}, true},
      {{{"label", "main"}, {"enabled", false}}, false},
      {{{"label", "main"}, {"enabled", 0}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.dump());
    EXPECT_EQ(call("set_enabled", c.body).body, "true");
    EXPECT_EQ(desk::IsWindowEnabled(w->nativeHandle()) != 0, c.enabled);
  }
  EXPECT_EQ(call("set_enabled", {{"enabled", true}}).message,
            "Destroy window, but the label was empty.");
}

TEST_F(WindowPluginTest, LeavingFullScreenKeepsTheWindowsOwnStyle) {
  desk::test::setMonitors({{u"left", {-1280, 0, 0, 1024}, {-1280, 0, 0, 1000}, 96, false},
                           {u"main", {0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 96, true}});
  auto w = open("fixed", {{"resizable", false}, {"maximizable", false}});
  const desk::RECT before = rectOf(w);
  const desk::DWORD style = styleOf(w);
  EXPECT_EQ(call("set_fullscreen", {{"label", "fixed"}, {"fullscreen", true}}).body, "true");
  EXPECT_EQ(call("is_fullscreen", {{"label", "fixed"}}).body, "true");
  const desk::RECT full = rectOf(w);
  EXPECT_EQ((std::vector<int>{full.left, full.top, full.right, full.bottom}),
            (std::vector<int>{0, 0, 1920, 1080}));  // the whole monitor, not its work area
  EXPECT_EQ(styleOf(w) & desk::WS_CAPTION, 0u);

  call("set_fullscreen", {{"label", "fixed"}, {"fullscreen", false}});
  EXPECT_EQ(call("is_fullscreen", {{"label", "fixed"}}).body, "false");
  EXPECT_EQ(call("is_resizable", {{"label", "fixed"}}).body, "false");
  EXPECT_EQ(call("is_maximizable", {{"label", "fixed"}}).body, "false");
  EXPECT_EQ(styleOf(w) & ~desk::WS_VISIBLE, style & ~desk::WS_VISIBLE);
  const desk::RECT after = rectOf(w);
  EXPECT_EQ((std::vector<int>{after.left, after.top, after.right, after.bottom}),
            (std::vector<int>{before.left, before.top, before.right, before.bottom}));
}

TEST_F(WindowPluginTest, AttentionFlashesOnlyAWindowTheUserIsNotLookingAt) {
  auto front = open("front");
  auto back = open("back");
  call("activate", {{"label", "front"}});
  ASSERT_EQ(call("is_activated", {{"label", "front"}}).body, "true");
  auto flash = [](const std::shared_ptr<zrk::Window>& w) {
    return desk::test::windowAttributes(w->nativeHandle()).flash;
  };
  struct Case {
    json value;
    std::optional<desk::DWORD> flags;  // the flash "back" shows afterwards
  };
  const Case cases[] = {
      {1, desk::FLASHW_ALL | desk::FLASHW_TIMERNOFG},
      {0, std::nullopt},
      {2.9, desk::FLASHW_TRAY | desk::FLASHW_TIMERNOFG},
      {-7, std::nullopt},
      {2, desk::FLASHW_TRAY | desk::FLASHW_TIMERNOFG},
      {3, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.dump());
    const Answer a = call("request_user_attention", {{"label", "back"}, {"value", c.value}});
    EXPECT_EQ(a.body, "true");
    auto now = flash(back);
    ASSERT_EQ(now.has_value(), c.flags.has_value());
    if (now) {
      EXPECT_EQ(now->flags, *c.flags);
      EXPECT_EQ(now->count, 4294967294u);
      EXPECT_EQ(now->timeout, 0u);
    }
  }
  // The active window is not flashed, yet the page is told "true".
  EXPECT_EQ(call("request_user_attention", {{"label", "front"}, {"value", 1}}).body, "true");
  EXPECT_FALSE(flash(front).has_value());

  for (const json& wrong : {json("1"), json(true), json(nullptr)}) {
    EXPECT_EQ(call("request_user_attention", {{"label", "back"}, {"value", wrong}}).message,
              "Missing parameter: \"value\"");
  }
  EXPECT_EQ(call("request_user_attention", {{"value", 1}}).message,
            "Set window title, but the label was empty.");
}

TEST_F(WindowPluginTest, FrameThemeAndSystemTheme) {
  auto w = open("main");
  struct Case {
    json body;
    const char* theme;
  };
  const Case cases[] = {
      {{{"label", "main"}, {"theme", "light"}}, "\"light\""},
      {{{"label", "main"}, {"theme", "Light"}}, "\"dark\""},
      {{{"label", "main"}, {"theme", "light"}, {"updateView", true}}, "\"light\""},
      {{{"label", "main"}}, "\"dark\""},
      {{{"label", "main"}, {"theme", "light"}}, "\"light\""},
      {{{"label", "main"}, {"theme", 0}}, "\"dark\""},
      {{{"label", "main"}, {"theme", "LIGHT"}}, "\"dark\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.dump());
    const Answer set = call("set_theme", c.body);
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.message, "OK");
    EXPECT_EQ(set.body, "");
    const Answer got = call("theme", {{"label", "main"}});
    EXPECT_EQ(got.body, c.theme);
    EXPECT_EQ(got.type, "application/json");
    // The frame's own dark-mode attribute agrees.
    auto dwm = desk::test::windowAttributes(w->nativeHandle()).dwm;
    EXPECT_EQ(dwm[desk::DWMWA_USE_IMMERSIVE_DARK_MODE], std::string(c.theme) == "\"dark\"" ? 1u : 0u);
  }

  // The system's preference: the stored value, with no desktop portal to ask.
  ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/pelmora-test-bus");
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
  EXPECT_EQ(call("get_system_theme", json()).body, "light");  // no value
  for (uint32_t light : {0u, 1u}) {
    desk::test::seedRegistryValue(key, "AppsUseLightTheme", desk::REG_DWORD,
                                  std::string(1, static_cast<char>(light)) + std::string(3, '\0'));
    const Answer a = call("get_system_theme", json());  // no label needed
    EXPECT_EQ(a.body, light == 0 ? "dark" : "light");
    EXPECT_EQ(a.type, "text/plain");
  }
  // The window's own frame is not the system's choice.
  call("set_theme", {{"label", "main"}, {"theme", "light"}});
  EXPECT_EQ(call("theme", {{"label", "main"}}).body, "\"light\"");
}

class MonitorsTest : public WindowPluginTest {
 protected:
  void SetUp() override {
    WindowPluginTest::SetUp();
    handles = desk::test::setMonitors(
        {{u"\\\\.\\DISPLAY2", {-1280, 0, 0, 1024}, {-1280, 0, 0, 1000}, 144, false},
         {u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 96, true},
         {u"\\\\.\\DISPLAY3", {1920, 0, 3840, 1200}, {1920, 0, 3840, 1160}, 100, false}});
  }
  std::vector<desk::HMONITOR> handles;
};

constexpr char kLeft[] =
    R"({"name":"\\\\.\\DISPLAY2","position":{"x":-1280.0,"y":0.0},"scaleFactor":1.5,)"
    R"("size":{"height":1024.0,"width":1280.0}})";
constexpr char kPrimary[] =
    R"({"name":"\\\\.\\DISPLAY1","position":{"x":0.0,"y":0.0},"scaleFactor":1.0,)"
    R"("size":{"height":1080.0,"width":1920.0}})";
constexpr char kRight[] =
    R"({"name":"\\\\.\\DISPLAY3","position":{"x":1920.0,"y":0.0},)"
    R"("scaleFactor":1.0416666269302368,"size":{"height":1200.0,"width":1920.0}})";

TEST_F(MonitorsTest, RecordsInEnumerationOrderWithTheirRectanglesOnStdout) {
  zrk::plugin::WindowPlugin plugin;  // made first: its constructor writes a line of its own
  testing::internal::CaptureStdout();
  const Answer all = answerOf(plugin.invoke("available_monitors", nullptr, nullptr, nullptr, json()));
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(all.type, "application/json");
  EXPECT_EQ(all.body, std::string("[") + kLeft + "," + kPrimary + "," + kRight + "]");
  EXPECT_EQ(printed,
            "left: -1280, top: 0, right: 0, bottom: 1024\n"
            "left: 0, top: 0, right: 1920, bottom: 1080\n"
            "left: 1920, top: 0, right: 3840, bottom: 1200\n");
  EXPECT_EQ(call("primary_monitor", {{"label", "ignored"}}).body, kPrimary);

  // Without the per-monitor DPI call every monitor has the system DPI.
  desk::test::setPerMonitorDpiAvailable(false);
  desk::test::setSystemDpi(120);
  for (const auto& record : json::parse(call("available_monitors", json()).body)) {
    EXPECT_EQ(record["scaleFactor"].get<double>(), 1.25);
  }
}

TEST_F(MonitorsTest, NearestToAPointAndToTheCallersWindow) {
  struct Case {
    json body;
    const char* monitor;
  };
  const Case cases[] = {
      {json::object(), kPrimary},
      {json(), kPrimary},
      {{{"x", 2500.5}, {"y", 10}}, kRight},
      {{{"x", "2500"}, {"y", 10}}, kPrimary},  // text is no number: 0
      {{{"x", -0.5}, {"y", -0.9}}, kPrimary},  // truncated toward zero: (0, 0)
      {{{"x", -1.5}, {"y", 0}}, kLeft},
      {{{"x", -90000}, {"y", 50000}}, kLeft},  // far outside: the nearest
      {{{"x", 1e300}, {"y", 0}}, kRight},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(call("monitor_from_point", c.body).body, c.monitor) << c.body.dump();
  }

  // The caller's own window, wherever a "label" points; the part of it that is larger decides.
  auto straddling = open("straddling", {{"x", 1800}, {"y", 100}, {"width", 800}, {"height", 600}});
  open("left", {{"x", -1000}, {"y", 100}, {"width", 400}, {"height", 300}});
  auto page = straddling->findWebview(zrk::kMainWebviewLabel);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(call("current_monitor", {{"label", "left"}}, page.get()).body, kRight);
  call("move", {{"label", "straddling"},
                {"pos", {{"x", -300}, {"y", 0}}},
                {"size", {{"width", 800}, {"height", 600}}}});
  EXPECT_EQ(call("current_monitor", json(), page.get()).body, kPrimary);
  EXPECT_EQ(call("current_monitor", json()).body, kPrimary);  // no calling page
  FakeWebview orphan("orphan");
  EXPECT_EQ(call("current_monitor", json(), &orphan).body, kPrimary);  // no window

  desk::SetCursorPos(-100, 50);
  const Answer cursor = call("cursor_position", json());
  EXPECT_EQ(cursor.body, R"({"x":-100.0,"y":50.0})");
  EXPECT_EQ(cursor.type, "application/json");
}

TEST_F(MonitorsTest, AMonitorThatCannotBeReadIsZeros) {
  const desk::HMONITOR stale = handles[0];
  desk::test::setMonitors({{u"only", {0, 0, 800, 600}, {0, 0, 800, 560}, 96, true}});
  const zrk::plugin::MonitorRecord record = zrk::plugin::describeMonitor(stale);
  EXPECT_EQ(record.name, "");
  EXPECT_EQ((std::vector<float>{record.x, record.y, record.width, record.height}),
            (std::vector<float>{0, 0, 0, 0}));
  const zrk::plugin::MonitorRecord none = zrk::plugin::describeMonitor(nullptr);
  EXPECT_EQ(none.name, "");
  EXPECT_EQ(none.width, 0.0f);
}

class IconTest : public WindowPluginTest {
 protected:
  // Two pixels: opaque red, half-transparent blue.
  static uint32_t image(zrk::Webview* page, zrk::plugin::ImageType kind) {
    static const std::vector<uint8_t> kPixels = {255, 0, 0, 255, 0, 0, 255, 128};
    return zrk::plugin::createImageFromRgba(page, kPixels, 2, 1, kind, -1);
  }
};

TEST_F(IconTest, AnIconImageOfTheCallingPageBecomesBothIcons) {
  const size_t before = desk::test::liveIconCount();
  auto w = open("main");
  auto other = open("other");
  auto page = w->findWebview(zrk::kMainWebviewLabel);
  auto otherPage = other->findWebview(zrk::kMainWebviewLabel);
  ASSERT_TRUE(page && otherPage);
  const uint32_t icon = image(page.get(), zrk::plugin::kImageTypeIco);
  const uint32_t bitmap = image(page.get(), zrk::plugin::kImageTypeBmp);
  ASSERT_NE(icon, 0u);
  ASSERT_NE(bitmap, 0u);

  const Answer set = call("set_icon", {{"label", "main"}, {"rid", icon}}, page.get());
  EXPECT_EQ(set.body, "true");
  EXPECT_EQ(set.type, "application/json");
  auto shown = desk::test::snapshot(w->nativeHandle());
  ASSERT_TRUE(shown);
  ASSERT_NE(shown->bigIcon, nullptr);
  EXPECT_EQ(shown->smallIcon, shown->bigIcon);
  const desk::gfx::Bitmap* pixels = desk::iconBitmap(shown->bigIcon);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(pixels->pixel(0, 0), 0xFFFF0000u);
  EXPECT_EQ(pixels->pixel(1, 0), 0x800000FFu);

  // The window keeps one icon of its own however often it is given one.
  for (int i = 0; i < 20; ++i) {
    const json rid = i % 2 == 0 ? json(icon) : json(icon + 0.8);  // the fraction is dropped
    ASSERT_EQ(call("set_icon", {{"label", "main"}, {"rid", rid}}, page.get()).body, "true");
  }
  EXPECT_EQ(desk::test::liveIconCount(), before + 1);

  // Other rids, kinds, pages and windows change nothing.
  const desk::HICON current = desk::test::snapshot(w->nativeHandle())->bigIcon;
  struct Case {
    const char* what;
    json rid;
    zrk::Webview* caller;
  };
  const Case refused[] = {
      {"rid 0", 0, page.get()},
      {"unknown rid", icon + 1000, page.get()},
      {"a bitmap image", bitmap, page.get()},
      {"another page's ids", icon, otherPage.get()},
      {"no calling page", icon, nullptr},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(call("set_icon", {{"label", "main"}, {"rid", c.rid}}, c.caller).body, "false");
    EXPECT_EQ(desk::test::snapshot(w->nativeHandle())->bigIcon, current);
  }
  EXPECT_EQ(desk::test::liveIconCount(), before + 1);

  for (const json& wrong : {json(std::to_string(icon)), json(true), json(nullptr)}) {
    EXPECT_EQ(call("set_icon", {{"label", "main"}, {"rid", wrong}}, page.get()).message,
              "Icon resource id is required.");
  }
  EXPECT_EQ(call("set_icon", {{"label", ""}}, page.get()).message,
            "Set window title, but the label was empty.");

  // The icon is given to another window from a request thread; each window owns its own.
  std::atomic<bool> done{false};
  Answer fromThread;
  std::thread request([&] {
    fromThread = call("set_icon", {{"label", "other"}, {"rid", icon}}, page.get());
    done = true;
  });
  EXPECT_TRUE(desk::test::pumpUntil([&] { return done.load(); }));
  request.join();
  EXPECT_EQ(fromThread.body, "true");
  EXPECT_EQ(desk::test::liveIconCount(), before + 2);

  // A destroyed window gives its icon back.
  call("destroy", {{"label", "main"}});
  call("destroy", {{"label", "other"}});
  desk::test::pump();
  EXPECT_EQ(desk::test::liveIconCount(), before);
}

TEST_F(WindowPluginTest, ProgressFollowsTheValueAndStaysInRange) {
  auto w = open("main");
  const json main = {{"label", "main"}};
  auto progress = [&] { return desk::test::windowAttributes(w->nativeHandle()); };
  struct Case {
    json value;
    int state;
    uint64_t completed;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {{{"status", "normal"}, {"progress", 40}}, desk::TBPF_NORMAL, 40, {"state 2", "value 40/100"}},
      {{{"status", "Paused"}}, desk::TBPF_NOPROGRESS, 0, {"state 0"}},
      {{{"status", "paused"}, {"progress", 45.9}}, desk::TBPF_PAUSED, 45, {"state 8", "value 45/100"}},
      // Only a value: the state is cleared first, and the value brings a normal bar back.
      {{{"progress", 75.6}}, desk::TBPF_NORMAL, 75, {"state 0", "state 2", "value 75/100"}},
      {nullptr, desk::TBPF_NOPROGRESS, 0, {"state 0"}},
      {{{"status", "error"}, {"progress", -5}}, desk::TBPF_ERROR, 0, {"state 4", "value 0/100"}},
      {{{"status", "normal"}, {"progress", 150}}, desk::TBPF_NORMAL, 100, {"state 2", "value 100/100"}},
      {{{"status", "indeterminate"}, {"progress", "50"}}, desk::TBPF_INDETERMINATE, 100, {"state 1"}},
      {{{"status", "none"}}, desk::TBPF_NOPROGRESS, 0, {"state 0"}},
      {{{"status", "normal"}, {"progress", -1e300}}, desk::TBPF_NORMAL, 0, {"state 2", "value 0/100"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.dump());
    const size_t logged = progress().progressLog.size();
    const Answer a = call("set_progress_bar", {{"label", "main"}, {"value", c.value}});
    EXPECT_EQ(a.body, "true");
    const auto now = progress();
    EXPECT_EQ(now.progressState, c.state);
    EXPECT_EQ(now.progressCompleted, c.completed);
    EXPECT_EQ(std::vector<std::string>(now.progressLog.begin() + static_cast<long>(logged),
                                       now.progressLog.end()),
              c.log);
  }
  const size_t logged = progress().progressLog.size();
  EXPECT_EQ(call("set_progress_bar", main).message,
            "Failed to set progress bar. No value was provided.");
  EXPECT_EQ(call("set_progress_bar", {{"value", json::object()}}).message,
            "Set window title, but the label was empty.");
  // Without a taskbar there is nothing to show, and the page is not told.
  desk::test::failTaskbarCreation(true);
  EXPECT_EQ(call("set_progress_bar", {{"label", "main"}, {"value", {{"status", "error"}}}}).body,
            "true");
  desk::test::failTaskbarCreation(false);
  EXPECT_EQ(progress().progressLog.size(), logged);
}

}  // namespace
