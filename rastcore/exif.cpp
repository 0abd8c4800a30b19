// EXIF orientation inside JPEG files, read and changed without touching the compressed image.
#include <cstring>

#include "rastcore/internal.h"

namespace rastcore {

namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kTypeShort = 3;

struct Segment {
  size_t start = 0;  // the 0xFF of the marker
  size_t size = 0;   // marker, length and payload
};

struct ExifLocation {
  bool found = false;
  Segment segment;
  size_t tiff = 0;  // where the TIFF header starts
  size_t tiffSize = 0;
  size_t afterApp0 = 2;  // where a new segment goes
};

uint16_t be16(const unsigned char* p) { return uint16_t(p[0] << 8 | p[1]); }

struct Tiff {
  const unsigned char* base;
  size_t size;
  bool little;
  uint16_t u16(size_t at) const {
    if (at + 2 > size) fail("corrupt EXIF data");
    return little ? uint16_t(base[at] | base[at + 1] << 8) : uint16_t(base[at] << 8 | base[at + 1]);
  }
  uint32_t u32(size_t at) const {
    if (at + 4 > size) fail("corrupt EXIF data");
    const unsigned char* p = base + at;
    return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                  : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
  }
  void put16(unsigned char* p, uint16_t v) const {
    if (little) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
    else { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
  }
  void put32(unsigned char* p, uint32_t v) const {
    for (int i = 0; i < 4; ++i) p[little ? i : 3 - i] = uint8_t(v >> (8 * i));
  }
};

Tiff openTiff(const unsigned char* base, size_t size) {
  if (size < 8) fail("corrupt EXIF data");
  Tiff t{base, size, false};
  if (base[0] == 'I' && base[1] == 'I') t.little = true;
  else if (!(base[0] == 'M' && base[1] == 'M')) fail("corrupt EXIF data");
  if (t.u16(2) != 42) fail("corrupt EXIF data");
  return t;
}

ExifLocation findExif(const std::vector<unsigned char>& f) {
  if (!looksLikeJpeg(f.data(), f.size())) fail("not a JPEG file");
  ExifLocation loc;
  size_t pos = 2;
  bool first = true;
  while (pos + 4 <= f.size()) {
    if (f[pos] != 0xFF) fail("corrupt JPEG data");
    uint8_t marker = f[pos + 1];
    if (marker == 0xFF) { ++pos; continue; }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) { pos += 2; continue; }
    if (marker == 0xDA || marker == 0xD9) break;  // image data from here on
    size_t len = be16(&f[pos + 2]);
    if (len < 2 || pos + 2 + len > f.size()) fail("corrupt JPEG data");
    const unsigned char* payload = &f[pos + 4];
    size_t payloadSize = len - 2;
    if (first && marker == 0xE0) loc.afterApp0 = pos + 2 + len;
    first = false;
    if (marker == 0xE1 && payloadSize >= 6 && memcmp(payload, "Exif\0\0", 6) == 0) {
      loc.found = true;
      loc.segment = {pos, len + 2};
      loc.tiff = pos + 4 + 6;
      loc.tiffSize = payloadSize - 6;
      return loc;
    }
    pos += 2 + len;
  }
  return loc;
}

// Where IFD0's orientation entry is (0 if none), and IFD0's offset and count.
struct Ifd0 {
  size_t offset = 0;
  uint16_t count = 0;
  size_t orientationEntry = 0;
  bool hasOrientation = false;
};

Ifd0 readIfd0(const Tiff& t) {
  Ifd0 ifd;
  ifd.offset = t.u32(4);
  ifd.count = t.u16(ifd.offset);
  if (ifd.offset + 2 + size_t(ifd.count) * 12 + 4 > t.size) fail("corrupt EXIF data");
  for (size_t i = 0; i < ifd.count; ++i) {
    size_t e = ifd.offset + 2 + i * 12;
    if (t.u16(e) == kOrientationTag) {
      ifd.orientationEntry = e;
      ifd.hasOrientation = true;
    }
  }
  return ifd;
}

}  // namespace

