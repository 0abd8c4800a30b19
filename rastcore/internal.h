// Shared pieces of the codec library (no image-library headers here).
#ifndef RASTCORE_INTERNAL_H
#define RASTCORE_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace rastcore {

// A failure with the text c_get_lasterror() reports.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void setLastError(const std::string& text);
void clearLastError();
const char* lastError();

// Runs an export's body: clears the last error, turns exceptions into it and into `onError`.
template <typename R, typename F>
R guarded(R onError, F&& body) {
  clearLastError();
  try {
    return body();
  } catch (const std::bad_alloc&) {
    setLastError("out of memory");
  } catch (const std::exception& e) {
    setLastError(e.what());
  } catch (...) {
    setLastError("internal error");
  }
  return onError;
}

void requireText(const char* text, const char* what);

// The pixel limit (width*height) of every decode.
int64_t maxPixels();
void setMaxPixels(int64_t limit);
// Fails unless w, h are positive and w*h is within the limit.
void checkPixelCount(int64_t w, int64_t h);
// Fails unless `bytes` fits a 32-bit length.
int32_t checkedLength(int64_t bytes);

// A buffer handed to the caller: malloc'd so c_free_resource is free().
unsigned char* handOut(const void* bytes, size_t size);
char* handOutText(const std::string& text);

// Whole files.
std::vector<unsigned char> readFile(const std::string& path);
bool looksLikeJpeg(const unsigned char* p, size_t n);
std::string extensionOf(const std::string& path);  // lower case, without the dot

// A temporary file beside `target`, renamed over it by commit() and removed otherwise.
class TempFile {
 public:
  explicit TempFile(const std::string& target, const std::string& dir = "");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void write(const void* bytes, size_t size);
  void commit();
  void discard();

 private:
  std::string target_;
  std::string path_;
  bool done_ = false;
};

// 8-bit interleaved pixels.
struct Pixels {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<unsigned char> data;
};

// EXIF orientation 1..8 applied to the pixels (the size swaps for 5..8).
Pixels orient(const Pixels& src, int orientation);
// Fits inside maxW x maxH (0: free) keeping the aspect ratio; never enlarges.
void fitSize(int w, int h, int maxW, int maxH, int& outW, int& outH);
// Resizes to exactly w x h.
Pixels resize(const Pixels& src, int w, int h);
// Gray, gray+alpha, RGB or RGBA to RGBA.
Pixels toRgba(Pixels src);
// Drops the alpha channel (2 -> 1, 4 -> 3).
Pixels dropAlpha(const Pixels& src);

// JPEG through libjpeg-turbo. decodeJpeg decodes to `channels` (1, 3 or 4 = RGBA) at the smallest
// scale whose size is at least minW x minH (0 x 0: full size). Returns false for JPEGs it leaves to
// the general path (CMYK); fails for broken or truncated data.
bool decodeJpeg(const std::vector<unsigned char>& file, int minW, int minH, int channels, bool fast,
                Pixels& out);
bool jpegSize(const std::vector<unsigned char>& file, int& w, int& h);
std::vector<unsigned char> encodeJpeg(const Pixels& px, int quality);
std::vector<unsigned char> encodePng(const Pixels& px);

// EXIF orientation in JPEG bytes: read (1 if none) and set (adds the tag or the segment).
int jpegOrientation(const std::vector<unsigned char>& file);
std::vector<unsigned char> setJpegOrientation(const std::vector<unsigned char>& file,
                                              int orientation);

}  // namespace rastcore

#endif
