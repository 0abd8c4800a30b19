#include "desk/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/log.h"
#include "desk/test_services.h"

namespace desk {
namespace {

std::string bytesOf(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

std::string utf16Bytes(const std::u16string& s) { return bytesOf(s.data(), s.size() * 2); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::vector<std::string> listFolder(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/desk-registry-XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useMemoryRegistry();
    test::clearRegistryRefusals();
    setLogHandler([this](int level, const std::string& text) {
      logs_.push_back(std::to_string(level) + " " + text);
    });
  }
  void TearDown() override {
    useMemoryRegistry();
    test::clearRegistryRefusals();
    setLogHandler(nullptr);
    EXPECT_EQ(test::openRegistryKeys(), 0u);
  }

  HKEY create(const std::string& path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              access, nullptr, &key, nullptr),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    return key;
  }

  std::vector<std::string> logs_;
};

// Every value type written in one form reads back exactly, in both forms.
TEST_F(RegistryTest, ValuesRoundTripExactly) {
  struct Case {
    const char* label;
    bool narrowWrite;
    DWORD type;
    std::string written;      // bytes handed to the set call
    std::string wideBack;     // bytes a wide query returns
    std::string narrowBack;   // bytes a narrow query returns
  };
  const std::u16string wideText = u"h\u00e9llo \u2713 \U0001F600";
  const std::string narrowText = "h\xc3\xa9llo \xe2\x9c\x93 \xf0\x9f\x98\x80";
  const std::u16string wideWithNul = wideText + u'\0';
  const uint32_t dwMax = 0xFFFFFFFFu, dwZero = 0;
  const uint64_t qwMax = UINT64_MAX, qwZero = 0;
  const std::string binary("\0\x01\0\xff\0", 5);
  std::string big(kMaxRegistryValueSize, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  const std::vector<Case> cases = {
      {"empty wide text", false, REG_SZ, "", "", ""},
      {"empty narrow text", true, REG_SZ, "", "", ""},
      {"wide text with NUL", false, REG_SZ, utf16Bytes(wideWithNul), utf16Bytes(wideWithNul),
       narrowText + std::string(1, '\0')},
      {"narrow text without NUL", true, REG_SZ, narrowText, utf16Bytes(wideText), narrowText},
      {"narrow expandable text", true, REG_EXPAND_SZ, "%HOME%", utf16Bytes(u"%HOME%"), "%HOME%"},
      {"DWORD zero", false, REG_DWORD, bytesOf(&dwZero, 4), bytesOf(&dwZero, 4), bytesOf(&dwZero, 4)},
      {"DWORD max", true, REG_DWORD, bytesOf(&dwMax, 4), bytesOf(&dwMax, 4), bytesOf(&dwMax, 4)},
      {"QWORD zero", true, REG_QWORD, bytesOf(&qwZero, 8), bytesOf(&qwZero, 8), bytesOf(&qwZero, 8)},
      {"QWORD max", false, REG_QWORD, bytesOf(&qwMax, 8), bytesOf(&qwMax, 8), bytesOf(&qwMax, 8)},
      {"binary with NULs", true, REG_BINARY, binary, binary, binary},
      {"empty binary", false, REG_BINARY, "", "", ""},
      {"1 MiB binary", false, REG_BINARY, big, big, big},
  };
  TempFolder folder;
  for (bool onFile : {false, true}) {
    if (onFile) {
      ASSERT_TRUE(useRegistryPath(folder.path() + "/registry.json"));
    }
    HKEY key = create("Software\\Pelmora\\types");
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.label) + (onFile ? " (file)" : " (memory)"));
      const auto* data = reinterpret_cast<const BYTE*>(c.written.data());
      const auto size = static_cast<DWORD>(c.written.size());
      ASSERT_EQ(c.narrowWrite ? RegSetValueExA(key, c.label, 0, c.type, data, size)
                              : RegSetValueExW(key, std::u16string(c.label, c.label + std::strlen(c.label)).c_str(), 0, c.type, data, size),
                static_cast<LSTATUS>(ERROR_SUCCESS));
      for (bool narrow : {false, true}) {
        const std::string& expected = narrow ? c.narrowBack : c.wideBack;
        DWORD type = 0, needed = 12345;
        const std::u16string wideName(c.label, c.label + std::strlen(c.label));
        auto query = [&](BYTE* out, DWORD* n) {
          return narrow ? RegQueryValueExA(key, c.label, nullptr, &type, out, n)
                        : RegQueryValueExW(key, wideName.c_str(), nullptr, &type, out, n);
        };
        ASSERT_EQ(query(nullptr, &needed), static_cast<LSTATUS>(ERROR_SUCCESS));
        EXPECT_EQ(type, c.type);
        ASSERT_EQ(needed, expected.size());
        std::string buffer(expected.size() + 3, '\x5a');
        DWORD n = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(query(reinterpret_cast<BYTE*>(buffer.data()), &n), static_cast<LSTATUS>(ERROR_SUCCESS));
        EXPECT_EQ(n, expected.size());
        EXPECT_TRUE(buffer.compare(0, n, expected) == 0);
        EXPECT_EQ(buffer.substr(n), std::string(3, '\x5a')) << "wrote past the value";
      }
    }
    EXPECT_EQ(RegCloseKey(key), static_cast<LSTATUS>(ERROR_SUCCESS));
    if (onFile) {
      // A fresh start reads the same values from the file.
      ASSERT_TRUE(useRegistryPath(folder.path() + "/registry.json"));
      auto v = test::registryValue("software\\PELMORA\\Types", "1 MiB binary");
      ASSERT_TRUE(v.has_value());
      EXPECT_EQ(v->type, REG_BINARY);
      EXPECT_TRUE(v->bytes == big);
      v = test::registryValue("Software\\Pelmora\\types", "narrow text without NUL");
      ASSERT_TRUE(v.has_value());
      EXPECT_EQ(v->bytes, utf16Bytes(wideText));
    }
  }
}

