// The X11 display backend against private X servers: a bare Xvfb for what the backend itself
// writes and reads, openbox on it for what only a window manager does.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "desk/display/backend.h"
#include "desk/display/x11_connection.h"
#include "desk/window.h"
#include "tests/desk/x11/xvfb_server.h"

// Xlib's macros (None, Bool, Status ...) come last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace {

using desk::display::X11Connection;
using desk::display::XRect;
using desk::display::XWindowId;

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// A client of the test's own: makes top-level windows the way a browser would (with its pid)
// and sees what the window manager sends them.
class Client {
 public:
  explicit Client(const std::string& display) : d_(XOpenDisplay(display.c_str())) {}
  ~Client() {
    if (d_ != nullptr) XCloseDisplay(d_);
  }
  Display* d() const { return d_; }

  Window make(const std::string& title, int x, int y, int w, int h, bool map = true, long pid = ::getpid()) {
    XSetWindowAttributes a{};
    a.background_pixel = 0x336699;
    a.event_mask = StructureNotifyMask;
    Window win = XCreateWindow(d_, DefaultRootWindow(d_), x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), 0,
                               CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
    XStoreName(d_, win, title.c_str());
    XChangeProperty(d_, win, XInternAtom(d_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    Atom del = XInternAtom(d_, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d_, win, &del, 1);
    // Ask for the position given (a manager may otherwise place the window itself).
    XSizeHints hints{};
    hints.flags = USPosition | PPosition;
    hints.x = x;
    hints.y = y;
    XSetWMNormalHints(d_, win, &hints);
    if (map) XMapWindow(d_, win);
    XSync(d_, False);
    return win;
  }

  // Whether a WM_DELETE_WINDOW request reached `win` within the time.
  bool sawDelete(Window win, int ms = 5000) {
    Atom protocols = XInternAtom(d_, "WM_PROTOCOLS", False), del = XInternAtom(d_, "WM_DELETE_WINDOW", False);
    return waitFor(
        [&] {
          while (XPending(d_) > 0) {
            XEvent e;
            XNextEvent(d_, &e);
            if (e.type == ClientMessage && e.xclient.window == win && e.xclient.message_type == protocols &&
                static_cast<Atom>(e.xclient.data.l[0]) == del) {
              return true;
            }
          }
          return false;
        },
        ms);
  }

 private:
  Display* d_;
};

// A window of another process, as a browser's would be: made by a forked child that keeps it
// until it is asked to close it (WM_DELETE_WINDOW: the child then exits with 0) or is killed.
class ForeignWindow {
 public:
  ForeignWindow(const std::string& display, const std::string& title, int x, int y, int w, int h) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::close(fds[0]);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      Client c(display);
      if (c.d() == nullptr) ::_exit(3);
      Window win = c.make(title, x, y, w, h);
      (void)!::write(fds[1], &win, sizeof win);
      ::_exit(c.sawDelete(win, 60000) ? 0 : 4);
    }
    ::close(fds[1]);
    if (child_ > 0 && ::read(fds[0], &window_, sizeof window_) != sizeof window_) window_ = 0;
    ::close(fds[0]);
  }
  ~ForeignWindow() {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
  }
  Window window() const { return window_; }
  pid_t pid() const { return child_; }
  // Whether the child saw the close request (and so ended with 0) within the time.
  bool closedByRequest(int ms = 10000) {
    int status = 0;
    bool ended = waitFor([&] { return ::waitpid(child_, &status, WNOHANG) == child_; }, ms);
    if (ended) child_ = 0;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t child_ = 0;
  Window window_ = 0;
};

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.start(error)) << error;
    connection_ = X11Connection::open(server_.display(), error);
    ASSERT_TRUE(connection_) << error;
    client_ = std::make_unique<Client>(server_.display());
    ASSERT_NE(client_->d(), nullptr);
  }
  void TearDown() override {
    client_.reset();
    connection_.reset();
  }
  void startWindowManager() {
    std::string error;
    ASSERT_TRUE(server_.startWindowManager(error)) << error;
    // The manager announces itself before its loop runs, and a window mapped in between may stay
    // unmanaged: probe until one is framed.
    Display* d = client_->d();
    bool framed = false;
    for (int attempt = 0; attempt < 8 && !framed; ++attempt) {
      ForeignWindow probe(server_.display(), "probe", 0, 0, 10, 10);
      ASSERT_NE(probe.window(), 0u);
      framed = waitFor([&] {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned n = 0;
        if (!XQueryTree(d, probe.window(), &root, &parent, &children, &n)) return false;
        if (children) XFree(children);
        return parent != root;
      }, 2500);
    }
    ASSERT_TRUE(framed) << "the window manager never framed a window";
  }

  pel_test::XvfbServer server_;
  std::shared_ptr<X11Connection> connection_;
  std::unique_ptr<Client> client_;
};

