#include "zrkwebview/browser/src/webview2/window.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "desk/attributes.h"
#include "desk/gdi.h"
#include "desk/icons.h"
#include "desk/sysinfo.h"
#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "vesk/strings.h"
#include "vesk/tdictionary.h"
#include "vesk/tnumber.h"
#include "vesk/tstring.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview2/window-frame.h"
#include "zrkwebview/browser/src/window-animator.h"

namespace zrk {

namespace {

Vesk::TNotificationCenter* notifications() { return Vesk::TNotificationCenter::defaultCenter(); }

// The object under which a window's notifications are posted and observed.
void* notificationObject(WinWindow* window) { return static_cast<Window*>(window); }

std::string textEntry(const std::shared_ptr<Vesk::TNotification>& notification, const char* key,
                      bool* found) {
  *found = false;
  if (!notification || !notification->userInfo()) return {};
  auto text = std::dynamic_pointer_cast<Vesk::TString>(notification->userInfo()->objectForKey(key));
  if (!text) return {};
  *found = true;
  return text->utf8String();
}

std::shared_ptr<Vesk::TNumber> numberEntry(
    const std::shared_ptr<Vesk::TNotification>& notification, const char* key) {
  if (!notification || !notification->userInfo()) return nullptr;
  return std::dynamic_pointer_cast<Vesk::TNumber>(notification->userInfo()->objectForKey(key));
}

desk::LRESULT dispatchMessage(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam) {
  WinWindow* window = nullptr;
  if (message == desk::WM_CREATE) {
    if (lParam == 0) return desk::DefWindowProc(hwnd, message, wParam, lParam);
    auto* create = reinterpret_cast<desk::CREATESTRUCT*>(lParam);
    window = static_cast<WinWindow*>(create->lpCreateParams);
  } else {
    window = reinterpret_cast<WinWindow*>(desk::GetWindowLongPtr(hwnd, desk::GWLP_USERDATA));
  }
  if (window == nullptr) return desk::DefWindowProc(hwnd, message, wParam, lParam);
  return window->handleMessage(hwnd, message, wParam, lParam);
}

const char16_t* registerClass(const char16_t* name, desk::WNDPROC proc, desk::HICON large,
                              desk::HICON small) {
  desk::WNDCLASSEX wc;
  wc.style = 0;
  wc.lpfnWndProc = proc;
  wc.hInstance = nullptr;
  wc.hIcon = large;
  wc.hIconSm = small;
  wc.hCursor = nullptr;  // the layer's default arrow
  wc.hbrBackground = reinterpret_cast<desk::HBRUSH>(desk::GetStockObject(desk::WHITE_BRUSH));
  wc.lpszMenuName = u"MainMenu";
  wc.lpszClassName = name;
  if (desk::RegisterClassEx(&wc) == 0) {
    ZRK_LOG_ERROR("registering the window class failed: %s",
                  Vesk::TString::fromSystemError(0).utf8String().c_str());
  }
  return name;
}

// The executable's first large icon, extracted once per process; null when it has none.
desk::HICON windowIcon() {
  static dispatch_once_t once;
  static desk::HICON icon = nullptr;
  dispatch_once(&once, [] {
    char16_t path[261] = {};
    if (desk::GetModuleFileNameW(nullptr, path, 260) == 0) return;
    desk::HICON large = nullptr;
    if (desk::ExtractIconExW(path, 0, &large, nullptr, 1) == 1) icon = large;
  });
  return icon;
}

// A label free in the application: the wanted one when no window has it, else a generated one
// drawn again until no window has it either.
std::string chooseLabel(WindowDelegate* app, const std::string& wanted) {
  auto taken = [app](const std::string& label) {
    return app != nullptr && app->findWindow(label) != nullptr;
  };
  if (!wanted.empty() && !taken(wanted)) return wanted;
  std::string label;
  do {
    label = makeUniqueId("window_");
  } while (taken(label));
  return label;
}

}  // namespace

// ---- classes and procedures

const char16_t* registerWindowClass(int iconId) {
  static std::once_flag once;
  std::call_once(once, [iconId] {
    desk::HICON large = nullptr;
    desk::HICON small = nullptr;
    if (iconId != 0) {
      const char16_t* resource = desk::MAKEINTRESOURCEW(iconId);
      large = static_cast<desk::HICON>(
          desk::LoadImageW(nullptr, resource, desk::IMAGE_ICON, 32, 32, desk::LR_DEFAULTCOLOR));
      small = static_cast<desk::HICON>(
          desk::LoadImageW(nullptr, resource, desk::IMAGE_ICON, 16, 16, desk::LR_DEFAULTCOLOR));
    } else {
      large = small = desk::LoadIconW(nullptr, desk::IDI_APPLICATION);
    }
    registerClass(kWindowClassName, windowProc, large, small);
  });
  return kWindowClassName;
}

const char16_t* registerRoundedWindowClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    desk::HICON icon = desk::LoadIconW(nullptr, desk::IDI_APPLICATION);
    registerClass(kRoundedWindowClassName, roundedWindowProc, icon, icon);
  });
  return kRoundedWindowClassName;
}

