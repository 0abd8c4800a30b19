#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "desk/clipboard.h"
#include "desk/message.h"
#include "desk/test.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace {

using namespace desk;

HGLOBAL blockOf(const std::string& bytes) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  std::memcpy(GlobalLock(block), bytes.data(), bytes.size());
  GlobalUnlock(block);
  return block;
}

class ClipboardModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::reset();
    test::resetClipboard();
  }
  void TearDown() override { test::resetClipboard(); }
};

TEST_F(ClipboardModelTest, OneOpenerChangesItAndTheClipboardOwnsWhatIsSet) {
  const size_t blocks = test::liveGlobalBlocks();
  EXPECT_EQ(GetClipboardData(CF_TEXT), nullptr);  // not open
  EXPECT_EQ(SetClipboardData(CF_TEXT, blockOf("a")), nullptr);
  ASSERT_EQ(test::liveGlobalBlocks(), blocks + 1);  // a refused block stays the caller's
  ASSERT_TRUE(OpenClipboard(nullptr));
  EXPECT_TRUE(OpenClipboard(nullptr));  // the same thread again
  std::thread([] {
    EXPECT_FALSE(OpenClipboard(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(EmptyClipboard());
    EXPECT_FALSE(CloseClipboard());
  }).join();

  ASSERT_TRUE(EmptyClipboard());
  HGLOBAL first = blockOf("first");
  EXPECT_EQ(SetClipboardData(CF_TEXT, first), first);
  EXPECT_EQ(SetClipboardData(CF_TEXT, blockOf("second")) != nullptr, true);  // frees the first
  HBITMAP bitmap = CreateCompatibleBitmap(nullptr, 2, 2);
  const size_t gdiObjects = test::gdiObjectCount();
  EXPECT_EQ(SetClipboardData(CF_BITMAP, bitmap), bitmap);
  EXPECT_EQ(GlobalSize(first), 0u);
  EXPECT_EQ(test::clipboardBytes(CF_TEXT), "second");
  EXPECT_EQ(CountClipboardFormats(), 2);
  EXPECT_EQ(EnumClipboardFormats(0), CF_TEXT);
  EXPECT_EQ(EnumClipboardFormats(CF_TEXT), CF_BITMAP);
  EXPECT_EQ(EnumClipboardFormats(CF_BITMAP), 0u);
  ASSERT_TRUE(EmptyClipboard());  // frees the block and the bitmap
  EXPECT_EQ(test::gdiObjectCount(), gdiObjects - 1);
  EXPECT_FALSE(IsClipboardFormatAvailable(CF_TEXT));
  EXPECT_TRUE(CloseClipboard());

  test::holdClipboardOpen(true);
  EXPECT_FALSE(OpenClipboard(nullptr));
  test::holdClipboardOpen(false);

  // Registered names: one number per name, ASCII case ignored.
  const UINT html = RegisterClipboardFormatW(u"HTML Format");
  EXPECT_GE(html, 0xC000u);
  EXPECT_EQ(RegisterClipboardFormatA("html format"), html);
  EXPECT_NE(RegisterClipboardFormatW(u"Other"), html);
  EXPECT_EQ(RegisterClipboardFormatW(u""), 0u);
}

TEST_F(ClipboardModelTest, BlocksMayBeLargerThanAsked) {
  test::setGlobalSlack(6);
  HGLOBAL block = GlobalAlloc(GHND, 2);
  ASSERT_EQ(GlobalSize(block), 8u);
  const auto* p = static_cast<const unsigned char*>(GlobalLock(block));
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1], 0);
  EXPECT_EQ(p[2], 0xCD);
  EXPECT_EQ(p[7], 0xCD);
  GlobalUnlock(block);
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(GlobalFree(block), block);
  EXPECT_EQ(GlobalLock(block), nullptr);
}

LRESULT countingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  static int* updates = nullptr;
  if (message == WM_NCCREATE) {
    updates = static_cast<int*>(reinterpret_cast<const CREATESTRUCT*>(lParam)->lpCreateParams);
  }
  if (message == WM_CLIPBOARDUPDATE && updates) ++*updates;
  return DefWindowProc(hwnd, message, wParam, lParam);
}

TEST_F(ClipboardModelTest, ListenersHearOnceForEachCycleThatChangedIt) {
  WNDCLASS wc;
  wc.lpfnWndProc = &countingProc;
  wc.lpszClassName = u"ClipboardCounter";
  RegisterClass(&wc);
  int updates = 0;
  HWND hwnd = CreateWindowEx(0, u"ClipboardCounter", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, &updates);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(AddClipboardFormatListener(hwnd));
  EXPECT_FALSE(AddClipboardFormatListener(nullptr));

  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  SetClipboardData(CF_TEXT, blockOf("a"));
  SetClipboardData(CF_UNICODETEXT, blockOf(std::string("a\0\0\0", 4)));
  CloseClipboard();
  test::pump();
  EXPECT_EQ(updates, 1);

  ASSERT_TRUE(OpenClipboard(nullptr));  // a look, no change
  GetClipboardData(CF_TEXT);
  CloseClipboard();
  test::pump();
  EXPECT_EQ(updates, 1);

  test::placeForeign({{CF_TEXT, "b", {}}});
  test::emptyForeign();
  test::pump();
  EXPECT_EQ(updates, 3);

  ASSERT_TRUE(RemoveClipboardFormatListener(hwnd));
  EXPECT_FALSE(RemoveClipboardFormatListener(hwnd));
  test::emptyForeign();
  test::pump();
  EXPECT_EQ(updates, 3);
  DestroyWindow(hwnd);
}

TEST(CodePageTest, NarrowPagesAreUtf8) {
  const std::string text = "é€😀";
  for (UINT page : {CP_ACP, CP_OEMCP, CP_UTF8}) {
    SCOPED_TRACE(page);
    // -1: up to and including the NUL.
    EXPECT_EQ(MultiByteToWideChar(page, 0, text.c_str(), -1, nullptr, 0), 5);
    EXPECT_EQ(MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0), 4);
    char16_t wide[4];
    EXPECT_EQ(MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), wide, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), wide, 4), 4);
    EXPECT_EQ(std::u16string(wide, 4), u"é€😀");
    char back[16];
    ASSERT_EQ(WideCharToMultiByte(page, 0, wide, 4, back, sizeof back, nullptr, nullptr),
              static_cast<int>(text.size()));
    EXPECT_EQ(std::string(back, text.size()), text);
  }
  // Ill-formed input: replaced, or refused when asked.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xff", 2, nullptr, 0), 2);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xff", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  const char16_t lone[] = {u'a', 0xD800};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 2, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 2, nullptr, 0, nullptr, nullptr), 4);
}

}  // namespace
