// Fuzzes the archive library's extraction with arbitrary archive bytes. Each
// run extracts over an earlier extraction folder. Afterwards nothing may exist
// in the work folder but the archive and its extraction folder: the staging
// folder the library works in beside it must be gone. A failed run must leave
// the earlier folder as it was.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "unlha32/unlha32.h"

namespace fs = std::filesystem;

namespace {

const fs::path& Folder() {
  static const fs::path folder = [] {
    std::string pattern = "/tmp/quellmark-fuzz-lha-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return fs::path(pattern);
  }();
  return folder;
}

constexpr char kEarlierContent[] = "from an earlier extraction";

void WriteFile(const fs::path& path, const char* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path root = Folder();
  const fs::path work = root / "work";
  const fs::path folder = work / "a";
  std::error_code ec;
  fs::remove_all(folder, ec);
  fs::create_directories(folder);
  WriteFile(folder / "earlier.txt", kEarlierContent, sizeof kEarlierContent - 1);
  WriteFile(work / "a.lzh", reinterpret_cast<const char*>(data), size);

  const std::string command = " e -x1 " + (work / "a").string() + " *.* -p2 -y1";
  char output[6001];
  const int result = Unlha(nullptr, command.c_str(), output, 6000);
  if (strnlen(output, sizeof output) >= 6000) __builtin_trap();

  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.path() != work) __builtin_trap();  // written beside the work folder
  }
  for (const auto& entry : fs::directory_iterator(work)) {
    const auto name = entry.path().filename();
    // Anything else, a staging folder included, is left outside the folder.
    if (name != "a.lzh" && name != "a") __builtin_trap();
  }
  if (result != UNLHA32_OK) {
    // The earlier folder, untouched.
    if (!fs::is_directory(fs::symlink_status(folder))) __builtin_trap();
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename() != "earlier.txt") __builtin_trap();
    }
    if (ReadFile(folder / "earlier.txt") != kEarlierContent) __builtin_trap();
  }
  return 0;
}
