// A page builds a native menu through the bridge's Menu class and pops it up modally; the test
// controller clicks a row of the popup on screen.
#include <functional>
#include <memory>

#include "desk/clock.h"
#include "desk/test.h"
#include "plugins_browser.h"
#include "support/ui_ticker.h"
#include "zrkmenu/zrkmenu.h"
#include "zrkwebview/browser/src/http-plugins/menu/win-menu.h"

namespace plugins_browser {
namespace {

using pel::test::UiTicker;

// The screen point in the middle of a row's text of a popup on screen.
desk::POINT rowPoint(zrkmenu::ZrkMenu& menu, int index) {
  const desk::RECT r = menu.itemRect(index);
  const int s = zrkmenu::shadowSize();
  return desk::POINT{menu.x + s + 10, menu.y + s + (r.top + r.bottom) / 2};
}

// Whether the popup is on screen at its full size (its opening animation over).
bool settled(const zrkmenu::ZrkMenu& menu) {
  return menu.hwnd && desk::IsWindowVisible(menu.hwnd) && !menu.hasAnimationFrame() &&
         desk::currentClock()->now() >= menu.animation.start + menu.animation.duration + 30u;
}

// Records every click of an entry (its own action, through its channel) and what the popup call
// resolves with.
const char* const kMenuScript = R"JS(
window.clicks = [];
window.makeMenu = async function () {
  const { Menu, Submenu } = __zrk__.menu;
  const more = await Submenu.new({ id: "more", text: "More", items: [
    { id: "deep", text: "Deep", action: m => clicks.push(["deep", m]) } ] });
  const menu = await Menu.new({ items: [
    { id: "open", text: "Open", action: m => clicks.push(["open", m]) },
    { id: "save", text: "Save", action: m => clicks.push(["save", m]) },
    { text: "No id", action: m => clicks.push(["noid", m]) },
    { id: "open", text: "Open again", action: m => clicks.push(["open again", m]) },
  ] });
  await menu.append(more);
  window.menu = menu;
  return menu.rid;
};
window.popUp = function () {
  return window.menu.popup(null, null, __zrk__.menu.PopupAlignment.ReturnCmd);
};
)JS";

TEST_F(PluginsBrowserTest, APagesMenuPoppedUpWithReturnCmdRunsTheClickedRowsAction) {
  auto webview = open("menu", page("", kMenuScript));
  ASSERT_TRUE(webview);
  const json rid = await(*webview, "makeMenu()");
  ASSERT_TRUE(rid.is_number_unsigned()) << rid;
  auto menu = std::dynamic_pointer_cast<zrk::plugin::WinMenu>(
      webview->resourceManager()->find(rid.get<uint32_t>()));
  ASSERT_TRUE(menu);
  EXPECT_EQ(await(*webview, "menu.items().then(list => list.map(i => [i.id, i.kind]))"),
            json::parse(R"([["open","MenuItem"],["save","MenuItem"],["","MenuItem"],["open","MenuItem"],
                            ["more","Submenu"]])"));

  // Which row to click (or none: a click beside the popup dismisses it), and what the page hears:
  // the popup call's value and the entry actions that ran, each with the entry's id.
  struct Case {
    const char* name;
    int row;  // -1: click outside
    json popupValue;
    json clicks;
  } cases[] = {
      {"a row", 1, "save", json::parse(R"([["save", "save"]])")},
      // The second of two entries with one id runs its own action, not the first's.
      {"a shared id", 3, "open", json::parse(R"([["open again", "open"]])")},
      {"no id", 2, "", json::parse(R"([["noid", ""]])")},
      {"dismissed", -1, "", json::array()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    webview->evaluateScriptSync("window.clicks = []; 0");
    bool clicked = false;
    UiTicker ticker([&] {
      std::shared_ptr<zrkmenu::ZrkMenu> popup = menu->popupMenu();
      if (!popup || !settled(*popup)) return false;
      const desk::POINT at = c.row >= 0 ? rowPoint(*popup, c.row)
                                        : desk::POINT{popup->x + popup->width + 40, popup->y + popup->height + 40};
      clicked = desk::test::click(at);
      return true;
    });
    start(*webview, "popup", "popUp()");
    const json outcome = result(*webview, "popup");
    EXPECT_TRUE(clicked);
    EXPECT_EQ(outcome, json({{"ok", true}, {"value", c.popupValue}}));
    // The action's channel message may follow the popup's answer: wait for it, then make sure no
    // other action runs.
    if (!c.clicks.empty()) {
      EXPECT_TRUE(pumpUntil([&] { return read(*webview, "clicks") == c.clicks; }, 10s)) << read(*webview, "clicks");
    }
    pumpFor(200ms);
    EXPECT_EQ(read(*webview, "clicks"), c.clicks);
    EXPECT_FALSE(menu->popupMenu() && menu->popupMenu()->hwnd && desk::IsWindowVisible(menu->popupMenu()->hwnd));
  }
}

}  // namespace
}  // namespace plugins_browser
