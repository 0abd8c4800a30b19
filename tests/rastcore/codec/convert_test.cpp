// Conversion from file to file: formats, subimages, resizing, cancellation and failures.
#include <string>

#include "helpers.h"

using namespace rctest;
using nlohmann::json;

namespace {

struct QuitScript {
  int calls = 0;
  int quitAt = 1;  // the call that answers true (0: never)
  std::string argument;
};
QuitScript g_quit;

bool quitCallback(const char* argument) {
  g_quit.argument = argument ? argument : "(null)";
  ++g_quit.calls;
  return g_quit.quitAt > 0 && g_quit.calls >= g_quit.quitAt;
}

std::string writeMultiTiff(const TempDir& dir) {
  const std::string path = dir.file("multi.tif");
  std::vector<Image> images = {gradient(30, 20), gradient(20, 30), gradient(10, 10)};
  std::vector<std::string> specs;
  std::vector<const char*> ptrs;
  for (const auto& i : images) specs.push_back(specOf(i));
  for (const auto& s : specs) ptrs.push_back(s.c_str());
  void* h = c_open_image_forwrite(path.c_str(), 3, ptrs.data(), 3);
  EXPECT_NE(h, nullptr) << lastError();
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(c_write_image_subimage(h, i, ptrs[size_t(i)], images[size_t(i)].data.data(),
                                       int32_t(images[size_t(i)].data.size())));
  EXPECT_TRUE(c_close_image_forwrite(h)) << lastError();
  return path;
}

TEST(Copy, ConvertsBetweenFormats) {
  TempDir dir;
  const std::string src = dir.file("a.png");
  Image img = gradient(64, 48);
  save(src, img);
  struct Case {
    const char* name;
    bool alpha;
    double tolerance;
  };
  for (const Case& c : {Case{"b.tif", true, 0}, Case{"b.jpg", false, 6}, Case{"b.webp", true, 6},
                        Case{"b.bmp", true, 0}}) {
    const std::string dst = dir.file(c.name);
    ASSERT_TRUE(c_copy_image_to(src.c_str(), dst.c_str(), nullptr, 0, nullptr, nullptr))
        << c.name << ": " << lastError();
    Image back = readRgba(dst);
    if (c.tolerance == 0) EXPECT_EQ(maxDiff(back, img, c.alpha ? 4 : 3), 0) << c.name;
    else EXPECT_LE(meanDiff(back, img, 3), c.tolerance) << c.name;
  }
}

TEST(Copy, KeepsSubimagesWhereTheTargetCanHoldThem) {
  TempDir dir;
  const std::string src = writeMultiTiff(dir);
  ASSERT_TRUE(c_copy_image_to(src.c_str(), dir.file("copy.tif").c_str(), "", 0, nullptr, nullptr))
      << lastError();
  EXPECT_EQ(c_get_image_count(dir.file("copy.tif").c_str()), 3);
  EXPECT_EQ(maxDiff(readRgba(dir.file("copy.tif"), 1), gradient(20, 30), 4), 0);
  ASSERT_TRUE(c_copy_image_to(src.c_str(), dir.file("first.png").c_str(), nullptr, 0, nullptr,
                              nullptr));
  EXPECT_EQ(maxDiff(readRgba(dir.file("first.png")), gradient(30, 20), 4), 0);
}

TEST(Copy, ConfigResizesOrientsAndSetsQuality) {
  TempDir dir;
  const std::string src = dir.file("a.tif");
  save(src, gradient(400, 200), json{{"Orientation", 6}});
  // Not NUL-terminated: only configLength bytes count.
  const std::string config = R"({"width":100,"height":100,"orient":true}garbage)";
  ASSERT_TRUE(c_copy_image_to(src.c_str(), dir.file("small.png").c_str(), config.data(),
                              config.size() - 7, nullptr, nullptr))
      << lastError();
  json j = info(dir.file("small.png"));
  EXPECT_EQ(j["width"], 50);
  EXPECT_EQ(j["height"], 100);

  const std::string q10 = R"({"quality":10})", q95 = R"({"quality":95})";
  ASSERT_TRUE(c_copy_image_to(src.c_str(), dir.file("q10.jpg").c_str(), q10.data(), q10.size(),
                              nullptr, nullptr));
  ASSERT_TRUE(c_copy_image_to(src.c_str(), dir.file("q95.jpg").c_str(), q95.data(), q95.size(),
                              nullptr, nullptr));
  EXPECT_LT(readBytes(dir.file("q10.jpg")).size(), readBytes(dir.file("q95.jpg")).size());

  for (const std::string bad : {R"({"width":-3})", R"({"quality":0})", "{", R"("text")"}) {
    EXPECT_FALSE(c_copy_image_to(src.c_str(), dir.file("bad.png").c_str(), bad.data(), bad.size(),
                                 nullptr, nullptr))
        << bad;
    EXPECT_NE(lastError(), "");
  }
  EXPECT_FALSE(exists(dir.file("bad.png")));
}

TEST(Copy, CancelLeavesNoFileAndKeepsTheOldOne) {
  TempDir dir;
  const std::string src = dir.file("big.png");
  save(src, gradient(600, 400));
  const std::string dst = dir.file("out.tif");
  for (int quitAt : {1, 2, 4}) {
    g_quit = QuitScript{0, quitAt, ""};
    EXPECT_FALSE(c_copy_image_to(src.c_str(), dst.c_str(), nullptr, 0, quitCallback, "job-7"))
        << "quit at call " << quitAt;
    EXPECT_EQ(lastError(), "cancelled");
    EXPECT_EQ(g_quit.argument, "job-7");
    EXPECT_EQ(g_quit.calls, quitAt);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"big.png"});
  }
  // A conversion that is not stopped calls back and finishes.
  g_quit = QuitScript{0, 0, ""};
  ASSERT_TRUE(c_copy_image_to(src.c_str(), dst.c_str(), nullptr, 0, quitCallback, "job-8"))
      << lastError();
  EXPECT_GT(g_quit.calls, 1);
  const Bytes done = readBytes(dst);
  // Cancelling a second conversion onto it leaves the finished file as it was.
  g_quit = QuitScript{0, 3, ""};
  const std::string half = R"({"width":300})";
  EXPECT_FALSE(c_copy_image_to(src.c_str(), dst.c_str(), half.data(), half.size(), quitCallback,
                               "job-9"));
  EXPECT_EQ(readBytes(dst), done);
  EXPECT_EQ(dir.entries().size(), 2u);
}

TEST(Copy, FailuresLeaveTheDestinationAlone) {
  TempDir dir;
  const std::string src = dir.file("a.png"), dst = dir.file("b.png");
  save(src, gradient(8, 8));
  writeBytes(dst, Bytes{'o', 'l', 'd'});
  EXPECT_FALSE(c_copy_image_to(dir.file("missing.png").c_str(), dst.c_str(), nullptr, 0, nullptr,
                               nullptr));
  EXPECT_NE(lastError().find("cannot read"), std::string::npos);
  EXPECT_FALSE(c_copy_image_to(src.c_str(), dir.file("b.nosuchtype").c_str(), nullptr, 0, nullptr,
                               nullptr));
  EXPECT_FALSE(c_copy_image_to(src.c_str(), dir.file("nofolder/b.png").c_str(), nullptr, 0, nullptr,
                               nullptr));
  EXPECT_FALSE(c_copy_image_to(src.c_str(), dst.c_str(), nullptr, 5, nullptr, nullptr));
  EXPECT_EQ(readBytes(dst), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(dir.entries().size(), 2u);
}

}  // namespace
