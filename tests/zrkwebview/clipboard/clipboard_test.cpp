#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/clipboard.h"
#include "desk/gfx/dibits.h"
#include "support/fake_webview.h"
#include "vesk/strings.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;
using zrk::plugin::ClipboardPlugin;

struct Reply {
  bool none = false;
  int status = 0;
  std::string text;  // a status reply's message, a MIME reply's body
  std::string type;
};

Reply call(const std::string& command, const json& payload = json::object(),
           pel::test::FakeRequest* request = nullptr) {
  static ClipboardPlugin plugin;
  static auto webview = std::make_shared<pel::test::FakeWebview>();
  pel::test::FakeRequest fallback("POST", "https://pelma/plugin?name=clipboard");
  auto result = plugin.invoke(command, webview.get(), nullptr, request ? request : &fallback,
                              payload);
  Reply reply;
  if (!result) {
    reply.none = true;
  } else if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
    reply.status = mime->status();
    reply.text = mime->body();
    reply.type = mime->mimeType();
  } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
    reply.status = status->status();
    reply.text = status->statusMessage();
  }
  return reply;
}

Reply setImage(const json& options, const std::string& body) {
  pel::test::FakeRequest request("POST", "https://pelma/plugin?name=clipboard&event=set_image");
  request.withBody(body);
  return call("set_image", options, &request);
}

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

std::string le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::string hex(const std::string& data) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : data) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// A DIB block: a header of `headerSize` bytes (the fields named set), then `extra` bytes.
std::string dib(uint32_t headerSize, int32_t width, int32_t height, uint16_t bitCount,
                uint32_t compression, const std::string& extra,
                std::vector<uint32_t> masks = {}) {
  std::string h(headerSize, '\0');
  std::memcpy(h.data(), &headerSize, 4);
  std::memcpy(h.data() + 4, &width, 4);
  std::memcpy(h.data() + 8, &height, 4);
  const uint16_t planes = 1;
  std::memcpy(h.data() + 12, &planes, 2);
  std::memcpy(h.data() + 14, &bitCount, 2);
  std::memcpy(h.data() + 16, &compression, 4);
  for (size_t i = 0; i < masks.size() && 40 + 4 * i + 4 <= headerSize; ++i) {
    std::memcpy(h.data() + 40 + 4 * i, &masks[i], 4);
  }
  return h + extra;
}

class ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override { desk::test::resetClipboard(); }
  void TearDown() override { desk::test::resetClipboard(); }
};

TEST_F(ClipboardTest, TextRoundTripsWithTheirFormats) {
  for (const std::string& text : {std::string("plain ASCII"), std::string("Grüße, мир, 世界, 🎉")}) {
    SCOPED_TRACE(text);
    const Reply set = call("set_text", {{"text", text}});
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.text, "OK");
    EXPECT_EQ(desk::test::clipboardFormats(),
              (std::vector<desk::UINT>{desk::CF_UNICODETEXT, desk::CF_TEXT, desk::CF_LOCALE}));
    const std::u16string wide = zrk::toUtf16(text);
    EXPECT_EQ(*desk::test::clipboardBytes(desk::CF_UNICODETEXT),
              std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2) + bytes({0, 0}));
    EXPECT_EQ(*desk::test::clipboardBytes(desk::CF_TEXT), text + bytes({0}));
    EXPECT_EQ(hex(*desk::test::clipboardBytes(desk::CF_LOCALE)), "00 04 00 00");
    const Reply get = call("get_text");
    EXPECT_EQ(get.type, "application/json");
    EXPECT_EQ(get.text, (json{{"text", text}}.dump()));
  }
  // Empty, or no "text" at all: only the locale is left.
  for (const json& payload : {json{{"text", ""}}, json::object(), json{{"text", 5}}}) {
    call("set_text", {{"text", "something"}});
    EXPECT_EQ(call("set_text", payload).status, 200);
    EXPECT_EQ(desk::test::clipboardFormats(), std::vector<desk::UINT>{desk::CF_LOCALE});
    EXPECT_EQ(call("get_text").text, "{\"text\":\"\"}");
  }
  EXPECT_EQ(desk::test::liveGlobalBlocks(), 1u);  // the locale block only
}

