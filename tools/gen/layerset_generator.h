// Generator of synthetic but realistic layer sets of one 1:25,000 map sheet:
// BASENAME.slm, BASENAME.slp, BASENAMEMH.slp and the fourteen SAL layer files,
// all in Shift_JIS (CP932) with CR LF line ends. The same options always give
// the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quellmark::gen {

enum class SheetSize {
  kSmall,   // a few lines per layer, about 50 points
  kMedian,  // a typical sheet: about 60,000 points, 80,000 MH points, 12,000 roads
  kDense,   // the densest sheet: 400,000 points, 600,000 MH points, 100,000+ roads
};

struct GeneratorOptions {
  SheetSize size = SheetSize::kSmall;
  // When positive, replaces `size`: the number of DK road lines, with the
  // other layers in the proportions of a typical sheet.
  int road_lines = 0;
  std::uint64_t seed = 1;
  std::string base_name = "533945";  // a six-digit sheet code also fixes the origin
  // Point references past the end of BASENAME.slp, spread over line features,
  // for exercising readers on broken data.
  int dangling_points = 0;
  // EK stations whose number no TK line's ER reference names.
  int unmatched_stations = 0;
};

struct LayerFile {
  std::string name;   // file name, e.g. "533945DK.sal"
  std::string bytes;  // CP932 text, CR LF line ends
};

struct LayerSet {
  std::vector<LayerFile> files;  // .slm, .slp, MH.slp, then the layers in LayerFileCodes() order
  int points = 0;                // lines of BASENAME.slp
  int mh_points = 0;             // lines of BASENAMEMH.slp

  // The file with that name, or nullptr.
  const LayerFile* Find(std::string_view name) const;
};

// The codes of the layers that have layer files of their own, in conversion
// order: the order their files are listed.
const std::vector<std::string_view>& LayerFileCodes();

// Throws std::invalid_argument for options that cannot be met (a base name
// that is not a plain file name, or sizes beyond six-digit numbering).
LayerSet GenerateLayerSet(const GeneratorOptions& options);

// Writes every file of the set into folder (created when missing). Throws
// std::runtime_error when a file cannot be written.
void WriteLayerSet(const LayerSet& set, const std::filesystem::path& folder);

}  // namespace quellmark::gen
