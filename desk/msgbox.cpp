#include "desk/msgbox.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "desk/detail/codec.h"
#include "desk/detail/owner.h"
#include "desk/nested_loop.h"
#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {

namespace {

std::mutex& answererMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<MessageBoxAnswerer>& answererSlot() {
  static std::shared_ptr<MessageBoxAnswerer> slot;
  return slot;
}

std::mutex& historyMutex() {
  static std::mutex m;
  return m;
}

std::vector<MessageBoxRequest>& history() {
  static std::vector<MessageBoxRequest> h;
  return h;
}

bool buttonsOf(UINT type, std::vector<int>& buttons) {
  switch (type & MB_TYPEMASK) {
    case MB_OK: buttons = {IDOK}; return true;
    case MB_OKCANCEL: buttons = {IDOK, IDCANCEL}; return true;
    case MB_ABORTRETRYIGNORE: buttons = {IDABORT, IDRETRY, IDIGNORE}; return true;
    case MB_YESNOCANCEL: buttons = {IDYES, IDNO, IDCANCEL}; return true;
    case MB_YESNO: buttons = {IDYES, IDNO}; return true;
    case MB_RETRYCANCEL: buttons = {IDRETRY, IDCANCEL}; return true;
    case MB_CANCELTRYCONTINUE: buttons = {IDCANCEL, IDTRYAGAIN, IDCONTINUE}; return true;
    default: return false;
  }
}

int escapeAnswer(const MessageBoxRequest& r) {
  for (int b : r.buttons) {
    if (b == IDCANCEL) return IDCANCEL;
  }
  return r.buttons.size() == 1 && r.buttons[0] == IDOK ? IDOK : 0;
}

// Enables the owner again when the box goes, however it goes.
class OwnerDisabled {
 public:
  explicit OwnerDisabled(HWND owner) : owner_(owner) {
    if (owner_) wasDisabled_ = detail::setOwnerEnabled(owner_, false);
  }
  ~OwnerDisabled() {
    if (owner_ && !wasDisabled_) detail::setOwnerEnabled(owner_, true);
  }
  OwnerDisabled(const OwnerDisabled&) = delete;
  OwnerDisabled& operator=(const OwnerDisabled&) = delete;

 private:
  HWND owner_;
  bool wasDisabled_ = false;
};

}  // namespace

void setMessageBoxAnswerer(std::shared_ptr<MessageBoxAnswerer> answerer) {
  std::lock_guard<std::mutex> lock(answererMutex());
  answererSlot() = std::move(answerer);
}

int MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type) {
  MessageBoxRequest request;
  if (!buttonsOf(type, request.buttons)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  request.owner = owner;
  request.text = std::u16string(detail::wideView(text));
  request.caption = caption ? std::u16string(caption) : std::u16string(u"Error");
  request.type = type;
  const size_t defaultIndex = (type & MB_DEFMASK) >> 8;
  request.defaultButton =
      request.buttons[defaultIndex < request.buttons.size() ? defaultIndex : 0];
  request.threadId = GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> lock(historyMutex());
    history().push_back(request);
  }
  std::shared_ptr<MessageBoxAnswerer> answerer;
  {
    std::lock_guard<std::mutex> lock(answererMutex());
    answerer = answererSlot();
  }

  OwnerDisabled disabled(owner);
  // The loop outlives every answer: a late answer from another thread finds it still there.
  auto loop = std::make_shared<NestedLoop>();
  const std::vector<int> buttons = request.buttons;
  const int fallback = request.defaultButton;
  auto answer = [loop, buttons, fallback](int id) {
    bool known = false;
    for (int b : buttons) known = known || b == id;
    loop->end(known ? id : fallback);
  };
  if (answerer) {
    answerer->present(request, answer);
  } else {
    std::fprintf(stderr, "%s: %s\n", detail::utf16ToUtf8(request.caption).c_str(),
                 detail::utf16ToUtf8(request.text).c_str());
    answer(request.defaultButton);
  }
  const LRESULT result = loop->run(0);
  if (loop->quitReceived()) return escapeAnswer(request);
  return static_cast<int>(result);
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  const std::u16string wideText = detail::utf8ToUtf16(detail::narrowView(text));
  const std::u16string wideCaption = detail::utf8ToUtf16(detail::narrowView(caption));
  return MessageBoxW(owner, wideText.c_str(), caption ? wideCaption.c_str() : nullptr, type);
}

namespace test {

namespace {

class ChooserAnswerer final : public MessageBoxAnswerer {
 public:
  explicit ChooserAnswerer(MessageBoxChooser chooser) : chooser_(std::move(chooser)) {}
  void present(const MessageBoxRequest& request, std::function<void(int)> answer) override {
    chooser_(request, std::move(answer));
  }

 private:
  MessageBoxChooser chooser_;
};

}  // namespace

void setMessageBoxChooser(MessageBoxChooser chooser) {
  setMessageBoxAnswerer(chooser ? std::make_shared<ChooserAnswerer>(std::move(chooser)) : nullptr);
}

std::vector<MessageBoxRequest> messageBoxes() {
  std::lock_guard<std::mutex> lock(historyMutex());
  return history();
}

void clearMessageBoxes() {
  std::lock_guard<std::mutex> lock(historyMutex());
  history().clear();
}

}  // namespace test

}  // namespace desk
