#include "export_gpkg/gpkg_collection.h"

#include <cpl_string.h>
#include <ogr_feature.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "convert/gdal_errors.h"
#include "export_gpkg/gpkg_file.h"
#include "export_ogr/ogr_rows.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

struct RowDeleter {
  void operator()(void* row) const { OGR_F_Destroy(static_cast<OGRFeatureH>(row)); }
};
using Row = std::unique_ptr<void, RowDeleter>;

// A sheet's rows of one table, and the extents of those with a position in
// the order the spatial index packs them (each box's id is the row's index
// here until the writer learns its fid).
struct SpooledTable {
  std::size_t table;  // catalogue index
  std::vector<Row> rows;
  std::vector<RtreeBox> boxes;
};

// A sheet's rows, table by table in catalogue order, held until the writer
// takes them.
struct SpooledSheet {
  std::string name;
  std::string name_utf8;
  std::vector<SpooledTable> tables;
};

std::size_t CatalogueIndex(const LayerSpec& layer) {
  return static_cast<std::size_t>(&layer - Layers().data());
}

class GpkgCollection : public CollectionOutput {
 public:
  explicit GpkgCollection(const CollectionRequest& request);
  ~GpkgCollection() override;
  GpkgCollection(const GpkgCollection&) = delete;
  GpkgCollection& operator=(const GpkgCollection&) = delete;

  std::unique_ptr<SheetOutput> OpenSheet(std::size_t position, const std::string& sheet) override;
  void Settle(std::size_t position, bool keep) override;
  bool failed() const override;
  void Commit() override;

  // The sheet's rows, to be written once its position is settled kept.
  void HandOver(std::size_t position, std::unique_ptr<SpooledSheet> sheet);
  // The layout of the layer's rows; rows are made from it on any thread.
  OGRFeatureDefnH row_layout(const LayerSpec& layer) const {
    return OGRFeatureDefn::ToHandle(layouts_[CatalogueIndex(layer)]);
  }
  void ThrowIfFailed() const;

 private:
  enum class State : unsigned char { kOpen, kKept, kLeftOut };
  struct Position {
    State state = State::kOpen;
    std::vector<std::unique_ptr<SpooledSheet>> sheets;
  };

  void WriteInOrder();
  void Write(SpooledSheet& sheet);

  GpkgFile file_;
  std::vector<OGRLayerH> tables_;  // by catalogue index
  // Copies of the tables' layouts, which the jobs make rows from while the
  // writer uses the tables. Declared before the rows they outlive.
  std::vector<OGRFeatureDefn*> layouts_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Position> positions_;
  std::size_t next_ = 0;     // the position the writer is at
  std::size_t waiting_ = 0;  // positions settled kept and not yet written
  // Sheets written, to be freed by the next job that settles a position.
  std::vector<std::unique_ptr<SpooledSheet>> written_;
  bool finishing_ = false;  // Commit(): positions never settled are left out
  bool abort_ = false;
  std::exception_ptr error_;
  std::thread writer_;
};

// A sheet of the collection: its rows made, with their sheet name, on the
// job's thread and held until Commit() hands them over.
class CollectedSheet : public SheetOutput {
 public:
  CollectedSheet(GpkgCollection& collection, std::size_t position, std::string sheet)
      : collection_(collection), position_(position), spool_(std::make_unique<SpooledSheet>()) {
    spool_->name = std::move(sheet);
    // A file name is UTF-8, or the code page 932 of an archive named so.
    if (CPLIsUTF8(spool_->name.data(), static_cast<int>(spool_->name.size()))) {
      sheet_utf8_ = spool_->name;
    } else {
      utf8_.Convert(spool_->name, sheet_utf8_);
    }
    spool_->name_utf8 = sheet_utf8_;
  }

  std::unique_ptr<TableOutput> CreateTable(const LayerSpec& layer) override;
  void Commit() override { collection_.HandOver(position_, std::move(spool_)); }

  GpkgCollection& collection() { return collection_; }
  Cp932ToUtf8& utf8() { return utf8_; }
  const std::string& sheet_utf8() const { return sheet_utf8_; }
  void Add(SpooledTable table) { spool_->tables.push_back(std::move(table)); }

