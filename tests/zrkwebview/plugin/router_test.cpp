#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/http/request-router.h"

namespace {

using pel::test::FakeRequest;
using pel::test::RecordingConnection;

// What the handlers of one routing saw, in order: "asset GET", "bundle canHandle <path>", ...
std::vector<std::string> seen;
zrk::Webview* webviewSeen = nullptr;

enum class Behaviour { Answer, Nothing, Throw, ThrowOther, StartThenThrow };

class RecordingHandler : public http::HttpHandler {
  VESK_DECLARE_CLASS(RecordingHandler, http::HttpHandler, "test")

 public:
  RecordingHandler(std::string name, const char* path, std::function<bool(const char*)> claims = {},
                   Behaviour behaviour = Behaviour::Answer)
      : name_(std::move(name)), path_(path), claims_(std::move(claims)), behaviour_(behaviour) {}

  const char* path() override { return path_; }
  bool canHandle(const char* path) override {
    if (!claims_) return false;
    seen.push_back(name_ + " canHandle " + path);
    return claims_(path);
  }
  bool handleGet(http::HttpRequest* request, http::HttpResponseConnection* connection) override {
    return act("GET", request, connection);
  }
  bool handlePost(http::HttpRequest* request, http::HttpResponseConnection* connection) override {
    return act("POST", request, connection);
  }

 private:
  bool act(const char* method, http::HttpRequest* request, http::HttpResponseConnection* connection) {
    seen.push_back(name_ + " " + method);
    webviewSeen = webview();
    switch (behaviour_) {
      case Behaviour::Answer: {
        http::HttpMimeResponse response(name_, "text/plain");
        http::sendResponse(connection, request, &response);
        return true;
      }
      case Behaviour::Nothing:
        return false;
      case Behaviour::Throw:
        throw std::runtime_error("boom: 100% \xc3\xa9");
      case Behaviour::ThrowOther:
        throw u"Not implemented";
      case Behaviour::StartThenThrow:
        connection->setStatus(200, nullptr);
        connection->write("part", 4);
        throw std::runtime_error("disk gone");
    }
    return false;
  }

  std::string name_;
  const char* path_;
  std::function<bool(const char*)> claims_;
  Behaviour behaviour_;
};

int fallbacksMade = 0;
std::shared_ptr<http::HttpHandler> makeFallback() {
  ++fallbacksMade;
  return std::make_shared<RecordingHandler>("fallback", nullptr);
}

const http::RouteConfig kConfig{"https", "app.local", {".app.local"}};

http::HandlerArray standardList() {
  auto pagesOnly = [](const char* path) { return std::string(path).rfind("https://.app.local/", 0) == 0; };
  return {
      std::make_shared<RecordingHandler>("bundle", nullptr, pagesOnly),
      std::make_shared<RecordingHandler>("asset", "/asset"),
      std::make_shared<RecordingHandler>("exact", "/exact$"),
      std::make_shared<RecordingHandler>("plugin", "/plugin"),
      std::make_shared<RecordingHandler>("late-plugin", "/plugin"),
      std::make_shared<RecordingHandler>("silent", "/silent", nullptr, Behaviour::Nothing),
      std::make_shared<RecordingHandler>("thrower", "/throw", nullptr, Behaviour::Throw),
      std::make_shared<RecordingHandler>("other-thrower", "/other-throw", nullptr, Behaviour::ThrowOther),
      std::make_shared<RecordingHandler>("half", "/half", nullptr, Behaviour::StartThenThrow),
      std::make_shared<Vesk::TNull>(),  // not a handler: skipped
  };
}

TEST(RouteRequest, Table) {
  struct Case {
    const char* uri;
    const char* method;
    std::vector<std::string> seen;
    int status;
    std::string body;
  } cases[] = {
      {"https://app.local/plugin?name=window&event=create", "POST",
       {"bundle canHandle /plugin?name=window&event=create", "plugin POST"}, 200, "plugin"},
      {"https://app.local/asset/img.png", "GET", {"bundle canHandle /asset/img.png", "asset GET"}, 200, "asset"},
      {"https://app.local/assets/x", "GET", {"bundle canHandle /assets/x", "asset GET"}, 200, "asset"},
      {"https://app.local/ASSET/img.png", "get", {"bundle canHandle /ASSET/img.png", "asset GET"}, 200, "asset"},
      {"https://app.local/asset/img.png", "Post", {"bundle canHandle /asset/img.png", "asset POST"}, 200, "asset"},
      {"https://app.local/exact", "GET", {"bundle canHandle /exact", "exact GET"}, 200, "exact"},
      // Not claimed: each handler that has a second chance is asked with the route path.
      {"https://app.local/exact/more", "GET", {"bundle canHandle /exact/more", "fallback GET"}, 200, "fallback"},
      {"https://app.local/x?u=https://app.local/asset", "GET",
       {"bundle canHandle /x?u=https://app.local/asset", "fallback GET"}, 200, "fallback"},
      // The pages' host keeps its whole URL and is claimed through canHandle.
      {"https://.app.local/index.html", "GET", {"bundle canHandle https://.app.local/index.html", "bundle GET"},
       200, "bundle"},
      {"https://app.localhost/asset/x", "GET", {"bundle canHandle https://app.localhost/asset/x", "fallback GET"},
       200, "fallback"},
      // Every request leaves answered.
      {"https://app.local/asset/x", "OPTIONS", {"bundle canHandle /asset/x"}, 204, ""},
      {"https://app.local/asset/x", "HEAD", {"bundle canHandle /asset/x"}, 405, ""},
      {"https://app.local/asset/x", "DELETE", {"bundle canHandle /asset/x"}, 405, "method not allowed"},
      {"https://app.local/plugin?name=x", "GET", {"bundle canHandle /plugin?name=x", "plugin GET"}, 200, "plugin"},
      {"https://app.local/silent", "GET", {"bundle canHandle /silent", "silent GET"}, 404, ""},
      {"https://app.local/throw", "POST", {"bundle canHandle /throw", "thrower POST"}, 500, "boom: 100% \xc3\xa9"},
      {"https://app.local/other-throw", "GET", {"bundle canHandle /other-throw", "other-thrower GET"}, 500,
       "Internal Server Error"},
      // Part of a reply went out before the failure: that reply is ended, not replaced.
      {"https://app.local/half", "GET", {"bundle canHandle /half", "half GET"}, 200, "part"},
  };
  int webviewTag = 0;
  auto* webview = reinterpret_cast<zrk::Webview*>(&webviewTag);
  const http::HandlerArray handlers = standardList();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.uri);
    seen.clear();
    webviewSeen = nullptr;
    FakeRequest request(c.method, c.uri);
    RecordingConnection connection;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(http::routeRequest(kConfig, handlers, makeFallback, &request, &connection, webview));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(connection.protocolErrors(), "");
    EXPECT_EQ(connection.status, c.status);
    EXPECT_EQ(connection.body, c.body);
    EXPECT_EQ(connection.headers.at(0), (std::pair<std::string, std::string>("Access-Control-Allow-Origin", "*")));
    EXPECT_EQ(connection.headerCount("Access-Control-Allow-Origin"), 1u);
    if (c.status >= 400) {
      EXPECT_EQ(connection.header("x-status-error"), connection.reason);
    }
    EXPECT_EQ(out, std::string(c.method) == "OPTIONS" ? "handle options\n" : "");
    if (c.seen.size() > 0 && c.seen.back().find("canHandle") == std::string::npos) {
      EXPECT_EQ(webviewSeen, webview);
    }
  }
  // The webview is handed to each call only: nothing of it stays with the thread or the handlers.
  EXPECT_EQ(std::dynamic_pointer_cast<http::HttpHandler>(handlers[1])->webview(), nullptr);
}

