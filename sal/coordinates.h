// The sheet's coordinate tables: every point number of the layer files
// resolved to longitude and latitude in degrees.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quellmark {

class LayerSet;
class Reporter;

struct CoordPoint {
  double latitude;   // degrees north, the y of the point
  double longitude;  // degrees east, the x of the point
};

// Points numbered from 1 in file order. Holds every point of the file; the
// storage is kept between sheets.
class PointTable {
 public:
  explicit PointTable(std::size_t reserve) { slots_.reserve(reserve); }

  std::int32_t count() const { return static_cast<std::int32_t>(slots_.size()); }
  void Reset() { slots_.clear(); }
  void Append(CoordPoint point) { slots_.push_back(point); }
  // The point with number n; false when there is none (n < 1 or above the count).
  bool Find(std::int32_t n, CoordPoint& point) const {
    if (n < 1 || n > count()) return false;
    point = slots_[static_cast<std::size_t>(n) - 1];
    return true;
  }
  std::size_t capacity() const { return slots_.capacity(); }
  // Every point, in number order, to be moved in place (a change of datum).
  std::span<CoordPoint> points() { return slots_; }

 private:
  std::vector<CoordPoint> slots_;
};

using MhPointTable = PointTable;

class CoordinateTables {
 public:
  static constexpr std::size_t kPointReserve = 400000;
  static constexpr std::size_t kMhPointReserve = 600000;

  CoordinateTables();

  // Loads the set's ".slm", ".slp" and "MH.slp". Returns false when
  // neither point file could be opened. Throws InputError when the ".slm"
  // file is missing or unreadable, when its origin does not convert, or on a
  // read error.
  bool LoadCoordinates(const LayerSet& set);
  // The same for the files sheet_prefix + ".slm", ".slp" and "MH.slp".
  bool LoadCoordinates(const std::string& sheet_prefix);

  // x = longitude, y = latitude of point n. A number with no loaded point
  // yields 0, 0; one above the count is also reported ("over scoordnum",
  // for MH "over scoordnum cd=" + n). Returns whether the point exists.
  bool LookupPoint(std::int32_t n, double& x, double& y, const Reporter& reporter) const;
  bool LookupMhPoint(std::int32_t n, double& x, double& y, const Reporter& reporter) const;

  const PointTable& point_table() const { return point_table_; }
  const MhPointTable& mh_point_table() const { return mh_point_table_; }
  PointTable& point_table() { return point_table_; }
  MhPointTable& mh_point_table() { return mh_point_table_; }
  double x_origin() const { return x_origin_; }
  double y_origin() const { return y_origin_; }

 private:
  PointTable point_table_;
  MhPointTable mh_point_table_;
  double x_origin_ = 0.0;
  double y_origin_ = 0.0;
};

}  // namespace quellmark
