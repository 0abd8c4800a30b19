// The loader: a round trip from the bundler, the file's rules, and a table of damaged bundles
// that must all leave the store as it was.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tests/src/bundle/bundle_fixture.h"
#include "vesk/log.h"

namespace {

using bundletest::BundleFixture;
using bundletest::storeContent;
using bundletest::testKeys;
using pelbundle::BundleImage;
using pelbundle::TableRow;

// An image with the given table (in that order) over the given inflated content, signed.
BundleImage signedImage(std::vector<TableRow> table, const std::string& content) {
  BundleImage image;
  image.iv = pelbundle::randomIv();
  image.table = std::move(table);
  image.payload = pelbundle::gzipMember(content);
  image.signature = pelbundle::signMessage(pelbundle::md5(image.payload), testKeys().signingKeyPem);
  return image;
}

void resign(BundleImage& image, const std::string& signingKeyPem = testKeys().signingKeyPem) {
  image.signature = pelbundle::signMessage(pelbundle::md5(image.payload), signingKeyPem);
}

std::string zlibWrapped(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size,
           reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()));
  out.resize(size);
  return out;
}

const std::vector<std::string> kNames = {"a.w", "b.css", "dir/c.js", "z", "x", "plain", "good.w"};

TEST_F(BundleFixture, ABundledFolderLoadsEntryForEntry) {
  std::vector<pelbundle::Entry> entries = {
      {"main.w", "<!DOCTYPE html><title>m</title>"},
      {"viewer.w", "<p>viewer</p>"},
      {"css/app.css", "body{}"},
      {"img/a b.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\0", 12)},
      {"empty", ""},
      {"Main.w", "upper"},
  };
  ASSERT_TRUE(load(writeBundle("ok.dat", entries)));
  EXPECT_EQ(BundleStore::size(), entries.size());
  for (const auto& e : entries) {
    const std::string* bytes = BundleStore::get(e.name);
    ASSERT_NE(bytes, nullptr) << e.name;
    EXPECT_EQ(*bytes, e.content) << e.name;
  }
  EXPECT_EQ(BundleStore::get("/main.w"), nullptr);
  EXPECT_EQ(BundleStore::get("main.W"), nullptr);
}

TEST_F(BundleFixture, SlicesFollowTheTableOrderAndItsRules) {
  struct Case {
    const char* what;
    std::vector<TableRow> table;
    std::string content;
    std::map<std::string, std::string> expected;
  } cases[] = {
      {"table order, not name order",
       {{3, "z", {}}, {2, "a.w", {}}},
       "zzzaa",
       {{"z", "zzz"}, {"a.w", "aa"}}},
      {"a repeated name keeps the later slice",
       {{2, "x", {}}, {3, "x", {}}, {1, "z", {}}},
       "11222z",
       {{"x", "222"}, {"z", "z"}}},
      {"an entry reaching past the end is cut off",
       {{2, "a.w", {}}, {100, "b.css", {}}},
       "aabbb",
       {{"a.w", "aa"}, {"b.css", "bbb"}}},
      {"an entry starting at the very end is empty",
       {{3, "a.w", {}}, {4, "b.css", {}}},
       "aaa",
       {{"a.w", "aaa"}, {"b.css", ""}}},
      {"no entries and an empty payload empty the store", {}, "", {}},
  };
  for (const auto& c : cases) {
    BundleStore::clear();
    BundleStore::put("plain", "old");
    BundleImage image = signedImage(c.table, c.content);
    std::string path = writeBytes("case.dat", pelbundle::serializeBundle(image, testKeys().payloadKey));
    ASSERT_TRUE(load(path)) << c.what;
    EXPECT_EQ(storeContent(kNames), c.expected) << c.what;
    EXPECT_EQ(BundleStore::size(), c.expected.size()) << c.what;
  }
}

