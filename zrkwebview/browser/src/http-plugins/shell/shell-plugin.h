// The shell plugin ("shell"): pages run programs and open files with their applications.
//
//   execute      runs a program to its end; its exit code and output go to a page callback
//   spawn        starts a child whose output streams to a page channel while it runs
//   stdin_write  queues bytes for a spawned child's standard input
//   kill         ends a spawned child
//   open         opens a path with its application (or with a named program)
//
// Children are real processes (desk/process.h); every one is reaped. Spawned children live in a
// process-wide table until their output pump has seen them end and sent "Terminated".
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class ShellPlugin : public Plugin {
  VESK_DECLARE_CLASS(ShellPlugin, Plugin, "zrk::plugin")

 public:
  ShellPlugin();
  ~ShellPlugin() override;

  // Empty without a webview. The webview must be under shared ownership (std::bad_weak_ptr
  // otherwise). A malformed "onEvent" of "spawn" lets the conversion's exception through.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  using WebviewRef = std::shared_ptr<zrk::Webview>;
  static std::shared_ptr<http::HttpResponse> execute(const nlohmann::json& payload, const WebviewRef& webview);
  static std::shared_ptr<http::HttpResponse> spawn(const nlohmann::json& payload, const WebviewRef& webview);
  static std::shared_ptr<http::HttpResponse> stdinWrite(const nlohmann::json& payload, const WebviewRef& webview);
  static std::shared_ptr<http::HttpResponse> kill(const nlohmann::json& payload, const WebviewRef& webview);
  static std::shared_ptr<http::HttpResponse> open(const nlohmann::json& payload, const WebviewRef& webview);
};

// Makes the one plugin and adds it to the plugin registry on the first call; later calls do
// nothing. Also makes writes to broken pipes fail instead of ending the process.
void registerShellPlugin();

namespace shell {

// The string elements of an array, in order; nothing for any other value.
std::vector<std::string> argsFromJson(const nlohmann::json& value);
// The string members of an object; nothing for any other value.
std::map<std::string, std::string> envFromJson(const nlohmann::json& value);

// The most bytes a spawned child's input queue holds; a write that would pass it is refused.
constexpr size_t kInputQueueLimit = 16u << 20;

// The pids of the spawned children in the table.
std::vector<uint32_t> spawnedProcessIds();

}  // namespace shell

}  // namespace zrk::plugin
