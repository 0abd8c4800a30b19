// Decoding the image files that pages name (menu icons, image resources): PNG, JPEG, BMP, GIF
// (its first frame), TIFF and ICO, over gdk-pixbuf. The format is told by the file's first bytes,
// never by its name; other formats are refused. Images larger than a bitmap may be (validSize)
// or than `kMaxImagePixels` are refused before their pixels are made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "desk/gfx/bitmap.h"

namespace desk::gfx {

constexpr uint64_t kMaxImagePixels = uint64_t{64} << 20;
constexpr size_t kMaxImageFileBytes = size_t{256} << 20;

// The format of encoded bytes by their signature: "png", "jpeg", "bmp", "gif", "tiff", "ico", or
// empty for anything else.
std::string imageFormatOf(const uint8_t* data, size_t size);

// Decodes encoded bytes. With `width` and `height` above 0 the image is scaled to that size (an
// icon file picks its best entry first); otherwise it keeps its own. Nullopt on failure, with the
// reason in `error` when given.
std::optional<Bitmap> decodeImage(const uint8_t* data, size_t size, int width = 0,
                                  int height = 0, std::string* error = nullptr);
std::optional<Bitmap> decodeImageFile(const std::string& path, int width = 0, int height = 0,
                                      std::string* error = nullptr);

}  // namespace desk::gfx
