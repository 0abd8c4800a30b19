#include "src/thumbnail-cache.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>

#include <Poco/URI.h>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/app-paths.h"
#include "src/codec-library.h"
#include "src/getimage-handler.h"
#include "zrkwebview/browser/src/handlers/file-serving.h"
#include "zrkwebview/browser/src/handlers/http-localfile-handler.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/http/request-hooks.h"
#include "vesk/log.h"
#include "vesk/tdata.h"
#include "zrksqlite/sqlite-db.h"

namespace {

constexpr const char* kFileName = "thumbcache.db";
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS thumbnails (id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "key BLOB NOT NULL, path TEXT NOT NULL, width INTEGER NOT NULL, height INTEGER NOT NULL, "
    "data BLOB NOT NULL, mime TEXT NOT NULL, "
    "create_at INTEGER NOT NULL DEFAULT CURRENT_TIMESTAMP, file_modified INTEGER NOT NULL, "
    "UNIQUE(key, width, height) );"
    "CREATE INDEX IF NOT EXISTS idx_thumb_key_dimensions ON thumbnails(key, width, height);";

// The smallest stored size that covers the one asked for and is not older than the file.
constexpr const char* kLookup =
    "SELECT data, mime, file_modified FROM ( SELECT data, width, height, mime, file_modified,"
    "         RANK() OVER (ORDER BY (width*height) ASC) as size_rank  FROM thumbnails  WHERE key=?"
    " AND width>=? AND height>=? AND file_modified >= ?) WHERE size_rank = 1 LIMIT 1";

constexpr const char* kStore =
    "INSERT OR REPLACE INTO thumbnails (key, width, height, data, mime, create_at, file_modified,"
    " path) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";

constexpr const char* kDelete = "DELETE FROM thumbnails WHERE path = ?";

// The cache's state; the mutex guards it and every use of the connection.
std::mutex gMutex;
std::string gPath;
std::shared_ptr<zrksqlite::SQLiteDB> gDb;
bool gSchemaReady = false;
// The lookup, compiled once per connection: a folder view asks for hundreds of thumbnails at
// once, and compiling the query took longer than running it.
sqlite3_stmt* gLookupStatement = nullptr;

// The key of a path: the SHA-1 digest of its bytes, as given.
std::vector<uint8_t> pathKey(const std::string& path) {
    auto digest = Vesk::TData::sha1(std::make_shared<Vesk::TData>(path.data(), path.size()));
    return std::vector<uint8_t>(digest->bytes(), digest->bytes() + digest->length());
}

// The file's modification time in microseconds since 1970. A file that cannot be read raises
// the POCO file error its caller expects (Poco::FileNotFoundException for a missing one).
int64_t fileModified(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw Poco::FileNotFoundException(path);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        // Let POCO name the failure; should the file have appeared meanwhile, take its time.
        return Poco::File(path).getLastModified().epochMicroseconds();
    }
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
}

// The file's modification time when it can be read at once, taken before the cache's lock so
// that no other caller waits on the file system; the failure is named later, by fileModified.
bool readableModified(const std::string& path, int64_t& micros) {
    struct stat st;
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return false;
    micros = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    return true;
}

int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool fileMissing(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool isDamage(int code) {
    code &= 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// The result code behind a failure of the wrapper: its own, or the connection's last one.
int failureCode(const std::exception& e, const std::shared_ptr<zrksqlite::SQLiteDB>& db) {
    if (auto* sqliteError = dynamic_cast<const zrksqlite::SQLiteException*>(&e))
        return sqliteError->code();
    return db && db->handle() ? sqlite3_errcode(db->handle()) : SQLITE_OK;
}

void dropConnection() {
    sqlite3_finalize(gLookupStatement);  // null is harmless
    gLookupStatement = nullptr;
    if (gDb) gDb->close();
    gDb.reset();
    gSchemaReady = false;
}

// Thumbnails are a cache: a damaged database is moved aside, never fatal. The next open starts
// an empty one.
void moveAside(const char* reason) {
    dropConnection();
    const std::string aside = gPath + ".corrupt";
    ZRK_LOG_ERROR("Thumbnail cache %s is damaged (%s); moved aside to %s and started anew",
                  gPath.c_str(), reason, aside.c_str());
    if (std::rename(gPath.c_str(), aside.c_str()) != 0) ::unlink(gPath.c_str());
    // A log left by the damaged database must never be replayed into the new one.
    ::unlink((gPath + "-wal").c_str());
    ::unlink((gPath + "-shm").c_str());
}

void createSchemaLocked(const std::shared_ptr<zrksqlite::SQLiteDB>& db) {
    if (db && !gSchemaReady) {
        db->execute(kSchema);
        gSchemaReady = true;
    }
}

std::shared_ptr<zrksqlite::SQLiteDB> openLocked() {
    if (!gPath.empty() && fileMissing(gPath)) dropConnection();
    if (gPath.empty()) gPath = zrk::dataDirectory() + kFileName;
    if (gDb) return gDb;

    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(gPath).parent_path(), ec);
    for (int attempt = 0; attempt < 2 && !gDb; ++attempt) {
        try {
            gDb = zrksqlite::SQLiteDB::tryOpen(gPath, kOpenFlags, true, kBusyTimeoutMs);
            if (!gDb) {
                ZRK_LOG_ERROR("Cannot open the thumbnail cache %s", gPath.c_str());
                break;
            }
            gSchemaReady = false;
            createSchemaLocked(gDb);
        } catch (const std::exception& e) {
            int code = failureCode(e, gDb);
            dropConnection();
            if (isDamage(code) && attempt == 0) {
                moveAside(e.what());
            } else {
                ZRK_LOG_ERROR("%s", e.what());
                break;
            }
        }
    }
    return gDb;
}

// The compiled lookup of the open connection.
sqlite3_stmt* lookupStatement(const std::shared_ptr<zrksqlite::SQLiteDB>& db) {
    if (gLookupStatement == nullptr) {
        sqlite3_stmt* stmt = nullptr;
        const int rc = sqlite3_prepare_v3(db->handle(), kLookup, -1, SQLITE_PREPARE_PERSISTENT,
                                          &stmt, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            throw zrksqlite::SQLiteException(rc, sqlite3_errmsg(db->handle()));
        }
        gLookupStatement = stmt;
    }
    return gLookupStatement;
}

// Leaves a statement ready for its next use: reset, with no value bound.
class StatementReset {
public:
    explicit StatementReset(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~StatementReset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    StatementReset(const StatementReset&) = delete;
    StatementReset& operator=(const StatementReset&) = delete;

private:
    sqlite3_stmt* stmt_;
};

void checkBind(int rc, const std::shared_ptr<zrksqlite::SQLiteDB>& db) {
    if (rc != SQLITE_OK) throw zrksqlite::SQLiteException(rc, sqlite3_errmsg(db->handle()));
}

// Handles a failure of a statement on the connection: a damaged database is moved aside (true),
// anything else is only reported by the caller (false).
bool recoverFromDamage(const std::exception& e, const std::shared_ptr<zrksqlite::SQLiteDB>& db) {
    if (!isDamage(failureCode(e, db))) return false;
    moveAside(e.what());
    return true;
}

}  // namespace

std::shared_ptr<zrksqlite::SQLiteDB> ThumbCache::open() {
    std::lock_guard<std::mutex> lock(gMutex);
    return openLocked();
}

void ThumbCache::createSchema(const std::shared_ptr<zrksqlite::SQLiteDB>& db) {
    std::lock_guard<std::mutex> lock(gMutex);
    createSchemaLocked(db);
}

std::shared_ptr<ThumbCache::CacheItem> ThumbCache::get(const std::string& path, int32_t width,
                                                       int32_t height) {
    const std::vector<uint8_t> key = pathKey(path);
    int64_t modified = 0;
    const bool statted = readableModified(path, modified);
    std::lock_guard<std::mutex> lock(gMutex);
    auto db = openLocked();
    if (!db) return nullptr;
    if (!statted) modified = fileModified(path);
    try {
        sqlite3_stmt* lookup = lookupStatement(db);
        const StatementReset resetAfterUse(lookup);
        checkBind(sqlite3_bind_blob(lookup, 1, key.data(), static_cast<int>(key.size()),
                                    SQLITE_STATIC),
                  db);
        checkBind(sqlite3_bind_int(lookup, 2, width), db);
        checkBind(sqlite3_bind_int(lookup, 3, height), db);
        checkBind(sqlite3_bind_int64(lookup, 4, modified), db);
        const int rc = sqlite3_step(lookup);
        if (rc == SQLITE_DONE) return nullptr;
        if (rc != SQLITE_ROW) throw zrksqlite::SQLiteException(rc, sqlite3_errmsg(db->handle()));
        // Columns: data, mime, file_modified.
        auto item = std::make_shared<CacheItem>();
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(lookup, 0));
        item->data.assign(data, data + (data ? sqlite3_column_bytes(lookup, 0) : 0));
        const auto* mime = reinterpret_cast<const char*>(sqlite3_column_text(lookup, 1));
        if (mime) item->mime.assign(mime, static_cast<size_t>(sqlite3_column_bytes(lookup, 1)));
        item->fileModified = sqlite3_column_int64(lookup, 2);
        return item;
    } catch (const std::exception& e) {
        // After a damaged database is moved aside, this is a miss.
        if (!recoverFromDamage(e, db)) ZRK_LOG_ERROR("%s", e.what());
        return nullptr;
    }
}

bool ThumbCache::put(const std::string& path, int32_t width, int32_t height, const uint8_t* data,
                     size_t length, const std::string& mime, CacheItem* item) {
    const std::vector<uint8_t> key = pathKey(path);
    const std::vector<uint8_t> bytes =
        data ? std::vector<uint8_t>(data, data + length) : std::vector<uint8_t>();
    std::lock_guard<std::mutex> lock(gMutex);
    auto db = openLocked();
    if (!db) return false;
    const int64_t modified = fileModified(path);
    // A damaged database is moved aside and the thumbnail stored in the new one.
    for (int attempt = 0; attempt < 2 && db; ++attempt) {
        try {
            zrksqlite::Statement store = db->prepareStatement(kStore);
            store.bindBlob(1, key);
            store.bindInt(2, width);
            store.bindInt(3, height);
            store.bindBlob(4, bytes);
            store.bindText(5, mime);
            store.bindInt64(6, nowSeconds());
            store.bindInt64(7, modified);
            store.bindText(8, path);
            store.execute();
            if (item) {
                item->mime = mime;
                item->fileModified = modified;
                item->data = bytes;
            }
            return true;
        } catch (const std::exception& e) {
            if (attempt > 0 || !recoverFromDamage(e, db)) {
                ZRK_LOG_ERROR("%s", e.what());
                return false;
            }
            db = openLocked();
        }
    }
    return false;
}

bool ThumbCache::remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto db = openLocked();
    if (!db) return false;
    try {
        zrksqlite::Statement erase = db->prepareStatement(kDelete);
        erase.bindText(1, path);
        erase.execute();
        return true;
    } catch (const std::exception& e) {
        // A damaged database moved aside holds no thumbnail of the path any more.
        return recoverFromDamage(e, db);
    }
}

