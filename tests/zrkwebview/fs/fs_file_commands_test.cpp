// The commands on one file or folder: write_file, exists, mkdir, remove, rename, set_readonly,
// read_file, move, copy_file, stat, realpath, set_modification, create_link and digest.
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "fs_test_support.h"

namespace {

using namespace fstest;

class FsCommands : public TempFolder {
 protected:
  void TearDown() override {
    zrk::plugin::setRecycleBinMover(nullptr);
    TempFolder::TearDown();
  }
};

// A body that breaks off after its first piece.
class FailingRequest : public pel::test::FakeRequest {
 public:
  std::string read(size_t maxBytes) override {
    if (reads++ > 0) throw std::runtime_error("connection reset");
    return std::string(std::min<size_t>(maxBytes, 10), 'x');
  }
  int reads = 0;
};

TEST_F(FsCommands, WriteFileTakesTheWholeBodyWhateverPiecesItComesIn) {
  auto request = bodyRequest({{"path", at("f")}}, {"ab", "c", std::string(3000, 'd'), "e"});
  Reply reply = call("write_file", {{"path", at("f")}}, request.get());
  EXPECT_EQ(reply.body, "3004");
  EXPECT_EQ(reply.type, "application/json");
  EXPECT_EQ(readAll(at("f")), "abc" + std::string(3000, 'd') + "e");

  auto more = bodyRequest({}, {"++"});
  EXPECT_EQ(call("write_file", {{"path", at("f")}, {"options", {{"append", true}}}}, more.get()).body,
            "2");
  EXPECT_EQ(readAll(at("f")).substr(3004), "++");

  auto empty = bodyRequest({}, {});
  EXPECT_EQ(call("write_file", {{"path", at("f")}, {"options", {{"append", true}}}}, empty.get()).body,
            "0");
  EXPECT_EQ(readAll(at("f")).size(), 3006u);
  auto replaced = bodyRequest({}, {});
  EXPECT_EQ(call("write_file", {{"path", at("f")}}, replaced.get()).body, "0");
  EXPECT_EQ(readAll(at("f")), "");
}

TEST_F(FsCommands, AFailedBodyLeavesTheOldContent) {
  writeAll(at("f"), "precious");
  FailingRequest request;
  const Reply reply = call("write_file", {{"path", at("f")}}, &request);
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.text, "connection reset");
  EXPECT_EQ(readAll(at("f")), "precious");
}

TEST_F(FsCommands, WriteFileFailures) {
  auto body = bodyRequest({}, {"x"});
  EXPECT_EQ(call("write_file", json::object(), body.get()).text, "Path not specified.");
  EXPECT_EQ(call("write_file", {{"path", root}}, body.get()).text, "Can't open file. (21)");
  EXPECT_EQ(call("write_file", {{"path", at("no/such/file")}}, body.get()).text,
            "Can't open file. (2)");
  // The device is full: a short write answers with the system's text.
  if (stdfs::exists("/dev/full")) {
    auto big = bodyRequest({}, {std::string(100000, 'z')});
    EXPECT_EQ(call("write_file", {{"path", "/dev/full"}}, big.get()).text,
              "No space left on device");
  }
}

TEST_F(FsCommands, Exists) {
  writeAll(at("f"), "x");
  stdfs::create_directory(at("d"));
  EXPECT_EQ(call("exists", {{"path", at("f")}}).body, R"({"exists":true,"isdir":false})");
  EXPECT_EQ(call("exists", {{"path", at("d")}}).body, R"({"exists":true,"isdir":true})");
  EXPECT_EQ(call("exists", {{"path", at("missing")}}).body, R"({"exists":false})");
  EXPECT_EQ(call("exists", {{"path", at("f/below")}}).body, R"({"exists":false})");
  EXPECT_EQ(call("exists", {{"path", ""}}).text, "Path not specified");
  EXPECT_EQ(call("exists", {{"path", 5}}).text, "Path not specified");
  EXPECT_EQ(call("exists", {{"path", at("f") + std::string(1, '\0')}}).text,
            "Error occurred. (Invalid path: it holds a NUL character.)");
}

