#include "zrkwebview/browser/src/http/http-response-writer.h"

#include <Poco/UUIDGenerator.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "zrkwebview/browser/src/http/http-body-buffer.h"

namespace http {

namespace {

// "offset-last" of a range; an empty range's last byte is the one before its offset.
std::string rangeText(const Range& range) {
  const long long first = static_cast<long long>(range.offset);
  const long long last = static_cast<long long>(range.offset + range.length) - 1;
  char text[64];
  std::snprintf(text, sizeof text, "%lld-%lld", first, last);
  return text;
}

// Copies one range of the response to the connection, in chunks; an empty read, a short write or
// a closed connection ends it early.
void copyRange(HttpResponseConnection* connection, HttpResponse* response, const Range& range,
               uint64_t chunkSize) {
  response->seek(range.offset);
  uint64_t copied = 0;
  uint64_t n = std::min(range.length, chunkSize);
  while (!connection->isClosed()) {
    n = std::min(n, range.length - copied);
    const std::string data = response->read(static_cast<size_t>(n));
    if (data.empty()) break;
    const int written = connection->write(data.data(), data.size());
    if (written < 0 || static_cast<size_t>(written) != data.size()) break;
    copied += data.size();
    if (copied >= range.length || response->isEnd()) break;
  }
}

}  // namespace

void HttpMessage::setHeader(const std::string& name, const std::string& value, bool replace) {
  if (value.empty()) {
    std::erase_if(headers, [&](const auto& header) { return header.first == name; });
    return;
  }
  if (replace) {
    for (auto& header : headers) {
      if (header.first == name) {
        header.second = value;
        return;
      }
    }
  }
  headers.emplace_back(name, value);
}

std::shared_ptr<HttpMessage> makeHttpMessage(int status, const std::string& reason,
                                             const std::string& version) {
  auto message = std::make_shared<HttpMessage>();
  message->built = true;
  message->status = status;
  message->reasonPhrase = reason.empty() ? std::string(statusReasonPhrase(status)) : reason;
  message->version = version;
  return message;
}

uint64_t chunkSizeFor(const std::string& headerValue) {
  if (headerValue.empty()) return kDefaultChunkSize;
  // As a C decimal conversion reads it: blanks, a sign, digits up to the first other character.
  const long long asked = std::strtoll(headerValue.c_str(), nullptr, 10);
  const uint64_t size = static_cast<uint64_t>(asked);
  if (size < kMinChunkSize) return kSmallChunkSize;
  return std::min(size, kMaxChunkSize);
}

std::string formatHttpDate(int64_t secondsSince1970) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t time = static_cast<std::time_t>(secondsSince1970);
  std::tm parts{};
  if (::gmtime_r(&time, &parts) == nullptr || parts.tm_wday < 0 || parts.tm_wday > 6 ||
      parts.tm_mon < 0 || parts.tm_mon > 11 || parts.tm_year + 1900 < 0 ||
      parts.tm_year + 1900 > 9999) {
    return "Thu, 01 Jan 1970 00:00:00 GMT";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday],
                parts.tm_mday, kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
}

std::string httpSafeText(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      safe.push_back(c < 0x20 || c == 0x7f ? ' ' : static_cast<char>(c));
      ++i;
      continue;
    }
    // One "?" for a whole UTF-8 sequence (lead byte and the continuation bytes that follow it),
    // one for each stray byte.
    size_t follow = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    ++i;
    while (follow > 0 && i < text.size() && (static_cast<unsigned char>(text[i]) & 0xc0) == 0x80) {
      ++i;
      --follow;
    }
    safe.push_back('?');
  }
  return safe;
}

