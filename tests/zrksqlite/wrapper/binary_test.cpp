// The text form for binary data.
#include <random>

#include "test-support.h"
#include "zrksqlite/binary.h"

using namespace zrksqlite;

namespace {

using Bytes = std::vector<uint8_t>;

// The text before the terminator holds neither a zero byte nor a quote.
void expectSafe(const Bytes& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), 0);
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        EXPECT_NE(text[i], 0) << i;
        EXPECT_NE(text[i], '\'') << i;
    }
}

}  // namespace

TEST(SQLiteBinary, KnownEncodings) {
    EXPECT_EQ(encodeBlob({}), (Bytes{'x', 0}));
    // Offset 1 would escape the 1; offset 2 escapes nothing.
    EXPECT_EQ(encodeBlob({0, 1, 39, 255}), (Bytes{2, 254, 255, 37, 253, 0}));
    EXPECT_EQ(encodeBlob({1, 1, 1}), (Bytes{2, 255, 255, 255, 0}));
    uint8_t out[4];
    EXPECT_EQ(encodeBinary(nullptr, 0, out), 1);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(out[1], 0);
}

TEST(SQLiteBinary, EveryInputRoundTrips) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    Bytes noisy(3000);
    std::mt19937 rng(7);
    for (auto& b : noisy) b = static_cast<uint8_t>(rng());
    // Every candidate offset has escapes to make: the worst case needs the full buffer.
    Bytes worst;
    for (int rep = 0; rep < 3; ++rep)
        for (int i = 0; i < 256; ++i) worst.push_back(static_cast<uint8_t>(i));
    const Bytes cases[] = {{}, {0}, {39}, {0, 1, 39, 255}, {0, 0, 0, 0}, all, noisy, worst};
    for (const Bytes& data : cases) {
        Bytes text = encodeBlob(data);
        expectSafe(text);
        EXPECT_LE(text.size(), 2 * data.size() + 2);
        EXPECT_EQ(decodeBlob(text), data) << data.size();
    }
}

TEST(SQLiteBinary, MalformedTexts) {
    const Bytes cases[] = {
        {'x', 1, 4, 0},  // 1 must be followed by 1, 2 or 3
        {'x', 1, 0},     // the escape cut off by the terminator
        {0},             // only the terminator, no offset
        {'x', 5},        // no terminator at all
        {},
    };
    for (const Bytes& text : cases) {
        EXPECT_EQ(thrownMessage<std::runtime_error>([&] { decodeBlob(text); }),
                  "Could not decode the binary");
    }
    Bytes out(8);
    EXPECT_EQ(decodeBinary(Bytes{'x', 1, 4, 0}.data(), out.data()), -1);
    EXPECT_EQ(decodeBinary(Bytes{0}.data(), out.data()), -1);
    EXPECT_EQ(decodeBinary(Bytes{'x', 0}.data(), out.data()), 0);
}
