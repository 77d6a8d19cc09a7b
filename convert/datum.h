// The geodetic datum of a sheet's positions: what the tables declare, and
// the move of Tokyo-datum positions onto JGD2000. Sheets published before
// Japan's datum changed in 2002 are on the Tokyo datum, later ones on
// JGD2000; the sheet itself does not say which, so the user does.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quellmark {

class CoordinateTables;

// What the tables declare.
enum class DatumLabel : std::uint8_t {
  kAsBefore,  // the declarations the tables always carried (GRS 80 for TAB)
  kJgd2000,   // EPSG:4612
  kTokyo,     // EPSG:4301
};

struct DatumRule {
  DatumLabel label = DatumLabel::kAsBefore;
  // Move every position from the Tokyo datum onto JGD2000; the tables then
  // declare JGD2000 whatever `label` says.
  bool to_jgd2000 = false;
  // A projected coordinate system (its EPSG code) every position is then
  // written in, through PROJ, from the datum's longitude and latitude
  // (JGD2000 unless Tokyo is declared); 0 for longitude and latitude.
  int projected_epsg = 0;

  // The datum the positions are on.
  DatumLabel Declared() const { return to_jgd2000 ? DatumLabel::kJgd2000 : label; }
};

// The EPSG code of the geographic coordinate system a label names; 0 for
// kAsBefore.
int DatumEpsg(DatumLabel label);

// The EPSG code of the longitude and latitude the positions are on: the
// datum's, JGD2000 unless Tokyo is declared.
int GeographicEpsg(const DatumRule& datum);

// The EPSG code of the system the tables declare: the projected one when
// one is chosen, else GeographicEpsg.
int DeclaredEpsg(const DatumRule& datum);

// The EPSG code of a plane rectangular coordinate system zone (1 to 19) of
// Japan on the datum: JGD2000 (EPSG:2443 to 2461) unless Tokyo is declared
// (EPSG:30161 to 30179). Throws std::invalid_argument for another zone.
int PlaneZoneEpsg(int zone, DatumLabel declared);

// Throws std::invalid_argument, saying why, unless PROJ knows `epsg` as a
// projected coordinate system.
void CheckProjectedCrs(int epsg);

// The extent a projected system's positions of Japan lie in: its area of
// use, projected, with a margin; worked out once per system. Throws
// std::runtime_error when PROJ gives the system no area of use.
struct ProjectedExtent {
  double min_x;
  double min_y;
  double max_x;
  double max_y;
};
ProjectedExtent ProjectedExtentOf(int epsg);

// A shapefile's ".prj" text: the ESRI form of the system the tables declare.
std::string ShapefilePrj(const DatumRule& datum);

// A TAB table's "CoordSys ..." clause: MapInfo's form of the system the
// tables declare.
std::string TabCoordSysClause(const DatumRule& datum);

// The declarations the tables carried before a datum could be chosen.
inline constexpr std::string_view kAsBeforePrj =
    "GEOGCS[\"GCS_JGD_2000\",DATUM[\"D_JGD_2000\",SPHEROID[\"GRS_1980\",6378137.0,"
    "298.257222101]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";
inline constexpr char kAsBeforeTabCoordSys[] = "CoordSys Earth Projection 1, 33";

// Moves positions from the Tokyo datum (EPSG:4301) onto JGD2000 (EPSG:4612)
// with the most accurate operation PROJ has: the tky2jgd grid where it is
// installed, otherwise the EPSG Helmert transformation. Creating one takes
// milliseconds; one converter serves one thread at a time.
class TokyoToJgd2000 {
 public:
  // Throws std::runtime_error when PROJ has no operation between the two.
  TokyoToJgd2000();
  ~TokyoToJgd2000();
  TokyoToJgd2000(const TokyoToJgd2000&) = delete;
  TokyoToJgd2000& operator=(const TokyoToJgd2000&) = delete;

  // Moves every point of both point tables in place. Returns the operation
  // PROJ uses for the sheet's first point ("Tokyo to JGD2000 (1), EPSG:15483,
  // accuracy 9 m"), empty when the sheet has no point. Throws InputError
  // naming the point file (`point_file`, `mh_point_file`) and the line of a
  // point that cannot be moved; Interrupted, naming the point file, soon
  // after `stop` (may be null) is set, the points then partly moved.
  std::string Apply(CoordinateTables& coordinates, const std::string& point_file,
                    const std::string& mh_point_file, const std::atomic<bool>* stop = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Projects positions from longitude and latitude (EPSG `from`) into a
// projected system (EPSG `to`) through PROJ: x east, y north, as GIS
// programs take them. One projection serves one thread at a time.
class Projection {
 public:
  // Throws std::runtime_error when PROJ has no operation between the two.
  Projection(int from, int to);
  ~Projection();
  Projection(const Projection&) = delete;
  Projection& operator=(const Projection&) = delete;

  int from() const { return from_; }
  int to() const { return to_; }
  // Projects every point of both point tables in place: a point's
  // longitude becomes its x, its latitude its y. Throws InputError naming
  // the point file and the line of a point that cannot be projected;
  // Interrupted soon after `stop` (may be null) is set.
  void Apply(CoordinateTables& coordinates, const std::string& point_file,
             const std::string& mh_point_file, const std::atomic<bool>* stop = nullptr);

 private:
  int from_;
  int to_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quellmark
