// Large bodies in the real Chromium: replies and uploads of megabytes travel over the engine's
// loopback server, while the page and the owner see the same requests and replies as on the
// DevTools road.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "deskweb/browser/test_host.h"

using namespace deskweb_test;
using nlohmann::json;

namespace {

constexpr size_t kBigReply = 50u << 20;
constexpr size_t kBigUpload = 20u << 20;

// Each case records status, reason, a header, the length and digest of the body and the url the
// page saw, or the error; the whole table comes back as one page message.
const char kLargePage[] = R"HTML(<!doctype html><script>
function fnv(bytes) {
  let h = 0x811c9dc5;
  for (let i = 0; i < bytes.length; i++) { h ^= bytes[i]; h = Math.imul(h, 0x01000193) >>> 0; }
  return h.toString(16);
}
function pattern(n, seed) {
  const a = new Uint8Array(n);
  for (let i = 0; i < n; i++) a[i] = (i * seed + (i >> 8)) & 255;
  return a;
}
const base = 'https://pelmora';
const cases = [
  ['fileReply', () => fetch(base + '/image/big.raw')],
  ['upload', () => fetch(base + '/echo', { method: 'POST', headers: { 'zrk-image-options': '{"q":1}' },
                                          body: pattern(20 << 20, 5) })],
  ['markedUpload', () => fetch(base + '/Image/save', { method: 'POST', body: pattern(3000, 9) })],
  ['markedGet', () => fetch(base + '/IMAGE/echo?path=a%20b')],
  ['status420', () => fetch(base + '/image/status')],
  ['devtoolsFile', () => fetch(base + '/small.raw')],
  ['failed', () => fetch(base + '/image/fail')],
  ['dropped', () => fetch(base + '/image/drop')],
  ['blob', () => fetch(base + '/parts/blob', { method: 'POST', body: new Blob([pattern(5 << 20, 7)]) })],
  ['formFile', () => {
    const form = new FormData();
    form.append('note', 'hello');
    form.append('file', new File([pattern(70000, 13)], 'a.bin', { type: 'application/octet-stream' }));
    return fetch(base + '/parts/form', { method: 'POST', body: form });
  }],
  ['noToken', () => fetch('http://127.0.0.1:' + PORT + '/')],
  ['wrongToken', () => fetch('http://127.0.0.1:' + PORT + '/t/00112233445566778899aabbccddeeff')],
];
(async () => {
  const out = {};
  for (const [name, f] of cases) {
    try {
      const r = await f();
      const buf = new Uint8Array(await r.arrayBuffer());
      out[name] = { status: r.status, statusText: r.statusText, url: r.url, xse: r.headers.get('x-status-error'),
                    type: r.headers.get('content-type'), length: buf.length, digest: fnv(buf),
                    text: buf.length < 4096 ? new TextDecoder().decode(buf) : '' };
    } catch (e) {
      out[name] = { error: String(e) };
    }
  }
  chrome.webview.postMessage(out);
})();
</script>)HTML";

// A reply body that gives its first bytes at once and the rest slowly, and says when it is
// released.
class SlowSource : public BodySource {
 public:
  explicit SlowSource(std::shared_ptr<std::atomic<int>> released) : released_(std::move(released)) {}
  ~SlowSource() override { ++*released_; }
  uint64_t size() const override { return kBigReply; }
  int64_t read(char* buffer, size_t max) override {
    if (done_ >= (4u << 20)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    size_t n = std::min<size_t>({max, 64u << 10, kBigReply - done_});
    std::memset(buffer, 'x', n);
    done_ += n;
    return static_cast<int64_t>(n);
  }

 private:
  std::shared_ptr<std::atomic<int>> released_;
  size_t done_ = 0;
};

// Waits for a state that engine threads change without posting to the loop: runs the loop in
// short slices and looks again after each.
bool settles(TestLoop& loop, const std::function<bool()>& done, int seconds = 20) {
  for (int i = 0; i < seconds * 20 && !done(); ++i) loop.runUntil(done, std::chrono::milliseconds(50));
  return done();
}

class LargeBodyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    loop = new TestLoop();
    browser = new Browser();
    if (browser->start(*loop)) browser->env->addLargeContentPath("/image");
  }
  static void TearDownTestSuite() {
    if (browser->env) browser->env->close();
    delete browser;
    delete loop;
  }
  void SetUp() override { ASSERT_NE(browser->env, nullptr) << "the browser must be there: " << browser->error; }
  ChromiumEnvironment& env() { return static_cast<ChromiumEnvironment&>(*browser->env); }

  static TestLoop* loop;
  static Browser* browser;
};
TestLoop* LargeBodyTest::loop = nullptr;
Browser* LargeBodyTest::browser = nullptr;

