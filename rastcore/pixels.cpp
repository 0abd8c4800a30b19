// Operations on 8-bit interleaved pixels: orientation, fitting, resizing, channel changes.
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cstring>

#include "rastcore/internal.h"

namespace rastcore {

Pixels orient(const Pixels& src, int orientation) {
  if (orientation < 2 || orientation > 8) return src;
  const int w = src.width, h = src.height, ch = src.channels;
  const bool swap = orientation >= 5;
  Pixels dst;
  dst.width = swap ? h : w;
  dst.height = swap ? w : h;
  dst.channels = ch;
  dst.data.resize(src.data.size());
  for (int y = 0; y < dst.height; ++y) {
    unsigned char* out = &dst.data[size_t(y) * dst.width * ch];
    for (int x = 0; x < dst.width; ++x, out += ch) {
      int sx = x, sy = y;
      switch (orientation) {
        case 2: sx = w - 1 - x; break;
        case 3: sx = w - 1 - x; sy = h - 1 - y; break;
        case 4: sy = h - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = h - 1 - x; break;
        case 7: sx = w - 1 - y; sy = h - 1 - x; break;
        case 8: sx = w - 1 - y; sy = x; break;
      }
      memcpy(out, &src.data[(size_t(sy) * w + sx) * ch], size_t(ch));
    }
  }
  return dst;
}

void fitSize(int w, int h, int maxW, int maxH, int& outW, int& outH) {
  outW = w;
  outH = h;
  double scale = 1.0;
  if (maxW > 0 && w > maxW) scale = std::min(scale, double(maxW) / w);
  if (maxH > 0 && h > maxH) scale = std::min(scale, double(maxH) / h);
  if (scale < 1.0) {
    outW = std::max(1, int(w * scale + 0.5));
    outH = std::max(1, int(h * scale + 0.5));
    if (maxW > 0) outW = std::min(outW, maxW);
    if (maxH > 0) outH = std::min(outH, maxH);
  }
}

namespace {

// Averages k x k blocks: a cheap first step for large reductions.
Pixels boxShrink(const Pixels& src, int k) {
  Pixels dst;
  dst.width = src.width / k;
  dst.height = src.height / k;
  dst.channels = src.channels;
  const int ch = src.channels;
  dst.data.resize(size_t(dst.width) * dst.height * ch);
  std::vector<uint32_t> sums(size_t(dst.width) * ch);
  const uint32_t area = uint32_t(k) * k;
  for (int y = 0; y < dst.height; ++y) {
    std::fill(sums.begin(), sums.end(), 0);
    for (int dy = 0; dy < k; ++dy) {
      const unsigned char* row = &src.data[(size_t(y) * k + dy) * src.width * ch];
      for (int x = 0; x < dst.width; ++x) {
        const unsigned char* p = row + size_t(x) * k * ch;
        uint32_t* s = &sums[size_t(x) * ch];
        for (int dx = 0; dx < k; ++dx, p += ch)
          for (int c = 0; c < ch; ++c) s[c] += p[c];
      }
    }
    unsigned char* out = &dst.data[size_t(y) * dst.width * ch];
    for (size_t i = 0; i < sums.size(); ++i) out[i] = uint8_t((sums[i] + area / 2) / area);
  }
  return dst;
}

}  // namespace

Pixels resize(const Pixels& input, int w, int h) {
  if (w == input.width && h == input.height) return input;
  const Pixels* src = &input;
  Pixels shrunk;
  int k = std::min(input.width / (2 * w), input.height / (2 * h));
  if (k >= 2) {
    shrunk = boxShrink(input, k);
    src = &shrunk;
  }
  OIIO::ImageSpec inSpec(src->width, src->height, src->channels, OIIO::TypeDesc::UINT8);
  OIIO::ImageBuf in(inSpec, const_cast<unsigned char*>(src->data.data()));
  Pixels dst;
  dst.width = w;
  dst.height = h;
  dst.channels = src->channels;
  dst.data.resize(size_t(w) * h * dst.channels);
  OIIO::ImageSpec outSpec(w, h, dst.channels, OIIO::TypeDesc::UINT8);
  OIIO::ImageBuf out(outSpec, dst.data.data());
  if (!OIIO::ImageBufAlgo::resize(out, in, "", 0.0f, OIIO::ROI(0, w, 0, h, 0, 1, 0, dst.channels)))
    fail("cannot resize: %s", out.geterror().c_str());
  return dst;
}

Pixels toRgba(Pixels src) {
  if (src.channels == 4) return src;
  Pixels dst;
  dst.width = src.width;
  dst.height = src.height;
  dst.channels = 4;
  const size_t n = size_t(src.width) * src.height;
  dst.data.resize(n * 4);
  const unsigned char* s = src.data.data();
  unsigned char* d = dst.data.data();
  const int ch = src.channels;
  for (size_t i = 0; i < n; ++i, s += ch, d += 4) {
    if (ch == 1 || ch == 2) {
      d[0] = d[1] = d[2] = s[0];
      d[3] = ch == 2 ? s[1] : 255;
    } else {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      d[3] = 255;
    }
  }
  return dst;
}

Pixels dropAlpha(const Pixels& src) {
  if (src.channels != 2 && src.channels != 4) return src;
  Pixels dst;
  dst.width = src.width;
  dst.height = src.height;
  dst.channels = src.channels - 1;
  const size_t n = size_t(src.width) * src.height;
  dst.data.resize(n * dst.channels);
  for (size_t i = 0; i < n; ++i)
    memcpy(&dst.data[i * dst.channels], &src.data[i * src.channels], size_t(dst.channels));
  return dst;
}

}  // namespace rastcore
