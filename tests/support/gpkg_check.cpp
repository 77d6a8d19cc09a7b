#include "support/gpkg_check.h"

#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>

#include <vector>

#include "support/run_program.h"

namespace quellmark::testing {

namespace {

std::vector<std::string> Column(GDALDatasetH dataset, const std::string& sql) {
  std::vector<std::string> values;
  OGRLayerH result = GDALDatasetExecuteSQL(dataset, sql.c_str(), nullptr, nullptr);
  if (result == nullptr) return {"(the query failed: " + sql + ")"};
  while (OGRFeatureH row = OGR_L_GetNextFeature(result)) {
    values.emplace_back(OGR_F_GetFieldAsString(row, 0));
    OGR_F_Destroy(row);
  }
  GDALDatasetReleaseResultSet(dataset, result);
  return values;
}

}  // namespace

void ExpectValidGpkg(const std::string& path) {
  SCOPED_TRACE(path);
  const ProgramResult validated =
      RunProgram("/usr/bin/python3",
                 {"/usr/lib/python3/dist-packages/osgeo_utils/samples/validate_gpkg.py", path});
  EXPECT_EQ(validated.exit_code, 0) << validated.out << validated.err;
  GDALAllRegister();
  GDALDatasetH dataset =
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  ASSERT_NE(dataset, nullptr);
  const std::vector<std::string> tables =
      Column(dataset,
             "SELECT table_name || '|' || column_name FROM gpkg_extensions "
             "WHERE extension_name = 'gpkg_rtree_index'");
  EXPECT_FALSE(tables.empty());
  for (const std::string& entry : tables) {
    const std::string table = entry.substr(0, entry.find('|'));
    const std::string column = entry.substr(entry.find('|') + 1);
    const std::string index = "rtree_" + table + "_" + column;
    EXPECT_EQ(Column(dataset, "SELECT rtreecheck('" + index + "')"), std::vector<std::string>{"ok"})
        << index;
    // Each row with a geometry is in the index once, in a box that holds it.
    const std::string geometry = "t.\"" + column + "\"";
    EXPECT_EQ(Column(dataset, "SELECT (SELECT count(*) FROM \"" + table + "\" t WHERE " + geometry +
                                  " IS NOT NULL AND NOT ST_IsEmpty(" + geometry +
                                  ")) - (SELECT count(*) FROM \"" + index + "\")"),
              std::vector<std::string>{"0"})
        << index;
    EXPECT_EQ(Column(dataset, "SELECT count(*) FROM \"" + table + "\" t JOIN \"" + index +
                                  "\" r ON r.id = t.rowid WHERE r.minx > ST_MinX(" + geometry +
                                  ") OR r.maxx < ST_MaxX(" + geometry + ") OR r.miny > ST_MinY(" +
                                  geometry + ") OR r.maxy < ST_MaxY(" + geometry + ")"),
              std::vector<std::string>{"0"})
        << index;
  }
  GDALClose(dataset);
}

}  // namespace quellmark::testing
