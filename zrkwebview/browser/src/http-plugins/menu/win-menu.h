// The popup back end of the menu model: every menu and submenu owns an owner-drawn popup menu
// (zrkmenu::ZrkMenu) whose rows follow the model's entries, one row per entry that has a visible
// form, in the model's order. Row changes run on the UI thread (the caller waits for them); the
// model list stays under the menu's mutex. Popups are queued to the UI thread; the chosen row
// names its entry by rid and is routed to the entry's channel through "wm_command".
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "desk/gfx/bitmap.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-model.h"

namespace zrkmenu {
class ZrkMenu;
struct ZrkMenuItem;
}  // namespace zrkmenu

namespace Vesk {
class TNotification;
}

namespace zrk::plugin {

// Runs the work on the UI thread and returns when it has run (inline when called there, or when
// the process has no main queue). Exceptions of the work are logged, never passed on.
void runOnUiThread(const std::function<void()>& work);

// The popup menu of one menu or submenu and its rows, each row kept with the entry it shows.
// Touched only on the UI thread.
class PopupRows {
 public:
  PopupRows(const std::string& menuId);
  std::shared_ptr<zrkmenu::ZrkMenu> popup() const { return popup_; }
  // Brings the rows in line with the entries: rows of entries still listed are kept (in the
  // entries' order), rows of entries that left are dropped, new entries get new rows.
  void sync(const MenuItemList::Items& entries, const std::weak_ptr<Webview>& webview);
  // Refreshes the rows of every entry with that rid.
  void refresh(uint32_t rid, int what, const std::weak_ptr<Webview>& webview);
  void drop();
  // Hands over the popup menu and the rows (for release on the UI thread).
  std::shared_ptr<void> detach();

 private:
  struct Slot {
    std::shared_ptr<MenuItemBase> entry;
    std::shared_ptr<zrkmenu::ZrkMenuItem> row;  // empty for an entry without a row
  };
  std::shared_ptr<zrkmenu::ZrkMenuItem> buildRow(const MenuItemBase& entry,
                                                 const std::weak_ptr<Webview>& webview);

  std::shared_ptr<zrkmenu::ZrkMenu> popup_;
  std::vector<Slot> slots_;
};

// The image an icon entry shows, looked up in the entry's webview: a rid names a bitmap image; a
// name is a named image first, else an image file loaded as a bitmap. Empty when none is found.
std::shared_ptr<desk::gfx::Bitmap> menuIconImage(const MenuIcon& icon, Webview* webview);

class WinMenu : public Menu {
  VESK_DECLARE_CLASS(WinMenu, Menu, "zrk::plugin")

 public:
  WinMenu(uint32_t rid, const std::string& id, bool autoDestroy);
  ~WinMenu() override;

  void close() override;
  void insertItem(const std::shared_ptr<MenuItemBase>& item, int mode, int position) override;
  void removeByRid(uint32_t rid) override;
  void removeItem(const std::shared_ptr<MenuItemBase>& item) override;
  void updateItem(uint32_t rid, int what) override;
  void popup(const std::shared_ptr<Window>& window, const std::shared_ptr<Webview>& webview,
             MenuPoint position, const nlohmann::json& options) override;

  // The popup menu; empty once closed. UI thread.
  std::shared_ptr<zrkmenu::ZrkMenu> popupMenu() const { return rows_.popup(); }
  // The rows in order, for inspection. UI thread.
  void syncRows();

 private:
  PopupRows rows_;
};

class WinSubmenu : public Submenu {
  VESK_DECLARE_CLASS(WinSubmenu, Submenu, "zrk::plugin")

 public:
  WinSubmenu(uint32_t rid, const std::string& id, const std::string& text, bool autoDestroy);
  ~WinSubmenu() override;

  void close() override;
  void insertItem(const std::shared_ptr<MenuItemBase>& item, int mode, int position) override;
  void removeByRid(uint32_t rid) override;
  void removeItem(const std::shared_ptr<MenuItemBase>& item) override;
  void updateItem(uint32_t rid, int what) override;
  void popup(const std::shared_ptr<Window>& window, const std::shared_ptr<Webview>& webview,
             MenuPoint position, const nlohmann::json& options) override;

  std::shared_ptr<zrkmenu::ZrkMenu> popupMenu() const { return rows_.popup(); }
  void syncRows();

 private:
  PopupRows rows_;
};

class WinMenuItem : public MenuItem {
  VESK_DECLARE_CLASS(WinMenuItem, MenuItem, "zrk::plugin")
 public:
  using MenuItem::MenuItem;
};

class WinCheckMenuItem : public CheckMenuItem {
  VESK_DECLARE_CLASS(WinCheckMenuItem, CheckMenuItem, "zrk::plugin")
 public:
  using CheckMenuItem::CheckMenuItem;
};

class WinIconMenuItem : public IconMenuItem {
  VESK_DECLARE_CLASS(WinIconMenuItem, IconMenuItem, "zrk::plugin")
 public:
  using IconMenuItem::IconMenuItem;
};

class WinSeparatorMenuItem : public SeparatorMenuItem {
  VESK_DECLARE_CLASS(WinSeparatorMenuItem, SeparatorMenuItem, "zrk::plugin")
 public:
  using SeparatorMenuItem::SeparatorMenuItem;
};

// Readies the popup-menu library; the window factory calls it before it makes a window.
void initMenuSupport();

// Track flags of the page's alignment bits: 4 right-aligned, 8 bottom-aligned, 16 modal.
int trackFlagsOf(int32_t align);

// Routes one "wm_command" ({"command": rid, "window": window, "webview": the popup's webview})
// to the channel of the menu entry with that rid: in the given webview, else in the window's
// webviews (the last one that has it). Never throws.
void onMenuCommand(const std::shared_ptr<Vesk::TNotification>& notification);

}  // namespace zrk::plugin
