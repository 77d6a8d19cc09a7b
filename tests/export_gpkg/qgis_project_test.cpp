// The QGIS project stored in a GeoPackage, opened by QGIS itself (its
// Python bindings): the layers drawn from the file they are stored in, also
// after the file moved, in their groups and drawing order, styled by their
// QML, at the sheet's extent. And the row as QGIS keeps it, read with
// SQLite.
#include "export_gpkg/qgis_project.h"

#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sal/errors.h"
#include "support/run_program.h"
#include "support/test_support.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using testing::ProgramResult;
using testing::RunProgram;
using testing::TempDir;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kChecker = QUELLMARK_QGIS_PROJECT_CHECKER;

// Two line tables and a point table, each row with a name.
void MakeGpkg(const std::string& path) {
  GDALAllRegister();
  GDALDatasetH dataset =
      GDALCreate(GDALGetDriverByName("GPKG"), path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
  ASSERT_NE(dataset, nullptr);
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  OSRImportFromEPSG(srs, 4612);
  OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
  struct Table {
    const char* name;
    OGRwkbGeometryType type;
    std::vector<std::string> rows;
  };
  const Table tables[] = {
      {"DK",
       wkbLineString,
       {"LINESTRING (139.0 35.6, 139.1 35.62)", "LINESTRING (139.1 35.62, 139.3 35.65)"}},
      {"EK", wkbLineString, {"LINESTRING (139.0 35.65, 139.3 35.6)"}},
      {"CM", wkbPoint, {"POINT (139.05 35.61)", "POINT (139.2 35.64)", "POINT (139.25 35.63)"}},
  };
  for (const Table& table : tables) {
    OGRLayerH layer = GDALDatasetCreateLayer(dataset, table.name, srs, table.type, nullptr);
    ASSERT_NE(layer, nullptr);
    OGRFieldDefnH field = OGR_Fld_Create("name", OFTString);
    OGR_L_CreateField(layer, field, TRUE);
    OGR_Fld_Destroy(field);
    int i = 0;
    for (const std::string& wkt : table.rows) {
      OGRFeatureH feature = OGR_F_Create(OGR_L_GetLayerDefn(layer));
      OGR_F_SetFieldString(feature, 0, ("名前" + std::to_string(i++)).c_str());
      OGRGeometryH geometry = nullptr;
      char* text = const_cast<char*>(wkt.c_str());
      OGR_G_CreateFromWkt(&text, srs, &geometry);
      OGR_F_SetGeometryDirectly(feature, geometry);
      EXPECT_EQ(OGR_L_CreateFeature(layer, feature), OGRERR_NONE);
      OGR_F_Destroy(feature);
    }
  }
  OSRRelease(srs);
  GDALClose(dataset);
}

// A QML document: the root's attributes, a renderer, a labelling.
std::string Qml(const std::string& attributes, const std::string& renderer,
                const std::string& labeling = "") {
  return "<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n"
         "<qgis version=\"3.22.0\" styleCategories=\"Symbology|Labeling\" " +
         attributes + ">" + renderer + labeling + "</qgis>";
}

std::string Symbol(const char* type, const char* symbol_class, const char* colour_key,
                   const char* colour) {
  return std::string(R"(<symbols><symbol type=")") + type + R"(" name="0" alpha="1">)" +
         R"(<layer class=")" + symbol_class + R"(" enabled="1" pass="0">)" + R"(<prop k=")" +
         colour_key + R"(" v=")" + colour + R"("/></layer></symbol></symbols>)";
}

std::string SingleSymbol(const std::string& symbol) {
  return R"(<renderer-v2 type="singleSymbol">)" + symbol + "</renderer-v2>";
}

// One rule, drawing the rows not named 境界; its label and filter hold
// characters XML escapes.
std::string OneRule(const std::string& symbol) {
  return R"(<renderer-v2 type="RuleRenderer"><rules key="root">)"
         R"(<rule key="r0" symbol="0" label="境界 &amp; 線" filter="&quot;name&quot; &lt;&gt; '境界'"/>)"
         "</rules>" +
         symbol + "</renderer-v2>";
}

constexpr const char* kNameLabels =
    R"(<labeling type="simple"><settings><text-style fieldName="name" fontSize="9"/>)"
    "</settings></labeling>";

ProjectRequest Request() {
  ProjectRequest request;
  request.name = "533945";
  request.file_name = "533945.gpkg";
  request.epsg = 4612;
  request.minx = 139.0;
  request.miny = 35.6;
  request.maxx = 139.3;
  request.maxy = 35.65;
  request.layers = {
      {"DK", "DK 道路", "道路", true, ProjectGeometry::kLine,
       Qml(R"(hasScaleBasedVisibilityFlag="1" minScale="50000" maxScale="1000" labelsEnabled="1")",
           SingleSymbol(Symbol("line", "SimpleLine", "line_color", "200,10,20,255")), kNameLabels)},
      {"EK", "EK 境界", "境界", true, ProjectGeometry::kLine,
       Qml(R"(labelsEnabled="0")", OneRule(Symbol("line", "SimpleLine", "line_color", "0,120,0")))},
      {"CM", "CM 記号", "道路", false, ProjectGeometry::kPoint,
       Qml(R"(hasScaleBasedVisibilityFlag="1" minScale="25000" maxScale="0" labelsEnabled="0")",
           SingleSymbol(Symbol("marker", "SimpleMarker", "color", "10,20,200,255")))},
  };
  // Points over lines across the groups.
  request.drawing_order = {"CM", "DK", "EK"};
  return request;
}

