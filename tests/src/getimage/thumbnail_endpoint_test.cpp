// "/thumbnail" against the fake codec library and a thumbnail cache in a temporary data folder.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "src/thumbnail-cache.h"
#include "support/fake_rastcore/fake_rastcore.h"
#include "tests/src/getimage/endpoint_support.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/request-hooks.h"

namespace fs = std::filesystem;
using endpoint::Reply;
using pel::test::FakeRequest;

namespace {

const std::string kJpeg("\xFF\xD8\xFF\xE0 jpeg thumb", 15);
const std::string kPng("\x89PNG\r\n\x1a\n png thumb", 18);

class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/thumbnail-endpoint-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ThumbCache::reset();
    image = root + "/a.jpg";
    writeFile(image, "not really an image");
    setModified(image, 1600000000);
    fake.reset();
    fake.script("c_set_max_imagesize", 1);
    fake.script("c_read_thumbnail", 1, kJpeg);
  }
  void TearDown() override {
    ThumbCache::reset();
    fs::remove_all(root);
  }

  static void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static void setModified(const std::string& path, int64_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  Reply get(const std::string& query, const std::string& ifNoneMatch = "") {
    FakeRequest request("GET", "https://app.local/thumbnail?" + query);
    if (!ifNoneMatch.empty()) request.withHeader("If-None-Match", ifNoneMatch);
    return endpoint::get(handler, request);
  }
  Reply post(const std::string& body) {
    FakeRequest request("POST", "https://app.local/thumbnail");
    request.withBody(body);
    return endpoint::post(handler, request);
  }
  // The codec calls since the last look, without the size limit calls.
  std::string readerCalls() {
    std::string calls = fake.calls(), out;
    size_t start = 0;
    while (start < calls.size()) {
      const size_t end = calls.find('\n', start);
      const std::string line = calls.substr(start, end - start);
      if (line.rfind("c_set_max_imagesize", 0) != 0 && line != "c_free_resource") out += line + "\n";
      start = end + 1;
    }
    fake.reset();
    fake.script("c_set_max_imagesize", 1);
    fake.script("c_read_thumbnail", 1, kJpeg);
    return out;
  }
  std::string q(const std::string& path) { return "path=" + path; }

  std::string root, image;
  http::HttpThumbnailHandler handler;
  FakeRastcore fake{endpoint::programFolder() + "/librastcore.so"};
};

TEST_F(ThumbnailTest, SizeDefaultsAndOptionReachTheReader) {
  struct Case {
    std::string query;
    std::string call;
  };
  const std::vector<Case> cases = {
      {"", "width=300 height=300 option=0 subimage=0 level=0"},
      {"&option=4096", "width=0 height=0 option=4096 subimage=0 level=0"},
      {"&WIDTH=120&Height=-5&option=2", "width=120 height=-5 option=2 subimage=0 level=0"},
      {"&width=120abc&option=1&option=3", "width=120 height=300 option=3 subimage=0 level=0"},
      {"&subimage=2&level=1&expire=9", "width=300 height=300 option=0 subimage=2 level=1"},
  };
  for (const auto& c : cases) {
    const Reply r = get(q(image) + c.query + "&nocache");
    EXPECT_EQ(r.status, 200) << c.query << r.reason;
    EXPECT_EQ(readerCalls(), "c_read_thumbnail path=\"" + image + "\" " + c.call + "\n") << c.query;
  }
  EXPECT_EQ(fake.outstanding(), 0);
}

TEST_F(ThumbnailTest, MimeTypeFollowsTheOptionAndTheBytes) {
  struct Case {
    int option;
    std::string bytes;
    std::string type;
  };
  for (const Case& c : std::vector<Case>{{2, kPng, "image/png"},
                                         {2, kJpeg, "image/jpeg"},
                                         {2, "\xFF\xD8", "image/png"},
                                         {0, kPng, "image/jpeg"},
                                         {3, kPng, "image/png"}}) {
    fake.script("c_read_thumbnail", 1, c.bytes);
    const Reply r = get(q(image) + "&nocache&option=" + std::to_string(c.option));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.type, c.type) << c.option;
    EXPECT_EQ(r.body, c.bytes);
  }
}

TEST_F(ThumbnailTest, StoredThumbnailsAnswerWithoutTheCodec) {
  Reply r = get(q(image) + "&width=200&height=200");
  ASSERT_EQ(r.status, 200) << r.reason;
  EXPECT_EQ(readerCalls(), "c_read_thumbnail path=\"" + image +
                               "\" width=200 height=200 option=0 subimage=0 level=0\n");
  // The same size, a smaller one, and one asking for PNG (the option is not part of the key):
  // all from the cache.
  for (const std::string query : {"&width=200&height=200", "&width=100&height=50",
                                   "&width=200&height=200&option=2"}) {
    r = get(q(image) + query);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, kJpeg);
    EXPECT_EQ(r.type, "image/jpeg");
    EXPECT_NE(r.header("ETag"), "");
  }
  EXPECT_EQ(readerCalls(), "");
  // A larger one is made.
  get(q(image) + "&width=400&height=400");
  EXPECT_NE(readerCalls(), "");
}

TEST_F(ThumbnailTest, SubimageOrLevelBypassTheCache) {
  for (const std::string query : {"&subimage=1", "&level=2", "&subimage=1", "&nocache="}) {
    const Reply r = get(q(image) + query);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(readerCalls(), "") << query;
  }
  get(q(image));  // nothing was stored by those
  EXPECT_NE(readerCalls(), "");
}

