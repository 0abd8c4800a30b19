#include "desk/keys.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "desk/message.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace desk {

namespace {

struct Table {
  std::vector<ACCEL> entries;
};

std::mutex g_tablesMutex;
std::unordered_map<HACCEL, std::shared_ptr<Table>> g_tables;
uintptr_t g_nextTable = 0x7a000;

std::shared_ptr<Table> findTable(HACCEL table) {
  std::lock_guard<std::mutex> guard(g_tablesMutex);
  auto it = g_tables.find(table);
  return it == g_tables.end() ? nullptr : it->second;
}

// Virtual key to scan code (set 1); 0 for keys without one. Keypad keys that share their code
// with the navigation block map to that code (their extended twins are told apart by bit 24).
struct KeyCode {
  int vk;
  unsigned scan;
};
constexpr KeyCode kScanCodes[] = {
    {0x1B, 0x01}, {0x31, 0x02}, {0x32, 0x03}, {0x33, 0x04}, {0x34, 0x05}, {0x35, 0x06},
    {0x36, 0x07}, {0x37, 0x08}, {0x38, 0x09}, {0x39, 0x0A}, {0x30, 0x0B}, {0xBD, 0x0C},
    {0xBB, 0x0D}, {0x08, 0x0E}, {0x09, 0x0F}, {'Q', 0x10},  {'W', 0x11},  {'E', 0x12},
    {'R', 0x13},  {'T', 0x14},  {'Y', 0x15},  {'U', 0x16},  {'I', 0x17},  {'O', 0x18},
    {'P', 0x19},  {0xDB, 0x1A}, {0xDD, 0x1B}, {0x0D, 0x1C}, {0x11, 0x1D}, {0xA2, 0x1D},
    {'A', 0x1E},  {'S', 0x1F},  {'D', 0x20},  {'F', 0x21},  {'G', 0x22},  {'H', 0x23},
    {'J', 0x24},  {'K', 0x25},  {'L', 0x26},  {0xBA, 0x27}, {0xDE, 0x28}, {0xC0, 0x29},
    {0x10, 0x2A}, {0xA0, 0x2A}, {0xDC, 0x2B}, {'Z', 0x2C},  {'X', 0x2D},  {'C', 0x2E},
    {'V', 0x2F},  {'B', 0x30},  {'N', 0x31},  {'M', 0x32},  {0xBC, 0x33}, {0xBE, 0x34},
    {0xBF, 0x35}, {0xA1, 0x36}, {0x6A, 0x37}, {0x12, 0x38}, {0xA4, 0x38}, {0x20, 0x39},
    {0x14, 0x3A}, {0x70, 0x3B}, {0x71, 0x3C}, {0x72, 0x3D}, {0x73, 0x3E}, {0x74, 0x3F},
    {0x75, 0x40}, {0x76, 0x41}, {0x77, 0x42}, {0x78, 0x43}, {0x79, 0x44}, {0x90, 0x45},
    {0x91, 0x46}, {0x24, 0x47}, {0x67, 0x47}, {0x26, 0x48}, {0x68, 0x48}, {0x21, 0x49},
    {0x69, 0x49}, {0x6D, 0x4A}, {0x25, 0x4B}, {0x64, 0x4B}, {0x0C, 0x4C}, {0x65, 0x4C},
    {0x27, 0x4D}, {0x66, 0x4D}, {0x6B, 0x4E}, {0x23, 0x4F}, {0x61, 0x4F}, {0x28, 0x50},
    {0x62, 0x50}, {0x22, 0x51}, {0x63, 0x51}, {0x2D, 0x52}, {0x60, 0x52}, {0x2E, 0x53},
    {0x6E, 0x53}, {0x7A, 0x57}, {0x7B, 0x58}, {0xA3, 0x1D}, {0xA5, 0x38}, {0x5B, 0x5B},
    {0x5C, 0x5C}, {0x5D, 0x5D}, {0x6F, 0x35},
};

struct KeyName {
  unsigned scan;
  bool extended;
  const char* name;
};
constexpr KeyName kNames[] = {
    {0x01, false, "Esc"},        {0x0C, false, "-"},          {0x0D, false, "="},
    {0x0E, false, "Backspace"},  {0x0F, false, "Tab"},        {0x1A, false, "["},
    {0x1B, false, "]"},          {0x1C, false, "Enter"},      {0x1C, true, "Num Enter"},
    {0x1D, false, "Ctrl"},       {0x1D, true, "Right Ctrl"},  {0x27, false, ";"},
    {0x28, false, "'"},          {0x29, false, "`"},          {0x2A, false, "Shift"},
    {0x2B, false, "\\"},         {0x33, false, ","},          {0x34, false, "."},
    {0x35, false, "/"},          {0x35, true, "Num /"},       {0x36, false, "Right Shift"},
    {0x37, false, "Num *"},      {0x38, false, "Alt"},        {0x38, true, "Right Alt"},
    {0x39, false, "Space"},      {0x3A, false, "Caps Lock"},  {0x45, false, "Pause"},
    {0x45, true, "Num Lock"},    {0x46, false, "Scroll Lock"}, {0x47, false, "Num 7"},
    {0x47, true, "Home"},        {0x48, false, "Num 8"},      {0x48, true, "Up"},
    {0x49, false, "Num 9"},      {0x49, true, "Page Up"},     {0x4A, false, "Num -"},
    {0x4B, false, "Num 4"},      {0x4B, true, "Left"},        {0x4C, false, "Num 5"},
    {0x4D, false, "Num 6"},      {0x4D, true, "Right"},       {0x4E, false, "Num +"},
    {0x4F, false, "Num 1"},      {0x4F, true, "End"},         {0x50, false, "Num 2"},
    {0x50, true, "Down"},        {0x51, false, "Num 3"},      {0x51, true, "Page Down"},
    {0x52, false, "Num 0"},      {0x52, true, "Insert"},      {0x53, false, "Num Del"},
    {0x53, true, "Delete"},      {0x57, false, "F11"},        {0x58, false, "F12"},
    {0x5B, true, "Left Windows"}, {0x5C, true, "Right Windows"}, {0x5D, true, "Application"},
};

bool modifiersMatch(BYTE fVirt) {
  auto down = [](int vk) { return (GetKeyState(vk) & 0x8000) != 0; };
  return down(VK_SHIFT) == ((fVirt & FSHIFT) != 0) &&
         down(VK_CONTROL) == ((fVirt & FCONTROL) != 0) && down(VK_MENU) == ((fVirt & FALT) != 0);
}

}  // namespace

