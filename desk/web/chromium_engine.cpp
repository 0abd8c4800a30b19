#include "desk/web/chromium_engine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "desk/web/base64.h"

extern char** environ;

namespace desk::web {

class EnvironmentImpl;
class WebviewImpl;

namespace {

using json = nlohmann::ordered_json;

// The name of the binding behind the page-message shim; the shim removes it from the page.
const char kBinding[] = "__deskWebPost";

// Gives pages window.chrome.webview: postMessage (a string, or any JSON value) and "message"
// listeners. Runs first in every document, top frame only.
const char kShim[] = R"JS((() => {
  const name = '__deskWebPost';
  let post = globalThis[name];
  if (typeof post === 'function') {
    try { delete globalThis[name]; } catch (e) {}
  } else {
    post = (text) => globalThis[name](text);
  }
  if (window !== window.top) return;
  const target = new EventTarget();
  const webview = {
    postMessage(message) {
      if (typeof message === 'string') return void post('s' + message);
      const text = JSON.stringify(message);
      post('j' + (text === undefined ? 'null' : text));
    },
    addEventListener(type, listener, options) { target.addEventListener(type, listener, options); },
    removeEventListener(type, listener, options) { target.removeEventListener(type, listener, options); },
  };
  Object.defineProperty(webview, '__deskWebDeliver', {
    value: (data) => { target.dispatchEvent(new MessageEvent('message', { data })); },
  });
  const chrome = globalThis.chrome || (globalThis.chrome = {});
  Object.defineProperty(chrome, 'webview', { value: webview, enumerable: true });
  // The document's title, reported when it is first known and whenever it changes.
  let title = null;
  const report = () => {
    const now = document.title;
    if (now !== title) { title = now; post('t' + now); }
  };
  new MutationObserver(report).observe(document, { subtree: true, childList: true, characterData: true });
  document.addEventListener('DOMContentLoaded', report);
})();)JS";

