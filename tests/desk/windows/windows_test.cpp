#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "desk/message.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"

using namespace desk;

namespace {

// What the procedure of a test window answers, per message.
std::atomic<LRESULT> g_createResult{0};
std::atomic<int> g_minTrackX{0};
std::atomic<int> g_maxTrackX{0};

LRESULT CALLBACK_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE && g_createResult.load() != 0) return g_createResult.load();
  if (message == WM_GETMINMAXINFO) {
    auto* mmi = reinterpret_cast<MINMAXINFO*>(lParam);
    if (g_minTrackX.load()) mmi->ptMinTrackSize.x = g_minTrackX.load();
    if (g_maxTrackX.load()) mmi->ptMaxTrackSize.x = g_maxTrackX.load();
    return 0;
  }
  return DefWindowProc(hwnd, message, wParam, lParam);
}

class Windows : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSEX wc;
    wc.lpfnWndProc = CALLBACK_proc;
    wc.lpszClassName = u"TestWindow";
    wc.cbWndExtra = 16;
    ASSERT_NE(0, RegisterClassEx(&wc));
  }
  void SetUp() override {
    test::reset();
    g_createResult = 0;
    g_minTrackX = 0;
    g_maxTrackX = 0;
  }
  void TearDown() override { test::reset(); }

  HWND make(DWORD style = WS_OVERLAPPEDWINDOW, HWND parent = nullptr, DWORD ex = 0,
            RECT r = RECT{100, 100, 500, 400}) {
    return CreateWindowEx(ex, u"TestWindow", u"title", style, r.left, r.top, r.right - r.left,
                          r.bottom - r.top, parent, nullptr, nullptr, nullptr);
  }
};

TEST_F(Windows, CreationSendsTheDocumentedOrder) {
  HWND top = make();
  ASSERT_NE(nullptr, top);
  EXPECT_EQ((std::vector<UINT>{WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE,
                               WM_MOVE}),
            test::spyMessages(top));
  test::clearSpy();
  HWND child = make(WS_CHILD | WS_VISIBLE, top, 0, RECT{10, 10, 110, 60});
  ASSERT_NE(nullptr, child);
  EXPECT_EQ((std::vector<UINT>{WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE, WM_MOVE,
                               WM_SHOWWINDOW, WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED}),
            test::spyMessages(child));
  EXPECT_EQ(std::vector<UINT>{WM_PARENTNOTIFY}, test::spyMessages(top));
  // A child's position is in its parent's client coordinates.
  RECT pr, cr;
  GetWindowRect(child, &cr);
  POINT origin{0, 0};
  ClientToScreen(top, &origin);
  EXPECT_EQ(origin.x + 10, cr.left);
  EXPECT_EQ(origin.y + 10, cr.top);
  GetWindowRect(top, &pr);
  EXPECT_EQ(top, GetParent(child));
  EXPECT_EQ(top, GetAncestor(child, GA_ROOT));
}

TEST_F(Windows, DestructionGoesOwnedFirstParentBeforeChildrenNcDestroyLast) {
  HWND top = make();
  HWND child = make(WS_CHILD, top);
  HWND grandchild = make(WS_CHILD, child);
  HWND owned = make(WS_POPUP, top);
  ASSERT_EQ(top, GetWindow(owned, GW_OWNER));
  test::clearSpy();
  ASSERT_TRUE(DestroyWindow(top));
  std::vector<std::pair<HWND, UINT>> seen;
  for (const test::SpyRecord& r : test::spy())
    if (r.message == WM_DESTROY || r.message == WM_NCDESTROY) seen.emplace_back(r.hwnd, r.message);
  std::vector<std::pair<HWND, UINT>> expected = {
      {owned, WM_DESTROY},      {owned, WM_NCDESTROY},     {top, WM_DESTROY},
      {child, WM_DESTROY},      {grandchild, WM_DESTROY},  {grandchild, WM_NCDESTROY},
      {child, WM_NCDESTROY},    {top, WM_NCDESTROY}};
  EXPECT_EQ(expected, seen);
  for (HWND h : {top, child, grandchild, owned}) {
    EXPECT_FALSE(IsWindow(h));
    EXPECT_TRUE(test::snapshot(h)->destroyed);
  }
}

TEST_F(Windows, CreateRefusedByTheProcedureDestroysAgainAndGivesNull) {
  g_createResult = -1;
  HWND h = make();
  EXPECT_EQ(nullptr, h);
  std::vector<UINT> all = test::spyMessages();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(WM_NCDESTROY, all.back());
  EXPECT_NE(all.end(), std::find(all.begin(), all.end(), WM_DESTROY));
  EXPECT_TRUE(zOrder().empty());
}

