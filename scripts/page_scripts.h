#pragma once

#include <string>

namespace zrk {

// The environment bootstrap, with its "{URI_SCHEME}" and "{URI_DOMAIN}" placeholders still in it.
// Made once per process, on first use; every call returns the same string.
const std::string& buildBootstrapScript();

// The bridge module, injected unchanged. Made once per process, on first use.
const std::string& buildBridgeScript();

}  // namespace zrk
