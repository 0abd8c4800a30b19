// Start-up from a cold browser (a new profile folder every time), three roads in each round:
//   - "main.w":  runApplication with no file, to main.w's load event;
//   - "viewer":  runApplication with "-view" on a 24 MP JPEG, to the picture shown in the viewer;
//   - "browser": the browser alone, started with the engine's own flags and the program's browser
//                arguments, loading a static page over its DevTools pipe, to its load event.
// The program's roads each run in a child process of their own (a start is once per process),
// timed inside it from the call of runApplication; the order of the three turns each round.
//
//   taskset -c 6,7 build/rel/bin/startup_bench [rounds]      (default 7)
// It prints every round, the medians, and main.w's and the viewer's ratios to the browser alone.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/web/browser_process.h"
#include "desk/web/chromium_engine.h"
#include "libdispatch/src/dispatch.h"
#include "src/codec-library.h"
#include "src/startup.h"
#include "src/startup/browser_helpers.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/webview2/zrk-webview.h"

using namespace std::chrono_literals;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr auto kLimit = 120s;  // one start, at most

double epochMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- the program's side, in a child process ---------------------------------------------------

// Runs the program's start and prints the milliseconds from the call of runApplication to
// main.w's load event ("main") or to the viewer's picture shown ("view"), or "error <why>".
int child(const std::string& road, const std::string& file) {
  std::string result = "error no result";
  const double t0 = epochMs();
  std::thread driver([&] {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    // main.w: the navigation's own record of its load event, in the browser's wall clock.
    // The viewer: the first look that finds the picture loaded (looks every 10 ms).
    const std::string probe =
        road == "main"
            ? "(() => { const n = performance.getEntriesByType('navigation')[0];"
              " return n && n.loadEventEnd > 0 ? performance.timeOrigin + n.loadEventStart : 0; })()"
            : "document.body && document.body.dataset.state === 'loaded' ?"
              " performance.timeOrigin + performance.now() : (document.body &&"
              " document.body.dataset.state === 'error' ? -1 : 0)";
    while (std::chrono::steady_clock::now() < deadline) {
      if (dispatch_get_main_queue() && pel::test::engineView()) {
        const std::string value = pel::test::evaluate(probe);
        const double at = value.empty() ? 0 : std::atof(value.c_str());
        if (at < 0) {
          result = "error the page says: " + pel::test::evaluate("document.getElementById('status').textContent");
          break;
        }
        if (at > 0) {
          char text[64];
          std::snprintf(text, sizeof text, "%.1f", at - t0);
          result = text;
          break;
        }
      }
      std::this_thread::sleep_for(10ms);
    }
    zrk::App::instance()->quit(0);
  });
  const int code = runApplication(
      [](zrk::WindowOptions&) { return configureApplication(); },
      [](std::shared_ptr<zrk::App> app) { app->clearWindows(); },
      [&] {
        return road == "main" ? std::vector<std::string>{"pelmora"}
                              : std::vector<std::string>{"pelmora", "-view", file};
      });
  driver.join();
  if (auto env = zrk::currentWebEnvironment()) env->close();
  std::printf("%s\n", code == 0 ? result.c_str() : ("error exit code " + std::to_string(code)).c_str());
  std::fflush(stdout);
  std::_Exit(0);  // the measured figure is out; the teardown is not part of it
}

