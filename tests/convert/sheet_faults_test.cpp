// A sheet's tables are all the earlier ones or all the new ones, whatever
// fails on the way: the disk filling up at any write, a rename of the
// commit failing, something not a file at a table's name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "convert/buffered_file.h"
#include "convert/durable.h"
#include "convert/sheet_conversion.h"
#include "export_shape/shapefile_format.h"
#include "export_tab/tab_format.h"
#include "sal/errors.h"
#include "support/test_support.h"
#include "tools/gen/layerset_generator.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;

using Tree = std::map<std::string, std::string>;
using testing::Differing;

class SheetFaults : public ::testing::Test {
 protected:
  // The generated sheet of `seed` as the layer set dir/533945/533945*.
  void WriteSheet(std::uint64_t seed) {
    gen::GeneratorOptions options;
    options.seed = seed;
    gen::WriteLayerSet(gen::GenerateLayerSet(options), dir.path() / "533945");
  }
  void Convert(const OutputFormat& format) {
    ExportContext context{state, &notifier, {}};
    ConvertSheet(dir / "533945/533945", dir / "533945", format, context);
  }
  // Everything beside the extraction folder.
  Tree Outputs() const {
    auto tree = testing::ReadTree(dir.str());
    std::erase_if(tree, [](const auto& entry) { return entry.first.rfind("533945/", 0) == 0; });
    return tree;
  }

  // On a file system in memory where there is one: the commits here are
  // many, and their flushes (tested end to end elsewhere) would make the
  // test wait on the disk for each.
  testing::TempDir dir{fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0
                           ? fs::path("/dev/shm")
                           : fs::temp_directory_path()};
  SheetState state;
  testing::RecordingNotifier notifier;
};

