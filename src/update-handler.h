// "/update": checks a detached signature of a local file against a public key the page gives
// (DSA over the file's SHA-1 digest, or Ed25519 over its content) and answers true or false.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

class HttpUpdateHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpUpdateHandler, HttpHandler, "http")

 public:
  const char* path() override { return "/update"; }
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;
  static std::shared_ptr<HttpResponse> verifySignatureAction(const nlohmann::json& body);
};

// Appends the handler to the handler list, once per process.
void registerUpdateHandler();

}  // namespace http
