#include "desk/web/chromium_webview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "desk/web/base64.h"
#include "desk/web/chromium_environment.h"

namespace desk::web {

using namespace devtools;

namespace {

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
  // The browser does not load file: URLs into a page of the web, but it replaces the page with a
  // blank one instead of keeping it; such navigations are stopped here and reported.
  if (globalThis.navigation) {
    navigation.addEventListener('navigate', (e) => {
      if (e.cancelable && /^file:/i.test(e.destination.url)) {
        e.preventDefault();
        post('n' + e.destination.url);
      }
    });
  }
})();)JS";

// Reads a body source whole, for a reply that travels inside a DevTools message.
bool readWhole(BodySource& source, std::string& out) {
  uint64_t size = source.size();
  out.clear();
  out.resize(static_cast<size_t>(size));
  uint64_t got = 0;
  while (got < size) {
    int64_t n = source.read(out.data() + got, static_cast<size_t>(size - got));
    if (n <= 0) return false;
    got += static_cast<uint64_t>(n);
  }
  return true;
}

class ChromiumDeferral final : public Deferral {
 public:
  // With a `loopbackGroup` (the webview's), a reply over `kInlineReplyLimit` is not carried over
  // DevTools: it is handed to the loopback server and the request sent on to it.
  ChromiumDeferral(std::shared_ptr<Paused> paused, std::weak_ptr<EnvironmentImpl> env,
                   std::weak_ptr<WebviewImpl> webview, uint64_t loopbackGroup = 0)
      : paused_(std::move(paused)), env_(std::move(env)), webview_(std::move(webview)),
        loopbackGroup_(loopbackGroup) {}
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
    if (loopbackGroup_ != 0) {
      uint64_t size = response.bodySource ? response.bodySource->size() : response.body.size();
      if (size > kInlineReplyLimit) return sendOnLoopback(std::move(response));
    }
    if (response.bodySource && !readWhole(*response.bodySource, response.body)) {
      sendFail();
      return Result::failed;
    }
    response.bodySource.reset();
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

  // A navigation its owner stopped: ended as aborted, which keeps the current document.
  void abort() {
    if (!paused_->claim()) return;
    forget();
    if (auto env = env_.lock()) {
      env->send("Fetch.failRequest", {{"requestId", paused_->requestId}, {"errorReason", "Aborted"}},
                paused_->sessionId, [](const Reply&) {});
    }
  }
  // Lets the request go on to the network untouched.
  void pass() {
    if (!paused_->claim()) return;
    forget();
    if (auto env = env_.lock()) {
      env->send("Fetch.continueRequest", {{"requestId", paused_->requestId}}, paused_->sessionId,
                [](const Reply&) {});
    }
  }

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
  // The reply waits on the loopback server, and the request goes on to it there: the body is
  // streamed from where it lies, never copied into a message.
  Result sendOnLoopback(Response response) {
    auto env = env_.lock();
    forget();
    if (!env || !env->browserAlive()) return Result::browserGone;
    auto webview = webview_.lock();
    if (!webview || webview->closed()) {
      sendFail();
      return Result::closed;
    }
    std::string token;
    std::string url = env->loopback().expectReply(std::move(response), loopbackGroup_, &token);
    if (url.empty()) {
      sendFail();
      return Result::failed;
    }
    std::weak_ptr<EnvironmentImpl> weakEnv = env;
    std::string requestId = paused_->requestId, session = paused_->sessionId;
    env->send("Fetch.continueRequest", {{"requestId", requestId}, {"url", url}}, session,
              [weakEnv, token, requestId, session](const Reply& r) {
                if (r.ok) return;
                // Not sent on: nobody will fetch the reply, and the request must still end.
                if (auto e = weakEnv.lock()) {
                  e->loopback().forget(token);
                  e->send("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Failed"}},
                          session, [](const Reply&) {});
                }
              });
    return Result::ok;
  }

  std::shared_ptr<Paused> paused_;
  std::weak_ptr<EnvironmentImpl> env_;
  std::weak_ptr<WebviewImpl> webview_;
  const uint64_t loopbackGroup_;
};

