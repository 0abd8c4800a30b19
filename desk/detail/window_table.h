// Where the message functions meet the windows. The window table sets itself here once it exists;
// until then no handle names a window.
#pragma once

#include "desk/types.h"

namespace desk::detail {

class WindowTable {
 public:
  virtual ~WindowTable() = default;
  // The thread that owns the window, 0 when the handle names no window.
  virtual DWORD windowThread(HWND hwnd) = 0;
  // Calls the window's procedure with the message (the window is known to exist).
  virtual LRESULT dispatch(const MSG& msg) = 0;
};

// The table lives as long as the process once set; null removes it (tests).
void setWindowTable(WindowTable* table);
WindowTable* windowTable();

}  // namespace desk::detail
