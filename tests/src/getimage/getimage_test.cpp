// "/getimage" against the fake codec library: the GET and POST frames, the option and body rules,
// every action's replies, write handles and conversion jobs.
#include "src/getimage-handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <set>
#include <thread>

#include "src/codec-library.h"
#include "zrkwebview/browser/src/http/http-body-buffer.h"
#include "support/fake_rastcore/fake_rastcore.h"
#include "vesk/log.h"
#include "tests/src/getimage/endpoint_support.h"
#include "zrkwebview/browser/src/http/handler-list.h"
#include "zrkwebview/browser/src/http/request-hooks.h"
#include "zrkwebview/browser/src/shared-data-store.h"

using endpoint::Reply;
using nlohmann::json;
using pel::test::FakeRequest;

namespace {

const std::string kUrl = "https://app.local/getimage";

class GetImageTest : public ::testing::Test {
 protected:
  void SetUp() override { fake.reset(); }

  Reply get(const std::string& query) {
    FakeRequest request("GET", kUrl + (query.empty() ? "" : "?" + query));
    return endpoint::get(handler, request);
  }
  Reply post(const json& options, std::vector<std::string> body = {}) {
    FakeRequest request("POST", kUrl);
    request.withHeader("zrk-image-options", endpoint::options(options)).withBodyPieces(body);
    return endpoint::post(handler, request);
  }
  Reply postRequest(FakeRequest& request) { return endpoint::post(handler, request); }

  http::HttpGetImageHandler handler;
  FakeRastcore fake{endpoint::programFolder() + "/librastcore.so"};
};

// Ten of A-Z, a-z, 0-9, then `digits` that are only digits (at least one when it is true).
bool handleShaped(const std::string& id, bool digits) {
  auto alnum = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  };
  if (id.size() < 10 || (digits ? id.size() == 10 : id.size() != 10)) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    if (i < 10 ? !alnum(id[i]) : (id[i] < '0' || id[i] > '9')) return false;
  }
  return true;
}

// --- the GET frame -----------------------------------------------------------------------------

TEST_F(GetImageTest, GetFrameRejectsWhatItCannotServe) {
  struct Case {
    std::string query;
    int status;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"", 400, "Missing path."},
      {"action=info&path=", 400, "Missing path."},
      {"action=getcount", 400, "Missing path."},
      {"path=/a.png", 400, "Bad request, unknown action: "},
      {"path=/a.png&action=", 400, "Bad request, unknown action: "},
      {"path=/a.png&action=Info", 400, "Bad request, unknown action: "},
      {"path=/a.png&action=info&subimage=x", 400, "Invalid number for \"subimage\": x"},
      {"path=/a.png&action=info&miplevel=99999999999", 400,
       "Number out of range for \"miplevel\": 99999999999"},
      {"path=/a%zz.png&action=info", 400, ""},  // the decoder's own text
      {"path=/a.png&action=supports", 400, "Missing features."},
  };
  for (const auto& c : cases) {
    const Reply r = get(c.query);
    EXPECT_EQ(r.status, c.status) << c.query;
    if (!c.reason.empty()) {
      EXPECT_EQ(r.reason, c.reason) << c.query;
      EXPECT_EQ(r.header("x-status-error"), c.reason) << c.query;
    } else {
      EXPECT_NE(r.reason.find("URI"), std::string::npos) << r.reason;
    }
    EXPECT_EQ(r.connection->protocolErrors(), "") << c.query;
  }
  EXPECT_EQ(fake.calls(), "");
}

TEST_F(GetImageTest, CancelledRequestIsAnsweredWithoutTheCodec) {
  FakeRequest request("GET", kUrl + "?action=info&path=/a.png");
  request.cancel();
  pel::test::RecordingConnection connection;
  EXPECT_TRUE(handler.handleGet(&request, &connection));
  EXPECT_EQ(connection.status, 0);
  const Reply r = endpoint::get(handler, request);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.reason, "request is cancelled");
  EXPECT_EQ(fake.calls(), "");
}

