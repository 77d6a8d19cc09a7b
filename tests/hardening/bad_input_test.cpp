// Each case feeds quellmark-convert one kind of damage and checks what must
// happen: the exit code, the message, what is written and what is not.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/lha_builder.h"
#include "support/run_program.h"
#include "support/table_reader.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using testing::FeatureCount;
using testing::ProgramResult;
using testing::ReadTableBack;
using testing::RunProgram;
using testing::TempDir;

// Layer-set files by suffix ("s" + suffix is the member name).
using Sheet = std::map<std::string, std::string>;

std::string Points(int count) {
  std::string out;
  for (int i = 1; i <= count; ++i) {
    char line[24];
    std::snprintf(line, sizeof line, "%08d%08d\r\n", i * 100, i * 50);
    out += line;
  }
  return out;
}

Sheet GoodSheet() {
  return {{".slm", "4868260000,1248680000\r\n0,0\r\n"},
          {".slp", Points(10)},
          {"MH.slp", Points(3)},
          {"CM.sal", "CM(ID{CM000001}){SR{93}NM{A}PT(ID{PT000001}){000001}}\r\n"},
          {"DK.sal", "DK(ID{DK000001}){JT{11}FI{19}CV(ID{CV000001}){000001,000002}}\r\n"}};
}

class BadInputTest : public ::testing::Test {
 protected:
  // Packs the sheet as dir/s.lzh and converts it.
  ProgramResult Convert(const Sheet& sheet, std::vector<std::string> args = {}) {
    std::vector<lhatest::Member> members;
    for (const auto& [suffix, bytes] : sheet) members.emplace_back("s" + suffix, bytes);
    testing::WriteFile(Archive(), lhatest::BuildLevel2(members));
    return Run(std::move(args));
  }
  ProgramResult Run(std::vector<std::string> args = {}) {
    args.push_back(Archive());
    return RunProgram(QUELLMARK_CONVERT, args);
  }
  std::string Archive() const { return dir / "s.lzh"; }
  std::string Out(const std::string& code, const char* ext = ".tab") const {
    return dir / ("s" + code + ext);
  }
  // Files in the work folder outside the archive, its tables and its
  // extraction folder.
  std::vector<std::string> Strays() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
      const std::string rel = fs::relative(entry.path(), dir.path()).string();
      if (rel == "s.lzh" || rel == "s" || rel.rfind("s/", 0) == 0) continue;
      if (rel.size() > 3 && rel[0] == 's' && rel.find('/') == std::string::npos) continue;
      out.push_back(rel);
    }
    return out;
  }
  TempDir dir;
};

TEST_F(BadInputTest, HugeLinesAndListsConvertWhole) {
  Sheet sheet = GoodSheet();
  std::string list;
  for (int i = 0; i < 400000; ++i)
    list += (i ? "," : "") + std::string(i % 2 ? "000001" : "000002");
  ASSERT_GT(list.size(), 2u << 20);  // a line of several megabytes
  sheet["DK.sal"] = "DK(ID{DK000001}){CV(ID{CV1}){" + list + "}}\r\n";
  sheet["SK.sal"] = "SK(ID{SK1}){NM{" + std::string(3 << 20, 'n') + "}CV(ID{C}){1,2}}\r\n";
  for (const char* format : {"tab", "shape"}) {
    ProgramResult r = Convert(sheet, {"--format", format});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto dk = ReadTableBack(Out("DK", format == std::string("tab") ? ".tab" : ".shp"));
    ASSERT_EQ(dk.features.size(), 1u);
    EXPECT_EQ(dk.features[0].x.size(), 400000u);
  }
}

