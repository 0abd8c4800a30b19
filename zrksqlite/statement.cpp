#include "zrksqlite/statement.h"

#include <sqlite3.h>

#include <stdexcept>

namespace zrksqlite {

namespace {

// SQLite's current error text for the statement's connection.
std::string errorText(sqlite3_stmt* stmt) {
    sqlite3* db = stmt ? sqlite3_db_handle(stmt) : nullptr;
    return db ? sqlite3_errmsg(db) : "no prepared statement";
}

int checkBind(sqlite3_stmt* stmt, int rc, const char* what) {
    if (rc != SQLITE_OK) throw std::runtime_error(std::string(what) + errorText(stmt));
    return rc;
}

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringAsciiCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (upperAscii(*a) != upperAscii(*b)) return false;
    }
    return *a == *b;
}

}  // namespace

FieldType fieldTypeOf(const std::string& declaredType) {
    std::string upper(declaredType);
    for (char& c : upper) c = upperAscii(c);
    auto has = [&upper](const char* part) { return upper.find(part) != std::string::npos; };
    if (has("INT")) return FieldType::Integer;
    if (has("CHAR") || has("TEXT") || has("CLOB")) return FieldType::Text;
    if (has("REAL") || has("FLOA") || has("DOUB")) return FieldType::Real;
    if (has("BLOB")) return FieldType::Blob;
    if (has("BOOL")) return FieldType::Boolean;
    if (has("DATE")) return FieldType::Date;
    if (has("TIME")) return FieldType::Time;
    if (has("NUM")) return FieldType::Numeric;
    return FieldType::Unknown;
}

// --- Binding -----------------------------------------------------------------------------------

Bindable::Bindable(Bindable&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }

