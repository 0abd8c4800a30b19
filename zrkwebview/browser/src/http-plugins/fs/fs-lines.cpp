#include "zrkwebview/browser/src/http-plugins/fs/fs-lines.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>

namespace zrk::plugin {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// A regular file (or anything but a folder) opened for binary reading; null otherwise.
FileHandle openForReading(const std::string& path) {
  FileHandle file(std::fopen(path.c_str(), "rbe"));
  if (!file) return file;
  struct stat info {};
  if (::fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) file.reset();
  return file;
}

bool isPrintableAscii(unsigned char b) {
  return (b >= 0x20 && b <= 0x7E) || b == 0x09 || b == 0x0A || b == 0x0D;
}

bool hasBom(const unsigned char* b, size_t n) {
  return (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) ||
         (n >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE))) ||
         (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF);
}

std::optional<std::string> filtered(std::string line, const LineFilterOptions& options) {
  if (options.trimWhitespaces) line = trimLine(line);
  if (options.skipBlankLine && isBlankLine(line, options.crlf2lf, options.trimWhitespaces)) {
    return std::nullopt;
  }
  return line;
}

uint32_t unitValue(const unsigned char* p, const TextEncodingInfo& encoding) {
  uint32_t value = 0;
  if (encoding.littleEndian) {
    for (int i = encoding.unit - 1; i >= 0; --i) value = (value << 8) | p[i];
  } else {
    for (int i = 0; i < encoding.unit; ++i) value = (value << 8) | p[i];
  }
  return value;
}

void dropOneTrailingCr(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

}  // namespace

bool isBlankLine(const std::string& line, bool crlf2lf, bool trimWhitespaces) {
  if (line.empty()) return true;
  if (trimWhitespaces) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
  }
  return crlf2lf && line == "\r";
}

std::string trimLine(const std::string& line) {
  static const char* const kBlanks = " \t\r\n";
  const size_t first = line.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  const size_t last = line.find_last_not_of(kBlanks);
  return line.substr(first, last - first + 1);
}

void appendUtf8(std::string& text, uint32_t cp) {
  if (cp < 0x80) {
    text += static_cast<char>(cp);
  } else if (cp < 0x800) {
    text += static_cast<char>(0xC0 | (cp >> 6));
    text += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    text += static_cast<char>(0xE0 | (cp >> 12));
    text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (cp >> 18));
    text += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string decodeLine(const std::string& bytes, const TextEncodingInfo& encoding) {
  if (encoding.unit != 2 && encoding.unit != 4) return bytes;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t units = bytes.size() / static_cast<size_t>(encoding.unit);
  std::string text;
  for (size_t i = 0; i < units; ++i) {
    const uint32_t value = unitValue(p + i * encoding.unit, encoding);
    if (encoding.unit == 4) {
      if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        text += '?';
      } else {
        appendUtf8(text, value);
      }
      continue;
    }
    if (value >= 0xD800 && value <= 0xDBFF && i + 1 < units) {
      const uint32_t low = unitValue(p + (i + 1) * 2, encoding);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(text, 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (value >= 0xD800 && value <= 0xDFFF) {
      text += '?';
    } else {
      appendUtf8(text, value);
    }
  }
  return text;
}

bool isTextSample(const unsigned char* b, size_t n) {
  if (n == 0) return true;
  if (hasBom(b, n)) return true;
  size_t positions = 0, zeros = 0, printable = 0;
  size_t i = 0;
  while (i < n && i < 1024) {
    const unsigned char c = b[i];
    ++positions;
    if (c == 0) {
      ++zeros;
      ++i;
    } else if (isPrintableAscii(c)) {
      ++printable;
      ++i;
    } else if (c < 0x80) {
      ++i;
    } else {
      size_t follow = 0;
      if ((c & 0xE0) == 0xC0) {
        follow = 1;
      } else if ((c & 0xF0) == 0xE0) {
        follow = 2;
      } else if ((c & 0xF8) == 0xF0) {
        follow = 3;
      } else {
        return false;
      }
      for (size_t k = 1; k <= follow; ++k) {
        if (i + k >= n || (b[i + k] & 0xC0) != 0x80) return false;
      }
      ++printable;
      i += follow + 1;
    }
  }
  const double share = 0.8 * static_cast<double>(positions);
  if (zeros == 0) return static_cast<double>(printable) > share;
  size_t pairs = 0;
  for (size_t l = 0; l < std::min<size_t>(n, 100) && l + 1 < n; l += 2) {
    const bool ascii1 = b[l + 1] >= 0x20 && b[l + 1] <= 0x7E;
    const bool ascii0 = b[l] >= 0x20 && b[l] <= 0x7E;
    if ((b[l] == 0 && ascii1) || (ascii0 && b[l + 1] == 0)) ++pairs;
  }
  if (pairs > 10) return true;
  if (static_cast<double>(zeros) > 0.1 * static_cast<double>(positions)) return false;
  return static_cast<double>(printable) > share;
}

bool isTextFile(const std::string& path) {
  FileHandle file = openForReading(path);
  if (!file) return false;
  unsigned char sample[4096];
  const size_t n = std::fread(sample, 1, sizeof sample, file.get());
  if (std::ferror(file.get())) return false;
  return isTextSample(sample, n);
}

TextEncodingInfo detectTextEncoding(const unsigned char* b, size_t n) {
  TextEncodingInfo info;
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    info.bomLength = 3;
  } else if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) {
    info = {"UTF-32LE", 4, 4, true};
  } else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    info = {"UTF-16BE", 2, 2, false};
  } else if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    info = {"UTF-16LE", 2, 2, true};
  } else if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) {
    info = {"UTF-32BE", 4, 4, false};
  } else {
    // Without a BOM, the zero bytes of the complete pairs decide. A sample without a complete
    // pair says nothing and stays UTF-8.
    size_t pairs = 0;
    bool evenZero = true, oddZero = true;
    for (size_t l = 0; l + 1 < n && l <= 2; l += 2) {
      ++pairs;
      evenZero = evenZero && b[l] == 0;
      oddZero = oddZero && b[l + 1] == 0;
    }
    if (pairs > 0 && evenZero) {
      info = {"UTF-16BE", 0, 2, false};
    } else if (pairs > 0 && oddZero) {
      info = {"UTF-16LE", 0, 2, true};
    }
  }
  return info;
}

