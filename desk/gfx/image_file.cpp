#include "desk/gfx/image_file.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace desk::gfx {

namespace {

bool startsWith(const uint8_t* data, size_t size, const char* magic, size_t n) {
  return size >= n && std::memcmp(data, magic, n) == 0;
}

struct LoadState {
  int width = 0;
  int height = 0;
  bool refused = false;
  std::string why;
};

void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
  auto* state = static_cast<LoadState*>(data);
  if (!validSize(width, height) ||
      static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxImagePixels) {
    state->refused = true;
    state->why = "image too large: " + std::to_string(width) + "x" + std::to_string(height);
    // A size of 0 makes the loader stop before it allocates the pixels.
    gdk_pixbuf_loader_set_size(loader, 0, 0);
    return;
  }
  if (state->width > 0 && state->height > 0)
    gdk_pixbuf_loader_set_size(loader, state->width, state->height);
}

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

std::string imageFormatOf(const uint8_t* data, size_t size) {
  if (!data) return {};
  if (startsWith(data, size, "\x89PNG\r\n\x1a\n", 8)) return "png";
  if (startsWith(data, size, "\xff\xd8\xff", 3)) return "jpeg";
  if (startsWith(data, size, "BM", 2)) return "bmp";
  if (startsWith(data, size, "GIF87a", 6) || startsWith(data, size, "GIF89a", 6)) return "gif";
  if (startsWith(data, size, "II*\0", 4) || startsWith(data, size, "MM\0*", 4)) return "tiff";
  if (startsWith(data, size, "\0\0\1\0", 4) || startsWith(data, size, "\0\0\2\0", 4))
    return "ico";
  return {};
}

std::optional<Bitmap> decodeImage(const uint8_t* data, size_t size, int width, int height,
                                  std::string* error) {
  const std::string format = imageFormatOf(data, size);
  if (format.empty()) {
    setError(error, "not an image of a known format");
    return std::nullopt;
  }
  if (width > 0 && height > 0 && !validSize(width, height)) {
    setError(error, "bad target size");
    return std::nullopt;
  }
  GError* gerror = nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(format.c_str(), &gerror);
  if (!loader) {
    setError(error, gerror ? gerror->message : "no decoder for " + format);
    if (gerror) g_error_free(gerror);
    return std::nullopt;
  }
  LoadState state;
  if (width > 0 && height > 0) {
    state.width = width;
    state.height = height;
  }
  g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &state);
  bool ok = true;
  // Written in pieces: a loader may stop taking data after a refusal.
  size_t off = 0;
  while (ok && off < size && !state.refused) {
    const size_t n = std::min<size_t>(size - off, 1 << 20);
    ok = gdk_pixbuf_loader_write(loader, data + off, n, &gerror);
    off += n;
  }
  std::string why;
  if (!ok && gerror) why = gerror->message;
  if (gerror) g_clear_error(&gerror);
  const bool closed = gdk_pixbuf_loader_close(loader, ok ? &gerror : nullptr);
  if (ok && !closed && gerror) why = gerror->message;
  if (gerror) g_clear_error(&gerror);
  GdkPixbuf* pixbuf = (ok && closed && !state.refused) ? gdk_pixbuf_loader_get_pixbuf(loader)
                                                       : nullptr;
  std::optional<Bitmap> result;
  if (pixbuf && gdk_pixbuf_get_colorspace(pixbuf) == GDK_COLORSPACE_RGB &&
      gdk_pixbuf_get_bits_per_sample(pixbuf) == 8) {
    const int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const guchar* px = gdk_pixbuf_read_pixels(pixbuf);
    if (px && (channels == 3 || channels == 4) && (channels == 4) == alpha) {
      result = Bitmap::make(w, h);
      if (result) {
        for (int y = 0; y < h; ++y) {
          const guchar* row = px + static_cast<size_t>(y) * stride;
          for (int x = 0; x < w; ++x) {
            const guchar* p = row + static_cast<size_t>(x) * channels;
            result->pixels()[static_cast<size_t>(y) * w + x] =
                argb(alpha ? p[3] : 255, p[0], p[1], p[2]);
          }
        }
      }
    }
  }
  g_object_unref(loader);
  if (!result) {
    if (state.refused) why = state.why;
    setError(error, why.empty() ? "cannot decode the " + format + " image" : why);
  }
  return result;
}

std::optional<Bitmap> decodeImageFile(const std::string& path, int width, int height,
                                      std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    setError(error, "cannot open " + path);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  bool tooBig = false;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (bytes.size() + n > kMaxImageFileBytes) {
      tooBig = true;
      break;
    }
    bytes.insert(bytes.end(), buf, buf + n);
  }
  std::fclose(f);
  if (tooBig) {
    setError(error, "file too large: " + path);
    return std::nullopt;
  }
  return decodeImage(bytes.data(), bytes.size(), width, height, error);
}

}  // namespace desk::gfx
