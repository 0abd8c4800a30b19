// Page requests from the engine to their handlers and back, on the fake engine: the queue each
// request runs on, the adapters, every way a request ends, cancelling and draining. The dispatch
// library and the handler list are process-wide: this executable's tests share them, and the
// last test shuts the queues down.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "../webview/page_harness.h"
#include "desk/message.h"
#include "desk/thread.h"
#include "desk/web/fake_engine.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-body-buffer.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/request-dispatch.h"
#include "zrkwebview/browser/src/webview2/web-request.h"

namespace {

using namespace std::chrono_literals;
using desk::web::FakeRequestRecord;
using State = FakeRequestRecord::State;
using nlohmann::json;

// Runs the UI thread's messages until `done` holds (false after the time limit).
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    if (done()) break;
    desk::MsgWaitForMultipleObjects(0, nullptr, false, 5, desk::QS_ALLINPUT);
  }
  return true;
}

// A gate handlers wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
    --waiting_;
  }
  // Waits (without pumping) until `n` handlers wait at the gate.
  bool waitForWaiters(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, 20s, [&] { return waiting_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = true;
  int waiting_ = 0;
};

Gate gate;

std::string queueOf(uint32_t threadId) {
  for (const char* name : {zrk::kPluginRequestQueue, zrk::kHttpRequestQueue}) {
    if (auto q = dispatch_get_queue(name); q != nullptr && q->threadId == threadId) return name;
  }
  return "thread " + std::to_string(threadId);
}

// Who handled what, on which queue.
std::mutex seenMutex;
std::vector<std::string> seen;
void note(const std::string& what) {
  std::lock_guard<std::mutex> lock(seenMutex);
  seen.push_back(what + " on " + queueOf(desk::GetCurrentThreadId()));
}
std::vector<std::string> takeSeen() {
  std::lock_guard<std::mutex> lock(seenMutex);
  return std::exchange(seen, {});
}

// A handler that notes itself, and per path: waits at the gate, throws, writes nothing, or waits
// for the UI thread.
class Recorder : public http::HttpHandler {
  VESK_DECLARE_CLASS(Recorder, http::HttpHandler, "test")

 public:
  Recorder(std::string name, const char* path, std::string pagesPrefix = "")
      : name_(std::move(name)), path_(path), pagesPrefix_(std::move(pagesPrefix)) {}
  const char* path() override { return path_; }
  bool canHandle(const char* route) override {
    return !pagesPrefix_.empty() && std::string(route).rfind(pagesPrefix_, 0) == 0;
  }
  bool handleGet(http::HttpRequest* request, http::HttpResponseConnection* connection) override {
    return handle(request, connection);
  }
  bool handlePost(http::HttpRequest* request, http::HttpResponseConnection* connection) override {
    return handle(request, connection);
  }

  std::function<void()> onMainQueue;  // the "sync" handler runs it on the UI thread

 private:
  bool handle(http::HttpRequest* request, http::HttpResponseConnection* connection) {
    note(name_ + " " + request->method());
    std::string body = name_;
    if (name_ == "slow") {
      gate.wait();
      body += request->isCancelled() ? " cancelled" : " not cancelled";
    } else if (name_ == "thrower") {
      throw std::runtime_error("handler failed");
    } else if (name_ == "silent") {
      return true;
    } else if (name_ == "sync") {
      dispatch_sync(dispatch_get_main_queue(), [] { note("main-queue work"); });
    }
    note(name_ + " done");
    http::HttpMimeResponse response(body, "text/plain");
    http::sendResponse(connection, request, &response);
    return true;
  }

  std::string name_;
  const char* path_;
  std::string pagesPrefix_;
};

// A plugin whose commands note where they ran; "close" removes the calling webview from its
// window, as closing it does.
class ProbePlugin : public zrk::plugin::Plugin {
 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection*, http::HttpRequest*,
                                        const json&) override {
    note("probe " + command);
    if (command == "close" && webview != nullptr) {
      if (auto window = webview->window()) window->removeWebview(webview->label());
    }
    return std::make_shared<http::HttpMimeResponse>("probe " + command, "text/plain");
  }
};