std::string dumpJson(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

const std::string* stringAt(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

std::string stringOr(const json& j, const char* key, const std::string& fallback = {}) {
  const std::string* s = stringAt(j, key);
  return s ? *s : fallback;
}

struct Reply {
  bool ok = false;
  const json* result = nullptr;  // valid during the continuation only
  std::string error;
  Result code = Result::failed;  // why it failed
};
using Continuation = std::function<void(const Reply&)>;

// One paused request: answered once, by its deferral or by the engine when it ends it.
struct Paused {
  std::string requestId;
  std::string sessionId;
  std::atomic<bool> done{false};
  std::atomic<Result> endedWith{Result::failed};
  // Claims the right to end the request; false when it had ended already.
  bool claim() { return !done.exchange(true); }
};

}  // namespace

// --- the browser: process, pipe and command routing ---

class EnvironmentImpl final : public ChromiumEnvironment,
                              public std::enable_shared_from_this<EnvironmentImpl> {
 public:
  EnvironmentImpl(EnvironmentOptions options, Executor executor)
      : options_(std::move(options)), executor_(std::move(executor)) {}
  ~EnvironmentImpl() override;

  void start(EnvironmentCompletion done);

  // Sends a command; the continuation runs on the reader thread (or the sender's when the
  // browser is gone) exactly once. It must only post to the executor or send further commands.
  void send(const std::string& method, json params, const std::string& sessionId, Continuation k);
  // The same with the parameters already as JSON text.
  void sendText(const std::string& method, const std::string& params, const std::string& sessionId,
                Continuation k);
  void post(std::function<void()> work) { executor_(std::move(work)); }

  void createWebview(std::function<void(Result, std::shared_ptr<Webview>)> done) override;
  void setBrowserExitedHandler(std::function<void(const std::string&)> handler) override {
    std::lock_guard lock(mutex_);
    exitedHandler_ = std::move(handler);
  }
  bool browserAlive() const override { return alive_; }
  std::string browserVersion() const override {
    std::lock_guard lock(mutex_);
    return version_;
  }
  int browserProcessId() const override { return alive_ ? pid_.load() : 0; }
  void close() override;

  void forgetWebview(const std::string& sessionId, const std::string& targetId);
  Result goneResult() const { return closing_ ? Result::closed : Result::browserGone; }

 private:
  bool spawn(std::string& error);
  void readerMain(EnvironmentCompletion done);
  void dispatch(std::string_view text);
  void onBrowserEvent(const std::string& method, const json& params);
  void browserEnded();
  void reap();

  EnvironmentOptions options_;
  Executor executor_;
  mutable std::mutex mutex_;
  std::map<int64_t, Continuation> pending_;
  int64_t nextId_ = 1;
  std::map<std::string, std::weak_ptr<WebviewImpl>> sessions_;  // by session id
  std::map<std::string, std::string> targets_;                   // target id -> session id
  std::function<void(const std::string&)> exitedHandler_;
  std::string version_;

  std::mutex writeMutex_;
  std::atomic<pid_t> pid_{0};
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  int wake_[2] = {-1, -1};
  std::thread reader_;
  std::atomic<bool> alive_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> readerFinished_{false};
  std::mutex finishMutex_;
  std::condition_variable finishCv_;
};

// --- a webview: one page target ---

class WebviewImpl final : public Webview, public std::enable_shared_from_this<WebviewImpl> {
 public:
  WebviewImpl(std::shared_ptr<EnvironmentImpl> env, std::string targetId, std::string sessionId)
      : env_(std::move(env)), targetId_(std::move(targetId)), sessionId_(std::move(sessionId)) {}
  ~WebviewImpl() override { close(); }

  const std::string& sessionId() const { return sessionId_; }
  const std::string& targetId() const { return targetId_; }

  // Reader thread.
  void onEvent(const std::string& method, const json& params);
  void onTitle(const std::string& title);
  // The page or the browser ended (not by the owner).
  void died(Result why, const std::string& reason);

  // Controller.
  Result setBounds(Rect bounds) override;
  Rect bounds() const override { return lockedGet(bounds_); }
  Result setDeviceScaleFactor(double scale) override;
  double deviceScaleFactor() const override { return lockedGet(scale_); }
  Result setZoomFactor(double zoom) override;
  double zoomFactor() const override { return lockedGet(zoom_); }
  Result setBackgroundColor(Color color) override;
  Color backgroundColor() const override { return lockedGet(background_); }
  Result setVisible(bool visible) override;
  bool visible() const override { return lockedGet(visible_); }
  Result close() override;
  bool closed() const override {
    std::lock_guard lock(mutex_);
    return ownerClosed_ || dead_;
  }

  // Core.
  void setEvents(WebviewEvents events) override {
    std::lock_guard lock(mutex_);
    events_ = std::move(events);
  }
  Settings settings() const override { return lockedGet(settings_); }
  Result setSettings(const Settings& settings) override;
  Result addRequestFilter(const std::string& host) override;
  Result navigate(const std::string& url) override;
  Result navigateToString(const std::string& html) override;
  std::string source() const override { return lockedGet(source_); }
  std::string documentTitle() const override { return lockedGet(title_); }
  Result addScriptOnDocumentCreated(const std::string& script,
                                    std::function<void(Result, const std::string&)> done) override;
  Result removeScriptOnDocumentCreated(const std::string& id) override;
  Result executeScript(const std::string& script,
                       std::function<void(Result, const std::string&)> done) override;
  Result postWebMessageAsJson(const std::string& json) override;
  Result postWebMessageAsString(const std::string& text) override;

  // Ends a paused request on the engine's side (reader or owner thread).
  void endPaused(const std::shared_ptr<Paused>& p, Result why);
  void forgetPaused(const std::string& requestId) {
    std::lock_guard lock(mutex_);
    paused_.erase(requestId);
  }

 private:
  template <typename T>
  T lockedGet(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  // Fails when the webview cannot take commands.
  Result usable() const;
  // Sends a command whose outcome the owner waits for: `finish` runs through the executor once,
  // with the reply, or with closed / browserGone when the page or browser went first.
  void call(const std::string& method, json params,
            std::function<void(Result, const json& result)> finish);
  void deliver(std::function<void(const WebviewEvents&)> fn);
  void applyMetrics();
  void sendFilters();
  void onRequestPaused(const json& params);
  void endEverything(Result why);

  std::shared_ptr<EnvironmentImpl> env_;
  const std::string targetId_;
  const std::string sessionId_;

  mutable std::mutex mutex_;
  WebviewEvents events_;
  bool ownerClosed_ = false;
  bool dead_ = false;
  Rect bounds_;
  double scale_ = 1.0;
  double zoom_ = 1.0;
  Color background_;
  bool visible_ = true;
  Settings settings_;
  std::vector<std::string> filters_;
  std::string source_ = "about:blank";
  std::string title_;
  uint64_t navigationId_ = 0;
  std::string failedUrl_;
  std::string navigationError_;
  std::map<std::string, std::weak_ptr<Paused>> paused_;
  std::map<uint64_t, std::function<void(Result, const json&)>> calls_;
  uint64_t nextCall_ = 1;
};

// --- deferral ---

namespace {

class ChromiumDeferral final : public Deferral {
 public:
  ChromiumDeferral(std::shared_ptr<Paused> paused, std::weak_ptr<EnvironmentImpl> env,
                   std::weak_ptr<WebviewImpl> webview)
      : paused_(std::move(paused)), env_(std::move(env)), webview_(std::move(webview)) {}
  ~ChromiumDeferral() override {
    // Released without a reply: the request fails, so the page does not wait for ever.
    if (paused_->claim()) sendFail();
  }

  Result complete(Response response) override {
    if (!paused_->claim()) return settled();
    if (response.status == 0) {
      sendFail();
      return Result::ok;
    }
    if (response.status < 100 || response.status > 999) {
      sendFail();
      return Result::invalidArgument;
    }
    sanitizeResponse(response);
    auto env = env_.lock();
    forget();
    if (!env || !env->browserAlive()) return Result::browserGone;
    json headers = json::array();
    for (auto& [name, value] : response.headers) headers.push_back({{"name", name}, {"value", value}});
    json head = {{"requestId", paused_->requestId},
                 {"responseCode", response.status},
                 {"responsePhrase", response.reason},
                 {"responseHeaders", std::move(headers)}};
    // The body goes in as base64 text, which needs no escaping: append it to the JSON directly.
    std::string params = dumpJson(head);
    params.pop_back();
    params += ",\"body\":\"";
    params += base64Encode(response.body);
    params += "\"}";
    response.body.clear();
    std::weak_ptr<EnvironmentImpl> weakEnv = env;
    std::string requestId = paused_->requestId, session = paused_->sessionId;
    env->sendText("Fetch.fulfillRequest", params, session,
              [weakEnv, requestId, session](const Reply& r) {
                // Chromium refused the reply: fail the request rather than leave it paused.
                if (r.ok) return;
                if (auto e = weakEnv.lock()) {
                  e->send("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Failed"}},
                          session, [](const Reply&) {});
                }
              });
    return Result::ok;
  }

  Result fail() override {
    if (!paused_->claim()) return settled();
    sendFail();
    return Result::ok;
  }

  bool done() const override { return paused_->done; }

 private:
  Result settled() const {
    Result r = paused_->endedWith;
    return r == Result::failed ? Result::failed : r;
  }
  void forget() {
    if (auto w = webview_.lock()) w->forgetPaused(paused_->requestId);
  }
  void sendFail() {
    forget();
    if (auto env = env_.lock()) {
      env->send("Fetch.failRequest", {{"requestId", paused_->requestId}, {"errorReason", "Failed"}},
                paused_->sessionId, [](const Reply&) {});
    }
  }

  std::shared_ptr<Paused> paused_;
  std::weak_ptr<EnvironmentImpl> env_;
  std::weak_ptr<WebviewImpl> webview_;
};

}  // namespace

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
  for (int fd : {toBrowser_, fromBrowser_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

std::vector<std::string> ChromiumEngine::defaultFlags() {
  return {"--headless",
          "--no-sandbox",
          "--disable-gpu",
          "--no-first-run",
          "--no-default-browser-check",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--disable-extensions",
          "--disable-default-apps",
          "--disable-breakpad",
          "--disable-dev-shm-usage",
          "--mute-audio",
          "--disable-background-timer-throttling",
          "--disable-renderer-backgrounding",
          "--disable-backgrounding-occluded-windows",
          "--disable-ipc-flooding-protection",
          "--host-resolver-rules=MAP * ~NOTFOUND",
          "--remote-debugging-pipe"};
}

bool EnvironmentImpl::spawn(std::string& error) {
  std::error_code ec;
  if (options_.userDataFolder.empty()) {
    error = "no user-data folder given";
    return false;
  }
  std::filesystem::create_directories(options_.userDataFolder, ec);
  if (ec) {
    error = "cannot make the user-data folder " + options_.userDataFolder + ": " + ec.message();
    return false;
  }
  if (::access(options_.browserPath.c_str(), X_OK) != 0) {
    error = "no browser at " + options_.browserPath + ": " + std::strerror(errno);
    return false;
  }

  std::vector<std::string> args{options_.browserPath};
  for (auto& f : ChromiumEngine::defaultFlags()) args.push_back(f);
  args.push_back("--user-data-dir=" + options_.userDataFolder);
  for (auto& a : splitArguments(options_.browserArguments)) args.push_back(a);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int toChild[2], fromChild[2], status[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(toChild[0]), ::close(toChild[1]);
    return false;
  }
  if (::pipe2(status, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
    return false;
  }
  const char* logPath = options_.browserLog.empty() ? "/dev/null" : options_.browserLog.c_str();
  int logFd = ::open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid == 0) {
    // The child: only async-signal-safe calls until exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int in = ::fcntl(toChild[0], F_DUPFD, 10);
    int out = ::fcntl(fromChild[1], F_DUPFD, 10);
    if (nullFd >= 0) ::dup2(nullFd, 0);
    if (logFd >= 0) ::dup2(logFd, 1), ::dup2(logFd, 2);
    if (in < 0 || out < 0 || ::dup2(in, 3) < 0 || ::dup2(out, 4) < 0) {
      int e = errno;
      (void)!::write(status[1], &e, sizeof e);
      ::_exit(127);
    }
    for (int fd = 5; fd < 1024; ++fd) {
      if (fd != status[1]) ::close(fd);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(argv[0], argv.data(), environ);
    int e = errno;
    (void)!::write(status[1], &e, sizeof e);
    ::_exit(127);
  }
  int forkErrno = errno;
  for (int fd : {toChild[0], fromChild[1], status[1], logFd, nullFd}) {
    if (fd >= 0) ::close(fd);
  }
  if (pid < 0) {
    for (int fd : {toChild[1], fromChild[0], status[0]}) ::close(fd);
    error = std::string("fork: ") + std::strerror(forkErrno);
    return false;
  }
  int childErrno = 0;
  ssize_t n;
  do {
    n = ::read(status[0], &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  ::close(status[0]);
  if (n > 0) {
    ::waitpid(pid, nullptr, 0);
    ::close(toChild[1]), ::close(fromChild[0]);
    error = "cannot start " + options_.browserPath + ": " + std::strerror(childErrno);
    return false;
  }
  // Large pipes: a big reply then crosses in a few writes instead of many small wake-ups.
  ::fcntl(toChild[1], F_SETPIPE_SZ, 1 << 20);
  ::fcntl(fromChild[0], F_SETPIPE_SZ, 1 << 20);
  pid_ = pid;
  toBrowser_ = toChild[1];
  fromBrowser_ = fromChild[0];
  alive_ = true;
  return true;
}

void EnvironmentImpl::start(EnvironmentCompletion done) {
  // A write to a browser that just died must give EPIPE, not end the program.
  struct sigaction current {};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    ::signal(SIGPIPE, SIG_IGN);
  }
  if (::pipe2(wake_, O_CLOEXEC) != 0) {
    std::string why = std::string("pipe: ") + std::strerror(errno);
    post([done, why] { done(Result::failed, nullptr, why); });
    return;
  }
  // The reader thread starts the browser, so the browser's parent-death signal is tied to a
  // thread that lives exactly as long as this environment.
  reader_ = std::thread([this, d = std::move(done)]() mutable { readerMain(std::move(d)); });
}

void EnvironmentImpl::readerMain(EnvironmentCompletion done) {
  std::string error;
  if (!spawn(error)) {
    readerFinished_ = true;
    finishCv_.notify_all();
    post([done, error] { done(Result::failed, nullptr, error); });
    return;
  }
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
    send("Target.setDiscoverTargets", {{"discover", true}}, "", [this, weak, done](const Reply& r2) {
      auto self = weak.lock();
      if (!r2.ok || !self) {
        std::string why = "the browser refused target discovery: " + r2.error;
        post([done, why] { done(Result::failed, nullptr, why); });
        return;
      }
      post([done, self] { done(Result::ok, self, ""); });
    });
  });

  std::string buffer;
  size_t scanned = 0;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    pollfd fds[2] = {{fromBrowser_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int rc = ::poll(fds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;  // told to stop
    ssize_t n = ::read(fromBrowser_, chunk.data(), chunk.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;  // the browser closed its end: it is gone
    buffer.append(chunk.data(), static_cast<size_t>(n));
    size_t start = 0;
    for (;;) {
      size_t nul = buffer.find('\0', scanned);
      if (nul == std::string::npos) {
        scanned = buffer.size();
        break;
      }
      dispatch(std::string_view(buffer).substr(start, nul - start));
      start = nul + 1;
      scanned = start;
    }
    if (start > 0) {
      buffer.erase(0, start);
      scanned -= start;
    }
  }
  browserEnded();
  reap();
  {
    std::lock_guard lock(finishMutex_);
    readerFinished_ = true;
  }
  finishCv_.notify_all();
}

void EnvironmentImpl::dispatch(std::string_view text) {
  // DESKWEB_TRACE=1 prints the start of every message from the browser, for debugging.
  static const bool trace = getenv("DESKWEB_TRACE") != nullptr;
  if (trace) fprintf(stderr, "devtools< %.*s\n", static_cast<int>(std::min<size_t>(text.size(), 400)), text.data());
  json msg = json::parse(text, nullptr, false);
  if (msg.is_discarded() || !msg.is_object()) return;
  auto idIt = msg.find("id");
  if (idIt != msg.end() && idIt->is_number_integer()) {
    Continuation k;
    {
      std::lock_guard lock(mutex_);
      auto it = pending_.find(idIt->get<int64_t>());
      if (it == pending_.end()) return;
      k = std::move(it->second);
      pending_.erase(it);
    }
    Reply r;
    auto err = msg.find("error");
    if (err != msg.end()) {
      r.error = err->is_object() ? stringOr(*err, "message", "error") : "error";
      r.code = Result::failed;
    } else {
      r.ok = true;
      r.code = Result::ok;
      static const json empty = json::object();
      auto res = msg.find("result");
      r.result = res != msg.end() ? &*res : &empty;
    }
    k(r);
    return;
  }
  const std::string* method = stringAt(msg, "method");
  if (!method) return;
  static const json emptyParams = json::object();
  auto pit = msg.find("params");
  const json& params = pit != msg.end() ? *pit : emptyParams;
  if (const std::string* session = stringAt(msg, "sessionId")) {
    std::shared_ptr<WebviewImpl> webview;
    {
      std::lock_guard lock(mutex_);
      auto it = sessions_.find(*session);
      if (it != sessions_.end()) webview = it->second.lock();
    }
    if (webview) {
      webview->onEvent(*method, params);
    } else if (*method == "Fetch.requestPaused") {
      // A page nobody owns any more: end the request rather than leave it paused.
      send("Fetch.failRequest", {{"requestId", stringOr(params, "requestId")}, {"errorReason", "Failed"}},
           *session, [](const Reply&) {});
    }
    return;
  }
  onBrowserEvent(*method, params);
}

void EnvironmentImpl::onBrowserEvent(const std::string& method, const json& params) {
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
                                                                    : "the page was closed by the browser");
    }
  }
}

void EnvironmentImpl::send(const std::string& method, json params, const std::string& sessionId,
                           Continuation k) {
  sendText(method, dumpJson(params), sessionId, std::move(k));
}

void EnvironmentImpl::sendText(const std::string& method, const std::string& params,
                               const std::string& sessionId, Continuation k) {
  int64_t id;
  std::string text;
  {
    std::unique_lock lock(mutex_);
    if (!alive_) {
      lock.unlock();
      Reply r;
      r.error = "the browser is gone";
      r.code = goneResult();
      if (k) k(r);
      return;
    }
    id = nextId_++;
    if (k) pending_.emplace(id, std::move(k));
  }
  // Put together by hand so a large body is copied once, never re-escaped.
  text.reserve(params.size() + method.size() + sessionId.size() + 64);
  text += "{\"id\":";
  text += std::to_string(id);
  text += ",\"method\":";
  text += dumpJson(json(method));
  if (!sessionId.empty()) {
    text += ",\"sessionId\":";
    text += dumpJson(json(sessionId));
  }
  text += ",\"params\":";
  text += params;
  text += '}';
  static const bool trace = getenv("DESKWEB_TRACE") != nullptr;
  if (trace) fprintf(stderr, "devtools> %.*s\n", static_cast<int>(std::min<size_t>(text.size(), 400)), text.data());
  text.push_back('\0');

  bool written = true;
  {
    std::lock_guard lock(writeMutex_);
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
      ssize_t n = ::write(toBrowser_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        written = false;
        break;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  if (!written) {
    // The browser is going; its end is noticed by the reader. Answer this command now.
    Continuation failed;
    {
      std::lock_guard lock(mutex_);
      auto it = pending_.find(id);
      if (it != pending_.end()) {
        failed = std::move(it->second);
        pending_.erase(it);
      }
    }
    if (failed) {
      Reply r;
      r.error = "the browser is gone";
      r.code = goneResult();
      failed(r);
    }
  }
}

void EnvironmentImpl::browserEnded() {
  std::map<int64_t, Continuation> pending;
  std::vector<std::shared_ptr<WebviewImpl>> webviews;
  std::function<void(const std::string&)> exited;
  {
    std::lock_guard lock(mutex_);
    alive_ = false;
    pending.swap(pending_);
    for (auto& [session, weak] : sessions_) {
      if (auto w = weak.lock()) webviews.push_back(w);
    }
    exited = exitedHandler_;
  }
  Reply r;
  r.error = "the browser is gone";
  r.code = goneResult();
  for (auto& [id, k] : pending) k(r);
  for (auto& w : webviews) w->died(goneResult(), "the browser process ended");
  if (!closing_ && exited) post([exited] { exited("the browser process ended"); });
}

void EnvironmentImpl::reap() {
  pid_t pid = pid_;
  if (pid <= 0) return;
  // Give a browser that is shutting down a moment to finish, then end its whole group while its
  // leader is still unreaped (so the group id cannot have been reused).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
}

void EnvironmentImpl::close() {
  if (closing_.exchange(true)) return;
  std::vector<std::shared_ptr<WebviewImpl>> webviews;
  {
    std::lock_guard lock(mutex_);
    for (auto& [session, weak] : sessions_) {
      if (auto w = weak.lock()) webviews.push_back(w);
    }
  }
  for (auto& w : webviews) w->died(Result::closed, "");
  if (!reader_.joinable()) return;
  if (reader_.get_id() == std::this_thread::get_id()) {
    pid_t pid = pid_;
    if (pid > 0) ::kill(-pid, SIGKILL), ::kill(pid, SIGKILL);
    char c = 1;
    (void)!::write(wake_[1], &c, 1);
    return;
  }
  if (alive_) send("Browser.close", json::object(), "", [](const Reply&) {});
  {
    std::unique_lock lock(finishMutex_);
    bool ended = finishCv_.wait_for(lock, std::chrono::seconds(5), [&] { return readerFinished_.load(); });
    if (!ended) {
      pid_t pid = pid_;
      if (pid > 0) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
      }
      char c = 1;
      (void)!::write(wake_[1], &c, 1);
    }
  }
}

void EnvironmentImpl::forgetWebview(const std::string& sessionId, const std::string& targetId) {
  std::lock_guard lock(mutex_);
  sessions_.erase(sessionId);
  targets_.erase(targetId);
}

void EnvironmentImpl::createWebview(std::function<void(Result, std::shared_ptr<Webview>)> done) {
  auto self = shared_from_this();
  auto fail = [self, done](Result r) {
    self->post([done, r] {
      if (done) done(r, nullptr);
    });
  };
  if (!alive_ || closing_) return fail(goneResult());
  send("Target.createTarget", {{"url", "about:blank"}, {"newWindow", true}}, "",
       [self, done, fail](const Reply& r) {
         if (!r.ok) return fail(r.code);
         std::string targetId = stringOr(*r.result, "targetId");
         self->send(
             "Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}}, "",
             [self, done, fail, targetId](const Reply& r2) {
               if (!r2.ok) {
                 self->send("Target.closeTarget", {{"targetId", targetId}}, "", [](const Reply&) {});
                 return fail(r2.code);
               }
               std::string session = stringOr(*r2.result, "sessionId");
               auto webview = std::make_shared<WebviewImpl>(self, targetId, session);
               {
                 std::lock_guard lock(self->mutex_);
                 self->sessions_[session] = webview;
                 self->targets_[targetId] = session;
               }
               // Pages in windows without focus still behave as focused (optional: not checked).
               self->send("Emulation.setFocusEmulationEnabled", {{"enabled", true}}, session,
                          [](const Reply&) {});
               // Set the page up; the webview is ready once every step has answered.
               struct Setup {
                 std::atomic<int> left{0};
                 std::atomic<bool> failed{false};
                 Result why = Result::ok;
                 std::mutex m;
               };
               auto setup = std::make_shared<Setup>();
               std::vector<std::pair<std::string, json>> steps = {
                   {"Page.enable", json::object()},
                   {"Runtime.enable", json::object()},
                   {"Runtime.addBinding", {{"name", kBinding}}},
                   {"Page.addScriptToEvaluateOnNewDocument", {{"source", kShim}}},
               };
               setup->left = static_cast<int>(steps.size());
               // The webview is held weakly here: an owner who never sees it must not keep it.
               auto holder = std::make_shared<std::shared_ptr<WebviewImpl>>(webview);
               for (auto& [method, params] : steps) {
                 self->send(method, params, session, [self, done, setup, holder](const Reply& r3) {
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
                   self->post([done, w]() mutable {
                     if (w->closed()) {
                       Result why = Result::browserGone;
                       w.reset();
                       if (done) done(why, nullptr);
                       return;
                     }
                     if (done) done(Result::ok, std::move(w));
                   });
                 });
               }
             });
       });
}

// ===== WebviewImpl =====

Result WebviewImpl::usable() const {
  std::lock_guard lock(mutex_);
  if (ownerClosed_) return Result::closed;
  if (dead_) return env_->browserAlive() ? Result::closed : Result::browserGone;
  return Result::ok;
}

void WebviewImpl::deliver(std::function<void(const WebviewEvents&)> fn) {
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  env_->post([weak, fn = std::move(fn)] {
    auto self = weak.lock();
    if (!self) return;
    WebviewEvents events;
    {
      std::lock_guard lock(self->mutex_);
      if (self->ownerClosed_) return;
      events = self->events_;
    }
    fn(events);
  });
}

void WebviewImpl::call(const std::string& method, json params,
                       std::function<void(Result, const json&)> finish) {
  uint64_t id;
  {
    std::lock_guard lock(mutex_);
    id = nextCall_++;
    calls_[id] = std::move(finish);
  }
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  auto env = env_;
  env_->send(method, std::move(params), sessionId_, [weak, env, id](const Reply& r) {
    auto self = weak.lock();
    if (!self) return;
    std::function<void(Result, const json&)> f;
    {
      std::lock_guard lock(self->mutex_);
      auto it = self->calls_.find(id);
      if (it == self->calls_.end()) return;  // already answered by close or death
      f = std::move(it->second);
      self->calls_.erase(it);
    }
    if (!f) return;
    json result = r.ok ? *r.result : json(nullptr);
    Result code = r.ok ? Result::ok : r.code;
    env->post([f, code, result] { f(code, result); });
  });
}

void WebviewImpl::endPaused(const std::shared_ptr<Paused>& p, Result why) {
  p->endedWith = why;
  if (!p->claim()) return;
  env_->send("Fetch.failRequest", {{"requestId", p->requestId}, {"errorReason", "Aborted"}}, sessionId_,
             [](const Reply&) {});
}

void WebviewImpl::endEverything(Result why) {
  std::map<std::string, std::weak_ptr<Paused>> paused;
  std::map<uint64_t, std::function<void(Result, const json&)>> calls;
  {
    std::lock_guard lock(mutex_);
    paused.swap(paused_);
    calls.swap(calls_);
  }
  for (auto& [id, weak] : paused) {
    if (auto p = weak.lock()) endPaused(p, why);
  }
  for (auto& [id, f] : calls) {
    if (f) env_->post([f, why] { f(why, json(nullptr)); });
  }
}

void WebviewImpl::died(Result why, const std::string& reason) {
  WebviewEvents events;
  {
    std::lock_guard lock(mutex_);
    if (dead_) return;
    dead_ = true;
    events = events_;
  }
  endEverything(why);
  env_->forgetWebview(sessionId_, targetId_);
  if (!reason.empty()) {
    deliver([reason](const WebviewEvents& e) {
      if (e.processFailed) e.processFailed(reason);
    });
  }
}

Result WebviewImpl::close() {
  bool wasDead;
  {
    std::lock_guard lock(mutex_);
    if (ownerClosed_) return Result::ok;
    ownerClosed_ = true;
    wasDead = dead_;
  }
  endEverything(Result::closed);
  if (!wasDead) {
    env_->forgetWebview(sessionId_, targetId_);
    env_->send("Target.closeTarget", {{"targetId", targetId_}}, "", [](const Reply&) {});
  }
  return Result::ok;
}

void WebviewImpl::onRequestPaused(const json& params) {
  auto paused = std::make_shared<Paused>();
  paused->requestId = stringOr(params, "requestId");
  paused->sessionId = sessionId_;
  static const json emptyObject = json::object();
  auto rit = params.find("request");
  const json& req = rit != params.end() && rit->is_object() ? *rit : emptyObject;
  Request request;
  request.method = stringOr(req, "method");
  request.url = stringOr(req, "url") + stringOr(req, "urlFragment");
  auto hit = req.find("headers");
  if (hit != req.end() && hit->is_object()) {
    for (auto& [name, value] : hit->items()) {
      request.headers.emplace_back(name, value.is_string() ? value.get<std::string>() : value.dump());
    }
  }
  auto eit = req.find("postDataEntries");
  if (eit != req.end() && eit->is_array()) {
    for (auto& entry : *eit) {
      if (entry.is_object()) request.body += base64Decode(stringOr(entry, "bytes"));
    }
  }
  {
    std::lock_guard lock(mutex_);
    if (!ownerClosed_ && !dead_) {
      paused_[paused->requestId] = paused;
    } else {
      paused->endedWith = Result::closed;
    }
  }
  if (paused->endedWith == Result::closed) {
    endPaused(paused, Result::closed);
    return;
  }
  auto deferral = std::make_shared<ChromiumDeferral>(paused, env_, weak_from_this());
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  env_->post([weak, request = std::move(request), deferral = std::move(deferral)]() mutable {
    auto self = weak.lock();
    if (!self) return;  // the deferral goes with this closure: the request fails
    WebviewEvents events;
    {
      std::lock_guard lock(self->mutex_);
      if (self->ownerClosed_) return;
      events = self->events_;
    }
    if (!events.resourceRequested) return;
    ResourceRequestedEvent event(std::move(request), std::move(deferral));
    events.resourceRequested(event);
  });
}

void WebviewImpl::onEvent(const std::string& method, const json& params) {
  if (method == "Fetch.requestPaused") {
    onRequestPaused(params);
  } else if (method == "Page.frameStartedNavigating") {
    if (stringOr(params, "frameId") != targetId_) return;
    if (stringOr(params, "navigationType") == "sameDocument") return;
    std::string url = stringOr(params, "url");
    uint64_t id;
    {
      std::lock_guard lock(mutex_);
      id = ++navigationId_;
      failedUrl_.clear();
    }
    deliver([id, url](const WebviewEvents& e) {
      if (e.navigationStarting) e.navigationStarting(NavigationStarting{id, url});
    });
  } else if (method == "Page.frameNavigated") {
    auto fit = params.find("frame");
    if (fit == params.end() || !fit->is_object() || fit->contains("parentId")) return;
    std::lock_guard lock(mutex_);
    if (const std::string* unreachable = stringAt(*fit, "unreachableUrl")) {
      failedUrl_ = *unreachable;
    } else {
      source_ = stringOr(*fit, "url") + stringOr(*fit, "urlFragment");
    }
  } else if (method == "Page.loadEventFired") {
    NavigationCompleted done;
    {
      std::lock_guard lock(mutex_);
      done.navigationId = navigationId_;
      done.success = failedUrl_.empty();
      done.url = done.success ? source_ : failedUrl_;
      if (!done.success) {
        done.errorText = navigationError_.empty() ? "net::ERR_FAILED" : navigationError_;
        source_ = failedUrl_;
      }
      failedUrl_.clear();
      navigationError_.clear();
    }
    deliver([done](const WebviewEvents& e) {
      if (e.navigationCompleted) e.navigationCompleted(done);
    });
  } else if (method == "Runtime.bindingCalled") {
    if (stringOr(params, "name") != kBinding) return;
    std::string payload = stringOr(params, "payload");
    WebMessage m;
    if (!payload.empty() && payload[0] == 's') {
      m.isString = true;
      m.text = payload.substr(1);
      m.json = dumpJson(json(m.text));
    } else if (!payload.empty() && payload[0] == 'j') {
      m.json = payload.substr(1);
    } else if (!payload.empty() && payload[0] == 't') {
      onTitle(payload.substr(1));
      return;
    } else {
      return;
    }
    deliver([m](const WebviewEvents& e) {
      if (e.webMessageReceived) e.webMessageReceived(m);
    });
  } else if (method == "Page.javascriptDialogOpening") {
    // No dialog may block the page: alerts are acknowledged, questions declined.
    std::string type = stringOr(params, "type");
    bool accept = type == "alert" || type == "beforeunload";
    env_->send("Page.handleJavaScriptDialog", {{"accept", accept}}, sessionId_, [](const Reply&) {});
  } else if (method == "Inspector.targetCrashed") {
    died(Result::closed, "the page's process crashed");
  } else if (method == "Inspector.detached") {
    died(Result::closed, "the page was closed by the browser");
  }
}

void WebviewImpl::onTitle(const std::string& title) {
  {
    std::lock_guard lock(mutex_);
    if (title == title_) return;
    title_ = title;
  }
  deliver([title](const WebviewEvents& e) {
    if (e.titleChanged) e.titleChanged(title);
  });
}

void WebviewImpl::applyMetrics() {
  Rect b;
  double scale, zoom;
  {
    std::lock_guard lock(mutex_);
    b = bounds_;
    scale = scale_;
    zoom = zoom_;
  }
  // Page zoom is what the browser does with it: more device pixels per CSS pixel, and a viewport
  // that many times smaller in CSS pixels.
  double factor = scale * zoom;
  int width = b.width > 0 && b.height > 0 ? std::max(1, static_cast<int>(std::lround(b.width / factor))) : 0;
  int height = b.width > 0 && b.height > 0 ? std::max(1, static_cast<int>(std::lround(b.height / factor))) : 0;
  env_->send("Emulation.setDeviceMetricsOverride",
             {{"width", width}, {"height", height}, {"deviceScaleFactor", factor}, {"mobile", false}},
             sessionId_, [](const Reply&) {});
}

Result WebviewImpl::setBounds(Rect bounds) {
  if (Result r = usable(); r != Result::ok) return r;
  if (bounds.width < 0 || bounds.height < 0) return Result::invalidArgument;
  {
    std::lock_guard lock(mutex_);
    bounds_ = bounds;
  }
  applyMetrics();
  return Result::ok;
}

Result WebviewImpl::setDeviceScaleFactor(double scale) {
  if (Result r = usable(); r != Result::ok) return r;
  if (!(scale > 0) || !std::isfinite(scale)) return Result::invalidArgument;
  {
    std::lock_guard lock(mutex_);
    scale_ = scale;
  }
  applyMetrics();
  return Result::ok;
}

Result WebviewImpl::setZoomFactor(double zoom) {
  if (Result r = usable(); r != Result::ok) return r;
  if (!(zoom > 0) || !std::isfinite(zoom)) return Result::invalidArgument;
  {
    std::lock_guard lock(mutex_);
    zoom_ = zoom;
  }
  applyMetrics();
  return Result::ok;
}

Result WebviewImpl::setBackgroundColor(Color color) {
  if (Result r = usable(); r != Result::ok) return r;
  if (color.a != 0 && color.a != 255) return Result::invalidArgument;
  {
    std::lock_guard lock(mutex_);
    background_ = color;
  }
  env_->send("Emulation.setDefaultBackgroundColorOverride",
             {{"color", {{"r", color.r}, {"g", color.g}, {"b", color.b}, {"a", color.a / 255.0}}}},
             sessionId_, [](const Reply&) {});
  return Result::ok;
}

Result WebviewImpl::setVisible(bool visible) {
  if (Result r = usable(); r != Result::ok) return r;
  std::lock_guard lock(mutex_);
  visible_ = visible;
  return Result::ok;
}

Result WebviewImpl::setSettings(const Settings& settings) {
  if (Result r = usable(); r != Result::ok) return r;
  std::lock_guard lock(mutex_);
  settings_ = settings;
  return Result::ok;
}

void WebviewImpl::sendFilters() {
  json patterns = json::array();
  {
    std::lock_guard lock(mutex_);
    for (auto& host : filters_) {
      patterns.push_back({{"urlPattern", "*://" + host + "/*"}, {"requestStage", "Request"}});
      patterns.push_back({{"urlPattern", "*://" + host + ":*/*"}, {"requestStage", "Request"}});
    }
  }
  env_->send("Fetch.enable", {{"patterns", std::move(patterns)}}, sessionId_, [](const Reply&) {});
}

Result WebviewImpl::addRequestFilter(const std::string& host) {
  if (Result r = usable(); r != Result::ok) return r;
  if (host.empty() || host.find_first_of("/*?\\ ") != std::string::npos) return Result::invalidArgument;
  {
    std::lock_guard lock(mutex_);
    if (std::find(filters_.begin(), filters_.end(), host) != filters_.end()) return Result::ok;
    filters_.push_back(host);
  }
  // Fetch.enable replaces the pattern list, so every filter goes again.
  sendFilters();
  return Result::ok;
}

Result WebviewImpl::navigate(const std::string& url) {
  if (Result r = usable(); r != Result::ok) return r;
  if (url.empty()) return Result::invalidArgument;
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  env_->send("Page.navigate", {{"url", url}}, sessionId_, [weak](const Reply& r) {
    auto self = weak.lock();
    if (!self || !r.ok) return;
    if (const std::string* error = stringAt(*r.result, "errorText")) {
      std::lock_guard lock(self->mutex_);
      self->navigationError_ = *error;
    }
  });
  return Result::ok;
}

Result WebviewImpl::navigateToString(const std::string& html) {
  return navigate("data:text/html;charset=utf-8;base64," + base64Encode(html));
}

Result WebviewImpl::addScriptOnDocumentCreated(const std::string& script,
                                               std::function<void(Result, const std::string&)> done) {
  Result r = usable();
  if (r != Result::ok) {
    if (done) env_->post([done, r] { done(r, ""); });
    return r;
  }
  call("Page.addScriptToEvaluateOnNewDocument", {{"source", script}},
       [done](Result r2, const json& result) {
         if (done) done(r2, r2 == Result::ok ? stringOr(result, "identifier") : std::string());
       });
  return Result::ok;
}

Result WebviewImpl::removeScriptOnDocumentCreated(const std::string& id) {
  if (Result r = usable(); r != Result::ok) return r;
  if (id.empty()) return Result::invalidArgument;
  env_->send("Page.removeScriptToEvaluateOnNewDocument", {{"identifier", id}}, sessionId_,
             [](const Reply&) {});
  return Result::ok;
}

Result WebviewImpl::executeScript(const std::string& script,
                                  std::function<void(Result, const std::string&)> done) {
  Result r = usable();
  if (r != Result::ok) {
    if (done) env_->post([done, r] { done(r, "null"); });
    return r;
  }
  call("Runtime.evaluate", {{"expression", script}, {"returnByValue", true}, {"awaitPromise", false}},
       [done](Result r2, const json& result) {
         if (!done) return;
         if (r2 != Result::ok) return done(r2, "null");
         // A thrown exception, undefined and values JSON cannot hold all read as null.
         if (result.contains("exceptionDetails")) return done(Result::ok, "null");
         auto value = result.find("result");
         if (value == result.end() || !value->is_object()) return done(Result::ok, "null");
         auto v = value->find("value");
         if (v == value->end()) return done(Result::ok, "null");
         done(Result::ok, dumpJson(*v));
       });
  return Result::ok;
}

Result WebviewImpl::postWebMessageAsJson(const std::string& text) {
  if (Result r = usable(); r != Result::ok) return r;
  json value = json::parse(text, nullptr, false);
  if (value.is_discarded()) return Result::invalidArgument;
  std::string expression = "globalThis.chrome?.webview?.__deskWebDeliver?.(" + dumpJson(value) + ")";
  env_->send("Runtime.evaluate", {{"expression", expression}}, sessionId_, [](const Reply&) {});
  return Result::ok;
}

Result WebviewImpl::postWebMessageAsString(const std::string& text) {
  return postWebMessageAsJson(dumpJson(json(text)));
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
