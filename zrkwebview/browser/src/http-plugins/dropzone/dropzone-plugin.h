// The drop-zone plugin ("dropzone"): a page declares ("add") and withdraws ("remove") parts of
// itself, chosen by a selector, that take files and folders dropped on the window. The plugin
// keeps nothing: it checks that the payload names a zone and hands it to the requesting webview's
// drop target ("add_dropzone", "remove_dropzone").
#pragma once

#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class DropzonePlugin : public Plugin {
  VESK_DECLARE_CLASS(DropzonePlugin, Plugin, "zrk::plugin")

 public:
  DropzonePlugin();
  ~DropzonePlugin() override = default;

  // A std::exception out of a command (a payload without a zone id, a filter the webview cannot
  // read) answers 400 with its text.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  static std::shared_ptr<http::HttpResponse> add(const nlohmann::json& payload, zrk::Webview* webview);
  static std::shared_ptr<http::HttpResponse> remove(const nlohmann::json& payload,
                                                    zrk::Webview* webview);
};

void registerDropzonePlugin();

}  // namespace zrk::plugin
