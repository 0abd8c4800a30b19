// The shared-memory plugin ("sharedmem"): pages put blocks of bytes into the process-wide
// SharedDataStore and take them out again by uid, so a block written by one page (or by an image
// service) can be read by any other.
#pragma once

#include <memory>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class SharedMemPlugin : public Plugin {
  VESK_DECLARE_CLASS(SharedMemPlugin, Plugin, "zrk::plugin")

 public:
  SharedMemPlugin();

  // "write" (body: the bytes; payload "once"), "read" / "delete" (payload "uid", "silent"), "list"
  // and "clear". A std::exception out of a command answers 400 with its text; an unknown command
  // gives an empty result.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  using Handler = std::shared_ptr<http::HttpResponse> (*)(const nlohmann::json& payload,
                                                          SharedMemPlugin* plugin,
                                                          http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> write(const nlohmann::json&, SharedMemPlugin*, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> read(const nlohmann::json&, SharedMemPlugin*, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> list(const nlohmann::json&, SharedMemPlugin*, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> remove(const nlohmann::json&, SharedMemPlugin*, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> clear(const nlohmann::json&, SharedMemPlugin*, http::HttpRequest*);
};

// Makes the one plugin and adds it to the plugin registry on the first call; later calls do
// nothing.
void registerSharedMemPlugin();

}  // namespace zrk::plugin
