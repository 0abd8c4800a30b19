#include "desk/clock.h"

#include <vector>

namespace desk {
namespace {

struct ClockSlot {
  std::mutex mutex;
  std::shared_ptr<Clock> current;
  // Every clock ever installed stays alive, so a wait that read the old pointer just before a
  // switch never touches a destroyed clock, and reading the clock needs no reference counting.
  std::vector<std::shared_ptr<Clock>> kept;
  std::atomic<Clock*> fast{nullptr};
};

ClockSlot& slot() {
  static ClockSlot* s = [] {
    auto* made = new ClockSlot;
    made->current = std::make_shared<RealClock>();
    made->kept.push_back(made->current);
    made->fast.store(made->current.get());
    return made;
  }();
  return *s;
}

Clock& clockRef() { return *slot().fast.load(std::memory_order_acquire); }

}  // namespace

RealClock::RealClock() : start_(std::chrono::steady_clock::now()) {}

uint64_t RealClock::now() {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

bool RealClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          uint64_t deadline, const std::function<bool()>& ready) {
  // Far deadlines would overflow the time point: wait without a limit.
  constexpr uint64_t kFar = uint64_t{1} << 52;
  if (deadline >= kFar) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_until(lock, start_ + std::chrono::milliseconds(deadline), ready);
}

bool VirtualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                             uint64_t deadline, const std::function<bool()>& ready) {
  if (ready()) return true;
  if (now() >= deadline) return false;
  // Register, then look again: advance() moves the time first and then takes each registered
  // waiter's mutex to notify it, so a wait that saw the old time is woken by it. The caller's
  // mutex is released around the registry's so the two are only ever taken in one order.
  lock.unlock();
  std::list<Waiter>::iterator self;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    self = waiters_.insert(waiters_.end(), Waiter{lock.mutex(), &cv});
  }
  lock.lock();
  while (!ready() && now() < deadline) cv.wait(lock);
  lock.unlock();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiters_.erase(self);
  }
  lock.lock();
  return ready();
}

void VirtualClock::advance(uint64_t ms) {
  std::lock_guard<std::mutex> guard(mutex_);
  now_.fetch_add(ms);
  for (Waiter& w : waiters_) {
    std::lock_guard<std::mutex> inner(*w.mutex);
    w.cv->notify_all();
  }
}

size_t VirtualClock::waiters() {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiters_.size();
}

std::shared_ptr<Clock> currentClock() {
  ClockSlot& s = slot();
  std::lock_guard<std::mutex> guard(s.mutex);
  return s.current;
}

void setClock(std::shared_ptr<Clock> clock) {
  ClockSlot& s = slot();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!clock) clock = s.kept.front();  // the real clock made first
  s.current = clock;
  s.kept.push_back(clock);
  s.fast.store(clock.get(), std::memory_order_release);
}

DWORD GetTickCount() { return static_cast<DWORD>(clockRef().now()); }

uint64_t GetTickCount64() { return clockRef().now(); }

}  // namespace desk
