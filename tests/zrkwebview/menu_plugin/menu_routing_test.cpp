#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "desk/message.h"
#include "desk/test.h"
#include "libdispatch/src/dispatch.h"
#include "menu_support.h"
#include "vesk/tdictionary.h"
#include "vesk/tnotification.h"
#include "vesk/tnumber.h"
#include "zrkmenu/common.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {
namespace {

using nlohmann::json;
using testing::call;
using testing::popupOf;
using testing::sent;
namespace dt = desk::test;
using desk::POINT;
using Sent = std::vector<std::pair<uint32_t, json>>;

constexpr desk::UINT WM_APP_STEP = 0x8001;

// Runs steps one after another inside whatever loop pumps the thread (a modal menu's).
class Script {
 public:
  Script() {
    static bool registered = false;
    if (!registered) {
      desk::WNDCLASSEX wc;
      wc.lpfnWndProc = &Script::proc;
      wc.lpszClassName = u"MenuRoutingScript";
      desk::RegisterClassEx(&wc);
      registered = true;
    }
    hwnd_ = desk::CreateWindowEx(0, u"MenuRoutingScript", u"", 0, 0, 0, 0, 0, desk::HWND_MESSAGE,
                                 nullptr, nullptr, this);
  }
  ~Script() { desk::DestroyWindow(hwnd_); }
  void run(std::vector<std::function<void()>> steps) {
    steps_ = std::move(steps);
    next_ = 0;
    if (!steps_.empty()) desk::PostMessage(hwnd_, WM_APP_STEP, 0, 0);
  }

 private:
  static desk::LRESULT proc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
    if (m == desk::WM_NCCREATE) {
      auto* cs = reinterpret_cast<desk::CREATESTRUCT*>(l);
      desk::SetWindowLongPtr(h, desk::GWLP_USERDATA, reinterpret_cast<desk::LONG_PTR>(cs->lpCreateParams));
      return 1;
    }
    if (m == WM_APP_STEP) {
      auto* self = reinterpret_cast<Script*>(desk::GetWindowLongPtr(h, desk::GWLP_USERDATA));
      if (self && self->next_ < self->steps_.size()) {
        auto step = self->steps_[self->next_++];
        step();
        if (self->next_ < self->steps_.size()) desk::PostMessage(h, WM_APP_STEP, 0, 0);
      }
      return 0;
    }
    return desk::DefWindowProc(h, m, w, l);
  }
  desk::HWND hwnd_ = nullptr;
  std::vector<std::function<void()>> steps_;
  size_t next_ = 0;
};

// A framework window over a plain native window of the platform layer.
class TestWindow : public Window {
 public:
  void setHandle(desk::HWND handle) { nativeHandle_ = handle; }
};

desk::LRESULT plainProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
  return desk::DefWindowProc(h, m, w, l);
}

class MenuRouting : public zrkmenu::testing::MenuTest {
 protected:
  void SetUp() override {
    MenuTest::SetUp();
    useFixedText();
    dispatch_init();
    static bool registered = false;
    if (!registered) {
      desk::WNDCLASSEX wc;
      wc.lpfnWndProc = &plainProc;
      wc.lpszClassName = u"MenuRoutingOwner";
      desk::RegisterClassEx(&wc);
      registered = true;
    }
    owner = desk::CreateWindowEx(0, u"MenuRoutingOwner", u"owner", desk::WS_OVERLAPPEDWINDOW | desk::WS_VISIBLE,
                                 100, 50, 600, 500, nullptr, nullptr, nullptr, nullptr);
    window = std::make_shared<TestWindow>();
    window->setHandle(owner);
    first = std::make_shared<pel::test::FakeWebview>("first", window.get());
    second = std::make_shared<pel::test::FakeWebview>("second", window.get());
    window->addWebview(first, true);
    window->addWebview(second, true);
    script = std::make_unique<Script>();
  }
  void TearDown() override {
    dt::pump();
    script.reset();
    if (desk::IsWindow(owner)) desk::DestroyWindow(owner);
    MenuTest::TearDown();
  }

