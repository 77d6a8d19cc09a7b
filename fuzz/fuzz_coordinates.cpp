// Fuzzes the coordinate loader: the input is split at the first 0x00 byte
// into a ".slm" and a ".slp" file (the rest also serves as "MH.slp").
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "sal/coordinates.h"
#include "sal/errors.h"
#include "sal/notify.h"

using namespace quellmark;

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = "/tmp/quellmark-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern;
  }();
  return folder;
}

void Write(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string prefix = Folder() + "/s";
  Write(prefix + ".slm", input.substr(0, split));
  const std::string_view points =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  Write(prefix + ".slp", points);
  Write(prefix + "MH.slp", points.substr(points.size() / 2));

  static CoordinateTables tables;  // reused like a batch reuses it
  Reporter reporter(nullptr);
  try {
    if (tables.LoadCoordinates(prefix)) {
      double x, y;
      for (std::int32_t n :
           {-1, 0, 1, 2, tables.point_table().count(), tables.point_table().count() + 1}) {
        tables.LookupPoint(n, x, y, reporter);
        tables.LookupMhPoint(n, x, y, reporter);
      }
    }
  } catch (const InputError&) {
    // A header that does not convert ends the sheet: expected.
  }
  return 0;
}