TEST_F(GetImageTest, QueryValuesReachTheCodecAsDecoded) {
  fake.script("c_get_image_info", 1, "{}");
  fake.script("c_read_image_rgba", 1, "px");
  fake.script("c_get_image_count", 2);
  struct Case {
    std::string query;
    std::string call;
  };
  const std::vector<Case> cases = {
      // "+" is a blank; a plus of the path arrives percent-encoded.
      {"action=info&path=/a+b.png", "c_get_image_info path=\"/a b.png\" subimage=0 miplevel=0"},
      {"action=info&path=/a%2Bb.png", "c_get_image_info path=\"/a+b.png\" subimage=0 miplevel=0"},
      // The frame takes the last of a name, the actions' own parameters the first.
      {"action=info&action=getcount&path=/a.png", "c_get_image_count path=\"/a.png\""},
      {"action=info&path=/a.png&subimage=1&subimage=2",
       "c_get_image_info path=\"/a.png\" subimage=2 miplevel=0"},
      {"action=getdata&path=/a.png&subimage=1&subimage=2",
       "c_read_image_rgba path=\"/a.png\" subimage=1 miplevel=0 width=0 height=0 "
       "fixOrientation=1"},
      // "2x" reads as 2 for the frame and the actions alike.
      {"action=info&path=/a.png&subimage=2x&miplevel=+1",
       "c_get_image_info path=\"/a.png\" subimage=2 miplevel=1"},
      {"action=getdata&path=/a.png&subimage=2x&miplevel=3&width=640&height=480&fixorientation=0",
       "c_read_image_rgba path=\"/a.png\" subimage=2 miplevel=3 width=640 height=480 "
       "fixOrientation=0"},
      {"action=getdata&path=/a.png&width=abc&fixorientation=",
       "c_read_image_rgba path=\"/a.png\" subimage=0 miplevel=0 width=0 height=0 "
       "fixOrientation=1"},
  };
  for (const auto& c : cases) {
    fake.reset();
    fake.script("c_get_image_info", 1, "{}");
    fake.script("c_read_image_rgba", 1, "px");
    fake.script("c_get_image_count", 2);
    const Reply r = get(c.query);
    EXPECT_EQ(r.status, 200) << c.query << " " << r.reason;
    const std::string calls = fake.calls();
    EXPECT_EQ(calls.substr(0, calls.find('\n')), c.call) << c.query;
  }
}

TEST_F(GetImageTest, SupportsHandsTheReadingFlagAndPassesTheTextThrough) {
  const std::string answer = R"({"format":"tiff","reading":true,"multiimage":true})";
  struct Case {
    std::string output;
    int reading;
  };
  for (const Case& c : std::vector<Case>{{"", 1}, {"&output=0", 1}, {"&output=abc", 1},
                                         {"&output=1", 0}, {"&output=-3", 0}}) {
    fake.reset();
    fake.script("c_check_format_supports", 1, answer);
    const Reply r = get("action=supports&path=/x.tif&features=multiimage,alpha" + c.output);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.type, "application/json");
    EXPECT_EQ(r.body, answer);
    EXPECT_EQ(fake.calls(), "c_check_format_supports path=\"/x.tif\" features=\"multiimage,alpha\" "
                            "reading=" + std::to_string(c.reading) + "\nc_free_resource\n")
        << c.output;
  }
  EXPECT_EQ(fake.outstanding(), 0);
}

TEST_F(GetImageTest, GetdataHandsTheCodecsBufferOverAndGivesItBackOnce) {
  // A connection that keeps whole bodies, as the engine's does until the last byte is sent.
  class Keeping : public pel::test::RecordingConnection, public http::HttpBodyTaker {
   public:
    bool takeBody(std::shared_ptr<const http::HttpBodyBuffer> whole) override {
      kept = std::move(whole);
      return true;
    }
    std::shared_ptr<const http::HttpBodyBuffer> kept;
  };
  const std::string pixels("\x10\x20\x30\x40\x50\x60\x70\x80", 8);
  fake.script("c_read_image_rgba", 1, pixels);
  Keeping connection;
  {
    FakeRequest request("GET", kUrl + "?action=getdata&path=/a.png");
    EXPECT_TRUE(handler.handleGet(&request, &connection));
  }
  EXPECT_EQ(connection.status, 200);
  EXPECT_EQ(connection.header("Content-Length"), "8");
  EXPECT_EQ(connection.writes, 0u) << "nothing copied through write";
  ASSERT_TRUE(connection.kept);
  EXPECT_EQ(std::string(connection.kept->data(), connection.kept->size()), pixels);
  EXPECT_EQ(fake.outstanding(), 1) << "the codec's own buffer travels";
  connection.kept.reset();
  EXPECT_EQ(fake.outstanding(), 0);
}

