// Whole bodies held in memory (a decoded image, say) that travel to the peer without being
// copied: the buffer, the response that answers with one, and the connection side that takes one
// as it is. The response writer offers such a body to a connection that can take it, and writes
// it straight from the buffer otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

// The bytes of one body, shared and never changed once made.
class HttpBodyBuffer {
 public:
  virtual ~HttpBodyBuffer() = default;
  virtual const char* data() const = 0;
  virtual size_t size() const = 0;
};

// Implemented by connections that can send a whole in-memory body as it is: in place of any
// write, the connection keeps a reference to the body and returns true. False: the writer writes
// the body in pieces.
class HttpBodyTaker {
 public:
  virtual ~HttpBodyTaker() = default;
  virtual bool takeBody(std::shared_ptr<const HttpBodyBuffer> body) = 0;
};

// A body in a shared buffer and its MIME type ("Content-Type"; none for an empty type). The
// buffer is never copied into the response; a null buffer is an empty body.
class HttpBufferResponse : public HttpResponse {
  VESK_DECLARE_CLASS(HttpBufferResponse, HttpResponse, "http")

 public:
  HttpBufferResponse(std::shared_ptr<const HttpBodyBuffer> body, const char* mimeType);
  ~HttpBufferResponse() override = default;

  bool isEnd() override { return readOffset_ >= size(); }
  uint64_t contentLength() override { return size(); }
  // Throws std::out_of_range after a seek beyond the end of the body.
  std::string read(size_t maxBytes) override;
  void seek(uint64_t offset) override { readOffset_ = offset; }

  // The whole body, for the writer to send without reading it.
  const std::shared_ptr<const HttpBodyBuffer>& body() const { return body_; }
  const std::string& mimeType() const { return mimeType_; }

 private:
  size_t size() const { return body_ ? body_->size() : 0; }

  std::shared_ptr<const HttpBodyBuffer> body_;
  std::string mimeType_;
  uint64_t readOffset_ = 0;
};

}  // namespace http