 private:
  GpkgCollection& collection_;
  std::size_t position_;
  std::unique_ptr<SpooledSheet> spool_;
  Cp932ToUtf8 utf8_;
  std::string sheet_utf8_;
};

class CollectedTable : public TableOutput {
 public:
  CollectedTable(CollectedSheet& sheet, const LayerSpec& layer)
      : sheet_(sheet),
        layer_(layer),
        layout_(sheet.collection().row_layout(layer)),
        rows_(GpkgFields(layer), sheet.utf8(), 1) {
    spooled_.table = CatalogueIndex(layer);
  }

  void Write(const Feature& feature) override {
    Row row(OGR_F_Create(layout_));
    OGR_F_SetFieldString(row.get(), 0, sheet_.sheet_utf8().c_str());
    rows_.SetFields(feature, row.get());
    if (feature.vertex_count > 0) {
      OGRGeometryH geometry = OGR_G_CreateGeometry(OgrRows::GeometryType(layer_));
      OgrRows::SetGeometry(feature, geometry);
      OGR_F_SetGeometryDirectly(row.get(), geometry);
      spooled_.boxes.push_back(GpkgBox(feature, static_cast<std::int64_t>(spooled_.rows.size())));
    }
    spooled_.rows.push_back(std::move(row));
  }
  // The rows' index order is found here, on the job's thread, so the
  // writer, which paces the batch, only writes.
  void Close() override {
    sheet_.collection().ThrowIfFailed();
    RtreeBuilder::SortRun(spooled_.boxes);
    sheet_.Add(std::move(spooled_));
  }

 private:
  CollectedSheet& sheet_;
  const LayerSpec& layer_;
  OGRFeatureDefnH layout_;
  OgrRows rows_;
  SpooledTable spooled_;
};

std::unique_ptr<TableOutput> CollectedSheet::CreateTable(const LayerSpec& layer) {
  return std::make_unique<CollectedTable>(*this, layer);
}

GpkgCollection::GpkgCollection(const CollectionRequest& request)
    : file_(request.path, DeclaredEpsg(request.datum), request.stop, request.append,
            request.layers),
      positions_(request.positions) {
  // Every chosen layer's table, empty ones too, with its style; the other
  // layers have none (appending, theirs stay as they are).
  file_.StartTransaction("creating the tables");
  try {
    for (const LayerSpec& layer : Layers()) {
      if (!request.layers.Has(layer)) {
        tables_.push_back(nullptr);
        layouts_.push_back(nullptr);
        continue;
      }
      OGRLayerH table = file_.CreateTable(layer, GpkgFields(layer), true);
      file_.WriteStyle(layer, GpkgFields(layer), table);
      tables_.push_back(table);
      OGRFeatureDefn* layout = OGRFeatureDefn::FromHandle(OGR_L_GetLayerDefn(table))->Clone();
      layout->Reference();
      layouts_.push_back(layout);
    }
    file_.CommitTransaction("creating the tables");
  } catch (...) {
    file_.RollbackTransaction();
    for (OGRFeatureDefn* layout : layouts_) {
      if (layout != nullptr) layout->Release();
    }
    throw;
  }
  writer_ = std::thread([this] { WriteInOrder(); });
}

GpkgCollection::~GpkgCollection() {
  {
    std::lock_guard lock(mutex_);
    abort_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable()) writer_.join();
  positions_.clear();
  written_.clear();
  for (OGRFeatureDefn* layout : layouts_) {
    if (layout != nullptr) layout->Release();
  }
}

std::unique_ptr<SheetOutput> GpkgCollection::OpenSheet(std::size_t position,
                                                       const std::string& sheet) {
  ThrowIfFailed();
  return std::make_unique<CollectedSheet>(*this, position, sheet);
}

void GpkgCollection::HandOver(std::size_t position, std::unique_ptr<SpooledSheet> sheet) {
  std::lock_guard lock(mutex_);
  positions_.at(position).sheets.push_back(std::move(sheet));
}

