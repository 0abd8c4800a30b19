// The DevTools transport: commands to the browser and what comes back, over its pipe.
//
// The browser reads commands from one pipe and writes replies and events to another, each message
// JSON ended by a NUL byte. `send` gives each command an id and keeps its continuation until the
// reply with that id arrives; `run` (the reader thread) splits what arrives into messages, runs
// continuations and hands events on. Once the browser is gone every command, pending or new, is
// answered with a failure.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "desk/web/engine.h"

namespace desk::web::devtools {

using json = nlohmann::ordered_json;

// JSON text of a value; invalid UTF-8 is replaced, never thrown at.
std::string dumpJson(const json& j);
// The member as a string, or null when absent or of another type.
const std::string* stringAt(const json& j, const char* key);
std::string stringOr(const json& j, const char* key, const std::string& fallback = {});

struct Reply {
  bool ok = false;
  const json* result = nullptr;  // valid during the continuation only
  std::string error;
  Result code = Result::failed;  // why it failed
};
// Runs on the reader thread (or the sender's when the browser is gone) exactly once. It must only
// post to the owner's executor or send further commands.
using Continuation = std::function<void(const Reply&)>;

// An event from the browser: its method, parameters and session (empty for the browser's own).
using EventHandler =
    std::function<void(const std::string& method, const json& params, const std::string& sessionId)>;

class Pipe {
 public:
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // False when the wake-up pipe cannot be made (`error` says why).
  bool init(std::string& error);
  // Takes the two ends of the browser's pipes; commands may be sent from now on.
  void attach(int toBrowser, int fromBrowser);

  void send(const std::string& method, json params, const std::string& sessionId, Continuation k);
  // The same with the parameters already as JSON text (a large body is then never re-escaped).
  void sendText(const std::string& method, const std::string& params, const std::string& sessionId,
                Continuation k);

  // Reads and dispatches until the browser closes its end or `wake` is called; then answers every
  // pending command with `goneResult()`.
  void run(const EventHandler& onEvent);
  // Makes `run` return soon (any thread).
  void wake();

  bool open() const { return open_; }
  // What commands are failed with once the browser is gone: `closed` after the owner closed the
  // environment, otherwise `browserGone`.
  void setGoneResult(Result r) { gone_ = r; }
  Result goneResult() const { return gone_; }

 private:
  void dispatch(std::string_view text, const EventHandler& onEvent);
  void failPending();

  std::mutex mutex_;
  std::map<int64_t, Continuation> pending_;
  int64_t nextId_ = 1;
  std::mutex writeMutex_;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> open_{false};
  std::atomic<Result> gone_{Result::browserGone};
};

}  // namespace desk::web::devtools
