// Dialogs from in-memory templates and the controls they hold (button, edit field, static text).
//
// A dialog is a top-level window of the class "#32770" whose window procedure is DefDlgProc: it
// hands each message to the dialog's DLGPROC first and does the default work only when that
// returns FALSE. CreateDialogIndirectParamW reads the template, creates the dialog and its
// controls (positions in dialog units, converted with the template font's average character
// width and height), gives every control the dialog's font, sends WM_INITDIALOG and puts the
// focus on the first tab stop when the procedure returns TRUE. Dialogs are modeless: the caller's
// message loop passes their input through IsDialogMessage (desk/dialog_message.h).
//
// After a dialog was created it is presented once, from its thread's queue (so the creator has
// finished setting it up): to the dialog script a test installed (desk::test::setDialogScript),
// which drives it with the controller's keys and clicks or answers it directly. Otherwise it goes
// to whoever answers dialogs: with a person at a screen (a display driver shows the dialog) it
// simply stays up until its own controls or a close end it; with nobody (headless) the dialog
// writes its caption and texts to standard error and is closed at once (WM_CLOSE), which its
// owner sees as a cancel.
//
// Controls draw themselves with the layer's GDI (desk/gdi.h) into their window bitmaps, asking
// their parent for colours with WM_CTLCOLORSTATIC / WM_CTLCOLORBTN / WM_CTLCOLOREDIT; a button
// with BS_OWNERDRAW sends WM_DRAWITEM instead.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "desk/gdi.h"
#include "desk/msgbox.h"
#include "desk/types.h"

