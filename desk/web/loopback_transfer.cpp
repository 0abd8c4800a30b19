#include "desk/web/loopback_transfer.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/ThreadPool.h>
#include <sys/random.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <vector>

namespace desk::web {

namespace {

constexpr const char* kPathPrefix = "/t/";
constexpr size_t kTokenBytes = 16;  // 128 bits
constexpr size_t kChunk = 1 << 20;  // bytes per read and per write
// How long a token whose transfer failed keeps failing the browser's repeated request.
constexpr std::chrono::seconds kFailedTokenLife{60};

bool randomToken(std::string& out) {
  unsigned char bytes[kTokenBytes];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  static const char hex[] = "0123456789abcdef";
  out.clear();
  for (unsigned char b : bytes) {
    out.push_back(hex[b >> 4]);
    out.push_back(hex[b & 15]);
  }
  return true;
}

bool sameLetters(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

// One redirected request, from its token to its reply.
struct LoopbackTransfer {
  enum class State { waiting, answered, failed };

  std::string token;
  uint64_t group = 0;
  Request request;
  LoopbackServer::Arrived arrived;

  std::mutex mutex;
  std::condition_variable cv;
  State state = State::waiting;
  bool cancelled = false;
  Result endedWith = Result::failed;  // what the deferral answers once cancelled
  Response response;
  Poco::Net::StreamSocket socket;  // the browser's connection, while the transfer uses it
  bool connected = false;

  // Ends the transfer from the engine's side: a reply not given yet can no longer be given, and
  // a reply under way is cut off. The connection is cut under the lock: once the transfer let it
  // go, it may carry the browser's next request, which is none of this transfer's business.
  void cancel(Result why) {
    {
      std::lock_guard lock(mutex);
      if (cancelled) return;
      cancelled = true;
      endedWith = why;
      if (state == State::waiting) state = State::failed;
      if (connected) {
        try {
          socket.shutdown();
        } catch (...) {
        }
      }
    }
    cv.notify_all();
  }
  // The handler is done with the connection.
  void release() {
    std::lock_guard lock(mutex);
    connected = false;
    socket = Poco::Net::StreamSocket();
  }
  bool isCancelled() {
    std::lock_guard lock(mutex);
    return cancelled;
  }
};

namespace {

class LoopbackDeferral final : public Deferral {
 public:
  explicit LoopbackDeferral(std::shared_ptr<LoopbackTransfer> t) : t_(std::move(t)) {}
  // Released without a reply: the request fails, so the page does not wait for ever.
  ~LoopbackDeferral() override { settle(LoopbackTransfer::State::failed, nullptr); }

  Result complete(Response response) override {
    if (response.status == 0) return settle(LoopbackTransfer::State::failed, nullptr);
    if (response.status < 100 || response.status > 999) {
      Result r = settle(LoopbackTransfer::State::failed, nullptr);
      return r == Result::ok ? Result::invalidArgument : r;
    }
    sanitizeResponse(response);
    return settle(LoopbackTransfer::State::answered, &response);
  }
  Result fail() override { return settle(LoopbackTransfer::State::failed, nullptr); }
  bool done() const override {
    std::lock_guard lock(t_->mutex);
    return t_->state != LoopbackTransfer::State::waiting;
  }

 private:
  Result settle(LoopbackTransfer::State state, Response* response) {
    {
      std::lock_guard lock(t_->mutex);
      if (t_->state != LoopbackTransfer::State::waiting) {
        return t_->cancelled && t_->endedWith != Result::ok ? t_->endedWith : Result::failed;
      }
      t_->state = state;
      if (response) t_->response = std::move(*response);
    }
    t_->cv.notify_all();
    return Result::ok;
  }
  std::shared_ptr<LoopbackTransfer> t_;
};

}  // namespace

class LoopbackServer::Handler final : public Poco::Net::HTTPRequestHandler {
 public:
  explicit Handler(LoopbackServer& server) : server_(server) {}

  void handleRequest(Poco::Net::HTTPServerRequest& req, Poco::Net::HTTPServerResponse& res) override {
    const std::string& uri = req.getURI();
    std::shared_ptr<LoopbackTransfer> t;
    std::string token;
    if (uri.rfind(kPathPrefix, 0) == 0) {
      token = uri.substr(std::strlen(kPathPrefix));
      t = server_.claim(token);
    }
    if (!t && !token.empty() && server_.failedRecently(token)) {
      // The browser sends a request again when the kept-alive connection it went on ended
      // without a reply: it failed, and fails again, so the page sees a failed request.
      res.setKeepAlive(false);
      try {
        static_cast<Poco::Net::HTTPServerRequestImpl&>(req).socket().shutdown();
      } catch (...) {
      }
      return;
    }
    if (!t) {
      server_.refuse(req.getMethod() + " " + uri.substr(0, 120));
      res.setKeepAlive(false);
      res.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_FORBIDDEN);
      res.setContentLength(0);
      res.send();
      return;
    }
    bool replied = serve(t, req, res);
    t->release();
    server_.finished(t, replied);
  }

 private:
  // Cuts the connection without (the rest of) a reply: the browser fails the request.
  static bool cut(LoopbackTransfer& t, Poco::Net::HTTPServerResponse& res) {
    res.setKeepAlive(false);
    try {
      t.socket.shutdown();
    } catch (...) {
    }
    return false;
  }

  // True when the whole reply went out.
  bool serve(const std::shared_ptr<LoopbackTransfer>& transfer, Poco::Net::HTTPServerRequest& req,
             Poco::Net::HTTPServerResponse& res) {
    LoopbackTransfer& t = *transfer;
    {
      std::lock_guard lock(t.mutex);
      t.socket = static_cast<Poco::Net::HTTPServerRequestImpl&>(req).socket();
      t.connected = true;
    }
    if (t.isCancelled()) return cut(t, res);
    Request request = std::move(t.request);
    if (req.hasContentLength() || req.getChunkedTransferEncoding()) {
      int64_t announced = req.hasContentLength() ? req.getContentLength64() : -1;
      if (announced > 0) request.body.reserve(static_cast<size_t>(announced));
      std::istream& in = req.stream();
      std::vector<char> chunk(kChunk);
      for (;;) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::streamsize n = in.gcount();
        if (n > 0) request.body.append(chunk.data(), static_cast<size_t>(n));
        if (!in || n <= 0) break;
        if (t.isCancelled()) return cut(t, res);
      }
      if (announced >= 0 && request.body.size() != static_cast<uint64_t>(announced)) return cut(t, res);
    }
    if (t.arrived) {
      LoopbackServer::Arrived arrived = std::move(t.arrived);
      arrived(std::move(request), std::make_shared<LoopbackDeferral>(transfer));
    }
    Response response;
    {
      std::unique_lock lock(t.mutex);
      t.cv.wait(lock, [&] { return t.state != LoopbackTransfer::State::waiting; });
      if (t.state != LoopbackTransfer::State::answered) {
        lock.unlock();
        return cut(t, res);
      }
      response = std::move(t.response);
    }
    return write(t, response, res);
  }

