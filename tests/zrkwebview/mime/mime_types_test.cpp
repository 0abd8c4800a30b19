#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/mime-types.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<unsigned char>(v));
  return out;
}

void append(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

void appendBE32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

// A PNG file made of the signature and the given chunks (type, payload size); CRCs are zero,
// nothing here checks them.
Bytes png(const std::vector<std::pair<std::string, uint32_t>>& chunks) {
  Bytes out = bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
  for (const auto& [type, size] : chunks) {
    appendBE32(out, size);
    append(out, type);
    out.insert(out.end(), size + 4, 0);
  }
  return out;
}

// A TIFF header in either byte order with one directory at offset 8 holding the given tags.
Bytes tiff(bool bigEndian, uint16_t version, const std::vector<uint16_t>& tags) {
  auto put16 = [&](Bytes& b, uint16_t v) {
    if (bigEndian) b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
    else b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
  };
  Bytes out = bigEndian ? bytes({'M', 'M'}) : bytes({'I', 'I'});
  put16(out, version);
  put16(out, bigEndian ? 0 : 8);
  put16(out, bigEndian ? 8 : 0);
  put16(out, static_cast<uint16_t>(tags.size()));
  for (uint16_t tag : tags) {
    put16(out, tag);
    out.insert(out.end(), 10, 0);
  }
  return out;
}

Bytes ogg(const std::string& codecHeader) {
  Bytes out = bytes({'O', 'g', 'g', 'S'});
  out.resize(28, 0);
  append(out, codecHeader);
  out.resize(std::max<size_t>(out.size(), 40), 0);
  return out;
}

Bytes head(const Bytes& data, size_t n) { return Bytes(data.begin(), data.begin() + n); }

const MimeTypeEntry& row(size_t index) { return kMimeTypeTable[index]; }

// The content test of a row over an exact-size copy (so a read past the count trips ASan).
bool rowAccepts(size_t index, const Bytes& data) {
  Bytes copy = data;
  return row(index).contentTest(copy.empty() ? nullptr : copy.data(), static_cast<int32_t>(copy.size()));
}

TEST(MimeTypeForExtension, AnswersTheFirstMatchingRow) {
  struct Case {
    const char* query;
    const char* expected;
  } cases[] = {
      {"png", "image/png"},        {".png", "image/png"},
      {"PNG", "image/png"},        {".PnG", "image/png"},
      {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},
      {"js", "text/javascript"},   {"JS", "text/javascript"},
      {"mjs", "text/javascript"},  {"json", "application/json"},
      {"css", "text/css"},         {"html", "text/html"},
      {"htm", "text/html"},        {"svg", "image/svg+xml"},
      {"wasm", "application/wasm"}, {"woff2", "font/woff2"},
      {"tif", "image/tiff"},       {"tiff", "image/tiff"},
      {"avi", "video/vnd.avi"},    {"txt", "text/plain"},
      {"xml", "application/xml"},  {"mp4", "video/mp4"},
      {"webp", "image/webp"},      {"ico", "image/x-icon"},
      {"bmp", "image/bmp"},        {"123", "application/vnd.lotus-1-2-3"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"ice", "x-conference/x-cooltalk"},  // the last row
      // Starred rows are reached only by a query that carries the star itself.
      {"*js", "application/javascript"},  {"*JS", "application/javascript"},
      {"*xml", "text/xml"},        {"*wav", "audio/wave"},
      // Unknown, empty, prefix and padded texts find nothing.
      {"w", nullptr},              {"qqq", nullptr},
      {"", nullptr},               {".", nullptr},
      {"..png", nullptr},          {"pn", nullptr},
      {"pngx", nullptr},           {"png ", nullptr},
      {"*", nullptr},              {"*png", nullptr},
  };
  for (const Case& c : cases) {
    const char* got = mimeTypeForExtension(c.query);
    if (c.expected == nullptr) {
      EXPECT_EQ(got, nullptr) << c.query << " gave " << got;
    } else {
      ASSERT_NE(got, nullptr) << c.query;
      EXPECT_STREQ(got, c.expected) << c.query;
    }
  }
  EXPECT_EQ(mimeTypeForExtension(nullptr), nullptr);
}

TEST(MimeTypeTable, HasItsRowsInPlace) {
  ASSERT_EQ(kMimeTypeTableSize, 1320u);
  // Pinned rows: where the first match decides, a moved row changes an answer.
  EXPECT_STREQ(row(0).extension, "txt");
  EXPECT_STREQ(row(10).mimeType, "image/apng");
  EXPECT_STREQ(row(146).mimeType, "video/avi");
  EXPECT_STREQ(row(149).extension, "123");
  EXPECT_STREQ(row(205).extension, "*js");
  EXPECT_STREQ(row(479).extension, "js");
  EXPECT_STREQ(row(1319).extension, "ice");

  size_t starred = 0;
  for (size_t i = 0; i < kMimeTypeTableSize; ++i) {
    const MimeTypeEntry& e = row(i);
    ASSERT_NE(e.extension, nullptr);
    ASSERT_NE(e.mimeType, nullptr);
    for (const char* c = e.extension; *c; ++c) EXPECT_FALSE(*c >= 'A' && *c <= 'Z') << e.extension;
    if (e.extension[0] == '*') ++starred;
    const bool recognisable = e.signatures[0].length != 0 || e.contentTest != nullptr;
    EXPECT_EQ(recognisable, i >= 1 && i <= 148) << "row " << i;
    for (const MimeSignature& s : e.signatures) {
      EXPECT_EQ(s.bytes == nullptr, s.length == 0) << "row " << i;
      if (s.bytes == nullptr) {
        EXPECT_EQ(s.mask, nullptr) << "row " << i;
      }
    }
    // The runs never repeat an extension of the content-recognised rows, nor one of their own.
    if (i >= 149) {
      for (size_t j = 0; j < i; ++j) ASSERT_STRNE(row(j).extension, e.extension) << "row " << i;
    }
  }
  EXPECT_EQ(starred, 46u);
}

TEST(MimeContentTests, PngTellsStillFromAnimated) {
  const Bytes still = png({{"IHDR", 13}, {"IDAT", 20}, {"IEND", 0}});
  const Bytes animated = png({{"IHDR", 13}, {"acTL", 8}, {"IDAT", 20}, {"IEND", 0}});
  const Bytes animatedLate = png({{"IHDR", 13}, {"IDAT", 20}, {"acTL", 8}, {"IEND", 0}});
  EXPECT_TRUE(rowAccepts(9, still));
  EXPECT_FALSE(rowAccepts(10, still));
  EXPECT_TRUE(rowAccepts(10, animated));
  EXPECT_FALSE(rowAccepts(9, animated));
  EXPECT_TRUE(rowAccepts(9, animatedLate));  // the first of the two chunks decides

  // A chunk length with the high bit set, or a next chunk beyond the data, ends the walk.
  Bytes bad = png({{"IHDR", 13}, {"IDAT", 0}});
  bad[8] = 0x80;
  EXPECT_EQ(mimecontent::pngKind(bad.data(), static_cast<int32_t>(bad.size())), 0);
  const Bytes cut = png({{"IHDR", 13}, {"IDAT", 20}});
  EXPECT_EQ(mimecontent::pngKind(cut.data(), 41), 0);  // the IDAT chunk at 33 needs 8 bytes and one more
  EXPECT_EQ(mimecontent::pngKind(cut.data(), 42), 1);
}

TEST(MimeContentTests, ClassifiersPickTheirRows) {
  const Bytes longPdf = [] {
    Bytes b;
    append(b, "%PDF-1.7\n");
    b.resize(4000, ' ');
    return b;
  }();
  const Bytes illustrator = [&] {
    Bytes b = longPdf;
    std::memcpy(b.data() + 1350, "AIPrivateData", 13);
    return b;
  }();
  Bytes cr2 = tiff(false, 42, {256});
  cr2[8] = 'C';
  cr2[9] = 'R';
  cr2[4] = 16;  // the directory starts after the CR marker
  cr2.resize(40, 0);
  Bytes nef = tiff(true, 42, {256});
  nef[7] = 16;
  nef.resize(40, 0);
  std::memcpy(nef.data() + 8, "\x1c\x00\xfe\x00", 4);
  Bytes eps;
  append(eps, "%!PS-Adobe-3.0 EPSF-3.0\n");
  Bytes ps;
  append(ps, "%!PS-Adobe-3.0\nxxxxxxxxxxxx\n");
  const Bytes webp = bytes({'R', 'I', 'F', 'F', 0x10, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', ' '});

  struct Case {
    const char* what;
    size_t row;
    Bytes data;
    bool accepted;
  } cases[] = {
      {"opus", 39, ogg("OpusHead"), true},
      {"theora", 40, ogg("\x80theora"), true},
      {"ogm video", 41, ogg(std::string("\x01video\0", 7)), true},
      {"ogg flac", 42, ogg("\x7f" "FLAC"), true},
      {"speex", 43, ogg("Speex  "), true},
      {"vorbis", 44, ogg("\x01vorbis"), true},
      {"vorbis is not opus", 39, ogg("\x01vorbis"), false},
      {"short ogg", 44, head(ogg("\x01vorbis"), 35), false},
      {"plain pdf", 58, longPdf, true},
      {"short pdf", 58, head(longPdf, 1355), true},
      {"plain pdf is not ai", 57, longPdf, false},
      {"illustrator", 57, illustrator, true},
      {"illustrator is not pdf", 58, illustrator, false},
      {"tiff le", 99, tiff(false, 42, {256, 257}), true},
      {"tiff be", 104, tiff(true, 42, {256, 257}), true},
      {"bigtiff", 99, bytes({'I', 'I', 43, 0, 8, 0, 8, 0, 0, 0, 0, 0, 16, 0, 0, 0}), true},
      {"cr2", 100, cr2, true},
      {"cr2 is not tiff", 99, cr2, false},
      {"nef", 106, nef, true},
      {"arw", 102, tiff(false, 42, {256, 50341}), true},
      {"dng be", 108, tiff(true, 42, {256, 257, 50706}), true},
      {"dng is not tiff", 99, tiff(false, 42, {50706}), false},
      {"cut directory", 99, head(tiff(false, 42, {256, 257}), 20), false},
      {"eps", 28, eps, true},
      {"plain postscript", 28, ps, false},
      {"swf", 35, bytes({'F', 'W', 'S', 9}), true},
      {"compressed swf", 35, bytes({'C', 'W', 'S', 9}), true},
      {"not swf", 35, bytes({'F', 'L', 'V', 1}), false},
      {"webp", 22, webp, true},
      {"not webp", 22, head(webp, 11), false},
  };
  for (const Case& c : cases) EXPECT_EQ(rowAccepts(c.row, c.data), c.accepted) << c.what;
}

TEST(MimeContentTests, NeverReadBeyondTheCount) {
  // Every row's test over every prefix of a few files, each prefix in a buffer of its own size.
  const std::vector<Bytes> files = {
      png({{"IHDR", 13}, {"acTL", 8}, {"IDAT", 20}}), ogg("OpusHead"), tiff(false, 42, {256, 257, 50706}),
      tiff(true, 42, {256, 50341}), tiff(false, 42, {60000}), bytes({'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}),
  };
  for (const Bytes& file : files) {
    for (size_t n = 0; n <= file.size(); ++n) {
      const Bytes prefix = head(file, n);
      for (size_t i = 0; i < kMimeTypeTableSize; ++i) {
        if (row(i).contentTest) rowAccepts(i, prefix);
      }
    }
  }
  // A null buffer counts as empty whatever count comes with it.
  for (size_t i = 0; i < kMimeTypeTableSize; ++i) {
    if (row(i).contentTest) {
      row(i).contentTest(nullptr, 100);
      row(i).contentTest(nullptr, -5);
    }
  }
}

}  // namespace
