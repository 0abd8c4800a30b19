// The thumbnail cache against real files in a temporary data folder.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "src/thumbnail-cache.h"
#include "vesk/log.h"
#include "zrksqlite/sqlite-db.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Sets the file's modification time to `seconds` + `micros` since 1970.
void setModified(const std::string& path, int64_t seconds, int64_t micros = 0) {
    timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = 0;
    times[1].tv_sec = seconds;
    times[1].tv_nsec = micros * 1000;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class ThumbCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/thumbcache-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        if (const char* old = std::getenv("XDG_DATA_HOME")) savedXdg = old;
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        fs::create_directories(root + "/images");
        ThumbCache::reset();
    }
    void TearDown() override {
        ThumbCache::reset();
        if (savedXdg) setenv("XDG_DATA_HOME", savedXdg->c_str(), 1);
        else unsetenv("XDG_DATA_HOME");
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // An image file, modified at the given second.
    std::string image(const std::string& name, int64_t modified = 1700000000) {
        std::string path = root + "/images/" + name;
        writeFile(path, "pixels of " + name);
        setModified(path, modified);
        return path;
    }

    std::string dbPath() const { return root + "/data/Pelmora/thumbcache.db"; }

    bool put(const std::string& path, int w, int h, const std::string& data,
             const std::string& mime = "image/jpeg", ThumbCache::CacheItem* item = nullptr) {
        Bytes bytes = bytesOf(data);
        return ThumbCache::put(path, w, h, bytes.data(), bytes.size(), mime, item);
    }

    // The data of the thumbnail that comes back, or "-" for none.
    std::string got(const std::string& path, int w, int h) {
        auto item = ThumbCache::get(path, w, h);
        return item ? std::string(item->data.begin(), item->data.end()) : "-";
    }

    int64_t rowCount() {
        auto db = ThumbCache::open();
        return db->prepareQuery("SELECT count(*) FROM thumbnails").begin()->getInt64(0);
    }

    std::string root;
    std::optional<std::string> savedXdg;
};

}  // namespace

TEST_F(ThumbCacheTest, OpensInTheDataFolderWithWalAndBusyTimeout) {
    auto db = ThumbCache::open();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(fs::exists(dbPath()));
    EXPECT_EQ(db->prepareQuery("PRAGMA journal_mode").begin()->getString(0), "wal");
    EXPECT_EQ(db->prepareQuery("PRAGMA busy_timeout").begin()->getInt(0), 5000);
    EXPECT_TRUE(db->hasTable("thumbnails"));
    EXPECT_EQ(ThumbCache::open(), db);  // one shared connection
}

TEST_F(ThumbCacheTest, SmallestFittingSize) {
    const std::string photo = image("photo.jpg");
    ASSERT_TRUE(put(photo, 400, 300, "big"));
    ASSERT_TRUE(put(photo, 200, 150, "small"));
    const struct {
        int w, h;
        const char* expected;
    } cases[] = {
        {180, 120, "small"}, {200, 150, "small"}, {0, 0, "small"},  {201, 150, "big"},
        {300, 300, "big"},   {400, 300, "big"},   {500, 100, "-"},  {401, 1, "-"},
        {1, 301, "-"},
    };
    for (const auto& c : cases) EXPECT_EQ(got(photo, c.w, c.h), c.expected) << c.w << "x" << c.h;

    auto item = ThumbCache::get(photo, 10, 10);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->mime, "image/jpeg");
    EXPECT_EQ(item->fileModified, INT64_C(1700000000) * 1000000);
    // Another file has nothing.
    EXPECT_EQ(got(image("other.jpg"), 10, 10), "-");
}

TEST_F(ThumbCacheTest, ANewerFileInvalidatesItsThumbnails) {
    const std::string photo = image("photo.jpg", 1700000000);
    ASSERT_TRUE(put(photo, 100, 100, "first"));
    EXPECT_EQ(got(photo, 100, 100), "first");
    // A modification within the same second counts too.
    setModified(photo, 1700000000, 250000);
    EXPECT_EQ(got(photo, 100, 100), "-");
    ThumbCache::CacheItem item;
    ASSERT_TRUE(put(photo, 100, 100, "second", "image/png", &item));
    EXPECT_EQ(item.fileModified, INT64_C(1700000000250000));
    EXPECT_EQ(item.mime, "image/png");
    EXPECT_EQ(item.data, bytesOf("second"));
    EXPECT_EQ(got(photo, 100, 100), "second");
    setModified(photo, 1800000000);
    EXPECT_EQ(got(photo, 50, 50), "-");
}

