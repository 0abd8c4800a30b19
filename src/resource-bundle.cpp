#include "src/resource-bundle.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/aes.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <future>
#include <optional>
#include <vector>

#include <algorithm>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <map>
#include <utility>

#include "pelmora/bundle-keys.h"
#include "tools/bundler/bundle-format.h"
#include "vesk/log.h"
#include "vesk/signature.h"
#include "vesk/tdata.h"

namespace {

using DataPtr = std::shared_ptr<Vesk::TData>;

// A bundle file read front to back; every read is exact or fails.
class BundleReader {
 public:
  explicit BundleReader(const std::string& path) : in_(path, std::ios::binary) {
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    auto end = in_.tellg();
    in_.seekg(0, std::ios::beg);
    size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
  }

  uint64_t remaining() const { return size_ - position_; }
  uint64_t position() const { return position_; }

  bool read(void* out, size_t n) {
    if (n > remaining()) return false;
    if (n == 0) return true;
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(n));
    if (static_cast<size_t>(in_.gcount()) != n) return false;
    position_ += n;
    return true;
  }

  template <size_t N>
  bool read(unsigned char (&buffer)[N]) {
    return read(buffer, N);
  }

  bool readU16(uint16_t& v) {
    unsigned char b[2];
    if (!read(b)) return false;
    v = pelbundle::readLe16(b);
    return true;
  }

  bool readU32(uint32_t& v) {
    unsigned char b[4];
    if (!read(b)) return false;
    v = pelbundle::readLe32(b);
    return true;
  }

  // n bytes into a new buffer; empty pointer when they are not all there (checked before
  // anything is allocated).
  DataPtr readData(size_t n) {
    if (n > remaining()) return nullptr;
    auto data = std::make_shared<Vesk::TData>(n);
    if (n > 0 && (data->bytes() == nullptr || !read(data->bytes(), n))) return nullptr;
    return data;
  }

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

// Reads the encrypted payload of a bundle file in chunks and decrypts them (AES-256-CTR from the
// IV, the counter running on from chunk to chunk).
class PayloadStream {
 public:
  static constexpr size_t kChunk = size_t{1} << 18;

  PayloadStream(const std::string& path, uint64_t offset, uint64_t length, const DataPtr& key,
                const DataPtr& iv)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), offset_(offset), left_(length), buffer_(kChunk) {
    cipher_.SetKeyWithIV(key->bytes(), key->length(), iv->bytes(), iv->length());
  }
  ~PayloadStream() {
    if (fd_ >= 0) ::close(fd_);
  }
  PayloadStream(const PayloadStream&) = delete;
  PayloadStream& operator=(const PayloadStream&) = delete;

  bool done() const { return left_ == 0; }
  uint64_t consumed() const { return consumed_; }

