#include "zrkwebview/browser/src/http-plugins/menu/menu-model.h"

#include <algorithm>

#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

const char* MenuItemBase::kindName(int32_t kind) {
  static const char* const kNames[] = {"MenuItem", "Check",     "Icon",      "Submenu",
                                       "Menu",     "Separator", "Predifined"};
  return kind >= 0 && kind <= 6 ? kNames[kind] : "unknown";
}

MenuContainer* asContainer(Resource* object) {
  if (object == nullptr) return nullptr;
  if (object->isKindOfClass(&Menu::classDescriptor)) return static_cast<Menu*>(object);
  if (object->isKindOfClass(&Submenu::classDescriptor)) return static_cast<Submenu*>(object);
  return nullptr;
}

void MenuItem::update(int what) {
  const uint32_t parent = parentRid.load();
  std::shared_ptr<Webview> webview = webview_.lock();
  if (parent == 0 || !webview) return;
  std::shared_ptr<Resource> found = webview->resourceManager()->find(parent);
  // Entries of top-level menus are refreshed as well as those of submenus.
  if (MenuContainer* container = asContainer(found.get())) container->updateItem(id_, what);
}

// ---- lists ---------------------------------------------------------------------------------

namespace {

void setParent(const std::shared_ptr<MenuItemBase>& item, uint32_t rid) {
  if (auto* entry = dynamic_cast<MenuItem*>(item.get())) entry->parentRid = rid;
}

}  // namespace

void MenuItemList::insert(uint32_t ownerRid, const std::shared_ptr<MenuItemBase>& item, int mode,
                          int position) {
  if (!item) return;
  std::lock_guard<std::mutex> lock(mutex);
  if (mode == Append) {
    items_.push_back(item);
  } else if (mode == Prepend) {
    items_.insert(items_.begin(), item);
  } else if (mode == Insert) {
    if (position < 0 || static_cast<size_t>(position) >= items_.size()) {
      items_.push_back(item);
    } else {
      items_.insert(items_.begin() + position, item);
    }
  }
  setParent(item, ownerRid);
}

void MenuItemList::removeByRid(uint32_t rid) {
  std::lock_guard<std::mutex> lock(mutex);
  auto kept = std::stable_partition(items_.begin(), items_.end(),
                                    [rid](const auto& item) { return item->rid() != rid; });
  for (auto it = kept; it != items_.end(); ++it) setParent(*it, 0);
  items_.erase(kept, items_.end());
}

void MenuItemList::remove(const std::shared_ptr<MenuItemBase>& item) {
  std::lock_guard<std::mutex> lock(mutex);
  items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
  setParent(item, 0);
}

std::shared_ptr<MenuItemBase> MenuItemList::find(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& item : items_) {
    if (item->id == id) return item;
  }
  return nullptr;
}

std::shared_ptr<MenuItemBase> MenuItemList::at(int index) {
  std::lock_guard<std::mutex> lock(mutex);
  if (index < 0 || static_cast<size_t>(index) >= items_.size()) return nullptr;
  return items_[static_cast<size_t>(index)];
}

MenuItemList::Items MenuItemList::copy() {
  std::lock_guard<std::mutex> lock(mutex);
  return items_;
}

MenuItemList::Items MenuItemList::takeAll() {
  std::lock_guard<std::mutex> lock(mutex);
  Items taken;
  taken.swap(items_);
  return taken;
}

void MenuContainer::insertItem(const std::shared_ptr<MenuItemBase>& item, int mode, int position) {
  list.insert(containerRid(), item, mode, position);
}

void MenuContainer::removeByRid(uint32_t rid) { list.removeByRid(rid); }

void MenuContainer::removeItem(const std::shared_ptr<MenuItemBase>& item) { list.remove(item); }

// ---- window menus --------------------------------------------------------------------------

std::shared_ptr<Menu> Menu::setAsWindowMenu(const std::shared_ptr<Window>& window) {
  (void)window;
  return nullptr;
}

std::shared_ptr<Menu> createAppMainMenu(const std::shared_ptr<Webview>& webview, uint32_t rid,
                                        const std::string& id) {
  (void)webview;
  (void)rid;
  (void)id;
  return nullptr;
}

}  // namespace zrk::plugin
