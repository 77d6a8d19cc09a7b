#include "export_gpkg/gpkg_file.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <ogr_srs_api.h>
#include <ogrsf_frmts.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "convert/durable.h"
#include "convert/gdal_errors.h"
#include "convert/qgis_style.h"
#include "convert/staged_sheet.h"
#include "export_gpkg/qgis_project.h"
#include "export_ogr/ogr_rows.h"
#include "layers/map_styles.h"
#include "sal/errors.h"
#include "sal/tokenizer.h"

namespace quellmark {

namespace {

// The row of the file's metadata that says Quellmark wrote it.
constexpr const char* kMarker = "QUELLMARK";
constexpr const char* kMarkerValue = "tables of the 1:25,000 base map, rows marked by sheet";

// The file's path without ".gpkg" (in any letter case, as the batch takes
// it off for the hidden names it makes beside the file), for the hidden
// names beside it.
std::string Stem(const std::string& path) {
  constexpr std::string_view kExtension = ".gpkg";
  if (HasExtension(path, kExtension)) return path.substr(0, path.size() - kExtension.size());
  return path;
}

}  // namespace

std::span<const FieldSpec> GpkgFields(const LayerSpec& layer) {
  static const AdaptedSchemas schemas{WholeValueChanges()};
  return schemas.Fields(layer);
}

GpkgOwner FindGpkgOwner(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return GpkgOwner::kNone;
  OgrDriver("GPKG");
  QuietGdalErrors quiet;
  const char* const drivers[] = {"GPKG", nullptr};
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers, nullptr, nullptr);
  if (dataset == nullptr) return GpkgOwner::kOther;
  bool ours = GDALGetMetadataItem(dataset, kMarker, nullptr) != nullptr;
  if (!ours) {
    // A collection written before the file said so: every layer's table,
    // each beginning with the sheet, and their styles.
    ours = GDALDatasetGetLayerByName(dataset, "layer_styles") != nullptr;
    for (const LayerSpec& layer : Layers()) {
      const std::string code(layer.code);
      OGRLayerH table = GDALDatasetGetLayerByName(dataset, code.c_str());
      OGRFeatureDefnH definition = table != nullptr ? OGR_L_GetLayerDefn(table) : nullptr;
      ours = ours && definition != nullptr && OGR_FD_GetFieldCount(definition) > 0 &&
             std::string_view(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(definition, 0))) == "sheet";
    }
  }
  GDALClose(dataset);
  return ours ? GpkgOwner::kQuellmark : GpkgOwner::kOther;
}

