#include "sal/sal_record.h"

#include <gtest/gtest.h>

#include <string>

#include "sal/cp932.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

using testing::RecordingNotifier;

// A parsed line; the record views the line kept here, so a Parsed is
// neither copied nor moved.
struct Parsed {
  Parsed(std::string parsed_line, std::string carried_name, std::string carried_points)
      : line(std::move(parsed_line)),
        name(std::move(carried_name)),
        points(std::move(carried_points)) {
    RecordingNotifier notifier;
    Reporter reporter(&notifier);
    ParseSalLine(line, name, points, record, reporter);
    messages = notifier.texts();
  }
  Parsed(const Parsed&) = delete;
  Parsed& operator=(const Parsed&) = delete;

  const std::string line;
  SalRecord record;
  std::string name;
  std::string points;
  std::vector<std::string> messages;
};

Parsed Parse(std::string line, std::string name = "", std::string points = "") {
  return Parsed(std::move(line), std::move(name), std::move(points));
}

TEST(ParseSalLine, RealRoadLineFillsEveryField) {
  const std::string name = testing::Sjis("国道２号(旧道)");
  auto p = Parse("DK(ID{DK003913}){JT{11}YU{1C}SB{16}FI{1B}NM{" + name +
                 "}HR(IR{HA28204000082})CV(ID{CV004052}){031845,031846}EG(ID{EG008847}){BD(IR{"
                 "ND28204004495})BD(IR{ND28204004266})GM(IR{CV28204004052})}}");
  const SalRecord& r = p.record;
  EXPECT_TRUE(p.messages.empty());
  EXPECT_EQ(r.id, "DK003913");
  EXPECT_EQ(r.jt, "11");
  EXPECT_EQ(r.yu, "1C");
  EXPECT_EQ(r.sb, "16");
  EXPECT_EQ(r.fi, "1B");
  EXPECT_EQ(p.name, name);
  EXPECT_EQ(r.hrir, "HA28204000082");
  EXPECT_EQ(r.cvid, "CV004052");
  EXPECT_EQ(p.points, "031845,031846");
  EXPECT_EQ(r.egid, "EG008847");
  EXPECT_EQ(r.bdir1, "ND28204004495");
  EXPECT_EQ(r.bdir2, "ND28204004266");
  EXPECT_EQ(r.gmir, "CV28204004052");
  EXPECT_EQ(r.kb, 0);
  for (const std::string_view* empty : {&r.ptid, &r.ndid, &r.pdid, &r.dhid, &r.trir, &r.yrir,
                                        &r.erir, &r.sr, &r.hk, &r.js, &r.pd, &r.knir, &r.dhir}) {
    EXPECT_TRUE(empty->empty()) << *empty;
  }
}

TEST(ParseSalLine, PointElementsAndSkippedEmptyTokens) {
  auto p = Parse("CM(ID{C0000001}PT(ID{P0000001}{12})SR{21}NM{Kita})");
  EXPECT_EQ(p.record.id, "C0000001");
  EXPECT_EQ(p.record.ptid, "P0000001");
  EXPECT_EQ(p.record.sr, "21");
  EXPECT_EQ(p.name, "Kita");
  EXPECT_EQ(p.points, "12");
  EXPECT_TRUE(p.messages.empty());

  auto mh = Parse("MH(ID{MH000001}){HK{0}PT(ID{PM000001}){000001}}");
  EXPECT_EQ(mh.record.id, "MH000001");
  EXPECT_EQ(mh.record.hk, "0");
  EXPECT_EQ(mh.record.ptid, "PM000001");
  EXPECT_EQ(mh.points, "000001");
}

TEST(ParseSalLine, EmptyLineKeepsTheCarriedValues) {
  auto p = Parse("", "previous", "5,6");
  EXPECT_EQ(p.name, "previous");
  EXPECT_EQ(p.points, "5,6");
  EXPECT_TRUE(p.record.id.empty());
  EXPECT_EQ(p.record.kb, 0);
  EXPECT_TRUE(p.messages.empty());
}

TEST(ParseSalLine, BoundaryElementsFillFirstThenSecondReference) {
  auto p = Parse("X(BD(IR{A1})BD(IR{A2})BD(IR{A3}))");
  EXPECT_EQ(p.record.bdir1, "A3");
  EXPECT_EQ(p.record.bdir2, "A2");

  // Another element between two BDs makes the second one first again.
  auto q = Parse("BD(IR{A1})GM(IR{G1})BD(IR{A2})");
  EXPECT_EQ(q.record.bdir1, "A2");
  EXPECT_TRUE(q.record.bdir2.empty());
  EXPECT_EQ(q.record.gmir, "G1");

  // Value tags between two BDs do not break the pair.
  auto r = Parse("BD(IR{A1}JT{11})BD(IR{A2})");
  EXPECT_EQ(r.record.bdir1, "A1");
  EXPECT_EQ(r.record.bdir2, "A2");
}

