#include "zrkwebview/browser/src/http-plugins/shell/shell-plugin.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "desk/errors.h"
#include "desk/shell.h"
#include "desk/test_services.h"
#include "support/fake_webview.h"
#include "zrkwebview/browser/src/http-plugins/shell/utf8-stream.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace stdfs = std::filesystem;

// What a page received: the callback, the order of a channel message (-1 for plain data) and
// the value.
struct Delivery {
  uint32_t callback = 0;
  long long order = -1;
  bool message = false;
  json data;
};

// A webview that takes every parked value as the page would and keeps it, in arrival order.
class RecordingWebview : public pel::test::FakeWebview {
 public:
  int evaluateScript(const std::string& script, zrk::EvalCompletion completion, bool flag) override {
    Delivery d;
    d.message = script.find("message: response") != std::string::npos;
    d.callback = static_cast<uint32_t>(std::stoul(after(script, "window['_' + ")));
    if (d.message) d.order = std::stoll(after(script, "id: "));
    json value;
    if (takeChannelData(static_cast<uint32_t>(std::stoul(after(script, "'zrk-channel-id': '"))), value, true)) {
      d.data = value;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      deliveries_.push_back(std::move(d));
    }
    changed_.notify_all();
    return FakeWebview::evaluateScript(script, std::move(completion), flag);
  }

  std::vector<Delivery> deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  // Waits (up to 20 s) until `done` holds for the deliveries so far.
  template <typename Predicate>
  bool waitFor(Predicate done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return done(deliveries_); });
  }
  // The events sent to a callback, in order.
  std::vector<json> events(uint32_t callback) {
    std::vector<json> out;
    for (const Delivery& d : deliveries()) {
      if (d.message && d.callback == callback) out.push_back(d.data);
    }
    return out;
  }
  bool waitForTermination(uint32_t callback) {
    return waitFor([callback](const std::vector<Delivery>& all) {
      for (const Delivery& d : all) {
        if (d.message && d.callback == callback && d.data.value("event", "") == "Terminated") {
          return true;
        }
      }
      return false;
    });
  }

 private:
  static std::string after(const std::string& script, const std::string& marker) {
    const size_t at = script.find(marker);
    return at == std::string::npos ? std::string("0") : script.substr(at + marker.size());
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
};

struct Reply {
  int status = 0;
  std::string message;
  std::string type;
  std::string body;
};

// Children of this process that have ended but were never reaped.
std::vector<pid_t> zombieChildren() {
  std::vector<pid_t> zombies;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return zombies;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == getpid() && state == 'Z') zombies.push_back(pid);
  }
  closedir(proc);
  return zombies;
}

