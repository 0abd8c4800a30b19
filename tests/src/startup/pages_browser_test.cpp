// The program's own pages as a user reaches them, in the real Chromium: main.w shows its window and
// opens a viewer for a typed path; print.w, opened the same way, saves the picture as a PDF on the
// paper and in the orientation chosen.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "browser_helpers.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "src/codec-library.h"
#include "src/startup.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/window.h"

using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

namespace fs = std::filesystem;
using pel::test::evaluate;
using pel::test::waitForValue;

// What the UI thread sees of a window: whether it is there and visible, and its text.
struct Seen {
  bool exists = false;
  bool visible = false;
  std::string title;
};

Seen lookAt(const std::string& label) {
  auto done = std::make_shared<std::promise<Seen>>();
  auto result = done->get_future();
  dispatch_async(dispatch_get_main_queue(), [label, done] {
    Seen seen;
    if (auto window = zrk::App::instance()->findWindow(label)) {
      seen.exists = true;
      seen.visible = desk::IsWindowVisible(window->nativeHandle());
      char16_t buffer[256] = {};
      const int n = desk::GetWindowText(window->nativeHandle(), buffer, 256);
      seen.title = zrk::toUtf8(Vesk::WString(buffer, static_cast<size_t>(n)));
    }
    done->set_value(seen);
  });
  if (result.wait_for(20s) != std::future_status::ready) return {};
  return result.get();
}

// A small RGB PNG.
void makePicture(const std::string& path) {
  const int w = 120, h = 80;
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 3, 0);
  for (size_t i = 0; i < pixels.size(); i += 3) pixels[i] = 200;
  const std::string spec = R"({"width":120,"height":80,"nchannels":3,"format":"uint8"})";
  zrk::CodecLibrary& codec = zrk::CodecLibrary::instance();
  ASSERT_TRUE(codec.outputImage(path.c_str(), spec.c_str(), pixels.data(),
                                static_cast<int32_t>(pixels.size()), "{}"))
      << codec.getLastError();
}

// The first page box of a PDF, in points: width and height.
std::pair<double, double> mediaBox(const std::string& pdf) {
  static const std::regex box(R"(/MediaBox\s*\[\s*([-0-9.]+)\s+([-0-9.]+)\s+([-0-9.]+)\s+([-0-9.]+)\s*\])");
  std::smatch m;
  if (!std::regex_search(pdf, m, box)) return {0, 0};
  return {std::stod(m[3]) - std::stod(m[1]), std::stod(m[4]) - std::stod(m[2])};
}

// The whole drive has one deadline, well inside the test's own time, so a page that never gets
// where it should ends the run with the step it stopped at instead of reaching the test's timeout.
constexpr auto kDriveLimit = 150s;
// The run must end this long after the quit; else the process ends with a message.
constexpr auto kQuitLimit = 45s;

