// Statements, queries, the row iterator and column access.
#include <sqlite3.h>

#include <functional>

#include "test-support.h"
#include "zrksqlite/sqlite-db.h"

using namespace zrksqlite;

namespace {

class SQLiteStatementTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = SQLiteDB::open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, false, 0);
        db->execute("CREATE TABLE t(id INTEGER PRIMARY KEY, txt TEXT, bin BLOB, num INT,"
                    " big BIGINT, real DOUBLE PRECISION)");
    }

    // The one value of a single-row, single-column query.
    std::string scalar(const std::string& sql) {
        Query q = db->prepareQuery(sql);
        return q.begin()->getString(0, "<null>");
    }

    std::shared_ptr<SQLiteDB> db;
};

}  // namespace

TEST_F(SQLiteStatementTest, EveryBindAndGetterRoundTrips) {
    Statement insert = db->prepareStatement(
        "INSERT INTO t(txt, bin, num, big, real) VALUES (?, ?, ?, ?, ?)");
    const std::vector<uint8_t> bytes = {0, 1, 2, 39, 255};
    EXPECT_EQ(insert.bindText(1, "héllo"), 0);
    EXPECT_EQ(insert.bindBlob(2, bytes), 0);
    EXPECT_EQ(insert.bindInt(3, -7), 0);
    EXPECT_EQ(insert.bindInt64(4, INT64_C(1) << 40), 0);
    EXPECT_EQ(insert.bindDouble(5, 2.5), 0);
    EXPECT_EQ(insert.execute(), 1);
    EXPECT_EQ(insert.lastInsertRowId(), 1);
    for (int i = 1; i <= 5; ++i) insert.bindNull(i);
    EXPECT_EQ(insert.execute(), 1);

    Query q = db->prepareQuery("SELECT txt, bin, num, big, real FROM t ORDER BY id");
    EXPECT_EQ(q.columnCount(), 5);
    auto it = q.begin();
    ASSERT_NE(it, q.end());
    const Row& row = *it;
    EXPECT_EQ(row.columnCount(), 5);
    EXPECT_EQ(row.getString(0), "héllo");
    EXPECT_EQ(row.getBlob(1), bytes);
    EXPECT_EQ(row.getInt(2), -7);
    EXPECT_EQ(row.getInt64(3), INT64_C(1) << 40);
    EXPECT_DOUBLE_EQ(row.getDouble(4), 2.5);
    EXPECT_EQ(row.getStringByName("TXT"), "héllo");
    EXPECT_EQ(row.getBlobByName("Bin"), bytes);
    EXPECT_EQ(row.getIntByName("num"), -7);
    EXPECT_EQ(row.getInt64ByName("big"), INT64_C(1) << 40);
    EXPECT_DOUBLE_EQ(row.getDoubleByName("REAL"), 2.5);
    EXPECT_FALSE(row.isNullByName("txt"));
    const int types[] = {SQLITE_TEXT, SQLITE_BLOB, SQLITE_INTEGER, SQLITE_INTEGER, SQLITE_FLOAT};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(row.columnType(i), types[i]) << i;
    EXPECT_EQ(row.columnName(3), "big");
    EXPECT_EQ(row.declaredType(3), "BIGINT");
    EXPECT_EQ(row.fieldType(4), FieldType::Real);

    ++it;
    ASSERT_NE(it, q.end());
    // NULLs: the defaults, an empty blob, and the NULL type.
    EXPECT_TRUE(it->isNull(0));
    EXPECT_TRUE(it->isNullByName("big"));
    EXPECT_EQ(it->columnType(0), SQLITE_NULL);
    EXPECT_EQ(it->getString(0, "dflt"), "dflt");
    EXPECT_TRUE(it->getBlob(1).empty());
    EXPECT_EQ(it->getInt(2, 11), 11);
    EXPECT_EQ(it->getInt64ByName("big", -3), -3);
    EXPECT_DOUBLE_EQ(it->getDoubleByName("real", 0.5), 0.5);
    EXPECT_EQ(it->getIntByName("num", 9), 9);

    ++it;
    EXPECT_EQ(it, q.end());
}

TEST_F(SQLiteStatementTest, GettersConvertLikeSQLite) {
    Query q = db->prepareQuery("SELECT 42, '17 apples', 2.75, x'3132'");
    auto it = q.begin();
    EXPECT_EQ(it->getString(0), "42");
    EXPECT_EQ(it->getInt(1), 17);
    EXPECT_EQ(it->getInt64(2), 2);
    EXPECT_EQ(it->getString(3), "12");
    EXPECT_EQ(it->getBlob(0), (std::vector<uint8_t>{'4', '2'}));
    // An expression column has no declared type.
    EXPECT_EQ(it->declaredType(0), "");
    EXPECT_EQ(it->fieldType(0), FieldType::Unknown);
}

