#include <gtest/gtest.h>
#include <shapefil.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "convert/sheet_conversion.h"
#include "export_shape/shapefile_format.h"
#include "read_back.h"
#include "sal/errors.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

using testing::ReadRows;
using testing::ReadSchema;
using testing::ReadShapes;
using testing::Sjis;
using Rows = std::vector<std::string>;
using Points = std::vector<std::pair<double, double>>;

// Point i of the sheet lies 0.0001 i degrees east and 0.0002 i north of
// 135 E, 35 N.
constexpr double kDegree = 36000000.0;
std::pair<double, double> At(int i) {
  return {(4860000000.0 + 3600.0 * i) / kDegree, (1260000000.0 + 7200.0 * i) / kDegree};
}

std::string PointFile(int count, int step) {
  std::string text;
  char line[32];
  for (int i = 1; i <= count; ++i) {
    std::snprintf(line, sizeof line, "%8d%8d\r\n", step * i, 2 * step * i);
    text += line;
  }
  return text;
}

class ShapeExportTest : public ::testing::Test {
 protected:
  ShapeExportTest() { std::filesystem::create_directory(dir / "sheet"); }

  void Write(const std::string& suffix, std::string_view content) {
    testing::WriteFile(sheet + suffix, content);
  }
  void WritePoints() {
    Write(".slm", "4860000000,1260000000\r\n0,0\r\n");
    Write(".slp", PointFile(5, 3600));
  }
  void Run(Notifier* sink = nullptr, std::function<void(std::string_view)> started = {}) {
    ExportContext context{state, sink != nullptr ? sink : &notifier, std::move(started)};
    ConvertSheet(sheet, out, ShapefileFormat(), context);
  }
  std::string Shp(const std::string& code) const { return out + code + ".shp"; }
  std::string Schema(const std::string& code) const { return ReadSchema(out + code + ".dbf"); }
  std::set<std::string> Outputs() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  // Every file beside the extraction folder, with its bytes.
  std::map<std::string, std::string> Tables() const {
    auto tree = testing::ReadTree(dir.str());
    std::erase_if(tree, [](const auto& entry) { return entry.first.rfind("sheet/", 0) == 0; });
    return tree;
  }

  testing::TempDir dir;
  std::string sheet = dir / "sheet/sheet";
  std::string out = dir / "sheet";
  SheetState state;
  testing::RecordingNotifier notifier;
};

