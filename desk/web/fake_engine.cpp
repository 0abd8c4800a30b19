#include "desk/web/fake_engine.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

namespace desk::web {

namespace {

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The host of an absolute URL, lower-cased ("" when there is none).
std::string hostOf(const std::string& url) {
  size_t p = url.find("://");
  if (p == std::string::npos) return {};
  p += 3;
  size_t e = url.find_first_of("/?#", p);
  std::string authority = url.substr(p, e == std::string::npos ? std::string::npos : e - p);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']') == std::string::npos) authority.resize(colon);
  return lower(authority);
}

}  // namespace

// --- FakeRequestRecord ---

FakeRequestRecord::State FakeRequestRecord::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

Response FakeRequestRecord::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}

std::thread::id FakeRequestRecord::thread() const {
  std::lock_guard lock(mutex_);
  return thread_;
}

bool FakeRequestRecord::settle(State s, const Response* response) {
  std::lock_guard lock(mutex_);
  if (state_ != State::pending) return false;
  state_ = s;
  if (response) response_ = *response;
  thread_ = std::this_thread::get_id();
  return true;
}

// --- FakeDeferral ---

class FakeDeferral final : public Deferral {
 public:
  FakeDeferral(std::shared_ptr<FakeRequestRecord> record, std::weak_ptr<FakeEngine> engine)
      : record_(std::move(record)), engine_(std::move(engine)) {}
  ~FakeDeferral() override { record_->settle(FakeRequestRecord::State::dropped, nullptr); }

  Result complete(Response response) override {
    if (record_->state() != FakeRequestRecord::State::pending) return settledResult();
    auto engine = engine_.lock();
    if (engine && engine->consumeFailure(FakeCall::complete)) {
      record_->settle(FakeRequestRecord::State::failed, nullptr);
      return Result::failed;
    }
    if (response.status == 0) {
      return record_->settle(FakeRequestRecord::State::failed, nullptr) ? Result::ok : settledResult();
    }
    sanitizeResponse(response);
    if (response.bodySource) {
      // The recorded reply holds the source's bytes, as the page would see them.
      std::string body;
      std::vector<char> chunk(1 << 16);
      for (;;) {
        int64_t n = response.bodySource->read(chunk.data(), chunk.size());
        if (n < 0) return record_->settle(FakeRequestRecord::State::failed, nullptr) ? Result::failed : settledResult();
        if (n == 0) break;
        body.append(chunk.data(), static_cast<size_t>(n));
      }
      response.body = std::move(body);
      response.bodySource.reset();
    }
    return record_->settle(FakeRequestRecord::State::answered, &response) ? Result::ok : settledResult();
  }

  Result fail() override {
    return record_->settle(FakeRequestRecord::State::failed, nullptr) ? Result::ok : settledResult();
  }

  bool done() const override { return record_->state() != FakeRequestRecord::State::pending; }

 private:
  Result settledResult() const {
    return record_->state() == FakeRequestRecord::State::lost ? Result::closed : Result::failed;
  }
  std::shared_ptr<FakeRequestRecord> record_;
  std::weak_ptr<FakeEngine> engine_;
};

// --- FakeDialogRecord, FakeDialogDeferral ---

FakeDialogRecord::State FakeDialogRecord::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}
std::string FakeDialogRecord::text() const {
  std::lock_guard lock(mutex_);
  return text_;
}
std::thread::id FakeDialogRecord::thread() const {
  std::lock_guard lock(mutex_);
  return thread_;
}
bool FakeDialogRecord::defaultAccepted() const {
  std::lock_guard lock(mutex_);
  return defaultAccepted_;
}
bool FakeDialogRecord::settle(State s, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (state_ != State::pending) return false;
  state_ = s;
  text_ = text;
  thread_ = std::this_thread::get_id();
  return true;
}

class FakeDialogDeferral final : public ScriptDialogDeferral {
 public:
  explicit FakeDialogDeferral(std::shared_ptr<FakeDialogRecord> record) : record_(std::move(record)) {}
  ~FakeDialogDeferral() override { record_->settle(FakeDialogRecord::State::defaulted, ""); }
  Result accept(const std::string& text) override { return answer(FakeDialogRecord::State::accepted, text); }
  Result dismiss() override { return answer(FakeDialogRecord::State::dismissed, ""); }
  bool done() const override { return record_->state() != FakeDialogRecord::State::pending; }

