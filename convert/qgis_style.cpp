#include "convert/qgis_style.h"

#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "layers/styles.h"

namespace quellmark {

namespace {

// QML as text: elements with attributes, each on a line of its own.
class Qml {
 public:
  using Attributes = std::initializer_list<std::pair<std::string_view, std::string_view>>;

  void Open(std::string_view name, Attributes attributes = {}) {
    Start(name, attributes);
    text_ += ">\n";
    ++depth_;
  }
  void Empty(std::string_view name, Attributes attributes = {}) {
    Start(name, attributes);
    text_ += "/>\n";
  }
  void Close(std::string_view name) {
    --depth_;
    Indent();
    text_ += "</";
    text_ += name;
    text_ += ">\n";
  }
  void Line(std::string_view name, std::string_view content) {
    Indent();
    text_ += '<';
    text_ += name;
    text_ += '>';
    Escaped(content);
    text_ += "</";
    text_ += name;
    text_ += ">\n";
  }
  void Raw(std::string_view text) { text_ += text; }
  std::string Take() { return std::move(text_); }

 private:
  void Indent() { text_.append(static_cast<std::size_t>(depth_) * 2, ' '); }
  void Start(std::string_view name, Attributes attributes) {
    Indent();
    text_ += '<';
    text_ += name;
    for (const auto& [key, value] : attributes) {
      text_ += ' ';
      text_ += key;
      text_ += "=\"";
      Escaped(value);
      text_ += '"';
    }
  }
  void Escaped(std::string_view value) {
    for (const char c : value) {
      switch (c) {
        case '&':
          text_ += "&amp;";
          break;
        case '<':
          text_ += "&lt;";
          break;
        case '>':
          text_ += "&gt;";
          break;
        case '"':
          text_ += "&quot;";
          break;
        default:
          text_ += c;
      }
    }
  }

