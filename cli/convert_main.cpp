// quellmark-convert's work: reads the arguments and runs the batch the
// window runs too, in the formats it is given.

#include "cli/convert_main.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/archive_library.h"
#include "app/archive_list.h"
#include "app/batch.h"
#include "app/version.h"
#include "cli/report.h"
#include "convert/plane_zones.h"
#include "layers/map_styles.h"
#include "sal/cp932.h"
#include "sal/notify.h"

namespace {

using namespace quellmark;

constexpr const char* kProgram = "quellmark-convert";

// The formats the program offers, and the one it writes unless told.
struct Formats {
  std::span<const OutputFormat* const> all;
  const OutputFormat& fallback;
};

// The format ids, "a|b|c".
std::string FormatIds(const Formats& formats) {
  std::string ids;
  for (const OutputFormat* format : formats.all) {
    if (!ids.empty()) ids += '|';
    ids += format->id();
  }
  return ids;
}

// The layer codes with their names, in conversion order, four to a line.
std::string LayerList() {
  std::string list;
  int column = 0;
  for (const LayerSpec& layer : Layers()) {
    if (column == 0) list += "                       ";
    std::string item = " " + std::string(layer.code) + " " + std::string(MapStyleOf(layer).title);
    list += item;
    if (++column == 4) {
      list += "\n";
      column = 0;
    }
  }
  if (column != 0) list += "\n";
  return list;
}

std::string Usage(const Formats& formats) {
  std::string choices;
  for (const OutputFormat* format : formats.all) {
    std::string id(format->id());
    id.resize(std::max<std::size_t>(id.size(), 8), ' ');
    choices += "                        " + id + std::string(format->label()) +
               (format == &formats.fallback ? " (the default)" : "") + "\n";
  }
  return "Usage: quellmark-convert [--format " + FormatIds(formats) +
         "] [--output DIR|FILE.gpkg [--keep-extracted]]\n"
         "                         [--append | --overwrite]\n"
         "                         [--layers LIST] [--keep-going]\n"
         "                         [--datum tokyo|jgd2000] [--to-jgd2000]\n"
         "                         [--crs EPSG:CODE | --plane-zone ZONE]\n"
         "                         [--jobs N] [--quiet]\n"
         "                         ARCHIVE|FOLDER...\n"
         "\n"
         "Converts map sheet archives of the 1:25,000 vector base map (.lzh, one per\n"
         "sheet) into GIS tables, one table per layer. A folder stands for every\n"
         ".lzh archive under it, at any depth, in path order.\n"
         "Each archive is extracted into a folder named like it without its\n"
         "extension, beside it; the tables are written beside the archive, named\n"
         "after it plus the layer code (sheet.lzh gives sheetCM.tab, sheetDK.tab, ...).\n"
         "\n"
         "Options:\n"
         "  --format FORMAT     output format, one of:\n" +
         choices +
         "  --output DIR        write the tables into DIR (created when missing) instead\n"
         "                      of beside each archive; each archive is extracted into\n"
         "                      a temporary folder there, removed afterwards, so nothing\n"
         "                      is written beside the archives (read-only media work)\n"
         "  --output FILE.gpkg  write every sheet into the one GeoPackage FILE.gpkg\n"
         "                      (.gpkg in any letter case; implies --format gpkg):\n"
         "                      a table per layer, each row with its archive's name\n"
         "                      in the column \"sheet\", rows in the order the\n"
         "                      archives are listed; built under a temporary name\n"
         "                      and put in place at the end (with --keep-going,\n"
         "                      without the archives that failed)\n"
         "  --append            with --output FILE.gpkg: add the sheets to the file;\n"
         "                      a sheet it holds already is replaced, everything\n"
         "                      else in it is kept\n"
         "  --overwrite         with --output FILE.gpkg: replace the file even when\n"
         "                      Quellmark did not write it (otherwise refused)\n"
         "  --keep-extracted    with --output: keep each extraction as DIR/NAME/\n"
         "  --layers LIST       write only these layers' tables: codes separated by\n"
         "                      commas (--layers DK,TK,EK), or every layer but those\n"
         "                      with a minus (--layers -MH,-KS,-TS,-DS); layers one\n"
         "                      of them needs are still read (TK for EK's stations,\n"
         "                      DK for HA, TO and YO). The sheet's tables of other\n"
         "                      layers are left as they are. The layers:\n" +
         LayerList() +
         "  --keep-going        after an archive fails, go on with the next one\n"
         "  --datum DATUM       declare the datum of the positions in every table:\n"
         "                        jgd2000  JGD2000 (EPSG:4612), editions from 2002 on\n"
         "                        tokyo    Tokyo datum (EPSG:4301), editions before 2002\n"
         "                      without it the tables declare their defaults\n"
         "                      (shapefiles JGD2000, TAB tables GRS 80 without a datum)\n"
         "  --to-jgd2000        move the positions of Tokyo-datum editions onto JGD2000\n"
         "                      through PROJ (the tky2jgd grid where installed, else\n"
         "                      the EPSG Helmert transformation, about 9 m) and\n"
         "                      declare JGD2000; the operation used is named on stderr\n"
         "  --crs EPSG:CODE     write every position in that projected coordinate\n"
         "                      system (--crs EPSG:6677), through PROJ, after the\n"
         "                      datum options; every table declares it\n"
         "  --plane-zone ZONE   the same for Japan's plane rectangular coordinate\n"
         "                      system zone 1 to 19 on the datum in use: JGD2000\n"
         "                      (EPSG:2443 to 2461), or Tokyo with --datum tokyo\n"
         "                      (EPSG:30161 to 30179); the zones serve:\n" +
         PlaneZoneLines("                        ") +
         "  --jobs N            convert N archives side by side (default 1)\n"
         "  --quiet             print only errors: no progress, warnings or summary\n"
         "  --help              show this text\n"
         "  --version           show the version\n"
         "\n"
         "Data problems (a point number past the sheet's point table, a token that\n"
         "cannot be read) are printed as warnings on stderr, naming the archive, the\n"
         "layer and the line; the conversion goes on. An archive that cannot be\n"
         "extracted, or a layer set that cannot be read or written, ends the batch\n"
         "with an error naming the file. On a terminal, progress is shown on stderr,\n"
         "with the share done and the time left for batches of more than three.\n"
         "At the end one line on stderr sums up the run: archives converted, failed,\n"
         "skipped as duplicates and not tried, tables written, warnings, and the\n"
         "folder the tables went to.\n"
         "\n"
         "SIGINT or SIGTERM stop the run: what was not converted keeps its earlier\n"
         "tables (the one GeoPackage stays as it was).\n"
         "\n"
         "Exit status: 0 when every archive was converted (also when the stop came\n"
         "after every output was in place); 1 when an archive failed (with\n"
         "--keep-going, after trying the rest); 2 for bad arguments; 130 or 143 when\n"
         "SIGINT or SIGTERM stopped the run before every output was in place.\n";
}

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Arguments {
  explicit Arguments(const Formats& formats) : formats(formats) {}
  const Formats& formats;
  BatchOptions batch;
  bool quiet = false;
  bool overwrite = false;
};

// The format that gathers every sheet into one file named like `path`.
const OutputFormat* CollectionFormat(const Formats& formats, std::string_view path) {
  for (const OutputFormat* format : formats.all) {
    if (format->NamesCollection(path)) return format;
  }
  return nullptr;
}

// Writes warnings and progress to stderr. Progress is one line, redrawn in
// place, and only on a terminal.
class Console : public Notifier, public BatchObserver {
 public:
  Console(bool quiet, std::size_t total)
      : quiet_(quiet), progress_(!quiet && isatty(STDERR_FILENO)), total_(total) {
    tally_.archives = total;
  }

