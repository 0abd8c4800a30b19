// The writing exports: files and memory from pixels, multi-image handles, conversion,
// indexed PNG, transforms and orientation changes.
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <png.h>
#include <webp/encode.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>

#include "rastcore/internal.h"
#include "rastcore/oiio_util.h"
#include "rastcore/rastcore_api.h"

using namespace rastcore;
using nlohmann::json;

namespace {

struct Progress {
  rastcore_quit_fn quit = nullptr;
  const char* argument = nullptr;
  bool cancelled = false;

  bool shouldStop() {
    if (!cancelled && quit && quit(argument)) cancelled = true;
    return cancelled;
  }
  static bool callback(void* self, float) { return static_cast<Progress*>(self)->shouldStop(); }
};

// Writes the pixels of the image just opened. The HEIF writer reads past the end of the last
// row, so it is given a padded copy.
bool writePixels(OIIO::ImageOutput& out, const OIIO::ImageSpec& spec, const void* data,
                 OIIO::stride_t xstride, Progress* progress) {
  std::vector<unsigned char> padded;
  std::vector<unsigned char> multiplied;
  if (alphaGoesDivided(out) && spec.alpha_channel == spec.nchannels - 1 &&
      spec.format == OIIO::TypeDesc::UINT8 && xstride == OIIO::stride_t(spec.nchannels)) {
    // The WebP writer divides colour by alpha raised to 1/2.2 (it takes the pixels for
    // multiplied ones): multiplying by the same first leaves the colours as given.
    float factor[256];
    for (int a = 0; a < 256; ++a) factor[a] = std::pow(a / 255.0f, 1.0f / 2.2f);
    const size_t ch = size_t(spec.nchannels);
    const size_t size = ch * size_t(spec.width) * size_t(spec.height);
    multiplied.assign(static_cast<const unsigned char*>(data),
                      static_cast<const unsigned char*>(data) + size);
    for (size_t i = 0; i < size; i += ch) {
      const float f = factor[multiplied[i + ch - 1]];
      for (size_t c = 0; c + 1 < ch; ++c)
        multiplied[i + c] = uint8_t(std::lround(std::min(255.0f, multiplied[i + c] * f)));
    }
    data = multiplied.data();
  }
  if (strcmp(out.format_name(), "heif") == 0) {
    const size_t row = size_t(xstride) * size_t(spec.width);
    const size_t size = row * size_t(spec.height);
    padded.resize(size + row + 4096);
    memcpy(padded.data(), data, size);
    data = padded.data();
  }
  return out.write_image(spec.format, data, xstride, OIIO::AutoStride, OIIO::AutoStride,
                         progress ? &Progress::callback : nullptr, progress);
}

// Opens (or appends) one image and writes the given pixels. A spec with more channels than the
// writer takes loses its alpha: the stride still walks the caller's pixels.
void writeImage(OIIO::ImageOutput& out, const std::string& file, const OIIO::ImageSpec& spec,
                const void* data, OIIO::ImageOutput::OpenMode mode, Progress* progress = nullptr) {
  OIIO::ImageSpec ws = writableSpec(spec, out);
  if (!out.open(file, ws, mode)) fail("cannot write the image: %s", out.geterror().c_str());
  OIIO::stride_t xstride = OIIO::stride_t(spec.nchannels) * OIIO::stride_t(spec.format.size());
  bool ok = writePixels(out, spec, data, xstride, progress);
  if (progress && progress->cancelled) {
    (void)out.geterror();
    fail("cancelled");
  }
  if (!ok) fail("cannot write the image: %s", out.geterror().c_str());
}

// Closes the writer. Some writers fail while reporting success and leave only an error text,
// others leave an error text about metadata they skipped: the file is checked then.
void closeChecked(OIIO::ImageOutput& out, const std::string& file) {
  if (!out.close()) fail("cannot finish the file: %s", out.geterror().c_str());
  if (!out.has_error()) return;
  std::string why = out.geterror();
  auto in = OIIO::ImageInput::open(file);
  if (!in) {
    (void)OIIO::geterror();
    fail("cannot finish the file: %s", why.c_str());
  }
}

void finish(OIIO::ImageOutput& out, TempFile& tmp) {
  closeChecked(out, tmp.path());
  tmp.commit();
}

std::string tempFolder() {
  const char* dir = getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

// 8-bit RGB or RGBA as lossy WebP through libwebp itself: OpenImageIO's writer takes several
// times longer for the same quality. False if the pixels are of another kind.
bool writeWebp(const std::string& file, const OIIO::ImageSpec& spec, const void* data,
               const json& config) {
  if (spec.format != OIIO::TypeDesc::UINT8 || (spec.nchannels != 3 && spec.nchannels != 4) ||
      spec.width > WEBP_MAX_DIMENSION || spec.height > WEBP_MAX_DIMENSION)
    return false;
  float quality = 75.0f;
  if (config.contains("quality")) quality = config["quality"].get<float>();
  const auto* px = static_cast<const uint8_t*>(data);
  const int stride = spec.width * spec.nchannels;
  uint8_t* out = nullptr;
  size_t size = spec.nchannels == 4
                    ? WebPEncodeRGBA(px, spec.width, spec.height, stride, quality, &out)
                    : WebPEncodeRGB(px, spec.width, spec.height, stride, quality, &out);
  if (size == 0) {
    WebPFree(out);
    fail("cannot encode the WebP image");
  }
  std::unique_ptr<uint8_t, void (*)(void*)> owned(out, WebPFree);
  FILE* f = fopen(file.c_str(), "wb");
  if (!f) fail("cannot write %s", file.c_str());
  bool ok = fwrite(out, 1, size, f) == size;
  ok = fclose(f) == 0 && ok;
  if (!ok) fail("cannot write %s", file.c_str());
  return true;
}

// Reads every subimage the target can hold, changes each through `change`, and writes them to
// dst through a temporary file.
struct Rewrite {
  json config = json::object();
  std::function<OIIO::ImageBuf(OIIO::ImageBuf&)> change;
  int orientation = 0;  // set this orientation tag on the written images (0: keep)
  Progress progress;
};

void rewrite(const std::string& src, const std::string& dst, Rewrite& job) {
  if (job.progress.shouldStop()) fail("cancelled");
  auto in = openInput(src);
  const int count = countSubimages(*in);
  auto out = createOutput(dst);
  const bool multi = count > 1 && out->supports("multiimage") && out->supports("appendsubimage");
  const int n = multi ? count : 1;
  TempFile tmp(dst);
  Pixels jpeg;
  for (int i = 0; i < n; ++i) {
    if (job.progress.shouldStop()) fail("cancelled");
    seek(*in, i, 0);
    OIIO::ImageSpec spec = in->spec();
    checkPixelCount(spec.width, spec.height);
    if (spec.depth > 1) fail("volume images are not supported");
    spec.channelformats.clear();
    // A gamma from a damaged header that the writers cannot store (libpng fails on it).
    const float gamma = spec.get_float_attribute("oiio:Gamma", 1.0f);
    if (!(gamma >= 0.05f && gamma <= 20.0f)) spec.erase_attribute("oiio:Gamma");
    // The pixels are the image: a display window or origin from the header (which resizing
    // would honour, over millions of pixels if the header is damaged) is dropped.
    spec.x = spec.y = spec.z = 0;
    spec.full_x = spec.full_y = spec.full_z = 0;
    spec.full_width = spec.width;
    spec.full_height = spec.height;
    spec.full_depth = 1;
    OIIO::ImageBuf buf;
    if (jpeg.data.empty() && strcmp(in->format_name(), "jpeg") == 0) {
      // JPEG: decoded by libjpeg-turbo, which is faster and tells a file that ends early.
      std::vector<unsigned char> file = readFile(src);
      if (looksLikeJpeg(file.data(), file.size()) && decodeJpeg(file, 0, 0, 0, false, jpeg) &&
          jpeg.channels == spec.nchannels) {
        spec.format = OIIO::TypeDesc::UINT8;
        buf.reset(spec, jpeg.data.data());
      }
    }
    if (!buf.initialized()) {
      buf.reset(spec, OIIO::InitializePixels::No);
      // As stored (no conversion buffer of 64 MB) unless the channels differ in type.
      const bool native = in->spec().channelformats.empty();
      if (!in->read_image(i, 0, 0, spec.nchannels, native ? OIIO::TypeDesc::UNKNOWN : spec.format,
                          buf.localpixels()))
        fail("cannot decode %s: %s", src.c_str(), in->geterror().c_str());
    }
    if (job.progress.shouldStop()) fail("cancelled");
    if (alphaComesMultiplied(*in) && buf.spec().alpha_channel >= 0)
      OIIO::ImageBufAlgo::unpremult(buf, buf);
    if (job.change) buf = job.change(buf);
    OIIO::ImageSpec os = buf.spec();
    applyConfig(os, job.config, out->format_name());
    if (job.orientation) os.attribute("Orientation", job.orientation);
    if (!buf.localpixels()) fail("internal error: the image has no pixels");
    if (n == 1 && strcmp(out->format_name(), "webp") == 0 &&
        writeWebp(tmp.path(), buf.spec(), buf.localpixels(), job.config)) {
      tmp.commit();
      return;
    }
    writeImage(*out, tmp.path(), os, buf.localpixels(),
               i == 0 ? OIIO::ImageOutput::Create : OIIO::ImageOutput::AppendSubimage,
               &job.progress);
  }
  finish(*out, tmp);
}

void checkResult(bool ok, const OIIO::ImageBuf& buf, const char* what) {
  if (!ok || buf.has_error()) fail("cannot %s: %s", what, buf.geterror().c_str());
}

OIIO::ImageBuf reoriented(const OIIO::ImageBuf& src) {
  OIIO::ImageBuf dst;
  checkResult(OIIO::ImageBufAlgo::reorient(dst, src), dst, "apply the orientation");
  return dst;
}

// Our transform numbers on the image as it is shown.
OIIO::ImageBuf transformed(const OIIO::ImageBuf& shown, int transform) {
  OIIO::ImageBuf dst;
  bool ok = false;
  switch (transform) {
    case 1: ok = OIIO::ImageBufAlgo::rotate90(dst, shown); break;
    case 2: ok = OIIO::ImageBufAlgo::rotate180(dst, shown); break;
    case 3: ok = OIIO::ImageBufAlgo::rotate270(dst, shown); break;
    case 4: ok = OIIO::ImageBufAlgo::flop(dst, shown); break;
    case 5: ok = OIIO::ImageBufAlgo::flip(dst, shown); break;
    case 6: ok = OIIO::ImageBufAlgo::transpose(dst, shown); break;
    case 7: {
      OIIO::ImageBuf t;
      ok = OIIO::ImageBufAlgo::transpose(t, shown) && OIIO::ImageBufAlgo::rotate180(dst, t);
      break;
    }
  }
  checkResult(ok, dst, "transform the image");
  return dst;
}

bool isJpegName(const std::string& path) {
  std::string e = extensionOf(path);
  return e == "jpg" || e == "jpeg" || e == "jpe" || e == "jif" || e == "jfif" || e == "jfi";
}

// An image being written subimage by subimage.
struct WriteHandle {
  std::mutex mutex;
  std::unique_ptr<OIIO::ImageOutput> out;
  std::unique_ptr<TempFile> tmp;
  std::vector<OIIO::ImageSpec> specs;
  int next = 0;
  bool failed = false;
};

std::mutex g_handlesMutex;
std::map<void*, std::shared_ptr<WriteHandle>> g_handles;

std::shared_ptr<WriteHandle> findHandle(void* handle, bool remove) {
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  auto it = g_handles.find(handle);
  if (it == g_handles.end()) fail("unknown write handle");
  std::shared_ptr<WriteHandle> h = it->second;
  if (remove) g_handles.erase(it);
  return h;
}

}  // namespace

extern "C" {

bool c_output_image(const char* path, const char* spec, const unsigned char* data, int32_t length,
                    const char* config) {
  return guarded<bool>(false, [&] {
    requireText(path, "the path");
    OIIO::ImageSpec s = specFromText(spec);
    requireData(s, data, length);
    json cfg = parseJson(config, config ? strlen(config) : 0, "config");
    auto out = createOutput(path);
    applyConfig(s, cfg, out->format_name());
    TempFile tmp(path);
    if (strcmp(out->format_name(), "webp") == 0 && writeWebp(tmp.path(), s, data, cfg)) {
      tmp.commit();
      return true;
    }
    writeImage(*out, tmp.path(), s, data, OIIO::ImageOutput::Create);
    finish(*out, tmp);
    return true;
  });
}

unsigned char* c_encode_image(const char* extension, const char* spec, const unsigned char* data,
                              int32_t length, int32_t* outLength) {
  return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
    if (outLength) *outLength = 0;
    requireText(extension, "the file type");
    if (!outLength) fail("no place for the length");
    std::string ext = extension;
    if (size_t dot = ext.find_last_of('.'); dot != std::string::npos) ext = ext.substr(dot + 1);
    if (ext.empty() || ext.find('/') != std::string::npos) fail("invalid file type '%s'", extension);
    OIIO::ImageSpec s = specFromText(spec);
    requireData(s, data, length);
    const std::string name = tempFolder() + "/rastcore-encode." + ext;
    auto out = createOutput(name);
    TempFile tmp(name, tempFolder());
    writeImage(*out, tmp.path(), s, data, OIIO::ImageOutput::Create);
    closeChecked(*out, tmp.path());
    std::vector<unsigned char> bytes = readFile(tmp.path());
    int32_t n = checkedLength(int64_t(bytes.size()));
    unsigned char* buf = handOut(bytes.data(), bytes.size());
    *outLength = n;
    return buf;
  });
}

