// The "sqlite" plugin: pages open SQLite database files by path, run statements with MessagePack
// parameters, read rows back as MessagePack, and ask about tables, columns and the library.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrksqlite {
class SQLiteDB;
}

namespace zrk::plugin {

class SqlitePlugin : public Plugin {
  VESK_DECLARE_CLASS(SqlitePlugin, Plugin, "zrk::plugin")

 public:
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  static std::shared_ptr<http::HttpResponse> open(const nlohmann::json& payload,
                                                  http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> close(const nlohmann::json& payload,
                                                   http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> execute(const nlohmann::json& payload,
                                                     http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> query(const nlohmann::json& payload,
                                                   http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> hasTable(const nlohmann::json& payload,
                                                      http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> hasColumn(const nlohmann::json& payload,
                                                       http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> sqliteVersion(const nlohmann::json& payload,
                                                           http::HttpRequest* request);
  static std::shared_ptr<http::HttpResponse> sqliteFeatures(const nlohmann::json& payload,
                                                            http::HttpRequest* request);
};

// One database path's state: its connection once an open succeeded, the last open failure's
// text, and the lock that "execute" and "query" hold while they use the connection.
struct SqliteDbEntry {
  std::shared_ptr<zrksqlite::SQLiteDB> database;
  std::string openError;
  std::mutex entryLock;
};

// The process's open databases by path, exactly as the page wrote it (two spellings of one file
// are two entries). An entry lives from the first command that names its path until "close".
class SqliteDbRegistry {
 public:
  // The path's entry, made when absent; opens the database (read-write, created when missing,
  // write-ahead log, 5 s busy time-out) when the entry has no connection yet. A command holds the
  // entry it got, so a "close" meanwhile never pulls the connection from under it.
  static std::shared_ptr<SqliteDbEntry> openOrGet(const std::string& path);
  // Erases the path's entry; true when there was one.
  static bool remove(const std::string& path);
};

// Makes the plugin and registers it, once per process (the application's start-up calls it).
void registerSqlitePlugin();

}  // namespace zrk::plugin