void ThumbCache::reset() {
    std::lock_guard<std::mutex> lock(gMutex);
    dropConnection();
    gPath.clear();
}

// --- the "/thumbnail" endpoint ---------------------------------------------------------------

namespace http {

namespace {

using Response = std::shared_ptr<HttpResponse>;

Response statusReply(int code, const std::string& message) {
    return std::make_shared<HttpStatusResponse>(code, message);
}

// What the caching step is told about a thumbnail: its byte count and the time of the image
// file it was made from.
struct ThumbVersion {
    uint64_t size = 0;
    int64_t modifiedMicros = 0;
};

int thumbVersion(const char*, size_t, uint64_t* size, int64_t* modifiedMicros, void* userData) {
    const auto* version = static_cast<const ThumbVersion*>(userData);
    *size = version->size;
    *modifiedMicros = version->modifiedMicros;
    return 0;
}

// The image file's modification time in microseconds; false when it cannot be read.
bool imageModified(const std::string& path, int64_t& micros) {
    struct stat st;
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return false;
    micros = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    return true;
}

const char* thumbnailMime(int32_t option, const std::string& bytes) {
    if ((option & 0x2) == 0) return "image/jpeg";
    if (bytes.size() > 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xD8) {
        return "image/jpeg";
    }
    return "image/png";
}

}  // namespace

std::string HttpThumbnailHandler::normalizeThumbnailPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    return out;
}

