// A 100 MiB body from a local server through the fetch plugin and the response writer into a
// connection that only counts, against curl downloading the same body to /dev/null. Target: the
// plugin within 1.3x of curl. The process's peak memory is reported as a counter (the body goes
// through a bounded buffer, so it stays far below the body's size).
//
//   ./build-rel/bin/bench_fetch_plugin
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "support/http_fakes.h"
#include "support/local_http_server.h"
#include "zrkwebview/browser/src/http-plugins/fetch/fetch-plugin.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"

namespace {

constexpr uint64_t kSize = 100u << 20;

pel::test::LocalHttpServer& server() {
  static pel::test::LocalHttpServer* instance = [] {
    auto* s = new pel::test::LocalHttpServer;
    s->on("/big", [](const pel::test::RecordedRequest&, Poco::Net::HTTPServerResponse& r) {
      r.setContentLength64(kSize);
      std::ostream& out = r.send();
      static const std::string block(1 << 20, 'z');
      for (uint64_t i = 0; i < kSize / block.size() && out; ++i) out.write(block.data(), block.size());
    });
    return s;
  }();
  return *instance;
}

double peakResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

struct Counting : http::HttpResponseConnection {
  uint64_t bytes = 0;
  int write(const void*, size_t n) override {
    bytes += n;
    return static_cast<int>(n);
  }
  void addHeader(const std::string&, const std::string&) override {}
  void setStatus(int, const char*) override {}
  void finish() override {}
};

void BM_FetchPlugin(benchmark::State& state) {
  zrk::plugin::FetchPlugin plugin;
  const nlohmann::json payload{{"url", server().url("/big")}};
  size_t highWater = 0;
  for (auto _ : state) {
    auto reply = std::dynamic_pointer_cast<http::HttpResponse>(
        plugin.invoke("fetch", nullptr, nullptr, nullptr, payload));
    pel::test::FakeRequest page("POST", "https://app.local/plugin");
    Counting connection;
    http::sendResponse(&connection, &page, reply.get());
    if (connection.bytes != kSize) state.SkipWithError("the body came short");
    if (auto* fetched = dynamic_cast<zrk::plugin::FetchResponse*>(reply.get())) {
      highWater = fetched->bufferHighWaterMark();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
  state.counters["buffer_high_water_KiB"] = static_cast<double>(highWater) / 1024.0;
  state.counters["peak_rss_MiB"] = peakResidentMiB();
}

void BM_Curl(benchmark::State& state) {
  const std::string command = "curl -s -o /dev/null " + server().url("/big");
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_FetchPlugin)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
