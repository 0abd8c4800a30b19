// The native window: creation read back from the platform layer, the factory on and off the UI
// thread, the notifications a window observes, the saved placement and the DPI and theme helpers.
// The test's main thread is the UI thread; webviews are fakes made by a test maker.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/attributes.h"
#include "desk/message.h"
#include "desk/registry.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
#include "vesk/strings.h"
#include "vesk/tdictionary.h"
#include "vesk/tnotification.h"
#include "vesk/tnumber.h"
#include "vesk/tstring.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/timers.h"
#include "zrkwebview/browser/src/webview-maker.h"
#include "zrkwebview/browser/src/webview2/window-frame.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/window/test_app.h"
#include "zrkwebview/window/window_fixture.h"

namespace {

using nlohmann::json;
using pel::test::FakeWebview;
using pel::test::Page;
using pel::test::RecordingApp;
using pel::test::TestMaker;
using pel::test::WindowProcedureTest;
using pel::test::WinWindowTest;
using pel::test::dword;

std::shared_ptr<Vesk::TDictionary> info(const std::string& key, const std::string& value) {
  auto dictionary = std::make_shared<Vesk::TDictionary>();
  dictionary->set(key, std::make_shared<Vesk::TString>(value));
  return dictionary;
}

void post(const char* name, zrk::Window* window, std::shared_ptr<Vesk::TDictionary> userInfo) {
  Vesk::TNotificationCenter::defaultCenter()->postNotification(name, window, std::move(userInfo));
}

std::string windowText(desk::HWND hwnd) {
  char16_t buffer[256] = {};
  const int n = desk::GetWindowText(hwnd, buffer, 256);
  return zrk::toUtf8(Vesk::WString(buffer, static_cast<size_t>(n)));
}

TEST_F(WinWindowTest, DefaultOptions) {
  const zrk::WindowOptions o;
  const struct {
    const char* name;
    bool value;
    bool expected;
  } flags[] = {{"center", o.center, false},
               {"resizable", o.resizable, true},
               {"transparent", o.transparent, false},
               {"maximized", o.maximized, false},
               {"visible", o.visible, true},
               {"maximizable", o.maximizable, true},
               {"minimizable", o.minimizable, true},
               {"closable", o.closable, true},
               {"decorations", o.decorations, true},
               {"alwaysOnTop", o.alwaysOnTop, false},
               {"alwaysAtBottom", o.alwaysAtBottom, false},
               {"focused", o.focused, true},
               {"visibleOnAllWorkspace", o.visibleOnAllWorkspace, true},
               {"useDocumentTitle", o.useDocumentTitle, true},
               {"notInTaskbar", o.notInTaskbar, false},
               {"shadow", o.shadow, false},
               {"hiddenTitle", o.hiddenTitle, false}};
  for (const auto& f : flags) EXPECT_EQ(f.value, f.expected) << f.name;
  const std::optional<int32_t>* numbers[] = {&o.x,        &o.y,        &o.width,    &o.height,
                                             &o.minWidth, &o.minHeight, &o.maxWidth, &o.maxHeight,
                                             &o.iconId,   &o.cornerRadius};
  for (const auto* n : numbers) EXPECT_FALSE(n->has_value());
  EXPECT_FALSE(o.titleBarRect.has_value());
  EXPECT_FALSE(o.label.has_value());
  for (const std::string* s : {&o.url, &o.title, &o.theme, &o.tabbingIdentifier, &o.parent,
                               &o.identifier}) {
    EXPECT_TRUE(s->empty());
  }
}

// Every flag creation reads, and those it ignores, read back from the layer.
TEST_F(WinWindowTest, CreationFromOptions) {
  auto parent = make("parent");
  ASSERT_TRUE(parent);
  const desk::DWORD kBase = desk::WS_POPUP | desk::WS_CAPTION | desk::WS_SYSMENU;
  const desk::DWORD kAll = kBase | desk::WS_THICKFRAME | desk::WS_MINIMIZEBOX | desk::WS_MAXIMIZEBOX;
  const desk::DWORD kMask = kAll | desk::WS_CHILD | desk::WS_DLGFRAME;
  struct Case {
    const char* name;
    std::function<void(zrk::WindowOptions&)> set;
    desk::DWORD style = kAll;
    bool closeGreyed = false;
    bool visible = true;
    bool zoomed = false;
    desk::RECT rect{0, 0, 0, 0};  // checked when right > 0
    const char16_t* className = zrk::kWindowClassName;
    std::string title = "ZRKUI Window";
    bool owned = false;
  };
  const Case cases[] = {
      {"defaults", [](auto&) {}},
      {"fixed size, no minimize box",
       [](auto& o) {
         o.resizable = false;
         o.minimizable = false;
       },
       kBase | desk::WS_MAXIMIZEBOX},
      {"no maximize box", [](auto& o) { o.maximizable = false; },
       kBase | desk::WS_THICKFRAME | desk::WS_MINIMIZEBOX},
      {"not closable", [](auto& o) { o.closable = false; }, kAll, true},
      {"hidden", [](auto& o) { o.visible = false; }, kAll, false, false},
      {"maximized", [](auto& o) { o.maximized = true; }, kAll, false, true, true},
      {"maximized without the box",
       [](auto& o) {
         o.maximized = true;
         o.maximizable = false;
       },
       kBase | desk::WS_THICKFRAME | desk::WS_MINIMIZEBOX},
      {"placed",
       [](auto& o) {
         o.x = 10;
         o.y = 20;
         o.width = 300;
         o.height = 200;
       },
       kAll, false, true, false, {10, 20, 310, 220}},
      {"centred in the work area",
       [](auto& o) {
         o.center = true;
         o.width = 800;
         o.height = 600;
       },
       kAll, false, true, false, {560, 220, 1360, 820}},
      {"titled", [](auto& o) { o.title = "Pelmora - Viewer"; }, kAll, false, true, false, {},
       zrk::kWindowClassName, "Pelmora - Viewer"},
      {"rounded", [](auto& o) {
         o.hiddenTitle = true;
         o.cornerRadius = 12;
       },
       kAll, false, true, false, {}, zrk::kRoundedWindowClassName},
      {"square corners without title", [](auto& o) {
         o.hiddenTitle = true;
         o.cornerRadius = 0;
       }},
      {"corner radius with title", [](auto& o) { o.cornerRadius = 12; }},
      {"icon", [](auto& o) { o.iconId = 7; }},
      {"child", [](auto& o) { o.parent = "parent"; }, kAll, false, true, false, {},
       zrk::kWindowClassName, "ZRKUI Window", true},
      {"ignored by creation",
       [](auto& o) {
         o.decorations = false;
         o.transparent = true;
         o.shadow = true;
         o.alwaysOnTop = true;
         o.alwaysAtBottom = true;
         o.focused = false;
         o.notInTaskbar = true;
         o.visibleOnAllWorkspace = false;
         o.theme = "dark";
         o.tabbingIdentifier = "tabs";
         o.url = "ignored.w";
       }},
  };
  int n = 0;
  for (const auto& c : cases) {
    zrk::WindowOptions options;
    c.set(options);
    auto window = make("case" + std::to_string(n++), options);
    ASSERT_TRUE(window) << c.name;
    desk::HWND hwnd = window->nativeHandle();
    auto snap = desk::test::snapshot(hwnd);
    ASSERT_TRUE(snap) << c.name;
    EXPECT_EQ(snap->style & kMask, c.style) << c.name;
    EXPECT_EQ(snap->exStyle & ~desk::WS_EX_WINDOWEDGE, 0u) << c.name;
    EXPECT_EQ((snap->systemMenu[static_cast<desk::UINT>(desk::SC_CLOSE)] & desk::MF_GRAYED) != 0,
              c.closeGreyed)
        << c.name;
    EXPECT_EQ(window->isClosable(), !c.closeGreyed) << c.name;
    EXPECT_EQ(snap->visible, c.visible) << c.name;
    EXPECT_EQ(snap->zoomed, c.zoomed) << c.name;
    if (c.rect.right > 0) {
      EXPECT_EQ(snap->window.left, c.rect.left) << c.name;
      EXPECT_EQ(snap->window.top, c.rect.top) << c.name;
      EXPECT_EQ(snap->window.right, c.rect.right) << c.name;
      EXPECT_EQ(snap->window.bottom, c.rect.bottom) << c.name;
    } else if (!c.zoomed) {
      EXPECT_EQ(snap->window.left, 0) << c.name;
      EXPECT_EQ(snap->window.top, 0) << c.name;
    }
    EXPECT_EQ(snap->className, c.className) << c.name;
    EXPECT_EQ(windowText(hwnd), c.title) << c.name;
    EXPECT_EQ(snap->owner, c.owned ? parent->nativeHandle() : nullptr) << c.name;
    EXPECT_EQ(snap->props.count(u"kszWindowBrowser"), 1u) << c.name;
    EXPECT_EQ(snap->props.count(u"kszParentWindow"), c.owned ? 1u : 0u) << c.name;
    EXPECT_EQ(window->hasTitleBar(), !options.hiddenTitle) << c.name;
    EXPECT_EQ(window->isUIThread(), true) << c.name;
    // The frame of a window without title bar reaches into the client area.
    EXPECT_EQ(desk::test::windowAttributes(hwnd).frameMargins.has_value(), options.hiddenTitle)
        << c.name;
  }
}

TEST_F(WinWindowTest, CreationFailures) {
  auto window = std::make_shared<zrk::WinWindow>();
  EXPECT_EQ(window->create(nullptr, "u", {}), -3);
  EXPECT_EQ(window->nativeHandle(), nullptr);
  EXPECT_EQ(zrk::createWindow(nullptr, "x", "u", {}), nullptr);
  // The size limits are stored (0: the system's), not applied at once.
  zrk::WindowOptions options;
  options.minWidth = 0;
  options.minHeight = 300;
  options.maxWidth = 1600;
  auto limited = make("limited", options);
  ASSERT_TRUE(limited);
  EXPECT_EQ(limited->minSize().width, 0.0f);
  EXPECT_EQ(limited->minSize().height, 300.0f);
  EXPECT_EQ(limited->maxSize().width, 1600.0f);
  EXPECT_EQ(limited->maxSize().height, 0.0f);
}

TEST_F(WinWindowTest, MainWebviewIsMadeAtCreationAndNavigatedWhenReady) {
  auto window = make("main", {}, "https://zrk.test/main.w");
  ASSERT_TRUE(window);
  ASSERT_EQ(maker.made().size(), 1u);
  auto webview = maker.made()[0];
  EXPECT_EQ(webview->label(), "main_webview");
  EXPECT_EQ(webview->resizingMask(), 18);
  EXPECT_EQ(window->findWebview("main_webview"), webview);
  EXPECT_TRUE(webview->navigations().empty());

  int resized = 0;
  auto handler = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [&](const std::shared_ptr<Vesk::TNotification>&) { ++resized; });
  Vesk::TNotificationCenter::defaultCenter()->addObserver(zrk::kWindowResizedNotification, handler,
                                                          static_cast<zrk::Window*>(window.get()));
  maker.completeAll();
  Vesk::TNotificationCenter::defaultCenter()->removeObserver(zrk::kWindowResizedNotification,
                                                             handler, nullptr);
  EXPECT_EQ(webview->navigations(), std::vector<std::string>{"https://zrk.test/main.w"});
  EXPECT_EQ(resized, 1);
  EXPECT_EQ(webview->documentScripts().size(), 1u);  // the window list
  EXPECT_EQ(app.listed(window), 1u);

