#include "zrkwebview/browser/src/webview2/web-request.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "vesk/log.h"

namespace zrk {

std::string MemoryRequestBody::nextPiece(size_t maxBytes) {
  const size_t n = std::min(maxBytes, bytes_.size() - offset_);
  std::string piece = bytes_.substr(offset_, n);
  offset_ += n;
  return piece;
}

WebRequest::WebRequest(desk::web::Request request)
    : WebRequest(std::move(request.method), std::move(request.url), std::move(request.headers),
                 request.body.empty() ? nullptr
                                      : std::make_unique<MemoryRequestBody>(std::move(request.body))) {}

WebRequest::WebRequest(std::string method, std::string url, desk::web::Headers headers,
                       std::unique_ptr<RequestBody> body)
    : method_(std::move(method)),
      url_(std::move(url)),
      headers_(std::move(headers)),
      body_(std::move(body)) {
  noteTransferEncoding();
}

void WebRequest::noteTransferEncoding() {
  for (const auto& [name, value] : headers_) {
    if (http::equalsIgnoringCase(name, "Transfer-Encoding")) {
      ZRK_LOG_INFO("request %s carries \"Transfer-Encoding: %s\"", url_.c_str(), value.c_str());
      return;
    }
  }
}

uint64_t WebRequest::contentLength() { return body_ ? body_->size() : 0; }

std::string WebRequest::header(const std::string& name) {
  for (const auto& [key, value] : headers_) {
    if (http::equalsIgnoringCase(key, name)) return value;
  }
  return std::string();
}

std::string WebRequest::read(size_t maxBytes) {
  std::string out;
  if (!body_ || maxBytes == 0) return out;
  const uint64_t size = body_->size();
  const uint64_t remaining = size > position_ ? size - position_ : 0;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(maxBytes, remaining)));
  while (out.size() < maxBytes) {
    std::string piece = body_->nextPiece(maxBytes - out.size());
    if (piece.empty()) break;
    if (piece.size() > maxBytes - out.size()) piece.resize(maxBytes - out.size());
    out += piece;
  }
  position_ += out.size();
  return out;
}

WebResponse::WebResponse(std::shared_ptr<desk::web::Deferral> deferral)
    : deferral_(std::move(deferral)) {}

WebResponse::~WebResponse() {
  try {
    fail();
  } catch (...) {
  }
}

int WebResponse::write(const void* data, size_t length) {
  if (data != nullptr && length > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    response_.body.append(static_cast<const char*>(data), length);
  }
  return static_cast<int>(length);
}

namespace {

// A whole in-memory body read by the engine from its start.
class BufferBodySource : public desk::web::BodySource {
 public:
  explicit BufferBodySource(std::shared_ptr<const http::HttpBodyBuffer> body)
      : body_(std::move(body)) {}
  uint64_t size() const override { return body_->size(); }
  int64_t read(char* buffer, size_t max) override {
    const size_t n = std::min(max, body_->size() - offset_);
    std::memcpy(buffer, body_->data() + offset_, n);
    offset_ += n;
    return static_cast<int64_t>(n);
  }

 private:
  std::shared_ptr<const http::HttpBodyBuffer> body_;
  size_t offset_ = 0;
};

}  // namespace

bool WebResponse::takeBody(std::shared_ptr<const http::HttpBodyBuffer> body) {
  if (!body) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  response_.body.clear();
  response_.bodySource = std::make_shared<BufferBodySource>(std::move(body));
  return true;
}

void WebResponse::addHeader(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  response_.headers.emplace_back(name, value);
}

void WebResponse::setStatus(int code, const char* reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  response_.status = code;
  if (reason != nullptr) response_.reason = reason;
}

void WebResponse::finish() {
  std::shared_ptr<desk::web::Deferral> deferral;
  desk::web::Response reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
    deferral = std::move(deferral_);
    reply = std::move(response_);
  }
  // The engine frames the body itself: no transfer coding, and the length of what is sent.
  auto& headers = reply.headers;
  headers.erase(std::remove_if(headers.begin(), headers.end(),
                               [](const auto& h) {
                                 return http::equalsIgnoringCase(h.first, "Transfer-Encoding") ||
                                        http::equalsIgnoringCase(h.first, "Content-Length");
                               }),
                headers.end());
  headers.emplace_back("Content-Length", std::to_string(reply.bodySource ? reply.bodySource->size()
                                                                         : reply.body.size()));
  if (!deferral) return;
  const desk::web::Result result = deferral->complete(std::move(reply));
  if (result != desk::web::Result::ok) {
    ZRK_LOG_WARN("a reply could not be handed over: %s", desk::web::resultName(result));
  }
}

void WebResponse::fail() {
  std::shared_ptr<desk::web::Deferral> deferral;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
    deferral = std::move(deferral_);
  }
  if (deferral) deferral->fail();
}

bool WebResponse::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

}  // namespace zrk
