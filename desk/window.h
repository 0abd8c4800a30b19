// Windows: classes, the window table, window procedures, geometry, show state, z-order, focus,
// timers, monitors and DPI, input and menus. Headless: nothing is drawn; every state is kept in
// one thread-safe table that any thread may query. A window's procedure only ever runs on the
// thread that created the window: a change made from another thread is carried out there as a
// sent message.
//
// Failures set the calling thread's last error with the platform's codes:
//   ERROR_INVALID_WINDOW_HANDLE  a handle that names no window (handles are never reused);
//   ERROR_CANNOT_FIND_WND_CLASS / ERROR_CLASS_DOES_NOT_EXIST / ERROR_CLASS_ALREADY_EXISTS;
//   ERROR_ACCESS_DENIED          DestroyWindow of another thread's window;
//   ERROR_INVALID_INDEX          a Get/SetWindowLongPtr index the window does not have;
//   ERROR_TIMEOUT                a send to a thread that stopped retrieving messages.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "desk/types.h"

namespace desk {

using WNDPROC = LRESULT (*)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
using TIMERPROC = void (*)(HWND hwnd, UINT message, UINT_PTR id, DWORD time);
using WNDENUMPROC = BOOL (*)(HWND hwnd, LPARAM lParam);
using MONITORENUMPROC = BOOL (*)(HMONITOR monitor, HDC dc, RECT* rect, LPARAM lParam);
using SUBCLASSPROC = LRESULT (*)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                 UINT_PTR idSubclass, DWORD_PTR refData);

// ---- structures --------------------------------------------------------------------------------

struct WNDCLASSEX {
  UINT cbSize = sizeof(WNDCLASSEX);
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int cbClsExtra = 0;
  int cbWndExtra = 0;
  HINSTANCE hInstance = nullptr;
  HICON hIcon = nullptr;
  HCURSOR hCursor = nullptr;
  HBRUSH hbrBackground = nullptr;
  const char16_t* lpszMenuName = nullptr;
  const char16_t* lpszClassName = nullptr;
  HICON hIconSm = nullptr;
};

struct WNDCLASS {
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int cbClsExtra = 0;
  int cbWndExtra = 0;
  HINSTANCE hInstance = nullptr;
  HICON hIcon = nullptr;
  HCURSOR hCursor = nullptr;
  HBRUSH hbrBackground = nullptr;
  const char16_t* lpszMenuName = nullptr;
  const char16_t* lpszClassName = nullptr;
};

struct CREATESTRUCT {
  void* lpCreateParams = nullptr;
  HINSTANCE hInstance = nullptr;
  HMENU hMenu = nullptr;
  HWND hwndParent = nullptr;
  int cy = 0;
  int cx = 0;
  int y = 0;
  int x = 0;
  int32_t style = 0;
  const char16_t* lpszName = nullptr;
  const char16_t* lpszClass = nullptr;
  DWORD dwExStyle = 0;
};

struct MINMAXINFO {
  POINT ptReserved;
  POINT ptMaxSize;
  POINT ptMaxPosition;
  POINT ptMinTrackSize;
  POINT ptMaxTrackSize;
};

struct WINDOWPOS {
  HWND hwnd = nullptr;
  HWND hwndInsertAfter = nullptr;
  int x = 0;
  int y = 0;
  int cx = 0;
  int cy = 0;
  UINT flags = 0;
};

struct NCCALCSIZE_PARAMS {
  RECT rgrc[3];
  WINDOWPOS* lppos = nullptr;
};

struct STYLESTRUCT {
  DWORD styleOld = 0;
  DWORD styleNew = 0;
};

struct WINDOWPLACEMENT {
  UINT length = sizeof(WINDOWPLACEMENT);
  UINT flags = 0;
  UINT showCmd = 0;
  POINT ptMinPosition;
  POINT ptMaxPosition;
  RECT rcNormalPosition;
};

struct MONITORINFO {
  DWORD cbSize = sizeof(MONITORINFO);
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags = 0;
};

struct MONITORINFOEX : MONITORINFO {
  MONITORINFOEX() { cbSize = sizeof(MONITORINFOEX); }
  char16_t szDevice[32] = {};
};

