#include "src/getimage-handler.h"

#include <Poco/Exception.h>
#include <Poco/RandomStream.h>
#include <Poco/URI.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "src/codec-library.h"
#include "vesk/crypto.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/handlers/file-serving.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-body-buffer.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/http/request-hooks.h"
#include "zrkwebview/browser/src/http/request-router.h"
#include "zrkwebview/browser/src/shared-data-store.h"

using nlohmann::json;
using zrk::CodecLibrary;

namespace http {

namespace {

using Response = HttpGetImageHandler::Response;

constexpr const char* kOptionsHeader = "zrk-image-options";
constexpr size_t kBodyChunk = 16384;

Response status(int code, std::string message) {
  return std::make_shared<HttpStatusResponse>(code, message);
}

Response mime(std::string body, const char* type) {
  return std::make_shared<HttpMimeResponse>(std::move(body), type);
}

std::string lastError() {
  const char* text = CodecLibrary::instance().getLastError();
  return text != nullptr ? std::string(text) : std::string();
}

// A codec buffer, given back to the library when the scope ends.
class CodecBuffer {
 public:
  explicit CodecBuffer(void* p) : p_(p) {}
  ~CodecBuffer() {
    if (p_ != nullptr) CodecLibrary::instance().freeResource(p_);
  }
  CodecBuffer(const CodecBuffer&) = delete;
  CodecBuffer& operator=(const CodecBuffer&) = delete;
  const char* bytes() const { return static_cast<const char*>(p_); }
  // `length` bytes of the buffer (a negative length counts as none).
  std::string copy(int32_t length) const {
    return length > 0 ? std::string(bytes(), static_cast<size_t>(length)) : std::string();
  }

 private:
  void* p_;
};

// A codec buffer as a reply body: the reply holds it until the last byte is sent, then gives it
// back to the library.
class CodecBodyBuffer : public HttpBodyBuffer {
 public:
  CodecBodyBuffer(void* p, size_t size) : p_(p), size_(size) {}
  ~CodecBodyBuffer() override {
    try {
      CodecLibrary::instance().freeResource(p_);
    } catch (...) {
    }
  }
  CodecBodyBuffer(const CodecBodyBuffer&) = delete;
  CodecBodyBuffer& operator=(const CodecBodyBuffer&) = delete;
  const char* data() const override { return static_cast<const char*>(p_); }
  size_t size() const override { return size_; }

