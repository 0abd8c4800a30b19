#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/http-plugins/menu/win-menu.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "desk/attributes.h"
#include "desk/gdi.h"
#include "desk/icons.h"
#include "desk/message.h"
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
  plugin::initMenuSupport();
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
  // A native window that outlives its object must not reach it any more.
  if (isUIThread() && desk::IsWindow(nativeHandle_)) {
    desk::SetWindowLongPtr(nativeHandle_, desk::GWLP_USERDATA, 0);
  }
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
  if (message == desk::WM_COMMAND || message == wmBroadcastCommand()) {
    const desk::UINT command = desk::LOWORD(wParam);
    if (command != 0) {
      auto userInfo = std::make_shared<Vesk::TDictionary>();
      userInfo->set("command", std::make_shared<Vesk::TNumber>(static_cast<unsigned short>(command)));
      if (auto self = weak_from_this().lock()) userInfo->set("window", self);
      notifications()->postNotification("wm_command", nullptr, userInfo);
    }
    return desk::DefWindowProc(hwnd, message, wParam, lParam);
  }
  if (message == wmBroadcastChannel()) {
    if (wParam != 0 && lParam != 0) {
      const auto* channel = reinterpret_cast<const Vesk::TString*>(wParam);
      const auto* payload = reinterpret_cast<const Vesk::TString*>(lParam);
      sendChannelMessage(channel->utf8String(), payload->utf8String(), -1, "");
    }
    return 0;
  }
  if (message == wmAlertAlternate()) {
    std::string event = "zrk://alert-alternate-clicked";
    if (lParam != 0) {
      const std::string text = reinterpret_cast<const char*>(lParam);
      ZRK_LOG_INFO("Alternate button of AlertDialog clicked: %s", text.c_str());
      if (text.rfind("zrk://", 0) != 0) {
        ZRK_LOG_INFO("custom command: %s", text.c_str());
        return 0;
      }
      event = text;
    }
    if (!eventListeners(event).empty()) emit(event, nullptr, "");
    return 0;
  }

  switch (message) {
    case desk::WM_CREATE:
      lastScaleFactor_ = dpiForWindow(hwnd) / 96.0;
      break;
    case desk::WM_DESTROY:
      frameAutosave_.reset();  // saves the placement while the window still exists
      // A modal window gives its owner back however it is destroyed.
      if (desk::GetProp(hwnd, kIsModalProp) != nullptr) releaseModalOwner(hwnd);
      desk::RemoveProp(hwnd, kIsModalProp);
      break;
    case desk::WM_MOVE:
      pendingPosition_ = FloatPoint{static_cast<float>(desk::GET_X_LPARAM(lParam)),
                                    static_cast<float>(desk::GET_Y_LPARAM(lParam))};
      break;
    case desk::WM_SIZE:
      return handleSize(hwnd, wParam, lParam);
    case desk::WM_SETFOCUS:
      if (auto first = webviewAt(0)) first->focus();
      break;
    case desk::WM_CLOSE:
      return handleClose(hwnd, wParam, lParam);
    case desk::WM_ERASEBKGND:
      return handleEraseBackground(hwnd, wParam, lParam);
    case desk::WM_SETTINGCHANGE:
      handleSettingChange(lParam);
      break;
    case desk::WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<desk::MINMAXINFO*>(lParam);
      if (info == nullptr) break;
      const FloatSize minimum = minSize_.load();
      const FloatSize maximum = maxSize_.load();
      info->ptMinTrackSize.x = minimum.width != 0 ? truncateToInt(minimum.width)
                                                  : desk::GetSystemMetrics(desk::SM_CXMINTRACK);
      info->ptMinTrackSize.y = minimum.height != 0 ? truncateToInt(minimum.height)
                                                   : desk::GetSystemMetrics(desk::SM_CYMINTRACK);
      info->ptMaxTrackSize.x = maximum.width != 0 ? truncateToInt(maximum.width)
                                                  : desk::GetSystemMetrics(desk::SM_CXMAXTRACK);
      info->ptMaxTrackSize.y = maximum.height != 0 ? truncateToInt(maximum.height)
                                                   : desk::GetSystemMetrics(desk::SM_CYMAXTRACK);
      break;
    }
    case desk::WM_NCDESTROY: {
      // The window object may lose its last owner in onClosed: hold it until the end.
      std::shared_ptr<Window> self = weak_from_this().lock();
      desk::SetWindowLongPtr(hwnd, desk::GWLP_USERDATA, 0);
      removeObservers();
      onClosed();
      nativeHandle_ = nullptr;
      return desk::DefWindowProc(hwnd, message, wParam, lParam);
    }
    case desk::WM_NCCALCSIZE:
      return handleNcCalcSize(hwnd, wParam, lParam);
    case desk::WM_NCHITTEST:
      return handleNcHitTest(hwnd, wParam, lParam);
    case desk::WM_NCACTIVATE:
      emit(wParam != 0 ? "zrk://focus" : "zrk://blur", nullptr, "");
      evaluateScriptInAll(std::string("_$updatePageAttribute('inactive',") +
                              (wParam != 0 ? "null" : "''") + ");",
                          nullptr, false);
      break;
    case desk::WM_NCLBUTTONDOWN:
    case desk::WM_NCRBUTTONDOWN:
    case desk::WM_NCLBUTTONUP:
    case desk::WM_NCRBUTTONUP:
      handleNcMouse(hwnd, message, wParam, lParam);
      break;
    case desk::WM_TIMER:
      if (wParam == 1) {
        desk::KillTimer(hwnd, 1);
        if (dragArmed_) desk::SetCapture(hwnd);
      } else if (wParam == 3) {
        desk::KillTimer(hwnd, 3);
        forEachWebview([](const std::shared_ptr<Webview>& webview) { webview->cancelAllRequests(); });
        destroy();
        return 0;
      }
      break;
    case desk::WM_MOUSEMOVE:
      if (!hasTitleBar() && (wParam & desk::MK_LBUTTON) != 0) {
        // Only this window's own drag moves it: armed in the title bar and captured since.
        if (dragArmed_ && desk::GetCapture() == hwnd) {
          desk::POINT cursor{};
          desk::GetCursorPos(&cursor);
          desk::SetWindowPos(hwnd, nullptr, dragOrigin_.x + cursor.x - dragCursor_.x,
                             dragOrigin_.y + cursor.y - dragCursor_.y, 0, 0,
                             desk::SWP_NOSIZE | desk::SWP_NOZORDER);
        }
        return 0;
      }
      break;
    case desk::WM_LBUTTONDOWN:
      if (!hasTitleBar()) {
        const desk::RECT title = titleBarHitRect();
        const desk::POINT pt{desk::GET_X_LPARAM(lParam), desk::GET_Y_LPARAM(lParam)};
        if (pt.x >= title.left && pt.x < title.right && pt.y >= title.top && pt.y < title.bottom) {
          desk::GetCursorPos(&dragCursor_);
          desk::RECT r{};
          desk::GetWindowRect(hwnd, &r);
          dragOrigin_ = {r.left, r.top};
          dragArmed_ = true;
          desk::SetTimer(hwnd, 1, 100, nullptr);
        }
      }
      break;
    case desk::WM_LBUTTONUP:
      if (!hasTitleBar()) {
        dragArmed_ = false;
        desk::KillTimer(hwnd, 1);
        if (desk::GetCapture() == hwnd) desk::ReleaseCapture();
      }
      break;
    case desk::WM_RBUTTONUP:
      if (!hasTitleBar()) showSystemMenu(hwnd, lParam);
      break;
    case desk::WM_PARENTNOTIFY:
      if (desk::LOWORD(wParam) == desk::WM_CREATE && lParam != 0) {
        desk::BringWindowToTop(reinterpret_cast<desk::HWND>(lParam));
      }
      break;
    case desk::WM_EXITSIZEMOVE:
      if (pendingSize_) {
        emit("zrk://resize", {{"width", pendingSize_->width}, {"height", pendingSize_->height}}, "");
        pendingSize_.reset();
      } else if (pendingPosition_) {
        emit("zrk://move", {{"x", pendingPosition_->x}, {"y", pendingPosition_->y}}, "");
        pendingPosition_.reset();
      }
      break;
    case desk::WM_DPICHANGED:
      return handleDpiChanged(hwnd, wParam, lParam);
    case kCreateMainWebviewMessage:
      createMainWebview();
      break;
    case kRunOnWindowThreadMessage: {
      std::unique_ptr<std::function<void()>> work(reinterpret_cast<std::function<void()>*>(wParam));
      if (!work || !*work) {
        ZRK_LOG_ERROR("window work without a function: ignored");
        break;
      }
      try {
        (*work)();
      } catch (const std::exception& e) {
        ZRK_LOG_ERROR("window work failed: %s", e.what());
      } catch (...) {
        ZRK_LOG_ERROR("window work failed");
      }
      break;
    }
    default:
      if (message == wmPerformSelector()) return runPerformSelector(wParam, lParam);
      break;
  }
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

