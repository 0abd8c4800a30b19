#include "zrkwebview/browser/src/dialogs/modal-dialogs.h"

#include <any>

#include "desk/dialog.h"
#include "desk/window.h"
#include "vesk/utf.h"
#include "zrkwebview/browser/src/dialogs/layout.h"

namespace zrk {

using namespace desk;

namespace {

constexpr uint32_t kStatic = 0x50000000;
constexpr uint32_t kButton = 0x50010000;
constexpr uint32_t kDefaultButton = 0x50010001;
constexpr uint32_t kEdit = 0x50010080;
constexpr uint32_t kCheckBox = 0x50000003;

std::u16string u16(const std::string& s) { return Vesk::utf::fromUtf8(s); }

void setProps(HWND dialog, int id,
              std::initializer_list<std::pair<const char16_t*, int>> properties) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return;
  for (const auto& [name, value] : properties) setLayoutProperty(control, name, value);
}

// The button properties every dialog shares.
void buttonProps(HWND dialog, int id) {
  setProps(dialog, id, {{u"kszMinWidth", 120}, {u"kszPaddingX", 10}, {u"kszPaddingY", 8}});
}

void setCaption(HWND dialog, const std::string& title) {
  SetWindowText(dialog, u16(title).c_str());
}

// Runs the completion at most once; it is taken out first, since it may release the dialog.
void complete(ModalDialog::Completion& slot, const std::vector<std::any>& result) {
  ModalDialog::Completion done = std::move(slot);
  slot = nullptr;
  if (done) done(result);
}

}  // namespace

// ---- text input ----

TextInputDialog::TextInputDialog(const std::string& title, const std::string& message,
                                 const std::string& promptText, const std::string& initialText,
                                 bool inputDisabled)
    : ModalDialog(title, message, "OK"),
      promptText(promptText),
      initialText(initialText),
      inputDisabled(inputDisabled) {}

TextInputDialog::~TextInputDialog() {
  if (editFont_) DeleteObject(editFont_);
}

void TextInputDialog::buildTemplate(DialogTemplateBuilder& b) {
  b.addItem(kStaticAtom, kMessageId, 7, 7, 255, 14, kStatic,
            0, u16(promptText.empty() ? message : promptText));
  b.addItem(kEditAtom, kAlternateId, 7, 26, 255, 14, kEdit, 0, u16(initialText));
  b.addItem(kButtonAtom, IDOK, 157, 50, 50, 14, kDefaultButton, 0, u16(defaultButtonText));
  b.addItem(kButtonAtom, IDCANCEL, 212, 50, 50, 14, kButton, 0, u16(secondButtonText));
}

