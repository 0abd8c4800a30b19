#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "libdispatch/src/dispatch.h"
#include "support/fake_notification_server.h"
#include "support/fake_webview.h"
#include "support/private_bus.h"
#include "toast/dbus_platform.h"
#include "toast/recording_platform.h"
#include "zrkwebview/browser/src/http-plugins/notification/notification-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using json = nlohmann::json;
using toast::RecordingPlatform;
using zrk::plugin::NotificationPlugin;

std::string digitsAfter(const std::string& text, const std::string& marker) {
  const size_t at = text.find(marker);
  if (at == std::string::npos) return {};
  size_t end = at + marker.size();
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return text.substr(at + marker.size(), end - at - marker.size());
}

// What page callbacks were called with since the last call, as (callback, argument): the value
// itself, or for a channel message the {message, id} object the page's callback gets.
// `consumed` counts the scripts already looked at: records are never cleared, so a script an
// event thread adds meanwhile is not lost.
std::vector<std::pair<uint32_t, json>> sent(pel::test::FakeWebview& webview, size_t& consumed) {
  std::vector<std::pair<uint32_t, json>> out;
  const std::vector<std::string> scripts = webview.scripts();
  for (size_t i = consumed; i < scripts.size(); ++i) {
    const std::string& script = scripts[i];
    const std::string data = digitsAfter(script, "'zrk-channel-id': '");
    const std::string callback = digitsAfter(script, "window['_' + ");
    if (data.empty() || callback.empty()) continue;
    json value;
    if (!webview.takeChannelData(static_cast<uint32_t>(std::stoul(data)), value, true)) continue;
    const std::string order = digitsAfter(script, "message: response, id: ");
    if (!order.empty()) value = json{{"message", value}, {"id", std::stoul(order)}};
    out.emplace_back(static_cast<uint32_t>(std::stoul(callback)), value);
  }
  consumed = scripts.size();
  return out;
}

class NotificationPluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dispatch_init(); }

  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("notification-plugin-" + std::to_string(::getpid()));
    std::filesystem::remove_all(home_);
    ::setenv("XDG_DATA_HOME", home_.c_str(), 1);
    toast::Notifier::setPlatformFactory([this] { return platform_; });
  }
  void TearDown() override {
    toast::Notifier::setPlatformFactory(nullptr);
    std::filesystem::remove_all(home_);
  }

  std::shared_ptr<Vesk::TObject> call(const std::string& command, const json& payload) {
    return plugin_.invoke(command, webview_.get(), nullptr, nullptr, payload);
  }
  std::shared_ptr<Vesk::TObject> notify(const json& options) {
    return call("notify", json{{"options", options}});
  }
  static int statusOf(const std::shared_ptr<Vesk::TObject>& reply) {
    auto* r = dynamic_cast<http::HttpResponse*>(reply.get());
    return r != nullptr ? r->status() : -1;
  }
  static std::string bodyOf(const std::shared_ptr<Vesk::TObject>& reply) {
    auto* r = dynamic_cast<http::HttpMimeResponse*>(reply.get());
    return r != nullptr ? r->body() : std::string();
  }
  // The page callbacks called since the last look, once there are `count` of them (or 10 s
  // have passed): events that come from another thread.
  std::vector<std::pair<uint32_t, json>> sentOnceThere(size_t count) {
    std::vector<std::pair<uint32_t, json>> all;
    for (int i = 0; i < 1000 && all.size() < count; ++i) {
      for (auto& m : sent(*webview_, consumed_)) all.push_back(std::move(m));
      if (all.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return all;
  }
  // The UI thread's notifier shows its toasts on the bus at `address`; `made` sees the platform.
  void useBus(const std::string& address, std::weak_ptr<toast::DBusPlatform>* made = nullptr) {
    toast::Notifier::setPlatformFactory([address, made] {
      auto platform = std::make_shared<toast::DBusPlatform>(address);
      if (made != nullptr) *made = platform;
      return platform;
    });
  }
  std::string lastXml() {
    const auto shown = platform_->shown();
    return shown.empty() ? std::string() : shown.back().xml;
  }

  std::filesystem::path home_;
  std::shared_ptr<RecordingPlatform> platform_ = std::make_shared<RecordingPlatform>();
  std::shared_ptr<pel::test::FakeWebview> webview_ = std::make_shared<pel::test::FakeWebview>();
  size_t consumed_ = 0;  // the webview's scripts sent() has looked at
  NotificationPlugin plugin_;
};

TEST_F(NotificationPluginTest, OptionsBecomeTemplates) {
  struct Case {
    const char* name;
    json options;
    const char* binding;  // the template kind shown
    std::vector<std::string> fragments;
  };
  const std::vector<Case> cases = {
      {"title and body", {{"title", "T"}, {"body", "B"}}, "ToastText02",
       {"<text id=\"1\">T</text><text id=\"2\">B</text>"}},
      {"icon", {{"title", "T"}, {"body", "B"}, {"icon", "/i.png"}}, "ToastImageAndText02",
       {"src=\"file:////i.png\""}},
      {"summary only", {{"summary", "S"}}, "ToastText01", {"<text id=\"1\">S</text>"}},
      {"body, large icon and icon", {{"body", "B"}, {"largeIcon", "/h.png"}, {"icon", "/i.png"}},
       "ToastGeneric",
       {"<text id=\"1\">B</text>", "<image placement=\"hero\" src=\"/h.png\">", "src=\"\""}},
      {"largeBody stands in for body", {{"title", 5}, {"largeBody", "L"}}, "ToastText01",
       {"<text id=\"1\">L</text>"}},
      {"actions", {{"title", "T"}, {"actions", json::array({{{"id", "yes"}, {"title", "Yes"}}, 5,
                                                          {{"title", "No"}}})}},
       "ToastText01",
       {"<action content=\"Yes\" arguments=\"yes\"></action>"
        "<action content=\"No\" arguments=\"\"></action></actions>"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto reply = notify(c.options);
    EXPECT_EQ(statusOf(reply), 200);
    EXPECT_EQ(bodyOf(reply), "true");
    const std::string xml = lastXml();
    EXPECT_NE(xml.find(std::string("template=\"") + c.binding + "\""), std::string::npos) << xml;
    for (const auto& f : c.fragments) EXPECT_NE(xml.find(f), std::string::npos) << xml;
  }
  // The toasts carry the product's name, and its desktop entry was written once.
  ASSERT_FALSE(platform_->shown().empty());
  EXPECT_EQ(platform_->shown().front().appName, u"Pelmora");
  EXPECT_TRUE(std::filesystem::exists(home_ / "applications" / "Pelmora.desktop"));
}

TEST_F(NotificationPluginTest, RefusalsAnswer400) {
  struct Case {
    json options;
    const char* text;
  };
  for (const Case& c : {Case{json(), "empty title and body"},
                        Case{{{"title", ""}, {"summary", "S"}}, "empty title and body"},
                        Case{{{"title", "T"}, {"handler", "abc"}}, "invalid stoul argument"},
                        Case{{{"title", "T"}, {"handler", "__channel__:99999999999"}},
                             "stoul argument out of range"}}) {
    SCOPED_TRACE(c.text);
    const auto reply = notify(c.options);
    EXPECT_EQ(statusOf(reply), 400);
    // The refusal's text is the reply's status message and its body.
    auto* status = dynamic_cast<http::HttpStatusResponse*>(reply.get());
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->statusMessage(), c.text);
    EXPECT_EQ(status->read(1000), c.text);
  }
  EXPECT_TRUE(platform_->shown().empty());
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);
  EXPECT_EQ(call("nope", json::object()), nullptr);
}

TEST_F(NotificationPluginTest, EventsReachThePageChannel) {
  ASSERT_EQ(statusOf(notify({{"title", "T"}, {"id", "note"}, {"handler", "__channel__:42"},
                             {"actions", json::array({{{"id", "yes"}, {"title", "Yes"}}})}})),
            200);
  const int64_t first = platform_->shown().back().id;
  ASSERT_EQ(statusOf(notify({{"title", "U"}, {"handler", "43"}})), 200);
  const int64_t second = platform_->shown().back().id;
  ASSERT_EQ(statusOf(notify({{"title", "V"}})), 200);
  const int64_t silent = platform_->shown().back().id;
  sent(*webview_, consumed_);

  // An action and then the dismissal the server sends after it; a click on the body sends
  // nothing, the failure after it does; a toast without a channel sends nothing at all. (A
  // toast's registrations go at its second event, so two events are what one toast can report.)
  ASSERT_TRUE(platform_->activate(first, u"yes"));
  ASSERT_TRUE(platform_->dismiss(first, toast::UserCanceled));
  ASSERT_TRUE(platform_->activate(second, std::nullopt));
  ASSERT_TRUE(platform_->raiseFailure(second));
  ASSERT_TRUE(platform_->dismiss(silent, toast::TimedOut));
  const auto messages = sent(*webview_, consumed_);
  const json unordered = 4294967295u;
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].first, 42u);
  EXPECT_EQ(messages[0].second,
            (json{{"message", "{\"actionId\":\"yes\",\"event\":\"activated\",\"id\":\"note\"}"},
                  {"id", unordered}}));
  EXPECT_EQ(messages[1].second["message"],
            "{\"event\":\"dismissed\",\"id\":\"note\",\"reason\":\"canceled\"}");
  EXPECT_EQ(messages[2].first, 43u);
  EXPECT_EQ(messages[2].second["message"], "{\"event\":\"failed\",\"id\":\"\"}");
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);
}

