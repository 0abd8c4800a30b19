#include "zrkwebview/browser/src/http/http-message.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace http {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}


namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// An unsigned decimal number, or nothing for an empty or non-numeric text. A number too large for
// 64 bits saturates, so the range checks reject it instead of letting it wrap.
std::optional<uint64_t> parseNumber(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      value = UINT64_MAX;
    } else {
      value = value * 10 + digit;
    }
  }
  return value;
}

// One piece of the range list ("A-B", "A-", "-N" or "N") as a range within total bytes.
std::optional<Range> parsePiece(std::string_view piece, uint64_t total) {
  const size_t dash = piece.find('-');
  if (dash == std::string_view::npos) {
    const auto n = parseNumber(piece);
    if (!n || *n >= total) return std::nullopt;
    return Range(*n, 1);
  }
  const auto first = parseNumber(piece.substr(0, dash));
  const auto last = parseNumber(piece.substr(dash + 1));
  if (!first && !last) return std::nullopt;
  if (!first) {  // the last N bytes
    if (*last > total) return std::nullopt;
    return Range(total - *last, *last);
  }
  if (!last) {  // from N to the end
    if (*first >= total) return std::nullopt;
    return Range(*first, total - *first);
  }
  if (*last < *first || *last >= total) return std::nullopt;
  return Range(*first, *last - *first + 1);
}

}  // namespace

bool parseRangeHeader(const std::string& value, uint64_t contentLength, std::vector<Range>& ranges) {
  ranges.clear();
  const size_t equals = value.find('=');
  if (value.empty() || equals == std::string::npos) return false;
  const std::string_view text(value);
  if (!equalsIgnoringCase(trim(text.substr(0, equals)), "bytes")) return false;

  std::string_view list = trim(text.substr(equals + 1));
  while (true) {
    const size_t comma = list.find(',');
    const std::string_view piece = trim(list.substr(0, comma));
    if (!piece.empty()) {
      const auto range = parsePiece(piece, contentLength);
      if (!range) {
        ranges.clear();
        return false;
      }
      ranges.push_back(*range);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  if (ranges.empty()) return false;

  std::sort(ranges.begin(), ranges.end());
  // Two ranges overlap when the larger offset lies before the smaller end. Sorted by offset, a
  // non-empty range overlaps an earlier one exactly when it starts before the furthest end seen
  // so far. Touching ranges are fine; nothing is merged.
  uint64_t furthestEnd = 0;
  for (size_t i = 0; i < ranges.size(); ++i) {
    const Range& r = ranges[i];
    if (i > 0 && r.length > 0 && r.offset < furthestEnd) {
      ranges.clear();
      return false;
    }
    furthestEnd = std::max(furthestEnd, r.end());
  }
  return true;
}

const char* statusReasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Time-out";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 414: return "Request-URI Too Large";
    case 415: return "Unsupported Media Type";
    case 416: return "Requested range not satisfiable";
    case 417: return "Expectation Failed";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Time-out";
    case 505: return "HTTP Version not supported";
    default: break;
  }
  if (status < 200) return "Continue";
  if (status < 300) return "OK";
  if (status < 400) return "Multiple Choices";
  if (status < 500) return "Bad Request";
  return "Internal Server Error";
}

}  // namespace http