void TextInputDialog::onInitDialog(HWND dialog) {
  setCaption(dialog, title);
  setProps(dialog, kAlternateId, {{u"kszAbove", kMessageId}, {u"kszAnchorEdge", 3}});
  buttonProps(dialog, IDCANCEL);
  setProps(dialog, IDCANCEL, {{u"kszAnchorEdge", 2}, {u"kszAbove", kAlternateId}, {u"kszRowSpan", 4}});
  buttonProps(dialog, IDOK);
  setProps(dialog, IDOK, {{u"kszRight", IDCANCEL}});
  HWND edit = GetDlgItem(dialog, kAlternateId);
  if (edit == nullptr) return;
  // A font 4 points larger for the edit field.
  if (HFONT font = reinterpret_cast<HFONT>(SendMessage(edit, WM_GETFONT, 0, 0))) {
    LOGFONTW lf;
    if (GetObjectW(font, sizeof lf, &lf)) {
      HDC dc = GetDC(edit);
      const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
      ReleaseDC(edit, dc);
      lf.lfHeight = -MulDiv(4 - MulDiv(lf.lfHeight, 72, dpi), dpi, 72);
      if (HFONT larger = CreateFontIndirectW(&lf)) {
        SendMessage(edit, WM_SETFONT, reinterpret_cast<WPARAM>(larger), 1);
        if (editFont_) DeleteObject(editFont_);
        editFont_ = larger;
      }
    }
  }
  SetWindowLongPtr(edit, GWL_STYLE, GetWindowLongPtr(edit, GWL_STYLE) | ES_MULTILINE);
  {
    HDC dc = GetDC(edit);
    HFONT font = reinterpret_cast<HFONT>(SendMessage(edit, WM_GETFONT, 0, 0));
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    TEXTMETRICW tm;
    GetTextMetricsW(dc, &tm);
    if (old) SelectObject(dc, old);
    ReleaseDC(edit, dc);
    RECT r;
    GetWindowRect(edit, &r);
    POINT p{r.left, r.top};
    ScreenToClient(dialog, &p);
    SetWindowPos(edit, nullptr, p.x, p.y, r.right - r.left, tm.tmHeight + 6,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (inputDisabled) EnableWindow(edit, 0);
}

void TextInputDialog::onCommand(HWND dialog, int id, WPARAM) {
  if (id == IDOK) {
    char16_t buffer[kEditCap] = {};
    const UINT n = GetDlgItemTextW(dialog, kAlternateId, buffer, kEditCap);
    text = Vesk::utf::toUtf8(std::u16string_view(buffer, n));
    accepted = true;
    close(dialog);
  } else if (id == IDCANCEL || id == IDCLOSE || id == 0xF060) {
    close(dialog);
  }
}

void TextInputDialog::onCancel() {
  text.clear();
  complete(completion, {std::any(false), std::any(std::string())});
}

void TextInputDialog::onResult() {
  complete(completion, {std::any(accepted), std::any(text)});
}

// ---- confirm ----

ConfirmDialog::ConfirmDialog(const std::string& title, const std::string& message)
    : ModalDialog(title, message, "OK") {}

void ConfirmDialog::buildTemplate(DialogTemplateBuilder& b) {
  b.addItem(kStaticAtom, kMessageId, 7, 7, 255, 14, kStatic, 0, u16(message));
  b.addItem(kButtonAtom, IDOK, 157, 31, 50, 14, kDefaultButton, 0, u16(defaultButtonText));
  b.addItem(kButtonAtom, IDCANCEL, 212, 31, 50, 14, kButton, 0, u16(secondButtonText));
}

void ConfirmDialog::onInitDialog(HWND dialog) {
  setCaption(dialog, title);
  buttonProps(dialog, IDCANCEL);
  setProps(dialog, IDCANCEL, {{u"kszAnchorEdge", 2}, {u"kszAbove", kMessageId}, {u"kszRowSpan", 4}});
  buttonProps(dialog, IDOK);
  setProps(dialog, IDOK, {{u"kszRight", IDCANCEL}});
}

void ConfirmDialog::onCommand(HWND dialog, int id, WPARAM) {
  if (id == IDOK) {
    confirmed = true;
    close(dialog);
  } else if (id == IDCANCEL || id == IDCLOSE) {
    close(dialog);
  }
}

void ConfirmDialog::onCancel() { complete(completion, {std::any(false)}); }
void ConfirmDialog::onResult() { complete(completion, {std::any(confirmed)}); }

// ---- alert ----

AlertDialog::AlertDialog(const std::string& title, const std::string& message, int notifyMessage,
                         bool closeOnAlternate)
    : ModalDialog(title, message, "Close"),
      closeOnAlternate(closeOnAlternate),
      notifyMessage(notifyMessage) {}

void AlertDialog::setButtons(const std::vector<std::string>& texts, bool stacked) {
  customButtons = texts;
  vertical = stacked;
}

void AlertDialog::buildTemplate(DialogTemplateBuilder& b) {
  b.addItem(kStaticAtom, kMessageId, 7, 7, 255, 14, kStatic, 0, u16(message));
  if (!customButtons.empty()) {
    int16_t x = 7, y = 31;
    for (size_t i = 0; i < customButtons.size(); ++i) {
      b.addItem(kButtonAtom, kCustomButtonBase + static_cast<int>(i), x, y, 50, 14,
                i == 0 ? kDefaultButton : kButton, 0, u16(customButtons[i]));
      if (vertical) {
        y = static_cast<int16_t>(y + 14);
      } else {
        x = static_cast<int16_t>(x + 55);
      }
    }
    if (!suppressionText.empty())
      b.addItem(kButtonAtom, kSuppressId, x, static_cast<int16_t>(y + 10), 255, 14, kCheckBox, 0,
                u16(suppressionText));
    return;
  }
  const bool check = !suppressionText.empty();
  const int16_t y = check ? 45 : 31;
  if (check) b.addItem(kButtonAtom, kSuppressId, 7, 31, 255, 14, kCheckBox, 0, u16(suppressionText));
  const bool second = !secondButtonText.empty();
  b.addItem(kButtonAtom, IDOK, second ? 267 : 212, y, 50, 14, kDefaultButton, 0,
            u16(defaultButtonText));
  if (second) b.addItem(kButtonAtom, IDCANCEL, 212, y, 50, 14, kButton, 0, u16(secondButtonText));
  if (!alternateButtonText.empty())
    b.addItem(kButtonAtom, kAlternateId, 7, y, 50, 14, kButton, 0, u16(alternateButtonText));
}

void AlertDialog::onInitDialog(HWND dialog) {
  setCaption(dialog, title);
  if (!customButtons.empty()) {
    const int count = static_cast<int>(customButtons.size());
    for (int i = 0; i < count; ++i) {
      const int id = kCustomButtonBase + i;
      buttonProps(dialog, id);
      if (vertical) {
        setProps(dialog, id,
                 {{u"kszAnchorEdge", 1},
                  {u"kszAbove", i == 0 ? kMessageId : id - 1},
                  {u"kszRowSpan", 2},
                  {u"kszLeading", 30},
                  {u"kszFlexible", 1}});
      } else {
        if (i == 0) {
          setProps(dialog, id, {{u"kszAnchorEdge", 1}});
        } else {
          setProps(dialog, id, {{u"kszLeft", id - 1}});
        }
        setProps(dialog, id, {{u"kszAbove", kMessageId}, {u"kszRowSpan", 4}});
      }
    }
    setProps(dialog, kSuppressId,
             {{u"kszPaddingX", 16}, {u"kszAbove", kCustomButtonBase + count - 1}, {u"kszRowSpan", 3}});
    return;
  }
  const bool check = !suppressionText.empty();
  const int R = check ? kSuppressId : kMessageId;
  const int S = check ? 2 : 4;
  setProps(dialog, kSuppressId, {{u"kszPaddingX", 16}, {u"kszAbove", kMessageId}, {u"kszRowSpan", 3}});
  if (!secondButtonText.empty()) {
    buttonProps(dialog, IDCANCEL);
    setProps(dialog, IDCANCEL, {{u"kszAnchorEdge", 2}, {u"kszAbove", R}, {u"kszRowSpan", S}});
    buttonProps(dialog, IDOK);
    setProps(dialog, IDOK, {{u"kszRight", IDCANCEL}});
  } else {
    buttonProps(dialog, IDOK);
    setProps(dialog, IDOK, {{u"kszAnchorEdge", 2}, {u"kszAbove", R}, {u"kszRowSpan", S}});
  }
  buttonProps(dialog, kAlternateId);
  setProps(dialog, kAlternateId,
           {{u"kszAnchorEdge", 1}, {u"kszAbove", R}, {u"kszRowSpan", S}, {u"kszMarginRight", 120}});
}

void AlertDialog::readCheckBox(HWND dialog) {
  if (suppressionText.empty()) return;
  suppressed = IsDlgButtonChecked(dialog, kSuppressId) == BST_CHECKED;
}

void AlertDialog::onCommand(HWND dialog, int id, WPARAM) {
  if (id == IDOK) {
    readCheckBox(dialog);
    result = 0;
    close(dialog);
  } else if (id == IDCANCEL) {
    // Escape on an alert whose buttons are custom has no second button to stand for: it cancels.
    if (!customButtons.empty()) {
      result = -1;
    } else {
      readCheckBox(dialog);
      result = 1;
    }
    close(dialog);
  } else if (id == IDCLOSE) {
    result = -1;
    close(dialog);
  } else if (id == kAlternateId) {
    readCheckBox(dialog);
    result = 2;
    if (notifyMessage != 0) {
      const std::string command = alternateCommand;
      SendMessage(GetParent(dialog), static_cast<UINT>(notifyMessage), 0,
                  command.empty() ? 0 : reinterpret_cast<LPARAM>(command.c_str()));
    }
    if (closeOnAlternate) close(dialog);
  } else if (id >= kCustomButtonBase &&
             id < kCustomButtonBase + static_cast<int>(customButtons.size())) {
    readCheckBox(dialog);
    result = id - kCustomButtonBase;
    close(dialog);
  }
}

void AlertDialog::onCancel() { complete(completion, {}); }
void AlertDialog::onResult() { complete(completion, {std::any(result), std::any(suppressed)}); }

}  // namespace zrk