  // A failed creation leaves the window without page.
  auto second = make("second");
  maker.completeAll(false);
  EXPECT_TRUE(maker.made().back()->navigations().empty());
  EXPECT_TRUE(maker.made().back()->documentScripts().empty());

  // Without a maker the creation fails at once; the window stays.
  zrk::setWebviewMaker(nullptr);
  auto bare = make("bare");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->webviewCount(), 0u);
}

TEST_F(WinWindowTest, FactoryLabels) {
  auto first = make("viewer");
  auto second = make("viewer");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->label(), "viewer");
  EXPECT_EQ(second->label().rfind("window_", 0), 0u) << second->label();
  auto noLabel = make("");
  EXPECT_EQ(noLabel->label().rfind("window_", 0), 0u);
  EXPECT_NE(noLabel->label(), second->label());
  for (const auto& w : {first, second, noLabel}) EXPECT_EQ(app.listed(w), 1u);
  EXPECT_EQ(app.windows().size(), 3u);
}

// From a queue thread the window is still made on the UI thread, also once "mainwindow" is gone;
// two threads wanting one label get two.
TEST_F(WinWindowTest, FactoryFromOtherThreads) {
  const desk::DWORD ui = desk::GetCurrentThreadId();
  auto main = make("mainwindow");
  ASSERT_TRUE(main);
  desk::DestroyWindow(main->nativeHandle());
  EXPECT_EQ(app.windows().size(), 0u);

  std::vector<std::shared_ptr<zrk::Window>> made(2);
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      made[static_cast<size_t>(i)] = zrk::createWindow(&app, "viewer", "u", {});
      ++done;
    });
  }
  ASSERT_TRUE(desk::test::pumpUntil([&] { return done.load() == 2; }));
  for (auto& t : threads) t.join();
  ASSERT_TRUE(made[0] && made[1]);
  std::set<std::string> labels = {made[0]->label(), made[1]->label()};
  EXPECT_EQ(labels.size(), 2u);
  EXPECT_EQ(labels.count("viewer"), 1u);
  for (const auto& w : made) {
    EXPECT_EQ(desk::GetWindowThreadProcessId(w->nativeHandle(), nullptr), ui);
    EXPECT_EQ(app.listed(w), 1u);
  }
  maker.completeAll();
  for (const auto& w : made) EXPECT_EQ(app.listed(w), 1u);
}

