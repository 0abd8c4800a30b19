// The alert, confirm and text-input dialogs. Each is created with `new`, held by a shared pointer
// that the completion captures, and shown on the UI thread with the page's window as owner.
// Results given to the completion:
//   TextInputDialog  {accepted: bool, text: std::string}      cancel: {false, ""}
//   ConfirmDialog    {confirmed: bool}                         cancel: {false}
//   AlertDialog      {result: int, suppressed: bool}           cancel: {}
#pragma once

#include <string>
#include <vector>

#include "desk/gdi.h"
#include "zrkwebview/browser/src/dialogs/dialog.h"

namespace zrk {

// Control ids of the three dialogs.
constexpr int kMessageId = 1000;
constexpr int kAlternateId = 1001;  // the alert's alternate button, the prompt's edit field
constexpr int kSuppressId = 1002;
constexpr int kCustomButtonBase = 1100;
constexpr int kEditCap = 1024;  // the edit field is read into this many characters

class TextInputDialog : public ModalDialog {
 public:
  TextInputDialog(const std::string& title, const std::string& message,
                  const std::string& promptText, const std::string& initialText,
                  bool inputDisabled);
  ~TextInputDialog() override;
  void onInitDialog(desk::HWND dialog) override;
  void onCommand(desk::HWND dialog, int id, desk::WPARAM wParam) override;
  void buildTemplate(DialogTemplateBuilder& builder) override;
  void onCancel() override;
  void onResult() override;

  std::string promptText;
  std::string initialText;
  std::string secondButtonText = "Cancel";
  bool inputDisabled = false;
  bool accepted = false;
  std::string text;

 private:
  desk::HFONT editFont_ = nullptr;  // the edit field's larger font, made here
};

class ConfirmDialog : public ModalDialog {
 public:
  ConfirmDialog(const std::string& title, const std::string& message);
  void onInitDialog(desk::HWND dialog) override;
  void onCommand(desk::HWND dialog, int id, desk::WPARAM wParam) override;
  void buildTemplate(DialogTemplateBuilder& builder) override;
  void onCancel() override;
  void onResult() override;

  std::string secondButtonText = "Cancel";
  bool confirmed = false;
};

class AlertDialog : public ModalDialog {
 public:
  AlertDialog(const std::string& title, const std::string& message, int notifyMessage,
              bool closeOnAlternate);
  void onInitDialog(desk::HWND dialog) override;
  void onCommand(desk::HWND dialog, int id, desk::WPARAM wParam) override;
  void buildTemplate(DialogTemplateBuilder& builder) override;
  void onCancel() override;
  void onResult() override;
  void setButtons(const std::vector<std::string>& texts, bool vertical);

  std::string alternateButtonText;
  std::string alternateCommand;
  std::string suppressionText;
  std::string secondButtonText;
  bool closeOnAlternate = false;
  int notifyMessage = 0;
  bool suppressed = false;
  int result = -1;
  std::vector<std::string> customButtons;
  bool vertical = false;

 private:
  void readCheckBox(desk::HWND dialog);
};

}  // namespace zrk
