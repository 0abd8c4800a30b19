#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "desk/message.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"
#include "zrkmenu/common.h"

namespace zrkmenu {
namespace {

using desk::POINT;
using testing::MenuTest;
using testing::row;
using testing::separator;
namespace dt = desk::test;

constexpr UINT WM_APP_STEP = 0x8001;

// Runs steps one after another inside whatever loop pumps the thread (the modal menu's): each
// step posts the next when it has run, so input a step injects comes before the next step.
class Script {
 public:
  Script() {
    static bool registered = false;
    if (!registered) {
      desk::WNDCLASSEX wc;
      wc.lpfnWndProc = &Script::proc;
      wc.lpszClassName = u"MenuTestScript";
      desk::RegisterClassEx(&wc);
      registered = true;
    }
    hwnd_ = desk::CreateWindowEx(0, u"MenuTestScript", u"", 0, 0, 0, 0, 0, desk::HWND_MESSAGE,
                                 nullptr, nullptr, this);
  }
  ~Script() { desk::DestroyWindow(hwnd_); }
  void run(std::vector<std::function<void()>> steps) {
    steps_ = std::move(steps);
    next_ = 0;
    postNext();
  }
  bool finished() const { return next_ >= steps_.size(); }

 private:
  void postNext() {
    if (next_ < steps_.size()) desk::PostMessage(hwnd_, WM_APP_STEP, 0, 0);
  }
  static LRESULT proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == desk::WM_NCCREATE) {
      auto* cs = reinterpret_cast<desk::CREATESTRUCT*>(l);
      desk::SetWindowLongPtr(h, desk::GWLP_USERDATA,
                             reinterpret_cast<desk::LONG_PTR>(cs->lpCreateParams));
      return 1;
    }
    if (m == WM_APP_STEP) {
      auto* self = reinterpret_cast<Script*>(desk::GetWindowLongPtr(h, desk::GWLP_USERDATA));
      if (self && self->next_ < self->steps_.size()) {
        auto step = self->steps_[self->next_++];
        step();
        self->postNext();
      }
      return 0;
    }
    return desk::DefWindowProc(h, m, w, l);
  }
  HWND hwnd_ = nullptr;
  std::vector<std::function<void()>> steps_;
  size_t next_ = 0;
};

// The owner: an ordinary window that records the WM_COMMAND ids it gets.
std::vector<std::string>* g_commands = nullptr;
LRESULT ownerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == desk::WM_COMMAND && g_commands)
    g_commands->push_back(l ? reinterpret_cast<const char*>(l) : "<null>");
  return desk::DefWindowProc(h, m, w, l);
}

class MenuTracking : public MenuTest {
 protected:
  void SetUp() override {
    MenuTest::SetUp();
    useFixedText();
    g_commands = &commands_;
    static bool registered = false;
    if (!registered) {
      desk::WNDCLASSEX wc;
      wc.lpfnWndProc = &ownerProc;
      wc.lpszClassName = u"MenuTestOwner";
      desk::RegisterClassEx(&wc);
      registered = true;
    }
    owner_ = desk::CreateWindowEx(0, u"MenuTestOwner", u"owner",
                                  desk::WS_OVERLAPPEDWINDOW | desk::WS_VISIBLE, 0, 0, 400, 300,
                                  nullptr, nullptr, nullptr, nullptr);
    desk::SetForegroundWindow(owner_);
    script_ = std::make_unique<Script>();
  }
  void TearDown() override {
    script_.reset();
    g_commands = nullptr;
    MenuTest::TearDown();
  }
  // Rows r0..r(n-1), "abcd" each (60 by 40).
  std::shared_ptr<ZrkMenu> menu(int rows, bool submenu = false) {
    auto m = std::make_shared<ZrkMenu>(submenu);
    for (int i = 0; i < rows; ++i) m->appendItem(row("r" + std::to_string(i), "abcd"));
    return m;
  }
  // The screen point in the middle-left of a row of a shown menu.
  POINT at(const ZrkMenu& m, int index) {
    auto& mm = const_cast<ZrkMenu&>(m);
    const desk::RECT r = mm.itemRect(index);
    const int s = shadowSize();
    return POINT{m.x + s + 10, m.y + s + (r.top + r.bottom) / 2};
  }
  std::string modal(ZrkMenu& m, std::vector<std::function<void()>> steps, int ms = 0) {
    script_->run(std::move(steps));
    std::string out;
    return m.trackPopup(out, 500, 400, owner_, TPM_RETURNCMD, ms);
  }
  bool visible(const std::shared_ptr<ZrkMenu>& m) { return m->hwnd && desk::IsWindowVisible(m->hwnd); }

