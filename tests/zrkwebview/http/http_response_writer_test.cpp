#include "zrkwebview/browser/src/http/http-response-writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http/http-body-buffer.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using pel::test::FakeRequest;
using pel::test::RecordingConnection;
using ResponsePtr = std::shared_ptr<http::HttpResponse>;

// A streamed body of open length, delivered in the given pieces; records what it was asked for.
class StreamResponse : public http::HttpResponse {
 public:
  explicit StreamResponse(std::vector<std::string> pieces, bool chunked = true)
      : pieces_(std::move(pieces)), chunked_(chunked) {}
  bool isChunked() override { return chunked_; }
  bool isEnd() override { return next_ == pieces_.size(); }
  uint64_t contentLength() override {
    uint64_t total = 0;
    for (const auto& p : pieces_) total += p.size();
    return total;
  }
  std::string read(size_t maxBytes) override {
    reads.push_back(maxBytes);
    if (next_ == pieces_.size()) return {};
    return pieces_[next_++].substr(0, maxBytes);
  }
  void seek(uint64_t offset) override { seeks.push_back(offset); }
  std::vector<size_t> reads;
  std::vector<uint64_t> seeks;

 private:
  std::vector<std::string> pieces_;
  size_t next_ = 0;
  bool chunked_;
};

class NoRangesResponse : public http::HttpMimeResponse {
 public:
  using HttpMimeResponse::HttpMimeResponse;
  bool supportsRanges() override { return false; }
};

ResponsePtr mime(std::string body, const char* type = "text/plain", int status = 200) {
  auto response = std::make_shared<http::HttpMimeResponse>(std::move(body), type);
  response->setStatus(status);
  return response;
}

ResponsePtr withHeaders(ResponsePtr response, http::HeaderList headers) {
  for (auto& [name, value] : headers) response->addHeader(name, value);
  return response;
}

const std::string kTen = "0123456789";

struct WriterCase {
  const char* name;
  http::HeaderList requestHeaders;
  std::function<ResponsePtr()> response;
  int status;
  const char* reason;  // null: no reason phrase
  // Every header in order; "Date" is checked for its form, "{b}" stands for the multipart boundary.
  http::HeaderList headers;
  std::string body;
  std::string method = "GET";
};

const char* kDate = "<date>";

http::HeaderList fixed(http::HeaderList before, http::HeaderList after = {}) {
  before.insert(before.end(), {{"Cache-Control", "no-cache"}, {"Date", kDate}, {"Accept-Ranges", "bytes"}});
  before.insert(before.end(), after.begin(), after.end());
  return before;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// "Sun, 06 Nov 1994 08:49:37 GMT": an English day, two digits, an English month, four digits and
// a time.
bool looksLikeHttpDate(const std::string& value) {
  static const std::string days = "Mon Tue Wed Thu Fri Sat Sun";
  static const std::string months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
  const std::string shape = "Ddd, 99 Mmm 9999 99:99:99 GMT";
  if (value.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(value[i]))
                        : (shape[i] != 'D' && shape[i] != 'd' && shape[i] != 'M' && shape[i] != 'm' &&
                           shape[i] != value[i])) {
      return false;
    }
  }
  return days.find(value.substr(0, 3)) != std::string::npos && days.find(value.substr(0, 3)) % 4 == 0 &&
         months.find(value.substr(8, 3)) != std::string::npos && months.find(value.substr(8, 3)) % 4 == 0;
}

