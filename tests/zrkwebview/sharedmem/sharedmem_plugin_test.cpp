#include "zrkwebview/browser/src/http-plugins/sharedmem/sharedmem-plugin.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/shared-data-store.h"

namespace {

using nlohmann::json;

struct Reply {
  int status = 0;  // 0: no reply (an unknown command)
  std::string message;
  std::string type;
  std::string body;
};

Reply call(const std::string& command, const json& payload, http::HttpRequest* request = nullptr) {
  static zrk::plugin::SharedMemPlugin plugin;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(
      plugin.invoke(command, nullptr, nullptr, request, payload));
  Reply reply;
  if (!response) return reply;
  reply.status = response->status();
  reply.message = response->statusMessage();
  if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(response)) {
    reply.type = mime->mimeType();
  }
  if (reply.status == 200) {
    for (std::string piece; !(piece = response->read(65536)).empty();) reply.body += piece;
  }
  return reply;
}

// "write" of a body that arrives in the given pieces; returns the uid.
std::string write(std::vector<std::string> pieces, const json& options = json::object()) {
  pel::test::FakeRequest request("POST", "https://app.local/plugin");
  request.withHeader("Content-Type", "application/octet-stream");
  request.withBodyPieces(std::move(pieces));
  const Reply reply = call("write", options, &request);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.type, "text/plain");
  return reply.body;
}

class SharedMem : public ::testing::Test {
 protected:
  void SetUp() override { zrk::SharedDataStore::clear(); }
};

TEST_F(SharedMem, WriteKeepsTheWholeBodyWhateverItsPieces) {
  const std::string big(3000, 'x');
  const std::vector<std::vector<std::string>> bodies = {
      {big},
      {std::string(1024, 'a'), std::string(1024, 'b')},  // exactly 2048 bytes
      {std::string(100, 'p'), std::string(5000, 'q'), "r"},  // a short piece is not the end
      {},
  };
  for (const auto& pieces : bodies) {
    std::string whole;
    for (const auto& piece : pieces) whole += piece;
    const std::string uid = write(pieces);
    EXPECT_EQ(uid.size(), 36u) << uid;
    const Reply read = call("read", json{{"uid", uid}});
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(read.type, "application/octet-stream");
    EXPECT_EQ(read.body, whole);
  }
}

TEST_F(SharedMem, OnceBlocksGoWithTheirFirstRead) {
  const std::string once = write({"mask"}, json{{"once", true}});
  const std::string kept = write({"pixels"}, json{{"once", "true"}});  // text is not a boolean
  EXPECT_EQ(call("read", json{{"uid", once}}).body, "mask");
  const Reply again = call("read", json{{"uid", once}});
  EXPECT_EQ(again.status, 404);
  EXPECT_EQ(again.message, "Could not find data for: `" + once + "`");
  EXPECT_EQ(call("read", json{{"uid", kept}}).body, "pixels");
  EXPECT_EQ(call("read", json{{"uid", kept}}).body, "pixels");
}

TEST_F(SharedMem, AOnceBlockReadFromTwoThreadsIsDeliveredOnce) {
  for (int round = 0; round < 50; ++round) {
    const std::string uid = write({"block"}, json{{"once", true}});
    std::atomic<int> delivered{0}, missing{0};
    auto reader = [&] {
      const Reply reply = call("read", json{{"uid", uid}});
      if (reply.status == 200 && reply.body == "block") ++delivered;
      if (reply.status == 404) ++missing;
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    EXPECT_EQ(delivered.load(), 1);
    EXPECT_EQ(missing.load(), 1);
  }
}

TEST_F(SharedMem, ListDeleteAndClear) {
  EXPECT_EQ(call("list", json()).body, "null");
  const std::string a = write({"12345"}, json{{"once", true}});
  const std::string b = write({"1"});
  const Reply list = call("list", json());
  EXPECT_EQ(list.type, "application/json");
  json expected = json::array({json{{"id", a}, {"size", 5}, {"once", true}},
                               json{{"id", b}, {"size", 1}, {"once", false}}});
  if (b < a) std::swap(expected[0], expected[1]);  // in uid order
  EXPECT_EQ(json::parse(list.body), expected);
  EXPECT_EQ(call("list", json()).body, list.body);  // listing consumes nothing

  const Reply removed = call("delete", json{{"uid", a}});
  EXPECT_EQ(removed.status, 200);
  EXPECT_EQ(removed.message, "OK");
  EXPECT_EQ(removed.body, "");
  EXPECT_EQ(call("read", json{{"uid", a}}).status, 404);
  const Reply unknown = call("delete", json{{"uid", a}});
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.message, "Could not find data for: `" + a + "`");
  EXPECT_EQ(call("delete", json{{"uid", a}, {"silent", true}}).status, 200);

  const Reply cleared = call("clear", json());
  EXPECT_EQ(cleared.status, 200);
  EXPECT_EQ(cleared.message, "OK");
  EXPECT_EQ(call("read", json{{"uid", b}}).status, 404);
  EXPECT_EQ(call("list", json()).body, "null");
  EXPECT_EQ(call("clear", json()).status, 200);
}

TEST_F(SharedMem, UidErrorsAndUnknownCommands) {
  for (const char* command : {"read", "delete"}) {
    for (const json& payload : {json::object(), json{{"uid", 5}}, json{{"uid", ""}}, json()}) {
      const Reply reply = call(command, payload);
      EXPECT_EQ(reply.status, 400) << command << payload.dump();
      EXPECT_EQ(reply.message, "missing `uid`") << command << payload.dump();
    }
  }
  // The uid is quoted as the page sent it, never read as a format.
  const Reply reply = call("read", json{{"uid", "%s%n"}});
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.message, "Could not find data for: `%s%n`");
  EXPECT_EQ(call("Read", json{{"uid", "x"}}).status, 0);
}

}  // namespace
