// The GDI calls the program makes: device contexts over bitmaps, brushes, pens, fonts, regions,
// rectangles and text. Every DC records what it drew (for tests) and renders into its bitmap: a
// window's DC into the window's bitmap (sized as its client area), a memory DC into the bitmap
// selected into it. Text is measured by the current gfx::TextMeasurer and drawn with Pango.
#pragma once

#include <cstdint>
#include <string>

#include "desk/window.h"
#include "desk/gfx/bitmap.h"
#include "desk/gfx/text.h"
#include "desk/types.h"

namespace desk {

using LONG = int32_t;
using WORD = uint16_t;
// Any object handle converts to it, as on the platform.
using HGDIOBJ = void*;
struct HPEN__;
using HPEN = HPEN__*;
struct HFONT__;
using HFONT = HFONT__*;
struct HRGN__;
using HRGN = HRGN__*;
struct HBITMAP__;
using HBITMAP = HBITMAP__*;

constexpr COLORREF RGB(unsigned r, unsigned g, unsigned b) {
  return (r & 255) | ((g & 255) << 8) | ((b & 255) << 16);
}
constexpr unsigned GetRValue(COLORREF c) { return c & 255; }
constexpr unsigned GetGValue(COLORREF c) { return (c >> 8) & 255; }
constexpr unsigned GetBValue(COLORREF c) { return (c >> 16) & 255; }
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

// Stock objects.
constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int DKGRAY_BRUSH = 3;
constexpr int BLACK_BRUSH = 4;
constexpr int NULL_BRUSH = 5;
constexpr int HOLLOW_BRUSH = NULL_BRUSH;
constexpr int WHITE_PEN = 6;
constexpr int BLACK_PEN = 7;
constexpr int NULL_PEN = 8;
constexpr int SYSTEM_FONT = 13;
constexpr int DEFAULT_GUI_FONT = 17;
constexpr int DC_BRUSH = 18;
constexpr int DC_PEN = 19;

// System colours (GetSysColor; a brush handle of index + 1 paints that colour).
constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_WINDOWTEXT = 8;
constexpr int COLOR_HIGHLIGHT = 13;
constexpr int COLOR_HIGHLIGHTTEXT = 14;
constexpr int COLOR_BTNFACE = 15;
constexpr int COLOR_GRAYTEXT = 17;
constexpr int COLOR_BTNTEXT = 18;
DWORD GetSysColor(int index);

constexpr int PS_SOLID = 0;
constexpr int PS_DASH = 1;
constexpr int PS_DOT = 2;
constexpr int PS_NULL = 5;
constexpr int PS_INSIDEFRAME = 6;

constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

constexpr LONG FW_NORMAL = 400;
constexpr LONG FW_SEMIBOLD = 600;
constexpr LONG FW_BOLD = 700;
constexpr BYTE DEFAULT_CHARSET = 1;

struct LOGFONTW {
  LONG lfHeight = 0;
  LONG lfWidth = 0;
  LONG lfEscapement = 0;
  LONG lfOrientation = 0;
  LONG lfWeight = 0;
  BYTE lfItalic = 0;
  BYTE lfUnderline = 0;
  BYTE lfStrikeOut = 0;
  BYTE lfCharSet = 0;
  BYTE lfOutPrecision = 0;
  BYTE lfClipPrecision = 0;
  BYTE lfQuality = 0;
  BYTE lfPitchAndFamily = 0;
  char16_t lfFaceName[32] = {};
};

struct TEXTMETRICW {
  LONG tmHeight = 0;
  LONG tmAscent = 0;
  LONG tmDescent = 0;
  LONG tmInternalLeading = 0;
  LONG tmExternalLeading = 0;
  LONG tmAveCharWidth = 0;
  LONG tmMaxCharWidth = 0;
  LONG tmWeight = 0;
  LONG tmOverhang = 0;
  LONG tmDigitizedAspectX = 96;
  LONG tmDigitizedAspectY = 96;
  char16_t tmFirstChar = 0x20;
  char16_t tmLastChar = 0xFFFC;
  char16_t tmDefaultChar = 0x1F;
  char16_t tmBreakChar = 0x20;
  BYTE tmItalic = 0;
  BYTE tmUnderlined = 0;
  BYTE tmStruckOut = 0;
  BYTE tmPitchAndFamily = 0;
  BYTE tmCharSet = DEFAULT_CHARSET;
};

struct NONCLIENTMETRICSW {
  UINT cbSize = sizeof(NONCLIENTMETRICSW);
  int iBorderWidth = 0;
  int iScrollWidth = 0;
  int iScrollHeight = 0;
  int iCaptionWidth = 0;
  int iCaptionHeight = 0;
  LOGFONTW lfCaptionFont;
  int iSmCaptionWidth = 0;
  int iSmCaptionHeight = 0;
  LOGFONTW lfSmCaptionFont;
  int iMenuWidth = 0;
  int iMenuHeight = 0;
  LOGFONTW lfMenuFont;
  LOGFONTW lfStatusFont;
  LOGFONTW lfMessageFont;
  int iPaddedBorderWidth = 0;
};

constexpr UINT SPI_GETNONCLIENTMETRICS = 0x0029;
// SPI_GETNONCLIENTMETRICS only (the metrics at 96 DPI, fonts "DejaVu Sans" of 12 pixels); `size`
// and the record's cbSize must be sizeof(NONCLIENTMETRICSW), or that less the padded border
// (the older record). Anything else: false, ERROR_INVALID_PARAMETER.
BOOL SystemParametersInfoW(UINT action, UINT size, void* data, UINT winIni);

struct PAINTSTRUCT {
  HDC hdc = nullptr;
  BOOL fErase = 0;
  RECT rcPaint;
  BOOL fRestore = 0;
  BOOL fIncUpdate = 0;
  BYTE rgbReserved[32] = {};
};

struct BITMAP {
  LONG bmType = 0;
  LONG bmWidth = 0;
  LONG bmHeight = 0;
  LONG bmWidthBytes = 0;
  WORD bmPlanes = 1;
  WORD bmBitsPixel = 32;
  void* bmBits = nullptr;
};

// --- device contexts ---
// A DC over the window's bitmap (null window: the screen, which records but keeps no pixels).
HDC GetDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC dc);
// A window DC whose paint rectangle is the whole client area.
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint);
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);