struct TPMPARAMS {
  UINT cbSize = sizeof(TPMPARAMS);
  RECT rcExclude;
};

// ---- constants ---------------------------------------------------------------------------------

inline HWND const HWND_TOP = reinterpret_cast<HWND>(0);
inline HWND const HWND_BOTTOM = reinterpret_cast<HWND>(1);
inline HWND const HWND_TOPMOST = reinterpret_cast<HWND>(-1);
inline HWND const HWND_NOTOPMOST = reinterpret_cast<HWND>(-2);

constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_MINIMIZE = 0x20000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
constexpr DWORD WS_MAXIMIZE = 0x01000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_DLGFRAME = 0x00400000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_HSCROLL = 0x00100000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_THICKFRAME = 0x00040000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
constexpr DWORD WS_MAXIMIZEBOX = 0x00010000;
constexpr DWORD WS_OVERLAPPEDWINDOW =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
constexpr DWORD WS_POPUPWINDOW = WS_POPUP | WS_BORDER | WS_SYSMENU;

constexpr DWORD WS_EX_DLGMODALFRAME = 0x00000001;
constexpr DWORD WS_EX_NOPARENTNOTIFY = 0x00000004;
constexpr DWORD WS_EX_TOPMOST = 0x00000008;
constexpr DWORD WS_EX_TRANSPARENT = 0x00000020;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;
constexpr DWORD WS_EX_WINDOWEDGE = 0x00000100;
constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;
constexpr DWORD WS_EX_CONTROLPARENT = 0x00010000;
constexpr DWORD WS_EX_STATICEDGE = 0x00020000;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000;
constexpr DWORD WS_EX_LAYERED = 0x00080000;
constexpr DWORD WS_EX_NOACTIVATE = 0x08000000;

constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr UINT CS_DBLCLKS = 0x0008;

constexpr int GWL_WNDPROC = -4;
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_HWNDPARENT = -8;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWLP_USERDATA = -21;
constexpr int GWLP_ID = -12;

constexpr UINT GW_HWNDFIRST = 0;
constexpr UINT GW_HWNDLAST = 1;
constexpr UINT GW_HWNDNEXT = 2;
constexpr UINT GW_HWNDPREV = 3;
constexpr UINT GW_OWNER = 4;
constexpr UINT GW_CHILD = 5;

constexpr UINT GA_PARENT = 1;
constexpr UINT GA_ROOT = 2;
constexpr UINT GA_ROOTOWNER = 3;

constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOREDRAW = 0x0008;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_FRAMECHANGED = 0x0020;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;
constexpr UINT SWP_NOCOPYBITS = 0x0100;
constexpr UINT SWP_NOOWNERZORDER = 0x0200;
constexpr UINT SWP_NOSENDCHANGING = 0x0400;
constexpr UINT SWP_DEFERERASE = 0x2000;
constexpr UINT SWP_ASYNCWINDOWPOS = 0x4000;
constexpr UINT SWP_NOCLIENTSIZE = 0x0800;
constexpr UINT SWP_NOCLIENTMOVE = 0x1000;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_NORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_MAXIMIZE = 3;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWMINNOACTIVE = 7;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;
constexpr int SW_SHOWDEFAULT = 10;
constexpr int SW_FORCEMINIMIZE = 11;

constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM SIZE_MINIMIZED = 1;
constexpr WPARAM SIZE_MAXIMIZED = 2;

constexpr UINT WPF_SETMINPOSITION = 0x0001;
constexpr UINT WPF_RESTORETOMAXIMIZED = 0x0002;

constexpr WPARAM WA_INACTIVE = 0;
constexpr WPARAM WA_ACTIVE = 1;
constexpr WPARAM WA_CLICKACTIVE = 2;
constexpr LRESULT MA_ACTIVATE = 1;