  void Notify(const Notice& notice) override {
    if (quiet_) return;
    std::lock_guard lock(mutex_);
    ++tally_.warnings;
    ClearProgress();
    std::string line = std::string(kProgram) + ": warning: ";
    const std::string archive = notice.archive.empty() ? archive_ : FileName(notice.archive);
    if (!archive.empty()) line += archive + ": ";
    if (!notice.layer.empty() && notice.line > 0) {
      line += "layer " + notice.layer + ", line " + std::to_string(notice.line) + ": ";
    } else if (!notice.layer.empty()) {
      line += "layer " + notice.layer + ": ";
    } else if (!notice.file.empty()) {
      line += notice.file + (notice.line > 0 ? ":" + std::to_string(notice.line) : "") + ": ";
    }
    if (!notice.caption.empty()) line += DecodeCp932ForDisplay(notice.caption) + ": ";
    line += DecodeCp932ForDisplay(notice.text);
    std::fprintf(stderr, "%s\n", line.c_str());
    DrawProgress();
  }

  void ArchiveStarted(std::size_t index, const ArchiveNames& names) override {
    std::lock_guard lock(mutex_);
    index_ = index;
    archive_ = FileName(names.archive);
    ++tally_.started;
    layer_.clear();
    DrawProgress();
  }

