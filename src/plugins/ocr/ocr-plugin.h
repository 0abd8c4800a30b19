// The "ocr" plugin: pages find the text in an image, given as a file path or as RGBA pixels in
// the request body (options then in "zrk-payload-options").
#pragma once

#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk {
class CodecLibrary;
}

namespace zrk::plugin {

class OcrPlugin : public Plugin {
  VESK_DECLARE_CLASS(OcrPlugin, Plugin, "zrk::plugin")

 public:
  // Reads images through `codec` (the process's codec library when null).
  explicit OcrPlugin(zrk::CodecLibrary* codec = nullptr);
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

 private:
  zrk::CodecLibrary& codec();
  std::shared_ptr<http::HttpResponse> recognize(const nlohmann::json& payload,
                                                http::HttpRequest* request);

  zrk::CodecLibrary* codec_;
};

// Makes the plugin and registers it, once per process.
void registerOcrPlugin();

// The whole body of a request, read in pieces of 8096 bytes until a shorter piece.
std::string readRequestBody(http::HttpRequest* request);

// The shared input rules of the image plugins ("ocr", "imaging").
namespace image_input {
// "width"/"height": a number counts (a fraction cut off, clamped to 0..UINT32_MAX); anything else
// is 0.
uint32_t dimension(const nlohmann::json& payload, const char* key);
// Throws std::invalid_argument "[2147942487] image too large for text recognition (W x H)" when a
// side is over 32767 pixels or the image over 100 megapixels.
void checkRecognizableSize(uint64_t width, uint64_t height);
// The RGBA body of a pixel request: the size is checked before the body is read, then the body
// must hold exactly width x height x 4 bytes.
std::string readPixelBody(const nlohmann::json& payload, http::HttpRequest* request,
                          uint32_t& width, uint32_t& height, bool checkRecognizable);
// The encoded, oriented, full-size image of a file (the codec's thumbnail reader, option 19);
// std::runtime_error "Failed to read image" when it cannot be read.
std::string readEncodedImage(zrk::CodecLibrary& codec, const std::string& path);
}  // namespace image_input

}  // namespace zrk::plugin
