// The layout engine of the modal dialogs. Each dialog describes its layout by integer window
// properties on its controls ("kszPaddingX", "kszAbove", ...); the engine measures every control's
// text, places the controls relative to the dialog's edges and to each other, widens the content
// while it is too tall, and sizes the dialog to it. Distances are pixels.
#pragma once

#include <string>
#include <vector>

#include "desk/gdi.h"
#include "desk/types.h"

namespace zrk {

struct LayoutItem {
  desk::HWND control = nullptr;
  int id = 0;
  int width = 0;
  int height = 0;
  int x = 0;
  int y = 0;
  int marginLeft = 0;
  int marginRight = 0;
};

struct ContentBounds {
  int left = 0;
  int top = 0;
  int right = 0;   // right-most x + width
  int bottom = 0;  // lowest y + height
};

// A layout property of a control (0 when not set).
int layoutProperty(desk::HWND control, const char16_t* name);
void setLayoutProperty(desk::HWND control, const char16_t* name, int value);

void layoutDialog(desk::HWND dialog, const std::vector<int>& ids);
// Every control after the controls it refers to; controls in a cycle are left out.
std::vector<int> orderControls(desk::HWND dialog, const std::vector<int>& ids);
std::vector<LayoutItem> placeControls(desk::HWND dialog, const std::vector<int>& ordered,
                                      int availableWidth);
ContentBounds contentBounds(const std::vector<LayoutItem>& items);
void applyLayout(desk::HWND dialog, const std::vector<LayoutItem>& items, int clientWidth,
                 int clientHeight);
desk::SIZE measureControlText(desk::HWND control, desk::HFONT font, const std::u16string& text,
                              int width, std::u16string* wrapped);
// Inserts line feeds so that the lines fit `width`: breaks at white space and after CJK
// characters; a token wider than the width stands alone; line feeds stay.
std::u16string wrapText(desk::HDC dc, const std::u16string& text, int width);
bool isCjkBreakChar(char16_t unit);

}  // namespace zrk
