#include "vesk/rijndael.h"

#include <gtest/gtest.h>

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <functional>

#include "bytes.h"
#include "vesk/tdata.h"

using namespace cryptotest;

namespace {

const std::string kKey256 = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe";
const std::string kPlain256 = "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8";

struct Vector {
  int keyBytes;
  int blockBytes;
  std::string key, plain, cipher;
};

// FIPS-197 (appendices B and C) and the published Rijndael vectors for the longer blocks.
const Vector kVectors[] = {
    {16, 16, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {24, 16, "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {32, 16, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
     "8ea2b7ca516745bfeafc49904b496089"},
    {16, 16, kKey256.substr(0, 32), kPlain256.substr(0, 32), "3925841d02dc09fbdc118597196a0b32"},
    {32, 16, kKey256, kPlain256.substr(0, 32), "1a6e6c2c662e7da6501ffb62bc9e93f3"},
    {16, 24, kKey256.substr(0, 32), kPlain256.substr(0, 48), "b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a"},
    {24, 24, kKey256.substr(0, 48), kPlain256.substr(0, 48), "725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf"},
    {32, 24, kKey256, kPlain256.substr(0, 48), "0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c"},
    {16, 32, kKey256.substr(0, 32), kPlain256, "7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19"},
    {24, 32, kKey256.substr(0, 48), kPlain256, "5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2"},
    {32, 32, kKey256, kPlain256, "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a"},
};

std::string run(CRijndael& r, bool encrypt, const std::string& in, int mode) {
  std::string out(in.size(), '\0');
  const int n = encrypt ? r.encrypt(in.data(), out.data(), in.size(), mode) : r.decrypt(in.data(), out.data(), in.size(), mode);
  EXPECT_EQ(static_cast<size_t>(n), in.size());
  return out;
}

std::string crypto(CryptoPP::StreamTransformation&& cipher, const std::string& in) {
  std::string out;
  CryptoPP::StringSource(in, true,
                         new CryptoPP::StreamTransformationFilter(cipher, new CryptoPP::StringSink(out),
                                                                  CryptoPP::StreamTransformationFilter::NO_PADDING));
  return out;
}

std::string exceptionText(const std::function<void()>& f) {
  try {
    f();
  } catch (const CRijndael::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

}  // namespace

TEST(Rijndael, KnownAnswersForEveryKeyAndBlockLength) {
  for (const auto& v : kVectors) {
    SCOPED_TRACE(std::to_string(v.keyBytes) + "-byte key, " + std::to_string(v.blockBytes) + "-byte block");
    CRijndael r;
    r.setKey(fromHex(v.key).data(), std::string(32, '\0').data(), v.keyBytes, v.blockBytes);
    EXPECT_EQ(r.rounds(), std::max(v.keyBytes, v.blockBytes) / 4 + 6);
    const std::string plain = fromHex(v.plain);
    std::string out(plain.size(), '\0');
    r.encryptBlock(plain.data(), out.data());
    EXPECT_EQ(toHex(out), v.cipher);
    std::string back(plain.size(), '\0');
    r.decryptBlock(out.data(), back.data());
    EXPECT_EQ(back, plain);
  }
}

TEST(Rijndael, SixteenByteBlocksMatchCryptoppAesInEveryMode) {
  for (int keyBytes : {16, 24, 32}) {
    SCOPED_TRACE(keyBytes);
    const std::string key = pattern(static_cast<size_t>(keyBytes), 7);
    const std::string iv = pattern(16, 8);
    const std::string plain = pattern(16 * 9, 9);
    const auto* k = reinterpret_cast<const CryptoPP::byte*>(key.data());
    const auto* v = reinterpret_cast<const CryptoPP::byte*>(iv.data());
    const struct {
      int mode;
      std::string cipher;
    } modes[] = {
        {CRijndael::ECB, crypto(CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption(k, key.size()), plain)},
        {CRijndael::CBC, crypto(CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption(k, key.size(), v), plain)},
        {CRijndael::CFB, crypto(CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption(k, key.size(), v), plain)},
    };
    for (const auto& m : modes) {
      SCOPED_TRACE(m.mode);
      CRijndael r;
      r.setKey(key.data(), iv.data(), keyBytes, 16);
      EXPECT_EQ(toHex(run(r, true, plain, m.mode)), toHex(m.cipher));
      r.setKey(key.data(), iv.data(), keyBytes, 16);
      EXPECT_EQ(run(r, false, m.cipher, m.mode), plain);
    }
  }
}

TEST(Rijndael, LongerBlocksRoundTripInEveryModeAndInPlace) {
  for (int blockBytes : {24, 32}) {
    for (int keyBytes : {16, 24, 32}) {
      for (int mode : {CRijndael::ECB, CRijndael::CBC, CRijndael::CFB}) {
        SCOPED_TRACE(std::to_string(blockBytes) + "/" + std::to_string(keyBytes) + "/" + std::to_string(mode));
        const std::string key = pattern(static_cast<size_t>(keyBytes), 3);
        const std::string chain = pattern(32, 4);
        const std::string plain = pattern(static_cast<size_t>(blockBytes) * 5, 5);
        CRijndael r;
        r.setKey(key.data(), chain.data(), keyBytes, blockBytes);
        std::string buffer = plain;
        r.encrypt(buffer.data(), buffer.data(), buffer.size(), mode);
        EXPECT_NE(buffer, plain);
        r.setKey(key.data(), chain.data(), keyBytes, blockBytes);
        r.decrypt(buffer.data(), buffer.data(), buffer.size(), mode);
        EXPECT_EQ(buffer, plain);
      }
    }
  }
}

TEST(Rijndael, ChainCarriesOverBetweenCallsUntilSetKey) {
  const std::string key = pattern(16, 1);
  const std::string chain = pattern(16, 2);
  const std::string plain = pattern(32, 3);
  for (int mode : {CRijndael::CBC, CRijndael::CFB}) {
    for (bool encrypt : {true, false}) {
      SCOPED_TRACE(std::to_string(mode) + (encrypt ? " encrypt" : " decrypt"));
      CRijndael whole;
      whole.setKey(key.data(), chain.data(), 16, 16);
      const std::string once = run(whole, encrypt, plain, mode);
      CRijndael split;
      split.setKey(key.data(), chain.data(), 16, 16);
      const std::string first = run(split, encrypt, plain.substr(0, 16), mode);
      EXPECT_EQ(first + run(split, encrypt, plain.substr(16), mode), once);
      // setKey starts the chain over.
      split.setKey(key.data(), chain.data(), 16, 16);
      EXPECT_EQ(run(split, encrypt, plain.substr(0, 16), mode), first);
    }
  }
}

TEST(Rijndael, RefusesBadKeysLengthsAndUseBeforeSetKey) {
  const std::string bytes(64, 'x');
  char out[64];
  CRijndael fresh;
  EXPECT_EQ(exceptionText([&] { fresh.encryptBlock(bytes.data(), out); }), "Object not Initialized");
  EXPECT_EQ(exceptionText([&] { fresh.decryptBlock(bytes.data(), out); }), "Object not Initialized");
  EXPECT_EQ(exceptionText([&] { fresh.encrypt(bytes.data(), out, 16, CRijndael::ECB); }), "Object not Initialized");
  EXPECT_EQ(exceptionText([&] { fresh.decrypt(bytes.data(), out, 16, CRijndael::CBC); }), "Object not Initialized");
  EXPECT_EQ(exceptionText([&] { fresh.xorChain(out, bytes.data()); }), "Object not Initialized");

  // The checks run in this order: key present, key length, block length.
  EXPECT_EQ(exceptionText([&] { fresh.setKey(nullptr, bytes.data(), 7, 7); }), "Empty key");
  EXPECT_EQ(exceptionText([&] { fresh.setKey(bytes.data(), bytes.data(), 20, 7); }), "Incorrect key length");
  EXPECT_EQ(exceptionText([&] { fresh.setKey(bytes.data(), bytes.data(), 16, 20); }), "Incorrect block length");
  // A failed setKey leaves the object unusable.
  EXPECT_EQ(exceptionText([&] { fresh.encryptBlock(bytes.data(), out); }), "Object not Initialized");

  CRijndael r;
  r.setKey(bytes.data(), bytes.data(), 16, 24);
  for (size_t n : {0, 16, 17, 25}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(exceptionText([&] { r.encrypt(bytes.data(), out, n, CRijndael::ECB); }), "Data not multiple of Block Size");
    EXPECT_EQ(exceptionText([&] { r.decrypt(bytes.data(), out, n, CRijndael::CFB); }), "Data not multiple of Block Size");
  }
  EXPECT_EQ(r.encrypt(bytes.data(), out, 48, CRijndael::ECB), 48);
}

TEST(RijndaelData, EncryptCbcPadsAndMatchesAesCbcWithPkcs7) {
  const std::string key = pattern(32, 11);
  for (size_t length : {0, 1, 15, 16, 17, 100}) {
    SCOPED_TRACE(length);
    const std::string plain = pattern(length, 12);
    const auto cipher = Vesk::TData::rijndaelEncryptCbc(data(plain), data(key));
    ASSERT_TRUE(cipher);
    EXPECT_EQ(cipher->length(), (length / 16 + 1) * 16);
    std::string expected;
    const CryptoPP::byte zero[16] = {};
    CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption aes(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size(), zero);
    CryptoPP::StringSource(plain, true, new CryptoPP::StreamTransformationFilter(aes, new CryptoPP::StringSink(expected)));
    EXPECT_EQ(toHex(str(cipher)), toHex(expected));
    // Our own CBC decryption reads it back, padding removed.
    const auto back = Vesk::TData::rijndaelDecryptCbc(cipher, data(key));
    ASSERT_TRUE(back);
    EXPECT_EQ(str(back), plain);
  }
}

TEST(RijndaelData, EcbAndCfbDecryptionsKeepThePadding) {
  const std::string key = pattern(16, 21);
  const std::string plain = pattern(20, 22) + std::string(12, '\x0c');
  CRijndael r;
  r.setKey(key.data(), std::string(32, '\0').data(), 16, 16);
  const std::string ecb = run(r, true, plain, CRijndael::ECB);
  EXPECT_EQ(str(Vesk::TData::rijndaelDecryptEcb(data(ecb), data(key))), plain);

  r.setKey(key.data(), std::string(32, '\0').data(), 16, 16);
  const std::string cfb = run(r, true, plain, CRijndael::CFB);
  EXPECT_EQ(str(Vesk::TData::rijndaelDecryptCfb(data(cfb), data(key))), plain);
}

TEST(RijndaelData, FailuresGiveAnEmptyPointer) {
  const auto key = data(pattern(16, 1));
  const auto block = data(pattern(32, 2));
  const std::shared_ptr<Vesk::TData> none;
  using Op = std::shared_ptr<Vesk::TData> (*)(const std::shared_ptr<Vesk::TData>&, const std::shared_ptr<Vesk::TData>&);
  for (Op op : {&Vesk::TData::rijndaelEncryptCbc, &Vesk::TData::rijndaelDecryptCbc, &Vesk::TData::rijndaelDecryptCfb,
                &Vesk::TData::rijndaelDecryptEcb}) {
    EXPECT_FALSE(op(none, key));
    EXPECT_FALSE(op(block, none));
    EXPECT_FALSE(op(block, data(pattern(15, 3))));       // key length
    EXPECT_FALSE(op(block, std::make_shared<Vesk::TData>()));  // empty key
  }
  // The decryptions want whole blocks.
  for (Op op : {&Vesk::TData::rijndaelDecryptCbc, &Vesk::TData::rijndaelDecryptCfb, &Vesk::TData::rijndaelDecryptEcb}) {
    EXPECT_FALSE(op(data(pattern(15, 4)), key));
    EXPECT_FALSE(op(std::make_shared<Vesk::TData>(), key));
  }
  // Ciphertext read back with the wrong key fails the padding check instead of returning noise.
  const auto cipher = Vesk::TData::rijndaelEncryptCbc(data("secret message"), key);
  int readable = 0;
  for (unsigned seed = 100; seed < 140; ++seed)
    if (Vesk::TData::rijndaelDecryptCbc(cipher, data(pattern(16, seed)))) ++readable;
  EXPECT_LE(readable, 2);  // a random last byte of 0x01 passes now and then
}
