#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "desk/clock.h"
#include "toast/notifier.h"
#include "toast/recording_platform.h"
#include "vesk/strings.h"

namespace {

using toast::Notifier;
using toast::RecordingPlatform;
using toast::ToastTemplate;
using Step = RecordingPlatform::Step;

// What a handler heard, shared with the test after the notifier took the handler over.
struct Journal {
  std::mutex mutex;
  std::vector<std::string> events;
  std::atomic<int> alive{0};
  void add(std::string e) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(e));
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(events, {});
  }
};

class JournalHandler : public toast::Handler {
 public:
  explicit JournalHandler(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {
    ++journal_->alive;
  }
  ~JournalHandler() override { --journal_->alive; }
  void toastActivated(const std::u16string& arguments) override {
    journal_->add("activated:" + zrk::toUtf8(arguments));
  }
  void toastActivated() override { journal_->add("activated"); }
  void toastDismissed(int32_t reason) override {
    journal_->add("dismissed:" + std::to_string(reason));
  }
  void toastFailed() override { journal_->add("failed"); }

 private:
  std::shared_ptr<Journal> journal_;
};

class NotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dataHome_ = std::filesystem::temp_directory_path() /
                ("toast-notifier-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dataHome_);
    ::setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
    platform_ = std::make_shared<RecordingPlatform>();
    notifier_ = std::make_unique<Notifier>(platform_);
    notifier_->setAppName(u"Pelmora Test");
    notifier_->setAppUserModelId(u"Pelmora.Test");
  }
  void TearDown() override {
    notifier_.reset();
    desk::setClock(nullptr);
    std::filesystem::remove_all(dataHome_);
  }

  JournalHandler* handler() { return new JournalHandler(journal_); }
  int64_t show(int64_t expiration = 0) {
    ToastTemplate t(ToastTemplate::Text01);
    t.setFirstLine(u"Hello");
    t.setExpiration(expiration);
    toast::ToastError error = toast::Unknown;
    const int64_t id = notifier_->showToast(t, handler(), &error);
    EXPECT_EQ(error, toast::Ok);
    return id;
  }

  std::filesystem::path dataHome_;
  std::shared_ptr<RecordingPlatform> platform_;
  std::unique_ptr<Notifier> notifier_;
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
};

TEST_F(NotifierTest, InitializeOutcomes) {
  toast::ToastError error = toast::Unknown;
  // Names first: no desktop entry is looked at or written without them.
  notifier_->setAppName(u"");
  EXPECT_FALSE(notifier_->initialize(&error));
  EXPECT_EQ(error, toast::MissingNames);
  EXPECT_FALSE(std::filesystem::exists(dataHome_ / "applications"));
  notifier_->setAppName(u"Pelmora Test");

  notifier_->setShortcutPolicy(toast::CheckOnly);
  EXPECT_FALSE(notifier_->initialize(&error));
  EXPECT_EQ(error, toast::ShortcutFailed);

  notifier_->setShortcutPolicy(toast::CheckAndCreate);
  platform_->fail(Step::SetAppUserModelId);
  EXPECT_FALSE(notifier_->initialize(&error));
  EXPECT_EQ(error, toast::BadAppUserModelId);
  platform_->fail(Step::SetAppUserModelId, false);

  platform_->fail(Step::Compatible);
  EXPECT_FALSE(notifier_->initialize(&error));
  EXPECT_EQ(error, toast::UnsupportedSystem);
  platform_->fail(Step::Compatible, false);

  EXPECT_TRUE(notifier_->initialize(&error));
  EXPECT_EQ(error, toast::Ok);
  EXPECT_TRUE(notifier_->isInitialized());
  EXPECT_EQ(platform_->processAppUserModelId(), u"Pelmora.Test");
  EXPECT_TRUE(std::filesystem::exists(dataHome_ / "applications" / "Pelmora Test.desktop"));

  // A later failing initialize starts again from not initialised.
  platform_->fail(Step::Compatible);
  EXPECT_FALSE(notifier_->initialize());
  EXPECT_FALSE(notifier_->isInitialized());
}

