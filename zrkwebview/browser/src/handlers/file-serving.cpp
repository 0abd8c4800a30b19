#include "zrkwebview/browser/src/handlers/file-serving.h"

#include <Poco/URI.h>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace http::fileserving {

std::string normalizeLocalPath(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  size_t leading = 0;
  while (leading < path.size() && (path[leading] == '/' || path[leading] == '\\')) ++leading;
  if (leading >= 2) {
    out = "//";
  } else if (leading == 1) {
    out = "/";
  }
  for (size_t i = leading; i < path.size(); ++i) {
    const char c = path[i] == '\\' ? '/' : path[i];
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  return out;
}

std::string joinLocalPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder + "/" + name;
}

bool hasParentSegment(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

bool staysInside(const std::string& folder, const std::string& path) {
  if (path.find('\0') != std::string::npos || folder.find('\0') != std::string::npos) return false;
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(folder.empty() ? fs::current_path(ec) : fs::path(folder), ec);
  if (ec || base.empty()) return false;
  const fs::path target = fs::weakly_canonical(fs::path(path), ec);
  if (ec || target.empty()) return false;
  // Component-wise prefix test: /srv/site does not contain /srv/site2.
  auto b = base.begin();
  auto t = target.begin();
  for (; b != base.end(); ++b, ++t) {
    if (b->empty() && std::next(b) == base.end()) break;  // a trailing separator
    if (t == target.end() || *b != *t) return false;
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> parseQuery(const std::string& rawQuery) {
  std::vector<std::pair<std::string, std::string>> out;
  auto decode = [](std::string text) {
    for (char& c : text) {
      if (c == '+') c = ' ';
    }
    std::string decoded;
    Poco::URI::decode(text, decoded);
    return decoded;
  };
  size_t start = 0;
  while (start <= rawQuery.size()) {
    size_t end = rawQuery.find('&', start);
    if (end == std::string::npos) end = rawQuery.size();
    const std::string part = rawQuery.substr(start, end - start);
    if (!part.empty()) {
      const size_t eq = part.find('=');
      if (eq == std::string::npos) {
        out.emplace_back(decode(part), std::string());
      } else {
        out.emplace_back(decode(part.substr(0, eq)), decode(part.substr(eq + 1)));
      }
    }
    start = end + 1;
  }
  return out;
}

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace http::fileserving