TEST_F(FsCommands, Mkdir) {
  writeAll(at("file"), "x");
  EXPECT_EQ(call("mkdir", {{"path", at("file")}}).body, "false");
  EXPECT_EQ(call("mkdir", {{"path", root}}).body, "true");
  const Reply deep = call("mkdir", {{"path", at("a/b/c")}});
  EXPECT_EQ(deep.status, 400);
  EXPECT_EQ(deep.text, "File not found (" + at("a/b/c") + ")");
  EXPECT_FALSE(stdfs::exists(at("a")));
  EXPECT_EQ(call("mkdir", {{"path", at("a/b/c")}, {"options", {{"recursive", true}}}}).body, "true");
  EXPECT_TRUE(stdfs::is_directory(at("a/b/c")));
  EXPECT_EQ(call("mkdir", {{"path", at("a/b/c")}, {"options", {{"recursive", true}}}}).body, "true");
  EXPECT_EQ(call("mkdir", json::object()).text, "Path not specified.");
}

TEST_F(FsCommands, RemovePermanently) {
  writeAll(at("f"), "x");
  stdfs::create_directories(at("tree/sub"));
  writeAll(at("tree/sub/g"), "y");
  // A link inside the tree to a folder outside it: the link goes, the folder stays.
  stdfs::create_directory(at("outside"));
  writeAll(at("outside/keep"), "k");
  stdfs::create_directory_symlink(at("outside"), at("tree/link"));

  const json permanent = {{"permanent", true}};
  EXPECT_EQ(call("remove", {{"path", at("f")}, {"options", permanent}}).body, "true");
  EXPECT_FALSE(stdfs::exists(at("f")));
  EXPECT_EQ(call("remove", {{"path", at("tree")}, {"options", permanent}}).text,
            "Directory not empty (" + at("tree") + ")");
  EXPECT_EQ(call("remove", {{"path", at("tree")}, {"options", {{"permanent", true}, {"recursive", true}}}})
                .body,
            "true");
  EXPECT_FALSE(stdfs::exists(at("tree")));
  EXPECT_EQ(readAll(at("outside/keep")), "k");
  EXPECT_EQ(call("remove", {{"path", at("gone")}, {"options", permanent}}).text,
            "File not found (" + at("gone") + ")");
  EXPECT_EQ(call("remove", {{"path", "/"}, {"options", {{"permanent", true}, {"recursive", true}}}})
                .text,
            "Refused to remove \"/\".");
  EXPECT_EQ(call("remove", {{"path", "/tmp/.."}, {"options", {{"permanent", true}, {"recursive", true}}}})
                .text,
            "Refused to remove \"/tmp/..\".");
  stdfs::create_directories(at("xdg-data/Trash/files"));
  EXPECT_EQ(call("remove", {{"path", at("xdg-data/Trash")}, {"options", {{"permanent", true}, {"recursive", true}}}})
                .status,
            400);
  EXPECT_TRUE(stdfs::exists(at("xdg-data/Trash/files")));
  EXPECT_EQ(call("remove", json::object()).text, "Path not specified.");
}

TEST_F(FsCommands, RemoveWithoutPermanentGoesToTheRecycleBin) {
  writeAll(at("f"), "x");
  std::vector<std::string> recycled;
  zrk::plugin::setRecycleBinMover([&](const std::string& path) { recycled.push_back(path); });
  EXPECT_EQ(call("remove", {{"path", at("f")}, {"options", {{"recursive", false}}}}).body, "true");
  ASSERT_EQ(recycled.size(), 1u);
  EXPECT_EQ(recycled[0], at("f"));
  zrk::plugin::setRecycleBinMover(
      [](const std::string&) { throw std::runtime_error("Permission denied"); });
  const Reply refused = call("remove", {{"path", at("f")}});
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.text, "Permission denied");
  EXPECT_TRUE(stdfs::exists(at("f")));
}

