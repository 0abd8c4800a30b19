#include "zrkwebview/browser/src/http/request-hooks.h"

#include <algorithm>
#include <mutex>

namespace http {

namespace {

std::mutex gMutex;
std::vector<PluginQueueClaim> gClaims;
std::vector<std::string> gLargePaths;

}  // namespace

void addPluginQueueClaim(PluginQueueClaim claim) {
  if (claim == nullptr) return;
  std::lock_guard<std::mutex> lock(gMutex);
  if (std::find(gClaims.begin(), gClaims.end(), claim) == gClaims.end()) gClaims.push_back(claim);
}

bool isClaimedForPluginQueue(HttpRequest& request) {
  std::vector<PluginQueueClaim> claims;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    claims = gClaims;
  }
  for (PluginQueueClaim claim : claims) {
    try {
      if (claim(request)) return true;
    } catch (...) {
      // A claim that fails claims nothing: the request keeps its ordinary queue.
    }
  }
  return false;
}

void addLargeContentPath(const std::string& prefix) {
  if (prefix.empty()) return;
  std::lock_guard<std::mutex> lock(gMutex);
  if (std::find(gLargePaths.begin(), gLargePaths.end(), prefix) == gLargePaths.end()) {
    gLargePaths.push_back(prefix);
  }
}

std::vector<std::string> largeContentPaths() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gLargePaths;
}

}  // namespace http
