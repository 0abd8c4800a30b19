// Writing and reading back: every writable format, memory encoding, multi-image files,
// indexed PNG, thumbnails, size checks and the per-thread last error.
#include <atomic>
#include <cstring>
#include <thread>

#include "helpers.h"

using namespace rctest;
using nlohmann::json;

namespace {

struct FormatCase {
  const char* ext;
  double meanTolerance;  // 0: exact
  bool alpha;            // the format keeps the alpha channel
};

const FormatCase kFormats[] = {
    {"png", 0, true},   {"tif", 0, true},   {"bmp", 0, true},  {"tga", 0, true},
    {"ppm", 0, false},  {"sgi", 0, true},
    {"exr", 0.5, true}, {"hdr", 3, false},  {"jpg", 8, false}, {"webp", 10, true},
    {"jp2", 3, true},   {"gif", 12, false}, {"ico", 0, true},  {"heic", 12, true},
    {"avif", 12, true}, {"fits", 1, true},  {"dpx", 1, true},
};

bool writable(const std::string& ext) {
  char* text = c_check_format_supports(("x." + ext).c_str(), "alpha", false);
  if (!text) return false;
  c_free_resource(text);
  return true;
}

class RoundTrip : public ::testing::TestWithParam<FormatCase> {};

TEST_P(RoundTrip, WrittenPixelsReadBack) {
  const FormatCase& fc = GetParam();
  if (!writable(fc.ext)) GTEST_SKIP() << "no writer for ." << fc.ext << " in this build";
  TempDir dir;
  const std::string path = dir.file(std::string("img.") + fc.ext);
  Image src = gradient(67, 43);
  ASSERT_TRUE(c_output_image(path.c_str(), specOf(src).c_str(), src.data.data(),
                             int32_t(src.data.size()), nullptr))
      << lastError();
  Image back = readRgba(path);
  ASSERT_EQ(back.width, 67) << lastError();
  ASSERT_EQ(back.height, 43);
  const int ch = fc.alpha ? 4 : 3;
  if (fc.meanTolerance == 0) {
    EXPECT_EQ(maxDiff(src, back, ch), 0);
  } else {
    EXPECT_LE(meanDiff(src, back, 3), fc.meanTolerance);
  }
  if (!fc.alpha) {
    for (int y = 0; y < back.height; ++y) ASSERT_EQ(back.at(y % back.width, y)[3], 255);
  }
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(dir.entries(), std::vector<std::string>{std::string("img.") + fc.ext});
}

INSTANTIATE_TEST_SUITE_P(Formats, RoundTrip, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.ext); });

TEST(Output, AWriterFailingQuietlyIsReportedAndLeavesNoFile) {
  // The JPEG 2000 writer cannot encode images this small, but only says so in its error text.
  if (!writable("jp2")) GTEST_SKIP();
  TempDir dir;
  Image img = gradient(8, 8);
  EXPECT_FALSE(c_output_image(dir.file("t.jp2").c_str(), specOf(img).c_str(), img.data.data(),
                              int32_t(img.data.size()), nullptr));
  EXPECT_NE(lastError(), "");
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Info, DescribesTheImage) {
  TempDir dir;
  const std::string path = dir.file("a.png");
  save(path, gradient(40, 30, 3));
  json j = info(path);
  ASSERT_FALSE(j.is_null()) << lastError();
  EXPECT_EQ(j["format"], "png");
  EXPECT_EQ(j["width"], 40);
  EXPECT_EQ(j["height"], 30);
  EXPECT_EQ(j["nchannels"], 3);
  EXPECT_EQ(j["pixelformat"], "uint8");
  EXPECT_EQ(j["orientation"], 1);
  EXPECT_EQ(j["subimages"], 1);
  EXPECT_TRUE(j["attributes"].is_object());
  EXPECT_EQ(c_get_image_count(path.c_str()), 1);
}

