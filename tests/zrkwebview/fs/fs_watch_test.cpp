// Folder watchers on real changes, and the watch commands. Events arrive on the watchers'
// threads: every wait has a 2 s deadline, and an event that must not come is checked behind one
// that must (one watcher reports in order).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "fs_test_support.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-watch.h"

namespace {

using namespace fstest;
using namespace std::chrono_literals;

struct Event {
  int kind;
  std::string path;
  bool operator==(const Event& other) const { return kind == other.kind && path == other.path; }
};

class Sink {
 public:
  void operator()(const std::string& name, const json& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(name, "zrk://directory-changed");
    EXPECT_EQ(payload.size(), 2u);
    events_.push_back({payload["event"].get<int>(), payload["path"].get<std::string>()});
    changed_.notify_all();
  }
  // Waits until the event has come `times` times.
  bool waitFor(const Event& event, size_t times = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 2s, [&] { return count(event) >= times; });
  }
  size_t countOf(const Event& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    return count(event);
  }
  size_t total() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }

 private:
  size_t count(const Event& event) const {
    return static_cast<size_t>(std::count(events_.begin(), events_.end(), event));
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

class FsWatch : public TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    sink = std::make_shared<Sink>();
    zrk::plugin::setDirectoryEventSink(
        [sink = sink](const std::string& name, const json& payload) { (*sink)(name, payload); });
  }
  void TearDown() override {
    EXPECT_EQ(call("unwatch_all", json::object()).body, "true");
    zrk::plugin::setDirectoryEventSink(nullptr);
    TempFolder::TearDown();
  }
  std::string watch(const std::string& path, const json& options = json::object()) {
    const Reply reply = call("watch", {{"path", path}, {"options", options}});
    EXPECT_EQ(reply.status, 200) << reply.text;
    EXPECT_EQ(reply.type, "text/plain");
    return reply.body;
  }

  std::shared_ptr<Sink> sink;
};

TEST_F(FsWatch, ChangesInsideTheFolder) {
  watch(root);
  writeAll(at("f"), "x");
  EXPECT_TRUE(sink->waitFor({1, at("f")}));
  EXPECT_TRUE(sink->waitFor({4, at("f")}));
  stdfs::rename(at("f"), at("g"));
  EXPECT_TRUE(sink->waitFor({2, at("f")}));
  EXPECT_TRUE(sink->waitFor({1, at("g")}));
  stdfs::create_directory(at("d"));
  EXPECT_TRUE(sink->waitFor({1, at("d")}));
  stdfs::remove(at("g"));
  EXPECT_TRUE(sink->waitFor({2, at("g")}));
}

TEST_F(FsWatch, TheMaskChoosesTheKinds) {
  writeAll(at("old"), "x");
  watch(root, {{"events", 1}});
  stdfs::remove(at("old"));
  writeAll(at("new"), "x");
  EXPECT_TRUE(sink->waitFor({1, at("new")}));
  EXPECT_EQ(sink->countOf({2, at("old")}), 0u);
  EXPECT_EQ(sink->countOf({4, at("new")}), 0u);
  call("unwatch_all", json::object());
  watch(root, {{"events", 0}});  // 0 means all three
  stdfs::remove(at("new"));
  EXPECT_TRUE(sink->waitFor({2, at("new")}));
}

TEST_F(FsWatch, DepthOverTwoHundredFolders) {
  for (int i = 0; i < 20; ++i) {
    for (int j = 0; j < 9; ++j) {
      stdfs::create_directories(at("l" + std::to_string(i) + "/m" + std::to_string(j)));
    }
  }
  watch(root, {{"depth", 1}});
  writeAll(at("l3/m4/deep"), "x");
  writeAll(at("l3/near"), "x");
  EXPECT_TRUE(sink->waitFor({1, at("l3/near")}));
  EXPECT_EQ(sink->countOf({1, at("l3/m4/deep")}), 0u);
  json listed = json::parse(call("watched_directories", json::object()).body);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["paths"].size(), 20u);
  call("unwatch_all", json::object());

  watch(root, {{"depth", -1}});
  listed = json::parse(call("watched_directories", json::object()).body);
  EXPECT_EQ(listed[0]["paths"].size(), 200u);
  writeAll(at("l19/m8/deepest"), "x");
  writeAll(at("l0/top"), "x");
  EXPECT_TRUE(sink->waitFor({1, at("l19/m8/deepest")}));
  EXPECT_TRUE(sink->waitFor({1, at("l0/top")}));
  // A folder made after the watch is not watched.
  stdfs::create_directory(at("late"));
  EXPECT_TRUE(sink->waitFor({1, at("late")}));
  EXPECT_EQ(call("is_watched", {{"path", at("late")}}).body, R"({"subwatch":false,"watched":false})");
}

