#include "zrkwebview/browser/src/webview2/zrk-webview.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <stdlib.h>
#include <unistd.h>

#include "desk/message.h"
#include "desk/print_spooler.h"
#include "desk/web/chromium_engine.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/dialogs/script-dialogs.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/page-input/mouse-messages.h"
#include "zrkwebview/browser/src/printing/print-settings.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview2/request-dispatch.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk {

namespace web = desk::web;

namespace {

// Runs `work` on the UI thread and waits for it (inline there). False when it never ran (no main
// queue, or the queue dropped it).
bool onUiSync(const std::function<void()>& work) {
  if (isMainThread()) {
    work();
    return true;
  }
  bool ran = false;
  try {
    dispatch_sync(dispatch_get_main_queue(), [&] {
      ran = true;
      work();
    });
  } catch (...) {
    // Work that ran passes its failure on; work dropped unrun (the UI thread is shutting down)
    // reports that it did not run, as a missing main queue does.
    if (ran) throw;
  }
  return ran;
}

void onUiAsync(std::function<void()> work) {
  if (isMainThread()) {
    work();
    return;
  }
  dispatch_async(dispatch_get_main_queue(), std::move(work));
}

// The engine's executor: the UI thread's main queue. Each piece of work catches its own failures.
web::Executor mainQueueExecutor() {
  return [](std::function<void()> work) {
    dispatch_async(dispatch_get_main_queue(), [work = std::move(work)] {
      try {
        work();
      } catch (const std::exception& e) {
        ZRK_LOG_ERROR("browser engine work failed: %s", e.what());
      } catch (...) {
        ZRK_LOG_ERROR("browser engine work failed");
      }
    });
  };
}

// --- the process's environment (UI thread only)

struct EngineState {
  std::shared_ptr<web::Engine> engine;  // null: Chromium
  std::shared_ptr<web::Environment> environment;
  bool starting = false;
  uint64_t generation = 0;
  std::vector<std::function<void(std::shared_ptr<web::Environment>)>> waiting;
};

EngineState& engineState() {
  static EngineState* state = new EngineState();
  return *state;
}

// Calls `ready` with the process's environment: at once when one is alive, else when the one
// being made is ready (null when it failed). Early callers share one start; a failed or dead
// environment is not kept.
void withEnvironment(std::function<void(std::shared_ptr<web::Environment>)> ready) {
  EngineState& state = engineState();
  if (state.environment && state.environment->browserAlive()) return ready(state.environment);
  state.environment.reset();
  state.waiting.push_back(std::move(ready));
  if (state.starting) return;
  state.starting = true;
  if (!state.engine) state.engine = web::ChromiumEngine::create();
  web::EnvironmentOptions options;
  options.userDataFolder = Vesk::TString::joinPath(dataDirectory(), "WebData").utf8String();
  options.browserArguments = std::string(kBaseBrowserArguments) + " " + browserArguments();
  uint64_t generation = state.generation;
  state.engine->createEnvironment(
      options, mainQueueExecutor(),
      [generation](web::Result result, std::shared_ptr<web::Environment> environment, const std::string& error) {
        EngineState& s = engineState();
        if (generation != s.generation) return;  // the engine was replaced meanwhile
        s.starting = false;
        if (result != web::Result::ok) {
          ZRK_LOG_ERROR("the browser could not be started: %s %s", web::resultName(result), error.c_str());
          environment.reset();
        }
        s.environment = environment;
        auto waiting = std::move(s.waiting);
        s.waiting.clear();
        for (auto& f : waiting) f(environment);
      });
}

std::string hostOf(const std::string& url) {
  size_t p = url.find("://");
  if (p == std::string::npos) return {};
  size_t end = url.find_first_of(":/?#", p + 3);
  std::string host = url.substr(p + 3, end == std::string::npos ? std::string::npos : end - p - 3);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host;
}

std::string lowerCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void substituteAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size())) {
    text.replace(p, from.size(), to);
  }
}

std::string escapeHtml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

int32_t truncate32(float value) {
  if (!(value == value)) return 0;
  if (value >= 2147483520.0f) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}


const char* const kKeptMenuItems[] = {"cut", "copy", "paste", "selectAll"};

desk::LRESULT contentProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam, desk::LPARAM lParam) {
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

void registerContentClass() {
  static dispatch_once_t once;
  dispatch_once(&once, [] {
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = contentProc;
    wc.lpszClassName = kBrowserContentClass;
    if (desk::RegisterClassEx(&wc) == 0) ZRK_LOG_ERROR("registering the browser content class failed");
  });
}

}  // namespace

// The creator's completion, called once.
struct CreateOnce {
  Webview::CreateCompletion completion;
  std::atomic<bool> done{false};
  // On the UI thread: (webview, ok), or (null, false) when the webview is gone.
  void finish(const std::weak_ptr<Webview>& weak, bool ok) {
    if (done.exchange(true)) return;
    auto f = std::move(completion);
    onUiAsync([weak, f, ok] {
      auto webview = weak.lock();
      if (f) f(webview.get(), webview ? ok : false);
    });
  }
};

// --- colours and error page

