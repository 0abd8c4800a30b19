// The tests share the process-wide logging state and run in the order written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "vesk/log.h"

namespace fs = std::filesystem;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pelmora-log-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    zrk::setLogLevel(5);
  }
  void TearDown() override {
    zrk::shutdownLogging();
    fs::remove_all(dir_);
  }

  std::string path(const char* name) const { return (dir_ / name).string(); }

  static std::vector<std::string> lines(const std::string& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  // Configures a synchronous, UTC destination so every record is on disk when the call returns.
  void configureSync(const std::string& file, int rotation = 0) {
    zrk::configureLogging(file, rotation, false, false);
  }

  fs::path dir_;
};

TEST_F(LogTest, NothingIsWrittenBeforeTheFirstConfiguration) {
  const std::string file = path("log.txt");
  zrk::log(nullptr, 0, 1, "before configuration %d", 1);
  zrk::logTo("early", nullptr, 0, 1, "before configuration too");
  EXPECT_FALSE(fs::exists(file));

  configureSync(file);
  zrk::log(nullptr, 0, 1, "after configuration");
  zrk::logTo("early", nullptr, 0, 1, "early logger after configuration");
  auto got = lines(file);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find(">: after configuration"), std::string::npos);
  EXPECT_EQ(got[1].rfind("@early [ERROR]-", 0), 0u) << got[1];
}

TEST_F(LogTest, RecordsFollowThePatternWithTheSourceRootCut) {
  const std::string file = path("log.txt");
  configureSync(file);
  const int line = __LINE__ + 1;
  zrk::log(__FILE__, line, 1, "opened %s (%d bytes)", "a b.png", 42);
  auto got = lines(file);
  ASSERT_EQ(got.size(), 1u);
  const std::regex record(
      R"(@zrk \[ERROR\]-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/[1-9][0-9]?/[0-9]{4} )"
      R"([0-9]{2}:[0-9]{2}:[0-9]{2}\(GMT\) >: /tests/vesk/log/log_test\.cpp:)" +
      std::to_string(line) + R"( - opened a b\.png \(42 bytes\))");
  EXPECT_TRUE(std::regex_match(got[0], record)) << got[0];
}

TEST_F(LogTest, MessageTextAndSourcePaths) {
  const std::string file = path("log.txt");
  configureSync(file);
  const std::string root = PEL_SOURCE_ROOT;
  std::string backslashed = root + "/src/app.cpp";
  for (char& c : backslashed) {
    if (c == '/') c = '\\';
  }
  // Each call is written out: formats are literals, as in the program.
  zrk::log(nullptr, 7, 1, "plain text without directives");
  zrk::log("", 7, 1, "no file at all");
  zrk::log(nullptr, 7, 1, "a 100%% sure");
  zrk::log("/elsewhere/x.cpp", 7, 1, "outside");
  zrk::log("C:\\work\\y.cpp", 7, 1, "slashes");
  zrk::log(backslashed.c_str(), 7, 1, "inside");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
  zrk::log(nullptr, 7, 1, "");  // an empty format writes nothing
#pragma GCC diagnostic pop
  const char* cases[] = {">: plain text without directives", ">: no file at all", ">: a 100% sure",
                         ">: /elsewhere/x.cpp:7 - outside", ">: C:/work/y.cpp:7 - slashes",
                         ">: /src/app.cpp:7 - inside"};
  auto got = lines(file);
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i) {
    const std::string text = cases[i];
    ASSERT_GE(got[i].size(), text.size());
    EXPECT_EQ(got[i].substr(got[i].size() - text.size()), text) << got[i];
  }

  // Outside text travels as an argument and is never interpreted.
  zrk::log(nullptr, 0, 1, "%s", "100% %s %n");
  got = lines(file);
  EXPECT_NE(got.back().find(">: 100% %s %n"), std::string::npos);
  EXPECT_EQ(zrk::normalizeSourcePath("a\\b\\c"), "a/b/c");
}