TEST_F(X11Test, FindsABrowserWindowByProcessAndMarkerAndRetitlesIt) {
  Window other = client_->make("some other page", 0, 0, 100, 100, true, 999999);
  Window unmarked = client_->make("viewer", 0, 0, 100, 100);
  Window marked = client_->make("pelmora-window-7f3a", 10, 10, 200, 150);
  (void)other;
  (void)unmarked;
  EXPECT_EQ(connection_->findWindow(::getpid(), "pelmora-window-7f3a"), marked);
  EXPECT_EQ(connection_->findWindow(::getpid(), "no-such-marker"), 0u);
  EXPECT_EQ(connection_->findWindow(999999, "pelmora-window-7f3a"), 0u);
  EXPECT_EQ(connection_->windowsOfProcess(::getpid()).size(), 2u);

  const std::string title = "Fotó — über.jpg";  // UTF-8 beyond Latin-1
  ASSERT_TRUE(connection_->setTitle(marked, title));
  EXPECT_EQ(connection_->title(marked), title);
  EXPECT_EQ(connection_->findWindow(::getpid(), "über"), marked);
}

TEST_F(X11Test, PropertiesAreWrittenAndReadBackWithoutAWindowManager) {
  ASSERT_FALSE(connection_->hasWindowManager());
  Window w = client_->make("props", 0, 0, 64, 64);
  EXPECT_TRUE(connection_->mapped(w));

  EXPECT_FALSE(connection_->frameless(w));
  ASSERT_TRUE(connection_->setFrameless(w, true));
  EXPECT_TRUE(connection_->frameless(w));
  ASSERT_TRUE(connection_->setFrameless(w, false));
  EXPECT_FALSE(connection_->frameless(w));

  ASSERT_TRUE(connection_->setKeepAbove(w, true));
  EXPECT_TRUE(connection_->keepAbove(w));
  ASSERT_TRUE(connection_->setKeepAbove(w, true));  // twice: still one entry, still above
  ASSERT_TRUE(connection_->setKeepAbove(w, false));
  EXPECT_FALSE(connection_->keepAbove(w));

  std::vector<uint32_t> pixels{0xFFFF0000u, 0x8000FF00u, 0x000000FFu, 0xFFFFFFFFu};
  ASSERT_TRUE(connection_->setIcon(w, 2, 2, pixels));
  std::vector<uint32_t> expected{2, 2};
  expected.insert(expected.end(), pixels.begin(), pixels.end());
  EXPECT_EQ(connection_->icon(w), expected);
  EXPECT_FALSE(connection_->setIcon(w, 3, 2, pixels)) << "pixel count must match the size";

  // Without a manager nobody can move a window interactively.
  EXPECT_FALSE(connection_->startMove(w, 5, 5, 1));

  XRect rect;
  ASSERT_TRUE(connection_->moveResize(w, {40, 30, 300, 200}));
  ASSERT_TRUE(connection_->geometry(w, rect));
  EXPECT_EQ(rect, (XRect{40, 30, 300, 200}));
}

