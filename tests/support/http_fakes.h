// Test doubles for the request model: a request with a chosen method, URL, headers and body (the
// body delivered in chosen pieces), and a connection that records every call made on it, can take
// only part of what is written and can report itself closed.
//
//   pel::test::FakeRequest request("POST", "https://app.local/plugin?name=x");
//   request.withHeader("Content-Type", "application/json").withBodyPieces({"{\"a\"", ":1}"});
//   pel::test::RecordingConnection connection;
//   http::sendResponse(&connection, &request, &response);
//   EXPECT_EQ(connection.trace(), "status 200 <null>\nheader Content-Length: 7\n...");
//
// Header-only: link the test with zrkbrowser.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zrkwebview/browser/src/http/http-message.h"

namespace pel::test {

inline bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

class FakeRequest : public http::HttpRequest {
 public:
  explicit FakeRequest(std::string method = "GET", std::string uri = "https://app.local/")
      : method_(std::move(method)), uri_(std::move(uri)) {}

  FakeRequest& withMethod(std::string method) {
    method_ = std::move(method);
    return *this;
  }
  FakeRequest& withUri(std::string uri) {
    uri_ = std::move(uri);
    return *this;
  }
  FakeRequest& withHeader(std::string name, std::string value) {
    headers_.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  // The body as one piece: every read returns as much as asked, up to the end.
  FakeRequest& withBody(std::string body) { return withBodyPieces({std::move(body)}); }
  // The body delivered piece by piece: a read never crosses the end of the current piece, so a
  // reader sees short reads where the pieces end (as a slow stream would deliver them).
  FakeRequest& withBodyPieces(std::vector<std::string> pieces) {
    pieces_ = std::move(pieces);
    piece_ = 0;
    pieceOffset_ = 0;
    contentLength_.reset();
    return *this;
  }
  // Announces a length other than the body's real size.
  FakeRequest& withContentLength(uint64_t length) {
    contentLength_ = length;
    return *this;
  }
  // The request is cancelled (as the UI thread would) once this many reads were made.
  FakeRequest& cancelAfterReads(size_t reads) {
    cancelAfterReads_ = reads;
    return *this;
  }

  std::string method() override { return method_; }
  uint64_t contentLength() override {
    if (contentLength_) return *contentLength_;
    uint64_t total = 0;
    for (const auto& piece : pieces_) total += piece.size();
    return total;
  }
  std::string uri() override { return uri_; }
  http::HeaderList headers() override { return headers_; }
  std::vector<uint8_t> reserved() override { return {}; }
  std::string header(const std::string& name) override {
    for (const auto& [key, value] : headers_) {
      if (equalsIgnoringAsciiCase(key, name)) return value;
    }
    return std::string();
  }
  std::string read(size_t maxBytes) override {
    readSizes.push_back(maxBytes);
    std::string out;
    while (piece_ < pieces_.size() && pieceOffset_ == pieces_[piece_].size()) {
      ++piece_;
      pieceOffset_ = 0;
    }
    if (piece_ < pieces_.size()) {
      const std::string& piece = pieces_[piece_];
      const size_t n = std::min(maxBytes, piece.size() - pieceOffset_);
      out = piece.substr(pieceOffset_, n);
      pieceOffset_ += n;
    }
    if (cancelAfterReads_ && readSizes.size() >= *cancelAfterReads_) cancel();
    return out;
  }

  // The maxBytes of every read, in order.
  std::vector<size_t> readSizes;

 private:
  std::string method_;
  std::string uri_;
  http::HeaderList headers_;
  std::vector<std::string> pieces_;
  size_t piece_ = 0;
  size_t pieceOffset_ = 0;
  std::optional<uint64_t> contentLength_;
  std::optional<size_t> cancelAfterReads_;
};

class RecordingConnection : public http::HttpResponseConnection {
 public:
  // --- knobs ---
  // The peer takes at most this many body bytes in all; a write that crosses the limit is short.
  std::optional<uint64_t> acceptBytes;
  // isClosed() is true once this many writes were made (0: closed from the start).
  std::optional<size_t> closeAfterWrites;

  // --- what was recorded ---
  // One line per call: "status 404 File not found", "status 200 <null>",
  // "header Content-Length: 10", "write 10" (or "write 10 took 4"), "finish".
  std::vector<std::string> calls;
  int status = -1;
  bool reasonIsNull = false;
  std::string reason;
  http::HeaderList headers;
  std::string body;
  size_t writes = 0;
  int finishCount = 0;

  bool isClosed() override { return closeAfterWrites && writes >= *closeAfterWrites; }

  int write(const void* data, size_t length) override {
    size_t take = length;
    if (acceptBytes) {
      const uint64_t room = *acceptBytes - std::min<uint64_t>(*acceptBytes, body.size());
      take = static_cast<size_t>(std::min<uint64_t>(take, room));
    }
    if (data == nullptr) take = 0;
    body.append(static_cast<const char*>(data), take);
    ++writes;
    calls.push_back("write " + std::to_string(length) +
                    (take == length ? std::string() : " took " + std::to_string(take)));
    return static_cast<int>(take);
  }

  void addHeader(const std::string& name, const std::string& value) override {
    headers.emplace_back(name, value);
    calls.push_back("header " + name + ": " + value);
  }

  void setStatus(int code, const char* reasonText) override {
    status = code;
    reasonIsNull = reasonText == nullptr;
    reason = reasonText != nullptr ? reasonText : "";
    calls.push_back("status " + std::to_string(code) + " " + (reasonText != nullptr ? reasonText : "<null>"));
  }

  void finish() override {
    ++finishCount;
    calls.push_back("finish");
  }

  // Every recorded call, one a line.
  std::string trace() const {
    std::string out;
    for (const auto& call : calls) out += call + "\n";
    return out;
  }

  // The value of the first header of that name (exact), empty when there is none.
  std::string header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (key == name) return value;
    }
    return std::string();
  }
  size_t headerCount(const std::string& name) const {
    return static_cast<size_t>(std::count_if(headers.begin(), headers.end(),
                                             [&](const auto& h) { return h.first == name; }));
  }
  std::vector<std::string> headerNames() const {
    std::vector<std::string> names;
    for (const auto& header : headers) names.push_back(header.first);
    return names;
  }

  // Breaches of the calling order (setStatus once, headers, then writes, then finish once, last;
  // headers may come before the status, as the router adds one before the handler runs); empty
  // when the reply was written properly.
  std::string protocolErrors() const {
    std::string errors;
    bool statusSeen = false, bodySeen = false, finished = false;
    for (const auto& call : calls) {
      if (finished) {
        errors += "call after finish: " + call + "\n";
      } else if (call.rfind("status ", 0) == 0) {
        if (statusSeen) errors += "status set twice: " + call + "\n";
        if (bodySeen) errors += "status after body: " + call + "\n";
        statusSeen = true;
      } else if (call.rfind("header ", 0) == 0) {
        if (bodySeen) errors += "header after body: " + call + "\n";
      } else if (call.rfind("write ", 0) == 0) {
        if (!statusSeen) errors += "body before status: " + call + "\n";
        bodySeen = true;
      } else if (call == "finish") {
        if (!statusSeen) errors += "finish without status\n";
        finished = true;
      }
    }
    if (!finished) errors += "never finished\n";
    return errors;
  }
};

}  // namespace pel::test