TEST(Info, FailuresGiveTextAndNoBuffer) {
  TempDir dir;
  const std::string path = dir.file("a.png");
  save(path, gradient(8, 8));
  struct Case {
    std::string path;
    int subimage, miplevel;
    const char* expected;
  };
  const Case cases[] = {{dir.file("missing.png"), 0, 0, "cannot read"},
                        {path, 1, 0, "no subimage 1"},
                        {path, -1, 0, "no subimage -1"},
                        {path, 0, 3, "mip level 3"},
                        {"", 0, 0, "path is missing"}};
  for (const auto& c : cases) {
    int32_t len = 77;
    EXPECT_EQ(c_get_image_info(c.path.c_str(), &len, c.subimage, c.miplevel), nullptr) << c.path;
    EXPECT_EQ(len, 0);
    EXPECT_NE(lastError().find(c.expected), std::string::npos) << lastError();
  }
  EXPECT_EQ(c_get_image_count(dir.file("missing.png").c_str()), 0);
  EXPECT_NE(lastError(), "");
}

TEST(Supports, AnswersPerFormatAndDirection) {
  char* text = c_check_format_supports("/no/such/dir/x.TIF", "multiimage, alpha,mipmap", false);
  ASSERT_NE(text, nullptr) << lastError();
  json j = json::parse(text);
  c_free_resource(text);
  EXPECT_EQ(j["format"], "tiff");
  EXPECT_EQ(j["reading"], false);
  EXPECT_EQ(j["multiimage"], true);
  EXPECT_EQ(j["alpha"], true);

  text = c_check_format_supports("a.jpg", "", true);
  ASSERT_NE(text, nullptr);
  j = json::parse(text);
  c_free_resource(text);
  EXPECT_EQ(j["format"], "jpeg");
  EXPECT_EQ(j["multiimage"], false);

  EXPECT_EQ(c_check_format_supports("a.nosuchformat", "alpha", false), nullptr);
  EXPECT_NE(lastError().find("no writer"), std::string::npos);
  EXPECT_EQ(c_check_format_supports("a.psd", "alpha", false), nullptr);  // read-only format
}

TEST(Encode, GivesTheFileBytesInMemory) {
  Image src = gradient(16, 9);
  int32_t len = 0;
  unsigned char* buf =
      c_encode_image(".png", specOf(src).c_str(), src.data.data(), int32_t(src.data.size()), &len);
  ASSERT_NE(buf, nullptr) << lastError();
  Bytes bytes(buf, buf + len);
  c_free_resource(buf);
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(bytes[0], 0x89);
  EXPECT_EQ(bytes[1], 'P');
  TempDir dir;
  writeBytes(dir.file("e.png"), bytes);
  EXPECT_EQ(maxDiff(readRgba(dir.file("e.png")), src, 4), 0);

  EXPECT_EQ(c_encode_image("nosuch", specOf(src).c_str(), src.data.data(),
                           int32_t(src.data.size()), &len),
            nullptr);
  EXPECT_EQ(len, 0);
}

