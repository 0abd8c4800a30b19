// A page runs child processes through the real bridge and shell plugin in Chromium: it spawns a
// child, talks to it through its input, and hears its output and its end on a page channel.
#include "chromium_app.h"
#include "zrkwebview/browser/src/http-plugins/shell/shell-plugin.h"

namespace {

using namespace pel::browser;

class ShellPagesTest : public ChromiumApp {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bundleLoaded());
    zrk::plugin::registerShellPlugin();
    page_ = open("main");
    ASSERT_TRUE(page_);
    // Every channel message lands in window.events, in the order the page receives them.
    page_->evaluateScriptSync(
        "window.events = [];"
        "window.channel = '__channel__:' + __zrk_internals__.makeCallback("
        "  r => events.push(r && r.message !== undefined ? r.message : r), false); 0");
  }
  json spawn(const std::string& program, const json& args) {
    return settle(*page_, "__zrk_internals__.invoke('plugin:shell|spawn', {program: " + json(program).dump() +
                              ", args: " + args.dump() + ", onEvent: channel})");
  }
  json write(uint32_t pid, const json& buffer) {
    return settle(*page_, "__zrk_internals__.invoke('plugin:shell|stdin_write', {pid: " + std::to_string(pid) +
                              ", buffer: " + buffer.dump() + "})");
  }
  // The text of all events of that kind so far.
  std::string text(const char* kind) {
    const json all = json::parse(page_->evaluateScriptSync("events"));
    std::string out;
    for (const json& e : all) {
      if (e["event"] == kind) out += e["payload"].get<std::string>();
    }
    return out;
  }
  bool waitForText(const char* kind, const std::string& wanted) {
    return pumpUntil([&] { return text(kind) == wanted; }, 30s);
  }
  json terminated() {
    const std::string found = awaitValue(*page_, "events.find(e => e.event === 'Terminated')");
    return found.empty() ? json() : json::parse(found)["payload"];
  }

  std::shared_ptr<zrk::ZrkWebview> page_;
};

// The child answers each line the page writes while it runs; its output, its error output and its
// end reach the page, with a character split across writes intact.
TEST_F(ShellPagesTest, APageTalksToItsChildAndHearsItsOutputAndEnd) {
  const json started = spawn("/bin/sh", json::array({"-c", "read a; echo \"got:$a\"; read b; echo \"got:$b\"; echo done >&2; exit 3"}));
  ASSERT_TRUE(started.contains("ok") && started["ok"].is_number_unsigned()) << started;
  const uint32_t pid = started["ok"];

  EXPECT_EQ(write(pid, "one\n"), json({{"ok", true}}));
  // The first answer arrives while the child still waits for its second line.
  ASSERT_TRUE(waitForText("Stdout", "got:one\n")) << page_->evaluateScriptSync("JSON.stringify(events)");
  EXPECT_EQ(page_->evaluateScriptSync("events.some(e => e.event === 'Terminated')"), "false");

  // "é" as bytes, its two halves in separate writes; then the end of the line.
  EXPECT_EQ(write(pid, json::array({0xC3})), json({{"ok", true}}));
  EXPECT_EQ(write(pid, json::array({0xA9, 0x74, 0x77, 0x6F, 0x0A})), json({{"ok", true}}));
  EXPECT_EQ(terminated(), json::array({"pid", pid}));
  EXPECT_TRUE(waitForText("Stdout", "got:one\ngot:\xC3\xA9two\n")) << text("Stdout");
  EXPECT_TRUE(waitForText("Stderr", "done\n")) << text("Stderr");
  pumpFor(200ms);
  EXPECT_EQ(page_->evaluateScriptSync("events.filter(e => e.event === 'Terminated').length"), "1");
  // The child is gone from the table: writing to it is refused.
  EXPECT_EQ(write(pid, "late\n"), json({{"error", "Bad Request (no such process)"}}));
}

// A child killed by the page ends with "Terminated"; a program that does not exist is refused, and
// the page's channel hears why before the refusal.
TEST_F(ShellPagesTest, KillAndAMissingProgram) {
  const json started = spawn("/bin/cat", json::array());
  ASSERT_TRUE(started.contains("ok")) << started;
  const uint32_t pid = started["ok"];
  EXPECT_EQ(settle(*page_, "__zrk_internals__.invoke('plugin:shell|kill', {pid: " + std::to_string(pid) + "})"),
            json({{"ok", true}}));
  EXPECT_EQ(terminated(), json::array({"pid", pid}));

  page_->evaluateScriptSync("events.length = 0; 0");
  const json refused = spawn("/no/such/program", json::array());
  ASSERT_TRUE(refused.contains("error")) << refused;
  const std::string error = awaitValue(*page_, "events.find(e => e.event === 'Error')");
  ASSERT_FALSE(error.empty());
  EXPECT_EQ(json::parse(error)["payload"], refused["error"]);
}

}  // namespace
