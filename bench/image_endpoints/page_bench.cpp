// The image endpoints timed from a page in the real Chromium, the way the program's pages use them:
//   image_endpoints_page_bench <jpg>... [--rounds N] [--passes P] [--thumbnails-in-devtools]
// - thumbnails: the page asks for every file's 300 px thumbnail at once (as a folder view does,
//   cache "no-store"), with an empty thumbnail cache and then three times again from the cache;
//   the requests wait on one serial queue, as on the webview host's request queue. P such passes
//   (the cache emptied before each); prints every time, the medians and how much of a cached pass
//   the handler itself took. run.sh times vipsthumbnail beside it. "/thumbnail" is marked
//   large-content, as in the program: its small replies travel inside DevTools messages, larger
//   ones over the loopback road. With --thumbnails-in-devtools it is not marked, so every reply
//   travels inside DevTools (a check that the marked path costs nothing for small replies).
// - getdata: the first file's full RGBA pixels into an ArrayBuffer, beside the codec's decode
//   alone and the same bytes fetched by the same page from a loopback HTTP server that holds them
//   ready. Prints the medians and (ours - decode) / loopback.
// Build without sanitizers (see run.sh); librastcore.so must lie beside the executable.
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/URI.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"
#include "src/codec-library.h"
#include "src/getimage-handler.h"
#include "src/thumbnail-cache.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/webview2/web-request.h"

using namespace deskweb_test;
using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

// Time spent in the thumbnail handler, in ns (its queue runs one request at a time).
std::atomic<int64_t> gHandlerNs{0};

std::string gPixels;  // the loopback server's ready copy of the decoded pixels

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

class PixelsHandler : public Poco::Net::HTTPRequestHandler {
 public:
  void handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& res) override {
    res.setKeepAlive(true);
    res.set("Access-Control-Allow-Origin", "*");
    res.setContentType("application/octet-stream");
    res.setContentLength64(gPixels.size());
    res.send().write(gPixels.data(), static_cast<std::streamsize>(gPixels.size()));
  }
};

class PixelsFactory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
    return new PixelsHandler;
  }
};

const char kPage[] = R"HTML(<!doctype html><html><body><script>
async function thumbnails(paths) {
  const t0 = performance.now();
  const sizes = await Promise.all(paths.map(async p => {
    const r = await fetch('https://pelmora/thumbnail?width=300&height=300&path=' +
                          encodeURIComponent(p), {cache: 'no-store'});
    return r.ok ? (await r.arrayBuffer()).byteLength : -1;
  }));
  const failed = sizes.filter(s => s < 0).length;
  chrome.webview.postMessage({ms: performance.now() - t0, failed});
}
async function pixels(url) {
  const t0 = performance.now();
  const r = await fetch(url, {cache: 'no-store'});
  const bytes = (await r.arrayBuffer()).byteLength;
  chrome.webview.postMessage({ms: performance.now() - t0, bytes, status: r.status});
}
</script></body></html>)HTML";

