#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert/sheet_conversion.h"
#include "export_tab/tab_format.h"
#include "sal/errors.h"
#include "support/table_reader.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

using testing::ReadFile;
using testing::ReadTable;
using testing::ReadTableBack;
using testing::RecordingNotifier;
using testing::Sjis;
using testing::TempDir;
using testing::WriteFile;

constexpr double kUnitsPerDegree = 36000000.0;
constexpr long long kOriginX = 139LL * 36000000;  // 139°E
constexpr long long kOriginY = 35LL * 36000000;   // 35°N

struct Offset {
  long x;
  long y;
};

// A point file: offsets right-aligned in two eight-byte fields.
std::string PointFile(std::initializer_list<Offset> points) {
  std::string out;
  for (const Offset& p : points) {
    char line[40];
    std::snprintf(line, sizeof line, "%8ld%8ld\r\n", p.x, p.y);
    out += line;
  }
  return out;
}

constexpr Offset kP1{100, 200};
constexpr Offset kP2{3600, 7200};
constexpr Offset kP3{36000, 360000};
double Lon(const Offset& p) { return (kOriginX + p.x) / kUnitsPerDegree; }
double Lat(const Offset& p) { return (kOriginY + p.y) / kUnitsPerDegree; }

// GDAL hands coordinates back rounded to 1e-8 degree.
constexpr double kReadTolerance = 1e-8;

void ExpectAt(const testing::ReadFeature& feature, const std::vector<Offset>& points) {
  ASSERT_EQ(feature.x.size(), points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    EXPECT_NEAR(feature.x[i], Lon(points[i]), kReadTolerance) << "vertex " << i;
    EXPECT_NEAR(feature.y[i], Lat(points[i]), kReadTolerance) << "vertex " << i;
  }
}

void ExpectSymbol(const testing::ReadFeature& f, int number, int size, std::int32_t colour) {
  EXPECT_EQ(f.style.tool, "SYMBOL");
  EXPECT_EQ(f.style.number, number);
  EXPECT_EQ(f.style.size, size);
  EXPECT_EQ(f.style.colour, colour);
}

void ExpectPen(const testing::ReadFeature& f, int width, int pattern, std::int32_t colour) {
  EXPECT_EQ(f.style.tool, "PEN");
  EXPECT_EQ(f.style.size, width);
  EXPECT_EQ(f.style.number, pattern);
  EXPECT_EQ(f.style.colour, colour);
}

// Sheets live in a temporary folder laid out as the batch lays them out: the
// layer set in folder NAME as NAME/NAME*, the tables beside it as NAME*.tab.
class TabExportTest : public ::testing::Test {
 protected:
  std::string SheetPrefix(const std::string& name) const { return dir / (name + "/" + name); }
  std::string OutputPrefix(const std::string& name) const { return dir / name; }

  void WritePoints(const std::string& name, const std::string& slp, const std::string& mh = {}) {
    std::filesystem::create_directories(dir / name);
    WriteFile(SheetPrefix(name) + ".slm", "5004000000,1260000000\r\n0,0\r\n");
    if (!slp.empty()) WriteFile(SheetPrefix(name) + ".slp", slp);
    if (!mh.empty()) WriteFile(SheetPrefix(name) + "MH.slp", mh);
  }
  void WriteLayer(const std::string& name, const std::string& suffix,
                  const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines) content += line + "\r\n";
    WriteFile(SheetPrefix(name) + suffix, content);
  }
  void Run(const std::string& name) {
    ExportContext context{state, &notifier,
                          [this](std::string_view code) { started.emplace_back(code); }};
    ConvertSheet(SheetPrefix(name), OutputPrefix(name), TabFormat(), context);
  }
  ReadTable Table(const std::string& name, const std::string& code) const {
    return ReadTableBack(OutputPrefix(name) + code + ".tab");
  }
  bool TableExists(const std::string& name, const std::string& code) const {
    return std::filesystem::exists(OutputPrefix(name) + code + ".tab");
  }

  TempDir dir;
  SheetState state;
  RecordingNotifier notifier;
  std::vector<std::string> started;
};

