#include "zrkwebview/browser/src/shared-data-store.h"

#include <map>
#include <mutex>
#include <vector>

#include "vesk/tstring.h"

namespace zrk {

namespace {

struct Entry {
  std::vector<unsigned char> bytes;
  bool once = false;
};

struct Store {
  std::mutex mutex;
  std::map<std::string, Entry> entries;
};

Store& store() {
  static Store s;
  return s;
}

}  // namespace

std::string SharedDataStore::write(const char* bytes, size_t size, bool once) {
  Entry entry;
  if (bytes != nullptr && size > 0) entry.bytes.assign(bytes, bytes + size);
  entry.once = once;
  const std::string uid = Vesk::TString::uuidString().utf8String();
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.entries[uid] = std::move(entry);
  return uid;
}

bool SharedDataStore::read(const std::string& uid, std::string& out) {
  if (uid.empty()) return false;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.entries.find(uid);
  if (it == s.entries.end()) return false;
  out.assign(it->second.bytes.begin(), it->second.bytes.end());
  if (it->second.once) s.entries.erase(it);
  return true;
}

bool SharedDataStore::remove(const std::string& uid) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.entries.erase(uid) > 0;
}

void SharedDataStore::list(
    const std::function<void(const std::string& uid, size_t size, bool once)>& visit) {
  if (!visit) return;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& [uid, entry] : s.entries) visit(uid, entry.bytes.size(), entry.once);
}

void SharedDataStore::clear() {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.entries.clear();
}

}  // namespace zrk
