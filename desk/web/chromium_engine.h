// The engine on Debian's Chromium, driven headless over its DevTools pipe.
//
// Each environment is one browser process started with --remote-debugging-pipe (it reads
// commands from its fd 3 and writes replies and events to its fd 4, each message JSON ended by a
// NUL byte); each webview is one page target attached as a flattened session. A reader thread per
// browser parses what arrives and hands every event and completion to the owner's executor, in
// arrival order; it never calls the owner's handlers itself.
//
// Large bodies do not travel inside DevTools messages: a paused request whose body is large, or
// whose path the owner marked as large-content and that carries a body, is sent on to the
// environment's loopback server (see loopback_transfer.h), where the owner answers it with the
// same objects. A large-content request without a body is answered first; its reply goes inside
// DevTools when it is small, and by the loopback server otherwise.
//
// The browser runs in its own process group, is sent SIGKILL when the thread that started it
// ends (the environment's reader thread, which lives as long as the environment), and is ended by
// its pid when the environment closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "desk/web/engine.h"

namespace desk::web {

class ChromiumEnvironment : public Environment {
 public:
  // The browser's process id (0 before it started or after it ended).
  virtual int browserProcessId() const = 0;
  // The loopback server's port on 127.0.0.1, the transfers registered or under way on it, the
  // requests it refused (no token, a used one or a wrong one), the requests it served (a valid
  // token) and the connections the browser opened to it.
  virtual int loopbackPort() const = 0;
  virtual size_t loopbackTransfers() const = 0;
  virtual uint64_t loopbackRefusals() const = 0;
  virtual uint64_t loopbackServed() const = 0;
  virtual uint64_t loopbackConnections() const = 0;
};

// The largest reply body to a large-content request without a body that travels inside a
// DevTools message. A fulfilled body goes base64 (4/3 of its size) inside one JSON message, and
// Chromium drops the whole DevTools connection on a message over 100 MB; every page's events
// share that pipe, and the message is copied several times on both sides. 4 MiB (5.6 MB of
// base64) holds every ordinary thumbnail with room to spare, costs a few milliseconds to carry,
// and stays far below the limit; anything larger streams over the loopback server, whose extra
// round trip is small beside the body's own time.
inline constexpr uint64_t kInlineReplyLimit = 4u << 20;

// The blank page the first app window starts on.
inline constexpr const char* kAppLaunchPage = "data:text/html,";

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
  // The flags of a browser that shows its pages as app windows on a display: the same without
  // --headless, with a first app window on a blank page, and without the sandbox only when
  // `asRoot` (Chromium's sandbox does not start as root; the note about it is kept out).
  static std::vector<std::string> windowFlags(bool asRoot);

 private:
  ChromiumEngine() = default;
};

}  // namespace desk::web
