// The plugin object, its dispatch, and the open-file commands. Ids are process-wide, so the test
// of the exact id order runs first.
#include <fcntl.h>
#include <unistd.h>

#include "fs_test_support.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-open-files.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace {

using namespace fstest;

class FsOpenFiles : public TempFolder {
 protected:
  uint64_t openFile(const std::string& path, int mode) {
    const Reply reply = call("open", {{"path", path}, {"mode", mode}});
    EXPECT_EQ(reply.status, 200) << reply.text;
    return reply.status == 200 ? std::stoull(reply.body) : 0;
  }
};

TEST_F(FsOpenFiles, IdsStartAtOneAndClosedIdsComeBackOldestFirst) {
  writeAll(at("f"), "x");
  EXPECT_EQ(openFile(at("f"), 1), 1u);
  EXPECT_EQ(openFile(at("f"), 1), 2u);
  EXPECT_EQ(call("close", {{"rid", 2}}).body, "true");
  EXPECT_EQ(call("close", {{"rid", 1}}).body, "true");
  EXPECT_EQ(openFile(at("f"), 1), 2u);
  EXPECT_EQ(openFile(at("f"), 1), 1u);
  EXPECT_EQ(openFile(at("f"), 1), 3u);
  for (int id : {1, 2, 3}) call("close", {{"rid", id}});
}

TEST_F(FsOpenFiles, ClosingTwiceNeverHandsOneIdToTwoFiles) {
  writeAll(at("a"), "AAAA");
  writeAll(at("b"), "BBBB");
  const uint64_t id = openFile(at("a"), 1);
  EXPECT_EQ(call("close", {{"rid", id}}).body, "true");
  EXPECT_EQ(call("close", {{"rid", id}}).body, "true");
  EXPECT_EQ(zrk::plugin::removeOpenFile(id), -1);
  const uint64_t first = openFile(at("a"), 1);
  const uint64_t second = openFile(at("b"), 1);
  EXPECT_NE(first, second);
  EXPECT_EQ(call("read", {{"rid", first}, {"len", 4}}).body, "AAAA");
  EXPECT_EQ(call("read", {{"rid", second}, {"len", 4}}).body, "BBBB");
  call("close", {{"rid", first}});
  call("close", {{"rid", second}});
}

TEST_F(FsOpenFiles, DispatchReadsTheResourceIdFromAnyNumber) {
  writeAll(at("f"), "0123456789");
  const uint64_t id = openFile(at("f"), 1);
  ASSERT_EQ(id, 1u);  // the two tests above gave every id back
  struct Case {
    json payload;
    int status;
    std::string text;
  } cases[] = {
      {json::array({1}), 400, "Invalid resouce id (0)"},
      {{{"rid", "1"}}, 400, "Invalid resouce id (0)"},
      {{{"rid", -1}}, 400, "Invalid resouce id (0)"},
      {{{"rid", 1e30}}, 400, "Invalid resouce id (0)"},
      {{{"rid", nullptr}}, 400, "Invalid resouce id (0)"},
      {json(), 400, "Invalid resouce id (0)"},
  };
  for (const auto& c : cases) {
    const Reply reply = call("readline_close", c.payload);
    EXPECT_EQ(reply.status, c.status) << c.payload;
    EXPECT_EQ(reply.text, c.text) << c.payload;
  }
  // 1.9 is id 1.
  EXPECT_EQ(call("read", {{"rid", 1.9}, {"len", 3}}).body, "012");
  EXPECT_EQ(call("seek", {{"rid", 1u}, {"offset", 0}, {"whence", 2}}).body, "10");
  EXPECT_EQ(call("close", {{"rid", 1.9}}).body, "true");
  EXPECT_EQ(call("seek", {{"rid", 1}, {"offset", 0}}).body, "-1");
}

TEST_F(FsOpenFiles, UnknownCommandsGiveNoReplyAndExceptionsGive400WithTheirText) {
  EXPECT_EQ(call("Read", json::object()).status, 0);
  EXPECT_EQ(call("", json::object()).status, 0);
  // digest lets the cipher library's error through to the dispatch.
  const Reply reply = call("digest", {{"path", at("missing%s")}, {"method", "MD5"}});
  EXPECT_EQ(reply.status, 400);
  EXPECT_NE(reply.text.find(at("missing%s")), std::string::npos) << reply.text;
}

TEST_F(FsOpenFiles, RegistrationMakesOnePluginNamedFs) {
  zrk::plugin::registerFSPlugin();
  auto plugin = zrk::plugin::PluginRegistry::find("fs");
  ASSERT_TRUE(plugin);
  zrk::plugin::registerFSPlugin();
  EXPECT_EQ(zrk::plugin::PluginRegistry::find("fs"), plugin);
  EXPECT_EQ(plugin->description(), "file system");
  EXPECT_EQ(plugin->version(), "1.0");
  EXPECT_STREQ(plugin->className(), "FSPlugin");
  EXPECT_EQ(plugin->initScript(), "");
}

