// Tray icons: an icon in the notification area that a page creates and owns, a resource of the
// calling webview under a rid. Mouse activity on the icon comes back to the page as the channel
// events "enter", "leave" and "click"; the context-menu gesture opens the tray's popup menu, a
// submenu of the menu model, whose choice travels the menu road to the chosen entry.
//
// WinTrayResource keeps a hidden window on the UI thread that receives the icon's callbacks. Every
// change and the close run on the UI thread (the caller waits), so the notification record, the
// menu and the hover state are only ever touched there.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "desk/tray.h"
#include "desk/types.h"
#include "zrkwebview/browser/src/resource.h"

namespace zrkmenu {
class ZrkMenu;
}

namespace zrk::plugin {

// Property numbers of TrayResource::update.
constexpr int kTrayPropertyTooltip = 2;
constexpr int kTrayPropertyTitle = 4;

// The hover timer of the hidden window and its period.
constexpr desk::UINT_PTR kTrayHoverTimer = 99;
constexpr desk::UINT kTrayHoverPeriodMs = 200;

// The most UTF-16 units of a tooltip the notification record holds.
constexpr size_t kTrayTipUnits = 127;

class TrayResource : public ResourceInternal, public std::enable_shared_from_this<TrayResource> {
  VESK_DECLARE_CLASS(TrayResource, ResourceInternal, "zrk::plugin")

 public:
  TrayResource(uint32_t rid, std::string trayId, std::string handler)
      : ResourceInternal(rid), trayId_(std::move(trayId)), handler_(std::move(handler)) {}
  ~TrayResource() override = default;

  // Makes a tray of the webview from the page's options ("id", "tooltip", "title", "icon",
  // "menu"): takes the next rid, builds the tray on the UI thread (the caller waits) and files it
  // in the webview's manager. Empty when the webview is gone or the creation failed.
  static std::shared_ptr<TrayResource> create(const std::shared_ptr<Webview>& webview,
                                              const nlohmann::json& options,
                                              const std::string& handler);

  const std::string& trayId() const { return trayId_; }
  const std::string& handler() const { return handler_; }
  std::string tooltip() const;
  std::string title() const;
  void setTooltip(const std::string& tooltip);
  void setTitle(const std::string& title);

  // Shows the stored tooltip (kTrayPropertyTooltip); any other property changes nothing.
  virtual void update(int property) = 0;
  // An image rid, or an image name or file loaded as an icon; an unusable value changes nothing.
  virtual void setIcon(const nlohmann::json& icon) = 0;
  // Only kind "Submenu" with the rid of a submenu of the webview replaces the menu.
  virtual void setMenu(uint32_t rid, const std::string& kind) = 0;
  // The notification call's result.
  virtual int setVisible(bool visible) = 0;

 private:
  const std::string trayId_;
  const std::string handler_;
  mutable std::mutex textMutex_;
  std::string tooltip_;
  std::string title_;
};

class WinTrayResource : public TrayResource {
  VESK_DECLARE_CLASS(WinTrayResource, TrayResource, "zrk::plugin")

 public:
  using TrayResource::TrayResource;
  // Ends the window and the icon when the tray was never closed (its webview went away).
  ~WinTrayResource() override;

  // Builds the hidden window and the icon. UI thread only; throws std::runtime_error ("Failed to
  // create tray window", "Failed to get webview") or the JSON library's type error for a "menu"
  // whose first element is not a number. A failure leaves no window and no icon handle behind.
  void create(const nlohmann::json& options);

  // Destroys the window (its destruction deletes the icon) and leaves the webview's manager.
  void close() override;
  void update(int property) override;
  void setIcon(const nlohmann::json& icon) override;
  void setMenu(uint32_t rid, const std::string& kind) override;
  int setVisible(bool visible) override;

  // The tray's own handling of the messages its window procedure hands it. UI thread.
  desk::LRESULT handleMessage(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam);

  // For inspection (UI thread): the hidden window, the notification record, the menu.
  desk::HWND hwnd() const { return hwnd_; }
  const desk::NOTIFYICONDATAW& notifyData() const { return notifyData_; }
  std::shared_ptr<zrkmenu::ZrkMenu> menu() const { return menu_; }
  bool hovering() const { return hovering_; }

 private:
  // The icon handle made from the icon value, or null; the webview must be alive.
  desk::HICON iconFrom(const nlohmann::json& icon, Webview* webview);
  // Puts a new icon handle into the record, destroying the one it replaces.
  void takeIcon(desk::HICON icon);
  void fillTip(const std::string& tooltip);
  void popupMenu();
  void hoverEnter();
  void hoverCheck();
  void click(desk::UINT event);
  // {"<event>": payload} to the tray's channel, through every framework window.
  void sendEvent(const char* event, const nlohmann::json& payload);
  // The icon's rectangle; all zero when the notification area cannot give it.
  desk::RECT iconRect() const;
  nlohmann::json positionPayload(bool alwaysId) const;
  void deleteIcon();
  // Ends the window and the icon; safe when there is none. UI thread.
  void endWindow(bool detach);

  desk::HWND hwnd_ = nullptr;
  std::shared_ptr<zrkmenu::ZrkMenu> menu_;
  desk::NOTIFYICONDATAW notifyData_{};
  bool hovering_ = false;
  desk::HICON icon_ = nullptr;  // made by the tray, destroyed when replaced and at close
};

// The menu rid of a "menu" value: the first element of a non-empty array, a number of any kind (a
// fraction dropped) or a boolean; 0 for anything but a non-empty array. Any other first element
// raises the JSON library's type error 302.
uint32_t trayMenuRid(const nlohmann::json& menu);

// The window procedure of the hidden windows ("__trayWndClass").
desk::LRESULT trayWindowProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                             desk::LPARAM lParam);

}  // namespace zrk::plugin
