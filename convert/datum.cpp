#include "convert/datum.h"

#include <cpl_conv.h>
#include <ogr_spatialref.h>
#include <proj.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "sal/coordinates.h"
#include "sal/errors.h"

namespace quellmark {

namespace {

// Points moved between two looks at the stop flag.
constexpr std::size_t kSlice = 16384;

constexpr int kJgd2000Epsg = 4612;
constexpr int kTokyoEpsg = 4301;

// The label's coordinate system as GDAL knows it.
OGRSpatialReference SpatialReference(DatumLabel label) {
  OGRSpatialReference srs;
  if (srs.importFromEPSG(DatumEpsg(label)) != OGRERR_NONE) {
    throw std::runtime_error("GDAL does not know EPSG:" + std::to_string(DatumEpsg(label)));
  }
  return srs;
}

std::string EsriWkt(DatumLabel label) {
  OGRSpatialReference srs = SpatialReference(label);
  srs.morphToESRI();
  char* text = nullptr;
  const OGRErr error = srs.exportToWkt(&text);
  std::string wkt = error == OGRERR_NONE && text != nullptr ? text : "";
  CPLFree(text);
  if (wkt.empty())
    throw std::runtime_error("GDAL cannot write EPSG:" + std::to_string(DatumEpsg(label)) +
                             " as ESRI WKT");
  return wkt;
}

std::string MapInfoClause(DatumLabel label) {
  OGRSpatialReference srs = SpatialReference(label);
  char* text = nullptr;
  const OGRErr error = srs.exportToMICoordSys(&text);
  std::string clause = error == OGRERR_NONE && text != nullptr ? text : "";
  CPLFree(text);
  if (clause.empty())
    throw std::runtime_error("GDAL has no MapInfo datum for EPSG:" +
                             std::to_string(DatumEpsg(label)));
  return "CoordSys " + clause;
}

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

std::string_view ShapefilePrj(DatumLabel label) {
  // Made on first use only: the earlier declarations need no GDAL.
  if (label == DatumLabel::kAsBefore) return kAsBeforePrj;
  static const std::string jgd2000 = EsriWkt(DatumLabel::kJgd2000);
  static const std::string tokyo = EsriWkt(DatumLabel::kTokyo);
  return label == DatumLabel::kTokyo ? tokyo : jgd2000;
}

std::string_view TabCoordSysClause(DatumLabel label) {
  // Made on first use only: the earlier declarations need no GDAL.
  if (label == DatumLabel::kAsBefore) return kAsBeforeTabCoordSys;
  static const std::string jgd2000 = MapInfoClause(DatumLabel::kJgd2000);
  static const std::string tokyo = MapInfoClause(DatumLabel::kTokyo);
  return label == DatumLabel::kTokyo ? tokyo : jgd2000;
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
  OGRSpatialReference tokyo = SpatialReference(DatumLabel::kTokyo);
  OGRSpatialReference jgd2000 = SpatialReference(DatumLabel::kJgd2000);
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
    if (points.empty()) continue;
    if (operation.empty()) operation = impl_->Operation(points.front());
    Impl& t = *impl_;
    t.x.resize(points.size());
    t.y.resize(points.size());
    t.moved.assign(points.size(), 0);
    for (std::size_t i = 0; i < points.size(); ++i) {
      t.x[i] = points[i].longitude;
      t.y[i] = points[i].latitude;
    }
    // In slices, between which a stop is seen: moving a
    // dense sheet's points takes PROJ most of a second.
    for (std::size_t at = 0; at < points.size(); at += kSlice) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        throw Interrupted(mh ? mh_point_file : point_file, 0, "interrupted");
      }
      const std::size_t n = std::min(kSlice, points.size() - at);
      t.transformation->Transform(n, t.x.data() + at, t.y.data() + at, nullptr,
                                  t.moved.data() + at);
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (t.moved[i] == 0 || !std::isfinite(t.x[i]) || !std::isfinite(t.y[i])) {
        // Point n is line n of its file.
        throw InputError(mh ? mh_point_file : point_file, static_cast<long>(i) + 1,
                         "this point cannot be moved from the Tokyo datum to JGD2000");
      }
      points[i] = CoordPoint{t.y[i], t.x[i]};
    }
  }
  return operation;
}

}  // namespace quellmark