 private:
  Result answer(FakeDialogRecord::State s, const std::string& text) {
    if (record_->settle(s, text)) return Result::ok;
    return record_->state() == FakeDialogRecord::State::lost ? Result::closed : Result::failed;
  }
  std::shared_ptr<FakeDialogRecord> record_;
};

// --- FakeWebview ---

FakeWebview::FakeWebview(std::shared_ptr<FakeEngine> engine, Executor executor)
    : engine_(engine), executor_(std::move(executor)) {}

bool FakeWebview::shouldFail(FakeCall call) {
  auto engine = engine_.lock();
  return engine && engine->consumeFailure(call);
}

void FakeWebview::deliver(std::function<void(const WebviewEvents&)> call) {
  std::weak_ptr<FakeWebview> weak = weak_from_this();
  executor_([weak, call = std::move(call)] {
    auto self = weak.lock();
    if (!self) return;
    WebviewEvents events;
    {
      std::lock_guard lock(self->mutex_);
      if (self->closed_) return;
      events = self->events_;
    }
    call(events);
  });
}

std::shared_ptr<FakeRequestRecord> FakeWebview::raiseRequest(Request request) {
  std::string host = hostOf(request.url);
  bool requestFails = shouldFail(FakeCall::getRequest);
  bool deferralFails = shouldFail(FakeCall::getDeferral);
  std::shared_ptr<FakeRequestRecord> record;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return nullptr;
    bool filtered = std::any_of(filters_.begin(), filters_.end(),
                                [&](const std::string& f) { return lower(f) == host; });
    if (!filtered) return nullptr;
    record.reset(new FakeRequestRecord(request));
    requests_.push_back(record);
  }
  auto deferral = std::make_shared<FakeDeferral>(record, engine_);
  std::weak_ptr<FakeWebview> weak = weak_from_this();
  executor_([weak, request = std::move(request), deferral = std::move(deferral), requestFails,
             deferralFails]() mutable {
    auto self = weak.lock();
    if (!self) return;  // the deferral goes with this closure: the request fails
    WebviewEvents events;
    {
      std::lock_guard lock(self->mutex_);
      if (self->closed_) return;
      events = self->events_;
    }
    if (!events.resourceRequested) return;
    ResourceRequestedEvent event(std::move(request), std::move(deferral), requestFails, deferralFails);
    events.resourceRequested(event);
  });
  return record;
}

void FakeWebview::note(const char* call) const {
  std::lock_guard lock(callsMutex_);
  calls_.emplace_back(call, std::this_thread::get_id());
}

std::vector<std::pair<std::string, std::thread::id>> FakeWebview::calls() const {
  std::lock_guard lock(callsMutex_);
  return calls_;
}

std::shared_ptr<FakeNavigationRecord> FakeWebview::raiseNavigationStarting(const std::string& url, bool cancellable) {
  auto record = std::make_shared<FakeNavigationRecord>();
  record->url = url;
  {
    std::lock_guard lock(mutex_);
    record->navigationId = nextNavigationId_++;
  }
  std::weak_ptr<FakeWebview> weak = weak_from_this();
  executor_([weak, record, cancellable] {
    auto self = weak.lock();
    WebviewEvents events;
    bool open = false;
    if (self) {
      std::lock_guard lock(self->mutex_);
      open = !self->closed_;
      events = self->events_;
    }
    if (!open) {
      record->state = FakeNavigationRecord::State::lost;
      return;
    }
    NavigationStarting start{record->navigationId, record->url, false, cancellable};
    if (events.navigationStarting) events.navigationStarting(start);
    record->state = start.cancel && cancellable ? FakeNavigationRecord::State::cancelled
                                                : FakeNavigationRecord::State::allowed;
  });
  return record;
}

