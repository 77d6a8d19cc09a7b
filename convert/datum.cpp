#include "convert/datum.h"

#include <cpl_conv.h>
#include <ogr_spatialref.h>
#include <proj.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "convert/plane_zones.h"
#include "sal/coordinates.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

// Points moved between two looks at the stop flag.
constexpr std::size_t kSlice = 16384;

constexpr int kJgd2000Epsg = 4612;
constexpr int kTokyoEpsg = 4301;

// The coordinate system of an EPSG code as GDAL knows it.
OGRSpatialReference SpatialReference(int epsg) {
  OGRSpatialReference srs;
  if (srs.importFromEPSG(epsg) != OGRERR_NONE) {
    throw std::runtime_error("GDAL does not know EPSG:" + std::to_string(epsg));
  }
  return srs;
}

std::string EsriWkt(int epsg) {
  OGRSpatialReference srs = SpatialReference(epsg);
  srs.morphToESRI();
  char* text = nullptr;
  const OGRErr error = srs.exportToWkt(&text);
  std::string wkt = error == OGRERR_NONE && text != nullptr ? text : "";
  CPLFree(text);
  if (wkt.empty())
    throw std::runtime_error("GDAL cannot write EPSG:" + std::to_string(epsg) + " as ESRI WKT");
  return wkt;
}

std::string MapInfoClause(int epsg) {
  OGRSpatialReference srs = SpatialReference(epsg);
  char* text = nullptr;
  const OGRErr error = srs.exportToMICoordSys(&text);
  std::string clause = error == OGRERR_NONE && text != nullptr ? text : "";
  CPLFree(text);
  if (clause.empty())
    throw std::runtime_error("GDAL has no MapInfo form of EPSG:" + std::to_string(epsg));
  return "CoordSys " + clause;
}

// `make(epsg)`, made once per code for the whole program.
template <typename T>
const T& Once(int epsg, T (*make)(int)) {
  static std::mutex mutex;
  static std::map<std::pair<int, T (*)(int)>, T> made;
  std::lock_guard lock(mutex);
  const auto key = std::make_pair(epsg, make);
  auto found = made.find(key);
  if (found == made.end()) found = made.emplace(key, make(epsg)).first;
  return found->second;
}

ProjectedExtent MakeProjectedExtent(int epsg);

// Moves every point of both point tables through `transformation` in
// place, in slices between which a stop is seen (moving a dense sheet's
// points takes PROJ most of a second). A point that does not move is an
// InputError naming its file and line: "this point cannot be " + `what`.
void TransformTables(OGRCoordinateTransformation& transformation, CoordinateTables& coordinates,
                     const std::string& point_file, const std::string& mh_point_file,
                     const std::atomic<bool>* stop, const std::string& what, std::vector<double>& x,
                     std::vector<double>& y, std::vector<int>& moved);

PointTable& TableOf(CoordinateTables& coordinates, bool mh) {
  return mh ? coordinates.mh_point_table() : coordinates.point_table();
}

}  // namespace

int DatumEpsg(DatumLabel label) {
  switch (label) {
    case DatumLabel::kJgd2000:
      return kJgd2000Epsg;
    case DatumLabel::kTokyo:
      return kTokyoEpsg;
    case DatumLabel::kAsBefore:
      break;
  }
  return 0;
}

int GeographicEpsg(const DatumRule& datum) {
  return datum.Declared() == DatumLabel::kTokyo ? kTokyoEpsg : kJgd2000Epsg;
}

int DeclaredEpsg(const DatumRule& datum) {
  return datum.projected_epsg != 0 ? datum.projected_epsg : GeographicEpsg(datum);
}

int PlaneZoneEpsg(int zone, DatumLabel declared) {
  if (zone < 1 || zone > kPlaneZoneCount) {
    throw std::invalid_argument("the plane rectangular zones are 1 to " +
                                std::to_string(kPlaneZoneCount) + ", not " + std::to_string(zone));
  }
  return (declared == DatumLabel::kTokyo ? 30160 : 2442) + zone;
}

void CheckProjectedCrs(int epsg) {
  OGRSpatialReference srs;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  const OGRErr error = srs.importFromEPSG(epsg);
  CPLPopErrorHandler();
  if (error != OGRERR_NONE) {
    throw std::invalid_argument("PROJ does not know EPSG:" + std::to_string(epsg));
  }
  if (!srs.IsProjected()) {
    throw std::invalid_argument("EPSG:" + std::to_string(epsg) + " (" +
                                (srs.GetName() != nullptr ? srs.GetName() : "unnamed") +
                                ") is not a projected coordinate system");
  }
}

