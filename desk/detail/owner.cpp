#include "desk/detail/owner.h"

#include <memory>
#include <mutex>

#include "desk/window.h"
#include "desk/test_services.h"

namespace desk::detail {

namespace {

std::mutex& enablerMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<OwnerEnabler>& enablerSlot() {
  static std::shared_ptr<OwnerEnabler> slot;
  return slot;
}

}  // namespace

bool setOwnerEnabled(HWND hwnd, bool enabled) {
  std::shared_ptr<OwnerEnabler> enabler;
  {
    std::lock_guard<std::mutex> lock(enablerMutex());
    enabler = enablerSlot();
  }
  if (enabler) return (*enabler)(hwnd, enabled);
#if __has_include("desk/window.h")
  return EnableWindow(hwnd, enabled ? 1 : 0) != 0;
#else
  return false;
#endif
}

void setOwnerEnabler(OwnerEnabler enabler) {
  std::lock_guard<std::mutex> lock(enablerMutex());
  enablerSlot() = enabler ? std::make_shared<OwnerEnabler>(std::move(enabler)) : nullptr;
}

}  // namespace desk::detail

namespace desk::test {

void setOwnerEnabler(std::function<bool(HWND, bool)> enabler) {
  detail::setOwnerEnabler(std::move(enabler));
}

}  // namespace desk::test
