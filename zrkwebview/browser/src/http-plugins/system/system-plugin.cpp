#include "zrkwebview/browser/src/http-plugins/system/system-plugin.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "desk/errors.h"
#include "desk/process.h"
#include "desk/shell.h"
#include "desk/sysinfo.h"
#include "vesk/log.h"
#include "vesk/tstring.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http-plugins/system/machine-id.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin {


namespace {

using json = nlohmann::json;

std::shared_ptr<http::HttpResponse> status(int code, const std::string& text) {
  return std::make_shared<http::HttpStatusResponse>(code, text);
}

std::shared_ptr<http::HttpResponse> jsonReply(const json& value) {
  return std::make_shared<http::HttpMimeResponse>(
      value.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// "6.1.0-18-amd64" gives 6, 1, 0: the leading digits of the first three dot-separated pieces.
json kernelVersionRecord(const std::string& release) {
  unsigned numbers[3] = {0, 0, 0};
  size_t pos = 0;
  for (int i = 0; i < 3 && pos < release.size(); ++i) {
    unsigned value = 0;
    bool any = false;
    while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9') {
      value = value * 10 + static_cast<unsigned>(release[pos] - '0');
      ++pos;
      any = true;
    }
    if (!any) break;
    numbers[i] = value;
    if (pos >= release.size() || release[pos] != '.') break;
    ++pos;
  }
  // "extra" holds the Windows service-pack and product fields: none of them exists here.
  return json{{"major", numbers[0]},
              {"minor", numbers[1]},
              {"patch", numbers[2]},
              {"extra",
               {{"platformId", 0u},
                {"spMajor", 0u},
                {"spMinor", 0u},
                {"suiteMask", 0u},
                {"productType", 0u}}}};
}

// --- execute ---

// The program exec would run for a bare name (on PATH); empty when there is none.
std::string findOnPath(const std::string& name) { return desk::resolveProgram(name, "", nullptr); }

bool isUrl(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 2 || text[0] == '/') return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

enum class TargetKind { Missing, Program, Document, Folder, Address };

struct Target {
  TargetKind kind = TargetKind::Missing;
  std::string path;  // the program's path for a program
};

Target classify(const std::string& cmd) {
  Target t;
  if (cmd.empty()) return t;
  if (isUrl(cmd)) return Target{TargetKind::Address, cmd};
  std::string path = cmd;
  if (path[0] != '/') {
    // The launcher resolves relative paths in the child's folder: hand it an absolute one.
    char here[4096];
    if (getcwd(here, sizeof here) != nullptr) path = std::string(here) + "/" + path;
  }
  if (cmd.find('/') == std::string::npos) {
    const std::string onPath = findOnPath(cmd);
    if (!onPath.empty()) return Target{TargetKind::Program, onPath};
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return t;
  if (S_ISDIR(st.st_mode)) return Target{TargetKind::Folder, path};
  // A bare name is a program only when found on PATH: one in the current folder is not run.
  if (S_ISREG(st.st_mode) && cmd.find('/') != std::string::npos &&
      access(path.c_str(), X_OK) == 0) {
    return Target{TargetKind::Program, path};
  }
  return Target{TargetKind::Document, path};
}

// ShellExecute's small values for a launcher's error code.
int32_t smallError(desk::DWORD code) {
  switch (code) {
    case desk::ERROR_FILE_NOT_FOUND: return desk::SE_ERR_FNF;
    case desk::ERROR_PATH_NOT_FOUND: return desk::SE_ERR_PNF;
    case desk::ERROR_ACCESS_DENIED: return desk::SE_ERR_ACCESSDENIED;
    case desk::ERROR_NOT_ENOUGH_MEMORY: return desk::SE_ERR_OOM;
    default: return desk::SE_ERR_NOASSOC;
  }
}

// Starts the program through the process launcher and waits for it: its exit status (128 + the
// signal that ended it), or the error code when it could not be started.
int32_t runAndWait(const desk::LaunchRequest& request) {
  desk::ChildSpec spec;
  spec.program = request.argv[0];
  spec.args.assign(request.argv.begin() + 1, request.argv.end());
  spec.cwd = request.workingFolder;
  std::shared_ptr<desk::Child> child;
  try {
    child = desk::launchChild(spec);
  } catch (const std::exception& e) {
    // The program was found before: what is left is a file that cannot be run.
    ZRK_LOG_WARN("execute: cannot start %s: %s", request.argv[0].c_str(), e.what());
    return static_cast<int32_t>(desk::ERROR_ACCESS_DENIED);
  }
  return child->wait();
}

}  // namespace

std::string architectureNameFor(const std::string& machine) {
  if (machine == "x86_64" || machine == "amd64") return "x64";
  if (machine == "aarch64" || machine == "arm64") return "arm64";
  if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0) return "x86";
  if (machine.rfind("arm", 0) == 0) return "arm32";
  return "unknown";
}

std::string architectureName(bool native) {
  if (native) return architectureNameFor(desk::machineHardwareName());
#if defined(__x86_64__)
  return "x64";
#elif defined(__aarch64__)
  return "arm64";
#elif defined(__i386__)
  return "x86";
#elif defined(__arm__)
  return "arm32";
#else
  return "unknown";
#endif
}

json localeRecord(const std::string& tag) {
  if (tag.empty()) return json{{"language", "en"}, {"region", "US"}, {"script", "Latn;"}};
  json record;
  // Exactly two pieces: language and region; any other count: the whole tag is the language.
  const size_t dash = tag.find('-');
  if (dash != std::string::npos && dash > 0 && dash + 1 < tag.size() &&
      tag.find('-', dash + 1) == std::string::npos) {
    record["language"] = tag.substr(0, dash);
    record["region"] = tag.substr(dash + 1);
  } else {
    record["language"] = tag;
  }
  const std::string scripts = desk::localeScriptCodes(tag);
  if (!scripts.empty()) record["script"] = scripts;
  return record;
}

json buildSystemInfo() {
  json info = json::object();
  info["platform"] = "linux";
  info["sys_arch"] = architectureName(true);
  info["arch"] = architectureName(false);
  const std::string release = desk::kernelRelease();
  if (!release.empty()) info["os_version"] = kernelVersionRecord(release);
  info["cpu"] = json{{"name", desk::cpuBrandString()}, {"cores", desk::processorCount()}};
  if (const auto memory = desk::totalPhysicalMemory()) info["memory"] = *memory;
  const std::string id = machineId();
  info["uid"] = (isVirtualMachine() ? "VM-" : "W@") + id;
  info["currentLocale"] = localeRecord(desk::userLocaleTag());
  info["systemLocale"] = localeRecord(desk::systemLocaleTag());
  return info;
}

json listFontFamilies() {
  json result;  // null
  for (const std::string& family : desk::fontFamilies()) result.push_back(family);
  return result;
}

std::vector<std::string> splitShellWords(const std::string& text) {
  std::vector<std::string> words;
  std::string current;
  bool inWord = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(current));
      current.clear();
      inWord = false;
    } else if (c == '\\') {
      inWord = true;
      if (i + 1 < text.size()) {
        if (text[i + 1] != '\n') current.push_back(text[i + 1]);  // backslash-newline joins
        ++i;
      } else {
        current.push_back('\\');
      }
    } else if (c == '\'') {
      inWord = true;
      const size_t end = text.find('\'', i + 1);
      if (end == std::string::npos) throw std::runtime_error("Unterminated quote in parameters");
      current.append(text, i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      inWord = true;
      size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        if (text[j] == '\\' && j + 1 < text.size() &&
            (text[j + 1] == '"' || text[j + 1] == '\\' || text[j + 1] == '$' ||
             text[j + 1] == '`' || text[j + 1] == '\n')) {
          if (text[j + 1] != '\n') current.push_back(text[j + 1]);
          ++j;
        } else {
          current.push_back(text[j]);
        }
      }
      if (j >= text.size()) throw std::runtime_error("Unterminated quote in parameters");
      i = j;
    } else {
      inWord = true;
      current.push_back(c);
    }
  }
  if (inWord) words.push_back(std::move(current));
  return words;
}

