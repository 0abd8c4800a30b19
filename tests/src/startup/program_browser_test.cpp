// The program as a user starts it, in the real Chromium: `-view` on a JPEG whose orientation says
// "turn right" shows the picture turned, each colour where the turned picture puts it. The test
// runs beside the packed pages and the codec library, as the program does.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/web/engine.h"
#include "libdispatch/src/dispatch.h"
#include "src/codec-library.h"
#include "src/startup.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"
#include "browser_helpers.h"

using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

namespace fs = std::filesystem;
using pel::test::capture;
using pel::test::engineView;
using pel::test::evaluate;

struct Rgb {
  int r, g, b;
};

// A 200 x 100 JPEG: red, green over blue, yellow, stored with orientation 6.
void makeQuadrants(const std::string& path) {
  const int w = 200, h = 100;
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool right = x >= w / 2, bottom = y >= h / 2;
      const Rgb c = !bottom ? (right ? Rgb{0, 200, 0} : Rgb{220, 0, 0})
                            : (right ? Rgb{230, 230, 0} : Rgb{0, 0, 220});
      unsigned char* p = &pixels[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<unsigned char>(c.r);
      p[1] = static_cast<unsigned char>(c.g);
      p[2] = static_cast<unsigned char>(c.b);
    }
  }
  const std::string spec = R"({"width":200,"height":100,"nchannels":3,"format":"uint8"})";
  zrk::CodecLibrary& codec = zrk::CodecLibrary::instance();
  ASSERT_TRUE(codec.outputImage(path.c_str(), spec.c_str(), pixels.data(),
                                static_cast<int32_t>(pixels.size()), R"({"quality":95})"))
      << codec.getLastError();
  ASSERT_TRUE(codec.modifyJpegOrientation(path.c_str(), 6)) << codec.getLastError();
}

TEST(StartupProgramBrowser, ViewShowsAJpegTurnedAsItsOrientationSays) {
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  ASSERT_TRUE(fs::exists(bin / "resource.dat"));
  // Under /tmp whatever TMPDIR says: the socket's path must stay short.
  std::string folder = "/tmp/pel-view-XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  fs::create_directory(folder + "/run");
  fs::permissions(folder + "/run", fs::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", (folder + "/run").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
  const std::string photo = folder + "/turn me #1.jpg";
  makeQuadrants(photo);
  // Its folder, as "read_dir" lists it: the viewer walks it in name order.
  fs::copy_file(photo, folder + "/a first.jpg");
  fs::copy_file(photo, folder + "/z last.jpg");
  std::ofstream(folder + "/notes.txt") << "not an image";

  std::atomic<bool> finished{false};
  std::string state, box, png;
  std::vector<std::string> walks, files;
  std::thread driver([&] {
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (dispatch_get_main_queue() && engineView()) {
        state = evaluate("document.body && document.body.dataset.state || ''");
        if (state == "\"loaded\"" || state == "\"error\"") break;
      }
      std::this_thread::sleep_for(200ms);
    }
    if (state == "\"loaded\"") {
      std::this_thread::sleep_for(300ms);  // the decoded image painted
      box = evaluate(
          "(() => { const r = document.getElementById('image').getBoundingClientRect();"
          " const d = window.devicePixelRatio || 1;"
          " return {x: r.left * d, y: r.top * d, w: r.width * d, h: r.height * d,"
          " file: document.body.dataset.file, nw: document.body.dataset.width,"
          " nh: document.body.dataset.height}; })()");
      png = capture();
      // Previous and next, offered because read_dir answered.
      const std::string file = "document.body.dataset.file";
      const std::string walk =
          "[document.getElementById('previous').hidden, document.getElementById('previous').disabled,"
          " document.getElementById('next').disabled]";
      walks.push_back(evaluate(walk));
      evaluate("document.getElementById('next').click(); 1");
      files.push_back(pel::test::waitForValue(file, {json(folder + "/z last.jpg").dump().c_str()}, 30s));
      walks.push_back(evaluate(walk));
      evaluate("document.getElementById('previous').click(); 1");
      files.push_back(pel::test::waitForValue(file, {json(photo).dump().c_str()}, 30s));
      evaluate("document.getElementById('previous').click(); 1");
      files.push_back(pel::test::waitForValue(file, {json(folder + "/a first.jpg").dump().c_str()}, 30s));
      walks.push_back(evaluate(walk));
    } else {
      box = evaluate("document.getElementById('status') && document.getElementById('status').textContent");
    }
    finished = true;
    zrk::App::instance()->quit(0);
  });

  const int code = runApplication([](zrk::WindowOptions&) { return configureApplication(); },
                                  [](std::shared_ptr<zrk::App> app) { app->clearWindows(); },
                                  [&] { return std::vector<std::string>{"pelmora", "-view", photo}; });
  driver.join();
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(finished);
  ASSERT_EQ(state, "\"loaded\"") << box;

  const json rect = json::parse(box);
  EXPECT_EQ(rect["file"], photo);
  EXPECT_EQ(rect["nw"], "100");  // turned: 100 wide, 200 high
  EXPECT_EQ(rect["nh"], "200");
  ASSERT_FALSE(png.empty());
  const std::string shot = (bin / "startup_view_capture.png").string();  // kept for a look
  std::ofstream(shot, std::ios::binary) << png;

  zrk::CodecLibrary& codec = zrk::CodecLibrary::instance();
  int32_t length = 0;
  char* infoText = codec.getImageInfo(shot.c_str(), &length, 0, 0);
  ASSERT_NE(infoText, nullptr);
  const json info = json::parse(std::string(infoText, static_cast<size_t>(length)));
  codec.freeResource(infoText);
  const int width = info["width"], height = info["height"];
  const int channels = info["nchannels"];
  unsigned char* rgba = codec.readImageRgba(shot.c_str(), &length, 0, 0, 0, 0, false);
  ASSERT_NE(rgba, nullptr);
  ASSERT_GE(length, width * height * 4);
  (void)channels;
  auto at = [&](double fx, double fy) {
    const int x = static_cast<int>(rect["x"].get<double>() + rect["w"].get<double>() * fx);
    const int y = static_cast<int>(rect["y"].get<double>() + rect["h"].get<double>() * fy);
    const unsigned char* p = rgba + (static_cast<size_t>(y) * width + x) * 4;
    return Rgb{p[0], p[1], p[2]};
  };
  // Turned right: blue comes to the top left, red to the top right, green to the bottom right,
  // yellow to the bottom left.
  struct Expected {
    double fx, fy;
    Rgb colour;
    const char* name;
  };
  for (const Expected& e : {Expected{0.25, 0.25, {0, 0, 220}, "blue"},
                            Expected{0.75, 0.25, {220, 0, 0}, "red"},
                            Expected{0.75, 0.75, {0, 200, 0}, "green"},
                            Expected{0.25, 0.75, {230, 230, 0}, "yellow"}}) {
    const Rgb got = at(e.fx, e.fy);
    EXPECT_NEAR(got.r, e.colour.r, 40) << e.name;
    EXPECT_NEAR(got.g, e.colour.g, 40) << e.name;
    EXPECT_NEAR(got.b, e.colour.b, 40) << e.name;
  }
  codec.freeResource(rgba);

  EXPECT_EQ(walks, (std::vector<std::string>{"[false,false,false]", "[false,false,true]",
                                             "[false,true,false]"}));
  EXPECT_EQ(files, (std::vector<std::string>{json(folder + "/z last.jpg").dump(), json(photo).dump(),
                                             json(folder + "/a first.jpg").dump()}));
  if (auto env = zrk::currentWebEnvironment()) env->close();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