TEST_F(GetImageTest, ReadActionsAnswerTheCodecsBytesOrItsError) {
  const std::string info = R"({"format":"png","width":2})";
  const std::string pixels("\x01\x00\x02\xff", 4);
  fake.script("c_get_image_info", 1, info);
  fake.script("c_read_image_rgba", 1, pixels);
  fake.script("c_get_image_count", 0);

  Reply r = get("action=info&path=/a.png");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.type, "text/plain");
  EXPECT_EQ(r.body, info);
  r = get("action=getdata&path=/a.png");
  EXPECT_EQ(r.type, "application/octet-stream");
  EXPECT_EQ(r.body, pixels);
  // The count is not checked: 0 and negative numbers are answered like any other.
  r = get("action=getcount&path=/unreadable.png");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.type, "application/json");
  EXPECT_EQ(r.body, "0");
  fake.script("c_get_image_count", -4);
  EXPECT_EQ(get("action=getcount&path=/a.png").body, "-4");
  EXPECT_EQ(fake.outstanding(), 0);

  struct Case {
    std::string action, export_, reason;
  };
  for (const Case& c : std::vector<Case>{
           {"info", "c_get_image_info", "Failed to get image info: no such file"},
           {"supports&features=alpha", "c_check_format_supports",
            "Failed to check features: no such file"},
           {"getdata", "c_read_image_rgba", "Failed to read image data. Error: no such file"}}) {
    fake.script(c.export_, 0, "", "no such file");
    r = get("action=" + c.action + "&path=/a.png");
    EXPECT_EQ(r.status, 420);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(r.body, c.reason);  // the message also travels as the text body
  }
}

// --- the POST frame and the option rule ---------------------------------------------------------

TEST_F(GetImageTest, PostFrameRejectsBadOptions) {
  FakeRequest noHeader("POST", kUrl);
  noHeader.withBody("abc");
  pel::test::RecordingConnection connection;
  EXPECT_TRUE(handler.handlePost(&noHeader, &connection));
  EXPECT_EQ(connection.status, 400);
  EXPECT_EQ(connection.protocolErrors(), "");
  Reply r = postRequest(noHeader);
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.reason, "Bad request, missing zrk-image-options");
  EXPECT_TRUE(noHeader.readSizes.empty());

  FakeRequest plain("POST", kUrl);
  plain.withHeader("zrk-image-options", R"({"action":"cancel","jid":"j"})");
  r = postRequest(plain);
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.reason.find("parse_error"), std::string::npos) << r.reason;

  FakeRequest cancelled("POST", kUrl);
  cancelled.withHeader("zrk-image-options", endpoint::options({{"action", "cancel"}}));
  cancelled.cancel();
  r = postRequest(cancelled);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.reason, "request is cancelled");

  for (const json& options : {json::array({"output"}), json{{"action", 3}}, json{{"path", "/a"}},
                              json{{"action", "Output"}}, json{{"action", ""}}}) {
    r = post(options);
    EXPECT_EQ(r.status, 400) << options;
    EXPECT_EQ(r.reason, "Bad request, unknown action") << options;
  }
  EXPECT_EQ(fake.calls(), "");
}

TEST_F(GetImageTest, OutputReadsItsOptionsByKind) {
  fake.script("c_output_image", 1);
  struct Case {
    json options;
    std::string body;
    int status;
    std::string reason;
    std::string call;  // the codec call, empty for none
  };
  const std::string four = "abcd";
  const std::vector<Case> cases = {
      {{{"spec", "{}"}, {"length", "4"}}, four, 400, "Bad request, missing spec or length.", ""},
      {{{"spec", "{}"}, {"length", 0}}, four, 400, "Bad request, missing spec or length.", ""},
      {{{"spec", 7}, {"length", 4}}, four, 400, "Bad request, missing spec or length.", ""},
      {{{"spec", "{}"}, {"length", 4}, {"path", "/o.png"}}, "abc", 400, "Data length mismatch.",
       ""},
      {{{"spec", "{}"}, {"length", 4}, {"path", "/o.png"}}, "abcde", 400,
       "Data length mismatch.", ""},
      {{{"spec", "S"}, {"length", 4.9}, {"path", "/o.png"}, {"config", {{"b", 1}, {"a", "x"}}}},
       four, 200, "OK.",
       "c_output_image path=\"/o.png\" spec=\"S\" length=4 config=\"{\"a\":\"x\",\"b\":1}\""},
      {{{"spec", "S"}, {"length", 4}, {"config", 5}}, four, 200, "OK.",
       "c_output_image path=\"\" spec=\"S\" length=4 config=\"\""},
      {{{"spec", "S"}, {"length", 4}, {"config", "q=1"}}, four, 200, "OK.",
       "c_output_image path=\"\" spec=\"S\" length=4 config=\"q=1\""},
  };
  for (const auto& c : cases) {
    fake.reset();
    fake.script("c_output_image", 1);
    json options = c.options;
    options["action"] = "output";
    const Reply r = post(options, {c.body});
    EXPECT_EQ(r.status, c.status) << options;
    EXPECT_EQ(r.message, c.reason) << options;
    const std::string calls = fake.calls();
    EXPECT_EQ(calls.substr(0, calls.empty() ? 0 : calls.size() - 1), c.call) << options;
  }
  fake.script("c_output_image", 0, "", "disk full");
  const Reply r = post({{"action", "output"}, {"spec", "S"}, {"length", 4}}, {four});
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "Failed to output image: disk full");
}

