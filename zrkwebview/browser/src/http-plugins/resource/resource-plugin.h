// The resource plugin ("resource"): a page gives back a native object it was handed under a
// resource id ("close"), or has the requesting webview's resources listed on standard output
// ("list"). Both act only on the resource manager of the webview that sent the request.
#pragma once

#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class ResourcePlugin : public Plugin {
  VESK_DECLARE_CLASS(ResourcePlugin, Plugin, "zrk::plugin")

 public:
  ResourcePlugin();
  ~ResourcePlugin() override = default;

  // Empty without a webview. The webview is held for the call (std::bad_weak_ptr escapes for one
  // that is being destroyed).
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // "rid": a JSON number (a fraction dropped) from 0 to 2^32-1; anything else answers 400
  // "Invalid resource id". Replies "true" when a resource was held under it, else "false".
  static std::shared_ptr<http::HttpResponse> close(const nlohmann::json& payload,
                                                   zrk::Webview* webview);
  static std::shared_ptr<http::HttpResponse> list(const nlohmann::json& payload,
                                                  zrk::Webview* webview);
};

void registerResourcePlugin();

}  // namespace zrk::plugin