TEST_F(ShapeExportTest, NamedPointLayersStandAtTheLastPointWithTheirValues) {
  WritePoints();
  const std::string a59(59, 'a');  // and 駅 across byte 60
  Write("CM.sal", "CM(ID{CM000001}PT(ID{PT000001}{1,2})SR{21}NM{" + Sjis("札幌市") +
                      "})\r\nCM(ID{CM000002}SR{99})\r\nCM(ID{CM000003}PT(ID{PT000003}{5})NM{" +
                      a59 + Sjis("駅") +
                      "})\r\n"
                      // IDs and codes as the table keeps them, the code's name by the cut code.
                      "CM(ID{CM0000041234}PT(ID{PT00000412}{4})SR{213})\r\n");
  Write("KJ.sal", "KJ(ID{KJ000001}PT(ID{PT000009}{3})PD(ID{PD000001}{PDV1})HK{12.345}SR{62})\r\n");
  Write("KO.sal", "KO(ID{KO000001}PT(ID{PT000004}{4})SR{86}JS{" + Sjis("(東)第一") + "})\r\n");
  Write("GD.sal", "GD(ID{GD000001}KA(IR{KA28204000001})PT(ID{PT000001}{1})SB{93})\r\n");
  Run();

  EXPECT_EQ(Schema("CM"), "no:N6 name:C60 sr:C2 srname:C32 id:C8 ptid:C8");
  const auto cm = ReadShapes(Shp("CM"));
  ASSERT_EQ(cm.size(), 4u);
  EXPECT_EQ(cm[0].type, SHPT_POINT);
  EXPECT_EQ(cm[0].vertices, Points{At(2)});
  EXPECT_EQ(cm[1].type, SHPT_NULL);  // no point list: no position
  EXPECT_EQ(cm[2].vertices, Points{At(5)});
  EXPECT_EQ(
      ReadRows(Shp("CM")),
      (Rows{"1|札幌市|21|都道府県庁|CM000001|PT000001", "2|札幌市|99|99|CM000002|",
            "3|" + a59 + "|||CM000003|PT000003", "4|" + a59 + "|21|都道府県庁|CM000004|PT000004"}));

  EXPECT_EQ(Schema("KJ"), "no:N6 name:C60 hk:C9 sr:C2 srname:C32 id:C8 ptid:C8 pdid:C8 pd:C8");
  EXPECT_EQ(ReadRows(Shp("KJ")), Rows{"1||12.345|62|三角点|KJ000001|PT000009|PD000001|PDV1"});
  EXPECT_EQ(ReadShapes(Shp("KJ"))[0].vertices, Points{At(3)});
  EXPECT_EQ(Schema("KO"), "no:N6 name:C60 sr:C2 srname:C32 id:C8 ptid:C8 js:C60");
  EXPECT_EQ(ReadRows(Shp("KO")), Rows{"1||86|学校|KO000001|PT000004|(東)第一"});
  EXPECT_EQ(Schema("GD"), "no:N6 name:C60 sb:C2 sbname:C32 id:C8 kair:C14");
  EXPECT_EQ(ReadRows(Shp("GD")), Rows{"1||93|居住地名|GD000001|KA28204000001"});
  // The test's long values, cut and told once per table.
  EXPECT_EQ(notifier.texts(),
            std::vector<std::string>{"values longer than their field were cut: name 2, sr 1, id 1, "
                                     "ptid 1; a GeoPackage keeps them whole"});
}

TEST_F(ShapeExportTest, NodePointLayersAndMhFromItsOwnPointTable) {
  WritePoints();
  Write("MH.slp", PointFile(3, 360));
  const std::string node = "(ID{N0000001}ND(ID{ND000001}GM(IR{GM1})PT(ID{PT000001}{4})))\r\n";
  Write("KS.sal", "KS" + node);
  Write("TS.sal", "TS" + node);
  Write("DS.sal", "DS" + node);
  Write("MH.sal", "MH(ID{MH000001}PT(ID{PT000002}{2})HK{123456789})\r\n");
  Run();

  EXPECT_EQ(Schema("KS"), "no:N6 id:C8 ptid:C8 ndid:C8 gmir:C14");
  EXPECT_EQ(Schema("DS"), "no:N6 id:C8 ptid:C8 ndid:C8 gmir:C16");
  EXPECT_EQ(Schema("TS"), "no:N6 ndid:C8 gmir:C14 id:C8 ptid:C8");
  EXPECT_EQ(ReadRows(Shp("KS")), Rows{"1|N0000001|PT000001|ND000001|GM1"});
  EXPECT_EQ(ReadRows(Shp("DS")), Rows{"1|N0000001|PT000001|ND000001|GM1"});
  EXPECT_EQ(ReadRows(Shp("TS")), Rows{"1|ND000001|GM1|N0000001|PT000001"});
  EXPECT_EQ(ReadShapes(Shp("TS"))[0].vertices, Points{At(4)});

  EXPECT_EQ(Schema("MH"), "no:N6 hk:C11 id:C8 ptid:C8");
  EXPECT_EQ(ReadRows(Shp("MH")), Rows{"1|123456789|MH000001|PT000002"});
  EXPECT_EQ(ReadShapes(Shp("MH"))[0].vertices,
            (Points{{(4860000000.0 + 720.0) / kDegree, (1260000000.0 + 1440.0) / kDegree}}));
}

