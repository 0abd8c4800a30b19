#include "zrkwebview/browser/src/http-plugins/menu/win-menu.h"

#include <cstdlib>
#include <exception>
#include <utility>

#include <nlohmann/json.hpp>

#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "vesk/log.h"
#include "vesk/tdictionary.h"
#include "vesk/tnotification.h"
#include "vesk/tnumber.h"
#include "zrkmenu/zrkmenu.h"
#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http-plugins/image/json-numbers.h"
#include "zrkwebview/browser/src/http-plugins/ipc/channel-id.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-config.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

namespace {

bool onUiThread() {
  dispatch_queue_t main = dispatch_get_main_queue();
  return main == nullptr || main->threadId == desk::GetCurrentThreadId();
}

void runGuarded(const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("menu work failed: %s", e.what());
  } catch (...) {
    ZRK_LOG_ERROR("menu work failed");
  }
}

// Releases a popup menu and its rows on the UI thread (where its window lives): the only
// reference travels with the task.
void releaseOnUiThread(std::shared_ptr<void> popup) {
  if (!popup || onUiThread()) return;
  dispatch_async(dispatch_get_main_queue(), [popup = std::move(popup)]() mutable { popup.reset(); });
}

std::shared_ptr<zrkmenu::ZrkMenu> makePopup(const std::string& id) {
  auto popup = std::make_shared<zrkmenu::ZrkMenu>(false, id);
  readMenuStyle(popup.get());
  return popup;
}

}  // namespace

void runOnUiThread(const std::function<void()>& work) {
  if (onUiThread()) {
    runGuarded(work);
  } else {
    dispatch_sync(dispatch_get_main_queue(), [&work] { runGuarded(work); });
  }
}

void initMenuSupport() { zrkmenu::startup(); }

int trackFlagsOf(int32_t align) {
  int flags = 0;
  if (align & 4) flags |= zrkmenu::TPM_RIGHTALIGN;
  if (align & 8) flags |= zrkmenu::TPM_BOTTOMALIGN;
  if (align & 16) flags |= zrkmenu::TPM_RETURNCMD;
  return flags;
}

// ---- icons ---------------------------------------------------------------------------------

std::shared_ptr<desk::gfx::Bitmap> menuIconImage(const MenuIcon& icon, Webview* webview) {
  if (webview == nullptr || icon.type == 0) return nullptr;
  std::shared_ptr<ResourceManager> manager = webview->resourceManager();
  auto bitmapOf = [&manager](uint32_t rid) -> std::shared_ptr<desk::gfx::Bitmap> {
    std::shared_ptr<Resource> found = rid != 0 ? manager->find(rid) : nullptr;
    if (found && found->isKindOfClass(&BmpResource::classDescriptor)) {
      return static_cast<BmpResource*>(found.get())->image();
    }
    return nullptr;
  };
  if (icon.type == 2) return bitmapOf(static_cast<uint32_t>(icon.number));
  if (icon.type != 1) return nullptr;
  if (std::shared_ptr<NamedImageResource> named = findNamedImage(webview, icon.name)) {
    return named->image();
  }
  return bitmapOf(loadImageResource(webview, icon.name, kImageTypeBmp, -1));
}

// ---- rows ----------------------------------------------------------------------------------

PopupRows::PopupRows(const std::string& menuId) : popup_(makePopup(menuId)) {}

std::shared_ptr<zrkmenu::ZrkMenuItem> PopupRows::buildRow(const MenuItemBase& entry,
                                                          const std::weak_ptr<Webview>& webview) {
  zrkmenu::ZrkMenuItem row;
  switch (entry.kind) {
    case kKindSubmenu: {
      const auto* submenu = dynamic_cast<const WinSubmenu*>(&entry);
      std::shared_ptr<zrkmenu::ZrkMenu> nested = submenu ? submenu->popupMenu() : nullptr;
      // A closed submenu, or one that would contain itself, shows no row.
      if (!nested || nested == popup_) return nullptr;
      row.text = submenu->text;
      row.command = std::to_string(entry.rid());
      row.submenu = nested;
      nested->markAsSubmenu();
      break;
    }
    case kKindSeparator:
      row.separator = true;
      row.command = std::to_string(entry.rid());
      break;
    case kKindMenuItem:
    case kKindCheck:
    case kKindIcon: {
      const auto& item = static_cast<const MenuItem&>(entry);
      row.text = item.text;
      row.id = item.id;
      row.disabled = !item.enabled;
      row.command = std::to_string(entry.rid());
      if (entry.kind == kKindCheck) row.checkMark = item.checked ? 1 : 0;
      if (entry.kind == kKindIcon) {
        std::shared_ptr<Webview> owner = webview.lock();
        row.icon = menuIconImage(static_cast<const IconMenuItem&>(entry).icon, owner.get());
      }
      break;
    }
    default:
      return nullptr;
  }
  return std::make_shared<zrkmenu::ZrkMenuItem>(std::move(row));
}

