#include "export_gpkg/gpkg_format.h"

#include <ogr_feature.h>
#include <sqlite3.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
// The rows are made from the features on the converting thread and written
// by a thread of the table's own, so the next lines are read while the
// driver writes: batches of rows go back and forth between the two, each
// row and its geometry made once and used again.
class GpkgTable : public TableOutput {
 public:
  GpkgTable(GpkgFile& file, const LayerSpec& layer, Cp932ToUtf8& utf8);
  ~GpkgTable() override;
  GpkgTable(const GpkgTable&) = delete;
  GpkgTable& operator=(const GpkgTable&) = delete;

  void Write(const Feature& feature) override;
  void Close() override;

 private:
  struct Slot {
    OGRFeatureH row = nullptr;
    OGRGeometryH geometry = nullptr;  // owned here; lent to the row while it is written
    bool placed = false;
    int line = 0;
  };
  struct Batch {
    std::vector<Slot> slots;
    std::size_t used = 0;
  };
  static constexpr std::size_t kBatchRows = 1024;
  static constexpr std::size_t kBatches = 3;

  void WriteBatches();
  void HandOver(bool last);
  void StopWriter();

  GpkgFile& file_;
  const LayerSpec& layer_spec_;
  GpkgRows rows_;
  OGRLayerH table_ = nullptr;
  OGRFeatureDefn* layout_ = nullptr;  // a copy the rows are made from
  std::vector<Batch> batches_;
  std::vector<RtreeBox> boxes_;     // for the spatial index; ids are row numbers until Close
  std::vector<std::int64_t> fids_;  // by row number, filled by the writer
  std::size_t next_row_ = 0;
  Batch* filling_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch*> full_;   // for the writer, in order
  std::deque<Batch*> empty_;  // for the converting thread
  bool last_ = false;         // no more batches come
  bool abort_ = false;
  std::exception_ptr error_;
  std::thread writer_;
  bool in_transaction_ = false;
};

GpkgTable::GpkgTable(GpkgFile& file, const LayerSpec& layer, Cp932ToUtf8& utf8)
    : file_(file), layer_spec_(layer), rows_(layer, utf8, 0), batches_(kBatches) {
  table_ = file_.CreateTable(layer, GpkgFields(layer), false);
  layout_ = OGRFeatureDefn::FromHandle(OGR_L_GetLayerDefn(table_))->Clone();
  layout_->Reference();
  for (Batch& batch : batches_) {
    batch.slots.resize(kBatchRows);
    empty_.push_back(&batch);
  }
  file_.StartTransaction("writing the table " + std::string(layer.code));
  in_transaction_ = true;
  writer_ = std::thread([this] { WriteBatches(); });
}

GpkgTable::~GpkgTable() {
  StopWriter();
  if (in_transaction_) file_.RollbackTransaction();
  for (Batch& batch : batches_) {
    for (Slot& slot : batch.slots) {
      if (slot.row != nullptr) OGR_F_Destroy(slot.row);
      if (slot.geometry != nullptr) OGR_G_DestroyGeometry(slot.geometry);
    }
  }
  if (layout_ != nullptr) layout_->Release();
}

void GpkgTable::StopWriter() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    abort_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void GpkgTable::Write(const Feature& feature) {
  if (filling_ == nullptr) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !empty_.empty() || error_; });
    if (error_) std::rethrow_exception(error_);
    filling_ = empty_.front();
    empty_.pop_front();
    filling_->used = 0;
  }
  Slot& slot = filling_->slots[filling_->used++];
  if (slot.row == nullptr) {
    slot.row = OGR_F_Create(OGRFeatureDefn::ToHandle(layout_));
    slot.geometry = OGR_G_CreateGeometry(GpkgRows::GeometryType(layer_spec_));
  }
  OGR_F_SetFID(slot.row, OGRNullFID);
  rows_.SetFields(feature, slot.row);
  slot.placed = GpkgRows::SetGeometry(feature, slot.geometry);
  slot.line = feature.index + 1;
  if (slot.placed) boxes_.push_back(GpkgRows::Box(feature, static_cast<std::int64_t>(next_row_)));
  ++next_row_;
  if (filling_->used == kBatchRows) HandOver(false);
}

// Gives the batch being filled to the writer; `last`: and says no more come.
void GpkgTable::HandOver(bool last) {
  {
    std::lock_guard lock(mutex_);
    if (filling_ != nullptr) full_.push_back(filling_);
    filling_ = nullptr;
    last_ = last;
  }
  changed_.notify_all();
}

// The writer: batch after batch, in order; after a failure it only gives
// the batches back.
void GpkgTable::WriteBatches() {
  QuietGdalErrors quiet;
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return abort_ || !full_.empty() || last_; });
    if (abort_ || (full_.empty() && last_)) return;
    Batch* batch = full_.front();
    full_.pop_front();
    const bool write = !error_;
    lock.unlock();
    std::exception_ptr error;
    if (write) {
      try {
        for (std::size_t i = 0; i < batch->used; ++i) {
          Slot& slot = batch->slots[i];
          OGR_F_SetGeometryDirectly(slot.row, slot.placed ? slot.geometry : nullptr);
          const OGRErr result = OGR_L_CreateFeature(table_, slot.row);
          if (slot.placed) slot.geometry = OGR_F_StealGeometry(slot.row);
          if (result != OGRERR_NONE) {
            file_.Fail("cannot write row " + std::to_string(slot.line) + " of the table " +
                       std::string(layer_spec_.code));
          }
          fids_.push_back(OGR_F_GetFID(slot.row));
        }
      } catch (...) {
        error = std::current_exception();
      }
    }
    lock.lock();
    if (error && !error_) error_ = error;
    empty_.push_back(batch);
    changed_.notify_all();
  }
}

void GpkgTable::Close() {
  HandOver(true);
  writer_.join();
  if (error_) std::rethrow_exception(error_);
  for (RtreeBox& box : boxes_) box.id = fids_[static_cast<std::size_t>(box.id)];
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
