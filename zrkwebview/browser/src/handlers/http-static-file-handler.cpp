#include "zrkwebview/browser/src/handlers/http-static-file-handler.h"

#include <Poco/Exception.h>
#include <Poco/Path.h>
#include <Poco/URI.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "zrkwebview/browser/src/handlers/file-serving.h"
#include "zrkwebview/browser/src/handlers/static-path-table.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/mime-types.h"

namespace fs = std::filesystem;

namespace http {

namespace {

void replyMethodNotAllowed(HttpRequest* request, HttpResponseConnection* connection) {
  HttpStatusResponse response(405, "Method Not Allowed");
  response.addHeader("Allow", "GET");
  sendResponse(connection, request, &response);
}

}  // namespace

bool HttpStaticFileHandler::canHandle(const char* path) {
  (void)path;
  return false;
}

std::string HttpStaticFileHandler::resolvePath(const std::string& urlPath) {
  std::string path;
  try {
    // The router hands over a decoded path; decoding once more catches "%252e%252e" as "..".
    path = Poco::URI(urlPath).getPath();
  } catch (const Poco::Exception&) {
    return std::string();
  }
  StaticPathTable::Entry entry;
  if (!StaticPathTable::match(path, entry) || entry.directory.empty()) return std::string();
  const std::string normalized = StaticPathTable::normalize(path);
  if (normalized.size() <= entry.prefix.size()) return std::string();
  const std::string remainder = normalized.substr(entry.prefix.size());
  if (fileserving::hasParentSegment(remainder)) return std::string();

  const std::string candidate = (fs::path(entry.directory) / fs::path(remainder)).string();
  if (!fileserving::staysInside(entry.directory, candidate)) return std::string();
  std::error_code ec;
  if (!fs::exists(fs::path(candidate), ec) || ec) return std::string();
  return candidate;
}

bool HttpStaticFileHandler::handleGet(HttpRequest* request, HttpResponseConnection* connection) {
  std::string file;
  try {
    file = resolvePath(Poco::URI(request->uri()).getPath());
  } catch (const Poco::Exception&) {
    file.clear();  // a URL that does not parse names no file
  }
  if (file.empty()) {
    HttpStatusResponse response(404, "File not found");
    sendResponse(connection, request, &response);
    return true;
  }
  const std::string extension = Poco::Path(file).getExtension();
  const char* mimeType = mimeTypeForExtension(extension.c_str());
  HttpFileResponse response(file, mimeType != nullptr ? mimeType : "application/octet-stream");
  sendResponse(connection, request, &response);
  return true;
}

bool HttpStaticFileHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
  replyMethodNotAllowed(request, connection);
  return true;
}

HttpAssetHandler::HttpAssetHandler(std::function<std::string()> assetFolder)
    : assetFolder_(std::move(assetFolder)) {}

std::string HttpAssetHandler::filePathFor(const std::string& uri, bool& refused) const {
  refused = false;
  static const std::string marker = "/asset/";
  const size_t at = uri.find(marker);
  if (at == std::string::npos) return std::string();
  const std::string name = uri.substr(at + marker.size());
  const std::string folder = assetFolder_ ? assetFolder_() : std::string();
  const std::string file = fileserving::normalizeLocalPath(fileserving::joinLocalPath(folder, name));
  if (fileserving::hasParentSegment(name) || !fileserving::staysInside(folder, file)) {
    refused = true;
    return std::string();
  }
  return file;
}

bool HttpAssetHandler::handleGet(HttpRequest* request, HttpResponseConnection* connection) {
  bool refused = false;
  const std::string file = filePathFor(request->uri(), refused);
  if (refused) {
    HttpStatusResponse response(404, "File not found");
    sendResponse(connection, request, &response);
    return true;
  }
  HttpFileResponse response(file);  // no type: the reply carries no "Content-Type"
  sendResponse(connection, request, &response);
  return true;
}

bool HttpAssetHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
  replyMethodNotAllowed(request, connection);
  return true;
}

}  // namespace http
