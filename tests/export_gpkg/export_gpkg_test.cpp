// The GeoPackage of a sheet read back through GDAL/OGR and compared with the
// shapefiles of the same sheet: the same features, every value whole where
// the shapefile cuts it, the same positions without made-up ones, and the
// styles QGIS takes from the file.
#include <cpl_minixml.h>
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "convert/sheet_conversion.h"
#include "export_gpkg/gpkg_format.h"
#include "export_shape/shapefile_format.h"
#include "layers/map_styles.h"
#include "sal/attribute_codes.h"
#include "sal/cp932.h"
#include "sal/errors.h"
#include "sal/tokenizer.h"
#include "support/gpkg_check.h"
#include "support/test_support.h"
#include "tools/gen/layerset_generator.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using testing::ExpectValidGpkg;
using testing::Sjis;

using Vertices = std::vector<std::pair<double, double>>;

struct Row {
  std::vector<std::optional<std::string>> text;  // nullopt: NULL
  std::vector<long long> integer;
  std::vector<double> real;
  bool has_geometry = false;
  Vertices vertices;
};

struct Table {
  std::vector<std::string> names;
  std::vector<OGRFieldType> types;
  std::vector<int> widths;
  std::string geometry_type;
  std::string geometry_column;
  std::string srs;  // "EPSG:4612"
  std::vector<Row> rows;

  int Field(std::string_view name) const {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
  }
};

struct DatasetCloser {
  void operator()(void* dataset) const { GDALClose(dataset); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

Dataset Open(const std::string& path) {
  GDALAllRegister();
  Dataset dataset(
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
  if (!dataset) throw std::runtime_error("GDAL cannot open " + path);
  return dataset;
}

Table ReadLayer(OGRLayerH layer) {
  Table table;
  OGRFeatureDefnH definition = OGR_L_GetLayerDefn(layer);
  for (int i = 0; i < OGR_FD_GetFieldCount(definition); ++i) {
    OGRFieldDefnH field = OGR_FD_GetFieldDefn(definition, i);
    table.names.emplace_back(OGR_Fld_GetNameRef(field));
    table.types.push_back(OGR_Fld_GetType(field));
    table.widths.push_back(OGR_Fld_GetWidth(field));
  }
  table.geometry_type = OGRGeometryTypeToName(OGR_FD_GetGeomType(definition));
  table.geometry_column = OGR_L_GetGeometryColumn(layer);
  if (OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(layer)) {
    const char* authority = OSRGetAuthorityName(srs, nullptr);
    const char* code = OSRGetAuthorityCode(srs, nullptr);
    if (authority != nullptr && code != nullptr) table.srs = std::string(authority) + ":" + code;
  }
  OGR_L_ResetReading(layer);
  while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
    Row row;
    for (int i = 0; i < static_cast<int>(table.names.size()); ++i) {
      if (OGR_F_IsFieldSetAndNotNull(feature, i)) {
        row.text.emplace_back(OGR_F_GetFieldAsString(feature, i));
      } else {
        row.text.emplace_back();
      }
      row.integer.push_back(OGR_F_GetFieldAsInteger64(feature, i));
      row.real.push_back(OGR_F_GetFieldAsDouble(feature, i));
    }
    if (OGRGeometryH geometry = OGR_F_GetGeometryRef(feature)) {
      row.has_geometry = true;
      for (int i = 0; i < OGR_G_GetPointCount(geometry); ++i) {
        row.vertices.emplace_back(OGR_G_GetX(geometry, i), OGR_G_GetY(geometry, i));
      }
    }
    table.rows.push_back(std::move(row));
    OGR_F_Destroy(feature);
  }
  return table;
}

// Every table of the GeoPackage but layer_styles, by name.
std::map<std::string, Table> ReadGpkg(const std::string& path) {
  const Dataset dataset = Open(path);
  std::map<std::string, Table> tables;
  for (int i = 0; i < GDALDatasetGetLayerCount(dataset.get()); ++i) {
    OGRLayerH layer = GDALDatasetGetLayer(dataset.get(), i);
    const std::string name = OGR_L_GetName(layer);
    if (name != "layer_styles") tables[name] = ReadLayer(layer);
  }
  return tables;
}

// Each row of an SQL query's result, every column as text ("" for NULL).
std::vector<std::vector<std::string>> Query(const std::string& path, const std::string& sql) {
  const Dataset dataset = Open(path);
  std::vector<std::vector<std::string>> rows;
  OGRLayerH result = GDALDatasetExecuteSQL(dataset.get(), sql.c_str(), nullptr, nullptr);
  if (result == nullptr) throw std::runtime_error("the query failed: " + sql);
  const int columns = OGR_FD_GetFieldCount(OGR_L_GetLayerDefn(result));
  while (OGRFeatureH feature = OGR_L_GetNextFeature(result)) {
    std::vector<std::string>& row = rows.emplace_back();
    for (int i = 0; i < columns; ++i) {
      row.emplace_back(OGR_F_IsFieldSetAndNotNull(feature, i) ? OGR_F_GetFieldAsString(feature, i)
                                                              : "");
    }
    OGR_F_Destroy(feature);
  }
  GDALDatasetReleaseResultSet(dataset.get(), result);
  return rows;
}

// Each row of an SQL query through SQLite alone (no GDAL functions), every
// column as text ("" for NULL).
std::vector<std::vector<std::string>> SqliteQuery(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("SQLite cannot open " + path);
  }
  std::vector<std::vector<std::string>> rows;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error("the query failed: " + sql + ": " + message);
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::vector<std::string>& row = rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const unsigned char* text = sqlite3_column_text(statement, i);
      row.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

constexpr const char kSheet[] = "533945";

class GpkgExportTest : public ::testing::Test {
 protected:
  // A generated sheet as the layer set dir/533945/533945*.
  void Generate(const gen::GeneratorOptions& options) {
    fs::remove_all(dir.path() / kSheet);
    gen::WriteLayerSet(gen::GenerateLayerSet(options), dir.path() / kSheet);
  }
  // A small sheet with values the legacy tables cut, text that is not all
  // code page 932, point numbers without a point, an empty layer file.
  void WriteEdgeSheet() {
    fs::remove_all(dir.path() / kSheet);
    fs::create_directories(dir.path() / kSheet);
    Write(".slm", "4860000000,1260000000\r\n0,0\r\n");
    std::string points;
    for (int i = 1; i <= 9; ++i) {
      char line[32];
      std::snprintf(line, sizeof line, "%8d%8d\r\n", 3600 * i, 7200 * i);
      points += line;
    }
    Write(".slp", points);
    Write("MH.slp", points);
    Write("CM.sal", "CM(ID{CM0000011234}PT(ID{PT00000112}{1,2})SR{21}NM{" + Sjis("①ⅰｱ地名") +
                        "})\r\n"
                        "CM(ID{CM2}PT(ID{P2}{3})NM{A\x81 B})\r\n"
                        "CM(ID{CM3}PT(ID{P3}{1,99}))\r\n" +
                        std::string("CM(ID{CM4}NM{C\0D})\r\n", 20) +
                        "CM(ID{\xFF"
                        "5})\r\n");
    Write("KJ.sal",
          "KJ(ID{KJ1}PT(ID{P1}{5})PD(ID{PD34567890}{PD3456789012})HK{123.4567890123}SR{62})\r\n"
          "KJ(ID{KJ2}PT(ID{P1}{6})HK{abc})\r\nKJ(ID{KJ3}PT(ID{P1}{7})HK{  7.5 })\r\n");
    Write("KO.sal", "KO(ID{KO1}PT(ID{P}{3})SR{86}JS{" + std::string(59, 'a') + Sjis("駅") +
                        std::string(9, 'b') + "})\r\n");
    Write("MH.sal", "MH(ID{MH000001}PT(ID{PM000001}{1})HK{12345678901234})\r\n");
    Write("DK.sal",
          "DK(ID{DK0039131234}JT{11}SB{16X}FI{1B9}KB{40000}NM{" + Sjis("国道二百四十六号線") +
              "}HR(IR{HA282040000821234})CV(ID{CV0040521234}{1,2,99,3})EG(ID{EG1}){BD(IR{"
              "ND28204004495XYZ})GM(IR{CV28204004052})}YR(IR{YR282040000821234}))\r\n"
              "DK(ID{DK2}SB{16}FI{19}TR(IR{TR1})DH(IR{DH282040000829990})CV(ID{C}{99}))\r\n"
              "DK(ID{DK3}FI{1A}YR(IR{YR1})CV(ID{C}{4,5}))\r\n");
    Write("TK.sal",
          "TK(ID{TK1}SB{43}ER(IR{ER28204000002})CV(ID{C}{7,8}))\r\nTK(ID{TK2}CV(ID{C}{8,9}))\r\n");
    Write("EK.sal", "EK(ID{EK000002}NM{" + Sjis("駅") + "}KN(IR{KN282040000021234}))\r\n");
    Write("GK.sal", "");
  }
  void Write(const std::string& suffix, std::string_view bytes) {
    testing::WriteFile(dir / (std::string(kSheet) + "/" + kSheet + suffix), bytes);
  }

  void Convert(const OutputFormat& format) {
    ExportContext context{state, &notifier, started, {}, stop};
    ConvertSheet(dir / (std::string(kSheet) + "/" + kSheet), Out(), format, context);
  }
  void ConvertBoth() {
    Convert(ShapefileFormat());
    Convert(GpkgFormat());
  }
  // The generated sheets 0 to 2 (GeneratedSheets), or 3: the edge sheet.
  void ConvertBothOf(int sheet);
  std::string Out() const { return dir / kSheet; }
  std::string Gpkg() const { return Out() + ".gpkg"; }
  std::string Shp(std::string_view code) const { return Out() + std::string(code) + ".shp"; }
  std::map<std::string, Table> Shapefiles() const {
    std::map<std::string, Table> tables;
    for (const LayerSpec& layer : Layers()) {
      if (!fs::exists(Shp(layer.code))) continue;
      const Dataset dataset = Open(Shp(layer.code));
      tables[std::string(layer.code)] = ReadLayer(GDALDatasetGetLayer(dataset.get(), 0));
    }
    return tables;
  }
  // The hidden files a run leaves beside the outputs.
  std::vector<std::string> Hidden() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name.front() == '.') names.push_back(name);
    }
    return names;
  }

  testing::TempDir dir;
  SheetState state;
  testing::RecordingNotifier notifier;
  std::function<void(std::string_view)> started;
  const std::atomic<bool>* stop = nullptr;
};