web::Color colorFromAbgr(uint32_t c) {
  return web::Color{static_cast<uint8_t>(c >> 24), static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>((c >> 8) & 0xFF),
                    static_cast<uint8_t>((c >> 16) & 0xFF)};
}

web::Color colorFromRgb(uint32_t c) {
  return web::Color{255, static_cast<uint8_t>((c >> 16) & 0xFF), static_cast<uint8_t>((c >> 8) & 0xFF),
                    static_cast<uint8_t>(c & 0xFF)};
}

uint32_t argbFromColor(const web::Color& c) {
  return static_cast<uint32_t>(c.a) << 24 | static_cast<uint32_t>(c.r) << 16 | static_cast<uint32_t>(c.g) << 8 | c.b;
}

std::string makeErrorPage(const std::string& errorMessage, const std::string& failedUrl) {
  const std::string pad12(12, ' '), pad16(16, ' '), pad20(20, ' ');
  std::string page = "\n" + pad12 + "<head>\n" + pad16 + "<title></title>\n" + pad12 + "</head>\n" + pad12 +
                     "<body style=\"position:relative;\">\n" + pad16 +
                     "<div style=\"position:absolute;left:50%;top:50%;transform:translate(-50%,-50%);\">\n" + pad20 +
                     "%error_message%\n" + pad16 + "</div>\n" + pad12 + "</body>\n" + pad12;
  substituteAll(page, "%error_message%", errorMessage);
  // The URL lands in text, in attributes and inside script strings within attributes: escaped
  // for script first, then for HTML, it is inert in each.
  substituteAll(page, "%URL%", escapeHtml(escapeJsString(failedUrl)));
  return page;
}

ZrkWebviewHooks& zrkWebviewHooks() {
  static ZrkWebviewHooks* hooks = new ZrkWebviewHooks();
  return *hooks;
}

// --- process-wide

void setWebEngine(std::shared_ptr<web::Engine> engine) {
  onUiSync([&] {
    EngineState& state = engineState();
    state.engine = std::move(engine);
    state.environment.reset();
    state.starting = false;
    ++state.generation;
    auto waiting = std::move(state.waiting);
    state.waiting.clear();
    for (auto& f : waiting) f(nullptr);
  });
}

std::shared_ptr<web::Environment> currentWebEnvironment() {
  std::shared_ptr<web::Environment> env;
  onUiSync([&] { env = engineState().environment; });
  return env;
}

std::shared_ptr<Webview> createWebview(const std::string& label, Window* window, const WebviewOptions& options,
                                       Webview::CreateCompletion completion) {
  auto webview = ZrkWebview::make(label, window);
  // The window must still be there (std::bad_weak_ptr otherwise, as for any webview).
  std::shared_ptr<Window> owner = window != nullptr ? window->shared_from_this() : nullptr;
  webview->setDelegate(std::make_shared<Webview2Delegate>(owner, webview));
  webview->create(options, std::move(completion));
  return webview;
}

void installZrkWebviewMaker() { setWebviewMaker(createWebview); }

// --- the webview

std::shared_ptr<ZrkWebview> ZrkWebview::make(const std::string& label, Window* window) {
  auto webview = std::make_shared<ZrkWebview>(label, window);
  webview->dispatch_ = RequestDispatch::create(webview);
  return webview;
}

ZrkWebview::ZrkWebview(const std::string& label, Window* window) : Webview(label, window) {
  options_.resizingMask = 18;
}

ZrkWebview::~ZrkWebview() {
  // Only this webview's own observer goes; its siblings keep theirs.
  if (resizeHandler_ && observedWindow_ != nullptr) {
    Vesk::TNotificationCenter::defaultCenter()->removeObserver(kWindowResizedNotification, resizeHandler_,
                                                               observedWindow_);
  }
  if (dispatch_) dispatch_->setClosing();
  // Engine objects and the child window belong to the UI thread.
  auto view = std::move(view_);
  auto environment = std::move(environment_);
  desk::HWND content = content_;
  if (!view && !environment && content == nullptr) return;
  auto release = [view, environment, content]() mutable {
    if (view) {
      view->setEvents({});
      view->close();
    }
    if (content != nullptr && desk::IsWindow(content)) desk::DestroyWindow(content);
    view.reset();
    environment.reset();
  };
  if (isMainThread()) release();
  else dispatch_async(dispatch_get_main_queue(), release);
}

std::shared_ptr<web::Webview> ZrkWebview::engineView() const {
  std::shared_ptr<web::Webview> view;
  onUiSync([&] { view = view_; });
  return view;
}

void ZrkWebview::observeWindowResize(Window& window) {
  std::weak_ptr<Webview> weak = weak_from_this();
  auto handler = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [weak](const std::shared_ptr<Vesk::TNotification>&) {
        auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock());
        if (self) self->applyAutoResizing();
      });
  auto* center = Vesk::TNotificationCenter::defaultCenter();
  if (resizeHandler_ && observedWindow_ != nullptr) {
    center->removeObserver(kWindowResizedNotification, resizeHandler_, observedWindow_);
  }
  resizeHandler_ = handler;
  observedWindow_ = &window;
  center->addObserver(kWindowResizedNotification, handler, &window);
}