TEST(ParseSalLine, IdsFollowTheElementState) {
  auto p = Parse("ID{FIRST}BD(ID{INBD})");
  EXPECT_EQ(p.record.id, "INBD");
  auto q = Parse(
      "TK(ID{TK000001}){CV(ID{CV1}){1,2}CV(ID{CV2}){3}EG(ID{EG1})ND(ID{ND1})"
      "PD(ID{PD1}){77}DH(ID{DH1})}");
  EXPECT_EQ(q.record.id, "TK000001");
  EXPECT_EQ(q.record.cvid, "CV2");
  EXPECT_EQ(q.points, "3");  // a second list replaces the first
  EXPECT_EQ(q.record.egid, "EG1");
  EXPECT_EQ(q.record.ndid, "ND1");
  EXPECT_EQ(q.record.pdid, "PD1");
  EXPECT_EQ(q.record.pd, "77");
  EXPECT_EQ(q.record.dhid, "DH1");
  EXPECT_TRUE(q.messages.empty());
}

TEST(ParseSalLine, ReportsTokensItCannotPlace) {
  auto kn = Parse("KN{VALUE}");
  EXPECT_EQ(kn.messages, std::vector<std::string>{"non VALUE"});

  auto name = Parse("NM{A(B)}");
  EXPECT_EQ(name.name, "A(B)");
  EXPECT_TRUE(name.messages.empty());

  auto id = Parse("ID{A(B)}");
  EXPECT_EQ(id.record.id, "A");
  EXPECT_EQ(id.messages, std::vector<std::string>{"non B"});

  auto ka = Parse("KA{7}");
  EXPECT_EQ(ka.messages, std::vector<std::string>{"non 7"});

  auto blanks = Parse("{  }");
  EXPECT_EQ(blanks.messages, std::vector<std::string>{"non   "});

  // IR outside an element with a reference: the value is an ordinary token.
  auto cv = Parse("CV(IR{9,8})");
  EXPECT_EQ(cv.points, "9,8");
  EXPECT_TRUE(cv.messages.empty());
  auto dk = Parse("DK(IR{XY})");
  EXPECT_EQ(dk.messages, std::vector<std::string>{"non XY"});
}