// The sheets every comparison runs on.
std::vector<gen::GeneratorOptions> GeneratedSheets() {
  std::vector<gen::GeneratorOptions> sheets(3);
  sheets[1].seed = 2;
  sheets[1].dangling_points = 5;
  sheets[1].unmatched_stations = 3;
  sheets[2].seed = 3;
  sheets[2].road_lines = 300;
  sheets[2].dangling_points = 40;
  sheets[2].unmatched_stations = 10;
  return sheets;
}

void GpkgExportTest::ConvertBothOf(int sheet) {
  if (sheet < 3) {
    Generate(GeneratedSheets()[static_cast<std::size_t>(sheet)]);
  } else {
    WriteEdgeSheet();
  }
  ConvertBoth();
}

// The shortest decimal text of the number.
std::string Shortest(double value) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Whether the shapefile's value is the GeoPackage's, or its start.
void ExpectKeptWhole(const Table& shape, const Table& gpkg, const std::string& code) {
  ASSERT_EQ(shape.rows.size(), gpkg.rows.size()) << code;
  for (std::size_t f = 0; f < shape.names.size(); ++f) {
    const std::string& name = shape.names[f];
    const int g = gpkg.Field(name);
    ASSERT_GE(g, 0) << code << " has no field " << name;
    for (std::size_t r = 0; r < shape.rows.size(); ++r) {
      SCOPED_TRACE(code + " row " + std::to_string(r + 1) + " field " + name);
      const std::optional<std::string>& s = shape.rows[r].text[f];
      const std::optional<std::string>& whole = gpkg.rows[r].text[static_cast<std::size_t>(g)];
      if (name == "kb") {
        EXPECT_EQ(
            shape.rows[r].integer[f],
            LegacyKb(static_cast<std::int32_t>(gpkg.rows[r].integer[static_cast<std::size_t>(g)])));
      } else if (name == "hk" && s && !s->empty()) {
        // The shapefile's text, cut to 9 bytes or not, and the number.
        const double value = gpkg.rows[r].real[static_cast<std::size_t>(g)];
        double cut = 0.0;
        if (!StrToDecimal(*s, cut)) {
          EXPECT_FALSE(whole.has_value()) << *s;
        } else {
          ASSERT_TRUE(whole.has_value());
          std::string trimmed = *s;
          std::erase(trimmed, ' ');
          EXPECT_TRUE(value == cut || Shortest(value).starts_with(trimmed)) << *s << " " << value;
        }
      } else if (!s || s->empty()) {
        EXPECT_FALSE(whole.has_value()) << "no value is NULL, not " << *whole;
      } else if (name.size() > 4 && name.ends_with("name") &&
                 shape.Field(name.substr(0, name.size() - 4)) >= 0 &&
                 shape.rows[r].text[static_cast<std::size_t>(
                     shape.Field(name.substr(0, name.size() - 4)))] !=
                     gpkg.rows[r].text[static_cast<std::size_t>(
                         gpkg.Field(name.substr(0, name.size() - 4)))]) {
        // A code the shapefile cut: its decoded name is the cut code's there;
        // the whole code is no code, and stands as it is.
        EXPECT_EQ(whole,
                  gpkg.rows[r]
                      .text[static_cast<std::size_t>(gpkg.Field(name.substr(0, name.size() - 4)))]);
      } else {
        ASSERT_TRUE(whole.has_value()) << *s;
        // Text that is not code page 932 reads differently through the
        // shapefile: up to the first byte that is not, it is the same.
        const std::size_t length = std::min(s->size(), whole->find("\uFFFD"));
        EXPECT_EQ(whole->substr(0, length), s->substr(0, length));
        if (length == s->size()) {
          EXPECT_EQ(whole->substr(0, s->size()), *s);
        }
      }
    }
  }
}

