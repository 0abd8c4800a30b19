#include "zrkwebview/browser/src/http-plugins/tray/tray-resource.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "desk/gdi.h"
#include "desk/icons.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "vesk/tdictionary.h"
#include "vesk/tnotification.h"
#include "vesk/tnumber.h"
#include "vesk/tstring.h"
#include "zrkmenu/zrkmenu.h"
#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http-plugins/image/json-numbers.h"
#include "zrkwebview/browser/src/http-plugins/menu/win-menu.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

namespace {

constexpr char16_t kTrayClassName[] = u"__trayWndClass";
// Modal (the chosen id comes back), right and bottom edges at the point where the screen allows.
constexpr int kTrayMenuFlags = 0x128;
constexpr int kTrayMenuAnimationMs = 100;

// Runs the work on the UI thread and returns when it has run: inline on the UI thread (or when
// the process has no main queue), else through the main queue. What the work throws reaches the
// caller.
void onUiThread(const std::function<void()>& work) {
  dispatch_queue_t main = dispatch_get_main_queue();
  if (main == nullptr || main->threadId == desk::GetCurrentThreadId()) {
    work();
  } else {
    dispatch_sync(main, work);
  }
}

// The same for work that must not fail its caller: a failure (the UI thread gone at shutdown
// among them) is logged.
void onUiThreadLogged(const char* what, const std::function<void()>& work) {
  try {
    onUiThread(work);
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("tray %s failed: %s", what, e.what());
  } catch (...) {
    ZRK_LOG_ERROR("tray %s failed", what);
  }
}

void logShellError() {
  const desk::DWORD code = desk::GetLastError();
  const std::string text = Vesk::TString::fromSystemError(code).utf8String();
  ZRK_LOG_ERROR("(%d) %s", static_cast<int>(code), text.c_str());
}

void registerTrayClass() {
  static const bool registered = [] {
    desk::WNDCLASS wc;
    wc.style = 0;
    wc.lpfnWndProc = &trayWindowProc;
    wc.hInstance = nullptr;
    wc.hIcon = desk::LoadIconW(nullptr, desk::IDI_APPLICATION);
    wc.hCursor = nullptr;
    wc.hbrBackground = reinterpret_cast<desk::HBRUSH>(desk::GetStockObject(desk::WHITE_BRUSH));
    wc.lpszClassName = kTrayClassName;
    desk::RegisterClass(&wc);  // a class already there serves as well
    return true;
  }();
  (void)registered;
}

// The popup menu of a submenu of the webview, or empty.
std::shared_ptr<zrkmenu::ZrkMenu> submenuPopup(Webview* webview, uint32_t rid) {
  if (webview == nullptr || rid == 0) return nullptr;
  std::shared_ptr<Resource> found = webview->resourceManager()->find(rid);
  if (!found || !found->isKindOfClass(&WinSubmenu::classDescriptor)) return nullptr;
  auto* submenu = dynamic_cast<WinSubmenu*>(found.get());
  return submenu != nullptr ? submenu->popupMenu() : nullptr;
}

// The tooltip in UTF-16, cut to what the record holds without splitting a surrogate pair.
std::u16string tipUnits(const std::string& tooltip) {
  std::u16string units = *Vesk::TString(tooltip).storage();
  if (units.size() > kTrayTipUnits) {
    size_t cut = kTrayTipUnits;
    const char16_t last = units[cut - 1];
    if (last >= 0xD800 && last <= 0xDBFF) --cut;
    units.resize(cut);
  }
  return units;
}

}  // namespace

uint32_t trayMenuRid(const nlohmann::json& menu) {
  if (!menu.is_array() || menu.empty()) return 0;
  const nlohmann::json& first = menu.front();
  if (std::optional<uint32_t> rid = numbers::uint32Of(first)) return *rid;
  if (first.is_boolean()) return first.get<bool>() ? 1 : 0;
  return first.get<uint32_t>();  // the type error
}

// ---- TrayResource --------------------------------------------------------------------------

