// Device-independent bitmap headers and the transfer of pixels between them and bitmap handles
// (GetDIBits, SetDIBits). Only 32-bit BI_RGB descriptions are transferred; rows run bottom-up for
// a positive height and top-down for a negative one, each pixel blue, green, red, alpha.
#pragma once

#include <cstdint>

#include "desk/gdi.h"
#include "desk/types.h"

namespace desk {

constexpr DWORD BI_RGB = 0;
constexpr DWORD BI_BITFIELDS = 3;
constexpr UINT DIB_RGB_COLORS = 0;

struct BITMAPINFOHEADER {
  DWORD biSize = 40;
  LONG biWidth = 0;
  LONG biHeight = 0;
  WORD biPlanes = 1;
  WORD biBitCount = 0;
  DWORD biCompression = BI_RGB;
  DWORD biSizeImage = 0;
  LONG biXPelsPerMeter = 0;
  LONG biYPelsPerMeter = 0;
  DWORD biClrUsed = 0;
  DWORD biClrImportant = 0;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct CIEXYZ {
  LONG ciexyzX = 0;
  LONG ciexyzY = 0;
  LONG ciexyzZ = 0;
};
struct CIEXYZTRIPLE {
  CIEXYZ ciexyzRed;
  CIEXYZ ciexyzGreen;
  CIEXYZ ciexyzBlue;
};

struct BITMAPV5HEADER {
  DWORD bV5Size = 124;
  LONG bV5Width = 0;
  LONG bV5Height = 0;
  WORD bV5Planes = 1;
  WORD bV5BitCount = 0;
  DWORD bV5Compression = BI_RGB;
  DWORD bV5SizeImage = 0;
  LONG bV5XPelsPerMeter = 0;
  LONG bV5YPelsPerMeter = 0;
  DWORD bV5ClrUsed = 0;
  DWORD bV5ClrImportant = 0;
  DWORD bV5RedMask = 0;
  DWORD bV5GreenMask = 0;
  DWORD bV5BlueMask = 0;
  DWORD bV5AlphaMask = 0;
  DWORD bV5CSType = 0;
  CIEXYZTRIPLE bV5Endpoints;
  DWORD bV5GammaRed = 0;
  DWORD bV5GammaGreen = 0;
  DWORD bV5GammaBlue = 0;
  DWORD bV5Intent = 0;
  DWORD bV5ProfileData = 0;
  DWORD bV5ProfileSize = 0;
  DWORD bV5Reserved = 0;
};
static_assert(sizeof(BITMAPV5HEADER) == 124);

struct RGBQUAD {
  BYTE rgbBlue = 0;
  BYTE rgbGreen = 0;
  BYTE rgbRed = 0;
  BYTE rgbReserved = 0;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};

// Copies `lines` rows from row `start` (counted in the description's row order) of the bitmap into
// `bits`, described by `info` (32 bits, BI_RGB, the bitmap's width). With `bits` null only the
// description's size fields are filled. Returns the rows copied, 0 on failure (a bad handle, a
// description it does not take).
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage);
// The reverse: sets `lines` rows of the bitmap from `bits`. Returns the rows set, 0 on failure.
int SetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, const void* bits,
              const BITMAPINFO* info, UINT usage);

}  // namespace desk
