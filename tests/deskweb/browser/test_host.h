// A tiny host for the real-browser tests: one browser per test executable, webviews that serve
// a page from the leading-dot host and answer the other host's requests on a worker thread, the
// way the webview host does with its request queues.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "deskweb/test_loop.h"
#include "desk/web/chromium_engine.h"

namespace deskweb_test {

using namespace desk::web;

inline const char* kHost = "pelmora";
inline const char* kPageHost = ".pelmora";

// FNV-1a over bytes, as the test page computes it.
inline std::string fnv(const std::string& bytes) {
  uint32_t h = 0x811c9dc5u;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= 0x01000193u;
  }
  char buf[16];
  snprintf(buf, sizeof buf, "%x", h);
  return buf;
}

// The byte pattern the page sends and the host replies with (it holds NUL bytes).
inline std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * seed + (i >> 8)) & 255);
  return s;
}

// Runs handler work off the owner's thread, in order, like a request queue.
class Worker {
 public:
  Worker() : thread_([this] { run(); }) {}
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void post(std::function<void()> f) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(f));
    }
    cv_.notify_all();
  }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  void run() {
    for (;;) {
      std::function<void()> f;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        f = std::move(queue_.front());
        queue_.pop_front();
      }
      f();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool stop_ = false;
  std::thread thread_;
};

// A fresh folder under $TMPDIR, removed at the end.
class TempFolder {
 public:
  TempFolder() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/deskweb-XXXXXX";
    if (mkdtemp(templ.data())) path_ = templ;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// One running browser.
struct Browser {
  TempFolder folder;
  std::shared_ptr<Environment> env;
  std::string error;

  // Starts a browser with the arguments the webview host gives; fails (never skips) without one.
  bool start(TestLoop& loop) {
    EnvironmentOptions options;
    options.userDataFolder = folder.path() + "/WebData";
    options.browserArguments = "--disable-web-security --disable-features=Translate ";
    if (const char* log = getenv("DESKWEB_BROWSER_LOG")) options.browserLog = log;
    bool done = false;
    ChromiumEngine::create()->createEnvironment(
        options, loop.executor(), [&](Result r, std::shared_ptr<Environment> e, const std::string& why) {
          done = true;
          if (r == Result::ok) env = e;
          else error = std::string(resultName(r)) + ": " + why;
        });
    if (!loop.runUntil([&] { return done; })) error = "the browser did not start in time";
    return env != nullptr;
  }
  int pid() const { return env ? static_cast<ChromiumEnvironment&>(*env).browserProcessId() : 0; }
};

// One webview with its routes.
class Host {
 public:
  using Route = std::function<void(const Request&, std::shared_ptr<Deferral>)>;

  Host(TestLoop& loop, Environment& env) : loop_(loop) {
    bool done = false;
    env.createWebview([&](Result r, std::shared_ptr<Webview> w) {
      done = true;
      createResult = r;
      webview = std::move(w);
    });
    loop_.runUntil([&] { return done; });
    if (!webview) return;
    WebviewEvents events;
    events.resourceRequested = [this](ResourceRequestedEvent& e) { onRequest(e); };
    events.webMessageReceived = [this](const WebMessage& m) { messages.push_back(m); };
    events.titleChanged = [this](const std::string& t) { titles.push_back(t); };
    events.navigationStarting = [this](NavigationStarting& n) {
      if (stopWhen && n.cancellable && stopWhen(n)) n.cancel = true;
      started.push_back(n);
    };
    events.scriptDialogOpening = [this](ScriptDialogOpening& d) {
      if (onDialog) onDialog(d);
    };
    events.navigationCompleted = [this](const NavigationCompleted& n) { completed.push_back(n); };
    events.processFailed = [this](const std::string& why) { failures.push_back(why); };
    webview->setEvents(events);
    webview->addRequestFilter(kHost);
    webview->addRequestFilter(kPageHost);
  }
  ~Host() {
    if (webview) webview->close();
  }

  void route(const std::string& path, Route r) { routes_[path] = std::move(r); }
  void page(const std::string& path, const std::string& html) {
    route(path, [html](const Request&, std::shared_ptr<Deferral> d) {
      Response r;
      r.headers = {{"Content-Type", "text/html; charset=utf-8"}};
      r.body = html;
      d->complete(r);
    });
  }

  // Waits (bounded) for the first web message and gives its JSON.
  std::string waitMessage(size_t index = 0) {
    loop_.runUntil([&] { return messages.size() > index; });
    return messages.size() > index ? messages[index].json : std::string();
  }

  std::string evaluate(const std::string& script, Result* result = nullptr) {
    // Shared, so an answer that comes after the wait gave up touches nothing on the stack.
    struct Answer {
      bool done = false;
      std::string json;
      Result result = Result::failed;
    };
    auto answer = std::make_shared<Answer>();
    Result r = webview->executeScript(script, [answer](Result rr, const std::string& json) {
      answer->done = true;
      answer->json = json;
      answer->result = rr;
    });
    if (r != Result::ok) return "<refused " + std::string(resultName(r)) + ">";
    loop_.runUntil([&] { return answer->done; });
    if (result) *result = answer->result;
    return answer->done ? answer->json : "<no answer>";
  }

  std::shared_ptr<Webview> webview;
  Result createResult = Result::failed;
  std::vector<WebMessage> messages;
  std::vector<std::string> titles;
  std::vector<NavigationStarting> started;
  // Navigations the owner stops; dialogs the owner answers (none: the engine answers).
  std::function<bool(const NavigationStarting&)> stopWhen;
  std::function<void(ScriptDialogOpening&)> onDialog;
  std::vector<NavigationCompleted> completed;
  std::vector<std::string> failures;
  std::vector<Request> requests;
  std::vector<std::thread::id> replyThreads;
  Worker worker;

 private:
  void onRequest(ResourceRequestedEvent& e) {
    Request request;
    if (!e.getRequest(request)) return;
    requests.push_back(request);
    std::string path = request.url;
    size_t p = path.find("://");
    p = p == std::string::npos ? 0 : path.find('/', p + 3);
    path = p == std::string::npos ? "/" : path.substr(p);
    path = path.substr(0, path.find_first_of("?#"));
    auto it = routes_.find(path);
    auto deferral = e.getDeferral();
    if (it == routes_.end()) {
      worker.post([deferral] {
        Response r;
        r.status = 404;
        r.body = "no route";
        deferral->complete(r);
      });
      return;
    }
    Route route = it->second;
    worker.post([route, request, deferral] { route(request, deferral); });
  }

  TestLoop& loop_;
  std::map<std::string, Route> routes_;
};

}  // namespace deskweb_test
