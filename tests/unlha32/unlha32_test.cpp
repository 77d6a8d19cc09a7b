// Tests of libunlha32.so through its exported entry point.
#include "unlha32.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/lha_builder.h"

namespace fs = std::filesystem;
using lhatest::BuildLevel0;
using lhatest::BuildLevel1;
using lhatest::BuildLevel2;
using lhatest::BuildLevel3;
using lhatest::Lh5Repeat;
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

int RunCommand(const std::string& command, std::string* report = nullptr) {
  char output[4096];
  std::memset(output, 0x7F, sizeof output);
  const int result = Unlha(nullptr, command.c_str(), output, sizeof output);
  if (report != nullptr) *report = output;
  return result;
}

// NAME is the archive's path or its path without ".lzh".
int RunUnlha(const fs::path& name, std::string* report = nullptr) {
  return RunCommand(" e -x1 " + name.string() + " *.* -p2 -y1", report);
}

// Every path below root, relative to it, without following links.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> paths;
  if (!fs::exists(fs::symlink_status(root))) return paths;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    paths.insert(it->path().lexically_relative(root).string());  // links not resolved
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

// Every path below root with what it holds: a file's bytes, "<folder>", or
// "-> target" for a link.
using Snapshot_ = std::map<std::string, std::string>;
Snapshot_ Snapshot(const fs::path& root) {
  Snapshot_ snapshot;
  for (const std::string& p : Tree(root)) {
    const fs::path path = root / p;
    const auto status = fs::symlink_status(path);
    if (fs::is_symlink(status)) {
      snapshot[p] = "-> " + fs::read_symlink(path).string();
    } else if (fs::is_directory(status)) {
      snapshot[p] = "<folder>";
    } else {
      snapshot[p] = ReadBytes(path);
    }
  }
  return snapshot;
}

// A folder from an earlier extraction: a layer the next archive may lack, a
// file it may have, one in a sub-folder.
const Snapshot_ kEarlierFolder = {{"stale.sal", "layer of an earlier edition"},
                                  {"shared.txt", "earlier"},
                                  {"sub", "<folder>"},
                                  {"sub/deep.txt", "earlier, deeper"}};

void MakeEarlierFolder(const fs::path& folder) {
  for (const auto& [path, content] : kEarlierFolder) {
    if (content == "<folder>") {
      fs::create_directories(folder / path);
    } else {
      WriteBytes(folder / path, content);
    }
  }
}

// A case of an archive that must be refused: its own folder under the test
// root, holding sheet.lzh and the folder sheet/ of an earlier extraction,
// which must be left exactly as it was. The report names the archive and
// `mentions`, where given.
struct HostileCase {
  std::string name;
  std::string archive;
  int expected;
  std::string mentions = "";
};

void ExpectRefused(const fs::path& root, const HostileCase& c) {
  SCOPED_TRACE(c.name);
  const fs::path case_root = root / c.name;
  WriteBytes(case_root / "sheet.lzh", c.archive);
  MakeEarlierFolder(case_root / "sheet");
  std::string report;
  EXPECT_EQ(RunUnlha(case_root / "sheet", &report), c.expected) << report;
  EXPECT_NE(report.find("sheet.lzh"), std::string::npos) << report;
  EXPECT_NE(report.find(c.mentions), std::string::npos) << report;
  EXPECT_EQ(OutsideExtraction(case_root), Tree_{});  // no staging folder left either
  EXPECT_EQ(Snapshot(case_root / "sheet"), kEarlierFolder);
}

// The id of a process that has ended.
pid_t EndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  if (child < 0) throw std::runtime_error("fork failed");
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
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

// Which archive a name denotes, and where its members go.
struct NamingCase {
  std::string name;
  std::map<std::string, std::string> files;  // made before the call, below the case's folder
  std::string given;                         // NAME on the command line, below the case's folder
  int expected;
  Tree_ tree;                 // everything below the case's folder afterwards
  std::string mentions = "";  // in the report
};