TEST_F(GpkgExportTest, EveryShapefileValueIsTheGpkgValueOrItsStartAndNumbersAreNumbers) {
  for (int sheet = 0; sheet <= 3; ++sheet) {
    SCOPED_TRACE("sheet " + std::to_string(sheet));
    ConvertBothOf(sheet);
    const auto gpkg = ReadGpkg(Gpkg());
    const auto shapes = Shapefiles();
    for (const LayerSpec& layer : Layers()) {
      const std::string code(layer.code);
      ASSERT_EQ(gpkg.count(code), shapes.count(code)) << code;
      if (gpkg.count(code) == 0) continue;
      const Table& table = gpkg.at(code);
      // The union of both legacy formats' fields, in the catalogue's order.
      std::vector<std::string> names;
      for (const FieldSpec& field : layer.fields) names.emplace_back(field.name);
      EXPECT_EQ(table.names, names) << code;
      for (std::size_t i = 0; i < table.names.size(); ++i) {
        const std::string& name = table.names[i];
        const OGRFieldType expected = name == "no" || name == "kb" ? OFTInteger
                                      : name == "hk"               ? OFTReal
                                                                   : OFTString;
        EXPECT_EQ(table.types[i], expected) << code << " " << name;
        EXPECT_EQ(table.widths[i], 0) << code << " " << name;
      }
      ExpectKeptWhole(shapes.at(code), table, code);
      for (std::size_t r = 0; r < table.rows.size(); ++r) {
        EXPECT_EQ(table.rows[r].integer[0], static_cast<long long>(r + 1)) << code;  // no
      }
    }
  }

  // The values the shapefile cuts, whole.
  const auto gpkg = ReadGpkg(Gpkg());
  const Table& dk = gpkg.at("DK");
  const Row& road = dk.rows.at(0);
  EXPECT_EQ(road.text[dk.Field("id")], "DK0039131234");
  EXPECT_EQ(road.text[dk.Field("cvid")], "CV0040521234");
  EXPECT_EQ(road.text[dk.Field("bdir1")], "ND28204004495XYZ");
  EXPECT_EQ(road.text[dk.Field("hrir")], "HA282040000821234");  // not in the shapefile
  EXPECT_EQ(road.text[dk.Field("yrir")], "YR282040000821234");  // not in the shapefile
  EXPECT_EQ(road.text[dk.Field("sb")], "16X");
  EXPECT_EQ(road.text[dk.Field("sbname")], "16X");  // no code: shown as it is
  EXPECT_EQ(road.integer[dk.Field("kb")], 40000);
  EXPECT_EQ(road.text[dk.Field("name")], "国道二百四十六号線");
  const Table& kj = gpkg.at("KJ");
  EXPECT_EQ(kj.rows.at(0).text[kj.Field("pdid")], "PD34567890");  // not in the TAB table
  EXPECT_EQ(kj.rows[0].text[kj.Field("pd")], "PD3456789012");
  EXPECT_DOUBLE_EQ(kj.rows[0].real[kj.Field("hk")], 123.4567890123);
  EXPECT_FALSE(kj.rows[1].text[kj.Field("hk")].has_value());  // "abc"
  EXPECT_DOUBLE_EQ(kj.rows[2].real[kj.Field("hk")], 7.5);
  const Table& ko = gpkg.at("KO");
  EXPECT_EQ(ko.rows.at(0).text[ko.Field("js")], std::string(59, 'a') + "駅" + std::string(9, 'b'));
  EXPECT_DOUBLE_EQ(gpkg.at("MH").rows.at(0).real[1], 12345678901234.0);
  const Table& ha = gpkg.at("HA");
  EXPECT_EQ(ha.rows.at(0).text[ha.Field("ir")], "DK0039131234");
  const Table& ek = gpkg.at("EK");
  EXPECT_EQ(ek.rows.at(0).text[ek.Field("knir")], "KN282040000021234");
  std::vector<std::string> hk_warnings;
  for (const Notice& notice : notifier.notices) {
    if (notice.text.find("hk") == 0) hk_warnings.push_back(notice.text);
  }
  // The shapefile's run warns of nothing here; the GeoPackage's once.
  EXPECT_EQ(hk_warnings, std::vector<std::string>{"hk is not a number: abc; left empty"});
}

