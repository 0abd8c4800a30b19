// The "printer" plugin through its invoke: printer and paper records over a fake spooler, the
// refusals, "print" handing its options to the webview, the mapping of CUPS states and media, and
// the CUPS side itself against a private print server with two queues.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/spooler.h"
#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/printer/printer-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using json = nlohmann::json;
using zrk::plugin::PrinterPlugin;

desk::PaperRecord paper(int16_t code, int32_t width, int32_t height, const std::u16string& name) {
  desk::PaperRecord p;
  p.code = code;
  p.width = width;
  p.height = height;
  for (size_t i = 0; i < name.size() && i < 64; ++i) p.name[i] = name[i];
  return p;
}

class FakeSpooler : public desk::PrintSpooler {
 public:
  struct Entry {
    desk::PrinterRecord record;
    int colorDevice = 0;
    std::optional<std::vector<desk::PaperRecord>> papers;
  };
  std::optional<std::vector<Entry>> entries = std::vector<Entry>{};
  std::string defaultName;

  std::optional<std::vector<desk::PrinterRecord>> printers() override {
    if (!entries) return std::nullopt;
    std::vector<desk::PrinterRecord> out;
    for (const Entry& e : *entries) out.push_back(e.record);
    return out;
  }
  std::string defaultPrinter() override { return defaultName; }
  int colorDevice(const std::string& name) override {
    const Entry* e = find(name);
    return e ? e->colorDevice : -1;
  }
  std::optional<std::vector<desk::PaperRecord>> papers(const std::string& name) override {
    const Entry* e = find(name);
    return e ? e->papers : std::nullopt;
  }

 private:
  const Entry* find(const std::string& name) const {
    if (!entries) return nullptr;
    for (const Entry& e : *entries) {
      if (e.record.name == name) return &e;
    }
    return nullptr;
  }
};

class PrintingWebview : public pel::test::FakeWebview {
 public:
  void print(const json& options) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (failure) throw std::runtime_error(*failure);
    printed.push_back(options);
  }
  std::mutex mutex;
  std::vector<json> printed;
  std::optional<std::string> failure;
};

struct Reply {
  bool empty = true;
  int status = 0;
  std::string text;
  std::string mime;
  std::string body;
  json value() const { return json::parse(body); }
};

class PrinterPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    spooler_ = std::make_shared<FakeSpooler>();
    desk::setSpooler(spooler_);
  }
  void TearDown() override { desk::setSpooler(nullptr); }

  Reply run(const std::string& command, const json& payload) {
    pel::test::FakeRequest request("POST", "https://app.local/plugin");
    auto result = plugin_.invoke(command, &webview_, nullptr, &request, payload);
    Reply reply;
    if (!result) return reply;
    reply.empty = false;
    auto* response = dynamic_cast<http::HttpResponse*>(result.get());
    EXPECT_NE(response, nullptr);
    reply.status = response->status();
    reply.text = response->statusMessage();
    if (auto* mime = dynamic_cast<http::HttpMimeResponse*>(response)) {
      reply.mime = mime->mimeType();
      reply.body = mime->body();
    }
    return reply;
  }

  // Three printers: a colour one with a device mode whose papers include a duplicate code and a
  // name that fills its slot; one without a device mode; one whose papers cannot be read.
  void seedOffice() {
    FakeSpooler::Entry office;
    office.record.name = "Office Colour";
    office.record.driver = "HP Color LaserJet";
    office.record.port = "ipp://10.0.0.5/ipp/print";
    office.record.location = "";
    office.record.status = 0;
    office.record.attributes = 0x244;
    office.record.defaults = desk::PrinterDefaults{desk::DMCOLOR_COLOR, 9};
    const std::u16string full(64, u'W');
    office.papers = std::vector<desk::PaperRecord>{
        paper(1, 2159, 2794, u"Letter"),
        paper(9, 2100, 2970, u"A4"),
        paper(9, 2100, 2970, u"A4 (again)"),
        paper(256, -15, 9, full),
        paper(-3, 1000, 1000, u"Gr\u00fc\u00dfe \U0001F5A8"),
    };
    FakeSpooler::Entry laser;
    laser.record.name = "Laser";
    laser.record.driver = "Generic PCL";
    laser.record.port = "usb://Generic/PCL";
    laser.record.server = "printhost";
    laser.record.status = 0x280;
    laser.record.attributes = 0x40;
    laser.colorDevice = 1;
    laser.papers = std::vector<desk::PaperRecord>{paper(9, 2100, 2970, u"A4")};
    FakeSpooler::Entry broken;
    broken.record.name = "Broken";
    broken.record.status = 0x1;
    broken.record.defaults = desk::PrinterDefaults{desk::DMCOLOR_MONOCHROME, 9};
    broken.colorDevice = 1;  // the device mode decides, not the device
    FakeSpooler::Entry none;
    none.record.name = "No Papers";
    none.papers = std::vector<desk::PaperRecord>{};
    spooler_->entries = std::vector<FakeSpooler::Entry>{office, laser, broken, none};
    spooler_->defaultName = "Laser";
  }

  PrinterPlugin plugin_;
  PrintingWebview webview_;
  std::shared_ptr<FakeSpooler> spooler_;
};