void PopupRows::sync(const MenuItemList::Items& entries, const std::weak_ptr<Webview>& webview) {
  if (!popup_) return;
  std::vector<Slot> old;
  old.swap(slots_);
  std::vector<bool> used(old.size(), false);
  std::vector<std::shared_ptr<zrkmenu::ZrkMenuItem>> rows;
  for (const auto& entry : entries) {
    Slot slot{entry, nullptr};
    bool kept = false;
    for (size_t i = 0; i < old.size(); ++i) {
      if (!used[i] && old[i].entry == entry) {
        used[i] = true;
        slot.row = old[i].row;
        kept = true;
        break;
      }
    }
    if (!kept) slot.row = buildRow(*entry, webview);
    if (slot.row) rows.push_back(slot.row);
    slots_.push_back(std::move(slot));
  }
  popup_->items = std::move(rows);
}

void PopupRows::refresh(uint32_t rid, int what, const std::weak_ptr<Webview>& webview) {
  if (!popup_) return;
  for (Slot& slot : slots_) {
    if (!slot.row || slot.entry->rid() != rid) continue;
    auto* item = dynamic_cast<MenuItem*>(slot.entry.get());
    if (item == nullptr || slot.entry->kind == kKindSeparator) continue;
    zrkmenu::ZrkMenuItem& row = *slot.row;
    if (what & kChangeText) row.text = item->text;
    if ((what & kChangeChecked) && item->kind == kKindCheck) row.checkMark = item->checked ? 1 : 0;
    if ((what & kChangeEnabled) && item->kind != kKindSubmenu) row.disabled = !item->enabled;
    if ((what & kChangeIcon) && item->kind == kKindIcon) {
      const MenuIcon& icon = static_cast<IconMenuItem*>(item)->icon;
      if (icon.type == 0) {
        row.icon.reset();
        row.altIcon.reset();
      } else {
        std::shared_ptr<Webview> owner = webview.lock();
        if (auto image = menuIconImage(icon, owner.get())) row.icon = std::move(image);
      }
    }
  }
}

std::shared_ptr<void> PopupRows::detach() {
  using Bundle = std::pair<std::shared_ptr<zrkmenu::ZrkMenu>, std::vector<Slot>>;
  auto bundle = std::make_shared<Bundle>(std::move(popup_), std::move(slots_));
  popup_.reset();
  slots_.clear();
  return bundle;
}

void PopupRows::drop() {
  std::shared_ptr<zrkmenu::ZrkMenu> popup = std::move(popup_);
  slots_.clear();
  // A popup on screen ends as a dismissal before it goes.
  if (popup && popup->hwnd && desk::IsWindow(popup->hwnd) && desk::IsWindowVisible(popup->hwnd)) {
    desk::SendMessage(popup->hwnd, zrkmenu::MENU_MSG_DISMISS, 0, 0);
  }
}

// ---- popups and routing --------------------------------------------------------------------

