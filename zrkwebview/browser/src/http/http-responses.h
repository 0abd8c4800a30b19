// The three kinds of reply handlers and plugin commands give: a status with a short message, a
// body held in memory with its MIME type, and a file streamed from disk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

// A status code and a short message, the common reply to anything that failed. Unless the status
// is 200 the message travels as the reason phrase (and, for a failure, as "x-status-error").
// Reason phrases can only carry plain ASCII, so a failure (below 200 or above 399) also carries
// its message whole as a UTF-8 text body, which the page side prefers.
class HttpStatusResponse : public HttpResponse {
  VESK_DECLARE_CLASS(HttpStatusResponse, HttpResponse, "http")

 public:
  explicit HttpStatusResponse(int status);
  // The message is formatted printf-style. Outside text (a path, an exception's message) goes in
  // as the argument of "%s", or through the constructor below, never as the format.
  HttpStatusResponse(int status, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // The message taken as it stands.
  HttpStatusResponse(int status, const std::string& message);
  ~HttpStatusResponse() override = default;

  // A message body is not a resource: "Range" never applies to it.
  bool supportsRanges() override { return false; }
  bool isEnd() override { return readOffset_ >= body_.size(); }
  uint64_t contentLength() override { return body_.size(); }
  std::string read(size_t maxBytes) override;
  void seek(uint64_t offset) override;

 private:
  void setMessage(std::string message);

  std::string body_;
  uint64_t readOffset_ = 0;
};

// A body held in memory and its MIME type ("application/json", "text/plain", ...). An empty type
// leaves the reply without "Content-Type".
class HttpMimeResponse : public HttpResponse {
  VESK_DECLARE_CLASS(HttpMimeResponse, HttpResponse, "http")

 public:
  HttpMimeResponse(std::string body, const char* mimeType);
  ~HttpMimeResponse() override = default;

  bool isEnd() override { return readOffset_ >= body_.size(); }
  uint64_t contentLength() override { return body_.size(); }
  // Throws std::out_of_range after a seek beyond the end of the body.
  std::string read(size_t maxBytes) override;
  void seek(uint64_t offset) override { readOffset_ = offset; }

  const std::string& body() const { return body_; }
  const std::string& mimeType() const { return mimeType_; }

 private:
  std::string body_;
  std::string mimeType_;
  uint64_t readOffset_ = 0;
};

// A file streamed from disk by its UTF-8 path, with 64-bit sizes and offsets.
//   status 400: empty path; 404: no such file; 403: anything else that keeps the file from being
//   served (not a regular file, no permission, cannot be opened).
// The file is opened when the response is made, so a file that cannot be read is a failure
// before anything is sent, never a reply that promises bytes it cannot deliver.
class HttpFileResponse : public HttpResponse {
  VESK_DECLARE_CLASS(HttpFileResponse, HttpResponse, "http")

 public:
  explicit HttpFileResponse(const std::string& path);
  // A null type leaves the reply without "Content-Type".
  HttpFileResponse(const std::string& path, const char* mimeType);
  ~HttpFileResponse() override;

  bool isEnd() override { return readOffset_ >= static_cast<uint64_t>(size_); }
  int status() override { return status_; }
  uint64_t contentLength() override { return static_cast<uint64_t>(size_); }
  std::string read(size_t maxBytes) override;
  void seek(uint64_t offset) override;

  // True when the file is open; otherwise tries to open it.
  bool open();

  const std::string& path() const { return path_; }
  int64_t size() const { return size_; }
  // Seconds since 1970 of the last modification.
  int64_t modified() const { return modified_; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  uint64_t readOffset_ = 0;
  int64_t size_ = 0;
  int64_t modified_ = 0;
};

}  // namespace http
