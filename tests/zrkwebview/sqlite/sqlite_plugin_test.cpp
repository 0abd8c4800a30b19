// The "sqlite" plugin driven through its invoke, as the plugin handler calls it: statuses and
// texts of every command, MessagePack parameters and rows, and the database registry.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/http_fakes.h"
#include "zrksqlite/sqlite-db.h"
#include "zrkwebview/browser/src/http-plugins/sqlite/msgpack-rows.h"
#include "zrkwebview/browser/src/http-plugins/sqlite/sqlite-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using json = nlohmann::json;
using zrk::plugin::SqlitePlugin;

struct Reply {
  bool empty = true;
  int status = 0;
  std::string text;  // the status message of a status reply
  std::string mime;
  std::string body;
};

std::string packed(const json& value) {
  const std::vector<uint8_t> bytes = json::to_msgpack(value);
  return std::string(bytes.begin(), bytes.end());
}

class SqlitePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pel-sqlite-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const auto& path : opened_) zrk::plugin::SqliteDbRegistry::remove(path);
    std::filesystem::remove_all(dir_);
  }

  std::string file(const std::string& name) { return dir_ + "/" + name; }

  // Runs a command; `body` (when given) is the raw request body, delivered in the given pieces.
  Reply run(const std::string& command, json payload,
            std::optional<std::vector<std::string>> bodyPieces = std::nullopt) {
    if (payload.is_object() && payload.contains("path") && payload["path"].is_string()) {
      opened_.push_back(payload["path"]);
    }
    pel::test::FakeRequest request("POST", "https://app.local/plugin");
    if (bodyPieces) request.withBodyPieces(*bodyPieces);
    auto result = plugin_.invoke(command, nullptr, nullptr, &request, payload);
    Reply reply;
    if (!result) return reply;
    reply.empty = false;
    auto* response = dynamic_cast<http::HttpResponse*>(result.get());
    EXPECT_NE(response, nullptr);
    reply.status = response->status();
    reply.text = response->statusMessage();
    if (auto* mime = dynamic_cast<http::HttpMimeResponse*>(response)) {
      reply.mime = mime->mimeType();
      reply.body = mime->body();
    }
    return reply;
  }

  Reply exec(const std::string& path, const std::string& sql) {
    return run("execute", {{"path", path}, {"sql", sql}});
  }
  Reply execWith(const std::string& path, const std::string& sql, const json& params) {
    return run("execute", {{"path", path}, {"sql", sql}, {"has_params", true}},
               std::vector<std::string>{packed(params)});
  }
  json queryRows(const std::string& path, const std::string& sql,
                 std::optional<json> params = std::nullopt) {
    json payload{{"path", path}, {"sql", sql}};
    std::optional<std::vector<std::string>> body;
    if (params) {
      payload["has_params"] = true;
      body = std::vector<std::string>{packed(*params)};
    }
    Reply r = run("query", payload, body);
    EXPECT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.mime, "application/octet-stream");
    return r.status == 200 ? json::from_msgpack(r.body) : json();
  }

  SqlitePlugin plugin_;
  std::string dir_;
  std::vector<std::string> opened_;
};