void registerHandlers() {
  static const bool done = [] {
    auto probe = std::make_shared<ProbePlugin>();
    probe->setName("probe");
    zrk::plugin::PluginRegistry::add(probe);
    http::registerPluginHandler();
    static std::vector<http::HandlerWrapper> wrappers;
    for (auto& [name, path] : std::vector<std::pair<std::string, const char*>>{
             {"getimage", "/getimage"}, {"slow", "/slow"}, {"thrower", "/throw"},
             {"silent", "/silent"}, {"sync", "/sync"}, {"plug", "/plug"}}) {
      wrappers.emplace_back(std::make_shared<Recorder>(name, path), false);
    }
    wrappers.emplace_back(std::make_shared<Recorder>("pages", nullptr, "https://.zrk.test/"), false);
    return true;
  }();
  (void)done;
}

// A deferral of our own, for requests made without the engine.
class TestDeferral : public desk::web::Deferral {
 public:
  desk::web::Result complete(desk::web::Response response) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return desk::web::Result::failed;
    done_ = true;
    answered_ = true;
    response_ = std::move(response);
    return desk::web::Result::ok;
  }
  desk::web::Result fail() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return desk::web::Result::failed;
    done_ = true;
    return desk::web::Result::ok;
  }
  bool done() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  bool answered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answered_;
  }
  desk::web::Response response() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return response_;
  }

 private:
  mutable std::mutex mutex_;
  bool done_ = false;
  bool answered_ = false;
  desk::web::Response response_;
};

// The webview of the page: owns its dispatch, as the engine-facing webview does.
class PageWebview : public pel::test::FakeWebview {
 public:
  using FakeWebview::FakeWebview;
  std::shared_ptr<zrk::RequestDispatch> dispatch;
};

class RequestDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch_init();
    registerHandlers();
    environment = nullptr;
    engineView = nullptr;
    takeSeen();
    gate.open();
    engine = desk::web::FakeEngine::create();
    auto executor = [](std::function<void()> work) {
      dispatch_async(dispatch_get_main_queue(), std::move(work));
    };
    engine->createEnvironment({}, executor,
                              [this](desk::web::Result, std::shared_ptr<desk::web::Environment> e,
                                     const std::string&) { environment = e; });
    ASSERT_TRUE(pumpUntil([&] { return environment != nullptr; }));
    std::shared_ptr<desk::web::Webview> made;
    environment->createWebview(
        [&](desk::web::Result, std::shared_ptr<desk::web::Webview> w) { made = std::move(w); });
    ASSERT_TRUE(pumpUntil([&] { return made != nullptr; }));
    engineView = engine->webviews().at(0);
    engineView->addRequestFilter("zrk.test");
    engineView->addRequestFilter(".zrk.test");

    window = app.addWindow("main");
    webview = std::make_shared<PageWebview>("main_webview", window.get());
    webview->setDelegate(std::make_shared<zrk::Webview2Delegate>(window, webview));
    webview->dispatch = zrk::RequestDispatch::create(webview);
    window->addWebview(webview, true);
    dispatch = webview->dispatch;
    desk::web::WebviewEvents events;
    std::weak_ptr<zrk::RequestDispatch> weak = dispatch;
    events.resourceRequested = [weak](desk::web::ResourceRequestedEvent& event) {
      if (auto d = weak.lock()) d->onResourceRequested(event);
    };
    engineView->setEvents(events);
  }

  void TearDown() override {
    gate.open();
    if (dispatch) pumpUntil([&] { return dispatch->pendingCount() == 0; });
  }

  std::shared_ptr<FakeRequestRecord> raise(const std::string& method, const std::string& url,
                                           std::string body = "") {
    desk::web::Headers headers;
    if (!body.empty()) headers.emplace_back("Content-Type", "application/json");
    return engineView->raiseRequest({method, url, headers, std::move(body)});
  }

  static bool ended(const std::shared_ptr<FakeRequestRecord>& r) { return r->state() != State::pending; }

  pel::test::TestApp app;
  std::shared_ptr<desk::web::FakeEngine> engine;
  std::shared_ptr<desk::web::Environment> environment;
  std::shared_ptr<desk::web::FakeWebview> engineView;
  std::shared_ptr<zrk::Window> window;
  std::shared_ptr<PageWebview> webview;
  std::shared_ptr<zrk::RequestDispatch> dispatch;
};

