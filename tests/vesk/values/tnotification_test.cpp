// The notification center: filtering by object, the removal rules and re-entrant handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "vesk/tnotification.h"
#include "vesk/tnumber.h"

using Vesk::TDictionary;
using Vesk::TNotification;
using Vesk::TNotificationCenter;
using Vesk::TString;

namespace {

// A handler that records, under its own tag, the notifications it receives.
struct Recorder {
  std::vector<std::string> calls;
  TNotificationCenter::HandlerPtr make(const std::string& tag) {
    return std::make_shared<TNotificationCenter::Handler>(
        [this, tag](const std::shared_ptr<TNotification>&) { calls.push_back(tag); });
  }
  std::string take() {
    std::string out;
    for (const auto& c : calls) out += c;
    calls.clear();
    return out;
  }
};

int objectA, objectB;

TEST(TNotificationCenter, DeliveryFollowsTheObjectFilter) {
  TNotificationCenter center;
  Recorder rec;
  auto onA = rec.make("A");
  auto onNull = rec.make("N");
  center.addObserver(TString(u"evt"), onA, &objectA);
  center.addObserver(TString(u"evt"), onNull, nullptr);
  center.addObserver(TString(u"other"), rec.make("O"), nullptr);

  struct Case {
    void* object;
    const char* expected;
  };
  for (const auto& c : {Case{&objectA, "A"}, Case{&objectB, ""}, Case{nullptr, "AN"}}) {
    center.postNotification(TString(u"evt"), c.object);
    EXPECT_EQ(rec.take(), c.expected);
  }
  center.postNotification(TString(u"nobody"));
  EXPECT_EQ(rec.take(), "");

  center.addObserver(TString(u"evt"), onA, &objectA);  // the same handler twice runs twice
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(rec.take(), "ANA");
}

TEST(TNotificationCenter, TheThreeRemovalRules) {
  TNotificationCenter center;
  Recorder rec;
  auto h1 = rec.make("1");
  auto h2 = rec.make("2");
  auto hNull = rec.make("n");
  auto setUp = [&] {
    center.removeObserver(TString(u"evt"), nullptr);
    center.addObserver(TString(u"evt"), h1, &objectA);
    center.addObserver(TString(u"evt"), h2, &objectA);
    center.addObserver(TString(u"evt"), h1, &objectB);
    center.addObserver(TString(u"evt"), hNull, nullptr);
  };

  // By object (every handler of that object), or by object and handler.
  setUp();
  center.removeObserver(TString(u"evt"), &objectA);
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(rec.take(), "1n");
  setUp();
  center.removeObserver(TString(u"evt"), h1, &objectA);
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(rec.take(), "21n");
  // Removing by object never touches observers registered without one.
  setUp();
  center.removeObserver(TString(u"evt"), hNull, &objectA);
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(rec.take(), "121n");

  // By handler alone: that handler for every object.
  setUp();
  center.removeObserver(TString(u"evt"), h1, nullptr);
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(rec.take(), "2n");
  // A copy of the function object is another handler.
  setUp();
  center.removeObserver(TString(u"evt"), std::make_shared<TNotificationCenter::Handler>(*h1), nullptr);
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(rec.take(), "121n");

  // Neither: the whole name.
  setUp();
  center.removeObserver(TString(u"evt"), nullptr);
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(rec.take(), "");
  center.removeObserver(TString(u"missing"), h1, &objectA);  // silent
}

TEST(TNotificationCenter, HandlerThatRemovesItselfFinishesTheCurrentDelivery) {
  TNotificationCenter center;
  int selfCalls = 0, laterCalls = 0, addedCalls = 0;
  auto later = std::make_shared<TNotificationCenter::Handler>([&](const std::shared_ptr<TNotification>&) { ++laterCalls; });
  auto added = std::make_shared<TNotificationCenter::Handler>([&](const std::shared_ptr<TNotification>&) { ++addedCalls; });
  auto self = std::make_shared<TNotificationCenter::Handler>();
  std::weak_ptr<TNotificationCenter::Handler> weakSelf = self;
  *self = [&, weakSelf](const std::shared_ptr<TNotification>&) {
    ++selfCalls;
    // Re-entering the center from a handler must not deadlock.
    center.removeObserver(TString(u"evt"), weakSelf.lock(), nullptr);
    center.removeObserver(TString(u"evt"), later, nullptr);
    center.addObserver(TString(u"evt"), added, nullptr);
    center.postNotification(TString(u"nested"));
  };
  center.addObserver(TString(u"evt"), self, nullptr);
  center.addObserver(TString(u"evt"), later, nullptr);
  self.reset();  // the center keeps the handler alive while it is registered

  center.postNotification(TString(u"evt"));
  EXPECT_EQ(selfCalls, 1);
  EXPECT_EQ(laterCalls, 1);  // removed during the delivery, still receives this one
  EXPECT_EQ(addedCalls, 0);  // added during the delivery, gets the next one only
  center.postNotification(TString(u"evt"));
  EXPECT_EQ(selfCalls, 1);
  EXPECT_EQ(laterCalls, 1);
  EXPECT_EQ(addedCalls, 1);
}

TEST(TNotificationCenter, UserInfoIsACopyThatEmptiesWithTheNotification) {
  TNotificationCenter center;
  auto shared = std::make_shared<Vesk::TNumber>(7);
  auto info = TDictionary::create({{TString(u"command"), shared}});
  std::shared_ptr<TDictionary> kept;
  std::shared_ptr<TDictionary> seenEmpty = std::make_shared<TDictionary>();
  bool sawNullInfo = false;
  center.addObserver(TString(u"evt"),
                     std::make_shared<TNotificationCenter::Handler>([&](const std::shared_ptr<TNotification>& n) {
                       EXPECT_EQ(n->object(), &objectA);
                       kept = n->userInfo();
                       ASSERT_NE(kept, nullptr);
                       EXPECT_NE(kept, info);
                       EXPECT_EQ(kept->objectForKey(TString(u"command")), shared);
                       info->setInt(TString(u"late"), 1);  // the poster's later change is not seen
                       EXPECT_EQ(kept->count(), 1);
                     }),
                     &objectA);
  center.addObserver(TString(u"bare"),
                     std::make_shared<TNotificationCenter::Handler>(
                         [&](const std::shared_ptr<TNotification>& n) { sawNullInfo = n->userInfo() == nullptr; }),
                     nullptr);
  center.postNotification(TString(u"evt"), &objectA, info);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->count(), 0);  // emptied when the notification went away
  EXPECT_EQ(info->count(), 2);  // the poster's dictionary is untouched
  center.postNotification(TString(u"bare"));
  EXPECT_TRUE(sawNullInfo);
}

