#include "export_gpkg/gpkg_format.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <ogrsf_frmts.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "convert/datum.h"
#include "convert/gdal_errors.h"
#include "convert/qgis_style.h"
#include "convert/sheet.h"
#include "convert/staged_sheet.h"
#include "sal/cp932.h"
#include "sal/errors.h"
#include "sal/notify.h"
#include "sal/tokenizer.h"

namespace quellmark {

namespace {

// Where the GeoPackage tables depart from the catalogue: every field of
// every layer (the union of what the shapefile and TAB tables hold) with
// its value whole, so no width; heights are numbers.
constexpr FieldChange kChanges[] = {
    {"*", "*", FieldChange::kWidth, 0},
    {"KJ MH", "hk", FieldChange::kReal},
};

const AdaptedSchemas& Schemas() {
  static const AdaptedSchemas schemas{kChanges};
  return schemas;
}

// Every feature has the position its own line gives, or none: a point
// stands at the last number of its list and the list is used up, as in the
// shapefiles (in TAB tables the rest of a list places the next lines that
// have none); a number without a position is left out, so no vertex stands
// at a made-up 0,0, and a feature left without any has no geometry. The
// file stores any position exactly: no bounds.
constexpr GeometryRules kRules{
    .point_item = GeometryRules::PointItem::kLast, .keep_unplaced = false, .bounds = {}};

// Only the GeoPackage driver: registering every driver would load GDAL's
// plugins.
void RegisterDriverOnce() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterOGRGeoPackage(); });
}

// The file is written under a hidden name and renamed into place at
// Commit(), so a run that fails leaves the earlier file as it was.
class GpkgSheet : public SheetOutput {
 public:
  // `epsg`: the geographic coordinate system the tables declare.
  GpkgSheet(const std::string& output_prefix, int epsg);
  // Without Commit(), removes the hidden file and its journal.
  ~GpkgSheet() override;
  GpkgSheet(const GpkgSheet&) = delete;
  GpkgSheet& operator=(const GpkgSheet&) = delete;

  std::unique_ptr<TableOutput> CreateTable(const LayerSpec& layer) override;
  void Commit() override;

  // Throws OutputError naming the file: `what` and GDAL's last message.
  [[noreturn]] void Fail(const std::string& what) const;

  GDALDatasetH dataset() const { return dataset_; }
  OGRSpatialReferenceH jgd2000() const { return srs_; }
  OGRLayerH styles() const { return styles_; }
  Cp932ToUtf8& utf8() { return utf8_; }

 private:
  void CreateStylesTable();
  void Discard();

  std::string final_;    // output prefix + ".gpkg"
  std::string staging_;  // the hidden name it is built under
  GDALDatasetH dataset_ = nullptr;
  OGRSpatialReferenceH srs_ = nullptr;
  OGRLayerH styles_ = nullptr;
  Cp932ToUtf8 utf8_;
  bool committed_ = false;
};

GpkgSheet::GpkgSheet(const std::string& output_prefix, int epsg)
    : final_(output_prefix + ".gpkg"),
      staging_(StagedSheet::NewStagingName(output_prefix) + ".gpkg") {
  RegisterDriverOnce();
  try {
    QuietGdalErrors quiet;
    GDALDriverH driver = GDALGetDriverByName("GPKG");
    if (driver == nullptr) throw OutputError(final_, 0, "GDAL has no GeoPackage driver");
    srs_ = OSRNewSpatialReference(nullptr);
    if (OSRImportFromEPSG(srs_, epsg) != OGRERR_NONE) {
      Fail("cannot find EPSG:" + std::to_string(epsg));
    }
    // Longitude as x, latitude as y, as the map's points are given.
    OSRSetAxisMappingStrategy(srs_, OAMS_TRADITIONAL_GIS_ORDER);
    dataset_ = GDALCreate(driver, staging_.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (dataset_ == nullptr) Fail("cannot create");
    CreateStylesTable();
  } catch (...) {
    Discard();
    throw;
  }
}

GpkgSheet::~GpkgSheet() {
  if (!committed_) Discard();
}

void GpkgSheet::Discard() {
  if (dataset_ != nullptr) {
    QuietGdalErrors quiet;
    GDALClose(dataset_);
    dataset_ = nullptr;
  }
  if (srs_ != nullptr) OSRRelease(srs_);
  srs_ = nullptr;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::remove((staging_ + suffix).c_str());
  }
}

