// Pages drive their windows through the real bridge, window plugin and event plugin in Chromium:
// a page in "main" makes "tools", moves and resizes it in both units, hears what the "tools" page
// reports about its own window, and closes it through its will-close handler. The primary monitor
// is at 1.5.
#include "chromium_app.h"

namespace {

using namespace pel::browser;

class WindowPagesTest : public ChromiumApp {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bundleLoaded());
    desk::test::setMonitorDpi(desk::test::monitors()[0], 144);
  }
  void TearDown() override {
    ChromiumApp::TearDown();
    desk::test::setMonitorDpi(desk::test::monitors()[0], 96);
  }
  static json run(zrk::ZrkWebview& page, const std::string& promise) {
    return settle(page, promise);
  }
  // A size or position as the page gets it: wrapped as physical pixels.
  static json physical(json value) {
    value["type"] = "Physical";
    return json{{"ok", value}};
  }
};

desk::RECT windowRect(const std::string& label) {
  desk::RECT rect{};
  if (auto window = zrk::App::instance()->findWindow(label)) {
    desk::GetWindowRect(window->nativeHandle(), &rect);
  }
  return rect;
}

TEST_F(WindowPagesTest, APageMakesMovesResizesAndClosesAnotherWindow) {
  auto main = open("main");
  ASSERT_TRUE(main);
  forget("tools");

  // "tools" is made by the test ("create" from a page comes with the rest of the window commands);
  // "main" finds it and drives it from here on.
  auto tools = open("tools");
  ASSERT_TRUE(tools);
  main->evaluateScriptSync("window.tools = new __zrk__.window.Window('tools', {skip: true}); 0");
  EXPECT_EQ(run(*main, "__zrk__.window.findWindowByLabel('tools').then(w => w && w.label)"),
            json({{"ok", "tools"}}));
  EXPECT_EQ(run(*main, "tools.scaleFactor()"), json({{"ok", 1.5}}));

  // The "tools" page hears its own window's native resize and tells "main" the size it got.
  ASSERT_TRUE(run(*tools,
                  "new __zrk__.window.Window('tools', {skip: true}).listen('zrk://resize',"
                  " e => __zrk__.event.emitTo('main', 'tools-resized', e.payload))")
                  .contains("ok"));
  ASSERT_TRUE(run(*main, "__zrk__.event.listen('tools-resized', e => (window.sizes ||= []).push(e.payload),"
                         " {target: 'main'})")
                  .contains("ok"));

  // "set_size" sets the window rectangle, frame included; the native resize carries the client
  // area, which is what "inner_size" answers.
  struct Resize {
    const char* call;
    int width, height;  // physical outer size afterwards
  };
  for (const Resize& r : {Resize{"tools.setSize({type: 'Logical', width: 500, height: 400}, false, false)", 750, 600},
                          Resize{"tools.setSize({type: 'Physical', width: 640, height: 480}, false, false)", 640, 480}}) {
    SCOPED_TRACE(r.call);
    main->evaluateScriptSync("window.sizes = []; 0");
    EXPECT_EQ(run(*main, r.call), json({{"ok", true}}));
    EXPECT_EQ(run(*main, "tools.outerSize()"), physical({{"width", r.width}, {"height", r.height}}));
    desk::RECT client{};
    desk::GetClientRect(zrk::App::instance()->findWindow("tools")->nativeHandle(), &client);
    const json inner = {{"width", client.right - client.left}, {"height", client.bottom - client.top}};
    EXPECT_LT(inner["width"].get<int>(), r.width);  // the frame is not part of it
    EXPECT_EQ(run(*main, "tools.innerSize()"), physical(inner));
    // The event "main" hears carries the size its own query gives.
    const std::string heard = awaitValue(
        *main, "(window.sizes || []).find(s => s.width === " + inner["width"].dump() + ")");
    ASSERT_FALSE(heard.empty()) << main->evaluateScriptSync("JSON.stringify(window.sizes)");
    EXPECT_EQ(json::parse(heard), inner);
  }

  // Moving in both units; the native window agrees.
  struct Move {
    const char* call;
    int x, y;  // physical outer position afterwards
  };
  for (const Move& m : {Move{"tools.setPosition({type: 'Logical', x: 100, y: 60})", 150, 90},
                        Move{"tools.setPosition({type: 'Physical', x: 33, y: 44})", 33, 44},
                        Move{"tools.move({type: 'Logical', x: 20, y: 10}, {type: 'Logical', width: 300, height: 200})", 30, 15}}) {
    SCOPED_TRACE(m.call);
    EXPECT_EQ(run(*main, m.call), json({{"ok", true}}));
    EXPECT_EQ(run(*main, "tools.outerPosition()"), physical({{"x", m.x}, {"y", m.y}}));
    const desk::RECT rect = windowRect("tools");
    EXPECT_EQ(rect.left, m.x);
    EXPECT_EQ(rect.top, m.y);
  }
  EXPECT_EQ(run(*main, "tools.outerSize()"), physical({{"width", 450}, {"height", 300}}));

  // "emit_to" a window reaches the listeners that name that window, and those that name none;
  // "emit" reaches them all.
  const std::string collect = "(e => (window.notes ||= []).push(e.payload))";
  ASSERT_TRUE(run(*main, "__zrk__.event.listen('note', " + collect + ", {target: 'main'})").contains("ok"));
  ASSERT_TRUE(run(*tools, "__zrk__.event.listen('note', " + collect + ", {target: 'tools'})").contains("ok"));
  ASSERT_TRUE(run(*main, "__zrk__.event.listen('note', e => (window.anyNotes ||= []).push(e.payload))").contains("ok"));
  EXPECT_EQ(run(*main, "__zrk__.event.emitTo('tools', 'note', 'to tools')"), json({{"ok", nullptr}}));
  EXPECT_EQ(run(*main, "__zrk__.event.emit('note', 'to all')"), json({{"ok", nullptr}}));
  EXPECT_EQ(awaitValue(*tools, "window.notes && window.notes.length === 2 ? window.notes : null"),
            R"(["to tools","to all"])");
  EXPECT_EQ(awaitValue(*main, "window.anyNotes && window.anyNotes.length === 2 ? window.anyNotes : null"),
            R"(["to tools","to all"])");
  EXPECT_EQ(awaitValue(*main, "window.notes && window.notes.length ? window.notes : null"), R"(["to all"])");
  pumpFor(300ms);  // a stray delivery to "main" would have arrived by now
  EXPECT_EQ(main->evaluateScriptSync("window.notes"), R"(["to all"])");

  // Closing "tools" from "main": its will-close handler runs (and reports), then the window goes.
  ASSERT_TRUE(run(*tools,
                  "new __zrk__.window.Window('tools', {skip: true}).onWillClose(() =>"
                  " __zrk__.event.emitTo('main', 'tools-closing', document.title))")
                  .contains("ok"));
  ASSERT_TRUE(run(*main, "__zrk__.event.listen('tools-closing', e => window.closing = e.payload)").contains("ok"));
  EXPECT_EQ(run(*main, "tools.close()"), json({{"ok", true}}));
  EXPECT_EQ(awaitValue(*main, "window.closing"), "\"blank\"");
  EXPECT_TRUE(pumpUntil([] { return zrk::App::instance()->findWindow("tools") == nullptr; }, 20s));
  EXPECT_EQ(run(*main, "__zrk__.window.findWindowByLabel('tools')"), json({{"ok", nullptr}}));
}

