// The system's own dialogs: the common file dialog (open and save), the folder browser and the
// font chooser.
//
// Each is modal: it disables its owner (counted: two dialogs on one owner keep it disabled until
// the last ends) and runs a desk::NestedLoop on the calling thread, so work queued to the thread
// meanwhile still runs. A dialog whose window is closed or destroyed from outside (its owner
// destroyed, say) ends as cancelled.
//
// Who answers:
// - a script a test installs (desk::test below), which runs from the dialog's thread queue once
//   the dialog is up, whatever the backend;
// - with the display backend (desk/display/backend.h), a person: file and folder dialogs go to
//   the desktop's FileChooser portal on the session bus when one answers, else to GTK's file
//   chooser; the font chooser to GTK's. What the dialog was told reaches the chooser one to one
//   (desk/choosers/) and is recorded as in the headless model;
// - otherwise (headless, or no chooser could be shown) nobody: the dialog writes its title to
//   standard error and is cancelled.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "desk/gdi.h"
#include "desk/shell.h"
#include "desk/types.h"

namespace desk {

// ---- owners ----
// Disables the owner on the first hold and enables it again on the last release (when it was
// enabled before the first hold). Returns the holds left after the call.
int holdOwner(HWND owner);
int releaseOwner(HWND owner);
// How many system dialogs hold this owner now.
int ownerHolds(HWND owner);

// ---- file dialogs ----
constexpr DWORD FOS_OVERWRITEPROMPT = 0x2;
constexpr DWORD FOS_PICKFOLDERS = 0x20;
constexpr DWORD FOS_ALLOWMULTISELECT = 0x200;
constexpr DWORD FOS_PATHMUSTEXIST = 0x800;
constexpr DWORD FOS_FILEMUSTEXIST = 0x1000;

// Show's answer when the user cancels.
constexpr HRESULT HRESULT_CANCELLED = static_cast<HRESULT>(0x800704C7);

enum SIGDN : uint32_t { SIGDN_FILESYSPATH = 0x80058000u };

struct COMDLG_FILTERSPEC {
  const char16_t* pszName = nullptr;
  const char16_t* pszSpec = nullptr;
};

// A place in the file system.
class ShellItem {
 public:
  explicit ShellItem(std::u16string path, bool readable = true)
      : path_(std::move(path)), readable_(readable) {}
  // The path; fails (E_FAIL) for an item that has none.
  HRESULT GetDisplayName(SIGDN kind, std::u16string* name) const;

 private:
  std::u16string path_;
  bool readable_;
};
// An item for an existing path; 0x80070002 (file not found) otherwise.
HRESULT SHCreateItemFromParsingName(const char16_t* path, void* bindContext,
                                    std::shared_ptr<ShellItem>* item);

struct FileDialogCheckBox {
  DWORD id = 0;
  std::u16string label;
  bool checked = false;  // the initial state
};

// Everything a file dialog was told before it was shown, with the portal's options one to one:
// title, accept label, filters (and the selected one), current folder, current name, multiple,
// directory, and the check boxes as choices.
struct FileDialogRecord {
  bool save = false;
  HWND owner = nullptr;
  DWORD options = 0;
  std::u16string fileName;
  std::u16string folder;  // set only for a folder that exists
  std::u16string title;
  std::u16string okLabel;
  std::vector<std::pair<std::u16string, std::u16string>> fileTypes;  // name, patterns
  UINT fileTypeIndex = 0;  // from 1; 0 when none was chosen
  std::u16string defaultExtension;
  DWORD groupId = 0;
  bool groupOpen = false;
  std::vector<FileDialogCheckBox> checkBoxes;
  bool shown = false;
};

class FileDialog {
 public:
  explicit FileDialog(bool save);
  HRESULT SetOptions(DWORD options);
  HRESULT GetOptions(DWORD* options) const;
  HRESULT SetFileName(const char16_t* name);
  HRESULT SetFolder(const ShellItem* folder);
  HRESULT SetTitle(const char16_t* title);
  HRESULT SetOkButtonLabel(const char16_t* label);
  HRESULT SetFileTypes(UINT count, const COMDLG_FILTERSPEC* types);
  HRESULT SetFileTypeIndex(UINT index);
  HRESULT SetDefaultExtension(const char16_t* extension);
  // The customisation: one visual group holding check boxes.
  HRESULT StartVisualGroup(DWORD id, const char16_t* label);
  HRESULT EndVisualGroup();
  HRESULT AddCheckButton(DWORD id, const char16_t* label, BOOL checked);
  HRESULT GetCheckButtonState(DWORD id, BOOL* checked) const;
  // Modal. S_OK when the user confirmed, HRESULT_CANCELLED when cancelled, another failure when
  // the dialog could not be shown.
  HRESULT Show(HWND owner);
  // The chosen item (save, or the first of an open dialog); E_FAIL before a confirmed Show.
  HRESULT GetResult(std::shared_ptr<ShellItem>* item) const;
  HRESULT GetResults(std::vector<std::shared_ptr<ShellItem>>* items) const;

