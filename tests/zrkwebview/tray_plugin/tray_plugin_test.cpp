#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../menu_plugin/menu_support.h"
#include "desk/icons.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/tray.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/tstring.h"
#include "zrkmenu/common.h"
#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http-plugins/tray/tray-plugin.h"
#include "zrkwebview/browser/src/http-plugins/tray/tray-resource.h"
#include "zrkwebview/browser/src/timers.h"

namespace zrk::plugin {
namespace {

using nlohmann::json;
namespace dt = desk::test;
using desk::POINT;

struct Reply {
  bool none = false;
  int status = 0;
  std::string text;
  json value() const { return json::parse(text); }
};

TrayPlugin& trayPlugin() {
  static TrayPlugin instance;
  return instance;
}

Reply tray(Webview* webview, const std::string& command, const json& payload) {
  pel::test::FakeRequest request("POST", "https://pelma/plugin?name=tray");
  auto result = trayPlugin().invoke(command, webview, nullptr, &request, payload);
  Reply reply;
  if (!result) {
    reply.none = true;
  } else if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
    reply.status = mime->status();
    reply.text = mime->body();
  } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
    reply.status = status->status();
    reply.text = status->statusMessage();
  }
  return reply;
}

// Every channel message broadcast to the framework windows, as (channel, parsed text).
std::vector<std::pair<std::string, json>>& broadcasts() {
  static std::vector<std::pair<std::string, json>> list;
  return list;
}

desk::LRESULT pageWindowProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
  if (m == wmBroadcastChannel() && w != 0 && l != 0) {
    broadcasts().emplace_back(reinterpret_cast<const Vesk::TString*>(w)->utf8String(),
                              json::parse(reinterpret_cast<const Vesk::TString*>(l)->utf8String()));
    return 0;
  }
  return desk::DefWindowProc(h, m, w, l);
}

// Runs steps one after another inside whatever loop pumps the thread (a modal menu's).
constexpr desk::UINT kStep = 0x8001;
desk::LRESULT scriptProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l);
struct Script {
  std::vector<std::function<void()>> steps;
  size_t next = 0;
  desk::HWND hwnd = nullptr;
};
Script& script() {
  static Script s;
  return s;
}
desk::LRESULT scriptProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
  if (m == kStep) {
    Script& s = script();
    if (s.next < s.steps.size()) {
      auto step = s.steps[s.next++];
      step();
      if (s.next < s.steps.size()) desk::PostMessage(h, kStep, 0, 0);
    }
    return 0;
  }
  return desk::DefWindowProc(h, m, w, l);
}

void registerClass(const char16_t* name, desk::WNDPROC proc) {
  desk::WNDCLASSEX wc;
  wc.lpfnWndProc = proc;
  wc.lpszClassName = name;
  desk::RegisterClassEx(&wc);
}

int trayWindowCount() {
  int n = 0;
  for (desk::HWND h : desk::zOrder()) {
    char16_t name[64] = {};
    desk::GetClassName(h, name, 64);
    if (std::u16string(name) == u"__trayWndClass") ++n;
  }
  return n;
}

// A 4x4 opaque icon image of the webview; its rid.
uint32_t iconImage(Webview* webview) {
  std::vector<uint8_t> rgba(4 * 4 * 4, 0xFF);
  return createImageFromRgba(webview, rgba, 4, 4, kImageTypeIco, -1);
}

