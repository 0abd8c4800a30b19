#include "desk/dialog.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/dialog_message.h"
#include "desk/dragdrop.h"
#include "desk/gfx/text.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace desk {
namespace {

// A packed dialog template, written the plain way.
class Template {
 public:
  Template(const std::u16string& title, DWORD style, int cx, int cy, const char16_t* face = nullptr,
           uint16_t points = 9) {
    dword(face ? (style | DS_SETFONT) : style);
    dword(0);
    countAt_ = bytes_.size();
    word(0);
    word(0), word(0), word(static_cast<uint16_t>(cx)), word(static_cast<uint16_t>(cy));
    word(0), word(0);
    string(title);
    if (face) {
      word(points);
      string(face);
    }
  }
  Template& item(uint16_t atom, int id, int x, int y, int cx, int cy, DWORD style,
                 const std::u16string& text) {
    while (bytes_.size() % 4) bytes_.push_back(0);
    ++bytes_[countAt_];
    dword(style);
    dword(0);
    for (int v : {x, y, cx, cy, id}) word(static_cast<uint16_t>(v));
    word(0xFFFF);
    word(atom);
    string(text);
    word(0);
    return *this;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void word(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
  }
  void dword(uint32_t v) {
    word(static_cast<uint16_t>(v));
    word(static_cast<uint16_t>(v >> 16));
  }
  void string(const std::u16string& s) {
    for (char16_t c : s) word(c);
    word(0);
  }
  std::vector<uint8_t> bytes_;
  size_t countAt_ = 0;
};

constexpr DWORD kPopup = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kPush = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

struct Seen {
  std::vector<std::pair<int, UINT>> commands;  // id, notification
  int inits = 0;
  LPARAM initParam = 0;
};
Seen* seen = nullptr;

LRESULT recordingProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ++seen->inits;
    seen->initParam = lParam;
    return 1;
  }
  if (message == WM_COMMAND) {
    seen->commands.emplace_back(LOWORD(wParam), HIWORD(wParam));
    return 1;
  }
  return 0;
}

// Prompt-like: a label, an edit field, a check box, OK (default) and Cancel.
Template promptTemplate(DWORD editStyle = 0) {
  Template t(u"Question", kPopup, 200, 80, u"DejaVu Sans", 9);
  t.item(kStaticAtom, 1000, 7, 7, 180, 10, WS_CHILD | WS_VISIBLE, u"Name:")
      .item(kEditAtom, 1001, 7, 20, 180, 12, kPush | ES_AUTOHSCROLL | editStyle, u"abc")
      .item(kButtonAtom, 1002, 7, 36, 180, 10, kPush | BS_AUTOCHECKBOX, u"Remember")
      .item(kButtonAtom, IDOK, 80, 60, 50, 14, kPush | BS_DEFPUSHBUTTON, u"OK")
      .item(kButtonAtom, IDCANCEL, 140, 60, 50, 14, kPush, u"Cancel");
  return t;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::reset();
    seen = &seen_;
    test::setDialogScript([](HWND) {});  // keep dialogs open: the test drives them
  }
  void TearDown() override {
    setDialogAnswerer(DialogAnswerer::Nobody);
    test::reset();
    gfx::setTextMeasurer(nullptr);
    gfx::setTextPainter(nullptr);
    seen = nullptr;
  }
  HWND create(const Template& t, HWND owner = nullptr, LPARAM param = 0) {
    HWND d = CreateDialogIndirectParamW(nullptr, t.bytes().data(), t.bytes().size(), owner,
                                        recordingProc, param);
    if (d) SetForegroundWindow(d);
    return d;
  }
  std::u16string text(HWND dialog, int id) {
    char16_t buffer[256] = {};
    GetDlgItemTextW(dialog, id, buffer, 256);
    return buffer;
  }
  POINT centre(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  }
  Seen seen_;
};

