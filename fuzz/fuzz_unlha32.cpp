// Fuzzes the archive library's extraction with arbitrary archive bytes. After
// each run nothing may exist in the work folder but the archive and its
// extraction folder.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path root = Folder();
  const fs::path work = root / "work";
  fs::create_directories(work);
  {
    std::ofstream out(work / "a.lzh", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::string command = " e -x1 " + (work / "a").string() + " *.* -p2 -y1";
  char output[6001];
  Unlha(nullptr, command.c_str(), output, 6000);
  if (strnlen(output, sizeof output) >= 6000) __builtin_trap();

  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.path() != work) __builtin_trap();  // written beside the work folder
  }
  for (const auto& entry : fs::directory_iterator(work)) {
    const auto name = entry.path().filename();
    if (name != "a.lzh" && name != "a") __builtin_trap();  // outside the extraction folder
  }
  std::error_code ec;
  fs::remove_all(work / "a", ec);
  return 0;
}
