// The datum a sheet's tables declare, as GDAL reads it back, and the move of
// Tokyo-datum positions onto JGD2000, against PROJ's own operations.
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <proj.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "convert/sheet_conversion.h"
#include "export_gpkg/gpkg_format.h"
#include "export_shape/shapefile_format.h"
#include "export_tab/tab_format.h"
#include "sal/errors.h"
#include "support/table_reader.h"
#include "support/test_support.h"
#include "tools/gen/layerset_generator.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;

// What the shapefiles' .prj files held before a datum could be chosen.
constexpr std::string_view kEarlierPrj =
    "GEOGCS[\"GCS_JGD_2000\",DATUM[\"D_JGD_2000\",SPHEROID[\"GRS_1980\",6378137.0,"
    "298.257222101]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";

class Datum : public ::testing::Test {
 protected:
  void SetUp() override { gen::WriteLayerSet(gen::GenerateLayerSet({}), dir.path() / "533945"); }
  // Converts the sheet into dir/OUT/533945*; the operations reported.
  std::vector<std::string> Convert(const OutputFormat& format, DatumRule datum,
                                   const std::string& out) {
    fs::create_directories(dir.path() / out);
    std::vector<std::string> operations;
    ExportContext context{state, &notifier, {}};
    context.datum_moved = [&operations](std::string_view operation) {
      operations.emplace_back(operation);
    };
    ConvertSheet(dir / "533945/533945", dir / (out + "/533945"), format, context, datum);
    return operations;
  }
  // Every table's main file in dir/OUT.
  std::vector<std::string> Tables(const OutputFormat& format, const std::string& out) const {
    std::vector<std::string> tables;
    const std::string extension = &format == &TabFormat() ? ".tab" : ".shp";
    for (const auto& entry : fs::directory_iterator(dir.path() / out)) {
      if (entry.path().extension() == extension) tables.push_back(entry.path().string());
    }
    std::sort(tables.begin(), tables.end());
    return tables;
  }

  testing::TempDir dir;
  SheetState state;
  testing::RecordingNotifier notifier;
};

