// The "fetch" plugin against a local HTTP/HTTPS server: "fetch" replies written through the
// response writer, the body kinds, redirects, time-outs, broken bodies, a proxy, bounded memory,
// and "request"/"get"/"cancel".
#include <gtest/gtest.h>

#include <Poco/Base64Encoder.h>
#include <Poco/Net/SSLManager.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/http_fakes.h"
#include "support/local_http_server.h"
#include "zrkwebview/browser/src/http-plugins/fetch/fetch-plugin.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"

// The HTTP client library keeps a few small objects of its own to the end of the process (its
// shared thread pool and what hangs off it); they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcpprest.so\n"; }

// Freed memory goes back to use at once, so the process's size shows what is held.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }

namespace {

using json = nlohmann::json;
using pel::test::LocalHttpServer;
using pel::test::RecordedRequest;
using Response = Poco::Net::HTTPServerResponse;

struct Sent {
  int status = 0;
  std::string reason;
  http::HeaderList headers;
  std::string body;
  std::string header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
      if (k == name) return v;
    }
    return "";
  }
  bool has(const std::string& name) const {
    for (const auto& h : headers) {
      if (http::equalsIgnoringCase(h.first, name)) return true;
    }
    return false;
  }
};

class FetchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Poco::Net::initializeSSL(); }

  std::shared_ptr<http::HttpResponse> invoke(const std::string& command, const json& payload,
                                             pel::test::FakeRequest* page = nullptr) {
    pel::test::FakeRequest empty("POST", "https://app.local/plugin");
    auto result = plugin_.invoke(command, nullptr, nullptr, page ? page : &empty, payload);
    return std::dynamic_pointer_cast<http::HttpResponse>(result);
  }

  // Runs "fetch" and writes its reply through the response writer.
  Sent fetch(const std::string& url, const json& options = json::object(),
             pel::test::FakeRequest* page = nullptr) {
    auto response = invoke("fetch", {{"url", url}, {"options", options}}, page);
    Sent sent;
    if (!response) return sent;
    pel::test::FakeRequest pageRequest("POST", "https://app.local/plugin");
    pel::test::RecordingConnection connection;
    http::sendResponse(&connection, &pageRequest, response.get());
    sent.status = connection.status;
    sent.reason = connection.reason;
    sent.headers = connection.headers;
    sent.body = connection.body;
    EXPECT_EQ(connection.protocolErrors(), "");
    return sent;
  }

  static void reply(Response& response, int status, const std::string& body,
                    const std::string& type = "text/plain") {
    response.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status));
    response.setContentType(type);
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.send() << body;
  }

  zrk::plugin::FetchPlugin plugin_;
  LocalHttpServer server_;
};

TEST_F(FetchTest, StatusHeadersAndBodyPassOn) {
  server_.on("/ok", [](const RecordedRequest&, Response& r) {
    r.set("X-One", "1");
    reply(r, 200, "hello", "text/x-test");
  });
  server_.on("/missing", [](const RecordedRequest&, Response& r) { reply(r, 404, "not here"); });
  server_.on("/echo", [](const RecordedRequest& q, Response& r) {
    reply(r, 201, q.method + " " + q.header("Accept") + " " + q.header("Content-Type") + " " + q.body);
  });

  Sent ok = fetch(server_.url("/ok"));
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "hello");
  EXPECT_EQ(ok.header("Content-Type"), "text/x-test");
  EXPECT_EQ(ok.header("X-One"), "1");
  EXPECT_EQ(ok.header("Content-Length"), "5");  // the writer's own, once
  EXPECT_EQ(ok.header("Connection"), "");

  // An upstream failure status comes with its headers and no body.
  Sent missing = fetch(server_.url("/missing"));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.header("Content-Type"), "text/plain");
  EXPECT_EQ(missing.header("Content-Length"), "0");
  EXPECT_EQ(missing.body, "");

  // Headers of one name, in two letter cases, merge; unlisted methods send GET.
  Sent merged = fetch(server_.url("/echo"),
                      {{"method", "post"}, {"headers", {{"Accept", "a"}, {"accept", "b"}}}, {"body", "x"}});
  EXPECT_EQ(merged.status, 201);
  EXPECT_EQ(merged.body, "POST a, b text/plain; charset=utf-8 x");
  EXPECT_EQ(fetch(server_.url("/echo"), {{"method", "MERGE"}}).body, "GET   ");

  // With explicitHeaders every upstream header keeps its value under the prefixed name.
  Sent prefixed = fetch(server_.url("/ok"), {{"explicitHeaders", true}});
  EXPECT_EQ(prefixed.header("--ZRK-Middleware-Content-Type"), "text/x-test");
  EXPECT_EQ(prefixed.header("--ZRK-Middleware-Content-Length"), "5");
  EXPECT_EQ(prefixed.header("X-One"), "");
  EXPECT_EQ(prefixed.body, "hello");

  // A HEAD request: no length and no body.
  Sent head = fetch(server_.url("/ok"), {{"method", "head"}});
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "0");
  EXPECT_EQ(head.body, "");
}