desk::LRESULT windowProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                         desk::LPARAM lParam) {
  return dispatchMessage(hwnd, message, wParam, lParam);
}

desk::LRESULT roundedWindowProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                                desk::LPARAM lParam) {
  return dispatchMessage(hwnd, message, wParam, lParam);
}

// ---- factories

std::shared_ptr<Window> createWindow(WindowDelegate* app, const std::string& label,
                                     const std::string& url, WindowOptions options) {
  // The label is chosen, the window made and listed in one task on the UI thread, so two callers
  // wanting the same label get two labels, and a window is listed before the next task looks.
  std::shared_ptr<Window> result;
  auto task = [&] {
    auto window = std::make_shared<WinWindow>();
    window->setLabel(chooseLabel(app, label));
    if (window->create(app, url, options) != 0) return;
    app->addWindow(window, true);
    result = window;
  };
  if (isMainThread()) {
    task();
    return result;
  }
  dispatch_queue_t main = dispatch_get_main_queue();
  if (main == nullptr) {
    ZRK_LOG_ERROR("createWindow from another thread without a main dispatch queue");
    return nullptr;
  }
  dispatch_sync(main, task);
  return result;
}

std::shared_ptr<Webview> createWebviewInWindow(const std::string& windowLabel,
                                               const std::string& webviewLabel,
                                               WebviewOptions options) {
  if (!isMainThread()) {
    std::shared_ptr<Webview> result;
    dispatch_queue_t main = dispatch_get_main_queue();
    if (main == nullptr) {
      ZRK_LOG_ERROR("createWebviewInWindow from another thread without a main dispatch queue");
      return nullptr;
    }
    dispatch_sync(main, [&] { result = createWebviewInWindow(windowLabel, webviewLabel, options); });
    return result;
  }
  std::shared_ptr<Window> window = App::instance()->findWindow(windowLabel);
  if (!window) return nullptr;
  const std::string url = options.url;
  auto webview = makeWebview(webviewLabel, window.get(), options,
                             [url](Webview* created, bool succeeded) {
                               if (succeeded && created != nullptr) created->navigate(url);
                             });
  if (webview) window->addWebview(webview, false);
  return webview;
}

// ---- WinWindow

WinWindow::WinWindow() = default;

WinWindow::~WinWindow() {
  // Every observer goes, not only the closed-webview one: a window destroyed without its
  // WM_NCDESTROY (its thread ended) must not be reached by a later notification.
  removeObservers();
  ZRK_LOG_INFO("~WinWindow destructor called");
  if (animator_ != nullptr) {
    animator_->cancel();
    delete animator_;
    animator_ = nullptr;
  }
  frameAutosave_.reset();
  webviewClosedHandler_.reset();
}

bool WinWindow::isRoundedFrameless() const {
  return options_.hiddenTitle && options_.cornerRadius && *options_.cornerRadius > 0;
}