TEST_F(RequestDispatchTest, EachRequestRunsOnItsQueueAndReachesItsHandler) {
  struct Case {
    const char* url;
    std::vector<std::string> seen;
    State state;
    int status;
  } cases[] = {
      {"https://zrk.test/plugin?name=probe&event=where",
       {"probe where on plugin-requests-1"}, State::answered, 200},
      {"https://zrk.test/plug%69n?name=probe&event=where",
       {"probe where on plugin-requests-1"}, State::answered, 200},
      {"https://zrk.test/PLUGIN?name=probe&event=where",
       {"plug POST on http_requests-1", "plug done on http_requests-1"}, State::answered, 200},
      {"https://zrk.test/pluginx?name=probe&event=where",
       {"plug POST on http_requests-1", "plug done on http_requests-1"}, State::answered, 200},
      {"https://zrk.test/plugin/x?name=probe&event=where",
       {"plug POST on http_requests-1", "plug done on http_requests-1"}, State::answered, 200},
      {"https://zrk.test/getimage?path=a.png",
       {"getimage POST on http_requests-1", "getimage done on http_requests-1"}, State::answered, 200},
      {"https://.zrk.test/plugin?name=probe&event=where",
       {"pages POST on http_requests-1", "pages done on http_requests-1"}, State::answered, 200},
      {"https://zrk.test/%zz", {}, State::failed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto record = raise("POST", c.url, "{}");
    ASSERT_TRUE(record);
    ASSERT_TRUE(pumpUntil([&] { return ended(record) && dispatch->pendingCount() == 0; }));
    EXPECT_EQ(record->state(), c.state);
    EXPECT_EQ(takeSeen(), c.seen);
    if (c.state == State::answered) {
      EXPECT_EQ(record->response().status, c.status);
      EXPECT_NE(queueOf(0), "");  // the queues exist by now
    }
  }
}

TEST_F(RequestDispatchTest, SlowRequestsKeepTheirOrderAndAPluginCallOvertakesThem) {
  gate.close();
  auto first = raise("GET", "https://zrk.test/slow?n=1");
  auto second = raise("GET", "https://zrk.test/slow?n=2");
  ASSERT_TRUE(pumpUntil([&] { return dispatch->pendingCount() == 2; }));
  ASSERT_TRUE(gate.waitForWaiters(1));
  auto plugin = raise("POST", "https://zrk.test/plugin?name=probe&event=fast", "{}");
  ASSERT_TRUE(pumpUntil([&] { return ended(plugin); }));
  EXPECT_EQ(plugin->response().body, "probe fast");
  EXPECT_EQ(first->state(), State::pending);
  EXPECT_EQ(second->state(), State::pending);
  gate.open();
  ASSERT_TRUE(pumpUntil([&] { return ended(first) && ended(second) && dispatch->pendingCount() == 0; }));
  EXPECT_EQ(takeSeen(), (std::vector<std::string>{
                            "slow GET on http_requests-1", "probe fast on plugin-requests-1",
                            "slow done on http_requests-1", "slow GET on http_requests-1",
                            "slow done on http_requests-1"}));
  EXPECT_EQ(first->response().body, "slow not cancelled");
}

// A body handed over in pieces of the given sizes, in turn (the last cut to what is left).
class PiecesBody : public zrk::RequestBody {
 public:
  PiecesBody(std::string bytes, std::vector<size_t> pieces) : bytes_(std::move(bytes)), pieces_(std::move(pieces)) {}
  uint64_t size() override { return bytes_.size(); }
  std::string nextPiece(size_t maxBytes) override {
    if (offset_ >= bytes_.size()) return {};
    const size_t piece = std::min({pieces_[turn_++ % pieces_.size()], maxBytes, bytes_.size() - offset_});
    std::string out = bytes_.substr(offset_, piece);
    offset_ += piece;
    return out;
  }

 private:
  std::string bytes_;
  std::vector<size_t> pieces_;
  size_t offset_ = 0;
  size_t turn_ = 0;
};

TEST(WebRequestTest, ReadsFillEachBufferWhateverThePieces) {
  std::string body(10000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  zrk::WebRequest request("POST", "https://zrk.test/x", {}, std::make_unique<PiecesBody>(body, std::vector<size_t>{1, 8095, 8097}));
  const std::string a = request.read(8096);
  EXPECT_EQ(request.contentLength(), 10000u);  // asked midway: the position stays
  const std::string b = request.read(8096);
  EXPECT_EQ(a.size(), 8096u);
  EXPECT_EQ(b.size(), 1904u);
  EXPECT_EQ(a + b, body);
  EXPECT_EQ(request.read(8096), "");

  // A huge request allocates only what is left.
  zrk::WebRequest big("POST", "https://zrk.test/x", {}, std::make_unique<zrk::MemoryRequestBody>("abc"));
  EXPECT_EQ(big.read(size_t{1} << 60), "abc");

  zrk::WebRequest none(desk::web::Request{"GET", "https://zrk.test/", {}, ""});
  EXPECT_EQ(none.contentLength(), 0u);
  EXPECT_EQ(none.read(100), "");
}

TEST(WebRequestTest, HeadersKeepTheirOrderAndMatchWithoutCase) {
  pel::test::LogCapture log(3);
  zrk::WebRequest request(desk::web::Request{
      "POST", "https://zrk.test/x",
      {{"Content-Type", "application/json"}, {"X-Rep", "1"}, {"x-rep", "2"}, {"Transfer-Encoding", "chunked"}},
      "{}"});
  EXPECT_EQ(request.header("content-type"), "application/json");
  EXPECT_EQ(request.header("X-REP"), "1");
  EXPECT_EQ(request.header("Content-Typ"), "");
  EXPECT_EQ(request.headers().size(), 4u);
  EXPECT_EQ(request.headers()[2], (std::pair<std::string, std::string>{"x-rep", "2"}));
  EXPECT_EQ(request.method(), "POST");
  EXPECT_EQ(request.uri(), "https://zrk.test/x");
  EXPECT_TRUE(request.reserved().empty());
  EXPECT_TRUE(log.contains("request https://zrk.test/x carries \"Transfer-Encoding: chunked\""));
}

TEST(WebResponseTest, StatusReasonHeadersAndBody) {
  struct Case {
    std::function<void(zrk::WebResponse&)> write;
    int status;
    std::string reason;
    desk::web::Headers headers;
    std::string body;
  } cases[] = {
      {[](zrk::WebResponse&) {}, 200, "OK", {{"Content-Length", "0"}}, ""},
      {[](zrk::WebResponse& r) { r.setStatus(404, nullptr); }, 404, "OK", {{"Content-Length", "0"}}, ""},
      {[](zrk::WebResponse& r) { r.setStatus(400, "plugin invoke failed"); }, 400, "plugin invoke failed",
       {{"Content-Length", "0"}}, ""},
      {[](zrk::WebResponse& r) {
         r.setStatus(410, "gone");
         r.setStatus(201, nullptr);
       },
       201, "gone", {{"Content-Length", "0"}}, ""},
      {[](zrk::WebResponse& r) {
         r.addHeader("X-A", "1");
         r.addHeader("X-A", "2");
         r.addHeader("Transfer-Encoding", "chunked");
         r.addHeader("Content-Length", "999");
         EXPECT_EQ(r.write(nullptr, 5), 5);
         EXPECT_EQ(r.write("hello", 5), 5);
         EXPECT_EQ(r.write("!", 0), 0);
       },
       200, "OK", {{"X-A", "1"}, {"X-A", "2"}, {"Content-Length", "5"}}, "hello"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    auto deferral = std::make_shared<TestDeferral>();
    zrk::WebResponse response(deferral);
    EXPECT_FALSE(response.isClosed());
    cases[i].write(response);
    EXPECT_FALSE(deferral->done());  // nothing reaches the engine before finish
    response.finish();
    response.finish();  // once only
    ASSERT_TRUE(deferral->answered());
    const auto sent = deferral->response();
    EXPECT_EQ(sent.status, cases[i].status);
    EXPECT_EQ(sent.reason, cases[i].reason);
    EXPECT_EQ(sent.headers, cases[i].headers);
    EXPECT_EQ(sent.body, cases[i].body);
  }
  // Destroyed without finish: the request fails.
  auto deferral = std::make_shared<TestDeferral>();
  { zrk::WebResponse response(deferral); response.write("x", 1); }
  EXPECT_TRUE(deferral->done());
  EXPECT_FALSE(deferral->answered());
}

TEST(WebResponseTest, AWholeBodyReachesTheEngineAsABodySource) {
  class Pixels : public http::HttpBodyBuffer {
   public:
    explicit Pixels(size_t n) : bytes_(n, '\0') {
      for (size_t i = 0; i < n; ++i) bytes_[i] = static_cast<char>(i % 251);
    }
    const char* data() const override { return bytes_.data(); }
    size_t size() const override { return bytes_.size(); }
    std::string bytes_;
  };
  auto pixels = std::make_shared<Pixels>(100000);
  const std::string expected = pixels->bytes_;
  auto deferral = std::make_shared<TestDeferral>();
  {
    zrk::WebResponse response(deferral);
    http::HttpBufferResponse reply(std::move(pixels), "application/octet-stream");
    pel::test::FakeRequest request;
    http::sendResponse(&response, &request, &reply);
  }
  ASSERT_TRUE(deferral->answered());
  desk::web::Response sent = deferral->response();
  EXPECT_TRUE(sent.body.empty()) << "never gathered into the reply";
  ASSERT_TRUE(sent.bodySource);
  EXPECT_EQ(sent.bodySource->size(), expected.size());
  size_t lengths = 0;
  for (const auto& [name, value] : sent.headers) {
    if (name == "Content-Length") {
      ++lengths;
      EXPECT_EQ(value, std::to_string(expected.size()));
    }
  }
  EXPECT_EQ(lengths, 1u);
  // Read as the engine reads it, in pieces, after the handler's objects are gone.
  std::string got;
  char piece[30000];
  for (int64_t n; (n = sent.bodySource->read(piece, sizeof piece)) > 0;) got.append(piece, n);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(sent.bodySource->read(piece, sizeof piece), 0);
}

TEST_F(RequestDispatchTest, EveryRequestEnds) {
  struct Case {
    const char* name;
    std::function<void()> before;  // breaks something
    const char* url;
    std::function<void(const std::shared_ptr<FakeRequestRecord>&)> meanwhile;
    State state;
    int status;
  } cases[] = {
      {"no delegate", [&] { webview->setDelegate(nullptr); }, "https://zrk.test/getimage", nullptr,
       State::failed, 0},
      {"window gone", [&] { app.windows.clear(); window.reset(); }, "https://zrk.test/getimage", nullptr,
       State::failed, 0},
      {"engine gives no request", [&] { engine->failNext(desk::web::FakeCall::getRequest); },
       "https://zrk.test/getimage", nullptr, State::dropped, 0},
      {"engine gives no deferral", [&] { engine->failNext(desk::web::FakeCall::getDeferral); },
       "https://zrk.test/getimage", nullptr, State::dropped, 0},
      {"handler writes nothing", nullptr, "https://zrk.test/silent", nullptr, State::answered, 404},
      {"handler throws", nullptr, "https://zrk.test/throw", nullptr, State::answered, 500},
      {"engine drops the deferral", [&] { gate.close(); }, "https://zrk.test/slow",
       [&](const std::shared_ptr<FakeRequestRecord>& r) {
         gate.waitForWaiters(1);
         engineView->dropDeferral(r);
         gate.open();
       },
       State::lost, 0},
      {"webview closes with the request pending", [&] { gate.close(); }, "https://zrk.test/slow",
       [&](const std::shared_ptr<FakeRequestRecord>&) {
         gate.waitForWaiters(1);
         dispatch->setClosing();
         engineView->close();
         gate.open();
       },
       State::lost, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.before) c.before();
    auto record = raise("GET", c.url);
    ASSERT_TRUE(record);
    if (c.meanwhile) {
      ASSERT_TRUE(pumpUntil([&] { return dispatch->pendingCount() == 1; }));
      c.meanwhile(record);
    }
    ASSERT_TRUE(pumpUntil([&] { return ended(record) && dispatch->pendingCount() == 0; }));
    EXPECT_EQ(record->state(), c.state);
    if (c.state == State::answered) {
      EXPECT_EQ(record->response().status, c.status);
    }
    takeSeen();
  }
  // After closing, new requests are failed at once.
  SetUp();
  dispatch->setClosing();
  auto late = raise("GET", "https://zrk.test/getimage");
  ASSERT_TRUE(pumpUntil([&] { return ended(late); }));
  EXPECT_EQ(late->state(), State::failed);
  EXPECT_TRUE(takeSeen().empty());
}

TEST_F(RequestDispatchTest, CancelRequestsByUrlOrPath) {
  gate.close();
  auto a = raise("GET", "https://zrk.test/slow?n=1");
  auto b = raise("GET", "https://zrk.test/slow?n=2");
  auto c = raise("GET", "https://zrk.test/slow/other");
  ASSERT_TRUE(pumpUntil([&] { return dispatch->pendingCount() == 3; }));
  dispatch->cancelRequests({});
  dispatch->cancelRequests({"https://zrk.test/slow?n=2", "http://[::1", "https://zrk.test/%zz", ""});
  dispatch->cancelRequests({"/slow/other"});
  gate.open();
  ASSERT_TRUE(pumpUntil([&] { return ended(a) && ended(b) && ended(c) && dispatch->pendingCount() == 0; }));
  EXPECT_EQ(a->response().body, "slow not cancelled");
  EXPECT_EQ(b->response().body, "slow cancelled");
  EXPECT_EQ(c->response().body, "slow cancelled");
}

TEST_F(RequestDispatchTest, CancelAllRequestsDrainsWhileRunningTheUiThread) {
  // Nothing pending: returns without taking a message.
  desk::PostThreadMessage(desk::GetCurrentThreadId(), desk::WM_USER + 5, 0, 0);
  dispatch->cancelAllRequests();
  desk::MSG msg;
  ASSERT_TRUE(desk::PeekMessage(&msg, nullptr, desk::WM_USER + 5, desk::WM_USER + 5, desk::PM_REMOVE));

  // A handler waiting for the UI thread finishes while the drain runs; the drain sleeps between
  // messages.
  auto deferral = std::make_shared<TestDeferral>();
  dispatch->dispatch(std::make_shared<zrk::WebRequest>(desk::web::Request{"GET", "https://zrk.test/sync", {}, ""}),
                     std::make_shared<zrk::WebResponse>(deferral));
  auto slowDeferral = std::make_shared<TestDeferral>();
  gate.close();
  dispatch->dispatch(std::make_shared<zrk::WebRequest>(desk::web::Request{"GET", "https://zrk.test/slow", {}, ""}),
                     std::make_shared<zrk::WebResponse>(slowDeferral));
  std::thread opener([] {
    gate.waitForWaiters(1);
    std::this_thread::sleep_for(200ms);
    gate.open();
  });
  const uint64_t wakeupsBefore = dispatch->drainWakeups();
  dispatch->cancelAllRequests();
  opener.join();
  EXPECT_EQ(dispatch->pendingCount(), 0u);
  EXPECT_TRUE(deferral->answered());
  EXPECT_EQ(deferral->response().body, "sync");
  EXPECT_EQ(slowDeferral->response().body, "slow cancelled");
  const auto order = takeSeen();
  ASSERT_EQ(order.size(), 5u);
  EXPECT_EQ(order[1], "main-queue work on thread " + std::to_string(desk::GetCurrentThreadId()));
  // A few wake-ups (the main-queue work, the two ends), not a spin over 200 ms.
  EXPECT_LE(dispatch->drainWakeups() - wakeupsBefore, 10u);

  // WM_QUIT ends the drain and is posted again for the outer loop.
  gate.close();
  auto pending = std::make_shared<TestDeferral>();
  dispatch->dispatch(std::make_shared<zrk::WebRequest>(desk::web::Request{"GET", "https://zrk.test/slow", {}, ""}),
                     std::make_shared<zrk::WebResponse>(pending));
  desk::PostQuitMessage(7);
  dispatch->cancelAllRequests();
  EXPECT_EQ(dispatch->pendingCount(), 1u);
  ASSERT_EQ(desk::GetMessage(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, desk::WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  gate.open();
  ASSERT_TRUE(pumpUntil([&] { return dispatch->pendingCount() == 0; }));
  EXPECT_TRUE(pending->answered());
  takeSeen();
}

TEST_F(RequestDispatchTest, APageClosesItsOwnWebviewThroughAPendingPluginCall) {
  std::weak_ptr<PageWebview> weak = webview;
  std::weak_ptr<zrk::RequestDispatch> weakDispatch = dispatch;
  dispatch.reset();
  webview.reset();  // the window's list holds the webview, the webview its dispatch
  auto record = raise("POST", "https://zrk.test/plugin?name=probe&event=close", "{}");
  ASSERT_TRUE(pumpUntil([&] { return ended(record); }));
  EXPECT_EQ(record->state(), State::answered);
  EXPECT_EQ(record->response().body, "probe close");
  ASSERT_TRUE(pumpUntil([&] { return weak.expired() && weakDispatch.expired(); }));
  EXPECT_EQ(window->webviewCount(), 0u);
}

// Last: shuts the dispatch library down for the rest of the process.
TEST_F(RequestDispatchTest, ZzQueueShutdownEndsEveryRequest) {
  gate.close();
  auto running = std::make_shared<TestDeferral>();
  auto needsUi = std::make_shared<TestDeferral>();
  auto queued = std::make_shared<TestDeferral>();
  auto send = [&](const char* url, const std::shared_ptr<TestDeferral>& deferral) {
    dispatch->dispatch(std::make_shared<zrk::WebRequest>(desk::web::Request{"GET", url, {}, ""}),
                       std::make_shared<zrk::WebResponse>(deferral));
  };
  send("https://zrk.test/slow", running);
  send("https://zrk.test/sync", needsUi);  // waits for the UI thread, which stops serving
  send("https://zrk.test/getimage", queued);
  ASSERT_TRUE(gate.waitForWaiters(1));
  std::thread opener([] {
    std::this_thread::sleep_for(100ms);
    gate.open();
  });
  dispatch_shutdown();
  opener.join();
  auto late = std::make_shared<TestDeferral>();
  send("https://zrk.test/getimage", late);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while ((!running->done() || !needsUi->done() || !queued->done() || !late->done() ||
          dispatch->pendingCount() != 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(running->response().body, "slow not cancelled");
  EXPECT_EQ(needsUi->response().status, 500);
  EXPECT_EQ(queued->response().body, "getimage");
  EXPECT_TRUE(late->done());
  EXPECT_EQ(dispatch->pendingCount(), 0u);
  dispatch.reset();
  webview.reset();
}

}  // namespace