TEST_F(WinWindowTest, PagesHearOfWindowsWebviewsAndTitles) {
  zrk::WindowOptions follows;
  follows.title = "Start";
  auto a = make("a", follows);
  zrk::WindowOptions fixed;
  fixed.title = "Fixed";
  fixed.useDocumentTitle = false;
  auto b = make("b", fixed);
  ASSERT_TRUE(a && b);
  const auto created = app.emitted("zrk://window-created");
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(json::parse(created[0].payload), json({{"label", "a"}}));
  EXPECT_EQ(json::parse(created[1].payload), json({{"label", "b"}}));
  EXPECT_EQ(created[0].label, "");
  EXPECT_EQ(created[0].kind, "");

  auto view = std::dynamic_pointer_cast<FakeWebview>(a->findWebview("main_webview"));
  ASSERT_TRUE(view);
  view->clearRecords();
  post(zrk::kWebviewLoadedNotification, a.get(), info("label", "main_webview"));
  const auto loaded = app.emitted("zrk://webview-created");
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(json::parse(loaded[0].payload), json({{"label", "main_webview"}}));
  ASSERT_EQ(view->scripts().size(), 1u);
  EXPECT_NE(view->scripts()[0].find("_$updatePageAttribute('vlabel','main_webview');"),
            std::string::npos);
  // Another window's notification, or one without its entry, changes nothing here.
  post(zrk::kWebviewLoadedNotification, b.get(), info("other", "x"));
  EXPECT_EQ(app.emitted("zrk://webview-created").size(), 1u);

  post(zrk::kWebviewTitleChangedNotification, a.get(), info("title", "Document ü"));
  post(zrk::kWebviewTitleChangedNotification, b.get(), info("title", "Document"));
  EXPECT_EQ(windowText(a->nativeHandle()), "Document ü");
  EXPECT_EQ(a->title(false), "Document ü");
  EXPECT_EQ(a->title(true), "Start");
  EXPECT_EQ(windowText(b->nativeHandle()), "Fixed");

  // A menu command reaches the page channel.
  auto command = std::make_shared<Vesk::TDictionary>();
  command->set("cmd", std::make_shared<Vesk::TNumber>(12));
  command->set("calls", std::make_shared<Vesk::TNumber>(4));
  command->set("handler", std::make_shared<Vesk::TString>("__channel__:55"));
  view->clearRecords();
  Vesk::TNotificationCenter::defaultCenter()->postNotification(zrk::kCommandNotification, nullptr,
                                                               command);
  ASSERT_EQ(view->scripts().size(), 1u);
  EXPECT_NE(view->scripts()[0].find(R"(window['_55']({ message: JSON.parse('{\"command\":12}'), id: 4 }))"),
            std::string::npos)
      << view->scripts()[0];

  // A closed webview leaves the window's list.
  post(zrk::kWebviewClosedNotification, a.get(), info("webview_id", "main_webview"));
  EXPECT_EQ(a->findWebview("main_webview"), nullptr);
}

TEST_F(WinWindowTest, DestroyedWindowLeavesTheApplicationAndNotifications) {
  auto window = make("gone");
  ASSERT_TRUE(window);
  auto view = std::dynamic_pointer_cast<FakeWebview>(window->findWebview("main_webview"));
  desk::HWND hwnd = window->nativeHandle();
  desk::DestroyWindow(hwnd);
  EXPECT_EQ(app.listed(window), 0u);
  EXPECT_EQ(view->closeCount(), 1);
  EXPECT_EQ(window->nativeHandle(), nullptr);
  EXPECT_EQ(app.quits(), std::vector<uint32_t>{0});
  // No notification reaches it any more.
  post(zrk::kWebviewTitleChangedNotification, window.get(), info("title", "late"));
  EXPECT_EQ(window->title(false), "");
}

TEST_F(WinWindowTest, LastWindowClosedQuitsTheLoopASecondLater) {
  auto realApp = std::make_shared<zrk::App>();
  auto a = zrk::createWindow(realApp.get(), "a", "u", {});
  auto b = zrk::createWindow(realApp.get(), "b", "u", {});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(realApp->windowCount(), 2u);
  desk::DestroyWindow(a->nativeHandle());
  EXPECT_EQ(realApp->windowCount(), 1u);
  desk::MSG msg;
  desk::test::advance(2000);
  EXPECT_FALSE(desk::PeekMessage(&msg, nullptr, desk::WM_QUIT, desk::WM_QUIT, desk::PM_REMOVE));
  desk::DestroyWindow(b->nativeHandle());
  EXPECT_EQ(realApp->windowCount(), 0u);
  desk::test::advance(999);
  EXPECT_FALSE(desk::PeekMessage(&msg, nullptr, desk::WM_QUIT, desk::WM_QUIT, desk::PM_REMOVE));
  desk::test::advance(1);
  EXPECT_TRUE(desk::PeekMessage(&msg, nullptr, desk::WM_QUIT, desk::WM_QUIT, desk::PM_REMOVE));
}

