// Runs a script in Node (the node binary on PATH) and returns what it printed on standard output.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace pel::test {

// An empty result means Node could not be started or printed nothing.
inline std::string runNodeScript(const std::string& source) {
  static std::atomic<int> counter{0};
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("pelmora-node-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".js");
  {
    std::ofstream out(file);
    out << source;
  }
  std::string output;
  if (FILE* pipe = ::popen(("node " + file.string()).c_str(), "r")) {
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    ::pclose(pipe);
  }
  std::filesystem::remove(file);
  return output;
}

}  // namespace pel::test
