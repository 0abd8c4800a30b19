#include "src/update-handler.h"

#include <functional>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "vesk/crypto.h"
#include "vesk/signature.h"
#include "vesk/tdata.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace http {
namespace {

std::string stringKey(const nlohmann::json& body, const char* key) {
  if (!body.is_object()) return std::string();
  auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

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

std::shared_ptr<HttpResponse> HttpUpdateHandler::verifySignatureAction(const nlohmann::json& body) {
  const std::string signature = stringKey(body, "signature");
  const std::string path = stringKey(body, "path");
  const std::string pubkey = stringKey(body, "pubkey");
  const std::string algorithm = stringKey(body, "algorithm");
  if (path.empty()) throw std::invalid_argument("path is empty");
  if (signature.empty()) throw std::invalid_argument("signature is empty");
  if (pubkey.empty()) throw std::invalid_argument("pubkey is empty");
  if (algorithm != "DSA" && algorithm != "ED25519") {
    throw std::invalid_argument("unsupported algorithm");
  }
  const std::string signatureBytes = Vesk::base64Decode(signature);
  bool valid = false;
  if (algorithm == "DSA") {
    const std::shared_ptr<Vesk::TData> digest = Vesk::hashFile(path, Vesk::HashType::SHA1);
    if (!digest || digest->length() == 0) throw std::runtime_error("Failed to get sha1 digest");
    const std::string message(reinterpret_cast<const char*>(digest->bytes()), digest->length());
    valid = Vesk::verifyDsaSignature(message, signatureBytes, pubkey);
  } else {
    valid = Vesk::verifyFileSignatureEd25519(path, signatureBytes, pubkey);
  }
  return std::make_shared<HttpMimeResponse>(valid ? "true" : "false", "application/json");
}

bool HttpUpdateHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
  std::shared_ptr<HttpResponse> response;
  try {
    const nlohmann::json body = nlohmann::json::parse(readSmallBody(request), nullptr, true, false);
    const std::string action = stringKey(body, "action");
    const std::map<std::string, std::function<std::shared_ptr<HttpResponse>()>> actions{
        {"verify-signature", [&body] { return verifySignatureAction(body); }},
    };
    auto found = actions.find(action);
    if (found == actions.end()) {
      response = std::make_shared<HttpStatusResponse>(400,
                                                      std::string("Bad request, unknown action: "));
    } else {
      response = found->second();
    }
  } catch (const std::exception& e) {
    response = std::make_shared<HttpStatusResponse>(444, std::string(e.what()));
  }
  sendResponse(connection, request, response.get());
  return true;
}

void registerUpdateHandler() {
  static const HandlerWrapper wrapper(std::make_shared<HttpUpdateHandler>(), false);
  (void)wrapper;
}

}  // namespace http
