// A 10-page document (text and an image on each page) printed to PDF through the webview's print
// command, in a running program, against `chromium --headless --print-to-pdf` on the same file:
// the command's whole time, and its time less its start-up (the same command on a blank page).
//
// Run: build/bin/print_bench  (prints each time, the medians and the two ratios)
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "desk/message.h"
#include "libdispatch/src/dispatch.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/webview-delegate.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"
#include "zrkwebview/browser/src/window.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 120s) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    desk::MSG msg;
    while (desk::PeekMessage(&msg, nullptr, 0, 0, desk::PM_REMOVE)) {
      desk::TranslateMessage(&msg);
      desk::DispatchMessage(&msg);
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class BenchWindow : public zrk::Window {
 public:
  zrk::FloatSize innerSize() override { return {800, 600}; }
  zrk::FloatPoint innerPosition() override { return {}; }
};

class Domains : public zrk::WindowDelegate {
 public:
  std::string uriScheme() const override { return "https"; }
  std::string uriDomain() const override { return "pelmora"; }
  std::vector<std::string> webResourceDomains() const override { return {".pelmora"}; }
  void forEachWindow(const std::function<void(const std::shared_ptr<zrk::Window>&)>&) override {}
};

class PageDelegate : public zrk::Webview2Delegate {
 public:
  using Webview2Delegate::Webview2Delegate;
  bool handleRequest(http::HttpRequest*, http::HttpResponseConnection* connection) override {
    connection->setStatus(200, "OK");
    connection->addHeader("Content-Type", "text/html; charset=utf-8");
    connection->write(page.data(), page.size());
    connection->finish();
    return true;
  }
  void onNavigationCompleted(zrk::Webview*) override { ++completed; }
  void injectScripts() override {}
  std::string page;
  std::atomic<int> completed{0};
};

std::string documentHtml() {
  const std::string image =
      "data:image/svg+xml;utf8,<svg xmlns='http://www.w3.org/2000/svg' width='400' height='300'>"
      "<rect width='400' height='300' fill='%23369'/><circle cx='200' cy='150' r='100' fill='%23fc3'/></svg>";
  std::string html = "<!doctype html><html><head><meta charset=utf-8><title>Ten pages</title></head><body>";
  for (int p = 1; p <= 10; ++p) {
    html += "<section style='page-break-after:always'><h1>Page " + std::to_string(p) + "</h1>";
    for (int i = 0; i < 6; ++i) {
      html += "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut "
              "labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco.</p>";
    }
    html += "<img src=\"" + image + "\" width=400 height=300></section>";
  }
  return html + "</body></html>";
}

double runCommand(const std::string& command) {
  const auto start = Clock::now();
  int rc = system(command.c_str());
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (rc != 0) fprintf(stderr, "command failed (%d): %s\n", rc, command.c_str());
  return ms;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  dispatch_init();
  const char* tmp = getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/print-bench-XXXXXX";
  if (!mkdtemp(folder.data())) return 1;
  setenv("XDG_DATA_HOME", folder.c_str(), 1);
  const std::string html = documentHtml();
  std::ofstream(folder + "/doc.html") << html;
  std::ofstream(folder + "/blank.html") << "<!doctype html><title>blank</title>";

  Domains domains;
  auto window = std::make_shared<BenchWindow>();
  window->setDelegate(&domains);
  auto webview = zrk::ZrkWebview::make("bench", window.get());
  auto delegate = std::make_shared<PageDelegate>(window, webview);
  delegate->page = html;
  webview->setDelegate(delegate);
  bool created = false, ok = false;
  webview->create({}, [&](zrk::Webview*, bool r) { created = true, ok = r; });
  if (!pumpUntil([&] { return created; }) || !ok) return fprintf(stderr, "no webview\n"), 1;
  webview->navigate("https://.pelmora/doc.w");
  if (!pumpUntil([&] { return delegate->completed > 0; })) return fprintf(stderr, "no page\n"), 1;

  const int runs = 5;
  std::vector<double> ours, whole, blank;
  for (int i = 0; i < runs; ++i) {
    const std::string pdf = folder + "/ours" + std::to_string(i) + ".pdf";
    const auto start = Clock::now();
    webview->print({{"paperWidth", 210}, {"paperHeight", 297}, {"pdfFile", pdf}});
    if (!pumpUntil([&] { return fs::exists(pdf); })) return fprintf(stderr, "no PDF\n"), 1;
    ours.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  const std::string flags = "chromium --headless --no-sandbox --disable-gpu --no-first-run --no-pdf-header-footer "
                            "--user-data-dir=" + folder + "/peer 2>/dev/null >/dev/null";
  for (int i = 0; i < runs; ++i) {
    whole.push_back(runCommand(flags + " --print-to-pdf=" + folder + "/peer.pdf file://" + folder + "/doc.html"));
    blank.push_back(runCommand(flags + " --print-to-pdf=" + folder + "/blank.pdf file://" + folder + "/blank.html"));
  }
  for (int i = 0; i < runs; ++i) {
    printf("run %d: ours %.1f ms, chromium %.1f ms, chromium on a blank page %.1f ms\n", i + 1, ours[i], whole[i],
           blank[i]);
  }
  const double o = median(ours), w = median(whole), b = median(blank);
  printf("median: ours %.1f ms; chromium %.1f ms (start-up %.1f ms, printing %.1f ms)\n", o, w, b, w - b);
  printf("ratio to the whole command: %.2fx (target <= 1.0x)\n", o / w);
  printf("ratio to the command less its start-up: %.2fx (target <= 1.3x)\n", o / std::max(1.0, w - b));
  webview->close();
  pumpUntil([] { return false; }, 100ms);
  if (auto env = zrk::currentWebEnvironment()) env->close();
  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}
