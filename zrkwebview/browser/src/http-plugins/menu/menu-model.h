// The menu model: top-level menus, submenus and their entries (plain, check, icon, separator),
// each a resource of the webview that made it, addressed by the page through its rid. A menu or
// submenu keeps its entries in an ordered list under its own mutex; an entry knows its list only
// by the list's rid. The objects are made only through the platform factories (the create
// functions below, defined by the popup back end in win-menu.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/resource.h"

namespace zrk {
class Window;
class Webview;
}  // namespace zrk

namespace zrk::plugin {

// MenuItemBase::kind codes.
enum MenuKind : int32_t {
  kKindMenuItem = 0,
  kKindCheck = 1,
  kKindIcon = 2,
  kKindSubmenu = 3,
  kKindMenu = 4,
  kKindSeparator = 5,
  kKindPredefined = 6,
};

// Insert modes.
enum AddItemMethod : int {
  Append = 1,
  Prepend = 2,
  Insert = 3,  // before a position; a negative position or one not below the size appends
};

// MenuItem::update bits.
enum MenuItemChange : int {
  kChangeText = 1,
  kChangeChecked = 2,
  kChangeEnabled = 4,
  kChangeAccelerator = 8,
  kChangeIcon = 16,
};

struct MenuIcon {
  int32_t type = 0;  // 0 none, 1 by name (a named image or a file path), 2 by image rid
  std::string name;
  int32_t number = 0;
};

// A position in physical pixels.
struct MenuPoint {
  float x = 0;
  float y = 0;
};

class MenuItemBase : public ResourceInternal, public std::enable_shared_from_this<MenuItemBase> {
  VESK_DECLARE_CLASS(MenuItemBase, ResourceInternal, "zrk::plugin")

 public:
  MenuItemBase(uint32_t rid, std::string id, int32_t kind)
      : ResourceInternal(rid), id(std::move(id)), kind(kind) {}
  ~MenuItemBase() override = default;

  // "MenuItem", "Check", "Icon", "Submenu", "Menu", "Separator", "Predifined", else "unknown".
  static const char* kindName(int32_t kind);
  // The resource id (the page's own `id` text hides Resource::id).
  uint32_t rid() const { return id_; }
  const char* kindName() const { return kindName(kind); }

  // The page's own identifier: may be empty, need not be unique.
  std::string id;
  // The channel ("__channel__:" and a number) that hears the object's clicks; empty for none.
  std::string handler;
  const int32_t kind;
};

class MenuItem : public MenuItemBase {
  VESK_DECLARE_CLASS(MenuItem, MenuItemBase, "zrk::plugin")

 public:
  MenuItem(uint32_t rid, std::string id, std::string text, int32_t kind = kKindMenuItem)
      : MenuItemBase(rid, std::move(id), kind), text(std::move(text)) {}

  static std::shared_ptr<MenuItem> create(uint32_t rid, const std::string& id,
                                          const std::string& text, const std::string& accelerator);

  // Asks the list that holds the entry to refresh the entry's rows (the MenuItemChange bits).
  virtual void update(int what);

  bool native = false;
  bool enabled = true;
  bool checked = false;
  // The rid of the list that holds the entry (the last one it was inserted into); 0 for none.
  std::atomic<uint32_t> parentRid{0};
  std::string text;
  std::string accelerator;
  int32_t modifier = 0;
};

class CheckMenuItem : public MenuItem {
  VESK_DECLARE_CLASS(CheckMenuItem, MenuItem, "zrk::plugin")

 public:
  CheckMenuItem(uint32_t rid, std::string id, std::string text, bool isChecked)
      : MenuItem(rid, std::move(id), std::move(text), kKindCheck) {
    checked = isChecked;
  }
  static std::shared_ptr<CheckMenuItem> create(uint32_t rid, const std::string& id,
                                               const std::string& text,
                                               const std::string& accelerator, bool checked);
};

class IconMenuItem : public MenuItem {
  VESK_DECLARE_CLASS(IconMenuItem, MenuItem, "zrk::plugin")

