// The window procedure as one table over the three kinds of window (with a title bar, without
// one, without one and with round corners): message and parameters in, result, page events with
// their payloads, attribute scripts, notifications and layer state out. Each row gets a fresh
// 800x600 window at (100,100). Then an animation replaced from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/test.h"
#include "desk/gdi.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "vesk/tnotification.h"
#include "vesk/tnumber.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/window/window_fixture.h"

namespace {

using nlohmann::json;
using pel::test::ChangeThreads;
using pel::test::Page;
using pel::test::WindowProcedureTest;
using pel::test::dword;

enum Kind { kTitled = 0, kBare = 1, kRounded = 2 };
const char* const kKindNames[] = {"title bar", "no title bar", "rounded"};

const char kThemeKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

class WindowKindsTest : public WindowProcedureTest {
 protected:
  Page openKind(Kind kind, const std::string& label) {
    zrk::WindowOptions options;
    options.hiddenTitle = kind != kTitled;
    if (kind == kRounded) options.cornerRadius = 12;
    options.x = 100;
    options.y = 100;
    options.width = 800;
    options.height = 600;
    Page page;
    page.window = make(label, options);
    page.hwnd = page.window->nativeHandle();
    page.view = std::dynamic_pointer_cast<pel::test::FakeWebview>(page.window->findWebview("main_webview"));
    page.view->clearRecords();
    return page;
  }
};

// What the pages saw since the last look: the events delivered and the other scripts.
json seen(Page& page) {
  std::vector<std::string> scripts;
  const std::vector<json> events = page.events(&scripts);
  return {{"events", events}, {"scripts", scripts}};
}

// The "wm_command" notifications posted while `send` runs, as [command, from this window].
json commandsPosted(Page& page, const std::function<void()>& send) {
  json commands = json::array();
  auto handler = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [&](const std::shared_ptr<Vesk::TNotification>& n) {
        auto number = std::dynamic_pointer_cast<Vesk::TNumber>(n->userInfo()->objectForKey("command"));
        commands.push_back({number->unsignedShortValue(), n->userInfo()->objectForKey("window") == page.window});
      });
  Vesk::TNotificationCenter::defaultCenter()->addObserver("wm_command", handler, nullptr);
  send();
  Vesk::TNotificationCenter::defaultCenter()->removeObserver("wm_command", handler, nullptr);
  return commands;
}

desk::LRESULT hitTest(Page& page, int x, int y) {
  return desk::SendMessage(page.hwnd, desk::WM_NCHITTEST, 0, desk::MAKELPARAM(x, y));
}

desk::LRESULT alertAlternate(Page& page, const char* text) {
  return desk::SendMessage(page.hwnd, zrk::wmAlertAlternate(), 0, reinterpret_cast<desk::LPARAM>(text));
}

struct Row {
  const char* name;
  std::vector<const char*> listen;  // events the page listens for on its window
  std::function<json(Page&)> act;
  // What `act` gives for each kind; null: as for the window without title bar.
  const char* bare;
  const char* titled = nullptr;
  const char* rounded = nullptr;
};