TEST_F(LargeBodyTest, MegabytesTravelWholeBothWaysAndThePageSeesTheVirtualHost) {
  EXPECT_EQ(browser->env->addLargeContentPath("image"), Result::invalidArgument);
  EXPECT_EQ(browser->env->addLargeContentPath("/a?b"), Result::invalidArgument);
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  TempFolder files;
  const std::string big = pattern(kBigReply, 11);
  const std::string bigPath = files.path() + "/big.raw";
  std::ofstream(bigPath, std::ios::binary).write(big.data(), static_cast<std::streamsize>(big.size()));
  const std::string small = pattern(5000, 3);
  const std::string smallPath = files.path() + "/small.raw";
  std::ofstream(smallPath, std::ios::binary).write(small.data(), static_cast<std::streamsize>(small.size()));

  host.route("/image/big.raw", [&](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.headers = {{"Content-Type", "application/octet-stream"}, {"Content-Length", "1"}};
    r.bodySource = fileBody(bigPath);
    d->complete(r);
  });
  std::vector<Request> seen;
  std::mutex seenMutex;
  auto echo = [&](const Request& req, std::shared_ptr<Deferral> d) {
    {
      std::lock_guard lock(seenMutex);
      seen.push_back(Request{req.method, req.url, req.headers, {}});
    }
    json e = {{"method", req.method}, {"url", req.url}, {"length", req.body.size()}, {"digest", fnv(req.body)}};
    for (auto& [n, v] : req.headers) {
      if (n == "zrk-image-options") e["options"] = v;
    }
    Response r;
    r.headers = {{"Content-Type", "application/json"}};
    r.body = e.dump();
    d->complete(r);
  };
  host.route("/echo", echo);
  host.route("/IMAGE/echo", echo);
  host.route("/Image/save", echo);
  host.route("/image/status", [](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.status = 420;
    r.reason = "plugin invoke failed";
    r.headers = {{"x-status-error", "plugin invoke failed"}, {"Content-Type", "text/plain"}};
    r.body = "no such plugin";
    d->complete(r);
  });
  host.route("/small.raw", [&](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.bodySource = fileBody(smallPath);
    d->complete(r);
  });
  // Bodies the paused event cannot carry (a Blob, a form with a File) come whole, or the fetch fails.
  std::map<std::string, std::string> parts;
  auto keepBody = [&](const Request& req, std::shared_ptr<Deferral> d) {
    {
      std::lock_guard lock(seenMutex);
      parts[req.url] = req.body;
    }
    Response r;
    r.body = "kept";
    d->complete(r);
  };
  host.route("/parts/blob", keepBody);
  host.route("/parts/form", keepBody);
  host.route("/image/fail", [](const Request&, std::shared_ptr<Deferral> d) { d->fail(); });
  host.route("/image/drop", [](const Request&, std::shared_ptr<Deferral>) {});
  std::string page = kLargePage;
  page.insert(page.find("<script>") + 8, "const PORT = " + std::to_string(env().loopbackPort()) + ";");
  host.page("/large.w", page);
  uint64_t refusedBefore = env().loopbackRefusals();
  uint64_t servedBefore = env().loopbackServed();

  ASSERT_EQ(host.webview->navigate("https://.pelmora/large.w"), Result::ok);
  std::string text = host.waitMessage();
  ASSERT_FALSE(text.empty()) << "the page never reported";
  json out = json::parse(text);

  // 50 MiB streamed from a file; the owner's length header gives way to the real one.
  EXPECT_EQ(out["fileReply"]["status"], 200) << out["fileReply"].dump();
  EXPECT_EQ(out["fileReply"]["url"], "https://pelmora/image/big.raw");
  EXPECT_EQ(out["fileReply"]["type"], "application/octet-stream");
  EXPECT_EQ(out["fileReply"]["length"], kBigReply);
  EXPECT_EQ(out["fileReply"]["digest"], fnv(big));

  // 20 MiB up, with its headers, to an unmarked path: the body's size alone sends it round.
  const std::string upload = pattern(kBigUpload, 5);
  ASSERT_TRUE(out["upload"].contains("text")) << out["upload"].dump();
  json up = json::parse(out["upload"]["text"].get<std::string>());
  EXPECT_EQ(up["method"], "POST");
  EXPECT_EQ(up["url"], "https://pelmora/echo");
  EXPECT_EQ(up["length"], kBigUpload);
  EXPECT_EQ(up["digest"], fnv(upload));
  EXPECT_EQ(up["options"], "{\"q\":1}");
  EXPECT_EQ(out["upload"]["url"], "https://pelmora/echo");

  // Marked paths, in any letter case, take the loopback road with small request bodies too.
  ASSERT_TRUE(out["markedUpload"].contains("text")) << out["markedUpload"].dump();
  json marked = json::parse(out["markedUpload"]["text"].get<std::string>());
  EXPECT_EQ(marked["length"], 3000);
  EXPECT_EQ(marked["digest"], fnv(pattern(3000, 9)));
  ASSERT_TRUE(out["markedGet"].contains("text")) << out["markedGet"].dump();
  json get = json::parse(out["markedGet"]["text"].get<std::string>());
  EXPECT_EQ(get["method"], "GET");
  EXPECT_EQ(get["url"], "https://pelmora/IMAGE/echo?path=a%20b");
  EXPECT_EQ(get["length"], 0);

  EXPECT_EQ(out["status420"]["status"], 420);
  EXPECT_EQ(out["status420"]["statusText"], "plugin invoke failed");
  EXPECT_EQ(out["status420"]["xse"], "plugin invoke failed");
  EXPECT_EQ(out["status420"]["text"], "no such plugin");
  EXPECT_EQ(out["status420"]["url"], "https://pelmora/image/status");

  // A body source answered over DevTools arrives the same.
  EXPECT_EQ(out["devtoolsFile"]["length"], small.size());
  EXPECT_EQ(out["devtoolsFile"]["digest"], fnv(small));

  EXPECT_TRUE(out["failed"].contains("error")) << out["failed"].dump();
  EXPECT_TRUE(out["dropped"].contains("error")) << out["dropped"].dump();

  // The port itself answers nothing without a token it handed out.
  EXPECT_EQ(out["noToken"]["status"], 403) << out["noToken"].dump();
  EXPECT_EQ(out["wrongToken"]["status"], 403) << out["wrongToken"].dump();
  EXPECT_EQ(env().loopbackRefusals(), refusedBefore + 2);
  // On the loopback road: the 50 MiB reply, the 20 MiB upload, the marked upload and the Blob;
  // the marked GET, the small replies and the form (its bytes are in the message) go over DevTools.
  EXPECT_EQ(env().loopbackServed(), servedBefore + 4);

  {
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(out["blob"]["text"], "kept") << out["blob"].dump();
    EXPECT_EQ(parts["https://pelmora/parts/blob"], pattern(5u << 20, 7));
    EXPECT_EQ(out["formFile"]["text"], "kept") << out["formFile"].dump();
    const std::string& form = parts["https://pelmora/parts/form"];
    EXPECT_NE(form.find(pattern(70000, 13)), std::string::npos) << "the file's bytes are not whole";
    EXPECT_NE(form.find("hello"), std::string::npos);
  }

  // The owner saw each request once, with the page's url.
  std::lock_guard lock(seenMutex);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(settles(*loop, [&] { return env().loopbackTransfers() == 0; }));
}

