// A sheet's tables are all the earlier ones or all the new ones, whatever
// fails on the way: here, the disk filling up at any write.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "convert/buffered_file.h"
#include "convert/sheet_conversion.h"
#include "export_shape/shapefile_format.h"
#include "export_tab/tab_format.h"
#include "sal/errors.h"
#include "support/test_support.h"
#include "tools/gen/layerset_generator.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;

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
  std::map<std::string, std::string> Outputs() const {
    auto tree = testing::ReadTree(dir.str());
    std::erase_if(tree, [](const auto& entry) { return entry.first.rfind("533945/", 0) == 0; });
    return tree;
  }

  testing::TempDir dir;
  SheetState state;
  testing::RecordingNotifier notifier;
};

TEST_F(SheetFaults, AFullDiskAtAnyWriteLeavesTheEarlierTablesWhole) {
  for (const OutputFormat* format : {&ShapefileFormat(), &TabFormat()}) {
    // The earlier tables, and how many writes the new ones take.
    fs::remove_all(dir.path());
    fs::create_directories(dir.path());
    WriteSheet(1);
    Convert(*format);
    const auto earlier = Outputs();
    WriteSheet(2);
    const std::uint64_t before = BufferedFile::WritesSoFar();
    Convert(*format);
    const std::uint64_t writes = BufferedFile::WritesSoFar() - before;
    const auto later = Outputs();
    ASSERT_NE(later, earlier);
    ASSERT_GT(writes, 3u);

    WriteSheet(1);
    Convert(*format);
    ASSERT_EQ(Outputs(), earlier);
    WriteSheet(2);
    for (const std::uint64_t nth : {std::uint64_t{1}, writes / 2, writes}) {
      SCOPED_TRACE(std::string(format->id()) + ", write " + std::to_string(nth) + " of " +
                   std::to_string(writes));
      BufferedFile::FailWritesFrom(BufferedFile::WritesSoFar() + nth, ENOSPC);
      try {
        Convert(*format);
        ADD_FAILURE() << "no OutputError";
      } catch (const OutputError& error) {
        EXPECT_NE(std::string(error.what()).find(std::strerror(ENOSPC)), std::string::npos)
            << error.what();
        EXPECT_EQ(std::string(error.what()).find(".quellmark-"), std::string::npos) << error.what();
      }
      BufferedFile::FailWritesFrom(0, 0);
      EXPECT_EQ(Outputs(), earlier);  // nothing new, nothing lost, nothing left over
    }
    Convert(*format);
    EXPECT_EQ(Outputs(), later);
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