std::shared_ptr<FakeMenuRecord> FakeWebview::raiseContextMenu(ContextMenuRequested menu) {
  auto record = std::make_shared<FakeMenuRecord>();
  record->items = menu.items;
  deliver([record, menu](const WebviewEvents& e) mutable {
    if (e.contextMenuRequested) e.contextMenuRequested(menu);
    record->items = menu.items;
    record->shown = !menu.handled;
    record->done = true;
  });
  return record;
}

std::shared_ptr<FakeDialogRecord> FakeWebview::raiseScriptDialog(ScriptDialogKind kind, const std::string& message,
                                                                const std::string& defaultText) {
  auto record = std::make_shared<FakeDialogRecord>();
  record->defaultAccepted_ = kind == ScriptDialogKind::alert || kind == ScriptDialogKind::beforeunload;
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      record->settle(FakeDialogRecord::State::lost, "");
      return record;
    }
    dialogs_.push_back(record);
  }
  auto opening = std::make_shared<ScriptDialogOpening>();
  opening->kind = kind;
  opening->message = message;
  opening->defaultText = defaultText;
  opening->url = source();
  opening->deferral = std::make_shared<FakeDialogDeferral>(record);
  deliver([opening](const WebviewEvents& e) {
    if (e.scriptDialogOpening) e.scriptDialogOpening(*opening);
  });
  return record;
}

void FakeWebview::raiseNavigationCompleted(bool success, const std::string& url,
                                           const std::string& errorText) {
  uint64_t id;
  {
    std::lock_guard lock(mutex_);
    id = nextNavigationId_ - 1;
    source_ = url;
  }
  deliver([=](const WebviewEvents& e) {
    if (e.navigationCompleted) e.navigationCompleted(NavigationCompleted{id, success, url, errorText});
  });
}

void FakeWebview::raiseTitleChanged(const std::string& title) {
  {
    std::lock_guard lock(mutex_);
    title_ = title;
  }
  deliver([title](const WebviewEvents& e) {
    if (e.titleChanged) e.titleChanged(title);
  });
}

void FakeWebview::raiseWebMessageJson(const std::string& json) {
  deliver([json](const WebviewEvents& e) {
    if (e.webMessageReceived) e.webMessageReceived(WebMessage{json, false, {}});
  });
}

void FakeWebview::raiseWebMessageString(const std::string& text) {
  std::string json = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  deliver([json, text](const WebviewEvents& e) {
    if (e.webMessageReceived) e.webMessageReceived(WebMessage{json, true, text});
  });
}

void FakeWebview::dropDeferral(const std::shared_ptr<FakeRequestRecord>& record) {
  if (record) record->settle(FakeRequestRecord::State::lost, nullptr);
}

void FakeWebview::holdScriptResults(bool hold) {
  std::vector<std::function<void()>> release;
  {
    std::lock_guard lock(mutex_);
    holdScripts_ = hold;
    if (!hold) release.swap(heldScripts_);
  }
  for (auto& f : release) executor_(f);
}

void FakeWebview::setScriptRunner(std::function<std::string(const std::string&)> runner) {
  std::lock_guard lock(mutex_);
  runner_ = std::move(runner);
}

std::vector<std::string> FakeWebview::navigations() const {
  std::lock_guard lock(mutex_);
  return navigations_;
}
std::vector<std::pair<std::string, std::string>> FakeWebview::documentScripts() const {
  std::lock_guard lock(mutex_);
  return scripts_;
}
std::vector<std::string> FakeWebview::executedScripts() const {
  std::lock_guard lock(mutex_);
  return executed_;
}
std::vector<std::string> FakeWebview::postedMessages() const {
  std::lock_guard lock(mutex_);
  return posted_;
}
std::vector<std::string> FakeWebview::requestFilters() const {
  std::lock_guard lock(mutex_);
  return filters_;
}
std::vector<std::shared_ptr<FakeRequestRecord>> FakeWebview::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}
size_t FakeWebview::pendingRequests() const {
  std::lock_guard lock(mutex_);
  return std::count_if(requests_.begin(), requests_.end(), [](const auto& r) {
    return r->state() == FakeRequestRecord::State::pending;
  });
}