  void LayerStarted(std::size_t, std::string_view code) override {
    std::lock_guard lock(mutex_);
    layer_ = code;
    DrawProgress();
  }

  // A table counts once however often it was written: every sheet's DK
  // table in the one GeoPackage is one table, and so are the DK tables of
  // two archives of one name converted into one folder.
  void TableWritten(std::size_t, std::string_view where, std::string_view code) override {
    std::lock_guard lock(mutex_);
    tables_.insert(std::string(where) + '\0' + std::string(code));
    tally_.tables = tables_.size();
    tally_.table_folders.insert(TableFolder(where));
  }

  // Each operation that moved sheets onto JGD2000 is named once a run.
  void DatumMoved(std::size_t, std::string_view operation) override {
    if (quiet_) return;
    std::lock_guard lock(mutex_);
    if (!datum_operations_.emplace(operation).second) return;
    ClearProgress();
    std::fprintf(stderr, "%s: Tokyo datum to JGD2000: %s\n", kProgram,
                 std::string(operation).c_str());
    DrawProgress();
  }

  void ArchiveDone(std::size_t) override {
    std::lock_guard lock(mutex_);
    ++finished_;
    ++tally_.converted;
    layer_.clear();
    RaiseIfDone();
  }

  void ArchiveRepeated(std::size_t, bool) override {
    std::lock_guard lock(mutex_);
    ++finished_;
    ++tally_.duplicates;
    RaiseIfDone();
  }

  // For tests: raises `signal` once every listed archive is converted or
  // skipped as a duplicate, as if it came from outside at that moment.
  void RaiseWhenDone(int signal) { signal_when_done_ = signal; }

  // A line that always reaches stderr, also when quiet.
  void Say(const std::string& message) {
    std::lock_guard lock(mutex_);
    ClearProgress();
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    DrawProgress();
  }

  void ArchiveFailed(std::size_t, const QuellmarkError& error) override {
    {
      std::lock_guard lock(mutex_);
      ++finished_;
    }
    Error(error.what());
  }

  void Error(const std::string& message) {
    std::lock_guard lock(mutex_);
    ClearProgress();
    std::fprintf(stderr, "%s: error: %s\n", kProgram, message.c_str());
    DrawProgress();
  }

  // Ends the progress line and, unless quiet, sums up the run; `file`: the
  // one file every sheet went into; `file_left`: the one file they were to
  // go into, which was not put in place.
  void Finish(const std::string& file = {}, const std::string& file_left = {}) {
    std::lock_guard lock(mutex_);
    tally_.file = file;
    tally_.file_left = file_left;
    ClearProgress();
    progress_ = false;
    if (!quiet_) std::fprintf(stderr, "%s\n", SummaryLine(kProgram, tally_).c_str());
  }

 private:
  void RaiseIfDone() {
    if (signal_when_done_ != 0 && tally_.converted + tally_.duplicates == total_) {
      raise(signal_when_done_);
    }
  }
  void DrawProgress() {
    if (!progress_ || archive_.empty()) return;
    std::string line =
        ProgressHead(index_ + 1, total_, finished_, std::chrono::steady_clock::now() - start_) +
        " " + archive_;
    if (!layer_.empty()) line += " " + layer_;
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }
  void ClearProgress() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
  }