class Tray : public zrkmenu::testing::MenuTest {
 protected:
  void SetUp() override {
    MenuTest::SetUp();
    useFixedText();
    dispatch_init();
    testing::plugin();  // the menu plugin routes "wm_command"
    static bool registered = false;
    if (!registered) {
      registerClass(u"TrayTestPage", &pageWindowProc);
      registerClass(u"TrayTestScript", &scriptProc);
      registered = true;
    }
    page = desk::CreateWindowEx(0, u"TrayTestPage", u"", 0, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
    script().hwnd = desk::CreateWindowEx(0, u"TrayTestScript", u"", 0, 0, 0, 0, 0,
                                         desk::HWND_MESSAGE, nullptr, nullptr, nullptr);
    broadcasts().clear();
    webview = std::make_shared<pel::test::FakeWebview>("tray");
  }
  void TearDown() override {
    dt::pump();
    webview.reset();
    MenuTest::TearDown();
    EXPECT_EQ(dt::liveIconCount(), 0u);
  }
  void runSteps(std::vector<std::function<void()>> steps) {
    script().steps = std::move(steps);
    script().next = 0;
    desk::PostMessage(script().hwnd, kStep, 0, 0);
  }
  std::shared_ptr<WinTrayResource> make(const json& options, const std::string& handler = "__channel__:7") {
    const Reply r = tray(webview.get(), "new", {{"handler", handler}, {"options", options}});
    EXPECT_EQ(r.status, 200) << r.text;
    if (r.status != 200) return nullptr;
    return std::dynamic_pointer_cast<WinTrayResource>(
        webview->resourceManager()->find(r.value()[0].get<uint32_t>()));
  }
  std::optional<dt::NotifyIcon> record(const WinTrayResource& t) {
    return dt::notifyIcon(t.hwnd(), t.id());
  }
  // Raises a callback at the point and handles it.
  void callback(const WinTrayResource& t, desk::UINT event, POINT at) {
    ASSERT_TRUE(dt::trayCallback(t.hwnd(), t.id(), event, at));
    dt::pump();
  }
  std::vector<json> events() {
    std::vector<json> out;
    for (auto& [channel, message] : broadcasts()) {
      EXPECT_EQ(channel, "__channel__:7");
      out.push_back(message);
    }
    broadcasts().clear();
    return out;
  }

  desk::HWND page = nullptr;
  std::shared_ptr<pel::test::FakeWebview> webview;
};

TEST_F(Tray, RecordsFollowEachChange) {
  auto t = make({{"id", "a"}, {"tooltip", "first"}});
  ASSERT_TRUE(t);
  auto rec = record(*t);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->tip, u"first");
  EXPECT_EQ(rec->flags, desk::NIF_MESSAGE | desk::NIF_TIP | desk::NIF_SHOWTIP);
  EXPECT_EQ(rec->version, 4u);
  EXPECT_EQ(rec->callbackMessage, wmTray());
  EXPECT_EQ(rec->icon, nullptr);
  // The tooltip option is shown but not stored.
  EXPECT_EQ(t->tooltip(), "");

  struct Case {
    std::string tooltip;
    std::u16string tip;
    bool shown;
  };
  const Case cases[] = {
      {std::string(200, 'x'), std::u16string(127, u'x'), true},
      {"eleven char", u"eleven char", true},
      {"ab", u"ab", true},                                              // nothing of the longer one
      {std::string(126, 'y') + "\xF0\x9F\x98\x80", std::u16string(126, u'y'), true},  // no half pair
      {"", std::u16string(126, u'y'), false},                           // text kept, tip off
  };
  for (const Case& c : cases) {
    const Reply r = tray(webview.get(), "set_tooltip", {{"rid", t->id()}, {"tooltip", c.tooltip}});
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.value(), json::array({t->id(), "a"}));
    rec = record(*t);
    EXPECT_EQ(rec->tip, c.tip) << c.tooltip;
    EXPECT_EQ(rec->showTip, c.shown) << c.tooltip;
    EXPECT_EQ((rec->flags & desk::NIF_TIP) != 0, c.shown) << c.tooltip;
  }

  // The title is stored and shown nowhere.
  ASSERT_EQ(tray(webview.get(), "set_title", {{"rid", t->id()}, {"title", "T"}}).status, 200);
  EXPECT_EQ(t->title(), "T");

  // An icon given later shows; a new one replaces it and the tray's old handle goes.
  const uint32_t image = iconImage(webview.get());
  ASSERT_NE(image, 0u);
  ASSERT_EQ(tray(webview.get(), "set_icon", {{"rid", t->id()}, {"icon", image}}).text, "true");
  rec = record(*t);
  ASSERT_TRUE(rec->image);
  EXPECT_EQ(rec->image->width(), 4);
  EXPECT_EQ(dt::liveIconCount(), 1u);
  ASSERT_EQ(tray(webview.get(), "set_icon", {{"rid", t->id()}, {"icon", image}}).text, "true");
  EXPECT_EQ(dt::liveIconCount(), 1u);
  EXPECT_NE(record(*t)->icon, rec->icon);
  // Null, an unknown rid, a missing file: true, and the icon stays.
  for (const json& icon : {json(nullptr), json(99999), json("/nonexistent/icon.png"), json(true)}) {
    ASSERT_EQ(tray(webview.get(), "set_icon", {{"rid", t->id()}, {"icon", icon}}).text, "true");
  }
  EXPECT_NE(record(*t)->icon, nullptr);

  ASSERT_EQ(tray(webview.get(), "set_visible", {{"rid", t->id()}, {"visible", false}}).text, "true");
  EXPECT_EQ(record(*t)->state & desk::NIS_HIDDEN, desk::NIS_HIDDEN);
  ASSERT_EQ(tray(webview.get(), "set_visible", {{"rid", t->id()}, {"visible", true}}).text, "true");
  EXPECT_EQ(record(*t)->state & desk::NIS_HIDDEN, 0u);

  // Closed through the manager (the resource plugin's way): icon, window and handles gone.
  const desk::HWND window = t->hwnd();
  webview->resourceManager()->close(t->id());
  EXPECT_FALSE(dt::notifyIcon(window, t->id()));
  EXPECT_FALSE(desk::IsWindow(window));
  EXPECT_EQ(dt::liveIconCount(), 0u);
  EXPECT_EQ(webview->resourceManager()->find(t->id()), nullptr);
}

