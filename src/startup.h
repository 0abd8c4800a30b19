// Start-up: the program's bootstrap (handlers and plugins, the log, the bundle, the start page
// from the command line, the first window), the single running instance that later starts hand
// their start page to, and the windows that show a file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/window-options.h"

namespace zrk {
class App;
class Window;
}  // namespace zrk

// Gets the first window's options (it may change them) and returns the base URL of the pages.
using ConfigCallback = std::function<std::string(zrk::WindowOptions&)>;
// Runs once after the application's run has returned.
using ExitCallback = std::function<void(std::shared_ptr<zrk::App>)>;
// The command line, the program first; empty: the application's own arguments.
using ArgumentsProvider = std::function<std::vector<std::string>()>;

// A start-up that cannot go on: the user has been told; the process ends with `exitCode`.
class StartupFailure : public std::runtime_error {
 public:
  StartupFailure(const std::string& what, int exitCode)
      : std::runtime_error(what), exitCode(exitCode) {}
  int exitCode;
};

// The bootstrap. The first instance runs the application until its loop ends, then the exit
// callback; a later one hands its start page to the first and returns. The process's exit code:
// 0, or 1 when the bundle is missing or damaged or the single-instance set-up fails.
int runApplication(ConfigCallback configure, ExitCallback onExit, ArgumentsProvider arguments);

// Loads resource.dat from the executable's folder, sets the browser arguments and the pages' host
// name, and returns the pages' base URL. A missing or damaged bundle shows an error box and
// throws StartupFailure (exit code 1).
std::string configureApplication();

// The pages' base URL, set once by the first instance before its application runs.
extern std::string appBaseUrl;

// Percent-encodes the UTF-8 bytes of a path as the pages' "?file=" value: POCO's URI encoding
// with "+" reserved ("/tmp/a b+c.png" -> "/tmp/a%20b%2Bc.png").
std::string encodeFilePath(const std::string& path);
// The inverse: every "%" with two hexadecimal digits becomes its byte, "+" stays. False for a "%"
// without two hexadecimal digits after it and for a NUL byte.
bool decodeFilePath(const std::string& encoded, std::string* path);

// The first window: its start page (relative to the base URL) and options.
struct StartChoice {
  std::string startPage;
  zrk::WindowOptions options;
};
// Decides the start page from the command line (element 1 the option, element 2 the file; a
// relative file is made absolute first).
StartChoice chooseStartPage(const std::vector<std::string>& arguments);
// "https://" + the application's host + "/" unless `configured` is not empty; then `configured`,
// with a "/" appended when it does not end in one.
std::string baseUrlFrom(const std::string& configured);

// The application's handlers and plugins, in the order the bootstrap registers them.
struct StartupRegistration {
  const char* name;
  void (*call)();
};
const std::vector<StartupRegistration>& startupRegistrations();
// Calls every registration of the list in order (each is once per process).
void registerStartupServices();

// --- The single instance.
// The name of the lock file and socket: "pelmora-" + this id.
extern const char kInstanceId[];

// A start page handed over by a later start, taken apart.
struct HandedPage {
  enum class Kind { Main, File, Ignored, Invalid };
  Kind kind = Kind::Ignored;
  std::string action;  // "view", "edit", "print" for a file
  std::string path;    // decoded
};
HandedPage parseStartPage(const std::string& text);
// On the UI thread: raises the first visible window ("main.w...") or opens or raises the file's
// window. Bad texts are logged and skipped.
void handleStartPage(const std::string& text);

// --- Windows for files (UI thread).
// Labels of file windows run viewer_1, editor_2, ...; shared by the three kinds.
extern uint64_t fileWindowCounter;
// The options of a file window for "view", "edit" or "print".
zrk::WindowOptions fileWindowOptions(const std::string& action);
// The window showing the file for that action: an existing one with the same URL (unless a window
// has it as parent or owner), else a new shown one. Empty when the path does not exist, the action
// is unknown or the window cannot be made (logged).
std::shared_ptr<zrk::Window> openWindowForFile(const std::string& action, const std::string& path);
// One step of the walk that raises the first visible window; `counter` starts at 0.
void activateMainWindow(const std::shared_ptr<zrk::Window>& window, int& counter);