TEST_F(FsCommands, RemoveUsesTheTrashOfTheDataFolder) {
  const std::string data = at("data");
  stdfs::create_directories(data);
  const char* previous = getenv("XDG_DATA_HOME");
  const std::string saved = previous ? previous : "";
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  writeAll(at("photo.jpg"), "pixels");
  EXPECT_EQ(call("remove", {{"path", at("photo.jpg")}}).body, "true");
  EXPECT_FALSE(stdfs::exists(at("photo.jpg")));
  EXPECT_EQ(readAll(data + "/Trash/files/photo.jpg"), "pixels");
  EXPECT_TRUE(stdfs::exists(data + "/Trash/info/photo.jpg.trashinfo"));
  // A file that is not there stays an error, and nothing is claimed for it.
  EXPECT_EQ(call("remove", {{"path", at("gone.jpg")}}).status, 400);
  EXPECT_FALSE(stdfs::exists(data + "/Trash/info/gone.jpg.trashinfo"));
  if (previous) setenv("XDG_DATA_HOME", saved.c_str(), 1); else unsetenv("XDG_DATA_HOME");
}

TEST_F(FsCommands, Rename) {
  writeAll(at("a"), "A");
  writeAll(at("b"), "B");
  EXPECT_EQ(call("rename", {{"from", at("a")}, {"to", at("b")}}).text, "File exists (" + at("b") + ")");
  EXPECT_EQ(readAll(at("b")), "B");
  EXPECT_EQ(call("rename", {{"from", at("a")}, {"to", at("b")}, {"options", {{"overwrite", "true"}}}}).status,
            400);
  EXPECT_EQ(call("rename", {{"from", at("a")}, {"to", at("b")}, {"options", {{"overwrite", true}}}}).body,
            "true");
  EXPECT_EQ(readAll(at("b")), "A");
  EXPECT_FALSE(stdfs::exists(at("a")));
  stdfs::create_directory(at("d"));
  EXPECT_EQ(call("rename", {{"from", at("b")}, {"to", at("d/b")}}).body, "true");
  EXPECT_EQ(readAll(at("d/b")), "A");
  EXPECT_EQ(call("rename", {{"from", at("missing")}, {"to", at("x")}}).text,
            "File not found (" + at("missing") + ")");
  EXPECT_EQ(call("rename", {{"from", at("d/b")}}).text, "Missing parameters.");
  EXPECT_EQ(call("rename", {{"from", ""}, {"to", at("x")}}).text, "Missing parameters.");
}

TEST_F(FsCommands, SetReadonly) {
  writeAll(at("f"), "x");
  EXPECT_EQ(call("set_readonly", {{"path", at("f")}, {"readonly", true}}).body, "true");
  EXPECT_EQ(call("set_readonly", {{"path", at("f")}, {"readonly", true}}).type, "text/plain");
  EXPECT_EQ(stdfs::status(at("f")).permissions() & stdfs::perms::all, stdfs::perms(0444));
  EXPECT_EQ(json::parse(call("stat", {{"path", at("f")}}).body)["readonly"], true);
  EXPECT_EQ(call("set_readonly", {{"path", at("f")}, {"readonly", false}}).body, "true");
  EXPECT_EQ(stdfs::status(at("f")).permissions() & stdfs::perms::all, stdfs::perms(0644));
  EXPECT_EQ(call("set_readonly", {{"path", at("f")}, {"readonly", "yes"}}).text,
            "Missing required field.");
  EXPECT_EQ(call("set_readonly", {{"readonly", true}}).text, "Missing required field.");
  EXPECT_EQ(call("set_readonly", {{"path", at("missing")}, {"readonly", true}}).text,
            "File not found");
}

TEST_F(FsCommands, ReadFileWindows) {
  writeAll(at("f"), "0123456789");
  struct Case {
    json options;
    std::string bytes;
  } cases[] = {
      {{{"mode", 4}}, "0123456789"},
      {{{"mode", 4}, {"offset", 2}}, "23456789"},
      {{{"mode", 4}, {"offset", 2}, {"len", 3}}, "234"},
      {{{"mode", 4}, {"offset", 8}, {"len", 30}}, "89"},
      {{{"mode", 4}, {"offset", 10}}, ""},
      {{{"mode", 4}, {"offset", 11}}, ""},
      {{{"mode", 4}, {"offset", 1e300}}, "0123456789"},
      {{{"mode", 4}, {"offset", -3}}, "0123456789"},
      {{{"offset", 3}, {"len", 2}}, "34"},
  };
  for (const auto& c : cases) {
    const Reply reply = call("read_file", {{"path", at("f")}, {"options", c.options}});
    EXPECT_EQ(reply.status, 200) << c.options << reply.text;
    EXPECT_EQ(reply.body, c.bytes) << c.options;
    EXPECT_EQ(reply.type, "application/octet-stream");
  }
}