bool ZrkWebview::create(const WebviewOptions& options, CreateCompletion completion) {
  auto once = std::make_shared<CreateOnce>();
  once->completion = std::move(completion);
  std::weak_ptr<Webview> weak = weak_from_this();
  auto window = this->window();
  if (!window) {
    once->finish(weak, false);
    return false;
  }
  bool started = false;
  onUiSync([&] {
    observeWindowResize(*window);
    options_ = options;
    FloatSize inner = window->innerSize();
    FloatPoint origin = window->innerPosition();
    const float w = inner.width, h = inner.height;
    frameX_ = options.x ? static_cast<float>(*options.x) : origin.x;
    frameY_ = options.y ? static_cast<float>(*options.y) : origin.y;
    frameWidth_ = options.width ? static_cast<float>(*options.width) : w;
    frameHeight_ = options.height ? static_cast<float>(*options.height) : h;
    // The margins to the far edges of the inner area, kept as they are at creation.
    rightMargin_ = origin.x + w - frameX_ - frameWidth_;
    bottomMargin_ = origin.y + h - frameY_ - frameHeight_;
    if (options.resizingMask) setResizingMask(*options.resizingMask);
    const int mask = resizingMask();
    leftRatio_.reset(), rightRatio_.reset(), topRatio_.reset(), bottomRatio_.reset();
    if ((mask & 1) && w != 0) leftRatio_ = frameX_ / w;
    if ((mask & 4) && w != 0) rightRatio_ = (w - frameX_ - frameWidth_) / w;
    if ((mask & 32) && h != 0) topRatio_ = frameY_ / h;
    if ((mask & 8) && h != 0) bottomRatio_ = (h - frameY_ - frameHeight_) / h;
    started = true;
    withEnvironment([weak, once](std::shared_ptr<web::Environment> environment) {
      auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock());
      if (!self) return once->finish(weak, false);
      self->onEnvironmentReady(std::move(environment), once);
    });
  });
  if (!started) once->finish(weak, false);
  return started;
}

void ZrkWebview::onEnvironmentReady(std::shared_ptr<web::Environment> environment, Completion completion) {
  std::weak_ptr<Webview> weak = weak_from_this();
  if (!environment) return completion->finish(weak, false);
  environment_ = environment;
  environment->createWebview([weak, completion](web::Result result, std::shared_ptr<web::Webview> view) {
    auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock());
    if (!self) {
      if (view) view->close();
      return completion->finish(weak, false);
    }
    self->onControllerCreated(result, std::move(view), completion);
  });
}

void ZrkWebview::onControllerCreated(web::Result result, std::shared_ptr<web::Webview> view, Completion completion) {
  if (result != web::Result::ok || !view) {
    ZRK_LOG_ERROR("the webview %s could not be created: %s", label().c_str(), web::resultName(result));
    return setUpController(false, completion);
  }
  if (closing_) {
    view->close();
    return setUpController(false, completion);
  }
  view_ = view;
  // The page's own window inside the program's window.
  auto window = this->window();
  desk::HWND parent = window ? window->nativeHandle() : nullptr;
  if (parent != nullptr && desk::IsWindow(parent)) {
    registerContentClass();
    content_ = desk::CreateWindowEx(0, kBrowserContentClass, u"", desk::WS_CHILD | desk::WS_VISIBLE, 0, 0, 0, 0,
                                    parent, nullptr, nullptr, nullptr);
  }
  web::Settings settings = view->settings();
  settings.devToolsEnabled = true;
  settings.zoomControlEnabled = false;
  settings.statusBarEnabled = false;
  settings.defaultScriptDialogsEnabled = false;
  settings.builtInErrorPageEnabled = false;
  settings.browserAcceleratorKeysEnabled = false;
  settings.externalDropAllowed = false;
  if (web::Result r = view->setSettings(settings); r != web::Result::ok) {
    ZRK_LOG_ERROR("the webview %s refused its settings: %s", label().c_str(), web::resultName(r));
    return setUpController(false, completion);
  }
  setUpController(true, completion);
}

