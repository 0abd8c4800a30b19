// The bounded buffer an upstream reply's body goes through: the HTTP client's threads put the
// bytes in, the plugin thread takes them out. A put completes only once every byte of it has
// found room, so the network is read only as fast as the reader takes the body on, and at most
// `capacity` bytes (plus the one put being taken in) are held at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace zrk::plugin {

class BodyPipe {
 public:
  static constexpr size_t kDefaultCapacity = 1024 * 1024;

  explicit BodyPipe(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
  BodyPipe(const BodyPipe&) = delete;
  BodyPipe& operator=(const BodyPipe&) = delete;

  // --- writer side (the HTTP client) ---
  // Offers `count` bytes at `data`, which stay valid until `done` is called: with true once all
  // of them are taken in, with false when the pipe was failed or abandoned first. `done` may run
  // on the calling thread (before put returns) or on the reader's. One put at a time.
  void put(const uint8_t* data, size_t count, std::function<void(bool)> done);
  // The body is complete.
  void finish();
  // The body failed; the reader gets the bytes already in, then the error.
  void fail(const std::string& error);

  // --- reader side ---
  enum class State { data, end, failed, timedOut };
  // Waits (at most `wait`) until bytes are there, the body has ended or failed, and takes at
  // most maxBytes. `out` is empty unless the state is data.
  State read(size_t maxBytes, std::chrono::milliseconds wait, std::string& out);
  // Every byte has been read and the body is complete.
  bool atEnd();
  // The error of a failed body.
  std::string error();
  // The reader is gone: the put in progress and every later one fail, nothing more is kept.
  void abandon();

  // The most bytes held at once.
  size_t highWaterMark();

 private:
  // Moves what fits of the pending put into the buffer; returns its callback when the put is
  // complete (or failed), to be called without the lock.
  std::function<void(bool)> takePendingLocked(bool& ok);
  size_t bufferedLocked() const { return buffer_.size() - readOffset_; }

  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string buffer_;
  size_t readOffset_ = 0;
  const uint8_t* pendingData_ = nullptr;
  size_t pendingCount_ = 0;
  std::function<void(bool)> pendingDone_;
  bool finished_ = false;
  bool failed_ = false;
  bool abandoned_ = false;
  std::string error_;
  size_t highWater_ = 0;
};

}  // namespace zrk::plugin
