// The loopback server with a plain HTTP client standing in for the browser: tokens are good once,
// bodies arrive whole both ways, and a transfer the engine ends is cut off.
#include <gtest/gtest.h>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "desk/web/loopback_transfer.h"

using namespace desk::web;

namespace {

struct Fetched {
  int status = -1;  // -1: no reply at all
  std::string reason;
  std::string body;
  std::string header;  // the value of "x-test"
  bool complete = false;  // the whole announced body came
};

Fetched fetch(int port, const std::string& path, const std::string& method = "GET", const std::string& body = {}) {
  Fetched f;
  try {
    Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port));
    session.setTimeout(Poco::Timespan(20, 0));
    Poco::Net::HTTPRequest req(method, path, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!body.empty()) req.setContentLength64(static_cast<Poco::Int64>(body.size()));
    session.sendRequest(req).write(body.data(), static_cast<std::streamsize>(body.size()));
    Poco::Net::HTTPResponse res;
    std::istream& in = session.receiveResponse(res);
    f.status = res.getStatus();
    f.reason = res.getReason();
    f.header = res.get("x-test", "");
    std::ostringstream out;
    Poco::StreamCopier::copyStream64(in, out);
    f.body = out.str();
    f.complete = !res.hasContentLength() || static_cast<uint64_t>(res.getContentLength64()) == f.body.size();
  } catch (const Poco::Exception&) {
  }
  return f;
}

std::string pathOf(const std::string& url) { return url.substr(url.find('/', std::strlen("http://"))); }

std::string bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + (i >> 9)) & 255);
  return s;
}

class MemorySource : public BodySource {
 public:
  MemorySource(std::string data, size_t failAt) : data_(std::move(data)), failAt_(failAt) {}
  uint64_t size() const override { return data_.size(); }
  int64_t read(char* buffer, size_t max) override {
    if (at_ >= failAt_) return -1;
    size_t n = std::min({max, data_.size() - at_, failAt_ - at_});
    std::memcpy(buffer, data_.data() + at_, n);
    at_ += n;
    return static_cast<int64_t>(n);
  }

 private:
  std::string data_;
  size_t failAt_;
  size_t at_ = 0;
};

// What the owner received, handed from the server thread to the test.
struct Inbox {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<Request, std::shared_ptr<Deferral>>> got;
  LoopbackServer::Arrived arrived() {
    return [this](Request r, std::shared_ptr<Deferral> d) {
      std::lock_guard lock(m);
      got.emplace_back(std::move(r), std::move(d));
      cv.notify_all();
    };
  }
  bool wait(size_t n) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return got.size() >= n; });
  }
};

TEST(LoopbackServer, ATokenIsGoodForOneRequestAndBodiesArriveWhole) {
  LoopbackServer server;
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  ASSERT_GT(server.port(), 0);
  Inbox inbox;
  std::string token;
  std::string url = server.expect(Request{"POST", "https://pelmora/getimage?action=write", {{"zrk-a", "1"}}, {}},
                                  7, inbox.arrived(), &token);
  ASSERT_EQ(url.rfind("http://127.0.0.1:" + std::to_string(server.port()) + "/", 0), 0u) << url;
  EXPECT_EQ(token.size(), 32u);
  EXPECT_NE(url.find(token), std::string::npos);
  EXPECT_EQ(server.activeTransfers(), 1u);

  const std::string upload = bytes(3 << 20);
  const std::string reply = bytes(5 << 20);
  std::thread owner([&] {
    if (!inbox.wait(1)) return;
    auto& [request, deferral] = inbox.got[0];
    Response r;
    r.status = 420;
    r.reason = "plugin invoke failed";
    r.headers = {{"x-test", "yes"}, {"Content-Length", "3"}};
    r.bodySource = std::make_shared<MemorySource>(reply, reply.size());
    EXPECT_EQ(deferral->complete(r), Result::ok);
    EXPECT_EQ(deferral->complete(Response{}), Result::failed);  // once only
  });
  Fetched f = fetch(server.port(), pathOf(url), "POST", upload);
  owner.join();
  ASSERT_EQ(inbox.got.size(), 1u);
  // The owner sees the request it was told about, with the body from the connection.
  const Request& seen = inbox.got[0].first;
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.url, "https://pelmora/getimage?action=write");
  EXPECT_EQ(seen.headers, (Headers{{"zrk-a", "1"}}));
  EXPECT_TRUE(seen.body == upload) << seen.body.size();
  EXPECT_EQ(f.status, 420);
  EXPECT_EQ(f.reason, "plugin invoke failed");
  EXPECT_EQ(f.header, "yes");
  EXPECT_TRUE(f.complete);
  EXPECT_TRUE(f.body == reply) << f.body.size();

  // Spent, wrong and missing tokens are refused.
  uint64_t before = server.refusals();
  for (const std::string& path : {pathOf(url), std::string("/t/") + std::string(32, '0'), std::string("/"),
                                  std::string("/t/")}) {
    EXPECT_EQ(fetch(server.port(), path).status, 403) << path;
  }
  EXPECT_EQ(server.refusals(), before + 4);
  EXPECT_EQ(server.activeTransfers(), 0u);
  // Every token is new.
  std::string second;
  server.expect(Request{}, 7, inbox.arrived(), &second);
  EXPECT_NE(second, token);
  server.forget(second);
  EXPECT_EQ(server.activeTransfers(), 0u);
}

