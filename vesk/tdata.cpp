#include "vesk/tdata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "vesk/tstring.h"

namespace Vesk {

TData::TData(const void* source, size_t count) {
  if (count != 0) append(source, count);
}

TData::TData(size_t count) { setLength(count); }

TData::TData(const TData& other) : TObject() {
  if (other.bytes_ != nullptr) append(other.bytes_, other.length_);
}

TData& TData::operator=(const TData& other) {
  if (this == &other) return *this;
  freeBuffer();
  if (other.bytes_ != nullptr) append(other.bytes_, other.length_);
  return *this;
}

TData::TData(TData&& other) noexcept
    : TObject(), bytes_(other.bytes_), length_(other.length_), capacity_(other.capacity_) {
  other.bytes_ = nullptr;
  other.length_ = other.capacity_ = 0;
}

TData& TData::operator=(TData&& other) noexcept {
  if (this != &other) {
    freeBuffer();
    bytes_ = other.bytes_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.bytes_ = nullptr;
    other.length_ = other.capacity_ = 0;
  }
  return *this;
}

TData::~TData() { std::free(bytes_); }

bool TData::append(const void* source, size_t count) {
  if (count != 0 && source == nullptr) return false;
  if (bytes_ != nullptr && capacity_ - length_ >= count) {
    if (count != 0) std::memcpy(bytes_ + length_, source, count);
    length_ += count;
    return true;
  }
  if (bytes_ == nullptr && length_ == 0) {
    // malloc(0) may give null; keep at least one byte so that "has storage" stays true.
    auto* fresh = static_cast<uint8_t*>(std::malloc(count == 0 ? 1 : count));
    if (fresh == nullptr) {
      std::printf("failed to allocate memory of size: %zu\n", count);
      return false;
    }
    if (count != 0) std::memcpy(fresh, source, count);
    bytes_ = fresh;
    length_ = capacity_ = count;
    return true;
  }
  if (count > SIZE_MAX - length_) {
    std::printf("failed to realloc memory of size: %zu\n", SIZE_MAX);
    return false;
  }
  const size_t total = length_ + count;
  // The source may lie inside this very buffer, which realloc may move.
  const auto* from = static_cast<const uint8_t*>(source);
  const bool inside = std::less_equal<const uint8_t*>()(bytes_, from) && std::less<const uint8_t*>()(from, bytes_ + length_);
  const size_t insideOffset = inside ? static_cast<size_t>(from - bytes_) : 0;
  auto* grown = static_cast<uint8_t*>(std::realloc(bytes_, total));
  if (grown == nullptr) {
    std::printf("failed to realloc memory of size: %zu\n", total);
    return false;
  }
  std::memcpy(grown + length_, inside ? grown + insideOffset : from, count);
  bytes_ = grown;
  length_ = capacity_ = total;
  return true;
}

bool TData::setLength(size_t newLength) {
  if (newLength == 0) return false;
  if (bytes_ == nullptr) {
    auto* fresh = static_cast<uint8_t*>(std::calloc(newLength, 1));
    if (fresh == nullptr) {
      std::printf("failed to malloc memory of size: %zu in setLength\n", newLength);
      return false;
    }
    bytes_ = fresh;
    length_ = capacity_ = newLength;
    return true;
  }
  if (newLength < length_) {
    std::memset(bytes_ + newLength, 0, capacity_ - newLength);
    length_ = newLength;
    return true;
  }
  if (newLength >= capacity_) {
    auto* grown = static_cast<uint8_t*>(std::realloc(bytes_, newLength));
    if (grown == nullptr) {
      std::printf("failed to realloc memory of size: %zu in setLength\n", newLength);
      return false;
    }
    // Bytes between the old length and the old capacity are zero already; zero the rest too.
    std::memset(grown + length_, 0, newLength - length_);
    bytes_ = grown;
    length_ = capacity_ = newLength;
    return true;
  }
  length_ = newLength;
  return true;
}

bool TData::getBytes(void* destination, size_t offset, size_t count) const {
  if (destination == nullptr || bytes_ == nullptr) return false;
  if (offset > length_ || count > length_ - offset) return false;
  if (count != 0) std::memcpy(destination, bytes_ + offset, count);
  return true;
}

std::shared_ptr<TData> TData::subdata(size_t offset, size_t count) const {
  if (count == 0 || offset > length_) return nullptr;
  const size_t available = length_ - offset;
  const size_t n = count < available ? count : available;
  auto slice = std::make_shared<TData>();
  if (!slice->append(bytes_ + offset, n)) return nullptr;
  return slice;
}

void TData::freeBuffer() {
  std::free(bytes_);
  bytes_ = nullptr;
  length_ = capacity_ = 0;
}

std::shared_ptr<TData> TData::dataWithContentsOfFile(const TString& path) {
  const std::string name = path.utf8String();
  if (name.empty()) return nullptr;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  std::shared_ptr<TData> data;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    const auto size = static_cast<size_t>(st.st_size);
    data = std::make_shared<TData>();
    size_t done = 0;
    if (data->setLength(size)) {
      while (done < size) {
        ssize_t n = ::read(fd, data->bytes() + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
    }
    // A short or failed read gives nothing rather than a buffer padded with zeros.
    if (done != size) data.reset();
  }
  ::close(fd);
  return data;
}

bool TData::writeToFile(const TString& path) const {
  const std::string name = path.utf8String();
  if (name.empty()) return false;
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (done < length_) {
    ssize_t n = ::write(fd, bytes_ + done, length_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace Vesk
