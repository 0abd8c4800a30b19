// The "imaging" plugin: the image-analysis features of the imaging engine (the list of features,
// a mask of the people in an image). This platform's engine offers none: the plugin checks its
// input, reads the image and answers empty results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk {
class CodecLibrary;
}

namespace zrk::plugin {

struct PersonMask {
  uint64_t width = 0;
  uint64_t height = 0;
  uint64_t stride = 0;  // bytes per mask row
  std::vector<uint8_t> mask;
};

class ImagingEngine {
 public:
  static std::vector<std::string> supportedFeatures();
  static PersonMask personMask(const std::vector<uint8_t>& image, int32_t quality);
};

class ImagingPlugin : public Plugin {
  VESK_DECLARE_CLASS(ImagingPlugin, Plugin, "zrk::plugin")

 public:
  explicit ImagingPlugin(zrk::CodecLibrary* codec = nullptr);
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // The answer of "person_mask" for a mask: {} without bytes, else the mask's bytes go to the
  // shared data store (read once) and the answer names them.
  static nlohmann::json describeMask(const PersonMask& mask);

 private:
  zrk::CodecLibrary* codec_;
};

void registerImagingPlugin();

}  // namespace zrk::plugin
