// Last error, limits, buffers handed out and files written through a temporary name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rastcore/internal.h"
#include "rastcore/rastcore_api.h"

namespace rastcore {

namespace {
thread_local std::string t_lastError;
std::atomic<int64_t> g_maxPixels{400000000};
constexpr int64_t kMaxFileBytes = int64_t(1) << 31;  // 2 GiB
}  // namespace

void fail(const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  throw Failure(text);
}

void setLastError(const std::string& text) { t_lastError = text.empty() ? "unknown error" : text; }
void clearLastError() { t_lastError.clear(); }
const char* lastError() { return t_lastError.c_str(); }

void requireText(const char* text, const char* what) {
  if (!text || !*text) fail("%s is missing", what);
}

int64_t maxPixels() { return g_maxPixels.load(std::memory_order_relaxed); }
void setMaxPixels(int64_t limit) { g_maxPixels.store(limit, std::memory_order_relaxed); }

void checkPixelCount(int64_t w, int64_t h) {
  if (w <= 0 || h <= 0) fail("invalid image size %lldx%lld", (long long)w, (long long)h);
  if (w > INT32_MAX || h > INT32_MAX || w * h > maxPixels())
    fail("image too large (%lldx%lld, limit %lld pixels)", (long long)w, (long long)h,
         (long long)maxPixels());
}

int32_t checkedLength(int64_t bytes) {
  if (bytes < 0 || bytes > INT32_MAX)
    fail("image too large for a buffer (%lld bytes)", (long long)bytes);
  return int32_t(bytes);
}

unsigned char* handOut(const void* bytes, size_t size) {
  auto* p = static_cast<unsigned char*>(malloc(size ? size : 1));
  if (!p) throw std::bad_alloc();
  if (size) memcpy(p, bytes, size);
  return p;
}

char* handOutText(const std::string& text) {
  auto* p = reinterpret_cast<char*>(handOut(text.c_str(), text.size() + 1));
  return p;
}

std::vector<unsigned char> readFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open %s: %s", path.c_str(), strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    fail("not a regular file: %s", path.c_str());
  }
  if (st.st_size > kMaxFileBytes) {
    close(fd);
    fail("file too large: %s", path.c_str());
  }
  std::vector<unsigned char> bytes(size_t(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  bytes.resize(got);
  return bytes;
}

bool looksLikeJpeg(const unsigned char* p, size_t n) {
  return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}

std::string extensionOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = char(tolower((unsigned char)c));
  return ext;
}

TempFile::TempFile(const std::string& target, const std::string& dir) : target_(target) {
  std::string folder = dir, base = target;
  size_t slash = target.find_last_of('/');
  if (slash != std::string::npos) {
    if (folder.empty()) folder = target.substr(0, slash);
    base = target.substr(slash + 1);
  } else if (folder.empty()) {
    folder = ".";
  }
  if (folder.empty()) folder = "/";
  std::string ext = extensionOf(base);
  std::string suffix = ext.empty() ? "" : "." + ext;
  std::string templ = folder + "/." + base + ".part-XXXXXX" + suffix;
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  int fd = mkstemps(name.data(), int(suffix.size()));
  if (fd < 0) fail("cannot create a file in %s: %s", folder.c_str(), strerror(errno));
  // Keep the target's permissions, or the usual ones for a new file.
  struct stat st {};
  mode_t mode = 0644;
  if (stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  if (fchmod(fd, mode) != 0) { /* the file stays private; not worth failing for */ }
  close(fd);
  path_ = name.data();
}

TempFile::~TempFile() { discard(); }

void TempFile::write(const void* bytes, size_t size) {
  FILE* f = fopen(path_.c_str(), "wb");
  if (!f) fail("cannot write %s: %s", path_.c_str(), strerror(errno));
  size_t n = size ? fwrite(bytes, 1, size, f) : 0;
  bool ok = n == size && fflush(f) == 0;
  ok = (fclose(f) == 0) && ok;
  if (!ok) fail("cannot write %s", target_.c_str());
}

void TempFile::commit() {
  if (done_) fail("internal error: file already finished");
  if (rename(path_.c_str(), target_.c_str()) != 0) {
    int err = errno;
    discard();
    fail("cannot write %s: %s", target_.c_str(), strerror(err));
  }
  done_ = true;
}

void TempFile::discard() {
  if (!done_) {
    unlink(path_.c_str());
    done_ = true;
  }
}

}  // namespace rastcore

using namespace rastcore;

extern "C" {

void c_set_max_imagesize(int32_t limit) {
  clearLastError();
  if (limit > 0) setMaxPixels(limit);
}

const char* c_get_lasterror(void) { return lastError(); }

void c_free_resource(void* buffer) { free(buffer); }

}  // extern "C"
