// Faults around a run, end to end: a run killed at any moment, and two runs
// of one archive at once, each leave the sheet's tables whole: the earlier
// ones or the new ones, byte for byte; and every file is on disk before it
// is renamed into place, so a power cut leaves them whole too.
#include <gtest/gtest.h>
#include <link.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
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
using testing::RunningProgram;
using testing::RunProgram;
using testing::TempDir;
using Tree = std::map<std::string, std::string>;
using testing::Differing;

// A generated sheet as the archive `folder`/s.lzh.
void PackSheet(const fs::path& folder, gen::SheetSize size, std::uint64_t seed) {
  gen::GeneratorOptions options;
  options.size = size;
  options.seed = seed;
  std::vector<lhatest::Member> members;
  for (const auto& file : gen::GenerateLayerSet(options).files) {
    members.emplace_back("s" + file.name.substr(6), file.bytes);
  }
  fs::create_directories(folder);
  testing::WriteFile((folder / "s.lzh").string(), lhatest::BuildLevel2(members));
}

// The tables beside the archive: everything but the archive and its
// extraction folder.
Tree Tables(const fs::path& folder) {
  Tree tree = testing::ReadTree(folder.string());
  std::erase_if(tree, [](const auto& entry) {
    return entry.first == "s.lzh" || entry.first.rfind("s/", 0) == 0;
  });
  return tree;
}

// Whether a file named `name` stands in a staging folder of the sheet.
bool Staged(const fs::path& folder, const std::string& name) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string staging = entry.path().filename().string();
    if (staging.rfind(".s.quellmark-", 0) == 0 && fs::exists(entry.path() / name)) return true;
  }
  return false;
}

// Whether a hidden GeoPackage of the sheet (".s.quellmark-PID-N.gpkg") is
// being built.
bool StagedGeoPackage(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".s.quellmark-", 0) == 0 && entry.path().extension() == ".gpkg") return true;
  }
  return false;
}

// Waits, at most a minute, until `seen` holds.
template <typename Seen>
bool WaitFor(Seen seen) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!seen()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// What a run says when a stop came only once every output was in place.
constexpr std::string_view kStopAfterOutputs = "came after every output was in place";

// The test hook that raises a signal in the program once every listed
// archive is done.
std::string SignalWhenDone(int signal) {
  return "QUELLMARK_TEST_SIGNAL_WHEN_DONE=" + std::to_string(signal);
}

// The program `name` found on PATH, or empty.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string program = (fs::path(folder.empty() ? "." : folder) / name).string();
    if (access(program.c_str(), X_OK) == 0) return program;
  }
  return {};
}

// A flush (fsync, fdatasync) of the file or folder `path`, or a rename of
// `from` onto `path`, as strace -y logged it.
struct Call {
  bool rename = false;
  std::string from;
  std::string path;
};

std::vector<Call> TracedCalls(const std::string& log) {
  // With -y a descriptor shows its path: fsync(4</tmp/x/a.shp>).
  static const std::regex flush(R"re(^\d+ +f(?:data)?sync\(\d+<([^>]*)>)re");
  static const std::regex rename(R"re(^\d+ +rename\("([^"]*)", "([^"]*)")re");
  static const std::regex rename_at(
      R"re(^\d+ +renameat2?\((?:\d+|AT_FDCWD)(?:<([^>]*)>)?, "([^"]*)", )re"
      R"re((?:\d+|AT_FDCWD)(?:<([^>]*)>)?, "([^"]*)")re");
  const auto join = [](const std::string& folder, const std::string& name) {
    return folder.empty() || name.starts_with('/') ? name : folder + "/" + name;
  };
  std::vector<Call> calls;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, flush)) {
      calls.push_back({false, "", m[1]});
    } else if (std::regex_search(line, m, rename)) {
      calls.push_back({true, m[1], m[2]});
    } else if (std::regex_search(line, m, rename_at)) {
      calls.push_back({true, join(m[1], m[2]), join(m[3], m[4])});
    }
  }
  return calls;
}

