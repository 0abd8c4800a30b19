#include "zrkwebview/browser/src/http/http-body-buffer.h"

#include <algorithm>
#include <stdexcept>

namespace http {

HttpBufferResponse::HttpBufferResponse(std::shared_ptr<const HttpBodyBuffer> body,
                                       const char* mimeType)
    : body_(std::move(body)), mimeType_(mimeType != nullptr ? mimeType : "") {
  addHeader("Content-Type", mimeType_);
}

std::string HttpBufferResponse::read(size_t maxBytes) {
  const size_t total = size();
  if (readOffset_ > total) {
    throw std::out_of_range("HttpBufferResponse::read: read position beyond the end of the body");
  }
  const size_t n = static_cast<size_t>(std::min<uint64_t>(maxBytes, total - readOffset_));
  std::string piece = n > 0 ? std::string(body_->data() + readOffset_, n) : std::string();
  readOffset_ += n;
  return piece;
}

}  // namespace http
