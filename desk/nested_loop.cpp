#include "desk/nested_loop.h"

#include "desk/detail/queue.h"
#include "desk/message.h"
#include "desk/thread.h"

namespace desk {

NestedLoop::NestedLoop() : threadId_(GetCurrentThreadId()) {}

LRESULT NestedLoop::run(LRESULT quitResult) {
  MSG msg;
  for (;;) {
    if (ended_.load()) break;
    if (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // The enclosing loop must see the quit too.
        quit_ = true;
        PostQuitMessage(static_cast<int>(msg.wParam));
        return quitResult;
      }
      if (filter_ && filter_(msg)) continue;
      TranslateMessage(&msg);
      DispatchMessage(&msg);
      continue;
    }
    // Looking at the queue cleared its "new input" mark, and end() sets `ended_` before it wakes
    // the thread: reading `ended_` after the look means no wake-up can be missed.
    if (ended_.load()) break;
    WaitMessage();
  }
  return result_.load();
}

void NestedLoop::end(LRESULT result) {
  bool expected = false;
  if (!claimed_.compare_exchange_strong(expected, true)) return;
  result_.store(result);
  ended_.store(true);
  detail::wakeThread(threadId_);
}

}  // namespace desk
