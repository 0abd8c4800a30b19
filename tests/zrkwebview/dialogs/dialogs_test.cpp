#include <any>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/dialog.h"
#include "desk/gdi.h"
#include "desk/gfx/text.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/dialogs/dialog.h"
#include "zrkwebview/browser/src/dialogs/layout.h"
#include "zrkwebview/browser/src/dialogs/modal-dialogs.h"
#include "zrkwebview/browser/src/dialogs/script-dialogs.h"
#include "desk/attributes.h"

namespace zrk {
namespace {

using namespace desk;

std::vector<uint8_t> bytesOf(const DialogTemplateBuilder& b) {
  return std::vector<uint8_t>(b.data(), b.data() + b.size());
}

TEST(DialogTemplateBuilder, GoldenBytes) {
  DialogTemplateBuilder b;
  b.beginDialog(u"Hi", 0, 0, 269, 71, kDialogStyle, 0, u"A", 11);
  b.addItem(kStaticAtom, 1000, 7, 7, 255, 14, 0x50000000, 0, u"x");
  b.addItem(kButtonAtom, 1, 157, 31, 50, 14, 0x50010001, 0, u"");
  const std::vector<uint8_t> expected{
      0xC0, 0x08, 0xC8, 0x90,  // style with DS_SETFONT
      0, 0, 0, 0,              // extended style
      2, 0,                    // items
      0, 0, 0, 0, 0x0D, 0x01, 0x47, 0,  // 0, 0, 269, 71
      0, 0, 0, 0,              // menu, class
      'H', 0, 'i', 0, 0, 0,    // title
      11, 0, 'A', 0, 0, 0,     // point size, face
      0, 0,                    // to a multiple of 4
      0, 0, 0, 0x50, 0, 0, 0, 0, 7, 0, 7, 0, 0xFF, 0, 14, 0, 0xE8, 0x03, 0xFF, 0xFF, 0x82, 0,
      'x', 0, 0, 0, 0, 0,      // text, no creation data
      0x01, 0, 0x01, 0x50, 0, 0, 0, 0, 157, 0, 31, 0, 50, 0, 14, 0, 1, 0, 0xFF, 0xFF, 0x80, 0,
      0, 0, 0, 0};             // empty text: one zero word; creation data length
  EXPECT_EQ(bytesOf(b), expected);
  EXPECT_EQ(b.ids(), (std::vector<int>{1000, 1}));

  // Without a face name DS_SETFONT goes and no font fields are written.
  DialogTemplateBuilder plain;
  plain.beginDialog(u"", 0, 0, 269, 71, kDialogStyle | 0x40, 0, nullptr, 11);
  const std::vector<uint8_t> header{0x80, 0x08, 0xC8, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0x0D, 0x01, 0x47, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bytesOf(plain), header);
}

TEST(DialogTemplateBuilder, GrowsByWholeKilobytesWithZeroes) {
  DialogTemplateBuilder b;
  const uint8_t one = 0xAB;
  b.appendBytes(&one, 1);
  EXPECT_EQ(b.capacity(), 1024u);
  std::vector<uint8_t> chunk(1023, 0xCD);
  b.appendBytes(chunk.data(), chunk.size());  // exactly fills it
  EXPECT_EQ(b.capacity(), 1024u);
  std::vector<uint8_t> big(2500, 0xEE);
  b.appendBytes(big.data(), big.size());
  EXPECT_EQ(b.capacity(), 1024u + 2048u + 1024u);
  EXPECT_EQ(b.size(), 1024u + 2500u);
  EXPECT_EQ(b.data()[0], 0xAB);
  EXPECT_EQ(b.data()[1024 + 2499], 0xEE);
  EXPECT_EQ(b.data()[b.size()], 0);  // the grown part past the write position is zero
}

// ---- the platform for the dialogs ----

struct OwnerLog {
  std::vector<std::string> alternateCommands;
  UINT notify = 0;
};
OwnerLog* ownerLog = nullptr;

LRESULT ownerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (ownerLog && ownerLog->notify && message == ownerLog->notify) {
    ownerLog->alternateCommands.push_back(lParam ? reinterpret_cast<const char*>(lParam) : "<none>");
    return 0;
  }
  return DefWindowProc(hwnd, message, wParam, lParam);
}

LRESULT plainProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG ? 1 : 0; }

class DialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::reset();
    test::setDialogScript([](HWND) {});
    gfx::setTextMeasurer(std::make_shared<gfx::FixedTextMeasurer>());
    setDialogAttributes(DialogAttributes{});
    static bool registered = false;
    if (!registered) {
      WNDCLASSEX wc;
      wc.lpfnWndProc = ownerProc;
      wc.lpszClassName = u"DialogOwner";
      RegisterClassEx(&wc);
      registered = true;
    }
    owner_ = CreateWindowEx(0, u"DialogOwner", u"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100,
                            100, 800, 600, nullptr, nullptr, nullptr, nullptr);
    ownerLog = &log_;
    log_.notify = RegisterWindowMessage("uWM_ALERT_ALTERNATE");
  }
  void TearDown() override {
    test::reset();
    gfx::setTextMeasurer(nullptr);
    gfx::setTextPainter(nullptr);
    ownerLog = nullptr;
  }

  // Shows the dialog with the test's owner; `result` receives the completion's vector.
  template <typename D>
  HWND show(std::shared_ptr<D> dialog, int dark = 0, HWND owner = reinterpret_cast<HWND>(-1)) {
    result_.reset();
    dialog->show(owner == reinterpret_cast<HWND>(-1) ? owner_ : owner,
                 [this, dialog](const std::vector<std::any>& r) { result_ = r; }, dark);
    dialog.reset();
    return newestDialog();
  }
  HWND newestDialog() {
    std::vector<HWND> all = detail::threadDialogs();
    return all.empty() ? nullptr : all.back();
  }
  RECT rectIn(HWND dialog, int id) {
    HWND c = GetDlgItem(dialog, id);
    RECT r{};
    if (!c) return r;
    GetWindowRect(c, &r);
    POINT a{r.left, r.top}, b{r.right, r.bottom};
    ScreenToClient(dialog, &a);
    ScreenToClient(dialog, &b);
    return RECT{a.x, a.y, b.x, b.y};
  }
  SIZE clientSize(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return SIZE{r.right, r.bottom};
  }
  POINT centre(HWND dialog, int id) {
    RECT r;
    GetWindowRect(GetDlgItem(dialog, id), &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  }
  void press(HWND dialog, int id) {
    test::click(centre(dialog, id));
    test::pump();
  }
  void key(int vk) {
    test::keyPress(vk);
    test::pump();
  }
  void captionClose(HWND dialog) {
    RECT r;
    GetWindowRect(dialog, &r);
    test::ncMouse(POINT{r.right - 5, r.top + 5}, 0, true, HTCLOSE);
    test::ncMouse(POINT{r.right - 5, r.top + 5}, 0, false, HTCLOSE);
    test::pump();
  }
  void expectOwnerFree() {
    EXPECT_TRUE(IsWindowEnabled(owner_));
    EXPECT_EQ(openDialogsOf(owner_), 0);
    EXPECT_EQ(GetActiveWindow(), owner_);
  }
  // A dialog of static controls made straight from a template (for the layout engine).
  HWND staticDialog(const std::vector<std::pair<int, std::u16string>>& controls) {
    DialogTemplateBuilder b;
    b.beginDialog(u"layout", 0, 0, 269, 71, kDialogStyle, 0, u"DejaVu Sans", 11);
    int16_t y = 7;
    for (const auto& [id, text] : controls) {
      b.addItem(kStaticAtom, id, 7, y, 100, 14, 0x50000000, 0, text);
      y = static_cast<int16_t>(y + 20);
    }
    ids_ = b.ids();
    return CreateDialogIndirectParamW(nullptr, b.data(), b.size(), nullptr, plainProc, 0);
  }

  HWND owner_ = nullptr;
  OwnerLog log_;
  std::optional<std::vector<std::any>> result_;
  std::vector<int> ids_;
};

// With the fixed metrics and the template font (11 points: 15 pixels), a Latin letter is 8 pixels
// wide, a blank 4, a CJK character and a line 15.