TEST_F(PrinterPluginTest, StatusClasses) {
  const std::pair<uint32_t, int> cases[] = {
      {0, 0},          {0x280, 1},    {0x200, 1},   {0x400080, 2}, {0x80, 3}, {0x2000, 4},
      {0x10000, 5},    {0x1000, 7},   {0x1, 6},     {0x8, 6},      {0x1081, 3},
  };
  for (const auto& [word, code] : cases) {
    EXPECT_EQ(zrk::plugin::printerStatusCode(word), code) << std::hex << word;
  }
}

TEST_F(PrinterPluginTest, ListsPrintersWithAndWithoutPapers) {
  seedOffice();
  const Reply plain = run("list", json::object());
  ASSERT_EQ(plain.status, 200);
  EXPECT_EQ(plain.mime, "application/json");
  const json printers = plain.value();
  ASSERT_EQ(printers.size(), 4u);
  EXPECT_EQ(printers[0], (json{{"name", "Office Colour"},
                               {"driver", "HP Color LaserJet"},
                               {"port", "ipp://10.0.0.5/ipp/print"},
                               {"status", 0},
                               {"default", false},
                               {"color", true},
                               {"attributes", 0x244},
                               {"location", ""}}));
  EXPECT_EQ(printers[1], (json{{"name", "Laser"},
                               {"driver", "Generic PCL"},
                               {"port", "usb://Generic/PCL"},
                               {"status", 1},
                               {"default", true},
                               {"color", true},
                               {"attributes", 0x40},
                               {"server", "printhost"}}));
  EXPECT_EQ(printers[2]["color"], false);
  EXPECT_EQ(printers[2]["status"], 6);
  // A "fullinfo" that is not a boolean lists without papers.
  EXPECT_EQ(run("list", {{"fullinfo", "true"}}).value(), printers);
  EXPECT_EQ(run("list", json::array({true})).value(), printers);

  const json full = run("list", {{"fullinfo", true}}).value();
  ASSERT_EQ(full.size(), 4u);
  const json& office = full[0]["supportedPapers"];
  ASSERT_EQ(office.size(), 5u);
  EXPECT_EQ(office[0], (json{{"id", 1}, {"name", "Letter"}, {"width", 215}, {"height", 279},
                             {"unit", "mm"}}));
  // The name that fills its 64-unit slot is whole and does not run into the next one.
  EXPECT_EQ(office[3]["name"], std::string(64, 'W'));
  EXPECT_EQ(office[3]["width"], -1);  // cut towards zero
  EXPECT_EQ(office[3]["height"], 0);
  EXPECT_EQ(office[4]["name"], "Gr\u00fc\u00dfe \U0001F5A8");
  EXPECT_EQ(office[4]["id"], -3);
  // Of two papers with the device mode's code, the first.
  EXPECT_EQ(full[0]["defaultPaper"], office[1]);
  // No device mode: papers, never a default paper.
  EXPECT_EQ(full[1]["supportedPapers"].size(), 1u);
  EXPECT_FALSE(full[1].contains("defaultPaper"));
  // Papers that cannot be read, or none: neither key, and the listing goes on.
  EXPECT_FALSE(full[2].contains("supportedPapers"));
  EXPECT_FALSE(full[2].contains("defaultPaper"));
  EXPECT_FALSE(full[3].contains("supportedPapers"));
  EXPECT_EQ(full[3]["name"], "No Papers");

  // Without a default printer nothing is the default.
  spooler_->defaultName.clear();
  for (const json& p : run("list", json::object()).value()) EXPECT_EQ(p["default"], false);
}

