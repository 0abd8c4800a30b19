#include "desk/web/chromium_engine.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "desk/web/chromium_environment.h"
#include "desk/web/chromium_webview.h"

namespace desk::web {

using namespace devtools;

// ===== EnvironmentImpl =====

EnvironmentImpl::~EnvironmentImpl() {
  close();
  if (reader_.joinable()) {
    if (reader_.get_id() == std::this_thread::get_id()) {
      reader_.detach();  // the last owner let go inside a completion on the reader thread
    } else {
      reader_.join();
    }
  }
}

void EnvironmentImpl::start(EnvironmentCompletion done) {
  // A write to a browser that just died must give EPIPE, not end the program.
  struct sigaction current {};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    ::signal(SIGPIPE, SIG_IGN);
  }
  std::string why;
  if (!pipe_.init(why) || !loopback_.start(why)) {
    post([done, why] { done(Result::failed, nullptr, why); });
    return;
  }
  // The reader thread starts the browser, so the browser's parent-death signal is tied to a
  // thread that lives exactly as long as this environment.
  reader_ = std::thread([this, d = std::move(done)]() mutable { readerMain(std::move(d)); });
}

void EnvironmentImpl::readerMain(EnvironmentCompletion done) {
  std::string error;
  int toBrowser = -1, fromBrowser = -1;
  const std::vector<std::string> flags =
      host_ ? ChromiumEngine::windowFlags(::geteuid() == 0) : ChromiumEngine::defaultFlags();
  if (!process_.spawn(options_, flags, toBrowser, fromBrowser, error)) {
    loopback_.stop(Result::failed);
    {
      std::lock_guard lock(finishMutex_);
      readerFinished_ = true;
    }
    finishCv_.notify_all();
    post([done, error] { done(Result::failed, nullptr, error); });
    return;
  }
  pipe_.attach(toBrowser, fromBrowser);
  alive_ = true;
  std::weak_ptr<EnvironmentImpl> weak = weak_from_this();
  send("Browser.getVersion", json::object(), "", [this, weak, done](const Reply& r) {
    if (!r.ok) {
      std::string why = "the browser did not answer: " + r.error;
      post([done, why] { done(Result::failed, nullptr, why); });
      return;
    }
    {
      std::lock_guard lock(mutex_);
      version_ = stringOr(*r.result, "product");
    }
    auto discover = [this, weak, done] {
      send("Target.setDiscoverTargets", {{"discover", true}}, "", [this, weak, done](const Reply& r2) {
        auto self = weak.lock();
        if (!r2.ok || !self) {
          std::string why = "the browser refused target discovery: " + r2.error;
          post([done, why] { done(Result::failed, nullptr, why); });
          return;
        }
        post([done, self] { done(Result::ok, self, ""); });
      });
    };
    if (!host_) return discover();
    // Every page window (the first app window and those opened from it) is attached as it
    // starts and waits there until its requests are filtered and its scripts are in.
    send("Target.setAutoAttach",
         {{"autoAttach", true},
          {"waitForDebuggerOnStart", true},
          {"flatten", true},
          {"filter", json::array({{{"type", "page"}, {"exclude", false}}})}},
         "", [this, done, discover](const Reply& r2) {
           if (!r2.ok) {
             std::string why = "the browser refused to attach its windows: " + r2.error;
             post([done, why] { done(Result::failed, nullptr, why); });
             return;
           }
           discover();
         });
  });

  pipe_.run([this](const std::string& method, const json& params, const std::string& sessionId) {
    onEvent(method, params, sessionId);
  });
  browserEnded();
  process_.reap();
  {
    std::lock_guard lock(finishMutex_);
    readerFinished_ = true;
  }
  finishCv_.notify_all();
}

