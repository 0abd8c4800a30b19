// The "dialog" plugin through its invoke, the main queue and a webview that records what the page
// receives, with the platform layer's system dialogs answered by the test controller: the command
// table and its errors, callback ids, the file, folder, font and alert dialogs, and the owner's
// enabled state on every path.
#include "zrkwebview/browser/src/http-plugins/dialog/dialog-plugin.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "desk/dialog.h"
#include "desk/msgbox.h"
#include "desk/system_dialogs.h"
#include "desk/test.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"
#include "support/fake_webview.h"
#include "support/owner_window.h"
#include "vesk/utf.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/dialogs/modal-dialogs.h"
#include "zrkwebview/browser/src/http-plugins/dialog/dialog-impl.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/window.h"

// fontconfig keeps its configuration, loaded on first use, for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using json = nlohmann::json;
using zrk::plugin::DialogPlugin;
namespace dt = desk::test;
using FileAnswer = dt::FileDialogAnswer;

std::string after(const std::string& text, const std::string& marker) {
  const size_t at = text.find(marker);
  return at == std::string::npos ? std::string() : text.substr(at + marker.size());
}

struct Delivery {
  uint32_t callback = 0;
  json data;
};

// A webview that takes every parked value as the page would and keeps it.
class RecordingWebview : public pel::test::FakeWebview {
 public:
  using FakeWebview::FakeWebview;
  int evaluateScript(const std::string& script, zrk::EvalCompletion completion, bool flag) override {
    Delivery d;
    d.callback = static_cast<uint32_t>(std::stoul(after(script, "window['_' + ")));
    json value;
    if (takeChannelData(static_cast<uint32_t>(std::stoul(after(script, "'zrk-channel-id': '"))),
                        value, true)) {
      d.data = value;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      deliveries_.push_back(std::move(d));
    }
    return FakeWebview::evaluateScript(script, std::move(completion), flag);
  }
  std::vector<Delivery> deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }

 private:
  std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

// A framework window whose native handle is a layer window the test made.
class OwnerWindow : public zrk::Window {
 public:
  desk::HWND handle = nullptr;
  desk::HWND nativeHandle() override { return handle; }
};

struct Reply {
  bool empty = true;
  int status = 0;
  std::string text;
  std::string mime;
  std::string body;
};

class DialogPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch_init();
    dt::reset();
    owner = pel::test::makeOwnerWindow(100, 100, 800, 600);
    ASSERT_NE(owner, nullptr);
    window = std::make_shared<OwnerWindow>();
    window->handle = owner;
    window->setLabel("main");
    zrk::App::instance()->addWindow(window, true);
    webview = std::make_shared<RecordingWebview>("page", window.get());
  }
  void TearDown() override {
    zrk::App::instance()->removeAllWindows();
    dt::reset();
  }

  Reply call(const std::string& command, const json& payload, bool withWebview = true) {
    static DialogPlugin plugin;
    auto result = plugin.invoke(command, withWebview ? webview.get() : nullptr, nullptr, nullptr,
                                payload);
    Reply reply;
    if (!result) return reply;
    reply.empty = false;
    auto* response = dynamic_cast<http::HttpResponse*>(result.get());
    EXPECT_NE(response, nullptr);
    reply.status = response->status();
    reply.text = response->statusMessage();
    if (auto* mime = dynamic_cast<http::HttpMimeResponse*>(response)) {
      reply.mime = mime->mimeType();
      reply.body = mime->body();
    }
    return reply;
  }

  // Runs the command, expects the immediate `true`, pumps until one value arrives and returns it.
  Delivery outcome(const std::string& command, const json& payload) {
    const size_t before = webview->deliveries().size();
    const Reply reply = call(command, payload);
    EXPECT_EQ(reply.body, "true");
    EXPECT_EQ(reply.mime, "application/json");
    EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() > before; }));
    dt::pump();
    auto all = webview->deliveries();
    EXPECT_EQ(all.size(), before + 1) << "exactly one value per command";
    return all.empty() ? Delivery{} : all.back();
  }

  desk::HWND owner = nullptr;
  std::shared_ptr<OwnerWindow> window;
  std::shared_ptr<RecordingWebview> webview;
};

// ---- the command table, its errors and the callback id ----