TEST_F(SQLiteStatementTest, TextWithNulAndEmptyBlobRoundTripWhole) {
    const std::string withNul("ab\0cd", 5);
    Statement insert = db->prepareStatement("INSERT INTO t(txt, bin) VALUES (?, ?)");
    insert.bindText(1, withNul);
    insert.bindBlob(2, std::vector<uint8_t>());  // never held bytes: no data pointer
    insert.execute();
    insert.bindText(1, "");
    std::vector<uint8_t> emptied = {1, 2, 3};
    emptied.clear();
    insert.bindBlob(2, emptied);
    insert.execute();

    Query q = db->prepareQuery("SELECT txt, bin, length(txt), typeof(bin), length(bin) FROM t"
                               " ORDER BY id");
    auto it = q.begin();
    EXPECT_EQ(it->getString(0), withNul);
    EXPECT_EQ(it->getString(0).size(), 5u);
    EXPECT_EQ(it->getString(3), "blob");
    EXPECT_EQ(it->getInt(4), 0);
    EXPECT_FALSE(it->isNull(1));
    EXPECT_TRUE(it->getBlob(1).empty());
    ++it;
    EXPECT_EQ(it->getString(0, "<null>"), "");
    EXPECT_EQ(it->columnType(0), SQLITE_TEXT);
    EXPECT_EQ(it->getString(3), "blob");
}

TEST_F(SQLiteStatementTest, ExecuteResetsAndClearsBindings) {
    Statement insert = db->prepareStatement("INSERT INTO t(txt, num) VALUES (?, ?)");
    insert.bindText(1, "one");
    insert.bindInt(2, 1);
    EXPECT_EQ(insert.execute(), 1);
    EXPECT_EQ(insert.execute(), 1);  // the bindings were cleared: NULLs
    EXPECT_EQ(scalar("SELECT count(*) FROM t WHERE txt IS NULL AND num IS NULL"), "1");
    EXPECT_EQ(db->prepareStatement("UPDATE t SET num = 5").execute(), 2);
    // Only the first statement of a text is compiled.
    EXPECT_EQ(db->prepareStatement("DELETE FROM t WHERE id = 1; DELETE FROM t").execute(), 1);
    EXPECT_EQ(scalar("SELECT count(*) FROM t"), "1");
    // A text of only a comment compiles to nothing, which runs and changes nothing.
    EXPECT_EQ(db->prepareStatement("  -- nothing").execute(), 0);
    Query nothing = db->prepareQuery("/* nothing */");
    EXPECT_EQ(nothing.begin(), nothing.end());
    EXPECT_EQ(nothing.columnCount(), 0);
}

TEST_F(SQLiteStatementTest, ErrorsCarryTheirExactTexts) {
    db->execute("INSERT INTO t(id) VALUES (1)");
    Statement dup = db->prepareStatement("INSERT INTO t(id) VALUES (?)");
    dup.bindInt(1, 1);
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { dup.execute(); }),
              "sqlite3_step() error: UNIQUE constraint failed: t.id");
    // The failed statement was reset, bindings kept: it can be rebound, or run as it is.
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { dup.execute(); }),
              "sqlite3_step() error: UNIQUE constraint failed: t.id");
    dup.bindInt(1, 2);
    EXPECT_EQ(dup.execute(), 1);

    Statement select = db->prepareStatement("SELECT id FROM t");
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { select.execute(); }),
              "sqlite3_step() error: another row available");
    // Not left running: it holds no read transaction open.
    EXPECT_FALSE(sqlite3_stmt_busy(select.handle()));

    Query overflow = db->prepareQuery("SELECT abs(-9223372036854775807 - 1)");
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { overflow.begin(); }),
              "sqlite3_step() error: integer overflow");

    Statement s = db->prepareStatement("INSERT INTO t(num) VALUES (?)");
    const struct {
        const char* text;
        std::function<void()> bind;
    } binds[] = {
        {"sqlite3_bind_text() error: column index out of range", [&] { s.bindText(2, "x"); }},
        {"sqlite3_bind_blob() error: column index out of range", [&] { s.bindBlob(0, {1}); }},
        {"sqlite3_bind_blob() error: column index out of range", [&] { s.bindBlob(2, {}); }},
        {"sqlite3_bind_int() error: column index out of range", [&] { s.bindInt(-1, 1); }},
        {"sqlite3_bind_double() error: column index out of range", [&] { s.bindDouble(2, 1); }},
        {"sqlite3_bind_int64() error: column index out of range", [&] { s.bindInt64(2, 1); }},
        {"sqlite3_bind_null() error: column index out of range", [&] { s.bindNull(2); }},
    };
    for (const auto& b : binds) EXPECT_EQ(thrownMessage<std::runtime_error>(b.bind), b.text);

    // Binding a running query is refused by SQLite.
    Query running = db->prepareQuery("SELECT id FROM t WHERE id > ?");
    running.bindInt(1, 0);
    auto it = running.begin();
    ASSERT_NE(it, running.end());
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { running.bindInt(1, 5); }),
              "sqlite3_bind_int() error: bad parameter or other API misuse");
}