TEST_F(GetImageTest, BodyIsReadInPiecesAndNotPastItsLength) {
  fake.script("c_output_image", 1);
  const json options = {{"action", "output"}, {"spec", "S"}, {"length", 16384}};
  // Exactly 16384 bytes: two reads, the second one empty.
  FakeRequest exact("POST", kUrl);
  exact.withHeader("zrk-image-options", endpoint::options(options))
      .withBody(std::string(16384, 'x'));
  EXPECT_EQ(postRequest(exact).status, 200);
  EXPECT_EQ(exact.readSizes, (std::vector<size_t>{16384, 16384}));

  // A short piece ends the body even when more would follow.
  FakeRequest shortPiece("POST", kUrl);
  shortPiece.withHeader("zrk-image-options", endpoint::options(options))
      .withBodyPieces({std::string(100, 'x'), std::string(16284, 'y')});
  EXPECT_EQ(postRequest(shortPiece).reason, "Data length mismatch.");
  EXPECT_EQ(shortPiece.readSizes.size(), 1u);

  // A body that passes its length is not read further.
  FakeRequest tooLong("POST", kUrl);
  tooLong.withHeader("zrk-image-options",
                     endpoint::options({{"action", "output"}, {"spec", "S"}, {"length", 10}}))
      .withBody(std::string(16384 * 8, 'x'));
  EXPECT_EQ(postRequest(tooLong).reason, "Data length mismatch.");
  EXPECT_EQ(tooLong.readSizes.size(), 1u);

  // A length beyond what the codec can take is refused before any read.
  for (const char* action : {"output", "encode", "write"}) {
    for (const json& length : {json(uint64_t(INT32_MAX) + 1), json(-1), json(1e20)}) {
      FakeRequest huge("POST", kUrl);
      huge.withHeader("zrk-image-options",
                      endpoint::options({{"action", action}, {"spec", "S"}, {"extension", "png"},
                                         {"handle", "h"}, {"specxml", "S"}, {"length", length}}))
          .withBody("abc");
      const Reply r = postRequest(huge);
      EXPECT_EQ(r.status, 400) << action << " " << length;
      EXPECT_EQ(r.reason, "Data too large.") << action << " " << length;
      EXPECT_TRUE(huge.readSizes.empty()) << action;
    }
  }
}

TEST_F(GetImageTest, EncodeAnswersTheEncodedBytes) {
  Reply r = post({{"action", "encode"}, {"spec", "S"}, {"length", 3}}, {"abc"});
  EXPECT_EQ(r.reason, "Bad request, missing spec or length or extension.");
  const std::string png("\x89PNG\r\n\x1a\n", 8);
  fake.script("c_encode_image", 1, png);
  r = post({{"action", "encode"}, {"spec", "S"}, {"extension", "png"}, {"length", 3}}, {"abc"});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.type, "application/octet-stream");
  EXPECT_EQ(r.body, png);
  EXPECT_EQ(fake.outstanding(), 0);
  fake.script("c_encode_image", 0, "", "bad spec");
  r = post({{"action", "encode"}, {"spec", "S"}, {"extension", "png"}, {"length", 3}}, {"abc"});
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "Failed to encode image: bad spec");
}

