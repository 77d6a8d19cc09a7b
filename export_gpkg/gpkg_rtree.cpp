#include "export_gpkg/gpkg_rtree.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "sal/errors.h"

namespace quellmark {

namespace {

// A cell as the R-tree module stores it: the row, and its extent in 32-bit
// floats rounded outwards.
struct Cell {
  std::int64_t id;
  float minx;
  float maxx;
  float miny;
  float maxy;
};

// The R-tree module's rounding of a double to the float it stores: a
// minimum never above the value, a maximum never below, each the float the
// module itself would store for the value, so the bulk-built index answers
// exactly as one built row by row.
constexpr double kTowards = 1.0 - 1.0 / 8388608.0;
constexpr double kAway = 1.0 + 1.0 / 8388608.0;
float RoundDown(double d) {
  float f = static_cast<float>(d);
  if (f > d) f = static_cast<float>(d * (d < 0 ? kAway : kTowards));
  return f;
}
float RoundUp(double d) {
  float f = static_cast<float>(d);
  if (f < d) f = static_cast<float>(d * (d < 0 ? kTowards : kAway));
  return f;
}

std::string Quoted(std::string_view name) {
  std::string quoted = "\"";
  for (const char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + '"';
}

// The position of (x, y), each in [0, 1], along a Hilbert curve over a
// 65,536 × 65,536 grid.
std::uint32_t HilbertIndex(double x, double y) {
  constexpr std::uint32_t kSide = 1U << 16;
  auto cell = [](double v) {
    const double scaled = std::clamp(v, 0.0, 1.0) * (kSide - 1);
    return static_cast<std::uint32_t>(scaled);
  };
  std::uint32_t cx = cell(x);
  std::uint32_t cy = cell(y);
  std::uint32_t index = 0;
  for (std::uint32_t s = kSide / 2; s > 0; s /= 2) {
    const std::uint32_t rx = (cx & s) > 0 ? 1 : 0;
    const std::uint32_t ry = (cy & s) > 0 ? 1 : 0;
    index += s * s * ((3 * rx) ^ ry);
    if (ry == 0) {
      if (rx == 1) {
        cx = s - 1 - cx;
        cy = s - 1 - cy;
      }
      std::swap(cx, cy);
    }
  }
  return index;
}

struct Extent {
  double minx = std::numeric_limits<double>::infinity();
  double maxx = -std::numeric_limits<double>::infinity();
  double miny = std::numeric_limits<double>::infinity();
  double maxy = -std::numeric_limits<double>::infinity();
  template <typename Box>
  void Add(const Box& box) {
    minx = std::min<double>(minx, box.minx);
    maxx = std::max<double>(maxx, box.maxx);
    miny = std::min<double>(miny, box.miny);
    maxy = std::max<double>(maxy, box.maxy);
  }
};

// Sorts `items` along the Hilbert curve through their centres.
template <typename Box>
void HilbertSort(std::vector<Box>& items) {
  Extent extent;
  for (const Box& item : items) extent.Add(item);
  const double width = extent.maxx > extent.minx ? extent.maxx - extent.minx : 1.0;
  const double height = extent.maxy > extent.miny ? extent.maxy - extent.miny : 1.0;
  // The curve position above, the item's index below: one integer sorts.
  std::vector<std::uint64_t> keys(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Box& item = items[i];
    const double cx = (0.5 * item.minx + 0.5 * item.maxx - extent.minx) / width;
    const double cy = (0.5 * item.miny + 0.5 * item.maxy - extent.miny) / height;
    keys[i] = (std::uint64_t{HilbertIndex(cx, cy)} << 32) | i;
  }
  std::sort(keys.begin(), keys.end());
  std::vector<Box> sorted;
  sorted.reserve(items.size());
  for (const std::uint64_t key : keys) sorted.push_back(items[key & 0xFFFFFFFFU]);
  items.swap(sorted);
}

// `count` items into the fewest groups of at most `capacity`, their sizes
// differing by one at most: the size of group `i` of `groups`.
std::size_t GroupSize(std::size_t count, std::size_t groups, std::size_t i) {
  return count / groups + (i < count % groups ? 1 : 0);
}

std::size_t Groups(std::size_t count, std::size_t capacity) {
  return (count + capacity - 1) / capacity;
}

void PutBigEndian(unsigned char* out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = static_cast<unsigned char>(value & 0xFF);
    value >>= 8;
  }
}

std::uint32_t FloatBits(float f) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

// One node's blob: depth (read in the root only), cell count, cells.
void EncodeNode(std::vector<unsigned char>& blob, int depth, const Cell* cells, std::size_t count) {
  std::fill(blob.begin(), blob.end(), 0);
  PutBigEndian(blob.data(), static_cast<std::uint64_t>(depth), 2);
  PutBigEndian(blob.data() + 2, count, 2);
  unsigned char* out = blob.data() + 4;
  for (std::size_t i = 0; i < count; ++i, out += 24) {
    const Cell& cell = cells[i];
    PutBigEndian(out, static_cast<std::uint64_t>(cell.id), 8);
    PutBigEndian(out + 8, FloatBits(cell.minx), 4);
    PutBigEndian(out + 12, FloatBits(cell.maxx), 4);
    PutBigEndian(out + 16, FloatBits(cell.miny), 4);
    PutBigEndian(out + 20, FloatBits(cell.maxy), 4);
  }
}

Cell Enclosing(std::int64_t id, const Cell* cells, std::size_t count) {
  Cell box{id, cells[0].minx, cells[0].maxx, cells[0].miny, cells[0].maxy};
  for (std::size_t i = 1; i < count; ++i) {
    box.minx = std::min(box.minx, cells[i].minx);
    box.maxx = std::max(box.maxx, cells[i].maxx);
    box.miny = std::min(box.miny, cells[i].miny);
    box.maxy = std::max(box.maxy, cells[i].maxy);
  }
  return box;
}

// The (row, leaf) pairs of the leaves written since they were last
// recorded, offered to SQLite as a table of two columns, so that one
// INSERT ... SELECT appends them all to the index's _rowid table through one
// open cursor: a third of the time of a statement run for each row.
using RowLeaves = std::vector<std::pair<std::int64_t, std::int64_t>>;

struct RowLeavesTable : sqlite3_vtab {
  const RowLeaves* pairs = nullptr;
};
struct RowLeavesCursor : sqlite3_vtab_cursor {
  std::size_t at = 0;
};

constexpr const char* kRowLeavesModule = "quellmark_row_leaves";

const sqlite3_module& RowLeavesModule() {
  static const sqlite3_module module = [] {
    sqlite3_module m{};
    m.xConnect = [](sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** out, char**) {
      const int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(row INTEGER, leaf INTEGER)");
      if (rc != SQLITE_OK) return rc;
      auto* table = new RowLeavesTable{};
      table->pairs = static_cast<const RowLeaves*>(aux);
      *out = table;
      return SQLITE_OK;
    };
    m.xBestIndex = [](sqlite3_vtab*, sqlite3_index_info* info) {
      info->estimatedCost = 1;
      return SQLITE_OK;
    };
    m.xDisconnect = [](sqlite3_vtab* table) {
      delete static_cast<RowLeavesTable*>(table);
      return SQLITE_OK;
    };
    m.xOpen = [](sqlite3_vtab*, sqlite3_vtab_cursor** out) {
      *out = new RowLeavesCursor{};
      return SQLITE_OK;
    };
    m.xClose = [](sqlite3_vtab_cursor* cursor) {
      delete static_cast<RowLeavesCursor*>(cursor);
      return SQLITE_OK;
    };
    m.xFilter = [](sqlite3_vtab_cursor* cursor, int, const char*, int, sqlite3_value**) {
      static_cast<RowLeavesCursor*>(cursor)->at = 0;
      return SQLITE_OK;
    };
    m.xNext = [](sqlite3_vtab_cursor* cursor) {
      ++static_cast<RowLeavesCursor*>(cursor)->at;
      return SQLITE_OK;
    };
    m.xEof = [](sqlite3_vtab_cursor* cursor) {
      const auto* table = static_cast<const RowLeavesTable*>(cursor->pVtab);
      return static_cast<int>(static_cast<RowLeavesCursor*>(cursor)->at >= table->pairs->size());
    };
    m.xColumn = [](sqlite3_vtab_cursor* cursor, sqlite3_context* context, int column) {
      const auto* table = static_cast<const RowLeavesTable*>(cursor->pVtab);
      const auto& pair = (*table->pairs)[static_cast<RowLeavesCursor*>(cursor)->at];
      sqlite3_result_int64(context, column == 0 ? pair.first : pair.second);
      return SQLITE_OK;
    };
    m.xRowid = [](sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
      *rowid = static_cast<sqlite3_int64>(static_cast<RowLeavesCursor*>(cursor)->at);
      return SQLITE_OK;
    };
    return m;
  }();
  return module;
}

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// What writing the index needs of the connection.
class IndexWriter {
 public:
  IndexWriter(sqlite3* db, const std::string& table, const std::string& column,
              const std::string& file, const std::atomic<bool>* stop)
      : db_(db), file_(file), stop_(stop), rtree_("rtree_" + table + "_" + column) {}