TEST_F(BadInputTest, DamagedBytesInLayerFilesAreReportedAndEveryLineKept) {
  Sheet sheet = GoodSheet();
  // NUL bytes, a lone lead byte at the end of a line and of the file,
  // unbalanced and nested delimiters: closers left over at the end, a
  // missing ")".
  sheet["CM.sal"] = std::string("CM(ID{C1}){NM{a\0b}PT(ID{P}){1}}\r\n", 34) +
                    std::string("CM(ID{C2}){\0}\r\n", 15) + "CM(ID{C3}){NM{x\x83}PT{2}}\x83\r\n" +
                    "CM(((ID{{{C4}}}}}))){PT(ID{P}){{3}}}\r\n" + "}}}{{{)))(((\r\n" +
                    "CM(ID{C6}){PT(ID{P}){4}}}}}\r\n" + "CM(ID{C7}{PT(ID{P}){5}}\r\n" + "\x83";
  ProgramResult r = Convert(sheet);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(FeatureCount(Out("CM")), 8);
  EXPECT_EQ(r.err.find(std::string(1, '\0')), std::string::npos);
  // Each damaged line is named; the lines that are whole are not.
  for (const char* warning : {
           "layer CM, line 2: non \\x00",
           "layer CM, line 3: unbalanced delimiters: '{' is not closed",
           "layer CM, line 4: unbalanced delimiters: '}' closes '('",
           "layer CM, line 5: unbalanced delimiters: '}' closes nothing",
           "layer CM, line 6: unbalanced delimiters: '}' closes nothing",
           "layer CM, line 7: unbalanced delimiters: '(' is not closed",
       }) {
    EXPECT_NE(r.err.find("quellmark-convert: warning: s.lzh: " + std::string(warning) + "\n"),
              std::string::npos)
        << warning << "\n"
        << r.err;
  }
  EXPECT_EQ(r.err.find("line 1: unbalanced"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("line 2: unbalanced"), std::string::npos) << r.err;
  // What is converted is what it was: the points of lines 6 and 7 read back.
  const auto cm = ReadTableBack(Out("CM"));
  ASSERT_EQ(cm.features.size(), 8u);
  EXPECT_EQ(cm.features[5].x.size(), 1u);
  EXPECT_EQ(cm.features[6].x.size(), 1u);
}

TEST_F(BadInputTest, LineEndsOfEveryKindAndTheEndOfFileMark) {
  const std::string a = "CM(ID{C1}){PT(ID{P}){1}}";
  for (const std::string sep : {"\r", "\n", "\r\n"}) {
    Sheet sheet = GoodSheet();
    sheet["CM.sal"] = a + sep + a + "\r\n" + a + sep;
    ProgramResult r = Convert(sheet);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(FeatureCount(Out("CM")), 3);
  }
  Sheet sheet = GoodSheet();
  sheet["CM.sal"] = a + "\r\n" + a + "\x1A" + a + "\r\n" + a + "\r\n";
  ProgramResult r = Convert(sheet);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(FeatureCount(Out("CM")), 2);
  EXPECT_NE(r.err.find("end-of-file mark"), std::string::npos) << r.err;
}

TEST_F(BadInputTest, PointNumbersAndStationNumbersOutOfEveryRange) {
  Sheet sheet = GoodSheet();
  std::string list;
  for (int i = 0; i < 100000; ++i) list += (i ? "," : "") + std::to_string(1 + i % 10);
  sheet["DK.sal"] =
      "DK(ID{D1}){CV(ID{C}){1,99999999999,-5,$FF,2}}\r\nDK(ID{D2}){CV(ID{C}){" + list + "}}\r\n";
  sheet["TK.sal"] =
      "TK(ID{T1}){CV(ID{C}){3,4}ER(IR{ER28204000005})}\r\n"
      "TK(ID{T2}){CV(ID{C}){5}ER(IR{ER28204-999999})}\r\n"
      "TK(ID{T3}){CV(ID{C}){5}ER(IR{ER282049999999})}\r\n";
  sheet["EK.sal"] =
      "EK(ID{EK000005}){NM{A}}\r\nEK(ID{EK99999999999}){NM{B}}\r\n"
      "EK(ID{EK-5}){NM{C}}\r\nEK(ID{EK$FFFFFFFF}){NM{D}}\r\n";
  for (const char* format : {"tab", "shape"}) {
    ProgramResult r = Convert(sheet, {"--format", format});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("layer DK, line 1: over scoordnum"), std::string::npos) << r.err;
    // Each station left without a position is named at its line.
    for (const char* station :
         {"2: station EK99999999999", "3: station EK-5", "4: station EK$FFFFFFFF"}) {
      EXPECT_NE(r.err.find("warning: s.lzh: layer EK, line " + std::string(station) +
                           " has no position: no railway line (TK) of this sheet names it\n"),
                std::string::npos)
          << station << "\n"
          << r.err;
    }
    EXPECT_EQ(r.err.find("line 1: station"), std::string::npos) << r.err;
    const char* ext = format == std::string("tab") ? ".tab" : ".shp";
    EXPECT_EQ(FeatureCount(Out("DK", ext)), 2);
    const auto ek = ReadTableBack(Out("EK", ext));
    ASSERT_EQ(ek.features.size(), 4u);
    EXPECT_EQ(ek.features[0].x.size(), 1u);  // station 5 stands on point 3
    for (int i = 1; i < 4; ++i) EXPECT_TRUE(ek.features[i].x.empty()) << i;
  }
}