TEST_F(NotifierTest, ShowFailuresReportTheirCode) {
  ToastTemplate t(ToastTemplate::Text01);
  toast::ToastError error = toast::Ok;
  EXPECT_EQ(notifier_->showToast(t, handler(), &error), -1);
  EXPECT_EQ(error, toast::NotInitialized);
  EXPECT_EQ(journal_->alive, 0);  // the handler went with the call

  ASSERT_TRUE(notifier_->initialize());
  EXPECT_EQ(notifier_->showToast(t, nullptr, &error), -1);
  EXPECT_EQ(error, toast::NoHandler);

  struct Case {
    Step step;
    toast::ToastError expected;
  };
  for (const Case& c : {Case{Step::CreateNotifier, toast::NotShown},
                        Case{Step::TemplateContent, toast::NotShown},
                        Case{Step::CreateNotification, toast::NotShown},
                        Case{Step::SetExpiration, toast::NotShown},
                        Case{Step::NewToastId, toast::NotShown},
                        Case{Step::AddHandlers, toast::NoHandler}}) {
    SCOPED_TRACE(static_cast<int>(c.step));
    platform_->fail(c.step);
    ToastTemplate expiring(ToastTemplate::Text01);
    expiring.setExpiration(1000);
    error = toast::Ok;
    EXPECT_EQ(notifier_->showToast(expiring, handler(), &error), -1);
    EXPECT_EQ(error, c.expected);
    EXPECT_EQ(journal_->alive, 0);
    EXPECT_TRUE(notifier_->toastIds().empty());
    platform_->fail(c.step, false);
  }

  // A document the builder cannot finish is not shown either.
  ToastTemplate longLogo(ToastTemplate::ImageAndText01);
  longLogo.setImage(std::u16string(300, u'a'), ToastTemplate::Square);
  EXPECT_EQ(notifier_->showToast(longLogo, handler(), &error), -1);
  EXPECT_EQ(error, toast::NotShown);

  // A toast the system refused keeps its entry (and handler) until cleared.
  platform_->fail(Step::Show);
  EXPECT_EQ(notifier_->showToast(t, handler(), &error), -1);
  EXPECT_EQ(error, toast::NotShown);
  EXPECT_EQ(notifier_->toastIds().size(), 1u);
  EXPECT_EQ(journal_->alive, 1);
  notifier_->clear();
  EXPECT_EQ(journal_->alive, 0);
  EXPECT_TRUE(platform_->shown().empty());
}

TEST_F(NotifierTest, EventsReachTheHandlerAndEntriesGoAtTheNextEvent) {
  ASSERT_TRUE(notifier_->initialize());
  const int64_t first = show();
  const int64_t second = show();
  ASSERT_NE(first, second);
  ASSERT_EQ(platform_->shown().size(), 2u);
  EXPECT_NE(platform_->shown()[0].xml.find("<text id=\"1\">Hello</text>"), std::string::npos);

  EXPECT_TRUE(platform_->activate(first, std::nullopt));
  EXPECT_TRUE(notifier_->isReadyForDeletion(first));
  EXPECT_TRUE(platform_->activate(second, u"2"));
  EXPECT_EQ(notifier_->toastIds(), std::vector<int64_t>{second});
  EXPECT_TRUE(notifier_->isReadyForDeletion(second));
  EXPECT_EQ(journal_->take(), (std::vector<std::string>{"activated", "activated:2"}));
  EXPECT_EQ(journal_->alive, 1);  // the first toast's handler went with its entry

  // An empty argument is a click on the body; a failure is reported as such.
  EXPECT_TRUE(platform_->activate(second, u""));
  const int64_t third = show();
  EXPECT_TRUE(platform_->raiseFailure(third));
  EXPECT_EQ(journal_->take(), (std::vector<std::string>{"activated", "failed"}));
}

TEST_F(NotifierTest, UserCancelAfterExpirationIsTimeout) {
  auto clock = std::make_shared<desk::VirtualClock>(1000);
  desk::setClock(clock);
  ASSERT_TRUE(notifier_->initialize());
  const int64_t expiring = show(5000);
  const int64_t early = show(5000);
  const int64_t lasting = show(0);
  const int64_t hidden = show(5000);

  clock->advance(2000);
  platform_->dismiss(early, toast::UserCanceled);
  clock->advance(4000);
  platform_->dismiss(expiring, toast::UserCanceled);
  platform_->dismiss(lasting, toast::UserCanceled);
  platform_->dismiss(hidden, toast::ApplicationHidden);
  EXPECT_EQ(journal_->take(), (std::vector<std::string>{"dismissed:0", "dismissed:2",
                                                        "dismissed:0", "dismissed:1"}));
}

