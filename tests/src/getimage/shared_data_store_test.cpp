// The application-wide store of byte blocks.
#include "zrkwebview/browser/src/shared-data-store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using zrk::SharedDataStore;

namespace {

struct Listed {
  std::string uid;
  size_t size;
  bool once;
};

std::vector<Listed> listed() {
  std::vector<Listed> out;
  SharedDataStore::list([&](const std::string& uid, size_t size, bool once) {
    out.push_back({uid, size, once});
  });
  return out;
}

TEST(SharedDataStore, OnceEntriesGoWithTheirFirstRead) {
  SharedDataStore::clear();
  const std::string once = SharedDataStore::write("abc\0d", 5, true);
  const std::string kept = SharedDataStore::write("xyz", 3, false);
  EXPECT_EQ(once.size(), 36u) << once;
  EXPECT_EQ(once.find_first_not_of("0123456789abcdefABCDEF-"), std::string::npos) << once;
  EXPECT_NE(once, kept);

  std::string out = "unchanged";
  EXPECT_FALSE(SharedDataStore::read("", out));
  EXPECT_FALSE(SharedDataStore::read("no-such-uid", out));
  EXPECT_EQ(out, "unchanged");
  ASSERT_TRUE(SharedDataStore::read(once, out));
  EXPECT_EQ(out, std::string("abc\0d", 5));
  EXPECT_FALSE(SharedDataStore::read(once, out));
  EXPECT_TRUE(SharedDataStore::read(kept, out));
  EXPECT_TRUE(SharedDataStore::read(kept, out));
  EXPECT_EQ(out, "xyz");

  const auto entries = listed();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].uid, kept);
  EXPECT_EQ(entries[0].size, 3u);
  EXPECT_FALSE(entries[0].once);

  EXPECT_TRUE(SharedDataStore::remove(kept));
  EXPECT_FALSE(SharedDataStore::remove(kept));
  const std::string empty = SharedDataStore::write(nullptr, 0, false);
  ASSERT_TRUE(SharedDataStore::read(empty, out));
  EXPECT_EQ(out, "");
  SharedDataStore::list({});  // an empty function does nothing
  SharedDataStore::clear();
  EXPECT_TRUE(listed().empty());
}

TEST(SharedDataStore, ListsInUidOrderAndReadsOnceAcrossThreads) {
  SharedDataStore::clear();
  for (int i = 0; i < 20; ++i) SharedDataStore::write("x", 1, false);
  const auto entries = listed();
  ASSERT_EQ(entries.size(), 20u);
  for (size_t i = 1; i < entries.size(); ++i) EXPECT_LT(entries[i - 1].uid, entries[i].uid);

  // A once entry is handed to exactly one of many concurrent readers.
  for (int round = 0; round < 20; ++round) {
    const std::string uid = SharedDataStore::write("payload", 7, true);
    std::atomic<int> got{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
      readers.emplace_back([&] {
        std::string out;
        if (SharedDataStore::read(uid, out)) ++got;
      });
    }
    for (auto& r : readers) r.join();
    EXPECT_EQ(got.load(), 1);
  }
  SharedDataStore::clear();
}

}  // namespace