void ZrkWebview::setUpController(bool ok, Completion completion) {
  auto window = this->window();
  if (ok && view_) {
    view_->setEvents(makeEvents());
    std::vector<std::string> hosts;
    if (window && window->delegate()) {
      hosts.push_back(window->delegate()->uriDomain());
      for (auto& h : window->delegate()->webResourceDomains()) hosts.push_back(h);
    }
    for (auto& host : hosts) {
      if (web::Result r = view_->addRequestFilter(host); r != web::Result::ok) {
        ZRK_LOG_ERROR("request filter for %s refused: %s", host.c_str(), web::resultName(r));
      }
    }
    if (auto d = delegate()) d->injectScripts();
    // The page's drop zones: drags onto the content window reach them.
    std::weak_ptr<Webview> weak = weak_from_this();
    auto target = CDropTarget::create(
        content_,
        [weak](const std::string& label, const std::vector<std::string>& paths,
               const std::vector<std::string>& targets, desk::POINT point) {
          if (auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock())) {
            self->emitDropEvent(label, paths, targets, point);
          }
        },
        [weak](desk::POINT point, const std::string& selector) {
          auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock());
          return self && self->testElementAtPoint(point, selector);
        },
        label());
    std::lock_guard lock(dropMutex_);
    dropTarget_ = std::move(target);
  }
  if (view_ && window) {
    view_->setZoomFactor(1.0);
    view_->setVisible(true);
    web::Color background{255, 255, 255, 255};
    if (options_.backgroundColor) background = colorFromAbgr(*options_.backgroundColor);
    else if (window->theme() == 1) background = web::Color{0, 0, 0, 0};
    if (web::Result r = view_->setBackgroundColor(background); r != web::Result::ok) {
      ZRK_LOG_WARN("background colour refused: %s", web::resultName(r));
    }
    double scale = window->deviceScaleFactor();
    if (scale > 0) view_->setDeviceScaleFactor(scale);
    focus();
    // Every webview has its bounds from the start, not only after the window's next resize.
    applyAutoResizing();
  }
  completion->finish(weak_from_this(), ok && view_ != nullptr);
}

web::WebviewEvents ZrkWebview::makeEvents() {
  std::weak_ptr<Webview> weak = weak_from_this();
  auto self = [weak] { return std::dynamic_pointer_cast<ZrkWebview>(weak.lock()); };
  web::WebviewEvents events;
  events.resourceRequested = [self](web::ResourceRequestedEvent& event) {
    if (auto s = self(); s && s->dispatch_) s->dispatch_->onResourceRequested(event);
  };
  events.titleChanged = [self](const std::string& title) {
    auto s = self();
    if (!s) return;
    if (auto d = s->delegate()) d->onTitleChanged(title);
  };
  events.navigationStarting = [self](web::NavigationStarting& start) {
    if (auto s = self()) s->navigationStarting(start);
  };
  events.navigationCompleted = [self](const web::NavigationCompleted& done) {
    if (auto s = self()) s->navigationCompleted(done);
  };
  events.webMessageReceived = [self](const web::WebMessage& message) {
    if (auto s = self()) s->handleWebMessage(message.isString ? message.text : message.json);
  };
  events.contextMenuRequested = [](web::ContextMenuRequested& menu) {
    std::vector<web::ContextMenuItem> kept;
    for (auto& item : menu.items) {
      ZRK_LOG_DEBUG("Name: %s", item.name.c_str());
      for (const char* name : kKeptMenuItems) {
        if (item.name == name) kept.push_back(item);
      }
    }
    menu.items = std::move(kept);
    // Plain page content gets no menu at all; a selection or a field gets the editing items.
    if (menu.kind != web::ContextMenuTargetKind::selectedText && !menu.isEditable) menu.handled = true;
  };
  events.scriptDialogOpening = [self](web::ScriptDialogOpening& opening) {
    if (auto s = self()) s->scriptDialogOpening(opening);
  };
  events.processFailed = [self](const std::string& reason) {
    auto s = self();
    ZRK_LOG_ERROR("the page of webview %s ended: %s", s ? s->label().c_str() : "?", reason.c_str());
  };
  return events;
}

bool ZrkWebview::programUrl(const std::string& url) const {
  std::string lower = lowerCase(url);
  if (lower == "about:blank" || lower.rfind("about:blank#", 0) == 0) return true;
  // Pages cannot open data: documents in the top frame; only the host's own error page is one.
  if (lower.rfind("data:", 0) == 0) return true;
  if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0) return false;
  auto window = this->window();
  if (!window || !window->delegate()) return false;
  std::string host = hostOf(url);
  if (host == lowerCase(window->delegate()->uriDomain())) return true;
  for (auto& h : window->delegate()->webResourceDomains()) {
    if (host == lowerCase(h)) return true;
  }
  return false;
}

void ZrkWebview::navigationStarting(web::NavigationStarting& start) {
  if (!programUrl(start.url)) {
    if (start.cancellable) start.cancel = true;
    if (start.cancel) {
      ZRK_LOG_WARN("navigation of webview %s to a foreign address stopped: %s", label().c_str(), start.url.c_str());
      return;
    }
    ZRK_LOG_WARN("webview %s navigates to a foreign address: %s", label().c_str(), start.url.c_str());
  }
  dismissScriptDialogs();
  if (auto& clear = zrkWebviewHooks().clearDropZones) clear(*this);
  else clearDropZones();
  if (auto d = delegate()) d->onNavigationStarting(this);
}

void ZrkWebview::navigationCompleted(const web::NavigationCompleted& done) {
  if (done.success) {
    if (auto d = delegate()) d->onNavigationCompleted(this);
    return;
  }
  auto window = this->window();
  if (!window || !view_) return;  // no window, no error page of its
  ZRK_LOG_WARN("navigation of webview %s failed: %s %s", label().c_str(), done.url.c_str(), done.errorText.c_str());
  view_->navigateToString(makeErrorPage(window->errorPage(), done.url));
}

