// File and folder choosers through the desktop's portal: org.freedesktop.portal.FileChooser
// (OpenFile, SaveFile) on the session bus, answered by the Response signal of the request object
// the call names. The portal shows the chooser itself, out of this process.
//
// The connection's signals and replies are handled on a thread of its own, so the thread that
// starts a request stays free to run its modal loop until the answer comes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "desk/choosers/chooser.h"

namespace desk::choosers {

class PortalFileChooser {
 public:
  // Connects to the bus at `address` (empty: the session bus). Null, with `error` set, when there
  // is no bus.
  static std::shared_ptr<PortalFileChooser> connect(const std::string& address, std::string& error);
  ~PortalFileChooser();
  PortalFileChooser(const PortalFileChooser&) = delete;
  PortalFileChooser& operator=(const PortalFileChooser&) = delete;

  // Whether a file-chooser portal answers on the bus: its "version" property reads within
  // `timeoutMs`. The version goes to `version`.
  bool available(uint32_t* version = nullptr, int timeoutMs = 3000);

  // Sends OpenFile (also for a folder) or SaveFile. `done` runs exactly once, on the connection's
  // thread: with the portal's answer, Failed when the call or the bus fails, Cancelled after
  // close(). False (and `done` never runs) when a request is already under way.
  bool start(const FileRequest& request, std::function<void(FileAnswer)> done);

  // Asks the portal to take its chooser down (Request.Close); the request ends as cancelled.
  void close();

  struct State;

 private:
  PortalFileChooser() = default;
  std::shared_ptr<State> state_;
};

}  // namespace desk::choosers