TEST_F(NotificationPluginTest, ContextsLeaveWithTheirToasts) {
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(statusOf(notify({{"title", "T"}, {"handler", "7"}})), 200);
    platform_->dismiss(platform_->shown().back().id, toast::UserCanceled);
  }
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);

  // Hidden, cleared or never shown: no context stays either.
  ASSERT_EQ(statusOf(notify({{"title", "T"}, {"handler", "7"}})), 200);
  EXPECT_EQ(zrk::plugin::toastContextCount(), 1u);
  toast::Notifier::instance().clear();
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);
  platform_->fail(RecordingPlatform::Step::Show);
  ASSERT_EQ(statusOf(notify({{"title", "T"}, {"handler", "7"}})), 200);
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);
  sent(*webview_, consumed_);
}

TEST_F(NotificationPluginTest, PermissionIsGrantedThroughTheCallback) {
  auto reply = call("request_permission", json{{"handler", 11}});
  EXPECT_EQ(statusOf(reply), 200);
  EXPECT_EQ(bodyOf(reply), "true");
  EXPECT_EQ(dynamic_cast<http::HttpMimeResponse*>(reply.get())->mimeType(), "text/plain");
  reply = call("is_permission_granted", json{{"handler", 12}});
  EXPECT_EQ(bodyOf(reply), "true");
  EXPECT_EQ(dynamic_cast<http::HttpMimeResponse*>(reply.get())->mimeType(), "application/json");
  EXPECT_EQ(sent(*webview_, consumed_), (std::vector<std::pair<uint32_t, json>>{{11, "granted"}, {12, true}}));
  // Without a handler only the reply answers.
  EXPECT_EQ(statusOf(call("is_permission_granted", json::object())), 200);
  EXPECT_TRUE(sent(*webview_, consumed_).empty());
}

TEST_F(NotificationPluginTest, FailedSetUpIsNotRepeated) {
  platform_->fail(RecordingPlatform::Step::SetAppUserModelId);
  EXPECT_EQ(statusOf(notify({{"title", "T"}})), 200);
  platform_->fail(RecordingPlatform::Step::SetAppUserModelId, false);
  EXPECT_EQ(statusOf(notify({{"title", "T"}})), 200);
  EXPECT_TRUE(platform_->shown().empty());
  EXPECT_TRUE(plugin_.toastInitialized.load());
  EXPECT_EQ(plugin_.initScript().size(), 235u);
}

