// The engine webview's page-facing parts on the fake engine: the page's mouse reports, drop zones
// on the content window, script dialogs answered through the dialog script, and printing with the
// fake spooler.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "desk/dialog.h"
#include "desk/dragdrop.h"
#include "desk/message.h"
#include "desk/print_spooler.h"
#include "desk/test.h"
#include "desk/web/fake_engine.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/dialogs/modal-dialogs.h"
#include "zrkwebview/browser/src/event-dispatcher.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"

using namespace std::chrono_literals;
using desk::web::FakeCall;
using desk::web::FakeEngine;
using desk::web::FakeWebview;
namespace web = desk::web;
namespace fs = std::filesystem;

namespace zrk {
constexpr int kIdOk = 1, kIdCancel = 2;
}

namespace {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}
void pump() { pumpUntil([] { return false; }, 30ms); }

// The application object records the page events raised through it.
class RecordingApp : public zrk::App {
 public:
  void emit(const std::string& event, const std::string& payload, const std::string& label,
            const std::string& kind) override {
    emitted.push_back(event + " " + label + " " + kind + " " + payload);
    servedBy.push_back(nullptr);
  }
  void emitToWebview(const std::shared_ptr<zrk::Webview>& webview, const std::string& event,
                     const std::string& payload, const std::string& label,
                     const std::string& kind) override {
    emitted.push_back(event + " " + label + " " + kind + " " + payload);
    servedBy.push_back(webview.get());
  }
  std::vector<std::string> emitted;
  // The one webview each event was meant for (null: every matching one).
  std::vector<const zrk::Webview*> servedBy;
};
RecordingApp& app() { return static_cast<RecordingApp&>(*zrk::App::instance()); }

class TestWindow : public zrk::Window {
 public:
  zrk::FloatSize innerSize() override { return {800, 600}; }
  zrk::FloatPoint innerPosition() override { return {}; }
  double deviceScaleFactor() override { return scale; }
  void setNative(desk::HWND h) { nativeHandle_ = h; }
  double scale = 1.0;
};

class Domains : public zrk::WindowDelegate {
 public:
  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return "zrk.test"; }
  std::vector<std::string> webResourceDomains() const override { return {".zrk.test"}; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>&) override {}
};

class RecordingDelegate : public zrk::Webview2Delegate {
 public:
  using Webview2Delegate::Webview2Delegate;
  void onWebMessage(const std::string& message) override { messages.push_back(message); }
  void injectScripts() override {}
  std::vector<std::string> messages;
};

// The top-level window: records the mouse messages posted to it.
std::vector<std::pair<desk::UINT, desk::LPARAM>>& posted() {
  static std::vector<std::pair<desk::UINT, desk::LPARAM>> list;
  return list;
}
desk::LRESULT topProc(desk::HWND h, desk::UINT m, desk::WPARAM w, desk::LPARAM l) {
  if (m >= desk::WM_MOUSEMOVE && m <= desk::WM_RBUTTONUP) posted().emplace_back(m, l);
  return desk::DefWindowProc(h, m, w, l);
}

// The outcomes sent to page callbacks: (callback id, outcome).
std::vector<std::pair<uint32_t, nlohmann::json>> outcomes(zrk::ZrkWebview& webview, FakeWebview& fake) {
  std::vector<std::pair<uint32_t, nlohmann::json>> out;
  for (const std::string& script : fake.executedScripts()) {
    const std::string idTag = "'zrk-channel-id': '", cbTag = "window['_' + ";
    size_t i = script.find(idTag), c = script.find(cbTag);
    if (i == std::string::npos || c == std::string::npos) continue;
    uint32_t dataId = static_cast<uint32_t>(std::stoul(script.substr(i + idTag.size())));
    uint32_t cb = static_cast<uint32_t>(std::stoul(script.substr(c + cbTag.size())));
    nlohmann::json data;
    if (webview.takeChannelData(dataId, data, false)) out.emplace_back(cb, data);
  }
  return out;
}

class ZrkWebviewPageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    zrk::App::setFactory([] { return std::make_shared<RecordingApp>(); });
    dispatch_init();
    desk::WNDCLASSEX wc;
    wc.lpfnWndProc = topProc;
    wc.lpszClassName = u"ZrkPageTestTop";
    desk::RegisterClassEx(&wc);
  }
  void SetUp() override {
    engine = FakeEngine::create();
    zrk::setWebEngine(engine);
    top = desk::CreateWindowEx(0, u"ZrkPageTestTop", u"top", desk::WS_POPUP | desk::WS_VISIBLE, 0, 0, 800, 600,
                               nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(top, nullptr);
    window = std::make_shared<TestWindow>();
    window->setDelegate(&domains);
    window->setNative(top);
    webview = zrk::ZrkWebview::make("page", window.get());
    delegate = std::make_shared<RecordingDelegate>(window, webview);
    webview->setDelegate(delegate);
    bool done = false, ok = false;
    webview->create({}, [&](zrk::Webview*, bool r) { done = true, ok = r; });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    ASSERT_TRUE(ok);
    fake = engine->webviews().back();
    posted().clear();
    app().emitted.clear();
    app().servedBy.clear();
    spooler = std::make_shared<desk::test::FakeJobSpooler>();
    desk::test::setPrintJobSpooler(spooler);
    const char* t = getenv("TMPDIR");
    folder = fs::path(t && *t ? t : "/tmp") / ("zrk-page-" + std::to_string(getpid()));
    fs::create_directories(folder);
  }
  void TearDown() override {
    desk::test::setDialogScript(nullptr);
    desk::test::setPrintJobSpooler(nullptr);
    if (webview) webview->close();
    pump();
    window->setNative(nullptr);
    desk::DestroyWindow(top);
    zrk::setWebEngine(nullptr);
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  std::vector<std::pair<uint32_t, nlohmann::json>> outcomes() { return ::outcomes(*webview, *fake); }

  Domains domains;
  std::shared_ptr<FakeEngine> engine;
  desk::HWND top = nullptr;
  std::shared_ptr<TestWindow> window;
  std::shared_ptr<zrk::ZrkWebview> webview;
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<FakeWebview> fake;
  std::shared_ptr<desk::test::FakeJobSpooler> spooler;
  fs::path folder;
};

// --- mouse messages

TEST_F(ZrkWebviewPageTest, MouseReportsArePostedToTheWindowAndEverythingElseGoesToTheDelegate) {
  struct Case {
    std::string message;
    desk::UINT posts;  // 0: nothing posted
    desk::LPARAM lParam;
    bool toDelegate;
  } cases[] = {
      {R"({"type":"mouse-ldown","x":10,"y":20})", desk::WM_LBUTTONDOWN, 20 * 65536 + 10, false},
      {R"({"type":"mouse-move","x":5.9,"y":7})", desk::WM_MOUSEMOVE, 7 * 65536 + 5, false},
      {R"({"type":"mouse-rup","x":1,"y":2})", desk::WM_RBUTTONUP, 2 * 65536 + 1, false},
      // A negative coordinate keeps to its own word.
      {R"({"type":"mouse-lup","x":-1,"y":3})", desk::WM_LBUTTONUP, 3 * 65536 + 0xFFFF, false},
      {R"({"type":"mouse-dblclick","x":1,"y":2})", 0, 0, false},
      {R"({"type":"mouse-ldown","x":1})", 0, 0, true},
      {"plain text", 0, 0, true},
      {R"({"id":1,"data":{}})", 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    posted().clear();
    delegate->messages.clear();
    fake->raiseWebMessageString(c.message);
    pump();
    if (c.posts != 0) {
      ASSERT_EQ(posted().size(), 1u);
      EXPECT_EQ(posted()[0].first, c.posts);
      EXPECT_EQ(posted()[0].second, c.lParam);
    } else {
      EXPECT_TRUE(posted().empty());
    }
    EXPECT_EQ(delegate->messages, c.toDelegate ? std::vector<std::string>{c.message} : std::vector<std::string>{});
  }
}

// --- drop zones

TEST_F(ZrkWebviewPageTest, ZonesFromCommandsTakeDropsOnTheContentWindowUntilANavigation) {
  const fs::path png = folder / "a.png", txt = folder / "b.txt";
  std::ofstream(png) << "png";
  std::ofstream(txt) << "txt";
  webview->runCommand("add_dropzone", nlohmann::json{{"id", "pics"}, {"filter", {{"exts", {"png"}}}}});
  webview->runCommand("add_dropzone", nlohmann::json("all"));
  // Adding an id again never changes its zone.
  webview->runCommand("add_dropzone", nlohmann::json{{"id", "pics"}, {"selector", "#x"}});
  auto zones = webview->dropTarget()->zones();
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].selector, "");

  window->scale = 1.5;
  auto out = desk::test::dragFiles({png.string()}, desk::POINT{300, 151}, true);
  EXPECT_EQ(out.effect, desk::DROPEFFECT_COPY);
  ASSERT_EQ(app().emitted.size(), 1u);
  EXPECT_EQ(app().emitted[0], "zrk://dropzone page Webview {\"paths\":[\"" + png.string() +
                                  "\"],\"targets\":[\"pics\",\"all\"],\"x\":200,\"y\":100}");
  // Meant for this webview's page alone.
  EXPECT_EQ(app().servedBy[0], webview.get());

  // "remove" takes a zone away; a text file now finds only "all".
  webview->runCommand("remove_dropzone", nlohmann::json{{"id", "all"}});
  EXPECT_EQ(desk::test::dragFiles({txt.string()}, desk::POINT{10, 10}, true).hoverEffect, desk::DROPEFFECT_NONE);
  // A non-string extension is the caller's error, and adds nothing.
  EXPECT_THROW(webview->runCommand("add_dropzone", nlohmann::json{{"id", "bad"}, {"filter", {{"exts", {1}}}}}),
               nlohmann::json::exception);
  EXPECT_EQ(webview->dropTarget()->zones().size(), 1u);

  // A new document starts without zones (and without the page's drop listeners).
  zrk::EventDispatcher::instance().listen(7, "zrk://dropzone", "Webview", "page");
  fake->raiseNavigationStarting("https://zrk.test/next.w");
  pump();
  EXPECT_TRUE(webview->dropTarget()->zones().empty());
  bool listening = false;
  zrk::EventDispatcher::instance().forEachListener("zrk://dropzone", "page", "Webview",
                                                   [&](const auto&) { listening = true; });
  EXPECT_FALSE(listening);
  EXPECT_EQ(desk::test::dragFiles({png.string()}, desk::POINT{10, 10}, false).hoverEffect, desk::DROPEFFECT_NONE);
}

