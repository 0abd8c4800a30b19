#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/registry.h"
#include "desk/test_services.h"
#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/defaults/defaults-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;
using zrk::plugin::DefaultsPlugin;
using zrk::plugin::DefaultsStore;

const char* const kChildMode = "PEL_DEFAULTS_CHILD";

struct Reply {
  bool none = false;  // no response at all
  int status = 0;
  std::string text;  // a status reply's message, a MIME reply's body
  std::string type;
};

Reply call(const std::string& command, const json& payload, bool withWebview = true) {
  static DefaultsPlugin plugin;
  static auto webview = std::make_shared<pel::test::FakeWebview>();
  pel::test::FakeRequest request("POST", "https://pelma/plugin?name=defaults");
  auto result = plugin.invoke(command, withWebview ? webview.get() : nullptr, nullptr, &request,
                              payload);
  Reply reply;
  if (!result) {
    reply.none = true;
  } else if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
    reply.status = mime->status();
    reply.text = mime->body();
    reply.type = mime->mimeType();
  } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
    reply.status = status->status();
    reply.text = status->statusMessage();
  }
  return reply;
}

std::string keyPath() { return DefaultsStore::keyPath(DefaultsPlugin::storeName()); }

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Every test starts on an empty registry file of its own, under a fresh $XDG_CONFIG_HOME.
class DefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pel-defaults-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    std::filesystem::create_directories(root_ + "/" + DefaultsPlugin::storeName());
    desk::test::clearRegistryRefusals();
    ASSERT_TRUE(desk::useRegistryPath(registryFile()));
  }
  void TearDown() override {
    desk::useMemoryRegistry();
    std::filesystem::remove_all(root_);
  }
  std::string registryFile() const {
    return root_ + "/" + DefaultsPlugin::storeName() + "/registry.json";
  }

  std::string root_;
};

TEST_F(DefaultsTest, RefusalsAnswer400AndWriteNothing) {
  const std::string big(desk::kMaxRegistryValueSize + 1, 'x');
  struct Case {
    const char* command;
    json payload;
    const char* text;  // the whole reply text, or its start when it ends in "*"
  } cases[] = {
      {"set", json(), "Missing key"},
      {"set", json::array({1}), "Missing key"},
      {"set", {{"key", 5}, {"type", "string"}, {"value", "v"}}, "Missing key"},
      {"set", {{"key", "k"}}, "Missing type"},
      {"set", {{"key", "k"}, {"type", 1}, {"value", 1}}, "Missing type"},
      {"set", {{"key", "k"}, {"type", "nonsense"}}, "Missing value"},
      {"set", {{"key", "k"}, {"type", "nonsense"}, {"value", 1}}, "Invalid type"},
      {"set", {{"key", "k"}, {"type", "Integer"}, {"value", 1}}, "Invalid type"},
      {"set", {{"key", "k"}, {"type", "integer"}, {"value", 1.5}}, "Invalid type"},
      {"set", {{"key", "k"}, {"type", "integer"}, {"value", "1"}}, "Invalid type"},
      {"set", {{"key", "k"}, {"type", "float"}, {"value", "3"}}, "Invalid type"},
      {"set", {{"key", "k"}, {"type", "boolean"}, {"value", 1}}, "Invalid type"},
      {"set", {{"key", "k"}, {"type", "string"}, {"value", nullptr}}, "Invalid type"},
      {"set", {{"key", "k"}, {"type", "binary"}, {"value", "AQI="}}, "Invalid type"},
      // Values that would not come back as they were sent.
      {"set", {{"key", "k"}, {"type", "integer"}, {"value", uint64_t{1} << 63}}, "Integer out of range*"},
      {"set", {{"key", "k"}, {"type", "integer"}, {"value", UINT64_MAX}}, "Integer out of range*"},
      {"set", {{"key", "k"}, {"type", "float"}, {"value", (int64_t{1} << 53) + 1}}, "Float out of range*"},
      {"set", {{"key", "k"}, {"type", "float"}, {"value", -(int64_t{1} << 53) - 1}}, "Float out of range*"},
      {"set", {{"key", "k"}, {"type", "binary"}, {"value", {1, 256}}}, "Invalid binary element*"},
      {"set", {{"key", "k"}, {"type", "binary"}, {"value", {-1}}}, "Invalid binary element*"},
      {"set", {{"key", "k"}, {"type", "binary"}, {"value", {2.5}}}, "Invalid binary element*"},
      {"set", {{"key", "k"}, {"type", "binary"}, {"value", {1, "a"}}}, "[json.exception.type_error.302]*"},
      {"set", {{"key", "k"}, {"type", "binary"}, {"value", {nullptr}}}, "[json.exception.type_error.302]*"},
      // What the store itself refuses.
      {"set", {{"key", std::string("a\0b", 3)}, {"type", "string"}, {"value", "v"}}, "Invalid key*"},
      {"set", {{"key", "k"}, {"type", "string"}, {"value", big}}, "Value too large"},
      {"get", json::object(), "Missing key"},
      {"get", {{"key", "k"}}, "Missing type"},
      {"get", {{"key", "k"}, {"type", "double"}}, "Invalid type"},
      {"get", {{"key", std::string("a\0b", 3)}, {"type", "string"}}, "Invalid key*"},
      {"remove", {{"key", true}}, "Missing key"},
      {"remove", {{"key", std::string("\0", 1)}}, "Invalid key*"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 80));
    const Reply r = call(c.command, c.payload);
    EXPECT_EQ(r.status, 400);
    const std::string expected = c.text;
    if (expected.back() == '*') {
      EXPECT_EQ(r.text.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1))
          << r.text;
    } else {
      EXPECT_EQ(r.text, expected);
    }
    EXPECT_FALSE(desk::test::registryValue(keyPath(), "k").has_value());
  }
  // No webview or no such command: no response at all.
  EXPECT_TRUE(call("set", {{"key", "k"}, {"type", "boolean"}, {"value", true}}, false).none);
  EXPECT_TRUE(call("delete", {{"key", "k"}}).none);
}