  const FileDialogRecord& record() const { return record_; }

 private:
  FileDialogRecord record_;
  std::vector<std::shared_ptr<ShellItem>> results_;
  bool resultsFail_ = false;
  std::map<DWORD, bool> finalChecks_;
};

// The open or save dialog; failure when the layer is told to refuse (tests).
HRESULT createFileDialog(bool save, std::unique_ptr<FileDialog>* dialog);

// ---- folder browser ----
constexpr UINT BIF_RETURNONLYFSDIRS = 0x1;
constexpr UINT BIF_NEWDIALOGSTYLE = 0x40;
constexpr UINT BFFM_INITIALIZED = 1;
constexpr UINT BFFM_SETSELECTIONW = WM_USER + 103;
// The browser's description line (the prompt text).
constexpr int kFolderDescriptionId = 14146;

using BFFCALLBACK = int (*)(HWND browser, UINT message, LPARAM lParam, LPARAM data);

struct BROWSEINFOW {
  HWND hwndOwner = nullptr;
  const ITEMIDLIST* pidlRoot = nullptr;
  char16_t* pszDisplayName = nullptr;
  const char16_t* lpszTitle = nullptr;
  UINT ulFlags = 0;
  BFFCALLBACK lpfn = nullptr;
  LPARAM lParam = 0;
  int iImage = 0;
};

// Builds the browser window (caption "Browse For Folder"; children: the description line, a host
// window holding the "SysTreeView32" tree, the IDOK and IDCANCEL buttons), calls the callback with
// BFFM_INITIALIZED and runs modally. The chosen folder as an item list (free it with
// CoTaskMemFree), or null when cancelled; the thread's last error is what the browser left.
ITEMIDLIST* SHBrowseForFolderW(BROWSEINFOW* info);
// The item's path into a MAX_PATH buffer (false, with nothing written past the terminator, when it
// does not fit).
BOOL SHGetPathFromIDListW(const ITEMIDLIST* list, char16_t* path);
// The same into a buffer of `length` units.
BOOL SHGetPathFromIDListEx(const ITEMIDLIST* list, char16_t* path, DWORD length, int flags);

// ---- font chooser ----
constexpr DWORD CF_SCREENFONTS = 0x1;
constexpr DWORD CF_ENABLEHOOK = 0x8;
constexpr DWORD CF_INITTOLOGFONTSTRUCT = 0x40;
constexpr DWORD CF_EFFECTS = 0x100;
// The chooser's colour label and colour box.
constexpr int kFontColorLabelId = 1091;
constexpr int kFontColorBoxId = 1139;

using LPCFHOOKPROC = UINT_PTR (*)(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

struct CHOOSEFONTW {
  DWORD lStructSize = 0;
  HWND hwndOwner = nullptr;
  HDC hDC = nullptr;
  LOGFONTW* lpLogFont = nullptr;
  int iPointSize = 0;
  DWORD Flags = 0;
  COLORREF rgbColors = 0;
  LPARAM lCustData = 0;
  LPCFHOOKPROC lpfnHook = nullptr;
  const char16_t* lpTemplateName = nullptr;
  HINSTANCE hInstance = nullptr;
  char16_t* lpszStyle = nullptr;
  uint16_t nFontType = 0;
  int nSizeMin = 0;
  int nSizeMax = 0;
};

// 1 when the user confirmed (the LOGFONTW and rgbColors then hold the choice), 0 otherwise.
BOOL ChooseFontW(CHOOSEFONTW* choice);
// The last chooser failure (0 for a plain cancel).
DWORD CommDlgExtendedError();

// Font enumeration: one call per installed family, in the system's order, until the callback
// answers 0. Returns the callback's last answer (1 when there was no font).
using FONTENUMPROCW = int (*)(const LOGFONTW* font, const TEXTMETRICW* metrics, DWORD type,
                              LPARAM data);
int EnumFontFamiliesExW(HDC dc, LOGFONTW* filter, FONTENUMPROCW proc, LPARAM data, DWORD flags);

namespace test {

// -- file dialogs --
struct FileDialogAnswer {
  enum class Kind { Cancel, Choose, Fail };
  Kind kind = Kind::Cancel;
  std::vector<std::string> paths;  // UTF-8
  std::set<size_t> unreadable;     // positions in `paths` whose item has no file-system path
  std::map<DWORD, bool> checks;    // final check-box states by id (others keep theirs)
  bool resultsFail = false;        // GetResult/GetResults fail after a confirmation
  HRESULT failure = E_FAIL;        // Show's answer for Kind::Fail
};
// Runs once per Show on the dialog's thread, inside its loop.
void setFileDialogScript(std::function<FileDialogAnswer(const FileDialogRecord& dialog)> script);
void failFileDialogCreation(bool fail);
// Every file dialog shown since reset, as it was told before it was shown.
std::vector<FileDialogRecord> fileDialogs();

// -- folder browser --
struct FolderAnswer {
  bool choose = false;
  std::string path;   // UTF-8, for choose
  DWORD lastError = 0;  // set as the thread's last error when the browser ends
};
// Runs once per browser on its thread, inside its loop; it may drive the browser window (click
// its controls, read their texts and places) before it answers.
void setFolderBrowserScript(std::function<FolderAnswer(HWND browser)> script);
// The handle of the last browser made (it is destroyed when the browser ends; snapshots remain).
HWND lastFolderBrowser();
// Clicks the child with that control id (BM_CLICK); false when there is none.
bool clickControl(HWND parent, int id);

// -- font chooser --
struct FontChooserRecord {
  HWND owner = nullptr;
  DWORD flags = 0;
  LOGFONTW initial;
  COLORREF initialColor = 0;
  bool hooked = false;
  // After the hook saw WM_INITDIALOG.
  bool colorLabelVisible = true;
  bool colorBoxVisible = true;
};
struct FontAnswer {
  enum class Kind { Cancel, Choose, Fail };
  Kind kind = Kind::Cancel;
  std::optional<LOGFONTW> font;  // nullopt: keep the initial font
  std::optional<COLORREF> color;  // nullopt: keep the initial colour
  DWORD error = 0;               // CommDlgExtendedError for Kind::Fail
};
void setFontChooserScript(std::function<FontAnswer(const FontChooserRecord& chooser)> script);
std::vector<FontChooserRecord> fontChoosers();
// The families EnumFontFamiliesExW lists (nullopt: the installed ones).
void setFontFamilies(std::optional<std::vector<std::string>> families);

// -- the real choosers --
// Sends dialogs without a script to the real choosers whatever the backend: the portal on the bus
// at `portalBus` (an empty address: no portal, GTK straight away), GTK on the display that
// DISPLAY names. nullopt: back to the default (real choosers only with the display backend, the
// portal on the session bus).
void useRealChoosers(std::optional<std::string> portalBus);

// Back to the defaults above (no scripts, no refusals, no records, the installed fonts).
void resetSystemDialogs();

}  // namespace test

}  // namespace desk
