// AES in counter and CBC mode: whole buffers, chunked streams and plaintext ranges.
#include <gtest/gtest.h>

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <utility>
#include <vector>

#include "bytes.h"
#include "vesk/tdata.h"

using namespace cryptotest;
using Vesk::TData;

namespace {

// NIST SP 800-38A, F.2 and F.5: one plaintext, three keys.
const std::string kPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b"
    "417be66c3710";
const std::string kCbcIv = "000102030405060708090a0b0c0d0e0f";
const std::string kCtrIv = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

struct AesVector {
  std::string key, ctr, cbc, cbcPaddingBlock;  // the last: the PKCS#7 block that follows the four
};
const AesVector kAes[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c",
     "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d179"
     "2170a0f3009cee",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b273bed6b8e3c1743b7116e69e222295163ff1caa1681fac0912"
     "0eca307586e1a7",
     "8cb82807230e1321d3fae00d18cc2012"},
    {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "1abc932417521ca24f2b0459fe7e6e0b090339ec0aa6faefd5ccc2c6f4ce8e941e36b26bd1ebc670d1bd1d665620abf74f78a7f6d2980958"
     "5a97daec58c6b050",
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a571b242012fb7ae07fa9baac3df102e008b0e27988598881d9"
     "20a9e64f5615cd",
     "612ccd79224b350935d45dd6a98f8176"},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c52b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613"
     "c2dd08457941a6",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda"
     "6c19078c6a9d1b",
     "3f461796d6b0d6b2e0c2a72b4d80e644"},
};

// AES-CBC encryption without padding, to craft ciphertexts with chosen last blocks.
std::string cbcEncryptRaw(const std::string& key, const std::string& iv, const std::string& plain) {
  CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption aes(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size(),
                                                    reinterpret_cast<const CryptoPP::byte*>(iv.data()));
  std::string out;
  CryptoPP::StringSource(plain, true,
                         new CryptoPP::StreamTransformationFilter(aes, new CryptoPP::StringSink(out),
                                                                  CryptoPP::StreamTransformationFilter::NO_PADDING));
  return out;
}

std::string pkcs7(const std::string& plain) {
  const size_t pad = 16 - plain.size() % 16;
  return plain + std::string(pad, static_cast<char>(pad));
}

const std::string kZeroIv(16, '\0');

// A reader over a list of chunks; the last one is flagged.
TData::ChunkReader chunkReader(std::vector<std::string> chunks) {
  auto index = std::make_shared<size_t>(0);
  return [chunks = std::move(chunks), index](std::shared_ptr<TData>& chunk, bool& isLast) {
    if (*index >= chunks.size()) return;
    isLast = *index + 1 == chunks.size();
    chunk = data(chunks[(*index)++]);
  };
}

// A ciphertext "file" for the range reader; it records what was asked.
struct RangeSource {
  explicit RangeSource(std::string bytes) : ciphertext(std::move(bytes)) {}
  std::string ciphertext;
  int64_t base = 0;  // where the ciphertext starts in the file
  std::vector<std::pair<int64_t, int64_t>> requests;

  TData::RangeReader reader() {
    return [this](std::shared_ptr<TData>& chunk, int64_t offset, int64_t length, bool& isLast) {
      requests.emplace_back(offset, length);
      const int64_t size = base + static_cast<int64_t>(ciphertext.size());
      if (offset < base || offset >= size) return;
      const std::string piece = ciphertext.substr(static_cast<size_t>(offset - base), static_cast<size_t>(length));
      isLast = offset + static_cast<int64_t>(piece.size()) >= size;
      chunk = data(piece);
    };
  }
};

}  // namespace

