// quellmark-bench: converts generated sheets of three sizes into shapefiles,
// MapInfo TAB and GeoPackage, and sets the time and memory of the conversion
// beside a floor (the same features written from memory through the same
// libraries, no parsing) and a peer (ogr2ogr translating the same features).
// Also times a batch of archives through quellmark-convert with one job and
// two, and from it the whole country.
//
// Each measured conversion runs in a child process of its own (this program
// again, in a child mode), so that its peak resident memory is its own.

#include <gdal.h>
#include <malloc.h>
#include <ogr_srs_api.h>
#include <ogrsf_frmts.h>
#include <shapefil.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "convert/datum.h"
#include "convert/sheet.h"
#include "convert/sheet_conversion.h"
#include "export_gpkg/gpkg_format.h"
#include "export_shape/shapefile_format.h"
#include "export_tab/tab_format.h"
#include "floor.h"
#include "layerset_generator.h"
#include "lha_builder.h"
#include "one_file.h"
#include "process.h"
#include "sal/geometry.h"
#include "sal/layer_reader.h"
#include "sal/notify.h"
#include "sqlite_floor.h"

namespace quellmark::bench {
namespace {

namespace fs = std::filesystem;

constexpr const char kUsage[] =
    "usage: quellmark-bench [--runs N] [--dense-runs N] [--peer-runs N]\n"
    "                       [--sizes small,median,dense|none] [--formats shape,tab,gpkg]\n"
    "                       [--work DIR] [--convert PATH] [--archives N] [--no-jobs]\n"
    "                       [--no-memory] [--one-file N] [--one-file-window N]\n"
    "                       [--one-file-runs N]\n"
    "Generates sheets, converts each into shapefiles, TAB and GeoPackage, and\n"
    "prints the times beside the floors and ogr2ogr, peak memory, the --jobs\n"
    "speed-up with the whole country's time estimated from it, and many sheets\n"
    "into one GeoPackage.\n"
    "  --runs N       runs per measurement, the median is shown (default 5)\n"
    "  --dense-runs N the same for the dense sheet (default 3)\n"
    "  --peer-runs N  runs of the ogr2ogr translations (default 3)\n"
    "  --sizes LIST   sheet sizes to measure (default small,median,dense; none\n"
    "                 for none)\n"
    "  --formats LIST formats the sheets are measured in (default shape,tab,gpkg)\n"
    "  --work DIR     folder for the sheets and outputs, kept (default: a new\n"
    "                 folder under the system temporary folder, removed after);\n"
    "                 the one-file archives made there are reused by later runs\n"
    "  --convert PATH the quellmark-convert to time with --jobs and one file\n"
    "  --archives N   median archives in the --jobs batch (default 8)\n"
    "  --no-jobs      skip the --jobs batch\n"
    "  --no-memory    skip the memory comparison (dense sheet, roads doubled)\n"
    "  --one-file N   median sheets into one GeoPackage with --jobs 2 (default\n"
    "                 200; 0 skips it)\n"
    "  --one-file-window N  the smaller one-file batch, and the first and last\n"
    "                 sheets of the larger one compared (default 50)\n"
    "  --one-file-runs N  both one-file batches N times, in turn (default 1)\n";

constexpr const char kBaseName[] = "533945";

// The formats measured, by the names the child modes take.
const std::vector<std::string> kFormats = {"shape", "tab", "gpkg"};

// The sheets of the whole country, for the estimate from the --jobs batch.
constexpr int kCountrySheets = 4400;

const OutputFormat& FormatOf(std::string_view name) {
  if (name == "shape") return ShapefileFormat();
  if (name == "tab") return TabFormat();
  if (name == "gpkg") return GpkgFormat();
  throw std::invalid_argument("unknown format " + std::string(name));
}

const char* FormatName(std::string_view name) {
  return name == "shape" ? "shapefile" : name == "tab" ? "TAB" : "GeoPackage";
}

// ---------------------------------------------------------------------------
// Small helpers

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

// Lets the peak resident set count from now on (Linux's clear_refs).
void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// Data problems are not what is measured; the generated sheets have none.
class IgnoringNotifier : public Notifier {
 public:
  void Notify(const Notice&) override {}
};

// ---------------------------------------------------------------------------
// Child modes: each prints one line of numbers on stdout.
//
// The children report their own peak resident set (VmHWM). What wait4
// reports for a child is no use here: as a process execs, the kernel folds
// the peak of the address space it leaves into that figure, and a child
// spawned from this process leaves this process's.

// ours FORMAT SHEET_PREFIX OUTPUT_PREFIX: the program's own conversion of an
// extracted layer set. Prints seconds, the bytes of the point tables, the
// resident kB before converting and the peak resident kB.
int ChildOurs(std::string_view format, const std::string& sheet, const std::string& out) {
  // The format first, as the program reads its list of formats before
  // anything else (the GeoPackage format sets SQLite up as it is made).
  const OutputFormat& output_format = FormatOf(format);
  if (format == "tab") {
    // Once per process, however many sheets it converts: opening the PROJ
    // database, which reading a coordinate system clause does (the floor
    // does it as it loads).
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromMICoordSys(srs, kTabCoordSys);
    OSRRelease(srs);
  } else if (format == "gpkg") {
    // The same for the GeoPackage's coordinate system, and its driver
    // registered.
    RegisterOGRGeoPackage();
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, DatumEpsg(DatumLabel::kJgd2000));
    OSRRelease(srs);
  }
  SheetState state;
  IgnoringNotifier notifier;
  ExportContext context{state, &notifier, {}};
  const long start_kb = StatusKb("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  ConvertSheet(sheet, out, output_format, context);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::size_t point_bytes =
      (static_cast<std::size_t>(state.coordinates.point_table().count()) +
       static_cast<std::size_t>(state.coordinates.mh_point_table().count())) *
      sizeof(CoordPoint);
  std::printf("%.6f %zu %ld %ld\n", seconds, point_bytes, start_kb, StatusKb("VmHWM"));
  return 0;
}

// floor FORMAT SOURCE_PREFIX OUTPUT_PREFIX buffered|library|sqlite: loads
// what a conversion wrote at SOURCE_PREFIX, then writes it again, its files
// reached as the conversion reaches them or the library's own way
// (GeoPackage: the latter, as the conversion too lets the driver reach its
// file; or "sqlite", the same tables through plain SQLite, with no spatial
// index). Prints seconds, the resident kB once loaded, the peak resident kB
// from then on, the number of features and that of the largest table.
int ChildFloor(std::string_view format, const std::string& source, const std::string& out,
               std::string_view access_name) {
  const FileAccess access =
      access_name == "buffered" ? FileAccess::kBuffered : FileAccess::kLibrary;
  std::vector<ShapeLayerData> shapes;
  std::vector<TabLayerData> tables;
  std::vector<GpkgTableData> gpkg;
  SqliteFile sqlite;
  const bool plain_sqlite = access_name == "sqlite";
  if (format == "shape") {
    shapes = LoadShapeLayers(source);
  } else if (format == "tab") {
    tables = LoadTabLayers(source);
  } else if (plain_sqlite) {
    sqlite = LoadSqliteTables(source + ".gpkg");
  } else {
    gpkg = LoadGpkgTables(source + ".gpkg");
  }
  malloc_trim(0);
  ResetPeakRss();
  const long loaded_kb = StatusKb("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  if (format == "shape") {
    WriteShapeLayers(shapes, out, access);
  } else if (format == "tab") {
    WriteTabLayers(tables, out, access);
  } else if (plain_sqlite) {
    WriteSqliteTables(sqlite, out + ".gpkg");
  } else {
    WriteGpkgTables(gpkg, out + ".gpkg");
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Counts counts = format == "shape" ? CountFeatures(shapes)
                        : format == "tab" ? CountFeatures(tables)
                        : plain_sqlite    ? CountFeatures(sqlite)
                                          : CountFeatures(gpkg);
  std::printf("%.6f %ld %ld %zu %zu\n", seconds, loaded_kb, StatusKb("VmHWM"), counts.features,
              counts.largest_table);
  return 0;
}

// read SHEET_PREFIX: what both conversions do before they write anything:
// load the coordinates, then read and parse every line of every layer and
// list file and look up each of its points. Prints seconds.
int ChildRead(const std::string& sheet) {
  SheetState state;
  IgnoringNotifier notifier;
  const auto start = std::chrono::steady_clock::now();
  state.coordinates.LoadCoordinates(sheet);
  SalLayerReader reader(&notifier);
  LineVertices vertices;
  for (const LayerSpec& layer : Layers()) {
    const std::string code_text(layer.code);
    const bool list = layer.input == LayerInput::kListFile;
    if (!reader.Open(sheet + (list ? "_" + code_text + ".txt" : code_text + ".sal"))) continue;
    const PointSource source = layer.placement == Placement::kMhPointList
                                   ? PointSource::kMhPointTable
                                   : PointSource::kPointTable;
    while (reader.Next()) {
      GatherLine(reader.point_list(), state.coordinates, source, reader.reporter(), vertices);
      reader.point_list().clear();
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f\n", seconds);
  return 0;
}

// spin: a fixed amount of pure computation, the yardstick of what two jobs
// can gain on this machine at the moment.
int ChildSpin() {
  volatile std::uint64_t sum = 0;
  for (std::uint64_t i = 0; i < 600'000'000ULL; ++i) sum = sum + i;
  return 0;
}

// ---------------------------------------------------------------------------
// The benchmark

struct Options {
  int runs = 5;
  int dense_runs = 3;
  int peer_runs = 3;
  std::vector<std::string> sizes = {"small", "median", "dense"};
  std::vector<std::string> formats = kFormats;
  std::string work;
  std::string convert = QUELLMARK_CONVERT;
  int archives = 8;
  bool jobs = true;
  bool memory = true;
  int one_file = 200;
  int one_file_window = 50;
  int one_file_runs = 1;
};

ChildRun MustRun(const std::vector<std::string>& argv) {
  ChildRun run = RunChild(argv);
  if (run.exit_code != 0) {
    std::string command;
    for (const std::string& a : argv) command += a + " ";
    throw std::runtime_error("failed (" + std::to_string(run.exit_code) + "): " + command + "\n" +
                             run.err);
  }
  return run;
}

std::istringstream ChildOutput(const std::vector<std::string>& argv) {
  return std::istringstream(MustRun(argv).out);
}

struct OursRun {
  double seconds = 0;
  std::size_t point_bytes = 0;
  long start_kb = 0;
  long peak_kb = 0;
};

OursRun RunOurs(const std::string& format, const std::string& sheet, const std::string& out) {
  std::istringstream in = ChildOutput({SelfPath(), "--child", "ours", format, sheet, out});
  OursRun result;
  in >> result.seconds >> result.point_bytes >> result.start_kb >> result.peak_kb;
  if (!in) throw std::runtime_error("unexpected output of a conversion");
  return result;
}

struct FloorRun {
  double seconds = 0;
  long loaded_kb = 0;
  long peak_kb = 0;
  std::size_t features = 0;
  std::size_t largest_table = 0;
};

FloorRun RunFloor(const std::string& format, const std::string& source, const std::string& out,
                  const std::string& access) {
  std::istringstream in =
      ChildOutput({SelfPath(), "--child", "floor", format, source, out, access});
  FloorRun result;
  in >> result.seconds >> result.loaded_kb >> result.peak_kb >> result.features >>
      result.largest_table;
  if (!in) throw std::runtime_error("unexpected output of the floor");
  return result;
}

double RunRead(const std::string& sheet) {
  std::istringstream in = ChildOutput({SelfPath(), "--child", "read", sheet});
  double seconds = 0;
  in >> seconds;
  if (!in) throw std::runtime_error("unexpected output of the reading");
  return seconds;
}

void Recreate(const fs::path& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
}

// ogr2ogr, once per layer, from the program's shapefiles to `format`; for
// GeoPackage, once for the folder, every shapefile a table of one file (as
// a user gathering a sheet's shapefiles would call it; the .cpg files have
// the texts read as code page 932 and written as UTF-8).
double RunPeer(const std::string& format, const fs::path& source_dir, const fs::path& out_dir) {
  Recreate(out_dir);
  if (format == "gpkg") {
    return MustRun({"/usr/bin/ogr2ogr", "-f", "GPKG",
                    (out_dir / (std::string(kBaseName) + ".gpkg")).string(), source_dir.string()})
        .seconds;
  }
  double total = 0.0;
  for (const std::string& code : LayerCodes()) {
    const fs::path source = source_dir / (std::string(kBaseName) + code + ".shp");
    if (!fs::exists(source)) continue;
    std::vector<std::string> argv = {"/usr/bin/ogr2ogr"};
    if (format == "shape") {
      argv.insert(argv.end(), {"-f", "ESRI Shapefile", "-lco", "ENCODING=CP932",
                               (out_dir / (std::string(kBaseName) + code + ".shp")).string()});
    } else {
      char bounds[160];
      std::snprintf(bounds, sizeof bounds, "BOUNDS=%.17g,%.17g,%.17g,%.17g", kTabBounds.west,
                    kTabBounds.south, kTabBounds.east, kTabBounds.north);
      argv.insert(argv.end(), {"-f", "MapInfo File", "-lco", bounds, "-lco", "ENCODING=CP932",
                               (out_dir / (std::string(kBaseName) + code + ".tab")).string()});
    }
    argv.push_back(source.string());
    total += MustRun(argv).seconds;
  }
  return total;
}

// The files of `a` that differ from, or are missing in, `b` ("" when none).
std::string CompareFolders(const fs::path& a, const fs::path& b) {
  std::string differing;
  for (const auto& entry : fs::directory_iterator(a)) {
    if (!entry.is_regular_file()) continue;
    const fs::path other = b / entry.path().filename();
    std::ifstream x(entry.path(), std::ios::binary);
    std::ifstream y(other, std::ios::binary);
    std::ostringstream xs;
    std::ostringstream ys;
    xs << x.rdbuf();
    if (y) ys << y.rdbuf();
    if (!y || xs.str() != ys.str()) differing += entry.path().filename().string() + " ";
  }
  return differing;
}

// The load average, to show whether anything else ran beside the benchmark.
std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string MachineDescription() {
  std::string cpu = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      cpu = Trim(line.substr(line.find(':') + 2));
      break;
    }
  }
  utsname os{};
  uname(&os);
  std::ostringstream text;
  text << cpu << ", " << std::thread::hardware_concurrency() << " cores, "
       << (sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGE_SIZE) >> 30) << " GiB; Linux " << os.release
       << "; GDAL " << GDALVersionInfo("RELEASE_NAME") << ", shapelib "
       << QUELLMARK_SHAPELIB_VERSION;
  return text.str();
}

struct Row {
  std::string size;
  std::string format;
  std::size_t features = 0;
  std::size_t largest_table = 0;
  double ours = 0;
  double reading = 0;        // the reading side alone
  double floor = 0;          // files reached as the conversion reaches them
  double floor_library = 0;  // files reached the library's own way (GeoPackage: none, -1)
  double floor_sqlite = -1;  // GeoPackage: the same tables through plain SQLite
  double peer = 0;
  long ours_peak_kb = 0;
  long ours_start_kb = 0;  // resident before converting: the program and its libraries
  std::size_t point_bytes = 0;
  long floor_writer_kb = 0;  // what the library held while the floor wrote
  std::string floor_differs;

