// The loopback transfer: large request and reply bodies travel over HTTP on 127.0.0.1 instead of
// inside DevTools messages.
//
// The webview sends such a paused request on with `Fetch.continueRequest` and a url of this
// server holding a one-time token of 128 random bits; the page never sees that url. When the
// browser's request arrives, its body is read from the connection and the owner gets the same
// request and deferral as on the DevTools road; the deferral's reply is written back, streamed
// from its source. A request without a body may instead have been answered already, its reply
// too large for a DevTools message: that reply waits here for the browser's request. Any request
// without a token that is expected gets 403 and is logged; a token is good for one request only.
//
// Connections are kept alive between requests. The browser sends a request again, on another
// connection, when a connection it had used before ends without a reply; a token whose transfer
// ended that way is remembered for a while, and such a request is cut off again (never answered
// 403), so the page still sees a failed request.
//
// Threads: the server's own pool runs the connections; each waits, without holding a lock of the
// server, for its deferral to be answered, failed, dropped or cancelled.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "desk/web/engine.h"

namespace Poco {
class ThreadPool;
namespace Net {
class HTTPServer;
}
}  // namespace Poco

namespace desk::web {

struct LoopbackTransfer;

class LoopbackServer {
 public:
  // Hands the request (body included) and its deferral to the owner; runs on a server thread.
  using Arrived = std::function<void(Request request, std::shared_ptr<Deferral> deferral)>;

  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Listens on 127.0.0.1 on a port the system chooses.
  bool start(std::string& error);
  // Ends every transfer (their deferrals then answer `why`) and stops the server; waits for its
  // threads. Harmless twice.
  void stop(Result why);
  int port() const { return port_; }

  // Registers a request the browser will send here and gives the url to send it to (empty when
  // the server is not running). `request` is what the owner will see, its body read from the
  // connection; `group` names the webview, for `cancelGroup`.
  std::string expect(Request request, uint64_t group, Arrived arrived, std::string* token = nullptr);
  // The same for a request already answered: the browser's request gets `response` (its body
  // streamed from its source when it has one), and the owner hears nothing more of it.
  std::string expectReply(Response response, uint64_t group, std::string* token = nullptr);
  // Forgets a token not used yet (the browser refused to send the request on).
  void forget(const std::string& token);
  // Ends every transfer of the group: unused tokens are forgotten, requests under way fail (the
  // connection is cut, mid-body included); their deferrals answer `why`.
  void cancelGroup(uint64_t group, Result why);

  // Transfers registered or under way.
  size_t activeTransfers() const;
  // Requests refused with 403.
  uint64_t refusals() const { return refusals_; }
  // Requests that came with a valid token, and the connections the browser opened.
  uint64_t served() const { return served_; }
  uint64_t connections() const;

 private:
  class Handler;
  class Factory;
  friend class Handler;
  std::string registerTransfer(std::shared_ptr<LoopbackTransfer> transfer);
  std::shared_ptr<LoopbackTransfer> claim(const std::string& token);
  // The handler is done with the transfer; `replied` says whether a whole reply went out.
  void finished(const std::shared_ptr<LoopbackTransfer>& transfer, bool replied);
  // Whether the token's transfer ended without a reply not long ago.
  bool failedRecently(const std::string& token);
  void refuse(const std::string& why);

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<LoopbackTransfer>> expected_;  // by token
  std::map<LoopbackTransfer*, std::shared_ptr<LoopbackTransfer>> active_;
  std::map<std::string, std::chrono::steady_clock::time_point> failed_;  // by token
  std::unique_ptr<Poco::ThreadPool> pool_;
  std::unique_ptr<Poco::Net::HTTPServer> server_;
  int port_ = 0;
  bool running_ = false;
  std::atomic<uint64_t> refusals_{0};
  std::atomic<uint64_t> served_{0};
};

}  // namespace desk::web