TEST_F(DialogsTest, LayoutPlacesByAnchorsNeighboursAndRows) {
  HWND d = staticDialog({{1000, u"Hello"}, {2, u"OK"}, {1, u"Yes"}, {1002, u"n"}, {1003, u"f"}});
  ASSERT_NE(d, nullptr);
  auto set = [&](int id, std::initializer_list<std::pair<const char16_t*, int>> props) {
    for (const auto& [name, value] : props) setLayoutProperty(GetDlgItem(d, id), name, value);
  };
  set(2, {{u"kszAnchorEdge", 2}, {u"kszPaddingX", 10}, {u"kszPaddingY", 8}, {u"kszMinWidth", 120},
          {u"kszAbove", 1000}, {u"kszRowSpan", 4}});
  set(1, {{u"kszRight", 2}, {u"kszPaddingX", 10}, {u"kszPaddingY", 8}, {u"kszMinWidth", 120}});
  set(1002, {{u"kszAbove", 2}, {u"kszRowSpan", 0}});
  set(1003, {{u"kszAbove", 1002}, {u"kszFlexible", 1}});
  layoutDialog(d, ids_);
  struct Case {
    int id;
    RECT rect;
  } cases[] = {
      {1000, {20, 20, 60, 35}},     // measured text at the corner
      {2, {290, 75, 410, 106}},     // 400 - 120 + 10; 20 + 15 + 4 rows of 10
      {1, {150, 75, 270, 106}},     // left of button 2 by 20, same row
      {1002, {20, 116, 28, 131}},   // row span 0 counts as 1
      {1003, {20, 141, 410, 156}},  // flexible: client width 430 - 20 - x
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(rectIn(d, c.id), c.rect);
  }
  EXPECT_EQ(clientSize(d).cx, 430);
  EXPECT_EQ(clientSize(d).cy, 176);
}

TEST_F(DialogsTest, LayoutEdgeCases) {
  // No placeable control: the smallest client area.
  HWND empty = staticDialog({});
  layoutDialog(empty, {5, 6});
  EXPECT_EQ(clientSize(empty).cx, 260);
  EXPECT_EQ(clientSize(empty).cy, 120);

  // Too tall at every width: 40 pixels wider each pass up to 760, that pass kept.
  std::u16string tall;
  for (int i = 0; i < 30; ++i) tall += i ? u"\na" : u"a";
  HWND wide = staticDialog({{1000, tall}, {2, u"OK"}});
  setLayoutProperty(GetDlgItem(wide, 2), u"kszAnchorEdge", 2);
  setLayoutProperty(GetDlgItem(wide, 2), u"kszMinWidth", 120);
  layoutDialog(wide, ids_);
  EXPECT_EQ(rectIn(wide, 2).left, 760 - 120);
  EXPECT_EQ(clientSize(wide).cy, 20 + 30 * 15 + 20);

  // Two controls that refer to each other are not placed; the rest is.
  HWND cycle = staticDialog({{1000, u"a"}, {1001, u"b"}, {1002, u"c"}});
  const RECT before = rectIn(cycle, 1000);
  setLayoutProperty(GetDlgItem(cycle, 1000), u"kszLeft", 1001);
  setLayoutProperty(GetDlgItem(cycle, 1001), u"kszLeft", 1000);
  EXPECT_EQ(orderControls(cycle, ids_), std::vector<int>{1002});
  layoutDialog(cycle, ids_);
  EXPECT_EQ(rectIn(cycle, 1000), before);
  EXPECT_EQ(rectIn(cycle, 1002), (RECT{20, 20, 28, 35}));

  // A text beyond 511 characters is cut, then wrapped.
  std::u16string longText;
  for (int i = 0; i < 150; ++i) longText += u"abc ";
  HWND cut = staticDialog({{1000, longText}});
  layoutDialog(cut, ids_);
  char16_t buffer[1024] = {};
  GetWindowText(GetDlgItem(cut, 1000), buffer, 1024);
  std::u16string shown(buffer), joined;
  for (char16_t c : shown)
    if (c != u'\n') joined.push_back(c);
  EXPECT_NE(shown.find(u'\n'), std::u16string::npos);
  EXPECT_EQ(joined, longText.substr(0, 511));
}

