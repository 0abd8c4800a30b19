#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "desk/message.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"

using namespace desk;

namespace {

std::vector<RECT> g_suggested;
std::vector<UINT> g_dpis;

// Applies the suggested rectangle of WM_DPICHANGED, as a per-monitor aware window does.
LRESULT CALLBACK_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DPICHANGED) {
    const RECT* r = reinterpret_cast<const RECT*>(lParam);
    g_suggested.push_back(*r);
    g_dpis.push_back(LOWORD(wParam));
    SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    return 0;
  }
  return DefWindowProc(hwnd, message, wParam, lParam);
}

class Monitors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSEX wc;
    wc.lpfnWndProc = CALLBACK_proc;
    wc.lpszClassName = u"MonitorTest";
    RegisterClassEx(&wc);
  }
  void SetUp() override {
    test::reset();
    g_suggested.clear();
    g_dpis.clear();
    // A primary 1920x1080 at 96 DPI and a 1280x1024 at 144 DPI to its left, a little higher.
    handles = test::setMonitors({
        {u"\\\\.\\DISPLAY1", RECT{0, 0, 1920, 1080}, RECT{0, 0, 1920, 1040}, 96, true},
        {u"\\\\.\\DISPLAY2", RECT{-1280, -200, 0, 824}, RECT{-1280, -200, 0, 784}, 144, false},
    });
  }
  void TearDown() override { test::reset(); }
  HWND make(RECT r) {
    return CreateWindowEx(0, u"MonitorTest", u"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, r.left,
                          r.top, r.right - r.left, r.bottom - r.top, nullptr, nullptr, nullptr,
                          nullptr);
  }
  std::vector<HMONITOR> handles;
};

