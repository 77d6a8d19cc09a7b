// Reads written layers back with the real readers: shapelib for shapes and
// the table's declaration, GDAL/OGR for values as a GIS user sees them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quellmark::testing {

struct Shape {
  int type = -1;  // SHPT_NULL, SHPT_POINT, SHPT_ARC
  std::vector<std::pair<double, double>> vertices;
};
std::vector<Shape> ReadShapes(const std::string& shp_path);

// The table's fields as "name:C60 no:N6 hk:C9.3": dBASE type, width, and
// decimals when there are any.
std::string ReadSchema(const std::string& dbf_path);

// Each record's values in field order joined by "|", as UTF-8 text through
// GDAL (decoded by the table's declared code page).
std::vector<std::string> ReadRows(const std::string& shp_path);

// The coordinate system GDAL finds beside the shape file, as "AUTHORITY:CODE".
std::string ReadCrs(const std::string& shp_path);

}  // namespace quellmark::testing
