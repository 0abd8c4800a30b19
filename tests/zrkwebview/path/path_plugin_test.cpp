#include "zrkwebview/browser/src/http-plugins/path/path-plugin.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "desk/shell.h"
#include "desk/test_services.h"
#include "support/node_runner.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;
namespace stdfs = std::filesystem;

struct Reply {
  int status = 0;
  std::string message;  // the reason phrase
  std::string type;
  std::string body;
};

Reply toReply(const std::shared_ptr<Vesk::TObject>& result) {
  Reply reply;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
  if (!response) return reply;
  reply.status = response->status();
  reply.message = response->statusMessage();
  if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(response)) {
    reply.type = mime->mimeType();
  }
  if (reply.status != 200) return reply;
  for (std::string piece; !(piece = response->read(65536)).empty();) reply.body += piece;
  return reply;
}

Reply call(const std::string& command, const json& payload) {
  static zrk::plugin::PathPlugin plugin;
  return toReply(plugin.invoke(command, nullptr, nullptr, nullptr, payload));
}

// A successful text reply's body, or a marker with the failure.
std::string text(const std::string& command, const json& payload) {
  const Reply reply = call(command, payload);
  if (reply.status != 200) return "<" + std::to_string(reply.status) + " " + reply.message + ">";
  return reply.body;
}

json paths(const std::vector<json>& elements) {
  json list = json::array();
  for (const json& element : elements) list.push_back(element);
  return json{{"paths", list}};
}

TEST(PathArithmetic, NormalizeDirnameBasenameExtnameAndIsAbsolute) {
  struct Case {
    std::string input;
    std::string normalized, folder, base, extension, absolute;
  };
  const std::vector<Case> cases = {
      {"a/./b//c/", "a/b/c/", "a/b/c/", "", "", "false"},
      {"/x/../y", "/y", "/", "y", "", "true"},
      {"a/..", "a/..", "a/", ".", "", "false"},  // a final ".." is the name and stays
      {"../x", "../x", "../", "x", "", "false"},
      {"/../x", "/x", "/", "x", "", "true"},       // nothing above the root
      {"//srv/share", "/srv/share", "/srv/", "share", "", "true"},  // no servers: "//" is "/"
      {"a\\b\\c.txt", "a/b/c.txt", "a/b/", "c", "txt", "false"},  // "\" separates too
      {"~/notes.md", "~/notes.md", "~/", "notes", "md", "false"},  // "~" is a plain name
      {"C:/x/../y", "C:/y", "C:/", "y", "", "false"},             // no drives
      {"/a/archive.tar.gz", "/a/archive.tar.gz", "/a/", "archive.tar", "gz", "true"},
      {".profile", ".profile", "", ".profile", "", "false"},
      {"a.", "a.", "", "a", "", "false"},
      {"/a/", "/a/", "/a/", "", "", "true"},
      {"/", "/", "/", "", "", "true"},
      {"", "", "", "", "", "false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("input: \"" + c.input + "\"");
    const json payload{{"path", c.input}};
    EXPECT_EQ(text("normalize", payload), c.normalized);
    EXPECT_EQ(text("dirname", payload), c.folder);
    EXPECT_EQ(text("basename", payload), c.base);
    EXPECT_EQ(text("extname", payload), c.extension);
    const Reply absolute = call("isAbsolute", payload);
    EXPECT_EQ(absolute.body, c.absolute);
    EXPECT_EQ(absolute.type, "application/json");
  }
  // A path that is not a string, or no object at all, is the empty path.
  for (const json& payload : {json{{"path", 5}}, json{{"path", nullptr}}, json("x"), json()}) {
    EXPECT_EQ(call("normalize", payload).status, 200);
    EXPECT_EQ(text("normalize", payload), "");
    EXPECT_EQ(text("isAbsolute", payload), "false");
  }
  // A NUL byte would cut the path short in every system call.
  const json bad{{"path", std::string("a\0b", 3)}};
  for (const char* command : {"normalize", "dirname", "basename", "extname", "isAbsolute"}) {
    const Reply reply = call(command, bad);
    EXPECT_EQ(reply.status, 400) << command;
    EXPECT_EQ(reply.message, "Bad path syntax") << command;
  }
}

TEST(PathArithmetic, Join) {
  const std::vector<std::pair<json, std::string>> cases = {
      {paths({"/a", "b", "c.txt"}), "/a/b/c.txt"},
      {paths({"a", "/b"}), "/b"},  // an absolute element starts over
      {paths({"a", ""}), "a/"},
      {paths({"a/b", "../c"}), "a/b/../c"},  // ".." is not resolved across elements
      {paths({"a/", "./b"}), "a/b"},
      {paths({}), ""},
      {paths({1}), "<400 Incorrect paths>"},
      {paths({"a", nullptr}), "<400 Incorrect paths>"},
      {json{{"paths", "a"}}, "<400 Incorrect paths>"},
      {json::object(), "<400 Incorrect paths>"},
      {paths({std::string("a\0", 2)}), "<400 Bad path syntax>"},
  };
  for (const auto& [payload, expected] : cases) {
    EXPECT_EQ(text("join", payload), expected) << payload.dump();
  }
}

