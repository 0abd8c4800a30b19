// Hand-off latency of the dispatch queues against a plain mutex + condition-variable hand-off
// between threads, and the CPU that idle queues use.
//
//   build/bin/dispatch_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "libdispatch/src/dispatch.h"

namespace {

// Wakes the benchmark thread; both sides use it, so only the hand-offs between them differ.
class Signal {
 public:
  void raise() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      raised_ = true;
    }
    cv_.notify_one();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return raised_; });
    raised_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool raised_ = false;
};

// The peer: a thread that runs the functions handed to it, in order, through a mutex, a
// condition variable and a deque.
class PlainWorker {
 public:
  PlainWorker() : thread_([this] { loop(); }) {}
  ~PlainWorker() {
    post(nullptr);
    thread_.join();
  }
  void post(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      items_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }
  void sync(std::function<void()> fn) {
    Signal done;
    post([&] {
      fn();
      done.raise();
    });
    done.wait();
  }

 private:
  void loop() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return !items_.empty(); });
        fn = std::move(items_.front());
        items_.pop_front();
      }
      if (!fn) return;
      fn();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> items_;
  std::thread thread_;
};

void initOnce() { dispatch_init(); }

// The benchmark thread hands work to queue A, which hands the completion to queue B, which wakes
// the benchmark thread.
void BM_DispatchAsyncRoundTrip(benchmark::State& state) {
  initOnce();
  dispatch_queue_t a = dispatch_create_queue("bench-a");
  dispatch_queue_t b = dispatch_create_queue("bench-b");
  Signal done;
  for (auto _ : state) {
    dispatch_async(a, [b, &done] { dispatch_async(b, [&done] { done.raise(); }); });
    done.wait();
  }
}
BENCHMARK(BM_DispatchAsyncRoundTrip)->UseRealTime();

void BM_PlainAsyncRoundTrip(benchmark::State& state) {
  PlainWorker a;
  PlainWorker b;
  Signal done;
  for (auto _ : state) {
    a.post([&b, &done] { b.post([&done] { done.raise(); }); });
    done.wait();
  }
}
BENCHMARK(BM_PlainAsyncRoundTrip)->UseRealTime();

void BM_DispatchSync(benchmark::State& state) {
  initOnce();
  dispatch_queue_t a = dispatch_create_queue("bench-a");
  int value = 0;
  for (auto _ : state) dispatch_sync(a, [&value] { ++value; });
  benchmark::DoNotOptimize(value);
}
BENCHMARK(BM_DispatchSync)->UseRealTime();

void BM_PlainSync(benchmark::State& state) {
  PlainWorker a;
  int value = 0;
  for (auto _ : state) a.sync([&value] { ++value; });
  benchmark::DoNotOptimize(value);
}
BENCHMARK(BM_PlainSync)->UseRealTime();

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Sixteen idle queues for 200 ms: the CPU the whole process used meanwhile, in milliseconds.
void BM_IdleQueuesCpu(benchmark::State& state) {
  initOnce();
  std::vector<dispatch_queue_t> queues;
  for (int i = 0; i < 16; ++i) queues.push_back(dispatch_create_queue(("idle-" + std::to_string(i)).c_str()));
  double cpuMs = 0;
  for (auto _ : state) {
    double before = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cpuMs = (processCpuSeconds() - before) * 1000;
  }
  state.counters["idle_cpu_ms"] = cpuMs;
  for (dispatch_queue_t q : queues) dispatch_release_queue(q);
}
BENCHMARK(BM_IdleQueuesCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
