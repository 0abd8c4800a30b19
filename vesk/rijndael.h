// CRijndael: a self-contained Rijndael block cipher with 16-, 24- or 32-byte keys and blocks,
// chaining blocks itself in ECB, CBC or CFB mode.
//
// With 16-byte blocks it is AES. The chain register carries over from one encrypt or decrypt call
// to the next and is reset only by setKey, so one object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

class CRijndael {
 public:
  class exception : public std::exception {
   public:
    explicit exception(const char* message) : message_(message ? message : "") {}
    exception(const exception& other) = default;
    exception& operator=(const exception& other) = default;
    const char* what() const noexcept override { return message_.c_str(); }

   private:
    std::string message_;
  };

  enum Mode { ECB = 0, CBC = 1, CFB = 2 };

  CRijndael();
  virtual ~CRijndael();

  // keyLength and blockSize are 16, 24 or 32 bytes; chain holds blockSize bytes (the initial
  // chain block of CBC and CFB). Throws "Empty key", "Incorrect key length" or
  // "Incorrect block length".
  void setKey(const char* key, const char* chain, int keyLength, int blockSize);

  // One block each; throw "Object not Initialized" before setKey.
  void encryptBlock(const char* in, char* out);
  void decryptBlock(const char* in, char* out);

  // n must be a non-zero multiple of the block size ("Data not multiple of Block Size"). Any mode
  // other than CBC and CFB is ECB. Returns the number of bytes processed. in and out may be the
  // same buffer.
  int encrypt(const char* in, char* out, size_t n, int mode = ECB);
  int decrypt(const char* in, char* out, size_t n, int mode = ECB);

  // buffer ^= other over one block.
  void xorChain(char* buffer, const char* other);

  int keyLength() const { return keyLength_; }
  int blockSize() const { return blockSize_; }
  int rounds() const { return rounds_; }

 private:
  static constexpr int kMaxRounds = 14;
  static constexpr int kMaxBlockWords = 8;

  void requireKey() const;

  bool keyInitialised_ = false;
  uint32_t encryptionKeys_[kMaxRounds + 1][kMaxBlockWords] = {};
  uint32_t decryptionKeys_[kMaxRounds + 1][kMaxBlockWords] = {};
  int keyLength_ = 0;
  int blockSize_ = 0;
  int rounds_ = 0;
  char initialChain_[32] = {};
  char chain_[32] = {};
};