TEST_F(DialogTest, TemplateMakesTheControlsInDialogUnitsAndInitialisesOnce) {
  HWND d = create(promptTemplate(), nullptr, 77);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(seen_.inits, 1);
  EXPECT_EQ(seen_.initParam, 77);
  char16_t cls[16] = {};
  GetClassName(d, cls, 16);
  EXPECT_EQ(std::u16string(cls), u"#32770");
  EXPECT_EQ(text(d, 1000), u"Name:");
  EXPECT_EQ(text(d, 1001), u"abc");
  EXPECT_EQ(GetDlgCtrlID(GetDlgItem(d, IDCANCEL)), IDCANCEL);
  EXPECT_EQ(GetDlgItem(d, 4242), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CONTROL_ID_NOT_FOUND);
  // Positions scale with the font's base units; the first tab stop has the focus.
  RECT unit{0, 0, 4, 8};
  ASSERT_TRUE(MapDialogRect(d, &unit));
  RECT ok;
  GetWindowRect(GetDlgItem(d, IDOK), &ok);
  POINT p{ok.left, ok.top};
  ScreenToClient(d, &p);
  EXPECT_EQ(p.x, MulDiv(80, unit.right, 4));
  EXPECT_EQ(p.y, MulDiv(60, unit.bottom, 8));
  EXPECT_EQ(GetFocus(), GetDlgItem(d, 1001));
  // Every control got the template's font.
  EXPECT_NE(SendMessage(GetDlgItem(d, 1000), WM_GETFONT, 0, 0), 0);
}

