// Webviews shown as the real browser's app windows on a private X server: the desk windows that
// host them are placed, titled and framed on the display, and what happens to the browser window
// there comes back to the desk window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "desk/display/app_windows.h"
#include "desk/display/x11_connection.h"
#include "desk/message.h"
#include "desk/web/app_window.h"
#include "desk/web/chromium_engine.h"
#include "desk/window.h"
#include "tests/desk/x11/xvfb_server.h"

// Xlib's macros come last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace {

using namespace desk;
using desk::display::AppWindows;
using desk::display::X11Connection;
using desk::display::XRect;
using desk::display::XWindowId;

// The UI thread of these tests: engine work queued here, and the desk windows' messages.
class Loop {
 public:
  web::Executor executor() {
    return [this](std::function<void()> work) {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(work));
    };
  }
  bool runUntil(const std::function<bool()>& done, int ms = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      MSG msg;
      while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
      std::deque<std::function<void()>> work;
      {
        std::lock_guard lock(mutex_);
        work.swap(queue_);
      }
      for (auto& w : work) w();
      if (work.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

std::vector<UINT> closeMessages;
LRESULT hostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    closeMessages.push_back(message);
    return 0;  // the page's road decides; these tests keep the window
  }
  return DefWindowProc(hwnd, message, wParam, lParam);
}

// A window without title bar that its page drags, as the window procedure does it: a left press
// in the top 30 pixels arms the drag, the mouse is taken 100 ms later, and moves with the left
// button down move the window by what the cursor moved since the press.
struct Drag {
  bool armed = false;
  POINT cursor{};
  POINT origin{};
  int moves = 0;
} drag;
LRESULT dragProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_LBUTTONDOWN:
      if (GET_Y_LPARAM(lParam) < 30) {
        GetCursorPos(&drag.cursor);
        RECT r{};
        GetWindowRect(hwnd, &r);
        drag.origin = {r.left, r.top};
        drag.armed = true;
        SetTimer(hwnd, 1, 100, nullptr);
      }
      return 0;
    case WM_TIMER:
      KillTimer(hwnd, 1);
      if (drag.armed) SetCapture(hwnd);
      return 0;
    case WM_MOUSEMOVE:
      if ((wParam & MK_LBUTTON) && drag.armed && GetCapture() == hwnd) {
        POINT c{};
        GetCursorPos(&c);
        ++drag.moves;
        SetWindowPos(hwnd, nullptr, drag.origin.x + c.x - drag.cursor.x, drag.origin.y + c.y - drag.cursor.y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
      }
      return 0;
    case WM_LBUTTONUP:
      drag.armed = false;
      KillTimer(hwnd, 1);
      if (GetCapture() == hwnd) ReleaseCapture();
      return 0;
    default:
      return DefWindowProc(hwnd, message, wParam, lParam);
  }
}

// The activation messages each window got, in order: WM_ACTIVATE's low word (WA_INACTIVE or
// not) and WM_NCACTIVATE's flag, as the window procedure turns them into the page's "inactive".
std::map<HWND, std::vector<std::pair<UINT, WPARAM>>> activations;
LRESULT activationProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ACTIVATE) activations[hwnd].push_back({message, LOWORD(wParam)});
  if (message == WM_NCACTIVATE) activations[hwnd].push_back({message, wParam});
  return DefWindowProc(hwnd, message, wParam, lParam);
}

class AppWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.start(error, "1024x768x24")) << error;
    if (windowManager_) {
      ASSERT_TRUE(server_.startWindowManager(error)) << error;
    }
    ::setenv("DISPLAY", server_.display().c_str(), 1);
    x_ = X11Connection::open(server_.display(), error);
    ASSERT_TRUE(x_) << error;
    raw_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(raw_, nullptr);
    host_ = AppWindows::start(x_);
    web::setAppWindowHost(host_);
    static bool registered = [] {
      WNDCLASSEX wc{};
      wc.lpfnWndProc = hostProc;
      wc.lpszClassName = u"PelAppHost";
      RegisterClassEx(&wc);
      WNDCLASSEX child{};
      child.lpfnWndProc = DefWindowProc;
      child.lpszClassName = u"PelAppContent";
      RegisterClassEx(&child);
      WNDCLASSEX dragging{};
      dragging.lpfnWndProc = dragProc;
      dragging.lpszClassName = u"PelAppDragHost";
      RegisterClassEx(&dragging);
      WNDCLASSEX activating{};
      activating.lpfnWndProc = activationProc;
      activating.lpszClassName = u"PelAppActivationHost";
      RegisterClassEx(&activating);
      return true;
    }();
    (void)registered;
    char folder[] = "/tmp/pel-appwin-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    folder_ = folder;
    web::EnvironmentOptions options;
    options.userDataFolder = folder_ + "/WebData";
    if (const char* log = std::getenv("DESKWEB_BROWSER_LOG")) options.browserLog = log;
    bool done = false;
    web::ChromiumEngine::create()->createEnvironment(
        options, loop_.executor(), [&](web::Result r, std::shared_ptr<web::Environment> e, const std::string& why) {
          done = true;
          env_ = e;
          error = why;
          (void)r;
        });
    ASSERT_TRUE(loop_.runUntil([&] { return done; })) << "the browser did not start";
    ASSERT_TRUE(env_) << error;
    pid_ = static_cast<web::ChromiumEnvironment&>(*env_).browserProcessId();
  }

  void TearDown() override {
    webviews_.clear();
    if (env_) env_->close();
    env_.reset();
    web::setAppWindowHost(nullptr);
    if (host_) host_->stop();
    x_.reset();
    if (raw_) XCloseDisplay(raw_);
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }

  // A shown top-level window whose webview shows a page of one colour.
  HWND showPage(const char16_t* title, DWORD style, DWORD exStyle, RECT r, const char* colour,
               const char16_t* windowClass = u"PelAppHost", const std::string& body = std::string()) {
    HWND top = CreateWindowEx(exStyle, windowClass, title, style, r.left, r.top, r.right - r.left,
                              r.bottom - r.top, nullptr, nullptr, nullptr, nullptr);
    ShowWindow(top, SW_SHOWNORMAL);
    std::shared_ptr<web::Webview> view;
    bool done = false;
    env_->createWebview([&](web::Result r, std::shared_ptr<web::Webview> w) {
      done = true;
      if (r != web::Result::ok) ADD_FAILURE() << "createWebview: " << web::resultName(r);
      view = std::move(w);
      // As the webview host does: the page's own window inside the program's window.
      if (view) CreateWindowEx(0, u"PelAppContent", u"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, top, nullptr, nullptr, nullptr);
    });
    if (!loop_.runUntil([&] { return done; }) || !view) return nullptr;
    view->navigateToString(std::string("<html><body style='margin:0;background:") + colour + "'>" + body +
                           "</body></html>");
    webviews_.push_back(view);
    return top;
  }

  // The colour at a point of the root window, as 0xRRGGBB.
  unsigned long pixel(int px, int py) {
    Display* d = raw_;
    XImage* image = XGetImage(d, DefaultRootWindow(d), px, py, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0xFFFFFFFF;
    unsigned long value = XGetPixel(image, 0, 0) & 0xFFFFFF;
    XDestroyImage(image);
    return value;
  }

  bool geometryIs(XWindowId xid, XRect want) {
    XRect g;
    return x_->geometry(xid, g) && g == want;
  }

  bool hasState(XWindowId xid, const char* name) {
    auto states = x_->states(xid);
    return std::find(states.begin(), states.end(), name) != states.end();
  }

  // Asks the window manager to activate `xid` as a pager or taskbar does for the user.
  void activateAsUser(XWindowId xid) {
    Display* d = raw_;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = xid;
    e.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2;  // from a pager: the user's choice
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XFlush(d);
  }

  bool windowManager_ = false;
  Display* raw_ = nullptr;  // the test's own connection, for what a user or screenshot does
  pel_test::XvfbServer server_;
  std::shared_ptr<X11Connection> x_;
  std::shared_ptr<AppWindows> host_;
  Loop loop_;
  std::string folder_;
  std::shared_ptr<web::Environment> env_;
  std::vector<std::shared_ptr<web::Webview>> webviews_;
  int pid_ = 0;
};

TEST(AppWindowFlags, NoHeadlessAndTheSandboxOffOnlyForRoot) {
  for (bool root : {false, true}) {
    auto flags = web::ChromiumEngine::windowFlags(root);
    auto has = [&](const std::string& f) { return std::find(flags.begin(), flags.end(), f) != flags.end(); };
    EXPECT_FALSE(has("--headless"));
    EXPECT_TRUE(has(std::string("--app=") + web::kAppLaunchPage));
    EXPECT_TRUE(has("--remote-debugging-pipe"));
    EXPECT_EQ(has("--no-sandbox"), root);
  }
  auto headless = web::ChromiumEngine::defaultFlags();
  EXPECT_NE(std::find(headless.begin(), headless.end(), "--headless"), headless.end());
}

TEST_F(AppWindowTest, EachWebviewIsAnAppWindowOfOneBrowserPlacedAndPaintedWithoutBrowserBars) {
  HWND first = showPage(u"Pelmora \u00e9t\u00e9", WS_OVERLAPPEDWINDOW, 0, {40, 50, 440, 350}, "#00c800");
  ASSERT_NE(first, nullptr);
  HWND second = showPage(u"Second", WS_POPUP, WS_EX_TOPMOST, {500, 100, 800, 400}, "#0000ff");
  ASSERT_NE(second, nullptr);

  XWindowId a = host_->xWindowOf(first), b = host_->xWindowOf(second);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  // One browser process shows both.
  EXPECT_TRUE(loop_.runUntil([&] { return x_->findWindow(pid_, "Second") == b; }));

  EXPECT_TRUE(loop_.runUntil([&] { return geometryIs(a, {40, 50, 400, 300}) && geometryIs(b, {500, 100, 300, 300}); }));
  // The window's own text, not the page's, even after the page set its title.
  EXPECT_TRUE(loop_.runUntil([&] { return x_->title(a) == "Pelmora \xc3\xa9t\xc3\xa9" && x_->title(b) == "Second"; }));
  EXPECT_FALSE(x_->frameless(a));
  EXPECT_TRUE(x_->frameless(b));
  EXPECT_FALSE(x_->keepAbove(a));
  EXPECT_TRUE(x_->keepAbove(b));

  // Painted from the top edge down: no tab strip, address bar or warning bar above the page.
  EXPECT_TRUE(loop_.runUntil([&] {
    return pixel(45, 53) == 0x00c800 && pixel(240, 200) == 0x00c800 && pixel(435, 345) == 0x00c800 &&
           pixel(505, 103) == 0x0000ff && pixel(790, 390) == 0x0000ff;
  })) << std::hex << pixel(45, 53) << " " << pixel(240, 200) << " " << pixel(505, 103);
}

TEST_F(AppWindowTest, MovesBothWays) {
  HWND top = showPage(u"Moving", WS_OVERLAPPEDWINDOW, 0, {100, 100, 400, 300}, "#c80000");
  ASSERT_NE(top, nullptr);
  XWindowId xid = host_->xWindowOf(top);
  ASSERT_NE(xid, 0u);
  ASSERT_TRUE(loop_.runUntil([&] { return geometryIs(xid, {100, 100, 300, 200}); }));

  // The program moves and sizes its window: the browser window follows.
  SetWindowPos(top, nullptr, 200, 150, 500, 350, SWP_NOZORDER);
  EXPECT_TRUE(loop_.runUntil([&] { return geometryIs(xid, {200, 150, 500, 350}); }));

  // Someone else moves the browser window (a user, its window manager): the window follows.
  ASSERT_TRUE(x_->moveResize(xid, {20, 30, 360, 240}));
  EXPECT_TRUE(loop_.runUntil([&] {
    RECT r{};
    GetWindowRect(top, &r);
    return r.left == 20 && r.top == 30 && r.right == 380 && r.bottom == 270;
  }));
  // And stays there: the window's change does not send it back.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  loop_.runUntil([] { return false; }, 300);
  EXPECT_TRUE(geometryIs(xid, {20, 30, 360, 240}));
}

TEST_F(AppWindowTest, AClosedWebviewTakesItsWindowAway) {
  HWND top = showPage(u"Closing", WS_OVERLAPPEDWINDOW, 0, {100, 100, 400, 300}, "#c80000");
  ASSERT_NE(top, nullptr);
  XWindowId xid = host_->xWindowOf(top);
  ASSERT_NE(xid, 0u);
  ASSERT_TRUE(x_->mapped(xid));
  webviews_.front()->close();
  DestroyWindow(top);
  EXPECT_TRUE(loop_.runUntil([&] { return !x_->mapped(xid); }));
  EXPECT_EQ(host_->xWindowOf(top), 0u);
}

TEST_F(AppWindowTest, AUsersCloseOfTheBrowserWindowReachesTheWindowsCloseHandling) {
  HWND top = showPage(u"Closed by the user", WS_OVERLAPPEDWINDOW, 0, {100, 100, 400, 300}, "#c80000");
  ASSERT_NE(top, nullptr);
  XWindowId xid = host_->xWindowOf(top);
  ASSERT_NE(xid, 0u);
  closeMessages.clear();
  // As a window manager's close button does.
  ASSERT_TRUE(x_->requestClose(xid));
  EXPECT_TRUE(loop_.runUntil([&] { return !closeMessages.empty(); }));
  // The window's procedure kept it: only its own close handling decides.
  EXPECT_TRUE(IsWindow(top));
}

TEST_F(AppWindowTest, AWindowOwnedByAnotherIsTransientForItsBrowserWindow) {
  HWND owner = showPage(u"Owner", WS_OVERLAPPEDWINDOW, 0, {50, 50, 450, 350}, "#c80000");
  ASSERT_NE(owner, nullptr);
  HWND owned = showPage(u"Owned", WS_POPUP | WS_CAPTION, 0, {100, 100, 400, 300}, "#0000c8");
  ASSERT_NE(owned, nullptr);
  XWindowId xOwner = host_->xWindowOf(owner), xOwned = host_->xWindowOf(owned);
  ASSERT_NE(xOwner, 0u);
  ASSERT_NE(xOwned, 0u);
  auto transientFor = [&](XWindowId w) {
    Window to = 0;
    return XGetTransientForHint(raw_, w, &to) ? to : Window(0);
  };
  loop_.runUntil([] { return false; }, 500);
  EXPECT_EQ(transientFor(xOwned), 0u);

  // The program gives the window an owner, then takes it away again.
  SetWindowLongPtr(owned, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
  EXPECT_TRUE(loop_.runUntil([&] { return transientFor(xOwned) == xOwner; }));
  EXPECT_EQ(transientFor(xOwner), 0u);
  SetWindowLongPtr(owned, GWLP_HWNDPARENT, 0);
  EXPECT_TRUE(loop_.runUntil([&] { return transientFor(xOwned) == 0u; }));
}

// What only a window manager does: show states.
class AppWindowManagedTest : public AppWindowTest {
 protected:
  void SetUp() override {
    windowManager_ = true;
    AppWindowTest::SetUp();
  }
};

TEST_F(AppWindowManagedTest, ShowStatesGoBothWays) {
  HWND top = showPage(u"States", WS_OVERLAPPEDWINDOW, 0, {100, 100, 500, 400}, "#c80000");
  ASSERT_NE(top, nullptr);
  XWindowId xid = host_->xWindowOf(top);
  ASSERT_NE(xid, 0u);
  const char* kVert = "_NET_WM_STATE_MAXIMIZED_VERT";
  const char* kHidden = "_NET_WM_STATE_HIDDEN";

  // The program's show states reach the browser window.
  ShowWindow(top, SW_MAXIMIZE);
  EXPECT_TRUE(loop_.runUntil([&] { return hasState(xid, kVert); }));
  ShowWindow(top, SW_MINIMIZE);
  EXPECT_TRUE(loop_.runUntil([&] { return hasState(xid, kHidden); }));
  // Restored from minimised it is maximised again, as it was; restored once more it is normal.
  ShowWindow(top, SW_RESTORE);
  EXPECT_TRUE(loop_.runUntil([&] { return !hasState(xid, kHidden) && hasState(xid, kVert); }));
  ShowWindow(top, SW_RESTORE);
  EXPECT_TRUE(loop_.runUntil([&] { return !hasState(xid, kHidden) && !hasState(xid, kVert); }));

  // What the user does through the window manager reaches the window.
  loop_.runUntil([] { return false; }, 1200);  // past the time the browser is given to follow
  Display* d = raw_;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = xid;
  e.xclient.message_type = XInternAtom(d, "_NET_WM_STATE", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = 1;  // add
  e.xclient.data.l[1] = static_cast<long>(XInternAtom(d, kVert, False));
  e.xclient.data.l[2] = static_cast<long>(XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_HORZ", False));
  e.xclient.data.l[3] = 1;
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XFlush(d);
  EXPECT_TRUE(loop_.runUntil([&] { return IsZoomed(top) != 0; }));
  loop_.runUntil([] { return false; }, 1200);
  XIconifyWindow(d, xid, DefaultScreen(d));
  XFlush(d);
  EXPECT_TRUE(loop_.runUntil([&] { return IsIconic(top) != 0; }));
}

TEST_F(AppWindowManagedTest, ADragOnThePagesTitleBarMovesTheFramelessWindow) {
  // The page forwards its left presses and releases to the window, as the mouse forwarding does.
  const std::string forwarding =
      "<div style='height:30px;background:#202020'></div><script>"
      "for (const t of ['mousedown', 'mouseup']) document.addEventListener(t, e => { if (e.button === 0) "
      "chrome.webview.postMessage({type: t, x: e.clientX, y: e.clientY}); });</script>";
  HWND top = showPage(u"Dragged", WS_POPUP, 0, {100, 100, 500, 400}, "#00c800", u"PelAppDragHost", forwarding);
  ASSERT_NE(top, nullptr);
  web::WebviewEvents events;
  events.webMessageReceived = [top](const web::WebMessage& m) {
    auto number = [&](const char* key) {
      auto at = m.json.find(std::string("\"") + key + "\":");
      return at == std::string::npos ? 0 : std::atoi(m.json.c_str() + at + std::strlen(key) + 3);
    };
    UINT message = m.json.find("mousedown") != std::string::npos ? WM_LBUTTONDOWN : WM_LBUTTONUP;
    PostMessage(top, message, 0, MAKELPARAM(number("x"), number("y")));
  };
  webviews_.back()->setEvents(events);
  XWindowId xid = host_->xWindowOf(top);
  ASSERT_NE(xid, 0u);
  EXPECT_TRUE(x_->frameless(xid));
  ASSERT_TRUE(loop_.runUntil([&] { return geometryIs(xid, {100, 100, 400, 300}) && pixel(300, 300) == 0x00c800; }));
  loop_.runUntil([] { return false; }, 1000);  // the page's script is in place

  // Press on the bar, hold, move in steps, release: as a person drags it.
  Display* d = raw_;
  auto pointerTo = [&](int px, int py) {
    XTestFakeMotionEvent(d, -1, px, py, CurrentTime);
    XFlush(d);
  };
  pointerTo(150, 110);
  loop_.runUntil([] { return false; }, 100);
  XTestFakeButtonEvent(d, 1, True, CurrentTime);
  XFlush(d);
  loop_.runUntil([] { return false; }, 400);
  for (int step = 1; step <= 10; ++step) {
    pointerTo(150 + 12 * step, 110 + 8 * step);
    loop_.runUntil([] { return false; }, 60);
  }
  loop_.runUntil([] { return false; }, 300);
  XTestFakeButtonEvent(d, 1, False, CurrentTime);
  XFlush(d);

  // The X window, under the window manager, and the desk window are where the drag left them.
  EXPECT_TRUE(loop_.runUntil([&] { return geometryIs(xid, {220, 180, 400, 300}); }, 10000));
  RECT r{};
  GetWindowRect(top, &r);
  EXPECT_EQ(r.left, 220);
  EXPECT_EQ(r.top, 180);
  EXPECT_GT(drag.moves, 1);
  EXPECT_TRUE(loop_.runUntil([&] { return GetCapture() == nullptr; }));
  EXPECT_TRUE(loop_.runUntil([&] { return pixel(225, 185) == 0x202020 && pixel(500, 400) == 0x00c800; }));

  // Moves of the pointer after the release leave the window where it is.
  pointerTo(600, 600);
  loop_.runUntil([] { return false; }, 500);
  EXPECT_TRUE(geometryIs(xid, {220, 180, 400, 300}));
}

TEST_F(AppWindowManagedTest, TheUsersActivationOnTheDisplayReachesTheWindows) {
  HWND a = showPage(u"First", WS_OVERLAPPEDWINDOW, 0, {50, 50, 400, 350}, "#c80000", u"PelAppActivationHost");
  HWND b = showPage(u"Second", WS_OVERLAPPEDWINDOW, 0, {450, 50, 800, 350}, "#0000c8", u"PelAppActivationHost");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  XWindowId xa = host_->xWindowOf(a), xb = host_->xWindowOf(b);
  ASSERT_NE(xa, 0u);
  ASSERT_NE(xb, 0u);
  SetForegroundWindow(a);
  loop_.runUntil([] { return false; }, 1500);  // past the time the display is given to follow
  ASSERT_EQ(GetForegroundWindow(), a);
  activations.clear();

  // The user picks the second window: it is activated, the first deactivated.
  activateAsUser(xb);
  EXPECT_TRUE(loop_.runUntil([&] { return GetForegroundWindow() == b; }, 10000));
  using Seen = std::vector<std::pair<UINT, WPARAM>>;
  auto has = [](const Seen& seen, UINT message, WPARAM w) {
    return std::find(seen.begin(), seen.end(), std::make_pair(message, w)) != seen.end();
  };
  EXPECT_TRUE(has(activations[b], WM_ACTIVATE, WA_ACTIVE));
  EXPECT_TRUE(has(activations[b], WM_NCACTIVATE, 1));
  EXPECT_TRUE(has(activations[a], WM_ACTIVATE, WA_INACTIVE));
  EXPECT_TRUE(has(activations[a], WM_NCACTIVATE, 0));
  // And it stays so: the program's answer does not bring the first one back.
  loop_.runUntil([] { return false; }, 1500);
  EXPECT_EQ(GetForegroundWindow(), b);

  // Another program's window takes the activation: none of the program's windows is active.
  // (The window manager may already activate it when it is mapped.)
  Display* d = raw_;
  activations.clear();
  Window other = XCreateSimpleWindow(d, DefaultRootWindow(d), 300, 400, 200, 150, 0, 0, 0xffffff);
  XMapWindow(d, other);
  XFlush(d);
  loop_.runUntil([] { return false; }, 300);
  activateAsUser(other);
  EXPECT_TRUE(loop_.runUntil([&] { return GetForegroundWindow() == nullptr; }, 10000));
  EXPECT_TRUE(has(activations[b], WM_NCACTIVATE, 0));
  EXPECT_TRUE(has(activations[b], WM_ACTIVATE, WA_INACTIVE));

  // Back to the first window from the display.
  activateAsUser(xa);
  EXPECT_TRUE(loop_.runUntil([&] { return GetForegroundWindow() == a; }, 10000));
  XDestroyWindow(d, other);
  XFlush(d);
}

}  // namespace
