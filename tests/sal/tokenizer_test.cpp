#include "sal/tokenizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sal/cp932.h"

namespace quellmark {
namespace {

struct Split {
  std::string token;
  int kind;
  std::string rest;
};

Split Token(std::string line) {
  std::string_view view(line);
  std::string_view token;
  int kind = -1;
  SplitToken(view, kind, token);
  return {std::string(token), kind, std::string(view)};
}

TEST(SplitToken, TakesTokensFrontToBack) {
  auto empty = Token("");
  EXPECT_EQ(empty.token, "");
  EXPECT_EQ(empty.kind, 0);
  EXPECT_EQ(empty.rest, "");

  auto whole = Token("ABC");
  EXPECT_EQ(whole.token, "ABC");
  EXPECT_EQ(whole.kind, 0);
  EXPECT_EQ(whole.rest, "");

  auto open = Token("(X");
  EXPECT_EQ(open.token, "");
  EXPECT_EQ(open.kind, 1);
  EXPECT_EQ(open.rest, "X");

  auto id = Token("ID{12}");
  EXPECT_EQ(id.token, "ID");
  EXPECT_EQ(id.kind, 2);
  EXPECT_EQ(id.rest, "12}");
  auto value = Token(id.rest);
  EXPECT_EQ(value.token, "12");
  EXPECT_EQ(value.kind, 4);
  EXPECT_EQ(value.rest, "");

  auto earliest = Token("a)b(c");
  EXPECT_EQ(earliest.token, "a");
  EXPECT_EQ(earliest.kind, 3);
  EXPECT_EQ(earliest.rest, "b(c");
}

TEST(SplitToken, DelimiterBytesInsideDoubleByteCharactersAreNotDelimiters) {
  // マ is 0x83 0x7D: its trail byte is "}".
  std::string ma = "\x83\x7D";
  auto t = Token("NM{" + ma + "X}rest");
  EXPECT_EQ(t.token, "NM");
  auto v = Token(t.rest);
  EXPECT_EQ(v.token, ma + "X");
  EXPECT_EQ(v.kind, 4);
  EXPECT_EQ(v.rest, "rest");

  // 0x83 0x83 0x7D: the second 0x83 is a trail byte, so the 0x7D is a real "}".
  auto pair = Token("\x83\x83}z");
  EXPECT_EQ(pair.token, "\x83\x83");
  EXPECT_EQ(pair.kind, 4);
  EXPECT_EQ(pair.rest, "z");
}

TEST(SplitBraceToken, KeepsParentheses) {
  std::string line = "a(b)c}d";
  std::string_view view(line);
  std::string_view token;
  int kind = -1;
  SplitBraceToken(view, kind, token);
  EXPECT_EQ(token, "a(b)c");
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(view, "d");

  std::string open = "x{y";
  view = open;
  SplitBraceToken(view, kind, token);
  EXPECT_EQ(token, "x");
  EXPECT_EQ(kind, 1);
}

TEST(SplitAtComma, WalksAList) {
  std::string list = "12,34,56";
  std::string_view view(list);
  std::string_view item;
  SplitAtComma(view, item);
  EXPECT_EQ(item, "12");
  EXPECT_EQ(view, "34,56");

  view = "56";
  SplitAtComma(view, item);
  EXPECT_EQ(item, "56");
  EXPECT_TRUE(view.empty());

  view = ",5";
  SplitAtComma(view, item);
  EXPECT_EQ(item, "");
  EXPECT_EQ(view, "5");

  view = "";
  SplitAtComma(view, item);
  EXPECT_EQ(item, "");
  EXPECT_TRUE(view.empty());
}

TEST(StrToIntOr, AcceptsWhatTheRuntimeAcceptsAndNothingElse) {
  EXPECT_EQ(StrToIntOr("  42", 0), 42);
  EXPECT_EQ(StrToIntOr("42 ", 0), 0);
  EXPECT_EQ(StrToIntOr("", -1), -1);
  EXPECT_EQ(StrToIntOr("   ", 9), 9);
  EXPECT_EQ(StrToIntOr("+7", 0), 7);
  EXPECT_EQ(StrToIntOr("-5", 0), -5);
  EXPECT_EQ(StrToIntOr("000123", 0), 123);
  EXPECT_EQ(StrToIntOr("\t1", 8), 8);
  EXPECT_EQ(StrToIntOr("-", 8), 8);
  EXPECT_EQ(StrToIntOr("1.5", 8), 8);
  EXPECT_EQ(StrToIntOr("2147483647", 0), 2147483647);
  EXPECT_EQ(StrToIntOr("-2147483648", 0), INT32_MIN);
  EXPECT_EQ(StrToIntOr("2147483648", 3), 3);
  EXPECT_EQ(StrToIntOr("99999999999", 3), 3);
  EXPECT_EQ(StrToIntOr("-2147483649", 3), 3);
  // Hexadecimal, unsigned 32-bit patterns, only without a sign.
  EXPECT_EQ(StrToIntOr("$FF", 0), 255);
  EXPECT_EQ(StrToIntOr("x1f", 0), 31);
  EXPECT_EQ(StrToIntOr("0X10", 0), 16);
  EXPECT_EQ(StrToIntOr("$FFFFFFFF", 0), -1);
  EXPECT_EQ(StrToIntOr("$100000000", 4), 4);
  EXPECT_EQ(StrToIntOr("$", 4), 4);
  EXPECT_EQ(StrToIntOr("0x", 4), 4);
  EXPECT_EQ(StrToIntOr("-$5", 4), 4);
  EXPECT_EQ(StrToIntOr("$G", 4), 4);
  EXPECT_EQ(StrToIntOr("0", 4), 0);
}

TEST(StrToDecimal, ReadsDecimalNumbersWithBlanksAroundAndNothingElse) {
  struct Case {
    const char* text;
    bool number;
    double value;
  } cases[] = {
      {"12.345", true, 12.345}, {"  7.5 ", true, 7.5},  {"-0.5", true, -0.5}, {"+3", true, 3.0},
      {".25", true, 0.25},      {"1e3", true, 1000.0},  {"1.", true, 1.0},    {"", false, 0},
      {"   ", false, 0},        {"abc", false, 0},      {"12a", false, 0},    {"1 2", false, 0},
      {"inf", false, 0},        {"nan", false, 0},      {"0x10", false, 0},   {"--1", false, 0},
      {"1e999", false, 0},      {"\x82\x50", false, 0},
  };
  for (const Case& c : cases) {
    double value = -99.0;
    EXPECT_EQ(StrToDecimal(c.text, value), c.number) << c.text;
    EXPECT_EQ(value, c.number ? c.value : -99.0) << c.text;
  }
}

TEST(ReadIntToken, ReadsTheNextTokenAsInteger) {
  std::string line = "3}";
  std::string_view view(line);
  int kind = 0;
  EXPECT_EQ(ReadIntToken(view, kind), 3);
  EXPECT_EQ(kind, 4);
  line = "3 }";
  view = line;
  EXPECT_EQ(ReadIntToken(view, kind), -1);
}

TEST(IsTrailBytePos, CountsLeadBytesBeforeThePosition) {
  std::string text = "a\x83\x7D\x83\x83\x7D";
  EXPECT_FALSE(IsTrailBytePos(text, 1));
  EXPECT_FALSE(IsTrailBytePos(text, 2));
  EXPECT_TRUE(IsTrailBytePos(text, 3));
  EXPECT_TRUE(IsTrailBytePos(text, 5));
  EXPECT_FALSE(IsTrailBytePos(text, 6));
  EXPECT_THROW(IsTrailBytePos(text, 0), std::out_of_range);
  EXPECT_THROW(IsTrailBytePos(text, 7), std::out_of_range);
  EXPECT_EQ(FindCharMbcs('}', text), 6u);
  EXPECT_EQ(FindCharMbcs('{', text), 0u);
}

// The tokenizer walks forward over whole characters instead of searching for
// each delimiter and rejecting trail-byte hits; both must find the same byte.
TEST(SplitToken, AgreesWithTheCharacterAwareSearchOnArbitraryBytes) {
  std::mt19937 rng(12345);
  const char alphabet[] = {'(',    '{',    ')',    '}',    'A',    '1',    ',',    ' ',    '\x83',
                           '\x81', '\xE0', '\x9F', '\xFC', '\x7D', '\x7B', '\x40', '\xA0', '\x5C'};
  for (int round = 0; round < 20000; ++round) {
    std::string text(rng() % 24, ' ');
    for (char& c : text) c = alphabet[rng() % sizeof alphabet];
    std::size_t best = 0;
    int best_kind = 0;
    const char delimiters[] = {'(', '{', ')', '}'};
    for (int k = 0; k < 4; ++k) {
      std::size_t p = FindCharMbcs(delimiters[k], text);
      if (p > 0 && (best == 0 || p < best)) {
        best = p;
        best_kind = k + 1;
      }
    }
    auto t = Token(text);
    ASSERT_EQ(t.kind, best_kind) << "round " << round;
    if (best == 0) {
      ASSERT_EQ(t.token, text);
    } else {
      ASSERT_EQ(t.token, text.substr(0, best - 1));
      ASSERT_EQ(t.rest, text.substr(best));
    }
  }
}

TEST(CutToWidth, NeverSplitsADoubleByteCharacter) {
  std::string text = "ab\x8B\x9F\x97p";  // ab供p... (0x97 0x70 is one character)
  EXPECT_EQ(CutToWidth(text, 10), text);
  EXPECT_EQ(CutToWidth(text, 4), "ab\x8B\x9F");
  EXPECT_EQ(CutToWidth(text, 3), "ab");
  EXPECT_EQ(CutToWidth(text, 5), "ab\x8B\x9F");
  EXPECT_EQ(CutToWidth(text, 6), text);
}

}  // namespace
}  // namespace quellmark