namespace desk {

using DLGPROC = LRESULT (*)(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Messages.
constexpr UINT WM_DRAWITEM = 0x002B;
constexpr UINT WM_GETDLGCODE = 0x0087;
constexpr UINT WM_NEXTDLGCTL = 0x0028;
constexpr UINT WM_CTLCOLOREDIT = 0x0133;
constexpr UINT WM_CTLCOLORBTN = 0x0135;
constexpr UINT WM_CTLCOLORDLG = 0x0136;
constexpr UINT WM_CTLCOLORSTATIC = 0x0138;
constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;
constexpr UINT BM_CLICK = 0x00F5;
constexpr UINT DM_GETDEFID = WM_USER + 0;
constexpr LRESULT DC_HASDEFID = 0x534B;

// Dialog styles.
constexpr DWORD DS_SETFONT = 0x40;
constexpr DWORD DS_MODALFRAME = 0x80;
constexpr DWORD DS_CENTER = 0x0800;

// Button styles and notifications.
constexpr DWORD BS_PUSHBUTTON = 0x0;
constexpr DWORD BS_DEFPUSHBUTTON = 0x1;
constexpr DWORD BS_CHECKBOX = 0x2;
constexpr DWORD BS_AUTOCHECKBOX = 0x3;
constexpr DWORD BS_OWNERDRAW = 0xB;
constexpr DWORD BS_TYPEMASK = 0xF;
constexpr UINT BN_CLICKED = 0;
constexpr UINT BST_UNCHECKED = 0;
constexpr UINT BST_CHECKED = 1;

// Edit styles.
constexpr DWORD ES_MULTILINE = 0x0004;
constexpr DWORD ES_AUTOHSCROLL = 0x0080;
constexpr DWORD ES_WANTRETURN = 0x1000;

// WM_GETDLGCODE answers.
constexpr LRESULT DLGC_WANTARROWS = 0x0001;
constexpr LRESULT DLGC_WANTTAB = 0x0002;
constexpr LRESULT DLGC_WANTALLKEYS = 0x0004;
constexpr LRESULT DLGC_HASSETSEL = 0x0008;
constexpr LRESULT DLGC_DEFPUSHBUTTON = 0x0010;
constexpr LRESULT DLGC_UNDEFPUSHBUTTON = 0x0020;
constexpr LRESULT DLGC_WANTCHARS = 0x0080;
constexpr LRESULT DLGC_STATIC = 0x0100;
constexpr LRESULT DLGC_BUTTON = 0x2000;

// Owner drawing.
constexpr UINT ODT_BUTTON = 4;
constexpr UINT ODA_DRAWENTIRE = 0x1;
constexpr UINT ODS_SELECTED = 0x1;
constexpr UINT ODS_DISABLED = 0x4;
constexpr UINT ODS_FOCUS = 0x10;

struct DRAWITEMSTRUCT {
  UINT CtlType = 0;
  UINT CtlID = 0;
  UINT itemID = 0;
  UINT itemAction = 0;
  UINT itemState = 0;
  HWND hwndItem = nullptr;
  HDC hDC = nullptr;
  RECT rcItem;
  uintptr_t itemData = 0;
};

constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;

// Template class atoms.
constexpr uint16_t kButtonAtom = 0x0080;
constexpr uint16_t kEditAtom = 0x0081;
constexpr uint16_t kStaticAtom = 0x0082;

// Registers "Button", "Edit", "Static" and the dialog class "#32770" (once per process).
void registerDialogClasses();

// Creates a modeless dialog from a packed template (the DLGTEMPLATE layout: header, title, font
// when DS_SETFONT, then DWORD-aligned items). Null when the template cannot be read
// (ERROR_INVALID_PARAMETER), a class is unknown, or the window cannot be made; the procedure then
// has seen nothing. `initParam` reaches WM_INITDIALOG as lParam.
HWND CreateDialogIndirectParamW(HINSTANCE instance, const void* dialogTemplate, HWND owner,
                                DLGPROC proc, LPARAM initParam);
// The template's length is known to the caller: a template shorter than its header says is
// refused rather than read past its end.
HWND CreateDialogIndirectParamW(HINSTANCE instance, const void* dialogTemplate, size_t length,
                                HWND owner, DLGPROC proc, LPARAM initParam);

// The dialog window procedure: the DLGPROC first, then the defaults (background painting,
// WM_CLOSE as IDCANCEL, the caption's close button as SC_CLOSE, the presentation).
LRESULT DefDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Hides the dialog and records its result (it stays until destroyed). False for a handle that
// is no dialog.
BOOL EndDialog(HWND dialog, intptr_t result);
// The result EndDialog recorded; nullopt-like -1 with ok false while none.
bool dialogResult(HWND dialog, intptr_t* result);

HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
UINT GetDlgItemTextW(HWND dialog, int id, char16_t* buffer, int maxCount);
BOOL SetDlgItemTextW(HWND dialog, int id, const char16_t* text);
UINT IsDlgButtonChecked(HWND dialog, int id);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
// The next (or previous) enabled, visible WS_TABSTOP control after `control`, wrapping around;
// null when the dialog has none.
HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous);
// Dialog units to pixels for the dialog's font.
BOOL MapDialogRect(HWND dialog, RECT* rect);

// Whether the window was made by CreateDialogIndirectParamW and still exists.
bool isDialogWindow(HWND hwnd);

// Who answers the dialogs no test script drives. Nobody by default; a display driver that shows
// dialogs sets Person while it runs and puts Nobody back when it stops.
enum class DialogAnswerer { Nobody, Person };
void setDialogAnswerer(DialogAnswerer answerer);
DialogAnswerer dialogAnswerer();

// The window's client area as it and its visible descendants last painted themselves (children at
// their places, the front-most last), painting nothing now: what a screen shows of it. Nullopt
// for a window without a client area.
std::optional<gfx::Bitmap> paintedClientArea(HWND hwnd);

namespace detail {
// The calling thread's open dialogs, oldest first (the controller's pump offers them input).
std::vector<HWND> threadDialogs();
}  // namespace detail

namespace test {
// Called once for each new dialog, on its thread, after its creator has returned to the message
// loop. Null: the headless default (texts to stderr, then WM_CLOSE).
void setDialogScript(std::function<void(HWND dialog)> script);
// Paints the window and its visible descendants and composes their bitmaps into one image of the
// window's client area (children at their places, front-most last).
gfx::Bitmap renderWindow(HWND hwnd);
}  // namespace test

}  // namespace desk
