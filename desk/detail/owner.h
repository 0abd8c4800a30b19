// Where the services meet the windows' enabled state. With the windows part present this is
// EnableWindow; a test may put its own in place.
#pragma once

#include <functional>

#include "desk/types.h"

namespace desk::detail {

// Enables or disables `hwnd`; returns whether it was disabled before.
bool setOwnerEnabled(HWND hwnd, bool enabled);

// Replaces the above (null: back to the windows part, or to doing nothing without one).
using OwnerEnabler = std::function<bool(HWND hwnd, bool enabled)>;
void setOwnerEnabler(OwnerEnabler enabler);

}  // namespace desk::detail
