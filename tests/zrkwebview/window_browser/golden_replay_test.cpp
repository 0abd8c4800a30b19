// The bridge's recorded page calls, replayed in Chromium against the real plugins: every request
// that reaches "/plugin" is the row's command with the row's payload (ids taken from the real
// replies), every reply has the form the row gives it, and every page promise settles. The rows
// are read from the bridge's table of calls; a row whose plugins this replay does not serve yet is
// listed, not failed, until kEveryRowMustReplay is switched on.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "chromium_app.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace {

using namespace pel::browser;

// Once every plugin of the table is built, a row that is replayed nowhere is a failure.
constexpr bool kEveryRowMustReplay = false;

// The plugins whose rows this replay runs (windows "main", "viewer" and "tools", a monitor at 1.5);
// rows of the others are replayed by their own tests.
const std::set<std::string> kReplayedPlugins = {"window", "event", "webview"};

struct Reply {
  int status = 0;
  std::string mime;  // empty for a reply without a typed body
  std::string body;
  bool built = true;  // false: the plugin has no such command
};

struct Request {
  std::string command;
  json payload;
  Reply reply;
};

// Stands in the registry for a real plugin: records each command and its reply, then hands the
// reply on untouched.
class Recorder : public zrk::plugin::Plugin {
 public:
  explicit Recorder(std::shared_ptr<zrk::plugin::Plugin> real) : real_(std::move(real)) {
    setName(real_->name());
    setDescription(real_->description());
    setVersion(real_->version());
  }
  std::string initScript() override { return real_->initScript(); }
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request, const json& payload) override {
    auto result = real_->invoke(command, webview, connection, request, payload);
    if (webview == nullptr || webview != watched().load()) return result;  // another page's call
    Request entry{"plugin:" + name() + "|" + command, payload, {}};
    auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
    if (!response) {
      entry.reply.built = false;
    } else {
      entry.reply.status = response->status();
      if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(response)) {
        entry.reply.mime = mime->mimeType();
        entry.reply.body = mime->body();
      } else if (response->contentLength() < (1u << 20)) {
        entry.reply.body = response->read(static_cast<size_t>(response->contentLength()));
        response->seek(0);
      }
    }
    std::lock_guard<std::mutex> lock(mutex());
    log().push_back(std::move(entry));
    return result;
  }

  // The page whose calls are recorded.
  static std::atomic<zrk::Webview*>& watched() {
    static std::atomic<zrk::Webview*> page{nullptr};
    return page;
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<Request>& log() {
    static std::vector<Request> entries;
    return entries;
  }
  static std::vector<Request> take() {
    std::lock_guard<std::mutex> lock(mutex());
    return std::exchange(log(), {});
  }
  static size_t count() {
    std::lock_guard<std::mutex> lock(mutex());
    return log().size();
  }

 private:
  std::shared_ptr<zrk::plugin::Plugin> real_;
};

std::string pluginOf(const std::string& command) {
  const auto colon = command.find(':'), bar = command.find('|');
  return command.substr(colon + 1, bar - colon - 1);
}

bool isWholeNumber(const json& value) {
  return value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() > 0);
}

// Compares a request's payload with the row's, placeholders and reply ids resolved; the first
// difference, or "".
std::string differs(const json& expected, const json& actual, const std::map<std::string, json>& ids,
                    zrk::ZrkWebview& page, const std::string& where = "payload") {
  if (expected.is_string()) {
    const std::string text = expected.get<std::string>();
    if (text == "$callback" || text == "$callbackText" || text == "$channel") {
      std::string id;
      if (text == "$callback" && isWholeNumber(actual)) id = actual.dump();
      if (text == "$callbackText" && actual.is_string()) id = actual.get<std::string>();
      if (text == "$channel" && actual.is_string() && actual.get<std::string>().rfind("__channel__:", 0) == 0) {
        id = actual.get<std::string>().substr(12);
      }
      if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
        return where + ": " + actual.dump() + " is no " + text;
      }
      if (page.evaluateScriptSync("typeof window['_" + id + "']") != "\"function\"") {
        return where + ": no callback " + id + " on the page";
      }
      return "";
    }
  }
  if (expected.is_object() && actual.is_object()) {
    for (auto it = expected.begin(); it != expected.end(); ++it) {
      if (!actual.contains(it.key())) return where + "." + it.key() + " missing";
      const auto id = ids.find(it.key());
      if (id != ids.end() && it.value() == id->second.at(0)) {
        if (actual[it.key()] != id->second.at(1)) {
          return where + "." + it.key() + ": " + actual[it.key()].dump() + ", the reply gave " +
                 id->second.at(1).dump();
        }
        continue;
      }
      if (auto d = differs(it.value(), actual[it.key()], ids, page, where + "." + it.key()); !d.empty()) return d;
    }
    for (auto it = actual.begin(); it != actual.end(); ++it) {
      if (!expected.contains(it.key())) return where + "." + it.key() + " unexpected: " + it.value().dump();
    }
    return "";
  }
  if (expected.is_array() && actual.is_array() && expected.size() == actual.size()) {
    for (size_t i = 0; i < expected.size(); ++i) {
      if (auto d = differs(expected[i], actual[i], ids, page, where + "[" + std::to_string(i) + "]"); !d.empty()) {
        return d;
      }
    }
    return "";
  }
  return expected == actual ? "" : where + ": " + actual.dump() + " instead of " + expected.dump();
}