  bool write(LoopbackTransfer& t, Response& response, Poco::Net::HTTPServerResponse& res) {
    res.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(response.status), response.reason);
    for (auto& [name, value] : response.headers) {
      // The length and the framing are this connection's own.
      if (sameLetters(name, "content-length") || sameLetters(name, "transfer-encoding") ||
          sameLetters(name, "connection") || sameLetters(name, "keep-alive")) {
        continue;
      }
      res.add(name, value);
    }
    std::shared_ptr<BodySource> source = std::move(response.bodySource);
    uint64_t size = source ? source->size() : response.body.size();
    res.setContentLength64(static_cast<Poco::Int64>(size));
    std::ostream& out = res.send();
    uint64_t sent = 0;
    if (!source) {
      while (sent < size && out) {
        if (t.isCancelled()) return cut(t, res);
        size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size - sent));
        out.write(response.body.data() + sent, static_cast<std::streamsize>(n));
        sent += n;
      }
    } else {
      std::vector<char> chunk(kChunk);
      while (sent < size && out) {
        if (t.isCancelled()) return cut(t, res);
        int64_t n = source->read(chunk.data(), static_cast<size_t>(std::min<uint64_t>(kChunk, size - sent)));
        if (n <= 0) return cut(t, res);  // the source failed or ended before its length
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        sent += static_cast<uint64_t>(n);
      }
    }
    out.flush();
    if (!out || sent != size || t.isCancelled()) return cut(t, res);
    return true;
  }

  LoopbackServer& server_;
};

class LoopbackServer::Factory final : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  explicit Factory(LoopbackServer& server) : server_(server) {}
  Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
    return new Handler(server_);
  }

 private:
  LoopbackServer& server_;
};

LoopbackServer::LoopbackServer() = default;

LoopbackServer::~LoopbackServer() { stop(Result::closed); }

