// quellmark-bench: converts generated sheets of three sizes into shapefiles
// and MapInfo TAB, and sets the time and memory of the conversion beside a
// floor (the same features written from memory through the same libraries,
// no parsing) and a peer (ogr2ogr translating the same features). Also
// times a batch of archives through quellmark-convert with one job and two.
//
// Each measured conversion runs in a child process of its own (this program
// again, in a child mode), so that its peak resident memory is its own.

#include <gdal.h>
#include <malloc.h>
#include <ogr_srs_api.h>
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

#include "export_shape/export_shape.h"
#include "export_tab/export_tab.h"
#include "export_tab/tab_layers.h"
#include "floor.h"
#include "layerset_generator.h"
#include "lha_builder.h"
#include "process.h"
#include "sal/notify.h"
#include "sal/sheet.h"

namespace quellmark::bench {
namespace {

namespace fs = std::filesystem;

constexpr const char kUsage[] =
    "usage: quellmark-bench [--runs N] [--peer-runs N] [--sizes small,median,dense]\n"
    "                       [--work DIR] [--convert PATH] [--archives N] [--no-jobs]\n"
    "                       [--no-memory]\n"
    "Generates sheets, converts each into shapefiles and TAB, and prints the\n"
    "times beside the floor and ogr2ogr, peak memory, and the --jobs speed-up.\n"
    "  --runs N       runs per measurement, the median is shown (default 5)\n"
    "  --peer-runs N  runs of the ogr2ogr translations (default 3)\n"
    "  --sizes LIST   sheet sizes to measure (default small,median,dense)\n"
    "  --work DIR     folder for the sheets and outputs (default: a new\n"
    "                 folder under the system temporary folder, removed after)\n"
    "  --convert PATH the quellmark-convert to time with --jobs\n"
    "  --archives N   median archives in the --jobs batch (default 8)\n"
    "  --no-jobs      skip the --jobs batch\n"
    "  --no-memory    skip the memory comparison (dense sheet, roads doubled)\n";

constexpr const char kBaseName[] = "533945";

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

// The children report their own peak resident set (VmHWM). What wait4
// reports for a child is no use here: as a process execs, the kernel folds
// the peak of the address space it leaves into the figure, and a child
// spawned from this process leaves this process's.

// ours FORMAT SHEET_PREFIX OUTPUT_PREFIX: the program's own conversion of an
// extracted layer set. Prints seconds, the bytes of the point tables, the
// resident kB before converting and the peak resident kB.
int ChildOurs(std::string_view format, const std::string& sheet, const std::string& out) {
  if (format == "tab") {
    // Once per process, however many sheets it converts: opening the PROJ
    // database, which reading a coordinate system clause does (the floor
    // does it as it loads).
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromMICoordSys(srs, kTabCoordSys);
    OSRRelease(srs);
  }
  SheetState state;
  IgnoringNotifier notifier;
  ExportContext context{state, &notifier, {}};
  const long start_kb = StatusKb("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  if (format == "shape") {
    ExportShapefiles(sheet, out, context);
  } else {
    ExportTabTables(sheet, out, context);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::size_t point_bytes =
      (static_cast<std::size_t>(state.coordinates.point_table().count()) +
       static_cast<std::size_t>(state.coordinates.mh_point_table().count())) *
      sizeof(CoordPoint);
  std::printf("%.6f %zu %ld %ld\n", seconds, point_bytes, start_kb, StatusKb("VmHWM"));
  return 0;
}

// floor FORMAT SOURCE_PREFIX OUTPUT_PREFIX buffered|library: loads what a
// conversion wrote at SOURCE_PREFIX, then writes it again, its files reached
// as the conversion reaches them or the library's own way. Prints seconds,
// the resident kB once loaded, the peak resident kB from then on, and the
// number of features.
int ChildFloor(std::string_view format, const std::string& source, const std::string& out,
               std::string_view access_name) {
  const FileAccess access =
      access_name == "buffered" ? FileAccess::kBuffered : FileAccess::kLibrary;
  if (format == "tab") GDALAllRegister();
  std::vector<ShapeLayerData> shapes;
  std::vector<TabLayerData> tables;
  if (format == "shape") {
    shapes = LoadShapeLayers(source);
  } else {
    tables = LoadTabLayers(source);
  }
  malloc_trim(0);
  ResetPeakRss();
  const long loaded_kb = StatusKb("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  if (format == "shape") {
    WriteShapeLayers(shapes, out, access);
  } else {
    WriteTabLayers(tables, out, access);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %ld %ld %zu\n", seconds, loaded_kb, StatusKb("VmHWM"),
              format == "shape" ? FeatureCount(shapes) : FeatureCount(tables));
  return 0;
}

// ---------------------------------------------------------------------------
// The benchmark

struct Options {
  int runs = 5;
  int peer_runs = 3;
  std::vector<std::string> sizes = {"small", "median", "dense"};
  std::string work;
  std::string convert = QUELLMARK_CONVERT;
  int archives = 8;
  bool jobs = true;
  bool memory = true;
};

struct OursRun {
  double seconds = 0;
  std::size_t point_bytes = 0;
  long start_kb = 0;
  long peak_kb = 0;
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

OursRun RunOurs(const std::string& format, const std::string& sheet, const std::string& out) {
  ChildRun run = MustRun({SelfPath(), "--child", "ours", format, sheet, out});
  OursRun result;
  std::istringstream in(run.out);
  in >> result.seconds >> result.point_bytes >> result.start_kb >> result.peak_kb;
  if (!in) throw std::runtime_error("unexpected child output: " + run.out);
  return result;
}

struct FloorRun {
  double seconds = 0;
  long loaded_kb = 0;
  long peak_kb = 0;
  std::size_t features = 0;
};

FloorRun RunFloor(const std::string& format, const std::string& source, const std::string& out,
                  const std::string& access) {
  ChildRun run = MustRun({SelfPath(), "--child", "floor", format, source, out, access});
  FloorRun result;
  std::istringstream in(run.out);
  in >> result.seconds >> result.loaded_kb >> result.peak_kb >> result.features;
  if (!in) throw std::runtime_error("unexpected child output: " + run.out);
  return result;
}

void Recreate(const fs::path& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
}

// ogr2ogr, once per layer, from the program's shapefiles to `format`.
double RunPeer(const std::string& format, const fs::path& source_dir, const fs::path& out_dir) {
  Recreate(out_dir);
  double total = 0.0;
  for (const char* code : kLayerCodes) {
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

std::size_t CountShapeFeatures(const fs::path& dir) {
  std::size_t total = 0;
  for (const char* code : kLayerCodes) {
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
  double ours = 0;
  double floor = 0;          // files reached as the conversion reaches them
  double floor_library = 0;  // files reached the library's own way
  double peer = 0;
  long ours_peak_kb = 0;
  long ours_start_kb = 0;  // resident before converting: the program and its libraries
  std::size_t point_bytes = 0;
  long floor_writer_kb = 0;  // what the library held while the floor wrote
  std::string floor_differs;
};

std::string Megabytes(double kb) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", kb / 1024.0);
  return text;
}

void PrintTable(const std::vector<Row>& rows) {
  std::printf(
      "| sheet | format | features | ours s | features/s | floor s | ours/floor | floor, "
      "library's file access s | ogr2ogr s | ours/ogr2ogr | ours peak MB | floor writer MB |\n");
  std::printf(
      "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (const Row& r : rows) {
    std::printf("| %s | %s | %zu | %.3f | %.0f | %.3f | %.2f | %.3f | %.3f | %.2f | %s | %s |\n",
                r.size.c_str(), r.format == "shape" ? "shapefile" : "TAB", r.features, r.ours,
                r.features / r.ours, r.floor, r.ours / r.floor, r.floor_library, r.peer,
                r.ours / r.peer, Megabytes(static_cast<double>(r.ours_peak_kb)).c_str(),
                Megabytes(static_cast<double>(r.floor_writer_kb)).c_str());
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
  const std::string sheet = (dir / "in" / kBaseName).string();
  const fs::path ours_dir = dir / ("ours-" + format);
  const fs::path floor_dir = dir / ("floor-" + format);
  Row row;
  row.size = size;
  row.format = format;

  std::vector<double> times;
  for (int i = 0; i < options.runs; ++i) {
    Recreate(ours_dir);
    const OursRun run = RunOurs(format, sheet, (ours_dir / kBaseName).string());
    times.push_back(run.seconds);
    row.ours_peak_kb = std::max(row.ours_peak_kb, run.peak_kb);
    row.ours_start_kb = run.start_kb;
    row.point_bytes = run.point_bytes;
  }
  row.ours = Median(times);

  for (const std::string access : {"library", "buffered"}) {
    times.clear();
    for (int i = 0; i < options.runs; ++i) {
      Recreate(floor_dir);
      const FloorRun run = RunFloor(format, (ours_dir / kBaseName).string(),
                                    (floor_dir / kBaseName).string(), access);
      times.push_back(run.seconds);
      row.features = run.features;
      if (access == "buffered") {
        row.floor_writer_kb = std::max(row.floor_writer_kb, run.peak_kb - run.loaded_kb);
      }
    }
    (access == "buffered" ? row.floor : row.floor_library) = Median(times);
    row.floor_differs += CompareFolders(ours_dir, floor_dir);
  }

  if (format == "shape" && row.features != CountShapeFeatures(ours_dir)) {
    throw std::runtime_error("the floor wrote another number of features");
  }

  times.clear();
  for (int i = 0; i < options.peer_runs; ++i) {
    times.push_back(RunPeer(format, dir / "ours-shape", dir / ("peer-" + format)));
  }
  row.peer = Median(times);
  std::fprintf(stderr, "  %s %s: ours %.3f s, floor %.3f s (%.3f s), ogr2ogr %.3f s\n",
               size.c_str(), format.c_str(), row.ours, row.floor, row.floor_library, row.peer);
  return row;
}

// The dense sheet with every road line twice: the same point tables, twice
// the lines.
void WriteDoubledRoads(const gen::LayerSet& dense, const fs::path& folder) {
  gen::LayerSet doubled = dense;
  for (gen::LayerFile& file : doubled.files) {
    if (file.name == std::string(kBaseName) + "DK.sal") file.bytes += file.bytes;
  }
  gen::WriteLayerSet(doubled, folder);
}

void MeasureMemory(const Options& options, const fs::path& work) {
  std::printf("\n### Memory of the shapefile export: twice the road lines\n\n");
  const gen::LayerSet dense = gen::GenerateLayerSet({.size = gen::SheetSize::kDense});
  const fs::path dir = work / "dense-roads-x2";
  WriteDoubledRoads(dense, dir / "in");
  gen::WriteLayerSet(dense, work / "dense" / "in");
  std::printf(
      "| sheet | features | point tables MB | ours peak MB | peak − point tables MB | of which "
      "resident before converting MB |\n");
  std::printf("| --- | ---: | ---: | ---: | ---: | ---: |\n");
  for (const auto& [name, in] : {std::pair<std::string, fs::path>{"dense", work / "dense" / "in"},
                                 {"dense, road lines ×2", dir / "in"}}) {
    const fs::path out = in.parent_path() / "memory-shape";
    long peak = 0;
    long start = 0;
    std::size_t points = 0;
    for (int i = 0; i < std::max(1, options.runs / 2); ++i) {
      Recreate(out);
      const OursRun run = RunOurs("shape", (in / kBaseName).string(), (out / kBaseName).string());
      peak = std::max(peak, run.peak_kb);
      start = run.start_kb;
      points = run.point_bytes;
    }
    std::printf("| %s | %zu | %s | %s | %s | %s |\n", name.c_str(), CountShapeFeatures(out),
                Megabytes(static_cast<double>(points) / 1024.0).c_str(),
                Megabytes(static_cast<double>(peak)).c_str(),
                Megabytes(static_cast<double>(peak) - static_cast<double>(points) / 1024.0).c_str(),
                Megabytes(static_cast<double>(start)).c_str());
  }
}

std::vector<lhatest::Member> Members(const gen::LayerSet& set, const std::string& base) {
  std::vector<lhatest::Member> members;
  for (const gen::LayerFile& f : set.files) members.emplace_back(base + f.name.substr(6), f.bytes);
  return members;
}

void MeasureJobs(const Options& options, const fs::path& work) {
  std::printf("\n### %d median archives through quellmark-convert\n\n", options.archives);
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
  for (const std::string format : {"shape", "tab"}) {
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
    std::printf("| %s | %.3f | %.3f | %.2f× |\n", format == "shape" ? "shapefile" : "TAB",
                seconds[0], seconds[1], seconds[0] / seconds[1]);
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
  std::printf(
      "Times are medians of %d runs (ogr2ogr: %d); ours and the floor are timed inside their "
      "process, ogr2ogr as whole processes, one per layer, summed.\n\n",
      options.runs, options.peer_runs);
  std::fflush(stdout);

  std::vector<Row> rows;
  for (const std::string& size : options.sizes) {
    std::fprintf(stderr, "%s sheet...\n", size.c_str());
    const fs::path dir = work / size;
    gen::WriteLayerSet(gen::GenerateLayerSet({.size = SizeOf(size)}), dir / "in");
    for (const std::string format : {"shape", "tab"}) {
      rows.push_back(MeasureSheet(options, size, format, dir));
    }
  }
  PrintTable(rows);
  for (const Row& r : rows) {
    if (!r.floor_differs.empty()) {
      std::printf("\nNote: the floor's %s %s output differs from ours in: %s\n", r.size.c_str(),
                  r.format.c_str(), r.floor_differs.c_str());
    }
  }
  std::printf("\n### Memory\n\n");
  for (const Row& r : rows) {
    std::printf(
        "- %s %s: ours peak %s MB, of which %s MB resident before converting (program and "
        "libraries) and %s MB point tables; the floor's writer held %s MB (%.0f bytes per "
        "feature)\n",
        r.size.c_str(), r.format == "shape" ? "shapefile" : "TAB",
        Megabytes(static_cast<double>(r.ours_peak_kb)).c_str(),
        Megabytes(static_cast<double>(r.ours_start_kb)).c_str(),
        Megabytes(static_cast<double>(r.point_bytes) / 1024.0).c_str(),
        Megabytes(static_cast<double>(r.floor_writer_kb)).c_str(),
        1024.0 * static_cast<double>(r.floor_writer_kb) / static_cast<double>(r.features));
  }
  std::fflush(stdout);
  if (options.memory) MeasureMemory(options, work);
  std::fflush(stdout);
  if (options.jobs) MeasureJobs(options, work);
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
  if (argc >= 6 && std::string_view(argv[1]) == "--child") {
    const std::string_view mode = argv[2];
    if (mode == "ours" && argc == 6) return ChildOurs(argv[3], argv[4], argv[5]);
    if (mode == "floor" && argc == 7) return ChildFloor(argv[3], argv[4], argv[5], argv[6]);
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
    } else if (arg == "--peer-runs" && has_value) {
      options.peer_runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--sizes" && has_value) {
      options.sizes = SplitList(value());
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
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  for (const std::string& size : options.sizes) SizeOf(size);
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