  // A menu of `second`: "open" (channel 11), a submenu "more" holding "deep" (12), an entry
  // without id (13) and a second "open" (14).
  uint32_t makeMenu(bool autoDestroy = false) {
    const auto reply = call(second.get(), "new", {{"kind", "Menu"}, {"options", {{"auto_destroy", autoDestroy}, {"items", {
        {{"id", "open"}, {"text", "Open"}, {"handler", "__channel__:11"}},
        {{"kind", "Submenu"}, {"id", "more"}, {"text", "More"}, {"items", {{{"id", "deep"}, {"text", "Deep"}, {"handler", "__channel__:12"}}}}},
        {{"text", "No id"}, {"handler", "__channel__:13"}},
        {{"id", "open"}, {"text", "Open again"}, {"handler", "__channel__:14"}},
    }}}}});
    EXPECT_EQ(reply.status, 200) << reply.text;
    return reply.value()[0];
  }
  std::shared_ptr<WinMenu> menu(uint32_t rid) {
    return std::dynamic_pointer_cast<WinMenu>(second->resourceManager()->find(rid));
  }
  POINT at(const zrkmenu::ZrkMenu& m, int index) {
    auto& mm = const_cast<zrkmenu::ZrkMenu&>(m);
    const desk::RECT r = mm.itemRect(index);
    const int s = zrkmenu::shadowSize();
    return POINT{m.x + s + 10, m.y + s + (r.top + r.bottom) / 2};
  }
  bool shown(const std::shared_ptr<zrkmenu::ZrkMenu>& m) { return m && m->hwnd && desk::IsWindowVisible(m->hwnd); }
  // Pops the menu up in the window (non-modal unless align says so) and lets the task run.
  void popup(const std::shared_ptr<WinMenu>& m, json options, MenuPoint at = {10.7f, 20.2f}) {
    m->popup(window, second, at, options);
    dt::pump();
    settle();
  }
  // Lets the opening animation (100 ms on the virtual clock) end.
  void settle() {
    dt::advance(150);
    dt::pump();
  }
  static json choice(const std::string& id) { return json{{"message", id}, {"id", -1}}; }

  desk::HWND owner = nullptr;
  std::shared_ptr<TestWindow> window;
  std::shared_ptr<pel::test::FakeWebview> first, second;
  std::unique_ptr<Script> script;
};

TEST_F(MenuRouting, NonModalChoiceReachesTheEntryThenThePopupCallback) {
  auto m = menu(makeMenu());
  popup(m, {{"handler", 99}});
  auto shownMenu = m->popupMenu();
  ASSERT_TRUE(shown(shownMenu));
  // The point (10.7, 20.2) is (10, 20) in the window's client area: the same place as a popup
  // without window at that screen point.
  const POINT placed{shownMenu->x, shownMenu->y};
  dt::click(POINT{5, 5});
  dt::pump();
  desk::POINT origin{10, 20};
  desk::ClientToScreen(owner, &origin);
  m->popup(nullptr, second, MenuPoint{static_cast<float>(origin.x), static_cast<float>(origin.y)},
           {{"handler", 99}});
  dt::pump();
  settle();
  EXPECT_EQ(shownMenu->x, placed.x);
  EXPECT_EQ(shownMenu->y, placed.y);
  EXPECT_EQ(sent(*second), (Sent{{99, json("")}}));

  dt::click(at(*shownMenu, 3));  // the second "open": its own action, not the first's
  dt::pump();
  EXPECT_EQ(sent(*second), (Sent{{14, choice("open")}, {99, json("open")}}));
  EXPECT_TRUE(sent(*first).empty());

  // Dismissed: only the popup callback hears of it, with "".
  popup(m, {{"handler", 99}});
  dt::click(POINT{5, 5});
  dt::pump();
  EXPECT_EQ(sent(*second), (Sent{{99, json("")}}));

  // An entry without id runs its action; the popup's callback gets the empty id.
  popup(m, {{"handler", 99}});
  dt::click(at(*m->popupMenu(), 2));
  dt::pump();
  EXPECT_EQ(sent(*second), (Sent{{13, choice("")}, {99, json("")}}));
  EXPECT_NE(menu(m->rid()), nullptr);  // no auto-destroy
}