TEST(UnlhaNaming, TheArchiveIsTheNameOrTheNameWithLzhAndNothingElse) {
  TestRoot root;
  const std::string lower = BuildLevel0({{"lower.txt", "from X.lzh"}});
  const std::string upper = BuildLevel0({{"upper.txt", "from X.LZH"}});
  const std::vector<NamingCase> cases = {
      {"stem", {{"X.lzh", lower}}, "X", UNLHA32_OK, {"X.lzh", "X", "X/lower.txt"}},
      {"full_path", {{"X.lzh", lower}}, "X.lzh", UNLHA32_OK, {"X.lzh", "X", "X/lower.txt"}},
      {"upper_case_only_by_stem",
       {{"X.LZH", upper}},
       "X",
       UNLHA32_ERROR_NOT_FOUND,
       {"X.LZH"},
       "X.lzh"},
      {"upper_case_only_by_full_path",
       {{"X.LZH", upper}},
       "X.LZH",
       UNLHA32_OK,
       {"X.LZH", "X", "X/upper.txt"}},
      {"both_by_stem",
       {{"X.lzh", lower}, {"X.LZH", upper}},
       "X",
       UNLHA32_OK,
       {"X.lzh", "X.LZH", "X", "X/lower.txt"}},
      {"both_by_upper_case_name",
       {{"X.lzh", lower}, {"X.LZH", upper}},
       "X.LZH",
       UNLHA32_OK,
       {"X.lzh", "X.LZH", "X", "X/upper.txt"}},
      {"upper_case_name_of_a_lower_case_file",
       {{"X.lzh", lower}},
       "X.LZH",
       UNLHA32_ERROR_NOT_FOUND,
       {"X.lzh"},
       "X.LZH.lzh"},
      {"missing_zip", {{"X.lzh", lower}}, "X.zip", UNLHA32_ERROR_NOT_FOUND, {"X.lzh"}, "X.zip"},
      {"missing", {}, "absent", UNLHA32_ERROR_NOT_FOUND, {}, "absent.lzh"},
      {"name_without_extension",
       {{"plain", lower}},
       "plain",
       UNLHA32_ERROR_COMMAND,
       {"plain"},
       "no extension"},
      {"dot_only_in_a_folder_name",
       {{"a.b/plain", lower}},
       "a.b/plain",
       UNLHA32_ERROR_COMMAND,
       {"a.b", "a.b/plain"},
       "no extension"},
      {"stem_below_a_dotted_folder",
       {{"a.b/X.lzh", lower}},
       "a.b/X",
       UNLHA32_OK,
       {"a.b", "a.b/X.lzh", "a.b/X", "a.b/X/lower.txt"}},
      {"two_extensions",
       {{"X.tar.lzh", lower}},
       "X.tar.lzh",
       UNLHA32_OK,
       {"X.tar.lzh", "X.tar", "X.tar/lower.txt"}},
      {"blanks_and_japanese",
       {{"地図 データ/sheet 533945.LZH", upper}},
       "地図 データ/sheet 533945.LZH",
       UNLHA32_OK,
       {"地図 データ", "地図 データ/sheet 533945.LZH", "地図 データ/sheet 533945",
        "地図 データ/sheet 533945/upper.txt"}},
      {"folder_name_taken_by_a_file",
       {{"X.lzh", lower}, {"X", "a file"}},
       "X.lzh",
       UNLHA32_ERROR_WRITE,
       {"X.lzh", "X"},
       "not a folder"},
      {"unreadable",
       {{"text.lzh", "this is not an LHA archive at all\r\n"}},
       "text",
       UNLHA32_ERROR_ARCHIVE,
       {"text.lzh"},
       "text.lzh"},
  };
  for (const NamingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root.path() / c.name;
    fs::create_directories(dir);
    for (const auto& [path, bytes] : c.files) WriteBytes(dir / path, bytes);
    std::string report;
    EXPECT_EQ(RunUnlha(dir / c.given, &report), c.expected) << report;
    EXPECT_EQ(Tree(dir), c.tree);
    EXPECT_NE(report.find(c.mentions), std::string::npos) << report;
  }
  EXPECT_EQ(ReadBytes(root.path() / "upper_case_only_by_full_path" / "X" / "upper.txt"),
            "from X.LZH");
}

