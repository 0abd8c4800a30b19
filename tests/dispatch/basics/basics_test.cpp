#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "libdispatch/src/dispatch.h"

namespace {

// A token needs no construction at run time.
constinit dispatch_once_t g_staticToken;

TEST(BeforeInit, QueueOperationsThrowAndTheMainQueueIsNull) {
  auto expectNotInitialised = [](auto call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ("dispatch library not initialized", e.what());
    }
  };
  bool ran = false;
  expectNotInitialised([] { dispatch_create_queue("q"); });
  expectNotInitialised([&] { dispatch_async(nullptr, [&] { ran = true; }); });
  expectNotInitialised([&] { dispatch_sync(nullptr, [&] { ran = true; }); });
  EXPECT_FALSE(ran);
  EXPECT_EQ(nullptr, dispatch_get_main_queue());
  EXPECT_EQ(nullptr, dispatch_get_queue("q"));
  dispatch_shutdown();  // nothing to stop
}

TEST(Once, RunsOncePerTokenAndRejectsBadArguments) {
  int runs = 0;
  dispatch_once(&g_staticToken, [&] { ++runs; });
  dispatch_once(&g_staticToken, [&] { ++runs; });
  EXPECT_EQ(1, runs);

  try {
    dispatch_once(nullptr, [] {});
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ("dispatch_once_t is null", e.what());
  }
  dispatch_once_t fresh;
  try {
    dispatch_once(&fresh, nullptr);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("not a function", e.what());
  }
  dispatch_once(&fresh, [&] { ++runs; });  // the refused call did not use the token up
  EXPECT_EQ(2, runs);
}

TEST(Once, ConcurrentCallersReturnOnlyAfterTheOneRunHasFinished) {
  dispatch_once_t token;
  std::atomic<int> runs{0};
  std::atomic<bool> finished{false};
  std::atomic<int> returnedEarly{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      dispatch_once(&token, [&] {
        ++runs;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        finished = true;
      });
      if (!finished.load()) ++returnedEarly;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, runs.load());
  EXPECT_EQ(0, returnedEarly.load());
}

TEST(Once, AThrowingRunWakesTheWaitersAndTheNextCallerRetries) {
  dispatch_once_t token;
  std::atomic<int> runs{0};
  std::atomic<int> threw{0};
  std::atomic<int> waiting{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&] {
      ++waiting;
      try {
        dispatch_once(&token, [&] {
          if (++runs == 1) {
            // Let the others arrive and wait on this run before it fails.
            while (waiting.load() < 6) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            throw std::runtime_error("first run fails");
          }
        });
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ("first run fails", e.what());
        ++threw;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(2, runs.load());  // the failed run and one retry
  EXPECT_EQ(1, threw.load());  // only the caller that ran it sees the exception
  dispatch_once(&token, [&] { ++runs; });
  EXPECT_EQ(2, runs.load());
}

// ---- logger ------------------------------------------------------------------------------------

struct Record {
  std::string file;
  int line;
  std::string function;
  int level;
  std::string message;
};

class Logger : public ::testing::Test {
 protected:
  void TearDown() override {
    dispatch_set_log_handler(nullptr);
    dispatch_set_log_level(DISPATCH_LOG_WARN);
  }
};

TEST_F(Logger, DefaultThresholdLetsErrorsAndWarningsThroughToStandardError) {
  testing::internal::CaptureStderr();
  dispatch_log("/a/b.cpp", 12, "fn", DISPATCH_LOG_ERROR, "e %d", 1);
  dispatch_log("/a/b.cpp", 13, "fn", DISPATCH_LOG_WARN, "w %s", "x");
  dispatch_log("/a/b.cpp", 14, "fn", DISPATCH_LOG_INFO, "i");
  dispatch_log("/a/b.cpp", 15, "fn", DISPATCH_LOG_TRACE, "t");
  dispatch_log("/a/b.cpp", 16, "fn", DISPATCH_LOG_DEBUG, "d");
  EXPECT_EQ("[ERROR] /a/b.cpp:12 (fn) - e 1\n[WARN] /a/b.cpp:13 (fn) - w x\n",
            testing::internal::GetCapturedStderr());
}

TEST_F(Logger, LevelNamesIncludingUnknownOnceTheThresholdAllows) {
  dispatch_set_log_level(7);
  testing::internal::CaptureStderr();
  for (int level : {2, 3, 4, 7, -1}) dispatch_log("f", 1, "g", level, "m");
  EXPECT_EQ(
      "[INFO] f:1 (g) - m\n[TRACE] f:1 (g) - m\n[DEBUG] f:1 (g) - m\n[UNKNOWN] f:1 (g) - m\n"
      "[UNKNOWN] f:1 (g) - m\n",
      testing::internal::GetCapturedStderr());
}

TEST_F(Logger, AHandlerReceivesEveryFieldInsteadOfTheStream) {
  std::vector<Record> records;
  dispatch_set_log_handler([&](const std::string& file, int line, const char* function, int level,
                               const std::string& message) {
    records.push_back({file, line, function, level, message});
  });
  dispatch_set_log_level(DISPATCH_LOG_DEBUG);
  std::string big(5000, 'x');
  testing::internal::CaptureStderr();
  dispatch_log("src/q.cpp", 7, "post", DISPATCH_LOG_DEBUG, ">>> %s|%lu", big.c_str(), 42ul);
  DISPATCH_LOG(DISPATCH_LOG_INFO, "from the macro");
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("src/q.cpp", records[0].file);
  EXPECT_EQ(7, records[0].line);
  EXPECT_EQ("post", records[0].function);
  EXPECT_EQ(DISPATCH_LOG_DEBUG, records[0].level);
  EXPECT_EQ(">>> " + big + "|42", records[0].message);
  // The macro passes the last three components of its source path.
  EXPECT_EQ("/dispatch/basics/basics_test.cpp", records[1].file);
  EXPECT_EQ("TestBody", records[1].function);
}

TEST_F(Logger, ThresholdChangesWhileOtherThreadsLog) {
  std::atomic<int> seen{0};
  dispatch_set_log_handler(
      [&](const std::string&, int, const char*, int, const std::string&) { ++seen; });
  std::atomic<bool> stop{false};
  std::thread logger([&] {
    while (!stop) dispatch_log("f", 1, "g", DISPATCH_LOG_INFO, "m");
  });
  for (int i = 0; i < 200; ++i) dispatch_set_log_level(i % 2 ? DISPATCH_LOG_INFO : DISPATCH_LOG_WARN);
  stop = true;
  logger.join();
  SUCCEED();  // what matters is that the sanitizers find no race
}

TEST(Paths, ShortPathKeepsTheLastComponents) {
  struct Case {
    const char* path;
    unsigned count;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\a\\b\\c\\d.src", 3, "/b/c/d.src"},
      {"x\\y.src", 3, "x/y.src"},
      {"/b/c/d.src", 3, "/b/c/d.src"},
      {"/root/src/libdispatch/src/dispatch.cpp", 3, "/libdispatch/src/dispatch.cpp"},
      {"a/b", 1, "/b"},
      {"", 3, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, dispatch_short_path(c.path, c.count)) << c.path;
}

TEST(Paths, SplitAppendsTheNonEmptyPieces) {
  std::vector<std::string> out{"kept"};
  dispatch_split_path(out, "/a//b/");
  EXPECT_EQ((std::vector<std::string>{"kept", "a", "b"}), out);
  dispatch_split_path(out, "c");
  dispatch_split_path(out, "");
  EXPECT_EQ((std::vector<std::string>{"kept", "a", "b", "c"}), out);
}

}  // namespace
