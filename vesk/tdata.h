// Vesk::TData: a growable byte buffer in malloc-managed memory. Growth is exact, the slack beyond
// the length is always zero, and allocation failures are reported by a false result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "vesk/tobject.h"

namespace Vesk {

class TString;

class TData : public TObject {
  VESK_DECLARE_CLASS(TData, TObject, nullptr)

 public:
  TData() = default;
  // count bytes copied from source (nothing when count is 0).
  TData(const void* source, size_t count);
  // count zero bytes.
  explicit TData(size_t count);
  TData(const TData& other);
  TData& operator=(const TData& other);
  TData(TData&& other) noexcept;
  TData& operator=(TData&& other) noexcept;
  ~TData() override;

  // The storage; null while the buffer has none.
  uint8_t* bytes() const { return bytes_; }
  size_t length() const { return length_; }
  size_t capacity() const { return capacity_; }

  // Adds count bytes at the end, growing the storage to exactly the new length when needed.
  bool append(const void* source, size_t count);
  // Grows with zero bytes or shrinks; 0 is refused (use clear to empty a buffer).
  bool setLength(size_t newLength);
  // Copies count bytes from offset; false and nothing copied when they are not all there.
  bool getBytes(void* destination, size_t offset, size_t count) const;
  // The bytes from offset, at most count of them; empty pointer for count 0 or an offset past
  // the end.
  std::shared_ptr<TData> subdata(size_t offset, size_t count) const;
  void freeBuffer();
  virtual void clear() { freeBuffer(); }

  // The whole file, read by UTF-8 path; an empty pointer when the file is missing, unreadable,
  // empty, or could not be read completely.
  static std::shared_ptr<TData> dataWithContentsOfFile(const TString& path);
  // Creates or truncates the file and writes every byte in use; false when opening, writing or
  // closing failed.
  bool writeToFile(const TString& path) const;

  // --- digests, key derivation and ciphers (vesk/tdata_crypto.cpp, vesk/rijndael_data.cpp).
  // An empty pointer is the "no result" value: every form answers an empty argument with one.
  using ChunkReader = std::function<void(std::shared_ptr<TData>& chunk, bool& isLast)>;
  using RangeReader = std::function<void(std::shared_ptr<TData>& chunk, int64_t offset, int64_t length, bool& isLast)>;
  using ChunkWriter = std::function<void(std::shared_ptr<TData> plain)>;
  static std::shared_ptr<TData> md5(const std::shared_ptr<TData>& data);
  static std::shared_ptr<TData> md5(const char* text);
  static std::shared_ptr<TData> sha1(const std::shared_ptr<TData>& data);
  static std::shared_ptr<TData> sha1(const char* text);
  static std::shared_ptr<TData> sha256(const std::shared_ptr<TData>& data);
  static std::shared_ptr<TData> sha256(const char* text);
  // 32-byte keys; fewer than one iteration gives an empty pointer.
  static std::shared_ptr<TData> pbkdf2Sha1(const std::shared_ptr<TData>& password, const std::shared_ptr<TData>& salt, int iterations);
  static std::shared_ptr<TData> pbkdf2Sha1(const char* password, const char* salt, int iterations);
  static std::shared_ptr<TData> pbkdf2Sha256(const std::shared_ptr<TData>& password, const std::shared_ptr<TData>& salt, int iterations);
  // AES; the key's length (16, 24, 32) picks the variant, another length throws the cipher
  // library's error. An empty iv means 16 zero bytes; an iv shorter than 16 bytes fails.
  static std::shared_ptr<TData> aesCtrDecrypt(const std::shared_ptr<TData>& input, const std::shared_ptr<TData>& key, const std::shared_ptr<TData>& iv);
  static std::shared_ptr<TData> aesCbcDecrypt(const std::shared_ptr<TData>& input, const std::shared_ptr<TData>& key, const std::shared_ptr<TData>& iv);
  static std::shared_ptr<TData> aesCbcDecrypt(const std::shared_ptr<TData>& input, const std::shared_ptr<TData>& key);
  static bool aesCbcDecryptStream(const std::shared_ptr<TData>& key, ChunkReader reader, ChunkWriter writer);
  static bool aesCbcDecryptRange(const std::shared_ptr<TData>& key, int64_t offset, int64_t length, RangeReader reader, ChunkWriter writer);
  // Rijndael with 16-byte blocks and a zero chain; encryption pads, the ECB and CFB decryptions
  // keep the padding, the CBC decryption checks and removes it.
  static std::shared_ptr<TData> rijndaelEncryptCbc(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key);
  static std::shared_ptr<TData> rijndaelDecryptCbc(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key);
  static std::shared_ptr<TData> rijndaelDecryptCfb(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key);
  static std::shared_ptr<TData> rijndaelDecryptEcb(const std::shared_ptr<TData>& data, const std::shared_ptr<TData>& key);

 private:
  uint8_t* bytes_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
};

}  // namespace Vesk
