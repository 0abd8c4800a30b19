#include "zrkwebview/browser/src/http-plugins/image/image-plugin.h"

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http-plugins/image/json-numbers.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

namespace {

using Reply = std::shared_ptr<http::HttpResponse>;

Reply refuse(const char* text) {
  return std::make_shared<http::HttpStatusResponse>(400, std::string(text));
}

Reply ridReply(uint32_t rid) {
  return std::make_shared<http::HttpMimeResponse>(std::to_string(rid), "application/json");
}

const nlohmann::json* member(const nlohmann::json& payload, const char* key) {
  return payload::member(payload, key);
}

int32_t maskOf(const nlohmann::json& payload) {
  return static_cast<int32_t>(numbers::uint32Or(payload, "mask", 0xFFFFFFFFu));
}

// "rid" as a signed 32-bit value; empty when missing or not a number.
std::optional<int32_t> ridOf(const nlohmann::json& payload) {
  const nlohmann::json* rid = member(payload, "rid");
  return rid != nullptr ? numbers::int32Of(*rid) : std::nullopt;
}

Reply newImage(const nlohmann::json& payload, Webview* webview) {
  const uint32_t width = numbers::uint32Or(payload, "width", 0);
  const uint32_t height = numbers::uint32Or(payload, "height", 0);
  const int32_t mask = maskOf(payload);
  const nlohmann::json* rgba = member(payload, "rgba");
  const std::string type = payload::stringOr(payload, "type");
  const std::string name = payload::stringOr(payload, "name");
  if (width == 0 || height == 0 || rgba == nullptr || rgba->empty()) {
    return refuse("Invalid payload");
  }
  if (!rgba->is_array()) return refuse("Invalid rgba data");
  const std::vector<uint8_t> bytes = numbers::bytesOf(*rgba);
  const uint32_t rid =
      name.empty()
          ? createImageFromRgba(webview, bytes, width, height, parseImageType(type), mask)
          : createNamedImageFromRgba(webview, bytes, width, height, name);
  if (rid == 0) return refuse("Failed to create image");
  return ridReply(rid);
}

Reply fromBytes(const nlohmann::json& payload, Webview* webview) {
  const int32_t mask = maskOf(payload);
  const nlohmann::json* encoded = member(payload, "bytes");
  const std::string type = payload::stringOr(payload, "type");
  const std::string name = payload::stringOr(payload, "name");
  if (encoded == nullptr || !encoded->is_array()) return refuse("Invalid bytes data");
  const std::vector<uint8_t> bytes = numbers::bytesOf(*encoded);
  const uint32_t rid = name.empty()
                           ? createImageFromBytes(webview, bytes, parseImageType(type), mask)
                           : createNamedImageFromBytes(webview, bytes, name);
  if (rid == 0) return refuse("Failed to create image");
  return ridReply(rid);
}

Reply fromPath(const nlohmann::json& payload, Webview* webview) {
  const std::string path = payload::stringOr(payload, "path");
  const int32_t mask = maskOf(payload);
  const std::string type = payload::stringOr(payload, "type");
  if (path.empty()) return refuse("Invalid path");
  const uint32_t rid = loadImageResource(webview, path, parseImageType(type), mask);
  if (rid == 0) return refuse("Failed to create image");
  return ridReply(rid);
}

Reply rgbaOf(const nlohmann::json& payload, Webview* webview) {
  const std::optional<int32_t> rid = ridOf(payload);
  if (!rid) return refuse("Invalid resource id");
  std::shared_ptr<std::vector<uint8_t>> data = getImageRgba(webview, static_cast<uint32_t>(*rid));
  if (!data) return refuse("Could not get data of the resource.");
  return std::make_shared<http::HttpMimeResponse>(std::string(data->begin(), data->end()),
                                                  "application/octet-stream");
}

Reply sizeOf(const nlohmann::json& payload, Webview* webview) {
  const std::optional<int32_t> rid = ridOf(payload);
  if (!rid) return refuse("Invalid resource id");
  float width = 0;
  float height = 0;
  if (!getImageSize(webview, static_cast<uint32_t>(*rid), width, height)) {
    return refuse("Could not get size of the resource.");
  }
  nlohmann::json size = {{"height", static_cast<double>(height)},
                         {"width", static_cast<double>(width)}};
  return std::make_shared<http::HttpMimeResponse>(size.dump(), "application/json");
}

Reply typeOf(const nlohmann::json& payload, Webview* webview) {
  const std::optional<int32_t> rid = ridOf(payload);
  if (!rid) return refuse("Invalid resource id");
  static const char* const kWords[] = {nullptr, "ico", "bmp", "png", "native"};
  const ImageType type = getImageType(webview, static_cast<uint32_t>(*rid));
  if (type <= 0 || type > 4) return refuse("Could not get type of the resource.");
  return std::make_shared<http::HttpMimeResponse>(kWords[type], "text/plain");
}

Reply findByName(const nlohmann::json& payload, Webview* webview) {
  const std::string name = payload::stringOr(payload, "name");
  if (name.empty()) return refuse("Invalid resource name.");
  std::shared_ptr<NamedImageResource> found = findNamedImage(webview, name);
  return ridReply(found ? found->id() : 0);
}

}  // namespace

ImagePlugin::ImagePlugin() {
  name_ = "image";
  description_ = "image plugin";
  version_ = "1.0";
}

std::shared_ptr<Vesk::TObject> ImagePlugin::invoke(const std::string& command,
                                                   zrk::Webview* webview,
                                                   http::HttpResponseConnection* connection,
                                                   http::HttpRequest* request,
                                                   const nlohmann::json& payload) {
  (void)connection;
  if (webview == nullptr) return nullptr;
  const std::shared_ptr<zrk::Webview> held = webview->shared_from_this();
  auto row = [](Reply (*handler)(const nlohmann::json&, Webview*)) {
    return [handler](const nlohmann::json& p, zrk::Webview* w, http::HttpRequest*) {
      return handler(p, w);
    };
  };
  const CommandTable table{
      {"new", row(&newImage)},      {"from_bytes", row(&fromBytes)}, {"from_path", row(&fromPath)},
      {"rgba", row(&rgbaOf)},       {"size", row(&sizeOf)},          {"type", row(&typeOf)},
      {"find_byname", row(&findByName)},
  };
  return runCommand(table, command, payload, held.get(), request);
}

void registerImagePlugin() {
  registerPluginOnce<ImagePlugin>();
}

}  // namespace zrk::plugin