TEST_F(FsOpenFiles, OpenAnswersEachFailureWithItsText) {
  writeAll(at("f"), "x");
  struct Case {
    json payload;
    std::string text;
  } cases[] = {
      {{{"mode", 1}}, "Path not specified."},
      {{{"path", ""}, {"mode", 1}}, "Path not specified."},
      {{{"path", at("f")}}, "Open mode not specified."},
      {{{"path", at("f")}, {"mode", "1"}}, "Open mode not specified."},
      {{{"path", at("f")}, {"mode", 4}}, "Can't open file. (22)"},
      {{{"path", at("missing")}, {"mode", 1}}, "Can't open file. (2)"},
      {{{"path", root}, {"mode", 3}}, "Can't open file. (21)"},
      {{{"path", at("f") + std::string(1, '\0') + "x"}, {"mode", 1}},
       "Invalid path: it holds a NUL character."},
  };
  for (const auto& c : cases) {
    const Reply reply = call("open", c.payload);
    EXPECT_EQ(reply.status, 400) << c.payload;
    EXPECT_EQ(reply.text, c.text) << c.payload;
  }
  // Mode 2 creates the file empty; 8 appends.
  const uint64_t id = openFile(at("new"), 2);
  call("close", {{"rid", id}});
  EXPECT_TRUE(stdfs::exists(at("new")));
  EXPECT_EQ(stdfs::file_size(at("new")), 0u);
}

TEST_F(FsOpenFiles, ReadWriteAndSeekShareOnePosition) {
  writeAll(at("f"), "0123456789");
  const uint64_t id = openFile(at("f"), 3);
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 4}}).body, "0123");
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 4}}).type, "application/octet-stream");
  EXPECT_EQ(call("seek", {{"rid", id}, {"offset", -2}, {"whence", 1}}).body, "6");
  // The write takes its id from the options header; the body comes in pieces.
  auto request = bodyRequest({{"rid", id}}, {"a", "b", "c"});
  const Reply written = call("write", {{"rid", id}}, request.get());
  EXPECT_EQ(written.body, "3");
  EXPECT_EQ(written.type, "application/json");
  EXPECT_EQ(call("seek", {{"rid", id}, {"offset", 0}, {"whence", 0}}).body, "0");
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 100}}).body, "012345abc9");
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 100}}).body, "");
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 100}}).status, 200);
  EXPECT_EQ(call("seek", {{"rid", id}, {"offset", 0}, {"whence", 5}}).body, "-1");
  EXPECT_EQ(call("seek", {{"rid", id}, {"offset", -100}, {"whence", 0}}).body, "-1");
  call("close", {{"rid", id}});
  EXPECT_EQ(readAll(at("f")), "012345abc9");
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 1}}).text, "File not open. (" + std::to_string(id) + ")");
}

TEST_F(FsOpenFiles, ReadAndWriteFailures) {
  EXPECT_EQ(call("read", json::object()).text, "Resource id was not specified.");
  EXPECT_EQ(call("read", {{"rid", 77}}).text, "Length was not specified");
  EXPECT_EQ(call("read", {{"rid", 77}, {"len", -5}}).text, "Length was not specified");
  EXPECT_EQ(call("read", {{"rid", 77}, {"len", 5}}).text, "File not open. (77)");
  writeAll(at("f"), "x");
  const uint64_t id = openFile(at("f"), 3);
  pel::test::FakeRequest bare("POST");
  bare.withBody("data");
  EXPECT_EQ(call("write", {{"rid", id}}, &bare).text, "Missing payload options");
  auto noId = bodyRequest(json::object(), {"data"});
  EXPECT_EQ(call("write", json::object(), noId.get()).text, "File not opened.");
  auto unknown = bodyRequest({{"rid", 99}}, {"data"});
  EXPECT_EQ(call("write", {{"rid", 99}}, unknown.get()).text, "File not opened.");
  auto empty = bodyRequest({{"rid", id}}, {});
  EXPECT_EQ(call("write", {{"rid", id}}, empty.get()).body, "0");
  call("close", {{"rid", id}});
  EXPECT_EQ(readAll(at("f")), "x");
}

TEST_F(FsOpenFiles, AHugeLengthReadsOnlyWhatTheFileHolds) {
  writeAll(at("f"), "abc");
  const uint64_t id = openFile(at("f"), 1);
  const Reply reply = call("read", {{"rid", id}, {"len", 1ull << 62}});
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "abc");
  call("close", {{"rid", id}});
}

