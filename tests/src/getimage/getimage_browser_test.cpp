// The image endpoints as pages use them, in the real Chromium and on the real codec library: a
// thumbnail in an <img>, a camera-size "getdata" into an ArrayBuffer, "output" of pixels the page
// made, and a conversion the page cancels. Requests run on two queues as in the webview host: the
// cancel is claimed for the plugin queue, everything else waits on the request queue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"
#include "src/getimage-handler.h"
#include "src/thumbnail-cache.h"
#include "tests/src/getimage/endpoint_support.h"
#include "zrkwebview/browser/src/webview2/web-request.h"

using namespace deskweb_test;
using nlohmann::json;

namespace {

namespace fs = std::filesystem;

// Pixels different in every row and column, RGB.
std::string gradient(int width, int height) {
  std::string pixels(static_cast<size_t>(width) * height * 3, '\0');
  size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels[i++] = static_cast<char>(x * 255 / width);
      pixels[i++] = static_cast<char>(y * 255 / height);
      pixels[i++] = static_cast<char>((x ^ y) & 255);
    }
  }
  return pixels;
}

// The page's helpers: its requests, a digest of what came back, and a report per step.
const char* kPageHead = R"HTML(<!doctype html><html><body><script>
const base = 'https://pelmora/getimage';
function fnv(bytes) {
  let h = 0x811c9dc5;
  for (let i = 0; i < bytes.length; i++) { h ^= bytes[i]; h = Math.imul(h, 0x01000193) >>> 0; }
  return h.toString(16);
}
function post(options, body) {
  return fetch(base, {method: 'POST', cache: 'no-store', body: body || '',
                      headers: {'zrk-image-options': btoa(JSON.stringify(options))}});
}
function report(step, value) { chrome.webview.postMessage(Object.assign({step}, value)); }
)HTML";

class ImageEndpointsInChromium : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/getimage-browser-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ThumbCache::reset();
    ASSERT_TRUE(browser.start(loop)) << browser.error;
    // The replies of both endpoints go to the page without the engine's size limit.
    ASSERT_EQ(browser.env->addLargeContentPath("/getimage"), Result::ok);
    ASSERT_EQ(browser.env->addLargeContentPath("/thumbnail"), Result::ok);
  }
  void TearDown() override {
    if (browser.env) browser.env->close();
    ThumbCache::reset();
    fs::remove_all(root);
  }

  // Writes width x height pixels as `name` through the endpoint; returns the path.
  std::string make(const std::string& name, int width, int height) {
    const std::string path = root + "/" + name;
    const std::string pixels = gradient(width, height);
    pel::test::FakeRequest request("POST", "https://app.local/getimage");
    const json spec = {{"width", width}, {"height", height}, {"nchannels", 3}, {"format", "uint8"}};
    request
        .withHeader("zrk-image-options",
                    endpoint::options({{"action", "output"}, {"path", path}, {"spec", spec.dump()},
                                       {"length", pixels.size()}}))
        .withBody(pixels);
    const endpoint::Reply reply = endpoint::post(getimage, request);
    EXPECT_EQ(reply.status, 200) << reply.reason;
    return path;
  }

  // Serves both endpoints the way the webview host queues them.
  void serve(Host& host) {
    host.route("/getimage", [this](const Request& request, std::shared_ptr<Deferral> deferral) {
      auto webRequest = std::make_shared<zrk::WebRequest>(request);
      Worker& queue = http::HttpGetImageHandler::claimsCancel(*webRequest) ? pluginQueue : httpQueue;
      queue.post([this, webRequest, deferral] {
        zrk::WebResponse response(deferral);
        if (webRequest->method() == "POST") {
          getimage.handlePost(webRequest.get(), &response);
        } else {
          getimage.handleGet(webRequest.get(), &response);
        }
      });
    });
    host.route("/thumbnail", [this](const Request& request, std::shared_ptr<Deferral> deferral) {
      auto webRequest = std::make_shared<zrk::WebRequest>(request);
      httpQueue.post([this, webRequest, deferral] {
        zrk::WebResponse response(deferral);
        thumbnails.handleGet(webRequest.get(), &response);
      });
    });
  }

  // The message of the given step, parsed; waits long enough for a sanitizer build's decoding.
  json waitStep(Host& host, const std::string& step) {
    for (int round = 0; round < 20; ++round) {
      for (const WebMessage& m : host.messages) {
        json message = json::parse(m.json, nullptr, false);
        if (message.is_object() && message.value("step", "") == step) return message;
      }
      host.waitMessage(host.messages.size());
    }
    return json();
  }

  std::string root;
  TestLoop loop;
  Browser browser;
  http::HttpGetImageHandler getimage;
  http::HttpThumbnailHandler thumbnails;
  // Declared last: their threads end before the handlers they use go.
  Worker httpQueue;
  Worker pluginQueue;
};