class GoldenReplayTest : public ChromiumApp {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bundleLoaded());
    desk::test::setMonitorDpi(desk::test::monitors()[0], 144);
    for (const std::string& name : kReplayedPlugins) {
      if (auto real = zrk::plugin::PluginRegistry::find(name)) {
        zrk::plugin::PluginRegistry::add(std::make_shared<Recorder>(real));
        recorded_.insert(name);
      }
    }
  }
  void TearDown() override {
    for (const char* label : {"main", "viewer", "tools"}) forget(label);
    ChromiumApp::TearDown();
    desk::test::setMonitorDpi(desk::test::monitors()[0], 96);
  }

  // "main" and "tools" exist before every row; "viewer" only once a row made it.
  void prepareWindows(const std::string& call) {
    for (const char* label : {"main", "tools"}) {
      auto window = zrk::App::instance()->findWindow(label);
      if (window && !desk::IsWindow(window->nativeHandle())) window = nullptr;
      if (!window) {
        // A window closed by the last row may still be on its way out.
        pumpUntil([&] { return zrk::App::instance()->findWindow(label) == nullptr; }, 5s);
        ASSERT_TRUE(zrk::createWindow(zrk::App::instance().get(), label, appUrl(kBlankPage), {})) << label;
        ASSERT_TRUE(pageOf(label)) << label;
      }
    }
    if (call.find("Window('viewer'") != std::string::npos) {
      if (auto viewer = zrk::App::instance()->findWindow("viewer")) viewer->destroy();
      pumpUntil([] { return zrk::App::instance()->findWindow("viewer") == nullptr; }, 5s);
    }
  }

  std::set<std::string> recorded_;
  std::vector<std::pair<std::string, Request>> replies_;
  std::vector<std::pair<std::string, json>> outcomes_;
};

