// A connection to an SQLite database, the wrapper's exception and the transaction guard.
//
// SQLite's own header stays out of here: the handles are only forward-declared.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "zrksqlite/statement.h"

struct sqlite3;
struct sqlite3_context;
struct sqlite3_value;

namespace zrksqlite {

// A failure reported by SQLite: the message and SQLite's result code.
class SQLiteException : public std::runtime_error {
public:
    SQLiteException(int code, const std::string& message);

    int code() const noexcept { return code_; }
    // The message, then " (", the code in decimal and ")".
    std::string fullMessage() const;

private:
    int code_;
};

// The constant name of a primary SQLite result code ("SQLITE_CANTOPEN"), or "UNKNOWN_ERROR".
const char* errorCodeName(int code);
// The version text of the SQLite library the program runs with.
const char* sqliteVersion();
// SQLite's compile-time threading mode (0 single-thread, 1 serialized, 2 multi-thread).
int threadSafety();

// One column of a table, as the table-info pragma reports it.
struct ColumnInfo {
    std::string name;
    std::string type;  // the declared type
    FieldType fieldType = FieldType::Unknown;
    bool notNull = false;
    bool primaryKey = false;
    std::string defaultValue;  // the default's SQL text, empty without one
};

using ScalarFunction = void (*)(sqlite3_context*, int, sqlite3_value**);
using FinalFunction = void (*)(sqlite3_context*);

// One open connection, always held through a shared pointer. The holders serialise their use of
// the statements made from it; the wrapper itself takes no lock.
class SQLiteDB {
public:
    // Opens the file at `path` (UTF-8) with SQLite's open flags, switches to the write-ahead log
    // when `wal` is set and applies the busy time-out. A failed open throws SQLiteException whose
    // message is the code's name; a failing pragma throws with SQLite's text.
    static std::shared_ptr<SQLiteDB> open(const std::string& path, int flags, bool wal,
                                          int busyTimeoutMs);
    // The same, but an empty pointer when SQLite cannot open the file. A failing pragma (a file
    // that is not a database, say) still throws.
    static std::shared_ptr<SQLiteDB> tryOpen(const std::string& path, int flags, bool wal,
                                             int busyTimeoutMs);

    ~SQLiteDB();
    SQLiteDB(const SQLiteDB&) = delete;
    SQLiteDB& operator=(const SQLiteDB&) = delete;

    // Closes the connection; a second call does nothing. Statements that are still alive keep
    // the connection's memory until they are finalized, never its use.
    void close();
    bool isOpen() const { return db_ != nullptr; }

    // Runs one or more statements; the number of rows changed by the last one.
    int64_t execute(const std::string& sql);
    // Compiles the first statement of `sql`.
    Statement prepareStatement(const std::string& sql);
    Query prepareQuery(const std::string& sql);

    bool hasTable(const char* name);
    bool hasColumn(const char* table, const char* column);
    std::vector<ColumnInfo> tableInfo(const char* table);
    int64_t lastInsertRowId();

    void createFunction(const std::string& name, int argumentCount, int textEncoding,
                        void* userData, ScalarFunction function, ScalarFunction step,
                        FinalFunction final);

    // The raw handle, for what the wrapper does not cover; null once closed.
    sqlite3* handle() const { return db_; }

private:
    explicit SQLiteDB(sqlite3* db) : db_(db) {}
    static std::shared_ptr<SQLiteDB> openImpl(const std::string& path, int flags, bool wal,
                                              int busyTimeoutMs, bool throwOnFailure);
    sqlite3* checkedHandle() const;
    sqlite3_stmt* prepare(const std::string& sql);

    sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE on construction; COMMIT or ROLLBACK by hand, ROLLBACK when it goes away
// unfinished. The destructor never throws: a failing rollback is logged.
class Transaction {
public:
    explicit Transaction(SQLiteDB& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit();
    void rollback();

private:
    SQLiteDB* db_;
    bool finished_ = false;
};

}  // namespace zrksqlite