TextEncodingInfo detectTextEncoding(const std::string& path) {
  FileHandle file = openForReading(path);
  if (!file) return TextEncodingInfo();
  unsigned char sample[4];
  const size_t n = std::fread(sample, 1, sizeof sample, file.get());
  return detectTextEncoding(sample, n);
}

std::vector<std::string> readFirstLines(const std::string& path, int32_t count,
                                        const TextEncodingInfo& encoding,
                                        const LineFilterOptions& options) {
  std::vector<std::string> lines;
  if (count <= 0) return lines;
  const size_t wanted = static_cast<size_t>(count);
  FileHandle file = openForReading(path);
  if (!file) return lines;
  if (fseeko(file.get(), encoding.bomLength, SEEK_SET) != 0) return lines;
  std::FILE* f = file.get();

  if (encoding.unit != 2 && encoding.unit != 4) {
    std::string current;
    int c;
    while ((c = getc_unlocked(f)) != EOF) {
      if (c == '\n') {
        if (auto line = filtered(std::move(current), options)) {
          lines.push_back(std::move(*line));
          if (lines.size() >= wanted) return lines;
        }
        current.clear();
      } else if (c != '\r') {
        current += static_cast<char>(c);
      }
    }
    if (!current.empty() && lines.size() < wanted) {
      if (auto line = filtered(std::move(current), options)) lines.push_back(std::move(*line));
    }
    return lines;
  }

  // Code units: every line, the last unterminated piece included (even when empty), goes
  // through the filter.
  const size_t unit = static_cast<size_t>(encoding.unit);
  bool moreInput = true;
  while (moreInput && lines.size() < wanted) {
    std::string units;
    unsigned char buffer[4];
    for (;;) {
      if (std::fread(buffer, 1, unit, f) != unit) {
        moreInput = false;
        break;
      }
      const uint32_t value = unitValue(buffer, encoding);
      if (value == 10) break;
      if (value == 13) continue;
      units.append(reinterpret_cast<const char*>(buffer), unit);
    }
    if (auto line = filtered(decodeLine(units, encoding), options)) {
      lines.push_back(std::move(*line));
    }
  }
  return lines;
}

