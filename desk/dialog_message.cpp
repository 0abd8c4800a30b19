#include "desk/dialog_message.h"

#include "desk/dialog.h"
#include "desk/message.h"
#include "desk/window.h"

namespace desk {

namespace {

void command(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  if (control && !IsWindowEnabled(control)) return;
  SendMessage(dialog, WM_COMMAND, MAKEWPARAM(id, static_cast<int>(BN_CLICKED)),
              reinterpret_cast<LPARAM>(control));
}

// Handles the dialog keys; false when the key is the control's own.
bool dialogKey(HWND dialog, MSG* msg) {
  const int vk = static_cast<int>(msg->wParam);
  if (vk != VK_TAB && vk != VK_RETURN && vk != VK_ESCAPE) return false;
  const LRESULT code =
      SendMessage(msg->hwnd, WM_GETDLGCODE, msg->wParam, reinterpret_cast<LPARAM>(msg));
  if (code & DLGC_WANTALLKEYS) return false;
  switch (vk) {
    case VK_TAB: {
      if (code & DLGC_WANTTAB) return false;
      const bool back = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
      HWND focus = GetFocus();
      HWND next = GetNextDlgTabItem(dialog, IsChild(dialog, focus) ? focus : nullptr, back);
      if (next) SetFocus(next);
      return true;
    }
    case VK_RETURN: {
      HWND focus = GetFocus();
      if (focus && IsChild(dialog, focus)) {
        const LRESULT fc = SendMessage(focus, WM_GETDLGCODE, 0, 0);
        if (fc & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) {
          command(dialog, GetDlgCtrlID(focus));
          return true;
        }
      }
      const LRESULT def = SendMessage(dialog, DM_GETDEFID, 0, 0);
      const int id = HIWORD(static_cast<uintptr_t>(def)) == DC_HASDEFID
                         ? static_cast<int>(LOWORD(static_cast<uintptr_t>(def)))
                         : IDOK;
      command(dialog, id);
      return true;
    }
    case VK_ESCAPE: command(dialog, IDCANCEL); return true;
    default: return false;
  }
}

}  // namespace

BOOL IsDialogMessage(HWND dialog, MSG* msg) {
  if (msg == nullptr || dialog == nullptr || !IsWindow(dialog)) return 0;
  if (msg->hwnd == nullptr) return 0;
  if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd)) return 0;
  if (msg->message == WM_KEYDOWN && isDialogWindow(dialog) && dialogKey(dialog, msg)) return 1;
  TranslateMessage(msg);
  DispatchMessage(msg);
  return 1;
}

}  // namespace desk