desk::RECT WinWindow::frameInsets() {
  if (hasTitleBar()) return {0, 0, 0, 0};
  return {3, 2, 3, 3};
}

desk::RECT WinWindow::titleBarHitRect() {
  if (hasTitleBar()) return {0, 0, 0, 0};
  FloatRect r = titleBarRect();
  desk::RECT window{};
  desk::GetWindowRect(nativeHandle_, &window);
  if (r.width == 0) r.width = static_cast<float>(window.right - window.left);
  if (r.height == 0) r.height = static_cast<float>(window.bottom - window.top);
  return {truncateToInt(r.x), truncateToInt(r.y), truncateToInt(r.x + r.width),
          truncateToInt(r.y + r.height)};
}

void WinWindow::releaseModalOwner(desk::HWND hwnd) {
  auto owner = reinterpret_cast<desk::HWND>(desk::GetWindowLongPtr(hwnd, desk::GWLP_HWNDPARENT));
  if (!desk::IsWindow(owner)) owner = static_cast<desk::HWND>(desk::GetProp(hwnd, kParentWindowProp));
  if (!desk::IsWindow(owner)) return;
  desk::EnableWindow(owner, 1);
  desk::SetActiveWindow(owner);
}

desk::LRESULT WinWindow::handleClose(desk::HWND hwnd, desk::WPARAM wParam, desk::LPARAM lParam) {
  if (forcedClose_.load()) {
    if (desk::GetProp(hwnd, kIsModalProp) != nullptr) releaseModalOwner(hwnd);
    return desk::DefWindowProc(hwnd, desk::WM_CLOSE, wParam, lParam);
  }
  if (!eventListeners("zrk://will-close").empty()) {
    emit("zrk://will-close", nullptr, "");
    return 0;
  }
  if (closing_.load()) return desk::DefWindowProc(hwnd, desk::WM_CLOSE, wParam, lParam);
  closing_.store(true);
  desk::SetTimer(hwnd, 3, 100, nullptr);
  return 0;
}