namespace {

struct PopupTask {
  desk::HWND owner = nullptr;
  std::shared_ptr<Webview> webview;
  uint32_t handler = 0;
  int32_t align = 0;
  std::shared_ptr<Window> window;
  MenuPoint position;
  std::shared_ptr<MenuItemBase> menu;  // owned: the page may close it before the task runs
  std::function<std::shared_ptr<zrkmenu::ZrkMenu>()> popupMenu;
  bool submenu = false;
};

bool autoDestroyOf(const PopupTask& task) {
  MenuContainer* container = asContainer(task.menu.get());
  return container != nullptr && container->autoDestroy;
}

// Posts "wm_command" for the chosen row (its command is the entry's rid), then tells the popup's
// page callback the chosen id.
void report(const PopupTask& task, const std::string& id,
            std::shared_ptr<zrkmenu::ZrkMenuItem> row,
            const std::shared_ptr<zrkmenu::ZrkMenu>& popup) {
  if (!row && !id.empty() && popup) row = popup->findItem(id, true);
  if (row) {
    const uint32_t command =
        row->command.empty() ? 0 : static_cast<uint32_t>(std::strtoul(row->command.c_str(), nullptr, 10));
    auto userInfo = std::make_shared<Vesk::TDictionary>();
    userInfo->set("command", std::make_shared<Vesk::TNumber>(command));
    if (task.window) userInfo->set("window", task.window);
    if (task.webview) userInfo->set("webview", task.webview);
    Vesk::TNotificationCenter::defaultCenter()->postNotification("wm_command", nullptr, userInfo);
  }
  if (task.handler != 0 && task.webview) task.webview->sendChannelData(task.handler, nlohmann::json(id));
}

// Closes an auto-destroying menu after its popup: later, on the UI thread, so the popup menu is
// never released inside its own window procedure.
void closeLater(const PopupTask& task) {
  if (!autoDestroyOf(task)) return;
  std::shared_ptr<MenuItemBase> menu = task.menu;
  dispatch_queue_t main = dispatch_get_main_queue();
  if (main == nullptr) {
    runGuarded([&menu] { menu->close(); });
    return;
  }
  dispatch_async(main, [menu] { runGuarded([&menu] { menu->close(); }); });
}

void runPopupTask(const PopupTask& task) {
  std::shared_ptr<zrkmenu::ZrkMenu> popup = task.popupMenu();
  if (!popup) {
    // Closed before its turn came: the page's popup call ends as a dismissal.
    report(task, "", nullptr, nullptr);
    return;
  }
  desk::POINT point{static_cast<int>(task.position.x), static_cast<int>(task.position.y)};
  if (task.owner != nullptr && desk::IsWindow(task.owner)) {
    desk::ClientToScreen(task.owner, &point);
    desk::SetForegroundWindow(task.owner);
  }
  const int flags = task.align != 0 ? trackFlagsOf(task.align) : 0;
  const bool modal = (flags & zrkmenu::TPM_RETURNCMD) != 0;
  if (!modal) {
    std::weak_ptr<zrkmenu::ZrkMenu> weakPopup = popup;
    popup->setCommandHandler([task, weakPopup](const std::string& id) {
      runGuarded([&] {
        ZRK_LOG_INFO("TrackPopupMenu ret: %s", id.c_str());
        std::shared_ptr<zrkmenu::ZrkMenu> shown = weakPopup.lock();
        report(task, id, shown ? shown->lastChosenItem() : nullptr, shown);
        closeLater(task);
      });
    });
  }
  std::string result;
  popup->trackPopup(result, point.x, point.y, task.owner, flags, 100);
  if (modal) {
    report(task, result, popup->lastChosenItem(), popup);
    if (task.submenu) ZRK_LOG_INFO("TrackPopupMenu ret: %d", result.empty() ? 0 : 1);
    closeLater(task);
  }
}

void queuePopup(PopupTask task, const std::shared_ptr<Window>& window,
                const std::shared_ptr<Webview>& webview, MenuPoint position,
                const nlohmann::json& options) {
  task.owner = window ? window->nativeHandle() : nullptr;
  task.webview = webview ? webview->shared_from_this() : nullptr;
  task.handler = numbers::uint32Or(options, "handler", 0);
  task.align = numbers::int32Or(options, "align", 0);
  task.window = window;
  task.position = position;
  dispatch_queue_t main = dispatch_get_main_queue();
  if (main == nullptr) {
    ZRK_LOG_WARN("menu popup without a UI thread queue: dropped");
    return;
  }
  dispatch_async(main, [task = std::move(task)] { runGuarded([&task] { runPopupTask(task); }); });
}

}  // namespace

