// The built program without a usable bundle beside it: a message, exit code 1, no window and no
// instance left behind to hand later starts to.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Runs `program` with its error output in `errors`; its exit code.
int run(const std::string& program, const std::string& errors) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::dup2(fd, 1);
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(StartupProgram, AMissingOrDamagedBundleEndsTheStartWithAMessage) {
  // The program looks for resource.dat beside its executable: a copy (a link where it can) in a
  // folder of the build tree.
  const fs::path built = PEL_PELMORA;
  const fs::path folder = built.parent_path() / ("startup-program-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "run");
  const fs::path program = folder / "pelmora";
  std::error_code linkError;
  fs::create_hard_link(built, program, linkError);
  if (linkError) fs::copy_file(built, program);
  ::setenv("XDG_RUNTIME_DIR", (folder / "run").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);

  struct Row {
    const char* name;
    std::string bundle;  // written as resource.dat; "-" for none
    const char* message;
  };
  const Row rows[] = {
      {"missing", "-", "Error: resource.dat not found"},
      {"empty", "", "Error: resource.dat is damaged and cannot be loaded"},
      {"garbage", std::string(4096, '\x5a'), "Error: resource.dat is damaged and cannot be loaded"},
  };
  for (const Row& row : rows) {
    fs::remove(folder / "resource.dat");
    if (row.bundle != "-") std::ofstream(folder / "resource.dat", std::ios::binary) << row.bundle;
    const std::string errors = (folder / "errors.txt").string();
    EXPECT_EQ(run(program.string(), errors), 1) << row.name;
    EXPECT_NE(readAll(errors).find(row.message), std::string::npos)
        << row.name << ": " << readAll(errors);
    // The decision comes before the single-instance step: no lock or socket was made.
    EXPECT_TRUE(fs::is_empty(folder / "run")) << row.name;
  }
  // A damaged copy of the real bundle (its tail cut off) is refused the same way.
  const fs::path real = built.parent_path() / "resource.dat";
  ASSERT_TRUE(fs::exists(real));
  fs::copy_file(real, folder / "resource.dat", fs::copy_options::overwrite_existing);
  fs::resize_file(folder / "resource.dat", fs::file_size(real) - 16);
  EXPECT_EQ(run(program.string(), (folder / "errors.txt").string()), 1);
  EXPECT_NE(readAll((folder / "errors.txt").string()).find("damaged"), std::string::npos);
  fs::remove_all(folder);
}

}  // namespace