desk::LRESULT WinWindow::handleSize(desk::HWND hwnd, desk::WPARAM wParam, desk::LPARAM lParam) {
  int w = static_cast<int>(desk::LOWORD(static_cast<uintptr_t>(lParam)));
  int h = static_cast<int>(desk::HIWORD(static_cast<uintptr_t>(lParam)));
  if (isRoundedFrameless()) {
    const int cx = desk::GetSystemMetrics(desk::SM_CXEDGE);
    const int cy = desk::GetSystemMetrics(desk::SM_CYEDGE);
    w -= 2 * cx;
    h -= 2 * cy;
    const int r = options_.cornerRadius.value_or(0);
    desk::SetWindowRgn(hwnd, desk::CreateRoundRectRgn(cx, cy, w, h, r, r), 1);
  }
  pendingSize_ = FloatSize{static_cast<float>(w), static_cast<float>(h)};
  postResized();
  const int type = static_cast<int>(wParam);
  if (type >= 0 && type <= 2) desk::PostMessage(hwnd, desk::WM_EXITSIZEMOVE, 0, 0);
  std::string script;
  if (type == 1) {
    script = "_$updatePageAttribute('state', 'minimized')";
  } else if (type == 2) {
    script = "_$updatePageAttribute('state', 'maximized')";
  } else if (type == 0 && lastSizeType_ != 0) {
    script = "_$updatePageAttribute('state', null)";
  }
  lastSizeType_ = type;
  if (!script.empty()) evaluateScriptInAll(script, nullptr, false);
  return desk::DefWindowProc(hwnd, desk::WM_SIZE, wParam, lParam);
}

desk::LRESULT WinWindow::handleNcCalcSize(desk::HWND hwnd, desk::WPARAM wParam,
                                          desk::LPARAM lParam) {
  auto* rect = reinterpret_cast<desk::RECT*>(lParam);  // rgrc[0] comes first either way
  if (fullscreen_.load()) {
    desk::HMONITOR monitor = desk::MonitorFromWindow(hwnd, desk::MONITOR_DEFAULTTONULL);
    desk::MONITORINFO info;
    if (monitor == nullptr || !desk::GetMonitorInfo(monitor, &info)) return 0;
    const desk::RECT insets = frameInsets();
    if (rect != nullptr) {
      *rect = info.rcMonitor;
      rect->left -= insets.left;
      rect->top -= insets.top;
    }
    return 0;
  }
  if (hasTitleBar() || wParam == 0) return desk::DefWindowProc(hwnd, desk::WM_NCCALCSIZE, wParam, lParam);
  if (!isRoundedFrameless()) return 0;
  if (rect != nullptr) {
    const int cx = desk::GetSystemMetrics(desk::SM_CXEDGE);
    const int cy = desk::GetSystemMetrics(desk::SM_CYEDGE);
    rect->left -= cx;
    rect->right += cx;
    rect->top -= cy;
    rect->bottom += cy;
  }
  return 0;
}

desk::LRESULT WinWindow::handleNcHitTest(desk::HWND hwnd, desk::WPARAM wParam, desk::LPARAM lParam) {
  if (hasTitleBar()) return desk::DefWindowProc(hwnd, desk::WM_NCHITTEST, wParam, lParam);
  const desk::RECT insets = frameInsets();
  const int top = std::max<int>(insets.top, 8);
  const int right = std::max<int>(insets.right, 8);
  const int bottom = std::max<int>(insets.bottom, 8);
  const int left = std::max<int>(insets.left, 8);
  desk::RECT r{};
  desk::GetWindowRect(hwnd, &r);
  const int x = desk::GET_X_LPARAM(lParam);
  const int y = desk::GET_Y_LPARAM(lParam);
  const bool inLeft = r.left <= x && x < r.left + left;
  const bool inRight = r.right - right <= x && x < r.right;
  const bool inTop = r.top <= y && y < r.top + top;
  const bool inBottom = r.bottom - bottom <= y && y < r.bottom;
  if (inLeft && inTop) return desk::HTTOPLEFT;
  if (inRight && inTop) return desk::HTTOPRIGHT;
  if (inLeft && inBottom) return desk::HTBOTTOMLEFT;
  if (inRight && inBottom) return desk::HTBOTTOMRIGHT;
  if (inTop) return desk::HTTOP;
  if (inBottom) return desk::HTBOTTOM;
  if (inLeft) return desk::HTLEFT;
  if (inRight) return desk::HTRIGHT;
  return desk::DefWindowProc(hwnd, desk::WM_NCHITTEST, wParam, lParam);
}