constexpr LRESULT HTERROR = -2;
constexpr LRESULT HTTRANSPARENT = -1;
constexpr LRESULT HTNOWHERE = 0;
constexpr LRESULT HTCLIENT = 1;
constexpr LRESULT HTCAPTION = 2;
constexpr LRESULT HTSYSMENU = 3;
constexpr LRESULT HTMENU = 5;
constexpr LRESULT HTMINBUTTON = 8;
constexpr LRESULT HTMAXBUTTON = 9;
constexpr LRESULT HTLEFT = 10;
constexpr LRESULT HTRIGHT = 11;
constexpr LRESULT HTTOP = 12;
constexpr LRESULT HTTOPLEFT = 13;
constexpr LRESULT HTTOPRIGHT = 14;
constexpr LRESULT HTBOTTOM = 15;
constexpr LRESULT HTBOTTOMLEFT = 16;
constexpr LRESULT HTBOTTOMRIGHT = 17;
constexpr LRESULT HTBORDER = 18;
constexpr LRESULT HTCLOSE = 20;

constexpr WPARAM SC_SIZE = 0xF000;
constexpr WPARAM SC_MOVE = 0xF010;
constexpr WPARAM SC_MINIMIZE = 0xF020;
constexpr WPARAM SC_MAXIMIZE = 0xF030;
constexpr WPARAM SC_CLOSE = 0xF060;
constexpr WPARAM SC_KEYMENU = 0xF100;
constexpr WPARAM SC_RESTORE = 0xF120;

constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;
constexpr int SM_CXVSCROLL = 2;
constexpr int SM_CYHSCROLL = 3;
constexpr int SM_CYCAPTION = 4;
constexpr int SM_CXBORDER = 5;
constexpr int SM_CYBORDER = 6;
constexpr int SM_CXDLGFRAME = 7;
constexpr int SM_CYDLGFRAME = 8;
constexpr int SM_CXFIXEDFRAME = 7;
constexpr int SM_CYFIXEDFRAME = 8;
constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;
constexpr int SM_CYMENU = 15;
constexpr int SM_CXFULLSCREEN = 16;
constexpr int SM_CYFULLSCREEN = 17;
constexpr int SM_CXMIN = 28;
constexpr int SM_CYMIN = 29;
constexpr int SM_CXSIZE = 30;
constexpr int SM_CYSIZE = 31;
constexpr int SM_CXFRAME = 32;
constexpr int SM_CYFRAME = 33;
constexpr int SM_CXSIZEFRAME = 32;
constexpr int SM_CYSIZEFRAME = 33;
constexpr int SM_CXMINTRACK = 34;
constexpr int SM_CYMINTRACK = 35;
constexpr int SM_CXEDGE = 45;
constexpr int SM_CYEDGE = 46;
constexpr int SM_CXSMICON = 49;
constexpr int SM_CYSMICON = 50;
constexpr int SM_CXMAXTRACK = 59;
constexpr int SM_CYMAXTRACK = 60;
constexpr int SM_CXMAXIMIZED = 61;
constexpr int SM_CYMAXIMIZED = 62;
constexpr int SM_XVIRTUALSCREEN = 76;
constexpr int SM_YVIRTUALSCREEN = 77;
constexpr int SM_CXVIRTUALSCREEN = 78;
constexpr int SM_CYVIRTUALSCREEN = 79;
constexpr int SM_CMONITORS = 80;
constexpr int SM_CXPADDEDBORDER = 92;

constexpr DWORD MONITOR_DEFAULTTONULL = 0;
constexpr DWORD MONITOR_DEFAULTTOPRIMARY = 1;
constexpr DWORD MONITOR_DEFAULTTONEAREST = 2;
constexpr DWORD MONITORINFOF_PRIMARY = 1;
constexpr int MDT_EFFECTIVE_DPI = 0;
constexpr int MDT_ANGULAR_DPI = 1;
constexpr int MDT_RAW_DPI = 2;
constexpr UINT USER_DEFAULT_SCREEN_DPI = 96;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

constexpr WPARAM MK_LBUTTON = 0x0001;
constexpr WPARAM MK_RBUTTON = 0x0002;
constexpr WPARAM MK_SHIFT = 0x0004;
constexpr WPARAM MK_CONTROL = 0x0008;
constexpr WPARAM MK_MBUTTON = 0x0010;

constexpr WPARAM ICON_SMALL = 0;
constexpr WPARAM ICON_BIG = 1;