TEST_F(Tray, HoverEntersOnceAndLeavesOnTheVirtualClock) {
  auto t = make({{"id", "h"}});
  ASSERT_TRUE(t);
  const POINT inside{1900, 1050};
  callback(*t, desk::WM_MOUSEMOVE, POINT{100, 100});  // not over the icon
  EXPECT_TRUE(events().empty());
  callback(*t, desk::WM_MOUSEMOVE, inside);
  callback(*t, desk::WM_MOUSEMOVE, POINT{1901, 1051});
  const json rect = {{"x", 1896}, {"y", 1040}, {"width", 24}, {"height", 40}};
  EXPECT_EQ(events(), (std::vector<json>{{{"enter", {{"id", "h"}, {"x", 1900}, {"y", 1050}, {"rect", rect}}}}}));
  dt::advance(400);
  EXPECT_TRUE(events().empty());
  desk::SetCursorPos(500, 500);
  dt::advance(199);
  EXPECT_TRUE(events().empty());
  dt::advance(1);
  EXPECT_EQ(events(), (std::vector<json>{{{"leave", {{"id", "h"}, {"x", 500}, {"y", 500}, {"rect", rect}}}}}));
  dt::advance(1000);
  EXPECT_TRUE(events().empty());

  // A rectangle the area cannot give: no enter.
  dt::failNotifyIconGetRect(true);
  callback(*t, desk::WM_MOUSEMOVE, inside);
  EXPECT_TRUE(events().empty());
  dt::failNotifyIconGetRect(false);

  // Closed while hovering: the timer ends with it, no leave.
  callback(*t, desk::WM_MOUSEMOVE, inside);
  EXPECT_EQ(events().size(), 1u);
  ASSERT_EQ(tray(webview.get(), "remove_by_id", {{"id", "h"}}).status, 200);
  desk::SetCursorPos(10, 10);
  dt::advance(1000);
  EXPECT_TRUE(events().empty());
}

TEST_F(Tray, ClickPayloadsOfTheButtonMessages) {
  auto t = make(json(5));  // no identifier: "click" carries it empty, "enter" not at all
  ASSERT_TRUE(t);
  struct Case {
    desk::UINT event;
    const char* state;
    const char* button;
  };
  const Case cases[] = {
      {desk::WM_LBUTTONDOWN, "Down", "Left"},   {desk::WM_LBUTTONUP, "Up", "Left"},
      {desk::WM_RBUTTONDOWN, "Down", "Right"},  {desk::WM_RBUTTONUP, "Up", "Right"},
      {desk::WM_MBUTTONDOWN, "Down", "Middle"}, {desk::WM_MBUTTONUP, "Up", "Middle"},
  };
  const json rect = {{"x", 1896}, {"y", 1040}, {"width", 24}, {"height", 40}};
  for (const Case& c : cases) {
    callback(*t, c.event, POINT{12, 34});  // no containment test
    EXPECT_EQ(events(), (std::vector<json>{{{"click", {{"id", ""}, {"x", 12}, {"y", 34}, {"rect", rect},
                                                        {"button_state", c.state}, {"button", c.button}}}}}))
        << c.event;
  }
  // Double clicks and a context menu without a menu add nothing.
  for (desk::UINT event : {desk::UINT{desk::WM_LBUTTONDBLCLK}, desk::UINT{0x206}, desk::WM_CONTEXTMENU}) {
    callback(*t, event, POINT{1900, 1050});
  }
  EXPECT_TRUE(events().empty());
  callback(*t, desk::WM_MOUSEMOVE, POINT{1900, 1050});
  EXPECT_EQ(events(), (std::vector<json>{{{"enter", {{"x", 1900}, {"y", 1050}, {"rect", rect}}}}}));
}

