#include <Poco/URI.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "support/http_fakes.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/handlers/http-localfile-handler.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace fs = std::filesystem;
using http::HttpLocalfileHandler;
using pel::test::FakeRequest;
using pel::test::RecordingConnection;

namespace {

constexpr const char* kContent = "0123456789abcdef";
// 2023-11-14 22:13:20.700 UTC: a modification time with a fraction of a second.
constexpr time_t kModified = 1700000000;
constexpr const char* kModifiedText = "Tue, 14 Nov 2023 22:13:20 GMT";

std::string encode(const std::string& text) {
  std::string out;
  Poco::URI::encode(text, "&=+?#%", out);
  return out;
}

bool isLowerHex32(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

class LocalFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pelmora-localfile-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    file_ = (dir_ / "a.png").string();
    writeFile(file_, kContent);
    setModified(file_, kModified, 700000000);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }
  static void setModified(const std::string& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  std::unique_ptr<RecordingConnection> get(const std::string& query,
                                           std::initializer_list<std::pair<std::string, std::string>> headers = {}) {
    FakeRequest request("GET", "https://app.local/localfile?" + query);
    for (const auto& [name, value] : headers) request.withHeader(name, value);
    auto connection = std::make_unique<RecordingConnection>();
    EXPECT_TRUE(handler_.handleGet(&request, connection.get())) << query;
    EXPECT_EQ(connection->finishCount, 1) << query;
    return connection;
  }
  std::string pathQuery() const { return "path=" + encode(file_); }

  HttpLocalfileHandler handler_;
  fs::path dir_;
  std::string file_;
};

TEST_F(LocalFile, ServesTheFileWithItsType) {
  EXPECT_STREQ(handler_.path(), "/localfile");
  auto reply = get(pathQuery());
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->body, kContent);
  EXPECT_EQ(reply->header("Content-Type"), "image/png");
  EXPECT_EQ(reply->header("Content-Length"), "16");
  EXPECT_EQ(reply->header("Cache-Control"), "no-cache");
  EXPECT_EQ(reply->headerCount("ETag"), 0u);

  // Backslashes and doubled separators are normalised; "+" in the query is a space.
  writeFile((dir_ / "b c.txt").string(), "spaced");
  const std::string messy = dir_.string() + "\\\\b+c.txt";
  reply = get("path=" + messy);
  EXPECT_EQ(reply->status, 200) << messy;
  EXPECT_EQ(reply->body, "spaced");
  EXPECT_EQ(reply->header("Content-Type"), "text/plain");

  // The path is decoded twice: %2520 arrives as a space.
  reply = get("path=" + encode(dir_.string()) + "/b%2520c.txt");
  EXPECT_EQ(reply->body, "spaced");
}

TEST_F(LocalFile, FailuresHaveTheirStatus) {
  struct Case {
    std::string query;
    int status;
  } cases[] = {
      {"", 400},
      {"cache_control=1", 400},
      {"path=" + encode((dir_ / "missing.png").string()) + "&cache_control=1", 404},
      {"path=" + encode(dir_.string()) + "&cache_control=1", 403},  // a folder
      {"path=%25zz", 400},                                         // malformed once decoded
      {"path=%zz", 400},
      {pathQuery() + "&cache_control=%", 400},
  };
  for (const Case& c : cases) {
    auto reply = get(c.query);
    EXPECT_EQ(reply->status, c.status) << c.query;
    EXPECT_FALSE(reply->header("x-status-error").empty()) << c.query;
    EXPECT_EQ(reply->headerCount("ETag"), 0u) << c.query;
  }
}