void ZrkWebview::scriptDialogOpening(web::ScriptDialogOpening& opening) {
  auto deferral = opening.getDeferral();
  if (!deferral) return;
  desk::HWND owner = browserWindowHandle();
  auto self = std::dynamic_pointer_cast<ZrkWebview>(shared_from_this());
  web::ScriptDialogOpening copy = opening;
  // The dialog opens in a later turn of the UI thread, after this handler has returned.
  dispatch_async(dispatch_get_main_queue(), [self, owner, copy, deferral]() mutable {
    try {
      if (auto& present = zrkWebviewHooks().scriptDialog) return present(self, owner, copy, std::move(deferral));
      self->presentScriptDialog(copy, std::move(deferral));
    } catch (...) {
      ZRK_LOG_ERROR("script dialog failed");
    }
  });
}

void ZrkWebview::presentScriptDialog(const web::ScriptDialogOpening& opening,
                                     std::shared_ptr<web::ScriptDialogDeferral> deferral) {
  ScriptDialogKind kind = ScriptDialogKind::Alert;
  switch (opening.kind) {
    case web::ScriptDialogKind::alert: kind = ScriptDialogKind::Alert; break;
    case web::ScriptDialogKind::confirm: kind = ScriptDialogKind::Confirm; break;
    case web::ScriptDialogKind::prompt: kind = ScriptDialogKind::Prompt; break;
    case web::ScriptDialogKind::beforeunload: kind = ScriptDialogKind::BeforeUnload; break;
  }
  std::optional<std::string> defaultText;
  if (kind == ScriptDialogKind::Prompt) defaultText = opening.defaultText;
  desk::HWND owner = content_ != nullptr && desk::IsWindow(content_) ? content_ : nullptr;
  if (owner == nullptr) {
    if (auto window = this->window()) owner = window->nativeHandle();
  }
  auto answered = std::make_shared<desk::HWND>(nullptr);
  std::weak_ptr<Webview> weak = weak_from_this();
  desk::HWND dialog = zrk::presentScriptDialog(
      owner, kind, opening.message, defaultText, [deferral, weak, answered](const ScriptDialogAnswer& answer) {
        if (answer.accept) deferral->accept(answer.text.value_or(std::string()));
        else deferral->dismiss();
        if (auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock())) {
          std::erase(self->scriptDialogs_, *answered);
        }
      });
  // The answer may have come already (a beforeunload, a dialog that could not be made).
  if (dialog != nullptr && desk::IsWindow(dialog) && !deferral->done()) {
    *answered = dialog;
    scriptDialogs_.push_back(dialog);
  }
}

void ZrkWebview::dismissScriptDialogs() {
  auto open = std::move(scriptDialogs_);
  scriptDialogs_.clear();
  // Destroying a dialog answers it as cancelled.
  for (desk::HWND dialog : open) {
    if (desk::IsWindow(dialog)) desk::DestroyWindow(dialog);
  }
}

void ZrkWebview::handleWebMessage(const std::string& message) {
  auto window = this->window();
  if (!window) return;  // the window is gone: nothing to route to
  std::optional<PageMouseMessage> mouse = readPageMouseMessage(message);
  if (!mouse) {
    if (auto d = delegate()) d->onWebMessage(message);
    return;
  }
  desk::HWND native = window->nativeHandle();
  if (mouse->message != 0 && native != nullptr && desk::IsWindow(native)) {
    desk::PostMessage(native, mouse->message, 0, mouse->lParam);
  }
}

// --- drop zones

std::shared_ptr<CDropTarget> ZrkWebview::dropTarget() const {
  std::lock_guard lock(dropMutex_);
  return dropTarget_;
}

void ZrkWebview::clearDropZones() {
  if (auto target = dropTarget()) target->clearZones();
  EventDispatcher::instance().removeListeners("zrk://dropzone", "Webview", label(), this);
}

bool ZrkWebview::testElementAtPoint(desk::POINT point, const std::string& selector) {
  auto window = this->window();
  if (!window) return false;
  double scale = window->deviceScaleFactor();
  if (!(scale > 0)) scale = 1;
  const double x = std::trunc(point.x / scale), y = std::trunc(point.y / scale);
  const std::string script = elementAtPointScript(static_cast<int>(x), static_cast<int>(y), selector);
  return evaluateScriptSync(script) == "true";
}

void ZrkWebview::emitDropEvent(const std::string& label, const std::vector<std::string>& paths,
                               const std::vector<std::string>& targets, desk::POINT point) {
  auto window = this->window();
  const double scale = window ? window->deviceScaleFactor() : 1.0;
  const std::string payload = dropEventPayload(paths, targets, point, scale);
  // Only this webview's page: every window's first webview bears the same label.
  if (auto app = App::instance()) {
    app->emitToWebview(shared_from_this(), "zrk://dropzone", payload, label, "Webview");
  }
}

// --- lifecycle and scripts

void ZrkWebview::navigate(const std::string& url) {
  auto self = shared_from_this();
  onUiAsync([self, url] {
    auto& me = static_cast<ZrkWebview&>(*self);
    if (!me.view_) return;
    if (web::Result r = me.view_->navigate(url); r != web::Result::ok) {
      ZRK_LOG_ERROR("navigate: %s", web::resultName(r));
    }
  });
}

