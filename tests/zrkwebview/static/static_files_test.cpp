// The static path table is process-wide and never shrinks: every test maps prefixes of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "support/http_fakes.h"
#include "zrkwebview/browser/src/handlers/http-static-file-handler.h"
#include "zrkwebview/browser/src/handlers/static-path-table.h"

namespace fs = std::filesystem;
using http::StaticPathTable;
using pel::test::FakeRequest;
using pel::test::RecordingConnection;

namespace {

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// A scratch folder with a site, a picture folder and a secret beside them (never reachable):
//   root/site/index.html, root/site/page.qqq, root/site/a b.txt, root/site/sub/b.css, root/pics/a.png,
//   root/secret.txt, root/site/out -> root (link out), root/site/secret-link -> root/secret.txt,
//   root/site/inner -> root/site/sub (link that stays inside)
class StaticFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("pelmora-static-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    writeFile(site() / "index.html", "<p>home</p>");
    writeFile(site() / "page.qqq", "odd");
    writeFile(site() / "a b.txt", "spaced");
    writeFile(site() / "sub/b.css", "b{}");
    writeFile(pics() / "a.png", "PNGDATA");
    writeFile(root_ / "secret.txt", "secret");
    fs::create_directory_symlink(root_, site() / "out");
    fs::create_symlink(root_ / "secret.txt", site() / "secret-link");
    fs::create_directory_symlink(site() / "sub", site() / "inner");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path site() const { return root_ / "site"; }
  fs::path pics() const { return root_ / "pics"; }

  static std::unique_ptr<RecordingConnection> get(http::HttpHandler& handler, const std::string& url,
                                                   const std::string& method = "GET") {
    FakeRequest request(method, url);
    auto connection = std::make_unique<RecordingConnection>();
    const bool handled = method == "GET" ? handler.handleGet(&request, connection.get())
                                         : handler.handlePost(&request, connection.get());
    EXPECT_TRUE(handled) << url;
    EXPECT_EQ(connection->finishCount, 1) << url;
    return connection;
  }

  fs::path root_;
};

TEST(StaticPathTable, NormalisesPrefixesAndPicksTheDeepestEntry) {
  StaticPathTable::add(" //tbl//img \t", "/d/pics");
  StaticPathTable::add("/tbl", "/d/site");
  StaticPathTable::add("/tbl", "/d/site");   // the same pair again changes nothing
  StaticPathTable::add("/tbl/", "/d/other");  // a second folder never wins
  StaticPathTable::add("/", "/d/root");
  StaticPathTable::add("", "/d/none");
  StaticPathTable::add(" \n ", "/d/none");

  struct Case {
    const char* path;
    const char* prefix;  // null: no match
    const char* directory;
    uint16_t depth;
  } cases[] = {
      {"/tbl/img/a.png", "/tbl/img/", "/d/pics", 2},
      {"//tbl///img//a.png", "/tbl/img/", "/d/pics", 2},
      {"/tbl/index.html", "/tbl/", "/d/site", 1},
      {"/tbl/img", "/tbl/", "/d/site", 1},
      {"/tbl/", "/tbl/", "/d/site", 1},
      {"/Tbl/index.html", nullptr, nullptr, 0},  // byte comparison
      {"/tblx/a", nullptr, nullptr, 0},
      {"/nothing/a.png", nullptr, nullptr, 0},  // only "/" covers it, and "/" is never chosen
      {"", nullptr, nullptr, 0},
      {" \t", nullptr, nullptr, 0},
  };
  for (const Case& c : cases) {
    StaticPathTable::Entry entry;
    const bool matched = StaticPathTable::match(c.path, entry);
    ASSERT_EQ(matched, c.prefix != nullptr) << c.path;
    if (!matched) continue;
    EXPECT_EQ(entry.prefix, c.prefix) << c.path;
    EXPECT_EQ(entry.directory, c.directory) << c.path;
    EXPECT_EQ(entry.depth, c.depth) << c.path;
  }
}

TEST_F(StaticFiles, ServesMappedFilesWithTheirTypes) {
  StaticPathTable::add("/web", site().string());
  StaticPathTable::add("/web/img/", pics().string());
  http::HttpStaticFileHandler handler;
  EXPECT_EQ(handler.path(), nullptr);
  EXPECT_FALSE(handler.canHandle("/web/index.html"));

  struct Case {
    const char* url;
    int status;
    const char* type;
    const char* body;
  } cases[] = {
      {"https://app.local/web/img/a.png", 200, "image/png", "PNGDATA"},
      {"https://app.local/web/index.html?v=3", 200, "text/html", "<p>home</p>"},
      {"https://app.local/web/sub/b.css", 200, "text/css", "b{}"},
      {"https://app.local/web/page.qqq", 200, "application/octet-stream", "odd"},
      {"https://app.local/web/inner/b.css", 200, "text/css", "b{}"},  // a link that stays inside
      {"https://app.local/web/%69ndex.html", 200, "text/html", "<p>home</p>"},
      {"https://app.local/web/a%20b.txt", 200, "text/plain", "spaced"},
      {"https://app.local/web/a%2520b.txt", 200, "text/plain", "spaced"},  // decoded twice
      {"https://app.local/web/", 404, nullptr, nullptr},
      {"https://app.local/web/missing.html", 404, nullptr, nullptr},
      {"https://app.local/Web/index.html", 404, nullptr, nullptr},
      {"https://app.local/unmapped/index.html", 404, nullptr, nullptr},
      {"https://app.local/web/%25zz", 404, nullptr, nullptr},  // malformed once decoded
  };
  for (const Case& c : cases) {
    auto connection = get(handler, c.url);
    EXPECT_EQ(connection->status, c.status) << c.url;
    if (c.status == 200) {
      EXPECT_EQ(connection->header("Content-Type"), c.type) << c.url;
      EXPECT_EQ(connection->body, c.body) << c.url;
    } else {
      EXPECT_EQ(connection->reason, "File not found") << c.url;
      EXPECT_EQ(connection->header("x-status-error"), "File not found") << c.url;
    }
  }
}

TEST_F(StaticFiles, NeverLeavesTheMappedFolder) {
  StaticPathTable::add("/guarded", site().string());
  ASSERT_EQ(http::HttpStaticFileHandler::resolvePath("/guarded/index.html"), (site() / "index.html").string());
  const char* urls[] = {
      "https://app.local/guarded/../secret.txt",
      "https://app.local/guarded/sub/../../secret.txt",
      "https://app.local/guarded/%2e%2e/secret.txt",
      "https://app.local/guarded/%2E%2E%2Fsecret.txt",
      "https://app.local/guarded/%252e%252e/secret.txt",  // decoded twice on the way
      "https://app.local/guarded/sub/..%2f..%2fsecret.txt",
      "https://app.local/guarded/..",
      "https://app.local/guarded/out/secret.txt",  // a folder link pointing out
      "https://app.local/guarded/secret-link",     // a file link pointing out
      "https://app.local/guarded/index.html%00.txt",
  };
  http::HttpStaticFileHandler handler;
  for (const char* url : urls) {
    auto connection = get(handler, url);
    EXPECT_EQ(connection->status, 404) << url;
    EXPECT_EQ(connection->body.find("secret"), std::string::npos) << url;
  }
  EXPECT_EQ(http::HttpStaticFileHandler::resolvePath("/guarded/out/secret.txt"), "");
}

TEST_F(StaticFiles, AnEntryWithoutFolderMapsNothing) {
  StaticPathTable::add("/empty", "");
  EXPECT_EQ(http::HttpStaticFileHandler::resolvePath("/empty/index.html"), "");
}

TEST_F(StaticFiles, PostGetsAReply) {
  StaticPathTable::add("/posted", site().string());
  http::HttpStaticFileHandler handler;
  auto connection = get(handler, "https://app.local/posted/index.html", "POST");
  EXPECT_EQ(connection->status, 405);
  http::HttpAssetHandler assets([this] { return site().string(); });
  auto assetReply = get(assets, "https://app.local/asset/index.html", "POST");
  EXPECT_EQ(assetReply->status, 405);
}

TEST_F(StaticFiles, AssetsComeFromTheAssetFolder) {
  writeFile(site() / "img/logo.png", "LOGO");
  http::HttpAssetHandler handler([this] { return site().string(); });
  EXPECT_STREQ(handler.path(), "/asset");

  struct Case {
    const char* url;
    int status;
    const char* body;
  } cases[] = {
      {"https://app.local/asset/img/logo.png", 200, "LOGO"},
      {"https://app.local/asset/img\\logo.png", 200, "LOGO"},
      {"https://app.local/asset//img//logo.png", 200, "LOGO"},
      {"https://app.local/asset/inner/b.css", 200, "b{}"},
      {"https://app.local/asset/img/logo.png?v=2", 404, nullptr},  // the query stays in the name
      {"https://app.local/asset/img/missing.png", 404, nullptr},
      {"https://app.local/asset", 400, nullptr},
      {"https://app.local/assets/img/logo.png", 400, nullptr},
      {"https://app.local/asset/../secret.txt", 404, nullptr},
      {"https://app.local/asset/img/../../secret.txt", 404, nullptr},
      {"https://app.local/asset/..\\secret.txt", 404, nullptr},
      {"https://app.local/asset/%2e%2e/secret.txt", 404, nullptr},  // a literal name, not found
      {"https://app.local/asset/out/secret.txt", 404, nullptr},
      {"https://app.local/asset/secret-link", 404, nullptr},
  };
  for (const Case& c : cases) {
    auto connection = get(handler, c.url);
    EXPECT_EQ(connection->status, c.status) << c.url;
    if (c.status == 200) {
      EXPECT_EQ(connection->body, c.body) << c.url;
      EXPECT_EQ(connection->headerCount("Content-Type"), 0u) << c.url;
    } else {
      EXPECT_EQ(connection->body.find("secret"), std::string::npos) << c.url;
    }
  }
}

TEST_F(StaticFiles, AssetsWithoutFolderComeFromTheWorkingFolder) {
  writeFile(site() / "img/logo.png", "LOGO");
  const fs::path previous = fs::current_path();
  fs::current_path(site());
  http::HttpAssetHandler handler;
  const int found = get(handler, "https://app.local/asset/img/logo.png")->status;
  const int absolute = get(handler, ("https://app.local/asset/" + (root_ / "secret.txt").string()).c_str())->status;
  const int up = get(handler, "https://app.local/asset/../secret.txt")->status;
  fs::current_path(previous);
  EXPECT_EQ(found, 200);
  EXPECT_EQ(absolute, 404);
  EXPECT_EQ(up, 404);
}

}  // namespace
