// Pushing a drawn frame to a layered window: the pixels of the bitmap selected into a memory DC
// become the window's frame (premultiplied, top-down), with its position and constant alpha.
#pragma once

#include <functional>
#include <vector>

#include "desk/window.h"
#include "desk/gdi.h"
#include "desk/types.h"

namespace desk {

constexpr BYTE AC_SRC_OVER = 0x00;
constexpr BYTE AC_SRC_ALPHA = 0x01;
constexpr DWORD ULW_COLORKEY = 0x1;
constexpr DWORD ULW_ALPHA = 0x2;
constexpr DWORD ULW_OPAQUE = 0x4;

struct BLENDFUNCTION {
  BYTE BlendOp = AC_SRC_OVER;
  BYTE BlendFlags = 0;
  BYTE SourceConstantAlpha = 255;
  BYTE AlphaFormat = AC_SRC_ALPHA;
};

// `size` (or the source bitmap's size) from `sourcePoint` in the source DC's bitmap becomes the
// frame; `position` (when given) is its place on the screen. False, ERROR_INVALID_PARAMETER, when
// the source is not a memory DC with a bitmap or the area lies outside it.
BOOL UpdateLayeredWindow(HWND hwnd, HDC screen, const POINT* position, const SIZE* size,
                         HDC source, const POINT* sourcePoint, COLORREF key,
                         const BLENDFUNCTION* blend, DWORD flags);

namespace detail {
// Where frames go: the windows part's layered frame when it is there; a test may put its own.
struct Frame {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // premultiplied ARGB, top-down
  POINT position;
  bool hasPosition = false;
  BYTE alpha = 255;
};
using FrameSink = std::function<bool(HWND hwnd, const Frame& frame)>;
void setFrameSink(FrameSink sink);
}  // namespace detail

}  // namespace desk