// Menus.
constexpr UINT MF_BYCOMMAND = 0x0000;
constexpr UINT MF_BYPOSITION = 0x0400;
constexpr UINT MF_ENABLED = 0x0000;
constexpr UINT MF_GRAYED = 0x0001;
constexpr UINT MF_DISABLED = 0x0002;
constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_CHECKED = 0x0008;
constexpr UINT MF_POPUP = 0x0010;
constexpr UINT MF_SEPARATOR = 0x0800;
constexpr UINT TPM_LEFTALIGN = 0x0000;
constexpr UINT TPM_RIGHTBUTTON = 0x0002;
constexpr UINT TPM_NONOTIFY = 0x0080;
constexpr UINT TPM_RETURNCMD = 0x0100;

// Layered windows and animation.
constexpr DWORD LWA_COLORKEY = 0x00000001;
constexpr DWORD LWA_ALPHA = 0x00000002;
constexpr DWORD AW_HOR_POSITIVE = 0x00000001;
constexpr DWORD AW_HOR_NEGATIVE = 0x00000002;
constexpr DWORD AW_VER_POSITIVE = 0x00000004;
constexpr DWORD AW_VER_NEGATIVE = 0x00000008;
constexpr DWORD AW_CENTER = 0x00000010;
constexpr DWORD AW_HIDE = 0x00010000;
constexpr DWORD AW_ACTIVATE = 0x00020000;
constexpr DWORD AW_SLIDE = 0x00040000;
constexpr DWORD AW_BLEND = 0x00080000;

// SendMessageTimeout flags.
constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;
constexpr UINT SMTO_NOTIMEOUTIFNOTHUNG = 0x0008;

inline constexpr WPARAM MAKEWPARAM(int lo, int hi) {
  return static_cast<WPARAM>((static_cast<uint32_t>(lo) & 0xFFFF) |
                             ((static_cast<uint32_t>(hi) & 0xFFFF) << 16));
}
inline constexpr LPARAM MAKELPARAM(int lo, int hi) {
  return static_cast<LPARAM>(static_cast<int32_t>((static_cast<uint32_t>(lo) & 0xFFFF) |
                                                  ((static_cast<uint32_t>(hi) & 0xFFFF) << 16)));
}
inline constexpr int GET_X_LPARAM(LPARAM l) { return static_cast<int16_t>(l & 0xFFFF); }
inline constexpr int GET_Y_LPARAM(LPARAM l) { return static_cast<int16_t>((l >> 16) & 0xFFFF); }
inline constexpr UINT LOWORD(uintptr_t v) { return static_cast<UINT>(v & 0xFFFF); }
inline constexpr UINT HIWORD(uintptr_t v) { return static_cast<UINT>((v >> 16) & 0xFFFF); }
inline const char16_t* MAKEINTATOM(ATOM atom) {
  return reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(atom));
}
// number * numerator / denominator, rounded half away from zero; -1 for a zero denominator.
inline int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  int64_t n = static_cast<int64_t>(number) * numerator;
  int64_t d = denominator;
  if (d < 0) {
    n = -n;
    d = -d;
  }
  int64_t r = n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d);
  return static_cast<int>(r);
}

// ---- classes -----------------------------------------------------------------------------------

// Class names are compared without regard to ASCII case. A class belongs to the process.
ATOM RegisterClassEx(const WNDCLASSEX* wc);
ATOM RegisterClass(const WNDCLASS* wc);
BOOL UnregisterClass(const char16_t* className, HINSTANCE instance);
BOOL GetClassInfoEx(HINSTANCE instance, const char16_t* className, WNDCLASSEX* out);
int GetClassName(HWND hwnd, char16_t* buffer, int maxCount);

// ---- windows -----------------------------------------------------------------------------------

// Creates a window on the calling thread, sending, in order: WM_GETMINMAXINFO (top-level),
// WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE, WM_MOVE; then WM_PARENTNOTIFY to the parent of
// a child, and the show sequence for WS_VISIBLE. WM_NCCREATE returning 0 or WM_CREATE returning
// -1 destroys the window again and gives null. `parent` HWND_MESSAGE makes a message-only window.
// For a top-level window `parent` is the owner.
HWND CreateWindowEx(DWORD exStyle, const char16_t* className, const char16_t* windowName,
                    DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                    HINSTANCE instance, void* param);
// Destroys owned windows first, then sends WM_DESTROY to the window and its children (parent
// first) and WM_NCDESTROY (children first, the window last). Only the window's thread may.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);