// ---- saved placement

std::string placementKey(const std::string& id) {
  return "SOFTWARE\\" + zrk::applicationIdentifier() + "\\windows\\" + id;
}

void seedPlacement(const std::string& id, uint32_t l, uint32_t t, uint32_t r, uint32_t b,
                   std::optional<uint32_t> showCmd) {
  const std::string key = placementKey(id);
  desk::test::seedRegistryValue(key, "left", desk::REG_DWORD, dword(l));
  desk::test::seedRegistryValue(key, "top", desk::REG_DWORD, dword(t));
  desk::test::seedRegistryValue(key, "right", desk::REG_DWORD, dword(r));
  desk::test::seedRegistryValue(key, "bottom", desk::REG_DWORD, dword(b));
  if (showCmd) desk::test::seedRegistryValue(key, "showCmd", desk::REG_DWORD, dword(*showCmd));
}

uint32_t storedValue(const std::string& id, const char* name) {
  auto value = desk::test::registryValue(placementKey(id), name);
  if (!value || value->bytes.size() != 4) return 0xFFFFFFFFu;
  uint32_t v = 0;
  std::memcpy(&v, value->bytes.data(), 4);
  return v;
}

void useMonitorAt(desk::UINT dpi) {
  desk::test::setMonitors({{u"one", {0, 0, 3840, 2160}, {0, 0, 3840, 2100}, dpi, true}});
}

TEST_F(WinWindowTest, PlacementRoundTripAt144Dpi) {
  useMonitorAt(144);
  seedPlacement("editor", 100, 100, 900, 700, desk::SW_SHOWNORMAL);
  zrk::WindowOptions options;
  options.identifier = "editor";
  options.center = true;
  auto window = make("editor", options);
  ASSERT_TRUE(window);
  EXPECT_TRUE(window->isRestored());
  auto snap = desk::test::snapshot(window->nativeHandle());
  // Restored, so not centred.
  EXPECT_EQ(snap->window.left, 150);
  EXPECT_EQ(snap->window.top, 150);
  EXPECT_EQ(snap->window.right, 1350);
  EXPECT_EQ(snap->window.bottom, 1050);

  desk::SetWindowPos(window->nativeHandle(), nullptr, 300, 150, 1200, 900, desk::SWP_NOZORDER);
  desk::DestroyWindow(window->nativeHandle());
  EXPECT_EQ(storedValue("editor", "left"), 200u);
  EXPECT_EQ(storedValue("editor", "top"), 100u);
  EXPECT_EQ(storedValue("editor", "right"), 1000u);
  EXPECT_EQ(storedValue("editor", "bottom"), 700u);
  EXPECT_EQ(storedValue("editor", "showCmd"), static_cast<uint32_t>(desk::SW_SHOWNORMAL));
}

TEST_F(WinWindowTest, IncompletePlacementRestoresNothing) {
  seedPlacement("viewer", 100, 100, 900, 700, std::nullopt);
  zrk::WindowOptions options;
  options.identifier = "viewer";
  options.center = true;
  options.width = 800;
  options.height = 600;
  auto window = make("viewer", options);
  ASSERT_TRUE(window);
  EXPECT_FALSE(window->isRestored());
  auto snap = desk::test::snapshot(window->nativeHandle());
  EXPECT_EQ(snap->window.left, 560);  // centred instead
  EXPECT_EQ(snap->window.right, 1360);
  // Windows without identifier are not remembered.
  auto plain = make("plain");
  desk::DestroyWindow(plain->nativeHandle());
  EXPECT_FALSE(desk::test::registryValue(placementKey(""), "left").has_value());
}

TEST_F(WinWindowTest, HiddenWindowIsRestoredAtItsFirstShowOnly) {
  seedPlacement("print-dialog", 40, 50, 440, 350, desk::SW_SHOWNORMAL);
  zrk::WindowOptions options;
  options.identifier = "print-dialog";
  options.visible = false;
  auto window = make("print", options);
  ASSERT_TRUE(window);
  EXPECT_FALSE(window->isRestored());
  EXPECT_EQ(desk::test::snapshot(window->nativeHandle())->window.left, 0);
  window->show(0);
  EXPECT_TRUE(window->isRestored());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(desk::test::snapshot(window->nativeHandle())->window.left, 40);
  desk::SetWindowPos(window->nativeHandle(), nullptr, 5, 6, 0, 0,
                     desk::SWP_NOSIZE | desk::SWP_NOZORDER);
  window->show(desk::SW_SHOWNORMAL);
  EXPECT_EQ(desk::test::snapshot(window->nativeHandle())->window.left, 5);
}

// ---- DPI, theme and frame helpers

TEST_F(WinWindowTest, DpiHelpers) {
  auto window = make("dpi");
  ASSERT_TRUE(window);
  for (desk::UINT dpi : {96u, 120u, 144u}) {
    useMonitorAt(dpi);
    desk::HMONITOR monitor = desk::test::monitors()[0];
    EXPECT_EQ(zrk::dpiForMonitor(monitor), static_cast<int>(dpi));
    EXPECT_EQ(zrk::dpiForWindow(window->nativeHandle()), dpi);
    EXPECT_DOUBLE_EQ(window->scaleFactor(), dpi / 96.0);
    EXPECT_DOUBLE_EQ(window->deviceScaleFactor(), dpi / 96.0);
  }
  // Without per-monitor DPI, the system's.
  desk::test::setPerMonitorDpiAvailable(false);
  desk::test::setSystemDpi(120);
  EXPECT_EQ(zrk::dpiForWindow(window->nativeHandle()), 120u);
  EXPECT_EQ(zrk::dpiForMonitor(desk::test::monitors()[0]), 120);
  desk::test::setPerMonitorDpiAvailable(true);
}