desk::LRESULT WinWindow::handleEraseBackground(desk::HWND hwnd, desk::WPARAM wParam,
                                               desk::LPARAM lParam) {
  const int dark = theme();
  if (isRoundedFrameless() || fullscreen_.load() || (isWindows11OrLater() && dark == 0)) {
    return desk::DefWindowProc(hwnd, desk::WM_ERASEBKGND, wParam, lParam);
  }
  auto dc = reinterpret_cast<desk::HDC>(wParam);
  const DialogAttributes attributes = dialogAttributes();
  desk::RECT r{};
  desk::GetWindowRect(hwnd, &r);
  r = {0, 0, r.right - r.left, r.bottom - r.top};
  auto colorRef = [](uint32_t rgb) {
    return static_cast<desk::COLORREF>(((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16));
  };
  desk::COLORREF fill = colorRef(0xFFFFFF);
  desk::COLORREF border = colorRef(0xB4B4B4);
  if (dark == 1) {
    fill = colorRef(attributes.backgroundColor.value_or(0x282828));
    border = colorRef(attributes.borderColor.value_or(0x3C3C3C));
  }
  desk::HBRUSH brush = desk::CreateSolidBrush(fill);
  desk::FillRect(dc, &r, brush);
  desk::HPEN pen = desk::CreatePen(desk::PS_SOLID, 5, border);
  desk::HGDIOBJ previous = desk::SelectObject(dc, pen);
  desk::Rectangle(dc, r.left, r.top, r.right, r.bottom);
  desk::SelectObject(dc, previous);
  desk::DeleteObject(pen);
  desk::DeleteObject(brush);
  return 1;
}

void WinWindow::handleSettingChange(desk::LPARAM lParam) {
  const auto* area = reinterpret_cast<const char16_t*>(lParam);
  if (area == nullptr || std::u16string_view(area) != u"ImmersiveColorSet") return;
  const bool dark = systemUsesDarkTheme();
  if (dark == darkTheme_) return;
  darkTheme_ = dark;
  std::printf("dark mode changed: %d\n", dark ? 1 : 0);
  std::fflush(stdout);
  emit("zrk://theme-changed", dark ? "dark" : "light", "");
}

void WinWindow::handleNcMouse(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam) {
  int hit = 99;
  if (wParam == static_cast<desk::WPARAM>(desk::HTCAPTION)) hit = 1;
  if (wParam == static_cast<desk::WPARAM>(desk::HTCLIENT)) hit = 2;
  if (wParam == static_cast<desk::WPARAM>(desk::HTBORDER)) hit = 3;
  desk::POINT pt{desk::GET_X_LPARAM(lParam), desk::GET_Y_LPARAM(lParam)};
  desk::LogicalToPhysicalPoint(hwnd, &pt);
  const bool down = message == desk::WM_NCLBUTTONDOWN || message == desk::WM_NCRBUTTONDOWN;
  const bool left = message == desk::WM_NCLBUTTONDOWN || message == desk::WM_NCLBUTTONUP;
  emit(down ? "zrk://nc-mousedown" : "zrk://nc-mouseup",
       {{"hit", hit}, {"pos", {{"x", pt.x}, {"y", pt.y}}}, {"button", left ? 1 : 2}}, "");
}

void WinWindow::showSystemMenu(desk::HWND hwnd, desk::LPARAM lParam) {
  if (titleBarRect().height == 0) return;
  const desk::RECT title = titleBarHitRect();
  const desk::POINT pt{desk::GET_X_LPARAM(lParam), desk::GET_Y_LPARAM(lParam)};
  if (!(pt.x >= title.left && pt.x < title.right && pt.y >= title.top && pt.y < title.bottom)) return;
  const desk::RECT insets = frameInsets();
  desk::POINT origin{insets.left, insets.top};
  desk::ClientToScreen(hwnd, &origin);
  const double scale = scaleFactor();
  const int x = static_cast<int>(pt.x * scale) + origin.x;
  const int y = static_cast<int>(pt.y * scale) + origin.y;
  desk::HMENU menu = desk::GetSystemMenu(hwnd, 0);
  if (menu == nullptr) return;
  const auto command = static_cast<desk::UINT_PTR>(desk::TrackPopupMenuEx(
      menu, desk::TPM_RETURNCMD | desk::TPM_NONOTIFY | desk::TPM_RIGHTBUTTON, x, y, hwnd, nullptr));
  if (command != 0) desk::SendMessage(hwnd, desk::WM_SYSCOMMAND, command, 0);
}

desk::LRESULT WinWindow::handleDpiChanged(desk::HWND hwnd, desk::WPARAM wParam, desk::LPARAM lParam) {
  lastScaleFactor_ = static_cast<double>(static_cast<float>(desk::LOWORD(wParam)) / 96.0f);
  if (const auto* suggested = reinterpret_cast<const desk::RECT*>(lParam)) {
    desk::SetWindowPos(hwnd, nullptr, suggested->left, suggested->top,
                       suggested->right - suggested->left, suggested->bottom - suggested->top,
                       desk::SWP_NOZORDER | desk::SWP_NOACTIVATE);
  }
  int width = 0;
  int height = 0;
  desk::MONITORINFO info;
  desk::HMONITOR monitor = desk::MonitorFromWindow(hwnd, desk::MONITOR_DEFAULTTONEAREST);
  if (monitor != nullptr && desk::GetMonitorInfo(monitor, &info)) {
    width = info.rcMonitor.right - info.rcMonitor.left;
    height = info.rcMonitor.bottom - info.rcMonitor.top;
  }
  if (width == 0) {
    width = desk::GetSystemMetrics(desk::SM_CXSCREEN);
    height = desk::GetSystemMetrics(desk::SM_CYSCREEN);
  }
  emit("zrk://scale-changed",
       {{"scaleFactor", lastScaleFactor_},
        {"size", {{"type", "Physical"}, {"width", width}, {"height", height}}}},
       "");
  return 1;
}

// ---- window operations

bool WinWindow::isUIThread() { return desk::GetCurrentThreadId() == creatorThread_; }

void WinWindow::onUIThread(const std::function<void()>& work) {
  if (isUIThread() || isMainThread()) {
    work();
    return;
  }
  dispatch_queue_t main = dispatch_get_main_queue();
  if (main == nullptr) {
    ZRK_LOG_ERROR("window operation from another thread without a main dispatch queue: ignored");
    return;
  }
  dispatch_sync(main, work);
}

void WinWindow::hide() {
  onUIThread([this] {
    if (desk::IsWindow(nativeHandle_)) desk::ShowWindow(nativeHandle_, desk::SW_HIDE);
  });
}

void WinWindow::bringToTop() {
  onUIThread([this] {
    if (desk::IsWindow(nativeHandle_)) desk::BringWindowToTop(nativeHandle_);
  });
}

bool WinWindow::isAtTop() { return desk::GetForegroundWindow() == nativeHandle_; }

bool WinWindow::showModal() {
  onUIThread([this] {
    desk::HWND hwnd = nativeHandle_;
    if (!desk::IsWindow(hwnd)) return;
    attachFrameAutosave();
    desk::HWND parent = findParentHandle();
    if (parent != nullptr && desk::GetProp(parent, kWindowBrowserProp) != nullptr) {
      desk::SetProp(hwnd, kIsModalProp, reinterpret_cast<desk::HANDLE>(1));
      desk::EnableWindow(parent, 0);
      desk::SetWindowLongPtr(hwnd, desk::GWLP_HWNDPARENT, reinterpret_cast<desk::LONG_PTR>(parent));
      desk::ShowWindow(hwnd, desk::SW_SHOW);
    } else {
      desk::ShowWindow(hwnd, desk::SW_SHOW);
      desk::SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                         desk::SWP_NOACTIVATE | desk::SWP_NOMOVE | desk::SWP_NOSIZE);
    }
    if (options_.center && !isRestored()) center(false);
  });
  return true;
}

