// GeoPackage: one file per sheet (output prefix + ".gpkg") holding one table
// per layer, named by its layer code, written through GDAL's GPKG driver.
// Every value whole, text in UTF-8, no and kb as integers, hk as a real
// number; points and line strings on JGD2000 (EPSG:4612) with a spatial
// index; each table's QGIS style in the file's layer_styles table.
#pragma once

#include "convert/output_format.h"

namespace quellmark {

// "gpkg", "GeoPackage".
const OutputFormat& GpkgFormat();

}  // namespace quellmark
