// A format added through GDAL by its folder and one registry line converts
// a real sheet from the command line: every table, every row, every value
// and position as the GeoPackage holds them.
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "support/lha_builder.h"
#include "support/run_program.h"
#include "support/test_support.h"
#include "tools/gen/layerset_generator.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;

struct Dataset {
  explicit Dataset(const std::string& path)
      : handle(GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr,
                          nullptr)) {}
  ~Dataset() {
    if (handle != nullptr) GDALClose(handle);
  }
  GDALDatasetH handle;
};

TEST(GeoJsonFormatTest, ConvertsEveryTableAsTheGeoPackageHoldsIt) {
  GDALAllRegister();
  testing::TempDir dir;
  std::vector<lhatest::Member> members;
  for (const auto& file : gen::GenerateLayerSet({}).files) {
    members.emplace_back("533945" + file.name.substr(6), file.bytes);
  }
  const std::string archive = dir / "533945.lzh";
  testing::WriteFile(archive, lhatest::BuildLevel2(members));

  const testing::ProgramResult help = testing::RunProgram(QUELLMARK_CONVERT_GEOJSON, {"--help"});
  EXPECT_NE(help.out.find("geojson "), std::string::npos) << help.out;

  for (const char* format : {"geojson", "gpkg"}) {
    const testing::ProgramResult run =
        testing::RunProgram(QUELLMARK_CONVERT_GEOJSON,
                            {"--quiet", "--format", format, "--output", dir / format, archive});
    ASSERT_EQ(run.exit_code, 0) << run.err;
  }
  Dataset gpkg(dir / "gpkg/533945.gpkg");
  ASSERT_NE(gpkg.handle, nullptr);
  int tables = 0;
  long rows = 0;
  for (int t = 0; t < GDALDatasetGetLayerCount(gpkg.handle); ++t) {
    OGRLayerH expected = GDALDatasetGetLayer(gpkg.handle, t);
    const std::string code = OGR_L_GetName(expected);
    if (code.size() != 2) continue;  // layer_styles
    SCOPED_TRACE(code);
    ++tables;
    Dataset json(dir / ("geojson/533945" + code + ".geojson"));
    ASSERT_NE(json.handle, nullptr);
    OGRLayerH got = GDALDatasetGetLayer(json.handle, 0);
    ASSERT_EQ(OGR_L_GetFeatureCount(got, TRUE), OGR_L_GetFeatureCount(expected, TRUE));
    OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(got);
    ASSERT_NE(srs, nullptr);
    EXPECT_STREQ(OSRGetAuthorityCode(srs, nullptr), "4612");
    OGR_L_ResetReading(expected);
    OGR_L_ResetReading(got);
    OGRFeatureDefnH layout = OGR_L_GetLayerDefn(expected);
    while (OGRFeatureH want = OGR_L_GetNextFeature(expected)) {
      OGRFeatureH have = OGR_L_GetNextFeature(got);
      ASSERT_NE(have, nullptr);
      ++rows;
      for (int f = 0; f < OGR_FD_GetFieldCount(layout); ++f) {
        const char* name = OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(layout, f));
        const int index = OGR_F_GetFieldIndex(have, name);
        ASSERT_GE(index, 0) << name;
        ASSERT_EQ(OGR_F_IsFieldSetAndNotNull(have, index), OGR_F_IsFieldSetAndNotNull(want, f))
            << name;
        EXPECT_STREQ(OGR_F_GetFieldAsString(have, index), OGR_F_GetFieldAsString(want, f)) << name;
      }
      OGRGeometryH a = OGR_F_GetGeometryRef(want);
      OGRGeometryH b = OGR_F_GetGeometryRef(have);
      ASSERT_EQ(a == nullptr, b == nullptr);
      if (a != nullptr) {
        ASSERT_EQ(OGR_G_GetPointCount(a), OGR_G_GetPointCount(b));
        for (int i = 0; i < OGR_G_GetPointCount(a); ++i) {
          EXPECT_NEAR(OGR_G_GetX(a, i), OGR_G_GetX(b, i), 1e-9);
          EXPECT_NEAR(OGR_G_GetY(a, i), OGR_G_GetY(b, i), 1e-9);
        }
      }
      OGR_F_Destroy(want);
      OGR_F_Destroy(have);
    }
  }
  EXPECT_EQ(tables, 17);
  EXPECT_GE(rows, 17);
}

}  // namespace
}  // namespace quellmark
