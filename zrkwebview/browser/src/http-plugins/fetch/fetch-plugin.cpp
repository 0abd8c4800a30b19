#include "zrkwebview/browser/src/http-plugins/fetch/fetch-plugin.h"

#include <cpprest/astreambuf.h>
#include <cpprest/http_client.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "vesk/log.h"
#include "zrkwebview/browser/src/http-plugins/fetch/body-pipe.h"
#include "zrkwebview/browser/src/http-plugins/fetch/multipart.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"

namespace zrk::plugin {

namespace {
using json = nlohmann::json;
namespace wh = web::http;
namespace whc = web::http::client;

// The client time-out when the page sets none.
constexpr uint32_t kDefaultTimeoutSeconds = 30;
// "get" without a length, and the most one "get" reads.
constexpr uint64_t kDefaultGetLength = 524288;
constexpr uint64_t kMaxGetLength = 8 * 1024 * 1024;

std::string upperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string messageOf(const std::exception_ptr& error) {
  if (!error) return std::string();
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "unknown error";
}

// The client library's response stream: every write goes into the exchange's BodyPipe and
// completes only once the pipe has taken it all in.
class PipeStreambuf : public Concurrency::streams::details::streambuf_state_manager<uint8_t> {
  using Base = Concurrency::streams::details::streambuf_state_manager<uint8_t>;

 public:
  explicit PipeStreambuf(std::shared_ptr<BodyPipe> pipe)
      : Base(std::ios_base::out), pipe_(std::move(pipe)) {}

  bool can_seek() const override { return false; }
  bool has_size() const override { return false; }
  size_t buffer_size(std::ios_base::openmode) const override { return 0; }
  void set_buffer_size(size_t, std::ios_base::openmode) override {}
  size_t in_avail() const override { return 0; }
  pos_type getpos(std::ios_base::openmode) const override { return static_cast<pos_type>(traits::eof()); }
  pos_type seekpos(pos_type, std::ios_base::openmode) override {
    return static_cast<pos_type>(traits::eof());
  }
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
    return static_cast<pos_type>(traits::eof());
  }
  bool acquire(uint8_t*& ptr, size_t& count) override {
    ptr = nullptr;
    count = 0;
    return false;
  }
  void release(uint8_t*, size_t) override {}

 protected:
  pplx::task<int_type> _putc(uint8_t ch) override {
    return _putn(&ch, 1, true).then([ch](size_t n) {
      return n == 1 ? static_cast<int_type>(ch) : traits::eof();
    });
  }
  pplx::task<size_t> _putn(const uint8_t* ptr, size_t count, bool copy) override {
    if (!copy) return _putn(ptr, count);
    auto held = std::make_shared<std::vector<uint8_t>>(ptr, ptr + count);
    return put(held->data(), count, held);
  }
  pplx::task<size_t> _putn(const uint8_t* ptr, size_t count) override {
    return put(ptr, count, nullptr);
  }
  pplx::task<int_type> _bumpc() override { return pplx::task_from_result(traits::eof()); }
  int_type _sbumpc() override { return traits::eof(); }
  pplx::task<int_type> _getc() override { return pplx::task_from_result(traits::eof()); }
  int_type _sgetc() override { return traits::eof(); }
  pplx::task<int_type> _nextc() override { return pplx::task_from_result(traits::eof()); }
  pplx::task<int_type> _ungetc() override { return pplx::task_from_result(traits::eof()); }
  pplx::task<size_t> _getn(uint8_t*, size_t) override { return pplx::task_from_result<size_t>(0); }
  size_t _scopy(uint8_t*, size_t) override { return 0; }
  pplx::task<bool> _sync() override { return pplx::task_from_result(true); }
  uint8_t* _alloc(size_t) override { return nullptr; }
  void _commit(size_t) override {}
  pplx::task<void> _close_write() override {
    m_stream_can_write = false;
    // Closed with an error: the exchange failed. A plain close is the end of the body.
    if (m_currentException) {
      pipe_->fail(messageOf(m_currentException));
    } else {
      pipe_->finish();
    }
    return pplx::task_from_result();
  }