ProjectedExtent ProjectedExtentOf(int epsg) { return Once(epsg, MakeProjectedExtent); }

namespace {

ProjectedExtent MakeProjectedExtent(int epsg) {
  const OGRSpatialReference to = SpatialReference(epsg);
  double west = 0;
  double south = 0;
  double east = 0;
  double north = 0;
  const char* name = nullptr;
  if (!to.GetAreaOfUse(&west, &south, &east, &north, &name) || west >= east || south >= north) {
    throw std::runtime_error("PROJ gives EPSG:" + std::to_string(epsg) + " no area of use");
  }
  OGRSpatialReference from = SpatialReference(kJgd2000Epsg);
  from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  OGRSpatialReference projected = to;
  projected.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  const std::unique_ptr<OGRCoordinateTransformation> transformation(
      OGRCreateCoordinateTransformation(&from, &projected));
  if (!transformation) {
    throw std::runtime_error("PROJ cannot project into EPSG:" + std::to_string(epsg));
  }
  // The area's edges, sampled: a projection bends them.
  constexpr int kSteps = 32;
  ProjectedExtent extent{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (int i = 0; i <= kSteps; ++i) {
    for (int j = 0; j <= kSteps; ++j) {
      if (i != 0 && i != kSteps && j != 0 && j != kSteps) continue;
      double x = west + (east - west) * i / kSteps;
      double y = south + (north - south) * j / kSteps;
      if (!transformation->Transform(1, &x, &y) || !std::isfinite(x) || !std::isfinite(y)) {
        continue;
      }
      extent = {std::min(extent.min_x, x), std::min(extent.min_y, y), std::max(extent.max_x, x),
                std::max(extent.max_y, y)};
    }
  }
  if (!(extent.min_x < extent.max_x && extent.min_y < extent.max_y)) {
    throw std::runtime_error("PROJ cannot project the area of use of EPSG:" + std::to_string(epsg));
  }
  // A tenth of the extent's size on each side, so that points just outside
  // the area of use are kept.
  const double margin = std::max(extent.max_x - extent.min_x, extent.max_y - extent.min_y) / 10;
  return {extent.min_x - margin, extent.min_y - margin, extent.max_x + margin,
          extent.max_y + margin};
}

}  // namespace

std::string ShapefilePrj(const DatumRule& datum) {
  // Made on first use only: the earlier declarations need no GDAL.
  if (datum.projected_epsg == 0 && datum.Declared() == DatumLabel::kAsBefore) {
    return std::string(kAsBeforePrj);
  }
  return Once(DeclaredEpsg(datum), EsriWkt);
}

std::string TabCoordSysClause(const DatumRule& datum) {
  if (datum.projected_epsg == 0 && datum.Declared() == DatumLabel::kAsBefore) {
    return kAsBeforeTabCoordSys;
  }
  return Once(DeclaredEpsg(datum), MapInfoClause);
}

// GDAL moves the points; PROJ, asked the same question, says which of its
// operations it used, which GDAL does not tell.
struct TokyoToJgd2000::Impl {
  ~Impl() {
    if (proj != nullptr) proj_destroy(proj);
    if (context != nullptr) proj_context_destroy(context);
  }

  std::unique_ptr<OGRCoordinateTransformation> transformation;
  PJ_CONTEXT* context = nullptr;
  PJ* proj = nullptr;
  std::vector<double> x;
  std::vector<double> y;
  std::vector<int> moved;