TEST(LoopbackServer, TransfersTheEngineEndsAreCutOff) {
  LoopbackServer server;
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  Inbox inbox;

  // A reply not given yet when the webview goes: the client gets no reply, the owner `closed`.
  std::string waiting = server.expect(Request{"GET", "https://pelmora/a", {}, {}}, 1, inbox.arrived());
  std::string unused = server.expect(Request{"GET", "https://pelmora/b", {}, {}}, 1, inbox.arrived());
  std::string other = server.expect(Request{"GET", "https://pelmora/c", {}, {}}, 2, inbox.arrived());
  Fetched cut;
  std::thread client([&] { cut = fetch(server.port(), pathOf(waiting)); });
  ASSERT_TRUE(inbox.wait(1));
  server.cancelGroup(1, Result::closed);
  client.join();
  EXPECT_EQ(cut.status, -1);
  EXPECT_TRUE(inbox.got[0].second->done());
  EXPECT_EQ(inbox.got[0].second->complete(Response{}), Result::closed);
  // The group's unused token is gone; the other group's still works.
  EXPECT_EQ(fetch(server.port(), pathOf(unused)).status, 403);
  EXPECT_EQ(server.activeTransfers(), 1u);

  // A source that fails half-way cuts the reply short; a dropped deferral gives no reply.
  std::string failing = server.expect(Request{}, 3, inbox.arrived());
  std::string dropped = server.expect(Request{}, 3, inbox.arrived());
  std::thread owner([&] {
    if (!inbox.wait(2)) return;
    Response r;
    r.bodySource = std::make_shared<MemorySource>(bytes(4 << 20), 1 << 20);
    inbox.got[1].second->complete(r);
    if (!inbox.wait(3)) return;
    std::lock_guard lock(inbox.m);
    inbox.got[2].second.reset();
  });
  Fetched shortReply = fetch(server.port(), pathOf(failing));
  Fetched none = fetch(server.port(), pathOf(dropped));
  owner.join();
  EXPECT_EQ(shortReply.status, 200);
  EXPECT_FALSE(shortReply.complete);
  EXPECT_LT(shortReply.body.size(), 4u << 20);
  EXPECT_EQ(none.status, -1);

  // Stopping ends what is left, and no token works afterwards.
  Fetched late;
  std::thread lastClient([&] { late = fetch(server.port(), pathOf(other)); });
  ASSERT_TRUE(inbox.wait(4));
  int port = server.port();
  server.stop(Result::browserGone);
  lastClient.join();
  EXPECT_EQ(late.status, -1);
  EXPECT_EQ(inbox.got[3].second->complete(Response{}), Result::browserGone);
  EXPECT_EQ(server.activeTransfers(), 0u);
  EXPECT_EQ(fetch(port, "/").status, -1);
  EXPECT_TRUE(server.expect(Request{}, 1, inbox.arrived()).empty());
}

