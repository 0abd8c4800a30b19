// Truncated and corrupt files of every format: an error text, never a crash.
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
  // The IFF reader fills a file that ends early with black instead of failing.
  const bool strict = ext != "iff";
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
    if (d.mustFail && strict) {
      EXPECT_FALSE(decoded) << "a damaged file decoded without an error";
    }
    for (int option : {0, 2}) {
      int32_t w = 100, h = 100;
      unsigned char* thumb = c_read_thumbnail(path.c_str(), &len, &w, &h, option, 0, 0);
      check(thumb != nullptr, "thumbnail");
      if (d.mustFail && strict) {
        EXPECT_EQ(thumb, nullptr);
      }
      c_free_resource(thumb);
    }
    const std::string out = dir.file("out.png");
    bool copied = check(c_copy_image_to(path.c_str(), out.c_str(), nullptr, 0, nullptr, nullptr),
                        "copy");
    if (d.mustFail && strict) {
      EXPECT_FALSE(copied);
    }
    check(c_transform(path.c_str(), dir.file("t.png").c_str(), 1), "transform");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Damaged, ::testing::ValuesIn(kExts),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
