// Collapses a burst of triggers into one action: every trigger restarts a one-shot timer of the
// delay, and the action runs once the timer expires without a newer trigger. Triggers, the action
// and cancel run on the UI thread (the application's timers).
#pragma once

#include <functional>

namespace zrk {

class Debouncer {
 public:
  Debouncer() = default;
  explicit Debouncer(int delayMs) : delay_(delayMs) {}
  Debouncer(int delayMs, std::function<void()> action)
      : delay_(delayMs), action_(std::move(action)) {}
  // A copy has the delay and the action, never the pending timer: that stays with its debouncer.
  Debouncer(const Debouncer& other) : delay_(other.delay_), action_(other.action_) {}
  Debouncer& operator=(const Debouncer& other);
  // Cancels a pending timer.
  ~Debouncer();

  void setDelay(int delayMs) { delay_ = delayMs; }
  int delay() const { return delay_; }
  // Restarts the timer with `action` (the stored action when empty); with no action, or a delay
  // of 0, nothing happens.
  void trigger(std::function<void()> action = {});
  // Stops a pending timer without running its action.
  void cancel();
  bool isPending() const { return timer_ != 0; }

 private:
  int delay_ = 0;
  std::function<void()> action_;
  unsigned timer_ = 0;
};

}  // namespace zrk
