// The process-wide log call and its log file.
//
// Levels: 1 error, 2 warning, 3 information, 4 debug, 5 trace. Messages above the threshold are
// dropped before any formatting. Nothing is written before the first configureLogging().
// Free text (paths, names, exception messages) always goes in as the argument of "%s", never as
// the format.
#pragma once

#include <string>

namespace zrk {

using LogLevel = int;

int log(const char* file, int line, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Logs to the named logger. Each distinct name makes a logger that lives for the rest of the
// process, so only trusted code may choose the names: never pass a name that comes from a page
// without bounding the set of names first.
int logTo(const char* loggerName, const char* file, int line, int level, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// (Re)directs every logger to the file at `path` (UTF-8), rotating between `path` and `path` +
// ".0" whenever the current file reaches `rotationSize` bytes (0: no rotation set), writing on a
// background thread when `async` is set, with local or UTC times in the records.
void configureLogging(const std::string& path, int rotationSize, bool async, bool localTimes);

void setLogLevel(int level);
int logLevel();

// Stops the background writer after flushing what it holds and detaches every logger from the
// file. Called at the end of main (and by tests) so no logging thread outlives static objects.
// Logging may be configured again afterwards.
void shutdownLogging();

// A copy with every "\" replaced by "/".
std::string normalizeSourcePath(const std::string& path);

}  // namespace zrk

#define ZRK_LOG(level, ...) ::zrk::log(__FILE__, __LINE__, (level), __VA_ARGS__)
#define ZRK_LOG_ERROR(...) ZRK_LOG(1, __VA_ARGS__)
#define ZRK_LOG_WARN(...) ZRK_LOG(2, __VA_ARGS__)
#define ZRK_LOG_INFO(...) ZRK_LOG(3, __VA_ARGS__)
#define ZRK_LOG_DEBUG(...) ZRK_LOG(4, __VA_ARGS__)
#define ZRK_LOG_TRACE(...) ZRK_LOG(5, __VA_ARGS__)
