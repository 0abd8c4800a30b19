// The recognition rules with a scripted recognizer: boxes and anchors from word rectangles, the
// turning by a reported angle, engine choice, the user's profile languages and the error forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "src/plugins/ocr/ocr-engine.h"
#include "tests/src/ocr/fake_recognizer.h"

using zrk::RecognizedLine;
using zrk::ocr::RawLine;
using zrk::ocr::RawResult;
using zrk::ocr::WordBox;

namespace {

RawResult twoWords(std::optional<double> angle) {
  RawResult raw;
  raw.textAngle = angle;
  raw.lines.push_back(RawLine{"Hello world", {WordBox{"Hello", 10, 20, 50, 12},
                                              WordBox{"world", 70, 18, 40, 15}}});
  return raw;
}

TEST(OcrRules, BoxAndAnchorsFromWords) {
  const auto lines = zrk::ocr::shapeLines(twoWords(std::nullopt), 200, 100);
  ASSERT_EQ(lines.size(), 1u);
  const RecognizedLine& l = lines[0];
  EXPECT_EQ(l.text, "Hello world");
  EXPECT_EQ(l.confidence, 1.0);
  EXPECT_FLOAT_EQ(l.x, 10);
  EXPECT_FLOAT_EQ(l.y, 18);
  EXPECT_FLOAT_EQ(l.width, 100);   // 110 - 10
  EXPECT_FLOAT_EQ(l.height, 15);   // 33 - 18
  ASSERT_EQ(l.anchors.size(), 2u);
  EXPECT_FLOAT_EQ(l.anchors[0].x, 10);  // top left of the first word
  EXPECT_FLOAT_EQ(l.anchors[0].y, 20);
  EXPECT_FLOAT_EQ(l.anchors[1].x, 110);  // top right of the last word
  EXPECT_FLOAT_EQ(l.anchors[1].y, 18);
}

TEST(OcrRules, AngleZeroOrAbsentLeavesBoxesAlone) {
  for (const std::optional<double> angle : {std::optional<double>(), std::optional<double>(0.0)}) {
    const auto a = zrk::ocr::shapeLines(twoWords(angle), 200, 100);
    const auto b = zrk::ocr::shapeLines(twoWords(std::nullopt), 200, 100);
    EXPECT_EQ(a[0].x, b[0].x);
    EXPECT_EQ(a[0].anchors[1].x, b[0].anchors[1].x);
  }
}

TEST(OcrRules, NinetyDegreesTurnsAboutTheCentre) {
  RawResult raw;
  raw.textAngle = 90.0;
  raw.lines.push_back(RawLine{"x", {WordBox{"x", 10, 20, 0, 0}}});
  const auto lines = zrk::ocr::shapeLines(raw, 200, 100);
  // (10, 20) about (100, 50) by 90 degrees is (130, -40).
  EXPECT_NEAR(lines[0].anchors[0].x, 130, 1e-4);
  EXPECT_NEAR(lines[0].anchors[0].y, -40, 1e-4);
  EXPECT_NEAR(lines[0].x, 130, 1e-4);
  EXPECT_NEAR(lines[0].y, -40, 1e-4);
}

TEST(OcrRules, LineWithoutWordsHasAnEmptyBox) {
  RawResult raw;
  raw.lines.push_back(RawLine{"", {}});
  const auto lines = zrk::ocr::shapeLines(raw, 200, 100);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].x, 0);
  EXPECT_EQ(lines[0].y, 0);
  EXPECT_EQ(lines[0].width, 0);
  EXPECT_EQ(lines[0].height, 0);
  EXPECT_EQ(lines[0].anchors[0].x, 0);
  EXPECT_EQ(lines[0].anchors[1].y, 0);
  // Turned, the box stays empty; the anchors turn about the centre as points do.
  raw.textAngle = 90.0;
  const auto turned = zrk::ocr::shapeLines(raw, 200, 100);
  EXPECT_EQ(turned[0].width, 0);
  EXPECT_NEAR(turned[0].anchors[0].x, 150, 1e-4);
  EXPECT_NEAR(turned[0].anchors[0].y, -50, 1e-4);
}