 private:
  pplx::task<size_t> put(const uint8_t* ptr, size_t count, std::shared_ptr<std::vector<uint8_t>> held) {
    pplx::task_completion_event<size_t> done;
    pipe_->put(ptr, count, [done, count, held](bool ok) {
      if (ok) {
        done.set(count);
      } else {
        done.set_exception(std::make_exception_ptr(std::runtime_error("The body's reader is gone")));
      }
    });
    return pplx::create_task(done);
  }

  std::shared_ptr<BodyPipe> pipe_;
};

}  // namespace

struct FetchUpstream {
  wh::http_request request;
  wh::http_response response;
  std::shared_ptr<BodyPipe> pipe;
  std::chrono::milliseconds timeout{kDefaultTimeoutSeconds * 1000};

  ~FetchUpstream() {
    // Nobody reads the rest: a write the client is waiting on fails, and it drops the exchange.
    if (pipe) pipe->abandon();
  }
};

namespace {

// What the options ask for, read before anything is sent.
struct Outgoing {
  std::string url;
  std::string method = "GET";
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> body;
  std::string bodyType;      // the Content-Type a body brings, unless the headers set one
  bool bodyTypeWins = false;  // the multipart type replaces a Content-Type of the headers
  uint32_t timeoutSeconds = 0;
  std::string proxyAddress;
  std::optional<std::pair<std::string, std::string>> proxyCredentials;
  size_t maxRedirects = 10;
  bool httpsToHttp = false;
};

// A page number that must fit T; a number that is not finite or does not fit fails the command.
template <typename T>
std::optional<T> numberOption(const json& options, const char* key) {
  const json* value = payload::member(options, key);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  std::optional<T> number = payload::integerOf<T>(*value);
  if (!number) throw std::out_of_range(std::string("\"") + key + "\" is out of range");
  return number;
}

void readCommonOptions(const json& options, Outgoing& out) {
  const std::string method = payload::stringOr(options, "method");
  if (!method.empty()) out.method = method;
  if (const json* headers = payload::member(options, "headers"); headers && headers->is_object()) {
    for (const auto& [name, value] : headers->items()) {
      out.headers.emplace_back(name, value.get<std::string>());  // another type: a type error
    }
  }
  out.timeoutSeconds = numberOption<uint32_t>(options, "timeout").value_or(0);
  if (const json* proxy = payload::member(options, "proxy"); proxy && proxy->is_object()) {
    const std::string user = payload::stringOr(*proxy, "username");
    if (!user.empty()) out.proxyCredentials.emplace(user, payload::stringOr(*proxy, "password"));
    out.proxyAddress = payload::stringOr(*proxy, "address");
  }
  if (const json* redirects = payload::member(options, "redirects");
      redirects && redirects->is_object()) {
    if (auto max = numberOption<int32_t>(*redirects, "max_redirects")) {
      if (*max < 0) throw std::out_of_range("\"max_redirects\" is out of range");
      out.maxRedirects = static_cast<size_t>(*max);
    }
    if (const json* follow = payload::member(*redirects, "follow_https_to_http")) {
      out.httpsToHttp = follow->get<bool>();  // another type: a type error
    }
  }
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("\"" + path + "\" cannot be opened.");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("\"" + path + "\" cannot be read.");
  return bytes;
}

void requireRegularFile(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error && error != std::errc::no_such_file_or_directory) throw std::runtime_error(error.message());
  if (!std::filesystem::is_regular_file(status)) {
    throw std::runtime_error("\"" + path + "\" is not a file.");
  }
}

MultipartPart partOf(const json& description) {
  MultipartPart part;
  for (const char* key : {"path", "filename", "mime", "name"}) {
    part[key] = payload::stringOr(description, key);
  }
  return part;
}

void setMultipart(Outgoing& out, const std::vector<MultipartPart>& parts) {
  std::string boundary;
  out.body = buildMultipartBodyWithFreshBoundary(parts, boundary);
  out.bodyType = "multipart/form-data; boundary=" + boundary;
  out.bodyTypeWins = true;
}

