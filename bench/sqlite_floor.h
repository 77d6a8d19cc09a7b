// The plain SQLite floor of a GeoPackage: the tables of a GeoPackage the
// program wrote, read back through SQLite (every column of every row as
// stored, the geometry blobs byte for byte), written again into a new file
// through prepared statements, one transaction per table, with no spatial
// index, no other index and no trigger. What the disk and SQLite allow for
// the same rows. The file is not a whole GeoPackage (no R-tree), only its
// tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "floor.h"

namespace quellmark::bench {

// One table: its CREATE TABLE statement and its rows, column after column.
struct SqliteTable {
  std::string name;
  std::string sql;
  int columns = 0;
  bool features = false;  // a table of gpkg_geometry_columns (a layer's table)
  struct Value {
    int type = 0;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL
    std::uint32_t size = 0;  // text and blob: their bytes at `at` in `bytes`
    union {
      std::int64_t integer = 0;
      double real;
      std::uint64_t at;
    };
  };
  std::vector<Value> values;  // row after row, `columns` per row
  std::string bytes;
  std::size_t rows() const { return columns == 0 ? 0 : values.size() / columns; }
};

// The file's tables, and the header values a GeoPackage sets.
struct SqliteFile {
  int page_size = 4096;
  std::int64_t application_id = 0;
  std::int64_t user_version = 0;
  std::vector<SqliteTable> tables;  // in the order they were created
};

// Reads every ordinary table of the file at `path` (not SQLite's own, not a
// virtual table such as an R-tree, nor the tables it keeps its nodes in).
SqliteFile LoadSqliteTables(const std::string& path);

// Writes them into a new file at `path`: the same page size, application id
// and user version; journal_mode=OFF, synchronous=OFF,
// locking_mode=EXCLUSIVE, a 64 MB page cache; per table, in one
// transaction, its CREATE TABLE statement and its rows through one prepared
// INSERT, values bound as they were read.
void WriteSqliteTables(const SqliteFile& file, const std::string& path);

// What differs between the tables LoadSqliteTables would read from `ours`
// and from `floor` (which tables, their statements, the header values, and
// per row every value, its type and its bytes), "" when nothing does.
std::string SqliteDifferences(const std::string& ours, const std::string& floor);

// Rows of the layers' tables, and those of the largest.
Counts CountFeatures(const SqliteFile& file);

}  // namespace quellmark::bench
