// Runs pages in Node: each page is a fresh node:vm context with the globals a document gives the
// injected scripts, a fake "/plugin" that answers the channel fetch and the event plugin's
// listen, and the scripts given to it, run in order. Also a test application for windows.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/node_runner.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/window.h"

namespace pel::test {

struct PageRun {
  std::vector<std::string> scripts;
  // Data id (decimal text) -> the JSON the channel fetch answers with.
  nlohmann::json channel = nlohmann::json::object();
  // An expression evaluated in the page at the end; its JSON form is the run's "probe".
  std::string probe = "null";
};

// One result per page: {"probe", "errors" (scripts that threw, unhandled rejections), "warn",
// "error" (console lines), "requests" ([name, event, payload, channel id])}.
inline std::vector<nlohmann::json> runPages(const std::vector<PageRun>& pages) {
  nlohmann::json input = nlohmann::json::array();
  for (const auto& page : pages) {
    input.push_back({{"scripts", page.scripts}, {"channel", page.channel}, {"probe", page.probe}});
  }
  const std::string program = R"JS(
const vm = require('node:vm');
const pages = )JS" + input.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + R"JS(;
let current = null;
process.on('unhandledRejection', (e) => { if (current) current.errors.push('rejection: ' + (e && e.message)); });
const text = (a) => a.map((x) => { try { return typeof x === 'string' ? x : JSON.stringify(x); } catch { return String(x); } }).join(' ');
const json = (value) => new Response(JSON.stringify(value), { status: 200, headers: { 'content-type': 'application/json' } });
async function runPage(page) {
  const result = { errors: [], warn: [], error: [], log: [], requests: [] };
  current = result;
  let nextListener = 500;
  const sandbox = {
    console: { log: (...a) => result.log.push(text(a)), warn: (...a) => result.warn.push(text(a)), error: (...a) => result.error.push(text(a)) },
    fetch: async (url, init = {}) => {
      const parsed = new URL(url);
      const headers = new Headers(init.headers);
      const name = parsed.searchParams.get('name');
      const event = parsed.searchParams.get('event');
      let payload = null;
      try { payload = typeof init.body === 'string' ? JSON.parse(init.body) : null; } catch { payload = init.body; }
      result.requests.push([name, event, payload, headers.get('zrk-channel-id')]);
      if (name === '__zrk_channel__' && event === 'fetch') {
        const id = headers.get('zrk-channel-id');
        if (!(id in page.channel)) return new Response('', { status: 400, statusText: 'Not found channel data' });
        return json(page.channel[id]);
      }
      if (name === 'event' && event === 'listen') return json(nextListener++);
      return json(null);
    },
    Blob, FormData, URL, Response, Headers, btoa, atob, crypto: globalThis.crypto,
    setTimeout, clearTimeout,
    chrome: { webview: { postMessage() {} } },
  };
  const ctx = vm.createContext(sandbox);
  vm.runInContext('globalThis.window = globalThis;', ctx);
  page.scripts.forEach((s, i) => {
    try { vm.runInContext(s, ctx, { filename: 'script' + i + '.js' }); } catch (e) { result.errors.push(i + ': ' + e.message); }
  });
  await new Promise((r) => setTimeout(r, 30));
  try { result.probe = JSON.parse(JSON.stringify(vm.runInContext(page.probe, ctx)) ?? 'null'); } catch (e) { result.probe = 'PROBE THREW ' + e.message; }
  current = null;
  return result;
}
(async () => {
  for (const page of pages) console.log(JSON.stringify(await runPage(page)));
})();
)JS";
  const std::string output = runNodeScript(program);
  std::vector<nlohmann::json> results;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    results.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return results;
}

// The application of the test windows.
class TestApp : public zrk::WindowDelegate {
 public:
  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return domain; }
  std::vector<std::string> webResourceDomains() const override { return extraDomains; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>& visitor) override {
    const auto copy = windows;
    for (const auto& w : copy) visitor(w);
  }
  std::vector<std::string> documentScripts() const override { return scriptFiles; }
  std::string documentScript() const override { return extraScript; }

  std::shared_ptr<zrk::Window> addWindow(const std::string& label) {
    auto window = std::make_shared<zrk::Window>();
    window->setLabel(label);
    window->setDelegate(this);
    windows.push_back(window);
    return window;
  }

  std::string domain = "zrk.test";
  std::vector<std::string> extraDomains{".zrk.test"};
  std::vector<std::shared_ptr<zrk::Window>> windows;
  std::vector<std::string> scriptFiles;
  std::string extraScript;
};

// Sends the log to a file of its own while it lives.
class LogCapture {
 public:
  explicit LogCapture(int level = 4)
      : path_(std::filesystem::temp_directory_path() /
              ("pelmora-log-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++) + ".txt")) {
    zrk::configureLogging(path_.string(), 0, false, false);
    zrk::setLogLevel(level);
  }
  ~LogCapture() {
    zrk::shutdownLogging();
    std::filesystem::remove(path_);
  }
  std::string text() const {
    std::ifstream in(path_);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::filesystem::path path_;
};

}  // namespace pel::test