TEST_F(LargeBodyTest, ClosingTheWebviewMidTransferFailsItAndReleasesEverything) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  auto released = std::make_shared<std::atomic<int>>(0);
  std::mutex m;
  std::shared_ptr<Deferral> waiting;
  Result streamed = Result::failed;
  host.route("/image/slow", [&](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.bodySource = std::make_shared<SlowSource>(released);
    streamed = d->complete(r);
  });
  host.route("/image/waiting", [&](const Request&, std::shared_ptr<Deferral> d) {
    std::lock_guard lock(m);
    waiting = std::move(d);
  });
  host.page("/slow.w", R"(<!doctype html><script>
fetch('https://pelmora/image/waiting', { method: 'POST', body: 'x' }).catch(() => {});
fetch('https://pelmora/image/slow').then(async (r) => {
  const reader = r.body.getReader();
  let got = 0, told = false;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    got += value.length;
    if (!told && got >= (1 << 20)) { told = true; chrome.webview.postMessage('streaming'); }
  }
}).catch(() => {});
</script>)");
  ASSERT_EQ(host.webview->navigate("https://.pelmora/slow.w"), Result::ok);
  ASSERT_EQ(host.waitMessage(), "\"streaming\"");
  ASSERT_TRUE(loop->runUntil([&] {
    std::lock_guard lock(m);
    return waiting != nullptr;
  }));
  EXPECT_EQ(streamed, Result::ok);
  EXPECT_EQ(env().loopbackTransfers(), 2u);

  EXPECT_EQ(host.webview->close(), Result::ok);
  // The reply not given yet can no longer be given; the one under way is cut off and its source
  // let go; nothing stays registered.
  {
    std::lock_guard lock(m);
    EXPECT_TRUE(waiting->done());
    EXPECT_EQ(waiting->complete(Response{}), Result::closed);
    waiting.reset();
  }
  EXPECT_TRUE(settles(*loop, [&] { return released->load() == 1 && env().loopbackTransfers() == 0; }))
      << "released " << released->load() << ", transfers " << env().loopbackTransfers();

  // The browser and the server go on serving other webviews.
  Host next(*loop, *browser->env);
  ASSERT_NE(next.webview, nullptr);
  next.route("/image/after", [](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.body = "after";
    d->complete(r);
  });
  next.page("/after.w", "<!doctype html><script>fetch('https://pelmora/image/after').then(r => r.text())"
                        ".then(t => chrome.webview.postMessage(t), e => chrome.webview.postMessage(String(e)))</script>");
  ASSERT_EQ(next.webview->navigate("https://.pelmora/after.w"), Result::ok);
  EXPECT_EQ(next.waitMessage(), "\"after\"");
}