class PathResolve : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = stdfs::current_path();
    char pattern[] = "/tmp/pel-path-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    stdfs::current_path(folder_);
  }
  void TearDown() override {
    stdfs::current_path(saved_);
    stdfs::remove_all(folder_);
  }
  stdfs::path saved_;
  std::string folder_;
};

TEST_F(PathResolve, FromTheLastElementBackToTheFirstAbsoluteOne) {
  const std::string w = folder_;
  const std::vector<std::pair<json, std::string>> cases = {
      {paths({"/a", "b"}), "/a/b"},
      {paths({"/a", "/b", "c"}), "/b/c"},
      {paths({"/a/b", "../c"}), "/a/c"},  // ".." resolves inside the joined text
      {paths({"a"}), w + "/a"},
      {paths({}), w + "/"},
      {paths({"../x"}), w + "/../x"},  // a ".." left over is appended as it is
      {paths({"", "a"}), "/a"},        // an empty element still adds its "/"
      {paths({5, "/x"}), "/x"},        // the walk stops before it reaches the number
      {paths({"/x", 5}), "<400 Incorrect paths>"},
      {json{{"paths", json::object()}}, "<400 Incorrect paths>"},
      {json(), "<400 Incorrect paths>"},
  };
  for (const auto& [payload, expected] : cases) {
    EXPECT_EQ(text("resolve", payload), expected) << payload.dump();
  }
}

// The folders under a chosen environment; the variables are put back afterwards.
class PathFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pel-folders-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    ::setenv("HOME", (root_ + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    ::setenv("TMPDIR", (root_ + "/tmp/").c_str(), 1);
    stdfs::create_directories(root_ + "/config");
    std::ofstream(root_ + "/config/user-dirs.dirs")
        << "# written by xdg-user-dirs-update\n"
           "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
           "XDG_DOWNLOAD_DIR=\"/srv/downloads\"\n"
           "XDG_MUSIC_DIR=\"$HOME/Musik\"\n";
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1); else ::unsetenv(name.c_str());
    }
    stdfs::remove_all(root_);
  }
  std::string root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(PathFolders, EveryDirectoryId) {
  const std::string home = root_ + "/home";
  const std::string data = root_ + "/data";
  std::string appData = zrk::dataDirectory();
  appData.pop_back();  // without its final "/"
  const std::string program = zrk::programDirectory();
  const std::vector<std::string> expected = {
      "",  // 0: no entry
      home + "/Musik",
      home + "/Documents",
      "/srv/downloads",
      home + "/Pictures",
      home + "/Public",
      home + "/Videos",
      program + "/Resources",
      root_ + "/tmp",  // without a trailing "/"
      data,
      data,
      data,
      data,
      appData, appData, appData, appData, appData,
      home + "/Schreibtisch",
      zrk::executableName(true),
      program,
      data + "/fonts",
      home,
      program,
      home + "/Templates",
  };
  ASSERT_EQ(expected.size(), 25u);
  EXPECT_EQ(appData.rfind(data + "/", 0), 0u) << appData;
  EXPECT_EQ(stdfs::path(zrk::executableName(true)).parent_path().string(), program);
  for (int id = 1; id <= 24; ++id) {
    const Reply reply = call("resolve_directory", json{{"directory", id}});
    EXPECT_EQ(reply.status, 200) << id;
    EXPECT_EQ(reply.type, "text/plain") << id;
    EXPECT_EQ(reply.body, expected[static_cast<size_t>(id)]) << id;
  }
  // Other number forms: booleans count as 0 and 1, fractions are dropped, integers keep their
  // low 32 bits.
  EXPECT_EQ(text("resolve_directory", json{{"directory", true}}), expected[1]);
  EXPECT_EQ(text("resolve_directory", json{{"directory", 2.9}}), expected[2]);
  EXPECT_EQ(text("resolve_directory", json{{"directory", 4294967297ull}}), expected[1]);
}

TEST_F(PathFolders, DirectoryErrors) {
  const std::vector<std::pair<json, std::string>> cases = {
      {json{{"directory", 0}}, "Could not find path for (0)"},
      {json{{"directory", -1}}, "Could not find path for (-1)"},
      {json{{"directory", 25}}, "Could not find path for (25)"},
      {json{{"directory", false}}, "Could not find path for (0)"},
      {json{{"directory", 1e300}}, "Could not find path for (0)"},  // no integer: no entry
      {json::object(), "Missing parameters."},
      {json::array({1}), "Missing parameters."},
      {json{{"directory", "1"}}, "[json.exception.type_error.302] type must be number, but is string"},
      {json{{"directory", nullptr}}, "[json.exception.type_error.302] type must be number, but is null"},
  };
  for (const auto& [payload, message] : cases) {
    const Reply reply = call("resolve_directory", payload);
    EXPECT_EQ(reply.status, 400) << payload.dump();
    EXPECT_EQ(reply.message, message) << payload.dump();
  }
  // A folder that cannot be made out (no home, no XDG variables) is "not found" too.
  ::unsetenv("HOME");
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CONFIG_HOME");
  if (zrk::dataDirectory() == "./") {  // no password-database home either
    EXPECT_EQ(call("resolve_directory", json{{"directory", 2}}).message, "Could not find path for (2)");
  }
}