TEST_F(Monitors, SelectionByPointRectAndWindow) {
  HMONITOR primary = handles[0];
  HMONITOR left = handles[1];
  struct Case {
    RECT r;
    DWORD flags;
    HMONITOR expected;
  };
  const Case cases[] = {
      {{100, 100, 200, 200}, MONITOR_DEFAULTTONULL, primary},
      {{-500, -150, -400, -100}, MONITOR_DEFAULTTONULL, left},       // negative coordinates
      {{-300, 100, 100, 200}, MONITOR_DEFAULTTONULL, left},          // straddles: more on left
      {{-100, 100, 300, 200}, MONITOR_DEFAULTTONULL, primary},       // straddles: more on primary
      {{-900, 900, -800, 950}, MONITOR_DEFAULTTONULL, nullptr},      // below the left one
      {{-900, 900, -800, 950}, MONITOR_DEFAULTTONEAREST, left},
      {{-900, 900, -800, 950}, MONITOR_DEFAULTTOPRIMARY, primary},
      {{5000, 5000, 5100, 5100}, MONITOR_DEFAULTTONEAREST, primary},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, MonitorFromRect(&c.r, c.flags)) << c.r.left << "," << c.r.top;
    HWND h = make(c.r);
    EXPECT_EQ(c.expected, MonitorFromWindow(h, c.flags)) << c.r.left << "," << c.r.top;
    DestroyWindow(h);
  }
  EXPECT_EQ(left, MonitorFromPoint(POINT{-1, -200}, MONITOR_DEFAULTTONULL));
  EXPECT_EQ(primary, MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTONULL));
  EXPECT_EQ(nullptr, MonitorFromPoint(POINT{-1, 900}, MONITOR_DEFAULTTONULL));
  EXPECT_EQ(left, MonitorFromPoint(POINT{-600, 900}, MONITOR_DEFAULTTONEAREST));
  EXPECT_EQ(primary, MonitorFromPoint(POINT{-1, 900}, MONITOR_DEFAULTTONEAREST));
  EXPECT_EQ(primary, MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY));

  std::vector<HMONITOR> listed;
  EnumDisplayMonitors(nullptr, nullptr, [](HMONITOR m, HDC, RECT*, LPARAM l) -> BOOL {
    reinterpret_cast<std::vector<HMONITOR>*>(l)->push_back(m);
    return 1;
  }, reinterpret_cast<LPARAM>(&listed));
  EXPECT_EQ(handles, listed);
  MONITORINFOEX info;
  ASSERT_TRUE(GetMonitorInfo(left, &info));
  EXPECT_EQ((RECT{-1280, -200, 0, 824}), info.rcMonitor);
  EXPECT_EQ((RECT{-1280, -200, 0, 784}), info.rcWork);
  EXPECT_EQ(0u, info.dwFlags);
  EXPECT_EQ(std::u16string(u"\\\\.\\DISPLAY2"), info.szDevice);
  MONITORINFO bad;
  bad.cbSize = 3;
  EXPECT_FALSE(GetMonitorInfo(left, &bad));
  EXPECT_FALSE(GetMonitorInfo(reinterpret_cast<HMONITOR>(0x42), &info));
  EXPECT_EQ(1920, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(2, GetSystemMetrics(SM_CMONITORS));
  EXPECT_EQ(-1280, GetSystemMetrics(SM_XVIRTUALSCREEN));
  EXPECT_EQ(3200, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(1280, GetSystemMetrics(SM_CYVIRTUALSCREEN));
}

TEST_F(Monitors, DpiPerMonitorAndTheAbsentSwitch) {
  UINT x = 0, y = 0;
  ASSERT_EQ(S_OK, GetDpiForMonitor(handles[1], MDT_EFFECTIVE_DPI, &x, &y));
  EXPECT_EQ(144u, x);
  HWND h = make(RECT{-1000, 0, -600, 300});
  EXPECT_EQ(144u, GetDpiForWindow(h));
  test::setSystemDpi(120);
  test::setPerMonitorDpiAvailable(false);
  EXPECT_FALSE(PerMonitorDpiAvailable());
  EXPECT_EQ(E_NOTIMPL, GetDpiForMonitor(handles[1], MDT_EFFECTIVE_DPI, &x, &y));
  EXPECT_EQ(120u, GetDpiForWindow(h));
  EXPECT_EQ(120, GetDeviceCaps(nullptr, LOGPIXELSX));
  EXPECT_EQ(0u, GetDpiForWindow(reinterpret_cast<HWND>(0x5)));
}

TEST_F(Monitors, MovingToAnotherDpiSendsTheSuggestedRect) {
  HWND h = make(RECT{100, 100, 500, 400});
  EXPECT_EQ(96u, GetDpiForWindow(h));
  SetWindowPos(h, nullptr, -1100, 0, 400, 300, SWP_NOZORDER | SWP_NOACTIVATE);
  ASSERT_EQ(1u, g_suggested.size());
  EXPECT_EQ(144u, g_dpis[0]);
  EXPECT_EQ((RECT{-1100, 0, -500, 450}), g_suggested[0]);  // same corner, 1.5 times the size
  RECT r;
  GetWindowRect(h, &r);
  EXPECT_EQ(g_suggested[0], r);
  EXPECT_EQ(144u, GetDpiForWindow(h));
  RECT c;
  GetClientRect(h, &c);
  EXPECT_EQ(600 - 2 * 12, c.right);  // the frame at 144 DPI
}

TEST_F(Monitors, ChangingAMonitorsDpiTellsItsWindowsOnTheirThreads) {
  HWND here = make(RECT{100, 100, 500, 400});
  HWND there = make(RECT{-1000, 0, -600, 300});
  test::clearSpy();
  test::setMonitorDpi(handles[0], 192);
  EXPECT_EQ(std::vector<UINT>{WM_DPICHANGED}, test::spyMessages(here, {WM_DPICHANGED}));
  EXPECT_TRUE(test::spyMessages(there, {WM_DPICHANGED}).empty());
  ASSERT_EQ(1u, g_suggested.size());
  EXPECT_EQ((RECT{100, 100, 900, 700}), g_suggested[0]);
  EXPECT_EQ(192u, test::snapshot(here)->dpi);
}

}  // namespace
