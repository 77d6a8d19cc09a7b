// Pins what quellmark-convert writes today, before the export code is
// reworked: two generated sheets, with hand-written lines added, each
// converted by the program into both formats, every table read back through
// OGR and dumped (which tables, schema, field values, vertices, TAB styles),
// compared with expected/<sheet>_<format>.txt.
//
// After an intended change of the output, rewrite the expectations with
//   QUELLMARK_UPDATE_PINNED=1 ctest --test-dir build -R PinnedOutput
// and review the difference (git diff tests/pinned/expected) before committing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/lha_builder.h"
#include "support/run_program.h"
#include "support/table_reader.h"
#include "support/test_support.h"
#include "tools/gen/layerset_generator.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using testing::ReadFeature;
using testing::ReadTable;
using testing::TempDir;

// Road lines whose references decide the "ir" value of HA, TO and YO; "@"
// stands for the road layer's code. Every reference has a value of its own.
const std::vector<std::string> kListLines = {
    // thir and khir, no dhir
    "@(ID{@000201}){JT{11}YU{1C}SB{15}FI{19}NM{th-kh}HR(IR{HA13111000201})TR(IR{TO13111000202})"
    "YR(IR{YO13111000203})TH(IR{TH13111000204})KH(IR{KH13111000205})CV(ID{CV000201}){000001,"
    "000002}EG(ID{EG000201}){BD(IR{ND13111000206})BD(IR{ND13111000207})GM(IR{CV13111000208})}}",
    // only ttir, no name of its own, KB 3
    "@(ID{@000211}){JT{12}YU{1D}SB{13}FI{1A}HR(IR{HA13111000211})TR(IR{TO13111000212})"
    "YR(IR{YO13111000213})TT(IR{TT13111000214})CV(ID{CV000211}){000003,000004,000005}"
    "EG(ID{EG000211}){BD(IR{ND13111000216})BD(IR{ND13111000217})GM(IR{CV13111000218})}KB{3}}",
    // dhir and khir
    "@(ID{@000221}){JT{11}YU{1C}SB{14}FI{17}NM{大森(おおもり)通り}HR(IR{HA13111000221})"
    "TR(IR{TO13111000222})YR(IR{YO13111000223})DH(IR{DH13111000224})KH(IR{KH13111000225})"
    "CV(ID{CV000221}){000006,000007}EG(ID{EG000221}){BD(IR{ND13111000226})}KB{x}}",
    // only khir
    "@(ID{@000231}){FI{18}NM{kh}HR(IR{HA13111000231})TR(IR{TO13111000232})YR(IR{YO13111000233})"
    "KH(IR{KH13111000235})CV(ID{CV000231}){000008,000009}KB{40000}}",
    // no candidate
    "@(ID{@000241}){FI{1B}NM{none}HR(IR{HA13111000241})TR(IR{TO13111000242})"
    "YR(IR{YO13111000243})CV(ID{CV000241}){000010,000011}}",
    // thir and ttir
    "@(ID{@000251}){SB{16}NM{th-tt}HR(IR{HA13111000251})TR(IR{TO13111000252})"
    "YR(IR{YO13111000253})TT(IR{TT13111000254})TH(IR{TH13111000255})CV(ID{CV000251}){000012,"
    "000013}}",
};

// DK pens: width classes around the 17-18 / 19-1A / 1B bounds, the
// expressway, and one reference each.
std::vector<std::string> PenLines() {
  std::vector<std::string> lines;
  int n = 101;
  for (const char* codes :
       {"FI{16}", "FI{17}", "FI{18}", "FI{19}", "FI{1A}", "FI{1B}", "FI{1}", "FI{1C}",
        "SB{16}FI{18}", "", "SB{16}FI{17}TR(IR{TO13111000111})", "FI{1B}YR(IR{YO13111000112})"}) {
    const std::string k = std::to_string(n++);
    lines.push_back("DK(ID{DK000" + k + "}){JT{11}" + codes + "NM{幅" + k + "}CV(ID{CV000" + k +
                    "}){000014,000015}EG(ID{EG000" + k + "}){BD(IR{ND13111" + k +
                    "001})BD(IR{ND13111" + k + "002})GM(IR{CV13111" + k + "003})}}");
  }
  return lines;
}

