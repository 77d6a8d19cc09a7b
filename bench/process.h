// Runs a program as a child process and measures it: wall time from start
// to exit, and the child's peak resident memory as the kernel counted it.
#pragma once

#include <string>
#include <vector>

namespace quellmark::bench {

struct ChildRun {
  int exit_code = -1;    // the exit status, or 128 + signal number
  double seconds = 0.0;  // wall time from fork to the child's exit
  long max_rss_kb = 0;   // peak resident set of the child (wait4)
  std::string out;       // what the child wrote on stdout
  std::string err;       // what the child wrote on stderr
};

// Runs argv[0] (a path, no shell search) with the arguments that follow,
// stdin from /dev/null.
ChildRun RunChild(const std::vector<std::string>& argv);

// The path of the running program.
std::string SelfPath();

}  // namespace quellmark::bench
