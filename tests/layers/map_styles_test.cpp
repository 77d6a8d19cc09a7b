#include "layers/map_styles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

namespace quellmark {
namespace {

bool HasRecordField(const LayerSpec& layer, RecordField field) {
  return std::any_of(layer.fields.begin(), layer.fields.end(), [field](const FieldSpec& spec) {
    return spec.source == ValueSource::kRecordText && spec.field == field;
  });
}

// The styles are data: each is checked against the catalogue and the
// attribute dictionary, so a mistyped layer code, field or code is a
// failure here, not a layer drawn plainly or a rule that never holds.
TEST(MapStyles, EveryLayerHasOneAndEveryCodeItTellsApartHasARule) {
  // The families split the dictionary: every code in exactly one.
  std::map<std::string_view, int> families_of;
  for (int f = 0; f <= static_cast<int>(CodeFamily::kPlaceName); ++f) {
    for (std::string_view code : AttributeCodesOf(static_cast<CodeFamily>(f))) {
      EXPECT_NE(AttributeCodeName(code), code) << code << " is not in the dictionary";
      ++families_of[code];
    }
  }
  for (std::string_view code : AttributeCodes()) {
    EXPECT_EQ(families_of[code], 1) << code << " is in " << families_of[code] << " families";
  }

  std::set<std::string_view> styled;
  for (const MapLayerStyle& style : MapStyles()) {
    SCOPED_TRACE(std::string(style.code));
    const LayerSpec* layer = FindLayer(style.code);
    ASSERT_NE(layer, nullptr) << "no such layer";
    EXPECT_TRUE(styled.insert(style.code).second) << "styled twice";
    EXPECT_FALSE(style.title.empty());
    EXPECT_FALSE(MapGroupTitle(style.group).empty());
    ASSERT_FALSE(style.rules.empty());
    EXPECT_TRUE(style.rules.back().code.empty()) << "the last rule draws the rest";
    if (!style.labels.empty()) {
      EXPECT_TRUE(std::any_of(layer->fields.begin(), layer->fields.end(),
                              [&](const FieldSpec& f) { return f.name == style.label_field; }))
          << "labels show " << style.label_field << ", which the layer does not have";
    }

    // (field, code) of every rule that tests one.
    std::set<std::pair<RecordField, std::string_view>> tested;
    const auto test = [&](RecordField field, std::string_view code) {
      if (code.empty()) return;
      EXPECT_TRUE(HasRecordField(*layer, field)) << "a rule tests a field the layer lacks";
      const bool known =
          std::any_of(style.distinguishes.begin(), style.distinguishes.end(), [&](const auto& d) {
            const auto codes = AttributeCodesOf(d.family);
            return d.field == field && std::find(codes.begin(), codes.end(), code) != codes.end();
          });
      EXPECT_TRUE(known) << "a rule tests " << code << ", no code of the families told apart";
      EXPECT_TRUE(tested.emplace(field, code).second) << code << " tested twice";
    };
    for (const MapRule& rule : style.rules) test(rule.field, rule.code);
    std::set<std::pair<RecordField, std::string_view>> labelled;
    for (const LabelRule& rule : style.labels) {
      if (!rule.code.empty()) labelled.emplace(rule.field, rule.code);
      if (!rule.code.empty() && !tested.count({rule.field, rule.code})) test(rule.field, rule.code);
    }
    for (const Distinction& distinction : style.distinguishes) {
      if (!distinction.every_code) continue;
      for (std::string_view code : AttributeCodesOf(distinction.family)) {
        EXPECT_TRUE(tested.count({distinction.field, code}) != 0)
            << "the style tells its codes apart but has no rule for " << code;
      }
    }
  }
  for (const LayerSpec& layer : Layers()) {
    EXPECT_TRUE(styled.count(layer.code) != 0) << layer.code << " has no style";
  }

  // Every layer drawn once, in one order.
  std::multiset<std::string_view> order(DrawingOrder().begin(), DrawingOrder().end());
  EXPECT_EQ(order, std::multiset<std::string_view>(styled.begin(), styled.end()));
}

}  // namespace
}  // namespace quellmark
