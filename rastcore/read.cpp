// The reading exports: info, pixels, thumbnails, image count, format support.
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <cstring>
#include <sstream>

#include "rastcore/internal.h"
#include "rastcore/oiio_util.h"
#include "rastcore/rastcore_api.h"

using namespace rastcore;
using nlohmann::json;

namespace {

bool swapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

int specOrientation(const OIIO::ImageSpec& spec) {
  int o = spec.get_int_attribute("Orientation", 1);
  return o >= 1 && o <= 8 ? o : 1;
}

std::string pixelFormatName(const OIIO::TypeDesc& t) { return t.c_str(); }

json attributesOf(const OIIO::ImageSpec& spec) {
  json a = json::object();
  for (const auto& p : spec.extra_attribs) {
    const OIIO::TypeDesc t = p.type();
    if (p.nvalues() != 1 || t.arraylen != 0 || t.aggregate != OIIO::TypeDesc::SCALAR) continue;
    std::string name = p.name().string();
    if (t.basetype == OIIO::TypeDesc::STRING) {
      std::string v = p.get_string();
      if (v.size() <= 4096) a[name] = v;
    } else if (t.basetype == OIIO::TypeDesc::FLOAT || t.basetype == OIIO::TypeDesc::DOUBLE ||
               t.basetype == OIIO::TypeDesc::HALF) {
      double v = p.get_float();
      if (std::isfinite(v)) a[name] = v;
    } else if (t.basetype != OIIO::TypeDesc::PTR && t.basetype != OIIO::TypeDesc::UNKNOWN) {
      a[name] = p.get_int();
    }
  }
  return a;
}

// The size fitting the request in the frame that is shown; both 0: the image's own size, one 0:
// that side follows the aspect ratio, both set: exactly that size.
void requestedSize(int w, int h, int reqW, int reqH, int& outW, int& outH) {
  if (reqW <= 0 && reqH <= 0) {
    outW = w;
    outH = h;
  } else if (reqW > 0 && reqH > 0) {
    outW = reqW;
    outH = reqH;
  } else if (reqW > 0) {
    outW = reqW;
    outH = std::max<int>(1, int(double(h) * reqW / w + 0.5));
  } else {
    outH = reqH;
    outW = std::max<int>(1, int(double(w) * reqH / h + 0.5));
  }
}

// The pixels of a JPEG through libjpeg-turbo at the smallest scale that still covers the request
// (in the stored frame). False if the general path must take it.
bool jpegFastPath(const std::string& path, int subimage, int miplevel, int channels, bool fast,
                  bool wantOrientation, std::vector<unsigned char>& file, Pixels& px,
                  int& orientation,
                  const std::function<void(int w, int h, int o, int& minW, int& minH)>& need) {
  if (subimage != 0 || miplevel != 0) return false;
  file = readFile(path);
  if (!looksLikeJpeg(file.data(), file.size())) return false;
  orientation = wantOrientation ? jpegOrientation(file) : 1;
  int w = 0, h = 0;
  if (!jpegSize(file, w, h)) return false;  // the general path reports what is wrong
  int minW = 0, minH = 0;
  need(w, h, orientation, minW, minH);
  return decodeJpeg(file, minW, minH, channels, fast, px);
}

}  // namespace

extern "C" {

char* c_get_image_info(const char* path, int32_t* length, int32_t subimage, int32_t miplevel) {
  return guarded<char*>(nullptr, [&]() -> char* {
    if (length) *length = 0;
    requireText(path, "the path");
    if (!length) fail("no place for the length");
    auto in = openInput(path);
    int subimages = countSubimages(*in);
    if (subimage < 0 || subimage >= subimages)
      fail("the file has no subimage %d (it has %d)", subimage, subimages);
    int miplevels = countMiplevels(*in, subimage);
    seek(*in, subimage, miplevel);
    const OIIO::ImageSpec& spec = in->spec();
    int o = specOrientation(spec);
    json j = {{"format", in->format_name()},
              {"width", spec.width},
              {"height", spec.height},
              {"orientedWidth", swapsSides(o) ? spec.height : spec.width},
              {"orientedHeight", swapsSides(o) ? spec.width : spec.height},
              {"nchannels", spec.nchannels},
              {"pixelformat", pixelFormatName(spec.format)},
              {"orientation", o},
              {"subimage", subimage},
              {"miplevel", miplevel},
              {"subimages", subimages},
              {"miplevels", miplevels},
              {"attributes", attributesOf(spec)}};
    std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace);
    int32_t n = checkedLength(int64_t(text.size()));
    char* buf = reinterpret_cast<char*>(handOut(text.data(), text.size()));
    *length = n;
    return buf;
  });
}

