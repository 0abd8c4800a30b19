// One browser, two roads for the same page and the same small JSON call:
//  - BM_PluginRoundTrip_Host: a ZrkWebview; the page's fetch of "/plugin" goes through the
//    request dispatch, "plugin-requests-1", the router, the plugin handler and a plugin;
//  - BM_PluginRoundTrip_Engine: a bare engine webview whose handler answers the same bytes on a
//    worker thread (what BM_SmallJson_Engine measures).
// And BM_CreateToFirstNavigation_Host / _Engine: a new webview to its first completed navigation
// of the same page with the same document scripts; BM_ColdBrowser: starting the browser.
//
//   build/dev/bin/zrkwebview_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <thread>

#include "desk/message.h"
#include "desk/web/chromium_engine.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"

using namespace std::chrono_literals;
namespace web = desk::web;

namespace {

const char kPayload[] = R"({"label":"photo-viewer","width":1280,"height":800,"visible":true})";
const std::string kPage =
    "<!doctype html><title>bench</title><script>"
    "window.calls = async (n, url) => { const t = performance.now();"
    "  for (let i = 0; i < n; i++) {"
    "    const r = await fetch(url, { method: 'POST', headers: { 'Content-Type': 'application/json' },"
    "                                 body: JSON.stringify({label: 'photo-viewer', width: 1280, height: 800, visible: true}) });"
    "    window.lastStatus = r.status; await r.text(); }"
    "  window.done = (performance.now() - t) / n; };"
    "</script>";
const char kScript[] = "window.__bench = 1;";

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    std::this_thread::sleep_for(100us);
  }
  return true;
}

class EchoPlugin : public zrk::plugin::Plugin {
 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection*, http::HttpRequest* request,
                                        const nlohmann::json& payload) override {
    const zrk::plugin::CommandTable table = {
        {"echo", [](const nlohmann::json& p, zrk::Webview*, http::HttpRequest*) {
           return std::make_shared<http::HttpMimeResponse>(p.dump(), "application/json");
         }}};
    return zrk::plugin::runCommand(table, command, payload, webview, request);
  }
};

class BenchWindow : public zrk::Window {
 public:
  zrk::FloatSize innerSize() override { return {800, 600}; }
};

class BenchApp : public zrk::WindowDelegate {
 public:
  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return "pelmora"; }
  std::vector<std::string> webResourceDomains() const override { return {".pelmora"}; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>&) override {}
};

// Serves the page itself; everything else goes to the router.
class BenchDelegate : public zrk::Webview2Delegate {
 public:
  using Webview2Delegate::Webview2Delegate;
  bool handleRequest(http::HttpRequest* request, http::HttpResponseConnection* connection) override {
    if (request->uri().find("/bench.w") == std::string::npos) return Webview2Delegate::handleRequest(request, connection);
    connection->setStatus(200, "OK");
    connection->addHeader("Content-Type", "text/html; charset=utf-8");
    connection->write(kPage.data(), kPage.size());
    connection->finish();
    return true;
  }
  void onNavigationCompleted(zrk::Webview*) override { ++completed; }
  void injectScripts() override {
    if (auto w = webview()) w->addScriptOnDocumentCreated(kScript, nullptr);
  }
  std::atomic<int> completed{0};
};

