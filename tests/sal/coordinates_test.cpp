#include "sal/coordinates.h"

#include <gtest/gtest.h>

#include <string>

#include "sal/errors.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

using testing::RecordingNotifier;
using testing::TempDir;
using testing::WriteFile;

constexpr double kUnit = 36000000.0;

class CoordinatesTest : public ::testing::Test {
 protected:
  std::string prefix() const { return dir / "sheet01"; }
  void Write(std::string_view suffix, std::string_view content) {
    WriteFile(prefix() + std::string(suffix), content);
  }
  TempDir dir;
  CoordinateTables tables;
  RecordingNotifier notifier;
  Reporter reporter{&notifier};
};

TEST_F(CoordinatesTest, ConvertsOffsetsFromTheOrigin) {
  Write(".slm", "4868260000,1248680000\r\n0,0\r\n");
  Write(".slp", "0182450004345700\r\n\r\n    1234       5\r\n1234    00000007\r\n12\r\n");
  ASSERT_TRUE(tables.LoadCoordinates(prefix()));
  ASSERT_EQ(tables.point_table().count(), 5);
  double x = 0, y = 0;
  EXPECT_TRUE(tables.LookupPoint(1, x, y, reporter));
  EXPECT_DOUBLE_EQ(x, (1824500.0 + 4868260000.0) / kUnit);
  EXPECT_DOUBLE_EQ(y, (4345700.0 + 1248680000.0) / kUnit);
  // A blank line is a point at the origin and keeps the numbering.
  tables.LookupPoint(2, x, y, reporter);
  EXPECT_DOUBLE_EQ(x, 4868260000.0 / kUnit);
  EXPECT_DOUBLE_EQ(y, 1248680000.0 / kUnit);
  // Right-aligned digits read as their value.
  tables.LookupPoint(3, x, y, reporter);
  EXPECT_DOUBLE_EQ(x, (1234.0 + 4868260000.0) / kUnit);
  EXPECT_DOUBLE_EQ(y, (5.0 + 1248680000.0) / kUnit);
  // Left-aligned digits followed by blanks read as 0.
  tables.LookupPoint(4, x, y, reporter);
  EXPECT_DOUBLE_EQ(x, 4868260000.0 / kUnit);
  EXPECT_DOUBLE_EQ(y, (7.0 + 1248680000.0) / kUnit);
  // A short line yields what it has.
  tables.LookupPoint(5, x, y, reporter);
  EXPECT_DOUBLE_EQ(x, (12.0 + 4868260000.0) / kUnit);
  EXPECT_DOUBLE_EQ(y, 1248680000.0 / kUnit);
  EXPECT_TRUE(notifier.notices.empty());
}

TEST_F(CoordinatesTest, LookupsOutsideTheTableGiveZeroAndReportAboveTheCount) {
  Write(".slm", "36000000,72000000\r\n");
  Write(".slp", "0000000000000000\r\n");
  Write("MH.slp", "0000000000000000\r\n0000000100000001\r\n");
  ASSERT_TRUE(tables.LoadCoordinates(prefix()));
  double x = 9, y = 9;
  EXPECT_FALSE(tables.LookupPoint(2, x, y, reporter));
  EXPECT_EQ(x, 0.0);
  EXPECT_EQ(y, 0.0);
  EXPECT_FALSE(tables.LookupPoint(0, x, y, reporter));
  EXPECT_FALSE(tables.LookupPoint(-4, x, y, reporter));
  EXPECT_FALSE(tables.LookupMhPoint(1200, x, y, reporter));
  EXPECT_TRUE(tables.LookupMhPoint(2, x, y, reporter));
  EXPECT_DOUBLE_EQ(x, (36000000.0 + 1) / kUnit);
  EXPECT_EQ(notifier.texts(),
            (std::vector<std::string>{"over scoordnum", "over scoordnum cd=1200"}));
}

TEST_F(CoordinatesTest, OriginFieldsFollowTheDecimalRules) {
  Write(".slm", "360000000\r\n");  // one field: y origin 0
  Write(".slp", "0000000000000000\r\n");
  ASSERT_TRUE(tables.LoadCoordinates(prefix()));
  EXPECT_DOUBLE_EQ(tables.x_origin(), 360000000.0);
  EXPECT_DOUBLE_EQ(tables.y_origin(), 0.0);

  Write(".slm", ",-5,7\r\n");  // empty x field reads 0
  ASSERT_TRUE(tables.LoadCoordinates(prefix()));
  EXPECT_DOUBLE_EQ(tables.x_origin(), 0.0);
  EXPECT_DOUBLE_EQ(tables.y_origin(), -5.0);

  for (const char* bad : {"12.5,3\r\n", "12 ,3\r\n", "1,abc\r\n"}) {
    Write(".slm", bad);
    try {
      tables.LoadCoordinates(prefix());
      ADD_FAILURE() << "no error for " << bad;
    } catch (const InputError& e) {
      EXPECT_EQ(e.file(), prefix() + ".slm");
      EXPECT_EQ(e.line(), 1);
      EXPECT_NE(std::string(e.what()).find("is not a valid floating point value"),
                std::string::npos);
    }
  }
}

TEST_F(CoordinatesTest, MissingHeaderIsAnErrorMissingPointFilesAreNot) {
  Write(".slp", "0000000000000000\r\n");
  try {
    tables.LoadCoordinates(prefix());
    FAIL() << "no error for a missing .slm";
  } catch (const InputError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(prefix() + ".slm: ", 0), 0u) << e.what();
  }
  Write(".slm", "");
  EXPECT_THROW(tables.LoadCoordinates(prefix()), InputError);

  TempDir other;
  WriteFile(other / "s.slm", "1,2\r\n");
  EXPECT_FALSE(tables.LoadCoordinates(other / "s"));
  WriteFile(other / "sMH.slp",
            "0000000100000001\x1A"
            "0000000200000002\r\n");
  ASSERT_TRUE(tables.LoadCoordinates(other / "s"));
  EXPECT_EQ(tables.point_table().count(), 0);
  EXPECT_EQ(tables.mh_point_table().count(), 1);  // 0x1A ends the file
  double x, y;
  tables.LookupPoint(1, x, y, reporter);
  EXPECT_EQ(notifier.texts(), std::vector<std::string>{"over scoordnum"});
}

TEST_F(CoordinatesTest, ReloadingKeepsStorageAndForgetsTheLargerSheet) {
  Write(".slm", "0,0\r\n");
  std::string big;
  const int kPoints = 400123;  // more than a sheet is said to hold
  for (int i = 0; i < kPoints; ++i) big += "0000000100000002\r\n";
  Write(".slp", big);
  ASSERT_TRUE(tables.LoadCoordinates(prefix()));
  EXPECT_EQ(tables.point_table().count(), kPoints);
  const std::size_t capacity = tables.point_table().capacity();

  Write(".slp", "0000000300000004\r\n");
  ASSERT_TRUE(tables.LoadCoordinates(prefix()));
  EXPECT_EQ(tables.point_table().count(), 1);
  EXPECT_EQ(tables.point_table().capacity(), capacity);
  double x, y;
  EXPECT_FALSE(tables.LookupPoint(2, x, y, reporter));
  EXPECT_EQ(x, 0.0);  // never the larger sheet's old values
  EXPECT_EQ(notifier.texts(), std::vector<std::string>{"over scoordnum"});
}

}  // namespace
}  // namespace quellmark
