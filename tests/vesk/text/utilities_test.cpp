// The object library's text, path and file utilities.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <cerrno>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "vesk/syserror.h"
#include "vesk/tstring.h"
#include "print.h"
#include "vesk/utilities.h"

using Vesk::TString;
using Vesk::WString;

namespace {

TEST(Utilities, SizesAndDurations) {
  struct Case {
    int64_t bytes;
    const char16_t* expected;
  };
  for (const auto& c : {Case{0, u"0"}, Case{1, u"1 byte"}, Case{2, u"2 bytes"}, Case{-3, u"-3 bytes"},
                        Case{1023, u"1023 bytes"}, Case{1024, u"1.00 KB"}, Case{1536, u"1.50 KB"},
                        Case{1048576, u"1.00 MB"}, Case{int64_t{1} << 30, u"1.00 GB"},
                        Case{int64_t{3} << 39, u"1.50 TB"}}) {
    EXPECT_EQ(TString::byteCountString(c.bytes), c.expected) << c.bytes;
  }
  struct Duration {
    int64_t seconds;
    const char16_t* expected;
  };
  for (const auto& c : {Duration{59, u"00:59"}, Duration{0, u"00:00"}, Duration{3599, u"59:59"},
                        Duration{3600, u"01:00:00"}, Duration{3725, u"01:02:05"}, Duration{-61, u"-1:-1"},
                        Duration{360000, u"100:00:00"}}) {
    EXPECT_EQ(TString::durationString(c.seconds), c.expected) << c.seconds;
  }
  const uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(TString::hexString(bytes, 4), u"000fa0ff");
  EXPECT_EQ(TString::hexString(bytes, 0), u"");
}

TEST(Utilities, DateStringInTheCLocale) {
  setenv("TZ", "UTC", 1);
  setenv("LC_ALL", "C", 1);
  tzset();
  EXPECT_EQ(TString::dateString(86400 * 365, false), u"01/01/71");
  EXPECT_EQ(TString::dateString(86400 + 3661, true), u"01:01:01, 01/02/70");
}

TEST(Utilities, PathJoiningAndNormalising) {
  struct Join {
    const char16_t* folder;
    const char16_t* name;
    const char16_t* expected;
  };
  for (const auto& c : {Join{u"", u"a.txt", u"a.txt"}, Join{u"/data", u"a.txt", u"/data/a.txt"},
                        Join{u"/data/", u"a.txt", u"/data/a.txt"}, Join{u"/data/", u"/a.txt", u"/data//a.txt"} /* one pass: three become two */}) {
    EXPECT_EQ(TString::joinPath(TString(c.folder), TString(c.name)), c.expected);
  }
  struct Normal {
    const char16_t* path;
    bool sanitize;
    const char16_t* expected;
  };
  for (const auto& c : {Normal{u"/a//b///c", false, u"/a/b/c"}, Normal{u"\\a\\\\b/c", false, u"/a/b/c"},
                        Normal{u"//server/share//x", false, u"//server/share/x"},
                        Normal{u"\\\\server\\share", false, u"//server/share"},
                        Normal{u"///x", false, u"//x"}, Normal{u"a/b", false, u"a/b"},
                        Normal{u"/tmp/what?.png", true, u"/tmp/what_.png"},
                        Normal{u"  /tmp/a<b>:c|d*\".txt", true, u"/tmp/a_b__c_d__.txt"}}) {
    EXPECT_EQ(TString::normalizePath(TString(c.path), c.sanitize), c.expected) << TString(c.path).utf8String();
  }
  EXPECT_EQ(TString::sanitizeFileName(TString(u"  my file?.txt")), u"my file_.txt");
  EXPECT_EQ(TString::sanitizeFileName(TString(u"   ")), u"   ");
  EXPECT_EQ(TString::replaceInvalidFileNameCharacters(TString(u"a/b\\c?d%e*f|g\"h<i>j:k")), u"a_b_c_d_e_f_g_h_i_j_k");
  EXPECT_EQ(TString::forwardSlashPath(TString(u"a\\\\b//c")), u"a/b/c");
  EXPECT_EQ(TString::folderPartOfPath(TString(u"/a/b.txt")), u"/a/");
  EXPECT_EQ(TString::folderPartOfPath(TString(u"a\\b.txt")), u"a/");
  EXPECT_EQ(TString::folderPartOfPath(TString(u"b.txt")), u"b.txt");
  EXPECT_EQ(TString::fileNamePartOfPath(TString(u"/a/b.txt")), u"b.txt");
  EXPECT_EQ(TString::extensionPartOfPath(TString(u"/a/b.txt"), true), u".txt");
  EXPECT_EQ(TString::extensionPartOfPath(TString(u"/a/b.txt"), false), u"txt");
  EXPECT_EQ(TString::extensionPartOfPath(TString(u"/a.d/b"), false), u"");
}

TEST(Utilities, SmallTextOperations) {
  struct Email {
    const char16_t* text;
    bool valid;
  };
  for (const auto& c : {Email{u"a@b", true}, Email{u"  first.last-x_y@host.org ", true}, Email{u"@b", false},
                        Email{u"a@", false}, Email{u"a @b", false}, Email{u"", false}, Email{u"ab", false},
                        Email{u"a@b@c", true}, Email{u"\u00E9@b", false}}) {
    EXPECT_EQ(TString::isValidEmailAddress(TString(c.text)), c.valid) << TString(c.text).utf8String();
  }
  EXPECT_EQ(TString::paddedString(u"7", 3, u'0'), u"700");
  EXPECT_EQ(TString::paddedString(u"1234", 3, u'0'), u"1234");
  EXPECT_EQ(TString::urlEscaped(TString(u"a b/\u00E9?")), u"a%20b%2F%C3%A9%3F");
  EXPECT_EQ(TString::urlUnescaped(TString(u"a%20b%2F%C3%A9")), u"a b/\u00E9");
  EXPECT_EQ(TString::urlEscaped(TString()), u"");
  EXPECT_TRUE(TString::emptyString().isEmpty());

  std::vector<std::string> parts;
  struct Split {
    std::string text;
    std::vector<std::string> expected;
  };
  for (const auto& c : {Split{"a,,b", {"a", "", "b"}}, Split{"a,b,", {"a", "b"}}, Split{"", {}},
                        Split{",a", {"", "a"}}, Split{"abc", {"abc"}}}) {
    parts = {"stale"};
    Vesk::splitString(c.text, ",", parts);
    EXPECT_EQ(parts, c.expected) << c.text;
  }
  Vesk::splitString(std::string("a::b"), "::", parts);
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "b"}));
  std::vector<WString> wide;
  Vesk::splitString(WString(u"x;y;"), WString(u";"), wide);
  EXPECT_EQ(wide, (std::vector<WString>{u"x", u"y"}));
  Vesk::splitString(std::string("abc"), "", parts);  // an empty delimiter splits nothing
  EXPECT_EQ(parts, (std::vector<std::string>{"abc"}));

  EXPECT_EQ(Vesk::stripBlanks("  a b  "), "a b");
  EXPECT_EQ(Vesk::stripBlanks("\t a \t"), " a ");
  EXPECT_EQ(Vesk::stripBlanks("   "), "   ");
}

