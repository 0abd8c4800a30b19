// A page in the real Chromium calls the fetch plugin through "/plugin" (the router and the plugin
// handler answering the engine's requests): a 5 MiB download with its status and headers, and a
// "request"/"get" loop to its end.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"
#include "support/http_fakes.h"
#include "support/local_http_server.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/http-plugins/fetch/fetch-plugin.h"
#include "zrkwebview/browser/src/http/request-router.h"

using namespace deskweb_test;
using nlohmann::json;

// The HTTP client library keeps a few small objects of its own to the end of the process (its
// shared thread pool and what hangs off it); they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcpprest.so\n"; }

namespace {

const char kPage[] = R"HTML(<!doctype html><html><body><script>
function fnv(bytes) {
  let h = 0x811c9dc5;
  for (const b of bytes) { h ^= b; h = Math.imul(h, 0x01000193) >>> 0; }
  return h.toString(16);
}
const call = (event, payload) => fetch('https://pelmora/plugin?name=fetch&event=' + event, {
  method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(payload) });
(async () => {
  const out = {};
  try {
    const r = await call('fetch', { url: 'BIG_URL', options: {} });
    const buf = new Uint8Array(await r.arrayBuffer());
    out.fetch = { status: r.status, type: r.headers.get('content-type'), kind: r.headers.get('x-kind'),
                  length: buf.length, digest: fnv(buf) };
    const missing = await call('fetch', { url: 'MISSING_URL', options: {} });
    out.missing = { status: missing.status, length: (await missing.arrayBuffer()).byteLength };
    const q = await (await call('request', { url: 'SMALL_URL', options: {} })).json();
    let total = 0, pieces = 0, end = null;
    for (let i = 0; i < 1000 && end === null; i++) {
      const g = await call('get', { uid: q.uid, length: 100000 });
      const b = new Uint8Array(await g.arrayBuffer());
      end = g.headers.get('zrk-remote-status');
      if (end === null) { total += b.length; pieces++; }
    }
    out.loop = { uid: q.uid.length, total, pieces, end };
  } catch (e) {
    out.error = String(e);
  }
  chrome.webview.postMessage(out);
})();
</script></body></html>)HTML";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

}  // namespace

TEST(FetchInTheBrowser, APageFetchesThroughThePlugin) {
  Poco::Net::initializeSSL();
  zrk::plugin::registerFetchPlugin();
  pel::test::LocalHttpServer upstream;
  const std::string big = pattern(5 << 20, 13);
  upstream.on("/big", [&big](const pel::test::RecordedRequest&, Poco::Net::HTTPServerResponse& r) {
    r.set("X-Kind", "big");
    r.setContentType("application/x-big");
    r.setContentLength64(big.size());
    r.send().write(big.data(), static_cast<std::streamsize>(big.size()));
  });
  upstream.on("/small", [](const pel::test::RecordedRequest&, Poco::Net::HTTPServerResponse& r) {
    const std::string body(250000, 's');
    r.setContentLength64(body.size());
    r.send() << body;
  });

  TestLoop loop;
  Browser browser;
  ASSERT_TRUE(browser.start(loop)) << browser.error;
  {
    Host host(loop, *browser.env);
    ASSERT_NE(host.webview, nullptr);
    const http::RouteConfig config{"https", kHost, {kPageHost}};
    auto handlers = std::make_shared<http::HandlerArray>();
    handlers->push_back(std::make_shared<http::HttpPluginHandler>());
    host.route("/plugin", [config, handlers](const Request& req, std::shared_ptr<Deferral> d) {
      pel::test::FakeRequest request(req.method, req.url);
      for (const auto& [name, value] : req.headers) request.withHeader(name, value);
      request.withBody(req.body);
      pel::test::RecordingConnection connection;
      http::routeRequest(config, *handlers, nullptr, &request, &connection, nullptr);
      Response response;
      response.status = connection.status;
      response.reason = connection.reasonIsNull ? "OK" : connection.reason;
      response.headers = connection.headers;
      response.body = connection.body;
      d->complete(response);
    });
    std::string page = replaced(kPage, "BIG_URL", upstream.url("/big"));
    page = replaced(page, "MISSING_URL", upstream.url("/missing"));
    page = replaced(page, "SMALL_URL", upstream.url("/small"));
    host.page("/fetch.w", page);
    host.webview->navigate("https://.pelmora/fetch.w");
    const std::string message = host.waitMessage();
    ASSERT_FALSE(message.empty()) << "the page sent nothing";
    const json out = json::parse(message);
    ASSERT_FALSE(out.contains("error")) << out.dump();
    EXPECT_EQ(out["fetch"]["status"], 200);
    EXPECT_EQ(out["fetch"]["type"], "application/x-big");
    EXPECT_EQ(out["fetch"]["kind"], "big");
    EXPECT_EQ(out["fetch"]["length"], big.size());
    EXPECT_EQ(out["fetch"]["digest"], fnv(big));
    EXPECT_EQ(out["missing"]["status"], 404);
    EXPECT_EQ(out["missing"]["length"], 0);
    EXPECT_EQ(out["loop"]["uid"], 32);
    EXPECT_EQ(out["loop"]["total"], 250000);
    EXPECT_GE(out["loop"]["pieces"], 3);
    EXPECT_EQ(out["loop"]["end"], "0");
  }
  if (browser.env) browser.env->close();
}
