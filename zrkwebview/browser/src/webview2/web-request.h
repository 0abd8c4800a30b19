// The request and the reply connection of one page request the engine paused: the shape the
// router, the handlers and the response writer work on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desk/web/engine.h"
#include "vesk/tobject.h"
#include "zrkwebview/browser/src/http/http-body-buffer.h"
#include "zrkwebview/browser/src/http/http-message.h"

namespace zrk {

// A request body as it comes from the engine: its size, then its bytes in pieces of any size.
class RequestBody {
 public:
  virtual ~RequestBody() = default;
  virtual uint64_t size() = 0;
  // The next at most maxBytes bytes; a piece may be shorter than asked. Empty at the end of the
  // body (or when the body cannot be read further).
  virtual std::string nextPiece(size_t maxBytes) = 0;
};

// A body held whole in memory.
class MemoryRequestBody : public RequestBody {
 public:
  explicit MemoryRequestBody(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() override { return bytes_.size(); }
  std::string nextPiece(size_t maxBytes) override;

 private:
  std::string bytes_;
  size_t offset_ = 0;
};

class WebRequest : public http::HttpRequest, public Vesk::TObject {
  VESK_DECLARE_CLASS(WebRequest, Vesk::TObject, "zrk")

 public:
  // Takes the engine's request; its body (when not empty) is read from memory.
  explicit WebRequest(desk::web::Request request);
  // A request whose body comes from `body` (null: no body).
  WebRequest(std::string method, std::string url, desk::web::Headers headers,
             std::unique_ptr<RequestBody> body);

  std::string method() override { return method_; }
  // The body's size; the read position stays where it is.
  uint64_t contentLength() override;
  std::string uri() override { return url_; }
  // The headers in the engine's order, repeated names kept.
  http::HeaderList headers() override { return headers_; }
  std::vector<uint8_t> reserved() override { return {}; }
  // The first header of that name, ASCII case ignored; empty when there is none.
  std::string header(const std::string& name) override;
  // The next at most maxBytes bytes of the body, fewer only at its end, however the engine cuts
  // the body into pieces.
  std::string read(size_t maxBytes) override;

 private:
  void noteTransferEncoding();

  std::string method_;
  std::string url_;
  http::HeaderList headers_;
  std::unique_ptr<RequestBody> body_;
  uint64_t position_ = 0;
};

// Collects one reply and hands it to the engine once, at finish. Destroyed without finish, it
// fails the request: a page request always ends.
class WebResponse : public http::HttpResponseConnection,
                    public http::HttpBodyTaker,
                    public Vesk::TObject {
  VESK_DECLARE_CLASS(WebResponse, Vesk::TObject, "zrk")

 public:
  explicit WebResponse(std::shared_ptr<desk::web::Deferral> deferral);
  ~WebResponse() override;

  bool isClosed() override { return false; }
  // Appends the bytes (none for a null pointer); returns length.
  int write(const void* data, size_t length) override;
  void addHeader(const std::string& name, const std::string& value) override;
  // A null reason keeps the reason so far ("OK" at first).
  void setStatus(int code, const char* reason) override;
  // Keeps the whole body and hands it to the engine as a body source, read in pieces as the
  // engine sends it: the bytes are never gathered into the reply. Returns true.
  bool takeBody(std::shared_ptr<const http::HttpBodyBuffer> body) override;
  // Hands the reply over, once. "Transfer-Encoding" is dropped and "Content-Length" made to
  // match the body sent.
  void finish() override;
  // Ends the request without a reply (the page sees a failed request); nothing after finish.
  void fail();
  // Whether the request has been answered or failed.
  bool ended() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<desk::web::Deferral> deferral_;
  desk::web::Response response_;
  bool ended_ = false;
};

}  // namespace zrk