// Runs this program as a child for one road with its own data and runtime folders; its figure.
std::string runChild(const std::string& self, const std::string& road, const std::string& file,
                     const std::string& folder) {
  fs::create_directories(folder + "/run");
  fs::permissions(folder + "/run", fs::perms::owner_all);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return "error pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (folder + "/run").c_str(), 1);
    ::setenv("PELMORA_HEADLESS", "1", 1);
    ::execl(self.c_str(), self.c_str(), "--child", road.c_str(), file.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + kLimit + 30s;
  char buffer[256];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{out[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      ::kill(pid, SIGKILL);
      text = "error the child did not answer";
      break;
    }
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t line = text.rfind('\n');
  return line == std::string::npos ? text : text.substr(line + 1);
}

// ---- the browser alone ------------------------------------------------------------------------

// A DevTools client over the browser's pipe: NUL-ended JSON messages.
class Pipe {
 public:
  Pipe(int to, int from) : to_(to), from_(from) {}
  ~Pipe() {
    ::close(to_);
    ::close(from_);
  }
  bool send(int id, const std::string& method, const json& params, const std::string& session = "") {
    json message = {{"id", id}, {"method", method}, {"params", params}};
    if (!session.empty()) message["sessionId"] = session;
    std::string text = message.dump();
    text.push_back('\0');
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(to_, text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // The next message that `want` accepts; false at the deadline or when the pipe closes.
  bool waitFor(const std::function<bool(const json&)>& want, json& found,
               std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const size_t end = buffer_.find('\0');
      if (end != std::string::npos) {
        json message = json::parse(buffer_.substr(0, end), nullptr, false);
        buffer_.erase(0, end + 1);
        if (!message.is_discarded() && want(message)) {
          found = std::move(message);
          return true;
        }
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{from_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char chunk[65536];
      const ssize_t n = ::read(from_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  bool call(int id, const std::string& method, const json& params, json& reply,
            std::chrono::steady_clock::time_point deadline, const std::string& session = "") {
    if (!send(id, method, params, session)) return false;
    return waitFor([id](const json& m) { return m.value("id", -1) == id; }, reply, deadline) &&
           !reply.contains("error");
  }

 private:
  int to_, from_;
  std::string buffer_;
};

// The browser started cold and a static page loaded in a new target, as the engine makes its
// pages: milliseconds from the spawn to the page's load event, or an error text.
std::string browserAlone(const std::string& page, const std::string& folder) {
  desk::web::EnvironmentOptions options;
  options.userDataFolder = folder + "/profile";
  // The arguments the program gives its browser (the webview host's and the bootstrap's).
  options.browserArguments = std::string(zrk::kBaseBrowserArguments) +
                             " --disable-features=msEdgeEnclavePrefsBasic ";
  const auto t0 = std::chrono::steady_clock::now();
  const auto deadline = t0 + kLimit;
  desk::web::BrowserProcess process;
  int to = -1, from = -1;
  std::string error;
  if (!process.spawn(options, desk::web::ChromiumEngine::defaultFlags(), to, from, error)) {
    return "error " + error;
  }
  std::string result;
  {
    Pipe pipe(to, from);
    json reply, event;
    if (!pipe.call(1, "Browser.getVersion", json::object(), reply, deadline)) {
      result = "error no browser version";
    } else if (!pipe.call(2, "Target.createTarget", {{"url", "about:blank"}, {"newWindow", true}}, reply,
                          deadline)) {
      result = "error no target";
    } else {
      const std::string target = reply["result"].value("targetId", "");
      if (!pipe.call(3, "Target.attachToTarget", {{"targetId", target}, {"flatten", true}}, reply,
                     deadline)) {
        result = "error not attached";
      } else {
        const std::string session = reply["result"].value("sessionId", "");
        if (!pipe.call(4, "Page.enable", json::object(), reply, deadline, session) ||
            !pipe.call(5, "Page.navigate", {{"url", "file://" + page}}, reply, deadline, session)) {
          result = "error no navigation";
        } else if (!pipe.waitFor(
                       [&](const json& m) {
                         return m.value("method", "") == "Page.loadEventFired" &&
                                m.value("sessionId", "") == session;
                       },
                       event, deadline)) {
          result = "error no load event";
        } else {
          char text[64];
          std::snprintf(text, sizeof text, "%.1f",
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                            .count());
          result = text;
          pipe.send(6, "Browser.close", json::object());
        }
      }
    }
  }
  process.reap();
  return result;
}

// ---- the run ----------------------------------------------------------------------------------

// A 6000 x 4000 JPEG whose pixels vary enough to weigh what a photo weighs.
bool makePhoto(const std::string& path) {
  const int w = 6000, h = 4000;
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 3);
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      unsigned char* p = &pixels[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<unsigned char>((x * 255 / w + (seed >> 28)) & 255);
      p[1] = static_cast<unsigned char>((y * 255 / h + (seed >> 24 & 15)) & 255);
      p[2] = static_cast<unsigned char>(((x ^ y) & 255) / 2 + (seed >> 20 & 31));
    }
  }
  const std::string spec = R"({"width":6000,"height":4000,"nchannels":3,"format":"uint8"})";
  zrk::CodecLibrary& codec = zrk::CodecLibrary::instance();
  if (!codec.outputImage(path.c_str(), spec.c_str(), pixels.data(), static_cast<int32_t>(pixels.size()),
                         R"({"quality":90})")) {
    std::fprintf(stderr, "the photo could not be written: %s\n", codec.getLastError());
    return false;
  }
  return true;
}

bool isFigure(const std::string& text) { return !text.empty() && text.rfind("error", 0) != 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "--child") return child(argv[2], argv[3]);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const std::string self = fs::canonical("/proc/self/exe").string();
  if (!fs::exists(fs::path(self).parent_path() / "resource.dat")) {
    std::fprintf(stderr, "resource.dat is not beside %s\n", self.c_str());
    return 1;
  }
  // Under /tmp whatever TMPDIR says: the instance socket's path must stay short.
  std::string root = "/tmp/pel-startup-bench-XXXXXX";
  if (::mkdtemp(root.data()) == nullptr) return 1;
  const std::string photo = root + "/photo 24mp.jpg";
  const std::string page = root + "/static.html";
  if (!makePhoto(photo)) return 1;
  std::ofstream(page) << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Static</title>"
                         "</head><body><p>A static page.</p></body></html>";
  std::printf("photo: %s, %ju bytes\n", photo.c_str(), static_cast<uintmax_t>(fs::file_size(photo)));

  const char* roads[] = {"browser", "main.w", "viewer"};
  std::vector<double> figures[3];
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    std::printf("round %d:", r + 1);
    std::string line[3];
    for (int k = 0; k < 3; ++k) {
      const int road = (r + k) % 3;
      const std::string folder = root + "/" + std::to_string(r) + "-" + roads[road];
      std::string figure;
      if (road == 0) figure = browserAlone(page, folder);
      if (road == 1) figure = runChild(self, "main", "-", folder);
      if (road == 2) figure = runChild(self, "view", photo, folder);
      if (isFigure(figure)) {
        figures[road].push_back(std::atof(figure.c_str()));
      } else {
        ++failures;
      }
      line[road] = figure;
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
    std::printf("  browser %s ms, main.w %s ms, viewer %s ms (first: %s)\n", line[0].c_str(),
                line[1].c_str(), line[2].c_str(), roads[r % 3]);
    std::fflush(stdout);
  }
  const double browser = median(figures[0]), mainPage = median(figures[1]), viewer = median(figures[2]);
  std::printf("medians of %zu / %zu / %zu runs: browser alone %.1f ms, main.w %.1f ms, viewer %.1f ms\n",
              figures[0].size(), figures[1].size(), figures[2].size(), browser, mainPage, viewer);
  if (browser > 0) {
    std::printf("main.w / browser alone: %.2fx (target <= 1.3x); viewer / browser alone: %.2fx\n",
                mainPage / browser, viewer / browser);
  }
  std::error_code ignored;
  fs::remove_all(root, ignored);
  return failures == 0 ? 0 : 1;
}