struct ChoiceCase {
  const char* name;
  std::vector<std::string> requested;
  std::map<std::string, std::string> models;
  std::vector<std::string> profile;
  std::string expectedModel;  // "" : fails with "No OCR engine available"
  std::vector<std::string> expectedAsked;
};

TEST(OcrRules, EngineChoice) {
  const ChoiceCase cases[] = {
      {"requested tag present", {"de-DE", "en-US"}, {{"de-DE", "deu"}, {"en-US", "eng"}},
       {"en-US"}, "deu", {"de-DE"}},
      {"only the first tag is tried, then the profile", {"de-DE", "en-US"}, {{"en-US", "eng"}},
       {"fr-FR", "en-US"}, "eng", {"de-DE", "fr-FR", "en-US"}},
      {"no request: the profile's first language", {}, {{"fr-FR", "fra"}}, {"fr-FR"}, "fra",
       {"fr-FR"}},
      {"nothing installed for anyone", {"de-DE"}, {}, {"en-US"}, "", {"de-DE", "en-US"}},
  };
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRecognizer engine;
    engine.models = c.models;
    engine.profile = c.profile;
    FakeBitmap bitmap(10, 10);
    if (c.expectedModel.empty()) {
      try {
        zrk::ocr::recognizeBitmap(engine, bitmap, c.requested, nullptr);
        ADD_FAILURE() << "no error";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "No OCR engine available");
      }
    } else {
      zrk::ocr::recognizeBitmap(engine, bitmap, c.requested, nullptr);
      EXPECT_EQ(engine.usedLanguage, c.expectedModel);
    }
    EXPECT_EQ(engine.asked, c.expectedAsked);
  }
}

TEST(OcrRules, ProfileLanguagesFromTheEnvironment) {
  struct Row {
    std::map<std::string, std::string> env;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {{}, {"en"}},
      {{{"LANG", "C"}}, {"en"}},
      {{{"LANG", "POSIX"}, {"LANGUAGE", "de"}}, {"en"}},  // LANGUAGE is ignored in the C locale
      {{{"LANG", "de_DE.UTF-8"}}, {"de-DE"}},
      {{{"LANG", "en_US.UTF-8"}, {"LC_ALL", "fr_FR@euro"}}, {"fr-FR"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "it_IT.UTF-8"}}, {"it-IT"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "pt_BR:pt:de_DE"}}, {"pt-BR", "pt", "de-DE"}},
  };
  for (const Row& row : rows) {
    auto get = [&](const char* name) -> const char* {
      auto it = row.env.find(name);
      return it == row.env.end() ? nullptr : it->second.c_str();
    };
    EXPECT_EQ(zrk::ocr::profileLanguagesFromEnvironment(get), row.expected);
  }
}

TEST(OcrRules, ErrorForms) {
  auto engine = std::make_shared<FakeRecognizer>();
  RecognizerScope scope(engine);
  auto message = [&] {
    try {
      zrk::recognizeText(std::vector<uint8_t>(16, 0), 2, 2, {"en"});
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  engine->failure = [] { throw zrk::ocr::RecognizerError(zrk::ocr::kInvalidArgument, "bad"); };
  EXPECT_EQ(message(), "[2147942487] bad");
  engine->failure = [] { throw std::invalid_argument("plain"); };
  EXPECT_EQ(message(), "plain");
  engine->failure = [] { throw 42; };
  EXPECT_EQ(message(), "Error in recognizeText");
  engine->failure = nullptr;
  EXPECT_EQ(message(), "no error");
  // A tag the recognizer cannot read at all comes back with its code.
  try {
    zrk::recognizeText(std::vector<uint8_t>(16, 0), 2, 2, {"!!"});
    ADD_FAILURE();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "[2147942487] bad tag");
  }
}

}  // namespace
