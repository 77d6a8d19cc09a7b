// Writes a small sheet whose every layer file holds the fuzzed bytes, for the
// layer conversion fuzz targets.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "convert/sheet_conversion.h"
#include "layers/catalogue.h"

namespace quellmark::fuzz {

inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes a sheet whose layer file for one layer holds `input` past its first
// byte, which picks the layer (the road layers also feed HA, TO and YO; a
// station layer gets the same bytes as its railway layer). Returns the
// folder: the sheet prefix is folder + "/s", the output prefix folder + "/out".
inline std::filesystem::path WriteFuzzSheet(std::string_view input) {
  // The layers with layer files of their own.
  static const std::vector<std::string> kCodes = [] {
    std::vector<std::string> codes;
    for (const LayerSpec& layer : Layers()) {
      if (layer.input == LayerInput::kLayerFile) codes.emplace_back(layer.code);
    }
    return codes;
  }();
  // Removed as the program ends (a crash leaves it).
  struct Folder {
    std::filesystem::path path;
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static const Folder fuzz_folder = [] {
    // In memory where there is a folder for it: the conversion flushes its
    // tables to disk before renaming them, and the disk is not what is
    // fuzzed; in memory each flush costs nothing.
    std::error_code ignored;
    const char* base = std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/quellmark-fuzz-layer-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return Folder{pattern};
  }();
  const std::filesystem::path& folder = fuzz_folder.path;
  const std::filesystem::path prefix = folder / "s";
  static bool points_written = false;
  if (!points_written) {
    WriteBytes(prefix.string() + ".slm", "4868260000,1248680000\r\n0,0\r\n");
    std::string points;
    for (int i = 0; i < 40; ++i) {
      char line[32];
      snprintf(line, sizeof line, "%08d%08d\r\n", i * 1000, i * 700);
      points += line;
    }
    WriteBytes(prefix.string() + ".slp", points);
    WriteBytes(prefix.string() + "MH.slp", points.substr(0, points.size() / 2));
    points_written = true;
  }
  for (const std::string& code : kCodes) std::filesystem::remove(prefix.string() + code + ".sal");
  if (input.empty()) return folder;
  const std::string& code = kCodes[static_cast<unsigned char>(input[0]) % kCodes.size()];
  const std::string_view layer = input.substr(1);
  WriteBytes(prefix.string() + code + ".sal", layer);
  if (code == "EK") WriteBytes(prefix.string() + "TK.sal", layer);
  return folder;
}

// Converts the fuzz sheet of `data` into `format`. The sheet state is the
// caller's, kept from run to run as a batch keeps it between sheets.
inline int ConvertFuzzSheet(const std::uint8_t* data, std::size_t size, SheetState& state,
                            const OutputFormat& format) {
  const auto folder = WriteFuzzSheet(std::string_view(reinterpret_cast<const char*>(data), size));
  ExportContext context{state, nullptr, {}};
  ConvertSheet((folder / "s").string(), (folder / "out").string(), format, context);
  return 0;
}

}  // namespace quellmark::fuzz
