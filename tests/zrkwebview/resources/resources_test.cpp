#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_webview.h"
#include "zrkwebview/browser/src/id-pool.h"
#include "zrkwebview/browser/src/resource.h"

namespace {

using zrk::Resource;
using zrk::ResourceInternal;
using zrk::ResourceManagerInternal;

class WinMenu : public ResourceInternal {
  VESK_DECLARE_CLASS(WinMenu, ResourceInternal, "zrk")
 public:
  using ResourceInternal::ResourceInternal;
  void close() override {
    ++closed;
    ResourceInternal::close();
  }
  int closed = 0;
};

// A resource whose close calls the manager again, as real resources do.
class Reentrant : public Resource {
 public:
  Reentrant(uint32_t id, ResourceManagerInternal* manager) : Resource(id), manager_(manager) {}
  void close() override {
    manager_->remove(id());
    found_after_close = manager_->find(id()) != nullptr;
    ++closed;
  }
  ResourceManagerInternal* manager_;
  bool found_after_close = true;
  int closed = 0;
};

TEST(IdPoolTest, RecyclesOldestFirstAndRefusesBadReleases) {
  zrk::IdPool pool;
  EXPECT_EQ(pool.acquire(), 1u);
  EXPECT_EQ(pool.acquire(), 2u);
  EXPECT_EQ(pool.acquire(), 3u);
  EXPECT_TRUE(pool.release(2));
  EXPECT_TRUE(pool.release(1));
  EXPECT_FALSE(pool.release(9));     // never handed out
  EXPECT_FALSE(pool.release(0));     // not an id
  EXPECT_FALSE(pool.release(2, true));  // already waiting
  EXPECT_EQ(pool.acquire(), 2u);
  EXPECT_EQ(pool.acquire(), 1u);
  EXPECT_EQ(pool.acquire(), 4u);
}

TEST(ResourceManagerTest, HandsOutIdsFromTheFirstIdAndReusesReleasedOnes) {
  ResourceManagerInternal manager(5000);
  EXPECT_EQ(manager.nextId(), 5000u);
  EXPECT_EQ(manager.nextId(), 5001u);
  EXPECT_EQ(manager.nextId(), 5002u);
  EXPECT_TRUE(manager.releaseId(5001));
  EXPECT_EQ(manager.nextId(), 5001u);
  EXPECT_EQ(manager.nextId(), 5003u);
}

TEST(ResourceManagerTest, ReleasingTwiceOrWhileInUseIsRefused) {
  ResourceManagerInternal manager(5000);
  const uint32_t id = manager.nextId();
  auto menu = std::make_shared<WinMenu>(id);
  manager.add(menu);
  EXPECT_FALSE(manager.releaseId(id));  // still filed
  EXPECT_FALSE(manager.releaseId(4999));
  manager.remove(id);
  EXPECT_TRUE(manager.releaseId(id));
  EXPECT_FALSE(manager.releaseId(id));  // already waiting for reuse
  EXPECT_EQ(manager.nextId(), id);
  EXPECT_EQ(manager.nextId(), id + 1);  // handed out once only

  // A recycled id never replaces a live resource.
  const uint32_t live = manager.nextId();
  auto first = std::make_shared<WinMenu>(live);
  manager.add(first);
  manager.releaseId(live);
  const uint32_t fresh = manager.nextId();
  EXPECT_NE(fresh, live);
  EXPECT_EQ(manager.find(live), first);
}

TEST(ResourceManagerTest, AddFindTakeRemoveAndClose) {
  ResourceManagerInternal manager(5000);
  auto seven = std::make_shared<WinMenu>(7);
  EXPECT_EQ(manager.add(seven), 7u);
  auto anonymous = std::make_shared<WinMenu>(0);
  EXPECT_EQ(manager.add(anonymous), 5000u);
  EXPECT_EQ(anonymous->id(), 0u);  // its own id is left alone
  EXPECT_EQ(manager.find(5000), anonymous);

  auto replacement = std::make_shared<WinMenu>(7);
  manager.set(7, replacement);
  EXPECT_EQ(manager.find(7), replacement);
  EXPECT_EQ(seven.use_count(), 1);  // the manager let go of the earlier one

  EXPECT_EQ(manager.take(7), replacement);
  EXPECT_EQ(replacement->closed, 0);
  EXPECT_EQ(manager.find(7), nullptr);
  EXPECT_EQ(manager.take(7), nullptr);
  manager.close(7);  // absent: nothing happens

  manager.remove(5000);
  EXPECT_EQ(anonymous->closed, 0);
  EXPECT_EQ(manager.find(5000), nullptr);
  EXPECT_EQ(manager.nextId(), 5001u);  // remove does not free the id

  Reentrant* raw = nullptr;
  {
    auto reentrant = std::make_shared<Reentrant>(42, &manager);
    raw = reentrant.get();
    manager.add(reentrant);
  }
  auto keep = manager.find(42);
  manager.close(42);  // the resource's own close runs outside the lock and may call back
  EXPECT_EQ(raw->closed, 1);
  EXPECT_FALSE(raw->found_after_close);
}

TEST(ResourceManagerTest, ForEachStopsWhenAskedAndDumpListsInIdOrder) {
  ResourceManagerInternal manager(5000);
  int visited = 0;
  manager.forEach([&](const std::shared_ptr<Resource>&, bool&) { ++visited; });
  EXPECT_EQ(visited, 0);

  manager.set(5002, std::make_shared<WinMenu>(5002));
  manager.set(5001, std::make_shared<WinMenu>(5001));
  manager.set(5003, std::make_shared<WinMenu>(5003));
  std::vector<uint32_t> order;
  manager.forEach([&](const std::shared_ptr<Resource>& r, bool& stop) {
    order.push_back(r->id());
    stop = order.size() == 2;
  });
  EXPECT_EQ(order, (std::vector<uint32_t>{5001, 5002}));

  testing::internal::CaptureStdout();
  manager.dump();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "RES:  5001_WinMenu\nRES:  5002_WinMenu\nRES:  5003_WinMenu\n");
  manager.clear();
  manager.forEach([&](const std::shared_ptr<Resource>&, bool&) { ++visited; });
  EXPECT_EQ(visited, 0);
}

