// The program's editor in the real Chromium, driven as a user would: rotate and Save on a PNG
// (its pixels turned) and on a JPEG (its orientation tag changed, the picture not re-encoded),
// then Save as WebP; every file read back through the codec library.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "browser_helpers.h"
#include "src/codec-library.h"
#include "src/startup.h"

using json = nlohmann::json;

namespace {

namespace fs = std::filesystem;
using pel::test::evaluate;
using pel::test::waitForValue;

struct Rgb {
  int r, g, b;
};
constexpr Rgb kRed{220, 0, 0}, kGreen{0, 200, 0}, kBlue{0, 0, 220}, kYellow{230, 230, 0};

// 60 x 40: red, green over blue, yellow.
void makeQuadrants(const std::string& path) {
  const int w = 60, h = 40;
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb c = y < h / 2 ? (x < w / 2 ? kRed : kGreen) : (x < w / 2 ? kBlue : kYellow);
      unsigned char* p = &pixels[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<unsigned char>(c.r);
      p[1] = static_cast<unsigned char>(c.g);
      p[2] = static_cast<unsigned char>(c.b);
    }
  }
  const std::string spec = R"({"width":60,"height":40,"nchannels":3,"format":"uint8"})";
  auto& codec = zrk::CodecLibrary::instance();
  ASSERT_TRUE(codec.outputImage(path.c_str(), spec.c_str(), pixels.data(),
                                static_cast<int32_t>(pixels.size()), R"({"quality":95})"))
      << codec.getLastError();
}

json infoOf(const std::string& path) {
  auto& codec = zrk::CodecLibrary::instance();
  int32_t length = 0;
  char* text = codec.getImageInfo(path.c_str(), &length, 0, 0);
  if (text == nullptr) return json();
  json info = json::parse(std::string(text, static_cast<size_t>(length)));
  codec.freeResource(text);
  return info;
}

// The colour at the centre of each quadrant of the picture as shown (orientation applied):
// top left, top right, bottom right, bottom left.
std::vector<Rgb> quadrants(const std::string& path) {
  const json info = infoOf(path);
  const int w = info.value("orientedWidth", 0), h = info.value("orientedHeight", 0);
  auto& codec = zrk::CodecLibrary::instance();
  int32_t length = 0;
  unsigned char* rgba = codec.readImageRgba(path.c_str(), &length, 0, 0, 0, 0, true);
  std::vector<Rgb> result;
  if (rgba == nullptr || length < w * h * 4) return result;
  for (auto [fx, fy] : {std::pair{0.25, 0.25}, {0.75, 0.25}, {0.75, 0.75}, {0.25, 0.75}}) {
    const unsigned char* p =
        rgba + (static_cast<size_t>(h * fy) * w + static_cast<size_t>(w * fx)) * 4;
    result.push_back({p[0], p[1], p[2]});
  }
  codec.freeResource(rgba);
  return result;
}

void expectColours(const std::vector<Rgb>& got, const std::vector<Rgb>& expected,
                   const std::string& what) {
  ASSERT_EQ(got.size(), expected.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i].r, expected[i].r, 40) << what << " quadrant " << i;
    EXPECT_NEAR(got[i].g, expected[i].g, 40) << what << " quadrant " << i;
    EXPECT_NEAR(got[i].b, expected[i].b, 40) << what << " quadrant " << i;
  }
}

constexpr char kState[] = "document.body && document.body.dataset.state || ''";
constexpr char kStatus[] = "document.getElementById('status').textContent";

TEST(StartupEditorBrowser, RotateAndSaveThenSaveAsAnotherFormat) {
  // Under /tmp whatever TMPDIR says: the socket's path must stay short.
  std::string folder = "/tmp/pel-edit-XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  fs::create_directory(folder + "/run");
  fs::permissions(folder + "/run", fs::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", (folder + "/run").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
  const std::string png = folder + "/edit me.png";
  const std::string jpeg = folder + "/edit+me.jpg";
  const std::string webp = folder + "/saved as.webp";
  makeQuadrants(png);
  makeQuadrants(jpeg);

  std::vector<std::string> states, statuses;
  std::thread driver([&] {
    auto step = [&](const std::string& action, const char* until) {
      if (!action.empty()) evaluate(action);
      states.push_back(waitForValue(kState, {until, "\"error\""}));
      statuses.push_back(evaluate(kStatus));
    };
    step("", "\"loaded\"");
    step("document.getElementById('rotateRight').click(); document.getElementById('save').click(); 1",
         "\"saved\"");
    step("location.href = 'editor.w?file=' + Pelmora.encodePath(" + json(jpeg).dump() + "); 1",
         "\"loaded\"");
    step("document.getElementById('rotateRight').click(); document.getElementById('save').click(); 1",
         "\"saved\"");
    step("document.getElementById('saveAsPath').value = " + json(webp).dump() +
             "; document.getElementById('saveAs').click(); 1",
         "\"saved\"");
    zrk::App::instance()->quit(0);
  });
  const int code = runApplication([](zrk::WindowOptions&) { return configureApplication(); },
                                  [](std::shared_ptr<zrk::App> app) { app->clearWindows(); },
                                  [&] { return std::vector<std::string>{"pelmora", "-edit", png}; });
  driver.join();
  EXPECT_EQ(code, 0);
  const std::vector<std::string> expected = {"\"loaded\"", "\"saved\"", "\"loaded\"", "\"saved\"",
                                             "\"saved\""};
  ASSERT_EQ(states, expected) << ::testing::PrintToString(statuses);

  // The PNG's pixels were turned: 40 x 60, blue now at the top left.
  json info = infoOf(png);
  EXPECT_EQ(info["width"], 40);
  EXPECT_EQ(info["height"], 60);
  expectColours(quadrants(png), {kBlue, kRed, kGreen, kYellow}, "png");

  // The JPEG keeps its stored picture and says "turn right".
  info = infoOf(jpeg);
  EXPECT_EQ(info["width"], 60);
  EXPECT_EQ(info["orientation"], 6);
  expectColours(quadrants(jpeg), {kBlue, kRed, kGreen, kYellow}, "jpeg");

  // The WebP shows what the JPEG shows.
  info = infoOf(webp);
  EXPECT_EQ(info["format"], "webp");
  EXPECT_EQ(info["orientedWidth"], 40);
  EXPECT_EQ(info["orientedHeight"], 60);
  expectColours(quadrants(webp), {kBlue, kRed, kGreen, kYellow}, "webp");

  if (auto env = zrk::currentWebEnvironment()) env->close();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