// Every refusal of every command, with its status and text, and the replies without data.
TEST_F(SqlitePluginTest, StatusesOfEveryCommand) {
  const std::string db = file("a.db");
  const std::string missing = file("no-such-folder/x.db");
  struct Case {
    const char* command;
    json payload;
    std::optional<std::string> body;
    int status;
    std::string text;  // status text, or the JSON body of a 200
  };
  const std::vector<Case> cases = {
      {"open", json::object(), {}, 404, "Path is empty"},
      {"open", {{"path", 5}}, {}, 404, "Path is empty"},
      {"close", {{"path", ""}}, {}, 404, "Path is empty"},
      {"execute", json::object(), {}, 400, "SQL is empty"},  // the SQL is tested first
      {"execute", {{"sql", "SELECT 1"}}, {}, 500, "Path is empty"},
      {"query", {{"path", db}}, {}, 400, "SQL is empty"},
      {"query", {{"sql", "SELECT 1"}, {"path", json::array()}}, {}, 500, "Path is empty"},
      {"hastable", {{"table", "t"}}, {}, 500, "Path is empty"},
      {"hastable", {{"path", db}}, {}, 500, "table name is empty"},
      {"hascolumn", {{"path", db}, {"table", "t"}}, {}, 500, "table or column name is empty"},
      {"hascolumn", {{"path", db}, {"column", "c"}}, {}, 500, "table or column name is empty"},
      {"execute", {{"path", missing}, {"sql", "SELECT 1"}}, {}, 466,
       "Could not open the database: " + missing},
      {"query", {{"path", missing}, {"sql", "SELECT 1"}}, {}, 466,
       "Could not open the database: " + missing},
      {"hastable", {{"path", missing}, {"table", "t"}}, {}, 466,
       "Could not open the database: " + missing},
      {"hascolumn", {{"path", missing}, {"table", "t"}, {"column", "c"}}, {}, 466,
       "Could not open the database: " + missing},
      {"open", {{"path", missing}}, {}, 500,
       "Could not open the database: " + missing + " [SQLITE_CANTOPEN]"},
      // Parameter bodies are checked before the database is opened.
      {"execute", {{"path", missing}, {"sql", "SELECT ?"}, {"has_params", true}}, "", 400,
       "Body is empty"},
      {"query", {{"path", db}, {"sql", "SELECT ?"}, {"has_params", true}}, packed({{"a", 1}}),
       400, "Body is not an array"},
      {"execute", {{"path", db}, {"sql", "SELECT ?"}, {"has_params", true}},
       packed(json::array({json()})), 400, "Unsupported param type"},
      {"query", {{"path", db}, {"sql", "SELECT ?"}, {"has_params", true}},
       packed(json::array({json::array({1})})), 400, "Unsupported param type"},
      {"execute", {{"path", db}, {"sql", "SELECT ?"}, {"has_params", true}},
       packed(json::array({1, 2})), 400, "sqlite3_bind_int64() error: column index out of range"},
      // A SQLite error of "execute" is a result, not a failure; "query" fails with the message.
      {"execute", {{"path", db}, {"sql", "SELEC 1"}}, {}, 200,
       R"j({"error":"near \"SELEC\": syntax error (1)","result":false})j"},
      {"execute", {{"path", db}, {"sql", "SELEC ?"}, {"has_params", true}}, packed(json::array()),
       200, R"j({"error":"near \"SELEC\": syntax error (1)","result":false})j"},
      {"query", {{"path", db}, {"sql", "SELEC 1"}}, {}, 400, "near \"SELEC\": syntax error"},
      {"query", {{"path", db}, {"sql", "SELECT 1 FROM \"no%stable\""}}, {}, 400,
       "no such table: no%stable"},
      {"open", {{"path", db}}, {}, 200, "true"},
      {"hastable", {{"path", db}, {"table", "sqlite_master"}}, {}, 200, "false"},
      {"hascolumn", {{"path", db}, {"table", "none"}, {"column", "c"}}, {}, 200, "false"},
      {"close", {{"path", db}}, {}, 200, "true"},
      {"close", {{"path", db}}, {}, 200, "false"},
      {"close", {{"path", missing}}, {}, 200, "true"},  // the failed entry existed
      {"close", {{"path", file("never-used.db")}}, {}, 200, "false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload.dump());
    std::optional<std::vector<std::string>> body;
    if (c.body) body = std::vector<std::string>{*c.body};
    Reply r = run(c.command, c.payload, body);
    ASSERT_FALSE(r.empty);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(r.mime, "application/json");
      EXPECT_EQ(r.body, c.text);
    } else {
      EXPECT_EQ(r.text, c.text);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(file("no-such-folder")));
  EXPECT_TRUE(run("no_such_command", {{"path", db}}).empty);
}