TEST_F(GpkgExportTest, TextIsUtf8AndBytesThatAreNotCodePage932AreReportedByLine) {
  WriteEdgeSheet();
  Convert(GpkgFormat());
  const Table cm = ReadGpkg(Gpkg()).at("CM");
  const int name = cm.Field("name");
  ASSERT_EQ(cm.rows.size(), 5u);
  EXPECT_EQ(cm.rows[0].text[name], "①ⅰｱ地名");  // NEC and IBM characters, half-width kana
  EXPECT_EQ(cm.rows[0].text[cm.Field("srname")], "都道府県庁");
  EXPECT_EQ(cm.rows[0].text[cm.Field("sr")], "21");
  EXPECT_EQ(cm.rows[1].text[name], "A\uFFFD B");
  EXPECT_EQ(cm.rows[2].text[name], "A\uFFFD B");  // carried over
  EXPECT_EQ(cm.rows[3].text[name], "C\uFFFDD");
  EXPECT_EQ(cm.rows[4].text[cm.Field("id")], "\uFFFD5");

  std::vector<std::pair<long, std::string>> reported;
  for (const Notice& notice : notifier.notices) {
    if (notice.file == dir / (std::string(kSheet) + "/" + kSheet + "CM.sal") &&
        notice.text.find("code page 932") != std::string::npos) {
      reported.emplace_back(notice.line, notice.text);
    }
  }
  const std::string kept = ", kept with U+FFFD for the bytes that do not convert: ";
  // Once per value, not again for the lines the name carries over to.
  EXPECT_EQ(reported,
            (std::vector<std::pair<long, std::string>>{
                {2, "text that is not code page 932 in name" + kept + "A\x81 B"},
                {4, "text that is not code page 932 in name" + kept + std::string("C\0D", 3)},
                {5, "text that is not code page 932 in id" + kept +
                        "\xFF"
                        "5"}}));

  // GDAL reads the shapefile's code page 932 as the same text.
  Convert(ShapefileFormat());
  const Dataset shape = Open(Shp("CM"));
  const Table shape_cm = ReadLayer(GDALDatasetGetLayer(shape.get(), 0));
  EXPECT_EQ(shape_cm.rows[0].text[shape_cm.Field("name")], cm.rows[0].text[name]);
}

TEST_F(GpkgExportTest, GeometriesAreTheShapefilesWithoutMadeUpPositionsIndexedOnJgd2000) {
  int left_out = 0;
  for (int sheet = 0; sheet <= 3; ++sheet) {
    SCOPED_TRACE("sheet " + std::to_string(sheet));
    ConvertBothOf(sheet);
    ExpectValidGpkg(Gpkg());
    const auto gpkg = ReadGpkg(Gpkg());
    const auto shapes = Shapefiles();
    for (const auto& [code, table] : gpkg) {
      SCOPED_TRACE(code);
      const Table& shape = shapes.at(code);
      const bool point = FindLayer(code)->geometry == LayerGeometry::kPoint;
      EXPECT_EQ(table.geometry_type, point ? "Point" : "Line String");
      EXPECT_EQ(table.srs, "EPSG:4612");
      ASSERT_EQ(table.rows.size(), shape.rows.size());
      double west = HUGE_VAL, south = HUGE_VAL, east = -HUGE_VAL, north = -HUGE_VAL;
      for (std::size_t r = 0; r < table.rows.size(); ++r) {
        // The shapefile stands a point number without a point at 0,0.
        Vertices expected;
        for (const auto& vertex : shape.rows[r].vertices) {
          if (vertex != std::pair{0.0, 0.0}) expected.push_back(vertex);
        }
        left_out += static_cast<int>(shape.rows[r].vertices.size() - expected.size());
        if (point && expected.size() != shape.rows[r].vertices.size()) expected.clear();
        EXPECT_EQ(table.rows[r].vertices, expected) << "row " << r + 1;
        // No position, no geometry: never an empty one.
        EXPECT_EQ(table.rows[r].has_geometry, !expected.empty()) << "row " << r + 1;
        for (const auto& [x, y] : expected) {
          west = std::min(west, x);
          east = std::max(east, x);
          south = std::min(south, y);
          north = std::max(north, y);
        }
      }
      // The extent and the R-tree index the file declares.
      const auto extent = Query(Gpkg(),
                                "SELECT min_x, min_y, max_x, max_y FROM gpkg_contents "
                                "WHERE table_name = '" +
                                    code + "'");
      ASSERT_EQ(extent.size(), 1u);
      if (west == HUGE_VAL) {
        EXPECT_EQ(extent[0], (std::vector<std::string>{"", "", "", ""}));
      } else {
        // Read back as text of 15 digits.
        EXPECT_NEAR(std::stod(extent[0][0]), west, 1e-11);
        EXPECT_NEAR(std::stod(extent[0][1]), south, 1e-11);
        EXPECT_NEAR(std::stod(extent[0][2]), east, 1e-11);
        EXPECT_NEAR(std::stod(extent[0][3]), north, 1e-11);
      }
      EXPECT_EQ(
          Query(Gpkg(), "SELECT HasSpatialIndex('" + code + "', '" + table.geometry_column + "')"),
          (std::vector<std::vector<std::string>>{{"1"}}));
      const auto indexed =
          Query(Gpkg(), "SELECT COUNT(*) FROM rtree_" + code + "_" + table.geometry_column);
      long placed = 0;
      for (const Row& row : table.rows) placed += row.has_geometry ? 1 : 0;
      EXPECT_EQ(indexed.at(0).at(0), std::to_string(placed));
    }
  }
  EXPECT_GT(left_out, 10);  // the comparison saw points without a position

  // The edge sheet: a layer file without lines is a table without rows; a
  // layer without a file has no table.
  const auto gpkg = ReadGpkg(Gpkg());
  ASSERT_EQ(gpkg.count("GK"), 1u);
  EXPECT_TRUE(gpkg.at("GK").rows.empty());
  EXPECT_EQ(gpkg.count("DS"), 0u);
  // A point whose last number has no point has no position.
  EXPECT_FALSE(gpkg.at("CM").rows.at(2).has_geometry);
  EXPECT_EQ(Shapefiles().at("CM").rows.at(2).vertices, (Vertices{{0.0, 0.0}}));
}