bool ZrkWebview::addScriptOnDocumentCreated(const std::string& script, ScriptIdCallback callback) {
  bool accepted = false;
  bool ran = onUiSync([&] {
    if (!view_) {
      if (callback) callback("");
      return;
    }
    accepted = view_->addScriptOnDocumentCreated(script, [callback](web::Result r, const std::string& id) {
                 if (r == web::Result::ok && callback) callback(id);
               }) == web::Result::ok;
  });
  if (!ran && callback) callback("");
  return accepted;
}

int ZrkWebview::evaluateScript(const std::string& script, EvalCompletion completion, bool flag) {
  (void)flag;  // both completions behave alike
  // The caller's callback, called once whichever road ends the evaluation.
  struct Once {
    EvalCompletion f;
    std::atomic<bool> done{false};
    void call(const EvalCallbackContext& context) {
      if (!done.exchange(true) && f) f(context);
    }
  };
  auto once = std::make_shared<Once>();
  once->f = std::move(completion);
  int result = -1;
  bool ran = onUiSync([&] {
    if (!view_) {
      once->call({});
      result = -3;
      return;
    }
    web::Result r = view_->executeScript(script, [once](web::Result code, const std::string& json) {
      EvalCallbackContext context;
      context.succeeded = code == web::Result::ok;
      if (context.succeeded) context.result = json;
      once->call(context);
    });
    result = r == web::Result::ok ? 0 : -1;
    if (r != web::Result::ok) once->call({});
  });
  if (!ran) {
    once->call({});
    return -1;
  }
  return result;
}

std::string ZrkWebview::evaluateScriptSync(const std::string& script) {
  bool created = false;
  onUiSync([&] { created = view_ != nullptr; });
  if (!created) return {};
  // The answer lands here, never in the caller's storage: a late one finds nobody waiting.
  struct Answer {
    std::mutex mutex;
    bool done = false;
    std::string result;
  };
  auto answer = std::make_shared<Answer>();
  desk::HANDLE event = desk::CreateEvent(nullptr, true, false, nullptr);
  desk::HANDLE signal = nullptr;
  desk::DuplicateHandle(desk::GetCurrentProcess(), event, desk::GetCurrentProcess(), &signal, 0, false,
                        desk::DUPLICATE_SAME_ACCESS);
  auto self = shared_from_this();
  dispatch_async(dispatch_get_main_queue(), [self, script, answer, signal] {
    auto finish = [answer, signal](const std::string& result) {
      {
        std::lock_guard lock(answer->mutex);
        if (answer->done) return;
        answer->done = true;
        answer->result = result;
      }
      desk::SetEvent(signal);
      desk::CloseHandle(signal);
    };
    int r = self->evaluateScript(script, [finish](const EvalCallbackContext& c) { finish(c.result); }, false);
    if (r != 0) finish("");
  });
  for (;;) {
    desk::DWORD w = desk::MsgWaitForMultipleObjects(1, &event, false, 3000, desk::QS_ALLINPUT);
    if (w == desk::WAIT_OBJECT_0) break;
    if (w == desk::WAIT_OBJECT_0 + 1) {
      desk::MSG msg;
      while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
        desk::TranslateMessage(&msg);
        desk::DispatchMessage(&msg);
      }
      continue;
    }
    if (w == desk::WAIT_TIMEOUT || w == desk::WAIT_FAILED) break;
  }
  desk::CloseHandle(event);
  std::lock_guard lock(answer->mutex);
  return answer->done ? answer->result : std::string();
}

void ZrkWebview::print(const nlohmann::json& options) {
  auto self = std::dynamic_pointer_cast<ZrkWebview>(shared_from_this());
  auto run = [self, options] {
    if (auto& print = zrkWebviewHooks().print) print(*self, options);
    else self->printWithSettings(options);
  };
  if (isMainThread()) run();
  else dispatch_async(dispatch_get_main_queue(), run);
}

void ZrkWebview::runCommand(const std::string& command, const std::optional<nlohmann::json>& payload) {
  if (command != "add_dropzone" && command != "remove_dropzone") return;
  if (auto& hook = zrkWebviewHooks().dropZoneCommand) return hook(*this, command, payload);
  auto target = dropTarget();
  const nlohmann::json* p = payload ? &*payload : nullptr;
  if (command == "add_dropzone") {
    if (target) target->addZoneCommand(p);  // a webview still being made takes no zones
    return;
  }
  if (!target) {
    if (p == nullptr || (!p->is_string() && !(p->is_object() && p->contains("id") && (*p)["id"].is_string()))) {
      ZRK_LOG_WARN("remove_dropzone requires a payload with dropzone id");
    }
    return;
  }
  target->removeZoneCommand(p);
}

// --- printing

