#include "cli/report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

namespace quellmark {
namespace {

using namespace std::chrono_literals;

RunTally Tally(std::size_t archives, std::size_t started, std::size_t converted, std::size_t tables,
               std::size_t warnings, std::set<std::string> folders) {
  RunTally tally;
  tally.archives = archives;
  tally.started = started;
  tally.converted = converted;
  tally.tables = tables;
  tally.warnings = warnings;
  tally.table_folders = std::move(folders);
  return tally;
}

TEST(ReportTest, SummaryLine) {
  const auto tally = [](std::size_t archives, std::size_t started, std::size_t converted,
                        std::size_t duplicates, std::size_t tables, std::size_t warnings,
                        std::set<std::string> folders, std::string file = {},
                        std::string file_left = {}) {
    RunTally t = Tally(archives, started, converted, tables, warnings, std::move(folders));
    t.duplicates = duplicates;
    t.file = std::move(file);
    t.file_left = std::move(file_left);
    return t;
  };
  const struct {
    const char* what;
    RunTally tally;
    std::string line;
  } cases[] = {
      {"one archive", tally(1, 1, 1, 0, 17, 3, {"/data/maps"}),
       "q: 1 archive converted, 0 failed, 17 tables, 3 warnings; tables in /data/maps"},
      {"stopped at the second archive: the third was never tried", tally(3, 2, 1, 0, 1, 1, {"/a"}),
       "q: 1 archive converted, 1 failed, 1 not tried, 1 table, 1 warning; tables in /a"},
      {"several folders", tally(4, 4, 2, 0, 34, 0, {"/a", "/b"}),
       "q: 2 archives converted, 2 failed, 34 tables, 0 warnings; tables beside each archive"},
      {"nothing converted", tally(1, 1, 0, 0, 0, 0, {}),
       "q: 0 archives converted, 1 failed, 0 tables, 0 warnings"},
      {"stopped before it began", tally(2, 0, 0, 0, 0, 0, {}),
       "q: 0 archives converted, 0 failed, 2 not tried, 0 tables, 0 warnings"},
      {"one archive listed twice", tally(2, 1, 1, 1, 17, 1, {"/a"}),
       "q: 1 archive converted, 0 failed, 1 skipped as a duplicate, 17 tables, 1 warning; "
       "tables in /a"},
      {"duplicates, a failure and a place never tried", tally(6, 3, 2, 2, 34, 2, {"/a", "/b"}),
       "q: 2 archives converted, 1 failed, 2 skipped as duplicates, 1 not tried, 34 tables, "
       "2 warnings; tables beside each archive"},
      {"one file", tally(3, 3, 3, 0, 17, 0, {"/a"}, "/a/all.gpkg"),
       "q: 3 archives converted, 0 failed, 17 tables, 0 warnings; all in /a/all.gpkg"},
      {"the one file was not put in place: what was converted for it is not kept",
       tally(5, 3, 2, 1, 34, 1, {"/a"}, {}, "/a/all.gpkg"),
       "q: 0 archives converted, 2 not kept, 1 failed, 1 skipped as a duplicate, 1 not tried, "
       "0 tables, 1 warning; /a/all.gpkg left as it was"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SummaryLine("q", c.tally), c.line);
  }
}

TEST(ReportTest, TableFolderIsAbsoluteAndPlain) {
  const std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(TableFolder("/data/maps/533945"), "/data/maps");
  EXPECT_EQ(TableFolder("/data/./maps/../maps/533945"), "/data/maps");
  EXPECT_EQ(TableFolder("/533945"), "/");
  EXPECT_EQ(TableFolder("533945"), here);
  EXPECT_EQ(TableFolder("./maps/533945"), here + "/maps");
}

TEST(ReportTest, ProgressHead) {
  struct Case {
    std::size_t position, total, finished;
    std::chrono::steady_clock::duration elapsed;
    std::string head;
  };
  const Case cases[] = {
      {2, 3, 1, 10s, "[2/3]"},                     // a few: no share, no estimate
      {1, 40, 0, 5s, "[1/40 0%]"},                 // nothing finished: no estimate yet
      {3, 40, 2, 13s, "[3/40 5%, 4:07 left]"},     // 6.5 s each, 38 to go
      {10, 10, 9, 1ms, "[10/10 90%, 0:01 left]"},  // under a second rounds up
      {5, 2000, 4, 10s, "[5/2000 0%, 1:23:10 left]"},
      {8, 8, 8, 60s, "[8/8 100%]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressHead(c.position, c.total, c.finished, c.elapsed), c.head);
  }
}

}  // namespace
}  // namespace quellmark