TEST_F(ShapeExportTest, LineLayersKeepEveryVertexInListOrder) {
  WritePoints();
  std::string long_list = "1";
  for (int i = 1; i < 4500; ++i) long_list += "," + std::to_string(i % 5 + 1);
  Write("SK.sal", "SK(ID{SK000001}CV(ID{CV000001}{3,1,2})SR{52}NM{" + Sjis("海") +
                      "})\r\nSK(ID{SK000002})\r\nSK(ID{SK000003}CV(ID{CV000003}{" + long_list +
                      "}))\r\n");
  Write("GK.sal", "GK(ID{GK000001}JT{11}SR{2B}CV(ID{CV000001}{4,5}))\r\n");
  Write("TK.sal",
        "TK(ID{TK000001}JT{41}SB{43}CV(ID{CV000001}{3,4})EG(ID{EG000001})HR(IR{HR1})ER(IR{"
        "ER28204000005})BD(IR{ND1})BD(IR{ND2})GM(IR{GM1})NM{" +
            Sjis("山手線") + "})\r\n");
  Run();

  const auto sk = ReadShapes(Shp("SK"));
  ASSERT_EQ(sk.size(), 3u);
  EXPECT_EQ(sk[0].type, SHPT_ARC);
  EXPECT_EQ(sk[0].vertices, (Points{At(3), At(1), At(2)}));
  EXPECT_EQ(sk[1].type, SHPT_ARC);
  EXPECT_TRUE(sk[1].vertices.empty());
  ASSERT_EQ(sk[2].vertices.size(), 4500u);
  EXPECT_EQ(sk[2].vertices[4000], At(4000 % 5 + 1));
  EXPECT_EQ(sk[2].vertices[4499], At(4499 % 5 + 1));
  EXPECT_EQ(Schema("SK"), "no:N11 name:C60 sr:C2 srname:C20 id:C8 cvid:C8");
  EXPECT_EQ(ReadRows(Shp("SK")), (Rows{"1|海|52|海岸線|SK000001|CV000001", "2|海|||SK000002|",
                                       "3|海|||SK000003|CV000003"}));
  EXPECT_EQ(Schema("GK"), "no:N11 name:C60 jt:C2 jtname:C20 sr:C2 srname:C20 id:C8 cvid:C8");
  EXPECT_EQ(ReadRows(Shp("GK")), Rows{"1||11|供用中|2B|郡市東京都の区界|GK000001|CV000001"});
  EXPECT_EQ(Schema("TK"),
            "no:N11 name:C60 jt:C2 jtname:C20 sb:C2 sbname:C20 id:C8 cvid:C8 egid:C8 hrir:C14 "
            "erir:C14 bdir1:C14 bdir2:C14 gmir:C14");
  EXPECT_EQ(ReadRows(Shp("TK")), Rows{"1|山手線|41|運行中|43|普通鉄道JR|TK000001|CV000001|"
                                      "EG000001|HR1|ER28204000005|ND1|ND2|GM1"});

  // Every table declares code page 932; GDAL decoded the names above by it.
  EXPECT_EQ(testing::ReadFile(out + "TK.cpg"), "932");
  EXPECT_EQ(testing::ReadFile(out + "TK.dbf").at(29), '\x13');  // language driver
  EXPECT_EQ(testing::ReadCrs(Shp("TK")), "EPSG:4612");
}