TEST_F(SqlitePluginTest, MalformedParameterBodiesAnswer400WithTheLibraryText) {
  const std::string db = file("p.db");
  std::string truncated = packed(json::array({"abcdef"}));
  truncated.pop_back();
  for (const std::string& body : {truncated, packed(json::array()) + "x", std::string("\xc1")}) {
    Reply r = run("execute", {{"path", db}, {"sql", "SELECT 1"}, {"has_params", true}},
                  std::vector<std::string>{body});
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.text.rfind("[json.exception.parse_error.", 0), 0u) << r.text;
  }
  // "has_params" counts only as a JSON true: 1 and "true" run without parameters, body unread.
  for (const json& flag : {json(1), json("true"), json(nullptr)}) {
    Reply r = run("execute", {{"path", db}, {"sql", "SELECT 1"}, {"has_params", flag}},
                  std::vector<std::string>{"not msgpack"});
    EXPECT_EQ(r.body, R"({"lastRow":0,"result":true,"rows":0})") << flag.dump();
  }
}

// Each MessagePack type binds to its SQLite type, read back through "query".
TEST_F(SqlitePluginTest, ParametersBindByTheirMessagePackType) {
  const std::string db = file("types.db");
  ASSERT_EQ(exec(db, "CREATE TABLE t(v)").status, 200);
  const json params = json::array(
      {"text \xc3\xa9", -5, 7u, 18446744073709551615u, 2.5, true, false,
       json::binary({0x00, 0xFF, 0x10}), json::binary({})});
  for (const json& p : params) {
    Reply r = execWith(db, "INSERT INTO t(v) VALUES(?)", json::array({p}));
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(json::parse(r.body)["result"], true);
  }
  const json rows = queryRows(db, "SELECT typeof(v) AS type, v FROM t ORDER BY rowid");
  const json expected = json::parse(R"([
    {"type":"text","v":"text é"}, {"type":"integer","v":-5}, {"type":"integer","v":7},
    {"type":"integer","v":-1}, {"type":"real","v":2.5}, {"type":"integer","v":1},
    {"type":"integer","v":0}, {"type":"blob","v":[0,255,16]}, {"type":"blob","v":[]}])");
  EXPECT_EQ(rows, expected);
  // A parameter without an element stays NULL; an empty array runs without bindings.
  EXPECT_EQ(queryRows(db, "SELECT ? AS a, ? AS b", json::array({3})),
            json::parse(R"([{"a":3,"b":null}])"));
  EXPECT_EQ(queryRows(db, "SELECT count(*) AS n FROM t WHERE v = ?", json::array({7})),
            json::parse(R"([{"n":1}])"));
}

TEST_F(SqlitePluginTest, ExecuteCountsChangesAndRunsTheWholeTextOnlyWithoutParameters) {
  const std::string db = file("x.db");
  ASSERT_EQ(exec(db, "CREATE TABLE t(a INTEGER PRIMARY KEY, b)").body,
            R"({"lastRow":0,"result":true,"rows":0})");
  EXPECT_EQ(exec(db, "INSERT INTO t(b) VALUES(1); INSERT INTO t(b) VALUES(2)").body,
            R"({"lastRow":2,"result":true,"rows":1})");
  // With parameters only the first statement of the text runs.
  EXPECT_EQ(execWith(db, "INSERT INTO t(b) VALUES(?); INSERT INTO t(b) VALUES(9)",
                     json::array({3}))
                .body,
            R"({"lastRow":3,"result":true,"rows":1})");
  EXPECT_EQ(exec(db, "UPDATE t SET b = b + 1").body, R"({"lastRow":3,"result":true,"rows":3})");
  // SQLite's change count stays that of the last INSERT, UPDATE or DELETE after DDL.
  EXPECT_EQ(exec(db, "CREATE TABLE u(x)").body, R"({"lastRow":3,"result":true,"rows":3})");
  EXPECT_EQ(queryRows(db, "SELECT b FROM t ORDER BY a"), json::parse(R"([{"b":2},{"b":3},{"b":4}])"));
  // A constraint failure while a bound statement runs is a failure of the command.
  Reply r = execWith(db, "INSERT INTO t(a, b) VALUES(?, 0)", json::array({1}));
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.text.rfind("sqlite3_step() error: UNIQUE constraint failed", 0), 0u) << r.text;
}

