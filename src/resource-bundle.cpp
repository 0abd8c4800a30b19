#include "src/resource-bundle.h"

#include <zlib.h>

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

// Inflates the one gzip member at the start of `data` into `out`. False for a stream that is
// corrupt, ends early, is not gzip, or inflates to more than `limit` bytes (checked as it goes: the
// output never grows past the limit).
bool inflateGzip(const uint8_t* data, size_t size, uint64_t limit, std::string& out) {
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return false;
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};

  // Start from a guess and double, never past the limit: a table that promises gigabytes costs
  // nothing unless the payload really inflates that far.
  uint64_t capacity = std::min<uint64_t>(limit, std::max<uint64_t>(uint64_t{size} * 4, 1u << 16));
  out.resize(static_cast<size_t>(capacity));
  size_t produced = 0;
  size_t consumed = 0;
  constexpr size_t kStep = size_t{1} << 30;  // zlib counts in 32 bits
  for (;;) {
    if (zs.avail_in == 0 && consumed < size) {
      size_t chunk = std::min(size - consumed, kStep);
      zs.next_in = const_cast<Bytef*>(data + consumed);
      zs.avail_in = static_cast<uInt>(chunk);
      consumed += chunk;
    }
    unsigned char probe = 0;
    bool probing = false;
    if (produced == out.size()) {
      if (out.size() >= limit) {
        // Full: one more byte of output would be more than the table accounts for.
        probing = true;
      } else {
        out.resize(static_cast<size_t>(std::min<uint64_t>(limit, uint64_t{out.size()} * 2)));
      }
    }
    if (probing) {
      zs.next_out = &probe;
      zs.avail_out = 1;
    } else {
      size_t room = std::min(out.size() - produced, kStep);
      zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
      zs.avail_out = static_cast<uInt>(room);
    }
    uInt before = zs.avail_out;
    int rc = inflate(&zs, Z_NO_FLUSH);
    size_t made = before - zs.avail_out;
    if (probing && made > 0) return false;
    if (!probing) produced += made;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR) {
      // No progress possible: the input is used up before the member ends.
      if (zs.avail_in == 0 && consumed == size) return false;
      continue;
    }
    if (rc != Z_OK) return false;
  }
  out.resize(produced);
  return true;
}

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

  DataPtr encryptedPayload = reader.readData(payloadLength);
  if (!encryptedPayload) return false;
  DataPtr payload = Vesk::TData::aesCtrDecrypt(encryptedPayload, key, iv);
  encryptedPayload.reset();
  if (!payload || payload->length() == 0) return false;

  DataPtr digest = Vesk::TData::md5(payload);
  if (!digest || digest->length() != pelbundle::kDigestLength) return false;
  if (!verifyBundleSignature(digest->bytes(), static_cast<uint32_t>(digest->length()),
                             signature->bytes(), signatureLength)) {
    return false;
  }

  std::string content;
  if (!inflateGzip(payload->bytes(), payload->length(), inflatedLimit, content)) return false;
  payload.reset();

  std::unordered_map<std::string, std::string> entries;
  entries.reserve(slices.size());
  for (auto& [name, slice] : slices) {
    if (slice.offset > content.size()) return false;
    size_t length = std::min<size_t>(slice.size, content.size() - slice.offset);
    entries.emplace(name, content.substr(slice.offset, length));
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