  const char* format_name() const { return FormatName(format); }
  // What the conversion held beyond the program, its libraries and the
  // point tables.
  double ours_rest_kb() const {
    return static_cast<double>(ours_peak_kb - ours_start_kb) -
           static_cast<double>(point_bytes) / 1024.0;
  }
};

std::string Megabytes(double kb) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", kb / 1024.0);
  return text;
}

void PrintTimes(const std::vector<Row>& rows) {
  std::printf(
      "| sheet | format | features | ours s | features/s | floor s | ours/floor | floor, "
      "library's own file access s | ours/that | ogr2ogr s | ours/ogr2ogr |\n"
      "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (const Row& r : rows) {
    char library[64] = "—";
    char ratio[32] = "—";
    if (r.floor_library >= 0) {
      std::snprintf(library, sizeof library, "%.3f", r.floor_library);
      std::snprintf(ratio, sizeof ratio, "%.2f", r.ours / r.floor_library);
    }
    std::printf("| %s | %s | %zu | %.3f | %.0f | %.3f | %.2f | %s | %s | %.3f | %.3f |\n",
                r.size.c_str(), r.format_name(), r.features, r.ours,
                static_cast<double>(r.features) / r.ours, r.floor, r.ours / r.floor, library, ratio,
                r.peer, r.ours / r.peer);
  }
}

void PrintTimeSplit(const std::vector<Row>& rows) {
  std::printf(
      "\n### Where the time goes\n\n"
      "The reading side alone (coordinates loaded, every line read and parsed, every point "
      "looked up; nothing written), beside the floor (only the writing):\n\n"
      "| sheet | format | reading s | floor s | reading + floor s | ours s |\n"
      "| --- | --- | ---: | ---: | ---: | ---: |\n");
  for (const Row& r : rows) {
    std::printf("| %s | %s | %.3f | %.3f | %.3f | %.3f |\n", r.size.c_str(), r.format_name(),
                r.reading, r.floor, r.reading + r.floor, r.ours);
  }
}

// GeoPackage against both floors: the driver's (today's reference) and
// plain SQLite's.
void PrintGpkgFloors(const std::vector<Row>& rows) {
  if (std::none_of(rows.begin(), rows.end(), [](const Row& r) { return r.floor_sqlite >= 0; })) {
    return;
  }
  std::printf(
      "\n### GeoPackage against two floors\n\n"
      "The GDAL floor writes the rows through the GPKG driver with its spatial index, as ours "
      "does today; the plain SQLite floor writes the same tables (the same statements, rows, "
      "values and geometry blobs as our file holds) through prepared statements, one "
      "transaction per table, with no spatial index (journal_mode=OFF, synchronous=OFF, "
      "locking_mode=EXCLUSIVE, 64 MB page cache).\n\n"
      "| sheet | features | ours s | GDAL floor s | ours/GDAL floor | plain SQLite floor s | "
      "ours/SQLite floor | GDAL floor/SQLite floor |\n"
      "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (const Row& r : rows) {
    if (r.floor_sqlite < 0) continue;
    std::printf("| %s | %zu | %.3f | %.3f | %.2f | %.3f | %.2f | %.2f |\n", r.size.c_str(),
                r.features, r.ours, r.floor, r.ours / r.floor, r.floor_sqlite,
                r.ours / r.floor_sqlite, r.floor / r.floor_sqlite);
  }
}

void PrintMemory(const std::vector<Row>& rows) {
  std::printf(
      "\n### Peak memory\n\n"
      "Ours: the peak resident set of the converting process, of which the program and its "
      "libraries before converting, the point tables, and the rest (buffers, and what the "
      "output library holds). Floor: what the library held while it wrote (peak less what was "
      "resident once the features were loaded), and that per feature of the largest table.\n\n"
      "| sheet | format | ours peak MB | before converting MB | point tables MB | rest MB | "
      "floor's library MB | floor's library, bytes per feature |\n"
      "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (const Row& r : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %.1f |\n", r.size.c_str(), r.format_name(),
                Megabytes(static_cast<double>(r.ours_peak_kb)).c_str(),
                Megabytes(static_cast<double>(r.ours_start_kb)).c_str(),
                Megabytes(static_cast<double>(r.point_bytes) / 1024.0).c_str(),
                Megabytes(r.ours_rest_kb()).c_str(),
                Megabytes(static_cast<double>(r.floor_writer_kb)).c_str(),
                1024.0 * static_cast<double>(r.floor_writer_kb) /
                    static_cast<double>(std::max<std::size_t>(1, r.largest_table)));
  }
}

