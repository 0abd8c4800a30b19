// The "system" plugin through its invoke: the command table and its errors, the system record,
// locale records, running programs and opening documents, and the machine identifier (encoding,
// sources, stability across runs and users, the virtual-machine rules).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desk/shell.h"
#include "desk/sysinfo.h"
#include "desk/test_services.h"
#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/system/machine-id.h"
#include "zrkwebview/browser/src/http-plugins/system/system-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

// fontconfig keeps its configuration, loaded on first use, for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using json = nlohmann::json;
using zrk::plugin::SystemPlugin;

std::string gSelf;        // this executable
std::string gScratchData;  // XDG_DATA_HOME of the whole run

struct Reply {
  bool empty = true;
  int status = 0;
  std::string text;
  std::string mime;
  std::string body;
};

Reply run(const std::string& command, const json& payload, bool withWebview = true,
          bool withRequest = true) {
  static SystemPlugin plugin;
  pel::test::FakeWebview webview;
  pel::test::FakeRequest request("POST", "https://app.local/plugin");
  auto result = plugin.invoke(command, withWebview ? &webview : nullptr, nullptr,
                              withRequest ? &request : nullptr, payload);
  Reply reply;
  if (!result) return reply;
  reply.empty = false;
  auto* response = dynamic_cast<http::HttpResponse*>(result.get());
  EXPECT_NE(response, nullptr);
  reply.status = response->status();
  reply.text = response->statusMessage();
  if (auto* mime = dynamic_cast<http::HttpMimeResponse*>(response)) {
    reply.mime = mime->mimeType();
    reply.body = mime->body();
  }
  return reply;
}

// Whether every character of `text` is in `allowed`.
bool allIn(const std::string& text, const std::string& allowed) {
  return text.find_first_not_of(allowed) == std::string::npos;
}
const std::string kHex = "0123456789abcdef";
const std::string kCrockford = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

bool isUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i : {8, 13, 18, 23}) {
    if (text[i] != '-') return false;
  }
  std::string digits = text;
  digits.erase(std::remove(digits.begin(), digits.end(), '-'), digits.end());
  return digits.size() == 32 && allIn(digits, kHex);
}

bool isUid(const std::string& text) {
  std::string rest;
  if (text.rfind("VM-", 0) == 0) rest = text.substr(3);
  if (text.rfind("W@", 0) == 0) rest = text.substr(2);
  return rest.size() == 13 && allIn(rest, kCrockford);
}

std::string makeTempDir() {
  char pattern[] = "/tmp/pel-system-XXXXXX";
  EXPECT_NE(mkdtemp(pattern), nullptr);
  return pattern;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

// --- the command table ---

TEST(SystemPluginTest, CommandTableAnswersAndRefusals) {
  struct Case {
    const char* command;
    json payload;
    int status;
    const char* text;
  };
  const Case cases[] = {
      {"open_system_preferences_panel", json::object(), 400, "Missing panel"},
      {"open_system_preferences_panel", {{"panel", 5}}, 400, "Missing panel"},
      {"open_system_preferences_panel", {{"panel", "network"}}, 400, "macOS only feature"},
      {"execute_osascript", json::object(), 400, "Missing script"},
      {"execute_osascript", {{"script", json::array()}}, 400, "Missing script"},
      {"execute_osascript", {{"script", "beep"}}, 400, "macOS only feature"},
      {"execute", json::object(), 400, "Missing program"},
      {"execute", {{"cmd", 7}}, 400, "Missing program"},
      {"execute", json::array({"sh"}), 400, "Missing program"},
      // Parameters that cannot be split are refused rather than guessed at.
      {"execute", {{"cmd", "sh"}, {"args", "-c 'exit 1"}}, 400, "Unterminated quote in parameters"},
      {"execute", {{"cmd", "sh"}, {"args", "\"open"}}, 400, "Unterminated quote in parameters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload.dump());
    const Reply r = run(c.command, c.payload);
    ASSERT_FALSE(r.empty);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.text, c.text);
  }

  // Unknown commands and calls without a webview or request get no reply (the handler's 420).
  EXPECT_TRUE(run("reboot", json::object()).empty);
  EXPECT_TRUE(run("uuid", json::object(), false, true).empty);
  EXPECT_TRUE(run("uuid", json::object(), true, false).empty);

  const Reply a = run("uuid", json::object()), b = run("uuid", json::object());
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.mime, "text/plain");
  EXPECT_TRUE(isUuid(a.body)) << a.body;
  EXPECT_NE(a.body, b.body);
}

