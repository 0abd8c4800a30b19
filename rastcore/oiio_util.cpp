// Reading and writing through OpenImageIO.
#include "rastcore/oiio_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

namespace rastcore {

namespace {
constexpr int kMaxSubimages = 100000;

std::string oiioError() {
  std::string e = OIIO::geterror();
  return e.empty() ? std::string("unknown reason") : e;
}

// Settings of OpenImageIO that every read depends on, made once.
void configureReaders() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The TIFF reader's multi-threaded strip decoding inflates each strip with the sizes the file
    // claims and overruns its buffers on a damaged file; libtiff's own decoding checks them.
    OIIO::attribute("tiff:multithread", 0);
  });
}

// The first bytes of a file (fewer if it is shorter; none if it cannot be read).
std::string leadingBytes(const std::string& path, size_t n) {
  std::string bytes(n, '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t got = ::read(fd, bytes.data(), n);
  ::close(fd);
  bytes.resize(got > 0 ? size_t(got) : 0);
  return bytes;
}

}  // namespace

const char* unsafeFormat(const std::string& formatOrExtension) {
  const std::string& f = formatOrExtension;
  if (f == "iff" || f == "z") return "IFF";
  if (f == "rla") return "RLA";
  return nullptr;
}

std::unique_ptr<OIIO::ImageInput> openInput(const std::string& path) {
  configureReaders();
  const std::string head = leadingBytes(path, 8);
  // Formats whose readers cannot be made safe are not read at all. Maya IFF: OpenImageIO's reader
  // writes past its buffers on damaged files (and turns a file that ends early into black
  // pixels). Wavefront RLA: damaged run lengths make its decoder loop without end.
  const char* unsafe = unsafeFormat(extensionOf(path));
  if (!unsafe && (head.compare(0, 4, "FOR4") == 0 || head.compare(0, 4, "FOR8") == 0))
    unsafe = "IFF";
  if (unsafe) fail("cannot read %s: %s files are not supported", path.c_str(), unsafe);
  if (looksLikePng(reinterpret_cast<const unsigned char*>(head.data()), head.size()))
    return openPng(path);
  checkClaimedSizes(path);
  // Pixels stay as stored: colour not multiplied by alpha, as pages and canvases expect.
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in) fail("cannot read %s: %s", path.c_str(), oiioError().c_str());
  if (const char* name = unsafeFormat(in->format_name()))
    fail("cannot read %s: %s files are not supported", path.c_str(), name);
  return in;
}

int countSubimages(OIIO::ImageInput& in) {
  int n = 1;
  while (n < kMaxSubimages && in.seek_subimage(n, 0)) ++n;
  (void)in.geterror();
  return n;
}

int countMiplevels(OIIO::ImageInput& in, int subimage) {
  int n = 1;
  while (n < 64 && in.seek_subimage(subimage, n)) ++n;
  (void)in.geterror();
  return n;
}

void seek(OIIO::ImageInput& in, int subimage, int miplevel) {
  if (subimage < 0 || miplevel < 0 || !in.seek_subimage(subimage, miplevel)) {
    (void)in.geterror();
    fail("the file has no subimage %d at mip level %d", subimage, miplevel);
  }
  const OIIO::ImageSpec& spec = in.spec();
  if (spec.deep) fail("deep images are not supported");
  if (spec.nchannels <= 0) fail("the image has no channels");
}

bool alphaComesMultiplied(const OIIO::ImageInput& in) {
  return strcmp(in.format_name(), "webp") == 0;
}

bool alphaGoesDivided(const OIIO::ImageOutput& out) {
  return strcmp(out.format_name(), "webp") == 0;
}

Pixels readPixels8(OIIO::ImageInput& in, int subimage, int miplevel) {
  seek(in, subimage, miplevel);
  const OIIO::ImageSpec& spec = in.spec();
  checkPixelCount(spec.width, spec.height);
  if (spec.depth > 1) fail("volume images are not supported");
  Pixels px;
  px.width = spec.width;
  px.height = spec.height;
  px.channels = std::min(spec.nchannels, 4);
  px.data.resize(size_t(px.width) * px.height * px.channels);
  // Asked for a type other than the stored one, OpenImageIO reads through a 64 MB buffer
  // whatever the size of the image: 8-bit images are read as stored.
  const bool native = spec.format == OIIO::TypeDesc::UINT8 && spec.channelformats.empty() &&
                      spec.nchannels == px.channels;
  if (!in.read_image(subimage, miplevel, 0, px.channels,
                     native ? OIIO::TypeDesc::UNKNOWN : OIIO::TypeDesc::UINT8, px.data.data()))
    fail("cannot decode the image: %s", in.geterror().c_str());
  if (alphaComesMultiplied(in) && (px.channels == 2 || px.channels == 4)) {
    const int ch = px.channels;
    for (size_t i = 0; i < px.data.size(); i += size_t(ch)) {
      unsigned a = px.data[i + size_t(ch) - 1];
      for (int c = 0; a && a < 255 && c < ch - 1; ++c)
        px.data[i + size_t(c)] = uint8_t(std::min(255u, (px.data[i + size_t(c)] * 255u + a / 2) / a));
    }
  }
  return px;
}

