// The settings of a new window, and the small value types of the window interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zrk {

// A rectangle in 32-bit floats: the left and top edge, then the extent.
struct FloatRect {
  float x = 0;
  float y = 0;
  float width = 0;
  float height = 0;
};

// The settings of a new window. Copied into the window when it is created; the defaults here are
// those from which every caller starts.
struct WindowOptions {
  bool center = false;
  bool resizable = true;
  bool transparent = false;
  bool maximized = false;
  bool visible = true;
  bool maximizable = true;
  bool minimizable = true;
  bool closable = true;
  bool decorations = true;
  bool alwaysOnTop = false;
  bool alwaysAtBottom = false;
  bool focused = true;
  bool visibleOnAllWorkspace = true;
  // The caption follows the page's document title.
  bool useDocumentTitle = true;
  bool notInTaskbar = false;
  bool shadow = false;
  // The window draws no title bar of its own; the page provides it.
  bool hiddenTitle = false;

  // Where the page's own title bar lies, in client coordinates.
  std::optional<FloatRect> titleBarRect;

  std::optional<int32_t> x;
  std::optional<int32_t> y;
  std::optional<int32_t> width;
  std::optional<int32_t> height;
  std::optional<int32_t> minWidth;
  std::optional<int32_t> minHeight;
  std::optional<int32_t> maxWidth;
  std::optional<int32_t> maxHeight;
  std::optional<int32_t> iconId;
  std::optional<int32_t> cornerRadius;

  std::string url;
  std::string title;
  std::optional<std::string> label;
  std::string theme;
  std::string tabbingIdentifier;
  // The label of the parent window; empty for none.
  std::string parent;
  // The key under which the window's placement is saved; empty: not saved.
  std::string identifier;
};

// The taskbar progress of a window.
struct ProgressBarState {
  // 0 none, 1 normal, 2 indeterminate, 3 paused, 4 error.
  std::optional<int> status;
  // The completed part of 100.
  std::optional<double> progress;
};

}  // namespace zrk