int sendResponse(HttpResponseConnection* connection, HttpRequest* request, HttpResponse* response) {
  if (connection == nullptr || response == nullptr) return -1;

  const uint64_t chunkSize = chunkSizeFor(request != nullptr ? request->header("X-ChunkSize") : "");

  const bool chunked = response->isChunked();
  const uint64_t length = chunked ? 0 : response->contentLength();

  std::vector<Range> ranges;
  bool ranged = false;
  if (!chunked && request != nullptr) {
    const std::string rangeHeader = request->header("Range");
    ranged = !rangeHeader.empty() && parseRangeHeader(rangeHeader, length, ranges) &&
             response->supportsRanges();
  }

  std::shared_ptr<HttpMessage> head;
  std::vector<std::string> partHeads;
  std::string closing;
  if (!ranged) {
    int status = response->status();
    if (status < 0) status = 200;
    head = makeHttpMessage(status, response->reasonPhrase(), "HTTP/1.1");
    if (chunked) {
      head->setHeader("Transfer-Encoding", "chunked", false);
    } else {
      head->setHeader("Content-Length", std::to_string(length), false);
    }
  } else if (ranges.size() == 1) {
    head = makeHttpMessage(206, "", "HTTP/1.1");
    head->setHeader("Content-Length", std::to_string(ranges[0].length), false);
    head->setHeader("Content-Range",
                    "bytes " + rangeText(ranges[0]) + "/" + std::to_string(length), false);
  } else {
    head = makeHttpMessage(206, "", "HTTP/1.1");
    const std::string boundary = Poco::UUIDGenerator::defaultGenerator().createOne().toString();
    uint64_t total = 0;
    for (const Range& range : ranges) {
      partHeads.push_back("\r\n--" + boundary + "\r\nContent-Range: bytes " + rangeText(range) +
                          "/" + std::to_string(length) + "\r\n\r\n");
      total += partHeads.back().size() + range.length;
    }
    closing = "\r\n--" + boundary + "--\r\n";
    total += closing.size();
    head->setHeader("Content-Length", std::to_string(total), false);
    head->setHeader("Content-Type", "multipart/byteranges; boundary=" + boundary, false);
  }

  head->setHeader("Cache-Control", "no-cache", false);
  head->setHeader("Date", formatHttpDate(static_cast<int64_t>(std::time(nullptr))), false);
  head->setHeader("Accept-Ranges", "bytes", false);

  // The response's own headers replace the writer's of the same name (an empty value removes
  // it), except the type of a multi-range reply: its body is multipart whatever the parts hold.
  const bool multipart = ranged && ranges.size() > 1;
  for (const auto& [name, value] : response->headers()) {
    if (multipart && equalsIgnoringCase(name, "Content-Type")) continue;
    head->setHeader(name, value, true);
  }

  const std::string statusMessage = response->statusMessage();
  if (!statusMessage.empty()) head->customReason = statusMessage;

  std::string reason;
  if (head->status != 200) {
    reason = httpSafeText(head->customReason.empty() ? std::string(statusReasonPhrase(head->status))
                                                     : head->customReason);
  }
  connection->setStatus(head->status, head->status == 200 ? nullptr : reason.c_str());
  if (head->status < 200 || head->status > 399) head->headers.emplace_back("x-status-error", reason);

  for (const auto& [name, value] : head->headers) {
    connection->addHeader(httpSafeText(name), httpSafeText(value));
  }

  const bool headOnly =
      (request != nullptr && equalsIgnoringCase(request->method(), "HEAD")) || head->status == 304;
  if (!headOnly) {
    // A body held whole in memory goes without being read: handed over as it is when the
    // connection takes it, else written straight from the buffer in pieces.
    auto* buffered = !ranged && !chunked ? dynamic_cast<HttpBufferResponse*>(response) : nullptr;
    const std::shared_ptr<const HttpBodyBuffer> whole = buffered ? buffered->body() : nullptr;
    if (whole && whole->size() == length) {
      auto* taker = dynamic_cast<HttpBodyTaker*>(connection);
      if (length > 0 && !(taker && taker->takeBody(whole))) {
        uint64_t sent = 0;
        while (sent < length && !connection->isClosed()) {
          const size_t n = static_cast<size_t>(std::min(chunkSize, length - sent));
          const int written = connection->write(whole->data() + sent, n);
          if (written < 0 || static_cast<size_t>(written) != n) break;
          sent += n;
        }
      }
    } else if (!ranged) {
      while (!response->isEnd()) {
        if (connection->isClosed()) break;
        const std::string data = response->read(static_cast<size_t>(chunkSize));
        if (data.empty()) break;
        const int written = connection->write(data.data(), data.size());
        if (written < 0 || static_cast<size_t>(written) != data.size()) break;
      }
    } else if (ranges.size() == 1) {
      copyRange(connection, response, ranges[0], chunkSize);
    } else {
      for (size_t i = 0; i < ranges.size(); ++i) {
        // Once the peer is gone, the remaining parts have nowhere to go.
        if (connection->isClosed()) break;
        connection->write(partHeads[i].data(), partHeads[i].size());
        copyRange(connection, response, ranges[i], chunkSize);
      }
      if (!connection->isClosed()) connection->write(closing.data(), closing.size());
    }
  }

  connection->finish();
  return 0;
}

}  // namespace http
