#include <cpl_conv.h>
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/gpkg_check.h"
#include "support/lha_builder.h"
#include "support/run_program.h"
#include "support/table_reader.h"
#include "support/test_support.h"
#include "tools/gen/layerset_generator.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using testing::FeatureCount;
using testing::ProgramResult;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;

const std::vector<std::string> kAllLayers = {"CM", "KJ", "KS", "KK", "SK", "GK", "GD", "KO", "MH",
                                             "TS", "TK", "EK", "DK", "DS", "HA", "TO", "YO"};

// Renames a generated set's files from "533945..." to `base` (CP932 bytes).
std::vector<lhatest::Member> Members(const gen::LayerSet& set, const std::string& base) {
  std::vector<lhatest::Member> members;
  for (const auto& f : set.files) members.emplace_back(base + f.name.substr(6), f.bytes);
  return members;
}

// The last line of a program's stderr: the run's summary.
std::string LastLine(const std::string& err) {
  if (err.empty() || err.back() != '\n') return "(no line ends the output)";
  const std::size_t start = err.rfind('\n', err.size() - 2);
  return err.substr(start == std::string::npos ? 0 : start + 1, err.size() - 1 - (start + 1));
}

// What a folder holds, every path in it.
std::vector<std::string> Paths(const std::string& folder) {
  std::vector<std::string> paths;
  for (const auto& entry : testing::ReadTree(folder)) paths.push_back(entry.first);
  return paths;
}

long CountLines(const std::string& path) {
  if (!fs::exists(path)) return 0;
  const std::string text = ReadFile(path);
  long lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

class ConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GDALAllRegister(); }

  // A generated sheet packed as `name`.lzh in `folder`, its members named
  // after the archive.
  std::string MakeArchive(const std::string& folder, const std::string& name,
                          const gen::GeneratorOptions& options = {}) {
    fs::create_directories(folder);
    const std::string path = folder + "/" + name + ".lzh";
    WriteFile(path, lhatest::BuildLevel2(Members(gen::GenerateLayerSet(options), name)));
    return path;
  }

  ProgramResult Convert(std::vector<std::string> args) {
    return RunProgram(QUELLMARK_CONVERT, std::move(args));
  }

  TempDir dir;
};

TEST_F(ConvertTest, SampleArchiveConvertsIntoBothFormats) {
  const std::string archive = dir / "533945.lzh";
  fs::copy_file(QUELLMARK_SAMPLE, archive);
  for (const auto& [format, ext] : {std::pair{"tab", ".tab"}, std::pair{"shape", ".shp"}}) {
    ProgramResult r = Convert({"--format", format, archive});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << "progress drawn without a terminal";
    // The TAB station table keeps 8 bytes of each 14-byte KN reference, and
    // says so once; the shapefile keeps them whole.
    const std::string cut =
        std::string(format) == "tab"
            ? "quellmark-convert: warning: 533945.lzh: layer EK: values longer than their field "
              "were cut: knir 2; a GeoPackage keeps them whole\n"
            : "";
    EXPECT_EQ(r.err, cut + "quellmark-convert: 1 archive converted, 0 failed, 17 tables, " +
                         (cut.empty() ? "0 warnings" : "1 warning") + "; tables in " + dir.str() +
                         "\n");
    for (const auto& code : kAllLayers) {
      const std::string table = dir / ("533945" + code + ext);
      const bool list_layer = code == "HA" || code == "TO" || code == "YO";
      const std::string source =
          dir / ("533945/533945" + (list_layer ? "_" + code + ".txt" : code + ".sal"));
      EXPECT_EQ(FeatureCount(table), CountLines(source)) << table;
    }
  }
  EXPECT_GT(CountLines(dir / "533945/533945_HA.txt"), 0);
}

