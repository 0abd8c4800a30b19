// The window plugin ("window"): pages create, find, query, move, resize and close the
// application's top-level windows. Every command but "create" and "find" acts on the window that
// the body's "label" names (see replies::lookupWindow); a key of the wrong JSON type counts as
// missing, and an exception out of a command answers 500 "Internal error: " + its text.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace http {
class HttpResponse;
}

namespace zrk::plugin {

class WindowPlugin : public Plugin {
  VESK_DECLARE_CLASS(WindowPlugin, Plugin, "zrk::plugin")

 public:
  WindowPlugin();
  ~WindowPlugin() override = default;

  // The command's reply; empty for a name that is not a command (exact, case-sensitive).
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // The commands by name, each bound to nothing: they get the body and the calling webview.
  static CommandTable commandTable();
};

// Makes and registers the plugin once per process.
void registerWindowPlugin();

}  // namespace zrk::plugin
