#include "one_file.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "export_gpkg/gpkg_format.h"
#include "layerset_generator.h"
#include "lha_builder.h"
#include "process.h"

namespace quellmark::bench {

namespace {

namespace fs = std::filesystem;

// A writer may hold up to this much of the file in SQLite's page cache (the
// 64 MB the conversion gives it) before the file grows: the sheets whose
// rows it can hold are left out at the end of the "last" window.
constexpr double kCacheBytes = 64.0 * 1024 * 1024;

constexpr auto kSampleInterval = std::chrono::milliseconds(20);

// The first `count` 1:25,000 sheet codes from 533900 on: the 64 sheets of a
// primary mesh (rows 0-7, columns 0-7), then those of the mesh east of it,
// eight meshes to a row, then the next row north. In list order, as a batch
// given the archives of a region would have them.
std::vector<std::string> SheetCodes(int count) {
  std::vector<std::string> codes;
  for (int lat = 53; static_cast<int>(codes.size()) < count; ++lat) {
    for (int lon = 39; lon < 47 && static_cast<int>(codes.size()) < count; ++lon) {
      for (int cell = 0; cell < 64 && static_cast<int>(codes.size()) < count; ++cell) {
        char code[48];
        std::snprintf(code, sizeof code, "%02d%02d%d%d", lat, lon, cell / 8, cell % 8);
        codes.emplace_back(code);
      }
    }
  }
  return codes;
}

std::uint64_t Fingerprint(const gen::LayerSet& set) {
  std::uint64_t hash = 14695981039346656037ULL;
  const auto add = [&](const std::string& bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
  };
  for (const gen::LayerFile& file : set.files) {
    add(file.name);
    add(file.bytes);
  }
  return hash;
}

// The median layer set of seed 1 (that of the median row), generated once
// per sheet code: the same lines and points, each sheet placed by its code.
// Archives a kept work folder already holds are reused when the generator
// still makes the same bytes for the first sheet.
std::vector<std::string> MakeArchives(const fs::path& dir, const std::vector<std::string>& codes) {
  fs::create_directories(dir);
  const fs::path manifest_path = dir / "manifest";
  const auto generate = [](const std::string& code) {
    return gen::GenerateLayerSet({.size = gen::SheetSize::kMedian, .seed = 1, .base_name = code});
  };
  gen::LayerSet first = generate(codes.front());
  char fingerprint[32];
  std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                static_cast<unsigned long long>(Fingerprint(first)));

  std::map<std::string, std::uintmax_t> known;  // archive name -> size
  {
    std::ifstream in(manifest_path);
    std::string line;
    if (std::getline(in, line) && line == std::string("generator ") + fingerprint) {
      std::string name;
      std::uintmax_t size = 0;
      while (in >> name >> size) known[name] = size;
    }
  }
  std::vector<std::string> archives;
  std::map<std::string, std::uintmax_t> made;
  int built = 0;
  for (const std::string& code : codes) {
    const std::string name = code + ".lzh";
    const fs::path path = dir / name;
    std::error_code error;
    const auto found = known.find(name);
    if (found != known.end() && fs::file_size(path, error) == found->second && !error) {
      made[name] = found->second;
      archives.push_back(path.string());
      continue;
    }
    const gen::LayerSet set = code == codes.front() ? std::move(first) : generate(code);
    std::vector<lhatest::Member> members;
    for (const gen::LayerFile& file : set.files) members.emplace_back(file.name, file.bytes);
    const std::string bytes = lhatest::BuildLevel2(members);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
    made[name] = bytes.size();
    archives.push_back(path.string());
    ++built;
  }
  for (const auto& entry : known) made.insert(entry);  // kept for a larger batch
  std::ofstream out(manifest_path, std::ios::trunc);
  out << "generator " << fingerprint << "\n";
  for (const auto& [name, size] : made) out << name << " " << size << "\n";
  std::fprintf(stderr, "  %zu archives in %s (%d made, %zu reused)\n", archives.size(), dir.c_str(),
               built, archives.size() - static_cast<std::size_t>(built));
  return archives;
}

// The largest GeoPackage under `dir`, by the name the format gives it (the one being built, under
// whatever name); nullopt when the folder changed under the scan.
std::optional<std::uintmax_t> LargestGeoPackage(const fs::path& dir) {
  std::uintmax_t largest = 0;
  std::error_code error;
  fs::recursive_directory_iterator it(dir, error);
  for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!GpkgFormat().NamesCollection(name)) continue;
    std::error_code size_error;
    const std::uintmax_t size = it->file_size(size_error);
    if (!size_error) largest = std::max(largest, size);
  }
  if (error) return std::nullopt;
  return largest;
}