TEST(Spec, BadSpecsAndShortDataAreRefused) {
  TempDir dir;
  const std::string path = dir.file("s.png");
  Bytes data(64 * 64 * 4, 100);
  struct Case {
    std::string spec;
    int32_t length;
    const char* expected;
  };
  const Case cases[] = {
      {R"({"width":64,"height":64,"nchannels":4})", 64 * 64 * 4 - 1, "too short"},
      {R"({"width":64,"height":64,"nchannels":4,"format":"uint16"})", 64 * 64 * 4, "too short"},
      {R"({"width":0,"height":64,"nchannels":4})", 64 * 64 * 4, "invalid image size"},
      {R"({"width":-5,"height":64,"nchannels":4})", 64 * 64 * 4, "invalid image size"},
      // 70000 x 70000 overflows 32 bits and passes the pixel limit.
      {R"({"width":70000,"height":70000,"nchannels":4})", 64 * 64 * 4, "too large"},
      {R"({"width":64,"height":64,"nchannels":0})", 64 * 64 * 4, "channels"},
      {R"({"width":64,"height":64,"nchannels":4,"format":"int3"})", 64 * 64 * 4, "pixel format"},
      {R"({"width":64,)", 64 * 64 * 4, "not valid JSON"},
      {R"([1,2])", 64 * 64 * 4, "object"},
      {R"({"width":64,"height":64,"attributes":{"x":[1]}})", 64 * 64 * 4, "attribute x"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c_output_image(path.c_str(), c.spec.c_str(), data.data(), c.length, nullptr))
        << c.spec;
    EXPECT_NE(lastError().find(c.expected), std::string::npos) << c.spec << ": " << lastError();
  }
  EXPECT_FALSE(c_output_image(path.c_str(), R"({"width":4,"height":4})", nullptr, 64, nullptr));
  EXPECT_FALSE(c_output_image(path.c_str(), R"({"width":4,"height":4})", data.data(), 64,
                              R"({"quality":500})"));
  EXPECT_FALSE(c_output_image(dir.file("noextension").c_str(), R"({"width":4,"height":4})",
                              data.data(), 64, nullptr));
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Limit, LargerImagesAreRefused) {
  TempDir dir;
  const std::string path = dir.file("l.png");
  save(path, gradient(100, 100));
  c_set_max_imagesize(100 * 100 - 1);
  std::string error;
  Image img = readRgba(path, 0, false, 0, 0, &error);
  int w = 0, h = 0;
  int32_t len = 0;
  unsigned char* thumb = c_read_thumbnail(path.c_str(), &len, &w, &h, 0, 0, 0);
  c_set_max_imagesize(400000000);
  EXPECT_EQ(img.width, 0);
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  EXPECT_EQ(thumb, nullptr);
  EXPECT_EQ(readRgba(path).width, 100);
}

TEST(Rgba, GrayBecomesOpaqueRgbAndSizesAreHonoured) {
  TempDir dir;
  const std::string path = dir.file("g.png");
  Image gray = gradient(40, 20, 1);
  save(path, gray);
  Image back = readRgba(path);
  ASSERT_EQ(back.width, 40);
  for (int x = 0; x < 40; ++x) {
    const unsigned char* p = back.at(x, 5);
    EXPECT_EQ(p[0], gray.at(x, 5)[0]);
    EXPECT_EQ(p[1], p[0]);
    EXPECT_EQ(p[2], p[0]);
    EXPECT_EQ(p[3], 255);
  }
  // Both sides: exactly that size; one side: the other follows the aspect ratio.
  EXPECT_EQ(readRgba(path, 0, false, 10, 30).data.size(), 10u * 30 * 4);
  EXPECT_EQ(readRgba(path, 0, false, 20, 0).height, 10);
  EXPECT_EQ(readRgba(path, 0, false, 0, 5).width, 10);
}

// PNG is read through our own libpng reader: 16-bit and gray+alpha layouts keep their values.
TEST(Rgba, SixteenBitAndGrayAlphaPngs) {
  TempDir dir;
  const int w = 9, h = 4;
  Bytes px16(size_t(w) * h * 3 * 2);
  for (size_t i = 0; i < px16.size() / 2; ++i) {
    const uint16_t v = uint16_t(i * 1021 % 65536);
    memcpy(&px16[i * 2], &v, 2);
  }
  const std::string deep = dir.file("deep.png");
  const std::string spec16 = json{{"width", w}, {"height", h}, {"nchannels", 3}, {"format", "uint16"}}.dump();
  ASSERT_TRUE(c_output_image(deep.c_str(), spec16.c_str(), px16.data(), int32_t(px16.size()), nullptr))
      << lastError();
  json j = info(deep);
  ASSERT_FALSE(j.is_null()) << lastError();
  EXPECT_EQ(j["pixelformat"], "uint16");
  EXPECT_EQ(j["nchannels"], 3);
  Image back = readRgba(deep);
  ASSERT_EQ(back.width, w);
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) {
      uint16_t v;
      memcpy(&v, &px16[(size_t(i) * 3 + size_t(c)) * 2], 2);
      EXPECT_NEAR(back.at(i % w, i / w)[c], v / 257.0, 0.51) << i << "," << c;
    }
  const std::string ga = dir.file("ga.png");
  Image gray = gradient(w, h, 2);
  save(ga, gray);
  back = readRgba(ga);
  ASSERT_EQ(back.width, w);
  for (int i = 0; i < w * h; ++i) {
    const unsigned char* p = back.at(i % w, i / w);
    EXPECT_EQ(p[0], gray.at(i % w, i / w)[0]);
    EXPECT_EQ(p[2], p[0]);
    EXPECT_EQ(p[3], gray.at(i % w, i / w)[1]);
  }
}

