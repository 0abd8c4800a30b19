// The once-token and the dispatch logger.
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "libdispatch/src/dispatch.h"

// ---- once --------------------------------------------------------------------------------------

namespace {

// Ends a run of fn: marks the token done when it succeeded, frees it for a retry when it threw,
// and wakes every caller waiting for the run.
void finishOnce(dispatch_once_t* token, bool succeeded) {
  {
    std::lock_guard<std::mutex> guard(token->lock);
    if (succeeded) token->done.store(true, std::memory_order_release);
    token->running = false;
    token->generation.fetch_add(1);
  }
  token->generation.notify_all();
}

}  // namespace

void dispatch_once(dispatch_once_t* token, std::function<void()> fn) {
  if (!token) throw std::invalid_argument("dispatch_once_t is null");
  if (!fn) throw std::runtime_error("not a function");
  for (;;) {
    if (token->done.load(std::memory_order_acquire)) return;
    bool runner = false;
    uint32_t generation = 0;
    {
      std::lock_guard<std::mutex> guard(token->lock);
      if (token->done.load(std::memory_order_acquire)) return;
      if (!token->running) {
        token->running = true;
        runner = true;
      } else {
        generation = token->generation.load();
      }
    }
    if (runner) {
      try {
        fn();
      } catch (...) {
        finishOnce(token, false);
        throw;
      }
      finishOnce(token, true);
      return;
    }
    // Another caller runs fn: wait for that run to end, then look again. A run that threw leaves
    // the token unused, and this caller may be the one that retries.
    token->generation.wait(generation);
  }
}

// ---- logger ------------------------------------------------------------------------------------

namespace {

std::atomic<int> g_threshold{DISPATCH_LOG_WARN};

struct LoggerState {
  std::mutex mutex;
  dispatch_log_handler_t handler;
};

// Never destroyed: threads may log while static objects are being destroyed.
LoggerState& logger() {
  static LoggerState* state = new LoggerState;
  return *state;
}

const char* levelName(int level) {
  switch (level) {
    case DISPATCH_LOG_ERROR: return "ERROR";
    case DISPATCH_LOG_WARN: return "WARN";
    case DISPATCH_LOG_INFO: return "INFO";
    case DISPATCH_LOG_TRACE: return "TRACE";
    case DISPATCH_LOG_DEBUG: return "DEBUG";
    default: return "UNKNOWN";
  }
}

}  // namespace

bool dispatch_log_enabled(int level) { return level <= g_threshold.load(std::memory_order_relaxed); }

void dispatch_log(const std::string& file, int line, const char* function, int level,
                  const char* format, ...) {
  if (!dispatch_log_enabled(level)) return;
  std::string message;
  if (format) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
      message.resize(static_cast<size_t>(length));
      std::vsnprintf(message.data(), message.size() + 1, format, args);
    }
    va_end(args);
  }
  if (!function) function = "";
  LoggerState& state = logger();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.handler) {
    state.handler(file, line, function, level, message);
    return;
  }
  std::fprintf(stderr, "[%s] %s:%d (%s) - %s\n", levelName(level), file.c_str(), line, function,
               message.c_str());
  std::fflush(stderr);
}

std::string dispatch_short_path(const std::string& path, unsigned count) {
  std::string converted = path;
  for (char& c : converted) {
    if (c == '\\') c = '/';
  }
  if (count == 0) return converted;
  unsigned seen = 0;
  for (size_t i = converted.size(); i-- > 0;) {
    if (converted[i] != '/') continue;
    if (++seen == count) return converted.substr(i);
  }
  return converted;
}

void dispatch_set_log_level(int level) {
  std::lock_guard<std::mutex> guard(logger().mutex);
  g_threshold.store(level);
}

void dispatch_set_log_handler(dispatch_log_handler_t handler) {
  dispatch_log_handler_t previous;
  {
    std::lock_guard<std::mutex> guard(logger().mutex);
    previous = std::exchange(logger().handler, std::move(handler));
  }
  // The previous handler is destroyed outside the lock: its captures may log.
}

void dispatch_split_path(std::vector<std::string>& out, const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) out.push_back(path.substr(start, end - start));
    start = end + 1;
  }
}
