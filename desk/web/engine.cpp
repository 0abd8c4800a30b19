#include "desk/web/engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace desk::web {

namespace {

class FileBody final : public BodySource {
 public:
  FileBody(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileBody() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  int64_t read(char* buffer, size_t max) override {
    // Never more than the length announced, even when the file grew meanwhile.
    if (max > size_ - done_) max = static_cast<size_t>(size_ - done_);
    if (max == 0) return 0;
    for (;;) {
      ssize_t n = ::read(fd_, buffer, max);
      if (n < 0 && errno == EINTR) continue;
      // A file that shrank after its length was announced cannot give the body it promised.
      if (n <= 0) return -1;
      done_ += static_cast<uint64_t>(n);
      return n;
    }
  }

 private:
  int fd_;
  uint64_t size_;
  uint64_t done_ = 0;
};

}  // namespace

std::shared_ptr<BodySource> fileBody(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = "cannot read " + path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  return std::make_shared<FileBody>(fd, static_cast<uint64_t>(st.st_size));
}

const char* resultName(Result r) {
  switch (r) {
    case Result::ok: return "ok";
    case Result::failed: return "failed";
    case Result::invalidArgument: return "invalidArgument";
    case Result::notReady: return "notReady";
    case Result::closed: return "closed";
    case Result::browserGone: return "browserGone";
  }
  return "unknown";
}

const char* scriptDialogKindName(ScriptDialogKind kind) {
  switch (kind) {
    case ScriptDialogKind::alert: return "alert";
    case ScriptDialogKind::confirm: return "confirm";
    case ScriptDialogKind::prompt: return "prompt";
    case ScriptDialogKind::beforeunload: return "beforeunload";
  }
  return "alert";
}

ResourceRequestedEvent::ResourceRequestedEvent(Request request, std::shared_ptr<Deferral> deferral,
                                               bool requestUnavailable, bool deferralUnavailable)
    : request_(std::move(request)),
      deferral_(std::move(deferral)),
      requestUnavailable_(requestUnavailable),
      deferralUnavailable_(deferralUnavailable) {}

bool ResourceRequestedEvent::getRequest(Request& out) const {
  if (requestUnavailable_) return false;
  out = request_;
  return true;
}

std::shared_ptr<Deferral> ResourceRequestedEvent::getDeferral() {
  if (deferralUnavailable_) return nullptr;
  return deferral_;
}

const char* standardReason(int status) {
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
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return "";
  }
}

namespace {

bool isTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
    case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

// Keeps printable ASCII (and tab when allowed); trims blanks at both ends.
std::string cleanText(const std::string& in, bool keepTab) {
  std::string out;
  out.reserve(in.size());
  for (unsigned char c : in) {
    if ((c >= 0x20 && c < 0x7f) || (keepTab && c == '\t')) out.push_back(static_cast<char>(c));
  }
  size_t b = out.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = out.find_last_not_of(" \t");
  return out.substr(b, e - b + 1);
}

}  // namespace

void sanitizeResponse(Response& response) {
  response.reason = cleanText(response.reason, false);
  if (response.reason.empty() && response.status != 0) {
    response.reason = standardReason(response.status);
    if (response.reason.empty()) response.reason = "Status";
  }
  Headers kept;
  kept.reserve(response.headers.size());
  for (auto& [name, value] : response.headers) {
    if (name.empty()) continue;
    bool token = true;
    for (unsigned char c : name) token = token && isTokenChar(c);
    if (!token) continue;
    kept.emplace_back(name, cleanText(value, true));
  }
  response.headers = std::move(kept);
}

std::vector<std::string> splitArguments(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  bool inQuotes = false;
  bool have = false;
  for (char c : text) {
    if (c == '"') {
      inQuotes = !inQuotes;
      have = true;
    } else if (!inQuotes && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
      if (have) out.push_back(cur);
      cur.clear();
      have = false;
    } else {
      cur.push_back(c);
      have = true;
    }
  }
  if (have) out.push_back(cur);
  return out;
}

}  // namespace desk::web

namespace desk::web {

std::string escapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {
const char kPdfMarginalStyle[] =
    "font-size:8px;font-family:sans-serif;width:100%;margin:0 0.4in;"
    "display:flex;justify-content:space-between";
}

std::string pdfHeaderTemplate(const std::string& title) {
  return std::string("<div style=\"") + kPdfMarginalStyle + "\"><span class=\"date\"></span><span>" +
         escapeHtml(title) + "</span><span></span></div>";
}

std::string pdfFooterTemplate(const std::string& uri) {
  return std::string("<div style=\"") + kPdfMarginalStyle + "\"><span>" + escapeHtml(uri) +
         "</span><span><span class=\"pageNumber\"></span>/<span class=\"totalPages\"></span></span></div>";
}

}  // namespace desk::web
