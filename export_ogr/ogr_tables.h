// A format written through a GDAL driver, one file per table: all such a
// format says is its names, the driver and the extension. Its tables keep
// every value whole, in UTF-8, and declare the datum's EPSG code.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "convert/output_format.h"

namespace quellmark {

struct OgrFormatSpec {
  std::string_view id;         // the command line's name ("geojson")
  std::string_view label;      // the window's ("GeoJSON")
  std::string_view label_ja;   // in a Japanese sentence, UTF-8
  std::string_view driver;     // GDAL's short name of the driver (OgrDriver)
  std::string_view extension;  // of each table's file (".geojson")
  // Where the tables depart from the catalogue; WholeValueChanges() when
  // empty.
  std::span<const FieldChange> changes = {};
  // The driver's layer creation options, "NAME=VALUE".
  std::span<const char* const> layer_options = {};
};

// The format; `spec` and what it points to must outlive it.
std::unique_ptr<OutputFormat> MakeOgrFormat(const OgrFormatSpec& spec);

}  // namespace quellmark