// A reply body held in memory that fails after `failAt` bytes.
class FailingSource : public BodySource {
 public:
  FailingSource(std::string data, size_t failAt) : data_(std::move(data)), failAt_(failAt) {}
  uint64_t size() const override { return data_.size(); }
  int64_t read(char* buffer, size_t max) override {
    if (at_ >= failAt_) return -1;
    size_t n = std::min({max, data_.size() - at_, failAt_ - at_});
    std::memcpy(buffer, data_.data() + at_, n);
    at_ += n;
    return static_cast<int64_t>(n);
  }

 private:
  std::string data_;
  size_t failAt_;
  size_t at_ = 0;
};

// A GET to a large-content path is answered first: a reply up to the limit comes inside DevTools,
// a larger one over the loopback server, and the page sees the same reply either way.
TEST_F(LargeBodyTest, LargeContentGetsTakeTheLoopbackRoadOnlyForLargeReplies) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  struct Case {
    const char* name;
    int status;
    const char* reason;
    size_t size;
    bool source;          // the body from a body source rather than a string
    size_t failAt;        // a source that fails after this many bytes (0: never)
    bool loopback;        // the road expected
    const char* ifNoneMatch = nullptr;  // sent by the page
  };
  const size_t limit = kInlineReplyLimit;
  const std::vector<Case> cases = {
      {"small", 200, "OK", 5000, false, 0, false},
      {"empty", 200, "OK", 0, false, 0, false},
      {"atLimit", 200, "OK", limit, true, 0, false},
      {"overLimit", 200, "OK", limit + 1, false, 0, true},
      {"bigSource", 203, "Made Here", 24u << 20, true, 0, true},
      {"notModified", 304, "Not Modified", 0, false, 0, false, "\"t-304\""},
      {"smallError", 500, "Decode failed", 40, false, 0, false},
      {"bigError", 500, "Decode failed", 6u << 20, false, 0, true},
      {"smallSourceFails", 200, "OK", 3000, true, 1000, false},
      {"bigSourceFails", 200, "OK", 12u << 20, true, 6u << 20, true},
  };
  std::mutex m;
  std::map<std::string, int> calls;
  std::vector<uint64_t> servedAt(cases.size() + 1, 0);
  std::map<std::string, Result> completed;
  std::map<std::string, std::string> ifNoneMatchSeen;
  for (size_t i = 0; i <= cases.size(); ++i) {
    std::string name = i < cases.size() ? cases[i].name : "end";
    host.route("/image/r/" + name, [&, i, name](const Request& req, std::shared_ptr<Deferral> d) {
      {
        std::lock_guard lock(m);
        ++calls[name];
        servedAt[i] = env().loopbackServed();
        for (auto& [n, v] : req.headers) {
          if (n == "If-None-Match" || n == "if-none-match") ifNoneMatchSeen[name] = v;
        }
      }
      Response r;
      if (i < cases.size()) {
        const Case& c = cases[i];
        r.status = c.status;
        r.reason = c.reason;
        r.headers = {{"Content-Type", "application/octet-stream"}, {"ETag", std::string("\"t-") + name + "\""}};
        if (c.status >= 400) r.headers.emplace_back("X-Status-Error", c.reason);
        std::string body = pattern(c.size, static_cast<unsigned>(i + 3));
        if (c.status == 304) r.headers[1].second = "\"t-304\"";
        if (c.source) r.bodySource = std::make_shared<FailingSource>(body, c.failAt ? c.failAt : c.size);
        else r.body = std::move(body);
      }
      Result result = d->complete(r);
      std::lock_guard lock(m);
      completed[name] = result;
    });
  }
  std::string list;
  for (auto& c : cases) {
    list += "['" + std::string(c.name) + "', " + (c.ifNoneMatch ? "'" + std::string(c.ifNoneMatch) + "'" : "null") + "],";
  }
  list += "['end', null]";
  std::string page = R"HTML(<!doctype html><script>
