// Message boxes, layered windows and popup menus on a private Xvfb: they appear as X11 windows
// showing what the layer drew, follow their windows, and are answered with XTest input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "desk/dialog.h"
#include "desk/display/backend.h"
#include "desk/display/x11_connection.h"
#include "desk/display/x11_native_windows.h"
#include "desk/message.h"
#include "desk/msgbox.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "tests/desk/x11/xvfb_server.h"
#include "zrkmenu/zrkmenu.h"

// Xlib's macros (None, Bool, Status ...) come last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

using desk::HWND;
using desk::display::X11Connection;
using desk::display::X11NativeWindows;
using desk::display::XRect;
using desk::display::XWindowId;
namespace dt = desk::test;

bool waitFor(const std::function<bool()>& done, int ms = 15000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// Straight ARGB over white, as an opaque 0xRRGGBB.
uint32_t overWhite(uint32_t argb) {
  const unsigned a = argb >> 24;
  uint32_t out = 0;
  for (int shift : {16, 8, 0}) {
    const unsigned c = (argb >> shift) & 255;
    out |= static_cast<uint32_t>((c * a + 255 * (255 - a) + 127) / 255) << shift;
  }
  return out;
}

bool near(uint32_t a, uint32_t b) {
  for (int shift : {16, 8, 0}) {
    const int d = static_cast<int>((a >> shift) & 255) - static_cast<int>((b >> shift) & 255);
    if (d < -1 || d > 1) return false;
  }
  return true;
}

class NativeWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.start(error, "1920x1080x24")) << error;
    dt::reset();
    look_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(look_, nullptr);
    // A server killed by a test ends only the calls on it, not the test.
    XSetIOErrorExitHandler(look_, [](Display*, void*) {}, nullptr);
    query_ = X11Connection::open(server_.display(), error);
    ASSERT_TRUE(query_) << error;
    driver_ = X11NativeWindows::start(server_.display(), error);
    ASSERT_TRUE(driver_) << error;
  }
  void TearDown() override {
    driver_.reset();
    query_.reset();
    if (look_) XCloseDisplay(look_);
    dt::reset();
  }

  // The window's pixels as 0xRRGGBB (empty when it cannot be read).
  std::vector<uint32_t> pixels(XWindowId window, int& width, int& height) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(look_, window, &a) || a.map_state != IsViewable) return {};
    width = a.width;
    height = a.height;
    XImage* image = XGetImage(look_, window, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
                              AllPlanes, ZPixmap);
    if (!image) return {};
    std::vector<uint32_t> out;
    for (int y = 0; y < a.height; ++y)
      for (int x = 0; x < a.width; ++x) out.push_back(static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF);
    XDestroyImage(image);
    return out;
  }

  // Whether the X11 window shows the bitmap the layer drew for `hwnd` at (ox, oy) in it.
  bool shows(XWindowId window, HWND hwnd, int ox, int oy) {
    std::optional<desk::gfx::Bitmap> drawn = dt::windowBitmap(hwnd);
    int w = 0, h = 0;
    std::vector<uint32_t> seen = pixels(window, w, h);
    if (!drawn || seen.empty()) return false;
    for (int y = 0; y < drawn->height(); ++y) {
      for (int x = 0; x < drawn->width(); ++x) {
        if (ox + x >= w || oy + y >= h) return false;
        if (!near(seen[static_cast<size_t>(oy + y) * w + ox + x], overWhite(drawn->pixel(x, y)))) return false;
      }
    }
    return true;
  }

  // Should the input under test not land, the box is closed (true) so the test does not hang.
  bool endIfStuck(HWND box) {
    if (box == nullptr || waitFor([&] { return !desk::IsWindow(box); }, 10000)) return false;
    desk::PostMessage(box, desk::WM_CLOSE, 0, 0);
    return true;
  }

  bool viewable(XWindowId window) {
    XWindowAttributes a;
    return window != 0 && XGetWindowAttributes(look_, window, &a) && a.map_state == IsViewable;
  }

  void clickAt(int x, int y, unsigned button = 1) {
    XTestFakeMotionEvent(look_, -1, x, y, 0);
    XTestFakeButtonEvent(look_, button, True, 0);
    XTestFakeButtonEvent(look_, button, False, 0);
    XSync(look_, False);
  }

  void pressKey(KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(look_, keysym);
    XTestFakeKeyEvent(look_, code, True, 0);
    XTestFakeKeyEvent(look_, code, False, 0);
    XSync(look_, False);
  }

  // The X11 window of the message box of `caption`, found by its title, and its desk window.
  bool findBox(const std::string& caption, XWindowId& window, HWND& hwnd) {
    std::u16string wide(caption.begin(), caption.end());
    return waitFor([&] {
      window = query_->findWindow(::getpid(), caption);
      hwnd = desk::FindWindow(u"#32770", wide.c_str());
      return window != 0 && hwnd != nullptr && viewable(window);
    });
  }

  pel_test::XvfbServer server_;
  Display* look_ = nullptr;
  std::shared_ptr<X11Connection> query_;
  std::unique_ptr<X11NativeWindows> driver_;
};

