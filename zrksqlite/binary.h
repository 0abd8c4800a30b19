// A text form for binary data that holds neither a zero byte nor a single quote, so it can stand
// inside an SQL string literal. The first byte is an offset subtracted from every byte; the
// values 0, 1 and 39 that remain are escaped as 1 followed by 1, 2 or 3.
#pragma once

#include <cstdint>
#include <vector>

namespace zrksqlite {

// Writes the text and a zero byte to `out`, which must hold 2 * length + 2 bytes; returns the
// text's length (without the zero byte). An empty input becomes "x".
int encodeBinary(const uint8_t* in, int length, uint8_t* out);
// Decodes a zero-terminated text into `out`, which must hold as many bytes as the text; returns
// the decoded length, or -1 for malformed text.
int decodeBinary(const uint8_t* in, uint8_t* out);

// The encoded text followed by its zero byte.
std::vector<uint8_t> encodeBlob(const std::vector<uint8_t>& data);
// The bytes of such a text; throws std::runtime_error "Could not decode the binary" when it is
// malformed.
std::vector<uint8_t> decodeBlob(const std::vector<uint8_t>& text);

}  // namespace zrksqlite
