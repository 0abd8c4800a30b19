#include "zrkwebview/browser/src/http-plugins/sharedmem/sharedmem-plugin.h"

#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/http-plugins/fs/fs-support.h"
#include "zrkwebview/browser/src/shared-data-store.h"

namespace zrk::plugin {

namespace {

using fs::json;

// The payload's "uid" when it is a non-empty string; otherwise the command fails.
std::string requiredUid(const json& payload) {
  std::string uid = fs::stringOr(payload, "uid");
  if (uid.empty()) throw std::invalid_argument("missing `uid`");
  return uid;
}

std::shared_ptr<http::HttpResponse> notFound(const std::string& uid) {
  return std::make_shared<http::HttpStatusResponse>(404, "Could not find data for: `" + uid + "`");
}

std::shared_ptr<http::HttpResponse> ok() {
  return std::make_shared<http::HttpStatusResponse>(200, std::string("OK"));
}

}  // namespace

SharedMemPlugin::SharedMemPlugin() {
  setName("sharedmem");
  setVersion("1.0.0");
  setDescription("shared memory plugin");
}

std::shared_ptr<Vesk::TObject> SharedMemPlugin::invoke(const std::string& command,
                                                       zrk::Webview* webview,
                                                       http::HttpResponseConnection* connection,
                                                       http::HttpRequest* request,
                                                       const nlohmann::json& payload) {
  (void)webview;
  (void)connection;
  const std::map<std::string, Handler> table{
      {"write", &SharedMemPlugin::write},   {"read", &SharedMemPlugin::read},
      {"list", &SharedMemPlugin::list},     {"delete", &SharedMemPlugin::remove},
      {"clear", &SharedMemPlugin::clear},
  };
  const auto it = table.find(command);
  if (it == table.end()) return nullptr;
  try {
    return it->second(payload, this, request);
  } catch (const std::exception& e) {
    return fs::failure(e.what());
  }
}

std::shared_ptr<http::HttpResponse> SharedMemPlugin::write(const json& payload, SharedMemPlugin*,
                                                           http::HttpRequest* request) {
  const bool once = fs::boolOr(payload, "once", false);
  // The whole body: a short piece is not its end, only an empty one is.
  const std::string bytes = fs::readRequestBody(request);
  return fs::textReply(SharedDataStore::write(bytes.data(), bytes.size(), once));
}

std::shared_ptr<http::HttpResponse> SharedMemPlugin::read(const json& payload, SharedMemPlugin*,
                                                          http::HttpRequest*) {
  const std::string uid = requiredUid(payload);
  std::string bytes;
  if (!SharedDataStore::read(uid, bytes)) return notFound(uid);
  return fs::bytesReply(std::move(bytes));
}

std::shared_ptr<http::HttpResponse> SharedMemPlugin::list(const json&, SharedMemPlugin*,
                                                          http::HttpRequest*) {
  json entries;  // null until the first entry: an empty store lists as "null"
  SharedDataStore::list([&entries](const std::string& uid, size_t size, bool once) {
    entries.push_back(json{{"id", uid}, {"size", size}, {"once", once}});
  });
  return fs::jsonReply(fs::dumpJson(entries));
}

std::shared_ptr<http::HttpResponse> SharedMemPlugin::remove(const json& payload, SharedMemPlugin*,
                                                            http::HttpRequest*) {
  const std::string uid = requiredUid(payload);
  const bool silent = fs::boolOr(payload, "silent", false);
  if (SharedDataStore::remove(uid) || silent) return ok();
  return notFound(uid);
}

std::shared_ptr<http::HttpResponse> SharedMemPlugin::clear(const json&, SharedMemPlugin*,
                                                           http::HttpRequest*) {
  SharedDataStore::clear();
  return ok();
}

void registerSharedMemPlugin() {
  registerPluginOnce<SharedMemPlugin>();
}

}  // namespace zrk::plugin