TEST_F(DialogPluginTest, CommandsAnswerAtOnceAndAlertLabelsAreChecked) {
  struct Case {
    std::string command;
    json payload;
    int status;  // 0: an empty response (the plugin handler's 420)
    std::string text;
  };
  const std::vector<Case> cases = {
      {"nope", json::object(), 0, ""},
      {"open_file", json::object(), 200, ""},
      {"save_file", json::object(), 200, ""},
      {"choose_folder", json::object(), 200, ""},
      {"choose_font", json{{"window", "missing"}}, 200, ""},
      {"alert", json::object(), 400, "Missing window label in options."},
      {"alert", json{{"window", ""}}, 400, "Missing window label in options."},
      {"alert", json{{"window", 7}}, 400, "Missing window label in options."},
      {"alert", json{{"window", "nowhere"}}, 400, "Window not found: nowhere"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " " + c.payload.dump());
    const Reply r = call(c.command, c.payload);
    if (c.status == 0) {
      EXPECT_TRUE(r.empty);
      continue;
    }
    ASSERT_FALSE(r.empty);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(r.body, "true");
      EXPECT_EQ(r.mime, "application/json");
    } else {
      EXPECT_EQ(r.text, c.text);
    }
  }
  // The four accepted commands each deliver once (unscripted dialogs cancel); the failed alerts
  // post nothing.
  EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() >= 4; }));
  dt::pump();
  EXPECT_EQ(webview->deliveries().size(), 4u);
  for (const Delivery& d : webview->deliveries()) EXPECT_TRUE(d.data.is_null());
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
}

TEST(DialogCallbackId, PageNumbersAreCutAndBadOnesCountAsAbsent) {
  const std::vector<std::pair<json, uint32_t>> cases = {
      {json::object(), 0},
      {json{{"handler", 12}}, 12},
      {json{{"handler", 12.7}}, 12},
      {json{{"handler", "12"}}, 0},
      {json{{"handler", -1}}, 0},
      {json{{"handler", -0.5}}, 0},
      {json{{"handler", 1e30}}, 0},
      {json{{"handler", 4294967295u}}, 4294967295u},
      {json{{"handler", 4294967296u}}, 0},
      {json{{"handler", std::numeric_limits<double>::quiet_NaN()}}, 0},
      {json::array({1}), 0},
  };
  for (const auto& [options, id] : cases) {
    EXPECT_EQ(zrk::plugin::callbackIdOf(options), id) << options.dump();
  }
}

TEST_F(DialogPluginTest, OutcomeGoesToTheNamedCallback) {
  const Delivery d = outcome("open_file", json{{"handler", 12.7}});
  EXPECT_EQ(d.callback, 12u);
  EXPECT_TRUE(d.data.is_null());
}

TEST_F(DialogPluginTest, WithoutAWebviewTheForegroundWindowOwnsAndNothingIsSent) {
  desk::SetForegroundWindow(owner);
  std::vector<desk::FileDialogRecord> seen;
  dt::setFileDialogScript([&](const desk::FileDialogRecord& r) {
    seen.push_back(r);
    return FileAnswer{};
  });
  const Reply r = call("open_file", json{{"handler", 3}}, false);
  EXPECT_EQ(r.body, "true");
  EXPECT_TRUE(dt::pumpUntil([&] { return !seen.empty(); }));
  dt::pump();
  EXPECT_EQ(seen[0].owner, owner);
  EXPECT_TRUE(webview->deliveries().empty());
}

// ---- file dialogs ----

TEST(FileFilterParsing, NamesAndPatternLists) {
  struct Case {
    json filter;
    std::string name;
    std::string patterns;
  };
  const std::vector<Case> cases = {
      {json{{"name", "Images"}, {"extensions", {"png", "jpg"}}}, "Images", "*.png;*.jpg"},
      {json{{"name", "All"}, {"extensions", "*"}}, "All", "*.*"},
      {json{{"name", "Odd"}, {"extensions", {"png", 3}}}, "Odd", "*.png;"},
      {json{{"name", "Skip"}, {"extensions", {3, "png"}}}, "Skip", "*.png;"},
      {json{{"name", "Nothing"}}, "", ""},
      {json{{"extensions", "png"}}, "", ""},
      {json{{"name", 5}, {"extensions", "png"}}, "", ""},
      {json{{"name", "Number"}, {"extensions", 5}}, "Number", ""},
      {json("png"), "", ""},
  };
  for (const Case& c : cases) {
    const zrk::plugin::FileFilter f = zrk::plugin::parseFileFilter(c.filter);
    EXPECT_EQ(f.name, c.name) << c.filter.dump();
    EXPECT_EQ(f.patterns, c.patterns) << c.filter.dump();
  }
}

