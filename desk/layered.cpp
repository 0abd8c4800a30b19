#include "desk/layered.h"

#include <memory>
#include <mutex>

#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {

namespace detail {

namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<FrameSink>& sinkSlot() {
  static std::shared_ptr<FrameSink> slot;
  return slot;
}

}  // namespace

void setFrameSink(FrameSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  sinkSlot() = sink ? std::make_shared<FrameSink>(std::move(sink)) : nullptr;
}

}  // namespace detail

BOOL UpdateLayeredWindow(HWND hwnd, HDC, const POINT* position, const SIZE* size, HDC source,
                         const POINT* sourcePoint, COLORREF, const BLENDFUNCTION* blend, DWORD) {
  const gfx::Bitmap* bitmap = detail::selectedBitmap(source);
  if (hwnd == nullptr || bitmap == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int sx = sourcePoint ? sourcePoint->x : 0;
  const int sy = sourcePoint ? sourcePoint->y : 0;
  const int w = size ? size->cx : bitmap->width();
  const int h = size ? size->cy : bitmap->height();
  if (sx < 0 || sy < 0 || !gfx::validSize(w, h) || int64_t{sx} + w > bitmap->width() ||
      int64_t{sy} + h > bitmap->height()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  detail::Frame frame;
  frame.width = w;
  frame.height = h;
  frame.pixels.reserve(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) frame.pixels.push_back(gfx::premultiply(bitmap->pixel(sx + x, sy + y)));
  }
  if (position) {
    frame.position = *position;
    frame.hasPosition = true;
  }
  frame.alpha = blend ? blend->SourceConstantAlpha : 255;
  std::shared_ptr<detail::FrameSink> sink;
  {
    std::lock_guard<std::mutex> lock(detail::sinkMutex());
    sink = detail::sinkSlot();
  }
  if (sink) return (*sink)(hwnd, frame) ? 1 : 0;
#if __has_include("desk/window.h")
  LayeredFrame pushed;
  pushed.width = frame.width;
  pushed.height = frame.height;
  pushed.pixels = std::move(frame.pixels);
  if (frame.hasPosition) pushed.position = frame.position;
  pushed.alpha = frame.alpha;
  return UpdateLayeredWindowFrame(hwnd, pushed);
#else
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return 0;
#endif
}

}  // namespace desk