TEST_F(ClipboardTest, ForeignTextEndsAtItsFirstNulAndNeverPastTheBlock) {
  const std::u16string hello = u"héllo";
  const std::string helloBytes(reinterpret_cast<const char*>(hello.data()), hello.size() * 2);
  struct Case {
    const char* name;
    size_t slack;
    std::vector<desk::test::ForeignFormat> formats;
    const char* text;
  } cases[] = {
      {"CF_TEXT only, last character kept", 0, {{desk::CF_TEXT, "abc\xc3\xa9" + bytes({0}), {}}}, "abcé"},
      {"CF_OEMTEXT only", 0, {{desk::CF_OEMTEXT, "oem" + bytes({0}), {}}}, "oem"},
      {"unicode in a block with slack", 16, {{desk::CF_UNICODETEXT, helloBytes + bytes({0, 0}), {}}}, "héllo"},
      {"unicode with a NUL inside", 0,
       {{desk::CF_UNICODETEXT, helloBytes + bytes({0, 0, 'x', 0, 0, 0}), {}}}, "héllo"},
      {"unicode without a NUL", 0, {{desk::CF_UNICODETEXT, helloBytes, {}}}, "héllo"},
      {"unicode of an odd size", 0, {{desk::CF_UNICODETEXT, helloBytes + bytes({'x'}), {}}}, "héllo"},
      {"narrow with slack", 8, {{desk::CF_TEXT, "abc" + bytes({0}), {}}}, "abc"},
      {"narrow without a NUL", 0, {{desk::CF_TEXT, "abc", {}}}, "abc"},
      {"empty unicode falls back to CF_TEXT", 0,
       {{desk::CF_UNICODETEXT, bytes({0, 0}), {}}, {desk::CF_TEXT, "ansi" + bytes({0}), {}}}, "ansi"},
      {"an unpaired surrogate gives no unicode text", 0,
       {{desk::CF_UNICODETEXT, bytes({0x00, 0xD8, 0, 0}), {}}, {desk::CF_TEXT, "t" + bytes({0}), {}}}, "t"},
      {"nothing", 0, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desk::test::setGlobalSlack(c.slack);
    desk::test::placeForeign(c.formats);
    desk::test::setGlobalSlack(0);
    const Reply r = call("get_text");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.text, (json{{"text", c.text}}.dump()));
  }
}

TEST_F(ClipboardTest, OpenFailuresAndAvailability) {
  call("set_text", {{"text", "t"}});
  desk::test::holdClipboardOpen(true);
  const std::string twoPixels(8, '\x7f');
  struct Case {
    const char* command;
    const char* text;
  } cases[] = {{"get_text", "Failed to open clipboard"},
               {"set_text", "Failed to open clipboard"},
               {"get_image", "Failed to open clipboard."}};
  for (const Case& c : cases) {
    const Reply r = call(c.command, {{"text", "x"}});
    EXPECT_EQ(r.status, 400) << c.command;
    EXPECT_EQ(r.text, c.text) << c.command;
  }
  const Reply image = setImage({{"width", 2}, {"height", 1}}, twoPixels);
  EXPECT_EQ(image.status, 400);
  EXPECT_EQ(image.text, "Failed to open clipboard.");
  desk::test::holdClipboardOpen(false);
  EXPECT_EQ(call("get_text").text, "{\"text\":\"t\"}");  // unchanged
  EXPECT_TRUE(call("no_such_command").none);

  // Availability needs no open clipboard.
  struct Available {
    json type;
    bool text;   // with text on the clipboard
    bool image;  // with an image on it
  } kinds[] = {
      {nullptr, false, false}, {1, true, false}, {1.9, true, false}, {4, false, true},
      {4.2, false, true},      {2, false, false}, {5, false, false}, {"1", false, false},
      {true, false, false},    {-1, false, false}, {1e20, false, false},
  };
  for (const auto& k : kinds) {
    const json payload = k.type.is_null() ? json::object() : json{{"type", k.type}};
    call("set_text", {{"text", "t"}});
    EXPECT_EQ(call("is_available", payload).text, k.text ? "true" : "false") << k.type.dump();
    setImage({{"width", 1}, {"height", 1}}, std::string(4, '\0'));
    EXPECT_EQ(call("is_available", payload).text, k.image ? "true" : "false") << k.type.dump();
  }
}

