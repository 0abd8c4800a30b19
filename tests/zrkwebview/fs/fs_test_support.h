// Shared by the fs plugin tests: a temporary folder, calls into the plugin, and small file
// helpers.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace fstest {

using nlohmann::json;
namespace stdfs = std::filesystem;

struct Reply {
  int status = 0;       // 0: the plugin gave no reply (an unknown command)
  std::string text;     // the message of a failure
  std::string body;     // the body of a success
  std::string type;     // its MIME type
  bool chunked = false;
};

inline Reply toReply(const std::shared_ptr<Vesk::TObject>& result) {
  Reply reply;
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
  if (!response) return reply;
  reply.status = response->status();
  reply.chunked = response->isChunked();
  if (auto failure = std::dynamic_pointer_cast<http::HttpStatusResponse>(response)) {
    reply.text = failure->statusMessage();
    return reply;
  }
  if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(response)) {
    reply.type = mime->mimeType();
  } else {
    for (const auto& [name, value] : response->headers()) {
      if (name == "Content-Type") reply.type = value;
    }
  }
  while (!response->isEnd()) {
    const std::string piece = response->read(64 * 1024);
    if (piece.empty()) break;
    reply.body += piece;
  }
  return reply;
}

inline Reply call(const std::string& command, const json& payload,
                  http::HttpRequest* request = nullptr) {
  static zrk::plugin::FSPlugin plugin;
  return toReply(plugin.invoke(command, nullptr, nullptr, request, payload));
}

// A request that carries raw bytes and its options in the header, as "write" and "write_file"
// are sent.
inline std::unique_ptr<pel::test::FakeRequest> bodyRequest(const json& options,
                                                           std::vector<std::string> pieces) {
  auto request = std::make_unique<pel::test::FakeRequest>("POST", "https://app.local/plugin");
  request->withHeader("Content-Type", "application/octet-stream");
  request->withHeader("zrk-payload-options", options.dump());
  request->withBodyPieces(std::move(pieces));
  return request;
}

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it at the end; XDG_DATA_HOME
// points into it, so nothing reaches the user's own folders.
class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] ? tmp : "/tmp") + "/pel-fs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    ::chmod(root.c_str(), 0755);
    ::setenv("XDG_DATA_HOME", (root + "/xdg-data").c_str(), 1);
  }
  void TearDown() override {
    std::error_code error;
    // Give write permission back wherever a test took it away, so everything can go.
    for (auto it = stdfs::recursive_directory_iterator(root, error);
         !error && it != stdfs::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_directory(error) && !it->is_symlink(error)) {
        ::chmod(it->path().c_str(), 0755);
      }
    }
    stdfs::remove_all(root, error);
  }

  std::string at(const std::string& name) const { return root + "/" + name; }

  std::string root;
};

// Runs the current test binary again as an unprivileged user (nobody) with only the named test,
// so permission checks that root skips take effect. Returns the child's exit status, or -1 when
// it could not run.
inline int runAsOtherUser(const std::string& testName, const std::string& root) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = 0;
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::setenv("PEL_FS_OTHER_USER_ROOT", root.c_str(), 1);
    const std::string filter = "--gtest_filter=" + testName;
    ::execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
            self, filter.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace fstest