TEST_F(RegistryTest, SizeProtocolAndWrongTypeReads) {
  HKEY key = create("Software\\Pelmora");
  const std::u16string text = u"abcdef";
  ASSERT_EQ(RegSetValueExW(key, u"text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * 2)),
            static_cast<LSTATUS>(ERROR_SUCCESS));

  // A 4-byte buffer (a DWORD read of a text value): more data, the size, the buffer untouched.
  uint32_t dword = 0x11223344;
  DWORD size = 4, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"text", nullptr, &type, reinterpret_cast<BYTE*>(&dword), &size),
            static_cast<LSTATUS>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(dword, 0x11223344u);

  // A buffer without a size, and a size without a buffer.
  EXPECT_EQ(RegQueryValueExW(key, u"text", nullptr, nullptr, reinterpret_cast<BYTE*>(&dword), nullptr),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegSetValueExW(key, u"x", 0, REG_BINARY, nullptr, 4),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  // Only the type, no size at all.
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"text", nullptr, &type, nullptr, nullptr), static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(type, REG_SZ);

  // A DWORD read as text is its four bytes, whatever the form.
  uint32_t seven = 7;
  ASSERT_EQ(RegSetValueExA(key, "num", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  char chars[8] = {};
  size = sizeof chars;
  EXPECT_EQ(RegQueryValueExA(key, "num", nullptr, &type, reinterpret_cast<BYTE*>(chars), &size),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(std::string(chars, 4), std::string("\x07\0\0\0", 4));

  // Over the limit, and names with NUL, are refused; nothing is stored.
  std::string tooBig(kMaxRegistryValueSize + 1, 'x');
  EXPECT_EQ(RegSetValueExA(key, "big", 0, REG_BINARY, reinterpret_cast<const BYTE*>(tooBig.data()),
                           static_cast<DWORD>(tooBig.size())),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegSetValueExA(key, std::string("a\0b", 3), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&seven), 4),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(test::registryValue("Software\\Pelmora", "a").has_value());
  EXPECT_FALSE(test::registryValue("Software\\Pelmora", "big").has_value());

  // Deleting.
  EXPECT_EQ(RegDeleteValueA(key, "num"), static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(RegDeleteValueA(key, "num"), static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegQueryValueExA(key, "num", nullptr, nullptr, nullptr, &size),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(key);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndAccessRightsHold) {
  HKEY key = create("SOFTWARE\\Pelmora\\windows\\Pelmora");
  uint32_t left = 100;
  ASSERT_EQ(RegSetValueExW(key, u"Left", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&left), 4),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  RegCloseKey(key);

  // The same key and value under other spellings, and the keys on the way exist.
  HKEY read = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\pelmora\\Windows\\PELMORA\\", 0, KEY_READ, &read),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  uint32_t got = 0;
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(read, "LEFT", nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &size),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(got, 100u);
  // Read-only: no writes, no deletes.
  EXPECT_EQ(RegSetValueExA(read, "left", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&left), 4),
            static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteValueA(read, "left"), static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  RegCloseKey(read);
  HKEY parent = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "software\\pelmora", &parent), static_cast<LSTATUS>(ERROR_SUCCESS));
  // A sub-key relative to an open key.
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExA(parent, "Windows\\Pelmora", 0, KEY_WRITE, &child), static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(RegQueryValueExA(child, "left", nullptr, nullptr, nullptr, &size),
            static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  RegCloseKey(child);
  RegCloseKey(parent);

  // Missing keys, closed handles.
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nobody", 0, KEY_READ, &missing),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(RegCloseKey(read), static_cast<LSTATUS>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegQueryValueExA(read, "left", nullptr, nullptr, nullptr, &size),
            static_cast<LSTATUS>(ERROR_INVALID_HANDLE));

  // Refused keys cannot be opened or created, nor anything below them.
  test::refuseRegistryKey("Software\\Pelmora\\Windows");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\PELMORA\\windows\\Pelmora", 0, KEY_READ, &read),
            static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora\\windows", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &read, nullptr),
            static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora", 0, KEY_READ, &read),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  RegCloseKey(read);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora\\WindowsX", 0, KEY_READ, &read),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));

  DWORD disposition = 0;
  test::clearRegistryRefusals();
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora\\Windows", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &read, &disposition),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(read);
}