TEST_F(DialogPluginTest, OpenDialogReturnsTheChosenFilesAndKeepsTheOwnerDisabledMeanwhile) {
  bool ownerEnabledMeanwhile = true;
  dt::setFileDialogScript([&](const desk::FileDialogRecord&) {
    ownerEnabledMeanwhile = desk::IsWindowEnabled(owner);
    FileAnswer a;
    a.kind = FileAnswer::Kind::Choose;
    a.paths = {"/tmp/a.png"};
    return a;
  });
  Delivery d = outcome("open_file", json{{"title", "Pick"}, {"buttonLabel", "Take"},
                                          {"suggestFileName", "x.png"}, {"defaultPath", "/tmp"}});
  EXPECT_EQ(d.data, (json{{"path", {"/tmp/a.png"}}, {"values", nullptr}}));
  EXPECT_FALSE(ownerEnabledMeanwhile);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
  const auto r = dt::fileDialogs().at(0);
  EXPECT_FALSE(r.save);
  EXPECT_EQ(r.owner, owner);
  EXPECT_EQ(r.options, 0x1800u);
  EXPECT_EQ(r.title, u"Pick");
  EXPECT_EQ(r.okLabel, u"Take");
  EXPECT_EQ(r.fileName, u"x.png");
  EXPECT_EQ(r.folder, u"/tmp");

  // Three files with "multiple"; an item without a file-system path is left out.
  dt::setFileDialogScript([](const desk::FileDialogRecord&) {
    FileAnswer a;
    a.kind = FileAnswer::Kind::Choose;
    a.paths = {"/tmp/1", "/tmp/2", "/tmp/3", "virtual:item"};
    a.unreadable = {3};
    return a;
  });
  d = outcome("open_file", json{{"multiple", true}, {"defaultPath", "/no/such/folder"}});
  EXPECT_EQ(d.data["path"], (json{"/tmp/1", "/tmp/2", "/tmp/3"}));
  EXPECT_EQ(dt::fileDialogs().at(1).options, 0x1A00u);
  EXPECT_TRUE(dt::fileDialogs().at(1).folder.empty());
  // "multiple" as a string counts as absent.
  outcome("open_file", json{{"multiple", "true"}});
  EXPECT_EQ(dt::fileDialogs().at(2).options, 0x1800u);
}

TEST_F(DialogPluginTest, SaveDialogOffersTheFiltersAndSelectsTheDefaultExtensionsType) {
  dt::setFileDialogScript([](const desk::FileDialogRecord&) {
    FileAnswer a;
    a.kind = FileAnswer::Kind::Choose;
    a.paths = {"/tmp/out.png"};
    return a;
  });
  const json filters = {{{"name", "PNG"}, {"extensions", {"png"}}},
                        {{"name", "JPEG"}, {"extensions", {"jpg", "jpeg"}}},
                        {{"name", "Broken"}}};
  Delivery d = outcome("open_file", json{{"action", "save"}, {"defext", "png"}, {"filters", filters}});
  EXPECT_EQ(d.data, (json{{"path", "/tmp/out.png"}}));
  auto r = dt::fileDialogs().at(0);
  EXPECT_TRUE(r.save);
  EXPECT_EQ(r.options, 0x2u);
  ASSERT_EQ(r.fileTypes.size(), 2u);
  EXPECT_EQ(r.fileTypes[0], (std::pair<std::u16string, std::u16string>{u"PNG", u"*.png"}));
  EXPECT_EQ(r.fileTypes[1], (std::pair<std::u16string, std::u16string>{u"JPEG", u"*.jpg;*.jpeg"}));
  EXPECT_EQ(r.fileTypeIndex, 1u);
  EXPECT_EQ(r.defaultExtension, u"png");

  // "save_file" without "action" is an open dialog; "defext" there selects without defaulting.
  d = outcome("save_file", json{{"defext", "jpeg"}, {"filters", filters}});
  r = dt::fileDialogs().at(1);
  EXPECT_FALSE(r.save);
  EXPECT_EQ(r.fileTypeIndex, 2u);
  EXPECT_TRUE(r.defaultExtension.empty());
  EXPECT_EQ(d.data["path"], (json{"/tmp/out.png"}));

  // One filter object; "defext" matching none leaves the selection alone.
  outcome("save_file", json{{"defext", "gif"}, {"filters", {{"name", "All"}, {"extensions", "*"}}}});
  r = dt::fileDialogs().at(2);
  ASSERT_EQ(r.fileTypes.size(), 1u);
  EXPECT_EQ(r.fileTypes[0].second, u"*.*");
  EXPECT_EQ(r.fileTypeIndex, 0u);
}

