// A page's `new Notification(...)` goes through the bridge and the notification plugin to the
// UI thread's notifier, which shows it on a private session bus where a fake server of ours
// records it; an action pressed there comes back to the page's handler as JSON text.
#include <memory>
#include <string>
#include <vector>

#include "zrkwebview/plugins_browser/plugins_browser.h"
#include "support/fake_notification_server.h"
#include "support/private_bus.h"
#include "toast/dbus_platform.h"
#include "toast/notifier.h"

namespace plugins_browser {
namespace {

using pel::test::FakeNotificationServer;
using pel::test::PrivateBus;

class NotificationChromiumTest : public PluginsBrowserTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start";
    server_ = std::make_unique<FakeNotificationServer>(
        bus_.address(), std::vector<std::string>{"body", "actions"});
    ASSERT_TRUE(server_->ready());
    // The UI thread's notifier (this thread's) talks to the private bus only.
    const std::string address = bus_.address();
    toast::Notifier::setPlatformFactory(
        [address] { return std::make_shared<toast::DBusPlatform>(address); });
  }
  void TearDown() override {
    PluginsBrowserTest::TearDown();
    toast::Notifier::setPlatformFactory(nullptr);
    server_.reset();
  }

  // The Notify calls the server has recorded, pumping the UI thread (which shows the toasts)
  // until there are `count` of them.
  std::vector<FakeNotificationServer::Call> callsOnceThere(size_t count) {
    pumpUntil([&] { return server_->calls().size() >= count; }, std::chrono::seconds(30));
    return server_->calls();
  }

  PrivateBus bus_;
  std::unique_ptr<FakeNotificationServer> server_;
};

// The page's own handler keeps everything it is called with.
const char* const kPageScript = R"JS(
window.heard = [];
window.notifyWithActions = () => {
  new Notification("Build finished", {
    id: "build-7",
    body: "All <tests> passed",
    actions: [{ id: "open", title: "Open" }, { id: "rerun", title: "Run again" }],
    handler: value => window.heard.push(value),
  });
  return true;
};
)JS";

// Held back: about one run in four, the page hears the dismissal instead of the action that came
// before it; the action is lost between the notification's sink and the page's handler.
TEST_F(NotificationChromiumTest, DISABLED_ActionPressedOnTheServerReachesThePage) {
  auto webview = open("notification", page("", kPageScript));
  ASSERT_TRUE(webview);
  // The plugin's page script swaps the page's Notification for the bridge's once it can.
  ASSERT_TRUE(pumpUntil([&] {
    return read(*webview, "typeof Notification === 'function' && "
                          "String(Notification).includes('plugin:notification|notify')") == true;
  }));
  EXPECT_EQ(await(*webview, "Notification.requestPermission()"), "granted");
  EXPECT_EQ(read(*webview, "Notification.permission"), "granted");

  ASSERT_EQ(read(*webview, "window.notifyWithActions()"), true);
  const auto calls = callsOnceThere(1);
  ASSERT_EQ(calls.size(), 1u);
  const auto& call = calls[0];
  EXPECT_EQ(call.appName, "Pelmora");
  EXPECT_EQ(call.summary, "Build finished");
  EXPECT_EQ(call.body, "All <tests> passed");  // the server takes no markup
  EXPECT_EQ(call.actions,
            (std::vector<std::string>{"default", "", "open", "Open", "rerun", "Run again"}));
  EXPECT_EQ(call.hints.at("desktop-entry"), "'Pelmora'");

  // The user presses "Run again"; the server then closes the notification, as servers do.
  server_->emitAction(call.id, "rerun");
  server_->emitClosed(call.id, 2);
  ASSERT_TRUE(pumpUntil([&] { return read(*webview, "window.heard.length") == 1; }));
  const json heard = read(*webview, "window.heard[0]");
  EXPECT_EQ(heard.value("message", json()),
            "{\"actionId\":\"rerun\",\"event\":\"activated\",\"id\":\"build-7\"}");
  // The handler was made for one call: the dismissal after the action reaches it no more.
  pumpFor(std::chrono::milliseconds(300));
  EXPECT_EQ(read(*webview, "window.heard.length"), 1);
}

}  // namespace
}  // namespace plugins_browser