void EnvironmentImpl::onEvent(const std::string& method, const json& params, const std::string& sessionId) {
  if (!sessionId.empty()) {
    std::shared_ptr<WebviewImpl> webview;
    {
      std::lock_guard lock(mutex_);
      auto it = sessions_.find(sessionId);
      if (it != sessions_.end()) {
        webview = it->second.lock();
      } else if (auto c = children_.find(sessionId); c != children_.end()) {
        webview = c->second.page.lock();
      }
    }
    if (webview) {
      webview->onEvent(method, params, sessionId);
    } else if (method == "Fetch.requestPaused") {
      // A page nobody owns any more: end the request rather than leave it paused.
      send("Fetch.failRequest", {{"requestId", stringOr(params, "requestId")}, {"errorReason", "Failed"}},
           sessionId, [](const Reply&) {});
    }
    return;
  }
  if (method == "Fetch.requestPaused") {
    onBrowserRequestPaused(params);
    return;
  }
  if (method == "Target.attachedToTarget") {
    if (host_) windowAttached(params);
    return;
  }
  if (method == "Target.targetCreated") {
    // A worker started by a worker: its parent is not a frame, but it serves its page's frame.
    auto info = params.find("targetInfo");
    if (info == params.end() || !info->is_object() || stringOr(*info, "type") != "worker") return;
    std::string parent = stringOr(*info, "parentId"), frame = stringOr(*info, "parentFrameId");
    if (parent.empty() || frame.empty() || parent == frame) return;
    std::lock_guard lock(mutex_);
    nestedWorkers_[stringOr(*info, "targetId")] = frame;
    return;
  }
  if (method == "Target.targetDestroyed") {
    std::lock_guard lock(mutex_);
    nestedWorkers_.erase(stringOr(params, "targetId"));
  }
  if (method == "Target.detachedFromTarget" || method == "Target.targetDestroyed" ||
      method == "Target.targetCrashed") {
    std::shared_ptr<WebviewImpl> webview;
    {
      std::lock_guard lock(mutex_);
      std::string session = stringOr(params, "sessionId");
      if (session.empty()) {
        auto t = targets_.find(stringOr(params, "targetId"));
        if (t != targets_.end()) session = t->second;
      }
      auto s = sessions_.find(session);
      if (s != sessions_.end()) webview = s->second.lock();
    }
    if (webview) {
      webview->died(Result::closed, method == "Target.targetCrashed" ? "the page's process crashed"
                                                                    : kClosedByBrowser);
    }
  }
}

void EnvironmentImpl::onBrowserRequestPaused(const json& params) {
  std::shared_ptr<WebviewImpl> webview;
  {
    std::lock_guard lock(mutex_);
    auto worker = nestedWorkers_.find(stringOr(params, "frameId"));
    if (worker != nestedWorkers_.end()) {
      auto target = targets_.find(worker->second);
      if (target != targets_.end()) {
        auto session = sessions_.find(target->second);
        if (session != sessions_.end()) webview = session->second.lock();
      }
    }
  }
  if (webview) {
    webview->onEvent("Fetch.requestPaused", params, "");
    return;
  }
  // A page's own requests (its filter answers them), or a worker no page owns (shared workers):
  // on they go.
  send("Fetch.continueRequest", {{"requestId", stringOr(params, "requestId")}}, "", [](const Reply&) {});
}

void EnvironmentImpl::addBrowserFilter(const std::string& host) {
  json patterns = json::array();
  {
    std::lock_guard lock(mutex_);
    if (std::find(browserHosts_.begin(), browserHosts_.end(), host) != browserHosts_.end()) return;
    browserHosts_.push_back(host);
    for (auto& h : browserHosts_) {
      patterns.push_back({{"urlPattern", "*://" + h + "/*"}, {"requestStage", "Request"}});
      patterns.push_back({{"urlPattern", "*://" + h + ":*/*"}, {"requestStage", "Request"}});
    }
  }
  send("Fetch.enable", {{"patterns", std::move(patterns)}}, "", [](const Reply&) {});
}

void EnvironmentImpl::browserEnded() {
  std::vector<std::shared_ptr<WebviewImpl>> webviews;
  std::function<void(const std::string&)> exited;
  {
    std::lock_guard lock(mutex_);
    alive_ = false;
    for (auto& [session, weak] : sessions_) {
      if (auto w = weak.lock()) webviews.push_back(w);
    }
    exited = exitedHandler_;
  }
  for (auto& w : webviews) w->died(goneResult(), "the browser process ended");
  failWaiting("the browser ended");
  loopback_.stop(goneResult());
  if (!closing_ && exited) post([exited] { exited("the browser process ended"); });
}

void EnvironmentImpl::close() {
  if (closing_.exchange(true)) return;
  pipe_.setGoneResult(Result::closed);
  std::vector<std::shared_ptr<WebviewImpl>> webviews;
  {
    std::lock_guard lock(mutex_);
    for (auto& [session, weak] : sessions_) {
      if (auto w = weak.lock()) webviews.push_back(w);
    }
  }
  for (auto& w : webviews) w->died(Result::closed, "");
  failWaiting("");
  if (!reader_.joinable()) {
    loopback_.stop(Result::closed);
    return;
  }
  if (reader_.get_id() == std::this_thread::get_id()) {
    process_.kill();
    pipe_.wake();
    return;
  }
  if (alive_) send("Browser.close", json::object(), "", [](const Reply&) {});
  {
    std::unique_lock lock(finishMutex_);
    bool ended = finishCv_.wait_for(lock, std::chrono::seconds(5), [&] { return readerFinished_.load(); });
    if (!ended) {
      process_.kill();
      pipe_.wake();
    }
  }
  loopback_.stop(Result::closed);
}