TEST_F(BundleFixture, DamagedBundlesLeaveTheStoreAsItWas) {
  using Mutation = std::function<std::string(BundleImage&)>;
  auto serialize = [](BundleImage& image) {
    return pelbundle::serializeBundle(image, testKeys().payloadKey);
  };
  const std::vector<TableRow> table = {{3, "a.w", {}}, {2, "b.css", {}}};
  const std::string content = "aaabb";
  const size_t signatureAt = pelbundle::kHeaderPrefixLength;
  struct Case {
    const char* what;
    Mutation make;
  } cases[] = {
      {"wrong magic", [&](BundleImage& i) { i.magic = "RES?" + std::string(1, '\0'); return serialize(i); }},
      {"magic without its zero byte", [&](BundleImage& i) { i.magic = "RES!!"; return serialize(i); }},
      {"empty file", [](BundleImage&) { return std::string(); }},
      {"header only", [&](BundleImage& i) { return serialize(i).substr(0, 6); }},
      {"cut in the IV", [&](BundleImage& i) { return serialize(i).substr(0, 20); }},
      {"cut in the signature", [&](BundleImage& i) { return serialize(i).substr(0, signatureAt + 100); }},
      {"cut in the entry table",
       [&](BundleImage& i) { return serialize(i).substr(0, signatureAt + 256 + 8 + 6 + 2); }},
      {"cut in the payload", [&](BundleImage& i) { std::string f = serialize(i); return f.substr(0, f.size() - 3); }},
      {"payload length beyond the file", [&](BundleImage& i) { i.payloadLength = 0x7FFFFFF0u; return serialize(i); }},
      {"entry count beyond the file", [&](BundleImage& i) { i.entryCount = 0xFFFFFFFFu; return serialize(i); }},
      {"zero-length name", [&](BundleImage& i) { i.table[0].nameLength = 0; i.table[0].name.clear(); return serialize(i); }},
      {"negative name length", [&](BundleImage& i) { i.table[0].nameLength = -3; return serialize(i); }},
      {"zero payload length", [&](BundleImage& i) { i.payload.clear(); resign(i); return serialize(i); }},
      {"no signature", [&](BundleImage& i) { i.signature.clear(); return serialize(i); }},
      {"flipped signature byte", [&](BundleImage& i) { i.signature[100] ^= 0x01; return serialize(i); }},
      {"signed with another key", [&](BundleImage& i) { resign(i, bundletest::otherKeys().signingKeyPem); return serialize(i); }},
      {"flipped encrypted payload byte",
       [&](BundleImage& i) { std::string f = serialize(i); f[f.size() - 5] ^= 0x20; return f; }},
      {"wrapped offsets",
       [&](BundleImage& i) {
         // In 32 bits the last "a.w" would start at 0 again and "b.css" at 3: every slice
         // in range, every one wrong.
         i.table = {{0xFFFFFFFFu, "a.w", {}}, {1, "a.w", {}}, {3, "a.w", {}}, {2, "b.css", {}}};
         return serialize(i);
       }},
      {"gzip bomb: more inflated bytes than the table holds",
       [&](BundleImage& i) {
         i.payload = pelbundle::gzipMember(std::string(8 << 20, '\0'));
         resign(i);
         return serialize(i);
       }},
      {"no entries but a payload", [&](BundleImage& i) { i.table.clear(); return serialize(i); }},
      {"entry starting past the inflated end",
       [&](BundleImage& i) {
         i.table = {{10, "a.w", {}}, {1, "z", {}}};  // "z" would start at 10 of 5
         return serialize(i);
       }},
      {"corrupt gzip", [&](BundleImage& i) { i.payload[i.payload.size() / 2] ^= 0x55; resign(i); return serialize(i); }},
      {"gzip member cut short", [&](BundleImage& i) { i.payload.resize(i.payload.size() - 6); resign(i); return serialize(i); }},
      {"zlib stream in place of gzip", [&](BundleImage& i) { i.payload = zlibWrapped(content); resign(i); return serialize(i); }},
  };

  for (const auto& c : cases) {
    BundleStore::clear();
    ASSERT_TRUE(load(writeBundle("good.dat", {{"good.w", "<p>kept</p>"}, {"b.css", "kept"}})));
    auto before = storeContent(kNames);
    BundleImage image = signedImage(table, content);
    std::string path = writeBytes("damaged.dat", c.make(image));
    EXPECT_FALSE(load(path)) << c.what;
    EXPECT_EQ(storeContent(kNames), before) << c.what;
    EXPECT_EQ(BundleStore::size(), 2u) << c.what;
  }
  EXPECT_FALSE(load((dir_ / "missing.dat").string()));
  EXPECT_FALSE(loadResourceBundleWithKey(writeBundle("x.dat", {{"a.w", "a"}}), nullptr));
}