TEST_F(DialogsTest, WrapText) {
  HDC dc = GetDC(nullptr);
  LOGFONTW lf;
  lf.lfHeight = -15;
  HFONT font = CreateFontIndirectW(&lf);
  HGDIOBJ old = SelectObject(dc, font);
  struct Case {
    std::u16string text;
    int width;
    std::u16string wrapped;
  } cases[] = {
      {u"Hello world", 60, u"Hello \nworld"},          // the blank stays on the first line
      {u"aaaa bbbb", 32, u"aaaa\n \nbbbb"},             // a line may begin with a blank
      {u"abcdefghijkl", 50, u"abcdefghijkl"},           // a long token is not split
      {u"ab abcdefghijkl", 50, u"ab \nabcdefghijkl"},
      {u"你好世界", 31, u"你好\n世界"},                 // breaks between ideographs
      {u"ab你好", 31, u"ab你\n好"},                 // 16 + 15 fits exactly
      {u"a\n\nb", 400, u"a\n\nb"},                       // line feeds kept, empty line too
      {u"", 100, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    EXPECT_EQ(wrapText(dc, c.text, c.width), c.wrapped);
  }
  EXPECT_TRUE(isCjkBreakChar(0x4E00) && isCjkBreakChar(0x30FF) && isCjkBreakChar(0xD7AF));
  EXPECT_FALSE(isCjkBreakChar(0x3000) || isCjkBreakChar(0xD7B0) || isCjkBreakChar(u'a'));
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
}

// ---- the dialogs, driven ----

std::vector<std::any> vec(std::initializer_list<std::any> v) { return v; }

bool sameResult(const std::vector<std::any>& a, const std::vector<std::any>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].type() != b[i].type()) return false;
    if (a[i].type() == typeid(bool) && std::any_cast<bool>(a[i]) != std::any_cast<bool>(b[i]))
      return false;
    if (a[i].type() == typeid(int) && std::any_cast<int>(a[i]) != std::any_cast<int>(b[i]))
      return false;
    if (a[i].type() == typeid(std::string) &&
        std::any_cast<std::string>(a[i]) != std::any_cast<std::string>(b[i]))
      return false;
  }
  return true;
}

enum class Act { Ok, Cancel, Enter, Escape, Caption };

TEST_F(DialogsTest, ConfirmAndPromptAnswers) {
  struct Case {
    bool prompt;
    std::u16string typed;
    Act act;
    std::vector<std::any> expected;
  };
  const std::vector<Case> cases{
      {false, u"", Act::Ok, vec({true})},
      {false, u"", Act::Cancel, vec({false})},
      {false, u"", Act::Enter, vec({true})},
      {false, u"", Act::Escape, vec({false})},
      {false, u"", Act::Caption, vec({false})},
      {true, u"de", Act::Ok, vec({true, std::string("abcde")})},
      {true, u"de", Act::Enter, vec({true, std::string("abcde")})},
      {true, u"de", Act::Escape, vec({false, std::string()})},
      {true, u"de", Act::Caption, vec({false, std::string()})},
      {true, u"\b\b\b", Act::Ok, vec({true, std::string()})},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    HWND d = c.prompt ? show(std::make_shared<TextInputDialog>("Name", "Who?", "", "abc", false))
                      : show(std::make_shared<ConfirmDialog>("Sure", "Really?"));
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(IsWindowEnabled(owner_));
    test::typeText(c.typed);
    test::pump();
    switch (c.act) {
      case Act::Ok: press(d, IDOK); break;
      case Act::Cancel: press(d, IDCANCEL); break;
      case Act::Enter: key(VK_RETURN); break;
      case Act::Escape: key(VK_ESCAPE); break;
      case Act::Caption: captionClose(d); break;
    }
    ASSERT_TRUE(result_.has_value());
    EXPECT_TRUE(sameResult(*result_, c.expected));
    EXPECT_FALSE(IsWindow(d));
    expectOwnerFree();
  }
}

