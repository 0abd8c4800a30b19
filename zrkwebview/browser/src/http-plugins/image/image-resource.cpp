#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"

#include <fstream>
#include <limits>
#include <utility>

#include "desk/gfx/image_file.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

using desk::gfx::Argb;
using desk::gfx::Bitmap;

ImagePointer ImageResource::image() const {
  std::lock_guard<std::mutex> lock(imageMutex_);
  return image_;
}

void ImageResource::setImage(ImagePointer image) {
  std::lock_guard<std::mutex> lock(imageMutex_);
  image_ = std::move(image);
}

void ImageResource::close() {
  ImagePointer dropped;
  {
    std::lock_guard<std::mutex> lock(imageMutex_);
    dropped.swap(image_);
  }
  ResourceInternal::close();
}

ImageType parseImageType(const std::string& word) {
  if (word == "png") return kImageTypePng;
  if (word == "ico") return kImageTypeIco;
  if (word == "bmp") return kImageTypeBmp;
  if (word == "native") return kImageTypeNative;
  return kImageTypeNone;
}

// ---- bitmap steps --------------------------------------------------------------------------

Argb backgroundArgb(int32_t background) {
  if (background == -1) return 0x00FFFFFFu;
  return 0xFF000000u | (static_cast<uint32_t>(background) & 0x00FFFFFFu);
}

Bitmap flattenBitmap(const Bitmap& source, int32_t background) {
  const Argb bg = backgroundArgb(background);
  Bitmap out = source;
  auto blend = [](unsigned c, unsigned b, unsigned a) { return (c * a + b * (255 - a) + 127) / 255; };
  for (Argb& p : out.pixels()) {
    const unsigned a = desk::gfx::alphaOf(p);
    p = desk::gfx::argb(255, blend(desk::gfx::redOf(p), desk::gfx::redOf(bg), a),
                        blend(desk::gfx::greenOf(p), desk::gfx::greenOf(bg), a),
                        blend(desk::gfx::blueOf(p), desk::gfx::blueOf(bg), a));
  }
  return out;
}

ImagePointer bitmapFromRgba(const std::vector<uint8_t>& rgba, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return nullptr;
  const uint64_t bytes = uint64_t{width} * height * 4;
  if (bytes > std::numeric_limits<uint32_t>::max() || rgba.size() < bytes) return nullptr;
  if (!desk::gfx::validSize(width, height)) return nullptr;
  std::optional<Bitmap> bitmap = Bitmap::make(static_cast<int>(width), static_cast<int>(height));
  if (!bitmap) return nullptr;
  std::vector<Argb>& pixels = bitmap->pixels();
  for (size_t i = 0; i < pixels.size(); ++i) {
    const uint8_t* p = &rgba[i * 4];
    pixels[i] = desk::gfx::argb(p[3], p[0], p[1], p[2]);
  }
  return std::make_shared<Bitmap>(std::move(*bitmap));
}

ImagePointer bitmapFromEncodedBytes(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return nullptr;
  std::optional<Bitmap> bitmap = desk::gfx::decodeImage(bytes.data(), bytes.size());
  if (!bitmap || bitmap->empty()) return nullptr;
  return std::make_shared<Bitmap>(std::move(*bitmap));
}

namespace {

std::string fileFormat(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  uint8_t head[32] = {};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  return desk::gfx::imageFormatOf(head, static_cast<size_t>(in.gcount()));
}

ImagePointer decodeFile(const std::string& path, int side) {
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  std::optional<Bitmap> bitmap = desk::gfx::decodeImageFile(path, side, side);
  if (!bitmap || bitmap->empty()) return nullptr;
  return std::make_shared<Bitmap>(std::move(*bitmap));
}

// The resource manager of the webview, or null.
std::shared_ptr<ResourceManager> managerOf(Webview* webview) {
  return webview != nullptr ? webview->resourceManager() : nullptr;
}

template <typename T>
uint32_t registerImage(Webview* webview, ImagePointer image, const std::string& name,
                       bool keepName) {
  std::shared_ptr<ResourceManager> manager = managerOf(webview);
  if (!image || !manager) return 0;
  const uint32_t rid = manager->nextId();
  auto resource = std::make_shared<T>(rid);
  if (keepName) resource->name = name;
  resource->setImage(std::move(image));
  if (std::shared_ptr<Webview> owner = webview->weak_from_this().lock()) resource->setWebview(owner);
  manager->add(resource);
  return rid;
}

// An icon keeps its alpha; a bitmap is flattened over the background.
uint32_t registerTyped(Webview* webview, ImagePointer image, ImageType type, int32_t background,
                       const std::string& name, bool keepName) {
  if (!image) return 0;
  if (type == kImageTypeNone || type == kImageTypeIco) {
    return registerImage<IcoResource>(webview, std::move(image), name, keepName);
  }
  if (type == kImageTypeBmp) {
    auto flat = std::make_shared<Bitmap>(flattenBitmap(*image, background));
    return registerImage<BmpResource>(webview, std::move(flat), name, keepName);
  }
  return 0;
}

}  // namespace

