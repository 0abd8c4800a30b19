// The platform layer's one log channel. The program connects it to its own log; until then lines
// go to standard error.
#pragma once

#include <functional>
#include <string>

namespace desk {

// Levels as the program's log counts them: 1 error, 2 warning, 3 information.
using LogHandler = std::function<void(int level, const std::string& text)>;

// Replaces the handler; an empty handler puts standard error back. The handler may be called from
// any thread, never with a lock of the layer held.
void setLogHandler(LogHandler handler);

void logText(int level, const std::string& text);
void logFormat(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace desk
