// "/getimage": how pages read, write and convert image files through the image-codec library.
//
// GET reads; its parameters travel in the query ("action" = "info", "supports", "getdata",
// "getcount"). POST writes, converts and changes files; its options travel as Base64 JSON in the
// header "zrk-image-options" ("action" = "output", "encode", "open", "write", "close",
// "convert", "save_indexed_png", "cancel", "transform", "modify_orientation") and pixel data in
// the body. The handler passes the codec's texts and bytes on unchanged (rastcore/rastcore_api.h
// describes them).
//
// Two kinds of work outlive a request: write handles (a file written subimage by subimage,
// "open" / "write" / "close") and cancelable conversion jobs ("convert" under a job id, "cancel").
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "zrkwebview/browser/src/http/http-message.h"

// What a GET action is given, built once per request.
struct GetImageQuery {
  int32_t subimage = 0;
  int32_t miplevel = 0;
  std::string path;
  std::string features;
  // Every query parameter; the first of each name.
  std::map<std::string, std::string> params;
};

namespace http {

class HttpGetImageHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpGetImageHandler, HttpHandler, "http")

 public:
  using Response = std::shared_ptr<HttpResponse>;

  const char* path() override { return "/getimage"; }
  bool handleGet(HttpRequest* request, HttpResponseConnection* connection) override;
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;

  // The reply a GET or POST gets (what handleGet and handlePost send).
  static Response answerGet(HttpRequest* request);
  static Response answerPost(HttpRequest* request);

  // GET actions.
  static Response infoAction(const nlohmann::json& options, HttpRequest* request,
                             const GetImageQuery& query);
  static Response supportsAction(const nlohmann::json& options, HttpRequest* request,
                                 const GetImageQuery& query);
  static Response getdataAction(const nlohmann::json& options, HttpRequest* request,
                                const GetImageQuery& query);
  static Response getcountAction(const nlohmann::json& options, HttpRequest* request,
                                 const GetImageQuery& query);

  // POST actions.
  static Response outputAction(const nlohmann::json& options, HttpRequest* request,
                               const std::string& path);
  static Response encodeAction(const nlohmann::json& options, HttpRequest* request,
                               const std::string& path);
  static Response openAction(const nlohmann::json& options, HttpRequest* request,
                             const std::string& path);
  static Response writeAction(const nlohmann::json& options, HttpRequest* request,
                              const std::string& path);
  static Response closeAction(const nlohmann::json& options, HttpRequest* request,
                              const std::string& path);
  static Response convertAction(const nlohmann::json& options, HttpRequest* request,
                                const std::string& path);
  static Response saveIndexedPngAction(const nlohmann::json& options, HttpRequest* request,
                                       const std::string& path);
  static Response cancelAction(const nlohmann::json& options, HttpRequest* request,
                               const std::string& path);
  static Response transformAction(const nlohmann::json& options, HttpRequest* request,
                                  const std::string& path);
  static Response modifyOrientationAction(const nlohmann::json& options, HttpRequest* request,
                                          const std::string& path);

  // True for a POST to "/getimage" whose options name the action "cancel": such a request is
  // served on the plugin queue, so it reaches a conversion that holds the request queue.
  static bool claimsCancel(HttpRequest& request);
};

}  // namespace http

// The write handles open between "open" and "close": handle id to the codec's handle, under one
// mutex. Handles still open when the process ends are closed then (closeAll), so a file left
// unfinished never appears.
class ImageWriteHandles {
 public:
  static ImageWriteHandles& instance();
  ~ImageWriteHandles();

  std::mutex& mutex() { return mutex_; }
  // Under mutex(): stores `handle` under a new id that is not in use, and returns the id.
  std::string add(void* handle);
  // Under mutex(): the handle of `id`, or null.
  void* find(const std::string& id) const;
  // Under mutex(): removes `id` and returns its handle, or null.
  void* take(const std::string& id);
  // Closes every handle still open (the codec discards what they wrote). Takes the mutex.
  void closeAll();
  size_t size();

 private:
  ImageWriteHandles();
  std::mutex mutex_;
  std::map<std::string, void*> handles_;
};

// Ten characters of A-Z, a-z, 0-9 from a fresh random stream.
std::string makeHandleId();

// Conversion jobs by the page's job id; a job may be cancelled while its conversion runs.
class ImageJobRegistry {
 public:
  static void add(const std::string& jobId);
  static bool isCancelled(const std::string& jobId);
  static void remove(const std::string& jobId);
  static void cancel(const std::string& jobId);
  // The number of conversions registered under the id (0: no entry).
  static int32_t count(const std::string& jobId);
};

// The codec library's quit callback for a cancelable conversion; the argument is the job id.
bool shouldQuitCallback(const char* jobId);

// A query value read as a decimal 32-bit integer: leading blanks and a sign allowed, reading
// stops at the first other character ("2x" is 2). No digits, or a value beyond 32 bits, throws
// std::invalid_argument or std::out_of_range naming the parameter.
int32_t parseInt32(const std::string& text, const char* name);

namespace http {

// Appends the handler to the handler list once per process, claims "/getimage" cancels for the
// plugin queue and marks the path as large-content.
void registerGetImageHandler();

}  // namespace http