void GpkgSheet::Fail(const std::string& what) const {
  std::string message = what;
  const char* detail = CPLGetLastErrorMsg();
  if (detail != nullptr && *detail != '\0') {
    message += ": ";
    message += detail;
  }
  ReplaceAll(message, staging_, final_);
  throw OutputError(final_, 0, message);
}

// The table QGIS keeps its styles in, as QGIS creates it.
void GpkgSheet::CreateStylesTable() {
  CPLStringList options;
  options.SetNameValue("FID", "id");
  styles_ = GDALDatasetCreateLayer(dataset_, "layer_styles", nullptr, wkbNone, options.List());
  if (styles_ == nullptr) Fail("cannot create the layer_styles table");
  struct Column {
    const char* name;
    OGRFieldType type;
    int width;
  };
  constexpr Column kColumns[] = {
      {"f_table_catalog", OFTString, 256},
      {"f_table_schema", OFTString, 256},
      {"f_table_name", OFTString, 256},
      {"f_geometry_column", OFTString, 256},
      {"styleName", OFTString, 30},
      {"styleQML", OFTString, 0},
      {"styleSLD", OFTString, 0},
      {"useAsDefault", OFTInteger, 0},
      {"description", OFTString, 0},
      {"owner", OFTString, 30},
      {"ui", OFTString, 30},
      {"update_time", OFTDateTime, 0},
  };
  for (const Column& column : kColumns) {
    OGRFieldDefnH field = OGR_Fld_Create(column.name, column.type);
    OGR_Fld_SetWidth(field, column.width);
    if (column.type == OFTInteger) OGR_Fld_SetSubType(field, OFSTBoolean);
    if (column.type == OFTDateTime) OGR_Fld_SetDefault(field, "CURRENT_TIMESTAMP");
    const OGRErr result = OGR_L_CreateField(styles_, field, TRUE);
    OGR_Fld_Destroy(field);
    if (result != OGRERR_NONE) Fail(std::string("cannot add the column ") + column.name);
  }
}

// One layer's table, its rows written in one transaction; its style goes
// into layer_styles in the same transaction, as the default of the table.
class GpkgTable : public TableOutput {
 public:
  GpkgTable(GpkgSheet& sheet, const LayerSpec& layer);
  ~GpkgTable() override;
  GpkgTable(const GpkgTable&) = delete;
  GpkgTable& operator=(const GpkgTable&) = delete;

  void Write(const Feature& feature) override;
  void Close() override;

 private:
  // Sets the field to the text as UTF-8; a text that is not all CP932 is
  // reported.
  void SetText(const Feature& feature, const FieldSpec& field, int index, std::string_view text);
  void WriteStyle();

  struct FeatureDeleter {
    void operator()(void* feature) const { OGR_F_Destroy(static_cast<OGRFeatureH>(feature)); }
  };
  struct GeometryDeleter {
    void operator()(void* geometry) const {
      OGR_G_DestroyGeometry(static_cast<OGRGeometryH>(geometry));
    }
  };

  GpkgSheet& sheet_;
  const LayerSpec& layer_spec_;
  std::span<const FieldSpec> fields_;
  OGRLayerH layer_ = nullptr;
  std::unique_ptr<void, FeatureDeleter> feature_;
  std::unique_ptr<void, GeometryDeleter> geometry_;  // reused from row to row
  bool in_transaction_ = false;
  std::string utf8_;
  // A feature name carries over from line to line: it is converted, and
  // reported, once.
  std::string name_cp932_;
  std::string name_utf8_;
  bool name_known_ = false;
};

