#include "src/codec-library.h"

#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Path.h>
#include <Poco/SharedLibrary.h>
#include <mutex>
#include <stdexcept>

namespace zrk {

namespace {

// Held for the whole of every load, so two threads calling at once load the library once.
std::mutex g_loaderMutex;

std::string programFolder() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, size_t(n));
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

CodecLibrary& CodecLibrary::instance() {
  static CodecLibrary library(programFolder());
  return library;
}

CodecLibrary::CodecLibrary(std::string directory) : directory_(std::move(directory)) {}

// The library stays loaded until the process ends: buffers and handles it gave out may still be
// held, so the shared-library object is not unloaded here.
CodecLibrary::~CodecLibrary() = default;

Poco::SharedLibrary& CodecLibrary::load() {
  std::lock_guard<std::mutex> lock(g_loaderMutex);
  if (!library_) {
    library_ = std::make_shared<Poco::SharedLibrary>();
    const std::string path = Poco::Path(directory_).append(kFileName).toString();
    try {
      library_->load(path);
    } catch (const Poco::Exception& e) {
      library_.reset();
      throw std::runtime_error(e.displayText());
    }
    if (!library_->isLoaded()) {
      library_.reset();
      throw std::runtime_error(std::string("Failed to load ") + kFileName);
    }
  }
  return *library_;
}

void* CodecLibrary::symbol(const char* name) {
  Poco::SharedLibrary& library = load();
  void* p = nullptr;
  try {
    p = library.getSymbol(name);
  } catch (const Poco::Exception&) {
    p = nullptr;
  }
  if (!p) throw std::runtime_error(std::string("Failed to get symbol '") + name + "' from rastcore lib");
  return p;
}

void CodecLibrary::setMaxImageSize() {
  get<void(int32_t)>("c_set_max_imagesize")(kMaxImageSize);
}

const char* CodecLibrary::getLastError() { return get<const char*()>("c_get_lasterror")(); }

void CodecLibrary::freeResource(void* buffer) { get<void(void*)>("c_free_resource")(buffer); }

char* CodecLibrary::getImageInfo(const char* path, int32_t* length, int32_t subimage,
                                 int32_t miplevel) {
  return get<char*(const char*, int32_t*, int32_t, int32_t)>("c_get_image_info")(path, length,
                                                                                 subimage, miplevel);
}

unsigned char* CodecLibrary::readThumbnail(const char* path, int32_t* length, int32_t* width,
                                           int32_t* height, int32_t option, int32_t subimage,
                                           int32_t level) {
  return get<unsigned char*(const char*, int32_t*, int32_t*, int32_t*, int32_t, int32_t, int32_t)>(
      "c_read_thumbnail")(path, length, width, height, option, subimage, level);
}

unsigned char* CodecLibrary::readImageRgba(const char* path, int32_t* length, int32_t subimage,
                                           int32_t miplevel, int32_t width, int32_t height,
                                           bool fixOrientation) {
  return get<unsigned char*(const char*, int32_t*, int32_t, int32_t, int32_t, int32_t, bool)>(
      "c_read_image_rgba")(path, length, subimage, miplevel, width, height, fixOrientation);
}

char* CodecLibrary::checkFormatSupports(const char* path, const char* features, bool reading) {
  return get<char*(const char*, const char*, bool)>("c_check_format_supports")(path, features,
                                                                               reading);
}

bool CodecLibrary::outputImage(const char* path, const char* spec, const unsigned char* data,
                               int32_t length, const char* config) {
  return get<bool(const char*, const char*, const unsigned char*, int32_t, const char*)>(
      "c_output_image")(path, spec, data, length, config);
}

unsigned char* CodecLibrary::encodeImage(const char* extension, const char* spec,
                                         const unsigned char* data, int32_t length,
                                         int32_t* outLength) {
  return get<unsigned char*(const char*, const char*, const unsigned char*, int32_t, int32_t*)>(
      "c_encode_image")(extension, spec, data, length, outLength);
}

void* CodecLibrary::openImageForWrite(const char* path, int32_t subimages, const char** specs,
                                      int32_t specCount) {
  return get<void*(const char*, int32_t, const char**, int32_t)>("c_open_image_forwrite")(
      path, subimages, specs, specCount);
}

bool CodecLibrary::writeImageSubimage(void* handle, int32_t subimage, const char* spec,
                                      const unsigned char* data, int32_t length) {
  return get<bool(void*, int32_t, const char*, const unsigned char*, int32_t)>(
      "c_write_image_subimage")(handle, subimage, spec, data, length);
}

bool CodecLibrary::closeImageForWrite(void* handle) {
  return get<bool(void*)>("c_close_image_forwrite")(handle);
}

bool CodecLibrary::copyImageTo(const char* src, const char* dst, const char* config,
                               uint64_t configLength, QuitCallback shouldQuit,
                               const char* callbackArgument) {
  return get<bool(const char*, const char*, const char*, uint64_t, QuitCallback, const char*)>(
      "c_copy_image_to")(src, dst, config, configLength, shouldQuit, callbackArgument);
}

bool CodecLibrary::writeIndexedPngFile(const char* dst, int32_t width, int32_t height,
                                       int32_t colors, const unsigned char* palette,
                                       int32_t paletteLength, const unsigned char* pixels,
                                       int32_t pixelLength) {
  return get<bool(const char*, int32_t, int32_t, int32_t, const unsigned char*, int32_t,
                  const unsigned char*, int32_t)>("c_write_indexed_png_file")(
      dst, width, height, colors, palette, paletteLength, pixels, pixelLength);
}

int32_t CodecLibrary::getImageCount(const char* path) {
  return get<int32_t(const char*)>("c_get_image_count")(path);
}

bool CodecLibrary::transform(const char* source, const char* dest, int32_t transform) {
  return get<bool(const char*, const char*, int32_t)>("c_transform")(source, dest, transform);
}

bool CodecLibrary::modifyOrientation(const char* source, const char* dest, int32_t orientation) {
  return get<bool(const char*, const char*, int32_t)>("c_modify_orientation")(source, dest,
                                                                              orientation);
}

bool CodecLibrary::modifyJpegOrientation(const char* path, int32_t orientation) {
  return get<bool(const char*, int32_t)>("c_modify_jpeg_orientation")(path, orientation);
}

}  // namespace zrk
