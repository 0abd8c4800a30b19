// The app plugin: the readers over injected version blocks (missing parts, translations, empty
// and non-ASCII entries), "quit" delays, the command line, the dialog attributes' set/clear rules
// and static-file locations.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/sysinfo.h"
#include "desk/test_services.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/handlers/static-path-table.h"
#include "zrkwebview/browser/src/http-plugins/app/app-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;

// Records the delays "quit" asks for instead of ending anything.
class RecordingApp : public zrk::App {
 public:
  uint32_t quit(uint32_t delayMs) override {
    delays.push_back(delayMs);
    return 6000;
  }
  std::vector<uint32_t> delays;
};

struct Answer {
  int status = -1;  // -1: the plugin had no such command
  std::string message;
  std::string body;
  std::string type;
};

Answer call(const std::string& command, const json& body = json::object()) {
  zrk::plugin::AppPlugin plugin;
  Answer a;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(
      plugin.invoke(command, nullptr, nullptr, nullptr, body));
  if (!response) return a;
  a.status = response->status();
  a.message = response->statusMessage();
  for (std::string piece; !(piece = response->read(4096)).empty();) a.body += piece;
  for (const auto& [name, value] : response->headers()) {
    if (name == "Content-Type") a.type = value;
  }
  return a;
}

desk::VS_FIXEDFILEINFO fileVersion(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  desk::VS_FIXEDFILEINFO info;
  info.dwFileVersionMS = (static_cast<uint32_t>(a) << 16) | b;
  info.dwFileVersionLS = (static_cast<uint32_t>(c) << 16) | d;
  // The product version differs on purpose: it is never read.
  info.dwProductVersionMS = 9 << 16;
  return info;
}

desk::VersionBlock fullBlock() {
  desk::VersionBlock block;
  block.translations = {{0x0409, 0x04B0}};
  block.strings = {
      {"040904b0\\ProductName", u"Pelm\u00f6ra"},
      {"040904b0\\ProductVersion", u"3.2"},
      {"040904b0\\Company", u"Pelmora Software"},
      {"040904b0\\LegalCopyright", u"(C) 2026"},
      {"040904b0\\Email", u"a@b.c"},
      {"040904b0\\Website", u"https://pelmora.example"},
      {"040904b0\\Identifier", u"Pelmora"},
      // Upper-case digits are not the key the readers build.
      {"040904B0\\CompanyName", u"not read"},
  };
  block.fixed = fileVersion(3, 2, 1, 0);
  return block;
}

class AppPluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    zrk::App::setFactory([] { return std::make_shared<RecordingApp>(); });
  }
  void TearDown() override {
    desk::test::resetSystemFacts();
    zrk::setDialogAttributes({});
  }
  static RecordingApp& app() { return static_cast<RecordingApp&>(*zrk::App::instance()); }

  // The nine text readers' answers, in command order.
  static std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const char* c : {"name", "version", "bundle_version", "company", "copyright", "email",
                          "url", "identifier", "zrk_version"}) {
      const Answer a = call(c);
      EXPECT_EQ(a.status, 200) << c;
      EXPECT_EQ(a.type, "text/plain") << c;
      out.push_back(a.body);
    }
    return out;
  }
};

TEST_F(AppPluginTest, RegistrationAndCommandNames) {
  zrk::plugin::registerAppPlugin();
  auto first = zrk::plugin::PluginRegistry::find("app");
  zrk::plugin::registerAppPlugin();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(zrk::plugin::PluginRegistry::find("app"), first);
  EXPECT_STREQ(first->className(), "AppPlugin");
  EXPECT_EQ(first->description(), "app plugin");
  EXPECT_EQ(first->version(), "1.0.0");
  for (const char* name : {"NAME", "quit ", "", "get_arg"}) EXPECT_EQ(call(name).status, -1) << name;
}

