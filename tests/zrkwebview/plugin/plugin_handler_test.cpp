#include <gtest/gtest.h>

#include <Poco/Base64Encoder.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/http_fakes.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/http/request-router.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace {

using pel::test::FakeRequest;
using pel::test::RecordingConnection;

int webviewTag = 0;
zrk::Webview* const kWebview = reinterpret_cast<zrk::Webview*>(&webviewTag);

// "payload=<the payload the command got>|body=<what the command could still read of the body>".
class EchoPlugin : public zrk::plugin::Plugin {
 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection*, http::HttpRequest* request,
                                        const nlohmann::json& payload) override {
    if (webview != kWebview) return std::make_shared<http::HttpMimeResponse>("wrong webview", "text/plain");
    zrk::plugin::CommandTable table = {
        {"echo",
         [](const nlohmann::json& p, zrk::Webview*, http::HttpRequest* r) {
           return std::make_shared<http::HttpMimeResponse>("payload=" + p.dump() + "|body=" + r->read(1 << 20),
                                                           "text/plain");
         }},
        {"throw",
         [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) -> std::shared_ptr<http::HttpResponse> {
           throw std::runtime_error("disk full 100% \xc3\xa9");
         }},
        {"jsonerr",
         [](const nlohmann::json& p, zrk::Webview*, http::HttpRequest*) -> std::shared_ptr<http::HttpResponse> {
           return std::make_shared<http::HttpMimeResponse>(std::to_string(p.at("missing").get<int>()), "");
         }},
        {"none", [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) { return nullptr; }},
        {"nonstd",
         [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) -> std::shared_ptr<http::HttpResponse> {
           throw 42;
         }},
    };
    if (command == "other") return std::make_shared<Vesk::TNull>();
    return zrk::plugin::runCommand(table, command, payload, webview, request);
  }
};

const http::RouteConfig kConfig{"https", "app.local", {".app.local"}};

void registerEcho() {
  static const bool done = [] {
    testing::internal::CaptureStdout();
    auto plugin = std::make_shared<EchoPlugin>();
    testing::internal::GetCapturedStdout();
    plugin->setName("echo");
    zrk::plugin::PluginRegistry::add(plugin);
    return true;
  }();
  (void)done;
}

std::string base64(const std::string& text) {
  std::ostringstream out;
  Poco::Base64Encoder encoder(out);
  encoder << text;
  encoder.close();
  return out.str();
}

struct Call {
  const char* name;
  std::string query;
  http::HeaderList headers;
  std::vector<std::string> body;
  int status;
  std::string reason;  // empty: none expected (200)
  std::string replyBody;
  std::vector<size_t> reads = {};  // what the handler (and command) asked of the body, when checked
};

void run(const Call& c, FakeRequest& request, RecordingConnection& connection) {
  registerEcho();
  const http::HandlerArray handlers = {std::make_shared<http::HttpPluginHandler>()};
  for (const auto& [name, value] : c.headers) request.withHeader(name, value);
  request.withBodyPieces(c.body);
  http::routeRequest(kConfig, handlers, nullptr, &request, &connection, kWebview);
}

