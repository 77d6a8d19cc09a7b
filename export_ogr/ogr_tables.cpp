#include "export_ogr/ogr_tables.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <ogr_feature.h>
#include <ogr_srs_api.h>

#include <string>

#include "convert/gdal_errors.h"
#include "convert/staged_sheet.h"
#include "export_ogr/ogr_rows.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

// One layer's table: a file of its own, written by the driver.
class OgrTable : public TableOutput {
 public:
  OgrTable(const OgrFormatSpec& spec, const std::string& path, const LayerSpec& layer,
           std::span<const FieldSpec> fields, int epsg)
      : path_(path), rows_(fields, utf8_, 0) {
    QuietGdalErrors quiet;
    dataset_ = GDALCreate(OgrDriver(spec.driver), path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (dataset_ == nullptr) Fail("cannot create");
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    if (OSRImportFromEPSG(srs, epsg) != OGRERR_NONE) {
      OSRRelease(srs);
      Fail("cannot find EPSG:" + std::to_string(epsg));
    }
    CPLStringList options;
    for (const char* option : spec.layer_options) options.AddString(option);
    const std::string name(layer.code);
    table_ = GDALDatasetCreateLayer(dataset_, name.c_str(), srs, OgrRows::GeometryType(layer),
                                    options.List());
    OSRRelease(srs);
    if (table_ == nullptr) Fail("cannot create the table " + name);
    OGRFeatureDefnH layout = OGRFeatureDefn::ToHandle(OgrRows::Layout(layer, fields, false));
    for (int i = 0; i < OGR_FD_GetFieldCount(layout); ++i) {
      if (OGR_L_CreateField(table_, OGR_FD_GetFieldDefn(layout, i), TRUE) != OGRERR_NONE) {
        OGR_FD_Release(layout);
        Fail("cannot create the field " + std::string(fields[i].name));
      }
    }
    OGR_FD_Release(layout);
    row_ = OGR_F_Create(OGR_L_GetLayerDefn(table_));
    geometry_type_ = OgrRows::GeometryType(layer);
  }
  ~OgrTable() override {
    if (row_ != nullptr) OGR_F_Destroy(row_);
    if (dataset_ != nullptr) GDALClose(dataset_);
  }
  OgrTable(const OgrTable&) = delete;
  OgrTable& operator=(const OgrTable&) = delete;

  void Write(const Feature& feature) override {
    QuietGdalErrors quiet;
    OGR_F_SetFID(row_, OGRNullFID);
    OGRGeometryH geometry = OGR_G_CreateGeometry(geometry_type_);
    if (OgrRows::SetGeometry(feature, geometry)) {
      OGR_F_SetGeometryDirectly(row_, geometry);
    } else {
      OGR_G_DestroyGeometry(geometry);
      OGR_F_SetGeometryDirectly(row_, nullptr);
    }
    rows_.SetFields(feature, row_);
    if (OGR_L_CreateFeature(table_, row_) != OGRERR_NONE) {
      Fail("cannot write line " + std::to_string(feature.index + 1));
    }
  }

  // The driver completes the file as it closes it: a failure then is the
  // table's.
  void Close() override {
    QuietGdalErrors quiet;
    OGR_F_Destroy(row_);
    row_ = nullptr;
    GDALDatasetH dataset = dataset_;
    dataset_ = nullptr;
    CPLErrorReset();
    GDALClose(dataset);
    if (CPLGetLastErrorType() >= CE_Failure) {
      Fail("cannot complete");
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    const char* detail = CPLGetLastErrorMsg();
    throw OutputError(path_, 0, detail != nullptr && *detail != '\0' ? what + ": " + detail : what);
  }

  std::string path_;
  Cp932ToUtf8 utf8_;
  OgrRows rows_;
  GDALDatasetH dataset_ = nullptr;
  OGRLayerH table_ = nullptr;
  OGRFeatureH row_ = nullptr;
  OGRwkbGeometryType geometry_type_ = wkbUnknown;
};

class OgrSheet : public StagedSheet {
 public:
  OgrSheet(const OgrFormatSpec& spec, const SheetTarget& target, const AdaptedSchemas& schemas,
           int epsg)
      : StagedSheet(target, std::span(&spec.extension, 1)),
        spec_(spec),
        schemas_(schemas),
        epsg_(epsg) {}

 private:
  std::unique_ptr<TableOutput> CreateStagedTable(const LayerSpec& layer,
                                                 const std::string& base) override {
    return std::make_unique<OgrTable>(spec_, base + std::string(spec_.extension), layer,
                                      schemas_.Fields(layer), epsg_);
  }

  const OgrFormatSpec& spec_;
  const AdaptedSchemas& schemas_;
  int epsg_;
};

class OgrFormat : public OutputFormat {
 public:
  explicit OgrFormat(const OgrFormatSpec& spec)
      : spec_(spec), schemas_(spec.changes.empty() ? WholeValueChanges() : spec.changes) {}

  std::string_view id() const override { return spec_.id; }
  std::string_view label() const override { return spec_.label; }
  std::string_view label_ja() const override { return spec_.label_ja; }
  const GeometryRules& geometry_rules() const override { return WholeValueGeometryRules(); }
  std::span<const std::string_view> table_extensions() const override {
    return std::span(&spec_.extension, 1);
  }
  std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget& target) const override {
    return std::make_unique<OgrSheet>(spec_, target, schemas_, DeclaredEpsg(target.datum));
  }

 private:
  const OgrFormatSpec& spec_;
  AdaptedSchemas schemas_;
};

}  // namespace

std::unique_ptr<OutputFormat> MakeOgrFormat(const OgrFormatSpec& spec) {
  return std::make_unique<OgrFormat>(spec);
}

}  // namespace quellmark