TEST_F(NotifierTest, HideClearAndIdCollisions) {
  ASSERT_TRUE(notifier_->initialize());
  platform_->queueIds({7, 7, 7, 9});
  const int64_t a = show();
  const int64_t b = show();
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, 9);  // 7 was drawn again twice
  const int64_t c = show();
  EXPECT_EQ(c, 1);  // the queue is spent: the platform counts from 1
  EXPECT_EQ(journal_->alive, 3);

  EXPECT_FALSE(notifier_->hideToast(12345));
  EXPECT_TRUE(notifier_->hideToast(a));
  EXPECT_EQ(notifier_->toastIds(), (std::vector<int64_t>{c, b}));
  // A hidden toast lets its handler go, and a late report of it reaches nobody.
  EXPECT_EQ(journal_->alive, 2);
  EXPECT_FALSE(platform_->dismiss(a, toast::ApplicationHidden));
  platform_->fail(Step::Hide);
  EXPECT_FALSE(notifier_->hideToast(b));
  EXPECT_EQ(notifier_->toastIds(), (std::vector<int64_t>{c, b}));
  platform_->fail(Step::Hide, false);

  const int64_t d = show();
  EXPECT_EQ(d, 2);
  // clear hides in ascending id order, after the one hideToast above.
  notifier_->clear();
  EXPECT_TRUE(notifier_->toastIds().empty());
  EXPECT_EQ(platform_->hidden(), (std::vector<int64_t>{a, c, d, b}));
  EXPECT_EQ(platform_->registeredCount(), 0u);
  EXPECT_EQ(journal_->alive, 0);
  EXPECT_TRUE(journal_->take().empty());
}

TEST_F(NotifierTest, EventsAfterTheNotifierWentAreDropped) {
  ASSERT_TRUE(notifier_->initialize());
  const int64_t id = show();
  // An event the system is delivering while the notifier goes.
  auto inFlight = platform_->sinkOf(id);
  ASSERT_NE(inFlight, nullptr);
  notifier_.reset();
  // The toast was hidden and its registration went with the notifier; the event in flight
  // arrives and reaches nobody.
  EXPECT_EQ(platform_->hidden(), std::vector<int64_t>{id});
  EXPECT_FALSE(platform_->dismiss(id, toast::UserCanceled));
  inFlight->dismissed(toast::UserCanceled);
  inFlight->activated(u"late");
  EXPECT_TRUE(journal_->take().empty());
  inFlight.reset();
  EXPECT_EQ(journal_->alive, 0);
}

TEST_F(NotifierTest, EventsFromOtherThreadsWhileShowing) {
  ASSERT_TRUE(notifier_->initialize());
  std::vector<int64_t> ids;
  for (int i = 0; i < 50; ++i) ids.push_back(show());
  std::atomic<bool> stop{false};
  std::thread events([&] {
    for (int round = 0; !stop; ++round) {
      for (int64_t id : ids) platform_->dismiss(id, round % 3);
    }
  });
  for (int i = 0; i < 200; ++i) {
    const int64_t id = show();
    if (i % 2 == 0) notifier_->hideToast(id);
  }
  stop = true;
  events.join();
  notifier_->clear();
  EXPECT_TRUE(notifier_->toastIds().empty());
}

TEST(NotifierStatics, IdsAndTexts) {
  EXPECT_EQ(Notifier::makeAppUserModelId(u"A", u"B", u"", u"1.0"), u"A.B");
  EXPECT_EQ(Notifier::makeAppUserModelId(u"A", u"B", u"C", u""), u"A.B.C");
  EXPECT_EQ(Notifier::makeAppUserModelId(u"A", u"B", u"C", u"1.0"), u"A.B.C.1.0");
  EXPECT_EQ(Notifier::errorText(toast::Ok), "No error. The process was executed correctly");
  EXPECT_EQ(Notifier::errorText(toast::NotShown),
            "The toast was created correctly but WinToast was not able to display the toast");
  EXPECT_EQ(Notifier::errorText(toast::MissingNames),
            "Invalid parameters, please double-check the AUMI or App Name");
  EXPECT_EQ(Notifier::errorText(42), "Unknown error");
}

}  // namespace