std::string TrayResource::tooltip() const {
  std::lock_guard<std::mutex> lock(textMutex_);
  return tooltip_;
}

std::string TrayResource::title() const {
  std::lock_guard<std::mutex> lock(textMutex_);
  return title_;
}

void TrayResource::setTooltip(const std::string& tooltip) {
  std::lock_guard<std::mutex> lock(textMutex_);
  if (&tooltip != &tooltip_) tooltip_ = tooltip;
}

void TrayResource::setTitle(const std::string& title) {
  std::lock_guard<std::mutex> lock(textMutex_);
  if (&title != &title_) title_ = title;
}

std::shared_ptr<TrayResource> TrayResource::create(const std::shared_ptr<Webview>& webview,
                                                   const nlohmann::json& options,
                                                   const std::string& handler) {
  if (!webview) return nullptr;
  try {
    std::shared_ptr<ResourceManager> manager = webview->resourceManager();
    const uint32_t rid = manager->nextId();
    std::string trayId;
    if (options.is_object()) {
      auto it = options.find("id");
      if (it != options.end() && it->is_string()) trayId = it->get<std::string>();
    }
    auto tray = std::make_shared<WinTrayResource>(rid, trayId, handler);
    tray->setWebview(webview);
    onUiThread([&tray, &options] { tray->create(options); });
    manager->add(tray);
    return tray;
  } catch (const std::exception& e) {
    ZRK_LOG_WARN("tray creation failed: %s", e.what());
  } catch (...) {
    ZRK_LOG_WARN("tray creation failed");
  }
  return nullptr;
}

// ---- WinTrayResource -----------------------------------------------------------------------

WinTrayResource::~WinTrayResource() {
  if (hwnd_ == nullptr && icon_ == nullptr && !menu_) return;
  onUiThreadLogged("teardown", [this] { endWindow(true); });
}

void WinTrayResource::create(const nlohmann::json& options) {
  registerTrayClass();
  hwnd_ = desk::CreateWindowEx(0, kTrayClassName, nullptr, desk::WS_THICKFRAME, 0, 0, 0, 0,
                               nullptr, nullptr, nullptr, this);
  if (!desk::IsWindow(hwnd_)) {
    hwnd_ = nullptr;
    throw std::runtime_error("Failed to create tray window");
  }
  desk::SetWindowLongPtr(hwnd_, desk::GWLP_USERDATA, reinterpret_cast<desk::LONG_PTR>(this));
  desk::ShowWindow(hwnd_, desk::SW_HIDE);
  desk::UpdateWindow(hwnd_);
  try {
    std::string tooltip;
    nlohmann::json icon;
    nlohmann::json menu;
    if (options.is_object()) {
      auto it = options.find("tooltip");
      if (it != options.end() && it->is_string()) tooltip = it->get<std::string>();
      it = options.find("icon");
      if (it != options.end()) icon = *it;
      it = options.find("menu");
      if (it != options.end()) menu = *it;
    }
    const uint32_t menuRid = trayMenuRid(menu);
    std::shared_ptr<Webview> webview = webview_.lock();
    if (!webview) throw std::runtime_error("Failed to get webview");

    icon_ = iconFrom(icon, webview.get());
    if (menuRid != 0) menu_ = submenuPopup(webview.get(), menuRid);

    notifyData_ = desk::NOTIFYICONDATAW{};
    notifyData_.cbSize = sizeof(desk::NOTIFYICONDATAW);
    notifyData_.hIcon = icon_;
    notifyData_.uID = id_;
    notifyData_.hWnd = hwnd_;
    notifyData_.uCallbackMessage = wmTray();
    notifyData_.uFlags = desk::NIF_MESSAGE;
    if (icon_ != nullptr) notifyData_.uFlags |= desk::NIF_ICON;
    if (!tooltip.empty()) {
      notifyData_.uFlags |= desk::NIF_TIP | desk::NIF_SHOWTIP;
      fillTip(tooltip);
    }
    notifyData_.uVersion = desk::NOTIFYICON_VERSION_4;
  } catch (...) {
    // Nothing may point at a tray that is being dropped.
    endWindow(true);
    throw;
  }
  if (desk::Shell_NotifyIconW(desk::NIM_ADD, &notifyData_)) {
    desk::Shell_NotifyIconW(desk::NIM_SETVERSION, &notifyData_);
  } else {
    logShellError();
  }
}