// Every path through the batch ends in one summary line that counts what
// happened: places converted, failed, skipped as duplicates and not tried,
// and the tables as the files hold them. Each case runs in a fresh copy of
// one folder: a.lzh, b.lzh (a CRC error in its sheet header), other/c.lzh,
// x/a.lzh (another archive named a) and pair.lzh (two sheets, 28204 and
// 28205); "{d}" stands for the copy.
TEST_F(ConvertTest, TheSummaryCountsWhatEveryPathThroughTheBatchDid) {
  const std::string model = dir / "model";
  MakeArchive(model, "a");
  auto members = Members(gen::GenerateLayerSet({}), "b");
  members[0].claimed_crc = 0x1234;
  WriteFile(model + "/b.lzh", lhatest::BuildLevel2(members));
  MakeArchive(model + "/other", "c");
  MakeArchive(model + "/x", "a");
  auto pair = Members(gen::GenerateLayerSet({}), "28204");
  for (auto& member : Members(gen::GenerateLayerSet({}), "28205")) pair.push_back(member);
  WriteFile(model + "/pair.lzh", lhatest::BuildLevel2(pair));

  const std::string all = "{d}/all.gpkg";
  const struct {
    const char* what;
    std::vector<std::string> args;
    int exit_code;
    std::string summary;
    std::vector<std::string> written = {};    // files the run put in place
    std::vector<std::string> untouched = {};  // files it did not
    std::string environment = {};
    std::string said = {};  // a line stderr holds besides the summary
  } cases[] = {
      {"every archive, two folders",
       {"{d}/a.lzh", "{d}/other/c.lzh"},
       0,
       "2 archives converted, 0 failed, 34 tables, 0 warnings; tables beside each archive",
       {"{d}/aDK.shp", "{d}/other/cDK.shp"}},
      {"one archive holding two sheets",
       {"{d}/pair.lzh"},
       0,
       "1 archive converted, 0 failed, 34 tables, 0 warnings; tables in {d}",
       {"{d}/28204DK.shp", "{d}/28205DK.shp"}},
      {"a failure ends the batch",
       {"{d}/a.lzh", "{d}/b.lzh", "{d}/other/c.lzh"},
       1,
       "1 archive converted, 1 failed, 1 not tried, 17 tables, 0 warnings; tables in {d}",
       {"{d}/aDK.shp"},
       {"{d}/bDK.shp", "{d}/other/cDK.shp", "{d}/b/b.slm"}},
      {"a folder stands for its archives in path order: a, b, other/c, pair, x/a",
       {"{d}"},
       1,
       "1 archive converted, 1 failed, 3 not tried, 17 tables, 0 warnings; tables in {d}",
       {"{d}/aDK.shp"},
       {"{d}/other/cDK.shp"}},
      {"--keep-going",
       {"--keep-going", "{d}/a.lzh", "{d}/b.lzh", "{d}/other/c.lzh"},
       1,
       "2 archives converted, 1 failed, 34 tables, 0 warnings; tables beside each archive",
       {"{d}/aDK.shp", "{d}/other/cDK.shp"},
       {"{d}/bDK.shp"}},
      {"--keep-going side by side",
       {"--keep-going", "--jobs", "3", "{d}/other/c.lzh", "{d}/b.lzh", "{d}/a.lzh"},
       1,
       "2 archives converted, 1 failed, 34 tables, 0 warnings; tables beside each archive"},
      {"an archive listed twice",
       {"{d}/a.lzh", "{d}/./a.lzh"},
       0,
       "1 archive converted, 0 failed, 1 skipped as a duplicate, 17 tables, 1 warning; "
       "tables in {d}",
       {"{d}/aDK.shp"},
       {},
       {},
       "warning: a.lzh: listed more than once; converted once"},
      {"listed three times, side by side",
       {"--jobs", "2", "{d}/a.lzh", "{d}/other/c.lzh", "{d}/./a.lzh", "{d}/x/../a.lzh"},
       0,
       "2 archives converted, 0 failed, 2 skipped as duplicates, 34 tables, 2 warnings; "
       "tables beside each archive"},
      {"a failed archive listed twice",
       {"--keep-going", "{d}/b.lzh", "{d}/a.lzh", "{d}/./b.lzh"},
       1,
       "1 archive converted, 1 failed, 1 skipped as a duplicate, 17 tables, 1 warning; "
       "tables in {d}",
       {"{d}/aDK.shp"},
       {"{d}/bDK.shp"},
       {},
       "warning: b.lzh: listed more than once; not tried again after it failed"},
      {"a duplicate once every output is in place, then SIGINT",
       {"{d}/a.lzh", "{d}/./a.lzh"},
       0,
       "1 archive converted, 0 failed, 1 skipped as a duplicate, 17 tables, 1 warning; "
       "tables in {d}",
       {"{d}/aDK.shp"},
       {},
       "QUELLMARK_TEST_SIGNAL_WHEN_DONE=2"},
      {"two archives of one name into one folder: the later tables replace the earlier",
       {"--output", "{d}/out", "{d}/a.lzh", "{d}/x/a.lzh"},
       0,
       "2 archives converted, 0 failed, 17 tables, 0 warnings; tables in {d}/out",
       {"{d}/out/aDK.shp"}},
      {"a GeoPackage per sheet",
       {"--format", "gpkg", "{d}/a.lzh", "{d}/pair.lzh", "{d}/other/c.lzh"},
       0,
       "3 archives converted, 0 failed, 68 tables, 0 warnings; tables beside each archive",
       {"{d}/a.gpkg", "{d}/28204.gpkg", "{d}/28205.gpkg", "{d}/other/c.gpkg"}},
      {"one GeoPackage for every sheet",
       {"--output", all, "{d}/a.lzh", "{d}/pair.lzh", "{d}/other/c.lzh"},
       0,
       "3 archives converted, 0 failed, 17 tables, 0 warnings; all in " + all,
       {all}},
      {"one GeoPackage, --keep-going past a failure",
       {"--keep-going", "--output", all, "{d}/a.lzh", "{d}/b.lzh", "{d}/other/c.lzh"},
       1,
       "2 archives converted, 1 failed, 17 tables, 0 warnings; all in " + all,
       {all}},
      {"one GeoPackage, a failure: the file is not made",
       {"--output", all, "{d}/a.lzh", "{d}/b.lzh", "{d}/other/c.lzh"},
       1,
       "0 archives converted, 1 not kept, 1 failed, 1 not tried, 0 tables, 0 warnings; " + all +
           " left as it was",
       {},
       {all}},
      {"one GeoPackage, an archive listed twice",
       {"--jobs", "2", "--output", all, "{d}/a.lzh", "{d}/./a.lzh", "{d}/other/c.lzh"},
       0,
       "2 archives converted, 0 failed, 1 skipped as a duplicate, 17 tables, 1 warning; all in " +
           all,
       {all}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string copy = dir / ("case" + std::to_string(n++));
    fs::copy(model, copy, fs::copy_options::recursive);
    const auto place = [&copy](std::string text) {
      for (std::size_t at = text.find("{d}"); at != std::string::npos; at = text.find("{d}")) {
        text.replace(at, 3, copy);
      }
      return text;
    };
    // Shapefiles unless the case names a GeoPackage.
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(place(arg));
    if (std::none_of(args.begin(), args.end(), [](const std::string& arg) {
          return arg == "--format" || arg.ends_with(".gpkg");
        })) {
      args.insert(args.begin(), {"--format", "shape"});
    }
    testing::ProgramStart start;
    if (!c.environment.empty()) start.environment = {c.environment};
    const ProgramResult r = RunProgram(QUELLMARK_CONVERT, args, start);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(LastLine(r.err), "quellmark-convert: " + place(c.summary)) << r.err;
    for (const std::string& file : c.written) EXPECT_TRUE(fs::exists(place(file))) << file;
    for (const std::string& file : c.untouched) EXPECT_FALSE(fs::exists(place(file))) << file;
    if (!c.said.empty()) {
      EXPECT_NE(r.err.find("quellmark-convert: " + c.said + "\n"), std::string::npos) << r.err;
    }
  }
}

// The features of the road table (DK) of the sheet `prefix` in `format`,
// read back through GDAL; -1 when it does not open.
long Roads(const std::string& prefix, const std::string& format) {
  if (format != "gpkg") return FeatureCount(prefix + (format == "tab" ? "DK.tab" : "DK.shp"));
  const std::string path = prefix + ".gpkg";
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return -1;
  OGRLayerH table = GDALDatasetGetLayerByName(dataset, "DK");
  const long count = table != nullptr ? static_cast<long>(OGR_L_GetFeatureCount(table, TRUE)) : -1;
  GDALClose(dataset);
  return count;
}

// Archives as users hold them: whatever the archive's name (up to the file
// system's longest), wherever and in whatever letter case the layer set
// stands inside it, in Shift_JIS too.
TEST_F(ConvertTest, TheLayerSetIsFoundWhateverTheNames) {
  const gen::LayerSet set = gen::GenerateLayerSet({});
  // The set's members renamed: "533945" becomes `base`, put under `folder`,
  // the whole name upper-cased when asked.
  const auto members = [&set](const std::string& base, const std::string& folder, bool upper) {
    std::vector<lhatest::Member> out;
    for (const auto& f : set.files) {
      std::string name = base + f.name.substr(6);
      if (upper) {
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
      out.emplace_back(folder + name, f.bytes);
    }
    return out;
  };
  const std::string& road = set.Find("533945DK.sal")->bytes;
  const long roads = static_cast<long>(std::count(road.begin(), road.end(), '\n'));
  ASSERT_GT(roads, 0);
  const std::string nishinomiya = testing::Sjis("西宮");
  // A name of `bytes` bytes in UTF-8, Japanese then ASCII, as an archive
  // of a sheet named in words may have.
  const auto long_name = [](std::size_t bytes) {
    std::string name;
    while (name.size() + 6 <= bytes - 10) name += "地図";
    return name + std::string(bytes - name.size(), 'x');
  };
  const std::string long235 = long_name(235 - 4);
  const std::string long250 = long_name(250 - 4);
  struct Case {
    const char* what;
    std::string archive;  // file name without ".lzh"
    std::vector<lhatest::Member> members;
    std::vector<std::string> sheets;  // the output prefixes expected
    bool every_format = false;        // converted in each format, not only shape
  } cases[] = {
      {"renamed", "nishi", members("28204", "", false), {"nishi"}},
      {"in a folder", "s", members("28204", "28204\\", false), {"s"}},
      {"upper case", "s", members("s", "", true), {"s"}},
      {"Shift_JIS names", nishinomiya, members(nishinomiya, "", false), {nishinomiya}},
      {"two sheets", "pair", members("28204", "", false), {"28204", "28205"}},
      // The hidden working names beside the tables are longer than the
      // tables' own, and are kept within the file system's 255 bytes.
      {"a 235-byte name", long235, members(testing::Sjis(long235), "", false), {long235}, true},
      {"a 250-byte name", long250, members(testing::Sjis(long250), "", false), {long250}, true},
  };
  for (const auto& m : members("28205", "", false)) cases[4].members.push_back(m);
  for (const Case& c : cases) {
    const std::string folder = dir / c.what;
    fs::create_directories(folder);
    const std::string archive = folder + "/" + c.archive + ".lzh";
    WriteFile(archive, lhatest::BuildLevel2(c.members));
    for (const std::string format : {"shape", "tab", "gpkg"}) {
      if (format != "shape" && !c.every_format) continue;
      SCOPED_TRACE(std::string(c.what) + ", " + format);
      const ProgramResult r = Convert({"--format", format, archive});
      EXPECT_EQ(r.exit_code, 0) << r.err;
      for (const std::string& sheet : c.sheets) {
        EXPECT_EQ(Roads(folder + "/" + sheet, format), roads) << sheet;
      }
      for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
      }
    }
  }

  // Tables whose own names do not fit: an error naming the first, in each
  // format.
  const std::string too_long = std::string(255 - 4, 'z');
  const std::string folder = dir / "too long";
  fs::create_directories(folder);
  WriteFile(folder + "/" + too_long + ".lzh", lhatest::BuildLevel2(members("28204", "", false)));
  for (const auto& [format, file] :
       {std::pair{"shape", "CM.shp"}, std::pair{"tab", "CM.tab"}, std::pair{"gpkg", ".gpkg"}}) {
    SCOPED_TRACE(format);
    const ProgramResult r = Convert({"--format", format, folder + "/" + too_long + ".lzh"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("error: " + folder + "/" + too_long + file +
                         ": the name is too long for the file system"),
              std::string::npos)
        << r.err;
  }

  // No sheet header at all: an error naming the archive.
  const std::string empty = dir / "empty.lzh";
  WriteFile(empty, lhatest::BuildLevel2({{"readme.txt", "no map here"}}));
  const ProgramResult r = Convert({empty});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find(empty + ": no sheet header (.slm) in the archive"), std::string::npos)
      << r.err;
}

// With --output, archives on media that cannot be written convert: the
// tables go to the folder named, and nothing is written beside the archives.
TEST_F(ConvertTest, OutputFolderLeavesTheArchivesFolderAsItWas) {
  const std::string media = dir / "media";
  MakeArchive(media + "/disc1", "a");
  MakeArchive(media + "/disc2", "b");
  const auto before = testing::ReadTree(media);
  ProgramResult r = Convert({"--format", "shape", "--output", dir / "out", media});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(testing::ReadTree(media), before);
  for (const char* sheet : {"a", "b"})
    EXPECT_GT(FeatureCount(dir / "out" + "/" + sheet + "DK.shp"), 0);
  std::vector<std::string> extracted;
  for (const auto& entry : fs::directory_iterator(dir.path() / "out")) {
    if (entry.is_directory()) extracted.push_back(entry.path().filename().string());
  }
  EXPECT_TRUE(extracted.empty()) << extracted.front();
  EXPECT_EQ(LastLine(r.err),
            "quellmark-convert: 2 archives converted, 0 failed, 34 tables, "
            "0 warnings; tables in " +
                dir / "out");

  r = Convert({"--output", dir / "kept", "--keep-extracted", media + "/disc1/a.lzh"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "kept/a/a.slm"));
  EXPECT_EQ(testing::ReadTree(media), before);
  EXPECT_EQ(Convert({"--keep-extracted", media + "/disc1/a.lzh"}).exit_code, 2);
}

TEST_F(ConvertTest, HostileArchiveWritesNothingOutsideItsFolder) {
  const fs::path outside = dir.path() / "outside";
  fs::create_directories(dir.path() / "in");
  for (const char* member :
       {"../outside/evil.txt", "..\\outside\\evil.txt", "/tmp/quellmark-evil.txt"}) {
    WriteFile(dir / "in/h.lzh", lhatest::BuildLevel2({{member, "boom"}}));
    ProgramResult r = Convert({dir / "in/h.lzh"});
    EXPECT_EQ(r.exit_code, 1) << member;
    EXPECT_NE(r.err.find("extraction failed"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(outside / "evil.txt"));
    EXPECT_FALSE(fs::exists("/tmp/quellmark-evil.txt"));
  }
}

TEST_F(ConvertTest, ArgumentsAndExitCodes) {
  ProgramResult r = Convert({});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("no archive given"), std::string::npos);
  EXPECT_EQ(Convert({"--format", "mif", "x.lzh"}).exit_code, 2);
  EXPECT_EQ(Convert({"--jobs", "0", "x.lzh"}).exit_code, 2);
  EXPECT_EQ(Convert({"--bogus", "x.lzh"}).exit_code, 2);
  EXPECT_EQ(Convert({"--bogus", "x.lzh"}).err.find("converted"), std::string::npos);
  r = Convert({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Usage: quellmark-convert"), std::string::npos);
  r = Convert({"--version", "x.lzh"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "quellmark-convert (Quellmark) " QUELLMARK_VERSION "\n");
  // Bad arguments: exit 2 and the reason.
  const struct {
    std::vector<std::string> args;
    const char* reason;
  } bad[] = {
      {{"--datum", "wgs84", "x.lzh"}, "unknown datum 'wgs84' (use tokyo|jgd2000)"},
      {{"--datum=", "x.lzh"}, "unknown datum ''"},
      {{"x.lzh", "--datum"}, "--datum needs a value"},
      {{"--to-jgd2000", "--datum", "tokyo", "x.lzh"}, "moved onto JGD2000 (--to-jgd2000)"},
      {{"--datum=tokyo", "--to-jgd2000", "x.lzh"}, "moved onto JGD2000 (--to-jgd2000)"},
      {{"--layers", "DK,XX", "x.lzh"}, "unknown layer 'XX' (the layers are CM,KJ,KS,KK,"},
      {{"--layers=", "x.lzh"}, "no layer named"},
      {{"--layers", "DK,-MH", "x.lzh"}, "not both"},
      {{"--layers",
        "-" + std::string("CM,-KJ,-KS,-KK,-SK,-GK,-GD,-KO,-MH,-TS,-TK,-EK,-DK,-DS,"
                          "-HA,-TO,-YO"),
        "x.lzh"},
       "every layer is left out"},
      {{"x.lzh", "--layers"}, "--layers needs a list"},
      {{"--crs", "EPSG:4612", "x.lzh"}, "EPSG:4612 (JGD2000) is not a projected coordinate system"},
      {{"--crs", "EPSG:99999", "x.lzh"}, "PROJ does not know EPSG:99999"},
      {{"--crs", "6677", "x.lzh"}, "--crs takes EPSG:CODE"},
      {{"--crs=EPSG:x", "x.lzh"}, "--crs takes EPSG:CODE"},
      {{"--plane-zone", "20", "x.lzh"}, "zones are 1 to 19, not 20"},
      {{"--plane-zone", "9", "--crs", "epsg:6677", "x.lzh"}, "give one"},
      {{"x.lzh", "--plane-zone"}, "--plane-zone needs a zone"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.args.front());
    r = Convert(c.args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
  fs::create_directories(dir / "empty/sub");
  r = Convert({dir / "empty"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("no .lzh archive under " + dir / "empty"), std::string::npos) << r.err;
  r = Convert({dir / "missing.lzh"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find(dir / "missing.lzh"), std::string::npos) << r.err;
  EXPECT_EQ(LastLine(r.err),
            "quellmark-convert: 0 archives converted, 1 failed, 0 tables, 0 warnings");
}

// A layer's rows as "x y" per row ("-" for none), from the table at `path`
// (a GeoPackage's table `code`).
std::vector<std::string> Positions(const std::string& path, const std::string& code) {
  std::vector<std::string> rows;
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return {"cannot open " + path};
  OGRLayerH layer = GDALDatasetGetLayerByName(dataset, code.c_str());
  if (layer == nullptr) layer = GDALDatasetGetLayer(dataset, 0);
  while (OGRFeatureH row = OGR_L_GetNextFeature(layer)) {
    OGRGeometryH geometry = OGR_F_GetGeometryRef(row);
    rows.push_back(geometry == nullptr || OGR_G_IsEmpty(geometry)
                       ? "-"
                       : std::to_string(OGR_G_GetX(geometry, 0)) + " " +
                             std::to_string(OGR_G_GetY(geometry, 0)));
    OGR_F_Destroy(row);
  }
  GDALClose(dataset);
  return rows;
}

// The layer codes of the tables at `prefix` (files prefix + code + `main`),
// or in the GeoPackage `prefix` + ".gpkg" when `main` is ".gpkg".
std::string TablesAt(const std::string& prefix, const std::string& main) {
  std::string codes;
  if (main == ".gpkg") {
    GDALDatasetH dataset = GDALOpenEx((prefix + main).c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY,
                                      nullptr, nullptr, nullptr);
    if (dataset == nullptr) return "no file";
    for (const std::string& code : kAllLayers) {
      if (GDALDatasetGetLayerByName(dataset, code.c_str()) != nullptr) codes += code + " ";
    }
    GDALClose(dataset);
  } else {
    for (const std::string& code : kAllLayers) {
      if (fs::exists(prefix + code + main)) codes += code + " ";
    }
  }
  return codes;
}

// --layers writes those tables only, in every format and into one file;
// EK is placed by TK's lines though TK is not written; the sheet's other
// tables, and another file's other tables, are kept.
TEST_F(ConvertTest, LayersWriteTheirTablesAndLeaveTheOthers) {
  gen::GeneratorOptions first;
  first.road_lines = 30;
  gen::GeneratorOptions edition = first;
  edition.seed = 7;
  edition.road_lines = 45;
  const std::string a = MakeArchive(dir / "a", "s", first);
  const std::string b = MakeArchive(dir / "b", "s", edition);  // a new edition of s
  const std::string all = "CM KJ KS KK SK GK GD KO MH TS TK EK DK DS HA TO YO ";
  const struct {
    const char* format;
    const char* main;
  } formats[] = {{"shape", ".shp"}, {"tab", ".tab"}, {"gpkg", ".gpkg"}};
  for (const auto& f : formats) {
    SCOPED_TRACE(f.format);
    const std::string out = dir / (std::string("out-") + f.format);
    const std::string full = dir / (std::string("full-") + f.format);
    const auto table = [&](const std::string& prefix, const std::string& code) {
      return std::string(f.main) == ".gpkg" ? prefix + ".gpkg" : prefix + code + f.main;
    };
    ASSERT_EQ(Convert({"--quiet", "--format", f.format, "--output", full, a}).exit_code, 0);
    ProgramResult r =
        Convert({"--quiet", "--format", f.format, "--layers", "ek", "--output", out, a});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(TablesAt(out + "/s", f.main), "EK ");
    const std::vector<std::string> stations = Positions(table(full + "/s", "EK"), "EK");
    EXPECT_EQ(Positions(table(out + "/s", "EK"), "EK"), stations);
    EXPECT_GT(
        std::count_if(stations.begin(), stations.end(),
                      [](const std::string& p) { return p != "-" && p != "0.000000 0.000000"; }),
        0);

    // Every layer, then a new edition's roads only: the rest stays as it was.
    ASSERT_EQ(Convert({"--quiet", "--format", f.format, "--output", out, a}).exit_code, 0);
    EXPECT_EQ(TablesAt(out + "/s", f.main), all);
    r = Convert({"--format", f.format, "--layers", "DK", "--output", out, b});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(", 1 table,"), std::string::npos) << r.err;
    EXPECT_EQ(TablesAt(out + "/s", f.main), all);
    EXPECT_EQ(Positions(table(out + "/s", "DK"), "DK").size(), 45u);
    for (const char* kept : {"CM", "HA", "TK", "MH"}) {
      EXPECT_EQ(Positions(table(out + "/s", kept), kept), Positions(table(full + "/s", kept), kept))
          << kept;
    }
    // Leaving out: all but MH and the node layers.
    r = Convert({"--quiet", "--format", f.format, "--layers", "-MH,-KS,-TS,-DS", "--output",
                 dir / (std::string("some-") + f.format), a});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(TablesAt(dir / (std::string("some-") + f.format + "/s"), f.main),
              "CM KJ KK SK GK GD KO TK EK DK HA TO YO ");
  }

  // One file: the chosen tables; appended, the file's other tables stay.
  const std::string one = dir / "one.gpkg";
  ASSERT_EQ(Convert({"--quiet", "--layers", "TK,EK", "--output", one, a}).exit_code, 0);
  EXPECT_EQ(TablesAt(dir / "one", ".gpkg"), "TK EK ");
  EXPECT_EQ(Positions(one, "EK"), Positions(dir / "full-gpkg/s.gpkg", "EK"));
  ASSERT_EQ(Convert({"--quiet", "--append", "--layers", "HA", "--output", one, b}).exit_code, 0);
  EXPECT_EQ(TablesAt(dir / "one", ".gpkg"), "TK EK HA ");
  EXPECT_EQ(Positions(one, "EK"), Positions(dir / "full-gpkg/s.gpkg", "EK"));
  testing::ExpectValidGpkg(one);
  testing::ExpectValidGpkg(dir / "out-gpkg/s.gpkg");
}

// "x y" of each row's first vertex in the table (a GeoPackage's `code`).
std::vector<std::pair<double, double>> FirstVertices(const std::string& path,
                                                     const std::string& code) {
  std::vector<std::pair<double, double>> rows;
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return rows;
  OGRLayerH layer = GDALDatasetGetLayerByName(dataset, code.c_str());
  if (layer == nullptr) layer = GDALDatasetGetLayer(dataset, 0);
  while (OGRFeatureH row = OGR_L_GetNextFeature(layer)) {
    OGRGeometryH geometry = OGR_F_GetGeometryRef(row);
    if (geometry != nullptr && !OGR_G_IsEmpty(geometry)) {
      rows.emplace_back(OGR_G_GetX(geometry, 0), OGR_G_GetY(geometry, 0));
    }
    OGR_F_Destroy(row);
  }
  GDALClose(dataset);
  return rows;
}

// The EPSG code the table at `path` declares, as GDAL and PROJ read it; a
// system without a code of its own (a TAB table's: MapInfo keeps the
// projection's parameters, no code), PROJ's one best match.
std::string DeclaredCode(const std::string& path, const std::string& code) {
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return "cannot open";
  OGRLayerH layer = GDALDatasetGetLayerByName(dataset, code.c_str());
  if (layer == nullptr) layer = GDALDatasetGetLayer(dataset, 0);
  std::string found = "none";
  if (OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(layer)) {
    if (const char* epsg = OSRGetAuthorityCode(srs, nullptr)) {
      found = epsg;
    } else {
      int count = 0;
      int* confidence = nullptr;
      OGRSpatialReferenceH* matches = OSRFindMatches(srs, nullptr, &count, &confidence);
      if (count == 1 || (count > 1 && confidence[0] > confidence[1])) {
        const char* epsg = OSRGetAuthorityCode(matches[0], nullptr);
        found = epsg != nullptr ? epsg : "unnamed match";
      } else {
        found = std::to_string(count) + " matches";
      }
      OSRFreeSRSArray(matches);
      CPLFree(confidence);
    }
  }
  GDALClose(dataset);
  return found;
}

// --crs and --plane-zone: every format writes the positions PROJ's own
// cs2cs gives, to the millimetre, and declares the system; QGIS reads it.
TEST_F(ConvertTest, ProjectedSystemsAsPROJComputesThem) {
  if (RunProgram("/usr/bin/cs2cs", {"--version"}).exit_code < 0) GTEST_SKIP() << "no cs2cs";
  gen::GeneratorOptions options;
  options.road_lines = 40;
  const std::string a = MakeArchive(dir / "media", "s", options);
  ASSERT_EQ(Convert({"--quiet", "--format", "gpkg", "--output", dir / "geo", a}).exit_code, 0);
  const auto lonlat = FirstVertices(dir / "geo/s.gpkg", "DK");
  ASSERT_GE(lonlat.size(), 40u);
  // cs2cs takes latitude first and gives the plane systems' northing first.
  std::string input;
  for (const auto& [lon, lat] : lonlat) {
    char line[64];
    std::snprintf(line, sizeof line, "%.10f %.10f\n", lat, lon);
    input += line;
  }
  WriteFile(dir / "points.txt", input);
  const auto projected_by_proj = [&](const std::string& from, const std::string& to) {
    const ProgramResult r =
        RunProgram("/usr/bin/cs2cs", {"-f", "%.4f", from, to, dir / "points.txt"});
    std::vector<std::pair<double, double>> xy;
    std::istringstream lines(r.out);
    double north = 0;
    double east = 0;
    double height = 0;
    while (lines >> north >> east >> height) xy.emplace_back(east, north);
    return xy;
  };
  const struct {
    std::vector<std::string> args;
    const char* format;
    const char* table;
    const char* epsg;
    const char* from;
  } cases[] = {
      {{"--plane-zone", "9"}, "shape", "/sDK.shp", "2451", "EPSG:4612"},
      {{"--plane-zone=9"}, "tab", "/sDK.tab", "2451", "EPSG:4612"},
      // A zone far from the sheet (zone I is Kyushu's): a TAB table still
      // holds every point.
      {{"--plane-zone", "1"}, "tab", "/sDK.tab", "2443", "EPSG:4612"},
      {{"--plane-zone", "9"}, "gpkg", "/s.gpkg", "2451", "EPSG:4612"},
      {{"--crs", "EPSG:6677"}, "gpkg", "/s.gpkg", "6677", "EPSG:4612"},
      {{"--datum", "tokyo", "--plane-zone", "9"}, "gpkg", "/s.gpkg", "30169", "EPSG:4301"},
      {{"--to-jgd2000", "--crs=EPSG:2451"}, "shape", "/sDK.shp", "2451", ""},
  };
  for (const auto& c : cases) {
    const std::string out =
        dir / ("out-" + std::string(c.format) + "-" + c.epsg + (c.from[0] == '\0' ? "-moved" : ""));
    SCOPED_TRACE(out);
    std::vector<std::string> args = {"--quiet", "--format", c.format, "--output", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(a);
    const ProgramResult r = Convert(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(DeclaredCode(out + c.table, "DK"), c.epsg);
    if (c.from[0] == '\0') continue;  // moved first: the datum test covers the move
    const auto expected = projected_by_proj(c.from, std::string("EPSG:") + c.epsg);
    const auto got = FirstVertices(out + c.table, "DK");
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i].first, expected[i].first, 0.001) << i;
      EXPECT_NEAR(got[i].second, expected[i].second, 0.001) << i;
    }
  }
  // QGIS reads the table's system and opens the project in it.
  if (RunProgram("/usr/bin/python3", {"-c", "import qgis.core"}).exit_code != 0) return;
  const std::string gpkg = dir / "out-gpkg-2451/s.gpkg";
  const ProgramResult q =
      RunProgram("/usr/bin/python3",
                 {"-c",
                  "import os, sys\n"
                  "os.environ['QT_QPA_PLATFORM'] = 'offscreen'\n"
                  "from qgis.core import QgsApplication, QgsProject, QgsVectorLayer\n"
                  "app = QgsApplication([], False)\n"
                  "app.initQgis()\n"
                  "layer = QgsVectorLayer(sys.argv[1] + '|layername=DK', 'DK', 'ogr')\n"
                  "project = QgsProject.instance()\n"
                  "project.read('geopackage:' + sys.argv[1] + '?projectName=s')\n"
                  "print(layer.crs().authid(), project.crs().authid(), project.crs().mapUnits())\n",
                  gpkg});
  EXPECT_EQ(q.out, "EPSG:2451 EPSG:2451 0\n") << q.err;
  const ProgramResult checked =
      RunProgram("/usr/bin/python3", {QUELLMARK_RENDER_QGIS, "--check", gpkg, dir / "picture"});
  EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
}

// --datum and --to-jgd2000 end up in every table; the operation that moved
// the positions is named once a run, however many sheets it moved.
TEST_F(ConvertTest, DatumOptionsReachTheTablesAndTheOperationIsNamedOnce) {
  const std::string a = MakeArchive(dir.str(), "a");
  const std::string b = MakeArchive(dir.str(), "b");
  const std::string named = "quellmark-convert: Tokyo datum to JGD2000: Tokyo to JGD2000 (";
  const struct {
    std::vector<std::string> options;
    const char* crs;  // what the tables read back as
    int named;        // how often the operation is named
  } cases[] = {
      {{"--datum", "tokyo"}, "EPSG:4301", 0},
      {{"--datum=jgd2000"}, "EPSG:4612", 0},
      {{"--to-jgd2000", "--jobs", "2"}, "EPSG:4612", 1},
      {{"--datum", "jgd2000", "--to-jgd2000"}, "EPSG:4612", 1},
      {{"--to-jgd2000", "--quiet"}, "EPSG:4612", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.front() + " " + c.options.back());
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {a, b});
    const ProgramResult r = Convert(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    int lines = 0;
    for (std::size_t at = r.err.find(named); at != std::string::npos;
         at = r.err.find(named, at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, c.named) << r.err;
    for (const char* archive : {"a", "b"}) {
      EXPECT_EQ(testing::ReadTableBack(dir / (std::string(archive) + "DK.tab")).crs, c.crs);
    }
  }
}

// Every option --help lists is in the manual page, which carries the same
// version; the window answers --help and --version without a display.
TEST_F(ConvertTest, ManualPagesKeepUpWithHelp) {
  std::vector<std::pair<std::string, std::string>> programs = {
      {QUELLMARK_CONVERT, QUELLMARK_MAN_DIR "/quellmark-convert.1"}};
#ifdef QUELLMARK_WINDOW
  programs.emplace_back(QUELLMARK_WINDOW, QUELLMARK_MAN_DIR "/quellmark.1");
#endif
  // The formats, from "[--format shape|tab|gpkg]".
  std::vector<std::string> format_ids;
  {
    const std::string usage = RunProgram(QUELLMARK_CONVERT, {"--help"}).out;
    const std::size_t list = usage.find("[--format ");
    ASSERT_NE(list, std::string::npos) << usage;
    std::string_view ids(usage);
    ids = ids.substr(list + 10, usage.find(']', list) - list - 10);
    while (!ids.empty()) {
      format_ids.emplace_back(ids.substr(0, ids.find('|')));
      ids.remove_prefix(std::min(ids.size(), format_ids.back().size() + 1));
    }
    ASSERT_GE(format_ids.size(), 3u) << usage;
  }
  for (const auto& [program, page] : programs) {
    const std::string name = fs::path(program).filename().string();
    ProgramResult help = RunProgram(program, {"--help"});
    ASSERT_EQ(help.exit_code, 0) << name << help.err;
    ProgramResult version = RunProgram(program, {"--version"});
    EXPECT_EQ(version.exit_code, 0) << name;
    EXPECT_EQ(version.out, name + " (Quellmark) " QUELLMARK_VERSION "\n");

    std::string manual;
    for (const char c : ReadFile(page)) {
      if (c == '\\') continue;  // roff spells "--help" as "\-\-help"
      manual += c;
    }
    EXPECT_NE(manual.find("\"Quellmark " QUELLMARK_VERSION "\""), std::string::npos) << page;
    int options = 0;
    for (std::size_t at = help.out.find("\n  -"); at != std::string::npos;
         at = help.out.find("\n  -", at + 1)) {
      const std::size_t start = help.out.find('-', at);
      const std::string option =
          help.out.substr(start, help.out.find_first_of(" \n", start) - start);
      EXPECT_NE(manual.find(option), std::string::npos) << page << " lacks " << option;
      ++options;
    }
    EXPECT_GE(options, 3) << name;
    // Every format --format takes has its paragraph.
    for (const std::string& id : format_ids) {
      EXPECT_NE(manual.find(".I " + id + "\n"), std::string::npos) << page << " lacks " << id;
    }
  }
}

TEST_F(ConvertTest, DataProblemsAreWarningsNamingArchiveLayerAndLine) {
  auto set = gen::GenerateLayerSet({});
  for (auto& f : set.files) {
    if (f.name == "533945CM.sal") f.bytes.insert(f.bytes.find("\r\n") + 2, "ZZ{}\r\n");
  }
  WriteFile(dir / "w.lzh", lhatest::BuildLevel2(Members(set, "w")));
  ProgramResult r = Convert({"--format", "shape", dir / "w.lzh"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("quellmark-convert: warning: w.lzh: layer CM, line 2: non ZZ"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(LastLine(r.err),
            "quellmark-convert: 1 archive converted, 0 failed, 17 tables, "
            "1 warning; tables in " +
                dir.str());
  EXPECT_EQ(Convert({"--quiet", dir / "w.lzh"}).err, "");
}

// Without the archive library nothing can be extracted: converting what an
// earlier run left in the extraction folder would pass it off as the
// archive's. It is an error, shown even with --quiet, and nothing is written.
TEST_F(ConvertTest, WithoutTheArchiveLibraryNothingIsConverted) {
  fs::create_directories(dir.path() / "bin");
  fs::copy_file(QUELLMARK_CONVERT, dir / "bin/quellmark-convert");
  const std::string archive = MakeArchive(dir.str(), "s");
  gen::WriteLayerSet(gen::GenerateLayerSet({}), dir.path() / "s");
  for (const auto& entry : fs::directory_iterator(dir.path() / "s")) {
    const std::string name = entry.path().filename().string();
    fs::rename(entry.path(), dir.path() / "s" / ("s" + name.substr(6)));
  }
  ProgramResult r = RunProgram(dir / "bin/quellmark-convert", {"--quiet", archive});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.err.rfind("quellmark-convert: error: cannot load the archive library", 0), 0u)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "sDK.tab"));
}

TEST_F(ConvertTest, ParallelJobsWriteWhatASerialRunWrites) {
  std::vector<std::string> serial, parallel;
  for (int i = 0; i < 4; ++i) {
    gen::GeneratorOptions options;
    options.seed = 10 + i;
    const std::string name = "s" + std::to_string(i);
    serial.push_back(MakeArchive(dir / "serial", name, options));
    parallel.push_back(MakeArchive(dir / "parallel", name, options));
  }
  for (const auto& format : {"tab", "shape"}) {
    auto args = serial;
    args.insert(args.begin(), {"--format", format});
    ASSERT_EQ(Convert(args).exit_code, 0);
    args = parallel;
    args.insert(args.begin(), {"--format", format, "--jobs", "3"});
    ASSERT_EQ(Convert(args).exit_code, 0);
  }
  long compared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path() / "serial")) {
    if (!entry.is_regular_file()) continue;
    const fs::path relative = fs::relative(entry.path(), dir.path() / "serial");
    const fs::path twin = dir.path() / "parallel" / relative;
    ASSERT_TRUE(fs::exists(twin)) << relative;
    EXPECT_EQ(ReadFile(entry.path().string()), ReadFile(twin.string())) << relative;
    ++compared;
  }
  EXPECT_GT(compared, 4 * 17 * 2);
}

// Every table of a GeoPackage as text: each row's fields and geometry.
std::string DumpGpkg(const std::string& path) {
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return "(cannot open " + path + ")";
  std::string dump;
  for (int i = 0; i < GDALDatasetGetLayerCount(dataset); ++i) {
    OGRLayerH layer = GDALDatasetGetLayer(dataset, i);
    dump += std::string("table ") + OGR_L_GetName(layer) + "\n";
    while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
      for (int f = 0; f < OGR_F_GetFieldCount(feature); ++f) {
        const bool timestamp =
            std::string_view(OGR_Fld_GetNameRef(OGR_F_GetFieldDefnRef(feature, f))) ==
            "update_time";
        if (!timestamp) dump += std::string(OGR_F_GetFieldAsString(feature, f)) + "|";
      }
      if (OGRGeometryH geometry = OGR_F_GetGeometryRef(feature)) {
        char* wkt = nullptr;
        OGR_G_ExportToWkt(geometry, &wkt);
        dump += wkt;
        CPLFree(wkt);
      }
      dump += "\n";
      OGR_F_Destroy(feature);
    }
  }
  GDALClose(dataset);
  return dump;
}

// The sheets of a GeoPackage's DK table in row order, each once.
std::vector<std::string> SheetsInOrder(const std::string& path) {
  std::vector<std::string> sheets;
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return {"(cannot open " + path + ")"};
  OGRLayerH layer = GDALDatasetGetLayerByName(dataset, "DK");
  while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
    const std::string sheet =
        OGR_F_GetFieldAsString(feature, OGR_F_GetFieldIndex(feature, "sheet"));
    if (sheets.empty() || sheets.back() != sheet) sheets.push_back(sheet);
    OGR_F_Destroy(feature);
  }
  GDALClose(dataset);
  return sheets;
}

TEST_F(ConvertTest, OneGeoPackageHoldsTheBatchInListOrderWhateverTheJobs) {
  const std::string media = dir / "media";
  std::vector<std::string> archives;
  for (const char* name : {"s3", "s0", "s2", "s1"}) {
    gen::GeneratorOptions options;
    options.seed = static_cast<unsigned>(name[1]);
    options.road_lines = name[1] == '2' ? 400 : 40;
    archives.push_back(MakeArchive(media, name, options));
  }
  auto members = Members(gen::GenerateLayerSet({}), "bad");
  members[0].claimed_crc = 0x1234;
  const std::string bad = media + "/bad.lzh";
  WriteFile(bad, lhatest::BuildLevel2(members));
  const auto media_before = testing::ReadTree(media);
  const std::string out = dir / "out";
  const auto with = [&](std::vector<std::string> options, std::vector<std::string> listed) {
    options.insert(options.end(), listed.begin(), listed.end());
    return Convert(options);
  };

  ProgramResult r = with({"--output", out + "/one.gpkg", "--jobs", "1"}, archives);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(LastLine(r.err),
            "quellmark-convert: 4 archives converted, 0 failed, 17 tables, 0 warnings; all in " +
                out + "/one.gpkg");
  EXPECT_EQ(SheetsInOrder(out + "/one.gpkg"), (std::vector<std::string>{"s3", "s0", "s2", "s1"}));
  r = with({"--output", out + "/three.gpkg", "--jobs", "3", "--format", "gpkg"}, archives);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string dump = DumpGpkg(out + "/one.gpkg");
  EXPECT_GT(dump.size(), 100000u);
  EXPECT_EQ(DumpGpkg(out + "/three.gpkg"), dump);
  // Nothing beside the archives, nothing but the files in the output folder.
  EXPECT_EQ(testing::ReadTree(media), media_before);
  std::vector<std::string> written;
  for (const auto& entry : fs::directory_iterator(out)) {
    written.push_back(entry.path().filename().string());
  }
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"one.gpkg", "three.gpkg"}));

  // A failed archive: without --keep-going the earlier file stays; with it
  // the file holds the rest, and the failure is named.
  std::vector<std::string> listed = archives;
  listed.insert(listed.begin() + 2, bad);
  const std::string earlier = ReadFile(out + "/one.gpkg");
  r = with({"--output", out + "/one.gpkg", "--jobs", "2"}, listed);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ReadFile(out + "/one.gpkg"), earlier);
  r = with({"--output", out + "/one.gpkg", "--jobs", "2", "--keep-going"}, listed);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("error: " + bad + ": extraction failed"), std::string::npos) << r.err;
  EXPECT_EQ(DumpGpkg(out + "/one.gpkg"), dump);
  written.clear();
  for (const auto& entry : fs::directory_iterator(out)) {
    written.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(written.size(), 2u) << "left behind: " << written.back();

  // Only a format that holds several sheets in one file gets one.
  EXPECT_EQ(Convert({"--format", "tab", "--output", out + "/x.gpkg", archives[0]}).exit_code, 2);
  EXPECT_FALSE(fs::exists(out + "/x.gpkg"));

  // The extension in any letter case names one GeoPackage, never a folder,
  // and what a killed run left beside it is cleared as beside "x.gpkg".
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  for (const std::string name : {"upper.GPKG", "mixed.Gpkg"}) {
    SCOPED_TRACE(name);
    const std::string folder = dir / ("cased " + name);
    const std::string left =
        "." + name.substr(0, name.find('.')) + ".quellmark-" + std::to_string(ended);
    fs::create_directories(folder + "/" + left + "-extract-0");
    WriteFile(folder + "/" + left + "-0.gpkg", "half");
    r = Convert({"--output", folder + "/" + name, archives[0], archives[1]});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(SheetsInOrder(folder + "/" + name), (std::vector<std::string>{"s3", "s0"}));
    EXPECT_EQ(Paths(folder), std::vector<std::string>{name});
    EXPECT_EQ(Convert({"--format", "tab", "--output", folder + "/" + name, archives[0]}).exit_code,
              2);
  }
}