// --- objects ---
HBRUSH CreateSolidBrush(COLORREF color);
HPEN CreatePen(int style, int width, COLORREF color);
HFONT CreateFontIndirectW(const LOGFONTW* font);
// A bitmap of the given size, transparent black (null for a size gfx::validSize refuses).
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
HGDIOBJ GetStockObject(int which);
// Returns the object it replaces in the DC (null, ERROR_INVALID_HANDLE, for a bad handle). A
// region cannot be selected.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// Fails for stock objects, objects selected into a DC, and bad handles.
BOOL DeleteObject(HGDIOBJ object);
// LOGFONTW of a font, BITMAP of a bitmap; with no buffer the size needed. 0 on failure.
int GetObjectW(HGDIOBJ object, int size, void* out);
COLORREF SetTextColor(HDC dc, COLORREF color);
COLORREF SetBkColor(HDC dc, COLORREF color);
int SetBkMode(HDC dc, int mode);

// --- drawing ---
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
// Fills with the DC's brush and outlines with its pen.
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
// A dotted frame drawn by inverting: drawing it twice leaves the pixels as they were.
BOOL DrawFocusRect(HDC dc, const RECT* rect);

constexpr UINT DT_TOP = 0x0000;
constexpr UINT DT_LEFT = 0x0000;
constexpr UINT DT_CENTER = 0x0001;
constexpr UINT DT_RIGHT = 0x0002;
constexpr UINT DT_VCENTER = 0x0004;
constexpr UINT DT_BOTTOM = 0x0008;
constexpr UINT DT_WORDBREAK = 0x0010;
constexpr UINT DT_SINGLELINE = 0x0020;
constexpr UINT DT_NOCLIP = 0x0100;
constexpr UINT DT_CALCRECT = 0x0400;
constexpr UINT DT_NOPREFIX = 0x0800;

// Draws (or with DT_CALCRECT only measures) text in the rectangle with the DC's font, text colour
// and background mode. `count` -1 means NUL-terminated. Lines break at "\n" (and "\r\n") unless
// DT_SINGLELINE; with DT_WORDBREAK also between words so that lines fit the rectangle's width (a
// word wider than that stands alone on its line). An "&" marks the next character (it is not
// drawn; "&&" draws one) unless DT_NOPREFIX. DT_CALCRECT sets the rectangle's right to its left
// plus the widest line and its bottom to its top plus the text's height. The result is the text's
// height (0 on failure).
int DrawTextW(HDC dc, const char16_t* text, int count, RECT* rect, UINT format);
BOOL GetTextExtentPoint32W(HDC dc, const char16_t* text, int count, SIZE* size);
BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* metrics);

// --- regions ---
// A rectangle with rounded corners (the ellipse of `ellipseWidth` x `ellipseHeight`).
HRGN CreateRoundRectRgn(int left, int top, int right, int bottom, int ellipseWidth,
                        int ellipseHeight);
// Gives the region to the window (the window's previous region is deleted); null removes it.
int SetWindowRgn(HWND hwnd, HRGN region, BOOL redraw);

namespace detail {
// The bitmap selected into a memory DC (null for other DCs and the initial 1x1 bitmap).
const gfx::Bitmap* selectedBitmap(HDC dc);
}  // namespace detail

// The bitmap behind a bitmap handle (null for a bad handle); valid until it is deleted.
const gfx::Bitmap* bitmapOf(HBITMAP bitmap);
// A bitmap handle holding a copy of `bitmap`.
HBITMAP createBitmapHandle(const gfx::Bitmap& bitmap);

}  // namespace desk
