#include "vesk/utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/URI.h>
#include <Poco/UUIDGenerator.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <locale>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <random>
#include <thread>

#include "vesk/syserror.h"
#include "vesk/tstring.h"
#include "vesk/utf.h"

namespace Vesk {

namespace {

std::string narrowPath(const WChar* path) { return path ? utf::toUtf8(path) : std::string(); }

// One random byte from a generator seeded once per thread from the system's random device.
uint8_t randomByte() {
  thread_local std::mt19937 generator([] {
    std::random_device device;
    std::seed_seq seq{device(), device(), device(), device()};
    return std::mt19937(seq);
  }());
  return static_cast<uint8_t>(generator() >> 24);
}

TString fromAscii(const char* text) { return TString(text); }

}  // namespace

// ---- statics of TString

TString TString::uuidString() {
  try {
    return TString(Poco::UUIDGenerator::defaultGenerator().createRandom().toString());
  } catch (...) {
    std::string id = randomHexString(4, true) + "-" + randomHexString(2, true) + "-" + randomHexString(2, true) +
                     "-" + randomHexString(2, true) + "-" + randomHexString(6, true);
    return TString(id);
  }
}

std::string TString::randomHexString(int byteCount, bool uppercase) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  const char* digits = uppercase ? kUpper : kLower;
  std::string out;
  if (byteCount <= 0) return out;
  out.reserve(static_cast<size_t>(byteCount) * 2);
  for (int i = 0; i < byteCount; ++i) {
    uint8_t b = randomByte();
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

TString TString::fromSystemError(uint32_t code) {
  if (code == 0) code = lastSystemError();
  if (code == 0) return TString();
  const char* text = systemErrorMessage(code);
  return text ? TString(text) : TString();
}

TString TString::hexString(const uint8_t* bytes, int count) {
  static const char kDigits[] = "0123456789abcdef";
  WString out;
  if (bytes == nullptr || count <= 0) return TString();
  out.reserve(static_cast<size_t>(count) * 2);
  for (int i = 0; i < count; ++i) {
    out.push_back(static_cast<WChar>(kDigits[bytes[i] >> 4]));
    out.push_back(static_cast<WChar>(kDigits[bytes[i] & 15]));
  }
  return TString(out);
}

TString TString::byteCountString(int64_t bytes) {
  char text[260];
  if (bytes == 0) return fromAscii("0");
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld byte%s", static_cast<long long>(bytes), bytes == 1 ? "" : "s");
  } else if (bytes < (int64_t{1} << 20)) {
    std::snprintf(text, sizeof text, "%.2f KB", static_cast<double>(static_cast<float>(bytes) / 1024.0f));
  } else if (bytes < (int64_t{1} << 30)) {
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1048576.0);
  } else if (bytes < (int64_t{1} << 40)) {
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1073741824.0);
  } else {
    std::snprintf(text, sizeof text, "%.2f TB", static_cast<double>(bytes) / 1099511627776.0);
  }
  return fromAscii(text);
}

