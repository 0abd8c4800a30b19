#include "desk/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <unordered_map>

#include "desk/detail/codec.h"
#include "desk/detail/registry_file.h"
#include "desk/log.h"
#include "desk/test_services.h"

namespace desk {

namespace {

using detail::foldName;
using detail::RegKey;
using detail::RegStore;
using detail::RegValue;

bool isText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Splits on "\" and drops empty parts, so "A\\B\" is "A\B".
std::string normalizeKeyPath(std::string_view path) {
  std::string out;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('\\', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) {
      if (!out.empty()) out.push_back('\\');
      out.append(path.substr(i, j - i));
    }
    i = j + 1;
  }
  return out;
}

std::string joinKeyPath(const std::string& base, const std::string& sub) {
  if (base.empty()) return sub;
  if (sub.empty()) return base;
  return base + "\\" + sub;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Reads a file of `expected` bytes; one read call when the size holds.
bool readWhole(int fd, size_t expected, std::string& out) {
  out.resize(expected + 1);
  size_t done = 0;
  for (;;) {
    if (done == out.size()) out.resize(out.size() * 2);
    const ssize_t n = read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
    if (n == 0 || done == expected) break;
  }
  out.resize(done);
  return true;
}

bool writeWhole(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool makeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  std::string path;
  size_t i = 0;
  while (i < folder.size()) {
    size_t j = folder.find('/', i + 1);
    if (j == std::string::npos) j = folder.size();
    path = folder.substr(0, j);
    if (!path.empty() && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    i = j;
  }
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct OpenKey {
  std::string path;  // normalised, as the caller spelled it
  REGSAM access;
};

class Registry {
 public:
  static Registry& instance() {
    static Registry* registry = new Registry();  // never destroyed: handles may outlive statics
    return *registry;
  }

  std::mutex mutex;

  // --- handles ---
  HKEY addHandle(std::string path, REGSAM access) {
    const uintptr_t id = nextHandle_;
    nextHandle_ += 4;
    handles_[id] = OpenKey{std::move(path), access};
    return reinterpret_cast<HKEY>(id);
  }
  const OpenKey* handle(HKEY key) {
    static const OpenKey root{"", KEY_ALL_ACCESS};
    if (key == HKEY_CURRENT_USER) return &root;
    auto it = handles_.find(reinterpret_cast<uintptr_t>(key));
    return it == handles_.end() ? nullptr : &it->second;
  }
  bool closeHandle(HKEY key) {
    if (key == HKEY_CURRENT_USER) return true;
    return handles_.erase(reinterpret_cast<uintptr_t>(key)) > 0;
  }

  // --- test switches ---
  bool openRefused(const std::string& path) {
    const std::string folded = foldName(path);
    for (const std::string& prefix : refused_) {
      if (prefix.empty() || folded == prefix ||
          (folded.size() > prefix.size() && folded.compare(0, prefix.size(), prefix) == 0 &&
           folded[prefix.size()] == '\\')) {
        return true;
      }
    }
    return false;
  }
  std::set<std::string> refused_;

  // --- the store ---
  // Brings the copy in memory up to date with the file (no-op in memory). `locked`: the caller
  // holds the file lock.
  void refresh(bool locked) {
    if (path_.empty()) return;
    struct stat now;
    if (stat(path_.c_str(), &now) != 0) {
      loaded_ = false;
      store_.clear();
      return;
    }
    // A reader trusts the copy while the file looks the same. A writer (holding the lock) always
    // reads: a file replaced twice within one clock tick may reuse the inode number, size and
    // times of the copy's file, and a change built on a stale copy would lose another's values.
    if (!locked && loaded_ && sameFile(now, heldStat_)) return;
    // Writers replace the file whole, so reading needs no lock; only a file that does not parse
    // is looked at again under the lock before it is moved aside.
    load(locked);
  }

  // Reads the file. A file that does not parse is moved aside (under the lock).
  void load(bool locked) {
    loaded_ = false;
    store_.clear();
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    std::string text;
    if (fstat(fd, &st) != 0 || !readWhole(fd, static_cast<size_t>(st.st_size), text)) {
      logFormat(1, "registry: cannot read %s: %s", path_.c_str(), std::strerror(errno));
      close(fd);
      return;
    }
    try {
      store_ = detail::readRegistryDocument(text);
    } catch (const std::exception& e) {
      close(fd);
      if (!locked) {
        FileLock lock(*this);
        load(true);
        return;
      }
      moveAside(e.what());
      return;
    }
    close(fd);
    loaded_ = true;
    heldStat_ = st;
  }

  void moveAside(const char* reason) {
    char stamp[32];
    const time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string aside = path_ + ".corrupt-" + stamp;
    for (int n = 1; access(aside.c_str(), F_OK) == 0; ++n) {
      aside = path_ + ".corrupt-" + stamp + "-" + std::to_string(n);
    }
    if (rename(path_.c_str(), aside.c_str()) == 0) {
      logFormat(1, "registry: %s could not be read (%s); moved aside to %s, starting anew",
                path_.c_str(), reason, aside.c_str());
    } else {
      logFormat(1, "registry: %s could not be read (%s) nor moved aside: %s", path_.c_str(),
                reason, std::strerror(errno));
    }
  }

  // Writes the copy in memory to the file (the caller holds the lock).
  bool commit() {
    if (path_.empty()) return true;
    const std::string text = detail::writeRegistryDocument(store_);
    const std::string temp = tempPath();
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeWhole(fd, text) && fsync(fd) == 0 &&
              rename(temp.c_str(), path_.c_str()) == 0;
    if (!ok) {
      logFormat(1, "registry: cannot write %s: %s", path_.c_str(), std::strerror(errno));
      if (fd >= 0) close(fd);
      unlink(temp.c_str());
      // The file still holds the values before the change: read them back.
      load(true);
      return false;
    }
    struct stat st;
    loaded_ = fstat(fd, &st) == 0;
    heldStat_ = st;
    close(fd);
    return true;
  }

  std::string tempPath() const { return path_ + ".tmp"; }

  // The lock on "<file>.lock", opened afresh each time so that processes forked after the open
  // never share its open file description.
  class FileLock {
   public:
    explicit FileLock(Registry& r) {
      if (r.path_.empty()) return;
      fd_ = open((r.path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd_ < 0) {
        logFormat(2, "registry: cannot open the lock file of %s: %s", r.path_.c_str(),
                  std::strerror(errno));
        return;
      }
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
    ~FileLock() {
      if (fd_ >= 0) close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

   private:
    int fd_ = -1;
  };

  bool usePath(const std::string& path) {
    std::string folder = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    if (!makeFolders(folder)) {
      logFormat(1, "registry: cannot make the folder %s: %s; values stay in memory",
                folder.c_str(), std::strerror(errno));
      useMemory();
      return false;
    }
    loaded_ = false;
    path_ = path;
    FileLock lock(*this);
    // A temporary file left by a writer that died before its rename.
    unlink(tempPath().c_str());
    load(true);
    return true;
  }

  void useMemory() {
    loaded_ = false;
    path_.clear();
    store_.clear();
  }

  const std::string& path() const { return path_; }
  size_t handleCount() const { return handles_.size(); }
  RegStore& store() { return store_; }

 private:
  Registry() = default;
  std::unordered_map<uintptr_t, OpenKey> handles_;
  uintptr_t nextHandle_ = 0x1000;
  std::string path_;
  RegStore store_;
  bool loaded_ = false;    // the copy matches the file described by heldStat_
  struct stat heldStat_ {};
};

// Names as the store keeps them: UTF-8, normalised through UTF-16.
std::string nameOf(std::u16string_view name) { return detail::utf16ToUtf8(name); }
std::string nameOf(std::string_view name) {
  return detail::utf16ToUtf8(detail::utf8ToUtf16(name));
}

LSTATUS openKey(HKEY key, const std::string& subKey, REGSAM access, HKEY* result, bool create,
                DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  const OpenKey* parent = r.handle(key);
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  const std::string path = joinKeyPath(parent->path, normalizeKeyPath(subKey));
  if (r.openRefused(path)) return ERROR_ACCESS_DENIED;
  const std::string folded = foldName(path);
  if (!create) {
    r.refresh(false);
    if (!path.empty() && r.store().count(folded) == 0) return ERROR_FILE_NOT_FOUND;
    *result = r.addHandle(path, access);
    return ERROR_SUCCESS;
  }
  Registry::FileLock lock(r);
  r.refresh(true);
  bool created = false;
  // The key and every key on its way.
  size_t end = 0;
  while (!path.empty()) {
    end = path.find('\\', end + 1);
    const std::string part = path.substr(0, end);
    RegKey& k = r.store()[foldName(part)];
    if (k.path.empty()) {
      k.path = part;
      created = true;
    }
    if (end == std::string::npos) break;
  }
  if (created && !r.commit()) return ERROR_CANTWRITE;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = r.addHandle(path, access);
  return ERROR_SUCCESS;
}

LSTATUS queryValue(HKEY key, const std::string& name, bool narrow, DWORD* type, BYTE* data,
                   DWORD* size) {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Registry::instance();
  std::string bytes;
  DWORD valueType;
  {
    std::lock_guard<std::mutex> guard(r.mutex);
    const OpenKey* k = r.handle(key);
    if (k == nullptr) return ERROR_INVALID_HANDLE;
    if (!(k->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    r.refresh(false);
    auto kit = r.store().find(foldName(k->path));
    if (kit == r.store().end()) return ERROR_FILE_NOT_FOUND;
    auto vit = kit->second.values.find(foldName(name));
    if (vit == kit->second.values.end()) return ERROR_FILE_NOT_FOUND;
    valueType = vit->second.type;
    bytes = vit->second.bytes;
  }
  if (narrow && isText(valueType)) {
    std::u16string wide(bytes.size() / 2, u'\0');
    std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
    bytes = detail::utf16ToUtf8(wide);
  }
  if (type) *type = valueType;
  if (size == nullptr) return ERROR_SUCCESS;
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (data == nullptr) {
    *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed) std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS setValue(HKEY key, const std::string& name, bool narrow, DWORD type, const BYTE* data,
                 DWORD size) {
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  if (size > kMaxRegistryValueSize) return ERROR_INVALID_PARAMETER;
  std::string bytes(reinterpret_cast<const char*>(data), data ? size : 0);
  if (narrow && isText(type)) {
    const std::u16string wide = detail::utf8ToUtf16(bytes);
    bytes.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    if (bytes.size() > kMaxRegistryValueSize) return ERROR_INVALID_PARAMETER;
  }
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  const OpenKey* k = r.handle(key);
  if (k == nullptr) return ERROR_INVALID_HANDLE;
  if (!(k->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  Registry::FileLock lock(r);
  r.refresh(true);
  RegKey& stored = r.store()[foldName(k->path)];
  if (stored.path.empty()) stored.path = k->path;
  RegValue& value = stored.values[foldName(name)];
  if (value.name.empty()) value.name = name;
  value.type = type;
  value.bytes = std::move(bytes);
  return r.commit() ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

LSTATUS deleteValue(HKEY key, const std::string& name) {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  const OpenKey* k = r.handle(key);
  if (k == nullptr) return ERROR_INVALID_HANDLE;
  if (!(k->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  Registry::FileLock lock(r);
  r.refresh(true);
  auto kit = r.store().find(foldName(k->path));
  if (kit == r.store().end()) return ERROR_FILE_NOT_FOUND;
  if (kit->second.values.erase(foldName(name)) == 0) return ERROR_FILE_NOT_FOUND;
  return r.commit() ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

bool hasNul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD, REGSAM access, HKEY* result) {
  return openKey(key, nameOf(detail::wideView(subKey)), access, result, false, nullptr);
}
LSTATUS RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  return RegOpenKeyExA(key, detail::narrowView(subKey), options, access, result);
}
LSTATUS RegOpenKeyExA(HKEY key, std::string_view subKey, DWORD, REGSAM access, HKEY* result) {
  if (hasNul(subKey)) return ERROR_INVALID_PARAMETER;
  return openKey(key, nameOf(subKey), access, result, false, nullptr);
}
LSTATUS RegOpenKeyW(HKEY key, const char16_t* subKey, HKEY* result) {
  return RegOpenKeyExW(key, subKey, 0, KEY_ALL_ACCESS, result);
}
LSTATUS RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
  return RegOpenKeyExA(key, subKey, 0, KEY_ALL_ACCESS, result);
}

LSTATUS RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD, const char16_t*, DWORD,
                        REGSAM access, const void*, HKEY* result, DWORD* disposition) {
  return openKey(key, nameOf(detail::wideView(subKey)), access, result, true, disposition);
}
LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, const char* keyClass,
                        DWORD options, REGSAM access, const void* security, HKEY* result,
                        DWORD* disposition) {
  return RegCreateKeyExA(key, detail::narrowView(subKey), reserved, keyClass, options, access,
                         security, result, disposition);
}
LSTATUS RegCreateKeyExA(HKEY key, std::string_view subKey, DWORD, const char*, DWORD,
                        REGSAM access, const void*, HKEY* result, DWORD* disposition) {
  if (hasNul(subKey)) return ERROR_INVALID_PARAMETER;
  return openKey(key, nameOf(subKey), access, result, true, disposition);
}

LSTATUS RegQueryValueExW(HKEY key, const char16_t* name, DWORD*, DWORD* type, BYTE* data,
                         DWORD* size) {
  return queryValue(key, nameOf(detail::wideView(name)), false, type, data, size);
}
LSTATUS RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size) {
  return RegQueryValueExA(key, detail::narrowView(name), reserved, type, data, size);
}
LSTATUS RegQueryValueExA(HKEY key, std::string_view name, DWORD*, DWORD* type, BYTE* data,
                         DWORD* size) {
  if (hasNul(name)) return ERROR_INVALID_PARAMETER;
  return queryValue(key, nameOf(name), true, type, data, size);
}

LSTATUS RegSetValueExW(HKEY key, const char16_t* name, DWORD, DWORD type, const BYTE* data,
                       DWORD size) {
  return setValue(key, nameOf(detail::wideView(name)), false, type, data, size);
}
LSTATUS RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size) {
  return RegSetValueExA(key, detail::narrowView(name), reserved, type, data, size);
}
LSTATUS RegSetValueExA(HKEY key, std::string_view name, DWORD, DWORD type, const BYTE* data,
                       DWORD size) {
  if (hasNul(name)) return ERROR_INVALID_PARAMETER;
  return setValue(key, nameOf(name), true, type, data, size);
}

LSTATUS RegDeleteValueW(HKEY key, const char16_t* name) {
  return deleteValue(key, nameOf(detail::wideView(name)));
}
LSTATUS RegDeleteValueA(HKEY key, const char* name) {
  return RegDeleteValueA(key, detail::narrowView(name));
}
LSTATUS RegDeleteValueA(HKEY key, std::string_view name) {
  if (hasNul(name)) return ERROR_INVALID_PARAMETER;
  return deleteValue(key, nameOf(name));
}

LSTATUS RegCloseKey(HKEY key) {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  return r.closeHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

bool useRegistryFile(const std::string& identifier) {
  std::string base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home ? home : "") + "/.config";
  }
  const std::string name = identifier.empty() ? std::string("zrk") : identifier;
  if (name.find('/') != std::string::npos || name == "." || name == "..") {
    logFormat(1, "registry: unusable identifier; values stay in memory");
    useMemoryRegistry();
    return false;
  }
  return useRegistryPath(base + "/" + name + "/registry.json");
}

bool useRegistryPath(const std::string& path) {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  return r.usePath(path);
}

void useMemoryRegistry() {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.useMemory();
}

std::string registryPath() {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  return r.path();
}

namespace test {

void refuseRegistryKey(const std::string& keyPath) {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.refused_.insert(foldName(normalizeKeyPath(keyPath)));
}

void clearRegistryRefusals() {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.refused_.clear();
}

void seedRegistryValue(const std::string& keyPath, const std::string& name, DWORD type,
                       const std::string& bytes) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, std::string_view(keyPath), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  // Exact bytes, whatever the type.
  RegSetValueExW(key, detail::utf8ToUtf16(name).c_str(), 0, type,
                 reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

std::optional<RegistryValue> registryValue(const std::string& keyPath, const std::string& name) {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.refresh(false);
  auto kit = r.store().find(foldName(normalizeKeyPath(keyPath)));
  if (kit == r.store().end()) return std::nullopt;
  auto vit = kit->second.values.find(foldName(name));
  if (vit == kit->second.values.end()) return std::nullopt;
  return RegistryValue{vit->second.type, vit->second.bytes};
}

size_t openRegistryKeys() {
  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> guard(r.mutex);
  return r.handleCount();
}

}  // namespace test

}  // namespace desk