void* c_open_image_forwrite(const char* path, int32_t subimages, const char** specs,
                            int32_t specCount) {
  return guarded<void*>(nullptr, [&]() -> void* {
    requireText(path, "the path");
    if (subimages < 1 || subimages > 100000) fail("invalid number of subimages %d", subimages);
    if (specCount != subimages || !specs)
      fail("%d specs given for %d subimages", specs ? specCount : 0, subimages);
    auto h = std::make_shared<WriteHandle>();
    for (int i = 0; i < subimages; ++i) h->specs.push_back(specFromText(specs[i]));
    h->out = createOutput(path);
    if (subimages > 1 && !(h->out->supports("multiimage") && h->out->supports("appendsubimage")))
      fail("files of type .%s hold a single image", extensionOf(path).c_str());
    h->tmp = std::make_unique<TempFile>(path);
    std::vector<OIIO::ImageSpec> writable;
    for (const auto& s : h->specs) writable.push_back(writableSpec(s, *h->out));
    if (!h->out->open(h->tmp->path(), subimages, writable.data()))
      fail("cannot write %s: %s", path, h->out->geterror().c_str());
    void* key = h.get();
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    g_handles[key] = h;
    return key;
  });
}

bool c_write_image_subimage(void* handle, int32_t subimage, const char* spec,
                            const unsigned char* data, int32_t length) {
  return guarded<bool>(false, [&] {
    std::shared_ptr<WriteHandle> h = findHandle(handle, false);
    std::lock_guard<std::mutex> lock(h->mutex);
    if (h->failed) fail("an earlier write through this handle failed");
    if (subimage != h->next)
      fail("subimage %d written out of order (expected %d)", subimage, h->next);
    if (subimage >= int(h->specs.size())) fail("all %d subimages are already written", h->next);
    OIIO::ImageSpec s = specFromText(spec);
    requireData(s, data, length);
    const OIIO::ImageSpec& declared = h->specs[size_t(subimage)];
    if (s.width != declared.width || s.height != declared.height ||
        s.nchannels != declared.nchannels)
      fail("subimage %d is %dx%dx%d, but %dx%dx%d was declared", subimage, s.width, s.height,
           s.nchannels, declared.width, declared.height, declared.nchannels);
    h->failed = true;
    if (subimage > 0) {
      OIIO::ImageSpec ws = writableSpec(declared, *h->out);
      if (!h->out->open(h->tmp->path(), ws, OIIO::ImageOutput::AppendSubimage))
        fail("cannot add subimage %d: %s", subimage, h->out->geterror().c_str());
    }
    OIIO::stride_t xstride = OIIO::stride_t(s.nchannels) * OIIO::stride_t(s.format.size());
    if (!writePixels(*h->out, s, data, xstride, nullptr))
      fail("cannot write subimage %d: %s", subimage, h->out->geterror().c_str());
    h->failed = false;
    ++h->next;
    return true;
  });
}