TEST_F(FsCommands, ReadFileInTextModeReadsCrLfAsLf) {
  const std::string bytes = std::string("a\r\nb\rc\x1A" "d\r\n\r\n", 12);
  writeAll(at("t"), bytes);
  const Reply text = call("read_file", {{"path", at("t")}});
  EXPECT_EQ(text.body, std::string("a\nb\rc\x1A" "d\n\n", 9));
  EXPECT_TRUE(text.chunked);
  EXPECT_EQ(call("read_file", {{"path", at("t")}, {"options", {{"mode", 4}}}}).body, bytes);
  EXPECT_EQ(call("read_file", {{"path", at("t")}, {"options", {{"offset", 1}, {"len", 2}}}}).body, "\nb");
  // A CR LF across the reader's internal 8 KiB pieces.
  std::string long_text(8191, 'x');
  long_text += "\r\ny";
  writeAll(at("long"), long_text);
  EXPECT_EQ(call("read_file", {{"path", at("long")}}).body, std::string(8191, 'x') + "\ny");
}

TEST_F(FsCommands, ReadFileFailures) {
  EXPECT_EQ(call("read_file", json::object()).text, "Path not specified.");
  EXPECT_EQ(call("read_file", {{"path", at("missing")}}).text, "Can't open file. (2)");
  EXPECT_EQ(call("read_file", {{"path", root}}).text, "Can't open file. (21)");
  EXPECT_EQ(call("read_file", {{"path", root}, {"options", {{"mode", 4}}}}).text,
            "Can't open file. (21)");
}

TEST_F(FsCommands, CopyAndMove) {
  writeAll(at("a"), "A");
  writeAll(at("b"), "B");
  for (const char* command : {"copy_file", "move"}) {
    const Reply refused = call(command, {{"from", at("a")}, {"to", at("b")}});
    EXPECT_EQ(refused.text, "File exists (" + at("b") + ")") << command;
    EXPECT_EQ(call(command, {{"from", at("a")}, {"to", at("b")}, {"options", {{"overwrite", "true"}}}})
                  .status,
              400);
    EXPECT_EQ(readAll(at("b")), "B");
  }
  EXPECT_EQ(call("copy_file", {{"from", at("a")}, {"to", at("b")}, {"options", {{"overwrite", true}}}}).body,
            "true");
  EXPECT_EQ(readAll(at("a")), "A");
  EXPECT_EQ(readAll(at("b")), "A");
  writeAll(at("b"), "B");
  EXPECT_EQ(call("move", {{"from", at("a")}, {"to", at("b")}, {"options", {{"overwrite", true}}}}).body,
            "true");
  EXPECT_FALSE(stdfs::exists(at("a")));
  EXPECT_EQ(readAll(at("b")), "A");
  // Onto an existing folder: the item lands inside it.
  stdfs::create_directory(at("dir"));
  EXPECT_EQ(call("copy_file", {{"from", at("b")}, {"to", at("dir")}}).body, "true");
  EXPECT_EQ(readAll(at("dir/b")), "A");
  EXPECT_EQ(call("copy_file", json::object()).text, "Missing parameters.");
  EXPECT_EQ(call("move", {{"from", at("missing")}, {"to", at("x")}}).text,
            "File not found (" + at("missing") + ")");
}

