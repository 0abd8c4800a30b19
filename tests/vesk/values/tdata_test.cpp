// The byte buffer: growth, zero-filled slack, slicing and the file round trip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "vesk/tdata.h"
#include "vesk/tstring.h"

using Vesk::TData;
using Vesk::TString;

namespace {

std::string contents(const TData& data) {
  return data.bytes() ? std::string(reinterpret_cast<const char*>(data.bytes()), data.length()) : std::string();
}

TEST(TData, ConstructionCopyAndMove) {
  TData empty;
  EXPECT_EQ(empty.bytes(), nullptr);
  EXPECT_EQ(empty.length(), 0u);
  TData zeros(size_t{4});
  EXPECT_EQ(contents(zeros), std::string(4, '\0'));
  TData text("hello", 5);
  TData copy(text);
  EXPECT_EQ(contents(copy), "hello");
  EXPECT_NE(copy.bytes(), text.bytes());
  copy = copy;  // NOLINT: self-assignment keeps the bytes
  EXPECT_EQ(contents(copy), "hello");
  zeros = text;
  EXPECT_EQ(contents(zeros), "hello");
  TData moved(std::move(copy));
  EXPECT_EQ(contents(moved), "hello");
  EXPECT_EQ(copy.bytes(), nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(copy.length(), 0u);
  EXPECT_EQ(TData(nullptr, 0).bytes(), nullptr);
  EXPECT_EQ(std::string(TData().className()), "TData");
}

TEST(TData, AppendAndSetLengthKeepTheSlackZero) {
  TData data;
  EXPECT_TRUE(data.append("", 0));
  EXPECT_EQ(data.length(), 0u);
  EXPECT_NE(data.bytes(), nullptr);  // zero bytes of storage
  EXPECT_TRUE(data.append("abc", 3));
  EXPECT_TRUE(data.append("defgh", 5));
  EXPECT_EQ(contents(data), "abcdefgh");
  EXPECT_EQ(data.capacity(), 8u);  // exact growth

  EXPECT_FALSE(data.setLength(0));  // refused, nothing lost
  EXPECT_EQ(contents(data), "abcdefgh");
  EXPECT_TRUE(data.setLength(4));
  EXPECT_TRUE(data.setLength(7));  // inside the capacity: the old bytes must not come back
  EXPECT_EQ(contents(data), std::string("abcd\0\0\0", 7));
  EXPECT_TRUE(data.setLength(12));
  EXPECT_EQ(contents(data), std::string("abcd\0\0\0\0\0\0\0\0", 12));
  EXPECT_TRUE(data.setLength(2));
  EXPECT_TRUE(data.append("XY", 2));  // appends after the length, inside the capacity
  EXPECT_EQ(contents(data), "abXY");
  EXPECT_FALSE(data.append(nullptr, 3));

  // Appending a buffer to itself survives the storage moving.
  TData self("0123456789", 10);
  EXPECT_TRUE(self.append(self.bytes() + 2, 8));
  EXPECT_EQ(contents(self), "012345678923456789");

  data.clear();
  EXPECT_EQ(data.bytes(), nullptr);
  EXPECT_EQ(data.length(), 0u);
  EXPECT_EQ(data.capacity(), 0u);
}

TEST(TData, GetBytesAndSubdataBounds) {
  TData data("0123456789", 10);
  char out[16] = {};
  struct Get {
    size_t offset, count;
    bool ok;
  };
  for (const auto& c : {Get{0, 10, true}, Get{6, 4, true}, Get{6, 5, false}, Get{10, 0, true}, Get{11, 0, false},
                        Get{1, SIZE_MAX, false}, Get{SIZE_MAX, 2, false}}) {
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(data.getBytes(out, c.offset, c.count), c.ok) << c.offset << "+" << c.count;
    if (!c.ok) {
      EXPECT_EQ(out[0], '#');  // nothing copied
    }
  }
  EXPECT_TRUE(data.getBytes(out, 3, 2));
  EXPECT_EQ(std::string(out, 2), "34");
  EXPECT_FALSE(data.getBytes(nullptr, 0, 1));
  EXPECT_FALSE(TData().getBytes(out, 0, 0));

  struct Sub {
    size_t offset, count;
    bool present;
    const char* bytes;
  };
  for (const auto& c : {Sub{2, 100, true, "23456789"}, Sub{0, 3, true, "012"}, Sub{0, 0, false, ""},
                        Sub{10, 5, true, ""}, Sub{11, 1, false, ""}, Sub{SIZE_MAX, 1, false, ""}}) {
    auto slice = data.subdata(c.offset, c.count);
    ASSERT_EQ(slice != nullptr, c.present) << c.offset << "+" << c.count;
    if (slice) {
      EXPECT_EQ(contents(*slice), c.bytes);
    }
  }
}

class TDataFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vesk_data_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const char* name : {"/r\xC3\xA9sum\xC3\xA9.bin", "/empty", "/big"}) std::remove((dir_ + name).c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(TDataFiles, RoundTripThroughAUtf8Path) {
  std::string bytes(70000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
  bytes[5] = '\r';
  bytes[6] = '\n';  // no newline translation anywhere
  const TString path(dir_ + "/r\xC3\xA9sum\xC3\xA9.bin");
  TData data(bytes.data(), bytes.size());
  ASSERT_TRUE(data.writeToFile(path));
  auto back = TData::dataWithContentsOfFile(path);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(contents(*back), bytes);

  // Writing again truncates.
  ASSERT_TRUE(TData("xy", 2).writeToFile(path));
  EXPECT_EQ(contents(*TData::dataWithContentsOfFile(path)), "xy");
}

TEST_F(TDataFiles, ReadFailuresGiveAnEmptyPointer) {
  std::ofstream(dir_ + "/empty").close();
  EXPECT_EQ(TData::dataWithContentsOfFile(TString(dir_ + "/empty")), nullptr);
  EXPECT_EQ(TData::dataWithContentsOfFile(TString(dir_ + "/missing")), nullptr);
  EXPECT_EQ(TData::dataWithContentsOfFile(TString()), nullptr);
  // A directory opens but cannot be read: no zero-filled buffer in its place.
  EXPECT_EQ(TData::dataWithContentsOfFile(TString(dir_)), nullptr);
}

TEST_F(TDataFiles, WriteFailuresAreReported) {
  const TData data("payload", 7);
  EXPECT_FALSE(data.writeToFile(TString("/dev/full")));        // opens, but every write fails
  EXPECT_FALSE(data.writeToFile(TString("/proc/version")));    // read-only, even for root
  EXPECT_FALSE(data.writeToFile(TString(dir_)));               // a directory
  EXPECT_FALSE(data.writeToFile(TString(dir_ + "/no/such/dir/file")));
  EXPECT_TRUE(TData().writeToFile(TString(dir_ + "/empty")));  // nothing to write is fine
}

}  // namespace