 private:
  void* p_;
  size_t size_;
};

// --- query values ----------------------------------------------------------------------------

// C atoi without its undefined overflow: leading blanks and a sign, digits up to the first other
// character, 0 without any, clamped to 32 bits.
int32_t atoiValue(const std::string& text) {
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// A parameter of the map: its atoi value, or `fallback` when it is absent or empty.
int32_t paramInt(const GetImageQuery& query, const char* name, int32_t fallback) {
  auto it = query.params.find(name);
  if (it == query.params.end() || it->second.empty()) return fallback;
  return atoiValue(it->second);
}

// --- options ---------------------------------------------------------------------------------

const json* member(const json& options, const char* key) {
  if (!options.is_object()) return nullptr;
  auto it = options.find(key);
  return it == options.end() ? nullptr : &*it;
}

std::string optString(const json& options, const char* key) {
  const json* v = member(options, key);
  return v != nullptr && v->is_string() ? v->get<std::string>() : std::string();
}

bool optBool(const json& options, const char* key) {
  const json* v = member(options, key);
  return v != nullptr && v->is_boolean() && v->get<bool>();
}

// A number key as an unsigned 64-bit value: a negative number wraps as a conversion to that width
// would (so it reads as a very large one), a fraction is cut toward zero, and a floating value
// beyond the range saturates.
uint64_t optU64(const json& options, const char* key, uint64_t fallback = 0) {
  const json* v = member(options, key);
  if (v == nullptr || !v->is_number()) return fallback;
  if (v->is_number_unsigned()) return v->get<uint64_t>();
  if (v->is_number_integer()) return static_cast<uint64_t>(v->get<int64_t>());
  const double d = std::trunc(v->get<double>());
  if (d >= 18446744073709551615.0) return UINT64_MAX;
  if (d >= 0) return static_cast<uint64_t>(d);
  if (d <= -9223372036854775808.0) return static_cast<uint64_t>(INT64_MIN);
  return static_cast<uint64_t>(static_cast<int64_t>(d));
}

// A number key as a signed 32-bit value, saturating at the range's ends.
int32_t optI32(const json& options, const char* key, int32_t fallback = 0) {
  const json* v = member(options, key);
  if (v == nullptr || !v->is_number()) return fallback;
  if (v->is_number_unsigned()) {
    const uint64_t u = v->get<uint64_t>();
    return u > uint64_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(u);
  }
  if (v->is_number_integer()) {
    const int64_t i = v->get<int64_t>();
    return i > INT32_MAX ? INT32_MAX : i < INT32_MIN ? INT32_MIN : static_cast<int32_t>(i);
  }
  const double d = std::trunc(v->get<double>());
  if (d >= double(INT32_MAX)) return INT32_MAX;
  if (d <= double(INT32_MIN)) return INT32_MIN;
  return static_cast<int32_t>(d);
}

// "config": a string as it is, an object as compact JSON (keys sorted), anything else empty.
std::string optConfig(const json& options) {
  const json* v = member(options, "config");
  if (v == nullptr) return std::string();
  if (v->is_string()) return v->get<std::string>();
  if (v->is_object()) return v->dump();
  return std::string();
}

// --- bodies ----------------------------------------------------------------------------------

// Reads the body in pieces of 16384 bytes until a shorter piece, or until it has grown past
// `length` (then it cannot match and the rest is not read). True when it is exactly `length`.
bool readBody(HttpRequest* request, uint64_t length, std::string& body) {
  const uint64_t announced = request->contentLength();
  body.reserve(static_cast<size_t>(std::min<uint64_t>(length, announced)));
  for (;;) {
    const std::string piece = request->read(kBodyChunk);
    body += piece;
    if (body.size() > length) return false;
    if (piece.size() < kBodyChunk) break;
  }
  return body.size() == length;
}

bool tooLarge(uint64_t length) { return length > uint64_t(INT32_MAX); }

Response dataTooLarge() { return status(400, "Data too large."); }

Response jsonBool(bool value) {
  return mime(value ? "true" : "false", "application/json");
}

// An exception turned into the reply text: POCO's display text, else the message.
template <typename F>
Response guarded(F&& action) {
  try {
    return action();
  } catch (const Poco::Exception& e) {
    return status(400, e.displayText());
  } catch (const std::exception& e) {
    return status(400, e.what());
  } catch (...) {
    return status(400, "unknown error");
  }
}

bool send(HttpResponseConnection* connection, HttpRequest* request, const Response& response) {
  return sendResponse(connection, request, response.get()) == 0;
}

// --- job registry state ----------------------------------------------------------------------

struct JobEntry {
  int32_t count = 0;
  bool cancelled = false;
};

std::mutex& jobsMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, JobEntry>& jobs() {
  static std::map<std::string, JobEntry> m;
  return m;
}

}  // namespace

// --- GET ---------------------------------------------------------------------------------------

Response HttpGetImageHandler::answerGet(HttpRequest* request) {
  using GetAction = Response (*)(const json&, HttpRequest*, const GetImageQuery&);
  GetImageQuery query;
  std::string action;
  try {
    const Poco::URI uri(request->uri());
    const auto pairs = fileserving::parseQuery(uri.getRawQuery());
    std::string subimage, miplevel;
    bool hasSubimage = false, hasMiplevel = false;
    for (const auto& [name, value] : pairs) {
      query.params.emplace(name, value);
      if (name == "action") {
        action = value;
      } else if (name == "path") {
        query.path = value;
      } else if (name == "features") {
        query.features = value;
      } else if (name == "subimage") {
        subimage = value;
        hasSubimage = true;
      } else if (name == "miplevel") {
        miplevel = value;
        hasMiplevel = true;
      }
    }
    if (hasSubimage) query.subimage = parseInt32(subimage, "subimage");
    if (hasMiplevel) query.miplevel = parseInt32(miplevel, "miplevel");
  } catch (const Poco::Exception& e) {
    return status(400, e.displayText());
  } catch (const std::exception& e) {
    return status(400, e.what());
  }

  if (query.path.empty()) return status(400, "Missing path.");
  if (request->isCancelled()) return status(0, "request is cancelled");

  const std::map<std::string, GetAction> actions = {
      {"info", &HttpGetImageHandler::infoAction},
      {"supports", &HttpGetImageHandler::supportsAction},
      {"getdata", &HttpGetImageHandler::getdataAction},
      {"getcount", &HttpGetImageHandler::getcountAction},
  };
  auto it = actions.find(action);
  if (it == actions.end()) return status(400, "Bad request, unknown action: ");
  const json none;
  return guarded([&] { return it->second(none, request, query); });
}

bool HttpGetImageHandler::handleGet(HttpRequest* request, HttpResponseConnection* connection) {
  return send(connection, request, answerGet(request));
}

Response HttpGetImageHandler::infoAction(const json&, HttpRequest*, const GetImageQuery& query) {
  CodecLibrary& codec = CodecLibrary::instance();
  int32_t length = 0;
  CodecBuffer info(codec.getImageInfo(query.path.c_str(), &length, query.subimage, query.miplevel));
  if (info.bytes() == nullptr) return status(420, "Failed to get image info: " + lastError());
  return mime(info.copy(length), "text/plain");
}

Response HttpGetImageHandler::supportsAction(const json&, HttpRequest*,
                                             const GetImageQuery& query) {
  const bool reading = paramInt(query, "output", 0) == 0;
  if (query.features.empty()) return status(400, "Missing features.");
  CodecLibrary& codec = CodecLibrary::instance();
  CodecBuffer text(codec.checkFormatSupports(query.path.c_str(), query.features.c_str(), reading));
  if (text.bytes() == nullptr) return status(420, "Failed to check features: " + lastError());
  return mime(std::string(text.bytes()), "application/json");
}

Response HttpGetImageHandler::getdataAction(const json&, HttpRequest*, const GetImageQuery& query) {
  const int32_t subimage = paramInt(query, "subimage", 0);
  const int32_t miplevel = paramInt(query, "miplevel", 0);
  const int32_t width = paramInt(query, "width", 0);
  const int32_t height = paramInt(query, "height", 0);
  const bool fixOrientation = paramInt(query, "fixorientation", 1) != 0;
  CodecLibrary& codec = CodecLibrary::instance();
  int32_t length = 0;
  void* pixels = codec.readImageRgba(query.path.c_str(), &length, subimage, miplevel, width,
                                     height, fixOrientation);
  if (pixels == nullptr) return status(420, "Failed to read image data. Error: " + lastError());
  // The pixels go out of the codec's own buffer, never copied into the reply.
  auto body = std::make_shared<CodecBodyBuffer>(pixels, length > 0 ? static_cast<size_t>(length) : 0);
  return std::make_shared<HttpBufferResponse>(std::move(body), "application/octet-stream");
}

Response HttpGetImageHandler::getcountAction(const json&, HttpRequest*,
                                             const GetImageQuery& query) {
  const int32_t count = CodecLibrary::instance().getImageCount(query.path.c_str());
  return mime(json(count).dump(), "application/json");
}

// --- POST --------------------------------------------------------------------------------------

Response HttpGetImageHandler::answerPost(HttpRequest* request) {
  using PostAction = Response (*)(const json&, HttpRequest*, const std::string&);
  const std::string header = request->header(kOptionsHeader);
  if (header.empty()) return status(400, "Bad request, missing zrk-image-options");
  if (request->isCancelled()) return status(0, "request is cancelled");

  json options;
  try {
    options = json::parse(Vesk::base64Decode(header), nullptr, true, false);
  } catch (const std::exception& e) {
    return status(400, e.what());
  }
  const std::string action = optString(options, "action");
  const std::string path = optString(options, "path");

  const std::map<std::string, PostAction> actions = {
      {"output", &HttpGetImageHandler::outputAction},
      {"encode", &HttpGetImageHandler::encodeAction},
      {"open", &HttpGetImageHandler::openAction},
      {"write", &HttpGetImageHandler::writeAction},
      {"close", &HttpGetImageHandler::closeAction},
      {"convert", &HttpGetImageHandler::convertAction},
      {"save_indexed_png", &HttpGetImageHandler::saveIndexedPngAction},
      {"cancel", &HttpGetImageHandler::cancelAction},
      {"transform", &HttpGetImageHandler::transformAction},
      {"modify_orientation", &HttpGetImageHandler::modifyOrientationAction},
  };
  auto it = actions.find(action);
  if (it == actions.end()) return status(400, "Bad request, unknown action");
  return guarded([&] { return it->second(options, request, path); });
}

bool HttpGetImageHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
  return send(connection, request, answerPost(request));
}

Response HttpGetImageHandler::outputAction(const json& options, HttpRequest* request,
                                           const std::string& path) {
  const std::string spec = optString(options, "spec");
  const uint64_t length = optU64(options, "length");
  const std::string config = optConfig(options);
  if (spec.empty() || length == 0) return status(400, "Bad request, missing spec or length.");
  if (tooLarge(length)) return dataTooLarge();
  std::string body;
  if (!readBody(request, length, body)) return status(400, "Data length mismatch.");
  CodecLibrary& codec = CodecLibrary::instance();
  if (codec.outputImage(path.c_str(), spec.c_str(), reinterpret_cast<const unsigned char*>(body.data()),
                        static_cast<int32_t>(length), config.c_str())) {
    return status(200, "OK.");
  }
  return status(500, "Failed to output image: " + lastError());
}

Response HttpGetImageHandler::encodeAction(const json& options, HttpRequest* request,
                                           const std::string&) {
  const std::string spec = optString(options, "spec");
  const std::string extension = optString(options, "extension");
  const uint64_t length = optU64(options, "length");
  if (spec.empty() || extension.empty() || length == 0) {
    return status(400, "Bad request, missing spec or length or extension.");
  }
  if (tooLarge(length)) return dataTooLarge();
  std::string body;
  if (!readBody(request, length, body)) return status(400, "Data length mismatch.");
  CodecLibrary& codec = CodecLibrary::instance();
  int32_t outLength = 0;
  CodecBuffer encoded(codec.encodeImage(extension.c_str(), spec.c_str(),
                                        reinterpret_cast<const unsigned char*>(body.data()),
                                        static_cast<int32_t>(length), &outLength));
  if (encoded.bytes() == nullptr) return status(500, "Failed to encode image: " + lastError());
  std::string bytes = encoded.copy(outLength);
  return mime(std::move(bytes), "application/octet-stream");
}

Response HttpGetImageHandler::saveIndexedPngAction(const json& options, HttpRequest*,
                                                   const std::string&) {
  const std::string dst = optString(options, "dst");
  const uint64_t width = optU64(options, "width");
  const uint64_t height = optU64(options, "height");
  const uint64_t colors = optU64(options, "colors");
  const std::string duid = optString(options, "duid");
  const std::string puid = optString(options, "puid");
  if (dst.empty()) return status(400, "missing dst path");
  if (width == 0 || height == 0 || colors == 0 || tooLarge(width) || tooLarge(height) ||
      tooLarge(colors)) {
    return status(400, "invalid number values");
  }
  if (duid.empty() || puid.empty()) return status(400, "missing data uid");
  std::string palette, pixels;
  if (!zrk::SharedDataStore::read(puid, palette)) return status(400, "missing palette data");
  if (!zrk::SharedDataStore::read(duid, pixels)) return status(400, "missing pixels data");
  if (tooLarge(palette.size()) || tooLarge(pixels.size())) return dataTooLarge();
  const bool ok = CodecLibrary::instance().writeIndexedPngFile(
      dst.c_str(), static_cast<int32_t>(width), static_cast<int32_t>(height),
      static_cast<int32_t>(colors), reinterpret_cast<const unsigned char*>(palette.data()),
      static_cast<int32_t>(palette.size()), reinterpret_cast<const unsigned char*>(pixels.data()),
      static_cast<int32_t>(pixels.size()));
  return jsonBool(ok);
}

Response HttpGetImageHandler::transformAction(const json& options, HttpRequest*,
                                              const std::string&) {
  const int32_t transform = optI32(options, "transform");
  const std::string source = optString(options, "source");
  const std::string dest = optString(options, "dest");
  if (source.empty() || dest.empty()) return status(400, "missing source or dest path");
  CodecLibrary& codec = CodecLibrary::instance();
  const bool ok = codec.transform(source.c_str(), dest.c_str(), transform);
  Response reply = jsonBool(ok);
  if (!ok) reply->addHeader("X-Error-Reason", httpSafeText(lastError()));
  return reply;
}

Response HttpGetImageHandler::modifyOrientationAction(const json& options, HttpRequest*,
                                                      const std::string&) {
  const int32_t orientation = optI32(options, "orientation");
  if (orientation == 0) return status(400, "Invalid orientation value.");
  const std::string source = optString(options, "source");
  const std::string dest = optString(options, "dest");
  if (source.empty()) return status(400, "missing source path");
  CodecLibrary& codec = CodecLibrary::instance();
  const bool ok = dest.empty()
                      ? codec.modifyJpegOrientation(source.c_str(), orientation)
                      : codec.modifyOrientation(source.c_str(), dest.c_str(), orientation);
  Response reply = jsonBool(ok);
  if (!ok) reply->addHeader("X-Error-Reason", httpSafeText(lastError()));
  return reply;
}

// --- write handles -------------------------------------------------------------------------

Response HttpGetImageHandler::openAction(const json& options, HttpRequest*,
                                         const std::string& path) {
  const int32_t subimages = optI32(options, "subimages", 1);
  std::vector<std::string> specs;
  if (const json* list = member(options, "specsxml"); list != nullptr && list->is_array()) {
    for (const auto& element : *list) {
      if (element.is_string()) specs.push_back(element.get<std::string>());
    }
  }
  if (static_cast<int64_t>(specs.size()) != subimages) {
    return status(400, "Subimages and specsxml mismatch.");
  }
  std::vector<const char*> texts;
  for (const auto& spec : specs) texts.push_back(spec.c_str());
  CodecLibrary& codec = CodecLibrary::instance();
  void* handle = codec.openImageForWrite(path.c_str(), subimages,
                                         texts.empty() ? nullptr : texts.data(),
                                         static_cast<int32_t>(texts.size()));
  if (handle == nullptr) return status(420, "Failed to open image for write.");
  ImageWriteHandles& handles = ImageWriteHandles::instance();
  std::lock_guard<std::mutex> lock(handles.mutex());
  const std::string id = handles.add(handle);
  return mime(json{{"handle", id}}.dump(), "application/json");
}

Response HttpGetImageHandler::writeAction(const json& options, HttpRequest* request,
                                          const std::string&) {
  const uint64_t length = optU64(options, "length");
  const int32_t subimage = optI32(options, "subimage");
  const std::string id = optString(options, "handle");
  const std::string spec = optString(options, "specxml");
  if (tooLarge(length)) return dataTooLarge();
  std::string body;
  if (!readBody(request, length, body)) return status(400, "Data length mismatch.");
  if (id.empty()) return status(400, "Missing handle parameter.");
  if (spec.empty()) return status(400, "Missing specxml parameter.");
  ImageWriteHandles& handles = ImageWriteHandles::instance();
  std::lock_guard<std::mutex> lock(handles.mutex());
  void* handle = handles.find(id);
  if (handle == nullptr) return status(404, "Handle not found.");
  CodecLibrary& codec = CodecLibrary::instance();
  if (codec.writeImageSubimage(handle, subimage, spec.c_str(),
                               reinterpret_cast<const unsigned char*>(body.data()),
                               static_cast<int32_t>(length))) {
    return status(200, "Subimage written successfully.");
  }
  return status(500, "Failed to write subimage: " + lastError());
}

Response HttpGetImageHandler::closeAction(const json& options, HttpRequest*, const std::string&) {
  const std::string id = optString(options, "handle");
  if (id.empty()) return status(400, "Missing handle parameter.");
  ImageWriteHandles& handles = ImageWriteHandles::instance();
  std::lock_guard<std::mutex> lock(handles.mutex());
  void* handle = handles.take(id);
  if (handle == nullptr) return status(404, "Could not find handle.");
  CodecLibrary& codec = CodecLibrary::instance();
  if (codec.closeImageForWrite(handle)) return status(200, "OK.");
  return status(500, "Failed to close image write handle: " + lastError());
}

// --- conversion jobs -----------------------------------------------------------------------

Response HttpGetImageHandler::convertAction(const json& options, HttpRequest*, const std::string&) {
  const std::string src = optString(options, "src");
  const std::string dst = optString(options, "dst");
  const bool cancelable = optBool(options, "cancelable");
  std::string jobId;
  if (cancelable) {
    jobId = optString(options, "jid");
    if (jobId.empty()) return status(400, "\"jid\" is required if cancelable is true.");
  }
  const std::string config = optConfig(options);
  if (src.empty() || dst.empty()) return status(400, "src and dst must be specified.");

  CodecLibrary& codec = CodecLibrary::instance();
  bool ok;
  if (cancelable) {
    ImageJobRegistry::add(jobId);
    try {
      ok = codec.copyImageTo(src.c_str(), dst.c_str(), config.c_str(), config.size(),
                             &shouldQuitCallback, jobId.c_str());
    } catch (...) {
      ImageJobRegistry::remove(jobId);
      throw;
    }
    ImageJobRegistry::remove(jobId);
  } else {
    ok = codec.copyImageTo(src.c_str(), dst.c_str(), config.c_str(), config.size(), nullptr,
                           nullptr);
  }
  if (ok) return status(200, "OK.");
  return status(500, lastError());
}

Response HttpGetImageHandler::cancelAction(const json& options, HttpRequest*, const std::string&) {
  const std::string jobId = optString(options, "jid");
  if (jobId.empty()) return status(400, "missing jid");
  ImageJobRegistry::cancel(jobId);
  return status(200, "OK");
}

bool HttpGetImageHandler::claimsCancel(HttpRequest& request) {
  if (!equalsIgnoringCase(request.method(), "POST")) return false;
  try {
    const std::string path = Poco::URI(request.uri()).getPath();
    if (!matchHandlerPath(path, "/getimage")) return false;
    const std::string header = request.header(kOptionsHeader);
    if (header.empty()) return false;
    const json options = json::parse(Vesk::base64Decode(header), nullptr, false, false);
    return optString(options, "action") == "cancel";
  } catch (...) {
    return false;
  }
}

}  // namespace http