void WinWindow::setEnabled(bool enabled) {
  onUIThread([this, enabled] { desk::EnableWindow(nativeHandle_, enabled ? 1 : 0); });
}

bool WinWindow::isEnabled() { return desk::IsWindowEnabled(nativeHandle_); }

void WinWindow::setVisible(bool visible) {
  onUIThread([this, visible] {
    desk::ShowWindow(nativeHandle_, visible ? desk::SW_SHOW : desk::SW_HIDE);
  });
}

namespace {
void changeStyle(desk::HWND hwnd, desk::DWORD bits, bool on) {
  if (!desk::IsWindow(hwnd)) return;
  auto style = static_cast<desk::DWORD>(desk::GetWindowLongPtr(hwnd, desk::GWL_STYLE));
  style = on ? (style | bits) : (style & ~bits);
  desk::SetWindowLongPtr(hwnd, desk::GWL_STYLE, static_cast<desk::LONG_PTR>(style));
}
}  // namespace

void WinWindow::setClosable(bool closable) {
  onUIThread([this, closable] {
    desk::HWND hwnd = nativeHandle_;
    if (!desk::IsWindow(hwnd)) return;
    if (desk::HMENU menu = desk::GetSystemMenu(hwnd, 0)) {
      desk::EnableMenuItem(menu, static_cast<desk::UINT>(desk::SC_CLOSE),
                           desk::MF_BYCOMMAND | (closable ? desk::MF_ENABLED : desk::MF_GRAYED));
    }
    if (closable) changeStyle(hwnd, desk::WS_SYSMENU, true);
  });
}

void WinWindow::setMinimizable(bool on) {
  onUIThread([this, on] { changeStyle(nativeHandle_, desk::WS_MINIMIZEBOX, on); });
}

void WinWindow::setMaximizable(bool on) {
  onUIThread([this, on] { changeStyle(nativeHandle_, desk::WS_MAXIMIZEBOX, on); });
}

void WinWindow::setResizable(bool on) {
  onUIThread([this, on] { changeStyle(nativeHandle_, desk::WS_THICKFRAME, on); });
}

bool WinWindow::isFocused() {
  bool focused = false;
  onUIThread([&] {
    if (!desk::IsWindow(nativeHandle_)) return;
    // The keyboard focus inside one of the window's webviews counts as the window's.
    const desk::HWND focus = desk::GetFocus();
    focused = focus == nativeHandle_ || (focus != nullptr && desk::IsChild(nativeHandle_, focus));
  });
  return focused;
}

