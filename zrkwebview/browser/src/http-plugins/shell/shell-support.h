// What the shell plugin's two halves (execute/open and the spawned children) share.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "desk/process.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"

namespace zrk::plugin::shell {

using json = nlohmann::json;

// Launch parameters read from a payload ("program", "args", "options" with "cwd" and "env").
// Returns nothing when "program" is missing or not a string.
std::optional<desk::ChildSpec> childSpecOf(const json& payload);

// The text of a failure to start: a POCO exception's message, else what().
std::string launchErrorText(const std::exception& e);

inline std::shared_ptr<http::HttpResponse> trueReply() { return fs::jsonReply("true"); }

}  // namespace zrk::plugin::shell
