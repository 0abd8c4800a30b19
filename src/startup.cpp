#include "src/startup.h"

#include <Poco/URI.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

#include "desk/display/app_windows.h"
#include "desk/display/backend.h"
#include "desk/msgbox.h"
#include "desk/process.h"
#include "desk/single_instance.h"
#include "libdispatch/src/dispatch.h"
#include "src/appdata-handler.h"
#include "src/bundle-handler.h"
#include "src/codec-library.h"
#include "src/getimage-handler.h"
#include "src/plugins/imaging/imaging-plugin.h"
#include "src/plugins/ocr/ocr-plugin.h"
#include "src/resource-bundle.h"
#include "src/thumbnail-cache.h"
#include "src/update-handler.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/app-paths.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/http-plugins/shell/shell-plugin.h"
#include "zrkwebview/browser/src/http-plugins/sqlite/sqlite-plugin.h"
#include "zrkwebview/browser/src/webview2/window.h"
#include "zrkwebview/browser/src/window.h"

std::string appBaseUrl;
uint64_t fileWindowCounter = 0;
const char kInstanceId[] = "4c1f6d2a-9b3e-4e57-a8d0-6f2b71c9e5a3";

namespace {

constexpr char kMainPage[] = "main.w";
constexpr char kFileQuery[] = "?file=";

struct FileKind {
  const char* action;
  const char* page;  // the start page's name; "?file=" follows it
  const char* title;
  const char* identifier;
  const char* labelPrefix;
};

constexpr FileKind kFileKinds[] = {
    {"view", "viewer.w", "Pelmora - Viewer", "photo-viewer", "viewer"},
    {"edit", "editor.w", "Pelmora - Editor", "editor", "editor"},
    {"print", "print.w", "Print Image", "print-dialog", "print"},
};

const FileKind* kindForAction(const std::string& action) {
  for (const FileKind& kind : kFileKinds) {
    if (action == kind.action) return &kind;
  }
  return nullptr;
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// An error in the existence test (access denied, a name too long) counts as missing.
bool pathExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  return std::filesystem::exists(std::filesystem::path(path), error) && !error;
}

// The options every page window shares: 1024 x 900, centred, the drawn 40-px title bar.
zrk::WindowOptions pageWindowOptions(const char* title) {
  zrk::WindowOptions options;
  options.title = title;
  options.width = 1024;
  options.height = 900;
  options.center = true;
  options.resizable = true;
  options.visible = true;
  options.maximizable = true;
  options.minimizable = true;
  options.closable = true;
  options.useDocumentTitle = false;
  options.hiddenTitle = true;
  options.titleBarRect = zrk::FloatRect{0, 0, 0, 40.0f};
  return options;
}

[[noreturn]] void failStartup(const char* text) {
  desk::MessageBoxA(nullptr, text, "Error", desk::MB_OK | desk::MB_ICONERROR);
  throw StartupFailure(text, 1);
}

// A bounded copy of a handed text for the log.
std::string logExcerpt(const std::string& text) {
  std::string excerpt = text.substr(0, 256);
  for (char& c : excerpt) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return excerpt;
}

}  // namespace

std::string encodeFilePath(const std::string& path) {
  std::string encoded;
  Poco::URI::encode(path, "+", encoded);
  return encoded;
}

bool decodeFilePath(const std::string& encoded, std::string* path) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c == '%') {
      if (i + 2 >= encoded.size()) return false;
      const int high = hex(encoded[i + 1]);
      const int low = hex(encoded[i + 2]);
      if (high < 0 || low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return false;
    out.push_back(c);
  }
  *path = std::move(out);
  return true;
}

StartChoice chooseStartPage(const std::vector<std::string>& arguments) {
  StartChoice choice;
  zrk::WindowOptions& options = choice.options;
  options = pageWindowOptions("Pelmora");
  choice.startPage = kMainPage;
  if (arguments.size() < 3) {
    options.visible = false;
  } else {
    std::string path = arguments[2];
    // A relative path is made absolute here, so a hand-over names the same file whatever the
    // running instance's current folder is.
    if (!path.empty() && path.front() != '/') {
      std::error_code error;
      const std::filesystem::path absolute = std::filesystem::absolute(path, error);
      if (!error) path = absolute.lexically_normal().string();
    }
    if (pathExists(path)) {
      const std::string& option = arguments[1];
      const FileKind* kind = nullptr;
      if (option == "-view") kind = kindForAction("view");
      if (option == "-edit") kind = kindForAction("edit");
      if (option == "-print") kind = kindForAction("print");
      if (kind != nullptr) {
        choice.startPage = std::string(kind->page) + kFileQuery + encodeFilePath(path);
        options.title = kind->title;
        options.identifier = kind->identifier;
      }
    }
  }
  if (options.identifier.empty()) options.identifier = "main-window";
  options.label = "mainwindow";
  options.url = choice.startPage;
  return choice;
}