 public:
  IconMenuItem(uint32_t rid, std::string id, std::string text)
      : MenuItem(rid, std::move(id), std::move(text), kKindIcon) {}
  static std::shared_ptr<IconMenuItem> create(uint32_t rid, const std::string& id,
                                              const std::string& text,
                                              const std::string& accelerator,
                                              const MenuIcon& icon);
  MenuIcon icon;
};

class SeparatorMenuItem : public MenuItem {
  VESK_DECLARE_CLASS(SeparatorMenuItem, MenuItem, "zrk::plugin")

 public:
  explicit SeparatorMenuItem(uint32_t rid) : MenuItem(rid, "", "Separator", kKindSeparator) {}
  static std::shared_ptr<SeparatorMenuItem> create(uint32_t rid);
};

// The ordered entry list of a menu or submenu under its mutex. No operation calls out while
// holding the mutex.
class MenuItemList {
 public:
  using Items = std::vector<std::shared_ptr<MenuItemBase>>;

  void insert(uint32_t ownerRid, const std::shared_ptr<MenuItemBase>& item, int mode,
              int position);
  void removeByRid(uint32_t rid);
  void remove(const std::shared_ptr<MenuItemBase>& item);
  std::shared_ptr<MenuItemBase> find(const std::string& id);
  std::shared_ptr<MenuItemBase> at(int index);
  Items copy();
  // Empties the list and answers what it held.
  Items takeAll();

  std::mutex mutex;

 private:
  Items items_;
};

// The container operations shared by menus and submenus.
class MenuContainer {
 public:
  virtual ~MenuContainer() = default;
  virtual void insertItem(const std::shared_ptr<MenuItemBase>& item, int mode, int position);
  virtual void removeByRid(uint32_t rid);
  virtual void removeItem(const std::shared_ptr<MenuItemBase>& item);
  // Refreshes the platform rows of the child with that rid; the model itself has none.
  virtual void updateItem(uint32_t rid, int what) {
    (void)rid;
    (void)what;
  }
  // Shows the menu (on the UI thread, later) and routes the choice.
  virtual void popup(const std::shared_ptr<Window>& window, const std::shared_ptr<Webview>& webview,
                     MenuPoint position, const nlohmann::json& options) = 0;

  std::shared_ptr<MenuItemBase> findItem(const std::string& id) { return list.find(id); }
  std::shared_ptr<MenuItemBase> itemAt(int index) { return list.at(index); }
  MenuItemList::Items itemsCopy() { return list.copy(); }

  bool autoDestroy = false;
  MenuItemList list;

 protected:
  virtual uint32_t containerRid() const = 0;
};

class Submenu : public MenuItem, public MenuContainer {
  VESK_DECLARE_CLASS(Submenu, MenuItem, "zrk::plugin")

 public:
  Submenu(uint32_t rid, std::string id, std::string text, bool destroyAfterPopup)
      : MenuItem(rid, std::move(id), std::move(text), kKindSubmenu) {
    autoDestroy = destroyAfterPopup;
  }
  static std::shared_ptr<Submenu> create(uint32_t rid, const std::string& id,
                                         const std::string& text, bool autoDestroy);

 protected:
  uint32_t containerRid() const override { return id_; }
};

class Menu : public MenuItemBase, public MenuContainer {
  VESK_DECLARE_CLASS(Menu, MenuItemBase, "zrk::plugin")

 public:
  Menu(uint32_t rid, std::string id, bool destroyAfterPopup)
      : MenuItemBase(rid, std::move(id), kKindMenu) {
    autoDestroy = destroyAfterPopup;
  }
  static std::shared_ptr<Menu> create(uint32_t rid, const std::string& id, bool autoDestroy);

  // Window menu bars are not supported: nothing changes and no previous menu is answered.
  virtual std::shared_ptr<Menu> setAsWindowMenu(const std::shared_ptr<Window>& window);
  // Takes the window's native menu bar off the window; answers no menu.
  static std::shared_ptr<Menu> removeWindowMenu(const std::shared_ptr<Window>& window,
                                                const std::shared_ptr<Webview>& webview);

 protected:
  uint32_t containerRid() const override { return id_; }
};

// The application's main menu: none on this platform.
std::shared_ptr<Menu> createAppMainMenu(const std::shared_ptr<Webview>& webview, uint32_t rid,
                                        const std::string& id);

// The object as a container (a Menu or a Submenu), or null.
MenuContainer* asContainer(Resource* object);

}  // namespace zrk::plugin