TEST_F(TabExportTest, EveryLayerHasItsSchemaStyleCoordinateSystemAndCharset) {
  WritePoints("all", PointFile({kP1, kP2, kP3}), PointFile({kP2}));
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"CM", "CM(ID{C1}PT(ID{P1}{1})SR{21}NM{Kita})"},
      {"KJ", "KJ(ID{K1}PT(ID{P2}{2})SR{62}HK{1})"},
      {"KS", "KS(ID{S1}PT(ID{P1}{1})ND(ID{N1})GM(IR{G1}))"},
      {"KK", "KK(ID{R1}CV(ID{C1}{1,2})FI{19})"},
      {"SK", "SK(ID{W1}CV(ID{C1}{1,2})SR{51})"},
      {"GK", "GK(ID{B1}CV(ID{C1}{2,3})JT{11}SR{29})"},
      {"GD", "GD(ID{A1}PT(ID{P1}{1})SB{23}KA(IR{KA1}))"},
      {"KO", "KO(ID{O1}PT(ID{P1}{1})SR{86}JS{School})"},
      {"MH", "MH(ID{M1}PT(ID{P1}{1})HK{12.5})"},
      {"TS", "TS(ID{T1}PT(ID{P1}{1})ND(ID{N1}))"},
      {"TK", "TK(ID{L1}CV(ID{C1}{1,2})SB{44}ER(IR{ER00000001}))"},
      {"EK", "EK(ID{EK000001})"},
      {"DK", "DK(ID{D1}CV(ID{C1}{1,3})HR(IR{H1})TR(IR{T1})YR(IR{Y1}))"},
      {"DS", "DS(ID{S1}PT(ID{P3}{3}))"},
  };
  for (const auto& [code, line] : lines) WriteLayer("all", code + ".sal", {line});
  Run("all");

  const std::vector<std::pair<std::string, std::string>> schemas = {
      {"CM", "name:C60 sr:C2 srname:C20 id:C8 ptid:C8"},
      {"KJ", "name:C60 hk:C9 sr:C2 srname:C20 id:C8 ptid:C8"},
      {"KS", "id:C8 ptid:C8 ndid:C8 gmir:C14"},
      {"KK",
       "name:C60 jt:C2 jtname:C20 yu:C2 yuname:C20 sb:C2 sbname:C20 fi:C2 finame:C20 id:C8 "
       "cvid:C8 egid:C8 bdir1:C14 bdir2:C14 gmir:C14 trir:C14 kb:I6"},
      {"SK", "name:C60 sr:C2 srname:C20 id:C8 cvid:C8"},
      {"GK", "name:C60 jt:C2 jtname:C20 sr:C2 srname:C20 id:C8 cvid:C8"},
      {"GD", "name:C60 sb:C2 sbname:C20 id:C8 kair:C14"},
      {"KO", "name:C60 sr:C2 srname:C20 id:C8 ptid:C8 js:C60"},
      {"MH", "hk:C12 id:C8 ptid:C8"},
      {"TS", "ndid:C8 gmir:C14 id:C8 ptid:C8"},
      {"TK",
       "name:C60 jt:C2 jtname:C20 sb:C2 sbname:C20 id:C8 cvid:C8 egid:C8 hrir:C14 erir:C14 "
       "bdir1:C14 bdir2:C14 gmir:C14"},
      {"EK", "name:C60 id:C8 knir:C8"},
      {"DK",
       "name:C60 jt:C2 jtname:C20 yu:C2 yuname:C20 sb:C2 sbname:C20 fi:C2 finame:C20 id:C8 "
       "cvid:C8 egid:C8 bdir1:C14 bdir2:C14 gmir:C14 hrir:C14 trir:C14 yrir:C14 kb:I6"},
      {"DS", "id:C8 ptid:C8 ndid:C8 gmir:C14"},
      {"HA", "name:C32 id:C8 ir:C14"},
      {"TO", "name:C32 id:C8 ir:C14"},
      {"YO", "name:C32 id:C8 ir:C14"},
  };
  std::vector<std::string> order;
  for (const auto& [code, schema] : schemas) {
    SCOPED_TRACE(code);
    order.push_back(code);
    const ReadTable table = Table("all", code);
    EXPECT_EQ(table.Schema(), schema);
    EXPECT_EQ(table.coordsys, "Earth Projection 1, 33");
    EXPECT_EQ(table.features.size(), 1u);
    const std::string header = ReadFile(OutputPrefix("all") + code + ".tab");
    EXPECT_NE(header.find("!charset WindowsJapanese\n"), std::string::npos) << header;
    EXPECT_NE(header.find("Charset \"WindowsJapanese\""), std::string::npos) << header;
    EXPECT_EQ(header.find("Neutral"), std::string::npos) << header;
  }
  EXPECT_EQ(started, order);

  for (const char* code : {"CM", "KS", "GD", "KO", "TS", "DS"}) {
    SCOPED_TRACE(code);
    ExpectSymbol(Table("all", code).features.at(0), 67, 12, 0xFF0000);
  }
  ExpectSymbol(Table("all", "MH").features.at(0), 32, 12, 0x000000);
  ExpectPen(Table("all", "KK").features.at(0), 2, 2, 0x00C8C8);
  ExpectPen(Table("all", "SK").features.at(0), 1, 2, 0x00FFFF);
  // Layers without a style of their own show the driver's default pen.
  for (const char* code : {"GK", "HA", "TO", "YO"}) {
    SCOPED_TRACE(code);
    ExpectPen(Table("all", code).features.at(0), 1, 2, 0x000000);
  }
  const auto ko = Table("all", "KO").features.at(0);
  EXPECT_EQ(ko.text[5], "School");
  EXPECT_EQ(ko.text[2], "学校");
  EXPECT_EQ(Table("all", "GD").features.at(0).text[4], "KA1");
  EXPECT_EQ(Table("all", "KS").features.at(0).text[3], "G1");
  EXPECT_TRUE(notifier.notices.empty());
}

