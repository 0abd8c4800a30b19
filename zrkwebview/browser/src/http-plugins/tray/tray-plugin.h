// The tray plugin ("tray"): pages put icons into the notification area (see tray-resource.h) and
// change their tooltip, icon, menu and visibility, addressing a tray by its rid or by the page's
// own identifier.
#pragma once

#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class TrayPlugin : public Plugin {
  VESK_DECLARE_CLASS(TrayPlugin, Plugin, "zrk::plugin")

 public:
  TrayPlugin();
  ~TrayPlugin() override = default;

  // Holds the webview for the call (std::bad_weak_ptr escapes for one that is going away). A
  // command outside the table gives an empty result. Refused payloads answer 400 (404 "Not found"
  // for "remove_by_id"); the JSON library's type errors of a "menu" value are not caught.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;
};

void registerTrayPlugin();

}  // namespace zrk::plugin