int WinWindow::create(WindowDelegate* delegate, const std::string& url, WindowOptions options) {
  if (delegate == nullptr) return -3;
  options_ = options;
  creatorThread_ = desk::GetCurrentThreadId();
  url_ = url;
  parentLabel_ = options.parent;
  delegate_ = delegate;
  darkTheme_ = systemUsesDarkTheme();

  const int x = options.x.value_or(0);
  const int y = options.y.value_or(0);
  const int width = options.width.value_or(desk::CW_USEDEFAULT);
  const int height = options.height.value_or(desk::CW_USEDEFAULT);
  setMinSize({static_cast<float>(options.minWidth.value_or(0)),
              static_cast<float>(options.minHeight.value_or(0))});
  setMaxSize({static_cast<float>(options.maxWidth.value_or(0)),
              static_cast<float>(options.maxHeight.value_or(0))});

  std::shared_ptr<Window> parent;
  if (!options.parent.empty()) parent = delegate->findWindow(options.parent);

  desk::DWORD style = desk::WS_POPUP | desk::WS_CAPTION | desk::WS_SYSMENU;
  if (options.resizable) style |= desk::WS_THICKFRAME;
  if (options.minimizable) style |= desk::WS_MINIMIZEBOX;
  if (options.maximizable) style |= desk::WS_MAXIMIZEBOX;

  const Vesk::WString title =
      toUtf16(options.title.empty() ? std::string(kDefaultWindowTitle) : options.title);
  const char16_t* className = isRoundedFrameless()
                                  ? registerRoundedWindowClass()
                                  : registerWindowClass(options.iconId.value_or(0));
  desk::HWND owner = parent ? parent->nativeHandle() : nullptr;

  desk::HWND hwnd = desk::CreateWindowEx(0, className, title.c_str(), style, x, y, width, height,
                                         owner, nullptr, nullptr, static_cast<void*>(this));
  if (!desk::IsWindow(hwnd)) {
    const desk::DWORD error = desk::GetLastError();
    ZRK_LOG_ERROR("failed to create window (%d): %s", static_cast<int>(error),
                  Vesk::TString::fromSystemError(error).utf8String().c_str());
    return -1;
  }
  if (!options.closable) {
    desk::EnableMenuItem(desk::GetSystemMenu(hwnd, 0), static_cast<desk::UINT>(desk::SC_CLOSE),
                         desk::MF_BYCOMMAND | desk::MF_GRAYED);
    desk::DrawMenuBar(hwnd);
  }
  desk::SetWindowLongPtr(hwnd, desk::GWLP_USERDATA, reinterpret_cast<desk::LONG_PTR>(this));
  desk::SetProp(hwnd, kWindowBrowserProp, reinterpret_cast<desk::HANDLE>(1));
  if (parent && parent->nativeHandle() != nullptr) {
    desk::SetProp(hwnd, kParentWindowProp, reinterpret_cast<desk::HANDLE>(parent->nativeHandle()));
  }
  if (options.hiddenTitle) {
    if (isRoundedFrameless()) {
      const auto ex = static_cast<desk::DWORD>(desk::GetWindowLongPtr(hwnd, desk::GWL_EXSTYLE));
      const desk::DWORD cleared = ex & ~(desk::WS_EX_DLGMODALFRAME | desk::WS_EX_WINDOWEDGE |
                                         desk::WS_EX_CLIENTEDGE | desk::WS_EX_STATICEDGE);
      desk::SetWindowLongPtr(hwnd, desk::GWL_EXSTYLE, static_cast<desk::LONG_PTR>(cleared));
    }
    desk::MARGINS margins;
    margins.cxLeftWidth = desk::GetSystemMetrics(desk::SM_CXEDGE);
    margins.cxRightWidth = desk::GetSystemMetrics(desk::SM_CYEDGE);
    margins.cyTopHeight = desk::GetSystemMetrics(desk::SM_CXEDGE);
    margins.cyBottomHeight = desk::GetSystemMetrics(desk::SM_CYEDGE);
    extendFrameIntoClientArea(hwnd, margins);
  }
  nativeHandle_ = hwnd;
  if (desk::HICON icon = windowIcon()) {
    desk::SendMessage(hwnd, desk::WM_SETICON, desk::ICON_SMALL, reinterpret_cast<desk::LPARAM>(icon));
    desk::SendMessage(hwnd, desk::WM_SETICON, desk::ICON_BIG, reinterpret_cast<desk::LPARAM>(icon));
  }
  if (!options.closable) {
    desk::EnableMenuItem(desk::GetSystemMenu(hwnd, 0), static_cast<desk::UINT>(desk::SC_CLOSE),
                         desk::MF_BYCOMMAND | desk::MF_DISABLED | desk::MF_GRAYED);
  }
  desk::SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                     desk::SWP_NOSIZE | desk::SWP_NOMOVE | desk::SWP_NOZORDER |
                         desk::SWP_FRAMECHANGED | desk::SWP_NOOWNERZORDER);
  desk::ShowWindow(hwnd, options.visible ? desk::SW_SHOW : desk::SW_HIDE);
  if (options.visible) attachFrameAutosave();
  desk::UpdateWindow(hwnd);
  if (options.center) {
    if (options.maximized) {
      setMaximized(true);
    } else if (!isRestored()) {
      center(false);
    }
  } else if (options.maximized) {
    setMaximized(true);
  }
  desk::SendMessage(hwnd, kCreateMainWebviewMessage, 0, 0);

  webviewClosedHandler_ = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [this](const std::shared_ptr<Vesk::TNotification>& n) { onWebviewClosed(n); });
  commandHandler_ = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [this](const std::shared_ptr<Vesk::TNotification>& n) { onCommand(n); });
  notifications()->addObserver(kWebviewClosedNotification, webviewClosedHandler_, notificationObject(this));
  notifications()->addObserver(kCommandNotification, commandHandler_, nullptr);

  delegate->emit("zrk://window-created", nlohmann::json({{"label", label()}}).dump(
                     -1, ' ', false, nlohmann::json::error_handler_t::replace),
                 "", "");

  loadedHandler_ = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [this](const std::shared_ptr<Vesk::TNotification>& n) { onWebviewLoaded(n); });
  titleHandler_ = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [this](const std::shared_ptr<Vesk::TNotification>& n) { onTitleChanged(n); });
  notifications()->addObserver(kWebviewLoadedNotification, loadedHandler_, notificationObject(this));
  notifications()->addObserver(kWebviewTitleChangedNotification, titleHandler_, notificationObject(this));
  return 0;
}

