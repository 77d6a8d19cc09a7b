#include "app/archive_names.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace quellmark {
namespace {

TEST(ArchiveNames, DerivesStemBaseAndPrefixes) {
  auto n = DeriveArchiveNames("/data/maps/533945.lzh");
  EXPECT_EQ(n.stem, "/data/maps/533945");
  EXPECT_EQ(n.base_name, "533945");
  EXPECT_EQ(n.output_prefix, "/data/maps/533945");
  EXPECT_EQ(n.sheet_prefix, "/data/maps/533945/533945");

  // Windows-style paths: "\" and ":" separate folders as well.
  auto w = DeriveArchiveNames("D:\\data\\sheet01.LZH");
  EXPECT_EQ(w.stem, "D:\\data\\sheet01");
  EXPECT_EQ(w.base_name, "sheet01");
  EXPECT_EQ(DeriveArchiveNames("D:sheet01.lzh").base_name, "sheet01");

  // A "." in a folder name is not an extension.
  EXPECT_EQ(ArchiveStem("D:\\a.b\\sheet01"), "D:\\a.b\\sheet01");
  EXPECT_EQ(ArchiveStem("/a.b/sheet01"), "/a.b/sheet01");
  EXPECT_EQ(ArchiveStem("/a/b.c.lzh"), "/a/b.c");
  EXPECT_EQ(BaseName("sheet01"), "sheet01");
}

TEST(ArchiveNames, DoubleByteCharactersDoNotSplitNames) {
  // 表 is 0x95 0x5C in Shift_JIS: its second byte is not a folder separator.
  const std::string folder = testing::Sjis("地図表");
  auto n = DeriveArchiveNames("D:\\" + folder + "\\sheet.lzh");
  EXPECT_EQ(n.base_name, "sheet");
  auto m = DeriveArchiveNames("D:\\data\\" + folder + ".lzh");
  EXPECT_EQ(m.base_name, folder);
  EXPECT_EQ(m.stem, "D:\\data\\" + folder);

  // UTF-8 paths, as Linux file systems hold them, with blanks.
  auto u = DeriveArchiveNames("/home/user/地図 データ/第1版 533945.lzh");
  EXPECT_EQ(u.base_name, "第1版 533945");
  EXPECT_EQ(u.sheet_prefix, "/home/user/地図 データ/第1版 533945/第1版 533945");
  auto v = DeriveArchiveNames("/home/あ/表.lzh");
  EXPECT_EQ(v.base_name, "表");
}

TEST(ArchiveNames, ExtractionCommandLine) {
  EXPECT_EQ(ExtractionCommandLine("D:\\data\\sheet01.lzh"),
            " e -x1 D:\\data\\sheet01.lzh *.* -p2 -y1");
  EXPECT_EQ(ExtractionCommandLine("/a b/c.LZH"), " e -x1 /a b/c.LZH *.* -p2 -y1");
}

}  // namespace
}  // namespace quellmark
