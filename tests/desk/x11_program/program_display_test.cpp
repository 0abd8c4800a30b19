// The built program started on a private X server with a window manager, as a person starts it on
// a desktop: `pelmora -view <picture>` shows the picture in a window of its own, and the window
// manager's close ends the program.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/desk/x11/xvfb_server.h"

// Xlib's macros come last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The picture's one colour, far from anything the pages draw.
constexpr int kRed = 30, kGreen = 160, kBlue = 220;

// A 24-bit BMP of one colour.
void writeBmp(const std::string& path, int width, int height) {
  const int pad = (4 - (width * 3) % 4) % 4;
  const uint32_t dataSize = static_cast<uint32_t>((width * 3 + pad) * height);
  std::string out = "BM";
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  auto u16 = [&](uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
  };
  u32(54 + dataSize);
  u32(0);
  u32(54);
  u32(40);
  u32(static_cast<uint32_t>(width));
  u32(static_cast<uint32_t>(height));
  u16(1);
  u16(24);
  u32(0);
  u32(dataSize);
  u32(2835);
  u32(2835);
  u32(0);
  u32(0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      out.push_back(static_cast<char>(kBlue));
      out.push_back(static_cast<char>(kGreen));
      out.push_back(static_cast<char>(kRed));
    }
    out.append(static_cast<size_t>(pad), '\0');
  }
  std::ofstream(path, std::ios::binary) << out;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool waitFor(const std::function<bool()>& done, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// The parent process of `pid` (0 when it cannot be read).
int parentOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 2));
  char state = 0;
  int parent = 0;
  rest >> state >> parent;
  return parent;
}

class ProgramOnDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.start(error, "1280x800x24")) << error;
    ASSERT_TRUE(server_.startWindowManager(error)) << error;
    display_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(display_, nullptr);
    const fs::path built = PEL_PELMORA;
    folder_ = built.parent_path() / ("program-display-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    for (const char* sub : {"run", "data", "config", "cache"}) fs::create_directories(folder_ / sub);
    fs::permissions(folder_ / "run", fs::perms::owner_all);
  }

  void TearDown() override {
    if (program_ > 0) {
      ::kill(program_, SIGKILL);
      ::waitpid(program_, nullptr, 0);
    }
    if (display_) XCloseDisplay(display_);
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  // Starts the built program with `args` on the test's display, as from a desktop session.
  void start(const std::vector<std::string>& args) {
    log_ = (folder_ / "program.log").string();
    const std::string program = PEL_PELMORA;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("DISPLAY", server_.display().c_str(), 1);
      ::unsetenv("PELMORA_HEADLESS");
      ::setenv("XDG_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
      ::setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
      ::setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
      ::setenv("XDG_CACHE_HOME", (folder_ / "cache").c_str(), 1);
      const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      ::execv(program.c_str(), raw.data());
      ::_exit(127);
    }
    program_ = launched_ = pid;
  }

  // The program's exit code once it ended within `ms`; -1 while it runs.
  int endedWithin(int ms) {
    int code = -1;
    waitFor([&] {
      int status = 0;
      if (::waitpid(program_, &status, WNOHANG) != program_) return false;
      program_ = 0;
      code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }, ms);
    return code;
  }

  std::vector<Window> clientList() {
    std::vector<Window> out;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), XInternAtom(display_, "_NET_CLIENT_LIST", False), 0,
                           1024, False, XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data && format == 32) {
      auto* ids = reinterpret_cast<unsigned long*>(data);
      out.assign(ids, ids + count);
    }
    if (data) XFree(data);
    return out;
  }

  int pidOf(Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int pid = 0;
    if (XGetWindowProperty(display_, w, XInternAtom(display_, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) == Success &&
        data && count == 1) {
      pid = static_cast<int>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) XFree(data);
    return pid;
  }

  // The shown windows of the program: those of the browser it started.
  std::vector<Window> programWindows() {
    std::vector<Window> out;
    for (Window w : clientList()) {
      XWindowAttributes a{};
      if (!XGetWindowAttributes(display_, w, &a) || a.map_state != IsViewable) continue;
      const int pid = pidOf(w);
      if (pid > 0 && (pid == launched_ || parentOf(pid) == launched_)) out.push_back(w);
    }
    return out;
  }

  // How many pixels of the window's area on the screen show the picture's colour.
  long pictureArea(Window w) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(display_, w, &a)) return 0;
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, w, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    const int screenW = DisplayWidth(display_, DefaultScreen(display_));
    const int screenH = DisplayHeight(display_, DefaultScreen(display_));
    const int left = std::max(0, x), top = std::max(0, y);
    const int right = std::min(screenW, x + a.width), bottom = std::min(screenH, y + a.height);
    if (right <= left || bottom <= top) return 0;
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), left, top, static_cast<unsigned>(right - left),
                              static_cast<unsigned>(bottom - top), AllPlanes, ZPixmap);
    if (!image) return 0;
    long count = 0;
    for (int py = 0; py < bottom - top; ++py) {
      for (int px = 0; px < right - left; ++px) {
        const unsigned long p = XGetPixel(image, px, py);
        const int r = static_cast<int>((p >> 16) & 0xFF), g = static_cast<int>((p >> 8) & 0xFF),
                  b = static_cast<int>(p & 0xFF);
        if (std::abs(r - kRed) <= 8 && std::abs(g - kGreen) <= 8 && std::abs(b - kBlue) <= 8) ++count;
      }
    }
    XDestroyImage(image);
    return count;
  }

  pel_test::XvfbServer server_;
  Display* display_ = nullptr;
  fs::path folder_;
  std::string log_;
  pid_t program_ = 0;   // while it runs
  pid_t launched_ = 0;  // the last one started
};

TEST_F(ProgramOnDisplay, AViewerShowsThePictureOnScreenAndTheWindowManagersCloseEndsTheProgram) {
  const std::string picture = (folder_ / "one colour.bmp").string();
  writeBmp(picture, 400, 300);
  start({"-view", picture});

  // The viewer's window, shown by the browser the program started.
  Window viewer = 0;
  ASSERT_TRUE(waitFor([&] {
    for (Window w : programWindows()) viewer = w;
    return viewer != 0;
  }, 60000)) << readAll(log_);

  // The picture is on screen, inside that window: most of it at least (the viewer scales it to
  // fit and may draw over its edges).
  long area = 0;
  EXPECT_TRUE(waitFor([&] { return (area = pictureArea(viewer)) > 400 * 300 / 3; }, 60000))
      << "pixels of the picture's colour: " << area << "\n" << readAll(log_);

  // Closed as a window manager's close button does: the program ends, cleanly.
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = viewer;
  e.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, viewer, False, NoEventMask, &e);
  XFlush(display_);
  EXPECT_EQ(endedWithin(60000), 0) << readAll(log_);
  // Nothing of it stays on screen.
  EXPECT_TRUE(waitFor([&] { return programWindows().empty(); }, 10000));
}

}  // namespace
