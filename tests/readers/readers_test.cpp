// The tables as other programs read them, each given exactly what the
// README's "Reading the tables in other programs" tells it: a sheet whose
// names hold 髙, 﨑 and ① (code page 932 characters that JIS X 0208 lacks) is
// converted by quellmark-convert into shapefiles and a GeoPackage, and read
// back with pyshp, the npm `shapefile` package, geopandas and ogr2ogr. The
// README's warnings are checked too: without the argument it names, the text
// does not come out right. A reader that is not installed is skipped, saying
// which package brings it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
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
using testing::ProgramResult;
using testing::ReadFile;
using testing::RunProgram;
using testing::Sjis;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kReadTable = QUELLMARK_READERS_DIR "/read_table.py";
constexpr const char* kReadShapefile = QUELLMARK_READERS_DIR "/read_shapefile.js";
constexpr int kAbsent = 77;  // read_table.py: the reader is not installed

// The three characters as Windows writes them in code page 932 (and as the
// map data holds them): 髙 U+9AD9 and 﨑 U+FA11 are IBM extensions, ① U+2460
// is in NEC's row 13. None of them is in JIS X 0208.
const std::string kTaka = "\xFB\xFC";
const std::string kSaki = "\xFA\xB1";
const std::string kCircled1 = "\x87\x40";

// The CM layer of the test sheet: three names with those characters and one
// without, the last line with no point, so no geometry.
std::string CmLayer() {
  const std::string lines[] = {
      "CM(ID{CM000001}){SR{21}NM{" + kTaka + Sjis("田馬場") + kCircled1 +
          "}PT(ID{PT000001}){000001}}",
      "CM(ID{CM000002}){SR{91}NM{" + Sjis("山") + kSaki + "}PT(ID{PT000002}){000002}}",
      "CM(ID{CM000003}){SR{91}NM{" + Sjis("宮本町") + "}PT(ID{PT000003}){000003}}",
      "CM(ID{CM000004}){SR{91}NM{" + kTaka + kSaki + kCircled1 + Sjis("丁目") + "}}",
  };
  std::string layer;
  for (const std::string& line : lines) layer += line + "\r\n";
  return layer;
}

// What every reader must give for those rows: the name, a tab, the geometry.
const std::vector<std::string> kRows = {"髙田馬場①\tPoint", "山﨑\tPoint", "宮本町\tPoint",
                                        "髙﨑①丁目\tNone"};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The names alone, from rows as the readers print them.
std::vector<std::string> Names(const std::vector<std::string>& rows) {
  std::vector<std::string> names;
  for (const std::string& row : rows) names.push_back(row.substr(0, row.find('\t')));
  return names;
}

// The `name` of every row of a CM table, as GDAL reads it (UTF-8): the
// second field, after `no`.
std::vector<std::string> NamesIn(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& feature : testing::ReadTableBack(path).features) {
    names.push_back(feature.text.at(1));
  }
  return names;
}

class ReadersTest : public ::testing::Test {
 protected:
  // The sheet 533945: a generated small sheet with the CM layer above,
  // converted into shapefiles (shape/533945CM.shp) and a GeoPackage
  // (gpkg/533945.gpkg).
  void SetUp() override {
    gen::LayerSet set = gen::GenerateLayerSet({});
    std::vector<lhatest::Member> members;
    for (const auto& file : set.files) {
      members.emplace_back(file.name, file.name == "533945CM.sal" ? CmLayer() : file.bytes);
    }
    const std::string archive = dir / "533945.lzh";
    WriteFile(archive, lhatest::BuildLevel0(members));
    for (const char* format : {"shape", "gpkg"}) {
      const ProgramResult r = RunProgram(
          QUELLMARK_CONVERT, {"--quiet", "--format", format, "--output", dir / format, archive});
      ASSERT_EQ(r.exit_code, 0) << r.err;
      ASSERT_EQ(r.err, "");
    }
    shp = dir / "shape/533945CM.shp";
    gpkg = dir / "gpkg/533945.gpkg";
  }

  // read_table.py READER PATH [ENCODING]; skips the test when the reader is
  // not installed.
  ProgramResult ReadTable(const std::string& reader, const std::string& path,
                          const std::string& encoding = "") {
    std::vector<std::string> args = {kReadTable, reader, path};
    if (!encoding.empty()) args.push_back(encoding);
    return RunProgram(kPython, args);
  }

