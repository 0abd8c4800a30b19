#include "zrkwebview/browser/src/window.h"

#include <algorithm>

#include "vesk/strings.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk {

namespace {
const char kDefaultErrorPage[] =
    "<center>Erro occurred <span style=\"color:blue;cursor:pointer;\" "
    "onclick=\"window.location.href='%URL%'\">Refresh</span></center>";
}  // namespace

const std::string& Window::label() {
  std::lock_guard<std::mutex> lock(labelMutex_);
  if (label_.empty()) label_ = makeUniqueId("window_");
  return label_;
}

void Window::setLabel(const std::string& label) {
  std::lock_guard<std::mutex> lock(labelMutex_);
  label_ = label;
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

}  // namespace zrk