uint8_t byteOf(const json& element) {
  if (element.is_boolean()) return element.get<bool>() ? 1 : 0;
  if (element.is_number_integer() || element.is_number_unsigned()) {
    return static_cast<uint8_t>(element.get<uint64_t>() & 0xFF);  // 300 gives 44, -1 gives 255
  }
  if (element.is_number_float()) {
    if (auto value = payload::integerOf<int64_t>(element)) return static_cast<uint8_t>(*value & 0xFF);
    throw std::out_of_range("A body byte is out of range");
  }
  return element.get<uint8_t>();  // a string, array, object or null: the library's type error
}

// The body of "fetch", by the JSON type of "body".
void readBody(const json& options, http::HttpRequest* pageRequest, Outgoing& out) {
  const json* body = payload::member(options, "body");
  if (body == nullptr) {
    // The page's own body passes through.
    const std::string method = upperAscii(out.method);
    if (method == "GET" || method == "HEAD" || pageRequest == nullptr ||
        pageRequest->contentLength() == 0) {
      return;
    }
    out.body = payload::readRequestBody(pageRequest, 65536);
    const std::string type = pageRequest->header("Content-Type");
    out.bodyType = type.empty() ? "application/octet-stream" : type;
    return;
  }
  switch (body->type()) {
    case json::value_t::string:
      out.body = body->get<std::string>();
      out.bodyType = "text/plain; charset=utf-8";
      return;
    case json::value_t::array: {
      if (body->empty()) return;
      std::vector<MultipartPart> parts;
      bool anyObject = false;
      for (const json& element : *body) {
        if (!element.is_object()) continue;
        anyObject = true;
        parts.push_back(partOf(element));
      }
      if (anyObject) return setMultipart(out, parts);
      std::string bytes;
      for (const json& element : *body) bytes.push_back(static_cast<char>(byteOf(element)));
      out.body = std::move(bytes);
      out.bodyType = "application/octet-stream";
      return;
    }
    case json::value_t::object: {
      if (body->empty()) return;
      const std::string path = payload::stringOr(*body, "path");
      if (path.empty()) {
        out.body = body->dump(-1, ' ', false, json::error_handler_t::replace);
        out.bodyType = "text/plain; charset=utf-8";
        return;
      }
      requireRegularFile(path);
      if (!payload::stringOr(*body, "filename").empty()) return setMultipart(out, {partOf(*body)});
      out.body = fileBytes(path);
      out.bodyType = "application/octet-stream";
      return;
    }
    case json::value_t::binary:
      std::fputs("binary body [NOT SUPPORTED]\n", stdout);
      std::fflush(stdout);
      throw std::runtime_error("binary body [NOT SUPPORTED]");
    default:
      return;  // null, boolean, number: no body
  }
}

// The method "fetch" sends: one of the known words, anything else GET.
std::string fetchMethod(const std::string& method) {
  const std::string upper = upperAscii(method);
  for (const char* known : {"POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS", "TRACE", "CONNECT"}) {
    if (upper == known) return upper;
  }
  return "GET";
}