  HWND owner_ = nullptr;
  std::unique_ptr<Script> script_;
  std::vector<std::string> commands_;
};

TEST_F(MenuTracking, ModalClickChoosesTheRow) {
  auto m = menu(3);
  std::string result = modal(*m, {[&] { dt::click(at(*m, 1)); }});
  EXPECT_EQ(result, "r1");
  EXPECT_FALSE(visible(m));
  EXPECT_FALSE(hooksInstalled());
  EXPECT_EQ(m->lastChosenRow(), 1);
  EXPECT_EQ(m->lastChosenItem(), m->items[1]);
}

TEST_F(MenuTracking, ModalClickOutsideDismissesAndReachesTheOtherWindow) {
  auto m = menu(3);
  dt::clearSpy();
  std::string result = modal(*m, {[&] { dt::click(POINT{100, 100}); }});
  EXPECT_EQ(result, "");
  EXPECT_FALSE(visible(m));
  EXPECT_FALSE(hooksInstalled());
  dt::pump();
  auto seen = dt::spyMessages(owner_, {desk::WM_LBUTTONDOWN, desk::WM_LBUTTONUP});
  EXPECT_EQ(seen, (std::vector<UINT>{desk::WM_LBUTTONDOWN, desk::WM_LBUTTONUP}));
}

TEST_F(MenuTracking, NonModalReportsThroughTheHandlerOnce) {
  auto m = menu(3);
  std::vector<std::string> reports;
  m->setCommandHandler([&](const std::string& id) { reports.push_back(id); });
  std::string out = "stale";
  EXPECT_EQ(m->trackPopup(out, 500, 400, owner_, 0, 0), "");
  EXPECT_TRUE(visible(m));
  EXPECT_TRUE(hooksInstalled());
  dt::click(at(*m, 2));
  dt::pump();
  EXPECT_EQ(reports, (std::vector<std::string>{"r2"}));
  EXPECT_FALSE(m->commandHandler);
  EXPECT_FALSE(visible(m));
  EXPECT_FALSE(hooksInstalled());

  // Without a handler the owner gets WM_COMMAND with the id, also for a dismissal.
  m->trackPopup(out, 500, 400, owner_, 0, 0);
  dt::click(at(*m, 0));
  dt::pump();
  m->trackPopup(out, 500, 400, owner_, 0, 0);
  dt::click(POINT{100, 100});
  dt::pump();
  EXPECT_EQ(commands_, (std::vector<std::string>{"r0", ""}));
  EXPECT_FALSE(hooksInstalled());
}

TEST_F(MenuTracking, SeparatorsDisabledRowsAndSubmenuRowsOnClick) {
  auto m = menu(2);
  m->appendItem(separator("sep"));
  m->items[0]->disabled = true;
  m->items[1]->submenu = menu(1, true);
  std::string result = modal(*m, {[&] { dt::click(at(*m, 0)); },  // disabled: nothing
                                  [&] { EXPECT_TRUE(visible(m)); },
                                  [&] { dt::click(at(*m, 1)); },  // submenu row: nothing
                                  [&] { EXPECT_TRUE(visible(m)); },
                                  [&] { dt::click(at(*m, 2)); }});
  EXPECT_EQ(result, "sep") << "a separator's id is chosen";
}

