// The bundle writer, the key generator and the packer tool, checked against the file layout with a
// reader of the test's own (Crypto++ verification, zlib inflation).
#include <gtest/gtest.h>

#include <cryptopp/filters.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/bundler/bundle-format.h"
#include "tools/bundler/keys.h"
#include "tools/bundler/writer.h"

namespace fs = std::filesystem;
using namespace pelbundle;

namespace {

std::string hex(const std::string& hexText) {
  std::string out;
  for (size_t i = 0; i + 1 < hexText.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hexText.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string inflateGzip(const std::string& gz) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, 31), Z_OK);
  std::string out;
  char buf[4096];
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  zs.avail_in = static_cast<uInt>(gz.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof buf - zs.avail_out);
  }
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(zs.avail_in, 0u) << "bytes after the gzip member";
  inflateEnd(&zs);
  return out;
}

bool verifySignature(const std::string& message, const std::string& signature,
                     const std::string& verifyKeyPem) {
  std::string der = pemDecode(verifyKeyPem, "PUBLIC KEY");
  CryptoPP::RSA::PublicKey key;
  CryptoPP::StringSource source(der, true);
  key.Load(source);
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(key);
  return verifier.VerifyMessage(reinterpret_cast<const CryptoPP::byte*>(message.data()),
                                message.size(),
                                reinterpret_cast<const CryptoPP::byte*>(signature.data()),
                                signature.size());
}

// A bundle file taken apart by its layout.
struct Parsed {
  std::string magic;
  uint8_t version = 0;
  std::string iv, signature, plainPayload;
  std::vector<std::pair<std::string, uint32_t>> table;  // decrypted name, size
  std::string encryptedPayload;
};

Parsed parse(const std::string& file, const std::string& key) {
  Parsed p;
  auto u = [&](size_t at) { return reinterpret_cast<const unsigned char*>(file.data()) + at; };
  p.magic = file.substr(0, 5);
  p.version = *u(5);
  p.iv = file.substr(8, 16);
  uint16_t s = readLe16(u(24));
  p.signature = file.substr(26, s);
  uint32_t payloadLength = readLe32(u(26 + s));
  uint32_t count = readLe32(u(30 + s));
  size_t at = 34 + s;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t size = readLe32(u(at));
    auto len = static_cast<int16_t>(readLe16(u(at + 4)));
    p.table.emplace_back(aesCtr(file.substr(at + 6, len), key, p.iv), size);
    at += 6 + len;
  }
  p.encryptedPayload = file.substr(at, payloadLength);
  EXPECT_EQ(at + payloadLength, file.size());
  p.plainPayload = aesCtr(p.encryptedPayload, key, p.iv);
  return p;
}

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

