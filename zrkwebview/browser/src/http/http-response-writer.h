// The one function through which every reply is written, and the reply head it assembles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

// The head of one reply as the writer assembles it.
class HttpMessage {
 public:
  HttpMessage() = default;
  virtual ~HttpMessage() = default;

  // With a non-empty value: replaces the value of the first header named `name` (byte for byte)
  // when `replace` is set and there is one, else appends. With an empty value: removes every
  // header of that name.
  void setHeader(const std::string& name, const std::string& value, bool replace);

  bool built = false;
  int status = 200;
  // The response's status message; the reason handed to the connection.
  std::string customReason;
  // The reply headers in sending order.
  HeaderList headers;
  std::string uri;
  std::string method = "GET";
  std::string reasonPhrase;
  std::string version = "HTTP/1.1";
  std::string body;
};

// A new head: the given status and version; reasonPhrase is `reason`, or the standard phrase of
// the status when that is empty.
std::shared_ptr<HttpMessage> makeHttpMessage(int status, const std::string& reason,
                                             const std::string& version);

// Body bytes are pulled from a response in pieces of this many bytes unless the request header
// "X-ChunkSize" asks for another size. A size below kMinChunkSize becomes kSmallChunkSize, and no
// piece is ever larger than kMaxChunkSize (a negative size asks for "unlimited").
inline constexpr uint64_t kDefaultChunkSize = 512 * 1024;
inline constexpr uint64_t kMinChunkSize = 1024;
inline constexpr uint64_t kSmallChunkSize = 16 * 1024;
inline constexpr uint64_t kMaxChunkSize = 8 * 1024 * 1024;

// The chunk size for a value of "X-ChunkSize" (empty: the default).
uint64_t chunkSizeFor(const std::string& headerValue);

// Writes `response` to `connection` as the reply to `request`: status and reason, headers (length
// or streaming, byte ranges, caching, date, the response's own headers, "x-status-error"), the
// body in chunks, then finish. Returns 0; -1 only when the connection or the response is null.
// Exceptions from the response or the connection pass to the caller, and the reply is then not
// finished.
int sendResponse(HttpResponseConnection* connection, HttpRequest* request, HttpResponse* response);

// The HTTP date of a time ("Thu, 01 Jan 1970 00:00:00 GMT"), in English whatever the locale.
std::string formatHttpDate(int64_t secondsSince1970);

// `text` made safe to send as a reason phrase or header value: every control character (CR and
// LF included) becomes a space, every non-ASCII character (one UTF-8 sequence, or one stray byte)
// a "?".
std::string httpSafeText(std::string_view text);

}  // namespace http
