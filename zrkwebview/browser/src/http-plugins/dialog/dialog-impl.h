// The dialogs of the dialog plugin, on the platform layer's system dialogs (desk/system_dialogs.h)
// and the framework's alert (zrk::AlertDialog). UI thread only.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/gdi.h"
#include "desk/types.h"

namespace zrk::plugin {

// A number a page gave as an integer: integers as they are, floating values cut toward zero;
// nullopt for other types, NaN and values outside [min, max].
std::optional<int64_t> pageInteger(const nlohmann::json& value, int64_t min, int64_t max);

// ---- file dialogs ----
struct FileFilter {
  std::string name;
  std::string patterns;  // "*.png;*.jpg"
};
// One filter object as the dialog's display name and pattern list; both empty when unusable.
FileFilter parseFileFilter(const nlohmann::json& filter);
// The open or save dialog ("action" "save"). True when the user confirmed and `result` holds
// {"path": [...], "values": null|{...}} (open) or {"path": "..."} (save).
bool showFileDialog(desk::HWND owner, const nlohmann::json& options, nlohmann::json& result);

// ---- folder browser ----
struct FolderOption {
  std::string variable;
  std::u16string text;
  bool value = false;
  int id = -1;  // the check box's control id once it is made
};
// What the browser's callbacks share for one call.
struct FolderBrowseState {
  std::u16string title;
  std::u16string defaultPath;
  std::u16string buttonLabel;
  std::u16string description;
  std::optional<std::vector<FolderOption>> options;  // present when an entry was accepted
};
constexpr int kFolderOptionFirstId = 0x9000;
constexpr int kFolderOptionHeight = 20;
constexpr int kFolderOptionRow = 28;
constexpr int kFolderOptionGap = 8;
constexpr desk::UINT_PTR kFolderSubclassId = 256;

FolderBrowseState folderBrowseState(const nlohmann::json& options);
int folderBrowseCallback(desk::HWND browser, desk::UINT message, desk::LPARAM lParam,
                         desk::LPARAM data);
desk::BOOL findTreeViewChild(desk::HWND hwnd, desk::LPARAM found);
desk::LRESULT folderOptionSubclassProc(desk::HWND hwnd, desk::UINT message, desk::WPARAM wParam,
                                       desk::LPARAM lParam, desk::UINT_PTR id,
                                       desk::DWORD_PTR refData);
// True with {"path", "values"?} when a folder was chosen; false when cancelled with no pending
// system error; throws std::runtime_error "<system text> (<code>)" otherwise.
bool showFolderDialog(desk::HWND owner, const nlohmann::json& options, nlohmann::json& result);

// ---- font chooser ----
int pointsToFontHeight(desk::HDC dc, int points);
int fontHeightToPoints(desk::HDC dc, int height);
desk::UINT_PTR fontDialogHook(desk::HWND dialog, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam);
struct FontFamilyLookup {
  bool familyFound = false;
  bool exactFound = false;
  std::u16string family;
  std::u16string face;  // the searched face
};
int fontFamilyEnumProc(const desk::LOGFONTW* font, const desk::TEXTMETRICW* metrics,
                       desk::DWORD type, desk::LPARAM data);
// The first 31 UTF-16 units of the name, one fewer when the cut would split a surrogate pair.
std::u16string cutFaceName(const std::u16string& name);
bool showFontDialog(desk::HWND owner, const nlohmann::json& options, nlohmann::json& result);

// ---- alert ----
// The alert's result list as the page's value: {"button": int, "suppression": bool}, null for an
// empty list.
nlohmann::json alertResultOf(const std::vector<std::any>& values);
// Shows the alert and returns; `onResult` gets exactly one value later (null when the dialog could
// not be made). Throws the JSON type error for a "buttonsLayout" that is not a string.
void showAlertDialog(desk::HWND owner, const nlohmann::json& options,
                     std::function<void(const nlohmann::json&)> onResult);

}  // namespace zrk::plugin