void WinWindow::setFocus(bool focus) {
  onUIThread([this, focus] {
    if (desk::IsWindow(nativeHandle_)) desk::SetFocus(focus ? nativeHandle_ : nullptr);
  });
}

bool WinWindow::isActivated() {
  bool active = false;
  onUIThread([&] { active = desk::IsWindow(nativeHandle_) && desk::GetActiveWindow() == nativeHandle_; });
  return active;
}

void WinWindow::activate() {
  onUIThread([this] {
    if (desk::IsWindow(nativeHandle_)) desk::SetForegroundWindow(nativeHandle_);
  });
}

void WinWindow::setFullscreen(bool fullscreen) {
  onUIThread([this, fullscreen] {
    desk::HWND hwnd = nativeHandle_;
    if (!desk::IsWindow(hwnd)) return;
    const desk::DWORD frameBits = desk::WS_CAPTION | desk::WS_SYSMENU | desk::WS_THICKFRAME |
                                  desk::WS_MINIMIZEBOX | desk::WS_MAXIMIZEBOX;
    const auto style = static_cast<desk::DWORD>(desk::GetWindowLongPtr(hwnd, desk::GWL_STYLE));
    if (fullscreen) {
      if (fullscreen_.load()) return;
      enteringFullscreen_.store(true);
      {
        std::lock_guard<std::mutex> lock(savedPlacementMutex_);
        savedPlacement_.length = sizeof(desk::WINDOWPLACEMENT);
        desk::GetWindowPlacement(hwnd, &savedPlacement_);
      }
      desk::MONITORINFO info;
      desk::HMONITOR monitor = desk::MonitorFromWindow(hwnd, desk::MONITOR_DEFAULTTONEAREST);
      if (monitor != nullptr && desk::GetMonitorInfo(monitor, &info)) {
        // Only the bits the window had are cleared, and only those come back.
        savedStyleBits_ = style & frameBits;
        desk::SetWindowLongPtr(hwnd, desk::GWL_STYLE, static_cast<desk::LONG_PTR>(style & ~frameBits));
        const desk::RECT& m = info.rcMonitor;
        desk::SetWindowPos(hwnd, desk::HWND_TOP, m.left, m.top, m.right - m.left, m.bottom - m.top,
                           desk::SWP_FRAMECHANGED | desk::SWP_NOACTIVATE);
        fullscreen_.store(true);
        desk::SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                           desk::SWP_FRAMECHANGED | desk::SWP_NOMOVE | desk::SWP_NOSIZE |
                               desk::SWP_NOZORDER | desk::SWP_NOACTIVATE);
      }
      enteringFullscreen_.store(false);
      return;
    }
    if (!fullscreen_.load()) return;
    fullscreen_.store(false);
    desk::SetWindowLongPtr(hwnd, desk::GWL_STYLE,
                           static_cast<desk::LONG_PTR>((style & ~frameBits) | savedStyleBits_));
    desk::WINDOWPLACEMENT placement;
    {
      std::lock_guard<std::mutex> lock(savedPlacementMutex_);
      placement = savedPlacement_;
    }
    desk::SetWindowPlacement(hwnd, &placement);
    desk::SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                       desk::SWP_FRAMECHANGED | desk::SWP_NOACTIVATE | desk::SWP_NOMOVE |
                           desk::SWP_NOSIZE | desk::SWP_NOZORDER);
    if (desk::IsZoomed(hwnd)) {
      changeStyle(hwnd, desk::WS_MAXIMIZE, false);
      desk::ShowWindow(hwnd, desk::SW_SHOWMAXIMIZED);
      desk::SetWindowPlacement(hwnd, &placement);
    }
  });
}

void WinWindow::setMinimized(bool minimized) {
  onUIThread([this, minimized] {
    if (!isMinimizable()) return;
    desk::ShowWindow(nativeHandle_, minimized ? desk::SW_MINIMIZE : desk::SW_RESTORE);
  });
}

void WinWindow::excludeFromTaskbar(bool) { throw std::runtime_error("not implemented"); }

bool WinWindow::isExcludedFromTaskbar() { throw std::runtime_error("not implemented"); }

void WinWindow::toggleMaximize() { setMaximized(!isMaximized()); }

void WinWindow::setAlwaysOnTop(bool onTop) {
  onUIThread([this, onTop] {
    if (!desk::IsWindow(nativeHandle_)) return;
    desk::SetWindowPos(nativeHandle_, onTop ? desk::HWND_TOPMOST : desk::HWND_NOTOPMOST, 0, 0, 0, 0,
                       desk::SWP_NOMOVE | desk::SWP_NOSIZE);
  });
}

void WinWindow::setAlwaysAtBottom(bool atBottom) {
  onUIThread([this, atBottom] {
    if (!desk::IsWindow(nativeHandle_)) return;
    desk::SetWindowPos(nativeHandle_, atBottom ? desk::HWND_BOTTOM : desk::HWND_TOP, 0, 0, 0, 0,
                       desk::SWP_NOMOVE | desk::SWP_NOSIZE);
  });
}