// Setters share one shape: fail when asked to, refuse once closed, check, store.
#define FAKE_SETTER_GUARD(call)                  \
  note(#call + sizeof("FakeCall::") - 1);        \
  if (shouldFail(call)) return Result::failed;   \
  std::lock_guard lock(mutex_);                  \
  if (closed_) return Result::closed

Result FakeWebview::setBounds(Rect bounds) {
  FAKE_SETTER_GUARD(FakeCall::setBounds);
  if (bounds.width < 0 || bounds.height < 0) return Result::invalidArgument;
  bounds_ = bounds;
  return Result::ok;
}
Rect FakeWebview::bounds() const {
  std::lock_guard lock(mutex_);
  return bounds_;
}
Result FakeWebview::setDeviceScaleFactor(double scale) {
  FAKE_SETTER_GUARD(FakeCall::setDeviceScaleFactor);
  if (!(scale > 0)) return Result::invalidArgument;
  scale_ = scale;
  return Result::ok;
}
double FakeWebview::deviceScaleFactor() const {
  std::lock_guard lock(mutex_);
  return scale_;
}
Result FakeWebview::setZoomFactor(double zoom) {
  FAKE_SETTER_GUARD(FakeCall::setZoomFactor);
  if (!(zoom > 0)) return Result::invalidArgument;
  zoom_ = zoom;
  return Result::ok;
}
double FakeWebview::zoomFactor() const {
  std::lock_guard lock(mutex_);
  return zoom_;
}
Result FakeWebview::setBackgroundColor(Color color) {
  FAKE_SETTER_GUARD(FakeCall::setBackgroundColor);
  if (color.a != 0 && color.a != 255) return Result::invalidArgument;
  background_ = color;
  return Result::ok;
}
Color FakeWebview::backgroundColor() const {
  std::lock_guard lock(mutex_);
  return background_;
}
Result FakeWebview::setVisible(bool visible) {
  FAKE_SETTER_GUARD(FakeCall::setVisible);
  visible_ = visible;
  return Result::ok;
}
bool FakeWebview::visible() const {
  std::lock_guard lock(mutex_);
  return visible_;
}
Result FakeWebview::setSettings(const Settings& settings) {
  FAKE_SETTER_GUARD(FakeCall::setSettings);
  settings_ = settings;
  return Result::ok;
}
Settings FakeWebview::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}
Result FakeWebview::addRequestFilter(const std::string& host) {
  FAKE_SETTER_GUARD(FakeCall::addRequestFilter);
  if (host.empty()) return Result::invalidArgument;
  if (std::find(filters_.begin(), filters_.end(), host) == filters_.end()) filters_.push_back(host);
  return Result::ok;
}
Result FakeWebview::navigate(const std::string& url) {
  FAKE_SETTER_GUARD(FakeCall::navigate);
  if (url.empty()) return Result::invalidArgument;
  navigations_.push_back(url);
  return Result::ok;
}
Result FakeWebview::navigateToString(const std::string& html) {
  FAKE_SETTER_GUARD(FakeCall::navigateToString);
  navigations_.push_back("html:" + html);
  return Result::ok;
}
Result FakeWebview::removeScriptOnDocumentCreated(const std::string& id) {
  FAKE_SETTER_GUARD(FakeCall::removeScript);
  auto it = std::find_if(scripts_.begin(), scripts_.end(), [&](const auto& s) { return s.first == id; });
  if (it == scripts_.end()) return Result::invalidArgument;
  scripts_.erase(it);
  return Result::ok;
}
Result FakeWebview::postWebMessageAsJson(const std::string& json) {
  FAKE_SETTER_GUARD(FakeCall::postWebMessage);
  posted_.push_back("json:" + json);
  return Result::ok;
}
Result FakeWebview::postWebMessageAsString(const std::string& text) {
  FAKE_SETTER_GUARD(FakeCall::postWebMessage);
  posted_.push_back("string:" + text);
  return Result::ok;
}
#undef FAKE_SETTER_GUARD

void FakeWebview::setPrintResult(Result result) {
  std::lock_guard lock(mutex_);
  printResult_ = result;
}

std::vector<std::pair<PdfSettings, std::string>> FakeWebview::pdfPrints() const {
  std::lock_guard lock(mutex_);
  return pdfPrints_;
}

