#include "support/test_support.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sal/cp932.h"

namespace quellmark::testing {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& under) {
  std::string pattern = (under / "quellmark-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Sjis(std::string_view utf8) { return EncodeCp932(utf8); }

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  saved_soft_ = limit.rlim_cur;
  // The write fails instead of the process being stopped by SIGXFSZ.
  saved_signal_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = bytes;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = saved_soft_;
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, saved_signal_);
}

std::map<std::string, std::string> ReadTree(const std::string& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = std::filesystem::relative(entry.path(), folder).string();
    if (entry.is_symlink()) {
      tree[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      tree[name] = ReadFile(entry.path().string());
    } else if (entry.is_directory()) {
      tree[name + "/"] = "";
    }
  }
  return tree;
}

std::vector<std::string> Differing(const std::map<std::string, std::string>& got,
                                   const std::map<std::string, std::string>& want) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : got) {
    const auto it = want.find(name);
    if (it == want.end() || it->second != bytes) names.push_back(name);
  }
  for (const auto& entry : want) {
    if (!got.contains(entry.first)) names.push_back(entry.first);
  }
  return names;
}

}  // namespace quellmark::testing
