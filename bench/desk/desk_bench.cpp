// The cost of a cross-thread SendMessage round trip, side by side in one run with the
// dispatch_sync hop and a plain mutex + condition-variable hand-off; a broadcast to 20 windows;
// and the CPU an idle thread uses with ten timers pending.
//
//   build/bin/desk_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "desk/message.h"
#include "desk/thread.h"
#include "desk/window.h"
#include "libdispatch/src/dispatch.h"

namespace {

using namespace desk;

std::atomic<int> g_counter{0};

LRESULT benchProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) return ++g_counter;
  return DefWindowProc(hwnd, message, wParam, lParam);
}

void registerClass() {
  static const bool done = [] {
    WNDCLASSEX wc;
    wc.lpfnWndProc = benchProc;
    wc.lpszClassName = u"BenchWindow";
    return RegisterClassEx(&wc) != 0;
  }();
  (void)done;
}

// A thread that owns `count` windows and pumps its queue until told to stop.
class WindowThread {
 public:
  explicit WindowThread(int count) {
    registerClass();
    std::promise<void> ready;
    thread_ = std::thread([this, count, &ready] {
      for (int i = 0; i < count; ++i)
        windows_.push_back(CreateWindowEx(0, u"BenchWindow", u"", WS_POPUP, 0, 0, 10, 10,
                                          nullptr, nullptr, nullptr, nullptr));
      id_ = GetCurrentThreadId();
      ready.set_value();
      MSG m;
      while (GetMessage(&m, nullptr, 0, 0) > 0) DispatchMessage(&m);
      for (HWND h : windows_) DestroyWindow(h);
    });
    ready.get_future().wait();
  }
  ~WindowThread() {
    PostThreadMessage(id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  HWND window(size_t i = 0) const { return windows_[i]; }
  DWORD id() const { return id_; }

 private:
  std::thread thread_;
  std::vector<HWND> windows_;
  DWORD id_ = 0;
};

// The peer: a thread that runs the functions handed to it through a mutex, a condition variable
// and a deque (the same as bench/dispatch).
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
  void sync(const std::function<void()>& fn) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    post([&] {
      fn();
      {
        std::lock_guard<std::mutex> guard(m);
        done = true;
      }
      cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
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

void BM_SendMessageCrossThread(benchmark::State& state) {
  WindowThread target(1);
  HWND h = target.window();
  for (auto _ : state) benchmark::DoNotOptimize(SendMessage(h, WM_USER, 0, 0));
}
BENCHMARK(BM_SendMessageCrossThread)->UseRealTime();

void BM_DispatchSyncHop(benchmark::State& state) {
  static const bool init = [] {
    dispatch_init();
    return true;
  }();
  (void)init;
  dispatch_queue_t q = dispatch_create_queue("bench-desk-sync");
  int value = 0;
  for (auto _ : state) dispatch_sync(q, [&value] { ++value; });
  benchmark::DoNotOptimize(value);
}
BENCHMARK(BM_DispatchSyncHop)->UseRealTime();

void BM_PlainMutexHandOff(benchmark::State& state) {
  PlainWorker worker;
  int value = 0;
  for (auto _ : state) worker.sync([&value] { ++value; });
  benchmark::DoNotOptimize(value);
}
BENCHMARK(BM_PlainMutexHandOff)->UseRealTime();

// One broadcast reaching 20 top-level windows, spread over four threads.
void BM_BroadcastTo20Windows(benchmark::State& state) {
  std::vector<std::unique_ptr<WindowThread>> threads;
  for (int i = 0; i < 4; ++i) threads.push_back(std::make_unique<WindowThread>(5));
  int before = g_counter.load();
  for (auto _ : state) SendMessage(HWND_BROADCAST, WM_USER, 0, 0);
  state.counters["windows_reached"] = benchmark::Counter(
      static_cast<double>(g_counter.load() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_BroadcastTo20Windows)->UseRealTime();

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A thread in GetMessage with ten timers pending (none due within the measurement): the CPU the
// whole process used over 200 ms, in milliseconds.
void BM_IdleThreadWithTenTimersCpu(benchmark::State& state) {
  WindowThread idle(1);
  HWND h = idle.window();
  for (UINT_PTR id = 1; id <= 10; ++id) SetTimer(h, id, 60000 + static_cast<UINT>(id), nullptr);
  double cpuMs = 0;
  for (auto _ : state) {
    double before = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cpuMs = (processCpuSeconds() - before) * 1000;
  }
  state.counters["idle_cpu_ms"] = cpuMs;
}
BENCHMARK(BM_IdleThreadWithTenTimersCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