  std::string text_;
  int depth_ = 0;
};

std::string Colour(std::int32_t rgb) {
  char text[32];
  std::snprintf(text, sizeof text, "%d,%d,%d,255", (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF,
                rgb & 0xFF);
  return text;
}

using Properties = std::vector<std::pair<std::string, std::string>>;

// A symbol layer's properties, in both the form QGIS writes since 3.16
// (an Option map) and the one it read before (prop elements).
void SymbolLayer(Qml& qml, std::string_view type, const Properties& properties,
                 std::string_view fill_colour_expression = {}) {
  qml.Open("layer", {{"class", type}, {"enabled", "1"}, {"locked", "0"}, {"pass", "0"}});
  qml.Open("Option", {{"type", "Map"}});
  for (const auto& [key, value] : properties) {
    qml.Empty("Option", {{"type", "QString"}, {"name", key}, {"value", value}});
  }
  qml.Close("Option");
  for (const auto& [key, value] : properties) qml.Empty("prop", {{"k", key}, {"v", value}});
  if (!fill_colour_expression.empty()) {
    qml.Open("data_defined_properties");
    qml.Open("Option", {{"type", "Map"}});
    qml.Empty("Option", {{"type", "QString"}, {"name", "name"}, {"value", ""}});
    qml.Open("Option", {{"type", "Map"}, {"name", "properties"}});
    qml.Open("Option", {{"type", "Map"}, {"name", "fillColor"}});
    qml.Empty("Option", {{"type", "bool"}, {"name", "active"}, {"value", "true"}});
    qml.Empty("Option",
              {{"type", "QString"}, {"name", "expression"}, {"value", fill_colour_expression}});
    qml.Empty("Option", {{"type", "int"}, {"name", "type"}, {"value", "3"}});
    qml.Close("Option");
    qml.Close("Option");
    qml.Empty("Option", {{"type", "QString"}, {"name", "type"}, {"value", "collection"}});
    qml.Close("Option");
    qml.Close("data_defined_properties");
  }
  qml.Close("layer");
}

// The QGIS shape of a MapInfo 3.0 symbol. The symbols past 51 have no QGIS
// shape; a filled circle stands in for them.
std::string_view MarkerShape(int number) {
  switch (number) {
    case 32:
      return "square";
    case 33:
      return "diamond";
    case 35:
      return "star";
    case 36:
      return "triangle";
    default:
      return "circle";
  }
}

void MarkerSymbol(Qml& qml, const Symbol& symbol, std::string_view fill_colour_expression = {}) {
  qml.Open("symbol", {{"type", "marker"},
                      {"name", "0"},
                      {"alpha", "1"},
                      {"clip_to_extent", "1"},
                      {"force_rhr", "0"}});
  SymbolLayer(qml, "SimpleMarker",
              {{"name", std::string(MarkerShape(symbol.number))},
               {"color", Colour(symbol.colour)},
               {"outline_color", "0,0,0,255"},
               {"outline_style", "solid"},
               {"outline_width", "0"},
               {"size", std::to_string(symbol.size)},
               {"size_unit", "Point"}},
              fill_colour_expression);
  qml.Close("symbol");
}

void LineSymbol(Qml& qml, const Pen& pen, std::string_view name) {
  qml.Open("symbol", {{"type", "line"},
                      {"name", name},
                      {"alpha", "1"},
                      {"clip_to_extent", "1"},
                      {"force_rhr", "0"}});
  const auto line = [&qml](std::int32_t colour, int width, std::string_view style,
                           std::string_view dashes) {
    Properties properties{{"line_color", Colour(colour)}, {"line_width", std::to_string(width)},
                          {"line_width_unit", "Pixel"},   {"line_style", std::string(style)},
                          {"capstyle", "round"},          {"joinstyle", "round"}};
    if (!dashes.empty()) {
      properties.insert(properties.end(), {{"use_custom_dash", "1"},
                                           {"customdash", std::string(dashes)},
                                           {"customdash_unit", "Pixel"}});
    }
    SymbolLayer(qml, "SimpleLine", properties);
  };
  // MapInfo's patterns as far as QGIS draws them: 77, a railway, as the
  // line with white dashes along its middle; 112, a zig-zag QGIS has no
  // pen for, dashed; every other one solid.
  if (pen.pattern == 77) {
    line(pen.colour, pen.width, "solid", {});
    line(RgbColor(255, 255, 255), pen.width > 2 ? pen.width - 2 : 1, "solid", "6;6");
  } else {
    line(pen.colour, pen.width, pen.pattern == 112 ? "dash" : "solid", {});
  }
  qml.Close("symbol");
}

// A text as a QGIS expression literal.
std::string Literal(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// The table's field that holds a record value, or null.
const FieldSpec* FieldOf(std::span<const FieldSpec> fields, RecordField field) {
  for (const FieldSpec& spec : fields) {
    if (spec.source == ValueSource::kRecordText && spec.field == field) return &spec;
  }
  return nullptr;
}

// A condition as an expression that is never NULL; empty for one that always
// holds. A field the table lacks reads as empty, so a test of it holds
// always or never.
struct Test {
  bool never = false;
  std::string expression;
  std::string label;
};

Test Expression(const Condition& condition, std::span<const FieldSpec> fields) {
  if (condition.test == Condition::kAlways) return {};
  const FieldSpec* field = FieldOf(fields, condition.field);
  if (field == nullptr) return {!condition.Holds(""), {}, {}};
  const std::string name(field->name);
  const std::string value = "coalesce(\"" + name + "\", '')";
  switch (condition.test) {
    case Condition::kSet:
      return {false, value + " <> ''", name};
    case Condition::kEquals:
      return {false, value + " = " + Literal(condition.low),
              name + " " + std::string(condition.low)};
    case Condition::kWithin:
      return {false,
              value + " >= " + Literal(condition.low) + " AND " + value +
                  " <= " + Literal(condition.high),
              name + " " + std::string(condition.low) + "-" + std::string(condition.high)};
    case Condition::kAlways:
      break;
  }
  return {};
}

// The rules in QGIS's rule-based renderer, where every rule whose filter
// holds draws: each filter also says that no earlier rule holds.
void PenRules(Qml& qml, std::span<const PenRule> rules, std::span<const FieldSpec> fields) {
  struct Drawn {
    std::string filter;
    std::string label;
    Pen pen;
  };
  std::vector<Drawn> drawn;
  std::string none_before;  // "NOT (earlier) AND ..."
  for (const PenRule& rule : rules) {
    const Test first = Expression(rule.first, fields);
    const Test second = Expression(rule.second, fields);
    if (first.never || second.never) continue;
    std::string holds = first.expression;
    if (!second.expression.empty()) {
      holds += holds.empty() ? second.expression : " AND " + second.expression;
    }
    if (holds.empty()) {
      // Drawn wherever no earlier rule is: the last rule.
      drawn.push_back({"ELSE", "other", rule.pen});
      break;
    }
    std::string label = first.label;
    if (!second.label.empty()) label += label.empty() ? second.label : ", " + second.label;
    drawn.push_back({none_before + "(" + holds + ")", label, rule.pen});
    none_before += "NOT (" + holds + ") AND ";
  }

  qml.Open("renderer-v2", {{"type", "RuleRenderer"},
                           {"forceraster", "0"},
                           {"symbollevels", "0"},
                           {"enableorderby", "0"}});
  qml.Open("rules", {{"key", "root"}});
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    const std::string index = std::to_string(i);
    qml.Empty("rule", {{"key", "rule-" + index},
                       {"filter", drawn[i].filter},
                       {"symbol", index},
                       {"label", drawn[i].label}});
  }
  qml.Close("rules");
  qml.Open("symbols");
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    LineSymbol(qml, drawn[i].pen, std::to_string(i));
  }
  qml.Close("symbols");
  qml.Close("renderer-v2");
}

void SingleSymbol(Qml& qml, const LayerSpec& layer, const LayerStyle& style,
                  std::span<const FieldSpec> fields) {
  qml.Open("renderer-v2", {{"type", "singleSymbol"},
                           {"forceraster", "0"},
                           {"symbollevels", "0"},
                           {"enableorderby", "0"}});
  qml.Open("symbols");
  if (layer.geometry == LayerGeometry::kLine) {
    LineSymbol(qml, style.kind == StyleKind::kPen ? style.pen : kPlainPen, "0");
  } else if (style.kind == StyleKind::kGradedSymbol) {
    // GradedColour: kGradedNumerator / max(height, 1), rounded half to even,
    // as 0xRRGGBB; a height that is not a number keeps the symbol's own
    // colour, kUngradedColour.
    Symbol symbol = style.symbol;
    symbol.colour = kUngradedColour;
    std::string expression;
    if (const FieldSpec* hk = FieldOf(fields, RecordField::kHk)) {
      expression = "with_variable('q', " + std::to_string(kGradedNumerator) + " / max(to_real(\"" +
                   std::string(hk->name) +
                   "\"), 1), with_variable('c', if(@q - floor(@q) = 0.5 AND floor(@q) % 2 = 0, "
                   "floor(@q), round(@q)), color_rgb(floor(@c / 65536) % 256, floor(@c / 256) "
                   "% 256, @c % 256)))";
    }
    MarkerSymbol(qml, symbol, expression);
  } else {
    MarkerSymbol(qml, style.kind == StyleKind::kSymbol ? style.symbol : kPlainSymbol);
  }
  qml.Close("symbols");
  qml.Close("renderer-v2");
}

void NameLabels(Qml& qml) {
  qml.Open("labeling", {{"type", "simple"}});
  qml.Open("settings", {{"calloutType", "simple"}});
  qml.Open("text-style", {{"fieldName", "name"},
                          {"isExpression", "0"},
                          {"fontSize", "9"},
                          {"fontSizeUnit", "Point"},
                          {"textColor", "0,0,0,255"},
                          {"textOpacity", "1"}});
  qml.Empty("text-buffer", {{"bufferDraw", "1"},
                            {"bufferSize", "1"},
                            {"bufferSizeUnits", "MM"},
                            {"bufferColor", "255,255,255,255"},
                            {"bufferOpacity", "1"}});
  qml.Close("text-style");
  // Around the point, 1 mm from the symbol's edge (offsetType 1): measured
  // from the point itself, the label would lie on the symbol.
  qml.Empty("placement",
            {{"placement", "6"}, {"dist", "1"}, {"distUnits", "MM"}, {"offsetType", "1"}});
  qml.Close("settings");
  qml.Close("labeling");
}

bool HasField(std::span<const FieldSpec> fields, std::string_view name) {
  for (const FieldSpec& field : fields) {
    if (field.name == name) return true;
  }
  return false;
}

}  // namespace

std::string QgisStyle(const LayerSpec& layer, std::span<const FieldSpec> fields) {
  const LayerStyle& style = StyleOf(layer);
  const bool labelled = style.labelled && HasField(fields, "name");
  Qml qml;
  qml.Raw("<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n");
  qml.Open("qgis", {{"version", "3.22.0"},
                    {"styleCategories", "Symbology|Labeling"},
                    {"labelsEnabled", labelled ? "1" : "0"}});
  if (style.kind == StyleKind::kPenRules) {
    PenRules(qml, style.rules, fields);
  } else {
    SingleSymbol(qml, layer, style, fields);
  }
  if (labelled) NameLabels(qml);
  qml.Line("layerGeometryType", layer.geometry == LayerGeometry::kPoint ? "0" : "1");
  qml.Close("qgis");
  return qml.Take();
}

}  // namespace quellmark
