// Vesk::TData: a growable byte buffer in malloc-managed memory. Growth is exact, the slack beyond
// the length is always zero, and allocation failures are reported by a false result.
#pragma once

#include <cstddef>
#include <cstdint>
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

 private:
  uint8_t* bytes_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
};

}  // namespace Vesk
