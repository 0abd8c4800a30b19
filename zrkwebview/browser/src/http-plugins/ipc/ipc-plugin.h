// The channel plugin ("__zrk_channel__"): pages fetch the data that native code parked for them
// in their webview, and the first script put into every document (window.ipc, __sysinfo__).
#pragma once

#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class IpcPlugin : public Plugin {
  VESK_DECLARE_CLASS(IpcPlugin, Plugin, "zrk::plugin")

 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // "fetch": the JSON parked under the id in the "zrk-channel-id" header, removed as it is read.
  static std::shared_ptr<http::HttpResponse> fetch(const nlohmann::json& payload,
                                                   zrk::Webview* webview,
                                                   http::HttpRequest* request);
};

// Makes and registers the plugin, once per process.
void registerIpcPlugin();

// The page IPC script, the first script run at every document creation.
const std::string& windowIpcScript();

}  // namespace zrk::plugin
