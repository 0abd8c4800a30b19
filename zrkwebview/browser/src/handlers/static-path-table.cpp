#include "zrkwebview/browser/src/handlers/static-path-table.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace http {

namespace {

std::mutex tableMutex;
std::vector<StaticPathTable::Entry> table;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::string StaticPathTable::normalize(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  std::string out;
  out.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    if (text[i] == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(text[i]);
  }
  return out;
}

void StaticPathTable::add(const std::string& prefix, const std::string& directory) {
  if (prefix.empty()) return;
  Entry entry;
  entry.prefix = normalize(prefix);
  if (entry.prefix.empty()) return;
  const size_t slashes = static_cast<size_t>(std::count(entry.prefix.begin(), entry.prefix.end(), '/'));
  size_t depth;
  if (entry.prefix.back() != '/') {
    entry.prefix.push_back('/');
    depth = slashes;
  } else {
    depth = slashes - 1;
  }
  entry.depth = static_cast<uint16_t>(std::min<size_t>(depth, UINT16_MAX));
  entry.directory = directory;

  std::lock_guard<std::mutex> lock(tableMutex);
  for (const Entry& e : table) {
    if (e.prefix == entry.prefix && e.directory == entry.directory && e.depth == entry.depth) return;
  }
  table.push_back(std::move(entry));
}

bool StaticPathTable::match(const std::string& path, Entry& out) {
  if (path.empty()) return false;
  const std::string normalized = normalize(path);
  if (normalized.empty()) return false;

  std::lock_guard<std::mutex> lock(tableMutex);
  const Entry* best = nullptr;
  uint16_t bestDepth = 0;
  for (const Entry& e : table) {
    if (e.prefix.size() > normalized.size()) continue;
    if (normalized.compare(0, e.prefix.size(), e.prefix) != 0) continue;
    if (e.depth > bestDepth) {
      best = &e;
      bestDepth = e.depth;
    }
  }
  if (best == nullptr) return false;
  out = *best;
  return true;
}

}  // namespace http
