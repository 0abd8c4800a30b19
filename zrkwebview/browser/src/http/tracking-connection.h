// A connection that passes every call on to another one and remembers how far the reply got, so
// that whoever hands a request to a handler can make sure it is answered exactly once.
#pragma once

#include <string>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

class TrackingConnection : public HttpResponseConnection {
 public:
  explicit TrackingConnection(HttpResponseConnection* inner) : inner_(inner) {}

  bool isClosed() override { return inner_->isClosed(); }
  int write(const void* data, size_t length) override {
    started_ = true;
    return inner_->write(data, length);
  }
  void addHeader(const std::string& name, const std::string& value) override {
    inner_->addHeader(name, value);
  }
  void setStatus(int code, const char* reason) override {
    started_ = true;
    inner_->setStatus(code, reason);
  }
  void finish() override {
    if (finished_) return;
    finished_ = true;
    inner_->finish();
  }

  // A status or body bytes went out: another reply can no longer be written.
  bool started() const { return started_; }
  bool finished() const { return finished_; }
  HttpResponseConnection* inner() const { return inner_; }

 private:
  HttpResponseConnection* inner_;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace http