TEST(SystemPluginTest, FontFamiliesListTheInstalledFamiliesOnce) {
  const Reply r = run("list_fontfamilies", nullptr);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.mime, "application/json");
  const json families = json::parse(r.body);
  ASSERT_TRUE(families.is_array());
  std::set<std::string> seen;
  for (const json& f : families) {
    ASSERT_TRUE(f.is_string());
    EXPECT_TRUE(seen.insert(f.get<std::string>()).second) << "listed twice: " << f;
  }
  EXPECT_TRUE(seen.count("DejaVu Sans")) << r.body;
}

// --- the system record ---

TEST(SystemPluginTest, SystemRecordKeysAndTypes) {
  setenv("LC_ALL", "en_GB.UTF-8", 1);
  const Reply r = run("get_sys_info", json::object());
  unsetenv("LC_ALL");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.mime, "application/json");
  const json info = json::parse(r.body);
  EXPECT_EQ(info["platform"], "linux");
  const std::set<std::string> names{"x64", "arm64", "x86", "arm32", "unknown"};
  EXPECT_TRUE(names.count(info["sys_arch"].get<std::string>()));
#if defined(__x86_64__)
  EXPECT_EQ(info["arch"], "x64");
#endif
  // The kernel's release, read from uname.
  const std::string release = desk::kernelRelease();
  ASSERT_TRUE(info["os_version"].is_object());
  EXPECT_TRUE(info["os_version"]["major"].is_number_unsigned());
  EXPECT_EQ(std::to_string(info["os_version"]["major"].get<unsigned>()) + "." +
                std::to_string(info["os_version"]["minor"].get<unsigned>()),
            release.substr(0, release.find('.', release.find('.') + 1)));
  EXPECT_TRUE(info["os_version"]["patch"].is_number_unsigned());
  EXPECT_TRUE(info["os_version"]["extra"].is_object());
  ASSERT_TRUE(info["cpu"].is_object());
  EXPECT_TRUE(info["cpu"]["name"].is_string());
  EXPECT_EQ(info["cpu"]["cores"].get<unsigned>(), desk::processorCount());
  EXPECT_GE(info["cpu"]["cores"].get<unsigned>(), 1u);
  ASSERT_TRUE(info["memory"].is_number_unsigned());
  EXPECT_GT(info["memory"].get<uint64_t>(), 16u * 1024 * 1024);
  EXPECT_TRUE(isUid(info["uid"].get<std::string>())) << info["uid"];
  EXPECT_EQ(info["currentLocale"], (json{{"language", "en"}, {"region", "GB"}, {"script", "Latn;"}}));
  EXPECT_TRUE(info["systemLocale"]["language"].is_string());
  // A name that trims to nothing stays a string; the brand has no blanks at its ends.
  const std::string brand = info["cpu"]["name"];
  if (!brand.empty()) {
    EXPECT_NE(brand.front(), ' ');
    EXPECT_NE(brand.back(), ' ');
  }
}