TEST_F(ClipboardTest, SetImagePlacesThreeFormatsAndReadsBackExactly) {
  // Two pixels, red, green, blue, alpha each.
  const std::string rgba = bytes({0x11, 0x22, 0x33, 0x44, 0xAA, 0xBB, 0xCC, 0xDD});
  const Reply set = setImage({{"width", 2}, {"height", 1}}, rgba);
  ASSERT_EQ(set.status, 200) << set.text;
  EXPECT_EQ(set.text, "OK");
  EXPECT_EQ(desk::test::clipboardFormats(),
            (std::vector<desk::UINT>{desk::CF_DIBV5, desk::CF_DIB, desk::CF_BITMAP}));
  const std::string bgra = bytes({0x33, 0x22, 0x11, 0x44, 0xCC, 0xBB, 0xAA, 0xDD});

  const std::string v5 = *desk::test::clipboardBytes(desk::CF_DIBV5);
  ASSERT_EQ(v5.size(), 124u + 8);
  EXPECT_EQ(v5.substr(0, 20), le32(124) + le32(2) + le32(uint32_t(-1)) + bytes({1, 0, 32, 0}) + le32(3));
  EXPECT_EQ(v5.substr(40, 16), le32(0x00FF0000) + le32(0x0000FF00) + le32(0x000000FF) + le32(0xFF000000));
  EXPECT_EQ(v5.substr(124), bgra);

  const std::string dibBlock = *desk::test::clipboardBytes(desk::CF_DIB);
  ASSERT_EQ(dibBlock.size(), 40u + 8);
  EXPECT_EQ(dibBlock.substr(0, 20), le32(40) + le32(2) + le32(uint32_t(-1)) + bytes({1, 0, 32, 0}) + le32(0));
  EXPECT_EQ(dibBlock.substr(20, 20), std::string(20, '\0'));
  EXPECT_EQ(dibBlock.substr(40), bgra);

  const auto bitmap = desk::test::clipboardBitmap();
  ASSERT_TRUE(bitmap.has_value());
  ASSERT_EQ(bitmap->width(), 2);
  ASSERT_EQ(bitmap->height(), 1);
  EXPECT_EQ(bitmap->pixel(0, 0), desk::gfx::argb(0x44, 0x11, 0x22, 0x33));
  EXPECT_EQ(bitmap->pixel(1, 0), desk::gfx::argb(0xDD, 0xAA, 0xBB, 0xCC));

  // Our own image comes back as it went, from the V5 block with its masks inside the header.
  const Reply get = call("get_image");
  EXPECT_EQ(get.type, "application/octet-stream");
  EXPECT_EQ(get.text, le32(2) + le32(1) + rgba);
  // And from the bitmap alone.
  desk::test::placeForeign({{desk::CF_BITMAP, "", *bitmap}});
  EXPECT_EQ(call("get_image").text, le32(2) + le32(1) + rgba);
}

