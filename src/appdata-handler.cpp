#include "src/appdata-handler.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "src/post-actions.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/webview.h"
#include "zrkwebview/browser/src/window.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace http {

void daemonStatus(const std::string& bundleId) {
  (void)bundleId;
  throw std::runtime_error("Not supported");
}

void daemonEnable(const std::string& bundleId, bool enable) {
  (void)bundleId;
  (void)enable;
  throw std::runtime_error("Not supported");
}

bool HttpAppDataHandler::handleGet(HttpRequest* request, HttpResponseConnection* connection) {
  HttpStatusResponse response(444, std::string("not implemented yet"));
  sendResponse(connection, request, &response);
  return true;
}

std::shared_ptr<HttpResponse> HttpAppDataHandler::resizeAction() {
  const std::shared_ptr<zrk::App> app = zrk::App::instance();
  const std::shared_ptr<zrk::Window> window = app ? app->mainWindow() : nullptr;
  // Before the loop starts and after it ends there is no main window: answer instead of
  // reaching through a null pointer.
  if (!window) throw std::runtime_error("no main window");
  window->forEachWebview([](const std::shared_ptr<zrk::Webview>& webview) {
    if (webview) webview->evaluateScript("window.dispatchEvent(new Event('resize'))", nullptr, false);
  });
  return std::make_shared<HttpMimeResponse>("true", "application/json");
}

std::shared_ptr<HttpResponse> HttpAppDataHandler::daemonStatusAction(const nlohmann::json& body) {
  const std::string bundleId = stringKey(body, "bundleId");
  if (bundleId.empty()) throw std::invalid_argument("BundleId is empty");
  daemonStatus(bundleId);
}

std::shared_ptr<HttpResponse> HttpAppDataHandler::daemonEnableAction(const nlohmann::json& body) {
  const std::string bundleId = stringKey(body, "bundleId");
  bool enable = false;
  if (body.is_object() && body.contains("enable") && body["enable"].is_boolean()) {
    enable = body["enable"].get<bool>();
  }
  if (bundleId.empty()) throw std::invalid_argument("BundleId is empty");
  daemonEnable(bundleId, enable);
}

bool HttpAppDataHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
  answerPostAction(request, connection,
                   {{"resize", [](const nlohmann::json&) { return resizeAction(); }},
                    {"daemon-status", daemonStatusAction},
                    {"daemon-enable", daemonEnableAction}});
  return true;
}

void registerAppDataHandler() {
  static const HandlerWrapper wrapper(std::make_shared<HttpAppDataHandler>(), false);
  (void)wrapper;
}

}  // namespace http