// An event name with a quote and a script end tag, emitted by one page, arrives in the other as
// text and runs nothing in either.
TEST_F(WindowPagesTest, AHostileEventNameArrivesAsText) {
  auto main = open("main");
  auto other = open("other");
  ASSERT_TRUE(main && other);
  const std::string name = R"(x'"</script><script>window.ran = 1</script>\u2028)";
  const std::string nameLiteral = json(name).dump();
  ASSERT_TRUE(run(*other, "__zrk__.event.listen(" + nameLiteral + ", e => window.heard = [e.event, e.payload])")
                  .contains("ok"));
  EXPECT_EQ(run(*main, "__zrk__.event.emitTo('other', " + nameLiteral + ", '</script>\"')"), json({{"ok", nullptr}}));
  EXPECT_EQ(json::parse(awaitValue(*other, "window.heard")), json::array({name, "</script>\""}));
  EXPECT_EQ(other->evaluateScriptSync("window.ran === undefined"), "true");
  EXPECT_EQ(main->evaluateScriptSync("window.ran === undefined"), "true");
}

// Errors of the window plugin reach the page exactly, also for labels with line breaks, "%s" and
// non-ASCII characters.
TEST_F(WindowPagesTest, ErrorsReachThePageExactly) {
  auto main = open("main");
  ASSERT_TRUE(main);
  for (const std::string& label : {std::string("nowhere"), std::string("a\r\nb %s é")}) {
    SCOPED_TRACE(label);
    const json outcome =
        run(*main, "new __zrk__.window.Window(" + json(label).dump() + ", {skip: true}).outerSize()");
    EXPECT_EQ(outcome, json({{"error", "Could not find window with label: " + label}}));
  }
  EXPECT_EQ(run(*main, "__zrk_internals__.invoke('plugin:window|set_size', {label: 'main'})"),
            json({{"error", "Failed to set window size. No Physical or Logical size was provided."}}));
}

}  // namespace
