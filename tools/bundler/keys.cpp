#include "tools/bundler/keys.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

#include "tools/bundler/bundle-format.h"

namespace fs = std::filesystem;

namespace pelbundle {
namespace {

constexpr const char* kPayloadKeyFile = "payload.key";
constexpr const char* kSigningKeyFile = "signing-key.pem";
constexpr const char* kVerifyKeyFile = "verify-key.pem";

std::string derOf(const CryptoPP::RSA::PrivateKey& key) {
  std::string der;
  CryptoPP::StringSink sink(der);
  key.Save(sink);
  return der;
}

std::string derOf(const CryptoPP::RSA::PublicKey& key) {
  std::string der;
  CryptoPP::StringSink sink(der);
  key.Save(sink);
  return der;
}

template <typename Key>
Key loadKey(const std::string& pem, std::string_view label, const char* what) {
  std::string der = pemDecode(pem, label);
  Key key;
  try {
    CryptoPP::StringSource source(der, true);
    key.Load(source);
  } catch (const CryptoPP::Exception& e) {
    throw std::runtime_error(std::string("unreadable ") + what + ": " + e.what());
  }
  return key;
}

std::string hexWord(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08Xu", v);
  return buf;
}

}  // namespace

std::string pemEncode(std::string_view der, std::string_view label) {
  std::string body;
  CryptoPP::StringSource(reinterpret_cast<const CryptoPP::byte*>(der.data()), der.size(), true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(body), true, 64));
  if (!body.empty() && body.back() != '\n') body.push_back('\n');
  std::string out = "-----BEGIN ";
  out.append(label).append("-----\n").append(body).append("-----END ").append(label).append("-----\n");
  return out;
}

std::string pemDecode(std::string_view pem, std::string_view label) {
  const std::string begin = "-----BEGIN " + std::string(label) + "-----";
  const std::string end = "-----END " + std::string(label) + "-----";
  size_t b = pem.find(begin);
  if (b == std::string_view::npos) throw std::runtime_error("no \"" + begin + "\" line");
  b += begin.size();
  size_t e = pem.find(end, b);
  if (e == std::string_view::npos) throw std::runtime_error("no \"" + end + "\" line");
  std::string body;
  for (char c : pem.substr(b, e - b)) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/' || c == '=';
    if (!base64) throw std::runtime_error("PEM block holds a character outside Base64");
    body.push_back(c);
  }
  if (body.empty() || body.size() % 4 != 0) throw std::runtime_error("PEM block has a broken length");
  std::string der;
  CryptoPP::StringSource(body, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
  return der;
}

KeySet generateKeySet(unsigned rsaBits) {
  if (rsaBits < kMinRsaBits) throw std::runtime_error("RSA keys must have at least 2048 bits");
  CryptoPP::AutoSeededRandomPool rng;
  KeySet keys;
  keys.payloadKey.resize(kKeyLength);
  rng.GenerateBlock(reinterpret_cast<CryptoPP::byte*>(keys.payloadKey.data()), kKeyLength);
  CryptoPP::RSA::PrivateKey priv;
  priv.GenerateRandomWithKeySize(rng, rsaBits);
  CryptoPP::RSA::PublicKey pub(priv);
  keys.signingKeyPem = pemEncode(derOf(priv), "PRIVATE KEY");
  keys.verifyKeyPem = pemEncode(derOf(pub), "PUBLIC KEY");
  return keys;
}

void checkKeySet(const KeySet& keys) {
  if (keys.payloadKey.size() != kKeyLength) {
    throw std::runtime_error("the payload key must be 32 bytes, not " +
                             std::to_string(keys.payloadKey.size()));
  }
  auto priv = loadKey<CryptoPP::RSA::PrivateKey>(keys.signingKeyPem, "PRIVATE KEY", "signing key");
  auto pub = loadKey<CryptoPP::RSA::PublicKey>(keys.verifyKeyPem, "PUBLIC KEY", "verify key");
  CryptoPP::AutoSeededRandomPool rng;
  if (!priv.Validate(rng, 2)) throw std::runtime_error("the signing key fails validation");
  if (priv.GetModulus() != pub.GetModulus() || priv.GetPublicExponent() != pub.GetPublicExponent()) {
    throw std::runtime_error("the verify key does not belong to the signing key");
  }
  if (pub.GetModulus().BitCount() < kMinRsaBits) {
    throw std::runtime_error("the RSA modulus has fewer than 2048 bits");
  }
}