TEST_F(FsCommands, CopyOrMoveOntoItselfChangesNothing) {
  writeAll(at("a"), "content");
  stdfs::create_symlink(at("a"), at("link"));
  stdfs::create_directories(at("tree/sub"));
  writeAll(at("tree/sub/f"), "f");
  const json overwrite = {{"overwrite", true}};
  struct Case {
    const char* command;
    std::string from, to, text;
  } cases[] = {
      {"copy_file", at("a"), root + "/./a", "Source and destination are the same file."},
      {"move", at("a"), root + "/./a", "Source and destination are the same file."},
      {"move", at("a"), at("link"), "Source and destination are the same file."},
      {"copy_file", at("tree"), at("tree/sub/copy"), "Cannot move or copy a folder into itself."},
      {"move", at("tree"), at("tree/sub"), "Cannot move or copy a folder into itself."},
      {"move", at("tree"), at("tree/sub/deeper"), "Cannot move or copy a folder into itself."},
  };
  for (const auto& c : cases) {
    const Reply reply = call(c.command, {{"from", c.from}, {"to", c.to}, {"options", overwrite}});
    EXPECT_EQ(reply.status, 400) << c.command << " " << c.to;
    EXPECT_EQ(reply.text, c.text) << c.command << " " << c.to;
  }
  EXPECT_EQ(readAll(at("a")), "content");
  EXPECT_TRUE(stdfs::is_symlink(at("link")));
  EXPECT_EQ(readAll(at("tree/sub/f")), "f");
  EXPECT_FALSE(stdfs::exists(at("tree/sub/copy")));
  EXPECT_FALSE(stdfs::exists(at("tree/sub/deeper")));
}

TEST_F(FsCommands, MoveAcrossFileSystemsCopiesAndRemoves) {
  struct stat here {}, shm {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(root.c_str(), &here) != 0 || here.st_dev == shm.st_dev) {
    GTEST_SKIP() << "needs /dev/shm on another file system";
  }
  const std::string other = "/dev/shm/pel-fs-move-" + std::to_string(::getpid());
  stdfs::create_directories(at("tree/sub"));
  writeAll(at("tree/sub/f"), "payload");
  EXPECT_EQ(call("move", {{"from", at("tree")}, {"to", other}}).body, "true");
  EXPECT_FALSE(stdfs::exists(at("tree")));
  EXPECT_EQ(readAll(other + "/sub/f"), "payload");
  EXPECT_EQ(call("move", {{"from", other}, {"to", at("back")}}).body, "true");
  EXPECT_EQ(readAll(at("back/sub/f")), "payload");
  EXPECT_FALSE(stdfs::exists(other));
}

TEST_F(FsCommands, Stat) {
  writeAll(at("f"), "12345");
  stdfs::create_directory(at("d"));
  writeAll(at(".hidden"), "");
  stdfs::create_symlink(at("f"), at("link"));
  const json file = json::parse(call("stat", {{"path", at("f")}}).body);
  EXPECT_EQ(file["isFile"], true);
  EXPECT_EQ(file["isDirectory"], false);
  EXPECT_EQ(file["isSymlink"], false);
  EXPECT_EQ(file["hidden"], false);
  EXPECT_EQ(file["size"], 5);
  EXPECT_EQ(file["readonly"], false);
  EXPECT_EQ(file["mode"], 6);
  EXPECT_EQ(file["mtime"].get<int64_t>() % 1000, 0);
  EXPECT_EQ(file["btime"].get<int64_t>() % 1000, 0);
  EXPECT_NEAR(file["mtime"].get<double>() / 1000, static_cast<double>(::time(nullptr)), 60);
  const std::string text = call("stat", {{"path", at("f")}}).body;
  EXPECT_LT(text.find("\"btime\""), text.find("\"size\""));  // keys in alphabetical order
  const json folder = json::parse(call("stat", {{"path", at("d")}}).body);
  EXPECT_EQ(folder["isDirectory"], true);
  EXPECT_EQ(folder["isFile"], false);
  EXPECT_EQ(folder["readonly"], false);
  EXPECT_EQ(json::parse(call("stat", {{"path", at(".hidden")}}).body)["hidden"], true);
  EXPECT_EQ(json::parse(call("stat", {{"path", at("link")}}).body)["isSymlink"], true);
  ::chmod(at("f").c_str(), 0755);
  EXPECT_EQ(json::parse(call("stat", {{"path", at("f")}}).body)["mode"], 7);
  EXPECT_EQ(call("stat", {{"path", at("missing")}}).text, "Error occurred. (File not found)");
  EXPECT_EQ(call("stat", json::object()).text, "Path not specified.");
}