TEST_F(ShapeExportTest, StationsStandOnTheFirstPointOfTheirRailwayLineOfTheSameSheet) {
  WritePoints();
  Write("TK.sal",
        "TK(ID{TK1}CV(ID{CV1}{3,4})ER(IR{ER28204000005}))\r\n"
        "TK(ID{TK2}CV(ID{CV2}{1})ER(IR{ER28204000007}))\r\n"
        "TK(ID{TK3}CV(ID{CV3}{2,1})ER(IR{ER28204000007}))\r\n"  // the later line wins
        "TK(ID{TK4}ER(IR{ER28204000005}))\r\n"                  // no points: 5 stays
        "TK(ID{TK5}CV(ID{CV5}{4})ER(IR{ER28204999999}))\r\n");  // outside the table
  Write("EK.sal", "EK(ID{EK000005}KN(IR{KN1})NM{" + Sjis("新宿") +
                      "})\r\nEK(ID{EK000007})\r\nEK(ID{EK000009}PT(ID{PT1}{1}))\r\nEK(ID{"
                      "EK999999})\r\n");
  Run();

  const auto ek = ReadShapes(Shp("EK"));
  ASSERT_EQ(ek.size(), 4u);
  EXPECT_EQ(ek[0].vertices, Points{At(3)});
  EXPECT_EQ(ek[1].vertices, Points{At(2)});
  EXPECT_EQ(ek[2].type, SHPT_NULL);  // never registered; its own point list is not used
  EXPECT_EQ(ek[3].type, SHPT_NULL);  // outside the table
  EXPECT_EQ(Schema("EK"), "no:N6 name:C60 id:C8 knir:C14");
  EXPECT_EQ(ReadRows(Shp("EK")), (Rows{"1|新宿|EK000005|KN1", "2|新宿|EK000007|",
                                       "3|新宿|EK000009|", "4|新宿|EK999999|"}));

  // The next sheet, converted with the same state, has stations but no railway.
  const std::string first_sheet = sheet;
  std::filesystem::create_directory(dir / "next");
  sheet = dir / "next/next";
  out = dir / "next";
  std::filesystem::copy_file(first_sheet + ".slm", sheet + ".slm");
  std::filesystem::copy_file(first_sheet + ".slp", sheet + ".slp");
  Write("EK.sal", "EK(ID{EK000005})\r\n");
  Run();
  EXPECT_EQ(ReadShapes(Shp("EK"))[0].type, SHPT_NULL);
}

