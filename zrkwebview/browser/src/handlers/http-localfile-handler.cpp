#include "zrkwebview/browser/src/handlers/http-localfile-handler.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/URI.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "vesk/crypto.h"
#include "vesk/log.h"
#include "vesk/tdata.h"
#include "zrkwebview/browser/src/handlers/file-serving.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/mime-types.h"

namespace http {

namespace {

using fileserving::equalsIgnoringAsciiCase;

// The text after the last "." of the path; empty without one.
std::string extensionOf(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

// Whole seconds of a time in microseconds, truncated toward zero.
int64_t wholeSeconds(int64_t micros) { return micros / 1000000; }

void statFile(const std::string& path, uint64_t& size, int64_t& modifiedMicros) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw std::runtime_error("cannot read the file's size and time: " + std::string(std::strerror(errno)));
  }
  size = static_cast<uint64_t>(info.st_size);
  modifiedMicros = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000 + info.st_mtim.tv_nsec / 1000;
}

// The shape of an HTTP date, "Sun, 06 Nov 1994 08:49:37 GMT" (or with a numeric zone). The date
// parser alone accepts nearly any text, reading what it cannot make out as zero.
bool looksLikeHttpDate(const std::string& text) {
  static const char pattern[] = "Aaa, 00 Aaa 0000 00:00:00 ";
  const size_t fixed = sizeof(pattern) - 1;
  if (text.size() < fixed + 3) return false;
  for (size_t i = 0; i < fixed; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool ok = pattern[i] == 'A' || pattern[i] == 'a' ? std::isalpha(c) != 0
                    : pattern[i] == '0'                     ? std::isdigit(c) != 0
                                                            : c == static_cast<unsigned char>(pattern[i]);
    if (!ok) return false;
  }
  const std::string zone = text.substr(fixed);
  if (zone == "GMT" || zone == "UTC" || zone == "UT" || zone == "Z") return true;
  return zone.size() == 5 && (zone[0] == '+' || zone[0] == '-') &&
         std::all_of(zone.begin() + 1, zone.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The max-age a request asks for with "cache_age": the last usable value, else the default.
int requestedMaxAge(HttpRequest* request) {
  int maxAge = HttpLocalfileHandler::kDefaultMaxAge;
  const Poco::URI uri(request->uri());
  if (uri.getQuery().find("cache_age=") == std::string::npos) return maxAge;
  for (const auto& [key, value] : fileserving::parseQuery(uri.getRawQuery())) {
    int parsed = 0;
    // A negative age would make an invalid header; it is ignored like any other bad value.
    if (equalsIgnoringAsciiCase(key, "cache_age") && !value.empty() &&
        Poco::NumberParser::tryParse(value, parsed, ',') && parsed >= 0) {
      maxAge = parsed;
    }
  }
  return maxAge;
}

}  // namespace

std::string HttpLocalfileHandler::entityTag(const std::string& path, uint64_t size, int64_t seconds) {
  const std::string text = path + "-" + std::to_string(size) + "-" + std::to_string(seconds);
  return Vesk::md5Hex(std::make_shared<Vesk::TData>(text.data(), text.size()));
}

void HttpLocalfileHandler::applyCacheHeaders(const std::string& path, HttpRequest* request,
                                             std::shared_ptr<HttpResponse> response, int maxAge,
                                             bool force, StatFunction statFn, void* userData) {
  if (!response || request == nullptr || response->status() != 200) return;
  try {
    if (!force && request->header("Cache-Control") == "no-cache") return;
    const int age = maxAge >= 0 ? maxAge : requestedMaxAge(request);

    uint64_t size = 0;
    int64_t modifiedMicros = 0;
    if (statFn != nullptr) {
      statFn(path.data(), path.size(), &size, &modifiedMicros, userData);
    } else {
      statFile(path, size, modifiedMicros);
    }
    const int64_t seconds = wholeSeconds(modifiedMicros);
    const std::string tag = entityTag(path, size, seconds);

    // The entity tag is the stronger validator: with one, the date is not consulted (a file
    // rewritten within the second it was fetched has a new tag but the same date). The date is
    // compared in whole seconds, the precision of the Last-Modified it echoes.
    bool notModified = false;
    const std::string ifNoneMatch = request->header("If-None-Match");
    if (!ifNoneMatch.empty()) {
      notModified = ifNoneMatch == tag;
    } else {
      const std::string ifModifiedSince = request->header("If-Modified-Since");
      if (!ifModifiedSince.empty()) {
        if (!looksLikeHttpDate(ifModifiedSince)) {
          throw std::invalid_argument("If-Modified-Since is not an HTTP date: " + ifModifiedSince);
        }
        int zone = 0;
        const Poco::DateTime since =
            Poco::DateTimeParser::parse(Poco::DateTimeFormat::HTTP_FORMAT, ifModifiedSince, zone);
        const int64_t sinceSeconds = since.timestamp().epochTime() - zone;
        notModified = sinceSeconds >= seconds;
      }
    }
    const std::string lastModified = formatHttpDate(seconds);

    if (notModified) response->setStatus(304);
    response->addHeader("Cache-Control", age == 0 ? "no-cache" : "max-age=" + std::to_string(age) + ", public");
    response->addHeader("Last-Modified", lastModified);
    response->addHeader("ETag", tag);
    response->addHeader("Pragma", "public");
  } catch (const Poco::Exception& e) {
    ZRK_LOG_WARN("cache headers for %s: %s", path.c_str(), e.displayText().c_str());
  } catch (const std::exception& e) {
    ZRK_LOG_WARN("cache headers for %s: %s", path.c_str(), e.what());
  } catch (...) {
    ZRK_LOG_WARN("cache headers for %s: unknown failure", path.c_str());
  }
}

bool HttpLocalfileHandler::handleGet(HttpRequest* request, HttpResponseConnection* connection) {
  std::string path;
  std::string cacheControl;
  try {
    const Poco::URI uri(request->uri());
    for (const auto& [key, value] : fileserving::parseQuery(uri.getRawQuery())) {
      if (equalsIgnoringAsciiCase(key, "path")) {
        std::string decoded;
        Poco::URI::decode(value, decoded);
        path += decoded;
      } else if (equalsIgnoringAsciiCase(key, "cache_control")) {
        cacheControl = value;
      }
    }
  } catch (const Poco::Exception& e) {
    HttpStatusResponse response(400, "Bad Request: %s", e.displayText().c_str());
    sendResponse(connection, request, &response);
    return true;
  }

  const char* mimeType = nullptr;
  if (!path.empty()) {
    mimeType = mimeTypeForExtension(extensionOf(path).c_str());
    path = fileserving::normalizeLocalPath(path);
  }
  auto response = std::make_shared<HttpFileResponse>(path, mimeType);
  if (!cacheControl.empty()) applyCacheHeaders(path, request, response, -1, false, nullptr, nullptr);
  sendResponse(connection, request, response.get());
  return true;
}

bool HttpLocalfileHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
  (void)request->header("Content-Type");
  std::string body;
  for (;;) {
    std::printf("Read more data...\n");
    const std::string piece = request->read(1024);
    std::printf("read %zu bytes\n", piece.size());
    body += piece;
    if (piece.size() < 1024) break;
  }
  std::printf("post data: %s\n", body.c_str());
  std::fflush(stdout);
  HttpStatusResponse response(200);
  sendResponse(connection, request, &response);
  return true;
}

}  // namespace http