// A word of the command line in double quotes, each quote in it doubled.
std::string Quoted(const std::string& word) {
  std::string quoted = "\"";
  for (const char c : word) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

TEST(UnlhaCommandLine, AcceptsTheProgramsFormsAndRefusesOthers) {
  TestRoot root;
  const std::string archive = BuildLevel0({{"m.txt", "data"}});
  // Names that only quoting carries whole: quotes (one at the end too),
  // blanks around them, the wildcard, a newline and a tab.
  const std::vector<std::string> names = {"a b",     "q\"u\"ote",  "x\" \"y",       "end\"",
                                          "\"start", "star *.* x", "line\nand\ttab"};
  for (const std::string& name : names) WriteBytes(root.path() / (name + ".lzh"), archive);
  const std::string stem = (root.path() / "a b").string();
  const std::string dest = (root.path() / "out dir").string();
  char output[512];

  std::vector<std::pair<std::string, fs::path>> good = {
      {" e -x1 " + stem + " *.* -p2 -y1", root.path() / "a b"},
      {" e -x1 " + stem + ".lzh *.* -p2 -y1", root.path() / "a b"},
      {"x " + stem + " *.*", root.path() / "a b"},
      {"-e \"" + stem + "\" *.* -y1", root.path() / "a b"},
      {" e -x1 \"" + stem + ".lzh\" \"" + dest + "/\" *.* -p2 -y1", root.path() / "out dir"},
      {"x \"" + stem + "\"   \"" + dest + "2//\" *.*", root.path() / "out dir2"},
  };
  for (const std::string& name : names) {
    const fs::path path = root.path() / name;
    good.emplace_back(" e -x1 " + Quoted(path.string() + ".lzh") + " *.* -p2 -y1", path);
    good.emplace_back(" e -x1 " + Quoted(path.string()) + " *.* -p2 -y1", path);
    good.emplace_back(" e -x1 " + Quoted(path.string() + ".lzh") + " " +
                          Quoted((root.path() / ("to " + name)).string() + "/") + " *.* -p2 -y1",
                      root.path() / ("to " + name));
  }
  for (const auto& [command, folder] : good) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Unlha(nullptr, command.c_str(), output, sizeof output), UNLHA32_OK) << output;
    EXPECT_EQ(Tree(folder), Tree_{"m.txt"});
    EXPECT_EQ(ReadBytes(folder / "m.txt"), "data");
    fs::remove_all(folder);
  }
  const std::string never = (root.path() / "never").string();
  for (const std::string& bad : std::vector<std::string>{
           std::string(), " l -x1 " + stem + " *.* -p2 -y1", " e -x1 " + stem + " -p2 -y1",
           " e -x1 *.* -p2 -y1", " e -x1 " + stem + " *.* extra",
           // A destination ends with "/" and follows a quoted archive.
           " e -x1 \"" + stem + ".lzh\" \"" + never + "\" *.* -p2 -y1",
           " e -x1 \"" + stem + ".lzh\" \"\" *.* -p2 -y1", " e -x1 \"\" \"" + never + "/\" *.*",
           // A quote in a quoted word is doubled; the word ends at a blank.
           " e -x1 \"" + stem + " *.* -p2 -y1", " e -x1 \"" + stem + ".lzh *.*\"",
           " e -x1 \"" + (root.path() / "q").string() + "\"u\"\"ote.lzh\" *.* -p2 -y1",
           " e -x1 \"" + stem + ".lzh\" " + never + "/ *.* -p2 -y1",
           " e -x1 \"" + stem + ".lzh\"*.* -p2 -y1"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Unlha(nullptr, bad.c_str(), output, sizeof output), UNLHA32_ERROR_COMMAND);
    EXPECT_NE(std::string(output).find("command"), std::string::npos) << output;
  }
  EXPECT_EQ(Unlha(nullptr, nullptr, output, sizeof output), UNLHA32_ERROR_COMMAND);
  Tree_ archives;
  for (const std::string& name : names) archives.insert(name + ".lzh");
  EXPECT_EQ(Tree(root.path()), archives);
}

// Members go into the destination folder named, which they replace whole.
struct DestinationCase {
  std::string name;
  std::string archive;      // below the case's folder
  std::string destination;  // below the case's folder, or absolute when it
                            // starts with '/'
  int expected;
  Tree_ tree;  // everything below the case's folder afterwards
  std::string mentions = "";
};

TEST(UnlhaDestination, MembersGoIntoTheFolderNamed) {
  TestRoot root;
  const std::string archive = BuildLevel0({{"m.txt", "data"}});
  const std::vector<DestinationCase> cases = {
      {"missing_folder_is_made", "s.lzh", "out/", UNLHA32_OK, {"s.lzh", "out", "out/m.txt"}},
      {"earlier_folder_replaced",
       "s.lzh",
       "earlier/",
       UNLHA32_OK,
       {"s.lzh", "earlier", "earlier/m.txt"}},
      {"archive_without_extension", "plain", "out/", UNLHA32_OK, {"plain", "out", "out/m.txt"}},
      {"parent_missing", "s.lzh", "no/such/out/", UNLHA32_ERROR_WRITE, {"s.lzh"}, "no/such"},
      {"folder_holding_the_archive",
       "in/deeper/s.lzh",
       "in/",
       UNLHA32_ERROR_COMMAND,
       {"in", "in/deeper", "in/deeper/s.lzh"},
       "lies inside"},
      {"dot", "s.lzh", "in/./", UNLHA32_ERROR_COMMAND, {"s.lzh"}, "folder of its own"},
      {"root", "s.lzh", "/", UNLHA32_ERROR_COMMAND, {"s.lzh"}, "folder of its own"},
      {"link_to_a_folder",
       "s.lzh",
       "link/",
       UNLHA32_ERROR_WRITE,
       {"s.lzh", "link", "real", "real/kept.txt"},
       "not a folder"},
  };
  for (const DestinationCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root.path() / c.name;
    WriteBytes(dir / c.archive, archive);
    if (c.name == "earlier_folder_replaced") MakeEarlierFolder(dir / "earlier");
    if (c.name == "link_to_a_folder") {
      WriteBytes(dir / "real" / "kept.txt", "kept");
      fs::create_symlink(dir / "real", dir / "link");
    }
    const std::string destination =
        c.destination.front() == '/' ? c.destination : (dir / c.destination).string();
    std::string report;
    EXPECT_EQ(RunCommand(" e -x1 \"" + (dir / c.archive).string() + "\" \"" + destination +
                             "\" *.* -p2 -y1",
                         &report),
              c.expected)
        << report;
    EXPECT_EQ(Tree(dir), c.tree);
    EXPECT_NE(report.find(c.mentions), std::string::npos) << report;
  }
  EXPECT_EQ(ReadBytes(root.path() / "link_to_a_folder" / "real" / "kept.txt"), "kept");
}