TEST_F(ZrkWebviewPageTest, ASelectorZoneAsksThePageWithTheScaledPointAndTheSelectorQuoted) {
  const fs::path png = folder / "a.png";
  std::ofstream(png) << "png";
  std::vector<std::string> asked;
  std::string answer = "true";
  fake->setScriptRunner([&](const std::string& script) {
    asked.push_back(script);
    return answer;
  });
  webview->runCommand("add_dropzone", nlohmann::json{{"id", "z"}, {"selector", "a[title='x']"}});
  window->scale = 2.0;
  auto out = desk::test::dragFiles({png.string()}, desk::POINT{101, 51}, true);
  EXPECT_EQ(out.effect, desk::DROPEFFECT_COPY);
  ASSERT_FALSE(asked.empty());
  EXPECT_NE(asked.back().find("__testHtmlElementAtPoint(50, 25, \"a[title='x']\");"), std::string::npos)
      << asked.back();
  answer = "false";
  app().emitted.clear();
  out = desk::test::dragFiles({png.string()}, desk::POINT{101, 51}, true);
  EXPECT_EQ(out.hoverEffect, desk::DROPEFFECT_NONE);
  EXPECT_TRUE(app().emitted.empty());
  // Closing the webview takes its drop target off the window.
  webview->close();
  pump();
  EXPECT_EQ(desk::test::dragFiles({png.string()}, desk::POINT{10, 10}, false).window, nullptr);
}

