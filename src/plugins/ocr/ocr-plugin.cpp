#include "src/plugins/ocr/ocr-plugin.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "src/codec-library.h"
#include "src/plugins/ocr/ocr-engine.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin {

namespace image_input {

uint32_t dimension(const nlohmann::json& payload, const char* key) {
  if (!payload.is_object()) return 0;
  auto it = payload.find(key);
  if (it == payload.end() || !it->is_number()) return 0;
  if (it->is_number_unsigned()) {
    const uint64_t v = it->get<uint64_t>();
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                     : uint32_t(v);
  }
  if (it->is_number_integer()) {
    const int64_t v = it->get<int64_t>();
    if (v <= 0) return 0;
    return v > int64_t(std::numeric_limits<uint32_t>::max()) ? std::numeric_limits<uint32_t>::max()
                                                              : uint32_t(v);
  }
  const double v = it->get<double>();
  if (!(v >= 1.0)) return 0;
  if (v >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
  return uint32_t(v);
}

void checkRecognizableSize(uint64_t width, uint64_t height) {
  constexpr uint64_t kMaxSide = 32767;
  constexpr uint64_t kMaxPixels = 100000000;
  if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels) {
    throw std::invalid_argument("[" + std::to_string(zrk::ocr::kInvalidArgument) +
                                "] image too large for text recognition (" +
                                std::to_string(width) + " x " + std::to_string(height) + ")");
  }
}

std::string readPixelBody(const nlohmann::json& payload, http::HttpRequest* request,
                          uint32_t& width, uint32_t& height, bool checkRecognizable) {
  width = dimension(payload, "width");
  height = dimension(payload, "height");
  if (width == 0 || height == 0) {
    throw std::invalid_argument("width and height must be specified");
  }
  if (checkRecognizable) checkRecognizableSize(width, height);
  // The product is taken in 64 bits: in 32 bits large sizes wrap and a short body would pass.
  const uint64_t expected = uint64_t(width) * uint64_t(height) * 4u;
  std::string body = request ? readRequestBody(request) : std::string();
  if (uint64_t(body.size()) != expected) {
    throw std::invalid_argument("image data size must be equal to width * height * 4");
  }
  return body;
}

std::string readEncodedImage(zrk::CodecLibrary& codec, const std::string& path) {
  int32_t length = 0;
  int32_t width = 0;
  int32_t height = 0;
  unsigned char* buffer = codec.readThumbnail(path.c_str(), &length, &width, &height, 19, 0, 0);
  if (buffer == nullptr) {
    const char* reason = codec.getLastError();
    ZRK_LOG_WARN("Cannot read %s: %s", path.c_str(), reason ? reason : "");
    throw std::runtime_error("Failed to read image");
  }
  std::string bytes(reinterpret_cast<const char*>(buffer), size_t(length > 0 ? length : 0));
  codec.freeResource(buffer);
  return bytes;
}

}  // namespace image_input

std::string readRequestBody(http::HttpRequest* request) {
  constexpr size_t kPiece = 8096;
  std::string body;
  for (;;) {
    const std::string piece = request->read(kPiece);
    body += piece;
    if (piece.size() < kPiece) break;
  }
  return body;
}