TEST_F(TabExportTest, SheetsWithoutPointsOrWithEmptyLayersStillBehave) {
  WritePoints("nopoints", "");
  WriteLayer("nopoints", "CM.sal", {"CM(ID{C1}PT(ID{P1}{1}))"});
  Run("nopoints");
  EXPECT_FALSE(TableExists("nopoints", "CM"));
  EXPECT_TRUE(started.empty());

  WritePoints("empty", PointFile({kP1}));
  WriteFile(SheetPrefix("empty") + "CM.sal", "");
  Run("empty");
  const ReadTable cm = Table("empty", "CM");
  EXPECT_EQ(cm.fields.size(), 5u);
  EXPECT_TRUE(cm.features.empty());
  EXPECT_FALSE(TableExists("empty", "KJ"));
  EXPECT_TRUE(notifier.notices.empty());
}

TEST_F(TabExportTest, PointLayersDrawTheFirstItemAndLeaveTheRestForTheNextLines) {
  WritePoints("points", PointFile({kP1, kP2, kP3}), PointFile({kP3, kP1}));
  WriteLayer("points", "CM.sal",
             {
                 "CM(ID{C1}PT(ID{P1}{1,2,3})SR{21}NM{Kita})",
                 "CM(ID{C2}SR{99})",          // no list: the next item, 2; the name carries over
                 "",                          // an empty line is a feature too: item 3
                 "CM(ID{C4})",                // nothing left: no geometry
                 "CM(ID{C5}PT(ID{P5}{q7}))",  // not a number: point 0, which has no place
                 "CM(ID{C6}PT(ID{P6}{9}))",   // above the count: reported, no geometry
             });
  WriteLayer("points", "MH.sal", {"MH(ID{M1}PT(ID{P1}{2,1})HK{12.5})"});
  Run("points");

  const ReadTable cm = Table("points", "CM");
  ASSERT_EQ(cm.features.size(), 6u);
  ExpectAt(cm.features[0], {kP1});
  EXPECT_EQ(cm.features[0].text,
            (std::vector<std::string>{"Kita", "21", "都道府県庁", "C1", "P1"}));
  ExpectAt(cm.features[1], {kP2});
  EXPECT_EQ(cm.features[1].text, (std::vector<std::string>{"Kita", "99", "99", "C2", ""}));
  ExpectAt(cm.features[2], {kP3});
  EXPECT_EQ(cm.features[2].text, (std::vector<std::string>{"Kita", "", "", "", ""}));
  for (int i : {3, 4, 5}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cm.features[i].geometry_type, "");
    EXPECT_EQ(cm.features[i].text[3], "C" + std::to_string(i + 1));
  }
  ASSERT_EQ(notifier.notices.size(), 1u);
  EXPECT_EQ(notifier.notices[0].text, "over scoordnum");
  EXPECT_EQ(notifier.notices[0].file, SheetPrefix("points") + "CM.sal");
  EXPECT_EQ(notifier.notices[0].line, 6);

  // The MH layer looks its points up in its own point file.
  const ReadTable mh = Table("points", "MH");
  ExpectAt(mh.features.at(0), {kP1});
  EXPECT_EQ(mh.features[0].text, (std::vector<std::string>{"12.5", "M1", "P1"}));
}