int jpegOrientation(const std::vector<unsigned char>& file) {
  try {
    ExifLocation loc = findExif(file);
    if (!loc.found) return 1;
    Tiff t = openTiff(&file[loc.tiff], loc.tiffSize);
    Ifd0 ifd = readIfd0(t);
    if (!ifd.hasOrientation || t.u16(ifd.orientationEntry + 2) != kTypeShort) return 1;
    int o = t.u16(ifd.orientationEntry + 8);
    return o >= 1 && o <= 8 ? o : 1;
  } catch (const Failure&) {
    return 1;  // unreadable metadata does not stop the image from being shown
  }
}

std::vector<unsigned char> setJpegOrientation(const std::vector<unsigned char>& file,
                                              int orientation) {
  if (orientation < 1 || orientation > 8) fail("invalid orientation %d", orientation);
  ExifLocation loc = findExif(file);
  std::vector<unsigned char> out;
  if (!loc.found) {
    // A minimal EXIF segment: big-endian TIFF header, IFD0 with the one entry.
    static const unsigned char kSegment[] = {
        0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0,       // APP1, length 34
        'M', 'M', 0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,          // TIFF header
        0x00, 0x01,                                             // one entry
        0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0,  // orientation, SHORT, 1
        0x00, 0x00, 0x00, 0x00};                                // no next IFD
    out.reserve(file.size() + sizeof kSegment);
    out.insert(out.end(), file.begin(), file.begin() + long(loc.afterApp0));
    size_t at = out.size();
    out.insert(out.end(), kSegment, kSegment + sizeof kSegment);
    out[at + 29] = uint8_t(orientation);  // the SHORT value, left-justified, big-endian
    out.insert(out.end(), file.begin() + long(loc.afterApp0), file.end());
    return out;
  }
  Tiff t = openTiff(&file[loc.tiff], loc.tiffSize);
  Ifd0 ifd = readIfd0(t);
  if (ifd.hasOrientation && t.u16(ifd.orientationEntry + 2) == kTypeShort &&
      t.u32(ifd.orientationEntry + 4) == 1) {
    out = file;
    t.put16(&out[loc.tiff + ifd.orientationEntry + 8], uint16_t(orientation));
    t.put16(&out[loc.tiff + ifd.orientationEntry + 10], 0);
    return out;
  }
  // No usable entry: write a new IFD0 (the old entries plus ours, in tag order) after the TIFF
  // data and point the header at it. Nothing moves, so every other offset stays right.
  std::vector<unsigned char> entries;
  bool placed = false;
  auto ourEntry = [&] {
    unsigned char e[12] = {};
    t.put16(e, kOrientationTag);
    t.put16(e + 2, kTypeShort);
    t.put32(e + 4, 1);
    t.put16(e + 8, uint16_t(orientation));
    entries.insert(entries.end(), e, e + 12);
    placed = true;
  };
  for (size_t i = 0; i < ifd.count; ++i) {
    size_t e = ifd.offset + 2 + i * 12;
    uint16_t tag = t.u16(e);
    if (tag == kOrientationTag) continue;  // a malformed one: replaced
    if (!placed && tag > kOrientationTag) ourEntry();
    entries.insert(entries.end(), t.base + e, t.base + e + 12);
  }
  if (!placed) ourEntry();
  size_t pad = loc.tiffSize % 2;
  size_t newIfd = loc.tiffSize + pad;
  size_t added = pad + 2 + entries.size() + 4;
  size_t newLength = loc.segment.size - 2 + added;
  if (newLength > 0xFFFF) fail("EXIF data too large to add the orientation");
  size_t segEnd = loc.segment.start + loc.segment.size;
  out.reserve(file.size() + added);
  out.insert(out.end(), file.begin(), file.begin() + long(segEnd));
  out.insert(out.end(), pad, 0);
  unsigned char word[4];
  t.put16(word, uint16_t(entries.size() / 12));
  out.insert(out.end(), word, word + 2);
  out.insert(out.end(), entries.begin(), entries.end());
  t.put32(word, t.u32(ifd.offset + 2 + size_t(ifd.count) * 12));  // keep the next IFD link
  out.insert(out.end(), word, word + 4);
  out.insert(out.end(), file.begin() + long(segEnd), file.end());
  out[loc.segment.start + 2] = uint8_t(newLength >> 8);
  out[loc.segment.start + 3] = uint8_t(newLength);
  t.put32(&out[loc.tiff + 4], uint32_t(newIfd));
  return out;
}

}  // namespace rastcore
