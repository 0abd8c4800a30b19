#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
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

// The values sent to page callbacks since the last call, as (callback, value).
std::vector<std::pair<uint32_t, json>> sent(pel::test::FakeWebview& webview) {
  std::vector<std::pair<uint32_t, json>> out;
  for (const std::string& script : webview.scripts()) {
    const std::string data = digitsAfter(script, "'zrk-channel-id': '");
    const std::string callback = digitsAfter(script, "window['_' + ");
    if (data.empty() || callback.empty()) continue;
    json value;
    if (webview.takeChannelData(static_cast<uint32_t>(std::stoul(data)), value, true)) {
      out.emplace_back(static_cast<uint32_t>(std::stoul(callback)), value);
    }
  }
  webview.clearRecords();
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
  std::string lastXml() {
    const auto shown = platform_->shown();
    return shown.empty() ? std::string() : shown.back().xml;
  }

  std::filesystem::path home_;
  std::shared_ptr<RecordingPlatform> platform_ = std::make_shared<RecordingPlatform>();
  std::shared_ptr<pel::test::FakeWebview> webview_ = std::make_shared<pel::test::FakeWebview>();
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
    auto* status = dynamic_cast<http::HttpResponse*>(reply.get());
    ASSERT_NE(status, nullptr);
    EXPECT_NE(status->reasonPhrase().find(c.text), std::string::npos);
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
  sent(*webview_);

  platform_->activate(first, std::nullopt);  // a click on the body sends nothing
  platform_->activate(first, u"yes");
  platform_->dismiss(first, toast::UserCanceled);
  platform_->raiseFailure(second);
  platform_->dismiss(silent, toast::TimedOut);
  const auto messages = sent(*webview_);
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
  sent(*webview_);
}

TEST_F(NotificationPluginTest, PermissionIsGrantedThroughTheCallback) {
  auto reply = call("request_permission", json{{"handler", 11}});
  EXPECT_EQ(statusOf(reply), 200);
  EXPECT_EQ(bodyOf(reply), "true");
  EXPECT_EQ(dynamic_cast<http::HttpMimeResponse*>(reply.get())->mimeType(), "text/plain");
  reply = call("is_permission_granted", json{{"handler", 12}});
  EXPECT_EQ(bodyOf(reply), "true");
  EXPECT_EQ(dynamic_cast<http::HttpMimeResponse*>(reply.get())->mimeType(), "application/json");
  EXPECT_EQ(sent(*webview_), (std::vector<std::pair<uint32_t, json>>{{11, "granted"}, {12, true}}));
  // Without a handler only the reply answers.
  EXPECT_EQ(statusOf(call("is_permission_granted", json::object())), 200);
  EXPECT_TRUE(sent(*webview_).empty());
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

}  // namespace