TEST_F(WindowKindsTest, MessageTable) {
  const std::vector<Row> rows = {
      {"command id 0 posts nothing, id 12 posts it with the window; both reach the default",
       {},
       [](Page& p) {
         json results = json::array();
         json posted = commandsPosted(p, [&] {
           results.push_back(desk::SendMessage(p.hwnd, desk::WM_COMMAND, 0, 0));
           results.push_back(desk::SendMessage(p.hwnd, desk::WM_COMMAND, 12, 0));
           results.push_back(desk::SendMessage(p.hwnd, zrk::wmBroadcastCommand(), 7, 0));
         });
         return json{{"results", results}, {"posted", posted}};
       },
       R"({"results": [0, 0, 0], "posted": [[12, true], [7, true]]})"},
      {"alert alternate: a zrk:// text is the event, other text only logged, none the default event",
       {"zrk://custom-x", "zrk://alert-alternate-clicked"},
       [](Page& p) {
         json results = {alertAlternate(p, "zrk://custom-x"), alertAlternate(p, "open-file"),
                         alertAlternate(p, nullptr)};
         return json{{"results", results}, {"seen", seen(p)}};
       },
       R"({"results": [0, 0, 0], "seen": {"events": [{"event": "zrk://custom-x", "payload": null},
           {"event": "zrk://alert-alternate-clicked", "payload": null}], "scripts": []}})"},
      {"alert alternate without a listener sends nothing",
       {},
       [](Page& p) {
         alertAlternate(p, nullptr);
         alertAlternate(p, "zrk://custom-x");
         return seen(p);
       },
       R"({"events": [], "scripts": []})"},
      {"WM_CLOSE with a will-close listener: the event, the window stays",
       {"zrk://will-close"},
       [](Page& p) {
         const desk::LRESULT result = desk::SendMessage(p.hwnd, desk::WM_CLOSE, 0, 0);
         desk::test::advance(200);
         return json{{"result", result}, {"alive", desk::IsWindow(p.hwnd) != 0}, {"seen", seen(p)}};
       },
       R"({"result": 0, "alive": true, "seen": {"events": [{"event": "zrk://will-close", "payload": null}],
           "scripts": []}})"},
      {"WM_CLOSE without listener: destroyed 100 ms later, its requests cancelled first",
       {},
       [](Page& p) {
         const desk::LRESULT result = desk::SendMessage(p.hwnd, desk::WM_CLOSE, 0, 0);
         desk::test::advance(99);
         const bool at99 = desk::IsWindow(p.hwnd) != 0;
         const int cancelledAt99 = p.view->cancelAllCount();
         desk::test::advance(1);
         return json{{"result", result}, {"alive at 99", at99}, {"cancelled at 99", cancelledAt99},
                     {"alive at 100", desk::IsWindow(p.hwnd) != 0},
                     {"cancelled", p.view->cancelAllCount()}, {"closed", p.view->closeCount()}};
       },
       R"({"result": 0, "alive at 99": true, "cancelled at 99": 0, "alive at 100": false,
           "cancelled": 1, "closed": 1})"},
      {"WM_CLOSE twice within 100 ms: destroyed at the second",
       {},
       [](Page& p) {
         desk::SendMessage(p.hwnd, desk::WM_CLOSE, 0, 0);
         desk::test::advance(50);
         const bool before = desk::IsWindow(p.hwnd) != 0;
         desk::SendMessage(p.hwnd, desk::WM_CLOSE, 0, 0);
         return json{{"alive before", before}, {"alive after", desk::IsWindow(p.hwnd) != 0}};
       },
       R"({"alive before": true, "alive after": false})"},
      {"forced close: no question to the page",
       {"zrk://will-close"},
       [](Page& p) {
         p.window->destroy();
         return json{{"alive", desk::IsWindow(p.hwnd) != 0}, {"events", seen(p)["events"]}};
       },
       R"({"alive": false, "events": []})"},
      {"hit tests at the corners, an edge and inside",
       {},
       [](Page& p) {
         return json{hitTest(p, 100, 100), hitTest(p, 500, 104), hitTest(p, 899, 699),
                     hitTest(p, 500, 400), hitTest(p, 899, 100), hitTest(p, 100, 699),
                     hitTest(p, 107, 400), hitTest(p, 892, 400), hitTest(p, 500, 692),
                     hitTest(p, 500, 108)};
       },
       // Without title bar 8-pixel borders on every side, whatever the insets.
       "[13, 12, 17, 1, 14, 16, 10, 11, 15, 1]",
       // With one the system decides: below its thin frame lies the caption.
       "[13, 12, 17, 1, 14, 16, 10, 11, 15, 2]"},
      {"minimum size {0, 300}: the system's minimum width, 300 high; no maximum",
       {},
       [](Page& p) {
         p.window->setMinSize({0, 300});
         desk::MINMAXINFO info{};
         desk::SendMessage(p.hwnd, desk::WM_GETMINMAXINFO, 0, reinterpret_cast<desk::LPARAM>(&info));
         return json{info.ptMinTrackSize.x == desk::GetSystemMetrics(desk::SM_CXMINTRACK),
                     info.ptMinTrackSize.y,
                     info.ptMaxTrackSize.x == desk::GetSystemMetrics(desk::SM_CXMAXTRACK),
                     info.ptMaxTrackSize.y == desk::GetSystemMetrics(desk::SM_CYMAXTRACK)};
       },
       "[true, 300, true, true]"},
      {"maximize then restore: state scripts and the size announced",
       {"zrk://resize"},
       [](Page& p) {
         p.window->setMaximized(true);
         desk::test::pump();
         json maximized = seen(p);
         p.window->setMaximized(false);
         desk::test::pump();
         return json{{"maximized", maximized}, {"restored", seen(p)}};
       },
       // The maximized client reaches over the work area's edges by the frame, as the system's
       // does; the rounded window's widened client is announced without its edges.
       R"j({"maximized": {"events": [{"event": "zrk://resize", "payload": {"width": 1936.0, "height": 1056.0}}],
                         "scripts": ["_$updatePageAttribute('state', 'maximized')"]},
           "restored": {"events": [{"event": "zrk://resize", "payload": {"width": 800.0, "height": 600.0}}],
                        "scripts": ["_$updatePageAttribute('state', null)"]}})j",
       // With a title bar the client lies inside the system's frame.
       R"j({"maximized": {"events": [{"event": "zrk://resize", "payload": {"width": 1920.0, "height": 1017.0}}],
                         "scripts": ["_$updatePageAttribute('state', 'maximized')"]},
           "restored": {"events": [{"event": "zrk://resize", "payload": {"width": 784.0, "height": 561.0}}],
                        "scripts": ["_$updatePageAttribute('state', null)"]}})j"},
      {"a move to x -100 is announced with the negative x",
       {"zrk://move"},
       [](Page& p) {
         desk::test::pump();  // the creation's own announcements
         p.events();
         p.window->setPosition({-100, 50});
         desk::SendMessage(p.hwnd, desk::WM_EXITSIZEMOVE, 0, 0);
         return seen(p);
       },
       R"({"events": [{"event": "zrk://move", "payload": {"x": -100.0, "y": 50.0}}], "scripts": []})",
       // The position announced is the client area's, inside the system's frame.
       R"({"events": [{"event": "zrk://move", "payload": {"x": -92.0, "y": 81.0}}], "scripts": []})",
       // The rounded window's client starts outside the window by the edges.
       R"({"events": [{"event": "zrk://move", "payload": {"x": -102.0, "y": 48.0}}], "scripts": []})"},
      {"DPI 144: scale 1.5 with the monitor's size, the suggested rectangle applied",
       {"zrk://scale-changed"},
       [](Page& p) {
         desk::test::setMonitorDpi(desk::test::monitors()[0], 144);
         desk::test::pump();
         desk::RECT r{};
         desk::GetWindowRect(p.hwnd, &r);
         json out = {{"seen", seen(p)}, {"rect", {r.left, r.top, r.right, r.bottom}}};
         desk::test::setMonitorDpi(desk::test::monitors()[0], 96);
         desk::test::pump();
         return out;
       },
       R"({"seen": {"events": [{"event": "zrk://scale-changed", "payload": {"scaleFactor": 1.5,
           "size": {"type": "Physical", "width": 1920, "height": 1080}}}], "scripts": []},
           "rect": [100, 100, 1300, 1000]})"},
      {"theme: unchanged says nothing, another area says nothing, a change is announced once",
       {"zrk://theme-changed"},
       [](Page& p) {
         desk::test::settingChange();
         desk::test::pump();
         json unchanged = seen(p)["events"];
         desk::test::seedRegistryValue(kThemeKey, "AppsUseLightTheme", desk::REG_DWORD, dword(0));
         desk::test::settingChange(u"ImmersiveColorSetX");
         desk::test::settingChange(u"immersivecolorset");
         desk::test::pump();
         json otherArea = seen(p)["events"];
         desk::test::settingChange();
         desk::test::settingChange();
         desk::test::pump();
         json changed = seen(p)["events"];
         desk::test::seedRegistryValue(kThemeKey, "AppsUseLightTheme", desk::REG_DWORD, dword(1));
         return json{unchanged, otherArea, changed};
       },
       R"([[], [], [{"event": "zrk://theme-changed", "payload": "dark"}]])"},
      {"non-client mouse: hit codes, signed points and buttons",
       {"zrk://nc-mousedown", "zrk://nc-mouseup"},
       [](Page& p) {
         desk::SendMessage(p.hwnd, desk::WM_NCLBUTTONUP, desk::HTCAPTION, desk::MAKELPARAM(-5, 20));
         desk::SendMessage(p.hwnd, desk::WM_NCRBUTTONDOWN, desk::HTBORDER, desk::MAKELPARAM(30, -40));
         desk::SendMessage(p.hwnd, desk::WM_NCLBUTTONDOWN, desk::HTCLIENT, desk::MAKELPARAM(1, 2));
         desk::SendMessage(p.hwnd, desk::WM_NCRBUTTONUP, desk::HTTOP, desk::MAKELPARAM(3, 4));
         return seen(p)["events"];
       },
       R"([{"event": "zrk://nc-mouseup", "payload": {"hit": 1, "pos": {"x": -5, "y": 20}, "button": 1}},
           {"event": "zrk://nc-mousedown", "payload": {"hit": 3, "pos": {"x": 30, "y": -40}, "button": 2}},
           {"event": "zrk://nc-mousedown", "payload": {"hit": 2, "pos": {"x": 1, "y": 2}, "button": 1}},
           {"event": "zrk://nc-mouseup", "payload": {"hit": 99, "pos": {"x": 3, "y": 4}, "button": 2}}])"},
      {"activation: blur and focus with the inactive attribute",
       {"zrk://focus", "zrk://blur"},
       [](Page& p) {
         desk::SendMessage(p.hwnd, desk::WM_NCACTIVATE, 0, 0);
         desk::SendMessage(p.hwnd, desk::WM_NCACTIVATE, 1, 0);
         return seen(p);
       },
       R"({"events": [{"event": "zrk://blur", "payload": null}, {"event": "zrk://focus", "payload": null}],
           "scripts": ["_$updatePageAttribute('inactive','');", "_$updatePageAttribute('inactive',null);"]})"},
      {"the frame: inner size and position, region, frame margins",
       {},
       [](Page& p) {
         const zrk::FloatSize inner = p.window->innerSize();
         const zrk::FloatPoint at = p.window->innerPosition();
         const auto region = desk::test::windowRegion(p.hwnd);
         json shape = nullptr;
         if (region) {
           shape = {region->rect.left, region->rect.top, region->rect.right, region->rect.bottom,
                    region->ellipseWidth, region->ellipseHeight};
         }
         return json{{"inner", {inner.width, inner.height, at.x, at.y}},
                     {"region", shape},
                     {"margins", desk::test::windowAttributes(p.hwnd).frameMargins.has_value()}};
       },
       R"({"inner": [794.0, 595.0, 3.0, 2.0], "region": null, "margins": true})",
       R"({"inner": [784.0, 561.0, 0.0, 0.0], "region": null, "margins": false})",
       // The rounded client is widened by the edges on every side; the region cuts them off.
       R"({"inner": [798.0, 599.0, 3.0, 2.0], "region": [2, 2, 800, 600, 12, 12], "margins": true})"},
      {"background: white with a grey 5-pixel border, drawn over the whole window",
       {},
       [](Page& p) {
         desk::HDC dc = desk::GetDC(p.hwnd);
         const desk::LRESULT result =
             desk::SendMessage(p.hwnd, desk::WM_ERASEBKGND, reinterpret_cast<desk::WPARAM>(dc), 0);
         json ops = json::array();
         for (const auto& op : desk::test::dcOps(dc)) {
           ops.push_back({op.kind, op.rect.left, op.rect.top, op.rect.right, op.rect.bottom, op.color,
                          op.border, op.penWidth});
         }
         desk::ReleaseDC(p.hwnd, dc);
         return json{{"result", result}, {"ops", ops}};
       },
       R"({"result": 1, "ops": [["FillRect", 0, 0, 800, 600, 16777215, 0, 0],
                               ["Rectangle", 0, 0, 800, 600, 16777215, 11842740, 5]]})",
       nullptr,
       // The rounded window leaves its background to the system.
       R"({"result": 1, "ops": []})"},
  };

  for (const Row& row : rows) {
    for (Kind kind : {kTitled, kBare, kRounded}) {
      SCOPED_TRACE(std::string(row.name) + " / " + kKindNames[kind]);
      Page page = openKind(kind, "k" + std::to_string(kind));
      for (const char* event : row.listen) page.listen(event);
      const json got = row.act(page);
      const char* expected = row.bare;
      if (kind == kTitled && row.titled != nullptr) expected = row.titled;
      if (kind == kRounded && row.rounded != nullptr) expected = row.rounded;
      if (expected != nullptr) {
        EXPECT_EQ(got, json::parse(expected)) << got.dump();
      } else {
        ADD_FAILURE() << "no expectation: " << got.dump();
      }
      if (desk::IsWindow(page.hwnd)) page.window->destroy();
      desk::test::pump();
    }
  }
}