LRESULT DefWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CallWindowProc(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Same thread: a direct call of the procedure. Another thread: the caller blocks until the
// window's thread has served it and meanwhile serves sends made to its own thread; a window or
// thread that goes away meanwhile gives 0 (ERROR_INVALID_WINDOW_HANDLE), a thread that stops
// retrieving messages for the hung limit gives 0 (ERROR_TIMEOUT). HWND_BROADCAST sends one copy
// to every top-level window (message-only windows excepted), skipping hung threads, and
// returns 1.
LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// As SendMessage with a time limit on the clock; `result` receives the procedure's result.
// Returns 0 on failure or timeout, else non-zero.
LRESULT SendMessageTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                           UINT timeoutMs, DWORD_PTR* result);
BOOL InSendMessage();

LONG_PTR GetWindowLongPtr(HWND hwnd, int index);
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value);
inline LONG_PTR GetWindowLong(HWND hwnd, int index) { return GetWindowLongPtr(hwnd, index); }
inline LONG_PTR SetWindowLong(HWND hwnd, int index, LONG_PTR value) {
  return SetWindowLongPtr(hwnd, index, value);
}
LONG_PTR GetClassLongPtr(HWND hwnd, int index);

BOOL SetProp(HWND hwnd, const char16_t* name, HANDLE data);
HANDLE GetProp(HWND hwnd, const char16_t* name);
HANDLE RemoveProp(HWND hwnd, const char16_t* name);
BOOL SetProp(HWND hwnd, const char* name, HANDLE data);
HANDLE GetProp(HWND hwnd, const char* name);
HANDLE RemoveProp(HWND hwnd, const char* name);

BOOL SetWindowText(HWND hwnd, const char16_t* text);
int GetWindowText(HWND hwnd, char16_t* buffer, int maxCount);
int GetWindowTextLength(HWND hwnd);

HWND GetParent(HWND hwnd);  // the parent of a child, the owner of an owned top-level window
HWND GetWindow(HWND hwnd, UINT cmd);
HWND GetAncestor(HWND hwnd, UINT flags);
HWND GetDesktopWindow();
BOOL IsChild(HWND parent, HWND hwnd);
BOOL EnumWindows(WNDENUMPROC proc, LPARAM lParam);  // top-level windows, front to back
BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam);
BOOL EnumThreadWindows(DWORD threadId, WNDENUMPROC proc, LPARAM lParam);
HWND FindWindowEx(HWND parent, HWND childAfter, const char16_t* className,
                  const char16_t* windowName);
HWND FindWindow(const char16_t* className, const char16_t* windowName);
HWND WindowFromPoint(POINT point);
HWND ChildWindowFromPoint(HWND parent, POINT point);

BOOL SetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR refData);
BOOL GetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR* refData);
BOOL RemoveWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id);
LRESULT DefSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// ---- geometry, show state and placement --------------------------------------------------------

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
BOOL GetWindowRect(HWND hwnd, RECT* rect);  // screen coordinates
BOOL GetClientRect(HWND hwnd, RECT* rect);  // client coordinates: left and top are 0
BOOL ClientToScreen(HWND hwnd, POINT* point);
BOOL ScreenToClient(HWND hwnd, POINT* point);
int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count);
BOOL ShowWindow(HWND hwnd, int cmd);  // whether the window was visible before
BOOL IsWindowVisible(HWND hwnd);
BOOL IsIconic(HWND hwnd);
BOOL IsZoomed(HWND hwnd);
// rcNormalPosition is in screen coordinates.
BOOL GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT* placement);
BOOL SetWindowPlacement(HWND hwnd, const WINDOWPLACEMENT* placement);
BOOL AdjustWindowRectEx(RECT* rect, DWORD style, BOOL menu, DWORD exStyle);
BOOL AdjustWindowRectExForDpi(RECT* rect, DWORD style, BOOL menu, DWORD exStyle, UINT dpi);
int GetSystemMetrics(int index);
int GetSystemMetricsForDpi(int index, UINT dpi);
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL ValidateRect(HWND hwnd, const RECT* rect);
BOOL UpdateWindow(HWND hwnd);  // sends WM_PAINT now when the window is invalid

// ---- z-order, activation, focus, capture, enabled state ----------------------------------------

