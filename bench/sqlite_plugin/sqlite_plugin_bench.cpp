// A query of 100,000 rows through the sqlite plugin (its reply: the rows as MessagePack) against
// the wrapper stepping the same query and reading every column. Target: the plugin within 3x.
//
//   ./build-rel/bin/bench_sqlite_plugin
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "zrksqlite/sqlite-db.h"
#include "zrkwebview/browser/src/http-plugins/sqlite/sqlite-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

constexpr int kRows = 100000;
constexpr const char* kSelect = "SELECT id, n, s, r, b FROM t";

const std::string& databasePath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/pel-sqlite-bench-XXXXXX";
    std::string p = std::string(mkdtemp(pattern)) + "/bench.db";
    auto db = zrksqlite::SQLiteDB::open(p, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true, 5000);
    db->execute("CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, s TEXT, r REAL, b BLOB)");
    zrksqlite::Transaction tx(*db);
    auto insert = db->prepareStatement("INSERT INTO t(n, s, r, b) VALUES (?, ?, ?, ?)");
    for (int i = 0; i < kRows; ++i) {
      insert.bindInt64(1, i * 7919LL);
      insert.bindText(2, "row number " + std::to_string(i));
      insert.bindDouble(3, i * 0.25);
      insert.bindBlob(4, std::vector<uint8_t>{1, 2, 3, uint8_t(i)});
      insert.execute();
    }
    tx.commit();
    return p;
  }();
  return path;
}

void BM_WrapperSteps(benchmark::State& state) {
  auto db = zrksqlite::SQLiteDB::open(databasePath(), SQLITE_OPEN_READWRITE, true, 5000);
  for (auto _ : state) {
    auto query = db->prepareQuery(kSelect);
    int64_t sum = 0;
    size_t bytes = 0;
    for (auto it = query.begin(); it != query.end(); ++it) {
      sum += it->getInt64(0) + it->getInt64(1);
      bytes += it->getString(2).size();
      sum += static_cast<int64_t>(it->getDouble(3));
      bytes += it->getBlob(4).size();
    }
    benchmark::DoNotOptimize(sum);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_PluginQuery(benchmark::State& state) {
  zrk::plugin::SqlitePlugin plugin;
  const nlohmann::json payload{{"path", databasePath()}, {"sql", kSelect}};
  size_t replyBytes = 0;
  for (auto _ : state) {
    auto reply = plugin.invoke("query", nullptr, nullptr, nullptr, payload);
    auto* mime = dynamic_cast<http::HttpMimeResponse*>(reply.get());
    if (mime == nullptr) {
      state.SkipWithError("the query failed");
      break;
    }
    replyBytes = mime->body().size();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  state.counters["reply_bytes"] = static_cast<double>(replyBytes);
}

BENCHMARK(BM_WrapperSteps)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PluginQuery)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
