// Structural checks of generated layer sets.
#include "layerset_generator.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using quellmark::gen::GenerateLayerSet;
using quellmark::gen::GeneratorOptions;
using quellmark::gen::LayerFileCodes;
using quellmark::gen::LayerSet;

namespace {

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(bytes.substr(start, end - start));
  }
  return lines;
}

const std::string& FileOf(const LayerSet& set, const std::string& name) {
  const auto* file = set.Find(name);
  if (file == nullptr) throw std::runtime_error("missing " + name);
  return file->bytes;
}

bool DecodesAsCp932(const std::string& bytes) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  std::string in = bytes;
  std::string out(in.size() * 3 + 4, '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  const bool ok = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  return ok;
}

// The values of one kind in a SAL line, found by their opening text; values
// of NM and JS are skipped character by character, so that a Shift_JIS
// second byte equal to '}' does not end them.
std::vector<std::string> Values(const std::string& line, const std::string& opening) {
  std::vector<std::string> values;
  for (size_t pos = line.find(opening); pos != std::string::npos; pos = line.find(opening, pos)) {
    pos += opening.size();
    size_t end = pos;
    while (end < line.size() && line[end] != '}') end += IsLeadByte(line[end]) ? 2 : 1;
    values.push_back(line.substr(pos, end - pos));
  }
  return values;
}

// Point numbers of PT and CV elements: "PT(ID{PT000001}){000123}".
std::vector<int> PointReferences(const std::string& line) {
  std::vector<int> numbers;
  for (const char* element : {"PT(ID{", "CV(ID{"}) {
    for (size_t pos = line.find(element); pos != std::string::npos;
         pos = line.find(element, pos + 1)) {
      const size_t list = line.find("}){", pos) + 3;
      const size_t end = line.find('}', list);
      std::stringstream s(line.substr(list, end - list));
      for (std::string item; std::getline(s, item, ',');) {
        EXPECT_EQ(item.size(), 6u) << line;
        numbers.push_back(std::stoi(item));
      }
    }
  }
  return numbers;
}

// Brackets balance once NM and JS values are skipped.
bool Balanced(const std::string& line) {
  int depth = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line.compare(i, 3, "NM{") == 0 || line.compare(i, 3, "JS{") == 0) {
      for (i += 3; i < line.size() && line[i] != '}';) i += IsLeadByte(line[i]) ? 2 : 1;
      if (i >= line.size()) return false;
      continue;  // the value's braces match by construction
    }
    if (line[i] == '(' || line[i] == '{') ++depth;
    if (line[i] == ')' || line[i] == '}') --depth;
    if (depth < 0) return false;
  }
  return depth == 0;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(LayerSetGenerator, FilesAreCp932LinesEndedByCrLf) {
  GeneratorOptions options;
  options.road_lines = 400;
  const LayerSet set = GenerateLayerSet(options);

  std::set<std::string> names;
  for (const auto& file : set.files) names.insert(file.name);
  std::set<std::string> expected = {"533945.slm", "533945.slp", "533945MH.slp"};
  for (auto code : LayerFileCodes()) expected.insert("533945" + std::string(code) + ".sal");
  EXPECT_EQ(names, expected);

  std::set<unsigned char> trail_bytes;
  for (const auto& file : set.files) {
    SCOPED_TRACE(file.name);
    const std::string& bytes = file.bytes;
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\n') {
        EXPECT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
      } else if (bytes[i] == '\r') {
        EXPECT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == '\n') << "bare CR at " << i;
      }
    }
    EXPECT_TRUE(DecodesAsCp932(bytes));
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
      if (IsLeadByte(bytes[i])) trail_bytes.insert(static_cast<unsigned char>(bytes[++i]));
    }
    for (const std::string& line : Lines(bytes)) EXPECT_TRUE(Balanced(line)) << line;
  }
  // Names whose second bytes look like '\', '{' and '}' are part of the set.
  EXPECT_TRUE(trail_bytes.count('\\') && trail_bytes.count('{') && trail_bytes.count('}'));

  const auto slm = Lines(FileOf(set, "533945.slm"));
  ASSERT_EQ(slm.size(), 2u);
  EXPECT_EQ(slm[0].find_first_not_of("0123456789,"), std::string::npos);
  for (const char* slp : {"533945.slp", "533945MH.slp"}) {
    for (const std::string& line : Lines(FileOf(set, slp))) {
      ASSERT_EQ(line.size(), 16u) << line;
      ASSERT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << line;
      EXPECT_LE(std::stoi(line.substr(0, 8)), 4'500'000) << line;
      EXPECT_LE(std::stoi(line.substr(8)), 3'000'000) << line;
    }
  }
}