TEST(WriteHandle, WritesAMultiImageTiff) {
  TempDir dir;
  const std::string path = dir.file("multi.tif");
  std::vector<Image> images = {gradient(30, 20), gradient(15, 10, 3), gradient(7, 9)};
  std::vector<std::string> specs;
  for (const auto& img : images) specs.push_back(specOf(img));
  std::vector<const char*> specPtrs;
  for (const auto& s : specs) specPtrs.push_back(s.c_str());
  void* h = c_open_image_forwrite(path.c_str(), 3, specPtrs.data(), 3);
  ASSERT_NE(h, nullptr) << lastError();
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(c_write_image_subimage(h, i, specs[size_t(i)].c_str(), images[size_t(i)].data.data(),
                                       int32_t(images[size_t(i)].data.size())))
        << i << ": " << lastError();
  EXPECT_FALSE(exists(path));  // not before it is finished
  ASSERT_TRUE(c_close_image_forwrite(h)) << lastError();
  EXPECT_EQ(c_get_image_count(path.c_str()), 3);
  EXPECT_EQ(info(path, 2)["subimages"], 3);
  for (int i = 0; i < 3; ++i) {
    Image back = readRgba(path, i);
    EXPECT_EQ(maxDiff(back, images[size_t(i)], images[size_t(i)].channels), 0) << i;
  }
  EXPECT_EQ(dir.entries().size(), 1u);
}

TEST(WriteHandle, MisuseFailsAndLeavesNoFile) {
  TempDir dir;
  const std::string path = dir.file("partial.tif");
  Image img = gradient(8, 8);
  std::string spec = specOf(img);
  const char* specs[] = {spec.c_str(), spec.c_str()};
  void* h = c_open_image_forwrite(path.c_str(), 2, specs, 2);
  ASSERT_NE(h, nullptr) << lastError();
  EXPECT_FALSE(c_write_image_subimage(h, 1, spec.c_str(), img.data.data(), int32_t(img.data.size())));
  EXPECT_NE(lastError().find("out of order"), std::string::npos);
  EXPECT_FALSE(c_write_image_subimage(h, 0, spec.c_str(), img.data.data(), 10));
  EXPECT_NE(lastError().find("too short"), std::string::npos);
  std::string other = specOf(gradient(9, 8));
  Image big = gradient(9, 8);
  EXPECT_FALSE(c_write_image_subimage(h, 0, other.c_str(), big.data.data(), int32_t(big.data.size())));
  EXPECT_NE(lastError().find("declared"), std::string::npos);
  ASSERT_TRUE(c_write_image_subimage(h, 0, spec.c_str(), img.data.data(), int32_t(img.data.size())));
  // Closed after one of two subimages: no file, and the handle is gone.
  EXPECT_FALSE(c_close_image_forwrite(h));
  EXPECT_NE(lastError().find("1 of 2"), std::string::npos);
  EXPECT_TRUE(dir.entries().empty());
  EXPECT_FALSE(c_close_image_forwrite(h));
  EXPECT_NE(lastError().find("unknown write handle"), std::string::npos);
  int dummy = 0;
  EXPECT_FALSE(c_write_image_subimage(&dummy, 0, spec.c_str(), img.data.data(), 256));

  // Several images into a single-image format, and spec counts that do not match.
  EXPECT_EQ(c_open_image_forwrite(dir.file("m.png").c_str(), 2, specs, 2), nullptr);
  EXPECT_NE(lastError().find("single image"), std::string::npos);
  EXPECT_EQ(c_open_image_forwrite(dir.file("m.tif").c_str(), 2, specs, 1), nullptr);
  EXPECT_EQ(c_open_image_forwrite(dir.file("m.tif").c_str(), 0, specs, 0), nullptr);
  EXPECT_EQ(c_open_image_forwrite(dir.file("m.tif").c_str(), 2, nullptr, 2), nullptr);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(IndexedPng, WritesThePaletteAndIndices) {
  TempDir dir;
  const int w = 5, h = 3;
  const Bytes rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255};
  const Bytes rgba = {255, 0, 0, 255, 0, 255, 0, 128, 0, 0, 255, 0};
  Bytes px(w * h);
  for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i % 3);
  for (const Bytes* palette : {&rgb, &rgba}) {
    const int stride = palette == &rgb ? 3 : 4;
    const std::string path = dir.file(stride == 3 ? "rgb.png" : "rgba.png");
    ASSERT_TRUE(c_write_indexed_png_file(path.c_str(), w, h, 3, palette->data(),
                                         int32_t(palette->size()), px.data(), int32_t(px.size())))
        << lastError();
    Bytes file = readBytes(path);
    ASSERT_GT(file.size(), 26u);
    EXPECT_EQ(file[25], 3) << "colour type: palette";
    Image back = readRgba(path);
    ASSERT_EQ(back.width, w);
    for (int i = 0; i < w * h; ++i) {
      const unsigned char* p = back.at(i % w, i / w);
      const unsigned char* e = &(*palette)[size_t(px[size_t(i)]) * stride];
      EXPECT_EQ(p[0], e[0]);
      EXPECT_EQ(p[1], e[1]);
      EXPECT_EQ(p[2], e[2]);
      EXPECT_EQ(p[3], stride == 4 ? e[3] : 255);
    }
  }
}

