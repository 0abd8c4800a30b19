#include "zrkwebview/browser/src/http-plugins/sqlite/msgpack-rows.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "zrksqlite/statement.h"

namespace zrk::plugin::sqlite {

namespace {

// Appends into a string that grows in large steps; `finish` trims it to what was written. Small
// writes go byte by byte, not through a library copy per value.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out), length_(out.size()) {}
  ~Writer() { finish(); }

  void finish() { out_.resize(length_); }

  void byte(uint8_t b) {
    reserve(1);
    out_[length_++] = static_cast<char>(b);
  }
  template <typename T>
  void bigEndian(T value) {
    reserve(sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i) {
      out_[length_++] =
          static_cast<char>(static_cast<uint64_t>(value) >> (8 * (sizeof(T) - 1 - i)));
    }
  }
  void bytes(const char* data, size_t n) {
    reserve(n);
    if (n <= 16) {
      for (size_t i = 0; i < n; ++i) out_[length_ + i] = data[i];
    } else {
      std::memcpy(&out_[length_], data, n);
    }
    length_ += n;
  }

  void unsignedInt(uint64_t v) {
    if (v < 128) {
      byte(static_cast<uint8_t>(v));
    } else if (v <= std::numeric_limits<uint8_t>::max()) {
      byte(0xCC);
      byte(static_cast<uint8_t>(v));
    } else if (v <= std::numeric_limits<uint16_t>::max()) {
      byte(0xCD);
      bigEndian(static_cast<uint16_t>(v));
    } else if (v <= std::numeric_limits<uint32_t>::max()) {
      byte(0xCE);
      bigEndian(static_cast<uint32_t>(v));
    } else {
      byte(0xCF);
      bigEndian(v);
    }
  }

  void signedInt(int64_t v) {
    if (v >= 0) return unsignedInt(static_cast<uint64_t>(v));
    if (v >= -32) {
      byte(static_cast<uint8_t>(static_cast<int8_t>(v)));
    } else if (v >= std::numeric_limits<int8_t>::min()) {
      byte(0xD0);
      byte(static_cast<uint8_t>(static_cast<int8_t>(v)));
    } else if (v >= std::numeric_limits<int16_t>::min()) {
      byte(0xD1);
      bigEndian(static_cast<uint16_t>(static_cast<int16_t>(v)));
    } else if (v >= std::numeric_limits<int32_t>::min()) {
      byte(0xD2);
      bigEndian(static_cast<uint32_t>(static_cast<int32_t>(v)));
    } else {
      byte(0xD3);
      bigEndian(static_cast<uint64_t>(v));
    }
  }

  // A float when the value survives the round trip through one, else a double.
  void floating(double v) {
    if (v >= static_cast<double>(std::numeric_limits<float>::lowest()) &&
        v <= static_cast<double>(std::numeric_limits<float>::max()) &&
        static_cast<double>(static_cast<float>(v)) == v) {
      const float f = static_cast<float>(v);
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      byte(0xCA);
      bigEndian(bits);
    } else {
      uint64_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      byte(0xCB);
      bigEndian(bits);
    }
  }

  void string(const char* data, size_t n) {
    if (n < 32) {
      byte(static_cast<uint8_t>(0xA0 | n));
    } else if (n <= std::numeric_limits<uint8_t>::max()) {
      byte(0xD9);
      byte(static_cast<uint8_t>(n));
    } else if (n <= std::numeric_limits<uint16_t>::max()) {
      byte(0xDA);
      bigEndian(static_cast<uint16_t>(n));
    } else {
      byte(0xDB);
      bigEndian(static_cast<uint32_t>(n));
    }
    bytes(data, n);
  }

  void container(size_t n, uint8_t fix, uint8_t wide16, uint8_t wide32) {
    if (n < 16) {
      byte(static_cast<uint8_t>(fix | n));
    } else if (n <= std::numeric_limits<uint16_t>::max()) {
      byte(wide16);
      bigEndian(static_cast<uint16_t>(n));
    } else {
      byte(wide32);
      bigEndian(static_cast<uint32_t>(n));
    }
  }
  void arrayHeader(size_t n) { container(n, 0x90, 0xDC, 0xDD); }
  void mapHeader(size_t n) { container(n, 0x80, 0xDE, 0xDF); }

 private:
  void reserve(size_t n) {
    if (length_ + n > out_.size()) out_.resize(std::max(out_.size() * 2, length_ + n + 65536));
  }

  std::string& out_;
  size_t length_;
};

void writeColumn(Writer& w, sqlite3_stmt* stmt, int column) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER:
      w.signedInt(sqlite3_column_int64(stmt, column));
      break;
    case SQLITE_FLOAT:
      w.floating(sqlite3_column_double(stmt, column));
      break;
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      const int bytes = sqlite3_column_bytes(stmt, column);
      w.string(text != nullptr ? text : "", text != nullptr && bytes > 0 ? size_t(bytes) : 0);
      break;
    }
    case SQLITE_BLOB: {
      const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, column));
      const int bytes = sqlite3_column_bytes(stmt, column);
      const size_t n = data != nullptr && bytes > 0 ? size_t(bytes) : 0;
      w.arrayHeader(n);
      for (size_t i = 0; i < n; ++i) w.unsignedInt(data[i]);
      break;
    }
    default:
      w.byte(0xC0);
      break;
  }
}

}  // namespace

std::string writeRowsAsMsgpack(zrksqlite::Query& query) {
  // The column count and names, read once before the first step. Several columns of one name
  // make one member, the last of them giving its value; members go in the byte order of names.
  const int columnCount = query.columnCount();
  std::map<std::string, int> byName;
  for (int c = 0; c < columnCount; ++c) {
    const char* name = sqlite3_column_name(query.handle(), c);
    byName[name != nullptr ? name : ""] = c;
  }
  std::vector<std::pair<std::string, int>> members(byName.begin(), byName.end());

  // The row count is known only at the end: the rows go after room for the widest array head,
  // which is then written right before them.
  constexpr size_t kHeadRoom = 5;
  std::string out(kHeadRoom, '\0');
  size_t rows = 0;
  {
    Writer w(out);
    for (auto it = query.begin(); it != query.end(); ++it) {
      sqlite3_stmt* stmt = query.handle();
      if (members.empty()) {
        w.byte(0xC0);  // a row without columns stays a null value
      } else {
        w.mapHeader(members.size());
        for (const auto& [name, column] : members) {
          w.string(name.data(), name.size());
          writeColumn(w, stmt, column);
        }
      }
      ++rows;
    }
  }  // the writer trims `out` to what it wrote
  std::string head;
  Writer(head).arrayHeader(rows);
  const size_t start = kHeadRoom - head.size();
  out.replace(start, head.size(), head);
  out.erase(0, start);
  return out;
}

}  // namespace zrk::plugin::sqlite
