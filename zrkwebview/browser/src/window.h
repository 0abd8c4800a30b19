// The platform-independent top-level window: its label, the webviews it owns, the page listeners
// registered on it, the objects it keeps alive, its load-error page, the scripts that keep its
// pages informed, and the interface of every window operation. The concrete window class
// (zrk::WinWindow) adds the native window and realises the operations on it; the base bodies are
// those of a window without a native window (nothing happens, neutral answers).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/types.h"
#include "vesk/tobject.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window-options.h"

namespace zrk {

class Webview;
class Window;

// Notifications of the default center (Vesk::TNotificationCenter) about windows. The object of
// each is the zrk::Window* (the base-class pointer) of the window concerned.
// Posted after the window's client area changed size (and once its main webview exists); every
// webview of the window fits itself to the client area by its resizing mask.
inline constexpr char kWindowResizedNotification[] = "onWindowResized";
// Posted by a webview with its window as object: it closed (user info "webview_id": its label,
// a Vesk::TString); a navigation completed ("label"); the document title changed ("title").
inline constexpr char kWebviewClosedNotification[] = "webview_closed";
inline constexpr char kWebviewLoadedNotification[] = "webview_loaded";
inline constexpr char kWebviewTitleChangedNotification[] = "webview_title_changed";
// A menu command for a page channel, posted without object (user info "cmd", "calls", "handler").
inline constexpr char kCommandNotification[] = "on_command";

// A page-supplied float as a 32-bit int: truncated toward zero after clamping to the int32 range
// (NaN gives 0), so an out-of-range value never becomes an undefined conversion.
int truncateToInt(float value);

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
  // The window list as windows use it. The defaults serve a delegate that only visits: find and
  // count go through forEachWindow, the rest do nothing.
  virtual std::shared_ptr<Window> findWindow(const std::string& label);
  virtual void addWindow(const std::shared_ptr<Window>& window, bool unique);
  virtual void removeWindowByLabel(const std::string& label);
  virtual uint32_t windowCount();
  // Ends the UI thread's loop after the delay; returns a timer id, 0 when nothing was started.
  virtual uint32_t quit(uint32_t delayMs);
  // Delivers one page event (payload: JSON text) to every matching listener of every window.
  virtual void emit(const std::string& event, const std::string& payload,
                    const std::string& targetLabel, const std::string& targetKind);
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
  // Destroys the icon the window still owns.
  ~Window() override;

  // The application, set when the window is created; null until then.
  WindowDelegate* delegate() const { return delegate_; }
  void setDelegate(WindowDelegate* delegate) { delegate_ = delegate; }

  // The label; an empty label is replaced once by "window_" and a unique suffix, which every later
  // call returns.
  const std::string& label();
  void setLabel(const std::string& label);

  const std::string& url() const { return url_; }
  // The options the window was created with (default options before that).
  const WindowOptions& options() const { return options_; }
  // The parent window named by the options' parent label, found through the delegate; empty when
  // there is none.
  std::shared_ptr<Window> parentWindow();

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
  // Delivers a page event to this window's listeners of `event`: in the webview of that label, or
  // in every webview when the label is empty.
  void emit(const std::string& event, const nlohmann::json& payload, const std::string& webviewLabel);

  // The icon the window was given from a page's image: the window owns it, one at a time. Adopting
  // one destroys the icon it replaces; the native window's end and the object's destroy the last.
  void adoptIcon(desk::HICON icon);
  desk::HICON ownedIcon();
  void releaseIcon() { adoptIcon(nullptr); }

  // Objects the window keeps alive (the application keeps itself alive through its main window).
  void retainDelegate(const std::shared_ptr<WindowDelegate>& delegate);
  // Removes the first entry that holds that object.
  void releaseDelegate(const WindowDelegate* delegate);
  void forEachRetained(const std::function<void(const std::shared_ptr<WindowDelegate>&)>& visitor);

  // ---- The window interface. Sizes and positions are in physical pixels.

  // Whether the caller runs on the thread that created the window.
  virtual bool isUIThread() { return true; }
  // Makes the native window; 0 on success. The base makes nothing and answers 1.
  virtual int create(WindowDelegate* delegate, const std::string& url, WindowOptions options);

  // Runs `script` in the webview of that label, or in every webview when the label is empty.
  virtual void evaluateScript(const std::string& script, const std::string& webviewLabel,
                              EvalCompletion completion, bool flag);
  virtual void evaluateScriptInAll(const std::string& script, EvalCompletion completion, bool flag);
  // Delivers one channel message ({message: payload, id: order}) to the page callback that owns
  // the channel ("__channel__:<number>" or the bare number). `payload` is JSON text.
  virtual void sendChannelMessage(const std::string& channelId, const std::string& payload,
                                  int order, const std::string& webviewLabel);
  virtual void sendChannelMessageJson(const std::string& channelId, const nlohmann::json& payload,
                                      int order, const std::string& webviewLabel);