// --- script dialogs

TEST_F(ZrkWebviewPageTest, ScriptDialogsAreShownOwnedByTheTopWindowAndAnswerThePage) {
  using D = web::FakeDialogRecord::State;
  struct Seen {
    std::u16string caption, message, ok;
    bool ownerEnabled = true;
  };
  std::vector<Seen> seen;
  // The user: reads the dialog, types into a prompt, then presses the button given.
  int button = zrk::kIdOk;
  desk::test::setDialogScript([&](desk::HWND d) {
    Seen s;
    char16_t buffer[256] = {};
    desk::GetWindowText(d, buffer, 256);
    s.caption = buffer;
    desk::GetDlgItemTextW(d, zrk::kMessageId, buffer, 256);
    s.message = buffer;
    desk::GetDlgItemTextW(d, zrk::kIdOk, buffer, 256);
    s.ok = buffer;
    s.ownerEnabled = desk::IsWindowEnabled(top);
    seen.push_back(s);
    if (desk::GetDlgItem(d, zrk::kAlternateId) && button == zrk::kIdOk) {
      desk::SetDlgItemTextW(d, zrk::kAlternateId, u"typed");
    }
    desk::PostMessage(d, desk::WM_COMMAND, static_cast<desk::WPARAM>(button), 0);
  });
  auto confirm = fake->raiseScriptDialog(web::ScriptDialogKind::confirm, "[TITLE=Delete][OK=Yes][CANCEL=No]:Sure?");
  ASSERT_TRUE(pumpUntil([&] { return confirm->state() != D::pending; }));
  EXPECT_EQ(confirm->state(), D::accepted);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].caption, u"Delete");
  EXPECT_EQ(seen[0].message, u"Sure?");
  EXPECT_EQ(seen[0].ok, u"Yes");
  EXPECT_FALSE(seen[0].ownerEnabled) << "the top-level window waits for the dialog";
  EXPECT_TRUE(desk::IsWindowEnabled(top));

  auto prompt = fake->raiseScriptDialog(web::ScriptDialogKind::prompt, "Name?", "Ann");
  ASSERT_TRUE(pumpUntil([&] { return prompt->state() != D::pending; }));
  EXPECT_EQ(prompt->state(), D::accepted);
  EXPECT_EQ(prompt->text(), "typed");

  button = zrk::kIdCancel;
  auto cancelled = fake->raiseScriptDialog(web::ScriptDialogKind::prompt, "Name?", "Ann");
  ASSERT_TRUE(pumpUntil([&] { return cancelled->state() != D::pending; }));
  EXPECT_EQ(cancelled->state(), D::dismissed);

  // An alert only resumes the page; a beforeunload is refused without a dialog.
  button = zrk::kIdOk;
  auto alert = fake->raiseScriptDialog(web::ScriptDialogKind::alert, "Saved");
  auto leave = fake->raiseScriptDialog(web::ScriptDialogKind::beforeunload, "");
  ASSERT_TRUE(pumpUntil([&] { return alert->state() != D::pending && leave->state() != D::pending; }));
  EXPECT_EQ(alert->state(), D::dismissed);
  EXPECT_EQ(leave->state(), D::dismissed);
  EXPECT_EQ(seen.size(), 4u);
}

