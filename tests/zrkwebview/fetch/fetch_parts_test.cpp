// The fetch plugin's pieces without a network: the bounded body pipe, multipart bodies, the
// result store's purge thread in virtual time, and the reply of "get".
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "desk/clock.h"
#include "zrkwebview/browser/src/http-plugins/fetch/body-pipe.h"
#include "zrkwebview/browser/src/http-plugins/fetch/fetch-plugin.h"
#include "zrkwebview/browser/src/http-plugins/fetch/multipart.h"

namespace {

using namespace std::chrono_literals;
using zrk::plugin::BodyPipe;

TEST(BodyPipe, APutCompletesOnlyOnceTheReaderMadeRoom) {
  BodyPipe pipe(8);
  const std::string data = "0123456789ABCDEFGHIJ";  // 20 bytes into 8 of room
  std::atomic<int> done{-1};
  pipe.put(reinterpret_cast<const uint8_t*>(data.data()), data.size(),
           [&](bool ok) { done = ok ? 1 : 0; });
  EXPECT_EQ(done.load(), -1);
  EXPECT_EQ(pipe.highWaterMark(), 8u);
  std::string out, all;
  while (done.load() == -1) {
    ASSERT_EQ(pipe.read(3, 1s, out), BodyPipe::State::data);
    all += out;
  }
  EXPECT_EQ(done.load(), 1);
  pipe.finish();
  EXPECT_FALSE(pipe.atEnd());  // bytes are still in
  while (pipe.read(100, 1s, out) == BodyPipe::State::data) all += out;
  EXPECT_EQ(all, data);
  EXPECT_TRUE(pipe.atEnd());
  EXPECT_LE(pipe.highWaterMark(), 8u);
}

TEST(BodyPipe, FailureAbandonAndTimeOut) {
  {
    BodyPipe pipe(4);
    std::string data = "abcdefgh";
    int done = -1;
    pipe.put(reinterpret_cast<const uint8_t*>(data.data()), data.size(), [&](bool ok) { done = ok; });
    pipe.fail("connection reset");
    EXPECT_EQ(done, 0);  // the waiting put fails with the body
    std::string out;
    EXPECT_EQ(pipe.read(10, 1s, out), BodyPipe::State::data);  // what came in before
    EXPECT_EQ(out, "abcd");
    EXPECT_EQ(pipe.read(10, 1s, out), BodyPipe::State::failed);
    EXPECT_EQ(pipe.error(), "connection reset");
  }
  {
    BodyPipe pipe(4);
    std::string data = "abcdefgh";
    int done = -1;
    pipe.put(reinterpret_cast<const uint8_t*>(data.data()), data.size(), [&](bool ok) { done = ok; });
    pipe.abandon();
    EXPECT_EQ(done, 0);
    int later = -1;
    pipe.put(reinterpret_cast<const uint8_t*>(data.data()), 1, [&](bool ok) { later = ok; });
    EXPECT_EQ(later, 0);
  }
  {
    BodyPipe pipe;
    std::string out;
    EXPECT_EQ(pipe.read(10, 50ms, out), BodyPipe::State::timedOut);
  }
}

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/pel-fetch-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(Multipart, BodyLayoutDefaultsAndEscapes) {
  TempFolder folder;
  const std::string png = folder.write("pic.PNG", std::string("\x89PNG\0\x01", 6));
  const std::string bare = folder.write("README", "text");
  const std::string b = "-----MultipartFormBoundaryABCDEFGHIJKLMNOP";
  const std::string body = zrk::plugin::buildMultipartBody(
      b, {{{"path", png}},
          {{"name", "x"}},  // no path: no part
          {{"path", bare}, {"name", "a\"b"}, {"filename", "f\r\nX-Evil: 1"}, {"mime", "text/x"}}});
  const std::string expected =
      "--" + b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"pic.PNG\"\r\n" +
      "Content-Type: image/png\r\n\r\n" + std::string("\x89PNG\0\x01", 6) + "\r\n--" + b +
      "\r\nContent-Disposition: form-data; name=\"a%22b\"; filename=\"f%0D%0AX-Evil: 1\"\r\n" +
      "Content-Type: text/x\r\n\r\ntext\r\n--" + b + "--\r\n";
  EXPECT_EQ(body, expected);
  EXPECT_EQ(zrk::plugin::buildMultipartBody(b, {{{"name", "only"}}}), "");
  const std::string readme = zrk::plugin::buildMultipartBody(b, {{{"path", bare}}});
  EXPECT_NE(readme.find("filename=\"README\"\r\nContent-Type: application/octet-stream\r\n"),
            std::string::npos);
  EXPECT_THROW(zrk::plugin::buildMultipartBody(b, {{{"path", bare}}, {{"path", folder.path() + "/gone"}}}),
               std::runtime_error);

  const std::string boundary = zrk::plugin::makeMultipartBoundary();
  EXPECT_EQ(boundary.size(), 42u);
  EXPECT_EQ(boundary.rfind("-----MultipartFormBoundary", 0), 0u);
  EXPECT_NE(boundary, zrk::plugin::makeMultipartBoundary());
  for (char c : zrk::plugin::randomAlphanumeric(500)) {
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)));
  }
}

