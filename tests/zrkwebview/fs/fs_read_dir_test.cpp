// "read_dir": listings compared as sets (the file system's order is not sorted) plus the two
// ordering rules, and the folder-filter matcher as a pure table.
#include <set>

#include "fs_test_support.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-read-dir.h"

namespace {

using namespace fstest;
using Names = std::set<std::string>;

TEST(FsFolderFilter, Matcher) {
  struct Case {
    const char* path;
    const char* filter;
    bool caseSensitive;
    bool matches;
  } cases[] = {
      {"/src/app/node_modules", "**/node_modules", false, true},
      {"/node_modules", "**/node_modules", false, true},
      {"/src/node_modules/x", "**/node_modules", false, false},
      {"/src/node_modules/x", "**/node_modules/**", false, true},
      {"/src/a", "/src/*", false, true},
      {"/src/a/b", "/src/*", false, false},
      {"/src/a", "/src/?", false, true},
      {"/src/ab", "/src/?", false, false},
      {"/src/Build", "**/build", false, true},
      {"/src/Build", "**/build", true, false},
      {"/src/x.tmp", "**/*.TMP", false, true},
      {"/src//a/", "/src/a", false, true},
      {"/src/./a", "/src/b/../a", false, true},
      {"\\src\\a", "/src/a", false, true},
      {"/src/a", "a", false, false},
      {"a", "a", false, true},
      {"/src/a", "**", false, true},
      {"/src/abcabc", "/src/*abc", false, true},
      {"/src/abcab", "/src/a*c*b", false, true},
      {"/src/abc", "/src/a*d", false, false},
      {"/", "**", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zrk::plugin::matchAnyFolderFilter(c.path, {c.filter}, c.caseSensitive), c.matches)
        << c.path << " ~ " << c.filter;
  }
  EXPECT_FALSE(zrk::plugin::matchAnyFolderFilter("/src/a", {}, false));
  EXPECT_TRUE(zrk::plugin::matchAnyFolderFilter("/src/a", {"/x", "/src/a"}, false));
  EXPECT_EQ(zrk::plugin::normalizePathComponents({"..", "a", "..", "..", "b", "."}),
            (std::vector<std::string>{"..", "..", "b"}));
}

class FsReadDir : public TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    // top: a.JPG, b.jpg, archive.tar.gz, .hidden, sub/ (c.jpg, deeper/ (d.jpg)),
    // node_modules/ (e.jpg), link -> a.JPG, broken -> missing
    writeAll(at("a.JPG"), "12");
    writeAll(at("b.jpg"), "123");
    writeAll(at("archive.tar.gz"), "");
    writeAll(at(".hidden"), "");
    stdfs::create_directories(at("sub/deeper"));
    writeAll(at("sub/c.jpg"), "");
    writeAll(at("sub/deeper/d.jpg"), "");
    stdfs::create_directory(at("node_modules"));
    writeAll(at("node_modules/e.jpg"), "");
    stdfs::create_symlink(at("a.JPG"), at("link"));
    stdfs::create_symlink(at("missing"), at("broken"));
  }

  json list(const json& options, std::string path = "") {
    const Reply reply = call("read_dir", {{"path", path.empty() ? root : path}, {"options", options}});
    EXPECT_EQ(reply.status, 200) << reply.text;
    EXPECT_EQ(reply.type, "application/json");
    return reply.status == 200 ? json::parse(reply.body) : json::array();
  }
  static Names names(const json& records, const char* key = "name") {
    Names out;
    for (const auto& record : records) out.insert(record[key].get<std::string>());
    return out;
  }
};

TEST_F(FsReadDir, DefaultsListTheFirstLevel) {
  const json records = list(json::object());
  EXPECT_EQ(names(records), (Names{"a.JPG", "b.jpg", "archive.tar.gz", ".hidden", "sub",
                                   "node_modules", "link"}));
  for (const auto& record : records) {
    EXPECT_FALSE(record.contains("path"));
    const std::string name = record["name"];
    if (name == "sub") {
      EXPECT_EQ(record["isDirectory"], true);
      EXPECT_EQ(record["isFile"], false);
      EXPECT_FALSE(record.contains("size"));
    } else if (name == "link") {
      EXPECT_EQ(record["isFile"], true);
      EXPECT_EQ(record["isSymblink"], true);
      EXPECT_EQ(record["size"], 2);
      EXPECT_EQ(record["symblinkTarget"], at("a.JPG"));
    } else if (name == "b.jpg") {
      EXPECT_EQ(record["size"], 3);
      EXPECT_EQ(record["isSymblink"], false);
      EXPECT_FALSE(record.contains("symblinkTarget"));
      EXPECT_TRUE(record["mtime"].is_number_unsigned());
      EXPECT_TRUE(record["btime"].is_number());
      EXPECT_NEAR(record["mtime"].get<double>() / 1000, static_cast<double>(::time(nullptr)), 60);
    }
  }
}

