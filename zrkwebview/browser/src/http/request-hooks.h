// Two small registries through which a handler tells the request machinery how its requests
// travel, without the framework learning the handler's own options:
//  - plugin-queue claims: requests to a path are served on "http_requests-1", one at a time; a
//    handler whose long request (an image conversion) must be reachable while it runs claims the
//    short requests that act on it, and the request dispatch serves those on "plugin-requests-1";
//  - large-content paths: requests and replies of these path prefixes may carry bodies of many
//    megabytes, so the engine moves them on its large-body road rather than inside its protocol
//    messages.
// Both are filled at start-up by the handlers' registration and read from any thread afterwards.
#pragma once

#include <string>
#include <vector>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

// True claims the request for the plugin queue. Reads only the method, URL and headers (never
// the body) and throws nothing.
using PluginQueueClaim = bool (*)(HttpRequest& request);

// Adds a claim; adding one that is already there changes nothing.
void addPluginQueueClaim(PluginQueueClaim claim);
// True when one of the claims takes the request. The request dispatch asks this when it chooses
// a queue for a request that is not a plugin call.
bool isClaimedForPluginQueue(HttpRequest& request);

// Adds a path prefix ("/getimage") whose bodies may be large; a prefix already there is not
// added again.
void addLargeContentPath(const std::string& prefix);
// The prefixes added so far, in the order added.
std::vector<std::string> largeContentPaths();

}  // namespace http
