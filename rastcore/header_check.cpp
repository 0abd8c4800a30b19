// Sizes that file headers claim, checked against the file before a reader trusts them. Some
// readers allocate (and clear) whatever a header claims before reading a byte of pixels: a
// damaged header made them take gigabytes and minutes, or abort.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "rastcore/internal.h"
#include "rastcore/oiio_util.h"

namespace rastcore {

namespace {

uint32_t u32(const unsigned char* p, bool bigEndian) {
  return bigEndian ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                   : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// GIF: the reader makes a canvas of the logical screen size before the first frame.
void checkGif(const std::string& path, const std::vector<unsigned char>& head) {
  if (head.size() < 10) return;
  const int w = head[6] | head[7] << 8, h = head[8] | head[9] << 8;
  if (w == 0 || h == 0 || int64_t(w) * h > maxPixels())
    fail("cannot read %s: the GIF screen size %dx%d is invalid or too large", path.c_str(), w, h);
}

// DPX: the generic, industry and user header sections must lie inside the file.
void checkDpx(const std::string& path, const std::vector<unsigned char>& head, uint64_t size) {
  if (head.size() < 36) return;
  const bool be = memcmp(head.data(), "SDPX", 4) == 0;
  const uint64_t offset = u32(&head[4], be), generic = u32(&head[24], be),
                 industry = u32(&head[28], be), user = u32(&head[32], be);
  if (offset > size || user > size || generic + industry + user > size)
    fail("cannot read %s: the DPX header claims more data than the file holds", path.c_str());
}

// OpenEXR: every header attribute's size must fit in what is left of the file; the headers
// (several in a multi-part file) end with an empty name.
void checkExr(const std::string& path, uint64_t size) {
  const std::vector<unsigned char> file = readFile(path);
  auto damaged = [&] {
    fail("cannot read %s: the OpenEXR header is damaged or claims more data than the file holds",
         path.c_str());
  };
  if (file.size() < 8) damaged();
  const bool multipart = file[5] & 0x10;
  size_t pos = 8;
  auto readName = [&](std::string& out) {
    const void* end = memchr(&file[pos], 0, file.size() - pos);
    if (!end) damaged();
    const size_t n = size_t(static_cast<const unsigned char*>(end) - &file[pos]);
    out.assign(reinterpret_cast<const char*>(&file[pos]), n);
    pos += n + 1;
  };
  for (int part = 0;; ++part) {
    bool any = false;
    for (;;) {
      if (pos >= file.size()) damaged();
      std::string name, type;
      readName(name);
      if (name.empty()) break;
      any = true;
      if (pos >= file.size()) damaged();
      readName(type);
      if (pos + 4 > file.size()) damaged();
      const uint32_t n = u32(&file[pos], false);
      pos += 4;
      if (int32_t(n) < 0 || n > file.size() - pos) damaged();
      pos += n;
    }
    if (!multipart || !any) break;
    if (pos < file.size() && file[pos] == 0) break;  // the empty header after the last part
  }
  (void)size;
}

}  // namespace

void checkClaimedSizes(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;  // the reader reports it
  struct stat st {};
  std::vector<unsigned char> head(64);
  ssize_t got = fstat(fd, &st) == 0 ? read(fd, head.data(), head.size()) : -1;
  close(fd);
  if (got <= 0) return;
  head.resize(size_t(got));
  const uint64_t size = uint64_t(st.st_size);
  if (head.size() >= 6 && (memcmp(head.data(), "GIF87a", 6) == 0 ||
                           memcmp(head.data(), "GIF89a", 6) == 0))
    checkGif(path, head);
  else if (head.size() >= 4 &&
           (memcmp(head.data(), "SDPX", 4) == 0 || memcmp(head.data(), "XPDS", 4) == 0))
    checkDpx(path, head, size);
  else if (head.size() >= 4 && head[0] == 0x76 && head[1] == 0x2f && head[2] == 0x31 &&
           head[3] == 0x01)
    checkExr(path, size);
}

}  // namespace rastcore
