#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/thread.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_notification_server.h"
#include "support/private_bus.h"
#include "toast/dbus_platform.h"
#include "vesk/strings.h"

namespace {

using pel::test::FakeNotificationServer;
using pel::test::PrivateBus;
using toast::DBusPlatform;
using toast::ToastTemplate;

struct Recorder : toast::EventSink {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> events;
  void add(std::string e) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back(std::move(e));
    }
    cv.notify_all();
  }
  void activated(const std::optional<std::u16string>& a) override {
    add(a ? "activated:" + zrk::toUtf8(*a) : "activated");
  }
  void dismissed(int32_t reason) override { add("dismissed:" + std::to_string(reason)); }
  void failed() override { add("failed"); }
  std::vector<std::string> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= count; });
    return events;
  }
};

toast::Notification notification(const ToastTemplate& t, std::shared_ptr<Recorder> sink) {
  toast::Notification n;
  n.id = 1;
  n.document = toast::Document::base(t.kind());
  EXPECT_EQ(toast::buildDocument(t, n.document), toast::S_OK);
  n.appName = u"Pelmora";
  n.appUserModelId = u"Pelmora.Test";
  n.sink = std::move(sink);
  return n;
}

// The parts of a document that no bus is needed for: lines, attribution, scenario, sound.
TEST(NotifyRequest, DocumentFields) {
  struct Case {
    const char* name;
    std::function<void(ToastTemplate&)> set;
    std::string summary, body, soundFile;
    int urgency;
  };
  const std::vector<Case> cases = {
      {"three lines and an attribution",
       [](ToastTemplate& t) {
         t.setThirdLine(u"Line 3");
         t.setAttribution(u"via Build");
       },
       "Head", "Line 2\nLine 3\nvia Build", "", 1},
      {"alarm", [](ToastTemplate& t) { t.setScenario(ToastTemplate::ScenarioAlarm); }, "Head",
       "Line 2", "", 2},
      {"reminder", [](ToastTemplate& t) { t.setScenario(ToastTemplate::ScenarioReminder); },
       "Head", "Line 2", "", 2},
      {"incoming call",
       [](ToastTemplate& t) { t.setScenario(ToastTemplate::ScenarioIncomingCall); }, "Head",
       "Line 2", "", 2},
      {"a sound file", [](ToastTemplate& t) { t.setSoundPath(u"file:///sounds/ping.wav"); },
       "Head", "Line 2", "file:///sounds/ping.wav", 1},
      {"a system sound has no counterpart", [](ToastTemplate& t) { t.setSystemSound(1); },
       "Head", "Line 2", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToastTemplate t(ToastTemplate::Text04);
    t.setFirstLine(u"Head");
    t.setSecondLine(u"Line 2");
    c.set(t);
    toast::Document document = toast::Document::base(t.kind());
    ASSERT_EQ(toast::buildDocument(t, document), toast::S_OK);
    const auto request = toast::notifyRequestFromDocument(document, "Pelmora", "Pelmora", false);
    EXPECT_EQ(request.summary, c.summary);
    EXPECT_EQ(request.body, c.body);
    EXPECT_EQ(request.soundFile, c.soundFile);
    EXPECT_EQ(request.urgency, c.urgency);
    EXPECT_EQ(request.expireTimeout, -1);
  }
}

class DBusTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start"; }
  PrivateBus bus_;
};

TEST_F(DBusTest, DocumentsBecomeNotifyCalls) {
  for (const bool markup : {false, true}) {
    SCOPED_TRACE(markup);
    FakeNotificationServer server(bus_.address(), markup ? std::vector<std::string>{"body",
                                                                                   "body-markup",
                                                                                   "actions"}
                                                         : std::vector<std::string>{"body"});
    ASSERT_TRUE(server.ready());
    DBusPlatform platform(bus_.address());
    ASSERT_TRUE(platform.isCompatible());

    ToastTemplate t(ToastTemplate::ImageAndText02);
    t.setFirstLine(u"Build <done>");
    t.setSecondLine(u"A & B");
    t.setImage(u"/icons/app.png", ToastTemplate::Square);
    t.addAction(u"Open", u"open");
    t.setDuration(ToastTemplate::Short);
    t.setSoundMode(ToastTemplate::Silent);
    auto n = notification(t, std::make_shared<Recorder>());
    ASSERT_TRUE(platform.addHandlers(n));
    ASSERT_TRUE(platform.show(n));
    const auto calls = server.waitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    const auto& c = calls[0];
    EXPECT_EQ(c.appName, "Pelmora");
    EXPECT_EQ(c.appIcon, "/icons/app.png");
    EXPECT_EQ(c.summary, "Build <done>");
    EXPECT_EQ(c.body, markup ? "A &amp; B" : "A & B");
    EXPECT_EQ(c.actions, (std::vector<std::string>{"default", "", "open", "Open"}));
    EXPECT_EQ(c.expireTimeout, 7000);
    EXPECT_EQ(c.hints.at("desktop-entry"), "'Pelmora'");
    EXPECT_EQ(c.hints.at("suppress-sound"), "true");
    EXPECT_EQ(n.platformId, c.id);
  }
}

