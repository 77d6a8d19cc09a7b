#include "sal/text_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace quellmark {
namespace {

std::vector<std::string> Lines(std::string_view content, bool* after_marker = nullptr) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.txt", content);
  TextLineReader reader;
  EXPECT_TRUE(reader.Open(dir / "f.txt"));
  std::vector<std::string> out;
  std::string_view line;
  while (reader.ReadLine(line)) out.emplace_back(line);
  EXPECT_EQ(reader.line_number(), static_cast<long>(out.size()));
  if (after_marker) *after_marker = reader.data_after_eof_marker();
  return out;
}

using L = std::vector<std::string>;

TEST(TextLineReader, LineEnds) {
  EXPECT_EQ(Lines(""), L{});
  EXPECT_EQ(Lines("abc"), L{"abc"});
  EXPECT_EQ(Lines("abc\r\n"), L{"abc"});
  EXPECT_EQ(Lines("\r\n"), L{""});
  EXPECT_EQ(Lines("a\r\nb\rc\nd\r\n\r\ne"), (L{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(Lines("a\r\r\nb"), (L{"a", "", "b"}));
  EXPECT_EQ(Lines("a\n\nb\n"), (L{"a", "", "b"}));
}

TEST(TextLineReader, EndOfFileMark) {
  bool after = true;
  EXPECT_EQ(Lines("a\r\n\x1A", &after), L{"a"});
  EXPECT_FALSE(after);
  EXPECT_EQ(Lines("a\r\nb\x1A"
                  "c\r\nd\r\n",
                  &after),
            (L{"a", "b"}));
  EXPECT_TRUE(after);
  EXPECT_EQ(Lines("\x1A"
                  "abc",
                  &after),
            L{});
  EXPECT_TRUE(after);
}

TEST(TextLineReader, LinesLongerThanTheBuffer) {
  std::string longline(700000, 'x');
  longline[123456] = 'y';
  std::string content = "first\r\n" + longline + "\r\nlast";
  auto lines = Lines(content);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], longline);
  EXPECT_EQ(lines[2], "last");

  // A CR LF pair split across two buffer fills is one line end.
  std::string split(262143, 'a');
  split += "\r\nb";
  EXPECT_EQ(Lines(split), (L{std::string(262143, 'a'), "b"}));
}

TEST(TextLineReader, MissingFileDoesNotOpen) {
  TextLineReader reader;
  EXPECT_FALSE(reader.Open("/nonexistent/quellmark/file"));
  std::string_view line;
  EXPECT_FALSE(reader.ReadLine(line));
}

}  // namespace
}  // namespace quellmark
