// Whole-buffer Rijndael with 16-byte blocks and a zero chain.
#include <cstring>
#include <exception>

#include "vesk/rijndael.h"
#include "vesk/tdata.h"

namespace Vesk {

namespace {

constexpr int kBlock = 16;

void setKey(CRijndael& cipher, const TData& key) {
  const char zeroChain[32] = {};
  cipher.setKey(reinterpret_cast<const char*>(key.bytes()), zeroChain, static_cast<int>(key.length()), kBlock);
}

std::shared_ptr<TData> decryptWhole(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key, int mode) {
  if (!data || !key) return nullptr;
  try {
    CRijndael cipher;
    setKey(cipher, *key);
    auto result = std::make_shared<TData>(data->length());
    if (result->length() != data->length()) return nullptr;
    const int count = cipher.decrypt(reinterpret_cast<const char*>(data->bytes()), reinterpret_cast<char*>(result->bytes()),
                                     data->length(), mode);
    result->setLength(static_cast<size_t>(count));
    return result;
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

std::shared_ptr<TData> TData::rijndaelEncryptCbc(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key) {
  if (!data || !key) return nullptr;
  try {
    const size_t padding = kBlock - data->length() % kBlock;
    const size_t padded = data->length() + padding;
    auto result = std::make_shared<TData>(padded);
    if (result->length() != padded) return nullptr;
    // The plaintext and its padding are laid out in the result and encrypted in place.
    if (data->length() != 0) std::memcpy(result->bytes(), data->bytes(), data->length());
    std::memset(result->bytes() + data->length(), static_cast<int>(padding), padding);
    CRijndael cipher;
    setKey(cipher, *key);
    const int count = cipher.encrypt(reinterpret_cast<const char*>(result->bytes()),
                                     reinterpret_cast<char*>(result->bytes()), padded, CRijndael::CBC);
    result->setLength(static_cast<size_t>(count));
    return result;
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::shared_ptr<TData> TData::rijndaelDecryptCbc(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key) {
  auto plain = decryptWhole(data, key, CRijndael::CBC);
  if (!plain) return nullptr;
  // Check the padding as a whole before taking it off: a bad block means a wrong key or data.
  const size_t length = plain->length();
  const uint8_t pad = plain->bytes()[length - 1];
  if (pad == 0 || pad > kBlock) return nullptr;
  for (size_t i = length - pad; i < length; ++i)
    if (plain->bytes()[i] != pad) return nullptr;
  if (length == pad) return std::make_shared<TData>();
  plain->setLength(length - pad);
  return plain;
}

std::shared_ptr<TData> TData::rijndaelDecryptCfb(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key) {
  return decryptWhole(data, key, CRijndael::CFB);
}

std::shared_ptr<TData> TData::rijndaelDecryptEcb(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key) {
  return decryptWhole(data, key, CRijndael::ECB);
}

}  // namespace Vesk
