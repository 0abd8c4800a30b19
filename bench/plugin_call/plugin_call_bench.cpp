// One "/plugin" call with a JSON payload of about 200 bytes, from a request through the router,
// the plugin handler, the registry, a command and the response writer into a connection that only
// counts bytes, against the least any such call must do: parse the payload and dump a reply of
// the same size with the JSON library. Target: the whole road at most 3x the parse-and-dump.
//
//   build/bin/bench_plugin_call
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "tests/support/http_fakes.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/http/request-router.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace {

const std::string kPayload =
    R"({"label":"photo-viewer","url":"https://.pelma/viewer.w?file=%2Fhome%2Fuser%2FPictures%2Fa.png",)"
    R"("width":1280,"height":800,"x":120,"y":80,"resizable":true,"decorations":false,"visible":true,)"
    R"("alwaysOnTop":false,"center":true})";

class CountingConnection : public http::HttpResponseConnection {
 public:
  int write(const void* data, size_t length) override {
    benchmark::DoNotOptimize(data);
    bytes += length;
    return static_cast<int>(length);
  }
  void addHeader(const std::string& name, const std::string& value) override {
    bytes += name.size() + value.size();
  }
  void setStatus(int, const char*) override {}
  void finish() override {}
  size_t bytes = 0;
};

// A window plugin stand-in: "create" answers with the options it was given, as JSON.
class WindowPlugin : public zrk::plugin::Plugin {
 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection*, http::HttpRequest* request,
                                        const nlohmann::json& payload) override {
    const zrk::plugin::CommandTable table = {
        {"create",
         [](const nlohmann::json& p, zrk::Webview*, http::HttpRequest*) {
           return std::make_shared<http::HttpMimeResponse>(p.dump(), "application/json");
         }},
        {"close", [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) { return nullptr; }},
        {"show", [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) { return nullptr; }},
        {"hide", [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) { return nullptr; }},
    };
    return zrk::plugin::runCommand(table, command, payload, webview, request);
  }
};

void setUp() {
  static const bool done = [] {
    zrk::setLogLevel(1);  // as the program runs
    auto plugin = std::make_shared<WindowPlugin>();
    plugin->setName("window");
    zrk::plugin::PluginRegistry::add(plugin);
    return true;
  }();
  (void)done;
}

void WholePluginCall(benchmark::State& state) {
  setUp();
  const http::RouteConfig config{"https", "pelma", {".pelma"}};
  const http::HandlerArray handlers = {std::make_shared<http::HttpPluginHandler>()};
  for (auto _ : state) {
    pel::test::FakeRequest request("POST", "https://pelma/plugin?name=window&event=create");
    request.withHeader("Content-Type", "application/json")
        .withHeader("Origin", "https://.pelma")
        .withBody(kPayload);
    CountingConnection connection;
    http::routeRequest(config, handlers, nullptr, &request, &connection, nullptr);
    benchmark::DoNotOptimize(connection.bytes);
  }
}

void ParseAndDumpOnly(benchmark::State& state) {
  for (auto _ : state) {
    const nlohmann::json payload = nlohmann::json::parse(kPayload);
    std::string reply = payload.dump();
    benchmark::DoNotOptimize(reply);
  }
}

BENCHMARK(WholePluginCall);
BENCHMARK(ParseAndDumpOnly);

}  // namespace

BENCHMARK_MAIN();
