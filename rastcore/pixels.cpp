// Operations on 8-bit interleaved pixels: orientation, fitting, resizing, channel changes.
#include <algorithm>
#include <cmath>
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

namespace {

// For each output position, the source positions it draws from and their weights: the covered
// area when shrinking, linear interpolation when enlarging.
struct Taps {
  std::vector<int> first;
  std::vector<int> count;
  std::vector<float> weights;  // count[o] of them per output, in order
};

Taps taps(int srcN, int dstN) {
  Taps t;
  t.first.resize(size_t(dstN));
  t.count.resize(size_t(dstN));
  const double scale = double(srcN) / dstN;
  for (int o = 0; o < dstN; ++o) {
    if (scale >= 1.0) {
      const double start = o * scale, end = (o + 1) * scale;
      const int i0 = int(start), i1 = std::min(srcN, int(std::ceil(end)));
      t.first[size_t(o)] = i0;
      t.count[size_t(o)] = i1 - i0;
      for (int i = i0; i < i1; ++i)
        t.weights.push_back(float((std::min(end, i + 1.0) - std::max(start, double(i))) / scale));
    } else {
      const double centre = (o + 0.5) * scale - 0.5;
      int i0 = int(std::floor(centre));
      float f = float(centre - i0);
      if (i0 < 0) i0 = 0, f = 0.0f;
      if (i0 >= srcN - 1) i0 = std::max(0, srcN - 2), f = srcN == 1 ? 0.0f : 1.0f;
      t.first[size_t(o)] = i0;
      t.count[size_t(o)] = srcN == 1 ? 1 : 2;
      t.weights.push_back(1.0f - f);
      if (srcN > 1) t.weights.push_back(f);
    }
  }
  return t;
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
  const int ch = src->channels, sw = src->width, sh = src->height;
  // Across, into floats; then down, into bytes.
  const Taps across = taps(sw, w), down = taps(sh, h);
  std::vector<float> mid(size_t(w) * sh * ch);
  for (int y = 0; y < sh; ++y) {
    const unsigned char* row = &src->data[size_t(y) * sw * ch];
    float* out = &mid[size_t(y) * w * ch];
    const float* wt = across.weights.data();
    for (int x = 0; x < w; ++x, out += ch) {
      const unsigned char* p = row + size_t(across.first[size_t(x)]) * ch;
      float acc[4] = {0, 0, 0, 0};
      for (int i = 0; i < across.count[size_t(x)]; ++i, ++wt, p += ch)
        for (int c = 0; c < ch; ++c) acc[c] += *wt * p[c];
      for (int c = 0; c < ch; ++c) out[c] = acc[c];
    }
  }
  Pixels dst;
  dst.width = w;
  dst.height = h;
  dst.channels = ch;
  dst.data.resize(size_t(w) * h * ch);
  const size_t rowLen = size_t(w) * ch;
  std::vector<float> acc(rowLen);
  const float* wt = down.weights.data();
  for (int y = 0; y < h; ++y) {
    std::fill(acc.begin(), acc.end(), 0.0f);
    for (int i = 0; i < down.count[size_t(y)]; ++i, ++wt) {
      const float* row = &mid[size_t(down.first[size_t(y)] + i) * rowLen];
      for (size_t j = 0; j < rowLen; ++j) acc[j] += *wt * row[j];
    }
    unsigned char* out = &dst.data[size_t(y) * rowLen];
    for (size_t j = 0; j < rowLen; ++j) out[j] = uint8_t(std::clamp(acc[j] + 0.5f, 0.0f, 255.0f));
  }
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