TEST_F(ThumbnailTest, PathsAreNativeAndTheLastOneCounts) {
  const std::string odd = root + "/back\\slash.jpg";
  writeFile(odd, "x");
  struct Case {
    std::string query;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"path=/nowhere.jpg&path=" + image, image},
      {"path=" + root + "//a.jpg", image},
      {"path=" + root + "///a.jpg", image},
      {"path=" + root + "/back%255Cslash.jpg", odd},  // percent-encoded twice
      {"path=" + root + "/back%5Cslash.jpg", odd},
  };
  for (const auto& c : cases) {
    const Reply r = get(c.query + "&nocache");
    EXPECT_EQ(r.status, 200) << c.query << " " << r.reason;
    EXPECT_EQ(readerCalls(), "c_read_thumbnail path=\"" + c.path +
                                 "\" width=300 height=300 option=0 subimage=0 level=0\n")
        << c.query;
  }
  // A thumbnail stored under one spelling is found under the other.
  get("path=" + root + "//a.jpg");
  readerCalls();
  EXPECT_EQ(get(q(image)).status, 200);
  EXPECT_EQ(readerCalls(), "");
}

TEST_F(ThumbnailTest, EntityTagsFollowTheFile) {
  // From the cache: a second request with the tag gets 304.
  Reply first = get(q(image));
  const std::string tag = first.header("ETag");
  ASSERT_NE(tag, "");
  EXPECT_EQ(get(q(image), tag).status, 304);

  // Without the cache the tag is still that of the file's version: 304 while it stands...
  Reply uncached = get(q(image) + "&nocache");
  const std::string uncachedTag = uncached.header("ETag");
  ASSERT_NE(uncachedTag, "");
  EXPECT_EQ(get(q(image) + "&nocache", uncachedTag).status, 304);
  // ...and never once the file changed.
  setModified(image, 1700000000);
  Reply after = get(q(image) + "&nocache", uncachedTag);
  EXPECT_EQ(after.status, 200);
  EXPECT_NE(after.header("ETag"), uncachedTag);
  EXPECT_EQ(after.body, kJpeg);
  // The cache made anew after the change answers 200 to the old tag as well.
  EXPECT_EQ(get(q(image), tag).status, 200);
}

TEST_F(ThumbnailTest, FailuresAreAnswered) {
  struct Case {
    std::string query;
    int status;
    std::string reason;  // a prefix
  };
  fake.script("c_read_thumbnail", 0, "", "cannot decode");
  const std::vector<Case> cases = {
      {"width=100", 404, "File not found"},
      {"path=", 404, "File not found"},
      {q(image) + "&nocache", 410, "Thumbnail not found"},
      {q(root + "/missing.jpg"), 410, "File not found: " + root + "/missing.jpg"},
      {q(image) + "&width=wide", 400, "Invalid number for \"width\": wide"},
      {q(image) + "&level=99999999999", 400, "Number out of range for \"level\""},
      {"path=%zz", 400, "Bad URI syntax"},
      {"path=%25zz", 400, "Bad URI syntax"},
  };
  for (const auto& c : cases) {
    const Reply r = get(c.query);
    EXPECT_EQ(r.status, c.status) << c.query;
    EXPECT_EQ(r.reason.substr(0, c.reason.size()), c.reason) << c.query << ": " << r.reason;
    EXPECT_EQ(r.connection->protocolErrors(), "");
  }
  FakeRequest cancelled("GET", "https://app.local/thumbnail?" + q(image));
  cancelled.cancel();
  const Reply r = endpoint::get(handler, cancelled);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.reason, "request is cancelled");
}

TEST_F(ThumbnailTest, RemoveAction) {
  get(q(image));
  readerCalls();
  struct Case {
    std::string body;
    int status;
    std::string reason;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {R"({"action":"remove","path":")" + image + "\"}", 200, "", "true"},
      {R"({"action":"remove","path":"/never/stored.jpg"})", 200, "", "true"},
      {R"({"action":"remove","path":""})", 444, "path is empty", ""},
      {R"({"action":"remove","path":5})", 444, "path is empty", ""},
      {R"({"action":"drop","path":"/a"})", 400, "Bad request, unknown action: ", ""},
      {R"({"path":"/a"})", 400, "Bad request, unknown action: ", ""},
      {R"({"action":)", 444, "[json.exception.parse_error", ""},
  };
  for (const auto& c : cases) {
    const Reply r = post(c.body);
    EXPECT_EQ(r.status, c.status) << c.body;
    EXPECT_EQ(r.reason.substr(0, c.reason.size()), c.reason) << c.body;
    if (c.status == 200) {
      EXPECT_EQ(r.body, c.answer);
      EXPECT_EQ(r.type, "application/json");
    }
  }
  get(q(image));  // removed: made again
  EXPECT_NE(readerCalls(), "");
}

TEST(ThumbnailRegistration, AppendsOnceAndMarksTheLargePath) {
  const size_t before = http::handlerList()->size();
  http::registerThumbnailHandler();
  http::registerThumbnailHandler();
  EXPECT_EQ(http::handlerList()->size(), before + 1);
  EXPECT_STREQ(http::handlerList()->back()->className(), "HttpThumbnailHandler");
  const auto large = http::largeContentPaths();
  EXPECT_NE(std::find(large.begin(), large.end(), "/thumbnail"), large.end());
}

TEST(ThumbnailPaths, NormalisedLikePosix) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::vector<Case>{{"/a//b///c.png", "/a/b/c.png"},
                                         {"//net/a.png", "/net/a.png"},
                                         {"a\\\\b.png", "a\\\\b.png"},
                                         {"C:\\x/y.png", "C:\\x/y.png"},
                                         {"rel/./a.png", "rel/./a.png"}}) {
    EXPECT_EQ(http::HttpThumbnailHandler::normalizeThumbnailPath(c.in), c.out) << c.in;
  }
}

}  // namespace
