// Runs a program as a user would, capturing its exit status and output.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace quellmark::testing {

struct ProgramResult {
  int exit_code = -1;  // the exit status, or 128 + signal number
  int signal = 0;      // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
};

// How a program is started besides its arguments.
struct ProgramStart {
  // Signals blocked when it starts (the mask it inherits): one sent to it
  // stays pending until the program unblocks it.
  std::vector<int> blocked_signals;
  // "NAME=VALUE" entries added to the environment.
  std::vector<std::string> environment;
  // The folder it starts in; empty: the current one.
  std::string folder;
};

// A program started with `args` (no shell), stdin closed, in the folder
// `start` names, and not yet waited for.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& args,
                 const ProgramStart& start = {});
  // Kills the program if it was not waited for.
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  // What the program has written to stderr so far.
  std::string ErrorSoFar() const;
  ProgramResult Wait();

 private:
  pid_t pid_ = -1;
  std::FILE* out_;
  std::FILE* err_;
};

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramStart& start = {});

}  // namespace quellmark::testing