TEST(ExtendMimeResponse, CarriesItsHeadersAfterTheType) {
  auto r = zrk::plugin::makeExtendMimeResponse("", {{"zrk-remote-status", "0"}});
  EXPECT_EQ(r->status(), 200);
  EXPECT_EQ(r->contentLength(), 0u);
  const http::HeaderList expected{{"Content-Type", "application/octet-stream"}, {"zrk-remote-status", "0"}};
  EXPECT_EQ(r->headers(), expected);
  EXPECT_STREQ(r->className(), "ExtendMimeResponse");
}

// The purge thread on a virtual clock: an entry untouched for more than its lifetime goes at the
// first pass after that; lifetime 0 stays; the thread ends when nothing with a lifetime is left.
TEST(FetchPurge, EntriesExpireInVirtualTime) {
  auto clock = std::make_shared<desk::VirtualClock>(1000000);
  desk::setClock(clock);
  using zrk::plugin::FetchItemStore;
  auto item = [](const char* uid, uint64_t lifetime) {
    auto i = std::make_shared<zrk::plugin::GetItem>();
    i->uid = uid;
    i->timeoutMs = lifetime;
    return i;
  };
  auto waitForPass = [&](uint64_t before) {
    for (int i = 0; i < 2000 && zrk::plugin::purgePassCount() <= before; ++i) std::this_thread::sleep_for(1ms);
    // and until the thread sleeps again (or has ended)
    for (int i = 0; i < 2000 && clock->waiters() == 0 && zrk::plugin::purgeThreadRunning(); ++i) {
      std::this_thread::sleep_for(1ms);
    }
  };
  FetchItemStore::insert(item("dl-keep", 0));
  FetchItemStore::insert(item("dl-a", 60000));
  uint64_t passes = zrk::plugin::purgePassCount();
  zrk::plugin::startPurgeThread();
  waitForPass(passes);
  ASSERT_TRUE(zrk::plugin::purgeThreadRunning());
  for (uint64_t t = 5000; t <= 60000; t += 5000) {
    passes = zrk::plugin::purgePassCount();
    clock->advance(5000);
    waitForPass(passes);
    EXPECT_EQ(FetchItemStore::count(), 2u) << t;
    if (t == 30000) {
      EXPECT_NE(FetchItemStore::find("dl-a"), nullptr);  // renews the lifetime
    }
  }
  // Renewed at 30 s: still there at 90 s, gone by the pass at 95 s.
  for (uint64_t t = 65000; t <= 90000; t += 5000) {
    passes = zrk::plugin::purgePassCount();
    clock->advance(5000);
    waitForPass(passes);
  }
  EXPECT_EQ(FetchItemStore::count(), 2u);
  passes = zrk::plugin::purgePassCount();
  clock->advance(5000);
  waitForPass(passes);
  EXPECT_EQ(FetchItemStore::count(), 1u);  // only the entry without a lifetime
  clock->advance(5000);  // the next pass finds nothing with a lifetime and ends the thread
  for (int i = 0; i < 2000 && zrk::plugin::purgeThreadRunning(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(zrk::plugin::purgeThreadRunning());

  // It starts again for a new entry, and stops when the application quits.
  FetchItemStore::insert(item("dl-b", 1000));
  zrk::plugin::startPurgeThread();
  EXPECT_TRUE(zrk::plugin::purgeThreadRunning());
  zrk::plugin::stopPurgeThread();
  EXPECT_FALSE(zrk::plugin::purgeThreadRunning());
  FetchItemStore::remove("dl-b");
  FetchItemStore::remove("dl-keep");
  desk::setClock(nullptr);
}

}  // namespace
