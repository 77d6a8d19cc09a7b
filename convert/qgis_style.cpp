#include "convert/qgis_style.h"

#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "layers/map_styles.h"
#include "sal/attribute_codes.h"
#include "sal/cp932.h"

namespace quellmark {

namespace {

// QML as text: elements with attributes, each on a line of its own.
class Qml {
 public:
  using Attributes = std::vector<std::pair<std::string_view, std::string_view>>;

  void Open(std::string_view name, const Attributes& attributes = {}) {
    Start(name, attributes);
    text_ += ">\n";
    ++depth_;
  }
  void Empty(std::string_view name, const Attributes& attributes = {}) {
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
  void Start(std::string_view name, const Attributes& attributes) {
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

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

using Properties = std::vector<std::pair<std::string, std::string>>;

// A symbol layer's properties, in both the form QGIS writes since 3.16
// (an Option map) and the one it read before (prop elements). `pass`: the
// drawing pass with symbol levels on, so every casing of a layer is drawn
// before any fill.
void OpenSymbolLayer(Qml& qml, std::string_view type, const Properties& properties, int pass) {
  const std::string level = std::to_string(pass);
  qml.Open("layer", {{"class", type}, {"enabled", "1"}, {"locked", "0"}, {"pass", level}});
  qml.Open("Option", {{"type", "Map"}});
  for (const auto& [key, value] : properties) {
    qml.Empty("Option", {{"type", "QString"}, {"name", key}, {"value", value}});
  }
  qml.Close("Option");
  for (const auto& [key, value] : properties) qml.Empty("prop", {{"k", key}, {"v", value}});
}

void OpenSymbol(Qml& qml, std::string_view type, std::string_view name) {
  qml.Open("symbol", {{"type", type},
                      {"name", name},
                      {"alpha", "1"},
                      {"clip_to_extent", "1"},
                      {"force_rhr", "0"}});
}

// Dash patterns in millimetres, whatever the line's width.
std::string_view DashPattern(Dash dash) {
  switch (dash) {
    case Dash::kDash:
      return "1.6;0.8";
    case Dash::kDot:
      return "0.3;0.6";
    case Dash::kDashDot:
      return "2.4;0.6;0.4;0.6";
    case Dash::kDashDotDot:
      return "2.4;0.6;0.4;0.6;0.4;0.6";
    case Dash::kSolid:
    case Dash::kTicks:
      break;
  }
  return {};
}

void SimpleLine(Qml& qml, const Stroke& stroke, int pass) {
  const std::string_view dashes = DashPattern(stroke.dash);
  Properties properties{{"line_color", Colour(stroke.colour)},
                        {"line_width", Number(stroke.width)},
                        {"line_width_unit", "MM"},
                        {"line_style", "solid"},
                        {"capstyle", dashes.empty() ? "round" : "flat"},
                        {"joinstyle", "round"}};
  if (!dashes.empty()) {
    properties.insert(
        properties.end(),
        {{"use_custom_dash", "1"}, {"customdash", std::string(dashes)}, {"customdash_unit", "MM"}});
  }
  OpenSymbolLayer(qml, "SimpleLine", properties, pass);
  qml.Close("layer");
}

// Short strokes across the line, `stroke.width` long, every 1.6 mm.
void Ticks(Qml& qml, const Stroke& stroke, int pass) {
  OpenSymbolLayer(qml, "HashLine",
                  {{"placement", "interval"},
                   {"interval", "1.6"},
                   {"interval_unit", "MM"},
                   {"hash_length", Number(stroke.width)},
                   {"hash_length_unit", "MM"},
                   {"hash_angle", "90"},
                   {"rotate", "1"}},
                  pass);
  OpenSymbol(qml, "line", "@0@0");
  SimpleLine(qml, {0.2, stroke.colour, Dash::kSolid}, 0);
  qml.Close("symbol");
  qml.Close("layer");
}

void LineSymbol(Qml& qml, const Look& look, std::string_view name) {
  OpenSymbol(qml, "line", name);
  int pass = 0;
  for (const Stroke& stroke : look.strokes) {
    if (stroke.width <= 0) continue;
    if (stroke.dash == Dash::kTicks) {
      Ticks(qml, stroke, pass);
    } else {
      SimpleLine(qml, stroke, pass);
    }
    ++pass;
  }
  qml.Close("symbol");
}

std::string_view ShapeName(Mark mark) {
  switch (mark) {
    case Mark::kSquare:
      return "square";
    case Mark::kTriangle:
      return "triangle";
    default:
      return "circle";
  }
}

void MarkerSymbol(Qml& qml, const Marker& marker, std::string_view name) {
  OpenSymbol(qml, "marker", name);
  if (marker.mark == Mark::kGlyph) {
    OpenSymbolLayer(qml, "FontMarker",
                    {{"font", std::string(kMapFont)},
                     {"chr", std::string(marker.glyph)},
                     {"size", Number(marker.size)},
                     {"size_unit", "MM"},
                     {"color", Colour(marker.fill)},
                     {"outline_color", Colour(marker.outline)},
                     {"outline_width", Number(marker.outline_width)},
                     {"outline_width_unit", "MM"},
                     {"joinstyle", "round"}},
                    2);
    qml.Close("layer");
  } else {
    OpenSymbolLayer(qml, "SimpleMarker",
                    {{"name", std::string(ShapeName(marker.mark))},
                     {"color", Colour(marker.fill)},
                     {"outline_color", Colour(marker.outline)},
                     {"outline_style", marker.outline_width > 0 ? "solid" : "no"},
                     {"outline_width", Number(marker.outline_width)},
                     {"outline_width_unit", "MM"},
                     {"size", Number(marker.size)},
                     {"size_unit", "MM"}},
                    0);
    qml.Close("layer");
    if (marker.dot) {
      OpenSymbolLayer(qml, "SimpleMarker",
                      {{"name", "circle"},
                       {"color", Colour(marker.outline)},
                       {"outline_style", "no"},
                       {"size", "0.35"},
                       {"size_unit", "MM"}},
                      1);
      qml.Close("layer");
    }
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

bool HasField(std::span<const FieldSpec> fields, std::string_view name) {
  for (const FieldSpec& field : fields) {
    if (field.name == name) return true;
  }
  return false;
}

// The filters of a list of rules where the first that holds decides:
// each says its own test holds and no earlier one's does. A rule whose
// field the table lacks never holds and has no filter (nullopt); the
// last, codeless rule's filter holds where no earlier one does (empty when
// there is none).
template <typename Rule>
std::vector<std::optional<std::string>> FirstMatchFilters(std::span<const Rule> rules,
                                                          std::span<const FieldSpec> fields) {
  std::vector<std::optional<std::string>> filters;
  std::string none_before;  // "NOT (earlier) AND ..."
  for (const Rule& rule : rules) {
    if (rule.code.empty()) {
      filters.emplace_back(none_before.empty() ? std::string()
                                               : none_before.substr(0, none_before.size() - 5));
      continue;
    }
    const FieldSpec* field = FieldOf(fields, rule.field);
    if (field == nullptr) {
      filters.emplace_back(std::nullopt);
      continue;
    }
    const std::string holds =
        "coalesce(\"" + std::string(field->name) + "\", '') = " + Literal(rule.code);
    filters.emplace_back(none_before + holds);
    none_before += "NOT (" + holds + ") AND ";
  }
  return filters;
}

// The legend's text of a rule: its caption, then its code's name in the
// attribute dictionary (UTF-8).
std::string Caption(const MapRule& rule, Cp932ToUtf8& utf8) {
  std::string caption(rule.caption);
  if (rule.code.empty()) return caption;
  std::string name;
  utf8.Convert(AttributeCodeName(rule.code), name);
  return caption + name;
}

void Renderer(Qml& qml, const LayerSpec& layer, const MapLayerStyle& style,
              std::span<const FieldSpec> fields, Cp932ToUtf8& utf8) {
  const bool points = layer.geometry == LayerGeometry::kPoint;
  const auto symbol = [&](const Look& look, std::string_view name) {
    if (points) {
      MarkerSymbol(qml, look.marker, name);
    } else {
      LineSymbol(qml, look, name);
    }
  };
  const auto drawn = [&](const MapRule& rule) {
    return points ? rule.look.marker.mark != Mark::kNone : rule.look.strokes[0].width > 0;
  };
  // Names only: nothing drawn, the labels placed where the features are.
  if (style.rules.size() == 1 && !drawn(style.rules[0])) {
    qml.Empty("renderer-v2", {{"type", "nullSymbol"}});
    return;
  }
  if (style.rules.size() == 1 && style.rules[0].code.empty() && style.rules[0].max_scale == 0) {
    qml.Open("renderer-v2", {{"type", "singleSymbol"},
                             {"forceraster", "0"},
                             {"symbollevels", "1"},
                             {"enableorderby", "0"}});
    qml.Open("symbols");
    symbol(style.rules[0].look, "0");
    qml.Close("symbols");
    qml.Close("renderer-v2");
    return;
  }
  const auto filters = FirstMatchFilters(style.rules, fields);
  qml.Open("renderer-v2", {{"type", "RuleRenderer"},
                           {"forceraster", "0"},
                           {"symbollevels", "1"},
                           {"enableorderby", "0"}});
  qml.Open("rules", {{"key", "root"}});
  std::vector<const MapRule*> symbols;
  for (std::size_t i = 0; i < style.rules.size(); ++i) {
    const MapRule& rule = style.rules[i];
    if (!filters[i] || !drawn(rule)) continue;
    const std::string index = std::to_string(symbols.size());
    const std::string caption = Caption(rule, utf8);
    const std::string key = "rule-" + index;
    const std::string scale = std::to_string(rule.max_scale);
    const std::string filter = filters[i]->empty() ? "ELSE" : *filters[i];
    Qml::Attributes attributes{
        {"key", key}, {"filter", filter}, {"symbol", index}, {"label", caption}};
    if (rule.max_scale > 0) attributes.emplace_back("scalemaxdenom", scale);
    qml.Empty("rule", attributes);
    symbols.push_back(&rule);
  }
  qml.Close("rules");
  qml.Open("symbols");
  for (std::size_t i = 0; i < symbols.size(); ++i) symbol(symbols[i]->look, std::to_string(i));
  qml.Close("symbols");
  qml.Close("renderer-v2");
}

void LabelSettings(Qml& qml, const MapLayerStyle& style, const LabelRule& rule) {
  qml.Open("settings", {{"calloutType", "simple"}});
  qml.Open("text-style", {{"fieldName", style.label_field},
                          {"isExpression", "0"},
                          {"fontFamily", kMapFont},
                          {"namedStyle", "Regular"},
                          {"fontSize", Number(rule.size)},
                          {"fontSizeUnit", "Point"},
                          {"fontWeight", rule.bold ? "75" : "50"},
                          {"fontItalic", rule.italic ? "1" : "0"},
                          {"textColor", Colour(rule.colour)},
                          {"textOpacity", "1"}});
  qml.Empty("text-buffer", {{"bufferDraw", "1"},
                            {"bufferSize", "0.7"},
                            {"bufferSizeUnits", "MM"},
                            {"bufferColor", "255,255,255,255"},
                            {"bufferOpacity", "0.9"},
                            {"bufferJoinStyle", "128"}});
  qml.Close("text-style");
  // Beside a drawn mark (around it, 0.8 mm from its edge); over the place
  // a name stands for when nothing is drawn there.
  const bool marked = style.rules[0].look.marker.mark != Mark::kNone;
  if (marked) {
    qml.Empty("placement",
              {{"placement", "6"}, {"dist", "0.8"}, {"distUnits", "MM"}, {"offsetType", "1"}});
  } else {
    qml.Empty("placement", {{"placement", "1"}, {"quadOffset", "4"}});
  }
  const std::string priority = std::to_string(rule.priority);
  qml.Empty("rendering", {{"priority", priority},
                          {"displayAll", "0"},
                          {"obstacle", "1"},
                          {"upsidedownLabels", "0"},
                          {"fontLimitPixelSize", "0"}});
  qml.Close("settings");
}

void Labels(Qml& qml, const MapLayerStyle& style, std::span<const FieldSpec> fields) {
  const auto filters = FirstMatchFilters(style.labels, fields);
  qml.Open("labeling", {{"type", "rule-based"}});
  qml.Open("rules", {{"key", "root"}});
  for (std::size_t i = 0; i < style.labels.size(); ++i) {
    if (!filters[i]) continue;
    const LabelRule& rule = style.labels[i];
    const std::string key = "label-" + std::to_string(i);
    const std::string scale = std::to_string(rule.max_scale);
    Qml::Attributes attributes{{"key", key}, {"filter", *filters[i]}, {"description", style.title}};
    if (rule.max_scale > 0) attributes.emplace_back("scalemaxdenom", scale);
    qml.Open("rule", attributes);
    LabelSettings(qml, style, rule);
    qml.Close("rule");
  }
  qml.Close("rules");
  qml.Close("labeling");
}

}  // namespace

std::string QgisStyle(const LayerSpec& layer, std::span<const FieldSpec> fields) {
  const MapLayerStyle& style = MapStyleOf(layer);
  const bool labelled = !style.labels.empty() && HasField(fields, style.label_field);
  Cp932ToUtf8 utf8;
  Qml qml;
  qml.Raw("<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n");
  const std::string min_scale = std::to_string(style.max_scale);
  qml.Open("qgis", {{"version", "3.22.0"},
                    {"styleCategories", "LayerConfiguration|Symbology|Labeling|Rendering"},
                    {"labelsEnabled", labelled ? "1" : "0"},
                    {"hasScaleBasedVisibilityFlag", style.max_scale > 0 ? "1" : "0"},
                    {"minScale", style.max_scale > 0 ? min_scale : "100000000"},
                    {"maxScale", "0"}});
  Renderer(qml, layer, style, fields, utf8);
  if (labelled) Labels(qml, style, fields);
  qml.Line("layerGeometryType", layer.geometry == LayerGeometry::kPoint ? "0" : "1");
  qml.Close("qgis");
  return qml.Take();
}

}  // namespace quellmark