void WinWindow::setContentProtected(bool contentProtected) {
  onUIThread([this, contentProtected] {
    if (!desk::IsWindow(nativeHandle_)) return;
    desk::SetWindowDisplayAffinity(nativeHandle_,
                                   contentProtected ? desk::WDA_EXCLUDEFROMCAPTURE : desk::WDA_NONE);
  });
}

FloatSize WinWindow::outerSize() {
  desk::RECT r{};
  if (!desk::IsWindow(nativeHandle_) || !desk::GetWindowRect(nativeHandle_, &r)) return {};
  return {static_cast<float>(r.right - r.left), static_cast<float>(r.bottom - r.top)};
}

FloatPoint WinWindow::outerPosition() {
  desk::RECT r{};
  if (!desk::IsWindow(nativeHandle_) || !desk::GetWindowRect(nativeHandle_, &r)) return {};
  return {static_cast<float>(r.left), static_cast<float>(r.top)};
}

FloatSize WinWindow::innerSize() {
  desk::RECT r{};
  if (!desk::IsWindow(nativeHandle_) || !desk::GetClientRect(nativeHandle_, &r)) return {};
  float width = static_cast<float>(r.right - r.left);
  float height = static_cast<float>(r.bottom - r.top);
  if (!fullscreen_.load() && !enteringFullscreen_.load()) {
    const desk::RECT insets = frameInsets();
    width -= static_cast<float>(insets.left + insets.right);
    height -= static_cast<float>(insets.top + insets.bottom);
  }
  return {width, height};
}

FloatPoint WinWindow::innerPosition() {
  desk::RECT r{};
  if (!desk::IsWindow(nativeHandle_) || !desk::GetClientRect(nativeHandle_, &r)) return {};
  float x = static_cast<float>(r.left);
  float y = static_cast<float>(r.top);
  if (!fullscreen_.load() && !enteringFullscreen_.load()) {
    const desk::RECT insets = frameInsets();
    x += static_cast<float>(insets.left);
    y += static_cast<float>(insets.top);
  }
  return {x, y};
}

namespace {
int animationMs() {
  const auto duration = dialogAttributes().animationDuration;
  return duration ? static_cast<int>(*duration) : 200;
}
}  // namespace

void WinWindow::move(FloatPoint position, FloatSize size, bool animated) {
  const int x = truncateToInt(position.x);
  const int y = truncateToInt(position.y);
  const int w = truncateToInt(size.width);
  const int h = truncateToInt(size.height);
  onUIThread([this, x, y, w, h, animated] {
    if (!desk::IsWindow(nativeHandle_)) return;
    if (!animated) {
      desk::SetWindowPos(nativeHandle_, nullptr, x, y, w, h, desk::SWP_NOZORDER);
      return;
    }
    if (animator_ != nullptr) {
      animator_->cancel();
      delete animator_;
    }
    animator_ = new WindowAnimator();
    animator_->start(nativeHandle_, x, y, w, h, animationMs(), false);
  });
}

void WinWindow::setSize(FloatSize size, bool animated) {
  const int w = truncateToInt(size.width);
  const int h = truncateToInt(size.height);
  onUIThread([this, w, h, animated] {
    if (!desk::IsWindow(nativeHandle_)) return;
    if (!animated) {
      desk::SetWindowPos(nativeHandle_, nullptr, 0, 0, w, h, desk::SWP_NOZORDER | desk::SWP_NOMOVE);
      return;
    }
    if (animator_ != nullptr) {
      animator_->cancel();
      delete animator_;
    }
    animator_ = new WindowAnimator();
    animator_->resize(nativeHandle_, w, h, animationMs(), true);
  });
}

void WinWindow::setPosition(FloatPoint position) {
  const int x = truncateToInt(position.x);
  const int y = truncateToInt(position.y);
  onUIThread([this, x, y] {
    if (!desk::IsWindow(nativeHandle_)) return;
    desk::SetWindowPos(nativeHandle_, nullptr, x, y, 0, 0, desk::SWP_NOZORDER | desk::SWP_NOSIZE);
  });
}

FloatPoint WinWindow::clientToScreen(FloatPoint point) {
  if (!desk::IsWindow(nativeHandle_)) return point;
  const desk::RECT insets = frameInsets();
  desk::POINT origin{insets.left, insets.top};
  desk::ClientToScreen(nativeHandle_, &origin);
  const double scale = scaleFactor();
  return {static_cast<float>(static_cast<int>(truncateToInt(point.x) * scale) + origin.x),
          static_cast<float>(static_cast<int>(truncateToInt(point.y) * scale) + origin.y)};
}

FloatPoint WinWindow::webviewToWindowPoint(Webview* webview, FloatPoint point) {
  if (webview == nullptr) return point;
  const FloatPoint at = webview->position();
  return {at.x + point.x, at.y + point.y};
}

std::shared_ptr<Window> WinWindow::ownerWindow() {
  desk::HWND owner = desk::GetWindow(nativeHandle_, desk::GW_OWNER);
  if (!desk::IsWindow(owner) || delegate_ == nullptr) return nullptr;
  std::shared_ptr<Window> found;
  delegate_->forEachWindow([&](const std::shared_ptr<Window>& window) {
    if (!found && std::dynamic_pointer_cast<WinWindow>(window) && window->nativeHandle() == owner) {
      found = window;
    }
  });
  return found;
}

