#include "src/post-actions.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace http {

std::string readSmallBody(HttpRequest* request) {
  constexpr size_t kPiece = 1024;
  constexpr size_t kLimit = 1024 * 1024;
  std::string body;
  for (;;) {
    const std::string piece = request->read(kPiece);
    body += piece;
    if (body.size() > kLimit) throw std::length_error("request body too large");
    if (piece.size() < kPiece) break;
  }
  return body;
}

std::string stringKey(const nlohmann::json& body, const char* key) {
  if (!body.is_object()) return std::string();
  auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void answerPostAction(HttpRequest* request, HttpResponseConnection* connection,
                      const std::map<std::string, PostAction>& actions) {
  std::shared_ptr<HttpResponse> response;
  try {
    const nlohmann::json body = nlohmann::json::parse(readSmallBody(request), nullptr, true, false);
    auto found = actions.find(stringKey(body, "action"));
    if (found == actions.end()) {
      response = std::make_shared<HttpStatusResponse>(400,
                                                      std::string("Bad request, unknown action: "));
    } else {
      response = found->second(body);
    }
  } catch (const std::exception& e) {
    response = std::make_shared<HttpStatusResponse>(444, std::string(e.what()));
  }
  sendResponse(connection, request, response.get());
}

}  // namespace http