TEST_F(GetImageTest, SaveIndexedPngChecksInOrderAndReadsTheStore) {
  const std::string palette = zrk::SharedDataStore::write("\0\0\0\xff\xff\xff", 6, true);
  const std::string pixels = zrk::SharedDataStore::write("\0\1\1\0", 4, true);
  const json good = {{"action", "save_indexed_png"}, {"dst", "/p.png"}, {"width", 2},
                     {"height", 2}, {"colors", 2}, {"duid", pixels}, {"puid", palette}};
  struct Case {
    json patch;
    std::string reason;
  };
  for (const Case& c : std::vector<Case>{
           {{{"dst", ""}, {"colors", 0}}, "missing dst path"},
           {{{"colors", 0}}, "invalid number values"},
           {{{"width", "2"}}, "invalid number values"},
           {{{"height", uint64_t(INT32_MAX) + 1}}, "invalid number values"},
           {{{"width", -2}}, "invalid number values"},
           {{{"duid", ""}}, "missing data uid"},
       }) {
    json options = good;
    options.update(c.patch);
    const Reply r = post(options);
    EXPECT_EQ(r.status, 400) << c.patch;
    EXPECT_EQ(r.reason, c.reason) << c.patch;
  }
  EXPECT_EQ(fake.calls(), "");

  // A palette id the store lacks: the pixel entry is not read (still there afterwards).
  json options = good;
  options["puid"] = "no-such-id";
  EXPECT_EQ(post(options).reason, "missing palette data");
  std::string out;
  // A pixel id the store lacks: the palette entry, stored for one read, is gone.
  options = good;
  options["duid"] = "no-such-id";
  EXPECT_EQ(post(options).reason, "missing pixels data");
  EXPECT_FALSE(zrk::SharedDataStore::read(palette, out));

  const std::string palette2 = zrk::SharedDataStore::write("\0\0\0\xff\xff\xff", 6, false);
  options = good;
  options["puid"] = palette2;
  fake.script("c_write_indexed_png_file", 0, "", "index out of range");
  Reply r = post(options);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "false");
  EXPECT_EQ(r.header("X-Error-Reason"), "");
  EXPECT_EQ(fake.calls(),
            "c_write_indexed_png_file dst=\"/p.png\" width=2 height=2 colors=2 palette=set "
            "paletteLength=6 pixels=set pixelLength=4\n");

  fake.script("c_write_indexed_png_file", 1);
  options["duid"] = zrk::SharedDataStore::write("\0\1\1\0", 4, false);
  r = post(options);
  EXPECT_EQ(r.body, "true");
  EXPECT_EQ(r.type, "application/json");
}

TEST_F(GetImageTest, TransformAndOrientationAnswerABooleanAndTheReason) {
  Reply r = post({{"action", "transform"}, {"source", "/a.jpg"}});
  EXPECT_EQ(r.reason, "missing source or dest path");
  fake.script("c_transform", 0, "", "unknown transform 9");
  r = post({{"action", "transform"}, {"source", "/a.jpg"}, {"dest", "/b.jpg"}, {"transform", 9}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "false");
  EXPECT_EQ(r.header("X-Error-Reason"), "unknown transform 9");
  fake.script("c_transform", 1);
  r = post({{"action", "transform"}, {"source", "/a.jpg"}, {"dest", "/b.jpg"}, {"transform", 1}});
  EXPECT_EQ(r.body, "true");
  EXPECT_EQ(r.header("X-Error-Reason"), "");

  for (const json& orientation : {json(0), json("6"), json(nullptr)}) {
    json options = {{"action", "modify_orientation"}, {"source", "/a.jpg"}};
    if (!orientation.is_null()) options["orientation"] = orientation;
    EXPECT_EQ(post(options).reason, "Invalid orientation value.") << orientation;
  }
  EXPECT_EQ(post({{"action", "modify_orientation"}, {"orientation", 6}}).reason,
            "missing source path");

  fake.reset();
  fake.script("c_modify_jpeg_orientation", 1);
  fake.script("c_modify_orientation", 0, "", "not an image\r\nX: y");
  EXPECT_EQ(post({{"action", "modify_orientation"}, {"orientation", 6}, {"source", "/a.jpg"},
                  {"dest", ""}})
                .body,
            "true");
  r = post({{"action", "modify_orientation"}, {"orientation", -2}, {"source", "/a.jpg"},
            {"dest", "/b.jpg"}});
  EXPECT_EQ(r.body, "false");
  EXPECT_EQ(r.header("X-Error-Reason"), "not an image  X: y");
  EXPECT_EQ(fake.calls(),
            "c_modify_jpeg_orientation path=\"/a.jpg\" orientation=6\n"
            "c_modify_orientation source=\"/a.jpg\" dest=\"/b.jpg\" orientation=-2\n");
}

// --- write handles -----------------------------------------------------------------------------

TEST_F(GetImageTest, WriteHandleLifecycle) {
  fake.script("c_open_image_forwrite", 1);
  fake.script("c_write_image_subimage", 1);
  fake.script("c_close_image_forwrite", 1);
  Reply r = post({{"action", "open"},
                  {"path", "/out.tif"},
                  {"subimages", 2},
                  {"specsxml", {"A", "B"}}});
  ASSERT_EQ(r.status, 200) << r.reason;
  EXPECT_EQ(r.type, "application/json");
  const json answer = json::parse(r.body);
  ASSERT_EQ(answer.size(), 1u);
  const std::string id = answer.at("handle");
  EXPECT_TRUE(handleShaped(id, true)) << id;

  for (int sub : {0, 1}) {
    r = post({{"action", "write"}, {"handle", id}, {"subimage", sub}, {"specxml", "S"},
              {"length", 3}},
             {"abc"});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.message, "Subimage written successfully.");
    EXPECT_TRUE(r.connection->reasonIsNull);
  }
  r = post({{"action", "close"}, {"handle", id}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.message, "OK.");
  EXPECT_EQ(fake.calls(),
            "c_open_image_forwrite path=\"/out.tif\" subimages=2 specs=[\"A\",\"B\"]\n"
            "c_write_image_subimage handle=set subimage=0 spec=\"S\" length=3\n"
            "c_write_image_subimage handle=set subimage=1 spec=\"S\" length=3\n"
            "c_close_image_forwrite handle=set\n");

  r = post({{"action", "close"}, {"handle", id}});
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.reason, "Could not find handle.");
  r = post({{"action", "write"}, {"handle", id}, {"specxml", "S"}, {"length", 3}}, {"abc"});
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.reason, "Handle not found.");
}

