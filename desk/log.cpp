#include "desk/log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace desk {

namespace {

std::mutex& handlerMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<LogHandler>& handlerSlot() {
  static std::shared_ptr<LogHandler> slot;
  return slot;
}

}  // namespace

void setLogHandler(LogHandler handler) {
  std::lock_guard<std::mutex> lock(handlerMutex());
  handlerSlot() = handler ? std::make_shared<LogHandler>(std::move(handler)) : nullptr;
}

void logText(int level, const std::string& text) {
  std::shared_ptr<LogHandler> handler;
  {
    std::lock_guard<std::mutex> lock(handlerMutex());
    handler = handlerSlot();
  }
  if (handler) {
    (*handler)(level, text);
    return;
  }
  std::fprintf(stderr, "desk[%d]: %s\n", level, text.c_str());
}

void logFormat(int level, const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  logText(level, buffer);
}

}  // namespace desk
