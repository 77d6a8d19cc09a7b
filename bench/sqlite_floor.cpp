#include "sqlite_floor.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>

namespace quellmark::bench {

namespace {

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw std::runtime_error(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

Database Open(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  const int result = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  Database owned(db);
  if (result != SQLITE_OK) Fail(db, "cannot open " + path);
  return owned;
}

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
      SQLITE_OK) {
    Fail(db, "cannot prepare " + sql);
  }
  return Statement(statement);
}

void Exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail(db, "cannot run " + sql);
  }
}

std::int64_t PragmaValue(sqlite3* db, const char* pragma) {
  Statement statement = Prepare(db, std::string("PRAGMA ") + pragma);
  if (sqlite3_step(statement.get()) != SQLITE_ROW) Fail(db, std::string("no ") + pragma);
  return sqlite3_column_int64(statement.get(), 0);
}

std::string Quoted(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

std::string Text(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(text),
                           static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

// The ordinary tables, in the order they were created, with their
// statements: not SQLite's own, not a virtual table (the R-trees), nor the
// tables a virtual table keeps its nodes in.
std::vector<std::pair<std::string, std::string>> OrdinaryTables(sqlite3* db) {
  Statement statement =
      Prepare(db,
              "SELECT name, sql FROM sqlite_schema AS t WHERE type = 'table' "
              "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
              "AND sql NOT LIKE 'CREATE VIRTUAL TABLE%' "
              "AND NOT EXISTS (SELECT 1 FROM sqlite_schema AS v WHERE v.type = 'table' "
              "AND v.sql LIKE 'CREATE VIRTUAL TABLE%' "
              "AND t.name IN (v.name || '_node', v.name || '_rowid', v.name || '_parent')) "
              "ORDER BY rowid");
  std::vector<std::pair<std::string, std::string>> tables;
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    tables.emplace_back(Text(statement.get(), 0), Text(statement.get(), 1));
  }
  return tables;
}

// The layers' tables: those gpkg_geometry_columns names.
std::set<std::string> FeatureTables(sqlite3* db) {
  std::set<std::string> names;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT table_name FROM gpkg_geometry_columns", -1, &raw, nullptr) !=
      SQLITE_OK) {
    return names;  // no such table
  }
  Statement statement(raw);
  while (sqlite3_step(statement.get()) == SQLITE_ROW) names.insert(Text(statement.get(), 0));
  return names;
}

SqliteTable LoadTable(sqlite3* db, const std::string& name, const std::string& sql) {
  SqliteTable table;
  table.name = name;
  table.sql = sql;
  Statement statement = Prepare(db, "SELECT * FROM " + Quoted(name));
  table.columns = sqlite3_column_count(statement.get());
  int result = SQLITE_ROW;
  while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) {
    for (int c = 0; c < table.columns; ++c) {
      SqliteTable::Value value;
      value.type = sqlite3_column_type(statement.get(), c);
      switch (value.type) {
        case SQLITE_INTEGER:
          value.integer = sqlite3_column_int64(statement.get(), c);
          break;
        case SQLITE_FLOAT:
          value.real = sqlite3_column_double(statement.get(), c);
          break;
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
          const void* bytes =
              value.type == SQLITE_TEXT
                  ? static_cast<const void*>(sqlite3_column_text(statement.get(), c))
                  : sqlite3_column_blob(statement.get(), c);
          value.size = static_cast<std::uint32_t>(sqlite3_column_bytes(statement.get(), c));
          value.at = table.bytes.size();
          if (value.size > 0) table.bytes.append(static_cast<const char*>(bytes), value.size);
          break;
        }
        default:
          break;
      }
      table.values.push_back(value);
    }
  }
  if (result != SQLITE_DONE) Fail(db, "cannot read the table " + name);
  return table;
}

}  // namespace

SqliteFile LoadSqliteTables(const std::string& path) {
  Database db = Open(path, SQLITE_OPEN_READONLY);
  SqliteFile file;
  file.page_size = static_cast<int>(PragmaValue(db.get(), "page_size"));
  file.application_id = PragmaValue(db.get(), "application_id");
  file.user_version = PragmaValue(db.get(), "user_version");
  const std::set<std::string> features = FeatureTables(db.get());
  for (const auto& [name, sql] : OrdinaryTables(db.get())) {
    file.tables.push_back(LoadTable(db.get(), name, sql));
    file.tables.back().features = features.count(name) != 0;
  }
  return file;
}

