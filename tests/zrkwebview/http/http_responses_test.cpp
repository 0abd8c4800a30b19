#include "zrkwebview/browser/src/http/http-responses.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

// A fresh folder under the temporary folder, removed with the fixture.
class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "pel-http-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  fs::path dir_;
};

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

TEST(HttpStatusResponse, FailureCarriesItsMessageAsReasonAndBody) {
  http::HttpStatusResponse response(404, "%s", "File not found");
  EXPECT_STREQ(response.className(), "HttpStatusResponse");
  EXPECT_TRUE(response.isKindOfClass(&http::HttpResponse::classDescriptor));
  EXPECT_EQ(response.status(), 404);
  EXPECT_EQ(response.statusMessage(), "File not found");
  EXPECT_EQ(response.headers(), (http::HeaderList{{"Content-Type", "text/plain; charset=utf-8"}}));
  EXPECT_FALSE(response.supportsRanges());
  EXPECT_EQ(response.contentLength(), 14u);
  EXPECT_EQ(response.read(4), "File");
  EXPECT_EQ(response.read(100), " not found");
  EXPECT_TRUE(response.isEnd());
  EXPECT_EQ(response.read(100), "");
}

TEST(HttpStatusResponse, MessagesAndBodies) {
  struct Case {
    const char* name;
    http::HttpStatusResponse response;
    std::string message;
    std::string body;
  };
  const std::string outside = "100% of C:\\caf\xc3\xa9 %s %n";
  Case cases[] = {
      {"status alone", http::HttpStatusResponse(200), "", ""},
      {"failure alone", http::HttpStatusResponse(500), "", ""},
      {"success keeps its message out of the body", http::HttpStatusResponse(200, "%s", "done"),
       "done", ""},
      {"redirect keeps its message out of the body", http::HttpStatusResponse(302, "moved"), "moved",
       ""},
      {"below 200 is a failure", http::HttpStatusResponse(199, "early"), "early", "early"},
      {"status 0 is a failure", http::HttpStatusResponse(0, "request is cancelled"),
       "request is cancelled", "request is cancelled"},
      {"formatted", http::HttpStatusResponse(420, "plugin %s failed: %d", "fs", 7),
       "plugin fs failed: 7", "plugin fs failed: 7"},
      {"'%' in an argument stays", http::HttpStatusResponse(410, "%s", outside.c_str()), outside,
       outside},
      {"plain message is not a format", http::HttpStatusResponse(410, outside), outside, outside},
      {"null format", http::HttpStatusResponse(400, static_cast<const char*>(nullptr)), "", ""},
  };
  for (auto& c : cases) {
    EXPECT_EQ(c.response.statusMessage(), c.message) << c.name;
    EXPECT_EQ(c.response.contentLength(), c.body.size()) << c.name;
    EXPECT_EQ(c.response.read(1 << 20), c.body) << c.name;
    EXPECT_TRUE(c.response.isEnd()) << c.name;
    const auto headers = c.response.headers();
    ASSERT_EQ(headers.size(), 1u) << c.name;
    EXPECT_EQ(headers[0].second, c.body.empty() ? "text/plain" : "text/plain; charset=utf-8") << c.name;
  }
}

TEST(HttpMimeResponse, ReadsAndSeeks) {
  http::HttpMimeResponse response("hello", "text/plain");
  EXPECT_STREQ(response.className(), "HttpMimeResponse");
  EXPECT_EQ(response.headers(), (http::HeaderList{{"Content-Type", "text/plain"}}));
  EXPECT_EQ(response.contentLength(), 5u);
  EXPECT_EQ(response.read(2), "he");
  EXPECT_EQ(response.read(10), "llo");
  EXPECT_EQ(response.read(10), "");
  EXPECT_TRUE(response.isEnd());
  response.seek(1);
  EXPECT_FALSE(response.isEnd());
  EXPECT_EQ(response.read(2), "el");
  response.seek(5);
  EXPECT_EQ(response.read(2), "");
  response.seek(6);
  EXPECT_THROW(response.read(1), std::out_of_range);
}