TEST_F(PrinterPluginTest, NoPrintersIsNull) {
  EXPECT_EQ(run("list", json::object()).body, "null");
  spooler_->entries.reset();  // the spooler cannot be asked
  const Reply r = run("list", {{"fullinfo", true}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "null");
}

TEST_F(PrinterPluginTest, PapersAndItsRefusals) {
  seedOffice();
  const Reply ok = run("papers", {{"printer", "Laser"}});
  ASSERT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, R"([{"height":297,"id":9,"name":"A4","unit":"mm","width":210}])");

  struct Case {
    json payload;
    const char* text;
  };
  const Case cases[] = {
      {json::object(), "Missing printer name"},
      {{{"printer", 5}}, "Missing printer name"},
      {{{"printer", ""}}, "Missing printer name"},
      {json("Laser"), "Missing printer name"},
      {{{"printer", "Broken"}}, "Failed to retrieve paper sizes for Broken"},
      {{{"printer", "No Papers"}}, "Failed to retrieve paper sizes for No Papers"},
      {{{"printer", "100% gone"}}, "Failed to retrieve paper sizes for 100% gone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload.dump());
    const Reply r = run("papers", c.payload);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.text, c.text);
  }
  EXPECT_TRUE(run("scan", json::object()).empty);
  pel::test::FakeRequest request;
  EXPECT_EQ(plugin_.invoke("list", nullptr, nullptr, &request, json::object()), nullptr);
  EXPECT_EQ(plugin_.invoke("list", &webview_, nullptr, nullptr, json::object()), nullptr);
}

TEST_F(PrinterPluginTest, PrintHandsTheOptionsToTheWebview) {
  const json options{{"printer", "Laser"}, {"copies", 2}, {"handler", 17}, {"extra", {1, 2}}};
  const Reply r = run("print", options);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.text, "OK");
  ASSERT_EQ(webview_.printed.size(), 1u);
  EXPECT_EQ(webview_.printed[0], options);

  webview_.failure = "printing failed: 50% done";
  const Reply failed = run("print", options);
  EXPECT_EQ(failed.status, 400);
  EXPECT_EQ(failed.text, "printing failed: 50% done");
}

TEST(CupsMappingTest, MediaCodesStatesAndNameSlots) {
  const std::pair<const char*, int16_t> media[] = {
      {"na_letter_8.5x11in", 1}, {"iso_a4_210x297mm", 9}, {"na_legal_8.5x14in", 5},
      {"iso_a3_297x420mm", 8},   {"iso_a5_148x210mm", 11}, {"jis_b5_182x257mm", 13},
      {"na_number-10_4.125x9.5in", 20}, {"custom_min_76.2x127mm", 0}, {"", 0},
      {"oe_photo-l_3.5x5in", 0},
  };
  for (const auto& [name, code] : media) EXPECT_EQ(desk::paperCodeForMedia(name), code) << name;

  struct State {
    int state;
    std::vector<std::string> reasons;
    bool accepting;
    uint32_t word;
  };
  const State states[] = {
      {3, {"none"}, true, 0},
      {4, {}, true, desk::PRINTER_STATUS_BUSY},
      {5, {"paused"}, true, desk::PRINTER_STATUS_PAUSED},
      {3, {"door-open-error"}, true, desk::PRINTER_STATUS_DOOR_OPEN},
      {3, {"offline-report"}, true, desk::PRINTER_STATUS_OFFLINE},
      {3, {"media-jam-error", "toner-low-warning"}, true,
       desk::PRINTER_STATUS_PAPER_JAM | desk::PRINTER_STATUS_TONER_LOW},
      {3, {}, false, desk::PRINTER_STATUS_NOT_AVAILABLE},
      {4, {"offline"}, true, desk::PRINTER_STATUS_BUSY | desk::PRINTER_STATUS_OFFLINE},
      {3, {"com.vendor-thing-report"}, true, 0},
  };
  for (const State& s : states) {
    EXPECT_EQ(desk::statusWordForCupsState(s.state, s.reasons, s.accepting), s.word);
  }
  // The plugin's classes over those words: busy wins, then door, offline.
  EXPECT_EQ(zrk::plugin::printerStatusCode(desk::statusWordForCupsState(5, {}, true)), 6);
  EXPECT_EQ(zrk::plugin::printerStatusCode(desk::statusWordForCupsState(3, {}, false)), 7);

  char16_t slot[64];
  desk::fillNameSlot(std::string(63, 'a') + "\U0001F5A8", slot);  // the pair would straddle the end
  EXPECT_EQ(slot[62], u'a');
  EXPECT_EQ(slot[63], 0);
  desk::fillNameSlot("ok\xff", slot);  // not UTF-8: replaced, never passed on
  EXPECT_EQ(std::u16string(slot, 3), u"ok\uFFFD");
  EXPECT_EQ(slot[3], 0);
}

}  // namespace