TEST_F(WinWindowTest, SystemDarkTheme) {
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
  EXPECT_FALSE(zrk::systemUsesDarkTheme());  // absent
  const struct {
    desk::DWORD type;
    std::string bytes;
    bool dark;
  } cases[] = {{desk::REG_DWORD, dword(0), true},
               {desk::REG_DWORD, dword(1), false},
               {desk::REG_BINARY, dword(0), false},
               {desk::REG_SZ, std::string("0\0", 2), false}};
  for (const auto& c : cases) {
    desk::test::seedRegistryValue(key, "AppsUseLightTheme", c.type, c.bytes);
    EXPECT_EQ(zrk::systemUsesDarkTheme(), c.dark) << c.type;
  }
  desk::test::seedRegistryValue(key, "AppsUseLightTheme", desk::REG_DWORD, dword(0));
  desk::test::refuseRegistryKey(key);
  EXPECT_FALSE(zrk::systemUsesDarkTheme());
  desk::test::clearRegistryRefusals();
  EXPECT_EQ(desk::test::openRegistryKeys(), 0u);
}

TEST_F(WinWindowTest, DarkFrame) {
  zrk::WindowOptions options;
  options.width = 400;
  options.height = 300;
  auto window = make("dark", options);
  desk::HWND hwnd = window->nativeHandle();
  EXPECT_EQ(zrk::isImmersiveDarkMode(hwnd), 0);
  desk::test::clearSpy();
  zrk::setImmersiveDarkMode(hwnd, 1);
  EXPECT_NE(zrk::isImmersiveDarkMode(hwnd), 0);
  // The frame was repainted by a one-pixel resize and back.
  EXPECT_EQ(desk::test::spyMessages(hwnd, {desk::WM_SIZE}).size(), 2u);
  auto snap = desk::test::snapshot(hwnd);
  EXPECT_EQ(snap->window.bottom - snap->window.top, 300);

  desk::test::failDwm(static_cast<desk::HRESULT>(0x80004005u));
  desk::test::clearSpy();
  zrk::setImmersiveDarkMode(hwnd, 0);
  EXPECT_TRUE(desk::test::spyMessages(hwnd, {desk::WM_SIZE}).empty());
  EXPECT_EQ(zrk::isImmersiveDarkMode(hwnd), 0);  // a failing read answers light
  desk::test::failDwm(desk::S_OK);
  EXPECT_NE(zrk::isImmersiveDarkMode(hwnd), 0);  // unchanged underneath

  // The layer's OS record decides, once per process (nothing asked before in this program).
  desk::test::setOsVersion(10, 0, 22000);
  EXPECT_TRUE(zrk::isWindows11OrLater());
  desk::test::resetSystemFacts();
  EXPECT_TRUE(zrk::isWindows11OrLater());
}

// ---- the window procedure and the window operations

TEST_F(WindowProcedureTest, HitTestsLimitsAndFrame) {
  Page bare = open("bare", false);
  Page titled = open("titled", true);
  const struct {
    int x, y;
    desk::LRESULT bare;
  } hits[] = {{100, 100, desk::HTTOPLEFT}, {500, 104, desk::HTTOP}, {899, 699, desk::HTBOTTOMRIGHT},
              {100, 699, desk::HTBOTTOMLEFT}, {899, 100, desk::HTTOPRIGHT}, {103, 400, desk::HTLEFT},
              {892, 400, desk::HTRIGHT}, {500, 692, desk::HTBOTTOM}, {500, 400, desk::HTCLIENT}};
  for (const auto& h : hits) {
    EXPECT_EQ(desk::SendMessage(bare.hwnd, desk::WM_NCHITTEST, 0, desk::MAKELPARAM(h.x, h.y)), h.bare)
        << h.x << "," << h.y;
  }
  // With a title bar the system decides.
  EXPECT_EQ(desk::SendMessage(titled.hwnd, desk::WM_NCHITTEST, 0, desk::MAKELPARAM(500, 400)),
            desk::HTCLIENT);

  bare.window->setMinSize({0, 300});
  bare.window->setMaxSize({1000.9f, 0});
  desk::MINMAXINFO info{};
  desk::SendMessage(bare.hwnd, desk::WM_GETMINMAXINFO, 0, reinterpret_cast<desk::LPARAM>(&info));
  EXPECT_EQ(info.ptMinTrackSize.x, desk::GetSystemMetrics(desk::SM_CXMINTRACK));
  EXPECT_EQ(info.ptMinTrackSize.y, 300);
  EXPECT_EQ(info.ptMaxTrackSize.x, 1000);
  EXPECT_EQ(info.ptMaxTrackSize.y, desk::GetSystemMetrics(desk::SM_CYMAXTRACK));

  // The whole window is client area without a title bar; the page leaves a 3/2/3/3 strip.
  EXPECT_EQ(bare.window->innerSize().width, 794.0f);
  EXPECT_EQ(bare.window->innerSize().height, 595.0f);
  EXPECT_EQ(bare.window->innerPosition().x, 3.0f);
  EXPECT_EQ(bare.window->innerPosition().y, 2.0f);
  desk::RECT client{};
  desk::GetClientRect(titled.hwnd, &client);
  EXPECT_EQ(titled.window->innerSize().width, static_cast<float>(client.right));
  EXPECT_EQ(titled.window->innerSize().height, static_cast<float>(client.bottom));
  EXPECT_EQ(titled.window->outerSize().width, 800.0f);
  EXPECT_EQ(titled.window->outerPosition().x, 100.0f);
}

TEST_F(WindowProcedureTest, ClosePaths) {
  // A page listening for "zrk://will-close" decides; the window stays.
  Page asked = open("asked", false);
  asked.listen("zrk://will-close");
  asked.window->close();
  EXPECT_TRUE(desk::IsWindow(asked.hwnd));
  auto events = asked.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "zrk://will-close");

  // Without a listener: destroyed 100 ms later, after its requests were cancelled.
  Page later = open("later", false);
  later.window->close();
  EXPECT_TRUE(desk::IsWindow(later.hwnd));
  desk::test::advance(99);
  EXPECT_TRUE(desk::IsWindow(later.hwnd));
  desk::test::advance(1);
  EXPECT_FALSE(desk::IsWindow(later.hwnd));
  EXPECT_EQ(later.view->cancelAllCount(), 1);
  EXPECT_EQ(app.listed(later.window), 0u);

  // Twice within 100 ms: at once.
  Page twice = open("twice", false);
  twice.window->close();
  desk::test::advance(50);
  twice.window->close();
  EXPECT_FALSE(desk::IsWindow(twice.hwnd));

  // Forced: no question to the page.
  Page forced = open("forced", false);
  forced.listen("zrk://will-close");
  forced.window->destroy();
  EXPECT_FALSE(desk::IsWindow(forced.hwnd));
  EXPECT_TRUE(forced.events().empty());
}