  std::mutex mutex_;
  bool quiet_;
  bool progress_;
  bool drawn_ = false;
  std::size_t total_;
  std::size_t index_ = 0;
  std::size_t finished_ = 0;
  std::string archive_;
  std::string layer_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  RunTally tally_;
  int signal_when_done_ = 0;
  std::set<std::string> tables_;  // where + NUL + layer code
  std::set<std::string, std::less<>> datum_operations_;
};

int BadArguments(const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
  return 2;
}

// An option that takes a value: "--name VALUE", "--name=VALUE" or its short
// form with the value next.
struct Option {
  const char* name = nullptr;             // null: `arg` is none of them
  const char* wants = "";                 // what its value is, for the message
  std::optional<std::string_view> value;  // none when it is missing
};

Option TakeOption(std::string_view arg, int& i, int argc, char** argv) {
  static constexpr struct {
    const char* name;
    const char* alias;
    const char* wants;
  } kOptions[] = {
      {"--jobs", "-j", "a number from 1 to 256"},
      {"--output", "-o", "a folder or a .gpkg file"},
      {"--datum", "", "a value: tokyo|jgd2000"},
      {"--layers", "", "a list of layer codes"},
      {"--crs", "", "EPSG:CODE (--crs EPSG:6677)"},
      {"--plane-zone", "", "a zone from 1 to 19"},
      {"--format", "", "a format id"},
  };
  for (const auto& option : kOptions) {
    const std::string_view name = option.name;
    if (arg == name || (*option.alias != '\0' && arg == option.alias)) {
      if (i + 1 >= argc) return {option.name, option.wants, std::nullopt};
      return {option.name, option.wants, std::string_view(argv[++i])};
    }
    if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
      return {option.name, option.wants, arg.substr(name.size() + 1)};
    }
  }
  return {};
}

// A whole decimal number, or -1.
long Number(const std::string& text) {
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  return text.empty() || *end != '\0' || text[0] == '-' || text[0] == '+' ? -1 : number;
}

