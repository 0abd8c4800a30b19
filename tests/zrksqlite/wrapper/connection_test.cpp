// Connections: opening, pragmas, execute, schema queries, transactions and two connections on
// one file.
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "test-support.h"
#include "zrksqlite/sqlite-db.h"

using namespace zrksqlite;

namespace {

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

std::shared_ptr<SQLiteDB> memoryDb() { return SQLiteDB::open(":memory:", kReadWriteCreate, false, 0); }

std::string pragmaText(SQLiteDB& db, const std::string& pragma) {
    Query q = db.prepareQuery("PRAGMA " + pragma);
    return q.begin()->getString(0);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(SQLiteConnection, ErrorCodeNames) {
    const struct {
        int code;
        const char* name;
    } cases[] = {
        {0, "SQLITE_OK"},       {1, "SQLITE_ERROR"},      {5, "SQLITE_BUSY"},
        {14, "SQLITE_CANTOPEN"}, {19, "SQLITE_CONSTRAINT"}, {25, "SQLITE_RANGE"},
        {100, "SQLITE_ROW"},    {101, "SQLITE_DONE"},     {26, "UNKNOWN_ERROR"},
        {28, "UNKNOWN_ERROR"},  {1038, "UNKNOWN_ERROR"},  {-1, "UNKNOWN_ERROR"},
        {99, "UNKNOWN_ERROR"},
    };
    for (const auto& c : cases) EXPECT_STREQ(errorCodeName(c.code), c.name) << c.code;
}

TEST(SQLiteConnection, VersionAndThreadingComeFromTheLinkedLibrary) {
    EXPECT_STREQ(sqliteVersion(), sqlite3_libversion());
    EXPECT_EQ(std::string(sqliteVersion()).rfind("3.", 0), 0u);
    EXPECT_EQ(threadSafety(), sqlite3_threadsafe());
}

TEST(SQLiteConnection, OpenFailuresCarryTheCodeName) {
    TempDir dir;
    const std::string missing = dir.file("no-such-folder/x.db");
    try {
        SQLiteDB::open(missing, kReadWriteCreate, true, 5000);
        FAIL() << "open of a missing folder succeeded";
    } catch (const SQLiteException& e) {
        EXPECT_STREQ(e.what(), "SQLITE_CANTOPEN");
        EXPECT_EQ(e.code(), 14);
        EXPECT_EQ(e.fullMessage(), "SQLITE_CANTOPEN (14)");
    }
    EXPECT_EQ(SQLiteDB::tryOpen(missing, kReadWriteCreate, true, 5000), nullptr);

    // Without the create flag a missing file cannot be opened either.
    EXPECT_EQ(SQLiteDB::tryOpen(dir.file("absent.db"), SQLITE_OPEN_READWRITE, false, 0), nullptr);
    EXPECT_FALSE(exists(dir.file("absent.db")));

    // A NUL inside the path would make SQLite open the file named by the part before it.
    std::string withNul = dir.file("a.db");
    withNul += std::string("\0b", 2);
    EXPECT_EQ(SQLiteDB::tryOpen(withNul, kReadWriteCreate, false, 0), nullptr);
    EXPECT_FALSE(exists(dir.file("a.db")));
}

TEST(SQLiteConnection, FileThatIsNotADatabaseFailsAtThePragma) {
    TempDir dir;
    const std::string path = dir.file("junk.db");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("this is certainly not an SQLite database, it is just some text padding it out\n", f);
    for (int i = 0; i < 64; ++i) fputs("0123456789abcdef0123456789abcdef\n", f);
    fclose(f);
    try {
        SQLiteDB::tryOpen(path, kReadWriteCreate, true, 0);
        FAIL() << "a text file opened as a database";
    } catch (const SQLiteException& e) {
        EXPECT_EQ(e.code(), SQLITE_NOTADB);
        EXPECT_STREQ(e.what(), "file is not a database");
    }
}

TEST(SQLiteConnection, WalAndBusyTimeoutAreApplied) {
    TempDir dir;
    {
        auto db = SQLiteDB::open(dir.file("wal.db"), kReadWriteCreate, true, 5000);
        EXPECT_EQ(pragmaText(*db, "journal_mode"), "wal");
        EXPECT_EQ(pragmaText(*db, "busy_timeout"), "5000");
        db->execute("CREATE TABLE t(a); INSERT INTO t VALUES (1);");
        EXPECT_TRUE(exists(dir.file("wal.db-wal")));
    }
    auto plain = SQLiteDB::open(dir.file("plain.db"), kReadWriteCreate, false, 0);
    EXPECT_EQ(pragmaText(*plain, "journal_mode"), "delete");
    EXPECT_EQ(pragmaText(*plain, "busy_timeout"), "0");
    plain->execute("CREATE TABLE t(a)");
    EXPECT_FALSE(exists(dir.file("plain.db-wal")));
}

TEST(SQLiteConnection, ClosedConnectionRefusesEveryOperation) {
    auto db = memoryDb();
    EXPECT_EQ(thrownMessage<std::invalid_argument>([&] { db->prepareQuery(""); }),
              "SQL statement is empty");
    EXPECT_EQ(thrownMessage<std::invalid_argument>([&] { db->prepareStatement(""); }),
              "SQL statement is empty");
    db->close();
    db->close();  // a second close does nothing
    EXPECT_FALSE(db->isOpen());
    const std::function<void()> operations[] = {
        [&] { db->execute("SELECT 1"); },
        [&] { db->prepareQuery(""); },  // the open check comes before the empty check
        [&] { db->prepareStatement("SELECT 1"); },
        [&] { db->hasTable("t"); },
        [&] { db->hasColumn("t", "a"); },
        [&] { db->tableInfo("t"); },
        [&] { db->lastInsertRowId(); },
        [&] { db->createFunction("f", 0, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr); },
    };
    for (const auto& op : operations)
        EXPECT_EQ(thrownMessage<std::runtime_error>(op), "Database is not open");
}

TEST(SQLiteConnection, ExecuteRunsEveryStatementAndCountsTheLast) {
    auto db = memoryDb();
    db->execute("CREATE TABLE t(a)");
    EXPECT_EQ(db->execute("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"), 1);
    EXPECT_EQ(db->execute("UPDATE t SET a = a + 10"), 2);
    EXPECT_EQ(db->lastInsertRowId(), 2);
    try {
        db->execute("SELEC 1");
        FAIL() << "bad SQL ran";
    } catch (const SQLiteException& e) {
        EXPECT_EQ(e.code(), 1);
        EXPECT_STREQ(e.what(), "near \"SELEC\": syntax error");
    }
    try {
        db->prepareQuery("SELECT * FROM missing");
        FAIL() << "a query of a missing table compiled";
    } catch (const SQLiteException& e) {
        EXPECT_EQ(e.code(), 1);
        EXPECT_STREQ(e.what(), "no such table: missing");
    }
}

TEST(SQLiteConnection, SchemaQueries) {
    auto db = memoryDb();
    db->execute(
        "CREATE TABLE items(id INTEGER PRIMARY KEY, name VARCHAR(20) NOT NULL DEFAULT 'none',"
        " price DOUBLE, stamp DATETIME);"
        "CREATE VIEW pricey AS SELECT * FROM items WHERE price > 10;"
        "CREATE INDEX by_name ON items(name);");
    EXPECT_TRUE(db->hasTable("items"));
    EXPECT_FALSE(db->hasTable("ITEMS"));  // "=" compares case-sensitively
    EXPECT_FALSE(db->hasTable("pricey"));
    EXPECT_FALSE(db->hasTable("by_name"));
    EXPECT_FALSE(db->hasTable(nullptr));
    EXPECT_TRUE(db->hasColumn("items", "price"));
    EXPECT_FALSE(db->hasColumn("items", "cost"));
    EXPECT_FALSE(db->hasColumn("missing", "price"));

    auto info = db->tableInfo("items");
    ASSERT_EQ(info.size(), 4u);
    EXPECT_EQ(info[0].name, "id");
    EXPECT_EQ(info[0].type, "INTEGER");
    EXPECT_EQ(info[0].fieldType, FieldType::Integer);
    EXPECT_TRUE(info[0].primaryKey);
    EXPECT_FALSE(info[0].notNull);
    EXPECT_EQ(info[1].name, "name");
    EXPECT_EQ(info[1].fieldType, FieldType::Text);
    EXPECT_TRUE(info[1].notNull);
    EXPECT_EQ(info[1].defaultValue, "'none'");
    EXPECT_EQ(info[2].fieldType, FieldType::Real);
    EXPECT_EQ(info[2].defaultValue, "");
    EXPECT_EQ(info[3].fieldType, FieldType::Date);
    EXPECT_TRUE(db->tableInfo("missing").empty());
}

TEST(SQLiteConnection, TableInfoQuotesTheTableName) {
    auto db = memoryDb();
    db->execute("CREATE TABLE victim(a); CREATE TABLE \"odd \"\"name\"\")\"(b TEXT)");
    // Pasted unquoted, this name would be read as SQL and report the columns of "victim".
    EXPECT_TRUE(db->tableInfo("victim); DROP TABLE victim; --").empty());
    EXPECT_TRUE(db->hasTable("victim"));
    auto info = db->tableInfo("odd \"name\")");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].name, "b");
}