whc::http_client_config clientConfig(const Outgoing& out) {
  whc::http_client_config config;
  if (out.timeoutSeconds != 0) config.set_timeout(std::chrono::seconds(out.timeoutSeconds));
  if (!out.proxyAddress.empty()) {
    web::web_proxy proxy{web::uri(out.proxyAddress)};
    if (out.proxyCredentials) {
      proxy.set_credentials(web::credentials(out.proxyCredentials->first, out.proxyCredentials->second));
    }
    config.set_proxy(proxy);
  } else {
    config.set_proxy(web::web_proxy(web::web_proxy::disabled));
  }
  // Redirects are followed here, hop by hop, so each hop's body goes into a pipe of its own.
  config.set_max_redirects(0);
  return config;
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Sends the request and waits for the reply's status line and headers, following redirects:
// at most maxRedirects hops, never from https to http unless allowed, never to an address seen
// before; 301, 302 and 303 turn a method other than GET and HEAD into GET without a body.
std::shared_ptr<FetchUpstream> send(Outgoing out) {
  const whc::http_client_config config = clientConfig(out);
  std::set<std::string> seen;
  web::uri address(out.url);
  for (size_t hop = 0;; ++hop) {
    seen.insert(address.to_string());
    whc::http_client client(address, config);
    wh::http_request request(out.method);
    for (const auto& [name, value] : out.headers) request.headers().add(name, value);
    if (out.body) {
      std::string type = out.bodyType;
      if (!out.bodyTypeWins && request.headers().has(wh::header_names::content_type)) {
        type = request.headers().content_type();
      }
      if (out.bodyTypeWins) request.headers().remove(wh::header_names::content_type);
      request.set_body(*out.body, type);
    }
    auto upstream = std::make_shared<FetchUpstream>();
    upstream->pipe = std::make_shared<BodyPipe>();
    upstream->timeout = std::chrono::seconds(out.timeoutSeconds != 0 ? out.timeoutSeconds
                                                                     : kDefaultTimeoutSeconds);
    request.set_response_stream(
        Concurrency::streams::streambuf<uint8_t>(std::make_shared<PipeStreambuf>(upstream->pipe))
            .create_ostream());
    upstream->request = request;
    upstream->response = client.request(request).get();
    std::weak_ptr<BodyPipe> weakPipe = upstream->pipe;
    upstream->response.content_ready().then([weakPipe](pplx::task<wh::http_response> done) {
      std::shared_ptr<BodyPipe> pipe = weakPipe.lock();
      try {
        done.get();
        if (pipe) pipe->finish();
      } catch (const std::exception& e) {
        if (pipe) pipe->fail(e.what());
      } catch (...) {
        if (pipe) pipe->fail(std::string());
      }
    });

    const int status = upstream->response.status_code();
    const auto location = upstream->response.headers().find(wh::header_names::location);
    if (!isRedirect(status) || location == upstream->response.headers().end() ||
        hop >= out.maxRedirects) {
      return upstream;
    }
    const web::uri next(address.resolve_uri(location->second));
    if (address.scheme() == "https" && next.scheme() == "http" && !out.httpsToHttp) return upstream;
    if (seen.count(next.to_string()) != 0) {
      throw wh::http_exception("Redirect loop at " + next.to_string());
    }
    if (status <= 303) {
      const std::string method = upperAscii(out.method);
      if (method != "GET" && method != "HEAD") {
        out.method = "GET";
        out.body.reset();
      }
    }
    address = next;
    // `upstream` goes here: its pipe is abandoned and the client drops the hop's body.
  }
}

std::shared_ptr<http::HttpResponse> failure(int status, const std::string& text) {
  return std::make_shared<http::HttpStatusResponse>(status, text);
}

bool isSuccess(int status) { return status >= 200 && status <= 299; }

}  // namespace

// --- FetchResponse -------------------------------------------------------------------------------

FetchResponse::FetchResponse(bool explicitHeaders, std::shared_ptr<FetchUpstream> upstream)
    : explicitHeaders_(explicitHeaders), upstream_(std::move(upstream)) {
  requestMethod_ = upperAscii(upstream_->request.method());
  const wh::http_headers& headers = upstream_->response.headers();
  bool hasLength = false;
  for (const auto& [name, value] : headers) {
    if (http::equalsIgnoringCase(name, "Transfer-Encoding")) {
      if (value == "chunked") upstreamChunked_ = true;
      if (name == "Transfer-Encoding" && value != "chunked") continue;
    }
    if (http::equalsIgnoringCase(name, "Content-Length")) hasLength = true;
    if (explicitHeaders_) {
      headers_.emplace_back("--ZRK-Middleware-" + name, value);
    } else if (!http::equalsIgnoringCase(name, "Content-Length") &&
               !http::equalsIgnoringCase(name, "Transfer-Encoding") &&
               !http::equalsIgnoringCase(name, "Connection")) {
      // The writer frames the reply itself.
      headers_.emplace_back(name, value);
    }
  }
  const int code = status();
  if (!upstreamChunked_ && isSuccess(code)) {
    if (hasLength) {
      knownLength_ = headers.content_length();
    } else if (code != 204 && requestMethod_ != "HEAD") {
      // No length and no chunks: the body runs to the end of the connection. The page gets it
      // chunked, never under a length of 0.
      openLength_ = true;
    }
  }
}