BOOL BringWindowToTop(HWND hwnd);
BOOL SetForegroundWindow(HWND hwnd);
HWND GetForegroundWindow();
HWND GetActiveWindow();  // the calling thread's
HWND SetActiveWindow(HWND hwnd);
HWND GetFocus();  // the calling thread's
HWND SetFocus(HWND hwnd);
HWND GetCapture();
HWND SetCapture(HWND hwnd);
BOOL ReleaseCapture();
BOOL EnableWindow(HWND hwnd, BOOL enable);  // whether the window was disabled before
BOOL IsWindowEnabled(HWND hwnd);

// ---- timers --------------------------------------------------------------------------------------

// WM_TIMER comes when the timer is due and nothing is posted, at most one pending per timer;
// the next is due an interval after the last was taken. Every wait sleeps until the next timer on
// the clock. Intervals are clamped to [USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM]. With a null
// window, a thread timer with a new id is made (or the one named by `id` reset). A window of
// another thread gets its timer on its own thread.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---- monitors and DPI --------------------------------------------------------------------------

BOOL EnumDisplayMonitors(HDC dc, const RECT* clip, MONITORENUMPROC proc, LPARAM lParam);
HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags);
HMONITOR MonitorFromRect(const RECT* rect, DWORD flags);
HMONITOR MonitorFromPoint(POINT point, DWORD flags);
BOOL GetMonitorInfo(HMONITOR monitor, MONITORINFO* info);  // MONITORINFOEX too, by cbSize
// E_NOTIMPL while the per-monitor calls are switched off (see desk::test).
HRESULT GetDpiForMonitor(HMONITOR monitor, int type, UINT* dpiX, UINT* dpiY);
// The DPI of the window's monitor; 0 for a bad handle. While the per-monitor calls are
// switched off, the system DPI.
UINT GetDpiForWindow(HWND hwnd);
UINT GetDpiForSystem();
// Whether GetDpiForMonitor and GetDpiForWindow exist (as a caller looking them up would see).
bool PerMonitorDpiAvailable();
int GetDeviceCaps(HDC dc, int index);  // LOGPIXELSX/Y: the system DPI
BOOL LogicalToPhysicalPoint(HWND hwnd, POINT* point);

// ---- cursor and input --------------------------------------------------------------------------

BOOL GetCursorPos(POINT* point);
BOOL SetCursorPos(int x, int y);

struct MSLLHOOKSTRUCT {
  POINT pt;
  DWORD mouseData = 0;
  DWORD flags = 0;
  DWORD time = 0;
  uintptr_t dwExtraInfo = 0;
};
struct KBDLLHOOKSTRUCT {
  DWORD vkCode = 0;
  DWORD scanCode = 0;
  DWORD flags = 0;
  DWORD time = 0;
  uintptr_t dwExtraInfo = 0;
};

// The one entry all input comes in by (the test controller injects through it). Low-level hooks
// see it first and may swallow it; mouse input then goes to the capture window or the enabled
// window under the point (client or non-client message by hit test), key input to the focus
// window of the foreground thread. Returns false when it was swallowed or nobody received it.
struct InputEvent {
  enum class Kind { MouseMove, MouseButton, Wheel, Key, Char };
  Kind kind = Kind::MouseMove;
  POINT pt;             // screen coordinates (mouse)
  int button = 0;       // 0 left, 1 right, 2 middle
  bool down = false;    // button or key
  int wheelDelta = 0;   // Wheel
  int vk = 0;           // Key
  char16_t ch = 0;      // Char
  bool forceNonClient = false;  // mouse: deliver as the non-client message for `hitTest`
  LRESULT hitTest = 0;
};
bool injectInput(const InputEvent& event);

// ---- layered windows and menus -----------------------------------------------------------------

// The last frame pushed to a layered window: premultiplied BGRA pixels, top-down.
struct LayeredFrame {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  POINT position;
  BYTE alpha = 255;
};
BOOL UpdateLayeredWindowFrame(HWND hwnd, const LayeredFrame& frame);
BOOL SetLayeredWindowAttributes(HWND hwnd, COLORREF key, BYTE alpha, DWORD flags);
BOOL GetLayeredWindowAttributes(HWND hwnd, COLORREF* key, BYTE* alpha, DWORD* flags);
// Ends at once in the final state (shown, or hidden with AW_HIDE).
BOOL AnimateWindow(HWND hwnd, DWORD time, DWORD flags);