TEST_F(FsOpenFiles, PositionsBeyondFourGigabytesInASparseFile) {
  const int64_t size = 5ll << 30;
  {
    const int fd = ::open(at("sparse").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ASSERT_EQ(::pwrite(fd, "END!", 4, size - 4), 4);
    ::close(fd);
  }
  const uint64_t id = openFile(at("sparse"), 1);
  EXPECT_EQ(call("seek", {{"rid", id}, {"offset", 0}, {"whence", 2}}).body, std::to_string(size));
  EXPECT_EQ(call("seek", {{"rid", id}, {"offset", size - 4}, {"whence", 0}}).body,
            std::to_string(size - 4));
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 100}}).body, "END!");
  call("close", {{"rid", id}});
  const Reply window =
      call("read_file", {{"path", at("sparse")}, {"options", {{"mode", 4}, {"offset", size - 6}}}});
  EXPECT_EQ(window.body, std::string("\0\0END!", 6));
}

TEST_F(FsOpenFiles, ALineReaderIdIsAnOpenFileToo) {
  writeAll(at("f"), "one\r\ntwo\n");
  const Reply opened = call("readline_open", {{"path", at("f")}});
  ASSERT_EQ(opened.status, 200) << opened.text;
  EXPECT_EQ(opened.type, "application/json");
  const uint64_t id = std::stoull(opened.body);
  EXPECT_EQ(call("read", {{"rid", id}, {"len", 4}}).body, "one\n");
  EXPECT_EQ(call("seek", {{"rid", id}, {"offset", 0}, {"whence", 0}}).body, "0");
  EXPECT_EQ(call("readline_next", {{"rid", id}}).body, R"(["one",0])");
  EXPECT_EQ(call("readline_close", {{"rid", id}}).body, "true");
}

void otherUserChecks(const std::string& base);

// Permission checks need a user that is not root: as root the test reruns itself as nobody.
TEST_F(FsOpenFiles, PermissionsAsAnotherUser) {
  writeAll(at("readonly"), "content");
  ::chmod(at("readonly").c_str(), 0444);
  writeAll(at("secret"), "hidden");
  ::chmod(at("secret").c_str(), 0600);
  stdfs::create_directory(at("locked"));
  ::chmod(at("locked").c_str(), 0555);
  stdfs::create_directory(at("open"));
  ::chmod(at("open").c_str(), 0777);
  if (::geteuid() == 0) {
    EXPECT_EQ(runAsOtherUser("FsOtherUser.*", root), 0);
  } else {
    otherUserChecks(root);
  }
}

TEST(FsOtherUser, Checks) {
  const char* root = std::getenv("PEL_FS_OTHER_USER_ROOT");
  if (root == nullptr || ::geteuid() == 0) GTEST_SKIP() << "runs from PermissionsAsAnotherUser";
  otherUserChecks(root);
}

void otherUserChecks(const std::string& base) {
  // Mode 1 on a file that may not be written opens it for reading.
  Reply opened = call("open", {{"path", base + "/readonly"}, {"mode", 1}});
  ASSERT_EQ(opened.status, 200) << opened.text;
  EXPECT_EQ(call("read", {{"rid", std::stoull(opened.body)}, {"len", 7}}).body, "content");
  call("close", {{"rid", std::stoull(opened.body)}});
  EXPECT_EQ(call("open", {{"path", base + "/readonly"}, {"mode", 3}}).text, "Can't open file. (13)");
  EXPECT_EQ(call("open", {{"path", base + "/secret"}, {"mode", 1}}).text, "Can't open file. (13)");
  EXPECT_EQ(call("readline_open", {{"path", base + "/secret"}}).text, "Can't open file. (13)");
  EXPECT_FALSE(zrk::plugin::isDirectoryWritable(base + "/locked"));
  EXPECT_TRUE(zrk::plugin::isDirectoryWritable(base + "/open"));
  EXPECT_EQ(json::parse(call("stat", {{"path", base + "/locked"}}).body)["readonly"], true);
  EXPECT_EQ(json::parse(call("stat", {{"path", base + "/open"}}).body)["readonly"], false);
  // No file is left behind by the probe.
  EXPECT_TRUE(stdfs::is_empty(base + "/open"));
}

TEST_F(FsOpenFiles, WriteProbe) {
  EXPECT_TRUE(zrk::plugin::isDirectoryWritable(root));
  EXPECT_TRUE(stdfs::is_empty(root));
  EXPECT_FALSE(zrk::plugin::isDirectoryWritable(at("missing")));
  writeAll(at("file"), "x");
  EXPECT_FALSE(zrk::plugin::isDirectoryWritable(at("file")));
}

}  // namespace
