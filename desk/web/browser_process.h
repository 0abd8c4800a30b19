// The browser process: started with its DevTools pipe on fds 3 and 4, in a process group of its
// own, with a parent-death signal tied to the thread that starts it; ended by its pid.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "desk/web/engine.h"

namespace desk::web {

class BrowserProcess {
 public:
  BrowserProcess() = default;
  BrowserProcess(const BrowserProcess&) = delete;
  BrowserProcess& operator=(const BrowserProcess&) = delete;

  // Starts the browser with `flags`, the user-data folder and the owner's arguments, in that
  // order. On success `toBrowser` / `fromBrowser` are the parent's ends of the pipe (the caller
  // owns them); otherwise `error` says why (no browser, no folder, exec failed).
  bool spawn(const EnvironmentOptions& options, const std::vector<std::string>& flags, int& toBrowser,
             int& fromBrowser, std::string& error);
  pid_t pid() const { return pid_.load(); }
  // Sends SIGKILL to the browser's group and the browser (harmless once it is reaped).
  void kill() const;
  // Gives a browser that is shutting down up to 3 s, then kills its group while the leader is
  // still unreaped (so the group id cannot have been reused) and reaps it.
  void reap();

 private:
  std::atomic<pid_t> pid_{0};
};

}  // namespace desk::web
