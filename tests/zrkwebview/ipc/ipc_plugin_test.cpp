#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "support/node_runner.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/http-plugins/ipc/ipc-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;
using zrk::plugin::IpcPlugin;

struct Reply {
  int status = 0;
  std::string text;  // the message of a status reply, the body of a MIME reply
  std::string type;
};

Reply fetch(IpcPlugin& plugin, FakeWebview* webview, const char* header,
            const std::string& command = "fetch") {
  pel::test::FakeRequest request("POST", "https://app.local/plugin?name=__zrk_channel__&event=fetch");
  if (header) request.withHeader("zrk-channel-id", header);
  auto result = plugin.invoke(command, webview, nullptr, &request, json());
  Reply reply;
  if (!result) return reply;
  if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
    reply.status = mime->status();
    reply.text = mime->body();
    reply.type = mime->mimeType();
  } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
    reply.status = status->status();
    reply.text = status->statusMessage();
  }
  return reply;
}

TEST(IpcPluginTest, FetchRepliesAndErrors) {
  IpcPlugin plugin;
  FakeWebview webview;
  webview.park(12, json{{"a", 1}, {"s", "é"}});
  webview.park(7, json("text"));
  webview.park(4294967295u, json(true));

  struct Case {
    const char* header;  // nullptr: no header
    int status;          // 0: no response at all
    const char* text;
  } cases[] = {
      {nullptr, 400, "Missing channel id header"},
      {"", 400, "Missing channel id header"},
      {" 12abc", 200, "{\"a\":1,\"s\":\"é\"}"},
      {"12", 400, "Not found channel data"},  // fetched once only
      {"7", 200, "\"text\""},
      {"-1", 200, "true"},  // the unsigned negation, as the conversion reads it
      {"99", 400, "Not found channel data"},
  };
  for (const auto& c : cases) {
    Reply reply = fetch(plugin, &webview, c.header);
    EXPECT_EQ(reply.status, c.status) << (c.header ? c.header : "(none)");
    EXPECT_EQ(reply.text, c.text) << (c.header ? c.header : "(none)");
    if (c.status == 200) {
      EXPECT_EQ(reply.type, "application/json");
    }
  }

  // Numbers that are not numbers, or do not fit 32 bits, throw with the conversion's texts.
  struct Throwing {
    const char* header;
    bool outOfRange;
    const char* what;
  } throwing[] = {{"abc", false, "invalid stoul argument"},
                  {"4294967296", true, "stoul argument out of range"},
                  {"-4294967296", true, "stoul argument out of range"},
                  {"99999999999999999999999", true, "stoul argument out of range"}};
  for (const auto& t : throwing) {
    try {
      fetch(plugin, &webview, t.header);
      ADD_FAILURE() << t.header << " did not throw";
    } catch (const std::out_of_range& e) {
      EXPECT_TRUE(t.outOfRange) << t.header;
      EXPECT_STREQ(e.what(), t.what);
    } catch (const std::invalid_argument& e) {
      EXPECT_FALSE(t.outOfRange) << t.header;
      EXPECT_STREQ(e.what(), t.what);
    }
  }

  // No webview, no request, or another command: no response.
  EXPECT_EQ(fetch(plugin, nullptr, "7").status, 0);
  EXPECT_EQ(fetch(plugin, &webview, "7", "send").status, 0);
  EXPECT_EQ(plugin.invoke("fetch", &webview, nullptr, nullptr, json()), nullptr);
}

TEST(IpcPluginTest, DataIsLookedUpInTheRequestingWebviewOnly) {
  IpcPlugin plugin;
  FakeWebview first("first");
  FakeWebview second("second");
  first.park(5, json(1));
  EXPECT_EQ(fetch(plugin, &second, "5").status, 400);
  EXPECT_EQ(fetch(plugin, &first, "5").status, 200);
}

TEST(IpcPluginTest, RegisteredOnceAndReachedThroughThePluginHandler) {
  zrk::plugin::registerIpcPlugin();
  zrk::plugin::registerIpcPlugin();
  auto plugin = zrk::plugin::PluginRegistry::find("__zrk_channel__");
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(plugin->version(), "1.0");
  EXPECT_EQ(plugin->description(), "ipc channel plugin");
  EXPECT_STREQ(plugin->className(), "IpcPlugin");
  EXPECT_TRUE(plugin->isKindOfClass(&zrk::plugin::Plugin::classDescriptor));

  FakeWebview webview;
  webview.park(3, json{{"x", 1}});
  http::HttpPluginHandler handler;
  for (const char* header : {"3", "3", "x"}) {
    pel::test::FakeRequest request(
        "POST", "https://app.local/plugin?name=__zrk_channel__&event=fetch");
    request.withHeader("zrk-channel-id", header);
    pel::test::RecordingConnection connection;
    handler.setWebview(&webview);
    handler.handlePost(&request, &connection);
    handler.setWebview(nullptr);
    if (std::string(header) == "3" && connection.status == 200) {
      EXPECT_EQ(connection.body, "{\"x\":1}");
    } else {
      EXPECT_GE(connection.status, 400) << header;
      EXPECT_EQ(connection.finishCount, 1);
    }
  }
}

TEST(IpcPluginTest, PageScriptIsExactAndSecondRunKeepsTheValues) {
  const std::string& script = zrk::plugin::windowIpcScript();
  EXPECT_EQ(script.size(), 391u);
  EXPECT_EQ(&script, &zrk::plugin::windowIpcScript());

  const std::string output = pel::test::runNodeScript(
      std::string("const vm = require('node:vm');\n"
      "const script = " + json(script).dump() + ";\n"
      "const posted = [];\n"
      "const ctx = vm.createContext({});\n"
      "ctx.window = ctx;\n"
      "ctx.chrome = { webview: { postMessage: (s) => posted.push(s) } };\n"
      "vm.runInContext(script, ctx);\n"
      "const first = ctx.__sysinfo__;\n"
      "ctx.ipc.postMessage('hello');\n"
      "let second = 'ran';\n"
      "try { vm.runInContext(script, ctx); } catch (e) { second = 'threw ' + e.constructor.name; }\n"
      "const d = Object.getOwnPropertyDescriptor(ctx, 'ipc');\n"
      "console.log(JSON.stringify({posted, second, same: first === ctx.__sysinfo__,\n"
      "  os: ctx.__sysinfo__.os, runmode: ctx.__sysinfo__.runmode,\n"
      "  frozen: Object.isFrozen(ctx.ipc), writable: d.writable, configurable: d.configurable}));\n"));
  ASSERT_FALSE(output.empty()) << "is node installed?";
  json seen = json::parse(output);
  EXPECT_EQ(seen["posted"], json::array({"hello"}));
  EXPECT_EQ(seen["second"], "threw TypeError");  // window.ipc cannot be redefined
  EXPECT_EQ(seen["same"], true);
  EXPECT_EQ(seen["os"], "windows");
  EXPECT_EQ(seen["runmode"], "Release");
  EXPECT_EQ(seen["frozen"], true);
  EXPECT_EQ(seen["writable"], false);
  EXPECT_EQ(seen["configurable"], false);
}

}  // namespace