TEST(RouteRequest, OptionsGetsThePreflightAnswer) {
  FakeRequest request("OPTIONS", "https://app.local/plugin?name=fs&event=read");
  request.withHeader("Access-Control-Request-Headers", "content-type,zrk-request");
  RecordingConnection connection;
  testing::internal::CaptureStdout();
  http::routeRequest(kConfig, standardList(), makeFallback, &request, &connection, nullptr);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(connection.status, 204);
  EXPECT_EQ(connection.header("Access-Control-Allow-Methods"), "GET, POST, OPTIONS");
  EXPECT_EQ(connection.header("Access-Control-Allow-Headers"), "content-type,zrk-request");
  EXPECT_EQ(connection.header("Content-Length"), "0");
}

TEST(RouteRequest, EarlierHandlerWinsAndUnclaimedRequestsGetTheirOwnFallback) {
  const http::HandlerArray handlers = {
      std::make_shared<RecordingHandler>("broad", "/a"),
      std::make_shared<RecordingHandler>("narrow", "/a/b$"),
      std::make_shared<RecordingHandler>("everything-below-root", ""),
  };
  struct Case {
    const char* uri;
    const char* answeredBy;
  } cases[] = {
      {"https://app.local/a/b", "broad"},
      {"https://app.local/zzz", "everything-below-root"},
      {"https://app.local/", "fallback"},
      {"https://app.local", "everything-below-root"},  // the empty route path equals ""
      {"https://other.host/a", "fallback"},
  };
  fallbacksMade = 0;
  for (const auto& c : cases) {
    FakeRequest request("GET", c.uri);
    RecordingConnection connection;
    http::routeRequest(kConfig, handlers, makeFallback, &request, &connection, nullptr);
    EXPECT_EQ(connection.body, c.answeredBy) << c.uri;
  }
  EXPECT_EQ(fallbacksMade, 2);

  // Without a fallback of the caller's, the static-file handler answers: no file is mapped here.
  for (const char* method : {"GET", "POST"}) {
    FakeRequest request(method, "https://app.local/");
    RecordingConnection connection;
    http::routeRequest(kConfig, handlers, nullptr, &request, &connection, nullptr);
    EXPECT_GE(connection.status, 400) << method;
    EXPECT_EQ(connection.protocolErrors(), "") << method;
  }
}

TEST(RouteRequest, PluginCallsAreTheExactDecodedPluginPathOfTheVirtualHost) {
  const struct {
    const char* uri;
    bool pluginCall;
  } cases[] = {
      {"https://app.local/plugin?name=window&event=create", true},
      {"https://app.local/plug%69n?name=window", true},
      {"https://APP.LOCAL/plugin", true},
      {"https://app.local/plugin#top", true},
      {"https://app.local/PLUGIN?name=window", false},
      {"https://app.local/pluginx", false},
      {"https://app.local/plugin/x", false},
      {"https://app.local/plugin%2Fx", false},
      {"https://.app.local/plugin", false},
      {"https://app.localhost/plugin", false},
      {"https://app.local/%zz", false},
      {"/plugin", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(http::isPluginCall(c.uri, "app.local"), c.pluginCall) << c.uri;
  }
}

}  // namespace
