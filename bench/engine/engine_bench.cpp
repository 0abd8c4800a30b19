// The round trip page fetch() -> engine -> reply -> page, side by side with the same fetches
// answered by a minimal HTTP server on loopback, in the same browser; and the browser's start-up
// to its first finished navigation.
//
// Run: build/bin/engine_bench  (it prints the per-fetch times and the ratios at the end)
#include <benchmark/benchmark.h>

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"

using namespace deskweb_test;

namespace {

const std::string kSmall = R"({"ok":true,"value":42,"text":"a small plugin answer"})";
const std::string kBig = pattern(1 << 20, 11);
constexpr int kBatch = 20;

// Runs n fetches one after the other and reports the time they took, measured in the page.
const char kBatchScript[] = R"JS(<script>
async function batch(url, n) {
  const t0 = performance.now();
  let bytes = 0;
  for (let i = 0; i < n; i++) {
    const r = await fetch(url, { cache: 'no-store' });
    bytes += (await r.arrayBuffer()).byteLength;
  }
  chrome.webview.postMessage({ ms: performance.now() - t0, bytes });
}
</script>)JS";

// --- the loopback peer ---

class PeerHandler : public Poco::Net::HTTPRequestHandler {
 public:
  void handleRequest(Poco::Net::HTTPServerRequest& req, Poco::Net::HTTPServerResponse& res) override {
    const std::string& uri = req.getURI();
    const std::string* body = &kSmall;
    std::string page;
    if (uri.rfind("/big", 0) == 0) {
      body = &kBig;
      res.setContentType("application/octet-stream");
    } else if (uri.rfind("/small", 0) == 0) {
      res.setContentType("application/json");
    } else {
      page = std::string("<!doctype html>") + kBatchScript;
      body = &page;
      res.setContentType("text/html");
    }
    res.setKeepAlive(true);
    res.setContentLength(static_cast<std::streamsize>(body->size()));
    res.send().write(body->data(), static_cast<std::streamsize>(body->size()));
  }
};

class PeerFactory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
    return new PeerHandler;
  }
};

// --- the engine side ---

struct Bench {
  TestLoop loop;
  Browser browser;
  std::unique_ptr<Host> engineHost;
  std::unique_ptr<Host> peerHost;
  std::unique_ptr<Poco::Net::HTTPServer> server;
  int port = 0;
  std::string error;

  bool setUp() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    port = socket.address().port();
    auto* params = new Poco::Net::HTTPServerParams;
    params->setKeepAlive(true);
    params->setMaxThreads(4);
    server = std::make_unique<Poco::Net::HTTPServer>(new PeerFactory, socket, params);
    server->start();

    // Loopback stays reachable for the peer; every other name still resolves to nothing.
    if (!startBrowser()) return false;
    engineHost = std::make_unique<Host>(loop, *browser.env);
    peerHost = std::make_unique<Host>(loop, *browser.env);
    if (!engineHost->webview || !peerHost->webview) {
      error = "no webview";
      return false;
    }
    engineHost->page("/bench.w", std::string("<!doctype html>") + kBatchScript);
    engineHost->route("/small", [](const Request&, std::shared_ptr<Deferral> d) {
      Response r;
      r.headers = {{"Content-Type", "application/json"}};
      r.body = kSmall;
      d->complete(r);
    });
    engineHost->route("/big", [](const Request&, std::shared_ptr<Deferral> d) {
      Response r;
      r.headers = {{"Content-Type", "application/octet-stream"}};
      r.body = kBig;
      d->complete(r);
    });
    engineHost->webview->navigate("https://.pelmora/bench.w");
    peerHost->webview->navigate("http://127.0.0.1:" + std::to_string(port) + "/bench.html");
    bool ready = loop.runUntil([&] { return !engineHost->completed.empty() && !peerHost->completed.empty(); });
    if (!ready || !engineHost->completed.back().success || !peerHost->completed.back().success) {
      error = "the bench pages did not load";
      return false;
    }
    return true;
  }

  bool startBrowser() {
    EnvironmentOptions options;
    options.userDataFolder = browser.folder.path() + "/WebData";
    options.browserArguments =
        "--disable-web-security \"--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1\"";
    bool done = false;
    ChromiumEngine::create()->createEnvironment(
        options, loop.executor(), [&](Result r, std::shared_ptr<Environment> e, const std::string& why) {
          done = true;
          browser.env = e;
          if (r != Result::ok) error = why;
        });
    loop.runUntil([&] { return done; });
    return browser.env != nullptr;
  }

  // Milliseconds per fetch of one batch, or a negative value on failure.
  double batch(Host& host, const std::string& url, size_t expectBytes) {
    size_t before = host.messages.size();
    host.webview->executeScript("batch('" + url + "', " + std::to_string(kBatch) + ")", nullptr);
    if (!loop.runUntil([&] { return host.messages.size() > before; })) return -1;
    auto m = nlohmann::json::parse(host.messages.back().json, nullptr, false);
    if (!m.is_object() || m.value("bytes", size_t(0)) != expectBytes * kBatch) return -1;
    return m.value("ms", 0.0) / kBatch;
  }

  ~Bench() {
    engineHost.reset();
    peerHost.reset();
    if (browser.env) browser.env->close();
    if (server) server->stop();
  }
};