Bindable& Bindable::operator=(Bindable&& other) noexcept {
    if (this != &other) {
        finalize();
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

Bindable::~Bindable() { finalize(); }

void Bindable::finalize() {
    if (stmt_) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

int Bindable::bindText(int index, const std::string& value) {
    // The explicit length keeps text with an embedded NUL whole.
    return checkBind(stmt_,
                     sqlite3_bind_text64(stmt_, index, value.data(), value.size(),
                                         SQLITE_TRANSIENT, SQLITE_UTF8),
                     "sqlite3_bind_text() error: ");
}

int Bindable::bindBlob(int index, const std::vector<uint8_t>& value) {
    // An empty vector may have no data pointer, which SQLite would bind as NULL: bind a
    // zero-length blob instead, so an empty blob stays an empty blob.
    int rc = value.empty()
                 ? sqlite3_bind_zeroblob(stmt_, index, 0)
                 : sqlite3_bind_blob64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT);
    return checkBind(stmt_, rc, "sqlite3_bind_blob() error: ");
}

int Bindable::bindInt(int index, int value) {
    return checkBind(stmt_, sqlite3_bind_int(stmt_, index, value), "sqlite3_bind_int() error: ");
}

int Bindable::bindDouble(int index, double value) {
    return checkBind(stmt_, sqlite3_bind_double(stmt_, index, value),
                     "sqlite3_bind_double() error: ");
}

int Bindable::bindInt64(int index, int64_t value) {
    return checkBind(stmt_, sqlite3_bind_int64(stmt_, index, value),
                     "sqlite3_bind_int64() error: ");
}

int Bindable::bindNull(int index) {
    return checkBind(stmt_, sqlite3_bind_null(stmt_, index), "sqlite3_bind_null() error: ");
}

// --- Statement ---------------------------------------------------------------------------------

int64_t Statement::execute() {
    // A text of only blanks or comments compiles to no statement: it runs and changes nothing.
    if (!stmt_) return 0;
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_DONE) {
        std::string message = "sqlite3_step() error: " + errorText(stmt_);
        // Reset (bindings kept) so the statement neither stays running, holding its locks, nor
        // refuses the next binds.
        sqlite3_reset(stmt_);
        throw std::runtime_error(message);
    }
    if (sqlite3_reset(stmt_) != SQLITE_OK)
        throw std::runtime_error("sqlite3_reset() error: " + errorText(stmt_));
    sqlite3_clear_bindings(stmt_);
    return sqlite3_changes64(sqlite3_db_handle(stmt_));
}

int64_t Statement::lastInsertRowId() const {
    return stmt_ ? sqlite3_last_insert_rowid(sqlite3_db_handle(stmt_)) : 0;
}

// --- Query and its iterator --------------------------------------------------------------------

RowIterator Query::begin() {
    if (!stmt_) return RowIterator();
    return RowIterator(this);
}

int Query::columnCount() const { return stmt_ ? sqlite3_column_count(stmt_) : 0; }

RowIterator Query::firstRow() {
    RowIterator it = begin();
    if (it == end()) throw std::runtime_error("No rows returned by query");
    return it;
}

RowIterator::RowIterator(Query* query) : query_(query), atEnd_(false) { step(); }

void RowIterator::step() {
    row_.reset();
    if (!query_) return;
    if (!query_->stmt_) {
        // Another iterator of the same query finished it: this one is done too, instead of
        // standing on a row that no longer exists for ever.
        atEnd_ = true;
        query_ = nullptr;
        return;
    }
    int rc = sqlite3_step(query_->stmt_);
    if (rc == SQLITE_ROW) return;
    if (rc == SQLITE_DONE) {
        atEnd_ = true;
        query_->finalize();
        query_ = nullptr;
        return;
    }
    throw std::runtime_error("sqlite3_step() error: " + errorText(query_->stmt_));
}

RowIterator& RowIterator::operator++() {
    step();
    return *this;
}

Row& RowIterator::operator*() {
    if (!row_) {
        if (!query_ || atEnd_) throw std::bad_optional_access();
        row_.emplace(query_->stmt_, query_->stmt_ ? sqlite3_column_count(query_->stmt_) : 0);
    }
    return *row_;
}

Row* RowIterator::operator->() { return &**this; }

// --- Row ---------------------------------------------------------------------------------------

void Row::checkStatement() const {
    if (!stmt_) throw std::runtime_error("Null statment pointer");
    if (!sqlite3_stmt_busy(stmt_)) throw std::runtime_error("Statement not in executable state");
}

void Row::checkIndex(int index) const {
    checkStatement();
    if (index < 0 || index >= columnCount_) throw std::out_of_range("Invalid field index");
}

int Row::columnType(int index) const {
    checkIndex(index);
    return sqlite3_column_type(stmt_, index);
}

std::string Row::columnName(int index) const {
    checkIndex(index);
    const char* name = sqlite3_column_name(stmt_, index);
    return name ? name : "";
}

std::string Row::declaredType(int index) const {
    checkIndex(index);
    // An expression column has no declared type.
    const char* type = sqlite3_column_decltype(stmt_, index);
    return type ? type : "";
}

FieldType Row::fieldType(int index) const { return fieldTypeOf(declaredType(index)); }

bool Row::isNull(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }

std::string Row::getString(int index, const std::string& defaultValue) const {
    checkIndex(index);
    if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return defaultValue;
    // The text first, then its length: the length then counts the converted text.
    const unsigned char* text = sqlite3_column_text(stmt_, index);
    int bytes = sqlite3_column_bytes(stmt_, index);
    if (!text || bytes <= 0) return std::string();
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

std::vector<uint8_t> Row::getBlob(int index) const {
    checkIndex(index);
    if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return {};
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, index));
    int bytes = sqlite3_column_bytes(stmt_, index);
    if (!data || bytes <= 0) return {};
    return std::vector<uint8_t>(data, data + bytes);
}

int Row::getInt(int index, int defaultValue) const {
    checkIndex(index);
    if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return defaultValue;
    return sqlite3_column_int(stmt_, index);
}

int64_t Row::getInt64(int index, int64_t defaultValue) const {
    checkIndex(index);
    if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return defaultValue;
    return sqlite3_column_int64(stmt_, index);
}

double Row::getDouble(int index, double defaultValue) const {
    checkIndex(index);
    if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return defaultValue;
    return sqlite3_column_double(stmt_, index);
}

int Row::columnIndex(const char* name) const {
    checkStatement();
    if (!name) throw std::runtime_error("Invalid field name");
    for (int i = 0; i < columnCount_; ++i) {
        const char* column = sqlite3_column_name(stmt_, i);
        if (column && equalsIgnoringAsciiCase(column, name)) return i;
    }
    throw std::out_of_range(std::string("Field \"") + name + "\" not found.");
}

bool Row::isNullByName(const char* name) const { return isNull(columnIndex(name)); }

std::string Row::getStringByName(const char* name, const std::string& defaultValue) const {
    return getString(columnIndex(name), defaultValue);
}

std::vector<uint8_t> Row::getBlobByName(const char* name) const {
    return getBlob(columnIndex(name));
}

int Row::getIntByName(const char* name, int defaultValue) const {
    return getInt(columnIndex(name), defaultValue);
}

int64_t Row::getInt64ByName(const char* name, int64_t defaultValue) const {
    return getInt64(columnIndex(name), defaultValue);
}

double Row::getDoubleByName(const char* name, double defaultValue) const {
    return getDouble(columnIndex(name), defaultValue);
}

}  // namespace zrksqlite
