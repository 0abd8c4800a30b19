// Internal hooks between the parts of the layer that share the thread queues.
#pragma once

#include "desk/types.h"

namespace desk::detail {

// Marks the thread's queue as having new input and wakes its waits, without posting anything.
// False when the thread has no queue.
bool wakeThread(DWORD threadId);

}  // namespace desk::detail