gen::SheetSize SizeOf(const std::string& name) {
  if (name == "small") return gen::SheetSize::kSmall;
  if (name == "median") return gen::SheetSize::kMedian;
  if (name == "dense") return gen::SheetSize::kDense;
  throw std::invalid_argument("unknown sheet size " + name);
}

Row MeasureSheet(const Options& options, const std::string& size, const std::string& format,
                 const fs::path& dir) {
  const int runs = size == "dense" ? options.dense_runs : options.runs;
  const std::string sheet = (dir / "in" / kBaseName).string();
  const fs::path ours_dir = dir / ("ours-" + format);
  Row row;
  row.size = size;
  row.format = format;

  // GeoPackage: two floors. One through the plain driver (the conversion
  // too lets the driver reach its file), its output compared with ours as
  // OGR reads both back, as the files hold the time they were written; one
  // through plain SQLite (the same tables, no spatial index), compared with
  // ours row by row through SQLite.
  const bool gpkg = format == "gpkg";
  const std::vector<std::string> accesses = gpkg ? std::vector<std::string>{"library", "sqlite"}
                                                 : std::vector<std::string>{"library", "buffered"};
  const auto floor_dir = [&](const std::string& access) {
    return dir / ("floor-" + format + "-" + access);
  };

  // Each run of ours is followed by one of each floor, so that other work
  // on the machine weighs on both alike.
  std::vector<double> times;
  std::vector<std::vector<double>> floor_times(accesses.size());
  for (int i = 0; i < runs; ++i) {
    Recreate(ours_dir);
    const OursRun run = RunOurs(format, sheet, (ours_dir / kBaseName).string());
    times.push_back(run.seconds);
    row.ours_peak_kb = std::max(row.ours_peak_kb, run.peak_kb);
    row.ours_start_kb = run.start_kb;
    row.point_bytes = run.point_bytes;
    for (std::size_t a = 0; a < accesses.size(); ++a) {
      const std::string& access = accesses[a];
      Recreate(floor_dir(access));
      const FloorRun floor = RunFloor(format, (ours_dir / kBaseName).string(),
                                      (floor_dir(access) / kBaseName).string(), access);
      floor_times[a].push_back(floor.seconds);
      row.features = floor.features;
      row.largest_table = floor.largest_table;
      if (access == "buffered" || (gpkg && access == "library")) {
        row.floor_writer_kb = std::max(row.floor_writer_kb, floor.peak_kb - floor.loaded_kb);
      }
    }
  }
  row.ours = Median(times);
  row.floor_library = -1;
  for (std::size_t a = 0; a < accesses.size(); ++a) {
    const std::string& access = accesses[a];
    const double median = Median(floor_times[a]);
    if (access == "sqlite") {
      row.floor_sqlite = median;
    } else if (access == "buffered" || gpkg) {
      row.floor = median;
    } else {
      row.floor_library = median;
    }
    if (gpkg) {
      const std::string name = std::string(kBaseName) + ".gpkg";
      const std::string ours_file = (ours_dir / name).string();
      const std::string floor_file = (floor_dir(access) / name).string();
      const std::string differences = access == "sqlite" ? SqliteDifferences(ours_file, floor_file)
                                                         : GpkgDifferences(ours_file, floor_file);
      if (!differences.empty()) {
        row.floor_differs += (access == "sqlite" ? "(plain SQLite floor) " : "") + differences;
      }
    } else {
      row.floor_differs += CompareFolders(ours_dir, floor_dir(access));
    }
  }

  // The list files the conversion left in the layer set are read too.
  times.clear();
  for (int i = 0; i < runs; ++i) times.push_back(RunRead(sheet));
  row.reading = Median(times);

  // ogr2ogr starts from our shapefiles: made here when the shapefile
  // format is not measured.
  if (!fs::exists(dir / "ours-shape")) {
    Recreate(dir / "ours-shape");
    RunOurs("shape", sheet, (dir / "ours-shape" / kBaseName).string());
  }
  times.clear();
  for (int i = 0; i < options.peer_runs; ++i) {
    times.push_back(RunPeer(format, dir / "ours-shape", dir / ("peer-" + format)));
  }
  row.peer = Median(times);
  std::fprintf(stderr, "  %s %s: ours %.3f s, floor %.3f s (%.3f s, %.3f s), ogr2ogr %.3f s\n",
               size.c_str(), format.c_str(), row.ours, row.floor, row.floor_library,
               row.floor_sqlite, row.peer);
  return row;
}

