// The page-message bridge of the webview delegate.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "page_harness.h"
#include "support/fake_webview.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/webview-delegate.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;

std::string responseScript(const json& reply) {
  return "try{window.__zrk_msg__.response('" + zrk::escapeJsString(reply.dump()) +
         "'); } catch(ex){console.error(ex); }";
}

std::string callScriptText(const std::string& text) {
  return "try{window.__zrk_msg__.notify('" + text +
         "'); }catch(ex){console.error(ex);console.warn('WebViewJavascriptBridge not found in:' + "
         "window.location.href);console.log(window.WebViewJavascriptBridge);}";
}

std::string callScript(const json& message) { return callScriptText(zrk::escapeJsString(message.dump())); }

// A page message wrapping one bridge request.
std::string pageMessage(const json& request, const json& requestId = "r1") {
  return json{{"id", "1"},
              {"data", {{"requestId", requestId}, {"requestData", {{"action", "wvjsbridge"}, {"request", request}}}}}}
      .dump();
}

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = std::make_shared<zrk::Window>();
    webview = std::make_shared<FakeWebview>("main_webview", window.get());
    delegate = std::make_shared<zrk::WebviewDelegate>(window, webview);
    webview->setDelegate(delegate);
  }

  std::shared_ptr<zrk::Window> window;
  std::shared_ptr<FakeWebview> webview;
  std::shared_ptr<zrk::WebviewDelegate> delegate;
};

TEST_F(BridgeTest, PageMessages) {
  struct Case {
    const char* name;
    std::string message;
    std::vector<json> handled;        // what the handler "h" received
    std::vector<std::string> scripts;  // what the page was sent
    const char* logLine;              // nullptr: no error line
  };
  const json reply = {{"data", {{"requestId", "r1"}, {"response", {{"responseData", true}, {"responseId", "c1"}}}}},
                      {"id", "r1"},
                      {"result", true}};
  const Case cases[] = {
      {"call with a callback id", pageMessage({{"handlerName", "h"}, {"callbackId", "c1"}, {"data", 5}}),
       {{{"data", 5}, {"event", "h"}}}, {responseScript(reply)}, nullptr},
      {"call without a callback id", pageMessage({{"handlerName", "h"}, {"data", 5}}),
       {{{"data", 5}, {"event", "h"}}}, {}, nullptr},
      {"call without data", pageMessage({{"handlerName", "h"}}), {{{"data", nullptr}, {"event", "h"}}}, {}, nullptr},
      {"no handler", pageMessage({{"handlerName", "zz"}, {"data", 1}}), {}, {},
       "[WVJBNoHandlerException] no handler for message from JS: zz"},
      {"response id not a string", pageMessage({{"responseId", 3}, {"data", 1}}), {}, {},
       "[WVJBNoHandlerException] no handler for message from JS: \n"},
      {"numeric id", R"({"id":1,"data":{}})", {}, {},
       "Failed to parse message json data: unknown type of message id."},
      {"numeric request id", pageMessage({{"handlerName", "h"}}, 7), {}, {},
       "Failed to parse message json data: invalid request id"},
      {"other action", R"({"id":"1","data":{"requestId":"r","requestData":{"action":"other","request":{}}}})", {},
       {}, "Failed to parse message json data: unhandled action: other"},
      {"data not an object", R"({"id":"1","data":[]})", {}, {}, "Failed to parse message json data: invalid request data"},
      {"data missing", R"({"id":"1"})", {}, {}, "Failed to parse message json data: [json.exception.out_of_range.403]"},
      {"not JSON", "{nope", {}, {}, "Failed to parse message json data: [json.exception.parse_error"},
      {"handler throws", pageMessage({{"handlerName", "thrower"}, {"data", 1}}), {}, {},
       "Failed to parse message json data: boom"},
      {"handler throws a non-exception", pageMessage({{"handlerName", "text-thrower"}, {"data", 1}}), {}, {},
       "Failed to parse message json data: unknown exception"},
  };
  std::vector<json> handled;
  delegate->registerHandler("h", [&](const json& message, const zrk::WebviewDelegate::ReplyCallback& replyTo) {
    handled.push_back(message);
    replyTo(true);
  });
  delegate->registerHandler("thrower", [](const json&, const auto&) { throw std::runtime_error("boom"); });
  delegate->registerHandler("text-thrower", [](const json&, const auto&) { throw "text"; });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pel::test::LogCapture log(1);
    handled.clear();
    webview->clearRecords();
    delegate->onWebMessage(c.message);
    EXPECT_EQ(handled, c.handled);
    EXPECT_EQ(webview->scripts(), c.scripts);
    if (c.logLine != nullptr) {
      EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    } else {
      EXPECT_EQ(log.text(), "");
    }
  }
}