// What QGIS should make of Request(), for the checker.
constexpr const char* kExpected = R"({
  "name": "533945",
  "title": "533945",
  "epsg": 4612,
  "extent": [139.0, 35.6, 139.3, 35.65],
  "tree": [
    {"title": "道路", "layers": [
      {"table": "DK", "title": "DK 道路", "visible": true},
      {"table": "CM", "title": "CM 記号", "visible": false}]},
    {"title": "境界", "layers": [
      {"table": "EK", "title": "EK 境界", "visible": true}]}
  ],
  "drawing_order": ["CM", "DK", "EK"],
  "styles": {
    "DK": {"rows": 2, "renderer": "singleSymbol", "colour": "#c80a14", "scale_based": true,
           "min_scale": 50000, "max_scale": 1000, "labels": true},
    "EK": {"rows": 1, "renderer": "RuleRenderer", "colour": "#007800", "scale_based": false,
           "labels": false},
    "CM": {"rows": 3, "renderer": "singleSymbol", "colour": "#0a14c8", "scale_based": true,
           "min_scale": 25000, "max_scale": 0, "labels": false}
  }
})";

struct Connection {
  explicit Connection(const std::string& path, int flags = SQLITE_OPEN_READWRITE) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, flags, nullptr), SQLITE_OK);
  }
  ~Connection() { sqlite3_close(db); }
  std::vector<std::string> Column(const std::string& sql) const {
    std::vector<std::string> values;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      return {std::string("(failed: ") + sqlite3_errmsg(db) + ")"};
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(statement, 0);
      values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(statement);
    return values;
  }
  sqlite3* db = nullptr;
};

void Store(const std::string& path, const ProjectRequest& request) {
  Connection connection(path);
  ASSERT_EQ(sqlite3_exec(connection.db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
  StoreQgisProject(connection.db, request.name, QgisProjectXml(request), path);
  ASSERT_EQ(sqlite3_exec(connection.db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
}

class QgisProjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kPython) ||
        RunProgram(kPython, {"-c", "import qgis.core, qgis.gui"}).exit_code != 0) {
      GTEST_SKIP() << "python3-qgis is not installed";
    }
    testing::WriteFile(dir_ / "expected.json", kExpected);
  }

  // QGIS opens the project stored in `gpkg` and finds it as expected. The
  // checker runs Qt without a display and keeps QGIS's settings and Qt's
  // runtime files in a folder of its own.
  void ExpectQgisReads(const std::string& gpkg) const {
    SCOPED_TRACE(gpkg);
    const ProgramResult checked = RunProgram(kPython, {kChecker, dir_ / "expected.json", gpkg});
    EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
  }

  TempDir dir_;
};

TEST_F(QgisProjectTest, QgisOpensTheProjectStoredInTheGeoPackage) {
  const std::string gpkg = dir_ / "533945.gpkg";
  MakeGpkg(gpkg);
  // An earlier project of the name, replaced by the second.
  ProjectRequest earlier = Request();
  earlier.layers.resize(1);
  Store(gpkg, earlier);
  Store(gpkg, Request());
  ExpectQgisReads(gpkg);

  // Moved to another folder, where no file of the old path is: the layers
  // follow the file.
  fs::create_directories(dir_.path() / "elsewhere" / "maps");
  const std::string moved = (dir_.path() / "elsewhere" / "maps" / "533945.gpkg").string();
  fs::rename(gpkg, moved);
  ExpectQgisReads(moved);
}

TEST(QgisProjectRow, TheRowIsAsQgisWritesIt) {
  const TempDir dir;
  const std::string gpkg = dir / "533945.gpkg";
  MakeGpkg(gpkg);
  Store(gpkg, Request());
  Store(gpkg, Request());
  const Connection connection(gpkg, SQLITE_OPEN_READONLY);
  EXPECT_EQ(connection.Column("SELECT sql FROM sqlite_master WHERE name = 'qgis_projects'"),
            std::vector<std::string>{
                "CREATE TABLE qgis_projects(name TEXT PRIMARY KEY, metadata BLOB, content BLOB)"});
  // One row, of text; the content a zip archive ("PK\3\4") in lowercase
  // hexadecimal, the metadata JSON.
  EXPECT_EQ(connection.Column(
                "SELECT name || ' ' || typeof(metadata) || ' ' || typeof(content) || ' ' || "
                "substr(content, 1, 8) || ' ' || (content GLOB '*[^0-9a-f]*') || ' ' || "
                "length(json_extract(metadata, '$.last_modified_time')) || ' ' || "
                "json_type(metadata, '$.last_modified_user') FROM qgis_projects"),
            std::vector<std::string>{"533945 text text 504b0304 0 19 text"});
}

TEST(QgisProjectErrors, FailuresNameTheFile) {
  const TempDir dir;
  MakeGpkg(dir / "533945.gpkg");
  ProjectRequest request = Request();
  const Connection read_only(dir / "533945.gpkg", SQLITE_OPEN_READONLY);
  try {
    StoreQgisProject(read_only.db, request.name, QgisProjectXml(request), "out/533945.gpkg");
    ADD_FAILURE() << "a read-only file took the project";
  } catch (const OutputError& e) {
    EXPECT_EQ(e.file(), "out/533945.gpkg");
  }
  request.layers[1].qml = "<qgis><renderer-v2";
  EXPECT_THROW(QgisProjectXml(request), OutputError);
}

}  // namespace
}  // namespace quellmark