desk::HICON WinTrayResource::iconFrom(const nlohmann::json& icon, Webview* webview) {
  if (webview == nullptr) return nullptr;
  uint32_t rid = 0;
  if (icon.is_number()) {
    rid = numbers::uint32Of(icon).value_or(0);
  } else if (icon.is_string()) {
    rid = loadImageResource(webview, icon.get<std::string>(), kImageTypeIco, -1);
  }
  if (rid == 0) return nullptr;
  std::shared_ptr<Resource> found = webview->resourceManager()->find(rid);
  if (!found || !found->isKindOfClass(&IcoResource::classDescriptor)) return nullptr;
  auto* image = dynamic_cast<IcoResource*>(found.get());
  ImagePointer bitmap = image != nullptr ? image->image() : nullptr;
  if (!bitmap) return nullptr;
  return desk::createIcon(*bitmap);
}

void WinTrayResource::fillTip(const std::string& tooltip) {
  const std::u16string units = tipUnits(tooltip);
  std::fill(std::begin(notifyData_.szTip), std::end(notifyData_.szTip), u'\0');
  std::copy(units.begin(), units.end(), notifyData_.szTip);
}

void WinTrayResource::takeIcon(desk::HICON icon) {
  desk::HICON old = icon_;
  icon_ = icon;
  notifyData_.hIcon = icon;
  notifyData_.uFlags |= desk::NIF_ICON;
  desk::Shell_NotifyIconW(desk::NIM_MODIFY, &notifyData_);
  if (old != nullptr) desk::DestroyIcon(old);
}

void WinTrayResource::close() {
  onUiThreadLogged("close", [this] { endWindow(false); });
  ResourceInternal::close();
}

void WinTrayResource::update(int property) {
  if (property != kTrayPropertyTooltip) return;
  const std::string tip = tooltip();
  onUiThread([this, &tip] {
    if (hwnd_ == nullptr) return;
    if (!tip.empty()) {
      notifyData_.uFlags |= desk::NIF_TIP | desk::NIF_SHOWTIP;
      fillTip(tip);
    } else {
      notifyData_.uFlags &= ~(desk::NIF_TIP | desk::NIF_SHOWTIP);
    }
    desk::Shell_NotifyIconW(desk::NIM_MODIFY, &notifyData_);
  });
}

void WinTrayResource::setIcon(const nlohmann::json& icon) {
  std::shared_ptr<Webview> webview = webview_.lock();
  if (!webview) return;
  onUiThread([this, &icon, &webview] {
    if (hwnd_ == nullptr) return;
    if (desk::HICON made = iconFrom(icon, webview.get())) takeIcon(made);
  });
}

void WinTrayResource::setMenu(uint32_t rid, const std::string& kind) {
  std::shared_ptr<Webview> webview = webview_.lock();
  if (!webview || kind != "Submenu") return;
  onUiThread([this, rid, &webview] {
    if (hwnd_ == nullptr) return;
    if (std::shared_ptr<zrkmenu::ZrkMenu> popup = submenuPopup(webview.get(), rid)) {
      menu_ = std::move(popup);
    }
  });
}

int WinTrayResource::setVisible(bool visible) {
  int result = 0;
  onUiThread([this, visible, &result] {
    if (hwnd_ == nullptr) return;
    if (visible) {
      notifyData_.dwState = 0;
      notifyData_.dwStateMask = desk::NIS_HIDDEN;
    } else {
      notifyData_.dwState |= desk::NIS_HIDDEN;
      notifyData_.dwStateMask |= desk::NIS_HIDDEN;
    }
    notifyData_.uFlags |= desk::NIF_STATE;
    result = desk::Shell_NotifyIconW(desk::NIM_MODIFY, &notifyData_);
  });
  return result;
}