TEST_F(SqlitePluginTest, RowsAreMapsByColumnName) {
  const std::string db = file("rows.db");
  // Two columns of one name give one member, the last column's value.
  EXPECT_EQ(queryRows(db, "SELECT 1 AS a, 2 AS a"), json::parse(R"([{"a":2}])"));
  EXPECT_EQ(queryRows(db, "SELECT x'00FF' AS b"), json::parse(R"([{"b":[0,255]}])"));
  Reply none = run("query", {{"path", db}, {"sql", "SELECT 1 WHERE 0"}});
  EXPECT_EQ(none.body, "\x90");
  // The JSON type follows each value's storage class, row by row.
  exec(db, "CREATE TABLE m(v); INSERT INTO m VALUES (1), ('1'), (1.5), (NULL)");
  EXPECT_EQ(queryRows(db, "SELECT v FROM m"), json::parse(R"([{"v":1},{"v":"1"},{"v":1.5},{"v":null}])"));
}

// The rows are written as MessagePack straight from SQLite; the bytes must be exactly those of
// the JSON library's writer for the same rows, across every width of every encoding.
TEST_F(SqlitePluginTest, RowBytesMatchTheJsonLibrarysWriter) {
  const std::string db = file("bytes.db");
  auto open = zrksqlite::SQLiteDB::open(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, false, 0);
  open->execute("CREATE TABLE v(x)");
  auto insert = open->prepareStatement("INSERT INTO v VALUES(?)");
  const std::vector<int64_t> ints = {0, 1, 127, 128, 255, 256, 65535, 65536, 4294967295LL,
                                     4294967296LL, INT64_MAX, -1, -32, -33, -128, -129,
                                     -32768, -32769, -2147483648LL, -2147483649LL, INT64_MIN};
  for (int64_t i : ints) insert.bindInt64(1, i), insert.execute();
  for (double d : {0.5, 0.1, 1e300, -3.25, 3.4028234663852886e38, 1e-45}) {
    insert.bindDouble(1, d), insert.execute();
  }
  for (size_t n : {0, 31, 32, 255, 256, 65535, 65536}) {
    insert.bindText(1, std::string(n, 'q')), insert.execute();
  }
  for (size_t n : {0, 15, 16, 200, 65536}) {
    insert.bindBlob(1, std::vector<uint8_t>(n, 0x85)), insert.execute();
  }
  insert.bindNull(1), insert.execute();
  const std::string sql =
      "SELECT x, x AS \"\", 'c' AS z, 'dup' AS x, x AS y, 1 AS c01, 2 AS c02, 3 AS c03, 4 AS c04, "
      "5 AS c05, 6 AS c06, 7 AS c07, 8 AS c08, 9 AS c09, 10 AS c10, 11 AS c11, 12 AS c12, 13 AS "
      "c13, 14 AS c14, \"\xc3\xa9\" AS \"\xc3\xa9\" FROM v";

  // The same rows built as JSON, as a reader of the wrapper would.
  json expected = json::array();
  {
    auto query = open->prepareQuery(sql);
    const int n = query.columnCount();
    for (auto it = query.begin(); it != query.end(); ++it) {
      json row;
      for (int c = 0; c < n; ++c) {
        const std::string name = it->columnName(c);
        switch (it->columnType(c)) {
          case SQLITE_INTEGER: row[name] = it->getInt64(c); break;
          case SQLITE_FLOAT: row[name] = it->getDouble(c); break;
          case SQLITE_TEXT: row[name] = it->getString(c); break;
          case SQLITE_BLOB: row[name] = it->getBlob(c); break;
          default: row[name] = nullptr; break;
        }
      }
      expected.push_back(row);
    }
  }
  auto query = open->prepareQuery(sql);
  const std::string bytes = zrk::plugin::sqlite::writeRowsAsMsgpack(query);
  EXPECT_EQ(bytes, packed(expected));

  // More rows than fit a 16-bit array head.
  auto many = open->prepareQuery(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 70000) "
      "SELECT i FROM n");
  json manyRows = json::array();
  for (int i = 1; i <= 70000; ++i) manyRows.push_back({{"i", i}});
  EXPECT_EQ(zrk::plugin::sqlite::writeRowsAsMsgpack(many), packed(manyRows));
}

