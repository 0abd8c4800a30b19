#include "desk/gfx/bitmap.h"

#include <cairo.h>

#include <cstring>

namespace desk::gfx {

namespace {

inline uint32_t mulDiv255(uint32_t c, uint32_t a) { return (c * a + 127) / 255; }

}  // namespace

uint32_t premultiply(Argb c) {
  const uint32_t a = alphaOf(c);
  if (a == 255) return c;
  if (a == 0) return 0;
  return (a << 24) | (mulDiv255(redOf(c), a) << 16) | (mulDiv255(greenOf(c), a) << 8) |
         mulDiv255(blueOf(c), a);
}

Argb unpremultiply(uint32_t p) {
  const uint32_t a = p >> 24;
  if (a == 255) return p;
  if (a == 0) return 0;
  auto channel = [a](uint32_t v) {
    // The nearest straight value; clamped for malformed input where v > a.
    const uint32_t c = (v * 255 + a / 2) / a;
    return c > 255 ? 255u : c;
  };
  return (a << 24) | (channel((p >> 16) & 255) << 16) | (channel((p >> 8) & 255) << 8) |
         channel(p & 255);
}

bool validSize(int64_t width, int64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
         static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= kMaxPixels;
}

std::optional<Bitmap> Bitmap::make(int width, int height, Argb fill) {
  if (!validSize(width, height)) return std::nullopt;
  Bitmap b;
  b.width_ = width;
  b.height_ = height;
  b.pixels_.assign(static_cast<size_t>(width) * static_cast<size_t>(height), fill);
  return b;
}

std::optional<Bitmap> Bitmap::fromPremultiplied(const uint8_t* data, int width, int height,
                                                int stride) {
  if (data == nullptr || !validSize(width, height) || stride < 0 ||
      static_cast<int64_t>(stride) < static_cast<int64_t>(width) * 4) {
    return std::nullopt;
  }
  auto b = make(width, height);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = data + static_cast<size_t>(y) * static_cast<size_t>(stride);
    for (int x = 0; x < width; ++x) {
      uint32_t p;
      std::memcpy(&p, row + static_cast<size_t>(x) * 4, 4);
      b->pixels_[static_cast<size_t>(y) * width + x] = unpremultiply(p);
    }
  }
  return b;
}

std::optional<Bitmap> Bitmap::fromSurface(cairo_surface_t* surface) {
  if (surface == nullptr || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE) {
    return std::nullopt;
  }
  const cairo_format_t format = cairo_image_surface_get_format(surface);
  if (format != CAIRO_FORMAT_ARGB32 && format != CAIRO_FORMAT_RGB24) return std::nullopt;
  cairo_surface_flush(surface);
  auto b = fromPremultiplied(cairo_image_surface_get_data(surface),
                             cairo_image_surface_get_width(surface),
                             cairo_image_surface_get_height(surface),
                             cairo_image_surface_get_stride(surface));
  if (b && format == CAIRO_FORMAT_RGB24) {
    for (Argb& p : b->pixels_) p |= 0xFF000000u;
  }
  return b;
}

Argb Bitmap::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return pixels_[static_cast<size_t>(y) * width_ + x];
}

void Bitmap::setPixel(int x, int y, Argb c) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  pixels_[static_cast<size_t>(y) * width_ + x] = c;
}

cairo_surface_t* Bitmap::toSurface() const {
  const int w = width_ ? width_ : 1;
  const int h = height_ ? height_ : 1;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) return s;
  cairo_surface_flush(s);
  uint8_t* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < height_; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < width_; ++x) row[x] = premultiply(pixels_[static_cast<size_t>(y) * width_ + x]);
  }
  cairo_surface_mark_dirty(s);
  return s;
}

void Bitmap::assignFromSurface(cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  if (cairo_image_surface_get_width(surface) != width_ ||
      cairo_image_surface_get_height(surface) != height_) {
    return;
  }
  const uint8_t* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height_; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < width_; ++x) pixels_[static_cast<size_t>(y) * width_ + x] = unpremultiply(row[x]);
  }
}

std::vector<uint32_t> Bitmap::premultipliedPixels() const {
  std::vector<uint32_t> out(pixels_.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = premultiply(pixels_[i]);
  return out;
}

bool Bitmap::writePng(const std::string& path) const {
  if (empty()) return false;
  cairo_surface_t* s = toSurface();
  const bool ok = cairo_surface_status(s) == CAIRO_STATUS_SUCCESS &&
                  cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(s);
  return ok;
}

}  // namespace desk::gfx