function fnv(bytes) {
  let h = 0x811c9dc5;
  for (let i = 0; i < bytes.length; i++) { h ^= bytes[i]; h = Math.imul(h, 0x01000193) >>> 0; }
  return h.toString(16);
}
(async () => {
  const out = {};
  for (const [name, inm] of [LIST]) {
    try {
      const r = await fetch('https://pelmora/image/r/' + name,
                            { cache: 'no-store', headers: inm ? { 'If-None-Match': inm } : {} });
      const buf = new Uint8Array(await r.arrayBuffer());
      out[name] = { status: r.status, statusText: r.statusText, etag: r.headers.get('etag'),
                    xse: r.headers.get('x-status-error'), type: r.headers.get('content-type'),
                    length: buf.length, digest: fnv(buf) };
    } catch (e) {
      out[name] = { error: String(e) };
    }
  }
  chrome.webview.postMessage(out);
})();
</script>)HTML";
  page.replace(page.find("LIST"), 4, list);
  host.page("/roads.w", page);
  uint64_t refusedBefore = env().loopbackRefusals();

  ASSERT_EQ(host.webview->navigate("https://.pelmora/roads.w"), Result::ok);
  std::string text = host.waitMessage();
  ASSERT_FALSE(text.empty()) << "the page never reported";
  json out = json::parse(text);

  std::lock_guard lock(m);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const json& got = out[c.name];
    // The owner answered once; each case's reply was fetched before the next was asked for.
    EXPECT_EQ(calls[c.name], 1);
    // A source read for DevTools fails at once; on the loopback road it fails while it streams.
    EXPECT_EQ(completed[c.name], c.failAt != 0 && !c.loopback ? Result::failed : Result::ok);
    EXPECT_EQ(servedAt[i + 1] - servedAt[i], c.loopback ? 1u : 0u) << "the wrong road";
    if (c.failAt != 0) {
      EXPECT_TRUE(got.contains("error")) << got.dump();
      continue;
    }
    ASSERT_FALSE(got.contains("error")) << got.dump();
    EXPECT_EQ(got["status"], c.status);
    EXPECT_EQ(got["statusText"], c.reason);
    if (c.status == 304) {
      EXPECT_EQ(got["etag"], "\"t-304\"");
      EXPECT_EQ(ifNoneMatchSeen[c.name], c.ifNoneMatch);
      EXPECT_EQ(got["length"], 0);
      continue;
    }
    EXPECT_EQ(got["etag"], std::string("\"t-") + c.name + "\"");
    EXPECT_EQ(got["type"], "application/octet-stream");
    EXPECT_EQ(got["xse"], c.status >= 400 ? json(c.reason) : json(nullptr));
    EXPECT_EQ(got["length"], c.size);
    EXPECT_EQ(got["digest"], fnv(pattern(c.size, static_cast<unsigned>(i + 3))));
  }
  EXPECT_EQ(env().loopbackRefusals(), refusedBefore);
  EXPECT_TRUE(settles(*loop, [&] { return env().loopbackTransfers() == 0; }));
}