TEST_F(ShapeExportTest, RoadLayersFillTheListFilesThatTheListLayersRead) {
  WritePoints();
  const std::string kk1 = "KK(ID{KK000001}HR(IR{HR9})CV(ID{CV9}{5}))";
  Write("KK.sal", kk1 + "\r\nKK(ID{KK000002}TR(IR{TR9}))\r\n");
  const std::string dk1 = "DK(ID{DK000001}JT{11}YU{1C}SB{16}FI{1B}NM{" + Sjis("国道") +
                          "}HR(IR{HR1})YR(IR{YR1})DH(IR{DH28204000001})CV(ID{CV000001}{1,2})"
                          "EG(ID{EG000001}){BD(IR{ND1})BD(IR{ND2})GM(IR{GM1})}KB{3})";
  const std::string dk2 =
      "DK(ID{DK000002}TR(IR{TR1})HR(IR{HR2})TT(IR{TT28204000002})CV(ID{CV2}{3})KB{x})";
  const std::string b31(31, 'b');  // and 道 across byte 32
  // References cut to 14 bytes, kb to 16 bits.
  const std::string dk4 =
      "DK(ID{DK0000041234}FI{1B9}KB{40000}HR(IR{HR4})DH(IR{DH282040000041234}))";
  Write("DK.sal",
        dk1 + "\r\n" + dk2 + "\r\nDK(ID{DK000003}NM{" + b31 + Sjis("道") + "})\r\n" + dk4 + "\r\n");
  Run();

  const std::string road =
      "no:N11 name:C32 jt:C2 jtname:C20 yu:C2 yuname:C20 sb:C2 sbname:C20 fi:C2 finame:C20 "
      "id:C8 cvid:C16 egid:C16 bdir1:C16 bdir2:C16 gmir:C16 trir:C16 kb:N6";
  EXPECT_EQ(Schema("KK"), road);
  EXPECT_EQ(Schema("DK"), road);
  EXPECT_EQ(
      ReadRows(Shp("DK")),
      (Rows{"1|国道|11|供用中|1C|有料|16|高速道路|1B|13.0m以上|DK000001|CV000001|EG000001|"
            "ND1|ND2|GM1||3",
            "2|国道|||||||||DK000002|CV2|||||TR1|-1", "3|" + b31 + "|||||||||DK000003|||||||0",
            "4|" + b31 + "|||||||1B|13.0m以上|DK000004|||||||-25536"}));
  EXPECT_EQ(ReadRows(Shp("KK")),
            (Rows{"1||||||||||KK000001|CV9||||||0", "2||||||||||KK000002||||||TR9|0"}));

  // DK's run replaced KK's lines.
  EXPECT_EQ(testing::ReadFile(sheet + "_HA.txt"), dk1 + "\r\n" + dk2 + "\r\n" + dk4 + "\r\n");
  EXPECT_EQ(testing::ReadFile(sheet + "_TO.txt"), dk2 + "\r\n");
  EXPECT_EQ(testing::ReadFile(sheet + "_YO.txt"), dk1 + "\r\n");
  EXPECT_EQ(Schema("HA"), "no:N11 name:C32 id:C8 ir:C14");
  // HA does not take tt as its reference.
  EXPECT_EQ(ReadRows(Shp("HA")), (Rows{"1|国道|DK000001|DH28204000001", "2|国道|DK000002|DK000002",
                                       "3|国道|DK000004|DH282040000041"}));
  EXPECT_EQ(ReadRows(Shp("TO")), Rows{"1||DK000002|TT28204000002"});
  EXPECT_EQ(ReadRows(Shp("YO")), Rows{"1|国道|DK000001|DH28204000001"});
  const auto ha = ReadShapes(Shp("HA"));
  EXPECT_EQ(ha[0].vertices, (Points{At(1), At(2)}));
  EXPECT_EQ(ha[1].vertices, Points{At(3)});

  // A sheet without a DK layer leaves KK's lines.
  std::filesystem::remove(sheet + "DK.sal");
  Run();
  EXPECT_EQ(testing::ReadFile(sheet + "_HA.txt"), kk1 + "\r\n");
  EXPECT_EQ(ReadRows(Shp("HA")), Rows{"1||KK000001|KK000001"});
  EXPECT_TRUE(ReadRows(Shp("YO")).empty());
}

TEST_F(ShapeExportTest, MissingAndEmptyInputs) {
  Write(".slm", "4860000000,1260000000\r\n0,0\r\n");
  Write("CM.sal", "CM(ID{CM000001})\r\nCM(ID{CM000002}PT(ID{PT000002}{1}))\r\n");
  Write("SK.sal", "");
  Run();  // neither point file
  EXPECT_EQ(Outputs(), std::set<std::string>{"sheet"});

  Write("MH.slp", PointFile(1, 360));  // one point file is enough
  Run();
  std::set<std::string> expected{"sheet"};
  for (const char* code : {"CM", "SK"}) {
    for (const char* ext : {".shp", ".shx", ".dbf", ".cpg", ".prj", ".qml"}) {
      expected.insert(std::string("sheet") + code + ext);
    }
  }
  EXPECT_EQ(Outputs(), expected);  // no file for a missing layer
  EXPECT_TRUE(ReadShapes(Shp("SK")).empty());
  EXPECT_EQ(Schema("SK"), "no:N11 name:C60 sr:C2 srname:C20 id:C8 cvid:C8");
  // CM's point 1 is past the empty table: reported, and the point stands at 0, 0.
  ASSERT_EQ(notifier.notices.size(), 1u);
  EXPECT_EQ(notifier.notices[0].text, "over scoordnum");
  EXPECT_EQ(notifier.notices[0].file, sheet + "CM.sal");
  EXPECT_EQ(notifier.notices[0].line, 2);
  EXPECT_EQ(ReadShapes(Shp("CM"))[1].vertices, (Points{{0.0, 0.0}}));
}

