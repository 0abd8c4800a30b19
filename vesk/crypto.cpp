// Digests, Base64, PBKDF2 and AES over Crypto++. Every call owns its hash, cipher and filter
// objects; digests and derived keys pass through zeroing buffers.
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include "vesk/crypto.h"

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/secblock.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "vesk/tdata.h"
#include "vesk/tstring.h"

namespace Vesk {

namespace {

using CryptoPP::byte;

constexpr size_t kAesBlock = 16;
const byte kNothing = 0;

// The bytes of a buffer, never null (an empty buffer has no storage).
const byte* bytesOf(const TData& data) { return data.bytes() != nullptr ? data.bytes() : &kNothing; }

std::shared_ptr<TData> copyOf(const byte* bytes, size_t count) {
  auto result = std::make_shared<TData>(bytes, count);
  if (result->length() != count) throw std::bad_alloc();
  return result;
}

std::shared_ptr<TData> zeroBuffer(size_t count) {
  auto result = std::make_shared<TData>(count);
  if (result->length() != count) throw std::bad_alloc();
  return result;
}

template <class Hash>
std::shared_ptr<TData> digestOf(const byte* bytes, size_t count) {
  Hash hash;
  CryptoPP::SecByteBlock scratch(Hash::DIGESTSIZE);
  hash.CalculateDigest(scratch.data(), count == 0 ? &kNothing : bytes, count);
  return copyOf(scratch.data(), scratch.size());
}

template <class Hash>
std::shared_ptr<TData> digestOfBuffer(const std::shared_ptr<TData>& data) {
  if (!data) return nullptr;
  return digestOf<Hash>(bytesOf(*data), data->length());
}

template <class Hash>
std::shared_ptr<TData> digestOfText(const char* text) {
  if (text == nullptr) return nullptr;
  return digestOf<Hash>(reinterpret_cast<const byte*>(text), std::strlen(text));
}

template <class Hash>
std::shared_ptr<TData> pbkdf2(const byte* password, size_t passwordLength, const byte* salt, size_t saltLength,
                              int iterations) {
  if (iterations < 1) return nullptr;
  CryptoPP::PKCS5_PBKDF2_HMAC<Hash> kdf;
  CryptoPP::SecByteBlock key(32);
  kdf.DeriveKey(key.data(), key.size(), 0, password, passwordLength, salt, saltLength,
                static_cast<unsigned int>(iterations), 0.0);
  return copyOf(key.data(), key.size());
}

// The first 16 bytes of iv, or 16 zero bytes for an empty pointer; false for a shorter iv.
bool initialBlock(const std::shared_ptr<TData>& iv, byte (&block)[kAesBlock]) {
  std::memset(block, 0, sizeof block);
  if (!iv) return true;
  if (iv->length() < kAesBlock) return false;
  std::memcpy(block, iv->bytes(), kAesBlock);
  return true;
}

// Runs count bytes through the CBC decryptor, removing PKCS#7 padding when asked; the cipher
// object carries the chaining state from call to call. Throws on a bad length or padding.
std::shared_ptr<TData> cbcDecrypt(CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption& cipher, const byte* bytes,
                                  size_t count, bool removePadding) {
  if (count == 0) return nullptr;
  auto plain = zeroBuffer(count);
  auto* sink = new CryptoPP::ArraySink(plain->bytes(), count);
  CryptoPP::StreamTransformationFilter filter(
      cipher, sink,
      removePadding ? CryptoPP::StreamTransformationFilter::PKCS_PADDING : CryptoPP::StreamTransformationFilter::NO_PADDING);
  filter.Put(bytes, count);
  filter.MessageEnd();
  const size_t produced = static_cast<size_t>(sink->TotalPutLength());
  if (produced == 0) return nullptr;
  if (produced < count) plain->setLength(produced);
  return plain;
}

std::string hexOf(const byte* bytes, size_t count, const char* digits) {
  std::string text(count * 2, '\0');
  for (size_t i = 0; i < count; ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0x0f];
  }
  return text;
}

std::string lowerHex(const std::shared_ptr<TData>& digest) {
  return digest ? bytesToHex(digest->bytes(), digest->length()) : std::string();
}

std::unique_ptr<CryptoPP::HashTransformation> fileHash(HashType type) {
  switch (type) {
    case HashType::MD5: return std::make_unique<CryptoPP::Weak::MD5>();
    case HashType::SHA1: return std::make_unique<CryptoPP::SHA1>();
    case HashType::SHA224: return std::make_unique<CryptoPP::SHA224>();
    case HashType::SHA384: return std::make_unique<CryptoPP::SHA384>();
    case HashType::SHA512: return std::make_unique<CryptoPP::SHA512>();
  }
  throw std::runtime_error("Unsupported hash type");
}

std::string decodeBase64(const char* text, size_t length) {
  std::string bytes;
  if (text == nullptr || length == 0) return bytes;
  CryptoPP::StringSource(reinterpret_cast<const byte*>(text), length, true,
                         new CryptoPP::Base64Decoder(new CryptoPP::StringSink(bytes)));
  return bytes;
}

std::string encodeBase64(const char* bytes, size_t length) {
  std::string text;
  if (bytes == nullptr) length = 0;
  CryptoPP::StringSource(length == 0 ? &kNothing : reinterpret_cast<const byte*>(bytes), length, true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text)));
  return text;
}

}  // namespace

