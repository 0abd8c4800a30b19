#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/resource/resource-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/resource.h"

namespace {

using nlohmann::json;

class CountedResource : public zrk::Resource {
 public:
  void close() override { ++closes; }
  int closes = 0;
};

struct Reply {
  bool none = false;
  int status = 0;
  std::string text;
};

Reply call(zrk::Webview* webview, const std::string& command, const json& payload) {
  static zrk::plugin::ResourcePlugin plugin;
  pel::test::FakeRequest request("POST", "https://pelma/plugin?name=resource");
  auto result = plugin.invoke(command, webview, nullptr, &request, payload);
  Reply reply;
  if (!result) {
    reply.none = true;
  } else if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
    reply.status = mime->status();
    reply.text = mime->body();
  } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
    reply.status = status->status();
    reply.text = status->statusMessage();
  }
  return reply;
}

TEST(ResourcePluginTest, CloseReleasesOnlyTheRequestingWebviewsResource) {
  auto mine = std::make_shared<pel::test::FakeWebview>("mine");
  auto other = std::make_shared<pel::test::FakeWebview>("other");
  auto held = std::make_shared<CountedResource>();
  auto foreign = std::make_shared<CountedResource>();
  const uint32_t id = mine->resourceManager()->add(held);
  const uint32_t foreignId = other->resourceManager()->add(foreign);

  EXPECT_EQ(call(mine.get(), "close", {{"rid", foreignId}}).text, "false");
  EXPECT_EQ(foreign->closes, 0);
  EXPECT_NE(other->resourceManager()->find(foreignId), nullptr);

  EXPECT_EQ(call(mine.get(), "close", {{"rid", id}}).text, "true");
  EXPECT_EQ(held->closes, 1);
  EXPECT_EQ(mine->resourceManager()->find(id), nullptr);
  EXPECT_EQ(call(mine.get(), "close", {{"rid", id}}).text, "false");
  EXPECT_EQ(held->closes, 1);

  // A fraction is dropped; anything that is no id from 0 to 2^32-1 is refused.
  auto seven = std::make_shared<CountedResource>();
  mine->resourceManager()->set(7, seven);
  EXPECT_EQ(call(mine.get(), "close", {{"rid", 7.9}}).text, "true");
  EXPECT_EQ(seven->closes, 1);
  for (const json& rid : {json("7"), json(true), json(-1), json(-0.5e1), json(1e20), json(4294967296),
                          json(nullptr), json::array({7})}) {
    const Reply r = call(mine.get(), "close", {{"rid", rid}});
    EXPECT_EQ(r.status, 400) << rid.dump();
    EXPECT_EQ(r.text, "Invalid resource id") << rid.dump();
  }
  EXPECT_EQ(call(mine.get(), "close", json::object()).text, "Invalid resource id");
  EXPECT_EQ(call(mine.get(), "close", {{"rid", 4294967295u}}).text, "false");
}

TEST(ResourcePluginTest, ListWritesTheWebviewsResources) {
  auto webview = std::make_shared<pel::test::FakeWebview>("lister");
  call(webview.get(), "none", json());  // the plugin is made (and announces itself) before the capture
  testing::internal::CaptureStdout();
  Reply empty = call(webview.get(), "list", json());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.text, "");

  webview->resourceManager()->add(std::make_shared<CountedResource>());
  testing::internal::CaptureStdout();
  EXPECT_EQ(call(webview.get(), "list", json()).status, 200);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("RES:  ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST(ResourcePluginTest, NoWebviewOrNoCommandGivesNoResponse) {
  auto webview = std::make_shared<pel::test::FakeWebview>();
  EXPECT_TRUE(call(nullptr, "close", {{"rid", 1}}).none);
  EXPECT_TRUE(call(webview.get(), "open", {{"rid", 1}}).none);
  // A webview no longer under shared ownership (being destroyed) lets the error through.
  pel::test::FakeWebview loose;
  EXPECT_THROW(call(&loose, "list", json()), std::bad_weak_ptr);
}

}  // namespace
