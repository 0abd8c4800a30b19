#include "zrkwebview/browser/src/http-plugins/printer/printer-plugin.h"

#include <stdexcept>
#include <string_view>

#include "desk/spooler.h"
#include "vesk/tstring.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-message.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/webview.h"

namespace zrk::plugin {

namespace {

using json = nlohmann::json;

std::shared_ptr<http::HttpResponse> status(int code, const std::string& text) {
  return std::make_shared<http::HttpStatusResponse>(code, text);
}

std::shared_ptr<http::HttpResponse> jsonReply(const json& value) {
  return std::make_shared<http::HttpMimeResponse>(
      value.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// The name in a 64-unit slot, up to its first NUL or the end of the slot.
std::string slotText(const char16_t (&slot)[64]) {
  size_t n = 0;
  while (n < 64 && slot[n] != 0) ++n;
  return Vesk::TString(slot, n).utf8String();
}

json paperRecord(const desk::PaperRecord& paper) {
  // Tenths of a millimetre to whole millimetres, cut towards zero.
  return json{{"id", paper.code},
              {"name", slotText(paper.name)},
              {"width", paper.width / 10},
              {"height", paper.height / 10},
              {"unit", "mm"}};
}

}  // namespace

int printerStatusCode(uint32_t word) {
  if (word == 0) return 0;
  if (word & desk::PRINTER_STATUS_BUSY) return 1;
  if (word & desk::PRINTER_STATUS_DOOR_OPEN) return 2;
  if (word & desk::PRINTER_STATUS_OFFLINE) return 3;
  if (word & desk::PRINTER_STATUS_WAITING) return 4;
  if (word & desk::PRINTER_STATUS_WARMING_UP) return 5;
  if (word & desk::PRINTER_STATUS_NOT_AVAILABLE) return 7;
  return 6;
}

json listPaperSizes(const std::string& printer) {
  const auto papers = desk::currentSpooler()->papers(printer);
  if (!papers || papers->empty()) {
    throw std::runtime_error("Failed to retrieve paper sizes for " + printer);
  }
  json list = json::array();
  for (const desk::PaperRecord& paper : *papers) list.push_back(paperRecord(paper));
  return list;
}

json listPrinters(bool fullinfo) {
  json result;  // null
  auto spooler = desk::currentSpooler();
  const auto printers = spooler->printers();
  if (!printers || printers->empty()) return result;
  const std::string defaultName = spooler->defaultPrinter();
  for (const desk::PrinterRecord& p : *printers) {
    const bool color = p.defaults ? p.defaults->color == desk::DMCOLOR_COLOR
                                  : spooler->colorDevice(p.name) == 1;
    json record{{"name", p.name},
                {"driver", p.driver},
                {"port", p.port},
                {"status", printerStatusCode(p.status)},
                {"default", !defaultName.empty() && p.name == defaultName},
                {"color", color},
                {"attributes", p.attributes}};
    if (p.server) record["server"] = *p.server;
    if (p.location) record["location"] = *p.location;
    if (fullinfo) {
      try {
        json papers = listPaperSizes(p.name);
        record["supportedPapers"] = papers;
        if (p.defaults) {
          for (const json& paper : papers) {
            if (paper["id"].get<int>() == p.defaults->paperSize) {
              record["defaultPaper"] = paper;
              break;
            }
          }
        }
      } catch (const std::exception&) {
        // A printer whose papers cannot be read is listed without them.
      }
    }
    result.push_back(std::move(record));
  }
  return result;
}

std::shared_ptr<http::HttpResponse> PrinterPlugin::list(const json& payload) {
  return jsonReply(listPrinters(payload::boolOr(payload, "fullinfo", false)));
}

std::shared_ptr<http::HttpResponse> PrinterPlugin::papers(const json& payload) {
  const std::string printer = payload::stringOr(payload, "printer");
  if (printer.empty()) return status(400, std::string("Missing printer name"));
  return jsonReply(listPaperSizes(printer));
}

std::shared_ptr<http::HttpResponse> PrinterPlugin::print(const json& payload,
                                                         zrk::Webview* webview) {
  webview->print(payload);
  return status(200, std::string("OK"));
}

std::shared_ptr<Vesk::TObject> PrinterPlugin::invoke(const std::string& command,
                                                     zrk::Webview* webview,
                                                     http::HttpResponseConnection* connection,
                                                     http::HttpRequest* request,
                                                     const json& payload) {
  (void)connection;
  if (webview == nullptr || request == nullptr) return nullptr;
  const CommandTable table{
      {"list", [](const json& p, zrk::Webview*, http::HttpRequest*) { return list(p); }},
      {"papers", [](const json& p, zrk::Webview*, http::HttpRequest*) { return papers(p); }},
      {"print", [](const json& p, zrk::Webview* w, http::HttpRequest*) { return print(p, w); }},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

void registerPrinterPlugin() {
  registerPluginOnce<PrinterPlugin>("printer", "Printer plugin", "1.0");
}

}  // namespace zrk::plugin
