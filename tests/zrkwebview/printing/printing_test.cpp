#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "desk/print_spooler.h"
#include "zrkwebview/browser/src/printing/print-settings.h"

namespace zrk {
namespace {

using nlohmann::json;

TEST(PrintSettings, ReadingTheOptions) {
  PrintSettings s = readPrintSettings(json::parse(
      R"({"handler":7,"paperWidth":210,"paperHeight":297.9,"marginLeft":12.9,"copies":"3",
          "header":"ignored","footer":"ignored","orientation":1,"scaleFactor":0.5,
          "printer":"office","colorMode":2})"));
  EXPECT_EQ(s.handler, std::optional<uint32_t>(7));
  EXPECT_EQ(s.paperWidth, 210);
  EXPECT_EQ(s.paperHeight, 297);  // truncated
  EXPECT_EQ(s.marginLeft, 12);
  EXPECT_EQ(s.copies, 1);         // not a number: the default
  EXPECT_TRUE(s.header.empty());  // only read with drawHeaderAndFooter
  EXPECT_EQ(s.orientation, 1);
  EXPECT_DOUBLE_EQ(s.scaleFactor, 0.5);
  EXPECT_DOUBLE_EQ(millimetresToInches(254), 10.0);

  s = readPrintSettings(json::parse(R"({"drawHeaderAndFooter":true,"header":"T","handler":-1,
                                        "marginTop":1e300})"));
  EXPECT_EQ(s.header, "T");
  EXPECT_FALSE(s.handler.has_value());  // no callback: no outcome goes anywhere
  EXPECT_EQ(s.marginTop, std::numeric_limits<int>::max());
  EXPECT_EQ(checkPrintSettings(s), printFailed(2, "Paper size missed."));
  EXPECT_EQ(printFailed(2, "Paper size missed."),
            json::parse(R"({"result":false,"error":{"code":2,"message":"Paper size missed."}})"));
}

TEST(PrintSettings, PrinterSideOutcomes) {
  desk::test::FakeJobSpooler spooler;
  spooler.setPrinter({"office", desk::PrinterState::Kind::Idle, true});
  spooler.setPrinter({"stopped", desk::PrinterState::Kind::Stopped, true});
  spooler.setPrinter({"closed", desk::PrinterState::Kind::Idle, false});
  spooler.setDefaultPrinter("office");
  PrintSettings s = readPrintSettings(json::parse(R"({"paperWidth":210,"paperHeight":297,
                                                      "copies":2,"orientation":1})"));
  // An empty name prints on the default printer, with the job's own settings.
  PrintStart start = startPrintJob(s, "/tmp/doc.pdf", spooler);
  EXPECT_FALSE(start.outcome.has_value());
  EXPECT_EQ(start.printer, "office");
  ASSERT_EQ(spooler.jobs().size(), 1u);
  EXPECT_EQ(spooler.jobs()[0].copies, 2);
  EXPECT_TRUE(spooler.jobs()[0].landscape);
  EXPECT_EQ(spooler.defaultPrinter(), "office");

  for (const char* name : {"stopped", "closed", "nowhere"}) {
    SCOPED_TRACE(name);
    s.printer = name;
    EXPECT_EQ(startPrintJob(s, "/tmp/doc.pdf", spooler).outcome,
              printFailed(3, "Printer is unavailable."));
  }
  s.printer = "office";
  spooler.refuseJobs("quota");
  EXPECT_EQ(startPrintJob(s, "/tmp/doc.pdf", spooler).outcome, printFailed(5, "Failed to print"));
  EXPECT_EQ(spooler.defaultPrinter(), "office");  // never changed

  struct Case {
    desk::JobState state;
    std::optional<json> outcome;
  } cases[] = {
      {desk::JobState::Pending, std::nullopt},
      {desk::JobState::Processing, std::nullopt},
      {desk::JobState::Completed, printSucceeded()},
      {desk::JobState::Cancelled, printFailed(4, "Aborted.")},
      {desk::JobState::Stopped, printFailed(3, "Printer is unavailable.")},
      {desk::JobState::Aborted, printFailed(5, "Failed to print")},
      {desk::JobState::Unknown, printFailed(5, "Failed to print")},
  };
  for (const Case& c : cases) EXPECT_EQ(jobOutcome(c.state), c.outcome);
}

}  // namespace
}  // namespace zrk
