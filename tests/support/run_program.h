// Runs a program as a user would, capturing its exit status and output.
#pragma once

#include <string>
#include <vector>

namespace quellmark::testing {

struct ProgramResult {
  int exit_code = -1;  // the exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs `program` with `args` (no shell), stdin closed, in the current folder.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace quellmark::testing
