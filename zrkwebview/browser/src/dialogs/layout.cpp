#include "zrkwebview/browser/src/dialogs/layout.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <map>

#include "desk/dialog.h"
#include "desk/window.h"

namespace zrk {

using namespace desk;

int layoutProperty(HWND control, const char16_t* name) {
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(GetProp(control, name)));
}

void setLayoutProperty(HWND control, const char16_t* name, int value) {
  SetProp(control, name, reinterpret_cast<HANDLE>(static_cast<intptr_t>(value)));
}

bool isCjkBreakChar(char16_t c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3040 && c <= 0x30FF) ||
         (c >= 0xAC00 && c <= 0xD7AF);
}

std::u16string wrapText(HDC dc, const std::u16string& text, int width) {
  std::u16string result;
  std::u16string line;
  long lineWidth = 0;
  size_t pos = 0;
  auto isSpace = [](char16_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; };
  while (pos < text.size()) {
    const char16_t c = text[pos];
    if (c == u'\n') {
      result += line;
      result += u'\n';
      line.clear();
      lineWidth = 0;
      ++pos;
      continue;
    }
    size_t end = pos + 1;
    if (!isCjkBreakChar(c) && !isSpace(c)) {
      while (end < text.size() && text[end] != u'\n' && !isSpace(text[end]) &&
             !isCjkBreakChar(text[end]))
        ++end;
    }
    const std::u16string token = text.substr(pos, end - pos);
    SIZE extent;
    if (!GetTextExtentPoint32W(dc, token.data(), static_cast<int>(token.size()), &extent))
      extent.cx = 0;
    if (!line.empty() && lineWidth + extent.cx > width) {
      result += line;
      result += u'\n';
      line.clear();
      lineWidth = 0;
    }
    line += token;
    lineWidth += extent.cx;
    pos = end;
  }
  if (!line.empty()) result += line;
  return result;
}

SIZE measureControlText(HWND control, HFONT font, const std::u16string& text, int width,
                        std::u16string* wrapped) {
  SIZE size;
  HDC dc = GetDC(control);
  if (dc == nullptr) return size;
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  std::u16string lines = wrapText(dc, text, width);
  RECT rc{0, 0, width, 0};
  DrawTextW(dc, lines.c_str(), static_cast<int>(lines.size()), &rc,
            DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  size.cx = rc.right;
  size.cy = rc.bottom;
  if (old) SelectObject(dc, old);
  ReleaseDC(control, dc);
  if (wrapped) *wrapped = std::move(lines);
  return size;
}

std::vector<int> orderControls(HWND dialog, const std::vector<int>& ids) {
  std::map<int, int> inDegree;
  std::map<int, std::vector<int>> dependants;
  for (int id : ids) inDegree[id] = 0;
  for (int id : ids) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) continue;
    for (const char16_t* name : {u"kszLeft", u"kszRight", u"kszAbove"}) {
      const int ref = layoutProperty(control, name);
      if (ref > 0 && inDegree.count(ref)) {
        dependants[ref].push_back(id);
        ++inDegree[id];
      }
    }
  }
  std::vector<int> stack;
  for (const auto& [id, degree] : inDegree) {
    if (degree == 0) stack.push_back(id);
  }
  std::vector<int> result;
  while (!stack.empty()) {
    const int id = stack.back();
    stack.pop_back();
    result.push_back(id);
    for (int d : dependants[id]) {
      if (--inDegree[d] == 0) stack.push_back(d);
    }
  }
  return result;
}