TEST_F(ImageEndpointsInChromium, ThumbnailAndCameraSizeDataReachThePage) {
  const std::string photo = make("photo.jpg", 6000, 4000);
  // What the endpoint gives natively, to compare with what the page receives.
  pel::test::FakeRequest native("GET", "https://app.local/getimage?action=getdata&path=" + photo);
  const endpoint::Reply expected = endpoint::get(getimage, native);
  ASSERT_EQ(expected.status, 200) << expected.reason;
  ASSERT_EQ(expected.body.size(), 6000u * 4000 * 4);

  const std::string query = "path=" + photo;
  const std::string page = std::string(kPageHead) + R"HTML(
const img = new Image();
img.onload = () => report('thumbnail', {width: img.naturalWidth, height: img.naturalHeight});
img.onerror = () => report('thumbnail', {error: true});
img.src = 'https://pelmora/thumbnail?width=120&height=120&)HTML" + query + R"HTML(';
(async () => {
  const reply = await fetch(base + '?action=getdata&)HTML" + query + R"HTML(', {cache: 'no-store'});
  const data = new Uint8Array(await reply.arrayBuffer());
  report('getdata', {status: reply.status, length: data.length, digest: fnv(data)});
})();
</script></body></html>)HTML";

  Host host(loop, *browser.env);
  ASSERT_NE(host.webview, nullptr);
  host.page("/images.w", page);
  serve(host);
  ASSERT_EQ(host.webview->navigate("https://.pelmora/images.w"), Result::ok);

  const json thumbnail = waitStep(host, "thumbnail");
  ASSERT_TRUE(thumbnail.is_object()) << "no thumbnail report";
  EXPECT_FALSE(thumbnail.contains("error"));
  EXPECT_EQ(thumbnail["width"], 120);
  EXPECT_EQ(thumbnail["height"], 80);

  const json data = waitStep(host, "getdata");
  ASSERT_TRUE(data.is_object()) << "no getdata report";
  EXPECT_EQ(data["status"], 200);
  EXPECT_EQ(data["length"], expected.body.size());
  EXPECT_EQ(data["digest"], fnv(expected.body));
}

TEST_F(ImageEndpointsInChromium, APageWritesConvertsAndCancels) {
  const std::string source = make("source.jpg", 6000, 4000);
  const std::string written = root + "/made.png";
  const std::string converted = root + "/converted.tif";
  const std::string cancelled = root + "/cancelled.png";
  const json paths = {{"written", written}, {"source", source}, {"converted", converted},
                      {"cancelled", cancelled}};
  const std::string page = std::string(kPageHead) + "const paths = " + paths.dump() + ";\n" +
                           R"HTML(
(async () => {
  // 16 x 8 RGBA pixels made here, written as a PNG.
  const pixels = new Uint8Array(16 * 8 * 4);
  for (let i = 0; i < pixels.length; i++) pixels[i] = (i * 7) & 255;
  const spec = JSON.stringify({width: 16, height: 8, nchannels: 4, format: 'uint8'});
  let reply = await post({action: 'output', path: paths.written, spec, length: pixels.length}, pixels);
  report('output', {status: reply.status});

  reply = await post({action: 'convert', src: paths.source, dst: paths.converted});
  report('convert', {status: reply.status});

  // A cancelable conversion, cancelled again and again until it answers: the first cancel may
  // come before the job is registered.
  let settled = false;
  const job = post({action: 'convert', src: paths.source, dst: paths.cancelled, cancelable: true,
                    jid: 'page-job'}).then(r => { settled = true; return r; });
  let cancels = 0;
  while (!settled) {
    const c = await post({action: 'cancel', jid: 'page-job'});
    if (c.status === 200) cancels++;
    await new Promise(resolve => setTimeout(resolve, 20));
  }
  reply = await job;
  report('cancel', {status: reply.status, reason: reply.statusText, cancels});
})();
</script></body></html>)HTML";

  Host host(loop, *browser.env);
  ASSERT_NE(host.webview, nullptr);
  host.page("/convert.w", page);
  serve(host);
  ASSERT_EQ(host.webview->navigate("https://.pelmora/convert.w"), Result::ok);

  const json output = waitStep(host, "output");
  ASSERT_TRUE(output.is_object()) << "no output report";
  EXPECT_EQ(output["status"], 200);
  pel::test::FakeRequest info("GET", "https://app.local/getimage?action=info&path=" + written);
  const endpoint::Reply written_info = endpoint::get(getimage, info);
  ASSERT_EQ(written_info.status, 200) << written_info.reason;
  const json facts = json::parse(written_info.body);
  EXPECT_EQ(facts["width"], 16);
  EXPECT_EQ(facts["height"], 8);
  EXPECT_EQ(facts["format"], "png");

  const json convert = waitStep(host, "convert");
  ASSERT_TRUE(convert.is_object()) << "no convert report";
  EXPECT_EQ(convert["status"], 200);
  pel::test::FakeRequest count("GET", "https://app.local/getimage?action=info&path=" + converted);
  const endpoint::Reply converted_info = endpoint::get(getimage, count);
  ASSERT_EQ(converted_info.status, 200) << converted_info.reason;
  EXPECT_EQ(json::parse(converted_info.body)["width"], 6000);

  const json cancel = waitStep(host, "cancel");
  ASSERT_TRUE(cancel.is_object()) << "no cancel report";
  EXPECT_GE(cancel["cancels"].get<int>(), 1);
  EXPECT_EQ(cancel["status"], 500) << cancel.dump();
  EXPECT_EQ(cancel["reason"], "cancelled");
  EXPECT_FALSE(fs::exists(cancelled));
}

}  // namespace
