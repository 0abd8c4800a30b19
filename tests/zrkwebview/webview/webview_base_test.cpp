// The webview base class. The webview counter and the channel-id pool are process-wide, so this
// executable's tests run in file order and count from a fresh process.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "zrkwebview/browser/src/resource.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;

// A webview with the base behaviours only.
class BareWebview : public zrk::Webview {
 public:
  using zrk::Webview::Webview;
  zrk::FloatPoint position() override { return {}; }
  void setPosition(zrk::FloatPoint) override {}
  zrk::FloatSize size() override { return {}; }
  void setSize(zrk::FloatSize) override {}
  desk::HWND browserWindowHandle() override { return nullptr; }
  void print(const json&) override {}
  void setZoomControlEnabled(bool) override {}
  bool isZoomControlEnabled() override { return false; }
  double setZoomFactor(double) override { return 1; }
  void setDevToolsEnabled(bool) override {}
  bool isDevToolsEnabled() override { return false; }
  void showDevTools() override {}
  void closeDevTools() override {}
  bool isDevToolsVisible() override { return false; }
  void setBackgroundColor(uint32_t) override {}
  uint32_t backgroundColor() override { return 0; }
};

std::string channelDataScript(uint32_t dataId, uint32_t callback) {
  const std::string id = std::to_string(dataId);
  const std::string cb = std::to_string(callback);
  return ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
         "window.__zrk_internals__.invoke( 'plugin:__zrk_channel__|fetch', null, { headers:{ "
         "'zrk-channel-id': '" + id + "' } } ).then( function(response){ console.log('call channel "
         "message action: ' + '_' + " + cb + "); window['_' + " + cb + "](response) })"
         ".catch(console.error); })();";
}

TEST(WebviewBaseTest, ConstructionNumbersResourceManagersAndKeepsTheWindowWeakly) {
  auto window = std::make_shared<zrk::Window>();
  window->setLabel("main");
  uint32_t firstIds[3];
  {
    auto first = std::make_shared<BareWebview>("a", window.get());
    auto second = std::make_shared<BareWebview>("", window.get());
    firstIds[0] = first->resourceManager()->nextId();
    firstIds[1] = second->resourceManager()->nextId();
    EXPECT_EQ(second->label().rfind("webview_", 0), 0u) << second->label();
    EXPECT_GT(second->label().size(), 8u);
    EXPECT_EQ(first->window(), window);
    EXPECT_EQ(first->resizingMask(), 18);
    EXPECT_EQ(first->delegate(), nullptr);
    EXPECT_EQ(first->resourceManager(), first->resourceManager());
  }
  // Made after the first two are gone: the numbering goes on.
  auto third = std::make_shared<BareWebview>("c", window.get());
  firstIds[2] = third->resourceManager()->nextId();
  EXPECT_EQ(firstIds[0], 5000u);
  EXPECT_EQ(firstIds[1], 10000u);
  EXPECT_EQ(firstIds[2], 15000u);

  window.reset();
  EXPECT_EQ(third->window(), nullptr);

  zrk::Window unshared;
  EXPECT_THROW(BareWebview("d", &unshared), std::bad_weak_ptr);
}

