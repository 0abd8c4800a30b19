// Platform error codes (the customary numeric codes of the desktop API) with a per-thread last
// error and the message texts that go with them.
#pragma once

#include <cstdint>

namespace Vesk {

// The calling thread's last error; 0 when none was set.
uint32_t lastSystemError();
void setLastSystemError(uint32_t code);

// The message text of a code, ending in a line break; null for 0 and for unknown codes.
const char* systemErrorMessage(uint32_t code);

// The platform code that stands for a POSIX errno value (31, "a device attached to the system is
// not functioning", for anything without a closer match).
uint32_t systemErrorFromErrno(int error);

}  // namespace Vesk