TEST_F(FetchTest, RefusalsAndNumbers) {
  struct Case {
    json payload;
    int status;
    std::string text;  // empty: only non-empty
  };
  const std::string x = server_.url("/x");
  auto with = [&](const char* options) { return json{{"url", x}, {"options", json::parse(options)}}; };
  const std::vector<Case> cases = {
      {json::parse(R"({"options": {}})"), 400, "Missing url"},
      {json::parse(R"({"url": 5})"), 400, "Missing url"},
      {json::parse(R"({"url": "ftp://127.0.0.1/x"})"), 400, ""},
      {json::parse(R"({"url": "http://127.0.0.1:1/refused"})"), 440, ""},
      {with(R"({"headers": {"A": 1}})"), 400,
       "[json.exception.type_error.302] type must be string, but is number"},
      {with(R"({"timeout": 1e300})"), 400, "\"timeout\" is out of range"},
      {with(R"({"timeout": -1})"), 400, "\"timeout\" is out of range"},
      {with(R"({"redirects": {"max_redirects": -1}})"), 400, "\"max_redirects\" is out of range"},
      {with(R"({"redirects": {"follow_https_to_http": 1}})"), 400,
       "[json.exception.type_error.302] type must be boolean, but is number"},
      {with(R"({"body": [1, 2, 1e300]})"), 400, "A body byte is out of range"},
      {with(R"({"body": [1, "2"]})"), 400,
       "[json.exception.type_error.302] type must be number, but is string"},
      {with(R"({"body": {"path": "/tmp"}})"), 400, "\"/tmp\" is not a file."},
      {with(R"({"body": {"path": "/no/such/file", "filename": "f"}})"), 400,
       "\"/no/such/file\" is not a file."},
  };
  {
    json binary{{"url", x}, {"options", {{"body", json::binary({1})}}}};
    auto r = invoke("fetch", binary);
    EXPECT_EQ(r->status(), 400);
    EXPECT_EQ(r->statusMessage(), "binary body [NOT SUPPORTED]");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload.dump());
    auto r = invoke("fetch", c.payload);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->status(), c.status);
    if (c.text.empty()) {
      EXPECT_FALSE(r->statusMessage().empty());
    } else {
      EXPECT_EQ(r->statusMessage(), c.text);
    }
  }
  EXPECT_TRUE(server_.requests().empty());  // nothing was sent for any of them
  EXPECT_EQ(invoke("nothing", json::object()), nullptr);
}

// Every kind of "body", as the server received it.
TEST_F(FetchTest, BodyKinds) {
  char pattern[] = "/tmp/pel-fetch-body-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  const std::string one = dir + "/one.txt", two = dir + "/two.bin";
  std::ofstream(one, std::ios::binary) << "first file";
  std::ofstream(two, std::ios::binary) << std::string("\0\r\n--x\xff", 7);
  server_.on("/b", [](const RecordedRequest&, Response& r) { reply(r, 200, "ok"); });

  struct Case {
    json options;
    std::string body;  // exact; for multipart the parts are checked below
    std::string type;  // "multipart" for a multipart type
  };
  const std::vector<Case> cases = {
      {{{"method", "POST"}, {"body", ""}}, "", "text/plain; charset=utf-8"},
      {{{"method", "POST"}, {"body", "é"}, {"headers", {{"Content-Type", "application/json"}}}}, "é",
       "application/json"},
      {{{"method", "POST"}, {"body", {{"a", 1}}}}, "{\"a\":1}", "text/plain; charset=utf-8"},
      {{{"method", "POST"}, {"body", {1, 2, 300, true}}}, std::string("\x01\x02\x2c\x01", 4),
       "application/octet-stream"},
      {{{"method", "POST"}, {"body", json::array()}}, "", ""},
      {{{"method", "POST"}, {"body", nullptr}}, "", ""},
      {{{"method", "PUT"}, {"body", {{"path", one}}}}, "first file", "application/octet-stream"},
      {{{"method", "POST"},
        {"body", {{{"path", one}}, 7, {{"path", two}, {"name", "second"}, {"mime", "x/y"}}}},
        {"headers", {{"Content-Type", "text/plain"}}}},
       "", "multipart"},
      {{{"method", "POST"}, {"body", {{"path", one}, {"filename", "renamed.txt"}}}}, "", "multipart"},
  };
  size_t expectedRequests = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.dump());
    Sent sent = fetch(server_.url("/b"), c.options);
    ASSERT_EQ(sent.status, 200) << sent.reason;
    ASSERT_TRUE(server_.waitForRequests(++expectedRequests));
    const RecordedRequest got = server_.requests().back();
    if (c.type != "multipart") {
      EXPECT_EQ(got.body, c.body);
      EXPECT_EQ(got.header("Content-Type"), c.type);
      continue;
    }
    const std::string type = got.header("Content-Type");
    ASSERT_EQ(type.rfind("multipart/form-data; boundary=", 0), 0u) << type;
    const std::string b = type.substr(type.find('=') + 1);
    if (c.options["body"].is_array()) {
      EXPECT_EQ(got.body,
                "--" + b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"one.txt\"\r\n"
                "Content-Type: text/plain\r\n\r\nfirst file\r\n--" + b +
                "\r\nContent-Disposition: form-data; name=\"second\"; filename=\"two.bin\"\r\n"
                "Content-Type: x/y\r\n\r\n" + std::string("\0\r\n--x\xff", 7) + "\r\n--" + b + "--\r\n");
    } else {
      EXPECT_NE(got.body.find("filename=\"renamed.txt\""), std::string::npos);
    }
  }
  // A missing file among the parts: 400 and nothing sent.
  const size_t before = server_.requests().size();
  auto r = invoke("fetch", {{"url", server_.url("/b")},
                            {"options", {{"method", "POST"}, {"body", {{{"path", one}}, {{"path", dir + "/gone"}}}}}}});
  EXPECT_EQ(r->status(), 400);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server_.requests().size(), before);

  // Without "body" the page's own body passes through, read to its end in pieces.
  pel::test::FakeRequest page("POST", "https://app.local/plugin");
  page.withHeader("Content-Type", "application/x-page").withBodyPieces({"ab", "c", std::string(70000, 'd')});
  Sent passed = fetch(server_.url("/b"), {{"method", "PATCH"}}, &page);
  EXPECT_EQ(passed.status, 200);
  ASSERT_TRUE(server_.waitForRequests(before + 1));
  EXPECT_EQ(server_.requests().back().method, "PATCH");
  EXPECT_EQ(server_.requests().back().body, "abc" + std::string(70000, 'd'));
  EXPECT_EQ(server_.requests().back().header("Content-Type"), "application/x-page");
  std::filesystem::remove_all(dir);
}

