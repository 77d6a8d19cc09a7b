#include "export_gpkg/gpkg_format.h"

#include <ogr_feature.h>
#include <sqlite3.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert/gdal_errors.h"
#include "export_gpkg/gpkg_collection.h"
#include "export_gpkg/gpkg_file.h"
#include "export_ogr/ogr_rows.h"

namespace quellmark {

namespace {

// One sheet's file: output prefix + ".gpkg". Its rows are made from the
// features on the converting thread and written by one thread of the
// file's own, which creates each table, writes its rows in batches and
// completes it, in the order the converting thread asks: the next lines and
// the next layers are read while the driver writes. Each table's rows are
// written in one transaction; its style goes into layer_styles in the same
// transaction, as the default of the table. Written for some of the
// layers, a file Quellmark wrote there keeps the other layers' tables.
bool KeepsOtherTables(const SheetTarget& target) {
  return !target.layers.all() && FindGpkgOwner(target.prefix() + ".gpkg") == GpkgOwner::kQuellmark;
}

class GpkgSheet : public SheetOutput {
 public:
  GpkgSheet(const SheetTarget& target, int epsg, bool keep_other_tables)
      : file_(target.prefix() + ".gpkg", epsg, target.stop, keep_other_tables, target.layers) {
    if (keep_other_tables) file_.DropEarlierTables();
    writer_ = std::thread([this] { RunTasks(); });
  }
  ~GpkgSheet() override;
  GpkgSheet(const GpkgSheet&) = delete;
  GpkgSheet& operator=(const GpkgSheet&) = delete;

  std::unique_ptr<TableOutput> CreateTable(const LayerSpec& layer) override;
  void Commit() override;

  // For the tables: a task for the writer, run after those posted before
  // it. Throws what stopped the writer, if anything has.
  void Post(std::function<void()> task);
  // Waits, under the lock, until `ready` holds or the writer failed;
  // throws the failure.
  template <typename Ready>
  void WaitFor(std::unique_lock<std::mutex>& lock, Ready ready) {
    changed_.wait(lock, [&] { return ready() || error_ != nullptr; });
    if (error_) std::rethrow_exception(error_);
  }
  std::mutex& mutex() { return mutex_; }
  void Notify() { changed_.notify_all(); }
  GpkgFile& file() { return file_; }
  Cp932ToUtf8& utf8() { return utf8_; }
  // The writer's: whether a table's transaction is open.
  bool in_transaction = false;

 private:
  void RunTasks();
  void StopWriter();

  GpkgFile file_;
  Cp932ToUtf8 utf8_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;
  bool finishing_ = false;  // no more tasks come
  bool abort_ = false;
  std::exception_ptr error_;
  // Tables whose tasks may still run, kept until the writer is done.
  std::vector<std::shared_ptr<void>> tables_;
  std::thread writer_;

  friend class GpkgTable;
};

// One layer's table: batches of rows go back and forth between the
// converting thread, which fills them, and the file's writer, each row and
// its geometry made once and used again.
class GpkgTable : public TableOutput {
 public:
  GpkgTable(GpkgSheet& sheet, const LayerSpec& layer);
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
  // What the writer uses, kept alive by the sheet until the writer is done.
  struct Shared {
    const LayerSpec* layer = nullptr;
    OGRFeatureDefn* layout = nullptr;  // the rows are made from it
    std::vector<Batch> batches;
    std::deque<Batch*> empty;        // for the converting thread; under the sheet's lock
    OGRLayerH table = nullptr;       // the writer's
    std::vector<std::int64_t> fids;  // by row number, filled by the writer
    std::vector<RtreeBox> boxes;     // ids are row numbers until the table is complete
    ~Shared();
    void FreeRows();
  };
  static constexpr std::size_t kBatchRows = 1024;
  static constexpr std::size_t kBatches = 3;

  void HandOver();
  static void WriteBatch(GpkgSheet& sheet, Shared& shared, Batch& batch);
  static void Complete(GpkgSheet& sheet, Shared& shared);

  GpkgSheet& sheet_;
  std::shared_ptr<Shared> shared_;
  OgrRows rows_;
  std::size_t next_row_ = 0;
  Batch* filling_ = nullptr;
};

GpkgSheet::~GpkgSheet() {
  StopWriter();
  if (in_transaction) file_.RollbackTransaction();
}

void GpkgSheet::StopWriter() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    abort_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void GpkgSheet::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (error_) std::rethrow_exception(error_);
    tasks_.push_back(std::move(task));
  }
  changed_.notify_all();
}

// The writer: task after task, in order; after a failure, or once the run
// is asked to stop, it runs none.
void GpkgSheet::RunTasks() {
  QuietGdalErrors quiet;
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return abort_ || !tasks_.empty() || finishing_; });
    if (abort_ || (tasks_.empty() && finishing_)) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    if (error_) continue;
    lock.unlock();
    std::exception_ptr error;
    try {
      file_.CheckStop();
      task();
    } catch (...) {
      error = std::current_exception();
    }
    task = nullptr;
    lock.lock();
    if (error && !error_) error_ = error;
    changed_.notify_all();
  }
}

void GpkgSheet::Commit() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  writer_.join();
  if (error_) std::rethrow_exception(error_);
  tables_.clear();
  file_.Commit();
}

GpkgTable::Shared::~Shared() {
  FreeRows();
  if (layout != nullptr) layout->Release();
}

