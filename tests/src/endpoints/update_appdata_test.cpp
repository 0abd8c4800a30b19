// "/update" with DSA and Ed25519 keys and signatures made here, and "/appdata"'s action table.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cryptopp/base64.h>
#include <cryptopp/dsa.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "src/appdata-handler.h"
#include "src/update-handler.h"
#include "tests/support/fake_webview.h"
#include "zrkwebview/browser/src/app.h"
#include "zrkwebview/browser/src/window.h"
#include "tests/support/http_fakes.h"
#include "vesk/crypto.h"
#include "vesk/tdata.h"

namespace fs = std::filesystem;
using nlohmann::json;
using pel::test::FakeRequest;
using pel::test::RecordingConnection;

namespace {

std::string armor(const std::string& der) {
  std::string body;
  CryptoPP::StringSource(der, true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(body), false));
  std::string pem = "-----BEGIN PUBLIC KEY-----\n";
  for (size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + "\n";
  return pem + "-----END PUBLIC KEY-----\n";
}

template <class Key>
std::string der(const Key& key) {
  std::string out;
  CryptoPP::StringSink sink(out);
  key.Save(sink);
  return out;
}

template <class Signer>
std::string sign(const Signer& signer, const std::string& message) {
  CryptoPP::AutoSeededRandomPool rng;
  std::string signature;
  CryptoPP::StringSource(message, true,
                         new CryptoPP::SignerFilter(rng, signer, new CryptoPP::StringSink(signature)));
  return signature;
}

std::string derSignature(const std::string& p1363) {
  std::string out(p1363.size() + 16, '\0');
  const size_t n = CryptoPP::DSAConvertSignatureFormat(
      reinterpret_cast<CryptoPP::byte*>(out.data()), out.size(), CryptoPP::DSA_DER,
      reinterpret_cast<const CryptoPP::byte*>(p1363.data()), p1363.size(), CryptoPP::DSA_P1363);
  out.resize(n);
  return out;
}

std::string base64(const std::string& bytes) {
  std::string text;
  CryptoPP::StringSource(bytes, true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text), false));
  return text;
}

struct Keys {
  CryptoPP::AutoSeededRandomPool rng;
  CryptoPP::DSA::PrivateKey dsa;
  CryptoPP::ed25519Signer ed;
  std::string dsaPem, edPem;
  Keys() : ed(rng) {
    dsa.GenerateRandomWithKeySize(rng, 1024);
    CryptoPP::DSA::PublicKey dsaPublic;
    dsa.MakePublicKey(dsaPublic);
    dsaPem = armor(der(dsaPublic));
    edPem = armor(der(CryptoPP::ed25519Verifier(ed).GetPublicKey()));
  }
};

Keys& keys() {
  static Keys k;
  return k;
}

struct Reply {
  int status = -1;
  std::string reason;
  std::string body;
  int finishes = 0;
};

Reply post(http::HttpHandler& handler, const std::string& body) {
  FakeRequest request("POST", "https://app.local/x");
  request.withBody(body);
  RecordingConnection connection;
  handler.handlePost(&request, &connection);
  return {connection.status, connection.reason, connection.body, connection.finishCount};
}

class Scratch {
 public:
  Scratch() {
    std::string templ = fs::temp_directory_path().string() + "/update-XXXXXX";
    path_ = mkdtemp(templ.data());
  }
  ~Scratch() { fs::remove_all(path_); }
  std::string file(const std::string& name, const std::string& contents) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  std::string missing() const { return path_ + "/missing.bin"; }

 private:
  std::string path_;
};