std::string baseUrlFrom(const std::string& configured) {
  if (configured.empty()) return std::string("https://") + zrk::kAppDomain + "/";
  if (configured.back() == '/') return configured;
  return configured + "/";
}

const std::vector<StartupRegistration>& startupRegistrations() {
  static const std::vector<StartupRegistration> list = {
      {"thumbnail", &http::registerThumbnailHandler},
      {"getimage", &http::registerGetImageHandler},
      {"appdata", &http::registerAppDataHandler},
      {"bundle", &http::registerBundleHandler},
      {"update", &http::registerUpdateHandler},
      {"sqlite", &zrk::plugin::registerSqlitePlugin},
      {"ocr", &zrk::plugin::registerOcrPlugin},
      // The shell plugin's children and the single-instance socket write to pipes whose reader
      // may be gone: such a write must fail, not end the program.
      {"ignore-broken-pipes", &desk::ignoreBrokenPipes},
      {"shell", &zrk::plugin::registerShellPlugin},
      {"imaging", &zrk::plugin::registerImagingPlugin},
  };
  return list;
}

void registerStartupServices() {
  for (const StartupRegistration& row : startupRegistrations()) row.call();
}

std::string configureApplication() {
  const std::string path = zrk::executableDirectory() + "/resource.dat";
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::path(path), error)) {
    failStartup("resource.dat not found");
  }
  // Without its pages the program would only keep a hidden window that every later start hands
  // over to.
  if (!loadResourceBundle(path, "morapel")) {
    failStartup("resource.dat is damaged and cannot be loaded");
  }
  zrk::setBrowserArguments(" --disable-features=msEdgeEnclavePrefsBasic ");
  const std::string pagesHost = std::string(".") + zrk::kAppDomain;
  zrk::addWebResourceDomain(pagesHost);
  return "https://" + pagesHost + "/";
}

int runApplication(ConfigCallback configure, ExitCallback onExit, ArgumentsProvider arguments) {
  // The callables end with this call, whichever way it returns.
  const ConfigCallback configureCall = std::move(configure);
  const ExitCallback exitCall = std::move(onExit);
  const ArgumentsProvider argumentsCall = std::move(arguments);

  registerStartupServices();

  const std::string dataFolder = zrk::dataDirectory();
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(dataFolder), ignored);
  zrk::configureLogging(dataFolder + "log.txt", 0x200000, true, true);
  zrk::setLogLevel(1);

  installSignatureVerifier();

  std::shared_ptr<zrk::App> app = zrk::App::instance();
  const std::vector<std::string> commandLine = argumentsCall ? argumentsCall() : app->arguments();
  StartChoice choice = chooseStartPage(commandLine);

  std::string configured;
  if (configureCall) {
    try {
      configured = configureCall(choice.options);
    } catch (const StartupFailure& failure) {
      return failure.exitCode;
    }
  }
  const std::string baseUrl = baseUrlFrom(configured);

  desk::SingleInstance instance("pelmora", kInstanceId);
  switch (instance.acquire()) {
    case desk::SingleInstance::Role::Failed:
      std::fprintf(stderr, "Pelmora cannot start: %s\n", instance.error().c_str());
      return 1;
    case desk::SingleInstance::Role::Later:
      if (!instance.handOver(choice.startPage)) {
        std::fprintf(stderr, "Pelmora cannot reach its running instance: %s\n",
                     instance.error().c_str());
        return 1;
      }
      return 0;
    case desk::SingleInstance::Role::First:
      break;
  }

  appBaseUrl = baseUrl;
  // The main queue exists before the loop runs, so a hand-over arriving during the start waits in
  // it; the application's run finds it made.
  dispatch_init();
  const bool listening = instance.startListener([](std::string text) {
    dispatch_async(dispatch_get_main_queue(), [text = std::move(text)] {
      try {
        handleStartPage(text);
      } catch (const std::exception& e) {
        ZRK_LOG_ERROR("A handed-over start page failed: %s", e.what());
      } catch (...) {
        ZRK_LOG_ERROR("A handed-over start page failed");
      }
    });
  });
  if (!listening) {
    std::fprintf(stderr, "Pelmora cannot start: %s\n", instance.error().c_str());
    return 1;
  }

  // Windows appear on the desktop when DISPLAY names an X server (PELMORA_HEADLESS forces the
  // headless model); a display that cannot be reached leaves the program headless, and says so.
  const desk::display::BackendChoice backend = desk::display::chooseBackendFromEnvironment();
  std::string backendError;
  if (!desk::display::startBackend(backend, backendError)) {
    std::fprintf(stderr, "Pelmora runs without windows on screen: %s\n", backendError.c_str());
  }
  ZRK_LOG_INFO("windows: %s (%s)", desk::display::backendName(desk::display::activeBackend()),
               backend.reason.c_str());
  // On a display every webview is a browser app window shown for its window.
  std::shared_ptr<desk::display::AppWindows> appWindows;
  if (auto connection = desk::display::activeConnection()) {
    appWindows = desk::display::AppWindows::start(connection);
    desk::web::setAppWindowHost(appWindows);
  }

  // The codec library brings a few hundred shared libraries with it: it is loaded while the
  // browser starts, so the first page that shows an image does not wait for it. A load that fails
  // here is tried again, and reported, by the first request that needs the library.
  std::jthread codecWarmUp([] {
    try {
      zrk::CodecLibrary::instance().load();
    } catch (const std::exception&) {
    }
  });
  app->run(baseUrl + choice.startPage, choice.options);
  desk::web::setAppWindowHost(nullptr);
  if (appWindows) appWindows->stop();
  desk::display::stopBackend();
  instance.stopListener();
  if (exitCall) exitCall(app);
  return 0;
}

