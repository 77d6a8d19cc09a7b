// A fourth output format, for the tests: GeoJSON through GDAL. It is all a
// format written through GDAL needs to say.
#include "export_ogr/ogr_tables.h"

namespace quellmark {

const OutputFormat& GeoJsonFormat() {
  static constexpr OgrFormatSpec kSpec{.id = "geojson",
                                       .label = "GeoJSON",
                                       .label_ja = "GeoJSON",
                                       .driver = "GeoJSON",
                                       .extension = ".geojson"};
  static const std::unique_ptr<OutputFormat> format = MakeOgrFormat(kSpec);
  return *format;
}

}  // namespace quellmark
