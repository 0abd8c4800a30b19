// The logging plugin over the process's log, on temporary files: what a record says and under
// which source, the threshold, percent escapes and printf directives taken as text, the file
// configuration (rotation, asynchronous writing, paths that cannot be used) and the bound on the
// categories pages may name.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "vesk/log.h"
#include "zrkwebview/browser/src/http-plugins/logging/logging-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct Answer {
  int status = -1;  // -1: the plugin had no such command
  std::string message;
  std::string body;
};

Answer call(const std::string& command, const json& body) {
  zrk::plugin::LoggingPlugin plugin;
  Answer a;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(
      plugin.invoke(command, nullptr, nullptr, nullptr, body));
  if (!response) return a;
  a.status = response->status();
  a.message = response->statusMessage();
  for (std::string piece; !(piece = response->read(4096)).empty();) a.body += piece;
  return a;
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LoggingPluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* tmp = getenv("TMPDIR");
    folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrklog-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) folder.clear();
  }
  static void TearDownTestSuite() {
    zrk::shutdownLogging();
    std::error_code ec;
    if (!folder.empty()) std::filesystem::remove_all(folder, ec);
  }
  void SetUp() override {
    ASSERT_FALSE(folder.empty());
    file = folder + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    zrk::setLogLevel(3);
    ASSERT_EQ(call("config", {{"file", file}}).message, "OK");
  }
  void TearDown() override { zrk::setLogLevel(1); }

  static std::string folder;
  std::string file;
};
std::string LoggingPluginTest::folder;

TEST_F(LoggingPluginTest, RegistrationAndCommandNames) {
  zrk::plugin::registerLoggingPlugin();
  auto first = zrk::plugin::PluginRegistry::find("logging");
  zrk::plugin::registerLoggingPlugin();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(zrk::plugin::PluginRegistry::find("logging"), first);
  EXPECT_STREQ(first->className(), "LoggingPlugin");
  EXPECT_EQ(first->description(), "logging plugin");
  EXPECT_EQ(first->version(), "1.0.0");
  for (const char* name : {"LOG", "Log", "set_level", ""}) {
    EXPECT_EQ(call(name, {{"message", "m"}}).status, -1) << name;
  }
}

// Each body against what the log holds afterwards: the line's text, or nothing new.
TEST_F(LoggingPluginTest, WhatARecordSays) {
  struct Case {
    json body;
    int status;
    std::string message;
    std::string line;  // a part of the new line; empty: nothing written
  };
  const Case cases[] = {
      {{{"message", "plain text"}}, 200, "OK", "@zrk [INFO]-"},
      {{{"message", "at level zero"}, {"level", 0}}, 200, "OK", ">: at level zero"},
      {{{"message", "an error"}, {"level", 1.9}}, 200, "OK", "@zrk [ERROR]-"},
      {{{"message", "a warning"}, {"level", 2}, {"category", 7}}, 200, "OK", "@zrk [WARN]-"},
      {{{"message", "too fine"}, {"level", 4}}, 200, "OK", ""},
      {{{"message", "odd level"}, {"level", -7}}, 200, "OK", "[INFO]-"},
      {{{"message", "%41%62c+d%2B"}}, 200, "OK", ">: Abc+d+"},
      {{{"message", "%25s %25n %25d"}}, 200, "OK", ">: %s %n %d"},
      {{{"message", "from the viewer"}, {"category", "viewer"}}, 200, "OK", "@viewer [INFO]-"},
      {{{"message", ""}}, 200, "OK", ""},
      {{{"message", "%"}}, 400, "Bad URI syntax", ""},
      {{{"message", "50% off"}}, 400, "Bad URI syntax", ""},
      {{{"message", "%4"}}, 400, "Bad URI syntax", ""},
      {{{"message", "%zz"}}, 400, "Bad URI syntax", ""},
      {{{"level", 2}}, 400, "Invalid payload, missing message.", ""},
      {{{"message", 5}}, 400, "Invalid payload, missing message.", ""},
      {json::array({"message"}), 400, "Invalid payload, missing message.", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.dump());
    const std::string before = contents(file);
    const Answer a = call("log", c.body);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.message, c.message);
    if (c.status == 200) {
      EXPECT_EQ(a.body, "");
    }
    const std::string added = contents(file).substr(before.size());
    if (c.line.empty()) {
      EXPECT_EQ(added, "");
    } else {
      EXPECT_NE(added.find(c.line), std::string::npos) << added;
      EXPECT_EQ(added.find(" - "), std::string::npos) << added;  // no source path or line
    }
  }
}