TEST_F(TabExportTest, ControlPointsAreGradedByHeightAndBadHeightsAreReported) {
  WritePoints("kj", PointFile({kP1}));
  WriteLayer("kj", "KJ.sal",
             {
                 "KJ(ID{K1}PT(ID{P1}{1})HK{0.5})",
                 "KJ(ID{K2}PT(ID{P1}{1})HK{1})",
                 "KJ(ID{K3}PT(ID{P1}{1})HK{2})",
                 "KJ(ID{K4}PT(ID{P1}{1})HK{6684672})",  // 2.5: a half goes to the even 2
                 "KJ(ID{K5}PT(ID{P1}{1})HK{1000})",
                 "KJ(ID{K6}PT(ID{P1}{1})HK{12a})",
                 "KJ(ID{K7}PT(ID{P1}{1}))",
                 "KJ(ID{K8}PT(ID{P1}{1})HK{ 3e1 })",
             });
  Run("kj");
  const ReadTable kj = Table("kj", "KJ");
  const std::vector<std::int32_t> colours = {0xFF0000, 0xFF0000, 0x7F8000, 0x000002,
                                             0x004148, 0xFF0000, 0xFF0000, 0x088000};
  ASSERT_EQ(kj.features.size(), colours.size());
  for (std::size_t i = 0; i < colours.size(); ++i) {
    SCOPED_TRACE(i);
    ExpectSymbol(kj.features[i], 36, 10, colours[i]);
    ExpectAt(kj.features[i], {kP1});
  }
  EXPECT_EQ(kj.features[5].text[1], "12a");
  ASSERT_EQ(notifier.notices.size(), 2u);
  EXPECT_EQ(notifier.notices[0].text, "hk is not a number: 12a");
  EXPECT_EQ(notifier.notices[0].file, SheetPrefix("kj") + "KJ.sal");
  EXPECT_EQ(notifier.notices[0].line, 6);
  EXPECT_EQ(notifier.notices[1].text, "hk is not a number: ");
  EXPECT_EQ(notifier.notices[1].line, 7);
}

// A station stands on the first point of the railway line whose ER
// reference names it: the station number is the reference's text from its
// eighth byte on, as the table keeps it (14 bytes). A station left without
// a position is named in a warning at its line.
TEST_F(TabExportTest, StationsArePlacedByTheRailwayLinesOfTheSameSheetOnly) {
  WritePoints("rail", PointFile({kP1, kP2, kP3}));
  WriteLayer("rail", "TK.sal",
             {
                 "TK(ID{L1}CV(ID{C1}{1,2})SB{43}ER(IR{ER00000005}))",
                 "TK(ID{L2}CV(ID{C2}{3,1})SB{44}ER(IR{ER00000007}))",
                 "TK(ID{L3}ER(IR{ER00000005}))",                 // no points: station 5 stays
                 "TK(ID{L4}CV(ID{C4}{2,3})ER(IR{ER99999999}))",  // beyond the table
                 // The line starts at a point the sheet lacks: so does its
                 // station, though the next point has a position.
                 "TK(ID{L5}CV(ID{C5}{9,2})ER(IR{ER00000011}))",
                 // Station 234: not 1234 (from byte 7) nor 34 (from byte 9).
                 "TK(ID{L6}CV(ID{C6}{2,3})ER(IR{ER28201234}))",
                 // 15 bytes, of which 14 are kept: station 3, not 35.
                 "TK(ID{L7}CV(ID{C7}{3,2})ER(IR{ER2820400000035}))",
             });
  WriteLayer("rail", "EK.sal",
             {
                 "EK(ID{EK000005}KN(IR{KN00000000000001})NM{Eki})",
                 "EK(ID{EK000007})",
                 "EK(ID{EK000009})",  // no railway line names it
                 "EK(ID{EK999999})",  // beyond the table
                 "EK(ID{EK000011})",
                 "EK(ID{EK000234})",
                 "EK(ID{EK001234})",
                 "EK(ID{EK000034})",
                 "EK(ID{EK000003})",
                 "EK(ID{EK000035})",
             });
  Run("rail");

  const ReadTable tk = Table("rail", "TK");
  ASSERT_EQ(tk.features.size(), 7u);
  ExpectPen(tk.features[0], 3, 77, 0x2900B4);
  ExpectPen(tk.features[1], 3, 2, 0x2828B4);
  EXPECT_EQ(tk.features[2].geometry_type, "");
  EXPECT_EQ(tk.features[2].text[9], "ER00000005");
  EXPECT_EQ(tk.features[6].text[9], "ER282040000003");

  const ReadTable ek = Table("rail", "EK");
  ASSERT_EQ(ek.features.size(), 10u);
  ExpectAt(ek.features[0], {kP1});
  ExpectSymbol(ek.features[0], 67, 12, 0xFF0000);
  EXPECT_EQ(ek.features[0].text, (std::vector<std::string>{"Eki", "EK000005", "KN000000"}));
  ExpectAt(ek.features[1], {kP3});
  ExpectAt(ek.features[5], {kP2});  // 234
  ExpectAt(ek.features[8], {kP3});  // 3
  for (int i : {2, 3, 4, 6, 7, 9}) {
    SCOPED_TRACE(ek.features[i].text[1]);
    EXPECT_EQ(ek.features[i].geometry_type, "");
    EXPECT_EQ(ek.features[i].text[0], "Eki");
  }
  EXPECT_EQ(ek.features[3].text[1], "EK999999");

  // The next sheet of the batch has no railway layer: its stations find no
  // place, not the place the sheet before gave them.
  WritePoints("next", PointFile({kP2}));
  WriteLayer("next", "EK.sal", {"EK(ID{EK000005})"});
  Run("next");
  EXPECT_EQ(Table("next", "EK").features.at(0).geometry_type, "");

  // Each station without a position is named at its line; the EK table
  // keeps 8 bytes of the 14 of a KN reference, and says so, as the TK table
  // does of the one ER reference past 14.
  std::vector<std::string> said;
  for (const Notice& notice : notifier.notices) {
    said.push_back(std::filesystem::path(notice.file).filename().string() + ":" +
                   std::to_string(notice.line) + ": " + notice.text);
  }
  const std::string unnamed = " has no position: no railway line (TK) of this sheet names it";
  EXPECT_EQ(said, (std::vector<std::string>{
                      "railTK.sal:5: over scoordnum",
                      "railTK.sal:0: values longer than their field were cut: erir 1; a "
                      "GeoPackage keeps them whole",
                      "railEK.sal:3: station EK000009" + unnamed,
                      "railEK.sal:4: station EK999999" + unnamed,
                      "railEK.sal:5: over scoordnum",
                      "railEK.sal:5: station EK000011 has no position: point 9, where the railway "
                      "line naming it starts, has none",
                      "railEK.sal:7: station EK001234" + unnamed,
                      "railEK.sal:8: station EK000034" + unnamed,
                      "railEK.sal:10: station EK000035" + unnamed,
                      "railEK.sal:0: values longer than their field were cut: knir 1; a "
                      "GeoPackage keeps them whole",
                      "nextEK.sal:1: station EK000005" + unnamed,
                  }));
}

