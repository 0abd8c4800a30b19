#include "zrkwebview/browser/src/http/request-router.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include <Poco/URI.h>

#include "vesk/log.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/handlers/http-static-file-handler.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/http/tracking-connection.h"

namespace http {

namespace {

long matchPattern(std::string_view pattern, std::string_view text) {
  const size_t bar = pattern.find('|');
  if (bar != std::string_view::npos) {
    const long first = matchPattern(pattern.substr(0, bar), text);
    if (first > 0) return first;
    return matchPattern(pattern.substr(bar + 1), text);
  }
  size_t i = 0;
  size_t j = 0;
  while (i < pattern.size()) {
    const char p = pattern[i];
    if (p == '?') {
      if (j >= text.size()) return -1;
      ++i;
      ++j;
    } else if (p == '$') {
      return j == text.size() ? static_cast<long>(j) : -1;
    } else if (p == '*') {
      size_t covered;
      if (i + 1 < pattern.size() && pattern[i + 1] == '*') {
        covered = text.size() - j;
        i += 2;
      } else {
        const size_t slash = text.find('/', j);
        covered = (slash == std::string_view::npos ? text.size() : slash) - j;
        i += 1;
      }
      if (i == pattern.size()) return static_cast<long>(j + covered);
      const std::string_view rest = pattern.substr(i);
      for (size_t k = covered + 1; k-- > 0;) {
        const long r = matchPattern(rest, text.substr(j + k));
        if (r != -1) return static_cast<long>(j + k) + r;
      }
      return -1;
    } else {
      if (j >= text.size() ||
          std::tolower(static_cast<unsigned char>(p)) != std::tolower(static_cast<unsigned char>(text[j]))) {
        return -1;
      }
      ++i;
      ++j;
    }
  }
  return static_cast<long>(j);
}

std::shared_ptr<HttpHandler> makeStaticFileHandler() { return std::make_shared<HttpStaticFileHandler>(); }

void reply(TrackingConnection& connection, HttpRequest* request, HttpResponse& response) {
  if (connection.started()) {
    connection.finish();
  } else {
    sendResponse(&connection, request, &response);
  }
}

// The origin of a page of the application: scheme://host for one of its host names.
bool isOwnOrigin(const RouteConfig& config, const std::string& origin) {
  const std::string prefix = config.scheme + "://";
  if (origin.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string host = origin.substr(prefix.size());
  if (host == config.domain) return true;
  for (const auto& extra : config.extraDomains) {
    if (host == extra) return true;
  }
  return false;
}

// Clears the calling thread's webview slot when the call ends, however it ends.
struct WebviewScope {
  explicit WebviewScope(HttpHandler& handler, zrk::Webview* webview) : handler(handler) {
    handler.setWebview(webview);
  }
  ~WebviewScope() { handler.setWebview(nullptr); }
  HttpHandler& handler;
};

}  // namespace

long matchPathPattern(const char* pattern, size_t n, const std::string& text) {
  if (pattern == nullptr) return -1;
  return matchPattern(std::string_view(pattern, n), text);
}

bool matchHandlerPath(const std::string& routePath, const char* handlerPath) {
  if (handlerPath == nullptr) return false;
  const std::string_view handler(handlerPath);
  if (routePath == handler) return true;
  if (routePath != "/" && handler.size() < routePath.size() && routePath[handler.size()] == '/' &&
      routePath.compare(0, handler.size(), handler) == 0) {
    return true;
  }
  return matchPathPattern(handlerPath, handler.size(), routePath) > 0;
}

bool isPluginCall(const std::string& uri, const std::string& domain) {
  try {
    const Poco::URI parsed(uri);
    return equalsIgnoringCase(parsed.getHost(), domain) && parsed.getPath() == "/plugin";
  } catch (...) {
    return false;
  }
}

std::string routePath(const std::string& uri, const std::string& hostPrefix) {
  if (hostPrefix.empty() || uri.compare(0, hostPrefix.size(), hostPrefix) != 0) return uri;
  // "https://app" must not cut "https://apple/x" into "le/x": the host has to end there.
  if (uri.size() > hostPrefix.size()) {
    const char next = uri[hostPrefix.size()];
    if (next != '/' && next != '?' && next != '#' && next != ':') return uri;
  }
  return uri.substr(hostPrefix.size());
}

bool routeRequest(const RouteConfig& config, const HandlerArray& handlers,
                  FallbackHandlerFactory fallback, HttpRequest* request,
                  HttpResponseConnection* rawConnection, zrk::Webview* webview) {
  TrackingConnection connection(rawConnection);
  // First, so that every reply, an error reply too, is readable by the page.
  connection.addHeader("Access-Control-Allow-Origin", "*");
  try {
    const std::string path = routePath(request->uri(), config.scheme + "://" + config.domain);
    const std::string method = request->method();

    // The plugin handler takes exactly the plugin calls, the requests the plugin queue runs.
    const bool pluginCall = isPluginCall(request->uri(), config.domain);
    std::shared_ptr<HttpHandler> handler;
    for (const auto& entry : handlers) {
      auto candidate = std::dynamic_pointer_cast<HttpHandler>(entry);
      if (!candidate) continue;
      if (candidate->isKindOfClass(&HttpPluginHandler::classDescriptor)) {
        if (!pluginCall) continue;
        handler = std::move(candidate);
        break;
      }
      if (matchHandlerPath(path, candidate->path()) || candidate->canHandle(path.c_str())) {
        handler = std::move(candidate);
        break;
      }
    }
    if (!handler) handler = (fallback != nullptr ? fallback : makeStaticFileHandler)();

    if (equalsIgnoringCase(method, "OPTIONS")) {
      std::puts("handle options");
      std::fflush(stdout);
      HttpMimeResponse response("", "");
      response.setStatus(204);
      response.addHeader("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
      const std::string asked = request->header("Access-Control-Request-Headers");
      response.addHeader("Access-Control-Allow-Headers", asked.empty() ? "*" : asked);
      response.addHeader("Access-Control-Max-Age", "86400");
      reply(connection, request, response);
      return true;
    }
    const bool get = equalsIgnoringCase(method, "GET");
    const bool post = equalsIgnoringCase(method, "POST");
    if (!get && !post) {
      HttpStatusResponse response(405, "method not allowed");
      response.addHeader("Allow", "GET, POST, OPTIONS");
      reply(connection, request, response);
      return true;
    }

    if (handler->isKindOfClass(&HttpPluginHandler::classDescriptor)) {
      const std::string origin = request->header("Origin");
      if (!origin.empty() && !isOwnOrigin(config, origin)) {
        ZRK_LOG_WARN("plugin call refused for the origin %s", origin.c_str());
        HttpStatusResponse response(403, "origin not allowed");
        reply(connection, request, response);
        return true;
      }
    }

    {
      WebviewScope scope(*handler, webview);
      if (get) {
        handler->handleGet(request, &connection);
      } else {
        handler->handlePost(request, &connection);
      }
    }
    if (!connection.finished()) {
      HttpStatusResponse response(404);
      reply(connection, request, response);
    }
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("request failed: %s", e.what());
    HttpStatusResponse response(500, std::string(e.what()));
    try {
      reply(connection, request, response);
    } catch (...) {
    }
  } catch (...) {
    ZRK_LOG_ERROR("request failed: %s", "unknown exception");
    HttpStatusResponse response(500, "Internal Server Error");
    try {
      reply(connection, request, response);
    } catch (...) {
    }
  }
  return true;
}

}  // namespace http