std::vector<LayoutItem> placeControls(HWND dialog, const std::vector<int>& ordered, int W) {
  std::vector<LayoutItem> items;
  std::map<int, LayoutItem> placed;
  for (int id : ordered) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) continue;
    auto prop = [&](const char16_t* name) { return layoutProperty(control, name); };
    const int paddingX = prop(u"kszPaddingX");
    const int paddingY = prop(u"kszPaddingY");
    LayoutItem item;
    item.control = control;
    item.id = id;
    item.marginLeft = prop(u"kszMarginLeft");
    item.marginRight = prop(u"kszMarginRight");
    if (prop(u"kszIgnore") != 0) {
      RECT r;
      GetWindowRect(control, &r);
      item.width = std::min<int>(r.right - r.left, W);
      item.height = r.bottom - r.top;
    } else {
      char16_t buffer[512] = {};
      const int n = GetWindowText(control, buffer, 512);
      const std::u16string text(buffer, static_cast<size_t>(std::max(n, 0)));
      HFONT font = reinterpret_cast<HFONT>(SendMessage(control, WM_GETFONT, 0, 0));
      std::u16string wrapped;
      const SIZE size = measureControlText(control, font, text, W, &wrapped);
      if (wrapped != text) SetWindowText(control, wrapped.c_str());
      item.width = size.cx;
      item.height = size.cy;
    }
    item.width += 2 * paddingX;
    item.height += 2 * paddingY;
    const int minWidth = prop(u"kszMinWidth");
    if (minWidth > 0 && item.width < minWidth) item.width = minWidth;

    int x = 20, y = 20;
    const int left = prop(u"kszLeft");
    const int right = prop(u"kszRight");
    if (left > 0) {
      if (auto it = placed.find(left); it != placed.end()) {
        x = it->second.x + it->second.width + 20;
        y = it->second.y;
      }
    } else if (right > 0) {
      if (auto it = placed.find(right); it != placed.end()) {
        x = it->second.x - item.width - 20;
        y = it->second.y;
      }
    } else {
      const int a = prop(u"kszAnchorEdge");
      if (a == 2) {
        x = W - item.width + paddingX;
      } else if (a == 1) {
        x = 20;
      } else if (a & 1) {
        const int leading = prop(u"kszLeading");
        x = leading + 20;
        if (a & 2) item.width = W - leading - 20;
      }
    }
    const int above = prop(u"kszAbove");
    if (above > 0) {
      if (auto it = placed.find(above); it != placed.end()) {
        const int span = prop(u"kszRowSpan");
        y = it->second.y + it->second.height + 10 * (span > 0 ? span : 1);
      }
    }
    item.x = x;
    item.y = y;
    items.push_back(item);
    placed[id] = item;
  }
  return items;
}

ContentBounds contentBounds(const std::vector<LayoutItem>& items) {
  ContentBounds b;
  if (items.empty()) return b;
  b.left = INT_MAX;
  b.top = INT_MAX;
  b.right = INT_MIN;
  b.bottom = INT_MIN;
  for (const LayoutItem& i : items) {
    b.left = std::min(b.left, i.x);
    b.top = std::min(b.top, i.y);
    b.right = std::max(b.right, i.x + i.width);
    b.bottom = std::max(b.bottom, i.y + i.height);
  }
  return b;
}

void applyLayout(HWND dialog, const std::vector<LayoutItem>& items, int CW, int CH) {
  for (const LayoutItem& i : items) {
    const int trailing = layoutProperty(i.control, u"kszTrailing");
    const int width = layoutProperty(i.control, u"kszFlexible") != 0
                          ? CW - trailing - i.x - 20
                          : i.width - trailing;
    SetWindowPos(i.control, nullptr, i.x, i.y, width, i.height, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  RECT window, client;
  GetWindowRect(dialog, &window);
  GetClientRect(dialog, &client);
  const int extraX = (window.right - window.left) - (client.right - client.left);
  const int extraY = (window.bottom - window.top) - (client.bottom - client.top);
  SetWindowPos(dialog, nullptr, 0, 0, CW + extraX, CH + extraY, SWP_NOMOVE | SWP_NOZORDER);
}

void layoutDialog(HWND dialog, const std::vector<int>& ids) {
  // Rows by the controls' current top edges.
  std::map<int, int> rowMargins;
  for (int id : ids) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) continue;
    RECT r;
    GetWindowRect(control, &r);
    rowMargins[r.top] += layoutProperty(control, u"kszMarginLeft") +
                         layoutProperty(control, u"kszMarginRight");
  }
  int widest = 0;
  for (const auto& [top, sum] : rowMargins) widest = std::max(widest, sum);
  int W = 400 + widest;
  std::vector<LayoutItem> items;
  ContentBounds bounds;
  for (;;) {
    items = placeControls(dialog, orderControls(dialog, ids), W);
    bounds = contentBounds(items);
    if (bounds.bottom + 20 <= 480) break;
    W += 40;
    if (W >= 800) break;
  }
  const int CW = std::max(bounds.right + 20, 260);
  const int CH = std::max(bounds.bottom + 20, 120);
  applyLayout(dialog, items, CW, CH);
}

}  // namespace zrk