  // The npm `shapefile` package at the version tests/readers/package.json
  // pins, in the build folder: installed with `npm ci` from the lockfile
  // beside it when it is not there yet. False when Node.js or npm is missing.
  bool NpmShapefile() {
    if (std::string(QUELLMARK_NODE).empty() || std::string(QUELLMARK_NPM).empty()) return false;
    const std::string source = QUELLMARK_READERS_DIR;
    std::smatch pinned;
    const std::string manifest = ReadFile(source + "/package.json");
    if (!std::regex_search(manifest, pinned, std::regex("\"shapefile\": \"([^\"]+)\""))) {
      ADD_FAILURE() << "tests/readers/package.json pins no shapefile version";
      return false;
    }
    const std::string folder = QUELLMARK_NPM_DIR;
    const std::string installed = folder + "/node_modules/shapefile/package.json";
    if (fs::exists(installed) &&
        ReadFile(installed).find("\"version\": \"" + pinned[1].str() + "\"") != std::string::npos) {
      return true;
    }
    fs::create_directories(folder);
    for (const char* name : {"package.json", "package-lock.json"}) {
      fs::copy_file(source + "/" + name, folder + "/" + name, fs::copy_options::overwrite_existing);
    }
    const ProgramResult r = RunProgram(
        QUELLMARK_NPM, {"ci", "--prefix", folder, "--no-audit", "--no-fund", "--loglevel=error"});
    if (r.exit_code != 0) {
      ADD_FAILURE() << "npm ci failed:\n" << r.out << r.err;
      return false;
    }
    return true;
  }

  ProgramResult ReadWithNpm(const std::string& encoding = "") {
    std::vector<std::string> args = {kReadShapefile, QUELLMARK_NPM_DIR, shp};
    if (!encoding.empty()) args.push_back(encoding);
    return RunProgram(QUELLMARK_NODE, args);
  }

  ProgramResult Ogr2ogr(const std::vector<std::string>& args) {
    return RunProgram(QUELLMARK_OGR2OGR, args);
  }

  TempDir dir;
  std::string shp;
  std::string gpkg;
};

bool HasOgr2ogr() {
  return !std::string(QUELLMARK_OGR2OGR).empty() && !std::string(QUELLMARK_OGRINFO).empty();
}

constexpr const char* kNoOgr2ogr = "ogr2ogr is not installed (apt-get install gdal-bin)";

// pyshp reads the .dbf as UTF-8 unless told: shapefile.Reader(path,
// encoding="cp932"). Without it, and with Python's shift_jis codec (which
// lacks 髙, 﨑 and ①), it stops with UnicodeDecodeError.
TEST_F(ReadersTest, PyshpReadsTheShapefileWithCp932) {
  ProgramResult r = ReadTable("pyshp", shp, "cp932");
  if (r.exit_code == kAbsent) {
    GTEST_SKIP() << "pyshp is not installed (apt-get install python3-pyshp)";
  }
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out), kRows);

  r = ReadTable("pyshp", shp);
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_EQ(r.out.rfind("error: UnicodeDecodeError: 'utf-8' codec can't decode", 0), 0u) << r.out;

  r = ReadTable("pyshp", shp, "shift_jis");
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_EQ(r.out.rfind("error: UnicodeDecodeError: 'shift_jis' codec can't decode", 0), 0u)
      << r.out;
}

// The npm package reads windows-1252 unless told; its encodings are the
// web's names, where "shift_jis" is code page 932 with its NEC and IBM
// characters, and "cp932" is no name at all.
TEST_F(ReadersTest, NpmShapefileReadsTheShapefileWithShiftJis) {
  if (!NpmShapefile()) {
    if (HasFailure()) return;
    GTEST_SKIP() << "Node.js with npm is not installed (apt-get install npm)";
  }
  ProgramResult r = ReadWithNpm("shift_jis");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out), kRows);

  // Without it: every row read, no error, the Japanese names mojibake.
  r = ReadWithNpm();
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> names = Names(Lines(r.out));
  ASSERT_EQ(names.size(), kRows.size()) << r.out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_NE(names[i], Names(kRows)[i]);
    EXPECT_EQ(names[i].find("髙"), std::string::npos) << names[i];
  }

  r = ReadWithNpm("cp932");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "error: RangeError: Unknown encoding: cp932\n");
}

// geopandas reads through GDAL, which takes the code page from the .cpg:
// the shapefile needs no argument (encoding="cp932" gives the same), the
// GeoPackage none. encoding="shift_jis" garbles 髙, 﨑 and ① without a word.
TEST_F(ReadersTest, GeopandasReadsBothWithoutAnArgument) {
  ProgramResult r = ReadTable("geopandas", shp);
  if (r.exit_code == kAbsent) {
    GTEST_SKIP() << "geopandas is not installed (apt-get install python3-geopandas)";
  }
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out), kRows);

  r = ReadTable("geopandas", shp, "cp932");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out), kRows);

  r = ReadTable("geopandas", gpkg + ":CM");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out), kRows);

  r = ReadTable("geopandas", shp, "shift_jis");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> names = Names(Lines(r.out));
  ASSERT_EQ(names.size(), kRows.size()) << r.out;
  EXPECT_EQ(names[2], "宮本町");  // JIS X 0208 alone comes out right
  for (const std::size_t i : {0, 1, 3}) EXPECT_NE(names[i], Names(kRows)[i]);
}