TEST(AesCtr, KnownAnswersBothWays) {
  for (const auto& v : kAes) {
    SCOPED_TRACE(v.key.size() * 4);
    EXPECT_EQ(hexOf(TData::aesCtrDecrypt(hexData(v.ctr), hexData(v.key), hexData(kCtrIv))), kPlain);
    EXPECT_EQ(hexOf(TData::aesCtrDecrypt(hexData(kPlain), hexData(v.key), hexData(kCtrIv))), v.ctr);
    // Bytes of the iv past the first 16 are not used; any length of input works.
    const auto odd = data(pattern(37, 1));
    EXPECT_EQ(str(TData::aesCtrDecrypt(odd, hexData(v.key), hexData(kCtrIv + "ffff"))).size(), 37u);
    EXPECT_EQ(str(TData::aesCtrDecrypt(TData::aesCtrDecrypt(odd, hexData(v.key), hexData(kCtrIv)), hexData(v.key),
                                       hexData(kCtrIv))),
              str(odd));
  }
}

TEST(AesCtr, CounterIsOne128BitBigEndianNumberAndEmptyIvIsZero) {
  const auto key = hexData(kAes[0].key);
  const auto zeros = data(std::string(32, '\0'));
  const auto keystream = [&](const std::string& ivHex) { return hexOf(TData::aesCtrDecrypt(zeros, key, hexData(ivHex))); };
  EXPECT_EQ(hexOf(TData::aesCtrDecrypt(zeros, key, nullptr)), keystream("00000000000000000000000000000000"));
  // All ones wraps to zero; a carry crosses the 64-bit halves.
  EXPECT_EQ(keystream("ffffffffffffffffffffffffffffffff").substr(32), keystream("00000000000000000000000000000000").substr(0, 32));
  EXPECT_EQ(keystream("0000000000000000ffffffffffffffff").substr(32), keystream("00000000000000010000000000000000").substr(0, 32));
}

TEST(AesCtr, EmptyOrShortArgumentsGiveNothingAndBadKeysThrow) {
  const auto key = hexData(kAes[0].key);
  EXPECT_FALSE(TData::aesCtrDecrypt(nullptr, key, nullptr));
  EXPECT_FALSE(TData::aesCtrDecrypt(std::make_shared<TData>(), key, nullptr));
  EXPECT_FALSE(TData::aesCtrDecrypt(data("abc"), nullptr, nullptr));
  EXPECT_FALSE(TData::aesCtrDecrypt(data("abc"), key, data(std::string(15, 'x'))));  // a short iv is not read past
  EXPECT_THROW(TData::aesCtrDecrypt(data("abc"), data(std::string(15, 'k')), nullptr), CryptoPP::InvalidKeyLength);
  EXPECT_THROW(TData::aesCtrDecrypt(data("abc"), std::make_shared<TData>(), nullptr), CryptoPP::InvalidKeyLength);
}

TEST(AesCbc, KnownAnswersWithPaddingRemoved) {
  for (const auto& v : kAes) {
    SCOPED_TRACE(v.key.size() * 4);
    const auto plain = TData::aesCbcDecrypt(hexData(v.cbc + v.cbcPaddingBlock), hexData(v.key), hexData(kCbcIv));
    EXPECT_EQ(hexOf(plain), kPlain);
  }
  // The two-argument form and an empty iv both mean 16 zero bytes.
  const auto key = hexData(kAes[0].key);
  const auto abc = hexData("0da7d34a2c0c32bd408e96dbd66f3ffe");
  EXPECT_EQ(str(TData::aesCbcDecrypt(abc, key)), "abc");
  EXPECT_EQ(str(TData::aesCbcDecrypt(abc, key, nullptr)), "abc");
}

