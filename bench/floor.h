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

// All features, and those of the largest table.
struct Counts {
  std::size_t features = 0;
  std::size_t largest_table = 0;
};
Counts CountFeatures(const std::vector<ShapeLayerData>& layers);
Counts CountFeatures(const std::vector<TabLayerData>& layers);

}  // namespace quellmark::bench
