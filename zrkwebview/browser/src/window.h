// The platform-independent top-level window: its label, the webviews it owns, the page listeners
// registered on it, the objects it keeps alive and its load-error page. The concrete window class
// adds the native window and the operations that act on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desk/types.h"
#include "vesk/tobject.h"

namespace zrk {

class Webview;
class Window;

// What a window and its webviews ask of the application that owns them: the virtual host the
// pages talk to, the application's other host names, its windows and the extra document scripts.
// The application object implements it; tests give their own.
class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;

  // The virtual host's scheme ("https") and host name.
  virtual std::string uriScheme() const = 0;
  virtual std::string uriDomain() const = 0;
  // The further host names whose requests the application serves, in the order of addition.
  virtual std::vector<std::string> webResourceDomains() const = 0;
  // Visits a snapshot of the application's windows, in list order, without holding a lock.
  virtual void forEachWindow(const std::function<void(const std::shared_ptr<Window>&)>& visitor) = 0;
  // Files whose content is added to every document, and one extra document script; both empty
  // unless the application configures them.
  virtual std::vector<std::string> documentScripts() const { return {}; }
  virtual std::string documentScript() const { return {}; }
};

class Window : public Vesk::TObject, public std::enable_shared_from_this<Window> {
  VESK_DECLARE_CLASS(Window, Vesk::TObject, "zrk")

 public:
  struct ListenerEntry {
    uint64_t id = 0;
    std::string event;
  };

  using WebviewVisitor = std::function<void(const std::shared_ptr<Webview>&)>;

  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  ~Window() override = default;

  // The application, set when the window is created; null until then.
  WindowDelegate* delegate() const { return delegate_; }
  void setDelegate(WindowDelegate* delegate) { delegate_ = delegate; }

  // The label; an empty label is replaced once by "window_" and a unique suffix, which every later
  // call returns.
  const std::string& label();
  void setLabel(const std::string& label);

  const std::string& url() const { return url_; }
  desk::HWND nativeHandle() const { return nativeHandle_; }

  // The window's own load-error page, or the default one when none was set.
  std::string errorPage();
  void setErrorPage(const std::string& html);

  // Appends a webview; with `unique`, one already in the list (the same object) is not added again.
  void addWebview(const std::shared_ptr<Webview>& webview, bool unique);
  // The first webview of that label, or empty; `index` receives its position when it is found.
  std::shared_ptr<Webview> findWebview(const std::string& label, int* index = nullptr);
  // Removes every webview of that label; the others keep their order.
  void removeWebview(const std::string& label);
  void removeWebview(const std::shared_ptr<Webview>& webview);
  // Calls the visitor for each webview of a copy of the list, outside the list's lock.
  void forEachWebview(const WebviewVisitor& visitor);
  std::shared_ptr<Webview> webviewAt(int index);
  unsigned int webviewCount();

  void addEventListener(uint64_t listenerId, const std::string& event);
  std::vector<ListenerEntry> eventListeners(const std::string& event);
  void removeEventListeners(uint64_t listenerId);

  // Objects the window keeps alive (the application keeps itself alive through its main window).
  void retainDelegate(const std::shared_ptr<WindowDelegate>& delegate);
  // Removes the first entry that holds that object.
  void releaseDelegate(const WindowDelegate* delegate);
  void forEachRetained(const std::function<void(const std::shared_ptr<WindowDelegate>&)>& visitor);

 protected:
  desk::HWND nativeHandle_ = nullptr;
  std::string label_;
  std::string title_;
  std::string url_;
  std::vector<std::shared_ptr<Webview>> webviews_;
  std::string parentLabel_;
  WindowDelegate* delegate_ = nullptr;
  std::string errorPage_;
  std::vector<std::shared_ptr<WindowDelegate>> retained_;
  std::mutex retainedMutex_;
  std::mutex webviewsMutex_;
  std::mutex errorPageMutex_;
  std::vector<ListenerEntry> listeners_;
  std::mutex listenersMutex_;

 private:
  std::mutex labelMutex_;
};

}  // namespace zrk
