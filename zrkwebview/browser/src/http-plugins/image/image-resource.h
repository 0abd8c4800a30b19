// Images that pages hand to native code (menu icons, tray icons, window icons): resources of the
// calling webview under a rid, each holding an immutable bitmap of straight ARGB pixels that is
// shared by pointer, so a menu row or a tray that took it keeps it after the image is closed.
//
// Three kinds: icon images (kept with their alpha), bitmap images (flattened over a background
// colour, then opaque) and named images (kept with their alpha under a page-given name).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desk/gfx/bitmap.h"
#include "zrkwebview/browser/src/resource.h"

namespace zrk::plugin {

// The type code shared with the image plugin.
using ImageType = int32_t;
constexpr ImageType kImageTypeNone = 0;
constexpr ImageType kImageTypeIco = 1;
constexpr ImageType kImageTypeBmp = 2;
constexpr ImageType kImageTypePng = 3;
constexpr ImageType kImageTypeNative = 4;

using ImagePointer = std::shared_ptr<desk::gfx::Bitmap>;

class ImageResource : public ResourceInternal {
  VESK_DECLARE_CLASS(ImageResource, ResourceInternal, "zrk::plugin")

 public:
  explicit ImageResource(uint32_t rid, ImageType type = kImageTypeNone)
      : ResourceInternal(rid), type_(type) {}
  ~ImageResource() override = default;

  ImageType type() const { return type_; }
  // A copy of the pointer (empty once closed). The bitmap is never changed after it is made.
  ImagePointer image() const;
  void setImage(ImagePointer image);
  // Drops this resource's reference to its image, then leaves the webview's manager.
  void close() override;

 private:
  ImageType type_;
  mutable std::mutex imageMutex_;
  ImagePointer image_;
};

class BmpResource : public ImageResource {
  VESK_DECLARE_CLASS(BmpResource, ImageResource, "zrk::plugin")

 public:
  explicit BmpResource(uint32_t rid) : ImageResource(rid, kImageTypeBmp) {}
  std::string name;  // the file path when loaded from a file
};

class IcoResource : public ImageResource {
  VESK_DECLARE_CLASS(IcoResource, ImageResource, "zrk::plugin")

 public:
  explicit IcoResource(uint32_t rid) : ImageResource(rid, kImageTypeIco) {}
  std::string name;  // the file path when loaded from a file
};

class NamedImageResource : public ImageResource {
  VESK_DECLARE_CLASS(NamedImageResource, ImageResource, "zrk::plugin")

 public:
  explicit NamedImageResource(uint32_t rid) : ImageResource(rid) {}
  std::string name;
};

// Declared for completeness; nothing makes one.
class PngResource : public ResourceInternal {
  VESK_DECLARE_CLASS(PngResource, ResourceInternal, "zrk::plugin")

 public:
  explicit PngResource(uint32_t rid) : ResourceInternal(rid) {}
  int32_t type = kImageTypePng;
  std::string name;
};

// "png" 3, "ico" 1, "bmp" 2, "native" 4, anything else 0 (exact, case-sensitive).
ImageType parseImageType(const std::string& word);

// ---- bitmap steps --------------------------------------------------------------------------

// The opaque ARGB value of a background: -1 (no background) is 0x00FFFFFF, anything else
// 0xFF000000 | (value & 0xFFFFFF).
desk::gfx::Argb backgroundArgb(int32_t background);
// A bitmap image's pixels: each pixel composited over the background's RGB (white for -1), then
// made opaque.
desk::gfx::Bitmap flattenBitmap(const desk::gfx::Bitmap& source, int32_t background);
// Pixels given as red, green, blue, alpha bytes (straight alpha, rows top to bottom). Empty when
// width or height is 0, width x height x 4 does not fit in 32 bits, the array is shorter than
// that, or the size is one a bitmap may not have. Extra bytes are ignored.
ImagePointer bitmapFromRgba(const std::vector<uint8_t>& rgba, uint32_t width, uint32_t height);
// Decoded encoded bytes (PNG, JPEG, BMP, GIF, TIFF, ICO) at their own size; empty on failure.
ImagePointer bitmapFromEncodedBytes(const std::vector<uint8_t>& bytes);
// An image file as an icon: an icon file at 64 x 64, any other image at its own size.
ImagePointer iconFromFile(const std::string& path);
// An image file at its own size.
ImagePointer bitmapFromFile(const std::string& path);

// ---- resources -----------------------------------------------------------------------------
// Rids are those of the webview's resource manager; 0 means failure (nothing registered, no rid
// consumed).

uint32_t loadImageResource(Webview* webview, const std::string& name, ImageType type,
                           int32_t background);
uint32_t createImageFromBytes(Webview* webview, const std::vector<uint8_t>& bytes, ImageType type,
                              int32_t background);
uint32_t createImageFromRgba(Webview* webview, const std::vector<uint8_t>& rgba, uint32_t width,
                             uint32_t height, ImageType type, int32_t background);
uint32_t createNamedImageFromRgba(Webview* webview, const std::vector<uint8_t>& rgba,
                                  uint32_t width, uint32_t height, const std::string& name);
uint32_t createNamedImageFromBytes(Webview* webview, const std::vector<uint8_t>& bytes,
                                   const std::string& name);
// The named image of that name with the lowest rid, or empty.
std::shared_ptr<NamedImageResource> findNamedImage(Webview* webview, const std::string& name);
// True for an icon or bitmap image (0 x 0 when it has been closed); false otherwise.
bool getImageSize(Webview* webview, uint32_t rid, float& width, float& height);
// 1 for an icon image, 2 for a bitmap image, 0 for anything else.
ImageType getImageType(Webview* webview, uint32_t rid);
// Pixels are never read back: always empty.
std::shared_ptr<std::vector<uint8_t>> getImageRgba(Webview* webview, uint32_t rid);

}  // namespace zrk::plugin
