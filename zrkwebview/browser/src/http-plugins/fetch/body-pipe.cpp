#include "zrkwebview/browser/src/http-plugins/fetch/body-pipe.h"

#include <algorithm>
#include <utility>

namespace zrk::plugin {

std::function<void(bool)> BodyPipe::takePendingLocked(bool& ok) {
  ok = true;
  if (!pendingDone_) return nullptr;
  if (failed_ || abandoned_) {
    ok = false;
    pendingData_ = nullptr;
    pendingCount_ = 0;
    return std::exchange(pendingDone_, nullptr);
  }
  // Compact the buffer once the read part dominates it.
  if (readOffset_ > 0 && readOffset_ >= buffer_.size() / 2) {
    buffer_.erase(0, readOffset_);
    readOffset_ = 0;
  }
  const size_t room = capacity_ > bufferedLocked() ? capacity_ - bufferedLocked() : 0;
  const size_t n = std::min(room, pendingCount_);
  if (n > 0) {
    buffer_.append(reinterpret_cast<const char*>(pendingData_), n);
    pendingData_ += n;
    pendingCount_ -= n;
    highWater_ = std::max(highWater_, bufferedLocked());
    changed_.notify_all();
  }
  if (pendingCount_ > 0) return nullptr;
  pendingData_ = nullptr;
  return std::exchange(pendingDone_, nullptr);
}

void BodyPipe::put(const uint8_t* data, size_t count, std::function<void(bool)> done) {
  std::function<void(bool)> complete;
  bool ok = true;
  {
    std::lock_guard guard(mutex_);
    if (failed_ || abandoned_ || finished_ || pendingDone_) {
      complete = std::move(done);
      ok = false;
    } else {
      pendingData_ = data;
      pendingCount_ = count;
      pendingDone_ = std::move(done);
      complete = takePendingLocked(ok);
    }
  }
  if (complete) complete(ok);
}

void BodyPipe::finish() {
  std::lock_guard guard(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void BodyPipe::fail(const std::string& error) {
  std::function<void(bool)> complete;
  bool ok = false;
  {
    std::lock_guard guard(mutex_);
    if (finished_ || failed_) return;
    failed_ = true;
    error_ = error.empty() ? std::string("The upstream body failed") : error;
    complete = takePendingLocked(ok);
    changed_.notify_all();
  }
  if (complete) complete(false);
}

void BodyPipe::abandon() {
  std::function<void(bool)> complete;
  bool ok = false;
  {
    std::lock_guard guard(mutex_);
    abandoned_ = true;
    buffer_.clear();
    buffer_.shrink_to_fit();
    readOffset_ = 0;
    complete = takePendingLocked(ok);
    changed_.notify_all();
  }
  if (complete) complete(false);
}

BodyPipe::State BodyPipe::read(size_t maxBytes, std::chrono::milliseconds wait, std::string& out) {
  out.clear();
  std::function<void(bool)> complete;
  bool ok = true;
  State state;
  {
    std::unique_lock lock(mutex_);
    const bool ready = changed_.wait_for(lock, wait, [this] {
      return bufferedLocked() > 0 || finished_ || failed_ || abandoned_ || pendingCount_ > 0;
    });
    // A put larger than the room left waits in pendingData_: take it in first.
    if (bufferedLocked() == 0 && pendingDone_) complete = takePendingLocked(ok);
    if (bufferedLocked() > 0 && maxBytes > 0) {
      const size_t n = std::min(maxBytes, bufferedLocked());
      out.assign(buffer_, readOffset_, n);
      readOffset_ += n;
      if (readOffset_ == buffer_.size()) {
        buffer_.clear();
        readOffset_ = 0;
      }
      if (!complete && pendingDone_) complete = takePendingLocked(ok);
      state = State::data;
    } else if (failed_ || abandoned_) {
      state = State::failed;
    } else if (finished_) {
      state = State::end;
    } else {
      state = ready ? State::data : State::timedOut;
    }
  }
  if (complete) complete(ok);
  return state;
}

bool BodyPipe::atEnd() {
  std::lock_guard guard(mutex_);
  return finished_ && bufferedLocked() == 0 && !pendingDone_;
}

std::string BodyPipe::error() {
  std::lock_guard guard(mutex_);
  return abandoned_ && error_.empty() ? std::string("The body was abandoned") : error_;
}

size_t BodyPipe::highWaterMark() {
  std::lock_guard guard(mutex_);
  return highWater_;
}

}  // namespace zrk::plugin