Bench* bench = nullptr;
std::map<std::string, double> means;  // ms per fetch, by benchmark

void roundTrip(benchmark::State& state, const char* name, bool engine, bool big) {
  if (!bench) {
    state.SkipWithError("no browser");
    return;
  }
  Host& host = engine ? *bench->engineHost : *bench->peerHost;
  std::string url = engine ? std::string("https://pelmora") : "http://127.0.0.1:" + std::to_string(bench->port);
  url += big ? "/big" : "/small";
  size_t bytes = big ? kBig.size() : kSmall.size();
  bench->batch(host, url, bytes);  // warm up
  double total = 0;
  int64_t n = 0;
  for (auto _ : state) {
    double ms = bench->batch(host, url, bytes);
    if (ms < 0) {
      state.SkipWithError("a batch failed");
      return;
    }
    state.SetIterationTime(ms / 1000.0);
    total += ms;
    ++n;
  }
  if (n) means[name] = total / n;
}

void BM_SmallJson_Engine(benchmark::State& s) { roundTrip(s, "BM_SmallJson_Engine", true, false); }
void BM_SmallJson_Loopback(benchmark::State& s) { roundTrip(s, "BM_SmallJson_Loopback", false, false); }
void BM_Binary1MiB_Engine(benchmark::State& s) { roundTrip(s, "BM_Binary1MiB_Engine", true, true); }
void BM_Binary1MiB_Loopback(benchmark::State& s) { roundTrip(s, "BM_Binary1MiB_Loopback", false, true); }
BENCHMARK(BM_SmallJson_Engine)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_SmallJson_Loopback)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_Binary1MiB_Engine)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_Binary1MiB_Loopback)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Browser start to the first finished navigation of a page served through the engine.
void BM_StartupToFirstNavigation(benchmark::State& state) {
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    TestLoop loop;
    Browser browser;
    if (!browser.start(loop)) {
      state.SkipWithError(browser.error.c_str());
      return;
    }
    {
      Host host(loop, *browser.env);
      host.page("/main.w", "<!doctype html><title>main</title><p>hello</p>");
      host.webview->navigate("https://.pelmora/main.w");
      if (!loop.runUntil([&] { return !host.completed.empty(); })) {
        state.SkipWithError("no navigation");
        return;
      }
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    browser.env->close();
  }
}
BENCHMARK(BM_StartupToFirstNavigation)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench = new Bench;
  if (!bench->setUp()) {
    fprintf(stderr, "engine_bench: %s\n", bench->error.c_str());
    delete bench;
    bench = nullptr;
  }
  benchmark::RunSpecifiedBenchmarks();
  auto ratio = [](const char* ours, const char* peer) {
    if (!means.count(ours) || !means.count(peer)) return;
    printf("%-24s engine %8.3f ms  loopback %8.3f ms  ratio %.2f\n", ours, means[ours], means[peer],
           means[ours] / means[peer]);
  };
  ratio("BM_SmallJson_Engine", "BM_SmallJson_Loopback");
  ratio("BM_Binary1MiB_Engine", "BM_Binary1MiB_Loopback");
  delete bench;
  benchmark::Shutdown();
  return 0;
}