HandedPage parseStartPage(const std::string& text) {
  HandedPage page;
  if (text.find('\0') != std::string::npos) {
    page.kind = HandedPage::Kind::Invalid;
    return page;
  }
  if (startsWith(text, kMainPage)) {
    page.kind = HandedPage::Kind::Main;
    return page;
  }
  for (const FileKind& kind : kFileKinds) {
    if (startsWith(text, kind.page)) {
      page.action = kind.action;
      break;
    }
  }
  if (page.action.empty()) return page;  // Ignored
  const size_t query = text.find(kFileQuery);
  const std::string encoded =
      query == std::string::npos ? std::string() : text.substr(query + sizeof(kFileQuery) - 1);
  if (!decodeFilePath(encoded, &page.path)) {
    page.kind = HandedPage::Kind::Invalid;
    page.action.clear();
    return page;
  }
  page.kind = HandedPage::Kind::File;
  return page;
}

void handleStartPage(const std::string& text) {
  const HandedPage page = parseStartPage(text);
  switch (page.kind) {
    case HandedPage::Kind::Main: {
      int counter = 0;
      zrk::App::instance()->forEachWindow(
          [&counter](const std::shared_ptr<zrk::Window>& window) {
            activateMainWindow(window, counter);
          });
      return;
    }
    case HandedPage::Kind::File:
      if (auto window = openWindowForFile(page.action, page.path)) window->bringToTop();
      return;
    case HandedPage::Kind::Invalid:
      ZRK_LOG_ERROR("Skipped a handed-over start page with a bad escape or a NUL byte: %s",
                    logExcerpt(text).c_str());
      return;
    case HandedPage::Kind::Ignored:
      return;
  }
}

zrk::WindowOptions fileWindowOptions(const std::string& action) {
  const FileKind* kind = kindForAction(action);
  zrk::WindowOptions options = pageWindowOptions(kind ? kind->title : "");
  if (kind != nullptr) options.identifier = kind->identifier;
  return options;
}

std::shared_ptr<zrk::Window> openWindowForFile(const std::string& action,
                                               const std::string& path) {
  const FileKind* kind = kindForAction(action);
  if (kind == nullptr) return nullptr;
  const zrk::WindowOptions options = fileWindowOptions(action);
  if (!pathExists(path)) return nullptr;
  const std::string url = appBaseUrl + kind->page + kFileQuery + encodeFilePath(path);

  std::shared_ptr<zrk::App> app = zrk::App::instance();
  std::shared_ptr<zrk::Window> kept;
  app->forEachWindow([&](const std::shared_ptr<zrk::Window>& window) {
    if (!kept && window && window->url() == url) kept = window;
  });
  if (kept) {
    // A window with a dialog or another child open over it is left to that child.
    bool covered = false;
    app->forEachWindow([&](const std::shared_ptr<zrk::Window>& window) {
      if (!window || window == kept) return;
      if (window->parentWindow() == kept || window->ownerWindow() == kept) covered = true;
    });
    if (!covered) return kept;
  }

  ++fileWindowCounter;
  const std::string label = std::string(kind->labelPrefix) + "_" + std::to_string(fileWindowCounter);
  std::shared_ptr<zrk::Window> window = zrk::createWindow(app.get(), label, url, options);
  if (!window) {
    ZRK_LOG_ERROR("Failed to create the window %s for %s", label.c_str(), path.c_str());
    return nullptr;
  }
  window->show(0);
  return window;
}

void activateMainWindow(const std::shared_ptr<zrk::Window>& window, int& counter) {
  if (counter > 0 || !window) return;
  if (window->isVisible()) {
    window->bringToTop();
    ++counter;
  }
}