TEST_F(WindowProcedureTest, SizeMoveAndStateAnnouncements) {
  Page page = open("sized", false);
  page.listen("zrk://resize");
  page.listen("zrk://move");
  page.window->setMaximized(true);
  desk::test::pump();
  std::vector<std::string> scripts;
  auto events = page.events(&scripts);
  EXPECT_NE(std::find(scripts.begin(), scripts.end(), "_$updatePageAttribute('state', 'maximized')"),
            scripts.end());
  auto resizedTo = [](const std::vector<json>& events, double w, double h) {
    return std::any_of(events.begin(), events.end(), [&](const json& e) {
      return e["event"] == "zrk://resize" && e["payload"] == json({{"width", w}, {"height", h}});
    });
  };
  // The maximized client reaches over the work area's edges by the frame, as the system's does.
  EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                          [](const json& e) { return e["event"] == "zrk://resize"; }))
      << json(events).dump();
  page.window->setMaximized(false);
  desk::test::pump();
  scripts.clear();
  events = page.events(&scripts);
  EXPECT_NE(std::find(scripts.begin(), scripts.end(), "_$updatePageAttribute('state', null)"),
            scripts.end());
  EXPECT_TRUE(resizedTo(events, 800, 600)) << json(events).dump();
  desk::SendMessage(page.hwnd, desk::WM_EXITSIZEMOVE, 0, 0);  // any move still pending
  page.events();

  page.window->setPosition({-100, 50});
  desk::SendMessage(page.hwnd, desk::WM_EXITSIZEMOVE, 0, 0);
  events = page.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "zrk://move");
  EXPECT_EQ(events[0]["payload"], json({{"x", -100.0}, {"y", 50.0}}));
}

TEST_F(WindowProcedureTest, DpiThemeMouseActivationAndCommands) {
  Page page = open("events", false);
  for (const char* e : {"zrk://scale-changed", "zrk://theme-changed", "zrk://nc-mousedown",
                        "zrk://nc-mouseup", "zrk://focus", "zrk://blur"}) {
    page.listen(e);
  }
  desk::test::setMonitorDpi(desk::test::monitors()[0], 144);
  desk::test::pump();
  auto events = page.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["payload"]["scaleFactor"], 1.5);
  EXPECT_EQ(events[0]["payload"]["size"], json({{"type", "Physical"}, {"width", 1920}, {"height", 1080}}));
  EXPECT_EQ(page.window->outerSize().width, 1200.0f);  // the suggested rectangle

  // The theme: nothing while it did not change, then the new one.
  desk::test::settingChange();
  desk::test::pump();
  EXPECT_TRUE(page.events().empty());
  desk::test::seedRegistryValue("Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                                "AppsUseLightTheme", desk::REG_DWORD, dword(0));
  desk::test::settingChange();
  desk::test::pump();
  events = page.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["payload"], "dark");

  desk::SendMessage(page.hwnd, desk::WM_NCLBUTTONUP, static_cast<desk::WPARAM>(desk::HTCAPTION),
                    desk::MAKELPARAM(-5, 20));
  desk::SendMessage(page.hwnd, desk::WM_NCRBUTTONDOWN, static_cast<desk::WPARAM>(desk::HTBORDER),
                    desk::MAKELPARAM(30, 40));
  desk::SendMessage(page.hwnd, desk::WM_NCLBUTTONDOWN, static_cast<desk::WPARAM>(desk::HTTOP),
                    desk::MAKELPARAM(1, 2));
  events = page.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], json::parse(R"({"event": "zrk://nc-mouseup",
      "payload": {"hit": 1, "pos": {"x": -5, "y": 20}, "button": 1}})"));
  EXPECT_EQ(events[1]["payload"]["hit"], 3);
  EXPECT_EQ(events[1]["payload"]["button"], 2);
  EXPECT_EQ(events[2]["payload"]["hit"], 99);

  std::vector<std::string> scripts;
  desk::SendMessage(page.hwnd, desk::WM_NCACTIVATE, 0, 0);
  desk::SendMessage(page.hwnd, desk::WM_NCACTIVATE, 1, 0);
  events = page.events(&scripts);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["event"], "zrk://blur");
  EXPECT_EQ(events[1]["event"], "zrk://focus");
  EXPECT_EQ(scripts, (std::vector<std::string>{"_$updatePageAttribute('inactive','');",
                                               "_$updatePageAttribute('inactive',null);"}));

  // Commands: id 0 posts nothing; id 12 posts the command and the window.
  std::vector<std::pair<unsigned, bool>> commands;
  auto handler = std::make_shared<Vesk::TNotificationCenter::Handler>(
      [&](const std::shared_ptr<Vesk::TNotification>& n) {
        auto number = std::dynamic_pointer_cast<Vesk::TNumber>(n->userInfo()->objectForKey("command"));
        commands.push_back({number->unsignedShortValue(),
                            n->userInfo()->objectForKey("window") == page.window});
      });
  Vesk::TNotificationCenter::defaultCenter()->addObserver("wm_command", handler, nullptr);
  desk::SendMessage(page.hwnd, desk::WM_COMMAND, 0, 0);
  desk::SendMessage(page.hwnd, desk::WM_COMMAND, 12, 0);
  Vesk::TNotificationCenter::defaultCenter()->removeObserver("wm_command", handler, nullptr);
  EXPECT_EQ(commands, (std::vector<std::pair<unsigned, bool>>{{12u, true}}));

  // Work handed to the window runs there; what it throws is logged.
  int ran = 0;
  page.window->runOnWindowThread([&] { ++ran; });
  page.window->runOnWindowThread([] { throw std::runtime_error("boom"); });
  page.window->runOnWindowThread(nullptr);
  desk::test::pump();
  EXPECT_EQ(ran, 1);
}

