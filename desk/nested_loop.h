// A message loop nested inside whatever the thread is doing: the loop of a message box, a modal
// dialog or a popup menu. It pumps the calling thread's own queue, so work queued to the thread
// meanwhile (and the hooks that run it) still runs while the modal construct is up.
#pragma once

#include <atomic>
#include <functional>

#include "desk/types.h"

namespace desk {

class NestedLoop {
 public:
  // The loop belongs to the thread that makes it.
  NestedLoop();
  NestedLoop(const NestedLoop&) = delete;
  NestedLoop& operator=(const NestedLoop&) = delete;

  // Pumps messages (TranslateMessage, DispatchMessage) until end() is called, then returns the
  // result end() was given. A WM_QUIT ends the loop too: it is posted again so the enclosing loop
  // ends as well, quitReceived() becomes true and run() returns `quitResult`.
  LRESULT run(LRESULT quitResult = 0);

  // Ends the loop; callable from any thread, also before run() and from inside a message the loop
  // is handling. Only the first call counts.
  void end(LRESULT result);

  // Sees each message the loop takes before it is translated and dispatched (WM_QUIT excepted);
  // returning true means the filter handled it (an accelerator table's translation, say) and the
  // loop goes on with the next message. Set it before run().
  void setMessageFilter(std::function<bool(const MSG&)> filter) { filter_ = std::move(filter); }

  bool ended() const { return ended_.load(); }
  bool quitReceived() const { return quit_; }
  DWORD threadId() const { return threadId_; }

 private:
  DWORD threadId_;
  std::atomic<bool> claimed_{false};  // the first end() call won
  std::atomic<bool> ended_{false};    // set after the result is stored
  std::atomic<LRESULT> result_{0};
  bool quit_ = false;
  std::function<bool(const MSG&)> filter_;
};

}  // namespace desk