void ZrkWebview::printWithSettings(const nlohmann::json& options) {
  const PrintSettings settings = readPrintSettings(options);
  std::weak_ptr<Webview> weak = weak_from_this();
  const std::optional<uint32_t> handler = settings.handler;
  // The one outcome of this print; without a handler nobody waits for it.
  auto send = [weak, handler](const nlohmann::json& outcome) {
    if (!handler) return;
    if (auto self = weak.lock()) self->sendChannelData(*handler, outcome);
  };
  if (!view_ || closing_) return send(printFailed(1, "Failed to query ICoreWebView2_16"));
  if (auto refused = checkPrintSettings(settings)) return send(*refused);
  const web::PdfSettings pdf = pdfSettingsOf(settings);
  if (!settings.pdfFile.empty()) {
    web::Result r = view_->printToPdf(pdf, settings.pdfFile, [send](web::Result result, const std::string& error) {
      if (result != web::Result::ok) ZRK_LOG_WARN("print to PDF failed: %s %s", web::resultName(result), error.c_str());
      send(pdfOutcome(result, false));
    });
    if (r != web::Result::ok) send(printFailed(1, "Failed to call \"Print\" to pdf"));
    return;
  }
  // A printer gets the same PDF through the spooler; the job names its printer.
  std::shared_ptr<desk::PrintJobSpooler> spooler = desk::printJobSpooler();
  const std::string printer = settings.printer.empty() ? spooler->defaultPrinter() : settings.printer;
  std::optional<desk::PrinterState> state = printer.empty() ? std::nullopt : spooler->printer(printer);
  if (!state || state->state == desk::PrinterState::Kind::Stopped || !state->accepting) {
    return send(printFailed(3, "Printer is unavailable."));
  }
  const char* tmp = getenv("TMPDIR");
  std::string file = std::string(tmp && *tmp ? tmp : "/tmp") + "/pelmora-print-XXXXXX.pdf";
  int fd = mkstemps(file.data(), 4);
  if (fd < 0) return send(printFailed(1, "Failed to call \"Print\""));
  ::close(fd);
  PrintSettings job = settings;
  job.printer = printer;
  web::Result r = view_->printToPdf(pdf, file, [weak, send, spooler, job, file](web::Result result, const std::string& error) {
    if (result != web::Result::ok) {
      ZRK_LOG_WARN("printing failed: %s %s", web::resultName(result), error.c_str());
      ::unlink(file.c_str());
      return send(pdfOutcome(result, true));
    }
    PrintStart start = startPrintJob(job, file, *spooler);
    ::unlink(file.c_str());  // the spooler has its own copy
    if (start.outcome) return send(*start.outcome);
    auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock());
    if (!self) return;
    self->watchPrintJob(spooler, start.printer, start.jobId, send);
  });
  if (r != web::Result::ok) {
    ::unlink(file.c_str());
    send(printFailed(1, "Failed to call \"Print\""));
  }
}

void ZrkWebview::watchPrintJob(std::shared_ptr<desk::PrintJobSpooler> spooler, const std::string& printer, int jobId,
                               std::function<void(const nlohmann::json&)> send) {
  if (std::optional<nlohmann::json> outcome = jobOutcome(spooler->jobState(printer, jobId))) return send(*outcome);
  std::weak_ptr<Webview> weak = weak_from_this();
  // Looked at again while the page is there to hear it.
  uint32_t timer = setTimeout(250, [weak, spooler, printer, jobId, send] {
    auto self = std::dynamic_pointer_cast<ZrkWebview>(weak.lock());
    if (self && !self->closing_) self->watchPrintJob(spooler, printer, jobId, send);
  });
  if (timer == 0) {
    ZRK_LOG_WARN("print job %d on %s cannot be followed; reported as sent", jobId, printer.c_str());
    send(printSucceeded());
  }
}

void ZrkWebview::close() {
  auto self = std::dynamic_pointer_cast<ZrkWebview>(shared_from_this());
  onUiAsync([self] { self->closeOnUiThread(); });
}

void ZrkWebview::closeOnUiThread() {
  if (closed_) return;
  closed_ = true;
  auto window = this->window();
  closing_ = true;
  if (dispatch_) dispatch_->setClosing();
  Vesk::TNotificationCenter::defaultCenter()->postNotification(
      kWebviewClosedNotification, window.get(),
      Vesk::TDictionary::create({{"webview_id", std::make_shared<Vesk::TString>(label())}}));
  if (auto d = delegate()) d->onClosed();
  dismissScriptDialogs();
  if (auto target = dropTarget()) target->revoke();
  if (view_) {
    view_->setEvents({});
    view_->close();
  }
  if (content_ != nullptr && desk::IsWindow(content_)) desk::DestroyWindow(content_);
  content_ = nullptr;
}

void ZrkWebview::cancelRequests(const std::vector<std::string>& urls) {
  if (dispatch_) dispatch_->cancelRequests(urls);
}

void ZrkWebview::cancelAllRequests() {
  if (dispatch_) dispatch_->cancelAllRequests();
}

// --- geometry and appearance

