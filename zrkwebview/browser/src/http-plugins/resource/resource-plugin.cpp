#include "zrkwebview/browser/src/http-plugins/resource/resource-plugin.h"

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/resource.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

ResourcePlugin::ResourcePlugin() {
  name_ = "resource";
  description_ = "resource plugin";
  version_ = "1.0";
}

std::shared_ptr<Vesk::TObject> ResourcePlugin::invoke(const std::string& command,
                                                      zrk::Webview* webview,
                                                      http::HttpResponseConnection* connection,
                                                      http::HttpRequest* request,
                                                      const nlohmann::json& payload) {
  (void)connection;
  if (webview == nullptr) return nullptr;
  const std::shared_ptr<zrk::Webview> held = webview->shared_from_this();
  CommandTable table{
      {"close", [](const nlohmann::json& p, zrk::Webview* w, http::HttpRequest*) { return close(p, w); }},
      {"list", [](const nlohmann::json& p, zrk::Webview* w, http::HttpRequest*) { return list(p, w); }},
  };
  return runCommand(table, command, payload, held.get(), request);
}

std::shared_ptr<http::HttpResponse> ResourcePlugin::close(const nlohmann::json& payload,
                                                          zrk::Webview* webview) {
  const nlohmann::json* rid = payload::member(payload, "rid");
  const std::optional<uint32_t> id =
      rid != nullptr ? payload::integerOf<uint32_t>(*rid) : std::nullopt;
  if (!id) return std::make_shared<http::HttpStatusResponse>(400, std::string("Invalid resource id"));
  const bool held = webview->resourceManager()->find(*id) != nullptr;
  if (held) webview->resourceManager()->close(*id);
  return std::make_shared<http::HttpMimeResponse>(held ? "true" : "false", "application/json");
}

std::shared_ptr<http::HttpResponse> ResourcePlugin::list(const nlohmann::json& payload,
                                                         zrk::Webview* webview) {
  (void)payload;
  webview->resourceManager()->dump();
  return std::make_shared<http::HttpStatusResponse>(200);
}

void registerResourcePlugin() {
  registerPluginOnce<ResourcePlugin>();
}

}  // namespace zrk::plugin
