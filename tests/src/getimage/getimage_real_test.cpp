// The image endpoints on the real codec library beside the program, with files the tests make
// through the endpoints themselves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "src/getimage-handler.h"
#include "src/thumbnail-cache.h"
#include "tests/src/getimage/endpoint_support.h"

namespace fs = std::filesystem;
using endpoint::Reply;
using nlohmann::json;
using pel::test::FakeRequest;

namespace {

const std::string kUrl = "https://app.local/getimage";

// A gradient of width x height RGB pixels, different in every row and column.
std::string gradient(int width, int height) {
  std::string pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels.push_back(char(x * 255 / width));
      pixels.push_back(char(y * 255 / height));
      pixels.push_back(char(128));
    }
  }
  return pixels;
}

json spec(int width, int height) {
  return {{"width", width}, {"height", height}, {"nchannels", 3}, {"format", "uint8"}};
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RealCodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/getimage-real-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ThumbCache::reset();
  }
  void TearDown() override {
    ThumbCache::reset();
    fs::remove_all(root);
  }

  Reply get(const std::string& query) {
    FakeRequest request("GET", kUrl + "?" + query);
    return endpoint::get(handler, request);
  }
  Reply post(const json& options, const std::string& body = "") {
    FakeRequest request("POST", kUrl);
    request.withHeader("zrk-image-options", endpoint::options(options)).withBody(body);
    return endpoint::post(handler, request);
  }
  json info(const std::string& path) {
    const Reply r = get("action=info&path=" + path);
    EXPECT_EQ(r.status, 200) << r.reason;
    return r.status == 200 ? json::parse(r.body) : json::object();
  }
  // Writes a width x height gradient as `name` (format from its extension); returns its path.
  std::string make(const std::string& name, int width, int height) {
    const std::string path = root + "/" + name;
    const std::string pixels = gradient(width, height);
    const Reply r = post({{"action", "output"}, {"path", path}, {"spec", spec(width, height).dump()},
                          {"length", pixels.size()}},
                         pixels);
    EXPECT_EQ(r.status, 200) << r.reason;
    return path;
  }

  std::string root;
  http::HttpGetImageHandler handler;
};

TEST_F(RealCodecTest, OutputThenReadBack) {
  const std::string png = make("a.png", 64, 48);
  const json i = info(png);
  EXPECT_EQ(i["format"], "png");
  EXPECT_EQ(i["width"], 64);
  EXPECT_EQ(i["height"], 48);

  Reply r = get("action=getdata&path=" + png);
  ASSERT_EQ(r.status, 200) << r.reason;
  ASSERT_EQ(r.body.size(), 64u * 48 * 4);
  const std::string source = gradient(64, 48);
  for (size_t p = 0; p < 64 * 48; ++p) {  // RGB in, RGBA out, alpha 255
    ASSERT_EQ(r.body.substr(p * 4, 3), source.substr(p * 3, 3)) << p;
    ASSERT_EQ(uint8_t(r.body[p * 4 + 3]), 255);
  }
  EXPECT_EQ(get("action=getdata&path=" + png + "&width=32&height=24").body.size(), 32u * 24 * 4);
  EXPECT_EQ(get("action=getcount&path=" + png).body, "1");
  EXPECT_EQ(get("action=getcount&path=" + root + "/none.png").body, "0");
  r = get("action=info&path=" + root + "/none.png");
  EXPECT_EQ(r.status, 420);
  EXPECT_EQ(r.reason.rfind("Failed to get image info: ", 0), 0u);
  r = get("action=supports&path=x.tif&features=multiimage&output=1");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(json::parse(r.body)["multiimage"], true) << r.body;
}