// A message box shows its caption as the window's title and, in its pixels, what the layer drew
// for its text and buttons; a click on OK answers it and its X11 window goes with it.
TEST_F(NativeWindows, MessageBoxAppearsAsDrawnAndAClickAnswersIt) {
  std::atomic<bool> seen{false}, drawnAlike{false}, forced{false};
  std::thread person([&] {
    XWindowId window = 0;
    HWND box = nullptr;
    if (!findBox("Save changes", window, box)) return (void)endIfStuck(box);
    seen = true;
    HWND ok = desk::GetDlgItem(box, desk::IDOK);
    HWND cancel = desk::GetDlgItem(box, desk::IDCANCEL);
    HWND text = desk::GetDlgItem(box, 0xFFFF);
    auto offset = [&](HWND child) {
      desk::POINT p{0, 0};
      desk::MapWindowPoints(child, box, &p, 1);
      return p;
    };
    drawnAlike = waitFor([&] {
      return shows(window, ok, offset(ok).x, offset(ok).y) && shows(window, cancel, offset(cancel).x, offset(cancel).y) &&
             shows(window, text, offset(text).x, offset(text).y);
    });
    // The X11 window sits on the box's client area: a click in the middle of OK on the screen.
    desk::RECT r;
    desk::GetWindowRect(ok, &r);
    clickAt((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    forced = endIfStuck(box);
  });
  const int answer = desk::MessageBoxW(nullptr, u"Save changes to photo.jpg?\nThey are lost otherwise.",
                                       u"Save changes", desk::MB_OKCANCEL | desk::MB_DEFBUTTON2);
  person.join();
  EXPECT_TRUE(seen) << "no X11 window titled \"Save changes\" of this process";
  EXPECT_TRUE(drawnAlike) << "the X11 window does not show the box's bitmaps";
  EXPECT_FALSE(forced) << "the click did not answer the box";
  EXPECT_EQ(answer, desk::IDOK) << "the default is Cancel: only the click on OK gives OK";
  EXPECT_TRUE(waitFor([&] { return query_->findWindow(::getpid(), "Save changes") == 0; }))
      << "the X11 window outlived the box";
}

// Keys typed with the box up: its X11 window has the keyboard focus. Enter presses the focused (default) button, Escape is
// Cancel where there is one, Tab moves to the next button first.
TEST_F(NativeWindows, KeysAnswerMessageBoxes) {
  struct Case {
    const char* what;
    desk::UINT type;
    std::vector<KeySym> keys;
    int answer;
  };
  const Case cases[] = {
      {"Enter on the default No", desk::MB_YESNOCANCEL | desk::MB_DEFBUTTON2, {XK_Return}, desk::IDNO},
      {"Escape", desk::MB_YESNOCANCEL, {XK_Escape}, desk::IDCANCEL},
      {"Tab, then Enter", desk::MB_OKCANCEL, {XK_Tab, XK_Return}, desk::IDCANCEL},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::atomic<bool> forced{false};
    const std::string caption = "Question " + std::to_string(++n);
    std::thread person([&] {
      XWindowId window = 0;
      HWND box = nullptr;
      if (!findBox(caption, window, box)) return (void)endIfStuck(box);
      // The box was made foreground: its X11 window gets the keyboard, wherever the pointer is.
      // The focus is given a moment after the window shows; keys typed before it would be lost.
      XTestFakeMotionEvent(look_, -1, 5, 5, 0);
      XSync(look_, False);
      for (int i = 0; i < 500; ++i) {
        ::Window focus = 0;
        int revert = 0;
        XGetInputFocus(look_, &focus, &revert);
        if (focus == window) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      for (KeySym k : c.keys) pressKey(k);
      forced = endIfStuck(box);
    });
    const std::u16string wide(caption.begin(), caption.end());
    const int answer = desk::MessageBoxW(nullptr, u"Go on?", wide.c_str(), c.type);
    person.join();
    EXPECT_FALSE(forced) << c.what << ": the keys did not answer the box";
    EXPECT_EQ(answer, c.answer) << c.what;
  }
}

// The X11 window of a box moved from outside, as a window manager moves it for the person: the
// desk window follows, so the layer's geometry and the screen agree, and input still lands.
TEST_F(NativeWindows, AMoveOnTheScreenMovesTheBoxsWindow) {
  std::atomic<bool> followed{false}, forced{false};
  desk::RECT before{}, after{};
  std::thread person([&] {
    XWindowId window = 0;
    HWND box = nullptr;
    if (!findBox("Move me", window, box)) return (void)endIfStuck(box);
    desk::GetWindowRect(box, &before);
    XMoveWindow(look_, window, 150, 120);
    XSync(look_, False);
    followed = waitFor([&] {
      desk::POINT origin{0, 0};
      return desk::ClientToScreen(box, &origin) && origin.x == 150 && origin.y == 120;
    });
    desk::GetWindowRect(box, &after);
    XRect g;
    query_->geometry(window, g);
    EXPECT_EQ(g.x, 150);
    EXPECT_EQ(g.y, 120);
    // A click on OK where the box now is answers it.
    desk::RECT ok;
    desk::GetWindowRect(desk::GetDlgItem(box, desk::IDOK), &ok);
    clickAt((ok.left + ok.right) / 2, (ok.top + ok.bottom) / 2);
    forced = endIfStuck(box);
  });
  const int answer = desk::MessageBoxW(nullptr, u"Move the box.", u"Move me", desk::MB_OKCANCEL);
  person.join();
  EXPECT_TRUE(followed) << "the desk window stayed where it was";
  EXPECT_EQ(after.right - after.left, before.right - before.left) << "a move keeps the size";
  EXPECT_FALSE(forced) << "the click where the box now is did not answer it";
  EXPECT_EQ(answer, desk::IDOK);
}

// Started by the display backend: a box whose pixels the server dropped is painted again, and the window manager's close is Cancel. Once the backend stops, boxes are
// answered at once again.
TEST_F(NativeWindows, BackendShowsBoxesAndTheyAnswerTheWindowManager) {
  driver_.reset();
  desk::display::BackendChoice choice;
  choice.backend = desk::display::Backend::X11;
  choice.display = server_.display();
  std::string error;
  ASSERT_TRUE(desk::display::startBackend(choice, error)) << error;
  std::atomic<bool> repainted{false}, forced{false};
  std::thread person([&] {
    XWindowId window = 0;
    HWND box = nullptr;
    if (!findBox("Replace", window, box)) return (void)endIfStuck(box);
    HWND ok = desk::GetDlgItem(box, desk::IDOK);
    desk::POINT at{0, 0};
    desk::MapWindowPoints(ok, box, &at, 1);
    if (!waitFor([&] { return shows(window, ok, at.x, at.y); })) return (void)endIfStuck(box);
    // The server forgets what the window showed, as when another window covered it.
    XClearArea(look_, window, 0, 0, 0, 0, True);
    XSync(look_, False);
    repainted = waitFor([&] { return shows(window, ok, at.x, at.y); });
    query_->requestClose(window);
    forced = endIfStuck(box);
  });
  const int answer = desk::MessageBoxW(nullptr, u"Replace the file?", u"Replace", desk::MB_OKCANCEL);
  person.join();
  desk::display::stopBackend();
  EXPECT_TRUE(repainted) << "not painted again on Expose";
  EXPECT_FALSE(forced) << "the window manager's close did not reach the box";
  EXPECT_EQ(answer, desk::IDCANCEL);
  EXPECT_EQ(desk::MessageBoxW(nullptr, u"text", u"Headless", desk::MB_OKCANCEL | desk::MB_DEFBUTTON2),
            desk::IDCANCEL)
      << "answered at once, without a screen";
  EXPECT_EQ(query_->findWindow(::getpid(), "Headless"), 0u);
}

// A layered window is an override-redirect X11 window of its frame's size at its place: moved,
// repainted with each new frame, unmapped when hidden and gone when destroyed.
TEST_F(NativeWindows, LayeredWindowFollowsItsWindow) {
  desk::WNDCLASSEX wc;
  wc.lpfnWndProc = desk::DefWindowProc;
  wc.lpszClassName = u"NativeLayeredTest";
  desk::RegisterClassEx(&wc);
  HWND hwnd = desk::CreateWindowEx(desk::WS_EX_LAYERED | desk::WS_EX_TOPMOST, u"NativeLayeredTest", u"", desk::WS_POPUP,
                                   300, 200, 80, 40, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(hwnd, nullptr);
  auto push = [&](uint32_t premultiplied) {
    desk::LayeredFrame f;
    f.width = 80;
    f.height = 40;
    f.pixels.assign(80 * 40, premultiplied);
    desk::RECT r;
    desk::GetWindowRect(hwnd, &r);
    f.position = desk::POINT{r.left, r.top};
    return desk::UpdateLayeredWindowFrame(hwnd, f);
  };
  auto colour = [&](XWindowId w) {
    int width = 0, height = 0;
    std::vector<uint32_t> p = pixels(w, width, height);
    return p.empty() ? 0xFFFFFFFFu : p[static_cast<size_t>(20) * width + 40];
  };
  desk::ShowWindow(hwnd, desk::SW_SHOWNOACTIVATE);
  EXPECT_EQ(driver_->windowOf(hwnd), 0u) << "nothing to show before the first frame";
  ASSERT_TRUE(push(0xFF2040C0));
  const XWindowId window = driver_->windowOf(hwnd);
  ASSERT_NE(window, 0u);
  XWindowAttributes a{};
  EXPECT_TRUE(waitFor([&] { return viewable(window); }));
  XGetWindowAttributes(look_, window, &a);
  EXPECT_TRUE(a.override_redirect);
  XRect g;
  EXPECT_TRUE(query_->geometry(window, g));
  EXPECT_EQ(g, (XRect{300, 200, 80, 40}));
  EXPECT_TRUE(waitFor([&] { return colour(window) == 0x2040C0; })) << std::hex << colour(window);
  // Half-transparent red: premultiplied 0x80800000 over white.
  ASSERT_TRUE(push(0x80800000));
  EXPECT_TRUE(waitFor([&] { return near(colour(window), 0xFF7F7F); })) << std::hex << colour(window);

  desk::SetWindowPos(hwnd, nullptr, 640, 480, 0, 0, desk::SWP_NOSIZE | desk::SWP_NOZORDER | desk::SWP_NOACTIVATE);
  EXPECT_TRUE(waitFor([&] { return query_->geometry(window, g) && g == XRect{640, 480, 80, 40}; }));
  desk::ShowWindow(hwnd, desk::SW_HIDE);
  EXPECT_TRUE(waitFor([&] { return !viewable(window); })) << "still on screen after SW_HIDE";
  desk::DestroyWindow(hwnd);
  EXPECT_EQ(driver_->windowOf(hwnd), 0u);
  EXPECT_TRUE(waitFor([&] { return !query_->geometry(window, g); })) << "the X11 window outlived its window";
}

class NativeMenus : public NativeWindows {
 protected:
  void SetUp() override {
    NativeWindows::SetUp();
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = desk::DefWindowProc;
    wc.lpszClassName = u"NativeMenuOwner";
    desk::RegisterClassEx(&wc);
    owner_ = desk::CreateWindowEx(0, u"NativeMenuOwner", u"owner", desk::WS_OVERLAPPEDWINDOW | desk::WS_VISIBLE, 0, 0,
                                  400, 300, nullptr, nullptr, nullptr, nullptr);
    desk::SetForegroundWindow(owner_);
    menu_ = std::make_shared<zrkmenu::ZrkMenu>();
    for (const char* id : {"open", "rename", "delete"}) {
      zrkmenu::ZrkMenuItem item;
      item.id = id;
      item.text = id;
      menu_->appendItem(item);
    }
  }
  void TearDown() override {
    menu_.reset();
    zrkmenu::removeHooks();
    NativeWindows::TearDown();
  }

  // Tracks the menu at (500, 400) while `person` acts on its X11 window; the menu's choice.
  std::string track(const std::function<void(XWindowId)>& person) {
    std::thread other([&] {
      XWindowId window = 0;
      if (waitFor([&] {
            window = menu_->hwnd ? driver_->windowOf(menu_->hwnd) : 0;
            return viewable(window);
          })) {
        person(window);
      }
      // Should the input not land, the menu is dismissed so the test does not hang.
      if (!waitFor([&] { return !menu_->hwnd || !desk::IsWindowVisible(menu_->hwnd); }, 10000)) {
        forced_ = true;
        desk::PostMessage(menu_->hwnd, zrkmenu::MENU_MSG_DISMISS, 0, 0);
      }
    });
    std::string out;
    std::string chosen = menu_->trackPopup(out, 500, 400, owner_, zrkmenu::TPM_RETURNCMD, 0);
    other.join();
    return chosen;
  }

  HWND owner_ = nullptr;
  std::shared_ptr<zrkmenu::ZrkMenu> menu_;
  std::atomic<bool> forced_{false};
};

// The menu is an override-redirect window showing its layered frame; a click on a row chooses it.
TEST_F(NativeMenus, ClickOnARowChoosesIt) {
  std::atomic<bool> overrideRedirect{false}, framed{false};
  std::string chosen = track([&](XWindowId window) {
    XWindowAttributes a;
    overrideRedirect = XGetWindowAttributes(look_, window, &a) && a.override_redirect;
    framed = waitFor([&] {
      auto s = desk::windowSnapshot(menu_->hwnd);
      if (!s || !s->layeredFrame) return false;
      const desk::LayeredFrame& f = *s->layeredFrame;
      int w = 0, h = 0;
      std::vector<uint32_t> seen = pixels(window, w, h);
      if (w != f.width || h != f.height) return false;
      for (int i = 0; i < w * h; ++i) {
        const uint32_t straight = desk::gfx::unpremultiply(f.pixels[static_cast<size_t>(i)]);
        if (!near(seen[static_cast<size_t>(i)], overWhite(straight))) return false;
      }
      return true;
    });
    const desk::RECT row = menu_->itemRect(1);
    const int s = zrkmenu::shadowSize();
    XRect g;
    query_->geometry(window, g);
    clickAt(g.x + s + 10, g.y + s + (row.top + row.bottom) / 2);
  });
  EXPECT_TRUE(overrideRedirect);
  EXPECT_TRUE(framed) << "the X11 window does not show the menu's frame";
  EXPECT_FALSE(forced_) << "the click did not end the menu";
  EXPECT_EQ(chosen, "rename");
}

// With the pointer and keyboard grabbed by the menu, a click elsewhere on the screen dismisses
// it, and keys reach it: Down twice and Enter choose the second row.
TEST_F(NativeMenus, ClickElsewhereDismissesAndKeysChoose) {
  std::string chosen = track([&](XWindowId) { clickAt(1500, 900); });
  EXPECT_FALSE(forced_) << "the click elsewhere did not dismiss the menu";
  EXPECT_EQ(chosen, "");
  EXPECT_FALSE(desk::IsWindowVisible(menu_->hwnd));

  chosen = track([&](XWindowId) {
    pressKey(XK_Down);
    pressKey(XK_Down);
    pressKey(XK_Return);
  });
  EXPECT_FALSE(forced_) << "the keys did not end the menu";
  EXPECT_EQ(chosen, "rename");
}

// The X server going away while a box is up: the box ends with its default button, nothing
// waits on the dead server, and later windows are simply not shown.
TEST_F(NativeWindows, ServerLossEndsOpenBoxes) {
  const desk::DWORD boxThread = desk::GetCurrentThreadId();
  std::atomic<bool> forced{false};
  std::thread killer([&] {
    XWindowId window = 0;
    HWND box = nullptr;
    if (findBox("Overwrite", window, box)) server_.stop(true);
    // A Yes/No box ignores a close: should it stay, the loop is ended by a quit instead.
    if (box && !waitFor([&] { return !desk::IsWindow(box); }, 10000)) {
      forced = true;
      desk::PostThreadMessage(boxThread, desk::WM_QUIT, 0, 0);
    }
  });
  const int answer = desk::MessageBoxW(nullptr, u"Overwrite photo.jpg?", u"Overwrite",
                                       desk::MB_YESNO | desk::MB_DEFBUTTON2);
  killer.join();
  EXPECT_FALSE(forced) << "the box outlived the server";
  EXPECT_EQ(answer, desk::IDNO);
  EXPECT_TRUE(driver_->lost());
}

}  // namespace