bool c_close_image_forwrite(void* handle) {
  return guarded<bool>(false, [&] {
    std::shared_ptr<WriteHandle> h = findHandle(handle, true);
    std::lock_guard<std::mutex> lock(h->mutex);
    if (h->failed || h->next != int(h->specs.size())) {
      h->out->close();
      fail("only %d of %d subimages were written; nothing was saved", h->next,
           int(h->specs.size()));
    }
    finish(*h->out, *h->tmp);
    return true;
  });
}

bool c_copy_image_to(const char* src, const char* dst, const char* config, uint64_t configLength,
                     rastcore_quit_fn shouldQuit, const char* callbackArgument) {
  return guarded<bool>(false, [&] {
    requireText(src, "the source");
    requireText(dst, "the destination");
    if (configLength > (uint64_t(1) << 24)) fail("the config is too long");
    if (!config && configLength) fail("the config is missing");
    Rewrite job;
    job.progress.quit = shouldQuit;
    job.progress.argument = callbackArgument;
    job.config = parseJson(config, size_t(configLength), "config");
    auto side = [&](const char* name) -> int {
      if (!job.config.contains(name)) return 0;
      const auto& v = job.config[name];
      if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > INT32_MAX)
        fail("%s must be a positive integer", name);
      return v.get<int>();
    };
    const int maxW = side("width"), maxH = side("height");
    const bool orientIt = job.config.value("orient", false);
    job.change = [&](OIIO::ImageBuf& buf) {
      OIIO::ImageBuf b = orientIt ? reoriented(buf) : std::move(buf);
      int w = 0, h = 0;
      fitSize(b.spec().width, b.spec().height, maxW, maxH, w, h);
      // OpenImageIO's filter takes as many source pixels per output pixel as the scale factor
      // (and asserts or overruns past 2^20 of them): big reductions are made in steps of at
      // most 64 per side.
      while (w != b.spec().width || h != b.spec().height) {
        const int sw = std::max(w, (b.spec().width + 63) / 64);
        const int sh = std::max(h, (b.spec().height + 63) / 64);
        OIIO::ImageBuf r;
        checkResult(OIIO::ImageBufAlgo::resize(r, b, "", 0.0f,
                                               OIIO::ROI(0, sw, 0, sh, 0, 1, 0, b.spec().nchannels)),
                    r, "resize");
        b = std::move(r);
      }
      return b;
    };
    rewrite(src, dst, job);
    return true;
  });
}

