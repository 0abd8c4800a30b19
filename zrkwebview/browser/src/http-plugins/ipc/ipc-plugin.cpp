#include "zrkwebview/browser/src/http-plugins/ipc/ipc-plugin.h"

#include <cstdint>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/ipc/channel-id.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

std::shared_ptr<Vesk::TObject> IpcPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                 http::HttpResponseConnection* connection,
                                                 http::HttpRequest* request,
                                                 const nlohmann::json& payload) {
  (void)connection;
  if (webview == nullptr || request == nullptr) return nullptr;
  CommandTable table{{"fetch", &IpcPlugin::fetch}};
  return runCommand(table, command, payload, webview, request);
}

std::shared_ptr<http::HttpResponse> IpcPlugin::fetch(const nlohmann::json& payload,
                                                     zrk::Webview* webview,
                                                     http::HttpRequest* request) {
  (void)payload;
  const std::string header = request->header("zrk-channel-id");
  if (header.empty()) {
    return std::make_shared<http::HttpStatusResponse>(400, std::string("Missing channel id header"));
  }
  const uint32_t dataId = parseChannelId(header);
  nlohmann::json data;
  if (!webview->takeChannelData(dataId, data, true)) {
    return std::make_shared<http::HttpStatusResponse>(400, std::string("Not found channel data"));
  }
  std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return std::make_shared<http::HttpMimeResponse>(std::move(text), "application/json");
}

void registerIpcPlugin() {
  registerPluginOnce<IpcPlugin>("__zrk_channel__", "ipc channel plugin", "1.0");
}

const std::string& windowIpcScript() {
  static const std::string script =
      ";(function(){     Object.defineProperty(window, 'ipc', {         value: Object.freeze({"
      "             postMessage: function(s){                 window.chrome.webview.postMessage(s);"
      "             }         })     }); })();"
      "if(!window.__sysinfo__){ Object.defineProperty(window, '__sysinfo__', { value: {}, }) }"
      " ;(function(obj){ obj.os = \"windows\"; obj.runmode = \"Release\"; })(window.__sysinfo__);";
  return script;
}

}  // namespace zrk::plugin
