// Modeless dialogs in a message loop.
#pragma once

#include "desk/types.h"

namespace desk {

// Takes a message meant for the dialog or one of its descendants and returns non-zero; any other
// message (for another window, a thread message, or a dialog handle that names no window) is left
// alone: 0. Key-downs give the dialog its keyboard interface unless the focused control asks for
// the key (WM_GETDLGCODE): Tab and Shift+Tab move the focus between the enabled, visible tab
// stops; Enter presses the focused push button, else the default button (DM_GETDEFID, IDOK when
// none) as WM_COMMAND BN_CLICKED; Escape sends WM_COMMAND IDCANCEL. Everything else is translated
// and handed to its window's procedure.
BOOL IsDialogMessage(HWND dialog, MSG* msg);

}  // namespace desk