void WinWindow::createMainWebview() {
  WebviewOptions options;
  options.resizingMask = 18;
  std::weak_ptr<Window> weak = weak_from_this();
  auto webview = makeWebview(kMainWebviewLabel, this, options,
                             [this, weak](Webview* created, bool succeeded) {
                               auto self = weak.lock();
                               if (!self) return;
                               if (!succeeded) {
                                 ZRK_LOG_ERROR("Failed to create webview");
                                 return;
                               }
                               initPageMetadata();
                               postResized();
                               if (created != nullptr) created->navigate(url_);
                             });
  if (webview) addWebview(webview, true);
}

void WinWindow::onWebviewClosed(const std::shared_ptr<Vesk::TNotification>& notification) {
  bool found = false;
  const std::string label = textEntry(notification, "webview_id", &found);
  if (found) removeWebview(label);
}

void WinWindow::onCommand(const std::shared_ptr<Vesk::TNotification>& notification) {
  auto cmd = numberEntry(notification, "cmd");
  auto calls = numberEntry(notification, "calls");
  bool found = false;
  const std::string handler = textEntry(notification, "handler", &found);
  if (!cmd || !calls || !found) {
    ZRK_LOG_WARN("missing paramters! cmd, calls, handler ??");
    return;
  }
  sendChannelMessageJson(handler, {{"command", cmd->unsignedShortValue()}},
                         static_cast<int>(calls->unsignedIntValue()), "");
}

void WinWindow::onWebviewLoaded(const std::shared_ptr<Vesk::TNotification>& notification) {
  bool found = false;
  const std::string label = textEntry(notification, "label", &found);
  if (!found) return;
  if (delegate_ != nullptr) {
    delegate_->emit("zrk://webview-created",
                    nlohmann::json({{"label", label}}).dump(-1, ' ', false,
                                                            nlohmann::json::error_handler_t::replace),
                    "", "");
  }
  updatePageAttributes(label);
}

void WinWindow::onTitleChanged(const std::shared_ptr<Vesk::TNotification>& notification) {
  bool found = false;
  const std::string title = textEntry(notification, "title", &found);
  if (found && options_.useDocumentTitle) setTitle(title);
}

void WinWindow::removeObservers() {
  void* object = notificationObject(this);
  if (webviewClosedHandler_) notifications()->removeObserver(kWebviewClosedNotification, object);
  if (commandHandler_) notifications()->removeObserver(kCommandNotification, commandHandler_, nullptr);
  if (loadedHandler_) notifications()->removeObserver(kWebviewLoadedNotification, object);
  if (titleHandler_) notifications()->removeObserver(kWebviewTitleChangedNotification, object);
}

