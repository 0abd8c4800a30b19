// A cancel reaches a running conversion through the real request dispatch on the fake engine:
// the conversion holds "http_requests-1", the cancel is claimed for "plugin-requests-1".
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "../../zrkwebview/webview/page_harness.h"
#include "desk/message.h"
#include "desk/web/fake_engine.h"
#include "libdispatch/src/dispatch.h"
#include "src/getimage-handler.h"
#include "support/fake_rastcore/fake_rastcore.h"
#include "support/fake_webview.h"
#include "tests/src/getimage/endpoint_support.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/request-dispatch.h"

namespace {

using namespace std::chrono_literals;
using desk::web::FakeRequestRecord;
using State = FakeRequestRecord::State;
using nlohmann::json;

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    if (done()) break;
    desk::MsgWaitForMultipleObjects(0, nullptr, false, 5, desk::QS_ALLINPUT);
  }
  return true;
}

class PageWebview : public pel::test::FakeWebview {
 public:
  using FakeWebview::FakeWebview;
  std::shared_ptr<zrk::RequestDispatch> dispatch;
};

class GetImageDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch_init();
    http::registerGetImageHandler();
    fake.reset();
    engine = desk::web::FakeEngine::create();
    auto executor = [](std::function<void()> work) {
      dispatch_async(dispatch_get_main_queue(), std::move(work));
    };
    engine->createEnvironment({}, executor,
                              [this](desk::web::Result, std::shared_ptr<desk::web::Environment> e,
                                     const std::string&) { environment = e; });
    ASSERT_TRUE(pumpUntil([&] { return environment != nullptr; }));
    std::shared_ptr<desk::web::Webview> made;
    environment->createWebview(
        [&](desk::web::Result, std::shared_ptr<desk::web::Webview> w) { made = std::move(w); });
    ASSERT_TRUE(pumpUntil([&] { return made != nullptr; }));
    engineView = engine->webviews().at(0);
    engineView->addRequestFilter("zrk.test");
    engineView->addRequestFilter(".zrk.test");
    window = app.addWindow("main");
    webview = std::make_shared<PageWebview>("main_webview", window.get());
    webview->setDelegate(std::make_shared<zrk::Webview2Delegate>(window, webview));
    webview->dispatch = zrk::RequestDispatch::create(webview);
    window->addWebview(webview, true);
    dispatch = webview->dispatch;
    desk::web::WebviewEvents events;
    std::weak_ptr<zrk::RequestDispatch> weak = dispatch;
    events.resourceRequested = [weak](desk::web::ResourceRequestedEvent& event) {
      if (auto d = weak.lock()) d->onResourceRequested(event);
    };
    engineView->setEvents(events);
  }
  void TearDown() override {
    if (dispatch) pumpUntil([&] { return dispatch->pendingCount() == 0; });
  }

  std::shared_ptr<FakeRequestRecord> post(const json& options) {
    desk::web::Headers headers{{"zrk-image-options", endpoint::options(options)}};
    return engineView->raiseRequest({"POST", "https://zrk.test/getimage", headers, ""});
  }
  static bool ended(const std::shared_ptr<FakeRequestRecord>& r) {
    return r->state() != State::pending;
  }

  FakeRastcore fake{endpoint::programFolder() + "/librastcore.so"};
  pel::test::TestApp app;
  std::shared_ptr<desk::web::FakeEngine> engine;
  std::shared_ptr<desk::web::Environment> environment;
  std::shared_ptr<desk::web::FakeWebview> engineView;
  std::shared_ptr<zrk::Window> window;
  std::shared_ptr<PageWebview> webview;
  std::shared_ptr<zrk::RequestDispatch> dispatch;
};

TEST_F(GetImageDispatchTest, CancelFromThePageStopsARunningConversion) {
  fake.script("c_copy_image_to", 1);
  fake.quitPolls(20000);  // about 20 s of polling unless cancelled
  fake.quitPauseMs(1);
  const json convert = {{"action", "convert"}, {"src", "/a.png"}, {"dst", "/b.jpg"},
                        {"cancelable", true}, {"jid", "job"}};
  auto conversion = post(convert);
  ASSERT_TRUE(pumpUntil([&] { return ImageJobRegistry::count("job") == 1; }, 10s));
  const auto sent = std::chrono::steady_clock::now();
  auto cancel = post({{"action", "cancel"}, {"jid", "job"}});
  ASSERT_TRUE(pumpUntil([&] { return ended(conversion) && ended(cancel); }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
  EXPECT_EQ(cancel->state(), State::answered);
  EXPECT_EQ(cancel->response().status, 200);
  EXPECT_EQ(conversion->state(), State::answered);
  EXPECT_EQ(conversion->response().status, 500);
  EXPECT_EQ(conversion->response().reason, "cancelled");
  EXPECT_EQ(ImageJobRegistry::count("job"), 0);
}

TEST_F(GetImageDispatchTest, ACancelBeforeTheConversionChangesNothing) {
  auto cancel = post({{"action", "cancel"}, {"jid", "early"}});
  ASSERT_TRUE(pumpUntil([&] { return ended(cancel); }));
  EXPECT_EQ(cancel->response().status, 200);
  fake.script("c_copy_image_to", 1);
  fake.quitPolls(3);
  auto conversion = post({{"action", "convert"}, {"src", "/a.png"}, {"dst", "/b.jpg"},
                          {"cancelable", true}, {"jid", "early"}});
  ASSERT_TRUE(pumpUntil([&] { return ended(conversion); }));
  EXPECT_EQ(conversion->response().status, 200);
}

}  // namespace