// The later edition has no DS layer: its commit removes the earlier DS
// table, so that no table of the sheet is left from another edition, and a
// commit that fails keeps it with the rest; the earlier one has no KO layer,
// and a commit that fails leaves no KO table. Whatever fails on the way (the
// disk filling up at any write, any rename of the commit, a folder or a
// FIFO at a table's name), every table stays as it was.
TEST_F(SheetFaults, AFailureAtAnyWriteOrRenameLeavesTheEarlierTablesWhole) {
  for (const OutputFormat* format : {&ShapefileFormat(), &TabFormat()}) {
    const std::string main = format == &TabFormat() ? ".tab" : ".shp";
    const auto write_earlier = [this] {
      WriteSheet(1);
      fs::remove(dir.path() / "533945/533945KO.sal");
    };
    const auto write_later = [this] {
      WriteSheet(2);
      fs::remove(dir.path() / "533945/533945DS.sal");
    };
    // The earlier tables, and how many writes the later ones take.
    fs::remove_all(dir.path());
    fs::create_directories(dir.path());
    write_earlier();
    Convert(*format);
    const auto earlier = Outputs();
    ASSERT_EQ(earlier.count("533945DS" + main), 1u);
    ASSERT_EQ(earlier.count("533945KO" + main), 0u);
    write_later();
    const std::uint64_t writes_before = BufferedFile::WritesSoFar();
    Convert(*format);
    const std::uint64_t writes = BufferedFile::WritesSoFar() - writes_before;
    const auto later = Outputs();
    ASSERT_NE(later, earlier);
    ASSERT_GT(writes, 3u);
    ASSERT_EQ(later.count("533945KO" + main), 1u);
    for (const auto& entry : later) {
      EXPECT_FALSE(entry.first.starts_with("533945DS.")) << entry.first;
    }

    const auto back_to_earlier = [&] {
      write_earlier();
      Convert(*format);
      ASSERT_EQ(Differing(Outputs(), earlier), std::vector<std::string>{});
      write_later();
    };
    // Converts the later edition, which is to fail with `error` (0: any)
    // naming `named` (empty: any), and leave `expected`.
    const auto expect_failure = [&](const std::string& what, int error, const std::string& named,
                                    const Tree& expected) {
      SCOPED_TRACE(std::string(format->id()) + ", " + what);
      try {
        Convert(*format);
        ADD_FAILURE() << "no OutputError";
      } catch (const OutputError& failure) {
        const std::string message = failure.what();
        if (error != 0) {
          EXPECT_NE(message.find(std::strerror(error)), std::string::npos) << message;
        }
        if (!named.empty()) {
          EXPECT_EQ(failure.file(), named) << message;
        }
        EXPECT_EQ(message.find(".quellmark-"), std::string::npos) << message;
      }
      BufferedFile::FailWritesFrom(0, 0);
      FailRenameAt(0, 0);
      // Nothing new, nothing lost, nothing left over.
      EXPECT_EQ(Differing(Outputs(), expected), std::vector<std::string>{});
    };

    back_to_earlier();
    for (const std::uint64_t nth : {std::uint64_t{1}, writes / 2, writes}) {
      BufferedFile::FailWritesFrom(BufferedFile::WritesSoFar() + nth, ENOSPC);
      expect_failure("write " + std::to_string(nth) + " of " + std::to_string(writes), ENOSPC, "",
                     earlier);
    }
    // Each rename of the commit in turn, where the earlier files get a
    // second name aside and where they are moved aside (FAT).
    for (const int link_error : {0, EPERM}) {
      FailLinks(link_error);
      const std::string names = link_error == 0 ? "second names" : "moved aside";
      const std::uint64_t renames_before = RenamesSoFar();
      Convert(*format);
      const std::uint64_t renames = RenamesSoFar() - renames_before;
      EXPECT_EQ(Differing(Outputs(), later), std::vector<std::string>{}) << names;
      ASSERT_GT(renames, 3u);
      back_to_earlier();
      for (std::uint64_t nth = 1; nth <= renames; ++nth) {
        FailRenameAt(RenamesSoFar() + nth, EACCES);
        expect_failure(names + ", rename " + std::to_string(nth) + " of " + std::to_string(renames),
                       EACCES, "", earlier);
      }
      FailLinks(0);
    }
    // A folder where a table in the middle of the sheet goes, and a FIFO
    // where the last one goes.
    for (const std::string code : {"DK", "YO"}) {
      back_to_earlier();
      const std::string obstacle = dir / ("533945" + code + main);
      fs::remove(obstacle);
      if (code == "DK") {
        fs::create_directory(obstacle);
      } else {
        ASSERT_EQ(mkfifo(obstacle.c_str(), 0666), 0);
      }
      expect_failure("something else at " + obstacle, 0, obstacle, Outputs());
      fs::remove(obstacle);
    }
    Convert(*format);
    EXPECT_EQ(Differing(Outputs(), later), std::vector<std::string>{});
  }
}

// A link standing where a table or a list file goes is replaced, never
// written through: the file it points to stays as it was.
TEST_F(SheetFaults, LinksWhereOutputsGoAreReplacedNotWrittenThrough) {
  struct Case {
    const OutputFormat* format;
    const char* link;  // beside the archive, or in the extraction folder
  } cases[] = {
      {&ShapefileFormat(), "533945CM.shp"},
      {&ShapefileFormat(), "533945DK.dbf"},
      {&TabFormat(), "533945CM.tab"},
      {&TabFormat(), "533945/533945_HA.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format->id()) + ", " + c.link);
    fs::remove_all(dir.path());
    fs::create_directories(dir.path());
    WriteSheet(1);
    const std::string victim = dir / "victim";
    testing::WriteFile(victim, "not yours");
    fs::create_symlink(victim, dir.path() / c.link);
    Convert(*c.format);
    EXPECT_EQ(testing::ReadFile(victim), "not yours");
    EXPECT_FALSE(fs::is_symlink(dir.path() / c.link));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / c.link));
  }
}

}  // namespace
}  // namespace quellmark
