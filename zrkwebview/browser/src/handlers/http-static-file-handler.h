// The handlers that serve files outside the plugin road: the static-file handler answers every
// request no handler of the list claims, through the static path table; the asset handler
// answers "/asset" from the application's asset folder.
#pragma once

#include <functional>
#include <string>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

// Made by the router for one unclaimed request.
class HttpStaticFileHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpStaticFileHandler, HttpHandler, "http")

 public:
  const char* path() override { return nullptr; }
  bool canHandle(const char* path) override;
  // The file the table maps the URL path to, or 404 "File not found".
  bool handleGet(HttpRequest* request, HttpResponseConnection* connection) override;
  // Only GET is served: 405.
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;

  // The path of an existing local file for a (decoded) URL path, or empty: no table entry, an
  // entry without folder, a path that ends at the prefix, a missing file, or a path that would
  // leave the entry's folder (a ".." segment, also once more decoded, or a symbolic link pointing
  // out).
  static std::string resolvePath(const std::string& urlPath);
};

// Serves "/asset/<name>" from the asset folder. The name is the rest of the URL as it stands
// (query included, nothing decoded); a name that would leave the folder answers 404.
class HttpAssetHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpAssetHandler, HttpHandler, "http")

 public:
  // `assetFolder` is asked on every request; without one the folder is empty, and names are
  // taken relative to the working folder.
  explicit HttpAssetHandler(std::function<std::string()> assetFolder = {});

  const char* path() override { return "/asset"; }
  bool handleGet(HttpRequest* request, HttpResponseConnection* connection) override;
  // Only GET is served: 405.
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;

  // The local path for a request URL: empty without "/asset/" in it, and for a name that would
  // leave the folder; otherwise the folder and the name joined and normalised.
  std::string filePathFor(const std::string& uri, bool& refused) const;

 private:
  std::function<std::string()> assetFolder_;
};

}  // namespace http
