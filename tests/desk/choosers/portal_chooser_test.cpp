// The system dialogs sent to the desktop's file-chooser portal: a fake portal of ours on a private
// bus answers them (or holds them open), and the dialogs must carry their settings to it one to
// one, turn its answer back into items and check-box states, and keep the owner disabled exactly
// while the portal has the request.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/choosers/portal_chooser.h"
#include "desk/dialog.h"
#include "desk/errors.h"
#include "desk/folders.h"
#include "desk/thread.h"
#include "desk/message.h"
#include "desk/shell.h"
#include "desk/system_dialogs.h"
#include "desk/test.h"
#include "desk/window.h"
#include "fake_portal.h"
#include "support/owner_window.h"
#include "support/private_bus.h"

// GLib's type system and GIO keep their registrations for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\nleak:libfontconfig.so\n";
}

namespace {

namespace dt = desk::test;
namespace fs = std::filesystem;
using pel::test::FakePortal;

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class PortalChooser : public ::testing::Test {
 protected:
  void SetUp() override {
    // No display: GTK is never the fallback in this process.
    ::unsetenv("DISPLAY");
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
    portal = std::make_unique<FakePortal>(bus.address());
    ASSERT_TRUE(portal->ready());
    dt::reset();
    dt::useRealChoosers(bus.address());
    owner = pel::test::makeOwnerWindow();
    folder = fs::temp_directory_path() / ("pel-portal-" + std::to_string(::getpid()));
    fs::create_directories(folder);
  }
  void TearDown() override {
    dt::reset();
    portal.reset();
    fs::remove_all(folder);
  }

  pel::test::PrivateBus bus;
  std::unique_ptr<FakePortal> portal;
  desk::HWND owner = nullptr;
  fs::path folder;
};

TEST_F(PortalChooser, OpenCarriesEverySettingAndReturnsTheChosenFilesAndBoxes) {
  FakePortal::Answer answer;
  answer.uris = {"file://" + folder.string() + "/a%20b.png", "file:///srv/c.jpg"};
  answer.choices = {{"1001", "false"}, {"1002", "true"}};
  int holdsMeanwhile = -1;
  portal->answerWith(answer, [&](const FakePortal::Call&) { holdsMeanwhile = desk::ownerHolds(owner); });

  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  dialog->SetOptions(desk::FOS_PATHMUSTEXIST | desk::FOS_FILEMUSTEXIST | desk::FOS_ALLOWMULTISELECT);
  dialog->SetTitle(u"Pick pictures");
  dialog->SetOkButtonLabel(u"_Take");
  std::shared_ptr<desk::ShellItem> item;
  ASSERT_EQ(desk::SHCreateItemFromParsingName(u16(folder.string()).c_str(), nullptr, &item), desk::S_OK);
  dialog->SetFolder(item.get());
  const desk::COMDLG_FILTERSPEC types[] = {{u"Pictures", u"*.png;*.jpg"}, {u"All", u"*.*"}};
  dialog->SetFileTypes(2, types);
  dialog->SetFileTypeIndex(2);
  dialog->StartVisualGroup(1000, u"");
  dialog->AddCheckButton(1001, u"Keep folders", 1);
  dialog->AddCheckButton(1002, u"Read only", 0);
  dialog->EndVisualGroup();

  ASSERT_EQ(dialog->Show(owner), desk::S_OK);
  std::vector<std::shared_ptr<desk::ShellItem>> items;
  ASSERT_EQ(dialog->GetResults(&items), desk::S_OK);
  ASSERT_EQ(items.size(), 2u);
  std::u16string path;
  ASSERT_EQ(items[0]->GetDisplayName(desk::SIGDN_FILESYSPATH, &path), desk::S_OK);
  EXPECT_EQ(path, u16(folder.string() + "/a b.png"));
  ASSERT_EQ(items[1]->GetDisplayName(desk::SIGDN_FILESYSPATH, &path), desk::S_OK);
  EXPECT_EQ(path, u"/srv/c.jpg");
  desk::BOOL checked = 2;
  ASSERT_EQ(dialog->GetCheckButtonState(1001, &checked), desk::S_OK);
  EXPECT_EQ(checked, 0);
  ASSERT_EQ(dialog->GetCheckButtonState(1002, &checked), desk::S_OK);
  EXPECT_EQ(checked, 1);

  EXPECT_EQ(holdsMeanwhile, 1);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
  EXPECT_EQ(desk::ownerHolds(owner), 0);

  const auto calls = portal->calls();
  ASSERT_EQ(calls.size(), 1u);
  const FakePortal::Call& call = calls[0];
  EXPECT_EQ(call.method, "OpenFile");
  EXPECT_EQ(call.title, "Pick pictures");
  EXPECT_EQ(call.parentWindow, "");
  std::map<std::string, std::string> expected = {
      {"accept_label", "'_Take'"},
      {"modal", "true"},
      {"multiple", "true"},
      {"filters", "[('Pictures', [(uint32 0, '*.png'), (0, '*.jpg')]), ('All', [(0, '*')])]"},
      {"current_filter", "('All', [(uint32 0, '*')])"},
      {"choices", "[('1001', 'Keep folders', @a(ss) [], 'true'), ('1002', 'Read only', [], 'false')]"},
      {"current_folder", "b'" + folder.string() + "'"},
  };
  expected["handle_token"] = call.options.count("handle_token") ? call.options.at("handle_token") : "?";
  EXPECT_EQ(call.options, expected);
  EXPECT_NE(call.handle.find("/org/freedesktop/portal/desktop/request/"), std::string::npos);
}

TEST_F(PortalChooser, SaveSendsTheNameAndFolderAndNothingOnlyOpenHas) {
  FakePortal::Answer answer;
  answer.uris = {"file:///home/me/out.png"};
  portal->answerWith(answer);
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(true, &dialog), desk::S_OK);
  dialog->SetOptions(desk::FOS_OVERWRITEPROMPT);
  dialog->SetFileName(u"out.png");
  ASSERT_EQ(dialog->Show(owner), desk::S_OK);
  std::shared_ptr<desk::ShellItem> item;
  ASSERT_EQ(dialog->GetResult(&item), desk::S_OK);
  std::u16string path;
  ASSERT_EQ(item->GetDisplayName(desk::SIGDN_FILESYSPATH, &path), desk::S_OK);
  EXPECT_EQ(path, u"/home/me/out.png");
  const auto calls = portal->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "SaveFile");
  // No title given: the dialog's own caption.
  EXPECT_EQ(calls[0].title, "Save As");
  EXPECT_EQ(calls[0].options.count("current_name"), 1u);
  EXPECT_EQ(calls[0].options.at("current_name"), "'out.png'");
  EXPECT_EQ(calls[0].options.count("multiple"), 0u);
  EXPECT_EQ(calls[0].options.count("directory"), 0u);
  EXPECT_EQ(calls[0].options.count("filters"), 0u);
}