bool LoopbackServer::start(std::string& error) {
  try {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    auto* params = new Poco::Net::HTTPServerParams;
    // Connections are kept alive; a request the browser sends again after a kept-alive
    // connection ended without a reply is cut off again (see `failedRecently`).
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(Poco::Timespan(10, 0));
    params->setMaxKeepAliveRequests(1000);
    params->setTimeout(Poco::Timespan(60, 0));
    params->setMaxQueued(256);
    params->setMaxThreads(32);
    pool_ = std::make_unique<Poco::ThreadPool>("deskweb-loopback", 1, 32);
    server_ = std::make_unique<Poco::Net::HTTPServer>(new Factory(*this), *pool_, socket, params);
    server_->start();
    std::lock_guard lock(mutex_);
    port_ = socket.address().port();
    running_ = true;
    return true;
  } catch (const std::exception& e) {
    error = std::string("cannot start the loopback server: ") + e.what();
    server_.reset();
    pool_.reset();
    return false;
  }
}

void LoopbackServer::stop(Result why) {
  std::vector<std::shared_ptr<LoopbackTransfer>> all;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    for (auto& [token, t] : expected_) all.push_back(t);
    for (auto& [p, t] : active_) all.push_back(t);
    expected_.clear();
  }
  for (auto& t : all) t->cancel(why);
  if (server_) {
    server_->stopAll(true);
    pool_->joinAll();
    server_.reset();
    pool_.reset();
  }
  std::lock_guard lock(mutex_);
  active_.clear();
  failed_.clear();
}

std::string LoopbackServer::expect(Request request, uint64_t group, Arrived arrived, std::string* tokenOut) {
  auto t = std::make_shared<LoopbackTransfer>();
  t->group = group;
  t->request = std::move(request);
  t->arrived = std::move(arrived);
  std::string url = registerTransfer(t);
  if (tokenOut && !url.empty()) *tokenOut = t->token;
  return url;
}

std::string LoopbackServer::expectReply(Response response, uint64_t group, std::string* tokenOut) {
  auto t = std::make_shared<LoopbackTransfer>();
  t->group = group;
  t->state = LoopbackTransfer::State::answered;
  t->response = std::move(response);
  std::string url = registerTransfer(t);
  if (tokenOut && !url.empty()) *tokenOut = t->token;
  return url;
}

std::string LoopbackServer::registerTransfer(std::shared_ptr<LoopbackTransfer> t) {
  if (!randomToken(t->token)) return {};
  std::lock_guard lock(mutex_);
  if (!running_) return {};
  std::string url = "http://127.0.0.1:" + std::to_string(port_) + kPathPrefix + t->token;
  expected_[t->token] = std::move(t);
  return url;
}

uint64_t LoopbackServer::connections() const {
  std::lock_guard lock(mutex_);
  return running_ && server_ ? static_cast<uint64_t>(server_->totalConnections()) : 0;
}

void LoopbackServer::forget(const std::string& token) {
  std::lock_guard lock(mutex_);
  expected_.erase(token);
}

void LoopbackServer::cancelGroup(uint64_t group, Result why) {
  std::vector<std::shared_ptr<LoopbackTransfer>> hit;
  {
    std::lock_guard lock(mutex_);
    for (auto it = expected_.begin(); it != expected_.end();) {
      if (it->second->group == group) {
        hit.push_back(it->second);
        it = expected_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [p, t] : active_) {
      if (t->group == group) hit.push_back(t);
    }
  }
  for (auto& t : hit) t->cancel(why);
}

size_t LoopbackServer::activeTransfers() const {
  std::lock_guard lock(mutex_);
  return expected_.size() + active_.size();
}

std::shared_ptr<LoopbackTransfer> LoopbackServer::claim(const std::string& token) {
  std::lock_guard lock(mutex_);
  if (!running_) return nullptr;
  auto it = expected_.find(token);
  if (it == expected_.end()) return nullptr;
  std::shared_ptr<LoopbackTransfer> t = std::move(it->second);
  expected_.erase(it);
  active_[t.get()] = t;
  ++served_;
  // Counted as failed until its reply went out whole, so a request the browser sends again
  // meanwhile is cut off too.
  auto now = std::chrono::steady_clock::now();
  for (auto f = failed_.begin(); f != failed_.end();) {
    if (now - f->second > kFailedTokenLife) f = failed_.erase(f);
    else ++f;
  }
  failed_[token] = now;
  return t;
}

void LoopbackServer::finished(const std::shared_ptr<LoopbackTransfer>& t, bool replied) {
  std::lock_guard lock(mutex_);
  active_.erase(t.get());
  if (replied) failed_.erase(t->token);
  else failed_[t->token] = std::chrono::steady_clock::now();
}

bool LoopbackServer::failedRecently(const std::string& token) {
  std::lock_guard lock(mutex_);
  auto it = failed_.find(token);
  return it != failed_.end() && std::chrono::steady_clock::now() - it->second <= kFailedTokenLife;
}

void LoopbackServer::refuse(const std::string& what) {
  ++refusals_;
  fprintf(stderr, "deskweb: loopback request refused (no valid token): %s\n", what.c_str());
}

}  // namespace desk::web