TEST(UpdateEndpoint, VerifiesSignatures) {
  Keys& k = keys();
  Scratch scratch;
  const std::string contents = "update payload \x01\x02 bytes";
  const std::string file = scratch.file("update.bin", contents);
  const std::string digest =
      [&] {
        auto d = Vesk::hashFile(file, Vesk::HashType::SHA1);
        return std::string(reinterpret_cast<const char*>(d->bytes()), d->length());
      }();
  const std::string dsaOverDigest = derSignature(sign(CryptoPP::DSA::Signer(k.dsa), digest));
  const std::string dsaOverFile = derSignature(sign(CryptoPP::DSA::Signer(k.dsa), contents));
  const std::string edSignature = sign(k.ed, contents);
  std::string wrapped = base64(edSignature);
  wrapped.insert(20, "\r\n");
  wrapped.insert(5, " ");

  auto body = [&](const std::string& path, const std::string& signature, const std::string& key,
                  const std::string& algorithm) {
    return json{{"action", "verify-signature"}, {"path", path}, {"signature", signature},
                {"pubkey", key}, {"algorithm", algorithm}}
        .dump();
  };
  struct Row {
    const char* name;
    std::string body;
    int status;
    std::string answer;  // body for 200, reason otherwise
  };
  const Row rows[] = {
      {"DSA over the digest", body(file, base64(dsaOverDigest), k.dsaPem, "DSA"), 200, "true"},
      {"DSA over the file's bytes", body(file, base64(dsaOverFile), k.dsaPem, "DSA"), 200, "false"},
      {"Ed25519", body(file, base64(edSignature), k.edPem, "ED25519"), 200, "true"},
      {"Ed25519, line breaks in the Base64", body(file, wrapped, k.edPem, "ED25519"), 200, "true"},
      {"Ed25519, another file", body(scratch.file("other.bin", "x"), base64(edSignature), k.edPem, "ED25519"), 200, "false"},
      {"Ed25519 key without its boundary lines",
       body(file, base64(edSignature), k.edPem.substr(27, 60), "ED25519"), 200, "false"},
      {"lower-case algorithm", body(file, base64(edSignature), k.edPem, "ed25519"), 444,
       "unsupported algorithm"},
      {"DSA, missing file", body(scratch.missing(), base64(dsaOverDigest), k.dsaPem, "DSA"), 444,
       ""},
      {"Ed25519, missing file", body(scratch.missing(), base64(edSignature), k.edPem, "ED25519"),
       200, "false"},
      {"path first", json{{"action", "verify-signature"}}.dump(), 444, "path is empty"},
      {"then signature", json{{"action", "verify-signature"}, {"path", file}}.dump(), 444,
       "signature is empty"},
      {"then pubkey", json{{"action", "verify-signature"}, {"path", file}, {"signature", "AA"}}.dump(),
       444, "pubkey is empty"},
      {"unknown action", json{{"action", "Verify-Signature"}}.dump(), 400,
       "Bad request, unknown action: "},
      {"not JSON", "{", 444, ""},
      {"empty body", "", 444, ""},
      {"over 1 MiB", std::string(1024 * 1024 + 10, ' '), 444, "request body too large"},
  };
  http::HttpUpdateHandler handler;
  testing::internal::CaptureStderr();  // the verification functions report their failures there
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Reply reply = post(handler, row.body);
    EXPECT_EQ(reply.status, row.status);
    EXPECT_EQ(reply.finishes, 1);
    if (row.status == 200) {
      EXPECT_EQ(reply.body, row.answer);
    } else if (!row.answer.empty()) {
      EXPECT_EQ(reply.reason, row.answer);
    } else {
      EXPECT_FALSE(reply.reason.empty());
    }
  }
  testing::internal::GetCapturedStderr();
}

TEST(UpdateEndpoint, GetIsNotAnswered) {
  http::HttpUpdateHandler handler;
  FakeRequest request("GET", "https://app.local/update");
  RecordingConnection connection;
  EXPECT_FALSE(handler.handleGet(&request, &connection));
  EXPECT_TRUE(connection.calls.empty());
}

class TestApp : public zrk::App {
 public:
  using zrk::App::setMainWindow;
};

TEST(AppDataEndpoint, ResizeReachesEveryWebviewOfTheMainWindow) {
  http::HttpAppDataHandler handler;
  zrk::App::setFactory([] { return std::make_shared<TestApp>(); });
  const auto app = std::dynamic_pointer_cast<TestApp>(zrk::App::instance());
  ASSERT_TRUE(app);
  EXPECT_EQ(post(handler, R"({"action":"resize"})").reason, "no main window");
  auto window = std::make_shared<zrk::Window>();
  window->setLabel("mainwindow");
  auto first = std::make_shared<pel::test::FakeWebview>("a", window.get());
  auto second = std::make_shared<pel::test::FakeWebview>("b", window.get());
  window->addWebview(first, true);
  window->addWebview(second, true);
  app->setMainWindow(window);
  const Reply reply = post(handler, R"({"action":"resize"})");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "true");
  for (const auto& webview : {first, second}) {
    EXPECT_EQ(webview->scripts(),
              std::vector<std::string>{"window.dispatchEvent(new Event('resize'))"});
  }
  app->setMainWindow(nullptr);
}

TEST(AppDataEndpoint, Actions) {
  struct Row {
    std::string body;
    int status;
    std::string reason;
  };
  const Row rows[] = {
      {"", 444, ""},
      {"[1,2]", 400, "Bad request, unknown action: "},
      {"\"resize\"", 400, "Bad request, unknown action: "},
      {R"({"action":5})", 400, "Bad request, unknown action: "},
      {R"({"action":"Resize"})", 400, "Bad request, unknown action: "},
      {R"({"action":"daemon-status"})", 444, "BundleId is empty"},
      {R"({"action":"daemon-status","bundleId":""})", 444, "BundleId is empty"},
      {R"({"action":"daemon-status","bundleId":"com.x"})", 444, "Not supported"},
      {R"({"action":"daemon-enable","bundleId":"com.x","enable":"yes"})", 444, "Not supported"},
      {R"({"action":"daemon-enable","enable":true})", 444, "BundleId is empty"},
      // A body over 1024 bytes is read whole.
      {R"({"action":"daemon-status","pad":")" + std::string(3000, 'p') + R"("})", 444,
       "BundleId is empty"},
      {std::string(2 * 1024 * 1024, ' '), 444, "request body too large"},
  };
  http::HttpAppDataHandler handler;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body.substr(0, 60));
    const Reply reply = post(handler, row.body);
    EXPECT_EQ(reply.status, row.status);
    if (!row.reason.empty()) {
      EXPECT_EQ(reply.reason, row.reason);
    }
    EXPECT_EQ(reply.finishes, 1);
  }
  FakeRequest get("GET", "https://app.local/appdata?action=resize");
  RecordingConnection connection;
  EXPECT_TRUE(handler.handleGet(&get, &connection));
  EXPECT_EQ(connection.status, 444);
  EXPECT_EQ(connection.reason, "not implemented yet");
}

}  // namespace