class ChromiumDialogDeferral final : public ScriptDialogDeferral {
 public:
  ChromiumDialogDeferral(ScriptDialogKind kind, std::weak_ptr<EnvironmentImpl> env,
                         std::weak_ptr<WebviewImpl> webview, std::string sessionId)
      : kind_(kind), env_(std::move(env)), webview_(std::move(webview)), sessionId_(std::move(sessionId)) {}
  ~ChromiumDialogDeferral() override {
    // Nobody answered: the engine's own answer, so the page goes on.
    if (!done_.exchange(true)) {
      send(kind_ == ScriptDialogKind::alert || kind_ == ScriptDialogKind::beforeunload, "");
    }
  }
  Result accept(const std::string& text) override { return answer(true, text); }
  Result dismiss() override { return answer(false, ""); }
  bool done() const override { return done_; }

 private:
  Result answer(bool accept, const std::string& text) {
    if (done_.exchange(true)) return Result::failed;
    return send(accept, text);
  }
  Result send(bool accept, const std::string& text) {
    auto env = env_.lock();
    if (!env || !env->browserAlive()) return Result::browserGone;
    auto webview = webview_.lock();
    if (!webview || webview->closed()) return Result::closed;
    json params = {{"accept", accept}};
    if (accept && kind_ == ScriptDialogKind::prompt) params["promptText"] = text;
    env->send("Page.handleJavaScriptDialog", std::move(params), sessionId_, [](const Reply&) {});
    return Result::ok;
  }
  ScriptDialogKind kind_;
  std::weak_ptr<EnvironmentImpl> env_;
  std::weak_ptr<WebviewImpl> webview_;
  std::string sessionId_;
  std::atomic<bool> done_{false};
};

}  // namespace

// ===== WebviewImpl =====

WebviewImpl::WebviewImpl(std::shared_ptr<EnvironmentImpl> env, std::string targetId, std::string sessionId)
    : env_(std::move(env)), targetId_(std::move(targetId)), sessionId_(std::move(sessionId)) {
  static std::atomic<uint64_t> next{1};
  group_ = next++;
}

std::vector<std::pair<std::string, json>> WebviewImpl::setupCommands() {
  return {
      {"Page.enable", json::object()},
      {"Runtime.enable", json::object()},
      {"Runtime.addBinding", {{"name", kBinding}}},
      {"Page.addScriptToEvaluateOnNewDocument", {{"source", kShim}}},
      // Top-frame documents pause at the request stage, so a starting navigation can be stopped.
      {"Fetch.enable", {{"patterns", json::array({{{"urlPattern", "*"}, {"resourceType", "Document"},
                                                   {"requestStage", "Request"}}})}}},
      // Workers (and frames in other processes) are attached as they start, paused until their
      // requests are filtered like the page's.
      {"Target.setAutoAttach", {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}}},
  };
}

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
  env_->send("Fetch.failRequest", {{"requestId", p->requestId}, {"errorReason", "Aborted"}}, p->sessionId,
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
  // Requests on the loopback road: those not arrived yet are forgotten, those under way fail.
  env_->loopback().cancelGroup(group_, why);
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
  // A page whose window the browser closed while it runs on was closed by the user (its close
  // button, the window manager): the window that showed it gets the close as from its own frame.
  if (appWindow_ && why == Result::closed && reason == kClosedByBrowser && env_->browserAlive()) {
    if (auto& host = env_->host()) host->closeRequested(appWindow_);
  }
  windowGone();
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
  windowGone();
  return Result::ok;
}

void WebviewImpl::windowGone() {
  if (!appWindow_ || windowGone_.exchange(true)) return;
  if (auto& host = env_->host()) host->closed(appWindow_);
}

