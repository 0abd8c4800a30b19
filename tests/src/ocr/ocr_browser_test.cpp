// A page in the real Chromium draws a line of text on a canvas and sends its RGBA pixels to the
// "ocr" plugin's "recognize_text" (options in "zrk-payload-options"); it gets the text back.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"
#include "src/plugins/ocr/ocr-engine.h"
#include "src/plugins/ocr/ocr-plugin.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/webview2/web-request.h"

using namespace deskweb_test;

namespace {

const char* kPage = R"HTML(<!doctype html><html><body><canvas id="c" width="760" height="110"></canvas>
<script>
(async () => {
  const c = document.getElementById('c');
  const g = c.getContext('2d');
  g.fillStyle = '#fff';
  g.fillRect(0, 0, c.width, c.height);
  g.fillStyle = '#000';
  g.font = '40px sans-serif';
  g.fillText('Pelmora reads this line', 30, 70);
  const pixels = g.getImageData(0, 0, c.width, c.height).data;
  try {
    const reply = await fetch('https://pelmora/plugin?name=ocr&event=recognize_text', {
      method: 'POST',
      headers: {'Content-Type': 'application/octet-stream',
                'zrk-payload-options': btoa(JSON.stringify({width: c.width, height: c.height,
                                                            languages: ['en-US']}))},
      body: pixels,
    });
    chrome.webview.postMessage({status: reply.status, body: await reply.text()});
  } catch (e) {
    chrome.webview.postMessage({status: -1, body: String(e)});
  }
})();
</script></body></html>)HTML";

TEST(OcrInChromium, APageRecognizesItsCanvas) {
  TestLoop loop;
  Browser browser;
  ASSERT_TRUE(browser.start(loop)) << browser.error;
  zrk::plugin::registerOcrPlugin();
  {
    Host host(loop, *browser.env);
    ASSERT_NE(host.webview, nullptr);
    host.page("/ocr.w", kPage);
    host.route("/plugin", [](const Request& request, std::shared_ptr<Deferral> deferral) {
      zrk::WebRequest httpRequest(request);
      zrk::WebResponse response(deferral);
      http::HttpPluginHandler().handlePost(&httpRequest, &response);
    });
    ASSERT_EQ(host.webview->navigate("https://.pelmora/ocr.w"), Result::ok);
    // Recognition loads its model first: allow it a few minutes on a loaded machine.
    for (int i = 0; i < 4 && host.messages.empty(); ++i) host.waitMessage();
    const nlohmann::json message = nlohmann::json::parse(host.waitMessage(), nullptr, false);
    ASSERT_TRUE(message.is_object()) << host.waitMessage();
    ASSERT_EQ(message["status"], 200) << message["body"];
    const nlohmann::json lines = nlohmann::json::parse(message["body"].get<std::string>());
    ASSERT_EQ(lines.size(), 1u) << lines.dump();
    EXPECT_EQ(lines[0]["text"], "Pelmora reads this line");
    EXPECT_GT(lines[0]["bounds"]["width"].get<double>(), 300);
  }
  browser.env->close();
}

}  // namespace
