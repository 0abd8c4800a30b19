// The window's data model: label, webview list, listeners, retained objects, error page.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "page_harness.h"
#include "support/fake_webview.h"
#include "zrkwebview/browser/src/window.h"

namespace {

using pel::test::FakeWebview;

std::vector<std::string> labels(zrk::Window& window) {
  std::vector<std::string> out;
  window.forEachWebview([&](const std::shared_ptr<zrk::Webview>& w) { out.push_back(w->label()); });
  return out;
}

TEST(WindowTest, LabelIsGeneratedOnceAndCanBeReplaced) {
  zrk::Window window;
  const std::string first = window.label();
  EXPECT_EQ(first.rfind("window_", 0), 0u);
  EXPECT_GT(first.size(), 7u);
  EXPECT_EQ(window.label(), first);
  window.setLabel("main");
  EXPECT_EQ(window.label(), "main");
  EXPECT_EQ(window.nativeHandle(), nullptr);
  EXPECT_EQ(window.delegate(), nullptr);
}

TEST(WindowTest, WebviewList) {
  auto window = std::make_shared<zrk::Window>();
  auto x1 = std::make_shared<FakeWebview>("x", window.get());
  auto y = std::make_shared<FakeWebview>("y", window.get());
  auto x2 = std::make_shared<FakeWebview>("x", window.get());
  window->addWebview(x1, true);
  window->addWebview(x1, true);  // already there
  window->addWebview(y, false);
  window->addWebview(x2, false);
  window->addWebview(nullptr, false);
  EXPECT_EQ(labels(*window), (std::vector<std::string>{"x", "y", "x"}));
  EXPECT_EQ(window->webviewCount(), 3u);
  EXPECT_EQ(window->webviewAt(1), y);
  EXPECT_EQ(window->webviewAt(3), nullptr);
  EXPECT_EQ(window->webviewAt(-1), nullptr);

  int index = -5;
  EXPECT_EQ(window->findWebview("y", &index), y);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(window->findWebview("x", &index), x1);
  EXPECT_EQ(index, 0);
  index = -5;
  EXPECT_EQ(window->findWebview("none", &index), nullptr);
  EXPECT_EQ(index, -5);

  // A visitor that removes webviews still sees the list as it was.
  std::vector<std::string> seen;
  window->forEachWebview([&](const std::shared_ptr<zrk::Webview>& w) {
    seen.push_back(w->label());
    window->removeWebview(w);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"x", "y", "x"}));
  EXPECT_EQ(window->webviewCount(), 0u);

  window->addWebview(x1, false);
  window->addWebview(y, false);
  window->addWebview(x2, false);
  window->removeWebview("x");
  EXPECT_EQ(labels(*window), std::vector<std::string>{"y"});
  window->removeWebview(std::shared_ptr<zrk::Webview>());
  window->forEachWebview(nullptr);
  EXPECT_EQ(window->webviewCount(), 1u);
}

TEST(WindowTest, ListenersRetainedObjectsAndErrorPage) {
  zrk::Window window;
  window.addEventListener(7, "a");
  window.addEventListener(8, "a");
  window.addEventListener(7, "b");
  EXPECT_TRUE(window.eventListeners("none").empty());
  auto a = window.eventListeners("a");
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].id, 7u);
  EXPECT_EQ(a[1].id, 8u);
  window.removeEventListeners(7);
  EXPECT_EQ(window.eventListeners("a").size(), 1u);
  EXPECT_TRUE(window.eventListeners("b").empty());

  auto app = std::make_shared<pel::test::TestApp>();
  window.retainDelegate(app);
  window.retainDelegate(app);
  window.retainDelegate(nullptr);
  int count = 0;
  window.forEachRetained([&](const std::shared_ptr<zrk::WindowDelegate>&) { ++count; });
  EXPECT_EQ(count, 2);
  window.releaseDelegate(app.get());
  count = 0;
  window.forEachRetained([&](const std::shared_ptr<zrk::WindowDelegate>&) { ++count; });
  EXPECT_EQ(count, 1);
  EXPECT_EQ(app.use_count(), 2);

  EXPECT_EQ(window.errorPage(),
            "<center>Erro occurred <span style=\"color:blue;cursor:pointer;\" "
            "onclick=\"window.location.href='%URL%'\">Refresh</span></center>");
  window.setErrorPage("<p>own</p>");
  EXPECT_EQ(window.errorPage(), "<p>own</p>");
}

}  // namespace
