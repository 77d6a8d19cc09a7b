#include "export_tab/tab_format.h"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>

#include "convert/sheet.h"
#include "convert/staged_sheet.h"

namespace quellmark {

namespace {

// Where the TAB tables depart from the catalogue: no record number, no
// PD values on the control points, the station's KN reference cut to 8, a
// wider MH height, and HR and YR references on DK only.
constexpr FieldChange kChanges[] = {
    {"*", "no", FieldChange::kDrop},         {"KJ", "pdid pd", FieldChange::kDrop},
    {"EK", "knir", FieldChange::kWidth, 8},  {"MH", "hk", FieldChange::kWidth, 12},
    {"KK", "hrir yrir", FieldChange::kDrop},
};

const AdaptedSchemas& Schemas() {
  static const AdaptedSchemas schemas{kChanges};
  return schemas;
}

// A point layer's feature stands at the first number of its list (the rest
// waits for the next line); a number without a position inside the table's
// bounds is left out.
constexpr GeometryRules kRules{
    .point_item = GeometryRules::PointItem::kFirst,
    .keep_unplaced = false,
    .bounds = Bounds{kTabBounds.west, kTabBounds.south, kTabBounds.east, kTabBounds.north}};

enum class StyleRule : std::uint8_t {
  kNone,          // the driver's default pen
  kSymbol,        // the layer's fixed symbol
  kGradedSymbol,  // the layer's symbol, coloured by the hk value
  kPen,           // the layer's fixed pen
  kRailwayPen,    // by the railway kind
  kRoadPen,       // by width class, road kind and references
};

struct LayerStyle {
  std::string_view code;
  StyleRule rule;
  TabSymbol symbol{};
  TabPen pen{};
};

constexpr TabSymbol kRedSymbol{67, 12, RgbColor(255, 0, 0)};
constexpr TabSymbol kHeightSymbol{32, 12, RgbColor(0, 0, 0)};
constexpr TabSymbol kControlSymbol{kControlPointSymbol, 10, 0};

using S = StyleRule;
// The layers not listed (GK, HA, TO, YO) keep the driver's default pen.
constexpr LayerStyle kStyles[] = {
    {"CM", S::kSymbol, kRedSymbol},
    {"KJ", S::kGradedSymbol, kControlSymbol},
    {"KS", S::kSymbol, kRedSymbol},
    {"KK", S::kPen, {}, {2, 2, RgbColor(0, 200, 200)}},
    {"SK", S::kPen, {}, {1, 2, RgbColor(0, 255, 255)}},
    {"GD", S::kSymbol, kRedSymbol},
    {"KO", S::kSymbol, kRedSymbol},
    {"MH", S::kSymbol, kHeightSymbol},
    {"TS", S::kSymbol, kRedSymbol},
    {"TK", S::kRailwayPen},
    {"EK", S::kSymbol, kRedSymbol},
    {"DK", S::kRoadPen},
    {"DS", S::kSymbol, kRedSymbol},
};

const LayerStyle& StyleOf(const LayerSpec& layer) {
  for (const LayerStyle& style : kStyles) {
    if (style.code == layer.code) return style;
  }
  static constexpr LayerStyle kUnstyled{"", S::kNone};
  return kUnstyled;
}

// The pens look at the values as the table keeps them.
TabPen RailwayPen(const Feature& feature) {
  if (feature.LegacyRecordText(RecordField::kSb) == "43") return {3, 77, RgbColor(40, 256, 180)};
  return {3, 2, RgbColor(40, 40, 180)};
}

// Width from the width class, colour from the road kind; a reference to an
// HA, TO or YO feature overrides both.
TabPen RoadPen(const Feature& feature) {
  const std::string_view fi = feature.LegacyRecordText(RecordField::kFi);
  int width = 1;
  if (fi >= std::string_view("19") && fi <= std::string_view("1A")) {
    width = 2;
  } else if (fi == "1B") {
    width = 3;
  }
  std::int32_t colour = RgbColor(200, 200, 200);
  if (feature.LegacyRecordText(RecordField::kSb) == "16") {
    width = 4;
    colour = RgbColor(200, 128, 0);
  }
  const SalRecord& record = feature.record();
  if (!record.hrir.empty()) return {width, 2, RgbColor(0, 0, 0)};
  if (!record.trir.empty()) return {3, 2, RgbColor(0, 0, 0)};
  if (!record.yrir.empty()) return {3, 112, RgbColor(40, 80, 80)};
  return {width, 2, colour};
}

std::int32_t RoundHalfEven(double value) {
  double whole = std::floor(value);
  const double fraction = value - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return static_cast<std::int32_t>(whole);
}

class TabLayerTable : public TableOutput {
 public:
  TabLayerTable(const std::string& path, TabCoordSys& coordsys, const LayerSpec& layer)
      : files_{path},
        table_(TabTable::Create(path, coordsys, kTabBounds)),
        point_(layer.geometry == LayerGeometry::kPoint),
        style_(StyleOf(layer)),
        fields_(Schemas().Fields(layer)) {
    for (const FieldSpec& field : fields_) {
      table_.AddField(
          field.name,
          field.type == FieldType::kInteger ? TabFieldType::kInteger : TabFieldType::kChar,
          field.width);
    }
  }