TEST_F(SQLiteStatementTest, IterationSteppingAndTheEnd) {
    db->execute("INSERT INTO t(num) VALUES (1), (2), (3)");
    {
        Query empty = db->prepareQuery("SELECT num FROM t WHERE num > 10");
        EXPECT_EQ(empty.begin(), empty.end());
        EXPECT_EQ(empty.handle(), nullptr);  // finalized at the end
        EXPECT_EQ(empty.begin(), empty.end());
        EXPECT_EQ(thrownMessage<std::runtime_error>([&] { empty.firstRow(); }),
                  "No rows returned by query");
        RowIterator end = empty.end();
        EXPECT_THROW(*end, std::bad_optional_access);
        EXPECT_THROW(end->columnCount(), std::bad_optional_access);
    }
    {
        Query q = db->prepareQuery("SELECT num FROM t ORDER BY num");
        std::vector<int> seen;
        for (Row& row : q) seen.push_back(row.getInt(0));
        EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(q.begin(), q.end());  // a query is iterated once
    }
    {
        // Every begin steps: a second begin skips a row.
        Query q = db->prepareQuery("SELECT num FROM t ORDER BY num");
        EXPECT_EQ(q.begin()->getInt(0), 1);
        auto second = q.begin();
        EXPECT_EQ(second->getInt(0), 2);
        EXPECT_EQ(q.firstRow()->getInt(0), 3);
    }
    {
        // One iterator finishes the query: the other ends too instead of spinning.
        Query q = db->prepareQuery("SELECT num FROM t ORDER BY num");
        auto a = q.begin();
        auto b = a;
        ++a;
        ++a;
        ++a;
        EXPECT_EQ(a, q.end());
        EXPECT_NE(b, q.end());
        ++b;
        EXPECT_EQ(b, q.end());
    }
}

TEST_F(SQLiteStatementTest, RowChecks) {
    db->execute("INSERT INTO t(num, txt) VALUES (1, 'a')");
    Query q = db->prepareQuery("SELECT num AS value, txt AS VALUE, txt FROM t");
    auto it = q.begin();
    const Row& row = *it;
    // By name: ASCII case ignored, the first match wins, the alias is the name.
    EXPECT_EQ(row.columnIndex("VALUE"), 0);
    EXPECT_EQ(row.getIntByName("Value"), 1);
    EXPECT_EQ(row.columnIndex("txt"), 2);
    EXPECT_EQ(thrownMessage<std::out_of_range>([&] { row.columnIndex("num"); }),
              "Field \"num\" not found.");
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { row.getIntByName(nullptr); }),
              "Invalid field name");

    const std::function<void()> outOfRange[] = {
        [&] { row.columnType(-1); },      [&] { row.columnType(3); },
        [&] { row.columnName(3); },       [&] { row.declaredType(-1); },
        [&] { row.getString(3); },        [&] { row.getBlob(-1); },
        [&] { row.getInt(3); },           [&] { row.getInt64(3); },
        [&] { row.getDouble(100); },
    };
    for (const auto& f : outOfRange)
        EXPECT_EQ(thrownMessage<std::out_of_range>(f), "Invalid field index");
    // isNull makes neither check.
    EXPECT_TRUE(row.isNull(-1));
    EXPECT_TRUE(row.isNull(3));

    Row detached(nullptr, 1);
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { detached.getInt(0); }),
              "Null statment pointer");
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { detached.columnIndex("x"); }),
              "Null statment pointer");

    Query fresh = db->prepareQuery("SELECT num FROM t");
    Row notStepped(fresh.handle(), 1);
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { notStepped.getInt(0); }),
              "Statement not in executable state");
}

TEST(SQLiteFieldType, DeclaredTypesBySubstringOrder) {
    const struct {
        const char* declared;
        FieldType type;
    } cases[] = {
        {"INTEGER", FieldType::Integer},  {"BIGINT", FieldType::Integer},
        {"point", FieldType::Integer},    {"VARCHAR(20)", FieldType::Text},
        {"nchar", FieldType::Text},       {"text", FieldType::Text},
        {"CLOB", FieldType::Text},        {"REAL", FieldType::Real},
        {"float", FieldType::Real},       {"DOUBLE PRECISION", FieldType::Real},
        {"BLOB", FieldType::Blob},        {"BOOLEAN", FieldType::Boolean},
        {"DATETIME", FieldType::Date},    {"date", FieldType::Date},
        {"TIMESTAMP", FieldType::Time},   {"NUMERIC", FieldType::Numeric},
        {"DECIMAL(10,5)", FieldType::Unknown}, {"", FieldType::Unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(fieldTypeOf(c.declared), c.type) << c.declared;
}
