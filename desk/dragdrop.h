// Drop targets: a window registers an object that is told when files are dragged over it and
// dropped on it. There is no desktop drag protocol here: drags come from the test controller
// (desk::test::dragFiles), which plays the sequence a real drag gives, on the calling thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "desk/com.h"
#include "desk/types.h"

namespace desk {

constexpr DWORD DROPEFFECT_NONE = 0;
constexpr DWORD DROPEFFECT_COPY = 1;
constexpr DWORD DROPEFFECT_MOVE = 2;
constexpr DWORD DROPEFFECT_LINK = 4;

constexpr HRESULT DRAGDROP_E_NOTREGISTERED = static_cast<HRESULT>(0x80040100);
constexpr HRESULT DRAGDROP_E_ALREADYREGISTERED = static_cast<HRESULT>(0x80040101);
constexpr HRESULT DRAGDROP_E_INVALIDHWND = static_cast<HRESULT>(0x80040102);

// What is dragged: a list of file-system paths (UTF-8).
struct DropData {
  std::vector<std::string> files;
};

// Points are screen coordinates; `effect` comes in as the effects the source allows and goes out
// as the one the target would take (DROPEFFECT_NONE to refuse).
class IDropTarget {
 public:
  virtual ~IDropTarget() = default;
  virtual HRESULT DragEnter(const DropData& data, DWORD keyState, POINT pt, DWORD* effect) = 0;
  virtual HRESULT DragOver(DWORD keyState, POINT pt, DWORD* effect) = 0;
  virtual HRESULT DragLeave() = 0;
  virtual HRESULT Drop(const DropData& data, DWORD keyState, POINT pt, DWORD* effect) = 0;
};

// One target per window; the registration holds a reference until RevokeDragDrop or the
// window's destruction.
HRESULT RegisterDragDrop(HWND hwnd, std::shared_ptr<IDropTarget> target);
HRESULT RevokeDragDrop(HWND hwnd);

namespace test {

struct DragOutcome {
  HWND window = nullptr;  // the registered window that received the drag; null for none
  DWORD hoverEffect = DROPEFFECT_NONE;  // what DragOver answered
  DWORD effect = DROPEFFECT_NONE;       // what Drop answered (none when not dropped)
  bool dropped = false;                 // Drop was called (else DragLeave ended it)
};
// Drags `files` from outside onto the window under `pt` (screen coordinates): the nearest
// window at or above it with a target gets DragEnter and DragOver; then Drop when `drop` is set
// and the hover effect was not none, else DragLeave. Effects are limited to `allowed`. Runs the
// target on the calling thread.
DragOutcome dragFiles(const std::vector<std::string>& files, POINT pt, bool drop,
                      DWORD allowed = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK,
                      DWORD keyState = 0);

}  // namespace test

}  // namespace desk
