// Reads a finished TAB table back through GDAL/OGR, as another program would
// read it, into plain values the tests compare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellmark::testing {

struct ReadField {
  std::string name;
  std::string type;  // OGR's type name: "String", "Integer", ...
  int width = 0;
};

struct ReadStyle {
  std::string tool;  // "SYMBOL", "PEN" or empty when GDAL reports no style
  int number = -1;   // symbol number, or pen pattern
  int size = -1;     // symbol size in points, or pen width in pixels
  std::int32_t colour = -1;
  std::string text;  // the style string as GDAL gives it, empty when none
};

struct ReadFeature {
  std::vector<std::string> text;   // every field as text (UTF-8, decoded by GDAL)
  std::vector<long long> integer;  // every field as integer
  std::string geometry_type;       // "POINT", "LINESTRING" or empty
  std::vector<double> x;
  std::vector<double> y;
  ReadStyle style;
};

struct ReadTable {
  std::vector<ReadField> fields;
  std::vector<ReadFeature> features;
  std::string coordsys;  // MapInfo clause GDAL derives from the table
  // The coordinate system GDAL and PROJ recognise in the table's: its own
  // authority code ("EPSG:4612"), else PROJ's single best match at a
  // confidence of 70 % or more; empty when there is none or several.
  std::string crs;
  // "name:C60 kb:I6 ..." (C string, I integer), for schema comparisons.
  std::string Schema() const;
};

// Throws std::runtime_error when GDAL cannot open the table.
ReadTable ReadTableBack(const std::string& path);

// Number of features of the first layer, -1 when GDAL cannot open the file.
long FeatureCount(const std::string& path);

}  // namespace quellmark::testing