GpkgTable::GpkgTable(GpkgSheet& sheet, const LayerSpec& layer)
    : sheet_(sheet), layer_spec_(layer), fields_(Schemas().Fields(layer)) {
  QuietGdalErrors quiet;
  const std::string name(layer.code);
  const bool point = layer.geometry == LayerGeometry::kPoint;
  CPLStringList options;
  // The driver builds the index once the rows are in.
  options.SetNameValue("SPATIAL_INDEX", "YES");
  layer_ = GDALDatasetCreateLayer(sheet_.dataset(), name.c_str(), sheet_.jgd2000(),
                                  point ? wkbPoint : wkbLineString, options.List());
  if (layer_ == nullptr) sheet_.Fail("cannot create the table " + name);
  for (const FieldSpec& field : fields_) {
    const OGRFieldType type = field.type == FieldType::kInteger ? OFTInteger
                              : field.type == FieldType::kReal  ? OFTReal
                                                                : OFTString;
    const std::string field_name(field.name);
    OGRFieldDefnH definition = OGR_Fld_Create(field_name.c_str(), type);
    const OGRErr result = OGR_L_CreateField(layer_, definition, TRUE);
    OGR_Fld_Destroy(definition);
    if (result != OGRERR_NONE) sheet_.Fail("cannot add the field " + field_name + " to " + name);
  }
  feature_.reset(OGR_F_Create(OGR_L_GetLayerDefn(layer_)));
  geometry_.reset(OGR_G_CreateGeometry(point ? wkbPoint : wkbLineString));
  if (GDALDatasetStartTransaction(sheet_.dataset(), FALSE) != OGRERR_NONE) {
    sheet_.Fail("cannot start writing the table " + name);
  }
  in_transaction_ = true;
}

GpkgTable::~GpkgTable() {
  if (!in_transaction_) return;
  QuietGdalErrors quiet;
  GDALDatasetRollbackTransaction(sheet_.dataset());
}

void GpkgTable::SetText(const Feature& feature, const FieldSpec& field, int index,
                        std::string_view text) {
  const std::string* utf8 = &utf8_;
  bool whole = true;
  if (field.source == ValueSource::kFeatureName) {
    utf8 = &name_utf8_;
    if (!name_known_ || text != name_cp932_) {
      name_cp932_.assign(text);
      whole = sheet_.utf8().Convert(text, name_utf8_);
      name_known_ = true;
    }
  } else {
    whole = sheet_.utf8().Convert(text, utf8_);
  }
  if (!whole) {
    feature.reporter().Report(
        "text that is not code page 932 in " + std::string(field.name) +
        ", kept with U+FFFD for the bytes that do not convert: " + std::string(text));
  }
  OGR_F_SetFieldString(feature_.get(), index, utf8->c_str());
}

void GpkgTable::Write(const Feature& feature) {
  QuietGdalErrors quiet;
  OGRFeatureH row = feature_.get();
  OGR_F_SetFID(row, OGRNullFID);
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const FieldSpec& field = fields_[i];
    const int index = static_cast<int>(i);
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
      SetText(feature, field, index, text);
    }
  }

  const std::size_t count = feature.vertex_count;
  OGRGeometryH geometry = count > 0 ? geometry_.get() : nullptr;
  if (geometry != nullptr && layer_spec_.geometry == LayerGeometry::kPoint) {
    OGR_G_SetPoint_2D(geometry, 0, feature.x[0], feature.y[0]);
  } else if (geometry != nullptr) {
    OGR_G_SetPoints(geometry, static_cast<int>(count), feature.x, sizeof(double), feature.y,
                    sizeof(double), nullptr, 0);
  }
  // The geometry is lent to the row while it is written, and taken back.
  OGR_F_SetGeometryDirectly(row, geometry);
  const OGRErr result = OGR_L_CreateFeature(layer_, row);
  if (geometry != nullptr) {
    geometry_.release();
    geometry_.reset(OGR_F_StealGeometry(row));
  }
  if (result != OGRERR_NONE) {
    sheet_.Fail("cannot write row " + std::to_string(feature.index + 1) + " of the table " +
                std::string(layer_spec_.code));
  }
}