TEST_F(ThumbCacheTest, SameSizeIsReplaced) {
    const std::string photo = image("photo.jpg");
    ASSERT_TRUE(put(photo, 64, 64, "old"));
    ASSERT_TRUE(put(photo, 64, 64, "new"));
    EXPECT_EQ(rowCount(), 1);
    EXPECT_EQ(got(photo, 64, 64), "new");
    // An empty thumbnail is stored as such.
    ASSERT_TRUE(put(photo, 32, 32, ""));
    auto item = ThumbCache::get(photo, 32, 32);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->data.empty());
}

TEST_F(ThumbCacheTest, PathsAreUsedByteForByte) {
    const std::string quoted = image("Bob's holiday.jpg");
    const std::string unicode = image("été 日本 фото.png");
    const std::string other = image("plain.jpg");
    const std::string sameFileOtherSpelling = root + "/images/./plain.jpg";
    for (const std::string& path : {quoted, unicode, other}) {
        ASSERT_TRUE(put(path, 10, 10, "thumb of " + path)) << path;
    }
    for (const std::string& path : {quoted, unicode, other})
        EXPECT_EQ(got(path, 10, 10), "thumb of " + path) << path;
    EXPECT_EQ(got(sameFileOtherSpelling, 10, 10), "-");
    ASSERT_TRUE(put(sameFileOtherSpelling, 10, 10, "x"));
    EXPECT_EQ(got(other, 10, 10), "thumb of " + other);

    auto db = ThumbCache::open();
    zrksqlite::Query q = db->prepareQuery("SELECT path FROM thumbnails WHERE path LIKE '%Bob''s%'");
    EXPECT_EQ(q.begin()->getString(0), quoted);

    EXPECT_TRUE(ThumbCache::remove(quoted));
    EXPECT_TRUE(ThumbCache::remove(unicode));
    EXPECT_EQ(got(quoted, 10, 10), "-");
    EXPECT_EQ(got(unicode, 10, 10), "-");
    EXPECT_EQ(rowCount(), 2);
}