TEST_F(ClipboardTest, ForeignImagesOfEveryLayout) {
  // 24 bits, bottom-up, width 3: rows of 12 bytes, 3 of padding.
  // Stored bottom row first.
  const std::string bottomRow = bytes({11, 12, 13, 14, 15, 16, 17, 18, 19, 0xEE, 0xEE, 0xEE});
  const std::string topRow = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE, 0xEE, 0xEE});
  // 32 bits, top-down, width 2, BI_RGB.
  const std::string two = bytes({1, 2, 3, 4, 5, 6, 7, 8});
  // Bitfields with red in the low byte, green next, blue third, alpha high.
  const std::vector<uint32_t> swapped = {0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000};
  struct Case {
    const char* name;
    desk::UINT format;
    std::string block;
    std::string expected;  // width, height and pixels; empty for no image
  } cases[] = {
      {"24-bit bottom-up width 3", desk::CF_DIB, dib(40, 3, 2, 24, 0, bottomRow + topRow),
       le32(3) + le32(2) +
           bytes({3, 2, 1, 255, 6, 5, 4, 255, 9, 8, 7, 255, 13, 12, 11, 255, 16, 15, 14, 255, 19, 18, 17, 255})},
      {"32-bit top-down", desk::CF_DIB, dib(40, 2, -1, 32, 0, two),
       le32(2) + le32(1) + bytes({3, 2, 1, 4, 7, 6, 5, 8})},
      {"V5 with its own bitfields", desk::CF_DIBV5, dib(124, 2, -1, 32, 3, two, swapped),
       le32(2) + le32(1) + bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {"40-byte header, masks after it", desk::CF_DIB,
       dib(40, 2, -1, 32, 3, le32(0x000000FF) + le32(0x0000FF00) + le32(0x00FF0000) + two),
       le32(2) + le32(1) + bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {"V5 BI_RGB bottom-up", desk::CF_DIBV5, dib(124, 1, 2, 32, 0, bytes({1, 2, 3, 4, 5, 6, 7, 8})),
       le32(1) + le32(2) + bytes({7, 6, 5, 8, 3, 2, 1, 4})},
      // Hostile or unusable blocks: no image, nothing read past them.
      {"height INT32_MIN", desk::CF_DIB, dib(40, 2, std::numeric_limits<int32_t>::min(), 32, 0, two), ""},
      {"stride x rows overflowing 32 bits", desk::CF_DIB, dib(40, 0x40000000, 0x40000000, 32, 0, two), ""},
      {"rows past the block", desk::CF_DIB, dib(40, 2, -2, 32, 0, two), ""},
      {"header past the block", desk::CF_DIBV5, dib(124, 1, 1, 32, 0, "").substr(0, 60), ""},
      {"header size field past the block", desk::CF_DIB, le32(4000) + dib(40, 1, 1, 32, 0, two).substr(4), ""},
      {"masks past the block", desk::CF_DIB, dib(40, 1, 1, 32, 3, le32(1)), ""},
      {"width 0", desk::CF_DIB, dib(40, 0, 1, 32, 0, two), ""},
      {"negative width", desk::CF_DIB, dib(40, -2, 1, 32, 0, two), ""},
      {"16 bits", desk::CF_DIB, dib(40, 2, 1, 16, 0, two), ""},
      {"compressed", desk::CF_DIB, dib(40, 2, 1, 32, 1, two), ""},
      {"a block shorter than a header", desk::CF_DIB, bytes({40, 0, 0}), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desk::test::placeForeign({{c.format, c.block, {}}});
    const Reply r = call("get_image");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.type, "application/octet-stream");
    EXPECT_EQ(hex(r.text), hex(c.expected));
  }
  // A bad V5 block gives way to a good CF_DIB behind it.
  desk::test::placeForeign({{desk::CF_DIBV5, dib(124, 2, std::numeric_limits<int32_t>::min(), 32, 3, two), {}},
                            {desk::CF_DIB, dib(40, 2, -1, 32, 0, two), {}}});
  EXPECT_EQ(hex(call("get_image").text), hex(le32(2) + le32(1) + bytes({3, 2, 1, 4, 7, 6, 5, 8})));
}

TEST_F(ClipboardTest, SetImageRefusesBadSizesAndLeavesTheClipboard) {
  call("set_text", {{"text", "kept"}});
  const auto before = desk::test::clipboardFormats();
  struct Case {
    const char* name;
    json options;
    std::string body;
  } cases[] = {
      {"7 bytes for 2x1", {{"width", 2}, {"height", 1}}, std::string(7, 'x')},
      {"9 bytes for 2x1", {{"width", 2}, {"height", 1}}, std::string(9, 'x')},
      {"no sizes", json::object(), std::string(8, 'x')},
      {"no sizes, no body", json::object(), ""},
      {"width 0", {{"width", 0}, {"height", 1}}, ""},
      {"negative width", {{"width", -2}, {"height", -1}}, std::string(8, 'x')},
      {"width as text", {{"width", "2"}, {"height", 1}}, std::string(8, 'x')},
      {"width beyond 32 bits", {{"width", 4294967298.0}, {"height", 1}}, std::string(8, 'x')},
      {"width above INT32_MAX", {{"width", 2147483648u}, {"height", 1}}, std::string(8, 'x')},
      {"a product too large", {{"width", 65536}, {"height", 65536}}, std::string(8, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply r = setImage(c.options, c.body);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.text, "Invalid image data");
    EXPECT_EQ(desk::test::clipboardFormats(), before);
  }
  // A body far longer than the image is read only one byte past it.
  pel::test::FakeRequest request("POST", "https://pelma/plugin?name=clipboard&event=set_image");
  request.withBody(std::string(1 << 20, 'x'));
  EXPECT_EQ(call("set_image", {{"width", 2}, {"height", 1}}, &request).text, "Invalid image data");
  size_t asked = 0;
  for (size_t n : request.readSizes) asked += n;
  EXPECT_LE(asked, 9u);
  // A body arriving in short pieces is read to its end.
  pel::test::FakeRequest pieces("POST", "https://pelma/plugin?name=clipboard&event=set_image");
  pieces.withBodyPieces({std::string(3, '\1'), std::string(5, '\2'), std::string(8, '\3')});
  EXPECT_EQ(call("set_image", {{"width", 2}, {"height", 2}}, &pieces).text, "OK");
}

TEST(DibBitsTest, SetAndGetRoundTripBothRowOrders) {
  desk::HBITMAP bitmap = desk::CreateCompatibleBitmap(nullptr, 2, 2);
  ASSERT_NE(bitmap, nullptr);
  desk::BITMAPINFO info{};
  info.bmiHeader.biWidth = 2;
  info.bmiHeader.biHeight = 2;  // bottom-up
  info.bmiHeader.biBitCount = 32;
  const std::string rows = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_EQ(desk::SetDIBits(nullptr, bitmap, 0, 2, rows.data(), &info, desk::DIB_RGB_COLORS), 2);
  // The first row given is the bottom one.
  EXPECT_EQ(desk::bitmapOf(bitmap)->pixel(0, 1), desk::gfx::argb(4, 3, 2, 1));
  info.bmiHeader.biHeight = -2;
  std::string out(16, '\0');
  EXPECT_EQ(desk::GetDIBits(nullptr, bitmap, 0, 2, out.data(), &info, desk::DIB_RGB_COLORS), 2);
  EXPECT_EQ(hex(out), hex(rows.substr(8) + rows.substr(0, 8)));
  info.bmiHeader.biBitCount = 24;
  EXPECT_EQ(desk::GetDIBits(nullptr, bitmap, 0, 2, out.data(), &info, desk::DIB_RGB_COLORS), 0);
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biWidth = 3;
  EXPECT_EQ(desk::SetDIBits(nullptr, bitmap, 0, 2, rows.data(), &info, desk::DIB_RGB_COLORS), 0);
  EXPECT_TRUE(desk::DeleteObject(bitmap));
}

}  // namespace