// Runs `body` in a child process and returns its exit status.
template <class F>
pid_t spawn(F body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  TempFolder folder;
  const std::string path = folder.path() + "/registry.json";
  ASSERT_TRUE(useRegistryPath(path));
  auto writer = [&](char which) {
    return [&path, which]() {
      if (!useRegistryPath(path)) return 2;
      HKEY key = nullptr;
      if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora\\concurrent", 0, nullptr, 0,
                          KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return 3;
      }
      for (uint32_t i = 0; i < 500; ++i) {
        const std::string name = std::string(1, which) + std::to_string(i);
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4) !=
            ERROR_SUCCESS) {
          return 4;
        }
      }
      RegCloseKey(key);
      return 0;
    };
  };
  // A reader that keeps looking while the writers run: every value it sees is whole.
  const pid_t reader = spawn([&path]() {
    if (!useRegistryPath(path)) return 2;
    for (int round = 0; round < 300; ++round) {
      HKEY key = nullptr;
      if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora\\concurrent", 0, KEY_READ, &key) !=
          ERROR_SUCCESS) {
        continue;
      }
      for (uint32_t i = 0; i < 500; i += 37) {
        uint32_t v = 0;
        DWORD size = 4;
        const std::string name = "a" + std::to_string(i);
        const LSTATUS s = RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(&v), &size);
        if (s == ERROR_SUCCESS && (size != 4 || v != i)) return 5;
      }
      RegCloseKey(key);
    }
    return 0;
  });
  const pid_t a = spawn(writer('a'));
  const pid_t b = spawn(writer('b'));
  EXPECT_EQ(waitFor(a), 0);
  EXPECT_EQ(waitFor(b), 0);
  EXPECT_EQ(waitFor(reader), 0);

  // This process saw none of it happen: its next read notices the file changed.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora\\concurrent", 0, KEY_READ, &key),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  int found = 0;
  for (char which : {'a', 'b'}) {
    for (uint32_t i = 0; i < 500; ++i) {
      uint32_t v = 0;
      DWORD size = 4;
      const std::string name = std::string(1, which) + std::to_string(i);
      if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size) ==
              ERROR_SUCCESS &&
          v == i) {
        ++found;
      }
    }
  }
  RegCloseKey(key);
  EXPECT_EQ(found, 1000);
}