TEST(LayerSetGenerator, EveryReferenceResolves) {
  for (int road_lines : {0, 400}) {
    SCOPED_TRACE(road_lines);
    GeneratorOptions options;
    options.road_lines = road_lines;
    options.seed = 11;
    const LayerSet set = GenerateLayerSet(options);
    const int points = static_cast<int>(Lines(FileOf(set, "533945.slp")).size());
    const int mh_points = static_cast<int>(Lines(FileOf(set, "533945MH.slp")).size());
    EXPECT_EQ(points, set.points);
    EXPECT_EQ(mh_points, set.mh_points);

    std::set<std::string> cv_ids, node_ids, cv_refs, node_refs, er_numbers, ek_numbers;
    for (auto code : LayerFileCodes()) {
      const auto lines = Lines(FileOf(set, "533945" + std::string(code) + ".sal"));
      EXPECT_FALSE(lines.empty()) << code;
      std::set<std::string> ids;
      for (const std::string& line : lines) {
        ASSERT_EQ(line.compare(0, 2, code), 0) << line;
        const auto id = Values(line, std::string(code) + "(ID{");
        ASSERT_EQ(id.size(), 1u) << line;
        EXPECT_TRUE(ids.insert(id[0]).second) << "duplicate " << id[0];
        const int limit = code == "MH" ? mh_points : points;
        for (int n : PointReferences(line)) EXPECT_TRUE(n >= 1 && n <= limit) << line;
        for (const auto& v : Values(line, "CV(ID{")) cv_ids.insert(v.substr(2));
        for (const auto& v : Values(line, "ND(ID{")) node_ids.insert(v.substr(2));
        for (const auto& v : Values(line, "GM(IR{")) cv_refs.insert(v.substr(7));
        for (const auto& v : Values(line, "BD(IR{")) node_refs.insert(v.substr(7));
        for (const auto& v : Values(line, "ER(IR{")) er_numbers.insert(v.substr(7));
        if (code == "EK") ek_numbers.insert(id[0].substr(2));
      }
    }
    for (const auto& ref : cv_refs) EXPECT_TRUE(cv_ids.count(ref)) << "GM to CV" << ref;
    for (const auto& ref : node_refs) EXPECT_TRUE(node_ids.count(ref)) << "BD to ND" << ref;
    EXPECT_EQ(ek_numbers, er_numbers);
    for (const auto& k : er_numbers) EXPECT_TRUE(std::stoi(k) >= 1 && std::stoi(k) <= 4001) << k;
  }
}

TEST(LayerSetGenerator, BrokenDataOnRequest) {
  GeneratorOptions options;
  options.dangling_points = 3;
  options.unmatched_stations = 2;
  const LayerSet set = GenerateLayerSet(options);

  int dangling = 0;
  for (auto code : LayerFileCodes()) {
    if (code == "MH") continue;
    for (const auto& line : Lines(FileOf(set, "533945" + std::string(code) + ".sal"))) {
      for (int n : PointReferences(line)) dangling += n > set.points;
    }
  }
  EXPECT_EQ(dangling, 3);

  std::set<std::string> er;
  for (const auto& line : Lines(FileOf(set, "533945TK.sal"))) {
    for (const auto& v : Values(line, "ER(IR{")) er.insert(v.substr(7));
  }
  int unmatched = 0;
  for (const auto& line : Lines(FileOf(set, "533945EK.sal"))) {
    unmatched += er.count(Values(line, "EK(ID{")[0].substr(2)) == 0;
  }
  EXPECT_EQ(unmatched, 2);
}

TEST(LayerSetGenerator, DeterministicPerSeedAndSizedByRoadLines) {
  GeneratorOptions options;
  options.road_lines = 300;
  options.seed = 5;
  const LayerSet a = GenerateLayerSet(options);
  const LayerSet b = GenerateLayerSet(options);
  ASSERT_EQ(a.files.size(), b.files.size());
  for (size_t i = 0; i < a.files.size(); ++i) EXPECT_EQ(a.files[i].bytes, b.files[i].bytes);
  EXPECT_EQ(Lines(FileOf(a, "533945DK.sal")).size(), 300u);

  options.seed = 6;
  EXPECT_NE(GenerateLayerSet(options).Find("533945.slp")->bytes, a.Find("533945.slp")->bytes);

  options.base_name = "a/b";
  EXPECT_THROW(GenerateLayerSet(options), std::invalid_argument);
  options.base_name = "533945";
  options.road_lines = 900'000;  // beyond six-digit numbering
  EXPECT_THROW(GenerateLayerSet(options), std::invalid_argument);
}

TEST(LayerSetGenerator, CommandLineWritesTheSameFiles) {
  const fs::path out = fs::temp_directory_path() / ("genlayerset-" + std::to_string(::getpid()));
  fs::remove_all(out);
  const std::string command = std::string(GENLAYERSET_PROGRAM) + " --lines 120 --seed 9 '" +
                              out.string() + "' 523973 > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);

  GeneratorOptions options;
  options.road_lines = 120;
  options.seed = 9;
  options.base_name = "523973";
  const LayerSet set = GenerateLayerSet(options);
  for (const auto& file : set.files) EXPECT_EQ(ReadBytes(out / file.name), file.bytes) << file.name;
  EXPECT_NE(
      std::system((std::string(GENLAYERSET_PROGRAM) + " --size huge x y 2> /dev/null").c_str()), 0);
  fs::remove_all(out);
}

}  // namespace