class Faults : public ::testing::Test {
 protected:
  ProgramResult Convert(const fs::path& folder, const std::string& format) {
    return RunProgram(QUELLMARK_CONVERT, {"--format", format, (folder / "s.lzh").string()});
  }
  TempDir dir;
};

// When a run is stopped. SIGINT and SIGTERM are honoured at any moment: a
// run they cut short removes what it wrote, names the archive and exits
// 128 + the signal, every earlier table as it was byte for byte; one that
// comes only once every table is in place cuts nothing short, and the run
// says so and exits 0. SIGKILL: the run leaves its staging folder, which
// the next run removes.
enum class Moment {
  kAtStart,            // sent before the program ran a line of its own
  kLibrariesStarting,  // raised while the libraries of the program are initialised
  kWhileWriting,       // once the table `staged` is being written
  kOutputsPlaced,      // once every table is in place, from within the program
};

// Notes the path of the AddressSanitizer runtime among the shared objects
// of this process, if it is one of them.
int FindAsanRuntime(dl_phdr_info* info, std::size_t, void* found) {
  const std::string path = info->dlpi_name != nullptr ? info->dlpi_name : "";
  if (fs::path(path).filename().string().rfind("libasan.so", 0) == 0) {
    *static_cast<std::string*>(found) = path;
  }
  return 0;
}

// What LD_PRELOAD holds to run the library raising a signal at load: after
// the AddressSanitizer runtime when the tests run with it, which must come
// first in the program's libraries.
std::string PreloadSignalAtLoad() {
  std::string asan;
  dl_iterate_phdr(FindAsanRuntime, &asan);
  return "LD_PRELOAD=" + (asan.empty() ? "" : asan + " ") + QUELLMARK_SIGNAL_AT_LOAD;
}

// Runs the program with `args`, sending `signal` at `moment` (kWhileWriting:
// as soon as `writing` holds); nothing when `writing` was never seen.
std::optional<ProgramResult> RunStoppedAt(const std::vector<std::string>& args, Moment moment,
                                          int signal, const std::function<bool()>& writing) {
  testing::ProgramStart start;
  if (moment == Moment::kAtStart) start.blocked_signals = {signal};
  if (moment == Moment::kOutputsPlaced) start.environment = {SignalWhenDone(signal)};
  if (moment == Moment::kLibrariesStarting) {
    start.environment = {PreloadSignalAtLoad(),
                         "QUELLMARK_TEST_SIGNAL_AT_LOAD=" + std::to_string(signal)};
  }
  RunningProgram run(QUELLMARK_CONVERT, args, start);
  if (moment == Moment::kAtStart) {
    // Pending from the start: taken as soon as the program can take it.
    kill(run.pid(), signal);
  } else if (moment == Moment::kWhileWriting) {
    if (!WaitFor(writing)) return std::nullopt;
    kill(run.pid(), signal);
  }
  return run.Wait();
}