void GpkgTable::Shared::FreeRows() {
  for (Batch& batch : batches) {
    for (Slot& slot : batch.slots) {
      if (slot.row != nullptr) OGR_F_Destroy(slot.row);
      if (slot.geometry != nullptr) OGR_G_DestroyGeometry(slot.geometry);
      slot = Slot{};
    }
  }
}

GpkgTable::GpkgTable(GpkgSheet& sheet, const LayerSpec& layer)
    : sheet_(sheet),
      shared_(std::make_shared<Shared>()),
      rows_(GpkgFields(layer), sheet.utf8(), 0) {
  Shared& shared = *shared_;
  shared.layer = &layer;
  shared.layout = OgrRows::Layout(layer, GpkgFields(layer), false, kGpkgGeometryColumn);
  shared.batches.resize(kBatches);
  for (Batch& batch : shared.batches) {
    batch.slots.resize(kBatchRows);
    shared.empty.push_back(&batch);
  }
  {
    std::lock_guard lock(sheet_.mutex());
    sheet_.tables_.push_back(shared_);
  }
  sheet_.Post([&sheet, &shared] {
    shared.table = sheet.file().CreateTable(*shared.layer, GpkgFields(*shared.layer), false);
    sheet.file().StartTransaction("writing the table " + std::string(shared.layer->code));
    sheet.in_transaction = true;
  });
}

// Without Close() (a failure, or a stop), the sheet is given up with it.
GpkgTable::~GpkgTable() = default;

void GpkgTable::Write(const Feature& feature) {
  Shared& shared = *shared_;
  if (filling_ == nullptr) {
    std::unique_lock lock(sheet_.mutex());
    sheet_.WaitFor(lock, [&] { return !shared.empty.empty(); });
    filling_ = shared.empty.front();
    shared.empty.pop_front();
    filling_->used = 0;
  }
  Slot& slot = filling_->slots[filling_->used++];
  if (slot.row == nullptr) {
    slot.row = OGR_F_Create(OGRFeatureDefn::ToHandle(shared.layout));
    slot.geometry = OGR_G_CreateGeometry(OgrRows::GeometryType(*shared.layer));
  }
  OGR_F_SetFID(slot.row, OGRNullFID);
  rows_.SetFields(feature, slot.row);
  slot.placed = OgrRows::SetGeometry(feature, slot.geometry);
  slot.line = feature.index + 1;
  if (slot.placed) {
    shared.boxes.push_back(GpkgBox(feature, static_cast<std::int64_t>(next_row_)));
  }
  ++next_row_;
  if (filling_->used == kBatchRows) HandOver();
}

// Gives the batch being filled to the writer.
void GpkgTable::HandOver() {
  if (filling_ == nullptr) return;
  Batch* batch = filling_;
  filling_ = nullptr;
  GpkgSheet& sheet = sheet_;
  Shared& shared = *shared_;
  sheet_.Post([&sheet, &shared, batch] { WriteBatch(sheet, shared, *batch); });
}

void GpkgTable::WriteBatch(GpkgSheet& sheet, Shared& shared, Batch& batch) {
  struct GiveBack {
    GpkgSheet& sheet;
    Shared& shared;
    Batch& batch;
    ~GiveBack() {
      {
        std::lock_guard lock(sheet.mutex());
        shared.empty.push_back(&batch);
      }
      sheet.Notify();
    }
  } give_back{sheet, shared, batch};
  for (std::size_t i = 0; i < batch.used; ++i) {
    Slot& slot = batch.slots[i];
    OGR_F_SetGeometryDirectly(slot.row, slot.placed ? slot.geometry : nullptr);
    const OGRErr result = OGR_L_CreateFeature(shared.table, slot.row);
    if (slot.placed) slot.geometry = OGR_F_StealGeometry(slot.row);
    if (result != OGRERR_NONE) {
      sheet.file().Fail("cannot write row " + std::to_string(slot.line) + " of the table " +
                        std::string(shared.layer->code));
    }
    shared.fids.push_back(OGR_F_GetFID(slot.row));
  }
}

// The table's last rows, its spatial index's run and its style, in its
// transaction; the rows it kept are freed.
void GpkgTable::Complete(GpkgSheet& sheet, Shared& shared) {
  for (RtreeBox& box : shared.boxes) box.id = shared.fids[static_cast<std::size_t>(box.id)];
  RtreeBuilder::SortRun(shared.boxes);
  GpkgFile& file = sheet.file();
  file.AddIndexRun(shared.table, shared.boxes);
  file.WriteStyle(*shared.layer, GpkgFields(*shared.layer), shared.table);
  sheet.in_transaction = false;
  file.CommitTransaction("the table " + std::string(shared.layer->code));
  std::vector<RtreeBox>().swap(shared.boxes);
  std::vector<std::int64_t>().swap(shared.fids);
  shared.FreeRows();
}

void GpkgTable::Close() {
  HandOver();
  GpkgSheet& sheet = sheet_;
  Shared& shared = *shared_;
  sheet_.Post([&sheet, &shared] { Complete(sheet, shared); });
}

std::unique_ptr<TableOutput> GpkgSheet::CreateTable(const LayerSpec& layer) {
  return std::make_unique<GpkgTable>(*this, layer);
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
  const GeometryRules& geometry_rules() const override { return WholeValueGeometryRules(); }
  std::unique_ptr<SheetOutput> OpenSheet(const SheetTarget& target) const override {
    return std::make_unique<GpkgSheet>(target, DeclaredEpsg(target.datum),
                                       KeepsOtherTables(target));
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