// The table's field names an expression or label names: every "quoted"
// identifier.
void CollectNames(std::string_view text, std::set<std::string>& names) {
  for (std::size_t at = text.find('"'); at != std::string_view::npos; at = text.find('"', at)) {
    const std::size_t end = text.find('"', at + 1);
    if (end == std::string_view::npos) break;
    names.emplace(text.substr(at + 1, end - at - 1));
    at = end + 1;
  }
}

struct Qml {
  std::string renderer;
  bool labels = false;
  std::set<std::string> names;  // fields the style names
  // The renderer's rules: filter, legend label, scale limit.
  struct Rule {
    std::string filter;
    std::string label;
    std::string max_scale;
  };
  std::vector<Rule> rules;
  std::vector<std::string> label_filters;  // the label rules' filters
  std::string min_scale;                   // the layer's scale limit, when set
};

void Walk(const CPLXMLNode* node, Qml& qml, bool in_labeling) {
  for (; node != nullptr; node = node->psNext) {
    if (node->eType != CXT_Element) continue;
    const std::string element = node->pszValue;
    const auto attribute = [node](const char* name) {
      return std::string(CPLGetXMLValue(node, name, ""));
    };
    if (element == "renderer-v2") qml.renderer = attribute("type");
    if (element == "qgis") {
      qml.labels = attribute("labelsEnabled") == "1";
      if (attribute("hasScaleBasedVisibilityFlag") == "1") qml.min_scale = attribute("minScale");
    }
    if (element == "rule") {
      if (in_labeling) {
        qml.label_filters.push_back(attribute("filter"));
      } else {
        qml.rules.push_back({attribute("filter"), attribute("label"), attribute("scalemaxdenom")});
      }
      CollectNames(attribute("filter"), qml.names);
    }
    if (element == "text-style") qml.names.insert(attribute("fieldName"));
    Walk(node->psChild, qml, in_labeling || element == "labeling");
  }
}

// The style parsed as XML; a failure when it does not parse.
Qml ParseQml(const std::string& text) {
  Qml qml;
  CPLXMLNode* root = CPLParseXMLString(text.c_str());
  if (root == nullptr) {
    ADD_FAILURE() << "not XML: " << text;
    return qml;
  }
  Walk(root, qml, false);
  CPLDestroyXMLNode(root);
  return qml;
}

void ExpectNamesExist(const Qml& qml, const Table& table) {
  for (const std::string& name : qml.names) {
    EXPECT_GE(table.Field(name), 0) << "the style names " << name << ", which is not a field";
  }
}

// Rows of `code` each of the first-match `filters` holds for, read by
// SQLite; every row is to be taken by exactly one ("ELSE": by the last).
void ExpectEveryRowTakenOnce(const std::string& gpkg, const std::string& code,
                             const std::vector<std::string>& filters, std::size_t rows) {
  std::map<long, std::size_t> taken_by;  // fid: filter
  std::string none = "1";
  for (std::size_t i = 0; i < filters.size(); ++i) {
    const std::string& filter = filters[i];
    const std::string where = filter == "ELSE" || filter.empty() ? none : filter;
    if (filter != "ELSE" && !filter.empty()) none += " AND NOT (" + filter + ")";
    // fid + 0: a plain column, not the result's own feature id.
    for (const auto& fid : Query(gpkg, "SELECT fid + 0 AS n FROM " + code + " WHERE " + where)) {
      EXPECT_TRUE(taken_by.emplace(std::stol(fid.at(0)), i).second)
          << "two rules take row " << fid.at(0) << " of " << code;
    }
  }
  EXPECT_EQ(taken_by.size(), rows) << "rows of " << code << " no rule takes";
}

TEST_F(GpkgExportTest, StylesNameTheirFieldsTakeEveryRowOnceAndAreTheShapefilesStyles) {
  Cp932ToUtf8 utf8;
  for (int sheet : {2, 3}) {
    SCOPED_TRACE("sheet " + std::to_string(sheet));
    if (sheet == 2) {
      Generate(GeneratedSheets()[2]);
    } else {
      WriteEdgeSheet();
    }
    ConvertBoth();
    const auto gpkg = ReadGpkg(Gpkg());
    const auto styles = Query(Gpkg(),
                              "SELECT f_table_catalog, f_table_schema, f_table_name, "
                              "f_geometry_column, styleName, useAsDefault, styleQML FROM "
                              "layer_styles ORDER BY id");
    ASSERT_EQ(styles.size(), gpkg.size());
    const auto shapefiles = Shapefiles();
    for (const auto& row : styles) {
      const std::string& code = row[2];
      SCOPED_TRACE(code);
      ASSERT_EQ(gpkg.count(code), 1u);
      const Table& table = gpkg.at(code);
      // Where QGIS looks for a table's default style.
      EXPECT_EQ(row[0], "");
      EXPECT_EQ(row[1], "");
      EXPECT_EQ(row[3], table.geometry_column);
      EXPECT_EQ(row[4], code);
      EXPECT_EQ(row[5], "1");
      const Qml qml = ParseQml(row[6]);
      ExpectNamesExist(qml, table);
      const MapLayerStyle& style = MapStyleOf(*FindLayer(code));
      EXPECT_EQ(qml.labels, !style.labels.empty());
      EXPECT_EQ(qml.min_scale, style.max_scale > 0 ? std::to_string(style.max_scale) : "");

      // The legend reads the dictionary's Japanese names, never a field
      // or an expression.
      if (qml.renderer == "RuleRenderer") {
        std::vector<std::string> filters;
        std::size_t r = 0;
        for (const MapRule& rule : style.rules) {
          ASSERT_LT(r, qml.rules.size());
          std::string label(rule.caption);
          if (!rule.code.empty()) {
            std::string name;
            utf8.Convert(AttributeCodeName(rule.code), name);
            label += name;
          }
          EXPECT_EQ(qml.rules[r].label, label);
          EXPECT_EQ(qml.rules[r].label.find('"'), std::string::npos);
          EXPECT_EQ(qml.rules[r].max_scale,
                    rule.max_scale > 0 ? std::to_string(rule.max_scale) : "");
          filters.push_back(qml.rules[r].filter);
          ++r;
        }
        EXPECT_EQ(r, qml.rules.size());
        ExpectEveryRowTakenOnce(Gpkg(), code, filters, table.rows.size());
      } else {
        EXPECT_TRUE(style.rules.size() == 1 && style.rules[0].code.empty()) << qml.renderer;
      }
      if (!qml.label_filters.empty()) {
        ExpectEveryRowTakenOnce(Gpkg(), code, qml.label_filters, table.rows.size());
      }

      // Beside each shapefile the same style.
      if (shapefiles.count(code) != 0) {
        const std::string path = Out() + code + ".qml";
        ASSERT_TRUE(fs::exists(path));
        EXPECT_EQ(testing::ReadFile(path), row[6]) << "the shapefile's style differs";
      }
    }
  }
}