// Returns -1 when the arguments are good, else the exit code.
int ParseArguments(int argc, char** argv, Arguments& args) {
  bool options_done = false;
  std::optional<std::string> crs_option;  // --crs or --plane-zone, whichever came
  int plane_zone = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      const std::vector<std::string> archives = ArchivesUnder(std::string(arg));
      if (archives.empty()) return BadArguments("no .lzh archive under " + std::string(arg));
      args.batch.archives.insert(args.batch.archives.end(), archives.begin(), archives.end());
      continue;
    }
    if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(Usage(args.formats).c_str(), stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s (Quellmark) %s\n", kProgram, kVersion);
      return 0;
    } else if (arg == "--keep-going") {
      args.batch.keep_going = true;
    } else if (arg == "--quiet" || arg == "-q") {
      args.quiet = true;
    } else if (arg == "--to-jgd2000") {
      args.batch.datum.to_jgd2000 = true;
    } else if (arg == "--keep-extracted") {
      args.batch.keep_extracted = true;
    } else if (arg == "--append") {
      args.batch.append = true;
    } else if (arg == "--overwrite") {
      args.overwrite = true;
    } else if (const Option option = TakeOption(arg, i, argc, argv); option.name != nullptr) {
      const std::string name = option.name;
      if (!option.value) return BadArguments(name + " needs " + option.wants);
      const std::string value(*option.value);
      if (name == "--jobs") {
        const long jobs = Number(value);
        if (jobs < 1 || jobs > 256) {
          return BadArguments("--jobs takes a number from 1 to 256, not '" + value + "'");
        }
        args.batch.jobs = static_cast<unsigned>(jobs);
      } else if (name == "--output") {
        if (value.empty()) return BadArguments("--output needs " + std::string(option.wants));
        args.batch.output_dir = value;
      } else if (name == "--datum") {
        if (value == "tokyo") {
          args.batch.datum.label = DatumLabel::kTokyo;
        } else if (value == "jgd2000") {
          args.batch.datum.label = DatumLabel::kJgd2000;
        } else {
          return BadArguments("unknown datum '" + value + "' (use tokyo|jgd2000)");
        }
      } else if (name == "--layers") {
        try {
          args.batch.layers = LayerSelection::Parse(value);
        } catch (const std::invalid_argument& e) {
          return BadArguments(std::string("--layers: ") + e.what());
        }
      } else if (name == "--crs" || name == "--plane-zone") {
        if (crs_option && *crs_option != name) {
          return BadArguments("--crs and --plane-zone name the same thing: give one");
        }
        crs_option = name;
        std::string prefix = value.substr(0, 5);
        for (char& c : prefix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const bool zone = name == "--plane-zone";
        const long number = zone ? Number(value) : prefix == "EPSG:" ? Number(value.substr(5)) : -1;
        if (number <= 0 || number > 999999) {
          return BadArguments(name + " takes " + option.wants + ", not '" + value + "'");
        }
        (zone ? plane_zone : args.batch.datum.projected_epsg) = static_cast<int>(number);
      } else if (name == "--format") {
        args.batch.format = FindOutputFormat(args.formats.all, value);
        if (args.batch.format == nullptr) {
          return BadArguments("unknown format '" + value + "' (use " + FormatIds(args.formats) +
                              ")");
        }
      }
    } else {
      return BadArguments("unknown option '" + std::string(arg) + "'");
    }
  }
  if (args.batch.archives.empty()) return BadArguments("no archive given");
  if (plane_zone != 0) {
    try {
      args.batch.datum.projected_epsg = PlaneZoneEpsg(plane_zone, args.batch.datum.Declared());
    } catch (const std::invalid_argument& e) {
      return BadArguments(std::string("--plane-zone: ") + e.what());
    }
  }
  const bool format_named = args.batch.format != nullptr;
  if (args.batch.format == nullptr) args.batch.format = &args.formats.fallback;
  if (const OutputFormat* gathering = CollectionFormat(args.formats, args.batch.output_dir)) {
    if (!format_named) args.batch.format = gathering;
    if (!args.batch.format->NamesCollection(args.batch.output_dir)) {
      return BadArguments("--output " + args.batch.output_dir + " gathers every sheet into one " +
                          std::string(gathering->label()) + "; --format " +
                          std::string(args.batch.format->id()) + " cannot");
    }
    args.batch.output_file = std::move(args.batch.output_dir);
    args.batch.output_dir.clear();
  }
  if (args.batch.keep_extracted && args.batch.output_dir.empty() &&
      args.batch.output_file.empty()) {
    return BadArguments("--keep-extracted goes with --output");
  }
  if ((args.batch.append || args.overwrite) && args.batch.output_file.empty()) {
    return BadArguments(std::string(args.batch.append ? "--append" : "--overwrite") +
                        " goes with --output FILE.gpkg");
  }
  if (args.batch.append && args.overwrite) {
    return BadArguments("--append keeps what the file holds, --overwrite replaces it: not both");
  }
  try {
    CheckBatchOptions(args.batch);
  } catch (const std::invalid_argument& e) {
    return BadArguments(e.what());
  }
  // A file Quellmark did not write is never replaced or added to unasked.
  if (!args.batch.output_file.empty() && !args.overwrite &&
      args.batch.format->FindCollectionFile(args.batch.output_file) == CollectionFile::kOther) {
    return BadArguments(args.batch.output_file + ": not a " +
                        std::string(args.batch.format->label()) + " Quellmark wrote; " +
                        (args.batch.append ? "nothing is added to it"
                                           : "it is left as it is (--overwrite replaces it)"));
  }
  return -1;
}

// SIGINT and SIGTERM ask the batch to stop at its next safe point; a second
// one ends the program at once, as it would have without us.
std::atomic<bool> stop_requested{false};
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void OnStopSignal(int signal_number) {
  stop_signal = signal_number;
  stop_requested.store(true);
  std::signal(signal_number, SIG_DFL);
}

// Also unblocks them: a program started with them blocked would otherwise
// never stop, and one sent before now is taken here.
extern "C" void CatchStopSignals(int, char**, char**) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

