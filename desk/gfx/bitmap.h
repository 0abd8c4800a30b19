// A bitmap of straight (not premultiplied) 32-bit ARGB pixels, and its exact conversion to and
// from Cairo's premultiplied image surfaces.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef struct _cairo_surface cairo_surface_t;

namespace desk::gfx {

// 0xAARRGGBB, straight alpha.
using Argb = uint32_t;
constexpr Argb argb(unsigned a, unsigned r, unsigned g, unsigned b) {
  return (Argb{a & 255} << 24) | (Argb{r & 255} << 16) | (Argb{g & 255} << 8) | Argb{b & 255};
}
constexpr unsigned alphaOf(Argb c) { return c >> 24; }
constexpr unsigned redOf(Argb c) { return (c >> 16) & 255; }
constexpr unsigned greenOf(Argb c) { return (c >> 8) & 255; }
constexpr unsigned blueOf(Argb c) { return c & 255; }

// Premultiplies with rounding: each channel becomes round(c * a / 255).
uint32_t premultiply(Argb c);
// The inverse: round(p * 255 / a), 0 for a transparent pixel. Premultiplying the result gives the
// premultiplied pixel back exactly.
Argb unpremultiply(uint32_t p);

// The largest side and pixel count a bitmap may have.
constexpr int kMaxSide = 32767;
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;
// True when width x height is a size a bitmap may have (sides >= 1, products checked in 64 bits).
bool validSize(int64_t width, int64_t height);

class Bitmap {
 public:
  Bitmap() = default;
  // Nullopt for a size validSize refuses.
  static std::optional<Bitmap> make(int width, int height, Argb fill = 0);
  // From premultiplied ARGB32 rows (Cairo's and the layered frame's layout) with a stride in bytes.
  static std::optional<Bitmap> fromPremultiplied(const uint8_t* data, int width, int height,
                                                 int stride);
  // A copy of an ARGB32 (or RGB24) image surface.
  static std::optional<Bitmap> fromSurface(cairo_surface_t* surface);

  int width() const { return width_; }
  int height() const { return height_; }
  bool empty() const { return width_ == 0; }
  // Out-of-range reads give 0; out-of-range writes do nothing.
  Argb pixel(int x, int y) const;
  void setPixel(int x, int y, Argb c);
  const std::vector<Argb>& pixels() const { return pixels_; }
  std::vector<Argb>& pixels() { return pixels_; }

  // A new premultiplied ARGB32 image surface with a copy of the pixels (the caller destroys it).
  cairo_surface_t* toSurface() const;
  // Copies a surface of the same size back in (unpremultiplying).
  void assignFromSurface(cairo_surface_t* surface);
  // The pixels premultiplied, top-down, 4 bytes each (BGRA in memory on little-endian machines).
  std::vector<uint32_t> premultipliedPixels() const;
  bool writePng(const std::string& path) const;

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<Argb> pixels_;
};

}  // namespace desk::gfx