TEST_F(Faults, AStoppedRunLeavesTheEarlierTablesAndSaysWhatItDid) {
  struct Case {
    int signal;
    const char* format;
    Moment moment;
    const char* staged = "";  // kWhileWriting: the table whose staged file triggers the signal
  } cases[] = {
      {SIGINT, "tab", Moment::kWhileWriting, "sCM.tab"},
      {SIGINT, "shape", Moment::kWhileWriting, "sMH.shp"},
      {SIGINT, "gpkg", Moment::kWhileWriting, "s.gpkg"},
      {SIGTERM, "tab", Moment::kWhileWriting, "sMH.tab"},
      {SIGTERM, "shape", Moment::kWhileWriting, "sCM.shp"},
      {SIGKILL, "shape", Moment::kWhileWriting, "sMH.shp"},
      {SIGKILL, "tab", Moment::kWhileWriting, "sCM.tab"},
      {SIGINT, "tab", Moment::kAtStart},
      {SIGTERM, "gpkg", Moment::kAtStart},
      {SIGINT, "shape", Moment::kLibrariesStarting},
      {SIGTERM, "tab", Moment::kLibrariesStarting},
      {SIGINT, "shape", Moment::kOutputsPlaced},
      {SIGTERM, "tab", Moment::kOutputsPlaced},
      {SIGINT, "gpkg", Moment::kOutputsPlaced},
  };
  for (const Case& c : cases) {
    const char* moments[] = {"at start", "while the libraries start", "while writing",
                             "once the tables are in place"};
    SCOPED_TRACE(std::string(strsignal(c.signal)) + ", " + c.format + ", " +
                 moments[static_cast<int>(c.moment)] + " " + c.staged);
    const std::string name =
        std::to_string(c.signal) + c.format + std::to_string(static_cast<int>(c.moment)) + c.staged;
    const fs::path folder = dir.path() / name;
    const fs::path fresh = dir.path() / (name + "-fresh");
    PackSheet(fresh, gen::SheetSize::kMedian, 2);
    ASSERT_EQ(Convert(fresh, c.format).exit_code, 0);
    const Tree later = Tables(fresh);
    PackSheet(folder, gen::SheetSize::kSmall, 1);
    ASSERT_EQ(Convert(folder, c.format).exit_code, 0);
    const Tree earlier = Tables(folder);
    const Tree extracted = testing::ReadTree((folder / "s").string());

    PackSheet(folder, gen::SheetSize::kMedian, 2);
    const std::vector<std::string> args = {"--format", c.format, (folder / "s.lzh").string()};
    const auto run = RunStoppedAt(args, c.moment, c.signal, [&] {
      return std::string_view(c.format) == "gpkg" ? StagedGeoPackage(folder)
                                                  : Staged(folder, c.staged);
    });
    ASSERT_TRUE(run) << "never saw the table being written";
    const ProgramResult& r = *run;
    if (c.signal == SIGKILL) {
      EXPECT_EQ(r.signal, SIGKILL);
      Tree tables = Tables(folder);
      const auto left = std::erase_if(
          tables, [](const auto& entry) { return entry.first.rfind(".s.quellmark-", 0) == 0; });
      EXPECT_GT(left, 0u) << "the killed run's staging folder";
      EXPECT_EQ(Differing(tables, earlier), std::vector<std::string>{});
      // The next run removes what the killed one left, and converts.
      ASSERT_EQ(Convert(folder, c.format).exit_code, 0);
      EXPECT_EQ(Differing(Tables(folder), later), std::vector<std::string>{});
      continue;
    }
    EXPECT_EQ(r.signal, 0) << "the signal ended the program instead of stopping the batch";
    if (c.moment == Moment::kOutputsPlaced) {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_NE(r.err.find(kStopAfterOutputs), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("1 archive converted"), std::string::npos) << r.err;
      if (std::string_view(c.format) == "gpkg") {
        // A GeoPackage records when it was written: the new one, read back.
        EXPECT_FALSE(Differing(Tables(folder), earlier).empty());
        EXPECT_EQ(testing::FeatureCount((folder / "s.gpkg").string()),
                  testing::FeatureCount((fresh / "s.gpkg").string()));
      } else {
        EXPECT_EQ(Differing(Tables(folder), later), std::vector<std::string>{});
      }
      continue;
    }
    EXPECT_EQ(r.exit_code, 128 + c.signal) << r.err;
    EXPECT_EQ(r.err.find(kStopAfterOutputs), std::string::npos) << r.err;
    EXPECT_EQ(Differing(Tables(folder), earlier),
              std::vector<std::string>{});  // no staging folder or lock left either
    if (c.moment == Moment::kAtStart || c.moment == Moment::kLibrariesStarting) {
      // Not even extracted.
      EXPECT_EQ(Differing(testing::ReadTree((folder / "s").string()), extracted),
                std::vector<std::string>{});
      EXPECT_NE(r.err.find("0 archives converted, 0 failed, 1 not tried"), std::string::npos)
          << r.err;
    } else {
      EXPECT_NE(r.err.find("s.lzh: interrupted"), std::string::npos) << r.err;
    }
  }
}

