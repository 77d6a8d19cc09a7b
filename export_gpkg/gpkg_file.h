// What the GeoPackage outputs share: the file being built under a hidden
// name, its tables and their styles, and how a feature becomes a row.
#pragma once

#include <gdal.h>
#include <ogr_api.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/output_format.h"
#include "export_gpkg/gpkg_rtree.h"
#include "sal/cp932.h"

class OGRFeatureDefn;

namespace quellmark {

// The fields of a layer's GeoPackage table: every field of the layer (the
// union of what the shapefile and TAB tables hold) with its value whole;
// heights are numbers (WholeValueChanges). Its rows are made by OgrRows,
// its features placed by WholeValueGeometryRules.
std::span<const FieldSpec> GpkgFields(const LayerSpec& layer);

// What a GeoPackage at a path is to Quellmark.
enum class GpkgOwner : unsigned char {
  kNone,       // no file there
  kQuellmark,  // a GeoPackage Quellmark wrote
  kOther,      // anything else: another program's GeoPackage, or not one
};
GpkgOwner FindGpkgOwner(const std::string& path);

// A GeoPackage written under a hidden name beside `path` and renamed into
// place by Commit(), so a run that fails leaves the earlier file as it was.
class GpkgFile {
 public:
  // `path`: the file (".gpkg"); `epsg`: the geographic coordinate system
  // the tables declare; `stop`, when set, ends building the file with
  // Interrupted (may be null). Creates the file and its layer_styles table;
  // with `append`, starts from a copy of the file at `path` instead (one
  // Quellmark wrote, or none), keeping everything it holds; the tables of
  // `layers` are the ones written to (their spatial indexes built again),
  // the others stay as they are. Throws OutputError.
  GpkgFile(std::string path, int epsg, const std::atomic<bool>* stop = nullptr, bool append = false,
           const LayerSelection& layers = {});
  // Without Commit(), removes the hidden file and its journal.
  ~GpkgFile();
  GpkgFile(const GpkgFile&) = delete;
  GpkgFile& operator=(const GpkgFile&) = delete;

  // Creates the layer's table with `fields`, after a text field "sheet"
  // when `sheet_column`. Its spatial index is built by Commit(), in bulk,
  // from the runs of rows given to AddIndexRun. Appending, a table the file
  // has is taken as it is, when it has those fields, and its index is built
  // again from all its rows. Throws OutputError.
  OGRLayerH CreateTable(const LayerSpec& layer, std::span<const FieldSpec> fields,
                        bool sheet_column);
  // Adds the table's QGIS style to layer_styles, as its default, unless
  // the table has a default style already (appending: the user's is kept).
  // Throws OutputError.
  void WriteStyle(const LayerSpec& layer, std::span<const FieldSpec> fields, OGRLayerH table);

  // Rows of `table` that lie close together (a sheet's), for its spatial
  // index, sorted by RtreeBuilder::SortRun. Throws OutputError.
  void AddIndexRun(OGRLayerH table, const std::vector<RtreeBox>& boxes);

  // Appending: removes the rows of `sheet` the file held before this run
  // from every table taken from it. Throws OutputError.
  void RemoveEarlierRows(const std::string& sheet_utf8);
  // Appending: removes the earlier file's tables of the layers given to the
  // constructor, so that they hold this run's rows only, or are gone when
  // this run has none for them. Throws OutputError.
  void DropEarlierTables();

  // Throw OutputError naming the file.
  void StartTransaction(const std::string& what);
  void CommitTransaction(const std::string& what);
  // Leaves the open transaction, if any, without error.
  void RollbackTransaction();

  // Closes the file (the driver writes the tables' extents), builds every
  // table's spatial index and renames the file into place. Throws
  // OutputError, or Interrupted when the run was asked to stop.
  void Commit();

  // Throws Interrupted when the run was asked to stop.
  void CheckStop() const;

  // Throws OutputError naming the file: `what` and GDAL's last message.
  [[noreturn]] void Fail(const std::string& what) const;

  const std::string& path() const { return final_; }

 private:
  void CreateStylesTable();
  OGRLayerH TakeEarlierTable(OGRLayerH table, const std::string& name,
                             std::span<const FieldSpec> fields, bool sheet_column);
  void CopyEarlierFile();
  void DropEarlierIndexes();
  void BuildIndexes();
  void StoreProject(sqlite3* db);
  void Discard();

  struct Index {
    OGRLayerH table;
    std::string name;
    std::unique_ptr<RtreeBuilder> builder;
    // A table taken from the earlier file: its index is built from all its
    // rows; rows up to this fid were there before.
    bool earlier = false;
    std::int64_t earlier_last_fid = 0;
  };

  std::string final_;
  std::string staging_;  // the hidden name it is built under
  GDALDatasetH dataset_ = nullptr;
  OGRSpatialReferenceH srs_ = nullptr;
  OGRLayerH styles_ = nullptr;
  const std::atomic<bool>* stop_;
  bool append_;
  int epsg_;
  LayerSelection layers_;
  std::vector<Index> indexes_;
  bool committed_ = false;
};

// The extent of a feature with a position, for the row `id`.
RtreeBox GpkgBox(const Feature& feature, std::int64_t id);

// The name of every table's geometry column.
constexpr const char* kGpkgGeometryColumn = "geom";

}  // namespace quellmark