TEST_F(GetImageTest, OpenCountsStringSpecsAgainstSubimages) {
  fake.script("c_open_image_forwrite", 1);
  fake.script("c_close_image_forwrite", 1);
  // One string and one number: one spec, as "subimages" (1 when absent) wants.
  Reply r = post({{"action", "open"}, {"path", "/a.png"}, {"specsxml", json::array({"A", 5})}});
  ASSERT_EQ(r.status, 200);
  post({{"action", "close"}, {"handle", json::parse(r.body).at("handle")}});
  r = post({{"action", "open"}, {"specsxml", {"A", "B"}}});
  EXPECT_EQ(r.reason, "Subimages and specsxml mismatch.");
  r = post({{"action", "open"}, {"subimages", 0}});
  fake.script("c_open_image_forwrite", 0, "", "no writer");
  r = post({{"action", "open"}, {"specsxml", {"A"}}});
  EXPECT_EQ(r.status, 420);
  EXPECT_EQ(r.reason, "Failed to open image for write.");
  EXPECT_EQ(fake.calls(),
            "c_open_image_forwrite path=\"/a.png\" subimages=1 specs=[\"A\"]\n"
            "c_close_image_forwrite handle=set\n"
            "c_open_image_forwrite path=\"\" subimages=0 specs=[]\n"
            "c_open_image_forwrite path=\"\" subimages=1 specs=[\"A\"]\n");
  ImageWriteHandles::instance().closeAll();
}

TEST_F(GetImageTest, WriteReadsTheWholeBodyBeforeCheckingAndFailuresKeepOrDropTheHandle) {
  fake.script("c_open_image_forwrite", 1);
  const std::string id = json::parse(post({{"action", "open"}, {"specsxml", {"A"}}}).body)["handle"];

  FakeRequest noSpec("POST", kUrl);
  noSpec.withHeader("zrk-image-options",
                    endpoint::options({{"action", "write"}, {"handle", id}, {"length", 20000}}))
      .withBody(std::string(20000, 'x'));
  Reply r = postRequest(noSpec);
  EXPECT_EQ(r.reason, "Missing specxml parameter.");
  EXPECT_EQ(noSpec.readSizes.size(), 2u);
  EXPECT_EQ(post({{"action", "write"}, {"specxml", "S"}, {"length", 1}}, {"x"}).reason,
            "Missing handle parameter.");
  EXPECT_EQ(post({{"action", "write"}, {"handle", id}, {"specxml", "S"}, {"length", 2}}, {"x"})
                .reason,
            "Data length mismatch.");
  EXPECT_EQ(post({{"action", "close"}}).reason, "Missing handle parameter.");

  // A failed write keeps the handle; a failed close has dropped it.
  fake.script("c_write_image_subimage", 0, "", "short data");
  r = post({{"action", "write"}, {"handle", id}, {"specxml", "S"}, {"length", 1}}, {"x"});
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "Failed to write subimage: short data");
  fake.script("c_close_image_forwrite", 0, "", "incomplete");
  r = post({{"action", "close"}, {"handle", id}});
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "Failed to close image write handle: incomplete");
  EXPECT_EQ(post({{"action", "close"}, {"handle", id}}).status, 404);
}

