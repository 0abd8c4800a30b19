// Modeless dialogs in a message loop.
#pragma once

#include "desk/types.h"

namespace desk {

// Takes a message meant for the dialog or one of its descendants: it is translated and handed to
// its window's procedure, and the result is non-zero. Any other message (for another window, a
// thread message, or a dialog handle that names no window) is left alone: 0.
BOOL IsDialogMessage(HWND dialog, MSG* msg);

}  // namespace desk
