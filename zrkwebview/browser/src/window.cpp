#include "zrkwebview/browser/src/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "desk/icons.h"
#include "vesk/log.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk {

namespace {
const char kDefaultErrorPage[] =
    "<center>Erro occurred <span style=\"color:blue;cursor:pointer;\" "
    "onclick=\"window.location.href='%URL%'\">Refresh</span></center>";

const char kChannelTemplate[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; "
    "if( window['_{func}'] ) { window['_{func}']({ message: JSON.parse('{payload}'), id: {calls} }); "
    "} })();";

const char kWindowListTemplate[] =
    ";(function(){ var host = typeof window==='undefined' ? globalThis : window; "
    "host.__zrk_internals__.metadata.windows.splice(0, "
    "host.__zrk_internals__.metadata.windows.length); const windows = JSON.parse('{windows}'); "
    "for(const w of windows ){ host.__zrk_internals__.metadata.windows.push(w); } "
    "host.__zrk__.event.listen('zrk://window-created', function(data){ "
    "if(data.event==='zrk://window-created' ){ const w = "
    "host.__zrk_internals__.metadata.windows.find(function(w){ return "
    "w.label===data.payload.label; }); if( !w ){ "
    "host.__zrk_internals__.metadata.windows.push({label: data.payload.label}); } } }); "
    "if( typeof document!=='undefined' ){ window._$updatePageAttribute = function(attr, value){ "
    "if( document.documentElement ){ if( value==null ){ "
    "document.documentElement.removeAttribute(attr); } else { "
    "document.documentElement.setAttribute(attr, value); } } else { "
    "document.addEventListener('DOMContentLoaded', function(){ if( value==null ){ "
    "document.documentElement.removeAttribute(attr); } else { "
    "document.documentElement.setAttribute(attr, value); } }, {once: true}); } }; "
    "window._$updatePageAttribute('platform', 'windows'); "
    "window.dispatchEvent(new Event('_$updatePageAttribute_ready')); } })();";

const char kRemovalTemplate[] =
    ";(function(){ var window = typeof window==='undefined' ? globalThis : window; let i = 0; "
    "for(const w of window.__zrk_internals__.metadata.windows ){ if( w.label=='{label}' ){ "
    "window.__zrk_internals__.metadata.windows.splice(i, 1); return; } i++; } })();";

// Compact JSON; text that is not valid UTF-8 is replaced rather than refused.
std::string compactJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

int truncateToInt(float value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<float>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (value <= static_cast<float>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int>(value);
}

Window::~Window() { releaseIcon(); }

void Window::adoptIcon(desk::HICON icon) {
  desk::HICON previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(iconMutex_);
    if (icon == ownedIcon_) return;
    previous = ownedIcon_;
    ownedIcon_ = icon;
  }
  if (previous != nullptr) desk::DestroyIcon(previous);
}

desk::HICON Window::ownedIcon() {
  std::lock_guard<std::mutex> lock(iconMutex_);
  return ownedIcon_;
}

// ---- WindowDelegate defaults

std::shared_ptr<Window> WindowDelegate::findWindow(const std::string& label) {
  std::shared_ptr<Window> found;
  if (label.empty()) return found;
  forEachWindow([&](const std::shared_ptr<Window>& window) {
    if (!found && window && window->label() == label) found = window;
  });
  return found;
}

void WindowDelegate::addWindow(const std::shared_ptr<Window>&, bool) {}

void WindowDelegate::removeWindowByLabel(const std::string&) {}

uint32_t WindowDelegate::windowCount() {
  uint32_t count = 0;
  forEachWindow([&](const std::shared_ptr<Window>&) { ++count; });
  return count;
}

uint32_t WindowDelegate::quit(uint32_t) { return 0; }

void WindowDelegate::emit(const std::string&, const std::string&, const std::string&,
                          const std::string&) {}

// ---- Window

const std::string& Window::label() {
  std::lock_guard<std::mutex> lock(labelMutex_);
  if (label_.empty()) label_ = makeUniqueId("window_");
  return label_;
}

void Window::setLabel(const std::string& label) {
  std::lock_guard<std::mutex> lock(labelMutex_);
  label_ = label;
}

std::shared_ptr<Window> Window::parentWindow() {
  if (delegate_ == nullptr || parentLabel_.empty()) return nullptr;
  return delegate_->findWindow(parentLabel_);
}

std::string Window::errorPage() {
  std::lock_guard<std::mutex> lock(errorPageMutex_);
  return errorPage_.empty() ? std::string(kDefaultErrorPage) : errorPage_;
}

void Window::setErrorPage(const std::string& html) {
  std::lock_guard<std::mutex> lock(errorPageMutex_);
  errorPage_ = html;
}

void Window::addWebview(const std::shared_ptr<Webview>& webview, bool unique) {
  if (!webview) return;
  std::lock_guard<std::mutex> lock(webviewsMutex_);
  if (unique && std::find(webviews_.begin(), webviews_.end(), webview) != webviews_.end()) return;
  webviews_.push_back(webview);
}

std::shared_ptr<Webview> Window::findWebview(const std::string& label, int* index) {
  std::lock_guard<std::mutex> lock(webviewsMutex_);
  for (size_t i = 0; i < webviews_.size(); ++i) {
    if (webviews_[i]->label() == label) {
      if (index != nullptr) *index = static_cast<int>(i);
      return webviews_[i];
    }
  }
  return nullptr;
}

void Window::removeWebview(const std::string& label) {
  std::vector<std::shared_ptr<Webview>> removed;  // released after the lock
  std::lock_guard<std::mutex> lock(webviewsMutex_);
  auto keep = std::stable_partition(webviews_.begin(), webviews_.end(),
                                    [&](const auto& w) { return w->label() != label; });
  removed.assign(keep, webviews_.end());
  webviews_.erase(keep, webviews_.end());
}

void Window::removeWebview(const std::shared_ptr<Webview>& webview) {
  if (!webview) return;
  removeWebview(webview->label());
}

void Window::forEachWebview(const WebviewVisitor& visitor) {
  if (!visitor) return;
  std::vector<std::shared_ptr<Webview>> copy;
  {
    std::lock_guard<std::mutex> lock(webviewsMutex_);
    copy = webviews_;
  }
  for (const auto& webview : copy) visitor(webview);
}

std::shared_ptr<Webview> Window::webviewAt(int index) {
  std::lock_guard<std::mutex> lock(webviewsMutex_);
  if (index < 0 || static_cast<size_t>(index) >= webviews_.size()) return nullptr;
  return webviews_[static_cast<size_t>(index)];
}

unsigned int Window::webviewCount() {
  std::lock_guard<std::mutex> lock(webviewsMutex_);
  return static_cast<unsigned int>(webviews_.size());
}

void Window::addEventListener(uint64_t listenerId, const std::string& event) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  listeners_.push_back({listenerId, event});
}

std::vector<Window::ListenerEntry> Window::eventListeners(const std::string& event) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  std::vector<ListenerEntry> found;
  for (const auto& entry : listeners_) {
    if (entry.event == event) found.push_back(entry);
  }
  return found;
}