// What the extraction folder holds afterwards: exactly the archive's members,
// or after a failure what it held before (nothing at all when it did not
// exist), and no staging folder beside it either way.
struct StagingCase {
  std::string name;
  bool earlier_folder;
  std::string archive;
  int expected;
  std::optional<Snapshot_> after;  // none: no folder
};

TEST(UnlhaStaging, TheFolderHoldsTheWholeArchiveOrIsLeftAsItWas) {
  TestRoot root;
  Member damaged{"last.txt", "damaged data"};
  damaged.claimed_crc = static_cast<uint16_t>(lhatest::Crc16(damaged.data) ^ 1);
  const std::string fine = BuildLevel2({{"shared.txt", "new"}, {"new.txt", "added"}});
  const Snapshot_ fine_members = {{"shared.txt", "new"}, {"new.txt", "added"}};
  const std::string crc_in_last = BuildLevel2({{"shared.txt", "new"}, damaged});
  const std::vector<StagingCase> cases = {
      {"replaces_earlier_folder", true, fine, UNLHA32_OK, fine_members},
      {"replaces_a_sub_folder", true, BuildLevel0({{"sub\\deep.txt", "new, deeper"}}), UNLHA32_OK,
       Snapshot_{{"sub", "<folder>"}, {"sub/deep.txt", "new, deeper"}}},
      {"folder_member_only", true, BuildLevel2({{"empty\\", "", "-lhd-"}}), UNLHA32_OK,
       Snapshot_{{"empty", "<folder>"}}},
      // libarchive does not take a lone end mark for an archive.
      {"end_mark_only", true, std::string(1, '\0'), UNLHA32_ERROR_ARCHIVE, kEarlierFolder},
      {"new_folder", false, fine, UNLHA32_OK, fine_members},
      {"crc_error_in_last_member", true, crc_in_last, UNLHA32_ERROR_ARCHIVE, kEarlierFolder},
      {"crc_error_without_earlier_folder", false, crc_in_last, UNLHA32_ERROR_ARCHIVE, std::nullopt},
  };
  for (const StagingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root.path() / c.name;
    WriteBytes(dir / "sheet.lzh", c.archive);
    if (c.earlier_folder) MakeEarlierFolder(dir / "sheet");
    std::string report;
    EXPECT_EQ(RunUnlha(dir / "sheet.lzh", &report), c.expected) << report;
    EXPECT_EQ(fs::is_directory(dir / "sheet"), c.after.has_value());
    if (c.after) {
      EXPECT_EQ(Snapshot(dir / "sheet"), *c.after);
    }
    EXPECT_EQ(OutsideExtraction(dir), Tree_{});
  }
}