struct Sample {
  double seconds;
  std::uintmax_t bytes;
  long dirty_kb;      // the machine's dirty page cache, not yet written back
  long writeback_kb;  // and that being written back
};

// The page cache's Dirty and Writeback (kB) from /proc/meminfo: a file
// written without syncing piles up there until the kernel writes it back,
// which may hold up the writer.
std::pair<long, long> DirtyPages() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  long value = 0;
  std::string unit;
  long dirty = -1;
  long writeback = -1;
  while (meminfo >> key >> value && (dirty < 0 || writeback < 0)) {
    if (key == "Dirty:") dirty = value;
    if (key == "Writeback:") writeback = value;
    std::getline(meminfo, unit);
  }
  return {dirty, writeback};
}

// What the finished file holds, read through SQLite.
struct FileContents {
  double row_bytes = 0;    // the pages of the layers' tables
  double other_bytes = 0;  // the pages of everything but those and the indexes
  double file_bytes = 0;
  std::map<std::string, long long> rows;                  // per layer table
  std::vector<std::pair<std::string, long long>> sheets;  // "sheet" values and their rows
  std::string sheets_table;                               // the table `sheets` was read from
};

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    throw std::runtime_error("cannot prepare " + sql + ": " + sqlite3_errmsg(db));
  }
  return Statement(statement);
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
}

FileContents ReadContents(const fs::path& path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, DatabaseCloser> db(raw);
  if (opened != SQLITE_OK) throw std::runtime_error("cannot open " + path.string());
  FileContents contents;
  std::set<std::string> layers;
  for (Statement s = Prepare(raw, "SELECT table_name FROM gpkg_geometry_columns");
       sqlite3_step(s.get()) == SQLITE_ROW;) {
    layers.insert(ColumnText(s.get(), 0));
  }
  std::map<std::string, std::string> table_of;  // object -> the table it belongs to
  for (Statement s = Prepare(raw, "SELECT name, tbl_name FROM sqlite_schema");
       sqlite3_step(s.get()) == SQLITE_ROW;) {
    table_of[ColumnText(s.get(), 0)] = ColumnText(s.get(), 1);
  }
  // dbstat: the pages of every table and index (SQLite built with
  // SQLITE_ENABLE_DBSTAT_VTAB, as Debian's is).
  for (Statement s = Prepare(raw, "SELECT name, SUM(pgsize) FROM dbstat GROUP BY name");
       sqlite3_step(s.get()) == SQLITE_ROW;) {
    const std::string name = ColumnText(s.get(), 0);
    const double bytes = sqlite3_column_double(s.get(), 1);
    const auto owner = table_of.find(name);
    const std::string table = owner == table_of.end() ? name : owner->second;
    contents.file_bytes += bytes;
    if (layers.count(name) != 0) {
      contents.row_bytes += bytes;
    } else if (layers.count(table) == 0 && table.rfind("rtree_", 0) != 0) {
      contents.other_bytes += bytes;
    }
  }
  std::string smallest;
  for (const std::string& layer : layers) {
    Statement s = Prepare(raw, "SELECT COUNT(*) FROM \"" + layer + "\"");
    if (sqlite3_step(s.get()) != SQLITE_ROW) throw std::runtime_error("cannot count " + layer);
    const long long rows = sqlite3_column_int64(s.get(), 0);
    contents.rows[layer] = rows;
    if (rows > 0 && (smallest.empty() || rows < contents.rows[smallest])) smallest = layer;
  }
  if (!smallest.empty()) {
    contents.sheets_table = smallest;
    for (Statement s = Prepare(
             raw, "SELECT sheet, COUNT(*) FROM \"" + smallest + "\" GROUP BY sheet ORDER BY sheet");
         sqlite3_step(s.get()) == SQLITE_ROW;) {
      contents.sheets.emplace_back(ColumnText(s.get(), 0), sqlite3_column_int64(s.get(), 1));
    }
  }
  return contents;
}

struct BatchRun {
  int sheets = 0;
  double seconds = 0;
  long peak_kb = 0;
  std::vector<Sample> samples;
  FileContents contents;
  // From the file's growth: when the rows of sheet k (1-based) were in the
  // file; NaN where the file never got there while the program ran.
  std::vector<double> written;
  int held = 0;  // the sheets a writer's page cache can hold
};

constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