TEST_F(DialogsTest, PromptKeepsAtMost1023Characters) {
  HWND d = show(std::make_shared<TextInputDialog>("t", "m", "", std::string(1500, 'q'), false));
  press(d, IDOK);
  ASSERT_TRUE(result_.has_value());
  EXPECT_TRUE(sameResult(*result_, vec({true, std::string(1023, 'q')})));
}

TEST_F(DialogsTest, AlertAnswers) {
  // One button "Close", anchored right.
  HWND d = show(std::make_shared<AlertDialog>("t", "Done", 0, true));
  EXPECT_EQ(GetDlgItem(d, IDCANCEL), nullptr);
  char16_t text[32] = {};
  GetDlgItemTextW(d, IDOK, text, 32);
  EXPECT_EQ(std::u16string(text), u"Close");
  EXPECT_EQ(rectIn(d, IDOK).left, 400 - 120 + 10);
  press(d, IDOK);
  EXPECT_TRUE(sameResult(*result_, vec({0, false})));
  expectOwnerFree();

  // The check box goes with every button but the caption's close.
  auto withBox = [&] {
    auto a = std::make_shared<AlertDialog>("t", "m", 0, true);
    a->secondButtonText = "No";
    a->suppressionText = "Don't ask again";
    HWND h = show(a);
    press(h, kSuppressId);
    return h;
  };
  press(withBox(), IDCANCEL);
  EXPECT_TRUE(sameResult(*result_, vec({1, true})));
  withBox();
  key(VK_ESCAPE);
  EXPECT_TRUE(sameResult(*result_, vec({1, true})));
  captionClose(withBox());
  EXPECT_TRUE(sameResult(*result_, vec({-1, false})));
  expectOwnerFree();
}

TEST_F(DialogsTest, AlertAlternateButtonNotifiesTheOwnerAndMayStayOpen) {
  auto a = std::make_shared<AlertDialog>("t", "m", static_cast<int>(log_.notify), false);
  a->alternateButtonText = "Details";
  a->alternateCommand = "open-log";
  a->suppressionText = "Quiet";
  HWND d = show(a);
  press(d, kSuppressId);
  press(d, kAlternateId);
  EXPECT_EQ(log_.alternateCommands, std::vector<std::string>{"open-log"});
  EXPECT_TRUE(IsWindow(d));
  EXPECT_FALSE(result_.has_value());
  EXPECT_FALSE(IsWindowEnabled(owner_));
  press(d, IDOK);
  EXPECT_TRUE(sameResult(*result_, vec({0, true})));
  expectOwnerFree();
}

TEST_F(DialogsTest, AlertCustomButtons) {
  for (bool vertical : {false, true}) {
    SCOPED_TRACE(vertical);
    auto a = std::make_shared<AlertDialog>("t", "Pick one", 0, true);
    a->setButtons({"Red", "Green", "Blue"}, vertical);
    HWND d = show(a);
    const RECT first = rectIn(d, 1100), second = rectIn(d, 1101);
    if (vertical) {
      // Stacked, each stretching to the right margin.
      EXPECT_GT(second.top, first.bottom);
      EXPECT_EQ(first.right, clientSize(d).cx - 20);
      EXPECT_EQ(second.right, clientSize(d).cx - 20);
      EXPECT_EQ(first.left, 20);
    } else {
      EXPECT_EQ(second.top, first.top);
      EXPECT_EQ(second.left, first.right + 20);
    }
    press(d, 1101);
    EXPECT_TRUE(sameResult(*result_, vec({1, false})));
  }
  // Escape cancels: there is no second button to stand for.
  auto a = std::make_shared<AlertDialog>("t", "Pick one", 0, true);
  a->setButtons({"Red", "Green"}, false);
  show(a);
  key(VK_ESCAPE);
  EXPECT_TRUE(sameResult(*result_, vec({-1, false})));
  expectOwnerFree();
}

