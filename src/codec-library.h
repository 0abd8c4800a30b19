// The program's only way to the image-codec library "librastcore.so", which lies beside the
// executable and is loaded on first use. One operation per export of the library: each looks its
// export up at the moment of the call and returns the export's result unchanged. The library's
// texts and buffers are described in rastcore/rastcore_api.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Poco {
class SharedLibrary;
}

namespace zrk {

class CodecLibrary {
 public:
  // Called by the library during copyImageTo with its callbackArgument; true stops the copy.
  using QuitCallback = bool (*)(const char* argument);

  static constexpr const char* kFileName = "librastcore.so";
  static constexpr int32_t kMaxImageSize = 400000000;

  // The process-wide instance, loading the library from the program's folder.
  static CodecLibrary& instance();
  // An instance loading the library from `directory` instead (tests).
  explicit CodecLibrary(std::string directory);
  ~CodecLibrary();
  CodecLibrary(const CodecLibrary&) = delete;
  CodecLibrary& operator=(const CodecLibrary&) = delete;

  // Loads the library unless it is loaded; raises std::runtime_error if it cannot be. A failed
  // load is tried again by the next call.
  Poco::SharedLibrary& load();

  void setMaxImageSize();
  const char* getLastError();
  void freeResource(void* buffer);
  char* getImageInfo(const char* path, int32_t* length, int32_t subimage, int32_t miplevel);
  unsigned char* readThumbnail(const char* path, int32_t* length, int32_t* width, int32_t* height,
                               int32_t option, int32_t subimage, int32_t level);
  unsigned char* readImageRgba(const char* path, int32_t* length, int32_t subimage,
                               int32_t miplevel, int32_t width, int32_t height,
                               bool fixOrientation);
  char* checkFormatSupports(const char* path, const char* features, bool reading);
  bool outputImage(const char* path, const char* spec, const unsigned char* data, int32_t length,
                   const char* config);
  unsigned char* encodeImage(const char* extension, const char* spec, const unsigned char* data,
                             int32_t length, int32_t* outLength);
  void* openImageForWrite(const char* path, int32_t subimages, const char** specs,
                          int32_t specCount);
  bool writeImageSubimage(void* handle, int32_t subimage, const char* spec,
                          const unsigned char* data, int32_t length);
  bool closeImageForWrite(void* handle);
  bool copyImageTo(const char* src, const char* dst, const char* config, uint64_t configLength,
                   QuitCallback shouldQuit, const char* callbackArgument);
  bool writeIndexedPngFile(const char* dst, int32_t width, int32_t height, int32_t colors,
                           const unsigned char* palette, int32_t paletteLength,
                           const unsigned char* pixels, int32_t pixelLength);
  int32_t getImageCount(const char* path);
  bool transform(const char* source, const char* dest, int32_t transform);
  bool modifyOrientation(const char* source, const char* dest, int32_t orientation);
  bool modifyJpegOrientation(const char* path, int32_t orientation);

 private:
  void* symbol(const char* name);
  template <typename F>
  F* get(const char* name) {
    return reinterpret_cast<F*>(symbol(name));
  }

  std::string directory_;
  std::shared_ptr<Poco::SharedLibrary> library_;
};

}  // namespace zrk