TEST_F(PortalChooser, EndingsOtherThanAChoice) {
  struct Case {
    const char* name;
    uint32_t response;
    std::vector<std::string> uris;
    desk::HRESULT show;
  };
  const Case cases[] = {
      {"cancelled", 1, {}, desk::HRESULT_CANCELLED},
      {"ended by the portal", 2, {}, desk::E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePortal::Answer answer;
    answer.response = c.response;
    answer.uris = c.uris;
    portal->answerWith(answer);
    std::unique_ptr<desk::FileDialog> dialog;
    ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
    EXPECT_EQ(dialog->Show(owner), c.show);
    std::vector<std::shared_ptr<desk::ShellItem>> items;
    EXPECT_NE(dialog->GetResults(&items), desk::S_OK);
    EXPECT_TRUE(desk::IsWindowEnabled(owner));
    EXPECT_EQ(desk::ownerHolds(owner), 0);
  }

  // A location without a local path comes back as an item without a file-system path.
  FakePortal::Answer remote;
  remote.uris = {"sftp://host/a.png", "file:///tmp/b.png"};
  portal->answerWith(remote);
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  ASSERT_EQ(dialog->Show(owner), desk::S_OK);
  std::vector<std::shared_ptr<desk::ShellItem>> items;
  ASSERT_EQ(dialog->GetResults(&items), desk::S_OK);
  ASSERT_EQ(items.size(), 2u);
  std::u16string path;
  EXPECT_NE(items[0]->GetDisplayName(desk::SIGDN_FILESYSPATH, &path), desk::S_OK);
  EXPECT_EQ(items[1]->GetDisplayName(desk::SIGDN_FILESYSPATH, &path), desk::S_OK);
}

TEST_F(PortalChooser, AnOwnerClosedWhileThePortalShowsClosesTheRequest) {
  FakePortal::Answer hold;
  hold.hold = true;
  // The owner goes while the portal has the request, as a person closing the window would.
  portal->answerWith(hold, [&](const FakePortal::Call&) {
    desk::PostMessage(owner, desk::WM_CLOSE, 0, 0);
  });
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  EXPECT_FALSE(desk::IsWindow(owner));
  EXPECT_EQ(desk::ownerHolds(owner), 0);
  ASSERT_TRUE(portal->waitForClosed(1));
  const auto calls = portal->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(portal->closed(), std::vector<std::string>{calls[0].handle});

  // The same for the folder browser, which leaves no error behind.
  owner = pel::test::makeOwnerWindow();
  desk::BROWSEINFOW info;
  info.hwndOwner = owner;
  desk::SetLastError(5);
  EXPECT_EQ(desk::SHBrowseForFolderW(&info), nullptr);
  EXPECT_EQ(desk::GetLastError(), 0u);
  EXPECT_FALSE(desk::IsWindow(owner));
  ASSERT_TRUE(portal->waitForClosed(2));
  EXPECT_EQ(portal->calls().size(), 2u);
}

// The browse callback's work (title, selection, button label, a check box) reaches the portal as a
// folder request; the box the person changed is clicked on the browser.
struct BrowseSetup {
  int clicks = 0;
};

desk::LRESULT countClicks(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                          desk::LPARAM lParam, desk::UINT_PTR, desk::DWORD_PTR data) {
  if (message == desk::WM_COMMAND && wParam == 0x9000) ++reinterpret_cast<BrowseSetup*>(data)->clicks;
  return desk::DefSubclassProc(hwnd, message, wParam, lParam);
}

int browseCallback(desk::HWND browser, desk::UINT message, desk::LPARAM, desk::LPARAM data) {
  if (message != desk::BFFM_INITIALIZED) return 0;
  desk::SetWindowText(browser, u"Where to?");
  desk::SendMessage(browser, desk::BFFM_SETSELECTIONW, 1, reinterpret_cast<desk::LPARAM>(u"/srv"));
  desk::SetWindowText(desk::GetDlgItem(browser, desk::IDOK), u"Use");
  desk::CreateWindowEx(0, u"BUTTON", u"Recurse", desk::WS_CHILD | desk::WS_VISIBLE | desk::BS_AUTOCHECKBOX,
                       0, 0, 100, 20, browser, reinterpret_cast<desk::HMENU>(static_cast<intptr_t>(0x9000)),
                       nullptr, nullptr);
  desk::SetWindowSubclass(browser, countClicks, 7, static_cast<desk::DWORD_PTR>(data));
  return 0;
}

TEST_F(PortalChooser, FolderBrowserAsksForADirectory) {
  FakePortal::Answer answer;
  answer.uris = {"file:///srv/photos"};
  answer.choices = {{"36864", "true"}};
  portal->answerWith(answer);
  BrowseSetup setup;
  desk::BROWSEINFOW info;
  info.hwndOwner = owner;
  info.lpfn = browseCallback;
  info.lParam = reinterpret_cast<desk::LPARAM>(&setup);
  desk::ITEMIDLIST* list = desk::SHBrowseForFolderW(&info);
  ASSERT_NE(list, nullptr);
  std::vector<char16_t> path(4097, 0);
  ASSERT_EQ(desk::SHGetPathFromIDListEx(list, path.data(), 4097, 0), 1);
  EXPECT_EQ(std::u16string(path.data()), u"/srv/photos");
  desk::CoTaskMemFree(list);
  EXPECT_EQ(setup.clicks, 1);

  const auto calls = portal->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "OpenFile");
  EXPECT_EQ(calls[0].title, "Where to?");
  EXPECT_EQ(calls[0].options.at("directory"), "true");
  EXPECT_EQ(calls[0].options.at("multiple"), "false");
  EXPECT_EQ(calls[0].options.at("accept_label"), "'Use'");
  EXPECT_EQ(calls[0].options.at("current_folder"), "b'/srv'");
  EXPECT_EQ(calls[0].options.at("choices"), "[('36864', 'Recurse', @a(ss) [], 'false')]");

  // Cancelled: no item list and no pending error.
  FakePortal::Answer cancel;
  cancel.response = 1;
  portal->answerWith(cancel);
  setup.clicks = 0;
  desk::SetLastError(5);
  EXPECT_EQ(desk::SHBrowseForFolderW(&info), nullptr);
  EXPECT_EQ(desk::GetLastError(), 0u);
  EXPECT_EQ(setup.clicks, 0);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));
}