void GpkgTable::WriteStyle() {
  const std::string name(layer_spec_.code);
  const std::string qml = QgisStyle(layer_spec_, fields_);
  OGRLayerH styles = sheet_.styles();
  OGRFeatureH row = OGR_F_Create(OGR_L_GetLayerDefn(styles));
  const auto set = [row](const char* column, const char* value) {
    OGR_F_SetFieldString(row, OGR_F_GetFieldIndex(row, column), value);
  };
  set("f_table_catalog", "");
  set("f_table_schema", "");
  set("f_table_name", name.c_str());
  set("f_geometry_column", OGR_L_GetGeometryColumn(layer_));
  set("styleName", name.c_str());
  set("styleQML", qml.c_str());
  set("styleSLD", "");
  set("description", "");
  set("owner", "");
  OGR_F_SetFieldInteger(row, OGR_F_GetFieldIndex(row, "useAsDefault"), 1);
  const OGRErr result = OGR_L_CreateFeature(styles, row);
  OGR_F_Destroy(row);
  if (result != OGRERR_NONE) sheet_.Fail("cannot write the style of the table " + name);
}

void GpkgTable::Close() {
  QuietGdalErrors quiet;
  WriteStyle();
  in_transaction_ = false;
  if (GDALDatasetCommitTransaction(sheet_.dataset()) != OGRERR_NONE) {
    sheet_.Fail("cannot complete the table " + std::string(layer_spec_.code));
  }
}

std::unique_ptr<TableOutput> GpkgSheet::CreateTable(const LayerSpec& layer) {
  return std::make_unique<GpkgTable>(*this, layer);
}

void GpkgSheet::Commit() {
  {
    QuietGdalErrors quiet;
    // Closing builds the spatial indexes and writes the tables' extents.
    GDALClose(dataset_);
    dataset_ = nullptr;
    if (CPLGetLastErrorType() >= CE_Failure) Fail("cannot complete");
  }
  // rename replaces a file, or a link, standing at the name.
  if (std::rename(staging_.c_str(), final_.c_str()) != 0) {
    throw OutputError(final_, 0, "cannot put the GeoPackage in place: " + SystemMessage(errno));
  }
  committed_ = true;
  OSRRelease(srs_);
  srs_ = nullptr;
}

class GeoPackages : public OutputFormat {
 public:
  // SQLite's memory statistics off: kept, they put one process-wide mutex
  // around every allocation SQLite makes, and sheets converted side by side
  // (--jobs) queue on it; nothing here reads them. SQLite takes this only
  // before it starts and while no other thread uses it: the format is made
  // when the program reads its list of formats, with one thread, before
  // PROJ opens its database. Made later, it changes nothing.
  GeoPackages() { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); }

  std::string_view id() const override { return "gpkg"; }
  std::string_view label() const override { return "GeoPackage"; }
  const GeometryRules& geometry_rules() const override { return kRules; }
  // The tables declare the datum chosen, JGD2000 unless Tokyo is.
  std::unique_ptr<SheetOutput> OpenSheet(const std::string& output_prefix,
                                         ExportContext& context) const override {
    const int epsg = DatumEpsg(context.datum.Declared());
    return std::make_unique<GpkgSheet>(output_prefix,
                                       epsg != 0 ? epsg : DatumEpsg(DatumLabel::kJgd2000));
  }
};

}  // namespace

const OutputFormat& GpkgFormat() {
  static const GeoPackages format;
  return format;
}

}  // namespace quellmark
