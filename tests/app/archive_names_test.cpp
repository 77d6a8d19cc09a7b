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

  // Only "/" separates folders: "\" and ":" are part of the name.
  auto w = DeriveArchiveNames("/data/a\\b.LZH");
  EXPECT_EQ(w.stem, "/data/a\\b");
  EXPECT_EQ(w.base_name, "a\\b");
  EXPECT_EQ(DeriveArchiveNames("c:d.lzh", "/out").output_prefix, "/out/c:d");
  EXPECT_EQ(ArchiveStem("a\\b.c\\sheet01"), "a\\b");

  // A "." in a folder name is not an extension.
  EXPECT_EQ(ArchiveStem("/a.b/sheet01"), "/a.b/sheet01");
  EXPECT_EQ(ArchiveStem("/a/b.c.lzh"), "/a/b.c");
  EXPECT_EQ(BaseName("sheet01"), "sheet01");
}

TEST(ArchiveNames, DoubleByteCharactersDoNotSplitNames) {
  // 表 is 0x95 0x5C in Shift_JIS: its second byte is a backslash.
  const std::string name = testing::Sjis("地図表");
  auto m = DeriveArchiveNames("/data/" + name + ".lzh");
  EXPECT_EQ(m.base_name, name);
  EXPECT_EQ(m.stem, "/data/" + name);

  // UTF-8 paths, as Linux file systems hold them, with blanks.
  auto u = DeriveArchiveNames("/home/user/地図 データ/第1版 533945.lzh");
  EXPECT_EQ(u.base_name, "第1版 533945");
  EXPECT_EQ(u.sheet_prefix, "/home/user/地図 データ/第1版 533945/第1版 533945");
  auto v = DeriveArchiveNames("/home/あ/表.lzh");
  EXPECT_EQ(v.base_name, "表");
}

// Every path is quoted, each quote in it doubled, so that the library reads
// back the path whatever bytes it holds.
TEST(ArchiveNames, ExtractionCommandLine) {
  EXPECT_EQ(ExtractionCommandLine("/data/sheet01.lzh"), " e -x1 \"/data/sheet01.lzh\" *.* -p2 -y1");
  EXPECT_EQ(ExtractionCommandLine("-a b.LZH"), " e -x1 \"-a b.LZH\" *.* -p2 -y1");
  EXPECT_EQ(ExtractionCommandLine("x\" \"y.lzh", "/o/.x\" \"y/"),
            " e -x1 \"x\"\" \"\"y.lzh\" \"/o/.x\"\" \"\"y/\" *.* -p2 -y1");
}

}  // namespace
}  // namespace quellmark
