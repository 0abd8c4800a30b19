#include "tools/bundler/writer.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "tools/bundler/keys.h"

namespace fs = std::filesystem;

namespace pelbundle {
namespace {

const CryptoPP::byte* bytesOf(std::string_view s) {
  return reinterpret_cast<const CryptoPP::byte*>(s.data());
}

}  // namespace

std::string aesCtr(std::string_view data, std::string_view key, std::string_view iv) {
  if (key.size() != kKeyLength) throw std::invalid_argument("the payload key must be 32 bytes");
  if (iv.size() != kIvLength) throw std::invalid_argument("the IV must be 16 bytes");
  std::string out(data.size(), '\0');
  if (data.empty()) return out;
  CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption enc;
  enc.SetKeyWithIV(bytesOf(key), key.size(), bytesOf(iv), iv.size());
  enc.ProcessData(reinterpret_cast<CryptoPP::byte*>(out.data()), bytesOf(data), data.size());
  return out;
}

std::string md5(std::string_view data) {
  std::string digest(CryptoPP::Weak::MD5::DIGESTSIZE, '\0');
  CryptoPP::Weak::MD5().CalculateDigest(reinterpret_cast<CryptoPP::byte*>(digest.data()),
                                        bytesOf(data), data.size());
  return digest;
}

std::string gzipMember(std::string_view data, int level) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("zlib refused to start a gzip stream");
  }
  std::string out;
  out.resize(std::max<size_t>(deflateBound(&zs, static_cast<uLong>(data.size())), 64));
  size_t consumed = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (zs.avail_in == 0 && consumed < data.size()) {
      size_t chunk = std::min<size_t>(data.size() - consumed, 1u << 30);
      zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + consumed));
      zs.avail_in = static_cast<uInt>(chunk);
      consumed += chunk;
    }
    if (zs.total_out == out.size()) out.resize(out.size() * 2);
    size_t room = std::min<size_t>(out.size() - zs.total_out, 1u << 30);
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + zs.total_out);
    zs.avail_out = static_cast<uInt>(room);
    rc = deflate(&zs, consumed == data.size() && zs.avail_in == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      deflateEnd(&zs);
      throw std::runtime_error("zlib failed to compress the payload");
    }
  }
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string signMessage(std::string_view message, std::string_view signingKeyPem) {
  std::string der = pemDecode(signingKeyPem, "PRIVATE KEY");
  CryptoPP::RSA::PrivateKey key;
  CryptoPP::StringSource source(der, true);
  key.Load(source);
  CryptoPP::AutoSeededRandomPool rng;
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(key);
  std::string signature(signer.MaxSignatureLength(), '\0');
  size_t n = signer.SignMessage(rng, bytesOf(message), message.size(),
                                reinterpret_cast<CryptoPP::byte*>(signature.data()));
  signature.resize(n);
  return signature;
}

std::string randomIv() {
  std::string iv(kIvLength, '\0');
  CryptoPP::AutoSeededRandomPool().GenerateBlock(reinterpret_cast<CryptoPP::byte*>(iv.data()),
                                                 iv.size());
  return iv;
}

std::string serializeBundle(const BundleImage& image, std::string_view payloadKey) {
  std::string encryptedPayload = aesCtr(image.payload, payloadKey, image.iv);
  std::string out;
  out.reserve(64 + image.signature.size() + encryptedPayload.size() + image.table.size() * 32);
  out.append(image.magic);
  out.push_back(static_cast<char>(image.version));
  appendLe16(out, image.reserved);
  out.append(image.iv);
  appendLe16(out, static_cast<uint16_t>(image.signature.size()));
  out.append(image.signature);
  appendLe32(out, image.payloadLength.value_or(static_cast<uint32_t>(encryptedPayload.size())));
  appendLe32(out, image.entryCount.value_or(static_cast<uint32_t>(image.table.size())));
  for (const auto& row : image.table) {
    appendLe32(out, row.size);
    appendLe16(out, static_cast<uint16_t>(row.nameLength.value_or(static_cast<int16_t>(row.name.size()))));
    out.append(aesCtr(row.name, payloadKey, image.iv));
  }
  out.append(encryptedPayload);
  out.append(image.trailer);
  return out;
}

BundleImage makeBundleImage(std::vector<Entry> entries, std::string_view signingKeyPem,
                            std::string iv, int level) {
  if (iv.size() != kIvLength) throw std::invalid_argument("the IV must be 16 bytes");
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  BundleImage image;
  image.iv = std::move(iv);
  uint64_t total = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.name.empty()) throw std::invalid_argument("an entry has an empty name");
    if (e.name.size() > static_cast<size_t>(kMaxNameLength)) {
      throw std::invalid_argument("the entry name is longer than 32767 bytes: " + e.name.substr(0, 64) + "...");
    }
    if (e.name.front() == '/') throw std::invalid_argument("the entry name is absolute: " + e.name);
    if (i > 0 && entries[i - 1].name == e.name) {
      throw std::invalid_argument("two entries are named " + e.name);
    }
    total += e.content.size();
    if (total > std::numeric_limits<uint32_t>::max()) {
      throw std::invalid_argument("the entries hold more than 4 GiB - 1 bytes");
    }
    image.table.push_back({static_cast<uint32_t>(e.content.size()), e.name, std::nullopt});
  }
  std::string all;
  all.reserve(static_cast<size_t>(total));
  for (const auto& e : entries) all.append(e.content);
  image.payload = gzipMember(all, level);
  if (image.payload.size() > kMaxPayloadLength) {
    throw std::invalid_argument("the compressed payload reaches 2 GiB");
  }
  image.signature = signMessage(md5(image.payload), signingKeyPem);
  return image;
}

std::vector<Entry> collectFolder(const fs::path& dir) {
  if (!fs::is_directory(dir)) throw std::runtime_error("not a folder: " + dir.string());
  std::vector<Entry> entries;
  auto it = fs::recursive_directory_iterator(dir, fs::directory_options::follow_directory_symlink);
  for (auto end = fs::end(it); it != end; ++it) {
    const fs::path& p = it->path();
    if (p.filename().string().starts_with(".")) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file()) continue;
    std::string name = p.lexically_relative(dir).generic_string();
    entries.push_back({std::move(name), readWholeFile(p)});
  }
  return entries;
}

}  // namespace pelbundle
