// The webview plugin ("webview"): a page adds webviews to a window and manages any webview of any
// window, addressed by the labels "windowLabel" and "label": closes it, asks about and opens its
// developer tools, cancels its pending requests, reads and sets its bounds inside the window and
// its background colour. The calling webview plays no part.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"
#include "zrkwebview/browser/src/webview.h"

namespace http {
class HttpResponse;
}

namespace zrk::plugin {

class WebviewPlugin : public Plugin {
  VESK_DECLARE_CLASS(WebviewPlugin, Plugin, "zrk::plugin")

 public:
  WebviewPlugin();
  ~WebviewPlugin() override = default;

  // Checks "windowLabel" and (for every command but "create") "label" before the command is
  // looked up; a command that is not there gives an empty result. Whatever a command throws
  // becomes 400 with its text.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // The options of a new webview from a page's "options" (anything but an object gives the
  // defaults): whole numbers for "x", "y", "width", "height" (or their text when a page sent
  // text), "transparent", "dragDropEnabled", "userAgent", "url" and "resizingMask" (18 unless
  // given).
  static WebviewOptions optionsFrom(const nlohmann::json& options);
  // The 32-bit colour of "argb": the low 32 bits of a whole number (a fraction cut off), so
  // -16777216 and 4278190080 are the same; 0 for anything that is not a number.
  static uint32_t argbOf(const nlohmann::json& body);
};

// Makes and registers the plugin once per process.
void registerWebviewPlugin();

}  // namespace zrk::plugin