TEST_F(ZrkWebviewPageTest, AnOpenDialogIsAnsweredWhenTheWebviewNavigatesOrCloses) {
  using D = web::FakeDialogRecord::State;
  std::vector<desk::HWND> open;
  desk::test::setDialogScript([&](desk::HWND d) { open.push_back(d); });  // nobody answers
  auto first = fake->raiseScriptDialog(web::ScriptDialogKind::confirm, "one");
  ASSERT_TRUE(pumpUntil([&] { return open.size() == 1; }));
  EXPECT_FALSE(desk::IsWindowEnabled(top));
  fake->raiseNavigationStarting("https://zrk.test/other.w");
  ASSERT_TRUE(pumpUntil([&] { return first->state() != D::pending; }));
  EXPECT_EQ(first->state(), D::dismissed);
  EXPECT_FALSE(desk::IsWindow(open[0]));
  EXPECT_TRUE(desk::IsWindowEnabled(top));

  auto second = fake->raiseScriptDialog(web::ScriptDialogKind::prompt, "two");
  ASSERT_TRUE(pumpUntil([&] { return open.size() == 2; }));
  webview->close();
  ASSERT_TRUE(pumpUntil([&] { return second->state() != D::pending; }));
  EXPECT_NE(second->state(), D::accepted);
  EXPECT_FALSE(desk::IsWindow(open[1]));
  EXPECT_TRUE(desk::IsWindowEnabled(top));
}

// --- printing

TEST_F(ZrkWebviewPageTest, PrintOptionsBecomeThePdfSettingsAndOneOutcomeReachesTheHandler) {
  const fs::path pdf = folder / "out.pdf";
  webview->print({{"handler", 5}, {"paperWidth", 210}, {"paperHeight", 297.9}, {"marginLeft", 254},
                  {"marginTop", 12.9}, {"orientation", 1}, {"scaleFactor", 0.5}, {"drawHeaderAndFooter", true},
                  {"header", "<T>"}, {"footer", "u"}, {"printer", "ignored"}, {"pdfFile", pdf.string()}});
  ASSERT_TRUE(pumpUntil([&] { return !outcomes().empty(); }));
  EXPECT_EQ(outcomes(), (std::vector<std::pair<uint32_t, nlohmann::json>>{{5, {{"result", true}}}}));
  EXPECT_TRUE(fs::exists(pdf));
  auto prints = fake->pdfPrints();
  ASSERT_EQ(prints.size(), 1u);
  const web::PdfSettings& s = prints[0].first;
  EXPECT_DOUBLE_EQ(s.paperWidth, 210 / 25.4);
  EXPECT_DOUBLE_EQ(s.paperHeight, 297 / 25.4);
  EXPECT_DOUBLE_EQ(s.marginLeft, 10.0);
  EXPECT_DOUBLE_EQ(s.marginTop, 12 / 25.4);
  EXPECT_TRUE(s.landscape);
  EXPECT_DOUBLE_EQ(s.scale, 0.5);
  EXPECT_TRUE(s.displayHeaderFooter);
  EXPECT_EQ(s.headerTitle, "<T>");
  EXPECT_TRUE(spooler->jobs().empty()) << "a PDF never goes to a printer";
  // The header text reaches the browser escaped.
  EXPECT_EQ(web::pdfHeaderTemplate("<T>").find("<T>"), std::string::npos);
}

