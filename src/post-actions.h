// What the "/update" and "/appdata" handlers share: a small JSON body naming an "action", run from
// a table of actions.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

using PostAction = std::function<std::shared_ptr<HttpResponse>(const nlohmann::json& body)>;

// The body of a small JSON request, read in pieces of 1024 bytes until a shorter piece. Bodies
// over 1 MiB throw std::length_error before they are parsed.
std::string readSmallBody(HttpRequest* request);

// The string under `key`, or "" when the body is not an object or the value is not a string.
std::string stringKey(const nlohmann::json& body, const char* key);

// Parses the body, runs the action its "action" key names and sends the answer: 400 "Bad request,
// unknown action: " for a name the table lacks, 444 with the message for anything thrown (an
// unparsable body included).
void answerPostAction(HttpRequest* request, HttpResponseConnection* connection,
                      const std::map<std::string, PostAction>& actions);

}  // namespace http