TEST_F(FsWatch, TwoWatchesReportEachChangeTwice) {
  const std::string first = watch(root);
  const std::string second = watch(root);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind("pw_", 0), 0u);
  writeAll(at("f"), "");
  EXPECT_TRUE(sink->waitFor({1, at("f")}, 2));
  EXPECT_EQ(call("unwatch", {{"path", root}}).body, "true");
  EXPECT_EQ(call("watched_directories", json::object()).body, "null");
}

TEST_F(FsWatch, UnwatchWhileEventsArrive) {
  watch(root, {{"depth", 1}});
  stdfs::create_directory(at("d"));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) writeAll(at("f" + std::to_string(i % 50)), "data");
  });
  EXPECT_TRUE(sink->waitFor({4, at("f0")}));
  EXPECT_EQ(call("unwatch_all", json::object()).body, "true");
  const size_t after = sink->total();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sink->total(), after);  // nothing once the watcher is gone
  stop = true;
  writer.join();
}

TEST_F(FsWatch, NoSinkMeansNothingEmitted) {
  zrk::plugin::setDirectoryEventSink(nullptr);
  watch(root);
  writeAll(at("f"), "x");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sink->total(), 0u);
}

TEST_F(FsWatch, Commands) {
  EXPECT_EQ(call("watched_directories", json::object()).body, "null");
  EXPECT_EQ(call("watch", json::object()).text, "Path not specified.");
  EXPECT_EQ(call("watch", {{"path", at("missing")}}).text, "File not found (" + at("missing") + ")");
  writeAll(at("file"), "");
  EXPECT_EQ(call("watch", {{"path", at("file")}}).text,
            "Invalid argument (not a directory: " + at("file") + ")");
  stdfs::create_directories(at("w/a/x"));
  stdfs::create_directories(at("w/b"));
  stdfs::create_directories(at("z/c"));
  const std::string id = watch(at("w") + "/", {{"depth", 1}});
  watch(at("z"));
  const json listed = json::parse(call("watched_directories", json::object()).body);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["id"], id);
  EXPECT_EQ(listed[0]["path"], at("w"));
  const std::vector<std::string> paths = listed[0]["paths"];
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()),
            (std::set<std::string>{at("w/a"), at("w/b")}));
  EXPECT_EQ(listed[1]["paths"], json::array());

  struct Case {
    std::string path;
    const char* answer;
  } cases[] = {
      {at("w"), R"({"subwatch":false,"watched":true})"},
      {at("w") + "/", R"({"subwatch":false,"watched":false})"},
      {at("w/a"), R"({"subwatch":true,"watched":true})"},
      {at("w/a/x"), R"({"subwatch":false,"watched":false})"},
      {at("z/c"), R"({"subwatch":false,"watched":false})"},
      {at("W"), R"({"subwatch":false,"watched":false})"},
  };
  for (const auto& c : cases) EXPECT_EQ(call("is_watched", {{"path", c.path}}).body, c.answer) << c.path;
  EXPECT_EQ(call("is_watched", json::object()).text, "Path not specified.");

  // Path and another folder's id: nothing at the top, then the children by path.
  EXPECT_EQ(call("unwatch", {{"path", at("w")}, {"id", "pw_other"}}).body, "false");
  EXPECT_EQ(call("unwatch", {{"path", at("w/a")}, {"id", "pw_other"}}).body, "true");
  EXPECT_EQ(call("is_watched", {{"path", at("w/a")}}).body, R"({"subwatch":false,"watched":false})");
  EXPECT_EQ(call("is_watched", {{"path", at("w/b")}}).body, R"({"subwatch":true,"watched":true})");
  EXPECT_EQ(call("unwatch", {{"id", id}}).body, "true");
  EXPECT_EQ(call("unwatch", {{"id", id}}).body, "false");
  EXPECT_EQ(call("unwatch", json::object()).text, "Path or id not specified.");
  EXPECT_EQ(json::parse(call("watched_directories", json::object()).body).size(), 1u);
  EXPECT_EQ(call("unwatch_all", json::object()).body, "true");
  EXPECT_EQ(call("unwatch_all", json::object()).body, "true");
  EXPECT_EQ(call("watched_directories", json::object()).body, "null");
}

}  // namespace