TEST_F(Windows, StaleAndUnknownHandlesFailWithThePlatformCodes) {
  HWND h = make();
  ASSERT_TRUE(DestroyWindow(h));
  HWND next = make();
  EXPECT_NE(h, next);  // never reused
  struct Case {
    const char* what;
    std::function<bool()> call;
  };
  std::vector<Case> cases = {
      {"IsWindow", [&] { return IsWindow(h) != 0; }},
      {"DestroyWindow", [&] { return DestroyWindow(h) != 0; }},
      {"SetWindowPos", [&] { return SetWindowPos(h, nullptr, 0, 0, 1, 1, 0) != 0; }},
      {"ShowWindow", [&] { return ShowWindow(h, SW_SHOW) != 0; }},
      {"PostMessage", [&] { return PostMessage(h, WM_USER, 0, 0) != 0; }},
      {"SendMessage", [&] { return SendMessage(h, WM_USER, 0, 0) != 0; }},
      {"SetProp", [&] { return SetProp(h, u"x", h) != 0; }},
      {"SetTimer", [&] { return SetTimer(h, 1, 10, nullptr) != 0; }},
      {"GetWindowRect", [&] { RECT r; return GetWindowRect(h, &r) != 0; }},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.what;
    if (std::string(c.what) != "IsWindow") {
      EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError()) << c.what;
    }
  }
  EXPECT_EQ(nullptr, CreateWindowEx(0, u"NoSuchClass", u"", 0, 0, 0, 1, 1, nullptr, nullptr,
                                    nullptr, nullptr));
  EXPECT_EQ(ERROR_CANNOT_FIND_WND_CLASS, GetLastError());
  EXPECT_FALSE(KillTimer(next, 77));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  WNDCLASSEX wc;
  wc.lpszClassName = u"testwindow";  // case does not matter
  EXPECT_EQ(0, RegisterClassEx(&wc));
  EXPECT_EQ(ERROR_CLASS_ALREADY_EXISTS, GetLastError());
}

TEST_F(Windows, WindowDataPropertiesTextAndRelations) {
  HWND owner = make();
  HWND h = make(WS_OVERLAPPEDWINDOW, owner);
  EXPECT_EQ(owner, GetWindow(h, GW_OWNER));
  EXPECT_EQ(nullptr, GetParent(h));  // an owned overlapped window has no parent
  EXPECT_EQ(0, SetWindowLongPtr(h, GWLP_USERDATA, 42));
  EXPECT_EQ(42, GetWindowLongPtr(h, GWLP_USERDATA));
  EXPECT_EQ(0, SetWindowLongPtr(h, 8, 7));  // extra bytes
  EXPECT_EQ(7, GetWindowLongPtr(h, 8));
  EXPECT_EQ(0, GetWindowLongPtr(h, 16));
  EXPECT_EQ(ERROR_INVALID_INDEX, GetLastError());
  test::clearSpy();
  LONG_PTR old = SetWindowLongPtr(h, GWL_STYLE, GetWindowLongPtr(h, GWL_STYLE) & ~WS_MAXIMIZEBOX);
  EXPECT_TRUE(old & WS_MAXIMIZEBOX);
  EXPECT_FALSE(GetWindowLongPtr(h, GWL_STYLE) & WS_MAXIMIZEBOX);
  EXPECT_EQ((std::vector<UINT>{WM_STYLECHANGING, WM_STYLECHANGED}), test::spyMessages(h));
  // The owner can be changed and read back, but never to a cycle.
  HWND other = make();
  EXPECT_EQ(reinterpret_cast<LONG_PTR>(owner), SetWindowLongPtr(h, GWLP_HWNDPARENT,
                                                                reinterpret_cast<LONG_PTR>(other)));
  EXPECT_EQ(other, GetWindow(h, GW_OWNER));
  EXPECT_EQ(0, SetWindowLongPtr(other, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(h)));

  EXPECT_TRUE(SetProp(h, u"kszParentWindow", owner));
  EXPECT_TRUE(SetProp(h, "narrow", reinterpret_cast<HANDLE>(5)));
  EXPECT_EQ(owner, GetProp(h, u"kszParentWindow"));
  EXPECT_EQ(reinterpret_cast<HANDLE>(5), GetProp(h, u"narrow"));
  EXPECT_EQ(reinterpret_cast<HANDLE>(5), RemoveProp(h, "narrow"));
  EXPECT_EQ(nullptr, GetProp(h, u"narrow"));
  EXPECT_EQ(1u, test::snapshot(h)->props.size());

  EXPECT_TRUE(SetWindowText(h, u"Hello"));
  char16_t buf[4];
  EXPECT_EQ(3, GetWindowText(h, buf, 4));
  EXPECT_EQ(std::u16string(u"Hel"), buf);
  EXPECT_EQ(5, GetWindowTextLength(h));
  char16_t name[32];
  EXPECT_EQ(10, GetClassName(h, name, 32));
  EXPECT_EQ(std::u16string(u"TestWindow"), name);
  WNDCLASSEX info;
  EXPECT_NE(0, GetClassInfoEx(nullptr, u"testWINDOW", &info));
  EXPECT_EQ(CALLBACK_proc, info.lpfnWndProc);
  EXPECT_EQ(16, info.cbWndExtra);
  EXPECT_EQ(0, GetClassInfoEx(nullptr, u"Nope", &info));
  EXPECT_EQ(ERROR_CLASS_DOES_NOT_EXIST, GetLastError());

  HWND c1 = make(WS_CHILD, h);
  HWND c2 = make(WS_CHILD, c1);
  std::vector<HWND> children;
  EnumChildWindows(h, [](HWND c, LPARAM l) -> BOOL {
    reinterpret_cast<std::vector<HWND>*>(l)->push_back(c);
    return 1;
  }, reinterpret_cast<LPARAM>(&children));
  EXPECT_EQ((std::vector<HWND>{c1, c2}), children);
  EXPECT_EQ(c1, FindWindowEx(h, nullptr, u"TestWindow", nullptr));
  EXPECT_EQ(nullptr, FindWindowEx(h, c1, u"TestWindow", nullptr));
  EXPECT_EQ(h, GetAncestor(c2, GA_ROOT));
  EXPECT_EQ(other, GetAncestor(c2, GA_ROOTOWNER));
  EXPECT_EQ(c1, GetAncestor(c2, GA_PARENT));
}

