#include "scripts/page_scripts.h"

#include <cstddef>

namespace zrk::scripts_data {
extern const unsigned char kBootstrapScript[];
extern const std::size_t kBootstrapScriptSize;
extern const unsigned char kBridgeScript[];
extern const std::size_t kBridgeScriptSize;
}  // namespace zrk::scripts_data

namespace zrk {

const std::string& buildBootstrapScript() {
  static const std::string text(reinterpret_cast<const char*>(scripts_data::kBootstrapScript),
                                scripts_data::kBootstrapScriptSize);
  return text;
}

const std::string& buildBridgeScript() {
  static const std::string text(reinterpret_cast<const char*>(scripts_data::kBridgeScript),
                                scripts_data::kBridgeScriptSize);
  return text;
}

}  // namespace zrk
