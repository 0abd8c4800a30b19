// Icons: icon handles over gfx bitmaps, and the executable's own icons, a table the program may
// fill at start (it is empty until then, so every "no icon" path runs).
#pragma once

#include <utility>
#include <vector>

#include "desk/window.h"
#include "desk/gdi.h"
#include "desk/gfx/bitmap.h"
#include "desk/types.h"

namespace desk {

struct ICONINFO {
  BOOL fIcon = 1;
  DWORD xHotspot = 0;
  DWORD yHotspot = 0;
  HBITMAP hbmMask = nullptr;
  HBITMAP hbmColor = nullptr;
};

// An icon of a copy of the colour bitmap (its alpha is kept; the mask is not used). Null, with
// ERROR_INVALID_PARAMETER, without a colour bitmap.
HICON CreateIconIndirect(const ICONINFO* info);
// Fills `info` with new bitmaps (colour and mask) that the caller deletes.
BOOL GetIconInfo(HICON icon, ICONINFO* info);
// False for a bad handle and for shared icons (which live as long as the process).
BOOL DestroyIcon(HICON icon);
// An icon holding a copy of `bitmap`.
HICON createIcon(const gfx::Bitmap& bitmap);
// The icon's pixels (null for a bad handle); valid until the icon is destroyed.
const gfx::Bitmap* iconBitmap(HICON icon);

// Resource numbers, as MAKEINTRESOURCE makes them.
inline const char16_t* MAKEINTRESOURCEW(int id) {
  return reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(static_cast<uint16_t>(id)));
}
inline const char16_t* const IDI_APPLICATION = MAKEINTRESOURCEW(32512);

constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;
constexpr UINT LR_DEFAULTCOLOR = 0x0000;
constexpr UINT LR_DEFAULTSIZE = 0x0040;
constexpr UINT LR_SHARED = 0x8000;

// The executable's icons by resource number, in the order ExtractIconEx counts them.
void setExecutableIcons(std::vector<std::pair<int, gfx::Bitmap>> icons);

// An icon of the executable (any module handle) by resource number, scaled to cx x cy (0: its own
// size). With LR_SHARED the same handle comes back each time and must not be destroyed. Null with
// ERROR_RESOURCE_TYPE_NOT_FOUND when there is no such icon, or for another image type.
HANDLE LoadImageW(HINSTANCE module, const char16_t* name, UINT type, int cx, int cy, UINT flags);
// The system's application icon for a null module and IDI_APPLICATION (shared); otherwise as
// LoadImageW(module, name, IMAGE_ICON, 0, 0, LR_SHARED).
HICON LoadIconW(HINSTANCE module, const char16_t* name);
// Icons of the running executable's file (other files have none): with index -1 and no outputs,
// the number it has; otherwise up to `count` icons from `index` into `large` (and the same
// pictures at 16 x 16 into `small`), returning how many were made.
UINT ExtractIconExW(const char16_t* file, int index, HICON* large, HICON* small, UINT count);

}  // namespace desk
