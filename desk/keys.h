// Keyboard shortcuts and key names: accelerator tables that turn key-downs into WM_COMMAND, the
// mapping between virtual keys and scan codes (set 1, as a PC keyboard sends them), and the
// keyboard's names for its keys (an English layout).
#pragma once

#include <string>

#include "desk/types.h"

namespace desk {

using WORD = uint16_t;
struct HACCEL__;
using HACCEL = HACCEL__*;

// fVirt bits.
constexpr BYTE FVIRTKEY = 0x01;
constexpr BYTE FNOINVERT = 0x02;
constexpr BYTE FSHIFT = 0x04;
constexpr BYTE FCONTROL = 0x08;
constexpr BYTE FALT = 0x10;

struct ACCEL {
  BYTE fVirt = 0;
  WORD key = 0;
  WORD cmd = 0;
};

// A table holding a copy of the entries; null (ERROR_INVALID_PARAMETER) for no entries.
HACCEL CreateAcceleratorTable(const ACCEL* entries, int count);
BOOL DestroyAcceleratorTable(HACCEL table);
// The entries of a table (with no buffer, their number).
int CopyAcceleratorTable(HACCEL table, ACCEL* entries, int count);

// A WM_KEYDOWN or WM_SYSKEYDOWN whose key and modifier state (Shift, Ctrl and Alt as
// GetKeyState reports them) match an entry of the table is sent to `hwnd` as WM_COMMAND (high
// word 1, low word the entry's command; WM_SYSCOMMAND is not used) and the result is non-zero:
// the caller then neither translates nor dispatches the message. An entry without FVIRTKEY
// matches the character code of WM_CHAR instead. Anything else gives 0.
int TranslateAccelerator(HWND hwnd, HACCEL table, const MSG* msg);

constexpr UINT MAPVK_VK_TO_VSC = 0;
constexpr UINT MAPVK_VSC_TO_VK = 1;
constexpr UINT MAPVK_VK_TO_CHAR = 2;
// 0 when there is no mapping.
UINT MapVirtualKey(UINT code, UINT mapType);

// The name of the key whose scan code is in bits 16 to 23 of `lParam` (bit 24: the extended
// key), written into `buffer` with a terminating NUL and cut to fit; returns its length, 0 for an
// unknown key. As on a PC keyboard, keys of the numeric-keypad block named without the extended
// bit get their keypad names ("Num 4" for the left arrow's scan code).
int GetKeyNameTextA(LONG_PTR lParam, char* buffer, int size);

// Virtual keys used with shortcuts.
constexpr int VK_PRIOR = 0x21;
constexpr int VK_NEXT = 0x22;
constexpr int VK_END = 0x23;
constexpr int VK_HOME = 0x24;
constexpr int VK_INSERT = 0x2D;
constexpr int VK_LWIN = 0x5B;
constexpr int VK_RWIN = 0x5C;
constexpr int VK_F1 = 0x70;

}  // namespace desk