Result EnvironmentImpl::addLargeContentPath(const std::string& prefix) {
  if (prefix.empty() || prefix[0] != '/' || prefix.find_first_of("?# \t\r\n") != std::string::npos) {
    return Result::invalidArgument;
  }
  std::string lower = prefix;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::lock_guard lock(mutex_);
  if (std::find(largePaths_.begin(), largePaths_.end(), lower) == largePaths_.end()) largePaths_.push_back(lower);
  return Result::ok;
}

bool EnvironmentImpl::largeContent(const std::string& url) const {
  size_t p = url.find("://");
  p = p == std::string::npos ? 0 : url.find('/', p + 3);
  if (p == std::string::npos) return false;
  std::string path = url.substr(p, url.find_first_of("?#", p) - p);
  for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::lock_guard lock(mutex_);
  for (auto& prefix : largePaths_) {
    if (path.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

void EnvironmentImpl::forgetWebview(const std::string& sessionId, const std::string& targetId) {
  std::lock_guard lock(mutex_);
  sessions_.erase(sessionId);
  targets_.erase(targetId);
  // No strong reference is taken under the lock: the last one must not go here.
  for (auto it = children_.begin(); it != children_.end();) {
    if (it->second.pageSession == sessionId) it = children_.erase(it);
    else ++it;
  }
}

void EnvironmentImpl::adoptChild(const std::string& sessionId, const std::string& pageSession,
                                 std::weak_ptr<WebviewImpl> page) {
  std::lock_guard lock(mutex_);
  children_[sessionId] = Child{pageSession, std::move(page)};
}

void EnvironmentImpl::forgetChild(const std::string& sessionId) {
  std::lock_guard lock(mutex_);
  children_.erase(sessionId);
}

// ===== ChromiumAppWindow =====

class ChromiumAppWindow final : public AppWindow {
 public:
  ChromiumAppWindow(std::weak_ptr<EnvironmentImpl> env, int pid, std::string targetId, std::string marker)
      : env_(std::move(env)), pid_(pid), targetId_(std::move(targetId)), marker_(std::move(marker)) {}
  int browserProcessId() const override { return pid_; }
  const std::string& targetId() const override { return targetId_; }
  const std::string& marker() const override { return marker_; }

  void place(const Rect& bounds, WindowState state) override {
    withWindow([bounds, state](EnvironmentImpl& env, int windowId) {
      // A state other than normal cannot carry bounds; bounds apply to a normal window only.
      env.send("Browser.setWindowBounds", {{"windowId", windowId}, {"bounds", {{"windowState", windowStateName(state)}}}},
               "", [](const Reply&) {});
      if (state != WindowState::normal || bounds.width <= 0 || bounds.height <= 0) return;
      env.send("Browser.setWindowBounds",
               {{"windowId", windowId},
                {"bounds", {{"left", bounds.x}, {"top", bounds.y}, {"width", bounds.width}, {"height", bounds.height}}}},
               "", [](const Reply&) {});
    });
  }

  void activate() override {
    if (auto env = env_.lock()) env->send("Target.activateTarget", {{"targetId", targetId_}}, "", [](const Reply&) {});
  }

 private:
  // Runs `work` with the browser's id of this window, asked once and kept.
  void withWindow(std::function<void(EnvironmentImpl&, int)> work) {
    auto env = env_.lock();
    if (!env) return;
    int known = windowId_->load();
    if (known != 0) return work(*env, known);
    std::weak_ptr<EnvironmentImpl> weak = env_;
    std::shared_ptr<std::atomic<int>> cache = windowId_;
    env->send("Browser.getWindowForTarget", {{"targetId", targetId_}}, "",
              [weak, cache, work = std::move(work)](const Reply& r) {
                auto e = weak.lock();
                if (!e || !r.ok) return;
                auto id = r.result->find("windowId");
                if (id == r.result->end() || !id->is_number_integer()) return;
                cache->store(id->get<int>());
                work(*e, id->get<int>());
              });
  }

  std::weak_ptr<EnvironmentImpl> env_;
  const int pid_;
  const std::string targetId_;
  const std::string marker_;
  std::shared_ptr<std::atomic<int>> windowId_ = std::make_shared<std::atomic<int>>(0);
};

// ===== webviews =====

void EnvironmentImpl::createWebview(std::function<void(Result, std::shared_ptr<Webview>)> done) {
  auto self = shared_from_this();
  auto fail = [self, done](Result r) {
    self->post([done, r] {
      if (done) done(r, nullptr);
    });
  };
  if (!alive_ || closing_) return fail(goneResult());
  if (host_) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(std::move(done));
    }
    return pairWindows();
  }
  send("Target.createTarget", {{"url", "about:blank"}, {"newWindow", true}}, "",
       [self, done, fail](const Reply& r) {
         if (!r.ok) return fail(r.code);
         std::string targetId = stringOr(*r.result, "targetId");
         self->send("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}}, "",
                    [self, done, fail, targetId](const Reply& r2) {
                      if (!r2.ok) {
                        self->send("Target.closeTarget", {{"targetId", targetId}}, "", [](const Reply&) {});
                        return fail(r2.code);
                      }
                      self->setUpWebview(targetId, stringOr(*r2.result, "sessionId"), done, nullptr);
                    });
       });
}

void EnvironmentImpl::windowAttached(const json& params) {
  auto info = params.find("targetInfo");
  if (info == params.end() || !info->is_object() || stringOr(*info, "type") != "page") return;
  Spare spare{stringOr(*info, "targetId"), stringOr(params, "sessionId")};
  bool ours, tabbed = false;
  {
    std::lock_guard lock(mutex_);
    // The launch window, or the one this environment opened; a page's own popups are not.
    ours = windowCount_ == 0 || (opening_ && stringOr(*info, "openerId") == openerTarget_);
    if (ours) {
      if (windowCount_ > 0) opening_ = false;
      ++windowCount_;
      spares_.push_back(spare);
    }
  }
  {
    std::lock_guard lock(mutex_);
    // A first window on a browser page (a new tab) is a tabbed browser window, never shown as
    // a webview: the browser is ended and every webview asked for fails.
    tabbed = windowCount_ == 1 && stringOr(*info, "url").rfind("chrome", 0) == 0;
    if (tabbed) spares_.clear();
  }
  if (tabbed) {
    failWaiting("the browser opened a tabbed window instead of an app window");
    send("Browser.close", json::object(), "", [](const Reply&) {});
    return;
  }
  if (!ours) {
    // Not a webview of the owner's: it runs on as a headless browser's page would.
    send("Runtime.runIfWaitingForDebugger", json::object(), spare.sessionId, [](const Reply&) {});
    return;
  }
  pairWindows();
}

void EnvironmentImpl::pairWindows() {
  std::vector<std::pair<Spare, WebviewDone>> pairs;
  std::string opener;
  {
    std::lock_guard lock(mutex_);
    while (!waiting_.empty() && !spares_.empty()) {
      pairs.emplace_back(spares_.front(), std::move(waiting_.front()));
      spares_.pop_front();
      waiting_.pop_front();
    }
  }
  for (auto& [spare, done] : pairs) {
    std::string marker = "pelmora-window-" + std::to_string(process_.pid()) + "-" + spare.targetId;
    auto window = std::make_shared<ChromiumAppWindow>(weak_from_this(), process_.pid(), spare.targetId, marker);
    setUpWebview(spare.targetId, spare.sessionId, std::move(done), std::move(window));
  }
  std::vector<WebviewDone> orphans;
  {
    std::lock_guard lock(mutex_);
    // One more window is opened from a page that has one, while requests wait for one.
    if (!waiting_.empty() && !opening_ && windowCount_ > 0) {
      for (auto& [target, session] : targets_) {
        auto live = sessions_.find(session);
        if (live != sessions_.end() && !live->second.expired()) opener = target;
      }
      if (!opener.empty()) {
        opening_ = true;
        openerTarget_ = opener;
      } else {
        // No window is left to open one from: the browser cannot make an app window.
        for (auto& d : waiting_) orphans.push_back(std::move(d));
        waiting_.clear();
      }
    }
  }
  for (auto& d : orphans) {
    post([d] {
      if (d) d(Result::failed, nullptr);
    });
  }
  if (opener.empty()) return;
  std::string session;
  {
    std::lock_guard lock(mutex_);
    session = targets_[opener];
  }
  // An app window's page opens a popup: another app window of the same browser, with no tab
  // strip and no address bar. It starts on a blank page and waits to be attached.
  send("Runtime.evaluate",
       {{"expression", "void window.open('about:blank', '', 'popup,width=640,height=480')"}, {"userGesture", true}},
       session, [this](const Reply& r) {
         if (r.ok) return;
         {
           std::lock_guard lock(mutex_);
           opening_ = false;
         }
         failWaiting("the page could not open another window: " + r.error);
       });
}

void EnvironmentImpl::failWaiting(const std::string& why) {
  std::vector<WebviewDone> failed;
  {
    std::lock_guard lock(mutex_);
    for (auto& d : waiting_) failed.push_back(std::move(d));
    waiting_.clear();
  }
  if (!failed.empty() && !why.empty()) std::fprintf(stderr, "Pelmora cannot show a window: %s\n", why.c_str());
  Result r = closing_ ? Result::closed : alive_ ? Result::failed : Result::browserGone;
  for (auto& d : failed) {
    post([d, r] {
      if (d) d(r, nullptr);
    });
  }
}

void EnvironmentImpl::setUpWebview(const std::string& targetId, const std::string& session, WebviewDone done,
                                   std::shared_ptr<ChromiumAppWindow> window) {
  auto self = shared_from_this();
  auto webview = std::make_shared<WebviewImpl>(self, targetId, session);
  if (window) webview->setAppWindow(window);
  {
    std::lock_guard lock(mutex_);
    sessions_[session] = webview;
    targets_[targetId] = session;
  }
  // Pages in windows without focus still behave as focused (optional: not checked).
  send("Emulation.setFocusEmulationEnabled", {{"enabled", true}}, session, [](const Reply&) {});
  // Set the page up; the webview is ready once every step has answered.
  struct Setup {
    std::atomic<int> left{0};
    std::atomic<bool> failed{false};
    Result why = Result::ok;
    std::mutex m;
  };
  auto setup = std::make_shared<Setup>();
  std::vector<std::pair<std::string, json>> steps = WebviewImpl::setupCommands();
  if (window) {
    // The window starts once it is set up, and names itself with its marker so the display
    // finds it.
    steps.push_back({"Runtime.runIfWaitingForDebugger", json::object()});
    steps.push_back({"Runtime.evaluate", {{"expression", "document.title = " + json(window->marker()).dump()}}});
  }
  setup->left = static_cast<int>(steps.size());
  // The webview is held weakly here: an owner who never sees it must not keep it.
  auto holder = std::make_shared<std::shared_ptr<WebviewImpl>>(webview);
  for (auto& [method, params] : steps) {
    send(method, params, session, [self, done, setup, holder, window](const Reply& r3) {
      if (!r3.ok) {
        std::lock_guard lock(setup->m);
        if (!setup->failed.exchange(true)) setup->why = r3.code;
      }
      if (--setup->left > 0) return;
      std::shared_ptr<WebviewImpl> w = std::move(*holder);
      if (setup->failed) {
        Result why = setup->why == Result::ok ? Result::failed : setup->why;
        self->post([done, why, w]() mutable {
          w->close();
          w.reset();
          if (done) done(why, nullptr);
        });
        return;
      }
      auto deliver = [self, done, w, window]() mutable {
        self->post([self, done, w, window]() mutable {
          if (w->closed()) {
            Result why = Result::browserGone;
            w.reset();
            if (done) done(why, nullptr);
            return;
          }
          if (!window || !self->host_) {
            if (done) done(Result::ok, std::move(w));
            return;
          }
          std::shared_ptr<AppWindow> shown = window;
          self->host_->handOver(shown, [&] {
            if (done) done(Result::ok, std::move(w));
          });
        });
      };
      if (!window || !self->host_) return deliver();
      self->host_->opened(window, std::move(deliver));
    });
  }
}

// ===== ChromiumEngine =====

std::shared_ptr<ChromiumEngine> ChromiumEngine::create() {
  return std::shared_ptr<ChromiumEngine>(new ChromiumEngine());
}

void ChromiumEngine::createEnvironment(EnvironmentOptions options, Executor executor,
                                       EnvironmentCompletion done) {
  if (!executor) {
    if (done) done(Result::invalidArgument, nullptr, "no executor");
    return;
  }
  auto env = std::make_shared<EnvironmentImpl>(std::move(options), executor);
  // The completion holds the environment until it runs: a caller that drops it meanwhile ends
  // the browser then.
  env->start([env, done](Result r, std::shared_ptr<Environment> e, const std::string& error) mutable {
    env.reset();
    if (done) done(r, std::move(e), error);
  });
}

}  // namespace desk::web