TEST(StartupPagesBrowser, MainShowsItselfOpensAViewerAndPrintSavesAPdf) {
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  ASSERT_TRUE(fs::exists(bin / "resource.dat"));
  // Under /tmp whatever TMPDIR says: the socket's path must stay short.
  std::string folder = "/tmp/pel-pages-XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  fs::create_directory(folder + "/run");
  fs::permissions(folder + "/run", fs::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", (folder + "/run").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
  // "+", "#" and a space survive the road from the path field to the viewer's own reading.
  const std::string photo = folder + "/a b+c #1.png";
  makePicture(photo);
  const std::string pdf = folder + "/out.pdf";

  std::atomic<bool> finished{false};
  std::string step = "main.w ready";  // the step the drive is at, for the failure messages
  std::string mainState, opened, viewerState, viewerFile, viewerHref, printed, printStatus, printOpened;
  Seen mainSeen, viewerSeen;
  std::mutex quitMutex;
  std::condition_variable quitDone;
  bool runEnded = false;
  std::thread driver([&] {
    const auto deadline = std::chrono::steady_clock::now() + kDriveLimit;
    auto left = [&] {
      const auto rest = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
      return std::max(rest, std::chrono::seconds(1));
    };
    auto past = [&] { return std::chrono::steady_clock::now() >= deadline; };
    mainState = waitForValue("document.body && document.body.dataset.state || ''", {"\"ready\"", "\"error\""},
                             left());
    mainSeen = lookAt("mainwindow");
    if (mainState == "\"ready\"" && !past()) {
      // View: a window "viewer_1" on the viewer page for the typed path.
      step = "viewer_1 opened";
      evaluate("document.getElementById('path').value = " + json(photo).dump() +
               "; document.getElementById('view').click(); 1");
      waitForValue("document.body.dataset.state", {"\"opened\"", "\"error\""}, left());
      opened = evaluate("document.body.dataset.opened");
      step = "viewer_1 loaded";
      viewerState = waitForValue("document.body && document.body.dataset.state || ''",
                                 {"\"loaded\"", "\"error\""}, left(), "viewer_1");
      viewerFile = evaluate("document.body.dataset.file", "viewer_1");
      viewerHref = evaluate("location.href", "viewer_1");
      viewerSeen = lookAt("viewer_1");

      // Print: the print page for the same path, Letter in landscape, saved as a PDF.
      step = "print_2 opened";
      if (!past()) evaluate("document.getElementById('print').click(); 1");
      waitForValue("document.body.dataset.opened", {"\"print_2\""}, left());
      printOpened = evaluate("document.body.dataset.opened");
      step = "print_2 loaded";
      if (!past() && waitForValue("document.body && document.body.dataset.state || ''",
                                  {"\"loaded\"", "\"error\""}, left(), "print_2") == "\"loaded\"") {
        step = "print_2 printed";
        evaluate("(() => { const set = (id, v) => { const e = document.getElementById(id); e.value = v;"
                 " e.dispatchEvent(new Event('change')); };"
                 " set('paper', '1'); set('orientation', '1');"
                 " document.getElementById('pdfPath').value = " + json(pdf).dump() + ";"
                 " document.getElementById('pdf').click(); return 1; })()",
                 "print_2");
        printed = waitForValue("document.body.dataset.state", {"\"printed\"", "\"error\""}, left(), "print_2");
        printStatus = evaluate("document.getElementById('status').textContent", "print_2");
      }
    }
    if (!past()) step = "done";
    finished = true;
    zrk::App::instance()->quit(0);
    // A run that does not end after the quit would hold the test until its timeout: say so.
    std::unique_lock lock(quitMutex);
    if (!quitDone.wait_for(lock, kQuitLimit, [&] { return runEnded; })) {
      std::fprintf(stderr, "The application's run did not end within %lld s of the quit (drive at: %s)\n",
                   static_cast<long long>(kQuitLimit.count()), step.c_str());
      std::fflush(stderr);
      std::_Exit(1);
    }
  });

  const int code = runApplication([](zrk::WindowOptions&) { return configureApplication(); },
                                  [](std::shared_ptr<zrk::App> app) { app->clearWindows(); },
                                  [] { return std::vector<std::string>{"pelmora"}; });
  {
    std::lock_guard lock(quitMutex);
    runEnded = true;
  }
  quitDone.notify_all();
  driver.join();
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(finished);
  EXPECT_EQ(step, "done") << "the drive stopped at its deadline";

  // main.w showed its hidden window.
  ASSERT_EQ(mainState, "\"ready\"");
  EXPECT_TRUE(mainSeen.visible);
  EXPECT_EQ(mainSeen.title, "Pelmora");

  // The viewer: its label, its address (the path encoded as the program encodes it), the file it
  // read back from that address, its title and visibility.
  EXPECT_EQ(opened, "\"viewer_1\"");
  EXPECT_EQ(viewerState, "\"loaded\"");
  EXPECT_EQ(viewerFile, json(photo).dump());
  ASSERT_FALSE(viewerHref.empty());
  const std::string href = json::parse(viewerHref).get<std::string>();
  const std::string tail = "/viewer.w?file=" + encodeFilePath(photo);
  EXPECT_TRUE(href.size() > tail.size() && href.compare(href.size() - tail.size(), tail.size(), tail) == 0)
      << href;
  EXPECT_TRUE(viewerSeen.exists);
  EXPECT_TRUE(viewerSeen.visible);
  EXPECT_EQ(viewerSeen.title, "Pelmora - Viewer");

  // The PDF: written, and its page Letter (216 x 279 mm) turned to landscape.
  EXPECT_EQ(printOpened, "\"print_2\"");
  EXPECT_EQ(printed, "\"printed\"") << printStatus;
  std::ifstream in(pdf, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string content = bytes.str();
  ASSERT_EQ(content.rfind("%PDF-", 0), 0u) << content.size();
  const auto [width, height] = mediaBox(content);
  EXPECT_NEAR(width, 279 * 72 / 25.4, 3);
  EXPECT_NEAR(height, 216 * 72 / 25.4, 3);

  if (auto env = zrk::currentWebEnvironment()) env->close();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
