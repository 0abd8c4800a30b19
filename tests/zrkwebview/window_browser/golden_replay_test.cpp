// The bridge's recorded page calls, replayed in Chromium against the real plugins: every request
// that reaches "/plugin" is the row's command with the row's payload (ids taken from the real
// replies), every reply has the form the row gives it (a refusal its status and text), and every
// page promise settles. The rows are read from the bridge's table of calls; a row replayed nowhere
// is a failure.
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
#include "scripts/page_scripts.h"
#include "support/ui_ticker.h"
#include "zrkmenu/zrkmenu.h"
#include "zrkwebview/browser/src/http-plugins/menu/win-menu.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace {

using namespace pel::browser;

// A row that is replayed nowhere is a failure.
constexpr bool kEveryRowMustReplay = true;

// The plugins whose rows this replay runs (windows "main", "viewer" and "tools", a monitor at 1.5):
// every plugin the pages reach. The bridge has no page calls of its own for "app" and "logging";
// they stand here so that a row that reaches them is replayed too.
const std::set<std::string> kReplayedPlugins = {"window", "event", "webview", "menu",
                                                "image",  "notification", "app", "logging"};

// Plugins whose native side is not built yet, with the reason: their rows are listed, not
// replayed. Empty: every plugin the table names is built.
const std::map<std::string, std::string> kNotBuiltYet = {};

// How the "/plugin" handler answers a command that no plugin has; a row that gives this reply
// expects the command to be missing.
const json kNoSuchCommand = {{"fail", {420, "plugin invoke failed"}}};

// The module members the bridge's own tests publish as __zrk__.__test__ for the rows marked
// `internal`.
constexpr const char* kInternals =
    "invoke, invokeWithHandler, Channel, Resource, Color, LogicalSize, PhysicalSize, LogicalPosition, "
    "PhysicalPosition, NativeImage, NamedNativeImage, toImageArgument";

// The bridge the pages get, with its internals published: it replaces the page's own __zrk__, so
// that the internals and the namespaces are one module (a PhysicalPosition of __test__ is one for
// the menus). The page's title bar is set up already. Empty if the module's end is not found.
std::string exposedBridge() {
  std::string text = zrk::buildBridgeScript();
  const std::string end = "  return exports;\n})({});";
  const auto at = text.find(end);
  if (at == std::string::npos || text.find(end, at + 1) != std::string::npos) return "";
  text.insert(at, std::string("  exports.__test__ = { ") + kInternals + " };\n");
  const std::string titlebar = "window.__zrk__.initializeWindowTitlebar();";
  const auto setup = text.rfind(titlebar);
  if (setup == std::string::npos || setup < at) return "";
  text.erase(setup, titlebar.size());
  return text + "\n;typeof window.__zrk__.__test__.NativeImage";
}

struct Reply {
  int status = 0;
  std::string mime;  // empty for a reply without a typed body
  std::string body;  // a refusal's text
  bool built = true;  // false: the plugin has no such command
  std::string thrown;  // what the command threw, if it did
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
    const bool mine = webview != nullptr && webview == watched().load();  // not another page's call
    std::shared_ptr<Vesk::TObject> result;
    try {
      result = real_->invoke(command, webview, connection, request, payload);
    } catch (const std::exception& e) {
      if (mine) {
        Request entry{"plugin:" + name() + "|" + command, payload, {}};
        entry.reply.thrown = e.what();
        record(std::move(entry));
      }
      throw;
    }
    if (!mine) return result;
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
    record(std::move(entry));
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
  static void record(Request entry) {
    std::lock_guard<std::mutex> lock(mutex());
    log().push_back(std::move(entry));
  }

 private:
  std::shared_ptr<zrk::plugin::Plugin> real_;
};