// A run writing every sheet into one GeoPackage (--output FILE.gpkg) that a
// stop cuts short leaves the earlier file byte for byte, also when the stop
// comes once every archive is converted and the file is still to be
// completed, and the summary says the file is as it was.
TEST_F(Faults, AStoppedRunLeavesTheEarlierGeoPackage) {
  struct Case {
    int signal;
    Moment moment;  // kWhileWriting: once the hidden file is being built
  } cases[] = {
      {SIGINT, Moment::kWhileWriting},
      {SIGTERM, Moment::kAtStart},
      {SIGTERM, Moment::kOutputsPlaced},  // every archive done, the file not yet complete
  };
  std::vector<std::string> archives;
  for (int i = 0; i < 3; ++i) {
    const fs::path sheet = dir.path() / ("sheet" + std::to_string(i));
    PackSheet(sheet, gen::SheetSize::kSmall, 10 + i);
    archives.push_back((sheet / "s.lzh").string());
  }
  const fs::path file = dir.path() / "out/all.gpkg";
  std::vector<std::string> args = {"--output", file.string()};
  args.insert(args.end(), archives.begin(), archives.end());
  ASSERT_EQ(RunProgram(QUELLMARK_CONVERT, args).exit_code, 0);
  const Tree earlier = testing::ReadTree(file.parent_path().string());
  for (int i = 0; i < 3; ++i)
    PackSheet(dir.path() / ("sheet" + std::to_string(i)), gen::SheetSize::kMedian, 20 + i);

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + ", moment " +
                 std::to_string(static_cast<int>(c.moment)));
    const auto run = RunStoppedAt(args, c.moment, c.signal, [&] {
      for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        if (entry.path().filename().string().rfind(".all.quellmark-", 0) == 0) return true;
      }
      return false;
    });
    ASSERT_TRUE(run) << "never saw the file being built";
    const ProgramResult& r = *run;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 128 + c.signal) << r.err;
    EXPECT_EQ(Differing(testing::ReadTree(file.parent_path().string()), earlier),
              std::vector<std::string>{});
    EXPECT_NE(r.err.find("0 archives converted"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(file.string() + " left as it was"), std::string::npos) << r.err;
  }
}