void WinWindow::postResized() { notifications()->postNotification(kWindowResizedNotification, notificationObject(this)); }

void WinWindow::attachFrameAutosave() {
  if (frameAutosave_ || options_.identifier.empty()) return;
  frameAutosave_ = std::make_shared<WindowFrameAutosave>(
      nativeHandle_, frameAutosaveKey(applicationIdentifier(), options_.identifier));
  frameAutosave_->restore();
}

desk::LRESULT WinWindow::handleMessage(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                                       desk::LPARAM lParam) {
  switch (message) {
    case desk::WM_CREATE:
      lastScaleFactor_ = dpiForWindow(hwnd) / 96.0;
      break;
    case desk::WM_DESTROY:
      frameAutosave_.reset();  // saves the placement while the window still exists
      desk::RemoveProp(hwnd, kIsModalProp);
      break;
    case desk::WM_NCDESTROY: {
      // The window object may lose its last owner in onClosed: hold it until the end.
      std::shared_ptr<Window> self = weak_from_this().lock();
      desk::SetWindowLongPtr(hwnd, desk::GWLP_USERDATA, 0);
      removeObservers();
      onClosed();
      nativeHandle_ = nullptr;
      return desk::DefWindowProc(hwnd, message, wParam, lParam);
    }
    case kCreateMainWebviewMessage:
      createMainWebview();
      break;
    default:
      if (message == wmPerformSelector()) return runPerformSelector(wParam, lParam);
      break;
  }
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

// ---- window operations

bool WinWindow::isUIThread() { return desk::GetCurrentThreadId() == creatorThread_; }

void WinWindow::show(int command) {
  if (!desk::IsWindow(nativeHandle_)) return;
  attachFrameAutosave();
  desk::ShowWindow(nativeHandle_, command == 0 ? desk::SW_SHOW : command);
}

bool WinWindow::isVisible() {
  return desk::IsWindow(nativeHandle_) && desk::IsWindowVisible(nativeHandle_);
}

bool WinWindow::isClosable() {
  if (!desk::IsWindow(nativeHandle_)) return false;
  const auto style = static_cast<desk::DWORD>(desk::GetWindowLongPtr(nativeHandle_, desk::GWL_STYLE));
  if ((style & desk::WS_SYSMENU) == 0) return false;
  desk::HMENU menu = desk::GetSystemMenu(nativeHandle_, 0);
  if (menu == nullptr) return true;
  const desk::UINT state =
      desk::GetMenuState(menu, static_cast<desk::UINT>(desk::SC_CLOSE), desk::MF_BYCOMMAND);
  return (state & desk::MF_GRAYED) == 0;
}

namespace {
bool hasStyle(desk::HWND hwnd, desk::DWORD bits) {
  if (!desk::IsWindow(hwnd)) return false;
  return (static_cast<desk::DWORD>(desk::GetWindowLongPtr(hwnd, desk::GWL_STYLE)) & bits) != 0;
}
}  // namespace

bool WinWindow::isMinimizable() { return hasStyle(nativeHandle_, desk::WS_MINIMIZEBOX); }
bool WinWindow::isMaximizable() { return hasStyle(nativeHandle_, desk::WS_MAXIMIZEBOX); }
bool WinWindow::isResizable() { return hasStyle(nativeHandle_, desk::WS_THICKFRAME); }

bool WinWindow::isMaximized() {
  return desk::IsWindow(nativeHandle_) && desk::IsZoomed(nativeHandle_);
}

bool WinWindow::isMinimized() {
  return desk::IsWindow(nativeHandle_) && desk::IsIconic(nativeHandle_);
}

void WinWindow::setMaximized(bool maximized) {
  if (!isMaximizable()) return;
  desk::ShowWindow(nativeHandle_, maximized ? desk::SW_MAXIMIZE : desk::SW_RESTORE);
}

bool WinWindow::isRestored() { return frameAutosave_ && frameAutosave_->restored(); }

bool WinWindow::hasTitleBar() { return !options_.hiddenTitle; }

double WinWindow::scaleFactor() {
  if (!desk::IsWindow(nativeHandle_)) return 1.0;
  return dpiForWindow(nativeHandle_) / 96.0;
}

double WinWindow::deviceScaleFactor() { return scaleFactor(); }

desk::HWND WinWindow::findParentHandle() {
  auto parent = static_cast<desk::HWND>(desk::GetProp(nativeHandle_, kParentWindowProp));
  if (desk::IsWindow(parent)) return parent;
  parent = desk::GetParent(nativeHandle_);
  if (desk::IsWindow(parent)) return parent;
  parent = desk::GetWindow(nativeHandle_, desk::GW_OWNER);
  if (desk::IsWindow(parent)) return parent;
  return nullptr;
}

void WinWindow::centerInWorkArea(desk::HWND reference) {
  desk::HWND hwnd = nativeHandle_;
  if (!desk::IsWindow(hwnd)) return;
  desk::RECT rect{};
  desk::GetWindowRect(hwnd, &rect);
  int w = rect.right - rect.left;
  int h = rect.bottom - rect.top;
  desk::HMONITOR monitor =
      desk::MonitorFromWindow(reference != nullptr ? reference : hwnd, desk::MONITOR_DEFAULTTONEAREST);
  desk::MONITORINFO info;
  if (monitor != nullptr && desk::GetMonitorInfo(monitor, &info)) {
    desk::HMONITOR own = desk::MonitorFromWindow(hwnd, desk::MONITOR_DEFAULTTONEAREST);
    if (reference != nullptr && reference != hwnd && own != nullptr) {
      const float ratio = static_cast<float>(dpiForMonitor(monitor)) /
                          static_cast<float>(dpiForMonitor(own));
      if (ratio != 1.0f) {
        w = static_cast<int>(static_cast<float>(w) * ratio);
        h = static_cast<int>(static_cast<float>(h) * ratio);
      }
    }
    const desk::RECT& work = info.rcWork;
    const int x = (work.right - work.left) / 2 + work.left - w / 2;
    const int y = (work.bottom - work.top) / 2 + work.top - h / 2;
    desk::SetWindowPos(hwnd, nullptr, x, y, 0, 0, desk::SWP_NOSIZE | desk::SWP_NOZORDER);
    return;
  }
  const int x = desk::GetSystemMetrics(desk::SM_CXSCREEN) / 2 - w / 2;
  const int y = desk::GetSystemMetrics(desk::SM_CYSCREEN) / 2 - h / 2;
  desk::SetWindowPos(hwnd, nullptr, x, y, w, h, desk::SWP_NOZORDER);
}

void WinWindow::center(bool toScreen) {
  if (!desk::IsWindow(nativeHandle_)) return;
  desk::HWND parent = findParentHandle();
  if (!toScreen && parent != nullptr) {
    centerToParent();
  } else {
    centerInWorkArea(parent);
  }
}

void WinWindow::centerToParent() {
  desk::HWND hwnd = nativeHandle_;
  if (!desk::IsWindow(hwnd)) return;
  desk::HWND parent = findParentHandle();
  if (parent == nullptr) {
    centerInWorkArea(nullptr);
    return;
  }
  desk::RECT own{};
  desk::RECT outer{};
  desk::GetWindowRect(hwnd, &own);
  desk::GetWindowRect(parent, &outer);
  const int w = own.right - own.left;
  const int h = own.bottom - own.top;
  int x = (outer.left + outer.right) / 2 - w / 2;
  int y = (outer.top + outer.bottom) / 2 - h / 2;
  desk::MONITORINFO info;
  desk::HMONITOR monitor = desk::MonitorFromWindow(parent, desk::MONITOR_DEFAULTTONEAREST);
  if (monitor != nullptr && desk::GetMonitorInfo(monitor, &info)) {
    const desk::RECT& work = info.rcWork;
    if (x < work.left || w > work.right - work.left) x = work.left;
    if (y < work.top || h > work.bottom - work.top) y = work.top;
  }
  desk::SetWindowPos(hwnd, nullptr, x, y, w, h, desk::SWP_NOZORDER);
}

void WinWindow::setMaxSize(FloatSize size) { maxSize_.store(size); }

void WinWindow::setMinSize(FloatSize size) { minSize_.store(size); }

void WinWindow::setTitle(const std::string& title) {
  Window::setTitle(title);
  if (desk::IsWindow(nativeHandle_)) desk::SetWindowText(nativeHandle_, toUtf16(title).c_str());
}

}  // namespace zrk