TEST_F(FsReadDir, ExtensionsCompareWithoutCase) {
  EXPECT_EQ(names(list({{"extensions", {"JPG"}}, {"includeFolder", false}})),
            (Names{"a.JPG", "b.jpg"}));
  EXPECT_EQ(names(list({{"extensions", {".jpg", 5}}, {"includeFolder", false}})),
            (Names{"a.JPG", "b.jpg"}));
  EXPECT_EQ(names(list({{"extensions", {"gz"}}, {"includeFolder", false}})), (Names{"archive.tar.gz"}));
  EXPECT_EQ(names(list({{"extensions", {"hidden"}}, {"includeFolder", false}})), Names{});
  // Folders are not filtered by extension.
  EXPECT_EQ(names(list({{"extensions", {"gz"}}, {"includeFile", false}})), (Names{"sub", "node_modules"}));
}

TEST_F(FsReadDir, RecursiveListingsAndTheirOrder) {
  const json records = list({{"recursive", true}, {"folderFilters", {"**/node_modules"}}});
  EXPECT_EQ(names(records),
            (Names{at("a.JPG"), at("b.jpg"), at("archive.tar.gz"), at(".hidden"), at("link"), at("sub"),
                   at("sub/c.jpg"), at("sub/deeper"), at("sub/deeper/d.jpg")}));
  // Every top-level file comes before the subfolder's block; the block is in pre-order.
  std::vector<std::string> order;
  for (const auto& record : records) order.push_back(record["name"]);
  auto position = [&](const std::string& name) {
    return std::find(order.begin(), order.end(), name) - order.begin();
  };
  for (const char* top : {"a.JPG", "b.jpg", "archive.tar.gz", ".hidden", "link"}) {
    EXPECT_LT(position(at(top)), position(at("sub")));
  }
  EXPECT_LT(position(at("sub/deeper")), position(at("sub/deeper/d.jpg")));

  const json relative = list({{"recursive", true}, {"relativePath", true}, {"includeFolder", false}});
  EXPECT_EQ(names(relative), (Names{"a.JPG", "b.jpg", "archive.tar.gz", ".hidden", "link", "sub/c.jpg",
                                    "sub/deeper/d.jpg", "node_modules/e.jpg"}));
  // A base written with a trailing "/" loses nothing more than itself.
  EXPECT_EQ(names(list({{"recursive", true}, {"relativePath", true}, {"includeFolder", false}},
                       root + "/")),
            names(relative));
  const json withPath = list({{"recursive", true}, {"includePath", true}, {"relativePath", true},
                              {"includeFile", false}});
  EXPECT_EQ(names(withPath), (Names{"sub", "deeper", "node_modules"}));
  EXPECT_EQ(names(withPath, "path"), (Names{"sub", "sub/deeper", "node_modules"}));
}

TEST_F(FsReadDir, FolderFiltersCutTopLevelSubtreesAndDeeperRecordsOnly) {
  const json records = list({{"recursive", true}, {"relativePath", true},
                             {"folderFilters", {"**/node_modules", "**/deeper"}}});
  const Names found = names(records);
  EXPECT_FALSE(found.count("node_modules/e.jpg"));
  EXPECT_FALSE(found.count("sub/deeper"));
  EXPECT_TRUE(found.count("sub/deeper/d.jpg"));
  EXPECT_EQ(names(list({{"folderFilters", {"**/SUB"}}, {"caseSensitive", true}})).count("sub"), 1u);
  EXPECT_EQ(names(list({{"folderFilters", {"**/SUB"}}})).count("sub"), 0u);
}

TEST_F(FsReadDir, Failures) {
  EXPECT_EQ(call("read_dir", json::object()).text, "Path not specified.");
  EXPECT_EQ(call("read_dir", {{"path", at("100%s")}}).text, "\"" + at("100%s") + "\" not exists.");
  EXPECT_EQ(call("read_dir", {{"path", at("b.jpg")}}).text, "\"" + at("b.jpg") + "\" is not directory.");
  stdfs::create_directory(at("empty"));
  EXPECT_EQ(call("read_dir", {{"path", at("empty")}}).body, "[]");
}

}  // namespace
