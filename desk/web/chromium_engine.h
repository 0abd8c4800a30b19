// The engine on Debian's Chromium, driven headless over its DevTools pipe.
//
// Each environment is one browser process started with --remote-debugging-pipe (it reads
// commands from its fd 3 and writes replies and events to its fd 4, each message JSON ended by a
// NUL byte); each webview is one page target attached as a flattened session. A reader thread per
// browser parses what arrives and hands every event and completion to the owner's executor, in
// arrival order; it never calls the owner's handlers itself.
//
// The browser runs in its own process group, is sent SIGKILL when the thread that started it
// ends (the environment's reader thread, which lives as long as the environment), and is ended by
// its pid when the environment closes.
#pragma once

#include <memory>

#include "desk/web/engine.h"

namespace desk::web {

class ChromiumEnvironment : public Environment {
 public:
  // The browser's process id (0 before it started or after it ended).
  virtual int browserProcessId() const = 0;
};

class ChromiumEngine final : public Engine {
 public:
  static std::shared_ptr<ChromiumEngine> create();

  // Starts the browser; the completion runs through the executor once the browser answers (or
  // failed to start: the error then says why, for example a missing browser).
  // The environment given is a `ChromiumEnvironment`.
  void createEnvironment(EnvironmentOptions options, Executor executor,
                         EnvironmentCompletion done) override;

  // The flags every browser is started with, before the owner's browser arguments.
  static std::vector<std::string> defaultFlags();

 private:
  ChromiumEngine() = default;
};

}  // namespace desk::web