int32_t runShellCommand(const std::string& cmd, const std::string& args, const json& options) {
  std::string operation = payload::stringOr(options, "operation");
  if (operation.empty()) operation = "open";
  const std::string workDir = payload::stringOr(options, "workDir");
  std::string parameters = payload::stringOr(options, "parameters");
  if (!args.empty()) parameters = args;
  const bool sync = payload::boolOr(options, "sync", false);
  // The show command has no meaning for programs here; a value that is negative or out of
  // range counts as absent.
  int32_t showCmd = 0;
  if (const json* m = payload::member(options, "showCmd")) {
    showCmd = payload::integerOf<int32_t>(*m).value_or(0);
    if (showCmd < 0) showCmd = 0;
  }
  ZRK_LOG_DEBUG("execute: %s %s (show %d)", operation.c_str(), cmd.c_str(), showCmd);

  const int32_t noAssociation = sync ? static_cast<int32_t>(desk::ERROR_NO_ASSOCIATION)
                                     : desk::SE_ERR_NOASSOC;
  if (!workDir.empty()) {
    struct stat st;
    if (stat(workDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return sync ? static_cast<int32_t>(desk::ERROR_PATH_NOT_FOUND) : desk::SE_ERR_PNF;
    }
  }
  const Target target = classify(cmd);
  if (target.kind == TargetKind::Missing) {
    return sync ? static_cast<int32_t>(desk::ERROR_FILE_NOT_FOUND) : desk::SE_ERR_FNF;
  }
  desk::LaunchRequest request;
  request.workingFolder = workDir;
  if (operation == "open") {
    if (target.kind == TargetKind::Program) {
      request.argv.push_back(target.path);
      for (std::string& word : splitShellWords(parameters)) request.argv.push_back(std::move(word));
    } else {
      request.argv = {"xdg-open", target.path};
    }
  } else if (operation == "explore" && target.kind == TargetKind::Folder) {
    request.argv = {"xdg-open", target.path};
  } else {
    return noAssociation;
  }

  if (!sync) {
    const desk::DWORD code = desk::currentLauncher()->launch(request);
    return code == desk::ERROR_SUCCESS ? 42 : smallError(code);
  }
  if (request.argv[0] == "xdg-open") {
    const std::string opener = findOnPath("xdg-open");
    if (opener.empty()) return noAssociation;
    request.argv[0] = opener;
  }
  return runAndWait(request);
}

// --- the commands ---

std::shared_ptr<http::HttpResponse> SystemPlugin::uuid(const json&, SystemPlugin*) {
  return std::make_shared<http::HttpMimeResponse>(Vesk::TString::uuidString().utf8String(),
                                                  "text/plain");
}

std::shared_ptr<http::HttpResponse> SystemPlugin::getSysInfo(const json&, SystemPlugin*) {
  return jsonReply(buildSystemInfo());
}

std::shared_ptr<http::HttpResponse> SystemPlugin::listFontfamilies(const json&, SystemPlugin*) {
  return jsonReply(listFontFamilies());
}

std::shared_ptr<http::HttpResponse> SystemPlugin::execute(const json& payload, SystemPlugin*) {
  const json* cmd = payload::member(payload, "cmd");
  if (cmd == nullptr || !cmd->is_string()) return status(400, std::string("Missing program"));
  const json* options = payload::member(payload, "options");
  const json noOptions = json::object();
  const int32_t result = runShellCommand(cmd->get<std::string>(), payload::stringOr(payload, "args"),
                                         options != nullptr && options->is_object() ? *options
                                                                                    : noOptions);
  return jsonReply(json(result));
}

std::shared_ptr<http::HttpResponse> SystemPlugin::openSystemPreferencesPanel(const json& payload,
                                                                             SystemPlugin*) {
  const json* panel = payload::member(payload, "panel");
  if (panel == nullptr || !panel->is_string()) return status(400, std::string("Missing panel"));
  throw std::runtime_error("macOS only feature");
}

std::shared_ptr<http::HttpResponse> SystemPlugin::executeOsascript(const json& payload,
                                                                   SystemPlugin*) {
  const json* script = payload::member(payload, "script");
  if (script == nullptr || !script->is_string()) return status(400, std::string("Missing script"));
  throw std::runtime_error("macOS only feature");
}

std::shared_ptr<Vesk::TObject> SystemPlugin::invoke(const std::string& command,
                                                    zrk::Webview* webview,
                                                    http::HttpResponseConnection* connection,
                                                    http::HttpRequest* request,
                                                    const json& payload) {
  (void)connection;
  if (webview == nullptr || request == nullptr) return nullptr;
  auto wrap = [this](std::shared_ptr<http::HttpResponse> (*handler)(const json&, SystemPlugin*)) {
    return [handler, this](const json& p, zrk::Webview*, http::HttpRequest*) {
      return handler(p, this);
    };
  };
  const CommandTable table{
      {"uuid", wrap(&SystemPlugin::uuid)},
      {"get_sys_info", wrap(&SystemPlugin::getSysInfo)},
      {"list_fontfamilies", wrap(&SystemPlugin::listFontfamilies)},
      {"execute", wrap(&SystemPlugin::execute)},
      {"open_system_preferences_panel", wrap(&SystemPlugin::openSystemPreferencesPanel)},
      {"execute_osascript", wrap(&SystemPlugin::executeOsascript)},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

void registerSystemPlugin() {
  registerPluginOnce<SystemPlugin>("system", "system plugin", "1.0");
}

}  // namespace zrk::plugin