TEST_F(MenuTracking, KeyboardTable) {
  // r0, separator, r2 disabled, r3, r4: the selectable rows are 0, 3 and 4.
  auto build = [&] {
    auto m = menu(5);
    m->items[1]->separator = true;
    m->items[2]->disabled = true;
    return m;
  };
  using K = std::vector<int>;
  struct Case {
    const char* name;
    K keys;
    std::string expected;
  };
  const int D = desk::VK_DOWN, U = desk::VK_UP, E = desk::VK_RETURN;
  const Case cases[] = {
      {"down from none", {D, E}, "r0"},
      {"up from none", {U, E}, "r4"},
      {"down skips", {D, D, E}, "r3"},
      {"down wraps", {D, D, D, D, E}, "r0"},
      {"up skips and wraps", {U, U, U, U, E}, "r4"},
      {"enter without a row", {E}, ""},
      {"escape", {D, desk::VK_ESCAPE}, ""},
      {"delete", {D, desk::VK_DELETE}, ""},
      {"windows key", {D, desk::VK_LWIN}, ""},
  };
  for (const Case& c : cases) {
    auto m = build();
    std::vector<std::function<void()>> steps;
    for (int k : c.keys) steps.push_back([k] { dt::keyPress(k); });
    EXPECT_EQ(modal(*m, steps), c.expected) << c.name;
    EXPECT_FALSE(hooksInstalled()) << c.name;
  }
}

TEST_F(MenuTracking, AltThenAnotherKeyDismisses) {
  auto m = menu(2);
  std::string result = modal(*m, {[] { dt::keyPress(desk::VK_DOWN); },
                                  [] { dt::key(desk::VK_LMENU, true); },
                                  [&] { EXPECT_TRUE(visible(m)) << "Alt alone does nothing"; },
                                  [] { dt::keyPress(desk::VK_RETURN); }});
  dt::key(desk::VK_LMENU, false);
  EXPECT_EQ(result, "");
}

TEST_F(MenuTracking, SubmenusByKeyboardAfterTheDelay) {
  auto m = menu(2);
  auto sub = menu(2, true);
  m->items[1]->submenu = sub;
  std::string result = modal(
      *m, {[] { dt::keyPress(desk::VK_DOWN); }, [] { dt::keyPress(desk::VK_DOWN); },
           [] { dt::keyPress(desk::VK_RIGHT); }, [] { dt::advance(299); },
           [&] { EXPECT_FALSE(visible(sub)) << "not before 300 ms"; }, [] { dt::advance(1); },
           [&] { EXPECT_TRUE(visible(sub)); },
           [] { dt::keyPress(desk::VK_LEFT); },  // goes to the submenu: it closes
           [&] { EXPECT_FALSE(visible(sub)); }, [] { dt::keyPress(desk::VK_RETURN); },
           [] { dt::advance(300); }, [&] { EXPECT_TRUE(visible(sub)); },
           [] { dt::keyPress(desk::VK_DOWN); }, [] { dt::keyPress(desk::VK_DOWN); },
           [] { dt::keyPress(desk::VK_RETURN); }});
  EXPECT_EQ(result, "r1") << "the submenu's second row";
  EXPECT_FALSE(visible(sub));
  EXPECT_EQ(m->lastChosenMenu(), sub.get());
  EXPECT_EQ(m->lastChosenRow(), 1);
}

TEST_F(MenuTracking, ShortHoverOpensNothingAndTwoLevelsChoose) {
  auto m = menu(3);
  auto sub = menu(2, true);
  auto subsub = menu(3, true);
  m->items[1]->submenu = sub;
  sub->items[0]->submenu = subsub;
  subsub->items[2]->id = "deep";
  std::string result = modal(
      *m, {[&] { dt::mouseMove(at(*m, 1)); }, [] { dt::advance(200); },
           [&] { dt::mouseMove(at(*m, 2)); }, [] { dt::advance(200); },
           [&] { EXPECT_FALSE(visible(sub)) << "a short hover"; },
           [&] { dt::mouseMove(at(*m, 1)); }, [] { dt::advance(300); },
           [&] { ASSERT_TRUE(visible(sub)); dt::mouseMove(at(*sub, 0)); },
           [] { dt::advance(300); },
           [&] { ASSERT_TRUE(visible(subsub)); dt::click(at(*subsub, 2)); }});
  EXPECT_EQ(result, "deep");
  EXPECT_FALSE(visible(sub));
  EXPECT_FALSE(visible(subsub));
}