TEST_F(GpkgExportTest, AFailedRunLeavesTheEarlierFileAndNoHiddenOnes) {
  gen::GeneratorOptions options;
  Generate(options);
  Convert(GpkgFormat());
  const std::string earlier = testing::ReadFile(Gpkg());
  ASSERT_FALSE(earlier.empty());
  EXPECT_TRUE(Hidden().empty());
  options.seed = 2;
  options.road_lines = 3000;
  Generate(options);

  // Stopped while DK is written.
  std::atomic<bool> stopping{false};
  stop = &stopping;
  started = [&stopping](std::string_view code) {
    if (code == "DK") stopping = true;
  };
  EXPECT_THROW(Convert(GpkgFormat()), Interrupted);
  EXPECT_EQ(testing::ReadFile(Gpkg()), earlier);
  EXPECT_TRUE(Hidden().empty());
  stop = nullptr;
  started = {};

  // The file cannot grow: the error names the file where it goes.
  try {
    testing::FileSizeLimit limit(256 * 1024);
    Convert(GpkgFormat());
    ADD_FAILURE() << "no OutputError";
  } catch (const OutputError& error) {
    EXPECT_EQ(error.file(), Gpkg());
    EXPECT_EQ(std::string(error.what()).find(".quellmark-"), std::string::npos) << error.what();
  }
  EXPECT_EQ(testing::ReadFile(Gpkg()), earlier);
  EXPECT_TRUE(Hidden().empty());

  // What a killed run left is removed by the next run.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  const std::string dead = "." + std::string(kSheet) + ".quellmark-" + std::to_string(child) + "-0";
  testing::WriteFile(dir / (dead + ".gpkg"), "half");
  testing::WriteFile(dir / (dead + ".gpkg-journal"), "half");
  Convert(GpkgFormat());
  EXPECT_NE(testing::ReadFile(Gpkg()), earlier);
  EXPECT_TRUE(Hidden().empty());

  // A folder where the file goes stays, and the error names it.
  fs::remove(Gpkg());
  fs::create_directory(Gpkg());
  try {
    Convert(GpkgFormat());
    ADD_FAILURE() << "no OutputError";
  } catch (const OutputError& error) {
    EXPECT_EQ(error.file(), Gpkg());
  }
  EXPECT_TRUE(fs::is_directory(Gpkg()));
  EXPECT_TRUE(Hidden().empty());
}

// Sheets handed to one file in any order, some left out, come out in
// position order, each row the row of the sheet's own file with its sheet
// name before it; a writer that fails leaves nothing.
TEST_F(GpkgExportTest, SheetsOfABatchGoIntoOneFileInPositionOrder) {
  const auto sheets = GeneratedSheets();
  const std::vector<std::string> names = {"b", "a", "c", "failed"};
  std::vector<std::map<std::string, Table>> alone;
  for (const auto& options : sheets) {
    Generate(options);
    Convert(GpkgFormat());
    alone.push_back(ReadGpkg(Gpkg()));
  }

  const std::string merged = dir / "all.gpkg";
  const auto convert_at = [&](CollectionOutput& collection, std::size_t position,
                              std::size_t sheet) {
    Generate(sheets[sheet]);
    ExportContext context{state, &notifier, started, {}, stop};
    CollectionPlace place(collection, position);
    context.destination = &place;
    ConvertSheet(dir / (std::string(kSheet) + "/" + kSheet), Out() + "/../" + names[position],
                 GpkgFormat(), context);
  };
  {
    // Positions 0-2 hold the three sheets, 3 is an archive that failed
    // after handing over a sheet; they are settled in the order 2, 3, 0, 1.
    const auto collection =
        GpkgFormat().OpenCollection({.path = merged, .positions = 4, .jobs = 2, .datum = {}});
    convert_at(*collection, 2, 2);
    collection->Settle(2, true);
    convert_at(*collection, 3, 1);
    collection->Settle(3, false);
    convert_at(*collection, 0, 0);
    convert_at(*collection, 1, 1);
    collection->Settle(0, true);
    collection->Settle(1, true);
    collection->Commit();
  }
  EXPECT_TRUE(Hidden().empty());
  ExpectValidGpkg(merged);

  const auto tables = ReadGpkg(merged);
  ASSERT_EQ(tables.size(), Layers().size());
  for (const LayerSpec& layer : Layers()) {
    const std::string code(layer.code);
    SCOPED_TRACE(code);
    const Table& table = tables.at(code);
    ASSERT_FALSE(table.names.empty());
    EXPECT_EQ(table.names[0], "sheet");
    EXPECT_EQ(table.srs, "EPSG:4612");
    std::size_t r = 0;
    for (std::size_t sheet = 0; sheet < sheets.size(); ++sheet) {
      const auto own = alone[sheet].find(code);
      if (own == alone[sheet].end()) continue;
      EXPECT_EQ(std::vector<std::string>(table.names.begin() + 1, table.names.end()),
                own->second.names);
      for (const Row& expected : own->second.rows) {
        ASSERT_LT(r, table.rows.size());
        const Row& row = table.rows[r++];
        EXPECT_EQ(row.text[0], names[sheet]);
        EXPECT_EQ(std::vector(row.text.begin() + 1, row.text.end()), expected.text);
        EXPECT_EQ(row.has_geometry, expected.has_geometry);
        EXPECT_EQ(row.vertices, expected.vertices);
      }
    }
    EXPECT_EQ(r, table.rows.size()) << "rows of a sheet left out";
  }
  // Every table, empty ones too, has its style and its spatial index.
  EXPECT_EQ(Query(merged, "SELECT count(*) FROM layer_styles WHERE useAsDefault")[0][0],
            std::to_string(Layers().size()));
  EXPECT_EQ(Query(merged,
                  "SELECT count(*) FROM gpkg_extensions WHERE extension_name = "
                  "'gpkg_rtree_index'")[0][0],
            std::to_string(Layers().size()));

  // The file cannot grow: the error names it, the earlier file stays, and
  // sheets offered after the failure are refused.
  const std::string earlier = testing::ReadFile(merged);
  try {
    testing::FileSizeLimit limit(earlier.size() / 2);
    const auto collection =
        GpkgFormat().OpenCollection({.path = merged, .positions = 3, .jobs = 1, .datum = {}});
    for (std::size_t position = 0; position < 3; ++position) {
      try {
        convert_at(*collection, position, 2);
        collection->Settle(position, true);
      } catch (const OutputError&) {
        collection->Settle(position, false);
      }
    }
    EXPECT_TRUE(collection->failed());
    collection->Commit();
    ADD_FAILURE() << "no OutputError";
  } catch (const OutputError& error) {
    EXPECT_EQ(error.file(), merged);
    EXPECT_EQ(std::string(error.what()).find(".quellmark-"), std::string::npos) << error.what();
  }
  EXPECT_EQ(testing::ReadFile(merged), earlier);
  EXPECT_TRUE(Hidden().empty());

  // Stopped once the sheets are handed over, while the writer writes them
  // or the file is completed: the earlier file stays, nothing is left.
  for (const bool appending : {false, true}) {
    std::atomic<bool> stopping{false};
    const auto collection = GpkgFormat().OpenCollection({.path = merged,
                                                         .positions = 2,
                                                         .jobs = 1,
                                                         .datum = {},
                                                         .append = appending,
                                                         .stop = &stopping});
    convert_at(*collection, 0, 2);
    collection->Settle(0, true);
    convert_at(*collection, 1, 0);
    stopping = true;
    collection->Settle(1, true);
    EXPECT_THROW(collection->Commit(), Interrupted);
  }
  EXPECT_EQ(testing::ReadFile(merged), earlier);
  EXPECT_TRUE(Hidden().empty());
}