TEST_F(WindowProcedureTest, DraggingNeedsItsOwnArmedDrag) {
  Page page = open("drag", false);
  // A move with the button down but no drag moves nothing.
  desk::SetCursorPos(400, 300);
  desk::SendMessage(page.hwnd, desk::WM_MOUSEMOVE, desk::MK_LBUTTON, desk::MAKELPARAM(300, 200));
  EXPECT_EQ(page.window->outerPosition().x, 100.0f);
  // Pressed in the title bar (the top 40 pixels), captured after 100 ms, then moved.
  desk::SetCursorPos(200, 110);
  desk::SendMessage(page.hwnd, desk::WM_LBUTTONDOWN, desk::MK_LBUTTON, desk::MAKELPARAM(100, 10));
  desk::test::advance(100);
  EXPECT_EQ(desk::GetCapture(), page.hwnd);
  desk::SetCursorPos(250, 140);
  desk::SendMessage(page.hwnd, desk::WM_MOUSEMOVE, desk::MK_LBUTTON, desk::MAKELPARAM(150, 40));
  EXPECT_EQ(page.window->outerPosition().x, 150.0f);
  EXPECT_EQ(page.window->outerPosition().y, 130.0f);
  desk::SendMessage(page.hwnd, desk::WM_LBUTTONUP, 0, desk::MAKELPARAM(150, 40));
  EXPECT_EQ(desk::GetCapture(), nullptr);
  // The released drag is stale: a later move with the button down does nothing.
  desk::SetCursorPos(600, 600);
  desk::SendMessage(page.hwnd, desk::WM_MOUSEMOVE, desk::MK_LBUTTON, desk::MAKELPARAM(10, 10));
  EXPECT_EQ(page.window->outerPosition().x, 150.0f);
}

TEST_F(WindowProcedureTest, StateOperations) {
  Page page = open("state", false);
  desk::test::setMonitorDpi(desk::test::monitors()[0], 144);
  desk::test::pump();
  page.window->setPosition({100, 200});
  const zrk::FloatPoint screen = page.window->clientToScreen({10, 10});
  EXPECT_EQ(screen.x, 118.0f);
  EXPECT_EQ(screen.y, 217.0f);

  // Closable round trip: greyed SC_CLOSE keeps WS_SYSMENU.
  page.window->setClosable(false);
  EXPECT_FALSE(page.window->isClosable());
  EXPECT_NE(desk::GetWindowLongPtr(page.hwnd, desk::GWL_STYLE) & desk::WS_SYSMENU, 0);
  page.window->setClosable(true);
  EXPECT_TRUE(page.window->isClosable());

  EXPECT_THROW(page.window->excludeFromTaskbar(true), std::runtime_error);
  EXPECT_THROW(page.window->isExcludedFromTaskbar(), std::runtime_error);

  // Theme round trip.
  page.window->setTheme(1);
  EXPECT_EQ(page.window->theme(), 1);
  page.window->setTheme(0);
  EXPECT_EQ(page.window->theme(), 0);
}

// Leaving fullscreen gives back exactly the style bits entering took.
TEST_F(WindowProcedureTest, FullscreenRoundTrips) {
  const struct {
    const char* name;
    bool resizable, minimizable, maximized;
  } cases[] = {{"resizable", true, true, false},
               {"fixed size without minimize box", false, false, false},
               {"maximized", true, true, true}};
  int n = 0;
  for (const auto& c : cases) {
    zrk::WindowOptions options;
    options.resizable = c.resizable;
    options.minimizable = c.minimizable;
    options.maximized = c.maximized;
    options.width = 640;
    options.height = 480;
    options.x = 30;
    options.y = 40;
    auto window = make("full" + std::to_string(n++), options);
    desk::HWND hwnd = window->nativeHandle();
    const auto style = desk::GetWindowLongPtr(hwnd, desk::GWL_STYLE);
    desk::RECT before{};
    desk::GetWindowRect(hwnd, &before);
    window->setFullscreen(true);
    EXPECT_TRUE(window->isFullscreen()) << c.name;
    EXPECT_EQ(window->outerSize().width, 1920.0f) << c.name;
    EXPECT_EQ(window->innerSize().width, 1920.0f) << c.name;  // the full client, no strip
    window->setFullscreen(true);  // a second time keeps the first placement
    window->setFullscreen(false);
    EXPECT_FALSE(window->isFullscreen()) << c.name;
    EXPECT_EQ(desk::GetWindowLongPtr(hwnd, desk::GWL_STYLE), style) << c.name;
    desk::RECT after{};
    desk::GetWindowRect(hwnd, &after);
    EXPECT_EQ(after.left, before.left) << c.name;
    EXPECT_EQ(after.right, before.right) << c.name;
    EXPECT_EQ(desk::IsZoomed(hwnd) != 0, c.maximized) << c.name;
  }
}

TEST_F(WindowProcedureTest, ModalOwnerComesBackOnEveryClosePath) {
  const char* paths[] = {"destroy", "second close", "timer"};
  for (const char* path : paths) {
    auto owner = make(std::string("owner-") + path);
    zrk::WindowOptions options;
    options.parent = owner->label();
    options.visible = false;
    auto modal = make(std::string("modal-") + path, options);
    EXPECT_TRUE(modal->showModal());
    EXPECT_FALSE(desk::IsWindowEnabled(owner->nativeHandle())) << path;
    if (std::string(path) == "destroy") {
      modal->destroy();
    } else if (std::string(path) == "second close") {
      modal->close();
      modal->close();
    } else {
      modal->close();
      desk::test::advance(100);
    }
    EXPECT_FALSE(desk::IsWindow(modal->nativeHandle())) << path;
    EXPECT_TRUE(desk::IsWindowEnabled(owner->nativeHandle())) << path;
    EXPECT_EQ(desk::GetActiveWindow(), owner->nativeHandle()) << path;
  }
}

