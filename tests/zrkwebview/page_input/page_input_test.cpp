#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "desk/dragdrop.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/window.h"
#include "zrkwebview/browser/src/page-input/drop-target.h"
#include "zrkwebview/browser/src/page-input/mouse-messages.h"

namespace zrk {
namespace {

using namespace desk;
namespace fs = std::filesystem;

TEST(PageMouse, PackedPoints) {
  struct Case {
    double x, y;
    LPARAM expected;
  } cases[] = {
      {10, 20, 20 * 65536 + 10},
      {3.9, -2.5, static_cast<LPARAM>(static_cast<int32_t>(0xFFFE0003u))},
      {-1, -1, -1},
      {70000, -70000, static_cast<LPARAM>(static_cast<int32_t>(0x80007FFFu))},  // clamped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(packPoint(c.x, c.y), c.expected);
    EXPECT_EQ(GET_X_LPARAM(c.expected), static_cast<int>(std::max(-32768.0, std::min(32767.0, std::trunc(c.x)))));
  }
}

TEST(PageMouse, MessagesAndWhatGoesToTheDelegate) {
  struct Case {
    std::string text;
    bool mouse;  // false: the page bridge's
    UINT message;
  } cases[] = {
      {R"({"type":"mouse-ldown","x":10,"y":20})", true, WM_LBUTTONDOWN},
      {R"({"type":"mouse-lup","x":1,"y":2})", true, WM_LBUTTONUP},
      {R"({"type":"mouse-move","x":5,"y":7})", true, WM_MOUSEMOVE},
      {R"({"type":"mouse-rdown","x":1,"y":2})", true, WM_RBUTTONDOWN},
      {R"({"type":"mouse-rup","x":1,"y":2})", true, WM_RBUTTONUP},
      {R"({"type":"mouse-dblclick","x":1,"y":2})", true, 0},  // posts nothing, not passed on
      {R"({"type":"mouse-ldown","x":1})", false, 0},
      {R"(["type","x","y"])", false, 0},
      {"plain text", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<PageMouseMessage> m = readPageMouseMessage(c.text);
    ASSERT_EQ(m.has_value(), c.mouse);
    if (m) {
      EXPECT_EQ(m->message, c.message);
    }
  }

  test::reset();
  WNDCLASSEX wc;
  wc.lpfnWndProc = DefWindowProc;
  wc.lpszClassName = u"PageHost";
  RegisterClassEx(&wc);
  HWND w = CreateWindowEx(0, u"PageHost", u"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                          nullptr, nullptr, nullptr);
  std::vector<std::string> delegated;
  auto toDelegate = [&](const std::string& t) { delegated.push_back(t); };
  routeWebMessage(w, R"({"type":"mouse-ldown","x":10,"y":20})", toDelegate);
  routeWebMessage(w, "hello", toDelegate);
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, w, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_LBUTTONDOWN);
  EXPECT_EQ(msg.lParam, 20 * 65536 + 10);
  EXPECT_EQ(delegated, std::vector<std::string>{"hello"});
  // After the window is gone, messages are dropped.
  DestroyWindow(w);
  routeWebMessage(w, "late", toDelegate);
  EXPECT_EQ(delegated.size(), 1u);
  test::reset();
}

// ---- drop zones ----

class DropZonesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::reset();
    dir_ = fs::temp_directory_path() / ("pelmora-drop-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "sub");
    for (const char* name : {"a.png", "b.JPG", "noext"}) std::ofstream(dir_ / name) << "x";
    WNDCLASSEX wc;
    wc.lpfnWndProc = DefWindowProc;
    wc.lpszClassName = u"DropHost";
    RegisterClassEx(&wc);
    window_ = CreateWindowEx(0, u"DropHost", u"", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300,
                             nullptr, nullptr, nullptr, nullptr);
    target_ = CDropTarget::create(
        window_,
        [this](const std::string& label, const std::vector<std::string>& paths,
               const std::vector<std::string>& targets, POINT pt) {
          drops_.push_back(dropEventPayload(paths, targets, pt, 1.5));
          EXPECT_EQ(label, "main");
        },
        [this](POINT pt, const std::string& selector) {
          tested_.push_back(selector);
          // "#drop" is the client rectangle 0,0 - 100,100.
          return selector == "#drop" && pt.x >= 0 && pt.x <= 100 && pt.y >= 0 && pt.y <= 100;
        },
        "main");
  }
  void TearDown() override {
    target_->revoke();
    test::reset();
    fs::remove_all(dir_);
  }
  std::string p(const char* name) { return (dir_ / name).string(); }
  // Drag state for these paths, then whether the zone's filter passes.
  bool filterPasses(const DropZone& zone, const std::vector<std::string>& paths) {
    DWORD effect = DROPEFFECT_COPY;
    target_->DragEnter(DropData{paths}, 0, POINT{0, 0}, &effect);
    return target_->matchesFilter(zone);
  }
  fs::path dir_;
  HWND window_ = nullptr;
  std::shared_ptr<CDropTarget> target_;
  std::vector<std::string> drops_;
  std::vector<std::string> tested_;
};

TEST_F(DropZonesTest, ZoneCommands) {
  EXPECT_TRUE(target_->registered());
  target_->addZoneCommand(nullptr);  // warning, nothing added
  const nlohmann::json plain = "all";
  target_->addZoneCommand(&plain);
  const nlohmann::json full = nlohmann::json::parse(
      R"({"id":"a","selector":"#drop","filter":{"exts":["png","jpg"],"single":true,"fileOnly":"yes"}})");
  target_->addZoneCommand(&full);
  const nlohmann::json again = nlohmann::json::parse(R"({"id":"a","selector":"#other"})");
  target_->addZoneCommand(&again);
  std::vector<DropZone> zones = target_->zones();
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].id, "all");
  EXPECT_TRUE(zones[0].selector.empty() && zones[0].exts.empty() && !zones[0].single);
  EXPECT_EQ(zones[1].selector, "#drop");  // adding again never updates
  EXPECT_EQ(zones[1].exts, (std::vector<std::string>{"png", "jpg"}));
  EXPECT_TRUE(zones[1].single);
  EXPECT_FALSE(zones[1].fileOnly);  // not a boolean: the default

  const nlohmann::json badExts = nlohmann::json::parse(R"({"id":"b","filter":{"exts":[1]}})");
  EXPECT_THROW(target_->addZoneCommand(&badExts), nlohmann::json::type_error);
  const nlohmann::json emptyObject = nlohmann::json::object();
  const nlohmann::json unknown = "nope";
  target_->removeZoneCommand(nullptr);
  target_->removeZoneCommand(&emptyObject);
  target_->removeZoneCommand(&unknown);
  EXPECT_EQ(target_->zones().size(), 2u);
  target_->removeZoneCommand(&plain);
  EXPECT_EQ(target_->zones().size(), 1u);
}

TEST_F(DropZonesTest, FilterTable) {
  auto zone = [](bool dirOnly, bool fileOnly, bool single, std::vector<std::string> exts) {
    return DropZone{"z", "", single, fileOnly, dirOnly, std::move(exts)};
  };
  struct Case {
    const char* what;
    DropZone zone;
    std::vector<std::string> paths;
    bool passes;
  } cases[] = {
      {"ext matches", zone(false, false, false, {"png"}), {p("a.png")}, true},
      {"dragged side is lower case", zone(false, false, false, {"jpg"}), {p("b.JPG")}, true},
      {"exact comparison", zone(false, false, false, {"PNG"}), {p("a.png")}, false},
      {"no extension", zone(false, false, false, {"png"}), {p("noext")}, false},
      {"folder and file", zone(true, false, false, {}), {p("sub"), p("a.png")}, true},
      {"folder needed", zone(true, false, false, {}), {p("a.png")}, false},
      {"file needed", zone(false, true, false, {}), {p("sub")}, false},
      {"single refuses two", zone(false, false, true, {}), {p("a.png"), p("b.JPG")}, false},
      {"vanished is no file", zone(false, true, false, {}), {p("gone.png")}, false},
      {"vanished is no folder", zone(true, false, false, {}), {p("gone")}, false},
      {"no filter", zone(false, false, false, {}), {p("gone")}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(filterPasses(c.zone, c.paths), c.passes);
  }
  // A new drag starts from nothing: a folder after a JPEG carries neither kind nor extension.
  filterPasses(zone(false, false, false, {}), {p("b.JPG")});
  filterPasses(zone(false, false, false, {}), {p("sub")});
  EXPECT_FALSE(target_->hasFile());
  EXPECT_TRUE(target_->extensions().empty());
}

TEST_F(DropZonesTest, DraggingInAndOutOfAZoneAndDropping) {
  target_->addZone("drop", "#drop", DropZoneFilter{false, false, false, {"png"}});
  // In client coordinates (the window is at 100, 100): inside #drop, then outside.
  test::DragOutcome in = test::dragFiles({p("a.png")}, POINT{150, 151}, false);
  EXPECT_EQ(in.window, window_);
  EXPECT_EQ(in.hoverEffect, DROPEFFECT_COPY);
  test::DragOutcome out = test::dragFiles({p("a.png")}, POINT{350, 350}, true);
  EXPECT_EQ(out.hoverEffect, DROPEFFECT_NONE);
  EXPECT_FALSE(out.dropped);
  EXPECT_TRUE(drops_.empty());

  // Hovering answers whether some zone accepts, like the drop: a whole-page zone after a
  // refusing selector zone still gives copy.
  target_->addZone("all", "");
  out = test::dragFiles({p("a.png")}, POINT{350, 350}, false);
  EXPECT_EQ(out.hoverEffect, DROPEFFECT_COPY);

  // The drop reports every accepting zone and the point scaled by 1.5: (300, 151) -> 200, 100.
  test::DragOutcome dropped = test::dragFiles({p("a.png")}, POINT{400, 251}, true);
  EXPECT_TRUE(dropped.dropped);
  EXPECT_EQ(dropped.effect, DROPEFFECT_COPY);
  ASSERT_EQ(drops_.size(), 1u);
  const nlohmann::json event = nlohmann::json::parse(drops_[0]);
  EXPECT_EQ(event["paths"], nlohmann::json::array({p("a.png")}));
  EXPECT_EQ(event["targets"], nlohmann::json::array({"all"}));  // (300, 151) is outside #drop
  EXPECT_EQ(event["x"], 200);
  EXPECT_EQ(event["y"], 100);

  // A navigation clears the zones: no-drop until the page adds some again.
  target_->clearZones();
  EXPECT_EQ(test::dragFiles({p("a.png")}, POINT{150, 150}, true).hoverEffect, DROPEFFECT_NONE);
}

TEST(DropZoneScript, SelectorGoesInAsAStringLiteral) {
  const std::string script = elementAtPointScript(3, 4, "a'); alert('x");
  EXPECT_NE(script.find("__testHtmlElementAtPoint(3, 4, \"a'); alert('x\");"), std::string::npos);
  const std::string quoted = elementAtPointScript(0, 0, "x\"y\\z\n");
  EXPECT_NE(quoted.find(R"((0, 0, "x\"y\\z\n");)"), std::string::npos);
  EXPECT_EQ(dropEventPayload({"/é"}, {"z"}, POINT{3, -3}, 0),
            R"({"paths":["/é"],"targets":["z"],"x":3,"y":-3})");
}

}  // namespace
}  // namespace zrk
