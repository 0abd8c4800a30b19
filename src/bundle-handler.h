// The request handler that serves the user interface out of the resource bundle: it claims every
// request whose URL path names a bundle entry and answers a GET with the entry's bytes. It has no
// path of its own and stands first in the handler list, so it is asked before every other handler.
#pragma once

#include <string>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

class HttpBundleHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpBundleHandler, HttpHandler, "http")

 public:
  const char* path() override { return nullptr; }
  // True when the URL's path names a bundle entry; never for "plugin", never for a URL that does
  // not parse.
  bool canHandle(const char* path) override;
  // The entry's bytes with a MIME type by its extension ("w" is "text/html"), 404 "<name> not
  // found" when the store has no such entry, 444 with the error's text when the URL does not
  // parse or the answer cannot be built.
  bool handleGet(HttpRequest* request, HttpResponseConnection* connection) override;
  // Only GET is served: nothing is written, false.
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;

  // The entry name a URL (or a route path) names: its percent-decoded path without one leading
  // "/"; scheme, host, query and fragment play no part. Throws a std::exception for a URL that
  // does not parse.
  static std::string bundleName(const std::string& url);
  // The MIME type of an entry by its extension.
  static std::string mimeTypeFor(const std::string& name);
};

// Puts the bundle handler at the front of the handler list, once per process.
void registerBundleHandler();

}  // namespace http