// What a spatial query finds in a table through its R-tree: the rows whose
// box meets each of `boxes`.
std::vector<std::vector<std::int64_t>> Found(const std::string& path, const std::string& rtree,
                                             const std::vector<std::array<double, 4>>& boxes) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* query = nullptr;
  const std::string sql = "SELECT id FROM \"" + rtree +
                          "\" WHERE maxx >= ?1 AND minx <= ?3 AND maxy >= ?2 AND miny <= ?4 "
                          "ORDER BY id";
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &query, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  std::vector<std::vector<std::int64_t>> found;
  for (const auto& box : boxes) {
    std::vector<std::int64_t>& ids = found.emplace_back();
    for (int i = 0; i < 4; ++i) sqlite3_bind_double(query, i + 1, box[static_cast<std::size_t>(i)]);
    while (sqlite3_step(query) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(query, 0));
    sqlite3_reset(query);
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  return found;
}

// `count` boxes within the extent, of sizes from a point to a quarter of it,
// and some on its edges.
std::vector<std::array<double, 4>> RandomBoxes(const std::string& path, const std::string& table,
                                               int count) {
  const auto extent = SqliteQuery(
      path,
      "SELECT min_x, min_y, max_x, max_y FROM gpkg_contents WHERE table_name = '" + table + "'");
  const double west = std::stod(extent.at(0).at(0)), south = std::stod(extent[0][1]);
  const double east = std::stod(extent[0][2]), north = std::stod(extent[0][3]);
  std::mt19937_64 random(std::hash<std::string>{}(table));
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<std::array<double, 4>> boxes = {
      {west, south, east, north}, {west, south, west, south}, {east, north, east, north}};
  // Boxes that are rows' own extents, where a float stored one step off
  // would be found or missed.
  for (const auto& row : Query(path,
                               "SELECT ST_MinX(geom), ST_MinY(geom), ST_MaxX(geom), "
                               "ST_MaxY(geom) FROM \"" +
                                   table + "\" WHERE geom IS NOT NULL AND fid % 41 = 0")) {
    boxes.push_back({std::stod(row[0]), std::stod(row[1]), std::stod(row[2]), std::stod(row[3])});
    boxes.push_back({std::stod(row[2]), std::stod(row[3]), std::stod(row[2]), std::stod(row[3])});
  }
  while (static_cast<int>(boxes.size()) < count) {
    const double x = west + unit(random) * (east - west);
    const double y = south + unit(random) * (north - south);
    const double size = std::pow(unit(random), 3) * 0.5;
    boxes.push_back({x, y, x + size * (east - west), y + size * (north - south)});
  }
  return boxes;
}

