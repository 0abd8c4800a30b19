// An HTTP (or HTTPS) server on 127.0.0.1 for tests of code that makes HTTP requests: it listens
// on a free port, answers each path with a script of the test's, and records every request it
// received (method, target, headers, body).
//
//   pel::test::LocalHttpServer server;                       // or LocalHttpServer(true): HTTPS
//   server.on("/hello", [](auto& request, auto& response) {
//     response.setContentType("text/plain");
//     response.send() << "hi";
//   });
//   client.get(server.url("/hello"));
//   EXPECT_EQ(server.requests()[0].method, "GET");
//
// HTTPS uses a self-signed certificate for 127.0.0.1 and localhost, made with the openssl tool
// when the first HTTPS server starts; SSL_CERT_FILE is pointed at it, so clients that use
// OpenSSL's default trust store accept it. Requests in absolute form (as sent to a proxy) are
// routed by their path. Scripts that wait use waitUnlessStopping, so the server always stops.
//
// Header-only: link Poco::Net and Poco::NetSSL.
#pragma once

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pel::test {

struct RecordedRequest {
  std::string method;
  std::string target;  // as sent: a path, or an absolute URL through a proxy
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that name (ASCII case ignored); empty when there is none.
  std::string header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (Poco::icompare(key, name) == 0) return value;
    }
    return std::string();
  }
  size_t headerCount(const std::string& name) const {
    size_t n = 0;
    for (const auto& header : headers) n += Poco::icompare(header.first, name) == 0 ? 1 : 0;
    return n;
  }
};

class LocalHttpServer {
 public:
  using Script =
      std::function<void(const RecordedRequest&, Poco::Net::HTTPServerResponse&)>;

  explicit LocalHttpServer(bool https = false) : state_(std::make_shared<State>()), https_(https) {
    auto params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(16);
    params->setMaxQueued(64);
    params->setKeepAlive(true);
    params->setTimeout(Poco::Timespan(30, 0));
    const Poco::Net::SocketAddress address("127.0.0.1", 0);
    if (https) {
      const Certificate& cert = certificate();
      Poco::Net::Context::Ptr context = new Poco::Net::Context(
          Poco::Net::Context::SERVER_USE, cert.key, cert.cert, "",
          Poco::Net::Context::VERIFY_NONE);
      Poco::Net::SecureServerSocket socket(address, 64, context);
      port_ = socket.address().port();
      server_ = std::make_unique<Poco::Net::HTTPServer>(new Factory(state_), socket, params);
    } else {
      Poco::Net::ServerSocket socket(address, 64);
      port_ = socket.address().port();
      server_ = std::make_unique<Poco::Net::HTTPServer>(new Factory(state_), socket, params);
    }
    server_->start();
  }

  ~LocalHttpServer() {
    {
      std::lock_guard guard(state_->mutex);
      state_->stopping = true;
    }
    state_->changed.notify_all();
    server_->stopAll(true);
  }

  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  void on(const std::string& path, Script script) {
    std::lock_guard guard(state_->mutex);
    state_->scripts[path] = std::move(script);
  }

  uint16_t port() const { return port_; }
  std::string origin() const {
    return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
  }
  std::string url(const std::string& path) const { return origin() + path; }

  std::vector<RecordedRequest> requests() const {
    std::lock_guard guard(state_->mutex);
    return state_->requests;
  }
  // Waits (at most `limit`) until `n` requests have come in.
  bool waitForRequests(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->requests.size() >= n; });
  }

  // For scripts: sleeps for `duration` unless the server stops (or release() is called) first.
  void waitUnlessStopping(std::chrono::milliseconds duration) {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, duration, [&] { return state_->stopping || state_->released; });
  }
  void release() {
    {
      std::lock_guard guard(state_->mutex);
      state_->released = true;
    }
    state_->changed.notify_all();
  }

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Script> scripts;
    std::vector<RecordedRequest> requests;
    bool stopping = false;
    bool released = false;
  };

  class Handler : public Poco::Net::HTTPRequestHandler {
   public:
    explicit Handler(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
      RecordedRequest recorded;
      recorded.method = request.getMethod();
      recorded.target = request.getURI();
      recorded.path = Poco::URI(recorded.target).getPath();
      for (const auto& [name, value] : request) recorded.headers.emplace_back(name, value);
      Poco::StreamCopier::copyToString(request.stream(), recorded.body);
      Script script;
      {
        std::lock_guard guard(state_->mutex);
        state_->requests.push_back(recorded);
        auto it = state_->scripts.find(recorded.path);
        if (it != state_->scripts.end()) script = it->second;
      }
      state_->changed.notify_all();
      if (!script) {
        response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
        response.setContentLength(9);
        response.send() << "no script";
        return;
      }
      script(recorded, response);
    }

   private:
    std::shared_ptr<State> state_;
  };

  class Factory : public Poco::Net::HTTPRequestHandlerFactory {
   public:
    explicit Factory(std::shared_ptr<State> state) : state_(std::move(state)) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
      return new Handler(state_);
    }

   private:
    std::shared_ptr<State> state_;
  };

  struct Certificate {
    std::string folder, key, cert;
  };

  // Made once per process with the openssl tool; SSL_CERT_FILE then names it.
  static const Certificate& certificate() {
    static const Certificate made = [] {
      char pattern[] = "/tmp/pel-tls-XXXXXX";
      if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
      Certificate c{pattern, std::string(pattern) + "/key.pem", std::string(pattern) + "/cert.pem"};
      const std::string command =
          "openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=127.0.0.1"
          " -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " + c.key + " -out " +
          c.cert + " >/dev/null 2>&1";
      if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
      setenv("SSL_CERT_FILE", c.cert.c_str(), 1);
      return c;
    }();
    return made;
  }

  std::shared_ptr<State> state_;
  bool https_;
  uint16_t port_ = 0;
  std::unique_ptr<Poco::Net::HTTPServer> server_;
};

}  // namespace pel::test
