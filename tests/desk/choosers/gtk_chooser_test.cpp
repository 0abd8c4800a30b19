// The system dialogs sent to GTK's choosers on a private X server (Xvfb), answered the way a person
// would: a thread of the test finds the chooser's window and types on it with XTest while the
// dialog's thread runs GTK and its own queue.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "desk/dialog.h"
#include "desk/display/backend.h"
#include "desk/message.h"
#include "desk/system_dialogs.h"
#include "desk/test.h"
#include "desk/window.h"
#include "tests/desk/x11/xvfb_server.h"

// What GTK, GLib and the font stack load once and keep for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\n"
         "leak:libgio-2.0.so\nleak:libfontconfig.so\nleak:libpango-1.0.so\nleak:libpangoft2-1.0.so\n"
         "leak:libpangocairo-1.0.so\nleak:libharfbuzz.so\nleak:libcairo.so\nleak:libX11.so\n"
         "leak:libgdk_pixbuf-2.0.so\nleak:libepoxy.so\nleak:libatk-1.0.so\nleak:libatk-bridge-2.0.so\n"
         "leak:librsvg-2.so\nleak:libxkbcommon.so\n";
}

namespace {

namespace dt = desk::test;
namespace fs = std::filesystem;

// One X server for the whole binary: GTK opens its display once per process.
pel_test::XvfbServer* server = nullptr;

class XvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static pel_test::XvfbServer xvfb;
    std::string error;
    ASSERT_TRUE(xvfb.start(error)) << error;
    server = &xvfb;
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    // No accessibility bus, no settings daemon: nothing outside the test to wait for.
    ::setenv("NO_AT_BRIDGE", "1", 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    ::setenv("GDK_BACKEND", "x11", 1);
    // No session bus: a dialog on the default road finds no portal and goes to GTK.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/pel-bus", 1);
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

std::string titleOf(Display* display, Window w) {
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, w, netName, 0, 1024, False, utf8, &type, &format, &count, &after,
                         &data) == Success && data != nullptr) {
    title.assign(reinterpret_cast<char*>(data), count);
  }
  if (data != nullptr) XFree(data);
  return title;
}