void ZrkWebview::applyAutoResizing() {
  if (!isMainThread()) {
    auto self = std::dynamic_pointer_cast<ZrkWebview>(shared_from_this());
    dispatch_async(dispatch_get_main_queue(), [self] { self->applyAutoResizing(); });
    return;
  }
  auto window = this->window();
  if (!view_ || !window) return;
  FloatSize inner = window->innerSize();
  FloatPoint origin = window->innerPosition();
  const int mask = resizingMask();
  const float w = inner.width, h = inner.height;
  int32_t left = truncate32(leftRatio_ ? w * *leftRatio_ : frameX_);
  int32_t top = truncate32(topRatio_ ? h * *topRatio_ : frameY_);
  int32_t right = truncate32(rightRatio_ ? w * *rightRatio_ : rightMargin_);
  int32_t bottom = truncate32(bottomRatio_ ? h * *bottomRatio_ : bottomMargin_);
  // The far edges keep their margin to the inner area's far edges; the near ones stay put.
  int32_t width = (mask & 2) ? truncate32(origin.x + w - static_cast<float>(right) - static_cast<float>(left))
                             : truncate32(frameWidth_);
  int32_t height = (mask & 16) ? truncate32(origin.y + h - static_cast<float>(bottom) - static_cast<float>(top))
                               : truncate32(frameHeight_);
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  view_->setBounds({left, top, width, height});
  if (content_ != nullptr) desk::MoveWindow(content_, left, top, width, height, false);
  double scale = window->deviceScaleFactor();
  if (scale > 0 && scale != view_->deviceScaleFactor()) view_->setDeviceScaleFactor(scale);
}

FloatPoint ZrkWebview::position() {
  FloatPoint p;
  onUiSync([&] {
    if (!view_) return;
    web::Rect b = view_->bounds();
    p = {static_cast<float>(b.x), static_cast<float>(b.y)};
  });
  return p;
}

FloatSize ZrkWebview::size() {
  FloatSize s;
  bool hasView = false;
  onUiSync([&] {
    if (!view_) return;
    hasView = true;
    web::Rect b = view_->bounds();
    s = {static_cast<float>(b.width), static_cast<float>(b.height)};
  });
  if (hasView) return s;
  auto window = this->window();
  return window ? window->innerSize() : FloatSize{};
}

void ZrkWebview::setPosition(FloatPoint position) {
  onUiSync([&] {
    if (!view_) return;
    web::Rect b = view_->bounds();
    b.x = truncate32(position.x);
    b.y = truncate32(position.y);
    view_->setBounds(b);
    if (content_ != nullptr) desk::MoveWindow(content_, b.x, b.y, b.width, b.height, false);
  });
}

void ZrkWebview::setSize(FloatSize size) {
  onUiSync([&] {
    if (!view_) return;
    web::Rect b = view_->bounds();
    b.width = std::max(0, truncate32(size.width));
    b.height = std::max(0, truncate32(size.height));
    view_->setBounds(b);
    if (content_ != nullptr) desk::MoveWindow(content_, b.x, b.y, b.width, b.height, false);
  });
}

double ZrkWebview::setZoomFactor(double factor) {
  double previous = 1.0;
  onUiSync([&] {
    if (!view_) return;
    previous = view_->zoomFactor();
    view_->setZoomFactor(factor);
  });
  return previous;
}

void ZrkWebview::setZoomControlEnabled(bool enabled) {
  onUiSync([&] {
    if (!view_) return;
    web::Settings s = view_->settings();
    s.zoomControlEnabled = enabled;
    view_->setSettings(s);
  });
}

bool ZrkWebview::isZoomControlEnabled() {
  bool enabled = false;
  onUiSync([&] { enabled = view_ && view_->settings().zoomControlEnabled; });
  return enabled;
}

void ZrkWebview::setDevToolsEnabled(bool enabled) {
  onUiSync([&] {
    if (!view_) return;
    web::Settings s = view_->settings();
    s.devToolsEnabled = enabled;
    view_->setSettings(s);
  });
}

bool ZrkWebview::isDevToolsEnabled() {
  bool enabled = false;
  onUiSync([&] { enabled = view_ && view_->settings().devToolsEnabled; });
  return enabled;
}

void ZrkWebview::showDevTools() {
  ZRK_LOG_INFO("developer tools are not available: the browser runs without a window of its own");
}

void ZrkWebview::focus() {
  auto self = shared_from_this();
  onUiAsync([self] {
    auto& me = static_cast<ZrkWebview&>(*self);
    if (me.view_ && me.content_ != nullptr && desk::IsWindow(me.content_)) desk::SetFocus(me.content_);
  });
}

void ZrkWebview::setBackgroundColor(uint32_t rrggbb) {
  onUiSync([&] {
    if (!view_) return;
    view_->setBackgroundColor(colorFromRgb(rrggbb));
    if (content_ != nullptr && desk::IsWindow(content_)) desk::SetFocus(content_);
  });
}

uint32_t ZrkWebview::backgroundColor() {
  uint32_t color = 0xFFFFFF;
  onUiSync([&] {
    if (view_) color = argbFromColor(view_->backgroundColor());
  });
  return color;
}

desk::HWND ZrkWebview::browserWindowHandle() {
  desk::HWND handle = nullptr;
  onUiSync([&] {
    if (view_) handle = content_;
  });
  return handle;
}

desk::HWND ZrkWebview::findBrowserContentWindow() {
  desk::HWND handle = browserWindowHandle();
  if (handle != nullptr) ZRK_LOG_INFO("webview window: %p", static_cast<void*>(handle));
  return handle;
}

}  // namespace zrk
