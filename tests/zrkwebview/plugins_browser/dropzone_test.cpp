// Pages in two windows; one declares a drop zone through the dropzone plugin and both listen for
// drops on their own webview. Files dragged by the test controller reach only the page whose zone
// took them.
#include <fstream>

#include "desk/dragdrop.h"
#include "desk/test.h"
#include "plugins_browser.h"

namespace plugins_browser {
namespace {

namespace fs = std::filesystem;

const char* const kZoneBody =
    "<div id=drop title=\"a'b&quot;c\" style='position:absolute;left:100px;top:100px;width:100px;height:50px'></div>";

// Each page records the drops its webview hears.
const char* const kZoneScript = R"JS(
window.drops = [];
window.zone = (command, payload) => window.__zrk_internals__.invoke("plugin:dropzone|" + command, payload);
window.startListening = () => __zrk__.webview.getCurrent().listen("zrk://dropzone", e => drops.push(e.payload));
)JS";

// The screen point of a client point of a window.
desk::POINT screenPoint(desk::HWND hwnd, int x, int y) {
  desk::POINT p{x, y};
  desk::ClientToScreen(hwnd, &p);
  return p;
}

TEST_F(PluginsBrowserTest, FilesDroppedOnAZoneReachOnlyThePageThatDeclaredIt) {
  auto a = open("zonea", page(kZoneBody, kZoneScript), 0, 0);
  ASSERT_TRUE(a);
  auto b = open("zoneb", page(kZoneBody, kZoneScript), 600, 0);
  ASSERT_TRUE(b);
  await(*a, "startListening().then(() => null)");
  await(*b, "startListening().then(() => null)");
  const fs::path png = fs::path(folder()) / "drop me.png", txt = fs::path(folder()) / "note.txt";
  std::ofstream(png) << "\x89PNG";
  std::ofstream(txt) << "text";
  // The middle of #drop in each window (the page is not scaled: 96 DPI).
  const desk::HWND ha = window(0)->nativeHandle(), hb = window(1)->nativeHandle();
  const desk::POINT inA = screenPoint(ha, 150, 125), inB = screenPoint(hb, 150, 125);
  auto dropsOf = [&](zrk::ZrkWebview& webview) { return read(webview, "drops"); };
  auto drop = [&](const fs::path& file, desk::POINT at) {
    return desk::test::dragFiles({file.string()}, at, true).effect;
  };

  // Only A has a zone: B takes nothing.
  EXPECT_EQ(await(*a, "zone('add', {id: 'z1', selector: '#drop', filter: {exts: ['png']}})"), "");
  EXPECT_EQ(drop(png, inB), desk::DROPEFFECT_NONE);
  pumpFor(200ms);
  EXPECT_EQ(dropsOf(*b), json::array());

  // The PNG on A's zone: A hears the path and the zone's id, B hears nothing.
  EXPECT_EQ(drop(png, inA), desk::DROPEFFECT_COPY);
  ASSERT_TRUE(pumpUntil([&] { return !dropsOf(*a).empty(); }, 10s));
  EXPECT_EQ(dropsOf(*a), json::parse(R"([{"paths": [)" + json(png.string()).dump() +
                                     R"(], "targets": ["z1"], "x": 150, "y": 125}])"));

  // A text file, a point outside the zone: nothing.
  EXPECT_EQ(drop(txt, inA), desk::DROPEFFECT_NONE);
  EXPECT_EQ(drop(png, screenPoint(ha, 30, 30)), desk::DROPEFFECT_NONE);
  // After "remove", the zone is gone.
  EXPECT_EQ(await(*a, "zone('remove', {id: 'z1'})"), "");
  EXPECT_EQ(drop(png, inA), desk::DROPEFFECT_NONE);
  pumpFor(200ms);
  EXPECT_EQ(dropsOf(*a).size(), 1u);

  // A selector holding both kinds of quote reaches the page's element test intact.
  a->evaluateScriptSync("window.drops = []; 0");
  EXPECT_EQ(await(*a, "zone('add', {id: 'q', selector: 'div[title=\"a\\'b\\\\\"c\"]', filter: {exts: ['png']}})"),
            "");
  EXPECT_EQ(drop(png, inA), desk::DROPEFFECT_COPY);
  ASSERT_TRUE(pumpUntil([&] { return !dropsOf(*a).empty(); }, 10s));
  EXPECT_EQ(dropsOf(*a)[0]["targets"], json::array({"q"}));
}

// Every window's first webview bears the same label, and both pages listen on their own webview:
// a drop on A's zone reaches A's page alone.
TEST_F(PluginsBrowserTest, ADropReachesNoOtherWindowsPage) {
  auto a = open("leaka", page(kZoneBody, kZoneScript), 0, 0);
  ASSERT_TRUE(a);
  auto b = open("leakb", page(kZoneBody, kZoneScript), 600, 0);
  ASSERT_TRUE(b);
  await(*a, "startListening().then(() => null)");
  await(*b, "startListening().then(() => null)");
  const fs::path png = fs::path(folder()) / "leak.png";
  std::ofstream(png) << "\x89PNG";
  await(*a, "zone('add', {id: 'z1', selector: '#drop', filter: {exts: ['png']}})");
  EXPECT_EQ(desk::test::dragFiles({png.string()}, screenPoint(window(0)->nativeHandle(), 150, 125), true).effect,
            desk::DROPEFFECT_COPY);
  ASSERT_TRUE(pumpUntil([&] { return !read(*a, "drops").empty(); }, 10s));
  pumpFor(200ms);
  EXPECT_EQ(read(*b, "drops"), json::array());

  // A new document in B drops B's zones and drop listeners, and none of A's.
  b->evaluateScriptSync("window.before = true; location.reload(); 0");
  ASSERT_TRUE(pumpUntil([&] {
    return b->evaluateScriptSync("window.before === undefined && window.pageReady === true") == "true";
  }, 20s));
  a->evaluateScriptSync("window.drops = []; 0");
  EXPECT_EQ(desk::test::dragFiles({png.string()}, screenPoint(window(0)->nativeHandle(), 150, 125), true).effect,
            desk::DROPEFFECT_COPY);
  EXPECT_TRUE(pumpUntil([&] { return !read(*a, "drops").empty(); }, 10s));
}

}  // namespace
}  // namespace plugins_browser