TEST(SendResponse, Table) {
  const std::string multipartBody =
      "\r\n--{b}\r\nContent-Range: bytes 0-1/10\r\n\r\n01"
      "\r\n--{b}\r\nContent-Range: bytes 5-7/10\r\n\r\n567"
      "\r\n--{b}--\r\n";
  const WriterCase cases[] = {
      {"200 with its own type", {}, [] { return mime(kTen); }, 200, nullptr,
       fixed({{"Content-Length", "10"}}, {{"Content-Type", "text/plain"}}), kTen},
      {"failure with a message", {}, [] { return std::make_shared<http::HttpStatusResponse>(404, "File not found"); },
       404, "File not found",
       fixed({{"Content-Length", "14"}},
             {{"Content-Type", "text/plain; charset=utf-8"}, {"x-status-error", "File not found"}}),
       "File not found"},
      {"failure without a message takes its class phrase", {},
       [] { return std::make_shared<http::HttpStatusResponse>(420); }, 420, "Bad Request",
       fixed({{"Content-Length", "0"}}, {{"Content-Type", "text/plain"}, {"x-status-error", "Bad Request"}}), ""},
      {"200 with a message sends no reason", {},
       [] { return std::make_shared<http::HttpStatusResponse>(200, "all fine"); }, 200, nullptr,
       fixed({{"Content-Length", "0"}}, {{"Content-Type", "text/plain"}}), ""},
      {"302 and 399 are no failures", {}, [] { return std::make_shared<http::HttpStatusResponse>(399, "odd"); },
       399, "odd", fixed({{"Content-Length", "0"}}, {{"Content-Type", "text/plain"}}), ""},
      {"199 is a failure", {}, [] { return std::make_shared<http::HttpStatusResponse>(199); }, 199, "Continue",
       fixed({{"Content-Length", "0"}}, {{"Content-Type", "text/plain"}, {"x-status-error", "Continue"}}), ""},
      {"cancelled request (status 0)", {},
       [] { return std::make_shared<http::HttpStatusResponse>(0, "request is cancelled"); }, 0,
       "request is cancelled",
       fixed({{"Content-Length", "20"}},
             {{"Content-Type", "text/plain; charset=utf-8"}, {"x-status-error", "request is cancelled"}}),
       "request is cancelled"},
      {"a negative status goes out as 200", {}, [] { return mime("x", "text/plain", -3); }, 200, nullptr,
       fixed({{"Content-Length", "1"}}, {{"Content-Type", "text/plain"}}), "x"},
      {"own headers replace the writer's in place and the later value wins", {},
       [] {
         return withHeaders(mime(kTen), {{"Cache-Control", "max-age=60, public"}, {"X-Own", "1"},
                                         {"Content-Type", "application/json"}, {"X-Own", "2"}});
       },
       200, nullptr,
       {{"Content-Length", "10"}, {"Cache-Control", "max-age=60, public"}, {"Date", kDate},
        {"Accept-Ranges", "bytes"}, {"Content-Type", "application/json"}, {"X-Own", "2"}},
       kTen},
      {"an own header with an empty value removes it; names compare by case", {},
       [] { return withHeaders(mime(kTen, ""), {{"Cache-Control", ""}, {"accept-ranges", "none"}}); }, 200,
       nullptr, {{"Content-Length", "10"}, {"Date", kDate}, {"Accept-Ranges", "bytes"}, {"accept-ranges", "none"}},
       kTen},
      {"an own x-status-error does not replace the writer's", {},
       [] { return withHeaders(std::make_shared<http::HttpStatusResponse>(500, "boom"), {{"x-status-error", "mine"}}); },
       500, "boom",
       fixed({{"Content-Length", "4"}},
             {{"Content-Type", "text/plain; charset=utf-8"}, {"x-status-error", "mine"}, {"x-status-error", "boom"}}),
       "boom"},
      {"outside text cannot break the head", {},
       [] {
         return withHeaders(std::make_shared<http::HttpStatusResponse>(410, std::string("bad\r\nX-Evil: 1 caf\xc3\xa9\t\x7f")),
                            {{"X-Name", "a\nb\xe6\x97\xa5\xe6\x9c\xac\x80"}});
       },
       410, "bad  X-Evil: 1 caf?  ",
       fixed({{"Content-Length", "22"}}, {{"Content-Type", "text/plain; charset=utf-8"}, {"X-Name", "a b???"},
                                         {"x-status-error", "bad  X-Evil: 1 caf?  "}}),
       "bad\r\nX-Evil: 1 caf\xc3\xa9\t\x7f"},
      {"one range", {{"Range", "bytes=0-1"}}, [] { return mime(kTen); }, 206, "Partial Content",
       fixed({{"Content-Length", "2"}, {"Content-Range", "bytes 0-1/10"}}, {{"Content-Type", "text/plain"}}), "01"},
      {"one range at the end", {{"range", "bytes=-3"}}, [] { return mime(kTen); }, 206, "Partial Content",
       fixed({{"Content-Length", "3"}, {"Content-Range", "bytes 7-9/10"}}, {{"Content-Type", "text/plain"}}), "789"},
      {"a range overrides 304 and 404", {{"Range", "bytes=2-3"}}, [] { return mime(kTen, "text/plain", 404); },
       206, "Partial Content",
       fixed({{"Content-Length", "2"}, {"Content-Range", "bytes 2-3/10"}}, {{"Content-Type", "text/plain"}}), "23"},
      {"a range never applies to a status message", {{"Range", "bytes=0-1"}},
       [] { return std::make_shared<http::HttpStatusResponse>(404, "File not found"); }, 404, "File not found",
       fixed({{"Content-Length", "14"}},
             {{"Content-Type", "text/plain; charset=utf-8"}, {"x-status-error", "File not found"}}),
       "File not found"},
      {"unusable ranges are ignored", {{"Range", "bytes=0-1,1-2"}}, [] { return mime(kTen); }, 200, nullptr,
       fixed({{"Content-Length", "10"}}, {{"Content-Type", "text/plain"}}), kTen},
      {"ranges beyond the body are ignored", {{"Range", "bytes=10-"}}, [] { return mime(kTen); }, 200, nullptr,
       fixed({{"Content-Length", "10"}}, {{"Content-Type", "text/plain"}}), kTen},
      {"no range support", {{"Range", "bytes=0-1"}},
       [] { return std::make_shared<NoRangesResponse>(kTen, "text/plain"); }, 200, nullptr,
       fixed({{"Content-Length", "10"}}, {{"Content-Type", "text/plain"}}), kTen},
      {"chunked body streams without a length", {{"Range", "bytes=0-1"}},
       [] { return std::make_shared<StreamResponse>(std::vector<std::string>{"ab", "", "cd"}); }, 200, nullptr,
       fixed({{"Transfer-Encoding", "chunked"}}), "ab"},
      {"chunked body", {}, [] { return std::make_shared<StreamResponse>(std::vector<std::string>{"ab", "cd", "e"}); },
       200, nullptr, fixed({{"Transfer-Encoding", "chunked"}}), "abcde"},
      {"several ranges make a multipart body that keeps its type", {{"Range", "bytes=5-7, 0-1"}},
       [] { return withHeaders(mime(kTen, "image/png"), {{"content-type", "text/html"}}); }, 206, "Partial Content",
       fixed({{"Content-Length", std::to_string(replaceAll(multipartBody, "{b}", std::string(36, 'x')).size())},
              {"Content-Type", "multipart/byteranges; boundary={b}"}}),
       multipartBody},
      {"HEAD sends the head only", {}, [] { return mime(kTen); }, 200, nullptr,
       fixed({{"Content-Length", "10"}}, {{"Content-Type", "text/plain"}}), "", "head"},
      {"HEAD of a failure", {}, [] { return std::make_shared<http::HttpStatusResponse>(404, "gone"); }, 404, "gone",
       fixed({{"Content-Length", "4"}}, {{"Content-Type", "text/plain; charset=utf-8"}, {"x-status-error", "gone"}}),
       "", "HEAD"},
      {"304 sends the head only, with the full length", {}, [] { return mime(kTen, "text/plain", 304); }, 304,
       "Not Modified", fixed({{"Content-Length", "10"}}, {{"Content-Type", "text/plain"}}), ""},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRequest request(c.method);
    for (const auto& [name, value] : c.requestHeaders) request.withHeader(name, value);
    RecordingConnection connection;
    const ResponsePtr response = c.response();
    EXPECT_EQ(http::sendResponse(&connection, &request, response.get()), 0);
    EXPECT_EQ(connection.protocolErrors(), "");
    EXPECT_EQ(connection.finishCount, 1);
    EXPECT_EQ(connection.status, c.status);
    EXPECT_EQ(connection.reasonIsNull, c.reason == nullptr);
    if (c.reason != nullptr) {
      EXPECT_EQ(connection.reason, c.reason);
    }

    std::string boundary;
    for (const auto& [name, value] : connection.headers) {
      if (value.rfind("multipart/byteranges; boundary=", 0) == 0) boundary = value.substr(31);
    }
    http::HeaderList expected = c.headers;
    for (auto& [name, value] : expected) value = replaceAll(value, "{b}", boundary);
    http::HeaderList actual = connection.headers;
    for (auto& [name, value] : actual) {
      if (name == "Date") {
        EXPECT_TRUE(looksLikeHttpDate(value)) << value;
        value = kDate;
      }
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(connection.body, replaceAll(c.body, "{b}", boundary));
    if (!boundary.empty()) {
      EXPECT_EQ(boundary.size(), 36u);
      EXPECT_EQ(std::to_string(connection.body.size()), connection.header("Content-Length"));
    }
  }
}

TEST(SendResponse, EveryMultipartReplyHasAFreshBoundary) {
  std::string boundaries[2];
  for (auto& boundary : boundaries) {
    FakeRequest request;
    request.withHeader("Range", "bytes=0-0,2-2,4-");
    RecordingConnection connection;
    auto response = mime(kTen);
    http::sendResponse(&connection, &request, response.get());
    boundary = connection.header("Content-Type").substr(31);
    EXPECT_EQ(connection.body, "\r\n--" + boundary + "\r\nContent-Range: bytes 0-0/10\r\n\r\n0\r\n--" + boundary +
                                   "\r\nContent-Range: bytes 2-2/10\r\n\r\n2\r\n--" + boundary +
                                   "\r\nContent-Range: bytes 4-9/10\r\n\r\n456789\r\n--" + boundary + "--\r\n");
  }
  EXPECT_NE(boundaries[0], boundaries[1]);
}

TEST(SendResponse, ChunkSizeFromTheRequest) {
  struct Case {
    const char* header;  // null: none
    size_t chunk;
  } cases[] = {
      {nullptr, 524288},   {"", 524288},      {"2048", 2048},  {" 4096xyz", 4096},
      {"1024", 1024},      {"1023", 16384},   {"100", 16384},  {"abc", 16384},
      {"0", 16384},        {"-1", 8 << 20},   {"-1024", 8 << 20}, {"99999999999999999999", 8 << 20},
      {"8388609", 8 << 20},
  };
  for (const auto& c : cases) {
    FakeRequest request;
    if (c.header != nullptr) request.withHeader("X-ChunkSize", c.header);
    RecordingConnection connection;
    StreamResponse response({"abc"}, false);
    http::sendResponse(&connection, &request, &response);
    ASSERT_FALSE(response.reads.empty());
    EXPECT_EQ(response.reads[0], c.chunk) << (c.header ? c.header : "(none)");
  }
}

TEST(SendResponse, BodyIsCopiedInChunks) {
  const std::string body(5000, 'q');
  FakeRequest request;
  request.withHeader("X-ChunkSize", "2048");
  RecordingConnection connection;
  auto response = mime(body);
  http::sendResponse(&connection, &request, response.get());
  EXPECT_EQ(connection.body, body);
  EXPECT_EQ(std::vector<std::string>(connection.calls.end() - 4, connection.calls.end()),
            (std::vector<std::string>{"write 2048", "write 2048", "write 904", "finish"}));

  // A range longer than the chunk size is copied chunk by chunk too.
  FakeRequest ranged;
  ranged.withHeader("X-ChunkSize", "2048").withHeader("Range", "bytes=100-4999");
  RecordingConnection rangedConnection;
  auto rangedResponse = mime(body);
  http::sendResponse(&rangedConnection, &ranged, rangedResponse.get());
  EXPECT_EQ(rangedConnection.body, body.substr(100));
  EXPECT_EQ(std::vector<std::string>(rangedConnection.calls.end() - 4, rangedConnection.calls.end()),
            (std::vector<std::string>{"write 2048", "write 2048", "write 804", "finish"}));
}

TEST(SendResponse, AStalledOrVanishedPeerEndsTheBodyButTheReplyIsFinished) {
  const std::string body(4096, 'z');
  struct Case {
    const char* name;
    const char* range;
    std::optional<uint64_t> acceptBytes;
    std::optional<size_t> closeAfterWrites;
    size_t writes;
    size_t bodyBytes;  // of the response's body, part heads not counted
  } cases[] = {
      {"closed from the start", nullptr, std::nullopt, 0, 0, 0},
      {"closed after one chunk", nullptr, std::nullopt, 1, 1, 1024},
      {"short write", nullptr, 1500, std::nullopt, 2, 1500},
      {"one range, closed after one chunk", "bytes=0-3000", std::nullopt, 1, 1, 1024},
      {"one range, short write", "bytes=0-3000", 100, std::nullopt, 1, 100},
      // A short part ends that part only; the later parts and the closing text still go out.
      {"several ranges, closed at once", "bytes=0-9,20-29", std::nullopt, 0, 0, 0},
      {"several ranges, closed after the first part head", "bytes=0-9,20-29", std::nullopt, 1, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRequest request;
    request.withHeader("X-ChunkSize", "1024");
    if (c.range) request.withHeader("Range", c.range);
    RecordingConnection connection;
    connection.acceptBytes = c.acceptBytes;
    connection.closeAfterWrites = c.closeAfterWrites;
    auto response = mime(body);
    EXPECT_EQ(http::sendResponse(&connection, &request, response.get()), 0);
    EXPECT_EQ(connection.protocolErrors(), "");
    EXPECT_EQ(connection.writes, c.writes);
    EXPECT_EQ(static_cast<size_t>(std::count(connection.body.begin(), connection.body.end(), 'z')), c.bodyBytes);
  }
}

TEST(SendResponse, ShortPartOfAMultipartReplyEndsThatPartOnly) {
  FakeRequest request;
  request.withHeader("Range", "bytes=0-9,20-29");
  // A response that stops delivering inside the first range.
  class Stingy : public http::HttpMimeResponse {
   public:
    using HttpMimeResponse::HttpMimeResponse;
    std::string read(size_t maxBytes) override {
      std::string piece = HttpMimeResponse::read(maxBytes);
      return piece.find('5') != std::string::npos ? std::string() : piece;
    }
  } response(std::string("0123456789") + std::string(20, '-'), "text/plain");
  RecordingConnection connection;
  http::sendResponse(&connection, &request, &response);
  const std::string boundary = connection.header("Content-Type").substr(31);
  EXPECT_EQ(connection.body, "\r\n--" + boundary + "\r\nContent-Range: bytes 0-9/30\r\n\r\n\r\n--" + boundary +
                                 "\r\nContent-Range: bytes 20-29/30\r\n\r\n----------\r\n--" + boundary + "--\r\n");
  EXPECT_EQ(connection.protocolErrors(), "");
}

TEST(SendResponse, ExceptionsFromTheResponsePassToTheCallerUnfinished) {
  class Failing : public http::HttpMimeResponse {
   public:
    using HttpMimeResponse::HttpMimeResponse;
    std::string read(size_t) override { throw std::runtime_error("disk gone"); }
  } response("abc", "text/plain");
  FakeRequest request;
  RecordingConnection connection;
  EXPECT_THROW(http::sendResponse(&connection, &request, &response), std::runtime_error);
  EXPECT_EQ(connection.finishCount, 0);
  EXPECT_EQ(connection.status, 200);
}

TEST(SendResponse, NullArgumentsAreRefused) {
  RecordingConnection connection;
  auto response = mime("x");
  EXPECT_EQ(http::sendResponse(nullptr, nullptr, response.get()), -1);
  EXPECT_EQ(http::sendResponse(&connection, nullptr, nullptr), -1);
  EXPECT_TRUE(connection.calls.empty());
  // Without a request the reply is the plain GET one.
  EXPECT_EQ(http::sendResponse(&connection, nullptr, response.get()), 0);
  EXPECT_EQ(connection.body, "x");
}

class FileThroughWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "pel-writer-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(FileThroughWriter, LargeFileRangesUse64BitOffsets) {
  const std::string path = (dir_ / "big.bin").string();
  const uint64_t size = (3ull << 30) + 11;
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(::fseeko(f, static_cast<off_t>(size - 11), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite("end of file", 1, 11, f), 11u);
    std::fclose(f);
  }
  {
    FakeRequest request("HEAD");
    RecordingConnection connection;
    http::HttpFileResponse response(path, "application/octet-stream");
    http::sendResponse(&connection, &request, &response);
    EXPECT_EQ(connection.header("Content-Length"), "3221225483");
    EXPECT_EQ(connection.body, "");
  }
  {
    FakeRequest request;
    request.withHeader("Range", "bytes=-11");
    RecordingConnection connection;
    http::HttpFileResponse response(path, "application/octet-stream");
    http::sendResponse(&connection, &request, &response);
    EXPECT_EQ(connection.status, 206);
    EXPECT_EQ(connection.header("Content-Range"), "bytes 3221225472-3221225482/3221225483");
    EXPECT_EQ(connection.body, "end of file");
  }
}

TEST_F(FileThroughWriter, MissingFile) {
  FakeRequest request;
  RecordingConnection connection;
  http::HttpFileResponse response((dir_ / "nope.png").string(), "image/png");
  http::sendResponse(&connection, &request, &response);
  EXPECT_EQ(connection.status, 404);
  EXPECT_EQ(connection.reason, "Not Found");
  EXPECT_EQ(connection.header("x-status-error"), "Not Found");
  EXPECT_EQ(connection.header("Content-Length"), "0");
  EXPECT_EQ(connection.body, "");
  EXPECT_EQ(connection.protocolErrors(), "");
}

TEST(FormatHttpDate, EnglishWhateverTheLocale) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {1700000000, "Tue, 14 Nov 2023 22:13:20 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},
      {INT64_MAX, "Thu, 01 Jan 1970 00:00:00 GMT"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(http::formatHttpDate(seconds), text) << seconds;
}

TEST(HttpSafeText, ControlAndNonAsciiAreReplaced) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text: 1/2 (ok)", "plain text: 1/2 (ok)"},
      {"a\r\nb", "a  b"},
      {std::string("nul\0end", 7), "nul end"},
      {"tab\there\x7f", "tab here "},
      {"caf\xc3\xa9", "caf?"},
      {"\xe6\x97\xa5\xe6\x9c\xac", "??"},
      {"\xf0\x9f\x98\x80!", "?!"},
      {"\x80\x80", "??"},
      {"\xe6\x97", "?"},
      {"\xc3" "a", "?a"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(http::httpSafeText(in), out);
}

TEST(HttpMessage, SetHeader) {
  auto head = http::makeHttpMessage(404, "", "HTTP/1.1");
  EXPECT_TRUE(head->built);
  EXPECT_EQ(head->reasonPhrase, "Not Found");
  EXPECT_EQ(http::makeHttpMessage(404, "gone", "HTTP/1.1")->reasonPhrase, "gone");
  head->setHeader("A", "1", false);
  head->setHeader("A", "2", false);
  head->setHeader("B", "3", false);
  head->setHeader("A", "4", true);
  head->setHeader("a", "5", true);
  EXPECT_EQ(head->headers, (http::HeaderList{{"A", "4"}, {"A", "2"}, {"B", "3"}, {"a", "5"}}));
  head->setHeader("A", "", true);
  EXPECT_EQ(head->headers, (http::HeaderList{{"B", "3"}, {"a", "5"}}));
}


// --- whole in-memory bodies -----------------------------------------------------------------

class StringBody : public http::HttpBodyBuffer {
 public:
  explicit StringBody(std::string bytes) : bytes_(std::move(bytes)) {}
  const char* data() const override { return bytes_.data(); }
  size_t size() const override { return bytes_.size(); }

 private:
  std::string bytes_;
};

// A buffer response that counts the pieces read from it.
class CountingBufferResponse : public http::HttpBufferResponse {
 public:
  using http::HttpBufferResponse::HttpBufferResponse;
  std::string read(size_t maxBytes) override {
    ++reads;
    return http::HttpBufferResponse::read(maxBytes);
  }
  int reads = 0;
};

// A connection that takes whole bodies as they are (as the engine's connection does).
class TakingConnection : public RecordingConnection, public http::HttpBodyTaker {
 public:
  bool takeBody(std::shared_ptr<const http::HttpBodyBuffer> whole) override {
    calls.push_back("take " + std::to_string(whole->size()));
    body.append(whole->data(), whole->size());
    taken = std::move(whole);
    return true;
  }
  std::shared_ptr<const http::HttpBodyBuffer> taken;
};

TEST(SendResponse, WholeBodiesGoWithoutBeingRead) {
  const std::string bytes = [] {
    std::string b(5000, '\0');
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 7);
    return b;
  }();
  struct Case {
    const char* name;
    bool taking;  // the connection takes whole bodies
    std::vector<std::pair<std::string, std::string>> requestHeaders;
    const char* method;
    std::vector<std::string> lastCalls;  // the trace's last lines
    std::string body;                    // what the peer got
    bool readsTheResponse;               // ranges are still read piece by piece
  };
  const Case cases[] = {
      {"taken whole", true, {}, "GET", {"header Content-Type: application/octet-stream", "take 5000", "finish"},
       bytes, false},
      {"written straight from the buffer in chunks", false, {{"X-ChunkSize", "2048"}}, "GET",
       {"write 2048", "write 2048", "write 904", "finish"}, bytes, false},
      {"a range is read as before", true, {{"Range", "bytes=10-19"}}, "GET",
       {"write 10", "finish"}, bytes.substr(10, 10), true},
      {"HEAD sends no body", true, {}, "HEAD", {"header Content-Type: application/octet-stream", "finish"}, "",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRequest request(c.method);
    for (const auto& [name, value] : c.requestHeaders) request.withHeader(name, value);
    TakingConnection taking;
    RecordingConnection plain;
    RecordingConnection& connection = c.taking ? taking : plain;
    auto response = std::make_shared<CountingBufferResponse>(std::make_shared<StringBody>(bytes),
                                                             "application/octet-stream");
    EXPECT_EQ(http::sendResponse(&connection, &request, response.get()), 0);
    EXPECT_EQ(connection.protocolErrors(), "");
    ASSERT_GE(connection.calls.size(), c.lastCalls.size());
    EXPECT_EQ(std::vector<std::string>(connection.calls.end() - c.lastCalls.size(), connection.calls.end()),
              c.lastCalls);
    EXPECT_EQ(connection.body, c.body);
    EXPECT_EQ(response->reads > 0, c.readsTheResponse);
    if (!c.requestHeaders.empty() && c.requestHeaders[0].first == "Range") continue;
    EXPECT_EQ(connection.header("Content-Length"), "5000");
  }

  // A peer that leaves stops the pieces; an empty body is neither taken nor written.
  FakeRequest request;
  request.withHeader("X-ChunkSize", "1024");
  RecordingConnection leaving;
  leaving.closeAfterWrites = 2;
  http::HttpBufferResponse response(std::make_shared<StringBody>(bytes), "x/y");
  http::sendResponse(&leaving, &request, &response);
  EXPECT_EQ(leaving.writes, 2u);
  EXPECT_EQ(leaving.finishCount, 1);
  for (auto body : {std::shared_ptr<const http::HttpBodyBuffer>(),
                    std::shared_ptr<const http::HttpBodyBuffer>(std::make_shared<StringBody>(""))}) {
    TakingConnection connection;
    http::HttpBufferResponse empty(body, "x/y");
    http::sendResponse(&connection, &request, &empty);
    EXPECT_EQ(connection.header("Content-Length"), "0");
    EXPECT_EQ(connection.writes, 0u);
    EXPECT_FALSE(connection.taken);
  }
}

TEST(SendResponse, ATakenBodyOutlivesItsResponse) {
  TakingConnection connection;
  {
    FakeRequest request;
    http::HttpBufferResponse response(std::make_shared<StringBody>("pixels"), "x/y");
    http::sendResponse(&connection, &request, &response);
  }
  ASSERT_TRUE(connection.taken);
  EXPECT_EQ(std::string(connection.taken->data(), connection.taken->size()), "pixels");
}

TEST(HttpBufferResponse, ReadsAndSeeksAsAMemoryBody) {
  http::HttpBufferResponse response(std::make_shared<StringBody>("abcdef"), "text/plain");
  EXPECT_EQ(response.headers(), (http::HeaderList{{"Content-Type", "text/plain"}}));
  EXPECT_EQ(response.read(4), "abcd");
  EXPECT_EQ(response.read(4), "ef");
  EXPECT_TRUE(response.isEnd());
  response.seek(1);
  EXPECT_EQ(response.read(2), "bc");
  response.seek(6);
  EXPECT_EQ(response.read(3), "");
  response.seek(7);
  EXPECT_THROW(response.read(1), std::out_of_range);
  http::HttpBufferResponse none(nullptr, nullptr);
  EXPECT_EQ(none.contentLength(), 0u);
  EXPECT_TRUE(none.isEnd());
  EXPECT_EQ(none.read(5), "");
}

}  // namespace
