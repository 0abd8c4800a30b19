// Types and constants that the windows part of the layer defines too. Once desk/window.h exists
// they come from there (and desk/types.h); until then the services use these, with the same values.
#pragma once

#include <cstdint>

#include "desk/types.h"

#if __has_include("desk/window.h")
#include "desk/window.h"
#else
namespace desk {

struct HMONITOR__;
using HMONITOR = HMONITOR__*;
struct HICON__;
using HICON = HICON__*;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HDC__;
using HDC = HDC__*;
using HRESULT = int32_t;
using COLORREF = uint32_t;
using BYTE = uint8_t;
using UINT_PTR = uintptr_t;

struct SIZE {
  int32_t cx = 0;
  int32_t cy = 0;
};

struct RECT {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

inline bool operator==(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;

constexpr WPARAM ICON_SMALL = 0;
constexpr WPARAM ICON_BIG = 1;
constexpr UINT WM_SETICON = 0x0080;
constexpr UINT WM_GETICON = 0x007F;

constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;

// number * numerator / denominator, rounded half away from zero; -1 for a zero denominator.
inline int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  int64_t n = static_cast<int64_t>(number) * numerator;
  int64_t d = denominator;
  if (d < 0) {
    n = -n;
    d = -d;
  }
  int64_t r = n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d);
  return static_cast<int>(r);
}

}  // namespace desk
#endif