TEST_F(MenuTracking, ScrollingByWheelArrowsAndKeys) {
  auto m = menu(40);
  m->items[1]->separator = true;
  desk::InputEvent wheel;
  wheel.kind = desk::InputEvent::Kind::Wheel;
  std::vector<int> seen;
  std::string result = modal(
      *m, {[&] {
             ASSERT_TRUE(m->scrolling);
             wheel.pt = at(*m, 5);
             wheel.wheelDelta = -120;
             desk::injectInput(wheel);
           },
           [&] { seen.push_back(m->firstVisible); },  // 0 -> 2: the separator is skipped
           [&] {
             wheel.wheelDelta = 120;
             desk::injectInput(wheel);
           },
           [&] { seen.push_back(m->firstVisible); },  // back to 0
           [&] {
             const desk::RECT down = m->downArrowRect();
             dt::click(POINT{m->x + 14 + 10, m->y + 14 + down.top + 5});
           },
           [&] { seen.push_back(m->firstVisible); },
           [&] { EXPECT_TRUE(visible(m)) << "a click on an arrow chooses nothing"; },
           [] { dt::keyPress(desk::VK_UP); },  // from nothing: the last row, scrolled to the end
           [&] {
             seen.push_back(m->hoverIndex);
             seen.push_back(m->firstVisible);
           },
           [] { dt::keyPress(desk::VK_DOWN); },  // wraps to the first row
           [&] { seen.push_back(m->firstVisible); },
           [&] {
             // Down through the rows until the view moves.
             for (int i = 0; i < 24; ++i) dt::keyPress(desk::VK_DOWN);
           },
           [&] {
             seen.push_back(m->hoverIndex);
             seen.push_back(m->firstVisible);
           },
           [] { dt::keyPress(desk::VK_RETURN); }});
  // 1016 visible: the rows that fit under the up arrow at the end are 16..39 (24 * 40 + 20 + 24).
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[0], 2);
  EXPECT_EQ(seen[1], 0);
  EXPECT_EQ(seen[2], 2);
  EXPECT_EQ(seen[3], 39);
  EXPECT_GT(seen[4], 10);
  EXPECT_EQ(seen[5], 0);
  EXPECT_EQ(seen[6], 25);
  EXPECT_GE(seen[7], 1) << "moving past the last visible row scrolls";
  EXPECT_EQ(result, "r25");
}

TEST_F(MenuTracking, GeometryOfAScrolledMenu) {
  auto m = menu(10);
  m->items[3]->separator = true;  // 20 high
  m->measure();
  m->scrolling = true;
  m->height = 200;
  m->firstVisible = 2;
  EXPECT_EQ(m->upArrowRect().bottom, 24);
  EXPECT_EQ(m->itemRect(2).top, 24);
  EXPECT_EQ(m->itemRect(3).bottom, 24 + 40 + 20);
  EXPECT_EQ(m->itemRect(1).top, 24 - 40) << "a row above the first visible one";
  EXPECT_EQ(m->itemRect(10).bottom, 0);
  EXPECT_EQ(m->hitTest(10, 30, false), 2);
  EXPECT_EQ(m->hitTest(10, 64, false), 2) << "the line between rows belongs to the upper";
  EXPECT_EQ(m->hitTest(0, 30, false), -1);
  m->items[4]->disabled = true;
  EXPECT_EQ(m->hitTest(10, 100, false), -1);
  EXPECT_EQ(m->hitTest(10, 100, true), 4);
  // Rows 2..5 take 24 + 40 + 20 + 40 + 40 = 164 and row 6 passes 200 - 24.
  EXPECT_EQ(m->downArrowRect().top, 176);
  EXPECT_TRUE(m->scrollUp());
  EXPECT_EQ(m->firstVisible, 1);
  EXPECT_TRUE(m->scrollDown());
  EXPECT_EQ(m->firstVisible, 2);
  EXPECT_TRUE(m->scrollDown());
  EXPECT_EQ(m->firstVisible, 4) << "the separator row is skipped";
}

