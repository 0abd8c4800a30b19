// The layer's system dialogs without the framework: owner holds across nested dialogs, the
// headless default, windows closed from outside, item-list paths and the font enumeration.
#include "desk/system_dialogs.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/folders.h"
#include "desk/test.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "support/owner_window.h"

// fontconfig keeps its configuration, loaded on first use, for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

namespace dt = desk::test;

class SystemDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    dt::reset();
    owner = pel::test::makeOwnerWindow();
  }
  void TearDown() override { dt::reset(); }
  desk::HWND owner = nullptr;
};

TEST_F(SystemDialogs, NestedDialogsKeepTheOwnerDisabledUntilTheLastEnds) {
  bool enabledAfterInner = true;
  int holdsInside = 0;
  dt::setFontChooserScript([&](const dt::FontChooserRecord&) {
    holdsInside = desk::ownerHolds(owner);
    return dt::FontAnswer{};
  });
  dt::setFileDialogScript([&](const desk::FileDialogRecord&) {
    desk::LOGFONTW font;
    desk::CHOOSEFONTW choice;
    choice.hwndOwner = owner;
    choice.lpLogFont = &font;
    EXPECT_EQ(desk::ChooseFontW(&choice), 0);
    enabledAfterInner = desk::IsWindowEnabled(owner);
    return dt::FileDialogAnswer{};
  });
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  EXPECT_EQ(holdsInside, 2);
  EXPECT_FALSE(enabledAfterInner);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
  EXPECT_EQ(desk::ownerHolds(owner), 0);

  // An owner that was disabled before stays disabled.
  desk::EnableWindow(owner, 0);
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  EXPECT_FALSE(desk::IsWindowEnabled(owner));
}

TEST_F(SystemDialogs, UnscriptedDialogsCancelAndSaySo) {
  testing::internal::CaptureStderr();
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(true, &dialog), desk::S_OK);
  dialog->SetTitle(u"Export");
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  desk::BROWSEINFOW info;
  info.hwndOwner = owner;
  info.lpszTitle = u"Pick a folder";
  desk::SetLastError(5);
  EXPECT_EQ(desk::SHBrowseForFolderW(&info), nullptr);
  EXPECT_EQ(desk::GetLastError(), 0u);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("Export"), std::string::npos);
  EXPECT_NE(said.find("Pick a folder"), std::string::npos);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
}

TEST_F(SystemDialogs, TheOwnerDestroyedMeanwhileEndsTheDialogAsCancelled) {
  dt::setFolderBrowserScript([&](desk::HWND) {
    desk::DestroyWindow(owner);
    return dt::FolderAnswer{true, "/tmp", 0};
  });
  desk::BROWSEINFOW info;
  info.hwndOwner = owner;
  EXPECT_EQ(desk::SHBrowseForFolderW(&info), nullptr);
  EXPECT_FALSE(desk::IsWindow(dt::lastFolderBrowser()));
  EXPECT_EQ(desk::ownerHolds(owner), 0);
}

TEST_F(SystemDialogs, ItemListPathsFitTheirBuffers) {
  const std::string longPath = "/tmp/" + std::string(300, 'y');
  dt::setFolderBrowserScript([&](desk::HWND) { return dt::FolderAnswer{true, longPath, 0}; });
  desk::BROWSEINFOW info;
  desk::ITEMIDLIST* list = desk::SHBrowseForFolderW(&info);
  ASSERT_NE(list, nullptr);
  std::vector<char16_t> small(260, u'#');
  EXPECT_EQ(desk::SHGetPathFromIDListW(list, small.data()), 0);
  EXPECT_EQ(small[0], 0);
  std::vector<char16_t> big(4097, 0);
  EXPECT_EQ(desk::SHGetPathFromIDListEx(list, big.data(), 4097, 0), 1);
  EXPECT_EQ(std::u16string(big.data()).size(), longPath.size());
  desk::CoTaskMemFree(list);
}

int collect(const desk::LOGFONTW* font, const desk::TEXTMETRICW*, desk::DWORD, desk::LPARAM data) {
  auto* names = reinterpret_cast<std::vector<std::u16string>*>(data);
  names->push_back(font->lfFaceName);
  return names->size() < 2 ? 1 : 0;
}

TEST_F(SystemDialogs, FontEnumerationStopsWhenAskedAndNeverSplitsACharacter) {
  // 30 units, then a character outside the basic plane across units 31 and 32.
  dt::setFontFamilies(std::vector<std::string>{std::string(30, 'a') + "\xF0\x9F\x98\x80",
                                               "Second", "Third"});
  std::vector<std::u16string> names;
  desk::LOGFONTW filter;
  EXPECT_EQ(desk::EnumFontFamiliesExW(nullptr, &filter, collect,
                                      reinterpret_cast<desk::LPARAM>(&names), 0),
            0);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], std::u16string(30, u'a'));
  EXPECT_EQ(names[1], u"Second");

  // The installed fonts (the build installs DejaVu).
  dt::setFontFamilies(std::nullopt);
  std::vector<std::u16string> all;
  desk::EnumFontFamiliesExW(nullptr, &filter,
                            [](const desk::LOGFONTW* f, const desk::TEXTMETRICW*, desk::DWORD,
                               desk::LPARAM data) {
                              reinterpret_cast<std::vector<std::u16string>*>(data)->push_back(
                                  f->lfFaceName);
                              return 1;
                            },
                            reinterpret_cast<desk::LPARAM>(&all), 0);
  EXPECT_NE(std::find(all.begin(), all.end(), u"DejaVu Sans"), all.end());
}

}  // namespace
