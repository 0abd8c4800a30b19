// The application-wide store of byte blocks under generated ids, through which pages and the
// image services hand data to one another (a page leaves pixels here; an image endpoint reads them
// back by id). One store per process, guarded by one mutex; it is not persisted.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace zrk {

class SharedDataStore {
 public:
  // Copies `size` bytes (an empty block when size is 0) under a new UUID text and returns it. A
  // `once` entry is erased by its first successful read.
  static std::string write(const char* bytes, size_t size, bool once);
  // The entry's bytes into `out`; true when there was one. An empty uid returns false at once;
  // an unknown one leaves `out` unchanged.
  static bool read(const std::string& uid, std::string& out);
  // Erases the entry; true when there was one.
  static bool remove(const std::string& uid);
  // Calls `visit` for every entry in ascending uid order while the store is locked (it must not
  // call the store). An empty function does nothing.
  static void list(const std::function<void(const std::string& uid, size_t size, bool once)>& visit);
  // Erases every entry.
  static void clear();
};

}  // namespace zrk