TEST(SystemPluginTest, LocaleRecordsFromPosixNames) {
  struct Case {
    const char* posix;
    json record;
  };
  const json english{{"language", "en"}, {"region", "US"}, {"script", "Latn;"}};
  const Case cases[] = {
      {"en_GB.UTF-8", {{"language", "en"}, {"region", "GB"}, {"script", "Latn;"}}},
      {"de_DE@euro", {{"language", "de"}, {"region", "DE"}, {"script", "Latn;"}}},
      // Three pieces: the whole tag is the language, with no region.
      {"sr_RS@latin", {{"language", "sr-Latn-RS"}, {"script", "Latn;"}}},
      {"sr_RS.UTF-8", {{"language", "sr"}, {"region", "RS"}, {"script", "Cyrl;"}}},
      {"ru", {{"language", "ru"}, {"script", "Cyrl;"}}},
      // C and POSIX name no language: the fixed English record.
      {"C.UTF-8", english},
      {"C", english},
      {"POSIX", english},
      {"", english},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.posix);
    EXPECT_EQ(zrk::plugin::localeRecord(desk::localeTagFromPosix(c.posix)), c.record);
  }
  // A language the system cannot name scripts for has no "script".
  EXPECT_EQ(zrk::plugin::localeRecord("zz-QQ"), (json{{"language", "zz"}, {"region", "QQ"}}));
}

TEST(SystemPluginTest, UserAndSystemLocaleSources) {
  // LC_ALL before LC_MESSAGES before LANG; empty values are skipped.
  setenv("LANG", "fr_FR.UTF-8", 1);
  setenv("LC_MESSAGES", "", 1);
  unsetenv("LC_ALL");
  EXPECT_EQ(desk::userLocaleTag(), "fr-FR");
  setenv("LC_MESSAGES", "it_IT.UTF-8", 1);
  EXPECT_EQ(desk::userLocaleTag(), "it-IT");
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(desk::userLocaleTag(), "");
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  unsetenv("LANG");
  EXPECT_EQ(desk::userLocaleTag(), "");

  const std::string dir = makeTempDir();
  const std::string file = dir + "/locale";
  struct Case {
    const char* text;
    const char* tag;
  };
  const Case cases[] = {
      {"#  File generated by update-locale\nLANG=en_GB.UTF-8\n", "en-GB"},
      {"LANG=\"pt_BR.UTF-8\"\nLANGUAGE=\"pt_BR:pt\"\n", "pt-BR"},
      {"LANG=de_DE.UTF-8\nLC_ALL=nl_NL.UTF-8\n", "nl-NL"},
      {"LANG=C.UTF-8\n", ""},
      {"# nothing here\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    writeFile(file, c.text);
    EXPECT_EQ(desk::systemLocaleTag(file), c.tag);
  }
  EXPECT_EQ(desk::systemLocaleTag(dir + "/missing"), "");
  std::filesystem::remove_all(dir);
}

// --- execute ---

class ExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  int32_t execute(json payload) {
    const Reply r = run("execute", payload);
    EXPECT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.mime, "application/json");
    return json::parse(r.body).get<int32_t>();
  }
  std::string dir_;
};

