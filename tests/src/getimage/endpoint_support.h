// Requests to the image endpoints and what came back, for the tests of this folder.
#pragma once

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "support/http_fakes.h"
#include "vesk/crypto.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"

namespace endpoint {

// What a handler wrote to the connection.
struct Reply {
  int status = -1;
  std::string reason;
  // The response's own message (a 200 reply sends no reason phrase of its own).
  std::string message;
  std::string body;
  std::string type;
  std::shared_ptr<pel::test::RecordingConnection> connection;
  std::string header(const std::string& name) const { return connection->header(name); }
};

inline Reply collect(const std::shared_ptr<pel::test::RecordingConnection>& c) {
  Reply r;
  r.status = c->status;
  r.reason = c->reason;
  r.body = c->body;
  r.type = c->header("Content-Type");
  r.connection = c;
  return r;
}

// The Base64 form a page's btoa gives (no line breaks).
inline std::string options(const nlohmann::json& value) {
  std::string text = Vesk::base64Encode(value.dump());
  std::string out;
  for (char c : text) {
    if (c != '\n' && c != '\r') out.push_back(c);
  }
  return out;
}

// The handler's answer, written as handleGet / handlePost write it.
template <typename Handler>
Reply get(Handler&, pel::test::FakeRequest& request) {
  auto c = std::make_shared<pel::test::RecordingConnection>();
  const auto response = Handler::answerGet(&request);
  http::sendResponse(c.get(), &request, response.get());
  Reply r = collect(c);
  r.message = response->statusMessage();
  return r;
}

template <typename Handler>
Reply post(Handler&, pel::test::FakeRequest& request) {
  auto c = std::make_shared<pel::test::RecordingConnection>();
  const auto response = Handler::answerPost(&request);
  http::sendResponse(c.get(), &request, response.get());
  Reply r = collect(c);
  r.message = response->statusMessage();
  return r;
}

// The folder of the running executable.
inline std::string programFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path(buf, n > 0 ? size_t(n) : 0);
  return path.substr(0, path.find_last_of('/'));
}

}  // namespace endpoint