// A worker thread answering bare engine requests, like a request queue.
class Worker {
 public:
  Worker() : thread_([this] { run(); }) {}
  ~Worker() {
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void post(std::function<void()> f) {
    {
      std::lock_guard lock(m_);
      q_.push_back(std::move(f));
    }
    cv_.notify_all();
  }

 private:
  void run() {
    for (;;) {
      std::function<void()> f;
      {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return stop_ || !q_.empty(); });
        if (q_.empty()) return;
        f = std::move(q_.front());
        q_.pop_front();
      }
      f();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> q_;
  bool stop_ = false;
  std::thread thread_;
};

struct World {
  BenchApp app;
  std::shared_ptr<BenchWindow> window = std::make_shared<BenchWindow>();
  double coldMs = 0;
  World() {
    dispatch_init();
    zrk::setLogLevel(1);
    const char* tmp = getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrkwebview-bench-XXXXXX";
    if (mkdtemp(folder.data())) setenv("XDG_DATA_HOME", folder.c_str(), 1);
    auto plugin = std::make_shared<EchoPlugin>();
    plugin->setName("bench");
    zrk::plugin::PluginRegistry::add(plugin);
    auto& list = http::handlerList();
    if (!list) list = std::make_shared<http::HandlerArray>();
    list->push_back(std::make_shared<http::HttpPluginHandler>());
    window->setDelegate(&app);
  }
};
World& world() {
  static World* w = new World();
  return *w;
}

struct HostView {
  std::shared_ptr<zrk::ZrkWebview> webview;
  std::shared_ptr<BenchDelegate> delegate;
};

// A host webview with the page loaded; the time to the first completed navigation in `ms`.
HostView makeHost(double* ms) {
  auto start = std::chrono::steady_clock::now();
  HostView h;
  h.webview = zrk::ZrkWebview::make("", world().window.get());
  h.delegate = std::make_shared<BenchDelegate>(world().window, h.webview);
  h.webview->setDelegate(h.delegate);
  bool ready = false;
  h.webview->create({}, [&](zrk::Webview*, bool) { ready = true; });
  pumpUntil([&] { return ready; });
  h.webview->navigate("https://.pelmora/bench.w");
  pumpUntil([&] { return h.delegate->completed > 0; });
  if (ms) *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return h;
}

struct EngineView {
  std::shared_ptr<web::Webview> view;
  std::shared_ptr<Worker> worker = std::make_shared<Worker>();
  std::shared_ptr<std::atomic<int>> completed = std::make_shared<std::atomic<int>>(0);
};

EngineView makeEngine(double* ms) {
  auto start = std::chrono::steady_clock::now();
  EngineView e;
  auto env = zrk::currentWebEnvironment();
  bool ready = false;
  env->createWebview([&](web::Result, std::shared_ptr<web::Webview> v) { e.view = v, ready = true; });
  pumpUntil([&] { return ready; });
  web::WebviewEvents events;
  auto worker = e.worker;
  events.resourceRequested = [worker](web::ResourceRequestedEvent& ev) {
    web::Request r;
    ev.getRequest(r);
    auto d = ev.getDeferral();
    bool page = r.url.find("/bench.w") != std::string::npos;
    worker->post([d, page, r] {
      web::Response resp;
      resp.headers = {{"Content-Type", page ? "text/html; charset=utf-8" : "application/json"}};
      resp.body = page ? kPage : nlohmann::json::parse(r.body).dump();
      d->complete(resp);
    });
  };
  auto completed = e.completed;
  events.navigationCompleted = [completed](const web::NavigationCompleted& n) {
    if (n.url.find("bench.w") != std::string::npos) ++*completed;
  };
  e.view->setEvents(events);
  e.view->addRequestFilter("pelmora");
  e.view->addRequestFilter(".pelmora");
  e.view->addScriptOnDocumentCreated(kScript, nullptr);
  e.view->setBounds({0, 0, 800, 600});
  e.view->navigate("https://.pelmora/bench.w");
  pumpUntil([&] { return *e.completed > 0; });
  if (ms) *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return e;
}

void ensureBrowser() {
  World& w = world();
  if (w.coldMs > 0) return;
  auto start = std::chrono::steady_clock::now();
  makeHost(nullptr).webview->close();
  w.coldMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Runs one batch of calls in the page and gives the mean per call in seconds.
template <typename Eval>
double batch(Eval eval, int n) {
  eval("window.done = 0; window.calls(" + std::to_string(n) +
       ", 'https://pelmora/plugin?name=bench&event=echo')");
  double perCall = 0;
  pumpUntil([&] {
    std::string v = eval("window.done");
    perCall = atof(v.c_str());
    return perCall > 0;
  });
  return perCall / 1000.0;
}

void BM_PluginRoundTrip_Host(benchmark::State& state) {
  ensureBrowser();
  HostView h = makeHost(nullptr);
  auto eval = [&](const std::string& s) { return h.webview->evaluateScriptSync(s); };
  batch(eval, 20);  // warm-up
  for (auto _ : state) state.SetIterationTime(batch(eval, 50));
  // The plugin answered (not a refusal of the router).
  state.counters["status"] = atof(eval("window.lastStatus").c_str());
  h.webview->close();
  pumpUntil([] { return false; }, 50ms);
}

void BM_PluginRoundTrip_Engine(benchmark::State& state) {
  ensureBrowser();
  EngineView e = makeEngine(nullptr);
  auto eval = [&](const std::string& s) {
    auto out = std::make_shared<std::pair<bool, std::string>>();
    e.view->executeScript(s, [out](web::Result, const std::string& json) { *out = {true, json}; });
    pumpUntil([&] { return out->first; });
    return out->second;
  };
  batch(eval, 20);
  for (auto _ : state) state.SetIterationTime(batch(eval, 50));
  state.counters["status"] = atof(eval("window.lastStatus").c_str());
  e.view->close();
}

void BM_CreateToFirstNavigation_Host(benchmark::State& state) {
  ensureBrowser();
  for (auto _ : state) {
    double ms = 0;
    HostView h = makeHost(&ms);
    state.SetIterationTime(ms / 1000.0);
    h.webview->close();
    pumpUntil([] { return false; }, 20ms);
  }
}

void BM_CreateToFirstNavigation_Engine(benchmark::State& state) {
  ensureBrowser();
  for (auto _ : state) {
    double ms = 0;
    EngineView e = makeEngine(&ms);
    state.SetIterationTime(ms / 1000.0);
    e.view->close();
    pumpUntil([] { return false; }, 20ms);
  }
}

void BM_ColdBrowser(benchmark::State& state) {
  ensureBrowser();
  for (auto _ : state) state.SetIterationTime(world().coldMs / 1000.0);
}

BENCHMARK(BM_PluginRoundTrip_Host)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20);
BENCHMARK(BM_PluginRoundTrip_Engine)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20);
BENCHMARK(BM_CreateToFirstNavigation_Host)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_CreateToFirstNavigation_Engine)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_ColdBrowser)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
