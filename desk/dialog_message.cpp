#include "desk/dialog_message.h"

#include "desk/message.h"
#include "desk/window.h"

namespace desk {

BOOL IsDialogMessage(HWND dialog, MSG* msg) {
  if (msg == nullptr || dialog == nullptr || !IsWindow(dialog)) return 0;
  if (msg->hwnd == nullptr) return 0;
  if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd)) return 0;
  TranslateMessage(msg);
  DispatchMessage(msg);
  return 1;
}

}  // namespace desk