FetchResponse::~FetchResponse() = default;

bool FetchResponse::isChunked() { return upstreamChunked_ || openLength_; }

bool FetchResponse::isEnd() {
  const uint64_t n = contentLength();
  if (n != 0 && deliveredBytes_ >= n) return true;
  return failed_ || upstream_->pipe->atEnd();
}

int FetchResponse::status() { return upstream_->response.status_code(); }

uint64_t FetchResponse::contentLength() { return requestMethod_ == "HEAD" ? 0 : knownLength_; }

std::string FetchResponse::read(size_t maxBytes) {
  std::string out;
  if (!isSuccess(status()) || failed_ || maxBytes == 0) return out;
  ZRK_LOG_TRACE("start reading %zu bytes", maxBytes);
  const BodyPipe::State state = upstream_->pipe->read(maxBytes, upstream_->timeout, out);
  switch (state) {
    case BodyPipe::State::data:
      deliveredBytes_ += out.size();
      break;
    case BodyPipe::State::end:
      break;
    case BodyPipe::State::failed:
      failed_ = true;
      std::cerr << upstream_->pipe->error() << std::endl;
      break;
    case BodyPipe::State::timedOut:
      failed_ = true;
      std::cerr << "The upstream body stalled" << std::endl;
      upstream_->pipe->abandon();
      break;
  }
  return out;
}

void FetchResponse::seek(uint64_t) {}

size_t FetchResponse::bufferHighWaterMark() const { return upstream_->pipe->highWaterMark(); }

// --- ExtendMimeResponse --------------------------------------------------------------------------

ExtendMimeResponse::ExtendMimeResponse(std::string body,
                                       const std::vector<std::pair<std::string, std::string>>& headers)
    : http::HttpMimeResponse(std::move(body), "application/octet-stream") {
  for (const auto& [name, value] : headers) addHeader(name, value);
}

std::shared_ptr<ExtendMimeResponse> makeExtendMimeResponse(
    const char* body, const std::vector<std::pair<std::string, std::string>>& headers) {
  return std::make_shared<ExtendMimeResponse>(std::string(body != nullptr ? body : ""), headers);
}

// --- Commands ------------------------------------------------------------------------------------