// --- ImageWriteHandles -----------------------------------------------------------------------

// The codec library is reached before the table exists, so the table (a later static) is gone
// before the library's object when the process ends, and can still close what is open.
ImageWriteHandles::ImageWriteHandles() { (void)CodecLibrary::instance(); }

ImageWriteHandles::~ImageWriteHandles() { closeAll(); }

ImageWriteHandles& ImageWriteHandles::instance() {
  static ImageWriteHandles handles;
  return handles;
}

std::string ImageWriteHandles::add(void* handle) {
  std::string id;
  do {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    id = makeHandleId() + std::to_string(millis);
  } while (handles_.count(id) != 0);
  handles_[id] = handle;
  return id;
}

void* ImageWriteHandles::find(const std::string& id) const {
  auto it = handles_.find(id);
  return it == handles_.end() ? nullptr : it->second;
}

void* ImageWriteHandles::take(const std::string& id) {
  auto it = handles_.find(id);
  if (it == handles_.end()) return nullptr;
  void* handle = it->second;
  handles_.erase(it);
  return handle;
}

void ImageWriteHandles::closeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [id, handle] : handles_) {
    try {
      CodecLibrary::instance().closeImageForWrite(handle);
    } catch (...) {
      // The library could not be reached: nothing more can be done for the handle.
    }
  }
  handles_.clear();
}