TEST_F(Datum, EveryTableDeclaresTheChosenDatumAsGdalReadsIt) {
  struct Case {
    const char* name;
    const OutputFormat* format;
    DatumRule datum;
    const char* coordsys;  // the MapInfo clause GDAL derives from the table
    const char* crs;       // what GDAL and PROJ recognise; "" none or several
  } cases[] = {
      {"shape as before", &ShapefileFormat(), {}, "Earth Projection 1, 152", "EPSG:4612"},
      {"shape jgd2000",
       &ShapefileFormat(),
       {DatumLabel::kJgd2000},
       "Earth Projection 1, 152",
       "EPSG:4612"},
      {"shape tokyo",
       &ShapefileFormat(),
       {DatumLabel::kTokyo},
       "Earth Projection 1, 97",
       "EPSG:4301"},
      {"shape moved",
       &ShapefileFormat(),
       {DatumLabel::kAsBefore, true},
       "Earth Projection 1, 152",
       "EPSG:4612"},
      // GRS 80 without a datum: many coordinate systems, none recognised.
      {"tab as before", &TabFormat(), {}, "Earth Projection 1, 33", ""},
      {"tab jgd2000", &TabFormat(), {DatumLabel::kJgd2000}, "Earth Projection 1, 152", "EPSG:4612"},
      {"tab tokyo", &TabFormat(), {DatumLabel::kTokyo}, "Earth Projection 1, 97", "EPSG:4301"},
      {"tab moved",
       &TabFormat(),
       {DatumLabel::kJgd2000, true},
       "Earth Projection 1, 152",
       "EPSG:4612"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Convert(*c.format, c.datum, c.name);
    const std::vector<std::string> tables = Tables(*c.format, c.name);
    ASSERT_EQ(tables.size(), 17u);
    int checked = 0;
    for (const std::string& table : tables) {
      SCOPED_TRACE(table);
      const testing::ReadTable read = testing::ReadTableBack(table);
      // GDAL writes no map file, and so no coordinate system, for a TAB
      // table without features (this sheet's TO).
      if (c.format == &TabFormat() && read.features.empty()) continue;
      ++checked;
      EXPECT_EQ(read.coordsys, c.coordsys);
      EXPECT_EQ(read.crs, c.crs);
      if (c.format == &ShapefileFormat() && c.datum.Declared() == DatumLabel::kAsBefore) {
        EXPECT_EQ(testing::ReadFile(fs::path(table).replace_extension(".prj")), kEarlierPrj);
      }
    }
    EXPECT_GE(checked, 16);
  }

  // A GeoPackage declares JGD2000 unless Tokyo is chosen, in every table.
  const struct {
    const char* name;
    DatumRule datum;
    const char* epsg;
  } packages[] = {{"gpkg as before", {}, "4612"},
                  {"gpkg tokyo", {DatumLabel::kTokyo}, "4301"},
                  {"gpkg moved", {DatumLabel::kTokyo, true}, "4612"}};
  for (const auto& p : packages) {
    SCOPED_TRACE(p.name);
    Convert(GpkgFormat(), p.datum, p.name);
    GDALDatasetH gpkg = GDALOpenEx((dir / p.name + "/533945.gpkg").c_str(), GDAL_OF_VECTOR, nullptr,
                                   nullptr, nullptr);
    ASSERT_NE(gpkg, nullptr);
    int tables = 0;
    for (int i = 0; i < GDALDatasetGetLayerCount(gpkg); ++i) {
      OGRLayerH layer = GDALDatasetGetLayer(gpkg, i);
      if (OGR_L_GetGeomType(layer) == wkbNone) continue;  // layer_styles
      ++tables;
      OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(layer);
      ASSERT_NE(srs, nullptr);
      EXPECT_STREQ(OSRGetAuthorityCode(srs, nullptr), p.epsg);
    }
    EXPECT_EQ(tables, 17);
    GDALClose(gpkg);
  }
}

// Metres between two longitude/latitude positions a few hundred metres apart.
double Metres(double x1, double y1, double x2, double y2) {
  constexpr double kMetresPerDegree = 6378137.0 * M_PI / 180.0;
  const double dx = (x2 - x1) * std::cos(y1 * M_PI / 180.0);
  return std::hypot(dx, y2 - y1) * kMetresPerDegree;
}

struct ProjDeleter {
  void operator()(PJ* p) const { proj_destroy(p); }
};
struct ContextDeleter {
  void operator()(PJ_CONTEXT* c) const { proj_context_destroy(c); }
};

// The EPSG operation PROJ should use: the tky2jgd grid (EPSG:6712) where it
// is installed, otherwise the Helmert transformation (EPSG:15483). Each is
// applied here on its own, not through the converter's choice.
TEST_F(Datum, ToJgd2000MovesEveryPositionByProjsMostAccurateOperation) {
  // Quiet: PROJ logs a missing grid.
  std::unique_ptr<PJ_CONTEXT, ContextDeleter> quiet(proj_context_create());
  proj_log_level(quiet.get(), PJ_LOG_NONE);
  std::unique_ptr<PJ, ProjDeleter> grid(
      proj_create(quiet.get(), "urn:ogc:def:coordinateOperation:EPSG::6712"));
  const bool grid_installed = grid && proj_coordoperation_is_instantiable(quiet.get(), grid.get());
  const char* code = grid_installed ? "6712" : "15483";
  std::unique_ptr<PJ, ProjDeleter> expected(
      proj_create(nullptr, (std::string("urn:ogc:def:coordinateOperation:EPSG::") + code).c_str()));
  ASSERT_TRUE(expected);

  for (const OutputFormat* format : {&ShapefileFormat(), &TabFormat()}) {
    const std::string id(format->id());
    const std::string extension = format == &TabFormat() ? ".tab" : ".shp";
    SCOPED_TRACE(id);
    EXPECT_TRUE(Convert(*format, {}, id + "-tokyo").empty());
    const std::vector<std::string> operations =
        Convert(*format, {DatumLabel::kAsBefore, true}, id + "-moved");
    ASSERT_EQ(operations.size(), 1u);
    EXPECT_NE(operations[0].find(std::string("EPSG:") + code), std::string::npos) << operations[0];

    int compared = 0;
    for (const char* layer : {"CM", "DK", "MH"}) {
      SCOPED_TRACE(layer);
      const testing::ReadTable tokyo =
          testing::ReadTableBack(dir / (id + "-tokyo/533945" + layer + extension));
      const testing::ReadTable moved =
          testing::ReadTableBack(dir / (id + "-moved/533945" + layer + extension));
      ASSERT_EQ(moved.features.size(), tokyo.features.size());
      for (std::size_t f = 0; f < tokyo.features.size(); ++f) {
        ASSERT_EQ(moved.features[f].x.size(), tokyo.features[f].x.size());
        for (std::size_t v = 0; v < tokyo.features[f].x.size(); ++v) {
          const double x = tokyo.features[f].x[v];
          const double y = tokyo.features[f].y[v];
          if (x == 0.0 && y == 0.0) continue;  // no position
          // EPSG:4301 and EPSG:4612 take latitude first.
          const PJ_COORD want = proj_trans(expected.get(), PJ_FWD, proj_coord(y, x, 0, 0));
          const double got_x = moved.features[f].x[v];
          const double got_y = moved.features[f].y[v];
          ASSERT_LT(Metres(want.xy.y, want.xy.x, got_x, got_y), 0.5)
              << "feature " << f << " vertex " << v;
          ASSERT_GT(Metres(x, y, got_x, got_y), 100.0) << "feature " << f << " vertex " << v;
          ++compared;
        }
      }
    }
    EXPECT_GE(compared, 15);
  }

  // A stop is seen while the points are moved, before any table is begun.
  const std::atomic<bool> stop{true};
  ExportContext context{state, &notifier, {}};
  context.stop = &stop;
  fs::create_directories(dir.path() / "stopped");
  try {
    ConvertSheet(dir / "533945/533945", dir / "stopped/533945", ShapefileFormat(), context,
                 {DatumLabel::kAsBefore, true});
    ADD_FAILURE() << "not stopped";
  } catch (const Interrupted& e) {
    EXPECT_EQ(e.file(), dir / "533945/533945.slp");
  }
  EXPECT_TRUE(fs::is_empty(dir.path() / "stopped"));
}

}  // namespace
}  // namespace quellmark