TString TString::durationString(int64_t seconds) {
  char text[96];
  const long long hours = seconds / 3600;
  const long long minutes = (seconds % 3600) / 60;
  const long long secs = seconds % 60;
  if (hours == 0) {
    std::snprintf(text, sizeof text, "%02lld:%02lld", minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", hours, minutes, secs);
  }
  return fromAscii(text);
}

TString TString::dateString(int64_t secondsSince1970, bool withTime, bool adjust) {
  (void)adjust;  // local time already includes the zone and daylight saving
  const time_t t = static_cast<time_t>(secondsSince1970);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return TString();
  // The user's locale from the environment; the "C" locale when that one is not available.
  std::locale userLocale = std::locale::classic();
  try {
    userLocale = std::locale("");
  } catch (const std::runtime_error&) {
  }
  std::ostringstream text;
  text.imbue(userLocale);
  if (withTime) text << std::put_time(&local, "%X") << ", ";
  text << std::put_time(&local, "%x");
  return TString(text.str());
}

TString TString::joinPath(const TString& folder, const TString& name) {
  TString joined(folder);
  if (!joined.isEmpty()) joined += u'/';
  joined += name;
  joined.replaceAll(u"//", u"/");
  return joined;
}

TString TString::normalizePath(const TString& path, bool sanitize) {
  WString out;
  out.reserve(path.length());
  const WString& in = *path.storage();
  for (size_t i = 0; i < in.size(); ++i) {
    WChar u = in[i] == u'\\' ? u'/' : in[i];
    // A leading "//" (a network path) stays; any other run of separators becomes one.
    if (u == u'/' && !out.empty() && out.back() == u'/' && !(out.size() == 1 && i == 1)) continue;
    out.push_back(u);
  }
  TString result(out);
  return sanitize ? sanitizeFileName(result) : result;
}

TString TString::sanitizeFileName(const TString& name) {
  TString copy(name);
  copy.stripLeading(u' ');
  // "/" separates folders and stays; everything a file name on the desktop cannot hold goes.
  for (WChar& u : *copy.storage()) {
    switch (u) {
      case u'<': case u'>': case u':': case u'"': case u'\\': case u'|': case u'?': case u'*':
        u = u'_';
        break;
      default:
        break;
    }
  }
  return copy;
}

TString TString::replaceInvalidFileNameCharacters(const TString& name) {
  TString copy(name);
  for (WChar& u : *copy.storage()) {
    switch (u) {
      case u'/': case u'\\': case u'?': case u'%': case u'*': case u'|': case u'"': case u'<': case u'>': case u':':
        u = u'_';
        break;
      default:
        break;
    }
  }
  return copy;
}

TString TString::forwardSlashPath(const TString& path) {
  TString copy(path);
  copy.replaceAll(u"\\", u"/");
  while (copy.replaceAll(u"//", u"/") > 0) {
  }
  return copy;
}

namespace {
WString withSlashes(const TString& path) {
  WString converted = *path.storage();
  for (WChar& u : converted) {
    if (u == u'\\') u = u'/';
  }
  return converted;
}
}  // namespace

TString TString::folderPartOfPath(const TString& path) {
  WString converted = withSlashes(path);
  size_t at = converted.rfind(u'/');
  if (at == WString::npos) return TString(converted);
  return TString(converted.substr(0, at + 1));
}

TString TString::fileNamePartOfPath(const TString& path) {
  WString converted = withSlashes(path);
  size_t at = converted.rfind(u'/');
  if (at == WString::npos) return TString(converted);
  return TString(converted.substr(at + 1));
}

TString TString::extensionPartOfPath(const TString& path, bool withDot) {
  const WString& text = *path.storage();
  size_t dot = text.rfind(u'.');
  size_t slash = text.find_last_of(u"/\\");
  if (dot == WString::npos || (slash != WString::npos && slash > dot)) return TString();
  return TString(text.substr(withDot ? dot : dot + 1));
}

bool TString::isValidEmailAddress(const TString& text) {
  if (text.isEmpty()) return false;
  TString copy(text);
  copy.stripLeading(u' ');
  copy.stripTrailing(u' ');
  const WString& s = *copy.storage();
  if (s.empty() || s.find(u'@') == WString::npos || s.front() == u'@' || s.back() == u'@') return false;
  for (WChar u : s) {
    bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'@' ||
              u == u'.' || u == u'-' || u == u'_';
    if (!ok) return false;
  }
  return true;
}

TString TString::paddedString(const WChar* text, size_t minimumLength, WChar fill) {
  TString result(text);
  if (fill == 0) return result;
  if (result.length() < minimumLength) result.storage()->append(minimumLength - result.length(), fill);
  return result;
}

TString TString::urlEscaped(const TString& text) {
  if (text.isEmpty()) return TString();
  try {
    std::string out;
    Poco::URI::encode(text.utf8String(), "/?#", out);
    return TString(out);
  } catch (...) {
    return TString();
  }
}

TString TString::urlUnescaped(const TString& text) {
  if (text.isEmpty()) return TString();
  try {
    std::string out;
    Poco::URI::decode(text.utf8String(), out);
    return TString(out);
  } catch (...) {
    return TString();
  }
}

// ---- free functions

void splitString(const std::string& text, const std::string& delimiter, std::vector<std::string>& parts) {
  parts.clear();
  if (delimiter.empty()) {
    if (!text.empty()) parts.push_back(text);
    return;
  }
  size_t start = 0;
  for (size_t at; (at = text.find(delimiter, start)) != std::string::npos; start = at + delimiter.size()) {
    parts.push_back(text.substr(start, at - start));
  }
  if (start < text.size()) parts.push_back(text.substr(start));
}

void splitString(const WString& text, const WString& delimiter, std::vector<WString>& parts) {
  parts.clear();
  if (delimiter.empty()) {
    if (!text.empty()) parts.push_back(text);
    return;
  }
  size_t start = 0;
  for (size_t at; (at = text.find(delimiter, start)) != WString::npos; start = at + delimiter.size()) {
    parts.push_back(text.substr(start, at - start));
  }
  if (start < text.size()) parts.push_back(text.substr(start));
}

std::string stripBlanks(const std::string& text) {
  std::string s = text;
  for (char c : {' ', '\t'}) {
    size_t first = s.find_first_not_of(c);
    if (first == std::string::npos) continue;  // only that character (or empty): unchanged
    s.erase(0, first);
    s.erase(s.find_last_not_of(c) + 1);
  }
  return s;
}

bool fileExists(const WChar* path) {
  struct stat st {};
  return path != nullptr && ::stat(narrowPath(path).c_str(), &st) == 0;
}

bool isWritableFile(const WChar* path) {
  struct stat st {};
  if (path == nullptr || ::stat(narrowPath(path).c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

bool deleteFile(const WChar* path) { return path != nullptr && ::unlink(narrowPath(path).c_str()) == 0; }

bool fileSize(const TString& path, uint64_t* size) {
  int fd = ::open(path.utf8String().c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  bool ok = fd >= 0 && ::fstat(fd, &st) == 0;
  if (fd >= 0) ::close(fd);
  if (size) *size = ok ? static_cast<uint64_t>(st.st_size) : 0;
  return ok;
}

bool hasFileAccess(const WChar* path, uint32_t desiredAccess) {
  if (path == nullptr) return false;
  int mode = 0;
  if (desiredAccess & (kGenericRead | kGenericAll | 0x0001u)) mode |= R_OK;
  if (desiredAccess & (kGenericWrite | kGenericAll | 0x0002u | 0x0004u)) mode |= W_OK;
  if (desiredAccess & (kGenericExecute | kGenericAll | 0x0020u)) mode |= X_OK;
  return ::faccessat(AT_FDCWD, narrowPath(path).c_str(), mode == 0 ? F_OK : mode, AT_EACCESS) == 0;
}

bool isLittleEndian() {
  const uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

bool parseUnsigned(const char* text, uint64_t* value) {
  if (text == nullptr) {
    if (value) *value = 0;
    return false;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text, &end, 0);
  const bool rangeError = errno == ERANGE;
  if (value) *value = parsed;
  return end != text && *end == '\0' && !rangeError;
}

void sleepMilliseconds(uint32_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

void sleepSeconds(uint32_t s) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(s);
  while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

uint64_t unixTimeToFileTime(int32_t seconds) {
  return static_cast<uint64_t>(static_cast<int64_t>(seconds) + 11644473600LL) * 10000000ULL;
}

}  // namespace Vesk