TEST_F(ZrkWebviewPageTest, PrintOutcomes) {
  spooler->setPrinter({"office", desk::PrinterState::Kind::Idle, true});
  spooler->setPrinter({"stopped", desk::PrinterState::Kind::Stopped, true});
  spooler->setPrinter({"refusing", desk::PrinterState::Kind::Idle, false});
  spooler->setDefaultPrinter("office");
  const nlohmann::json a4 = {{"paperWidth", 210}, {"paperHeight", 297}};
  auto with = [&](nlohmann::json extra) {
    nlohmann::json o = a4;
    if (extra.is_object()) o.update(extra);
    return o;
  };
  const std::string pdf = (folder / "p.pdf").string();
  struct Case {
    const char* name;
    nlohmann::json options;
    std::function<void()> before;
    nlohmann::json outcome;
  } cases[] = {
      {"missing height", {{"paperWidth", 210}}, nullptr, {{"result", false}, {"error", {{"code", 2}, {"message", "Paper size missed."}}}}},
      {"bad scale", with({{"scaleFactor", 3}}), nullptr, {{"result", false}, {"error", {{"code", 1}, {"message", "Failed to put_ScaleFactor"}}}}},
      {"call refused", with({{"pdfFile", pdf}}), [&] { engine->failNext(FakeCall::printToPdf); },
       {{"result", false}, {"error", {{"code", 1}, {"message", "Failed to call \"Print\" to pdf"}}}}},
      {"pdf fails", with({{"pdfFile", pdf}}), [&] { fake->setPrintResult(web::Result::failed); },
       {{"result", false}, {"error", {{"code", 5}, {"message", "Failed to print to pdf."}}}}},
      {"invalid", with({{"pdfFile", pdf}}), [&] { fake->setPrintResult(web::Result::invalidArgument); },
       {{"result", false}, {"error", {{"code", 2}, {"message", "Invalid arguments."}}}}},
      {"unknown printer", with({{"printer", "nowhere"}}), nullptr, {{"result", false}, {"error", {{"code", 3}, {"message", "Printer is unavailable."}}}}},
      {"stopped printer", with({{"printer", "stopped"}}), nullptr, {{"result", false}, {"error", {{"code", 3}, {"message", "Printer is unavailable."}}}}},
      {"refusing printer", with({{"printer", "refusing"}}), nullptr, {{"result", false}, {"error", {{"code", 3}, {"message", "Printer is unavailable."}}}}},
      {"refused job", with({}), [&] { spooler->refuseJobs("no"); }, {{"result", false}, {"error", {{"code", 5}, {"message", "Failed to print"}}}}},
      {"cancelled job", with({}), [&] { spooler->setNewJobState(desk::JobState::Cancelled); },
       {{"result", false}, {"error", {{"code", 4}, {"message", "Aborted."}}}}},
  };
  uint32_t handler = 100;
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake->setPrintResult(web::Result::ok);
    if (c.before) c.before();
    nlohmann::json o = c.options;
    o["handler"] = ++handler;
    webview->print(o);
    ASSERT_TRUE(pumpUntil([&] { return outcomes().size() == handler - 100; }));
    pump();
    auto all = outcomes();
    ASSERT_EQ(all.size(), handler - 100u) << "exactly one outcome";
    EXPECT_EQ(all.back().first, handler);
    EXPECT_EQ(all.back().second, c.outcome);
    spooler->setNewJobState(desk::JobState::Completed);
    spooler->acceptJobs();
  }
  EXPECT_FALSE(fs::exists(pdf)) << "a failed PDF leaves nothing";
}

TEST_F(ZrkWebviewPageTest, APrinterGetsTheJobWithItsCopiesOnceItFinishes) {
  spooler->setPrinter({"office", desk::PrinterState::Kind::Idle, true});
  spooler->setPrinter({"lab", desk::PrinterState::Kind::Idle, true});
  spooler->setDefaultPrinter("office");
  spooler->setNewJobState(desk::JobState::Processing);
  webview->print({{"handler", 9}, {"paperWidth", 210}, {"paperHeight", 297}, {"printer", "lab"}, {"copies", 2},
                  {"colorMode", 2}});
  ASSERT_TRUE(pumpUntil([&] { return !spooler->jobs().empty(); }));
  pump();
  EXPECT_TRUE(outcomes().empty()) << "no outcome while the job prints";
  auto job = spooler->jobs()[0];
  EXPECT_EQ(job.printer, "lab");
  EXPECT_EQ(job.copies, 2);
  EXPECT_EQ(job.colorMode, 2);
  EXPECT_EQ(job.paperWidthMm, 210);
  EXPECT_EQ(spooler->defaultPrinter(), "office") << "the user's default printer stays";
  EXPECT_FALSE(fs::exists(job.pdfPath)) << "the spooler keeps its own copy";
  spooler->setJobState(1, desk::JobState::Completed);
  ASSERT_TRUE(pumpUntil([&] { return !outcomes().empty(); }));
  EXPECT_EQ(outcomes(), (std::vector<std::pair<uint32_t, nlohmann::json>>{{9, {{"result", true}}}}));
  // Without a handler nothing is sent; before the page exists the answer is code 1.
  webview->print({{"paperWidth", 1}, {"paperHeight", 1}, {"pdfFile", (folder / "x.pdf").string()}});
  pump();
  EXPECT_EQ(outcomes().size(), 1u);
}

}  // namespace
