// The image endpoints, timed whole.
//   image_endpoints_bench thumbs <files...>
//       every file's 300 px thumbnail through "/thumbnail", one request after another as the
//       request queue serves them: first with an empty cache (in a fresh data folder), then five
//       times again from the cache. Prints the first pass, the median cached pass, and where a
//       cache hit spends its time (the cache's lookup alone, the reply made, the reply written).
//   image_endpoints_bench getdata <file> [rounds]
//       the file's full RGBA pixels: the codec's decode alone; "/getimage?action=getdata" served by
//       a loopback HTTP server that runs the handler and fetched into memory; and the same bytes
//       fetched from a loopback server that holds them ready. Prints the medians and the ratio
//       (ours minus decode) / plain fetch.
// Build without sanitizers (see run.sh); librastcore.so must lie beside the executable.
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/URI.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "src/codec-library.h"
#include "src/getimage-handler.h"
#include "src/thumbnail-cache.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A request made in memory (the thumbnail pass needs no transport).
class MemoryRequest : public http::HttpRequest {
 public:
  explicit MemoryRequest(std::string uri) : uri_(std::move(uri)) {}
  std::string method() override { return "GET"; }
  uint64_t contentLength() override { return 0; }
  std::string uri() override { return uri_; }
  http::HeaderList headers() override { return {}; }
  std::vector<uint8_t> reserved() override { return {}; }
  std::string header(const std::string&) override { return std::string(); }
  std::string read(size_t) override { return std::string(); }

 private:
  std::string uri_;
};

// Collects the reply in memory, as the engine would before handing it on.
class MemoryConnection : public http::HttpResponseConnection {
 public:
  int write(const void* data, size_t length) override {
    body.append(static_cast<const char*>(data), length);
    return static_cast<int>(length);
  }
  void addHeader(const std::string&, const std::string&) override {}
  void setStatus(int code, const char*) override { status = code; }
  void finish() override {}
  int status = 0;
  std::string body;
};

// --- the loopback servers ------------------------------------------------------------------

class PocoRequest : public http::HttpRequest {
 public:
  explicit PocoRequest(Poco::Net::HTTPServerRequest& r) : r_(r) {}
  std::string method() override { return r_.getMethod(); }
  uint64_t contentLength() override { return 0; }
  std::string uri() override { return "https://app.local" + r_.getURI(); }
  http::HeaderList headers() override {
    http::HeaderList out;
    for (const auto& [k, v] : r_) out.emplace_back(k, v);
    return out;
  }
  std::vector<uint8_t> reserved() override { return {}; }
  std::string header(const std::string& name) override { return r_.get(name, ""); }
  std::string read(size_t) override { return std::string(); }

 private:
  Poco::Net::HTTPServerRequest& r_;
};

class PocoConnection : public http::HttpResponseConnection {
 public:
  explicit PocoConnection(Poco::Net::HTTPServerResponse& r) : r_(r) {}
  int write(const void* data, size_t length) override {
    if (out_ == nullptr) out_ = &r_.send();
    out_->write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
    return static_cast<int>(length);
  }
  void addHeader(const std::string& name, const std::string& value) override {
    if (name == "Content-Length") {
      r_.setContentLength64(std::stoll(value));
    } else {
      r_.set(name, value);
    }
  }
  void setStatus(int code, const char*) override {
    r_.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(code));
  }
  void finish() override {
    if (out_ == nullptr) r_.send();
  }

 private:
  Poco::Net::HTTPServerResponse& r_;
  std::ostream* out_ = nullptr;
};

std::string gReady;  // the bytes the plain server holds ready

class Handler : public Poco::Net::HTTPRequestHandler {
 public:
  void handleRequest(Poco::Net::HTTPServerRequest& req, Poco::Net::HTTPServerResponse& res) override {
    res.setKeepAlive(true);
    if (req.getURI().rfind("/ready", 0) == 0) {
      res.setContentType("application/octet-stream");
      res.setContentLength64(static_cast<Poco::Int64>(gReady.size()));
      res.send().write(gReady.data(), static_cast<std::streamsize>(gReady.size()));
      return;
    }
    PocoRequest request(req);
    PocoConnection connection(res);
    http::HttpGetImageHandler().handleGet(&request, &connection);
  }
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
    return new Handler;
  }
};