TEST_F(GoldenReplayTest, EveryRowOfTheServedPluginsReplaysAgainstTheRealPlugins) {
  std::ifstream in(PEL_GOLDEN_FILE);
  ASSERT_TRUE(in) << PEL_GOLDEN_FILE;
  const json rows = json::parse(in)["rows"];
  ASSERT_FALSE(rows.empty());
  auto driver = open("driver");
  ASSERT_TRUE(driver);
  Recorder::watched() = driver.get();

  std::vector<std::string> unreplayed;
  int replayed = 0;
  for (size_t index = 0; index < rows.size(); ++index) {
    const json& row = rows[index];
    const std::string call = row["call"];
    const std::string name = "row " + std::to_string(index) + ": " + call;
    std::string notHere;
    if (row.value("internal", false)) notHere = "reaches module members the bridge does not publish";
    for (const json& request : row["requests"]) {
      const std::string plugin = pluginOf(request["command"]);
      if (!kReplayedPlugins.count(plugin)) {
        notHere = "plugin \"" + plugin + "\" is replayed by its own tests";
      } else if (notHere.empty() && !recorded_.count(plugin)) {
        notHere = "plugin \"" + plugin + "\" is not registered";
      }
    }
    if (!notHere.empty()) {
      unreplayed.push_back(name + " (" + notHere + ")");
      continue;
    }
    SCOPED_TRACE(name);
    prepareWindows(call);
    Recorder::take();
    const size_t wanted = row["requests"].size();
    const json outcome = settle(*driver, "(0, eval)(" + json(call).dump() + ")", 30s);
    EXPECT_NE(outcome, json({{"error", "never settled"}}));
    pumpUntil([&] { return Recorder::count() >= wanted; }, 20s);
    pumpFor(50ms);
    const std::vector<Request> got = Recorder::take();
    if (got.size() < wanted) {
      // The page stops at a command the plugin does not have yet.
      const bool stoppedAtAMissingCommand =
          std::any_of(got.begin(), got.end(), [](const Request& r) { return !r.reply.built; });
      EXPECT_TRUE(stoppedAtAMissingCommand) << got.size() << " of " << wanted << " requests";
      unreplayed.push_back(name + " (a command is not built yet)");
      continue;
    }
    bool allBuilt = true;
    std::map<std::string, json> ids;  // payload key -> [the row's reply value, the real one]
    for (size_t i = 0; i < wanted; ++i) {
      const json& expected = row["requests"][i];
      const Request& actual = got[i];
      ASSERT_EQ(actual.command, expected["command"].get<std::string>()) << i;
      if (!actual.reply.built) {
        allBuilt = false;
        continue;
      }
      EXPECT_EQ(differs(expected["payload"], actual.payload, ids, *driver), "") << i;
      // The reply's form: "json" or "text" as the row gives it, JSON true when it gives none.
      const json rowReply = row.contains("replies") && row["replies"].contains(actual.command)
                                ? row["replies"][actual.command]
                                : json{{"json", true}};
      if (actual.reply.status == 200) {
        // A plain status reply travels as an empty text.
        const std::string mime = actual.reply.mime.empty() ? "text/plain" : actual.reply.mime;
        EXPECT_EQ(mime, rowReply.contains("json") ? "application/json" : "text/plain") << i;
      }
      // An id the page passes on later is the one this reply gave.
      if (actual.reply.mime == "application/json" && rowReply.contains("json") &&
          rowReply["json"].is_number_integer()) {
        const json real = json::parse(actual.reply.body, nullptr, false);
        for (const char* key : {"eventId", "rid", "id"}) ids[key] = json::array({rowReply["json"], real});
      }
      replies_.push_back({name, actual});
    }
    // Requests beyond the row's may only be a once-listener taking itself away.
    for (size_t i = wanted; i < got.size(); ++i) {
      EXPECT_EQ(got[i].command, "plugin:event|unlisten") << got[i].payload.dump();
    }
    // A closed or destroyed "main" is gone before the next row makes it again.
    for (const Request& request : got) {
      if (request.command == "plugin:window|close" || request.command == "plugin:window|destroy") {
        EXPECT_TRUE(pumpUntil([] { return zrk::App::instance()->findWindow("main") == nullptr; }, 10s));
      }
    }
    if (!allBuilt) {
      unreplayed.push_back(name + " (a command is not built yet)");
      continue;
    }
    ++replayed;
    outcomes_.push_back({name, outcome});
  }

  // What the set-up fixes: the monitor's factor, the window labels, the system theme.
  const auto replyOf = [&](const std::string& command) -> std::vector<std::string> {
    std::vector<std::string> bodies;
    for (const auto& [row, request] : replies_) {
      if (request.command == command) bodies.push_back(std::to_string(request.reply.status) + " " + request.reply.body);
    }
    return bodies;
  };
  EXPECT_EQ(replyOf("plugin:window|scale_factor"), std::vector<std::string>{"200 1.5"});
  EXPECT_EQ(replyOf("plugin:window|device_scale_factor"), std::vector<std::string>{"200 1.5"});
  EXPECT_EQ(replyOf("plugin:window|find"), std::vector<std::string>{"200 tools"});
  for (const std::string& body : replyOf("plugin:window|primary_monitor")) {
    const json monitor = json::parse(body.substr(4));
    EXPECT_EQ(monitor["scaleFactor"], 1.5) << body;
  }

  std::ostringstream report;
  for (const auto& [name, outcome] : outcomes_) report << "  " << name << " -> " << outcome.dump() << "\n";
  std::cout << "Replayed " << replayed << " rows:\n" << report.str();
  std::ostringstream skipped;
  for (const std::string& line : unreplayed) skipped << "  " << line << "\n";
  std::cout << "Not replayed here (" << unreplayed.size() << "):\n" << skipped.str();
  if (kEveryRowMustReplay) EXPECT_TRUE(unreplayed.empty()) << skipped.str();
  EXPECT_GE(replayed, 64);  // the rows of the commands built today
}

}  // namespace