TEST_F(TabExportTest, LinesComeOutWholeAndShortLinesKeepTheirPlace) {
  WritePoints("lines", PointFile({kP1, kP2, kP3}));
  std::string long_list;
  constexpr int kLongLine = 40000;  // past the format's 32767 vertices of a plain section
  for (int i = 0; i < kLongLine; ++i) long_list += (i ? "," : "") + std::to_string(i % 3 + 1);
  WriteLayer("lines", "SK.sal",
             {
                 "SK(ID{W1}CV(ID{C1}{1,2,3})SR{51})",
                 "SK(ID{W2}CV(ID{C2}{3,,2}))",  // an empty item has no place and is left out
                 "SK(ID{W3}CV(ID{C3}{2}))",
                 "SK(ID{W4})",
                 "SK(ID{W5}CV(ID{C5}{" + long_list + "}))",
             });
  Run("lines");
  const ReadTable sk = Table("lines", "SK");
  ASSERT_EQ(sk.features.size(), 5u);
  EXPECT_EQ(sk.features[0].geometry_type, "LINESTRING");
  ExpectAt(sk.features[0], {kP1, kP2, kP3});
  ExpectPen(sk.features[0], 1, 2, 0x00FFFF);
  EXPECT_EQ(sk.features[0].text[2], "水涯線または湖岸線");
  ExpectAt(sk.features[1], {kP3, kP2});
  ExpectAt(sk.features[2], {kP2, kP2});
  EXPECT_EQ(sk.features[3].geometry_type, "");
  EXPECT_EQ(sk.features[3].text[3], "W4");
  const auto& longest = sk.features[4];
  ASSERT_EQ(longest.x.size(), static_cast<std::size_t>(kLongLine));
  const Offset cycle[] = {kP1, kP2, kP3};
  for (int i : {0, 4000, 4001, 32767, kLongLine - 1}) {
    EXPECT_NEAR(longest.x[i], Lon(cycle[i % 3]), kReadTolerance) << i;
    EXPECT_NEAR(longest.y[i], Lat(cycle[i % 3]), kReadTolerance) << i;
  }
  EXPECT_TRUE(notifier.notices.empty());
}