void onMenuCommand(const std::shared_ptr<Vesk::TNotification>& notification) {
  runGuarded([&] {
    std::shared_ptr<Vesk::TDictionary> info = notification ? notification->userInfo() : nullptr;
    if (!info) return;
    auto number = std::dynamic_pointer_cast<Vesk::TNumber>(info->objectForKey("command"));
    auto window = std::dynamic_pointer_cast<Window>(info->objectForKey("window"));
    auto popupWebview = std::dynamic_pointer_cast<Webview>(info->objectForKey("webview"));
    if (!number || (!window && !popupWebview)) return;
    const uint32_t command = number->unsignedIntValue();
    ZRK_LOG_INFO("wm_command: %d", static_cast<int>(command));

    std::shared_ptr<MenuItem> entry;
    std::shared_ptr<Webview> owner;
    auto look = [&](const std::shared_ptr<Webview>& webview) {
      if (!webview) return;
      std::shared_ptr<Resource> found = webview->resourceManager()->find(command);
      if (found && found->isKindOfClass(&MenuItem::classDescriptor)) {
        entry = std::static_pointer_cast<MenuItem>(found);
        owner = webview;
      }
    };
    if (popupWebview) {
      look(popupWebview);
    } else {
      window->forEachWebview(look);
    }
    if (!entry) {
      std::printf("could not find menuitem with id: %u\n", command);
      return;
    }
    if (entry->handler.empty()) return;
    uint32_t channel = 0;
    try {
      channel = parseChannelCallback(entry->handler);
    } catch (const std::exception& e) {
      ZRK_LOG_WARN("menu entry %u: handler \"%s\" is no channel: %s", command,
                   entry->handler.c_str(), e.what());
      return;
    }
    owner->sendChannelData(channel, nlohmann::json{{"message", entry->id}, {"id", -1}});
  });
}

// ---- menus ---------------------------------------------------------------------------------

namespace {

// Closes the children of a list: entries at once, menus and submenus after (their close takes
// this list's lock again through removeByRid).
void closeChildren(MenuItemList& list) {
  MenuItemList::Items children = list.copy();
  std::vector<std::shared_ptr<MenuItemBase>> containers;
  for (const auto& child : children) {
    if (asContainer(child.get()) != nullptr) {
      containers.push_back(child);
    } else {
      child->close();
    }
  }
  for (const auto& child : containers) child->close();
  list.takeAll();
}

}  // namespace

WinMenu::WinMenu(uint32_t rid, const std::string& id, bool autoDestroy)
    : Menu(rid, id, autoDestroy), rows_(id) {}

WinMenu::~WinMenu() { releaseOnUiThread(rows_.detach()); }

void WinMenu::syncRows() {
  std::weak_ptr<Webview> owner = webview_;
  runOnUiThread([this, &owner] { rows_.sync(list.copy(), owner); });
}

void WinMenu::insertItem(const std::shared_ptr<MenuItemBase>& item, int mode, int position) {
  Menu::insertItem(item, mode, position);
  syncRows();
}

void WinMenu::removeByRid(uint32_t rid) {
  Menu::removeByRid(rid);
  syncRows();
}

void WinMenu::removeItem(const std::shared_ptr<MenuItemBase>& item) {
  if (!item) return;
  Menu::removeItem(item);
  syncRows();
}

void WinMenu::updateItem(uint32_t rid, int what) {
  std::weak_ptr<Webview> owner = webview_;
  runOnUiThread([this, rid, what, &owner] { rows_.refresh(rid, what, owner); });
}

void WinMenu::close() {
  closeChildren(list);
  runOnUiThread([this] { rows_.drop(); });
  ResourceInternal::close();
}

void WinMenu::popup(const std::shared_ptr<Window>& window, const std::shared_ptr<Webview>& webview,
                    MenuPoint position, const nlohmann::json& options) {
  PopupTask task;
  auto self = std::static_pointer_cast<WinMenu>(shared_from_this());
  task.menu = self;
  task.popupMenu = [self] { return self->popupMenu(); };
  queuePopup(std::move(task), window, webview, position, options);
}

WinSubmenu::WinSubmenu(uint32_t rid, const std::string& id, const std::string& text,
                       bool autoDestroy)
    : Submenu(rid, id, text, autoDestroy), rows_(id) {}