// Rows of one table of a GeoPackage, -1 when GDAL cannot open the file or
// the table.
long TableRows(const std::string& path, const std::string& table) {
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return -1;
  OGRLayerH layer = GDALDatasetGetLayerByName(dataset, table.c_str());
  const long rows = layer == nullptr ? -1 : static_cast<long>(OGR_L_GetFeatureCount(layer, TRUE));
  GDALClose(dataset);
  return rows;
}

// Whatever bytes an archive's name holds, that archive is the one extracted
// and converted, under its whole name (on Linux only "/" separates folders),
// beside it, into an output folder and into one GeoPackage; and nothing
// else in its folder changes: not the sheet b.lzh that a part of the name
// spells, nor the notes in b/ or d/. Each name is given relative to its
// folder, as a user in that folder types it.
TEST_F(ConvertTest, EveryArchiveNameIsConvertedWhole) {
  const auto roads = [](const gen::GeneratorOptions& options) {
    const gen::LayerSet set = gen::GenerateLayerSet(options);
    const std::string& road = set.Find("533945DK.sal")->bytes;
    return static_cast<long>(std::count(road.begin(), road.end(), '\n'));
  };
  const gen::GeneratorOptions own{.road_lines = 30, .seed = 7};
  const gen::GeneratorOptions other{.road_lines = 10, .seed = 8};
  const long own_roads = roads(own);
  ASSERT_NE(own_roads, roads(other));
  struct Case {
    const char* what;
    std::string name;          // the archive's file name without ".lzh"
    std::string sheet = "";    // its "sheet" in one GeoPackage (UTF-8); empty: the name
    std::string members = "";  // their base name (CP932); empty: 533945
  } cases[] = {
      {"a dash and a blank", "-a b"},
      {"two dashes", "--x"},
      {"a quote", "a\"b"},
      {"quoted blank", "x\" \"y"},
      {"a backslash", "a\\b"},
      {"a colon", "c:d"},
      {"a newline", "line\nbreak"},
      // 表 is 0x95 0x5C: its second byte is a backslash.
      {"Shift_JIS", testing::Sjis("地図表"), "地図表"},
      {"invalid UTF-8", "bad\xff", "bad\uFFFD"},
      // Members named like the archive, in Shift_JIS as real archives hold
      // them: on disk they take the file system's UTF-8 name.
      {"blanks and Japanese", "第1版 533945", "", testing::Sjis("第1版 533945")},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = dir / ("names" + std::to_string(++n));
    const std::string members = c.members.empty() ? "533945" : c.members;
    fs::create_directories(folder);
    WriteFile(folder + "/" + c.name + ".lzh",
              lhatest::BuildLevel2(Members(gen::GenerateLayerSet(own), members)));
    for (const char* decoy : {"b", "d"}) {
      WriteFile(folder + "/" + decoy + ".lzh",
                lhatest::BuildLevel2(Members(gen::GenerateLayerSet(other), decoy)));
      fs::create_directories(folder + "/" + decoy);
      WriteFile(folder + "/" + decoy + "/notes.txt", "kept");
    }
    const auto before = testing::ReadTree(folder);
    testing::ProgramStart in_folder;
    in_folder.folder = folder;
    const auto convert = [&](std::vector<std::string> options) {
      options.insert(options.end(), {"--", c.name + ".lzh"});
      return RunProgram(QUELLMARK_CONVERT, options, in_folder);
    };

    // Into an output folder: the file there, the archive's folder as it was.
    const std::string out = dir / ("out" + std::to_string(n));
    ProgramResult r = convert({"--format", "gpkg", "--output", out});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(TableRows(out + "/" + c.name + ".gpkg", "DK"), own_roads);
    EXPECT_EQ(Paths(out), std::vector<std::string>{c.name + ".gpkg"});
    EXPECT_EQ(testing::Differing(before, testing::ReadTree(folder)), std::vector<std::string>{});

    // Into one GeoPackage: rows under the archive's whole name.
    const std::string one = dir / ("one" + std::to_string(n)) + "/all.gpkg";
    r = convert({"--output", one});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(TableRows(one, "DK"), own_roads);
    EXPECT_EQ(SheetsInOrder(one), std::vector<std::string>{c.sheet.empty() ? c.name : c.sheet});
    EXPECT_EQ(Paths(fs::path(one).parent_path().string()), std::vector<std::string>{"all.gpkg"});
    EXPECT_EQ(testing::Differing(before, testing::ReadTree(folder)), std::vector<std::string>{});

    // Beside the archive: its tables and its extraction folder, nothing else.
    r = convert({"--format", "gpkg"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(TableRows(folder + "/" + c.name + ".gpkg", "DK"), own_roads);
    const std::string header = (c.members.empty() ? "533945" : c.name) + ".slm";
    EXPECT_TRUE(fs::exists(folder + "/" + c.name + "/" + header));
    std::vector<std::string> changed = testing::Differing(before, testing::ReadTree(folder));
    std::erase_if(changed, [&](const std::string& path) {
      return !before.count(path) && (path == c.name + ".gpkg" || path.rfind(c.name + "/", 0) == 0);
    });
    EXPECT_EQ(changed, std::vector<std::string>{});
  }
}

// What GDAL and the file itself say of a table: rows of each sheet in order
// (sheet and count), and the row count the file keeps for readers.
std::string SheetCounts(const std::string& path, const std::string& table) {
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return "(cannot open " + path + ")";
  std::string counts;
  OGRLayerH layer = GDALDatasetGetLayerByName(dataset, table.c_str());
  std::string sheet;
  long rows = 0;
  while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
    const std::string own = OGR_F_GetFieldAsString(feature, 0);
    if (rows > 0 && own != sheet) counts += sheet + ":" + std::to_string(rows) + " ";
    if (own != sheet) rows = 0;
    sheet = own;
    ++rows;
    OGR_F_Destroy(feature);
  }
  counts += sheet + ":" + std::to_string(rows);
  counts += " kept " + std::to_string(OGR_L_GetFeatureCount(layer, FALSE));
  GDALClose(dataset);
  return counts;
}

// --append adds sheets to a collection, a sheet it held replaced whole and
// everything else kept; a file Quellmark did not write is neither replaced
// nor added to unless --overwrite says so.
TEST_F(ConvertTest, AppendAddsToACollectionAndOtherFilesAreLeftUnasked) {
  const std::string media = dir / "media";
  const auto archive = [&](const char* folder, const char* name, unsigned seed, int roads) {
    gen::GeneratorOptions options;
    options.seed = seed;
    options.road_lines = roads;
    return MakeArchive(media + "/" + folder, name, options);
  };
  const std::string s0 = archive("may", "s0", 1, 40);
  const std::string s1 = archive("may", "s1", 2, 60);
  const std::string s2 = archive("june", "s2", 3, 80);
  const std::string s0_again = archive("june", "s0", 4, 100);  // a new edition of s0
  const std::string file = dir / "all.gpkg";
  ProgramResult r = Convert({"--output", file, s0, s1});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(SheetCounts(file, "DK"), "s0:40 s1:60 kept 100");
  // The user adds a table of their own and restyles DK.
  {
    GDALDatasetH dataset =
        GDALOpenEx(file.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr);
    ASSERT_NE(dataset, nullptr);
    OGRLayerH notes = GDALDatasetCreateLayer(dataset, "notes", nullptr, wkbPoint, nullptr);
    OGRFeatureH note = OGR_F_Create(OGR_L_GetLayerDefn(notes));
    OGRGeometryH point = OGR_G_CreateGeometry(wkbPoint);
    OGR_G_SetPoint_2D(point, 0, 139.7, 35.6);
    OGR_F_SetGeometryDirectly(note, point);
    EXPECT_EQ(OGR_L_CreateFeature(notes, note), OGRERR_NONE);
    OGR_F_Destroy(note);
    GDALDatasetReleaseResultSet(dataset,
                                GDALDatasetExecuteSQL(dataset,
                                                      "UPDATE layer_styles SET styleQML = 'mine' "
                                                      "WHERE f_table_name = 'DK'",
                                                      nullptr, nullptr));
    GDALClose(dataset);
  }

  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    const std::string copy = dir / (std::string("all") + jobs + ".gpkg");
    fs::copy_file(file, copy);
    r = Convert({"--append", "--jobs", jobs, "--output", copy, s2, s0_again});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(SheetCounts(copy, "DK"), "s1:60 s2:80 s0:100 kept 240");
    EXPECT_TRUE(SheetCounts(copy, "notes").ends_with(" kept 1"));
    GDALDatasetH dataset =
        GDALOpenEx(copy.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    ASSERT_NE(dataset, nullptr);
    OGRLayerH styles = GDALDatasetExecuteSQL(
        dataset,
        "SELECT f_table_name, styleQML FROM layer_styles WHERE f_table_name IN ('DK', 'MH')",
        nullptr, nullptr);
    std::vector<std::string> kept;
    while (OGRFeatureH style = OGR_L_GetNextFeature(styles)) {
      kept.push_back(std::string(OGR_F_GetFieldAsString(style, 0)) + ":" +
                     std::string(OGR_F_GetFieldAsString(style, 1)).substr(0, 4));
      OGR_F_Destroy(style);
    }
    GDALDatasetReleaseResultSet(dataset, styles);
    GDALClose(dataset);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"DK:mine", "MH:<!DO"}));
    testing::ExpectValidGpkg(copy);
  }
  EXPECT_EQ(DumpGpkg(dir / "all1.gpkg"), DumpGpkg(dir / "all2.gpkg"));

  // Replacing a collection says so; other files stay as they are, exit 2.
  r = Convert({"--output", dir / "all1.gpkg", s2});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("the sheets it holds are replaced"), std::string::npos) << r.err;
  EXPECT_EQ(SheetCounts(dir / "all1.gpkg", "DK"), "s2:80 kept 80");
  WriteFile(dir / "text.gpkg", "not a GeoPackage");
  {
    GDALDatasetH theirs = GDALCreate(GDALGetDriverByName("GPKG"), (dir / "theirs.gpkg").c_str(), 0,
                                     0, 0, GDT_Unknown, nullptr);
    GDALDatasetCreateLayer(theirs, "DK", nullptr, wkbLineString, nullptr);
    GDALClose(theirs);
  }
  for (const std::string name : {"text.gpkg", "theirs.gpkg"}) {
    const std::string path = dir / name;
    const std::string before = ReadFile(path);
    for (const bool append : {false, true}) {
      std::vector<std::string> args = {"--output", path, s2};
      if (append) args.insert(args.begin(), "--append");
      r = Convert(args);
      EXPECT_EQ(r.exit_code, 2) << name << ": " << r.err;
      EXPECT_NE(r.err.find(path + ": not a GeoPackage Quellmark wrote"), std::string::npos)
          << r.err;
      EXPECT_EQ(ReadFile(path), before);
    }
    r = Convert({"--overwrite", "--output", path, s2});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(SheetCounts(path, "DK"), "s2:80 kept 80");
  }
  EXPECT_EQ(Convert({"--append", s2}).exit_code, 2);
  EXPECT_EQ(Convert({"--append", "--overwrite", "--output", file, s2}).exit_code, 2);
}

