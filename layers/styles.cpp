#include "layers/styles.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace quellmark {

namespace {

using enum RecordField;
using C = Condition;

constexpr Symbol kRedSymbol{67, 12, RgbColor(255, 0, 0)};
constexpr Symbol kHeightSymbol{32, 12, RgbColor(0, 0, 0)};
constexpr Symbol kControlSymbol{kControlPointSymbol, 10, 0};

constexpr C Set(RecordField field) { return {C::kSet, field}; }
constexpr C Is(RecordField field, std::string_view code) { return {C::kEquals, field, code}; }
constexpr C Within(RecordField field, std::string_view low, std::string_view high) {
  return {C::kWithin, field, low, high};
}

// Roads: the width by the width class (fi), wider and orange on expressways
// (sb 16); a reference to an HA feature keeps that width in black, one to a
// TO or YO feature has a pen of its own.
constexpr std::int32_t kBlack = RgbColor(0, 0, 0);
constexpr std::int32_t kRoadGrey = RgbColor(200, 200, 200);
constexpr PenRule kRoadRules[] = {
    {Set(kHrir), Is(kSb, "16"), {4, 2, kBlack}},
    {Set(kHrir), Within(kFi, "19", "1A"), {2, 2, kBlack}},
    {Set(kHrir), Is(kFi, "1B"), {3, 2, kBlack}},
    {Set(kHrir), {}, {1, 2, kBlack}},
    {Set(kTrir), {}, {3, 2, kBlack}},
    {Set(kYrir), {}, {3, 112, RgbColor(40, 80, 80)}},
    {Is(kSb, "16"), {}, {4, 2, RgbColor(200, 128, 0)}},
    {Within(kFi, "19", "1A"), {}, {2, 2, kRoadGrey}},
    {Is(kFi, "1B"), {}, {3, 2, kRoadGrey}},
    {{}, {}, {1, 2, kRoadGrey}},
};

// Railways: sb 43 in a pattern of its own.
constexpr PenRule kRailwayRules[] = {
    {Is(kSb, "43"), {}, {3, 77, RgbColor(40, 256, 180)}},
    {{}, {}, {3, 2, RgbColor(40, 40, 180)}},
};

using K = StyleKind;
// The layers not listed (GK, HA, TO, YO) are drawn plainly.
constexpr LayerStyle kStyles[] = {
    {"CM", K::kSymbol, kRedSymbol, {}, {}, /*labelled=*/true},
    {"KJ", K::kGradedSymbol, kControlSymbol},
    {"KS", K::kSymbol, kRedSymbol},
    {"KK", K::kPen, {}, {2, 2, RgbColor(0, 200, 200)}},
    {"SK", K::kPen, {}, {1, 2, RgbColor(0, 255, 255)}},
    {"GD", K::kSymbol, kRedSymbol},
    {"KO", K::kSymbol, kRedSymbol, {}, {}, /*labelled=*/true},
    {"MH", K::kSymbol, kHeightSymbol},
    {"TS", K::kSymbol, kRedSymbol},
    {"TK", K::kPenRules, {}, {}, kRailwayRules},
    {"EK", K::kSymbol, kRedSymbol, {}, {}, /*labelled=*/true},
    {"DK", K::kPenRules, {}, {}, kRoadRules},
    {"DS", K::kSymbol, kRedSymbol},
};

std::int32_t RoundHalfEven(double value) {
  double whole = std::floor(value);
  const double fraction = value - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return static_cast<std::int32_t>(whole);
}

}  // namespace

bool Condition::Holds(std::string_view value) const {
  switch (test) {
    case kAlways:
      return true;
    case kSet:
      return !value.empty();
    case kEquals:
      return value == low;
    case kWithin:
      return value >= low && value <= high;
  }
  return false;
}

const LayerStyle& StyleOf(const LayerSpec& layer) {
  // A style for a code the catalogue does not have would leave its layer
  // drawn plainly without a word: it fails the first use instead.
  static const bool checked = [] {
    for (const LayerStyle& style : kStyles) {
      if (FindLayer(style.code) == nullptr) {
        throw std::logic_error("a TAB style names the layer " + std::string(style.code) +
                               ", which the catalogue does not have");
      }
    }
    return true;
  }();
  (void)checked;
  for (const LayerStyle& style : kStyles) {
    if (style.code == layer.code) return style;
  }
  static constexpr LayerStyle kPlain{"", K::kNone};
  return kPlain;
}

std::int32_t GradedColour(double height) {
  if (!(height >= 1.0)) height = 1.0;
  return RoundHalfEven(static_cast<double>(kGradedNumerator) / height);
}

}  // namespace quellmark
