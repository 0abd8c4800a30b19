#include "zrkwebview/browser/src/http/http-message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using http::Range;

struct RangeCase {
  const char* value;
  uint64_t total;
  bool accepted;
  std::vector<Range> ranges;
};

TEST(ParseRangeHeader, Table) {
  const RangeCase cases[] = {
      {"bytes=0-99", 1000, true, {{0, 100}}},
      {"bytes=-100", 1000, true, {{900, 100}}},
      {"bytes=900-", 1000, true, {{900, 100}}},
      {"bytes=5", 1000, true, {{5, 1}}},
      {"bytes=999-999", 1000, true, {{999, 1}}},
      {"  Bytes = 0-1 ", 1000, true, {{0, 2}}},
      {"BYTES=0-1", 1000, true, {{0, 2}}},
      {"bytes= 0 - 1 ", 1000, true, {{0, 2}}},
      {"items=0-1", 1000, false, {}},
      {"0-1", 1000, false, {}},
      {"", 1000, false, {}},
      {"bytes=", 1000, false, {}},
      {"bytes=,,", 1000, false, {}},
      {"bytes=-", 1000, false, {}},
      {"bytes=x-y", 1000, false, {}},
      {"bytes=abc", 1000, false, {}},
      // Empty pieces are dropped; touching ranges are fine, overlapping ones reject everything.
      {"bytes=0-9,,10-19,", 1000, true, {{0, 10}, {10, 10}}},
      {"bytes=0-9,5-14", 1000, false, {}},
      {"bytes=0-99,10-19", 1000, false, {}},
      {"bytes=0-9,0-9", 1000, false, {}},
      {"bytes=20-29,0-9", 1000, true, {{0, 10}, {20, 10}}},
      {"bytes=500-,-100,0-0", 1000, false, {}},
      {"bytes=-100,0-0,5", 1000, true, {{0, 1}, {5, 1}, {900, 100}}},
      // Bounds.
      {"bytes=1000-", 1000, false, {}},
      {"bytes=0-1000", 1000, false, {}},
      {"bytes=10-9", 1000, false, {}},
      {"bytes=1000", 1000, false, {}},
      {"bytes=-1001", 1000, false, {}},
      {"bytes=-1000", 1000, true, {{0, 1000}}},
      {"bytes=-0", 1000, true, {{1000, 0}}},
      {"bytes=990-999,-0", 1000, true, {{990, 10}, {1000, 0}}},
      // An empty body: only the empty suffix.
      {"bytes=-0", 0, true, {{0, 0}}},
      {"bytes=0-", 0, false, {}},
      {"bytes=0-0", 0, false, {}},
      {"bytes=-1", 0, false, {}},
      {"bytes=0", 0, false, {}},
      // Numbers past 64 bits never wrap into a valid range.
      {"bytes=0-99999999999999999999999", 1000, false, {}},
      {"bytes=99999999999999999999999-", 1000, false, {}},
      {"bytes=-99999999999999999999999", 1000, false, {}},
      // Offsets past 4 GiB.
      {"bytes=4294967296-4294967305", 5000000000ull, true, {{4294967296ull, 10}}},
      {"bytes=-10", 5000000000ull, true, {{4999999990ull, 10}}},
  };
  for (const auto& c : cases) {
    std::vector<Range> ranges{{1, 1}};
    const bool accepted = http::parseRangeHeader(c.value, c.total, ranges);
    EXPECT_EQ(accepted, c.accepted) << "'" << c.value << "' of " << c.total;
    if (c.accepted) {
      EXPECT_EQ(ranges, c.ranges) << "'" << c.value << "' of " << c.total;
    }
  }
}

TEST(ParseRangeHeader, ManyRangesAreCheckedQuickly) {
  // A page may send thousands of ranges; the overlap test must not be quadratic in them.
  std::string value = "bytes=";
  for (int i = 0; i < 200000; ++i) value += std::to_string(i * 2) + "-" + std::to_string(i * 2) + ",";
  std::vector<Range> ranges;
  ASSERT_TRUE(http::parseRangeHeader(value, 400000, ranges));
  EXPECT_EQ(ranges.size(), 200000u);
  value += "7-8";
  EXPECT_FALSE(http::parseRangeHeader(value, 400000, ranges));
}

TEST(StatusReasonPhrase, Table) {
  const std::pair<int, const char*> cases[] = {
      {100, "Continue"},
      {101, "Switching Protocols"},
      {200, "OK"},
      {203, "Non-Authoritative Information"},
      {206, "Partial Content"},
      {304, "Not Modified"},
      {305, "Use Proxy"},
      {306, "Multiple Choices"},
      {307, "Temporary Redirect"},
      {404, "Not Found"},
      {408, "Request Time-out"},
      {413, "Request Entity Too Large"},
      {414, "Request-URI Too Large"},
      {416, "Requested range not satisfiable"},
      {417, "Expectation Failed"},
      {418, "Bad Request"},
      {420, "Bad Request"},
      {499, "Bad Request"},
      {500, "Internal Server Error"},
      {504, "Gateway Time-out"},
      {505, "HTTP Version not supported"},
      {506, "Internal Server Error"},
      {599, "Internal Server Error"},
      {299, "OK"},
      {199, "Continue"},
      {0, "Continue"},
      {-5, "Continue"},
      {1000, "Internal Server Error"},
  };
  for (const auto& [status, phrase] : cases) {
    EXPECT_STREQ(http::statusReasonPhrase(status), phrase) << status;
  }
}

class BareResponse : public http::HttpResponse {
 public:
  bool isEnd() override { return true; }
  uint64_t contentLength() override { return 0; }
  std::string read(size_t) override { return {}; }
  void seek(uint64_t) override {}
};

TEST(HttpResponse, DefaultsAndOwnHeaders) {
  BareResponse response;
  EXPECT_EQ(response.status(), 200);
  EXPECT_TRUE(response.headers().empty());
  EXPECT_EQ(response.statusMessage(), "");
  EXPECT_FALSE(response.isChunked());
  EXPECT_TRUE(response.supportsRanges());
  EXPECT_STREQ(response.className(), "HttpResponse");
  EXPECT_TRUE(response.isKindOfClass(&Vesk::TObject::classDescriptor));

  response.addHeader("X-A", "1");
  response.addHeader("X-A", "2");
  response.setStatus(304);
  EXPECT_EQ(response.headers(), (http::HeaderList{{"X-A", "1"}, {"X-A", "2"}}));
  EXPECT_EQ(response.status(), 304);
}

TEST(HttpRequest, CancelFlag) {
  struct Request : http::HttpRequest {
    std::string method() override { return "GET"; }
    uint64_t contentLength() override { return 0; }
    std::string uri() override { return {}; }
    http::HeaderList headers() override { return {}; }
    std::vector<uint8_t> reserved() override { return {}; }
    std::string header(const std::string&) override { return {}; }
    std::string read(size_t) override { return {}; }
  } request;
  EXPECT_FALSE(request.isCancelled());
  request.cancel();
  EXPECT_TRUE(request.isCancelled());
}

}  // namespace
