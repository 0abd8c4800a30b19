// How the X11 driver decides which windows it shows and how, and how X input becomes the
// layer's input: tables of cases, no X server needed.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include "desk/display/x11_native_windows.h"
#include "desk/keys.h"

namespace {

using namespace desk;
using namespace desk::display;

std::shared_ptr<const LayeredFrame> frame(int w, int h) {
  auto f = std::make_shared<LayeredFrame>();
  f->width = w;
  f->height = h;
  f->pixels.assign(static_cast<size_t>(w) * h, 0xff000000u);
  return f;
}

WindowSnapshot window(std::u16string cls, DWORD style, DWORD exStyle = 0) {
  WindowSnapshot s;
  s.className = std::move(cls);
  s.style = style | WS_VISIBLE;
  s.exStyle = exStyle;
  s.visible = true;
  s.window = RECT{100, 200, 420, 400};
  s.client = RECT{104, 230, 416, 396};
  return s;
}

TEST(NativeWindowChoice, WhichWindowsAreShownAndHow) {
  struct Case {
    const char* what;
    WindowSnapshot snapshot;
    bool shown;
    bool overrideRedirect;
  };
  WindowSnapshot menu = window(u"ZRK$$$MenuClass", WS_POPUP, WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_NOACTIVATE);
  menu.layeredFrame = frame(120, 90);
  WindowSnapshot menuWithoutFrame = menu;
  menuWithoutFrame.layeredFrame = nullptr;
  WindowSnapshot hiddenDialog = window(u"#32770", WS_POPUP | WS_CAPTION);
  hiddenDialog.visible = false;
  WindowSnapshot minimizedDialog = window(u"#32770", WS_POPUP | WS_CAPTION);
  minimizedDialog.iconic = true;
  WindowSnapshot ownedDialog = window(u"#32770", WS_POPUP | WS_CAPTION);
  ownedDialog.owner = reinterpret_cast<HWND>(0x10);
  WindowSnapshot child = window(u"#32770", WS_CHILD);
  child.parent = reinterpret_cast<HWND>(0x10);
  WindowSnapshot messageOnly = window(u"#32770", WS_POPUP);
  messageOnly.messageOnly = true;
  const Case cases[] = {
      {"a message box or template dialog", window(u"#32770", WS_POPUP | WS_CAPTION | WS_SYSMENU), true, false},
      {"an owned dialog", ownedDialog, true, false},
      {"a system dialog's stand-in (a real chooser shows it)", window(u"DeskSystemDialog", WS_POPUP | WS_CAPTION),
       false, false},
      {"a popup menu with its frame", menu, true, true},
      {"a popup menu before its first frame", menuWithoutFrame, false, true},
      {"a caption-less dialog", window(u"#32770", WS_POPUP), true, true},
      {"a hidden dialog", hiddenDialog, false, false},
      {"a minimized dialog", minimizedDialog, false, false},
      {"a child dialog", child, false, false},
      {"a message-only window", messageOnly, false, true},
      {"a webview's window", window(u"ZrkWindowClass", WS_OVERLAPPEDWINDOW), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(native::drawnByLayer(c.snapshot), c.shown) << c.what;
    EXPECT_EQ(native::overrideRedirect(c.snapshot), c.overrideRedirect) << c.what;
  }
}

TEST(NativeWindowChoice, PlacementIsTheClientAreaOrTheLayeredFrame) {
  WindowSnapshot dialog = window(u"#32770", WS_POPUP | WS_CAPTION);
  EXPECT_EQ(native::placement(dialog), (XRect{104, 230, 312, 166})) << "the manager draws the frame";
  WindowSnapshot menu = window(u"ZRK$$$MenuClass", WS_POPUP, WS_EX_LAYERED);
  menu.layeredFrame = frame(150, 60);
  EXPECT_EQ(native::placement(menu), (XRect{100, 200, 150, 60})) << "the pushed frame sets the size";
}

TEST(NativeInput, KeysymsToVirtualKeys) {
  const std::pair<unsigned long, int> cases[] = {
      {XK_a, 'A'},           {XK_Z, 'Z'},          {XK_0, '0'},          {XK_9, '9'},
      {XK_Return, VK_RETURN}, {XK_KP_Enter, VK_RETURN}, {XK_Escape, VK_ESCAPE}, {XK_Tab, VK_TAB},
      {XK_ISO_Left_Tab, VK_TAB}, {XK_BackSpace, VK_BACK}, {XK_space, VK_SPACE}, {XK_Shift_R, VK_SHIFT},
      {XK_Control_L, VK_CONTROL}, {XK_Alt_L, VK_MENU}, {XK_Left, VK_LEFT},  {XK_KP_Down, VK_DOWN},
      {XK_Prior, VK_PRIOR},   {XK_End, VK_END},     {XK_Delete, VK_DELETE}, {XK_F1, VK_F1},
      {XK_F4, VK_F4},         {XK_F12, VK_F1 + 11}, {XK_KP_5, 0x65},      {XK_Super_L, VK_LWIN},
      {XK_semicolon, 0},      {XK_eacute, 0},       {XK_Caps_Lock, 0},
  };
  for (auto [keysym, vk] : cases) EXPECT_EQ(native::virtualKeyOf(keysym), vk) << std::hex << keysym;
}

TEST(NativeInput, TypedCharactersNotMadeByTranslation) {
  struct Case {
    int vk;
    unsigned long keysym;
    bool control;
    char16_t ch;
  };
  const Case cases[] = {
      {'A', XK_A, false, 0},             // TranslateMessage makes 'A' from the key
      {'1', XK_exclam, false, 0},        // and '1' (Shift+1 gives no '!' of its own there)
      {VK_RETURN, XK_Return, false, 0},  // and Enter
      {0, XK_semicolon, false, u';'},
      {0, XK_eacute, false, u'\u00e9'},
      {0, 0x010020AC, false, u'\u20ac'},  // a Unicode keysym: the euro sign
      {0, 0x0100D800, false, 0},          // no lone surrogate
      {0, XK_semicolon, true, 0},         // Control+key types nothing
      {VK_LEFT, XK_Left, false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(native::typedCharacter(c.vk, c.keysym, c.control), c.ch) << std::hex << c.keysym;
  }
}

TEST(NativeInput, PointerEventsBecomeLayerInput) {
  struct Case {
    native::PointerKind kind;
    unsigned button;
    bool made;
    InputEvent::Kind as;
    int layerButton;
    bool down;
    int wheel;
  };
  using K = native::PointerKind;
  using I = InputEvent::Kind;
  const Case cases[] = {
      {K::Press, 1, true, I::MouseButton, 0, true, 0},    {K::Release, 1, true, I::MouseButton, 0, false, 0},
      {K::Press, 3, true, I::MouseButton, 1, true, 0},    {K::Press, 2, true, I::MouseButton, 2, true, 0},
      {K::Press, 4, true, I::Wheel, 0, false, 120},       {K::Press, 5, true, I::Wheel, 0, false, -120},
      {K::Release, 4, false, I::Wheel, 0, false, 0},      {K::Press, 8, false, I::MouseMove, 0, false, 0},
      {K::Motion, 0, true, I::MouseMove, 0, false, 0},    {K::Enter, 0, true, I::MouseMove, 0, false, 0},
  };
  for (const Case& c : cases) {
    InputEvent e;
    const bool made = native::pointerInput(c.kind, c.button, POINT{-300, 40}, 12, 7, e);
    EXPECT_EQ(made, c.made) << "button " << c.button;
    if (!made) continue;
    EXPECT_EQ(e.kind, c.as) << "button " << c.button;
    EXPECT_EQ(e.pt.x, -288) << "the window's screen origin plus the point in it";
    EXPECT_EQ(e.pt.y, 47);
    EXPECT_EQ(e.button, c.layerButton) << "button " << c.button;
    EXPECT_EQ(e.down, c.down) << "button " << c.button;
    EXPECT_EQ(e.wheelDelta, c.wheel) << "button " << c.button;
  }
}

}  // namespace