TEST_F(ShapeExportTest, AFailingLayerLeavesTheEarlierTablesAndEndsTheSheet) {
  struct Cancel : Notifier {
    void Notify(const Notice&) override { throw std::runtime_error("cancelled"); }
  } cancel;
  WritePoints();
  Write("CM.sal", "CM(ID{CM000001}PT(ID{PT000001}{1}))\r\n");
  Write("GK.sal", "GK(ID{GK000001})\r\n");
  Run();
  const auto earlier = Tables();
  // SK's second line fails, after CM's new table was written: the sheet keeps
  // its earlier tables, byte for byte, and gets no SK table.
  Write("CM.sal", "CM(ID{CM000002}PT(ID{PT000002}{2}))\r\n");
  Write("SK.sal", "SK(ID{SK000001}CV(ID{CV1}{1}))\r\nSK(ID{SK000002}CV(ID{CV2}{9}))\r\n");
  EXPECT_THROW(Run(&cancel), std::runtime_error);
  EXPECT_EQ(Tables(), earlier);

  // A list file that cannot be put in place (a folder stands there): the
  // sheet goes no further and its tables stay as they were.
  std::filesystem::remove(sheet + "SK.sal");
  Write("KK.sal", "KK(ID{KK000001}HR(IR{HR1})TR(IR{TR1}))\r\n");
  std::filesystem::create_directory(sheet + "_HA.txt");
  try {
    Run(nullptr, [](std::string_view code) {
      if (code == "SK") throw std::logic_error("went on past the road layer");
    });
    ADD_FAILURE() << "no OutputError";
  } catch (const OutputError& error) {
    EXPECT_EQ(error.file(), sheet + "_HA.txt");
  }
  EXPECT_EQ(Tables(), earlier);

  // A road layer that fails midway leaves the list files of the run before
  // it as they were, and no temporary file beside them.
  std::filesystem::remove(sheet + "_HA.txt");
  for (const char* list : {"_HA.txt", "_TO.txt", "_YO.txt"}) Write(list, "earlier\r\n");
  Write("KK.sal", "KK(ID{KK000001}HR(IR{HR1})CV(ID{CV1}{9}))\r\n");  // 9: past the points
  EXPECT_THROW(Run(&cancel), std::runtime_error);
  for (const char* list : {"_HA.txt", "_TO.txt", "_YO.txt"}) {
    EXPECT_EQ(testing::ReadFile(sheet + list), "earlier\r\n") << list;
  }
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(sheet).parent_path())) {
    EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

// Writing runs out of room (a full disk, a file too large) while shapelib
// writes its records, or only as it closes its files: either way the sheet
// ends with an error naming the file, and none of the layer's files stay.
TEST_F(ShapeExportTest, AWriteThatFailsEvenAsTheFilesCloseEndsTheSheet) {
  WritePoints();
  Write("MH.slp", PointFile(3, 360));
  // 2000 lines make files of 56 and 68 kB that are written whole as they
  // close, 40000 lines files that are written along the way.
  for (const int lines : {2000, 40000}) {
    std::string layer;
    for (int i = 0; i < lines; ++i) layer += "MH(ID{MH000001}PT(ID{PT000001}{1})HK{12.5})\r\n";
    Write("MH.sal", layer);
    try {
      testing::FileSizeLimit limit(16 * 1024);
      Run();
      ADD_FAILURE() << lines << " lines: no OutputError";
    } catch (const OutputError& error) {
      EXPECT_EQ(error.file().substr(0, out.size() + 3), out + "MH.") << error.file();
      if (lines == 2000) {
        EXPECT_NE(std::string(error.what()).find(std::strerror(EFBIG)), std::string::npos)
            << error.what();
      }
    }
    for (const char* name : {"sheetMH.shp", "sheetMH.shx", "sheetMH.dbf", "sheetMH.prj"}) {
      EXPECT_FALSE(Outputs().count(name)) << lines << " lines: " << name;
    }
  }
}

}  // namespace
}  // namespace quellmark
