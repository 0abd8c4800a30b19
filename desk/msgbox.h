// Message boxes. A box runs a nested message loop on the calling thread (so work queued to the
// thread meanwhile still runs) with its owner disabled until it closes. What the user answers comes
// from one place: the answerer a test (or a later display backend) installs; without one the box
// writes its caption and text to standard error and answers its default button at once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "desk/types.h"

namespace desk {

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_RETRYCANCEL = 0x5;
constexpr UINT MB_CANCELTRYCONTINUE = 0x6;
constexpr UINT MB_TYPEMASK = 0xF;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONHAND = MB_ICONERROR;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONEXCLAMATION = MB_ICONWARNING;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_ICONASTERISK = MB_ICONINFORMATION;
constexpr UINT MB_DEFBUTTON1 = 0x000;
constexpr UINT MB_DEFBUTTON2 = 0x100;
constexpr UINT MB_DEFBUTTON3 = 0x200;
constexpr UINT MB_DEFMASK = 0xF00;
constexpr UINT MB_APPLMODAL = 0x0000;
constexpr UINT MB_SYSTEMMODAL = 0x1000;
constexpr UINT MB_TASKMODAL = 0x2000;
constexpr UINT MB_SETFOREGROUND = 0x10000;
constexpr UINT MB_TOPMOST = 0x40000;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDCLOSE = 8;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

struct MessageBoxRequest {
  HWND owner = nullptr;
  std::u16string caption;  // "Error" when none was given
  std::u16string text;
  UINT type = 0;
  std::vector<int> buttons;  // in order, e.g. {IDYES, IDNO, IDCANCEL}
  int defaultButton = IDOK;
  DWORD threadId = 0;
};

// Shows the box and later calls `answer` once with one of the request's buttons; `answer` may be
// called from any thread, also before present() returns. An answer that is not one of the buttons
// is taken as the default button.
class MessageBoxAnswerer {
 public:
  virtual ~MessageBoxAnswerer() = default;
  virtual void present(const MessageBoxRequest& request, std::function<void(int)> answer) = 0;
};
// Null puts the headless default back.
void setMessageBoxAnswerer(std::shared_ptr<MessageBoxAnswerer> answerer);

// Returns the button chosen. A WM_QUIT that arrives meanwhile closes the box (and is posted again
// for the enclosing loop); the result is then what Escape gives: IDCANCEL when the box has a Cancel
// button, IDOK for an OK-only box, otherwise 0. The owner is enabled again on every path. A type
// with an unknown button set gives 0 (ERROR_INVALID_PARAMETER) and shows nothing.
int MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type);
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);

}  // namespace desk
