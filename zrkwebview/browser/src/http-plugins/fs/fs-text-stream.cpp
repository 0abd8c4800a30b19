// The text-mode stream: a glibc custom stream over a binary one that reads CR LF as LF.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "zrkwebview/browser/src/http-plugins/fs/fs-open-files.h"

namespace zrk::plugin {
namespace {

struct TextCookie {
  std::FILE* raw = nullptr;
  // A CR ended the last raw piece: whether it belongs to a CR LF is known only at the next byte.
  bool pendingCr = false;
};

ssize_t textRead(void* cookie, char* out, size_t size) {
  auto* state = static_cast<TextCookie*>(cookie);
  if (size == 0) return 0;
  char raw[8192];
  for (;;) {
    const size_t want = std::min(size, sizeof raw);
    const size_t got = std::fread(raw, 1, want, state->raw);
    if (got == 0) {
      if (std::ferror(state->raw)) return -1;
      if (state->pendingCr) {
        state->pendingCr = false;
        out[0] = '\r';
        return 1;
      }
      return 0;
    }
    size_t n = 0;
    size_t i = 0;
    if (state->pendingCr) {
      state->pendingCr = false;
      if (raw[0] != '\n') out[n++] = '\r';
    }
    // `out` has room for `size` bytes and at most `want` + 1 come out of this piece only when a
    // pending CR is re-emitted; keep the last raw byte back in that case.
    size_t end = got;
    if (n == 1 && end == size) {
      std::fseek(state->raw, -1, SEEK_CUR);
      --end;
    }
    for (; i < end; ++i) {
      const char c = raw[i];
      if (c == '\r') {
        if (i + 1 < end) {
          if (raw[i + 1] == '\n') continue;  // the LF that follows is written next
        } else {
          state->pendingCr = true;
          continue;
        }
      }
      out[n++] = c;
    }
    if (n > 0) return static_cast<ssize_t>(n);
    // The piece was a lone trailing CR: read on to learn what follows it.
  }
}

ssize_t textWrite(void* cookie, const char* data, size_t size) {
  auto* state = static_cast<TextCookie*>(cookie);
  state->pendingCr = false;
  const size_t written = std::fwrite(data, 1, size, state->raw);
  if (written == 0 && size > 0) return -1;
  return static_cast<ssize_t>(written);
}

int textSeek(void* cookie, off64_t* offset, int whence) {
  auto* state = static_cast<TextCookie*>(cookie);
  // A CR held back is one byte the raw stream has consumed but the reader has not seen.
  off64_t target = *offset;
  if (whence == SEEK_CUR && state->pendingCr) target -= 1;
  if (fseeko(state->raw, target, whence) != 0) return -1;
  state->pendingCr = false;
  const off64_t position = ftello(state->raw);
  if (position < 0) return -1;
  *offset = position;
  return 0;
}

int textClose(void* cookie) {
  auto* state = static_cast<TextCookie*>(cookie);
  const int result = std::fclose(state->raw);
  delete state;
  return result == 0 ? 0 : -1;
}

}  // namespace

std::FILE* openTextStream(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* raw = std::fopen(path.c_str(), "rbe");
  if (raw == nullptr) return nullptr;
  struct stat info {};
  if (::fstat(fileno(raw), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(raw);
    errno = EISDIR;
    return nullptr;
  }
  auto* cookie = new TextCookie{raw, false};
  cookie_io_functions_t functions{textRead, textWrite, textSeek, textClose};
  std::FILE* stream = fopencookie(cookie, "r", functions);
  if (stream == nullptr) {
    const int error = errno;
    std::fclose(raw);
    delete cookie;
    errno = error;
  }
  return stream;
}

}  // namespace zrk::plugin
