// Helpers of the wrapper tests.
//
// A fresh folder under $TMPDIR for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/zrksqlite-XXXXXX";
        if (char* made = mkdtemp(pattern.data())) path_ = made;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

#include <gtest/gtest.h>

// The message of the exception of type E that `f` throws; a test failure when it throws none.
template <class E, class F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "expected an exception";
    return "<no exception>";
}
