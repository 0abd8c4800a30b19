// The text-file reader: the first or last N lines of a text file in UTF-8, UTF-16 or UTF-32
// (either byte order, by BOM or by the zero bytes of its start), as UTF-8 texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zrk::plugin {

struct TextEncodingInfo {
  std::string name = "UTF-8";
  int64_t bomLength = 0;
  // 1: bytes passed on as they are; 2: UTF-16; 4: UTF-32.
  int32_t unit = 1;
  bool littleEndian = true;
};

struct LineFilterOptions {
  bool skipBlankLine = false;
  bool crlf2lf = true;
  bool trimWhitespaces = false;
};

// Lines in file order; none for a count of 0 or below, a missing file or a binary one (the
// reason goes to standard error). Throws std::filesystem::filesystem_error when the existence
// test itself fails.
std::vector<std::string> readLines(const std::string& path, int32_t count, bool fromEnd,
                                   bool skipBlankLine, bool trimWhitespaces, bool crlf2lf);

// The binary test over the first 4096 bytes (at most 1024 positions scanned).
bool isTextFile(const std::string& path);
bool isTextSample(const unsigned char* bytes, size_t n);
TextEncodingInfo detectTextEncoding(const std::string& path);
TextEncodingInfo detectTextEncoding(const unsigned char* bytes, size_t n);

std::vector<std::string> readFirstLines(const std::string& path, int32_t count,
                                        const TextEncodingInfo& encoding,
                                        const LineFilterOptions& options);
std::vector<std::string> readLastLines(const std::string& path, int32_t count,
                                       const TextEncodingInfo& encoding,
                                       const LineFilterOptions& options);

bool isBlankLine(const std::string& line, bool crlf2lf, bool trimWhitespaces);
std::string trimLine(const std::string& line);
void appendUtf8(std::string& text, uint32_t codePoint);
// UTF-16 or UTF-32 code units in the file's byte order to UTF-8: surrogate pairs combined, lone
// surrogates and values beyond U+10FFFF as "?". Unit 1 gives the bytes unchanged.
std::string decodeLine(const std::string& bytes, const TextEncodingInfo& encoding);

}  // namespace zrk::plugin
