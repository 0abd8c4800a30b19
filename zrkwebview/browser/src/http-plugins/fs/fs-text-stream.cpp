// The text-mode stream: a glibc custom stream over a binary one that reads CR LF as LF.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "zrkwebview/browser/src/http-plugins/fs/fs-open-files.h"

namespace zrk::plugin {
namespace {

struct TextCookie {
  std::FILE* raw = nullptr;
  // A CR ended the last raw piece: whether it belongs to a CR LF is known only at the next byte.
  bool pendingCr = false;
  // The stream's buffer (the C library allocates only its small default size itself).
  std::unique_ptr<char[]> buffer;
};

constexpr size_t kTextBuffer = 256 * 1024;

// Reads straight into the caller's buffer and drops the CR of every CR LF in place.
ssize_t textRead(void* cookie, char* out, size_t size) {
  auto* state = static_cast<TextCookie*>(cookie);
  if (size == 0) return 0;
  for (;;) {
    size_t src = 0;
    size_t dst = 0;
    size_t end = 0;
    if (state->pendingCr) {
      // The byte after the held CR decides whether the CR stays.
      int next = std::getc(state->raw);
      if (next == EOF) {
        if (std::ferror(state->raw)) return -1;
        state->pendingCr = false;
        out[0] = '\r';
        return 1;
      }
      state->pendingCr = false;
      if (next != '\n') {
        out[dst++] = '\r';
        if (size == 1) {
          std::ungetc(next, state->raw);
          return 1;
        }
      }
      out[dst] = static_cast<char>(next);
      src = dst;
      end = dst + 1;
    }
    const size_t got = std::fread(out + end, 1, size - end, state->raw);
    if (got == 0 && end == 0) return std::ferror(state->raw) ? -1 : 0;
    end += got;
    while (src < end) {
      const char* cr = static_cast<const char*>(std::memchr(out + src, '\r', end - src));
      const size_t run = (cr == nullptr ? end : static_cast<size_t>(cr - out)) - src;
      if (dst != src) std::memmove(out + dst, out + src, run);
      dst += run;
      src += run;
      if (src == end) break;
      // out[src] is a CR.
      if (src + 1 == end) {
        state->pendingCr = true;
      } else if (out[src + 1] != '\n') {
        out[dst++] = '\r';
      }
      ++src;  // the LF after a dropped CR moves with the next run
    }
    if (dst > 0) return static_cast<ssize_t>(dst);
    // Only a lone trailing CR came: read on to learn what follows it.
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
  auto* cookie = new TextCookie{raw, false, std::make_unique<char[]>(kTextBuffer)};
  cookie_io_functions_t functions{textRead, textWrite, textSeek, textClose};
  std::FILE* stream = fopencookie(cookie, "r", functions);
  if (stream != nullptr) {
    // Custom streams are filled one buffer at a time whatever the reader asks for: a large
    // buffer keeps the system calls large.
    std::setvbuf(stream, cookie->buffer.get(), _IOFBF, kTextBuffer);
  } else {
    const int error = errno;
    std::fclose(raw);
    delete cookie;
    errno = error;
  }
  return stream;
}

}  // namespace zrk::plugin