TEST(WebviewBaseTest, ChannelTableSendTakeAndReuse) {
  auto window = std::make_shared<zrk::Window>();
  auto webview = std::make_shared<FakeWebview>("main", window.get());

  // The first send of the process parks under id 1 and tells the page to fetch it for _42.
  webview->sendChannelData(42, json{{"k", "v"}});
  ASSERT_EQ(webview->scripts().size(), 1u);
  EXPECT_EQ(webview->scripts()[0], channelDataScript(1, 42));
  EXPECT_EQ(webview->flags(), std::vector<bool>{true});

  json out = "untouched";
  EXPECT_TRUE(webview->takeChannelData(1, out, false));
  EXPECT_EQ(out, (json{{"k", "v"}}));
  out = nullptr;
  EXPECT_TRUE(webview->takeChannelData(1, out, true));
  EXPECT_EQ(out, (json{{"k", "v"}}));
  out = "untouched";
  EXPECT_FALSE(webview->takeChannelData(1, out, true));
  EXPECT_EQ(out, "untouched");

  // Id 1 came back; the next sends take it, then fresh ones.
  webview->sendChannelData(7, 1);  // id 1
  webview->sendChannelData(7, 2);  // id 2
  webview->sendChannelData(7, 3);  // id 3
  // Given back in the order 3, 1: handed out again in that order.
  ASSERT_TRUE(webview->takeChannelData(3, out, true));
  ASSERT_TRUE(webview->takeChannelData(1, out, true));
  webview->clearRecords();
  webview->sendChannelData(8, "x");
  webview->sendChannelData(8, "y");
  webview->sendChannelData(8, "z");
  const auto scripts = webview->scripts();
  ASSERT_EQ(scripts.size(), 3u);
  EXPECT_EQ(scripts[0], channelDataScript(3, 8));
  EXPECT_EQ(scripts[1], channelDataScript(1, 8));
  EXPECT_EQ(scripts[2], channelDataScript(4, 8));

  // An id given back twice goes out only once: a second owner would take the first's data.
  ASSERT_TRUE(webview->takeChannelData(4, out, true));
  webview->park(4, "again");
  ASSERT_TRUE(webview->takeChannelData(4, out, true));
  webview->clearRecords();
  webview->sendChannelData(9, "p");
  webview->sendChannelData(9, "q");
  EXPECT_EQ(webview->scripts()[0], channelDataScript(4, 9));
  EXPECT_EQ(webview->scripts()[1], channelDataScript(5, 9));

  // An id parked outside the pool and fetched is not handed out.
  webview->park(4294967295u, true);
  ASSERT_TRUE(webview->takeChannelData(4294967295u, out, true));
  webview->clearRecords();
  webview->sendChannelData(9, "r");
  EXPECT_EQ(webview->scripts()[0], channelDataScript(6, 9));
}

TEST(WebviewBaseTest, ChannelMessageCarriesItsOrder) {
  FakeWebview webview("solo");  // a webview needs no window for its channel
  webview.sendChannelMessage(7, json{{"a", 1}}, 12);
  ASSERT_EQ(webview.scripts().size(), 1u);
  const std::string script = webview.scripts()[0];
  const std::string dataId = std::to_string(7);  // ids 1..6 are parked by the earlier test
  EXPECT_EQ(script,
            ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
            "window.__zrk_internals__.invoke( 'plugin:__zrk_channel__|fetch', null, { headers:{ "
            "'zrk-channel-id': '" + dataId + "' } } ).then( function(response){ window['_' + "
            "7]({ message: response, id: 12 }) }).catch(console.error); })();");
  json out;
  EXPECT_TRUE(webview.takeChannelData(7, out, false));
  EXPECT_EQ(out, (json{{"a", 1}}));
}

TEST(WebviewBaseTest, BaseOperationsOfAWebviewWithoutEngine) {
  auto window = std::make_shared<zrk::Window>();
  BareWebview webview("bare", window.get());

  bool called = false;
  EXPECT_FALSE(webview.create(zrk::WebviewOptions{}, [&](zrk::Webview*, bool) { called = true; }));
  EXPECT_FALSE(webview.addScriptOnDocumentCreated("x", [&](const std::string&) { called = true; }));
  EXPECT_EQ(webview.evaluateScript("x", [&](const zrk::EvalCallbackContext&) { called = true; }, true), 1);
  EXPECT_FALSE(called);
  EXPECT_THROW(webview.close(), std::logic_error);
  EXPECT_EQ(webview.passThrough(-77), -77);
  // Without an engine, a send parks its data all the same.
  webview.sendChannelData(1, "kept");
  json out;
  EXPECT_TRUE(webview.takeChannelData(8, out, true));
  EXPECT_EQ(out, "kept");
}

}  // namespace