namespace {

// A print server of our own: cupsd with its configuration, two queues and their PPDs in a
// scratch folder, listening on a socket there. Skipped where cupsd is not installed.
class PrivateCupsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (access("/usr/sbin/cupsd", X_OK) != 0) return;
    char pattern[] = "/tmp/pel-cups-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    root_ = pattern;
    for (const char* d : {"ppd", "cache", "spool", "log", "tmp", "run"}) {
      std::filesystem::create_directory(root_ + "/" + d);
    }
    write("cups-files.conf", "ServerRoot " + root_ + "\nCacheDir " + root_ +
                                 "/cache\nDataDir /usr/share/cups\nStateDir " + root_ +
                                 "/run\nRequestRoot " + root_ + "/spool\nTempDir " + root_ +
                                 "/tmp\nServerBin /usr/lib/cups\nAccessLog " + root_ +
                                 "/log/access_log\nErrorLog " + root_ +
                                 "/log/error_log\nPageLog " + root_ +
                                 "/log/page_log\nFileDevice Yes\n");
    write("cupsd.conf", "Listen " + root_ +
                            "/cups.sock\nLogLevel warn\nBrowsing Off\nDefaultAuthType None\n"
                            "DefaultPaperSize None\n"
                            "<Location />\nOrder allow,deny\nAllow all\n</Location>\n");
    write("printers.conf",
          "<DefaultPrinter Colour>\nInfo Colour queue\nLocation Room 1\nMakeModel Pel Colour\n"
          "DeviceURI file:///dev/null\nState Idle\nAccepting Yes\nShared No\n</DefaultPrinter>\n"
          "<Printer Mono>\nInfo Mono queue\nMakeModel Pel Mono\nDeviceURI file:///dev/null\n"
          "State Stopped\nStateMessage Paused\nReason paused\nAccepting Yes\nShared No\n"
          "</Printer>\n");
    write("ppd/Colour.ppd", ppd("Colour", true, "A4"));
    write("ppd/Mono.ppd", ppd("Mono", false, "Letter"));

    const std::string conf = root_ + "/cupsd.conf", files = root_ + "/cups-files.conf";
    const std::string log = root_ + "/log/stderr";
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // The socket appears once the server listens.
    for (int i = 0; i < 200 && pid_ > 0; ++i) {
      struct stat st;
      if (stat((root_ + "/cups.sock").c_str(), &st) == 0) {
        ready_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    setenv("CUPS_SERVER", (root_ + "/cups.sock").c_str(), 1);
  }

  static void TearDownTestSuite() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "no private print server (cupsd) could be started";
    desk::setSpooler(nullptr);
  }

  static void write(const std::string& name, const std::string& text) {
    std::ofstream(root_ + "/" + name) << text;
  }

  static std::string ppd(const std::string& name, bool colour, const std::string& paper) {
    std::string text =
        "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
        "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"PEL.PPD\"\n"
        "*Manufacturer: \"Pel\"\n*Product: \"(Pel " + name + ")\"\n*ModelName: \"Pel " + name +
        "\"\n*ShortNickName: \"Pel " + name + "\"\n*NickName: \"Pel " + name + "\"\n"
        "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: " +
        (colour ? "True" : "False") + "\n*DefaultColorSpace: " + (colour ? "RGB" : "Gray") +
        "\n*FileSystem: False\n*Throughput: \"1\"\n*LandscapeOrientation: Plus90\n"
        "*TTRasterizer: Type42\n";
    for (const char* kw : {"PageSize", "PageRegion"}) {
      text += std::string("*OpenUI *") + kw + ": PickOne\n*OrderDependency: 10 AnySetup *" + kw +
              "\n*Default" + kw + ": " + paper + "\n*" + kw +
              " Letter/US Letter: \"<</PageSize[612 792]>>setpagedevice\"\n*" + kw +
              " A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n*CloseUI: *" + kw + "\n";
    }
    text += "*DefaultImageableArea: " + paper +
            "\n*ImageableArea Letter/US Letter: \"18 18 594 774\"\n"
            "*ImageableArea A4/A4: \"18 18 577 824\"\n*DefaultPaperDimension: " + paper +
            "\n*PaperDimension Letter/US Letter: \"612 792\"\n*PaperDimension A4/A4: \"595 842\"\n";
    if (colour) {
      text +=
          "*OpenUI *ColorModel/Color Mode: PickOne\n*OrderDependency: 10 AnySetup *ColorModel\n"
          "*DefaultColorModel: RGB\n*ColorModel Gray/Grayscale: \"<</cupsColorSpace 0>>"
          "setpagedevice\"\n*ColorModel RGB/Color: \"<</cupsColorSpace 1>>setpagedevice\"\n"
          "*CloseUI: *ColorModel\n";
    }
    text += "*DefaultResolution: 300dpi\n*DefaultFont: Courier\n"
            "*Font Courier: Standard \"(1.0)\" Standard ROM\n";
    return text;
  }

