// Faults around a run, end to end: a run killed at any moment, and two runs
// of one archive at once, each leave the sheet's tables whole: the earlier
// ones or the new ones, byte for byte; and every file is on disk before it
// is renamed into place, so a power cut leaves them whole too.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/lha_builder.h"
#include "support/run_program.h"
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

// SIGINT and SIGTERM: the run stops at the next line, removes what it
// wrote, names the archive and exits 128 + the signal. SIGKILL: the run
// leaves its staging folder, which the next run removes.
TEST_F(Faults, AKilledRunLeavesTheEarlierTables) {
  struct Case {
    int signal;
    const char* format;
    const char* staged;  // the table whose file, once staged, triggers the signal
  } cases[] = {
      {SIGINT, "tab", "sCM.tab"},    {SIGINT, "shape", "sMH.shp"},  {SIGTERM, "tab", "sMH.tab"},
      {SIGTERM, "shape", "sCM.shp"}, {SIGKILL, "shape", "sMH.shp"}, {SIGKILL, "tab", "sCM.tab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + ", " + c.format + ", at " + c.staged);
    const std::string name = std::to_string(c.signal) + c.format + c.staged;
    const fs::path folder = dir.path() / name;
    const fs::path fresh = dir.path() / (name + "-fresh");
    PackSheet(fresh, gen::SheetSize::kMedian, 2);
    ASSERT_EQ(Convert(fresh, c.format).exit_code, 0);
    const Tree later = Tables(fresh);
    PackSheet(folder, gen::SheetSize::kSmall, 1);
    ASSERT_EQ(Convert(folder, c.format).exit_code, 0);
    const Tree earlier = Tables(folder);

    PackSheet(folder, gen::SheetSize::kMedian, 2);
    RunningProgram run(QUELLMARK_CONVERT, {"--format", c.format, (folder / "s.lzh").string()});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Staged(folder, c.staged) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(Staged(folder, c.staged)) << "never saw the table being written";
    kill(run.pid(), c.signal);
    const ProgramResult r = run.Wait();
    if (c.signal == SIGKILL) {
      EXPECT_EQ(r.signal, SIGKILL);
      Tree tables = Tables(folder);
      const auto left = std::erase_if(
          tables, [](const auto& entry) { return entry.first.rfind(".s.quellmark-", 0) == 0; });
      EXPECT_GT(left, 0u) << "the killed run's staging folder";
      EXPECT_EQ(tables, earlier);
      // The next run removes what the killed one left, and converts.
      ASSERT_EQ(Convert(folder, c.format).exit_code, 0);
      EXPECT_EQ(Tables(folder), later);
    } else {
      EXPECT_EQ(r.signal, 0) << "the signal ended the program instead of stopping the batch";
      EXPECT_EQ(r.exit_code, 128 + c.signal) << r.err;
      EXPECT_NE(r.err.find("s.lzh: interrupted"), std::string::npos) << r.err;
      EXPECT_EQ(Tables(folder), earlier);  // no staging folder or lock left either
    }
  }
}

// Two runs of one archive at once, and one batch naming it twice by two
// paths with --jobs 2: each run exits 0 without a false warning, and the
// tables are those of a run alone.
TEST_F(Faults, TwoRunsOfOneArchiveAtOnce) {
  const fs::path alone = dir.path() / "alone";
  PackSheet(alone, gen::SheetSize::kMedian, 3);
  ASSERT_EQ(Convert(alone, "shape").exit_code, 0);
  const Tree expected = Tables(alone);

  const fs::path folder = dir.path() / "twice";
  PackSheet(folder, gen::SheetSize::kMedian, 3);
  const std::string archive = (folder / "s.lzh").string();
  {
    RunningProgram first(QUELLMARK_CONVERT, {"--format", "shape", archive});
    RunningProgram second(QUELLMARK_CONVERT, {"--format", "shape", archive});
    for (RunningProgram* run : {&first, &second}) {
      const ProgramResult r = run->Wait();
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.err.find("warning: s.lzh: layer"), std::string::npos) << r.err;
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
  for (const std::string format : {"shape", "tab"}) {
    SCOPED_TRACE(format);
    const fs::path folder = root / format;
    PackSheet(folder, gen::SheetSize::kSmall, 1);
    const std::string log = (root / (format + ".strace")).string();
    const ProgramResult r = RunProgram(
        strace, {"-f", "-y", "-s", "4096", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
                 "-o", log, QUELLMARK_CONVERT, "--format", format, (folder / "s.lzh").string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<Call> calls = TracedCalls(testing::ReadFile(log));

    std::vector<std::string> tables;
    for (const auto& entry : Tables(folder)) tables.push_back((folder / entry.first).string());
    ASSERT_FALSE(tables.empty());
    std::vector<std::string> kept = tables;
    for (const char* list : {"s_HA.txt", "s_TO.txt", "s_YO.txt"}) {
      kept.push_back((folder / "s" / list).string());
    }
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