bool c_write_indexed_png_file(const char* dst, int32_t width, int32_t height, int32_t colors,
                              const unsigned char* palette, int32_t paletteLength,
                              const unsigned char* pixels, int32_t pixelLength) {
  return guarded<bool>(false, [&] {
    requireText(dst, "the destination");
    checkPixelCount(width, height);
    if (colors < 1 || colors > 256) fail("invalid number of colours %d (1 to 256)", colors);
    if (!palette || (paletteLength != colors * 3 && paletteLength != colors * 4))
      fail("bad palette length %d for %d colours (%d or %d expected)", palette ? paletteLength : 0,
           colors, colors * 3, colors * 4);
    const int64_t count = int64_t(width) * height;
    if (!pixels || pixelLength < count)
      fail("too few pixels: %d for %dx%d", pixels ? pixelLength : 0, width, height);
    for (int64_t i = 0; i < count; ++i)
      if (pixels[i] >= colors)
        fail("pixel index %d at %lld,%lld is out of range for %d colours", pixels[i],
             (long long)(i % width), (long long)(i / width), colors);
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = paletteLength == colors * 4 ? PNG_FORMAT_RGBA_COLORMAP : PNG_FORMAT_RGB_COLORMAP;
    image.colormap_entries = png_uint_32(colors);
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels, width, palette))
      fail("cannot encode the PNG: %s", image.message);
    std::vector<unsigned char> bytes(size);
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels, width, palette))
      fail("cannot encode the PNG: %s", image.message);
    TempFile tmp(dst);
    tmp.write(bytes.data(), size);
    tmp.commit();
    return true;
  });
}

