#include "zrkwebview/browser/src/http-plugins/menu/menu-plugin.h"

#include <map>
#include <stdexcept>

#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/http-plugins/image/json-numbers.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-config.h"
#include "zrkwebview/browser/src/http-plugins/menu/win-menu.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window.h"

namespace zrk::plugin {

namespace {

using nlohmann::json;

const char kNoRid[] = "Could not find the menu with given resourcid id.";

MenuReply refuse(const std::string& text) {
  return std::make_shared<http::HttpStatusResponse>(400, text);
}

MenuReply jsonReply(const std::string& body) {
  return std::make_shared<http::HttpMimeResponse>(body, "application/json");
}

MenuReply textReply(const std::string& body) {
  return std::make_shared<http::HttpMimeResponse>(body, "text/plain");
}

json triple(const MenuItemBase& object) {
  return json::array({object.rid(), object.id, object.kindName()});
}

json pair(const MenuItemBase& object) { return json::array({object.rid(), object.id}); }

MenuIcon iconOf(const json& payload) {
  MenuIcon icon;
  const json* value = payload::member(payload, "icon");
  if (value == nullptr) return icon;
  if (value->is_string()) {
    icon.type = 1;
    icon.name = value->get<std::string>();
  } else if (std::optional<int32_t> number = numbers::int32Of(*value)) {
    icon.type = 2;
    icon.number = *number;
  }
  return icon;
}

void setOwner(const std::shared_ptr<MenuItemBase>& object, const MenuCommandContext& context) {
  object->setWebview(context.webview);
}

// The elements of an item list: an array's elements, an object's values, nothing for null or an
// empty container, any other value alone.
std::vector<const json*> elementsOf(const json& list) {
  std::vector<const json*> elements;
  if (list.is_array() || list.is_object()) {
    for (const json& element : list) elements.push_back(&element);
  } else if (!list.is_null()) {
    elements.push_back(&list);
  }
  return elements;
}

void insertInto(const std::shared_ptr<MenuItemBase>& parent,
                const std::shared_ptr<MenuItemBase>& object, int mode, int position) {
  if (MenuContainer* container = asContainer(parent.get())) {
    container->insertItem(object, mode, position);
  }
}

// The object a payload's "rid" names in the calling webview, or empty.
std::shared_ptr<Resource> target(const json& payload, const MenuCommandContext& context) {
  const uint32_t rid = numbers::uint32Or(payload, "rid", 0);
  return context.manager->find(rid);
}

// The list named by "kind" ("Menu" or "Submenu") if the object is of that class; otherwise the
// refusal text in `error`.
MenuContainer* listByKind(const json& payload, Resource* object, std::string& error) {
  const std::string kind = payload::stringOr(payload, "kind");
  if (kind == "Menu") {
    if (object->isKindOfClass(&Menu::classDescriptor)) return static_cast<Menu*>(object);
    error = "Invalid item";
  } else if (kind == "Submenu") {
    if (object->isKindOfClass(&Submenu::classDescriptor)) return static_cast<Submenu*>(object);
    error = "Invalid item";
  } else {
    error = "Not a menu or submenu";
  }
  return nullptr;
}

std::shared_ptr<Window> windowOf(const json& payload) {
  const std::string label = payload::stringOr(payload, "window");
  if (label.empty()) return nullptr;
  return App::instance()->findWindow(label);
}

MenuPoint positionOf(const json& payload, const std::shared_ptr<Window>& window) {
  MenuPoint point;
  const json* pos = payload::member(payload, "pos");
  if (pos == nullptr) return point;
  auto read = [&point](const json& at) {
    point.x = static_cast<float>(numbers::int32Or(at, "x", 0));
    point.y = static_cast<float>(numbers::int32Or(at, "y", 0));
  };
  if (const json* physical = payload::member(*pos, "Physical")) {
    read(*physical);
  } else if (const json* logical = payload::member(*pos, "Logical")) {
    read(*logical);
    if (window) {
      const double scale = window->scaleFactor();
      point.x = static_cast<float>(point.x * scale);
      point.y = static_cast<float>(point.y * scale);
    }
  }
  return point;
}

// ---- commands ------------------------------------------------------------------------------

using Command = std::function<MenuReply(const json&, const MenuCommandContext&,
                                        const MenuPlugin::InsertItemsCallback&)>;

// A command on a list named by "rid" and "kind".
template <typename Body>
Command onList(Body body) {
  return [body](const json& p, const MenuCommandContext& c, const MenuPlugin::InsertItemsCallback&) {
    std::shared_ptr<Resource> object = target(p, c);
    if (!object) return refuse(kNoRid);
    std::string error;
    MenuContainer* list = listByKind(p, object.get(), error);
    if (list == nullptr) return refuse(error);
    return body(p, *list, *std::static_pointer_cast<MenuItemBase>(object));
  };
}

// A command on an entry of class T named by "rid".
template <typename T, typename Body>
Command onEntry(const char* refusal, Body body) {
  return [refusal, body](const json& p, const MenuCommandContext& c,
                         const MenuPlugin::InsertItemsCallback&) {
    std::shared_ptr<Resource> object = target(p, c);
    if (!object) return refuse(kNoRid);
    if (!object->isKindOfClass(&T::classDescriptor)) return refuse(refusal);
    return body(p, static_cast<T&>(*object));
  };
}

// Writes entry fields on the UI thread, where the rows are read, then refreshes the rows.
template <typename T, typename Write>
MenuReply change(T& entry, int what, Write write) {
  runOnUiThread([&] {
    write(entry);
    entry.update(what);
  });
  return jsonReply("true");
}

std::map<std::string, Command> commandTable() {
  std::map<std::string, Command> table;
  table["new"] = [](const json& p, const MenuCommandContext& c, const MenuPlugin::InsertItemsCallback&) {
    return MenuPlugin::newItem(p, c);
  };
  table["append"] = [](const json& p, const MenuCommandContext&, const MenuPlugin::InsertItemsCallback& insert) {
    return insert(p, Append, -1);
  };
  table["prepend"] = [](const json& p, const MenuCommandContext&, const MenuPlugin::InsertItemsCallback& insert) {
    return insert(p, Prepend, -1);
  };
  table["insert"] = [](const json& p, const MenuCommandContext&, const MenuPlugin::InsertItemsCallback& insert) {
    return insert(p, Insert, numbers::int32Or(p, "position", -1));
  };
  table["remove"] = [](const json& p, const MenuCommandContext& c, const MenuPlugin::InsertItemsCallback&) {
    std::shared_ptr<Resource> object = target(p, c);
    if (!object) return refuse(kNoRid);
    const json* item = payload::member(p, "item");
    if (item == nullptr) return refuse("Invalid item");
    if (!item->is_array()) return refuse("Item not specified");
    uint32_t rid = 0;
    if (!item->empty()) {
      const json& first = (*item)[0];
      rid = numbers::uint32Of(first).value_or(0);
      if (!first.is_number()) rid = first.get<uint32_t>();  // the JSON type error
      if (item->size() > 1) (void)(*item)[1].get<std::string>();
    }
    std::string error;
    MenuContainer* list = listByKind(p, object.get(), error);
    if (list == nullptr) return refuse(error);
    list->removeByRid(rid);
    return jsonReply("true");
  };
  table["remove_at"] = onList([](const json& p, MenuContainer& list, MenuItemBase&) {
    std::shared_ptr<MenuItemBase> entry = list.itemAt(numbers::int32Or(p, "position", -1));
    if (!entry) return refuse("Could not find the menu item at the given position");
    list.removeByRid(entry->rid());
    return jsonReply(triple(*entry).dump());
  });
  table["items"] = onList([](const json&, MenuContainer& list, MenuItemBase&) {
    json all = json::array();
    for (const auto& entry : list.itemsCopy()) all.push_back(triple(*entry));
    return jsonReply(all.dump());
  });
  table["get_at"] = onList([](const json& p, MenuContainer& list, MenuItemBase&) {
    std::shared_ptr<MenuItemBase> entry = list.itemAt(numbers::int32Or(p, "index", -1));
    return jsonReply(entry ? triple(*entry).dump() : "null");
  });
  table["get"] = [](const json& p, const MenuCommandContext& c, const MenuPlugin::InsertItemsCallback&) {
    std::shared_ptr<Resource> object = target(p, c);
    if (!object) {
      const uint32_t rid = numbers::uint32Or(p, "rid", 0);
      if (rid == 9) {
        if (std::shared_ptr<Menu> main = createAppMainMenu(c.webview, 9, "appMainMenu")) {
          c.manager->add(main);
          return jsonReply(triple(*main).dump());
        }
      }
      return refuse(kNoRid);
    }
    std::string error;
    MenuContainer* list = listByKind(p, object.get(), error);
    if (list == nullptr) return refuse(error);
    const std::string id = payload::stringOr(p, "id");
    if (id.empty()) return jsonReply(triple(static_cast<MenuItemBase&>(*object)).dump());
    // No such child: JSON null, which the page reads as "no entry" (an empty body would not
    // parse as the JSON its content type announces).
    std::shared_ptr<MenuItemBase> entry = list->findItem(id);
    return jsonReply(entry ? triple(*entry).dump() : "null");
  };
  table["popup"] = [](const json& p, const MenuCommandContext& c, const MenuPlugin::InsertItemsCallback&) {
    const std::string kind = payload::stringOr(p, "kind");
    std::shared_ptr<Window> window = windowOf(p);
    const MenuPoint position = positionOf(p, window);
    std::shared_ptr<Resource> object = target(p, c);
    if (!object) return refuse(kNoRid);
    if (kind == "Menu" || kind == "Submenu") {
      const Vesk::TClassInfo* wanted = kind == "Menu" ? &Menu::classDescriptor : &Submenu::classDescriptor;
      if (!object->isKindOfClass(wanted)) return refuse("Invalid item");
      asContainer(object.get())->popup(window, c.webview, position, p);
    }
    return jsonReply("true");
  };
  table["set_as_window_menu"] = [](const json& p, const MenuCommandContext& c, const MenuPlugin::InsertItemsCallback&) {
    std::shared_ptr<Window> window = windowOf(p);
    std::shared_ptr<Resource> object = target(p, c);
    if (!object) return refuse(kNoRid);
    if (!object->isKindOfClass(&Menu::classDescriptor)) return refuse("Invalid item");
    std::shared_ptr<Menu> replaced = static_cast<Menu&>(*object).setAsWindowMenu(window);
    return jsonReply(replaced ? pair(*replaced).dump() : "null");
  };
  table["remove_window_menu"] = [](const json& p, const MenuCommandContext& c, const MenuPlugin::InsertItemsCallback&) {
    std::shared_ptr<Window> window = windowOf(p);
    if (!window) return refuse("Could not find the menu with given window label.");
    std::shared_ptr<Menu> removed = Menu::removeWindowMenu(window, c.webview);
    return jsonReply(removed ? pair(*removed).dump() : "null");
  };
  table["text"] = onEntry<MenuItem>("Not a menu item", [](const json&, MenuItem& e) { return textReply(e.text); });
  table["identifier"] = onEntry<MenuItem>("Not a menu item", [](const json&, MenuItem& e) { return textReply(e.id); });
  table["set_text"] = onEntry<MenuItem>("Not a menu item", [](const json& p, MenuItem& e) {
    const std::string text = payload::stringOr(p, "text");
    return change(e, kChangeText, [&](MenuItem& m) { m.text = text; });
  });
  table["is_enabled"] = onEntry<MenuItem>("Not a menu item", [](const json&, MenuItem& e) {
    return jsonReply(e.enabled ? "true" : "false");
  });
  table["set_enabled"] = onEntry<MenuItem>("Not a menu item", [](const json& p, MenuItem& e) {
    const bool enabled = payload::boolOr(p, "enabled", true);
    return change(e, kChangeEnabled, [&](MenuItem& m) { m.enabled = enabled; });
  });
  table["is_checked"] = onEntry<CheckMenuItem>("Not a check menu item", [](const json&, CheckMenuItem& e) {
    return jsonReply(e.checked ? "true" : "false");
  });
  table["set_checked"] = onEntry<CheckMenuItem>("Not a check menu item", [](const json& p, CheckMenuItem& e) {
    const bool checked = payload::boolOr(p, "checked", false);
    return change(e, kChangeChecked, [&](CheckMenuItem& m) { m.checked = checked; });
  });
  table["accelerator"] = onEntry<MenuItem>("Not a menu item", [](const json&, MenuItem& e) {
    if (e.modifier == 0) return textReply(e.accelerator);
    return jsonReply(json{{"accelerator", e.accelerator}, {"modifier", e.modifier}}.dump());
  });
  table["set_accelerator"] = onEntry<MenuItem>("Not a menu item", [](const json& p, MenuItem& e) {
    const std::string accelerator = payload::stringOr(p, "accelerator");
    const int32_t modifier = numbers::int32Or(p, "modifier", 0);
    return change(e, kChangeAccelerator, [&](MenuItem& m) {
      m.accelerator = accelerator;
      m.modifier = modifier;
    });
  });
  table["set_icon"] = onEntry<IconMenuItem>("Not a menu item", [](const json& p, IconMenuItem& e) {
    const MenuIcon icon = iconOf(p);
    return change(e, kChangeIcon, [&](IconMenuItem& m) { m.icon = icon; });
  });
  table["config"] = [](const json& p, const MenuCommandContext&, const MenuPlugin::InsertItemsCallback&) {
    setMenuConfig(p);
    return std::make_shared<http::HttpStatusResponse>(200, std::string("OK"));
  };
  return table;
}

}  // namespace

// ---- item creation -------------------------------------------------------------------------

void createMenuItemFromJson(const MenuCommandContext& context,
                            const std::shared_ptr<MenuItemBase>& parent, const json& items,
                            int mode, int position) {
  for (const json* element : elementsOf(items)) {
    if (element->is_array()) {
      uint32_t rid = 0;
      if (!element->empty()) {
        const json& first = (*element)[0];
        rid = first.is_number() ? numbers::uint32Of(first).value_or(0) : first.get<uint32_t>();
        if (element->size() > 1) (void)(*element)[1].get<std::string>();
      }
      std::shared_ptr<Resource> found = context.manager->find(rid);
      if (!found || !found->isKindOfClass(&MenuItem::classDescriptor)) {
        throw std::runtime_error("Failed to create menu item");
      }
      insertInto(parent, std::static_pointer_cast<MenuItemBase>(found), mode, position);
      continue;
    }
    const json& spec = *element;
    std::string kind = payload::stringOr(spec, "kind");
    if (kind.empty()) kind = "MenuItem";
    const std::string handler = payload::stringOr(spec, "handler");
    const std::string id = payload::stringOr(spec, "id");
    const std::string text = payload::stringOr(spec, "text");
    const std::string accelerator = payload::stringOr(spec, "accelerator");
    const uint32_t rid = context.manager->nextId();
    std::shared_ptr<MenuItem> object;
    if (kind == "Submenu") {
      std::shared_ptr<Submenu> submenu =
          Submenu::create(rid, id, text, payload::boolOr(spec, "auto_destroy", false));
      setOwner(submenu, context);
      const json* nested = payload::member(spec, "items");
      if (nested != nullptr && nested->is_array()) {
        createMenuItemFromJson(context, submenu, *nested, mode, position);
      }
      object = submenu;
    } else if (kind == "MenuItem") {
      object = MenuItem::create(rid, id, text, accelerator);
    } else if (kind == "Check") {
      object = CheckMenuItem::create(rid, id, text, accelerator,
                                     payload::boolOr(spec, "checked", false));
    } else if (kind == "Icon") {
      object = IconMenuItem::create(rid, id, text, accelerator, iconOf(spec));
    } else if (kind == "Separator") {
      object = SeparatorMenuItem::create(rid);
    } else {
      throw std::runtime_error("Failed to create menu item");
    }
    if (!handler.empty()) object->handler = handler;
    object->modifier = numbers::int32Or(spec, "modifier", 0);
    object->native = payload::boolOr(spec, "native", false);
    context.manager->add(object);
    setOwner(object, context);
    if (const json* enabled = payload::member(spec, "enabled"); enabled && enabled->is_boolean()) {
      object->enabled = enabled->get<bool>();
    }
    insertInto(parent, object, mode, position);
  }
}

MenuReply MenuPlugin::newItem(const json& payload, const MenuCommandContext& context) {
  const uint32_t rid = context.manager->nextId();
  const std::string kind = payload::stringOr(payload, "kind");
  const std::string handler = payload::stringOr(payload, "handler");
  const json* given = payload::member(payload, "options");
  const json options = given != nullptr && given->is_object() ? *given : json::object();
  const std::string id = payload::stringOr(options, "id");
  const std::string text = payload::stringOr(options, "text");
  const std::string accelerator = payload::stringOr(options, "accelerator");
  const bool autoDestroy = payload::boolOr(options, "auto_destroy", false);

  std::shared_ptr<MenuItemBase> object;
  if (kind == "Menu" || kind == "Submenu") {
    std::shared_ptr<MenuItemBase> list;
    if (kind == "Menu") {
      list = Menu::create(rid, id, autoDestroy);
    } else {
      list = Submenu::create(rid, id, text, autoDestroy);
    }
    setOwner(list, context);
    // A submenu's items are built as a menu's are: the page sends them for both.
    if (const json* items = payload::member(options, "items")) {
      createMenuItemFromJson(context, list, *items, Append, -1);
    }
    object = list;
  } else if (kind == "MenuItem") {
    object = MenuItem::create(rid, id, text, accelerator);
  } else if (kind == "Icon") {
    object = IconMenuItem::create(rid, id, text, accelerator, iconOf(options));
  } else if (kind == "Check") {
    object = CheckMenuItem::create(rid, id, text, accelerator,
                                   payload::boolOr(options, "checked", false));
  } else if (kind == "Separator") {
    object = SeparatorMenuItem::create(rid);
  } else {
    return refuse("Bad Request");
  }
  auto* entry = dynamic_cast<MenuItem*>(object.get());
  if (entry != nullptr) entry->modifier = numbers::int32Or(options, "modifier", 0);
  context.manager->add(object);
  if (!handler.empty()) object->handler = handler;
  if (entry != nullptr) {
    if (const json* v = payload::member(options, "enabled"); v && v->is_boolean()) entry->enabled = v->get<bool>();
    if (const json* v = payload::member(options, "native"); v && v->is_boolean()) entry->native = v->get<bool>();
  }
  setOwner(object, context);
  return jsonReply(pair(*object).dump());
}

MenuReply MenuPlugin::insertItems(const MenuCommandContext& context, const json& payload, int mode,
                                  int position) {
  const uint32_t rid = numbers::uint32Or(payload, "rid", 0);
  const std::string kind = payload::stringOr(payload, "kind");
  if (rid == 0) return refuse("Invalid rid value");
  if (kind != "Menu" && kind != "Submenu") return refuse("Invalid kind value");
  std::shared_ptr<Resource> found = context.manager->find(rid);
  if (!found || !found->isKindOfClass(&MenuItemBase::classDescriptor)) {
    return refuse("Could not find menu");
  }
  const json* items = payload::member(payload, "items");
  if (items == nullptr) return refuse("Invalid items");
  if (items->empty()) return refuse("Empty items");
  auto object = std::static_pointer_cast<MenuItemBase>(found);
  setOwner(object, context);
  if (asContainer(object.get()) != nullptr) {
    createMenuItemFromJson(context, object, *items, mode, position);
  }
  return jsonReply("true");
}

// ---- the plugin ----------------------------------------------------------------------------

MenuPlugin::MenuPlugin() {
  name_ = "menu";
  description_ = "menu plugin";
  version_ = "1.0";
  platformInit();
}

MenuPlugin::~MenuPlugin() {
  platformShutdown();
  commandObserver.reset();
}

void MenuPlugin::platformInit() {
  commandObserver = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [](const std::shared_ptr<Vesk::TNotification>& notification) { onMenuCommand(notification); });
  Vesk::TNotificationCenter::defaultCenter()->addObserver("wm_command", commandObserver, nullptr);
}

// The registration stays: the observer calls no member of the plugin, and the notification
// centre may already be gone when the last plugin goes at process exit.
void MenuPlugin::platformShutdown() {}

std::shared_ptr<Vesk::TObject> MenuPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                  http::HttpResponseConnection* connection,
                                                  http::HttpRequest* request, const json& payload) {
  (void)connection;
  (void)request;
  if (webview == nullptr) return nullptr;
  MenuCommandContext context;
  context.plugin = this;
  context.webview = webview->shared_from_this();
  context.manager = context.webview->resourceManager();
  const InsertItemsCallback insert = [&context](const json& p, int mode, int position) {
    return insertItems(context, p, mode, position);
  };
  const std::map<std::string, Command> table = commandTable();
  auto it = table.find(command);
  if (it == table.end()) return nullptr;
  try {
    return it->second(payload, context, insert);
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
}

void registerMenuPlugin() {
  registerPluginOnce<MenuPlugin>();
}

}  // namespace zrk::plugin