size_t ImageWriteHandles::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_.size();
}

std::string makeHandleId() {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  Poco::RandomInputStream random;
  std::string id(10, 'A');
  for (char& c : id) {
    unsigned char byte = 0;
    random.read(reinterpret_cast<char*>(&byte), 1);
    c = kAlphabet[byte % 62];
  }
  return id;
}

// --- ImageJobRegistry ------------------------------------------------------------------------

void ImageJobRegistry::add(const std::string& jobId) {
  std::lock_guard<std::mutex> lock(http::jobsMutex());
  http::JobEntry& entry = http::jobs()[jobId];
  ++entry.count;
}

bool ImageJobRegistry::isCancelled(const std::string& jobId) {
  std::lock_guard<std::mutex> lock(http::jobsMutex());
  auto it = http::jobs().find(jobId);
  return it != http::jobs().end() && it->second.cancelled;
}

void ImageJobRegistry::remove(const std::string& jobId) {
  std::lock_guard<std::mutex> lock(http::jobsMutex());
  auto it = http::jobs().find(jobId);
  if (it == http::jobs().end()) return;
  if (--it->second.count <= 0) http::jobs().erase(it);
}

void ImageJobRegistry::cancel(const std::string& jobId) {
  std::lock_guard<std::mutex> lock(http::jobsMutex());
  auto it = http::jobs().find(jobId);
  if (it != http::jobs().end()) it->second.cancelled = true;
}

