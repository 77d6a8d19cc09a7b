// The floor: the same features as a conversion wrote, held in memory and
// written again through the same libraries with the same schemas and
// settings, with no parsing at all. Loading reads a conversion's own output
// back; writing is what gets timed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellmark::bench {

// The seventeen layer codes in conversion order.
const std::vector<std::string>& LayerCodes();

// One shapefile layer: shapes as vertex lists, the table's fields and its
// records' values, and the .prj and .cpg texts.
struct ShapeLayerData {
  std::string code;
  int shape_type = 0;              // SHPT_POINT or SHPT_ARC
  std::vector<int> vertex_counts;  // per record; -1 for a null shape
  std::vector<double> x, y;        // every vertex, record after record
  struct Field {
    std::string name;
    char type;  // 'C' or 'N'
    int width;
    int decimals;
  };
  std::vector<Field> fields;
  // Per record and field, the field's bytes as stored, zero-terminated, at
  // `text_at` in `text`; a number field left empty has `null` set.
  std::vector<std::uint32_t> text_at;
  std::string text;
  std::vector<char> null;
  std::string prj;
  std::string cpg;
  std::string qml;  // the QGIS style beside the shapefile
};

// Reads `prefix` + code + ".shp"/".dbf"/".prj"/".cpg"/".qml" for every layer
// that exists.
std::vector<ShapeLayerData> LoadShapeLayers(const std::string& prefix);
// How the floor's library reaches its files: through the program's own
// buffered file layer, as the conversion does, or the library's own way.
enum class FileAccess { kBuffered, kLibrary };

// Writes them as `prefix` + code + ... through shapelib.
void WriteShapeLayers(std::vector<ShapeLayerData>& layers, const std::string& prefix,
                      FileAccess access);

// One TAB layer: its features' vertices, field values (CP932) and styles.
struct TabLayerData {
  std::string code;
  bool points = false;             // point table (else polylines)
  std::vector<int> vertex_counts;  // per feature; 0 for no geometry
  std::vector<double> x, y;
  std::vector<std::uint32_t> value_at;  // per feature and field
  std::string values;                   // zero-terminated CP932 texts
  std::vector<std::int32_t> style_of;   // per feature: index into styles, -1 for none
  std::vector<std::string> styles;
};

// Reads `prefix` + code + ".tab" for every layer that exists (through
// GDAL, texts turned back into CP932).
std::vector<TabLayerData> LoadTabLayers(const std::string& prefix);
// Writes them as `prefix` + code + ".tab" through GDAL's MapInfo driver,
// with the schemas, bounds, coordinate system, styles and charset of the
// program's own tables.
void WriteTabLayers(const std::vector<TabLayerData>& layers, const std::string& prefix,
                    FileAccess access);

// One GeoPackage table as OGR reads it back: its schema, and per row its
// field values and its geometry.
struct GpkgTableData {
  std::string name;
  int geometry_type = 0;  // OGRwkbGeometryType; wkbNone for a table without geometry
  std::string fid_column;
  std::string geometry_column;
  int epsg = 0;  // the SRS's EPSG code; 0 for none
  struct Field {
    std::string name;
    int type = 0;     // OGRFieldType
    int subtype = 0;  // OGRFieldSubType
    int width = 0;
    bool nullable = true;
    std::string default_value;  // "" for none
  };
  std::vector<Field> fields;
  // Per row and field: whether the value is null, and the value (an
  // integer, a real, or the offset of its zero-terminated UTF-8 text in
  // `text`).
  union Value {
    std::int64_t integer;
    double real;
    std::uint64_t text_at;
  };
  std::vector<char> null;
  std::vector<Value> values;
  std::string text;
  std::vector<int> vertex_counts;  // per row; -1 for no geometry
  std::vector<double> x, y;
};

// Reads every table of the GeoPackage at `path`: layer_styles first, then
// the tables in the order of their rows in layer_styles (the order they
// were written in), then any other.
std::vector<GpkgTableData> LoadGpkgTables(const std::string& path);
// Writes them into a new GeoPackage at `path` through GDAL's GPKG driver:
// layer_styles created first and empty; then per table, in one
// transaction, its rows and its row of layer_styles; the spatial index is
// left to the driver (SPATIAL_INDEX=YES, built once the rows are in).
void WriteGpkgTables(const std::vector<GpkgTableData>& tables, const std::string& path);
// What differs between two GeoPackages read back through OGR (the tables,
// their schemas, SRS, spatial index, extents, rows, values and geometries;
// a column whose default is the current time is not compared), "" when
// nothing does.
std::string GpkgDifferences(const std::string& a, const std::string& b);

// All features, and those of the largest table.
struct Counts {
  std::size_t features = 0;
  std::size_t largest_table = 0;
};
Counts CountFeatures(const std::vector<ShapeLayerData>& layers);
Counts CountFeatures(const std::vector<TabLayerData>& layers);
// Rows of the layer tables (not those of layer_styles).
Counts CountFeatures(const std::vector<GpkgTableData>& tables);

}  // namespace quellmark::bench