TEST_F(RegistryTest, KillDuringAWriteLeavesAWholeFile) {
  TempFolder folder;
  const std::string path = folder.path() + "/registry.json";
  std::mt19937 random(12345);
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const pid_t child = spawn([&path, round]() {
      if (!useRegistryPath(path)) return 2;
      HKEY key = nullptr;
      if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pelmora\\kill", 0, nullptr, 0,
                          KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return 3;
      }
      // Values of 64 KiB, each filled with one byte: a torn value would show mixed bytes.
      for (int i = 0;; ++i) {
        const std::string data(65536, static_cast<char>('A' + (round + i) % 26));
        const std::string name = "v" + std::to_string(i % 8);
        RegSetValueExA(key, name.c_str(), 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
      }
    });
    usleep(1000 + random() % 20000);
    kill(child, SIGKILL);
    waitFor(child);

    logs_.clear();
    ASSERT_TRUE(useRegistryPath(path));
    EXPECT_TRUE(logs_.empty()) << logs_.front();
    for (int i = 0; i < 8; ++i) {
      auto v = test::registryValue("Software\\Pelmora\\kill", "v" + std::to_string(i));
      if (!v) continue;
      ASSERT_EQ(v->bytes.size(), 65536u);
      EXPECT_EQ(v->bytes.find_first_not_of(v->bytes[0]), std::string::npos);
    }
  }
  // The stale temporary file went with the last open; nothing was moved aside.
  for (const std::string& name : listFolder(folder.path())) {
    EXPECT_TRUE(name == "registry.json" || name == "registry.json.lock") << name;
  }
}

TEST_F(RegistryTest, CorruptFilesAreMovedAsideAndANewStoreBegins) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"not JSON", "hello"},
      {"truncated", "{\"format\":\"pelmora-registry\",\"version\":1,\"keys\":{\"A\":{\"v\":[4,\"01"},
      {"keys not an object", "{\"keys\":[]}"},
      {"no keys", "{\"version\":1}"},
      {"other version", "{\"version\":2,\"keys\":{}}"},
      {"bad hexadecimal", "{\"keys\":{\"A\":{\"v\":[4,\"zz\"]}}}"},
      {"odd hexadecimal", "{\"keys\":{\"A\":{\"v\":[4,\"abc\"]}}}"},
      {"value not a pair", "{\"keys\":{\"A\":{\"v\":\"01\"}}}"},
      {"negative type", "{\"keys\":{\"A\":{\"v\":[-4,\"01\"]}}}"},
      {"text after the document", "{\"keys\":{}} {}"},
      {"binary bytes", std::string("\xff\xfe\0\x01{", 5)},
  };
  for (const auto& [label, contents] : cases) {
    SCOPED_TRACE(label);
    TempFolder folder;
    const std::string path = folder.path() + "/registry.json";
    writeFile(path, contents);
    logs_.clear();
    ASSERT_TRUE(useRegistryPath(path));
    ASSERT_EQ(logs_.size(), 1u);
    EXPECT_NE(logs_[0].find("moved aside"), std::string::npos) << logs_[0];
    std::string aside;
    for (const std::string& name : listFolder(folder.path())) {
      if (name.rfind("registry.json.corrupt-", 0) == 0) aside = name;
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(readFile(folder.path() + "/" + aside), contents);
    // The new store works and is written to a fresh file.
    test::seedRegistryValue("Software\\Pelmora", "n", REG_DWORD, std::string("\x01\0\0\0", 4));
    ASSERT_TRUE(useRegistryPath(path));
    EXPECT_EQ(logs_.size(), 1u);
    auto v = test::registryValue("Software\\Pelmora", "n");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->bytes, std::string("\x01\0\0\0", 4));
  }
}

TEST_F(RegistryTest, AHandEditedFileIsRead) {
  TempFolder folder;
  const std::string path = folder.path() + "/registry.json";
  writeFile(path,
            "{ \"comment\": [1, 2.5, true, null, {\"x\": \"y\"}],\n"
            "  \"keys\" : {\n"
            "    \"Software\\\\Pelmora\" : { \"Na\\u00efve \\\"q\\\"\" : [ 4 , \"2A000000\" ] },\n"
            "    \"Software\" : { }\n"
            "  }\n}\n");
  ASSERT_TRUE(useRegistryPath(path));
  EXPECT_TRUE(logs_.empty());
  auto v = test::registryValue("software\\pelmora", "na\xc3\xafve \"q\"");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->type, REG_DWORD);
  EXPECT_EQ(v->bytes, std::string("\x2a\0\0\0", 4));
}

TEST_F(RegistryTest, TheFileSitsUnderTheConfigFolder) {
  TempFolder folder;
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", (folder.path() + "/config").c_str(), 1);
  EXPECT_TRUE(useRegistryFile("Pelmora"));
  EXPECT_EQ(registryPath(), folder.path() + "/config/Pelmora/registry.json");
  EXPECT_FALSE(useRegistryFile("../elsewhere"));
  EXPECT_EQ(registryPath(), "");
  if (old) setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace desk
