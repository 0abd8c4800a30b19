#include "vesk/rijndael.h"

#include <climits>
#include <cstring>

#include <string.h>  // explicit_bzero

namespace {

// The cipher's tables, computed once from the field arithmetic of GF(2^8) with the polynomial
// x^8 + x^4 + x^3 + x + 1.
struct Tables {
  uint8_t sbox[256];
  uint8_t inverseSbox[256];
  uint32_t te[4][256];  // SubBytes and MixColumns for each byte position of a column
  uint32_t td[4][256];  // InvSubBytes and InvMixColumns, likewise
  uint8_t rcon[32];

  static uint8_t times2(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }
  static uint8_t multiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b != 0) {
      if (b & 1) product ^= a;
      a = times2(a);
      b >>= 1;
    }
    return product;
  }
  static uint32_t rotateRight8(uint32_t w) { return (w >> 8) | (w << 24); }
  static uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return (uint32_t(b0) << 24) | (uint32_t(b1) << 16) | (uint32_t(b2) << 8) | uint32_t(b3);
  }

  Tables() {
    // Powers and logarithms of the generator 3 give the multiplicative inverses.
    uint8_t power[256];
    uint8_t logarithm[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
      power[i] = x;
      logarithm[x] = static_cast<uint8_t>(i);
      x = static_cast<uint8_t>(x ^ times2(x));
    }
    for (int i = 0; i < 256; ++i) {
      const uint8_t inverse = i == 0 ? 0 : power[(255 - logarithm[i]) % 255];
      uint8_t s = inverse;
      uint8_t rotated = inverse;
      for (int k = 0; k < 4; ++k) {
        rotated = static_cast<uint8_t>((rotated << 1) | (rotated >> 7));
        s ^= rotated;
      }
      s ^= 0x63;
      sbox[i] = s;
      inverseSbox[s] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < 256; ++i) {
      const uint8_t s = sbox[i];
      const uint8_t si = inverseSbox[i];
      te[0][i] = word(multiply(s, 2), s, s, multiply(s, 3));
      td[0][i] = word(multiply(si, 14), multiply(si, 9), multiply(si, 13), multiply(si, 11));
      for (int k = 1; k < 4; ++k) {
        te[k][i] = rotateRight8(te[k - 1][i]);
        td[k][i] = rotateRight8(td[k - 1][i]);
      }
    }
    uint8_t r = 1;
    for (uint8_t& c : rcon) {
      c = r;
      r = times2(r);
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

uint32_t load(const char* p) {
  const auto* b = reinterpret_cast<const uint8_t*>(p);
  return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

void store(char* p, uint32_t w) {
  auto* b = reinterpret_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(w >> 24);
  b[1] = static_cast<uint8_t>(w >> 16);
  b[2] = static_cast<uint8_t>(w >> 8);
  b[3] = static_cast<uint8_t>(w);
}

uint32_t subWord(const Tables& t, uint32_t w) {
  return Tables::word(t.sbox[w >> 24], t.sbox[(w >> 16) & 0xff], t.sbox[(w >> 8) & 0xff], t.sbox[w & 0xff]);
}

// Row shift offsets of rows 1 to 3 by block length in words.
void shiftOffsets(int blockWords, int& c1, int& c2, int& c3) {
  c1 = 1;
  c2 = blockWords == 8 ? 3 : 2;
  c3 = blockWords == 8 ? 4 : 3;
}

}  // namespace

CRijndael::CRijndael() { tables(); }

CRijndael::~CRijndael() {
  // Key material does not outlive the object.
  explicit_bzero(encryptionKeys_, sizeof encryptionKeys_);
  explicit_bzero(decryptionKeys_, sizeof decryptionKeys_);
}

void CRijndael::setKey(const char* key, const char* chain, int keyLength, int blockSize) {
  if (key == nullptr) throw exception("Empty key");
  if (keyLength != 16 && keyLength != 24 && keyLength != 32) throw exception("Incorrect key length");
  if (blockSize != 16 && blockSize != 24 && blockSize != 32) throw exception("Incorrect block length");
  const Tables& t = tables();

  keyLength_ = keyLength;
  blockSize_ = blockSize;
  std::memset(initialChain_, 0, sizeof initialChain_);
  if (chain != nullptr) std::memcpy(initialChain_, chain, static_cast<size_t>(blockSize));
  std::memcpy(chain_, initialChain_, sizeof chain_);

  const int keyWords = keyLength / 4;
  const int blockWords = blockSize / 4;
  rounds_ = (keyWords > blockWords ? keyWords : blockWords) + 6;

  std::memset(encryptionKeys_, 0, sizeof encryptionKeys_);
  std::memset(decryptionKeys_, 0, sizeof decryptionKeys_);

  // The key schedule: Nb * (Nr + 1) words, the first Nk of them the key itself.
  const int total = blockWords * (rounds_ + 1);
  uint32_t w[(kMaxRounds + 1) * kMaxBlockWords];
  for (int i = 0; i < keyWords; ++i) w[i] = load(key + 4 * i);
  for (int i = keyWords; i < total; ++i) {
    uint32_t temp = w[i - 1];
    if (i % keyWords == 0) {
      temp = subWord(t, (temp << 8) | (temp >> 24)) ^ (uint32_t(t.rcon[i / keyWords - 1]) << 24);
    } else if (keyWords > 6 && i % keyWords == 4) {
      temp = subWord(t, temp);
    }
    w[i] = w[i - keyWords] ^ temp;
  }
  for (int r = 0; r <= rounds_; ++r) {
    for (int j = 0; j < blockWords; ++j) {
      encryptionKeys_[r][j] = w[r * blockWords + j];
      decryptionKeys_[rounds_ - r][j] = w[r * blockWords + j];
    }
  }
  explicit_bzero(w, sizeof w);
  // The equivalent inverse cipher wants InvMixColumns applied to the inner round keys.
  for (int r = 1; r < rounds_; ++r) {
    for (int j = 0; j < blockWords; ++j) {
      const uint32_t k = decryptionKeys_[r][j];
      decryptionKeys_[r][j] = t.td[0][t.sbox[k >> 24]] ^ t.td[1][t.sbox[(k >> 16) & 0xff]] ^
                              t.td[2][t.sbox[(k >> 8) & 0xff]] ^ t.td[3][t.sbox[k & 0xff]];
    }
  }
  keyInitialised_ = true;
}

void CRijndael::requireKey() const {
  if (!keyInitialised_) throw exception("Object not Initialized");
}

void CRijndael::encryptBlock(const char* in, char* out) {
  requireKey();
  const Tables& t = tables();
  const int nb = blockSize_ / 4;
  int c1, c2, c3;
  shiftOffsets(nb, c1, c2, c3);
  uint32_t s[kMaxBlockWords];
  uint32_t next[kMaxBlockWords];
  for (int j = 0; j < nb; ++j) s[j] = load(in + 4 * j) ^ encryptionKeys_[0][j];
  for (int r = 1; r < rounds_; ++r) {
    for (int j = 0; j < nb; ++j) {
      next[j] = t.te[0][s[j] >> 24] ^ t.te[1][(s[(j + c1) % nb] >> 16) & 0xff] ^
                t.te[2][(s[(j + c2) % nb] >> 8) & 0xff] ^ t.te[3][s[(j + c3) % nb] & 0xff] ^
                encryptionKeys_[r][j];
    }
    std::memcpy(s, next, sizeof(uint32_t) * static_cast<size_t>(nb));
  }
  for (int j = 0; j < nb; ++j) {
    const uint32_t v = Tables::word(t.sbox[s[j] >> 24], t.sbox[(s[(j + c1) % nb] >> 16) & 0xff],
                                    t.sbox[(s[(j + c2) % nb] >> 8) & 0xff], t.sbox[s[(j + c3) % nb] & 0xff]);
    store(out + 4 * j, v ^ encryptionKeys_[rounds_][j]);
  }
}

void CRijndael::decryptBlock(const char* in, char* out) {
  requireKey();
  const Tables& t = tables();
  const int nb = blockSize_ / 4;
  int c1, c2, c3;
  shiftOffsets(nb, c1, c2, c3);
  c1 = nb - c1;
  c2 = nb - c2;
  c3 = nb - c3;
  uint32_t s[kMaxBlockWords];
  uint32_t next[kMaxBlockWords];
  for (int j = 0; j < nb; ++j) s[j] = load(in + 4 * j) ^ decryptionKeys_[0][j];
  for (int r = 1; r < rounds_; ++r) {
    for (int j = 0; j < nb; ++j) {
      next[j] = t.td[0][s[j] >> 24] ^ t.td[1][(s[(j + c1) % nb] >> 16) & 0xff] ^
                t.td[2][(s[(j + c2) % nb] >> 8) & 0xff] ^ t.td[3][s[(j + c3) % nb] & 0xff] ^
                decryptionKeys_[r][j];
    }
    std::memcpy(s, next, sizeof(uint32_t) * static_cast<size_t>(nb));
  }
  for (int j = 0; j < nb; ++j) {
    const uint32_t v =
        Tables::word(t.inverseSbox[s[j] >> 24], t.inverseSbox[(s[(j + c1) % nb] >> 16) & 0xff],
                     t.inverseSbox[(s[(j + c2) % nb] >> 8) & 0xff], t.inverseSbox[s[(j + c3) % nb] & 0xff]);
    store(out + 4 * j, v ^ decryptionKeys_[rounds_][j]);
  }
}

void CRijndael::xorChain(char* buffer, const char* other) {
  requireKey();
  for (int i = 0; i < blockSize_; ++i) buffer[i] = static_cast<char>(buffer[i] ^ other[i]);
}

int CRijndael::encrypt(const char* in, char* out, size_t n, int mode) {
  requireKey();
  const size_t bs = static_cast<size_t>(blockSize_);
  if (n == 0 || n % bs != 0) throw exception("Data not multiple of Block Size");
  // The count travels back as an int; a longer run could not be reported.
  if (n > static_cast<size_t>(INT_MAX)) throw exception("Data too long");
  char block[32];
  for (size_t at = 0; at < n; at += bs) {
    switch (mode) {
      case CBC:
        xorChain(chain_, in + at);
        encryptBlock(chain_, out + at);
        std::memcpy(chain_, out + at, bs);
        break;
      case CFB:
        encryptBlock(chain_, block);
        xorChain(block, in + at);
        std::memcpy(out + at, block, bs);
        std::memcpy(chain_, block, bs);
        break;
      default:
        encryptBlock(in + at, out + at);
        break;
    }
  }
  std::memset(block, 0, sizeof block);
  return static_cast<int>(n);
}

int CRijndael::decrypt(const char* in, char* out, size_t n, int mode) {
  requireKey();
  const size_t bs = static_cast<size_t>(blockSize_);
  if (n == 0 || n % bs != 0) throw exception("Data not multiple of Block Size");
  if (n > static_cast<size_t>(INT_MAX)) throw exception("Data too long");
  char cipher[32];
  char block[32];
  for (size_t at = 0; at < n; at += bs) {
    // Keep the ciphertext block: out may be the same buffer as in.
    std::memcpy(cipher, in + at, bs);
    switch (mode) {
      case CBC:
        decryptBlock(cipher, block);
        xorChain(block, chain_);
        std::memcpy(out + at, block, bs);
        std::memcpy(chain_, cipher, bs);
        break;
      case CFB:
        encryptBlock(chain_, block);
        xorChain(block, cipher);
        std::memcpy(out + at, block, bs);
        std::memcpy(chain_, cipher, bs);
        break;
      default:
        decryptBlock(cipher, out + at);
        break;
    }
  }
  std::memset(block, 0, sizeof block);
  return static_cast<int>(n);
}