TEST_F(AppPluginTest, ReadersOverVersionBlocks) {
  desk::VersionBlock noProductVersion = fullBlock();
  noProductVersion.strings.erase(noProductVersion.strings.begin() + 1);
  desk::VersionBlock emptyProductVersion = fullBlock();
  emptyProductVersion.strings[1].second = u"";
  desk::VersionBlock secondTranslation = fullBlock();
  secondTranslation.translations = {{0x0407, 0x04E4}, {0x0409, 0x04B0}};
  desk::VersionBlock noTable = fullBlock();
  noTable.hasTranslationTable = false;
  noTable.fixed.reset();
  desk::VersionBlock badText = fullBlock();
  badText.strings[0].second = std::u16string(1, static_cast<char16_t>(0xD800));

  struct Case {
    const char* label;
    std::optional<desk::VersionBlock> block;
    bool readFails;
    std::vector<std::string> texts;
  };
  const std::vector<std::string> none = {"", "1.0.0.", "1.0.0.", "", "", "", "", "", "1.0.0"};
  const Case cases[] = {
      {"full", fullBlock(), false,
       {"Pelm\xc3\xb6ra", "3.2", "3.2.1.0", "Pelmora Software", "(C) 2026", "a@b.c",
        "https://pelmora.example", "Pelmora", "1.0.0"}},
      {"no ProductVersion", noProductVersion, false,
       {"Pelm\xc3\xb6ra", "3.2.1.0", "3.2.1.0", "Pelmora Software", "(C) 2026", "a@b.c",
        "https://pelmora.example", "Pelmora", "1.0.0"}},
      {"empty ProductVersion", emptyProductVersion, false,
       {"Pelm\xc3\xb6ra", "3.2.1.0", "3.2.1.0", "Pelmora Software", "(C) 2026", "a@b.c",
        "https://pelmora.example", "Pelmora", "1.0.0"}},
      // Only the first translation is consulted, found or not.
      {"entries under the second translation", secondTranslation, false,
       {"", "3.2.1.0", "3.2.1.0", "", "", "", "", "", "1.0.0"}},
      {"no translation table, no fixed part", noTable, false, none},
      {"no block", std::nullopt, false, none},
      {"unreadable block", fullBlock(), true, none},
      {"invalid UTF-16", badText, false,
       {"", "3.2", "3.2.1.0", "Pelmora Software", "(C) 2026", "a@b.c", "https://pelmora.example",
        "Pelmora", "1.0.0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    desk::test::setVersionBlock(c.block);
    desk::test::failVersionRead(c.readFails);
    EXPECT_EQ(texts(), c.texts);
    EXPECT_EQ(zrk::readVersionIdentifier(), c.texts[7]);
  }
  // Without the executable's path nothing is read, not even the default.
  desk::test::setVersionBlock(fullBlock());
  desk::test::failModuleFileName(true);
  EXPECT_EQ(call("bundle_version").body, "");
  EXPECT_EQ(call("zrk_version").body, "1.0.0");
}

TEST_F(AppPluginTest, QuitDelays) {
  struct Case {
    json body;
    uint32_t delay;
  };
  const Case cases[] = {
      {json::object(), 0},
      {json::array(), 0},
      {{{"delay", 0}}, 0},
      {{{"delay", 500}}, 500},
      {{{"delay", 2500.9}}, 2500},
      {{{"delay", "2500"}}, 0},
      {{{"delay", -5}}, 0},  // not 49 days
      {{{"delay", -0.5}}, 0},
      {{{"delay", 4294967296.0}}, std::numeric_limits<uint32_t>::max()},
      {{{"delay", 1e300}}, std::numeric_limits<uint32_t>::max()},
  };
  for (const Case& c : cases) {
    app().delays.clear();
    const Answer a = call("quit", c.body);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.message, "OK");
    EXPECT_EQ(a.body, "");
    EXPECT_EQ(app().delays, std::vector<uint32_t>{c.delay}) << c.body.dump();
  }
}

TEST_F(AppPluginTest, ArgumentsAsAJsonArray) {
  desk::test::setCommandLineArguments(std::vector<std::string>{
      "/opt/pelmora/pelmora", "-view", "C:\\My Photos\\a \"b\".jpg", "\xc3\xa4", "bad \xff"});
  const Answer a = call("get_args");
  EXPECT_EQ(a.type, "application/json");
  EXPECT_EQ(a.body,
            R"(["/opt/pelmora/pelmora","-view","C:\\My Photos\\a \"b\".jpg",")"
            "\xc3\xa4"
            R"(",""])");
  desk::test::setCommandLineArguments(std::vector<std::string>{});
  EXPECT_EQ(call("get_args").body, "[]");
}