TEST_F(DialogPluginTest, CheckBoxesAreReportedWithTheirFinalStates) {
  dt::setFileDialogScript([](const desk::FileDialogRecord& r) {
    FileAnswer a;
    a.kind = FileAnswer::Kind::Choose;
    a.paths = {"/tmp/a"};
    a.checks = {{r.checkBoxes.at(0).id, false}};
    return a;
  });
  const json options = {{{"variable", "keep"}, {"text", "Keep"}, {"value", true}},
                        {{"variable", "strip"}, {"text", "Strip metadata"}},
                        {{"variable", ""}, {"text", "skipped"}},
                        "not an object"};
  const Delivery d = outcome("open_file", json{{"options", options}});
  EXPECT_EQ(d.data["values"], (json{{"keep", false}, {"strip", false}}));
  const auto r = dt::fileDialogs().at(0);
  EXPECT_EQ(r.groupId, 1000u);
  ASSERT_EQ(r.checkBoxes.size(), 2u);
  EXPECT_EQ(r.checkBoxes[0].id, 1001u);
  EXPECT_EQ(r.checkBoxes[0].label, u"Keep");
  EXPECT_TRUE(r.checkBoxes[0].checked);
  EXPECT_NE(r.checkBoxes[1].id, r.checkBoxes[0].id);
  EXPECT_FALSE(r.checkBoxes[1].checked);
}

TEST_F(DialogPluginTest, FailuresAndCancelsDeliverNullAndFreeTheOwner) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  const std::vector<Case> cases = {
      {"cancel", [] { dt::setFileDialogScript([](const desk::FileDialogRecord&) { return FileAnswer{}; }); }},
      {"show fails",
       [] {
         dt::setFileDialogScript([](const desk::FileDialogRecord&) {
           FileAnswer a;
           a.kind = FileAnswer::Kind::Fail;
           return a;
         });
       }},
      {"results unreadable",
       [] {
         dt::setFileDialogScript([](const desk::FileDialogRecord&) {
           FileAnswer a;
           a.kind = FileAnswer::Kind::Choose;
           a.paths = {"/tmp/a"};
           a.resultsFail = true;
           return a;
         });
       }},
      {"creation fails", [] { dt::failFileDialogCreation(true); }},
      {"closed from outside",
       [this] {
         dt::setFileDialogScript([this](const desk::FileDialogRecord&) {
           desk::DestroyWindow(owner);  // owned windows go with their owner
           FileAnswer a;
           a.kind = FileAnswer::Kind::Choose;
           a.paths = {"/tmp/late"};
           return a;
         });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* action : {"open", "save"}) {
      dt::reset();
      owner = pel::test::makeOwnerWindow(100, 100, 800, 600);
      window->handle = owner;
      c.arrange();
      const Delivery d = outcome("open_file", json{{"action", action}, {"handler", 5}});
      EXPECT_TRUE(d.data.is_null()) << action << ": " << d.data.dump();
      if (desk::IsWindow(owner)) {
        EXPECT_TRUE(desk::IsWindowEnabled(owner));
      }
    }
  }
}

TEST_F(DialogPluginTest, MainQueueWorkPostedMeanwhileRunsBeforeTheDialogAnswers) {
  std::atomic<bool> ran{false};
  bool ranBeforeAnswer = false;
  dt::setFileDialogScript([&](const desk::FileDialogRecord&) {
    ranBeforeAnswer = ran.load();
    return FileAnswer{};
  });
  call("open_file", json::object());
  dispatch_async(dispatch_get_main_queue(), [&] { ran = true; });
  EXPECT_TRUE(dt::pumpUntil([&] { return !webview->deliveries().empty(); }));
  EXPECT_TRUE(ranBeforeAnswer);
}

// ---- folder dialog ----

struct BoxPlace {
  int id;
  desk::RECT rect;  // in the browser's client coordinates
  bool checked;
};

desk::RECT clientRect(desk::HWND hwnd, desk::HWND parent) {
  desk::RECT r{};
  desk::GetWindowRect(hwnd, &r);
  desk::MapWindowPoints(nullptr, parent, reinterpret_cast<desk::POINT*>(&r), 2);
  return r;
}