// --- Base64 (the std::string forms take any length; the int forms refuse a negative one)

std::string base64Decode(const std::string& text) { return decodeBase64(text.data(), text.size()); }

std::string base64Decode(const char* text, int length) {
  return length > 0 ? decodeBase64(text, static_cast<size_t>(length)) : std::string();
}

std::string base64Encode(const std::string& bytes) { return encodeBase64(bytes.data(), bytes.size()); }

std::string base64Encode(const char* bytes, int length) {
  return encodeBase64(bytes, length > 0 ? static_cast<size_t>(length) : 0);
}

// --- files

std::shared_ptr<TData> hashFile(const std::string& path, HashType type) {
  auto hash = fileHash(type);
  CryptoPP::SecByteBlock digest(hash->DigestSize());
  CryptoPP::FileSource(path.c_str(), true, new CryptoPP::HashFilter(*hash, new CryptoPP::ArraySink(digest.data(), digest.size())));
  return copyOf(digest.data(), digest.size());
}

std::string hashFileHex(const std::string& path, HashType type) {
  const auto digest = hashFile(path, type);
  return hexOf(digest->bytes(), digest->length(), "0123456789ABCDEF");
}

// --- text forms

std::string bytesToHex(const uint8_t* bytes, size_t count) {
  if (bytes == nullptr) return std::string();
  return hexOf(bytes, count, "0123456789abcdef");
}

std::string md5Hex(const char* text) { return lowerHex(TData::md5(text)); }

std::string md5Hex(const std::shared_ptr<TData>& data) { return lowerHex(TData::md5(data)); }

std::string md5Hex(const TString& text, bool useUtf8) {
  if (useUtf8) {
    const std::string utf8 = text.utf8String();
    return lowerHex(digestOf<CryptoPP::Weak::MD5>(reinterpret_cast<const byte*>(utf8.data()), utf8.size()));
  }
  std::string units;
  units.reserve(text.byteLength());
  for (size_t i = 0; i < text.length(); ++i) {
    const char16_t unit = text.characters()[i];
    units.push_back(static_cast<char>(unit & 0xff));
    units.push_back(static_cast<char>(unit >> 8));
  }
  return lowerHex(digestOf<CryptoPP::Weak::MD5>(reinterpret_cast<const byte*>(units.data()), units.size()));
}

std::string sha1Hex(const TString& text) {
  const std::string utf8 = text.utf8String();
  return lowerHex(digestOf<CryptoPP::SHA1>(reinterpret_cast<const byte*>(utf8.data()), utf8.size()));
}

std::string sha1Hex(const char* text) { return lowerHex(TData::sha1(text)); }

// --- digests and key derivation

std::shared_ptr<TData> TData::md5(const std::shared_ptr<TData>& data) { return digestOfBuffer<CryptoPP::Weak::MD5>(data); }
std::shared_ptr<TData> TData::md5(const char* text) { return digestOfText<CryptoPP::Weak::MD5>(text); }
std::shared_ptr<TData> TData::sha1(const std::shared_ptr<TData>& data) { return digestOfBuffer<CryptoPP::SHA1>(data); }
std::shared_ptr<TData> TData::sha1(const char* text) { return digestOfText<CryptoPP::SHA1>(text); }
std::shared_ptr<TData> TData::sha256(const std::shared_ptr<TData>& data) { return digestOfBuffer<CryptoPP::SHA256>(data); }
std::shared_ptr<TData> TData::sha256(const char* text) { return digestOfText<CryptoPP::SHA256>(text); }

std::shared_ptr<TData> TData::pbkdf2Sha1(const std::shared_ptr<TData>& password, const std::shared_ptr<TData>& salt,
                                         int iterations) {
  if (!password || !salt) return nullptr;
  return pbkdf2<CryptoPP::SHA1>(bytesOf(*password), password->length(), bytesOf(*salt), salt->length(), iterations);
}

