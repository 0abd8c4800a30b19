// The thumbnail cache "thumbcache.db" in the data folder: thumbnails keyed by the SHA-1 of the
// image path and the size asked for, valid while the image file is not modified.
//
// One connection is shared by the whole process; a mutex serialises every operation on it. A
// database file that vanished is recreated at the next operation, and one that is damaged is
// moved aside (as "thumbcache.db.corrupt") and recreated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zrksqlite {
class SQLiteDB;
}

class ThumbCache {
public:
    struct CacheItem {
        int64_t fileModified = 0;  // the image file's modification time, µs since 1970 (UTC)
        std::string mime;
        std::vector<uint8_t> data;
    };

    // The shared connection, opened (and the schema made) on first use; empty when the database
    // cannot be opened. The next operation then tries again.
    static std::shared_ptr<zrksqlite::SQLiteDB> open();
    // Runs the schema statement once per opened connection.
    static void createSchema(const std::shared_ptr<zrksqlite::SQLiteDB>& db);

    // The smallest stored thumbnail of `path` at least `width` by `height` that is not older
    // than the file; empty when there is none. A missing image file raises
    // Poco::FileNotFoundException.
    static std::shared_ptr<CacheItem> get(const std::string& path, int32_t width, int32_t height);
    // Stores a thumbnail of `path` for the size asked for, replacing one of the same size; fills
    // `item` (when given) with what was stored. A missing image file raises
    // Poco::FileNotFoundException.
    static bool put(const std::string& path, int32_t width, int32_t height, const uint8_t* data,
                    size_t length, const std::string& mime, CacheItem* item = nullptr);
    // Deletes every stored thumbnail of `path`; true also when there was none.
    static bool remove(const std::string& path);

    // Closes the connection and forgets the database path, so the next operation opens the
    // database of the data folder as it is then (tests, shutdown).
    static void reset();
};
