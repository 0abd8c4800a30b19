// Truncated and corrupt files of every format: an error text, never a crash; the inputs that
// once crashed or hung the readers (found by the fuzzer in tests/rastcore/fuzz).
#include "helpers.h"

using namespace rctest;

namespace {

const char* const kExts[] = {"png", "jpg",  "tif", "bmp", "tga", "gif", "webp", "exr", "hdr",
                             "ppm", "jp2",  "ico", "sgi", "iff", "rla", "heic", "avif", "dpx",
                             "fits"};

struct Damage {
  const char* name;
  bool mustFail;  // nothing readable is left
  Bytes (*apply)(const Bytes&);
};

const Damage kDamages[] = {
    {"empty", true, [](const Bytes&) { return Bytes{}; }},
    {"first 20 bytes", true, [](const Bytes& b) { return Bytes(b.begin(), b.begin() + 20); }},
    {"first half", true,
     [](const Bytes& b) { return Bytes(b.begin(), b.begin() + long(b.size() / 2)); }},
    {"header only", true,
     [](const Bytes& b) { return Bytes(b.begin(), b.begin() + long(std::min<size_t>(b.size(), 60))); }},
    {"body scrambled", false,
     [](const Bytes& b) {
       Bytes c = b;
       for (size_t i = c.size() / 3; i < c.size(); i += 7) c[i] ^= 0x5A;
       return c;
     }},
    {"header scrambled", false,
     [](const Bytes& b) {
       Bytes c = b;
       for (size_t i = 4; i < std::min<size_t>(c.size(), 64); i += 3) c[i] = uint8_t(c[i] * 31 + 7);
       return c;
     }},
    {"sizes maxed", false,
     [](const Bytes& b) {
       Bytes c = b;
       for (size_t i = 8; i < std::min<size_t>(c.size(), 40); ++i)
         if (c[i] != 0) c[i] = 0xFF;
       return c;
     }},
};

class Damaged : public ::testing::TestWithParam<const char*> {};

TEST_P(Damaged, FailsWithTextNeverCrashes) {
  const std::string ext = GetParam();
  char* text = c_check_format_supports(("x." + ext).c_str(), "", false);
  if (!text) GTEST_SKIP() << "no writer for ." << ext;
  c_free_resource(text);
  TempDir dir;
  const std::string good = dir.file("good." + ext);
  std::string spec = specOf(gradient(64, 48));
  Image img = gradient(64, 48);
  if (!c_output_image(good.c_str(), spec.c_str(), img.data.data(), int32_t(img.data.size()),
                      nullptr))
    GTEST_SKIP() << "cannot write ." << ext << ": " << lastError();
  const Bytes bytes = readBytes(good);
  ASSERT_GT(bytes.size(), 60u);
  for (const Damage& d : kDamages) {
    SCOPED_TRACE(ext + ", " + d.name);
    const std::string path = dir.file("bad." + ext);
    writeBytes(path, d.apply(bytes));
    int32_t len = 0;
    // Every reading export, each must either work or fail with a reason.
    auto check = [&](bool ok, const char* what) {
      if (!ok) {
        EXPECT_NE(lastError(), "") << what;
      }
      return ok;
    };
    char* info = c_get_image_info(path.c_str(), &len, 0, 0);
    check(info != nullptr, "info");
    c_free_resource(info);
    check(c_get_image_count(path.c_str()) > 0, "count");
    unsigned char* rgba = c_read_image_rgba(path.c_str(), &len, 0, 0, 0, 0, true);
    bool decoded = check(rgba != nullptr, "rgba");
    c_free_resource(rgba);
    if (d.mustFail) {
      EXPECT_FALSE(decoded) << "a damaged file decoded without an error";
    }
    for (int option : {0, 2}) {
      int32_t w = 100, h = 100;
      unsigned char* thumb = c_read_thumbnail(path.c_str(), &len, &w, &h, option, 0, 0);
      check(thumb != nullptr, "thumbnail");
      if (d.mustFail) {
        EXPECT_EQ(thumb, nullptr);
      }
      c_free_resource(thumb);
    }
    const std::string out = dir.file("out.png");
    bool copied = check(c_copy_image_to(path.c_str(), out.c_str(), nullptr, 0, nullptr, nullptr),
                        "copy");
    if (d.mustFail) {
      EXPECT_FALSE(copied);
    }
    check(c_transform(path.c_str(), dir.file("t.png").c_str(), 1), "transform");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Damaged, ::testing::ValuesIn(kExts),
                         [](const auto& info) { return std::string(info.param); });

// Inputs that crashed, aborted or hung a reader before, and what each gives now. `fails`: the
// text every reading export fails with (null: the image reads).
struct Fixture {
  const char* file;
  const char* fails;
};

const Fixture kFixtures[] = {
    // zlib overran a buffer in OpenImageIO's multi-threaded TIFF strip decoding.
    {"tiff-strip-sizes.tif", "StripByteCounts"},
    // The IFF reader corrupted the heap ("free(): invalid next size").
    {"iff-heap-overrun.iff", "IFF files are not supported"},
    // The RLA reader looped without end on damaged run lengths; another crashed in resizing.
    {"rla-endless-runs.rla", "RLA files are not supported"},
    {"rla-display-window.rla", "RLA files are not supported"},
    // The DPX reader aborted on a user-data size beyond the file, or cleared gigabytes for one.
    {"dpx-user-data-size.dpx", "claims more data than the file holds"},
    {"dpx-huge-section.dpx", "claims more data than the file holds"},
    // A display window of millions of pixels: resizing aborted on the filter's size.
    {"dpx-display-window.dpx", nullptr},
    // The GIF reader cleared a canvas of the claimed screen size, several gigabytes.
    {"gif-screen-size.gif", ""},
    // OpenEXR allocated and cleared an attribute of the claimed size.
    {"exr-attribute-size.exr", "OpenEXR header is damaged"},
    // libpng printed these to stderr.
    {"png-bad-filter.png", "bad adaptive filter value"},
    {"png-header-crc.png", "IHDR: CRC error"},
    {"png-damaged-signature.png", "signature is damaged"},
    // A gamma libpng cannot store: writing the PNG failed and printed to stderr.
    {"tga-gamma.tga", nullptr},
};

class Regression : public ::testing::TestWithParam<Fixture> {};

TEST_P(Regression, ReadsOrFailsWithTextAndPrintsNothing) {
  const Fixture& f = GetParam();
  const std::string path = std::string(PEL_SOURCE_ROOT "/tests/rastcore/fuzz/fixtures/") + f.file;
  ASSERT_TRUE(exists(path)) << path;
  TempDir dir;
  auto outcome = [&](bool ok, const char* what) {
    if (f.fails) {
      EXPECT_FALSE(ok) << what;
      EXPECT_NE(lastError(), "") << what;
      EXPECT_NE(lastError().find(f.fails), std::string::npos) << what << ": " << lastError();
    } else {
      EXPECT_TRUE(ok) << what << ": " << lastError();
    }
  };
  ::testing::internal::CaptureStderr();
  int32_t len = 0;
  char* info = c_get_image_info(path.c_str(), &len, 0, 0);
  c_free_resource(info);
  unsigned char* rgba = c_read_image_rgba(path.c_str(), &len, 0, 0, 0, 0, true);
  outcome(rgba != nullptr, "rgba");
  c_free_resource(rgba);
  int32_t w = 24, h = 24;
  unsigned char* thumb = c_read_thumbnail(path.c_str(), &len, &w, &h, 3, 0, 0);
  outcome(thumb != nullptr, "thumbnail");
  c_free_resource(thumb);
  outcome(c_copy_image_to(path.c_str(), dir.file("out.png").c_str(), nullptr, 0, nullptr, nullptr),
          "copy");
  outcome(c_copy_image_to(path.c_str(), dir.file("small.tif").c_str(), "{\"width\":20}", 12,
                          nullptr, nullptr),
          "copy resized");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Fuzzed, Regression, ::testing::ValuesIn(kFixtures),
                         [](const auto& info) {
                           std::string name = info.param.file;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// IFF and RLA files are still written, never read: their readers are not safe on damaged files.
TEST(UnsafeFormats, AreWrittenButNotRead) {
  TempDir dir;
  for (const char* ext : {"iff", "rla"}) {
    SCOPED_TRACE(ext);
    const std::string path = dir.file(std::string("img.") + ext);
    save(path, gradient(16, 8));
    int32_t len = 0;
    EXPECT_EQ(c_read_image_rgba(path.c_str(), &len, 0, 0, 0, 0, false), nullptr);
    EXPECT_NE(lastError().find("files are not supported"), std::string::npos) << lastError();
    EXPECT_EQ(c_get_image_count(path.c_str()), 0);
    // Renamed, the content still gives an IFF away; the format is refused whatever the name.
    if (std::string(ext) == "iff") {
      const std::string renamed = dir.file("img-iff.png");
      writeBytes(renamed, readBytes(path));
      EXPECT_EQ(c_get_image_info(renamed.c_str(), &len, 0, 0), nullptr);
      EXPECT_NE(lastError().find("IFF files are not supported"), std::string::npos) << lastError();
    }
    EXPECT_EQ(c_check_format_supports(path.c_str(), "", true), nullptr);
    char* writing = c_check_format_supports(path.c_str(), "", false);
    EXPECT_NE(writing, nullptr);
    c_free_resource(writing);
  }
}

}  // namespace