std::shared_ptr<TData> TData::pbkdf2Sha1(const char* password, const char* salt, int iterations) {
  if (password == nullptr || salt == nullptr) return nullptr;
  return pbkdf2<CryptoPP::SHA1>(reinterpret_cast<const byte*>(password), std::strlen(password),
                                reinterpret_cast<const byte*>(salt), std::strlen(salt), iterations);
}

std::shared_ptr<TData> TData::pbkdf2Sha256(const std::shared_ptr<TData>& password, const std::shared_ptr<TData>& salt,
                                           int iterations) {
  if (!password || !salt) return nullptr;
  return pbkdf2<CryptoPP::SHA256>(bytesOf(*password), password->length(), bytesOf(*salt), salt->length(), iterations);
}

// --- AES

std::shared_ptr<TData> TData::aesCtrDecrypt(const std::shared_ptr<TData>& input, const std::shared_ptr<TData>& key,
                                            const std::shared_ptr<TData>& iv) {
  if (!input || !key) return nullptr;
  byte counter[kAesBlock];
  if (!initialBlock(iv, counter)) return nullptr;
  CryptoPP::CTR_Mode<CryptoPP::AES>::Decryption cipher;
  // A key of the wrong length throws the library's error to the caller.
  cipher.SetKeyWithIV(bytesOf(*key), key->length(), counter, sizeof counter);
  if (input->length() == 0) return nullptr;
  try {
    auto output = zeroBuffer(input->length());
    cipher.ProcessData(output->bytes(), input->bytes(), input->length());
    return output;
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::shared_ptr<TData> TData::aesCbcDecrypt(const std::shared_ptr<TData>& input, const std::shared_ptr<TData>& key,
                                            const std::shared_ptr<TData>& iv) {
  if (!input || !key) return nullptr;
  byte chain[kAesBlock];
  if (!initialBlock(iv, chain)) return nullptr;
  CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption cipher;
  cipher.SetKeyWithIV(bytesOf(*key), key->length(), chain, sizeof chain);
  try {
    return cbcDecrypt(cipher, bytesOf(*input), input->length(), true);
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::shared_ptr<TData> TData::aesCbcDecrypt(const std::shared_ptr<TData>& input, const std::shared_ptr<TData>& key) {
  return aesCbcDecrypt(input, key, nullptr);
}

bool TData::aesCbcDecryptStream(const std::shared_ptr<TData>& key, ChunkReader reader, ChunkWriter writer) {
  if (!key) return false;
  const byte zero[kAesBlock] = {};
  CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption cipher;
  cipher.SetKeyWithIV(bytesOf(*key), key->length(), zero, sizeof zero);
  for (;;) {
    std::shared_ptr<TData> chunk;
    bool isLast = false;
    reader(chunk, isLast);
    if (!chunk) return true;
    std::shared_ptr<TData> plain;
    try {
      plain = cbcDecrypt(cipher, bytesOf(*chunk), chunk->length(), isLast);
    } catch (const std::exception&) {
      return false;
    }
    if (!plain) {
      // A final chunk that held only the padding block is a complete, valid message.
      if (isLast && chunk->length() != 0) continue;
      return false;
    }
    writer(plain);
  }
}

bool TData::aesCbcDecryptRange(const std::shared_ptr<TData>& key, int64_t offset, int64_t length, RangeReader reader,
                               ChunkWriter writer) {
  if (!key) return false;
  if (offset < 0 || length < 0 || length > INT64_MAX - 2 * static_cast<int64_t>(kAesBlock) - offset) return false;
  const int64_t block = static_cast<int64_t>(kAesBlock);
  const int64_t alignedStart = offset / block * block;
  int64_t span = offset + length - alignedStart;
  if (span % block != 0) span += block - span % block;

  byte chain[kAesBlock] = {};
  if (alignedStart >= block) {
    std::shared_ptr<TData> previous;
    bool ignored = false;
    reader(previous, alignedStart - block, block, ignored);
    if (previous && previous->length() != 0)
      std::memcpy(chain, previous->bytes(), std::min<size_t>(previous->length(), kAesBlock));
  }
  std::shared_ptr<TData> ciphertext;
  bool reachesEnd = false;
  reader(ciphertext, alignedStart, span, reachesEnd);
  if (!ciphertext) return true;

  try {
    CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption cipher;
    cipher.SetKeyWithIV(bytesOf(*key), key->length(), chain, sizeof chain);
    const auto plain = cbcDecrypt(cipher, bytesOf(*ciphertext), ciphertext->length(), reachesEnd);
    if (!plain) return false;
    writer(plain->subdata(static_cast<size_t>(offset - alignedStart), static_cast<size_t>(length)));
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace Vesk