// A stop while a GeoPackage is completed (the rows of the sheets queued for
// the one file's writer, the spatial indexes built as the file is closed)
// is honoured too: at any share of the time an uninterrupted run takes, the
// run exits 128 + the signal and the earlier file stays byte for byte.
TEST_F(Faults, AStopWhileAGeoPackageIsCompletedIsHonoured) {
  struct Case {
    int signal;
    bool one_file;  // --output FILE.gpkg over five sheets; else one sheet's own file
    double share;   // of the time an uninterrupted run takes
  } cases[] = {
      {SIGINT, true, 0.3},
      {SIGTERM, true, 0.5},
      {SIGINT, false, 0.3},
      {SIGTERM, false, 0.5},
  };
  const int sheets = 5;
  for (int i = 0; i < sheets; ++i) {
    PackSheet(dir.path() / ("sheet" + std::to_string(i)), gen::SheetSize::kSmall, 30 + i);
  }
  std::vector<std::string> one_file = {"--output", (dir.path() / "out/all.gpkg").string()};
  for (int i = 0; i < sheets; ++i) {
    one_file.push_back((dir.path() / ("sheet" + std::to_string(i)) / "s.lzh").string());
  }
  const std::vector<std::string> own_file = {"--format", "gpkg",
                                             (dir.path() / "sheet0/s.lzh").string()};
  const fs::path out = dir.path() / "out";
  const fs::path sheet = dir.path() / "sheet0";
  ASSERT_EQ(RunProgram(QUELLMARK_CONVERT, one_file).exit_code, 0);
  ASSERT_EQ(RunProgram(QUELLMARK_CONVERT, own_file).exit_code, 0);
  const Tree earlier_file = testing::ReadTree(out.string());
  const Tree earlier_own = Tables(sheet);
  for (int i = 0; i < sheets; ++i) {
    PackSheet(dir.path() / ("sheet" + std::to_string(i)), gen::SheetSize::kMedian, 40 + i);
  }
  // How long each run takes, uninterrupted, into a folder of its own.
  std::map<bool, double> seconds;
  for (const bool one : {true, false}) {
    std::vector<std::string> args = one ? one_file : own_file;
    const std::string output = (dir.path() / "timing" / (one ? "all.gpkg" : "own")).string();
    if (one) {
      args[1] = output;
    } else {
      args.insert(args.begin(), {"--output", output});
    }
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(RunProgram(QUELLMARK_CONVERT, args).exit_code, 0);
    seconds[one] = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.one_file ? ", one file" : ", own file") +
                 " at " + std::to_string(c.share));
    RunningProgram run(QUELLMARK_CONVERT, c.one_file ? one_file : own_file);
    std::this_thread::sleep_for(std::chrono::duration<double>(c.share * seconds[c.one_file]));
    kill(run.pid(), c.signal);
    const ProgramResult r = run.Wait();
    EXPECT_EQ(r.exit_code, 128 + c.signal) << r.err;
    if (c.one_file) {
      EXPECT_EQ(Differing(testing::ReadTree(out.string()), earlier_file),
                std::vector<std::string>{});
    } else {
      EXPECT_EQ(Differing(Tables(sheet), earlier_own), std::vector<std::string>{});
    }
  }
}

// Whether a staging folder of the run `pid` stands in `folder`.
bool StagedBy(const fs::path& folder, pid_t pid) {
  const std::string prefix = ".s.quellmark-" + std::to_string(pid) + "-";
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_directory() && entry.path().filename().string().rfind(prefix, 0) == 0) {
      return true;
    }
  }
  return false;
}

