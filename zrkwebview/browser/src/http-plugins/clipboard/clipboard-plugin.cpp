#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-plugin.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "desk/clipboard.h"
#include "desk/gdi.h"
#include "desk/gfx/dibits.h"
#include "vesk/strings.h"
#include "zrkwebview/browser/src/http-plugins/clipboard/clipboard-monitor.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin {
namespace {

using nlohmann::json;

constexpr char kOpenFailedText[] = "Failed to open clipboard";
constexpr char kOpenFailedImage[] = "Failed to open clipboard.";
constexpr char kInvalidImage[] = "Invalid image data";
constexpr size_t kBodyPiece = 8096;

std::shared_ptr<http::HttpResponse> ok() {
  return std::make_shared<http::HttpStatusResponse>(200, std::string("OK"));
}

std::shared_ptr<http::HttpResponse> jsonReply(std::string body) {
  return std::make_shared<http::HttpMimeResponse>(std::move(body), "application/json");
}

uint32_t u32At(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint16_t u16At(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// A locked global block, unlocked on every way out.
class LockedBlock {
 public:
  explicit LockedBlock(desk::HGLOBAL block) : block_(block) {
    if (block_ != nullptr) data_ = static_cast<const uint8_t*>(desk::GlobalLock(block_));
    if (data_ != nullptr) size_ = desk::GlobalSize(block_);
  }
  ~LockedBlock() {
    if (data_ != nullptr) desk::GlobalUnlock(block_);
  }
  LockedBlock(const LockedBlock&) = delete;
  LockedBlock& operator=(const LockedBlock&) = delete;
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  desk::HGLOBAL block_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// The shift and width of a channel mask; a zero mask has no bits.
struct Channel {
  int shift = 0;
  int bits = 0;
};
Channel channelOf(uint32_t mask) {
  Channel c;
  if (mask == 0) return c;
  while (((mask >> c.shift) & 1u) == 0) ++c.shift;
  while (c.shift + c.bits < 32 && ((mask >> (c.shift + c.bits)) & 1u) != 0) ++c.bits;
  return c;
}
uint8_t extract(uint32_t pixel, Channel c) {
  if (c.bits == 0) return 0;
  const uint32_t max = c.bits >= 32 ? 0xFFFFFFFFu : ((1u << c.bits) - 1);
  const uint64_t v = (pixel >> c.shift) & max;
  return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

// The image from the bitmap handle on the clipboard (CF_BITMAP).
bool readBitmap(desk::HBITMAP bitmap, std::vector<uint8_t>& pixels, uint32_t& width,
                uint32_t& height) {
  desk::BITMAP description;
  if (desk::GetObjectW(bitmap, sizeof description, &description) == 0) return false;
  if (description.bmWidth <= 0 || description.bmHeight <= 0) return false;
  const uint32_t w = static_cast<uint32_t>(description.bmWidth);
  const uint32_t h = static_cast<uint32_t>(description.bmHeight);
  std::vector<uint8_t> bits(uint64_t{w} * h * 4);
  desk::HDC screen = desk::GetDC(nullptr);
  desk::HDC memory = desk::CreateCompatibleDC(screen);
  desk::HGDIOBJ previous = desk::SelectObject(memory, bitmap);
  desk::BITMAPINFO info{};
  info.bmiHeader.biWidth = static_cast<desk::LONG>(w);
  info.bmiHeader.biHeight = -static_cast<desk::LONG>(h);
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = desk::BI_RGB;
  const int rows = desk::GetDIBits(memory, bitmap, 0, h, bits.data(), &info, desk::DIB_RGB_COLORS);
  desk::SelectObject(memory, previous);
  desk::DeleteDC(memory);
  desk::ReleaseDC(nullptr, screen);
  if (rows <= 0) return false;
  for (size_t i = 0; i + 3 < bits.size(); i += 4) std::swap(bits[i], bits[i + 2]);
  pixels = std::move(bits);
  width = w;
  height = h;
  return true;
}

}  // namespace

// ---- image blocks --------------------------------------------------------------------------------

bool decodeDib(const uint8_t* block, size_t size, std::vector<uint8_t>& pixels, uint32_t& width,
               uint32_t& height) {
  if (block == nullptr || size < 40) return false;
  const uint64_t headerSize = u32At(block);
  if (headerSize < 40 || headerSize > size) return false;
  const int32_t w = static_cast<int32_t>(u32At(block + 4));
  const int32_t h = static_cast<int32_t>(u32At(block + 8));
  const uint16_t bitCount = u16At(block + 14);
  const uint32_t compression = u32At(block + 16);
  if (w <= 0 || h == 0 || h == std::numeric_limits<int32_t>::min()) return false;
  const uint64_t cols = static_cast<uint64_t>(w);
  const uint64_t rows = h < 0 ? static_cast<uint64_t>(-int64_t{h}) : static_cast<uint64_t>(h);
  const bool topDown = h < 0;

  uint64_t offset = headerSize;
  // The colour masks: inside a V4/V5 header, or three words after a 40-byte one.
  Channel red{16, 8}, green{8, 8}, blue{0, 8};
  bool masked = false;
  if (compression == desk::BI_BITFIELDS) {
    if (bitCount != 32) return false;
    const uint8_t* masks = block + 40;
    if (headerSize == 40) {
      if (offset + 12 > size) return false;
      offset += 12;
    } else if (headerSize < 52) {
      return false;
    }
    red = channelOf(u32At(masks));
    green = channelOf(u32At(masks + 4));
    blue = channelOf(u32At(masks + 8));
    masked = true;
  } else if (compression != desk::BI_RGB) {
    return false;
  }

  uint64_t stride = 0;
  if (bitCount == 32) {
    stride = cols * 4;
  } else if (bitCount == 24) {
    stride = (cols * 3 + 3) / 4 * 4;
  } else {
    return false;
  }
  // Every row inside the block, counted in 64 bits (cols < 2^31, rows <= 2^31 - 1).
  if (stride > (size - offset) || rows > (size - offset) / stride) return false;

  std::vector<uint8_t> out(cols * rows * 4);
  const uint8_t* base = block + offset;
  for (uint64_t r = 0; r < rows; ++r) {
    const uint64_t sourceRow = topDown ? r : rows - 1 - r;
    const uint8_t* in = base + sourceRow * stride;
    uint8_t* o = out.data() + r * cols * 4;
    for (uint64_t x = 0; x < cols; ++x) {
      if (bitCount == 32) {
        const uint8_t* p = in + x * 4;
        if (masked) {
          const uint32_t v = u32At(p);
          o[x * 4 + 0] = extract(v, red);
          o[x * 4 + 1] = extract(v, green);
          o[x * 4 + 2] = extract(v, blue);
        } else {
          o[x * 4 + 0] = p[2];
          o[x * 4 + 1] = p[1];
          o[x * 4 + 2] = p[0];
        }
        o[x * 4 + 3] = p[3];
      } else {
        const uint8_t* p = in + x * 3;
        o[x * 4 + 0] = p[2];
        o[x * 4 + 1] = p[1];
        o[x * 4 + 2] = p[0];
        o[x * 4 + 3] = 255;
      }
    }
  }
  pixels = std::move(out);
  width = static_cast<uint32_t>(cols);
  height = static_cast<uint32_t>(rows);
  return true;
}

// ---- clipboard operations ------------------------------------------------------------------------

bool clipboardHasKind(int kind) {
  if (kind == 1) {
    return desk::IsClipboardFormatAvailable(desk::CF_TEXT) ||
           desk::IsClipboardFormatAvailable(desk::CF_UNICODETEXT);
  }
  if (kind == 4) {
    return desk::IsClipboardFormatAvailable(desk::CF_BITMAP) ||
           desk::IsClipboardFormatAvailable(desk::CF_DIB) ||
           desk::IsClipboardFormatAvailable(desk::CF_DIBV5);
  }
  return false;
}

std::string convertCodePage(const char* bytes, size_t length, unsigned fromCodePage,
                            unsigned toCodePage) {
  if (bytes == nullptr || length == 0 || length > static_cast<size_t>(std::numeric_limits<int>::max())) {
    return {};
  }
  const int n = static_cast<int>(length);
  const int units = desk::MultiByteToWideChar(fromCodePage, 0, bytes, n, nullptr, 0);
  if (units <= 0) return {};
  std::u16string wide(static_cast<size_t>(units), u'\0');
  if (desk::MultiByteToWideChar(fromCodePage, 0, bytes, n, wide.data(), units) <= 0) return {};
  const int out = desk::WideCharToMultiByte(toCodePage, 0, wide.data(), units, nullptr, 0, nullptr,
                                            nullptr);
  if (out <= 0) return {};
  std::string result(static_cast<size_t>(out), '\0');
  if (desk::WideCharToMultiByte(toCodePage, 0, wide.data(), units, result.data(), out, nullptr,
                                nullptr) <= 0) {
    return {};
  }
  return result;
}

namespace {

// The narrow text of a CF_TEXT or CF_OEMTEXT block, up to its first NUL, as UTF-8.
std::string narrowText(desk::UINT format, unsigned codePage) {
  if (!desk::IsClipboardFormatAvailable(format)) return {};
  LockedBlock block(desk::GetClipboardData(format));
  if (block.data() == nullptr) return {};
  const char* text = reinterpret_cast<const char*>(block.data());
  const size_t length = std::find(text, text + block.size(), '\0') - text;
  return convertCodePage(text, length, codePage, desk::CP_UTF8);
}

}  // namespace

std::string readClipboardText() {
  if (!desk::OpenClipboard(nullptr)) throw std::runtime_error(kOpenFailedText);
  std::string text;
  if (desk::IsClipboardFormatAvailable(desk::CF_UNICODETEXT)) {
    LockedBlock block(desk::GetClipboardData(desk::CF_UNICODETEXT));
    if (block.data() != nullptr) {
      const size_t units = block.size() / 2;
      std::u16string wide(units, u'\0');
      if (units > 0) std::memcpy(wide.data(), block.data(), units * 2);
      wide.resize(std::min(wide.find(u'\0'), wide.size()));
      if (!wide.empty()) text = zrk::toUtf8(wide);
    }
  }
  if (text.empty()) text = narrowText(desk::CF_TEXT, desk::CP_ACP);
  if (text.empty()) text = narrowText(desk::CF_OEMTEXT, desk::CP_OEMCP);
  desk::CloseClipboard();
  return text;
}

void writeClipboardText(const std::string& text) {
  if (!desk::OpenClipboard(nullptr)) throw std::runtime_error(kOpenFailedText);
  desk::EmptyClipboard();
  const int length = static_cast<int>(std::min<size_t>(text.size(), std::numeric_limits<int>::max()));
  const int units = text.empty() ? 0
                                 : desk::MultiByteToWideChar(desk::CP_UTF8, 0, text.data(), length,
                                                             nullptr, 0);
  std::u16string wide;
  if (units > 0) {
    wide.assign(static_cast<size_t>(units), u'\0');
    desk::MultiByteToWideChar(desk::CP_UTF8, 0, text.data(), length, wide.data(), units);
    if (desk::HGLOBAL block = desk::GlobalAlloc(desk::GMEM_MOVEABLE, wide.size() * 2 + 2)) {
      auto* p = static_cast<uint8_t*>(desk::GlobalLock(block));
      std::memcpy(p, wide.data(), wide.size() * 2);
      p[wide.size() * 2] = 0;
      p[wide.size() * 2 + 1] = 0;
      desk::GlobalUnlock(block);
      if (!desk::SetClipboardData(desk::CF_UNICODETEXT, block)) desk::GlobalFree(block);
    }
    const int bytes = desk::WideCharToMultiByte(desk::CP_ACP, 0, wide.data(), units, nullptr, 0,
                                                nullptr, nullptr);
    if (bytes > 0) {
      if (desk::HGLOBAL block = desk::GlobalAlloc(desk::GMEM_MOVEABLE, size_t(bytes) + 1)) {
        auto* p = static_cast<char*>(desk::GlobalLock(block));
        desk::WideCharToMultiByte(desk::CP_ACP, 0, wide.data(), units, p, bytes, nullptr, nullptr);
        p[bytes] = 0;
        desk::GlobalUnlock(block);
        if (!desk::SetClipboardData(desk::CF_TEXT, block)) desk::GlobalFree(block);
      }
    }
  }
  if (desk::HGLOBAL block = desk::GlobalAlloc(desk::GMEM_MOVEABLE, 4)) {
    const uint32_t locale = 0x0400;
    std::memcpy(desk::GlobalLock(block), &locale, 4);
    desk::GlobalUnlock(block);
    if (!desk::SetClipboardData(desk::CF_LOCALE, block)) desk::GlobalFree(block);
  }
  desk::CloseClipboard();
}

bool readClipboardImage(std::vector<uint8_t>& pixels, uint32_t& width, uint32_t& height) {
  if (!desk::OpenClipboard(nullptr)) throw std::runtime_error(kOpenFailedImage);
  bool found = false;
  for (desk::UINT format : {desk::CF_DIBV5, desk::CF_DIB}) {
    if (found || !desk::IsClipboardFormatAvailable(format)) continue;
    LockedBlock block(desk::GetClipboardData(format));
    found = decodeDib(block.data(), block.size(), pixels, width, height);
  }
  if (!found && desk::IsClipboardFormatAvailable(desk::CF_BITMAP)) {
    if (auto bitmap = static_cast<desk::HBITMAP>(desk::GetClipboardData(desk::CF_BITMAP))) {
      found = readBitmap(bitmap, pixels, width, height);
    }
  }
  desk::CloseClipboard();
  return found;
}

void writeClipboardImage(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height) {
  const uint64_t bytes = uint64_t{width} * height * 4;
  if (width == 0 || height == 0 || width > uint32_t(std::numeric_limits<int32_t>::max()) ||
      height > uint32_t(std::numeric_limits<int32_t>::max()) || bytes > kMaxClipboardImageBytes ||
      pixels.size() != bytes) {
    throw std::runtime_error(kInvalidImage);
  }
  if (!desk::OpenClipboard(nullptr)) throw std::runtime_error(kOpenFailedImage);
  desk::EmptyClipboard();
  desk::HDC screen = desk::GetDC(nullptr);

  // Blue, green, red, alpha: the DIB order.
  std::vector<uint8_t> bgra(pixels);
  for (size_t i = 0; i + 3 < bgra.size(); i += 4) std::swap(bgra[i], bgra[i + 2]);

  auto place = [&](desk::UINT format, const void* header, size_t headerSize) {
    desk::HGLOBAL block = desk::GlobalAlloc(desk::GMEM_MOVEABLE, headerSize + bgra.size());
    if (block == nullptr) return;
    auto* p = static_cast<uint8_t*>(desk::GlobalLock(block));
    std::memcpy(p, header, headerSize);
    std::memcpy(p + headerSize, bgra.data(), bgra.size());
    desk::GlobalUnlock(block);
    if (!desk::SetClipboardData(format, block)) desk::GlobalFree(block);
  };

  desk::BITMAPV5HEADER v5;
  v5.bV5Width = static_cast<desk::LONG>(width);
  v5.bV5Height = -static_cast<desk::LONG>(height);
  v5.bV5Planes = 1;
  v5.bV5BitCount = 32;
  v5.bV5Compression = desk::BI_BITFIELDS;
  v5.bV5RedMask = 0x00FF0000;
  v5.bV5GreenMask = 0x0000FF00;
  v5.bV5BlueMask = 0x000000FF;
  v5.bV5AlphaMask = 0xFF000000;
  place(desk::CF_DIBV5, &v5, sizeof v5);

  desk::BITMAPINFOHEADER dib;
  dib.biWidth = static_cast<desk::LONG>(width);
  dib.biHeight = -static_cast<desk::LONG>(height);
  dib.biPlanes = 1;
  dib.biBitCount = 32;
  dib.biCompression = desk::BI_RGB;
  place(desk::CF_DIB, &dib, sizeof dib);

  if (width <= uint32_t(std::numeric_limits<int>::max()) &&
      height <= uint32_t(std::numeric_limits<int>::max())) {
    if (desk::HBITMAP bitmap =
            desk::CreateCompatibleBitmap(screen, static_cast<int>(width), static_cast<int>(height))) {
      desk::HDC memory = desk::CreateCompatibleDC(screen);
      desk::HGDIOBJ previous = desk::SelectObject(memory, bitmap);
      desk::BITMAPINFO info{};
      info.bmiHeader = dib;
      desk::SetDIBits(memory, bitmap, 0, height, bgra.data(), &info, desk::DIB_RGB_COLORS);
      desk::SelectObject(memory, previous);
      desk::DeleteDC(memory);
      if (!desk::SetClipboardData(desk::CF_BITMAP, bitmap)) desk::DeleteObject(bitmap);
    }
  }
  desk::ReleaseDC(nullptr, screen);
  desk::CloseClipboard();
}

// ---- the plugin ----------------------------------------------------------------------------------

ClipboardPlugin::ClipboardPlugin() {
  name_ = "clipboard";
  description_ = "clipboard plugin";
  version_ = "1.0.0";
}

std::shared_ptr<Vesk::TObject> ClipboardPlugin::invoke(const std::string& command,
                                                       zrk::Webview* webview,
                                                       http::HttpResponseConnection* connection,
                                                       http::HttpRequest* request,
                                                       const json& payload) {
  (void)connection;
  auto wrap = [](std::shared_ptr<http::HttpResponse> (*handler)(const json&, http::HttpRequest*)) {
    return [handler](const json& p, zrk::Webview*, http::HttpRequest* r) { return handler(p, r); };
  };
  CommandTable table{
      {"is_available", wrap(&ClipboardPlugin::isAvailable)},
      {"get_text", wrap(&ClipboardPlugin::getText)},
      {"set_text", wrap(&ClipboardPlugin::setText)},
      {"get_image", wrap(&ClipboardPlugin::getImage)},
      {"set_image", wrap(&ClipboardPlugin::setImage)},
      {"start-listening", wrap(&ClipboardPlugin::startListening)},
      {"stop-listening", wrap(&ClipboardPlugin::stopListening)},
      {"is-listening", wrap(&ClipboardPlugin::isListening)},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::isAvailable(const json& payload,
                                                                 http::HttpRequest*) {
  const json* type = payload::member(payload, "type");
  const std::optional<int32_t> kind =
      type != nullptr ? payload::integerOf<int32_t>(*type) : std::nullopt;
  return jsonReply(kind && clipboardHasKind(*kind) ? "true" : "false");
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::getText(const json&, http::HttpRequest*) {
  return jsonReply(json{{"text", readClipboardText()}}.dump());
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::setText(const json& payload,
                                                             http::HttpRequest*) {
  writeClipboardText(payload::stringOr(payload, "text"));
  return ok();
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::getImage(const json&, http::HttpRequest*) {
  std::vector<uint8_t> pixels;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string body;
  if (readClipboardImage(pixels, width, height)) {
    body.resize(8 + pixels.size());
    std::memcpy(body.data(), &width, 4);
    std::memcpy(body.data() + 4, &height, 4);
    if (!pixels.empty()) std::memcpy(body.data() + 8, pixels.data(), pixels.size());
  }
  return std::make_shared<http::HttpMimeResponse>(std::move(body), "application/octet-stream");
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::setImage(const json& payload,
                                                              http::HttpRequest* request) {
  auto dimension = [&](const char* key) -> uint32_t {
    const json* m = payload::member(payload, key);
    return m != nullptr ? payload::integerOf<uint32_t>(*m).value_or(0) : 0;
  };
  const uint32_t width = dimension("width");
  const uint32_t height = dimension("height");
  const uint64_t expected = uint64_t{width} * height * 4;
  if (width == 0 || height == 0 || expected > kMaxClipboardImageBytes) {
    throw std::runtime_error(kInvalidImage);
  }
  // One byte past the image is enough to know the body is too long.
  std::vector<uint8_t> pixels;
  pixels.reserve(static_cast<size_t>(std::min<uint64_t>(expected, uint64_t{1} << 26)));
  while (request != nullptr && pixels.size() <= expected) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBodyPiece, expected + 1 - pixels.size()));
    const std::string piece = request->read(want);
    if (piece.empty()) break;
    pixels.insert(pixels.end(), piece.begin(), piece.end());
  }
  if (pixels.size() != expected) throw std::runtime_error(kInvalidImage);
  writeClipboardImage(pixels, width, height);
  return ok();
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::startListening(const json&,
                                                                    http::HttpRequest*) {
  return jsonReply(startClipboardMonitor() ? "true" : "false");
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::stopListening(const json&,
                                                                   http::HttpRequest*) {
  if (isClipboardMonitorRunning()) stopClipboardMonitor();
  return ok();
}

std::shared_ptr<http::HttpResponse> ClipboardPlugin::isListening(const json&, http::HttpRequest*) {
  return jsonReply(isClipboardMonitorRunning() ? "true" : "false");
}

void registerClipboardPlugin() {
  registerPluginOnce<ClipboardPlugin>();
}

}  // namespace zrk::plugin