// A queue thread replaces a running animated move: the window ends at the new target, and the
// end message comes once, for the animation that finished.
TEST_F(WindowKindsTest, AnimatedMoveReplacedFromAnotherThread) {
  Page page = openKind(kBare, "animated");
  ChangeThreads changes(page.hwnd);
  page.window->move({500, 300}, {800, 600}, true);
  desk::test::advance(100);  // half of the 200 ms
  desk::RECT mid{};
  desk::GetWindowRect(page.hwnd, &mid);
  EXPECT_GT(mid.left, 100);
  EXPECT_LT(mid.left, 500);

  std::atomic<bool> done{false};
  std::thread other([&] {
    page.window->move({20, 40}, {640, 480}, true);
    done = true;
  });
  ASSERT_TRUE(desk::test::pumpUntil([&] { return done.load(); }));
  other.join();
  desk::test::advance(1000);
  desk::RECT end{};
  desk::GetWindowRect(page.hwnd, &end);
  EXPECT_EQ(end.left, 20);
  EXPECT_EQ(end.top, 40);
  EXPECT_EQ(end.right - end.left, 640);
  EXPECT_EQ(end.bottom - end.top, 480);
  EXPECT_EQ(desk::test::spyMessages(page.hwnd, {zrk::kWmAnimationFinished}).size(), 1u);
  // Every frame of both animations was set on the UI thread.
  EXPECT_EQ(changes.threads(), std::set<desk::DWORD>{desk::GetCurrentThreadId()});
}

}  // namespace
