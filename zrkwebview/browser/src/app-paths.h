// Where the program is and keeps its files, its version entries, its command line and whether the
// desktop prefers a dark theme. Every operation reads the system afresh; any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zrk {

// The folder of the running executable, without a trailing "/"; the two are the same.
std::string executableDirectory();
std::string programDirectory();
// The executable's full path, or its file name.
std::string executableName(bool fullPath);

// The per-user data folder, ending in "/": the application's `dataPath` override when it has one;
// otherwise $XDG_DATA_HOME (or ~/.local/share; a relative $XDG_DATA_HOME is ignored) followed by
// the application identifier ("zrk" when there is none) and "/". Nothing is created here. Without
// a home folder: "./".
std::string dataDirectory();

// The string entry `key` of the executable's version block (first translation), or empty. With
// `logFailures`, a block that cannot be read or has no translation table is logged.
std::string versionString(const std::string& key, bool logFailures);
std::string productName();
// The file version as four numbers joined by "."; empty without a version block.
std::string fileVersion();

// Whether the user's applications use the dark theme: the desktop's colour-scheme preference
// (the settings portal, over an already running session bus) when it answers, else the stored
// "AppsUseLightTheme" value (0: dark) of the theme settings key.
bool isSystemDarkTheme();
// The desktop portal's colour scheme (0 none, 1 dark, 2 light), or nothing without a session bus
// or portal. Never starts a bus or a portal.
std::optional<unsigned> desktopColorScheme();

// The command-line arguments, the program first; an argument that is not valid UTF-8 becomes an
// empty string.
std::vector<std::string> arguments();

}  // namespace zrk
