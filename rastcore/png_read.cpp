// PNG files are read through libpng with our own error and warning handlers, behind OpenImageIO's
// reader interface: OpenImageIO's own PNG reader leaves libpng's default handlers in place, which
// print every complaint about a damaged file to stderr. Here a failure's text (with the warnings
// before it) becomes the error of the read; nothing is printed.
#include <OpenImageIO/imageio.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "rastcore/internal.h"
#include "rastcore/oiio_util.h"

// OpenImageIO's EXIF and XMP decoders; their header (tiffutils.h) needs libtiff's headers.
OIIO_NAMESPACE_BEGIN
OIIO_API bool decode_exif(cspan<uint8_t> exif, ImageSpec& spec);
OIIO_API bool decode_xmp(string_view xml, ImageSpec& spec);
OIIO_NAMESPACE_END

namespace rastcore {

namespace {

// What libpng's callbacks share with the reader. Plain data only: libpng leaves its functions
// through longjmp.
struct PngSource {
  const unsigned char* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  char error[512] = {0};
  char warnings[512] = {0};
};

void onError(png_structp png, png_const_charp message) {
  auto* src = static_cast<PngSource*>(png_get_error_ptr(png));
  snprintf(src->error, sizeof src->error, "%s", message ? message : "unknown error");
  png_longjmp(png, 1);
}

void onWarning(png_structp png, png_const_charp message) {
  auto* src = static_cast<PngSource*>(png_get_error_ptr(png));
  const size_t used = strlen(src->warnings);
  if (used + 8 < sizeof src->warnings)
    snprintf(src->warnings + used, sizeof src->warnings - used, "%s%s", used ? "; " : "",
             message ? message : "");
}

void onRead(png_structp png, png_bytep out, png_size_t length) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (length > src->size - src->pos) png_error(png, "the file ends early");
  memcpy(out, src->data + src->pos, length);
  src->pos += length;
}

struct Header {
  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colorType = 0, interlace = 0, channels = 0;
  int passes = 1;
  size_t rowBytes = 0;
};

// The header, with the transforms that give 8- or 16-bit gray, gray+alpha, RGB or RGBA. False
// with the reason in src.error. No C++ objects live in these frames: libpng jumps out of them.
bool readHeader(png_structp png, png_infop info, Header& h) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  png_get_IHDR(png, info, &h.width, &h.height, &h.bitDepth, &h.colorType, &h.interlace, nullptr,
               nullptr);
  png_set_expand(png);  // palette to RGB, gray below 8 bits to 8, tRNS to alpha
  if (h.bitDepth == 16) png_set_swap(png);  // native byte order for OpenImageIO's uint16
  h.passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  h.channels = png_get_channels(png, info);
  h.bitDepth = png_get_bit_depth(png, info);
  h.rowBytes = png_get_rowbytes(png, info);
  return true;
}

bool readRows(png_structp png, png_infop info, unsigned char* pixels, size_t rowBytes,
              png_uint_32 height, int passes) {
  if (setjmp(png_jmpbuf(png))) return false;
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, pixels + rowBytes * y, nullptr);
  png_read_end(png, info);
  return true;
}

class PngReader final : public OIIO::ImageInput {
 public:
  PngReader() = default;
  ~PngReader() override { close(); }

  const char* format_name() const override { return "png"; }
  int supports(OIIO::string_view feature) const override {
    return feature == "exif" || feature == "iptc";
  }