void WebviewImpl::onRequestPaused(const json& params, const std::string& sessionId) {
  auto paused = std::make_shared<Paused>();
  paused->requestId = stringOr(params, "requestId");
  paused->sessionId = sessionId;
  static const json emptyObject = json::object();
  auto rit = params.find("request");
  const json& req = rit != params.end() && rit->is_object() ? *rit : emptyObject;
  Request request;
  request.method = stringOr(req, "method");
  request.url = stringOr(req, "url") + stringOr(req, "urlFragment");
  bool filtered = hostFiltered(request.url);
  bool document = stringOr(params, "resourceType") == "Document";
  bool topDocument = document && sessionId == sessionId_ && stringOr(params, "frameId") == targetId_;
  if (!filtered && !topDocument) {
    // A document of another host in a frame: only top-frame documents are the owner's business.
    env_->send("Fetch.continueRequest", {{"requestId", paused->requestId}}, sessionId, [](const Reply&) {});
    return;
  }
  auto hit = req.find("headers");
  if (hit != req.end() && hit->is_object()) {
    for (auto& [name, value] : hit->items()) {
      request.headers.emplace_back(name, value.is_string() ? value.get<std::string>() : value.dump());
    }
  }
  // A body the message does not hold whole (too large to be carried in it, or a part without
  // bytes) comes over the loopback road, as do the paths marked as large-content.
  bool bodyMissing = false;
  auto eit = req.find("postDataEntries");
  if (eit != req.end() && eit->is_array()) {
    for (auto& entry : *eit) {
      const std::string* bytes = entry.is_object() ? stringAt(entry, "bytes") : nullptr;
      if (bytes) request.body += base64Decode(*bytes);
      else bodyMissing = true;
    }
  } else if (auto has = req.find("hasPostData"); has != req.end() && has->is_boolean() && has->get<bool>()) {
    bodyMissing = true;
  }
  bool closedAlready;
  {
    std::lock_guard lock(mutex_);
    closedAlready = ownerClosed_ || dead_;
    if (!closedAlready) paused_[paused->requestId] = paused;
  }
  if (closedAlready) {
    endPaused(paused, Result::closed);
    return;
  }
  if (topDocument) {
    startNavigation(paused, std::move(request), bodyMissing);
    return;
  }
  answerPaused(paused, std::move(request), bodyMissing);
}

bool WebviewImpl::sendsOnLoopback(const Request& request, bool bodyMissing) const {
  return bodyMissing || (!request.body.empty() && env_->largeContent(request.url));
}

uint64_t WebviewImpl::largeReplyGroup(const Request& request) const {
  return env_->largeContent(request.url) ? group_ : 0;
}

void WebviewImpl::answerPaused(const std::shared_ptr<Paused>& paused, Request request, bool bodyMissing) {
  if (sendsOnLoopback(request, bodyMissing)) {
    request.body.clear();
    redirect(paused, std::move(request));
    return;
  }
  uint64_t group = largeReplyGroup(request);
  raise(env_->executor(), weak_from_this(), std::move(request),
        std::make_shared<ChromiumDeferral>(paused, env_, weak_from_this(), group));
}

void WebviewImpl::startNavigation(const std::shared_ptr<Paused>& paused, Request request, bool bodyMissing) {
  uint64_t id;
  {
    std::lock_guard lock(mutex_);
    id = navigationId_;
    announced_ = id;
  }
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  // The deferral goes with the work: work that never runs fails the request rather than leave
  // the navigation hanging.
  auto deferral = std::make_shared<ChromiumDeferral>(paused, env_, weak, largeReplyGroup(request));
  env_->post([weak, paused, deferral, id, request = std::move(request), bodyMissing]() mutable {
    auto self = weak.lock();
    if (!self || paused->done) return;
    WebviewEvents events;
    {
      std::lock_guard lock(self->mutex_);
      if (self->ownerClosed_) return;
      events = self->events_;
    }
    NavigationStarting start{id, request.url};
    if (events.navigationStarting) events.navigationStarting(start);
    if (start.cancel) return deferral->abort();
    if (!self->hostFiltered(request.url)) return deferral->pass();
    if (self->sendsOnLoopback(request, bodyMissing)) {
      request.body.clear();
      self->redirect(paused, std::move(request));
      return;
    }
    raise(self->env_->executor(), weak, std::move(request), std::move(deferral));
  });
}

void WebviewImpl::redirect(const std::shared_ptr<Paused>& paused, Request request) {
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  std::string token;
  std::string url = env_->loopback().expect(
      std::move(request), group_,
      [weak, executor = env_->executor()](Request r, std::shared_ptr<Deferral> deferral) {
        // The browser's request arrived with its body; the owner answers it as any other. No
        // strong reference is taken here: the last one must never be let go on a server thread.
        raise(executor, weak, std::move(r), std::move(deferral));
      },
      &token);
  forgetPaused(paused->requestId);
  if (url.empty()) {
    endPaused(paused, Result::failed);
    return;
  }
  // From here the loopback transfer answers the request; the paused one is done with.
  if (!paused->claim()) {
    env_->loopback().forget(token);
    return;
  }
  auto env = env_;
  env_->send("Fetch.continueRequest", {{"requestId", paused->requestId}, {"url", url}}, paused->sessionId,
             [env, token, paused](const Reply& r) {
               if (r.ok) return;
               // Not sent on: nobody will use the token, and the request must still end.
               env->loopback().forget(token);
               env->send("Fetch.failRequest", {{"requestId", paused->requestId}, {"errorReason", "Failed"}},
                         paused->sessionId, [](const Reply&) {});
             });
}

