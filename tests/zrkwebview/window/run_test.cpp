// The application's run: the main window's options, and a whole life of the UI thread that ends
// with quit. The dispatch library starts and stops inside run: its own program.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "desk/test.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/window/test_app.h"

namespace {

TEST(AppRunTest, MainWindowOptions) {
  const zrk::WindowOptions defaults = zrk::App::mainWindowOptions(std::nullopt);
  EXPECT_TRUE(defaults.hiddenTitle);
  ASSERT_TRUE(defaults.titleBarRect);
  EXPECT_EQ(defaults.titleBarRect->height, 40.0f);
  EXPECT_EQ(defaults.x, 100);
  EXPECT_EQ(defaults.y, 100);
  EXPECT_EQ(defaults.width, 1800);
  EXPECT_EQ(defaults.height, 1600);
  EXPECT_FALSE(defaults.label);

  // Given options replace the defaults whole; only the four numbers they leave unset come back.
  zrk::WindowOptions given;
  given.width = 1024;
  given.closable = false;
  const zrk::WindowOptions options = zrk::App::mainWindowOptions(given);
  EXPECT_EQ(options.x, 100);
  EXPECT_EQ(options.y, 100);
  EXPECT_EQ(options.width, 1024);
  EXPECT_EQ(options.height, 1600);
  EXPECT_FALSE(options.hiddenTitle);
  EXPECT_FALSE(options.titleBarRect);
  EXPECT_FALSE(options.closable);
}

// A main window the system refuses: run gives -1 at once, with no queue started and no loop run.
TEST(AppRunTest, RefusedMainWindowReturnsMinusOne) {
  desk::test::reset();
  // The window class exists after a first window; without it the system refuses the next one.
  pel::test::RecordingApp other;
  zrk::setWebviewMaker([](const std::string& label, zrk::Window* window, const zrk::WebviewOptions&,
                          zrk::Webview::CreateCompletion) {
    return std::make_shared<pel::test::FakeWebview>(label, window);
  });
  auto first = zrk::createWindow(&other, "first", "https://zrk.test/first.w", {});
  ASSERT_TRUE(first);
  desk::DestroyWindow(first->nativeHandle());
  desk::WNDCLASSEX saved;
  ASSERT_TRUE(desk::GetClassInfoEx(nullptr, zrk::kWindowClassName, &saved));
  // The names point into the class, which goes with it.
  const std::u16string menuName = saved.lpszMenuName != nullptr ? saved.lpszMenuName : u"";
  saved.lpszClassName = zrk::kWindowClassName;
  saved.lpszMenuName = menuName.c_str();
  ASSERT_TRUE(desk::UnregisterClass(zrk::kWindowClassName, nullptr));

  int made = 0;
  zrk::setWebviewMaker([&](const std::string& label, zrk::Window* window, const zrk::WebviewOptions&,
                           zrk::Webview::CreateCompletion) {
    ++made;
    return std::make_shared<pel::test::FakeWebview>(label, window);
  });
  const int result = zrk::App::instance()->run("https://zrk.test/main.w", std::nullopt);
  zrk::setWebviewMaker(nullptr);
  ASSERT_TRUE(desk::RegisterClassEx(&saved));
  EXPECT_EQ(result, -1);
  EXPECT_EQ(dispatch_get_main_queue(), nullptr);
  EXPECT_EQ(made, 0);
  EXPECT_EQ(zrk::App::instance()->mainWindow(), nullptr);
  EXPECT_EQ(zrk::App::instance()->findWindow("mainwindow"), nullptr);
}

// quit ends the loop; the main window is then destroyed without asking its page, and run
// returns 0 with the queues joined.
TEST(AppRunTest, QuitEndsTheLoopAndDestroysTheMainWindow) {
  desk::test::reset();
  auto app = zrk::App::instance();
  std::shared_ptr<pel::test::FakeWebview> page;
  std::atomic<bool> quitting{false};
  zrk::setWebviewMaker([&](const std::string& label, zrk::Window* window, const zrk::WebviewOptions&,
                           zrk::Webview::CreateCompletion) {
    page = std::make_shared<pel::test::FakeWebview>(label, window);
    // The page listens for the close question, which a forced close must not ask.
    const uint64_t id =
        zrk::EventDispatcher::instance().listen(5, "zrk://will-close", "Window", window->label());
    window->addEventListener(id, "zrk://will-close");
    app->quit(0);
    quitting = true;
    return page;
  });
  std::thread clock([&] {
    while (!quitting.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    desk::test::advance(1000);
  });
  zrk::WindowOptions options;
  options.visible = false;
  const int result = app->run("https://zrk.test/main.w", options);
  clock.join();
  zrk::setWebviewMaker(nullptr);
  EXPECT_EQ(result, 0);
  auto main = app->mainWindow();
  ASSERT_TRUE(main);
  EXPECT_EQ(main->label(), "mainwindow");
  EXPECT_EQ(main->nativeHandle(), nullptr);  // destroyed
  ASSERT_TRUE(page);
  EXPECT_TRUE(page->scripts().empty());  // no "zrk://will-close" went to the page
  EXPECT_EQ(page->closeCount(), 1);
  app->clearWindows();
}

}  // namespace
