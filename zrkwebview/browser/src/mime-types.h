// The MIME-type table: one constant row per file-name extension, searched in order by
// mimeTypeForExtension. The first rows also carry magic numbers and content tests that
// recognise a file by its first bytes; the lookup does not use them.
#pragma once

#include <cstddef>
#include <cstdint>

// A magic number: `length` bytes expected at `offset` of the content, compared through `mask`
// when there is one (a mask has as many bytes as the signature). Unused records are all zero.
struct MimeSignature {
  const unsigned char* bytes;
  const unsigned char* mask;
  uint32_t length;
  uint32_t offset;
};

using MimeContentTest = bool (*)(const unsigned char* data, int32_t count);

struct MimeTypeEntry {
  const char* extension;   // lower case, without the dot; a leading '*' hides the row from plain lookups
  const char* mimeType;
  MimeSignature signatures[5];
  MimeContentTest contentTest;  // null when the row has none
};

// The table, generated from tools/mime/mime-types.data into mime-types-table.cpp.
extern const MimeTypeEntry kMimeTypeTable[];
extern const size_t kMimeTypeTableSize;

// The MIME type of a file-name extension, given with or without one leading dot, compared
// without regard to ASCII case; null for a null or empty text and for an unknown extension.
const char* mimeTypeForExtension(const char* extension);

// Content classifiers behind the rows' content tests. Each is given the first bytes of a file
// and their count, reads nothing beyond the count, and answers a kind number (0: none of its
// kinds).
namespace mimecontent {

// 1: the first IDAT chunk comes before any acTL chunk (a still PNG); 2: an acTL chunk comes
// first (an animated PNG).
int pngKind(const unsigned char* data, int32_t count);
// 1 Opus, 2 Theora, 3 OGM video, 4 FLAC, 5 Speex, 6 Vorbis: the codec header at offset 28.
int oggKind(const unsigned char* data, int32_t count);
// 2: an Illustrator file (AIPrivateData at offset 1350); 1: any other PDF.
int pdfKind(const unsigned char* data, int32_t count);
// 1 CR2, 2 NEF, 3 plain TIFF (or BigTIFF), 4 ARW, 5 DNG; in the given byte order.
int tiffKind(const unsigned char* data, int32_t count, bool bigEndian);
inline int tiffKindLE(const unsigned char* data, int32_t count) { return tiffKind(data, count, false); }
inline int tiffKindBE(const unsigned char* data, int32_t count) { return tiffKind(data, count, true); }

bool isEps(const unsigned char* data, int32_t count);
bool isSwf(const unsigned char* data, int32_t count);
bool isWebp(const unsigned char* data, int32_t count);

// A row's content test that asks a classifier for one kind.
template <int (*Classify)(const unsigned char*, int32_t), int Kind>
bool hasKind(const unsigned char* data, int32_t count) {
  return Classify(data, count) == Kind;
}

}  // namespace mimecontent
