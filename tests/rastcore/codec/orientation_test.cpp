// EXIF orientation: applied on reading, changed without re-encoding, and the transforms.
#include "helpers.h"

using namespace rctest;
using nlohmann::json;

namespace {

const unsigned char kLabels[6][3] = {{230, 20, 20},  {20, 200, 20},  {20, 20, 230},
                                     {230, 230, 20}, {20, 220, 220}, {220, 20, 220}};

// The stored layout "ABC/DEF": 3 x 2 cells of `cell` pixels each.
Image labelled(int cell) {
  Image img{3 * cell, 2 * cell, 4, Bytes(size_t(6) * cell * cell * 4)};
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const unsigned char* c = kLabels[(y / cell) * 3 + x / cell];
      unsigned char* p = img.at(x, y);
      p[0] = c[0];
      p[1] = c[1];
      p[2] = c[2];
      p[3] = 255;
    }
  return img;
}

// Reads the cells back as letters, rows separated by '/'.
std::string layout(const Image& img, int cell) {
  if (img.width == 0) return "(no image: " + lastError() + ")";
  std::string s;
  for (int cy = 0; cy < img.height / cell; ++cy) {
    if (cy) s += '/';
    for (int cx = 0; cx < img.width / cell; ++cx) {
      const unsigned char* p = img.at(cx * cell + cell / 2, cy * cell + cell / 2);
      int best = 0, bestDist = 1 << 30;
      for (int k = 0; k < 6; ++k) {
        int d = 0;
        for (int c = 0; c < 3; ++c) d += (p[c] - kLabels[k][c]) * (p[c] - kLabels[k][c]);
        if (d < bestDist) bestDist = d, best = k;
      }
      s += char('A' + best);
    }
  }
  return s;
}

// How "ABC/DEF" is shown under each EXIF orientation.
const char* const kShown[9] = {nullptr,    "ABC/DEF",  "CBA/FED",  "FED/CBA",  "DEF/ABC",
                               "AD/BE/CF", "DA/EB/FC", "FC/EB/DA", "CF/BE/AD"};

TEST(Orientation, TiffTagIsAppliedOnlyWhenAsked) {
  TempDir dir;
  for (int o = 1; o <= 8; ++o) {
    const std::string path = dir.file("o" + std::to_string(o) + ".tif");
    save(path, labelled(1), json{{"Orientation", o}});
    json j = info(path);
    EXPECT_EQ(j["orientation"], o);
    EXPECT_EQ(j["orientedWidth"], o >= 5 ? 2 : 3);
    EXPECT_EQ(layout(readRgba(path, 0, true), 1), kShown[o]) << "orientation " << o;
    EXPECT_EQ(layout(readRgba(path, 0, false), 1), "ABC/DEF") << "orientation " << o;
  }
}

TEST(Orientation, JpegPatchedInPlaceIsAppliedByEveryReader) {
  TempDir dir;
  const int cell = 32;
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE("orientation " + std::to_string(o));
    const std::string path = dir.file("o.jpg");
    save(path, labelled(cell));
    const Bytes before = readBytes(path);
    ASSERT_TRUE(c_modify_jpeg_orientation(path.c_str(), o)) << lastError();
    const Bytes after = readBytes(path);
    // Only metadata was added: the compressed image, from the start of scan on, is untouched.
    size_t sos = 2;
    while (sos + 1 < before.size() && !(before[sos] == 0xFF && before[sos + 1] == 0xDA)) ++sos;
    ASSERT_GE(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin() + long(sos), before.end(),
                           after.end() - long(before.size() - sos)));
    EXPECT_EQ(info(path)["orientation"], o);
    EXPECT_EQ(layout(readRgba(path, 0, true), cell), kShown[o]);
    EXPECT_EQ(layout(readRgba(path, 0, false), cell), "ABC/DEF");
    // Scaled on the fast path: a half-size RGBA and a small thumbnail.
    const bool swap = o >= 5;
    EXPECT_EQ(layout(readRgba(path, 0, true, swap ? cell : cell * 3 / 2, swap ? cell * 3 / 2 : cell),
                     cell / 2),
              kShown[o]);
    int w = 48, h = 48;
    Bytes thumb = thumbnail(path, w, h, 0x3);
    EXPECT_EQ(w, swap ? 32 : 48);
    writeBytes(dir.file("t.png"), thumb);
    EXPECT_EQ(layout(readRgba(dir.file("t.png")), 16), kShown[o]);
  }
}

