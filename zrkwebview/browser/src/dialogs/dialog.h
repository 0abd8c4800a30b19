// The framework's own small native dialogs: their common base `zrk::ModalDialog`, the in-memory
// template they are built from, and their dialog procedure. A dialog is modeless on the layer
// and made modal by disabling its owner; `show` returns at once and the result reaches the
// caller through the completion.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "desk/types.h"

namespace zrk {

// A packed dialog template being built.
class DialogTemplateBuilder {
 public:
  // Copies the bytes at the write position, growing the buffer by (length rounded down to a
  // multiple of 1024) + 1024 zero bytes when they do not fit. Throws
  // std::runtime_error("not enough memory to copy") when the buffer cannot grow.
  void appendBytes(const void* bytes, size_t length);
  // The UTF-16 text and its terminating zero (one zero word for an empty text).
  void appendString(const std::u16string& text);
  // The header. DS_SETFONT is added to `style` with a face name and removed without one.
  void beginDialog(const std::u16string& title, int16_t x, int16_t y, int16_t cx, int16_t cy,
                   uint32_t style, uint32_t exStyle, const char16_t* faceName, uint16_t pointSize);
  // One control, at the next multiple of 4; adds one to the header's item count.
  void addItem(uint16_t classAtom, int id, int16_t x, int16_t y, int16_t cx, int16_t cy,
               uint32_t style, uint32_t exStyle, const std::u16string& text,
               const void* creationData = nullptr, uint16_t creationDataLength = 0);

  const std::vector<int>& ids() const { return ids_; }
  // The template: the first size() bytes of the buffer.
  const uint8_t* data() const { return buffer_.data(); }
  size_t size() const { return position_; }
  size_t capacity() const { return buffer_.size(); }

 private:
  void appendWord(uint16_t v);
  void appendDword(uint32_t v);
  std::vector<int> ids_;
  std::vector<uint8_t> buffer_;
  size_t position_ = 0;
  size_t header_ = SIZE_MAX;  // offset of the header's item count
};

// The dialog header style: WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU, DS_CENTER,
// DS_MODALFRAME.
constexpr uint32_t kDialogStyle = 0x90C80880;

class ModalDialog {
 public:
  using Completion = std::function<void(const std::vector<std::any>&)>;

  ModalDialog(const std::string& title, const std::string& message,
              const std::string& defaultButtonText);
  virtual ~ModalDialog();
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

  // Builds, creates, lays out and shows the dialog; the owner (may be null) is disabled while
  // it is open. `dark` 1 gives the dark look. When the window cannot be made, the completion gets
  // the cancel result before `show` returns.
  virtual void show(desk::HWND owner, Completion completion, int dark);
  virtual void onInitDialog(desk::HWND dialog) = 0;
  virtual void onCommand(desk::HWND dialog, int id, desk::WPARAM wParam) = 0;
  virtual void buildTemplate(DialogTemplateBuilder& builder) = 0;
  virtual void onCancel() = 0;
  virtual void onResult() = 0;
  // Closes the window, then reports the result when a completion is set.
  virtual void close(desk::HWND dialog);

  desk::LRESULT handleMessage(desk::HWND dialog, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam);

  std::string title;
  std::string message;
  std::string defaultButtonText;
  Completion completion;
  bool styled = false;
  std::vector<int> controlIds;

 private:
  friend desk::LRESULT modalDialogProc(desk::HWND, desk::UINT, desk::WPARAM, desk::LPARAM);
  void releaseOwner(desk::HWND dialog);
  void drawButton(const void* drawItem);
  bool closing_ = false;
  bool ownerHeld_ = false;
};

// The dialog procedure of every modal dialog.
desk::LRESULT modalDialogProc(desk::HWND dialog, desk::UINT message, desk::WPARAM wParam,
                              desk::LPARAM lParam);

// How many of the framework's dialogs keep this owner disabled now.
int openDialogsOf(desk::HWND owner);

}  // namespace zrk
