#include "export_ogr/ogr_rows.h"

#include <ogrsf_frmts.h>

#include <mutex>
#include <stdexcept>
#include <string>

#include "sal/tokenizer.h"

namespace quellmark {

namespace {

struct KnownDriver {
  std::string_view name;
  void (*register_driver)();
};

constexpr KnownDriver kDrivers[] = {
    {"GPKG", RegisterOGRGeoPackage}, {"MapInfo File", RegisterOGRTAB},
    {"GeoJSON", RegisterOGRGeoJSON}, {"FlatGeobuf", RegisterOGRFlatGeobuf},
    {"CSV", RegisterOGRCSV},
};

constexpr FieldChange kWholeValueChanges[] = {
    {"*", "*", FieldChange::kWidth, 0},
    {"KJ MH", "hk", FieldChange::kReal},
};

constexpr GeometryRules kWholeValueRules{
    .point_item = GeometryRules::PointItem::kLast, .keep_unplaced = false, .bounds = {}};

}  // namespace

GDALDriverH OgrDriver(std::string_view name) {
  static std::once_flag once[std::size(kDrivers)];
  for (std::size_t i = 0; i < std::size(kDrivers); ++i) {
    if (kDrivers[i].name != name) continue;
    std::call_once(once[i], kDrivers[i].register_driver);
    return GDALGetDriverByName(std::string(name).c_str());
  }
  throw std::logic_error("no GDAL driver " + std::string(name) + " is known to Quellmark");
}

std::span<const FieldChange> WholeValueChanges() { return kWholeValueChanges; }

const GeometryRules& WholeValueGeometryRules() { return kWholeValueRules; }

OgrRows::OgrRows(std::span<const FieldSpec> fields, Cp932ToUtf8& utf8, int first_field)
    : fields_(fields), utf8_(utf8), first_field_(first_field) {}

OGRFeatureDefn* OgrRows::Layout(const LayerSpec& layer, std::span<const FieldSpec> fields,
                                bool sheet_column, const char* geometry_column) {
  auto* layout = new OGRFeatureDefn(std::string(layer.code).c_str());
  layout->Reference();
  layout->SetGeomType(GeometryType(layer));
  layout->GetGeomFieldDefn(0)->SetName(geometry_column);
  if (sheet_column) {
    OGRFieldDefn sheet("sheet", OFTString);
    layout->AddFieldDefn(&sheet);
  }
  for (const FieldSpec& spec : fields) {
    OGRFieldDefn field(std::string(spec.name).c_str(), spec.type == FieldType::kInteger ? OFTInteger
                                                       : spec.type == FieldType::kReal  ? OFTReal
                                                                                       : OFTString);
    layout->AddFieldDefn(&field);
  }
  return layout;
}

OGRwkbGeometryType OgrRows::GeometryType(const LayerSpec& layer) {
  return layer.geometry == LayerGeometry::kPoint ? wkbPoint : wkbLineString;
}

void OgrRows::SetText(const Feature& feature, const FieldSpec& field, int index,
                      std::string_view text, OGRFeatureH row) {
  const std::string* utf8 = &text_;
  bool whole = true;
  if (field.source == ValueSource::kFeatureName) {
    utf8 = &name_utf8_;
    if (!name_known_ || text != name_cp932_) {
      name_cp932_.assign(text);
      whole = utf8_.Convert(text, name_utf8_);
      name_known_ = true;
    }
  } else {
    whole = utf8_.Convert(text, text_);
  }
  if (!whole) {
    feature.reporter().Report(
        "text that is not code page 932 in " + std::string(field.name) +
        ", kept with U+FFFD for the bytes that do not convert: " + std::string(text));
  }
  OGR_F_SetFieldString(row, index, utf8->c_str());
}

void OgrRows::SetFields(const Feature& feature, OGRFeatureH row) {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const FieldSpec& field = fields_[i];
    const int index = first_field_ + static_cast<int>(i);
    if (field.type == FieldType::kInteger) {
      OGR_F_SetFieldInteger(row, index, feature.Integer(field));
      continue;
    }
    const std::string_view text = feature.Text(field);
    if (text.empty()) {
      OGR_F_SetFieldNull(row, index);
    } else if (field.type == FieldType::kReal) {
      double value = 0.0;
      if (StrToDecimal(text, value)) {
        OGR_F_SetFieldDouble(row, index, value);
      } else {
        feature.reporter().Report(std::string(field.name) +
                                  " is not a number: " + std::string(text) + "; left empty");
        OGR_F_SetFieldNull(row, index);
      }
    } else {
      SetText(feature, field, index, text, row);
    }
  }
}

bool OgrRows::SetGeometry(const Feature& feature, OGRGeometryH geometry) {
  const std::size_t count = feature.vertex_count;
  if (count == 0) return false;
  if (feature.layer.geometry == LayerGeometry::kPoint) {
    OGR_G_SetPoint_2D(geometry, 0, feature.x[0], feature.y[0]);
  } else {
    OGR_G_SetPoints(geometry, static_cast<int>(count), feature.x, sizeof(double), feature.y,
                    sizeof(double), nullptr, 0);
  }
  return true;
}

}  // namespace quellmark