Response HttpThumbnailHandler::answerGet(HttpRequest* request) {
    std::string path;
    int32_t width = 0, height = 0, option = 0, subimage = 0, level = 0;
    bool useCache = true;
    try {
        const Poco::URI uri(request->uri());
        std::string rawPath, rawWidth, rawHeight, rawOption, rawSubimage, rawLevel, rawExpire;
        for (const auto& [name, value] : fileserving::parseQuery(uri.getRawQuery())) {
            if (equalsIgnoringCase(name, "path")) rawPath = value;
            else if (equalsIgnoringCase(name, "width")) rawWidth = value;
            else if (equalsIgnoringCase(name, "height")) rawHeight = value;
            else if (equalsIgnoringCase(name, "option")) rawOption = value;
            else if (equalsIgnoringCase(name, "nocache")) useCache = false;
            else if (equalsIgnoringCase(name, "subimage")) rawSubimage = value;
            else if (equalsIgnoringCase(name, "level")) rawLevel = value;
            else if (equalsIgnoringCase(name, "expire")) rawExpire = value;
        }
        Poco::URI::decode(rawPath, path);
        auto number = [](const std::string& text, const char* name) {
            return text.empty() ? 0 : parseInt32(text, name);
        };
        width = number(rawWidth, "width");
        height = number(rawHeight, "height");
        option = number(rawOption, "option");
        subimage = number(rawSubimage, "subimage");
        level = number(rawLevel, "level");
        (void)number(rawExpire, "expire");
    } catch (const Poco::Exception& e) {
        return statusReply(400, e.displayText());
    } catch (const std::exception& e) {
        return statusReply(400, e.what());
    }
    if (subimage > 0 || level > 0) useCache = false;
    if (request->isCancelled()) return statusReply(0, "request is cancelled");
    if (path.empty()) return statusReply(404, "File not found");
    path = normalizeThumbnailPath(path);
    const bool freeSize = (option & 0x1000) != 0;
    if (width == 0 && !freeSize) width = 300;
    if (height == 0 && !freeSize) height = 300;

    try {
        zrk::CodecLibrary& codec = zrk::CodecLibrary::instance();
        codec.setMaxImageSize();
        Response answer;
        ThumbVersion version;
        bool versioned = false;
        if (useCache) {
            if (auto item = ThumbCache::get(path, width, height)) {
                answer = std::make_shared<HttpMimeResponse>(
                    std::string(item->data.begin(), item->data.end()), item->mime.c_str());
                version = ThumbVersion{item->data.size(), item->fileModified};
                versioned = true;
            }
        }
        if (!answer) {
            int32_t length = 0, madeWidth = width, madeHeight = height;
            unsigned char* buffer = codec.readThumbnail(path.c_str(), &length, &madeWidth,
                                                        &madeHeight, option, subimage, level);
            if (buffer == nullptr) return statusReply(410, "Thumbnail not found");
            std::string bytes;
            try {
                bytes.assign(reinterpret_cast<const char*>(buffer),
                             length > 0 ? static_cast<size_t>(length) : 0);
            } catch (...) {
                codec.freeResource(buffer);
                throw;
            }
            const char* mime = thumbnailMime(option, bytes);
            codec.freeResource(buffer);
            ThumbCache::CacheItem item;
            if (useCache &&
                ThumbCache::put(path, width, height, reinterpret_cast<const uint8_t*>(bytes.data()),
                                bytes.size(), mime, &item)) {
                version = ThumbVersion{item.data.size(), item.fileModified};
                versioned = true;
            } else {
                // Nothing was stored: the validators come from the bytes sent and the image
                // file's own time, so a changed file never earns a 304 for old bytes.
                versioned = imageModified(path, version.modifiedMicros);
                version.size = bytes.size();
            }
            answer = std::make_shared<HttpMimeResponse>(std::move(bytes), mime);
        }
        if (versioned && answer->status() == 200) {
            HttpLocalfileHandler::applyCacheHeaders(path, request, answer, -1, true, &thumbVersion,
                                                    &version);
        }
        return answer;
    } catch (const Poco::Exception& e) {
        return statusReply(410, e.displayText());
    } catch (const std::exception& e) {
        return statusReply(410, e.what());
    } catch (...) {
        return statusReply(410, "unknown error");
    }
}