// The loopback server keeps the browser's connections alive, and a request that fails on a
// connection used before still fails (the browser sends it again; it is never answered 403).
TEST_F(LargeBodyTest, LoopbackConnectionsAreReusedAndAFailureOnOneStillFails) {
  Host host(*loop, *browser->env);
  ASSERT_NE(host.webview, nullptr);
  std::atomic<int> failCalls{0};
  host.route("/image/big", [](const Request&, std::shared_ptr<Deferral> d) {
    Response r;
    r.body = pattern(kInlineReplyLimit + 100, 17);
    d->complete(r);
  });
  host.route("/image/upload-fails", [&](const Request&, std::shared_ptr<Deferral> d) {
    ++failCalls;
    d->fail();
  });
  host.page("/reuse.w", R"(<!doctype html><script>
(async () => {
  const out = { lengths: [] };
  for (let i = 0; i < 4; i++) {
    const r = await fetch('https://pelmora/image/big', { cache: 'no-store' });
    out.lengths.push((await r.arrayBuffer()).byteLength);
  }
  try {
    const r = await fetch('https://pelmora/image/upload-fails', { method: 'POST', body: 'x' });
    out.failed = 'status ' + r.status;
  } catch (e) {
    out.failed = 'error';
  }
  const r = await fetch('https://pelmora/image/big', { cache: 'no-store' });
  out.after = (await r.arrayBuffer()).byteLength;
  chrome.webview.postMessage(out);
})();
</script>)");
  uint64_t connectionsBefore = env().loopbackConnections();
  uint64_t servedBefore = env().loopbackServed();
  uint64_t refusedBefore = env().loopbackRefusals();
  ASSERT_EQ(host.webview->navigate("https://.pelmora/reuse.w"), Result::ok);
  std::string text = host.waitMessage();
  ASSERT_FALSE(text.empty()) << "the page never reported";
  json out = json::parse(text);
  const size_t big = kInlineReplyLimit + 100;
  EXPECT_EQ(out["lengths"], json::array({big, big, big, big}));
  EXPECT_EQ(out["failed"], "error");
  EXPECT_EQ(out["after"], big);
  EXPECT_EQ(failCalls.load(), 1) << "the owner heard of the repeated request";
  EXPECT_EQ(env().loopbackRefusals(), refusedBefore);
  // Five replies and the failed upload; the first four went on fewer connections than requests.
  EXPECT_GE(env().loopbackServed(), servedBefore + 6);
  EXPECT_LT(env().loopbackConnections() - connectionsBefore, 4u);
}

}  // namespace
