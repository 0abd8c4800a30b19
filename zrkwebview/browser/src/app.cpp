#include "zrkwebview/browser/src/app.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "desk/message.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "desk/dialog_message.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-monitor.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-watch.h"
#include "zrkwebview/browser/src/http-plugins/notification/notification-plugin.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/tstring.h"

namespace zrk {

namespace {

std::mutex& instanceMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<App>& instanceSlot() {
  static std::shared_ptr<App> app;
  return app;
}
App::Factory& factorySlot() {
  static App::Factory factory;
  return factory;
}

}  // namespace

App::App() { ZRK_LOG_INFO("%s", "App constructor called."); }

App::~App() = default;

std::shared_ptr<App> App::instance() {
  std::lock_guard<std::mutex> lock(instanceMutex());
  auto& slot = instanceSlot();
  if (!slot) {
    auto& factory = factorySlot();
    slot = factory ? factory() : std::make_shared<App>();
  }
  return slot;
}

void App::setFactory(Factory factory) {
  std::lock_guard<std::mutex> lock(instanceMutex());
  factorySlot() = std::move(factory);
}

void App::onWindowClosed(Window* window) {
  if (window != nullptr && mainWindow_ && mainWindow_.get() == window) desk::PostQuitMessage(0);
}

std::shared_ptr<Window> App::mainWindow() { return mainWindow_; }

void App::addWindow(const std::shared_ptr<Window>& window, bool unique) {
  std::unique_lock<std::shared_mutex> lock(windowsMutex_);
  if (unique && std::find(windows_.begin(), windows_.end(), window) != windows_.end()) return;
  windows_.push_back(window);
}

void App::removeWindow(const std::shared_ptr<Window>& window) {
  if (!window) return;
  std::shared_ptr<Window> removed;  // released after the lock
  std::unique_lock<std::shared_mutex> lock(windowsMutex_);
  auto it = std::find(windows_.begin(), windows_.end(), window);
  if (it == windows_.end()) return;
  removed = std::move(*it);
  windows_.erase(it);
  lock.unlock();
}

void App::removeAllWindows() {
  std::vector<std::shared_ptr<Window>> removed;
  std::unique_lock<std::shared_mutex> lock(windowsMutex_);
  removed.swap(windows_);
  lock.unlock();
}

void App::removeWindowByLabel(const std::string& label) {
  std::shared_ptr<Window> removed;
  std::unique_lock<std::shared_mutex> lock(windowsMutex_);
  auto it = std::find_if(windows_.begin(), windows_.end(),
                         [&](const auto& w) { return w && w->label() == label; });
  if (it == windows_.end()) return;
  removed = std::move(*it);
  windows_.erase(it);
  lock.unlock();
}

bool App::containsWindow(const std::shared_ptr<Window>& window) {
  std::shared_lock<std::shared_mutex> lock(windowsMutex_);
  return std::find(windows_.begin(), windows_.end(), window) != windows_.end();
}

std::shared_ptr<Window> App::findWindow(const std::string& label) {
  std::shared_lock<std::shared_mutex> lock(windowsMutex_);
  for (const auto& w : windows_) {
    if (w && w->label() == label) return w;
  }
  return nullptr;
}

std::shared_ptr<Webview> App::findWebview(const std::string& windowLabel,
                                          const std::string& webviewLabel) {
  auto window = findWindow(windowLabel);
  return window ? window->findWebview(webviewLabel) : nullptr;
}

void App::forEachWindow(const WindowVisitor& visitor) {
  if (!visitor) return;
  std::vector<std::shared_ptr<Window>> copy;
  {
    std::shared_lock<std::shared_mutex> lock(windowsMutex_);
    copy = windows_;
  }
  for (const auto& w : copy) visitor(w);
}

uint32_t App::windowCount() {
  std::shared_lock<std::shared_mutex> lock(windowsMutex_);
  return static_cast<uint32_t>(windows_.size());
}

uint32_t App::quit(uint32_t delayMs) {
  return setTimeout(std::max<uint32_t>(delayMs, 1000), [] { desk::PostQuitMessage(0); });
}

bool listenerBelongs(const std::string& kind, const std::string& label,
                     const std::string& windowLabel, const std::string& webviewLabel) {
  if (label.empty()) return true;
  if (kind.empty() || kind == "Any" || kind == "App") return true;
  if (kind == "Window") return label == windowLabel;
  if (kind == "Webview") return label == webviewLabel;
  if (kind == "AnyLabel") return label == webviewLabel || label == windowLabel;
  return false;
}

void App::emit(const std::string& event, const std::string& payload,
               const std::string& targetLabel, const std::string& targetKind) {
  deliver(event, payload, targetLabel, targetKind, nullptr);
}

void App::emitToWebview(const std::shared_ptr<Webview>& webview, const std::string& event,
                        const std::string& payload, const std::string& targetLabel,
                        const std::string& targetKind) {
  if (webview) deliver(event, payload, targetLabel, targetKind, webview.get());
}

void App::deliver(const std::string& event, const std::string& payload,
                  const std::string& targetLabel, const std::string& targetKind,
                  const Webview* only) {
  std::vector<std::shared_ptr<EventItem>> listeners;
  EventDispatcher::instance().forEachListener(
      event, targetLabel, targetKind,
      [&](const std::shared_ptr<EventItem>& item) { listeners.push_back(item); });
  if (listeners.empty()) return;
  forEachWindow([&](const std::shared_ptr<Window>& window) {
    if (!window) return;
    const std::string windowLabel = window->label();
    window->forEachWebview([&](const std::shared_ptr<Webview>& webview) {
      if (!webview || (only != nullptr && webview.get() != only)) return;
      nlohmann::json ids = nlohmann::json::array();
      for (const auto& item : listeners) {
        if (listenerBelongs(item->kind, item->label, windowLabel, webview->label()))
          ids.push_back(item->id);
      }
      if (ids.empty()) return;
      auto delegate = webview->delegate();
      if (!delegate) return;
      delegate->emit(event, payload, ids.dump());
    });
  });
}

std::vector<std::string> App::webResourceDomains() const { return zrk::webResourceDomains(); }
std::vector<std::string> App::documentScripts() const { return zrk::documentScripts(); }
std::string App::documentScript() const { return zrk::documentScript(); }

void App::clearWindows() {
  mainWindow_.reset();
  removeAllWindows();
}

std::vector<std::string> App::arguments() { return zrk::arguments(); }

WindowOptions App::mainWindowOptions(const std::optional<WindowOptions>& given) {
  WindowOptions defaults;
  defaults.hiddenTitle = true;
  defaults.titleBarRect = FloatRect{0, 0, 0, 40.0f};
  defaults.x = 100;
  defaults.y = 100;
  defaults.width = 1800;
  defaults.height = 1600;
  if (!given) return defaults;
  WindowOptions options = *given;
  if (!options.x) options.x = defaults.x;
  if (!options.y) options.y = defaults.y;
  if (!options.width) options.width = defaults.width;
  if (!options.height) options.height = defaults.height;
  return options;
}

int App::run(const std::string& url, const std::optional<WindowOptions>& given) {
  // The thread that runs the application is the UI thread from here on, so the factory and every
  // "on the UI thread" test already agree while the main window is made.
  desk::setUiThreadId(desk::GetCurrentThreadId());
  std::shared_ptr<App> app = App::instance();
  registerBuiltinPlugins();
  // Webviews come from the engine unless a maker was installed before (tests install their own).
  if (WebviewMaker installed = setWebviewMaker({})) {
    setWebviewMaker(std::move(installed));
  } else {
    installZrkWebviewMaker();
  }
  const WindowOptions options = mainWindowOptions(given);
  const std::string label = options.label.value_or("mainwindow");
  std::shared_ptr<Window> main = createWindow(app.get(), label, url, options);
  app->setMainWindow(main);
  if (!main) {
    ZRK_LOG_ERROR("Faield to create main window: %s",
                  Vesk::TString::fromSystemError(0).utf8String().c_str());
    return -1;
  }
  main->retainDelegate(app);
  dispatch_init();
  runMessageLoop();
  // Toasts still shown are hidden and the notifications' signal thread stops while the main
  // queue still serves the events it may be delivering.
  plugin::stopNotifications();
  // The loop ended on WM_QUIT: the main window goes without asking its page.
  main->destroy();
  main->releaseDelegate(app.get());
  // The directory watchers and the clipboard listener stop while the queues their events go
  // through still run.
  plugin::stopAllWatchers();
  plugin::stopClipboardMonitor();
  dispatch_shutdown();
  return 0;
}

int runMessageLoop(const DialogMessageFilter& isDialogMessage) {
  const desk::UINT addDialog = wmAddDialog();
  const desk::UINT removeDialog = wmRemoveDialog();
  std::vector<desk::HWND> dialogs;
  desk::MSG msg;
  for (;;) {
    desk::BOOL got = desk::GetMessage(&msg, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) {
      std::printf("error occurred: %lu\n", static_cast<unsigned long>(desk::GetLastError()));
      std::fflush(stdout);
      continue;
    }
    const auto lparamWindow = reinterpret_cast<desk::HWND>(msg.lParam);
    if (msg.message == addDialog && desk::IsWindow(lparamWindow)) {
      dialogs.push_back(lparamWindow);
    } else if (msg.message == removeDialog) {
      auto it = std::find(dialogs.begin(), dialogs.end(), lparamWindow);
      if (it != dialogs.end()) dialogs.erase(it);
    }
    bool taken = false;
    // A copy: a dialog's handling may announce or remove dialogs.
    const std::vector<desk::HWND> offered = dialogs;
    for (desk::HWND dialog : offered) {
      desk::BOOL took = isDialogMessage ? isDialogMessage(dialog, &msg)
                                        : desk::IsDialogMessage(dialog, &msg);
      if (took) {
        taken = true;
        break;
      }
    }
    if (!taken) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace zrk
