// The notification area: icons that windows put there, each a record under (window, id) holding
// its flags, icon, tooltip, state and callback version. Headless: nothing is shown; the test
// controller reads the records back and raises an icon's callback message at a cursor position
// (desk/test.h). Every icon that is not hidden gets a rectangle in a row laid out by the layer at
// the bottom right of the primary monitor, right to left in the order the icons were added.
//
// Calls from any thread. Failures set the calling thread's last error:
//   ERROR_INVALID_WINDOW_HANDLE  NIM_ADD for a window that does not exist;
//   ERROR_ALREADY_EXISTS         NIM_ADD for a (window, id) that has a record;
//   ERROR_NOT_FOUND              any other message for a (window, id) without a record;
//   ERROR_INVALID_PARAMETER      a null record, a wrong cbSize, an unknown message or version;
//   any code a test chose (desk::test::failNotifyIcon).
#pragma once

#include <cstddef>
#include <cstdint>

#include "desk/attributes.h"
#include "desk/types.h"

namespace desk {

constexpr UINT WM_CONTEXTMENU = 0x007B;

constexpr DWORD NIM_ADD = 0x0;
constexpr DWORD NIM_MODIFY = 0x1;
constexpr DWORD NIM_DELETE = 0x2;
constexpr DWORD NIM_SETFOCUS = 0x3;
constexpr DWORD NIM_SETVERSION = 0x4;

constexpr UINT NIF_MESSAGE = 0x01;
constexpr UINT NIF_ICON = 0x02;
constexpr UINT NIF_TIP = 0x04;
constexpr UINT NIF_STATE = 0x08;
constexpr UINT NIF_INFO = 0x10;
constexpr UINT NIF_GUID = 0x20;
constexpr UINT NIF_SHOWTIP = 0x80;

constexpr DWORD NIS_HIDDEN = 0x1;
constexpr DWORD NIS_SHAREDICON = 0x2;

constexpr UINT NOTIFYICON_VERSION = 3;
constexpr UINT NOTIFYICON_VERSION_4 = 4;

constexpr DWORD ERROR_NOT_FOUND = 1168;

struct NOTIFYICONDATAW {
  DWORD cbSize = 0;
  HWND hWnd = nullptr;
  UINT uID = 0;
  UINT uFlags = 0;
  UINT uCallbackMessage = 0;
  HICON hIcon = nullptr;
  char16_t szTip[128] = {};
  DWORD dwState = 0;
  DWORD dwStateMask = 0;
  char16_t szInfo[256] = {};
  union {
    UINT uTimeout;
    UINT uVersion = 0;
  };
  char16_t szInfoTitle[64] = {};
  DWORD dwInfoFlags = 0;
  GUID guidItem{};
  HICON hBalloonIcon = nullptr;
};
static_assert(sizeof(NOTIFYICONDATAW) == 976, "the record of 64-bit systems");

struct NOTIFYICONIDENTIFIER {
  DWORD cbSize = 0;
  HWND hWnd = nullptr;
  UINT uID = 0;
  GUID guidItem{};
};
static_assert(sizeof(NOTIFYICONIDENTIFIER) == 40, "the identifier of 64-bit systems");

// NIM_ADD makes the record (a window and id may have one record), NIM_MODIFY changes the members
// its uFlags name, NIM_DELETE removes it, NIM_SETVERSION sets the callback layout from uVersion
// (0, 3 or 4), NIM_SETFOCUS only checks that the record exists. With NIF_STATE only the bits of
// dwStateMask change. Each add and modify sets whether the standard tooltip shows from its
// NIF_SHOWTIP bit; the tip is read up to its first NUL, at most 128 units. The icon's pixels are
// copied, so the caller may destroy its handle afterwards.
BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data);
inline BOOL Shell_NotifyIcon(DWORD message, NOTIFYICONDATAW* data) {
  return Shell_NotifyIconW(message, data);
}
// The icon's rectangle in screen coordinates (physical pixels). E_FAIL for an icon without a
// record, a hidden icon, or while a test makes the call fail; E_INVALIDARG for a bad identifier.
HRESULT Shell_NotifyIconGetRect(const NOTIFYICONIDENTIFIER* identifier, RECT* rect);

// Whether the point lies in the rectangle (right and bottom edges excluded).
inline BOOL PtInRect(const RECT* rect, POINT pt) {
  return rect != nullptr && pt.x >= rect->left && pt.x < rect->right && pt.y >= rect->top &&
         pt.y < rect->bottom;
}

// The side of one icon's slot at 96 DPI, and the notification area's height when the primary
// monitor's work area leaves no room below it.
constexpr int kTrayIconSlot = 24;
constexpr int kTrayAreaHeight = 40;

}  // namespace desk