TEST_F(BadInputTest, BadSheetHeadersEndTheSheetWithoutTables) {
  for (const std::string& slm : {std::string("missing"), std::string(""),
                                 std::string("abc,def\r\n"), std::string("1.5,2\r\n")}) {
    Sheet sheet = GoodSheet();
    if (slm == "missing") {
      sheet.erase(".slm");
    } else {
      sheet[".slm"] = slm;
    }
    ProgramResult r = Convert(sheet);
    EXPECT_EQ(r.exit_code, 1) << slm;
    // A missing header names the archive that lacks it; a bad one, itself.
    const std::string named =
        slm == "missing" ? Archive() + ": no sheet header (.slm)" : dir / "s/s.slm";
    EXPECT_NE(r.err.find("quellmark-convert: error: " + named), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(Out("CM"))) << slm;
  }
}

TEST_F(BadInputTest, ShortAndLongPointLinesStillNumberThePoints) {
  Sheet sheet = GoodSheet();
  sheet[".slp"] = "1\r\n00000002000000030000000400000005garbage\r\n\r\n" + Points(3);
  sheet["CM.sal"] = "CM(ID{C}){PT(ID{P}){2}}\r\nCM(ID{C}){PT(ID{P}){6}}\r\n";
  ProgramResult r = Convert(sheet);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("over scoordnum"), std::string::npos) << r.err;
  const auto cm = ReadTableBack(Out("CM"));
  ASSERT_EQ(cm.features.size(), 2u);
  EXPECT_NEAR(cm.features[0].x[0], (4868260000.0 + 2) / 36e6, 1e-8);
  EXPECT_NEAR(cm.features[0].y[0], (1248680000.0 + 3) / 36e6, 1e-8);
}

struct HostileCase {
  const char* name;
  std::vector<lhatest::Member> members;
  bool level0 = false;
};

TEST_F(BadInputTest, HostileArchivesFailWithoutWritingOutsideTheirFolder) {
  lhatest::Member crc("s.slm", "4868260000,1248680000\r\n");
  crc.claimed_crc = 0x1234;
  lhatest::Member huge("s.slp", Points(2));
  huge.claimed_original_size = 0xF0000000u;
  lhatest::Member link("sCM.sal", "/etc/passwd");
  link.unix_mode = S_IFLNK | 0777;
  std::vector<HostileCase> cases = {
      {"dot-dot", {{"../evil", "x"}}},
      {"dot-dot backslash", {{"..\\evil", "x"}}},
      {"dot-dot inside", {{"a/../../evil", "x"}}},
      {"absolute", {{"/tmp/quellmark-hostile", "x"}}},
      {"drive letter", {{"C:\\evil", "x"}}},
      {"drive letter level 0", {{"C:evil", "x"}}, true},
      {"symbolic link", {link}},
      {"crc error", {crc}},
      {"claims gigabytes", {huge}},
  };
  for (const auto& c : cases) {
    const std::string bytes =
        c.level0 ? lhatest::BuildLevel0(c.members) : lhatest::BuildLevel2(c.members);
    testing::WriteFile(Archive(), bytes);
    ProgramResult r = Run();
    EXPECT_EQ(r.exit_code, 1) << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find("error: " + Archive() + ": extraction failed"), std::string::npos)
        << c.name << "\n"
        << r.err;
    EXPECT_EQ(Strays(), std::vector<std::string>{}) << c.name;
    EXPECT_FALSE(fs::exists("/tmp/quellmark-hostile"));
  }
  // A truncated archive: every cut of a good one fails, or converts what it
  // holds when the cut falls after the last member.
  std::vector<lhatest::Member> members;
  for (const auto& [suffix, bytes] : GoodSheet()) members.emplace_back("s" + suffix, bytes);
  const std::string whole = lhatest::BuildLevel2(members);
  for (std::size_t cut : {std::size_t{10}, whole.size() / 3, whole.size() / 2, whole.size() - 3}) {
    testing::WriteFile(Archive(), whole.substr(0, cut));
    ProgramResult r = Run();
    EXPECT_EQ(r.exit_code, 1) << "cut at " << cut;
    EXPECT_EQ(Strays(), std::vector<std::string>{});
    fs::remove_all(dir / "s");
  }
}

// A name twice fails the archive (which of the two would be the sheet's?);
// an empty member is an empty layer.
TEST_F(BadInputTest, DuplicateAndEmptyMembers) {
  std::vector<lhatest::Member> members;
  for (const auto& [suffix, bytes] : GoodSheet()) members.emplace_back("s" + suffix, bytes);
  members.emplace_back("sKS.sal", "");
  testing::WriteFile(Archive(), lhatest::BuildLevel2(members));
  ProgramResult r = Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(FeatureCount(Out("KS")), 0);
  EXPECT_EQ(FeatureCount(Out("DK")), 1);

  members.emplace_back("sCM.sal", "");
  testing::WriteFile(Archive(), lhatest::BuildLevel2(members));
  r = Run();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("member sCM.sal"), std::string::npos) << r.err;
  EXPECT_EQ(FeatureCount(Out("CM")), 1);  // the earlier tables stay
}

}  // namespace
}  // namespace quellmark
