// A stand-in for the owner's UI thread in engine tests: a queue that engine threads post to and
// the test thread runs, with bounded waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "desk/web/engine.h"

namespace deskweb_test {

class TestLoop {
 public:
  TestLoop() : state_(std::make_shared<State>()) {}

  // The executor handed to the engine. It only queues, so nothing runs on the poster's thread.
  desk::web::Executor executor() const {
    std::shared_ptr<State> s = state_;
    return [s](std::function<void()> work) {
      {
        std::lock_guard lock(s->mutex);
        s->queue.push_back(std::move(work));
      }
      s->cv.notify_all();
    };
  }

  // Runs queued work on this thread until `done()` holds or `timeout` passes; returns done().
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      std::function<void()> work;
      {
        std::unique_lock lock(state_->mutex);
        if (!state_->cv.wait_until(lock, deadline, [&] { return !state_->queue.empty(); })) {
          return done();
        }
        work = std::move(state_->queue.front());
        state_->queue.pop_front();
      }
      work();
    }
    return true;
  }

  // Runs everything queued until the queue stays empty.
  void drain() {
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard lock(state_->mutex);
        if (state_->queue.empty()) return;
        work = std::move(state_->queue.front());
        state_->queue.pop_front();
      }
      work();
    }
  }

  size_t queued() const {
    std::lock_guard lock(state_->mutex);
    return state_->queue.size();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;
  };
  std::shared_ptr<State> state_;
};

}  // namespace deskweb_test
