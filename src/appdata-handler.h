// "/appdata": application-level services that are not plugins. "resize" makes every page of the
// main window redo its layout; the background-service actions are not available here.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

class HttpAppDataHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpAppDataHandler, HttpHandler, "http")

 public:
  const char* path() override { return "/appdata"; }
  // Every GET: 444 "not implemented yet".
  bool handleGet(HttpRequest* request, HttpResponseConnection* connection) override;
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;

  static std::shared_ptr<HttpResponse> resizeAction();
  static std::shared_ptr<HttpResponse> daemonStatusAction(const nlohmann::json& body);
  static std::shared_ptr<HttpResponse> daemonEnableAction(const nlohmann::json& body);
};

// The background-service operations: not supported on this platform (they always throw).
[[noreturn]] void daemonStatus(const std::string& bundleId);
[[noreturn]] void daemonEnable(const std::string& bundleId, bool enable);

// Appends the handler to the handler list, once per process.
void registerAppDataHandler();

}  // namespace http
