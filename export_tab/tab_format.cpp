#include "export_tab/tab_format.h"

#include <optional>
#include <string>

#include "convert/staged_sheet.h"
#include "convert/value_cuts.h"
#include "layers/styles.h"
#include "sal/tokenizer.h"

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
    .point_item = GeometryRules::PointItem::kFirst, .keep_unplaced = false, .bounds = kTabBounds};

// The control point's colour by its height as the table keeps it.
std::int32_t HeightColour(const Feature& feature) {
  const std::string_view hk = feature.LegacyRecordText(RecordField::kHk);
  double height = 0.0;
  if (!StrToDecimal(hk, height)) {
    feature.reporter().Report("hk is not a number: " + std::string(hk));
    return kUngradedColour;
  }
  return GradedColour(height);
}

class TabLayerTable : public TableOutput {
 public:
  TabLayerTable(const std::string& path, TabCoordSys& coordsys, const TabBounds& bounds,
                const LayerSpec& layer)
      : files_{path},
        table_(TabTable::Create(path, coordsys, bounds)),
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
        const LegacyValue value = feature.LegacyText(field);
        cuts_.Check(feature, field, value);
        out.SetField(static_cast<int>(i), value.text);
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
    cuts_.Report();
  }

 private:
  void StylePoint(const Feature& feature, TabFeature& out) const {
    const Symbol& symbol = style_.symbol;
    if (style_.kind == StyleKind::kSymbol) {
      out.SetSymbol(symbol.number, symbol.size, symbol.colour);
    } else if (style_.kind == StyleKind::kGradedSymbol) {
      out.SetSymbol(symbol.number, symbol.size, HeightColour(feature));
    }
  }

  // The rules look at the values as the table keeps them.
  void StyleLine(const Feature& feature, TabFeature& out) const {
    std::optional<Pen> pen;
    if (style_.kind == StyleKind::kPen) {
      pen = style_.pen;
    } else if (style_.kind == StyleKind::kPenRules) {
      pen = ChoosePen(style_.rules,
                      [&feature](RecordField field) { return feature.LegacyRecordText(field); });
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
  ValueCuts cuts_;
  bool reported_style_ = false;
};

// A table's files, the one a GIS opens last.
constexpr std::string_view kExtensions[] = {".map", ".dat", ".id", ".ind", ".tab"};

class TabSheet : public StagedSheet {
 public:
  TabSheet(const SheetTarget& target, std::string_view coordsys, const TabBounds& bounds)
      : StagedSheet(target, kExtensions), coordsys_{std::string(coordsys)}, bounds_(bounds) {}

 private:
  std::unique_ptr<TableOutput> CreateStagedTable(const LayerSpec& layer,
                                                 const std::string& base) override {
    return std::make_unique<TabLayerTable>(base + ".tab", coordsys_, bounds_, layer);
  }

  // Read once for all the sheet's tables.
  TabCoordSys coordsys_;
  TabBounds bounds_;
};

class TabTables : public OutputFormat {
 public:
  std::string_view id() const override { return "tab"; }
  std::string_view label() const override { return "MapInfo TAB"; }
  const GeometryRules& geometry_rules() const override { return kRules; }
  std::span<const std::string_view> table_extensions() const override { return kExtensions; }
  std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget& target) const override {
    return std::make_unique<TabSheet>(target, TabCoordSysClause(target.datum),
                                      *TableBounds(target));
  }
  // In a projected system: the area where it is used, projected, with a
  // margin, and the sheet's own points with a kilometre around them (a
  // sheet outside the system's area keeps every point); each integer step
  // of the table is then about a millimetre or less for a plane
  // rectangular zone.
  std::optional<Bounds> TableBounds(const SheetTarget& target) const override {
    if (target.datum.projected_epsg == 0) return kRules.bounds;
    const ProjectedExtent area = ProjectedExtentOf(target.datum.projected_epsg);
    Bounds bounds{area.min_x, area.min_y, area.max_x, area.max_y};
    if (const std::optional<Bounds>& sheet = target.extent) {
      constexpr double kAround = 1000.0;
      bounds.west = std::min(bounds.west, sheet->west - kAround);
      bounds.south = std::min(bounds.south, sheet->south - kAround);
      bounds.east = std::max(bounds.east, sheet->east + kAround);
      bounds.north = std::max(bounds.north, sheet->north + kAround);
    }
    return bounds;
  }
};

}  // namespace

const OutputFormat& TabFormat() {
  static const TabTables format;
  return format;
}

std::span<const FieldSpec> TabFields(const LayerSpec& layer) { return Schemas().Fields(layer); }

bool TabLayerStyled(const LayerSpec& layer) { return StyleOf(layer).kind != StyleKind::kNone; }

}  // namespace quellmark