TEST_F(X11Test, AWindowThatWentAwayFailsTheCallNotTheProcess) {
  Window w = client_->make("gone", 0, 0, 64, 64);
  XDestroyWindow(client_->d(), w);
  XSync(client_->d(), False);
  EXPECT_FALSE(connection_->setTitle(w, "x"));
  EXPECT_FALSE(connection_->setFrameless(w, true));
  XRect rect;
  EXPECT_FALSE(connection_->geometry(w, rect));
  EXPECT_EQ(connection_->title(w), "");
  // The connection stays good for other windows.
  Window alive = client_->make("alive", 0, 0, 64, 64);
  EXPECT_TRUE(connection_->setTitle(alive, "still here"));
}

TEST_F(X11Test, TheServerGoingAwayMarksTheConnectionLostAndEndsNothingElse) {
  bool told = false;
  connection_->setLostHandler([&told] { told = true; });
  client_.reset();
  server_.stop(/*kill=*/true);
  connection_->sync();  // notices the dead socket
  EXPECT_TRUE(connection_->lost());
  EXPECT_TRUE(told);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connection_->setTitle(1, "x"));
  EXPECT_TRUE(connection_->monitors().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// The server killed while several threads are in calls: each call ends, failed, and the
// connection then closes without waiting on the dead server.
TEST_F(X11Test, AServerLostDuringCallsFromSeveralThreadsEndsThemAndTheConnectionCloses) {
  const Window w = client_->make("busy", 0, 0, 64, 64);
  client_.reset();
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&, i] {
      while (!stop) {
        if (i == 0) connection_->setTitle(w, "t");
        else if (i == 1) connection_->monitors();
        else connection_->keepAbove(w);
        ++calls;
      }
    });
  }
  ASSERT_TRUE(waitFor([&] { return calls > 30; }));
  server_.stop(/*kill=*/true);
  EXPECT_TRUE(waitFor([&] { return connection_->lost(); }));
  stop = true;
  auto ended = std::async(std::launch::async, [&] {
    for (auto& t : callers) t.join();
    connection_.reset();
  });
  if (ended.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    std::fprintf(stderr, "a call or the closing waited for ever on the dead server\n");
    std::_Exit(1);
  }
}

TEST_F(X11Test, MonitorsComeFromRandrAndWorkAreasFromTheWindowManager) {
  auto bare = connection_->monitors();
  ASSERT_EQ(bare.size(), 1u);
  EXPECT_EQ(bare[0].rect, (XRect{0, 0, 1280, 800}));
  EXPECT_EQ(bare[0].work, bare[0].rect) << "no manager publishes a work area";
  EXPECT_EQ(bare[0].dpi, 96u);
  EXPECT_TRUE(bare[0].primary);

  startWindowManager();
  // A panel along the bottom reserves 40 pixels; the manager takes them off the work area.
  ForeignWindow panelWindow(server_.display(), "panel", 0, 760, 1280, 40);
  Window panel = panelWindow.window();
  long strut[12] = {0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 1279};
  XChangeProperty(client_->d(), panel, XInternAtom(client_->d(), "_NET_WM_STRUT_PARTIAL", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(strut), 12);
  XSync(client_->d(), False);
  ASSERT_TRUE(waitFor([&] { return connection_->monitors().at(0).work.height == 760; }))
      << connection_->monitors().at(0).work.height;
  EXPECT_EQ(connection_->monitors().at(0).work, (XRect{0, 0, 1280, 760}));
}

TEST_F(X11Test, TheBackendHandsTheServersMonitorsToTheWindowModel) {
  std::string error;
  ASSERT_TRUE(desk::display::startBackend(desk::display::chooseBackend(server_.display().c_str(), nullptr), error))
      << error;
  EXPECT_EQ(desk::display::activeBackend(), desk::display::Backend::X11);
  desk::HMONITOR monitor = desk::MonitorFromPoint(desk::POINT{10, 10}, 0);
  desk::MONITORINFO info;
  info.cbSize = sizeof info;
  ASSERT_TRUE(desk::GetMonitorInfo(monitor, &info));
  EXPECT_EQ(info.rcMonitor.right, 1280);
  EXPECT_EQ(info.rcMonitor.bottom, 800);
  desk::display::stopBackend();
  EXPECT_EQ(desk::display::activeBackend(), desk::display::Backend::Headless);
}

class X11ManagedTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    if (!HasFatalFailure()) startWindowManager();
  }
};