namespace quellmark {
namespace {

TEST(DecodeCp932ForDisplay, DecodesJapaneseAndEscapesWhatCannotBeShown) {
  EXPECT_EQ(DecodeCp932ForDisplay("non \x83\x7D"
                                  "A"),
            "non マA");
  EXPECT_EQ(DecodeCp932ForDisplay(std::string("a\0b\x1B[2J", 7)), "a\\x00b\\x1B[2J");
  EXPECT_EQ(DecodeCp932ForDisplay("x\x83"), "x\\x83");  // a lone lead byte
  EXPECT_EQ(DecodeCp932ForDisplay("\xA0\xFD"), "\\xA0\\xFD");
  EXPECT_EQ(EncodeCp932("表"), "\x95\x5C");
}

TEST(Cp932ToUtf8, ConvertsEveryCharacterAndStandsInForWhatIsNotText) {
  struct Case {
    std::string cp932;
    std::string utf8;
    bool whole;
  } cases[] = {
      {"", "", true},
      {"ID{A-1}", "ID{A-1}", true},
      {"\x8B\x9F\x97p", "供用", true},              // a second byte in the ASCII range
      {"\x87\x40\xFA\x40\xED\x40", "①ⅰ纊", true},   // NEC, IBM and NEC-selected IBM
      {"\xB1\xB2", "ｱｲ", true},                     // half-width katakana
      {"\x81\x60\x81\x7C", "～－", true},           // as Windows reads them
      {"A\x81 B", "A\uFFFD B", false},              // a lead byte before a blank
      {"A\x82", "A\uFFFD", false},                  // a lead byte at the end
      {std::string("C\0D", 3), "C\uFFFDD", false},  // NUL would end the text
      {"\x80\xA0\xFD\xFF", "\uFFFD\uFFFD\uFFFD\uFFFD", false},
  };
  Cp932ToUtf8 converter;
  std::string out = "earlier text";
  for (const Case& c : cases) {
    EXPECT_EQ(converter.Convert(c.cp932, out), c.whole) << c.cp932;
    EXPECT_EQ(out, c.utf8) << c.cp932;
  }
  // A long text converts in pieces: 300 characters of 3 UTF-8 bytes each.
  std::string kanji;
  for (int i = 0; i < 300; ++i) kanji += "\x88\x9F";  // 亜
  EXPECT_TRUE(converter.Convert(kanji, out));
  ASSERT_EQ(out.size(), 900u);
  EXPECT_EQ(out.substr(897), "亜");
}

}  // namespace
}  // namespace quellmark
