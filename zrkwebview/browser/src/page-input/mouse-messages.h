// The page's mouse reports: in a window without a native title bar the page bridge sends its
// mouse presses, moves and releases as web messages {"type", "x", "y"}; each becomes the matching
// window mouse message, posted to the native window.
#pragma once

#include <optional>
#include <string>

#include "desk/types.h"

namespace zrk {

struct PageMouseMessage {
  desk::UINT message = 0;  // 0: a mouse report of a type that posts nothing
  desk::LPARAM lParam = 0;
};

// The coordinates packed as a window message's lParam: each clamped to the 16-bit range, x in
// the low word and y in the high word (no shifts of negative numbers).
desk::LPARAM packPoint(double x, double y);

// nullopt when the text is not a JSON object with "type", "x" and "y" (it belongs to the page
// bridge); otherwise the message to post, if any. Mouse-button types are logged at debug level.
std::optional<PageMouseMessage> readPageMouseMessage(const std::string& text);

// Hands one web message on: a mouse report is posted to `window` (nothing when `window` is
// gone), anything else goes to `toDelegate`.
template <typename Delegate>
void routeWebMessage(desk::HWND window, const std::string& text, Delegate&& toDelegate);

}  // namespace zrk

#include "desk/message.h"
#include "desk/window.h"

namespace zrk {
template <typename Delegate>
void routeWebMessage(desk::HWND window, const std::string& text, Delegate&& toDelegate) {
  if (window == nullptr || !desk::IsWindow(window)) return;
  std::optional<PageMouseMessage> mouse = readPageMouseMessage(text);
  if (!mouse) {
    toDelegate(text);
    return;
  }
  if (mouse->message != 0) desk::PostMessage(window, mouse->message, 0, mouse->lParam);
}
}  // namespace zrk
