// The event plugin ("event"): pages listen for events by name, stop listening, and raise events
// for every listener ("emit") or for chosen ones ("emit_to"). A listener is recorded in the
// process-wide event dispatcher, in the calling page's listener table (through its webview's
// delegate) and, for the kinds "Window" and "Any", in the windows' listener lists, through which
// the windows' own events ("zrk://resize", "zrk://will-close") reach it.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace http {
class HttpResponse;
}

namespace zrk {
class WebviewDelegate;
}

namespace zrk::plugin {

class EventPlugin : public Plugin {
  VESK_DECLARE_CLASS(EventPlugin, Plugin, "zrk::plugin")

 public:
  EventPlugin();
  ~EventPlugin() override = default;

  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  // {event, target, handler}: the new listener's id in decimal; 400 "Missing parameter" for an
  // empty event, an empty target or a handler that is not a positive whole number.
  static std::shared_ptr<http::HttpResponse> listen(
      const nlohmann::json& body, const std::shared_ptr<WebviewDelegate>& delegate);
  // {event, eventId}: "1", or "0" for an empty event or a missing id.
  static std::shared_ptr<http::HttpResponse> unlisten(
      const nlohmann::json& body, const std::shared_ptr<WebviewDelegate>& delegate);
  // {event, payload}: "1"; 400 "missing event." without an event.
  static std::shared_ptr<http::HttpResponse> emit(const nlohmann::json& body);
  // {event, payload, target: {kind, label}}: as emit, delivered only to the matching listeners.
  static std::shared_ptr<http::HttpResponse> emitTo(const nlohmann::json& body);
};

// Makes and registers the plugin once per process.
void registerEventPlugin();

}  // namespace zrk::plugin