namespace {

nlohmann::json jsonOfLines(const std::vector<zrk::RecognizedLine>& lines) {
  nlohmann::json array = nlohmann::json::array();
  for (const zrk::RecognizedLine& line : lines) {
    nlohmann::json anchors = nlohmann::json::array();
    for (const zrk::RecognizedLine::Point& p : line.anchors) {
      anchors.push_back({{"x", double(p.x)}, {"y", double(p.y)}});
    }
    array.push_back({{"confidence", line.confidence},
                     {"text", line.text},
                     {"bounds",
                      {{"x", double(line.x)},
                       {"y", double(line.y)},
                       {"width", double(line.width)},
                       {"height", double(line.height)}}},
                     {"anchors", std::move(anchors)}});
  }
  return array;
}

std::shared_ptr<http::HttpResponse> jsonResponse(const nlohmann::json& value) {
  return std::make_shared<http::HttpMimeResponse>(
      value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

// The oriented size of the image at path, from the codec's info text.
void checkFileRecognizable(zrk::CodecLibrary& codec, const std::string& path) {
  int32_t length = 0;
  char* info = codec.getImageInfo(path.c_str(), &length, 0, 0);
  if (info == nullptr) {
    const char* reason = codec.getLastError();
    ZRK_LOG_WARN("Cannot read %s: %s", path.c_str(), reason ? reason : "");
    throw std::runtime_error("Failed to read image");
  }
  nlohmann::json parsed =
      nlohmann::json::parse(std::string(info, size_t(length > 0 ? length : 0)), nullptr, false);
  codec.freeResource(info);
  auto side = [&](const char* oriented, const char* plain) -> uint64_t {
    for (const char* key : {oriented, plain}) {
      if (parsed.is_object() && parsed.contains(key) && parsed[key].is_number_unsigned()) {
        return parsed[key].get<uint64_t>();
      }
    }
    return 0;
  };
  image_input::checkRecognizableSize(side("orientedWidth", "width"),
                                     side("orientedHeight", "height"));
}

}  // namespace

OcrPlugin::OcrPlugin(zrk::CodecLibrary* codec) : codec_(codec) {}

zrk::CodecLibrary& OcrPlugin::codec() {
  return codec_ ? *codec_ : zrk::CodecLibrary::instance();
}

std::shared_ptr<Vesk::TObject> OcrPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                 http::HttpResponseConnection* connection,
                                                 http::HttpRequest* request,
                                                 const nlohmann::json& payload) {
  (void)connection;
  CommandTable table{
      {"is_supported",
       [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) {
         return jsonResponse(zrk::ocr::isSupported());
       }},
      {"supports_auto_language",
       [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) {
         return jsonResponse(zrk::ocr::supportsAutoLanguage());
       }},
      {"supported_languages",
       [](const nlohmann::json&, zrk::Webview*, http::HttpRequest*) {
         nlohmann::json list;  // null when there is no language
         for (const zrk::ocr::Language& language : zrk::ocr::supportedLanguages()) {
           list.push_back({{"name", language.displayName}, {"tag", language.tag}});
         }
         return jsonResponse(list);
       }},
      {"recognize_text",
       [this](const nlohmann::json& options, zrk::Webview*, http::HttpRequest* req) {
         return recognize(options, req);
       }},
  };
  try {
    return runCommand(table, command, payload, webview, request);
  } catch (const std::exception& e) {
    return std::make_shared<http::HttpStatusResponse>(400, std::string(e.what()));
  }
}

std::shared_ptr<http::HttpResponse> OcrPlugin::recognize(const nlohmann::json& payload,
                                                         http::HttpRequest* request) {
  const nlohmann::json* pathValue = nullptr;
  if (payload.is_object()) {
    auto it = payload.find("path");
    if (it != payload.end() && it->is_string()) pathValue = &*it;
  }
  uint32_t width = 0;
  uint32_t height = 0;
  std::string body;
  if (pathValue == nullptr) {
    body = image_input::readPixelBody(payload, request, width, height, true);
  }
  std::vector<std::string> languages;
  if (payload.is_object() && payload.contains("languages") && payload["languages"].is_array()) {
    for (const nlohmann::json& entry : payload["languages"]) {
      if (entry.is_string()) languages.push_back(entry.get<std::string>());
    }
  }
  zrk::ocr::CancelCheck cancelled;
  if (request != nullptr) cancelled = [request] { return request->isCancelled(); };

  std::vector<zrk::RecognizedLine> lines;
  const std::string path = pathValue ? pathValue->get<std::string>() : std::string();
  if (!path.empty()) {
    checkFileRecognizable(codec(), path);
    const std::string encoded = image_input::readEncodedImage(codec(), path);
    lines = zrk::recognizeText(std::vector<uint8_t>(encoded.begin(), encoded.end()), languages,
                               cancelled);
  } else {
    lines = zrk::recognizeText(std::vector<uint8_t>(body.begin(), body.end()), int32_t(width),
                               int32_t(height), languages, cancelled);
  }
  return jsonResponse(jsonOfLines(lines));
}

void registerOcrPlugin() {
  static const bool registered = [] {
    auto plugin = std::make_shared<OcrPlugin>();
    plugin->setName("ocr");
    plugin->setDescription("OCR Plugin");
    plugin->setVersion("1.0.0");
    PluginRegistry::add(plugin);
    return true;
  }();
  (void)registered;
}

}  // namespace zrk::plugin
