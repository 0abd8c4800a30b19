// The image plugin ("image"): pages make native images from pixels, encoded bytes or files and
// ask for their size, type and name. The images are resources of the calling webview (see
// image-resource.h); their rids are what menu entries, trays and window icons take.
#pragma once

#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class ImagePlugin : public Plugin {
  VESK_DECLARE_CLASS(ImagePlugin, Plugin, "zrk::plugin")

 public:
  ImagePlugin();
  ~ImagePlugin() override = default;

  // Holds the webview for the call (std::bad_weak_ptr escapes for one that is going away). A
  // command outside the table gives an empty result. Nothing is caught: a byte array element that
  // is neither a number nor a boolean throws the JSON library's type error.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;
};

void registerImagePlugin();

}  // namespace zrk::plugin