TEST_F(AppPluginTest, DialogAttributesSetClearAndKeep) {
  struct Step {
    json body;
    std::function<void(const zrk::DialogAttributes&)> check;
  };
  const Step steps[] = {
      {{{"textColor", 16711680}}, [](const auto& d) { EXPECT_EQ(d.textColor, 0xFF0000u); }},
      {{{"fontSize", 12}, {"fontFace", "Noto Sans"}},
       [](const auto& d) {
         EXPECT_EQ(d.textColor, 0xFF0000u);
         EXPECT_EQ(d.fontSize, 12);
         EXPECT_EQ(d.fontFace, "Noto Sans");
       }},
      {{{"textColor", nullptr}, {"fontFace", 3}, {"fontSize", "14"}},
       [](const auto& d) {
         EXPECT_FALSE(d.textColor.has_value());
         EXPECT_EQ(d.fontFace, "Noto Sans");
         EXPECT_EQ(d.fontSize, 12);
       }},
      {{{"animationDuration", 300}, {"borderColor", 1.9}, {"controlBorderColor", -1}},
       [](const auto& d) {
         EXPECT_EQ(d.animationDuration, 300u);
         EXPECT_EQ(d.borderColor, 1u);
         EXPECT_EQ(d.controlBorderColor, 0xFFFFFFFFu);
       }},
      {{{"animationDuration", nullptr}, {"borderColor", "red"}, {"fontSize", 65536 + 12}},
       [](const auto& d) {
         EXPECT_EQ(d.animationDuration, 300u);
         EXPECT_FALSE(d.borderColor.has_value());
         EXPECT_EQ(d.fontSize, 12);
         EXPECT_EQ(d.controlBorderColor, 0xFFFFFFFFu);
       }},
      {json::array({{"backgroundColor", 1}}),
       [](const auto& d) { EXPECT_FALSE(d.backgroundColor.has_value()); }},
      {{{"backgroundColor", 1}, {"controlBackgroundColor", 2}, {"controlTextColor", 3}},
       [](const auto& d) {
         EXPECT_EQ(d.backgroundColor, 1u);
         EXPECT_EQ(d.controlBackgroundColor, 2u);
         EXPECT_EQ(d.controlTextColor, 3u);
         EXPECT_EQ(zrk::animationDuration(), 300u);
       }},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.body.dump());
    const Answer a = call("set_dialog_attributes", s.body);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.message, "OK");
    s.check(zrk::dialogAttributes());
  }
}

TEST_F(AppPluginTest, HostLocations) {
  for (const json& body : {json::object(), json{{"location", "/extra"}},
                           json{{"location", "/extra"}, {"path", 5}},
                           json{{"location", ""}, {"path", "/srv"}}}) {
    const Answer a = call("add_host_location", body);
    EXPECT_EQ(a.status, 400) << body.dump();
    EXPECT_EQ(a.message, "Missing location or path.") << body.dump();
  }
  http::StaticPathTable::Entry entry;
  EXPECT_FALSE(http::StaticPathTable::match("/added-by-page/photo.jpg", entry));
  const Answer a = call("add_host_location", {{"location", " //added-by-page "}, {"path", "/srv/p"}});
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.message, "OK");
  ASSERT_TRUE(http::StaticPathTable::match("/added-by-page/photo.jpg", entry));
  EXPECT_EQ(entry.directory, "/srv/p");
  EXPECT_EQ(entry.prefix, "/added-by-page/");
}

}  // namespace