WinSubmenu::~WinSubmenu() { releaseOnUiThread(rows_.detach()); }

void WinSubmenu::syncRows() {
  std::weak_ptr<Webview> owner = webview_;
  runOnUiThread([this, &owner] { rows_.sync(list.copy(), owner); });
}

void WinSubmenu::insertItem(const std::shared_ptr<MenuItemBase>& item, int mode, int position) {
  Submenu::insertItem(item, mode, position);
  syncRows();
}

void WinSubmenu::removeByRid(uint32_t rid) {
  Submenu::removeByRid(rid);
  syncRows();
}

void WinSubmenu::removeItem(const std::shared_ptr<MenuItemBase>& item) {
  if (!item) return;
  Submenu::removeItem(item);
  syncRows();
}

void WinSubmenu::updateItem(uint32_t rid, int what) {
  std::weak_ptr<Webview> owner = webview_;
  if (owner.expired()) return;
  runOnUiThread([this, rid, what, &owner] { rows_.refresh(rid, what, owner); });
}

void WinSubmenu::close() {
  std::shared_ptr<Webview> webview = webview_.lock();
  if (!webview) return;
  if (const uint32_t parent = parentRid.load()) {
    std::shared_ptr<Resource> found = webview->resourceManager()->find(parent);
    if (MenuContainer* container = asContainer(found.get())) container->removeByRid(id_);
  }
  closeChildren(list);
  runOnUiThread([this] { rows_.drop(); });
  ResourceInternal::close();
}

void WinSubmenu::popup(const std::shared_ptr<Window>& window,
                       const std::shared_ptr<Webview>& webview, MenuPoint position,
                       const nlohmann::json& options) {
  PopupTask task;
  auto self = std::static_pointer_cast<WinSubmenu>(shared_from_this());
  task.menu = self;
  task.popupMenu = [self] { return self->popupMenu(); };
  task.submenu = true;
  queuePopup(std::move(task), window, webview, position, options);
}

// ---- factories -----------------------------------------------------------------------------

std::shared_ptr<Menu> Menu::create(uint32_t rid, const std::string& id, bool autoDestroy) {
  return std::make_shared<WinMenu>(rid, id, autoDestroy);
}

std::shared_ptr<Submenu> Submenu::create(uint32_t rid, const std::string& id,
                                         const std::string& text, bool autoDestroy) {
  return std::make_shared<WinSubmenu>(rid, id, text, autoDestroy);
}

std::shared_ptr<MenuItem> MenuItem::create(uint32_t rid, const std::string& id,
                                           const std::string& text,
                                           const std::string& accelerator) {
  auto item = std::make_shared<WinMenuItem>(rid, id, text);
  item->accelerator = accelerator;
  return item;
}

std::shared_ptr<CheckMenuItem> CheckMenuItem::create(uint32_t rid, const std::string& id,
                                                     const std::string& text,
                                                     const std::string& accelerator, bool checked) {
  auto item = std::make_shared<WinCheckMenuItem>(rid, id, text, checked);
  item->accelerator = accelerator;
  return item;
}

std::shared_ptr<IconMenuItem> IconMenuItem::create(uint32_t rid, const std::string& id,
                                                   const std::string& text,
                                                   const std::string& accelerator,
                                                   const MenuIcon& icon) {
  auto item = std::make_shared<WinIconMenuItem>(rid, id, text);
  item->icon = icon;
  item->accelerator = accelerator;
  return item;
}

std::shared_ptr<SeparatorMenuItem> SeparatorMenuItem::create(uint32_t rid) {
  return std::make_shared<WinSeparatorMenuItem>(rid);
}

std::shared_ptr<Menu> Menu::removeWindowMenu(const std::shared_ptr<Window>& window,
                                             const std::shared_ptr<Webview>& webview) {
  (void)webview;
  if (window) {
    desk::HWND handle = window->nativeHandle();
    if (handle != nullptr && desk::IsWindow(handle)) {
      desk::GetMenu(handle);
      desk::SetMenu(handle, nullptr);
    }
  }
  return nullptr;
}

}  // namespace zrk::plugin