TEST_F(FetchTest, Redirects) {
  server_.on("/target", [](const RecordedRequest& q, Response& r) { reply(r, 200, q.method + ":" + q.body); });
  auto redirect = [](int status, std::string location) {
    return [status, location](const RecordedRequest&, Response& r) {
      r.set("Location", location);
      reply(r, status, "moved");
    };
  };
  server_.on("/302", redirect(302, "/target"));
  server_.on("/307", redirect(307, "/target"));
  server_.on("/hop1", redirect(301, "/hop2"));
  server_.on("/hop2", redirect(302, server_.url("/target")));
  server_.on("/loopA", redirect(302, "/loopB"));
  server_.on("/loopB", redirect(302, "/loopA"));
  LocalHttpServer secure(true);
  secure.on("/down", redirect(302, server_.url("/target")));
  secure.on("/ok", [](const RecordedRequest&, Response& r) { reply(r, 200, "secure"); });

  EXPECT_EQ(fetch(server_.url("/302"), {{"method", "POST"}, {"body", "data"}}).body, "GET:");
  EXPECT_EQ(fetch(server_.url("/307"), {{"method", "POST"}, {"body", "data"}}).body, "POST:data");
  EXPECT_EQ(fetch(server_.url("/hop1")).body, "GET:");
  Sent stopped = fetch(server_.url("/hop1"), {{"redirects", {{"max_redirects", 1}}}});
  EXPECT_EQ(stopped.status, 302);
  Sent none = fetch(server_.url("/302"), {{"redirects", {{"max_redirects", 0}}}});
  EXPECT_EQ(none.status, 302);
  EXPECT_EQ(none.header("Location"), "/target");
  auto loop = invoke("fetch", {{"url", server_.url("/loopA")}});
  EXPECT_EQ(loop->status(), 440);
  EXPECT_FALSE(loop->statusMessage().empty());

  EXPECT_EQ(fetch(secure.url("/ok")).body, "secure");
  EXPECT_EQ(fetch(secure.url("/down")).status, 302);  // https to http is not followed by default
  EXPECT_EQ(fetch(secure.url("/down"), {{"redirects", {{"follow_https_to_http", true}}}}).body, "GET:");
}