TEST(AesCbc, BadLengthOrPaddingGivesNothing) {
  const std::string key = pattern(16, 5);
  const std::string body = pattern(16, 6);
  const struct {
    const char* what;
    std::string ciphertext;
  } cases[] = {
      {"not whole blocks", cbcEncryptRaw(key, kZeroIv, pkcs7("abc")).substr(0, 15)},
      {"empty", ""},
      {"last byte 0", cbcEncryptRaw(key, kZeroIv, body.substr(0, 15) + std::string(1, '\0'))},
      {"last byte 17", cbcEncryptRaw(key, kZeroIv, body.substr(0, 15) + std::string(1, '\x11'))},
      {"uneven padding", cbcEncryptRaw(key, kZeroIv, body.substr(0, 13) + "\x02\x03\x03")},
      {"padding only", cbcEncryptRaw(key, kZeroIv, std::string(16, '\x10'))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(TData::aesCbcDecrypt(data(c.ciphertext), data(key)));
  }
  EXPECT_FALSE(TData::aesCbcDecrypt(nullptr, data(key)));
  EXPECT_FALSE(TData::aesCbcDecrypt(data(cases[2].ciphertext), nullptr));
  EXPECT_FALSE(TData::aesCbcDecrypt(data(cases[2].ciphertext), data(key), data("short iv")));
  EXPECT_THROW(TData::aesCbcDecrypt(data(cases[2].ciphertext), data("0123456789")), CryptoPP::InvalidKeyLength);
}

TEST(AesCbcStream, ChunkingDoesNotChangeThePlaintext) {
  const std::string key = pattern(32, 7);
  for (size_t length : {1, 95, 96, 100}) {
    const std::string plain = pattern(length, 8);
    const std::string cipher = cbcEncryptRaw(key, kZeroIv, pkcs7(plain));
    // Chunk boundaries at block edges, including a final chunk that holds only the padding block.
    for (std::vector<size_t> cuts : std::vector<std::vector<size_t>>{{}, {16}, {48}, {cipher.size() - 16}}) {
      std::vector<std::string> chunks;
      size_t at = 0;
      for (size_t cut : cuts) {
        if (cut == 0 || cut >= cipher.size()) continue;
        chunks.push_back(cipher.substr(at, cut - at));
        at = cut;
      }
      chunks.push_back(cipher.substr(at));
      SCOPED_TRACE(std::to_string(length) + " bytes in " + std::to_string(chunks.size()) + " chunks, last " +
                   std::to_string(chunks.back().size()));
      std::string out;
      int writes = 0;
      EXPECT_TRUE(TData::aesCbcDecryptStream(data(key), chunkReader(chunks), [&](std::shared_ptr<TData> p) {
        ASSERT_TRUE(p);
        out += str(p);
        ++writes;
      }));
      EXPECT_EQ(out, plain);
      EXPECT_LE(writes, static_cast<int>(chunks.size()));
    }
  }
}

TEST(AesCbcStream, FailuresStopTheRun) {
  const std::string key = pattern(16, 9);
  const std::string cipher = cbcEncryptRaw(key, kZeroIv, pkcs7(pattern(40, 10)));  // 48 bytes
  const auto ignore = [](std::shared_ptr<TData>) {};
  const struct {
    const char* what;
    std::vector<std::string> chunks;
  } cases[] = {
      {"inner chunk not whole blocks", {cipher.substr(0, 20), cipher.substr(20)}},
      {"last chunk cut short", {cipher.substr(0, 47)}},
      {"empty inner chunk", {"", cipher}},
      {"last chunk without padding", {cbcEncryptRaw(key, kZeroIv, pattern(32, 11))}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(TData::aesCbcDecryptStream(data(key), chunkReader(c.chunks), ignore));
  }
  int writes = 0;
  EXPECT_TRUE(TData::aesCbcDecryptStream(data(key), chunkReader({}), [&](std::shared_ptr<TData>) { ++writes; }));
  EXPECT_EQ(writes, 0);
  EXPECT_FALSE(TData::aesCbcDecryptStream(nullptr, chunkReader({cipher}), ignore));
  EXPECT_THROW(TData::aesCbcDecryptStream(data("short"), chunkReader({cipher}), ignore), CryptoPP::InvalidKeyLength);
}

TEST(AesCbcRange, EveryRangeMatchesTheFullDecryption) {
  const std::string key = pattern(32, 12);
  const std::string plain = pattern(200, 13);
  RangeSource source{cbcEncryptRaw(key, kZeroIv, pkcs7(plain))};  // 208 bytes
  const struct {
    int64_t offset, length;
  } cases[] = {{0, 10},  {5, 10},  {20, 10}, {16, 16},  {15, 2},   {0, 200},  {1, 199},
               {100, 100}, {190, 10}, {199, 1}, {180, 50}, {192, 8}, {200, 5}, {31, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    std::string out;
    int writes = 0;
    EXPECT_TRUE(TData::aesCbcDecryptRange(data(key), c.offset, c.length, source.reader(), [&](std::shared_ptr<TData> p) {
      out = str(p);
      ++writes;
    }));
    EXPECT_EQ(writes, 1);
    const size_t from = std::min(plain.size(), static_cast<size_t>(c.offset));
    EXPECT_EQ(toHex(out), toHex(plain.substr(from, static_cast<size_t>(c.length))));
  }
}

TEST(AesCbcRange, ReadsOnlyThePreviousBlockAndTheCoveringBlocks) {
  const std::string key = pattern(16, 14);
  RangeSource source{cbcEncryptRaw(key, kZeroIv, pkcs7(pattern(60, 15)))};
  const auto ignore = [](std::shared_ptr<TData>) {};
  EXPECT_TRUE(TData::aesCbcDecryptRange(data(key), 20, 10, source.reader(), ignore));
  EXPECT_EQ(source.requests, (std::vector<std::pair<int64_t, int64_t>>{{0, 16}, {16, 16}}));
  source.requests.clear();
  EXPECT_TRUE(TData::aesCbcDecryptRange(data(key), 5, 10, source.reader(), ignore));
  EXPECT_EQ(source.requests, (std::vector<std::pair<int64_t, int64_t>>{{0, 16}}));
}

TEST(AesCbcRange, OffsetsBeyondTwoGigabytes) {
  const std::string key = pattern(16, 16);
  const std::string plain = pattern(48, 17);
  RangeSource source{cbcEncryptRaw(key, kZeroIv, pkcs7(plain))};
  source.base = int64_t{3} << 31;  // a multiple of 16 far past 32-bit offsets
  std::string out;
  EXPECT_TRUE(TData::aesCbcDecryptRange(data(key), source.base + 19, 20, source.reader(),
                                        [&](std::shared_ptr<TData> p) { out = str(p); }));
  EXPECT_EQ(toHex(out), toHex(plain.substr(19, 20)));
  EXPECT_EQ(source.requests.front().first, source.base);
}

TEST(AesCbcRange, FailuresAnswerFalse) {
  const std::string key = pattern(16, 18);
  RangeSource source{cbcEncryptRaw(key, kZeroIv, pkcs7(pattern(40, 19)))};
  int writes = 0;
  const auto count = [&](std::shared_ptr<TData>) { ++writes; };
  EXPECT_FALSE(TData::aesCbcDecryptRange(nullptr, 0, 10, source.reader(), count));
  EXPECT_FALSE(TData::aesCbcDecryptRange(data("bad key"), 0, 10, source.reader(), count));  // caught here
  EXPECT_FALSE(TData::aesCbcDecryptRange(data(key), -1, 10, source.reader(), count));
  EXPECT_FALSE(TData::aesCbcDecryptRange(data(key), 0, -1, source.reader(), count));
  EXPECT_FALSE(TData::aesCbcDecryptRange(data(key), INT64_MAX - 5, 100, source.reader(), count));
  EXPECT_FALSE(TData::aesCbcDecryptRange(data(key), 0, 10, source.reader(),
                                         [](std::shared_ptr<TData>) { throw std::runtime_error("writer failed"); }));
  // Wrong key: the padding at the end does not check out.
  EXPECT_FALSE(TData::aesCbcDecryptRange(data(pattern(16, 99)), 40, 5, source.reader(), count));
  EXPECT_EQ(writes, 0);

  // No ciphertext at all is not an error; nothing is written.
  EXPECT_TRUE(TData::aesCbcDecryptRange(data(key), 500, 10, source.reader(), count));
  EXPECT_EQ(writes, 0);
  // The reader's own failures reach the caller.
  EXPECT_THROW(TData::aesCbcDecryptRange(data(key), 0, 10,
                                         [](std::shared_ptr<TData>&, int64_t, int64_t, bool&) { throw std::logic_error("io"); },
                                         count),
               std::logic_error);
}