std::size_t CountShapeFeatures(const fs::path& dir) {
  std::size_t total = 0;
  for (const std::string& code : LayerCodes()) {
    const fs::path shp = dir / (std::string(kBaseName) + code + ".shp");
    if (!fs::exists(shp)) continue;
    SHPHandle h = SHPOpen(shp.c_str(), "rb");
    if (h == nullptr) throw std::runtime_error("cannot open " + shp.string());
    int count = 0;
    SHPGetInfo(h, &count, nullptr, nullptr, nullptr);
    SHPClose(h);
    total += static_cast<std::size_t>(count);
  }
  return total;
}

// The shapefile export of the densest sheet, and of the same sheet with
// every road line twice (the same point tables, twice the lines).
void MeasureMemory(const Options& options, const fs::path& work) {
  std::printf(
      "\n### Memory of the shapefile export against the number of lines\n\n"
      "The densest sheet, and the same sheet with its road layer (DK) twice over: the same "
      "point tables, 2× the road lines.\n\n"
      "| sheet | features | point tables MB | ours peak MB | peak − point tables MB | of which "
      "before converting MB |\n"
      "| --- | ---: | ---: | ---: | ---: | ---: |\n");
  gen::LayerSet set = gen::GenerateLayerSet({.size = gen::SheetSize::kDense});
  gen::WriteLayerSet(set, work / "memory-dense" / "in");
  for (gen::LayerFile& file : set.files) {
    if (file.name == std::string(kBaseName) + "DK.sal") file.bytes += file.bytes;
  }
  gen::WriteLayerSet(set, work / "memory-dense-roads-x2" / "in");
  set = {};
  for (const auto& [name, dir] : {std::pair<std::string, fs::path>{"dense", work / "memory-dense"},
                                  {"dense, road lines ×2", work / "memory-dense-roads-x2"}}) {
    const fs::path out = dir / "ours-shape";
    OursRun peak;
    for (int i = 0; i < options.dense_runs; ++i) {
      Recreate(out);
      const OursRun run =
          RunOurs("shape", (dir / "in" / kBaseName).string(), (out / kBaseName).string());
      if (run.peak_kb > peak.peak_kb) peak = run;
    }
    const double points_kb = static_cast<double>(peak.point_bytes) / 1024.0;
    std::printf("| %s | %zu | %s | %s | %s | %s |\n", name.c_str(), CountShapeFeatures(out),
                Megabytes(points_kb).c_str(), Megabytes(static_cast<double>(peak.peak_kb)).c_str(),
                Megabytes(static_cast<double>(peak.peak_kb) - points_kb).c_str(),
                Megabytes(static_cast<double>(peak.start_kb)).c_str());
  }
}