// Edits as QGIS makes them through OGR: a row added, one moved, one's
// geometry removed, one deleted.
void EditAsQgisWould(const std::string& path, const std::string& table) {
  GDALAllRegister();
  Dataset dataset(
      GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
  ASSERT_TRUE(dataset);
  OGRLayerH layer = GDALDatasetGetLayerByName(dataset.get(), table.c_str());
  ASSERT_NE(layer, nullptr);
  const bool point = OGR_FD_GetGeomType(OGR_L_GetLayerDefn(layer)) == wkbPoint;
  const auto make = [point](double x, double y) {
    OGRGeometryH geometry = OGR_G_CreateGeometry(point ? wkbPoint : wkbLineString);
    OGR_G_AddPoint_2D(geometry, x, y);
    if (!point) OGR_G_AddPoint_2D(geometry, x + 0.001, y + 0.002);
    return geometry;
  };
  OGRFeatureH added = OGR_F_Create(OGR_L_GetLayerDefn(layer));
  OGR_F_SetGeometryDirectly(added, make(139.5, 35.5));
  EXPECT_EQ(OGR_L_CreateFeature(layer, added), OGRERR_NONE);
  OGR_F_Destroy(added);
  OGRFeatureH moved = OGR_L_GetFeature(layer, 7);
  ASSERT_NE(moved, nullptr);
  OGR_F_SetGeometryDirectly(moved, make(139.25, 35.75));
  EXPECT_EQ(OGR_L_SetFeature(layer, moved), OGRERR_NONE);
  OGR_F_Destroy(moved);
  OGRFeatureH emptied = OGR_L_GetFeature(layer, 9);
  ASSERT_NE(emptied, nullptr);
  OGR_F_SetGeometryDirectly(emptied, nullptr);
  EXPECT_EQ(OGR_L_SetFeature(layer, emptied), OGRERR_NONE);
  OGR_F_Destroy(emptied);
  EXPECT_EQ(OGR_L_DeleteFeature(layer, 3), OGRERR_NONE);
}

// The spatial indexes built in bulk (a sheet of its own, and two sheets in
// one file) are the GeoPackage's R-tree as GDAL builds it row by row: the
// same triggers and extension rows, and every query finds the same rows,
// before and after edits that the triggers carry into the index.
TEST_F(GpkgExportTest, BulkBuiltIndexesAnswerAsRowByRowOnesBeforeAndAfterEdits) {
  // Enough rows for four levels in MH (nodes above the leaves' parents),
  // two or three in the others, one leaf in the smallest.
  gen::GeneratorOptions big;
  big.road_lines = 20000;
  gen::GeneratorOptions small;
  small.road_lines = 2000;
  small.seed = 2;
  Generate(big);
  Convert(GpkgFormat());
  const std::string own = dir / "own.gpkg";
  fs::rename(Gpkg(), own);
  const std::string merged = dir / "merged.gpkg";
  {
    const auto collection =
        GpkgFormat().OpenCollection({.path = merged, .positions = 2, .jobs = 1, .datum = {}});
    for (std::size_t position = 0; position < 2; ++position) {
      small.seed = 2 + position;
      Generate(small);
      ExportContext context{state, &notifier, started, {}, stop};
      CollectionPlace place(*collection, position);
      context.destination = &place;
      ConvertSheet(dir / (std::string(kSheet) + "/" + kSheet), Out(), GpkgFormat(), context);
      collection->Settle(position, true);
    }
    collection->Commit();
  }
  EXPECT_EQ(SqliteQuery(own, "SELECT rtreedepth(data) FROM rtree_MH_geom_node WHERE nodeno = 1"),
            (std::vector<std::vector<std::string>>{{"3"}}));
  // Packed: the fewest nodes that hold the rows, 51 cells a node.
  for (const char* table : {"MH", "DK", "CM"}) {
    long nodes = 0;
    long level = std::stol(SqliteQuery(
        own, std::string("SELECT count(*) FROM ") + table + " WHERE geom IS NOT NULL")[0][0]);
    do {
      level = (level + 50) / 51;
      nodes += level;
    } while (level > 1);
    EXPECT_EQ(SqliteQuery(own, std::string("SELECT count(*) FROM rtree_") + table + "_geom_node"),
              (std::vector<std::vector<std::string>>{{std::to_string(nodes)}}))
        << table;
  }

  for (const std::string& path : {own, merged}) {
    SCOPED_TRACE(path);
    // The same file with every index dropped and built again by GDAL.
    const std::string reference = path + ".reference.gpkg";
    fs::copy_file(path, reference);
    {
      GDALAllRegister();
      Dataset update(GDALOpenEx(reference.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr,
                                nullptr, nullptr));
      ASSERT_TRUE(update);
      for (const LayerSpec& layer : Layers()) {
        for (const char* function : {"DisableSpatialIndex", "CreateSpatialIndex"}) {
          const std::string sql =
              std::string("SELECT ") + function + "('" + std::string(layer.code) + "', 'geom')";
          OGRLayerH result = GDALDatasetExecuteSQL(update.get(), sql.c_str(), nullptr, nullptr);
          ASSERT_NE(result, nullptr) << sql;
          OGRFeatureH done = OGR_L_GetNextFeature(result);
          EXPECT_TRUE(done != nullptr && OGR_F_GetFieldAsInteger(done, 0) == 1) << sql;
          OGR_F_Destroy(done);
          GDALDatasetReleaseResultSet(update.get(), result);
        }
      }
    }
    const std::string triggers =
        "SELECT name, sql FROM sqlite_master WHERE type = 'trigger' AND name LIKE 'rtree%' "
        "ORDER BY name";
    const std::string extensions = "SELECT * FROM gpkg_extensions ORDER BY table_name";
    EXPECT_EQ(SqliteQuery(path, triggers), SqliteQuery(reference, triggers));
    EXPECT_EQ(SqliteQuery(path, triggers).size(), 6 * Layers().size());
    EXPECT_EQ(SqliteQuery(path, extensions), SqliteQuery(reference, extensions));

    const std::vector<std::string> tables = {"MH", "DK", "TK", "CM"};
    std::map<std::string, std::vector<std::array<double, 4>>> boxes;
    for (const std::string& table : tables) boxes[table] = RandomBoxes(path, table, 300);
    for (const bool edited : {false, true}) {
      SCOPED_TRACE(edited ? "edited" : "as written");
      if (edited) {
        for (const char* table : {"MH", "DK", "CM"}) {
          EditAsQgisWould(path, table);
          EditAsQgisWould(reference, table);
        }
      }
      ExpectValidGpkg(path);
      for (const std::string& table : tables) {
        const std::string rtree = "rtree_" + table + "_geom";
        const auto found = Found(path, rtree, boxes[table]);
        EXPECT_EQ(found, Found(reference, rtree, boxes[table])) << table;
        std::size_t hits = 0;
        for (const auto& ids : found) hits += ids.empty() ? 0 : 1;
        EXPECT_GT(hits, boxes[table].size() / 4) << table << ": too few rows found to compare";
      }
    }
  }
}

}  // namespace
}  // namespace quellmark