  // 0 means the normal show.
  virtual void show(int command) { (void)command; }
  virtual void hide() {}
  virtual void bringToTop() {}
  virtual bool isAtTop() { return false; }
  virtual bool showModal() { return false; }
  virtual void setEnabled(bool enabled) { (void)enabled; }
  virtual bool isEnabled() { return false; }
  virtual bool isVisible() { return false; }
  virtual void setVisible(bool visible) { (void)visible; }
  virtual bool isClosable() { return false; }
  virtual void setClosable(bool closable) { (void)closable; }
  virtual bool isMinimizable() { return false; }
  virtual void setMinimizable(bool minimizable) { (void)minimizable; }
  virtual bool isMaximizable() { return false; }
  virtual void setMaximizable(bool maximizable) { (void)maximizable; }
  virtual bool isResizable() { return false; }
  virtual void setResizable(bool resizable) { (void)resizable; }
  virtual bool isFocused() { return false; }
  // false takes the keyboard focus away.
  virtual void setFocus(bool focus) { (void)focus; }
  virtual bool isActivated() { return false; }
  virtual void activate() {}
  virtual bool isFullscreen() { return false; }
  virtual void setFullscreen(bool fullscreen) { (void)fullscreen; }
  virtual bool isMaximized() { return false; }
  // false restores.
  virtual void setMaximized(bool maximized) { (void)maximized; }
  virtual bool isMinimized() { return false; }
  // false restores.
  virtual void setMinimized(bool minimized) { (void)minimized; }
  virtual void excludeFromTaskbar(bool exclude) { (void)exclude; }
  virtual bool isExcludedFromTaskbar() { return false; }
  // Whether a saved placement was applied to the window.
  virtual bool isRestored() { return false; }
  virtual bool hasTitleBar() { return !options_.hiddenTitle; }
  virtual void toggleMaximize() {}
  // DPI / 96 of the window's monitor.
  virtual double scaleFactor() { return 1.0; }
  virtual double deviceScaleFactor() { return 1.0; }
  virtual void setAlwaysOnTop(bool onTop) { (void)onTop; }
  virtual void setAlwaysAtBottom(bool atBottom) { (void)atBottom; }
  virtual void setContentProtected(bool contentProtected) { (void)contentProtected; }
  virtual FloatSize outerSize() { return {}; }
  virtual FloatPoint outerPosition() { return {}; }
  virtual FloatSize innerSize() { return {}; }
  virtual FloatPoint innerPosition() { return {}; }
  // The options' title-bar rectangle, else {0, 0, 0, 40}.
  virtual FloatRect titleBarRect();
  virtual void move(FloatPoint position, FloatSize size, bool animated) {
    (void)position, (void)size, (void)animated;
  }
  virtual void setSize(FloatSize size, bool animated) { (void)size, (void)animated; }
  virtual void setPosition(FloatPoint position) { (void)position; }
  virtual void center(bool toScreen) { (void)toScreen; }
  virtual void centerToParent() {}
  // A component 0 means the system's limit.
  virtual void setMaxSize(FloatSize size) { (void)size; }
  virtual void setMinSize(FloatSize size) { (void)size; }
  virtual FloatPoint clientToScreen(FloatPoint point) { return point; }
  // The point in the webview of that label, in window client coordinates; unchanged when the
  // window has no such webview.
  virtual FloatPoint webviewToWindowPoint(const std::string& webviewLabel, FloatPoint point);
  virtual FloatPoint webviewToWindowPoint(Webview* webview, FloatPoint point) {
    (void)webview;
    return point;
  }
  // The framework window that owns this one natively, or empty.
  virtual std::shared_ptr<Window> ownerWindow() { return nullptr; }
  // Runs `work` later on the window's thread. The base drops it without running it.
  virtual void runOnWindowThread(std::function<void()> work) { (void)work; }
  // Asks the window to close (its pages may keep it open).
  virtual void close() {}
  // Closes the window without asking its pages.
  virtual void destroy() {}
  // 1 dark, 0 light.
  virtual int theme() { return 0; }
  virtual void setTheme(int theme) { (void)theme; }
  // A point of the client area.
  virtual void setCursorPosition(FloatPoint point) { (void)point; }
  // 1 flash all until focused, 2 the taskbar button only, other values stop flashing.
  virtual void requestUserAttention(int type) { (void)type; }
  virtual void setProgressBar(ProgressBarState state) { (void)state; }
  virtual void setContentEdited(bool edited) { (void)edited; }
  virtual bool isContentEdited() { return false; }
  // Publishes the window's state as attributes of the page's root element in that webview.
  virtual void updatePageAttributes(const std::string& webviewLabel);
  virtual void setTitle(const std::string& title);
  // The options' title with `fromOptions`, else the title last set. A copy: the title may change
  // on another thread.
  virtual std::string title(bool fromOptions);
  virtual desk::HWND nativeHandle() { return nativeHandle_; }
  // Registers the window-list script in every webview of every window, after the window's main
  // webview exists, and lists the window in the application (once).
  virtual void initPageMetadata();
  // The native window is being destroyed: closes the webviews, takes the window out of the
  // application, tells the other windows' pages and drops the window's page listeners.
  virtual void onClosed();

 protected:
  desk::HWND nativeHandle_ = nullptr;
  std::string label_;
  std::string title_;  // guarded by titleMutex_
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
  WindowOptions options_;
  std::mutex titleMutex_;

 private:
  std::mutex labelMutex_;
  desk::HICON ownedIcon_ = nullptr;  // guarded by iconMutex_
  std::mutex iconMutex_;
};

}  // namespace zrk