GpkgFile::GpkgFile(std::string path, int epsg, const std::atomic<bool>* stop, bool append,
                   const LayerSelection& layers)
    : final_(std::move(path)),
      staging_(StagedSheet::NewStagingName(Stem(final_)) + ".gpkg"),
      stop_(stop),
      append_(append && FindGpkgOwner(final_) != GpkgOwner::kNone),
      epsg_(epsg),
      layers_(layers) {
  try {
    // The file's own name is never cut; its hidden names are (StagingPrefix).
    CheckFileNameFits(final_);
    QuietGdalErrors quiet;
    GDALDriverH driver = OgrDriver("GPKG");
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
    // Pages of 16 KB: fewer pages to find and split as the tables grow
    // (about 4 % of a sheet's time). Nothing else opens the hidden file while
    // it is built, so the lock is taken once, not at every transaction.
    CPLSetThreadLocalConfigOption("OGR_SQLITE_PRAGMA", "page_size=16384,locking_mode=EXCLUSIVE");
    if (append_) {
      CopyEarlierFile();
      DropEarlierIndexes();
      const char* const drivers[] = {"GPKG", nullptr};
      dataset_ =
          GDALOpenEx(staging_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers, nullptr, nullptr);
    } else {
      dataset_ = GDALCreate(driver, staging_.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    }
    CPLSetThreadLocalConfigOption("OGR_SQLITE_CACHE", nullptr);
    CPLSetThreadLocalConfigOption("OGR_SQLITE_JOURNAL", nullptr);
    CPLSetThreadLocalConfigOption("OGR_SQLITE_SYNCHRONOUS", nullptr);
    CPLSetThreadLocalConfigOption("OGR_SQLITE_PRAGMA", nullptr);
    if (dataset_ == nullptr) Fail(append_ ? "cannot open" : "cannot create");
    styles_ = append_ ? GDALDatasetGetLayerByName(dataset_, "layer_styles") : nullptr;
    if (styles_ == nullptr) CreateStylesTable();
    // What tells this file from others: a row of the file's metadata.
    if (GDALSetMetadataItem(dataset_, kMarker, kMarkerValue, nullptr) != CE_None) {
      Fail("cannot mark the file as Quellmark's");
    }
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
  if (append_) {
    if (OGRLayerH table = GDALDatasetGetLayerByName(dataset_, name.c_str())) {
      return TakeEarlierTable(table, name, fields, sheet_column);
    }
  }
  CPLStringList options;
  // The index is built in bulk once the rows are in (BuildIndexes).
  options.SetNameValue("SPATIAL_INDEX", "NO");
  options.SetNameValue("GEOMETRY_NAME", kGpkgGeometryColumn);
  OGRLayerH table = GDALDatasetCreateLayer(dataset_, name.c_str(), srs_,
                                           OgrRows::GeometryType(layer), options.List());
  if (table == nullptr) Fail("cannot create the table " + name);
  OGRFeatureDefn* layout = OgrRows::Layout(layer, fields, sheet_column, kGpkgGeometryColumn);
  for (int i = 0; i < layout->GetFieldCount(); ++i) {
    OGRFieldDefn* field = layout->GetFieldDefn(i);
    if (OGR_L_CreateField(table, OGRFieldDefn::ToHandle(field), TRUE) != OGRERR_NONE) {
      layout->Release();
      Fail(std::string("cannot add the field ") + field->GetNameRef() + " to " + name);
    }
  }
  layout->Release();
  indexes_.push_back({table, name,
                      std::make_unique<RtreeBuilder>(name, OGR_L_GetGeometryColumn(table),
                                                     staging_ + "-" + name)});
  return table;
}

OGRLayerH GpkgFile::TakeEarlierTable(OGRLayerH table, const std::string& name,
                                     std::span<const FieldSpec> fields, bool sheet_column) {
  OGRFeatureDefnH definition = OGR_L_GetLayerDefn(table);
  std::vector<std::string> expected;
  if (sheet_column) expected.emplace_back("sheet");
  for (const FieldSpec& field : fields) expected.emplace_back(field.name);
  bool same = OGR_FD_GetFieldCount(definition) == static_cast<int>(expected.size());
  for (std::size_t i = 0; same && i < expected.size(); ++i) {
    same = expected[i] == OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(definition, static_cast<int>(i)));
  }
  if (!same) Fail("the table " + name + " does not hold the fields these sheets are written with");
  OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(table);
  const char* code = srs != nullptr ? OSRGetAuthorityCode(srs, nullptr) : nullptr;
  if (code == nullptr || std::to_string(epsg_) != code) {
    Fail("the table " + name + " is on " +
         (code != nullptr ? "EPSG:" + std::string(code) : std::string("another system")) +
         "; these sheets are declared EPSG:" + std::to_string(epsg_));
  }
  Index index{
      table, name,
      std::make_unique<RtreeBuilder>(name, OGR_L_GetGeometryColumn(table), staging_ + "-" + name),
      true, 0};
  const std::string sql = "SELECT MAX(fid) FROM \"" + name + "\"";
  if (OGRLayerH result = GDALDatasetExecuteSQL(dataset_, sql.c_str(), nullptr, nullptr)) {
    if (OGRFeatureH last = OGR_L_GetNextFeature(result)) {
      index.earlier_last_fid = OGR_F_GetFieldAsInteger64(last, 0);
      OGR_F_Destroy(last);
    }
    GDALDatasetReleaseResultSet(dataset_, result);
  }
  indexes_.push_back(std::move(index));
  return table;
}

void GpkgFile::RemoveEarlierRows(const std::string& sheet_utf8) {
  QuietGdalErrors quiet;
  std::string literal = "'";
  for (const char c : sheet_utf8) {
    literal += c;
    if (c == '\'') literal += c;
  }
  literal += "'";
  for (const Index& index : indexes_) {
    if (!index.earlier) continue;
    const std::string sql = "DELETE FROM \"" + index.name + "\" WHERE sheet = " + literal +
                            " AND fid <= " + std::to_string(index.earlier_last_fid);
    CPLErrorReset();
    GDALDatasetReleaseResultSet(dataset_,
                                GDALDatasetExecuteSQL(dataset_, sql.c_str(), nullptr, nullptr));
    if (CPLGetLastErrorType() >= CE_Failure) Fail("cannot replace the rows of " + sheet_utf8);
  }
}

void GpkgFile::DropEarlierTables() {
  QuietGdalErrors quiet;
  for (int i = GDALDatasetGetLayerCount(dataset_) - 1; i >= 0; --i) {
    const char* name = OGR_L_GetName(GDALDatasetGetLayer(dataset_, i));
    const LayerSpec* layer = FindLayer(name);
    if (layer == nullptr || !layers_.Has(*layer)) continue;
    const std::string code(layer->code);
    if (GDALDatasetDeleteLayer(dataset_, i) != OGRERR_NONE) {
      Fail("cannot replace the table " + code);
    }
  }
}

void GpkgFile::AddIndexRun(OGRLayerH table, const std::vector<RtreeBox>& boxes) {
  for (Index& index : indexes_) {
    if (index.table == table) {
      // A table taken from the earlier file is indexed from all its rows.
      if (!index.earlier) index.builder->AddRun(boxes, final_);
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
  if (append_) {
    const std::string filter = "f_table_name = '" + name + "' AND useAsDefault = 1";
    OGR_L_SetAttributeFilter(styles_, filter.c_str());
    const GIntBig earlier = OGR_L_GetFeatureCount(styles_, TRUE);
    OGR_L_SetAttributeFilter(styles_, nullptr);
    if (earlier > 0) return;
  }
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
  // The rows start going to disk while the indexes are built, so the flush
  // before the rename has less to wait for.
  StartFlush(staging_);
  BuildIndexes();
  CheckStop();
  // On disk before it takes the name, so a power cut leaves the earlier
  // file or the new one, whole.
  FlushFile(staging_, final_);
  // rename replaces a file, or a link, standing at the name.
  if (std::rename(staging_.c_str(), final_.c_str()) != 0) {
    throw OutputError(final_, 0, "cannot put the GeoPackage in place: " + SystemMessage(errno));
  }
  committed_ = true;
  OSRRelease(srs_);
  srs_ = nullptr;
  FlushFolderOf(final_);
}

// The earlier file, copied to the hidden name: shared blocks where the file
// system can (a reflink), otherwise copied by the kernel.
void GpkgFile::CopyEarlierFile() {
  const int from = ::open(final_.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) {
    throw OutputError(final_, 0, "cannot read the file to add to it: " + SystemMessage(errno));
  }
  struct stat status {};
  ::fstat(from, &status);
  const int to =
      ::open(staging_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 0777);
  if (to < 0) {
    const int error = errno;
    ::close(from);
    throw OutputError(final_, 0, "cannot make room to add to the file: " + SystemMessage(error));
  }
  int error = 0;
  if (::ioctl(to, FICLONE, from) != 0) {
    bool kernel_copy = true;
    std::vector<char> buffer;
    while (error == 0) {
      if (stop_ != nullptr && stop_->load()) break;
      ssize_t copied = -1;
      if (kernel_copy) {
        copied = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{64} << 20, 0);
        if (copied < 0 &&
            (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
          kernel_copy = false;
          buffer.resize(std::size_t{1} << 20);
          continue;
        }
      } else {
        copied = ::read(from, buffer.data(), buffer.size());
        if (copied > 0 && ::write(to, buffer.data(), static_cast<std::size_t>(copied)) != copied) {
          copied = -1;
        }
      }
      if (copied < 0) error = errno != 0 ? errno : EIO;
      if (copied == 0) break;
    }
  }
  ::close(from);
  if (::close(to) != 0 && error == 0) error = errno;
  CheckStop();
  if (error != 0) {
    throw OutputError(final_, 0, "cannot copy the file to add to it: " + SystemMessage(error));
  }
}

namespace {

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

// The error of SQLite's connection `db` to the hidden file, naming the file
// the user knows.
[[noreturn]] void SqliteFailure(sqlite3* db, const std::string& staging, const std::string& final,
                                const std::string& what) {
  std::string message = what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
  ReplaceAll(message, staging, final);
  throw OutputError(final, 0, message);
}

// A connection of our own to the hidden file, while GDAL has it closed.
Database OpenStaged(const std::string& staging, const std::string& final, const std::string& what) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(staging.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Database db(raw);
  if (opened != SQLITE_OK) SqliteFailure(raw, staging, final, what);
  return db;
}

// Asks SQLite to end its work as soon as the run is asked to stop.
extern "C" int StopRequested(void* stop) {
  return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

}  // namespace

// The spatial indexes of the earlier file's tables of layers are dropped
// before rows are added and removed, and built again from all their rows
// once they are in (BuildIndexes): no row waits on an index.
void GpkgFile::DropEarlierIndexes() {
  const std::string what = "cannot open the file to add to it";
  const Database db = OpenStaged(staging_, final_, what);
  std::string sql = "PRAGMA journal_mode = OFF; BEGIN;";
  const bool extensions = sqlite3_exec(db.get(), "SELECT 1 FROM gpkg_extensions LIMIT 0", nullptr,
                                       nullptr, nullptr) == SQLITE_OK;
  for (const LayerSpec& layer : Layers()) {
    // The other layers' tables are not written to: their indexes stay.
    if (!layers_.Has(layer)) continue;
    const std::string rtree = "rtree_" + std::string(layer.code) + "_geom";
    sql += "DROP TABLE IF EXISTS \"" + rtree + "\";";
    for (const char* trigger : {"insert", "update1", "update2", "update3", "update4", "update5",
                                "update6", "update7", "delete"}) {
      sql += "DROP TRIGGER IF EXISTS \"" + rtree + "_" + trigger + "\";";
    }
    if (extensions) {
      sql += "DELETE FROM gpkg_extensions WHERE lower(table_name) = lower('" +
             std::string(layer.code) + "') AND extension_name = 'gpkg_rtree_index';";
    }
  }
  sql += "COMMIT;";
  if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    SqliteFailure(db.get(), staging_, final_, what);
  }
}

// Every table's spatial index, on a connection of our own to the closed
// file, in one transaction.
void GpkgFile::BuildIndexes() {
  Database db = OpenStaged(staging_, final_, "cannot open the file to index it");
  sqlite3* raw = db.get();
  const auto fail = [&](const std::string& what) { SqliteFailure(raw, staging_, final_, what); };
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
  const bool counts = sqlite3_exec(raw, "SELECT 1 FROM gpkg_ogr_contents LIMIT 0", nullptr, nullptr,
                                   nullptr) == SQLITE_OK;
  for (const Index& index : indexes_) {
    if (index.earlier) {
      index.builder->AddRowsOf(raw, "sheet", final_, stop_);
      // Rows were removed: the row count GDAL keeps is made true again.
      const std::string count =
          "UPDATE gpkg_ogr_contents SET feature_count = (SELECT count(*) FROM \"" + index.name +
          "\") WHERE lower(table_name) = lower('" + index.name + "')";
      if (counts && sqlite3_exec(raw, count.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        CheckStop();
        fail("cannot count the rows of " + index.name);
      }
    }
    index.builder->Write(raw, final_, stop_);
  }
  StoreProject(raw);
  if (sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    CheckStop();
    fail("cannot complete the spatial indexes");
  }
  if (sqlite3_close(db.release()) != SQLITE_OK) {
    throw OutputError(final_, 0, "cannot complete the spatial indexes");
  }
  indexes_.clear();
}

// The QGIS project the file holds, named after the file: every table of a
// catalogue layer the file has (this run's and, appending, the earlier
// ones), drawn with its map style, in the groups and the drawing order the
// map styles give, the map opening at the tables' extent on the tables'
// coordinate system. A table of the user's own is left out.
void GpkgFile::StoreProject(sqlite3* db) {
  const std::string base = final_.substr(final_.find_last_of('/') + 1);
  ProjectRequest request;
  request.name = Stem(base);
  request.file_name = base;
  request.epsg = epsg_;
  std::set<std::string> tables;
  bool extent = false;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT table_name, min_x, min_y, max_x, max_y FROM gpkg_contents "
                         "WHERE data_type = 'features'",
                         -1, &statement, nullptr) != SQLITE_OK) {
    SqliteFailure(db, staging_, final_, "cannot list the tables for the QGIS project");
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    if (name == nullptr || FindLayer(name) == nullptr) continue;
    tables.insert(name);
    if (sqlite3_column_type(statement, 1) == SQLITE_NULL) continue;
    const double box[4] = {sqlite3_column_double(statement, 1), sqlite3_column_double(statement, 2),
                           sqlite3_column_double(statement, 3),
                           sqlite3_column_double(statement, 4)};
    request.minx = extent ? std::min(request.minx, box[0]) : box[0];
    request.miny = extent ? std::min(request.miny, box[1]) : box[1];
    request.maxx = extent ? std::max(request.maxx, box[2]) : box[2];
    request.maxy = extent ? std::max(request.maxy, box[3]) : box[3];
    extent = true;
  }
  if (sqlite3_finalize(statement) != SQLITE_OK) {
    SqliteFailure(db, staging_, final_, "cannot list the tables for the QGIS project");
  }
  if (tables.empty()) return;
  for (const MapLayerStyle& style : MapStyles()) {
    if (tables.count(std::string(style.code)) == 0) continue;
    const LayerSpec& layer = *FindLayer(style.code);
    request.layers.push_back(
        {std::string(layer.code), std::string(layer.code) + " " + std::string(style.title),
         std::string(MapGroupTitle(style.group)), style.shown,
         layer.geometry == LayerGeometry::kPoint ? ProjectGeometry::kPoint : ProjectGeometry::kLine,
         QgisStyle(layer, GpkgFields(layer))});
  }
  for (std::string_view code : DrawingOrder()) {
    if (tables.count(std::string(code)) != 0) request.drawing_order.emplace_back(code);
  }
  StoreQgisProject(db, request.name, QgisProjectXml(request), final_);
}

RtreeBox GpkgBox(const Feature& feature, std::int64_t id) {
  RtreeBox box{id, feature.x[0], feature.x[0], feature.y[0], feature.y[0]};
  for (std::size_t i = 1; i < feature.vertex_count; ++i) {
    box.minx = std::min(box.minx, feature.x[i]);
    box.maxx = std::max(box.maxx, feature.x[i]);
    box.miny = std::min(box.miny, feature.y[i]);
    box.maxy = std::max(box.maxy, feature.y[i]);
  }
  return box;
}

}  // namespace quellmark