TEST(UnlhaStaging, LeftoversOfKilledRunsAreRemoved) {
  TestRoot root;
  const std::string ended = std::to_string(EndedProcess());
  const std::string running = std::to_string(::getpid());
  struct Leftover {
    std::string path;  // a folder, or a file where it names one below sheet/
    bool removed;
  };
  const std::vector<Leftover> leftovers = {
      {".sheet.unlha32-" + ended + "-0123456789abcdef", true},
      {".sheet.unlha32-" + running + "-0123456789abcdef", false},  // at work still
      {".other.unlha32-" + ended + "-0123456789abcdef", false},    // another folder's
      {".sheet.unlha32-" + ended + "-notours", false},
      {"sheet/.unlha32-0123456789abcdef.tmp", true},
      {"sheet/sub/.unlha32-fedcba9876543210.tmp", true},
      {"sheet/.unlha32-notours.tmp", false},
  };
  for (const bool succeeds : {true, false}) {
    SCOPED_TRACE(succeeds ? "after a success" : "after a failure");
    const fs::path dir = root.path() / (succeeds ? "success" : "failure");
    Member damaged{"damaged.txt", "data"};
    damaged.claimed_crc = 0;
    WriteBytes(dir / "sheet.lzh",
               succeeds ? BuildLevel0({{"m.txt", "m"}}) : BuildLevel0({damaged}));
    MakeEarlierFolder(dir / "sheet");
    WriteBytes(dir / "outside.txt", "keep");
    for (const Leftover& leftover : leftovers) {
      const fs::path path = dir / leftover.path;
      if (leftover.path.rfind("sheet/", 0) == 0) {
        WriteBytes(path, "part of a member");
        continue;
      }
      WriteBytes(path / "m.txt", "part of a member");
      WriteBytes(path / "deep" / "n.txt", "another");
      fs::create_symlink(dir / "outside.txt", path / "deep" / "link");
    }
    std::string report;
    EXPECT_EQ(RunUnlha(dir / "sheet", &report), succeeds ? UNLHA32_OK : UNLHA32_ERROR_ARCHIVE)
        << report;
    for (const Leftover& leftover : leftovers) {
      const bool in_folder = leftover.path.rfind("sheet/", 0) == 0;
      if (succeeds && in_folder) continue;  // the folder was replaced
      EXPECT_EQ(fs::exists(fs::symlink_status(dir / leftover.path)), !leftover.removed)
          << leftover.path;
    }
    EXPECT_EQ(ReadBytes(dir / "outside.txt"), "keep");
    if (succeeds) {
      EXPECT_EQ(Tree(dir / "sheet"), Tree_{"m.txt"});
    } else {
      Snapshot_ expected = kEarlierFolder;
      expected[".unlha32-notours.tmp"] = "part of a member";
      EXPECT_EQ(Snapshot(dir / "sheet"), expected);
    }
  }
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

TEST(UnlhaMembers, FoldersEmptyFilesAndBackslashSeparators) {
  TestRoot root;
  WriteBytes(root.path() / "sheet.lzh", BuildLevel2({{"empty\\", "", "-lhd-"},
                                                     {"zero.txt", ""},
                                                     {"a\\b\\c.txt", "deep"},
                                                     {"./d//e.txt", "dotted"}}));
  std::string report;
  ASSERT_EQ(RunUnlha(root.path() / "sheet", &report), UNLHA32_OK) << report;
  EXPECT_EQ(Tree(root.path() / "sheet"),
            (Tree_{"empty", "zero.txt", "a", "a/b", "a/b/c.txt", "d", "d/e.txt"}));
  EXPECT_TRUE(fs::is_directory(root.path() / "sheet" / "empty"));
  EXPECT_EQ(fs::file_size(root.path() / "sheet" / "zero.txt"), 0u);
  EXPECT_EQ(ReadBytes(root.path() / "sheet" / "a" / "b" / "c.txt"), "deep");
  EXPECT_EQ(ReadBytes(root.path() / "sheet" / "d" / "e.txt"), "dotted");
}

TEST(UnlhaHostile, RefusesMemberPathsLeavingTheFolder) {
  TestRoot root;
  const Member good{"good.txt", "fine"};
  const std::string absolute = (root.path() / "absolute" / "evil.txt").string();
  const std::vector<HostileCase> cases = {
      {"dotdot_level0", BuildLevel0({good, {"../evil.txt", "x"}}), UNLHA32_ERROR_UNSAFE},
      {"dotdot_level2", BuildLevel2({good, {"../evil.txt", "x"}}), UNLHA32_ERROR_UNSAFE},
      {"inner_dotdot", BuildLevel2({good, {"sub/../../evil.txt", "x"}}), UNLHA32_ERROR_UNSAFE},
      {"backslash_dotdot_level0", BuildLevel0({good, {"..\\evil.txt", "x"}}), UNLHA32_ERROR_UNSAFE},
      {"backslash_dotdot_level2", BuildLevel2({good, {"sub\\..\\..\\evil.txt", "x"}}),
       UNLHA32_ERROR_UNSAFE},
      {"absolute", BuildLevel2({good, {absolute, "x"}}), UNLHA32_ERROR_UNSAFE},
      {"absolute_backslash", BuildLevel2({good, {"\\evil.txt", "x"}}), UNLHA32_ERROR_UNSAFE},
      {"drive_letter", BuildLevel0({good, {"C:\\evil.txt", "x"}}), UNLHA32_ERROR_UNSAFE},
      {"drive_relative", BuildLevel2({good, {"c:evil.txt", "x"}}), UNLHA32_ERROR_UNSAFE},
      {"dotdot_folder_entry", BuildLevel2({good, {"../evil\\", "", "-lhd-"}}),
       UNLHA32_ERROR_UNSAFE},
  };
  for (const HostileCase& c : cases) ExpectRefused(root.path(), c);
}

TEST(UnlhaHostile, RefusesSymbolicLinkMembers) {
  TestRoot root;
  Member link{"link|" + (root.path() / "symlink" / "target").string(), ""};
  link.unix_mode = S_IFLNK | 0777;
  Member relative_link{"inner|../../target", ""};
  relative_link.unix_mode = S_IFLNK | 0777;
  ExpectRefused(root.path(), {"symlink", BuildLevel2({link}), UNLHA32_ERROR_UNSAFE});
  ExpectRefused(root.path(), {"relative_symlink", BuildLevel2({{"a.txt", "a"}, relative_link}),
                              UNLHA32_ERROR_UNSAFE});
}

TEST(UnlhaHostile, CrcErrorLeavesNoFileUnderTheMemberName) {
  TestRoot root;
  Member damaged{"damaged.txt", std::string(3000, 'd')};
  damaged.claimed_crc = static_cast<uint16_t>(lhatest::Crc16(damaged.data) ^ 0x0101);
  const Member good{"good.txt", "fine"};
  ExpectRefused(root.path(), {"crc_level0", BuildLevel0({good, damaged, {"after.txt", "a"}}),
                              UNLHA32_ERROR_ARCHIVE});
  ExpectRefused(root.path(), {"crc_level2", BuildLevel2({good, damaged}), UNLHA32_ERROR_ARCHIVE});

  // A flipped byte inside the compressed data of the real archive's first
  // member; the level-2 header says where that data lies.
  std::string lh5 = Fixture("lh5_level2.lzh");
  const size_t header = static_cast<unsigned char>(lh5[0]) | static_cast<unsigned char>(lh5[1])
                                                                 << 8;
  const size_t packed = static_cast<unsigned char>(lh5[7]) | static_cast<unsigned char>(lh5[8])
                                                                 << 8;
  ASSERT_EQ(lh5.substr(2, 5), "-lh5-");
  lh5[header + packed / 2] = static_cast<char>(lh5[header + packed / 2] ^ 0x20);
  ExpectRefused(root.path(), {"crc_lh5", lh5, UNLHA32_ERROR_ARCHIVE});
}

TEST(UnlhaHostile, TruncatedArchiveLeavesNoPartialMember) {
  TestRoot root;
  const std::vector<Member> members = {{"good.txt", "fine"}, {"long.txt", std::string(5000, 'L')}};
  const std::string stored = BuildLevel0(members);
  const size_t second_header = 24 + 8 + 4;  // first header and data
  const std::string lh5 = Fixture("lh5_level1.lzh");
  ASSERT_EQ(lh5.back(), '\0');
  std::vector<HostileCase> cases = {
      {"truncated_data", stored.substr(0, stored.size() - 2000), UNLHA32_ERROR_ARCHIVE},
      {"truncated_header", stored.substr(0, second_header + 10), UNLHA32_ERROR_ARCHIVE},
      {"truncated_lh5", lh5.substr(0, lh5.size() / 2), UNLHA32_ERROR_ARCHIVE},
      // Cut right after a member, where the next header or the end mark
      // would start.
      {"cut_after_first_member", stored.substr(0, second_header), UNLHA32_ERROR_ARCHIVE,
       "after member good.txt"},
      // (libarchive's decoder misses the byte after the data itself here.)
      {"lh5_without_end_mark", lh5.substr(0, lh5.size() - 1), UNLHA32_ERROR_ARCHIVE},
      {"empty_file", "", UNLHA32_ERROR_ARCHIVE},
  };
  using Builder = std::string (*)(const std::vector<Member>&);
  const std::pair<std::string, Builder> levels[] = {{"level0", BuildLevel0},
                                                    {"level1", BuildLevel1},
                                                    {"level2", BuildLevel2},
                                                    {"level3", BuildLevel3}};
  for (const auto& [level, build] : levels) {
    const std::string whole = build(members);
    ASSERT_EQ(whole.back(), '\0');
    cases.push_back({level + "_without_end_mark", whole.substr(0, whole.size() - 1),
                     UNLHA32_ERROR_ARCHIVE, "after member long.txt"});
    const std::string one = build({members[0]});
    cases.push_back({level + "_one_member_without_end_mark", one.substr(0, one.size() - 1),
                     UNLHA32_ERROR_ARCHIVE, "after member good.txt"});
  }
  for (const HostileCase& c : cases) ExpectRefused(root.path(), c);

  // The whole archives extract, also with bytes after the end mark.
  for (const auto& [level, build] : levels) {
    for (const std::string& tail : {std::string(), std::string("\x1A\x1A\x1A", 3)}) {
      SCOPED_TRACE(level + " tail " + std::to_string(tail.size()));
      const fs::path dir = root.path() / ("whole_" + level + std::to_string(tail.size()));
      WriteBytes(dir / "sheet.lzh", build(members) + tail);
      std::string report;
      EXPECT_EQ(RunUnlha(dir / "sheet", &report), UNLHA32_OK) << report;
      EXPECT_EQ(ReadBytes(dir / "sheet" / "long.txt"), members[1].data);
    }
  }
}

TEST(UnlhaHostile, RefusesOversizedClaims) {
  TestRoot root;
  std::vector<HostileCase> cases;
  Member huge{"huge.txt", "small"};
  huge.claimed_original_size = 0x40000001u;  // just over 1 GiB
  cases.push_back({"oversized_level0", BuildLevel0({huge}), UNLHA32_ERROR_UNSAFE, "huge.txt"});
  huge.claimed_original_size = 0xFFFFFFFFu;
  cases.push_back({"oversized_level2", BuildLevel2({{"ok.txt", "ok"}, huge}), UNLHA32_ERROR_UNSAFE,
                   "huge.txt"});
  // A header that understates the data is caught too.
  Member liar{"liar.txt", "twelve bytes"};
  liar.claimed_original_size = 5;
  cases.push_back({"size_mismatch", BuildLevel0({liar}), UNLHA32_ERROR_ARCHIVE});

  // All members together may hold 1000 times the archive's size: a megabyte
  // is too much for an archive of some 40 bytes, though fine for a member.
  Member megabyte{"megabyte.txt", "tiny"};
  megabyte.claimed_original_size = 1u << 20;
  cases.push_back({"claims_1000_times_the_archive", BuildLevel0({megabyte}), UNLHA32_ERROR_UNSAFE,
                   "megabyte.txt"});
  // A few hundred bytes whose three members would unpack to 1 GiB each.
  std::vector<Member> gigabytes;
  for (const char* name : {"g1.txt", "g2.txt", "g3.txt"}) {
    Member m{name, "", "-lh5-"};
    m.packed = Lh5Repeat('g', uint64_t{1} << 30);
    m.claimed_original_size = 1u << 30;
    m.claimed_crc = 0;
    gigabytes.push_back(m);
  }
  const std::string bomb = BuildLevel2(gigabytes);
  ASSERT_LT(bomb.size(), 2000u);
  cases.push_back({"three_gigabytes", bomb, UNLHA32_ERROR_UNSAFE, "g1.txt"});

  // Three true members, each within the limit, that pass it together.
  const auto three = [](uint32_t each) {
    std::vector<Member> members;
    for (const char* name : {"m1.txt", "m2.txt", "m3.txt"}) {
      Member m{name, std::string(each, 't'), "-lh5-"};
      m.packed = Lh5Repeat('t', each);
      members.push_back(m);
    }
    return BuildLevel2(members);
  };
  // A size of 256 * n + 1 packs into the same number of bytes for any n up
  // to 65535.
  const uint64_t archive_size = three(256 * 1000 + 1).size();
  const uint32_t over = static_cast<uint32_t>(256 * (archive_size * 1000 * 2 / 5 / 256) + 1);
  const std::string too_much = three(over);
  ASSERT_EQ(too_much.size(), archive_size);
  ASSERT_LT(2 * uint64_t{over}, archive_size * 1000);
  ASSERT_GT(3 * uint64_t{over}, archive_size * 1000);
  cases.push_back({"three_members_together", too_much, UNLHA32_ERROR_UNSAFE, "member m3.txt"});
  for (const HostileCase& c : cases) ExpectRefused(root.path(), c);

  // Just within the limit, the same members extract.
  const uint32_t within = static_cast<uint32_t>(256 * (archive_size * 1000 / 3 / 256) + 1);
  const std::string enough = three(within);
  ASSERT_EQ(enough.size(), archive_size);
  WriteBytes(root.path() / "within" / "sheet.lzh", enough);
  std::string report;
  ASSERT_EQ(RunUnlha(root.path() / "within" / "sheet", &report), UNLHA32_OK) << report;
  EXPECT_EQ(ReadBytes(root.path() / "within" / "sheet" / "m3.txt"), std::string(within, 't'));
}

TEST(UnlhaHostile, RefusesDevicesFifosAndSockets) {
  TestRoot root;
  struct Kind {
    const char* name;
    uint16_t type;
    const char* mentions;
  };
  const Kind kinds[] = {{"character_device", S_IFCHR, "character device"},
                        {"block_device", S_IFBLK, "block device"},
                        {"fifo", S_IFIFO, "FIFO"},
                        {"socket", S_IFSOCK, "socket"}};
  // libarchive reads the mode from a level-0 header's UNIX extension and
  // from the mode extended header of the other levels.
  using Builder = std::string (*)(const std::vector<Member>&);
  const std::pair<std::string, Builder> levels[] = {{"level0", BuildLevel0},
                                                    {"level1", BuildLevel1},
                                                    {"level2", BuildLevel2},
                                                    {"level3", BuildLevel3}};
  std::vector<HostileCase> cases;
  for (const auto& [level, build] : levels) {
    for (const Kind& kind : kinds) {
      Member special{"special", ""};
      special.unix_mode = static_cast<uint16_t>(kind.type | 0644);
      cases.push_back({level + "_" + kind.name, build({{"a.txt", "a"}, special}),
                       UNLHA32_ERROR_UNSAFE, std::string("member special: is a ") + kind.mentions});
    }
  }
  // The header is read again where libarchive found it, which is not where
  // it starts when the archive follows a self-extracting program.
  cases.push_back({"self_extracting", "MZ" + std::string(200, 'x') + BuildLevel0({{"a.txt", "a"}}),
                   UNLHA32_ERROR_ARCHIVE, "no member header where"});
  for (const HostileCase& c : cases) ExpectRefused(root.path(), c);

  // Files and folders with modes extract at every level.
  for (const auto& [level, build] : levels) {
    SCOPED_TRACE(level);
    Member file{"file.txt", "data"};
    file.unix_mode = S_IFREG | 0640;
    Member bits_only{"bits.txt", "bits"};
    bits_only.unix_mode = 0644;
    Member folder{"folder\\", "", "-lhd-"};
    folder.unix_mode = S_IFDIR | 0755;
    const fs::path dir = root.path() / ("modes_" + level);
    WriteBytes(dir / "sheet.lzh", build({file, bits_only, folder}));
    std::string report;
    EXPECT_EQ(RunUnlha(dir / "sheet", &report), UNLHA32_OK) << report;
    EXPECT_EQ(Tree(dir / "sheet"), (Tree_{"file.txt", "bits.txt", "folder"}));
  }
}

TEST(UnlhaHostile, RefusesMembersOfTheSameName) {
  TestRoot root;
  const Member folder{"x\\", "", "-lhd-"};
  const std::vector<Member> twice = {{"dup.txt", "first"}, {"dup.txt", "second"}};
  const std::vector<HostileCase> cases = {
      {"twice_level0", BuildLevel0(twice), UNLHA32_ERROR_UNSAFE,
       "member dup.txt: lands on dup.txt"},
      {"twice_level2", BuildLevel2(twice), UNLHA32_ERROR_UNSAFE,
       "member dup.txt: lands on dup.txt"},
      {"backslash_and_slash", BuildLevel2({{"a\\b.txt", "1"}, {"a/b.txt", "2"}}),
       UNLHA32_ERROR_UNSAFE, "member a/b.txt: lands on a/b.txt"},
      {"dot_and_doubled_separator", BuildLevel2({{"d/e.txt", "1"}, {"./d//e.txt", "2"}}),
       UNLHA32_ERROR_UNSAFE, "lands on d/e.txt"},
      {"folder_twice", BuildLevel2({folder, {"x/", "", "-lhd-"}}), UNLHA32_ERROR_UNSAFE,
       "lands on x"},
      {"file_then_folder", BuildLevel2({{"x", "1"}, folder}), UNLHA32_ERROR_UNSAFE, "lands on x"},
      {"folder_then_file", BuildLevel2({folder, {"x", "1"}}), UNLHA32_ERROR_UNSAFE, "lands on x"},
      {"file_where_members_made_a_folder", BuildLevel2({{"x/in.txt", "1"}, {"x", "2"}}),
       UNLHA32_ERROR_UNSAFE, "member x: an earlier member"},
      {"folder_where_a_file_is", BuildLevel2({{"x", "1"}, {"x/in.txt", "2"}}), UNLHA32_ERROR_UNSAFE,
       "member x/in.txt: x exists and is not a folder"},
  };
  for (const HostileCase& c : cases) ExpectRefused(root.path(), c);
}

TEST(UnlhaHostile, LinksInTheEarlierFolderAreNotFollowed) {
  TestRoot root;
  const fs::path sheet = root.path() / "sheet";
  fs::create_directories(sheet);
  WriteBytes(root.path() / "outside.txt", "keep");
  WriteBytes(root.path() / "outside_dir" / "precious.txt", "keep too");
  fs::create_symlink(root.path() / "outside.txt", sheet / "out.txt");
  fs::create_symlink(root.path() / "outside_dir", sheet / "sub");

  WriteBytes(root.path() / "sheet.lzh", BuildLevel0({{"out.txt", "new"}, {"sub\\x.txt", "x"}}));
  std::string report;
  ASSERT_EQ(RunUnlha(sheet, &report), UNLHA32_OK) << report;
  EXPECT_EQ(Snapshot(sheet),
            (Snapshot_{{"out.txt", "new"}, {"sub", "<folder>"}, {"sub/x.txt", "x"}}));
  EXPECT_EQ(Snapshot(root.path() / "outside_dir"), (Snapshot_{{"precious.txt", "keep too"}}));
  EXPECT_EQ(ReadBytes(root.path() / "outside.txt"), "keep");
  EXPECT_EQ(Tree(root.path()),
            (Tree_{"outside.txt", "outside_dir", "outside_dir/precious.txt", "sheet.lzh", "sheet",
                   "sheet/out.txt", "sheet/sub", "sheet/sub/x.txt"}));
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
