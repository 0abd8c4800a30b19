#include "desk/gfx/dibits.h"

#include <algorithm>
#include <cstring>

#include "desk/gfx/bitmap.h"

namespace desk {
namespace {

// The rows a description names, or -1 when it is not one the transfer takes.
int64_t rowsOf(const BITMAPINFO* info, const gfx::Bitmap& bitmap) {
  if (info == nullptr) return -1;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biBitCount != 32 || h.biCompression != BI_RGB) {
    return -1;
  }
  if (h.biWidth != bitmap.width()) return -1;
  const int64_t rows = h.biHeight < 0 ? -int64_t{h.biHeight} : int64_t{h.biHeight};
  if (rows == 0 || rows > bitmap.height()) return -1;
  return rows;
}

// The bitmap row that description row `r` stands for.
int bitmapRow(const BITMAPINFOHEADER& h, int64_t rows, int64_t r) {
  return static_cast<int>(h.biHeight < 0 ? r : rows - 1 - r);
}

}  // namespace

int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage) {
  (void)dc;
  (void)usage;
  const gfx::Bitmap* source = bitmapOf(bitmap);
  if (source == nullptr || info == nullptr) return 0;
  if (bits == nullptr) {
    BITMAPINFOHEADER& h = info->bmiHeader;
    h.biWidth = source->width();
    h.biHeight = source->height();
    h.biPlanes = 1;
    if (h.biBitCount == 0) h.biBitCount = 32;
    h.biSizeImage = static_cast<DWORD>(uint64_t{4} * source->width() * source->height());
    return source->height();
  }
  const int64_t rows = rowsOf(info, *source);
  if (rows < 0 || start >= rows) return 0;
  const int64_t end = std::min<int64_t>(rows, int64_t{start} + lines);
  auto* out = static_cast<uint8_t*>(bits);
  const int width = source->width();
  for (int64_t r = start; r < end; ++r) {
    const int y = bitmapRow(info->bmiHeader, rows, r);
    uint8_t* row = out + (r - start) * int64_t{width} * 4;
    for (int x = 0; x < width; ++x) {
      const gfx::Argb c = source->pixel(x, y);
      row[x * 4 + 0] = static_cast<uint8_t>(gfx::blueOf(c));
      row[x * 4 + 1] = static_cast<uint8_t>(gfx::greenOf(c));
      row[x * 4 + 2] = static_cast<uint8_t>(gfx::redOf(c));
      row[x * 4 + 3] = static_cast<uint8_t>(gfx::alphaOf(c));
    }
  }
  return static_cast<int>(end - start);
}

int SetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, const void* bits,
              const BITMAPINFO* info, UINT usage) {
  (void)dc;
  (void)usage;
  // The object table owns the bitmap as a mutable object; it hands it out read-only to callers
  // that only look.
  auto* target = const_cast<gfx::Bitmap*>(bitmapOf(bitmap));
  if (target == nullptr || bits == nullptr) return 0;
  const int64_t rows = rowsOf(info, *target);
  if (rows < 0 || start >= rows) return 0;
  const int64_t end = std::min<int64_t>(rows, int64_t{start} + lines);
  const auto* in = static_cast<const uint8_t*>(bits);
  const int width = target->width();
  for (int64_t r = start; r < end; ++r) {
    const int y = bitmapRow(info->bmiHeader, rows, r);
    const uint8_t* row = in + (r - start) * int64_t{width} * 4;
    for (int x = 0; x < width; ++x) {
      target->setPixel(x, y, gfx::argb(row[x * 4 + 3], row[x * 4 + 2], row[x * 4 + 1], row[x * 4]));
    }
  }
  return static_cast<int>(end - start);
}

}  // namespace desk
