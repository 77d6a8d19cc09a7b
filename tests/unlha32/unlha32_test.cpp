// Tests of libunlha32.so through its exported entry point.
#include "unlha32.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/lha_builder.h"

namespace fs = std::filesystem;
using lhatest::BuildLevel0;
using lhatest::BuildLevel2;
using lhatest::Member;

namespace {

// A fresh folder for one test, removed afterwards.
class TestRoot {
 public:
  TestRoot() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string pattern =
        (fs::temp_directory_path() / (std::string("unlha32-") + info->name() + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TestRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Fixture(const std::string& name) {
  return ReadBytes(fs::path(UNLHA32_TEST_DATA) / name);
}

// The content of the members of the lh5 fixtures (see tests/data/unlha32).
std::string NumberedLines(int count, int a, int b) {
  std::string text;
  char line[32];
  for (int i = 1; i <= count; ++i) {
    std::snprintf(line, sizeof line, "%08d%08d\r\n", i * a, i * b);
    text += line;
  }
  return text;
}

int RunUnlha(const fs::path& stem, std::string* report = nullptr) {
  const std::string command = " e -x1 " + stem.string() + " *.* -p2 -y1";
  char output[4096];
  std::memset(output, 0x7F, sizeof output);
  const int result = Unlha(nullptr, command.c_str(), output, sizeof output);
  if (report != nullptr) *report = output;
  return result;
}

// Every path below root, relative to it, without following links.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> paths;
  if (!fs::exists(fs::symlink_status(root))) return paths;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    paths.insert(fs::relative(it->path(), root).string());
  }
  return paths;
}

// Everything below case_root except the archive and the extraction folder.
std::set<std::string> OutsideExtraction(const fs::path& case_root) {
  std::set<std::string> outside;
  for (const std::string& p : Tree(case_root)) {
    if (p != "sheet.lzh" && p != "sheet" && p.rfind("sheet/", 0) != 0) outside.insert(p);
  }
  return outside;
}

using Tree_ = std::set<std::string>;

// A case of an archive that must be refused: its own folder under the test
// root, holding sheet.lzh and (after the call) the folder sheet/.
struct HostileCase {
  std::string name;
  std::string archive;
  int expected;
  Tree_ allowed_in_folder;  // exactly what may be in sheet/ afterwards
};

void ExpectRefused(const fs::path& root, const HostileCase& c) {
  SCOPED_TRACE(c.name);
  const fs::path case_root = root / c.name;
  WriteBytes(case_root / "sheet.lzh", c.archive);
  std::string report;
  EXPECT_EQ(RunUnlha(case_root / "sheet", &report), c.expected) << report;
  EXPECT_NE(report.find("sheet.lzh"), std::string::npos) << report;
  EXPECT_EQ(OutsideExtraction(case_root), Tree_{});
  EXPECT_EQ(Tree(case_root / "sheet"), c.allowed_in_folder);
}

const char kShiftJisName[] = "表示マップ.txt";  // 表 and マ end in 0x5C and 0x7D
const char kSubMember[] = "sub/ソース.txt";     // ソ ends in 0x5C

TEST(UnlhaRealArchives, ExtractsLh5MembersWithShiftJisNamesAtEveryHeaderLevel) {
  TestRoot root;
  for (const char* level : {"0", "1", "2"}) {
    SCOPED_TRACE(level);
    const fs::path dir = root.path() / (std::string("level") + level);
    WriteBytes(dir / "533945.lzh", Fixture(std::string("lh5_level") + level + ".lzh"));

    std::string report;
    ASSERT_EQ(RunUnlha(dir / "533945", &report), UNLHA32_OK) << report;
    EXPECT_EQ(Tree(dir / "533945"), (Tree_{"533945.slp", kShiftJisName, "sub", kSubMember}));
    EXPECT_EQ(ReadBytes(dir / "533945" / "533945.slp"), NumberedLines(64, 1237, 991));
    EXPECT_EQ(ReadBytes(dir / "533945" / kShiftJisName), NumberedLines(48, 7, 13));
    EXPECT_EQ(ReadBytes(dir / "533945" / kSubMember), NumberedLines(40, 31, 17));
    EXPECT_NE(report.find(kShiftJisName), std::string::npos) << report;
  }
  // The calling thread's locale is left as it was.
  EXPECT_EQ(uselocale(static_cast<locale_t>(0)), LC_GLOBAL_LOCALE);
  EXPECT_STREQ(setlocale(LC_CTYPE, nullptr), "C");
}

TEST(UnlhaLibrary, LoadsByFileNameAndExportsTheEntryPoints) {
  void* library = dlopen(UNLHA32_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto unlha = reinterpret_cast<UnlhaFunction>(dlsym(library, "Unlha"));
  auto version = reinterpret_cast<UnlhaGetVersionFunction>(dlsym(library, "UnlhaGetVersion"));
  ASSERT_NE(unlha, nullptr);
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), UNLHA32_VERSION);