// A line whose delimiters do not pair up is said to be damaged, once, with
// its first fault; every value is taken as it would be otherwise.
TEST(ParseSalLine, ReportsUnbalancedDelimitersOnceAndTakesTheValuesAllTheSame) {
  const std::string deep_open(100, '('), deep_close(100, ')');
  const struct {
    const char* what;
    std::string line;
    std::string message;  // empty: none
    std::string id, points, name;
  } cases[] = {
      {"balanced", "CM(ID{C1}PT(ID{P1}{12})SR{21}NM{Kita})", "", "C1", "12", "Kita"},
      {"parentheses in a name are text", "CM(ID{C1}NM{A(B}PT(ID{P}{3}))", "", "C1", "3", "A(B"},
      {"a brace as the second byte of a name's character",
       "CM(ID{C1}NM{" + testing::Sjis("マ") + "}PT(ID{P}{3}))", "", "C1", "3", testing::Sjis("マ")},
      {"nested past 64 levels", deep_open + "ID{C1}" + deep_close, "", "C1", "", ""},
      {"closers left over at the end", "CM(ID{C1}PT(ID{P1}{12}))}}}",
       "unbalanced delimiters: '}' closes nothing", "C1", "12", ""},
      {"a missing ')'", "CM(ID{C1}PT(ID{P1}{12})SR{21}NM{Kita}",
       "unbalanced delimiters: '(' is not closed", "C1", "12", "Kita"},
      {"a missing ')' past 64 levels", deep_open + "ID{C1}" + deep_close.substr(1),
       "unbalanced delimiters: an opening delimiter is not closed", "C1", "", ""},
      {"a name not closed", "CM(ID{C1}PT(ID{P1}{12})NM{Kita",
       "unbalanced delimiters: '{' is not closed", "C1", "12", "Kita"},
      {"crossed pairs", "CM(ID{C1)PT(ID{P1}{12})}", "unbalanced delimiters: ')' closes '{'", "C1",
       "12", ""},
      {"a value's delimiters count too", "CM(ID{C1}KB{5)PT(ID{P1}{12}))",
       "unbalanced delimiters: ')' closes '{'", "C1", "12", ""},
      {"only the first fault", "}}}{{{)))(((", "unbalanced delimiters: '}' closes nothing", "", "",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto p = Parse(c.line);
    EXPECT_EQ(p.messages,
              c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
    EXPECT_EQ(p.record.id, c.id);
    EXPECT_EQ(p.points, c.points);
    EXPECT_EQ(p.name, c.name);
  }
}

TEST(ParseSalLine, ValuesAreKeptWholeAndCutOnlyToTheLegacyWidths) {
  // kb as read; the legacy tables keep its low 16 bits, read as signed.
  EXPECT_EQ(Parse("KB{40000}").record.kb, 40000);
  EXPECT_EQ(LegacyKb(40000), -25536);
  EXPECT_EQ(LegacyKb(-70000), -4464);
  EXPECT_EQ(Parse("KB{3}").record.kb, 3);
  EXPECT_EQ(Parse("KB{x}").record.kb, -1);
  EXPECT_EQ(Parse("KB").record.kb, -1);

  const auto legacy = [](const SalRecord& record, RecordField field) {
    return std::string(CutToWidth(FieldText(record, field), LegacyWidth(field)));
  };
  std::string js(70, 'j');
  auto p = Parse("JS{" + js + "}ID{ABCDEFGHIJ}SR{123}HK{123.4567890}");
  EXPECT_EQ(p.record.js, js);
  EXPECT_EQ(p.record.id, "ABCDEFGHIJ");
  EXPECT_EQ(p.record.sr, "123");
  EXPECT_EQ(p.record.hk, "123.4567890");
  EXPECT_EQ(legacy(p.record, RecordField::kJs), js.substr(0, 60));
  EXPECT_EQ(legacy(p.record, RecordField::kId), "ABCDEFGH");
  EXPECT_EQ(legacy(p.record, RecordField::kSr), "12");
  EXPECT_EQ(legacy(p.record, RecordField::kHk), "123.45678");
  auto refs = Parse("X(ID{X}){PD(ID{PD345678901}){PD345678901}HR(IR{HR345678901234567})}");
  EXPECT_EQ(refs.record.pd, "PD345678901");
  EXPECT_EQ(refs.record.hrir, "HR345678901234567");
  EXPECT_EQ(legacy(refs.record, RecordField::kPdid), "PD345678");
  EXPECT_EQ(legacy(refs.record, RecordField::kPd), "PD345678");
  EXPECT_EQ(legacy(refs.record, RecordField::kHrir), "HR345678901234");

  // A cut never leaves half a double-byte character: 7 bytes + a 2-byte
  // character at bytes 8-9 keeps 7 bytes.
  const std::string wide = "1234567" + testing::Sjis("駅");
  const auto id = Parse("ID{" + wide + "}");
  EXPECT_EQ(id.record.id, wide);
  EXPECT_EQ(legacy(id.record, RecordField::kId), "1234567");
  const std::string js_wide = std::string(59, 'a') + testing::Sjis("マ");
  EXPECT_EQ(legacy(Parse("JS{" + js_wide + "}").record, RecordField::kJs), std::string(59, 'a'));

  // Every field by name, then a record reused for a shorter line holds the
  // shorter line's values only.
  const struct {
    RecordField field;
    const char* value;
  } every[] = {
      {RecordField::kId, "I1"},   {RecordField::kPtid, "P1"},  {RecordField::kCvid, "C1"},
      {RecordField::kEgid, "E1"}, {RecordField::kNdid, "N1"},  {RecordField::kPdid, "D1"},
      {RecordField::kDhid, "H1"}, {RecordField::kBdir1, "B1"}, {RecordField::kBdir2, "B2"},
      {RecordField::kGmir, "G2"}, {RecordField::kHrir, "R2"},  {RecordField::kDtir, "T2"},
      {RecordField::kKtir, "K2"}, {RecordField::kNdir, "N2"},  {RecordField::kKnir, "M2"},
      {RecordField::kKair, "A2"}, {RecordField::kTrir, "S2"},  {RecordField::kErir, "E2"},
      {RecordField::kYrir, "Y2"}, {RecordField::kDhir, "H2"},  {RecordField::kKhir, "L2"},
      {RecordField::kThir, "U2"}, {RecordField::kTtir, "V2"},  {RecordField::kDyir, "W2"},
      {RecordField::kJt, "11"},   {RecordField::kSb, "12"},    {RecordField::kFi, "13"},
      {RecordField::kYu, "14"},   {RecordField::kSr, "15"},    {RecordField::kHk, "16.5"},
      {RecordField::kJs, "text"}, {RecordField::kPd, "77"},
  };
  const std::string long_line =
      "ID{I1}PT(ID{P1})CV(ID{C1})EG(ID{E1})ND(ID{N1}IR{N2})PD(ID{D1}){77}DH(ID{H1}IR{H2})"
      "BD(IR{B1})BD(IR{B2})GM(IR{G2})HR(IR{R2})DT(IR{T2})KT(IR{K2})KN(IR{M2})KA(IR{A2})"
      "TR(IR{S2})ER(IR{E2})YR(IR{Y2})KH(IR{L2})TH(IR{U2})TT(IR{V2})DY(IR{W2})"
      "JT{11}SB{12}FI{13}YU{14}SR{15}HK{16.5}JS{text}KB{5}";
  const std::string short_line = "JS{short}";
  RecordingNotifier notifier;
  Reporter reporter(&notifier);
  SalRecord record;
  std::string name;
  std::string points;
  ParseSalLine(long_line, name, points, record, reporter);
  EXPECT_TRUE(notifier.texts().empty());
  EXPECT_EQ(record.kb, 5);
  for (const auto& [field, value] : every) {
    EXPECT_EQ(FieldText(record, field), std::string_view(value)) << static_cast<int>(field);
  }
  ParseSalLine(short_line, name, points, record, reporter);
  EXPECT_EQ(record.kb, 0);
  for (const auto& [field, value] : every) {
    EXPECT_EQ(FieldText(record, field), std::string_view(field == RecordField::kJs ? "short" : ""))
        << static_cast<int>(field);
  }
}

}  // namespace
}  // namespace quellmark
