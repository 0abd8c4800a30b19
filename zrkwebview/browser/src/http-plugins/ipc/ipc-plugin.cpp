#include "zrkwebview/browser/src/http-plugins/ipc/ipc-plugin.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {
namespace {

// Reads a channel id the way the standard conversion to unsigned long reads it (blanks skipped, a
// sign allowed, digits up to the first other character), limited to 32 bits on every platform.
uint32_t parseChannelId(const std::string& text) {
  const unsigned long long value = std::stoull(text);  // throws std::invalid_argument
  const size_t start = text.find_first_not_of(" \t\n\v\f\r");
  const bool negative = start != std::string::npos && text[start] == '-';
  // A negative number stands for its unsigned negation, as the conversion does; what counts is
  // whether that magnitude fits.
  const unsigned long long magnitude = negative ? 0ull - value : value;
  if (magnitude > std::numeric_limits<uint32_t>::max()) {
    throw std::out_of_range("stoul argument out of range");
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

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
  uint32_t dataId = 0;
  try {
    dataId = parseChannelId(header);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stoul argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stoul argument out of range");
  }
  nlohmann::json data;
  if (!webview->takeChannelData(dataId, data, true)) {
    return std::make_shared<http::HttpStatusResponse>(400, std::string("Not found channel data"));
  }
  std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return std::make_shared<http::HttpMimeResponse>(std::move(text), "application/json");
}

void registerIpcPlugin() {
  static const bool registered = [] {
    auto plugin = std::make_shared<IpcPlugin>();
    plugin->setName("__zrk_channel__");
    plugin->setVersion("1.0");
    plugin->setDescription("ipc channel plugin");
    PluginRegistry::add(plugin);
    return true;
  }();
  (void)registered;
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
