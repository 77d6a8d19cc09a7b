// Faults around a run, end to end: a run killed at any moment, and two runs
// of one archive at once, each leave the sheet's tables whole: the earlier
// ones or the new ones, byte for byte.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
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

}  // namespace
}  // namespace quellmark
