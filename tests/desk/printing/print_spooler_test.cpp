#include "desk/print_spooler.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <cups/cups.h>
#include <gtest/gtest.h>

namespace desk {
namespace {

namespace fs = std::filesystem;

PrintJob job(const std::string& printer, const std::string& path) {
  PrintJob j;
  j.printer = printer;
  j.pdfPath = path;
  j.title = "doc";
  return j;
}

TEST(FakeJobSpooler, PrintersJobsAndRefusals) {
  test::FakeJobSpooler fake;
  fake.setPrinter({"office", PrinterState::Kind::Idle, true});
  fake.setPrinter({"closed", PrinterState::Kind::Idle, false});
  fake.setDefaultPrinter("office");
  EXPECT_EQ(fake.defaultPrinter(), "office");
  EXPECT_FALSE(fake.printer("nowhere").has_value());
  std::string error;
  EXPECT_EQ(fake.submit(job("nowhere", "/tmp/x.pdf"), &error), 0);
  EXPECT_EQ(fake.submit(job("closed", "/tmp/x.pdf"), &error), 0);
  EXPECT_FALSE(error.empty());
  fake.setNewJobState(JobState::Aborted);
  PrintJob colour = job("office", "/tmp/x.pdf");
  colour.copies = 3;
  const int id = fake.submit(colour, &error);
  ASSERT_GT(id, 0);
  EXPECT_EQ(fake.jobState("office", id), JobState::Aborted);
  ASSERT_EQ(fake.jobs().size(), 1u);
  EXPECT_EQ(fake.jobs()[0].copies, 3);
  EXPECT_EQ(fake.jobState("office", 99), JobState::Unknown);

  test::setPrintJobSpooler(std::make_shared<test::FakeJobSpooler>(fake));
  EXPECT_EQ(printJobSpooler()->defaultPrinter(), "office");
  test::setPrintJobSpooler(nullptr);
}

TEST(PrintJobSpooler, CustomMediaNamesTruncateMillimetres) {
  EXPECT_EQ(customMediaName(210, 297), "Custom.210x297mm");
  EXPECT_EQ(customMediaName(215.9, 279.4), "Custom.215x279mm");
}

// ---- a private CUPS server ----

class CupsServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (access("/usr/sbin/cupsd", X_OK) != 0) return;
    char pattern[] = "/tmp/pelmora-cups.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    // The daemon's helpers may run as another user: the folder must be reachable.
    chmod(dir_.c_str(), 0755);
    for (const char* sub : {"spool", "cache", "state", "log", "tmp", "out"}) {
      fs::create_directories(dir_ / sub);
    }
    chmod((dir_ / "out").c_str(), 0777);
    socket_ = (dir_ / "cups.sock").string();
    std::ofstream(dir_ / "cupsd.conf")
        << "Listen " << socket_ << "\nLogLevel warn\nWebInterface No\nDefaultAuthType None\n"
        << "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
        << "<Policy default>\n  <Limit All>\n    Order deny,allow\n    Allow all\n"
        << "    AuthType None\n  </Limit>\n</Policy>\n";
    std::ofstream(dir_ / "cups-files.conf")
        << "FileDevice Yes\nServerRoot " << dir_.string() << "\nRequestRoot "
        << (dir_ / "spool").string() << "\nTempDir " << (dir_ / "tmp").string() << "\nCacheDir "
        << (dir_ / "cache").string() << "\nStateDir " << (dir_ / "state").string()
        << "\nErrorLog " << (dir_ / "log/error_log").string() << "\nAccessLog "
        << (dir_ / "log/access_log").string() << "\nPageLog "
        << (dir_ / "log/page_log").string() << "\n";
    const std::string conf = (dir_ / "cupsd.conf").string();
    const std::string files = (dir_ / "cups-files.conf").string();
    pid_ = fork();
    if (pid_ == 0) {
      execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && !fs::exists(socket_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    setenv("CUPS_SERVER", socket_.c_str(), 1);
    cupsSetServer(socket_.c_str());
    ready_ = fs::exists(socket_) && addQueue("raw") && addQueue("paused") &&
             addQueue("rejecting");
    if (ready_) {
      ready_ = adminRequest(IPP_OP_PAUSE_PRINTER, "paused") &&
               adminRequest(IPP_OP_CUPS_REJECT_JOBS, "rejecting");
    }
  }
  static void TearDownTestSuite() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (!dir_.empty()) {
      std::error_code ec;
      fs::remove_all(dir_, ec);
    }
    unsetenv("CUPS_SERVER");
    cupsSetServer(nullptr);
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "no private CUPS server (cupsd missing or refused to start)";
  }

  static std::string uri(const std::string& queue) {
    return "ipp://localhost/printers/" + queue;
  }
  static bool addQueue(const std::string& queue) {
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 uri(queue).c_str());
    const std::string device = "file://" + (dir_ / "out" / (queue + ".out")).string();
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, device.c_str());
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
    ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
    ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
    return cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
  }
  static bool adminRequest(ipp_op_t op, const std::string& queue) {
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 uri(queue).c_str());
    ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
    return cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
  }
  static int jobCopies(int id) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    const std::string job = "ipp://localhost/jobs/" + std::to_string(id);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, job.c_str());
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    int copies = -1;
    if (response) {
      if (ipp_attribute_t* a = ippFindAttribute(response, "copies", IPP_TAG_INTEGER))
        copies = ippGetInteger(a, 0);
      ippDelete(response);
    }
    return copies;
  }
  std::string pdf() {
    const fs::path p = dir_ / "tmp" / "doc.pdf";
    std::ofstream(p) << "%PDF-1.4\n%%EOF\n";
    return p.string();
  }

  static inline fs::path dir_;
  static inline std::string socket_;
  static inline pid_t pid_ = -1;
  static inline bool ready_ = false;
};

TEST_F(CupsServer, JobArrivesWithItsCopies) {
  std::shared_ptr<PrintJobSpooler> cups = makeCupsJobSpooler();
  const std::optional<PrinterState> raw = cups->printer("raw");
  ASSERT_TRUE(raw.has_value());
  EXPECT_TRUE(raw->accepting);
  EXPECT_NE(raw->state, PrinterState::Kind::Stopped);
  std::string error;
  PrintJob two = job("raw", pdf());
  two.copies = 2;
  two.colorMode = 1;
  two.paperWidthMm = 210;
  two.paperHeightMm = 297;
  const int id = cups->submit(two, &error);
  ASSERT_GT(id, 0) << error;
  EXPECT_EQ(jobCopies(id), 2);
  JobState state = JobState::Unknown;
  for (int i = 0; i < 400; ++i) {
    state = cups->jobState("raw", id);
    if (state == JobState::Completed || state == JobState::Aborted) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_NE(state, JobState::Unknown);
}

TEST_F(CupsServer, UnknownStoppedAndRejectingQueues) {
  std::shared_ptr<PrintJobSpooler> cups = makeCupsJobSpooler();
  EXPECT_FALSE(cups->printer("no-such-queue").has_value());
  const std::optional<PrinterState> paused = cups->printer("paused");
  ASSERT_TRUE(paused.has_value());
  EXPECT_EQ(paused->state, PrinterState::Kind::Stopped);
  const std::optional<PrinterState> rejecting = cups->printer("rejecting");
  ASSERT_TRUE(rejecting.has_value());
  EXPECT_FALSE(rejecting->accepting);
  std::string error;
  EXPECT_EQ(cups->submit(job("rejecting", pdf()), &error), 0);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(cups->submit(job("no-such-queue", pdf()), &error), 0);
}

}  // namespace
}  // namespace desk