TEST_F(DefaultsTest, EachTypeIsStoredInItsLayoutAndReadBack) {
  struct Case {
    const char* type;
    json value;
    desk::DWORD regType;
    const char* bytes;  // hexadecimal
    const char* got;    // what "get" answers
  } cases[] = {
      {"integer", 3, desk::REG_BINARY, "03 00 00 00 00 00 00 00", "3"},
      {"integer", -2, desk::REG_BINARY, "FE FF FF FF FF FF FF FF", "-2"},
      {"integer", INT64_MAX, desk::REG_BINARY, "FF FF FF FF FF FF FF 7F", "9223372036854775807"},
      {"integer", INT64_MIN, desk::REG_BINARY, "00 00 00 00 00 00 00 80", "-9223372036854775808"},
      {"float", 3.0, desk::REG_BINARY, "00 00 00 00 00 00 08 40", "3.0"},
      // JavaScript sends 3.0 as 3.
      {"float", 3, desk::REG_BINARY, "00 00 00 00 00 00 08 40", "3.0"},
      {"float", int64_t{1} << 53, desk::REG_BINARY, "00 00 00 00 00 00 40 43", "9.007199254740992e+15"},
      {"float", -0.0, desk::REG_BINARY, "00 00 00 00 00 00 00 80", "-0.0"},
      {"boolean", true, desk::REG_BINARY, "01", "true"},
      {"boolean", false, desk::REG_BINARY, "00", "false"},
      {"binary", {1, 2, 255}, desk::REG_BINARY, "01 02 FF", "[1,2,255]"},
      {"binary", {true, false, 0}, desk::REG_BINARY, "01 00 00", "[1,0,0]"},
      {"binary", json::array(), desk::REG_BINARY, "", "[]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.value.dump());
    const Reply set = call("set", {{"key", "k"}, {"type", c.type}, {"value", c.value}});
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.text, "true");
    EXPECT_EQ(set.type, "application/json");
    const auto stored = desk::test::registryValue(keyPath(), "k");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, c.regType);
    EXPECT_EQ(hex(stored->bytes), c.bytes);
    EXPECT_EQ(call("get", {{"key", "k"}, {"type", c.type}}).text, c.got);
  }

  // Text goes through the narrow functions: the narrow query gives the UTF-8 bytes, no NUL.
  for (const std::string& text : {std::string(), std::string("plain"), std::string("Grüße, 世界 🎉")}) {
    ASSERT_EQ(call("set", {{"key", "s"}, {"type", "string"}, {"value", text}}).text, "true");
    desk::HKEY key = nullptr;
    ASSERT_EQ(desk::RegOpenKeyExA(desk::HKEY_CURRENT_USER, keyPath().c_str(), 0, desk::KEY_READ, &key),
              0);
    desk::DWORD type = 0;
    desk::DWORD size = 0;
    ASSERT_EQ(desk::RegQueryValueExA(key, "s", nullptr, &type, nullptr, &size), 0);
    std::string data(size, '\0');
    ASSERT_EQ(desk::RegQueryValueExA(key, "s", nullptr, &type,
                                     reinterpret_cast<desk::BYTE*>(data.data()), &size),
              0);
    desk::RegCloseKey(key);
    EXPECT_EQ(type, desk::REG_SZ);
    EXPECT_EQ(data, text);
    EXPECT_EQ(call("get", {{"key", "s"}, {"type", "string"}}).text, json(text).dump());
  }
  // "group" changes nothing.
  EXPECT_EQ(call("set", {{"key", "g"}, {"type", "integer"}, {"value", 7}, {"group", "other"}}).text, "true");
  EXPECT_EQ(call("get", {{"key", "g"}, {"type", "integer"}, {"group", 12}}).text, "7");
}