TEST_F(DialogTest, BrokenTemplatesAreRefusedWithoutCallingTheProcedure) {
  const std::vector<uint8_t> whole = promptTemplate().bytes();
  // Cut inside the header, inside an item, and an unknown class atom.
  for (size_t length : {size_t{10}, whole.size() - 3}) {
    SetLastError(0);
    EXPECT_EQ(CreateDialogIndirectParamW(nullptr, whole.data(), length, nullptr, recordingProc, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  Template odd(u"x", kPopup, 50, 50);
  odd.item(0x0085, 5, 0, 0, 10, 10, kPush, u"list");
  EXPECT_EQ(create(odd), nullptr);
  EXPECT_EQ(seen_.inits, 0);
}

TEST_F(DialogTest, KeyboardInterface) {
  HWND d = create(promptTemplate());
  ASSERT_NE(d, nullptr);
  HWND edit = GetDlgItem(d, 1001), check = GetDlgItem(d, 1002);
  HWND ok = GetDlgItem(d, IDOK), cancel = GetDlgItem(d, IDCANCEL);
  // Tab walks the enabled tab stops in order and wraps; Shift+Tab goes back.
  EnableWindow(check, 0);
  test::keyPress(VK_TAB);
  test::pump();
  EXPECT_EQ(GetFocus(), ok);
  test::keyPress(VK_TAB);
  test::pump();
  EXPECT_EQ(GetFocus(), cancel);
  test::keyPress(VK_TAB);
  test::pump();
  EXPECT_EQ(GetFocus(), edit);
  test::key(VK_SHIFT, true);
  test::keyPress(VK_TAB);
  test::pump();
  test::key(VK_SHIFT, false);
  EXPECT_EQ(GetFocus(), cancel);
  // Enter presses the focused push button; from the edit field, the default button; Escape
  // is IDCANCEL wherever the focus is. None of these keys types into the field.
  test::keyPress(VK_RETURN);
  test::pump();
  SetFocus(edit);
  test::keyPress(VK_RETURN);
  test::keyPress(VK_ESCAPE);
  test::pump();
  const std::vector<std::pair<int, UINT>> expected{
      {IDCANCEL, BN_CLICKED}, {IDOK, BN_CLICKED}, {IDCANCEL, BN_CLICKED}};
  EXPECT_EQ(seen_.commands, expected);
  EXPECT_EQ(text(d, 1001), u"abc");
}

TEST_F(DialogTest, EditFieldThatWantsReturnKeepsEnter) {
  HWND d = create(promptTemplate(ES_MULTILINE | ES_WANTRETURN));
  ASSERT_NE(d, nullptr);
  test::keyPress(VK_RETURN);
  test::pump();
  EXPECT_TRUE(seen_.commands.empty());
  EXPECT_EQ(text(d, 1001), u"abc\r\n");
}

TEST_F(DialogTest, MouseAndTyping) {
  HWND d = create(promptTemplate());
  ASSERT_NE(d, nullptr);
  // Typing edits the focused field; backspace removes a whole surrogate pair.
  test::typeText(u"d\U0001F600");
  test::pump();
  EXPECT_EQ(text(d, 1001), u"abcd\U0001F600");
  test::keyPress(VK_BACK);
  test::pump();
  EXPECT_EQ(text(d, 1001), u"abcd");
  // A click toggles the check box and notifies; a disabled button gets nothing.
  test::click(centre(GetDlgItem(d, 1002)));
  test::pump();
  EXPECT_EQ(IsDlgButtonChecked(d, 1002), BST_CHECKED);
  EnableWindow(GetDlgItem(d, IDOK), 0);
  test::click(centre(GetDlgItem(d, IDOK)));
  test::click(centre(GetDlgItem(d, IDCANCEL)));
  test::pump();
  const std::vector<std::pair<int, UINT>> expected{{1002, BN_CLICKED}, {IDCANCEL, BN_CLICKED}};
  EXPECT_EQ(seen_.commands, expected);
  // A press that is released outside the button is no click.
  test::mouseButton(centre(GetDlgItem(d, IDCANCEL)), 0, true);
  test::mouseButton(POINT{0, 0}, 0, false);
  test::pump();
  EXPECT_EQ(seen_.commands.size(), 2u);
}

TEST_F(DialogTest, CaptionCloseBecomesSysCommandThenCancel) {
  HWND d = create(promptTemplate());
  ASSERT_NE(d, nullptr);
  RECT r;
  GetWindowRect(d, &r);
  test::ncMouse(POINT{r.right - 5, r.top + 5}, 0, true, HTCLOSE);
  test::ncMouse(POINT{r.right - 5, r.top + 5}, 0, false, HTCLOSE);
  test::pump();
  // The recording procedure leaves WM_CLOSE to the default: IDCANCEL.
  const std::vector<std::pair<int, UINT>> expected{{IDCANCEL, BN_CLICKED}};
  EXPECT_EQ(seen_.commands, expected);
  EXPECT_TRUE(IsWindow(d));
}

TEST_F(DialogTest, PresentationGoesToTheScriptOnceElseToAPersonElseTheDialogClosesItself) {
  // A script drives the dialog even while a person answers the others.
  setDialogAnswerer(DialogAnswerer::Person);
  std::vector<HWND> presented;
  test::setDialogScript([&](HWND dialog) { presented.push_back(dialog); });
  HWND a = create(promptTemplate());
  EXPECT_TRUE(presented.empty());  // not before the creator is back in its loop
  test::pump();
  test::pump();
  EXPECT_EQ(presented, std::vector<HWND>{a});
  DestroyWindow(a);

  // A person at a screen: the dialog stays up, silent, until its own buttons end it.
  test::setDialogScript(nullptr);
  testing::internal::CaptureStderr();
  HWND p = create(promptTemplate());
  test::pump();
  test::pump();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(IsWindow(p));
  EXPECT_TRUE(IsWindowVisible(p));
  EXPECT_EQ(err, "");
  test::click(centre(GetDlgItem(p, IDOK)));
  test::pump();
  const std::vector<std::pair<int, UINT>> expected{{IDOK, BN_CLICKED}};
  EXPECT_EQ(seen_.commands, expected);

  // Nobody: the dialog says what it showed and closes itself.
  setDialogAnswerer(DialogAnswerer::Nobody);
  testing::internal::CaptureStderr();
  HWND b = create(promptTemplate());
  test::pump();
  err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(IsWindow(b));
  EXPECT_NE(err.find("Question"), std::string::npos);
  EXPECT_NE(err.find("Name:"), std::string::npos);
}

TEST_F(DialogTest, ControlsAskTheirParentForColours) {
  gfx::setTextMeasurer(std::make_shared<gfx::FixedTextMeasurer>());
  gfx::setTextPainter(gfx::makeBoxTextPainter());
  Template t(u"c", kPopup, 100, 40, u"DejaVu Sans", 9);
  t.item(kStaticAtom, 1000, 0, 0, 100, 20, WS_CHILD | WS_VISIBLE, u"ab");
  static HBRUSH brush = nullptr;
  brush = CreateSolidBrush(RGB(0x11, 0x22, 0x33));
  DLGPROC proc = [](HWND, UINT m, WPARAM w, LPARAM) -> LRESULT {
    if (m == WM_CTLCOLORSTATIC) {
      SetTextColor(reinterpret_cast<HDC>(w), RGB(0xEE, 0xDD, 0xCC));
      return reinterpret_cast<LRESULT>(brush);
    }
    return m == WM_INITDIALOG ? 1 : 0;
  };
  HWND d = CreateDialogIndirectParamW(nullptr, t.bytes().data(), t.bytes().size(), nullptr, proc, 0);
  ASSERT_NE(d, nullptr);
  const gfx::Bitmap image = test::renderWindow(d);
  HWND label = GetDlgItem(d, 1000);
  POINT at{0, 0};
  MapWindowPoints(label, d, &at, 1);
  // Box glyphs: "ab" is two boxes of the advance, line height tall, from the label's corner.
  const gfx::Font font{"DejaVu Sans", 12};
  const int h = gfx::FixedTextMeasurer::lineHeight(font);
  const int w = 2 * gfx::FixedTextMeasurer::advance(font, U'a');
  EXPECT_EQ(image.pixel(at.x, at.y), 0xFFEEDDCCu);
  EXPECT_EQ(image.pixel(at.x + w - 1, at.y + h - 1), 0xFFEEDDCCu);
  EXPECT_EQ(image.pixel(at.x + w, at.y), 0xFF112233u);
  EXPECT_EQ(image.pixel(at.x, at.y + h), 0xFF112233u);
  DestroyWindow(d);
  DeleteObject(brush);
}

// ---- drop targets ----

struct Target : IDropTarget {
  DWORD answer = DROPEFFECT_COPY;
  std::vector<std::string> log;
  std::vector<std::string> files;
  HRESULT DragEnter(const DropData& data, DWORD, POINT, DWORD* effect) override {
    log.push_back("enter");
    files = data.files;
    *effect &= answer;
    return S_OK;
  }
  HRESULT DragOver(DWORD, POINT, DWORD* effect) override {
    log.push_back("over");
    *effect &= answer;
    return S_OK;
  }
  HRESULT DragLeave() override {
    log.push_back("leave");
    return S_OK;
  }
  HRESULT Drop(const DropData& data, DWORD, POINT, DWORD* effect) override {
    log.push_back("drop");
    files = data.files;
    *effect &= answer;
    return S_OK;
  }
};

TEST_F(DialogTest, DropTargets) {
  HWND d = create(promptTemplate());
  ASSERT_NE(d, nullptr);
  auto target = std::make_shared<Target>();
  EXPECT_EQ(RevokeDragDrop(d), DRAGDROP_E_NOTREGISTERED);
  EXPECT_EQ(RegisterDragDrop(nullptr, target), DRAGDROP_E_INVALIDHWND);
  EXPECT_EQ(RegisterDragDrop(d, nullptr), E_INVALIDARG);
  ASSERT_EQ(RegisterDragDrop(d, target), S_OK);
  EXPECT_EQ(RegisterDragDrop(d, target), DRAGDROP_E_ALREADYREGISTERED);

  // Over a control, the nearest registered ancestor takes the drag.
  const POINT over = centre(GetDlgItem(d, IDOK));
  test::DragOutcome o = test::dragFiles({"/tmp/a.png", "/tmp/b c.jpg"}, over, true);
  EXPECT_EQ(o.window, d);
  EXPECT_TRUE(o.dropped);
  EXPECT_EQ(o.effect, DROPEFFECT_COPY);
  EXPECT_EQ(target->files, (std::vector<std::string>{"/tmp/a.png", "/tmp/b c.jpg"}));
  EXPECT_EQ(target->log, (std::vector<std::string>{"enter", "over", "drop"}));

  // A refusing hover ends with DragLeave, never Drop; effects stay within what is allowed.
  target->log.clear();
  target->answer = DROPEFFECT_NONE;
  o = test::dragFiles({"/x"}, over, true);
  EXPECT_FALSE(o.dropped);
  EXPECT_EQ(target->log, (std::vector<std::string>{"enter", "over", "leave"}));
  target->answer = DROPEFFECT_COPY | DROPEFFECT_LINK;
  o = test::dragFiles({"/x"}, over, true, DROPEFFECT_LINK);
  EXPECT_EQ(o.effect, DROPEFFECT_LINK);

  // Revoked, or the window gone: nobody receives the drag.
  EXPECT_EQ(RevokeDragDrop(d), S_OK);
  EXPECT_EQ(test::dragFiles({"/x"}, over, true).window, nullptr);
  ASSERT_EQ(RegisterDragDrop(d, target), S_OK);
  DestroyWindow(d);
  EXPECT_EQ(test::dragFiles({"/x"}, over, true).window, nullptr);
  EXPECT_EQ(target.use_count(), 1);
}

}  // namespace
}  // namespace desk
