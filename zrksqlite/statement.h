// Prepared statements, queries, the row iterator and typed column access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

struct sqlite3_stmt;

namespace zrksqlite {

// What a declared column type means, by SQLite's substring rules.
enum class FieldType {
    Integer = 0,
    Text = 1,
    Real = 2,
    Blob = 3,
    Numeric = 4,
    Boolean = 5,
    Date = 6,
    Time = 7,
    Unknown = 8,
};

// The field type of a declared column type ("VARCHAR(20)" is Text, "" is Unknown).
FieldType fieldTypeOf(const std::string& declaredType);

// The six binds, shared by statements and queries. Indexes count from 1. Values are copied by
// SQLite at once. A refused bind throws std::runtime_error naming the SQLite call.
class Bindable {
public:
    int bindText(int index, const std::string& value);
    int bindBlob(int index, const std::vector<uint8_t>& value);
    int bindInt(int index, int value);
    int bindDouble(int index, double value);
    int bindInt64(int index, int64_t value);
    int bindNull(int index);

    sqlite3_stmt* handle() const { return stmt_; }

protected:
    Bindable() = default;
    explicit Bindable(sqlite3_stmt* stmt) : stmt_(stmt) {}
    Bindable(Bindable&& other) noexcept;
    Bindable& operator=(Bindable&& other) noexcept;
    ~Bindable();
    Bindable(const Bindable&) = delete;
    Bindable& operator=(const Bindable&) = delete;

    void finalize();

    sqlite3_stmt* stmt_ = nullptr;
};

// A prepared statement that returns no rows.
class Statement : public Bindable {
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt* stmt) : Bindable(stmt) {}
    Statement(Statement&&) noexcept = default;
    Statement& operator=(Statement&&) noexcept = default;

    // Runs the statement once; it must finish. Then resets it and clears its bindings, so it can
    // be bound and run again. The number of rows it changed. A failure resets it too, keeping its
    // bindings.
    int64_t execute();
    int64_t lastInsertRowId() const;
};

class Query;

// A view of the current row of a query, valid until the iterator moves on. Column indexes count
// from 0.
class Row {
public:
    Row(sqlite3_stmt* stmt, int columnCount) : stmt_(stmt), columnCount_(columnCount) {}

    int columnCount() const { return columnCount_; }
    // SQLite's fundamental type: 1 integer, 2 float, 3 text, 4 blob, 5 null.
    int columnType(int index) const;
    std::string columnName(int index) const;
    // The declared type of a table column; empty for an expression.
    std::string declaredType(int index) const;
    FieldType fieldType(int index) const;

    bool isNull(int index) const;
    std::string getString(int index, const std::string& defaultValue = std::string()) const;
    std::vector<uint8_t> getBlob(int index) const;
    int getInt(int index, int defaultValue = 0) const;
    int64_t getInt64(int index, int64_t defaultValue = 0) const;
    double getDouble(int index, double defaultValue = 0.0) const;

    // The first column whose name matches, ignoring ASCII case.
    int columnIndex(const char* name) const;

    bool isNullByName(const char* name) const;
    std::string getStringByName(const char* name,
                                const std::string& defaultValue = std::string()) const;
    std::vector<uint8_t> getBlobByName(const char* name) const;
    int getIntByName(const char* name, int defaultValue = 0) const;
    int64_t getInt64ByName(const char* name, int64_t defaultValue = 0) const;
    double getDoubleByName(const char* name, double defaultValue = 0.0) const;

private:
    void checkStatement() const;
    void checkIndex(int index) const;

    sqlite3_stmt* stmt_;
    int columnCount_;
};

// An input iterator over a query's rows. Reaching the end finalizes the query's statement.
class RowIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Row;
    using difference_type = std::ptrdiff_t;
    using pointer = Row*;
    using reference = Row&;

    // The end iterator.
    RowIterator() = default;
    // Performs the first step at once.
    explicit RowIterator(Query* query);

    RowIterator& operator++();
    Row& operator*();
    Row* operator->();

    bool operator==(const RowIterator& other) const {
        return query_ == other.query_ && atEnd_ == other.atEnd_;
    }
    bool operator!=(const RowIterator& other) const { return !(*this == other); }

private:
    void step();

    std::optional<Row> row_;
    Query* query_ = nullptr;
    bool atEnd_ = true;
};

// A prepared statement that returns rows. It can be iterated once: the end finalizes it.
class Query : public Bindable {
public:
    Query() = default;
    explicit Query(sqlite3_stmt* stmt) : Bindable(stmt) {}
    Query(Query&&) noexcept = default;
    Query& operator=(Query&&) noexcept = default;

    // Steps to the first row (every call steps once more).
    RowIterator begin();
    RowIterator end() { return RowIterator(); }
    int columnCount() const;
    // The iterator on the first row; throws "No rows returned by query" when there is none.
    RowIterator firstRow();

private:
    friend class RowIterator;
};

}  // namespace zrksqlite
