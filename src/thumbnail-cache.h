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

#include <nlohmann/json_fwd.hpp>

#include "zrkwebview/browser/src/http/http-message.h"

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

namespace http {

// "/thumbnail": GET answers the encoded thumbnail of an image file, from the cache when a fresh
// one of a fitting size is stored, else made by the codec library (and then stored).
//   Query (names in any case; the last of a name counts): "path" (percent-encoded a second
//   time), "width" and "height" (0 or absent: 300, unless "option" has 0x1000), "option" (bits
//   for the codec: 0x2 asks for PNG), "nocache" (present: the cache is neither read nor written),
//   "subimage" and "level" (above 0: no cache), "expire" (read, no effect), "cache_age" (for the
//   caching headers).
// POST {"action":"remove","path":...} deletes the stored thumbnails of a path.
class HttpThumbnailHandler : public HttpHandler {
  VESK_DECLARE_CLASS(HttpThumbnailHandler, HttpHandler, "http")

 public:
  const char* path() override { return "/thumbnail"; }
  bool handleGet(HttpRequest* request, HttpResponseConnection* connection) override;
  bool handlePost(HttpRequest* request, HttpResponseConnection* connection) override;

  // The replies handleGet and handlePost send.
  static std::shared_ptr<HttpResponse> answerGet(HttpRequest* request);
  static std::shared_ptr<HttpResponse> answerPost(HttpRequest* request);
  static std::shared_ptr<HttpResponse> removeAction(const nlohmann::json& body);

  // A path as the cache and the codec get it: runs of "/" become one; "\" is an ordinary file
  // name character and stays.
  static std::string normalizeThumbnailPath(const std::string& path);
};

// Appends the thumbnail handler to the handler list once per process and marks its path as
// large-content.
void registerThumbnailHandler();

}  // namespace http