TEST_F(DialogPluginTest, FolderBrowserLaysOutOptionBoxesAboveTheTreeAndRecordsClicks) {
  desk::RECT hostBefore{};
  int lineHeight = 0;
  std::vector<BoxPlace> boxes;
  desk::RECT hostAfter{};
  std::u16string caption, okText;
  bool lineVisible = true;
  // Where the unchanged browser puts its tree host.
  {
    dt::setFolderBrowserScript([&](desk::HWND browser) {
      desk::HWND host = desk::FindWindowEx(browser, nullptr, u"SHBrowseForFolder ShellNameSpace Control", nullptr);
      hostBefore = clientRect(host, browser);
      return dt::FolderAnswer{};
    });
    EXPECT_TRUE(outcome("choose_folder", json{{"description", "Pick one"}}).data.is_null());
  }
  dt::setFolderBrowserScript([&](desk::HWND browser) {
    desk::HWND line = desk::GetDlgItem(browser, desk::kFolderDescriptionId);
    lineVisible = desk::IsWindowVisible(line);
    desk::RECT lr{};
    desk::GetWindowRect(line, &lr);
    lineHeight = lr.bottom - lr.top;
    desk::HWND host = desk::FindWindowEx(browser, nullptr, u"SHBrowseForFolder ShellNameSpace Control", nullptr);
    hostAfter = clientRect(host, browser);
    for (int id = 0x9000; id < 0x9003; ++id) {
      desk::HWND box = desk::GetDlgItem(browser, id);
      if (box) boxes.push_back({id, clientRect(box, browser), desk::IsDlgButtonChecked(browser, id) != 0});
    }
    char16_t text[64] = {};
    desk::GetWindowText(browser, text, 64);
    caption = text;
    desk::GetWindowText(desk::GetDlgItem(browser, desk::IDOK), text, 64);
    okText = text;
    dt::clickControl(browser, 0x9001);
    dt::clickControl(browser, 0x9001);
    dt::clickControl(browser, 0x9002);
    return dt::FolderAnswer{true, "/tmp/chosen", 0};
  });
  const json options = {{{"variable", "a"}, {"text", "First"}, {"value", true}},
                        {{"variable", "b"}, {"text", "Second"}},
                        {{"variable", "c"}, {"text", ""}},
                        {{"variable", "a"}, {"text", "Duplicate"}, {"value", false}}};
  const Delivery d = outcome("choose_folder", json{{"title", "Where"}, {"buttonLabel", "Use"},
                                                   {"options", json{options[0], options[1], options[2]}}});
  EXPECT_EQ(d.data, (json{{"path", "/tmp/chosen"}, {"values", {{"a", true}, {"b", false}, {"c", true}}}}));
  EXPECT_EQ(caption, u"Where");
  EXPECT_EQ(okText, u"Use");
  EXPECT_FALSE(lineVisible);
  ASSERT_GT(lineHeight, 0);
  const int top2 = hostBefore.top - lineHeight;
  ASSERT_EQ(boxes.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(boxes[i].rect.top, top2 + 28 * i) << i;
    EXPECT_EQ(boxes[i].rect.bottom - boxes[i].rect.top, 20);
    EXPECT_EQ(boxes[i].rect.left, hostBefore.left);
    EXPECT_EQ(boxes[i].rect.right, hostBefore.right);
  }
  EXPECT_TRUE(boxes[0].checked);
  EXPECT_FALSE(boxes[1].checked);
  EXPECT_EQ(hostAfter.top, top2 + 92);
  EXPECT_EQ(hostAfter.bottom, hostBefore.bottom);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));

  // The first of two entries with the same variable counts.
  dt::setFolderBrowserScript([](desk::HWND) { return dt::FolderAnswer{true, "/tmp", 0}; });
  EXPECT_EQ(outcome("choose_folder", json{{"options", json{options[0], options[3]}}}).data["values"],
            (json{{"a", true}}));
}