  [[noreturn]] void Fail(const std::string& what) const {
    if (sqlite3_errcode(db_) == SQLITE_INTERRUPT || (stop_ != nullptr && stop_->load())) {
      throw Interrupted(file_, 0, "interrupted");
    }
    throw OutputError(file_, 0, what + ": " + sqlite3_errmsg(db_));
  }
  void Execute(const std::string& sql) const {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      Fail("cannot build the spatial index " + rtree_);
    }
  }
  Statement Prepare(const std::string& sql) const {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      Fail("cannot build the spatial index " + rtree_);
    }
    return Statement(statement);
  }
  void Step(sqlite3_stmt* statement) const {
    if (sqlite3_step(statement) != SQLITE_DONE) Fail("cannot build the spatial index " + rtree_);
    sqlite3_reset(statement);
  }
  void CheckStop() const {
    if (stop_ != nullptr && stop_->load()) throw Interrupted(file_, 0, "interrupted");
  }

  // Creates the virtual table and learns its node size.
  void Create() {
    Execute("CREATE VIRTUAL TABLE " + Quoted(rtree_) + " USING rtree(id, minx, maxx, miny, maxy)");
    Statement size =
        Prepare("SELECT length(data) FROM " + Quoted(rtree_ + "_node") + " WHERE nodeno = 1");
    if (sqlite3_step(size.get()) != SQLITE_ROW) Fail("cannot read the root of " + rtree_);
    const int bytes = sqlite3_column_int(size.get(), 0);
    // 4 bytes of header, 24 per cell (a 64-bit row and four floats).
    if (bytes < 4 + 2 * 24) Fail("unexpected node size of " + rtree_);
    blob_.assign(static_cast<std::size_t>(bytes), 0);
    capacity_ = (static_cast<std::size_t>(bytes) - 4) / 24;
    insert_node_ = Prepare("INSERT INTO " + Quoted(rtree_ + "_node") + " VALUES (?, ?)");
    if (sqlite3_create_module_v2(db_, kRowLeavesModule, &RowLeavesModule(), &owners_, nullptr) !=
        SQLITE_OK) {
      Fail("cannot build the spatial index " + rtree_);
    }
    insert_rows_ = Prepare("INSERT INTO " + Quoted(rtree_ + "_rowid") + " SELECT row, leaf FROM " +
                           kRowLeavesModule);
    insert_parent_ = Prepare("INSERT INTO " + Quoted(rtree_ + "_parent") + " VALUES (?, ?)");
  }