  Reply run(const std::string& command, const json& payload) {
    pel::test::FakeRequest request("POST", "https://app.local/plugin");
    PrintingWebview webview;
    auto result = plugin_.invoke(command, &webview, nullptr, &request, payload);
    Reply reply;
    if (!result) return reply;
    reply.empty = false;
    auto* response = dynamic_cast<http::HttpResponse*>(result.get());
    reply.status = response->status();
    reply.text = response->statusMessage();
    if (auto* mime = dynamic_cast<http::HttpMimeResponse*>(response)) reply.body = mime->body();
    return reply;
  }

  static inline std::string root_;
  static inline pid_t pid_ = -1;
  static inline bool ready_ = false;
  PrinterPlugin plugin_;
};

// The paper of that code in a list, or null.
json paperWithId(const json& papers, int id) {
  for (const json& p : papers) {
    if (p["id"] == id) return p;
  }
  return nullptr;
}

TEST_F(PrivateCupsTest, ListAndPapersMatchTheQueues) {
  const Reply r = run("list", {{"fullinfo", true}});
  ASSERT_EQ(r.status, 200) << r.text;
  const json printers = r.value();
  ASSERT_TRUE(printers.is_array()) << r.body;
  ASSERT_EQ(printers.size(), 2u) << r.body;
  const json& colour = printers[0]["name"] == "Colour" ? printers[0] : printers[1];
  const json& mono = printers[0]["name"] == "Colour" ? printers[1] : printers[0];
  SCOPED_TRACE(r.body);
  EXPECT_EQ(colour["name"], "Colour");
  EXPECT_EQ(colour["driver"], "Pel Colour");
  EXPECT_EQ(colour["port"], "file:///dev/null");
  EXPECT_EQ(colour["location"], "Room 1");
  EXPECT_EQ(colour["status"], 0);
  EXPECT_EQ(colour["default"], true);
  EXPECT_EQ(colour["color"], true);
  EXPECT_FALSE(colour.contains("server"));
  EXPECT_EQ(mono["name"], "Mono");
  EXPECT_EQ(mono["default"], false);
  EXPECT_EQ(mono["color"], false);
  EXPECT_EQ(mono["status"], 6);  // stopped: paused

  for (const json* p : {&colour, &mono}) {
    const json& papers = (*p)["supportedPapers"];
    EXPECT_EQ(paperWithId(papers, 1)["width"], 215);
    EXPECT_EQ(paperWithId(papers, 1)["height"], 279);
    EXPECT_EQ(paperWithId(papers, 9)["width"], 210);
    EXPECT_EQ(paperWithId(papers, 9)["height"], 297);
    for (const json& paper : papers) {
      EXPECT_FALSE(paper["name"].get<std::string>().empty());
      EXPECT_EQ(paper["unit"], "mm");
    }
    // "papers" answers the same list.
    EXPECT_EQ(run("papers", {{"printer", (*p)["name"]}}).value(), papers);
  }
  EXPECT_EQ(colour["defaultPaper"]["id"], 9);
  EXPECT_EQ(mono["defaultPaper"]["id"], 1);

  const Reply unknown = run("papers", {{"printer", "Nowhere"}});
  EXPECT_EQ(unknown.status, 400);
  EXPECT_EQ(unknown.text, "Failed to retrieve paper sizes for Nowhere");
}

}  // namespace