HACCEL CreateAcceleratorTable(const ACCEL* entries, int count) {
  if (!entries || count <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto table = std::make_shared<Table>();
  table->entries.assign(entries, entries + count);
  std::lock_guard<std::mutex> guard(g_tablesMutex);
  HACCEL handle = reinterpret_cast<HACCEL>(g_nextTable += 4);
  g_tables[handle] = std::move(table);
  return handle;
}

BOOL DestroyAcceleratorTable(HACCEL table) {
  std::lock_guard<std::mutex> guard(g_tablesMutex);
  return g_tables.erase(table) ? 1 : 0;
}

int CopyAcceleratorTable(HACCEL table, ACCEL* entries, int count) {
  auto t = findTable(table);
  if (!t) return 0;
  const int n = static_cast<int>(t->entries.size());
  if (!entries) return n;
  const int m = std::min(n, std::max(count, 0));
  std::copy(t->entries.begin(), t->entries.begin() + m, entries);
  return m;
}

int TranslateAccelerator(HWND hwnd, HACCEL table, const MSG* msg) {
  if (!msg || !hwnd) return 0;
  auto t = findTable(table);
  if (!t) return 0;
  const bool keyDown = msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN;
  const bool charMsg = msg->message == WM_CHAR || msg->message == WM_SYSCHAR;
  if (!keyDown && !charMsg) return 0;
  for (const ACCEL& a : t->entries) {
    bool hit = false;
    if (a.fVirt & FVIRTKEY) {
      hit = keyDown && msg->wParam == a.key && modifiersMatch(a.fVirt);
    } else {
      hit = charMsg && msg->wParam == a.key;
    }
    if (hit) {
      SendMessage(hwnd, WM_COMMAND, MAKEWPARAM(a.cmd, 1), 0);
      return 1;
    }
  }
  return 0;
}

UINT MapVirtualKey(UINT code, UINT mapType) {
  switch (mapType) {
    case MAPVK_VK_TO_VSC:
      for (const KeyCode& k : kScanCodes)
        if (static_cast<UINT>(k.vk) == code) return k.scan;
      return 0;
    case MAPVK_VSC_TO_VK:
      for (const KeyCode& k : kScanCodes)
        if (k.scan == code) return static_cast<UINT>(k.vk);
      return 0;
    case MAPVK_VK_TO_CHAR:
      if ((code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') || code == ' ') return code;
      return 0;
    default: return 0;
  }
}

int GetKeyNameTextA(LONG_PTR lParam, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  const unsigned scan = (static_cast<uintptr_t>(lParam) >> 16) & 0xFF;
  const bool extended = (static_cast<uintptr_t>(lParam) >> 24) & 1;
  std::string name;
  for (const KeyName& k : kNames)
    if (k.scan == scan && k.extended == extended) name = k.name;
  if (name.empty()) {
    if (scan >= 0x3B && scan <= 0x44) {
      name = "F" + std::to_string(scan - 0x3A);
    } else {
      // Letters and digits are named by their character.
      for (const KeyCode& k : kScanCodes) {
        if (k.scan == scan && ((k.vk >= 'A' && k.vk <= 'Z') || (k.vk >= '0' && k.vk <= '9'))) {
          name = std::string(1, static_cast<char>(k.vk));
          break;
        }
      }
    }
  }
  if (name.empty()) {
    buffer[0] = 0;
    return 0;
  }
  const size_t n = std::min(name.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, name.data(), n);
  buffer[n] = 0;
  return static_cast<int>(n);
}

}  // namespace desk