  bool open(const std::string& name, OIIO::ImageSpec& newspec) override {
    close();
    try {
      file_ = readFile(name);
    } catch (const std::exception& e) {
      errorfmt("{}", e.what());
      return false;
    }
    src_.data = file_.data();
    src_.size = file_.size();
    if (file_.size() < 8 || png_sig_cmp(file_.data(), 0, 8) != 0) {
      errorfmt("not a PNG file (its signature is damaged)");
      return false;
    }
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &src_, onError, onWarning);
    if (png_) info_ = png_create_info_struct(png_);
    if (!png_ || !info_) {
      errorfmt("out of memory");
      return false;
    }
    png_set_read_fn(png_, &src_, onRead);
    if (!readHeader(png_, info_, header_)) return failed("cannot read the PNG header");
    if (header_.channels < 1 || header_.channels > 4 ||
        (header_.bitDepth != 8 && header_.bitDepth != 16)) {
      errorfmt("unsupported PNG layout ({} channels of {} bits)", header_.channels,
               header_.bitDepth);
      return false;
    }
    const int64_t w = header_.width, h = header_.height;
    if (w <= 0 || h <= 0 || w * h > maxPixels()) {
      errorfmt("image too large ({}x{}, limit {} pixels)", w, h, maxPixels());
      return false;
    }
    if (header_.rowBytes != size_t(w) * size_t(header_.channels) * size_t(header_.bitDepth / 8)) {
      errorfmt("inconsistent PNG row size");
      return false;
    }
    m_spec = OIIO::ImageSpec(int(w), int(h), header_.channels,
                             header_.bitDepth == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8);
    describe();
    newspec = m_spec;
    return true;
  }

  bool seek_subimage(int subimage, int miplevel) override {
    return subimage == 0 && miplevel == 0 && png_;
  }

  bool read_native_scanline(int subimage, int miplevel, int y, int /*z*/, void* data) override {
    if (subimage != 0 || miplevel != 0 || !png_) return false;
    if (y < 0 || y >= m_spec.height) return false;
    if (!decode()) return false;
    memcpy(data, pixels_.data() + header_.rowBytes * size_t(y), header_.rowBytes);
    return true;
  }

  bool close() override {
    if (png_) png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
    png_ = nullptr;
    info_ = nullptr;
    file_ = {};
    pixels_ = {};
    decoded_ = false;
    decodeFailed_ = false;
    src_ = PngSource{};
    return true;
  }

 private:
  bool failed(const char* what) {
    if (src_.warnings[0]) errorfmt("{}: {} (after: {})", what, src_.error, src_.warnings);
    else errorfmt("{}: {}", what, src_.error);
    return false;
  }

  bool decode() {
    if (decoded_) return true;
    if (decodeFailed_) {
      errorfmt("cannot decode the PNG: {}", src_.error);
      return false;
    }
    pixels_.resize(header_.rowBytes * size_t(header_.height));
    if (!readRows(png_, info_, pixels_.data(), header_.rowBytes, header_.height,
                  header_.passes)) {
      decodeFailed_ = true;
      return failed("cannot decode the PNG");
    }
    decoded_ = true;
    return true;
  }

  // Channel names, colour space and the metadata chunks read before the pixels.
  void describe() {
    OIIO::ImageSpec& s = m_spec;
    if (header_.channels <= 2) {
      s.channelnames = header_.channels == 1 ? std::vector<std::string>{"Y"}
                                             : std::vector<std::string>{"Y", "A"};
      s.alpha_channel = header_.channels == 2 ? 1 : -1;
    }
    s.attribute("oiio:ColorSpace", "sRGB");
    double gamma = 0;
    if (png_get_gAMA(png_, info_, &gamma) && gamma > 0) {
      const float g = float(1.0 / gamma);
      s.attribute("oiio:Gamma", g);
      if (g < 2.19f || g > 2.21f) s.attribute("oiio:ColorSpace", g == 1.0f ? "linear" : "GammaCorrected");
    }
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileLength = 0;
    if (png_get_iCCP(png_, info_, &name, &compression, &profile, &profileLength) && profile &&
        profileLength > 0)
      s.attribute("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(profileLength)),
                  profile);
    png_bytep exif = nullptr;
    png_uint_32 exifLength = 0;
    if (png_get_eXIf_1(png_, info_, &exifLength, &exif) && exif && exifLength > 0)
      OIIO::decode_exif(OIIO::cspan<uint8_t>(exif, exifLength), s);
    png_textp text = nullptr;
    int count = 0;
    if (png_get_text(png_, info_, &text, &count) && text) {
      for (int i = 0; i < count; ++i) {
        if (!text[i].key || !text[i].text) continue;
        std::string key = text[i].key;
        if (key == "Description" || key == "Comment") key = "ImageDescription";
        else if (key == "Author") key = "Artist";
        else if (key == "XML:com.adobe.xmp") {
          OIIO::decode_xmp(OIIO::string_view(text[i].text), s);
          continue;
        }
        s.attribute(key, std::string(text[i].text, text[i].text_length ? text[i].text_length
                                                                         : strlen(text[i].text)));
      }
    }
    png_uint_32 xres = 0, yres = 0;
    int unit = 0;
    if (png_get_pHYs(png_, info_, &xres, &yres, &unit) && xres && yres) {
      const bool metres = unit == PNG_RESOLUTION_METER;
      s.attribute("XResolution", metres ? float(xres) * 0.0254f : float(xres));
      s.attribute("YResolution", metres ? float(yres) * 0.0254f : float(yres));
      s.attribute("ResolutionUnit", metres ? "inch" : "none");
      s.attribute("PixelAspectRatio", float(yres) / float(xres));
    }
  }

  std::vector<unsigned char> file_;
  std::vector<unsigned char> pixels_;
  PngSource src_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  Header header_;
  bool decoded_ = false;
  bool decodeFailed_ = false;
};

}  // namespace

// The first four bytes are enough: a file that starts like a PNG and has the rest of the signature
// damaged must not reach OpenImageIO's reader either, libpng would print its complaint.
bool looksLikePng(const unsigned char* p, size_t n) { return n >= 4 && png_sig_cmp(p, 0, 4) == 0; }

std::unique_ptr<OIIO::ImageInput> openPng(const std::string& path) {
  auto in = std::make_unique<PngReader>();
  OIIO::ImageSpec spec;
  if (!in->open(path, spec)) fail("cannot read %s: %s", path.c_str(), in->geterror().c_str());
  return in;
}

}  // namespace rastcore