void GpkgCollection::Settle(std::size_t position, bool keep) {
  std::vector<std::unique_ptr<SpooledSheet>> left_out;
  std::unique_lock lock(mutex_);
  Position& settled = positions_.at(position);
  settled.state = keep ? State::kKept : State::kLeftOut;
  if (keep) {
    ++waiting_;
  } else {
    left_out.swap(settled.sheets);
  }
  changed_.notify_all();
  // The writer is the slower side: one sheet waiting for it keeps it busy.
  changed_.wait(lock, [this] { return waiting_ <= 1 || error_ || abort_; });
  std::vector<std::unique_ptr<SpooledSheet>> written;
  written.swap(written_);
  lock.unlock();
  // The sheets left out, and those the writer is done with, are freed here,
  // outside the lock and off the writer's thread, which paces the batch.
}

bool GpkgCollection::failed() const {
  std::lock_guard lock(mutex_);
  return error_ != nullptr;
}

void GpkgCollection::ThrowIfFailed() const {
  std::lock_guard lock(mutex_);
  if (error_) std::rethrow_exception(error_);
}

void GpkgCollection::Commit() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  writer_.join();
  if (error_) std::rethrow_exception(error_);
  file_.Commit();
}

// The writer: position after position, as each is settled.
void GpkgCollection::WriteInOrder() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] {
      return abort_ || finishing_ || next_ >= positions_.size() ||
             positions_[next_].state != State::kOpen;
    });
    if (abort_ || next_ >= positions_.size()) return;
    Position& position = positions_[next_];
    if (position.state == State::kOpen) return;  // finishing: the rest was never settled
    const bool kept = position.state == State::kKept;
    std::vector<std::unique_ptr<SpooledSheet>> sheets;
    sheets.swap(position.sheets);
    const bool write = kept && !error_;
    lock.unlock();
    std::exception_ptr error;
    if (write) {
      try {
        for (const auto& sheet : sheets) Write(*sheet);
      } catch (...) {
        error = std::current_exception();
      }
    }
    lock.lock();
    for (auto& sheet : sheets) written_.push_back(std::move(sheet));
    if (error && !error_) error_ = error;
    ++next_;
    if (kept) --waiting_;
    changed_.notify_all();
  }
}

void GpkgCollection::Write(SpooledSheet& sheet) {
  QuietGdalErrors quiet;
  file_.StartTransaction("writing the sheet " + sheet.name);
  // The fid of each row, by its index in the sheet's table.
  std::vector<std::vector<std::int64_t>> fids(sheet.tables.size());
  try {
    // Added to an earlier file, the sheet replaces its earlier rows.
    file_.RemoveEarlierRows(sheet.name_utf8);
    std::size_t written = 0;
    for (std::size_t t = 0; t < sheet.tables.size(); ++t) {
      const SpooledTable& table = sheet.tables[t];
      fids[t].reserve(table.rows.size());
      for (const Row& row : table.rows) {
        // A stop is seen within a few thousand rows.
        if (++written % 4096 == 0) file_.CheckStop();
        OGRFeatureH feature = static_cast<OGRFeatureH>(row.get());
        if (OGR_L_CreateFeature(tables_[table.table], feature) != OGRERR_NONE) {
          file_.Fail("cannot write the sheet " + sheet.name + " into the table " +
                     std::string(Layers()[table.table].code));
        }
        fids[t].push_back(OGR_F_GetFID(feature));
      }
    }
    file_.CommitTransaction("the sheet " + sheet.name);
  } catch (...) {
    file_.RollbackTransaction();
    throw;
  }
  // Each table's rows of the sheet lie close together: one run of its
  // spatial index.
  for (std::size_t t = 0; t < sheet.tables.size(); ++t) {
    SpooledTable& table = sheet.tables[t];
    for (RtreeBox& box : table.boxes) box.id = fids[t][static_cast<std::size_t>(box.id)];
    file_.AddIndexRun(tables_[table.table], table.boxes);
  }
}

}  // namespace

std::unique_ptr<CollectionOutput> OpenGpkgCollection(const CollectionRequest& request) {
  return std::make_unique<GpkgCollection>(request);
}

}  // namespace quellmark