  std::size_t capacity() const { return capacity_; }

  void Own(sqlite3_stmt* insert, std::int64_t owned, std::int64_t owner) {
    sqlite3_bind_int64(insert, 1, owned);
    sqlite3_bind_int64(insert, 2, owner);
    Step(insert);
  }

  // Writes a node of `count` cells at `depth` above the leaves and returns
  // its enclosing cell; for the root (node 1), replaces the empty one.
  Cell WriteNode(std::int64_t node, int depth, const Cell* cells, std::size_t count) {
    EncodeNode(blob_, node == 1 ? depth : 0, cells, count);
    if (node == 1) {
      Statement root =
          Prepare("UPDATE " + Quoted(rtree_ + "_node") + " SET data = ? WHERE nodeno = 1");
      sqlite3_bind_blob(root.get(), 1, blob_.data(), static_cast<int>(blob_.size()), SQLITE_STATIC);
      Step(root.get());
    } else {
      sqlite3_bind_int64(insert_node_.get(), 1, node);
      sqlite3_bind_blob(insert_node_.get(), 2, blob_.data(), static_cast<int>(blob_.size()),
                        SQLITE_STATIC);
      Step(insert_node_.get());
    }
    if (depth == 0) {
      for (std::size_t i = 0; i < count; ++i) owners_.emplace_back(cells[i].id, node);
    } else {
      for (std::size_t i = 0; i < count; ++i) Own(insert_parent_.get(), cells[i].id, node);
    }
    return Enclosing(node, cells, count);
  }