TEST(IndexedPng, RefusesBadInput) {
  TempDir dir;
  const std::string path = dir.file("bad.png");
  Bytes palette(16 * 3, 9), px(4 * 4, 1);
  Bytes outOfRange = px;
  outOfRange[13] = 16;
  struct Case {
    const char* name;
    int w, h, colors;
    const unsigned char* pal;
    int palLen;
    const unsigned char* pix;
    int pixLen;
    const char* expected;
  };
  const Case cases[] = {
      {"palette one byte long", 4, 4, 16, palette.data(), 16 * 3 + 1, px.data(), 16, "palette length"},
      {"palette short", 4, 4, 16, palette.data(), 16 * 3 - 3, px.data(), 16, "palette length"},
      {"no palette", 4, 4, 16, nullptr, 48, px.data(), 16, "palette length"},
      {"index out of range", 4, 4, 16, palette.data(), 48, outOfRange.data(), 16, "1,3 is out of range"},
      {"too few pixels", 4, 4, 16, palette.data(), 48, px.data(), 15, "too few pixels"},
      {"no pixels", 4, 4, 16, palette.data(), 48, nullptr, 16, "too few pixels"},
      {"no colours", 4, 4, 0, palette.data(), 0, px.data(), 16, "colours"},
      {"257 colours", 4, 4, 257, palette.data(), 257 * 3, px.data(), 16, "colours"},
      {"zero width", 0, 4, 16, palette.data(), 48, px.data(), 16, "invalid image size"},
      {"size overflows", 65536, 65536, 16, palette.data(), 48, px.data(), 16, "too large"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c_write_indexed_png_file(path.c_str(), c.w, c.h, c.colors, c.pal, c.palLen, c.pix,
                                          c.pixLen))
        << c.name;
    EXPECT_NE(lastError().find(c.expected), std::string::npos) << c.name << ": " << lastError();
  }
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Thumbnail, FitsKeepsAspectAndPicksTheEncoding) {
  TempDir dir;
  struct Source {
    const char* name;
    int w, h;
  };
  const Source sources[] = {{"wide.jpg", 640, 480}, {"tall.jpg", 480, 640}, {"wide.png", 640, 480},
                            {"tall.tif", 300, 900}};
  struct Request {
    int w, h, option;
  };
  const Request requests[] = {{300, 300, 0}, {300, 300, 2}, {100, 0, 2}, {0, 100, 0},
                              {1000, 1000, 0}, {0, 0, 0x13}};
  for (const auto& s : sources) {
    const std::string path = dir.file(s.name);
    save(path, gradient(s.w, s.h, 3));
    for (const auto& r : requests) {
      int w = r.w, h = r.h;
      Bytes bytes = thumbnail(path, w, h, r.option);
      SCOPED_TRACE(std::string(s.name) + " " + std::to_string(r.w) + "x" + std::to_string(r.h));
      ASSERT_GT(bytes.size(), 8u);
      const bool png = r.option & 2;
      EXPECT_EQ(bytes[0], png ? 0x89 : 0xFF);
      EXPECT_EQ(bytes[1], png ? 'P' : 0xD8);
      EXPECT_TRUE(r.w == 0 || w <= r.w);
      EXPECT_TRUE(r.h == 0 || h <= r.h);
      EXPECT_TRUE(w == s.w || h == s.h || w == r.w || h == r.h) << w << "x" << h;
      EXPECT_LE(w, s.w);  // never enlarged
      EXPECT_NEAR(double(w) / h, double(s.w) / s.h, 0.02);
      // The bytes are an image of the size reported.
      const std::string out = dir.file(png ? "t.png" : "t.jpg");
      writeBytes(out, bytes);
      json j = info(out);
      ASSERT_FALSE(j.is_null()) << lastError();
      EXPECT_EQ(j["width"], w);
      EXPECT_EQ(j["height"], h);
    }
  }
}