void WebviewImpl::raise(const Executor& executor, std::weak_ptr<WebviewImpl> weak, Request request,
                        std::shared_ptr<Deferral> deferral) {
  executor([weak, request = std::move(request), deferral = std::move(deferral)]() mutable {
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

void WebviewImpl::onEvent(const std::string& method, const json& params, const std::string& sessionId) {
  if (method == "Fetch.requestPaused") {
    onRequestPaused(params, sessionId);
    return;
  }
  if (method == "Target.attachedToTarget") {
    attachChild(params);
    return;
  }
  if (method == "Target.detachedFromTarget") {
    std::string child = stringOr(params, "sessionId");
    env_->forgetChild(child);
    std::lock_guard lock(mutex_);
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
    return;
  }
  // Everything else comes from the page itself.
  if (sessionId != sessionId_) return;
  if (method == "Page.frameStartedNavigating") {
    if (stringOr(params, "frameId") != targetId_) return;
    if (stringOr(params, "navigationType") == "sameDocument") return;
    std::string url = stringOr(params, "url");
    uint64_t id;
    {
      std::lock_guard lock(mutex_);
      id = ++navigationId_;
      failedUrl_.clear();
    }
    // Documents loaded over the network are announced from the request stage, where they can
    // still be stopped; the others (about:, data:, blob: ...) only here.
    std::string scheme = url.substr(0, url.find(':'));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == "http" || scheme == "https") return;
    deliver([id, url](const WebviewEvents& e) {
      NavigationStarting start{id, url, false, false};
      if (e.navigationStarting) e.navigationStarting(start);
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
    } else if (!payload.empty() && payload[0] == 'n') {
      // A file: navigation the page tried and the shim stopped: the owner hears of it, stopped.
      std::string url = payload.substr(1);
      deliver([url](const WebviewEvents& e) {
        NavigationStarting start{0, url, true, false};
        if (e.navigationStarting) e.navigationStarting(start);
      });
      return;
    } else {
      return;
    }
    deliver([m](const WebviewEvents& e) {
      if (e.webMessageReceived) e.webMessageReceived(m);
    });
  } else if (method == "Page.javascriptDialogOpening") {
    onScriptDialog(params);
  } else if (method == "Inspector.targetCrashed") {
    died(Result::closed, "the page's process crashed");
  } else if (method == "Inspector.detached") {
    died(Result::closed, kClosedByBrowser);
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
  if (appWindow_) {
    // A page in a window of its own has the window's size; only a scale other than the
    // display's changes its metrics.
    if (factor == 1.0) {
      env_->send("Emulation.clearDeviceMetricsOverride", json::object(), sessionId_, [](const Reply&) {});
    } else {
      env_->send("Emulation.setDeviceMetricsOverride",
                 {{"width", 0}, {"height", 0}, {"deviceScaleFactor", factor}, {"mobile", false}}, sessionId_,
                 [](const Reply&) {});
    }
    return;
  }
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

json WebviewImpl::filterPatterns(bool page) const {
  json patterns = json::array();
  std::lock_guard lock(mutex_);
  for (auto& host : filters_) {
    patterns.push_back({{"urlPattern", "*://" + host + "/*"}, {"requestStage", "Request"}});
    patterns.push_back({{"urlPattern", "*://" + host + ":*/*"}, {"requestStage", "Request"}});
  }
  if (page) patterns.push_back({{"urlPattern", "*"}, {"resourceType", "Document"}, {"requestStage", "Request"}});
  return patterns;
}

bool WebviewImpl::hostFiltered(const std::string& url) const {
  size_t p = url.find("://");
  if (p == std::string::npos) return false;
  size_t end = url.find_first_of(":/?#", p + 3);
  std::string host = url.substr(p + 3, end == std::string::npos ? std::string::npos : end - p - 3);
  std::lock_guard lock(mutex_);
  return std::find(filters_.begin(), filters_.end(), host) != filters_.end();
}

void WebviewImpl::sendFilters() {
  std::vector<std::string> children;
  {
    std::lock_guard lock(mutex_);
    children = children_;
  }
  env_->send("Fetch.enable", {{"patterns", filterPatterns(true)}}, sessionId_, [](const Reply&) {});
  json childPatterns = filterPatterns(false);
  for (auto& child : children) {
    env_->send("Fetch.enable", {{"patterns", childPatterns}}, child, [](const Reply&) {});
  }
}

void WebviewImpl::attachChild(const json& params) {
  std::string child = stringOr(params, "sessionId");
  if (child.empty()) return;
  {
    std::lock_guard lock(mutex_);
    if (ownerClosed_ || dead_) return;
    children_.push_back(child);
  }
  env_->adoptChild(child, sessionId_, weak_from_this());
  auto env = env_;
  auto resume = [env, child](const Reply&) {
    env->send("Runtime.runIfWaitingForDebugger", json::object(), child, [](const Reply&) {});
  };
  // Its own workers are attached the same way (a worker that cannot have any refuses: it still
  // runs). Only then does it start, with its requests filtered.
  auto nested = [env, child, resume](const Reply&) {
    env->send("Target.setAutoAttach", {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}},
              child, resume);
  };
  json patterns = filterPatterns(false);
  if (patterns.empty()) {
    nested(Reply{});
    return;
  }
  env_->send("Fetch.enable", {{"patterns", std::move(patterns)}}, child, nested);
}

void WebviewImpl::onScriptDialog(const json& params) {
  std::string type = stringOr(params, "type");
  ScriptDialogOpening opening;
  opening.kind = type == "confirm"        ? ScriptDialogKind::confirm
                 : type == "prompt"       ? ScriptDialogKind::prompt
                 : type == "beforeunload" ? ScriptDialogKind::beforeunload
                                          : ScriptDialogKind::alert;
  opening.message = stringOr(params, "message");
  opening.defaultText = stringOr(params, "defaultPrompt");
  opening.url = stringOr(params, "url");
  // The deferral answers as the engine always did when nobody takes it, or nobody answers it.
  opening.deferral = std::make_shared<ChromiumDialogDeferral>(opening.kind, env_, weak_from_this(), sessionId_);
  auto holder = std::make_shared<ScriptDialogOpening>(std::move(opening));
  deliver([holder](const WebviewEvents& e) {
    if (e.scriptDialogOpening) e.scriptDialogOpening(*holder);
  });
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
  env_->addBrowserFilter(host);
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

Result WebviewImpl::capturePng(std::function<void(Result, const std::string&)> done) {
  Result r = usable();
  if (r != Result::ok) {
    if (done) env_->post([done, r] { done(r, std::string()); });
    return r;
  }
  call("Page.captureScreenshot", {{"format", "png"}, {"fromSurface", true}},
       [done](Result r2, const json& result) {
         if (!done) return;
         if (r2 != Result::ok) return done(r2, std::string());
         auto data = result.find("data");
         if (data == result.end() || !data->is_string()) return done(Result::failed, std::string());
         done(Result::ok, base64Decode(data->get<std::string>()));
       });
  return Result::ok;
}

// --- printing to PDF

// One print to PDF: the temporary file beside the target, filled from the browser's stream.
struct PdfTransfer {
  std::string path;
  std::string part;
  FILE* file = nullptr;
  std::string stream;
  std::function<void(Result, const std::string&)> done;
  bool finished = false;

  // Dropped unfinished (its completion never came back): no partial file stays.
  ~PdfTransfer() {
    if (finished) return;
    if (file != nullptr) std::fclose(file);
    if (!part.empty()) ::unlink(part.c_str());
  }
  void finish(Result r, const std::string& error) {
    if (finished) return;
    finished = true;
    if (file != nullptr && std::fclose(file) != 0 && r == Result::ok) {
      r = Result::failed;
    }
    file = nullptr;
    std::string reason = error;
    if (r == Result::ok && std::rename(part.c_str(), path.c_str()) != 0) {
      r = Result::failed;
      reason = "cannot rename the PDF to " + path;
    }
    if (r != Result::ok && !part.empty()) ::unlink(part.c_str());
    auto f = std::move(done);
    done = nullptr;
    if (f) f(r, reason);
  }
};

Result WebviewImpl::printToPdf(const PdfSettings& s, const std::string& path,
                               std::function<void(Result, const std::string&)> done) {
  if (Result r = usable(); r != Result::ok) return r;
  auto finite = [](double v) { return std::isfinite(v); };
  if (path.empty() || !finite(s.paperWidth) || !finite(s.paperHeight) || s.paperWidth <= 0 ||
      s.paperHeight <= 0 || !finite(s.scale) || !finite(s.marginTop) || !finite(s.marginBottom) ||
      !finite(s.marginLeft) || !finite(s.marginRight) || s.marginTop < 0 || s.marginBottom < 0 ||
      s.marginLeft < 0 || s.marginRight < 0) {
    return Result::invalidArgument;
  }
  auto transfer = std::make_shared<PdfTransfer>();
  transfer->path = path;
  transfer->done = std::move(done);
  // The file is made now, beside its final place, so a folder that cannot take it fails at once.
  std::string name = path + ".XXXXXX";
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    transfer->finished = true;
    return Result::failed;
  }
  ::fchmod(fd, 0644);
  transfer->part = name;
  transfer->file = ::fdopen(fd, "wb");
  if (transfer->file == nullptr) {
    ::close(fd);
    ::unlink(name.c_str());
    transfer->finished = true;
    return Result::failed;
  }
  json params = {
      {"landscape", s.landscape},
      {"displayHeaderFooter", s.displayHeaderFooter},
      {"printBackground", s.printBackground},
      {"scale", std::clamp(s.scale, 0.1, 2.0)},
      {"paperWidth", s.paperWidth},
      {"paperHeight", s.paperHeight},
      {"marginTop", s.marginTop},
      {"marginBottom", s.marginBottom},
      {"marginLeft", s.marginLeft},
      {"marginRight", s.marginRight},
      {"preferCSSPageSize", false},
      {"transferMode", "ReturnAsStream"},
  };
  if (s.displayHeaderFooter) {
    params["headerTemplate"] = pdfHeaderTemplate(s.headerTitle);
    params["footerTemplate"] = pdfFooterTemplate(s.footerUri);
  }
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  call("Page.printToPDF", std::move(params), [weak, transfer](Result r, const json& result) {
    if (r != Result::ok) return transfer->finish(r, std::string("the page could not be printed: ") + resultName(r));
    auto self = weak.lock();
    if (!self) return transfer->finish(Result::closed, "the webview is gone");
    transfer->stream = stringOr(result, "stream");
    if (transfer->stream.empty()) {
      // An engine that answers with the whole document at once.
      const std::string bytes = base64Decode(stringOr(result, "data"));
      if (bytes.empty()) return transfer->finish(Result::failed, "the browser gave no PDF");
      if (std::fwrite(bytes.data(), 1, bytes.size(), transfer->file) != bytes.size()) {
        return transfer->finish(Result::failed, "cannot write the PDF");
      }
      return transfer->finish(Result::ok, "");
    }
    self->readPdfStream(transfer);
  });
  return Result::ok;
}

void WebviewImpl::readPdfStream(const std::shared_ptr<PdfTransfer>& transfer) {
  std::weak_ptr<WebviewImpl> weak = weak_from_this();
  call("IO.read", {{"handle", transfer->stream}, {"size", 1 << 20}}, [weak, transfer](Result r, const json& result) {
    auto self = weak.lock();
    auto closeStream = [&] {
      if (self) self->env_->send("IO.close", {{"handle", transfer->stream}}, self->sessionId_, [](const Reply&) {});
    };
    if (r != Result::ok) {
      closeStream();
      return transfer->finish(r, std::string("the PDF could not be read: ") + resultName(r));
    }
    std::string data = stringOr(result, "data");
    auto encoded = result.find("base64Encoded");
    if (encoded != result.end() && encoded->is_boolean() && encoded->get<bool>()) data = base64Decode(data);
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), transfer->file) != data.size()) {
      closeStream();
      return transfer->finish(Result::failed, "cannot write the PDF");
    }
    auto eof = result.find("eof");
    if (eof != result.end() && eof->is_boolean() && eof->get<bool>()) {
      closeStream();
      return transfer->finish(Result::ok, "");
    }
    if (!self) return transfer->finish(Result::closed, "the webview is gone");
    self->readPdfStream(transfer);
  });
}

}  // namespace desk::web