bool HttpThumbnailHandler::handleGet(HttpRequest* request, HttpResponseConnection* connection) {
    const Response answer = answerGet(request);
    sendResponse(connection, request, answer.get());
    return true;
}

Response HttpThumbnailHandler::removeAction(const nlohmann::json& body) {
    if (body.is_object()) {
        auto it = body.find("path");
        if (it != body.end() && it->is_string() && !it->get<std::string>().empty()) {
            const bool removed = ThumbCache::remove(it->get<std::string>());
            return std::make_shared<HttpMimeResponse>(nlohmann::json(removed).dump(),
                                                      "application/json");
        }
    }
    throw std::invalid_argument("path is empty");
}

Response HttpThumbnailHandler::answerPost(HttpRequest* request) {
    try {
        std::string text;
        for (;;) {
            const std::string piece = request->read(1024);
            text += piece;
            if (piece.size() < 1024) break;
        }
        const nlohmann::json body = nlohmann::json::parse(text);
        std::string action;
        if (body.is_object()) {
            auto it = body.find("action");
            if (it != body.end() && it->is_string()) action = it->get<std::string>();
        }
        using Action = Response (*)(const nlohmann::json&);
        const std::map<std::string, Action> actions = {
            {"remove", &HttpThumbnailHandler::removeAction}};
        auto found = actions.find(action);
        if (found == actions.end()) return statusReply(400, "Bad request, unknown action: ");
        return found->second(body);
    } catch (const std::exception& e) {
        return statusReply(444, e.what());
    } catch (...) {
        return statusReply(444, "unknown error");
    }
}

bool HttpThumbnailHandler::handlePost(HttpRequest* request, HttpResponseConnection* connection) {
    const Response answer = answerPost(request);
    sendResponse(connection, request, answer.get());
    return true;
}

}  // namespace http

void http::registerThumbnailHandler() {
    static const http::HandlerWrapper wrapper(std::make_shared<http::HttpThumbnailHandler>(),
                                              false);
    static const bool hooks = [] {
        http::addLargeContentPath("/thumbnail");
        return true;
    }();
    (void)wrapper;
    (void)hooks;
}