// The person at the screen, on a thread of its own with its own connection.
class Person {
 public:
  Person() : display_(XOpenDisplay(server->display().c_str())) {}
  ~Person() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }

  // The viewable top-level window with that title (up to 30 s), focused; None when none came.
  Window waitForWindow(const std::string& title) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      Window root = DefaultRootWindow(display_), parent, *children = nullptr;
      unsigned count = 0;
      Window found = None;
      if (XQueryTree(display_, root, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && found == None; ++i) {
          XWindowAttributes a;
          if (XGetWindowAttributes(display_, children[i], &a) && a.map_state == IsViewable &&
              titleOf(display_, children[i]) == title) {
            found = children[i];
          }
        }
        if (children != nullptr) XFree(children);
      }
      if (found != None) {
        // Let GTK draw and settle before the keys come.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        XRaiseWindow(display_, found);
        XSetInputFocus(display_, found, RevertToParent, CurrentTime);
        XSync(display_, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return found;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return None;
  }

  // How many viewable top-level windows carry that title.
  int countTitled(const std::string& title) {
    Window root = DefaultRootWindow(display_), parent, *children = nullptr;
    unsigned count = 0;
    int n = 0;
    if (XQueryTree(display_, root, &root, &parent, &children, &count)) {
      for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(display_, children[i], &a) && a.map_state == IsViewable &&
            titleOf(display_, children[i]) == title) {
          ++n;
        }
      }
      if (children != nullptr) XFree(children);
    }
    return n;
  }

  // Whether the window is still on the screen.
  bool shown(Window w) {
    XWindowAttributes a;
    XSync(display_, False);
    return XGetWindowAttributes(display_, w, &a) && a.map_state == IsViewable;
  }

  // Waits (up to `seconds`) for the window to leave the screen.
  bool waitGone(Window w, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!shown(w)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void key(KeySym sym, bool withAlt = false) {
    KeyCode code = XKeysymToKeycode(display_, sym);
    const bool shift = XkbKeycodeToKeysym(display_, code, 0, 0) != sym;
    KeyCode shiftCode = XKeysymToKeycode(display_, XK_Shift_L);
    KeyCode altCode = XKeysymToKeycode(display_, XK_Alt_L);
    if (withAlt) XTestFakeKeyEvent(display_, altCode, True, CurrentTime);
    if (shift) XTestFakeKeyEvent(display_, shiftCode, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    if (shift) XTestFakeKeyEvent(display_, shiftCode, False, CurrentTime);
    if (withAlt) XTestFakeKeyEvent(display_, altCode, False, CurrentTime);
    XSync(display_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }

  void type(const std::string& text) {
    for (char c : text) {
      KeySym sym = NoSymbol;
      switch (c) {
        case '/': sym = XK_slash; break;
        case '.': sym = XK_period; break;
        case '-': sym = XK_minus; break;
        case '_': sym = XK_underscore; break;
        default: sym = static_cast<KeySym>(static_cast<unsigned char>(c));
      }
      key(sym);
    }
  }

 private:
  Display* display_;
};

desk::UINT kWork = desk::WM_APP + 7;
std::atomic<int> workDone{0};

desk::LRESULT ownerProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
  if (m == kWork) ++workDone;
  return desk::DefWindowProc(h, m, w, l);
}

desk::HWND makeOwner() {
  static bool registered = [] {
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = ownerProc;
    wc.lpszClassName = u"GtkChooserTestOwner";
    desk::RegisterClassEx(&wc);
    return true;
  }();
  (void)registered;
  return desk::CreateWindowEx(0, u"GtkChooserTestOwner", u"owner",
                              desk::WS_OVERLAPPEDWINDOW | desk::WS_VISIBLE, 0, 0, 400, 300,
                              nullptr, nullptr, nullptr, nullptr);
}

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class GtkChooser : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server, nullptr);
    dt::reset();
    // No portal: GTK straight away.
    dt::useRealChoosers(std::string());
    owner = makeOwner();
    workDone = 0;
    folder = fs::temp_directory_path() / ("pel-gtk-" + std::to_string(::getpid()));
    fs::create_directories(folder);
  }
  void TearDown() override {
    if (person.joinable()) person.join();
    dt::reset();
    fs::remove_all(folder);
  }

  // What the person does once the window titled `title` shows: `act` gets the person and the
  // window (nothing when the window never came: the owner is closed then, which takes the dialog
  // down).
  void whenShown(const std::string& title, std::function<void(Person&, Window)> act) {
    person = std::thread([this, title, act] {
      Person p;
      const Window w = p.waitForWindow(title);
      if (w == None) {
        ADD_FAILURE() << "no window titled " << title;
        desk::PostMessage(owner, desk::WM_CLOSE, 0, 0);
        return;
      }
      holdsWhileShown = desk::ownerHolds(owner);
      // Work for the dialog's thread, which must run before the dialog ends.
      desk::PostMessage(owner, kWork, 0, 0);
      act(p, w);
    });
  }

  desk::HWND owner = nullptr;
  fs::path folder;
  std::thread person;
  std::atomic<int> holdsWhileShown{-1};
};