TEST_F(FsCommands, Realpath) {
  stdfs::create_directories(at("d/e"));
  const std::string real = stdfs::canonical(root).string();
  const Reply reply = call("realpath", {{"path", at("d/e/../e/.")}});
  EXPECT_EQ(reply.body, real + "/d/e");
  EXPECT_EQ(reply.type, "text/plain");
  EXPECT_EQ(call("realpath", {{"path", at("missing")}}).text, "Path doesn't exist");
  EXPECT_EQ(call("realpath", {{"path", ""}}).text, "Path is empty");
}

TEST_F(FsCommands, SetModificationTakesMilliseconds) {
  writeAll(at("f"), "x");
  EXPECT_EQ(call("set_modification", {{"path", at("f")}, {"ms", 1500000000123ll}}).body, "true");
  struct stat info {};
  ASSERT_EQ(::stat(at("f").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(info.st_mtim.tv_nsec, 123000000);
  EXPECT_EQ(json::parse(call("stat", {{"path", at("f")}}).body)["mtime"], 1500000000000ll);
  for (const json& ms : {json(true), json("1500000000000"), json(-5), json()}) {
    EXPECT_EQ(call("set_modification", {{"path", at("f")}, {"ms", ms}}).text, "Missing required field.")
        << ms;
  }
  EXPECT_EQ(call("set_modification", {{"path", at("missing")}, {"ms", 0}}).text, "File not found");
}

TEST_F(FsCommands, CreateLink) {
  writeAll(at("f"), "data");
  EXPECT_EQ(call("create_link", {{"path", at("f")}, {"dest", at("hard")}, {"mode", "hard"}}).body, "true");
  EXPECT_EQ(stdfs::hard_link_count(at("f")), 2u);
  EXPECT_EQ(call("create_link", {{"path", at("f")}, {"dest", at("soft")}, {"mode", "symbolic"}}).body,
            "true");
  EXPECT_EQ(stdfs::read_symlink(at("soft")), at("f"));
  EXPECT_EQ(call("create_link", {{"path", at("f")}, {"dest", at("x")}, {"mode", "Hard"}}).text,
            "Missing required field.");
  EXPECT_EQ(call("create_link", {{"path", at("f")}, {"dest", at("soft")}, {"mode", "symbolic"}}).text,
            "File exists");
}

TEST_F(FsCommands, Digest) {
  writeAll(at("empty"), "");
  writeAll(at("abc"), "abc");
  EXPECT_EQ(call("digest", {{"path", at("empty")}, {"method", "MD5"}}).body,
            "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(call("digest", {{"path", at("abc")}, {"method", "SHA1"}}).body,
            "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(call("digest", {{"path", at("abc")}, {"method", "SHA224"}}).body,
            "23097D223405D8228642A477BDA255B32AADBCE4BDA0B3F7E36C9DA7");
  EXPECT_EQ(call("digest", {{"path", at("abc")}, {"method", "SHA384"}}).body.size(), 96u);
  const Reply binary = call("digest", {{"path", at("abc")}, {"method", "SHA512"}, {"binary", true}});
  EXPECT_EQ(binary.body.size(), 64u);
  EXPECT_EQ(binary.type, "application/octet-stream");
  EXPECT_EQ(static_cast<unsigned char>(binary.body[0]), 0xDD);
  const Reply hex = call("digest", {{"path", at("abc")}, {"method", "SHA512"}, {"binary", "true"}});
  EXPECT_EQ(hex.type, "text/plain");
  EXPECT_EQ(hex.body.substr(0, 8), "DDAF35A1");
  for (const char* method : {"md5", "SHA256", ""}) {
    EXPECT_EQ(call("digest", {{"path", at("missing")}, {"method", method}}).text,
              std::string("Unsupported method: ") + method);
  }
}

}  // namespace
