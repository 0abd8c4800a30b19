// The desktop entry that toasts are attributed to: $XDG_DATA_HOME/applications/<name>.desktop,
// starting the running executable and carrying the application's notification identity under
// the key X-Pelmora-AppUserModelId.
#pragma once

#include <cstdint>
#include <string>

#include "toast/template.h"

namespace toast {

enum ShortcutPolicy : int32_t {
  // No entry is looked at or made.
  Ignore = 0,
  // The entry must exist with the right identity; it is never made or changed.
  CheckOnly = 1,
  // Made when missing, repaired when its identity differs.
  CheckAndCreate = 2,
};

// The key that carries the identity.
inline constexpr const char* kAppUserModelIdKey = "X-Pelmora-AppUserModelId";

// The entry's path, or empty when the name is empty or holds a "/", or no data folder is known
// ($XDG_DATA_HOME, else $HOME/.local/share).
std::string shortcutPath(const std::u16string& appName);

// S_OK when the entry exists and carries the identity (exactly, letter case included). A missing
// entry fails with E_FAIL. A different or missing identity, or a file that is no desktop entry,
// is rewritten under CheckAndCreate (changed is then set, and the result is that of the write);
// under the other policies it fails with E_FAIL.
HRESULT validateShortcut(const std::u16string& appName, const std::u16string& appUserModelId,
                         int32_t policy, bool& changed);

// Writes the entry (through a temporary file and a rename), replacing any file there; only under
// CheckAndCreate, E_FAIL otherwise. Type, Name, Exec (the executable, quoted), Path (the
// executable's folder) and the identity.
HRESULT writeShortcut(const std::u16string& appName, const std::u16string& appUserModelId,
                      int32_t policy);

// An argument quoted for an Exec line (before the value escaping of the file format).
std::string quoteExecArgument(const std::string& argument);

}  // namespace toast