// One kept-alive client connection, as the browser holds one: requests go on it in turn.
struct KeptSession {
  Poco::Net::HTTPClientSession session;
  KeptSession(int port) : session("127.0.0.1", static_cast<Poco::UInt16>(port)) {
    session.setTimeout(Poco::Timespan(20, 0));
    session.setKeepAlive(true);
  }
  Fetched get(const std::string& path) {
    Fetched f;
    try {
      Poco::Net::HTTPRequest req("GET", path, Poco::Net::HTTPMessage::HTTP_1_1);
      session.sendRequest(req);
      Poco::Net::HTTPResponse res;
      std::istream& in = session.receiveResponse(res);
      f.status = res.getStatus();
      std::ostringstream out;
      Poco::StreamCopier::copyStream64(in, out);
      f.body = out.str();
      f.complete = !res.hasContentLength() || static_cast<uint64_t>(res.getContentLength64()) == f.body.size();
    } catch (const Poco::Exception&) {
      session.reset();
    }
    return f;
  }
};

TEST(LoopbackServer, RepliesGivenBeforehandGoOnKeptAliveConnections) {
  LoopbackServer server;
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  Inbox inbox;
  KeptSession client(server.port());

  // Replies registered before the request comes: the string and the source bodies, one after
  // the other on one connection; the owner is not asked again.
  Response text;
  text.status = 203;
  text.reason = "Made Here";
  text.body = bytes(6 << 20);
  Response streamed;
  streamed.bodySource = std::make_shared<MemorySource>(bytes(5 << 20), 5 << 20);
  std::string first = server.expectReply(text, 4);
  std::string second = server.expectReply(streamed, 4);
  EXPECT_EQ(server.activeTransfers(), 2u);
  Fetched a = client.get(pathOf(first));
  Fetched b = client.get(pathOf(second));
  EXPECT_EQ(a.status, 203);
  EXPECT_TRUE(a.complete && a.body == text.body) << a.body.size();
  EXPECT_EQ(b.status, 200);
  EXPECT_TRUE(b.complete && b.body == bytes(5 << 20)) << b.body.size();
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_EQ(server.served(), 2u);
  EXPECT_TRUE(inbox.got.empty());

  // A transfer that ends without a reply on a used connection: the client's repeated request,
  // on a fresh connection, gets no reply either, never a 403; the owner heard of it once.
  std::string failing = server.expect(Request{"GET", "https://pelmora/f", {}, {}}, 4, inbox.arrived());
  std::thread owner([&] {
    if (inbox.wait(1)) inbox.got[0].second->fail();
  });
  Fetched cut = client.get(pathOf(failing));
  owner.join();
  EXPECT_EQ(cut.status, -1);
  uint64_t refused = server.refusals();
  EXPECT_EQ(fetch(server.port(), pathOf(failing)).status, -1);
  EXPECT_EQ(server.refusals(), refused);
  EXPECT_EQ(inbox.got.size(), 1u);
  // A token whose reply went out whole stays spent.
  EXPECT_EQ(fetch(server.port(), pathOf(first)).status, 403);

  // A reply given beforehand is dropped with its group, or cut off under way.
  std::string dropped = server.expectReply(text, 5);
  server.cancelGroup(5, Result::closed);
  EXPECT_EQ(server.activeTransfers(), 0u);
  EXPECT_EQ(fetch(server.port(), pathOf(dropped)).status, 403);
  // And a cancel after a transfer let its connection go does not cut the next request on it.
  KeptSession again(server.port());
  std::string one = server.expectReply(text, 6);
  std::string two = server.expectReply(text, 7);
  EXPECT_EQ(again.get(pathOf(one)).status, 203);
  server.cancelGroup(6, Result::closed);
  Fetched next = again.get(pathOf(two));
  EXPECT_EQ(next.status, 203);
  EXPECT_TRUE(next.complete);
}

}  // namespace
