// The printer plugin ("printer"): the printers the spooler knows with their state and
// capabilities, the paper sizes of one printer, and printing the page that asks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

class PrinterPlugin : public Plugin {
  VESK_DECLARE_CLASS(PrinterPlugin, Plugin, "zrk::plugin")

 public:
  PrinterPlugin() = default;
  ~PrinterPlugin() override = default;

  // Empty without a webview or a request, and for a command the plugin does not have. A
  // std::exception out of a command answers 400 with its what().
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  static std::shared_ptr<http::HttpResponse> list(const nlohmann::json& payload);
  static std::shared_ptr<http::HttpResponse> papers(const nlohmann::json& payload);
  // Hands the payload to the webview's print operation and answers 200 "OK" at once; the page
  // learns the outcome on the channel its options name.
  static std::shared_ptr<http::HttpResponse> print(const nlohmann::json& payload,
                                                   zrk::Webview* webview);
};

void registerPrinterPlugin();

// The printer records in the spooler's order, or null when there is none.
nlohmann::json listPrinters(bool fullinfo);
// The paper records of a printer; throws std::runtime_error "Failed to retrieve paper sizes for
// <name>" when the printer's paper sizes cannot be read or it has none.
nlohmann::json listPaperSizes(const std::string& printer);
// The status class (0 to 7) of a status word.
int printerStatusCode(uint32_t status);

}  // namespace zrk::plugin