bool c_transform(const char* source, const char* dest, int32_t transform) {
  return guarded<bool>(false, [&] {
    requireText(source, "the source");
    requireText(dest, "the destination");
    if (transform < 1 || transform > 7) fail("unknown transform %d", transform);
    Rewrite job;
    job.orientation = 1;
    job.change = [&](OIIO::ImageBuf& buf) { return transformed(reoriented(buf), transform); };
    rewrite(source, dest, job);
    return true;
  });
}

bool c_modify_orientation(const char* source, const char* dest, int32_t orientation) {
  return guarded<bool>(false, [&] {
    requireText(source, "the source");
    requireText(dest, "the destination");
    if (orientation < 1 || orientation > 8) fail("invalid orientation %d", orientation);
    std::vector<unsigned char> file = readFile(source);
    if (looksLikeJpeg(file.data(), file.size()) && isJpegName(dest)) {
      std::vector<unsigned char> patched = setJpegOrientation(file, orientation);
      TempFile tmp(dest);
      tmp.write(patched.data(), patched.size());
      tmp.commit();
      return true;
    }
    Rewrite job;
    job.orientation = orientation;
    rewrite(source, dest, job);
    return true;
  });
}

bool c_modify_jpeg_orientation(const char* path, int32_t orientation) {
  return guarded<bool>(false, [&] {
    requireText(path, "the path");
    if (orientation < 1 || orientation > 8) fail("invalid orientation %d", orientation);
    std::vector<unsigned char> file = readFile(path);
    if (!looksLikeJpeg(file.data(), file.size())) fail("not a JPEG file: %s", path);
    std::vector<unsigned char> patched = setJpegOrientation(file, orientation);
    TempFile tmp(path);
    tmp.write(patched.data(), patched.size());
    tmp.commit();
    return true;
  });
}

}  // extern "C"
