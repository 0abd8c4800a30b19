// The menu plugin ("menu"): pages build menus, submenus and entries as resources of their
// webview, read and change them, pop menus up and choose the popup style. What a popup and a
// click do on screen is the popup back end's (win-menu.h).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "vesk/tnotification.h"
#include "zrkwebview/browser/src/http-plugins/menu/menu-model.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class MenuPlugin;

struct MenuCommandContext {
  MenuPlugin* plugin = nullptr;
  std::shared_ptr<Webview> webview;
  std::shared_ptr<ResourceManager> manager;
};

using MenuReply = std::shared_ptr<http::HttpResponse>;

// Makes the objects of an item list and inserts each, one at a time with the same mode and
// position, into `parent` (a Menu or a Submenu). Throws std::runtime_error "Failed to create menu
// item" for a reference to no entry and for a kind it does not make; nothing made before is
// undone.
void createMenuItemFromJson(const MenuCommandContext& context,
                            const std::shared_ptr<MenuItemBase>& parent, const nlohmann::json& items,
                            int mode, int position);

class MenuPlugin : public Plugin {
  VESK_DECLARE_CLASS(MenuPlugin, Plugin, "zrk::plugin")

 public:
  using InsertItemsCallback = std::function<MenuReply(const nlohmann::json&, int mode, int position)>;

  // Registers the "wm_command" observer that routes clicks to entries.
  MenuPlugin();
  // The observer stays registered for the life of the process.
  ~MenuPlugin() override;

  // Empty without a webview; std::bad_weak_ptr escapes for a webview that is going away. Other
  // standard exceptions of a command answer 400 with their message.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // "new": one object of the payload's kind, answered as [rid, id].
  static MenuReply newItem(const nlohmann::json& payload, const MenuCommandContext& context);
  // "append", "prepend", "insert".
  static MenuReply insertItems(const MenuCommandContext& context, const nlohmann::json& payload,
                               int mode, int position);

  void platformInit();
  void platformShutdown();

  Vesk::TNotificationCenter::HandlerPtr commandObserver;
};

void registerMenuPlugin();

}  // namespace zrk::plugin