TEST_F(PortalChooser, WithoutAPortalOnTheBusNoChooserAnswersWithoutADisplay) {
  portal.reset();  // the bus stays, nobody owns the portal's name
  testing::internal::CaptureStderr();
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  dialog->SetTitle(u"Nobody home");
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Nobody home"), std::string::npos);
  EXPECT_TRUE(desk::IsWindowEnabled(owner));

  std::string error;
  EXPECT_EQ(desk::choosers::PortalFileChooser::connect("unix:path=/nonexistent/bus", error), nullptr);
  EXPECT_FALSE(error.empty());
  auto chooser = desk::choosers::PortalFileChooser::connect(bus.address(), error);
  ASSERT_NE(chooser, nullptr);
  EXPECT_FALSE(chooser->available());
}

TEST_F(PortalChooser, HeadlessWithoutTheSwitchKeepsTheRecordedStandIns) {
  dt::useRealChoosers(std::nullopt);
  testing::internal::CaptureStderr();
  std::unique_ptr<desk::FileDialog> dialog;
  ASSERT_EQ(desk::createFileDialog(false, &dialog), desk::S_OK);
  EXPECT_EQ(dialog->Show(owner), desk::HRESULT_CANCELLED);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(portal->calls().empty());
  EXPECT_EQ(dt::fileDialogs().size(), 1u);
}

}  // namespace