TEST_F(TabExportTest, RoadLinesChooseTheirPensAndFeedTheListLayers) {
  WritePoints("road", PointFile({kP1, kP2, kP3}));
  const std::vector<std::string> dk = {
      "DK(ID{D1}CV(ID{C1}{1,2})FI{19}SB{15})",
      "DK(ID{D2}CV(ID{C2}{1,2})FI{19}SB{16}KB{x})",
      "DK(ID{D3}CV(ID{C3}{2,3})FI{1B}HR(IR{HR1})DH(IR{DH1})KB{123}NM{" + Sjis("国道") + "})",
      "DK(ID{D4}CV(ID{C4}{3,1})FI{17}TR(IR{TR1})TT(IR{TT1}))",
      "DK(ID{D5}CV(ID{C5}{1,3})HR(IR{HR2})YR(IR{YR1})TT(IR{TT2}))",
      "DK(ID{D6}CV(ID{C6}{2,1})YR(IR{YR2})KH(IR{KH1}))",
      // The pen and the values as the table keeps them: codes of two bytes,
      // kb in 16 bits.
      "DK(ID{D7}CV(ID{C7}{1,2})FI{1B9}SB{16X}KB{40000})",
  };
  WriteLayer("road", "DK.sal", dk);
  WriteLayer("road", "KK.sal", {"KK(ID{K1}CV(ID{C1}{1,2})FI{1B}SB{16}KB{-5})"});
  WriteFile(SheetPrefix("road") + "_TO.txt", "left over from an earlier run\r\n");
  Run("road");

  const ReadTable table = Table("road", "DK");
  ASSERT_EQ(table.features.size(), 7u);
  ExpectPen(table.features[0], 2, 2, 0xC8C8C8);
  ExpectPen(table.features[1], 4, 2, 0xC88000);
  ExpectPen(table.features[2], 3, 2, 0x000000);
  ExpectPen(table.features[3], 3, 2, 0x000000);
  ExpectPen(table.features[4], 1, 2, 0x000000);
  ExpectPen(table.features[5], 3, 112, 0x285050);
  ExpectPen(table.features[6], 4, 2, 0xC88000);
  constexpr int kKb = 18;
  EXPECT_EQ(table.fields[kKb].type, "Integer");
  EXPECT_EQ(table.features[0].integer[kKb], 0);
  EXPECT_EQ(table.features[1].integer[kKb], -1);
  EXPECT_EQ(table.features[2].integer[kKb], 123);
  EXPECT_EQ(table.features[6].integer[kKb], -25536);
  EXPECT_EQ(table.features[6].text[6], "高速道路");
  EXPECT_EQ(table.features[6].text[8], "13.0m以上");
  EXPECT_EQ(table.features[1].text[6], "高速道路");
  EXPECT_EQ(table.features[0].text[8], "3.0m以上5.5m未満");
  const ReadTable kk = Table("road", "KK");
  ExpectPen(kk.features.at(0), 2, 2, 0x00C8C8);
  EXPECT_EQ(kk.features[0].integer[16], -5);

  EXPECT_EQ(ReadFile(SheetPrefix("road") + "_HA.txt"), dk[2] + "\r\n" + dk[4] + "\r\n");
  EXPECT_EQ(ReadFile(SheetPrefix("road") + "_TO.txt"), dk[3] + "\r\n");
  EXPECT_EQ(ReadFile(SheetPrefix("road") + "_YO.txt"), dk[4] + "\r\n" + dk[5] + "\r\n");

  const ReadTable ha = Table("road", "HA");
  ASSERT_EQ(ha.features.size(), 2u);
  EXPECT_EQ(ha.features[0].text, (std::vector<std::string>{"国道", "D3", "DH1"}));
  ExpectAt(ha.features[0], {kP2, kP3});
  // No candidate set (HA does not look at ttir): the id; the name carries over.
  EXPECT_EQ(ha.features[1].text, (std::vector<std::string>{"国道", "D5", "D5"}));
  ExpectAt(ha.features[1], {kP1, kP3});
  const ReadTable to = Table("road", "TO");
  ASSERT_EQ(to.features.size(), 1u);
  EXPECT_EQ(to.features[0].text, (std::vector<std::string>{"", "D4", "TT1"}));
  const ReadTable yo = Table("road", "YO");
  ASSERT_EQ(yo.features.size(), 2u);
  EXPECT_EQ(yo.features[0].text[2], "TT2");
  EXPECT_EQ(yo.features[1].text[2], "KH1");
  ExpectAt(yo.features[1], {kP2, kP1});

  // A sheet without a road layer builds its list layers from the lists an
  // earlier run left in its folder, and leaves them as they are.
  WritePoints("again", PointFile({kP1, kP2, kP3}));
  WriteFile(SheetPrefix("again") + "_HA.txt", dk[2] + "\r\n");
  Run("again");
  EXPECT_EQ(Table("again", "HA").features.size(), 1u);
  EXPECT_EQ(ReadFile(SheetPrefix("again") + "_HA.txt"), dk[2] + "\r\n");
  EXPECT_FALSE(TableExists("again", "TO"));
  EXPECT_EQ(
      notifier.texts(),
      std::vector<std::string>{
          "values longer than their field were cut: sb 1, fi 1; a GeoPackage keeps them whole"});
}

