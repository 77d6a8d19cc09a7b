#include "layers/catalogue.h"

#include <gtest/gtest.h>

#include <string>

#include "sal/notify.h"

namespace quellmark {
namespace {

SalRecord Parse(std::string_view line) {
  std::string name;
  std::string points;
  SalRecord record;
  ParseSalLine(line, name, points, record, Reporter());
  return record;
}

TEST(Catalogue, ListLayersTakeTheFirstCandidateSetOrTheId) {
  const LayerSpec& ha = *FindLayer("HA");
  const LayerSpec& to = *FindLayer("TO");
  const LayerSpec& yo = *FindLayer("YO");
  struct Case {
    const char* line;
    const char* ha;
    const char* to_yo;
  } cases[] = {
      {"DK(ID{DK1}){KH(IR{K1})DH(IR{D1})TT(IR{T1})}", "D1", "D1"},
      {"DK(ID{DK1}){KH(IR{K1})TH(IR{H1})}", "H1", "H1"},  // TH before KH
      {"DK(ID{DK1}){KH(IR{K1})TT(IR{T1})}", "K1", "K1"},
      {"DK(ID{DK1}){TT(IR{T1})}", "DK1", "T1"},  // HA does not look at TT
      {"DK(ID{DK1})", "DK1", "DK1"},
  };
  for (const Case& c : cases) {
    const SalRecord record = Parse(c.line);
    EXPECT_EQ(ListReference(ha, record), c.ha) << c.line;
    EXPECT_EQ(ListReference(to, record), c.to_yo) << c.line;
    EXPECT_EQ(ListReference(yo, record), c.to_yo) << c.line;
  }
}

std::string Schema(std::span<const FieldSpec> fields) {
  std::string text;
  for (const FieldSpec& f : fields) {
    if (!text.empty()) text += ' ';
    text += std::string(f.name) + ":" + std::to_string(f.width);
    if (f.decimals != 0) text += "." + std::to_string(f.decimals);
    if (f.type == FieldType::kReal) text += "(real)";
  }
  return text;
}

TEST(Catalogue, FormatsChangeOnlyTheLayersAndFieldsTheyName) {
  constexpr FieldChange kChanges[] = {
      {"*", "no", FieldChange::kDrop},         {"KK DK", "cvid gmir", FieldChange::kWidth, 16},
      {"KJ", "hk", FieldChange::kDecimals, 3}, {"MH", "hk", FieldChange::kReal},
      {"GK", "*", FieldChange::kWidth, 0},
  };
  const AdaptedSchemas schemas(kChanges);
  EXPECT_EQ(Schema(schemas.Fields(*FindLayer("CM"))), "name:60 sr:2 srname:20 id:8 ptid:8");
  EXPECT_EQ(Schema(schemas.Fields(*FindLayer("KJ"))),
            "name:60 hk:9.3 sr:2 srname:20 id:8 ptid:8 pdid:8 pd:8");
  const std::string road = Schema(schemas.Fields(*FindLayer("DK")));
  EXPECT_NE(road.find("cvid:16 egid:8"), std::string::npos) << road;
  EXPECT_NE(road.find("gmir:16 hrir:14"), std::string::npos) << road;
  // SK has a cvid too, left as it is.
  EXPECT_EQ(Schema(schemas.Fields(*FindLayer("SK"))), "name:60 sr:2 srname:20 id:8 cvid:8");
  EXPECT_EQ(Schema(schemas.Fields(*FindLayer("MH"))), "hk:9(real) id:8 ptid:8");
  EXPECT_EQ(Schema(schemas.Fields(*FindLayer("GK"))),
            "name:0 jt:0 jtname:0 sr:0 srname:0 id:0 cvid:0");

  // A mistyped layer or field fails, never changes nothing silently.
  for (const FieldChange& mistyped : {FieldChange{"KK DX", "cvid", FieldChange::kDrop},
                                      FieldChange{"KJ", "hkk", FieldChange::kReal},
                                      FieldChange{"SK", "hrir", FieldChange::kDrop}}) {
    EXPECT_THROW(AdaptedSchemas(std::span(&mistyped, 1)), std::logic_error)
        << mistyped.layers << " / " << mistyped.fields;
  }
}

}  // namespace
}  // namespace quellmark