TEST_F(Windows, MessageOnlyWindowsAreNotTopLevel) {
  HWND mo = CreateWindowEx(0, u"TestWindow", u"mo", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, nullptr);
  ASSERT_NE(nullptr, mo);
  HWND top = make();
  EXPECT_EQ(std::vector<HWND>{top}, zOrder());
  EXPECT_EQ(mo, FindWindowEx(HWND_MESSAGE, nullptr, u"TestWindow", nullptr));
  test::clearSpy();
  SendMessage(HWND_BROADCAST, WM_USER + 3, 0, 0);
  EXPECT_TRUE(test::spyMessages(mo).empty());
  EXPECT_EQ(std::vector<UINT>{WM_USER + 3}, test::spyMessages(top));
  // Posted broadcasts too: one copy per top-level window.
  HWND child = make(WS_CHILD, top);
  test::clearSpy();
  PostMessage(HWND_BROADCAST, WM_USER + 4, 0, 0);
  test::pump();
  EXPECT_EQ(std::vector<UINT>{WM_USER + 4}, test::spyMessages(nullptr, {WM_USER + 4}));
  EXPECT_EQ(std::vector<UINT>{WM_USER + 4}, test::spyMessages(top, {WM_USER + 4}));
  (void)child;
}

TEST_F(Windows, AnotherThreadsChangeRunsOnTheOwnerAndDestroyIsRefused) {
  HWND h = make();
  DWORD self = GetCurrentThreadId();
  std::atomic<bool> done{false};
  BOOL destroyed = 1;
  DWORD destroyError = 0;
  std::thread other([&] {
    SetWindowPos(h, nullptr, 10, 20, 300, 200, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowText(h, u"from afar");
    ShowWindow(h, SW_SHOW);
    EnableWindow(h, 0);
    EnableWindow(h, 1);
    SetForegroundWindow(h);
    destroyed = DestroyWindow(h);
    destroyError = GetLastError();
    done = true;
  });
  ASSERT_TRUE(test::pumpUntil([&] { return done.load(); }));
  other.join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(ERROR_ACCESS_DENIED, destroyError);
  for (const test::SpyRecord& r : test::spy(h)) EXPECT_EQ(self, r.threadId) << r.message;
  RECT r;
  GetWindowRect(h, &r);
  EXPECT_EQ((RECT{10, 20, 310, 220}), r);
  EXPECT_TRUE(IsWindowVisible(h));
  EXPECT_EQ(u"from afar", test::snapshot(h)->text);
  EXPECT_EQ(h, GetForegroundWindow());
  EXPECT_EQ(h, GetActiveWindow());  // this thread's: the window's own
  EXPECT_EQ((std::vector<UINT>{WM_ENABLE, WM_ENABLE}), test::spyMessages(h, {WM_ENABLE}));
}

TEST_F(Windows, AThreadThatEndsTakesItsWindowsWithIt) {
  HWND h = nullptr;
  std::thread t([&] { h = make(); });
  t.join();
  ASSERT_NE(nullptr, h);
  EXPECT_FALSE(IsWindow(h));
  // A child made here for a window of a thread that then ends goes with it.
  std::promise<HWND> parentMade;
  std::promise<void> end;
  std::thread owner([&] {
    parentMade.set_value(make());
    end.get_future().wait();
  });
  HWND parent = parentMade.get_future().get();
  HWND child = make(WS_CHILD, parent, WS_EX_NOPARENTNOTIFY);  // the parent's thread is not pumping
  ASSERT_NE(nullptr, child);
  PostMessage(child, WM_USER, 0, 0);
  end.set_value();
  owner.join();
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  test::clearSpy();
  EXPECT_EQ(0, test::pump());  // its posted message went with it
  EXPECT_TRUE(test::snapshot(h)->destroyed);
  EXPECT_TRUE(zOrder().empty());
}

TEST_F(Windows, SubclassesSeeMessagesFirstAndPassThemOn) {
  HWND h = make();
  static std::vector<int> order;
  order.clear();
  auto first = [](HWND w, UINT m, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR ref) -> LRESULT {
    if (m == WM_USER) order.push_back(static_cast<int>(ref));
    return DefSubclassProc(w, m, wp, lp);
  };
  ASSERT_TRUE(SetWindowSubclass(h, first, 1, 1));
  ASSERT_TRUE(SetWindowSubclass(h, first, 2, 2));
  SendMessage(h, WM_USER, 0, 0);
  EXPECT_EQ((std::vector<int>{2, 1}), order);
  ASSERT_TRUE(RemoveWindowSubclass(h, first, 2));
  order.clear();
  SendMessage(h, WM_USER, 0, 0);
  EXPECT_EQ(std::vector<int>{1}, order);
}

TEST_F(Windows, DefaultsDefaultPositionsCloseAndSettingChanges) {
  HWND a = CreateWindowEx(0, u"TestWindow", u"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                          CW_USEDEFAULT, 0, nullptr, nullptr, nullptr, nullptr);
  HWND b = CreateWindowEx(0, u"TestWindow", u"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                          CW_USEDEFAULT, 0, nullptr, nullptr, nullptr, nullptr);
  RECT ra, rb;
  GetWindowRect(a, &ra);
  GetWindowRect(b, &rb);
  EXPECT_EQ((RECT{0, 0, 1440, 780}), ra);  // three quarters of the work area
  EXPECT_EQ(ra.left + 26, rb.left);        // cascaded
  EXPECT_EQ(ra.top + 26, rb.top);
  // WM_SYSCOMMAND SC_CLOSE becomes WM_CLOSE, which destroys.
  test::clearSpy();
  SendMessage(a, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_FALSE(IsWindow(a));
  EXPECT_EQ((std::vector<UINT>{WM_SYSCOMMAND, WM_CLOSE, WM_DESTROY, WM_NCDESTROY}),
            test::spyMessages(a, {WM_SYSCOMMAND, WM_CLOSE, WM_DESTROY, WM_NCDESTROY}));
  // The theme change reaches every top-level window with its area name.
  HWND child = make(WS_CHILD, b);
  test::clearSpy();
  test::settingChange();
  auto seen = test::spy(b);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(WM_SETTINGCHANGE, seen[0].message);
  EXPECT_EQ(std::u16string(u"ImmersiveColorSet"),
            reinterpret_cast<const char16_t*>(seen[0].lParam));
  EXPECT_TRUE(test::spy(child).empty());
  // Key state follows injected keys.
  test::key(VK_SHIFT, true);
  EXPECT_TRUE(GetKeyState(VK_SHIFT) & 0x8000);
  EXPECT_TRUE(GetAsyncKeyState(VK_SHIFT) & 0x8000);
  test::key(VK_SHIFT, false);
  EXPECT_FALSE(GetKeyState(VK_SHIFT) & 0x8000);
  // The low bit of GetAsyncKeyState: pressed since the last query.
  test::keyPress(VK_LMENU);
  EXPECT_EQ(1, GetAsyncKeyState(VK_LMENU));
  EXPECT_EQ(0, GetAsyncKeyState(VK_LMENU));
}

// ---- frame model, geometry, placement ------------------------------------------------------------

TEST_F(Windows, ClientRectFollowsStyleAndDpi) {
  struct Case {
    DWORD style;
    DWORD ex;
    UINT dpi;
    RECT insets;  // left, top, right, bottom
  };
  const Case cases[] = {
      {WS_OVERLAPPEDWINDOW, 0, 96, {8, 31, 8, 8}},
      {WS_OVERLAPPEDWINDOW, 0, 144, {12, 47, 12, 12}},
      {WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 96, {3, 26, 3, 3}},
      {WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 144, {5, 40, 5, 5}},
      {WS_POPUP, 0, 96, {0, 0, 0, 0}},
      {WS_POPUP | WS_BORDER, 0, 144, {1, 1, 1, 1}},
      {WS_POPUP | WS_THICKFRAME, WS_EX_CLIENTEDGE, 96, {10, 10, 10, 10}},
      {WS_POPUP, WS_EX_DLGMODALFRAME | WS_EX_STATICEDGE, 144, {6, 6, 6, 6}},
  };
  for (const Case& c : cases) {
    test::reset();
    test::setMonitors({{u"", RECT{0, 0, 3000, 2000}, RECT{0, 0, 3000, 1960}, c.dpi, true}});
    HWND h = make(c.style, nullptr, c.ex, RECT{100, 100, 900, 700});
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(c.dpi, GetDpiForWindow(h));
    RECT client;
    GetClientRect(h, &client);
    EXPECT_EQ(800 - c.insets.left - c.insets.right, client.right) << c.style << " " << c.dpi;
    EXPECT_EQ(600 - c.insets.top - c.insets.bottom, client.bottom) << c.style << " " << c.dpi;
    POINT p{0, 0};
    ClientToScreen(h, &p);
    EXPECT_EQ((POINT{100 + c.insets.left, 100 + c.insets.top}), p);
    RECT adjusted{0, 0, 10, 10};
    AdjustWindowRectExForDpi(&adjusted, c.style, 0, c.ex, c.dpi);
    EXPECT_EQ((RECT{-c.insets.left, -c.insets.top, 10 + c.insets.right, 10 + c.insets.bottom}),
              adjusted);
  }
}

// A procedure that removes the frame except for fixed insets, as a caption-less window does.
LRESULT CALLBACK_insets(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCALCSIZE && wParam) {
    auto* p = reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam);
    p->rgrc[0].left += 3;
    p->rgrc[0].top += 2;
    p->rgrc[0].right -= 3;
    p->rgrc[0].bottom -= 3;
    return 0;
  }
  return DefWindowProc(hwnd, message, wParam, lParam);
}

TEST_F(Windows, FrameChangedRecomputesTheClientAreaThroughTheProcedure) {
  HWND h = make(WS_OVERLAPPEDWINDOW, nullptr, 0, RECT{0, 0, 400, 300});
  SetWindowLongPtr(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CALLBACK_insets));
  RECT c;
  GetClientRect(h, &c);
  EXPECT_EQ(384, c.right);  // unchanged until the frame is recomputed
  test::clearSpy();
  SetWindowPos(h, nullptr, 0, 0, 0, 0,
               SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  GetClientRect(h, &c);
  EXPECT_EQ((RECT{0, 0, 394, 295}), c);
  EXPECT_EQ((std::vector<UINT>{WM_WINDOWPOSCHANGING, WM_NCCALCSIZE, WM_WINDOWPOSCHANGED, WM_MOVE,
                               WM_SIZE}),
            test::spyMessages(h, {WM_WINDOWPOSCHANGING, WM_NCCALCSIZE, WM_WINDOWPOSCHANGED,
                                  WM_MOVE, WM_SIZE}));
}

TEST_F(Windows, SetWindowPosFlagsAndMinMaxClamps) {
  HWND h = make(WS_OVERLAPPEDWINDOW, nullptr, 0, RECT{0, 0, 400, 300});
  RECT r;
  SetWindowPos(h, nullptr, 50, 60, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  GetWindowRect(h, &r);
  EXPECT_EQ((RECT{50, 60, 450, 360}), r);
  SetWindowPos(h, nullptr, 0, 0, 500, 200, SWP_NOMOVE | SWP_NOZORDER);
  GetWindowRect(h, &r);
  EXPECT_EQ((RECT{50, 60, 550, 260}), r);
  // The track sizes from WM_GETMINMAXINFO bound every size.
  g_minTrackX = 300;
  g_maxTrackX = 700;
  SetWindowPos(h, nullptr, 0, 0, 100, 200, SWP_NOMOVE | SWP_NOZORDER);
  GetWindowRect(h, &r);
  EXPECT_EQ(300, r.right - r.left);
  SetWindowPos(h, nullptr, 0, 0, 5000, 200, SWP_NOMOVE | SWP_NOZORDER);
  GetWindowRect(h, &r);
  EXPECT_EQ(700, r.right - r.left);
  // The default minimum comes from the track metrics.
  g_minTrackX = 0;
  SetWindowPos(h, nullptr, 0, 0, 10, 10, SWP_NOMOVE | SWP_NOZORDER);
  GetWindowRect(h, &r);
  EXPECT_EQ(GetSystemMetrics(SM_CXMINTRACK), r.right - r.left);
  EXPECT_EQ(GetSystemMetrics(SM_CYMINTRACK), r.bottom - r.top);
  // WM_SIZE and WM_MOVE carry the client size and position.
  test::clearSpy();
  MoveWindow(h, 10, 20, 400, 300, 1);
  std::vector<test::SpyRecord> sizes;
  for (const test::SpyRecord& s : test::spy(h))
    if (s.message == WM_SIZE || s.message == WM_MOVE) sizes.push_back(s);
  ASSERT_EQ(2u, sizes.size());
  EXPECT_EQ(WM_MOVE, sizes[0].message);
  EXPECT_EQ(MAKELPARAM(18, 51), sizes[0].lParam);
  EXPECT_EQ(SIZE_RESTORED, sizes[1].wParam);
  EXPECT_EQ(MAKELPARAM(384, 261), sizes[1].lParam);
}

TEST_F(Windows, PlacementRoundTripsThroughEveryShowState) {
  HWND h = make(WS_OVERLAPPEDWINDOW, nullptr, 0, RECT{100, 100, 700, 500});
  ShowWindow(h, SW_SHOW);
  struct Case {
    int cmd;
    UINT showCmd;
    bool iconic;
    bool zoomed;
    WPARAM sizeType;
  };
  const Case cases[] = {
      {SW_MAXIMIZE, SW_SHOWMAXIMIZED, false, true, SIZE_MAXIMIZED},
      {SW_MINIMIZE, SW_SHOWMINIMIZED, true, false, SIZE_MINIMIZED},
      {SW_RESTORE, SW_SHOWMAXIMIZED, false, true, SIZE_MAXIMIZED},  // back to maximised
      {SW_RESTORE, SW_SHOWNORMAL, false, false, SIZE_RESTORED},
  };
  for (const Case& c : cases) {
    test::clearSpy();
    ShowWindow(h, c.cmd);
    EXPECT_EQ(c.iconic, IsIconic(h) != 0) << c.cmd;
    EXPECT_EQ(c.zoomed, IsZoomed(h) != 0) << c.cmd;
    WINDOWPLACEMENT wp;
    ASSERT_TRUE(GetWindowPlacement(h, &wp));
    EXPECT_EQ(c.showCmd, wp.showCmd) << c.cmd;
    EXPECT_EQ((RECT{100, 100, 700, 500}), wp.rcNormalPosition) << c.cmd;
    std::vector<test::SpyRecord> sizes;
    for (const test::SpyRecord& s : test::spy(h))
      if (s.message == WM_SIZE) sizes.push_back(s);
    ASSERT_FALSE(sizes.empty()) << c.cmd;
    EXPECT_EQ(c.sizeType, sizes.back().wParam) << c.cmd;
  }
  // Maximised fills the work area, the frame hanging outside it.
  ShowWindow(h, SW_MAXIMIZE);
  RECT r;
  GetWindowRect(h, &r);
  EXPECT_EQ((RECT{-8, -8, 1928, 1048}), r);

  // A placement saved in each state comes back the same in a new window.
  for (UINT showCmd : {SW_SHOWNORMAL, SW_SHOWMAXIMIZED, SW_SHOWMINIMIZED}) {
    WINDOWPLACEMENT saved;
    saved.showCmd = showCmd;
    saved.rcNormalPosition = RECT{200, 150, 800, 650};
    HWND n = make(WS_OVERLAPPEDWINDOW);
    ASSERT_TRUE(SetWindowPlacement(n, &saved));
    WINDOWPLACEMENT back;
    GetWindowPlacement(n, &back);
    EXPECT_EQ(showCmd, back.showCmd);
    EXPECT_EQ(saved.rcNormalPosition, back.rcNormalPosition);
    EXPECT_TRUE(IsWindowVisible(n));
    ShowWindow(n, SW_RESTORE);
    if (showCmd == SW_SHOWMINIMIZED) ShowWindow(n, SW_RESTORE);
    GetWindowRect(n, &r);
    EXPECT_EQ(saved.rcNormalPosition, r) << showCmd;
  }
  WINDOWPLACEMENT bad;
  bad.length = 3;
  EXPECT_FALSE(SetWindowPlacement(h, &bad));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

// ---- z-order, activation, focus, capture, input --------------------------------------------------

TEST_F(Windows, ZOrderKeepsTheTopmostBandAndOwnedAboveOwner) {
  HWND a = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  HWND b = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  HWND c = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  EXPECT_EQ((std::vector<HWND>{c, b, a}), zOrder());
  SetWindowPos(a, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  EXPECT_EQ((std::vector<HWND>{a, c, b}), zOrder());
  EXPECT_TRUE(GetWindowLongPtr(a, GWL_EXSTYLE) & WS_EX_TOPMOST);
  BringWindowToTop(b);  // the top of its own band only
  EXPECT_EQ((std::vector<HWND>{a, b, c}), zOrder());
  SetWindowPos(b, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  EXPECT_EQ((std::vector<HWND>{a, c, b}), zOrder());
  SetWindowPos(a, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  EXPECT_FALSE(GetWindowLongPtr(a, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_EQ((std::vector<HWND>{a, c, b}), zOrder());
  HWND owned = make(WS_POPUP | WS_VISIBLE, c);
  BringWindowToTop(c);
  EXPECT_EQ((std::vector<HWND>{owned, c, a, b}), zOrder());
  EXPECT_EQ(1, test::snapshot(c)->zIndex);
  std::vector<HWND> listed;
  EnumWindows([](HWND h, LPARAM l) -> BOOL {
    reinterpret_cast<std::vector<HWND>*>(l)->push_back(h);
    return 1;
  }, reinterpret_cast<LPARAM>(&listed));
  EXPECT_EQ(zOrder(), listed);
}

TEST_F(Windows, ActivationAndFocusSendTheirMessagesInOrder) {
  HWND a = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  // The show sequence of a first window: activated (and focused) before WM_WINDOWPOSCHANGED.
  EXPECT_EQ((std::vector<UINT>{WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE,
                               WM_MOVE, WM_SHOWWINDOW, WM_WINDOWPOSCHANGING, WM_ACTIVATEAPP,
                               WM_NCACTIVATE, WM_ACTIVATE, WM_SETFOCUS, WM_WINDOWPOSCHANGED}),
            test::spyMessages(a));
  EXPECT_EQ(a, GetForegroundWindow());
  EXPECT_EQ(a, GetActiveWindow());
  EXPECT_EQ(a, GetFocus());
  HWND b = make(WS_OVERLAPPEDWINDOW);
  HWND edit = make(WS_CHILD | WS_VISIBLE, b);
  test::clearSpy();
  ShowWindow(b, SW_SHOW);
  const std::vector<UINT> act = {WM_NCACTIVATE, WM_ACTIVATE, WM_SETFOCUS, WM_KILLFOCUS};
  EXPECT_EQ((std::vector<UINT>{WM_NCACTIVATE, WM_ACTIVATE, WM_KILLFOCUS}), test::spyMessages(a, act));
  EXPECT_EQ((std::vector<UINT>{WM_NCACTIVATE, WM_ACTIVATE, WM_SETFOCUS}), test::spyMessages(b, act));
  test::clearSpy();
  EXPECT_EQ(b, SetFocus(edit));
  EXPECT_EQ(edit, GetFocus());
  EXPECT_EQ(std::vector<UINT>{WM_KILLFOCUS}, test::spyMessages(b, act));
  EXPECT_EQ(std::vector<UINT>{WM_SETFOCUS}, test::spyMessages(edit, act));
  // Focus is per thread: another thread sees none and cannot take it.
  HWND seen = reinterpret_cast<HWND>(1);
  HWND taken = reinterpret_cast<HWND>(1);
  std::thread([&] {
    seen = GetFocus();
    taken = SetFocus(a);
  }).join();
  EXPECT_EQ(nullptr, seen);
  EXPECT_EQ(nullptr, taken);
  EXPECT_EQ(edit, GetFocus());
  // Disabling the focus window drops the focus.
  EXPECT_FALSE(EnableWindow(edit, 0));
  EXPECT_FALSE(IsWindowEnabled(edit));
  EXPECT_EQ(nullptr, GetFocus());
  EXPECT_TRUE(EnableWindow(edit, 1));
  test::takeForegroundElsewhere();
  EXPECT_EQ(nullptr, GetForegroundWindow());
  EXPECT_EQ(nullptr, GetActiveWindow());
}

TEST_F(Windows, InputGoesToCaptureOrTheEnabledWindowUnderThePoint) {
  HWND a = make(WS_POPUP | WS_VISIBLE, nullptr, 0, RECT{0, 0, 200, 200});
  HWND b = make(WS_POPUP | WS_VISIBLE, nullptr, 0, RECT{300, 0, 500, 200});
  test::pump();
  test::clearSpy();
  ASSERT_TRUE(test::click(POINT{50, 60}));
  test::pump();
  EXPECT_EQ((std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONUP}),
            test::spyMessages(a, {WM_LBUTTONDOWN, WM_LBUTTONUP}));
  // A disabled window takes no input; a disabled child's parent answers for it.
  EnableWindow(b, 0);
  EXPECT_FALSE(test::click(POINT{350, 50}));
  EnableWindow(b, 1);
  HWND button = make(WS_CHILD | WS_VISIBLE | WS_DISABLED, b, 0, RECT{10, 10, 60, 40});
  EXPECT_EQ(b, WindowFromPoint(POINT{320, 20}));
  EnableWindow(button, 1);
  EXPECT_EQ(button, WindowFromPoint(POINT{320, 20}));
  // Capture takes the mouse wherever it is, in client coordinates.
  SetCapture(a);
  test::clearSpy();
  test::mouseMove(POINT{350, 50});
  test::pump();
  auto moves = test::spy(a);
  ASSERT_EQ(1u, moves.size());
  EXPECT_EQ(WM_MOUSEMOVE, moves[0].message);
  EXPECT_EQ(MAKELPARAM(350, 50), moves[0].lParam);
  ReleaseCapture();
  EXPECT_EQ(std::vector<UINT>{WM_CAPTURECHANGED}, test::spyMessages(a, {WM_CAPTURECHANGED}));
  // A low-level hook sees input first and may swallow it.
  static int hooked = 0;
  hooked = 0;
  HHOOK hook = SetWindowsHookEx(WH_MOUSE_LL, [](int code, WPARAM wp, LPARAM lp) -> LRESULT {
    ++hooked;
    if (wp == WM_LBUTTONDOWN) return 1;
    return CallNextHookEx(nullptr, code, wp, lp);
  }, nullptr, 0);
  ASSERT_NE(nullptr, hook);
  test::clearSpy();
  EXPECT_FALSE(test::mouseButton(POINT{50, 50}, 0, true));
  EXPECT_TRUE(test::mouseButton(POINT{50, 50}, 0, false));
  test::pump();
  EXPECT_EQ(2, hooked);
  EXPECT_EQ(std::vector<UINT>{WM_LBUTTONUP}, test::spyMessages(a, {WM_LBUTTONDOWN, WM_LBUTTONUP}));
  EXPECT_TRUE(UnhookWindowsHookEx(hook));
  // Keys go to the focus window; TranslateMessage makes the characters.
  SetForegroundWindow(a);
  test::clearSpy();
  test::keyPress('A');
  test::typeText(u"z");
  test::pump();
  auto chars = test::spy(a);
  std::vector<UINT> ids;
  for (auto& s : chars) ids.push_back(s.message);
  EXPECT_EQ((std::vector<UINT>{WM_KEYDOWN, WM_CHAR, WM_KEYUP, WM_CHAR}), ids);
  EXPECT_EQ(static_cast<WPARAM>(u'a'), chars[1].wParam);
  EXPECT_EQ(static_cast<WPARAM>(u'z'), chars[3].wParam);
}

TEST_F(Windows, NonClientInputAndDefaultHitTesting) {
  HWND h = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr, 0, RECT{0, 0, 400, 300});
  struct Case {
    POINT pt;
    LRESULT hit;
  };
  const Case cases[] = {{{200, 150}, HTCLIENT}, {{200, 15}, HTCAPTION}, {{2, 150}, HTLEFT},
                        {{398, 298}, HTBOTTOMRIGHT}, {{200, 2}, HTTOP}, {{900, 900}, HTNOWHERE}};
  for (const Case& c : cases)
    EXPECT_EQ(c.hit, SendMessage(h, WM_NCHITTEST, 0, MAKELPARAM(c.pt.x, c.pt.y))) << c.pt.x;
  test::pump();
  test::clearSpy();
  test::ncMouse(POINT{200, 15}, 1, false, HTCAPTION);
  test::pump();
  auto nc = test::spy(h);
  ASSERT_EQ(1u, nc.size());
  EXPECT_EQ(WM_NCRBUTTONUP, nc[0].message);
  EXPECT_EQ(static_cast<WPARAM>(HTCAPTION), nc[0].wParam);
}

// ---- menus and layered windows ----------------------------------------------------------------

TEST_F(Windows, SystemMenuStatesAndPopupMenus) {
  HWND h = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  HMENU sys = GetSystemMenu(h, 0);
  ASSERT_NE(nullptr, sys);
  EXPECT_EQ(MF_ENABLED, EnableMenuItem(sys, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED));
  EXPECT_EQ(MF_GRAYED, GetMenuState(sys, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
  EXPECT_EQ(MF_GRAYED, test::snapshot(h)->systemMenu[SC_CLOSE]);
  EXPECT_EQ(0xFFFFFFFFu, GetMenuState(sys, 12345, MF_BYCOMMAND));
  EXPECT_EQ(nullptr, GetSystemMenu(make(WS_POPUP), 0));
  EXPECT_EQ(nullptr, GetMenu(h));
  EXPECT_TRUE(DrawMenuBar(h));

  HMENU popup = CreatePopupMenu();
  AppendMenu(popup, MF_STRING, 11, u"One");
  AppendMenu(popup, MF_STRING | MF_GRAYED, 12, u"Two");
  test::setPopupMenuChooser([](HMENU, HWND, POINT) -> UINT_PTR { return 11; });
  EXPECT_EQ(11, TrackPopupMenuEx(popup, TPM_RETURNCMD | TPM_NONOTIFY, 5, 5, h, nullptr));
  test::setPopupMenuChooser([](HMENU, HWND, POINT) -> UINT_PTR { return 12; });  // grayed
  EXPECT_EQ(0, TrackPopupMenuEx(popup, TPM_RETURNCMD, 5, 5, h, nullptr));
  test::setPopupMenuChooser([](HMENU, HWND, POINT) -> UINT_PTR { return 11; });
  test::clearSpy();
  EXPECT_TRUE(TrackPopupMenuEx(popup, 0, 5, 5, h, nullptr));
  test::pump();
  EXPECT_EQ((std::vector<UINT>{WM_ENTERMENULOOP, WM_INITMENUPOPUP, WM_UNINITMENUPOPUP,
                               WM_EXITMENULOOP, WM_COMMAND}),
            test::spyMessages(h, {WM_ENTERMENULOOP, WM_INITMENUPOPUP, WM_UNINITMENUPOPUP,
                                  WM_EXITMENULOOP, WM_COMMAND}));
  DestroyMenu(popup);
}

TEST_F(Windows, LayeredWindowsKeepTheLastFrameAndAnimationEndsAtOnce) {
  HWND h = make(WS_POPUP, nullptr, WS_EX_LAYERED);
  LayeredFrame f;
  f.width = 2;
  f.height = 1;
  f.pixels = {0xFF0000FF, 0x80000080};
  f.alpha = 200;
  ASSERT_TRUE(UpdateLayeredWindowFrame(h, f));
  f.pixels[0] = 0;
  ASSERT_TRUE(UpdateLayeredWindowFrame(h, f));
  auto snap = test::snapshot(h);
  ASSERT_TRUE(snap->layeredFrame);
  EXPECT_EQ(0u, snap->layeredFrame->pixels[0]);
  EXPECT_EQ(200, snap->layeredAlpha);
  f.pixels.pop_back();  // does not match the size
  EXPECT_FALSE(UpdateLayeredWindowFrame(h, f));
  EXPECT_FALSE(UpdateLayeredWindowFrame(make(WS_POPUP), LayeredFrame{}));
  EXPECT_TRUE(AnimateWindow(h, 200, AW_BLEND));
  EXPECT_TRUE(IsWindowVisible(h));
  EXPECT_TRUE(AnimateWindow(h, 200, AW_BLEND | AW_HIDE));
  EXPECT_FALSE(IsWindowVisible(h));
}

}  // namespace