Result FakeWebview::printToPdf(const PdfSettings& settings, const std::string& path,
                               std::function<void(Result, const std::string&)> done) {
  note("printToPdf");
  if (shouldFail(FakeCall::printToPdf)) return Result::failed;
  if (path.empty()) return Result::invalidArgument;
  Result result;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return Result::closed;
    pdfPrints_.emplace_back(settings, path);
    result = printResult_;
  }
  // The document "prints" in a later turn, whole or not at all.
  std::weak_ptr<FakeWebview> weak = weak_from_this();
  executor_([weak, done, result, path, settings] {
    Result r = result;
    std::string error;
    auto self = weak.lock();
    if (!self || self->closed()) r = Result::closed;
    if (r == Result::ok) {
      const std::string part = path + ".part";
      {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << "%PDF-1.4\n% fake " << settings.paperWidth << "x" << settings.paperHeight
            << (settings.landscape ? " landscape" : "") << "\n%%EOF\n";
        out.flush();
        if (!out) r = Result::failed, error = "cannot write " + part;
      }
      if (r == Result::ok && std::rename(part.c_str(), path.c_str()) != 0) {
        r = Result::failed, error = "cannot rename to " + path;
      }
      if (r != Result::ok) std::remove(part.c_str());
    } else {
      error = resultName(r);
    }
    if (done) done(r, error);
  });
  return Result::ok;
}

std::string FakeWebview::source() const {
  std::lock_guard lock(mutex_);
  return source_;
}
std::string FakeWebview::documentTitle() const {
  std::lock_guard lock(mutex_);
  return title_;
}

void FakeWebview::setEvents(WebviewEvents events) {
  note("setEvents");
  std::lock_guard lock(mutex_);
  events_ = std::move(events);
}

Result FakeWebview::addScriptOnDocumentCreated(const std::string& script,
                                               std::function<void(Result, const std::string&)> done) {
  note("addScript");
  Result result = Result::ok;
  std::string id;
  if (shouldFail(FakeCall::addScript)) {
    result = Result::failed;
  } else {
    std::lock_guard lock(mutex_);
    if (closed_) {
      result = Result::closed;
    } else {
      id = std::to_string(nextScriptId_++);
      scripts_.emplace_back(id, script);
    }
  }
  // Completions go through the executor like every engine completion.
  if (done) executor_([done, result, id] { done(result, id); });
  return result;
}

Result FakeWebview::executeScript(const std::string& script,
                                  std::function<void(Result, const std::string&)> done) {
  note("executeScript");
  Result result = Result::ok;
  std::function<std::string(const std::string&)> runner;
  if (shouldFail(FakeCall::executeScript)) {
    result = Result::failed;
  } else {
    std::lock_guard lock(mutex_);
    if (closed_) {
      result = Result::closed;
    } else {
      executed_.push_back(script);
      runner = runner_;
    }
  }
  if (done) {
    // The script "runs" on the owner's thread, as a page would answer later.
    auto answer = [done, result, runner, script] {
      if (result != Result::ok) return done(result, "null");
      done(Result::ok, runner ? runner(script) : std::string("null"));
    };
    std::unique_lock lock(mutex_);
    if (holdScripts_ && result == Result::ok) {
      heldScripts_.push_back(answer);
    } else {
      lock.unlock();
      executor_(answer);
    }
  }
  return result;
}

void FakeWebview::endAll(FakeRequestRecord::State state, const std::string& processFailure) {
  std::vector<std::shared_ptr<FakeRequestRecord>> requests;
  std::vector<std::shared_ptr<FakeDialogRecord>> dialogs;
  WebviewEvents events;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    requests = requests_;
    dialogs = dialogs_;
    events = events_;
  }
  for (auto& r : requests) r->settle(state, nullptr);
  for (auto& d : dialogs) d->settle(FakeDialogRecord::State::lost, "");
  if (!processFailure.empty() && events.processFailed) {
    executor_([cb = events.processFailed, processFailure] { cb(processFailure); });
  }
}

Result FakeWebview::close() {
  note("close");
  if (shouldFail(FakeCall::close)) return Result::failed;
  endAll(FakeRequestRecord::State::lost, "");
  return Result::ok;
}