TEST_F(GetImageTest, HandlesLeftOpenAreClosedAtTheEnd) {
  fake.script("c_open_image_forwrite", 1);
  fake.script("c_close_image_forwrite", 1);
  ImageWriteHandles& handles = ImageWriteHandles::instance();
  const size_t before = handles.size();
  ASSERT_EQ(post({{"action", "open"}, {"specsxml", {"A"}}}).status, 200);
  ASSERT_EQ(post({{"action", "open"}, {"specsxml", {"A"}}}).status, 200);
  EXPECT_EQ(handles.size(), before + 2);
  handles.closeAll();
  EXPECT_EQ(handles.size(), 0u);
  const std::string calls = fake.calls();
  size_t closes = 0;
  for (size_t at = calls.find("c_close_image_forwrite"); at != std::string::npos;
       at = calls.find("c_close_image_forwrite", at + 1)) {
    ++closes;
  }
  EXPECT_EQ(closes, before + 2);
}

TEST_F(GetImageTest, HandleIdsAreTenAlphanumericsAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string id = makeHandleId();
    ASSERT_TRUE(handleShaped(id, false)) << id;
    seen.insert(id);
  }
  EXPECT_GT(seen.size(), 190u);
}

// --- conversion jobs ---------------------------------------------------------------------------

TEST_F(GetImageTest, ConvertOptionRules) {
  fake.script("c_copy_image_to", 1);
  struct Case {
    json options;
    int status;
    std::string reason;
    std::string call;
  };
  const std::vector<Case> cases = {
      {{{"cancelable", true}}, 400, "\"jid\" is required if cancelable is true.", ""},
      {{{"src", "/a.png"}, {"cancelable", true}, {"jid", ""}}, 400,
       "\"jid\" is required if cancelable is true.", ""},
      {{{"src", "/a.png"}}, 400, "src and dst must be specified.", ""},
      // "true" as a string is not a boolean: no job, no jid needed.
      {{{"src", "/a.png"}, {"dst", "/b.jpg"}, {"cancelable", "true"}}, 200, "OK.",
       "c_copy_image_to src=\"/a.png\" dst=\"/b.jpg\" config=\"\" configLength=0 callback=null "
       "argument=null"},
      {{{"src", "/a.png"}, {"dst", "/b.jpg"}, {"config", {{"quality", 80}}}, {"cancelable", true},
        {"jid", "job-7"}},
       200, "OK.",
       "c_copy_image_to src=\"/a.png\" dst=\"/b.jpg\" config=\"{\"quality\":80}\" "
       "configLength=14 callback=set argument=\"job-7\""},
  };
  for (const auto& c : cases) {
    fake.reset();
    fake.script("c_copy_image_to", 1);
    json options = c.options;
    options["action"] = "convert";
    const Reply r = post(options);
    EXPECT_EQ(r.status, c.status) << options;
    EXPECT_EQ(r.message, c.reason) << options;
    const std::string calls = fake.calls();
    EXPECT_EQ(calls.substr(0, calls.empty() ? 0 : calls.size() - 1), c.call);
  }
  EXPECT_EQ(ImageJobRegistry::count("job-7"), 0);
  fake.script("c_copy_image_to", 0, "", "cannot write webp");
  const Reply r = post({{"action", "convert"}, {"src", "/a"}, {"dst", "/b"}});
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "cannot write webp");
}

