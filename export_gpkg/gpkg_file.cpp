#include "export_gpkg/gpkg_file.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <ogr_srs_api.h>
#include <ogrsf_frmts.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "convert/gdal_errors.h"
#include "convert/qgis_style.h"
#include "convert/staged_sheet.h"
#include "sal/errors.h"
#include "sal/tokenizer.h"

namespace quellmark {

namespace {

// Where the GeoPackage tables depart from the catalogue: every field of
// every layer with its value whole, so no width; heights are numbers.
constexpr FieldChange kChanges[] = {
    {"*", "*", FieldChange::kWidth, 0},
    {"KJ MH", "hk", FieldChange::kReal},
};

constexpr GeometryRules kRules{
    .point_item = GeometryRules::PointItem::kLast, .keep_unplaced = false, .bounds = {}};

// Only the GeoPackage driver: registering every driver would load GDAL's
// plugins.
void RegisterDriverOnce() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterOGRGeoPackage(); });
}

// The file's path without ".gpkg", for the hidden names beside it.
std::string Stem(const std::string& path) {
  constexpr std::string_view kExtension = ".gpkg";
  if (path.size() > kExtension.size() &&
      path.compare(path.size() - kExtension.size(), kExtension.size(), kExtension) == 0) {
    return path.substr(0, path.size() - kExtension.size());
  }
  return path;
}

}  // namespace

std::span<const FieldSpec> GpkgFields(const LayerSpec& layer) {
  static const AdaptedSchemas schemas{kChanges};
  return schemas.Fields(layer);
}

const GeometryRules& GpkgGeometryRules() { return kRules; }

int GpkgEpsg(const DatumRule& datum) {
  const int epsg = DatumEpsg(datum.Declared());
  return epsg != 0 ? epsg : DatumEpsg(DatumLabel::kJgd2000);
}

GpkgFile::GpkgFile(std::string path, int epsg, const std::atomic<bool>* stop)
    : final_(std::move(path)),
      staging_(StagedSheet::NewStagingName(Stem(final_)) + ".gpkg"),
      stop_(stop) {
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
    // SQLite's own page cache (2 MB) makes it read back and write again the
    // pages of every table it adds rows to once the file outgrows it; 64 MB
    // holds the working pages of a batch's tables.
    CPLSetThreadLocalConfigOption("OGR_SQLITE_CACHE", "64");
    // The file is built under a hidden name and renamed into place whole,
    // or removed: no journal is needed to undo a half-made change, and
    // the file is flushed once, before the rename, not at every commit.
    CPLSetThreadLocalConfigOption("OGR_SQLITE_JOURNAL", "OFF");
    CPLSetThreadLocalConfigOption("OGR_SQLITE_SYNCHRONOUS", "OFF");
    dataset_ = GDALCreate(driver, staging_.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    CPLSetThreadLocalConfigOption("OGR_SQLITE_CACHE", nullptr);
    CPLSetThreadLocalConfigOption("OGR_SQLITE_JOURNAL", nullptr);
    CPLSetThreadLocalConfigOption("OGR_SQLITE_SYNCHRONOUS", nullptr);
    if (dataset_ == nullptr) Fail("cannot create");
    CreateStylesTable();
  } catch (...) {
    Discard();
    throw;
  }
}

GpkgFile::~GpkgFile() {
  if (!committed_) Discard();
}

void GpkgFile::Discard() {
  if (dataset_ != nullptr) {
    QuietGdalErrors quiet;
    GDALClose(dataset_);
    dataset_ = nullptr;
  }
  if (srs_ != nullptr) OSRRelease(srs_);
  srs_ = nullptr;
  indexes_.clear();
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::remove((staging_ + suffix).c_str());
  }
}