unsigned char* c_read_image_rgba(const char* path, int32_t* length, int32_t subimage,
                                 int32_t miplevel, int32_t width, int32_t height,
                                 bool fixOrientation) {
  return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
    if (length) *length = 0;
    requireText(path, "the path");
    if (!length) fail("no place for the length");
    if (width < 0 || height < 0) fail("invalid size %dx%d", width, height);
    Pixels px;
    std::vector<unsigned char> file;
    int o = 1, outW = 0, outH = 0;
    if (subimage == 0 && miplevel == 0) {
      // An upright JPEG at its own size: decoded straight into the buffer handed out.
      file = readFile(path);
      int w = 0, h = 0;
      if (looksLikeJpeg(file.data(), file.size()) &&
          (!fixOrientation || jpegOrientation(file) == 1) && jpegSize(file, w, h)) {
        requestedSize(w, h, width, height, outW, outH);
        if (outW == w && outH == h) {
          checkPixelCount(w, h);
          int32_t n = checkedLength(int64_t(w) * h * 4);
          std::unique_ptr<unsigned char, decltype(&free)> buf(
              static_cast<unsigned char*>(malloc(size_t(n))), &free);
          if (!buf) throw std::bad_alloc();
          if (decodeJpegInto(file, 4, w, h, buf.get())) {
            *length = n;
            return buf.release();
          }
        }
      }
    }
    bool fast = jpegFastPath(
        path, subimage, miplevel, 4, false, fixOrientation, file, px, o,
        [&](int w, int h, int orientation, int& minW, int& minH) {
          int ow = swapsSides(orientation) ? h : w, oh = swapsSides(orientation) ? w : h;
          requestedSize(ow, oh, width, height, outW, outH);
          minW = swapsSides(orientation) ? outH : outW;
          minH = swapsSides(orientation) ? outW : outH;
          if (minW >= w && minH >= h) minW = minH = 0;
        });
    if (!fast) {
      auto in = openInput(path);
      px = readPixels8(*in, subimage, miplevel);
      o = fixOrientation ? specOrientation(in->spec()) : 1;
      int ow = swapsSides(o) ? px.height : px.width, oh = swapsSides(o) ? px.width : px.height;
      requestedSize(ow, oh, width, height, outW, outH);
    }
    checkPixelCount(outW, outH);
    int32_t n = checkedLength(int64_t(outW) * outH * 4);
    px = resize(toRgba(orient(px, o)), outW, outH);
    unsigned char* buf = handOut(px.data.data(), px.data.size());
    *length = n;
    return buf;
  });
}

unsigned char* c_read_thumbnail(const char* path, int32_t* length, int32_t* width,
                                int32_t* height, int32_t option, int32_t subimage, int32_t level) {
  return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
    if (length) *length = 0;
    requireText(path, "the path");
    if (!length) fail("no place for the length");
    const int maxW = width ? std::max(0, *width) : 0, maxH = height ? std::max(0, *height) : 0;
    const bool applyOrientation = option & 0x1, png = option & 0x2;
    Pixels px;
    std::vector<unsigned char> file;
    int o = 1, outW = 0, outH = 0;
    bool fast = jpegFastPath(
        path, subimage, level, 0, true, applyOrientation, file, px, o,
        [&](int w, int h, int orientation, int& minW, int& minH) {
          int ow = swapsSides(orientation) ? h : w, oh = swapsSides(orientation) ? w : h;
          fitSize(ow, oh, maxW, maxH, outW, outH);
          minW = swapsSides(orientation) ? outH : outW;
          minH = swapsSides(orientation) ? outW : outH;
        });
    if (fast) {
      px = orient(px, o);
    } else {
      auto in = openInput(path);
      px = readPixels8(*in, subimage, level);
      o = applyOrientation ? specOrientation(in->spec()) : 1;
      px = orient(px, o);
      fitSize(px.width, px.height, maxW, maxH, outW, outH);
    }
    px = resize(px, outW, outH);
    std::vector<unsigned char> bytes = png ? encodePng(px) : encodeJpeg(px, 85);
    int32_t n = checkedLength(int64_t(bytes.size()));
    unsigned char* buf = handOut(bytes.data(), bytes.size());
    *length = n;
    if (width) *width = outW;
    if (height) *height = outH;
    return buf;
  });
}

int32_t c_get_image_count(const char* path) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    requireText(path, "the path");
    auto in = openInput(path);
    return countSubimages(*in);
  });
}

char* c_check_format_supports(const char* path, const char* features, bool reading) {
  return guarded<char*>(nullptr, [&]() -> char* {
    requireText(path, "the path");
    std::vector<std::string> names;
    std::stringstream list(features ? features : "");
    for (std::string item; std::getline(list, item, ',');) {
      item.erase(0, item.find_first_not_of(" \t"));
      item.erase(item.find_last_not_of(" \t") + 1);
      if (!item.empty()) names.push_back(item);
    }
    if (names.empty())
      names = {"multiimage", "mipmap", "alpha", "exif", "iptc", "tiles", "appendsubimage",
               "thumbnail", "ioproxy"};
    json j = json::object();
    j["reading"] = reading;
    if (reading) {
      // By the extension alone: given a file name, the library would try to open it.
      const std::string ext = extensionOf(path);
      auto in = ext.empty() ? nullptr : OIIO::ImageInput::create(ext, false);
      if (!in || unsafeFormat(in->format_name()))
        fail("no reader for files of type .%s", extensionOf(path).c_str());
      j["format"] = in->format_name();
      for (const auto& f : names) j[f] = in->supports(f) != 0;
    } else {
      auto out = OIIO::ImageOutput::create(path);
      if (!out) fail("no writer for files of type .%s", extensionOf(path).c_str());
      j["format"] = out->format_name();
      for (const auto& f : names) j[f] = out->supports(f) != 0;
    }
    (void)OIIO::geterror();
    return handOutText(j.dump(-1, ' ', false, json::error_handler_t::replace));
  });
}

}  // extern "C"