void WinWindow::runOnWindowThread(std::function<void()> work) {
  auto* heap = new std::function<void()>(std::move(work));
  if (!desk::PostMessage(nativeHandle_, kRunOnWindowThreadMessage,
                         reinterpret_cast<desk::WPARAM>(heap), 0)) {
    delete heap;  // the window is gone: the work is dropped, not leaked
  }
}

void WinWindow::close() {
  forcedClose_.store(false);
  desk::SendMessage(nativeHandle_, desk::WM_CLOSE, 0, 0);
}

void WinWindow::destroy() {
  forcedClose_.store(true);
  desk::SendMessage(nativeHandle_, desk::WM_CLOSE, 0, 0);
}

int WinWindow::theme() {
  int dark = 0;
  onUIThread([&] { dark = isImmersiveDarkMode(nativeHandle_) != 0 ? 1 : 0; });
  return dark;
}

void WinWindow::setTheme(int theme) {
  onUIThread([this, theme] {
    setImmersiveDarkMode(nativeHandle_, theme == 1 ? 1 : 0);
    desk::InvalidateRect(nativeHandle_, nullptr, 1);
  });
}

void WinWindow::setCursorPosition(FloatPoint point) {
  std::shared_ptr<Window> self = weak_from_this().lock();
  dispatch_queue_t main = dispatch_get_main_queue();
  if (!self || main == nullptr) return;
  dispatch_async(main, [self, point] {
    desk::HWND hwnd = self->nativeHandle();
    if (!desk::IsWindow(hwnd)) return;
    desk::POINT pt{truncateToInt(point.x), truncateToInt(point.y)};
    desk::MapWindowPoints(hwnd, nullptr, &pt, 1);
    desk::SetCursorPos(pt.x, pt.y);
  });
}

void WinWindow::requestUserAttention(int type) {
  onUIThread([this, type] {
    desk::HWND hwnd = nativeHandle_;
    if (!desk::IsWindow(hwnd)) return;
    desk::FLASHWINFO info;
    info.hwnd = hwnd;
    info.dwTimeout = 0;
    if (type == 1 || type == 2) {
      // Attention is asked for a window the user is not looking at.
      if (desk::GetActiveWindow() == hwnd) return;
      info.dwFlags = type == 1 ? (desk::FLASHW_ALL | desk::FLASHW_TIMERNOFG)
                               : (desk::FLASHW_TRAY | desk::FLASHW_TIMERNOFG);
      info.uCount = 4294967294u;
    } else {
      info.dwFlags = desk::FLASHW_STOP;
      info.uCount = 0;
    }
    desk::FlashWindowEx(&info);
  });
}

void WinWindow::setProgressBar(ProgressBarState state) {
  onUIThread([this, state] {
    desk::ITaskbarList3* taskbar = nullptr;
    if (desk::CoCreateInstance(desk::CLSID_TaskbarList, nullptr, desk::CLSCTX_INPROC_SERVER,
                               desk::IID_ITaskbarList3,
                               reinterpret_cast<void**>(&taskbar)) != desk::S_OK ||
        taskbar == nullptr) {
      return;
    }
    desk::TBPFLAG flag = desk::TBPF_NOPROGRESS;
    switch (state.status.value_or(0)) {
      case 1: flag = desk::TBPF_NORMAL; break;
      case 2: flag = desk::TBPF_INDETERMINATE; break;
      case 3: flag = desk::TBPF_PAUSED; break;
      case 4: flag = desk::TBPF_ERROR; break;
      default: break;
    }
    taskbar->SetProgressState(nativeHandle_, flag);
    if (state.progress) {
      // Clamped to 0-100 (NaN counts as 0): a negative value wrapped round as unsigned.
      double value = *state.progress;
      if (!(value > 0)) value = 0;
      if (value > 100) value = 100;
      taskbar->SetProgressValue(nativeHandle_, static_cast<uint64_t>(value), 100);
    }
    taskbar->Release();
  });
}

void WinWindow::show(int command) {
  onUIThread([this, command] {
    if (!desk::IsWindow(nativeHandle_)) return;
    attachFrameAutosave();
    desk::ShowWindow(nativeHandle_, command == 0 ? desk::SW_SHOW : command);
  });
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
  onUIThread([this, maximized] {
    if (!isMaximizable()) return;
    desk::ShowWindow(nativeHandle_, maximized ? desk::SW_MAXIMIZE : desk::SW_RESTORE);
  });
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
  if (!isUIThread()) {
    onUIThread([this, toScreen] { center(toScreen); });
    return;
  }
  if (!desk::IsWindow(nativeHandle_)) return;
  desk::HWND parent = findParentHandle();
  if (!toScreen && parent != nullptr) {
    centerToParent();
  } else {
    centerInWorkArea(parent);
  }
}

void WinWindow::centerToParent() {
  if (!isUIThread()) {
    onUIThread([this] { centerToParent(); });
    return;
  }
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
  const Vesk::WString text = toUtf16(title);
  onUIThread([this, &text] {
    if (desk::IsWindow(nativeHandle_)) desk::SetWindowText(nativeHandle_, text.c_str());
  });
}

}  // namespace zrk
