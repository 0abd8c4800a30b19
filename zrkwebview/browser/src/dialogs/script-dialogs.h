// The pages' alert, confirm and prompt, shown as the framework's native modal dialogs. Options
// travel inside the message as "[KEY=value]" tags before a "]:" (the injected overrides of alert,
// confirm and prompt put them there); the answer goes back through `done`, exactly once.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "desk/types.h"

namespace zrk {

enum class ScriptDialogKind { Alert, Confirm, Prompt, BeforeUnload };

struct ScriptDialogAnswer {
  bool accept = false;
  std::optional<std::string> text;  // a prompt's entered text, when accepted
};

// The first "[KEY=value]" of each key (value: one or more characters other than "]"; one
// leading and one trailing double quote removed), and "message": the text after the first "]:"
// when a key was found and there is one, else the whole message. Scanned by hand: page text of
// any length is safe.
std::map<std::string, std::string> parseDialogOptions(const std::string& message,
                                                       const std::vector<std::string>& keys);

// Shows the dialog for one page dialog. The owner is the top-level window of `browserWindow`
// (disabled while the dialog is open; its dark title bar decides the look). The title is the
// "TITLE" option, else the product name, else the executable's file name. Returns the dialog's
// window (null when none was shown: a beforeunload is refused at once, a dialog that cannot be
// made answers at once); destroying it answers as a cancel, which is how a closing or
// navigating webview dismisses an open dialog.
desk::HWND presentScriptDialog(desk::HWND browserWindow, ScriptDialogKind kind,
                               const std::string& message,
                               const std::optional<std::string>& defaultText,
                               std::function<void(const ScriptDialogAnswer&)> done);

}  // namespace zrk
