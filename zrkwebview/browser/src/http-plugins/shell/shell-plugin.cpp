#include "zrkwebview/browser/src/http-plugins/shell/shell-plugin.h"

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <thread>

#include <Poco/Exception.h>

#include "desk/errors.h"
#include "desk/shell.h"
#include "desk/thread.h"
#include "desk/detail/codec.h"
#include "desk/window.h"
#include "zrkwebview/browser/src/http-plugins/shell/shell-support.h"
#include "zrkwebview/browser/src/http-plugins/shell/utf8-stream.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

namespace shell {

std::vector<std::string> argsFromJson(const json& value) {
  std::vector<std::string> args;
  if (!value.is_array()) return args;
  for (const json& element : value) {
    if (element.is_string()) args.push_back(element.get<std::string>());
  }
  return args;
}

std::map<std::string, std::string> envFromJson(const json& value) {
  std::map<std::string, std::string> env;
  if (!value.is_object()) return env;
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (it.value().is_string()) env[it.key()] = it.value().get<std::string>();
  }
  return env;
}

std::optional<desk::ChildSpec> childSpecOf(const json& payload) {
  const json* program = fs::member(payload, "program");
  if (program == nullptr || !program->is_string()) return std::nullopt;
  desk::ChildSpec spec;
  spec.program = program->get<std::string>();
  if (const json* args = fs::member(payload, "args")) spec.args = argsFromJson(*args);
  const json& options = fs::optionsOf(payload);
  spec.cwd = fs::stringOr(options, "cwd");
  if (const json* env = fs::member(options, "env")) spec.env = envFromJson(*env);
  return spec;
}

std::string launchErrorText(const std::exception& e) {
  if (const auto* poco = dynamic_cast<const Poco::Exception*>(&e)) return poco->message();
  return e.what();
}

namespace {

// The result of a finished child, as the page callback receives it.
json executeResult(int code, const std::string& out, const std::string& err) {
  return json{{"code", code}, {"stdout", toValidUtf8(out)}, {"stderr", toValidUtf8(err)}};
}

// The waiter of a non-detached "execute": both pipes are read at once until they end and the
// child is reaped, then the result goes to the page callback (when there is one).
void collectExecuteResult(const std::shared_ptr<desk::Child>& child,
                          const ShellPlugin::WebviewRef& webview,
                          std::optional<uint32_t> handler) {
  try {
    std::string out, err;
    desk::pumpChild(
        *child, 64 * 1024,
        [&](int stream, std::string bytes) { (stream == 1 ? out : err) += bytes; }, nullptr);
    const int code = child->wait();
    if (handler && webview) webview->sendChannelData(*handler, executeResult(code, out, err));
  } catch (...) {
    // Nothing more can reach the page.
  }
}

// The system's words for the layer's error codes.
std::string systemMessage(desk::DWORD code) {
  switch (code) {
    case desk::ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case desk::ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case desk::ERROR_ACCESS_DENIED: return "Access is denied.";
    case desk::ERROR_NO_ASSOCIATION:
      return "No application is associated with the specified file for this operation.";
    default: return "The operation failed (system error " + std::to_string(code) + ").";
  }
}

// Opens the path with its application, or with `with` when that names a program on PATH (which
// then gets the path as its one argument). Throws std::runtime_error with the system's message.
void openWithShell(const std::string& path, const std::string& with) {
  if (!with.empty() && !desk::resolveProgram(with, std::string(), nullptr).empty()) {
    desk::LaunchRequest request;
    request.argv = {with, path};
    const desk::DWORD code = desk::currentLauncher()->launch(request);
    if (code != 0) throw std::runtime_error(systemMessage(code));
    return;
  }
  const std::u16string file = desk::detail::utf8ToUtf16(path);
  desk::SHELLEXECUTEINFOW info;
  info.lpVerb = u"open";
  info.lpFile = file.c_str();
  info.nShow = desk::SW_SHOWNORMAL;
  if (!desk::ShellExecuteExW(&info)) throw std::runtime_error(systemMessage(desk::GetLastError()));
}

}  // namespace

}  // namespace shell

ShellPlugin::ShellPlugin() {
  setName("shell");
  setVersion("1.0");
  setDescription("shell wrapper");
}

ShellPlugin::~ShellPlugin() {
  std::printf("ShellPlugin destructor: %p\n", static_cast<void*>(this));
}

std::shared_ptr<Vesk::TObject> ShellPlugin::invoke(const std::string& command,
                                                   zrk::Webview* webview,
                                                   http::HttpResponseConnection* connection,
                                                   http::HttpRequest* request,
                                                   const nlohmann::json& payload) {
  (void)connection;
  (void)request;
  if (webview == nullptr) return nullptr;
  const WebviewRef self = webview->shared_from_this();
  using Handler = std::shared_ptr<http::HttpResponse> (*)(const nlohmann::json&, const WebviewRef&);
  const std::map<std::string, Handler> table{
      {"execute", &ShellPlugin::execute}, {"spawn", &ShellPlugin::spawn},
      {"stdin_write", &ShellPlugin::stdinWrite}, {"kill", &ShellPlugin::kill},
      {"open", &ShellPlugin::open},
  };
  const auto it = table.find(command);
  if (it == table.end()) return nullptr;
  return it->second(payload, self);
}

std::shared_ptr<http::HttpResponse> ShellPlugin::execute(const nlohmann::json& payload,
                                                         const WebviewRef& webview) {
  std::optional<desk::ChildSpec> spec = shell::childSpecOf(payload);
  if (!spec) return fs::failure("Bad Request (missing program)");
  const std::optional<uint32_t> handler = fs::numberOf<uint32_t>(payload, "handler");
  const bool detach = fs::boolOr(fs::optionsOf(payload), "detach", false);
  try {
    if (detach) {
      spec->env.clear();  // a detached child gets the environment as it is
      // Its pid goes to the background reaper when the handle is dropped: the child runs on.
      desk::launchChild(*spec);
      if (handler && webview) webview->sendChannelData(*handler, shell::executeResult(0, "", ""));
      return shell::trueReply();
    }
    spec->pipeOutput = true;
    spec->pipeError = true;
    std::shared_ptr<desk::Child> child = desk::launchChild(*spec);
    std::thread([child, webview, handler] {
      shell::collectExecuteResult(child, webview, handler);
    }).detach();
    return shell::trueReply();
  } catch (const std::exception& e) {
    return fs::failure(shell::launchErrorText(e));
  }
}

std::shared_ptr<http::HttpResponse> ShellPlugin::open(const nlohmann::json& payload,
                                                      const WebviewRef& webview) {
  (void)webview;
  const nlohmann::json* path = fs::member(payload, "path");
  if (path == nullptr || !path->is_string()) return fs::failure("Bad Request (missing path)");
  try {
    shell::openWithShell(path->get<std::string>(), fs::stringOr(payload, "with"));
    return shell::trueReply();
  } catch (const std::exception& e) {
    return fs::failure(e.what());
  }
}

void registerShellPlugin() {
  static const bool registered = [] {
    desk::ignoreBrokenPipes();
    PluginRegistry::add(std::make_shared<ShellPlugin>());
    return true;
  }();
  (void)registered;
}

}  // namespace zrk::plugin