// Every GeoPackage holds a QGIS project, read back by QGIS itself (through
// tools/render-qgis, which opens the project, checks every layer is valid,
// draws with its table's default style, names only the table's fields, and
// that the sheet is not mostly ink): a sheet's own file, one file for many
// sheets, and that file appended to.
TEST_F(ConvertTest, EveryGeoPackageHoldsAProjectQgisOpens) {
  if (RunProgram("/usr/bin/python3", {"-c", "import qgis.core"}).exit_code != 0) {
    GTEST_SKIP() << "python3-qgis is not installed";
  }
  gen::GeneratorOptions options;
  options.road_lines = 300;
  const std::string a = MakeArchive(dir / "media", "533945", options);
  options.seed = 2;
  options.base_name = "533946";
  const std::string b = MakeArchive(dir / "media", "533946", options);
  const std::string out = dir / "out";
  const std::string all = dir / "all.gpkg";
  ProgramResult r = Convert({"--format", "gpkg", "--output", out, a});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = Convert({"--output", all, a});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto check = [&](const std::string& gpkg) {
    SCOPED_TRACE(gpkg);
    const ProgramResult checked =
        RunProgram("/usr/bin/python3", {QUELLMARK_RENDER_QGIS, "--check", gpkg, dir / "picture"});
    EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
  };
  check(out + "/533945.gpkg");
  check(all);
  r = Convert({"--append", "--output", all, b});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  check(all);
}

}  // namespace
}  // namespace quellmark
