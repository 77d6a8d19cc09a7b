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
// heights are numbers.
std::span<const FieldSpec> GpkgFields(const LayerSpec& layer);

// Every feature has the position its own line gives, or none: a point
// stands at the last number of its list and the list is used up, as in the
// shapefiles (in TAB tables the rest of a list places the next lines that
// have none); a number without a position is left out, so no vertex stands
// at a made-up 0,0, and a feature left without any has no geometry. The
// file stores any position exactly: no bounds.
const GeometryRules& GpkgGeometryRules();

// The EPSG code of the coordinate system the tables declare: the datum
// chosen, JGD2000 unless Tokyo is.
int GpkgEpsg(const DatumRule& datum);

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
  // Quellmark wrote, or none), keeping everything it holds. Throws
  // OutputError.
  GpkgFile(std::string path, int epsg, const std::atomic<bool>* stop = nullptr,
           bool append = false);
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
  std::vector<Index> indexes_;
  bool committed_ = false;
};

// Turns the features of one layer into rows of its table.
class GpkgRows {
 public:
  // `first_field`: the index in the row of the layer's first field.
  // `utf8` converts the texts; it is used from one thread at a time.
  GpkgRows(const LayerSpec& layer, Cp932ToUtf8& utf8, int first_field);

  // Sets the row's fields to the feature's values: texts as UTF-8 (bytes
  // that are not code page 932 reported), numbers as numbers (a height that
  // is not one reported and left NULL), empty texts NULL.
  void SetFields(const Feature& feature, OGRFeatureH row);
  // The feature's positions into `geometry` (a point or a line string of
  // the layer's kind); false, untouched, for a feature without a position.
  static bool SetGeometry(const Feature& feature, OGRGeometryH geometry);
  // The extent of a feature with a position, for the row `id`.
  static RtreeBox Box(const Feature& feature, std::int64_t id);
  // The name of every table's geometry column.
  static constexpr const char* kGeometryColumn = "geom";
  // The columns of the layer's table with `fields`, after a text field
  // "sheet" when `sheet_column`, and its geometry type: what the table is
  // created with, and what its rows can be made from on any thread before
  // the table exists. Referenced once: the caller releases it.
  static OGRFeatureDefn* Layout(const LayerSpec& layer, std::span<const FieldSpec> fields,
                                bool sheet_column);
  // The geometry type of the layer's table.
  static OGRwkbGeometryType GeometryType(const LayerSpec& layer);

 private:
  void SetText(const Feature& feature, const FieldSpec& field, int index, std::string_view text,
               OGRFeatureH row);

  std::span<const FieldSpec> fields_;
  Cp932ToUtf8& utf8_;
  int first_field_;
  std::string text_;
  // A feature name carries over from line to line: it is converted, and
  // reported, once.
  std::string name_cp932_;
  std::string name_utf8_;
  bool name_known_ = false;
};

}  // namespace quellmark
