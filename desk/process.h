// Child processes: starting programs with pipes on their standard streams, reading their output
// without ever hanging on one pipe, and reaping every child so none is left a zombie.
//
// Programs are started through POCO's Process and Pipe. Before the start the program is resolved
// as exec will resolve it (in the child's folder, on the PATH the child will have), so a program
// that is missing or cannot be run is reported at once instead of as the child's exit code.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Poco {
class Pipe;
}

namespace desk {

struct ChildSpec {
  std::string program;            // a name looked up on PATH, or a path (relative to `cwd`)
  std::vector<std::string> args;  // the arguments after the program
  std::string cwd;                // the child's folder; empty: inherited
  // Variables set for the child on top of the inherited environment; its PATH (when given) is the
  // one the program is looked up on.
  std::map<std::string, std::string> env;
  bool pipeInput = false;   // otherwise the child shares our standard input
  bool pipeOutput = false;  // otherwise the child shares our standard output
  bool pipeError = false;   // otherwise the child shares our standard error
};

// One started child. The pipes' own ends (our write end of its input, the read ends of its
// output and error) are close-on-exec; the output ends are non-blocking.
class Child {
 public:
  Child(pid_t pid, std::shared_ptr<Poco::Pipe> input, std::shared_ptr<Poco::Pipe> output,
        std::shared_ptr<Poco::Pipe> error);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // A child that was never reaped is handed to the background reaper; it is not ended.
  ~Child();

  pid_t pid() const { return pid_; }
  // A descriptor that becomes readable when the child ends; -1 where the system has none.
  int pidfd() const { return pidfd_; }
  const std::shared_ptr<Poco::Pipe>& input() const { return input_; }
  const std::shared_ptr<Poco::Pipe>& output() const { return output_; }
  const std::shared_ptr<Poco::Pipe>& error() const { return error_; }

  // Reaps the child when it has ended, without waiting; true once it has been reaped.
  bool tryReap();
  // Waits for the end of the child and reaps it; returns its exit code.
  int wait();
  bool reaped() const;
  // The exit code: the child's own (0-255), or 128 + the signal that ended it. -1 before the reap.
  int exitCode() const;
  // Sends a signal, unless the child has been reaped (its pid may belong to another process by
  // then). True when the signal was sent.
  bool signal(int signalNumber);

 private:
  void recordStatus(int status);

  const pid_t pid_;
  int pidfd_ = -1;
  std::shared_ptr<Poco::Pipe> input_, output_, error_;
  mutable std::mutex mutex_;
  bool reaped_ = false;
  int exitCode_ = -1;
};

// Starts the child. Throws Poco::SystemException "Cannot launch process: <program>" when the
// folder is missing or not a folder, or the program cannot be found or run, or the start fails.
std::shared_ptr<Child> launchChild(const ChildSpec& spec);

// The file exec would run for `program` with the child's folder `cwd` and the search path `path`
// (the process's PATH when null; an empty entry is the folder itself); empty when there is none
// that is a regular file we may execute.
std::string resolveProgram(const std::string& program, const std::string& cwd,
                           const std::string* path);

// Exit code of a wait status: the child's own code, or 128 + the signal that ended it.
int exitCodeFromStatus(int status);

// Reaps the process (a child of ours that nobody else waits for) when it ends, on a thread of
// its own.
void reapInBackground(pid_t pid);

// Reads a child's output and error pipes (those it has) until both have ended and the child has
// been reaped, never waiting on one pipe while the other fills. `onData(stream, bytes)` gets every
// read (1 output, 2 error; output first when both have data; at most `chunk` bytes each);
// `onEnded()` is called once, right after the reap. After the end the pipes are read until they
// close, or until they stay empty for a short while (a grandchild may hold them open).
void pumpChild(Child& child, size_t chunk,
               const std::function<void(int stream, std::string bytes)>& onData,
               const std::function<void()>& onEnded);

// Writes to a broken pipe fail with EPIPE instead of ending the process. Idempotent.
void ignoreBrokenPipes();

}  // namespace desk
