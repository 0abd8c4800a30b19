#include "zrkwebview/browser/src/http-plugins/fetch/multipart.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>

#include "zrkwebview/browser/src/mime-types.h"

namespace zrk::plugin {

std::string randomAlphanumeric(size_t n) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator{std::random_device{}()};
  thread_local std::uniform_int_distribution<int> pick(0, 61);
  std::string text(n, 'A');
  for (char& c : text) c = kAlphabet[pick(generator)];
  return text;
}

std::string makeMultipartBoundary() { return "-----MultipartFormBoundary" + randomAlphanumeric(16); }

namespace {

std::string valueOf(const MultipartPart& part, const char* key) {
  auto it = part.find(key);
  return it == part.end() ? std::string() : it->second;
}

// A name or file name inside the quotes of the disposition line.
std::string quotedSafe(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else if (c == '"') out += "%22";
    else out += c;
  }
  return out;
}

// The last component of the path (after its last '/' or '\'); the whole path when that is empty.
std::string lastComponent(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? path : name;
}

// The extension of the path's last component (from its last dot on), none for a name whose only
// dot is its first character.
std::string extensionOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name == "..") return std::string();
  return name.substr(dot);
}

void appendFile(std::string& body, const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    throw std::runtime_error(path + ": " + std::strerror(errno));
  }
  char buffer[65536];
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    body.append(buffer, n);
    if (n < sizeof buffer) {
      if (std::ferror(file.get())) throw std::runtime_error(path + ": read error");
      break;
    }
  }
}

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

std::string buildMultipartBody(const std::string& boundary, const std::vector<MultipartPart>& parts) {
  std::string body;
  bool first = true;
  for (const MultipartPart& part : parts) {
    const std::string path = valueOf(part, "path");
    if (path.empty()) continue;
    std::string name = valueOf(part, "name");
    if (name.empty()) name = "file";
    std::string filename = valueOf(part, "filename");
    if (filename.empty()) filename = lastComponent(path);
    std::string mime = valueOf(part, "mime");
    if (mime.empty()) {
      const std::string extension = extensionOf(path);
      const char* known = extension.empty() ? nullptr : mimeTypeForExtension(extension.c_str());
      mime = known != nullptr ? known : "application/octet-stream";
    }
    if (!first) body += "\r\n";
    first = false;
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + quotedSafe(name) + "\"; filename=\"" +
            quotedSafe(filename) + "\"\r\n";
    body += "Content-Type: " + mime + "\r\n\r\n";
    appendFile(body, path);  // the file is closed again before the next part
  }
  if (!first) body += "\r\n--" + boundary + "--\r\n";
  return body;
}

std::string buildMultipartBodyWithFreshBoundary(const std::vector<MultipartPart>& parts,
                                                std::string& boundary) {
  for (;;) {
    boundary = makeMultipartBoundary();
    std::string body = buildMultipartBody(boundary, parts);
    size_t delimiters = 0;
    for (const MultipartPart& part : parts) {
      auto it = part.find("path");
      if (it != part.end() && !it->second.empty()) ++delimiters;
    }
    if (delimiters > 0) ++delimiters;  // the closing line
    if (countOf(body, boundary) == delimiters) return body;
  }
}

}  // namespace zrk::plugin
