#include "zrkwebview/browser/src/mime-types.h"

#include <cstring>

namespace {

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (asciiLower(*a) != asciiLower(*b)) return false;
  }
  return *a == *b;
}

// True when the `n` bytes at `offset` of the content are `text`; false when they lie beyond it.
bool bytesAt(const unsigned char* data, int64_t count, int64_t offset, const char* text, size_t n) {
  if (offset < 0 || offset + static_cast<int64_t>(n) > count) return false;
  return std::memcmp(data + offset, text, n) == 0;
}

uint32_t read16(const unsigned char* p, bool bigEndian) {
  return bigEndian ? (uint32_t(p[0]) << 8) | p[1] : (uint32_t(p[1]) << 8) | p[0];
}

uint32_t read32(const unsigned char* p, bool bigEndian) {
  if (bigEndian) return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

// A null buffer counts as empty, whatever count comes with it.
int64_t usableCount(const unsigned char* data, int32_t count) {
  return (data == nullptr || count < 0) ? 0 : count;
}

}  // namespace

const char* mimeTypeForExtension(const char* extension) {
  if (extension == nullptr || *extension == '\0') return nullptr;
  if (*extension == '.') ++extension;  // one dot only: "..png" keeps a dot and finds nothing
  if (*extension == '\0') return nullptr;
  for (size_t i = 0; i < kMimeTypeTableSize; ++i) {
    if (equalsIgnoringAsciiCase(extension, kMimeTypeTable[i].extension)) {
      return kMimeTypeTable[i].mimeType;
    }
  }
  return nullptr;
}

namespace mimecontent {

int pngKind(const unsigned char* data, int32_t count) {
  const int64_t n = usableCount(data, count);
  if (n < 16) return 0;
  int64_t pos = 8;
  for (;;) {
    const uint32_t length = read32(data + pos, true);
    if (length & 0x80000000u) return 0;
    if (bytesAt(data, n, pos + 4, "IDAT", 4)) return 1;
    if (bytesAt(data, n, pos + 4, "acTL", 4)) return 2;
    const int64_t next = pos + 12 + length;
    if (next + 8 >= n) return 0;
    pos = next;
  }
}

int oggKind(const unsigned char* data, int32_t count) {
  const int64_t n = usableCount(data, count);
  if (n < 36) return 0;
  if (bytesAt(data, n, 28, "OpusHead", 8)) return 1;
  if (bytesAt(data, n, 28, "\x80theora", 7)) return 2;
  if (bytesAt(data, n, 28, "\x01video\0", 7)) return 3;
  if (bytesAt(data, n, 28, "\x7f" "FLAC", 5)) return 4;
  if (bytesAt(data, n, 28, "Speex  ", 7)) return 5;
  if (bytesAt(data, n, 28, "\x01vorbis", 7)) return 6;
  return 0;
}

int pdfKind(const unsigned char* data, int32_t count) {
  // Illustrator writes its private data marker at a fixed place; every other file that passed
  // the %PDF signature is a plain PDF, however long it is.
  return bytesAt(data, usableCount(data, count), 1350, "AIPrivateData", 13) ? 2 : 1;
}

int tiffKind(const unsigned char* data, int32_t count, bool bigEndian) {
  const int64_t n = usableCount(data, count);
  if (n < 12) return 0;
  const uint32_t version = read16(data + 2, bigEndian);
  const int64_t directory = read32(data + 4, bigEndian);
  if (version != 42) return version == 43 ? 3 : 0;
  if (directory > 5 && data[8] == 'C' && data[9] == 'R') return 1;
  if (directory > 7 && bytesAt(data, n, 8, "\x1c\x00\xfe\x00", 4)) return 2;
  if (directory >= n || n - directory < 2) return 0;
  const uint32_t entries = read16(data + directory, bigEndian);
  for (uint32_t i = 0;; ++i) {
    if (i >= entries) return 3;
    const int64_t start = directory + 2 + int64_t(i) * 12;
    const int64_t remaining = n - start;
    if (remaining < 2) return 0;
    const uint32_t tag = read16(data + start, bigEndian);
    if (tag == 50341) return 4;
    if (tag == 50706) return 5;
    if (remaining <= 11) return 0;
  }
}

bool isEps(const unsigned char* data, int32_t count) {
  const int64_t n = usableCount(data, count);
  return n >= 20 && bytesAt(data, n, 2, "PS-Adobe-", 9) && bytesAt(data, n, 14, " EPSF-", 6);
}

bool isSwf(const unsigned char* data, int32_t count) {
  const int64_t n = usableCount(data, count);
  return n > 2 && (data[0] == 'C' || data[0] == 'F') && data[1] == 'W' && data[2] == 'S';
}

bool isWebp(const unsigned char* data, int32_t count) {
  const int64_t n = usableCount(data, count);
  return n > 11 && bytesAt(data, n, 8, "WEBP", 4);
}

}  // namespace mimecontent
