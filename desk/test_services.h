// Controls that tests use to put the layer's services (registry, system facts, folders, shell,
// message boxes, drawing) into the states they need, and to read back what they did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <vector>

#include "desk/attributes.h"
#include "desk/window.h"
#include "desk/gfx/bitmap.h"
#include "desk/msgbox.h"
#include "desk/shell.h"
#include "desk/sysinfo.h"
#include "desk/types.h"

namespace desk::test {

// --- registry ---
// Opening or creating this key, or any key below it, fails with ERROR_ACCESS_DENIED ("" refuses
// every key).
void refuseRegistryKey(const std::string& keyPath);
void clearRegistryRefusals();
struct RegistryValue {
  DWORD type;
  std::string bytes;
};
// Writes a value with exactly these bytes (creating the key).
void seedRegistryValue(const std::string& keyPath, const std::string& name, DWORD type,
                       const std::string& bytes);
std::optional<RegistryValue> registryValue(const std::string& keyPath, const std::string& name);
// Handles opened and not yet closed (HKEY_CURRENT_USER not counted).
size_t openRegistryKeys();

// --- system facts ---
// The executable's path ("" gives /proc/self/exe again); a failing module-path query.
void setExecutablePath(const std::string& path);
void failModuleFileName(bool fail);
// The arguments commandLineArguments() gives (nullopt: the process's own).
void setCommandLineArguments(std::optional<std::vector<std::string>> arguments);
// The executable's version block (nullopt: it has none); reading it can be made to fail.
void setVersionBlock(std::optional<VersionBlock> block);
void failVersionRead(bool fail);
void setOsVersion(DWORD major, DWORD minor, DWORD build);
// Everything above back to the real process and 10.0.19045.
void resetSystemFacts();

// --- the trash ---
// The next move into the trash fails with this errno after its info file was claimed.
void failNextTrashMove(int errorNumber);

// --- launching ---
// From now on launches are recorded and nothing runs (each call starts a new record).
void recordLaunches();
std::vector<LaunchRequest> launches();
// Recorded launches fail with this code (ERROR_SUCCESS: they succeed).
void failLaunches(DWORD code);

// --- drawing ---
// What a DC drew, in order: kind ("FillRect", "Rectangle", "DrawFocusRect", "DrawText",
// "DrawText(calc)"), its rectangle, colours (fill or text colour, border; CLR_INVALID for none),
// pen width, text and DrawText format.
struct DrawOp {
  std::string kind;
  RECT rect;
  COLORREF color = 0;
  COLORREF border = 0;
  int penWidth = 0;
  std::u16string text;
  UINT format = 0;
};
// A window's client size for its DCs (otherwise the window's own client rectangle).
void setWindowClientSize(HWND hwnd, int width, int height);
// The bitmap a window's DCs drew into (nullopt before the first drawing).
std::optional<gfx::Bitmap> windowBitmap(HWND hwnd);
// Everything drawn through the window's DCs once they were released.
std::vector<DrawOp> drawOps(HWND hwnd);
// What a DC still open has drawn.
std::vector<DrawOp> dcOps(HDC dc);
struct WindowRegion {
  RECT rect;
  int ellipseWidth = 0;
  int ellipseHeight = 0;
};
std::optional<WindowRegion> windowRegion(HWND hwnd);
// Brushes, pens, fonts, regions and bitmaps made and not deleted (stock objects not counted).
size_t gdiObjectCount();
size_t openDcCount();
// Drops a window's bitmap, drawing log, size and region (as its destruction does).
void forgetWindowDrawing(HWND hwnd);

// The owner a message box disables: with this set, it is called instead of the windows' enabled
// state (it returns whether the window was disabled before). Null: the windows part again.
void setOwnerEnabler(std::function<bool(HWND hwnd, bool enabled)> enabler);

// --- message boxes ---
// Answers every message box: called on the box's thread with the request and the function to
// call (from any thread, at any later time) with the button chosen. Null: the headless default.
using MessageBoxChooser =
    std::function<void(const MessageBoxRequest& request, std::function<void(int)> answer)>;
void setMessageBoxChooser(MessageBoxChooser chooser);
// Every box shown since the last clear, in order.
std::vector<MessageBoxRequest> messageBoxes();
void clearMessageBoxes();

// --- icons ---
// Icons made and not destroyed (shared icons not counted).
size_t liveIconCount();

// --- window attributes ---
struct Flash {
  DWORD flags = 0;
  UINT count = 0;
  DWORD timeout = 0;
};
struct WindowAttributes {
  std::map<DWORD, uint32_t> dwm;  // DWM attributes set, by number
  std::optional<MARGINS> frameMargins;
  DWORD affinity = 0;            // WDA_*
  std::optional<Flash> flash;    // flashing now (FLASHW_STOP clears it)
  int flashCalls = 0;
  int progressState = 0;         // TBPF_*
  uint64_t progressCompleted = 0;
  uint64_t progressTotal = 0;
  std::vector<std::string> progressLog;  // "state N", "value c/t", in order
};
// A window's attributes now (all defaults for a window never given any).
WindowAttributes windowAttributes(HWND hwnd);
// Drops them (as the window's destruction does).
void forgetWindowAttributes(HWND hwnd);
// DWM calls fail with this result (S_OK: they work again).
void failDwm(HRESULT result);
// Creating the taskbar list fails (REGDB_E_CLASSNOTREG).
void failTaskbarCreation(bool fail);

}  // namespace desk::test
