// The webview plugin in the real Chromium: a second webview made by "create" loads its page out of
// a folder the app plugin added, shows its background colour, and is gone after "close".
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "desk/gfx/bitmap.h"
#include "desk/gfx/image_file.h"
#include "desk/window.h"
#include "support/chromium_suite.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/http-plugins/app/app-plugin.h"
#include "zrkwebview/browser/src/http-plugins/webview/webview-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using pel::chromium::pumpFor;
using pel::chromium::pumpUntil;

struct Answer {
  int status = -1;
  std::string message;
  std::string body;
};

Answer answerOf(const std::shared_ptr<Vesk::TObject>& object) {
  Answer a;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(object);
  if (!response) return a;
  a.status = response->status();
  a.message = response->statusMessage();
  for (std::string piece; !(piece = response->read(4096)).empty();) a.body += piece;
  return a;
}

Answer webviewCall(const std::string& command, json body) {
  zrk::plugin::WebviewPlugin plugin;
  return answerOf(plugin.invoke(command, nullptr, nullptr, nullptr, body));
}

// The pixel of the webview's page at (x, y), as it is shown; nothing when it cannot be captured.
std::optional<desk::gfx::Argb> shownPixel(zrk::ZrkWebview& webview, int x, int y) {
  auto view = webview.engineView();
  if (!view) return std::nullopt;
  bool done = false;
  std::string png;
  view->capturePng([&](desk::web::Result r, const std::string& bytes) {
    if (r == desk::web::Result::ok) png = bytes;
    done = true;
  });
  if (!pumpUntil([&] { return done; }, 30s) || png.empty()) return std::nullopt;
  auto bitmap = desk::gfx::decodeImage(reinterpret_cast<const uint8_t*>(png.data()), png.size());
  if (!bitmap || x >= bitmap->width() || y >= bitmap->height()) return std::nullopt;
  return bitmap->pixel(x, y);
}

class WebviewPluginChromiumTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pel::chromium::Suite::begin("zrkwvplugin");
    folder = pel::chromium::Suite::folder();
    std::ofstream(folder + "/main.html") << "<!doctype html><title>main</title><p>main</p>";
    std::ofstream(folder + "/side.html") << "<!doctype html><title>side</title>";
    zrk::installZrkWebviewMaker();
  }
  static void TearDownTestSuite() {
    pel::chromium::endApp();
    pel::chromium::Suite::end();
  }
  void TearDown() override {
    if (window && desk::IsWindow(window->nativeHandle())) window->destroy();
    pumpFor(50ms);
  }

  static inline std::string folder;
  std::shared_ptr<zrk::Window> window;
};

TEST_F(WebviewPluginChromiumTest, ASecondWebviewLoadsShowsItsColourAndCloses) {
  ASSERT_FALSE(folder.empty());
  zrk::plugin::AppPlugin app;
  ASSERT_EQ(answerOf(app.invoke("add_host_location", nullptr, nullptr, nullptr,
                                {{"location", "/wvpages"}, {"path", folder}}))
                .status,
            200);
  const std::string base = std::string("https://") + zrk::kAppDomain + "/wvpages/";
  zrk::WindowOptions options;
  options.width = 640;
  options.height = 480;
  window = zrk::createWindow(zrk::App::instance().get(), "main", base + "main.html", options);
  ASSERT_TRUE(window);

  const Answer made = webviewCall("create", {{"windowLabel", "main"},
                                             {"label", "side"},
                                             {"options", {{"url", base + "side.html"},
                                                          {"x", 0},
                                                          {"y", 0},
                                                          {"width", 200},
                                                          {"height", 150},
                                                          {"resizingMask", 0}}}});
  ASSERT_EQ(made.status, 200) << made.message;
  EXPECT_EQ(made.body, "\"side\"");
  std::shared_ptr<zrk::ZrkWebview> side;
  ASSERT_TRUE(pumpUntil([&] {
    side = std::dynamic_pointer_cast<zrk::ZrkWebview>(window->findWebview("side"));
    return side && side->engineView() && side->evaluateScriptSync("document.title") == "\"side\"";
  }));

  const json target = {{"windowLabel", "main"}, {"label", "side"}};
  json colour = target;
  colour["argb"] = -16744448;  // 0xFF008000, as a page's signed arithmetic gives it
  ASSERT_EQ(webviewCall("set_background_color", colour).message, "OK");
  EXPECT_EQ(webviewCall("get_background_color", target).body, "4278222848");
  std::optional<desk::gfx::Argb> pixel;
  EXPECT_TRUE(pumpUntil([&] {
    pixel = shownPixel(*side, 20, 20);
    return pixel && *pixel == desk::gfx::argb(255, 0, 128, 0);
  }, 30s)) << (pixel ? *pixel : 0u);

  EXPECT_EQ(webviewCall("close", target).body, "true");
  EXPECT_EQ(webviewCall("get_size", target).message, "the given label of webview was not found.");
  EXPECT_NE(window->findWebview("main_webview"), nullptr);
}

}  // namespace