TEST_F(TabExportTest, TextReachesTheDatFileByteForByteAndReadsBackAsJapanese) {
  WritePoints("text", PointFile({kP1}));
  // 0xED40 and 0xFA5C are the NEC and IBM codes of one character, 0x8740 is
  // (1) circled; マ (0x837D) ends in a brace byte.
  const std::string name = Sjis("名前") + "\xED\x40\xFA\x5C\x87\x40" + Sjis("マ");
  // 59 bytes, then a double-byte character across the field's 60-byte width.
  const std::string long_name = std::string(59, 'a') + Sjis("長");
  WriteLayer("text", "CM.sal",
             {"CM(ID{C1}PT(ID{P1}{1})SR{21}NM{" + name + "})",
              "CM(ID{C2}PT(ID{P1}{1})NM{" + long_name + "})"});
  Run("text");

  const std::string dat = ReadFile(OutputPrefix("text") + "CM.dat");
  std::string padded_name = name;
  padded_name.resize(60, '\0');
  EXPECT_NE(dat.find(padded_name), std::string::npos);
  EXPECT_NE(dat.find(Sjis("都道府県庁")), std::string::npos);
  std::string cut_name(59, 'a');
  cut_name += '\0';
  EXPECT_NE(dat.find(cut_name), std::string::npos);

  const ReadTable cm = Table("text", "CM");
  ASSERT_EQ(cm.features.size(), 2u);
  EXPECT_EQ(cm.features[0].text[0], "名前纊纊①マ");
  EXPECT_EQ(cm.features[0].text[2], "都道府県庁");
  EXPECT_EQ(cm.features[1].text[0], std::string(59, 'a'));
}

TEST_F(TabExportTest, CoordinatesKeepTheirTenThousandthOfASecondAcrossJapan) {
  // Sheet origins at the corners of Japan and in between; the offsets fill
  // the eight-byte fields.
  struct Origin {
    long long x, y;
  };
  const Origin origins[] = {{4425480000, 735120000},   // 122.93°E 20.42°N
                            {5540000000, 1640000000},  // 153.89°E 45.56°N
                            {5029712345, 1285554321}};
  const std::initializer_list<Offset> offsets = {
      {0, 0}, {1, 1}, {12345678, 87654321}, {99999999, 99999999}, {-9999999, 3}, {7777777, -55}};
  double worst = 0.0;
  int sheet = 0;
  for (const Origin& origin : origins) {
    const std::string name = "corner" + std::to_string(sheet++);
    std::filesystem::create_directories(dir / name);
    WriteFile(SheetPrefix(name) + ".slm",
              std::to_string(origin.x) + "," + std::to_string(origin.y) + "\r\n0,0\r\n");
    WriteFile(SheetPrefix(name) + ".slp", PointFile(offsets));
    std::string list;
    for (std::size_t i = 1; i <= offsets.size(); ++i)
      list += (i > 1 ? "," : "") + std::to_string(i);
    WriteLayer(name, "SK.sal", {"SK(CV(ID{C1}{" + list + "}))"});
    Run(name);
    const auto line = Table(name, "SK").features.at(0);
    ASSERT_EQ(line.x.size(), offsets.size());
    std::size_t i = 0;
    for (const Offset& offset : offsets) {
      const long long units_x = origin.x + offset.x;
      const long long units_y = origin.y + offset.y;
      worst = std::max(worst, std::fabs(line.x[i] - units_x / kUnitsPerDegree));
      worst = std::max(worst, std::fabs(line.y[i] - units_y / kUnitsPerDegree));
      EXPECT_EQ(std::llround(line.x[i] * kUnitsPerDegree), units_x);
      EXPECT_EQ(std::llround(line.y[i] * kUnitsPerDegree), units_y);
      ++i;
    }
  }
  // The table stores every point exactly; what remains is GDAL's rounding
  // of what it reads to 1e-8 degree.
  EXPECT_LT(worst, 5.01e-9);
  EXPECT_TRUE(notifier.notices.empty());
}

