// The bootstrap's decisions: the start page and first-window options from the command line, the
// path encoding and the hand-over's reading of it, the base URL, and the registrations in order.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "src/startup.h"
#include "support/node_runner.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace {

namespace fs = std::filesystem;

TEST(StartupEncoding, PathsAreEncodedAsTheListenerDecodesThem) {
  struct Row {
    std::string path;
    std::string encoded;
  };
  const std::vector<Row> rows = {
      {"/tmp/a b+c.png", "/tmp/a%20b%2Bc.png"},
      {"C:\\a b+c.png", "C:%5Ca%20b%2Bc.png"},
      {"/x/100%.jpg", "/x/100%25.jpg"},
      {"/photos/\xC3\xA9t\xC3\xA9.jpg", "/photos/%C3%A9t%C3%A9.jpg"},
      {"/a#b&c?d=e;f:g@h~i-j_k.png", "/a#b&c?d=e;f:g@h~i-j_k.png"},
      {"<>{}|^!*'()$,[]\"`", "%3C%3E%7B%7D%7C%5E%21%2A%27%28%29%24%2C%5B%5D%22%60"},
      {"\t\x7f", "%09%7F"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(encodeFilePath(row.path), row.encoded) << row.path;
    std::string back;
    ASSERT_TRUE(decodeFilePath(row.encoded, &back)) << row.encoded;
    EXPECT_EQ(back, row.path);
  }
  // Every byte but NUL survives the round trip.
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  std::string back;
  ASSERT_TRUE(decodeFilePath(encodeFilePath(all), &back));
  EXPECT_EQ(back, all);
}

// The pages put paths into addresses themselves (main.w opening a file window): byte for byte
// as the program does, so both name a file's window alike.
TEST(StartupEncoding, ThePagesEncodeAsTheProgramDoes) {
  std::string sample;
  for (int c = 1; c < 128; ++c) sample.push_back(static_cast<char>(c));
  sample += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // e acute, euro, an emoji
  std::string hex;
  for (unsigned char c : sample) {
    static const char digits[] = "0123456789abcdef";
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  const std::string script = "const P = require('" PEL_SOURCE_ROOT "/pages/pelmora.js');\n"
                             "process.stdout.write(P.encodePath(Buffer.from('" + hex +
                             "', 'hex').toString('utf8')));\n";
  EXPECT_EQ(pel::test::runNodeScript(script), encodeFilePath(sample));
}

TEST(StartupHandOverText, StartPagesAreTakenApart) {
  using Kind = HandedPage::Kind;
  struct Row {
    std::string text;
    Kind kind;
    std::string action;
    std::string path;
  };
  const std::vector<Row> rows = {
      {"main.w", Kind::Main, "", ""},
      {"main.w?x", Kind::Main, "", ""},
      {"viewer.w?file=%2Ftmp%2Fa%20b%2Bc.png", Kind::File, "view", "/tmp/a b+c.png"},
      // "+" stays; "#", "&" and "?" belong to the name; only the first "?file=" counts.
      {"editor.w?file=/x/a+b#c&d?file=e", Kind::File, "edit", "/x/a+b#c&d?file=e"},
      {"print.w?file=%c3%a9", Kind::File, "print", "\xC3\xA9"},
      {"viewer.w", Kind::File, "view", ""},
      {"index.w?file=%2Fa", Kind::Ignored, "", ""},
      {"", Kind::Ignored, "", ""},
      {"viewer.w?file=%zz", Kind::Invalid, "", ""},
      {"viewer.w?file=%4", Kind::Invalid, "", ""},
      {"viewer.w?file=/a%", Kind::Invalid, "", ""},
      {"viewer.w?file=/a%00b", Kind::Invalid, "", ""},
      {std::string("viewer.w?file=/a\0b", 18), Kind::Invalid, "", ""},
      {std::string("main.w\0", 7), Kind::Invalid, "", ""},
  };
  for (const Row& row : rows) {
    const HandedPage page = parseStartPage(row.text);
    EXPECT_EQ(page.kind, row.kind) << row.text;
    EXPECT_EQ(page.action, row.action) << row.text;
    EXPECT_EQ(page.path, row.path) << row.text;
  }
}

class StartPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pel-start-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    file_ = folder_ + "/a b+c#.png";
    std::ofstream(file_) << "x";
    fs::create_directory(folder_ + "/sub");
    previous_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(folder_);
  }
  std::string folder_;
  std::string file_;
  fs::path previous_;
};

