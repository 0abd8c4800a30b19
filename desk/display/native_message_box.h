// Message boxes a person answers: each box becomes a dialog of the layer (caption, its text and
// one push button per answer) on the box's thread, which a display driver shows like any other
// dialog. A button pressed (by a click or by Enter on the focused or default button) answers the
// box; Escape and the window manager's close answer Cancel where the box has one, OK for an
// OK-only box, and are ignored otherwise.
#pragma once

#include <memory>

#include "desk/msgbox.h"

namespace desk::display {

class DialogMessageBoxes final : public MessageBoxAnswerer {
 public:
  void present(const MessageBoxRequest& request, std::function<void(int)> answer) override;
  // Answers every box still open with its default button and closes it (the screen is gone).
  void closeAll();
};

}  // namespace desk::display
