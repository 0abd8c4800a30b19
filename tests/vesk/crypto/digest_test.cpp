// Base64, digests of buffers, texts and files, PBKDF2 and the hexadecimal forms.
#include <gtest/gtest.h>

#include <cryptopp/cryptlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bytes.h"
#include "vesk/crypto.h"
#include "vesk/tdata.h"
#include "vesk/tstring.h"

using namespace cryptotest;
using Vesk::HashType;
using Vesk::TData;

namespace {

class TempDir {
 public:
  TempDir() {
    path_ = std::filesystem::temp_directory_path() / ("vesk-crypto-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string write(const std::string& name, const std::string& bytes) const {
    const auto p = path_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

}  // namespace

TEST(Base64, DecodeSkipsEverythingOutsideTheAlphabet) {
  const struct {
    std::string text, bytes;
  } cases[] = {
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"QU=JD\n RA", "ABCD"},       // padding, a line break and a space inside
      {"TW\r\nFu\tTW Fu", "ManMan"},
      {"TWFu=TWFu", "ManMan"},      // "=" does not end the decoding
      {"====", ""},
      {"TWFuT", "Man"},             // one character left over is dropped
      {"-_TWFu-_", "Man"},          // the URL-safe letters are not in the alphabet
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Vesk::base64Decode(c.text), c.bytes);
    EXPECT_EQ(Vesk::base64Decode(c.text.data(), static_cast<int>(c.text.size())), c.bytes);
  }
  EXPECT_EQ(Vesk::base64Decode(nullptr, 4), "");
  EXPECT_EQ(Vesk::base64Decode("TWFu", -1), "");
}

TEST(Base64, EncodeWrapsAt72ColumnsAndEndsWithALineFeed) {
  EXPECT_EQ(Vesk::base64Encode(""), "\n");
  EXPECT_EQ(Vesk::base64Encode("M"), "TQ==\n");
  EXPECT_EQ(Vesk::base64Encode("Man"), "TWFu\n");

  const std::string line54 = Vesk::base64Encode(std::string(54, 'x'));
  EXPECT_EQ(line54.size(), 73u);
  EXPECT_EQ(line54.find('\n'), 72u);

  const std::string line55 = Vesk::base64Encode(std::string(55, 'x'));
  EXPECT_EQ(line55.size(), 72u + 1 + 4 + 1);
  EXPECT_EQ(line55[72], '\n');
  EXPECT_EQ(line55.back(), '\n');
  EXPECT_EQ(line55.substr(73), "eA==\n");

  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(Vesk::base64Decode(Vesk::base64Encode(all)), all);
  EXPECT_EQ(Vesk::base64Encode(all.data(), 3), Vesk::base64Encode(all.substr(0, 3)));
  EXPECT_EQ(Vesk::base64Encode(nullptr, 3), "\n");
}

TEST(Digests, KnownAnswersOfBuffersAndTexts) {
  using Buffer = std::shared_ptr<TData> (*)(const std::shared_ptr<TData>&);
  using Text = std::shared_ptr<TData> (*)(const char*);
  const struct {
    const char* name;
    Buffer buffer;
    Text text;
    std::string message, digest;
  } cases[] = {
      {"md5", &TData::md5, &TData::md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {"md5", &TData::md5, &TData::md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"md5", &TData::md5, &TData::md5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"sha1", &TData::sha1, &TData::sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"sha1", &TData::sha1, &TData::sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"sha1", &TData::sha1, &TData::sha1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"sha256", &TData::sha256, &TData::sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"sha256", &TData::sha256, &TData::sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"sha256", &TData::sha256, &TData::sha256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "(\"" + c.message + "\")");
    // A zero-length buffer has the digest of the empty message, not an empty pointer.
    EXPECT_EQ(hexOf(c.buffer(data(c.message))), c.digest);
    EXPECT_EQ(hexOf(c.text(c.message.c_str())), c.digest);
  }
  EXPECT_EQ(hexOf(TData::sha256(data(std::string(1000000, 'a')))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  const std::shared_ptr<TData> none;
  const char* noText = nullptr;
  for (const auto& c : cases) {
    EXPECT_FALSE(c.buffer(none));
    EXPECT_FALSE(c.text(noText));
  }
}

TEST(Digests, HexFormsOfTextsAndStrings) {
  EXPECT_EQ(Vesk::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Vesk::md5Hex(data("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Vesk::md5Hex(Vesk::TString("abc"), true), "900150983cd24fb0d6963f7d28e17f72");
  // The UTF-16 form hashes two bytes per unit, low byte first.
  EXPECT_EQ(Vesk::md5Hex(Vesk::TString("abc"), false), "ce1473cf80c6b3fda8e3dfc006adc315");
  EXPECT_EQ(Vesk::md5Hex(Vesk::TString(u"\u00e9\u20ac"), false), "f5f1ec1f282573bf79778b3f0eca7402");
  EXPECT_EQ(Vesk::md5Hex(Vesk::TString(u"\u00e9\u20ac"), true), "d75285edbed0b771f00bbaefc623c709");
  EXPECT_EQ(Vesk::sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Vesk::sha1Hex(Vesk::TString(u"\u00e9\u20ac")), "f299a77642b6437431ada56c0643f7b8e99b5622");
  EXPECT_EQ(Vesk::sha1Hex(Vesk::TString()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

  const char* noText = nullptr;
  EXPECT_EQ(Vesk::md5Hex(noText), "");
  EXPECT_EQ(Vesk::md5Hex(std::shared_ptr<TData>()), "");
  EXPECT_EQ(Vesk::sha1Hex(noText), "");

  const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xf0, 0xff};
  EXPECT_EQ(Vesk::bytesToHex(bytes, sizeof bytes), "000fa5f0ff");
  EXPECT_EQ(Vesk::bytesToHex(bytes, 0), "");
}

TEST(FileDigests, StreamEveryTypeAndUseUpperCaseHex) {
  TempDir dir;
  const std::string million = dir.write("million", std::string(1000000, 'a'));
  const std::string abc = dir.write("abc", "abc");
  const std::string empty = dir.write("empty", "");
  const struct {
    HashType type;
    size_t length;
    std::string millionHex, abcHex;
  } cases[] = {
      {HashType::MD5, 16, "7707D6AE4E027C70EEA2A935C2296F21", "900150983cd24fb0d6963f7d28e17f72"},
      {HashType::SHA1, 20, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {HashType::SHA224, 28, "20794655980C91D8BBB4C1EA97618A4BF03F42581948B2EE4EE7AD67",
       "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
      {HashType::SHA384, 48,
       "9D0E1809716474CB086E834E310A4A1CED149E9C00F248527972CEC5704C2A5B07B8B3DC38ECC4EBAE97DDD87F3D8985",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {HashType::SHA512, 64,
       "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EBDE0FF244877EA60A4CB0432CE577C31BEB009C5C2C49AA2E"
       "4EADB217AD8CC09B",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2"
       "a9ac94fa54ca49f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    const auto raw = Vesk::hashFile(abc, c.type);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->length(), c.length);
    EXPECT_EQ(hexOf(raw), c.abcHex);
    EXPECT_EQ(Vesk::hashFileHex(abc, c.type), upper(c.abcHex));
    EXPECT_EQ(Vesk::hashFileHex(million, c.type), c.millionHex);
  }
  EXPECT_EQ(Vesk::hashFileHex(empty, HashType::SHA1), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

TEST(FileDigests, RefuseUnknownTypesAndReportUnreadableFiles) {
  TempDir dir;
  const std::string abc = dir.write("abc", "abc");
  for (int type : {3, 6, -1}) {
    SCOPED_TRACE(type);
    // Refused before the file is looked at: the path does not exist.
    try {
      Vesk::hashFile(dir.path() + "/missing", static_cast<HashType>(type));
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unsupported hash type");
    }
    EXPECT_THROW(Vesk::hashFileHex(abc, static_cast<HashType>(type)), std::runtime_error);
  }
  const std::string missing = dir.path() + "/missing";
  try {
    Vesk::hashFileHex(missing, HashType::MD5);
    ADD_FAILURE() << "no exception";
  } catch (const CryptoPP::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
  // A folder is not a file: no digest of "nothing".
  EXPECT_THROW(Vesk::hashFile(dir.path(), HashType::SHA1), CryptoPP::Exception);
}

TEST(Pbkdf2, KnownAnswersAndRefusals) {
  using Derive = std::shared_ptr<TData> (*)(const std::shared_ptr<TData>&, const std::shared_ptr<TData>&, int);
  const Derive sha1 = &TData::pbkdf2Sha1;
  const Derive sha256 = &TData::pbkdf2Sha256;
  const struct {
    Derive derive;
    std::string password, salt;
    int iterations;
    std::string key;
  } cases[] = {
      // RFC 6070 (the published lengths are 20 and 25 bytes: the first bytes of ours)
      {sha1, "password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {sha1, "password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {sha1, "password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {sha1, "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      // RFC 7914
      {sha256, "passwd", "salt", 1, "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"},
      {sha256, "password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
      {sha256, "", "salt", 1, "f135c27993baf98773c5cdb40a5706ce6a345cde61b000a67858650cd6a324d7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password + "/" + std::to_string(c.iterations));
    const auto key = c.derive(data(c.password), data(c.salt), c.iterations);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->length(), 32u);
    EXPECT_EQ(hexOf(key).substr(0, c.key.size()), c.key);
  }
  EXPECT_EQ(hexOf(TData::pbkdf2Sha1("password", "salt", 2)), hexOf(TData::pbkdf2Sha1(data("password"), data("salt"), 2)));

  for (int iterations : {0, -1}) {
    EXPECT_FALSE(TData::pbkdf2Sha1(data("p"), data("s"), iterations));
    EXPECT_FALSE(TData::pbkdf2Sha256(data("p"), data("s"), iterations));
    EXPECT_FALSE(TData::pbkdf2Sha1("p", "s", iterations));
  }
  EXPECT_FALSE(TData::pbkdf2Sha256(nullptr, data("s"), 1));
  EXPECT_FALSE(TData::pbkdf2Sha1(data("p"), nullptr, 1));
  EXPECT_FALSE(TData::pbkdf2Sha1(nullptr, "s", 1));
}
