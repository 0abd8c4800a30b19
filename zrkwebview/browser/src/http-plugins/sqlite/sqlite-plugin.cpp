#include "zrkwebview/browser/src/http-plugins/sqlite/sqlite-plugin.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "zrksqlite/sqlite-db.h"
#include "zrksqlite/statement.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http-plugins/sqlite/msgpack-rows.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin {

namespace {

using json = nlohmann::json;
using payload::boolOr;
using payload::stringOr;

struct Registry {
  std::mutex registryLock;
  std::unordered_map<std::string, std::shared_ptr<SqliteDbEntry>> map;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

std::shared_ptr<http::HttpResponse> status(int code, const std::string& text) {
  return std::make_shared<http::HttpStatusResponse>(code, text);
}

std::shared_ptr<http::HttpResponse> jsonReply(const json& value) {
  return std::make_shared<http::HttpMimeResponse>(
      value.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// The parameters of "execute" and "query": empty when the page sent none ("has_params" not true).
// A reply is set instead when the body is refused.
struct Params {
  std::optional<json> values;
  std::shared_ptr<http::HttpResponse> refusal;
};

Params readParams(const json& payload, http::HttpRequest* request) {
  Params params;
  if (!boolOr(payload, "has_params", false)) return params;
  const std::string body = payload::readRequestBody(request);
  if (body.empty()) {
    params.refusal = status(400, std::string("Body is empty"));
    return params;
  }
  json values;
  try {
    values = json::from_msgpack(body, true);
  } catch (const json::exception& e) {
    params.refusal = status(400, std::string(e.what()));
    return params;
  }
  if (!values.is_array()) {
    params.refusal = status(400, std::string("Body is not an array"));
    return params;
  }
  params.values = std::move(values);
  return params;
}

// Binds element i of the array to parameter i + 1, by the element's JSON type.
void bindParams(zrksqlite::Bindable& statement, const json& values) {
  int index = 1;
  for (const json& value : values) {
    switch (value.type()) {
      case json::value_t::string:
        statement.bindText(index, value.get_ref<const std::string&>());
        break;
      case json::value_t::number_integer:
        statement.bindInt64(index, value.get<int64_t>());
        break;
      case json::value_t::number_unsigned:
        // A value above the signed range wraps, as SQLite has no unsigned integers.
        statement.bindInt64(index, static_cast<int64_t>(value.get<uint64_t>()));
        break;
      case json::value_t::number_float:
        statement.bindDouble(index, value.get<double>());
        break;
      case json::value_t::boolean:
        statement.bindInt(index, value.get<bool>() ? 1 : 0);
        break;
      case json::value_t::binary: {
        const auto& bytes = value.get_binary();
        statement.bindBlob(index, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        break;
      }
      default:
        throw std::runtime_error("Unsupported param type");
    }
    ++index;
  }
}

std::string couldNotOpen(const std::string& path) { return "Could not open the database: " + path; }

}  // namespace

// --- Registry ------------------------------------------------------------------------------------

std::shared_ptr<SqliteDbEntry> SqliteDbRegistry::openOrGet(const std::string& path) {
  Registry& r = registry();
  std::lock_guard guard(r.registryLock);
  std::shared_ptr<SqliteDbEntry>& slot = r.map[path];
  if (!slot) slot = std::make_shared<SqliteDbEntry>();
  if (!slot->database) {
    // SQLite reads a name beginning "file:" as a URI; a page's path always names a file.
    const std::string fileName = path.rfind("file:", 0) == 0 ? "./" + path : path;
    try {
      slot->database = zrksqlite::SQLiteDB::open(
          fileName, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true, 5000);
    } catch (const zrksqlite::SQLiteException& e) {
      slot->openError = e.what();
    }
  }
  return slot;
}

bool SqliteDbRegistry::remove(const std::string& path) {
  std::shared_ptr<SqliteDbEntry> removed;
  {
    Registry& r = registry();
    std::lock_guard guard(r.registryLock);
    auto it = r.map.find(path);
    if (it == r.map.end()) return false;
    removed = std::move(it->second);
    r.map.erase(it);
  }
  // The connection closes here, outside the lock, unless a command still uses it; then it closes
  // when that command lets go of the entry.
  return true;
}

// --- Commands ------------------------------------------------------------------------------------

std::shared_ptr<Vesk::TObject> SqlitePlugin::invoke(const std::string& command,
                                                    zrk::Webview* webview,
                                                    http::HttpResponseConnection* connection,
                                                    http::HttpRequest* request,
                                                    const nlohmann::json& payload) {
  (void)connection;
  auto wrap = [](std::shared_ptr<http::HttpResponse> (*handler)(const json&, http::HttpRequest*)) {
    return [handler](const json& p, zrk::Webview*, http::HttpRequest* r) { return handler(p, r); };
  };
  const CommandTable table{
      {"open", wrap(&SqlitePlugin::open)},
      {"close", wrap(&SqlitePlugin::close)},
      {"execute", wrap(&SqlitePlugin::execute)},
      {"query", wrap(&SqlitePlugin::query)},
      {"hastable", wrap(&SqlitePlugin::hasTable)},
      {"hascolumn", wrap(&SqlitePlugin::hasColumn)},
      {"sqlite_version", wrap(&SqlitePlugin::sqliteVersion)},
      {"sqlite_features", wrap(&SqlitePlugin::sqliteFeatures)},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::open(const json& payload, http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return status(404, std::string("Path is empty"));
  const std::shared_ptr<SqliteDbEntry> entry = SqliteDbRegistry::openOrGet(path);
  if (!entry->database) {
    return status(500, couldNotOpen(path) + " [" + entry->openError + "]");
  }
  return jsonReply(true);
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::close(const json& payload, http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return status(404, std::string("Path is empty"));
  return jsonReply(SqliteDbRegistry::remove(path));
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::execute(const json& payload,
                                                          http::HttpRequest* request) {
  const std::string sql = stringOr(payload, "sql");
  if (sql.empty()) return status(400, std::string("SQL is empty"));
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return status(500, std::string("Path is empty"));
  Params params = readParams(payload, request);
  if (params.refusal) return params.refusal;

  const std::shared_ptr<SqliteDbEntry> entry = SqliteDbRegistry::openOrGet(path);
  if (!entry->database) return status(466, couldNotOpen(path));
  std::lock_guard guard(entry->entryLock);
  zrksqlite::SQLiteDB& db = *entry->database;
  int64_t changes = 0;
  try {
    if (!params.values) {
      changes = db.execute(sql);
    } else {
      zrksqlite::Statement statement = db.prepareStatement(sql);
      bindParams(statement, *params.values);
      changes = statement.execute();
    }
  } catch (const zrksqlite::SQLiteException& e) {
    return jsonReply(json{{"result", false}, {"error", e.fullMessage()}});
  }
  const int64_t lastRow = db.lastInsertRowId();
  return jsonReply(json{{"result", true},
                        {"rows", static_cast<int32_t>(changes)},
                        {"lastRow", lastRow}});
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::query(const json& payload,
                                                        http::HttpRequest* request) {
  const std::string sql = stringOr(payload, "sql");
  if (sql.empty()) return status(400, std::string("SQL is empty"));
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return status(500, std::string("Path is empty"));
  Params params = readParams(payload, request);
  if (params.refusal) return params.refusal;

  const std::shared_ptr<SqliteDbEntry> entry = SqliteDbRegistry::openOrGet(path);
  if (!entry->database) return status(466, couldNotOpen(path));
  std::lock_guard guard(entry->entryLock);
  zrksqlite::Query query = entry->database->prepareQuery(sql);
  if (params.values) bindParams(query, *params.values);
  std::string body = sqlite::writeRowsAsMsgpack(query);
  return std::make_shared<http::HttpMimeResponse>(std::move(body), "application/octet-stream");
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::hasTable(const json& payload,
                                                           http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return status(500, std::string("Path is empty"));
  const std::string table = stringOr(payload, "table");
  if (table.empty()) return status(500, std::string("table name is empty"));
  const std::shared_ptr<SqliteDbEntry> entry = SqliteDbRegistry::openOrGet(path);
  if (!entry->database) return status(466, couldNotOpen(path));
  return jsonReply(entry->database->hasTable(table.c_str()));
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::hasColumn(const json& payload,
                                                            http::HttpRequest*) {
  const std::string path = stringOr(payload, "path");
  if (path.empty()) return status(500, std::string("Path is empty"));
  const std::string table = stringOr(payload, "table");
  const std::string column = stringOr(payload, "column");
  if (table.empty() || column.empty()) {
    return status(500, std::string("table or column name is empty"));
  }
  const std::shared_ptr<SqliteDbEntry> entry = SqliteDbRegistry::openOrGet(path);
  if (!entry->database) return status(466, couldNotOpen(path));
  return jsonReply(entry->database->hasColumn(table.c_str(), column.c_str()));
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::sqliteVersion(const json&, http::HttpRequest*) {
  return std::make_shared<http::HttpMimeResponse>(std::string(zrksqlite::sqliteVersion()),
                                                  "text/plain");
}

std::shared_ptr<http::HttpResponse> SqlitePlugin::sqliteFeatures(const json&, http::HttpRequest*) {
  json options = json::array();
  for (int i = 0;; ++i) {
    const char* option = sqlite3_compileoption_get(i);
    if (option == nullptr) break;
    options.push_back(option);
  }
  return jsonReply(options);
}

void registerSqlitePlugin() {
  registerPluginOnce<SqlitePlugin>("sqlite", "SQLite Database Plugin", "1.0.0");
}

}  // namespace zrk::plugin
