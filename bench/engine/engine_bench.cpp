// The round trip page fetch() -> engine -> reply -> page, side by side with the same fetches
// answered by a minimal HTTP server on loopback, in the same browser: a small JSON reply (over
// DevTools), 1 MiB and 50 MiB replies and a 20 MiB upload (over the engine's loopback road); the
// program's peak memory during the 50 MiB reply; and the browser's start-up to its first finished
// navigation.
//
// Run: build/bin/engine_bench  (it prints the per-fetch times, the ratios and the memory at the end)
#include <benchmark/benchmark.h>

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>

#include <Poco/StreamCopier.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"

using namespace deskweb_test;

namespace {

const std::string kSmall = R"({"ok":true,"value":42,"text":"a small plugin answer"})";
const std::string kBig = pattern(1 << 20, 11);
constexpr size_t kHugeSize = 50u << 20;
constexpr size_t kUploadSize = 20u << 20;
std::string hugePath;  // the 50 MiB reply, as a file both servers stream

// The program's resident memory now and its peak since the last reset, in bytes.
size_t memoryField(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name, 0) == 0) return std::stoul(line.substr(std::strlen(name))) * 1024;
  }
  return 0;
}
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

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
// Uploads n bodies of the given size; the server answers each with the length it received.
let body = null;
async function upload(url, n, size) {
  if (!body || body.length !== size) {
    body = new Uint8Array(size);
    for (let i = 0; i < size; i++) body[i] = (i * 7 + (i >> 8)) & 255;
  }
  const t0 = performance.now();
  let bytes = 0;
  for (let i = 0; i < n; i++) {
    const r = await fetch(url, { method: 'POST', body, cache: 'no-store' });
    bytes += Number(await r.text());
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
    res.setKeepAlive(true);
    if (uri.rfind("/huge", 0) == 0) {
      std::ifstream file(hugePath, std::ios::binary);
      res.setContentType("application/octet-stream");
      res.setContentLength64(kHugeSize);
      Poco::StreamCopier::copyStream64(file, res.send(), 1 << 20);
      return;
    }
    if (uri.rfind("/upload", 0) == 0) {
      std::string received;
      Poco::StreamCopier::copyToString64(req.stream(), received, 1 << 20);
      page = std::to_string(received.size());
      body = &page;
      res.setContentType("text/plain");
    } else if (uri.rfind("/big", 0) == 0) {
      body = &kBig;
      res.setContentType("application/octet-stream");
    } else if (uri.rfind("/small", 0) == 0) {
      res.setContentType("application/json");
    } else {
      page = std::string("<!doctype html>") + kBatchScript;
      body = &page;
      res.setContentType("text/html");
    }
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
    hugePath = browser.folder.path() + "/huge.bin";
    std::string huge = pattern(kHugeSize, 13);
    std::ofstream(hugePath, std::ios::binary).write(huge.data(), static_cast<std::streamsize>(huge.size()));
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    port = socket.address().port();
    auto* params = new Poco::Net::HTTPServerParams;
    params->setKeepAlive(true);
    params->setMaxThreads(4);
    server = std::make_unique<Poco::Net::HTTPServer>(new PeerFactory, socket, params);
    server->start();

    // Loopback stays reachable for the peer; every other name still resolves to nothing.
    if (!startBrowser()) return false;
    // The replies of a megabyte and more take the engine's loopback road.
    browser.env->addLargeContentPath("/big");
    browser.env->addLargeContentPath("/huge");
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
    engineHost->route("/huge", [](const Request&, std::shared_ptr<Deferral> d) {
      Response r;
      r.headers = {{"Content-Type", "application/octet-stream"}};
      r.bodySource = fileBody(hugePath);
      d->complete(r);
    });
    engineHost->route("/upload", [](const Request& req, std::shared_ptr<Deferral> d) {
      Response r;
      r.headers = {{"Content-Type", "text/plain"}};
      r.body = std::to_string(req.body.size());
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
    options.browserArguments = "--disable-web-security";
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

  // Milliseconds per fetch of one batch of n, or a negative value on failure.
  double batch(Host& host, const std::string& url, size_t expectBytes, int n, bool up) {
    size_t before = host.messages.size();
    std::string call = up ? "upload('" + url + "', " + std::to_string(n) + ", " + std::to_string(expectBytes) + ")"
                          : "batch('" + url + "', " + std::to_string(n) + ")";
    host.webview->executeScript(call, nullptr);
    if (!loop.runUntil([&] { return host.messages.size() > before; })) return -1;
    auto m = nlohmann::json::parse(host.messages.back().json, nullptr, false);
    if (!m.is_object() || m.value("bytes", size_t(0)) != expectBytes * n) return -1;
    return m.value("ms", 0.0) / n;
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
size_t hugePeakGrowth = 0;             // the program's peak memory growth during 50 MiB replies

enum class Kind { small, big, huge, upload };

void roundTrip(benchmark::State& state, const char* name, bool engine, Kind kind) {
  if (!bench) {
    state.SkipWithError("no browser");
    return;
  }
  Host& host = engine ? *bench->engineHost : *bench->peerHost;
  std::string url = engine ? std::string("https://pelmora") : "http://127.0.0.1:" + std::to_string(bench->port);
  const char* paths[] = {"/small", "/big", "/huge", "/upload"};
  const size_t sizes[] = {kSmall.size(), kBig.size(), kHugeSize, kUploadSize};
  const int batches[] = {20, 20, 3, 3};
  int k = static_cast<int>(kind);
  url += paths[k];
  bool up = kind == Kind::upload;
  if (bench->batch(host, url, sizes[k], 1, up) < 0) {  // warm up
    state.SkipWithError("the warm-up failed");
    return;
  }
  double total = 0;
  int64_t n = 0;
  for (auto _ : state) {
    size_t before = 0;
    if (engine && kind == Kind::huge) {
      resetPeakMemory();
      before = memoryField("VmRSS:");
    }
    double ms = bench->batch(host, url, sizes[k], batches[k], up);
    if (ms < 0) {
      state.SkipWithError("a batch failed");
      return;
    }
    if (engine && kind == Kind::huge) {
      size_t peak = memoryField("VmHWM:");
      hugePeakGrowth = std::max(hugePeakGrowth, peak > before ? peak - before : 0);
    }
    state.SetIterationTime(ms / 1000.0);
    total += ms;
    ++n;
  }
  if (n) means[name] = total / n;
}

#define ROUND_TRIP(NAME, ENGINE, KIND, UNIT)                                                       \
  void NAME(benchmark::State& s) { roundTrip(s, #NAME, ENGINE, KIND); }                          \
  BENCHMARK(NAME)->UseManualTime()->Unit(UNIT)->MinTime(2.0);
ROUND_TRIP(BM_SmallJson_Engine, true, Kind::small, benchmark::kMicrosecond)
ROUND_TRIP(BM_SmallJson_Loopback, false, Kind::small, benchmark::kMicrosecond)
ROUND_TRIP(BM_Binary1MiB_Engine, true, Kind::big, benchmark::kMicrosecond)
ROUND_TRIP(BM_Binary1MiB_Loopback, false, Kind::big, benchmark::kMicrosecond)
ROUND_TRIP(BM_Binary50MiB_Engine, true, Kind::huge, benchmark::kMillisecond)
ROUND_TRIP(BM_Binary50MiB_Loopback, false, Kind::huge, benchmark::kMillisecond)
ROUND_TRIP(BM_Upload20MiB_Engine, true, Kind::upload, benchmark::kMillisecond)
ROUND_TRIP(BM_Upload20MiB_Loopback, false, Kind::upload, benchmark::kMillisecond)

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
    printf("%-24s engine %9.3f ms  loopback %9.3f ms  ratio %.2f\n", ours, means[ours], means[peer],
           means[ours] / means[peer]);
  };
  ratio("BM_SmallJson_Engine", "BM_SmallJson_Loopback");
  ratio("BM_Binary1MiB_Engine", "BM_Binary1MiB_Loopback");
  ratio("BM_Binary50MiB_Engine", "BM_Binary50MiB_Loopback");
  ratio("BM_Upload20MiB_Engine", "BM_Upload20MiB_Loopback");
  if (hugePeakGrowth) {
    printf("peak memory growth of the program during 50 MiB replies: %.1f MiB (%.2fx the body)\n",
           hugePeakGrowth / 1048576.0, static_cast<double>(hugePeakGrowth) / kHugeSize);
  }
  delete bench;
  benchmark::Shutdown();
  return 0;
}