struct Sheet {
  std::string name;
  gen::GeneratorOptions options;
  bool without_dk;
  std::vector<std::pair<std::string, std::vector<std::string>>> extra;  // layer code, lines
};

// kListLines as lines of the road layer `code`.
std::vector<std::string> ListLines(const std::string& code) {
  std::vector<std::string> lines;
  for (std::string line : kListLines) {
    for (std::size_t at; (at = line.find('@')) != std::string::npos;) line.replace(at, 1, code);
    lines.push_back(line);
  }
  return lines;
}

std::vector<Sheet> Sheets() {
  std::vector<std::string> dk = PenLines();
  for (const std::string& line : ListLines("DK")) dk.push_back(line);
  // A point list ended by ")" is no point list.
  dk.push_back("DK(ID{DK000301}){FI{19}NM{閉じ括弧}CV(ID{CV000301}000016,000017,000018)}");
  return {
      {"533945",
       {.base_name = "533945"},
       false,
       {{"DK", dk},
        // A point list of three: TAB draws the first and leaves the rest to
        // the next line, shapefiles the last.
        {"CM",
         {"CM(ID{CM000201}){SR{93}NM{三点}PT(ID{PT000201}){000005,000006,000007}}",
          "CM(ID{CM000301}){SR{92}NM{閉じ括弧}PT(ID{PT000301}000004)}"}},
        // And an empty line, which is a feature too.
        {"SK", {"SK(ID{SK000301}){SR{51}CV(ID{CV000301}000019,000020,000021)}", ""}},
        // A node whose ND element also carries an IR, unlike every other value.
        {"TS",
         {"TS(ID{TS000101}){PT(ID{PT000101}){000019}ND(ID{ND000101}IR{ND13111000102}){GM(IR{"
          "CV13111000103})}}"}},
        // SB 4, 44, none and 43 around the JR pen; the last line naming a
        // station places it.
        {"TK",
         {"TK(ID{TK000101}){JT{41}SB{4}CV(ID{CV000101}){000016,000017}EG(ID{EG000101}){BD(IR{"
          "ND13111000104})BD(IR{ND13111000105})GM(IR{CV13111000106})}HR(IR{HA13111000107})}",
          "TK(ID{TK000111}){JT{42}SB{44}CV(ID{CV000111}){000018,000019}EG(ID{EG000111}){BD(IR{"
          "ND13111000114})BD(IR{ND13111000115})GM(IR{CV13111000116})}}",
          "TK(ID{TK000121}){JT{41}NM{無種別}CV(ID{CV000121}){000020,000016}EG(ID{EG000121}){BD("
          "IR{ND13111000124})BD(IR{ND13111000125})GM(IR{CV13111000126})}}",
          "TK(ID{TK000131}){JT{41}SB{43}CV(ID{CV000131}){000019,000020}EG(ID{EG000131}){BD(IR{"
          "ND13111000134})BD(IR{ND13111000135})GM(IR{CV13111000136})}ER(IR{ER13111000576})}"}}}},
      // Without DK, the TAB export writes no HA, TO and YO; the shapefile
      // export takes them from the KK lines.
      {"533946",
       {.seed = 2, .base_name = "533946", .dangling_points = 2, .unmatched_stations = 2},
       true,
       {{"KK", ListLines("KK")}}},
  };
}

std::string BuildArchive(const Sheet& sheet) {
  gen::LayerSet set = gen::GenerateLayerSet(sheet.options);
  std::vector<lhatest::Member> members;
  for (gen::LayerFile& file : set.files) {
    if (sheet.without_dk && file.name == sheet.name + "DK.sal") continue;
    for (const auto& [code, lines] : sheet.extra) {
      if (file.name != sheet.name + code + ".sal") continue;
      for (const std::string& line : lines) file.bytes += testing::Sjis(line) + "\r\n";
    }
    members.emplace_back(file.name, file.bytes);
  }
  return lhatest::BuildLevel2(members);
}

// The dump, and for each of its lines the layer and feature it comes from.
struct Dump {
  std::vector<std::string> lines, where;
  void Add(const std::string& place, const std::string& line) {
    where.push_back(place);
    lines.push_back(line);
  }
};

std::string Vertices(const ReadFeature& feature) {
  std::string out = feature.geometry_type.empty() ? "(none)" : feature.geometry_type;
  char xy[64];
  for (std::size_t i = 0; i < feature.x.size(); ++i) {
    std::snprintf(xy, sizeof xy, "%s %.9f %.9f", i == 0 ? "" : ",", feature.x[i], feature.y[i]);
    out += xy;
  }
  return out;
}