// Fetches a path into memory; returns the byte count.
size_t fetch(Poco::Net::HTTPClientSession& session, const std::string& path, std::string& into) {
  Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path,
                                 Poco::Net::HTTPMessage::HTTP_1_1);
  request.setKeepAlive(true);
  session.sendRequest(request);
  Poco::Net::HTTPResponse response;
  std::istream& in = session.receiveResponse(response);
  const auto length = response.getContentLength64();
  into.resize(length > 0 ? static_cast<size_t>(length) : 0);
  in.read(into.data(), static_cast<std::streamsize>(into.size()));
  if (response.getStatus() != 200 || static_cast<size_t>(in.gcount()) != into.size()) {
    fprintf(stderr, "fetch %s: status %d, %zd bytes\n", path.c_str(), int(response.getStatus()),
            static_cast<ssize_t>(in.gcount()));
    exit(1);
  }
  return into.size();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int thumbs(int argc, char** argv) {
  char folder[] = "/tmp/image-endpoints-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  setenv("XDG_DATA_HOME", folder, 1);
  ThumbCache::reset();
  zrk::CodecLibrary::instance().setMaxImageSize();  // loaded before the clock starts
  std::vector<std::string> uris;
  for (int i = 2; i < argc; ++i) {
    std::string encoded;
    Poco::URI::encode(argv[i], "?#[]@!$&'()*+,;=%", encoded);
    uris.push_back("https://app.local/thumbnail?option=1&width=300&height=300&path=" + encoded);
  }
  double first = 0;
  std::vector<double> cached, lookup, answer;
  for (int pass = 0; pass < 6; ++pass) {
    const auto start = Clock::now();
    for (size_t i = 0; i < uris.size(); ++i) {
      MemoryRequest request(uris[i]);
      MemoryConnection connection;
      http::HttpThumbnailHandler().handleGet(&request, &connection);
      if (connection.status != 200 || connection.body.empty()) {
        fprintf(stderr, "thumbnail of %s: status %d\n", argv[i + 2], connection.status);
        return 1;
      }
    }
    (pass == 0 ? first : cached.emplace_back()) = msSince(start);
    if (pass == 0) continue;
    // The parts of a hit: the cache's lookup alone, then the reply made but not written.
    auto part = Clock::now();
    for (int i = 2; i < argc; ++i) {
      if (!ThumbCache::get(argv[i], 300, 300)) {
        fprintf(stderr, "no cached thumbnail of %s\n", argv[i]);
        return 1;
      }
    }
    lookup.push_back(msSince(part));
    part = Clock::now();
    for (const std::string& uri : uris) {
      MemoryRequest request(uri);
      (void)http::HttpThumbnailHandler::answerGet(&request);
    }
    answer.push_back(msSince(part));
  }
  const double c = median(cached);
  const double perHit = 1000.0 / static_cast<double>(uris.size());
  printf("thumbnails of %zu files: first pass %.1f ms, cached pass %.1f ms (%.1fx faster)\n",
         uris.size(), first, c, first / c);
  printf("  a hit, medians of %zu: %.1f us whole, %.1f us the reply made, %.1f us the cache's"
         " lookup\n",
         cached.size(), c * perHit, median(answer) * perHit, median(lookup) * perHit);
  ThumbCache::reset();
  std::filesystem::remove_all(folder);
  return 0;
}

int getdata(int argc, char** argv) {
  const std::string file = argv[2];
  const int rounds = argc > 3 ? atoi(argv[3]) : 7;
  zrk::CodecLibrary& codec = zrk::CodecLibrary::instance();
  codec.setMaxImageSize();

  std::vector<double> decode, ours, plain;
  int32_t length = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    unsigned char* pixels = codec.readImageRgba(file.c_str(), &length, 0, 0, 0, 0, true);
    if (pixels == nullptr) {
      fprintf(stderr, "decode: %s\n", codec.getLastError());
      return 1;
    }
    if (r == 0) gReady.assign(reinterpret_cast<char*>(pixels), static_cast<size_t>(length));
    codec.freeResource(pixels);
    decode.push_back(msSince(start));
  }

  // The handler's reply built in memory, without a transport.
  std::vector<double> inMemory;
  for (int r = 0; r < rounds; ++r) {
    std::string encodedPath;
    Poco::URI::encode(file, "?#[]@!$&'()*+,;=%", encodedPath);
    MemoryRequest request("https://app.local/getimage?action=getdata&path=" + encodedPath);
    const auto start = Clock::now();
    const auto response = http::HttpGetImageHandler::answerGet(&request);
    const double answered = msSince(start);
    MemoryConnection connection;
    connection.body.reserve(static_cast<size_t>(length));
    http::sendResponse(&connection, &request, response.get());
    inMemory.push_back(msSince(start));
    if (r == 0) printf("  (answer %.1f ms, written %.1f ms)\n", answered, inMemory.back());
  }

  Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
  auto* params = new Poco::Net::HTTPServerParams;
  params->setKeepAlive(true);
  Poco::Net::HTTPServer server(new Factory, socket, params);
  server.start();
  Poco::Net::HTTPClientSession session("127.0.0.1", socket.address().port());
  std::string encoded;
  Poco::URI::encode(file, "?#[]@!$&'()*+,;=%", encoded);
  const std::string oursPath = "/getimage?action=getdata&path=" + encoded;
  std::string body;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    fetch(session, oursPath, body);
    ours.push_back(msSince(start));
    if (body != gReady) {
      fprintf(stderr, "the endpoint's bytes differ from the decode's\n");
      return 1;
    }
    start = Clock::now();
    fetch(session, "/ready", body);
    plain.push_back(msSince(start));
  }
  server.stop();
  const double d = median(decode), o = median(ours), p = median(plain);
  printf("getdata of %s (%d bytes), medians of %d rounds:\n", file.c_str(), length, rounds);
  printf("  decode alone          %8.1f ms\n", d);
  printf("  ours in memory        %8.1f ms\n", median(inMemory));
  printf("  ours over loopback    %8.1f ms\n", o);
  printf("  plain loopback fetch  %8.1f ms\n", p);
  printf("  (ours - decode) / plain = %.2f\n", (o - d) / p);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "thumbs" && argc > 2) return thumbs(argc, argv);
  if (mode == "getdata" && argc > 2) return getdata(argc, argv);
  fprintf(stderr, "usage: see the top of image_endpoints_bench.cpp\n");
  return 2;
}