TEST_F(SqlitePluginTest, RegistryKeepsOneConnectionPerSpellingInWalMode) {
  const std::string db = file("w.db");
  const std::string other = dir_ + "//w.db";
  EXPECT_EQ(run("open", {{"path", db}}).body, "true");
  EXPECT_EQ(run("open", {{"path", db}}).body, "true");
  EXPECT_EQ(queryRows(db, "PRAGMA journal_mode"), json::parse(R"([{"journal_mode":"wal"}])"));
  EXPECT_EQ(queryRows(db, "PRAGMA busy_timeout"), json::parse(R"([{"timeout":5000}])"));
  exec(db, "CREATE TABLE t(a); INSERT INTO t VALUES(1)");
  // The second spelling is a second connection to the same file.
  EXPECT_EQ(queryRows(other, "SELECT a FROM t"), json::parse(R"([{"a":1}])"));
  EXPECT_EQ(run("hastable", {{"path", other}, {"table", "t"}}).body, "true");
  EXPECT_EQ(run("hastable", {{"path", other}, {"table", "T"}}).body, "false");
  EXPECT_EQ(run("hascolumn", {{"path", other}, {"table", "t"}, {"column", "a"}}).body, "true");
  EXPECT_EQ(run("hascolumn", {{"path", other}, {"table", "t"}, {"column", "A"}}).body, "false");
  EXPECT_EQ(run("close", {{"path", db}}).body, "true");
  EXPECT_EQ(run("close", {{"path", other}}).body, "true");
  // A path that failed to open is tried again by the next command.
  const std::string later = file("later/d.db");
  EXPECT_EQ(run("open", {{"path", later}}).status, 500);
  std::filesystem::create_directory(file("later"));
  EXPECT_EQ(run("open", {{"path", later}}).body, "true");
  EXPECT_TRUE(std::filesystem::exists(later));
}

// A path that begins "file:" names a file of that name, never a URI with options.
TEST_F(SqlitePluginTest, FileColonPathsNameFiles) {
  const std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  const std::string uri = "file:u.db?mode=ro";
  Reply r = exec(uri, "CREATE TABLE t(a)");
  EXPECT_EQ(r.body, R"({"lastRow":0,"result":true,"rows":0})") << r.text;
  EXPECT_TRUE(std::filesystem::exists(file("file:u.db?mode=ro")));
  EXPECT_FALSE(std::filesystem::exists(file("u.db")));
  run("close", {{"path", uri}});
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

// Parameter bodies are read to the end, also when they arrive in short pieces.
TEST_F(SqlitePluginTest, ParameterBodyIsReadToItsEndInPieces) {
  const std::string db = file("big.db");
  const std::string text(50000, 'z');
  const std::string body = packed(json::array({text}));
  std::vector<std::string> pieces;
  for (size_t at = 0; at < body.size(); at += 1000) pieces.push_back(body.substr(at, 1000));
  Reply r = run("query", {{"path", db}, {"sql", "SELECT length(?) AS n"}, {"has_params", true}},
                pieces);
  ASSERT_EQ(r.status, 200) << r.text;
  EXPECT_EQ(json::from_msgpack(r.body), json::parse(R"([{"n":50000}])"));
}

TEST_F(SqlitePluginTest, VersionAndFeaturesComeFromTheLinkedLibrary) {
  Reply version = run("sqlite_version", json());
  EXPECT_EQ(version.mime, "text/plain");
  EXPECT_EQ(version.body, sqlite3_libversion());
  Reply features = run("sqlite_features", json());
  EXPECT_EQ(features.mime, "application/json");
  json list = json::parse(features.body);
  ASSERT_TRUE(list.is_array());
  ASSERT_FALSE(list.empty());
  for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i], sqlite3_compileoption_get(int(i)));
  EXPECT_EQ(sqlite3_compileoption_get(int(list.size())), nullptr);
}

TEST(SqlitePluginRegistration, RegistersOnceUnderItsName) {
  zrk::plugin::registerSqlitePlugin();
  auto first = zrk::plugin::PluginRegistry::find("sqlite");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->description(), "SQLite Database Plugin");
  EXPECT_EQ(first->version(), "1.0.0");
  EXPECT_STREQ(first->className(), "SqlitePlugin");
  zrk::plugin::registerSqlitePlugin();
  EXPECT_EQ(zrk::plugin::PluginRegistry::find("sqlite"), first);
}

}  // namespace