TEST_F(LogTest, ThresholdAndPriorityNames) {
  const std::string file = path("log.txt");
  configureSync(file);
  struct Case {
    int threshold;
    int level;
    const char* expected;  // priority name written, or nullptr when dropped
  } cases[] = {
      {1, 1, "ERROR"}, {1, 2, nullptr}, {1, 3, nullptr}, {1, 4, nullptr}, {1, 5, nullptr},
      // Levels 0 and below pass every threshold as information, which the loggers' level at
      // threshold 1 (errors) still drops; from threshold 3 on they are written.
      {1, 0, nullptr}, {1, -3, nullptr}, {3, 0, "INFO"}, {3, -3, "INFO"},
      {3, 2, "WARN"},  {3, 3, "INFO"},  {3, 4, nullptr},
      {5, 4, "DEBUG"}, {5, 5, "TRACE"}, {5, 9, nullptr},
      // Threshold 6 admits 4 and 5, but the loggers' level (information) still drops them.
      {6, 4, nullptr}, {6, 5, nullptr}, {6, 6, "INFO"},
  };
  int n = 0;
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    zrk::setLogLevel(c.threshold);
    EXPECT_EQ(zrk::logLevel(), c.threshold);
    std::string marker = "case-" + std::to_string(n++);
    zrk::log(nullptr, 0, c.level, "%s", marker.c_str());
    if (c.expected) expected.push_back(std::string("[") + c.expected + "]-|" + marker);
  }
  auto got = lines(file);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const std::string& want = expected[i];
    const std::string name = want.substr(0, want.find('|'));
    const std::string marker = want.substr(want.find('|') + 1);
    EXPECT_NE(got[i].find(name), std::string::npos) << got[i];
    EXPECT_EQ(got[i].substr(got[i].size() - marker.size()), marker) << got[i];
  }
}

TEST_F(LogTest, RotatesToTheSecondFileAtTheGivenSize) {
  const std::string file = path("log.txt");
  configureSync(file, 400);
  for (int i = 0; i < 20; ++i) zrk::log(nullptr, 0, 1, "record number %02d with some padding text", i);
  ASSERT_TRUE(fs::exists(file + ".0"));
  // Each file holds less than the limit plus one record; together they hold the latest records.
  EXPECT_LT(fs::file_size(file), 400u + 120u);
  EXPECT_LT(fs::file_size(file + ".0"), 400u + 120u);
  // The newest record is kept in one of the two files.
  auto a = lines(file);
  auto b = lines(file + ".0");
  bool found = false;
  for (const auto& l : a) found = found || l.find("record number 19") != std::string::npos;
  for (const auto& l : b) found = found || l.find("record number 19") != std::string::npos;
  EXPECT_TRUE(found);
  EXPECT_EQ(a.size() + b.size() < 20, true);  // the file switched to was truncated
}

TEST_F(LogTest, ReconfiguringFlushesTheOldFileAndSwitchesTimes) {
  const std::string first = path("first.txt");
  const std::string second = path("second.txt");
  zrk::configureLogging(first, 2097152, true, true);
  for (int i = 0; i < 50; ++i) zrk::log(nullptr, 0, 1, "async %d", i);
  zrk::configureLogging(second, 0, false, false);
  zrk::log(nullptr, 0, 1, "to the second file");

  auto old = lines(first);
  ASSERT_EQ(old.size(), 50u);  // drained before the switch
  const std::regex local(R"(.*\((GMT|[+-][0-9]{4})\) >: async 0)");
  EXPECT_TRUE(std::regex_match(old.front(), local)) << old.front();
  auto now = lines(second);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_NE(now[0].find("(GMT) >: to the second file"), std::string::npos) << now[0];
}

TEST_F(LogTest, ShutdownStopsWritingUntilConfiguredAgain) {
  const std::string file = path("log.txt");
  zrk::configureLogging(file, 0, true, false);
  zrk::log(nullptr, 0, 1, "kept");
  zrk::shutdownLogging();
  zrk::log(nullptr, 0, 1, "dropped");
  auto got = lines(file);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find("kept"), std::string::npos);
}

}  // namespace