TEST_F(FetchTest, FramingOfUpstreamBodies) {
  server_.on("/chunked", [](const RecordedRequest&, Response& r) {
    r.setChunkedTransferEncoding(true);
    std::ostream& out = r.send();
    out << "piece one,";
    out.flush();
    out << "piece two";
  });
  server_.on("/nolength", [](const RecordedRequest&, Response& r) {
    r.setKeepAlive(false);
    r.setContentType("text/plain");
    r.send() << "until the connection closes";
  });
  server_.on("/gzipchunked", [](const RecordedRequest&, Response& r) {
    r.set("Transfer-Encoding", "gzip, chunked");
    r.setKeepAlive(false);
    r.send() << "5\r\nhello\r\n0\r\n\r\n";
  });
  server_.on("/ten", [](const RecordedRequest&, Response& r) { reply(r, 200, "0123456789"); });

  Sent chunked = fetch(server_.url("/chunked"));
  EXPECT_EQ(chunked.body, "piece one,piece two");
  EXPECT_EQ(chunked.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(chunked.header("Content-Length"), "");

  Sent open = fetch(server_.url("/nolength"));
  EXPECT_EQ(open.body, "until the connection closes");
  EXPECT_EQ(open.header("Transfer-Encoding"), "chunked");  // never a length of 0 with a body

  Sent gzip = fetch(server_.url("/gzipchunked"));
  EXPECT_EQ(gzip.status, 200);
  EXPECT_FALSE(gzip.has("Content-Length") && gzip.header("Content-Length") == "0" && !gzip.body.empty());

  // Pieces never exceed what the writer asks for; isEnd right after the last byte.
  auto response = invoke("fetch", {{"url", server_.url("/ten")}});
  ASSERT_EQ(response->status(), 200);
  EXPECT_FALSE(response->supportsRanges());
  EXPECT_EQ(response->contentLength(), 10u);
  std::string all;
  while (!response->isEnd()) {
    std::string piece = response->read(4);
    ASSERT_LE(piece.size(), 4u);
    ASSERT_FALSE(piece.empty());
    all += piece;
  }
  EXPECT_EQ(all, "0123456789");
}

TEST_F(FetchTest, TimeOutsStallsAndDrops) {
  server_.on("/slow", [this](const RecordedRequest&, Response& r) {
    server_.waitUnlessStopping(std::chrono::seconds(3));
    reply(r, 200, "late");
  });
  server_.on("/stall", [this](const RecordedRequest&, Response& r) {
    r.setContentLength(100);
    std::ostream& out = r.send();
    out << "0123456789";
    out.flush();
    server_.waitUnlessStopping(std::chrono::seconds(4));
  });
  server_.on("/drop", [](const RecordedRequest&, Response& r) {
    r.setContentLength(100);
    std::ostream& out = r.send();
    out << "0123456789";
    out.flush();
    throw std::runtime_error("dropped");
  });
  auto slow = invoke("fetch", {{"url", server_.url("/slow")}, {"options", {{"timeout", 1}}}});
  EXPECT_EQ(slow->status(), 440);
  EXPECT_FALSE(slow->statusMessage().empty());

  const auto start = std::chrono::steady_clock::now();
  Sent stalled = fetch(server_.url("/stall"), {{"timeout", 1}});
  EXPECT_EQ(stalled.status, 200);
  EXPECT_LT(stalled.body.size(), 100u);  // the reply ends short
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));

  Sent dropped = fetch(server_.url("/drop"));
  EXPECT_EQ(dropped.status, 200);
  EXPECT_LT(dropped.body.size(), 100u);
  server_.release();
}