TEST_F(LocalFile, CacheStepSetsValidatorsAndAge) {
  struct Case {
    const char* extra;
    const char* cacheControl;
  } cases[] = {
      {"&cache_control=1", "max-age=86400, public"},
      {"&cache_control=1&cache_age=600", "max-age=600, public"},
      {"&cache_control=1&CACHE_AGE=600&cache_age=1,200", "max-age=1200, public"},
      {"&cache_control=yes&cache_age=0", "no-cache"},
      {"&cache_control=1&cache_age=abc", "max-age=86400, public"},
      {"&cache_control=1&cache_age=-5", "max-age=86400, public"},
      {"&cache_control=1&cache_age=", "max-age=86400, public"},
      {"&cache_control=1&cache_control=", nullptr},  // the last value wins: the step is off
  };
  for (const Case& c : cases) {
    auto reply = get(pathQuery() + c.extra);
    EXPECT_EQ(reply->status, 200) << c.extra;
    EXPECT_EQ(reply->body, kContent) << c.extra;
    if (c.cacheControl == nullptr) {
      EXPECT_EQ(reply->header("Cache-Control"), "no-cache") << c.extra;
      EXPECT_EQ(reply->headerCount("ETag"), 0u) << c.extra;
      continue;
    }
    EXPECT_EQ(reply->headerCount("Cache-Control"), 1u) << c.extra;
    EXPECT_EQ(reply->header("Cache-Control"), c.cacheControl) << c.extra;
    EXPECT_EQ(reply->header("Last-Modified"), kModifiedText) << c.extra;
    EXPECT_TRUE(isLowerHex32(reply->header("ETag"))) << reply->header("ETag");
    EXPECT_EQ(reply->header("Pragma"), "public") << c.extra;
  }
}

TEST_F(LocalFile, ConditionalRequestsGet304) {
  const std::string query = pathQuery() + "&cache_control=1";
  const std::string tag = get(query)->header("ETag");
  ASSERT_FALSE(tag.empty());

  struct Case {
    const char* what;
    std::string ifNoneMatch;
    std::string ifModifiedSince;
    int status;
  } cases[] = {
      {"same tag", tag, "", 304},
      {"other tag", "0123", "", 200},
      {"the date sent, file time has a fraction", "", kModifiedText, 304},
      {"a later date", "", "Wed, 15 Nov 2023 08:00:00 GMT", 304},
      {"one second earlier", "", "Tue, 14 Nov 2023 22:13:19 GMT", 200},
      // A tag that differs is not overruled by the date.
      {"other tag, same date", "0123", kModifiedText, 200},
      {"same tag, earlier date", tag, "Tue, 14 Nov 2023 22:13:19 GMT", 304},
  };
  for (const Case& c : cases) {
    FakeRequest request("GET", "https://app.local/localfile?" + query);
    if (!c.ifNoneMatch.empty()) request.withHeader("If-None-Match", c.ifNoneMatch);
    if (!c.ifModifiedSince.empty()) request.withHeader("If-Modified-Since", c.ifModifiedSince);
    RecordingConnection reply;
    handler_.handleGet(&request, &reply);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(reply.body, c.status == 304 ? "" : kContent) << c.what;
    EXPECT_EQ(reply.header("ETag"), tag) << c.what;
    EXPECT_EQ(reply.header("Cache-Control"), "max-age=86400, public") << c.what;
    EXPECT_EQ(reply.header("Last-Modified"), kModifiedText) << c.what;
    EXPECT_EQ(reply.header("Pragma"), "public") << c.what;
  }
}

TEST_F(LocalFile, NoCacheRequestAndBadDatesGetAPlainReply) {
  const std::string logPath = (dir_ / "log.txt").string();
  zrk::configureLogging(logPath, 0, false, false);
  zrk::setLogLevel(2);

  auto plain = get(pathQuery() + "&cache_control=1", {{"Cache-Control", "no-cache"}});
  EXPECT_EQ(plain->status, 200);
  EXPECT_EQ(plain->headerCount("ETag"), 0u);
  EXPECT_EQ(plain->header("Cache-Control"), "no-cache");

  for (const char* date : {"yesterday-ish", "Tue, 14 Nov 2023 22:13", "Tue, 14 Xyz 2023 22:13:20 GMT",
                           "Tue, 14 Nov 2023 22:13:20 GMT trailing"}) {
    auto badDate = get(pathQuery() + "&cache_control=1", {{"If-Modified-Since", date}});
    EXPECT_EQ(badDate->status, 200) << date;
    EXPECT_EQ(badDate->body, kContent) << date;
    EXPECT_EQ(badDate->headerCount("ETag"), 0u) << date;
    EXPECT_EQ(badDate->headerCount("Pragma"), 0u) << date;
  }

  zrk::shutdownLogging();
  std::ifstream in(logPath);
  std::stringstream log;
  log << in.rdbuf();
  EXPECT_NE(log.str().find("If-Modified-Since is not an HTTP date: yesterday-ish"), std::string::npos) << log.str();
  EXPECT_NE(log.str().find("month"), std::string::npos) << log.str();
}