TEST_F(DefaultsTest, ReadsInterpretTheBytesByTheTypeAsked) {
  ASSERT_EQ(call("set", {{"key", "flag"}, {"type", "boolean"}, {"value", true}}).text, "true");
  ASSERT_EQ(call("set", {{"key", "n"}, {"type", "integer"}, {"value", 4607182418800017408}}).text, "true");
  desk::test::seedRegistryValue(keyPath(), "dword", desk::REG_DWORD, std::string("\x05\0\0\0", 4));
  desk::test::seedRegistryValue(keyPath(), "bad", desk::REG_BINARY, "\xff\xfe");
  struct Case {
    const char* key;
    const char* type;
    const char* got;
  } cases[] = {
      {"flag", "integer", "0"},       {"flag", "binary", "[1]"},    {"flag", "float", "0.0"},
      {"n", "float", "1.0"},          {"n", "boolean", "false"},    {"dword", "integer", "0"},
      {"dword", "binary", "[5,0,0,0]"}, {"dword", "boolean", "false"},
      // Missing values: the empty value of each type.
      {"none", "boolean", "false"},   {"none", "float", "0.0"},     {"none", "integer", "0"},
      {"none", "string", "\"\""},     {"none", "binary", "[]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " as " + c.type);
    const Reply r = call("get", {{"key", c.key}, {"type", c.type}});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.text, c.got);
  }
  // Bytes that are no UTF-8 text cannot be answered as a string.
  const Reply bad = call("get", {{"key", "bad"}, {"type", "string"}});
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(bad.text.rfind("[json.exception.type_error.316]", 0), 0u) << bad.text;
}

TEST_F(DefaultsTest, RemoveAndAKeyThatCannotBeOpened) {
  ASSERT_EQ(call("set", {{"key", "k"}, {"type", "string"}, {"value", "v"}}).text, "true");
  EXPECT_EQ(call("remove", {{"key", "k"}}).text, "true");
  EXPECT_EQ(call("remove", {{"key", "k"}}).text, "false");
  EXPECT_EQ(call("get", {{"key", "k"}, {"type", "string"}}).text, "\"\"");

  // A "get" of nothing creates the settings key.
  desk::useMemoryRegistry();
  ASSERT_TRUE(desk::useRegistryPath(registryFile() + ".2"));
  EXPECT_EQ(call("get", {{"key", "x"}, {"type", "binary"}}).text, "[]");
  desk::HKEY key = nullptr;
  EXPECT_EQ(desk::RegOpenKeyExA(desk::HKEY_CURRENT_USER, keyPath().c_str(), 0, desk::KEY_READ, &key), 0);
  desk::RegCloseKey(key);

  desk::test::refuseRegistryKey(keyPath());
  EXPECT_EQ(call("set", {{"key", "k"}, {"type", "integer"}, {"value", 1}}).text, "false");
  EXPECT_EQ(call("get", {{"key", "k"}, {"type", "integer"}}).text, "0");
  EXPECT_EQ(call("remove", {{"key", "k"}}).text, "false");
  desk::test::clearRegistryRefusals();
  EXPECT_EQ(desk::test::openRegistryKeys(), 0u);
}

// ---- across processes ----------------------------------------------------------------------------

// The values a first run stores and a second run reads back.
struct Kept {
  const char* key;
  const char* type;
  json value;
  const char* got;
};
std::vector<Kept> keptValues() {
  return {
      {"i-max", "integer", INT64_MAX, "9223372036854775807"},
      {"i-min", "integer", INT64_MIN, "-9223372036854775808"},
      {"f-tenth", "float", 0.1, "0.1"},
      {"f-negzero", "float", -0.0, "-0.0"},
      {"f-denormal", "float", 5e-324, "5e-324"},
      {"f-max", "float", DBL_MAX, "1.7976931348623157e+308"},
      {"b-true", "boolean", true, "true"},
      {"s-empty", "string", "", "\"\""},
      {"s-text", "string", "Grüße, 世界 🎉", "\"Grüße, 世界 🎉\""},
      {"bin-empty", "binary", json::array(), "[]"},
      {"bin-ends", "binary", {0, 255}, "[0,255]"},
  };
}