TEST(PathPluginTest, UnknownCommandAndIdentity) {
  zrk::plugin::PathPlugin plugin;
  EXPECT_EQ(plugin.invoke("Normalize", nullptr, nullptr, nullptr, json::object()), nullptr);
  EXPECT_EQ(plugin.name(), "path");
  EXPECT_EQ(plugin.description(), "common paths");
  EXPECT_EQ(plugin.version(), "1.0");
  EXPECT_STREQ(plugin.className(), "PathPlugin");
}

// Reveal never opens the item: the folder that holds it, or the folder itself.
TEST(PathReveal, OpensTheFolderNeverTheItem) {
  char pattern[] = "/tmp/pel-reveal-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  stdfs::create_directories(root + "/sub");
  std::ofstream(root + "/sub/photo.jpg") << "x";
  ::chmod((root + "/sub/photo.jpg").c_str(), 0755);  // even a program is not run
  desk::test::recordLaunches();
  struct Case {
    std::string path;
    std::vector<std::string> argv;  // empty: nothing launched
  };
  const std::vector<Case> cases = {
      {root + "/sub/photo.jpg", {"xdg-open", root + "/sub"}},
      {root + "/sub/", {"xdg-open", root + "/sub/"}},
      {root + "/sub", {"xdg-open", root}},
      {root + "/sub/missing.txt", {"xdg-open", root + "/sub"}},  // its folder, by the last "/"
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const size_t before = desk::test::launches().size();
    const Reply reply = call("reveal", json{{"path", c.path}});
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, c.path);
    const auto launches = desk::test::launches();
    if (c.argv.empty()) {
      EXPECT_EQ(launches.size(), before);
    } else {
      ASSERT_EQ(launches.size(), before + 1);
      EXPECT_EQ(launches.back().argv, c.argv);
    }
  }
  // A failing file manager is not the page's concern.
  desk::test::failLaunches(desk::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(call("reveal", json{{"path", root + "/sub/"}}).status, 200);
  desk::setLauncher(nullptr);
  stdfs::remove_all(root);
}

// The page script, run in Node after the environment bootstrap: the page and its workers see the
// POSIX separator and delimiter.
TEST(PathPageScript, PageAndWorkersSeeTheSeparator) {
  zrk::plugin::PathPlugin plugin;
  const std::string script = plugin.initScript();
  ::setenv("PEL_SCRIPTS_DIR", PEL_SCRIPTS_DIR, 1);
  const std::string harness = std::string("file://") + PEL_SOURCE_ROOT + "/tests/scripts/bridge/harness.mjs";
  const std::string program = R"JS(
(async () => {
  const vm = await import("node:vm");
  const h = await import()JS" + json(harness).dump() + R"JS();
  class EngineWorker { constructor() { this.posted = []; } postMessage(m) { this.posted.push(m); } }
  const Url = class extends URL {
    static createObjectURL() { return "blob:https://app.test/1"; }
    static revokeObjectURL() {}
  };
  const page = new h.Page({ globals: { Worker: EngineWorker, URL: Url,
    location: { origin: "https://app.test", href: "https://app.test/p.html" },
    document: h.fakeDocument({ baseURI: "https://app.test/p.html" }) } });
  page.run()JS" + json(script).dump() + R"JS();
  const inPage = page.run("JSON.stringify(window.__zrk_internals__.plugins.path)");
  const initstr = page.run('new Worker("w.js")').posted[0].initstr;
  const marker = "__init_env__(globalThis);\n\n";
  const scope = vm.createContext({ __zrk_internals__: {} });
  vm.runInContext(initstr.slice(initstr.lastIndexOf(marker) + marker.length), scope);
  const inWorker = JSON.stringify(scope.__zrk_internals__.plugins.path);
  console.log(JSON.stringify({ page: JSON.parse(inPage), worker: JSON.parse(inWorker) }));
})().catch((e) => console.log("failed: " + e.stack));
)JS";
  const std::string output = pel::test::runNodeScript(program);
  const json expected = {{"sep", "/"}, {"delimiter", ":"}};
  json result;
  ASSERT_NO_THROW(result = json::parse(output)) << output;
  EXPECT_EQ(result["page"], expected);
  EXPECT_EQ(result["worker"], expected);
}

}  // namespace