void Window::removeEventListeners(uint64_t listenerId) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [&](const ListenerEntry& e) { return e.id == listenerId; }),
                   listeners_.end());
}

void Window::retainDelegate(const std::shared_ptr<WindowDelegate>& delegate) {
  if (!delegate) return;
  std::lock_guard<std::mutex> lock(retainedMutex_);
  retained_.push_back(delegate);
}

void Window::releaseDelegate(const WindowDelegate* delegate) {
  std::shared_ptr<WindowDelegate> released;  // dropped after the lock
  std::lock_guard<std::mutex> lock(retainedMutex_);
  auto it = std::find_if(retained_.begin(), retained_.end(),
                         [&](const auto& r) { return r.get() == delegate; });
  if (it == retained_.end()) return;
  released = std::move(*it);
  retained_.erase(it);
}

void Window::forEachRetained(
    const std::function<void(const std::shared_ptr<WindowDelegate>&)>& visitor) {
  std::lock_guard<std::mutex> lock(retainedMutex_);
  for (const auto& entry : retained_) {
    if (entry) visitor(entry);
  }
}

void Window::emit(const std::string& event, const nlohmann::json& payload,
                  const std::string& webviewLabel) {
  auto& dispatcher = EventDispatcher::instance();
  for (const auto& entry : eventListeners(event)) {
    if (!webviewLabel.empty()) {
      if (auto webview = findWebview(webviewLabel)) {
        dispatcher.dispatchToPage(webview.get(), entry.id, payload);
      }
    } else {
      forEachWebview([&](const std::shared_ptr<Webview>& webview) {
        dispatcher.dispatchToPage(webview.get(), entry.id, payload);
      });
    }
  }
}

int Window::create(WindowDelegate*, const std::string&, WindowOptions) { return 1; }

void Window::evaluateScript(const std::string& script, const std::string& webviewLabel,
                            EvalCompletion completion, bool flag) {
  if (webviewLabel.empty()) {
    forEachWebview([&](const std::shared_ptr<Webview>& webview) {
      webview->evaluateScript(script, completion, flag);
    });
    return;
  }
  if (auto webview = findWebview(webviewLabel)) {
    webview->evaluateScript(script, std::move(completion), flag);
  }
}

void Window::evaluateScriptInAll(const std::string& script, EvalCompletion completion, bool flag) {
  forEachWebview([&](const std::shared_ptr<Webview>& webview) {
    webview->evaluateScript(script, completion, flag);
  });
}

void Window::sendChannelMessage(const std::string& channelId, const std::string& payload,
                                int order, const std::string& webviewLabel) {
  // The callback number sits inside a quoted property name and the payload inside a quoted
  // string: both are escaped, so neither can end its literal.
  const std::string func = escapeJsString(replaceAllCopy(channelId, "__channel__:", ""));
  std::string script = kChannelTemplate;
  replaceAll(script, "{func}", func);
  replaceAll(script, "{payload}", escapeJsString(payload));
  replaceAll(script, "{calls}", std::to_string(order));
  evaluateScript(script, webviewLabel, nullptr, false);
}

