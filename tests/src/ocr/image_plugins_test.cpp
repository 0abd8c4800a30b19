// The "ocr" and "imaging" plugins with a scripted recognizer and the fake codec library: option
// kinds, the pixel body rules, languages, sizes, and the replies.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "src/codec-library.h"
#include "src/plugins/imaging/imaging-plugin.h"
#include "src/plugins/ocr/ocr-plugin.h"
#include "tests/src/ocr/fake_recognizer.h"
#include "tests/support/fake_rastcore/fake_rastcore.h"
#include "tests/support/http_fakes.h"
#include "vesk/crypto.h"
#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/shared-data-store.h"

namespace fs = std::filesystem;
using nlohmann::json;
using pel::test::FakeRequest;
using pel::test::RecordingConnection;

namespace {

class FakeCodecFolder {
 public:
  FakeCodecFolder() {
    std::string templ = fs::temp_directory_path().string() + "/ocr-plugin-XXXXXX";
    path_ = mkdtemp(templ.data());
    fs::copy_file(FAKE_RASTCORE, path_ + "/" + zrk::CodecLibrary::kFileName);
  }
  ~FakeCodecFolder() { fs::remove_all(path_); }
  std::string library() const { return path_ + "/" + zrk::CodecLibrary::kFileName; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Reply {
  int status = 0;
  std::string message;
  std::string body;
};

// Runs one command and turns its response into status, message and body.
Reply run(zrk::plugin::Plugin& plugin, const std::string& command, const json& payload,
          FakeRequest* request = nullptr) {
  FakeRequest empty("POST");
  auto result = plugin.invoke(command, nullptr, nullptr, request ? request : &empty, payload);
  Reply reply;
  if (!result) return reply;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
  EXPECT_TRUE(response);
  reply.status = response->status();
  reply.message = response->statusMessage();
  while (!response->isEnd()) reply.body += response->read(1 << 16);
  return reply;
}

class ImagePlugins : public testing::Test {
 protected:
  ImagePlugins()
      : codec_(folder_.path()), fake_(folder_.library()), recognizer_(new FakeRecognizer),
        scope_(recognizer_) {
    fake_.reset();
    recognizer_->result.lines.push_back(
        zrk::ocr::RawLine{"Hi there", {zrk::ocr::WordBox{"Hi", 1, 2, 3, 4}}});
  }
  FakeCodecFolder folder_;
  zrk::CodecLibrary codec_;
  FakeRastcore fake_;
  std::shared_ptr<FakeRecognizer> recognizer_;
  RecognizerScope scope_;
};

TEST_F(ImagePlugins, OptionKinds) {
  zrk::plugin::OcrPlugin ocr(&codec_);
  const std::string kMissing = "width and height must be specified";
  const std::string kSize = "image data size must be equal to width * height * 4";
  struct Row {
    const char* name;
    json payload;
    std::string body;
    int status;
    std::string message;
  };
  const Row rows[] = {
      {"width as a string", {{"width", "2"}, {"height", 2}}, std::string(16, 'x'), 400, kMissing},
      {"width 2.9 counts as 2", {{"width", 2.9}, {"height", 2}}, std::string(16, 'x'), 200, ""},
      {"path as a number is missing", {{"path", 5}, {"height", 2}}, "", 400, kMissing},
      {"15 bytes for 2x2", {{"width", 2}, {"height", 2}}, std::string(15, 'x'), 400, kSize},
      {"16 bytes for 2x2", {{"width", 2}, {"height", 2}}, std::string(16, 'x'), 200, ""},
      {"negative width", {{"width", -2}, {"height", 2}}, std::string(16, 'x'), 400, kMissing},
      {"empty path: pixel branch with nothing",
       {{"path", ""}},
       "",
       400,
       "[2147942487] The bitmap size is not valid"},
      {"product wraps in 32 bits", {{"width", 65536}, {"height", 16384}}, "", 400,
       "[2147942487] image too large for text recognition (65536 x 16384)"},
      {"over 100 megapixels", {{"width", 20000}, {"height", 20000}}, "", 400,
       "[2147942487] image too large for text recognition (20000 x 20000)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeRequest request("POST");
    request.withBody(row.body);
    const Reply reply = run(ocr, "recognize_text", row.payload, &request);
    EXPECT_EQ(reply.status, row.status);
    if (row.status != 200) {
      EXPECT_EQ(reply.message, row.message);
    }
  }
  EXPECT_EQ(fake_.calls(), "");  // no row read a file
}

TEST_F(ImagePlugins, TooLargeIsRefusedBeforeTheBodyIsRead) {
  zrk::plugin::OcrPlugin ocr(&codec_);
  FakeRequest request("POST");
  request.withBody(std::string(100, 'x'));
  run(ocr, "recognize_text", {{"width", 40000}, {"height", 100}}, &request);
  EXPECT_TRUE(request.readSizes.empty());
}

TEST_F(ImagePlugins, RecognizesPixelsAndAnswersSortedJson) {
  zrk::plugin::OcrPlugin ocr(&codec_);
  FakeRequest request("POST");
  request.withBody("0123456789abcdef");
  const Reply reply = run(
      ocr, "recognize_text",
      {{"width", 2}, {"height", 2}, {"languages", {"de-DE", 5, "en-US"}}, {"custom_words", {"a"}}},
      &request);
  ASSERT_EQ(reply.status, 200) << reply.message;
  EXPECT_EQ(reply.body,
            R"([{"anchors":[{"x":1.0,"y":2.0},{"x":4.0,"y":2.0}],)"
            R"("bounds":{"height":4.0,"width":3.0,"x":1.0,"y":2.0},"confidence":1.0,"text":"Hi there"}])");
  EXPECT_EQ(recognizer_->pixelsSeen, "0123456789abcdef");
  // Only the first requested tag is tried, then the profile.
  EXPECT_EQ(recognizer_->asked, (std::vector<std::string>{"de-DE", "en-US"}));
}

TEST_F(ImagePlugins, ReadsTheBodyInPiecesOf8096) {
  zrk::plugin::OcrPlugin ocr(&codec_);
  FakeRequest request("POST");
  request.withBody(std::string(8096, '\x7f'));  // 46 x 44 pixels
  const Reply reply = run(ocr, "recognize_text", {{"width", 46}, {"height", 44}}, &request);
  EXPECT_EQ(reply.status, 200) << reply.message;
  EXPECT_EQ(request.readSizes, (std::vector<size_t>{8096, 8096}));

  FakeRequest pieces("POST");
  pieces.withBodyPieces({std::string(8096, 'a'), std::string(8096, 'b'), std::string(8, 'c')});
  EXPECT_EQ(zrk::plugin::readRequestBody(&pieces).size(), 16200u);
}

TEST_F(ImagePlugins, PathGoesThroughTheThumbnailReader) {
  zrk::plugin::OcrPlugin ocr(&codec_);
  fake_.script("c_get_image_info", 1, R"({"width":100,"height":50,"orientedWidth":50,"orientedHeight":100})");
  fake_.script("c_read_thumbnail", 1, "PNGBYTES");
  FakeRequest request("POST");
  request.withBody(std::string(16, 'x'));
  const Reply reply =
      run(ocr, "recognize_text", {{"path", "/tmp/a.png"}, {"width", 2}, {"height", 2}}, &request);
  EXPECT_EQ(reply.status, 200) << reply.message;
  EXPECT_TRUE(request.readSizes.empty());  // width, height and the body are not used
  EXPECT_EQ(recognizer_->encodedSeen, "PNGBYTES");
  EXPECT_NE(fake_.calls().find("c_read_thumbnail path=\"/tmp/a.png\""), std::string::npos)
      << fake_.calls();
  EXPECT_NE(fake_.calls().find("option=19"), std::string::npos) << fake_.calls();
  EXPECT_EQ(fake_.outstanding(), 0);

  // A file the codec cannot read, and one too large, are refused before the recognizer.
  fake_.script("c_get_image_info", 0, "", "not an image");
  EXPECT_EQ(run(ocr, "recognize_text", {{"path", "/tmp/b.txt"}}).message, "Failed to read image");
  fake_.script("c_get_image_info", 1, R"({"width":100,"height":40000,"orientedWidth":40000,"orientedHeight":100})");
  EXPECT_EQ(run(ocr, "recognize_text", {{"path", "/tmp/c.png"}}).message,
            "[2147942487] image too large for text recognition (40000 x 100)");
  EXPECT_EQ(fake_.outstanding(), 0);
}

TEST_F(ImagePlugins, LanguagesAndSupport) {
  zrk::plugin::OcrPlugin ocr(&codec_);
  recognizer_->languages = {{"de", "German"}, {"en", "English"}};
  EXPECT_EQ(run(ocr, "supported_languages", json()).body,
            R"([{"name":"German","tag":"de"},{"name":"English","tag":"en"}])");
  EXPECT_EQ(run(ocr, "is_supported", json()).body, "true");
  EXPECT_EQ(run(ocr, "supports_auto_language", json()).body, "false");
  recognizer_->languages.clear();
  EXPECT_EQ(run(ocr, "supported_languages", json()).body, "null");
  EXPECT_EQ(run(ocr, "is_supported", json()).body, "false");
  EXPECT_FALSE(ocr.invoke("no_such_command", nullptr, nullptr, nullptr, json()));
}

TEST_F(ImagePlugins, ImagingAnswersEmptyResults) {
  zrk::plugin::ImagingPlugin imaging(&codec_);
  EXPECT_EQ(run(imaging, "features", json()).body, "[]");
  fake_.script("c_read_thumbnail", 1, "PNG");
  EXPECT_EQ(run(imaging, "person_mask", {{"path", "/tmp/a.png"}, {"quality", "high"}}).body, "{}");
  EXPECT_EQ(run(imaging, "person_mask", json::object()).message,
            "width and height must be specified");
  FakeRequest request("POST");
  request.withBody(std::string(63, 'x'));
  EXPECT_EQ(run(imaging, "person_mask", {{"width", 4}, {"height", 4}}, &request).message,
            "image data size must be equal to width * height * 4");
  fake_.script("c_read_thumbnail", 0, "", "cannot");
  EXPECT_EQ(run(imaging, "person_mask", {{"path", "/tmp/x.png"}}).message, "Failed to read image");
  EXPECT_EQ(fake_.outstanding(), 0);
}

TEST_F(ImagePlugins, AMaskWithBytesIsHandedOverOnce) {
  zrk::plugin::PersonMask mask;
  mask.width = 2;
  mask.height = 1;
  mask.stride = 2;
  mask.mask = {7, 9};
  const json answer = zrk::plugin::ImagingPlugin::describeMask(mask);
  EXPECT_EQ(answer["size"], 2);
  EXPECT_EQ(answer["stride"], 2);
  std::string bytes;
  ASSERT_TRUE(zrk::SharedDataStore::read(answer["uid"].get<std::string>(), bytes));
  EXPECT_EQ(bytes, std::string("\x07\x09", 2));
  EXPECT_FALSE(zrk::SharedDataStore::read(answer["uid"].get<std::string>(), bytes));
}

TEST_F(ImagePlugins, RegisteredUnderTheirNames) {
  zrk::plugin::registerOcrPlugin();
  zrk::plugin::registerImagingPlugin();
  auto ocr = zrk::plugin::PluginRegistry::find("ocr");
  auto imaging = zrk::plugin::PluginRegistry::find("imaging");
  ASSERT_TRUE(ocr && imaging);
  EXPECT_STREQ(ocr->className(), "OcrPlugin");
  EXPECT_EQ(ocr->description(), "OCR Plugin");
  EXPECT_EQ(imaging->description(), "image processing Plugin");
  EXPECT_EQ(imaging->version(), "1.0.0");
}

}  // namespace

namespace {

TEST_F(ImagePlugins, ThroughThePluginEndpoint) {
  zrk::plugin::registerOcrPlugin();
  http::HttpPluginHandler handler;
  auto call = [&](const std::string& event, const std::string& body) {
    FakeRequest request("POST", "https://app.local/plugin?name=ocr&event=" + event);
    request.withHeader("Content-Type", "application/octet-stream")
        .withHeader("zrk-payload-options", Vesk::base64Encode(std::string(R"({"width":2,"height":2})")))
        .withBody(body);
    RecordingConnection connection;
    handler.handlePost(&request, &connection);
    return std::make_pair(connection.status, connection.body);
  };
  const auto ok = call("recognize_text", std::string(16, 'x'));
  EXPECT_EQ(ok.first, 200);
  EXPECT_NE(ok.second.find("\"text\":\"Hi there\""), std::string::npos) << ok.second;
  EXPECT_EQ(call("recognize_text", std::string(15, 'x')).first, 400);
  EXPECT_EQ(call("no_such_command", "").first, 420);
}

}  // namespace