TEST_F(ExecuteTest, SynchronousRunsAnswerTheExitStatus) {
  const json sync{{"sync", true}};
  struct Case {
    const char* name;
    json payload;
    int32_t result;
  };
  const Case cases[] = {
      {"exit code", {{"cmd", "sh"}, {"args", "-c 'exit 3'"}, {"options", sync}}, 3},
      {"killed", {{"cmd", "sh"}, {"args", "-c 'kill -9 $$'"}, {"options", sync}}, 137},
      {"terminated", {{"cmd", "/bin/sh"}, {"args", "-c 'kill -TERM $$'"}, {"options", sync}}, 143},
      {"parameters of the options",
       {{"cmd", "sh"}, {"args", ""}, {"options", {{"sync", true}, {"parameters", "-c 'exit 4'"}}}},
       4},
      {"args replace the parameters",
       {{"cmd", "sh"},
        {"args", "-c 'exit 5'"},
        {"options", {{"sync", true}, {"parameters", "-c 'exit 4'"}}}},
       5},
      {"missing program", {{"cmd", "pel-no-such-program"}, {"options", sync}}, 2},
      {"missing path", {{"cmd", "/nonexistent/tool"}, {"options", sync}}, 2},
      {"empty name", {{"cmd", ""}, {"options", sync}}, 2},
      {"missing folder",
       {{"cmd", "sh"}, {"options", {{"sync", true}, {"workDir", "/nonexistent/dir"}}}},
       3},
      {"other verb", {{"cmd", "sh"}, {"options", {{"sync", true}, {"operation", "print"}}}}, 1155},
      {"empty verb is open",
       {{"cmd", "sh"}, {"args", "-c 'exit 9'"}, {"options", {{"sync", true}, {"operation", ""}}}},
       9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(execute(c.payload), c.result);
  }
  // Every child was waited for: none is left behind.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST_F(ExecuteTest, ParametersAreWordsNotShellText) {
  const std::string out = dir_ + "/out";
  // Quotes group and backslashes escape, as in a shell, but nothing is expanded: no shell runs.
  const json payload{{"cmd", "sh"},
                     {"args", "-c 'printf \"%s|\" \"$@\" > out' x \"a b\" 'c d' e\\ f '$HOME' "
                              "\"$(id)\" ';' '*'"},
                     {"options", {{"sync", true}, {"workDir", dir_}}}};
  EXPECT_EQ(execute(payload), 0);
  EXPECT_EQ(readAll(out), "a b|c d|e f|$HOME|$(id)|;|*|");

  using zrk::plugin::splitShellWords;
  EXPECT_EQ(splitShellWords("  one\ttwo  "), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(splitShellWords("''"), (std::vector<std::string>{""}));
  EXPECT_EQ(splitShellWords("\"a\\\"b\\n\""), (std::vector<std::string>{"a\"b\\n"}));
  EXPECT_EQ(splitShellWords(""), (std::vector<std::string>{}));
}

TEST_F(ExecuteTest, AsynchronousRequestsAreHandedToTheLauncher) {
  desk::test::recordLaunches();
  const std::string document = dir_ + "/notes.txt";
  writeFile(document, "hello");

  struct Case {
    const char* name;
    json payload;
    int32_t result;  // 0: any value above 32
    std::vector<std::string> argv;  // empty: nothing launched
  };
  const std::string sh = "/bin/sh";
  const Case cases[] = {
      {"document", {{"cmd", document}}, 0, {"xdg-open", document}},
      {"address", {{"cmd", "https://example.org/a b"}}, 0, {"xdg-open", "https://example.org/a b"}},
      {"folder", {{"cmd", dir_}, {"options", {{"operation", "explore"}}}}, 0, {"xdg-open", dir_}},
      {"program with words", {{"cmd", sh}, {"args", "-c 'exit 0' \"x y\""}}, 0,
       {sh, "-c", "exit 0", "x y"}},
      // "sync" that is not a boolean keeps the default: asynchronous.
      {"sync as text", {{"cmd", document}, {"options", {{"sync", "true"}}}}, 0,
       {"xdg-open", document}},
      // Show commands mean nothing here; odd values are not an error.
      {"show command", {{"cmd", document}, {"options", {{"showCmd", 3.7}}}}, 0,
       {"xdg-open", document}},
      {"negative show command", {{"cmd", document}, {"options", {{"showCmd", -1e30}}}}, 0,
       {"xdg-open", document}},
      {"missing", {{"cmd", dir_ + "/gone.txt"}}, 2, {}},
      {"missing folder", {{"cmd", document}, {"options", {{"workDir", dir_ + "/gone"}}}}, 3, {}},
      {"other verb", {{"cmd", document}, {"options", {{"operation", "edit"}}}}, 31, {}},
      {"explore a file", {{"cmd", document}, {"options", {{"operation", "explore"}}}}, 31, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = desk::test::launches().size();
    const int32_t result = execute(c.payload);
    if (c.result == 0) {
      EXPECT_GT(result, 32);
    } else {
      EXPECT_EQ(result, c.result);
    }
    const auto launches = desk::test::launches();
    if (c.argv.empty()) {
      EXPECT_EQ(launches.size(), before);
    } else {
      ASSERT_EQ(launches.size(), before + 1);
      EXPECT_EQ(launches.back().argv, c.argv);
    }
  }

  // A launch the launcher refuses answers the shell's small error value.
  desk::test::failLaunches(desk::ERROR_ACCESS_DENIED);
  EXPECT_EQ(execute({{"cmd", document}}), 5);
  desk::test::failLaunches(desk::ERROR_SUCCESS);
}

// --- the machine identifier ---

TEST(MachineIdTest, Base32AndFold) {
  using zrk::plugin::encodeBase32;
  struct Case {
    std::vector<uint8_t> bytes;
    const char* text;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, "0000000000000"},
      {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, "000G40R40M30E"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "ZZZZZZZZZZZZY"},
      {{0xF8}, "Z0"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encodeBase32(c.bytes.data(), c.bytes.size()), c.text);
  }
  // Folding XORs groups of four.
  std::array<uint8_t, 32> digest{};
  EXPECT_EQ(zrk::plugin::foldDigest(digest), (std::array<uint8_t, 8>{}));
  digest[0] = 0x0F;
  digest[1] = 0xF0;
  digest[2] = 0x01;
  digest[31] = 0x80;
  EXPECT_EQ(zrk::plugin::foldDigest(digest), (std::array<uint8_t, 8>{0xFE, 0, 0, 0, 0, 0, 0, 0x80}));
  // SHA-256 of "abc", the standard's own example.
  const auto abc = zrk::plugin::sha256Digest("abc");
  EXPECT_EQ(abc[0], 0xBA);
  EXPECT_EQ(abc[31], 0xAD);
  EXPECT_EQ(zrk::plugin::machineIdForInput("abc").size(), 13u);
  EXPECT_NE(zrk::plugin::machineIdForInput("abc"), zrk::plugin::machineIdForInput("abd"));
}

TEST(MachineIdTest, SourcesInOrderWithAKeptFallback) {
  const std::string dir = makeTempDir();
  const std::string good = dir + "/machine-id";
  const std::string other = dir + "/dbus-id";
  writeFile(good, "0123456789abcdef0123456789ABCDEF\n");
  writeFile(other, "ffffffffffffffffffffffffffffffff\n");
  writeFile(dir + "/short", "0123\n");
  writeFile(dir + "/bad", "0123456789abcdef0123456789abcdeg\n");

  using zrk::plugin::machineIdBytes;
  const std::string expected("\x01\x23\x45\x67\x89\xab\xcd\xef\x01\x23\x45\x67\x89\xab\xcd\xef", 16);
  EXPECT_EQ(machineIdBytes({{good, other}, ""}), expected);
  EXPECT_EQ(machineIdBytes({{dir + "/none", dir + "/short", dir + "/bad", good}, ""}), expected);
  EXPECT_EQ(machineIdBytes({{dir + "/none"}, ""}), "");

  // Where no system id exists, one is made once and kept.
  const std::string kept = dir + "/data/app/machine-id";
  const std::string first = machineIdBytes({{dir + "/none"}, kept});
  EXPECT_EQ(first.size(), 16u);
  EXPECT_EQ(machineIdBytes({{dir + "/none"}, kept}), first);
  const std::string keptText = readAll(kept);
  EXPECT_EQ(keptText.size(), 33u);
  EXPECT_TRUE(allIn(keptText.substr(0, 32), kHex));
  EXPECT_EQ(keptText.back(), '\n');
  EXPECT_NE(machineIdBytes({{dir + "/none"}, dir + "/data/other/machine-id"}), first);
  // A place where nothing can be kept gives no id bytes; the identifier still has 13 characters.
  EXPECT_EQ(machineIdBytes({{dir + "/none"}, "/proc/pel-no-such/machine-id"}), "");

  zrk::plugin::setMachineIdSources(zrk::plugin::MachineIdSources{{good}, ""});
  const std::string withGood = zrk::plugin::machineId();
  zrk::plugin::setMachineIdSources(zrk::plugin::MachineIdSources{{other}, ""});
  EXPECT_NE(zrk::plugin::machineId(), withGood);
  zrk::plugin::setMachineIdSources(zrk::plugin::MachineIdSources{{}, ""});
  EXPECT_EQ(zrk::plugin::machineId().size(), 13u);
  EXPECT_EQ(zrk::plugin::machineHashInput(), zrk::plugin::cpuSignature());
  zrk::plugin::setMachineIdSources(std::nullopt);
  std::filesystem::remove_all(dir);
}

TEST(MachineIdTest, CpuSignatureShape) {
#if defined(__x86_64__) || defined(__i386__)
  const std::string signature = zrk::plugin::cpuSignature();
  const size_t underscore = signature.rfind('_');
  ASSERT_NE(underscore, std::string::npos) << signature;
  EXPECT_GT(underscore, 0u) << "a vendor";
  std::string number = signature.substr(underscore + 1);
  if (!number.empty() && number[0] == '-') number.erase(0, 1);
  EXPECT_TRUE(!number.empty() && allIn(number, "0123456789")) << signature;
#endif
}

TEST(MachineIdTest, VirtualMachineRules) {
  using zrk::plugin::VirtualMachineFacts;
  struct Case {
    const char* name;
    VirtualMachineFacts facts;
    bool vm;
  };
  const Case cases[] = {
      {"bare", {false, "", {"Dell Inc.", "OptiPlex 7090", "0K3CM7"}}, false},
      {"hypervisor bit", {true, "", {}}, true},
      {"hypervisor vendor", {false, "KVMKVMKVM", {}}, true},
      {"blank vendor does not decide", {false, "            ", {"LENOVO"}}, false},
      {"blank vendor, firmware decides", {false, "            ", {"QEMU", "Standard PC"}}, true},
      {"Microsoft Corporation in any case", {false, "", {"MICROSOFT CORPORATION"}}, true},
      {"VirtualBox", {false, "", {"innotek GmbH", "VirtualBox"}}, true},
      {"name inside a longer string", {false, "", {"Parallels Software International"}}, true},
      {"no firmware strings", {false, "", {}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(zrk::plugin::isVirtualMachine(c.facts), c.vm);
  }
  EXPECT_TRUE(desk::firmwareStrings("/nonexistent").empty());
}

// Runs this executable to print its machine identifier, optionally as another user.
std::string idFromChild(const std::vector<std::string>& prefix) {
  std::string command;
  for (const std::string& p : prefix) command += p + " ";
  command += "env XDG_DATA_HOME=" + gScratchData + " " + gSelf + " --print-machine-id 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::string();
  char buffer[128] = {};
  std::string out;
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(MachineIdTest, OneIdentifierAcrossRunsAndUsers) {
  const std::string first = idFromChild({});
  ASSERT_EQ(first.size(), 13u) << first;
  EXPECT_EQ(idFromChild({}), first);
  EXPECT_EQ(zrk::plugin::machineId(), first);

  const bool systemId = zrk::plugin::readMachineIdFile("/etc/machine-id") ||
                        zrk::plugin::readMachineIdFile("/var/lib/dbus/machine-id");
  if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || !systemId) {
    GTEST_SKIP() << "another user's view needs root, setpriv and a system machine id";
  }
  const std::string asNobody =
      idFromChild({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  if (asNobody.empty()) GTEST_SKIP() << "this executable cannot be run as nobody here";
  EXPECT_EQ(asNobody, first);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--print-machine-id") {
    std::cout << zrk::plugin::machineId() << std::endl;
    return 0;
  }
  gSelf = desk::executablePath();
  char pattern[] = "/tmp/pel-system-data-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  gScratchData = pattern;
  chmod(pattern, 0777);
  // Whatever the identifier keeps goes to a scratch folder, never the user's data folder.
  setenv("XDG_DATA_HOME", gScratchData.c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(gScratchData);
  return result;
}
