// A small MapInfo TAB writer on GDAL/OGR's "MapInfo File" driver, shaped
// after the MITAB calls the converters were written for: create a table, add
// fields, then per feature create, set points, set symbol or pen, set fields,
// write, destroy; finally close.
//
// Text values are code page 932 bytes and reach the .dat file unchanged; the
// finished .tab declares the WindowsJapanese charset so that readers decode
// them. Every GDAL handle is owned by an object here. Tables of different
// threads share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/output_format.h"
#include "layers/styles.h"

namespace quellmark {

// Field and feature types, numbered as MITAB numbers them.
enum class TabFieldType : int { kChar = 1, kInteger = 2 };
enum class TabFeatureType : int { kPoint = 1, kPolyline = 5 };

// A table's extent, and the symbol and pen of a feature, as every format
// describes them.
using TabBounds = Bounds;
using TabSymbol = Symbol;
using TabPen = Pen;

// What MapInfo shows for a feature that sets no style of its own.
inline constexpr TabSymbol kTabDefaultSymbol{35, 12, 0x000000};
inline constexpr TabPen kTabDefaultPen{1, 2, 0x000000};

class TabTable;

// A coordinate system given by a MapInfo "CoordSys" clause, read when a
// table first needs it. Reading a clause looks the datum up in the PROJ
// database, which takes milliseconds, so a sheet's conversion reads it once
// for all its tables. Not for sharing between threads.
class TabCoordSys {
 public:
  explicit TabCoordSys(std::string clause);
  ~TabCoordSys();
  TabCoordSys(const TabCoordSys&) = delete;
  TabCoordSys& operator=(const TabCoordSys&) = delete;

 private:
  friend class TabTable;
  struct Handle;
  std::string clause_;
  std::unique_ptr<Handle> handle_;  // once read
};

// One feature being filled; destroying it is the MITAB "destroy feature".
class TabFeature {
 public:
  TabFeature(TabFeature&&) noexcept;
  TabFeature& operator=(TabFeature&&) noexcept;
  ~TabFeature();

  // Part 0 is the only part. A point takes one vertex; a polyline of one
  // vertex becomes a two-vertex line on that vertex, so that its position is
  // kept (the driver takes no shorter polyline); no vertex leaves the feature
  // without geometry.
  void SetPoints(int part, std::size_t count, const double* x, const double* y);
  void SetSymbol(int number, int size, std::int32_t colour);
  void SetPen(int width, int pattern, std::int32_t colour);
  // The value is CP932 text; character values are cut to the field's width
  // at a character boundary, an integer field takes decimal text.
  void SetField(int index, std::string_view value);

 private:
  friend class TabTable;
  struct Handle;
  TabFeature(std::unique_ptr<Handle> handle, TabFeatureType type, const TabTable* table);

  std::unique_ptr<Handle> handle_;
  TabFeatureType type_;
  const TabTable* table_;
  bool has_symbol_ = false;
  bool has_pen_ = false;
  TabSymbol symbol_{};
  TabPen pen_{};
};

// How a written feature's style was kept.
enum class TabStyleFit : std::uint8_t {
  kExact,
  // The table already held as many different symbols (or pens) as the
  // format can tell apart; the feature got the nearest-coloured one.
  kNearest,
};

class TabTable {
 public:
  // MapInfo tells styles apart by a one-byte index per feature, 0 meaning
  // none: a table holds at most this many different symbols, and as many
  // different pens.
  static constexpr std::size_t kMaxStyles = 255;

  // Creates the table (replacing any earlier one of that name) with the
  // coordinate system and bounds. Throws OutputError, also when the
  // coordinate system's clause cannot be read.
  static TabTable Create(const std::string& path, TabCoordSys& coordsys, const TabBounds& bounds);

  TabTable(const TabTable&) = delete;
  TabTable& operator=(const TabTable&) = delete;
  // Closes a table that was not closed, without finishing its header; the
  // caller removes such a table (RemoveTabFiles).
  ~TabTable();

  // Precision 0, not indexed, not unique. Throws OutputError.
  void AddField(std::string_view name, TabFieldType type, int width);
  // The feature refers to this table and must not outlive it.
  TabFeature CreateFeature(TabFeatureType type) const;
  // Throws OutputError when the driver does not take the feature.
  TabStyleFit WriteFeature(TabFeature& feature);
  // Flushes and closes the table, then declares its charset. Throws
  // OutputError.
  void Close();

  const std::string& path() const { return path_; }

 private:
  friend class TabFeature;
  struct Handle;
  TabTable(std::string path, std::unique_ptr<Handle> handle);

  template <typename Style>
  TabStyleFit Register(std::vector<Style>& known, Style& style);

  std::string path_;
  std::unique_ptr<Handle> handle_;
  std::vector<int> widths_;  // per field; 0 for integer fields
  std::vector<TabSymbol> symbols_;
  std::vector<TabPen> pens_;
};

// Removes a table's files (.tab, .map, .dat, .id, .ind), where they exist.
void RemoveTabFiles(const std::string& tab_path);

}  // namespace quellmark
