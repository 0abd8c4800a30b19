#include "desk/sysinfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "desk/detail/codec.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "pelmora/version.h"

namespace desk {

namespace {

struct Facts {
  std::mutex mutex;
  std::optional<std::string> exePath;  // a test's path
  bool moduleFails = false;
  std::optional<std::vector<std::string>> arguments;
  bool versionReplaced = false;
  std::optional<VersionBlock> version;  // with versionReplaced: the test's block or none
  bool versionReadFails = false;
  DWORD major = 10, minor = 0, build = 19045;
};

Facts& facts() {
  static Facts* f = new Facts();
  return *f;
}

std::string readExe() {
  std::string path(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return std::string();
  path.resize(static_cast<size_t>(n));
  return path;
}

// The module path, or nothing when it cannot be had.
std::optional<std::string> modulePath() {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.moduleFails) return std::nullopt;
  if (f.exePath) return *f.exePath;
  std::string path = readExe();
  if (path.empty()) return std::nullopt;
  return path;
}

template <class Char>
DWORD copyPath(const std::basic_string<Char>& path, Char* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    std::copy(path.begin(), path.begin() + (size - 1), buffer);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// The block as bytes: "DVB1", the total size, then entries {u32 path units, path, u32 query
// length, u32 byte count, bytes}, each part padded to 4 bytes.
constexpr char kMagic[4] = {'D', 'V', 'B', '1'};

void put32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void pad(std::string& out) {
  while (out.size() % 4) out.push_back('\0');
}

void putEntry(std::string& out, const std::u16string& path, uint32_t queryLength,
              const std::string& bytes) {
  put32(out, static_cast<uint32_t>(path.size()));
  out.append(reinterpret_cast<const char*>(path.data()), path.size() * 2);
  pad(out);
  put32(out, queryLength);
  put32(out, static_cast<uint32_t>(bytes.size()));
  out.append(bytes);
  pad(out);
}

std::string serialize(const VersionBlock& block) {
  std::string out(kMagic, 4);
  put32(out, 0);
  if (block.fixed) {
    putEntry(out, u"\\", sizeof(VS_FIXEDFILEINFO),
             std::string(reinterpret_cast<const char*>(&*block.fixed), sizeof(VS_FIXEDFILEINFO)));
  }
  if (block.hasTranslationTable) {
    std::string table;
    for (const auto& [language, codePage] : block.translations) {
      table.append(reinterpret_cast<const char*>(&language), 2);
      table.append(reinterpret_cast<const char*>(&codePage), 2);
    }
    putEntry(out, u"\\VarFileInfo\\Translation", static_cast<uint32_t>(table.size()), table);
  }
  for (const auto& [key, value] : block.strings) {
    std::u16string text = value;
    text.push_back(u'\0');
    putEntry(out, u"\\StringFileInfo\\" + detail::utf8ToUtf16(key),
             static_cast<uint32_t>(text.size()),
             std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
  }
  const auto total = static_cast<uint32_t>(out.size());
  std::memcpy(out.data() + 4, &total, 4);
  return out;
}

std::optional<std::string> currentBlockBytes() {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.versionReplaced) {
    if (!f.version) return std::nullopt;
    return serialize(*f.version);
  }
  return serialize(programVersionBlock());
}

char16_t foldUnit(char16_t c) { return (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c; }

bool sameQuery(const char16_t* a, size_t aLength, std::u16string_view b) {
  if (aLength != b.size()) return false;
  for (size_t i = 0; i < aLength; ++i) {
    if (foldUnit(a[i]) != foldUnit(b[i])) return false;
  }
  return true;
}

bool isProgramPath(const char16_t* path) {
  if (path == nullptr) return false;
  const auto exe = modulePath();
  return exe && detail::utf16ToUtf8(path) == *exe;
}

}  // namespace

DWORD GetModuleFileNameW(HINSTANCE module, char16_t* buffer, DWORD size) {
  const auto path = module ? std::nullopt : modulePath();
  if (!path) {
    if (buffer && size) buffer[0] = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return copyPath(detail::utf8ToUtf16(*path), buffer, size);
}

DWORD GetModuleFileNameA(HINSTANCE module, char* buffer, DWORD size) {
  const auto path = module ? std::nullopt : modulePath();
  if (!path) {
    if (buffer && size) buffer[0] = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return copyPath(*path, buffer, size);
}

std::string executablePath() { return modulePath().value_or(std::string()); }

std::vector<std::string> commandLineArguments() {
  {
    Facts& f = facts();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (f.arguments) return *f.arguments;
  }
  std::vector<std::string> args;
  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return args;
  std::string all;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
  close(fd);
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

VersionBlock programVersionBlock() {
  const pelmora::VersionInfo& info = pelmora::versionInfo();
  VersionBlock block;
  block.translations = {{0x0409, 0x04B0}};
  const std::pair<const char*, const char*> entries[] = {
      {"ProductName", info.productName},   {"ProductVersion", info.productVersion},
      {"Company", info.company},           {"LegalCopyright", info.legalCopyright},
      {"Email", info.email},               {"Website", info.website},
      {"Identifier", info.identifier},
  };
  for (const auto& [key, value] : entries) {
    block.strings.emplace_back(std::string("040904b0\\") + key, detail::utf8ToUtf16(value));
  }
  VS_FIXEDFILEINFO fixed;
  fixed.dwFileVersionMS = (DWORD{info.fileVersion[0]} << 16) | info.fileVersion[1];
  fixed.dwFileVersionLS = (DWORD{info.fileVersion[2]} << 16) | info.fileVersion[3];
  fixed.dwProductVersionMS = fixed.dwFileVersionMS;
  fixed.dwProductVersionLS = fixed.dwFileVersionLS;
  block.fixed = fixed;
  return block;
}

DWORD GetFileVersionInfoSizeW(const char16_t* path, DWORD* handle) {
  if (handle) *handle = 0;
  const auto bytes = isProgramPath(path) ? currentBlockBytes() : std::nullopt;
  if (!bytes) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  return static_cast<DWORD>(bytes->size());
}

BOOL GetFileVersionInfoW(const char16_t* path, DWORD, DWORD size, void* data) {
  {
    Facts& f = facts();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (f.versionReadFails) {
      SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
      return 0;
    }
  }
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto bytes = isProgramPath(path) ? currentBlockBytes() : std::nullopt;
  if (!bytes) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  if (size < bytes->size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(data, bytes->data(), bytes->size());
  return 1;
}

BOOL VerQueryValueW(const void* block, const char16_t* subBlock, void** value, UINT* length) {
  if (length) *length = 0;
  if (value) *value = nullptr;
  if (block == nullptr || subBlock == nullptr || value == nullptr || length == nullptr) return 0;
  const auto* base = static_cast<const char*>(block);
  if (std::memcmp(base, kMagic, 4) != 0) return 0;
  uint32_t total;
  std::memcpy(&total, base + 4, 4);
  const std::u16string_view query(subBlock);
  size_t at = 8;
  auto read32 = [&](uint32_t& v) {
    if (at + 4 > total) return false;
    std::memcpy(&v, base + at, 4);
    at += 4;
    return true;
  };
  while (at < total) {
    uint32_t units, queryLength, byteCount;
    if (!read32(units) || at + size_t{units} * 2 > total) return 0;
    std::u16string path(units, u'\0');
    std::memcpy(path.data(), base + at, size_t{units} * 2);
    at += (size_t{units} * 2 + 3) & ~size_t{3};
    if (!read32(queryLength) || !read32(byteCount) || at + byteCount > total) return 0;
    if (sameQuery(path.data(), path.size(), query)) {
      *value = const_cast<char*>(base + at);
      *length = queryLength;
      return 1;
    }
    at += (size_t{byteCount} + 3) & ~size_t{3};
  }
  return 0;
}

int32_t RtlGetVersion(OSVERSIONINFOW* info) {
  constexpr int32_t kInvalidParameter = static_cast<int32_t>(0xC000000D);
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    return kInvalidParameter;
  }
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  info->dwMajorVersion = f.major;
  info->dwMinorVersion = f.minor;
  info->dwBuildNumber = f.build;
  info->dwPlatformId = 2;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return 0;
}

namespace test {

void setExecutablePath(const std::string& path) {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (path.empty()) {
    f.exePath.reset();
  } else {
    f.exePath = path;
  }
}

void failModuleFileName(bool fail) {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.moduleFails = fail;
}

void setCommandLineArguments(std::optional<std::vector<std::string>> arguments) {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.arguments = std::move(arguments);
}

void setVersionBlock(std::optional<VersionBlock> block) {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.versionReplaced = true;
  f.version = std::move(block);
}

void failVersionRead(bool fail) {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.versionReadFails = fail;
}

void setOsVersion(DWORD major, DWORD minor, DWORD build) {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.major = major;
  f.minor = minor;
  f.build = build;
}

void resetSystemFacts() {
  Facts& f = facts();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.exePath.reset();
  f.moduleFails = false;
  f.arguments.reset();
  f.versionReplaced = false;
  f.version.reset();
  f.versionReadFails = false;
  f.major = 10;
  f.minor = 0;
  f.build = 19045;
}

}  // namespace test

}  // namespace desk
