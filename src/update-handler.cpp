#include "src/update-handler.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "src/post-actions.h"
#include "vesk/crypto.h"
#include "vesk/signature.h"
#include "vesk/tdata.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace http {

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
  answerPostAction(request, connection, {{"verify-signature", verifySignatureAction}});
  return true;
}

void registerUpdateHandler() {
  static const HandlerWrapper wrapper(std::make_shared<HttpUpdateHandler>(), false);
  (void)wrapper;
}

}  // namespace http