void WriteSqliteTables(const SqliteFile& file, const std::string& path) {
  Database db = Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3* raw = db.get();
  // A file built whole and then put in place: no journal, no syncing, no
  // other process to share it with; the page cache the conversion gives
  // SQLite (64 MB).
  Exec(raw, "PRAGMA page_size = " + std::to_string(file.page_size));
  Exec(raw, "PRAGMA journal_mode = OFF");
  Exec(raw, "PRAGMA synchronous = OFF");
  Exec(raw, "PRAGMA locking_mode = EXCLUSIVE");
  Exec(raw, "PRAGMA cache_size = -65536");
  Exec(raw, "PRAGMA application_id = " + std::to_string(file.application_id));
  Exec(raw, "PRAGMA user_version = " + std::to_string(file.user_version));
  for (const SqliteTable& table : file.tables) {
    Exec(raw, "BEGIN");
    Exec(raw, table.sql);
    std::string insert = "INSERT INTO " + Quoted(table.name) + " VALUES (";
    for (int c = 0; c < table.columns; ++c) insert += c == 0 ? "?" : ",?";
    insert += ")";
    Statement statement = Prepare(raw, insert);
    sqlite3_stmt* s = statement.get();
    const SqliteTable::Value* value = table.values.data();
    for (std::size_t row = 0; row < table.rows(); ++row) {
      for (int c = 1; c <= table.columns; ++c, ++value) {
        switch (value->type) {
          case SQLITE_INTEGER:
            sqlite3_bind_int64(s, c, value->integer);
            break;
          case SQLITE_FLOAT:
            sqlite3_bind_double(s, c, value->real);
            break;
          case SQLITE_TEXT:
            sqlite3_bind_text(s, c, table.bytes.data() + value->at, static_cast<int>(value->size),
                              SQLITE_STATIC);
            break;
          case SQLITE_BLOB:
            sqlite3_bind_blob(s, c, table.bytes.data() + value->at, static_cast<int>(value->size),
                              SQLITE_STATIC);
            break;
          default:
            sqlite3_bind_null(s, c);
        }
      }
      if (sqlite3_step(s) != SQLITE_DONE) Fail(raw, "cannot write a row of " + table.name);
      sqlite3_reset(s);
    }
    statement.reset();
    Exec(raw, "COMMIT");
  }
  sqlite3* closing = db.release();
  if (sqlite3_close(closing) != SQLITE_OK) Fail(closing, "cannot close " + path);
}

namespace {

void Differ(std::string& out, int& count, const std::string& what) {
  if (++count <= 8) {
    out += what + "; ";
  } else if (count == 9) {
    out += "...; ";
  }
}

bool SameValue(sqlite3_stmt* a, sqlite3_stmt* b, int column) {
  const int type = sqlite3_column_type(a, column);
  if (type != sqlite3_column_type(b, column)) return false;
  switch (type) {
    case SQLITE_INTEGER:
      return sqlite3_column_int64(a, column) == sqlite3_column_int64(b, column);
    case SQLITE_FLOAT: {
      const double x = sqlite3_column_double(a, column);
      const double y = sqlite3_column_double(b, column);
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const void* x = type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(a, column))
                                          : sqlite3_column_blob(a, column);
      const void* y = type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(b, column))
                                          : sqlite3_column_blob(b, column);
      const int size = sqlite3_column_bytes(a, column);
      return size == sqlite3_column_bytes(b, column) &&
             (size == 0 || std::memcmp(x, y, static_cast<std::size_t>(size)) == 0);
    }
    default:
      return true;
  }
}

void CompareTable(sqlite3* a, sqlite3* b, const std::string& name, std::string& out, int& count) {
  const std::string select = "SELECT * FROM " + Quoted(name);
  Statement sa = Prepare(a, select);
  Statement sb = Prepare(b, select);
  const int columns = sqlite3_column_count(sa.get());
  if (columns != sqlite3_column_count(sb.get())) {
    Differ(out, count, name + ": number of columns");
    return;
  }
  for (std::size_t row = 1;; ++row) {
    const int ra = sqlite3_step(sa.get());
    const int rb = sqlite3_step(sb.get());
    if (ra != SQLITE_ROW || rb != SQLITE_ROW) {
      if (ra != rb) Differ(out, count, name + ": number of rows");
      return;
    }
    for (int c = 0; c < columns; ++c) {
      if (!SameValue(sa.get(), sb.get(), c)) {
        Differ(out, count,
               name + ": row " + std::to_string(row) + " " + sqlite3_column_name(sa.get(), c));
      }
    }
  }
}

}  // namespace

std::string SqliteDifferences(const std::string& ours, const std::string& floor) {
  Database a = Open(ours, SQLITE_OPEN_READONLY);
  Database b = Open(floor, SQLITE_OPEN_READONLY);
  std::string out;
  int count = 0;
  for (const char* pragma : {"page_size", "application_id", "user_version"}) {
    if (PragmaValue(a.get(), pragma) != PragmaValue(b.get(), pragma)) {
      Differ(out, count, pragma);
    }
  }
  const auto tables_a = OrdinaryTables(a.get());
  const auto tables_b = OrdinaryTables(b.get());
  if (tables_a != tables_b) Differ(out, count, "the tables or their statements");
  for (const auto& table : tables_a) {
    if (std::find(tables_b.begin(), tables_b.end(), table) == tables_b.end()) continue;
    CompareTable(a.get(), b.get(), table.first, out, count);
  }
  return out;
}

Counts CountFeatures(const SqliteFile& file) {
  Counts counts;
  for (const SqliteTable& table : file.tables) {
    if (!table.features) continue;
    counts.features += table.rows();
    counts.largest_table = std::max(counts.largest_table, table.rows());
  }
  return counts;
}

}  // namespace quellmark::bench