BatchRun RunBatch(const OneFileOptions& options, const std::vector<std::string>& archives,
                  int count, const fs::path& out_dir) {
  fs::remove_all(out_dir);
  fs::create_directories(out_dir);
  const fs::path file = out_dir / "one.gpkg";
  std::vector<std::string> argv = {"/usr/bin/time",
                                   "-f",
                                   "%M",
                                   options.convert,
                                   "--quiet",
                                   "--jobs",
                                   std::to_string(options.jobs),
                                   "--output",
                                   file.string()};
  argv.insert(argv.end(), archives.begin(), archives.begin() + count);

  BatchRun run;
  run.sheets = count;
  std::atomic<bool> done{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread sampler([&] {
    std::uintmax_t last = static_cast<std::uintmax_t>(-1);
    while (!done.load()) {
      const std::optional<std::uintmax_t> bytes = LargestGeoPackage(out_dir);
      const double at =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (bytes && *bytes != last) {
        const auto [dirty, writeback] = DirtyPages();
        run.samples.push_back({at, *bytes, dirty, writeback});
        last = *bytes;
      }
      std::this_thread::sleep_for(kSampleInterval);
    }
  });
  const ChildRun child = RunChild(argv);
  done = true;
  sampler.join();
  if (child.exit_code != 0) {
    throw std::runtime_error("quellmark-convert failed (" + std::to_string(child.exit_code) +
                             ") on " + std::to_string(count) + " sheets:\n" + child.err);
  }
  run.seconds = child.seconds;
  const std::size_t line = child.err.find_last_of('\n', child.err.size() - 2);
  run.peak_kb = std::stol(child.err.substr(line == std::string::npos ? 0 : line + 1));
  run.contents = ReadContents(file);

  // Sheet k is in the file once it holds what comes before the rows and
  // more than k - 1/2 sheets of rows (every sheet is the same one, so each
  // adds the same pages).
  const double per_sheet = run.contents.row_bytes / count;
  run.held = static_cast<int>(std::ceil(kCacheBytes / per_sheet));
  run.written.assign(static_cast<std::size_t>(count) + 1, kUnknown);
  std::size_t s = 0;
  for (int k = 1; k <= count; ++k) {
    const double threshold = run.contents.other_bytes + (k - 0.5) * per_sheet;
    while (s < run.samples.size() && static_cast<double>(run.samples[s].bytes) < threshold) ++s;
    if (s < run.samples.size()) run.written[static_cast<std::size_t>(k)] = run.samples[s].seconds;
  }
  // The samples, beside the output's folder, to plot or check.
  const fs::path growth =
      out_dir.parent_path() / ("growth-" + std::to_string(count) + "-sheets.csv");
  std::ofstream csv(growth, std::ios::trunc);
  csv << "seconds,bytes,sheets_of_rows,dirty_kb,writeback_kb\n";
  for (const Sample& sample : run.samples) {
    csv << sample.seconds << "," << sample.bytes << ","
        << (static_cast<double>(sample.bytes) - run.contents.other_bytes) / per_sheet << ","
        << sample.dirty_kb << "," << sample.writeback_kb << "\n";
  }
  fs::remove_all(out_dir);
  return run;
}

// Seconds per sheet from sheet a to sheet b, by the file's growth.
double Pace(const BatchRun& run, int a, int b) {
  if (a < 1 || b <= a || b > run.sheets) return kUnknown;
  return (run.written[static_cast<std::size_t>(b)] - run.written[static_cast<std::size_t>(a)]) /
         (b - a);
}

std::string Number(double value, const char* format = "%.3f") {
  if (std::isnan(value)) return "—";
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

struct Derived {
  double rows_pace = kUnknown;  // s per sheet while rows were written
  double first = kUnknown;      // the first `window` sheets
  double last = kUnknown;       // the last `window` sheets before those the cache may hold
  double rows_end = kUnknown;   // when the last rows were in, estimated
  double end = kUnknown;        // the rest of the run: index building, completing the file
  bool measured = false;
};

Derived Derive(const BatchRun& run, int window) {
  Derived d;
  const int last_seen = run.sheets - run.held;  // the last sheet the growth times
  // The growth says nothing when the file took its rows only at the end
  // (written elsewhere, or held in memory): half the rows late in the run.
  const double half = run.written[static_cast<std::size_t>(std::max(1, run.sheets / 2))];
  if (last_seen < 2 || std::isnan(half) || half > 0.9 * run.seconds) return d;
  d.measured = true;
  d.rows_pace = Pace(run, 1, last_seen);
  if (last_seen - window >= 1 + window) {
    d.first = Pace(run, 1, 1 + window);
    d.last = Pace(run, last_seen - window, last_seen);
  }
  d.rows_end = run.written[static_cast<std::size_t>(last_seen)] +
               run.held * (std::isnan(d.last) ? d.rows_pace : d.last);
  d.end = run.seconds - d.rows_end;
  return d;
}

std::string Megabytes(double bytes) { return Number(bytes / (1024.0 * 1024.0), "%.1f"); }

// What the file must hold: every sheet's rows, the sheet column naming the
// archives, each sheet alike; and the same rows per sheet in both batches.
std::string CheckContents(const BatchRun& run, const std::vector<std::string>& codes,
                          const BatchRun* smaller) {
  std::string problems;
  for (const auto& [table, rows] : run.contents.rows) {
    if (rows % run.sheets != 0) {
      problems += table + " holds " + std::to_string(rows) + " rows, not a multiple of " +
                  std::to_string(run.sheets) + "; ";
    } else if (smaller != nullptr) {
      const auto other = smaller->contents.rows.find(table);
      if (other == smaller->contents.rows.end() ||
          other->second / smaller->sheets != rows / run.sheets) {
        problems += table + ": not the same rows per sheet in both batches; ";
      }
    }
  }
  const auto& sheets = run.contents.sheets;
  bool names = static_cast<int>(sheets.size()) == run.sheets;
  for (std::size_t i = 0; names && i < sheets.size(); ++i) {
    names = sheets[i].first == codes[i] && sheets[i].second == sheets.front().second;
  }
  if (!names) {
    problems += "the sheet column of " + run.contents.sheets_table + " does not hold the " +
                std::to_string(run.sheets) + " archive names with the same rows each; ";
  }
  return problems;
}

}  // namespace

void MeasureOneFile(const OneFileOptions& options) {
  const int window = std::max(1, std::min(options.window, options.sheets));
  const int repeats = std::max(1, options.repeats);
  const fs::path dir = options.work / "one-file";
  std::fprintf(stderr, "one file: %d and %d median sheets, %d time(s)...\n", window, options.sheets,
               repeats);
  const std::vector<std::string> codes = SheetCodes(options.sheets);
  const std::vector<std::string> archives = MakeArchives(dir / "archives", codes);

  // The small batch and the large one in turn, so that other work on the
  // machine weighs on both alike.
  std::vector<BatchRun> small;
  std::vector<BatchRun> large;
  for (int r = 0; r < repeats; ++r) {
    for (int count : {window, options.sheets}) {
      if (count == options.sheets && options.sheets <= window) continue;
      BatchRun run = RunBatch(options, archives, count, dir / "out");
      std::fprintf(stderr, "  %d sheets: %.1f s, peak %ld kB\n", count, run.seconds, run.peak_kb);
      (count == window ? small : large).push_back(std::move(run));
    }
  }
  if (large.empty()) large = small;

  std::printf(
      "\n### One GeoPackage for many median sheets (--jobs %d)\n\n"
      "`quellmark-convert --quiet --jobs %d --output one.gpkg` over %d, then %d median archives "
      "(the median layer set, each archive named by a sheet code and placed there, so every "
      "sheet covers a place of its own), under `/usr/bin/time -f %%M` for the peak resident "
      "set%s. When each sheet's rows were in the file is read from the file's growth, sampled "
      "every %lld ms: sheet k is in once the file holds what comes before the rows and "
      "k − ½ sheets of rows (the pages of the layers' tables in the finished file, read "
      "through SQLite's dbstat, over the sheets). The last %d sheets compared end %d sheets "
      "before the last one, the rows a writer's 64 MB page cache can hold before the file "
      "grows; the end of the run is what follows the rows (index building, completing the "
      "file).\n\n",
      options.jobs, options.jobs, window, options.sheets,
      repeats > 1 ? ", both batches in turn" : "", static_cast<long long>(kSampleInterval.count()),
      window, large.front().held);
  std::printf(
      "| run | sheets | run s | s per sheet | first sheet in the file at s | rows, s per sheet | "
      "first %d, s per sheet | last %d, s per sheet | last/first | end of the run s | file MB "
      "| of which rows MB | peak MB |\n"
      "| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: "
      "|\n",
      window, window);
  std::vector<Derived> derived_small;
  std::vector<Derived> derived_large;
  for (int r = 0; r < repeats; ++r) {
    for (const bool is_large : {false, true}) {
      if (is_large && options.sheets <= window) continue;
      const BatchRun& run = (is_large ? large : small)[static_cast<std::size_t>(r)];
      const Derived d = Derive(run, window);
      (is_large ? derived_large : derived_small).push_back(d);
      std::printf(
          "| %d | %d | %.1f | %.3f | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", r + 1,
          run.sheets, run.seconds, run.seconds / run.sheets, Number(run.written[1], "%.2f").c_str(),
          Number(d.rows_pace).c_str(), Number(d.first).c_str(), Number(d.last).c_str(),
          Number(d.last / d.first, "%.2f").c_str(), Number(d.end, "%.1f").c_str(),
          Megabytes(run.contents.file_bytes).c_str(), Megabytes(run.contents.row_bytes).c_str(),
          Megabytes(static_cast<double>(run.peak_kb) * 1024.0).c_str());
    }
  }
  if (derived_large.empty()) derived_large = derived_small;

  // Per run, then the median over the runs.
  const auto median = [](std::vector<double> values) {
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
        values.end());
    if (values.empty()) return kUnknown;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
  };
  std::vector<double> peaks;
  std::vector<double> ratios;
  std::vector<double> whole;
  std::vector<double> firsts;
  std::vector<double> paces;
  std::vector<double> ends_small;
  std::vector<double> ends_large;
  for (int r = 0; r < repeats; ++r) {
    const auto i = static_cast<std::size_t>(r);
    peaks.push_back(static_cast<double>(large[i].peak_kb) / static_cast<double>(small[i].peak_kb));
    ratios.push_back(derived_large[i].last / derived_large[i].first);
    whole.push_back(large[i].seconds / large[i].sheets);
    firsts.push_back(large[i].written[1]);
    paces.push_back(derived_large[i].rows_pace);
    ends_small.push_back(derived_small[i].end);
    ends_large.push_back(derived_large[i].end);
  }
  const auto listed = [](const std::vector<double>& values) {
    std::string text;
    for (double v : values) text += (text.empty() ? "" : ", ") + Number(v, "%.2f") + "×";
    return text;
  };
  std::printf("\nPeak memory, %d sheets against %d: %s", options.sheets, window,
              listed(peaks).c_str());
  if (repeats > 1) std::printf(" (median %s×)", Number(median(peaks), "%.2f").c_str());
  std::printf(".\n");
  if (repeats > 1) {
    std::printf("\nLast %d against first %d sheets, per sheet: %s (median %s×).\n", window, window,
                listed(ratios).c_str(), Number(median(ratios), "%.2f").c_str());
  }
  if (std::none_of(derived_large.begin(), derived_large.end(),
                   [](const Derived& d) { return d.measured; })) {
    std::printf(
        "\nNote: the file did not grow while the rows were written (no *.gpkg under the output's "
        "folder held half of them before 90 %% of the run): the times per sheet are not "
        "measured.\n");
  }

  // The whole country.
  const double country = options.country;
  const char* of_runs = repeats > 1 ? ", medians of the runs" : "";
  std::printf(
      "\n| the whole country, %d median sheets into one file | min |\n| --- | ---: |\n"
      "| at the %d-sheet run's pace (%.3f s per sheet%s) | %.1f |\n",
      options.country, options.sheets, median(whole), of_runs, country * median(whole) / 60.0);
  const double end_small = median(ends_small);
  const double end_large = median(ends_large);
  const double pace = median(paces);
  const double first = median(firsts);
  if (!std::isnan(end_small) && !std::isnan(end_large) && !std::isnan(pace) &&
      options.sheets > window) {
    // The end of the run, linear in the sheets through both batches.
    const double slope = std::max(0.0, (end_large - end_small) / (options.sheets - window));
    const double end = end_large + slope * (country - options.sheets);
    std::printf(
        "| first sheet in the file (%.1f s) + %d × the rows' pace (%.3f s) + the end of the run, "
        "linear through %d and %d sheets (%.1f s and %.1f s: %.1f s)%s | %.1f |\n",
        first, options.country, pace, window, options.sheets, end_small, end_large, end, of_runs,
        (first + country * pace + end) / 60.0);
  }

  std::string problems;
  for (const std::vector<BatchRun>* runs : {&small, &large}) {
    for (const BatchRun& run : *runs) {
      const std::string found =
          CheckContents(run, codes, &run == &small.front() ? nullptr : &small.front());
      if (!found.empty()) problems += std::to_string(run.sheets) + " sheets: " + found;
    }
  }
  if (problems.empty()) {
    std::printf(
        "\nChecked through SQLite: every layer's table holds the same rows per sheet in every "
        "file, and the sheet column (of %s) names every archive, with the same rows each.\n",
        large.front().contents.sheets_table.c_str());
  } else {
    std::printf("\nNote: the file does not hold what it should: %s\n", problems.c_str());
  }
}

}  // namespace quellmark::bench