TEST_F(DialogsTest, EveryWayOutAnswersAndFreesTheOwner) {
  // Destroyed by other code: the cancel result.
  HWND d = show(std::make_shared<ConfirmDialog>("t", "m"));
  DestroyWindow(d);
  ASSERT_TRUE(result_.has_value());
  EXPECT_TRUE(sameResult(*result_, vec({false})));
  expectOwnerFree();

  // Two dialogs on one owner: it stays disabled until both are gone.
  HWND first = show(std::make_shared<ConfirmDialog>("t", "one"));
  HWND second = show(std::make_shared<ConfirmDialog>("t", "two"));
  SendMessage(first, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(first));
  EXPECT_FALSE(IsWindowEnabled(owner_));
  EXPECT_EQ(openDialogsOf(owner_), 1);
  SetForegroundWindow(second);
  press(second, IDOK);
  EXPECT_TRUE(sameResult(*result_, vec({true})));
  expectOwnerFree();

  // The owner destroyed with its dialog open.
  show(std::make_shared<TextInputDialog>("t", "m", "", "x", false));
  DestroyWindow(owner_);
  ASSERT_TRUE(result_.has_value());
  EXPECT_TRUE(sameResult(*result_, vec({false, std::string()})));
  EXPECT_EQ(openDialogsOf(owner_), 0);
}

TEST_F(DialogsTest, HeadlessWithoutScriptAnswersTheCancelResult) {
  test::setDialogScript(nullptr);
  testing::internal::CaptureStderr();
  show(std::make_shared<AlertDialog>("Warning", "Disk almost full", 0, true));
  test::pump();
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(result_.has_value());
  EXPECT_TRUE(result_->empty());
  EXPECT_NE(err.find("Disk almost full"), std::string::npos);
  expectOwnerFree();
}

// A dialog whose template names a class the layer does not have.
class BrokenDialog : public ConfirmDialog {
 public:
  BrokenDialog() : ConfirmDialog("t", "m") {}
  void buildTemplate(DialogTemplateBuilder& b) override {
    b.addItem(0x0085, 5, 0, 0, 10, 10, 0x50000000, 0, u"list");
  }
};

TEST_F(DialogsTest, DialogThatCannotBeMadeAnswersAtOnce) {
  show(std::make_shared<BrokenDialog>());
  ASSERT_TRUE(result_.has_value());
  EXPECT_TRUE(sameResult(*result_, vec({false})));
  expectOwnerFree();
  // Without an owner nothing is disabled and the dialog centres on the work area.
  HWND d = show(std::make_shared<ConfirmDialog>("", "m"), 0, nullptr);
  RECT r;
  GetWindowRect(d, &r);
  EXPECT_EQ(r.left, (1920 - (r.right - r.left)) / 2);
  EXPECT_EQ(r.top, (1040 - (r.bottom - r.top)) / 2);
  char16_t caption[8] = {};
  GetWindowText(d, caption, 8);
  EXPECT_EQ(std::u16string(caption), u" ");
}

TEST_F(DialogsTest, DarkButtonsAreOwnerDrawnAndTextSitsInItsRectangle) {
  gfx::setTextPainter(gfx::makeBoxTextPainter());
  auto c = std::make_shared<ConfirmDialog>("t", "Hello");
  HWND d = show(c, 1);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(GetFocus(), GetDlgItem(d, IDOK));
  const gfx::Bitmap image = test::renderWindow(d);
  const RECT ok = rectIn(d, IDOK), cancel = rectIn(d, IDCANCEL), label = rectIn(d, kMessageId);
  // Fill, border, and the focus frame inset by 4 and 3 on the focused button only.
  EXPECT_EQ(image.pixel(ok.left + 1, ok.top + 1), 0xFF2D2D2Du);
  EXPECT_EQ(image.pixel(ok.left, ok.top), 0xFF555555u);
  EXPECT_EQ(image.pixel(ok.right - 1, ok.bottom - 1), 0xFF555555u);
  EXPECT_EQ(image.pixel(ok.left + 4, ok.top + 3), 0xFFD2D2D2u);
  EXPECT_EQ(image.pixel(cancel.left + 4, cancel.top + 3), 0xFF2D2D2Du);
  // The message: white boxes exactly over its laid-out rectangle, on black.
  EXPECT_EQ(label.right - label.left, 5 * 8);
  for (int y = label.top; y < label.bottom; ++y)
    for (int x = label.left; x < label.right; ++x) ASSERT_EQ(image.pixel(x, y), 0xFFFFFFFFu);
  EXPECT_EQ(image.pixel(label.right, label.top), 0xFF000000u);
  EXPECT_EQ(image.pixel(label.left, label.bottom), 0xFF000000u);
  // The button text: centred white boxes.
  const int textLeft = ok.left + ((ok.right - ok.left) - 16) / 2;
  const int textTop = ok.top + ((ok.bottom - ok.top) - 15) / 2;
  EXPECT_EQ(image.pixel(textLeft, textTop), 0xFFFFFFFFu);
  EXPECT_EQ(image.pixel(textLeft - 1, textTop), 0xFF2D2D2Du);

  // The light look leaves the buttons to the system.
  press(d, IDOK);
  HWND light = show(std::make_shared<ConfirmDialog>("t", "Hello"), 0);
  const gfx::Bitmap plain = test::renderWindow(light);
  const RECT ok2 = rectIn(light, IDOK);
  EXPECT_EQ(plain.pixel(ok2.left + 3, ok2.bottom - 3), 0xFFF0F0F0u);
}