TEST_F(RealCodecTest, EncodeGivesAPng) {
  const std::string pixels = gradient(8, 8);
  const Reply r = post({{"action", "encode"}, {"extension", "png"}, {"spec", spec(8, 8).dump()},
                        {"length", pixels.size()}},
                       pixels);
  ASSERT_EQ(r.status, 200) << r.reason;
  EXPECT_EQ(r.body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

TEST_F(RealCodecTest, OpenTwoWritesCloseGivesATwoImageTiff) {
  const std::string path = root + "/two.tif";
  Reply r = post({{"action", "open"},
                  {"path", path},
                  {"subimages", 2},
                  {"specsxml", {spec(16, 8).dump(), spec(8, 4).dump()}}});
  ASSERT_EQ(r.status, 200) << r.reason;
  const std::string id = json::parse(r.body)["handle"];
  int sub = 0;
  for (const auto& [w, h] : {std::pair{16, 8}, std::pair{8, 4}}) {
    const std::string pixels = gradient(w, h);
    r = post({{"action", "write"}, {"handle", id}, {"subimage", sub++},
              {"specxml", spec(w, h).dump()}, {"length", pixels.size()}},
             pixels);
    ASSERT_EQ(r.status, 200) << r.reason;
  }
  EXPECT_FALSE(fs::exists(path));  // not before the close
  r = post({{"action", "close"}, {"handle", id}});
  ASSERT_EQ(r.status, 200) << r.reason;
  EXPECT_EQ(get("action=getcount&path=" + path).body, "2");
  EXPECT_EQ(json::parse(get("action=info&path=" + path + "&subimage=1").body)["width"], 8);
}

TEST_F(RealCodecTest, HandlesLeftOpenLeaveNoFile) {
  const std::string path = root + "/never.tif";
  const Reply r = post({{"action", "open"}, {"path", path}, {"specsxml", {spec(4, 4).dump()}}});
  ASSERT_EQ(r.status, 200) << r.reason;
  ImageWriteHandles::instance().closeAll();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 0)
      << "a temporary file was left";
}

TEST_F(RealCodecTest, ConvertJpegToPngAndCancelledConvertLeavesNothing) {
  const std::string jpeg = make("c.jpg", 40, 30);
  const std::string png = root + "/c.png";
  Reply r = post({{"action", "convert"}, {"src", jpeg}, {"dst", png}});
  ASSERT_EQ(r.status, 200) << r.reason;
  EXPECT_EQ(readFile(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(info(png)["width"], 40);

  // A conversion that joins a job already cancelled gives up at the codec's first poll.
  const std::string dst = root + "/cancelled.png";
  ImageJobRegistry::add("J1");
  ASSERT_EQ(post({{"action", "cancel"}, {"jid", "J1"}}).status, 200);
  r = post({{"action", "convert"}, {"src", jpeg}, {"dst", dst}, {"cancelable", true},
            {"jid", "J1"}});
  ImageJobRegistry::remove("J1");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.reason.find("cancelled"), std::string::npos) << r.reason;
  EXPECT_FALSE(fs::exists(dst));
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(root)) files += entry.is_regular_file();
  EXPECT_EQ(files, 2u);  // c.jpg and c.png only
}

TEST_F(RealCodecTest, TransformAndOrientation) {
  const std::string png = make("t.png", 64, 48);
  const std::string turned = root + "/turned.png";
  Reply r = post({{"action", "transform"}, {"source", png}, {"dest", turned}, {"transform", 1}});
  ASSERT_EQ(r.body, "true") << r.header("X-Error-Reason");
  EXPECT_EQ(info(turned)["width"], 48);
  EXPECT_EQ(info(turned)["height"], 64);
  r = post({{"action", "transform"}, {"source", png}, {"dest", turned}, {"transform", 99}});
  EXPECT_EQ(r.body, "false");
  EXPECT_NE(r.header("X-Error-Reason"), "");

  // In place on a JPEG, then thumbnails made upright.
  const std::string jpeg = make("o.jpg", 64, 48);
  r = post({{"action", "modify_orientation"}, {"source", jpeg}, {"orientation", 6}});
  ASSERT_EQ(r.body, "true") << r.header("X-Error-Reason");
  const json i = info(jpeg);
  EXPECT_EQ(i["orientation"], 6);
  EXPECT_EQ(i["orientedWidth"], 48);

  http::HttpThumbnailHandler thumbnails;
  FakeRequest request("GET", "https://app.local/thumbnail?path=" + jpeg + "&option=1");
  const Reply thumb = endpoint::get(thumbnails, request);
  ASSERT_EQ(thumb.status, 200) << thumb.reason;
  EXPECT_EQ(thumb.type, "image/jpeg");
  const std::string file = root + "/thumb.jpg";
  std::ofstream(file, std::ios::binary) << thumb.body;
  const json t = info(file);
  EXPECT_EQ(t["width"], 48);
  EXPECT_EQ(t["height"], 64);
}

}  // namespace