  // Records which leaf holds each row of the leaves written since the last
  // call, in row order: rows of a run were appended together, so the
  // inserts go to the end of the table's B-tree.
  void RecordRows() {
    if (owners_.empty()) return;
    // A run's rows are numbered closely (a sheet's rows were written one
    // after another): placed by number, they come out in order without a
    // sort.
    const auto [low, high] =
        std::minmax_element(owners_.begin(), owners_.end(),
                            [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::int64_t first = low->first;
    const auto span = static_cast<std::uint64_t>(high->first - first);
    if (span < 4 * owners_.size()) {
      std::vector<std::int64_t> leaf(span + 1, 0);
      for (const auto& [row, node] : owners_) leaf[static_cast<std::size_t>(row - first)] = node;
      owners_.clear();
      for (std::size_t i = 0; i < leaf.size(); ++i) {
        if (leaf[i] != 0) owners_.emplace_back(first + static_cast<std::int64_t>(i), leaf[i]);
      }
    } else {
      std::sort(owners_.begin(), owners_.end());
    }
    Step(insert_rows_.get());
    owners_.clear();
  }

  void WriteTriggersAndExtension(const std::string& table, const std::string& column) {
    const std::string t = Quoted(table);
    const std::string c = Quoted(column);
    const std::string r = Quoted(rtree_);
    const std::string name = "rtree_" + table + "_" + column;
    const std::string insert_values = "INSERT OR REPLACE INTO " + r +
                                      " VALUES (NEW.\"fid\",ST_MinX(NEW." + c + "), ST_MaxX(NEW." +
                                      c + "),ST_MinY(NEW." + c + "), ST_MaxY(NEW." + c + "));";
    Execute("CREATE TRIGGER " + Quoted(name + "_insert") + " AFTER INSERT ON " + t + " WHEN (new." +
            c + " NOT NULL AND NOT ST_IsEmpty(NEW." + c + ")) BEGIN " + insert_values + " END");
    Execute("CREATE TRIGGER " + Quoted(name + "_update1") + " AFTER UPDATE OF " + c + " ON " + t +
            " WHEN OLD.\"fid\" = NEW.\"fid\" AND (NEW." + c + " NOTNULL AND NOT ST_IsEmpty(NEW." +
            c + ")) BEGIN " + insert_values + " END");
    Execute("CREATE TRIGGER " + Quoted(name + "_update2") + " AFTER UPDATE OF " + c + " ON " + t +
            " WHEN OLD.\"fid\" = NEW.\"fid\" AND (NEW." + c + " ISNULL OR ST_IsEmpty(NEW." + c +
            ")) BEGIN DELETE FROM " + r + " WHERE id = OLD.\"fid\"; END");
    Execute("CREATE TRIGGER " + Quoted(name + "_update3") + " AFTER UPDATE ON " + t +
            " WHEN OLD.\"fid\" != NEW.\"fid\" AND (NEW." + c + " NOTNULL AND NOT ST_IsEmpty(NEW." +
            c + ")) BEGIN DELETE FROM " + r + " WHERE id = OLD.\"fid\"; " + insert_values + " END");
    Execute("CREATE TRIGGER " + Quoted(name + "_update4") + " AFTER UPDATE ON " + t +
            " WHEN OLD.\"fid\" != NEW.\"fid\" AND (NEW." + c + " ISNULL OR ST_IsEmpty(NEW." + c +
            ")) BEGIN DELETE FROM " + r + " WHERE id IN (OLD.\"fid\", NEW.\"fid\"); END");
    Execute("CREATE TRIGGER " + Quoted(name + "_delete") + " AFTER DELETE ON " + t + " WHEN old." +
            c + " NOT NULL BEGIN DELETE FROM " + r + " WHERE id = OLD.\"fid\"; END");
    Statement extension = Prepare(
        "INSERT INTO gpkg_extensions (table_name, column_name, extension_name, definition, scope) "
        "VALUES (?, ?, 'gpkg_rtree_index', "
        "'http://www.geopackage.org/spec120/#extension_rtree', 'write-only')");
    sqlite3_bind_text(extension.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(extension.get(), 2, column.c_str(), -1, SQLITE_TRANSIENT);
    Step(extension.get());
  }

 private:
  sqlite3* db_;
  const std::string& file_;
  const std::atomic<bool>* stop_;
  std::string rtree_;
  std::vector<unsigned char> blob_;
  std::size_t capacity_ = 0;
  Statement insert_node_;
  Statement insert_rows_;  // every pair of owners_ into _rowid
  Statement insert_parent_;
  RowLeaves owners_;  // row, leaf
};

}  // namespace

RtreeBuilder::RtreeBuilder(std::string table, std::string column, std::string spool)
    : table_(std::move(table)), column_(std::move(column)), spool_path_(std::move(spool)) {}

RtreeBuilder::~RtreeBuilder() {
  if (spool_ != nullptr) {
    std::fclose(spool_);
    std::remove(spool_path_.c_str());
  }
}

void RtreeBuilder::SortRun(std::vector<RtreeBox>& boxes) { HilbertSort(boxes); }

void RtreeBuilder::AddRun(const std::vector<RtreeBox>& boxes, const std::string& file_in_messages) {
  if (boxes.empty()) return;
  if (spool_ == nullptr) {
    spool_ = std::fopen(spool_path_.c_str(), "w+bx");
    if (spool_ == nullptr) {
      throw OutputError(file_in_messages, 0,
                        "cannot make room for the spatial index: " + SystemMessage(errno));
    }
  }
  std::vector<Cell> cells(boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const RtreeBox& box = boxes[i];
    cells[i] = {box.id, RoundDown(box.minx), RoundUp(box.maxx), RoundDown(box.miny),
                RoundUp(box.maxy)};
  }
  if (std::fwrite(cells.data(), sizeof(Cell), cells.size(), spool_) != cells.size()) {
    throw OutputError(file_in_messages, 0,
                      "cannot keep the spatial index's rows: " + SystemMessage(errno));
  }
  runs_.push_back(cells.size());
  rows_ += cells.size();
}

void RtreeBuilder::AddRowsOf(sqlite3* db, const std::string& run_column,
                             const std::string& file_in_messages, const std::atomic<bool>* stop) {
  const std::string sql = "SELECT rowid, " + Quoted(run_column) + ", " + Quoted(column_) +
                          " FROM " + Quoted(table_) + " WHERE " + Quoted(column_) +
                          " IS NOT NULL ORDER BY rowid";
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    throw OutputError(file_in_messages, 0,
                      "cannot read the rows of " + table_ + ": " + sqlite3_errmsg(db));
  }
  const Statement rows(raw);
  // A run is bounded, so memory stays bounded whatever the table holds.
  constexpr std::size_t kMostInRun = 1 << 20;
  std::vector<RtreeBox> run;
  std::string value;
  const auto flush = [&] {
    if (stop != nullptr && stop->load()) throw Interrupted(file_in_messages, 0, "interrupted");
    SortRun(run);
    AddRun(run, file_in_messages);
    run.clear();
  };
  int result = SQLITE_ROW;
  while ((result = sqlite3_step(raw)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(raw, 1);
    const std::string_view sheet =
        text != nullptr ? std::string_view(reinterpret_cast<const char*>(text),
                                           static_cast<std::size_t>(sqlite3_column_bytes(raw, 1)))
                        : std::string_view();
    if (!run.empty() && (sheet != value || run.size() >= kMostInRun)) flush();
    value.assign(sheet);
    RtreeBox box{sqlite3_column_int64(raw, 0), 0, 0, 0, 0};
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(raw, 2));
    if (blob != nullptr &&
        GpkgBlobBox(blob, static_cast<std::size_t>(sqlite3_column_bytes(raw, 2)), box)) {
      run.push_back(box);
    }
  }
  if (result != SQLITE_DONE) {
    if (stop != nullptr && stop->load()) throw Interrupted(file_in_messages, 0, "interrupted");
    throw OutputError(file_in_messages, 0,
                      "cannot read the rows of " + table_ + ": " + sqlite3_errmsg(db));
  }
  if (!run.empty()) flush();
}

void RtreeBuilder::Write(sqlite3* db, const std::string& file_in_messages,
                         const std::atomic<bool>* stop) const {
  IndexWriter writer(db, table_, column_, file_in_messages, stop);
  writer.Create();
  writer.WriteTriggersAndExtension(table_, column_);
  if (rows_ == 0) return;
  const std::size_t capacity = writer.capacity();
  if (std::fflush(spool_) != 0 || std::fseek(spool_, 0, SEEK_SET) != 0) {
    throw OutputError(file_in_messages, 0,
                      "cannot read back the spatial index's rows: " + SystemMessage(errno));
  }
  auto read_run = [&](std::vector<Cell>& cells, std::size_t count) {
    cells.resize(count);
    if (std::fread(cells.data(), sizeof(Cell), count, spool_) != count) {
      throw OutputError(file_in_messages, 0, "cannot read back the spatial index's rows");
    }
  };
  std::vector<Cell> cells;
  if (rows_ <= capacity) {
    // Every row fits the root, a leaf.
    std::vector<Cell> all;
    for (const std::size_t run : runs_) {
      read_run(cells, run);
      all.insert(all.end(), cells.begin(), cells.end());
    }
    writer.WriteNode(1, 0, all.data(), all.size());
    writer.RecordRows();
    return;
  }
  // Leaves: each run's rows, in Hilbert order, in the fewest leaves of
  // nearly equal fill; leaves are numbered from 2 (1 is the root).
  std::size_t leaves = 0;
  for (const std::size_t run : runs_) leaves += Groups(run, capacity);
  std::int64_t next_node = 2;
  // Parents of the leaves: consecutive leaves (of one sheet, or of sheets
  // listed one after another) in the fewest nodes of nearly equal fill,
  // numbered after the leaves; or the root when it can hold every leaf.
  const bool leaves_under_root = leaves <= capacity;
  const std::size_t parents = leaves_under_root ? 1 : Groups(leaves, capacity);
  std::int64_t next_parent = leaves_under_root ? 1 : 2 + static_cast<std::int64_t>(leaves);
  std::vector<Cell> level;  // the cells of the level being formed above
  std::vector<Cell> pending;
  std::size_t parent_index = 0;
  for (const std::size_t run : runs_) {
    read_run(cells, run);
    const std::size_t groups = Groups(run, capacity);
    std::size_t offset = 0;
    for (std::size_t g = 0; g < groups; ++g) {
      writer.CheckStop();
      const std::size_t size = GroupSize(run, groups, g);
      pending.push_back(writer.WriteNode(next_node++, 0, cells.data() + offset, size));
      offset += size;
      if (!leaves_under_root && pending.size() == GroupSize(leaves, parents, parent_index)) {
        level.push_back(writer.WriteNode(next_parent++, 1, pending.data(), pending.size()));
        pending.clear();
        ++parent_index;
      }
    }
    writer.RecordRows();
  }
  if (leaves_under_root) {
    writer.WriteNode(1, 1, pending.data(), pending.size());
    return;
  }
  // The levels above: few nodes, sorted along the curve over the whole
  // extent, so that sheets listed in any order still share parents with
  // their neighbours.
  int depth = 1;
  while (level.size() > capacity) {
    ++depth;
    HilbertSort(level);
    const std::size_t groups = Groups(level.size(), capacity);
    std::vector<Cell> above;
    std::size_t offset = 0;
    for (std::size_t g = 0; g < groups; ++g) {
      writer.CheckStop();
      const std::size_t size = GroupSize(level.size(), groups, g);
      above.push_back(writer.WriteNode(next_parent++, depth, level.data() + offset, size));
      offset += size;
    }
    level.swap(above);
  }
  writer.WriteNode(1, depth + 1, level.data(), level.size());
}

bool GpkgBlobBox(const unsigned char* blob, std::size_t size, RtreeBox& box) {
  if (size < 8 || blob[0] != 'G' || blob[1] != 'P') return false;
  const unsigned char flags = blob[3];
  if ((flags & 0x10) != 0) return false;  // empty
  const int envelope = (flags >> 1) & 0x07;
  const bool little = (flags & 0x01) != 0;
  auto read_double = [](const unsigned char* p, bool little_endian) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
      const int shift = little_endian ? 8 * i : 8 * (7 - i);
      bits |= static_cast<std::uint64_t>(p[i]) << shift;
    }
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  };
  if (envelope >= 1 && envelope <= 4) {
    if (size < 8 + 32) return false;
    box.minx = read_double(blob + 8, little);
    box.maxx = read_double(blob + 16, little);
    box.miny = read_double(blob + 24, little);
    box.maxy = read_double(blob + 32, little);
    return true;
  }
  if (envelope != 0) return false;
  // No envelope: a point, as written: byte order, type 1, x, y.
  const unsigned char* wkb = blob + 8;
  if (size < 8 + 21) return false;
  const bool wkb_little = wkb[0] == 1;
  std::uint32_t type = 0;
  for (int i = 0; i < 4; ++i) {
    const int shift = wkb_little ? 8 * i : 8 * (3 - i);
    type |= static_cast<std::uint32_t>(wkb[1 + i]) << shift;
  }
  if (type % 1000 != 1) return false;
  const double x = read_double(wkb + 5, wkb_little);
  const double y = read_double(wkb + 13, wkb_little);
  if (std::isnan(x) || std::isnan(y)) return false;
  box.minx = box.maxx = x;
  box.miny = box.maxy = y;
  return true;
}

void EnsureExtensionsTable(sqlite3* db, const std::string& file_in_messages) {
  constexpr const char* kCreate =
      "CREATE TABLE IF NOT EXISTS gpkg_extensions (table_name TEXT,column_name TEXT,"
      "extension_name TEXT NOT NULL,definition TEXT NOT NULL,scope TEXT NOT NULL,"
      "CONSTRAINT ge_tce UNIQUE (table_name, column_name, extension_name))";
  if (sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw OutputError(file_in_messages, 0,
                      std::string("cannot create gpkg_extensions: ") + sqlite3_errmsg(db));
  }
}

}  // namespace quellmark
