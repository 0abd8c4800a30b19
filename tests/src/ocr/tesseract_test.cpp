// Recognition on the real Tesseract with the English model: a line of known text rendered here,
// given as RGBA pixels and as a file; the language list of a data folder; inputs it must refuse.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "src/codec-library.h"
#include "src/plugins/ocr/ocr-engine.h"
#include "src/plugins/ocr/ocr-plugin.h"
#include "tests/support/http_fakes.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace fs = std::filesystem;
using nlohmann::json;
using pel::test::FakeRequest;
using pel::test::RecordingConnection;

namespace {

const char* kPackageModels = "/usr/share/tesseract-ocr/5/tessdata";
const char* kText = "Pelmora reads this line";

class Scratch {
 public:
  Scratch() {
    std::string templ = fs::temp_directory_path().string() + "/ocr-real-XXXXXX";
    path_ = mkdtemp(templ.data());
  }
  ~Scratch() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string programFolder() {
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

// Renders text in black DejaVu Sans on white with ImageMagick.
void render(const std::string& path, const std::string& size, const std::string& text) {
  const std::string command = "/usr/bin/convert -size " + size +
                              " xc:white -font /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
                              " -pointsize 40 -fill black -annotate +30+70 '" + text + "' " + path;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class Tesseract : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new Scratch;
    render(scratch_->file("line.png"), "800x110", kText);
  }
  static void TearDownTestSuite() { delete scratch_; }
  void SetUp() override {
    previous_ = zrk::ocr::setRecognizer(zrk::ocr::makeTesseractRecognizer(kPackageModels));
  }
  void TearDown() override { zrk::ocr::setRecognizer(previous_); }

  static Scratch* scratch_;
  std::shared_ptr<zrk::ocr::Recognizer> previous_;
};
Scratch* Tesseract::scratch_ = nullptr;

void expectTheLine(const std::vector<zrk::RecognizedLine>& lines, float width, float height) {
  ASSERT_EQ(lines.size(), 1u);
  const zrk::RecognizedLine& line = lines[0];
  EXPECT_EQ(line.text, kText);
  EXPECT_GT(line.x, 0);
  EXPECT_GT(line.y, 0);
  EXPECT_LT(line.x + line.width, width);
  EXPECT_LT(line.y + line.height, height);
  ASSERT_EQ(line.anchors.size(), 2u);
  // The anchors sit at the ends of the line: the box's left edge and its right edge.
  EXPECT_FLOAT_EQ(line.anchors[0].x, line.x);
  EXPECT_FLOAT_EQ(line.anchors[1].x, line.x + line.width);
  EXPECT_NEAR(line.anchors[0].y, line.y, 12);
}

TEST_F(Tesseract, RecognizesPixelsAndFiles) {
  zrk::CodecLibrary codec(programFolder());
  int32_t length = 0;
  unsigned char* rgba =
      codec.readImageRgba(scratch_->file("line.png").c_str(), &length, 0, 0, 800, 110, true);
  ASSERT_NE(rgba, nullptr) << codec.getLastError();
  std::vector<uint8_t> pixels(rgba, rgba + length);
  codec.freeResource(rgba);
  ASSERT_EQ(pixels.size(), 800u * 110u * 4u);
  expectTheLine(zrk::recognizeText(pixels, 800, 110, {"en-US"}), 800, 110);

  // The same file through the plugin's "path": the codec's oriented PNG.
  zrk::plugin::OcrPlugin plugin(&codec);
  auto result = plugin.invoke("recognize_text", nullptr, nullptr, nullptr,
                              json{{"path", scratch_->file("line.png")}});
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
  ASSERT_TRUE(response);
  ASSERT_EQ(response->status(), 200) << response->statusMessage();
  const json lines = json::parse(response->read(1 << 20));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["text"], kText);
  // A tag without a model here falls back to the profile, which is English.
  expectTheLine(zrk::recognizeText(pixels, 800, 110, {"de-DE"}), 800, 110);
}

TEST_F(Tesseract, LanguagesOfTheDataFolder) {
  Scratch folder;
  fs::create_symlink(std::string(kPackageModels) + "/eng.traineddata", folder.file("eng.traineddata"));
  fs::create_symlink(std::string(kPackageModels) + "/osd.traineddata", folder.file("osd.traineddata"));
  zrk::ocr::setRecognizer(zrk::ocr::makeTesseractRecognizer(folder.file("")));
  zrk::plugin::OcrPlugin plugin;
  auto answer = [&](const char* command) {
    auto response = std::dynamic_pointer_cast<http::HttpResponse>(
        plugin.invoke(command, nullptr, nullptr, nullptr, json()));
    return response->read(1 << 16);
  };
  EXPECT_EQ(answer("supported_languages"), R"([{"name":"English","tag":"en"}])");
  EXPECT_EQ(answer("is_supported"), "true");

  Scratch empty;
  zrk::ocr::setRecognizer(zrk::ocr::makeTesseractRecognizer(empty.file("")));
  EXPECT_EQ(answer("supported_languages"), "null");
  EXPECT_EQ(answer("is_supported"), "false");
}

TEST_F(Tesseract, RefusedInputs) {
  zrk::CodecLibrary codec(programFolder());
  zrk::plugin::OcrPlugin plugin(&codec);
  // Too wide for ImageMagick's default limits: written through the codec library.
  const std::vector<unsigned char> white(size_t(40000) * 100 * 4, 255);
  ASSERT_TRUE(codec.outputImage(scratch_->file("wide.png").c_str(),
                                R"({"width":40000,"height":100,"nchannels":4,"format":"uint8"})",
                                white.data(), int32_t(white.size()), nullptr))
      << codec.getLastError();
  std::ofstream(scratch_->file("notes.txt")) << "not an image\n";
  struct Row {
    json payload;
    std::string message;
  };
  const Row rows[] = {
      {{{"path", scratch_->file("wide.png")}},
       "[2147942487] image too large for text recognition (40000 x 100)"},
      {{{"path", scratch_->file("notes.txt")}}, "Failed to read image"},
      {{{"path", ""}}, "[2147942487] The bitmap size is not valid"},
  };
  for (const Row& row : rows) {
    auto response = std::dynamic_pointer_cast<http::HttpResponse>(
        plugin.invoke("recognize_text", nullptr, nullptr, nullptr, row.payload));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status(), 400);
    EXPECT_EQ(response->statusMessage(), row.message);
  }
  // Bytes no decoder reads.
  try {
    zrk::recognizeText(std::vector<uint8_t>{'n', 'o', 'p', 'e'}, {"en"});
    ADD_FAILURE();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "[2147942487] The image cannot be decoded");
  }
}

TEST_F(Tesseract, StopsWhenTheRequestIsCancelled) {
  zrk::CodecLibrary codec(programFolder());
  int32_t length = 0;
  unsigned char* rgba =
      codec.readImageRgba(scratch_->file("line.png").c_str(), &length, 0, 0, 800, 110, true);
  ASSERT_NE(rgba, nullptr);
  std::vector<uint8_t> pixels(rgba, rgba + length);
  codec.freeResource(rgba);
  try {
    zrk::recognizeText(pixels, 800, 110, {"en"}, [] { return true; });
    ADD_FAILURE();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "[2147943623] The operation was canceled");
  }
}

}  // namespace