TEST_F(LoggingPluginTest, SetLevel) {
  const std::pair<json, int> cases[] = {
      {json::object(), 5}, {{{"level", 2.7}}, 2}, {{{"level", "3"}}, 5}, {{{"level", 1}}, 1},
      {json::array(), 5},
  };
  for (const auto& [body, level] : cases) {
    zrk::setLogLevel(3);
    EXPECT_EQ(call("setlevel", body).message, "OK");
    EXPECT_EQ(zrk::logLevel(), level) << body.dump();
  }
  call("setlevel", {{"level", 1}});
  call("log", {{"message", "dropped"}, {"level", 3}});
  EXPECT_EQ(contents(file).find("dropped"), std::string::npos);
}

// A path that is empty or cannot be opened keeps the current file, which also tells why.
TEST_F(LoggingPluginTest, AnUnusablePathKeepsTheCurrentFile) {
  const std::string blocked = folder + "/a-folder";
  std::filesystem::create_directory(blocked);
  for (const json& body : {json::object(), json{{"file", ""}}, json{{"file", 3}},
                           json{{"file", folder + "/missing/x.log"}}, json{{"file", blocked}}}) {
    SCOPED_TRACE(body.dump());
    EXPECT_EQ(call("config", body).message, "OK");
    const std::string marker = "still here " + body.dump();
    call("log", {{"message", marker}});
    EXPECT_NE(contents(file).find(marker), std::string::npos);
  }
  EXPECT_NE(contents(file).find("@zrk [WARN]-"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder + "/missing"));
}

TEST_F(LoggingPluginTest, RotationBetweenTheFileAndItsTwin) {
  const std::string rotating = folder + "/rotating.log";
  ASSERT_EQ(call("config", {{"file", rotating}, {"rotate", 300}, {"async", 1}}).message, "OK");
  for (int i = 0; i < 30; ++i) call("log", {{"message", "record number " + std::to_string(i)}});
  ASSERT_TRUE(std::filesystem::exists(rotating + ".0"));
  const std::string both = contents(rotating) + contents(rotating + ".0");
  EXPECT_NE(both.find("record number 29"), std::string::npos);
  EXPECT_EQ(both.find("record number 0\n"), std::string::npos);  // emptied by a later switch
  EXPECT_LT(std::filesystem::file_size(rotating), 600u);
  // The previous file no longer receives anything.
  EXPECT_EQ(contents(file).find("record number"), std::string::npos);
}

TEST_F(LoggingPluginTest, AsynchronousWritingArrivesLater) {
  const std::string later = folder + "/async.log";
  ASSERT_EQ(call("config", {{"file", later}, {"async", true}, {"utc", true}}).message, "OK");
  EXPECT_EQ(call("log", {{"message", "written by the writer thread"}}).message, "OK");
  // The writer thread's own pace: poll the file, then stop the writer, which flushes.
  for (int i = 0; i < 500 && contents(later).find("writer thread") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  zrk::shutdownLogging();
  EXPECT_NE(contents(later).find(">: written by the writer thread"), std::string::npos);
}

// Pages get a bounded number of loggers with bounded names; every record past the bound still
// reaches the log, under the framework's logger with its category in the text.
TEST_F(LoggingPluginTest, CategoriesAreBoundedAndNothingIsLost) {
  const size_t bound = zrk::plugin::LoggingPlugin::kMaxCategories;
  const std::string tooLong(zrk::plugin::LoggingPlugin::kMaxCategoryLength + 1, 'c');
  call("log", {{"message", "long"}, {"category", tooLong}});
  for (size_t i = 0; i < bound + 5; ++i) {
    const std::string n = std::to_string(i);
    call("log", {{"message", "m" + n}, {"category", "cat" + n}});
  }
  call("log", {{"message", "again"}, {"category", "cat0"}});
  const std::string log = contents(file);
  EXPECT_NE(log.find(">: [" + tooLong + "] long"), std::string::npos);
  size_t own = 0;
  size_t folded = 0;
  for (size_t i = 0; i < bound + 5; ++i) {
    const std::string n = std::to_string(i);
    if (log.find("@cat" + n + " [INFO]") != std::string::npos &&
        log.find(">: m" + n + "\n") != std::string::npos) {
      ++own;
    } else if (log.find(">: [cat" + n + "] m" + n + "\n") != std::string::npos) {
      ++folded;
    }
  }
  // Other tests of this process may have named categories first.
  EXPECT_LE(own, bound);
  EXPECT_EQ(own + folded, bound + 5);
  EXPECT_GE(folded, 5u);
  EXPECT_NE(log.find("@cat0 [INFO]"), std::string::npos);
  EXPECT_NE(log.find(">: again"), std::string::npos);
}

}  // namespace