bool FakeWebview::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

// --- FakeEnvironment ---

class FakeEnvironment final : public Environment {
 public:
  FakeEnvironment(std::shared_ptr<FakeEngine> engine, Executor executor)
      : engine_(std::move(engine)), executor_(std::move(executor)) {}

  void createWebview(std::function<void(Result, std::shared_ptr<Webview>)> done) override {
    std::shared_ptr<FakeWebview> webview;
    Result result = Result::ok;
    if (!alive_) {
      result = Result::browserGone;
    } else if (engine_->consumeFailure(FakeCall::createWebview)) {
      result = Result::failed;
    } else {
      webview = std::make_shared<FakeWebview>(engine_, executor_);
      std::lock_guard lock(engine_->mutex_);
      engine_->webviews_.push_back(webview);
    }
    if (done) executor_([done, result, webview] { done(result, webview); });
  }

  void setBrowserExitedHandler(std::function<void(const std::string&)> handler) override {
    std::lock_guard lock(mutex_);
    exited_ = std::move(handler);
  }
  bool browserAlive() const override { return alive_; }
  std::string browserVersion() const override { return "FakeEngine/1.0"; }
  Result addLargeContentPath(const std::string& prefix) override {
    if (prefix.empty() || prefix[0] != '/') return Result::invalidArgument;
    return Result::ok;  // one road only: every body is carried the same way
  }
  void close() override { closedByOwner_ = true; alive_ = false; }

  void browserDied() {
    if (!alive_.exchange(false) || closedByOwner_) return;
    std::function<void(const std::string&)> handler;
    {
      std::lock_guard lock(mutex_);
      handler = exited_;
    }
    if (handler) executor_([handler] { handler("the browser process ended"); });
  }

 private:
  std::shared_ptr<FakeEngine> engine_;
  Executor executor_;
  std::mutex mutex_;
  std::function<void(const std::string&)> exited_;
  std::atomic<bool> alive_{true};
  std::atomic<bool> closedByOwner_{false};
};

// --- FakeEngine ---

std::shared_ptr<FakeEngine> FakeEngine::create() {
  return std::shared_ptr<FakeEngine>(new FakeEngine());
}

void FakeEngine::createEnvironment(EnvironmentOptions options, Executor executor,
                                   EnvironmentCompletion done) {
  if (!executor) {
    if (done) done(Result::invalidArgument, nullptr, "no executor");
    return;
  }
  if (consumeFailure(FakeCall::createEnvironment)) {
    if (done) executor([done] { done(Result::failed, nullptr, "the browser could not be started"); });
    return;
  }
  auto env = std::make_shared<FakeEnvironment>(shared_from_this(), executor);
  {
    std::lock_guard lock(mutex_);
    envs_.push_back(env);
    options_.push_back(std::move(options));
  }
  if (done) executor([done, env] { done(Result::ok, env, ""); });
}

void FakeEngine::failNext(FakeCall call) {
  std::lock_guard lock(mutex_);
  ++failures_[call];
}

bool FakeEngine::consumeFailure(FakeCall call) {
  std::lock_guard lock(mutex_);
  auto it = failures_.find(call);
  if (it == failures_.end() || it->second == 0) return false;
  --it->second;
  return true;
}

void FakeEngine::killBrowser() {
  std::vector<std::shared_ptr<FakeWebview>> views = webviews();
  std::vector<std::shared_ptr<FakeEnvironment>> envs;
  {
    std::lock_guard lock(mutex_);
    for (auto& w : envs_) {
      if (auto e = w.lock()) envs.push_back(e);
    }
  }
  for (auto& v : views) v->endAll(FakeRequestRecord::State::lost, "the browser process ended");
  for (auto& e : envs) e->browserDied();
}

std::vector<std::shared_ptr<FakeWebview>> FakeEngine::webviews() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<FakeWebview>> out;
  for (auto& w : webviews_) {
    if (auto v = w.lock()) out.push_back(v);
  }
  return out;
}

std::vector<EnvironmentOptions> FakeEngine::environments() const {
  std::lock_guard lock(mutex_);
  return options_;
}

}  // namespace desk::web
