#include "zrkwebview/browser/src/http-plugins/tray/tray-plugin.h"

#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/image/json-numbers.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http-plugins/tray/tray-resource.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/resource.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

namespace {

using nlohmann::json;
using Reply = std::shared_ptr<http::HttpResponse>;

Reply refuse(const char* text, int status = 400) {
  return std::make_shared<http::HttpStatusResponse>(status, std::string(text));
}

Reply jsonReply(const json& value) {
  return std::make_shared<http::HttpMimeResponse>(value.dump(), "application/json");
}

// [rid, trayId]
Reply trayHandle(const TrayResource& tray) { return jsonReply(json::array({tray.id(), tray.trayId()})); }

Reply statusOnly() { return std::make_shared<http::HttpStatusResponse>(200); }

// "rid": a JSON number read as a 32-bit int (a fraction dropped); 0 is no rid.
std::optional<uint32_t> ridOf(const json& payload) {
  const json* rid = payload::member(payload, "rid");
  if (rid == nullptr) return std::nullopt;
  std::optional<int32_t> value = numbers::int32Of(*rid);
  if (!value || *value == 0) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

std::shared_ptr<TrayResource> findTray(Webview* webview, uint32_t rid) {
  return std::dynamic_pointer_cast<TrayResource>(webview->resourceManager()->find(rid));
}

// The rid commands: the rid first, then the command's own key, then the tray.
Reply withTray(const json& payload, Webview* webview, bool keyValid, const char* invalidKey,
               const char* failed, const std::function<Reply(TrayResource&)>& run) {
  const std::optional<uint32_t> rid = ridOf(payload);
  if (!rid) return refuse("Invalid rid");
  if (!keyValid) return refuse(invalidKey);
  std::shared_ptr<TrayResource> tray = findTray(webview, *rid);
  if (!tray) return refuse(failed);
  return run(*tray);
}

// The first tray of the webview, in rid order, whose identifier is `id`. The manager's walk only
// finds it; whatever is done with it happens after the walk.
std::shared_ptr<TrayResource> trayById(Webview* webview, const std::string& id) {
  std::shared_ptr<TrayResource> found;
  webview->resourceManager()->forEach([&](const std::shared_ptr<Resource>& resource, bool& stop) {
    if (!resource || !resource->isKindOfClass(&TrayResource::classDescriptor)) return;
    auto tray = std::dynamic_pointer_cast<TrayResource>(resource);
    if (tray && tray->trayId() == id) {
      found = std::move(tray);
      stop = true;
    }
  });
  return found;
}

std::optional<std::string> idOf(const json& payload) {
  const json* id = payload::member(payload, "id");
  if (id == nullptr || !id->is_string() || id->get_ref<const std::string&>().empty()) {
    return std::nullopt;
  }
  return id->get<std::string>();
}

Reply newTray(const json& payload, Webview* webview) {
  const json* handler = payload::member(payload, "handler");
  if (handler == nullptr || !handler->is_string() ||
      handler->get_ref<const std::string&>().empty()) {
    return refuse("Invalid handler");
  }
  const json* options = payload::member(payload, "options");
  if (options == nullptr) return refuse("Invalid options");
  std::shared_ptr<TrayResource> tray =
      TrayResource::create(webview->shared_from_this(), *options, handler->get<std::string>());
  if (!tray) return refuse("Failed to create tray");
  return trayHandle(*tray);
}

Reply setMenu(const json& payload, Webview* webview) {
  return withTray(payload, webview, true, nullptr, "Failed to set menu", [&payload](TrayResource& tray) {
    const json* menu = payload::member(payload, "menu");
    if (menu == nullptr || menu->is_null() || (menu->is_object() && menu->empty()) ||
        (menu->is_array() && menu->empty())) {
      tray.setMenu(0, std::string());
    } else if (menu->is_array()) {
      const uint32_t rid = trayMenuRid(*menu);
      const std::string kind = menu->size() >= 2 ? (*menu)[1].get<std::string>() : std::string();
      tray.setMenu(rid, kind);
    }
    return jsonReply(true);
  });
}

}  // namespace

TrayPlugin::TrayPlugin() {
  name_ = "tray";
  description_ = "tray plugin";
  version_ = "1.0";
}

std::shared_ptr<Vesk::TObject> TrayPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                  http::HttpResponseConnection* connection,
                                                  http::HttpRequest* request,
                                                  const nlohmann::json& payload) {
  (void)connection;
  if (webview == nullptr) return nullptr;
  const std::shared_ptr<zrk::Webview> held = webview->shared_from_this();
  CommandTable table{
      {"new", [](const json& p, Webview* w, http::HttpRequest*) { return newTray(p, w); }},
      {"set_tooltip",
       [](const json& p, Webview* w, http::HttpRequest*) {
         const json* tooltip = payload::member(p, "tooltip");
         return withTray(p, w, tooltip != nullptr && tooltip->is_string(), "Invalid tooltip",
                         "Failed to set tooltip", [tooltip](TrayResource& tray) {
                           tray.setTooltip(tooltip->get<std::string>());
                           tray.update(kTrayPropertyTooltip);
                           return trayHandle(tray);
                         });
       }},
      {"set_title",
       [](const json& p, Webview* w, http::HttpRequest*) {
         const json* title = payload::member(p, "title");
         return withTray(p, w, title != nullptr && title->is_string(), "Invalid title",
                         "Failed to set ttitle", [title](TrayResource& tray) {
                           tray.setTitle(title->get<std::string>());
                           tray.update(kTrayPropertyTitle);
                           return trayHandle(tray);
                         });
       }},
      {"set_icon_as_template", [](const json&, Webview*, http::HttpRequest*) { return statusOnly(); }},
      {"set_menu_on_left_click", [](const json&, Webview*, http::HttpRequest*) { return statusOnly(); }},
      {"set_icon",
       [](const json& p, Webview* w, http::HttpRequest*) {
         const json* icon = payload::member(p, "icon");
         return withTray(p, w, icon != nullptr, "Invalid icon", "Failed to set icon",
                         [icon](TrayResource& tray) {
                           tray.setIcon(*icon);
                           return jsonReply(true);
                         });
       }},
      {"set_menu", [](const json& p, Webview* w, http::HttpRequest*) { return setMenu(p, w); }},
      {"set_visible",
       [](const json& p, Webview* w, http::HttpRequest*) {
         const json* visible = payload::member(p, "visible");
         return withTray(p, w, visible != nullptr && visible->is_boolean(), "Invalid visible",
                         "Failed to set visible", [visible](TrayResource& tray) {
                           tray.setVisible(visible->get<bool>());
                           return jsonReply(true);
                         });
       }},
      {"get_by_id",
       [](const json& p, Webview* w, http::HttpRequest*) {
         const std::optional<std::string> id = idOf(p);
         if (!id) return refuse("Invalid id");
         std::shared_ptr<TrayResource> tray = trayById(w, *id);
         return tray ? trayHandle(*tray) : jsonReply(nullptr);
       }},
      {"remove_by_id",
       [](const json& p, Webview* w, http::HttpRequest*) {
         const std::optional<std::string> id = idOf(p);
         if (!id) return refuse("Invalid id");
         std::shared_ptr<TrayResource> tray = trayById(w, *id);
         if (!tray) return refuse("Not found", 404);
         tray->close();
         return statusOnly();
       }},
  };
  return runCommand(table, command, payload, held.get(), request);
}

void registerTrayPlugin() { registerPluginOnce<TrayPlugin>(); }

}  // namespace zrk::plugin