TEST_F(DBusTest, DurationsAndHeroImage) {
  FakeNotificationServer server(bus_.address(), {"body"});
  ASSERT_TRUE(server.ready());
  DBusPlatform platform(bus_.address());
  struct Case {
    int32_t duration;
    int32_t timeout;
  };
  size_t count = 0;
  for (const Case& c : {Case{ToastTemplate::System, -1}, Case{ToastTemplate::Short, 7000},
                        Case{ToastTemplate::Long, 25000}}) {
    ToastTemplate t(ToastTemplate::ImageAndText01);
    t.setFirstLine(u"T");
    t.setHeroImage(u"/pictures/hero.png", false);
    t.setDuration(c.duration);
    auto n = notification(t, std::make_shared<Recorder>());
    ASSERT_TRUE(platform.show(n));
    const auto calls = server.waitForCalls(++count);
    ASSERT_EQ(calls.size(), count);
    EXPECT_EQ(calls.back().expireTimeout, c.timeout);
    EXPECT_EQ(calls.back().hints.at("image-path"), "'/pictures/hero.png'");
    EXPECT_EQ(calls.back().appIcon, "");  // no empty logo
  }
}

TEST_F(DBusTest, SignalsBecomeEventsAndHideCloses) {
  FakeNotificationServer server(bus_.address(), {"body", "actions"});
  ASSERT_TRUE(server.ready());
  DBusPlatform platform(bus_.address());
  ASSERT_TRUE(platform.isCompatible());
  ToastTemplate t(ToastTemplate::Text01);
  t.setFirstLine(u"T");
  auto recorder = std::make_shared<Recorder>();
  auto n = notification(t, recorder);
  ASSERT_TRUE(platform.addHandlers(n));
  ASSERT_TRUE(platform.show(n));
  server.emitAction(n.platformId, "default");
  server.emitAction(n.platformId, "yes");
  server.emitClosed(n.platformId, 1);
  server.emitClosed(n.platformId, 2);
  server.emitClosed(n.platformId, 3);
  server.emitClosed(n.platformId + 100, 2);  // not ours
  EXPECT_EQ(recorder->waitFor(5), (std::vector<std::string>{"activated", "activated:yes",
                                                            "dismissed:2", "dismissed:0",
                                                            "dismissed:1"}));
  EXPECT_TRUE(platform.hide(n));
  EXPECT_EQ(server.closed(), std::vector<uint32_t>{n.platformId});

  // Once its registration is removed, the toast hears nothing more.
  platform.removeHandlers(n);
  server.emitClosed(n.platformId, 2);
  server.emitAction(n.platformId, "yes");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(recorder->waitFor(5).size(), 5u);
}

TEST_F(DBusTest, NoServerOrNoBus) {
  {
    DBusPlatform platform(bus_.address());
    EXPECT_FALSE(platform.isCompatible());  // the bus answers, nobody owns the name
  }
  DBusPlatform nowhere("unix:path=/nonexistent/pel-bus");
  EXPECT_FALSE(nowhere.isCompatible());
  ToastTemplate t(ToastTemplate::Text01);
  auto n = notification(t, std::make_shared<Recorder>());
  EXPECT_FALSE(nowhere.show(n));
}

TEST_F(DBusTest, BusKilledMidToast) {
  auto server = std::make_unique<FakeNotificationServer>(bus_.address(),
                                                         std::vector<std::string>{"body"});
  ASSERT_TRUE(server->ready());
  DBusPlatform platform(bus_.address());
  ToastTemplate t(ToastTemplate::Text01);
  t.setFirstLine(u"T");
  auto n = notification(t, std::make_shared<Recorder>());
  ASSERT_TRUE(platform.addHandlers(n));
  ASSERT_TRUE(platform.show(n));
  bus_.kill();
  EXPECT_FALSE(platform.hide(n));
  EXPECT_FALSE(platform.show(n));
  EXPECT_FALSE(platform.isCompatible());
  server.reset();
  platform.stop();
}

// A sink that, like a page's webview, waits for the UI thread to deliver what it heard.
struct UiBoundSink : toast::EventSink {
  std::atomic<bool> entered{false};
  std::atomic<bool> delivered{false};
  void activated(const std::optional<std::u16string>&) override {}
  void failed() override {}
  void dismissed(int32_t) override {
    entered = true;
    try {
      dispatch_sync(dispatch_get_main_queue(), [this] { delivered = true; });
    } catch (const std::exception&) {
      // Dropped by a closing main queue: nothing to deliver.
    }
  }
};

TEST_F(DBusTest, StoppedOnTheUiThreadWhileAnEventWaitsForIt) {
  desk::setUiThreadId(desk::GetCurrentThreadId());
  dispatch_init();
  FakeNotificationServer server(bus_.address(), {"body"});
  ASSERT_TRUE(server.ready());
  DBusPlatform platform(bus_.address());
  ToastTemplate t(ToastTemplate::Text01);
  t.setFirstLine(u"T");
  auto sink = std::make_shared<UiBoundSink>();
  toast::Notification n;
  n.document = toast::Document::base(t.kind());
  ASSERT_EQ(toast::buildDocument(t, n.document), toast::S_OK);
  n.appName = u"Pelmora";
  n.sink = sink;
  ASSERT_TRUE(platform.addHandlers(n));
  ASSERT_TRUE(platform.show(n));
  server.emitClosed(n.platformId, 2);
  // The signal thread is now inside the sink, waiting for this (the UI) thread.
  for (int i = 0; i < 500 && !sink->entered; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(sink->entered);
  EXPECT_FALSE(sink->delivered);
  // Stopping serves the UI thread's queue until the signal thread is done: no deadlock.
  platform.stop();
  EXPECT_TRUE(sink->delivered);
  EXPECT_FALSE(platform.show(n));  // a stopped platform shows nothing
}

}  // namespace