// Records on the page the id of every callback the page makes (a property "_<id>" of the window
// holding a function), so that one that already ran is still known as the page's.
constexpr const char* kCallbackRecord = R"JS((() => {
  const define = Object.defineProperty;
  const made = window.__madeCallbacks = new Set();
  Object.defineProperty = function (target, key, descriptor) {
    if (target === window && typeof key === "string" && /^_\d+$/.test(key) && descriptor &&
        typeof descriptor.value === "function") {
      made.add(key.slice(1));
    }
    return define.call(this, target, key, descriptor);
  };
  return typeof window.__madeCallbacks;
})())JS";

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
      // A callback for one answer is gone once the answer came: the page's record of the
      // callbacks it made says it was one.
      if (page.evaluateScriptSync("typeof window['_" + id + "'] === 'function' || window.__madeCallbacks.has('" +
                                  id + "')") != "true") {
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

// The row's payload with the made-up menu ids replaced by the real ones: a "rid" member and the
// id of an [id, kind] reference.
json withRealRids(const json& payload, const std::map<int64_t, int64_t>& rids) {
  const auto real = [&](const json& v) -> json {
    if (!v.is_number_integer()) return v;
    const auto it = rids.find(v.get<int64_t>());
    return it == rids.end() ? v : json(it->second);
  };
  if (payload.is_object()) {
    json out = json::object();
    for (auto it = payload.begin(); it != payload.end(); ++it) {
      out[it.key()] = it.key() == "rid" ? real(it.value()) : withRealRids(it.value(), rids);
    }
    return out;
  }
  if (payload.is_array()) {
    if (payload.size() == 2 && payload[0].is_number_integer() && payload[1].is_string()) {
      return json::array({real(payload[0]), payload[1]});
    }
    json out = json::array();
    for (const json& v : payload) out.push_back(withRealRids(v, rids));
    return out;
  }
  return payload;
}

// Dismisses the popup of one of the page's menus once it is on screen; true then.
bool dismissPopupOf(zrk::ZrkWebview& page, const std::map<int64_t, int64_t>& rids) {
  for (const auto& [rowRid, rid] : rids) {
    const auto object = page.resourceManager()->find(static_cast<uint32_t>(rid));
    std::shared_ptr<zrkmenu::ZrkMenu> popup;
    if (auto menu = std::dynamic_pointer_cast<zrk::plugin::WinMenu>(object)) popup = menu->popupMenu();
    if (auto submenu = std::dynamic_pointer_cast<zrk::plugin::WinSubmenu>(object)) popup = submenu->popupMenu();
    if (popup && popup->hwnd && desk::IsWindowVisible(popup->hwnd)) {
      desk::SendMessage(popup->hwnd, zrkmenu::MENU_MSG_DISMISS, 0, 0);
      return true;
    }
  }
  return false;
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

  // The menus a row names by a made-up resource id ("new __zrk__.menu.Submenu(11, 's')", or the
  // reference "[7, 'MenuItem']") are made for real in the page first, and the row runs on their real
  // ids, so that its replies are the plugin's answers about such an object, not refusals of an
  // unknown id. A menu or submenu made so holds "a", a separator and "b", as the rows have it. The
  // call with the real ids; `rids` maps each made-up id to its real one.
  std::string withRealMenus(const std::string& call, zrk::ZrkWebview& page, std::map<int64_t, int64_t>& rids) {
    static const std::vector<std::string> kClasses = {"MenuItem", "CheckMenuItem", "IconMenuItem", "Submenu", "Menu"};
    const auto realRid = [&](const std::string& cls, const std::string& digits, const std::string& id) -> std::string {
      const int64_t rowRid = std::stoll(digits);
      if (!rids.count(rowRid)) {
        const std::string items = cls == "Menu" || cls == "Submenu"
                                      ? ", items: [{ id: 'a', text: 'A' }, { kind: 'Separator' }, { id: 'b', text: 'B' }]"
                                      : "";
        const json fixture = settle(page, "__zrk__.menu." + cls + ".new({ id: '" + id + "', text: '" + id + "'" +
                                              items + " }).then((m) => m.rid)");
        const bool madeOne = fixture.contains("ok") && fixture["ok"].is_number_integer();
        EXPECT_TRUE(madeOne) << cls << " " << digits << ": " << fixture.dump();
        if (!madeOne) return digits;
        rids[rowRid] = fixture["ok"].get<int64_t>();
      }
      return std::to_string(rids[rowRid]);
    };
    const auto isNumber = [](const std::string& text) {
      return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    };
    std::string out;
    size_t i = 0;
    while (i < call.size()) {
      // __zrk__.menu.<class>(<digits>, '<id>')
      const std::string prefix = "__zrk__.menu.";
      if (call.compare(i, prefix.size(), prefix) == 0) {
        const size_t open = call.find('(', i);
        const size_t comma = open == std::string::npos ? open : call.find(", '", open);
        const size_t close = comma == std::string::npos ? comma : call.find("')", comma);
        if (close != std::string::npos) {
          const std::string cls = call.substr(i + prefix.size(), open - i - prefix.size());
          const std::string digits = call.substr(open + 1, comma - open - 1);
          if (std::find(kClasses.begin(), kClasses.end(), cls) != kClasses.end() && isNumber(digits)) {
            out += call.substr(i, open + 1 - i) + realRid(cls, digits, call.substr(comma + 3, close - comma - 3));
            i = comma;
            continue;
          }
        }
      }
      // [<digits>, 'MenuItem']
      const std::string reference = ", 'MenuItem']";
      if (call[i] == '[') {
        const size_t end = call.find(reference, i);
        if (end != std::string::npos && isNumber(call.substr(i + 1, end - i - 1))) {
          const std::string digits = call.substr(i + 1, end - i - 1);
          out += "[" + realRid("MenuItem", digits, "item" + digits);
          i = end;
          continue;
        }
      }
      out += call[i++];
    }
    return out;
  }

  // "main" and "tools" exist before every row but one that makes "main"; "viewer" only once a row
  // made it.
  void prepareWindows(const std::string& call) {
    const bool makesMain = call.find("'plugin:window|create', { label: 'main'") != std::string::npos;
    for (const char* label : {"main", "tools"}) {
      if (makesMain && std::string(label) == "main") {
        if (auto main = zrk::App::instance()->findWindow("main")) main->destroy();
        pumpUntil([] { return zrk::App::instance()->findWindow("main") == nullptr; }, 5s);
        continue;
      }
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
    // The rows of a webview "v1" of "main" find it there (a row before may have closed it).
    if (call.find("'v1', { skip: true }") != std::string::npos) {
      auto main = zrk::App::instance()->findWindow("main");
      ASSERT_TRUE(main);
      if (!main->findWebview("v1")) {
        zrk::WebviewOptions options;
        options.x = 10;
        options.y = 20;
        options.width = 200;
        options.height = 100;
        options.url = appUrl(kBlankPage);
        ASSERT_TRUE(zrk::createWebviewInWindow("main", "v1", options));
      }
    }
  }

  std::set<std::string> recorded_;
  std::vector<std::pair<std::string, Request>> replies_;
};

TEST_F(GoldenReplayTest, EveryRowReplaysAgainstTheRealPlugins) {
  std::ifstream in(PEL_GOLDEN_FILE);
  ASSERT_TRUE(in) << PEL_GOLDEN_FILE;
  const json rows = json::parse(in)["rows"];
  ASSERT_FALSE(rows.empty());
  auto driver = open("driver");
  ASSERT_TRUE(driver);
  ASSERT_EQ(driver->evaluateScriptSync(kCallbackRecord), "\"object\"");
  // The page of the `internal` rows, made when the first of them comes.
  std::shared_ptr<zrk::ZrkWebview> internals;

  std::vector<std::string> unreplayed;
  int replayed = 0;
  for (size_t index = 0; index < rows.size(); ++index) {
    const json& row = rows[index];
    const std::string call = row["call"];
    const std::string name = "row " + std::to_string(index) + ": " + call;
    std::string notHere;
    for (const json& request : row["requests"]) {
      const std::string plugin = pluginOf(request["command"]);
      if (const auto why = kNotBuiltYet.find(plugin); why != kNotBuiltYet.end()) {
        notHere = "plugin \"" + plugin + "\": " + why->second;
      } else if (!kReplayedPlugins.count(plugin)) {
        notHere = "plugin \"" + plugin + "\" is replayed nowhere";
      } else if (notHere.empty() && !recorded_.count(plugin)) {
        notHere = "plugin \"" + plugin + "\" is not registered";
      }
    }
    if (!notHere.empty()) {
      unreplayed.push_back(name + " (" + notHere + ")");
      continue;
    }
    SCOPED_TRACE(name);
    if (row.value("internal", false) && !internals) {
      internals = open("internals");
      ASSERT_TRUE(internals);
      const std::string bridge = exposedBridge();
      ASSERT_FALSE(bridge.empty()) << "the bridge module's end is not where the tests expect it";
      ASSERT_EQ(internals->evaluateScriptSync(bridge), "\"function\"");
      ASSERT_EQ(internals->evaluateScriptSync(kCallbackRecord), "\"object\"");
    }
    zrk::ZrkWebview& page = row.value("internal", false) ? *internals : *driver;
    Recorder::watched() = &page;
    prepareWindows(call);
    std::map<int64_t, int64_t> rids;
    const std::string realCall = withRealMenus(call, page, rids);
    // A menu the row pops up shows, and is dismissed (a modal one from inside its loop).
    std::unique_ptr<pel::test::UiTicker> dismisser;
    if (call.find(".popup(") != std::string::npos) {
      dismisser =
          std::make_unique<pel::test::UiTicker>([&page, &rids] { return dismissPopupOf(page, rids); });
    }
    Recorder::take();
    const size_t wanted = row["requests"].size();
    const json outcome = settle(page, "(0, eval)(" + json(realCall).dump() + ")", 30s);
    EXPECT_NE(outcome, json({{"error", "never settled"}}));
    if (dismisser) {
      EXPECT_TRUE(pumpUntil([&] { return dismisser->finished(); }, 10s)) << "no popup showed";
    }
    pumpUntil([&] { return Recorder::count() >= wanted; }, 20s);
    pumpFor(50ms);
    const std::vector<Request> got = Recorder::take();
    if (got.size() < wanted) {
      // The page stops at a command the plugin does not have.
      const bool stoppedAtAMissingCommand =
          std::any_of(got.begin(), got.end(), [](const Request& r) { return !r.reply.built; });
      EXPECT_TRUE(stoppedAtAMissingCommand) << got.size() << " of " << wanted << " requests";
      unreplayed.push_back(name + " (stops after " + std::to_string(got.size()) + " of " +
                           std::to_string(wanted) + " requests)");
      continue;
    }
    bool allBuilt = true;
    std::map<std::string, json> ids;  // payload key -> [the row's reply value, the real one]
    for (size_t i = 0; i < wanted; ++i) {
      const json& expected = row["requests"][i];
      const Request& actual = got[i];
      ASSERT_EQ(actual.command, expected["command"].get<std::string>()) << i;
      EXPECT_EQ(differs(withRealRids(expected["payload"], rids), actual.payload, ids, page), "") << i;
      EXPECT_EQ(actual.reply.thrown, "") << i;
      // The reply's form: "json" or "text" as the row gives it, JSON true when it gives none; a
      // refusal with the row's status and text; no command at all where the row says so.
      const json rowReply = row.contains("replies") && row["replies"].contains(actual.command)
                                ? row["replies"][actual.command]
                                : json{{"json", true}};
      if (rowReply == kNoSuchCommand) {
        EXPECT_FALSE(actual.reply.built) << i << ": the row expects no such command";
        continue;
      }
      if (!actual.reply.built) {
        allBuilt = false;
        continue;
      }
      if (rowReply.contains("fail")) {
        EXPECT_EQ(actual.reply.status, rowReply["fail"][0].get<int>()) << i;
        EXPECT_EQ(actual.reply.body, rowReply["fail"][1].get<std::string>()) << i;
      } else if (actual.reply.status == 200) {
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
      unreplayed.push_back(name + " (a command is not built)");
      continue;
    }
    ++replayed;
    std::cout << "  " << name << " -> " << outcome.dump() << std::endl;
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
  EXPECT_EQ(replyOf("plugin:window|create"), (std::vector<std::string>{"200 \"main\"", "200 \"viewer\""}));
  for (const std::string& body : replyOf("plugin:window|primary_monitor")) {
    const json monitor = json::parse(body.substr(4));
    EXPECT_EQ(monitor["scaleFactor"], 1.5) << body;
  }

  std::cout << "Replayed " << replayed << " rows\n";
  std::ostringstream skipped;
  for (const std::string& line : unreplayed) skipped << "  " << line << "\n";
  std::cout << "Not replayed here (" << unreplayed.size() << "):\n" << skipped.str();
  if (kEveryRowMustReplay) {
    EXPECT_TRUE(unreplayed.empty()) << skipped.str();
    EXPECT_EQ(replayed, static_cast<int>(rows.size()));
  }
}

}  // namespace