TEST(ResourceInternalTest, CloseRemovesFromItsWebviewAndToleratesAGoneWebview) {
  auto webview = std::make_shared<pel::test::FakeWebview>();
  auto manager = webview->resourceManager();
  auto menu = std::make_shared<WinMenu>(manager->nextId());
  menu->setWebview(webview);
  manager->add(menu);
  manager->close(menu->id());
  EXPECT_EQ(menu->closed, 1);
  EXPECT_EQ(manager->find(menu->id()), nullptr);

  auto orphan = std::make_shared<WinMenu>(99);
  {
    auto gone = std::make_shared<pel::test::FakeWebview>();
    orphan->setWebview(gone);
  }
  orphan->close();  // nothing to do, nothing fails
  EXPECT_EQ(orphan->closed, 1);
  EXPECT_EQ(orphan->toString(), "99_WinMenu");
}

TEST(ResourceManagerTest, WebviewManagersAreNumberedByCreation) {
  // Earlier tests made two fake webviews; each got a manager of its own.
  auto a = zrk::makeWebviewResourceManager();
  auto b = zrk::makeWebviewResourceManager();
  const uint32_t first = a->nextId();
  EXPECT_EQ(first % 5000, 0u);
  EXPECT_EQ(b->nextId(), first + 5000);
}

TEST(ResourceManagerTest, ConcurrentUseKeepsIdsUnique) {
  ResourceManagerInternal manager(1);
  std::vector<std::thread> threads;
  std::vector<std::vector<uint32_t>> got(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        auto r = std::make_shared<WinMenu>(0);
        uint32_t id = manager.add(r);
        got[t].push_back(id);
        if (i % 3 == 0) {
          manager.remove(id);
          manager.releaseId(id);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  // Every id filed at the end is filed once, and the table holds exactly the kept ones.
  size_t kept = 0;
  manager.forEach([&](const std::shared_ptr<Resource>&, bool&) { ++kept; });
  size_t expectedKept = 0;
  for (const auto& v : got)
    for (size_t i = 0; i < v.size(); ++i) expectedKept += (i % 3 != 0);
  EXPECT_EQ(kept, expectedKept);
}

}  // namespace