// Run before the initialisation of any library the program uses (GDAL,
// PROJ, SQLite, ...), which takes some milliseconds: the entries of
// .preinit_array are the first code of the program the system runs, so a
// signal in that time is a stop like any other, not the end of the program.
using StartFunction = void (*)(int, char**, char**);
__attribute__((section(".preinit_array"), used)) StartFunction catch_stop_signals_first =
    CatchStopSignals;

const char* StopSignalName() { return stop_signal == SIGTERM ? "SIGTERM" : "SIGINT"; }

// The environment's QUELLMARK_TEST_SIGNAL_WHEN_DONE, SIGINT or SIGTERM by
// number, or 0: lets the tests stop a run right after its last archive.
int SignalWhenDone() {
  const char* value = std::getenv("QUELLMARK_TEST_SIGNAL_WHEN_DONE");
  const int signal_number = value == nullptr ? 0 : std::atoi(value);
  return signal_number == SIGINT || signal_number == SIGTERM ? signal_number : 0;
}

}  // namespace

namespace quellmark {

int ConvertMain(int argc, char** argv, std::span<const OutputFormat* const> formats,
                const OutputFormat& default_format) {
  // The handlers are in place (catch_stop_signals_first): a stop asked for
  // at any moment of the run is honoured.
  static_assert(std::atomic<bool>::is_always_lock_free);
  const Formats offered{formats, default_format};
  Arguments args(offered);
  if (int code = ParseArguments(argc, argv, args); code >= 0) return code;

  Console console(args.quiet, args.batch.archives.size());
  console.RaiseWhenDone(SignalWhenDone());
  Unlha32 library(&console);
  if (!library.loaded()) {
    // Without it nothing could be extracted; converting what an earlier run
    // left in the extraction folders would pass off old data as the archive's.
    console.Error("cannot load the archive library " + std::string(Unlha32::kDefaultLibrary) +
                  ": " + library.load_error());
    return 1;
  }
  // The output folder, or the one file's folder, is made when missing, unless
  // the run was stopped already.
  const std::string output_folder =
      !args.batch.output_dir.empty()
          ? args.batch.output_dir
          : std::filesystem::path(args.batch.output_file).parent_path().string();
  if (!output_folder.empty() && !stop_requested.load()) {
    std::error_code error;
    std::filesystem::create_directories(output_folder, error);
    if (error) {
      console.Error(output_folder + ": cannot create the output folder: " + error.message());
      return 1;
    }
  }
  if (!args.batch.output_file.empty() && !args.batch.append && !args.quiet &&
      args.batch.format->FindCollectionFile(args.batch.output_file) == CollectionFile::kOurs) {
    std::fprintf(stderr, "%s: %s: the sheets it holds are replaced (--append adds to them)\n",
                 kProgram, args.batch.output_file.c_str());
  }
  BatchServices services{library, &console, &console, nullptr, {}};
  services.stop = &stop_requested;
  const std::string file = args.batch.output_file.empty()
                               ? std::string()
                               : std::filesystem::absolute(args.batch.output_file).string();
  try {
    const BatchResult result = RunBatch(args.batch, services);
    if (result.interrupted) {
      console.Say(std::string("stopped by ") + StopSignalName() + "; " +
                  (file.empty() ? "the archives not converted keep their earlier tables"
                                : file + " is as it was"));
      console.Finish({}, file);
      return 128 + static_cast<int>(stop_signal);
    }
    // Also a stop that came once the batch had returned: nothing was left
    // to cut short.
    if (result.stopped_after_outputs || stop_requested.load()) {
      console.Say(std::string(StopSignalName()) +
                  " came after every output was in place; nothing was cut short");
    }
    const bool file_written = !file.empty() && result.converted > 0;
    console.Finish(file_written ? file : std::string(),
                   file.empty() || file_written ? std::string() : file);
    return result.failed == 0 ? 0 : 1;
  } catch (const std::exception& error) {
    console.Error(error.what());
    console.Finish({}, file);
    return 1;
  }
}

}  // namespace quellmark