void Window::sendChannelMessageJson(const std::string& channelId, const nlohmann::json& payload,
                                    int order, const std::string& webviewLabel) {
  sendChannelMessage(channelId, compactJson(payload), order, webviewLabel);
}

FloatRect Window::titleBarRect() {
  if (options_.titleBarRect) return *options_.titleBarRect;
  return FloatRect{0, 0, 0, 40.0f};
}

FloatPoint Window::webviewToWindowPoint(const std::string& webviewLabel, FloatPoint point) {
  auto webview = findWebview(webviewLabel);
  if (!webview) return point;
  return webviewToWindowPoint(webview.get(), point);
}

void Window::updatePageAttributes(const std::string& webviewLabel) {
  int index = 0;
  auto webview = findWebview(webviewLabel, &index);
  if (!webview) return;
  if (!hasTitleBar() && options_.titleBarRect) {
    const FloatRect& r = *options_.titleBarRect;
    char text[160];
    std::snprintf(text, sizeof text, "_$updatePageAttribute('tbrect', '[%d, %d, %d, %d]')",
                  truncateToInt(r.x), truncateToInt(r.y), truncateToInt(r.width),
                  truncateToInt(r.height));
    webview->evaluateScript(text, nullptr, false);
  }
  // Pages choose webview labels: the label is escaped so that it stays one string literal.
  std::string script = "_$updatePageAttribute('vlabel','" + escapeJsString(webview->label()) + "');";
  script += "_$updatePageAttribute('vid','" + std::to_string(index) + "');";
  if (isMaximized()) {
    script += "_$updatePageAttribute('state', 'maximized');";
  } else if (isMinimized()) {
    script += "_$updatePageAttribute('state', 'minimized');";
  }
  if (!isMaximizable()) script += "_$updatePageAttribute('maximizable', '0');";
  if (!isMinimizable()) script += "_$updatePageAttribute('minimizable', '0');";
  if (!isClosable()) script += "_$updatePageAttribute('closable', '0');";
  script += "window.dispatchEvent(new Event('zrk-page-updated'));";
  webview->evaluateScript(script, nullptr, false);
}

void Window::setTitle(const std::string& title) {
  std::lock_guard<std::mutex> lock(titleMutex_);
  title_ = title;
}

std::string Window::title(bool fromOptions) {
  if (fromOptions) return options_.title;
  std::lock_guard<std::mutex> lock(titleMutex_);
  return title_;
}

void Window::initPageMetadata() {
  if (delegate_ == nullptr) return;
  nlohmann::json windows = nlohmann::json::array();
  delegate_->forEachWindow([&](const std::shared_ptr<Window>& window) {
    nlohmann::json entry = nlohmann::json::object();
    entry["label"] = window->label();
    if (auto parent = window->parentWindow()) entry["parent"] = parent->label();
    windows.push_back(std::move(entry));
  });
  // The list goes into a single-quoted literal read by JSON.parse: escaped for the literal, with
  // labels that are not valid UTF-8 replaced rather than refused.
  std::string script = kWindowListTemplate;
  replaceAll(script, "{windows}", escapeJsString(compactJson(windows)));
  delegate_->addWindow(shared_from_this(), true);
  delegate_->forEachWindow([&](const std::shared_ptr<Window>& window) {
    window->forEachWebview([&](const std::shared_ptr<Webview>& webview) {
      webview->addScriptOnDocumentCreated(script, nullptr);
    });
  });
}

void Window::onClosed() {
  // The native window is going: nothing shows the icon any more.
  releaseIcon();
  std::vector<std::shared_ptr<Webview>> closed;
  {
    std::lock_guard<std::mutex> lock(webviewsMutex_);
    closed = webviews_;
  }
  for (const auto& webview : closed) {
    try {
      webview->close();
    } catch (const std::exception& e) {
      ZRK_LOG_ERROR("closing webview %s: %s", webview->label().c_str(), e.what());
    }
  }
  const std::string closedLabel = label();
  std::shared_ptr<Window> keep;
  if (delegate_ != nullptr) {
    keep = delegate_->findWindow(closedLabel);
    std::string removal = kRemovalTemplate;
    replaceAll(removal, "{label}", escapeJsString(closedLabel));
    delegate_->removeWindowByLabel(closedLabel);
    const nlohmann::json payload = {{"label", closedLabel}};
    delegate_->forEachWindow([&](const std::shared_ptr<Window>& window) {
      if (window.get() == this) return;
      window->evaluateScript(removal, "", nullptr, true);
      window->emit("zrk://destroyed", payload, "");
    });
  }
  auto& dispatcher = EventDispatcher::instance();
  std::vector<uint64_t> ids;
  auto collect = [&ids](const std::shared_ptr<EventItem>& item) { ids.push_back(item->id); };
  dispatcher.forEachListener("", closedLabel, "Window", collect);
  for (const auto& webview : closed) {
    dispatcher.forEachListener("", webview->label(), "Webview", collect);
  }
  for (uint64_t id : ids) dispatcher.unlisten(id);
  if (delegate_ != nullptr && delegate_->windowCount() == 0) delegate_->quit(0);
}

}  // namespace zrk
