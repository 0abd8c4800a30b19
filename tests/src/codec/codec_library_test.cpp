#include "src/codec-library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "support/fake_rastcore/fake_rastcore.h"

namespace fs = std::filesystem;
using zrk::CodecLibrary;

namespace {

class Folder {
 public:
  Folder() {
    std::string templ = fs::temp_directory_path().string() + "/codec-lib-XXXXXX";
    path_ = mkdtemp(templ.data());
  }
  ~Folder() { fs::remove_all(path_); }
  std::string library() const { return path_ + "/" + CodecLibrary::kFileName; }
  void install(const char* built) const { fs::copy_file(built, library()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(CodecLibrary, MissingLibraryFailsEveryCallUntilItAppears) {
  Folder folder;
  CodecLibrary codec(folder.path());
  int32_t len = 0, w = 0, h = 0;
  const std::vector<std::function<void()>> calls = {
      [&] { codec.setMaxImageSize(); },
      [&] { codec.getLastError(); },
      [&] { codec.readThumbnail("/a.jpg", &len, &w, &h, 2, 0, 0); },
      [&] { codec.getImageCount("/a.tif"); },
      [&] { codec.transform("/a", "/b", 1); },
  };
  for (const auto& call : calls) {
    const std::string error = errorOf(call);
    EXPECT_NE(error.find("Cannot load library"), std::string::npos) << error;
  }
  folder.install(FAKE_RASTCORE);
  FakeRastcore fake(folder.library());
  fake.reset();
  fake.script("c_get_image_count", 3);
  EXPECT_EQ(codec.getImageCount("/a.tif"), 3);
  EXPECT_EQ(fake.calls(), "c_get_image_count path=\"/a.tif\"\n");
}

TEST(CodecLibrary, AMissingExportFailsOnlyItsOwnOperation) {
  Folder folder;
  folder.install(FAKE_RASTCORE_NO_TRANSFORM);
  CodecLibrary codec(folder.path());
  FakeRastcore fake(folder.library());
  fake.reset();
  EXPECT_EQ(errorOf([&] { codec.transform("/a.png", "/b.png", 1); }),
            "Failed to get symbol 'c_transform' from rastcore lib");
  fake.script("c_modify_orientation", 1);
  EXPECT_TRUE(codec.modifyOrientation("/a.png", "/b.png", 6));
  EXPECT_EQ(errorOf([&] { codec.transform("/a.png", "/b.png", 2); }),
            "Failed to get symbol 'c_transform' from rastcore lib");
}

TEST(CodecLibrary, PassesArgumentsAndResultsThrough) {
  Folder folder;
  folder.install(FAKE_RASTCORE);
  CodecLibrary codec(folder.path());
  FakeRastcore fake(folder.library());
  fake.reset();

  fake.script("c_read_thumbnail", 1, std::string("\xFF\xD8\xFF jpeg", 8));
  int32_t len = -1, w = 300, h = 200;
  unsigned char* thumb = codec.readThumbnail("/p/a b.jpg", &len, &w, &h, 0x13, 1, 2);
  ASSERT_NE(thumb, nullptr);
  EXPECT_EQ(len, 8);
  EXPECT_EQ(thumb[1], 0xD8);
  codec.freeResource(thumb);

  // A buffer of length 0 is still a buffer, and is given back.
  fake.script("c_get_image_info", 1, "");
  len = -1;
  char* info = codec.getImageInfo("/a.png", &len, 0, 0);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(len, 0);
  codec.freeResource(info);
  EXPECT_EQ(fake.outstanding(), 0);

  fake.script("c_output_image", 0, "", "disk full");
  const unsigned char pixels[4] = {1, 2, 3, 4};
  EXPECT_FALSE(codec.outputImage("/o.png", "{\"width\":1}", pixels, 4, "{}"));
  EXPECT_STREQ(codec.getLastError(), "disk full");

  codec.setMaxImageSize();
  fake.script("c_read_image_rgba", 0, "", "bad");
  EXPECT_EQ(codec.readImageRgba("/r.png", &len, 0, 1, 640, 0, false), nullptr);

  EXPECT_EQ(fake.calls(),
            "c_read_thumbnail path=\"/p/a b.jpg\" width=300 height=200 option=19 subimage=1 "
            "level=2\n"
            "c_free_resource\n"
            "c_get_image_info path=\"/a.png\" subimage=0 miplevel=0\n"
            "c_free_resource\n"
            "c_output_image path=\"/o.png\" spec=\"{\"width\":1}\" length=4 config=\"{}\"\n"
            "c_set_max_imagesize limit=400000000\n"
            "c_read_image_rgba path=\"/r.png\" subimage=0 miplevel=1 width=640 height=0 "
            "fixOrientation=0\n");
}

std::atomic<int> g_polls{0};
bool quitOnSecondPoll(const char* argument) {
  return std::string(argument) == "job-1" && ++g_polls >= 2;
}

TEST(CodecLibrary, CopyHandsTheQuitCallbackToTheLibrary) {
  Folder folder;
  folder.install(FAKE_RASTCORE);
  CodecLibrary codec(folder.path());
  FakeRastcore fake(folder.library());
  fake.reset();
  fake.script("c_copy_image_to", 1);
  fake.quitPolls(5);
  const std::string config = R"({"quality":80})";
  EXPECT_FALSE(codec.copyImageTo("/a.png", "/b.jpg", config.data(), config.size(),
                                 quitOnSecondPoll, "job-1"));
  EXPECT_STREQ(codec.getLastError(), "cancelled");
  EXPECT_EQ(g_polls.load(), 2);
  EXPECT_TRUE(codec.copyImageTo("/a.png", "/b.jpg", nullptr, 0, nullptr, nullptr));
}

TEST(CodecLibrary, ConcurrentFirstCallsAllSucceed) {
  Folder folder;
  folder.install(FAKE_RASTCORE);
  CodecLibrary codec(folder.path());
  FakeRastcore fake(folder.library());  // holds the script: the fake is loaded while it lives
  fake.reset();
  fake.script("c_get_image_count", 7);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      if (codec.getImageCount("/x.tif") == 7) ++good;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 8);
}

TEST(CodecLibrary, InstanceLoadsTheRealLibraryBesideTheProgram) {
  CodecLibrary& codec = CodecLibrary::instance();
  EXPECT_EQ(&codec, &CodecLibrary::instance());
  codec.setMaxImageSize();
  Folder folder;
  const std::string path = folder.path() + "/two.png";
  const unsigned char pixels[2 * 2 * 4] = {255, 0, 0, 255, 0, 255, 0, 255,
                                           0, 0, 255, 255, 9, 9, 9, 255};
  ASSERT_TRUE(codec.outputImage(path.c_str(), R"({"width":2,"height":2,"nchannels":4})", pixels,
                                sizeof pixels, nullptr))
      << codec.getLastError();
  EXPECT_EQ(codec.getImageCount(path.c_str()), 1);
  int32_t len = 0;
  unsigned char* rgba = codec.readImageRgba(path.c_str(), &len, 0, 0, 0, 0, true);
  ASSERT_NE(rgba, nullptr);
  ASSERT_EQ(len, int32_t(sizeof pixels));
  EXPECT_EQ(0, memcmp(rgba, pixels, sizeof pixels));
  codec.freeResource(rgba);
  EXPECT_EQ(codec.getImageCount((folder.path() + "/none.png").c_str()), 0);
  EXPECT_NE(std::string(codec.getLastError()), "");
}

}  // namespace
