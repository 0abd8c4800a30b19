// Where the message functions meet the windows. The window table sets itself here once it exists;
// until then no handle names a window.
#pragma once

#include <vector>

#include "desk/types.h"

namespace desk::detail {

class WindowTable {
 public:
  virtual ~WindowTable() = default;
  // The thread that owns the window, 0 when the handle names no window.
  virtual DWORD windowThread(HWND hwnd) = 0;
  // Calls the window's procedure with the message (the window is known to exist).
  virtual LRESULT dispatch(const MSG& msg) = 0;
  // The same for a message sent from another thread, served on the window's thread.
  virtual LRESULT deliverSent(const MSG& msg) { return dispatch(msg); }
  // The windows one HWND_BROADCAST copy goes to: top-level, not message-only, in z-order.
  virtual std::vector<HWND> broadcastTargets() { return {}; }
  // A thread with windows has ended: its windows go away with it.
  virtual void threadEnded(DWORD threadId) { (void)threadId; }
};

// The table lives as long as the process once set; null removes it (tests).
void setWindowTable(WindowTable* table);
WindowTable* windowTable();

}  // namespace desk::detail
