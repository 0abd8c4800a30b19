#include "zrkwebview/browser/src/debouncer.h"

#include "zrkwebview/browser/src/timers.h"

namespace zrk {

Debouncer& Debouncer::operator=(const Debouncer& other) {
  if (this != &other) {
    delay_ = other.delay_;
    action_ = other.action_;
  }
  return *this;
}

Debouncer::~Debouncer() { cancel(); }

void Debouncer::trigger(std::function<void()> action) {
  if (!action) action = action_;
  if (!action) return;
  if (delay_ <= 0) return;  // 0 (or a negative delay) disables the debouncer
  if (timer_ != 0) clearTimer(timer_);
  timer_ = 0;
  timer_ = setTimer(static_cast<uint32_t>(delay_), [this, action = std::move(action)] {
    timer_ = 0;
    action();
  }, false);
}

void Debouncer::cancel() {
  if (timer_ != 0) {
    clearTimer(timer_);
    timer_ = 0;
  }
}

}  // namespace zrk
