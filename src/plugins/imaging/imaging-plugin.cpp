#include "src/plugins/imaging/imaging-plugin.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "src/codec-library.h"
#include "src/plugins/ocr/ocr-plugin.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/shared-data-store.h"

namespace zrk::plugin {

std::vector<std::string> ImagingEngine::supportedFeatures() { return {}; }

PersonMask ImagingEngine::personMask(const std::vector<uint8_t>& image, int32_t quality) {
  (void)image;
  (void)quality;
  return PersonMask{};
}

namespace {

std::shared_ptr<http::HttpResponse> jsonResponse(const nlohmann::json& value) {
  return std::make_shared<http::HttpMimeResponse>(
      value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

}  // namespace

ImagingPlugin::ImagingPlugin(zrk::CodecLibrary* codec) : codec_(codec) {}

nlohmann::json ImagingPlugin::describeMask(const PersonMask& mask) {
  nlohmann::json answer = nlohmann::json::object();
  if (mask.mask.empty()) return answer;
  answer["uid"] = zrk::SharedDataStore::write(reinterpret_cast<const char*>(mask.mask.data()),
                                              mask.mask.size(), true);
  answer["size"] = uint64_t(mask.mask.size());
  answer["width"] = mask.width;
  answer["height"] = mask.height;
  answer["stride"] = mask.stride;
  return answer;
}

std::shared_ptr<Vesk::TObject> ImagingPlugin::invoke(const std::string& command,
                                                     zrk::Webview* webview,
                                                     http::HttpResponseConnection* connection,
                                                     http::HttpRequest* request,
                                                     const nlohmann::json& payload) {
  (void)connection;
  zrk::CodecLibrary& codec = codec_ ? *codec_ : zrk::CodecLibrary::instance();
  CommandTable table{
      {"features",
       [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) {
         nlohmann::json list = nlohmann::json::array();
         for (const std::string& feature : ImagingEngine::supportedFeatures()) {
           list.push_back(feature);
         }
         return jsonResponse(list);
       }},
      {"person_mask",
       [&codec](const nlohmann::json& options, zrk::Webview*, http::HttpRequest* req) {
         int32_t quality = 0;
         if (options.is_object() && options.contains("quality") &&
             options["quality"].is_number()) {
           const double q = options["quality"].get<double>();
           quality = q >= 2147483647.0 ? INT32_MAX : q <= -2147483648.0 ? INT32_MIN : int32_t(q);
         }
         const nlohmann::json* pathValue = nullptr;
         if (options.is_object()) {
           auto it = options.find("path");
           if (it != options.end() && it->is_string()) pathValue = &*it;
         }
         std::string image;
         uint32_t width = 0;
         uint32_t height = 0;
         if (pathValue == nullptr) {
           image = image_input::readPixelBody(options, req, width, height, false);
         }
         const std::string path = pathValue ? pathValue->get<std::string>() : std::string();
         if (!path.empty()) image = image_input::readEncodedImage(codec, path);
         const PersonMask mask =
             ImagingEngine::personMask(std::vector<uint8_t>(image.begin(), image.end()), quality);
         return jsonResponse(describeMask(mask));
       }},
  };
  try {
    return runCommand(table, command, payload, webview, request);
  } catch (const std::exception& e) {
    return std::make_shared<http::HttpStatusResponse>(400, std::string(e.what()));
  }
}

void registerImagingPlugin() {
  static const bool registered = [] {
    auto plugin = std::make_shared<ImagingPlugin>();
    plugin->setName("imaging");
    plugin->setDescription("image processing Plugin");
    plugin->setVersion("1.0.0");
    PluginRegistry::add(plugin);
    return true;
  }();
  (void)registered;
}

}  // namespace zrk::plugin
