// The thumbnail cache against the same SQL run straight through the SQLite C API, on one
// database of 10,000 thumbnails (2,000 image files at 5 sizes each) in a temporary data folder:
// `get` hits, and `put` of 20 KB thumbnails. The raw side does the same work per call as the
// cache (the SHA-1 key of the path, the file's modification time, preparing the statement);
// the cache should stay within 1.3x.
//
//   ./build-rel/bin/thumbcache_bench
#include <benchmark/benchmark.h>
#include <cryptopp/sha.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "src/thumbnail-cache.h"
#include "zrksqlite/sqlite-db.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 2000;
constexpr int kSizes = 5;
constexpr int kThumbBytes = 20 * 1024;

const char* const kLookup =
    "SELECT data, mime, file_modified FROM ( SELECT data, width, height, mime, file_modified,"
    "         RANK() OVER (ORDER BY (width*height) ASC) as size_rank  FROM thumbnails  WHERE key=?"
    " AND width>=? AND height>=? AND file_modified >= ?) WHERE size_rank = 1 LIMIT 1";
const char* const kStore =
    "INSERT OR REPLACE INTO thumbnails (key, width, height, data, mime, create_at, file_modified,"
    " path) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";

struct Fixture {
    std::string root;
    std::vector<std::string> images;
    std::vector<uint8_t> thumb;
    sqlite3* raw = nullptr;

    Fixture() : thumb(kThumbBytes) {
        char pattern[] = "/tmp/thumbcache-bench-XXXXXX";
        root = mkdtemp(pattern);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        fs::create_directories(root + "/images");
        for (size_t i = 0; i < thumb.size(); ++i) thumb[i] = static_cast<uint8_t>(i * 31 + 7);
        for (int i = 0; i < kFiles; ++i) {
            images.push_back(root + "/images/photo-" + std::to_string(i) + ".jpg");
            std::ofstream(images.back()) << "image " << i;
        }
        // Fill through the cache's own connection, in one transaction.
        auto db = ThumbCache::open();
        zrksqlite::Transaction tx(*db);
        zrksqlite::Statement store = db->prepareStatement(kStore);
        for (const std::string& path : images) {
            for (int s = 0; s < kSizes; ++s) {
                store.bindBlob(1, key(path));
                store.bindInt(2, 100 * (s + 1));
                store.bindInt(3, 100 * (s + 1));
                store.bindBlob(4, thumb);
                store.bindText(5, "image/jpeg");
                store.bindInt64(6, std::time(nullptr));
                store.bindInt64(7, modified(path));
                store.bindText(8, path);
                store.execute();
            }
        }
        tx.commit();
        db->execute("PRAGMA wal_checkpoint(TRUNCATE);");
        const std::string dbPath = root + "/data/Pelmora/thumbcache.db";
        if (sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            std::abort();
        }
        sqlite3_exec(raw, "PRAGMA journal_mode=WAL; PRAGMA busy_timeout=5000;", nullptr,
                     nullptr, nullptr);
    }
    ~Fixture() {
        sqlite3_close(raw);
        ThumbCache::reset();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    static std::vector<uint8_t> key(const std::string& path) {
        std::vector<uint8_t> digest(CryptoPP::SHA1::DIGESTSIZE);
        CryptoPP::SHA1().CalculateDigest(
            digest.data(), reinterpret_cast<const CryptoPP::byte*>(path.data()), path.size());
        return digest;
    }
    static int64_t modified(const std::string& path) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) std::abort();
        return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_CacheGet(benchmark::State& state) {
    Fixture& f = fixture();
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const std::string& path = f.images[i++ % kFiles];
        auto item = ThumbCache::get(path, 150, 150);
        if (!item) std::abort();
        bytes += item->data.size();
    }
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(state.iterations());
}

void BM_RawGet(benchmark::State& state) {
    Fixture& f = fixture();
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const std::string& path = f.images[i++ % kFiles];
        std::vector<uint8_t> key = Fixture::key(path);
        int64_t modified = Fixture::modified(path);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(f.raw, kLookup, -1, &stmt, nullptr);
        sqlite3_bind_blob(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 2, 150);
        sqlite3_bind_int(stmt, 3, 150);
        sqlite3_bind_int64(stmt, 4, modified);
        if (sqlite3_step(stmt) != SQLITE_ROW) std::abort();
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 0));
        std::vector<uint8_t> out(data, data + sqlite3_column_bytes(stmt, 0));
        const unsigned char* mime = sqlite3_column_text(stmt, 1);
        std::string mimeText(reinterpret_cast<const char*>(mime),
                             static_cast<size_t>(sqlite3_column_bytes(stmt, 1)));
        benchmark::DoNotOptimize(sqlite3_column_int64(stmt, 2));
        sqlite3_finalize(stmt);
        bytes += out.size();
    }
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(state.iterations());
}

void BM_CachePut(benchmark::State& state) {
    Fixture& f = fixture();
    size_t i = 0;
    for (auto _ : state) {
        const std::string& path = f.images[i++ % kFiles];
        if (!ThumbCache::put(path, 300, 300, f.thumb.data(), f.thumb.size(), "image/jpeg"))
            std::abort();
    }
    state.SetBytesProcessed(state.iterations() * kThumbBytes);
}

void BM_RawPut(benchmark::State& state) {
    Fixture& f = fixture();
    size_t i = 0;
    for (auto _ : state) {
        const std::string& path = f.images[i++ % kFiles];
        std::vector<uint8_t> key = Fixture::key(path);
        int64_t modified = Fixture::modified(path);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(f.raw, kStore, -1, &stmt, nullptr);
        sqlite3_bind_blob(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 2, 300);
        sqlite3_bind_int(stmt, 3, 300);
        sqlite3_bind_blob(stmt, 4, f.thumb.data(), static_cast<int>(f.thumb.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 5, "image/jpeg", -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 6, std::time(nullptr));
        sqlite3_bind_int64(stmt, 7, modified);
        sqlite3_bind_text(stmt, 8, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE) std::abort();
        sqlite3_finalize(stmt);
    }
    state.SetBytesProcessed(state.iterations() * kThumbBytes);
}

}  // namespace

BENCHMARK(BM_CacheGet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawGet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CachePut)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawPut)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