TEST_F(Tray, AMenuChoiceReachesItsEntryAlsoAboveSixteenBits) {
  // Webviews until one hands out rids above 65535.
  std::vector<std::shared_ptr<pel::test::FakeWebview>> spare;
  uint32_t sub = 0;
  for (int i = 0; i < 20 && sub <= 65535; ++i) {
    spare.push_back(std::make_shared<pel::test::FakeWebview>("w"));
    const auto r = testing::call(spare.back().get(), "new",
        {{"kind", "Submenu"}, {"options", {{"text", "S"}, {"items", {
            {{"id", "open"}, {"text", "Open"}, {"handler", "__channel__:11"}},
            {{"id", "open"}, {"text", "Open again"}, {"handler", "__channel__:12"}}}}}}});
    ASSERT_EQ(r.status, 200) << r.text;
    sub = r.value()[0];
  }
  ASSERT_GT(sub, 65535u);
  webview = spare.back();
  auto t = make({{"menu", {sub}}});
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->menu());
  auto popup = t->menu();
  auto rowPoint = [popup](int index) {
    const desk::RECT r = popup->itemRect(index);
    const int s = zrkmenu::shadowSize();
    return POINT{popup->x + s + 10, popup->y + s + (r.top + r.bottom) / 2};
  };
  testing::sent(*webview);
  // The second "open" shares its page id with the first: its own entry answers.
  runSteps({[] {}, [] { dt::advance(150); }, [&] { dt::click(rowPoint(1)); }});
  callback(*t, desk::WM_CONTEXTMENU, POINT{1900, 1050});
  using Sent = std::vector<std::pair<uint32_t, json>>;
  EXPECT_EQ(testing::sent(*webview), (Sent{{12, json{{"message", "open"}, {"id", -1}}}}));
  for (auto& other : spare) {
    if (other != webview) {
      EXPECT_TRUE(testing::sent(*other).empty());
    }
  }

  // A menu of another kind or a plain entry: the menu stays.
  const auto entry = testing::call(webview.get(), "new", {{"kind", "MenuItem"}, {"options", {{"text", "x"}}}});
  ASSERT_EQ(tray(webview.get(), "set_menu", {{"rid", t->id()}, {"menu", {entry.value()[0], "Submenu"}}}).text, "true");
  ASSERT_EQ(tray(webview.get(), "set_menu", {{"rid", t->id()}, {"menu", {sub}}}).text, "true");
  EXPECT_EQ(t->menu(), popup);
  EXPECT_THROW(tray(webview.get(), "set_menu", {{"rid", t->id()}, {"menu", {"x", "Submenu"}}}),
               nlohmann::json::type_error);
  EXPECT_THROW(tray(webview.get(), "set_menu", {{"rid", t->id()}, {"menu", {sub, 3}}}),
               nlohmann::json::type_error);
  t.reset();
  for (auto& other : spare) other.reset();
  spare.clear();
}

TEST_F(Tray, FailingCallsAndCreations) {
  // The icon cannot be added: the tray still exists.
  dt::failNotifyIcon(desk::NIM_ADD, desk::ERROR_TIMEOUT);
  auto t = make({{"id", "x"}});
  ASSERT_TRUE(t);
  EXPECT_FALSE(record(*t));
  dt::failNotifyIcon(desk::NIM_ADD, desk::ERROR_SUCCESS);
  webview->resourceManager()->close(t->id());
  t.reset();

  // A bad menu value fails the creation after the window exists: no window is left behind.
  EXPECT_EQ(trayWindowCount(), 0);
  const Reply r = tray(webview.get(), "new", {{"handler", "__channel__:1"}, {"options", {{"menu", {"x"}}}}});
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.text, "Failed to create tray");
  EXPECT_EQ(trayWindowCount(), 0);

  // Without a webview: the creation's own error, and again no window.
  auto orphan = std::make_shared<WinTrayResource>(1, "", "__channel__:1");
  try {
    orphan->create(json::object());
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to get webview");
  }
  EXPECT_EQ(trayWindowCount(), 0);
  orphan.reset();

  // Made from a request thread while the UI thread pumps; the change runs on the UI thread.
  std::atomic<bool> done{false};
  Reply made;
  std::thread request([&] {
    made = tray(webview.get(), "new", {{"handler", "__channel__:1"}, {"options", {{"id", "bg"}, {"tooltip", "t"}}}});
    if (made.status == 200) tray(webview.get(), "set_tooltip", {{"rid", made.value()[0]}, {"tooltip", "u"}});
    done = true;
  });
  ASSERT_TRUE(dt::pumpUntil([&] { return done.load(); }));
  request.join();
  ASSERT_EQ(made.status, 200);
  auto bg = std::dynamic_pointer_cast<WinTrayResource>(webview->resourceManager()->find(made.value()[0]));
  ASSERT_TRUE(bg);
  EXPECT_EQ(record(*bg)->tip, u"u");

  // The webview goes without closing its trays: their icons leave the area.
  const desk::HWND window = bg->hwnd();
  const uint32_t rid = bg->id();
  bg.reset();
  webview.reset();
  EXPECT_FALSE(dt::notifyIcon(window, rid));
  EXPECT_FALSE(desk::IsWindow(window));
}