TEST_F(MenuRouting, ModalChoiceDismissalAndANestedRow) {
  auto m = menu(makeMenu());
  auto top = m->popupMenu();
  script->run({[] {}, [] { dt::advance(150); }, [&] { dt::click(at(*top, 0)); }});
  popup(m, {{"handler", 7}, {"align", 16}});
  EXPECT_EQ(sent(*second), (Sent{{11, choice("open")}, {7, json("open")}}));

  script->run({[] {}, [] { dt::advance(150); }, [] { dt::keyPress(desk::VK_ESCAPE); }});
  popup(m, {{"handler", 7}, {"align", 16}});
  EXPECT_EQ(sent(*second), (Sent{{7, json("")}}));

  // A row of the nested submenu, non-modal and without popup callback.
  popup(m, json::object());
  dt::mouseMove(at(*top, 1));
  dt::advance(300);
  dt::pump();
  settle();
  auto nested = top->items[1]->submenu;
  ASSERT_TRUE(shown(nested));
  dt::click(at(*nested, 0));
  dt::pump();
  EXPECT_EQ(sent(*second), (Sent{{12, choice("deep")}}));
}

TEST_F(MenuRouting, WithoutWindowAutoDestroyAndAMenuClosedBeforeItsTask) {
  // Through the plugin, without a window: the webview of the popup still routes the choice.
  const uint32_t rid = makeMenu(true);
  auto m = menu(rid);
  auto top = m->popupMenu();
  ASSERT_EQ(call(second.get(), "popup", {{"rid", rid}, {"kind", "Menu"}, {"handler", 5}, {"pos", {{"Physical", {{"x", 300}, {"y", 200}}}}}}).text, "true");
  dt::pump();
  settle();
  ASSERT_TRUE(shown(top));
  dt::click(at(*top, 0));
  dt::pump();
  EXPECT_EQ(sent(*second), (Sent{{11, choice("open")}, {5, json("open")}}));
  // Auto-destroyed after its popup: gone from the manager with its entries.
  EXPECT_EQ(menu(rid), nullptr);
  EXPECT_EQ(m->popupMenu(), nullptr);
  EXPECT_TRUE(m->itemsCopy().empty());

  // Closed by the page before its task ran: the popup callback gets "".
  const uint32_t other = makeMenu();
  ASSERT_EQ(call(second.get(), "popup", {{"rid", other}, {"kind", "Menu"}, {"handler", 6}}).text, "true");
  second->resourceManager()->close(other);
  dt::pump();
  EXPECT_EQ(sent(*second), (Sent{{6, json("")}}));
}

TEST_F(MenuRouting, WmCommandFromAWindowSearchesItsWebviews) {
  const uint32_t rid = makeMenu();
  const uint32_t open = menu(rid)->itemAt(0)->rid();
  auto post = [&](uint32_t command, std::shared_ptr<Vesk::TObject> where) {
    auto info = std::make_shared<Vesk::TDictionary>();
    info->set("command", std::make_shared<Vesk::TNumber>(command));
    if (where) info->set("window", where);
    Vesk::TNotificationCenter::defaultCenter()->postNotification("wm_command", nullptr, info);
  };
  testing::plugin();  // the observer is registered
  post(open, window);
  EXPECT_EQ(sent(*second), (Sent{{11, choice("open")}}));
  EXPECT_TRUE(sent(*first).empty());

  // Another window's webviews do not know the rid; no window at all stops the routing.
  auto elsewhere = std::make_shared<TestWindow>();
  auto lone = std::make_shared<pel::test::FakeWebview>("lone", elsewhere.get());
  elsewhere->addWebview(lone, true);
  ::testing::internal::CaptureStdout();
  post(open, elsewhere);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "could not find menuitem with id: " + std::to_string(open) + "\n");
  post(open, nullptr);
  EXPECT_TRUE(sent(*second).empty());

  // A handler that is no channel number is logged and dropped, never thrown.
  menu(rid)->itemAt(0)->handler = "__channel__:x";
  EXPECT_NO_THROW(post(open, window));
  menu(rid)->itemAt(0)->handler = "";
  post(open, window);
  EXPECT_TRUE(sent(*second).empty());
}

TEST_F(MenuRouting, AlignFlagsAndWindowMenus) {
  EXPECT_EQ(trackFlagsOf(12), 0x28);
  EXPECT_EQ(trackFlagsOf(1), 0);
  EXPECT_EQ(trackFlagsOf(2), 0);
  EXPECT_EQ(trackFlagsOf(16 | 4), 0x108);
  auto m = menu(makeMenu());
  EXPECT_EQ(m->setAsWindowMenu(window), nullptr);
  EXPECT_EQ(Menu::removeWindowMenu(window, second), nullptr);
  EXPECT_EQ(desk::GetMenu(owner), nullptr);
  initMenuSupport();
  initMenuSupport();
}

}  // namespace
}  // namespace zrk::plugin
