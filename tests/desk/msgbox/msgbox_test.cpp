#include "desk/msgbox.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "desk/message.h"
#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {
namespace {

constexpr UINT kWork = WM_APP + 1;
std::atomic<int> workRan{0};

// Runs "work" the way the dispatch library does: from the get-message hook, in whatever loop the
// thread is in.
LRESULT workHook(int code, WPARAM wParam, LPARAM lParam) {
  const MSG* msg = reinterpret_cast<const MSG*>(lParam);
  if (code == HC_ACTION && wParam == PM_REMOVE && msg->message == kWork) ++workRan;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// A window's enabled state, as the windows part would keep it.
struct Owners {
  std::map<HWND, bool> disabled;
  std::vector<std::pair<HWND, bool>> calls;
  bool set(HWND hwnd, bool enabled) {
    calls.emplace_back(hwnd, enabled);
    const bool was = disabled[hwnd];
    disabled[hwnd] = !enabled;
    return was;
  }
};

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSG msg;
    PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue exists from now on
    test::setOwnerEnabler([this](HWND h, bool e) { return owners_.set(h, e); });
    test::clearMessageBoxes();
    workRan = 0;
  }
  void TearDown() override {
    test::setMessageBoxChooser(nullptr);
    test::setOwnerEnabler(nullptr);
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  Owners owners_;
  HWND owner_ = reinterpret_cast<HWND>(0x4400);
};

TEST_F(MessageBoxTest, HeadlessDefaultWritesTheTextAndAnswersTheDefaultButton) {
  struct Case {
    UINT type;
    const char16_t* caption;
    int expected;
  };
  const std::vector<Case> cases = {
      {MB_OK | MB_ICONERROR, u"Error", IDOK},
      {MB_YESNO | MB_DEFBUTTON2, u"Question", IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, u"Q", IDCANCEL},
      {MB_OKCANCEL | MB_DEFBUTTON3, u"Q", IDOK},  // no third button: the first
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON2, nullptr, IDTRYAGAIN},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(owner_, u"resource.dat not found", c.caption, c.type), c.expected);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string(c.caption ? "" : "Error") + ": resource.dat not found"),
              std::string::npos)
        << err;
  }
  EXPECT_EQ(MessageBoxW(nullptr, u"x", u"y", 0xF), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  const auto shown = test::messageBoxes();
  ASSERT_EQ(shown.size(), cases.size());
  EXPECT_EQ(shown[4].caption, u"Error");
  EXPECT_EQ(shown[4].buttons, (std::vector<int>{IDCANCEL, IDTRYAGAIN, IDCONTINUE}));
  EXPECT_EQ(shown[1].defaultButton, IDNO);
  // The owner was disabled while each box was up, and enabled after it.
  EXPECT_FALSE(owners_.disabled[owner_]);
  EXPECT_EQ(owners_.calls.size(), 2 * cases.size());
}

TEST_F(MessageBoxTest, QueuedWorkRunsWhileTheBoxWaitsForItsAnswer) {
  HHOOK hook = SetWindowsHookEx(WH_GETMESSAGE, workHook, nullptr, GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  const DWORD uiThread = GetCurrentThreadId();
  std::thread other;
  bool ownerDisabledWhileShown = false;
  test::setMessageBoxChooser([&](const MessageBoxRequest& request, std::function<void(int)> answer) {
    EXPECT_EQ(request.threadId, uiThread);
    ownerDisabledWhileShown = owners_.disabled[request.owner];
    // Another thread queues work to the box's thread and answers only once it has run.
    other = std::thread([uiThread, answer] {
      for (int i = 0; i < 3; ++i) PostThreadMessage(uiThread, kWork, 0, 0);
      while (workRan.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      answer(IDYES);
    });
  });
  EXPECT_EQ(MessageBoxW(owner_, u"Replace the file?", u"Pelmora", MB_YESNO | MB_ICONQUESTION), IDYES);
  other.join();
  EXPECT_EQ(workRan.load(), 3);
  EXPECT_TRUE(ownerDisabledWhileShown);
  EXPECT_FALSE(owners_.disabled[owner_]);
  UnhookWindowsHookEx(hook);
}

TEST_F(MessageBoxTest, QuitClosesTheBoxEnablesTheOwnerAndIsPassedOn) {
  std::function<void(int)> late;
  test::setMessageBoxChooser([&](const MessageBoxRequest&, std::function<void(int)> answer) {
    late = answer;
    PostQuitMessage(5);
  });
  EXPECT_EQ(MessageBoxW(owner_, u"t", u"c", MB_OKCANCEL), IDCANCEL);
  EXPECT_FALSE(owners_.disabled[owner_]);
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 5u);
  late(IDOK);  // an answer after the box closed does nothing

  // Without a Cancel button: OK-only gives IDOK, yes/no gives 0.
  for (auto [type, expected] : {std::pair<UINT, int>{MB_OK, IDOK}, {MB_YESNO, 0}}) {
    EXPECT_EQ(MessageBoxW(owner_, u"t", u"c", type), expected);
    ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
  }
}

TEST_F(MessageBoxTest, AnOwnerDisabledBeforeStaysDisabledAndOddAnswersGiveTheDefault) {
  owners_.disabled[owner_] = true;
  test::setMessageBoxChooser([](const MessageBoxRequest&, std::function<void(int)> answer) {
    answer(IDCONTINUE);  // not a button of this box
  });
  EXPECT_EQ(MessageBoxA(owner_, "t\xc3\xa9", nullptr, MB_RETRYCANCEL | MB_DEFBUTTON2), IDCANCEL);
  EXPECT_TRUE(owners_.disabled[owner_]);
  const auto shown = test::messageBoxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, u"t\u00e9");
  EXPECT_EQ(shown[0].caption, u"Error");
  // No owner: nothing to disable.
  owners_.calls.clear();
  EXPECT_EQ(MessageBoxW(nullptr, u"t", nullptr, MB_OK), IDOK);
  EXPECT_TRUE(owners_.calls.empty());
}

}  // namespace
}  // namespace desk
