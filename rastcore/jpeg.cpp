// JPEG through libjpeg-turbo (scaled decoding for fast thumbnails) and PNG encoding in memory.
#include <png.h>
#include <turbojpeg.h>

#include <cstring>
#include <memory>

#include "rastcore/internal.h"

namespace rastcore {

namespace {

struct TjHandle {
  tjhandle h;
  explicit TjHandle(tjhandle handle) : h(handle) {
    if (!h) fail("cannot start the JPEG codec");
  }
  ~TjHandle() { tjDestroy(h); }
  TjHandle(const TjHandle&) = delete;
  TjHandle& operator=(const TjHandle&) = delete;
};

}  // namespace

bool jpegSize(const std::vector<unsigned char>& file, int& w, int& h) {
  TjHandle tj(tjInitDecompress());
  int subsamp = 0, colorspace = 0;
  return tjDecompressHeader3(tj.h, file.data(), (unsigned long)file.size(), &w, &h, &subsamp,
                             &colorspace) == 0;
}

bool decodeJpeg(const std::vector<unsigned char>& file, int minW, int minH, int channels, bool fast,
                Pixels& out) {
  TjHandle tj(tjInitDecompress());
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.h, file.data(), (unsigned long)file.size(), &w, &h, &subsamp,
                          &colorspace) != 0)
    fail("cannot read the JPEG: %s", tjGetErrorStr2(tj.h));
  if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK) return false;
  if (channels == 0) channels = colorspace == TJCS_GRAY ? 1 : 3;
  checkPixelCount(w, h);

  int sw = w, sh = h;
  if (minW > 0 || minH > 0) {
    int count = 0;
    tjscalingfactor* factors = tjGetScalingFactors(&count);
    for (int i = 0; factors && i < count; ++i) {
      const tjscalingfactor& f = factors[i];
      if (f.num > f.denom) continue;
      int tw = TJSCALED(w, f), th = TJSCALED(h, f);
      if (tw >= minW && th >= minH && int64_t(tw) * th < int64_t(sw) * sh) {
        sw = tw;
        sh = th;
      }
    }
  }
  const int pf = channels == 1 ? TJPF_GRAY : channels == 4 ? TJPF_RGBA : TJPF_RGB;
  out.width = sw;
  out.height = sh;
  out.channels = channels;
  out.data.resize(size_t(sw) * sh * channels);
  int flags = fast ? (TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE) : 0;
  if (tjDecompress2(tj.h, file.data(), (unsigned long)file.size(), out.data.data(), sw,
                    sw * channels, sh, pf, flags) != 0) {
    const char* why = tjGetErrorStr2(tj.h);
    // Warnings about damaged data are tolerated, a file that ends early is not.
    if (tjGetErrorCode(tj.h) != TJERR_WARNING || strstr(why, "Premature end"))
      fail("cannot decode the JPEG: %s", why);
  }
  return true;
}

std::vector<unsigned char> encodeJpeg(const Pixels& px, int quality) {
  Pixels rgb = dropAlpha(px);
  TjHandle tj(tjInitCompress());
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  const int pf = rgb.channels == 1 ? TJPF_GRAY : TJPF_RGB;
  const int samp = rgb.channels == 1 ? TJSAMP_GRAY : TJSAMP_420;
  if (tjCompress2(tj.h, rgb.data.data(), rgb.width, rgb.width * rgb.channels, rgb.height, pf, &buf,
                  &size, samp, quality, 0) != 0) {
    if (buf) tjFree(buf);
    fail("cannot encode the JPEG: %s", tjGetErrorStr2(tj.h));
  }
  std::vector<unsigned char> bytes(buf, buf + size);
  tjFree(buf);
  return bytes;
}

std::vector<unsigned char> encodePng(const Pixels& px) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(px.width);
  image.height = png_uint_32(px.height);
  image.format = px.channels == 1   ? PNG_FORMAT_GRAY
                 : px.channels == 2 ? PNG_FORMAT_GA
                 : px.channels == 3 ? PNG_FORMAT_RGB
                                    : PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, px.data.data(), 0, nullptr))
    fail("cannot encode the PNG: %s", image.message);
  std::vector<unsigned char> bytes(size);
  if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, px.data.data(), 0, nullptr))
    fail("cannot encode the PNG: %s", image.message);
  bytes.resize(size);
  return bytes;
}

}  // namespace rastcore
