#include "export_gpkg/gpkg_format.h"

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "convert/gdal_errors.h"
#include "convert/sheet.h"
#include "export_gpkg/gpkg_collection.h"
#include "export_gpkg/gpkg_file.h"

namespace quellmark {

namespace {

// One sheet's file: output prefix + ".gpkg".
class GpkgSheet : public SheetOutput {
 public:
  GpkgSheet(const std::string& output_prefix, int epsg, const std::atomic<bool>* stop)
      : file_(output_prefix + ".gpkg", epsg, stop) {}

  std::unique_ptr<TableOutput> CreateTable(const LayerSpec& layer) override;
  void Commit() override { file_.Commit(); }

 private:
  GpkgFile file_;
  Cp932ToUtf8 utf8_;
};

// One layer's table, its rows written in one transaction; its style goes
// into layer_styles in the same transaction, as the default of the table.
class GpkgTable : public TableOutput {
 public:
  GpkgTable(GpkgFile& file, const LayerSpec& layer, Cp932ToUtf8& utf8);
  ~GpkgTable() override;
  GpkgTable(const GpkgTable&) = delete;
  GpkgTable& operator=(const GpkgTable&) = delete;

  void Write(const Feature& feature) override;
  void Close() override;

 private:
  struct FeatureDeleter {
    void operator()(void* feature) const { OGR_F_Destroy(static_cast<OGRFeatureH>(feature)); }
  };
  struct GeometryDeleter {
    void operator()(void* geometry) const {
      OGR_G_DestroyGeometry(static_cast<OGRGeometryH>(geometry));
    }
  };

  GpkgFile& file_;
  const LayerSpec& layer_spec_;
  GpkgRows rows_;
  OGRLayerH table_ = nullptr;
  std::unique_ptr<void, FeatureDeleter> feature_;
  std::unique_ptr<void, GeometryDeleter> geometry_;  // reused from row to row
  std::vector<RtreeBox> boxes_;                      // for the spatial index
  bool in_transaction_ = false;
};

GpkgTable::GpkgTable(GpkgFile& file, const LayerSpec& layer, Cp932ToUtf8& utf8)
    : file_(file), layer_spec_(layer), rows_(layer, utf8, 0) {
  table_ = file_.CreateTable(layer, GpkgFields(layer), false);
  feature_.reset(OGR_F_Create(OGR_L_GetLayerDefn(table_)));
  geometry_.reset(OGR_G_CreateGeometry(GpkgRows::GeometryType(layer)));
  file_.StartTransaction("writing the table " + std::string(layer.code));
  in_transaction_ = true;
}

GpkgTable::~GpkgTable() {
  if (in_transaction_) file_.RollbackTransaction();
}

void GpkgTable::Write(const Feature& feature) {
  QuietGdalErrors quiet;
  OGRFeatureH row = feature_.get();
  OGR_F_SetFID(row, OGRNullFID);
  rows_.SetFields(feature, row);
  OGRGeometryH geometry =
      GpkgRows::SetGeometry(feature, geometry_.get()) ? geometry_.get() : nullptr;
  // The geometry is lent to the row while it is written, and taken back.
  OGR_F_SetGeometryDirectly(row, geometry);
  const OGRErr result = OGR_L_CreateFeature(table_, row);
  if (geometry != nullptr) {
    geometry_.release();
    geometry_.reset(OGR_F_StealGeometry(row));
  }
  if (result != OGRERR_NONE) {
    file_.Fail("cannot write row " + std::to_string(feature.index + 1) + " of the table " +
               std::string(layer_spec_.code));
  }
  if (geometry != nullptr) {
    boxes_.push_back(GpkgRows::Box(feature, OGR_F_GetFID(row)));
  }
}

void GpkgTable::Close() {
  RtreeBuilder::SortRun(boxes_);
  file_.AddIndexRun(table_, boxes_);
  file_.WriteStyle(layer_spec_, GpkgFields(layer_spec_), table_);
  in_transaction_ = false;
  file_.CommitTransaction("the table " + std::string(layer_spec_.code));
}

std::unique_ptr<TableOutput> GpkgSheet::CreateTable(const LayerSpec& layer) {
  return std::make_unique<GpkgTable>(file_, layer, utf8_);
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
  const GeometryRules& geometry_rules() const override { return GpkgGeometryRules(); }
  std::unique_ptr<SheetOutput> OpenSheet(const std::string& output_prefix,
                                         ExportContext& context) const override {
    return std::make_unique<GpkgSheet>(output_prefix, GpkgEpsg(context.datum), context.stop);
  }
  std::string_view collection_extension() const override { return ".gpkg"; }
  CollectionFile FindCollectionFile(const std::string& path) const override {
    switch (FindGpkgOwner(path)) {
      case GpkgOwner::kNone:
        return CollectionFile::kNone;
      case GpkgOwner::kQuellmark:
        return CollectionFile::kOurs;
      case GpkgOwner::kOther:
        break;
    }
    return CollectionFile::kOther;
  }
  std::unique_ptr<CollectionOutput> OpenCollection(
      const CollectionRequest& request) const override {
    return OpenGpkgCollection(request);
  }
};

}  // namespace

const OutputFormat& GpkgFormat() {
  static const GeoPackages format;
  return format;
}

}  // namespace quellmark