// Two runs of one archive at once take turns: a run started while another
// is converting the archive says so and converts nothing until the other
// has finished; and one batch naming it twice by two paths with --jobs 2
// converts it once. Each run exits 0 without a false warning, and the
// tables are those of a run alone.
TEST_F(Faults, TwoRunsOfOneArchiveAtOnce) {
  const fs::path alone = dir.path() / "alone";
  PackSheet(alone, gen::SheetSize::kMedian, 3);
  ASSERT_EQ(Convert(alone, "shape").exit_code, 0);
  const Tree expected = Tables(alone);

  const fs::path folder = dir.path() / "twice";
  PackSheet(folder, gen::SheetSize::kMedian, 3);
  const std::string archive = (folder / "s.lzh").string();
  const std::vector<std::string> args = {"--format", "shape", archive};
  const std::string waiting = "s.lzh: another run is converting this archive; waiting for it";
  {
    // The first run is held still while its sheet is staged, so the
    // second surely starts while it converts.
    std::optional<RunningProgram> first;
    for (int attempt = 0; attempt < 5 && !first; ++attempt) {
      first.emplace(QUELLMARK_CONVERT, args);
      const pid_t pid = first->pid();
      ASSERT_TRUE(WaitFor([&] { return StagedBy(folder, pid); })) << first->Wait().err;
      kill(pid, SIGSTOP);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
      ASSERT_TRUE(WIFSTOPPED(status));
      if (StagedBy(folder, pid)) break;
      // Stopped just after its sheet was in place: once more.
      kill(pid, SIGCONT);
      EXPECT_EQ(first->Wait().exit_code, 0);
      first.reset();
    }
    ASSERT_TRUE(first) << "never caught the first run converting";
    RunningProgram second(QUELLMARK_CONVERT, args);
    ASSERT_TRUE(WaitFor([&] {
      return second.ErrorSoFar().find(waiting) != std::string::npos ||
             StagedBy(folder, second.pid());
    }));
    EXPECT_NE(second.ErrorSoFar().find(waiting), std::string::npos)
        << "the second run did not wait: " << second.ErrorSoFar();
    EXPECT_FALSE(StagedBy(folder, second.pid())) << "both runs convert at once";
    kill(first->pid(), SIGCONT);
    for (RunningProgram* run : {&*first, &second}) {
      const ProgramResult r = run->Wait();
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.err.find("warning: s.lzh: layer"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("1 archive converted"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(Tables(folder), expected);

  const std::string other_path = (folder / "." / "s.lzh").string();
  const ProgramResult r =
      RunProgram(QUELLMARK_CONVERT, {"--format", "shape", "--jobs", "2", archive, other_path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("listed more than once; converted once"), std::string::npos) << r.err;
  EXPECT_EQ(Tables(folder), expected);
}

// A power cut after a rename must not find the file renamed but its data
// lost: every file the run puts in place by a rename (the tables, and the
// list files in the extraction folder) is flushed before its rename, and its
// folder after the last rename into it. A sheet's files are all flushed
// before the first of its tables' renames, so those follow one another.
TEST_F(Faults, EveryFileIsOnDiskBeforeItIsRenamedIntoPlace) {
  const std::string strace = FindProgram("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  // strace shows descriptors by their real paths.
  const fs::path root = fs::canonical(dir.path());
  for (const std::string format : {"shape", "tab", "gpkg"}) {
    SCOPED_TRACE(format);
    const fs::path folder = root / format;
    PackSheet(folder, gen::SheetSize::kSmall, 1);
    const std::string log = (root / (format + ".strace")).string();
    const ProgramResult r = RunProgram(
        strace, {"-f", "-y", "-s", "4096", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
                 // LeakSanitizer cannot look at a traced process.
                 "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", log, QUELLMARK_CONVERT, "--format",
                 format, (folder / "s.lzh").string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<Call> calls = TracedCalls(testing::ReadFile(log));

    std::vector<std::string> tables;
    for (const auto& entry : Tables(folder)) tables.push_back((folder / entry.first).string());
    ASSERT_FALSE(tables.empty());
    const std::vector<std::string>& kept = tables;
    const auto flushed_between = [&calls](const std::string& path, std::size_t from,
                                          std::size_t to) {
      for (std::size_t i = from; i < to && i < calls.size(); ++i) {
        if (!calls[i].rename && calls[i].path == path) return true;
      }
      return false;
    };
    // The last rename into each folder.
    std::map<std::string, std::size_t> last_rename;
    for (const std::string& file : kept) {
      SCOPED_TRACE(file);
      bool renamed = false;
      for (std::size_t i = 0; i < calls.size(); ++i) {
        if (!calls[i].rename || calls[i].path != file) continue;
        renamed = true;
        EXPECT_TRUE(flushed_between(calls[i].from, 0, i))
            << calls[i].from << " renamed without being flushed";
        const std::string parent = fs::path(file).parent_path().string();
        last_rename[parent] = std::max(last_rename[parent], i);
      }
      EXPECT_TRUE(renamed) << "never renamed into place";
    }
    for (const auto& [parent, at] : last_rename) {
      EXPECT_TRUE(flushed_between(parent, at + 1, calls.size()))
          << parent << " not flushed after its last rename";
    }
    // Nothing is flushed between the tables' first and last rename.
    std::size_t first = calls.size();
    std::size_t last = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].rename &&
          std::find(tables.begin(), tables.end(), calls[i].path) != tables.end()) {
        first = std::min(first, i);
        last = i;
      }
    }
    for (std::size_t i = first; i < last; ++i) {
      EXPECT_TRUE(calls[i].rename) << calls[i].path << " flushed between the tables' renames";
    }
  }
}

}  // namespace
}  // namespace quellmark