TEST_F(DialogsTest, DpiChangeLaysOutAgain) {
  HWND d = show(std::make_shared<ConfirmDialog>("t", "Hello"));
  const SIZE laidOut = clientSize(d);
  testing::internal::CaptureStdout();
  test::setMonitorDpi(test::monitors()[0], 192);
  test::pump();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("dpi behavior"), std::string::npos);
  EXPECT_EQ(clientSize(d).cx, laidOut.cx);
  EXPECT_EQ(clientSize(d).cy, laidOut.cy);
}

// ---- script dialogs ----

TEST(ParseDialogOptions, Table) {
  using Map = std::map<std::string, std::string>;
  const std::vector<std::string> keys{"OK", "CANCEL", "TITLE"};
  struct Case {
    std::string message;
    Map expected;
  } cases[] = {
      {"plain", {{"message", "plain"}}},
      {"[TITLE=Ask][OK=Yes][CANCEL=No]:Sure?",
       {{"TITLE", "Ask"}, {"OK", "Yes"}, {"CANCEL", "No"}, {"message", "Sure?"}}},
      // Only a title and no "]:": shown whole, tag included.
      {"[TITLE=Ask] Sure?", {{"TITLE", "Ask"}, {"message", "[TITLE=Ask] Sure?"}}},
      // "]:" without any of the keys: shown whole.
      {"[X=1]: a]: b", {{"message", "[X=1]: a]: b"}}},
      // Quotes at each end go on their own; "" becomes empty; the first tag of a key counts.
      {"[OK=\"Go\"][CANCEL=\"\"][TITLE=\"a][TITLE=b]: m",
       {{"OK", "Go"}, {"CANCEL", ""}, {"TITLE", "a"}, {"message", " m"}}},
      // An empty value is no tag: the next one counts. Nothing is trimmed after "]:".
      {"[OK=][OK=Fine]:  x ", {{"OK", "Fine"}, {"message", "  x "}}},
      // A value runs to the first "]", whatever it holds; tags may overlap.
      {"[OK=a[CANCEL=b]:c", {{"OK", "a[CANCEL=b"}, {"CANCEL", "b"}, {"message", "c"}}},
      {"[OK=unterminated", {{"message", "[OK=unterminated"}}},
      {"", {{"message", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(parseDialogOptions(c.message, keys), c.expected);
  }
  // Page text of any length: no recursion per character.
  const std::string huge = "[OK=" + std::string(1 << 20, 'x') + "]:" + std::string(1 << 20, 'y');
  const Map big = parseDialogOptions(huge, keys);
  EXPECT_EQ(big.at("OK").size(), size_t{1} << 20);
  EXPECT_EQ(big.at("message").size(), size_t{1} << 20);
}

class ScriptDialogsTest : public DialogsTest {
 protected:
  void SetUp() override {
    DialogsTest::SetUp();
    browser_ = CreateWindowEx(0, u"DialogOwner", u"browser", WS_CHILD | WS_VISIBLE, 0, 0, 400, 300,
                              owner_, nullptr, nullptr, nullptr);
  }
  HWND present(ScriptDialogKind kind, const std::string& message,
               std::optional<std::string> defaultText = std::nullopt) {
    answers_.clear();
    HWND d = presentScriptDialog(browser_, kind, message, defaultText,
                                 [this](const ScriptDialogAnswer& a) { answers_.push_back(a); });
    if (d) SetForegroundWindow(d);
    return d;
  }
  std::u16string itemText(HWND d, int id) {
    char16_t buffer[256] = {};
    GetDlgItemTextW(d, id, buffer, 256);
    return buffer;
  }
  std::u16string caption(HWND d) {
    char16_t buffer[256] = {};
    GetWindowText(d, buffer, 256);
    return buffer;
  }
  HWND browser_ = nullptr;
  std::vector<ScriptDialogAnswer> answers_;
};

TEST_F(ScriptDialogsTest, ConfirmWithTagsAndTheTopLevelOwner) {
  for (bool yes : {true, false}) {
    HWND d = present(ScriptDialogKind::Confirm, "[TITLE=Delete][OK=Yes][CANCEL=No]:Delete it?");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(caption(d), u"Delete");
    EXPECT_EQ(itemText(d, kMessageId), u"Delete it?");
    EXPECT_EQ(itemText(d, IDOK), u"Yes");
    EXPECT_EQ(itemText(d, IDCANCEL), u"No");
    // The top-level window is the one kept waiting.
    EXPECT_EQ(GetParent(d), owner_);
    EXPECT_FALSE(IsWindowEnabled(owner_));
    press(d, yes ? IDOK : IDCANCEL);
    ASSERT_EQ(answers_.size(), 1u);
    EXPECT_EQ(answers_[0].accept, yes);
    EXPECT_TRUE(IsWindowEnabled(owner_));
  }
}

TEST_F(ScriptDialogsTest, PromptAlertAndBeforeUnload) {
  HWND d = present(ScriptDialogKind::Prompt, "Your name?", std::string("Ann"));
  EXPECT_EQ(itemText(d, kAlternateId), u"Ann");
  EXPECT_EQ(itemText(d, kMessageId), u"Your name?");
  test::typeText(u"e");
  test::pump();
  press(d, IDOK);
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_TRUE(answers_[0].accept);
  EXPECT_EQ(answers_[0].text, std::optional<std::string>("Anne"));

  // Without a default text the field starts empty; cancel gives no text (null to the page).
  d = present(ScriptDialogKind::Prompt, "Your name?");
  EXPECT_EQ(itemText(d, kAlternateId), u"");
  key(VK_ESCAPE);
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(answers_[0].accept);
  EXPECT_FALSE(answers_[0].text.has_value());

  // An alert: "" keeps the close button's own text; its answer never accepts.
  d = present(ScriptDialogKind::Alert, "[CLOSE=\"\"][TITLE=Note]:Saved");
  EXPECT_EQ(itemText(d, IDOK), u"Close");
  press(d, IDOK);
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(answers_[0].accept);

  EXPECT_EQ(present(ScriptDialogKind::BeforeUnload, "leave?"), nullptr);
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(answers_[0].accept);
  expectOwnerFree();
}

TEST_F(ScriptDialogsTest, DarkOwnerAlternateCommandAndDismissal) {
  const BOOL on = 1;
  DwmSetWindowAttribute(owner_, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on);
  HWND d = present(ScriptDialogKind::Alert, "[ALTER=Open log][ALTER_CMD=log]:Failed");
  // Dark: the buttons are drawn by the dialog.
  EXPECT_EQ(GetWindowLongPtr(GetDlgItem(d, IDOK), GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
  // The alternate command reaches the top-level window's procedure; without ALTER_ONCE the
  // alert stays open.
  press(d, kAlternateId);
  EXPECT_EQ(log_.alternateCommands, std::vector<std::string>{"log"});
  EXPECT_TRUE(IsWindow(d));
  // A closing webview dismisses the dialog: the page gets its answer, the owner comes back.
  DestroyWindow(d);
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(answers_[0].accept);
  expectOwnerFree();
}

}  // namespace
}  // namespace zrk
