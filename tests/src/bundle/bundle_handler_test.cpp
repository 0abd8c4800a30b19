// The bundle handler over a filled store: which URLs it claims, what GET answers, and its place in
// the handler list.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "src/bundle-handler.h"
#include "support/http_fakes.h"
#include "tests/src/bundle/bundle_fixture.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/mime-types.h"

namespace {

using bundletest::BundleFixture;

class BundleHandlerTest : public BundleFixture {
 protected:
  void fill() {
    for (const char* name : {"main.w", "viewer.w", "a b.css", "style.CSS", "upper.W", "plugin",
                             "noext", "dot.", "dir.x/file", "js/app.js", "img/logo.png", "./x.w"}) {
      BundleStore::put(name, std::string("bytes of ") + name);
    }
  }
  http::HttpBundleHandler handler;
};

TEST_F(BundleHandlerTest, ClaimsAndServesWhatItsUrlPathNames) {
  fill();
  const char* js = mimeTypeForExtension("js");
  ASSERT_NE(js, nullptr);
  struct Case {
    std::string url;
    const char* entry;  // null: not claimed, and GET answers 404
    std::string type;
  } cases[] = {
      {"https://.pelmora.local/viewer.w?file=%2Fhome%2Fu%2Fa%20b.png", "viewer.w", "text/html"},
      {"/viewer.w?file=x#top", "viewer.w", "text/html"},
      {"/main.w", "main.w", "text/html"},
      {"main.w", "main.w", "text/html"},
      {"/a%20b.css", "a b.css", "text/css"},
      {"/style.CSS", "style.CSS", "text/css"},
      {"/upper.W", "upper.W", "application/octet-stream"},
      {"/noext", "noext", "application/octet-stream"},
      {"/dot.", "dot.", "application/octet-stream"},
      {"/dir.x/file", "dir.x/file", "application/octet-stream"},
      {"/js/app.js?v=3", "js/app.js", js},
      {"https://pelmora.local/img/logo.png", "img/logo.png", "image/png"},
      {"/./x.w", "./x.w", "text/html"},
      {"/Main.w", nullptr, ""},
      {"/missing.w", nullptr, ""},
      {"/", nullptr, ""},
      {"//main.w", nullptr, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(handler.canHandle(c.url.c_str()), c.entry != nullptr) << c.url;
    pel::test::FakeRequest request("GET", c.url);
    pel::test::RecordingConnection connection;
    EXPECT_TRUE(handler.handleGet(&request, &connection)) << c.url;
    EXPECT_EQ(connection.finishCount, 1) << c.url;
    if (c.entry != nullptr) {
      EXPECT_EQ(connection.status, 200) << c.url;
      EXPECT_EQ(connection.body, std::string("bytes of ") + c.entry) << c.url;
      EXPECT_EQ(connection.header("Content-Type"), c.type) << c.url;
    } else {
      EXPECT_EQ(connection.status, 404) << c.url;
      EXPECT_EQ(connection.reason,
                http::HttpBundleHandler::bundleName(c.url) + " not found") << c.url;
    }
  }
}

TEST_F(BundleHandlerTest, NeverClaimsPluginNorUnparsableUrlsNorAnythingFromAnEmptyStore) {
  fill();
  for (const char* url : {"/plugin", "/plugin?name=hello&event=x", "https://pelmora.local/plugin"}) {
    EXPECT_FALSE(handler.canHandle(url)) << url;
  }
  EXPECT_FALSE(handler.canHandle(nullptr));
  // A broken escape: not claimed (nothing escapes to the router), and a GET answers 444.
  EXPECT_FALSE(handler.canHandle("/main%zz.w"));
  pel::test::FakeRequest bad("GET", "/main%zz.w");
  pel::test::RecordingConnection badConnection;
  EXPECT_TRUE(handler.handleGet(&bad, &badConnection));
  EXPECT_EQ(badConnection.status, 444);
  EXPECT_FALSE(badConnection.reason.empty());

  BundleStore::clear();
  for (const char* url : {"/main.w", "/viewer.w?file=a", "/"}) EXPECT_FALSE(handler.canHandle(url)) << url;
}

TEST_F(BundleHandlerTest, PostIsLeftUnanswered) {
  fill();
  pel::test::FakeRequest request("POST", "/main.w");
  request.withBody("x");
  pel::test::RecordingConnection connection;
  EXPECT_FALSE(handler.handlePost(&request, &connection));
  EXPECT_TRUE(connection.calls.empty());
  EXPECT_EQ(connection.finishCount, 0);
}

TEST_F(BundleHandlerTest, ABundledFolderIsServedThroughTheHandlerAtTheFrontOfTheList) {
  http::registerPluginHandler();
  http::registerBundleHandler();
  http::registerBundleHandler();
  auto& list = *http::handlerList();
  ASSERT_GE(list.size(), 2u);
  EXPECT_STREQ(list[0]->className(), "HttpBundleHandler");
  EXPECT_STREQ(list[0]->classInfo()->superclass->name, "HttpHandler");
  size_t bundles = 0;
  for (const auto& h : list) bundles += std::string(h->className()) == "HttpBundleHandler" ? 1 : 0;
  EXPECT_EQ(bundles, 1u);

  auto* front = dynamic_cast<http::HttpBundleHandler*>(list[0].get());
  ASSERT_NE(front, nullptr);
  EXPECT_EQ(front->path(), nullptr);
  const std::string page = "<!DOCTYPE html><html><body>editor</body></html>";
  ASSERT_TRUE(load(writeBundle("ui.dat", {{"editor.w", page}, {"css/e.css", "p{}"}})));
  ASSERT_TRUE(front->canHandle("/editor.w?file=%2Ftmp%2Fx.png"));
  pel::test::FakeRequest request("GET", "https://.pelmora.local/editor.w?file=%2Ftmp%2Fx.png");
  pel::test::RecordingConnection connection;
  EXPECT_TRUE(front->handleGet(&request, &connection));
  EXPECT_EQ(connection.status, 200);
  EXPECT_EQ(connection.body, page);
  EXPECT_EQ(connection.header("Content-Type"), "text/html");
}

}  // namespace
