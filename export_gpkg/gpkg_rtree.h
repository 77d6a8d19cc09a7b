// A table's spatial index, the GeoPackage R-tree extension, built in bulk:
// the index's nodes are packed from all rows at once (Hilbert order) and
// written straight into the tables SQLite's R-tree module keeps them in,
// instead of inserting row after row. The result is the R-tree SQLite
// itself reads and maintains: the same virtual table, triggers and
// gpkg_extensions row the GeoPackage standard defines, so later edits in
// any GeoPackage program keep it right.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quellmark {

// A row of the table and the extent of its geometry, in the table's units.
struct RtreeBox {
  std::int64_t id;
  double minx;
  double maxx;
  double miny;
  double maxy;
};

class RtreeBuilder {
 public:
  // The index of `table`'s geometry column `column`. Runs are kept in the
  // file `spool` (a hidden name beside the GeoPackage, made when the first
  // run comes and removed with the builder), so memory does not grow with
  // the rows.
  RtreeBuilder(std::string table, std::string column, std::string spool);
  ~RtreeBuilder();
  RtreeBuilder(const RtreeBuilder&) = delete;
  RtreeBuilder& operator=(const RtreeBuilder&) = delete;

  // Puts a run's rows in the order they are packed in (along a Hilbert
  // curve through their centres). Needs no builder: a run can be sorted on
  // any thread.
  static void SortRun(std::vector<RtreeBox>& boxes);

  // A run of rows that lie close together (one sheet's rows of the table),
  // sorted by SortRun. Rows of a run are packed into leaves of their own.
  // Throws OutputError naming `file_in_messages`.
  void AddRun(const std::vector<RtreeBox>& boxes, const std::string& file_in_messages);

  // Adds every row of the table in `db` with a geometry, read from its
  // geometry blobs in row order, a run for each stretch of rows with one
  // value of `run_column` (a sheet). Checks `stop` between runs. Throws
  // OutputError naming `file_in_messages`, Interrupted.
  void AddRowsOf(sqlite3* db, const std::string& run_column, const std::string& file_in_messages,
                 const std::atomic<bool>* stop);

  // Creates the index in `db` (inside the caller's transaction) from every
  // run added: the R-tree virtual table, its nodes, the triggers that keep
  // it right on later edits and the table's gpkg_extensions row. Checks
  // `stop` between nodes: when set, ends with Interrupted. Throws
  // OutputError naming `file_in_messages`.
  void Write(sqlite3* db, const std::string& file_in_messages, const std::atomic<bool>* stop) const;

 private:
  std::string table_;
  std::string column_;
  std::string spool_path_;
  std::FILE* spool_ = nullptr;
  std::vector<std::size_t> runs_;  // the size of each run, in spool order
  std::size_t rows_ = 0;
};

// The extent of a GeoPackage geometry blob (its header's envelope, or the
// point it holds); false for an empty geometry or a blob that is not one.
bool GpkgBlobBox(const unsigned char* blob, std::size_t size, RtreeBox& box);

// Creates gpkg_extensions in `db` when the file has none yet, as the
// GeoPackage standard defines it. Throws OutputError.
void EnsureExtensionsTable(sqlite3* db, const std::string& file_in_messages);

}  // namespace quellmark
