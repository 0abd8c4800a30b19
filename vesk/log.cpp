#include "vesk/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <Poco/AsyncChannel.h>
#include <Poco/AutoPtr.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SimpleFileChannel.h>
#include <Poco/SplitterChannel.h>
#include <Poco/Thread.h>

#ifndef ZRK_SOURCE_ROOT
#define ZRK_SOURCE_ROOT ""
#endif

namespace zrk {
namespace {

constexpr const char* kLoggerName = "zrk";
constexpr const char* kPattern = "@%s [%p]-%b/%e/%Y %H:%M:%S(%Z) >: %t";
constexpr const char* kPriorityNames = "FATAL,CRIT,ERROR,WARN,NOTICE,INFO,DEBUG,TRACE";

std::atomic<int>& threshold() {
  static std::atomic<int> value{5};
  return value;
}

struct LogState {
  std::mutex configMutex;
  bool configured = false;
  Poco::AutoPtr<Poco::SplitterChannel> splitter;
  Poco::AutoPtr<Poco::FormattingChannel> current;
  Poco::AutoPtr<Poco::AsyncChannel> currentAsync;
};

LogState& state() {
  static LogState s;
  return s;
}

Poco::AutoPtr<Poco::PatternFormatter>& logPatternFormatter() {
  static Poco::AutoPtr<Poco::PatternFormatter> formatter = [] {
    Poco::AutoPtr<Poco::PatternFormatter> f(new Poco::PatternFormatter(kPattern));
    f->setProperty("priorityNames", kPriorityNames);
    return f;
  }();
  return formatter;
}

int toPocoPriority(int level) {
  switch (level) {
    case 1: return Poco::Message::PRIO_ERROR;
    case 2: return Poco::Message::PRIO_WARNING;
    case 4: return Poco::Message::PRIO_DEBUG;
    case 5: return Poco::Message::PRIO_TRACE;
    default: return Poco::Message::PRIO_INFORMATION;
  }
}

void replaceAllInPlace(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

// Takes the current destination out of the splitter and stops its writer thread after it has
// written what it holds. Called with the configuration mutex held.
void detachCurrent(LogState& s) {
  if (!s.current) return;
  s.splitter->removeChannel(s.current);
  if (s.currentAsync) s.currentAsync->close();
  s.current = nullptr;
  s.currentAsync = nullptr;
}

}  // namespace

std::string normalizeSourcePath(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

static int logv(const char* loggerName, const char* file, int line, int level, const char* format,
                va_list args) __attribute__((format(printf, 5, 0)));

static int logv(const char* loggerName, const char* file, int line, int level, const char* format,
                va_list args) {
  if (threshold().load() < level) return 0;

  std::string text;
  if (std::strchr(format, '%') == nullptr) {
    text = format;
  } else {
    va_list countArgs;
    va_copy(countArgs, args);
    int count = std::vsnprintf(nullptr, 0, format, countArgs);
    va_end(countArgs);
    if (count < 0) return 0;
    std::vector<char> buffer(static_cast<size_t>(count) + 1);
    va_list writeArgs;
    va_copy(writeArgs, args);
    int written = std::vsnprintf(buffer.data(), buffer.size(), format, writeArgs);
    va_end(writeArgs);
    if (written < 0) return 0;
    text.assign(buffer.data(), static_cast<size_t>(count));
  }

  if (file != nullptr && *file != '\0') {
    std::string path = normalizeSourcePath(file);
    replaceAllInPlace(path, normalizeSourcePath(ZRK_SOURCE_ROOT), "");
    text = path + ":" + std::to_string(line) + " - " + text;
  }

  Poco::Logger& logger = Poco::Logger::get(loggerName);
  if (threshold().load() < level) return 0;
  logger.log(Poco::Message(logger.name(), text, static_cast<Poco::Message::Priority>(toPocoPriority(level))));
  return 0;
}

int log(const char* file, int line, int level, const char* format, ...) {
  if (format == nullptr || *format == '\0') return 0;
  va_list args;
  va_start(args, format);
  int result = logv(kLoggerName, file, line, level, format, args);
  va_end(args);
  return result;
}

int logTo(const char* loggerName, const char* file, int line, int level, const char* format, ...) {
  if (format == nullptr || *format == '\0') return 0;
  va_list args;
  va_start(args, format);
  int result = logv(loggerName ? loggerName : "", file, line, level, format, args);
  va_end(args);
  return result;
}

void configureLogging(const std::string& path, int rotationSize, bool async, bool localTimes) {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.configMutex);

  if (!s.configured) {
    Poco::Logger::root();
    Poco::Logger::setLevel("", toPocoPriority(threshold().load()));
    s.splitter = new Poco::SplitterChannel;
    s.configured = true;
  }
  Poco::Logger::setChannel("", s.splitter);

  Poco::AutoPtr<Poco::SimpleFileChannel> file(new Poco::SimpleFileChannel(path));
  file->setProperty("secondaryPath", path + ".0");
  if (rotationSize != 0) {
    file->setProperty("rotation", std::to_string(static_cast<unsigned int>(rotationSize)));
  }

  Poco::AutoPtr<Poco::PatternFormatter>& formatter = logPatternFormatter();
  formatter->setProperty("times", localTimes ? "local" : "UTC");

  detachCurrent(s);

  Poco::AutoPtr<Poco::FormattingChannel> formatting;
  if (async) {
    Poco::AutoPtr<Poco::AsyncChannel> asyncChannel(
        new Poco::AsyncChannel(file, Poco::Thread::PRIO_LOWEST));
    formatting = new Poco::FormattingChannel(formatter, asyncChannel);
    s.currentAsync = asyncChannel;
  } else {
    formatting = new Poco::FormattingChannel(formatter, file);
  }
  s.splitter->addChannel(formatting);
  s.current = formatting;
}

void setLogLevel(int level) {
  threshold().exchange(level);
  Poco::Logger::setLevel("", toPocoPriority(level));
}

int logLevel() { return threshold().load(); }

void shutdownLogging() {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.configMutex);
  if (!s.configured) return;
  detachCurrent(s);
}

}  // namespace zrk
