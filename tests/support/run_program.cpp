#include "support/run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace quellmark::testing {

namespace {

std::string Slurp(FILE* file) {
  std::string out;
  std::rewind(file);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, n);
  std::fclose(file);
  return out;
}

}  // namespace

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const ProgramStart& start)
    : out_(std::tmpfile()), err_(std::tmpfile()) {
  if (out_ == nullptr || err_ == nullptr) throw std::runtime_error("tmpfile failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fileno(out_), 1);
  posix_spawn_file_actions_adddup2(&actions, fileno(err_), 2);
  if (!start.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, start.folder.c_str());
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  for (const auto& entry : start.environment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (const int signal_number : start.blocked_signals) sigaddset(&blocked, signal_number);
  posix_spawnattr_setsigmask(&attributes, &blocked);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  int rc = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), env.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
}

std::string RunningProgram::ErrorSoFar() const {
  std::string err;
  char buffer[4096];
  ssize_t n;
  while ((n = pread(fileno(err_), buffer, sizeof buffer, static_cast<off_t>(err.size()))) > 0) {
    err.append(buffer, static_cast<std::size_t>(n));
  }
  return err;
}

ProgramResult RunningProgram::Wait() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
  }
  pid_ = -1;
  ProgramResult result;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = Slurp(out_);
  result.err = Slurp(err_);
  return result;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramStart& start) {
  return RunningProgram(program, args, start).Wait();
}

}  // namespace quellmark::testing