TEST_F(BundleFixture, OnlyAMissingOrForeignFileIsLoggedAsAnInvalidHeader) {
  std::string logPath = (dir_ / "log.txt").string();
  zrk::configureLogging(logPath, 0, false, false);
  zrk::setLogLevel(1);
  auto logText = [&] {
    std::ifstream in(logPath);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = text.find("Invalid resource file header."); at != std::string::npos;
         at = text.find("Invalid resource file header.", at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_FALSE(load((dir_ / "missing.dat").string()));
  EXPECT_FALSE(load(writeBytes("short.dat", "RES!")));
  EXPECT_FALSE(load(writeBytes("foreign.dat", std::string("RES!\x01\x01\0\0", 8) + std::string(64, 'x'))));
  EXPECT_EQ(count(logText()), 3u);

  // Past the header, failures are silent.
  BundleImage image = signedImage({{2, "a.w", {}}}, "aa");
  image.signature[0] ^= 1;
  EXPECT_FALSE(load(writeBytes("bad.dat", pelbundle::serializeBundle(image, testKeys().payloadKey))));
  EXPECT_FALSE(load(writeBytes("cut.dat", std::string("RES!\0\0\0\0", 8))));
  std::string text = logText();
  EXPECT_EQ(count(text), 3u) << text;
  zrk::shutdownLogging();
}

TEST_F(BundleFixture, HeaderBytesFiveToSevenAndTrailingBytesAreNotRead) {
  BundleImage image = signedImage({{2, "a.w", {}}}, "aa");
  image.version = 0xEE;
  image.reserved = 0xBEEF;
  image.trailer = "trailing bytes";
  ASSERT_TRUE(load(writeBytes("any.dat", pelbundle::serializeBundle(image, testKeys().payloadKey))));
  ASSERT_NE(BundleStore::get("a.w"), nullptr);
  EXPECT_EQ(*BundleStore::get("a.w"), "aa");
}

TEST_F(BundleFixture, VerificationTakesTheInstalledKeyText) {
  std::string message = pelbundle::md5("payload");
  std::string signature = pelbundle::signMessage(message, testKeys().signingKeyPem);
  auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  auto verify = [&](const std::string& m, const std::string& s) {
    return verifyBundleSignature(bytes(m), static_cast<uint32_t>(m.size()), bytes(s),
                                 static_cast<uint32_t>(s.size()));
  };
  EXPECT_TRUE(verify(message, signature));
  EXPECT_FALSE(verify(pelbundle::md5("other"), signature));
  EXPECT_TRUE(verifyWithPublicKey(testKeys().verifyKeyPem.c_str(), bytes(message), 16,
                                  bytes(signature), static_cast<uint32_t>(signature.size())));
  EXPECT_FALSE(verifyWithPublicKey("not a key", bytes(message), 16, bytes(signature),
                                   static_cast<uint32_t>(signature.size())));
  EXPECT_FALSE(verifyWithPublicKey(nullptr, nullptr, 0, nullptr, 0));

  setVerifyKey(bundletest::otherKeys().verifyKeyPem.c_str());
  EXPECT_FALSE(verify(message, signature));
  setVerifyKey(nullptr);
  EXPECT_FALSE(verify(message, signature));
  setVerifyKey(testKeys().verifyKeyPem.c_str());

  // Verifications from several threads run one at a time and all answer.
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) good += verify(message, signature) ? 1 : 0;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 20);
}

}  // namespace