  TestRoot root;
  WriteBytes(root.path() / "s.lzh", BuildLevel0({{"m.txt", "via dlopen"}}));
  const std::string command = " e -x1 " + (root.path() / "s").string() + " *.* -p2 -y1";
  char output[256];
  EXPECT_EQ(unlha(nullptr, command.c_str(), output, sizeof output), UNLHA32_OK) << output;
  EXPECT_EQ(ReadBytes(root.path() / "s" / "m.txt"), "via dlopen");
  dlclose(library);
}

TEST(UnlhaRealArchives, ExtractsTheSampleSheet) {
  TestRoot root;
  WriteBytes(root.path() / "533945.lzh", ReadBytes(UNLHA32_SAMPLE_ARCHIVE));
  std::string report;
  ASSERT_EQ(RunUnlha(root.path() / "533945", &report), UNLHA32_OK) << report;
  Tree_ expected = {"533945.slm", "533945.slp", "533945MH.slp"};
  for (const char* code :
       {"CM", "KJ", "KS", "KK", "SK", "GK", "GD", "KO", "MH", "TS", "TK", "EK", "DK", "DS"}) {
    expected.insert(std::string("533945") + code + ".sal");
  }
  EXPECT_EQ(Tree(root.path() / "533945"), expected);
  EXPECT_EQ(ReadBytes(root.path() / "533945" / "533945.slm"), "5026500000,1284000000\r\n0,0\r\n");
}

TEST(UnlhaStems, StemWithBlanksJapaneseAndUpperCaseExtension) {
  TestRoot root;
  const fs::path folder = root.path() / "地図 データ";
  WriteBytes(folder / "sheet 533945.LZH", Fixture("lh5_level2.lzh"));

  std::string report;
  ASSERT_EQ(RunUnlha(folder / "sheet 533945", &report), UNLHA32_OK) << report;
  EXPECT_EQ(ReadBytes(folder / "sheet 533945" / "533945.slp"), NumberedLines(64, 1237, 991));
  EXPECT_TRUE(fs::exists(folder / "sheet 533945" / kSubMember));
  EXPECT_EQ(Tree(root.path()),
            (Tree_{"地図 データ", "地図 データ/sheet 533945.LZH", "地図 データ/sheet 533945",
                   "地図 データ/sheet 533945/533945.slp",
                   std::string("地図 データ/sheet 533945/") + kShiftJisName,
                   "地図 データ/sheet 533945/sub",
                   std::string("地図 データ/sheet 533945/") + kSubMember}));

  // The lower-case name wins when both exist.
  WriteBytes(root.path() / "both.LZH", "not an archive");
  WriteBytes(root.path() / "both.lzh", BuildLevel0({{"lower.txt", "x"}}));
  ASSERT_EQ(RunUnlha(root.path() / "both", &report), UNLHA32_OK) << report;
  EXPECT_EQ(Tree(root.path() / "both"), Tree_{"lower.txt"});
}

TEST(UnlhaStems, MissingOrUnreadableArchiveFailsWithReport) {
  TestRoot root;
  std::string report;
  EXPECT_EQ(RunUnlha(root.path() / "absent", &report), UNLHA32_ERROR_NOT_FOUND);
  EXPECT_NE(report.find((root.path() / "absent.lzh").string()), std::string::npos) << report;
  EXPECT_FALSE(fs::exists(root.path() / "absent"));

  WriteBytes(root.path() / "text.lzh", "this is not an LHA archive at all\r\n");
  EXPECT_EQ(RunUnlha(root.path() / "text", &report), UNLHA32_ERROR_ARCHIVE);
  EXPECT_NE(report.find("text.lzh"), std::string::npos) << report;
}

TEST(UnlhaCommandLine, AcceptsTheProgramsFormAndRefusesOthers) {
  TestRoot root;
  WriteBytes(root.path() / "a b.lzh", BuildLevel0({{"m.txt", "data"}}));
  const std::string stem = (root.path() / "a b").string();
  char output[512];

  for (const std::string& good :
       std::vector<std::string>{" e -x1 " + stem + " *.* -p2 -y1", "x " + stem + " *.*",
                                "-e \"" + stem + "\" *.* -y1"}) {
    fs::remove_all(root.path() / "a b");
    EXPECT_EQ(Unlha(nullptr, good.c_str(), output, sizeof output), UNLHA32_OK) << good;
    EXPECT_EQ(ReadBytes(root.path() / "a b" / "m.txt"), "data") << good;
  }
  for (const std::string& bad : std::vector<std::string>{
           std::string(), " l -x1 " + stem + " *.* -p2 -y1", " e -x1 " + stem + " -p2 -y1",
           " e -x1 *.* -p2 -y1", " e -x1 " + stem + " *.* extra"}) {
    EXPECT_EQ(Unlha(nullptr, bad.c_str(), output, sizeof output), UNLHA32_ERROR_COMMAND) << bad;
    EXPECT_NE(std::string(output).find("command"), std::string::npos) << output;
  }
  EXPECT_EQ(Unlha(nullptr, nullptr, output, sizeof output), UNLHA32_ERROR_COMMAND);
}

TEST(UnlhaReport, StaysWithinOutputSize) {
  TestRoot root;
  WriteBytes(root.path() / "s.lzh", BuildLevel0({{"member.txt", "data"}}));
  const std::string command = " e -x1 " + (root.path() / "s").string() + " *.* -p2 -y1";

  char full[1024];
  ASSERT_EQ(Unlha(nullptr, command.c_str(), full, sizeof full), UNLHA32_OK);
  ASSERT_GT(std::strlen(full), 20u);
  EXPECT_NE(std::string(full).find("member.txt"), std::string::npos) << full;

  char buffer[64];
  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(Unlha(nullptr, command.c_str(), buffer, 16), UNLHA32_OK);
  EXPECT_EQ(std::strlen(buffer), 15u);
  EXPECT_EQ(std::string(buffer), std::string(full, 15));
  EXPECT_EQ(buffer[16], '#');

  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(Unlha(nullptr, command.c_str(), buffer, 1), UNLHA32_OK);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');

  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(Unlha(nullptr, command.c_str(), buffer, 0), UNLHA32_OK);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(Unlha(nullptr, command.c_str(), nullptr, 100), UNLHA32_OK);

  // A cut never ends inside a multibyte character.
  WriteBytes(root.path() / "日本.lzh", BuildLevel0({{"x", "y"}}));
  const std::string japanese = " e -x1 " + (root.path() / "日本").string() + " *.* -p2 -y1";
  const size_t cut = (root.path() / "日").string().size() + 2;  // inside 本
  std::memset(buffer, '#', sizeof buffer);
  ASSERT_LT(cut, sizeof buffer);
  ASSERT_EQ(Unlha(nullptr, japanese.c_str(), buffer, static_cast<uint32_t>(cut)), UNLHA32_OK);
  EXPECT_EQ(std::string(buffer), (root.path() / "日").string());
}

TEST(UnlhaMembers, FoldersEmptyFilesDuplicatesAndBackslashSeparators) {
  TestRoot root;
  WriteBytes(root.path() / "sheet.lzh", BuildLevel2({{"empty\\", "", "-lhd-"},
                                                     {"zero.txt", ""},
                                                     {"dup.txt", "first version"},
                                                     {"a\\b\\c.txt", "deep"},
                                                     {"./d//e.txt", "dotted"},
                                                     {"dup.txt", "second"}}));
  std::string report;
  ASSERT_EQ(RunUnlha(root.path() / "sheet", &report), UNLHA32_OK) << report;
  EXPECT_EQ(Tree(root.path() / "sheet"),
            (Tree_{"empty", "zero.txt", "dup.txt", "a", "a/b", "a/b/c.txt", "d", "d/e.txt"}));
  EXPECT_TRUE(fs::is_directory(root.path() / "sheet" / "empty"));
  EXPECT_EQ(fs::file_size(root.path() / "sheet" / "zero.txt"), 0u);
  EXPECT_EQ(ReadBytes(root.path() / "sheet" / "dup.txt"), "second");
  EXPECT_EQ(ReadBytes(root.path() / "sheet" / "a" / "b" / "c.txt"), "deep");

  // Extracting again over the result replaces the files.
  WriteBytes(root.path() / "sheet.lzh", BuildLevel0({{"dup.txt", "third"}}));
  ASSERT_EQ(RunUnlha(root.path() / "sheet", &report), UNLHA32_OK) << report;
  EXPECT_EQ(ReadBytes(root.path() / "sheet" / "dup.txt"), "third");
}

TEST(UnlhaHostile, RefusesMemberPathsLeavingTheFolder) {
  TestRoot root;
  const Member good{"good.txt", "fine"};
  const std::string absolute = (root.path() / "absolute" / "evil.txt").string();
  const std::vector<HostileCase> cases = {
      {"dotdot_level0",
       BuildLevel0({good, {"../evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"dotdot_level2",
       BuildLevel2({good, {"../evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"inner_dotdot",
       BuildLevel2({good, {"sub/../../evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"backslash_dotdot_level0",
       BuildLevel0({good, {"..\\evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"backslash_dotdot_level2",
       BuildLevel2({good, {"sub\\..\\..\\evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"absolute", BuildLevel2({good, {absolute, "x"}}), UNLHA32_ERROR_UNSAFE, {"good.txt"}},
      {"absolute_backslash",
       BuildLevel2({good, {"\\evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"drive_letter",
       BuildLevel0({good, {"C:\\evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"drive_relative",
       BuildLevel2({good, {"c:evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
      {"dotdot_folder_entry",
       BuildLevel2({good, {"../evil\\", "", "-lhd-"}}),
       UNLHA32_ERROR_UNSAFE,
       {"good.txt"}},
  };
  for (const HostileCase& c : cases) ExpectRefused(root.path(), c);
}

TEST(UnlhaHostile, RefusesSymbolicLinkMembers) {
  TestRoot root;
  Member link{"link|" + (root.path() / "symlink" / "target").string(), ""};
  link.unix_mode = S_IFLNK | 0777;
  Member relative_link{"inner|../../target", ""};
  relative_link.unix_mode = S_IFLNK | 0777;
  ExpectRefused(root.path(), {"symlink", BuildLevel2({link}), UNLHA32_ERROR_UNSAFE, {}});
  ExpectRefused(root.path(), {"relative_symlink",
                              BuildLevel2({{"a.txt", "a"}, relative_link}),
                              UNLHA32_ERROR_UNSAFE,
                              {"a.txt"}});
}

TEST(UnlhaHostile, CrcErrorLeavesNoFileUnderTheMemberName) {
  TestRoot root;
  Member damaged{"damaged.txt", std::string(3000, 'd')};
  damaged.claimed_crc = static_cast<uint16_t>(lhatest::Crc16(damaged.data) ^ 0x0101);
  const Member good{"good.txt", "fine"};
  ExpectRefused(root.path(), {"crc_level0",
                              BuildLevel0({good, damaged, {"after.txt", "a"}}),
                              UNLHA32_ERROR_ARCHIVE,
                              {"good.txt"}});
  ExpectRefused(root.path(),
                {"crc_level2", BuildLevel2({good, damaged}), UNLHA32_ERROR_ARCHIVE, {"good.txt"}});

  // A flipped byte inside the compressed data of the real archive's first
  // member; the level-2 header says where that data lies.
  std::string lh5 = Fixture("lh5_level2.lzh");
  const size_t header = static_cast<unsigned char>(lh5[0]) | static_cast<unsigned char>(lh5[1])
                                                                 << 8;
  const size_t packed = static_cast<unsigned char>(lh5[7]) | static_cast<unsigned char>(lh5[8])
                                                                 << 8;
  ASSERT_EQ(lh5.substr(2, 5), "-lh5-");
  lh5[header + packed / 2] = static_cast<char>(lh5[header + packed / 2] ^ 0x20);
  ExpectRefused(root.path(), {"crc_lh5", lh5, UNLHA32_ERROR_ARCHIVE, {}});
}

TEST(UnlhaHostile, TruncatedArchiveLeavesNoPartialMember) {
  TestRoot root;
  const std::string stored =
      BuildLevel0({{"good.txt", "fine"}, {"long.txt", std::string(5000, 'L')}});
  ExpectRefused(root.path(), {"truncated_data",
                              stored.substr(0, stored.size() - 2000),
                              UNLHA32_ERROR_ARCHIVE,
                              {"good.txt"}});
  const size_t second_header = 24 + 8 + 4;  // first header and data
  ExpectRefused(root.path(), {"truncated_header",
                              stored.substr(0, second_header + 10),
                              UNLHA32_ERROR_ARCHIVE,
                              {"good.txt"}});
  const std::string lh5 = Fixture("lh5_level1.lzh");
  ExpectRefused(
      root.path(),
      {"truncated_lh5", lh5.substr(0, lh5.size() / 2), UNLHA32_ERROR_ARCHIVE, {"533945.slp"}});
}

TEST(UnlhaHostile, RefusesOversizedClaims) {
  TestRoot root;
  Member huge{"huge.txt", "small"};
  huge.claimed_original_size = 0x40000001u;  // just over 1 GiB
  ExpectRefused(root.path(), {"oversized_level0", BuildLevel0({huge}), UNLHA32_ERROR_UNSAFE, {}});
  huge.claimed_original_size = 0xFFFFFFFFu;
  ExpectRefused(root.path(), {"oversized_level2",
                              BuildLevel2({{"ok.txt", "ok"}, huge}),
                              UNLHA32_ERROR_UNSAFE,
                              {"ok.txt"}});
  // A header that understates the data is caught too.
  Member liar{"liar.txt", "twelve bytes"};
  liar.claimed_original_size = 5;
  ExpectRefused(root.path(), {"size_mismatch", BuildLevel0({liar}), UNLHA32_ERROR_ARCHIVE, {}});
}

TEST(UnlhaHostile, LinksAlreadyInTheFolderAreNotFollowed) {
  TestRoot root;
  const fs::path sheet = root.path() / "sheet";
  fs::create_directories(sheet);
  fs::create_directories(root.path() / "outside_dir");
  WriteBytes(root.path() / "outside.txt", "keep");
  fs::create_symlink(root.path() / "outside.txt", sheet / "out.txt");
  fs::create_symlink(root.path() / "outside_dir", sheet / "sub");

  WriteBytes(root.path() / "sheet.lzh", BuildLevel0({{"out.txt", "new"}}));
  std::string report;
  ASSERT_EQ(RunUnlha(sheet, &report), UNLHA32_OK) << report;
  EXPECT_EQ(ReadBytes(root.path() / "outside.txt"), "keep");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(sheet / "out.txt")));
  EXPECT_EQ(ReadBytes(sheet / "out.txt"), "new");

  WriteBytes(root.path() / "sheet.lzh", BuildLevel0({{"sub\\x.txt", "x"}}));
  EXPECT_EQ(RunUnlha(sheet, &report), UNLHA32_ERROR_UNSAFE) << report;
  EXPECT_EQ(Tree(root.path() / "outside_dir"), Tree_{});
}

TEST(UnlhaThreads, ParallelExtractionsAreIndependent) {
  TestRoot root;
  const std::string archive = Fixture("lh5_level0.lzh");
  constexpr int kThreads = 4;
  for (int i = 0; i < kThreads; ++i) {
    WriteBytes(root.path() / std::to_string(i) / "533945.lzh", archive);
  }
  int results[kThreads];
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5 && (round == 0 || results[i] == 0); ++round) {
        results[i] = RunUnlha(root.path() / std::to_string(i) / "533945");
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], UNLHA32_OK);
    EXPECT_EQ(ReadBytes(root.path() / std::to_string(i) / "533945" / kSubMember),
              NumberedLines(40, 31, 17));
  }
}

}  // namespace