TEST(Utilities, ParseUnsigned) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t value;
  };
  for (const auto& c : {Case{"0x1F", true, 31}, Case{"017", true, 15}, Case{"  42", true, 42}, Case{"12a", false, 12},
                        Case{"", false, 0}, Case{"18446744073709551615", true, UINT64_MAX},
                        Case{"18446744073709551616", false, UINT64_MAX}, Case{"-1", true, UINT64_MAX}}) {
    uint64_t value = 7;
    EXPECT_EQ(Vesk::parseUnsigned(c.text, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(Utilities, Identifiers) {
  std::set<WString> seen;
  for (int i = 0; i < 200; ++i) {
    TString id = TString::uuidString();
    ASSERT_EQ(id.length(), 36u);
    for (size_t dash : {8, 13, 18, 23}) EXPECT_EQ(id.characterAtIndex(static_cast<int64_t>(dash)), u'-');
    EXPECT_EQ(id.find(u"-", 24), -1);
    EXPECT_TRUE(seen.insert(*id.storage()).second);
  }
  std::string hex = TString::randomHexString(16, false);
  EXPECT_EQ(hex.size(), 32u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
  hex = TString::randomHexString(64, true);
  EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_NE(TString::randomHexString(16, false), TString::randomHexString(16, false));
  EXPECT_EQ(TString::randomHexString(0, false), "");
}

TEST(Utilities, SystemErrorTexts) {
  EXPECT_EQ(TString::fromSystemError(5), u"Access is denied.\r\n");
  EXPECT_EQ(TString::fromSystemError(999999), u"");
  Vesk::setLastSystemError(0);
  EXPECT_EQ(TString::fromSystemError(0), u"");
  Vesk::setLastSystemError(2);
  EXPECT_EQ(TString::fromSystemError(0), u"The system cannot find the file specified.\r\n");
  // The last error belongs to the thread that set it.
  uint32_t seenElsewhere = 1;
  std::thread([&] { seenElsewhere = Vesk::lastSystemError(); }).join();
  EXPECT_EQ(seenElsewhere, 0u);
  EXPECT_EQ(Vesk::systemErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(Vesk::systemErrorFromErrno(EACCES), 5u);
}

class FileUtilities : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vesk_text_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = dir_ + "/f\xC3\xA9.bin";  // a non-ASCII name goes through UTF-8
    std::ofstream(file_) << "12345";
  }
  void TearDown() override {
    std::remove(file_.c_str());
    rmdir(dir_.c_str());
  }
  WString wide(const std::string& path) { return *TString(path).storage(); }
  std::string dir_, file_;
};

TEST_F(FileUtilities, ExistenceSizeAccessAndDeletion) {
  const WString file = wide(file_);
  const WString missing = wide(dir_ + "/missing");
  EXPECT_TRUE(Vesk::fileExists(file.c_str()));
  EXPECT_FALSE(Vesk::fileExists(missing.c_str()));
  uint64_t size = 99;
  EXPECT_TRUE(Vesk::fileSize(TString(file_), &size));
  EXPECT_EQ(size, 5u);
  EXPECT_FALSE(Vesk::fileSize(TString(missing), &size));
  EXPECT_EQ(size, 0u);

  EXPECT_TRUE(Vesk::isWritableFile(file.c_str()));
  chmod(file_.c_str(), 0444);
  EXPECT_FALSE(Vesk::isWritableFile(file.c_str()));  // read-only even for root
  EXPECT_TRUE(Vesk::hasFileAccess(file.c_str(), Vesk::kGenericRead));
  EXPECT_FALSE(Vesk::hasFileAccess(file.c_str(), Vesk::kGenericExecute));
  EXPECT_FALSE(Vesk::hasFileAccess(missing.c_str(), Vesk::kGenericRead));
  EXPECT_FALSE(Vesk::isWritableFile(missing.c_str()));

  EXPECT_TRUE(Vesk::deleteFile(file.c_str()));
  EXPECT_FALSE(Vesk::deleteFile(file.c_str()));
  EXPECT_FALSE(Vesk::fileExists(file.c_str()));
}

TEST(Utilities, SleepAndMisc) {
  const auto start = std::chrono::steady_clock::now();
  Vesk::sleepMilliseconds(20);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  EXPECT_TRUE(Vesk::isLittleEndian());  // x86-64
  EXPECT_EQ(Vesk::unixTimeToFileTime(0), 116444736000000000ULL);
  EXPECT_EQ(Vesk::unixTimeToFileTime(-1), 116444735990000000ULL);
}

}  // namespace