std::vector<lhatest::Member> Members(const gen::LayerSet& set, const std::string& base) {
  std::vector<lhatest::Member> members;
  for (const gen::LayerFile& f : set.files) members.emplace_back(base + f.name.substr(6), f.bytes);
  return members;
}

// Median archives (stored members), converted by quellmark-convert with one
// job and with two; each run extracts and converts every archive.
void MeasureJobs(const Options& options, const fs::path& work) {
  std::printf("\n### %d median archives through quellmark-convert (extraction and conversion)\n\n",
              options.archives);
  const fs::path dir = work / "jobs";
  Recreate(dir);
  std::vector<std::string> archives;
  for (int i = 0; i < options.archives; ++i) {
    const std::string name = "sheet" + std::to_string(i + 1);
    const gen::LayerSet set = gen::GenerateLayerSet(
        {.size = gen::SheetSize::kMedian, .seed = static_cast<std::uint64_t>(i + 1)});
    const std::string path = (dir / (name + ".lzh")).string();
    std::ofstream out(path, std::ios::binary);
    const std::string bytes = lhatest::BuildLevel2(Members(set, name));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    archives.push_back(path);
  }
  std::printf("| format | --jobs 1 s | --jobs 2 s | speed-up |\n| --- | ---: | ---: | ---: |\n");
  std::vector<std::pair<std::string, double>> two_jobs;
  for (const std::string& format : kFormats) {
    double seconds[2];
    for (int jobs = 1; jobs <= 2; ++jobs) {
      std::vector<double> times;
      for (int i = 0; i < options.runs; ++i) {
        std::vector<std::string> argv = {options.convert, "--quiet", "--format",
                                         format,          "--jobs",  std::to_string(jobs)};
        argv.insert(argv.end(), archives.begin(), archives.end());
        times.push_back(MustRun(argv).seconds);
      }
      seconds[jobs - 1] = Median(times);
    }
    std::printf("| %s | %.3f | %.3f | %.2f× |\n", FormatName(format), seconds[0], seconds[1],
                seconds[0] / seconds[1]);
    two_jobs.emplace_back(format, seconds[1]);
  }
  // Every sheet into one GeoPackage: one writer however many jobs.
  const std::string one_file = (dir / "one.gpkg").string();
  const auto into_one_file = [&](int jobs, std::size_t count) {
    std::vector<std::string> argv = {"/usr/bin/time",      "-f",       "%M",
                                     options.convert,      "--quiet",  "--jobs",
                                     std::to_string(jobs), "--output", one_file};
    argv.insert(argv.end(), archives.begin(),
                archives.begin() + static_cast<std::ptrdiff_t>(count));
    return MustRun(argv);
  };
  double one_file_seconds[2];
  for (int jobs = 1; jobs <= 2; ++jobs) {
    std::vector<double> times;
    for (int i = 0; i < options.runs; ++i)
      times.push_back(into_one_file(jobs, archives.size()).seconds);
    one_file_seconds[jobs - 1] = Median(times);
  }
  std::printf("| GeoPackage, every sheet in one file | %.3f | %.3f | %.2f× |\n",
              one_file_seconds[0], one_file_seconds[1], one_file_seconds[0] / one_file_seconds[1]);
  two_jobs.emplace_back("gpkg-one-file", one_file_seconds[1]);

  // The same with pure computation in two independent processes: on a
  // machine that other work shares, two jobs cannot gain more than this.
  std::vector<double> one;
  std::vector<double> two;
  for (int i = 0; i < options.runs; ++i) {
    one.push_back(MustRun({SelfPath(), "--child", "spin"}).seconds);
    const auto start = std::chrono::steady_clock::now();
    std::thread other([] { MustRun({SelfPath(), "--child", "spin"}); });
    MustRun({SelfPath(), "--child", "spin"});
    other.join();
    two.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::printf("| two units of pure computation, for scale | %.3f | %.3f | %.2f× |\n",
              2.0 * Median(one), Median(two), 2.0 * Median(one) / Median(two));

  // The whole country at the pace of the --jobs 2 batch, as if every sheet
  // were a median one.
  std::printf(
      "\n### The whole country, estimated\n\n"
      "About %d sheets at the pace of the --jobs 2 batch above (extraction and conversion, "
      "one output per sheet), as if every sheet were a median one:\n\n"
      "| format | s per sheet, --jobs 2 | %d sheets, min |\n| --- | ---: | ---: |\n",
      kCountrySheets, kCountrySheets);
  for (const auto& [format, seconds] : two_jobs) {
    const double per_sheet = seconds / options.archives;
    std::printf("| %s | %.3f | %.1f |\n",
                format == "gpkg-one-file" ? "GeoPackage, one file" : FormatName(format), per_sheet,
                per_sheet * kCountrySheets / 60.0);
  }

  // What the one file's run holds does not grow with the sheets in it.
  std::printf(
      "\n### Peak memory of one GeoPackage for many sheets (--jobs 2)\n\n"
      "| sheets | peak MB |\n| ---: | ---: |\n");
  for (std::size_t count : {archives.size() / 2, archives.size()}) {
    const ChildRun run = into_one_file(2, count);
    const std::size_t line = run.err.find_last_of('\n', run.err.size() - 2);
    const long kb = std::stol(run.err.substr(line == std::string::npos ? 0 : line + 1));
    std::printf("| %zu | %s |\n", count, Megabytes(static_cast<double>(kb)).c_str());
  }
}

int RunBenchmark(const Options& options, const std::string& command) {
  const bool temporary = options.work.empty();
  const fs::path work =
      temporary ? fs::temp_directory_path() / ("quellmark-bench-" + std::to_string(getpid()))
                : fs::path(options.work);
  fs::create_directories(work);
  std::printf("Machine: %s\n", MachineDescription().c_str());
  std::printf("Command: %s\n", command.c_str());
  std::printf("Load average at the start: %s\n\n", LoadAverage().c_str());
  std::printf(
      "Times are medians of %d runs (the dense sheet: %d; ogr2ogr: %d). Ours is the "
      "conversion of an extracted layer set (ConvertSheet into shapefiles, TAB, GeoPackage), "
      "the floor writes the same features from memory; both are timed inside their own "
      "process, from the call to its return. ogr2ogr translates our shapefiles, one process "
      "per layer, their times summed (GeoPackage: one process for the sheet's folder).\n\n",
      options.runs, options.dense_runs, options.peer_runs);
  std::fflush(stdout);

  std::vector<Row> rows;
  for (const std::string& size : options.sizes) {
    std::fprintf(stderr, "%s sheet...\n", size.c_str());
    const fs::path dir = work / size;
    gen::WriteLayerSet(gen::GenerateLayerSet({.size = SizeOf(size)}), dir / "in");
    for (const std::string& format : options.formats) {
      rows.push_back(MeasureSheet(options, size, format, dir));
    }
    if (temporary) fs::remove_all(dir);
  }
  if (!rows.empty()) {
    PrintTimes(rows);
    for (const Row& r : rows) {
      if (!r.floor_differs.empty()) {
        std::printf("\nNote: the floor's %s %s output differs from ours in: %s\n", r.size.c_str(),
                    r.format_name(), r.floor_differs.c_str());
      }
    }
    PrintGpkgFloors(rows);
    PrintTimeSplit(rows);
    PrintMemory(rows);
  }
  std::fflush(stdout);
  if (options.memory) {
    std::fprintf(stderr, "memory...\n");
    MeasureMemory(options, work);
  }
  std::fflush(stdout);
  if (options.jobs) {
    std::fprintf(stderr, "--jobs...\n");
    MeasureJobs(options, work);
  }
  std::fflush(stdout);
  if (options.one_file > 0) {
    MeasureOneFile({.convert = options.convert,
                    .work = work,
                    .sheets = options.one_file,
                    .window = options.one_file_window,
                    .jobs = 2,
                    .repeats = options.one_file_runs,
                    .country = kCountrySheets});
  }
  std::printf("\nLoad average at the end: %s\n", LoadAverage().c_str());
  if (temporary) fs::remove_all(work);
  return 0;
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    items.emplace_back(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  return items;
}

int Main(int argc, char** argv) {
  if (argc >= 4 && std::string_view(argv[1]) == "--child") {
    const std::string_view mode = argv[2];
    if (mode == "ours" && argc == 6) return ChildOurs(argv[3], argv[4], argv[5]);
    if (mode == "floor" && argc == 7) return ChildFloor(argv[3], argv[4], argv[5], argv[6]);
    if (mode == "read" && argc == 4) return ChildRead(argv[3]);
  }
  if (argc == 3 && std::string_view(argv[1]) == "--child" && std::string_view(argv[2]) == "spin") {
    return ChildSpin();
  }
  Options options;
  std::string command = "quellmark-bench";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    command += " " + std::string(arg);
    const bool has_value = i + 1 < argc;
    auto value = [&]() -> std::string {
      command += " " + std::string(argv[i + 1]);
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--runs" && has_value) {
      options.runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--dense-runs" && has_value) {
      options.dense_runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--peer-runs" && has_value) {
      options.peer_runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--sizes" && has_value) {
      const std::string list = value();
      options.sizes = list == "none" ? std::vector<std::string>() : SplitList(list);
    } else if (arg == "--formats" && has_value) {
      options.formats = SplitList(value());
    } else if (arg == "--work" && has_value) {
      options.work = value();
    } else if (arg == "--convert" && has_value) {
      options.convert = value();
    } else if (arg == "--archives" && has_value) {
      options.archives = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--no-jobs") {
      options.jobs = false;
    } else if (arg == "--no-memory") {
      options.memory = false;
    } else if (arg == "--one-file" && has_value) {
      options.one_file = std::max(0, std::atoi(value().c_str()));
    } else if (arg == "--one-file-window" && has_value) {
      options.one_file_window = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--one-file-runs" && has_value) {
      options.one_file_runs = std::max(1, std::atoi(value().c_str()));
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  for (const std::string& size : options.sizes) SizeOf(size);
  for (const std::string& format : options.formats) FormatOf(format);
  return RunBenchmark(options, command);
}

}  // namespace
}  // namespace quellmark::bench

int main(int argc, char** argv) {
  try {
    return quellmark::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quellmark-bench: %s\n", e.what());
    return 1;
  }
}
