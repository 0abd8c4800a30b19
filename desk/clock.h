// The one clock every timer, animation and timed wait reads. The real clock by default; tests
// install a virtual clock and move it forward themselves.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "desk/types.h"

namespace desk {

class Clock {
 public:
  // A deadline that never comes.
  static constexpr uint64_t kNever = UINT64_MAX;

  virtual ~Clock() = default;

  // Milliseconds since an arbitrary start; never goes backwards.
  virtual uint64_t now() = 0;

  // Called with `lock` held, the lock that guards whatever `ready` reads; `cv` is notified by
  // whoever changes it. Waits until `ready()` holds or now() reaches `deadline`, whichever comes
  // first, and returns ready(). Like a condition-variable wait, it may release the lock meanwhile;
  // it holds it again on return.
  virtual bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         uint64_t deadline, const std::function<bool()>& ready) = 0;
};

// The monotonic system clock.
class RealClock final : public Clock {
 public:
  RealClock();
  uint64_t now() override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 uint64_t deadline, const std::function<bool()>& ready) override;

 private:
  std::chrono::steady_clock::time_point start_;
};

// A clock that stands still until a test moves it. Waits on it end only when the test advances it
// past their deadline (or what they wait for happens), never by the passing of real time.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(uint64_t start = 0) : now_(start) {}

  uint64_t now() override { return now_.load(); }
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 uint64_t deadline, const std::function<bool()>& ready) override;

  // Moves the clock forward and wakes every wait so it can look at the new time.
  void advance(uint64_t ms);

  // How many waits are in progress: lets a test know a thread is waiting before it advances.
  size_t waiters();

 private:
  struct Waiter {
    std::mutex* mutex;
    std::condition_variable* cv;
  };
  std::atomic<uint64_t> now_;
  std::mutex mutex_;  // guards waiters_; taken before any waiter's own mutex, never after it
  std::list<Waiter> waiters_;
};

// The clock in use. setClock(nullptr) puts the real clock back. Install a clock before the waits
// that should use it begin.
std::shared_ptr<Clock> currentClock();
void setClock(std::shared_ptr<Clock> clock);

// The current clock's time, in milliseconds: 32 bits (wrapping) and 64 bits.
DWORD GetTickCount();
uint64_t GetTickCount64();

}  // namespace desk