bool noZombiesSoon() {
  for (int i = 0; i < 1000; ++i) {
    if (zombieChildren().empty()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// Waits until the pumps have taken every spawned child out of the table.
bool tableEmptySoon() {
  for (int i = 0; i < 1000; ++i) {
    if (zrk::plugin::shell::spawnedProcessIds().empty()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

bool fileAppearsSoon(const std::string& path) {
  for (int i = 0; i < 2000; ++i) {
    if (stdfs::exists(path)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

class ShellPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    webview_ = std::make_shared<RecordingWebview>();
    char pattern[] = "/tmp/pel-shell-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { stdfs::remove_all(root_); }

  Reply call(const std::string& command, const json& payload) {
    auto response = std::dynamic_pointer_cast<http::HttpResponse>(
        plugin_.invoke(command, webview_.get(), nullptr, nullptr, payload));
    Reply reply;
    if (!response) return reply;
    reply.status = response->status();
    reply.message = response->statusMessage();
    if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(response)) {
      reply.type = mime->mimeType();
    }
    if (reply.status == 200) {
      for (std::string piece; !(piece = response->read(65536)).empty();) reply.body += piece;
    }
    return reply;
  }

  // "execute" with a callback; returns the result the page got.
  json execute(json payload, uint32_t handler) {
    payload["handler"] = handler;
    const Reply reply = call("execute", payload);
    EXPECT_EQ(reply.status, 200) << reply.message;
    EXPECT_EQ(reply.body, "true");
    EXPECT_TRUE(webview_->waitFor([handler](const std::vector<Delivery>& all) {
      for (const Delivery& d : all) {
        if (!d.message && d.callback == handler) return true;
      }
      return false;
    }));
    for (const Delivery& d : webview_->deliveries()) {
      if (!d.message && d.callback == handler) return d.data;
    }
    return json();
  }

  // "spawn" of /bin/sh -c script on the callback; returns the pid.
  uint32_t spawn(const std::string& script, uint32_t callback) {
    const Reply reply = call("spawn", json{{"program", "/bin/sh"},
                                           {"args", {"-c", script}},
                                           {"onEvent", "__channel__:" + std::to_string(callback)}});
    EXPECT_EQ(reply.status, 200) << reply.message;
    EXPECT_EQ(reply.type, "application/json");
    return static_cast<uint32_t>(std::stoul(reply.body.empty() ? "0" : reply.body));
  }

  // Everything the child wrote to one stream, joined.
  std::string streamed(uint32_t callback, const std::string& event) {
    std::string text;
    for (const json& e : webview_->events(callback)) {
      if (e["event"] == event) text += e["payload"].get<std::string>();
    }
    return text;
  }

  zrk::plugin::ShellPlugin plugin_;
  std::shared_ptr<RecordingWebview> webview_;
  std::string root_;
};

TEST_F(ShellPluginTest, ExecuteDeliversCodeAndOutput) {
  std::ofstream(root_ + "/pel-tool") << "#!/bin/sh\nprintf 'tool:%s' \"$1\"\n";
  ::chmod((root_ + "/pel-tool").c_str(), 0755);
  const std::string big(131072, 'o');
  struct Case {
    json payload;
    json expected;
  };
  const std::vector<Case> cases = {
      // Only string arguments count; non-string environment members are skipped.
      {json{{"program", "/bin/sh"},
            {"args", {"-c", 1, "printf '%s|%s' \"$0\" \"$PEL_X\"; exit 3", "zero"}},
            {"options", {{"env", {{"PEL_X", "x"}, {"PEL_N", 1}}}}}},
       json{{"code", 3}, {"stdout", "zero|x"}, {"stderr", ""}}},
      {json{{"program", "/bin/echo"}, {"args", "not an array"}},
       json{{"code", 0}, {"stdout", "\n"}, {"stderr", ""}}},
      {json{{"program", "pwd"}, {"options", {{"cwd", root_}}}},
       json{{"code", 0}, {"stdout", root_ + "\n"}, {"stderr", ""}}},
      {json{{"program", "pwd"}, {"options", {{"cwd", 5}}}},  // not a string: inherited
       json{{"code", 0}, {"stdout", stdfs::current_path().string() + "\n"}, {"stderr", ""}}},
      // The program is looked up on the PATH the child gets.
      {json{{"program", "pel-tool"}, {"args", {"a b"}},
            {"options", {{"env", {{"PATH", root_ + ":/bin:/usr/bin"}}}}}},
       json{{"code", 0}, {"stdout", "tool:a b"}, {"stderr", ""}}},
      {json{{"program", "/bin/sh"}, {"args", {"-c", "kill -9 $$"}}},
       json{{"code", 128 + SIGKILL}, {"stdout", ""}, {"stderr", ""}}},
      // Both pipes at once: 128 KiB to the error first would stall a one-pipe-at-a-time reader.
      {json{{"program", "/bin/sh"},
            {"args", {"-c", "head -c 131072 /dev/zero | tr '\\0' e >&2; head -c 131072 /dev/zero | tr '\\0' o"}}},
       json{{"code", 0}, {"stdout", big}, {"stderr", std::string(131072, 'e')}}},
      // Bytes that are not UTF-8 arrive as U+FFFD.
      {json{{"program", "/bin/sh"}, {"args", {"-c", "printf 'a\\377b'; printf '\\303' >&2"}}},
       json{{"code", 0}, {"stdout", "a\xEF\xBF\xBD" "b"}, {"stderr", "\xEF\xBF\xBD"}}},
  };
  uint32_t handler = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload.dump().substr(0, 200));
    const json result = execute(c.payload, ++handler);
    EXPECT_EQ(result["code"], c.expected["code"]);
    EXPECT_EQ(result["stdout"], c.expected["stdout"]);
    EXPECT_EQ(result["stderr"], c.expected["stderr"]);
  }
  EXPECT_TRUE(noZombiesSoon());
}

TEST_F(ShellPluginTest, ExecuteFailuresAnswerAndDeliverNothing) {
  struct Case {
    json payload;
    std::string message;
  };
  const std::vector<Case> cases = {
      {json{{"program", "/nonexistent/prog"}}, "Cannot launch process: /nonexistent/prog"},
      {json{{"program", "pel-no-such-program"}}, "Cannot launch process: pel-no-such-program"},
      {json{{"program", "/bin/true"}, {"options", {{"cwd", root_ + "/missing"}}}},
       "Cannot launch process: /bin/true"},
      {json{{"program", 5}}, "Bad Request (missing program)"},
      {json::object(), "Bad Request (missing program)"},
  };
  for (const Case& c : cases) {
    json payload = c.payload;
    payload["handler"] = 7;
    const Reply reply = call("execute", payload);
    EXPECT_EQ(reply.status, 400) << payload.dump();
    EXPECT_EQ(reply.message, c.message) << payload.dump();
  }
  EXPECT_TRUE(webview_->deliveries().empty());
}

TEST_F(ShellPluginTest, DetachedAndHandlerlessExecute) {
  // Detached: the empty result at once, whatever the child does; its environment option has no
  // effect, and it is reaped when it ends.
  const std::string marker = root_ + "/detached";
  const json result = execute(
      json{{"program", "/bin/sh"},
           {"args", {"-c", "sleep 0.2; printf '%s' \"${PEL_D-unset}\" > " + marker + "; exit 9"}},
           {"options", {{"detach", true}, {"env", {{"PEL_D", "set"}}}}}},
      11);
  EXPECT_EQ(result, (json{{"code", 0}, {"stdout", ""}, {"stderr", ""}}));
  ASSERT_TRUE(fileAppearsSoon(marker));
  EXPECT_TRUE(noZombiesSoon());
  std::string written;
  std::ifstream(marker) >> written;
  EXPECT_EQ(written, "unset");

  // Without a handler nothing is sent, and the child still runs and is reaped.
  const size_t before = webview_->deliveries().size();
  const std::string second = root_ + "/no-handler";
  EXPECT_EQ(call("execute", json{{"program", "/bin/sh"}, {"args", {"-c", "echo hi; touch " + second}}}).body,
            "true");
  EXPECT_EQ(call("execute", json{{"program", "/bin/true"}, {"handler", -1}}).body, "true");
  ASSERT_TRUE(fileAppearsSoon(second));
  EXPECT_TRUE(noZombiesSoon());
  EXPECT_EQ(webview_->deliveries().size(), before);
}

TEST_F(ShellPluginTest, SpawnStreamsOutputThenTerminated) {
  // Output written just before the end is still delivered, before "Terminated".
  const uint32_t pid = spawn("printf out; printf err >&2; head -c 200000 /dev/zero | tr '\\0' z", 21);
  ASSERT_GT(pid, 0u);
  ASSERT_TRUE(webview_->waitForTermination(21));
  const auto events = webview_->events(21);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), (json{{"event", "Terminated"}, {"payload", json::array({"pid", pid})}}));
  size_t terminated = 0;
  for (const json& e : events) terminated += e["event"] == "Terminated";
  EXPECT_EQ(terminated, 1u);
  EXPECT_EQ(streamed(21, "Stdout"), "out" + std::string(200000, 'z'));
  EXPECT_EQ(streamed(21, "Stderr"), "err");
  for (const Delivery& d : webview_->deliveries()) {
    EXPECT_TRUE(d.message);
    EXPECT_EQ(d.order, 4294967295ll);  // events carry no order
  }
  // Gone from the table once announced; nothing is left unreaped.
  EXPECT_TRUE(tableEmptySoon());
  EXPECT_EQ(call("kill", json{{"pid", pid}}).message, "Bad Request (no such process)");
  EXPECT_EQ(call("stdin_write", json{{"pid", pid}, {"buffer", "x"}}).message,
            "Bad Request (no such process)");
  EXPECT_TRUE(noZombiesSoon());
}

TEST_F(ShellPluginTest, ACharacterSplitBetweenReadsArrivesWhole) {
  spawn("printf 'a\\303'; sleep 0.3; printf '\\251b\\377'", 22);
  ASSERT_TRUE(webview_->waitForTermination(22));
  EXPECT_EQ(streamed(22, "Stdout"), "a\xC3\xA9" "b\xEF\xBF\xBD");
}

TEST_F(ShellPluginTest, StdinWriteQueuesBytesForTheChild) {
  // The child echoes its input, up to 7 bytes, as hex.
  const uint32_t pid = spawn("head -c 7 | od -An -tx1 | tr -d ' \\n'", 23);
  struct Case {
    json buffer;
    std::string message;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {"", ""},  // nothing to write
      {json::array({1, "2"}), "Bad Request (invalid data)"},  // and nothing of it is written
      {true, "Bad Request (invalid data)"},
      {json::array({1e300}), "Bad Request (invalid data)"},
      {"hi", ""},
      {json::array({104, 105}), ""},
      {json::array({256, -1, 65.9}), ""},  // modulo 256, fraction dropped
  };
  for (const Case& c : cases) {
    const Reply reply = call("stdin_write", json{{"pid", pid}, {"buffer", c.buffer}});
    if (c.message.empty()) {
      EXPECT_EQ(reply.status, 200) << c.buffer.dump() << reply.message;
      EXPECT_EQ(reply.body, "true");
    } else {
      EXPECT_EQ(reply.status, 400) << c.buffer.dump();
      EXPECT_EQ(reply.message, c.message) << c.buffer.dump();
    }
  }
  EXPECT_EQ(call("stdin_write", json{{"buffer", "x"}}).message, "Bad Request (missing pid)");
  EXPECT_EQ(call("stdin_write", json{{"pid", "1"}, {"buffer", "x"}}).message, "Bad Request (missing pid)");
  EXPECT_EQ(call("stdin_write", json{{"pid", pid}}).message, "Bad Request (missing data)");
  EXPECT_EQ(call("stdin_write", json{{"pid", 1e30}, {"buffer", "x"}}).message,
            "Bad Request (no such process)");
  ASSERT_TRUE(webview_->waitForTermination(23));
  EXPECT_EQ(streamed(23, "Stdout"), "6869686900ff41");
}

TEST_F(ShellPluginTest, LargeWritesNeverBlockAndAreAllOrNothing) {
  // The child reads nothing until the gate file exists, then counts the bytes that are not "a".
  const std::string gate = root_ + "/gate";
  const uint32_t pid = spawn("while [ ! -e " + gate + " ]; do sleep 0.02; done; "
                             "head -c 8388608 | tr -d a | wc -c",
                             24);
  const Reply refused = call("stdin_write", json{{"pid", pid}, {"buffer", std::string(32u << 20, 'b')}});
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.message, "Bad Request (input queue full)");
  // 8 MiB to a child that does not read answers at once; other commands run meanwhile.
  EXPECT_EQ(call("stdin_write", json{{"pid", pid}, {"buffer", std::string(8u << 20, 'a')}}).body, "true");
  EXPECT_EQ(call("kill", json{{"pid", 0}}).message, "Bad Request (no such process)");
  EXPECT_TRUE(webview_->events(24).empty());
  std::ofstream(gate) << "open";
  ASSERT_TRUE(webview_->waitForTermination(24));
  // Every byte arrived and none of the refused ones did.
  EXPECT_EQ(streamed(24, "Stdout"), "0\n");
}

TEST_F(ShellPluginTest, AFailedWriteClosesTheInput) {
  // The child closes its input and waits: writing to it fails (EPIPE, never SIGPIPE).
  const std::string ready = root_ + "/ready";
  const uint32_t pid = spawn("exec 0<&-; touch " + ready + "; exec sleep 30", 25);
  ASSERT_TRUE(fileAppearsSoon(ready));
  std::string message;
  for (int i = 0; i < 500 && message.empty(); ++i) {
    const Reply reply = call("stdin_write", json{{"pid", pid}, {"buffer", "x"}});
    if (reply.status != 200) message = reply.message;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(message, "Cannot write file");
  EXPECT_EQ(call("kill", json{{"pid", pid}}).body, "true");
  ASSERT_TRUE(webview_->waitForTermination(25));
}

TEST_F(ShellPluginTest, KillEndsTheChildAndErrorsComeBeforeTheReply) {
  const uint32_t pid = spawn("exec sleep 30", 26);
  EXPECT_EQ(call("kill", json{{"pid", static_cast<double>(pid) + 0.5}}).body, "true");
  ASSERT_TRUE(webview_->waitForTermination(26));
  EXPECT_EQ(call("kill", json{}).message, "Bad Request (missing pid)");
  EXPECT_TRUE(noZombiesSoon());

  // A child that cannot start: "Error" on the channel, then the 400 with the same text. The
  // channel's prefix is optional and the number ends at its first other character.
  const std::vector<std::pair<std::string, uint32_t>> channels = {
      {"__channel__:17", 17}, {"17", 17}, {"__channel__:18abc", 18}};
  for (const auto& [channel, callback] : channels) {
    const Reply reply =
        call("spawn", json{{"program", "/nonexistent/prog"}, {"onEvent", channel}});
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.message, "Cannot launch process: /nonexistent/prog");
    const auto events = webview_->events(callback);
    ASSERT_FALSE(events.empty()) << channel;
    EXPECT_EQ(events.back(),
              (json{{"event", "Error"}, {"payload", "Cannot launch process: /nonexistent/prog"}}));
  }
  EXPECT_EQ(call("spawn", json{{"onEvent", "1"}}).message, "Bad Request (missing program)");
  EXPECT_EQ(call("spawn", json{{"program", "/bin/true"}}).message, "Bad Request (missing onEvent)");
  EXPECT_THROW(call("spawn", json{{"program", "/bin/true"}, {"onEvent", "__channel__:"}}),
               std::invalid_argument);
  EXPECT_THROW(call("spawn", json{{"program", "/bin/true"}, {"onEvent", "4294967296"}}),
               std::out_of_range);
  EXPECT_EQ(call("unknown", json{}).status, 0);
  EXPECT_TRUE(tableEmptySoon());
}

TEST_F(ShellPluginTest, OpenLaunchesThroughTheShell) {
  const std::string file = root_ + "/photo.jpg";
  std::ofstream(file) << "x";
  desk::test::recordLaunches();
  struct Case {
    json payload;
    std::vector<std::string> argv;  // empty: refused
    std::string message;
  };
  const std::vector<Case> cases = {
      {json{{"path", file}}, {"xdg-open", file}, ""},
      {json{{"path", file}, {"with", "sh"}}, {"sh", file}, ""},  // a program on PATH
      {json{{"path", file}, {"with", "pel-no-such-program"}}, {"xdg-open", file}, ""},
      {json{{"path", file}, {"with", 5}}, {"xdg-open", file}, ""},
      {json{{"path", root_ + "/missing.jpg"}}, {}, "The system cannot find the file specified."},
      {json{{"path", 5}}, {}, "Bad Request (missing path)"},
      {json::object(), {}, "Bad Request (missing path)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload.dump());
    const size_t before = desk::test::launches().size();
    const Reply reply = call("open", c.payload);
    const auto launches = desk::test::launches();
    if (c.argv.empty()) {
      EXPECT_EQ(reply.status, 400);
      EXPECT_EQ(reply.message, c.message);
      EXPECT_EQ(launches.size(), before);
    } else {
      EXPECT_EQ(reply.body, "true");
      EXPECT_EQ(reply.type, "application/json");
      ASSERT_EQ(launches.size(), before + 1);
      EXPECT_EQ(launches.back().argv, c.argv);
    }
  }
  desk::test::failLaunches(desk::ERROR_ACCESS_DENIED);
  EXPECT_EQ(call("open", json{{"path", file}}).message, "Access is denied.");
  desk::setLauncher(nullptr);
}

TEST(ShellPluginInvoke, NeedsAWebviewUnderSharedOwnership) {
  zrk::plugin::ShellPlugin plugin;
  EXPECT_EQ(plugin.invoke("execute", nullptr, nullptr, nullptr, json{{"program", "/bin/true"}}), nullptr);
  pel::test::FakeWebview unowned;
  EXPECT_THROW(plugin.invoke("execute", &unowned, nullptr, nullptr, json{{"program", "/bin/true"}}),
               std::bad_weak_ptr);
  EXPECT_EQ(plugin.name(), "shell");
  EXPECT_EQ(plugin.description(), "shell wrapper");
  EXPECT_STREQ(plugin.className(), "ShellPlugin");
}

TEST(ShellUtf8Stream, CarriesSplitCharactersAndReplacesBadBytes) {
  using zrk::plugin::shell::Utf8Stream;
  struct Case {
    std::vector<std::string> reads;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"a\xC3", "\xA9" "b"}, "a\xC3\xA9" "b"},
      {{"\xF0\x9F", "\x98", "\x80"}, "\xF0\x9F\x98\x80"},
      {{"\xFF", "x"}, "\xEF\xBF\xBD" "x"},
      {{"\xC3", "x"}, "\xEF\xBF\xBD" "x"},          // a lead byte without its follower
      {{"\xED\xA0\x80"}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // no surrogates
      {{"\xC0\xAF"}, "\xEF\xBF\xBD\xEF\xBF\xBD"},   // no overlong forms
      {{"ok\xE2\x82"}, "ok\xEF\xBF\xBD"},           // cut short at the end
  };
  for (const Case& c : cases) {
    Utf8Stream stream;
    std::string text;
    for (const std::string& read : c.reads) text += stream.feed(read);
    text += stream.finish();
    EXPECT_EQ(text, c.expected);
    EXPECT_NO_THROW(json(text).dump());
  }
}

}  // namespace