  // The next decrypted chunk; false when the file cannot deliver it.
  bool next(const uint8_t*& data, size_t& size) {
    if (fd_ < 0) return false;
    size_t want = static_cast<size_t>(std::min<uint64_t>(left_, kChunk));
    size_t got = 0;
    while (got < want) {
      ssize_t n = ::pread(fd_, buffer_.data() + got, want - got, static_cast<off_t>(offset_ + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    cipher_.ProcessData(buffer_.data(), buffer_.data(), want);
    offset_ += want;
    left_ -= want;
    consumed_ += want;
    data = buffer_.data();
    size = want;
    return true;
  }

 private:
  int fd_;
  uint64_t offset_;
  uint64_t left_;
  uint64_t consumed_ = 0;
  std::vector<uint8_t> buffer_;
  CryptoPP::CTR_Mode<CryptoPP::AES>::Decryption cipher_;
};

// The signature check of the payload: MD5 of the decrypted payload, verified against the
// signature with the installed hook.
bool payloadVerifies(PayloadStream& stream, const DataPtr& signature) {
  CryptoPP::Weak::MD5 md5;
  const uint8_t* data = nullptr;
  size_t size = 0;
  while (!stream.done()) {
    if (!stream.next(data, size)) return false;
    md5.Update(data, size);
  }
  uint8_t digest[CryptoPP::Weak::MD5::DIGESTSIZE];
  md5.Final(digest);
  return verifyBundleSignature(digest, sizeof digest, signature->bytes(),
                               static_cast<uint32_t>(signature->length()));
}

struct Target {
  uint32_t offset;
  uint32_t size;
  const std::string* name;
  std::string bytes;
};

// Hands inflated bytes, in stream order, to the entries whose slices cover them; bytes outside
// every slice (those of a name that occurs again later) are dropped.
class SliceRouter {
 public:
  explicit SliceRouter(std::vector<Target>& targets) : targets_(targets) {}

  void deliver(const uint8_t* data, size_t n) {
    while (n > 0) {
      while (t_ < targets_.size() && uint64_t{targets_[t_].offset} + targets_[t_].size <= position_) ++t_;
      if (t_ == targets_.size()) {
        position_ += n;
        return;
      }
      Target& target = targets_[t_];
      size_t take;
      if (position_ < target.offset) {
        take = static_cast<size_t>(std::min<uint64_t>(n, target.offset - position_));
      } else {
        take = static_cast<size_t>(std::min<uint64_t>(n, uint64_t{target.offset} + target.size - position_));
        if (target.bytes.capacity() == 0) {
          // Reserve what the table announces, within reason until the payload is known good.
          target.bytes.reserve(std::min<size_t>(target.size, size_t{64} << 20));
        }
        target.bytes.append(reinterpret_cast<const char*>(data), take);
      }
      data += take;
      n -= take;
      position_ += take;
    }
  }

  uint64_t position() const { return position_; }

 private:
  std::vector<Target>& targets_;
  size_t t_ = 0;
  uint64_t position_ = 0;
};

struct Slice {
  uint32_t offset;
  uint32_t size;
};

// The load itself; throws on allocation failures and the like, which the callers catch.
bool loadBundle(const std::string& path, const DataPtr& key) {
  BundleReader reader(path);
  unsigned char magic[6];
  if (!reader.read(magic) || std::memcmp(magic, pelbundle::kMagic, pelbundle::kMagicLength) != 0) {
    ZRK_LOG_ERROR("Invalid resource file header.");
    return false;
  }
  unsigned char reserved[2];
  if (!reader.read(reserved)) return false;
  DataPtr iv = reader.readData(pelbundle::kIvLength);
  if (!iv) return false;
  uint16_t signatureLength = 0;
  if (!reader.readU16(signatureLength)) return false;
  DataPtr signature = reader.readData(signatureLength);
  uint32_t payloadLength = 0, entryCount = 0;
  if (!signature || !reader.readU32(payloadLength) || !reader.readU32(entryCount)) return false;
  // Every record takes at least 7 bytes and the payload follows them: counts the file cannot hold
  // are refused before anything is allocated for them.
  if (payloadLength > reader.remaining() || entryCount > (reader.remaining() - payloadLength) / 7) {
    return false;
  }

  std::map<std::string, Slice> slices;
  uint64_t offset = 0;
  for (uint32_t i = 0; i < entryCount; ++i) {
    uint32_t size = 0;
    uint16_t rawLength = 0;
    if (!reader.readU32(size) || !reader.readU16(rawLength)) return false;
    auto nameLength = static_cast<int16_t>(rawLength);
    if (nameLength <= 0) return false;
    DataPtr encrypted = reader.readData(static_cast<size_t>(nameLength));
    if (!encrypted) return false;
    DataPtr name = Vesk::TData::aesCtrDecrypt(encrypted, key, iv);
    if (!name || name->length() == 0) return false;
    // Offsets are 32-bit: a table whose sizes add up past that would slice the wrong bytes.
    if (offset + size > std::numeric_limits<uint32_t>::max()) return false;
    slices[std::string(reinterpret_cast<const char*>(name->bytes()), name->length())] =
        Slice{static_cast<uint32_t>(offset), size};
    offset += size;
  }
  const uint64_t inflatedLimit = offset;
  if (payloadLength == 0 || payloadLength > reader.remaining()) return false;
  const uint64_t payloadAt = reader.position();

  // The payload is read twice, side by side: one pass digests it and checks the signature, the
  // other inflates it into the entries. Nothing reaches the store unless the check passes, and
  // until it has, inflation may not run far ahead of its input (a forged gzip bomb).
  PayloadStream verifyStream(path, payloadAt, payloadLength, key, iv);
  std::future<bool> verified = std::async(std::launch::async, [&verifyStream, &signature] {
    return payloadVerifies(verifyStream, signature);
  });
  struct Join {
    std::future<bool>& f;
    ~Join() {
      if (f.valid()) f.wait();
    }
  } join{verified};
  std::optional<bool> verdict;
  auto verdictNow = [&] {
    if (!verdict) verdict = verified.get();
    return *verdict;
  };

  std::vector<Target> targets;
  targets.reserve(slices.size());
  for (const auto& [name, slice] : slices) targets.push_back({slice.offset, slice.size, &name, {}});
  std::stable_sort(targets.begin(), targets.end(),
                   [](const Target& a, const Target& b) { return a.offset < b.offset; });
  SliceRouter router(targets);

  PayloadStream stream(path, payloadAt, payloadLength, key, iv);
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return false;
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};
  std::vector<uint8_t> window(PayloadStream::kChunk);
  bool ended = false;
  while (!ended) {
    if (zs.avail_in == 0) {
      if (stream.done()) return false;  // the member ends early
      const uint8_t* data = nullptr;
      size_t size = 0;
      if (!stream.next(data, size)) return false;
      zs.next_in = const_cast<Bytef*>(data);
      zs.avail_in = static_cast<uInt>(size);
    }
    zs.next_out = window.data();
    zs.avail_out = static_cast<uInt>(window.size());
    int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return false;
    size_t made = window.size() - zs.avail_out;
    // Never more than the table accounts for.
    if (router.position() + made > inflatedLimit) return false;
    router.deliver(window.data(), made);
    ended = rc == Z_STREAM_END;
    if (!verdict && router.position() > (uint64_t{16} << 20) + 64 * stream.consumed() && !verdictNow()) {
      return false;
    }
  }
  if (!verdictNow()) return false;

  std::unordered_map<std::string, std::string> entries;
  entries.reserve(targets.size());
  for (auto& target : targets) {
    // A slice that starts past the inflated end: the table does not fit the payload.
    if (target.offset > router.position()) return false;
    entries.emplace(*target.name, std::move(target.bytes));
  }
  BundleStore::replaceAll(std::move(entries));
  return true;
}

// The verification module's process-wide state.
struct Verification {
  std::mutex installMutex;
  bool installed = false;  // guarded by installMutex
  std::mutex keyMutex;
  bool keyBuilt = false;  // guarded by keyMutex
  std::string keyText;    // guarded by keyMutex
  SignatureVerifier hook = nullptr;
};

Verification& verification() {
  static Verification state;
  return state;
}

}  // namespace

bool loadResourceBundleWithKey(const std::string& path, const DataPtr& key) {
  try {
    if (!key || key->length() != pelbundle::kKeyLength) return false;
    return loadBundle(path, key);
  } catch (const std::exception& e) {
    ZRK_LOG_DEBUG("Resource bundle not loaded: %s", e.what());
    return false;
  } catch (...) {
    return false;
  }
}

bool loadResourceBundle(const std::string& path, const std::string& name) {
  (void)name;
  try {
    auto key = std::make_shared<Vesk::TData>(pelbundle::kKeyLength);
    if (key->bytes() == nullptr) return false;
    bundleKey(key->bytes());
    return loadResourceBundleWithKey(path, key);
  } catch (...) {
    return false;
  }
}

void bundleKey(uint8_t* buffer) {
  for (size_t i = 0; i < 8; ++i) {
    uint32_t word = pelmora::bundle_keys::kPayloadKeyWords[i];
    for (size_t b = 0; b < 4; ++b) buffer[4 * i + b] = static_cast<uint8_t>(word >> (8 * b));
  }
}

std::mutex& BundleStore::mutex() {
  static std::mutex m;
  return m;
}

std::unordered_map<std::string, std::string>& BundleStore::entries() {
  static std::unordered_map<std::string, std::string> map;
  return map;
}

void BundleStore::put(const std::string& name, const std::string& bytes) {
  std::lock_guard lock(mutex());
  entries()[name] = bytes;
}

const std::string* BundleStore::get(const std::string& name) {
  std::lock_guard lock(mutex());
  auto& map = entries();
  auto it = map.find(name);
  return it == map.end() ? nullptr : &it->second;
}

void BundleStore::clear() {
  std::lock_guard lock(mutex());
  entries().clear();
}

void BundleStore::replaceAll(std::unordered_map<std::string, std::string> replacement) {
  {
    std::lock_guard lock(mutex());
    entries().swap(replacement);
  }
  // The old content is freed outside the lock.
}

size_t BundleStore::size() {
  std::lock_guard lock(mutex());
  return entries().size();
}

void installSignatureVerifier() {
  auto& v = verification();
  std::lock_guard lock(v.installMutex);
  if (v.installed) return;
  v.installed = true;
  {
    std::lock_guard keyLock(v.keyMutex);
    v.hook = &verifyWithPublicKey;
  }
  buildVerifyKey();
}

void buildVerifyKey() {
  auto& v = verification();
  {
    std::lock_guard lock(v.keyMutex);
    if (v.keyBuilt) return;
    v.keyBuilt = true;
  }
  namespace keys = pelmora::bundle_keys;
  std::string text(keys::kVerifyKeyLength, '\0');
  for (size_t i = 0; i < keys::kVerifyKeyLength; ++i) {
    text[i] = static_cast<char>(keys::kVerifyKeyTable[i] ^
                                pelbundle::verifyKeyMask(keys::kVerifyKeySeed, i));
  }
  setVerifyKey(text.c_str());
}

void setVerifyKey(const char* text) {
  auto& v = verification();
  std::lock_guard lock(v.keyMutex);
  v.keyText = text != nullptr ? text : "";
}

bool verifyWithPublicKey(const char* keyText, const uint8_t* data, uint32_t dataLength,
                         const uint8_t* signature, uint32_t signatureLength) {
  try {
    auto message = std::make_shared<Vesk::TData>(data, data != nullptr ? dataLength : 0);
    auto sig = std::make_shared<Vesk::TData>(signature, signature != nullptr ? signatureLength : 0);
    return Vesk::verifyRsaSignaturePem(message, sig, keyText != nullptr ? keyText : "");
  } catch (...) {
    return false;
  }
}

bool verifyBundleSignature(const uint8_t* data, uint32_t dataLength, const uint8_t* signature,
                           uint32_t signatureLength) {
  auto& v = verification();
  std::lock_guard lock(v.keyMutex);
  if (v.hook == nullptr) return false;
  return v.hook(v.keyText.c_str(), data, dataLength, signature, signatureLength);
}