// The window's system menu (restore, move, size, minimise, maximise, close), made on first use;
// `revert` puts it back to that. Null for a window without WS_SYSMENU.
HMENU GetSystemMenu(HWND hwnd, BOOL revert);
HMENU CreatePopupMenu();
HMENU CreateMenu();
BOOL AppendMenu(HMENU menu, UINT flags, UINT_PTR id, const char16_t* text);
BOOL DestroyMenu(HMENU menu);
// The previous state (MF_ENABLED, MF_GRAYED, MF_DISABLED), or -1 when there is no such item.
DWORD EnableMenuItem(HMENU menu, UINT item, UINT flags);
DWORD CheckMenuItem(HMENU menu, UINT item, UINT flags);
UINT GetMenuState(HMENU menu, UINT item, UINT flags);  // 0xFFFFFFFF when there is no such item
int GetMenuItemCount(HMENU menu);
// The menu bar is always empty: GetMenu gives null, SetMenu changes nothing (and succeeds), and
// DrawMenuBar only checks the handle.
HMENU GetMenu(HWND hwnd);
BOOL SetMenu(HWND hwnd, HMENU menu);
BOOL DrawMenuBar(HWND hwnd);
// Runs a nested message loop on the calling thread until the menu is chosen or dismissed (the
// test controller's chooser decides). With TPM_RETURNCMD returns the command (0 when dismissed);
// otherwise posts WM_COMMAND to `hwnd` (unless TPM_NONOTIFY) and returns non-zero on a choice.
BOOL TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND hwnd, const TPMPARAMS* params);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND hwnd,
                    const RECT* rect);
BOOL EndMenu();

// ---- the observer --------------------------------------------------------------------------------

// What one window is like at one moment.
struct WindowSnapshot {
  HWND hwnd = nullptr;
  DWORD threadId = 0;
  std::u16string className;
  std::u16string text;
  DWORD style = 0;
  DWORD exStyle = 0;
  RECT window;  // screen coordinates
  RECT client;  // screen coordinates
  bool visible = false;
  bool enabled = true;
  bool iconic = false;
  bool zoomed = false;
  bool messageOnly = false;
  RECT restore;  // the normal (restore) rectangle, screen coordinates
  HWND owner = nullptr;
  HWND parent = nullptr;
  UINT dpi = 96;
  std::map<std::u16string, HANDLE> props;
  std::map<UINT, UINT> systemMenu;  // command -> state (MF_GRAYED ...)
  std::shared_ptr<const LayeredFrame> layeredFrame;
  BYTE layeredAlpha = 255;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
};

struct WindowEvent {
  enum class Kind {
    Created,    // `state` is the window as created (before its first message)
    Changed,    // some state changed: `state` is the window now
    Destroyed,  // after WM_NCDESTROY: `state` is the last state
    Message,    // a procedure is about to be called: message, wParam, lParam, sent
    ZOrder,     // `zOrder` is the new order of the top-level windows, front to back
    Input,      // injected input: message, wParam (key or buttons), lParam (point), hwnd target
  };
  Kind kind = Kind::Changed;
  HWND hwnd = nullptr;
  DWORD threadId = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  bool sent = false;  // Message: sent (true) or posted/dispatched (false)
  std::shared_ptr<const WindowSnapshot> state;
  std::vector<HWND> zOrder;
  uint64_t sequence = 0;
};

// Sees every window state change, in order. Called with no lock of the layer held, on whatever
// thread made the change (or a thread delivering queued events); an observer may query the layer
// but must not wait for another thread.
class WindowObserver {
 public:
  virtual ~WindowObserver() = default;
  virtual void onWindowEvent(const WindowEvent& event) = 0;
};
void addWindowObserver(WindowObserver* observer);
void removeWindowObserver(WindowObserver* observer);

// A window's state now (null for a bad handle).
std::shared_ptr<const WindowSnapshot> windowSnapshot(HWND hwnd);
// Top-level windows front to back (topmost band first), message-only windows excluded.
std::vector<HWND> zOrder();

}  // namespace desk
