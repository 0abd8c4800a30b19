// A page writes, reads and watches files through the transport every document gets: bodies go
// out as raw bytes with the payload in a header, file contents come back streamed, and watch
// events come back through the page's event listeners.
#include <fstream>
#include <iterator>

#include "plugins_browser.h"

namespace plugins_browser {
namespace {

namespace fs = std::filesystem;

// fs(command, payload) sends JSON; writeFile sends the text's UTF-8 bytes as the body with the
// payload (UTF-8 JSON, base64) in the options header; readFile gives the body as text (or as the
// byte values when `bytes` is set).
const char* const kFsScript = R"JS(
const T = window.__zrk_internals__;
// A refusal's text arrives as the reply's bytes.
window.fsCall = (command, payload) => T.invoke("plugin:fs|" + command, payload).catch(e =>
    Promise.reject(e instanceof ArrayBuffer ? new TextDecoder().decode(e) : e));
function header(payload) {
  const utf8 = new TextEncoder().encode(JSON.stringify(payload));
  let binary = "";
  for (const b of utf8) binary += String.fromCharCode(b);
  return btoa(binary);
}
window.writeFile = (path, data, options) => T.invoke("plugin:fs|write_file",
    typeof data === "string" ? new TextEncoder().encode(data) : data,
    { headers: { "zrk-payload-options": header({ path: path, options: options || {} }) } });
window.readFile = async (path, options, bytes) => {
  const body = new Uint8Array(await T.invoke("plugin:fs|read_file", { path: path, options: options || {} }));
  return bytes ? Array.from(body) : new TextDecoder().decode(body);
};
window.changes = [];
window.startListening = () => __zrk__.event.listen("zrk://directory-changed", e => changes.push(e.payload));
)JS";

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(PluginsBrowserTest, APageWritesAndReadsFilesThroughTheTransport) {
  auto webview = open("fsrw", page("", kFsScript));
  ASSERT_TRUE(webview);
  const fs::path dir = fs::path(folder()) / "rw";
  fs::create_directories(dir);
  // A name outside ASCII: the payload header carries UTF-8.
  const fs::path file = dir / "caf\xc3\xa9 \xe2\x98\x95.txt";
  const json path = file.string();

  EXPECT_EQ(await(*webview, "writeFile(" + path.dump() + ", 'one\\r\\ntwo\\u00e9')"), 10);
  EXPECT_EQ(fileText(file), "one\r\ntwo\xc3\xa9");
  EXPECT_EQ(await(*webview, "writeFile(" + path.dump() + ", '\\r\\nthree', {append: true})"), 7);
  EXPECT_EQ(fileText(file), "one\r\ntwo\xc3\xa9\r\nthree");

  struct Case {
    const char* name;
    json options;
    json text;
  } cases[] = {
      // Text mode reads CR LF as LF.
      {"text", json::object(), "one\ntwo\xc3\xa9\nthree"},
      {"binary", {{"mode", 4}}, "one\r\ntwo\xc3\xa9\r\nthree"},
      {"window", {{"mode", 4}, {"offset", 5}, {"len", 5}}, "two\xc3\xa9"},
      {"offset past the end", {{"mode", 4}, {"offset", 1000}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(await(*webview, "readFile(" + path.dump() + ", " + c.options.dump() + ")"), c.text);
  }

  // A body of a few MiB arrives whole, and its window comes back byte for byte.
  webview->evaluateScriptSync(
      "window.big = new Uint8Array(3 * 1024 * 1024 + 7); for (let i = 0; i < big.length; ++i) big[i] = (i * 7 + i / 65536) & 255; 0");
  const fs::path bigFile = dir / "big.bin";
  EXPECT_EQ(await(*webview, "writeFile(" + json(bigFile.string()).dump() + ", big)"), 3 * 1024 * 1024 + 7);
  EXPECT_EQ(fs::file_size(bigFile), 3u * 1024 * 1024 + 7);
  EXPECT_EQ(await(*webview, "T.invoke('plugin:fs|read_file', {path: " + json(bigFile.string()).dump() +
                                ", options: {mode: 4, offset: 1000000}}).then(b => {"
                                "  const got = new Uint8Array(b), want = big.subarray(1000000);"
                                "  if (got.length !== want.length) return 'length ' + got.length;"
                                "  for (let i = 0; i < got.length; ++i) if (got[i] !== want[i]) return 'byte ' + i;"
                                "  return 'same'; })"),
            "same");

  // Failures reach the page as rejections with the plugin's text; nothing is created.
  const std::string missing = (dir / "no" / "such.txt").string();
  start(*webview, "missing", "readFile(" + json(missing).dump() + ")");
  EXPECT_EQ(result(*webview, "missing").value("ok", true), false);
  start(*webview, "nopath", "fsCall('read_file', {})");
  EXPECT_EQ(result(*webview, "nopath"), json({{"ok", false}, {"error", "Path not specified."}}));
  start(*webview, "nodir", "writeFile(" + json(missing).dump() + ", 'x')");
  EXPECT_EQ(result(*webview, "nodir").value("ok", true), false);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(PluginsBrowserTest, APageHearsTheChangesOfAFolderItWatches) {
  auto webview = open("fswatch", page("", kFsScript));
  ASSERT_TRUE(webview);
  const fs::path dir = fs::path(folder()) / "watched";
  fs::create_directories(dir);
  const json dirPath = dir.string();
  await(*webview, "startListening().then(() => null)");
  const json id = await(*webview, "fsCall('watch', {path: " + dirPath.dump() + "})");
  ASSERT_TRUE(id.is_string()) << id;
  EXPECT_EQ(await(*webview, "fsCall('is_watched', {path: " + dirPath.dump() + "})"),
            json({{"subwatch", false}, {"watched", true}}));

  // The page's own write, then a change made by another program: each reaches the page.
  const std::string file = (dir / "new.txt").string();
  await(*webview, "writeFile(" + json(file).dump() + ", 'hello')");
  auto heard = [&](int kind, const std::string& path) {
    const json wanted = {{"event", kind}, {"path", path}};
    return pumpUntil([&] {
      for (const json& change : read(*webview, "changes")) {
        if (change == wanted) return true;
      }
      return false;
    }, 10s);
  };
  EXPECT_TRUE(heard(1, file)) << read(*webview, "changes");
  EXPECT_TRUE(heard(4, file)) << read(*webview, "changes");
  fs::remove(file);
  EXPECT_TRUE(heard(2, file)) << read(*webview, "changes");

  // After unwatch, nothing more.
  EXPECT_EQ(await(*webview, "fsCall('unwatch', {id: " + id.dump() + "})"), true);
  webview->evaluateScriptSync("window.changes = []; 0");
  std::ofstream(dir / "late.txt") << "late";
  pumpFor(500ms);
  EXPECT_EQ(read(*webview, "changes"), json::array());
  EXPECT_EQ(await(*webview, "fsCall('watched_directories', {})"), nullptr);
}

}  // namespace
}  // namespace plugins_browser
