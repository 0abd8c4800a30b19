// The application object: the owner of the UI thread's message loop, the list of top-level windows
// and the main window. Every window is created with it as its delegate; windows and plugins reach
// each other through it (find a window or a webview by label, visit all windows, deliver a page
// event to every matching listener, quit).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "desk/types.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk {

class Webview;

// The host name under which the pages' requests reach the program.
inline constexpr char kAppDomain[] = "pelma";

class App : public WindowDelegate, public std::enable_shared_from_this<App> {
 public:
  using Factory = std::function<std::shared_ptr<App>()>;
  using WindowVisitor = std::function<void(const std::shared_ptr<Window>&)>;

  App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;
  ~App() override;

  // The process's application, made on first use (by the factory when one is set).
  static std::shared_ptr<App> instance();
  // Replaces the maker of the application; only an instance not made yet is affected.
  static void setFactory(Factory factory);

  // The whole life of the UI thread, on the calling thread (recorded as the UI thread): the
  // built-in handlers and plugins, the main window (label "mainwindow" unless the options name
  // one), the dispatch queues, the message loop until WM_QUIT, then the main window's forced
  // close and the shutdown of the queues. 0, or -1 when the main window could not be made (then
  // no queue starts and no loop runs). Works on the process's application whatever it is called
  // on.
  int run(const std::string& url, const std::optional<WindowOptions>& options);
  // The main window's options when `run` is given none; given options replace them whole, then
  // take back x, y, width and height where they leave them unset.
  static WindowOptions mainWindowOptions(const std::optional<WindowOptions>& given);

  // Ends the loop (exit code 0) when `window` is the main window; otherwise nothing.
  virtual void onWindowClosed(Window* window);

  // A copy of the main window pointer; empty when there is none.
  virtual std::shared_ptr<Window> mainWindow();

  // --- The window list; safe from any thread. No window code runs under the list's lock but the
  // label comparisons.
  // Appends the window; with `unique`, a window already in the list is not added again.
  virtual void addWindow(const std::shared_ptr<Window>& window, bool unique);
  // Erases the first element holding that window; a null pointer does nothing.
  virtual void removeWindow(const std::shared_ptr<Window>& window);
  virtual void removeAllWindows();
  // Erases the first window of that label.
  virtual void removeWindowByLabel(const std::string& label);
  virtual bool containsWindow(const std::shared_ptr<Window>& window);
  // The first window of that label, or empty.
  virtual std::shared_ptr<Window> findWindow(const std::string& label);
  virtual std::shared_ptr<Webview> findWebview(const std::string& windowLabel,
                                               const std::string& webviewLabel);
  // Calls `visitor` for each window of a copy of the list, outside the lock; the copy keeps the
  // windows alive, so the visitor may add or remove windows.
  void forEachWindow(const WindowVisitor& visitor) override;
  virtual uint32_t windowCount();

  // Ends the UI thread's loop after max(delay, 1000) ms; returns the timer id (0 on failure).
  // From another thread the timer is started on the UI thread.
  virtual uint32_t quit(uint32_t delayMs);

  // Delivers one page event to every listener of the page-event dispatcher that matches, in each
  // webview of each window the listener belongs to. `payload` is JSON text, passed on unchanged.
  virtual void emit(const std::string& event, const std::string& payload,
                    const std::string& targetLabel, const std::string& targetKind);
  // The same selection, delivered in `webview` alone: for an event that a webview raises for its
  // own page (a drop on one of its zones). Labels only tell webviews apart within one window, so
  // a label-targeted `emit` would also reach the webviews of that label in other windows.
  virtual void emitToWebview(const std::shared_ptr<Webview>& webview, const std::string& event,
                             const std::string& payload, const std::string& targetLabel,
                             const std::string& targetKind);

  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return kAppDomain; }
  std::vector<std::string> webResourceDomains() const override;
  std::vector<std::string> documentScripts() const override;
  std::string documentScript() const override;

  // Drops the main window, then every window of the list.
  virtual void clearWindows();
  // An override of the data folder; empty (none) here.
  virtual std::string dataPath() { return {}; }
  // The root folder of "/asset" requests; empty here.
  virtual std::string assetPath() { return {}; }
  // The command line, the program first.
  virtual std::vector<std::string> arguments();

 protected:
  // Written only on the UI thread (by the window start-up and clearWindows).
  void setMainWindow(std::shared_ptr<Window> window) { mainWindow_ = std::move(window); }

 private:
  // Delivery for `emit` and `emitToWebview`; `only`, when set, is the one webview served.
  void deliver(const std::string& event, const std::string& payload,
               const std::string& targetLabel, const std::string& targetKind, const Webview* only);

  std::shared_ptr<Window> mainWindow_;
  std::vector<std::shared_ptr<Window>> windows_;
  std::shared_mutex windowsMutex_;
};

// Whether a listener of the page-event dispatcher belongs to a webview of a window.
bool listenerBelongs(const std::string& kind, const std::string& label,
                     const std::string& windowLabel, const std::string& webviewLabel);

// The UI thread's message loop: runs until WM_QUIT and returns its exit code. It keeps the list of
// modeless dialogs announced with "uWM_ADD_DIALOG" / "uWM_REMOVE_DIALOG" and offers every message
// to each of them in order (through `isDialogMessage`, the layer's IsDialogMessage when empty)
// before translating and dispatching it.
using DialogMessageFilter = std::function<desk::BOOL(desk::HWND dialog, desk::MSG* msg)>;
int runMessageLoop(const DialogMessageFilter& isDialogMessage = {});

}  // namespace zrk