KeySet readKeySet(const fs::path& dir) {
  KeySet keys;
  keys.payloadKey = readWholeFile(dir / kPayloadKeyFile);
  keys.signingKeyPem = readWholeFile(dir / kSigningKeyFile);
  keys.verifyKeyPem = readWholeFile(dir / kVerifyKeyFile);
  return keys;
}

KeySet ensureKeySet(const fs::path& dir, bool* generated, unsigned rsaBits) {
  const fs::path files[] = {dir / kPayloadKeyFile, dir / kSigningKeyFile, dir / kVerifyKeyFile};
  int present = 0;
  for (const auto& f : files) present += fs::exists(f) ? 1 : 0;
  if (present == 3) {
    KeySet keys = readKeySet(dir);
    try {
      checkKeySet(keys);
    } catch (const std::exception& e) {
      throw std::runtime_error("the keys in " + dir.string() + " are damaged (" + e.what() +
                               "); remove the folder to make new ones");
    }
    if (generated) *generated = false;
    return keys;
  }
  if (present != 0) {
    throw std::runtime_error("the key folder " + dir.string() +
                             " holds only part of a key set; remove it to make new keys");
  }
  KeySet keys = generateKeySet(rsaBits);
  fs::create_directories(dir);
  // The private half is written first and readable by its owner only.
  writeFileAtomically(files[1], keys.signingKeyPem);
  fs::permissions(files[1], fs::perms::owner_read | fs::perms::owner_write);
  writeFileAtomically(files[2], keys.verifyKeyPem);
  writeFileAtomically(files[0], keys.payloadKey);
  if (generated) *generated = true;
  return keys;
}

std::string renderKeysHeader(const KeySet& keys) {
  checkKeySet(keys);
  const auto* k = reinterpret_cast<const unsigned char*>(keys.payloadKey.data());
  // The mask seed comes from the key itself, so the header is the same for the same key set.
  const uint16_t seed = static_cast<uint16_t>((k[3] << 8) ^ k[29] ^ (k[17] << 4));
  std::ostringstream out;
  out << "// Made by the bundle key generator for this build folder. Never commit it.\n"
         "#pragma once\n\n#include <cstddef>\n#include <cstdint>\n\n"
         "namespace pelmora::bundle_keys {\n\n"
         "// The payload key as eight words, each stored little-endian, first word first.\n"
         "inline constexpr uint32_t kPayloadKeyWords[8] = {\n";
  for (int i = 0; i < 8; ++i) {
    out << (i % 4 == 0 ? "    " : " ") << hexWord(readLe32(k + 4 * i)) << ",";
    if (i % 4 == 3) out << "\n";
  }
  out << "};\n\n"
         "// The public key PEM, one entry per character, masked with pelbundle::verifyKeyMask.\n"
         "inline constexpr uint16_t kVerifyKeySeed = "
      << seed << "u;\ninline constexpr size_t kVerifyKeyLength = " << keys.verifyKeyPem.size()
      << ";\ninline constexpr uint16_t kVerifyKeyTable[kVerifyKeyLength] = {";
  for (size_t i = 0; i < keys.verifyKeyPem.size(); ++i) {
    if (i % 10 == 0) out << "\n   ";
    auto c = static_cast<unsigned char>(keys.verifyKeyPem[i]);
    out << " " << static_cast<uint16_t>(c ^ verifyKeyMask(seed, i)) << "u,";
  }
  out << "\n};\n\n}  // namespace pelmora::bundle_keys\n";
  return out.str();
}

std::string readWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + path.string());
  return buf.str();
}

void writeFileAtomically(const fs::path& path, std::string_view content) {
  fs::path tmp = path;
  tmp += ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + tmp.string());
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ec;
      fs::remove(tmp, ec);
      throw std::runtime_error("cannot write " + tmp.string());
    }
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp, ec);
    throw std::runtime_error("cannot replace " + path.string());
  }
}

bool writeFileIfChanged(const fs::path& path, std::string_view content) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) {
    try {
      if (readWholeFile(path) == content) return false;
    } catch (const std::runtime_error&) {
      // Unreadable: write it anew.
    }
  }
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  writeFileAtomically(path, content);
  return true;
}

}  // namespace pelbundle
