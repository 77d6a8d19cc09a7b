// How each layer is drawn, as data: the symbol of a point layer, the pen of
// a line layer, the rules that choose a road's or a railway's pen, the
// colour of a control point by its height, and which layers are labelled by
// name. The TAB tables carry these on every feature; the QGIS styles of the
// other formats are generated from the same data.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "layers/catalogue.h"

namespace quellmark {

// 0xRRGGBB from components, in plain integer arithmetic: a component outside
// 0..255 carries into its neighbour.
constexpr std::int32_t RgbColor(std::int32_t r, std::int32_t g, std::int32_t b) {
  return r * 65536 + g * 256 + b;
}

struct Symbol {
  int number;           // MapInfo 3.0 symbol (31..67)
  int size;             // points
  std::int32_t colour;  // 0xRRGGBB
  bool operator==(const Symbol&) const = default;
};

struct Pen {
  int width;            // pixels
  int pattern;          // MapInfo pen pattern: 2 solid
  std::int32_t colour;  // 0xRRGGBB
  bool operator==(const Pen&) const = default;
};

// A test of one record value.
struct Condition {
  enum Test : std::uint8_t {
    kAlways,
    kSet,     // not empty
    kEquals,  // equal to `low`
    kWithin,  // from `low` to `high`, in byte order
  };
  Test test = kAlways;
  RecordField field = RecordField::kId;
  std::string_view low = {};
  std::string_view high = {};

  bool Holds(std::string_view value) const;
};

// A pen and when it is drawn: the first rule of a list whose two conditions
// both hold chooses the pen. A list ends with a rule that always holds.
struct PenRule {
  Condition first;
  Condition second;
  Pen pen;
};

enum class StyleKind : std::uint8_t {
  kNone,          // the reader's default symbol or pen
  kSymbol,        // the layer's symbol
  kGradedSymbol,  // the layer's symbol, coloured by the hk value (GradedColour)
  kPen,           // the layer's pen
  kPenRules,      // a pen chosen by the layer's rules
};

struct LayerStyle {
  std::string_view code;
  StyleKind kind;
  Symbol symbol = {};
  Pen pen = {};
  std::span<const PenRule> rules = {};
  bool labelled = false;  // a map shows these features by their name
};

// The layer's style; kind kNone for the layers drawn plainly (GK, HA, TO, YO).
const LayerStyle& StyleOf(const LayerSpec& layer);

// How MapInfo draws a feature that carries no symbol or pen of its own, as
// the plain layers' are: a black star of 12 points; a black solid line of one
// pixel.
inline constexpr Symbol kPlainSymbol{35, 12, 0};
inline constexpr Pen kPlainPen{1, 2, 0};

// The pen of the first rule that holds; `value(field)` gives the record's
// text of a field.
template <typename Values>
const Pen& ChoosePen(std::span<const PenRule> rules, const Values& value) {
  for (const PenRule& rule : rules) {
    if (rule.first.Holds(value(rule.first.field)) && rule.second.Holds(value(rule.second.field))) {
      return rule.pen;
    }
  }
  return rules.back().pen;
}

// Symbol of the control points. They were designed with symbol 361, which is
// no MapInfo 3.0 symbol (those run from 31 to 67) and which the TAB driver,
// keeping symbol numbers in one byte, would store as 105. The solid
// triangle, the usual mark of a survey point, stands in for it; size and
// colour are kept.
inline constexpr int kControlPointSymbol = 36;

// A control point's colour by its height: 0xFF0000 divided by the height (at
// least 1), rounded half to even. A height that is not a number draws the
// point in kUngradedColour.
inline constexpr std::int32_t kGradedNumerator = RgbColor(255, 0, 0);
inline constexpr std::int32_t kUngradedColour = RgbColor(255, 0, 0);
std::int32_t GradedColour(double height);

}  // namespace quellmark
