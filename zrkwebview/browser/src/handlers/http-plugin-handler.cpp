#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>
#include <nlohmann/json.hpp>

#include <string>

#include "vesk/crypto.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/http/tracking-connection.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace http {

namespace {

constexpr size_t kBodyPiece = 1024;
constexpr size_t kLoggedBody = 512;

// The plugin and command names of the query. Throws Poco's syntax exception for escapes that do
// not decode.
void scanQuery(const std::string& uri, std::string& name, std::string& event) {
  const Poco::URI parsed(uri);
  for (const auto& [key, value] : parsed.getQueryParameters()) {
    // The page encodes the names once more, so they are decoded a second time here.
    if (equalsIgnoringCase(key, "name")) {
      Poco::URI::decode(value, name, false);
      if (!event.empty()) break;
    } else if (equalsIgnoringCase(key, "event")) {
      Poco::URI::decode(value, event, false);
      if (!name.empty()) break;
    }
  }
}

nlohmann::json payloadFromOptionsHeader(const std::string& encoded) {
  try {
    return nlohmann::json::parse(Vesk::base64Decode(encoded));
  } catch (const std::exception&) {
    // An unusable header: the command runs with a null payload.
    return nullptr;
  }
}

std::string readJsonBody(HttpRequest* request) {
  std::string body;
  while (true) {
    ZRK_LOG_INFO("Read more data...");
    const std::string piece = request->read(kBodyPiece);
    ZRK_LOG_INFO("read %zu bytes", piece.size());
    body += piece;
    if (piece.size() < kBodyPiece) break;
  }
  return body;
}

// Answers with a status response, unless part of a reply already went out: then that reply is
// only ended.
void answer(TrackingConnection& connection, HttpRequest* request, int status,
            const std::string& message) {
  if (connection.started()) {
    connection.finish();
    return;
  }
  HttpStatusResponse response(status, message);
  sendResponse(&connection, request, &response);
}

}  // namespace

bool HttpPluginHandler::handlePost(HttpRequest* request, HttpResponseConnection* rawConnection) {
  TrackingConnection connection(rawConnection);
  std::string name;
  std::string event;
  try {
    scanQuery(request->uri(), name, event);
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("plugin query: %s", e.what());
    answer(connection, request, 400, "malformed query");
    return true;
  }
  if (name.empty()) {
    answer(connection, request, 400, "plugin not found");
    return true;
  }

  const std::string contentType = request->header("Content-Type");
  const std::string rawRequest = request->header("zrk-request");

  try {
    nlohmann::json payload;
    if (contentType.find("application/octet-stream") != std::string::npos || !rawRequest.empty()) {
      // The body is raw bytes the command reads itself.
      const std::string options = request->header("zrk-payload-options");
      if (!options.empty()) payload = payloadFromOptionsHeader(options);
    } else if (contentType.find("application/json") != std::string::npos) {
      const std::string body = readJsonBody(request);
      if (body.size() > kLoggedBody) {
        ZRK_LOG_INFO("event: [%s] => post data: %s", event.c_str(),
                     (body.substr(0, kLoggedBody - 3) + "...").c_str());
      } else {
        ZRK_LOG_INFO("event: [%s] => post data: %s", event.c_str(), body.c_str());
      }
      payload = nlohmann::json::parse(body);
    }

    const auto result = zrk::plugin::PluginRegistry::dispatch(name, event, webview(), &connection,
                                                              request, payload);
    const auto response = std::dynamic_pointer_cast<HttpResponse>(result);
    if (!response) {
      answer(connection, request, 420, "plugin invoke failed");
    } else {
      sendResponse(&connection, request, response.get());
    }
  } catch (const nlohmann::json::parse_error& e) {
    ZRK_LOG_ERROR("json parse error: %s\nexception id: %d\nbyte position of error: %d", e.what(),
                  e.id, static_cast<int>(e.byte));
    answer(connection, request, 400, "plugin not found");
  } catch (const nlohmann::json::exception& e) {
    ZRK_LOG_ERROR("json exception: %s", e.what());
    answer(connection, request, 400, "plugin not found");
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("plugin invoke failed: %s", e.what());
    answer(connection, request, 410, e.what());
  }
  return true;
}

}  // namespace http
