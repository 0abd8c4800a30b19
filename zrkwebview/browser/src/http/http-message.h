// The request model every handler and plugin command is written against: the request a page
// sent, the connection a reply is written to, the response a handler returns, the handler
// interface, byte ranges and the standard reason phrases.
//
// All text is UTF-8 in std::string (bodies are raw bytes). Fields that share their name with an
// accessor carry a trailing underscore.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vesk/tobject.h"

namespace zrk {
class Webview;
}

namespace http {

// ASCII letters compared without regard to case (header names, methods, query keys).
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// (name, value) pairs in insertion order; names may repeat.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request a page sent to the application's host.
class HttpRequest {
 public:
  HttpRequest() = default;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;
  virtual ~HttpRequest() = default;

  // "GET", "POST", "OPTIONS", "HEAD" as sent; empty when it cannot be read.
  virtual std::string method() = 0;
  // Size of the body in bytes; 0 without one.
  virtual uint64_t contentLength() = 0;
  // The URL as received, scheme and host included.
  virtual std::string uri() = 0;
  virtual HeaderList headers() = 0;
  // Carries nothing; implementations return an empty value.
  virtual std::vector<uint8_t> reserved() = 0;
  // The value of the first header named `name` (ASCII case ignored); empty when there is none.
  virtual std::string header(const std::string& name) = 0;
  // The next at most maxBytes body bytes; empty at the end of the body or without one. Readers
  // stop at the first piece shorter than what they asked for.
  virtual std::string read(size_t maxBytes) = 0;

  // May be called from another thread while a handler runs; long-running handlers poll it.
  virtual bool isCancelled() { return cancelled.load(); }
  virtual void cancel() { cancelled.store(true); }

 protected:
  std::atomic<bool> cancelled{false};
};

// The sink a reply is written to. Calling order: setStatus once, addHeader for every header, any
// number of write, finish once.
class HttpResponseConnection {
 public:
  HttpResponseConnection() = default;
  HttpResponseConnection(const HttpResponseConnection&) = delete;
  HttpResponseConnection& operator=(const HttpResponseConnection&) = delete;
  virtual ~HttpResponseConnection() = default;

  // The peer is gone and writing should stop.
  virtual bool isClosed() { return false; }
  // Hands `length` body bytes to the peer; returns how many it took.
  virtual int write(const void* data, size_t length) = 0;
  virtual void addHeader(const std::string& name, const std::string& value) = 0;
  // `reason` null keeps the peer's default phrase.
  virtual void setStatus(int code, const char* reason) = 0;
  // The reply is complete; nothing may be written after it.
  virtual void finish() = 0;
};

// The body source a handler or plugin command answers with; written by sendResponse.
class HttpResponse : public Vesk::TObject {
  VESK_DECLARE_CLASS(HttpResponse, Vesk::TObject, "http")

 public:
  HttpResponse() = default;
  ~HttpResponse() override = default;

  // True: the body has an open length and streams until isEnd.
  virtual bool isChunked() { return false; }
  // False makes the writer ignore "Range".
  virtual bool supportsRanges() { return true; }
  // No body bytes remain after the read position.
  virtual bool isEnd() = 0;
  virtual int status() { return status_; }
  virtual uint64_t contentLength() = 0;
  virtual std::string reasonPhrase() { return std::string(); }
  virtual HeaderList headers() { return headers_; }
  // The next at most maxBytes body bytes from the read position, advancing it.
  virtual std::string read(size_t maxBytes) = 0;
  virtual void seek(uint64_t offset) = 0;
  // Appends; an earlier header of the same name stays.
  virtual void addHeader(const std::string& name, const std::string& value) {
    headers_.emplace_back(name, value);
  }

  void setStatus(int status) { status_ = status; }
  // When non-empty, the writer sends it as the reason phrase (and as "x-status-error" for
  // failures).
  std::string statusMessage() const { return statusMessage_; }

 protected:
  int status_ = 200;
  HeaderList headers_;
  std::string statusMessage_;
};

// The interface of an object that answers the requests for a path.
class HttpHandlerProtocol {
 public:
  HttpHandlerProtocol() = default;
  HttpHandlerProtocol(void* context1, void* context2) : context1_(context1), context2_(context2) {}
  virtual ~HttpHandlerProtocol() = default;

  // The path served ("/plugin"), or null when the handler serves no fixed path.
  virtual const char* path() = 0;
  // A second chance for handlers whose path does not match.
  virtual bool canHandle(const char* path) {
    (void)path;
    return false;
  }
  virtual bool handleGet(HttpRequest* request, HttpResponseConnection* connection) {
    (void)request;
    (void)connection;
    return false;
  }
  virtual bool handlePost(HttpRequest* request, HttpResponseConnection* connection) {
    (void)request;
    (void)connection;
    return false;
  }
  virtual bool reserved() { return false; }

  // The webview of the request being served on the calling thread. Handlers are shared by every
  // webview and two request threads may run the same handler at once, so the router hands each
  // call its webview through a per-thread slot rather than through a field of the shared handler
  // object: setWebview fills the calling thread's slot, webview() reads it during handleGet or
  // handlePost.
  void setWebview(zrk::Webview* webview) { currentWebviewSlot() = webview; }
  zrk::Webview* webview() const { return currentWebviewSlot(); }

  void setContext1(void* context) { context1_ = context; }
  void setContext2(void* context) { context2_ = context; }

 protected:
  static zrk::Webview*& currentWebviewSlot() {
    thread_local zrk::Webview* slot = nullptr;
    return slot;
  }

  void* context1_ = nullptr;
  void* context2_ = nullptr;
};

// The base of every request handler. Each handler class declares its own class descriptor
// (VESK_DECLARE_CLASS with http::HttpHandler as superclass): the handler list accepts only kinds
// of HttpHandler.
class HttpHandler : public Vesk::TObject, public HttpHandlerProtocol {
  VESK_DECLARE_CLASS(HttpHandler, Vesk::TObject, "http")

 public:
  HttpHandler() = default;
  ~HttpHandler() override = default;
};

// One byte range.
struct Range {
  // The offset of a range without offset.
  static constexpr uint64_t kNoOffset = UINT64_MAX;

  Range() = default;
  Range(uint64_t offset, uint64_t length) : offset(offset), length(length) {}
  Range(const Range&) = default;
  Range& operator=(const Range&) = default;
  virtual ~Range() = default;

  // One past the last byte; 0 for a range without offset.
  uint64_t end() const { return offset == kNoOffset ? 0 : offset + length; }

  bool operator<(const Range& other) const {
    return offset != other.offset ? offset < other.offset : length < other.length;
  }
  bool operator==(const Range& other) const {
    return offset == other.offset && length == other.length;
  }

  uint64_t offset = kNoOffset;
  uint64_t length = 0;
};

// Parses a "Range" header value against a body of contentLength bytes. On true `ranges` holds at
// least one range, sorted, pairwise non-overlapping and within the body (an empty suffix range
// "-0" sits at offset contentLength). False for anything unusable; `ranges` is cleared first.
bool parseRangeHeader(const std::string& value, uint64_t contentLength, std::vector<Range>& ranges);

// The standard reason phrase of a status code, or the phrase of its class; never null.
const char* statusReasonPhrase(int status);

}  // namespace http
