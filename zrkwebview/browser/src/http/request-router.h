// The request router: hands every request a page sends to the virtual host to the first handler
// of the handler list that claims it, and makes sure the request is answered.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

// What the router needs to know of the application.
struct RouteConfig {
  // "https"
  std::string scheme;
  // The virtual host name the bridge's requests go to.
  std::string domain;
  // Further host names of the application (the one the pages load from).
  std::vector<std::string> extraDomains;
};

// The handler for a request no handler of the list claims; made anew for each such request.
using FallbackHandlerFactory = std::shared_ptr<HttpHandler> (*)();

// Routes one request:
//  1. The route path is the URL without its leading scheme://domain (query and fragment stay).
//     A URL of another host keeps its whole text.
//  2. The first handler of `handlers` that claims the request is taken: an
//     http::HttpPluginHandler claims exactly the plugin calls (isPluginCall); any other handler
//     claims a route path its path matches (matchHandlerPath), or else one its canHandle
//     accepts. With none, a handler made for this request alone by `fallback` (null: an
//     http::HttpStaticFileHandler).
//  3. The connection gets "Access-Control-Allow-Origin: *"; the handler gets the webview for
//     this call (setWebview) and then handleGet or handlePost (method compared without regard to
//     case).
// Every request leaves answered:
//  - OPTIONS: 204 with the CORS headers; any method but GET, POST and OPTIONS: 405;
//  - a plugin call whose Origin is present and is not one of the application's hosts: 403;
//  - a handler that returned without finishing its reply: 404 (or, when part of a reply already
//    went out, that reply is ended);
//  - an exception from a handler: 500 with its message; nothing escapes.
// Returns true.
bool routeRequest(const RouteConfig& config, const HandlerArray& handlers,
                  FallbackHandlerFactory fallback, HttpRequest* request,
                  HttpResponseConnection* connection, zrk::Webview* webview);

// True for a call of the "/plugin" handler: the URL's host is `domain` (ASCII case ignored) and
// its path, percent-decoded and without query or fragment, is exactly "/plugin". "/plug%69n" is
// one; "/PLUGIN", "/pluginx" and "/plugin/x" are not. A URL that does not parse is not one. The
// queue choice and the router both go by this.
bool isPluginCall(const std::string& uri, const std::string& domain);

// The route path of a URL: without the leading scheme://domain when it begins with it (and the
// host ends there), else the URL unchanged.
std::string routePath(const std::string& uri, const std::string& hostPrefix);

// True when the handler path claims the route path: equal; or a prefix of it followed by "/" (the
// route path not being "/"); or, read as a pattern, it matches a non-empty beginning of it.
bool matchHandlerPath(const std::string& routePath, const char* handlerPath);

// Matches the first n characters of the pattern against the beginning of the text; returns how
// many characters of the text matched, or -1. "|" separates alternatives, "?" is any one
// character, "*" any run without "/", "**" any run, "$" the end of the text; ASCII letters
// compare without regard to case.
long matchPathPattern(const char* pattern, size_t n, const std::string& text);

}  // namespace http