TEST(SQLiteConnection, CreateFunction) {
    auto db = memoryDb();
    static int calls;
    calls = 0;
    db->createFunction(
        "twice", 1, SQLITE_UTF8, &calls,
        [](sqlite3_context* ctx, int, sqlite3_value** args) {
            ++*static_cast<int*>(sqlite3_user_data(ctx));
            sqlite3_result_int64(ctx, 2 * sqlite3_value_int64(args[0]));
        },
        nullptr, nullptr);
    Query q = db->prepareQuery("SELECT twice(21)");
    EXPECT_EQ(q.begin()->getInt64(0), 42);
    EXPECT_EQ(calls, 1);
    // A function that is both scalar and aggregate is refused by SQLite.
    EXPECT_THROW(db->createFunction("bad", 1, SQLITE_UTF8, nullptr,
                                    [](sqlite3_context*, int, sqlite3_value**) {},
                                    [](sqlite3_context*, int, sqlite3_value**) {}, nullptr),
                 SQLiteException);
}

TEST(SQLiteConnection, ClosingWithLiveStatementsReleasesTheConnection) {
    sqlite3_int64 before = sqlite3_memory_used();
    {
        TempDir dir;
        auto db = SQLiteDB::open(dir.file("c.db"), kReadWriteCreate, true, 0);
        db->execute("CREATE TABLE t(a); INSERT INTO t VALUES (1), (2)");
        Statement insert = db->prepareStatement("INSERT INTO t VALUES (3)");
        Query query = db->prepareQuery("SELECT a FROM t");
        auto it = query.begin();  // a running statement holds a read lock
        EXPECT_NE(it, query.end());
        db->close();
        EXPECT_FALSE(db->isOpen());
    }
    // Every byte SQLite allocated for the connection came back once the statements went.
    EXPECT_EQ(sqlite3_memory_used(), before);
}