TEST_F(BridgeTest, NativeCallsAndThePageAnswers) {
  std::vector<json> answers;
  delegate->callHandler("ph", json{{"x", "it's\n\u2028"}},
                        [&](const json& value) { answers.push_back(value); });
  delegate->callHandler("plain");
  delegate->callHandler("with-data", 3);
  delegate->sendData(std::nullopt, nullptr, std::nullopt);
  const std::vector<std::string> expected = {
      callScript({{"callbackId", "cxx_cb_1"}, {"data", {{"x", "it's\n\u2028"}}}, {"handlerName", "ph"}}),
      callScript({{"handlerName", "plain"}}),
      callScript({{"data", 3}, {"handlerName", "with-data"}}),
      callScript(json::object()),
  };
  EXPECT_EQ(webview->scripts(), expected);
  EXPECT_EQ(webview->flags(), std::vector<bool>(4, true));

  delegate->onWebMessage(pageMessage({{"responseId", "cxx_cb_1"}, {"responseData", {{"ok", 1}}}}));
  delegate->onWebMessage(pageMessage({{"responseId", "cxx_cb_1"}, {"responseData", 2}}));  // answered already
  EXPECT_EQ(answers, (std::vector<json>{{{"ok", 1}}}));

  // An answer without data reaches its callback with null.
  delegate->callHandler("again", 1, [&](const json& value) { answers.push_back(value); });
  delegate->onWebMessage(pageMessage({{"responseId", "cxx_cb_2"}}));
  EXPECT_EQ(answers, (std::vector<json>{{{"ok", 1}}, nullptr}));

  // A notification runs with the given completion and the flag unset.
  webview->clearRecords();
  delegate->notify({{"a", "b'"}}, nullptr);
  EXPECT_EQ(webview->scripts(), std::vector<std::string>{"try{window.__zrk_msg__.notify('" +
                                                         zrk::escapeJsString(R"({"a":"b'"})") +
                                                         "'); } catch(ex){console.error(ex); }"});
  EXPECT_EQ(webview->flags(), std::vector<bool>{false});
}

TEST_F(BridgeTest, CallbackThatCallsTheBridgeFromInsideItself) {
  std::vector<std::string> order;
  delegate->callHandler("first", 1, [&](const json&) {
    order.push_back("first answered");
    // Registers another callback while the first runs: no deadlock.
    delegate->callHandler("second", 2, [&](const json&) { order.push_back("second answered"); });
  });
  delegate->onWebMessage(pageMessage({{"responseId", "cxx_cb_1"}}));
  delegate->onWebMessage(pageMessage({{"responseId", "cxx_cb_2"}}));
  EXPECT_EQ(order, (std::vector<std::string>{"first answered", "second answered"}));

  // A handler that calls the bridge while it runs.
  delegate->registerHandler("h", [&](const json&, const zrk::WebviewDelegate::ReplyCallback& reply) {
    delegate->registerHandler("later", [](const json&, const auto&) {});
    delegate->removeHandler("h");
    reply("done");
  });
  webview->clearRecords();
  delegate->onWebMessage(pageMessage({{"handlerName", "h"}, {"callbackId", "c9"}, {"data", 0}}));
  EXPECT_EQ(webview->scripts().size(), 1u);
  pel::test::LogCapture log(1);
  delegate->onWebMessage(pageMessage({{"handlerName", "h"}, {"data", 0}}));
  EXPECT_TRUE(log.contains("no handler for message from JS: h"));
}

TEST_F(BridgeTest, AReplyCallbackKeepsItsWebviewAlive) {
  zrk::WebviewDelegate::ReplyCallback kept;
  delegate->registerHandler("keep", [&](const json&, const zrk::WebviewDelegate::ReplyCallback& reply) { kept = reply; });
  delegate->onWebMessage(pageMessage({{"handlerName", "keep"}, {"callbackId", "c1"}, {"data", 1}}));
  ASSERT_TRUE(kept);
  std::weak_ptr<FakeWebview> weak = webview;
  webview.reset();  // the window holds no list here: the callback is the last owner
  ASSERT_FALSE(weak.expired());
  kept(42);
  kept(43);  // each call sends one reply
  EXPECT_EQ(weak.lock()->scripts().size(), 2u);
  delegate->registerHandler("keep", nullptr);
  kept = nullptr;
  EXPECT_TRUE(weak.expired());

  // Webview gone: page messages and native calls do nothing.
  delegate->onWebMessage(pageMessage({{"handlerName", "keep"}, {"data", 1}}));
  delegate->callHandler("x");
}

TEST_F(BridgeTest, SerialisationFailureIsLoggedAndSendsAnEmptyText) {
  pel::test::LogCapture log(1);
  delegate->callHandler("bad", std::string("\xff\xfe"));
  EXPECT_EQ(webview->scripts(), std::vector<std::string>{callScriptText("")});
  EXPECT_TRUE(log.contains("failed to serialize json: [json.exception.type_error.316]")) << log.text();
  EXPECT_EQ(zrk::serializeJson(json{{"b", 1}, {"a", {1, 2}}}, true), "{\n    \"a\": [\n        1,\n        2\n    ],\n    \"b\": 1\n}");
}

TEST_F(BridgeTest, ScriptsDeliverTheMessagesIntactInNode) {
  const std::string hostile = "quote' dq\" back\\ nl\n cr\r sep\u2028 </script> '+(globalThis.pwned=1)+'";
  delegate->callHandler("ph", hostile, [](const json&) {});
  delegate->registerHandler("h", [hostile](const json&, const zrk::WebviewDelegate::ReplyCallback& reply) { reply(hostile); });
  delegate->onWebMessage(pageMessage({{"handlerName", "h"}, {"callbackId", "c1"}, {"data", 0}}, hostile));
  pel::test::PageRun page;
  page.scripts.push_back(
      "globalThis.seen = []; window.__zrk_msg__ = { notify: (s) => seen.push(['notify', JSON.parse(s)]),"
      " response: (s) => seen.push(['response', JSON.parse(s)]) };");
  for (const auto& s : webview->scripts()) page.scripts.push_back(s);
  page.probe = "({ seen, pwned: typeof globalThis.pwned })";
  const auto results = pel::test::runPages({page});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["errors"], json::array());
  EXPECT_EQ(results[0]["probe"]["pwned"], "undefined");
  const json expected = json::array(
      {json::array({"notify", {{"callbackId", "cxx_cb_1"}, {"data", hostile}, {"handlerName", "ph"}}}),
       json::array({"response",
                    {{"data", {{"requestId", hostile}, {"response", {{"responseData", hostile}, {"responseId", "c1"}}}}},
                     {"id", hostile},
                     {"result", true}}})});
  EXPECT_EQ(results[0]["probe"]["seen"], expected);
}

}  // namespace
