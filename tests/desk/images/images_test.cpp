#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/gfx/image_file.h"

namespace desk::gfx {
namespace {

using Bytes = std::vector<uint8_t>;

// A 4x3 image: opaque red left half, half-transparent blue right half.
GdkPixbuf* sample() {
  GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 4, 3);
  guchar* px = gdk_pixbuf_get_pixels(p);
  const int stride = gdk_pixbuf_get_rowstride(p);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      guchar* q = px + y * stride + x * 4;
      q[0] = x < 2 ? 255 : 0;
      q[1] = 0;
      q[2] = x < 2 ? 0 : 255;
      q[3] = x < 2 ? 255 : 128;
    }
  }
  return p;
}

Bytes encode(const char* type) {
  GdkPixbuf* p = sample();
  if (std::string(type) == "jpeg" || std::string(type) == "bmp") {
    GdkPixbuf* flat = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4, 3);
    gdk_pixbuf_fill(flat, 0);
    gdk_pixbuf_composite(p, flat, 0, 0, 4, 3, 0, 0, 1, 1, GDK_INTERP_NEAREST, 255);
    g_object_unref(p);
    p = flat;
  }
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  const bool ok = gdk_pixbuf_save_to_buffer(p, &buffer, &size, type, &error, nullptr);
  g_object_unref(p);
  if (!ok) {
    ADD_FAILURE() << type << ": " << (error ? error->message : "?");
    if (error) g_error_free(error);
    return {};
  }
  Bytes out(buffer, buffer + size);
  g_free(buffer);
  return out;
}

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = v >> 24;
  p[1] = v >> 16;
  p[2] = v >> 8;
  p[3] = v;
}

TEST(ImageFiles, EachFormatDecodes) {
  struct Case {
    const char* type;
    bool alpha;
  };
  for (Case c : {Case{"png", true}, Case{"tiff", true}, Case{"ico", true}, Case{"bmp", false},
                 Case{"jpeg", false}}) {
    const Bytes bytes = encode(c.type);
    ASSERT_FALSE(bytes.empty()) << c.type;
    EXPECT_EQ(imageFormatOf(bytes.data(), bytes.size()), c.type);
    std::string error;
    auto bitmap = decodeImage(bytes.data(), bytes.size(), 0, 0, &error);
    ASSERT_TRUE(bitmap) << c.type << ": " << error;
    EXPECT_EQ(bitmap->width(), 4) << c.type;
    EXPECT_EQ(bitmap->height(), 3) << c.type;
    const Argb left = bitmap->pixel(0, 1), right = bitmap->pixel(3, 1);
    EXPECT_GT(redOf(left), 200u) << c.type;
    EXPECT_LT(blueOf(left), 60u) << c.type;
    EXPECT_EQ(alphaOf(left), 255u) << c.type;
    if (c.alpha) {
      EXPECT_EQ(alphaOf(right), 128u) << c.type;
      EXPECT_GT(blueOf(right), 100u) << c.type;
    }
  }
  // A 1x1 transparent GIF.
  const uint8_t gif[] = {'G',  'I',  'F',  '8',  '9',  'a',  0x01, 0x00, 0x01, 0x00, 0x80,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x21, 0xf9, 0x04,
                         0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x01,
                         0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
  std::string gifError;
  auto g = decodeImage(gif, sizeof gif, 0, 0, &gifError);
  ASSERT_TRUE(g) << gifError;
  EXPECT_EQ(g->width(), 1);
  EXPECT_EQ(alphaOf(g->pixel(0, 0)), 0u);
}

TEST(ImageFiles, ChosenSizeAndFiles) {
  const Bytes png = encode("png");
  auto big = decodeImage(png.data(), png.size(), 16, 12);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->width(), 16);
  EXPECT_EQ(big->height(), 12);
  const std::string path = "desk_images_test.png";
  {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  }
  auto fromFile = decodeImageFile(path);
  ASSERT_TRUE(fromFile);
  EXPECT_EQ(fromFile->width(), 4);
  std::string error;
  EXPECT_FALSE(decodeImageFile("no-such-file.png", 0, 0, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
  std::remove(path.c_str());
}

TEST(ImageFiles, BadInputIsRefusedWithAReason) {
  const Bytes png = encode("png");
  struct Case {
    const char* name;
    Bytes bytes;
    const char* reason;
  };
  Bytes cut(png.begin(), png.begin() + static_cast<long>(png.size() / 2));
  // The same PNG claiming 100000 x 100000 pixels (its header's check sum mended).
  Bytes huge = png;
  put32(&huge[16], 100000);
  put32(&huge[20], 100000);
  put32(&huge[29], crc32(&huge[12], 17));
  // An SVG is not among the formats pages may name.
  const std::string svgText = "<svg xmlns='http://www.w3.org/2000/svg' width='4' height='4'/>";
  Bytes svg(svgText.begin(), svgText.end());
  const Case cases[] = {
      {"empty", {}, "known format"},
      {"svg", svg, "known format"},
      {"cut short", cut, ""},
      {"huge", huge, "too large"},
      {"signature only", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}, ""},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(decodeImage(c.bytes.data(), c.bytes.size(), 0, 0, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
  }
  std::string error;
  EXPECT_FALSE(decodeImage(png.data(), png.size(), 40000, 40000, &error));
  EXPECT_FALSE(decodeImage(nullptr, 10, 0, 0, &error));
}

}  // namespace
}  // namespace desk::gfx
