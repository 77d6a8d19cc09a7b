#include "export_shape/shapefile_output.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "read_back.h"
#include "sal/errors.h"
#include "sal/notify.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

constexpr FieldSpec kNarrowFields[] = {
    {"n", FieldType::kInteger, 2, ValueSource::kRecordNumber},
    {"t", FieldType::kText, 3, ValueSource::kRecordText},
};

TEST(ShapefileOutput, ValuesWiderThanTheirFieldAreNeverTruncatedSilently) {
  testing::TempDir dir;
  testing::RecordingNotifier notifier;
  Reporter reporter(&notifier);
  reporter.SetFile("layer.sal");
  const std::string base = dir / "narrow";
  {
    ShapefileOutput output(base, LayerGeometry::kPoint, kNarrowFields);
    const std::int32_t values[] = {99, -9, 123, -10};
    for (int record = 0; record < 4; ++record) {
      reporter.SetLine(record + 1);
      output.WriteNull();
      output.WriteInteger(record, 0, values[record], reporter);
      output.WriteText(record, 1, testing::Sjis("aあ"));  // 3 bytes fit
    }
    output.WriteText(3, 1, testing::Sjis("abあ"));  // あ does not: cut before it
    output.Close();
  }
  DBFHandle dbf = DBFOpen((base + ".dbf").c_str(), "rb");
  ASSERT_NE(dbf, nullptr);
  EXPECT_EQ(DBFReadIntegerAttribute(dbf, 0, 0), 99);
  EXPECT_EQ(DBFReadIntegerAttribute(dbf, 1, 0), -9);
  EXPECT_TRUE(DBFIsAttributeNULL(dbf, 2, 0));
  EXPECT_TRUE(DBFIsAttributeNULL(dbf, 3, 0));
  EXPECT_EQ(DBFReadStringAttribute(dbf, 0, 1), testing::Sjis("aあ"));
  EXPECT_EQ(DBFReadStringAttribute(dbf, 3, 1), std::string("ab"));
  DBFClose(dbf);

  ASSERT_EQ(notifier.notices.size(), 2u);
  EXPECT_EQ(notifier.notices[0].file, "layer.sal");
  EXPECT_EQ(notifier.notices[0].line, 3);
  EXPECT_NE(notifier.notices[0].text.find("123"), std::string::npos);
  EXPECT_NE(notifier.notices[1].text.find("-10"), std::string::npos);
}

TEST(ShapefileOutput, AnOutputThatCannotBeCreatedNamesItsFileAndLeavesNothing) {
  testing::TempDir dir;
  try {
    ShapefileOutput output(dir / "missing/layer", LayerGeometry::kLine, kNarrowFields);
    ADD_FAILURE() << "no OutputError";
  } catch (const OutputError& error) {
    EXPECT_EQ(error.file(), dir / "missing/layer.shp");
  }

  // A folder in the way of the table: the shape files already made go again.
  std::filesystem::create_directory(dir / "layer.dbf");
  try {
    ShapefileOutput output(dir / "layer", LayerGeometry::kLine, kNarrowFields);
    ADD_FAILURE() << "no OutputError";
  } catch (const OutputError& error) {
    EXPECT_EQ(error.file(), dir / "layer.dbf");
  }
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"layer.dbf"});
}

}  // namespace
}  // namespace quellmark