Dump DumpTables(const fs::path& folder, const std::string& sheet, const std::string& ext) {
  std::vector<std::string> codes;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string file = entry.path().filename().string();
    if (entry.path().extension() == ext && file.starts_with(sheet)) {
      codes.push_back(file.substr(sheet.size(), file.size() - sheet.size() - ext.size()));
    }
  }
  std::sort(codes.begin(), codes.end());
  Dump dump;
  std::string list = "tables:";
  for (const std::string& code : codes) list += " " + code;
  dump.Add("the list of tables", list);
  for (const std::string& code : codes) {
    const ReadTable table = testing::ReadTableBack((folder / (sheet + code + ext)).string());
    std::string fields;
    for (const testing::ReadField& field : table.fields) {
      fields += " " + field.name + ":" + field.type + "(" + std::to_string(field.width) + ")";
    }
    dump.Add("layer " + code + ", schema", code + " fields:" + fields);
    dump.Add("layer " + code + ", schema", code + " coordsys: " + table.coordsys);
    for (std::size_t i = 0; i < table.features.size(); ++i) {
      const ReadFeature& f = table.features[i];
      const std::string place = "layer " + code + ", feature " + std::to_string(i + 1);
      const std::string head = code + " " + std::to_string(i + 1);
      std::string values;
      for (std::size_t k = 0; k < f.text.size(); ++k) {
        values += (k == 0 ? "" : " | ") + table.fields[k].name + "=" + f.text[k];
      }
      dump.Add(place, head + ": " + values);
      dump.Add(place, head + " geometry: " + Vertices(f));
      if (!f.style.text.empty()) dump.Add(place, head + " style: " + f.style.text);
    }
  }
  return dump;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(PinnedOutput, BothFormatsOfTwoSheetsReadBackAsPinned) {
  const char* update = std::getenv("QUELLMARK_UPDATE_PINNED");
  const bool updating = update != nullptr && *update != '\0' && std::string(update) != "0";
  TempDir dir;
  for (const Sheet& sheet : Sheets()) {
    const std::string archive = BuildArchive(sheet);
    for (const std::string format : {"tab", "shape"}) {
      const std::string label = "sheet " + sheet.name + ", format " + format;
      const fs::path folder = dir.path() / (sheet.name + "_" + format);
      fs::create_directories(folder);
      const std::string path = (folder / (sheet.name + ".lzh")).string();
      testing::WriteFile(path, archive);
      const testing::ProgramResult run =
          testing::RunProgram(QUELLMARK_CONVERT, {"--format", format, path});
      ASSERT_EQ(run.exit_code, 0) << label << "\n" << run.err;

      const Dump dump = DumpTables(folder, sheet.name, format == "tab" ? ".tab" : ".shp");
      const std::string expected_path =
          std::string(QUELLMARK_PINNED_DIR) + "/" + sheet.name + "_" + format + ".txt";
      if (updating) {
        std::string text;
        for (const std::string& line : dump.lines) text += line + "\n";
        testing::WriteFile(expected_path, text);
        continue;
      }
      ASSERT_TRUE(fs::exists(expected_path))
          << label << ": no " << expected_path << "; write it with QUELLMARK_UPDATE_PINNED=1";
      const std::vector<std::string> expected = Lines(testing::ReadFile(expected_path));
      const auto [want, got] =
          std::mismatch(expected.begin(), expected.end(), dump.lines.begin(), dump.lines.end());
      if (want == expected.end() && got == dump.lines.end()) continue;
      const std::size_t at = static_cast<std::size_t>(got - dump.lines.begin());
      ADD_FAILURE() << label << ", "
                    << (at < dump.where.size() ? dump.where[at] : "after the last table")
                    << ": first difference at line " << at + 1 << " of " << expected_path
                    << "\n  expected: " << (want == expected.end() ? "(end of file)" : *want)
                    << "\n  actual:   " << (got == dump.lines.end() ? "(end of output)" : *got);
    }
  }
  if (updating) GTEST_SKIP() << "expectations written to " << QUELLMARK_PINNED_DIR;
}

}  // namespace
}  // namespace quellmark