void GpkgFile::Fail(const std::string& what) const {
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
void GpkgFile::CreateStylesTable() {
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

OGRLayerH GpkgFile::CreateTable(const LayerSpec& layer, std::span<const FieldSpec> fields,
                                bool sheet_column) {
  QuietGdalErrors quiet;
  const std::string name(layer.code);
  CPLStringList options;
  // The index is built in bulk once the rows are in (BuildIndexes).
  options.SetNameValue("SPATIAL_INDEX", "NO");
  OGRLayerH table = GDALDatasetCreateLayer(dataset_, name.c_str(), srs_,
                                           GpkgRows::GeometryType(layer), options.List());
  if (table == nullptr) Fail("cannot create the table " + name);
  const auto add = [&](const std::string& field_name, OGRFieldType type) {
    OGRFieldDefnH definition = OGR_Fld_Create(field_name.c_str(), type);
    const OGRErr result = OGR_L_CreateField(table, definition, TRUE);
    OGR_Fld_Destroy(definition);
    if (result != OGRERR_NONE) Fail("cannot add the field " + field_name + " to " + name);
  };
  if (sheet_column) add("sheet", OFTString);
  for (const FieldSpec& field : fields) {
    add(std::string(field.name), field.type == FieldType::kInteger ? OFTInteger
                                 : field.type == FieldType::kReal  ? OFTReal
                                                                   : OFTString);
  }
  indexes_.push_back({table, std::make_unique<RtreeBuilder>(name, OGR_L_GetGeometryColumn(table),
                                                            staging_ + "-" + name)});
  return table;
}

void GpkgFile::AddIndexRun(OGRLayerH table, const std::vector<RtreeBox>& boxes) {
  for (Index& index : indexes_) {
    if (index.table == table) {
      index.builder->AddRun(boxes, final_);
      return;
    }
  }
  throw std::logic_error("no spatial index for the table");
}

void GpkgFile::CheckStop() const {
  if (stop_ != nullptr && stop_->load()) throw Interrupted(final_, 0, "interrupted");
}

void GpkgFile::WriteStyle(const LayerSpec& layer, std::span<const FieldSpec> fields,
                          OGRLayerH table) {
  QuietGdalErrors quiet;
  const std::string name(layer.code);
  const std::string qml = QgisStyle(layer, fields);
  OGRFeatureH row = OGR_F_Create(OGR_L_GetLayerDefn(styles_));
  const auto set = [row](const char* column, const char* value) {
    OGR_F_SetFieldString(row, OGR_F_GetFieldIndex(row, column), value);
  };
  set("f_table_catalog", "");
  set("f_table_schema", "");
  set("f_table_name", name.c_str());
  set("f_geometry_column", OGR_L_GetGeometryColumn(table));
  set("styleName", name.c_str());
  set("styleQML", qml.c_str());
  set("styleSLD", "");
  set("description", "");
  set("owner", "");
  OGR_F_SetFieldInteger(row, OGR_F_GetFieldIndex(row, "useAsDefault"), 1);
  const OGRErr result = OGR_L_CreateFeature(styles_, row);
  OGR_F_Destroy(row);
  if (result != OGRERR_NONE) Fail("cannot write the style of the table " + name);
}

void GpkgFile::StartTransaction(const std::string& what) {
  QuietGdalErrors quiet;
  if (GDALDatasetStartTransaction(dataset_, FALSE) != OGRERR_NONE) Fail("cannot start " + what);
}

void GpkgFile::CommitTransaction(const std::string& what) {
  QuietGdalErrors quiet;
  if (GDALDatasetCommitTransaction(dataset_) != OGRERR_NONE) Fail("cannot complete " + what);
}

void GpkgFile::RollbackTransaction() {
  QuietGdalErrors quiet;
  GDALDatasetRollbackTransaction(dataset_);
}

void GpkgFile::Commit() {
  CheckStop();
  {
    QuietGdalErrors quiet;
    GDALClose(dataset_);
    dataset_ = nullptr;
    if (CPLGetLastErrorType() >= CE_Failure) Fail("cannot complete");
  }
  BuildIndexes();
  CheckStop();
  // rename replaces a file, or a link, standing at the name.
  if (std::rename(staging_.c_str(), final_.c_str()) != 0) {
    throw OutputError(final_, 0, "cannot put the GeoPackage in place: " + SystemMessage(errno));
  }
  committed_ = true;
  OSRRelease(srs_);
  srs_ = nullptr;
}

namespace {

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

// Asks SQLite to end its work as soon as the run is asked to stop.
extern "C" int StopRequested(void* stop) {
  return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

}  // namespace

// Every table's spatial index, on a connection of our own to the closed
// file, in one transaction.
void GpkgFile::BuildIndexes() {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(staging_.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, DatabaseCloser> db(raw);
  const auto fail = [&](const std::string& what) {
    std::string message = what + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : "out of memory");
    ReplaceAll(message, staging_, final_);
    throw OutputError(final_, 0, message);
  };
  if (opened != SQLITE_OK) fail("cannot open the file to index it");
  if (stop_ != nullptr) {
    sqlite3_progress_handler(raw, 10000, StopRequested, const_cast<std::atomic<bool>*>(stop_));
  }
  // As for the rows: no journal, no flush until the file is complete.
  for (const char* pragma : {"PRAGMA journal_mode = OFF", "PRAGMA synchronous = OFF",
                             "PRAGMA cache_size = -65536", "BEGIN"}) {
    if (sqlite3_exec(raw, pragma, nullptr, nullptr, nullptr) != SQLITE_OK) {
      CheckStop();
      fail("cannot index the file");
    }
  }
  EnsureExtensionsTable(raw, final_);
  for (const Index& index : indexes_) index.builder->Write(raw, final_, stop_);
  if (sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    CheckStop();
    fail("cannot complete the spatial indexes");
  }
  if (sqlite3_close(db.release()) != SQLITE_OK) {
    throw OutputError(final_, 0, "cannot complete the spatial indexes");
  }
  indexes_.clear();
}

GpkgRows::GpkgRows(const LayerSpec& layer, Cp932ToUtf8& utf8, int first_field)
    : fields_(GpkgFields(layer)), utf8_(utf8), first_field_(first_field) {}

RtreeBox GpkgRows::Box(const Feature& feature, std::int64_t id) {
  RtreeBox box{id, feature.x[0], feature.x[0], feature.y[0], feature.y[0]};
  for (std::size_t i = 1; i < feature.vertex_count; ++i) {
    box.minx = std::min(box.minx, feature.x[i]);
    box.maxx = std::max(box.maxx, feature.x[i]);
    box.miny = std::min(box.miny, feature.y[i]);
    box.maxy = std::max(box.maxy, feature.y[i]);
  }
  return box;
}

OGRwkbGeometryType GpkgRows::GeometryType(const LayerSpec& layer) {
  return layer.geometry == LayerGeometry::kPoint ? wkbPoint : wkbLineString;
}

void GpkgRows::SetText(const Feature& feature, const FieldSpec& field, int index,
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

void GpkgRows::SetFields(const Feature& feature, OGRFeatureH row) {
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

bool GpkgRows::SetGeometry(const Feature& feature, OGRGeometryH geometry) {
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
