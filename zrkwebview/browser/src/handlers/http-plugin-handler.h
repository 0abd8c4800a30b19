// "/plugin": pages call native commands by POSTing to it with the plugin and the command named in
// the query (name=window&event=create). The payload is the JSON body, or for raw bodies the JSON
// the "zrk-payload-options" header carries in Base64; the command's response is written back.
#pragma once

#include "zrkwebview/browser/src/http/http-message.h"

namespace http {

class HttpPluginHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpPluginHandler, HttpHandler, "http")

 public:
  const char* path() override { return "/plugin"; }
  // Always answers the request:
  //   400 "plugin not found"      no plugin name, a JSON body that does not parse, or a JSON
  //                               error inside the command;
  //   400 "malformed query"       a query that cannot be decoded;
  //   420 "plugin invoke failed"  no such plugin, or the command gave no response;
  //   410 <message>               the command failed with that message.
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;
};

}  // namespace http
