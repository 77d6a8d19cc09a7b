// quellmark-genlayerset: writes a synthetic layer set of one map sheet.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "layerset_generator.h"
#include "lha_builder.h"

namespace {

constexpr const char kUsage[] =
    "usage: quellmark-genlayerset [--lines N | --size small|median|dense] [--seed S]\n"
    "                             [--dangling-points N] [--unmatched-stations N]\n"
    "                             [--archive] OUTDIR BASENAME\n"
    "Writes BASENAME.slm, BASENAME.slp, BASENAMEMH.slp and the fourteen layer files\n"
    "BASENAME{CM,KJ,KS,KK,SK,GK,GD,KO,MH,TS,TK,EK,DK,DS}.sal into OUTDIR.\n"
    "  --size      sheet density (default small)\n"
    "  --lines N   N road (DK) lines, the other layers in typical proportion\n"
    "  --seed S    random seed (default 1); the same seed gives the same files\n"
    "  --dangling-points N     N point references past the end of BASENAME.slp\n"
    "  --unmatched-stations N  N stations that no railway line names\n"
    "  --archive   write them into one archive, OUTDIR/BASENAME.lzh, instead (the\n"
    "              files stored uncompressed), as a sheet comes to be converted\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "quellmark-genlayerset: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return *end == '\0' && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  quellmark::gen::GeneratorOptions options;
  bool size_given = false;
  bool archive = false;
  std::string positional[2];
  int positional_count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long n = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--size") {
      const std::string_view v = value != nullptr ? value : "";
      if (v == "small") {
        options.size = quellmark::gen::SheetSize::kSmall;
      } else if (v == "median") {
        options.size = quellmark::gen::SheetSize::kMedian;
      } else if (v == "dense") {
        options.size = quellmark::gen::SheetSize::kDense;
      } else {
        return Usage("--size takes small, median or dense");
      }
      size_given = true;
      ++i;
    } else if (arg == "--archive") {
      archive = true;
    } else if (arg == "--lines") {
      if (!ParseNumber(value, 900'000, n) || n == 0)
        return Usage("--lines takes a positive number");
      options.road_lines = static_cast<int>(n);
      ++i;
    } else if (arg == "--seed") {
      if (!ParseNumber(value, ~0ULL, n)) return Usage("--seed takes a number");
      options.seed = n;
      ++i;
    } else if (arg == "--dangling-points") {
      if (!ParseNumber(value, 100'000, n)) return Usage("--dangling-points takes a number");
      options.dangling_points = static_cast<int>(n);
      ++i;
    } else if (arg == "--unmatched-stations") {
      if (!ParseNumber(value, 4000, n)) return Usage("--unmatched-stations takes a number");
      options.unmatched_stations = static_cast<int>(n);
      ++i;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage(("unknown option " + std::string(arg)).c_str());
    } else if (positional_count < 2) {
      positional[positional_count++] = std::string(arg);
    } else {
      return Usage("too many arguments");
    }
  }
  if (positional_count != 2) return Usage("OUTDIR and BASENAME are needed");
  if (size_given && options.road_lines > 0) return Usage("give either --lines or --size");
  options.base_name = positional[1];

  try {
    const quellmark::gen::LayerSet set = quellmark::gen::GenerateLayerSet(options);
    if (archive) {
      std::vector<lhatest::Member> members;
      for (const quellmark::gen::LayerFile& file : set.files)
        members.emplace_back(file.name, file.bytes);
      const std::filesystem::path path =
          std::filesystem::path(positional[0]) / (options.base_name + ".lzh");
      std::filesystem::create_directories(positional[0]);
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << lhatest::BuildLevel2(members);
      out.close();
      if (!out) throw std::runtime_error("cannot write " + path.string());
      std::printf("%s: %zu files written to %s (%d points, %d MH points)\n",
                  options.base_name.c_str(), set.files.size(), path.c_str(), set.points,
                  set.mh_points);
    } else {
      quellmark::gen::WriteLayerSet(set, positional[0]);
      std::printf("%s: %zu files written to %s (%d points, %d MH points)\n",
                  options.base_name.c_str(), set.files.size(), positional[0].c_str(), set.points,
                  set.mh_points);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quellmark-genlayerset: %s\n", e.what());
    return 1;
  }
  return 0;
}
