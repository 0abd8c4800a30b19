#include "src/bundle-handler.h"

#include <Poco/URI.h>

#include <exception>
#include <memory>

#include "src/resource-bundle.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/mime-types.h"

namespace http {

std::string HttpBundleHandler::bundleName(const std::string& url) {
  std::string path = Poco::URI(url).getPath();
  if (!path.empty() && path.front() == '/') path.erase(0, 1);
  return path;
}

std::string HttpBundleHandler::mimeTypeFor(const std::string& name) {
  size_t segment = name.rfind('/');
  std::string last = segment == std::string::npos ? name : name.substr(segment + 1);
  size_t dot = last.rfind('.');
  std::string extension = dot == std::string::npos ? std::string() : last.substr(dot + 1);
  if (const char* type = mimeTypeForExtension(extension.c_str())) {
    return *type != '\0' ? type : "application/octet-stream";
  }
  // Pages carry the extension "w", which the table does not know; the rule is case-sensitive.
  return extension == "w" ? "text/html" : "application/octet-stream";
}

bool HttpBundleHandler::canHandle(const char* path) {
  if (path == nullptr) return false;
  try {
    std::string name = bundleName(path);
    if (name == "plugin") return false;
    return BundleStore::get(name) != nullptr;
  } catch (...) {
    // A URL that does not parse names no entry; the next handler may still take it.
    return false;
  }
}

bool HttpBundleHandler::handleGet(HttpRequest* request, HttpResponseConnection* connection) {
  std::unique_ptr<HttpResponse> response;
  try {
    std::string name = bundleName(request->uri());
    if (const std::string* bytes = BundleStore::get(name)) {
      response = std::make_unique<HttpMimeResponse>(*bytes, mimeTypeFor(name).c_str());
    } else {
      response = std::make_unique<HttpStatusResponse>(404, name + " not found");
    }
  } catch (const std::exception& e) {
    response = std::make_unique<HttpStatusResponse>(444, std::string(e.what()));
  }
  sendResponse(connection, request, response.get());
  return true;
}

bool HttpBundleHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
  (void)request;
  (void)connection;
  return false;
}

void registerBundleHandler() {
  static const HandlerWrapper wrapper(std::make_shared<HttpBundleHandler>(), true);
  (void)wrapper;
}

}  // namespace http
