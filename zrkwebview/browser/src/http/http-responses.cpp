#include "zrkwebview/browser/src/http/http-responses.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <stdexcept>
#include <vector>

namespace http {

namespace {

constexpr const char* kPlainText = "text/plain";
constexpr const char* kPlainTextUtf8 = "text/plain; charset=utf-8";

bool isFailure(int status) { return status < 200 || status > 399; }

}  // namespace

// --- status ---------------------------------------------------------------------------------

HttpStatusResponse::HttpStatusResponse(int status) {
  status_ = status;
  addHeader("Content-Type", kPlainText);
}

HttpStatusResponse::HttpStatusResponse(int status, const char* format, ...) {
  status_ = status;
  std::string message;
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed > 0) {
      std::vector<char> buffer(static_cast<size_t>(needed) + 1);
      if (std::vsnprintf(buffer.data(), buffer.size(), format, args) == needed) {
        message.assign(buffer.data(), static_cast<size_t>(needed));
      }
    }
    va_end(args);
  }
  setMessage(std::move(message));
}

HttpStatusResponse::HttpStatusResponse(int status, const std::string& message) {
  status_ = status;
  setMessage(message);
}

void HttpStatusResponse::setMessage(std::string message) {
  if (!message.empty() && isFailure(status_)) {
    body_ = message;
    addHeader("Content-Type", kPlainTextUtf8);
  } else {
    addHeader("Content-Type", kPlainText);
  }
  statusMessage_ = std::move(message);
}

std::string HttpStatusResponse::read(size_t maxBytes) {
  if (readOffset_ >= body_.size()) return std::string();
  const size_t n = std::min<uint64_t>(maxBytes, body_.size() - readOffset_);
  std::string piece = body_.substr(static_cast<size_t>(readOffset_), n);
  readOffset_ += n;
  return piece;
}

void HttpStatusResponse::seek(uint64_t offset) { readOffset_ = std::min<uint64_t>(offset, body_.size()); }

// --- MIME -----------------------------------------------------------------------------------

HttpMimeResponse::HttpMimeResponse(std::string body, const char* mimeType)
    : body_(std::move(body)), mimeType_(mimeType != nullptr ? mimeType : "") {
  addHeader("Content-Type", mimeType_);
}

std::string HttpMimeResponse::read(size_t maxBytes) {
  if (readOffset_ > body_.size()) {
    throw std::out_of_range("HttpMimeResponse::read: read position beyond the end of the body");
  }
  const size_t n = std::min<uint64_t>(maxBytes, body_.size() - readOffset_);
  std::string piece = body_.substr(static_cast<size_t>(readOffset_), n);
  readOffset_ += n;
  return piece;
}

// --- file -----------------------------------------------------------------------------------

HttpFileResponse::HttpFileResponse(const std::string& path) : path_(path) {
  status_ = 200;
  if (path_.empty()) {
    status_ = 400;
    return;
  }
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) {
    status_ = errno == ENOENT ? 404 : 403;
    return;
  }
  // Directories, devices and pipes are not served: a pipe would block the open, a directory
  // would promise a length and deliver nothing.
  if (!S_ISREG(info.st_mode) || !open()) {
    status_ = 403;
    return;
  }
  size_ = static_cast<int64_t>(info.st_size);
  modified_ = static_cast<int64_t>(info.st_mtime);
}

HttpFileResponse::HttpFileResponse(const std::string& path, const char* mimeType)
    : HttpFileResponse(path) {
  if (mimeType != nullptr) addHeader("Content-Type", mimeType);
}

HttpFileResponse::~HttpFileResponse() {
  if (file_ != nullptr) std::fclose(file_);
}

bool HttpFileResponse::open() {
  if (file_ != nullptr) return true;
  if (path_.empty()) return false;
  // Non-blocking so that a path swapped for a pipe after the check cannot stall the open.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  file_ = ::fdopen(fd, "rb");
  if (file_ == nullptr) {
    ::close(fd);
    return false;
  }
  return true;
}

std::string HttpFileResponse::read(size_t maxBytes) {
  if (maxBytes == 0 || !open()) return std::string();
  const uint64_t size = static_cast<uint64_t>(size_);
  if (readOffset_ >= size) return std::string();
  const size_t n = static_cast<size_t>(std::min<uint64_t>(maxBytes, size - readOffset_));
  std::string buffer;
  size_t got = 0;
#if defined(__cpp_lib_string_resize_and_overwrite)
  buffer.resize_and_overwrite(n, [&](char* data, size_t) {
    got = std::fread(data, 1, n, file_);
    return got;
  });
#else
  buffer.resize(n);
  got = std::fread(buffer.data(), 1, n, file_);
  buffer.resize(got);
#endif
  if (got == 0) return std::string();
  readOffset_ += got;
  return buffer;
}

void HttpFileResponse::seek(uint64_t offset) {
  if (!open()) return;
  readOffset_ = offset;
  if (offset <= static_cast<uint64_t>(INT64_MAX)) {
    ::fseeko(file_, static_cast<off_t>(offset), SEEK_SET);
  }
}

}  // namespace http