std::shared_ptr<Vesk::TObject> FetchPlugin::invoke(const std::string& command, zrk::Webview* webview,
                                                   http::HttpResponseConnection* connection,
                                                   http::HttpRequest* request,
                                                   const nlohmann::json& payload) {
  (void)connection;
  auto wrap = [](std::shared_ptr<http::HttpResponse> (*handler)(const json&, http::HttpRequest*)) {
    return [handler](const json& p, zrk::Webview*, http::HttpRequest* r) { return handler(p, r); };
  };
  const CommandTable table{
      {"fetch", wrap(&FetchPlugin::fetch)},
      {"request", wrap(&FetchPlugin::request)},
      {"get", wrap(&FetchPlugin::get)},
      {"cancel", wrap(&FetchPlugin::cancel)},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

std::shared_ptr<http::HttpResponse> FetchPlugin::fetch(const json& payload,
                                                       http::HttpRequest* pageRequest) {
  Outgoing out;
  out.url = payload::stringOr(payload, "url");
  if (out.url.empty()) return failure(400, std::string("Missing url"));
  const json* optionsValue = payload::member(payload, "options");
  const json& options = optionsValue != nullptr ? *optionsValue : json();
  try {
    readCommonOptions(options, out);
    const bool explicitHeaders = payload::boolOr(options, "explicitHeaders", false);
    out.method = fetchMethod(out.method);
    readBody(options, pageRequest, out);
    std::shared_ptr<FetchUpstream> upstream = send(std::move(out));
    return std::make_shared<FetchResponse>(explicitHeaders, std::move(upstream));
  } catch (const wh::http_exception& e) {
    ZRK_LOG_ERROR("%s", e.what());
    return failure(440, std::string(e.what()));
  } catch (const std::exception& e) {
    ZRK_LOG_ERROR("%s", e.what());
    return failure(400, std::string(e.what()));
  }
}

std::shared_ptr<http::HttpResponse> FetchPlugin::request(const json& payload, http::HttpRequest*) {
  Outgoing out;
  out.url = payload::stringOr(payload, "url");
  if (out.url.empty()) return failure(400, std::string("Missing url"));
  const json* optionsValue = payload::member(payload, "options");
  const json& options = optionsValue != nullptr ? *optionsValue : json();
  readCommonOptions(options, out);
  if (upperAscii(out.method) != "GET") {
    return failure(400, "Unsupported method: " + out.method);
  }
  out.method = "GET";
  const uint32_t lifetime = numberOption<uint32_t>(options, "query_timeout").value_or(60000);
  if (FetchItemStore::count() >= FetchItemStore::kMaxItems) {
    return failure(400, std::string("Too many stored requests"));
  }
  std::shared_ptr<FetchUpstream> upstream = send(std::move(out));

  auto item = std::make_shared<GetItem>();
  item->uid = "dl-" + randomAlphanumeric(29);
  item->timeoutMs = lifetime;
  item->upstream = upstream;
  json headers;
  for (const auto& [name, value] : upstream->response.headers()) {
    headers.push_back(json::array({name, value}));
  }
  FetchItemStore::insert(item);
  startPurgeThread();
  json reply{{"uid", item->uid}, {"headers", headers}};
  return std::make_shared<http::HttpMimeResponse>(
      reply.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

std::shared_ptr<http::HttpResponse> FetchPlugin::get(const json& payload, http::HttpRequest*) {
  const std::string uid = payload::stringOr(payload, "uid");
  const json* lengthValue = payload::member(payload, "length");
  if (uid.empty() || lengthValue == nullptr || !lengthValue->is_number()) {
    return failure(400, std::string("uid is required"));
  }
  std::optional<uint64_t> length = payload::integerOf<uint64_t>(*lengthValue);
  if (!length) return failure(400, std::string("\"length\" is out of range"));
  const std::shared_ptr<GetItem> item = FetchItemStore::find(uid);
  if (!item) return failure(400, "item not found: " + uid);
  FetchUpstream& upstream = *item->upstream;
  if (upstream.pipe->atEnd()) {
    FetchItemStore::remove(uid);
    return makeExtendMimeResponse("", {{"zrk-remote-status", "0"}});
  }
  const int status = upstream.response.status_code();
  if (!isSuccess(status)) {
    return makeExtendMimeResponse("", {{"zrk-remote-status", std::to_string(status)}});
  }
  const uint64_t want = std::min(*length == 0 ? kDefaultGetLength : *length, kMaxGetLength);
  std::string bytes;
  switch (upstream.pipe->read(static_cast<size_t>(want), upstream.timeout, bytes)) {
    case BodyPipe::State::data:
    case BodyPipe::State::end:
      return std::make_shared<http::HttpMimeResponse>(std::move(bytes), "application/octet-stream");
    case BodyPipe::State::failed: {
      const std::string error = upstream.pipe->error();
      ZRK_LOG_ERROR("%s", error.c_str());
      return failure(440, error);
    }
    case BodyPipe::State::timedOut:
    default:
      ZRK_LOG_ERROR("%s", "The upstream body stalled");
      return failure(440, std::string("The upstream body stalled"));
  }
}

std::shared_ptr<http::HttpResponse> FetchPlugin::cancel(const json& payload, http::HttpRequest*) {
  const std::string uid = payload::stringOr(payload, "uid");
  if (uid.empty()) return failure(400, std::string("uid is required"));
  FetchItemStore::remove(uid);
  return failure(200, std::string("ok"));
}

void registerFetchPlugin() {
  registerPluginOnce<FetchPlugin>("fetch", "fetch middleware plugin", "1.0");
}

}  // namespace zrk::plugin