ImagePointer iconFromFile(const std::string& path) {
  return decodeFile(path, fileFormat(path) == "ico" ? 64 : 0);
}

ImagePointer bitmapFromFile(const std::string& path) { return decodeFile(path, 0); }

// ---- resources -----------------------------------------------------------------------------

uint32_t loadImageResource(Webview* webview, const std::string& name, ImageType type,
                           int32_t background) {
  std::shared_ptr<ResourceManager> manager = managerOf(webview);
  if (!manager) return 0;
  uint32_t found = 0;
  manager->forEach([&](const std::shared_ptr<Resource>& resource, bool& stop) {
    if (!resource) return;
    const std::string* held = nullptr;
    if (resource->isKindOfClass(&BmpResource::classDescriptor)) {
      held = &static_cast<BmpResource*>(resource.get())->name;
    } else if (resource->isKindOfClass(&IcoResource::classDescriptor)) {
      held = &static_cast<IcoResource*>(resource.get())->name;
    }
    if (held != nullptr && *held == name) {
      found = resource->id();
      stop = true;
    }
  });
  if (found != 0) return found;
  if (type == kImageTypeNone || type == kImageTypeIco) {
    return registerTyped(webview, iconFromFile(name), kImageTypeIco, background, name, true);
  }
  if (type == kImageTypeBmp) {
    return registerTyped(webview, bitmapFromFile(name), kImageTypeBmp, background, name, true);
  }
  return 0;
}

uint32_t createImageFromBytes(Webview* webview, const std::vector<uint8_t>& bytes, ImageType type,
                              int32_t background) {
  if (type != kImageTypeNone && type != kImageTypeIco && type != kImageTypeBmp) return 0;
  return registerTyped(webview, bitmapFromEncodedBytes(bytes), type, background, {}, false);
}

uint32_t createImageFromRgba(Webview* webview, const std::vector<uint8_t>& rgba, uint32_t width,
                             uint32_t height, ImageType type, int32_t background) {
  if (type != kImageTypeNone && type != kImageTypeIco && type != kImageTypeBmp) return 0;
  return registerTyped(webview, bitmapFromRgba(rgba, width, height), type, background, {}, false);
}

uint32_t createNamedImageFromRgba(Webview* webview, const std::vector<uint8_t>& rgba,
                                  uint32_t width, uint32_t height, const std::string& name) {
  return registerImage<NamedImageResource>(webview, bitmapFromRgba(rgba, width, height), name,
                                           true);
}

uint32_t createNamedImageFromBytes(Webview* webview, const std::vector<uint8_t>& bytes,
                                   const std::string& name) {
  return registerImage<NamedImageResource>(webview, bitmapFromEncodedBytes(bytes), name, true);
}

std::shared_ptr<NamedImageResource> findNamedImage(Webview* webview, const std::string& name) {
  std::shared_ptr<ResourceManager> manager = managerOf(webview);
  if (!manager) return nullptr;
  std::shared_ptr<NamedImageResource> found;
  manager->forEach([&](const std::shared_ptr<Resource>& resource, bool& stop) {
    if (resource && resource->isKindOfClass(&NamedImageResource::classDescriptor)) {
      auto named = std::static_pointer_cast<NamedImageResource>(resource);
      if (named->name == name) {
        found = std::move(named);
        stop = true;
      }
    }
  });
  return found;
}

namespace {

std::shared_ptr<ImageResource> iconOrBitmap(Webview* webview, uint32_t rid) {
  std::shared_ptr<ResourceManager> manager = managerOf(webview);
  std::shared_ptr<Resource> resource = manager ? manager->find(rid) : nullptr;
  if (!resource) return nullptr;
  if (!resource->isKindOfClass(&BmpResource::classDescriptor) &&
      !resource->isKindOfClass(&IcoResource::classDescriptor)) {
    return nullptr;
  }
  return std::static_pointer_cast<ImageResource>(resource);
}

}  // namespace

bool getImageSize(Webview* webview, uint32_t rid, float& width, float& height) {
  std::shared_ptr<ImageResource> resource = iconOrBitmap(webview, rid);
  if (!resource) return false;
  ImagePointer image = resource->image();
  width = image ? static_cast<float>(image->width()) : 0.0f;
  height = image ? static_cast<float>(image->height()) : 0.0f;
  return true;
}

ImageType getImageType(Webview* webview, uint32_t rid) {
  std::shared_ptr<ImageResource> resource = iconOrBitmap(webview, rid);
  if (!resource) return kImageTypeNone;
  return resource->isKindOfClass(&BmpResource::classDescriptor) ? kImageTypeBmp : kImageTypeIco;
}

std::shared_ptr<std::vector<uint8_t>> getImageRgba(Webview* webview, uint32_t rid) {
  (void)webview;
  (void)rid;
  return nullptr;
}

}  // namespace zrk::plugin
