// The shell: the recycle bin (the freedesktop trash), opening files and folders with their
// applications (xdg-open), and revealing an item in its folder.
//
// Nothing here runs a shell: programs get their arguments as an argument vector.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "desk/com.h"
#include "desk/errors.h"
#include "desk/types.h"

namespace desk {

// --- the recycle bin ---
constexpr UINT FO_MOVE = 1;
constexpr UINT FO_COPY = 2;
constexpr UINT FO_DELETE = 3;
constexpr UINT FO_RENAME = 4;
constexpr uint16_t FOF_SILENT = 0x0004;
constexpr uint16_t FOF_NOCONFIRMATION = 0x0010;
constexpr uint16_t FOF_ALLOWUNDO = 0x0040;
constexpr uint16_t FOF_NOERRORUI = 0x0400;


struct SHFILEOPSTRUCTW {
  HWND hwnd = nullptr;
  UINT wFunc = 0;
  const char16_t* pFrom = nullptr;  // names, each NUL-terminated, the list ending in an empty name
  const char16_t* pTo = nullptr;
  uint16_t fFlags = 0;
  BOOL fAnyOperationsAborted = 0;
  void* hNameMappings = nullptr;
  const char16_t* lpszProgressTitle = nullptr;
};

// Only moving to the recycle bin is offered: FO_DELETE with FOF_ALLOWUNDO (no dialogs are ever
// shown). Each named item goes to the trash in turn; the first failure stops the operation. Returns
// 0 on success; otherwise non-zero, with the calling thread's last error saying why
// (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_SAME_DEVICE when the item's file system has
// no usable trash, ERROR_INVALID_PARAMETER for a bad name, ERROR_NOT_SUPPORTED for any other
// operation).
int SHFileOperationW(SHFILEOPSTRUCTW* operation);

// Moves one file, folder or link (not what a link points to) to the trash: the home trash
// ($XDG_DATA_HOME/Trash) for items on its file system, else "$topdir/.Trash-$uid" at the top of the
// item's mount. An info file is claimed first (O_EXCL), the item is then renamed beside it; a name
// already in the trash gets a number ("photo.2.jpg"). On failure nothing has moved, no info file
// is left, the last error is set and `error` (when given) says why in words.
bool moveToTrash(const std::string& path, std::string* error = nullptr);

// --- launching ---
struct LaunchRequest {
  std::vector<std::string> argv;  // the program first
  std::string workingFolder;      // empty: the current folder
};

// Starts programs. The real launcher looks the program up on PATH, starts it detached (no zombie is
// ever left: an intermediate child is reaped at once) and reports a program that is missing or
// cannot be run. Returns 0 or a system error code (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
class Launcher {
 public:
  virtual ~Launcher() = default;
  virtual DWORD launch(const LaunchRequest& request) = 0;
};
// Null puts the real launcher back.
void setLauncher(std::shared_ptr<Launcher> launcher);
std::shared_ptr<Launcher> currentLauncher();

// ShellExecute's small error values (results of 32 and below).
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_PNF = 3;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_OOM = 8;
constexpr int SE_ERR_NOASSOC = 31;

// Verbs: "open" (or none) opens the file, folder or URL with its application (xdg-open); with
// parameters, the file is run as a program with the parameters as its arguments (split at blanks,
// double quotes grouping; no shell). "explore" opens a folder (a file is refused with SE_ERR_FNF).
// Any other verb has no association. The result is above 32 on success, else one of the small
// error values above.
HINSTANCE ShellExecuteW(HWND owner, const char16_t* verb, const char16_t* file,
                        const char16_t* parameters, const char16_t* folder, int show);

constexpr DWORD SEE_MASK_NOCLOSEPROCESS = 0x40;
struct SHELLEXECUTEINFOW {
  DWORD cbSize = sizeof(SHELLEXECUTEINFOW);
  DWORD fMask = 0;
  HWND hwnd = nullptr;
  const char16_t* lpVerb = nullptr;
  const char16_t* lpFile = nullptr;
  const char16_t* lpParameters = nullptr;
  const char16_t* lpDirectory = nullptr;
  int nShow = 0;
  HINSTANCE hInstApp = nullptr;
  HANDLE hProcess = nullptr;  // never set: the started program is not watched
};
// As ShellExecuteW; false with the last error set (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_NO_ASSOCIATION) on failure.
BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info);

// --- revealing ---
// An item list names one existing item; free it with CoTaskMemFree (or ILFree).
struct ITEMIDLIST;
HRESULT SHParseDisplayName(const char16_t* name, void* bindContext, ITEMIDLIST** list,
                           DWORD attributesIn, DWORD* attributesOut);
// Opens the folder that holds the item (never the item itself).
HRESULT SHOpenFolderAndSelectItems(const ITEMIDLIST* folder, UINT count, const ITEMIDLIST** items,
                                   DWORD flags);
void ILFree(ITEMIDLIST* list);

}  // namespace desk
