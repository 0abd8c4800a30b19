// "/localfile": files of the user's disk by path, for pages that show images the user chose, with
// entity tags and conditional replies on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

class HttpLocalfileHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpLocalfileHandler, HttpHandler, "http")

 public:
  // Size in bytes and modification time in microseconds since 1970 (UTC) of `path`; both outputs
  // must be set. The result is not used.
  using StatFunction = int (*)(const char* path, size_t pathLength, uint64_t* size,
                               int64_t* modifiedMicros, void* userData);

  static constexpr int kDefaultMaxAge = 86400;

  const char* path() override { return "/localfile"; }
  // Query: "path" (the file, UTF-8), "cache_control" (non-empty: validators and caching
  // headers), "cache_age" (the max-age for them). A malformed escape in the query answers 400.
  bool handleGet(HttpRequest* request, HttpResponseConnection* connection) override;
  // A diagnostic echo of the body to standard output; replies 200 without a body.
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;

  // Adds "Cache-Control", "Last-Modified", "ETag" and "Pragma" to a 200 reply for the file at
  // `path`, and turns it into 304 when the request's "If-None-Match" (or, without one,
  // "If-Modified-Since") shows the page already has this version. Does nothing for other
  // statuses, nor for a request that says "Cache-Control: no-cache" unless `force` is set.
  // maxAge below 0 takes the request's "cache_age" query value, or kDefaultMaxAge; 0 sends
  // "no-cache". Without statFn the file system gives size and time. Failures (a malformed date,
  // a vanished file) are logged as warnings and leave the response as it was.
  static void applyCacheHeaders(const std::string& path, HttpRequest* request,
                                std::shared_ptr<HttpResponse> response, int maxAge, bool force,
                                StatFunction statFn, void* userData);

  // The entity tag of a file: lower-case hexadecimal MD5 of "path-size-seconds".
  static std::string entityTag(const std::string& path, uint64_t size, int64_t seconds);
};

}  // namespace http
