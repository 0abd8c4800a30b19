#include "zrkwebview/browser/src/http-plugins/dropzone/dropzone-plugin.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {
namespace {

std::shared_ptr<http::HttpResponse> forward(const char* webviewCommand,
                                            const nlohmann::json& payload, zrk::Webview* webview) {
  const nlohmann::json* id = payload::member(payload, "id");
  if (id == nullptr || !id->is_string() || id->get_ref<const std::string&>().empty()) {
    throw std::runtime_error("Invalid payload, missing id.");
  }
  if (webview != nullptr) webview->runCommand(webviewCommand, payload);
  return std::make_shared<http::HttpStatusResponse>(200, std::string("OK"));
}

}  // namespace

DropzonePlugin::DropzonePlugin() {
  name_ = "dropzone";
  description_ = "dropzone plugin";
  version_ = "1.0.0";
}

std::shared_ptr<Vesk::TObject> DropzonePlugin::invoke(const std::string& command,
                                                      zrk::Webview* webview,
                                                      http::HttpResponseConnection* connection,
                                                      http::HttpRequest* request,
                                                      const nlohmann::json& payload) {
  (void)connection;
  CommandTable table{
      {"add", [](const nlohmann::json& p, zrk::Webview* w, http::HttpRequest*) { return add(p, w); }},
      {"remove",
       [](const nlohmann::json& p, zrk::Webview* w, http::HttpRequest*) { return remove(p, w); }},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

std::shared_ptr<http::HttpResponse> DropzonePlugin::add(const nlohmann::json& payload,
                                                        zrk::Webview* webview) {
  return forward("add_dropzone", payload, webview);
}

std::shared_ptr<http::HttpResponse> DropzonePlugin::remove(const nlohmann::json& payload,
                                                           zrk::Webview* webview) {
  return forward("remove_dropzone", payload, webview);
}

void registerDropzonePlugin() {
  registerPluginOnce<DropzonePlugin>();
}

}  // namespace zrk::plugin
