// The "fetch" plugin: pages send HTTP and HTTPS requests through the program. "fetch" answers
// with the upstream reply, its body streamed on as the page reads it; "request" keeps the reply
// in a store under an id, from which "get" pulls the body piece by piece and "cancel" drops it.
//
// The HTTP client library stays out of this header: its objects live behind `FetchUpstream`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

// One upstream exchange: the request, its reply and the bounded buffer its body arrives in.
struct FetchUpstream;

class FetchPlugin : public Plugin {
  VESK_DECLARE_CLASS(FetchPlugin, Plugin, "zrk::plugin")

 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  static std::shared_ptr<http::HttpResponse> fetch(const nlohmann::json& payload,
                                                   http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> request(const nlohmann::json& payload,
                                                     http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> get(const nlohmann::json& payload,
                                                 http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> cancel(const nlohmann::json& payload,
                                                    http::HttpRequest* request);
};

// The reply of "fetch": the upstream status and headers, and the body read from upstream only as
// the writer asks for it. A body that fails or stalls ends the reply short.
class FetchResponse : public http::HttpResponse {
  VESK_DECLARE_CLASS(FetchResponse, http::HttpResponse, "zrk::plugin")

 public:
  FetchResponse(bool explicitHeaders, std::shared_ptr<FetchUpstream> upstream);
  ~FetchResponse() override;

  bool isChunked() override;
  // The upstream body cannot be read from an offset: "Range" never applies.
  bool supportsRanges() override { return false; }
  bool isEnd() override;
  int status() override;
  uint64_t contentLength() override;
  std::string read(size_t maxBytes) override;
  void seek(uint64_t offset) override;

  uint64_t deliveredBytes() const { return deliveredBytes_; }
  // The most body bytes held in memory at once so far.
  size_t bufferHighWaterMark() const;

 private:
  bool explicitHeaders_;
  bool upstreamChunked_ = false;
  bool openLength_ = false;
  uint64_t knownLength_ = 0;
  uint64_t deliveredBytes_ = 0;
  bool failed_ = false;
  std::string requestMethod_;
  std::shared_ptr<FetchUpstream> upstream_;
};

// A body held in memory, "application/octet-stream", with extra headers after "Content-Type".
class ExtendMimeResponse : public http::HttpMimeResponse {
  VESK_DECLARE_CLASS(ExtendMimeResponse, http::HttpMimeResponse, "zrk::plugin")

 public:
  ExtendMimeResponse(std::string body, const std::vector<std::pair<std::string, std::string>>& headers);
};

std::shared_ptr<ExtendMimeResponse> makeExtendMimeResponse(
    const char* body, const std::vector<std::pair<std::string, std::string>>& headers);

// A reply kept by "request" until its body has been read, it is cancelled or it expires.
struct GetItem {
  std::string uid;
  uint64_t timeoutMs = 60000;  // lifetime without access; 0: never expires
  uint64_t timestampMs = 0;    // the clock's time of the last insert or find
  std::shared_ptr<FetchUpstream> upstream;
};

// The process-wide result store (made on first use, never destroyed). At most kMaxItems entries.
class FetchItemStore {
 public:
  static constexpr size_t kMaxItems = 256;

  static void insert(const std::shared_ptr<GetItem>& item);
  // Renews the entry's time stamp; empty when the id is unknown.
  static std::shared_ptr<GetItem> find(const std::string& uid);
  static void remove(const std::string& uid);
  static size_t count();
};

// Starts the purge thread unless it runs. It drops entries untouched for longer than their
// lifetime, checking every 5 s on the platform clock, and ends when no entry with a lifetime is
// left. Throws std::system_error (with nothing left running) when the thread cannot start.
void startPurgeThread();
// Wakes the purge thread, waits for it to end; called when the application quits. A later
// startPurgeThread starts a new one.
void stopPurgeThread();
bool purgeThreadRunning();

// Makes the plugin and registers it, once per process (the built-in plugins' registration calls
// it).
void registerFetchPlugin();

}  // namespace zrk::plugin

namespace zrk::plugin {
// How many purge passes have run in this process (lets tests wait for one).
uint64_t purgePassCount();
}  // namespace zrk::plugin
