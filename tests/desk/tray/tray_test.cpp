#include <gtest/gtest.h>

#include "desk/com.h"
#include "desk/errors.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/tray.h"
#include "desk/window.h"

namespace {

namespace dt = desk::test;
using desk::NOTIFYICONDATAW;

desk::LRESULT plainProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
  return desk::DefWindowProc(h, m, w, l);
}

class NotificationArea : public ::testing::Test {
 protected:
  void SetUp() override {
    dt::reset();
    static bool registered = false;
    if (!registered) {
      desk::WNDCLASSEX wc;
      wc.lpfnWndProc = &plainProc;
      wc.lpszClassName = u"TrayModelOwner";
      desk::RegisterClassEx(&wc);
      registered = true;
    }
    hwnd = desk::CreateWindowEx(0, u"TrayModelOwner", u"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
  }
  void TearDown() override { dt::reset(); }
  NOTIFYICONDATAW data(desk::UINT id, desk::UINT flags) {
    NOTIFYICONDATAW d;
    d.cbSize = sizeof(NOTIFYICONDATAW);
    d.hWnd = hwnd;
    d.uID = id;
    d.uFlags = flags;
    d.uCallbackMessage = 0x8123;
    return d;
  }
  desk::RECT rectOf(desk::UINT id, desk::HRESULT* result = nullptr) {
    desk::NOTIFYICONIDENTIFIER ident;
    ident.cbSize = sizeof(ident);
    ident.hWnd = hwnd;
    ident.uID = id;
    desk::RECT r;
    const desk::HRESULT hr = desk::Shell_NotifyIconGetRect(&ident, &r);
    if (result) *result = hr;
    return r;
  }
  desk::HWND hwnd = nullptr;
};

TEST_F(NotificationArea, RecordsFollowAddModifySetVersionAndDelete) {
  NOTIFYICONDATAW d = data(7, desk::NIF_MESSAGE | desk::NIF_TIP | desk::NIF_SHOWTIP);
  std::u16string tip = u"hello";
  std::copy(tip.begin(), tip.end(), d.szTip);
  ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_ADD, &d));
  EXPECT_FALSE(desk::Shell_NotifyIconW(desk::NIM_ADD, &d));
  EXPECT_EQ(desk::GetLastError(), desk::ERROR_ALREADY_EXISTS);
  d.uVersion = desk::NOTIFYICON_VERSION_4;
  ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_SETVERSION, &d));
  auto rec = dt::notifyIcon(hwnd, 7);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->tip, u"hello");
  EXPECT_TRUE(rec->showTip);
  EXPECT_EQ(rec->callbackMessage, 0x8123u);
  EXPECT_EQ(rec->version, 4u);

  // A modify without NIF_TIP keeps the text; without NIF_SHOWTIP the standard tip is off. The
  // state changes only under its mask.
  d.uFlags = desk::NIF_STATE;
  d.dwState = desk::NIS_HIDDEN | desk::NIS_SHAREDICON;
  d.dwStateMask = desk::NIS_HIDDEN;
  d.szTip[0] = u'X';
  ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_MODIFY, &d));
  rec = dt::notifyIcon(hwnd, 7);
  EXPECT_EQ(rec->tip, u"hello");
  EXPECT_FALSE(rec->showTip);
  EXPECT_EQ(rec->state, desk::NIS_HIDDEN);

  ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_DELETE, &d));
  EXPECT_FALSE(dt::notifyIcon(hwnd, 7));
  for (desk::DWORD m : {desk::NIM_MODIFY, desk::NIM_DELETE, desk::NIM_SETVERSION}) {
    EXPECT_FALSE(desk::Shell_NotifyIconW(m, &d)) << m;
    EXPECT_EQ(desk::GetLastError(), desk::ERROR_NOT_FOUND);
  }
  d.cbSize = 4;
  EXPECT_FALSE(desk::Shell_NotifyIconW(desk::NIM_ADD, &d));
  EXPECT_EQ(desk::GetLastError(), desk::ERROR_INVALID_PARAMETER);
}

TEST_F(NotificationArea, ShownIconsAreLaidOutRightToLeftAndCallsCanBeMadeToFail) {
  for (desk::UINT id : {1u, 2u, 3u}) {
    NOTIFYICONDATAW d = data(id, desk::NIF_MESSAGE);
    ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_ADD, &d));
  }
  EXPECT_EQ(rectOf(1), (desk::RECT{1896, 1040, 1920, 1080}));
  EXPECT_EQ(rectOf(3), (desk::RECT{1848, 1040, 1872, 1080}));
  // A hidden icon has no rectangle and gives its slot up.
  NOTIFYICONDATAW hide = data(2, desk::NIF_STATE);
  hide.dwState = hide.dwStateMask = desk::NIS_HIDDEN;
  ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_MODIFY, &hide));
  desk::HRESULT hr = 0;
  rectOf(2, &hr);
  EXPECT_EQ(hr, desk::E_FAIL);
  EXPECT_EQ(rectOf(3), (desk::RECT{1872, 1040, 1896, 1080}));

  dt::failNotifyIconGetRect(true);
  rectOf(1, &hr);
  EXPECT_EQ(hr, desk::E_FAIL);
  dt::failNotifyIconGetRect(false);

  dt::failNotifyIcon(desk::NIM_MODIFY, desk::ERROR_TIMEOUT);
  NOTIFYICONDATAW d = data(1, desk::NIF_MESSAGE);
  EXPECT_FALSE(desk::Shell_NotifyIconW(desk::NIM_MODIFY, &d));
  EXPECT_EQ(desk::GetLastError(), desk::ERROR_TIMEOUT);
  EXPECT_TRUE(desk::Shell_NotifyIconW(desk::NIM_DELETE, &d));
  dt::failNotifyIcon(desk::NIM_MODIFY, desk::ERROR_SUCCESS);
  d.uID = 3;
  EXPECT_TRUE(desk::Shell_NotifyIconW(desk::NIM_MODIFY, &d));
}

TEST_F(NotificationArea, CallbacksCarryTheVersionsLayout) {
  NOTIFYICONDATAW d = data(9, desk::NIF_MESSAGE);
  ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_ADD, &d));
  dt::clearSpy();
  ASSERT_TRUE(dt::trayCallback(hwnd, 9, desk::WM_LBUTTONUP, desk::POINT{1900, 1050}));
  d.uVersion = desk::NOTIFYICON_VERSION_4;
  ASSERT_TRUE(desk::Shell_NotifyIconW(desk::NIM_SETVERSION, &d));
  ASSERT_TRUE(dt::trayCallback(hwnd, 9, desk::WM_CONTEXTMENU, desk::POINT{1901, 1051}));
  EXPECT_FALSE(dt::trayCallback(hwnd, 10, desk::WM_LBUTTONUP, desk::POINT{}));
  dt::pump();
  auto spy = dt::spy(hwnd);
  std::vector<dt::SpyRecord> calls;
  for (const auto& r : spy)
    if (r.message == 0x8123) calls.push_back(r);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].wParam, 9u);
  EXPECT_EQ(calls[0].lParam, static_cast<desk::LPARAM>(desk::WM_LBUTTONUP));
  EXPECT_EQ(calls[1].wParam, desk::MAKEWPARAM(1901, 1051));
  EXPECT_EQ(calls[1].lParam, desk::MAKELPARAM(desk::WM_CONTEXTMENU, 9));
  desk::POINT cursor;
  desk::GetCursorPos(&cursor);
  EXPECT_EQ(cursor, (desk::POINT{1901, 1051}));
}

}  // namespace