TEST(SQLiteTransaction, CommitRollbackAndTheDestructor) {
    auto db = memoryDb();
    db->execute("CREATE TABLE t(a)");
    auto count = [&] { return db->prepareQuery("SELECT count(*) FROM t").begin()->getInt(0); };
    {
        Transaction tx(*db);
        db->execute("INSERT INTO t VALUES (1)");
        tx.commit();
    }
    EXPECT_EQ(count(), 1);
    {
        Transaction tx(*db);
        db->execute("INSERT INTO t VALUES (2)");
        tx.rollback();
    }
    EXPECT_EQ(count(), 1);
    {
        Transaction tx(*db);
        db->execute("INSERT INTO t VALUES (3)");
    }
    EXPECT_EQ(count(), 1);
    EXPECT_TRUE(sqlite3_get_autocommit(db->handle()));
    {
        // A failure inside the transaction: unwinding rolls it back.
        try {
            Transaction tx(*db);
            db->execute("INSERT INTO t VALUES (4)");
            db->execute("INSERT INTO nowhere VALUES (5)");
            tx.commit();
        } catch (const SQLiteException&) {
        }
    }
    EXPECT_EQ(count(), 1);
    // Nesting is SQLite's error, reported at construction.
    Transaction outer(*db);
    try {
        Transaction inner(*db);
        FAIL() << "nested BEGIN succeeded";
    } catch (const SQLiteException& e) {
        EXPECT_STREQ(e.what(), "cannot start a transaction within a transaction");
    }
    outer.commit();
}

TEST(SQLiteTransaction, DestructorNeverThrows) {
    auto db = memoryDb();
    db->execute("CREATE TABLE t(a)");
    {
        Transaction tx(*db);
        db->execute("INSERT INTO t VALUES (1)");
        db->close();  // the rollback of the destructor now fails: logged, not thrown
    }
    auto other = memoryDb();
    {
        Transaction tx(*other);
        other->execute("COMMIT");  // ended behind the guard's back
    }
    SUCCEED();
}

TEST(SQLiteConnection, TwoConnectionsWaitUnderTheBusyTimeout) {
    TempDir dir;
    const std::string path = dir.file("shared.db");
    auto writer = SQLiteDB::open(path, kReadWriteCreate, true, 5000);
    writer->execute("CREATE TABLE t(a)");
    auto patient = SQLiteDB::open(path, kReadWriteCreate, true, 5000);
    auto impatient = SQLiteDB::open(path, kReadWriteCreate, true, 0);

    auto tx = std::make_unique<Transaction>(*writer);
    writer->execute("INSERT INTO t VALUES (1)");

    try {
        impatient->execute("INSERT INTO t VALUES (2)");
        FAIL() << "wrote past a held write lock";
    } catch (const SQLiteException& e) {
        EXPECT_EQ(e.code(), SQLITE_BUSY);
        EXPECT_STREQ(e.what(), "database is locked");
    }

    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        released = true;
        tx->commit();
    });
    // Waits for the other connection's commit instead of failing.
    EXPECT_EQ(patient->execute("INSERT INTO t VALUES (3)"), 1);
    EXPECT_TRUE(released.load());
    holder.join();
    tx.reset();
    Query q = patient->prepareQuery("SELECT group_concat(a) FROM (SELECT a FROM t ORDER BY a)");
    EXPECT_EQ(q.begin()->getString(0), "1,3");
}
