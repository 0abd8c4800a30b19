#include "zrksqlite/binary.h"

#include <limits>
#include <stdexcept>

namespace zrksqlite {

int encodeBinary(const uint8_t* in, int length, uint8_t* out) {
    if (length <= 0) {
        out[0] = 'x';
        out[1] = 0;
        return 1;
    }
    int counts[256] = {};
    for (int i = 0; i < length; ++i) ++counts[in[i]];

    // The offset that leaves the fewest bytes to escape; ties go to the smallest. 39 would put a
    // quote in the first byte.
    int best = length;
    int offset = 1;
    for (int i = 1; i < 256; ++i) {
        if (i == '\'') continue;
        int cost = counts[i] + counts[(i + 1) & 0xff] + counts[(i + '\'') & 0xff];
        if (cost < best) {
            best = cost;
            offset = i;
            if (cost == 0) break;
        }
    }

    int n = 0;
    out[n++] = static_cast<uint8_t>(offset);
    for (int i = 0; i < length; ++i) {
        uint8_t x = static_cast<uint8_t>(in[i] - offset);
        if (x == 0 || x == 1 || x == '\'') {
            out[n++] = 1;
            out[n++] = x == 0 ? 1 : x == 1 ? 2 : 3;
        } else {
            out[n++] = x;
        }
    }
    out[n] = 0;
    return n;
}

int decodeBinary(const uint8_t* in, uint8_t* out) {
    uint8_t offset = in[0];
    if (offset == 0) return -1;  // not even the offset byte
    int n = 0;
    for (const uint8_t* p = in + 1; *p; ++p) {
        uint8_t x = *p;
        if (x == 1) {
            ++p;
            if (*p == 1) {
                x = 0;
            } else if (*p == 2) {
                x = 1;
            } else if (*p == 3) {
                x = '\'';
            } else {
                return -1;
            }
        }
        out[n++] = static_cast<uint8_t>(x + offset);
    }
    return n;
}

std::vector<uint8_t> encodeBlob(const std::vector<uint8_t>& data) {
    if (data.size() > (std::numeric_limits<int>::max() - 2) / 2)
        throw std::length_error("Binary too large to encode");
    std::vector<uint8_t> text(2 * data.size() + 2);
    int n = encodeBinary(data.data(), static_cast<int>(data.size()), text.data());
    text.resize(static_cast<size_t>(n) + 1);
    return text;
}

std::vector<uint8_t> decodeBlob(const std::vector<uint8_t>& text) {
    // The decoder reads up to the zero byte: refuse a text without one rather than read past it.
    bool terminated = false;
    for (uint8_t b : text) {
        if (b == 0) {
            terminated = true;
            break;
        }
    }
    if (!terminated) throw std::runtime_error("Could not decode the binary");
    std::vector<uint8_t> data(text.size());
    int n = decodeBinary(text.data(), data.data());
    if (n < 0) throw std::runtime_error("Could not decode the binary");
    data.resize(static_cast<size_t>(n));
    return data;
}

}  // namespace zrksqlite
