// The clipboard: one per process, holding data blocks by format, and the movable global memory
// blocks it holds them in. Text comes as CF_UNICODETEXT, CF_TEXT, CF_OEMTEXT and CF_LOCALE, images
// as CF_DIB, CF_DIBV5 and CF_BITMAP (a bitmap handle), files as CF_HDROP, and formats registered
// by name ("HTML Format") get numbers from 0xC000 up.
//
// Only the thread that opened the clipboard may change it; a second opener (another thread, or
// another program in tests) is refused until it is closed. The clipboard owns what is set on it
// and frees it when it is emptied. Closing it after its content changed posts one
// WM_CLIPBOARDUPDATE to every format listener.
//
// Code pages: the ANSI and OEM code pages are UTF-8 here, as every narrow text of the program.
//
// Headless: nothing reaches the desktop's own clipboard. The store sits behind this one interface
// so that a bridge to the session's clipboard can take its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "desk/gdi.h"
#include "desk/types.h"

namespace desk {

using HGLOBAL = HANDLE;

constexpr UINT CF_TEXT = 1;
constexpr UINT CF_BITMAP = 2;
constexpr UINT CF_OEMTEXT = 7;
constexpr UINT CF_DIB = 8;
constexpr UINT CF_UNICODETEXT = 13;
constexpr UINT CF_HDROP = 15;
constexpr UINT CF_LOCALE = 16;
constexpr UINT CF_DIBV5 = 17;

constexpr UINT WM_CLIPBOARDUPDATE = 0x031D;

constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

// ---- global memory ----
// A block of at least `bytes` bytes (zero-filled with GMEM_ZEROINIT); null and
// ERROR_NOT_ENOUGH_MEMORY when it cannot be had. GlobalSize may report more than was asked.
HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
// The block's memory (GlobalSize bytes), null for a handle that names no block.
void* GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
size_t GlobalSize(HGLOBAL block);
// Null on success, the handle on failure.
HGLOBAL GlobalFree(HGLOBAL block);

// ---- the clipboard ----
// Fails (ERROR_ACCESS_DENIED) while another thread or program has it open.
BOOL OpenClipboard(HWND owner);
BOOL CloseClipboard();
// Frees everything on it; the caller must have it open.
BOOL EmptyClipboard();
// Puts a global block (or, for CF_BITMAP, a bitmap handle) under the format, replacing and freeing
// what was there; the clipboard owns it from now on. Returns the handle, null on failure (not
// open by this thread, a null handle).
HANDLE SetClipboardData(UINT format, HANDLE data);
// The handle under the format, owned by the clipboard; null when it is not open by this thread or
// the format is absent.
HANDLE GetClipboardData(UINT format);
// Needs no open clipboard.
BOOL IsClipboardFormatAvailable(UINT format);
int CountClipboardFormats();
// The formats on the clipboard in the order they were set: 0 starts, 0 ends.
UINT EnumClipboardFormats(UINT format);
// The same number for the same name (ASCII case ignored); 0 for an empty name.
UINT RegisterClipboardFormatW(const char16_t* name);
UINT RegisterClipboardFormatA(const char* name);
// Goes up by one for every change of the content.
DWORD GetClipboardSequenceNumber();
BOOL AddClipboardFormatListener(HWND hwnd);
BOOL RemoveClipboardFormatListener(HWND hwnd);

// ---- code pages ----
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;
// `length` -1: up to and including the terminating NUL. With `capacity` 0 the units (or bytes)
// needed; otherwise those written, 0 (ERROR_INSUFFICIENT_BUFFER) when they do not fit. Ill-formed
// input becomes U+FFFD unless the ERR_INVALID_CHARS flag asks for failure
// (ERROR_NO_UNICODE_TRANSLATION).
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int length, char16_t* out,
                        int capacity);
int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* text, int length, char* out,
                        int capacity, const char* defaultChar, BOOL* usedDefault);

namespace test {

// Back to an empty, closed clipboard with no listeners, no slack and nobody holding it.
void resetClipboard();
// Another program holds the clipboard open: OpenClipboard fails until it lets go.
void holdClipboardOpen(bool held);
// Blocks allocated from now on report (and have) this many bytes more than was asked, the extra
// bytes filled with 0xCD.
void setGlobalSlack(size_t bytes);

// One format another program puts on the clipboard: bytes in a global block, or a bitmap.
struct ForeignFormat {
  UINT format = 0;
  std::string bytes;
  std::optional<gfx::Bitmap> bitmap;  // CF_BITMAP
};
// Another program empties the clipboard and sets these formats, in one open-close cycle.
void placeForeign(const std::vector<ForeignFormat>& formats);
// Another program empties it (one cycle, no format left).
void emptyForeign();

// What is on the clipboard now, in the order set.
std::vector<UINT> clipboardFormats();
// The whole block under a format (GlobalSize bytes); nullopt when absent or not a global block.
std::optional<std::string> clipboardBytes(UINT format);
// The bitmap under CF_BITMAP.
std::optional<gfx::Bitmap> clipboardBitmap();
// Global blocks allocated and not freed.
size_t liveGlobalBlocks();
size_t clipboardListenerCount();

}  // namespace test

}  // namespace desk
