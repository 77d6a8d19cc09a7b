// Runs a program as a child process, timed from its start to its exit, with
// its output captured.
#pragma once

#include <string>
#include <vector>

namespace quellmark::bench {

struct ChildRun {
  int exit_code = -1;    // the exit status, or 128 + signal number
  double seconds = 0.0;  // wall time from start to the child's exit
  std::string out;       // what the child wrote on stdout
  std::string err;       // what the child wrote on stderr
};

// Runs argv[0] (a path, no shell search) with the arguments that follow,
// stdin from /dev/null.
ChildRun RunChild(const std::vector<std::string>& argv);

// The path of the running program.
std::string SelfPath();

}  // namespace quellmark::bench