TEST_F(X11ManagedTest, KeepAboveAndFramelessGoThroughTheWindowManager) {
  ForeignWindow window(server_.display(), "managed", 100, 100, 300, 200);
  Window w = window.window();
  ASSERT_TRUE(waitFor([&] { return connection_->mapped(w); }));
  ASSERT_TRUE(connection_->setKeepAbove(w, true));
  EXPECT_TRUE(waitFor([&] { return connection_->keepAbove(w); })) << "the manager records the state";
  ASSERT_TRUE(connection_->setKeepAbove(w, false));
  EXPECT_TRUE(waitFor([&] { return !connection_->keepAbove(w); }));

  // Without decorations the manager's frame extents drop to nothing.
  auto extents = [&] {
    Atom type;
    int format;
    unsigned long n = 0, after;
    unsigned char* data = nullptr;
    long top = -1;
    if (XGetWindowProperty(client_->d(), w, XInternAtom(client_->d(), "_NET_FRAME_EXTENTS", False), 0, 4, False,
                           XA_CARDINAL, &type, &format, &n, &after, &data) == Success &&
        n == 4) {
      top = reinterpret_cast<long*>(data)[2];
    }
    if (data) XFree(data);
    return top;
  };
  ASSERT_TRUE(waitFor([&] { return extents() > 0; })) << "a decorated window has a title bar";
  ASSERT_TRUE(connection_->setFrameless(w, true));
  EXPECT_TRUE(waitFor([&] { return extents() == 0; }));
}

TEST_F(X11ManagedTest, ADragStartedFromThePageMovesTheWindow) {
  ForeignWindow window(server_.display(), "frameless", 100, 100, 300, 200);
  Window w = window.window();
  ASSERT_TRUE(connection_->setFrameless(w, true));
  // The frame goes away first: wait until the window sits where it asked to be.
  XRect before;
  ASSERT_TRUE(waitFor([&] { return connection_->geometry(w, before) && before.x == 100 && before.y == 100; }));
  Display* d = client_->d();
  // The user presses in the page's title bar, the page asks for a move, the pointer goes on.
  int x = before.x + 50, y = before.y + 10;
  XTestFakeMotionEvent(d, -1, x, y, 0);
  XTestFakeButtonEvent(d, 1, True, 0);
  XSync(d, False);
  ASSERT_TRUE(connection_->startMove(w, x, y, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int step = 1; step <= 10; ++step) {
    XTestFakeMotionEvent(d, -1, x + step * 20, y + step * 15, 0);
    XSync(d, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  XTestFakeButtonEvent(d, 1, False, 0);
  XSync(d, False);
  XRect after;
  EXPECT_TRUE(waitFor([&] {
    return connection_->geometry(w, after) && after.x == before.x + 200 && after.y == before.y + 150;
  })) << "moved to " << after.x << "," << after.y << " from " << before.x << "," << before.y;
}

TEST_F(X11ManagedTest, ACloseAsTheManagerSendsItReachesTheWindow) {
  ForeignWindow window(server_.display(), "closable", 100, 100, 300, 200);
  ASSERT_TRUE(connection_->requestClose(window.window()));
  EXPECT_TRUE(window.closedByRequest());
}

}  // namespace
