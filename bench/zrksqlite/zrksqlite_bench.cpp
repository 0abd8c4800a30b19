// 100,000 rows inserted in one transaction and read back, through the wrapper and through the
// SQLite C API directly, on an in-memory database. The wrapper should stay within 1.2x.
//
//   ./build-rel/bin/zrksqlite_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "zrksqlite/sqlite-db.h"

namespace {

constexpr int kRows = 100000;
constexpr const char* kSchema = "CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, s TEXT, r REAL)";
constexpr const char* kInsert = "INSERT INTO t(n, s, r) VALUES (?, ?, ?)";
constexpr const char* kSelect = "SELECT id, n, s, r FROM t";

std::string label(int i) { return "row number " + std::to_string(i); }

void BM_Wrapper(benchmark::State& state) {
    for (auto _ : state) {
        auto db = zrksqlite::SQLiteDB::open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                            false, 0);
        db->execute(kSchema);
        {
            zrksqlite::Transaction tx(*db);
            zrksqlite::Statement insert = db->prepareStatement(kInsert);
            for (int i = 0; i < kRows; ++i) {
                insert.bindInt64(1, i);
                insert.bindText(2, label(i));
                insert.bindDouble(3, i * 0.5);
                insert.execute();
            }
            tx.commit();
        }
        int64_t sum = 0;
        size_t chars = 0;
        zrksqlite::Query query = db->prepareQuery(kSelect);
        for (auto& row : query) {
            sum += row.getInt64(0) + row.getInt64(1);
            chars += row.getString(2).size();
            sum += static_cast<int64_t>(row.getDouble(3));
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(chars);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

void check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::abort();
    }
}

void BM_RawCApi(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* db = nullptr;
        check(sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                              nullptr),
              db);
        check(sqlite3_exec(db, "PRAGMA busy_timeout=0;", nullptr, nullptr, nullptr), db);
        check(sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr), db);
        check(sqlite3_exec(db, "BEGIN IMMEDIATE TRANSACTION", nullptr, nullptr, nullptr), db);
        sqlite3_stmt* insert = nullptr;
        check(sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr), db);
        for (int i = 0; i < kRows; ++i) {
            std::string s = label(i);
            check(sqlite3_bind_int64(insert, 1, i), db);
            check(sqlite3_bind_text(insert, 2, s.data(), static_cast<int>(s.size()),
                                    SQLITE_TRANSIENT),
                  db);
            check(sqlite3_bind_double(insert, 3, i * 0.5), db);
            check(sqlite3_step(insert), db);
            check(sqlite3_reset(insert), db);
            sqlite3_clear_bindings(insert);
        }
        sqlite3_finalize(insert);
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
        int64_t sum = 0;
        size_t chars = 0;
        sqlite3_stmt* select = nullptr;
        check(sqlite3_prepare_v2(db, kSelect, -1, &select, nullptr), db);
        while (sqlite3_step(select) == SQLITE_ROW) {
            sum += sqlite3_column_int64(select, 0) + sqlite3_column_int64(select, 1);
            const unsigned char* text = sqlite3_column_text(select, 2);
            std::string s(reinterpret_cast<const char*>(text),
                          static_cast<size_t>(sqlite3_column_bytes(select, 2)));
            chars += s.size();
            sum += static_cast<int64_t>(sqlite3_column_double(select, 3));
        }
        sqlite3_finalize(select);
        sqlite3_close(db);
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(chars);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

}  // namespace

BENCHMARK(BM_Wrapper)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawCApi)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