// Over a private session bus and a fake server: every signal becomes its page channel text, and
// stopping the notifications hides what is still shown and ends the platform.
TEST_F(NotificationPluginTest, SignalsReachThePageAndStoppingHides) {
  pel::test::PrivateBus bus;
  ASSERT_FALSE(bus.address().empty());
  pel::test::FakeNotificationServer server(bus.address(), {"body", "actions"});
  ASSERT_TRUE(server.ready());
  std::weak_ptr<toast::DBusPlatform> made;
  useBus(bus.address(), &made);

  const json yes = json::array({{{"id", "yes"}, {"title", "Yes"}}});
  for (const json& options :
       {json{{"title", "A"}, {"id", "a"}, {"handler", "__channel__:7"}, {"actions", yes}},
        json{{"title", "B"}, {"id", "b"}, {"handler", "8"}},
        json{{"title", "C"}, {"id", "c"}, {"handler", "9"}},
        json{{"title", "D"}, {"id", "d"}, {"handler", "10"}}}) {
    ASSERT_EQ(bodyOf(notify(options)), "true");
  }
  const auto calls = server.waitForCalls(4);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].actions, (std::vector<std::string>{"default", "", "yes", "Yes"}));
  EXPECT_EQ(zrk::plugin::toastContextCount(), 4u);

  server.emitAction(calls[0].id, "default");  // a click on the body: nothing for the page
  server.emitAction(calls[0].id, "yes");
  server.emitClosed(calls[1].id, 1);
  server.emitClosed(calls[2].id, 3);
  server.emitClosed(calls[0].id, 2);  // reaches nobody: A's registration went at its 2nd event
  const auto messages = sentOnceThere(3);
  ASSERT_EQ(messages.size(), 3u);
  const std::vector<std::pair<uint32_t, std::string>> expected = {
      {7, "{\"actionId\":\"yes\",\"event\":\"activated\",\"id\":\"a\"}"},
      {8, "{\"event\":\"dismissed\",\"id\":\"b\",\"reason\":\"timeout\"}"},
      {9, "{\"event\":\"dismissed\",\"id\":\"c\",\"reason\":\"hidden\"}"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(messages[i].first, expected[i].first);
    EXPECT_EQ(messages[i].second["message"], expected[i].second);
  }
  // Only D's context is left: A's went with its entry, B's and C's at their dismissals.
  EXPECT_EQ(zrk::plugin::toastContextCount(), 1u);

  // Stopping hides what the table still holds (C, whose entry waits for the next event, and
  // D), lets every handler go and ends the platform with its signal thread.
  zrk::plugin::stopNotifications();
  EXPECT_TRUE(made.expired());
  auto closed = server.closed();  // in the order of the notifier's (random) toast ids
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(closed, (std::vector<uint32_t>{calls[2].id, calls[3].id}));
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);
  server.emitClosed(calls[3].id, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(sent(*webview_, consumed_).empty());
}

// No server on the bus, then the bus gone under a shown toast: "notify" still answers, nothing
// is shown, nothing waits beyond the bus calls' own limit.
TEST_F(NotificationPluginTest, NoServerAndTheBusKilled) {
  pel::test::PrivateBus bus;
  ASSERT_FALSE(bus.address().empty());
  useBus(bus.address());
  EXPECT_EQ(bodyOf(notify({{"title", "T"}, {"handler", "7"}})), "true");
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);
  EXPECT_FALSE(plugin_.toastInitialized.load());  // no set-up without a server

  auto server = std::make_unique<pel::test::FakeNotificationServer>(
      bus.address(), std::vector<std::string>{"body"});
  ASSERT_TRUE(server->ready());
  EXPECT_EQ(bodyOf(notify({{"title", "T"}, {"handler", "7"}})), "true");
  ASSERT_EQ(server->waitForCalls(1).size(), 1u);
  bus.kill();
  EXPECT_EQ(bodyOf(notify({{"title", "U"}, {"handler", "7"}})), "true");
  server.reset();
  zrk::plugin::stopNotifications();
  EXPECT_EQ(zrk::plugin::toastContextCount(), 0u);
}

}  // namespace
