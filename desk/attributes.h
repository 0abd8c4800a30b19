// Window attributes the frame and the taskbar show: DWM attributes (dark mode, corners), the frame
// extended into the client area, capture exclusion, flashing and taskbar progress. Nothing draws
// them on this platform; the layer keeps each window's state for tests to read back.
#pragma once

#include <cstdint>

#include "desk/com.h"
#include "desk/window.h"
#include "desk/types.h"

namespace desk {

constexpr DWORD DWMWA_NCRENDERING_POLICY = 2;
constexpr DWORD DWMWA_USE_IMMERSIVE_DARK_MODE_OLD = 19;
constexpr DWORD DWMWA_USE_IMMERSIVE_DARK_MODE = 20;
constexpr DWORD DWMWA_WINDOW_CORNER_PREFERENCE = 33;
constexpr DWORD DWMWA_BORDER_COLOR = 34;
constexpr DWORD DWMWA_CAPTION_COLOR = 35;
constexpr DWORD DWMWA_TEXT_COLOR = 36;
constexpr DWORD DWMWA_SYSTEMBACKDROP_TYPE = 38;

// Each attribute above is a 4-byte value; another size or attribute gives E_INVALIDARG, a handle
// that names no window E_HANDLE. Reading an attribute never set gives 0.
HRESULT DwmSetWindowAttribute(HWND hwnd, DWORD attribute, const void* value, DWORD size);
HRESULT DwmGetWindowAttribute(HWND hwnd, DWORD attribute, void* value, DWORD size);

struct MARGINS {
  int cxLeftWidth = 0;
  int cxRightWidth = 0;
  int cyTopHeight = 0;
  int cyBottomHeight = 0;
};
HRESULT DwmExtendFrameIntoClientArea(HWND hwnd, const MARGINS* margins);

constexpr DWORD WDA_NONE = 0x00;
constexpr DWORD WDA_MONITOR = 0x01;
constexpr DWORD WDA_EXCLUDEFROMCAPTURE = 0x11;
BOOL SetWindowDisplayAffinity(HWND hwnd, DWORD affinity);
BOOL GetWindowDisplayAffinity(HWND hwnd, DWORD* affinity);

constexpr DWORD FLASHW_STOP = 0;
constexpr DWORD FLASHW_CAPTION = 0x1;
constexpr DWORD FLASHW_TRAY = 0x2;
constexpr DWORD FLASHW_ALL = FLASHW_CAPTION | FLASHW_TRAY;
constexpr DWORD FLASHW_TIMER = 0x4;
constexpr DWORD FLASHW_TIMERNOFG = 0xC;
struct FLASHWINFO {
  UINT cbSize = sizeof(FLASHWINFO);
  HWND hwnd = nullptr;
  DWORD dwFlags = 0;
  UINT uCount = 0;
  DWORD dwTimeout = 0;
};
// Starts (or with FLASHW_STOP ends) flashing; returns whether the window was flashing before.
BOOL FlashWindowEx(const FLASHWINFO* info);

// Taskbar progress, through the taskbar-list object.
enum TBPFLAG : int {
  TBPF_NOPROGRESS = 0,
  TBPF_INDETERMINATE = 0x1,
  TBPF_NORMAL = 0x2,
  TBPF_ERROR = 0x4,
  TBPF_PAUSED = 0x8,
};

struct GUID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
using CLSID = GUID;
using IID = GUID;
bool operator==(const GUID& a, const GUID& b);
inline constexpr CLSID CLSID_TaskbarList{
    0x56FDF344, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
inline constexpr IID IID_ITaskbarList3{
    0xEA1AFB91, 0x9E28, 0x4B86, {0x90, 0xE9, 0x9E, 0x9F, 0x8A, 0x5E, 0xEF, 0xAF}};
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

class ITaskbarList3 {
 public:
  virtual HRESULT HrInit() = 0;
  // A value while the button shows no progress switches it to TBPF_NORMAL; a value above the
  // total counts as the total; a total of 0 is refused (E_INVALIDARG).
  virtual HRESULT SetProgressValue(HWND hwnd, uint64_t completed, uint64_t total) = 0;
  virtual HRESULT SetProgressState(HWND hwnd, TBPFLAG state) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  virtual ~ITaskbarList3() = default;
};

// Only the taskbar list is offered (REGDB_E_CLASSNOTREG for other classes, E_NOINTERFACE for
// other interfaces).
HRESULT CoCreateInstance(const CLSID& clsid, void* outer, DWORD context, const IID& iid,
                         void** object);

}  // namespace desk