TEST_F(StartPageTest, TheCommandLineChoosesThePageAndTheWindow) {
  struct Row {
    std::vector<std::string> args;
    std::string page;
    bool visible;
    std::string title;
    std::string identifier;
  };
  const std::string encoded = encodeFilePath(file_);
  const std::string folderEncoded = encodeFilePath(folder_ + "/sub");
  const std::vector<Row> rows = {
      {{}, "main.w", false, "Pelmora", "main-window"},
      {{"pelmora"}, "main.w", false, "Pelmora", "main-window"},
      {{"pelmora", "-view"}, "main.w", false, "Pelmora", "main-window"},
      {{"pelmora", "-view", file_}, "viewer.w?file=" + encoded, true, "Pelmora - Viewer",
       "photo-viewer"},
      {{"pelmora", "-edit", folder_ + "/sub"}, "editor.w?file=" + folderEncoded, true,
       "Pelmora - Editor", "editor"},
      {{"pelmora", "-print", file_, "extra", "more"}, "print.w?file=" + encoded, true,
       "Print Image", "print-dialog"},
      {{"pelmora", "-view", folder_ + "/missing.png"}, "main.w", true, "Pelmora", "main-window"},
      {{"pelmora", "-view", ""}, "main.w", true, "Pelmora", "main-window"},
      {{"pelmora", "-View", file_}, "main.w", true, "Pelmora", "main-window"},
      {{"pelmora", "/view", file_}, "main.w", true, "Pelmora", "main-window"},
      {{"pelmora", "view", file_}, "main.w", true, "Pelmora", "main-window"},
  };
  for (const Row& row : rows) {
    const StartChoice choice = chooseStartPage(row.args);
    const std::string where = row.args.size() > 1 ? row.args[1] : "(none)";
    EXPECT_EQ(choice.startPage, row.page) << where;
    const zrk::WindowOptions& options = choice.options;
    EXPECT_EQ(options.visible, row.visible) << where;
    EXPECT_EQ(options.title, row.title) << where;
    EXPECT_EQ(options.identifier, row.identifier) << where;
    EXPECT_EQ(options.label, std::optional<std::string>("mainwindow"));
    EXPECT_EQ(options.url, row.page);
    EXPECT_EQ(options.width, 1024);
    EXPECT_EQ(options.height, 900);
    EXPECT_TRUE(options.center && options.resizable && options.maximizable &&
                options.minimizable && options.closable && options.hiddenTitle);
    EXPECT_FALSE(options.useDocumentTitle);
    ASSERT_TRUE(options.titleBarRect);
    EXPECT_EQ(options.titleBarRect->height, 40.0f);
    EXPECT_EQ(options.titleBarRect->width, 0.0f);
    EXPECT_FALSE(options.x || options.y || options.minWidth || options.maxWidth);
    EXPECT_TRUE(options.parent.empty() && options.theme.empty());
  }
}

TEST_F(StartPageTest, ARelativeFileIsMadeAbsoluteSoAHandOverNamesTheSameFile) {
  fs::current_path(folder_ + "/sub");
  const std::string expected = "viewer.w?file=" + encodeFilePath(file_);
  for (const std::string& relative : {std::string("../a b+c#.png"), std::string("./../a b+c#.png"),
                                      std::string("../sub/../a b+c#.png")}) {
    EXPECT_EQ(chooseStartPage({"pelmora", "-view", relative}).startPage, expected) << relative;
  }
}

TEST(StartupBaseUrl, AConfiguredBaseEndsInASlashAndAnEmptyOneKeepsTheDefault) {
  EXPECT_EQ(baseUrlFrom(""), "https://pelma/");
  EXPECT_EQ(baseUrlFrom("https://.pelma"), "https://.pelma/");
  EXPECT_EQ(baseUrlFrom("https://.pelma/"), "https://.pelma/");
}

TEST(StartupFileWindows, OptionsFollowTheKind) {
  struct Row {
    std::string action;
    std::string title;
    std::string identifier;
  };
  for (const Row& row : std::vector<Row>{{"view", "Pelmora - Viewer", "photo-viewer"},
                                         {"edit", "Pelmora - Editor", "editor"},
                                         {"print", "Print Image", "print-dialog"}}) {
    const zrk::WindowOptions options = fileWindowOptions(row.action);
    EXPECT_EQ(options.title, row.title);
    EXPECT_EQ(options.identifier, row.identifier);
    EXPECT_TRUE(options.visible && options.center && options.hiddenTitle);
    EXPECT_FALSE(options.label);  // given to the factory apart
    EXPECT_TRUE(options.url.empty());
  }
  // Unknown actions and missing paths open nothing (and touch no window list).
  EXPECT_EQ(openWindowForFile("open", "/"), nullptr);
  EXPECT_EQ(openWindowForFile("view", "/no/such/file.png"), nullptr);
  EXPECT_EQ(openWindowForFile("view", ""), nullptr);
  EXPECT_EQ(fileWindowCounter, 0u);
}

TEST(StartupRegistrations, HandlersAndPluginsAreRegisteredInTheirOrder) {
  std::vector<std::string> names;
  for (const auto& row : startupRegistrations()) names.emplace_back(row.name);
  EXPECT_EQ(names, (std::vector<std::string>{"thumbnail", "getimage", "appdata", "bundle",
                                              "update", "sqlite", "ocr", "ignore-broken-pipes",
                                              "shell", "imaging"}));
  ::signal(SIGPIPE, SIG_DFL);
  registerStartupServices();
  registerStartupServices();  // once per process

  std::vector<std::string> handlers;
  for (const auto& handler : *http::handlerList()) handlers.emplace_back(handler->className());
  // The bundle handler is the one put at the front.
  EXPECT_EQ(handlers, (std::vector<std::string>{"HttpBundleHandler", "HttpThumbnailHandler",
                                                 "HttpGetImageHandler", "HttpAppDataHandler",
                                                 "HttpUpdateHandler"}));
  for (const char* plugin : {"sqlite", "ocr", "shell", "imaging"}) {
    EXPECT_TRUE(zrk::plugin::PluginRegistry::find(plugin)) << plugin;
  }
  struct sigaction action {};
  ::sigaction(SIGPIPE, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
}

}  // namespace
