#include <vector>

#include <gtest/gtest.h>

#include "desk/keys.h"
#include "desk/message.h"
#include "desk/nested_loop.h"
#include "desk/test.h"
#include "desk/window.h"

namespace desk {
namespace {

std::vector<WPARAM>* g_commands = nullptr;
LRESULT recordCommands(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_COMMAND && g_commands) g_commands->push_back(w);
  return DefWindowProc(h, m, w, l);
}

class Keys : public ::testing::Test {
 protected:
  void SetUp() override {
    test::reset();
    static bool registered = false;
    if (!registered) {
      WNDCLASSEX wc;
      wc.lpfnWndProc = &recordCommands;
      wc.lpszClassName = u"KeysTestWindow";
      RegisterClassEx(&wc);
      registered = true;
    }
    hwnd_ = CreateWindowEx(0, u"KeysTestWindow", u"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                           100, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(hwnd_);
    g_commands = &commands_;
  }
  void TearDown() override {
    g_commands = nullptr;
    test::reset();
  }
  MSG keyDown(int vk, UINT message = WM_KEYDOWN) {
    MSG m;
    m.hwnd = hwnd_;
    m.message = message;
    m.wParam = static_cast<WPARAM>(vk);
    return m;
  }
  HWND hwnd_ = nullptr;
  std::vector<WPARAM> commands_;
};

TEST_F(Keys, AcceleratorTablesMatchKeyAndModifiers) {
  const ACCEL entries[] = {
      {FVIRTKEY | FCONTROL, 'S', 1001},
      {FVIRTKEY | FCONTROL | FSHIFT, 'S', 1002},
      {FVIRTKEY, VK_F1, 1003},
      {0, 'q', 1004},  // a character
  };
  HACCEL table = CreateAcceleratorTable(entries, 4);
  ASSERT_TRUE(table);
  EXPECT_EQ(CopyAcceleratorTable(table, nullptr, 0), 4);
  EXPECT_FALSE(CreateAcceleratorTable(entries, 0));

  struct Case {
    std::vector<int> held;
    MSG msg;
    int expected;  // command, 0 for none
  };
  const Case cases[] = {
      {{VK_CONTROL}, keyDown('S'), 1001},
      {{VK_CONTROL, VK_SHIFT}, keyDown('S'), 1002},
      {{}, keyDown('S'), 0},
      {{VK_CONTROL, VK_MENU}, keyDown('S', WM_SYSKEYDOWN), 0},  // Alt is not in the entry
      {{}, keyDown(VK_F1), 1003},
      {{VK_SHIFT}, keyDown(VK_F1), 0},
      {{}, keyDown('q', WM_CHAR), 1004},
      {{}, keyDown('Q', WM_CHAR), 0},
      {{VK_CONTROL}, keyDown('S', WM_KEYUP), 0},
  };
  for (const Case& c : cases) {
    for (int vk : c.held) test::key(vk, true);
    commands_.clear();
    const int translated = TranslateAccelerator(hwnd_, table, &c.msg);
    for (int vk : c.held) test::key(vk, false);
    EXPECT_EQ(translated != 0, c.expected != 0) << c.msg.wParam;
    if (c.expected) {
      ASSERT_EQ(commands_.size(), 1u);
      EXPECT_EQ(LOWORD(commands_[0]), static_cast<UINT>(c.expected));
      EXPECT_EQ(HIWORD(commands_[0]), 1u);
    } else {
      EXPECT_TRUE(commands_.empty());
    }
  }
  EXPECT_TRUE(DestroyAcceleratorTable(table));
  EXPECT_FALSE(DestroyAcceleratorTable(table));
  MSG m = keyDown(VK_F1);
  EXPECT_EQ(TranslateAccelerator(hwnd_, table, &m), 0) << "a destroyed table";
}

TEST(KeyNames, ScanCodesAndNames) {
  struct Case {
    int vk;
    bool extended;
    const char* name;
  };
  const Case cases[] = {
      {'S', false, "S"},        {'7', false, "7"},          {VK_F1, false, "F1"},
      {0x7B, false, "F12"},     {VK_RETURN, false, "Enter"}, {VK_ESCAPE, false, "Esc"},
      {VK_SPACE, false, "Space"}, {VK_LEFT, false, "Num 4"}, {VK_LEFT, true, "Left"},
      {VK_DELETE, true, "Delete"}, {VK_HOME, false, "Num 7"}, {VK_TAB, false, "Tab"},
  };
  for (const Case& c : cases) {
    const UINT scan = MapVirtualKey(c.vk, MAPVK_VK_TO_VSC);
    ASSERT_NE(scan, 0u) << c.name;
    char buffer[64];
    const LONG_PTR lp = (static_cast<LONG_PTR>(scan) << 16) | (c.extended ? LONG_PTR{1} << 24 : 0);
    const int n = GetKeyNameTextA(lp, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, c.name);
    EXPECT_EQ(n, static_cast<int>(std::string(c.name).size()));
  }
  EXPECT_EQ(MapVirtualKey(0x1F, MAPVK_VSC_TO_VK), static_cast<UINT>('S'));
  EXPECT_EQ(MapVirtualKey(0xE8, MAPVK_VK_TO_VSC), 0u);
  char small[4];
  EXPECT_EQ(GetKeyNameTextA(LONG_PTR{0x39} << 16, small, sizeof small), 3);
  EXPECT_STREQ(small, "Spa") << "cut to fit";
  EXPECT_EQ(GetKeyNameTextA(LONG_PTR{0x7F} << 16, small, sizeof small), 0);
  EXPECT_STREQ(small, "");
}

TEST_F(Keys, NestedLoopFilterSeesMessagesFirst) {
  std::vector<UINT> filtered;
  NestedLoop loop;
  loop.setMessageFilter([&](const MSG& m) {
    filtered.push_back(m.message);
    if (m.message == WM_APP + 2) loop.end(7);
    return m.message == WM_APP + 1;  // handled: never dispatched
  });
  test::clearSpy();
  PostMessage(hwnd_, WM_APP + 1, 0, 0);
  PostMessage(hwnd_, WM_APP + 3, 0, 0);
  PostMessage(hwnd_, WM_APP + 2, 0, 0);
  EXPECT_EQ(loop.run(), 7);
  EXPECT_EQ(filtered, (std::vector<UINT>{WM_APP + 1, WM_APP + 3, WM_APP + 2}));
  auto seen = test::spyMessages(hwnd_, {WM_APP + 1, WM_APP + 2, WM_APP + 3});
  EXPECT_EQ(seen, (std::vector<UINT>{WM_APP + 3, WM_APP + 2}));
}

}  // namespace
}  // namespace desk
