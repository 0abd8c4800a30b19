// The single running instance: this test runs the first instance (the bootstrap on the platform
// layer with recording webviews) and starts the built program as the later ones, which hand their
// start page over and end. The dispatch library starts inside the run: its own program.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "desk/single_instance.h"
#include "desk/test.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "src/startup.h"
#include "support/fake_webview.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/webview-maker.h"

namespace {

namespace fs = std::filesystem;

// A later start of the built program; returns its pid. Everything is prepared before the fork.
pid_t startLater(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> copies;
  copies.emplace_back(PEL_PELMORA);
  for (const auto& a : args) copies.push_back(a);
  std::vector<char*> argv;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runLater(const std::vector<std::string>& args, const std::string& cwd = {}) {
  return waitFor(startLater(args, cwd));
}

// Returns once everything queued to the UI thread before it has run.
void drainUiThread() {
  dispatch_sync(dispatch_get_main_queue(), [] {});
}

std::vector<std::string> labels() {
  std::vector<std::string> result;
  zrk::App::instance()->forEachWindow(
      [&](const std::shared_ptr<zrk::Window>& w) { result.push_back(w->label()); });
  return result;
}

desk::HWND frontWindow() {
  const auto order = desk::test::zOrder();
  return order.empty() ? nullptr : order.front();
}

TEST(StartupHandOver, LaterStartsOpenOrRaiseWindowsInTheRunningInstance) {
  char pattern[] = "/tmp/pel-ho-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  fs::create_directory(folder + "/run");
  ::chmod((folder + "/run").c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", (folder + "/run").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
  const std::string photo = folder + "/a b+c#&?=.png";
  std::ofstream(photo) << "x";
  std::vector<std::string> prints;
  for (int i = 0; i < 5; ++i) {
    prints.push_back(folder + "/print " + std::to_string(i) + ".png");
    std::ofstream(prints.back()) << "x";
  }

  desk::test::reset();
  zrk::setWebviewMaker([](const std::string& label, zrk::Window* window, const zrk::WebviewOptions&,
                          zrk::Webview::CreateCompletion) {
    return std::make_shared<pel::test::FakeWebview>(label, window);
  });
  auto app = zrk::App::instance();
  std::atomic<bool> quitting{false};

  std::thread driver([&] {
    // Until the first instance is up: its main window made and the main queue running.
    for (int i = 0; i < 2000 && !(app->findWindow("mainwindow") && dispatch_get_main_queue()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    drainUiThread();
    const std::string base = "https://.pelma/";
    EXPECT_EQ(appBaseUrl, base);

    // -view: a viewer window on the file's URL.
    EXPECT_EQ(runLater({"-view", photo}), 0);
    drainUiThread();
    auto viewer = app->findWindow("viewer_1");
    ASSERT_TRUE(viewer);
    EXPECT_EQ(viewer->url(), base + "viewer.w?file=" + encodeFilePath(photo));
    EXPECT_EQ(viewer->options().identifier, "photo-viewer");
    EXPECT_TRUE(viewer->isVisible());

    // -edit with a relative path from another folder: the same file, a new editor window.
    EXPECT_EQ(runLater({"-edit", "../" + fs::path(photo).filename().string()}, folder + "/run"), 0);
    drainUiThread();
    auto editor = app->findWindow("editor_2");
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->url(), base + "editor.w?file=" + encodeFilePath(photo));
    EXPECT_EQ(frontWindow(), editor->nativeHandle());

    // The same file with -view again: the viewer is reused and raised.
    EXPECT_EQ(runLater({"-view", photo}), 0);
    drainUiThread();
    EXPECT_EQ(labels(), (std::vector<std::string>{"mainwindow", "viewer_1", "editor_2"}));
    EXPECT_EQ(frontWindow(), viewer->nativeHandle());

    // "main.w" (no arguments): the first visible window comes up; the hidden main window stays
    // as it is.
    desk::SetForegroundWindow(editor->nativeHandle());
    desk::BringWindowToTop(editor->nativeHandle());
    ASSERT_EQ(frontWindow(), editor->nativeHandle());
    EXPECT_EQ(runLater({}), 0);
    drainUiThread();
    EXPECT_EQ(frontWindow(), viewer->nativeHandle());
    EXPECT_FALSE(app->findWindow("mainwindow")->isVisible());

    // Five starts at once: every one arrives.
    std::vector<pid_t> pids;
    for (const auto& file : prints) pids.push_back(startLater({"-print", file}, {}));
    for (pid_t pid : pids) EXPECT_EQ(waitFor(pid), 0);
    drainUiThread();
    std::set<std::string> printUrls;
    std::set<std::string> printLabels;
    app->forEachWindow([&](const std::shared_ptr<zrk::Window>& w) {
      if (w->label().rfind("print_", 0) == 0) {
        printLabels.insert(w->label());
        printUrls.insert(w->url());
      }
    });
    EXPECT_EQ(printLabels, (std::set<std::string>{"print_3", "print_4", "print_5", "print_6",
                                                  "print_7"}));
    std::set<std::string> expectedUrls;
    for (const auto& file : prints) expectedUrls.insert(base + "print.w?file=" + encodeFilePath(file));
    EXPECT_EQ(printUrls, expectedUrls);

    // Texts no start of the program sends: acknowledged, logged and skipped.
    const size_t before = labels().size();
    desk::SingleInstance raw("pelmora", kInstanceId);
    ASSERT_EQ(raw.acquire(), desk::SingleInstance::Role::Later);
    for (const std::string& text : std::vector<std::string>{
             "viewer.w?file=%zz", "viewer.w?file=" + encodeFilePath(photo) + "%00",
          "index.w?file=" + encodeFilePath(photo), std::string("viewer.w?file=/no/such.png"),
          std::string("viewer.w")}) {
      EXPECT_TRUE(raw.handOver(text)) << raw.error();
    }
    drainUiThread();
    EXPECT_EQ(labels().size(), before);
    EXPECT_EQ(fileWindowCounter, 7u);

    app->quit(0);
    quitting = true;
  });
  std::thread clock([&] {
    while (!quitting.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    desk::test::advance(1000);
  });

  bool exited = false;
  const int code = runApplication([](zrk::WindowOptions&) { return std::string("https://.pelma"); },
                                  [&](std::shared_ptr<zrk::App> ended) {
                                    exited = true;
                                    ended->clearWindows();
                                  },
                                  [] { return std::vector<std::string>{"pelmora"}; });
  driver.join();
  clock.join();
  zrk::setWebviewMaker(nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(exited);
  // The listener stopped with the run: its socket is gone, and a start now would be first.
  EXPECT_FALSE(fs::exists(folder + "/run/pelmora-" + std::string(kInstanceId) + ".sock"));
  desk::SingleInstance next("pelmora", kInstanceId);
  EXPECT_EQ(next.acquire(), desk::SingleInstance::Role::First);
  fs::remove_all(folder);
}

}  // namespace