int run(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class BundlerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { keys_ = new KeySet(generateKeySet()); }
  static void TearDownTestSuite() {
    delete keys_;
    keys_ = nullptr;
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pel-bundler-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A small UI folder: nested names, a space, binary bytes, an empty file, and hidden things that
  // must stay out.
  fs::path makePages() {
    fs::path pages = dir_ / "pages";
    writeFile(pages / "main.w", "<!DOCTYPE html><p>main</p>");
    writeFile(pages / "css/app.css", "body{margin:0}");
    writeFile(pages / "img/a b.png", std::string("\x89PNG\0\0\x01\xff", 8));
    writeFile(pages / "empty.txt", "");
    writeFile(pages / ".hidden", "no");
    writeFile(pages / "sub/.git/config", "no");
    writeFile(pages / "sub/.swp.w", "no");
    return pages;
  }

  static KeySet* keys_;
  fs::path dir_;
};
KeySet* BundlerTest::keys_ = nullptr;

// NIST SP 800-38A, F.5.5 (CTR-AES256.Encrypt).
TEST(BundleCrypto, AesCtrMatchesTheNistVectorAndCountsOver128Bits) {
  std::string key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  std::string iv = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  std::string plain = hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  std::string cipher = hex(
      "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
      "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6");
  EXPECT_EQ(aesCtr(plain, key, iv), cipher);
  EXPECT_EQ(aesCtr(cipher, key, iv), plain);
  EXPECT_EQ(aesCtr(plain.substr(0, 5), key, iv), cipher.substr(0, 5)) << "no padding";

  // The counter block is one 128-bit number: all ones wraps to all zeros.
  std::string zeros(32, '\0');
  EXPECT_EQ(aesCtr(zeros, key, std::string(16, '\xff')).substr(16),
            aesCtr(zeros.substr(16), key, std::string(16, '\0')));
  // 00..00ff..ff carries into the upper half.
  EXPECT_EQ(aesCtr(zeros, key, hex("0000000000000000ffffffffffffffff")).substr(16),
            aesCtr(zeros.substr(16), key, hex("00000000000000010000000000000000")));

  EXPECT_THROW(aesCtr(plain, key.substr(0, 16), iv), std::invalid_argument);
  EXPECT_THROW(aesCtr(plain, key, iv.substr(1)), std::invalid_argument);
}

TEST_F(BundlerTest, APackedFolderHasTheLayoutAndASignatureOverTheGzipDigest) {
  std::string iv = hex("000102030405060708090a0b0c0d0e0f");
  auto image = makeBundleImage(collectFolder(makePages()), keys_->signingKeyPem, iv);
  std::string file = serializeBundle(image, keys_->payloadKey);
  Parsed p = parse(file, keys_->payloadKey);

  EXPECT_EQ(p.magic, std::string("RES!\0", 5));
  EXPECT_EQ(p.version, kFormatVersion);
  EXPECT_EQ(file.substr(6, 2), std::string(2, '\0'));
  EXPECT_EQ(p.iv, iv);
  EXPECT_EQ(p.signature.size(), 256u);
  // Sorted by bytes, hidden files and folders left out, sizes exact.
  std::vector<std::pair<std::string, uint32_t>> expected = {
      {"css/app.css", 14}, {"empty.txt", 0}, {"img/a b.png", 8}, {"main.w", 26}};
  EXPECT_EQ(p.table, expected);
  // The payload is one gzip member of the contents in table order.
  ASSERT_GE(p.plainPayload.size(), 10u);
  EXPECT_EQ(p.plainPayload.substr(0, 3), "\x1f\x8b\x08");
  EXPECT_EQ(p.plainPayload.substr(4, 4), std::string(4, '\0')) << "time stamp 0";
  EXPECT_EQ(inflateGzip(p.plainPayload),
            std::string("body{margin:0}") + std::string("\x89PNG\0\0\x01\xff", 8) +
                "<!DOCTYPE html><p>main</p>");
  // The signature covers MD5 of the decrypted gzip bytes, nothing else.
  EXPECT_TRUE(verifySignature(md5(p.plainPayload), p.signature, keys_->verifyKeyPem));
  EXPECT_FALSE(verifySignature(p.plainPayload, p.signature, keys_->verifyKeyPem));
  EXPECT_FALSE(verifySignature(md5(p.encryptedPayload), p.signature, keys_->verifyKeyPem));
  EXPECT_EQ(md5(""), hex("d41d8cd98f00b204e9800998ecf8427e"));
}

TEST_F(BundlerTest, NamesAndPayloadEachStartFromTheIv) {
  std::string iv = hex("ffffffffffffffffffffffffffffff00");
  auto image = makeBundleImage({{std::string(40, 'n'), "x"}}, keys_->signingKeyPem, iv);
  std::string file = serializeBundle(image, keys_->payloadKey);
  // Name and payload both start at the IV, so they are XORed with the same keystream.
  size_t nameAt = 34 + 256 + 6;
  std::string keystream = aesCtr(std::string(40, '\0'), keys_->payloadKey, iv);
  for (size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(static_cast<char>(file[nameAt + i] ^ 'n'), keystream[i]) << i;
  }
  std::string payload = file.substr(nameAt + 40);
  EXPECT_EQ(aesCtr(payload, keys_->payloadKey, iv), image.payload);
}

TEST_F(BundlerTest, EntriesTheFormatCannotHoldAreRefused) {
  struct Case {
    const char* what;
    std::vector<Entry> entries;
  } cases[] = {
      {"empty name", {{"", "x"}}},
      {"absolute name", {{"/main.w", "x"}}},
      {"repeated name", {{"a.w", "1"}, {"b.w", "2"}, {"a.w", "3"}}},
      {"name over 32767 bytes", {{std::string(32768, 'a'), "x"}}},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(makeBundleImage(c.entries, keys_->signingKeyPem, std::string(16, '\0')),
                 std::invalid_argument)
        << c.what;
  }
  auto longest = makeBundleImage({{std::string(32767, 'a'), "x"}}, keys_->signingKeyPem,
                                 std::string(16, '\0'));
  EXPECT_EQ(longest.table.at(0).name.size(), 32767u);
  auto none = makeBundleImage({}, keys_->signingKeyPem, std::string(16, '\0'));
  EXPECT_TRUE(none.table.empty());
  EXPECT_EQ(inflateGzip(none.payload), "");
}

TEST_F(BundlerTest, KeySetsAreMadeOnceAndNeverReplacedSilently) {
  fs::path keyDir = dir_ / "keys";
  bool generated = false;
  KeySet first = ensureKeySet(keyDir, &generated);
  EXPECT_TRUE(generated);
  EXPECT_EQ(first.payloadKey.size(), 32u);
  EXPECT_EQ(fs::status(keyDir / "signing-key.pem").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_NE(first.payloadKey, keys_->payloadKey);

  KeySet again = ensureKeySet(keyDir, &generated);
  EXPECT_FALSE(generated);
  EXPECT_EQ(again.payloadKey, first.payloadKey);
  EXPECT_EQ(again.verifyKeyPem, first.verifyKeyPem);
  EXPECT_EQ(renderKeysHeader(again), renderKeysHeader(first));

  // A public key of another pair, and a partial set, are errors and change nothing.
  writeFile(keyDir / "verify-key.pem", keys_->verifyKeyPem);
  EXPECT_THROW(ensureKeySet(keyDir), std::runtime_error);
  fs::remove(keyDir / "verify-key.pem");
  EXPECT_THROW(ensureKeySet(keyDir), std::runtime_error);
  EXPECT_FALSE(fs::exists(keyDir / "verify-key.pem"));
  EXPECT_EQ(readWholeFile(keyDir / "payload.key"), first.payloadKey);

  EXPECT_THROW(generateKeySet(1024), std::runtime_error);
  KeySet shortKey = *keys_;
  shortKey.payloadKey.pop_back();
  EXPECT_THROW(checkKeySet(shortKey), std::runtime_error);
}

// The numbers between the braces that follow `marker` in a header text.
std::vector<unsigned long> numbersAfter(const std::string& text, const std::string& marker) {
  std::vector<unsigned long> out;
  size_t at = text.find(marker);
  if (at == std::string::npos) return out;
  size_t open = text.find('{', at), close = text.find('}', at);
  if (open == std::string::npos || close < open) return out;
  const char* p = text.c_str() + open + 1;
  const char* stop = text.c_str() + close;
  while (p < stop) {
    char* next = nullptr;
    unsigned long v = std::strtoul(p, &next, 0);
    if (next == p) {
      ++p;
      continue;
    }
    out.push_back(v);
    p = next;
  }
  return out;
}

TEST_F(BundlerTest, TheGeneratedHeaderHoldsThePayloadKeyAndTheMaskedPublicKey) {
  std::string header = renderKeysHeader(*keys_);
  std::string key;
  for (unsigned long w : numbersAfter(header, "kPayloadKeyWords[8] =")) {
    appendLe32(key, static_cast<uint32_t>(w));
  }
  EXPECT_EQ(key, keys_->payloadKey);

  size_t seedAt = header.find("kVerifyKeySeed = ");
  ASSERT_NE(seedAt, std::string::npos);
  auto seed = static_cast<uint16_t>(std::stoul(header.substr(seedAt + 17)));
  std::string pem;
  size_t index = 0;
  for (unsigned long v : numbersAfter(header, "kVerifyKeyTable[kVerifyKeyLength] =")) {
    ASSERT_LE(v, 0xFFFFu);
    pem.push_back(static_cast<char>(v ^ verifyKeyMask(seed, index++)));
  }
  EXPECT_EQ(pem, keys_->verifyKeyPem);
  EXPECT_NE(header.find("kVerifyKeyLength = " + std::to_string(pem.size()) + ";"), std::string::npos);
  EXPECT_EQ(header.find("BEGIN"), std::string::npos) << "the key text never stands in plain";
  EXPECT_EQ(pem.rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
}

TEST_F(BundlerTest, TheToolsPackAFolderWithAFreshIvAndKeepTheOldFileOnFailure) {
  fs::path keyDir = dir_ / "keys";
  fs::path header = dir_ / "gen/pelmora/bundle-keys.h";
  ASSERT_EQ(run(std::string(PEL_KEYGEN_TOOL) + " " + keyDir.string() + " " + header.string()), 0);
  ASSERT_TRUE(fs::exists(header));
  KeySet keys = readKeySet(keyDir);
  EXPECT_EQ(readWholeFile(header), renderKeysHeader(keys));

  fs::path pages = makePages();
  fs::path out = dir_ / "bin/resource.dat";
  fs::create_directories(out.parent_path());
  std::string pack = std::string(PEL_BUNDLE_TOOL) + " --keys " + keyDir.string() + " --out " +
                     out.string() + " --in ";
  ASSERT_EQ(run(pack + pages.string()), 0);
  std::string first = readWholeFile(out);
  ASSERT_EQ(run(pack + pages.string()), 0);
  std::string second = readWholeFile(out);
  Parsed a = parse(first, keys.payloadKey), b = parse(second, keys.payloadKey);
  EXPECT_NE(a.iv, b.iv);
  EXPECT_EQ(a.table, b.table);
  EXPECT_EQ(a.table.size(), 4u);
  EXPECT_TRUE(verifySignature(md5(b.plainPayload), b.signature, keys.verifyKeyPem));

  // A failed pack (no such folder, bad arguments, a damaged key set) leaves the last bundle.
  EXPECT_EQ(run(pack + (dir_ / "missing").string()), 1);
  EXPECT_EQ(run(pack + pages.string() + " --iv 00"), 1);
  EXPECT_EQ(run(std::string(PEL_BUNDLE_TOOL) + " --in " + pages.string()), 2);
  writeFile(keyDir / "verify-key.pem", keys_->verifyKeyPem);
  EXPECT_EQ(run(pack + pages.string()), 1);
  EXPECT_EQ(readWholeFile(out), second);
  std::vector<std::string> leftovers;
  for (const auto& e : fs::directory_iterator(out.parent_path())) leftovers.push_back(e.path().filename());
  EXPECT_EQ(leftovers, std::vector<std::string>{"resource.dat"});
}

}  // namespace
