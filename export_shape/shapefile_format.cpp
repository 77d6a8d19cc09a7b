#include "export_shape/shapefile_format.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "convert/qgis_style.h"
#include "convert/staged_sheet.h"
#include "convert/value_cuts.h"
#include "export_shape/shapefile_output.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

// Where the shapefile tables depart from the catalogue: the decoded names of
// point layers and the road layers' texts are wider, the road layers carry
// no HR or YR reference, and heights are declared differently.
constexpr FieldChange kChanges[] = {
    {"CM KJ GD KO", "srname sbname", FieldChange::kWidth, 32},
    {"KK DK", "name", FieldChange::kWidth, 32},
    {"KK DK", "cvid egid bdir1 bdir2 gmir trir", FieldChange::kWidth, 16},
    {"KK DK", "hrir yrir", FieldChange::kDrop},
    {"DS", "gmir", FieldChange::kWidth, 16},
    {"MH", "hk", FieldChange::kWidth, 11},
    // A text field; the decimals are part of its declaration only.
    {"KJ", "hk", FieldChange::kDecimals, 3},
};

// A point stands at the last number of its list; a number without a
// position stands at 0,0. KK's lines feed the list files as well as DK's.
constexpr GeometryRules kRules{.point_item = GeometryRules::PointItem::kLast,
                               .keep_unplaced = true,
                               .bounds = {},
                               .every_road_layer_feeds_lists = true};

class ShapefileTable : public TableOutput {
 public:
  ShapefileTable(const std::string& base, const LayerSpec& layer, std::span<const FieldSpec> fields,
                 std::string_view prj)
      : layer_(layer),
        geometry_(layer.geometry),
        fields_(fields),
        output_(base, layer.geometry, fields, prj),
        qml_path_(base + ".qml") {}

  void Write(const Feature& feature) override {
    const std::size_t count = feature.vertex_count;
    if (geometry_ == LayerGeometry::kLine) {
      // z and m are 0 for every vertex.
      if (zeros_.size() < count) zeros_.resize(count, 0.0);
      output_.WriteArc(static_cast<int>(count), feature.x, feature.y, zeros_.data(), zeros_.data());
    } else if (count > 0) {
      output_.WritePoint(feature.x[0], feature.y[0]);
    } else {
      output_.WriteNull();
    }
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      const FieldSpec& field = fields_[i];
      const int index = static_cast<int>(i);
      if (field.type == FieldType::kInteger) {
        output_.WriteInteger(feature.index, index, feature.LegacyInteger(field),
                             feature.reporter());
      } else {
        const LegacyValue value = feature.LegacyText(field);
        cuts_.Check(feature, field, value);
        output_.WriteText(feature.index, index, value.text);
      }
    }
  }

  // The table's QGIS style goes beside it, under its name.
  void Close() override {
    output_.Close();
    cuts_.Report();
    const std::string qml = QgisStyle(layer_, fields_);
    std::FILE* file = std::fopen(qml_path_.c_str(), "wb");
    if (file == nullptr) {
      throw OutputError(qml_path_, 0, "cannot create: " + SystemMessage(errno));
    }
    const bool written = std::fwrite(qml.data(), 1, qml.size(), file) == qml.size();
    const int write_errno = errno;
    if (std::fclose(file) != 0 || !written) {
      throw OutputError(qml_path_, 0,
                        "cannot write: " + SystemMessage(written ? errno : write_errno));
    }
  }

 private:
  const LayerSpec& layer_;
  LayerGeometry geometry_;
  std::span<const FieldSpec> fields_;
  ShapefileOutput output_;
  std::string qml_path_;
  std::vector<double> zeros_;
  ValueCuts cuts_;
};

// A table's files, the one a GIS opens last.
constexpr std::string_view kExtensions[] = {".shx", ".dbf", ".prj", ".cpg", ".qml", ".shp"};

class ShapefileSheet : public StagedSheet {
 public:
  ShapefileSheet(const SheetTarget& target, const AdaptedSchemas& schemas, std::string prj)
      : StagedSheet(target, kExtensions), schemas_(schemas), prj_(std::move(prj)) {}

 private:
  std::unique_ptr<TableOutput> CreateStagedTable(const LayerSpec& layer,
                                                 const std::string& base) override {
    return std::make_unique<ShapefileTable>(base, layer, schemas_.Fields(layer), prj_);
  }

  const AdaptedSchemas& schemas_;
  std::string prj_;
};

class Shapefiles : public OutputFormat {
 public:
  std::string_view id() const override { return "shape"; }
  std::string_view label() const override { return "ArcInfo shape"; }
  std::string_view label_ja() const override { return "シェープファイル"; }
  const GeometryRules& geometry_rules() const override { return kRules; }
  std::span<const std::string_view> table_extensions() const override { return kExtensions; }
  std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget& target) const override {
    return std::make_unique<ShapefileSheet>(target, schemas_, ShapefilePrj(target.datum));
  }

 private:
  AdaptedSchemas schemas_{kChanges};
};

}  // namespace

const OutputFormat& ShapefileFormat() {
  static const Shapefiles format;
  return format;
}

}  // namespace quellmark
