// The clipboard plugin ("clipboard"): pages read and write text (UTF-8 on their side) and images
// (32-bit RGBA rows, top row first, on their side; device-independent bitmaps on the clipboard),
// ask whether text or an image is there, and start, stop and query the change listener
// (clipboard-monitor.h). Every command that touches the content opens the clipboard for that one
// operation.
//
// Foreign image blocks are checked against their size before a pixel is read: a block whose header
// does not fit, or whose rows run past its end, gives no image and the next format is tried.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class ClipboardPlugin : public Plugin {
  VESK_DECLARE_CLASS(ClipboardPlugin, Plugin, "zrk::plugin")

 public:
  ClipboardPlugin();
  ~ClipboardPlugin() override = default;

  // A std::exception out of a command answers 400 with its text.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  static std::shared_ptr<http::HttpResponse> isAvailable(const nlohmann::json&, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> getText(const nlohmann::json&, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> setText(const nlohmann::json&, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> getImage(const nlohmann::json&, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> setImage(const nlohmann::json&, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> startListening(const nlohmann::json&, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> stopListening(const nlohmann::json&, http::HttpRequest*);
  static std::shared_ptr<http::HttpResponse> isListening(const nlohmann::json&, http::HttpRequest*);
};

// Kind 1 (text) or 4 (image) present; false for every other kind.
bool clipboardHasKind(int kind);
// Throws std::runtime_error "Failed to open clipboard" when it cannot be opened.
std::string readClipboardText();
void writeClipboardText(const std::string& text);
// Throws "Failed to open clipboard." when it cannot be opened; false when no format gives an image.
bool readClipboardImage(std::vector<uint8_t>& pixels, uint32_t& width, uint32_t& height);
void writeClipboardImage(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height);
std::string convertCodePage(const char* bytes, size_t length, unsigned fromCodePage,
                            unsigned toCodePage);

// Reads one DIB block (CF_DIB or CF_DIBV5) into RGBA rows, top row first. False, with nothing
// read past the block, for a block it cannot take.
bool decodeDib(const uint8_t* block, size_t size, std::vector<uint8_t>& pixels, uint32_t& width,
               uint32_t& height);

// The largest image "set_image" takes: width x height x 4 bytes with the biggest header must fit a
// block.
inline constexpr uint64_t kMaxClipboardImageBytes = (uint64_t{1} << 31) - 1 - 124;

void registerClipboardPlugin();

}  // namespace zrk::plugin