TEST_F(MenuTracking, AcceleratorsModalReachSubmenuRows) {
  auto m = menu(2);
  auto sub = menu(2, true);
  m->items[1]->submenu = sub;
  sub->items[1]->accelerator =
      std::make_shared<desk::ACCEL>(desk::ACCEL{desk::FVIRTKEY | desk::FCONTROL, 'S', 0});
  std::string result = modal(*m, {[] { dt::key(desk::VK_CONTROL, true); },
                                  [] { dt::keyPress('S'); }});
  dt::key(desk::VK_CONTROL, false);
  EXPECT_EQ(result, "r1");
  EXPECT_EQ(m->lastChosenMenu(), sub.get());
  EXPECT_EQ(m->acceleratorCommands.at(1001), "r1");
}

TEST_F(MenuTracking, AcceleratorsNonModalNeedAlt) {
  auto m = menu(2);
  m->items[0]->accelerator =
      std::make_shared<desk::ACCEL>(desk::ACCEL{desk::FVIRTKEY | desk::FCONTROL, 'S', 0});
  m->items[1]->accelerator =
      std::make_shared<desk::ACCEL>(desk::ACCEL{desk::FVIRTKEY | desk::FALT, 'T', 0});
  std::vector<std::string> reports;
  m->setCommandHandler([&](const std::string& id) { reports.push_back(id); });
  std::string out;
  m->trackPopup(out, 500, 400, owner_, 0, 0);
  dt::key(desk::VK_CONTROL, true);
  dt::keyPress('S');
  dt::key(desk::VK_CONTROL, false);
  dt::pump();
  EXPECT_TRUE(reports.empty()) << "no Alt: not translated";
  dt::key(desk::VK_MENU, true);
  dt::keyPress('T');
  dt::pump();  // while Alt is still down
  dt::key(desk::VK_MENU, false);
  EXPECT_EQ(reports, (std::vector<std::string>{"r1"}));
  EXPECT_FALSE(hooksInstalled());
}

// ---- one tracking at a time, nothing left hanging ----