namespace {

// A child webview placed by its creation options keeps that place and size, with the default
// resizing mask as with none, and follows the window by its mask afterwards.
TEST_F(WebviewPluginChromiumTest, AChildWebviewReportsThePlaceItWasCreatedAt) {
  zrk::WindowOptions options;
  options.width = 600;
  options.height = 450;
  window = zrk::createWindow(zrk::App::instance().get(), "main", "about:blank", options);
  ASSERT_TRUE(window);
  struct Case {
    const char* label;
    json mask;  // null: the default
  };
  const Case cases[] = {{"v1", nullptr}, {"v2", 0}, {"v3", 18}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    json made = {{"x", 10}, {"y", 20}, {"width", 200}, {"height", 100}, {"url", "about:blank"}};
    if (!c.mask.is_null()) made["resizingMask"] = c.mask;
    const Answer created = webviewCall("create", {{"windowLabel", "main"}, {"label", c.label}, {"options", made}});
    ASSERT_EQ(created.status, 200) << created.message;
    std::shared_ptr<zrk::ZrkWebview> webview;
    ASSERT_TRUE(pumpUntil([&] {
      webview = std::dynamic_pointer_cast<zrk::ZrkWebview>(window->findWebview(c.label));
      return webview && webview->engineView();
    }));
    pumpUntil([] { return false; }, 200ms);  // whatever the creation still queued has run
    const json target = {{"windowLabel", "main"}, {"label", c.label}};
    EXPECT_EQ(json::parse(webviewCall("get_position", target).body), json({{"x", 10}, {"y", 20}}));
    EXPECT_EQ(json::parse(webviewCall("get_size", target).body), json({{"width", 200}, {"height", 100}}));
  }
  // Mask 18 (width and height sizable): a wider window widens the webview by as much, in place.
  const desk::HWND hwnd = window->nativeHandle();
  desk::RECT frame{};
  desk::GetWindowRect(hwnd, &frame);
  desk::SetWindowPos(hwnd, nullptr, 0, 0, frame.right - frame.left + 100, frame.bottom - frame.top + 50,
                     desk::SWP_NOMOVE | desk::SWP_NOZORDER);
  pumpUntil([] { return false; }, 200ms);
  const json v3 = {{"windowLabel", "main"}, {"label", "v3"}};
  EXPECT_EQ(json::parse(webviewCall("get_position", v3).body), json({{"x", 10}, {"y", 20}}));
  EXPECT_EQ(json::parse(webviewCall("get_size", v3).body), json({{"width", 300}, {"height", 150}}));
  const json v2 = {{"windowLabel", "main"}, {"label", "v2"}};
  EXPECT_EQ(json::parse(webviewCall("get_size", v2).body), json({{"width", 200}, {"height", 100}}));
}

}  // namespace