// A JPEG whose EXIF has a "Make" entry (stored by offset) but no orientation.
Bytes jpegWithMake(const Bytes& jpeg, bool little) {
  auto u16 = [&](Bytes& b, int v) {
    if (little) b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
    else b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
  };
  auto u32 = [&](Bytes& b, uint32_t v) {
    if (little) b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    else b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  };
  Bytes tiff = {uint8_t(little ? 'I' : 'M'), uint8_t(little ? 'I' : 'M')};
  u16(tiff, 42);
  u32(tiff, 8);
  u16(tiff, 1);                   // one entry
  u16(tiff, 0x010F);              // Make
  u16(tiff, 2);                   // ASCII
  u32(tiff, 8);                   // 8 bytes, by offset
  u32(tiff, 8 + 2 + 12 + 4);      // right after the IFD
  u32(tiff, 0);                   // no next IFD
  for (char c : std::string("Pelmora")) tiff.push_back(uint8_t(c));
  tiff.push_back(0);
  Bytes seg = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  seg.insert(seg.end(), tiff.begin(), tiff.end());
  seg[2] = uint8_t((seg.size() - 2) >> 8);
  seg[3] = uint8_t(seg.size() - 2);
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  out.insert(out.end(), seg.begin(), seg.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

TEST(Orientation, PatcherKeepsOtherExifEntries) {
  TempDir dir;
  const std::string src = dir.file("plain.jpg");
  save(src, labelled(16));
  for (bool little : {false, true}) {
    SCOPED_TRACE(little ? "little-endian" : "big-endian");
    const std::string path = dir.file("make.jpg");
    writeBytes(path, jpegWithMake(readBytes(src), little));
    ASSERT_EQ(info(path)["attributes"].value("Make", ""), "Pelmora");
    ASSERT_TRUE(c_modify_jpeg_orientation(path.c_str(), 6)) << lastError();
    json j = info(path);
    EXPECT_EQ(j["orientation"], 6);
    EXPECT_EQ(j["attributes"].value("Make", ""), "Pelmora");
    // With the entry there, a second change patches it without growing the file.
    const size_t size = readBytes(path).size();
    ASSERT_TRUE(c_modify_jpeg_orientation(path.c_str(), 3));
    EXPECT_EQ(readBytes(path).size(), size);
    EXPECT_EQ(info(path)["orientation"], 3);
    EXPECT_EQ(info(path)["attributes"].value("Make", ""), "Pelmora");
  }
}

TEST(Orientation, ModifyWritesTheDestination) {
  TempDir dir;
  const std::string jpg = dir.file("a.jpg"), png = dir.file("a.png");
  save(jpg, labelled(16));
  save(png, labelled(1));
  const Bytes original = readBytes(jpg);
  ASSERT_TRUE(c_modify_orientation(jpg.c_str(), dir.file("b.jpg").c_str(), 8)) << lastError();
  EXPECT_EQ(readBytes(jpg), original);  // the source is untouched
  EXPECT_EQ(info(dir.file("b.jpg"))["orientation"], 8);
  ASSERT_TRUE(c_modify_orientation(png.c_str(), dir.file("b.tif").c_str(), 6)) << lastError();
  EXPECT_EQ(layout(readRgba(dir.file("b.tif"), 0, true), 1), kShown[6]);

  for (int bad : {0, 9, -1}) {
    EXPECT_FALSE(c_modify_orientation(jpg.c_str(), dir.file("c.jpg").c_str(), bad));
    EXPECT_FALSE(c_modify_jpeg_orientation(jpg.c_str(), bad));
    EXPECT_NE(lastError().find("invalid orientation"), std::string::npos);
  }
  EXPECT_FALSE(c_modify_jpeg_orientation(png.c_str(), 3));
  EXPECT_NE(lastError().find("not a JPEG"), std::string::npos);
  EXPECT_FALSE(c_modify_jpeg_orientation(dir.file("none.jpg").c_str(), 3));
  EXPECT_EQ(readBytes(jpg), original);
  EXPECT_FALSE(exists(dir.file("c.jpg")));
}

TEST(Transform, RotatesAndFlipsWhatIsShown) {
  TempDir dir;
  const char* const expected[8] = {nullptr,  "DA/EB/FC", "FED/CBA", "CF/BE/AD",
                                   "CBA/FED", "DEF/ABC", "AD/BE/CF", "FC/EB/DA"};
  const std::string src = dir.file("s.png");
  save(src, labelled(1));
  for (int t = 1; t <= 7; ++t) {
    const std::string dst = dir.file("t" + std::to_string(t) + ".png");
    ASSERT_TRUE(c_transform(src.c_str(), dst.c_str(), t)) << lastError();
    EXPECT_EQ(layout(readRgba(dst), 1), expected[t]) << "transform " << t;
  }
  // An oriented source: the transform applies to what is shown, and the result is upright.
  const std::string tif = dir.file("o6.tif");
  save(tif, labelled(1), json{{"Orientation", 6}});  // shown as "DA/EB/FC"
  ASSERT_TRUE(c_transform(tif.c_str(), tif.c_str(), 1)) << lastError();  // in place
  EXPECT_EQ(info(tif)["orientation"], 1);
  EXPECT_EQ(layout(readRgba(tif, 0, true), 1), "FED/CBA");

  for (int bad : {0, 8, 99}) {
    EXPECT_FALSE(c_transform(src.c_str(), dir.file("bad.png").c_str(), bad));
    EXPECT_NE(lastError().find("unknown transform"), std::string::npos);
  }
  EXPECT_FALSE(c_transform(dir.file("none.png").c_str(), dir.file("bad.png").c_str(), 1));
  EXPECT_FALSE(exists(dir.file("bad.png")));
}

}  // namespace