TEST_F(GtkChooser, APathTypedAndReturnOpensThatFile) {
  const fs::path file = folder / "pick-me.txt";
  std::ofstream(file) << "x";
  whenShown("Pick a file", [&](Person& p, Window w) {
    // "/" opens the location entry; the rest goes in once it is there and has read its folder.
    p.type("/");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    p.type(file.string().substr(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    p.key(XK_Return);
    // A key that came while the entry was still busy is pressed again.
    if (!p.waitGone(w, 5)) p.key(XK_Return);
  });
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  dialog->SetTitle(u"Pick a file");
  ASSERT_EQ(dialog->Show(owner), desk::S_OK);
  person.join();
  std::vector<std::shared_ptr<desk::ShellItem>> items;
  ASSERT_EQ(dialog->GetResults(&items), desk::S_OK);
  ASSERT_EQ(items.size(), 1u);
  std::u16string path;
  ASSERT_EQ(items[0]->GetDisplayName(desk::SIGDN_FILESYSPATH, &path), desk::S_OK);
  EXPECT_EQ(path, u16(file.string()));
  EXPECT_EQ(holdsWhileShown, 1);
  EXPECT_EQ(workDone, 1);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
  EXPECT_EQ(desk::ownerHolds(owner), 0);
}

TEST_F(GtkChooser, EscapeCancels) {
  whenShown("Open", [&](Person& p, Window) { p.key(XK_Escape); });
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  person.join();
  EXPECT_EQ(holdsWhileShown, 1);
  EXPECT_EQ(workDone, 1);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
}

TEST_F(GtkChooser, TheOwnerClosedMeanwhileTakesTheChooserDown) {
  whenShown("Open", [&](Person&, Window) { desk::PostMessage(owner, desk::WM_CLOSE, 0, 0); });
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  person.join();
  EXPECT_FALSE(desk::IsWindow(owner));
  EXPECT_EQ(desk::ownerHolds(owner), 0);
}

TEST_F(GtkChooser, FontChooserStartsFromTheInitialFontAndReportsTheChoice) {
  // Selecting keeps the initial font: DejaVu Sans Bold at 14 points (96 dots per inch).
  whenShown("Font", [&](Person& p, Window) { p.key(XK_Return); });
  desk::LOGFONTW font;
  const std::u16string face = u"DejaVu Sans";
  std::copy(face.begin(), face.end(), font.lfFaceName);
  font.lfHeight = -desk::MulDiv(14, 96, 72);
  font.lfWeight = 700;
  font.lfUnderline = 1;
  desk::CHOOSEFONTW choice;
  choice.hwndOwner = owner;
  choice.lpLogFont = &font;
  choice.Flags = desk::CF_SCREENFONTS | desk::CF_INITTOLOGFONTSTRUCT | desk::CF_EFFECTS;
  choice.rgbColors = 0xFF0000;
  ASSERT_EQ(desk::ChooseFontW(&choice), 1);
  person.join();
  EXPECT_EQ(std::u16string(font.lfFaceName), u"DejaVu Sans");
  EXPECT_EQ(font.lfHeight, -19);
  EXPECT_EQ(font.lfWeight, 700);
  EXPECT_EQ(font.lfItalic, 0);
  // What GTK's chooser does not offer stays as the caller set it.
  EXPECT_EQ(font.lfUnderline, 1);
  EXPECT_EQ(choice.rgbColors, 0xFF0000u);
  EXPECT_EQ(holdsWhileShown, 1);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));

  whenShown("Font", [&](Person& p, Window) { p.key(XK_Escape); });
  EXPECT_EQ(desk::ChooseFontW(&choice), 0);
  EXPECT_EQ(desk::CommDlgExtendedError(), 0u);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
}

// The backend also shows the windows the layer draws; the dialog's stand-in is not one of them, so
// the only window of that title is the chooser, and the person's Escape reaches it.
TEST_F(GtkChooser, TheDisplayBackendSendsDialogsToTheChoosersAndHeadlessDoesNot) {
  dt::useRealChoosers(std::nullopt);
  std::string error;
  ASSERT_TRUE(desk::display::startBackend(desk::display::chooseBackend(server->display().c_str(), nullptr),
                                          error))
      << error;
  std::atomic<int> titled{-1};
  whenShown("Export", [&](Person& p, Window) {
    titled = p.countTitled("Export");
    p.key(XK_Escape);
  });
  testing::internal::CaptureStderr();
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(true, &dialog), desk::S_OK);
  dialog->SetTitle(u"Export");
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  person.join();
  EXPECT_EQ(holdsWhileShown, 1);
  EXPECT_EQ(titled, 1) << "the chooser and nothing else titled \"Export\" on the screen";
  desk::display::stopBackend();

  // Headless again: the recorded stand-in, which nobody answers.
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  const std::string said = testing::internal::GetCapturedStderr();
  // Said once: by the stand-in, not while GTK had the dialog (GTK's own warnings may be there).
  const std::string line = "save dialog: Export (no answer: cancelled)\n";
  const size_t first = said.find(line);
  EXPECT_NE(first, std::string::npos) << said;
  EXPECT_EQ(said.find(line, first + 1), std::string::npos) << said;
  EXPECT_EQ(dt::fileDialogs().size(), 2u);
}

}  // namespace
