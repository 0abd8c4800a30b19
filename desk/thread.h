// Threads as the platform layer sees them: ids and the per-thread last error.
#pragma once

#include "desk/types.h"

namespace desk {

// The calling thread's id: never 0, given out once per thread and never reused in the process, so
// an id kept after its thread has ended never names another thread.
DWORD GetCurrentThreadId();

DWORD GetLastError();
void SetLastError(DWORD code);

// The thread that runs the user interface: the process's initial thread until someone records
// another (the dispatch library records the thread that initialises it). Every "am I on the UI
// thread" test reads this one value.
DWORD uiThreadId();
void setUiThreadId(DWORD id);

}  // namespace desk