nlohmann::json parseJson(const char* text, size_t size, const char* what) {
  if (!text || size == 0) return nlohmann::json::object();
  nlohmann::json j = nlohmann::json::parse(text, text + size, nullptr, false);
  if (j.is_discarded()) fail("the %s is not valid JSON", what);
  if (j.is_null()) return nlohmann::json::object();
  if (!j.is_object()) fail("the %s must be a JSON object", what);
  return j;
}

void setAttributes(OIIO::ImageSpec& spec, const nlohmann::json& attributes) {
  if (attributes.is_null()) return;
  if (!attributes.is_object()) fail("attributes must be a JSON object");
  for (auto it = attributes.begin(); it != attributes.end(); ++it) {
    const auto& v = it.value();
    if (v.is_boolean()) spec.attribute(it.key(), int(v.get<bool>()));
    else if (v.is_number_integer() && v.get<int64_t>() >= INT_MIN && v.get<int64_t>() <= INT_MAX)
      spec.attribute(it.key(), int(v.get<int64_t>()));
    else if (v.is_number()) spec.attribute(it.key(), v.get<float>());
    else if (v.is_string()) spec.attribute(it.key(), v.get<std::string>());
    else fail("attribute %s must be a number, a boolean or a text", it.key().c_str());
  }
}

OIIO::ImageSpec specFromText(const char* text) {
  requireText(text, "the spec");
  nlohmann::json j = parseJson(text, strlen(text), "spec");
  auto intField = [&](const char* name, int64_t fallback) -> int64_t {
    if (!j.contains(name)) return fallback;
    if (!j[name].is_number_integer()) fail("spec %s must be an integer", name);
    return j[name].get<int64_t>();
  };
  int64_t w = intField("width", 0), h = intField("height", 0), ch = intField("nchannels", 4);
  checkPixelCount(w, h);
  if (ch < 1 || ch > 64) fail("invalid number of channels %lld", (long long)ch);
  std::string format = j.value("format", std::string("uint8"));
  OIIO::TypeDesc type;
  if (format == "uint8") type = OIIO::TypeDesc::UINT8;
  else if (format == "uint16") type = OIIO::TypeDesc::UINT16;
  else if (format == "half") type = OIIO::TypeDesc::HALF;
  else if (format == "float") type = OIIO::TypeDesc::FLOAT;
  else fail("unknown pixel format '%s'", format.c_str());
  OIIO::ImageSpec spec(int(w), int(h), int(ch), type);
  if (ch == 2) {
    spec.channelnames = {"Y", "A"};
    spec.alpha_channel = 1;
  }
  if (j.contains("attributes")) setAttributes(spec, j["attributes"]);
  return spec;
}

size_t requireData(const OIIO::ImageSpec& spec, const unsigned char* data, int64_t length) {
  // Products in 64 bits: width*height is bounded by the pixel limit, channels by 64.
  int64_t need = int64_t(spec.width) * spec.height * spec.nchannels * int64_t(spec.format.size());
  if (!data || length < need)
    fail("the pixel data is too short: %lld bytes for %dx%dx%d %s", (long long)length, spec.width,
         spec.height, spec.nchannels, spec.format.c_str());
  return size_t(need);
}

void applyConfig(OIIO::ImageSpec& spec, const nlohmann::json& config, const std::string& format) {
  // Our defaults, where the writers' own are much slower for little gain: PNG rows unfiltered
  // at zlib level 6, lossy WebP at quality 75 (the writer's default is 100).
  if (format == "png") {
    spec.attribute("png:compressionLevel", 6);
    spec.attribute("png:filter", 8);  // PNG_FILTER_NONE
  }
  if (format == "webp") spec.attribute("CompressionQuality", 75);
  if (config.contains("quality")) {
    const auto& q = config["quality"];
    if (!q.is_number_integer() || q.get<int64_t>() < 1 || q.get<int64_t>() > 100)
      fail("quality must be an integer from 1 to 100");
    int quality = q.get<int>();
    spec.attribute("CompressionQuality", quality);
    if (format == "jpeg") spec.attribute("Compression", "jpeg:" + std::to_string(quality));
    if (format == "heif") spec.attribute("Compression", "heic:" + std::to_string(quality));
  }
  if (config.contains("compression")) {
    if (!config["compression"].is_string()) fail("compression must be a text");
    spec.attribute("Compression", config["compression"].get<std::string>());
  }
  if (config.contains("attributes")) setAttributes(spec, config["attributes"]);
}

std::unique_ptr<OIIO::ImageOutput> createOutput(const std::string& path) {
  if (extensionOf(path).empty()) fail("no file type in the name %s", path.c_str());
  auto out = OIIO::ImageOutput::create(path);
  if (!out) fail("cannot write files of type .%s: %s", extensionOf(path).c_str(), oiioError().c_str());
  return out;
}

OIIO::ImageSpec writableSpec(const OIIO::ImageSpec& spec, const OIIO::ImageOutput& out) {
  OIIO::ImageSpec s = spec;
  s.attribute("oiio:UnassociatedAlpha", 1);  // the pixels given are not multiplied by alpha
  bool alphaLast = (s.nchannels == 2 || s.nchannels == 4) &&
                   (s.alpha_channel < 0 || s.alpha_channel == s.nchannels - 1);
  if (alphaLast && !out.supports("alpha")) {
    s.nchannels -= 1;
    s.alpha_channel = -1;
    s.channelnames.resize(size_t(s.nchannels));
    s.channelformats.clear();
  }
  return s;
}

}  // namespace rastcore