std::vector<std::string> readLastLines(const std::string& path, int32_t count,
                                       const TextEncodingInfo& encoding,
                                       const LineFilterOptions& options) {
  std::deque<std::string> found;
  if (count <= 0) return {};
  const size_t wanted = static_cast<size_t>(count);
  FileHandle file = openForReading(path);
  if (!file) return {};
  std::FILE* f = file.get();
  if (fseeko(f, 0, SEEK_END) != 0) return {};
  const int64_t size = ftello(f);
  const int64_t bom = encoding.bomLength;
  if (size <= bom) return {};
  constexpr int64_t kBlock = 8192;
  std::string block;

  auto readAt = [&](int64_t position, int64_t length) {
    block.resize(static_cast<size_t>(length));
    if (fseeko(f, position, SEEK_SET) != 0) return false;
    block.resize(std::fread(block.data(), 1, block.size(), f));
    return static_cast<int64_t>(block.size()) == length;
  };

  if (encoding.unit != 2 && encoding.unit != 4) {
    int64_t position = size;
    std::string current;  // reversed
    while (position > bom && found.size() < wanted) {
      const int64_t length = std::min(kBlock, position - bom);
      position -= length;
      if (!readAt(position, length)) break;
      for (int64_t i = length - 1; i >= 0 && found.size() < wanted; --i) {
        const char c = block[static_cast<size_t>(i)];
        if (c == '\n') {
          if (!current.empty()) {
            std::reverse(current.begin(), current.end());
            if (auto line = filtered(std::move(current), options)) {
              found.push_front(std::move(*line));
            }
            current.clear();
          } else if (!options.skipBlankLine) {
            found.emplace_front();
          }
        } else if (c != '\r') {
          current += c;
        }
      }
    }
    if (!current.empty() && found.size() < wanted) {
      std::reverse(current.begin(), current.end());
      if (auto line = filtered(std::move(current), options)) found.push_front(std::move(*line));
    }
    return {found.begin(), found.end()};
  }

  const int64_t unit = encoding.unit;
  auto isLineFeed = [&](const std::string& bytes, size_t at) {
    return unitValue(reinterpret_cast<const unsigned char*>(bytes.data()) + at, encoding) == 10;
  };
  auto keep = [&](const std::string& bytes) {
    if (auto line = filtered(decodeLine(bytes, encoding), options)) {
      if (options.crlf2lf) dropOneTrailingCr(*line);
      found.push_front(std::move(*line));
    }
  };
  // A trailing partial unit is not part of the text.
  int64_t position = bom + (size - bom) / unit * unit;
  std::string carried;
  while (position > bom && found.size() < wanted) {
    const int64_t length = std::min(kBlock / unit * unit, position - bom);
    position -= length;
    if (!readAt(position, length)) break;
    std::string segment = block + carried;
    carried.clear();
    size_t end = segment.size();
    for (int64_t at = static_cast<int64_t>(segment.size()) - unit; at >= 0; at -= unit) {
      const size_t u = static_cast<size_t>(at);
      if (!isLineFeed(segment, u)) continue;
      const size_t start = u + static_cast<size_t>(unit);
      if (end > start) keep(segment.substr(start, end - start));
      end = u;
      if (found.size() >= wanted) break;
    }
    carried = segment.substr(0, end);
  }
  if (!carried.empty() && found.size() < wanted) keep(carried);
  return {found.begin(), found.end()};
}

std::vector<std::string> readLines(const std::string& path, int32_t count, bool fromEnd,
                                   bool skipBlankLine, bool trimWhitespaces, bool crlf2lf) {
  if (count <= 0) return {};
  if (!std::filesystem::exists(std::filesystem::path(path))) {
    std::cerr << "File does not exist: " << path << std::endl;
    return {};
  }
  if (!isTextFile(path)) {
    std::cerr << "File appears to be binary: " << path << std::endl;
    return {};
  }
  const TextEncodingInfo encoding = detectTextEncoding(path);
  const LineFilterOptions options{skipBlankLine, crlf2lf, trimWhitespaces};
  return fromEnd ? readLastLines(path, count, encoding, options)
                 : readFirstLines(path, count, encoding, options);
}

}  // namespace zrk::plugin