// Runs a page call and gives its report, or null after the loop's wait.
json call(TestLoop& loop, Host& host, const std::string& script) {
  const size_t before = host.messages.size();
  host.webview->executeScript(script, nullptr);
  for (int i = 0; i < 30 && host.messages.size() <= before; ++i) {
    loop.runUntil([&] { return host.messages.size() > before; });
  }
  if (host.messages.size() <= before) return json();
  return json::parse(host.messages.back().json, nullptr, false);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  int rounds = 7, passes = 1;
  bool loopbackThumbnails = true;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--rounds" && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else if (std::string(argv[i]) == "--passes" && i + 1 < argc) {
      passes = std::max(1, atoi(argv[++i]));
    } else if (std::string(argv[i]) == "--thumbnails-in-devtools") {
      loopbackThumbnails = false;
    } else {
      files.push_back(std::filesystem::absolute(argv[i]).string());
    }
  }
  if (files.empty()) {
    fprintf(stderr, "usage: %s <jpg>... [--rounds N]\n", argv[0]);
    return 2;
  }

  TempFolder data;
  setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  zrk::CodecLibrary& codec = zrk::CodecLibrary::instance();
  codec.setMaxImageSize();  // loaded before any clock starts

  // The codec's decode alone, and the loopback server's copy of its result.
  std::vector<double> decode;
  for (int r = 0; r < rounds; ++r) {
    int32_t length = 0;
    const auto start = Clock::now();
    unsigned char* p = codec.readImageRgba(files[0].c_str(), &length, 0, 0, 0, 0, true);
    if (p == nullptr) {
      fprintf(stderr, "decode: %s\n", codec.getLastError());
      return 1;
    }
    decode.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (r == 0) gPixels.assign(reinterpret_cast<char*>(p), static_cast<size_t>(length));
    codec.freeResource(p);
  }

  Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
  const int port = socket.address().port();
  auto* params = new Poco::Net::HTTPServerParams;
  params->setKeepAlive(true);
  Poco::Net::HTTPServer server(new PixelsFactory, socket, params);
  server.start();

  TestLoop loop;
  Browser browser;
  if (!browser.start(loop)) {
    fprintf(stderr, "browser: %s\n", browser.error.c_str());
    return 1;
  }
  browser.env->addLargeContentPath("/getimage");
  // As in the program; without it every thumbnail travels inside DevTools, whatever its size.
  if (loopbackThumbnails) browser.env->addLargeContentPath("/thumbnail");
  http::HttpGetImageHandler getimage;
  http::HttpThumbnailHandler thumbs;
  int status = 0;
  {
    Host host(loop, *browser.env);
    if (!host.webview) {
      fprintf(stderr, "no webview\n");
      return 1;
    }
    host.page("/bench.w", kPage);
    host.route("/getimage", [&](const Request& request, std::shared_ptr<Deferral> deferral) {
      zrk::WebRequest webRequest(request);
      zrk::WebResponse response(deferral);
      getimage.handleGet(&webRequest, &response);
    });
    host.route("/thumbnail", [&](const Request& request, std::shared_ptr<Deferral> deferral) {
      const auto start = Clock::now();
      zrk::WebRequest webRequest(request);
      zrk::WebResponse response(deferral);
      thumbs.handleGet(&webRequest, &response);
      gHandlerNs += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    });
    host.webview->navigate("https://.pelmora/bench.w");
    loop.runUntil([&] { return !host.completed.empty(); });

    printf("300 px thumbnails of %zu JPEGs, all asked at once from the page\n", files.size());
    const std::string list = json(files).dump();
    std::vector<double> firstMs, cachedMs, handlerMs;
    for (int p = 0; p < passes && status == 0; ++p) {
      // An empty cache: the connection closed and the database gone.
      ThumbCache::reset();
      const std::string db = zrk::dataDirectory() + "thumbcache.db";
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix);
      for (int round = 0; round < 4; ++round) {
        gHandlerNs = 0;
        const json report = call(loop, host, "thumbnails(" + list + ")");
        if (!report.is_object() || report.value("failed", 1) != 0) {
          fprintf(stderr, "thumbnail pass failed: %s\n", report.dump().c_str());
          status = 1;
          break;
        }
        const double ms = report.value("ms", 0.0), handler = gHandlerNs.load() / 1e6;
        printf("  pass %d %-12s %10.1f ms (handler %.1f ms)\n", p + 1,
               round == 0 ? "empty cache" : "cached", ms, handler);
        (round == 0 ? firstMs : cachedMs).push_back(ms);
        if (round > 0) handlerMs.push_back(handler);
      }
    }
    if (status == 0) {
      const double f = median(firstMs), c = median(cachedMs);
      printf("thumbnails, medians: empty cache %.1f ms (%zu), cached %.1f ms (%zu, handler %.1f ms),"
             " cached %.1fx faster\n",
             f, firstMs.size(), c, cachedMs.size(), median(handlerMs), f / c);
    }

    std::string encoded;
    Poco::URI::encode(files[0], "?#[]@!$&'()*+,;=%", encoded);
    const std::string ours = "https://pelmora/getimage?action=getdata&path=" + encoded;
    const std::string peer = "http://127.0.0.1:" + std::to_string(port) + "/pixels";
    std::vector<double> oursMs, peerMs;
    for (int r = 0; r < rounds && status == 0; ++r) {
      for (auto [url, out] : {std::pair{&ours, &oursMs}, std::pair{&peer, &peerMs}}) {
        const json report = call(loop, host, "pixels('" + *url + "')");
        if (!report.is_object() || report.value("bytes", size_t(0)) != gPixels.size()) {
          fprintf(stderr, "getdata round failed: %s\n", report.dump().c_str());
          status = 1;
          break;
        }
        out->push_back(report.value("ms", 0.0));
      }
    }
    if (status == 0) {
      const double d = median(decode), o = median(oursMs), p = median(peerMs);
      printf("getdata of one %.1f MB RGBA image into an ArrayBuffer (medians of %d)\n",
             gPixels.size() / 1e6, rounds);
      printf("  decode alone %8.1f ms\n  ours         %8.1f ms\n  loopback     %8.1f ms\n", d, o, p);
      printf("  (ours - decode) / loopback = %.2f\n", (o - d) / p);
    }
  }
  browser.env->close();
  server.stop();
  return status;
}
