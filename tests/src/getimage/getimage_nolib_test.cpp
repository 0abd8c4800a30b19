// The image endpoints when the codec library is not beside the program: every request that
// reaches the codec is answered with the loader's message, none goes unanswered.
#include <gtest/gtest.h>

#include "src/getimage-handler.h"
#include "src/thumbnail-cache.h"
#include "tests/src/getimage/endpoint_support.h"

using pel::test::FakeRequest;

namespace {

TEST(NoCodecLibrary, EveryCodecActionAnswersTheLoadError) {
  http::HttpGetImageHandler handler;
  for (const std::string query :
       {"action=info&path=/a.png", "action=getdata&path=/a.png", "action=getcount&path=/a.png",
        "action=supports&path=/a.png&features=alpha"}) {
    FakeRequest request("GET", "https://app.local/getimage?" + query);
    const endpoint::Reply r = endpoint::get(handler, request);
    EXPECT_EQ(r.status, 400) << query;
    EXPECT_NE(r.reason.find("Cannot load library"), std::string::npos) << r.reason;
  }
  FakeRequest post("POST", "https://app.local/getimage");
  post.withHeader("zrk-image-options",
                  endpoint::options({{"action", "convert"}, {"src", "/a"}, {"dst", "/b"}}));
  endpoint::Reply r = endpoint::post(handler, post);
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.reason.find("Cannot load library"), std::string::npos) << r.reason;

  // A check that needs no codec still answers as usual.
  FakeRequest noFeatures("GET", "https://app.local/getimage?action=supports&path=/a.png");
  EXPECT_EQ(endpoint::get(handler, noFeatures).reason, "Missing features.");

  http::HttpThumbnailHandler thumbnails;
  FakeRequest thumb("GET", "https://app.local/thumbnail?path=/a.png&nocache");
  r = endpoint::get(thumbnails, thumb);
  EXPECT_EQ(r.status, 410);
  EXPECT_NE(r.reason.find("Cannot load library"), std::string::npos) << r.reason;
}

}  // namespace