int32_t ImageJobRegistry::count(const std::string& jobId) {
  std::lock_guard<std::mutex> lock(http::jobsMutex());
  auto it = http::jobs().find(jobId);
  return it == http::jobs().end() ? 0 : it->second.count;
}

bool shouldQuitCallback(const char* jobId) {
  if (jobId == nullptr) return false;
  const bool quit = ImageJobRegistry::isCancelled(jobId);
  if (quit) ZRK_LOG_INFO("%s", "it's true to quit");
  return quit;
}

// --- query integers --------------------------------------------------------------------------

int32_t parseInt32(const std::string& text, const char* name) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(begin, &end, 10);
  if (end == begin) {
    throw std::invalid_argument(std::string("Invalid number for \"") + name + "\": " + text);
  }
  if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) {
    throw std::out_of_range(std::string("Number out of range for \"") + name + "\": " + text);
  }
  return static_cast<int32_t>(v);
}

void http::registerGetImageHandler() {
  static const http::HandlerWrapper wrapper(std::make_shared<http::HttpGetImageHandler>(), false);
  static const bool hooks = [] {
    http::addPluginQueueClaim(&http::HttpGetImageHandler::claimsCancel);
    http::addLargeContentPath("/getimage");
    return true;
  }();
  (void)wrapper;
  (void)hooks;
}