TEST_F(GetImageTest, CancelBeforeTheConversionChangesNothing) {
  Reply r = post({{"action", "cancel"}});
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.reason, "missing jid");
  r = post({{"action", "cancel"}, {"jid", "early"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.message, "OK");
  fake.script("c_copy_image_to", 1);
  fake.quitPolls(3);
  r = post({{"action", "convert"}, {"src", "/a"}, {"dst", "/b"}, {"cancelable", true},
            {"jid", "early"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.message, "OK.");
}

TEST_F(GetImageTest, CancelFromAnotherThreadStopsTheConversion) {
  char folder[] = "/tmp/getimage-log-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string logPath = std::string(folder) + "/log.txt";
  zrk::configureLogging(logPath, 0, false, false);
  zrk::setLogLevel(3);
  fake.script("c_copy_image_to", 1);
  fake.quitPolls(20000);
  fake.quitPauseMs(1);
  auto conversion = std::async(std::launch::async, [&] {
    return post({{"action", "convert"}, {"src", "/a"}, {"dst", "/b"}, {"cancelable", true},
                 {"jid", "J"}});
  });
  auto second = std::async(std::launch::async, [&] {
    return post({{"action", "convert"}, {"src", "/c"}, {"dst", "/d"}, {"cancelable", true},
                 {"jid", "J"}});
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ImageJobRegistry::count("J") < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(ImageJobRegistry::count("J"), 2);
  EXPECT_FALSE(shouldQuitCallback("J"));
  EXPECT_EQ(post({{"action", "cancel"}, {"jid", "J"}}).message, "OK");
  EXPECT_TRUE(shouldQuitCallback("J"));
  const Reply first = conversion.get();
  const Reply other = second.get();
  EXPECT_EQ(first.status, 500);
  EXPECT_EQ(first.reason, "cancelled");
  EXPECT_EQ(other.reason, "cancelled");
  EXPECT_EQ(ImageJobRegistry::count("J"), 0);
  EXPECT_FALSE(shouldQuitCallback("J"));

  zrk::shutdownLogging();
  std::ifstream in(logPath);
  std::stringstream log;
  log << in.rdbuf();
  EXPECT_NE(log.str().find("it's true to quit"), std::string::npos) << log.str();
  std::filesystem::remove_all(folder);
}

TEST(ImageJobRegistryTest, EntriesAreSharedAndCounted) {
  ImageJobRegistry::cancel("none");
  EXPECT_FALSE(ImageJobRegistry::isCancelled("none"));
  ImageJobRegistry::add("k");
  ImageJobRegistry::add("k");
  EXPECT_EQ(ImageJobRegistry::count("k"), 2);
  ImageJobRegistry::cancel("k");
  ImageJobRegistry::remove("k");
  EXPECT_TRUE(ImageJobRegistry::isCancelled("k"));
  ImageJobRegistry::add("k");  // joins the flagged entry
  EXPECT_TRUE(ImageJobRegistry::isCancelled("k"));
  ImageJobRegistry::remove("k");
  ImageJobRegistry::remove("k");
  EXPECT_EQ(ImageJobRegistry::count("k"), 0);
  EXPECT_FALSE(ImageJobRegistry::isCancelled("k"));
  ImageJobRegistry::remove("k");  // an absent id is ignored
  EXPECT_EQ(ImageJobRegistry::count("k"), 0);
}

// --- registration and the plugin-queue claim ---------------------------------------------------

TEST(GetImageRegistration, ClaimsCancelsForThePluginQueue) {
  struct Case {
    std::string method, url;
    json options;
    bool claimed;
  };
  const std::vector<Case> cases = {
      {"POST", kUrl, {{"action", "cancel"}, {"jid", "j"}}, true},
      {"post", "https://app.local/GetImage?x=1", {{"action", "cancel"}}, true},
      {"GET", kUrl, {{"action", "cancel"}}, false},
      {"POST", kUrl, {{"action", "convert"}}, false},
      {"POST", kUrl, json::array({"cancel"}), false},
      {"POST", "https://app.local/thumbnail", {{"action", "cancel"}}, false},
      {"POST", "https://app.local/plugin", {{"action", "cancel"}}, false},
  };
  for (const auto& c : cases) {
    FakeRequest request(c.method, c.url);
    request.withHeader("zrk-image-options", endpoint::options(c.options));
    EXPECT_EQ(http::HttpGetImageHandler::claimsCancel(request), c.claimed) << c.method << c.url;
  }
  FakeRequest plain("POST", kUrl);
  plain.withHeader("zrk-image-options", "{not base64 json");
  EXPECT_FALSE(http::HttpGetImageHandler::claimsCancel(plain));

  FakeRequest cancel("POST", kUrl);
  cancel.withHeader("zrk-image-options", endpoint::options({{"action", "cancel"}}));
  const size_t handlers = http::handlerList()->size();
  http::registerGetImageHandler();
  http::registerGetImageHandler();
  EXPECT_EQ(http::handlerList()->size(), handlers + 1);
  EXPECT_STREQ(http::handlerList()->back()->className(), "HttpGetImageHandler");
  EXPECT_TRUE(http::isClaimedForPluginQueue(cancel));
  const auto large = http::largeContentPaths();
  EXPECT_NE(std::find(large.begin(), large.end(), "/getimage"), large.end());
}

}  // namespace