TEST_F(DialogPluginTest, FolderBrowserEndings) {
  struct Case {
    const char* name;
    json options;
    dt::FolderAnswer answer;
    std::function<void(const json&)> check;
  };
  const std::string longPath = "/tmp/" + std::string(300, 'x') + "/folder";
  const std::vector<Case> cases = {
      {"cancel", json::object(), {false, "", 0}, [](const json& v) { EXPECT_TRUE(v.is_null()); }},
      {"cancel with a system error", json::object(), {false, "", 2},
       [](const json& v) {
         ASSERT_TRUE(v.is_object());
         ASSERT_EQ(v.size(), 1u);
         const std::string text = v.at("error").get<std::string>();
         EXPECT_GT(text.size(), 4u);
         EXPECT_EQ(text.substr(text.size() - 4), " (2)");
       }},
      {"empty options array", json{{"options", json::array()}}, {true, "/tmp", 0},
       [](const json& v) { EXPECT_EQ(v, (json{{"path", "/tmp"}})); }},
      {"a path past 260 units", json::object(), {true, longPath, 0},
       [&](const json& v) { EXPECT_EQ(v, (json{{"path", longPath}})); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dt::setFolderBrowserScript([&](desk::HWND) { return c.answer; });
    c.check(outcome("choose_folder", c.options).data);
    EXPECT_TRUE(desk::IsWindowEnabled(owner));
  }
}

// ---- font dialog ----

dt::FontAnswer keep() {
  dt::FontAnswer a;
  a.kind = dt::FontAnswer::Kind::Choose;
  return a;
}

TEST_F(DialogPluginTest, FontChooserStartsFromTheOptionsAndReportsTheChoice) {
  dt::setFontFamilies(std::vector<std::string>{"Sans", "DejaVu", "DejaVu Sans", "DejaVu Sans Mono"});
  dt::setFontChooserScript([](const desk::test::FontChooserRecord&) { return keep(); });

  Delivery d = outcome("choose_font", json::object());
  auto r = dt::fontChoosers().at(0);
  EXPECT_EQ(r.owner, owner);
  EXPECT_EQ(r.flags, 0x149u);  // screen fonts, from the LOGFONT, effects, hooked
  EXPECT_EQ(r.initial.lfHeight, -16);
  EXPECT_EQ(r.initial.lfWeight, 400);
  EXPECT_TRUE(r.hooked);
  EXPECT_FALSE(r.colorLabelVisible);
  EXPECT_FALSE(r.colorBoxVisible);
  EXPECT_EQ(d.data, (json{{"name", ""}, {"family", ""}, {"size", 12}, {"weight", 400},
                          {"bold", false}, {"italic", false}, {"underline", false},
                          {"strikeOut", false}}));

  // Colour (0xRRGGBB in, the platform's 0xBBGGRR to the chooser, 0xFFRRGGBB out), weight over
  // bold, a cut size, the family of a face whose name begins with an installed one.
  d = outcome("choose_font", json{{"fontName", "DejaVu Sans Mono"}, {"fontSize", 10.9},
                                  {"fontWeight", 600}, {"fontBold", true}, {"fontItalic", true},
                                  {"canChangeColor", true}, {"color", 255}});
  r = dt::fontChoosers().at(1);
  EXPECT_EQ(r.flags, 0x141u);
  EXPECT_FALSE(r.hooked);
  EXPECT_TRUE(r.colorBoxVisible);
  EXPECT_EQ(r.initialColor, 0xFF0000u);
  EXPECT_EQ(r.initial.lfHeight, -13);
  EXPECT_EQ(std::u16string(r.initial.lfFaceName), u"DejaVu Sans Mono");
  EXPECT_EQ(d.data["name"], "DejaVu Sans Mono");
  EXPECT_EQ(d.data["family"], "DejaVu");
  EXPECT_EQ(d.data["size"], 10);
  EXPECT_EQ(d.data["weight"], 600);
  EXPECT_EQ(d.data["bold"], false);
  EXPECT_EQ(d.data["italic"], true);
  EXPECT_EQ(d.data["color"], 0xFF0000FFu);

  // The user's choice wins over the initial values.
  dt::setFontChooserScript([](const desk::test::FontChooserRecord&) {
    dt::FontAnswer a = keep();
    desk::LOGFONTW f;
    f.lfHeight = -32;
    f.lfWeight = 700;
    std::u16string face = u"Sans";
    std::copy(face.begin(), face.end(), f.lfFaceName);
    a.font = f;
    a.color = 0x00FF00;
    return a;
  });
  d = outcome("choose_font", json{{"canChangeColor", true}});
  EXPECT_EQ(d.data["name"], "Sans");
  EXPECT_EQ(d.data["family"], "Sans");
  EXPECT_EQ(d.data["size"], 24);
  EXPECT_EQ(d.data["bold"], true);
  EXPECT_EQ(d.data["color"], 0xFF00FF00u);
}

TEST_F(DialogPluginTest, FontNumbersOutOfRangeCountAsAbsentAndFaceNamesAreCutWhole) {
  dt::setFontChooserScript([](const desk::test::FontChooserRecord&) { return dt::FontAnswer{}; });
  const std::string forty(40, 'F');
  // 30 units, then a character outside the basic plane (a surrogate pair at units 31 and 32).
  const std::string pair = std::string(30, 'P') + "\xF0\x9F\x98\x80" + "tail";
  const std::vector<std::pair<json, std::pair<int, std::u16string>>> cases = {
      {json{{"fontSize", -5}, {"fontWeight", -3}, {"fontName", forty}},
       {-16, std::u16string(31, u'F')}},
      {json{{"fontSize", 1e30}, {"fontWeight", 5000}, {"fontName", pair}},
       {-16, std::u16string(30, u'P')}},
      {json{{"fontSize", "20"}, {"color", -1}, {"canChangeColor", true}}, {-16, u""}},
  };
  for (const auto& [options, expected] : cases) {
    SCOPED_TRACE(options.dump());
    EXPECT_TRUE(outcome("choose_font", options).data.is_null());
    const auto r = dt::fontChoosers().back();
    EXPECT_EQ(r.initial.lfHeight, expected.first);
    EXPECT_EQ(r.initial.lfWeight, 400);
    EXPECT_EQ(std::u16string(r.initial.lfFaceName), expected.second);
    EXPECT_EQ(r.initialColor, 0u);
  }
}

TEST(FontFamilySearch, TheFirstPrefixInEnumerationOrderStopsAtTheExactFace) {
  struct Case {
    std::vector<std::u16string> fonts;
    std::u16string face;
    std::u16string family;
    size_t visited;
  };
  const std::vector<Case> cases = {
      {{u"Arial", u"Arial Black", u"Courier"}, u"Arial Black", u"Arial", 2},
      {{u"Arial Black", u"Arial", u"Courier"}, u"Arial Black", u"Arial Black", 1},
      {{u"Courier", u"Times"}, u"Arial", u"", 2},
      {{u"arial", u"Arial Narrow"}, u"Arial Narrow", u"Arial Narrow", 2},
  };
  for (const Case& c : cases) {
    zrk::plugin::FontFamilyLookup lookup;
    lookup.face = c.face;
    size_t visited = 0;
    for (const auto& name : c.fonts) {
      desk::LOGFONTW f;
      std::copy(name.begin(), name.end(), f.lfFaceName);
      ++visited;
      if (zrk::plugin::fontFamilyEnumProc(&f, nullptr, 4, reinterpret_cast<desk::LPARAM>(&lookup)) == 0) break;
    }
    EXPECT_EQ(lookup.family, c.family);
    EXPECT_EQ(visited, c.visited);
  }
}

// ---- alert ----

// Presses these control ids, in order, on each alert that opens (none: the alert stays open).
void pressOnAlerts(std::vector<int> ids, std::vector<desk::HWND>* opened = nullptr) {
  desk::test::setDialogScript([ids, opened](desk::HWND dialog) {
    if (opened) opened->push_back(dialog);
    for (int id : ids) {
      if (!desk::IsWindow(dialog)) break;
      if (id == zrk::kSuppressId) {
        desk::CheckDlgButton(dialog, id, desk::BST_CHECKED);
        continue;
      }
      dt::clickControl(dialog, id);
    }
  });
}

TEST_F(DialogPluginTest, AlertButtonsAndSuppression) {
  struct Case {
    const char* name;
    json options;
    std::vector<int> presses;
    json expected;
  };
  const std::vector<Case> cases = {
      {"default button", json{{"title", "T"}, {"message", "M"}}, {desk::IDOK},
       json{{"button", 0}, {"suppression", false}}},
      {"cancel button", json{{"okButton", "OK"}, {"cancelButton", "Cancel"}}, {desk::IDCANCEL},
       json{{"button", 1}, {"suppression", false}}},
      {"alternate closing", json{{"alterButton", "More"}, {"alterCmd", "more"}, {"once", true}},
       {zrk::kAlternateId}, json{{"button", 2}, {"suppression", false}}},
      {"alternate staying", json{{"alterButton", "More"}, {"once", false}},
       {zrk::kAlternateId, zrk::kAlternateId, desk::IDOK}, json{{"button", 0}, {"suppression", false}}},
      {"custom buttons", json{{"buttons", {"a", "b", 3, "c"}}, {"cancelButton", "ignored"}},
       {zrk::kCustomButtonBase + 2}, json{{"button", 2}, {"suppression", false}}},
      {"suppression ticked",
       json{{"showSuppression", true}, {"suppressionTitle", "Don't ask"}, {"buttonsLayout", "horz"}},
       {zrk::kSuppressId, desk::IDOK}, json{{"button", 0}, {"suppression", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pressOnAlerts(c.presses);
    json options = c.options;
    options["window"] = "main";
    options["handler"] = 9;
    const Delivery d = outcome("alert", options);
    EXPECT_EQ(d.callback, 9u);
    EXPECT_EQ(d.data, c.expected);
    EXPECT_TRUE(desk::IsWindowEnabled(owner));
    EXPECT_EQ(zrk::openDialogsOf(owner), 0);
  }
}

TEST_F(DialogPluginTest, AlertFailuresReachThePageOnce) {
  // A layout that is not a string: the JSON type error as an "error" object, no dialog.
  std::vector<desk::HWND> opened;
  pressOnAlerts({desk::IDOK}, &opened);
  Delivery d = outcome("alert", json{{"window", "main"}, {"buttons", {"a"}}, {"buttonsLayout", 3}});
  ASSERT_TRUE(d.data.is_object());
  EXPECT_NE(d.data.value("error", "").find("type must be string, but is number"), std::string::npos);
  EXPECT_TRUE(opened.empty());

  // The owner closed before the UI task ran: null, nothing shown.
  EXPECT_EQ(call("alert", json{{"window", "main"}}).body, "true");
  desk::DestroyWindow(owner);
  EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() == 2; }));
  EXPECT_TRUE(webview->deliveries().back().data.is_null());
  EXPECT_TRUE(opened.empty());
}

TEST_F(DialogPluginTest, AnOwnerStaysDisabledUntilItsLastDialogEnds) {
  // An alert opens on the owner while a file dialog holds it; the file dialog ends first.
  std::vector<desk::HWND> alerts;
  pressOnAlerts({}, &alerts);
  bool enabledAfterFileDialog = true;
  dt::setFileDialogScript([&](const desk::FileDialogRecord&) {
    EXPECT_EQ(call("alert", json{{"window", "main"}, {"handler", 2}}).body, "true");
    EXPECT_TRUE(dt::pumpUntil([&] { return !alerts.empty(); }));
    return FileAnswer{};
  });
  call("open_file", json{{"handler", 1}});
  EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() == 1; }));
  enabledAfterFileDialog = desk::IsWindowEnabled(owner);
  EXPECT_FALSE(enabledAfterFileDialog) << "the alert is still open";
  ASSERT_EQ(alerts.size(), 1u);
  dt::clickControl(alerts[0], desk::IDOK);
  EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() == 2; }));
  EXPECT_TRUE(desk::IsWindowEnabled(owner));

  // And the other way round: the alert ends while the font chooser is still open.
  alerts.clear();
  bool enabledAfterAlert = true;
  dt::setFontChooserScript([&](const desk::test::FontChooserRecord&) {
    call("alert", json{{"window", "main"}, {"handler", 4}});
    EXPECT_TRUE(dt::pumpUntil([&] { return !alerts.empty(); }));
    dt::clickControl(alerts[0], desk::IDOK);
    EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() == 3; }));
    enabledAfterAlert = desk::IsWindowEnabled(owner);
    return dt::FontAnswer{};
  });
  call("choose_font", json{{"handler", 3}});
  EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() == 4; }));
  EXPECT_FALSE(enabledAfterAlert) << "the font chooser is still open";
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
}

TEST_F(DialogPluginTest, AnOwnerClosedBeforeTheTaskLeavesTheDialogUnowned) {
  std::vector<desk::HWND> owners;
  dt::setFontChooserScript([&](const desk::test::FontChooserRecord& r) {
    owners.push_back(r.owner);
    return keep();
  });
  EXPECT_EQ(call("choose_font", json::object()).body, "true");
  desk::DestroyWindow(owner);
  EXPECT_TRUE(dt::pumpUntil([&] { return webview->deliveries().size() == 1; }));
  ASSERT_EQ(owners.size(), 1u);
  EXPECT_EQ(owners[0], nullptr);
  EXPECT_TRUE(webview->deliveries()[0].data.is_object());
}

TEST(AlertResult, ValuesByType) {
  EXPECT_TRUE(zrk::plugin::alertResultOf({}).is_null());
  EXPECT_EQ(zrk::plugin::alertResultOf({std::any(2), std::any(true)}),
            (json{{"button", 2}, {"suppression", true}}));
  EXPECT_EQ(zrk::plugin::alertResultOf({std::any(std::string("x"))}),
            (json{{"button", -1}, {"suppression", false}}));
}

}  // namespace