  void Write(const Feature& feature) override {
    TabFeature out =
        table_.CreateFeature(point_ ? TabFeatureType::kPoint : TabFeatureType::kPolyline);
    out.SetPoints(0, feature.vertex_count, feature.x, feature.y);
    if (point_) StylePoint(feature, out);
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      const FieldSpec& field = fields_[i];
      if (field.type == FieldType::kInteger) {
        scratch_ = std::to_string(feature.LegacyInteger(field));
        out.SetField(static_cast<int>(i), scratch_);
      } else {
        out.SetField(static_cast<int>(i), feature.LegacyText(field));
      }
    }
    if (!point_) StyleLine(feature, out);
    if (table_.WriteFeature(out) != TabStyleFit::kExact && !reported_style_) {
      feature.reporter().Report("more different styles than a TAB table holds; " +
                                std::to_string(TabTable::kMaxStyles) +
                                " kept, the rest drawn with the nearest colour");
      reported_style_ = true;
    }
  }

  void Close() override {
    table_.Close();
    files_.keep = true;
  }

 private:
  void StylePoint(const Feature& feature, TabFeature& out) const {
    const TabSymbol& symbol = style_.symbol;
    if (style_.rule == S::kSymbol) {
      out.SetSymbol(symbol.number, symbol.size, symbol.colour);
    } else if (style_.rule == S::kGradedSymbol) {
      std::int32_t colour = 0;
      const std::string_view hk = feature.LegacyRecordText(RecordField::kHk);
      if (!GradedColour(hk, colour)) {
        feature.reporter().Report("hk is not a number: " + std::string(hk));
        colour = RgbColor(255, 0, 0);
      }
      out.SetSymbol(symbol.number, symbol.size, colour);
    }
  }

  void StyleLine(const Feature& feature, TabFeature& out) const {
    std::optional<TabPen> pen;
    if (style_.rule == S::kPen) {
      pen = style_.pen;
    } else if (style_.rule == S::kRailwayPen) {
      pen = RailwayPen(feature);
    } else if (style_.rule == S::kRoadPen) {
      pen = RoadPen(feature);
    }
    if (pen) out.SetPen(pen->width, pen->pattern, pen->colour);
  }

  // Removes the table's files unless it was completed; destroyed after the
  // table, so the files are closed first.
  struct Files {
    std::string path;
    bool keep = false;
    ~Files() {
      if (!keep) RemoveTabFiles(path);
    }
  } files_;
  TabTable table_;
  bool point_;
  const LayerStyle& style_;
  std::span<const FieldSpec> fields_;
  std::string scratch_;
  bool reported_style_ = false;
};

// A table's files, the one a GIS opens last.
constexpr std::string_view kExtensions[] = {".map", ".dat", ".id", ".ind", ".tab"};

class TabSheet : public StagedSheet {
 public:
  explicit TabSheet(const std::string& output_prefix) : StagedSheet(output_prefix, kExtensions) {}

 private:
  std::unique_ptr<TableOutput> CreateStagedTable(const LayerSpec& layer,
                                                 const std::string& base) override {
    return std::make_unique<TabLayerTable>(base + ".tab", coordsys_, layer);
  }

  // Read once for all the sheet's tables.
  TabCoordSys coordsys_{kTabCoordSys};
};

class TabTables : public OutputFormat {
 public:
  std::string_view id() const override { return "tab"; }
  std::string_view label() const override { return "MapInfo TAB"; }
  const GeometryRules& geometry_rules() const override { return kRules; }
  std::unique_ptr<SheetOutput> OpenSheet(const std::string& output_prefix,
                                         ExportContext&) const override {
    return std::make_unique<TabSheet>(output_prefix);
  }
};

}  // namespace

const OutputFormat& TabFormat() {
  static const TabTables format;
  return format;
}

std::span<const FieldSpec> TabFields(const LayerSpec& layer) { return Schemas().Fields(layer); }

bool TabLayerStyled(const LayerSpec& layer) { return StyleOf(layer).rule != S::kNone; }

bool GradedColour(std::string_view hk, std::int32_t& colour) {
  // A decimal number, blanks around it allowed: sign, digits, fraction,
  // exponent; nothing else (no "inf", "nan" or hexadecimal).
  while (!hk.empty() && hk.front() == ' ') hk.remove_prefix(1);
  while (!hk.empty() && hk.back() == ' ') hk.remove_suffix(1);
  bool negative = false;
  if (!hk.empty() && (hk.front() == '-' || hk.front() == '+')) {
    negative = hk.front() == '-';
    hk.remove_prefix(1);
  }
  if (hk.empty() || !((hk.front() >= '0' && hk.front() <= '9') || hk.front() == '.')) return false;
  std::string text(hk);
  if (text.front() == '.') text.insert(0, 1, '0');
  double height = 0.0;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, height, std::chars_format::general);
  if (error != std::errc() || end != last) return false;
  if (negative) height = -height;
  if (!(height >= 1.0)) height = 1.0;
  colour = RoundHalfEven(16711680.0 / height);
  return true;
}

}  // namespace quellmark