TEST_F(FetchTest, ProxyWithCredentials) {
  server_.on("/via", [](const RecordedRequest&, Response& r) { reply(r, 200, "proxied"); });
  Sent sent = fetch("http://origin.invalid/via",
                    {{"proxy", {{"address", server_.origin()}, {"username", "user"}, {"password", "pw"}}}});
  EXPECT_EQ(sent.body, "proxied");
  ASSERT_TRUE(server_.waitForRequests(1));
  const RecordedRequest got = server_.requests().back();
  EXPECT_EQ(got.target, "http://origin.invalid/via");
  EXPECT_EQ(got.header("Proxy-Authorization"), "Basic dXNlcjpwdw==");
  // Credentials without an address: no proxy (and origin.invalid cannot be reached).
  auto direct = invoke("fetch", {{"url", "http://origin.invalid/via"},
                                 {"options", {{"proxy", {{"username", "user"}, {"password", "pw"}}}}}});
  EXPECT_EQ(direct->status(), 440);
}

// A body far larger than memory should hold goes through a slow reader with the buffer bounded.
TEST_F(FetchTest, LargeBodyThroughASlowReaderStaysBounded) {
  constexpr size_t kSize = 100u << 20;
  server_.on("/big", [](const RecordedRequest&, Response& r) {
    r.setContentLength64(kSize);
    std::ostream& out = r.send();
    const std::string block(1 << 20, 'z');
    for (size_t i = 0; i < kSize / block.size() && out; ++i) out.write(block.data(), block.size());
  });
  auto rss = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
    }
    return 0ul;
  };
  const size_t before = rss();
  auto response = invoke("fetch", {{"url", server_.url("/big")}});
  ASSERT_EQ(response->status(), 200);
  struct Counting : http::HttpResponseConnection {
    uint64_t bytes = 0;
    size_t writes = 0;
    int write(const void*, size_t n) override {
      bytes += n;
      if (++writes % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return static_cast<int>(n);
    }
    void addHeader(const std::string&, const std::string&) override {}
    void setStatus(int, const char*) override {}
    void finish() override {}
  } connection;
  pel::test::FakeRequest pageRequest("POST", "https://app.local/plugin");
  pageRequest.withHeader("X-ChunkSize", "65536");
  http::sendResponse(&connection, &pageRequest, response.get());
  EXPECT_EQ(connection.bytes, kSize);
  auto* fetched = dynamic_cast<zrk::plugin::FetchResponse*>(response.get());
  ASSERT_NE(fetched, nullptr);
  EXPECT_LE(fetched->bufferHighWaterMark(), 2u << 20);
  const size_t after = rss();
  EXPECT_LT(after > before ? after - before : 0, kSize / 4) << "RSS grew from " << before << " to " << after;
}