TEST(TNotificationCenter, ThrowingAndEmptyHandlersStopTheDelivery) {
  TNotificationCenter center;
  Recorder rec;
  center.addObserver(TString(u"evt"), rec.make("1"), nullptr);
  center.addObserver(TString(u"evt"),
                     std::make_shared<TNotificationCenter::Handler>(
                         [](const std::shared_ptr<TNotification>&) { throw std::runtime_error("boom"); }),
                     nullptr);
  center.addObserver(TString(u"evt"), rec.make("3"), nullptr);
  center.addObserver(TString(u"evt"), nullptr, nullptr);  // stored, passed over
  EXPECT_THROW(center.postNotification(TString(u"evt")), std::runtime_error);
  EXPECT_EQ(rec.take(), "1");
  center.addObserver(TString(u"empty"), std::make_shared<TNotificationCenter::Handler>(), nullptr);
  EXPECT_THROW(center.postNotification(TString(u"empty")), std::bad_function_call);
  center.postNotification(TString(u"evt"), &objectA);  // the center still works; nobody matches
  EXPECT_EQ(rec.take(), "");
}

TEST(TNotificationCenter, ConcurrentPostsAndRegistrations) {
  TNotificationCenter center;
  std::atomic<int> delivered{0};
  auto handler = std::make_shared<TNotificationCenter::Handler>(
      [&](const std::shared_ptr<TNotification>&) { delivered.fetch_add(1, std::memory_order_relaxed); });
  center.addObserver(TString(u"evt"), handler, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      auto mine = std::make_shared<TNotificationCenter::Handler>([](const std::shared_ptr<TNotification>&) {});
      for (int i = 0; i < 500; ++i) {
        center.addObserver(TString(u"evt"), mine, &threads);
        center.postNotification(TString(u"evt"));
        center.removeObserver(TString(u"evt"), mine, &threads);
      }
      (void)t;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(delivered.load(), 2000);
}

TEST(TNotificationCenter, DefaultCenterIsOneForTheProcess) {
  TNotificationCenter* first = TNotificationCenter::defaultCenter();
  TNotificationCenter* fromThread = nullptr;
  std::thread([&] { fromThread = TNotificationCenter::defaultCenter(); }).join();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, fromThread);
}

}  // namespace