  // The operation PROJ uses at the point, its EPSG code and accuracy.
  std::string Operation(const CoordPoint& point) {
    // EPSG:4301 takes latitude first.
    proj_trans(proj, PJ_FWD, proj_coord(point.latitude, point.longitude, 0, 0));
    PJ* used = proj_trans_get_last_used_operation(proj);
    if (used == nullptr) return "unknown operation";
    std::string text = proj_pj_info(used).description != nullptr ? proj_pj_info(used).description
                                                                 : "unnamed operation";
    const char* authority = proj_get_id_auth_name(used, 0);
    const char* code = proj_get_id_code(used, 0);
    if (authority != nullptr && code != nullptr) text += std::string(", ") + authority + ":" + code;
    const double accuracy = proj_coordoperation_get_accuracy(context, used);
    if (accuracy >= 0) {
      char metres[32];
      std::snprintf(metres, sizeof metres, "%g", accuracy);
      text += std::string(", accuracy ") + metres + " m";
    }
    proj_destroy(used);
    return text;
  }
};

TokyoToJgd2000::TokyoToJgd2000() : impl_(std::make_unique<Impl>()) {
  OGRSpatialReference tokyo = SpatialReference(kTokyoEpsg);
  OGRSpatialReference jgd2000 = SpatialReference(kJgd2000Epsg);
  tokyo.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  jgd2000.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  impl_->transformation.reset(OGRCreateCoordinateTransformation(&tokyo, &jgd2000));
  impl_->context = proj_context_create();
  if (impl_->context != nullptr) {
    impl_->proj = proj_create_crs_to_crs(impl_->context, "EPSG:4301", "EPSG:4612", nullptr);
  }
  if (!impl_->transformation || impl_->proj == nullptr) {
    throw std::runtime_error("PROJ has no transformation from the Tokyo datum to JGD2000");
  }
}

TokyoToJgd2000::~TokyoToJgd2000() = default;

std::string TokyoToJgd2000::Apply(CoordinateTables& coordinates, const std::string& point_file,
                                  const std::string& mh_point_file, const std::atomic<bool>* stop) {
  std::string operation;
  for (const bool mh : {false, true}) {
    const std::span<CoordPoint> points = TableOf(coordinates, mh).points();
    if (!points.empty()) {
      operation = impl_->Operation(points.front());
      break;
    }
  }
  TransformTables(*impl_->transformation, coordinates, point_file, mh_point_file, stop,
                  "moved from the Tokyo datum to JGD2000", impl_->x, impl_->y, impl_->moved);
  return operation;
}

namespace {

void TransformTables(OGRCoordinateTransformation& transformation, CoordinateTables& coordinates,
                     const std::string& point_file, const std::string& mh_point_file,
                     const std::atomic<bool>* stop, const std::string& what, std::vector<double>& x,
                     std::vector<double>& y, std::vector<int>& moved) {
  for (const bool mh : {false, true}) {
    const std::span<CoordPoint> points = TableOf(coordinates, mh).points();
    if (points.empty()) continue;
    x.resize(points.size());
    y.resize(points.size());
    moved.assign(points.size(), 0);
    for (std::size_t i = 0; i < points.size(); ++i) {
      x[i] = points[i].longitude;
      y[i] = points[i].latitude;
    }
    for (std::size_t at = 0; at < points.size(); at += kSlice) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        throw Interrupted(mh ? mh_point_file : point_file, 0, "interrupted");
      }
      const std::size_t n = std::min(kSlice, points.size() - at);
      transformation.Transform(n, x.data() + at, y.data() + at, nullptr, moved.data() + at);
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (moved[i] == 0 || !std::isfinite(x[i]) || !std::isfinite(y[i])) {
        // Point n is line n of its file.
        throw InputError(mh ? mh_point_file : point_file, static_cast<long>(i) + 1,
                         "this point cannot be " + what);
      }
      points[i] = CoordPoint{y[i], x[i]};
    }
  }
}

}  // namespace

struct Projection::Impl {
  std::unique_ptr<OGRCoordinateTransformation> transformation;
  std::vector<double> x;
  std::vector<double> y;
  std::vector<int> moved;
};

Projection::Projection(int from, int to) : from_(from), to_(to), impl_(std::make_unique<Impl>()) {
  OGRSpatialReference source = SpatialReference(from);
  OGRSpatialReference target = SpatialReference(to);
  source.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  target.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  impl_->transformation.reset(OGRCreateCoordinateTransformation(&source, &target));
  if (!impl_->transformation) {
    throw std::runtime_error("PROJ has no operation from EPSG:" + std::to_string(from) +
                             " to EPSG:" + std::to_string(to));
  }
}

Projection::~Projection() = default;

void Projection::Apply(CoordinateTables& coordinates, const std::string& point_file,
                       const std::string& mh_point_file, const std::atomic<bool>* stop) {
  TransformTables(*impl_->transformation, coordinates, point_file, mh_point_file, stop,
                  "projected into EPSG:" + std::to_string(to_), impl_->x, impl_->y, impl_->moved);
}

}  // namespace quellmark