void WinTrayResource::deleteIcon() {
  if (!desk::Shell_NotifyIconW(desk::NIM_DELETE, &notifyData_)) logShellError();
}

void WinTrayResource::endWindow(bool detach) {
  if (hwnd_ != nullptr) {
    desk::HWND window = hwnd_;
    desk::KillTimer(window, kTrayHoverTimer);
    if (detach) {
      // The window must not reach this object again; the icon goes here, not in WM_DESTROY.
      desk::SetWindowLongPtr(window, desk::GWLP_USERDATA, 0);
      if (notifyData_.cbSize != 0) deleteIcon();
    }
    desk::DestroyWindow(window);
    hwnd_ = nullptr;
  }
  hovering_ = false;
  if (icon_ != nullptr) {
    desk::DestroyIcon(icon_);
    icon_ = nullptr;
    notifyData_.hIcon = nullptr;
  }
  menu_.reset();
}

// ---- messages ------------------------------------------------------------------------------

desk::LRESULT trayWindowProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                             desk::LPARAM lParam) {
  const bool ours = message == wmTray() || message == desk::WM_DESTROY ||
                    message == desk::WM_CLOSE || message == desk::WM_COMMAND ||
                    message == desk::WM_TIMER || (message >= 0x200 && message <= 0x20E);
  if (ours) {
    auto* tray = reinterpret_cast<WinTrayResource*>(desk::GetWindowLongPtr(hwnd, desk::GWLP_USERDATA));
    if (tray != nullptr) return tray->handleMessage(hwnd, message, wParam, lParam);
  }
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

desk::LRESULT WinTrayResource::handleMessage(desk::HWND hwnd, desk::UINT message,
                                             desk::WPARAM wParam, desk::LPARAM lParam) {
  // Kept alive for the whole message: a menu's nested loop may run a close meanwhile.
  std::shared_ptr<TrayResource> self = weak_from_this().lock();
  try {
    if (message == wmTray()) {
      const desk::UINT event = desk::LOWORD(static_cast<uintptr_t>(lParam));
      switch (event) {
        case desk::WM_CONTEXTMENU: popupMenu(); break;
        case desk::WM_MOUSEMOVE: hoverEnter(); break;
        case desk::WM_LBUTTONDOWN:
        case desk::WM_LBUTTONUP:
        case desk::WM_RBUTTONDOWN:
        case desk::WM_RBUTTONUP:
        case desk::WM_MBUTTONDOWN:
        case desk::WM_MBUTTONUP: click(event); break;
        default: break;
      }
    } else if (message == desk::WM_TIMER && wParam == kTrayHoverTimer) {
      hoverCheck();
    } else if (message == desk::WM_DESTROY) {
      deleteIcon();
      hovering_ = false;
      hwnd_ = nullptr;
    }
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("tray message 0x%x failed: %s", static_cast<unsigned>(message), e.what());
  } catch (...) {
    ZRK_LOG_ERROR("tray message 0x%x failed", static_cast<unsigned>(message));
  }
  return desk::DefWindowProc(hwnd, message, wParam, lParam);
}

void WinTrayResource::popupMenu() {
  std::shared_ptr<zrkmenu::ZrkMenu> menu = menu_;
  if (!menu) return;
  desk::POINT cursor;
  desk::GetCursorPos(&cursor);
  std::string result;
  menu->trackPopup(result, cursor.x, cursor.y, nullptr, kTrayMenuFlags, kTrayMenuAnimationMs);
  // The chosen row itself, so entries that share a page id each reach their own entry.
  std::shared_ptr<zrkmenu::ZrkMenuItem> row = menu->lastChosenItem();
  if (!row && !result.empty()) row = menu->findItem(result, true);
  if (!row || row->command.empty()) return;
  const auto command = static_cast<uint32_t>(std::strtoul(row->command.c_str(), nullptr, 10));
  if (command == 0) return;
  std::shared_ptr<Webview> webview = webview_.lock();
  if (!webview) return;
  // The full rid and the tray's own webview, as a popup's choice goes.
  auto userInfo = std::make_shared<Vesk::TDictionary>();
  userInfo->set("command", std::make_shared<Vesk::TNumber>(command));
  userInfo->set("webview", webview);
  Vesk::TNotificationCenter::defaultCenter()->postNotification("wm_command", nullptr, userInfo);
}

desk::RECT WinTrayResource::iconRect() const {
  desk::NOTIFYICONIDENTIFIER identifier;
  identifier.cbSize = sizeof(desk::NOTIFYICONIDENTIFIER);
  identifier.hWnd = hwnd_;
  identifier.uID = id_;
  desk::RECT rect;
  if (desk::Shell_NotifyIconGetRect(&identifier, &rect) < 0) rect = desk::RECT{};
  return rect;
}

nlohmann::json WinTrayResource::positionPayload(bool alwaysId) const {
  const desk::RECT rect = iconRect();
  desk::POINT cursor;
  desk::GetCursorPos(&cursor);
  nlohmann::json payload = nlohmann::json::object();
  if (alwaysId || !trayId().empty()) payload["id"] = trayId();
  payload["x"] = cursor.x;
  payload["y"] = cursor.y;
  payload["rect"] = {{"x", rect.left},
                     {"y", rect.top},
                     {"width", rect.right - rect.left},
                     {"height", rect.bottom - rect.top}};
  return payload;
}

void WinTrayResource::hoverEnter() {
  if (handler().empty() || hovering_) return;
  const desk::RECT rect = iconRect();
  desk::POINT cursor;
  desk::GetCursorPos(&cursor);
  if (!desk::PtInRect(&rect, cursor)) return;
  hovering_ = true;
  std::fputs("Mouse move inside tray icon\n", stdout);
  sendEvent("enter", positionPayload(false));
  if (hwnd_ != nullptr) desk::SetTimer(hwnd_, kTrayHoverTimer, kTrayHoverPeriodMs, nullptr);
}

void WinTrayResource::hoverCheck() {
  const desk::RECT rect = iconRect();
  desk::POINT cursor;
  desk::GetCursorPos(&cursor);
  if (desk::PtInRect(&rect, cursor)) return;
  desk::KillTimer(hwnd_, kTrayHoverTimer);
  hovering_ = false;
  std::fputs("Mouse move leave tray icon\n", stdout);
  sendEvent("leave", positionPayload(false));
}

void WinTrayResource::click(desk::UINT event) {
  std::fputs("Mouse up inside tray icon\n", stdout);
  nlohmann::json payload = positionPayload(true);
  const bool down = event == desk::WM_LBUTTONDOWN || event == desk::WM_RBUTTONDOWN ||
                    event == desk::WM_MBUTTONDOWN;
  payload["button_state"] = down ? "Down" : "Up";
  if (event == desk::WM_LBUTTONDOWN || event == desk::WM_LBUTTONUP) {
    payload["button"] = "Left";
  } else if (event == desk::WM_RBUTTONDOWN || event == desk::WM_RBUTTONUP) {
    payload["button"] = "Right";
  } else {
    payload["button"] = "Middle";
  }
  sendEvent("click", payload);
}

void WinTrayResource::sendEvent(const char* event, const nlohmann::json& payload) {
  nlohmann::json message = nlohmann::json::object();
  message[event] = payload;
  // Both live until the synchronous send has reached every window.
  const Vesk::TString channel(handler());
  const Vesk::TString text(message.dump());
  desk::SendMessage(desk::HWND_BROADCAST, wmBroadcastChannel(),
                    reinterpret_cast<desk::WPARAM>(&channel), reinterpret_cast<desk::LPARAM>(&text));
}

}  // namespace zrk::plugin