// Runs this executable again as a child with the mode in the environment; returns its pid.
pid_t startChild(const std::string& mode) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv(kChildMode, mode.c_str(), 1);
    const std::string filter = "--gtest_filter=DefaultsChild.Run";
    char* argv[] = {const_cast<char*>("/proc/self/exe"), const_cast<char*>(filter.c_str()), nullptr};
    execv("/proc/self/exe", argv);
    _exit(127);
  }
  return pid;
}

int waitChild(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The child: a fresh process whose registry starts in memory, so the first command names the
// file under $XDG_CONFIG_HOME as the program would.
TEST(DefaultsChild, Run) {
  const char* mode = getenv(kChildMode);
  if (mode == nullptr) GTEST_SKIP() << "runs only as a child of the restart tests";
  const std::string m = mode;
  if (m == "write") {
    for (const Kept& k : keptValues()) {
      ASSERT_EQ(call("set", {{"key", k.key}, {"type", k.type}, {"value", k.value}}).text, "true");
    }
  } else if (m == "read") {
    for (const Kept& k : keptValues()) {
      EXPECT_EQ(call("get", {{"key", k.key}, {"type", k.type}}).text, k.got) << k.key;
    }
    EXPECT_EQ(call("remove", {{"key", "i-max"}}).text, "true");
    EXPECT_EQ(call("remove", {{"key", "i-max"}}).text, "false");
  } else if (m == "loop") {
    // Rewrites eight keys in order for ever, each round with one value for all, going on from
    // what the last child left.
    const int64_t first = std::stoll(call("get", {{"key", "loop0"}, {"type", "integer"}}).text) + 1;
    for (int64_t round = first;; ++round) {
      for (int i = 0; i < 8; ++i) {
        call("set", {{"key", "loop" + std::to_string(i)}, {"type", "integer"}, {"value", round}});
      }
    }
  }
}

TEST_F(DefaultsTest, SettingsSurviveARestart) {
  desk::useMemoryRegistry();
  ASSERT_EQ(waitChild(startChild("write")), 0);
  ASSERT_TRUE(std::filesystem::exists(registryFile()));
  ASSERT_EQ(waitChild(startChild("read")), 0);

  // The layout the second run read, seen from here.
  ASSERT_TRUE(desk::useRegistryPath(registryFile()));
  EXPECT_FALSE(desk::test::registryValue(keyPath(), "i-max").has_value());
  const auto min = desk::test::registryValue(keyPath(), "i-min");
  ASSERT_TRUE(min.has_value());
  EXPECT_EQ(min->type, desk::REG_BINARY);
  EXPECT_EQ(hex(min->bytes), "00 00 00 00 00 00 00 80");
  const auto denormal = desk::test::registryValue(keyPath(), "f-denormal");
  ASSERT_TRUE(denormal.has_value());
  EXPECT_EQ(hex(denormal->bytes), "01 00 00 00 00 00 00 00");
  EXPECT_EQ(desk::test::registryValue(keyPath(), "s-text")->type, desk::REG_SZ);
  EXPECT_EQ(hex(desk::test::registryValue(keyPath(), "bin-ends")->bytes), "00 FF");
}

TEST_F(DefaultsTest, AKilledWriterLeavesEveryKeyOldOrNew) {
  desk::useMemoryRegistry();
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const pid_t child = startChild("loop");
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + 40 * round));
    kill(child, SIGKILL);
    waitChild(child);

    ASSERT_TRUE(desk::useRegistryPath(registryFile()));
    std::vector<int64_t> values;
    for (int i = 0; i < 8; ++i) {
      const Reply r = call("get", {{"key", "loop" + std::to_string(i)}, {"type", "integer"}});
      ASSERT_EQ(r.status, 200);
      values.push_back(std::stoll(r.text));
    }
    // Keys written in order, a round at a time: the keys before the cut hold the new round, those
    // after it the old one.
    for (int i = 0; i + 1 < 8; ++i) EXPECT_GE(values[i], values[i + 1]);
    EXPECT_LE(values[0] - values[7], 1);
    desk::useMemoryRegistry();
  }
}

}  // namespace