TEST_F(LocalFile, TagFollowsSizeAndTimeNotContent) {
  const std::string query = pathQuery() + "&cache_control=1";
  const std::string first = get(query)->header("ETag");
  writeFile(file_, "fedcba9876543210");  // same size, other bytes
  setModified(file_, kModified, 100);
  EXPECT_EQ(get(query)->header("ETag"), first);
  setModified(file_, kModified + 1, 0);
  const std::string later = get(query)->header("ETag");
  EXPECT_NE(later, first);
  writeFile(file_, "longer content here");
  setModified(file_, kModified + 1, 0);
  EXPECT_NE(get(query)->header("ETag"), later);
}

TEST_F(LocalFile, RangesGoThroughTheWriter) {
  auto reply = get(pathQuery() + "&cache_control=1", {{"Range", "bytes=4-7"}});
  EXPECT_EQ(reply->status, 206);
  EXPECT_EQ(reply->body, "4567");
  EXPECT_EQ(reply->header("Content-Range"), "bytes 4-7/16");
  EXPECT_FALSE(reply->header("ETag").empty());
}

TEST_F(LocalFile, ApplyCacheHeadersForOtherCallers) {
  // A caller with its own size and time source, forcing the step past "no-cache".
  auto stat = [](const char* path, size_t length, uint64_t* size, int64_t* micros, void* user) {
    EXPECT_EQ(std::string(path, length), "/virtual/thumb.png");
    *size = 1234;
    *micros = int64_t(1700000000) * 1000000 + 999999;
    ++*static_cast<int*>(user);
    return 0;
  };
  int calls = 0;
  FakeRequest request("GET", "https://app.local/thumb?x=1");
  request.withHeader("Cache-Control", "no-cache");
  auto response = std::make_shared<http::HttpMimeResponse>("img", "image/png");
  HttpLocalfileHandler::applyCacheHeaders("/virtual/thumb.png", &request, response, 60, true, stat, &calls);
  EXPECT_EQ(calls, 1);
  const http::HeaderList expected = {{"Content-Type", "image/png"},
                                     {"Cache-Control", "max-age=60, public"},
                                     {"Last-Modified", kModifiedText},
                                     {"ETag", "da24065b9d01bc09ec32dc4f91ea6b02"},  // md5 of "/virtual/thumb.png-1234-1700000000"
                                     {"Pragma", "public"}};
  EXPECT_EQ(response->headers(), expected);

  // Without force the request's "no-cache" wins; a failed response is left alone.
  auto untouched = std::make_shared<http::HttpMimeResponse>("img", "image/png");
  HttpLocalfileHandler::applyCacheHeaders("/virtual/thumb.png", &request, untouched, 60, false, stat, &calls);
  auto failed = std::make_shared<http::HttpStatusResponse>(500, "boom");
  const http::HeaderList failedHeaders = failed->headers();
  FakeRequest plainRequest("GET", "https://app.local/thumb");
  HttpLocalfileHandler::applyCacheHeaders("/virtual/thumb.png", &plainRequest, failed, 60, true, stat, &calls);
  EXPECT_EQ(untouched->headers().size(), 1u);
  EXPECT_EQ(failed->headers(), failedHeaders);
  EXPECT_EQ(calls, 1);
}

TEST_F(LocalFile, PostEchoesTheBody) {
  FakeRequest request("POST", "https://app.local/localfile");
  request.withHeader("Content-Type", "text/plain").withBody(std::string(1500, 'x') + "end");
  RecordingConnection reply;
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(handler_.handlePost(&request, &reply));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "");
  EXPECT_EQ(reply.finishCount, 1);
  EXPECT_NE(out.find("read 1024 bytes\nRead more data...\nread 479 bytes\n"), std::string::npos) << out;
  EXPECT_NE(out.find("post data: " + std::string(1500, 'x') + "end\n"), std::string::npos);
}

}  // namespace