TEST_F(FetchTest, RequestGetCancel) {
  server_.on("/data", [](const RecordedRequest&, Response& r) {
    r.set("X-Kind", "data");
    reply(r, 200, "0123456789");
  });
  server_.on("/gone", [](const RecordedRequest&, Response& r) { reply(r, 404, "nope"); });
  auto request = [&](const std::string& path, json options = json::object()) {
    auto r = invoke("request", {{"url", server_.url(path)}, {"options", options}});
    auto* mime = dynamic_cast<http::HttpMimeResponse*>(r.get());
    EXPECT_NE(mime, nullptr) << r->statusMessage();
    return mime ? json::parse(mime->body()) : json();
  };
  auto get = [&](const std::string& uid, json length) {
    json payload{{"uid", uid}};
    if (!length.is_null()) payload["length"] = length;
    return invoke("get", payload);
  };
  auto bodyOf = [](const std::shared_ptr<http::HttpResponse>& r) {
    auto* mime = dynamic_cast<http::HttpMimeResponse*>(r.get());
    return mime ? mime->body() : std::string("<not a body>");
  };
  auto remoteStatus = [](const std::shared_ptr<http::HttpResponse>& r) {
    for (const auto& [k, v] : r->headers()) {
      if (k == "zrk-remote-status") return v;
    }
    return std::string();
  };

  json reply = request("/data");
  const std::string uid = reply["uid"];
  EXPECT_EQ(uid.size(), 32u);
  EXPECT_EQ(uid.rfind("dl-", 0), 0u);
  bool kind = false;
  for (const auto& h : reply["headers"]) kind = kind || (h[0] == "X-Kind" && h[1] == "data");
  EXPECT_TRUE(kind);

  EXPECT_EQ(get(uid, nullptr)->statusMessage(), "uid is required");
  EXPECT_EQ(get(uid, -1)->status(), 400);
  std::string all;
  for (int i = 0; i < 20; ++i) {
    auto piece = get(uid, 4);
    ASSERT_EQ(piece->status(), 200);
    if (!remoteStatus(piece).empty()) {
      EXPECT_EQ(remoteStatus(piece), "0");
      break;
    }
    EXPECT_LE(bodyOf(piece).size(), 4u);
    all += bodyOf(piece);
  }
  EXPECT_EQ(all, "0123456789");
  EXPECT_EQ(get(uid, 4)->statusMessage(), "item not found: " + uid);

  const std::string failed = request("/gone")["uid"];
  for (int i = 0; i < 2; ++i) EXPECT_EQ(remoteStatus(get(failed, 0)), "404");
  EXPECT_EQ(invoke("cancel", {{"uid", failed}})->status(), 200);
  EXPECT_EQ(invoke("cancel", {{"uid", failed}})->statusMessage(), "ok");
  EXPECT_EQ(get(failed, 0)->status(), 400);
  EXPECT_EQ(invoke("cancel", json::object())->statusMessage(), "uid is required");

  auto post = invoke("request", {{"url", server_.url("/data")}, {"options", {{"method", "post"}}}});
  EXPECT_EQ(post->statusMessage(), "Unsupported method: post");
  EXPECT_EQ(invoke("request", {{"url", "http://127.0.0.1:1/x"}})->status(), 400);
}

// A stored body larger than the buffer, left unread longer than the time-out: the client gives
// up on it and a later "get" answers 440.
TEST_F(FetchTest, StoredBodyLeftUnreadTimesOut) {
  server_.on("/large", [](const RecordedRequest&, Response& r) {
    r.setContentLength64(8u << 20);
    std::ostream& out = r.send();
    const std::string block(1 << 20, 'y');
    for (int i = 0; i < 8 && out; ++i) out.write(block.data(), block.size());
  });
  auto r = invoke("request", {{"url", server_.url("/large")}, {"options", {{"timeout", 1}}}});
  auto* mime = dynamic_cast<http::HttpMimeResponse*>(r.get());
  ASSERT_NE(mime, nullptr) << r->statusMessage();
  const std::string uid = json::parse(mime->body())["uid"];
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  int status = 200;
  uint64_t got = 0;
  for (int i = 0; i < 200 && status == 200; ++i) {
    auto piece = invoke("get", {{"uid", uid}, {"length", 1 << 20}});
    status = piece->status();
    if (auto* m = dynamic_cast<http::HttpMimeResponse*>(piece.get())) got += m->body().size();
    bool ended = false;
    for (const auto& [k, v] : piece->headers()) ended = ended || k == "zrk-remote-status";
    ASSERT_FALSE(ended) << "the whole body arrived after " << got << " bytes";
  }
  EXPECT_EQ(status, 440);
  EXPECT_LT(got, 8u << 20);
  invoke("cancel", {{"uid", uid}});
}

TEST(FetchRegistration, RegistersOnceUnderItsName) {
  zrk::plugin::registerFetchPlugin();
  auto first = zrk::plugin::PluginRegistry::find("fetch");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->description(), "fetch middleware plugin");
  EXPECT_EQ(first->version(), "1.0");
  EXPECT_STREQ(first->className(), "FetchPlugin");
  zrk::plugin::registerFetchPlugin();
  EXPECT_EQ(zrk::plugin::PluginRegistry::find("fetch"), first);
}

}  // namespace