TEST(HttpPluginHandler, Table) {
  const std::string json = R"({"label":"main","width":800})";
  const std::string big = "[\"" + std::string(2996, 'x') + "\"]";  // 3000 bytes
  const std::string exact = "[\"" + std::string(2044, 'y') + "\"]";  // 2048 bytes
  const std::string bigPayload = "payload=" + big + "|body=";
  const Call cases[] = {
      {"JSON body", "name=echo&event=echo", {{"Content-Type", "application/json"}}, {json}, 200, "",
       "payload=" + json + "|body="},
      {"keys in other case, charset", "NAME=echo&Event=echo", {{"Content-Type", "application/json; charset=utf-8"}},
       {json}, 200, "", "payload=" + json + "|body="},
      {"names encoded twice", "name=%2565cho&event=ec%2568o", {{"Content-Type", "application/json"}}, {"1"}, 200, "",
       "payload=1|body="},
      {"repeated keys add up", "name=ec&name=ho&event=echo", {{"Content-Type", "application/json"}}, {"2"}, 200, "",
       "payload=2|body="},
      {"body read in 1024-byte pieces", "name=echo&event=echo", {{"Content-Type", "application/json"}}, {big}, 200,
       "", bigPayload, {1024, 1024, 1024, 1 << 20}},
      {"a full last piece costs one empty read", "name=echo&event=echo", {{"Content-Type", "application/json"}},
       {exact}, 200, "", "payload=" + exact + "|body=", {1024, 1024, 1024, 1 << 20}},
      {"text leaves the payload null and the body unread", "name=echo&event=echo",
       {{"Content-Type", "text/plain"}}, {"raw text"}, 200, "", "payload=null|body=raw text", {1 << 20}},
      {"no content type", "name=echo&event=echo", {}, {"raw"}, 200, "", "payload=null|body=raw"},
      {"octet stream takes the payload from the header", "name=echo&event=echo",
       {{"Content-Type", "application/octet-stream"}, {"zrk-payload-options", base64(R"({"path":"/tmp/a b"})")}},
       {"\x01\x02"}, 200, "", "payload={\"path\":\"/tmp/a b\"}|body=\x01\x02", {1 << 20}},
      {"zrk-request takes the payload from the header", "name=echo&event=echo",
       {{"Content-Type", "application/json"}, {"zrk-request", "1"}, {"zrk-payload-options", base64("[1,2]")}},
       {"{not read}"}, 200, "", "payload=[1,2]|body={not read}"},
      {"bad Base64 gives a null payload", "name=echo&event=echo",
       {{"Content-Type", "application/octet-stream"}, {"zrk-payload-options", "@@@not base64@@@"}}, {"b"}, 200,
       "", "payload=null|body=b"},
      {"Base64 of no JSON gives a null payload", "name=echo&event=echo",
       {{"Content-Type", "application/octet-stream"}, {"zrk-payload-options", base64("{broken")}}, {"b"}, 200, "",
       "payload=null|body=b"},
      {"bad JSON body", "name=echo&event=echo", {{"Content-Type", "application/json"}}, {"{broken"}, 400,
       "plugin not found", "plugin not found"},
      {"empty JSON body", "name=echo&event=echo", {{"Content-Type", "application/json"}}, {}, 400,
       "plugin not found", "plugin not found"},
      {"no name", "event=echo", {{"Content-Type", "application/json"}}, {"1"}, 400, "plugin not found",
       "plugin not found"},
      {"no query at all", "", {}, {}, 400, "plugin not found", "plugin not found"},
      {"malformed escape never escapes", "name=%25zz&event=echo", {}, {}, 400, "malformed query", "malformed query"},
      {"name without event", "name=echo", {}, {}, 420, "plugin invoke failed", "plugin invoke failed"},
      {"unknown plugin", "name=nobody&event=echo", {}, {}, 420, "plugin invoke failed", "plugin invoke failed"},
      {"unknown command", "name=echo&event=fly", {}, {}, 420, "plugin invoke failed", "plugin invoke failed"},
      {"command without response", "name=echo&event=none", {}, {}, 420, "plugin invoke failed",
       "plugin invoke failed"},
      {"command answering no response object", "name=echo&event=other", {}, {}, 420, "plugin invoke failed",
       "plugin invoke failed"},
      {"command that throws", "name=echo&event=throw", {}, {}, 410, "disk full 100% ?",
       "disk full 100% \xc3\xa9"},
      {"JSON error inside the command", "name=echo&event=jsonerr", {{"Content-Type", "application/json"}}, {"{}"},
       400, "plugin not found", "plugin not found"},
      {"command that throws something else", "name=echo&event=nonstd", {}, {}, 500, "Internal Server Error",
       "Internal Server Error"},
      // Origins: the application's own hosts pass, any other is refused before the plugin runs.
      {"own origin", "name=echo&event=echo", {{"Origin", "https://.app.local"}}, {}, 200, "", "payload=null|body="},
      {"virtual host origin", "name=echo&event=echo", {{"Origin", "https://app.local"}}, {}, 200, "",
       "payload=null|body="},
      {"foreign origin", "name=echo&event=echo", {{"Origin", "https://evil.example"}}, {}, 403,
       "origin not allowed", "origin not allowed"},
      {"opaque origin", "name=echo&event=echo", {{"Origin", "null"}}, {}, 403, "origin not allowed",
       "origin not allowed"},
      {"look-alike origin", "name=echo&event=echo", {{"Origin", "https://app.local.evil.example"}}, {}, 403,
       "origin not allowed", "origin not allowed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRequest request("POST", "https://app.local/plugin" + (c.query.empty() ? "" : "?" + c.query));
    RecordingConnection connection;
    run(c, request, connection);
    EXPECT_EQ(connection.protocolErrors(), "");
    EXPECT_EQ(connection.status, c.status);
    if (c.reason.empty()) {
      EXPECT_TRUE(connection.reasonIsNull);
    } else {
      EXPECT_EQ(connection.reason, c.reason);
      EXPECT_EQ(connection.header("x-status-error"), c.reason);
    }
    EXPECT_EQ(connection.body, c.replyBody);
    EXPECT_EQ(connection.header("Access-Control-Allow-Origin"), "*");
    if (!c.reads.empty()) {
      EXPECT_EQ(request.readSizes, c.reads);
    }
  }
}

TEST(HttpPluginHandler, GetIsNotServed) {
  FakeRequest request("GET", "https://app.local/plugin?name=echo&event=echo");
  RecordingConnection connection;
  run(Call{"get", "", {}, {}, 0, "", ""}, request, connection);
  EXPECT_EQ(connection.status, 404);
  EXPECT_EQ(connection.protocolErrors(), "");
}

TEST(HttpPluginHandler, FailureWhileWritingTheResponseEndsTheReplyOnce) {
  // A command's response that fails half-way through its body: the reply already under way is
  // ended, never followed by a second status.
  class Failing : public http::HttpMimeResponse {
   public:
    Failing() : HttpMimeResponse(std::string(5000, 'a'), "text/plain") {}
    std::string read(size_t) override {
      if (reads_++ > 0) throw std::runtime_error("disk gone");
      return std::string(1024, 'a');
    }
    int reads_ = 0;
  };
  class FailingPlugin : public zrk::plugin::Plugin {
   public:
    std::shared_ptr<Vesk::TObject> invoke(const std::string&, zrk::Webview*, http::HttpResponseConnection*,
                                          http::HttpRequest*, const nlohmann::json&) override {
      return std::make_shared<Failing>();
    }
  };
  testing::internal::CaptureStdout();
  auto plugin = std::make_shared<FailingPlugin>();
  testing::internal::GetCapturedStdout();
  plugin->setName("failing-writer");
  zrk::plugin::PluginRegistry::add(plugin);

  FakeRequest request("POST", "https://app.local/plugin?name=failing-writer&event=x");
  request.withHeader("X-ChunkSize", "1024");
  RecordingConnection connection;
  run(Call{"", "", {}, {}, 0, "", ""}, request, connection);
  EXPECT_EQ(connection.protocolErrors(), "");
  EXPECT_EQ(connection.status, 200);
  EXPECT_EQ(connection.body, std::string(1024, 'a'));
}

}  // namespace