TEST(Thumbnail, ShowsTheImageContent) {
  // A scaled JPEG decode and a resize must still put the colours where they were.
  TempDir dir;
  const std::string path = dir.file("b.jpg");
  Image src = blocks(1600, 800, 4, 2);
  save(path, src);
  int w = 200, h = 200;
  Bytes bytes = thumbnail(path, w, h, 2);
  ASSERT_EQ(w, 200);
  ASSERT_EQ(h, 100);
  writeBytes(dir.file("t.png"), bytes);
  Image t = readRgba(dir.file("t.png"));
  for (int by = 0; by < 2; ++by)
    for (int bx = 0; bx < 4; ++bx) {
      const unsigned char* e = src.at(bx * 400 + 200, by * 400 + 200);
      const unsigned char* p = t.at(bx * 50 + 25, by * 50 + 25);
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], e[c], 12) << bx << "," << by;
    }
}

TEST(LastError, IsKeptPerThread) {
  EXPECT_EQ(c_get_image_count("/no/such/file.png"), 0);
  const std::string mine = lastError();
  ASSERT_NE(mine, "");
  std::string theirs = "unset";
  std::thread([&] { theirs = c_get_lasterror(); }).join();
  EXPECT_EQ(theirs, "");
  EXPECT_EQ(lastError(), mine);
  // A later success clears it.
  char* text = c_check_format_supports("a.png", "alpha", true);
  c_free_resource(text);
  EXPECT_EQ(lastError(), "");
}

TEST(Threads, ConcurrentDecodesAgree) {
  TempDir dir;
  const std::string jpg = dir.file("c.jpg"), png = dir.file("c.png");
  save(jpg, gradient(300, 200, 3));
  save(png, gradient(300, 200));
  Image refJ = readRgba(jpg), refP = readRgba(png);
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const bool j = (t + i) % 2;
        int32_t len = 0;
        unsigned char* buf = c_read_image_rgba((j ? jpg : png).c_str(), &len, 0, 0, 0, 0, true);
        const Image& ref = j ? refJ : refP;
        if (!buf || size_t(len) != ref.data.size() || memcmp(buf, ref.data.data(), ref.data.size()))
          ++bad;
        c_free_resource(buf);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