// Stops the conversion at the first data problem, as a front end may.
class StoppingNotifier : public Notifier {
 public:
  void Notify(const Notice& notice) override { throw std::runtime_error(notice.text); }
};

TEST_F(TabExportTest, FailuresNameTheFileAndLeaveNoHalfWrittenTable) {
  WritePoints("stop", PointFile({kP1}));
  WriteLayer("stop", "CM.sal", {"CM(ID{C1}PT(ID{P1}{1}))"});
  WriteLayer("stop", "KJ.sal", {"KJ(ID{K1}PT(ID{P1}{1})HK{1})", "KJ(ID{K2}PT(ID{P1}{1})HK{x})"});
  StoppingNotifier stopping;
  ExportContext context{state, &stopping, {}};
  EXPECT_THROW(ConvertSheet(SheetPrefix("stop"), OutputPrefix("stop"), TabFormat(), context),
               std::runtime_error);
  // None of the sheet's tables is put in place, and nothing else is left.
  for (const char* code : {"CM", "KJ"}) EXPECT_FALSE(TableExists("stop", code)) << code;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".stop."), std::string::npos) << entry.path();
  }

  const std::string nowhere = dir / "missing/stop";
  try {
    ExportContext quiet{state, &notifier, {}};
    ConvertSheet(SheetPrefix("stop"), nowhere, TabFormat(), quiet);
    FAIL() << "no OutputError";
  } catch (const OutputError& error) {
    EXPECT_EQ(error.file(), dir / "missing/");
  }
}

// Writing runs out of room (a full disk, a file too large) while the driver
// writes its records, or only as it closes its files, whose results it does
// not look at: either way the sheet ends with an error naming the table in
// local file names, and no part of the table stays.
TEST_F(TabExportTest, AWriteThatFailsEvenAsTheTableClosesEndsTheSheet) {
  const std::string line = "KO(ID{KO1}PT(ID{P1}{1})NM{" + std::string(60, 'n') + "}JS{" +
                           std::string(60, 'j') + "}SR{11})";
  // 300 lines make a .dat file of 48 kB that is written whole as the table
  // closes, 3000 lines one that is written along the way.
  for (const int lines : {300, 3000}) {
    const std::string name = "full" + std::to_string(lines);
    WritePoints(name, PointFile({kP1}));
    WriteLayer(name, "KO.sal", std::vector<std::string>(static_cast<std::size_t>(lines), line));
    try {
      testing::FileSizeLimit limit(16 * 1024);
      Run(name);
      ADD_FAILURE() << lines << " lines: no OutputError";
    } catch (const OutputError& error) {
      EXPECT_EQ(error.file(), OutputPrefix(name) + "KO.tab");
      const std::string message = error.what();
      EXPECT_EQ(message.find("/vsi"), std::string::npos) << message;
      if (lines == 300) {
        EXPECT_NE(message.find(OutputPrefix(name) + "KO.dat: " + std::strerror(EFBIG)),
                  std::string::npos)
            << message;
      }
    }
    for (const char* extension : {".tab", ".map", ".dat", ".id"}) {
      EXPECT_FALSE(std::filesystem::exists(OutputPrefix(name) + "KO" + extension)) << extension;
    }
  }
}

TEST_F(TabExportTest, ATableKeepsAsManyDifferentSymbolsAsTheFormatCanTellApart) {
  WritePoints("many", PointFile({kP1}));
  std::vector<std::string> lines;
  for (int hk = 1; hk <= 300; ++hk) {
    lines.push_back("KJ(ID{K" + std::to_string(hk) + "}PT(ID{P1}{1})HK{" + std::to_string(hk) +
                    "})");
  }
  WriteLayer("many", "KJ.sal", lines);
  Run("many");
  const ReadTable kj = Table("many", "KJ");
  ASSERT_EQ(kj.features.size(), 300u);
  std::vector<std::int32_t> kept;
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    const auto& style = kj.features[i].style;
    EXPECT_EQ(style.number, 36);
    EXPECT_EQ(style.size, 10);
    if (i < 255) {
      EXPECT_EQ(style.colour, std::lround(16711680.0 / (i + 1)));
      kept.push_back(style.colour);
    } else {
      EXPECT_NE(std::find(kept.begin(), kept.end(), style.colour), kept.end());
    }
  }
  ASSERT_EQ(notifier.notices.size(), 1u);
  EXPECT_EQ(notifier.notices[0].line, 256);
}

}  // namespace
}  // namespace quellmark