// ogr2ogr into a shapefile writes ISO-8859-1 unless told: every Japanese
// character becomes '?', with one warning and exit status 0.
// -lco ENCODING=CP932 writes code page 932 and a .cpg saying so.
TEST_F(ReadersTest, Ogr2ogrToShapefileNeedsEncodingCp932) {
  if (!HasOgr2ogr()) GTEST_SKIP() << kNoOgr2ogr;
  // GDAL itself reads Quellmark's shapefile right: it takes the .cpg.
  EXPECT_EQ(NamesIn(shp), Names(kRows));

  const std::string right = dir / "right/CM.shp";
  fs::create_directories(dir / "right");
  ProgramResult r = Ogr2ogr({"-lco", "ENCODING=CP932", right, gpkg, "CM"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFile(dir / "right/CM.cpg"), "CP932");
  // The bytes themselves, as Windows writes them, not only what GDAL makes
  // of them again.
  const std::string dbf = ReadFile(dir / "right/CM.dbf");
  EXPECT_NE(dbf.find(kTaka + kSaki + kCircled1), std::string::npos);
  EXPECT_EQ(NamesIn(right), Names(kRows));

  const std::string wrong = dir / "wrong/CM.shp";
  fs::create_directories(dir / "wrong");
  r = Ogr2ogr({wrong, gpkg, "CM"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // One warning, whatever the number of rows.
  EXPECT_EQ(r.err,
            "Warning 1: One or several characters couldn't be converted correctly from UTF-8 "
            "to ISO-8859-1.  This warning will not be emitted anymore.\n");
  EXPECT_FALSE(fs::exists(dir / "wrong/CM.cpg"));
  EXPECT_EQ(NamesIn(wrong), (std::vector<std::string>{"?????", "??", "???", "?????"}));

  // From Quellmark's own shapefile the same: GDAL reads its .cpg, then
  // writes ISO-8859-1 unless told.
  const std::string again = dir / "again/CM.shp";
  fs::create_directories(dir / "again");
  r = Ogr2ogr({again, shp});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(NamesIn(again), NamesIn(wrong));
}

// ogr2ogr writes CSV in UTF-8; -lco WRITE_BOM=YES puts the byte order mark
// first, which Excel needs to read it as UTF-8.
TEST_F(ReadersTest, Ogr2ogrToCsvWritesTheByteOrderMarkWhenAsked) {
  if (!HasOgr2ogr()) GTEST_SKIP() << kNoOgr2ogr;
  ProgramResult r = Ogr2ogr({"-f", "CSV", "-lco", "WRITE_BOM=YES", dir / "bom.csv", gpkg, "CM"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string bom = ReadFile(dir / "bom.csv");
  EXPECT_EQ(bom.substr(0, 3), "\xEF\xBB\xBF");
  for (const std::string& name : Names(kRows)) {
    EXPECT_NE(bom.find("," + name + ","), std::string::npos) << name;
  }

  r = Ogr2ogr({"-f", "CSV", dir / "plain.csv", gpkg, "CM"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "plain.csv").rfind("no,name,", 0), 0u);
}

// GDAL 3.6 (Debian 12) leaves out of a FlatGeobuf every row without
// geometry, saying nothing and exiting 0, also without the spatial index
// and whatever -nlt asks; GeoJSON keeps them, and ogrinfo counts them.
TEST_F(ReadersTest, Ogr2ogrToFlatGeobufDropsRowsWithoutGeometry) {
  if (!HasOgr2ogr()) GTEST_SKIP() << kNoOgr2ogr;
  const std::vector<std::vector<std::string>> options = {
      {}, {"-lco", "SPATIAL_INDEX=NO"}, {"-nlt", "GEOMETRY"}};
  int n = 0;
  for (const auto& option : options) {
    const std::string fgb = dir / ("cm" + std::to_string(++n) + ".fgb");
    std::vector<std::string> args = {"-f", "FlatGeobuf"};
    args.insert(args.end(), option.begin(), option.end());
    args.insert(args.end(), {fgb, gpkg, "CM"});
    const ProgramResult r = Ogr2ogr(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> names = NamesIn(fgb);
    std::sort(names.begin(), names.end());  // the spatial index reorders them
    EXPECT_EQ(names, (std::vector<std::string>{"宮本町", "山﨑", "髙田馬場①"}))
        << ::testing::PrintToString(option);
  }

  const std::string geojson = dir / "cm.geojson";
  ProgramResult r = Ogr2ogr({"-f", "GeoJSON", geojson, gpkg, "CM"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto table = testing::ReadTableBack(geojson);
  ASSERT_EQ(table.features.size(), 4u);
  EXPECT_EQ(table.features[3].text[1], "髙﨑①丁目");
  EXPECT_EQ(table.features[3].geometry_type, "");

  EXPECT_NE(ReadFile(geojson).find("\"geometry\": null"), std::string::npos);

  r = RunProgram(QUELLMARK_OGRINFO,
                 {"-q", "-sql", "SELECT COUNT(*) FROM CM WHERE geom IS NULL", gpkg});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("COUNT(*) (Integer) = 1\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace quellmark