TEST_F(Tray, CommandTable) {
  auto a = make({{"id", "same"}});
  auto b = make({{"id", "same"}});
  ASSERT_TRUE(a && b);
  const uint32_t menuRid =
      testing::call(webview.get(), "new", {{"kind", "Menu"}, {"options", json::object()}}).value()[0];
  const json handleA = json::array({a->id(), "same"});
  struct Case {
    const char* command;
    json payload;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {"new", {{"handler", ""}}, 400, "Invalid handler"},
      {"new", {{"handler", 5}, {"options", {}}}, 400, "Invalid handler"},
      {"new", {{"handler", "__channel__:1"}}, 400, "Invalid options"},
      {"set_tooltip", {{"rid", 0}, {"tooltip", "x"}}, 400, "Invalid rid"},
      {"set_tooltip", {{"rid", std::to_string(a->id())}}, 400, "Invalid rid"},
      {"set_tooltip", {{"tooltip", "x"}}, 400, "Invalid rid"},
      {"set_tooltip", {{"rid", a->id()}}, 400, "Invalid tooltip"},
      {"set_tooltip", {{"rid", a->id() + 0.7}, {"tooltip", "x"}}, 200, handleA.dump()},
      {"set_tooltip", {{"rid", 12.7}, {"tooltip", "x"}}, 400, "Failed to set tooltip"},
      {"set_title", {{"rid", a->id()}, {"title", 1}}, 400, "Invalid title"},
      {"set_title", {{"rid", menuRid}, {"title", "t"}}, 400, "Failed to set ttitle"},
      {"set_title", {{"rid", a->id()}, {"title", "t"}}, 200, handleA.dump()},
      {"set_icon", {{"rid", a->id()}}, 400, "Invalid icon"},
      {"set_icon", {{"rid", menuRid}, {"icon", 1}}, 400, "Failed to set icon"},
      {"set_icon", {{"rid", a->id()}, {"icon", nullptr}}, 200, "true"},
      {"set_menu", {{"rid", menuRid}}, 400, "Failed to set menu"},
      {"set_menu", {{"rid", a->id()}}, 200, "true"},
      {"set_menu", {{"rid", a->id()}, {"menu", "x"}}, 200, "true"},
      {"set_visible", {{"rid", a->id()}, {"visible", 1}}, 400, "Invalid visible"},
      {"set_visible", {{"rid", menuRid}, {"visible", true}}, 400, "Failed to set visible"},
      {"set_visible", {{"rid", a->id()}, {"visible", true}}, 200, "true"},
      {"set_icon_as_template", json(3), 200, ""},
      {"set_menu_on_left_click", nullptr, 200, ""},
      {"get_by_id", {{"id", ""}}, 400, "Invalid id"},
      {"get_by_id", {{"id", "same"}}, 200, handleA.dump()},
      {"get_by_id", {{"id", "none"}}, 200, "null"},
      {"remove_by_id", {{"id", 3}}, 400, "Invalid id"},
      {"remove_by_id", {{"id", "same"}}, 200, ""},
      {"remove_by_id", {{"id", "same"}}, 200, ""},
      {"remove_by_id", {{"id", "same"}}, 404, "Not found"},
  };
  for (const Case& c : cases) {
    const Reply r = tray(webview.get(), c.command, c.payload);
    EXPECT_EQ(r.status, c.status) << c.command << " " << c.payload.dump();
    EXPECT_EQ(r.text, c.text) << c.command << " " << c.payload.dump();
  }
  EXPECT_EQ(a->tooltip(), "x");
  EXPECT_FALSE(record(*a));
  EXPECT_FALSE(record(*b));
  EXPECT_TRUE(tray(webview.get(), "nothing", json::object()).none);
  EXPECT_TRUE(trayPlugin().invoke("new", nullptr, nullptr, nullptr, json::object()) == nullptr);
  EXPECT_EQ(trayPlugin().name(), "tray");
  EXPECT_EQ(trayPlugin().description(), "tray plugin");
  EXPECT_EQ(trayPlugin().version(), "1.0");
}

}  // namespace
}  // namespace zrk::plugin