TEST_F(WindowProcedureTest, AttentionAndProgress) {
  Page page = open("attention", true);
  Page other = open("other", true);
  // Active: no flash. Not active: flashes. Type 0 stops.
  desk::SetActiveWindow(page.hwnd);
  page.window->requestUserAttention(1);
  EXPECT_FALSE(desk::test::windowAttributes(page.hwnd).flash.has_value());
  desk::SetActiveWindow(other.hwnd);
  page.window->requestUserAttention(1);
  ASSERT_TRUE(desk::test::windowAttributes(page.hwnd).flash.has_value());
  EXPECT_EQ(desk::test::windowAttributes(page.hwnd).flash->flags, 0xFu);
  page.window->requestUserAttention(0);
  EXPECT_FALSE(desk::test::windowAttributes(page.hwnd).flash.has_value());

  const struct {
    std::optional<int> status;
    std::optional<double> progress;
    int state;
    uint64_t completed;
  } cases[] = {{2, std::nullopt, desk::TBPF_INDETERMINATE, 0},
               {9, std::nullopt, desk::TBPF_NOPROGRESS, 0},
               {1, -5.0, desk::TBPF_NORMAL, 0},
               {1, 150.0, desk::TBPF_NORMAL, 100},
               {3, 42.9, desk::TBPF_PAUSED, 42}};
  for (const auto& c : cases) {
    page.window->setProgressBar({c.status, c.progress});
    const auto attributes = desk::test::windowAttributes(page.hwnd);
    EXPECT_EQ(attributes.progressState, c.state) << c.status.value_or(-1);
    if (c.progress) {
      EXPECT_EQ(attributes.progressCompleted, c.completed) << *c.progress;
    }
  }
}

// Operations from a queue thread change the window on the UI thread.
TEST_F(WindowProcedureTest, OperationsFromAnotherThread) {
  Page page = open("threads", true);
  pel::test::ChangeThreads changes(page.hwnd);
  std::atomic<bool> done{false};
  bool focused = true;
  std::thread worker([&] {
    page.window->setMaximized(true);
    page.window->setTitle("From a thread");
    page.window->setFocus(true);
    focused = page.window->isFocused();
    done = true;
  });
  ASSERT_TRUE(desk::test::pumpUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_TRUE(desk::IsZoomed(page.hwnd));
  EXPECT_EQ(windowText(page.hwnd), "From a thread");
  EXPECT_TRUE(focused);
  EXPECT_EQ(desk::GetFocus(), page.hwnd);
  // The layer saw every change made on the UI thread.
  EXPECT_EQ(changes.threads(), std::set<desk::DWORD>{desk::GetCurrentThreadId()});
}

TEST_F(WindowProcedureTest, AlertAlternateButton) {
  Page page = open("alert", true);
  page.listen("zrk://custom-x");
  page.listen("zrk://alert-alternate-clicked");
  const char* custom = "zrk://custom-x";
  const char* plain = "open-file";
  EXPECT_EQ(desk::SendMessage(page.hwnd, zrk::wmAlertAlternate(), 0,
                              reinterpret_cast<desk::LPARAM>(custom)), 0);
  EXPECT_EQ(desk::SendMessage(page.hwnd, zrk::wmAlertAlternate(), 0,
                              reinterpret_cast<desk::LPARAM>(plain)), 0);
  EXPECT_EQ(desk::SendMessage(page.hwnd, zrk::wmAlertAlternate(), 0, 0), 0);
  const auto events = page.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["event"], "zrk://custom-x");
  EXPECT_EQ(events[1]["event"], "zrk://alert-alternate-clicked");
}

TEST_F(WindowProcedureTest, OwnersAndCentring) {
  Page parent = open("parent", true, -500, -300, 400, 300);
  zrk::WindowOptions options;
  options.parent = "parent";
  options.width = 800;
  options.height = 600;
  auto child = make("child", options);
  EXPECT_EQ(child->ownerWindow(), parent.window);
  // Centred on the parent, but never left of or above the work area.
  child->centerToParent();
  EXPECT_EQ(child->outerPosition().x, 0.0f);
  EXPECT_EQ(child->outerPosition().y, 0.0f);
  desk::SetWindowPos(parent.hwnd, nullptr, 100, 100, 800, 600, desk::SWP_NOZORDER);
  child->setSize({400, 300}, false);
  child->center(false);
  EXPECT_EQ(child->outerPosition().x, 300.0f);
  EXPECT_EQ(child->outerPosition().y, 250.0f);

  // An owner that is no framework window is not one.
  static const bool registered = [] {
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = desk::DefWindowProc;
    wc.lpszClassName = u"ForeignOwner";
    return desk::RegisterClassEx(&wc) != 0;
  }();
  ASSERT_TRUE(registered);
  desk::HWND foreign = desk::CreateWindowEx(0, u"ForeignOwner", u"", desk::WS_POPUP, 0, 0, 10, 10,
                                            nullptr, nullptr, nullptr, nullptr);
  Page owned = open("owned", true);
  desk::SetWindowLongPtr(owned.hwnd, desk::GWLP_HWNDPARENT, reinterpret_cast<desk::LONG_PTR>(foreign));
  EXPECT_EQ(owned.window->ownerWindow(), nullptr);
  desk::SetWindowLongPtr(owned.hwnd, desk::GWLP_HWNDPARENT, 0);
  desk::DestroyWindow(foreign);
}

TEST_F(WindowProcedureTest, SystemMenuOfTheTitleBar) {
  Page page = open("menu", false);
  desk::POINT at{};
  desk::test::setPopupMenuChooser([&](desk::HMENU, desk::HWND, desk::POINT pt) -> desk::UINT_PTR {
    at = pt;
    return desk::SC_MAXIMIZE;
  });
  // Outside the title bar (below its 40 pixels): no menu.
  desk::SendMessage(page.hwnd, desk::WM_RBUTTONUP, 0, desk::MAKELPARAM(100, 300));
  EXPECT_FALSE(desk::IsZoomed(page.hwnd));
  desk::SendMessage(page.hwnd, desk::WM_RBUTTONUP, 0, desk::MAKELPARAM(100, 10));
  desk::test::setPopupMenuChooser(nullptr);
  EXPECT_EQ(at.x, 203);
  EXPECT_EQ(at.y, 112);
  EXPECT_TRUE(desk::IsZoomed(page.hwnd));
}

}  // namespace