TEST_F(ThumbCacheTest, TheKeyIsTheSha1OfThePathBytes) {
    const fs::path previous = fs::current_path();
    fs::current_path(root);
    writeFile("abc", "x");
    ASSERT_TRUE(put("abc", 1, 1, "t"));
    fs::current_path(previous);
    auto db = ThumbCache::open();
    zrksqlite::Query q = db->prepareQuery("SELECT hex(key), path, width, height, mime FROM thumbnails");
    auto row = q.begin();
    ASSERT_NE(row, q.end());
    EXPECT_EQ(row->getString(0), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(row->getString(1), "abc");
    EXPECT_EQ(row->getInt(2), 1);
    EXPECT_EQ(row->getString(4), "image/jpeg");
}

TEST_F(ThumbCacheTest, RemoveDeletesEverySizeOfThePathOnly) {
    const std::string a = image("a.jpg");
    const std::string b = image("b.jpg");
    EXPECT_TRUE(ThumbCache::remove(a));  // no rows: still true
    ASSERT_TRUE(put(a, 10, 10, "a1"));
    ASSERT_TRUE(put(a, 20, 20, "a2"));
    ASSERT_TRUE(put(b, 10, 10, "b1"));
    EXPECT_TRUE(ThumbCache::remove(a));
    EXPECT_EQ(got(a, 1, 1), "-");
    EXPECT_EQ(got(b, 1, 1), "b1");
    EXPECT_TRUE(ThumbCache::remove(root + "/images/never-stored.jpg"));
}

TEST_F(ThumbCacheTest, MissingImageRaisesFileNotFound) {
    const std::string missing = root + "/images/gone.jpg";
    EXPECT_THROW(ThumbCache::get(missing, 10, 10), Poco::FileNotFoundException);
    EXPECT_THROW(put(missing, 10, 10, "x"), Poco::FileNotFoundException);
    EXPECT_THROW(put(missing + std::string(1, '\0') + "x", 10, 10, "x"),
                 Poco::FileNotFoundException);
    EXPECT_TRUE(ThumbCache::remove(missing));
}

TEST_F(ThumbCacheTest, DeletedDatabaseIsRecreated) {
    const std::string photo = image("photo.jpg");
    ASSERT_TRUE(put(photo, 10, 10, "t"));
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(dbPath() + suffix);
    EXPECT_EQ(got(photo, 10, 10), "-");
    EXPECT_TRUE(fs::exists(dbPath()));
    ASSERT_TRUE(put(photo, 10, 10, "again"));
    EXPECT_EQ(got(photo, 10, 10), "again");

    // The whole data folder gone: made again.
    fs::remove_all(root + "/data");
    EXPECT_TRUE(ThumbCache::remove(photo));
    ASSERT_TRUE(put(photo, 10, 10, "third"));
    EXPECT_EQ(got(photo, 10, 10), "third");
}

TEST_F(ThumbCacheTest, UnopenableDatabaseFailsSoftlyAndRetries) {
    // A file where the data folder should be: nothing can be opened.
    fs::create_directories(root + "/data");
    writeFile(root + "/data/Pelmora", "in the way");
    const std::string photo = image("photo.jpg");
    EXPECT_EQ(ThumbCache::open(), nullptr);
    EXPECT_EQ(got(photo, 10, 10), "-");
    EXPECT_FALSE(put(photo, 10, 10, "t"));
    EXPECT_FALSE(ThumbCache::remove(photo));
    fs::remove(root + "/data/Pelmora");
    EXPECT_TRUE(put(photo, 10, 10, "t"));
    EXPECT_EQ(got(photo, 10, 10), "t");
}

TEST_F(ThumbCacheTest, DamagedDatabaseIsMovedAsideAndRecreated) {
    const std::string logPath = root + "/log.txt";
    zrk::configureLogging(logPath, 0, false, false);
    const std::string photo = image("photo.jpg");

    // Fills a database with enough rows to span many pages, then closes it.
    auto filledDatabase = [&] {
        for (int i = 1; i <= 8; ++i) ASSERT_TRUE(put(photo, i, i, std::string(6000, 'a' + i)));
        ThumbCache::reset();
    };
    const struct {
        const char* name;
        std::function<void()> damage;
    } cases[] = {
        {"text file", [&] { writeFile(dbPath(), std::string(3000, 'z')); }},
        {"short garbage", [&] { writeFile(dbPath(), "garbage"); }},
        {"damaged header",
         [&] {
             filledDatabase();
             std::string content = readFile(dbPath());
             content.replace(0, 16, "not SQLite here!");
             writeFile(dbPath(), content);
         }},
        {"damaged pages",
         [&] {
             filledDatabase();
             std::string content = readFile(dbPath());
             ASSERT_GT(content.size(), 3 * 4096u);
             // Page 1 (the schema) stays; every table and index page is overwritten.
             for (size_t i = 4096; i < content.size(); ++i) content[i] = static_cast<char>(0xA5);
             writeFile(dbPath(), content);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(root + "/data/Pelmora");
        fs::remove(dbPath() + ".corrupt");
        c.damage();
        ThumbCache::reset();
        EXPECT_EQ(got(photo, 1, 1), "-");
        EXPECT_TRUE(put(photo, 5, 5, "fresh"));
        EXPECT_EQ(got(photo, 1, 1), "fresh");
        EXPECT_EQ(rowCount(), 1);
        EXPECT_TRUE(fs::exists(dbPath() + ".corrupt"));
        ThumbCache::reset();
        fs::remove(dbPath());
    }
    // A put that meets the damage first still stores its thumbnail.
    fs::remove(dbPath() + ".corrupt");
    filledDatabase();
    std::string content = readFile(dbPath());
    for (size_t i = 4096; i < content.size(); ++i) content[i] = static_cast<char>(0x5A);
    writeFile(dbPath(), content);
    EXPECT_TRUE(put(photo, 7, 7, "kept"));
    EXPECT_EQ(got(photo, 7, 7), "kept");
    EXPECT_TRUE(fs::exists(dbPath() + ".corrupt"));

    zrk::shutdownLogging();
    EXPECT_NE(readFile(logPath).find("is damaged"), std::string::npos);
}

TEST_F(ThumbCacheTest, ThreadsPutAndGetAtOnce) {
    std::vector<std::string> photos;
    for (int i = 0; i < 4; ++i) photos.push_back(image("p" + std::to_string(i) + ".jpg"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                const std::string& photo = photos[(t + i) % photos.size()];
                const int size = 10 + i % 5;
                const std::string data = photo + "@" + std::to_string(size);
                if (!put(photo, size, size, data)) ++failures;
                auto item = ThumbCache::get(photo, size, size);
                // Another thread may have removed it meanwhile, and stored a larger size:
                // what comes back is a thumbnail of this photo at least this large.
                if (item) {
                    const std::string back(item->data.begin(), item->data.end());
                    const std::string prefix = photo + "@";
                    if (back.rfind(prefix, 0) != 0 || std::stoi(back.substr(prefix.size())) < size)
                        ++failures;
                }
                if (i % 10 == 0 && !ThumbCache::remove(photos[t])) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}
