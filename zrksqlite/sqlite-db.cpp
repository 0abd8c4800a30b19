#include "zrksqlite/sqlite-db.h"

#include <sqlite3.h>

#include "vesk/log.h"

namespace zrksqlite {

SQLiteException::SQLiteException(int code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

std::string SQLiteException::fullMessage() const {
    return std::string(what()) + " (" + std::to_string(code_) + ")";
}

const char* errorCodeName(int code) {
    static const char* const names[] = {
        "SQLITE_OK",       "SQLITE_ERROR",    "SQLITE_INTERNAL", "SQLITE_PERM",
        "SQLITE_ABORT",    "SQLITE_BUSY",     "SQLITE_LOCKED",   "SQLITE_NOMEM",
        "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",   "SQLITE_CORRUPT",
        "SQLITE_NOTFOUND", "SQLITE_FULL",     "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",
        "SQLITE_EMPTY",    "SQLITE_SCHEMA",   "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
        "SQLITE_MISMATCH", "SQLITE_MISUSE",   "SQLITE_NOLFS",    "SQLITE_AUTH",
        "SQLITE_FORMAT",   "SQLITE_RANGE",
    };
    if (code >= 0 && code < static_cast<int>(sizeof(names) / sizeof(names[0]))) return names[code];
    if (code == SQLITE_ROW) return "SQLITE_ROW";
    if (code == SQLITE_DONE) return "SQLITE_DONE";
    return "UNKNOWN_ERROR";
}

const char* sqliteVersion() { return sqlite3_libversion(); }

int threadSafety() { return sqlite3_threadsafe(); }

// --- SQLiteDB ----------------------------------------------------------------------------------

std::shared_ptr<SQLiteDB> SQLiteDB::open(const std::string& path, int flags, bool wal,
                                         int busyTimeoutMs) {
    return openImpl(path, flags, wal, busyTimeoutMs, true);
}

std::shared_ptr<SQLiteDB> SQLiteDB::tryOpen(const std::string& path, int flags, bool wal,
                                            int busyTimeoutMs) {
    return openImpl(path, flags, wal, busyTimeoutMs, false);
}

std::shared_ptr<SQLiteDB> SQLiteDB::openImpl(const std::string& path, int flags, bool wal,
                                             int busyTimeoutMs, bool throwOnFailure) {
    int rc;
    sqlite3* handle = nullptr;
    if (path.find('\0') != std::string::npos) {
        // SQLite would see only the part before the NUL, a different file.
        rc = SQLITE_CANTOPEN;
    } else {
        rc = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(handle);  // SQLite hands back a half-open handle; null is harmless
        if (throwOnFailure) throw SQLiteException(rc, errorCodeName(rc));
        return nullptr;
    }
    std::shared_ptr<SQLiteDB> db(new SQLiteDB(handle));
    if (wal) db->execute("PRAGMA journal_mode=WAL;");
    db->execute("PRAGMA busy_timeout=" + std::to_string(busyTimeoutMs) + ";");
    return db;
}

SQLiteDB::~SQLiteDB() { close(); }

void SQLiteDB::close() {
    if (!db_) return;
    // The deferred close: statements still alive keep the connection's memory until they are
    // finalized, instead of leaving it open and unreachable.
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

sqlite3* SQLiteDB::checkedHandle() const {
    if (!db_) throw std::runtime_error("Database is not open");
    return db_;
}

int64_t SQLiteDB::execute(const std::string& sql) {
    sqlite3* db = checkedHandle();
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw SQLiteException(rc, message);
    }
    return sqlite3_changes64(db);
}

sqlite3_stmt* SQLiteDB::prepare(const std::string& sql) {
    sqlite3* db = checkedHandle();
    if (sql.empty()) throw std::invalid_argument("SQL statement is empty");
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        throw SQLiteException(rc, sqlite3_errmsg(db));
    }
    return stmt;
}

Statement SQLiteDB::prepareStatement(const std::string& sql) { return Statement(prepare(sql)); }

Query SQLiteDB::prepareQuery(const std::string& sql) { return Query(prepare(sql)); }

bool SQLiteDB::hasTable(const char* name) {
    checkedHandle();
    if (!name) return false;
    Query query = prepareQuery("SELECT name FROM sqlite_master WHERE type='table' AND name=?");
    query.bindText(1, name);
    return query.begin() != query.end();
}

bool SQLiteDB::hasColumn(const char* table, const char* column) {
    checkedHandle();
    if (!table || !column) return false;
    Query query = prepareQuery("SELECT name FROM pragma_table_info(?) WHERE name=?");
    query.bindText(1, table);
    query.bindText(2, column);
    return query.begin() != query.end();
}

std::vector<ColumnInfo> SQLiteDB::tableInfo(const char* table) {
    checkedHandle();
    std::vector<ColumnInfo> columns;
    if (!table) return columns;
    // The name is quoted as an identifier: it is never read as SQL.
    std::string quoted = "\"";
    for (const char* p = table; *p; ++p) {
        if (*p == '"') quoted += '"';
        quoted += *p;
    }
    quoted += '"';
    Query query = prepareQuery("PRAGMA table_info(" + quoted + ")");
    for (auto it = query.begin(); it != query.end(); ++it) {
        ColumnInfo info;
        info.name = it->getStringByName("name");
        info.type = it->getStringByName("type");
        info.fieldType = fieldTypeOf(info.type);
        info.notNull = it->getIntByName("notnull") != 0;
        info.primaryKey = it->getIntByName("pk") != 0;
        info.defaultValue = it->getStringByName("dflt_value");
        columns.push_back(std::move(info));
    }
    return columns;
}

int64_t SQLiteDB::lastInsertRowId() { return sqlite3_last_insert_rowid(checkedHandle()); }

void SQLiteDB::createFunction(const std::string& name, int argumentCount, int textEncoding,
                              void* userData, ScalarFunction function, ScalarFunction step,
                              FinalFunction final) {
    sqlite3* db = checkedHandle();
    int rc = sqlite3_create_function(db, name.c_str(), argumentCount, textEncoding, userData,
                                     function, step, final);
    if (rc != SQLITE_OK) throw SQLiteException(rc, sqlite3_errmsg(db));
}

// --- Transaction -------------------------------------------------------------------------------

Transaction::Transaction(SQLiteDB& db) : db_(&db) { db_->execute("BEGIN IMMEDIATE TRANSACTION"); }

Transaction::~Transaction() {
    if (finished_) return;
    // SQLite may already have ended the transaction itself (after a failed COMMIT or an I/O
    // error); a ROLLBACK then has nothing to undo.
    if (db_->handle() && sqlite3_get_autocommit(db_->handle())) return;
    try {
        db_->execute("ROLLBACK");
    } catch (const std::exception& e) {
        ZRK_LOG_ERROR("Transaction rollback failed: %s", e.what());
    }
}

void Transaction::commit() {
    db_->execute("COMMIT");
    finished_ = true;
}

void Transaction::rollback() {
    db_->execute("ROLLBACK");
    finished_ = true;
}

}  // namespace zrksqlite