TEST(HttpMimeResponse, EmptyOrNullTypeGivesAnEmptyOwnType) {
  EXPECT_EQ(http::HttpMimeResponse("x", "").headers(), (http::HeaderList{{"Content-Type", ""}}));
  EXPECT_EQ(http::HttpMimeResponse("x", nullptr).headers(), (http::HeaderList{{"Content-Type", ""}}));
}

using HttpFileResponseTest = TempFolder;

TEST_F(HttpFileResponseTest, ReadsAndSeeksAnExistingFile) {
  const std::string bytes = pattern(3000);
  const std::string path = write("a b é.bin", bytes);
  http::HttpFileResponse response(path, "application/octet-stream");
  EXPECT_STREQ(response.className(), "HttpFileResponse");
  EXPECT_EQ(response.status(), 200);
  EXPECT_EQ(response.contentLength(), 3000u);
  EXPECT_GT(response.modified(), 0);
  EXPECT_EQ(response.headers(), (http::HeaderList{{"Content-Type", "application/octet-stream"}}));
  response.seek(1000);
  EXPECT_EQ(response.read(10), bytes.substr(1000, 10));
  std::string rest;
  while (!response.isEnd()) {
    const std::string piece = response.read(700);
    ASSERT_FALSE(piece.empty());
    rest += piece;
  }
  EXPECT_EQ(rest, bytes.substr(1010));
  EXPECT_EQ(response.read(10), "");
  EXPECT_EQ(response.read(0), "");
  response.seek(0);
  EXPECT_EQ(response.read(3), "abc");
  response.seek(5000);
  EXPECT_TRUE(response.isEnd());
  EXPECT_EQ(response.read(10), "");
}

TEST_F(HttpFileResponseTest, FilesThatCannotBeServed) {
  const std::string empty = write("empty", "");
  const std::string file = write("file", "x");
  fs::create_directory(dir_ / "folder");
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    int status;
  } cases[] = {
      {"", 400},
      {(dir_ / "missing").string(), 404},
      {(dir_ / "missing-folder" / "x").string(), 404},
      {file + "/below-a-file", 403},
      {(dir_ / "folder").string(), 403},
      {(dir_ / "pipe").string(), 403},  // a pipe would block the open
      {empty, 200},
  };
  for (const auto& c : cases) {
    http::HttpFileResponse response(c.path, "text/plain");
    EXPECT_EQ(response.status(), c.status) << c.path;
    EXPECT_EQ(response.contentLength(), 0u) << c.path;
    EXPECT_TRUE(response.isEnd()) << c.path;
    EXPECT_EQ(response.read(100), "") << c.path;
    EXPECT_EQ(response.statusMessage(), "") << c.path;
  }
}

TEST_F(HttpFileResponseTest, UnreadableFileIsForbidden) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  const std::string path = write("secret", "hidden bytes");
  fs::permissions(path, fs::perms::none);
  http::HttpFileResponse response(path);
  EXPECT_EQ(response.status(), 403);
  EXPECT_EQ(response.contentLength(), 0u);
}

TEST_F(HttpFileResponseTest, FilesOf2GiBAndMoreKeepTheirLengthAndOffsets) {
  // A sparse file of 5 GiB with marks past the 2 GiB and 4 GiB lines.
  const std::string path = (dir_ / "big.bin").string();
  const uint64_t size = 5ull << 30;
  const uint64_t marks[] = {(2ull << 30) + 5, (4ull << 30) + 17, size - 4};
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (uint64_t mark : marks) {
      ASSERT_EQ(::fseeko(f, static_cast<off_t>(mark), SEEK_SET), 0);
      ASSERT_EQ(std::fwrite("MARK", 1, 4, f), 4u);
    }
    std::fclose(f);
  }
  ASSERT_EQ(fs::file_size(path), size);
  http::HttpFileResponse response(path);
  EXPECT_EQ(response.status(), 200);
  EXPECT_EQ(response.contentLength(), size);
  for (uint64_t mark : marks) {
    response.seek(mark - 1);
    EXPECT_EQ(response.read(6), std::string("\0MARK", 5) + (mark + 4 < size ? std::string(1, '\0') : ""))
        << mark;
  }
  EXPECT_TRUE(response.isEnd());
}

}  // namespace
