// A recycling id allocator: ids given back are handed out again, oldest first, before new ones.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <mutex>

namespace zrk {

template <typename Id>
class BasicIdPool {
 public:
  explicit BasicIdPool(Id firstId = 1) : next_(firstId), first_(firstId) {}

  // The oldest id given back, else the next id never handed out.
  Id acquire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!freed_.empty()) {
      Id id = freed_.front();
      freed_.pop_front();
      return id;
    }
    return next_++;
  }

  // Gives an id back for reuse. An id this pool never handed out is refused, and so, with
  // `unique`, is an id already waiting for reuse (handing one id to two owners would let one of
  // them act on the other's object). Returns whether the id was taken back.
  bool release(Id id, bool unique = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id < first_ || id >= next_) return false;
    if (unique && std::find(freed_.begin(), freed_.end(), id) != freed_.end()) return false;
    freed_.push_back(id);
    return true;
  }

 private:
  Id next_;
  const Id first_;
  std::mutex mutex_;
  std::deque<Id> freed_;
};

// The pool of the page-event listeners and of the open-file registry.
using IdPool = BasicIdPool<uint64_t>;

}  // namespace zrk