TEST_F(MenuTracking, ANewTrackingDismissesTheActiveOne) {
  auto first = menu(2), second = menu(2);
  std::vector<std::string> reports;
  first->setCommandHandler([&](const std::string& id) { reports.push_back("first:" + id); });
  std::string out;
  first->trackPopup(out, 500, 400, owner_, 0, 0);
  second->trackPopup(out, 700, 400, owner_, 0, 0);
  EXPECT_EQ(reports, (std::vector<std::string>{"first:"}));
  EXPECT_FALSE(visible(first));
  EXPECT_TRUE(visible(second));
  // The earlier menu's window no longer reacts as the tracked one.
  dt::click(at(*second, 0));
  dt::pump();
  EXPECT_EQ(commands_, (std::vector<std::string>{"r0"}));
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(MenuTracking, ANewTrackingFromInsideAModalOneEndsIt) {
  auto first = menu(2), second = menu(2);
  std::vector<std::string> reports;
  second->setCommandHandler([&](const std::string& id) { reports.push_back(id); });
  std::string result = modal(*first, {[&] {
    std::string out;
    second->trackPopup(out, 700, 400, owner_, 0, 0);
  }});
  EXPECT_EQ(result, "") << "the modal loop returned a dismissal";
  EXPECT_FALSE(visible(first));
  EXPECT_TRUE(visible(second));
  EXPECT_TRUE(hooksInstalled());
  dt::click(at(*second, 1));
  dt::pump();
  EXPECT_EQ(reports, (std::vector<std::string>{"r1"}));
  EXPECT_FALSE(hooksInstalled());
}

TEST_F(MenuTracking, TrackingAMenuWhoseModalLoopRunsIsADismissal) {
  auto m = menu(2);
  std::string inner = "unset";
  std::string result = modal(*m, {[&] {
                                    std::string out;
                                    inner = m->trackPopup(out, 500, 400, owner_, TPM_RETURNCMD, 0);
                                  },
                                  [&] { EXPECT_TRUE(visible(m)); },
                                  [&] { dt::click(at(*m, 1)); }});
  EXPECT_EQ(inner, "");
  EXPECT_EQ(result, "r1") << "the running tracking goes on";
}

TEST_F(MenuTracking, NonModalReleaseOutsideTheRowsDismisses) {
  auto m = menu(2);
  std::vector<std::string> reports;
  m->setCommandHandler([&](const std::string& id) { reports.push_back(id); });
  std::string out;
  m->trackPopup(out, 500, 400, owner_, 0, 0);
  // Inside the window, in the shadow margin: no row.
  dt::click(POINT{m->x + 3, m->y + 3});
  dt::pump();
  EXPECT_EQ(reports, (std::vector<std::string>{""}));
  EXPECT_FALSE(visible(m));
  EXPECT_FALSE(hooksInstalled());
}

TEST_F(MenuTracking, QuitEndsAModalTrackingAndIsPostedAgain) {
  auto m = menu(2);
  std::string result = modal(*m, {[] { desk::PostQuitMessage(3); }});
  EXPECT_EQ(result, "");
  EXPECT_FALSE(hooksInstalled());
  EXPECT_FALSE(visible(m));
  desk::MSG msg;
  ASSERT_TRUE(desk::PeekMessage(&msg, nullptr, desk::WM_QUIT, desk::WM_QUIT, desk::PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(MenuTracking, AChoiceDuringTheAnimationReleasesItsTimer) {
  auto m = menu(2);
  std::string result = modal(*m, {[] { dt::keyPress(desk::VK_DOWN); },
                                  [] { dt::keyPress(desk::VK_RETURN); }},
                             100);
  EXPECT_EQ(result, "r0");
  auto snap = dt::snapshot(m->hwnd);
  ASSERT_TRUE(snap);
  EXPECT_TRUE(snap->timers.empty());
  EXPECT_FALSE(m->hasAnimationFrame());
  EXPECT_FALSE(hooksInstalled());
}

TEST_F(MenuTracking, ASubmenuThatCannotBeShownStaysClosed) {
  auto m = menu(2);
  auto broken = menu(1, true);
  broken->setIconSize(40000);
  broken->items[0]->checkMark = 1;
  m->items[0]->submenu = broken;
  std::string result = modal(*m, {[] { dt::keyPress(desk::VK_DOWN); },
                                  [] { dt::keyPress(desk::VK_RIGHT); }, [] { dt::advance(300); },
                                  [&] {
                                    EXPECT_EQ(m->openSubmenu, nullptr);
                                    EXPECT_FALSE(visible(broken));
                                  },
                                  [] { dt::keyPress(desk::VK_DOWN); },
                                  [] { dt::keyPress(desk::VK_RETURN); }});
  EXPECT_EQ(result, "r1");
}

TEST_F(MenuTracking, RowsAreReportedEvenWhenIdsAreShared) {
  auto m = menu(3);
  for (auto& item : m->items) item->id = "same";
  EXPECT_EQ(modal(*m, {[&] { dt::click(at(*m, 2)); }}), "same");
  EXPECT_EQ(m->lastChosenRow(), 2);
  EXPECT_EQ(modal(*m, {[] { dt::keyPress(desk::VK_ESCAPE); }}), "");
  EXPECT_EQ(m->lastChosenRow(), -1);
}

TEST_F(MenuTracking, MainQueueWorkRunsWhileAModalMenuIsOpen) {
  dispatch_init();
  auto m = menu(2);
  std::atomic<bool> ran{false};
  std::thread worker;
  std::string result = modal(*m, {[&] {
                                    worker = std::thread([&] {
                                      dispatch_sync(dispatch_get_main_queue(),
                                                    [&] { ran = true; });
                                    });
                                  },
                                  [&] { EXPECT_TRUE(dt::pumpUntil([&] { return ran.load(); })); },
                                  [] { dt::keyPress(desk::VK_ESCAPE); }});
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(result, "");
}

}  // namespace
}  // namespace zrkmenu
